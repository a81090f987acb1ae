// The all-against-all mode run by the tool itself on zinc fingers,
// cytochromes c and TNF-receptor domains: the matrix, cluster, difference,
// centre and neighbour files and their layouts, the families' clusters,
// "-partner", a job name holding a '.', a single structure, and a failed
// query, which must end the run with exit status 1. (Names of gzipped files
// keep their inner extension as "~pdb".)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"
#include "runtime/zam_whole.h"
#include "structure/zam_pdb.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;

const std::vector<std::string> kFingers = {"1sp1", "1zaa1", "2drp1"};
const std::vector<std::string> kCytochromes = {"d1cih__", "d1crj__"};
const std::vector<std::string> kReceptors = {"1D4V2", "1EXT1"};

std::vector<std::string> structures() {
  std::vector<std::string> files;
  for (const auto& f : kFingers) files.push_back(shared_pdb("mustang-testdata/" + f + ".pdb"));
  for (const auto& c : kCytochromes) files.push_back(shared_pdb("theseus-examples/cytochromes/" + c + ".pdb.gz"));
  for (const auto& r : kReceptors) files.push_back(shared_pdb("t-coffee-examples/" + r + ".pdb.gz"));
  return files;
}

std::vector<std::string> lines(const std::string& text) { return testutil::split_lines(text); }
std::vector<std::string> words(const std::string& line) { return testutil::split_words(line); }

class AllAgainstAll : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(testutil::have_shared_data()) << "shared structure folder missing: " << testutil::shared_data();
    dir = new TempDir;
    std::vector<std::string> args = {"-all", "-job=abc", "-nopdb", "-nohits", "-noalign"};
    for (const auto& f : structures()) args.push_back(f);
    run = new testutil::Outcome(testutil::run_trel(dir->str(), args));
  }
  static void TearDownTestSuite() {
    delete run;
    delete dir;
  }
  void SetUp() override { ASSERT_EQ(run->status, 0) << run->out; }
  static std::string res(const std::string& name) { return dir->file("trel_results/" + name); }

  inline static TempDir* dir = nullptr;
  inline static testutil::Outcome* run = nullptr;
};

TEST_F(AllAgainstAll, MatrixFileHoldsEveryPairAndTheirMeans) {
  const std::vector<std::string> m = lines(read_file(res("abc.mat")));
  const size_t n = structures().size();
  ASSERT_EQ(m.size(), 6 + n * n + 3);
  EXPECT_EQ(m[0], "#" + std::string(85, '='));
  EXPECT_EQ(m[1], "# Trel score summary matrix...");
  EXPECT_EQ(m[2], "# Queries: 7");
  EXPECT_EQ(m[3], "# Targets: 7");
  EXPECT_EQ(m[4], "# Query     Target   K-Score  G-Score  J-Score  M-Score  C-Score  T-Score  Length  RMSD");
  EXPECT_EQ(m[6 + n * n], "#" + std::string(76, '='));
  // Every structure against itself: a perfect M-score, no RMSD, every residue.
  const std::vector<std::string> self = words(m[6]);
  ASSERT_EQ(self.size(), 10u);
  EXPECT_EQ(self[0], "1sp1");
  EXPECT_EQ(self[1], "1sp1");
  EXPECT_NEAR(std::stod(self[5]), 1.0, 1e-4);
  EXPECT_NEAR(std::stod(self[9]), 0.0, 0.01);
  EXPECT_EQ(self[8], "29");
  // The mean row is the mean of the rows above it.
  double rmsd = 0.0;
  for (size_t k = 0; k < n * n; k++) rmsd += std::stod(words(m[6 + k])[9]);
  const std::vector<std::string> mean = words(m[7 + n * n]);
  ASSERT_EQ(mean.size(), 10u);
  EXPECT_EQ(mean[0], "Mean");
  EXPECT_NEAR(std::stod(mean[9]), rmsd / double(n * n), 0.002);
}

