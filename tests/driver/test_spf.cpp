// The SPF road. In process, on ubiquitin's sampled shape: a self match
// scores 1 at the identity; a turned and shifted copy comes back onto the
// query in the units of the coefficients through the solution's transform;
// a target without shape gives no solution (and no NaN); a stop asked for
// leaves no solution. Through the tool, searches whose superpositions start
// from SPF rotational matches: "-q0" matches every target, "-q3 -spf" the
// targets its descriptor filter ranks best. For zinc fingers and cytochromes
// every hit's superposed PDB file, read back with the query's, gives over
// the aligned pairs of its ".kpairs" file the RMSD that the file reports;
// one compute thread and three give the same files. A translation-matrix
// cache of damaged files, or of another program's, gives the hit table of a
// clean cache, and says so on the terminal as in the log; a pipe at a cache
// name is not waited on.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/run_trel.h"
#include "common/test_util.h"
#include "runtime/zam_whole.h"
#include "driver/trel_spf.h"
#include "matching/sampled_shape.h"
#include "matching/zam_matcher.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_system.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;

// ---- In process: the match and its transforms ----------------------------

constexpr int kOrder = 10;
constexpr double kDeg = M_PI / 180.0;

_docking_spec tool_spec(double range) {
  _docking_spec s = testutil::tool_rotation_spec(kOrder);
  s.r12_range = range;
  return s;
}

using testutil::rotation_angle;

using Matcher = testutil::UbiquitinShape<kOrder>;

TEST_F(Matcher, SelfMatchScoresOneAtIdentity) {
  _docking_spec spec = tool_spec(0.0);
  _docking d{};
  std::vector<double> q = shape, t = shape;
  trel_matcher("query", "target", q.data(), q.data(), t.data(), t.data(), 0, 3, &spec, &d);
  ASSERT_EQ(d.n_kept, 1000);
  EXPECT_NEAR(d.solutions[0].Etotal, 1.0, 1e-5);
  EXPECT_EQ(d.solutions[0].Eforce, 0.0f);
  EXPECT_LT(rotation_angle(trel_pdbMatrix(&d.solutions[0])), 1e-6);
  for (int i = 1; i < d.n_kept; i++) ASSERT_GE(d.solutions[i - 1].Etotal, d.solutions[i].Etotal);
  EXPECT_EQ(q, shape);  // the caller's arrays are left alone
  zam_free_solutions(&d);
}

TEST_F(Matcher, ShiftedCopyComesBackInCoefficientUnits) {
  // Coefficient units here are the atoms' own; class 0 reads them as 1.2
  // structure units, so the reported shift is divided by 1.2.
  const Matrix3D M = tf_tftf(tf_euler(e_make(-60 * kDeg, 100 * kDeg, 25 * kDeg)), tf_v(v_make(0.0, 0.0, 2.4)));
  std::vector<Point3D> moved;
  for (const Point3D& a : atoms) moved.push_back(pt_tfpt(M, a));
  std::vector<double> q = shape, t = testutil::sampled_shape(moved, kOrder);
  _docking_spec spec = tool_spec(6.0);
  _docking d{};
  trel_matcher("query", "target", q.data(), q.data(), t.data(), t.data(), 0, 0, &spec, &d);
  ASSERT_GT(d.n_kept, 0);
  EXPECT_GT(d.solutions[0].Etotal, 0.9);
  EXPECT_NEAR(d.solutions[0].r12, 2.4 / 1.2, 0.8 / 1.2 + 1e-6);
  const Matrix3D back = tf_tftf(M, trel_spfMatrix(0, trel_pdbMatrix(&d.solutions[0])));
  EXPECT_LT(rotation_angle(back), 10.0 * kDeg);
  for (const Point3D& a : atoms) {
    const Point3D b = pt_tfpt(back, a);
    ASSERT_LT(std::hypot(a.x - b.x, a.y - b.y, a.z - b.z), 3.0);
  }
  zam_free_solutions(&d);
}

int stop_now(int, double) { return 1; }

