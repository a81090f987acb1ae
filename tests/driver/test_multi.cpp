// The multiple mode run as a user runs it, on the fifteen zinc fingers of the
// shared data: every result file, the pivot trials and the kept pivot under
// each pivot rule, superposed member files that put every aligned residue
// where the reported RMSD says, FASTA and PIR rows that agree with the
// listing, identical chains aligned on the diagonal, serial and threaded runs
// that write the same bytes, refinement, job names, core thresholds, anchor
// files of the kept trial, a database search aligning each query's hits,
// and the refusal of a set with fewer than two traced structures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/run_trel.h"
#include "common/test_util.h"
#include "driver/trel_multi.h"
#include "output/trel_run_options.h"
#include "store/trel_thing.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

const char* const kZincFingers[] = {"1ard", "1bboN", "1paa", "1sp1",  "1sp2",  "1zaa1", "1zaa2", "1zaa3",
                                    "1zfd", "1znf",  "1znm", "2drp1", "2drp2", "3znf",  "5znf"};

std::string zinc(const std::string& name) { return testutil::shared_pdb("mustang-testdata/" + name + ".pdb"); }

std::vector<std::string> zincFiles() {
  std::vector<std::string> files;
  for (const char* z : kZincFingers) files.push_back(zinc(z));
  return files;
}

// Runs the tool in dir with results in dir/res (named relative to dir, so
// that runs in different folders write the same texts) and the given CPU count.
Outcome run(const TempDir& dir, std::vector<std::string> args, const std::string& cpus = "2") {
  return testutil::run_trel(dir.str(), std::move(args), {"TREL_RESULTS=res", "TREL_CPUS=" + cpus});
}

Outcome multi(const TempDir& dir, std::vector<std::string> options, const std::string& cpus = "2") {
  options.insert(options.begin(), "-multi");
  for (const std::string& f : zincFiles()) options.push_back(f);
  return run(dir, options, cpus);
}

std::vector<std::string> lines(const std::string& text) { return testutil::split_lines(text); }

std::vector<std::string> words(const std::string& line) { return testutil::split_words(line); }

struct Trial {
  std::string pivot;
  long m10;
  int core;
  bool kept;
};

std::vector<Trial> trials(const std::string& out) {
  std::vector<Trial> t;
  for (const std::string& l : lines(out)) {
    char name[64], verdict[16];
    double m = 0;
    int core = 0;
    if (std::sscanf(l.c_str(), "MSA pivot %63s : M=%lf, C=%d (%15[a-z])", name, &m, &core, verdict) == 4)
      t.push_back({name, std::lround(m * 10000), core, std::string(verdict) == "keeping"});
  }
  return t;
}

std::string bestPivot(const std::string& out) {
  const std::string key = "Best MSA has pivot = ";
  const size_t at = out.find(key);
  if (at == std::string::npos) return std::string();
  const size_t from = at + key.size();
  return out.substr(from, out.find(',', from) - from);
}

// Whether a later trial c is to replace b under a pivot rule, from the
// logged keys.
bool wins(int rule, const Trial& c, const Trial& b) {
  const double pc = std::pow(c.core + 1.0, 0.25) * c.m10, pb = std::pow(b.core + 1.0, 0.25) * b.m10;
  switch (rule) {
    case 0: return pc > pb || (pc == pb && c.core > b.core);
    case 1: return c.core > b.core || (c.core == b.core && c.m10 > b.m10);
    case 2: return (c.m10 > b.m10 && c.core >= 1) || (c.m10 == b.m10 && c.core > b.core);
    default: return c.m10 > b.m10 || (c.m10 == b.m10 && c.core > b.core);
  }
}

// The ".kmulti" summary: member names and, per column, each member's
// residue label (chain:number:name) or "-".
struct Kmulti {
  std::vector<std::string> names;
  std::vector<std::vector<std::string>> columns;
  double mscore = -1;
};

Kmulti readKmulti(const std::string& file) {
  Kmulti k;
  for (const std::string& l : lines(read_file(file))) {
    if (l.rfind("#Name:", 0) == 0) {
      k.names.push_back(words(l)[2]);
    } else if (l.rfind("#Mscore:", 0) == 0) {
      k.mscore = std::stod(words(l)[1]);
    } else if (!l.empty() && l[0] != '#') {
      k.columns.push_back(words(l));
    }
  }
  return k;
}

struct Point {
  double x, y, z;
};

