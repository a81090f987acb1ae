// The per-hit result files of a search run by the tool itself: every file of
// every shown hit with its header lines, written in rank order before the
// query and target PDB files; switches that leave files out; and result
// names that cannot be written.
#include <gtest/gtest.h>

#include <zlib.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "common/run_trel.h"
#include "common/test_util.h"
#include "runtime/zam_whole.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;

const char* const kQuery = "1A0J_A";
const char* const kTargets[] = {"1A0L_A", "1A5I_A"};
const std::string kRule = "#" + std::string(79, '=') + "\n";

// Unpacks a shared trypsin into dir as NAME.pdb, so that file names stay plain.
std::string unpack(const TempDir& dir, const std::string& name) {
  const std::string out = dir.file(name + ".pdb");
  gzFile in = gzopen(shared_pdb("theseus-examples/trypsins/" + name + ".pdb.gz").c_str(), "rb");
  if (!in) return out;
  std::string text;
  char buf[8192];
  int n;
  while ((n = gzread(in, buf, sizeof buf)) > 0) text.append(buf, size_t(n));
  gzclose(in);
  testutil::write_file(out, text);
  return out;
}

// Runs the tool in cwd on the query and both targets, extra options first;
// returns the exit status (-1 when it did not exit normally) and the output.
int run(const TempDir& dir, std::vector<std::string> extra, std::string* out) {
  std::vector<std::string> args = std::move(extra);
  args.push_back(unpack(dir, kQuery));
  for (const char* t : kTargets) args.push_back(unpack(dir, t));
  const testutil::Outcome r = testutil::run_trel(dir.str(), std::move(args));
  out->append(r.out);
  return r.status;
}

bool starts(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

std::string pairStem(const char* target) { return std::string(target) + "_" + kQuery; }

// Names of the regular files in folder.
std::set<std::string> listing(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.is_regular_file()) names.insert(e.path().filename().string());
  return names;
}

// Every file a search writes for the query with the given switches.
std::set<std::string> expected(bool pdb, bool krmsd) {
  const std::string q = kQuery;
  std::set<std::string> names;
  for (const char* ext : {".ktops", ".krank", ".khits", ".knames", ".kcode", ".ktime", ".kroc", ".kwritten"})
    names.insert(q + ext);
  if (pdb) names.insert({q + "_query.pdb", q + "_query_rainbow.pdb"});
  for (const char* t : kTargets) {
    const std::string p = pairStem(t);
    for (const char* ext : {".kpairs", ".wpairs", ".profit", ".fasta", ".pir", ".kalign", ".kchains",
                            ".mat"})
      names.insert(p + ext);
    if (krmsd) names.insert(p + ".krmsd");
    if (!pdb) continue;
    names.insert({p + ".jmol", p + ".pdb", p + "_rainbow.pdb", p + "_rainbow.mac", p + "_rainbow.tcl"});
    for (const char* colouring : {"_matched", "_aligned", "_segments"})
      names.insert({p + colouring + ".mac", p + colouring + ".tcl"});
  }
  return names;
}

// Checks that every PDB file named in a file of folder (opened by a viewer
// command file, ProFit or a header's "Out" line, or labelling a FASTA or PIR
// entry) is a file of folder; returns how many names were checked.
int namedFilesExist(const std::string& folder) {
  const std::regex quoted(
      R"re(^(?:(?:open_\w+|REFERENCE|MOBILE|mol new|#\w+ Out:|   set \w+) +|>(?:P1;)?)"?([^"$ ]+))re");
  const std::set<std::string> names = listing(folder);
  int quotes = 0;
  for (const std::string& name : names) {
    std::istringstream lines(read_file(folder + name));
    std::smatch m;
    for (std::string line; std::getline(lines, line);)
      if (std::regex_search(line, m, quoted) && has(m[1].str(), ".pdb")) {
        quotes++;
        EXPECT_TRUE(names.count(m[1].str())) << folder << name << " names " << m[1].str();
      }
  }
  return quotes;
}

class HitFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
  }
};

