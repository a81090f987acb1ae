// Opening a list of cached trace objects on worker threads: the workers read
// the trace records too, with the same objects and messages as a serial
// open, the residue window respected, and a damaged trace file reported once
// and in the same words as by the serial open, and rebuilt.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "common/things.h"
#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"

namespace {

using testutil::finger_sources;
using testutil::shared_pdb;
using testutil::TempDir;

struct Opened {
  std::vector<_trel_thing*> things;
  std::vector<std::string> messages;
  int result = -1;
  ~Opened() {
    for (_trel_thing* t : things) trel_closeThing(nullptr, t);
  }
};

void open(Opened& o, const std::vector<std::string>& paths, int threads, const char* cache,
          int min, int max) {
  std::vector<const char*> names;
  for (const auto& p : paths) names.push_back(p.c_str());
  o.things.assign(paths.size(), nullptr);
  _trel_thing_opts opts;
  opts.threads = threads;
  opts.lean = 1;
  const int pots[5] = {1, 1, 1, 1, 1};
  {
    testutil::LineCapture shown;
    o.result = trel_openThings((int)paths.size(), o.things.data(), pots, min, max, 0, names.data(),
                               cache, 1, 1, &opts);
    o.messages = shown.lines;
  }
}

// Opens the list serially and on four threads: both give `result` and the
// same messages.
void openBoth(Opened& serial, Opened& threaded, const std::vector<std::string>& paths, const char* cache,
              int min, int max, int result) {
  open(serial, paths, 1, cache, min, max);
  open(threaded, paths, 4, cache, min, max);
  EXPECT_EQ(serial.result, result);
  EXPECT_EQ(threaded.result, result);
  EXPECT_EQ(serial.messages, threaded.messages);
}

TEST(ParallelCache, WorkersReadTheTracesOfCachedObjects) {
  TREL_REQUIRE_SHARED_DATA();
  zam_thread_setup(4);
  const auto paths = finger_sources();
  TempDir cache;
  {
    Opened fill;
    open(fill, paths, 4, cache.str().c_str(), 1, 1 << 30);
    ASSERT_EQ(fill.result, 1);
  }
  // 1ubq has 76 residues: a window of 30..70 leaves it (and others) out.
  for (const auto& [lo, hi] : {std::pair{1, 1 << 30}, std::pair{30, 70}}) {
    Opened serial, threaded;
    openBoth(serial, threaded, paths, cache.str().c_str(), lo, hi, 1);
    ASSERT_EQ(serial.result + threaded.result, 2);
    int outside = 0;
    for (size_t i = 0; i < paths.size(); i++) {
      _trel_thing* s = serial.things[i];
      _trel_thing* t = threaded.things[i];
      ASSERT_EQ(s->tag->valid, 1) << s->name;
      EXPECT_EQ(s->cached, 1) << s->name;
      const int n = s->tag->n_residues;
      const bool inside = n >= lo && n <= hi;
      outside += inside ? 0 : 1;
      EXPECT_EQ(t->trace.seg != nullptr, inside) << t->name;
      ASSERT_EQ(s->trace.n, t->trace.n) << s->name;
      if (s->trace.seg && t->trace.seg) {
        EXPECT_EQ(0, memcmp(s->trace.seg, t->trace.seg, sizeof(_trel_seg) * n)) << s->name;
      }
    }
    if (lo > 1) {
      EXPECT_GT(outside, 0);
    }
  }
}

TEST(ParallelCache, ShortTraceFileIsReportedOnceAsSeriallyAndRebuilt) {
  TREL_REQUIRE_SHARED_DATA();
  zam_thread_setup(4);
  const auto paths = finger_sources();
  TempDir cache;
  {
    Opened fill;
    open(fill, paths, 4, cache.str().c_str(), 1, 1 << 30);
    ASSERT_EQ(fill.result, 1);
  }
  const std::string trc = cache.file("1paa.trc");
  ASSERT_TRUE(std::filesystem::exists(trc));
  const auto cut = std::filesystem::file_size(trc) / 2;
  // Each open rebuilds the object and writes its files anew: cut again.
  Opened serial, threaded;
  std::filesystem::resize_file(trc, cut);
  open(serial, paths, 1, cache.str().c_str(), 1, 1 << 30);
  std::filesystem::resize_file(trc, cut);
  open(threaded, paths, 4, cache.str().c_str(), 1, 1 << 30);
  EXPECT_EQ(serial.result + threaded.result, 2);
  EXPECT_EQ(serial.messages, threaded.messages);
  int failures = 0;
  for (const auto& m : threaded.messages) failures += m.find(trc) != std::string::npos ? 1 : 0;
  EXPECT_EQ(failures, 1);
  for (const Opened* o : {&serial, &threaded})
    for (const _trel_thing* t : o->things) EXPECT_EQ(t->trace.n, t->tag->n_residues) << t->name;
}

// Two different files of one name ("a/1sp1.pdb", and ubiquitin copied to
// "b/1sp1.pdb") would share one set of cache files: the later one is named
// apart, read from its own file, not cached, and named in a warning, alike
// on one thread and on four and in the first run and the next. The same file
// given twice is a second input: it is named apart too.
TEST(ParallelCache, DifferentFilesOfOneNameAreNotServedEachOthersCache) {
  TREL_REQUIRE_SHARED_DATA();
  zam_thread_setup(4);
  TempDir dir, cache;
  namespace fs = std::filesystem;
  fs::create_directories(dir.path / "a");
  fs::create_directories(dir.path / "b");
  fs::copy_file(shared_pdb("mustang-testdata/1sp1.pdb"), dir.path / "a/1sp1.pdb");
  fs::copy_file(shared_pdb("freesasa/1ubq.pdb"), dir.path / "b/1sp1.pdb");
  std::vector<std::string> paths = finger_sources();
  paths.insert(paths.begin() + 2, dir.file("a/1sp1.pdb"));
  paths.push_back(dir.file("b/1sp1.pdb"));
  paths.push_back(dir.file("a/1sp1.pdb"));
  const size_t a = 2, b = paths.size() - 2, again = paths.size() - 1;
  const std::string warning = "*Warning* " + paths[b] + " has the name 1sp1 of " + paths[a] +
                              ": it is named 1sp1_2, read from its own file and not cached.\n";
  const int na = 29, nb = 76;  // zinc finger 1sp1 and ubiquitin under its name
  for (int run = 0; run < 2; run++) {
    Opened serial, threaded;
    openBoth(serial, threaded, paths, cache.str().c_str(), 1, 1 << 30, 1);
    ASSERT_EQ(serial.result + threaded.result, 2);
    EXPECT_EQ(std::count(threaded.messages.begin(), threaded.messages.end(), warning), 1) << run;
    for (Opened* o : {&serial, &threaded}) {
      EXPECT_EQ(o->things[a]->tag->n_residues, na);
      EXPECT_EQ(o->things[again]->tag->n_residues, na);
      EXPECT_EQ(o->things[b]->tag->n_residues, nb);
      EXPECT_EQ(o->things[b]->cached, 0);
      EXPECT_STREQ(o->things[a]->name, "1sp1");
      EXPECT_STREQ(o->things[b]->name, "1sp1_2");
      EXPECT_STREQ(o->things[again]->name, "1sp1_3");
      EXPECT_EQ(o->things[b]->trace.n, o->things[b]->tag->n_residues);
    }
    EXPECT_FALSE(fs::exists(dir.file("b/1sp1.trq")));
  }
}

}  // namespace