// CA atoms of a PDB file by chain:number:name, read from the fixed columns.
std::map<std::string, Point> alphas(const std::string& file) {
  std::map<std::string, Point> ca;
  for (const std::string& l : lines(read_file(file))) {
    if (l.rfind("ATOM  ", 0) != 0 || l.size() < 54 || l.substr(12, 4) != " CA ") continue;
    const std::string number = words(l.substr(22, 5))[0], name = words(l.substr(17, 3))[0];
    ca[std::string(1, l[21]) + ":" + number + ":" + name] = {std::stod(l.substr(30, 8)), std::stod(l.substr(38, 8)),
                                                              std::stod(l.substr(46, 8))};
  }
  return ca;
}

double loggedRmsd(const std::string& out, int* columns) {
  for (const std::string& l : lines(out)) {
    double rmsd = -1;
    if (std::sscanf(l.c_str(),
                    "Best MSA has %d columns aligned in every structure, mean pairwise CA RMSD over them = %lf",
                    columns, &rmsd) == 2)
      return rmsd;
  }
  return -1;
}

// Reads the member files of a results folder back: over every column where
// all members have a residue, the mean over pairs of members of their CA
// RMSD, compared with the logged figure.
void expectMembersWhereReported(const std::string& folder, const std::string& kmulti, const std::string& out) {
  const Kmulti k = readKmulti(folder + kmulti);
  ASSERT_EQ(k.names.size(), 15u);
  std::vector<std::map<std::string, Point>> ca;
  for (const std::string& n : k.names) ca.push_back(alphas(folder + n + ".pdb"));
  std::vector<size_t> full;
  for (size_t c = 0; c < k.columns.size(); c++) {
    ASSERT_EQ(k.columns[c].size(), k.names.size());
    if (std::none_of(k.columns[c].begin(), k.columns[c].end(), [](const std::string& s) { return s == "-"; }))
      full.push_back(c);
  }
  double sum = 0;
  int pairs = 0;
  for (size_t a = 0; a < ca.size(); a++)
    for (size_t b = a + 1; b < ca.size(); b++) {
      double d2 = 0;
      for (const size_t c : full) {
        ASSERT_TRUE(ca[a].count(k.columns[c][a]) && ca[b].count(k.columns[c][b])) << k.columns[c][a];
        const Point p = ca[a].at(k.columns[c][a]), q = ca[b].at(k.columns[c][b]);
        d2 += (p.x - q.x) * (p.x - q.x) + (p.y - q.y) * (p.y - q.y) + (p.z - q.z) * (p.z - q.z);
      }
      sum += std::sqrt(d2 / full.size());
      pairs++;
    }
  int columns = 0;
  const double logged = loggedRmsd(out, &columns);
  EXPECT_EQ(columns, (int)full.size());
  EXPECT_GT(full.size(), 15u);
  EXPECT_NEAR(sum / pairs, logged, 0.002);
  EXPECT_LT(logged, 2.0);  // zinc fingers superpose closely
}

// Rows of a listing (".kmsa"): each row name's letters over all blocks.
std::map<std::string, std::string> kmsaRows(const std::string& file, const std::vector<std::string>& names) {
  std::map<std::string, std::string> rows;
  for (const std::string& l : lines(read_file(file))) {
    if (l.size() < 36) continue;
    const std::vector<std::string> w = words(l.substr(0, 24));
    if (w.size() == 1 && std::find(names.begin(), names.end(), w[0]) != names.end()) rows[w[0]] += l.substr(36);
  }
  return rows;
}

// Rows of a FASTA (pir false) or PIR file by entry name.
std::map<std::string, std::string> sequenceRows(const std::string& file, bool pir) {
  std::map<std::string, std::string> rows;
  std::string name;
  bool header = false;
  for (const std::string& l : lines(read_file(file))) {
    if (l.rfind(">", 0) == 0) {
      name = pir ? l.substr(4) : words(l.substr(1))[0];
      header = pir;
    } else if (header) {
      header = false;
    } else if (!l.empty()) {
      rows[name] += l;
    }
  }
  if (pir)
    for (auto& r : rows) {
      EXPECT_EQ(r.second.back(), '*');
      r.second.pop_back();
    }
  return rows;
}

// Every file of a results folder, PDB header dates left out.
std::map<std::string, std::string> folderFiles(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(folder)) {
    std::string text;
    for (const std::string& l : lines(read_file(e.path().string())))
      if (l.rfind("REMARK  File written by", 0) != 0) text += l + "\n";
    files[e.path().filename().string()] = text;
  }
  return files;
}