std::map<std::string, std::string> clusterFile(const std::string& text, int groups) {
  const std::vector<std::string> c = lines(text);
  EXPECT_EQ(c.size(), 13u) << text;
  if (c.size() != 13u) return {};
  EXPECT_EQ(c[0], "#=================");
  EXPECT_EQ(c[1], "#Ntargets:      7");
  EXPECT_EQ(c[2], "#ClusterMethod: 0 (pair average)");
  EXPECT_EQ(c[3], "#SimilarityCutoff: 0.30");
  EXPECT_EQ(c[4], "#Ngroups:       " + std::to_string(groups));
  std::map<std::string, std::string> group;
  int previous = 0;
  for (size_t k = 6; k < c.size(); k++) {
    const std::vector<std::string> w = words(c[k]);
    EXPECT_EQ(w.size(), 2u) << c[k];
    if (w.size() != 2u) return {};
    EXPECT_LE(previous, std::stoi(w[0])) << "ordered by group";
    previous = std::stoi(w[0]);
    group[w[1]] = w[0];
  }
  return group;
}

// Under the default "-sort" (G) the similarity is the M-score, normalised by
// the shorter chain: a zinc finger of 29 residues fits well enough inside a
// cytochrome or a receptor domain (M about 0.4 to 0.6, distance below 0.7)
// that every structure falls into one group. J-scores, normalised by both
// lengths, part the three families.
TEST_F(AllAgainstAll, FamiliesFormClustersUnderJScoresAndTheDifferencesMatchTheScores) {
  std::map<std::string, std::string> group = clusterFile(read_file(res("abc.kclus")), 1);
  for (const auto& [name, g] : group) EXPECT_EQ(g, "1") << name;
  EXPECT_EQ(group.size(), 7u);

  TempDir j;
  std::vector<std::string> args = {"-all", "-sort=J", "-nowrite"};
  for (const auto& f : structures()) args.push_back(f);
  const testutil::Outcome r = testutil::run_trel(j.str(), args);
  ASSERT_EQ(r.status, 0) << r.out;
  group = clusterFile(read_file(j.file("trel_results/trel.kclus")), 3);

  EXPECT_EQ(group["1sp1"], "1");
  EXPECT_EQ(group["1zaa1"], "1");
  EXPECT_EQ(group["2drp1"], "1");
  EXPECT_EQ(group["d1cih__~pdb"], "2");
  EXPECT_EQ(group["d1crj__~pdb"], "2");
  EXPECT_EQ(group["1D4V2~pdb"], "3");
  EXPECT_EQ(group["1EXT1~pdb"], "3");

  // The difference file: names, then row i holds 1 - M(i, j) for j < i.
  const std::vector<std::string> d = lines(read_file(res("abc.dif")));
  ASSERT_GE(d.size(), 15u);
  EXPECT_EQ(d[0], "#==========");
  EXPECT_EQ(d[1], "#table size");
  EXPECT_EQ(d[3], "7");
  EXPECT_EQ(d[5], "#labels");
  EXPECT_EQ(d[7], "1sp1");
  EXPECT_EQ(d[13], "1EXT1~pdb");
  EXPECT_EQ(d[15], "#dif[2][1]...dif[2][1]");
  EXPECT_EQ(d[17], "#dif[3][1]...dif[3][2]");
  EXPECT_EQ(d.size(), 15u + 6 + 21);
  // 1 - M of 1zaa1 against 1sp1 from the matrix file (row 1 * 7 + 0).
  const std::vector<std::string> pair = words(lines(read_file(res("abc.mat")))[6 + 7]);
  ASSERT_EQ(pair[0], "1zaa1");
  EXPECT_NEAR(std::stod(d[16]), 1.0 - std::stod(pair[5]), 2e-5);
}