TEST_F(HitFiles, EveryFileOfEveryHitWithItsHeaderInRankOrder) {
  TempDir dir;
  std::string out;
  ASSERT_EQ(run(dir, {"-verbose=2"}, &out), 0) << out;
  const std::string folder = dir.file(std::string("trel_results/") + kQuery + "/");
  EXPECT_EQ(listing(folder), expected(true, true));

  const std::string q = kQuery, qout = q + "_query.pdb";
  for (const char* t : kTargets) {
    SCOPED_TRACE(t);
    const std::string p = pairStem(t), f = folder + p;
    const std::string kpairs = read_file(f + ".kpairs");
    EXPECT_TRUE(starts(kpairs, kRule + "#Query In:     " + q + "\n#Target In:    " + t + "\n")) << kpairs;
    EXPECT_TRUE(has(kpairs, "#Query Out:    " + qout + "\n#Target Out:   " + p + ".pdb\n"));
    EXPECT_TRUE(has(kpairs, "#Tmatrix (Target Out = Tmatrix * Target In):\n"));
    EXPECT_TRUE(has(kpairs, "#  Posn   Dist  K-Score  G-Score  SegID   Query        Target\n"));
    const std::string kalign = read_file(f + ".kalign");
    EXPECT_TRUE(starts(kalign, kRule + "#Query In:     " + q + "\n"));
    EXPECT_TRUE(has(kalign, "#SSEs       (A = ALPHA, B = BETA, C = COIL/LOOP)\n"));
    EXPECT_TRUE(starts(read_file(f + ".wpairs"), "#Query In:   " + q + ".pdb A\n#Target In:  " + t + ".pdb A\n"));
    const std::string profit = read_file(f + ".profit");
    EXPECT_TRUE(starts(profit, "REFERENCE " + qout + "\nMOBILE    " + p + ".pdb\nATOMS CA\nZONE "));
    EXPECT_TRUE(profit.size() > 4 && profit.substr(profit.size() - 4) == "FIT\n");
    EXPECT_TRUE(starts(read_file(f + ".jmol"), "#" + q + ".pdb A\n"));
    EXPECT_TRUE(starts(read_file(f + ".fasta"), ">" + qout + " A\n"));
    EXPECT_TRUE(starts(read_file(f + ".pir"), ">P1;" + qout + "\nstructure:"));
    EXPECT_TRUE(starts(read_file(f + ".kchains"), kRule + "#Query:          " + q + "\n"));
    EXPECT_TRUE(starts(read_file(f + ".krmsd"), kRule + "#Query In:   " + q + ".pdb A\n"));
    for (const char* colouring : {"_matched", "_aligned", "_segments"}) {
      EXPECT_TRUE(starts(read_file(f + colouring + ".mac"), "# Zam command file to draw a Trel superposition.\n"));
      EXPECT_TRUE(starts(read_file(f + colouring + ".tcl"), "# VMD command file to draw a Trel superposition.\n"));
    }
    EXPECT_TRUE(starts(read_file(f + "_rainbow.mac"), "# This file: " + p + "_rainbow.mac\n"));
    EXPECT_TRUE(starts(read_file(f + "_rainbow.tcl"), "# This file: " + p + "_rainbow.tcl\n"));
    EXPECT_TRUE(starts(read_file(f + "_rainbow.pdb"), "REMARK  File written by "));
    const std::string pdb = read_file(f + ".pdb");
    EXPECT_TRUE(starts(pdb, "REMARK  File written by "));
    EXPECT_TRUE(has(pdb, "\nREMARK  Query:      " + q + "\nREMARK  Target:     " + t + "\nATOM "));
    const std::string mat = read_file(f + ".mat");
    EXPECT_TRUE(mat.size() > 37 && mat.substr(mat.size() - 37) == " 0.000000 0.000000 0.000000 1.000000\n") << mat;
  }
  EXPECT_TRUE(starts(read_file(folder + qout), "REMARK  File written by "));

  // The alignment files go out hit by hit in rank order, then the query and
  // target PDB files, then the tables. Rank 0 heads ".knames".
  const std::string names = read_file(folder + q + ".knames");
  const std::string first = names.substr(0, names.find('\n'));
  ASSERT_TRUE(first == kTargets[0] || first == kTargets[1]) << names;
  const std::string second = first == kTargets[0] ? kTargets[1] : kTargets[0];
  const size_t a0 = out.find("Writing alignment file: ./trel_results/" + q + "/" + first + "_" + q);
  const size_t a1 = out.find("Writing alignment file: ./trel_results/" + q + "/" + second + "_" + q);
  const size_t qpdb = out.find("Writing QUERY pdb file:  ./trel_results/" + q + "/" + qout);
  const size_t tpdb = out.find("Writing TARGET pdb file: ./trel_results/" + q + "/" + first + "_" + q + ".pdb");
  const size_t table = out.find("Top 2 matches for " + q);
  ASSERT_NE(table, std::string::npos) << out;
  EXPECT_TRUE(a0 < a1 && a1 < qpdb && qpdb < tpdb && tpdb < table) << out;
}