TEST(MultiMode, FifteenZincFingersEveryFileAndTheKeptPivot) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const Outcome r = multi(dir, {});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::vector<Trial> t = trials(r.out);
  ASSERT_EQ(t.size(), 15u) << r.out;
  for (size_t k = 0; k < t.size(); k++) EXPECT_EQ(t[k].pivot, kZincFingers[k]);
  EXPECT_TRUE(t[0].kept);
  size_t best = 0;
  for (size_t k = 1; k < t.size(); k++) {
    EXPECT_EQ(t[k].kept, wins(0, t[k], t[best])) << t[k].pivot;
    if (t[k].kept) best = k;
  }
  const std::string pivot = bestPivot(r.out);
  EXPECT_EQ(pivot, t[best].pivot);
  EXPECT_TRUE(has(r.out, "Done multi pivot MSA for 15 targets in "));
  EXPECT_TRUE(has(r.out, "Setting CORE threshold = 8 rows (including pivot)\n"));

  const std::string folder = dir.file("res/" + pivot) + "/";
  EXPECT_TRUE(has(r.out, "Writing MSA results with pivot = " + pivot + " to FOLDER = res/" + pivot + "/\n"));
  for (const std::string ext : {".kmsa", ".fasta", ".pir", ".kalign", "_rainbow.pdb", "_rainbow.mac", "_rainbow.tcl",
                                "_rainbow_00015.pdb"})
    EXPECT_TRUE(fs::exists(folder + pivot + "_multi" + ext)) << ext;
  for (const char* z : kZincFingers) EXPECT_TRUE(fs::exists(folder + z + ".pdb")) << z;
  ASSERT_TRUE(fs::exists(folder + pivot + ".kmulti"));
  const Kmulti k = readKmulti(folder + pivot + ".kmulti");
  ASSERT_EQ(k.names.size(), 15u);
  EXPECT_EQ(k.names[0], pivot);
  EXPECT_NEAR(k.mscore, t[best].m10 / 10000.0, 1e-4);

  expectMembersWhereReported(folder, pivot + ".kmulti", r.out);

  // The sequence files hold the listing's rows.
  const auto listing = kmsaRows(folder + pivot + "_multi.kmsa", k.names);
  ASSERT_EQ(listing.size(), 15u);
  EXPECT_EQ(sequenceRows(folder + pivot + "_multi.fasta", false), listing);
  EXPECT_EQ(sequenceRows(folder + pivot + "_multi.pir", true), listing);
  for (const auto& row : listing) EXPECT_EQ(row.second.size(), k.columns.size());

  // A serial run writes the same bytes.
  TempDir serial;
  const Outcome s = multi(serial, {"-nothreads"}, "4");
  ASSERT_EQ(s.status, 0) << s.out;
  EXPECT_EQ(folderFiles(serial.file("res/" + pivot)), folderFiles(folder));
}

TEST(MultiMode, PivotRulesAndSinglePivot) {
  TREL_REQUIRE_SHARED_DATA();
  for (int rule = 1; rule <= 3; rule++) {
    SCOPED_TRACE(rule);
    TempDir dir;
    const Outcome r = multi(dir, {"-pivot_rule=" + std::to_string(rule), "-nowrite"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<Trial> t = trials(r.out);
    ASSERT_EQ(t.size(), 15u);
    size_t best = 0;
    for (size_t k = 1; k < t.size(); k++) {
      EXPECT_EQ(t[k].kept, wins(rule, t[k], t[best])) << t[k].pivot;
      if (t[k].kept) best = k;
    }
    EXPECT_EQ(bestPivot(r.out), t[best].pivot);
    EXPECT_FALSE(fs::exists(dir.file("res/" + t[best].pivot)));
  }
  TempDir dir;
  const Outcome one = multi(dir, {"-nopivot"});
  ASSERT_EQ(one.status, 0) << one.out;
  EXPECT_EQ(trials(one.out).size(), 1u);
  EXPECT_EQ(bestPivot(one.out), "1ard");
  EXPECT_TRUE(has(one.out, "Done single pivot MSA for 15 targets in "));
  EXPECT_TRUE(fs::exists(dir.file("res/1ard/1ard.kmulti")));
}

TEST(MultiMode, RefinementJobNameAndCoreRule) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  const Outcome r = multi(dir, {"-mrefine", "-job=zf", "-core=100"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "\nTrying to refine the MSA using consensus coordinates...\n"));
  EXPECT_TRUE(has(r.out, "Done consensus refinement of 15 structures in "));
  EXPECT_TRUE(has(r.out, "Setting CORE threshold = 15 rows (including pivot)\n"));
  const std::string folder = dir.file("res/zf") + "/";
  EXPECT_TRUE(fs::exists(folder + "zf_multi.kmsa"));
  EXPECT_TRUE(fs::exists(folder + "zf_multi_rainbow.pdb"));
  // Refinement moves the members: the files still put them where reported.
  expectMembersWhereReported(folder, "zf.kmulti", r.out);

  TempDir low;
  const Outcome c = multi(low, {"-core=0", "-nopivot", "-nowrite"});
  EXPECT_TRUE(has(c.out, "Setting CORE threshold = 2 rows (including pivot)\n")) << c.out;
}

TEST(MultiMode, AnchorFilesComeFromTheKeptPivot) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  // Rule 3 keeps a pivot before the last trial.
  const Outcome r = multi(dir, {"-pivot_rule=3", "-pdbanchor"});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string pivot = bestPivot(r.out);
  ASSERT_NE(pivot, "5znf");
  const std::string folder = dir.file("res/" + pivot) + "/";
  for (const char* z : kZincFingers) {
    if (z == pivot) continue;
    EXPECT_TRUE(fs::exists(folder + z + "_" + pivot + "_anchor.kalign")) << z;
    EXPECT_TRUE(fs::exists(folder + z + "_" + pivot + "_anchor.pdb")) << z;
  }
  EXPECT_TRUE(fs::exists(folder + pivot + "_multi_anchor_rainbow.pdb"));
  for (const auto& e : fs::directory_iterator(folder))
    EXPECT_FALSE(has(e.path().filename().string(), "_5znf_anchor")) << e.path();
}