TEST_F(AllAgainstAll, CentreAndNeighbourFiles) {
  const std::vector<std::string> cen = lines(read_file(res("abc.cen")));
  ASSERT_EQ(cen.size(), 6u + 7 + 1);
  const std::string rule = "#" + std::string(85, '=');
  EXPECT_EQ(cen[0], rule);
  EXPECT_EQ(cen[1], "# Trel centre file...");
  EXPECT_EQ(cen[4], "# Query     Score");
  double last = 1e30;
  for (size_t k = 6; k < 13; k++) {
    const double v = std::stod(words(cen[k])[1]);
    EXPECT_LE(v, last + 1e-9) << "listed from the highest mean down";
    last = v;
  }
  const std::string centre = words(cen[6])[0];
  const std::string pdb = read_file(res("abc_" + centre + ".ent"));
  EXPECT_TRUE(has(pdb, "ATOM      1  N  ")) << pdb.substr(0, 200);
  EXPECT_FALSE(has(pdb, "REMARK"));
  // Every atom the structure was read with, side chains included.
  std::string source;
  for (const auto& f : structures())
    if (has(f, "/" + centre.substr(0, centre.find('~')) + ".pdb")) source = f;
  ASSERT_FALSE(source.empty()) << centre;
  _pdb_image* image = zam_readPdb(source.c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  size_t atoms = 0, side = 0;
  for (const std::string& l : lines(pdb))
    if (l.rfind("ATOM  ", 0) == 0) {
      atoms++;
      side += l.substr(12, 4) == " CB ";
    }
  EXPECT_EQ(atoms, size_t(image->natoms));
  EXPECT_GT(side, 0u);
  zam_freePdb(image);

  for (const auto& f : {"1sp1", "1zaa1", "2drp1", "d1cih__~pdb", "d1crj__~pdb", "1D4V2~pdb", "1EXT1~pdb"}) {
    const std::vector<std::string> nbr = lines(read_file(res(std::string("abc_") + f + ".nbr")));
    ASSERT_EQ(nbr.size(), 5u + 7 + 1) << f;
    EXPECT_EQ(nbr[1], "# Trel neighbour file...");
    EXPECT_EQ(nbr[2], "# Neighbours: 7");
    EXPECT_EQ(nbr[3], "# Neighbour Score   RMSD   M/*");
    // Ranked by G-score (the default "-sort"): the structure itself first.
    EXPECT_EQ(words(nbr[5])[0], f);
    EXPECT_EQ(words(nbr[5]).size(), 4u);
  }
}

TEST_F(AllAgainstAll, PartnerKeepsOneRowPerQueryAndDottedJobNamesKeepTheirFiles) {
  TempDir d;
  const std::vector<std::string> files = structures();
  const testutil::Outcome r = testutil::run_trel(
      d.str(), {"-all", "-partner", "-job=v1.2", "-nopdb", "-noalign", files[0], files[1], files[2], files[3]});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "Detected trivial identity between query=1sp1 and target=1sp1.")) << r.out;
  const std::vector<std::string> m = lines(read_file(d.file("trel_results/v1.2.mat")));
  ASSERT_EQ(m.size(), 6u + 4 + 3);
  for (size_t k = 6; k < 10; k++) {
    const std::vector<std::string> w = words(m[k]);
    EXPECT_NE(w[0], w[1]) << "the partner is never the structure itself";
  }
  // 1sp1 and 1zaa1 are each other's partners; the cytochrome's is a finger.
  EXPECT_EQ(words(m[6])[1], "2drp1");
  for (const char* ext : {"v1.2.kclus", "v1.2.dif", "v1.2.cen", "v1.2_1sp1.nbr", "v1.2_d1cih__~pdb.nbr"})
    EXPECT_TRUE(fs::exists(d.file(std::string("trel_results/") + ext))) << ext;
}

TEST(AllAgainstAllEdges, OneStructureIsOneGroupAndFailuresEndWithStatusOne) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir d;
  const std::string finger = shared_pdb("mustang-testdata/1sp1.pdb");
  fs::create_directories(d.file("one"));
  fs::create_symlink(finger, d.file("one/1sp1.pdb"));
  testutil::Outcome r = testutil::run_trel(d.str(), {"-all", "-nopdb", "-noalign", "-target=" + d.file("one")});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<std::string> c = lines(read_file(d.file("trel_results/trel.kclus")));
  ASSERT_EQ(c.size(), 7u);
  EXPECT_EQ(c[4], "#Ngroups:       1");
  EXPECT_EQ(c[6], "    1  1sp1");

  // A query whose results folder cannot be made: the others still run, the
  // summary files are written, and the run fails.
  TempDir e;
  fs::create_directories(e.file("trel_results"));
  std::ofstream(e.file("trel_results/1sp2")) << "in the way\n";
  r = testutil::run_trel(e.str(), {"-all", "-nopdb", "-noalign", finger,
                                   shared_pdb("mustang-testdata/1sp2.pdb"), shared_pdb("mustang-testdata/3znf.pdb")});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(r.out, "1 of 3 all-against-all queries failed")) << r.out;
  EXPECT_TRUE(fs::exists(e.file("trel_results/3znf/3znf.ktops"))) << r.out;
  EXPECT_TRUE(fs::exists(e.file("trel_results/trel.kclus")));
}

}  // namespace