TEST_F(HitFiles, SwitchesLeaveTheirFilesOut) {
  TempDir dir;
  std::string out;
  ASSERT_EQ(run(dir, {"-nopdb", "-nokrmsd"}, &out), 0) << out;
  EXPECT_EQ(listing(dir.file(std::string("trel_results/") + kQuery)), expected(false, false));
  EXPECT_FALSE(has(out, "Writing QUERY pdb file")) << out;
}

TEST_F(HitFiles, UnwritableNamesGiveWarningsAndNoPartialFile) {
  // Tests run as root, so permissions block nothing: a folder that cannot be
  // moved (immutable) standing where a result file should go cannot be
  // opened, replaced or moved aside by anyone.
  TempDir dir;
  const std::string sub = std::string("trel_results/") + kQuery + "/";
  const std::string p = sub + pairStem(kTargets[0]);
  const std::vector<std::string> blocked = {p + ".kpairs", p + ".kalign", p + ".kchains", p + ".krmsd",
                                            p + "_matched.tcl", p + "_rainbow.pdb", p + ".pdb",
                                            p + ".mat", sub + kQuery + "_query.pdb"};
  std::vector<std::unique_ptr<testutil::FixedFolder>> in_way;
  for (const std::string& b : blocked) {
    in_way.push_back(std::make_unique<testutil::FixedFolder>(dir.file(b)));
    if (!in_way.back()->fixed) GTEST_SKIP() << "no immutable folders on this file system";
  }
  std::string out;
  // Every other file is written, but a run that lost result files has failed.
  ASSERT_EQ(run(dir, {}, &out), 1) << out;
  EXPECT_TRUE(has(out, "*Error* 9 result files could not be written (named in the warnings above).\n")) << out;
  for (const std::string& b : blocked) {
    EXPECT_TRUE(has(out, "*Warning*") && has(out, "./" + b + "\n")) << b << "\n" << out;
    EXPECT_TRUE(fs::is_directory(dir.file(b))) << b;
  }
  // The rest is written; nothing half-done or temporary is left behind.
  std::set<std::string> want = expected(true, true);
  for (const std::string& b : blocked) want.erase(fs::path(b).filename().string());
  EXPECT_EQ(listing(dir.file(sub)), want);
  EXPECT_TRUE(has(read_file(dir.file(pairStem(kTargets[1]).insert(0, sub) + ".kpairs")), "#Tmatrix"));

  // A results sub-folder that cannot be made stops the run with an error
  // naming it, before any result file is started.
  TempDir dir2;
  fs::create_directories(dir2.file("trel_results"));
  testutil::write_file(dir2.file("trel_results/" + std::string(kQuery)), "not a folder\n");
  out.clear();
  EXPECT_EQ(run(dir2, {}, &out), 1) << out;
  EXPECT_TRUE(has(out, "Failed to create RESULTS directory: ./trel_results/" + std::string(kQuery))) << out;
  // The log of a failed run is kept under a numbered name.
  EXPECT_EQ(listing(dir2.file("trel_results")), (std::set<std::string>{kQuery, "trel.log.1", ZAM_WRITTEN_RECORD}));
  EXPECT_EQ(read_file(dir2.file("trel_results/" + std::string(kQuery))), "not a folder\n");
}