TEST(MultiMode, IdenticalChainsAlignOnTheDiagonal) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::copy_file(zinc("1ard"), dir.file("a.pdb"));
  fs::copy_file(zinc("1ard"), dir.file("b.pdb"));
  const Outcome r = run(dir, {"-multi", "-nopivot", "a.pdb", "b.pdb", zinc("1zaa1")});
  ASSERT_EQ(r.status, 0) << r.out;
  const Kmulti k = readKmulti(dir.file("res/a/a.kmulti"));
  ASSERT_EQ(k.names.size(), 3u);
  const size_t b = k.names[1] == "b" ? 1 : 2;
  ASSERT_EQ(k.names[b], "b");
  std::vector<std::string> labels;
  for (const auto& col : k.columns) {
    EXPECT_EQ(col[0], col[b]);
    if (col[0] != "-") labels.push_back(col[0]);
  }
  EXPECT_EQ(labels.size(), 29u);  // every residue of 1ard once, in order
  EXPECT_EQ(labels.front(), "D:102:ARG");
}

TEST(MultiMode, FewerThanTwoTracedStructuresAreRefused) {
  // Objects without a trace (here: never loaded) are left out; what remains
  // cannot make a multiple alignment, and no profile code runs.
  _trel_thing* a = trel_createThing("a", "./");
  _trel_thing* b = trel_createThing("b", "./");
  _trel_options o;
  const int before = trel_multiRefused();
  testutil::Capture said;
  EXPECT_EQ(trel_doMulti(&a, 1, &b, 1, nullptr, 0, nullptr, &o), 0);
  EXPECT_EQ(trel_multiRefused(), before + 1);
  EXPECT_TRUE(said.has("*Error* A multiple alignment needs at least two structures with backbone traces, but 0 "
                       "were given.\n"))
      << said.text;
  EXPECT_FALSE(said.has("Setting CORE threshold"));
  trel_closeThing(nullptr, a);
  trel_closeThing(nullptr, b);
}

TEST(MultiMode, DatabaseSearchAlignsEachQueryWithItsHits) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::create_directories(dir.file("db"));
  const std::vector<std::string> env = {"TREL_DATABASE=" + dir.file("db"), "TREL_CPUS=2",
                                        "TREL_RESULTS=" + dir.file("res")};
  std::vector<std::string> build = {"-build=zf"};
  for (const std::string& f : zincFiles()) build.push_back(f);
  const Outcome b = testutil::run_trel(dir.str(), build, env);
  ASSERT_EQ(b.status, 0) << b.out;
  const Outcome r = testutil::run_trel(dir.str(), {"-db=zf", "-multi", "-show=6", zinc("1ard"), zinc("1zfd")}, env);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(trials(r.out).size(), 2u);  // -db keeps the query as the only pivot
  for (const char* q : {"1ard", "1zfd"}) {
    SCOPED_TRACE(q);
    const Kmulti k = readKmulti(dir.file(std::string("res/") + q + "/" + q + ".kmulti"));
    ASSERT_GE(k.names.size(), 3u);
    EXPECT_LE(k.names.size(), 7u);
    EXPECT_EQ(k.names[0], q);
    // The query's own entry is no hit of its own.
    EXPECT_EQ(std::count(k.names.begin(), k.names.end(), q), 1);
    EXPECT_TRUE(fs::exists(dir.file(std::string("res/") + q + "/" + q + "_multi.kmsa")));
  }
}

}  // namespace
