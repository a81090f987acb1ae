// Alignment print and RMSD profile of a small hand-made alignment.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>
#include <sys/resource.h>

#include "align/trel_align.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "output/trel_print.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "structure/zam_pdb.h"

namespace {

// Messages shown while a Capture lives, in captured (log_capture.h).
using Capture = testutil::Messages;
std::string& captured = testutil::Messages::said();

// An image of one chain with the given residue letters and SSE letters.
struct Image {
  std::vector<_pdb_residue> res;
  std::string name, path;
  _pdb_image image{};
  Image(const char* n, const char* p, const char* codes, const char* sses, const char* chain) : name(n), path(p) {
    for (size_t i = 0; codes[i]; i++) {
      _pdb_residue r{};
      r.code[0] = codes[i];
      r.sse[0] = sses[i];
      r.chain[0] = chain[0];
      res.push_back(r);
    }
    image.nres = (int)res.size();
    image.residues = res.data();
    image.name = name.data();
    image.path = path.data();
  }
};

struct Col {
  int q, t;
  float k, g, d2;
  char mark;
};

// Alignment record over the given columns (the columns stay owned by the vector).
_trel_align make_align(std::vector<_trel_a_column>& cols, const std::vector<Col>& spec) {
  cols.clear();
  for (const Col& c : spec) {
    _trel_a_column col{};
    col.qres = c.q;
    col.tres = c.t;
    col.kscore = c.k;
    col.gscore = c.g;
    col.d2 = c.d2;
    col.mark = c.mark;
    cols.push_back(col);
  }
  _trel_align a{};
  a.ncolumns = (int)cols.size();
  a.columns = cols.data();
  return a;
}

const std::string kRule = "#===============================================================================\n";

}  // namespace

TEST(PrintAlign, SummaryAndBlocksWithShortLastBlock) {
  Image q("qq", "/x/qq.pdb", "ACDE", "AABC", "A");
  Image t("tt", "/y/tt.pdb", "AKDF", "AACC", "B");
  std::vector<_trel_a_column> cols;
  _trel_align a = make_align(cols, {{0, 0, 1, 1, 1, '@'}, {1, -1, 0, 0, -1, ' '}, {2, 1, 1, 1, 4, '*'},
                                    {-1, 2, 0, 0, -1, ' '}, {3, 3, 1, 1, 9, '$'}});
  a.naligned = 3;
  a.nmatched = 2;
  a.nidentity = 1;
  a.rmsd_aligned = 2.5f;
  a.rmsd_matched = 1.25f;
  a.rmsd_anchor = 1.0f;
  a.max_dist = 3.0f;
  a.contact = 7.0f;
  Capture cap;
  const int debug = zam_debug;
  zam_debug = 0;
  trel_printAlign(&a, &q.image, &t.image, 2);
  zam_debug = debug;
  const std::string want = kRule +
      "Alignment: qq + tt (*=aligned, $=matched, @/#=aligned/matched identity)\n"
      "Nquery:       4\nNtarget:      4\nNcolumns:     5\nNaligned:     3\nNmatched:     2\n"
      "Nidentity:    1 (33.33!)\nRMSD-aligned: 2.50\nRMSD-matched: 1.25\nRMSD-anchor:  1.00\n"
      "MaxDist:      3.00\nContact:      7.00\n" + kRule + "\n" +
      "AC\nA-\n@ \n\nD-\nKD\n* \n\nE\nF\n$\n\n\n" + kRule + "\n";
  EXPECT_EQ(captured, want);
}

TEST(PrintAlign, EmptyAlignmentAndDebugBlocks) {
  Image q("q", "q.pdb", "%A", "A%", "A");  // '%' must come out as text, not as a format
  Image t("t", "t.pdb", "GA", "BC", "A");
  std::vector<_trel_a_column> cols;
  _trel_align empty = make_align(cols, {});
  {
    Capture cap;
    trel_printAlign(&empty, &q.image, &t.image, 80);
    EXPECT_NE(captured.find("Nidentity:    0 (0.00!)\n"), std::string::npos);  // never nan
    EXPECT_EQ(captured.substr(captured.size() - kRule.size() - 3), "\n\n" + kRule + "\n");
  }
  _trel_align a = make_align(cols, {{0, 0, 0, 0, 0, '*'}, {1, 1, 0, 0, 0, '@'}});
  Capture cap;
  const int debug = zam_debug;
  zam_debug = 2;
  trel_printAlign(&a, &q.image, &t.image, 80);
  zam_debug = debug;
  EXPECT_NE(captured.find("\n%A\nGA\n*@\n\n\n\na%\nbc\n*@\n\n" + kRule), std::string::npos) << captured;
}

