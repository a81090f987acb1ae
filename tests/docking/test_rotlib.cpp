// The rotamer library: reading its two files, turning the side chains of a
// real NMR structure (hydrogens included) to every rotamer, and writing the
// hydrogen templates measured on that structure back out as a template file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "docking/zam_mol.h"
#include "docking/zam_rotlib.h"
#include "docking/zam_template_dump.h"
#include "geometry/zam_geom.h"
#include "structure/zam_pdb.h"
#include "structure/zam_template_data.h"

namespace {

using testutil::Capture;

std::string shipped(const char* name) { return std::string(TREL_SOURCE_DIR) + "/data/" + name; }

// The atom store's slot 2 filled with every ATOM record of a PDB file,
// hydrogens included (the structure image keeps none), and made current.
// Returns the atom count.
int loadWithHydrogens(const std::string& pdb) {
  std::vector<_pdb_atom> atoms;
  std::string last_number;
  int residue = -1;
  for (const std::string& l : testutil::split_lines(testutil::read_file(pdb))) {
    if (l.rfind("ATOM", 0) != 0 || l.size() < 54) continue;
    _pdb_atom a{};
    std::snprintf(a.type, sizeof a.type, "ATOM");
    std::snprintf(a.name, sizeof a.name, "%s", testutil::split_words(l.substr(12, 4))[0].c_str());
    std::snprintf(a.cname, sizeof a.cname, "%s", l.substr(12, 4).c_str());
    a.alt[0] = ' ';
    std::snprintf(a.resname, sizeof a.resname, "%s", testutil::split_words(l.substr(17, 3))[0].c_str());
    const std::string number = testutil::split_words(l.substr(22, 4))[0];
    std::snprintf(a.resnum, sizeof a.resnum, "%s", number.c_str());
    std::snprintf(a.label, sizeof a.label, "%s", number.c_str());
    a.chain[0] = l[21];
    a.x = std::stod(l.substr(30, 8));
    a.y = std::stod(l.substr(38, 8));
    a.z = std::stod(l.substr(46, 8));
    a.model = 1;
    if (number != last_number) residue++;
    last_number = number;
    a.residue = residue;
    atoms.push_back(a);
  }
  _pdb_image image{};
  image.natoms = int(atoms.size());
  image.atoms = atoms.data();
  const int n = mol_load_pdb(2, &image);
  mol_select(2);
  return n;
}

Point3D at(int i) {
  Point3D p;
  return mol_atom_basept(&p, i);
}

// Residue r of chain 1: name and atom range.
struct Res {
  std::string name;
  int first = -1, last = -1;
};
Res residueOf(int r) {
  char name[8] = "", label[8] = "";
  Res out;
  mol_resnum_info(1, r, name, label, &out.first, &out.last);
  out.name = name;
  return out;
}

const char* kTypes =
    "# chi atoms\n"
    "LYS N CA CB CG CD CE NZ\n"
    "PHE N CA CB CG CD1\n"
    "SER N CA CB OG\n"
    "HIS N CA CB CG ND1\n"
    "MET N CA CB CG SD CE\n"
    "ALA N CA CB XX\n"  // an atom no alanine has
    "SER N CA CB\n";    // too few atoms
std::string rotamerLine(const char* residue, double p, double c1, double c2, double c3, double c4) {
  char line[200];
  std::snprintf(line, sizeof line, "%s 1 1 0 0 0 0 %.2f 0 0 0 %.1f 10 %.1f 10 %.1f 10 %.1f 10\n", residue, p, c1,
                c2, c3, c4);
  return line;
}

TEST(RotamerLibrary, ReadsOrdersAndReports) {
  testutil::TempDir dir;
  std::string data = rotamerLine("LYS", 0.2, 180, 180, 180, 180) + rotamerLine("LYS", 0.5, -60, 180, 180, 180) +
                     rotamerLine("LYS", 0.3, -60, -60, 180, 180) + "LYS 1 1 0 0 0 0 0.1 0 0 0 60 10 60\n" +
                     rotamerLine("PHE", 0.4, -60, 90, 0, 0) + rotamerLine("TRP", 0.5, -60, 90, 0, 0) +
                     rotamerLine("PHE", 0.6, 180, 80, 0, 0) + rotamerLine("SER", 0.5, 60, 0, 0, 0) +
                     rotamerLine("LYS", 0.9, 60, 60, 60, 60);
  testutil::write_file(dir.file("types.dat"), kTypes);
  testutil::write_file(dir.file("data.dat"), data);
  Capture cap;
  EXPECT_EQ(zam_rotlib_open(dir.file("types.dat").c_str(), dir.file("data.dat").c_str()), 6);
  EXPECT_TRUE(cap.has("Bad torsion type: line ignored: SER N CA CB (line 8 of " + dir.file("types.dat") + ")\n"))
      << cap.text;
  EXPECT_TRUE(cap.has("Bad residue torsion: line ignored: LYS 1 1 0 0 0 0 0.1 0 0 0 60 10 60 (line 4 of " +
                      dir.file("data.dat") + ")\n"));
  EXPECT_TRUE(cap.has("(line 6 of " + dir.file("data.dat") + ": no torsion type for the residue)"));
  EXPECT_TRUE(cap.has("(line 9 of " + dir.file("data.dat") + ": the residue's rotamers were given before)"));
  EXPECT_EQ(lookup_rotamer("PHE"), 1);
  EXPECT_EQ(lookup_rotamer("TRP"), -1);
  EXPECT_EQ(zam_rotlib_count("LYS"), 3);
  EXPECT_EQ(zam_rotlib_count("PHE"), 2);  // the line after TRP still belongs to PHE's run
  EXPECT_EQ(zam_rotlib_count("ALA"), 0);

  // Each residue's rotamers in descending order of probability.
  cap.text.clear();
  zam_rotlib_print();
  EXPECT_TRUE(cap.has("Rotamer type LYS (4 torsions, 3 rotamers): N CA CB CG CD CE NZ\n"
                      "  0.50  -60.00  180.00  180.00  180.00\n"
                      "  0.30  -60.00  -60.00  180.00  180.00\n"
                      "  0.20  180.00  180.00  180.00  180.00\n"))
      << cap.text;
  EXPECT_TRUE(cap.has("  0.60  180.00   80.00    0.00    0.00\n  0.40  -60.00   90.00    0.00    0.00\n"));

  // A missing file leaves the library empty.
  cap.text.clear();
  EXPECT_EQ(zam_rotlib_open(dir.file("types.dat").c_str(), dir.file("absent.dat").c_str()), 0);
  EXPECT_TRUE(cap.has("Failed to open torsion file: " + dir.file("absent.dat") + "\n"));
  EXPECT_EQ(lookup_rotamer("LYS"), -1);
  EXPECT_EQ(zam_rotlib_count("LYS"), 0);
  zam_rotlib_close();
}

// Bounded fuzzing of both files: the shipped ones with bytes changed, cut
// out or repeated; nothing is read or written out of bounds (the sanitizer
// build) and the library answers for whatever it kept.
TEST(RotamerLibrary, FuzzedFilesReadSafely) {
  testutil::TempDir dir;
  std::mt19937 random(20261208u);
  const char bytes[] = "x0-9.e+# \t\n\0";
  auto mutate = [&](std::string text) {
    for (int m = 0; m < 6; m++) {
      const size_t at = random() % (text.size() + 1);
      const int op = int(random() % 3);
      if (op == 0 && at < text.size()) text[at] = bytes[random() % (sizeof bytes - 1)];
      if (op == 1) text.erase(at, random() % 60);
      if (op == 2) text.insert(at, text.substr(at, random() % 300));
    }
    return text;
  };
  const std::string types = testutil::read_file(shipped("torsion_types.dat"));
  const std::string data = testutil::read_file(shipped("torsion_data.dat"));
  for (int round = 0; round < 60; round++) {
    testutil::write_file(dir.file("t.dat"), mutate(types));
    testutil::write_file(dir.file("d.dat"), mutate(data));
    Capture cap;
    const int n = zam_rotlib_open(dir.file("t.dat").c_str(), dir.file("d.dat").c_str());
    EXPECT_GE(n, 0);
    int counted = 0;
    for (const char* res : {"ARG", "LYS", "PHE", "SER", "VAL", "TRP", "A", ""}) counted += zam_rotlib_count(res);
    EXPECT_LE(counted, n);
    zam_rotlib_print();
  }
  zam_rotlib_close();
}

// Every rotamer of every residue of the zinc finger: the chi angles come out
// as asked, every bond of the residue keeps its length, and the backbone,
// its hydrogens and the alpha hydrogen stay where they were.
TEST(RotamerLibrary, TurnsSideChainsOfARealStructure) {
  TREL_REQUIRE_SHARED_DATA();
  testutil::TempDir dir;
  std::string data;
  for (const char* res : {"LYS", "PHE", "SER", "HIS", "MET", "ALA"}) {
    data += rotamerLine(res, 0.5, -65, 175, -170, 178);
    data += rotamerLine(res, 0.3, 62, -85, 70, -65);
    data += rotamerLine(res, 0.2, 180, 100, 180, 60);
  }
  testutil::write_file(dir.file("types.dat"), kTypes);
  testutil::write_file(dir.file("data.dat"), data);
  Capture cap;
  ASSERT_EQ(zam_rotlib_open(dir.file("types.dat").c_str(), dir.file("data.dat").c_str()), 18);
  ASSERT_GT(loadWithHydrogens(testutil::shared_pdb("mustang/1sp1.pdb")), 400);
  cap.text.clear();
  const double want[3][4] = {{-65, 175, -170, 178}, {62, -85, 70, -65}, {180, 100, 180, 60}};

  int chains = 0, residues = 0, turned = 0;
  mol_structure(&chains, &residues, nullptr, nullptr);
  for (int r = 1; r <= residues; r++) {
    const Res res = residueOf(r);
    const int type = lookup_rotamer(res.name.c_str());
    if (type < 0 || res.name == "ALA") continue;
    std::vector<Point3D> before;
    for (int i = res.first; i <= res.last; i++) before.push_back(at(i));
    std::vector<std::string> chi_atoms;
    for (const std::string& l : testutil::split_lines(kTypes)) {
      const std::vector<std::string> w = testutil::split_words(l);
      if (!w.empty() && w[0] == res.name) chi_atoms.assign(w.begin() + 1, w.end());
    }
    for (int k = 0; k < 3; k++) {
      ASSERT_EQ(zam_rotlib_rotamer(1, r, k), 1) << res.name << " " << r << " " << k;
      for (size_t c = 0; c + 3 < chi_atoms.size(); c++) {
        Point3D p[4];
        for (int a = 0; a < 4; a++) p[a] = at(mol_match_atom(chi_atoms[c + size_t(a)].c_str(), res.first, res.last));
        double d = rad2deg(a_ptptptpt(p[0], p[1], p[2], p[3])) - want[k][c];
        d -= 360.0 * std::round(d / 360.0);
        EXPECT_NEAR(d, 0.0, 1e-5) << res.name << " chi" << c + 1 << " rotamer " << k;  // acos near 180
      }
      for (int i = res.first; i <= res.last; i++) {
        const std::string name = mol_atom_name(i);
        const Point3D was = before[size_t(i - res.first)];
        if (name == "N" || name == "CA" || name == "C" || name == "O" || name == "H" || name == "HA" ||
            name == "CB") {
          EXPECT_NEAR(d_ptpt(at(i), was), 0.0, 1e-9) << res.name << " " << name;
        }
        const int* list = nullptr;
        const int n = mol_atom_atoms(i, &list);
        for (int b = 0; b < n; b++) {
          if (list[b] < res.first || list[b] > res.last) continue;
          EXPECT_NEAR(d_ptpt(at(i), at(list[b])), d_ptpt(was, before[size_t(list[b] - res.first)]), 1e-9)
              << res.name << " " << name << "-" << mol_atom_name(list[b]);
        }
      }
    }
    turned++;
  }
  EXPECT_GE(turned, 15);  // LYS, PHE, SER, HIS, MET residues of the finger
  EXPECT_EQ(cap.text, "");

  // A type naming an atom the residue lacks: warned of, nothing moved.
  for (int r = 1; r <= residues; r++) {
    const Res res = residueOf(r);
    if (res.name != "ALA") continue;
    const Point3D cb = at(mol_match_atom("CB", res.first, res.last));
    EXPECT_EQ(zam_rotlib_rotamer(1, r, 0), 0);
    EXPECT_TRUE(cap.has("*Warning* Can't make rotamer 0 for  ALA:" + std::string("4   ") +
                        " (chain 1): atom XX not found in PDB database.\n"))
        << cap.text;
    EXPECT_EQ(d_ptpt(at(mol_match_atom("CB", res.first, res.last)), cb), 0.0);
    break;
  }
  EXPECT_EQ(zam_rotlib_rotamer(1, 1, 3), 0);       // LYS has three rotamers here
  EXPECT_EQ(zam_rotlib_rotamer(1, residues + 1, 0), 0);
  mol_clear(2);
  zam_rotlib_close();
}

// Templates measured on the zinc finger and written out read back as a
// template file that puts each measured hydrogen where the finger has it.
TEST(TemplateDump, WritesMeasuredTemplatesThatReadBack) {
  TREL_REQUIRE_SHARED_DATA();
  testutil::TempDir dir;
  const auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path);
  Capture cap;
  std::string templates = testutil::read_file(shipped("atom_templates.dat"));
  templates += "ARG HE xNE NE CD CZ 1 0 0 1.0\n";   // a parent with a leading blank
  testutil::write_file("t.dat", templates);
  const int count = zam_open_template("t.dat");
  ASSERT_GT(count, 30);
  ASSERT_GT(loadWithHydrogens(testutil::shared_pdb("mustang/1sp1.pdb")), 400);
  cap.text.clear();
  const int measured = zam_dump_template();
  EXPECT_EQ(cap.text, "Writing hydrogen template file: template.dmp\n");
  EXPECT_GT(measured, 10);
  EXPECT_LT(measured, count);  // the finger has no TRP, TYR or VAL

