// Opening target lists on worker threads: the same objects and the same
// messages in the same order as a serial open, and lean objects whose images
// are freed and read again with exactly the coordinates they were built with
// (plain and compressed sources, with and without the cache's rounding).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "common/things.h"
#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

using testutil::shared_pdb;
using testutil::TempDir;

// The fingers, a gzipped file, a missing one and one more finger.
std::vector<std::string> sources() {
  std::vector<std::string> p = testutil::finger_sources();
  p.push_back(shared_pdb("python-biopython-doc/1A8O.pdb.gz"));
  p.push_back(shared_pdb("tm-align/5eep.pdb.gz"));
  p.push_back("/nonexistent/none.pdb");
  p.push_back(shared_pdb("mustang-testdata/5znf.pdb"));
  return p;
}

struct Opened {
  std::vector<_trel_thing*> things;
  std::vector<std::string> messages;
  ~Opened() {
    for (_trel_thing* t : things) trel_closeThing(nullptr, t);
  }
};

void open(Opened& o, const std::vector<std::string>& paths, int threads, int lean,
          const char* cache, int save) {
  std::vector<const char*> names;
  for (const auto& p : paths) names.push_back(p.c_str());
  o.things.assign(paths.size(), nullptr);
  _trel_thing_opts opts;
  opts.threads = threads;
  opts.lean = lean;
  const int pots[5] = {1, 1, 1, 1, 1};
  {
    testutil::LineCapture shown;
    EXPECT_EQ(trel_openThings((int)paths.size(), o.things.data(), pots, 1, 1 << 30, 0, names.data(),
                              cache, 1, save, &opts),
              1);
    o.messages = shown.lines;
  }
}

// Atom and hetero-atom coordinates bit for bit, the residue letters and,
// for images read from their source, the import move (an image file of the
// cache holds the moved coordinates and no move).
void expectSameImage(const _pdb_image* a, const _pdb_image* b, const std::string& what,
                     bool same_move = true) {
  ASSERT_TRUE(a && b) << what;
  ASSERT_EQ(a->natoms, b->natoms) << what;
  ASSERT_EQ(a->nhetatms, b->nhetatms) << what;
  ASSERT_EQ(a->nres, b->nres) << what;
  for (int i = 0; i < a->natoms; i++) {
    EXPECT_EQ(0, memcmp(&a->atoms[i].x, &b->atoms[i].x, sizeof(double))) << what << " atom " << i;
    EXPECT_EQ(0, memcmp(&a->atoms[i].y, &b->atoms[i].y, sizeof(double))) << what << " atom " << i;
    EXPECT_EQ(0, memcmp(&a->atoms[i].z, &b->atoms[i].z, sizeof(double))) << what << " atom " << i;
  }
  for (int i = 0; i < a->nhetatms; i++) {
    EXPECT_EQ(a->hetatms[i].x, b->hetatms[i].x) << what;
  }
  for (int i = 0; i < a->nres; i++) EXPECT_EQ(a->residues[i].sse[0], b->residues[i].sse[0]) << what;
  if (same_move) {
    EXPECT_EQ(0, memcmp(&a->tf, &b->tf, sizeof a->tf)) << what;
  }
}

void expectSameObjects(const Opened& serial, const Opened& threaded) {
  ASSERT_EQ(serial.things.size(), threaded.things.size());
  for (size_t i = 0; i < serial.things.size(); i++) {
    _trel_thing* s = serial.things[i];
    _trel_thing* t = threaded.things[i];
    ASSERT_TRUE(s && t);
    EXPECT_STREQ(s->name, t->name);
    EXPECT_EQ(0, memcmp(s->tag, t->tag, sizeof(_trel_tag))) << s->name;
    ASSERT_EQ(s->trace.n, t->trace.n) << s->name;
    if (s->trace.n > 0) {
      EXPECT_EQ(0, memcmp(s->trace.seg, t->trace.seg, sizeof(_trel_seg) * s->trace.n)) << s->name;
    }
    if (s->tag->valid != 1) continue;
    EXPECT_EQ(t->image, nullptr) << "a lean object keeps no image: " << s->name;
    expectSameImage(trel_imageThing(s), trel_imageThing(t), s->name);
  }
}

TEST(ParallelLoad, ThreadedLeanOpenMatchesSerialOpen) {
  TREL_REQUIRE_SHARED_DATA();
  zam_thread_setup(4);
  const auto paths = sources();
  Opened serial, threaded;
  open(serial, paths, 1, 0, "./", 0);
  open(threaded, paths, 4, 1, "./", 0);
  EXPECT_EQ(serial.messages, threaded.messages);
  bool refused = false;
  for (const auto& m : threaded.messages) refused |= m.find("none.pdb") != std::string::npos;
  EXPECT_TRUE(refused) << "the missing file is reported";
  expectSameObjects(serial, threaded);
  // Released again and read once more: still the same.
  _trel_thing* gz = threaded.things[10];
  ASSERT_EQ(trel_releaseThingImage(gz), 1);
  expectSameImage(trel_imageThing(serial.things[10]), trel_imageThing(gz), "1A8O again");
}

TEST(ParallelLoad, LeanCachedObjectsAreWrittenAndReloadRounded) {
  TREL_REQUIRE_SHARED_DATA();
  zam_thread_setup(4);
  const auto paths = sources();
  TempDir kept, lean;
  Opened serial, threaded;
  open(serial, paths, 1, 0, kept.str().c_str(), 1);
  open(threaded, paths, 4, 1, lean.str().c_str(), 1);
  EXPECT_EQ(serial.messages, threaded.messages);
  for (size_t i = 0; i < paths.size(); i++) {
    _trel_thing* t = threaded.things[i];
    if (t->tag->valid != 1) continue;
    EXPECT_EQ(t->dirty, 0) << "written at once: " << t->name;
    EXPECT_TRUE(std::filesystem::exists(lean.file(std::string(t->name) + ".trq"))) << t->name;
  }
  expectSameObjects(serial, threaded);
  // A later run reads the same image back from the cache files.
  Opened again;
  open(again, paths, 4, 1, lean.str().c_str(), 1);
  for (size_t i = 0; i < paths.size(); i++) {
    if (serial.things[i]->tag->valid != 1) continue;
    expectSameImage(trel_imageThing(serial.things[i]), trel_imageThing(again.things[i]),
                    std::string("cached ") + serial.things[i]->name, false);
  }
}

}  // namespace
