// The readers of the docking molecules' reference data: each reads a
// well-formed file, skips a bad line with a message naming file and line
// while reading the rest, and reports a missing file; then the look-ups of
// each table, the DARS eigen terms and the shipped data files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "geometry/zam_frame.h"
#include "geometry/zam_geom.h"
#include "runtime/zam_system.h"
#include "structure/zam_bond_data.h"
#include "structure/zam_dars_data.h"
#include "structure/zam_force_data.h"
#include "structure/zam_name_tables.h"
#include "structure/zam_template_data.h"

namespace {

using testutil::Capture;

std::string shipped(const char* name) { return std::string(TREL_SOURCE_DIR) + "/data/" + name; }

// One reader: how to open its file, a well-formed file with one bad line,
// that line's number and message head, and a look-up that answers for a
// line after the bad one (true when found).
struct Reader {
  const char* name;
  std::function<int(const char*)> open;
  std::string text;
  int bad_line;
  const char* head;
  const char* what;  // "Failed to open <what>"
  int count;         // what open returns for the text
  std::function<bool()> later_line_read;
};

std::vector<Reader> readers() {
  return {
      {"residue types", zam_open_residue_data,
       "# types\nALA AA A\nUNK UNK X\nDA DNA\nGLY AA G\nDT DNA T\n", 4, "Bad residue type: line ignored",
       "residue type file", 3, [] { return zam_dna_code("DT") == 'T'; }},
      {"atom names", zam_open_names, "elm OT1 O\nILE CD CD1 extra\nILE HD1 HD11\n", 2,
       "Bad atom name: line ignored", "atom names file", 2,
       [] { return !std::strcmp(zam_internal_name("ILE", "HD1"), "HD11"); }},
      {"bonds", zam_open_bond_template, "ALA N CA 1 m\nALA CA C one m\nALA C O 2 m\n", 2,
       "Bad atom bond: line ignored", "atom bonds file", 2,
       [] {
         char a[5], b[5];
         int order = 0;
         return zam_get_bond_template(1, a, b, &order) == 1 && !std::strcmp(b, "O") && order == 2;
       }},
      {"templates", zam_open_template,
       "ALA HA CA CA N C -0.5 0.9 0.4 1.09\nPHE HZ CZ CZ CE1 -0.9 0 0.5\nPHE HD1 CD1 CD1 CG CE1 -0.9 0 0.5 1.08\n",
       2, "Bad atom template: line ignored", "hydrogen template file", 2,
       [] { return zam_lookup_template("PHE", "HD1", nullptr, nullptr, nullptr, nullptr) == 1; }},
      {"OPLS", zam_open_opls_data, "1 3.75 0.105\n2 2.96\n3 3.50 0.066\n", 2, "Bad opls type: line ignored",
       "OPLS data file", 2,
       [] {
         double s = 0, e = 0;
         return zam_opls_data(3, &s, &e) == 1 && s == 3.50;
       }},
      {"hydrogen bonds", zam_open_hbond_data, "1 1 100 50\n1 x 100 50\n2 3 200 70\n", 2,
       "Bad hbond type: line ignored", "hbond data file", 2,
       [] {
         double c = 0, d = 0;
         return zam_hbond_data(2, 3, &c, &d) == 1;
       }},
      {"DARS", zam_open_dars_data, "1 1 -1.0\n1 2 0.5 0.1\n2 2 -2.0\n", 2, "Bad DARS type: line ignored",
       "DARS data file", 2, [] { return zam_dars_value(1, 1) != 0.0; }},
  };
}

TEST(ReferenceData, EachReaderReadsSkipsAndReports) {
  testutil::TempDir dir;
  for (const Reader& r : readers()) {
    SCOPED_TRACE(r.name);
    const std::string file = dir.file("good.dat");
    testutil::write_file(file, r.text);
    const std::string bad = testutil::split_lines(r.text)[size_t(r.bad_line - 1)];
    {
      Capture cap;
      EXPECT_EQ(r.open(file.c_str()), r.count);
      EXPECT_TRUE(cap.has(std::string(r.head) + ": " + bad + " (line " + std::to_string(r.bad_line) +
                          " of " + file + ")\n"))
          << cap.text;
      EXPECT_TRUE(r.later_line_read());
    }
    {
      // A missing file: reported with its path, and the tables are empty.
      Capture cap;
      const std::string absent = dir.file("absent.dat");
      EXPECT_EQ(r.open(absent.c_str()), 0);
      EXPECT_TRUE(cap.has(std::string("Failed to open ") + r.what + ": " + absent + "\n" +
                          "Make sure that ZAM_ROOT is set to Zam's home directory.\n"))
          << cap.text;
      EXPECT_FALSE(r.later_line_read());
    }
  }
}

TEST(ReferenceData, ResidueTypesAndAtomNames) {
  testutil::TempDir dir;
  Capture cap;
  testutil::write_file(dir.file("types.dat"),
                       "ALA AA A\nHOH UNK -\nASX AA X\nGAP AA -\nDA DNA A\nU RNA U\nXX AAA Q\nLONGNAME AA L\n");
  EXPECT_EQ(zam_open_residue_data(dir.file("types.dat").c_str()), 5);
  EXPECT_TRUE(cap.has("Bad residue type: line ignored: XX AAA Q (line 7"));
  EXPECT_TRUE(cap.has("LONGNAME AA L (line 8"));
  EXPECT_EQ(zam_aa_code("ALA"), 'A');
  EXPECT_EQ(zam_aa_code("HOH"), 0);  // UNK lines are not kept
  EXPECT_EQ(zam_aa_code("DA"), 0);
  EXPECT_EQ(zam_dna_code("DA"), 'A');
  EXPECT_EQ(zam_dna_code("U"), 'U');  // RNA goes with the nucleotides
  EXPECT_EQ(zam_is_aa("ALA"), 1);
  EXPECT_EQ(zam_is_aa("ASX"), 0);  // listed, but with code X
  EXPECT_EQ(zam_is_aa("GAP"), 0);
  EXPECT_EQ(zam_is_dna("DA"), 1);
  EXPECT_EQ(zam_is_aa(nullptr), 0);
  EXPECT_EQ(zam_short_code("ALA"), 'A');
  EXPECT_EQ(zam_short_code("U"), 'U');
  EXPECT_EQ(zam_short_code("ZZZ"), 'X');

  testutil::write_file(dir.file("names.dat"),
                       "elm HN H\nelm HD1 HX\nILE HD1 HD11\nILE CD CD1\nelm CD CZ\n");
  EXPECT_EQ(zam_open_names(dir.file("names.dat").c_str()), 5);
  EXPECT_STREQ(zam_internal_name("ILE", "HD1"), "HD11");  // the residue's row wins over elm
  EXPECT_STREQ(zam_internal_name("ILE", "1HD"), "HD11");  // normalised first
  EXPECT_STREQ(zam_internal_name("ILE", "CD"), "CD1");    // though elm comes after it
  EXPECT_STREQ(zam_internal_name("PHE", "HD1"), "HX");    // elm for other residues
  EXPECT_STREQ(zam_internal_name("ALA", "HN"), "H");
  EXPECT_STREQ(zam_internal_name("ALA", "2HB"), "HB2");   // not listed: the normalised name
  EXPECT_STREQ(zam_internal_name("ALA", "CA"), "CA");
  EXPECT_STREQ(zam_internal_name("ALA", "1"), "1");       // a lone digit stays
}

TEST(ReferenceData, BondTemplates) {
  testutil::TempDir dir;
  Capture cap;
  testutil::write_file(dir.file("bonds.dat"),
                       "SER N CA 1 m\nSER CA CB 1 m\nSER CB OG 1 s\nGLY N CA 1 m\nGLY C O 2 m\n"
                       "SER C O 2 m\nTOOLONG N CA 1 m\nGLY CA C 256 m\n");
  EXPECT_EQ(zam_open_bond_template(dir.file("bonds.dat").c_str()), 6);
  EXPECT_TRUE(cap.has("(line 7 of"));
  EXPECT_TRUE(cap.has("(line 8 of"));
  int first = -7, last = -7;
  ASSERT_EQ(zam_match_bond_template("SER", &first, &last), 1);
  EXPECT_EQ(first, 0);  // its first run of lines
  EXPECT_EQ(last, 2);
  ASSERT_EQ(zam_match_bond_template("GLY", &first, &last), 1);
  EXPECT_EQ(first, 3);
  EXPECT_EQ(last, 4);
  first = last = -7;
  EXPECT_EQ(zam_match_bond_template("ALA", &first, &last), 0);
  EXPECT_EQ(first, -7);
  char a1[5] = "?", a2[5] = "?";
  int order = -1;
  ASSERT_EQ(zam_get_bond_template(2, a1, a2, &order), 1);
  EXPECT_STREQ(a1, "CB");
  EXPECT_STREQ(a2, "OG");
  EXPECT_EQ(order, 1);
  EXPECT_EQ(zam_get_bond_template(6, a1, a2, &order), 0);
  EXPECT_EQ(zam_get_bond_template(-1, a1, a2, &order), 0);
  EXPECT_STREQ(a1, "CB");
}

TEST(ReferenceData, HydrogenTemplates) {
  testutil::TempDir dir;
  Capture cap;
  testutil::write_file(dir.file("t.dat"),
                       "ARG HE xNE NE CD CZ -0.866 0 0.5 1.01\n"
                       "PHE HD1 CD1 CD1 CG CE1 3 4 0 2.0\n"
                       "ALA HA CA CA N C 0 0 0 1.09\n"
                       "PHE HZ CZ CZ CE1 CE2 -0.866 0 0.5 1.08\n");
  EXPECT_EQ(zam_open_template(dir.file("t.dat").c_str()), 4);
  char parent[5], r1[5], r2[5], r3[5], h[5];
  ASSERT_EQ(zam_lookup_template("ARG", "HE", parent, r1, r2, r3), 0);
  EXPECT_STREQ(parent, " NE");  // a leading x stands for a blank
  EXPECT_STREQ(r1, "NE");
  EXPECT_STREQ(r3, "CZ");
  std::strcpy(parent, "?");
  EXPECT_EQ(zam_lookup_template("ARG", "HH11", parent, r1, r2, r3), -1);  // not the first template
  EXPECT_STREQ(parent, "?");
  EXPECT_EQ(zam_match_template(0, "PHE"), 1);
  EXPECT_EQ(zam_match_template(2, "PHE"), 3);
  EXPECT_EQ(zam_match_template(4, "PHE"), -1);
  ASSERT_EQ(zam_get_template(3, h, parent, r1, r2, r3), 1);
  EXPECT_STREQ(h, "HZ");
  EXPECT_STREQ(r2, "CE1");
  EXPECT_EQ(zam_get_template(4, h, parent, r1, r2, r3), 0);
  EXPECT_EQ(zam_template_count(), 4);

  // In the frame of p1 at the origin, p2 on -z and p3 on +x the offset
  // (3, 4, 0) scaled to the distance 2 is (1.2, 1.6, 0); a moved frame moves
  // the hydrogen with it.
  float out[3] = {};
  ASSERT_EQ(zam_apply_template(1, pt_make(0, 0, 0), pt_make(0, 0, -1.4), pt_make(1.4, 0, 0.7), out), 1);
  EXPECT_NEAR(out[0], 1.2, 1e-6);
  EXPECT_NEAR(out[1], 1.6, 1e-6);
  EXPECT_NEAR(out[2], 0.0, 1e-6);
  const Matrix3D move = tf_tftf(tf_random(), tf_1_point(pt_make(3, -2, 5)));
  const Point3D p1 = pt_tfpt(move, pt_make(0, 0, 0)), p2 = pt_tfpt(move, pt_make(0, 0, -1.4)),
                p3 = pt_tfpt(move, pt_make(1.4, 0, 0.7));
  ASSERT_EQ(zam_apply_template(1, p1, p2, p3, out), 1);
  const Point3D want = pt_tfpt(move, pt_make(1.2, 1.6, 0));
  EXPECT_NEAR(d_ptpt(pt_make(out[0], out[1], out[2]), want), 0.0, 1e-5);

  // Measuring the placed hydrogen gives the template back, scaled.
  float offset[3], distance = 0;
  zam_measure_template(p1, p2, p3, p1, want, offset, &distance);
  EXPECT_NEAR(offset[0], 1.2, 1e-5);
  EXPECT_NEAR(offset[1], 1.6, 1e-5);
  EXPECT_NEAR(distance, 2.0, 1e-5);

  std::memset(out, 0, sizeof out);
  EXPECT_EQ(zam_apply_template(2, p1, p2, p3, out), 0);  // a zero offset places nothing
  EXPECT_EQ(zam_apply_template(9, p1, p2, p3, out), 0);
  EXPECT_EQ(out[0], 0.0f);
}

TEST(ReferenceData, ForceFieldTables) {
  testutil::TempDir dir;
  Capture cap;
  testutil::write_file(dir.file("opls.dat"),
                       "2 2.96 0.210\n3 2.96 0.210\n4 3.25 0.170\n100 1 1\n-1 1 1\n5 2.96 0.210\n7 9 9\n7 1 0.5\n");
  EXPECT_EQ(zam_open_opls_data(dir.file("opls.dat").c_str()), 5);  // lines 2 share line 1's pair
  EXPECT_TRUE(cap.has("*Warning* Bad OPLS code number, line ignored: 100 1 1 (line 4 of"));
  EXPECT_TRUE(cap.has("Bad OPLS code number, line ignored: -1 1 1 (line 5 of"));
  double s = -1, e = -1;
  ASSERT_EQ(zam_opls_data(3, &s, &e), 1);
  EXPECT_DOUBLE_EQ(s, 2.96);
  EXPECT_DOUBLE_EQ(e, 0.210 * 4.184);  // kcal to kJ
  ASSERT_EQ(zam_opls_data(5, &s, &e), 1);  // the same values again, not after their line
  EXPECT_DOUBLE_EQ(e, 0.210 * 4.184);
  ASSERT_EQ(zam_opls_data(7, &s, &e), 1);  // a code given twice: its last line
  EXPECT_DOUBLE_EQ(s, 1.0);
  EXPECT_EQ(zam_opls_data(6, &s, &e), 0);
  EXPECT_EQ(s, 0.0);
  EXPECT_EQ(e, 0.0);
  EXPECT_EQ(zam_opls_data(100, &s, &e), 0);
  // At most 100 distinct pairs.
  std::string many;
  for (int k = 0; k < 100; k++) many += std::to_string(k) + " 3.0 " + std::to_string(k + 1) + "\n";
  many += "5 4.0 1.0\n";
  testutil::write_file(dir.file("many.dat"), many);
  EXPECT_EQ(zam_open_opls_data(dir.file("many.dat").c_str()), 100);
  EXPECT_TRUE(cap.has("5 4.0 1.0 (line 101 of " + dir.file("many.dat") + ": more than 100 parameter pairs)"));
  ASSERT_EQ(zam_opls_data(5, &s, &e), 1);
  EXPECT_DOUBLE_EQ(s, 3.0);
  zam_close_opls_data();
  EXPECT_EQ(zam_opls_data(0, &s, &e), 0);  // closed: nothing until the next open

  testutil::write_file(dir.file("hb.dat"), "1 1 100 50\n10 10 7 3\n2 3 0 9\n1 11 5 5\n0 5 5 5\n11 1 5 5\n");
  EXPECT_EQ(zam_open_hbond_data(dir.file("hb.dat").c_str()), 3);
  EXPECT_TRUE(cap.has("*Warning* Bad hbond code number, line ignored: 1 11 5 5 (line 4 of"));
  EXPECT_TRUE(cap.has("0 5 5 5 (line 5 of"));
  EXPECT_TRUE(cap.has("11 1 5 5 (line 6 of"));
  double c = -1, d = -1;
  ASSERT_EQ(zam_hbond_data(1, 1, &c, &d), 1);
  EXPECT_DOUBLE_EQ(c, 100 * 4.184);
  EXPECT_DOUBLE_EQ(d, 50 * 4.184);
  ASSERT_EQ(zam_hbond_data(10, 10, &c, &d), 1);
  EXPECT_DOUBLE_EQ(c, 7 * 4.184);
  // Type 11 of the donor 1 would be slot 11, the pair (2, 1): nothing there.
  EXPECT_EQ(zam_hbond_data(2, 1, &c, &d), 0);
  EXPECT_EQ(c, 0.0);
  EXPECT_EQ(zam_hbond_data(2, 3, &c, &d), 0);  // a zero value
  EXPECT_EQ(zam_hbond_data(1, 11, &c, &d), 0);
  EXPECT_EQ(zam_hbond_data(0, 1, &c, &d), 0);
  zam_close_hbond_data();
  EXPECT_EQ(zam_hbond_data(1, 1, &c, &d), 0);
}

// A hand-checkable table: the block [[2, 1], [1, 2]] on types 1 and 2 has
// eigenvalues 3 and 1 with eigenvectors (1, 1)/sqrt 2 and (1, -1)/sqrt 2,
// and type 3 alone carries -4; everything is scaled by 4.184 to kJ/mol.
TEST(ReferenceData, DarsEigenDecomposition) {
  testutil::TempDir dir;
  Capture cap;
  testutil::write_file(dir.file("dars.dat"),
                       "1 1 2.0\n2 1 1.0\n2 2 2.0\n3 3 -4.0\n19 1 5.0\n0 2 5.0\n");
  EXPECT_EQ(zam_open_dars_data(dir.file("dars.dat").c_str()), 4);
  EXPECT_TRUE(cap.has("Reading DARS data file: " + dir.file("dars.dat") + "\n"));
  EXPECT_TRUE(cap.has("*Warning* Bad DARS data, line ignored: 19 1 5.0 (line 5 of"));
  EXPECT_TRUE(cap.has("0 2 5.0 (line 6 of"));
  const double k = 4.184;
  EXPECT_DOUBLE_EQ(zam_dars_value(0, 1), 1.0 * k);
  EXPECT_DOUBLE_EQ(zam_dars_value(1, 0), 1.0 * k);  // symmetric
  EXPECT_DOUBLE_EQ(zam_dars_value(17, 17), 0.0);

  // Ordered by |lambda|: -4, 3, 1, then zeros.
  EXPECT_NEAR(zam_dars_eigenvalue(0), -4.0 * k, 1e-12);
  EXPECT_NEAR(zam_dars_eigenvalue(1), 3.0 * k, 1e-12);
  EXPECT_NEAR(zam_dars_eigenvalue(2), 1.0 * k, 1e-12);
  for (int i = 3; i < ZAM_DARS_TYPES; i++) EXPECT_NEAR(zam_dars_eigenvalue(i), 0.0, 1e-12);
  EXPECT_NEAR(std::fabs(zam_dars_component(2, 0)), 1.0, 1e-12);
  EXPECT_NEAR(std::fabs(zam_dars_component(0, 1)), std::sqrt(0.5), 1e-12);
  EXPECT_NEAR(zam_dars_component(0, 1), zam_dars_component(1, 1), 1e-12);
  EXPECT_NEAR(zam_dars_component(0, 2), -zam_dars_component(1, 2), 1e-12);

  // V D V^T = A and V^T V = I over the whole table.
  for (int i = 0; i < ZAM_DARS_TYPES; i++)
    for (int j = 0; j < ZAM_DARS_TYPES; j++) {
      EXPECT_NEAR(zam_dars_reduced(i, j, ZAM_DARS_TYPES), zam_dars_value(i, j), 1e-12) << i << " " << j;
      double dot = 0;
      for (int m = 0; m < ZAM_DARS_TYPES; m++) dot += zam_dars_component(m, i) * zam_dars_component(m, j);
      EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-12) << i << " " << j;
    }
  // The strongest term alone is type 3's entry; two terms add the block's 3.
  EXPECT_NEAR(zam_dars_reduced(2, 2, 1), -4.0 * k, 1e-12);
  EXPECT_NEAR(zam_dars_reduced(0, 0, 1), 0.0, 1e-12);
  EXPECT_NEAR(zam_dars_reduced(0, 1, 2), 1.5 * k, 1e-12);
  EXPECT_NEAR(zam_dars_reduced(0, 1, 99), 1.0 * k, 1e-12);  // n held to 18

