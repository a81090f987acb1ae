// Given multiple alignments in memory: the parser's records (FASTA tokens,
// PIR description lines, letters, gaps, padding, a '>' inside a row), the
// refused single record, a unified file with a chain per row and the
// reader's switches put back, rmt rows, name clean-up, AFP runs and the
// M-score and column measures of a hand-placed alignment.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "msa/trel_msa_analysis.h"
#include "msa/trel_msa_input.h"
#include "output/trel_run_options.h"
#include "structure/zam_pdb.h"

namespace {

using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;
using testutil::write_file;

_trel_msa* parse(const std::string& text, const char* unified = nullptr, const _trel_options* o = nullptr) {
  return trel_parseMSA((int64_t)text.size(), text.c_str(), 0, 0, unified, "pdb", o);
}

std::vector<int> row_indices(const _trel_msa* m, int s) {
  std::vector<int> out;
  for (int c = 0; c < m->n_col; c++) out.push_back(m->residue_index[(size_t)c * m->n_struct + s]);
  return out;
}

std::string row_text(const _trel_msa* m, int s) {
  std::string out;
  for (int c = 0; c < m->n_col; c++) out += m->letters[(size_t)c * m->n_struct + s];
  return out;
}

TEST(MsaParse, RecordsLettersGapsAndPadding) {
  testutil::Capture said;
  _trel_msa* m = parse(">dir/1abc.pdb:A more words\nAR-D*\n>P1;2xyz\nstructure:2xyz:1:A::::\nar\n.?/C\n>3q\nAC>4q\nGG\n");
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->n_struct, 4);  // the '>' inside the third row starts a fourth record
  EXPECT_STREQ(m->names[3], "4q");
  EXPECT_EQ(row_text(m, 2), "AC----");
  EXPECT_EQ(m->n_col, 6);
  EXPECT_STREQ(m->names[0], "1abc");
  EXPECT_STREQ(m->names[1], "2xyz");
  EXPECT_STREQ(m->name, "1abc");
  EXPECT_EQ(row_text(m, 0), "AR-D--");
  EXPECT_EQ(row_indices(m, 0), (std::vector<int>{0, 1, -1, 2, -1, -1}));
  EXPECT_EQ(m->row_letters[0], 3);
  EXPECT_EQ(row_text(m, 1), "ARXX-C");  // PIR: upper-cased, '.' and '?' to 'X', '/' to a gap
  EXPECT_EQ(row_indices(m, 1), (std::vector<int>{0, 1, 2, 3, -1, 4}));
  EXPECT_EQ(m->row_letters[1], 3);
  EXPECT_TRUE(said.has("Changing period character ('.') to ('X') for <2xyz>."));
  EXPECT_TRUE(said.has("Changing unknown character ('?') to ('X') for <2xyz>."));
  EXPECT_TRUE(said.has("Failed to find PDB file for structure <dir/1abc.pdb>"));
  EXPECT_EQ(m->n_residues, 0);
  EXPECT_EQ(m->ref_id, -1);
  EXPECT_EQ(m->ref_ident, -1.0);
  EXPECT_EQ(m->ref_sequential, 1);
  trel_freeMSA(m);

  testutil::Capture refused;
  EXPECT_EQ(parse(">only\nACDE\n"), nullptr);
  EXPECT_TRUE(refused.has("Failed to find 2 or more structures in sequence file!"));
}

TEST(MsaParse, HeaderWithoutNewlineNamesFileAndLine) {
  TempDir dir;
  const std::string file = dir.file("cut.fa");
  write_file(file, ">a\nAC\n>b\nAC\n\n>c");
  testutil::Capture said;
  _trel_msa* m = loadMSA(file.c_str(), "pdb", nullptr);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->n_struct, 2);  // reading stops at the cut header
  EXPECT_TRUE(said.has("Bad line in sequence file at character position 13 (" + file + ", line 6)")) << said.text;
  trel_freeMSA(m);
  // Text given directly has no file name but still its line.
  testutil::Capture direct;
  trel_freeMSA(parse(">a\nAC\n>b\nAC\n>c"));
  EXPECT_TRUE(direct.has("Bad line in sequence file at character position 12 (line 5)")) << direct.text;
}

TEST(MsaParse, HeadersAndRowsOfAnyLengthAreReadWhole) {
  const std::string name = std::string(4000, 'n');
  const std::string row = std::string(20000, 'G');
  testutil::Capture said;
  _trel_msa* m = parse(">" + name + " " + std::string(3000, 'd') + "\n" + row + "\n>b\nG\n");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::string(m->names[0]), name);
  EXPECT_EQ(m->n_col, 20000);
  EXPECT_EQ(m->row_letters[0], 20000);
  EXPECT_EQ(row_indices(m, 1)[1], -1);
  trel_freeMSA(m);
}

