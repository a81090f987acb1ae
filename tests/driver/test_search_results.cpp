// The result files of a search run by the tool itself: every per-query table
// and the aggregate ROC/AUC files, a query found among its own targets, the
// ranking under every "-sort" key, Z-scores recomputed from the hit file,
// and "-nowrite"; an unwritable table fails the run alike threaded or serial.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;

std::string finger(const std::string& name) { return shared_pdb("mustang-testdata/" + name + ".pdb"); }

// Runs the tool in cwd; returns its exit status and adds its output (both
// streams) to *out.
int run(const std::string& cwd, std::vector<std::string> args, std::string* out) {
  const testutil::Outcome r = testutil::run_trel(cwd, std::move(args));
  out->append(r.out);
  return r.status;
}

// Lines of a file that do not start with '#', split into words.
std::vector<std::vector<std::string>> rows(const std::string& file) {
  std::istringstream in(read_file(file));
  std::vector<std::vector<std::string>> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string s; words >> s;) w.push_back(s);
    out.push_back(w);
  }
  return out;
}

// The query 1sp1 against itself, two zinc fingers and two unrelated structures.
std::vector<std::string> searchArgs() {
  return {finger("1sp1"), finger("1sp2"), finger("3znf"), finger("1sp1"), finger("1zaa1"),
          shared_pdb("freesasa/1ubq.pdb"), shared_pdb("python-biopython-doc/1A8O.pdb.gz")};
}
constexpr size_t kTargets = 6;

class SearchResults : public ::testing::Test {
 protected:
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
  }
};

TEST_F(SearchResults, EveryTableIsWrittenAndTheSelfMatchRanksFirst) {
  TempDir dir;
  std::string out;
  ASSERT_EQ(run(dir.str(), searchArgs(), &out), 0) << out;
  const std::string q = dir.file("trel_results/1sp1/1sp1");
  for (const char* ext : {".ktops", ".krank", ".khits", ".knames", ".kcode", ".ktime", ".kroc"})
    EXPECT_FALSE(read_file(q + ext).empty()) << ext;
  const std::string res = dir.file("trel_results/");
  EXPECT_TRUE(has(read_file(res + "aggregate.kauc"), "#  No. queries: 1\n")) << read_file(res + "aggregate.kauc");
  EXPECT_TRUE(has(read_file(res + "aggregate.kauc"), "#  No positive: 0\n"));
  EXPECT_TRUE(has(read_file(res + "aggregate.kroc"), "#query      =  aggregate\n"));

  // The hit table in the log (standard output and the log file).
  for (const std::string& log : {out, read_file(res + "trel.log")}) {
    EXPECT_TRUE(has(log, "Top 6 matches for 1sp1 (length 29) [0.0.0.0] -> [0.0.0.0] (6/6) ROC AUC = 1.000000"))
        << log;
    EXPECT_TRUE(has(log, " Rank  K-Score  G-Score J-Score M-Score T-Score   RMSD")) << log;
    EXPECT_TRUE(has(log, "  +1  1sp1[0.0.0.0]\n")) << log;
  }

  // The query, also a target, is the best hit: T-score 1 and RMSD 0.
  const auto tops = rows(q + ".ktops");
  ASSERT_EQ(tops.size(), kTargets);
  EXPECT_EQ(tops[0][0], "1");
  EXPECT_EQ(tops[0][5], "1.0000");
  EXPECT_EQ(tops[0][6], "0.00");
  EXPECT_EQ(tops[0][14], "1sp1");
  const auto rank = rows(q + ".krank");
  ASSERT_EQ(rank.size(), kTargets);
  EXPECT_EQ(rank[0][0], "1sp1");
  EXPECT_EQ(rank[0][3], "0.000");
  EXPECT_EQ(rows(q + ".knames")[0][0], "1sp1");
  EXPECT_EQ(rows(q + ".kroc").size(), 500u);
  EXPECT_GT(std::stod(read_file(q + ".ktime")), 0.0);
}