  EXPECT_EQ(zam_dars_value(18, 0), 0.0);
  EXPECT_EQ(zam_dars_eigenvalue(-1), 0.0);

  // Above debug level 1 the decomposition is printed for checking.
  EXPECT_FALSE(cap.has("DARS eigenvalues"));
  zam_debug = 2;
  EXPECT_EQ(zam_open_dars_data(dir.file("dars.dat").c_str()), 4);
  zam_debug = 0;
  EXPECT_TRUE(cap.has("DARS eigenvalues"));
  EXPECT_TRUE(cap.has("DARS eigenvectors"));
  zam_close_dars_data();
  EXPECT_EQ(zam_dars_value(0, 1), 0.0);
  EXPECT_EQ(zam_dars_eigenvalue(0), 0.0);
}

// The shipped files read without a word, and their values are what their
// headers say they are.
TEST(ReferenceData, ShippedFiles) {
  Capture cap;
  EXPECT_EQ(zam_open_residue_data(shipped("residue_types.dat").c_str()), 36);
  EXPECT_GT(zam_open_names(shipped("atom_names.dat").c_str()), 0);
  EXPECT_GT(zam_open_bond_template(shipped("atom_bonds.dat").c_str()), 0);
  EXPECT_GT(zam_open_template(shipped("atom_templates.dat").c_str()), 0);
  EXPECT_GT(zam_open_opls_data(shipped("opls_data.dat").c_str()), 0);
  EXPECT_EQ(zam_open_hbond_data(shipped("hbond_data.dat").c_str()), 12);
  EXPECT_EQ(zam_open_dars_data(shipped("dars_capri.dat").c_str()), 171);
  EXPECT_EQ(cap.text, "Reading DARS data file: " + shipped("dars_capri.dat") + "\n");

  EXPECT_EQ(zam_short_code("TRP"), 'W');
  EXPECT_EQ(zam_short_code("DG"), 'G');
  EXPECT_STREQ(zam_internal_name("GLY", "OT2"), "OXT");

  // Every atom of a residue's bonds is bonded, and the bond orders add up to
  // the valences of a Kekule form: 4 for C, 3 for N, 2 for O and S, counting
  // the hydrogens of no atom (so only atoms without hydrogens can be full).
  const struct {
    const char* residue;
    const char* full;  // an atom without hydrogens: its valence is complete
  } groups[] = {{"PHE", "CG"}, {"TRP", "CE2"}, {"HIS", "CG"}, {"ARG", "CZ"}, {"ASP", "CG"}};
  for (const auto& g : groups) {
    int first = -1, last = -1;
    ASSERT_EQ(zam_match_bond_template(g.residue, &first, &last), 1) << g.residue;
    std::map<std::string, int> valence;
    for (int k = first; k <= last; k++) {
      char a1[5], a2[5];
      int order = 0;
      ASSERT_EQ(zam_get_bond_template(k, a1, a2, &order), 1);
      valence[a1] += order;
      valence[a2] += order;
    }
    for (const auto& [atom, v] : valence)
      EXPECT_LE(v, atom[0] == 'C' ? 4 : atom[0] == 'N' ? 3 : 2) << g.residue << " " << atom;
    EXPECT_EQ(valence[g.full], 4) << g.residue;
  }

  // Codes 2 and 3 give the same pair (one entry); sigma stays in angstroms.
  double s2, e2, s3, e3;
  ASSERT_EQ(zam_opls_data(2, &s2, &e2), 1);
  ASSERT_EQ(zam_opls_data(3, &s3, &e3), 1);
  EXPECT_EQ(s2, s3);
  EXPECT_NEAR(e2, 0.210 * 4.184, 1e-12);

  // Each 12-10 pair has its minimum at r0 = sqrt(1.2 c / d), 1.9 or 2.0.
  for (int a = 1; a <= 3; a++)
    for (int b = 1; b <= 4; b++) {
      double c = 0, d = 0;
      ASSERT_EQ(zam_hbond_data(a, b, &c, &d), 1);
      EXPECT_NEAR(std::sqrt(1.2 * c / d), b == 4 ? 2.0 : 1.9, 1e-4) << a << " " << b;
    }

  // The table has rank 3: three eigen terms rebuild it.
  EXPECT_GT(std::fabs(zam_dars_eigenvalue(2)), 1.0);
  EXPECT_NEAR(zam_dars_eigenvalue(3), 0.0, 1e-12);
  for (int i = 0; i < ZAM_DARS_TYPES; i++)
    for (int j = 0; j < ZAM_DARS_TYPES; j++)
      EXPECT_NEAR(zam_dars_reduced(i, j, 3), zam_dars_value(i, j), 1e-12);
  // ILE/LEU with VAL attract, ASP with GLU repel: -0.05 (4.15 + 4.2), -0.05 (-7) + 0.5.
  EXPECT_NEAR(zam_dars_value(9, 17), -0.4175 * 4.184, 1e-12);
  EXPECT_NEAR(zam_dars_value(3, 6), 0.85 * 4.184, 1e-12);
}

