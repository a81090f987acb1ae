#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "structure/zam_atom_data.h"
#include "structure/zam_pdb.h"

namespace {

// Messages shown while a Capture lives, in captured (log_capture.h).
using Capture = testutil::Messages;
std::string& captured = testutil::Messages::said();

// Runs a test in a fresh working folder with ZAM_ROOT and ZAM_DATA set as
// given (null: unset), restoring everything afterwards.
struct Environment {
  testutil::TempDir dir;
  std::filesystem::path old_cwd = std::filesystem::current_path();
  std::string old_root, old_data;
  bool had_root, had_data;
  Environment(const char* root, const char* data) {
    const char* r = std::getenv("ZAM_ROOT");
    const char* d = std::getenv("ZAM_DATA");
    had_root = r != nullptr;
    had_data = d != nullptr;
    if (r) old_root = r;
    if (d) old_data = d;
    set("ZAM_ROOT", root);
    set("ZAM_DATA", data);
    std::filesystem::current_path(dir.path);
  }
  ~Environment() {
    std::filesystem::current_path(old_cwd);
    set("ZAM_ROOT", had_root ? old_root.c_str() : nullptr);
    set("ZAM_DATA", had_data ? old_data.c_str() : nullptr);
  }
  static void set(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
};

struct Params {
  float p1 = -1, p2 = -1;
  char type = '?';
  unsigned short s1 = 7, s2 = 7, s3 = 7;
  unsigned char b1 = 7, b2 = 7;
  int get(const char* residue, const char* atom) {
    return zam_atom_data(residue, atom, &p1, &p2, &type, &s1, &s2, &s3, &b1, &b2);
  }
};

const char* kSmallFile =
    "# test parameters\n"
    "ALA  N   1.55 1.0 N 7          # six fields\n"
    "ALA  CA  1.70 0.0 C 6 2 3 4 5  # ten fields\n"
    "ALA  CB  1.70 0.0 C 6 1   # seven\n"  // seven fields: rejected
    "\n"
    "   # only a comment\n"
    "ALA  C   1.70 0.0 C 6 0 0 0 -1\n"  // zero flags and class, negative code
    "SER  OG  1.52 1.0 O 8 1 1 3\n"     // nine fields
    "SER  HG  1.20 1.0 H 1\n"
    "SER  HB2 1.20 0.0 H 1\n"           // not polar: second parameter 0
    "SER  HW  1.20 1.0 w 1\n"           // type letter w is left out
    "SER  H   1.20 1.0 H 1 0 0\n"       // eight fields
    "GLY  CA  1.80 0.0 C 6\n"
    "ALA  O   1.52 1.0 O 8\n"            // a second group of ALA lines
    "SER  HX  1.20 1.0 H 1\n"            // a second group of SER lines
    "ALA  OXT x.x  1.0 O 8\n"            // bad float: too few fields
    "TOOLONG CA 1.7 0 C 6\n"             // residue name too long for its slot
    "ALA  CD  1.7 0 C 6 1 2 3 4 5\n"     // eleven fields
    "ALA  CE  1.7 0 C 70000\n";          // integer too large for its slot

TEST(AtomData, ReadsFieldsAndRejectsBadLines) {
  Environment env(nullptr, nullptr);
  const std::string file = env.dir.file("params.dat");
  testutil::write_file(file, kSmallFile);
  Capture cap;
  EXPECT_EQ(zam_open_atom_data(file.c_str()), 11);

  // Each bad line is named with its text, line number and file.
  EXPECT_NE(captured.find("Bad atom type: line ignored: ALA  CB  1.70 0.0 C 6 1   # seven (line 4 of " + file + ")\n"),
            std::string::npos) << captured;
  EXPECT_NE(captured.find("ALA  OXT x.x  1.0 O 8 (line 16 of"), std::string::npos) << captured;
  EXPECT_NE(captured.find("TOOLONG CA 1.7 0 C 6 (line 17 of"), std::string::npos) << captured;
  EXPECT_NE(captured.find("(line 18 of"), std::string::npos) << captured;
  EXPECT_NE(captured.find("(line 19 of"), std::string::npos) << captured;
  size_t count = 0;
  for (size_t at = captured.find("Bad atom type"); at != std::string::npos;
       at = captured.find("Bad atom type", at + 1))
    count++;
  EXPECT_EQ(count, 5u);

  Params p;
  ASSERT_EQ(p.get("ALA", "N"), 1);
  EXPECT_FLOAT_EQ(p.p1, 1.55f);
  EXPECT_FLOAT_EQ(p.p2, 1.0f);
  EXPECT_EQ(p.type, 'N');
  EXPECT_EQ(p.s1, 7);
  EXPECT_EQ(p.s2, 65535);  // six fields: no class, no code, no flags
  EXPECT_EQ(p.s3, 65535);
  EXPECT_EQ(p.b1, 0);
  EXPECT_EQ(p.b2, 0);

  ASSERT_EQ(p.get("ALA", "CA"), 1);
  EXPECT_EQ(p.s1, 6);
  EXPECT_EQ(p.b1, 2);
  EXPECT_EQ(p.b2, 3);
  EXPECT_EQ(p.s2, 3);  // the class is stored counted from 0
  EXPECT_EQ(p.s3, 5);

  ASSERT_EQ(p.get("ALA", "C"), 1);
  EXPECT_EQ(p.b1, 0);
  EXPECT_EQ(p.b2, 0);
  EXPECT_EQ(p.s2, 65535);  // class 0: none
  EXPECT_EQ(p.s3, 65535);  // negative code: none

  ASSERT_EQ(p.get("SER", "OG"), 1);
  EXPECT_EQ(p.s2, 2);  // a class of 3 is stored as 2
  EXPECT_EQ(p.s3, 65535);
  ASSERT_EQ(p.get("SER", "H"), 1);
  EXPECT_EQ(p.s2, 65535);

  // Rejected lines are not in the table; a miss leaves the outputs alone.
  Params q;
  EXPECT_EQ(q.get("ALA", "CB"), 0);
  EXPECT_EQ(q.get("ALA", "OXT"), 0);
  EXPECT_EQ(q.get("ALA", "CD"), 0);
  EXPECT_EQ(q.get("ALA", "CE"), 0);
  EXPECT_EQ(q.get("ala", "N"), 0);
  EXPECT_EQ(q.get("ALA", "N "), 0);
  EXPECT_EQ(q.get(nullptr, "N"), 0);
  EXPECT_EQ(q.get("ALA", nullptr), 0);
  EXPECT_FLOAT_EQ(q.p1, -1.0f);
  EXPECT_EQ(q.type, '?');
  EXPECT_EQ(q.s2, 7);

  // Separated groups of one residue are all searched.
  ASSERT_EQ(p.get("ALA", "O"), 1);
  EXPECT_FLOAT_EQ(p.p1, 1.52f);
  ASSERT_EQ(p.get("SER", "HX"), 1);

  // Null outputs are skipped.
  float r = 0;
  EXPECT_EQ(zam_atom_data("GLY", "CA", &r, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_FLOAT_EQ(r, 1.80f);
}

TEST(AtomData, PolarHydrogensOfFirstGroupOnly) {
  Environment env(nullptr, nullptr);
  const std::string file = env.dir.file("params.dat");
  testutil::write_file(file, kSmallFile);
  Capture cap;
  ASSERT_GT(zam_open_atom_data(file.c_str()), 0);

  char names[8][5];
  std::memset(names, '#', sizeof names);
  // HG and H; HB2 has a zero second parameter, HW type w, and HX stands in
  // the second SER group, which this look-up does not see.
  EXPECT_EQ(zam_atom_polar_hydrogens("SER", &names[0][0], 8), 2);
  EXPECT_STREQ(names[0], "HG");
  EXPECT_STREQ(names[1], "H");
  EXPECT_EQ(names[2][0], '#');

  // Never more names than the caller has room for; the count is still whole.
  std::memset(names, '#', sizeof names);
  EXPECT_EQ(zam_atom_polar_hydrogens("SER", &names[0][0], 1), 2);
  EXPECT_STREQ(names[0], "HG");
  EXPECT_EQ(names[1][0], '#');
  EXPECT_EQ(zam_atom_polar_hydrogens("SER", nullptr, 0), 2);

  EXPECT_EQ(zam_atom_polar_hydrogens("ALA", &names[0][0], 8), 0);
  EXPECT_EQ(zam_atom_polar_hydrogens("XYZ", &names[0][0], 8), 0);
  EXPECT_EQ(zam_atom_polar_hydrogens(nullptr, &names[0][0], 8), 0);
}

TEST(AtomData, CompressedFileAndLongLines) {
  Environment env(nullptr, nullptr);
  const std::string plain = env.dir.file("p.dat");
  std::string text = "ALA N 1.55 1.0 N 7\n";
  text += "ALA CA 1.70 0.0 C 6  #" + std::string(400, 'x') + "\n";  // long comment is cut
  text += "ALA C 1.70 0.0 C 6\r\n";                                  // DOS line end
  testutil::write_file(plain, text);
  ASSERT_EQ(std::system(("gzip -k " + plain).c_str()), 0);
  Capture cap;
  EXPECT_EQ(zam_open_atom_data((plain + ".gz").c_str()), 3);
  EXPECT_EQ(captured, "");
  Params p;
  EXPECT_EQ(p.get("ALA", "C"), 1);

  // A compressed file cut short reads like a shorter file line by line; the
  // stream's error state tells it apart: reported, and nothing is kept.
  const std::string shipped = std::string(TREL_SOURCE_DIR) + "/data/atom_params.dat";
  for (const char* codec : {"gzip", "bzip2"}) {
    const std::string big = env.dir.file(std::string("big_") + codec + ".dat");
    testutil::write_file(big, testutil::read_file(shipped));
    ASSERT_EQ(std::system((std::string(codec) + " " + big).c_str()), 0);
    const std::string packed = big + (std::string(codec) == "gzip" ? ".gz" : ".bz2");
    const std::string whole = testutil::read_file(packed);
    testutil::write_file(packed, whole.substr(0, whole.size() * 3 / 5));
    captured.clear();
    EXPECT_EQ(zam_open_atom_data(packed.c_str()), 0) << codec;
    EXPECT_EQ(captured.rfind("Failed to read atom data file: " + packed + " (after line ", 0), 0u) << captured;
    EXPECT_EQ(p.get("ALA", "C"), 0);
  }
}

TEST(AtomData, MissingFileIsReportedOnce) {
  // No file here, an empty ZAM_DATA folder and a ZAM_ROOT without data.
  Environment env(nullptr, nullptr);
  std::filesystem::create_directory(env.dir.path / "root");
  Environment::set("ZAM_ROOT", (env.dir.path / "root").c_str());
  Environment::set("ZAM_DATA", (env.dir.path / "nodata").c_str());
  Capture cap;
  EXPECT_EQ(zam_open_atom_data(""), 0);
  EXPECT_EQ(captured,
            "Failed to open atom data file: atom_params.dat\n"
            "Make sure that ZAM_ROOT is set to Zam's home directory.\n");
  // The radii of a structure's atoms look every atom up: not one more word.
  captured.clear();
  Params p;
  EXPECT_EQ(p.get("ALA", "CA"), 0);
  EXPECT_EQ(p.get("ALA", "CA"), 0);
  EXPECT_FLOAT_EQ(p.p1, -1.0f);
  testutil::write_file(env.dir.file("two.pdb"),
                       "ATOM      1  N   ALA A   1      11.104   6.134  -6.504  1.00  0.00           N\n"
                       "ATOM      2  CA  ALA A   1      11.639   6.071  -5.147  1.00  0.00           C\n"
                       "ATOM      3  C   ALA A   1      13.149   5.982  -5.103  1.00  0.00           C\n");
  _pdb_image* image = zam_readPdb(env.dir.file("two.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  float* radii = zam_radPdb(image, 0);
  EXPECT_EQ(radii[1], 0.0f);
  kfree(radii);
  zam_freePdb(image);
  EXPECT_EQ(captured, "");

  captured.clear();
  EXPECT_EQ(zam_open_atom_data(env.dir.file("absent.dat").c_str()), 0);
  EXPECT_NE(captured.find("Failed to open atom data file: " + env.dir.file("absent.dat")),
            std::string::npos);
}

TEST(AtomData, DefaultFileSearchOrder) {
  Environment env(nullptr, nullptr);
  const auto root = env.dir.path / "root";
  const auto data = env.dir.path / "data";
  std::filesystem::create_directories(root / "data");
  std::filesystem::create_directories(data);
  testutil::write_file((root / "data" / "atom_params.dat").string(), "ALA CA 3.0 0 C 6\n");
  testutil::write_file((data / "atom_params.dat").string(), "ALA CA 2.0 0 C 6\n");
  Capture cap;
  float r = 0;
  auto radius = [&r] {
    r = 0;
    zam_atom_data("ALA", "CA", &r, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    return r;
  };

  Environment::set("ZAM_ROOT", root.c_str());
  EXPECT_EQ(zam_open_atom_data(""), 1);
  EXPECT_FLOAT_EQ(radius(), 3.0f);  // the root's data folder

  Environment::set("ZAM_DATA", data.c_str());
  EXPECT_EQ(zam_open_atom_data(nullptr), 1);
  EXPECT_FLOAT_EQ(radius(), 2.0f);  // ZAM_DATA before the root

  testutil::write_file(env.dir.file("atom_params.dat"), "ALA CA 1.0 0 C 6\n");
  EXPECT_EQ(zam_open_atom_data(""), 1);
  EXPECT_FLOAT_EQ(radius(), 1.0f);  // the working folder first

  // Without ZAM_ROOT the library's own data folder serves.
  std::filesystem::remove(env.dir.file("atom_params.dat"));
  Environment::set("ZAM_ROOT", nullptr);
  Environment::set("ZAM_DATA", nullptr);
  EXPECT_GT(zam_open_atom_data(""), 400);
  EXPECT_FLOAT_EQ(radius(), 1.70f);
  EXPECT_EQ(captured, "");
}

// The shipped file: Bondi radii for the residues the classification tables
// name, read through the look-up order of the structure image.
TEST(AtomData, ShippedParameterFile) {
  Environment env(nullptr, nullptr);
  Capture cap;
  const std::string file = std::string(TREL_SOURCE_DIR) + "/data/atom_params.dat";
  ASSERT_GT(zam_open_atom_data(file.c_str()), 400);
  EXPECT_EQ(captured, "");  // no malformed line

  struct Case {
    const char* residue;
    const char* atom;
    float radius;
    char type;
    int z;
  } cases[] = {
      {"ALA", "CB", 1.70f, 'C', 6},  {"ARG", "NH2", 1.55f, 'N', 7}, {"TYR", "OH", 1.52f, 'O', 8},
      {"CYS", "SG", 1.80f, 'S', 16}, {"MET", "SD", 1.80f, 'S', 16}, {"TRP", "CH2", 1.70f, 'C', 6},
      {"MSE", "SE", 1.90f, 'S', 34}, {"SEC", "SE", 1.90f, 'S', 34}, {"SEP", "P", 1.80f, 'P', 15},
      {"PTR", "O3P", 1.52f, 'O', 8}, {"HYP", "OD1", 1.52f, 'O', 8}, {"DA", "N6", 1.55f, 'N', 7},
      {"DT", "C7", 1.70f, 'C', 6},   {"U", "O2'", 1.52f, 'O', 8},   {"G", "O6", 1.52f, 'O', 8},
      {"UNK", "OXT", 1.52f, 'O', 8}, {"elm", "H", 1.20f, 'H', 1},   {"elm", "P", 1.80f, 'P', 15},
  };
  for (const Case& c : cases) {
    Params p;
    ASSERT_EQ(p.get(c.residue, c.atom), 1) << c.residue << " " << c.atom;
    EXPECT_FLOAT_EQ(p.p1, c.radius) << c.residue << " " << c.atom;
    EXPECT_EQ(p.type, c.type) << c.residue << " " << c.atom;
    EXPECT_EQ(p.s1, c.z) << c.residue << " " << c.atom;
  }
  // Every heavy atom of the twenty amino acids is listed under its residue.
  const char* full[] = {"GLY N", "GLY CA", "GLY C", "GLY O", "LYS NZ", "GLU OE2", "GLN NE2",
                        "HIS NE2", "ILE CD1", "LEU CD2", "PHE CZ", "PRO CD", "SER OG",
                        "THR OG1", "VAL CG2", "ASP OD2", "ASN ND2"};
  for (const char* ra : full) {
    std::string s = ra;
    Params p;
    EXPECT_EQ(p.get(s.substr(0, 3).c_str(), s.substr(4).c_str()), 1) << s;
  }
  Params p;
  EXPECT_EQ(p.get("GLY", "CB"), 0);

  char names[16][5];
  EXPECT_EQ(zam_atom_polar_hydrogens("ARG", &names[0][0], 16), 6);
  EXPECT_STREQ(names[0], "H");
  EXPECT_STREQ(names[5], "HH22");
  EXPECT_EQ(zam_atom_polar_hydrogens("PRO", &names[0][0], 16), 0);
  EXPECT_EQ(zam_atom_polar_hydrogens("SER", &names[0][0], 16), 2);
}

// The radius look-up of the structure image falls back from (residue, atom)
// to ("UNK", atom), ("UNK", first letter) and ("elm", first letter).
TEST(AtomData, RadiusLookUpOrder) {
  Environment env(nullptr, nullptr);
  Capture cap;
  const std::string file = std::string(TREL_SOURCE_DIR) + "/data/atom_params.dat";
  ASSERT_GT(zam_open_atom_data(file.c_str()), 400);

  struct Atom {
    const char* residue;
    const char* name;
    float radius;
  } list[] = {
      {"MSE", "SE", 1.90f},   // the residue's own entry
      {"XYZ", "OXT", 1.52f},  // ("UNK", atom)
      {"XYZ", "CA", 1.70f},   // ("UNK", atom)
      {"XYZ", "SG9", 1.80f},  // ("UNK", "S")
      {"ALA", "CZ9", 1.70f},  // ("UNK", "C")
      {"HOH", "H1", 1.20f},   // ("elm", "H")
      {"XYZ", "P7", 1.80f},   // ("elm", "P")
      {"ZN", "ZN", 0.0f},     // nothing answers
  };
  const int n = int(sizeof list / sizeof list[0]);
  _pdb_image image{};
  image.natoms = n;
  image.atoms = static_cast<_pdb_atom*>(kget1B_0(int64_t(n) * int64_t(sizeof(_pdb_atom))));
  for (int i = 0; i < n; i++) {
    std::snprintf(image.atoms[i].resname, sizeof image.atoms[i].resname, "%s", list[i].residue);
    std::snprintf(image.atoms[i].name, sizeof image.atoms[i].name, "%s", list[i].name);
  }
  float* radii = zam_radPdb(&image, 0);
  ASSERT_NE(radii, nullptr);
  for (int i = 0; i < n; i++) EXPECT_FLOAT_EQ(radii[i], list[i].radius) << list[i].name;
  kfree(radii);

  zam_loadPdbZamRadii(&image);
  for (int i = 0; i < n; i++) EXPECT_DOUBLE_EQ(image.atoms[i].radius, double(list[i].radius)) << list[i].name;
  kfree(image.atoms);
}

}  // namespace

namespace {

// Every atom of a real protein gets a radius from the shipped file.
TEST(AtomData, RadiiOfUbiquitin) {
  TREL_REQUIRE_SHARED_DATA();
  Environment env(nullptr, nullptr);
  Capture cap;
  ASSERT_GT(zam_open_atom_data((std::string(TREL_SOURCE_DIR) + "/data/atom_params.dat").c_str()), 400);
  _pdb_image* image = zam_readPdb(testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  zam_loadPdbZamRadii(image);
  for (int i = 0; i < image->natoms; i++) {
    const _pdb_atom& a = image->atoms[i];
    const double expect = a.name[0] == 'N' ? 1.55 : a.name[0] == 'O' ? 1.52 : a.name[0] == 'S' ? 1.80 : 1.70;
    EXPECT_NEAR(a.radius, expect, 1e-6) << a.resname << " " << a.name;
  }
  zam_freePdb(image);
}

}  // namespace
