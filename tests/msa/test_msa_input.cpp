// Given multiple alignments in memory: the parser's records (FASTA tokens,
// PIR description lines, letters, gaps, padding, a '>' inside a row), the
// refused single record, a unified file with a chain per row and the
// reader's switches put back, files with "\r\n" line ends, gzip, binary
// bytes and a row name ending in '/', rows longer than their structure, rmt
// files that cannot be read, name clean-up, AFP runs, the M-score and column
// measures of a hand-placed alignment, rows of one name in several folders,
// and two alignments of one name.
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
#include "runtime/zam_file.h"
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

// Text written through the file layer (gzip for a name ending in ".gz").
void write_stream(const std::string& file, const std::string& text) {
  _zam_file* f = zam_fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr) << file;
  zam_fwrite(f, text.data(), (int64_t)text.size());
  ASSERT_EQ(zam_fclose(f), 0) << file;
}

TEST(MsaRead, LineEndsCompressionBinaryBytesAndFolderNames) {
  TempDir dir;
  // Long rows compress far below their size: the whole stream is read.
  const std::string plain = ">x/a.pdb:A some words\n" + std::string(3000, 'A') + "-D*\n>P1;b\nstructure:b\n" +
                            std::string(2000, 'C') + "\n";
  std::string crlf;
  for (char c : plain) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  write_file(dir.file("lf.fa"), plain);
  write_file(dir.file("crlf.fa"), crlf);
  write_stream(dir.file("z.fa.gz"), crlf);
  ASSERT_LT(std::filesystem::file_size(dir.file("z.fa.gz")), 200u);
  for (const char* name : {"lf.fa", "crlf.fa", "z.fa.gz"}) {
    testutil::Capture said;
    _trel_msa* m = loadMSA(dir.file(name).c_str(), "pdb", nullptr);
    ASSERT_NE(m, nullptr) << name;
    EXPECT_STREQ(m->names[0], "a") << name;
    EXPECT_STREQ(m->names[1], "b") << name;
    EXPECT_EQ(m->n_col, 3002) << name;
    EXPECT_EQ(row_text(m, 0), std::string(3000, 'A') + "-D") << name;
    EXPECT_EQ(row_text(m, 1), std::string(2000, 'C') + std::string(1002, '-')) << name;
    EXPECT_EQ(m->row_letters[1], 2000) << name;
    EXPECT_FALSE(said.has("Changing")) << name << said.text;
    trel_freeMSA(m);
  }

  // Bytes no text holds refuse the file, named with the line of the first.
  write_file(dir.file("bin.fa"), std::string(">a\nAC\n>b\nA\0C\n", 14));
  write_file(dir.file("empty.fa"), "");
  testutil::Capture refused;
  EXPECT_EQ(loadMSA(dir.file("bin.fa").c_str(), "pdb", nullptr), nullptr);
  EXPECT_EQ(loadMSA(dir.file("empty.fa").c_str(), "pdb", nullptr), nullptr);
  EXPECT_TRUE(refused.has("Not a text alignment file: " + dir.file("bin.fa") + " (byte 0x00 at line 4)"))
      << refused.text;
  EXPECT_TRUE(refused.has("Empty alignment file " + dir.file("empty.fa"))) << refused.text;

  // A row named like a folder (its file name with the extension put on is
  // longer than the name itself) is a row without a structure.
  // Whether that folder exists or not.
  const std::string folder_name = dir.file(std::string(120, 'f')) + "/";
  for (int made = 0; made < 2; made++) {
    if (made) std::filesystem::create_directory(folder_name);
    testutil::Capture said;
    _trel_msa* m = parse(">" + folder_name + "\nAC\n>b\nAC\n");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->images[0], nullptr);
    EXPECT_TRUE(said.has("Failed to find PDB file for structure <" + folder_name + ">")) << said.text;
    EXPECT_FALSE(said.has("*Error*")) << said.text;
    trel_freeMSA(m);
  }
}