// Bounded fuzzing: the shipped files, mutated by a seeded mutator (bytes
// changed, cut out or repeated, overlong runs, lines doubled), fed to every
// reader and looked up all over. Whatever the bytes, nothing is read or
// written out of bounds (the sanitizer build) and no look-up fails to answer.
TEST(ReferenceData, FuzzedFilesReadSafely) {
  testutil::TempDir dir;
  std::mt19937 random(20261208u);
  const struct {
    const char* file;
    std::function<int(const char*)> open;
  } readers[] = {
      {"residue_types.dat", zam_open_residue_data}, {"atom_names.dat", zam_open_names},
      {"atom_bonds.dat", zam_open_bond_template},   {"atom_templates.dat", zam_open_template},
      {"opls_data.dat", zam_open_opls_data},        {"hbond_data.dat", zam_open_hbond_data},
      {"dars_capri.dat", zam_open_dars_data},
  };
  const char bytes[] = "x0-9.e+# \t\n\r\0";
  for (const auto& r : readers) {
    const std::string original = testutil::read_file(shipped(r.file));
    for (int round = 0; round < 40; round++) {
      std::string text = original;
      for (int m = 0; m < 8; m++) {
        const size_t at = random() % (text.size() + 1);
        switch (random() % 4) {
          case 0: if (at < text.size()) text[at] = bytes[random() % (sizeof bytes - 1)]; break;
          case 1: text.erase(at, random() % 40); break;
          case 2: text.insert(at, std::string(random() % 400, bytes[random() % (sizeof bytes - 1)])); break;
          default: text.insert(at, text.substr(at, random() % 120)); break;
        }
      }
      testutil::write_file(dir.file("fuzz.dat"), text);
      Capture cap;
      EXPECT_GE(r.open(dir.file("fuzz.dat").c_str()), 0);
    }
    // Look-ups answer whatever was read, including names at their limits.
    for (const char* name : {"", "A", "ALA", "PHE", "LONGNAME", "1HB"}) {
      zam_short_code(name);
      zam_internal_name(name, name);
      int first, last;
      zam_match_bond_template(name, &first, &last);
      zam_lookup_template(name, name, nullptr, nullptr, nullptr, nullptr);
    }
    double a, b;
    for (int k = -1; k <= 101; k++) {
      zam_opls_data(k, &a, &b);
      zam_hbond_data(k / 10, k % 12, &a, &b);
      zam_dars_reduced(k % 20, k % 19, k % 21);
      char n1[5], n2[5];
      int order;
      zam_get_bond_template(k, n1, n2, &order);
      zam_get_template(k, n1, n2, n2, n2, n2);
    }
  }
}

