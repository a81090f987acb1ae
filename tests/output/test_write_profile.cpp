// Profile files and rainbow files of a hand-made two-row profile of two real
// zinc fingers: block layout, residue cells, colour codes, PIR ends, rows
// thousands of letters long written whole, FASTA read back against the
// table, rainbow colours of gaps and singleton columns, residue masks in
// every rainbow PDB file, chain letters, and an unwritable folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "align/trel_profile.h"
#include "common/log_capture.h"
#include "common/run_trel.h"
#include "common/test_util.h"
#include "output/trel_print.h"
#include "output/trel_profile_rainbow.h"
#include "output/trel_run_options.h"
#include "output/trel_write_profile.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace fs = std::filesystem;

namespace {

using testutil::split_lines;  // test_util.h

// Rows 1ard (pivot) and 1zaa1 with a table filled by the caller: entry
// (c, r) = table[2c + r].
struct Profile {
  _trel_profile p{};
  _trel_thing* things[2] = {nullptr, nullptr};
  char names[2][TREL_PROFILE_NAME] = {"1ard", "1zaa1"};
  std::vector<int> table;

  explicit Profile(int cols) : table((size_t)cols * 2, -1) {
    const char* ids[2] = {"1ard", "1zaa1"};
    for (int r = 0; r < 2; r++) {
      const std::string file = testutil::shared_pdb(std::string("mustang-testdata/") + ids[r] + ".pdb");
      things[r] = trel_createThing(ids[r], "./");
      things[r]->image = zam_readPdb(file.c_str(), ids[r]);
    }
    p.n_rows = p.n_used = 2;
    p.n_struct = 1;
    p.n_cols = cols;
    p.name = const_cast<char*>("zf");
    p.names = names;
    p.things = things;
    p.table = table.data();
  }
  ~Profile() {
    for (_trel_thing* t : things) trel_closeThing(nullptr, t);
  }
  bool ok() const { return things[0]->image && things[1]->image; }
  const _pdb_image* image(int r) const { return things[r]->image; }
  void set(int c, int r, int residue) { table[(size_t)c * 2 + r] = residue; }
};

_trel_options options(int width) {
  _trel_options o;
  o.n_columns = width;
  return o;
}

// The 20-column profile of the layout tests: the pivot holds residues 0..17
// in columns 0..17; 1zaa1 holds residue c in columns 0..9 except column 3.
void fill20(Profile& f) {
  for (int c = 0; c < 18; c++) f.set(c, 0, c);
  for (int c = 0; c < 10; c++)
    if (c != 3) f.set(c, 1, c);
}

TEST(ProfileFiles, FindActiveColumnBounds) {
  const int table[] = {0, -1, 1, -1, -1, 5, 2, 6};  // 4 columns of 2 rows
  EXPECT_EQ(findActiveColumn(table, 2, 1, 0, 4), 2);
  EXPECT_EQ(findActiveColumn(table, 2, 1, 3, 4), 3);
  EXPECT_EQ(findActiveColumn(table, 2, 1, 0, 2), -1);
  EXPECT_EQ(findActiveColumn(table, 2, 0, 2, 2), -1);  // empty range
  EXPECT_EQ(findActiveColumn(table, 2, 0, 3, 1), -1);
}

TEST(ProfileFiles, BlocksCellsColoursAndPirEnd) {
  Profile f(20);
  TREL_REQUIRE_SHARED_DATA();
  ASSERT_TRUE(f.ok());
  fill20(f);
  testutil::TempDir dir;
  const std::string folder = dir.str() + "/";
  const _trel_options o = options(10);
  testutil::Capture said;
  trel_writeProfile(&f.p, 1, tf_identity(), "_multi", "", folder.c_str(), &o);
  EXPECT_TRUE(said.has("Writing KMSA file: " + folder + "zf_multi.kmsa")) << said.text;

  const std::vector<std::string> kmsa = split_lines(testutil::read_file(folder + "zf_multi.kmsa"));
  // Two blocks of 10 columns (no empty third block), each: 2 rows, an
  // empty line, a rule, the reference and colour rows, a rule, an empty line.
  ASSERT_EQ(kmsa.size(), 16u);
  const _pdb_residue& first1 = f.image(1)->residues[0];
  char cell[64];
  snprintf(cell, sizeof cell, " %s(%6.6s)  ", first1.chain, first1.resnum);
  std::string letters1;
  for (int c = 0; c < 10; c++) letters1 += c == 3 ? '-' : f.image(1)->residues[c].code[0];
  EXPECT_EQ(kmsa[1], std::string("1zaa1") + std::string(19, ' ') + cell + letters1);
  EXPECT_EQ(kmsa[3], std::string(46, '-'));
  EXPECT_EQ(kmsa[5], "Colour-Codes            " + std::string(" -(------)  ") + "ROYGBVROYG");
  // The second block: 1zaa1 has no residue there, so its cell is the empty one.
  EXPECT_EQ(kmsa[9], "1zaa1                    -(------)  ----------");
  EXPECT_EQ(kmsa[13], "Colour-Codes             -(------)  BVROYGBVRO");
  EXPECT_EQ(kmsa[12].substr(0, 13), "Reference-SSE");
  EXPECT_EQ(kmsa[12].substr(46 - 10 + 8), "  ");  // the pivot's gaps: blanks
  for (const std::string& l : kmsa) EXPECT_EQ(l.find("Consensus"), std::string::npos);

  // PIR: 20 letters and the '*' in lines of 10: the '*' stands alone.
  const std::vector<std::string> pir = split_lines(testutil::read_file(folder + "zf_multi.pir"));
  ASSERT_GE(pir.size(), 5u);
  EXPECT_EQ(pir[0], ">P1;1ard");
  EXPECT_EQ(pir[1].substr(0, 15), "structure:1ard:");
  EXPECT_EQ(pir[4], "*");

  // FASTA read back gives the table's letters.
  const std::vector<std::string> fasta = split_lines(testutil::read_file(folder + "zf_multi.fasta"));
  ASSERT_GE(fasta.size(), 7u);
  EXPECT_EQ(fasta[4].substr(0, 7), ">1zaa1 ");
  EXPECT_EQ(fasta[5] + fasta[6], letters1 + std::string(10, '-'));

  // The summary: one line per column, a gap as "-".
  const std::vector<std::string> kmulti = split_lines(testutil::read_file(folder + "zf.kmulti"));
  ASSERT_EQ(kmulti.size(), 1u + 1 + 2 + 5 + 1 + 20);
  EXPECT_EQ(kmulti[2].substr(0, 22), "#Name:      1  1ard  1");
  const std::string col3 = kmulti[10 + 3];
  EXPECT_EQ(col3.substr(col3.size() - 13), "  -          ");

  // Both members' PDB files, and the listing without residue cells.
  EXPECT_TRUE(fs::exists(folder + "1ard.pdb"));
  EXPECT_TRUE(fs::exists(folder + "1zaa1.pdb"));
  const std::vector<std::string> kalign = split_lines(testutil::read_file(folder + "zf_multi.kalign"));
  ASSERT_GE(kalign.size(), 8u);
  EXPECT_EQ(kalign[1], "#Primary query:      1ard");
  EXPECT_EQ(kalign[7], "1zaa1                   " + letters1);
}

TEST(ProfileFiles, ConsensusRowsWhenPresent) {
  Profile f(20);
  TREL_REQUIRE_SHARED_DATA();
  ASSERT_TRUE(f.ok());
  fill20(f);
  std::string aa(20, 'x'), sse(20, 'C');
  aa[5] = 'H';
  f.p.cons_aa = aa.data();
  f.p.cons_sse = sse.data();
  testutil::TempDir dir;
  const std::string folder = dir.str() + "/";
  const _trel_options o = options(10);
  testutil::Capture said;
  trel_printProfile(&f.p, 1, &o);
  EXPECT_TRUE(said.has("Consensus-AA             -(------)  xxxxxHxxxx\n")) << said.text;
  EXPECT_TRUE(said.has("Consensus-SSE            -(------)  CCCCCCCCCC\n"));
  EXPECT_FALSE(said.has("Reference-SSE"));  // only in the files
  trel_writeProfile(&f.p, 1, tf_identity(), "", "_flex", folder.c_str(), &o);
  const std::string kalign = testutil::read_file(folder + "zf_flex.kalign");
  EXPECT_TRUE(testutil::has(kalign, "\nConsensus-AA            xxxxxHxxxx\n")) << kalign;
  EXPECT_FALSE(testutil::has(kalign, "Colour-Codes"));
  EXPECT_TRUE(fs::exists(folder + "zf_flex.kmulti"));
  EXPECT_TRUE(fs::exists(folder + "1zaa1_flex.pdb"));
}

TEST(ProfileFiles, RowsOfThousandsOfColumnsAreWrittenWhole) {
  Profile f(3000);
  TREL_REQUIRE_SHARED_DATA();
  ASSERT_TRUE(f.ok());
  for (int i = 0; i < f.image(0)->nres && i < 30; i++) f.set(i * 100, 0, i);
  for (int i = 0; i < f.image(1)->nres && i < 30; i++) f.set(i * 100 + 1, 1, i);
  testutil::TempDir dir;
  const std::string folder = dir.str() + "/";
  const _trel_options o = options(10000);
  testutil::Capture said;
  trel_printProfile(&f.p, 1, &o);
  trel_writeProfile(&f.p, 1, tf_identity(), "_multi", "", folder.c_str(), &o);
  bool long_row = false;
  for (const std::string& l : split_lines(said.text)) long_row = long_row || (l.size() == 3036 && l.rfind("1ard ", 0) == 0);
  EXPECT_TRUE(long_row);
  const std::vector<std::string> fasta = split_lines(testutil::read_file(folder + "zf_multi.fasta"));
  ASSERT_EQ(fasta.size(), 6u);
  EXPECT_EQ(fasta[1].size(), 3000u);
  EXPECT_EQ(fasta[4].size(), 3000u);
  EXPECT_EQ(split_lines(testutil::read_file(folder + "zf_multi.pir"))[2].size(), 3001u);
  EXPECT_EQ(split_lines(testutil::read_file(folder + "zf_multi.kmsa"))[0].size(), 3036u);
}

TEST(ProfileFiles, UnwritableFolderWarnsPerFileAndCounts) {
  Profile f(20);
  TREL_REQUIRE_SHARED_DATA();
  ASSERT_TRUE(f.ok());
  fill20(f);
  const _trel_options o = options(80);
  const int before = trel_failedFiles();
  testutil::Capture said;
  trel_writeProfile(&f.p, 1, tf_identity(), "_multi", "", "/nonexistent/trel/", &o);
  trel_writeProfileRainbow(&f.p, 1, tf_identity(), "_multi", "", "/nonexistent/trel/", &o);
  EXPECT_TRUE(said.has("Failed to open result file: /nonexistent/trel/zf.kmulti")) << said.text;
  EXPECT_TRUE(said.has("Cannot write PDB file: /nonexistent/trel/1zaa1.pdb"));
  EXPECT_TRUE(said.has("/nonexistent/trel/zf_multi_rainbow.tcl"));
  // Five text files, two members, and the rainbow set: one PDB and one
  // macro for Zam, one script and two PDB files for VMD.
  EXPECT_EQ(trel_failedFiles() - before, 5 + 2 + 2 + 3);
}

TEST(ProfileRainbow, ChainLettersCycleThroughSixtyTwo) {
  char c = 'A';
  std::string seen;
  for (int k = 0; k < 62; k++) {
    seen += c;
    c = next_chainLetter(c);
  }
  EXPECT_EQ(seen, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
  EXPECT_EQ(c, 'A');  // the 63rd structure
  EXPECT_EQ(next_chainLetter('-'), '-');
}

TEST(ProfileRainbow, GapsSkipColoursAndSingletonsAreGrey) {
  Profile f(20);
  TREL_REQUIRE_SHARED_DATA();
  ASSERT_TRUE(f.ok());
  fill20(f);
  testutil::TempDir dir;
  const std::string folder = dir.str() + "/";
  const _trel_options o = options(80);
  trel_writeProfileRainbow(&f.p, 1, tf_identity(), "_multi", "", folder.c_str(), &o);
  const std::string mac = testutil::read_file(folder + "zf_multi_rainbow.mac");
  auto colour = [&](char chain, int r, int i, const char* name) {
    const char* n = f.image(r)->residues[i].resnum;
    return testutil::has(mac, std::string("residue_colour ") + chain + " " + n + " " + n + " " + name + "\n");
  };
  EXPECT_TRUE(colour('A', 0, 3, "grey"));    // 1zaa1 has a gap there
  EXPECT_TRUE(colour('A', 0, 12, "grey"));   // the pivot alone
  EXPECT_TRUE(colour('A', 0, 6, "red"));     // column 6 starts the cycle again
  EXPECT_TRUE(colour('B', 1, 4, "blue"));    // the gap before it still counts
  EXPECT_TRUE(colour('B', 1, 5, "violet"));
  EXPECT_TRUE(testutil::has(mac, "open_receptor zf_multi_rainbow.pdb\n"));
  const std::string pdb = testutil::read_file(folder + "zf_multi_rainbow.pdb");
  EXPECT_TRUE(testutil::has(pdb, "REMARK  Target 1:      1zaa1\nMODEL        2\n")) << pdb.substr(0, 300);
  const std::string tcl = testutil::read_file(folder + "zf_multi_rainbow.tcl");
  EXPECT_TRUE(testutil::has(tcl, "set TheStructure \"zf_multi_rainbow_00002.pdb\" ;\n"));
  EXPECT_TRUE(testutil::has(tcl, "\nset TheChain \"B\" ;\n\n"));
  EXPECT_TRUE(fs::exists(folder + "zf_multi_rainbow_00001.pdb"));
  // A chain B atom line in the second VMD file.
  const std::string second = testutil::read_file(folder + "zf_multi_rainbow_00002.pdb");
  EXPECT_TRUE(testutil::has(second, "ATOM  ") && second[second.find("ATOM  ") + 21] == 'B');
}


// Residue labels of the ATOM lines of text (columns 23-27, blanks cut), in
// order, once each.
std::vector<std::string> atomResidues(const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& line : split_lines(text)) {
    if (line.compare(0, 6, "ATOM  ") != 0 || line.size() < 27) continue;
    std::string number = line.substr(22, 5);
    number = number.substr(number.find_first_not_of(' '));
    number = number.substr(0, number.find_last_not_of(' ') + 1);
    if (out.empty() || out.back() != number) out.push_back(number);
  }
  return out;
}

// The model of row r of the Zam rainbow PDB file.
std::string zamModel(const std::string& pdb, int r) {
  const std::string head = "MODEL " + std::string(8 - std::to_string(r + 1).size(), ' ') + std::to_string(r + 1) + "\n";
  const size_t from = pdb.find(head);
  if (from == std::string::npos) return "";
  return pdb.substr(from, pdb.find("ENDMDL", from) - from);
}

// With a residue mask the Zam model and the VMD file of each row hide the
// same residues: mask 1 those of the row left unaligned (in a column no
// other row fills), mask -1 the aligned ones; residues in no column are
// never hidden. The structures themselves keep every residue shown.
TEST(ProfileRainbow, MasksHideTheSameResiduesInTheZamAndVmdFiles) {
  Profile f(20);
  TREL_REQUIRE_SHARED_DATA();
  ASSERT_TRUE(f.ok());
  fill20(f);
  const int pivot_residues = f.image(0)->nres;
  ASSERT_GT(pivot_residues, 20);
  for (int mask : {1, -1}) {
    SCOPED_TRACE(mask);
    testutil::TempDir dir;
    const std::string folder = dir.str() + "/";
    _trel_options o = options(80);
    o.residue_mask = mask;
    trel_writeProfileRainbow(&f.p, 1, tf_identity(), "_multi", "", folder.c_str(), &o);
    const std::string zam = testutil::read_file(folder + "zf_multi_rainbow.pdb");
    for (int r = 0; r < 2; r++) {
      SCOPED_TRACE(r);
      const std::vector<std::string> shown = atomResidues(zamModel(zam, r));
      char file[48];
      snprintf(file, sizeof file, "zf_multi_rainbow_%05d.pdb", r + 1);
      EXPECT_EQ(atomResidues(testutil::read_file(folder + file)), shown);
      // Aligned: columns 0..9 but 3, residues 0..9 but 3 of both rows.
      std::vector<std::string> expected;
      for (int i = 0; i < f.image(r)->nres; i++) {
        const bool aligned = i < 10 && i != 3;
        const bool in_table = r == 0 ? i < 18 : aligned;
        const bool hidden = in_table && (mask == 1 ? !aligned : aligned);
        if (!hidden) expected.push_back(f.image(r)->residues[i].resnum);
      }
      EXPECT_EQ(shown, expected);
    }
  }
  for (int r = 0; r < 2; r++)
    for (int i = 0; i < f.image(r)->nres; i++) EXPECT_EQ(f.image(r)->residues[i].masked, 0) << r << " " << i;
}

}  // namespace