TEST(Krmsd, ProfileRowsInDistanceOrder) {
  testutil::TempDir dir;
  Image q("qq", "/x/qq.pdb", "ACDE", "AABC", "A");
  Image t("tt", "/y/tt.pdb.gz", "AKDF", "AACC", "B");
  std::vector<_trel_a_column> cols;
  // Pairs: d2 4 (col 0), gap, d2 1 (col 2), d2 4 (col 3, ties with col 0), d2 -1 (col 4).
  _trel_align a = make_align(cols, {{0, 0, 1.0f, 0.5f, 4.0f, '*'}, {-1, 1, 0, 0, -1, ' '},
                                    {1, 2, 2.0f, 0.25f, 1.0f, '@'}, {2, 3, 0.5f, 1.0f, 4.0f, '$'},
                                    {3, 1, 0.25f, 0.125f, -1.0f, '$'}});
  a.naligned = 4;
  a.nmatched = 2;
  a.nidentity = 1;
  a.rmsd_aligned = 1.5f;
  a.rmsd_matched = 1.0f;
  a.max_dist = 2.0f;
  a.contact = 7.0f;
  const std::string folder = dir.str() + "/";
  ASSERT_EQ(trel_writeKrmsd(&a, &q.image, &t.image, "_query", "_flex", folder.c_str()), 1);
  const std::string got = testutil::read_file(folder + "tt_qq_flex.krmsd");
  const std::string want = kRule +
      "#Query In:   qq.pdb A\n#Target In:  tt.pdb.gz B\n#Query Out:  qq_query.pdb\n"
      "#Target Out: tt_qq_flex.pdb\n#Nquery:       4\n#Ntarget:      4\n#Ncolumns:     5\n"
      "#Naligned:     4\n#Nmatched:     2\n#Nidentity:    1\n#RMSD-aligned: 1.50\n"
      "#RMSD-matched: 1.00\n#RMSD-anchor:  0.00\n#MaxDist:      2.00\n#Contact:      7.00\n#\n"
      "#RMSD profile of matched residues (constant superposition):\n#\n"
      "#   N    RMSD    G-Score   K-Score\n" + kRule +
      // -1 first (k counts it, S does not), then 1, then the two 4s in column order.
      "    1   0.0000   -1.0000    0.1250    0.2500\n"
      "    2   0.7071    1.0000    0.3750    2.2500\n"
      "    3   1.2910    4.0000    0.8750    3.2500\n"
      "    4   1.5000    4.0000    1.8750    3.7500\n" + kRule;
  EXPECT_EQ(got, want);
  // Nothing but the file itself is left in the folder.
  for (const auto& e : std::filesystem::directory_iterator(folder))
    EXPECT_EQ(e.path().filename().string(), "tt_qq_flex.krmsd");
}

TEST(Krmsd, NoPairsAndUnwritableFolder) {
  testutil::TempDir dir;
  Image q("qq", "qq.pdb", "A", "A", "A");
  Image t("tt", "tt.pdb", "A", "A", "A");
  std::vector<_trel_a_column> cols;
  _trel_align a = make_align(cols, {{0, -1, 0, 0, -1, ' '}, {-1, 0, 0, 0, -1, ' '}});
  const std::string folder = dir.str() + "/";
  ASSERT_EQ(trel_writeKrmsd(&a, &q.image, &t.image, "_query", "", folder.c_str()), 1);
  const std::string got = testutil::read_file(folder + "tt_qq.krmsd");
  EXPECT_EQ(got.substr(got.size() - 2 * kRule.size()), kRule + kRule);

  Capture cap;
  EXPECT_EQ(trel_writeKrmsd(&a, &q.image, &t.image, "_query", "", (folder + "missing/").c_str()), 0);
  EXPECT_NE(captured.find("missing/tt_qq.krmsd"), std::string::npos) << captured;
}

TEST(ResultText, LongRowsWrittenWholeAndFailedWritesLeaveTargetAlone) {
  testutil::TempDir dir;
  const std::string file = dir.file("long.txt");
  testutil::write_file(file, "old\n");
  _trel_text* out = trel_openText(file.c_str());
  ASSERT_NE(out, nullptr);
  const std::string row(5000, 'x');
  trel_printText(out, "%s|\n", row.c_str());
  // Before the close the old file is untouched.
  EXPECT_EQ(testutil::read_file(file), "old\n");
  ASSERT_EQ(trel_closeText(out), 1);
  EXPECT_EQ(testutil::read_file(file), row + "|\n");
  EXPECT_EQ(trel_closeText(nullptr), 0);
}

// A text result whose write fails midway (the file-size limit stops it
// after a few blocks) leaves the older file, is named in one warning and
// counts as a failed file, so that the run ends with status 1.
TEST(ResultText, AWriteFailedMidwayCountsAsFailed) {
  testutil::TempDir dir;
  const std::string file = dir.file("1ard.kroc");
  testutil::write_file(file, "old\n");
  const int failed = trel_failedFiles();
  std::string big;
  for (int i = 0; i < 20000; i++) big += "row " + std::to_string(i) + "\n";
  Capture cap;
  _trel_text* out = nullptr;
  int written = -1;
  {
    const testutil::FileSizeLimit limit(50000);
    ASSERT_TRUE(limit.ok);
    out = trel_openText(file.c_str());
    if (out) trel_putText(out, big.c_str());
    written = trel_closeText(out);
  }
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(trel_failedFiles(), failed + 1);
  EXPECT_EQ(testutil::occurrences(captured, file), 1) << captured;
  EXPECT_EQ(testutil::read_file(file), "old\n");
}

// Threads that write the same final file at once (as every shown hit writes
// the query's rainbow file) each leave a whole copy: the file is always one
// of them, and no temporary file is left.
TEST(ResultText, ThreadsWritingOneFileLeaveItWhole) {
  zam_thread_setup(8);  // the stream handles' allocator locks work from here on
  testutil::TempDir dir;
  const std::string file = dir.file("shared.txt");
  std::string body;
  for (int i = 0; i < 2000; i++) body += "line " + std::to_string(i) + "\n";
  std::atomic<int> written{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < 6; k++)
    threads.emplace_back([&] {
      for (int round = 0; round < 20; round++) {
        _trel_text* out = trel_openText(file.c_str());
        if (!out) continue;
        trel_putText(out, body.c_str());
        written += trel_closeText(out);
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(written.load(), 120);
  EXPECT_EQ(testutil::read_file(file), body);
  int count = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.str())) {
    (void)e;
    count++;
  }
  EXPECT_EQ(count, 1);
}