// The hydrogen templates put alpha and ring hydrogens where an NMR structure
// with hydrogens has them (read here from the ATOM lines of its first model,
// as the structure image keeps no hydrogens).
TEST(ReferenceData, TemplatesPlaceHydrogensOfARealProtein) {
  TREL_REQUIRE_SHARED_DATA();
  Capture cap;
  ASSERT_GT(zam_open_template(shipped("atom_templates.dat").c_str()), 0);
  struct Residue {
    std::string name;
    std::map<std::string, Point3D> atoms;
  };
  std::map<int, Residue> residues;
  for (const std::string& l : testutil::split_lines(testutil::read_file(testutil::shared_pdb("mustang/1sp1.pdb")))) {
    if (l.rfind("ENDMDL", 0) == 0) break;
    if (l.rfind("ATOM", 0) != 0 || l.size() < 54) continue;
    Residue& r = residues[std::stoi(l.substr(22, 4))];
    r.name = testutil::split_words(l.substr(17, 3))[0];
    r.atoms[testutil::split_words(l.substr(12, 4))[0]] =
        pt_make(std::stod(l.substr(30, 8)), std::stod(l.substr(38, 8)), std::stod(l.substr(46, 8)));
  }
  int placed = 0;
  for (const auto& [number, r] : residues) {
    for (int k = zam_match_template(0, r.name.c_str()); k >= 0; k = zam_match_template(k + 1, r.name.c_str())) {
      char h[5], parent[5], r1[5], r2[5], r3[5];
      ASSERT_EQ(zam_get_template(k, h, parent, r1, r2, r3), 1);
      if (!r.atoms.count(h) || !r.atoms.count(r1) || !r.atoms.count(r2) || !r.atoms.count(r3)) continue;
      float out[3];
      ASSERT_EQ(zam_apply_template(k, r.atoms.at(r1), r.atoms.at(r2), r.atoms.at(r3), out), 1);
      const double miss = d_ptpt(pt_make(out[0], out[1], out[2]), r.atoms.at(h));
      EXPECT_LT(miss, 0.1) << r.name << " " << number << " " << h;  // 0.067 at most
      placed++;
    }
  }
  EXPECT_GT(placed, 30);
}

}  // namespace