TEST_F(Matcher, NoShapeOrStopGivesNoSolution) {
  _docking_spec spec = tool_spec(0.0);
  _docking d{};
  std::vector<double> q = shape, empty(shape.size(), 0.0);
  {
    // At debug level 2 the library's messages reach the screen.
    zam_debug = 2;
    testutil::Capture log;
    trel_matcher("query", "empty", q.data(), q.data(), empty.data(), empty.data(), 0, 5, &spec, &d);
    zam_debug = 0;
    EXPECT_TRUE(log.has("have no length"));
    EXPECT_FALSE(log.has("nan"));
  }
  EXPECT_EQ(d.n_kept, 0);
  zam_progress_callback(stop_now);
  trel_matcher("query", "target", q.data(), q.data(), q.data(), q.data(), 0, 5, &spec, &d);
  zam_progress_callback(nullptr);
  EXPECT_EQ(d.n_kept, 0);
  zam_free_solutions(&d);
}

TEST(SpfTransform, ZeroPoseIsIdentityAndShiftsScaleByClass) {
  _solution zero{};
  const Matrix3D I = trel_pdbMatrix(&zero);
  for (int k = 0; k < 12; k++) EXPECT_EQ(I.m[k], (k % 5 == 0) ? 1.0 : 0.0);
  Matrix3D T = tf_v(v_make(1.0, -2.0, 3.0));
  EXPECT_DOUBLE_EQ(trel_spfMatrix(0, T).m[7], -2.4);
  EXPECT_EQ(trel_spfMatrix(1, T).m[11], 3.0);
}

// ---- Through the tool -------------------------------------------------------

std::string finger(const std::string& name) { return shared_pdb("mustang-testdata/" + name + ".pdb"); }
std::string cytochrome(const std::string& name) {
  return shared_pdb("theseus-examples/cytochromes/" + name + ".pdb.gz");
}

// C-alpha coordinates of a written PDB file by "chain:number".
std::map<std::string, std::vector<double>> cAlphas(const std::string& file) {
  std::map<std::string, std::vector<double>> ca;
  std::istringstream in(read_file(file));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("ATOM", 0) != 0 || line.size() < 54 || line.substr(12, 4) != " CA ") continue;
    std::string number = line.substr(22, 5);  // residue number and insertion code
    number.erase(0, number.find_first_not_of(' '));
    number.erase(number.find_last_not_of(' ') + 1);
    const std::string key = std::string(1, line[21] == ' ' ? '_' : line[21]) + ":" + number;
    ca[key] = {std::stod(line.substr(30, 8)), std::stod(line.substr(38, 8)), std::stod(line.substr(46, 8))};
  }
  return ca;
}

// The RMSD over the pairs of a ".kpairs" file, from the two PDB files, and
// the value the file reports; the number of pairs read.
struct PairCheck {
  double recomputed = -1.0, reported = -2.0;
  int pairs = 0;
};
PairCheck checkPairs(const std::string& folder, const std::string& stem, const std::string& query) {
  const std::string text = read_file(folder + "/" + stem + ".kpairs");
  const auto q = cAlphas(folder + "/" + query + "_query.pdb");
  const auto t = cAlphas(folder + "/" + stem + ".pdb");
  PairCheck c;
  std::istringstream in(text);
  double sum = 0.0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("#RMSD-aligned:", 0) == 0) c.reported = std::stod(line.substr(14));
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string pos, dist, k, g, seg, qres, tres;
    if (!(words >> pos >> dist >> k >> g >> seg >> qres >> tres)) continue;
    if (qres == "-" || tres == "-") continue;  // a gap column
    auto key = [](const std::string& res) {
      const size_t a = res.find(':'), b = res.rfind(':');
      std::string chain = res.substr(0, a);
      if (chain.empty()) chain = "_";
      return chain + ":" + res.substr(a + 1, b - a - 1);
    };
    const auto qa = q.find(key(qres)), ta = t.find(key(tres));
    if (qa == q.end() || ta == t.end()) return PairCheck{};
    for (int d = 0; d < 3; d++) sum += std::pow(qa->second[d] - ta->second[d], 2);
    c.pairs++;
  }
  if (c.pairs > 0) c.recomputed = std::sqrt(sum / c.pairs);
  return c;
}