TEST(MsaParse, RowsLongerThanTheirStructureAreRefused) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const std::string pdb = dir.file("1ard.pdb");
  std::filesystem::copy_file(shared_pdb("mustang-testdata/1ard.pdb"), pdb);
  _pdb_image* image = zam_readPdb(pdb.c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  std::string letters;
  for (int i = 0; i < image->nres; i++) letters += image->residues[i].code[0];
  zam_freePdb(image);
  // As many cells as residues (an 'X' cell counts): accepted; one more, refused.
  const std::string fits = "X" + letters.substr(1) + "--";
  write_file(dir.file("fits.fa"), ">" + pdb + "\n" + fits + "\n>" + pdb + "\n" + letters + "\n");
  _trel_msa* m = loadMSA(dir.file("fits.fa").c_str(), "pdb", nullptr);
  ASSERT_NE(m, nullptr);
  trel_freeMSA(m);
  // The second row is wrapped over lines 4 and 5 and runs past its structure
  // on line 5: the message names that line, not the header's (3).
  write_file(dir.file("long.fa"), ">" + pdb + "\n" + letters + "\n>" + pdb + "\n" + letters.substr(0, 10) + "\n" +
                                      letters.substr(10) + "-G\n");
  testutil::Capture said;
  EXPECT_EQ(loadMSA(dir.file("long.fa").c_str(), "pdb", nullptr), nullptr);
  const std::string n = std::to_string(letters.size());
  EXPECT_TRUE(said.has("Row 1ard (line 5 of " + dir.file("long.fa") + ") has " + std::to_string(letters.size() + 1) +
                       " residues, but its structure " + pdb + " has only " + n))
      << said.text;
  EXPECT_FALSE(said.has("line 1 of")) << said.text;
  EXPECT_FALSE(said.has("line 3 of")) << said.text;
}

// The matrices of an rmt file are all read before anything moves: one row
// that does not read as three numbers, a comma and a number, all finite, or
// a matrix that is no rigid move, refuses the file.
TEST(MsaRmt, UnreadableMatrixMovesNothing) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  for (const char* id : {"1ard", "1paa"})
    std::filesystem::copy_file(shared_pdb(std::string("mustang-testdata/") + id + ".pdb"),
                               dir.file(std::string(id) + ".pdb"));
  const std::string a = dir.file("1ard.pdb"), b = dir.file("1paa.pdb");
  write_file(dir.file("p.fa"), ">" + a + "\nRS\n>" + b + "\nKA\n");
  _trel_msa* m = loadMSA(dir.file("p.fa").c_str(), "pdb", nullptr);
  ASSERT_NE(m, nullptr);
  const Point3D a0 = zam_ptPdbResidue(m->images[0], 0), b0 = zam_ptPdbResidue(m->images[1], 0);
  const std::string good_b = ">" + b + "\n1 0 0, 100\n0 1 0, 0\n0 0 1, 0\n";
  const struct {
    const char* rows;
    int line;
  } bad[] = {{"1 0 0 , 100\n0 1 0, 0\n0 0 1, 0\n", 6},  // a blank before the comma
             {"1 0 0, nan\n0 1 0, 0\n0 0 1, 0\n", 6},
             {"1 0 0, 1\n0 1 0, 0\n0 0 inf, 0\n", 8},
             {"1 0 0, 1\n0 1 0, 0\n", 7},  // cut short
             {"1e308 0 0, 1\n0 1 0, 0\n0 0 1, 0\n", 8},  // finite, but no rotation
             {"0 1 0, 1\n1 0 0, 0\n0 0 1, 0\n", 8},  // a reflection
             {"1 0 0, 1\n0 1 0, 0\n0 0 1, 1e6\n", 8}};  // beyond any structure
  for (const auto& c : bad) {
    write_file(dir.file("p.rmt"), good_b + ">" + a + "\n" + c.rows);
    testutil::Capture said;
    EXPECT_EQ(trel_applyRMT(m, dir.file("p.rmt").c_str()), -1) << c.rows;
    EXPECT_TRUE(said.has(dir.file("p.rmt") + ", line " + std::to_string(c.line)) ||
                said.has("line " + std::to_string(c.line) + ")"))
        << said.text;
    EXPECT_EQ(zam_ptPdbResidue(m->images[0], 0).x, a0.x);
    EXPECT_EQ(zam_ptPdbResidue(m->images[1], 0).x, b0.x);
  }
  write_file(dir.file("p.rmt"), good_b + ">" + a + "\n1 0 0, 0\n0 1 0, -5\n0 0 1, 0\n");
  EXPECT_EQ(trel_applyRMT(m, dir.file("p.rmt").c_str()), 2);
  EXPECT_DOUBLE_EQ(zam_ptPdbResidue(m->images[1], 0).x, b0.x + 100.0);
  EXPECT_DOUBLE_EQ(zam_ptPdbResidue(m->images[0], 0).y, a0.y - 5.0);
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