TEST(MsaParse, UnifiedFileGivesAChainPerRowAndPutsTheReaderBack) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  std::string atoms;
  std::string letters[2];
  const char* ids[2] = {"1ard", "1paa"};
  for (int k = 0; k < 2; k++) {
    const std::string file = shared_pdb(std::string("mustang-testdata/") + ids[k] + ".pdb");
    _pdb_image* image = zam_readPdb(file.c_str(), nullptr);
    ASSERT_NE(image, nullptr);
    for (int i = 0; i < image->nres; i++) letters[k] += image->residues[i].code[0];
    zam_freePdb(image);
    std::string text = read_file(file);
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
      end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      if (line.rfind("ATOM", 0) != 0 || line.size() < 22) continue;
      line[21] = (char)('A' + k);
      atoms += line + "\n";
    }
    atoms += "TER\n";
  }
  write_file(dir.file("u.pdb"), atoms + "END\n");
  zam_setPdbOneChain(1);  // as a caller may have left it
  _trel_msa* m = parse(">x\n" + letters[0] + "\n>y\n" + letters[1] + "\n", dir.file("u.pdb").c_str());
  EXPECT_EQ(zam_getPdbOneChain(), 1);
  EXPECT_EQ(zam_getPdbOneModel(), 1);
  zam_setPdbOneChain(0);
  ASSERT_NE(m, nullptr);
  ASSERT_NE(m->images[0], nullptr);
  ASSERT_NE(m->images[1], nullptr);
  EXPECT_EQ(m->images[0]->nres, (int)letters[0].size());
  EXPECT_EQ(m->images[1]->nres, (int)letters[1].size());
  EXPECT_STREQ(m->images[1]->name, "y");
  EXPECT_EQ(m->n_residues, (int)(letters[0].size() + letters[1].size()));
  EXPECT_EQ(m->min_length, (int)std::min(letters[0].size(), letters[1].size()));
  trel_freeMSA(m);
}

TEST(MsaNames, DecorationsAreCutAtTheLeftmost) {
  char a[] = "1abc_flex_multi", b[] = "2xyz", c[] = "3q_query";
  chopTrelDecoration(a);
  chopTrelDecoration(b);
  chopTrelDecoration(c);
  EXPECT_STREQ(a, "1abc");
  EXPECT_STREQ(b, "2xyz");
  EXPECT_STREQ(c, "3q");
}

TEST(MsaAnalysis, AfpRunsAndTheMeasuresOfPlacedStructures) {
  const char f1[] = {1, 1, 1, 0, 1, 1, 0, 1, 1, 1, 1};
  EXPECT_EQ(count_afp_flags(3, f1, 11), 2);
  EXPECT_EQ(count_afp_flags(3, f1, 2), 0);
  const char f2[] = {1, 1, 0, 1, 1};
  EXPECT_EQ(count_afp_flags(3, f2, 5), 0);

  // Two one-CA structures of five residues along x: row b sits 3 A from row
  // a in three consecutive columns and 5 A in the others, one column exactly
  // 3.5 A (close) and one exactly 8 A (not a violation).
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const double shift[5] = {3.0, 3.0, 3.5, 5.0, 8.0};
  std::string pa, pb;
  for (int i = 0; i < 5; i++) {
    char line[128];
    snprintf(line, sizeof line, "ATOM  %5d  CA  ALA A%4d    %8.3f%8.3f%8.3f  1.00  0.00           C\n", i + 1, i + 1,
             10.0 * i, 0.0, 0.0);
    pa += line;
    snprintf(line, sizeof line, "ATOM  %5d  CA  %s A%4d    %8.3f%8.3f%8.3f  1.00  0.00           C\n", i + 1,
             i == 0 ? "ALA" : "GLY", i + 1, 10.0 * i, shift[i], 0.0);
    pb += line;
  }
  write_file(dir.file("a.pdb"), pa);
  write_file(dir.file("b.pdb"), pb);
  testutil::Capture said;
  const std::string text = ">" + dir.file("a.pdb") + "\nAAAAA\n>" + dir.file("b.pdb") + "\nAGGGG\n";
  _trel_options o;
  o.do_write = 0;
  o.res_folder = nullptr;
  const std::string folder = dir.str() + "/";
  o.res_folder = folder.c_str();
  _trel_msa* m = parse(text, nullptr, &o);
  ASSERT_NE(m, nullptr);
  ASSERT_NE(m->images[1], nullptr);
  trel_analyseMSA(m, &o);
  EXPECT_TRUE(said.has("Found 1 QUERY AFPs, 1 IDENTITIES, and 0 DISTANCE VIOLATIONS.")) << said.text;
  // Squared distances 9, 9, 12.25, 25, 64 summed per column and halved (two rows).
  EXPECT_NEAR(m->col_msd[3], 12.5f, 1e-4);
  const double rms = std::sqrt((9 + 9 + 12.25 + 25 + 64) / 2.0 / 5);
  char full[64];
  snprintf(full, sizeof full, "(N==2) is 5 (5/5 = 100.0!); RMSD = %.2f", rms);
  EXPECT_TRUE(said.has(full)) << said.text;
  const std::string ksum = read_file(dir.file("a.ksum"));
  EXPECT_EQ(ksum.rfind("a,    2,      5,      5,      5,", 0), 0u) << ksum;
  // Summary only: with do_write off nothing else is written.
  EXPECT_FALSE(std::filesystem::exists(dir.file("a_msa.kmsa")));
  trel_freeMSA(m);
}

}  // namespace