// Every hit of the query's folder (its ".kpairs" files).
std::vector<std::string> hitStems(const std::string& folder) {
  std::vector<std::string> stems;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().extension() == ".kpairs") stems.push_back(e.path().stem().string());
  return stems;
}

std::map<std::string, std::string> folderTexts(const std::string& folder) {
  std::map<std::string, std::string> texts;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string ext = e.path().extension().string();
    if (!e.is_regular_file() || ext == ".log" || ext == ".ktime" || ext == ".kwritten" ||
        e.path().filename() == ZAM_WRITTEN_RECORD)
      continue;
    // Dates and times vary from run to run.
    std::istringstream in(read_file(e.path().string()));
    std::string text;
    for (std::string line; std::getline(in, line);)
      if (!has(line, "REMARK  File written by") && !has(line, " seconds")) text += line + "\n";
    texts[fs::relative(e.path(), folder).string()] = text;
  }
  return texts;
}

class Spf : public ::testing::Test {
 protected:
  void SetUp() override { TREL_REQUIRE_SHARED_DATA(); }

  // Runs the tool and checks every hit's pairs; returns the result files.
  std::map<std::string, std::string> search(const std::vector<std::string>& args, const std::string& query,
                                            int want_hits, const char* cpus) {
    TempDir dir;
    const Outcome r = testutil::run_trel(dir.str(), args, {std::string("TREL_CPUS=") + cpus});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "Superposing " + query + " + ")) << r.out;
    const std::string folder = dir.file("trel_results/" + query);
    const std::vector<std::string> stems = hitStems(folder);
    EXPECT_EQ((int)stems.size(), want_hits) << r.out;
    // Every file of the query's but its tables, the descriptor exports too,
    // is in its record, so that a rerun that no longer shows its hit removes it.
    const std::string record = read_file(folder + "/" + query + ".kwritten");
    for (const auto& e : fs::directory_iterator(folder)) {
      const std::string name = e.path().filename().string();
      EXPECT_TRUE(name.rfind(query + ".", 0) == 0 || has(record, " " + name + "\n")) << name;
    }
    for (const std::string& stem : stems) {
      const PairCheck c = checkPairs(folder, stem, query);
      EXPECT_GT(c.pairs, 10) << stem;
      EXPECT_NEAR(c.recomputed, c.reported, 0.006) << stem;
      EXPECT_LT(c.reported, 3.0) << stem;
    }
    return folderTexts(dir.file("trel_results"));
  }
};

TEST_F(Spf, RotationalSearchOfZincFingersThreadedEqualsSerial) {
  const std::vector<std::string> args = {"-q0",           "-nmax=10",      finger("1sp1"), finger("1sp2"),
                                         finger("1zaa1"), finger("3znf"),  finger("1ard")};
  const auto serial = search(args, "1sp1", 4, "1");
  const auto threaded = search(args, "1sp1", 4, "3");
  ASSERT_EQ(serial.size(), threaded.size());
  for (const auto& [name, text] : serial) {
    ASSERT_TRUE(threaded.count(name)) << name;
    EXPECT_EQ(text, threaded.at(name)) << name;
  }
}

TEST_F(Spf, CytochromesSuperposeBySpf) {
  const std::vector<std::string> files = {cytochrome("d1cih__"), cytochrome("d1crj__"), cytochrome("d1csu__"),
                                          cytochrome("d1yeb__"), cytochrome("d2pcbb_")};
  std::vector<std::string> q3 = {"-q3", "-spf", "-nmax=10", "-top=3", "-show=3"};
  q3.insert(q3.end(), files.begin(), files.end());
  search(q3, "d1cih__~pdb", 3, "3");
  std::vector<std::string> q0 = {"-q0", "-nmax=10"};
  q0.insert(q0.end(), files.begin(), files.end());
  search(q0, "d1cih__~pdb", 4, "2");
}