TEST_F(HitFiles, AnchorFilesComeOnTopOfAnUnchangedRun) {
  TempDir plain, anchor;
  std::string out;
  ASSERT_EQ(run(plain, {}, &out), 0) << out;
  ASSERT_EQ(run(anchor, {"-pdbanchor"}, &out), 0) << out;
  const std::string sub = std::string("trel_results/") + kQuery + "/";
  const std::set<std::string> before = listing(plain.file(sub)), after = listing(anchor.file(sub));
  // PDB files open with a REMARK line that carries the date.
  auto body = [](const std::string& path) {
    const std::string text = read_file(path);
    return path.size() > 4 && path.substr(path.size() - 4) == ".pdb" && starts(text, "REMARK")
               ? text.substr(text.find('\n') + 1)
               : text;
  };
  for (const std::string& name : before) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(after.count(name));
    if (name != std::string(kQuery) + ".ktime" && name != std::string(kQuery) + ".kwritten") {
      EXPECT_EQ(body(anchor.file(sub + name)), body(plain.file(sub + name)));
    }
  }
  for (const char* t : kTargets) {
    const std::string p = pairStem(t) + "_anchor";
    for (const char* ext : {".kpairs", ".kalign", ".krmsd", ".pdb", ".mat"})
      EXPECT_TRUE(after.count(p + ext)) << p << ext;
    EXPECT_TRUE(has(read_file(anchor.file(sub + p + ".pdb")), "\nATOM "));
  }
  for (const std::string& name : after)
    EXPECT_TRUE(before.count(name) || has(name, "_anchor")) << name;
}

// Structure names too long for the file names of their results: names that
// fit stand as they are (the query's files, those of its pairs with a short
// target); the others are shortened, each name once, said once; and every
// file that names another names one that was written.
TEST_F(HitFiles, LongNamesGiveFilesThatFitAndNameEachOther) {
  TempDir dir;
  const std::string q(230, 'q'), t(244, 't');
  fs::rename(unpack(dir, kQuery), dir.file(q + ".pdb"));
  fs::rename(unpack(dir, kTargets[0]), dir.file(t + ".pdb"));
  const testutil::Outcome r = testutil::run_trel2(dir.str(), {q + ".pdb", t + ".pdb", unpack(dir, kTargets[1])});
  ASSERT_EQ(r.status, 0) << r.out;
  size_t said = 0;
  for (size_t at = 0; (at = r.out.find("*Advisory* Result file names too long", at)) != std::string::npos; at++) said++;
  EXPECT_EQ(said, 2u) << r.out;
  const std::string folder = dir.file("trel_results/" + q + "/");
  const std::set<std::string> names = listing(folder);
  for (const std::string& plain : {q + "_query_rainbow.pdb", std::string(kTargets[1]) + "_" + q + "_segments.mac"})
    EXPECT_TRUE(names.count(plain)) << plain;
  EXPECT_GE(namedFilesExist(folder), 60);  // 30 in the files of each pair
}

// Every superposed PDB file that the pairs' files name is one the run wrote,
// also where the pairs' PDB files are named otherwise: the masked files of
// flexible and anchor superpositions, the anchor files of a multiple
// alignment and the masked files of its scoring (which writes none), and the
// best template's files of a sequence (nothing is superposed).
TEST_F(HitFiles, EveryNamedPdbFileIsWritten) {
  TempDir dir;
  std::vector<std::string> fingers;
  for (const char* name : {"1zfd", "1ard", "1sp1", "1znf"}) {
    fingers.push_back(std::string(name) + ".pdb");
    fs::copy_file(shared_pdb("mustang-testdata/" + fingers.back()), dir.file(fingers.back()));
  }
  testutil::write_file(dir.file("zf.fasta"), ">zf\nDRPYSCDHPGCDKAFVRNHDLIRHKKSHQEKA\n");
  // Each run's results folder, options and inputs, and the least count of
  // names its files quote (the best template's files quote none).
  struct Run {
    std::string results;
    std::vector<std::string> args;
    int quotes;
  };
  const Run runs[] = {{"flex", {"-mask", "-flex", "-pdbanchor"}, 50},
                      {"multi", {"-multi", "-nopivot", "-pdbanchor", "-mask"}, 50},
                      {"model", {"-model", "zf.fasta"}, 0},
                      {"score", {"-score", "-mask", "multi/1zfd/1zfd_multi.fasta"}, 50}};
  for (const Run& run : runs) {
    std::vector<std::string> args = run.args;
    if (run.results != "score") args.insert(args.end(), fingers.begin(), fingers.end());  // else found by name
    const testutil::Outcome r = testutil::run_trel2(dir.str(), args, {"TREL_RESULTS=" + run.results});
    ASSERT_EQ(r.status, 0) << r.out;
    int quotes = namedFilesExist(dir.file(run.results + "/"));
    for (const auto& e : fs::recursive_directory_iterator(dir.file(run.results)))
      if (e.is_directory()) quotes += namedFilesExist(e.path().string() + "/");
    EXPECT_GE(quotes, run.quotes) << run.results;
  }
}

}  // namespace