// Three rows of one name in three folders, copies of one zinc finger moved
// 1, 2 and 3 A along x by the rmt file of the gzipped alignment (aln.rmt,
// as for aln.fasta): each row gets a name of its own, and so its own pair
// and PDB files, which measure that row's copy and no other's.
TEST(MsaNames, RowsOfOneNameKeepFilesOfTheirOwn) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  std::string text, rmt;
  for (const std::string k : {"1", "2", "3"}) {
    const std::string pdb = dir.file("m" + k + "/pred.pdb");
    std::filesystem::create_directory(dir.file("m" + k));
    std::filesystem::copy_file(shared_pdb("mustang-testdata/1sp1.pdb"), pdb);
    text += ">" + pdb + "\nKKFACPEC\n";  // the first residues of 1sp1
    rmt += ">" + pdb + "\n1 0 0, " + k + "\n0 1 0, 0\n0 0 1, 0\n";
  }
  write_stream(dir.file("aln.fasta.gz"), text);
  write_file(dir.file("aln.rmt"), rmt);
  const std::string out = dir.file("out/");
  std::filesystem::create_directory(out);
  _trel_options o;
  o.res_folder = out.c_str();
  o.with_rmt = 1;
  testutil::Capture said;
  EXPECT_EQ(trel_processMSA(dir.file("aln.fasta.gz").c_str(), nullptr, nullptr, nullptr, &o), 1) << said.text;
  EXPECT_TRUE(said.has(dir.file("m3/pred.pdb") + " has the name pred of " + dir.file("m1/pred.pdb") +
                       ": it is named pred_3."))
      << said.text;
  for (const std::string k : {"2", "3"}) {
    const std::string pairs = read_file(out + "pred_" + k + "_pred.kpairs");
    EXPECT_NE(pairs.find("#Target In:    pred_" + k + "\n"), std::string::npos) << pairs;
    EXPECT_NE(pairs.find(k == "2" ? "#RMSD-aligned: 1.00\n" : "#RMSD-aligned: 2.00\n"), std::string::npos) << pairs;
  }
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

  // A second alignment starting with the same structure keeps its own
  // summary under the first free name; the first one's is left as it was.
  m = parse(text + ">" + dir.file("a.pdb") + "\nAAAAA\n", nullptr, &o);
  ASSERT_NE(m, nullptr);
  testutil::Capture again;
  trel_analyseMSA(m, &o);
  trel_freeMSA(m);
  EXPECT_TRUE(again.has("An earlier alignment of this run is named a: this one's files are named a_2")) << again.text;
  EXPECT_EQ(read_file(dir.file("a.ksum")), ksum);
  EXPECT_EQ(read_file(dir.file("a_2.ksum")).rfind("a_2,    3,      5,      5,      5,", 0), 0u);
}

}  // namespace