  std::vector<_zam_h_template> stored(static_cast<size_t>(count));
  for (int k = 0; k < count; k++) ASSERT_EQ(zam_template_entry(k, &stored[size_t(k)]), 1);
  cap.text.clear();
  ASSERT_EQ(zam_open_template("template.dmp"), count);
  EXPECT_EQ(cap.text, "");

  int placed = 0;
  for (int k = 0; k < count; k++) {
    _zam_h_template t;
    ASSERT_EQ(zam_template_entry(k, &t), 1);
    const _zam_h_template& s = stored[size_t(k)];
    EXPECT_STREQ(t.parent, s.parent);
    EXPECT_STREQ(t.ref[2], s.ref[2]);
    // The first residue of the name with all atoms: its hydrogen comes back.
    bool found = false;
    int chains = 0, residues = 0;
    mol_structure(&chains, &residues, nullptr, nullptr);
    for (int r = 1; r <= residues && !found; r++) {
      const Res res = residueOf(r);
      if (res.name != t.residue) continue;
      const int h = mol_match_atom(t.hydrogen, res.first, res.last);
      const int a1 = mol_match_atom(t.ref[0], res.first, res.last);
      const int a2 = mol_match_atom(t.ref[1], res.first, res.last);
      const int a3 = mol_match_atom(t.ref[2], res.first, res.last);
      if (h < 0 || a1 < 0 || a2 < 0 || a3 < 0) continue;
      found = true;
      float out[3];
      ASSERT_EQ(zam_apply_template(k, at(a1), at(a2), at(a3), out), 1);
      EXPECT_NEAR(d_ptpt(pt_make(out[0], out[1], out[2]), at(h)), 0.0, 2e-3) << t.residue << " " << t.hydrogen;
      placed++;
    }
    for (int c = 0; c < 3 && !found; c++) EXPECT_NEAR(t.offset[c], s.offset[c], 5e-4) << t.residue << " " << t.hydrogen;
  }
  EXPECT_EQ(placed, measured);
  EXPECT_TRUE(testutil::read_file("template.dmp").find("ARG  HE   xNE  NE   CD   CZ   ") != std::string::npos);

  // A folder that cannot be written to: an error, and nothing is left.
  std::filesystem::create_directory("ro");
  std::filesystem::current_path("ro");
  std::filesystem::permissions(".", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  cap.text.clear();
  if (access(".", W_OK) != 0) {  // root may write anywhere
    EXPECT_EQ(zam_dump_template(), -1);
    EXPECT_TRUE(cap.has("*Error* Failed to write hydrogen template file: template.dmp."));
  }
  std::filesystem::permissions(".", std::filesystem::perms::owner_all);
  std::filesystem::current_path(old_cwd);
  mol_clear(2);
}

}  // namespace