namespace {

// Every file under root (relative path -> content).
std::map<std::string, std::string> tree(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    // The record of written files holds each run's own inodes and times.
    if (e.is_regular_file() && e.path().filename() != ZAM_WRITTEN_RECORD)
      files[fs::relative(e.path(), root).string()] = read_file(e.path().string());
  return files;
}

// Three threads overlap the queries (several open at a time, the window
// smaller than the set, so open records are reused) and take the pairs
// longest first; the pair of the 1,026-residue chain with itself is one a
// worker aligns with its budget of long pairs and gives back the memory of
// afterwards; with the per-query tables, alignments and superposed PDB
// files written as well, residue-masked ones among them, every result file
// must be the one thread's, byte for byte, and the log must show the same
// messages in the same order.
TEST(AllAgainstAllThreads, ThreadsWriteTheSameFilesAsOneThread) {
  TREL_REQUIRE_SHARED_DATA();
  std::vector<std::string> args = {"-all", "-job=t", "-unmask"};
  for (const auto& f : structures()) args.push_back(f);
  for (const char* t : {"1A0J_A", "1ABI_H"}) args.push_back(shared_pdb(std::string("theseus-examples/trypsins/") + t + ".pdb.gz"));
  args.push_back(shared_pdb("python3-csb/3p1u.pdb.gz"));
  TempDir one, three;
  const testutil::Outcome a = testutil::run_trel(one.str(), args, {"TREL_CPUS=1"});
  const testutil::Outcome b = testutil::run_trel(three.str(), args, {"TREL_CPUS=3"});
  ASSERT_EQ(a.status, 0) << a.out;
  ASSERT_EQ(b.status, 0) << b.out;
  const auto serial = tree(one.file("trel_results")), threaded = tree(three.file("trel_results"));
  EXPECT_GT(serial.size(), 9u * 5u);
  EXPECT_TRUE(serial.count("1sp1/1sp1_query_mask.pdb") && serial.count("1sp1/1sp1_query_mask_rainbow.pdb"));
  ASSERT_EQ(serial.size(), threaded.size());
  // PDB files carry the time they were written in a remark.
  auto undated = [](const std::string& text) {
    std::string kept;
    for (const std::string& l : lines(text))
      if (!has(l, "File written by")) kept += l + "\n";
    return kept;
  };
  // The run's log differs only in its times, memory and thread counts.
  auto steady = [](const std::string& log) {
    std::vector<std::string> kept;
    for (const std::string& l : lines(log))
      if (l.rfind("Done ", 0) != 0 && l.rfind("Trel ", 0) != 0 && l.rfind("Peak ", 0) != 0 &&
          !has(l, "threads:") && !has(l, "TREL_CPUS"))
        kept.push_back(l);
    return kept;
  };
  for (const auto& [name, text] : serial) {
    const auto it = threaded.find(name);
    ASSERT_NE(it, threaded.end()) << name;
    if (name.size() > 6 && name.compare(name.size() - 6, 6, ".ktime") == 0) continue;  // seconds taken
    if (name.size() > 9 && name.compare(name.size() - 9, 9, ".kwritten") == 0) continue;  // file times
    if (name == "trel.log")
      EXPECT_EQ(steady(it->second), steady(text));
    else
      EXPECT_TRUE(undated(it->second) == undated(text)) << name << " differs";
  }
}

}  // namespace