// A cache whose files are all spoiled gives the hit table of a clean one.
// Values damaged under a sound record: each file is made again with one
// warning, on the terminal and in the log alike, the search threads' too.
// Random bytes of each file's size (another program's files): each is kept,
// named in the log, and the run ends with one warning that counts them.
TEST_F(Spf, DamagedTranslationCacheGivesTheCleanTable) {
  TempDir cache, clean, damaged, foreign;
  const std::vector<std::string> args = {"-q1", "-nmax=10", finger("1ard"), cytochrome("d1kyow_"),
                                         cytochrome("d1m60a_"), finger("1sp1")};
  const std::vector<std::string> env = {"TREL_CPUS=4", "ZAM_CACHE=" + cache.str()};
  ASSERT_EQ(testutil::run_trel(clean.str(), args, env).status, 0);
  const std::string table = "trel_results/1ard/1ard.ktops";
  EXPECT_TRUE(has(read_file(clean.file(table)), "d1kyow_~pdb"));
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(cache.path)) files.push_back(e.path().string());
  ASSERT_GT(files.size(), 4u);
  const int n = static_cast<int>(files.size());

  for (const std::string& f : files) {
    std::string bytes = read_file(f);
    bytes[0] ^= 1;
    testutil::write_file(f, bytes);
  }
  Outcome r = testutil::run_trel(damaged.str(), args, env);
  EXPECT_EQ(r.status, 0) << r.out;
  std::string log = read_file(damaged.file("trel_results/trel.log"));
  for (const std::string& text : {r.out, log})
    EXPECT_EQ(testutil::occurrences(text, "does not match its checksum; made again"), n) << text;
  EXPECT_EQ(read_file(damaged.file(table)), read_file(clean.file(table)));

  std::mt19937 random(42);
  for (const std::string& f : files) {
    std::string bytes = read_file(f);
    for (char& c : bytes) c = static_cast<char>(random());
    testutil::write_file(f, bytes);
  }
  r = testutil::run_trel(foreign.str(), args, env);
  EXPECT_EQ(r.status, 0) << r.out;
  log = read_file(foreign.file("trel_results/trel.log"));
  const std::string kept = "*Warning* Translation-matrix cache files kept: " + std::to_string(n) + " hold no record";
  for (const std::string& text : {r.out, log}) {
    EXPECT_EQ(testutil::occurrences(text, "Translation-matrix cache file"), 1) << text;
    EXPECT_EQ(testutil::occurrences(text, kept), 1) << text;
  }
  for (const std::string& f : files) EXPECT_TRUE(has(log, f + "\n")) << f;
  EXPECT_EQ(read_file(foreign.file(table)), read_file(clean.file(table)));
}

// A pipe standing at a matrix cache name is never opened for reading, so the
// run does not wait on it (a run bounded here by a time-out); it is left as
// it is and named, and the table is the clean cache's.
TEST_F(Spf, PipeAtACacheNameIsLeftAlone) {
  TempDir cache, clean, piped;
  const std::vector<std::string> args = {"-q1", finger("1ard"), finger("1sp1"), finger("1zaa1"), finger("1znf")};
  const std::vector<std::string> env = {"TREL_CPUS=4", "ZAM_CACHE=" + cache.str(), "PATH=/usr/bin:/bin"};
  ASSERT_EQ(testutil::run_trel(clean.str(), args, env).status, 0);
  const std::string pipe = cache.file("zam_dh_2p40.dat");
  ASSERT_TRUE(fs::remove(pipe));
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  std::vector<std::string> bounded = {"240", TREL_BINARY};
  bounded.insert(bounded.end(), args.begin(), args.end());
  const Outcome r = testutil::run_program("/usr/bin/timeout", piped.str(), bounded, env);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(fs::is_fifo(pipe));
  EXPECT_TRUE(has(r.out, "*Warning* Translation-matrix cache file " + pipe + " holds no record")) << r.out;
  const std::string table = "trel_results/1ard/1ard.ktops";
  EXPECT_EQ(read_file(piped.file(table)), read_file(clean.file(table)));
}

}  // namespace