TEST_F(SearchResults, EverySortKeyOrdersTheTable) {
  // Letter, column of ".ktops", smallest first.
  struct Key {
    const char* letter;
    int column;
    bool ascending;
  };
  const Key keys[] = {{"K", 1, false}, {"G", 2, false}, {"J", 3, false}, {"M", 4, false},
                      {"T", 5, false}, {"R", 6, true},  {"N", 7, false}, {"D", 8, false},
                      {"I", 9, false}, {"P", 10, false}};
  for (const Key& k : keys) {
    TempDir dir;
    std::vector<std::string> args = searchArgs();
    args.insert(args.begin(), std::string("-sort=") + k.letter);
    std::string out;
    ASSERT_EQ(run(dir.str(), args, &out), 0) << out;
    const auto tops = rows(dir.file("trel_results/1sp1/1sp1.ktops"));
    ASSERT_EQ(tops.size(), kTargets) << k.letter;
    // ".krank" carries the key itself in its third column, at full precision.
    const auto rank = rows(dir.file("trel_results/1sp1/1sp1.krank"));
    ASSERT_EQ(rank.size(), kTargets) << k.letter;
    for (size_t r = 1; r < kTargets; r++) {
      const double a = std::stod(tops[r - 1][k.column]), b = std::stod(tops[r][k.column]);
      const double ka = std::stod(rank[r - 1][2]), kb = std::stod(rank[r][2]);
      if (k.ascending) {
        EXPECT_LE(a, b) << k.letter << " rank " << r;
        EXPECT_LE(ka, kb) << k.letter << " rank " << r;
      } else {
        EXPECT_GE(a, b) << k.letter << " rank " << r;
        EXPECT_GE(ka, kb) << k.letter << " rank " << r;
      }
      EXPECT_EQ(tops[r][14], rank[r][0]) << k.letter << " rank " << r;
    }
  }
}

TEST_F(SearchResults, ZScoresFollowFromTheJScores) {
  TempDir dir;
  std::string out;
  ASSERT_EQ(run(dir.str(), searchArgs(), &out), 0) << out;
  const auto hits = rows(dir.file("trel_results/1sp1/1sp1.khits"));
  ASSERT_EQ(hits.size(), kTargets);
  // Mean and SD (divided by n) of the J-scores of every target.
  double sum = 0.0, sum2 = 0.0;
  for (const auto& h : hits) sum += std::stod(h[2]);
  const double mean = sum / kTargets;
  for (const auto& h : hits) sum2 += (std::stod(h[2]) - mean) * (std::stod(h[2]) - mean);
  const double sd = std::sqrt(sum2 / kTargets);
  ASSERT_GT(sd, 0.01);
  for (const auto& h : hits) EXPECT_NEAR(std::stod(h[5]), (std::stod(h[2]) - mean) / sd, 2e-4) << h[7];
  EXPECT_NEAR(std::stod(hits[0][5]), (1.0 - mean) / sd, 2e-4);  // the self match
}

TEST_F(SearchResults, NowriteWritesNoFileAtAll) {
  TempDir dir;
  std::string out;
  std::vector<std::string> args = searchArgs();
  args.insert(args.begin(), "-nowrite");
  ASSERT_EQ(run(dir.str(), args, &out), 0) << out;
  for (const auto& e : fs::recursive_directory_iterator(dir.path))
    EXPECT_FALSE(e.is_regular_file()) << e.path();
  // Only the score line of each hit is printed.
  EXPECT_TRUE(has(out, "  1sp1  1sp1\n")) << out;
  EXPECT_FALSE(has(out, "Top 6 matches")) << out;
}

// A table that cannot be put in place (a folder that cannot be moved stands
// under its name) is
// named in a warning where it fails, the other files are all written, and
// the run ends with status 1 and a count of the files lost. Worker threads
// show the very same messages in the very same order as a serial run.
TEST_F(SearchResults, UnwritableTableFailsTheRunAlikeThreadedOrSerial) {
  std::string first;
  for (const char* mode : {"-threads", "-nothreads"}) {
    TempDir dir;
    const testutil::FixedFolder in_way(dir.file("trel_results/1sp1/1sp1.krank"));
    if (!in_way.fixed) GTEST_SKIP() << "no immutable folders on this file system";
    std::vector<std::string> args = searchArgs();
    args.insert(args.begin(), mode);
    std::string out;
    EXPECT_EQ(run(dir.str(), args, &out), 1) << mode << "\n" << out;
    EXPECT_TRUE(has(out, "Failed to write result file: ./trel_results/1sp1/1sp1.krank\n")) << out;
    EXPECT_TRUE(has(out, "*Error* 1 result file could not be written (named in the warnings above).\n")) << out;
    const std::string q = dir.file("trel_results/1sp1/1sp1");
    for (const char* ext : {".khits", ".ktops", ".knames"}) EXPECT_FALSE(read_file(q + ext).empty()) << ext;
    EXPECT_TRUE(fs::is_directory(q + ".krank"));
    // Timings and dates aside, the two runs say the same.
    std::istringstream in(out);
    std::string kept;
    for (std::string line; std::getline(in, line);)
      if (!has(line, "seconds") && !has(line, "starting at") && !has(line, "emory")) kept += line + "\n";
    if (first.empty())
      first = kept;
    else
      EXPECT_EQ(kept, first);
  }
}

}  // namespace
