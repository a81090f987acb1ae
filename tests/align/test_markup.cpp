// Structure-level markup, anchor fits between two images of one structure,
// residue masks from pairwise and multiple alignments.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_markup.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb.h"

namespace {

_pdb_image* ubiquitin() {
  return zam_readPdb(testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb").c_str(), nullptr);
}

// Alignment from a pattern: 'P' pair, 'Q' query only, 'T' target only.
_trel_align* make_align(const std::string& pattern) {
  auto* a = static_cast<_trel_align*>(kget1B_0(sizeof(_trel_align)));
  const int nc = (int)pattern.size();
  a->columns = static_cast<_trel_a_column*>(kget1B_0((int64_t)(nc + 1) * sizeof(_trel_a_column)));
  a->ncolumns = nc;
  a->tf = tf_identity();
  int q = 0, t = 0;
  for (int c = 0; c < nc; c++) {
    a->columns[c].qres = pattern[c] == 'T' ? -1 : q++;
    a->columns[c].tres = pattern[c] == 'Q' ? -1 : t++;
    a->columns[c].mark = pattern[c] == 'P' ? '*' : ' ';
  }
  return a;
}

Matrix3D motion() { return tf_tftf(tf_euler(e_make(0.4, 1.1, -0.6)), tf_translate(pt_make(12, -7, 3))); }

std::vector<int> masks(const _pdb_image* image, int count) {
  std::vector<int> v;
  for (int i = 0; i < count; i++) v.push_back(image->residues[i].masked);
  return v;
}

}  // namespace

TEST(Markup, ImagesOfOneStructureScoreAsIdentical) {
  _pdb_image* q = ubiquitin();
  ASSERT_NE(q, nullptr);
  const int n = q->nres;
  ASSERT_GE(n, 70);
  _pdb_image* t = zam_copyPdb(q);
  zam_movePdb(t, motion());
  _trel_align* a = make_align(std::string(n, 'P'));
  a->tf = tf_inverse(motion());
  a->nanchor = 17;  // left as it is
  trel_markupAlignPdb(a, q, t, 7.0f);
  EXPECT_EQ(a->naligned, n);
  EXPECT_EQ(a->nmatched, n);
  EXPECT_EQ(a->nidentity, n);
  EXPECT_EQ(a->nid_matched, n);
  EXPECT_EQ(a->nanchor, 17);
  EXPECT_EQ(a->ncover, n);
  EXPECT_NEAR(a->rmsd_aligned, 0.0, 1e-4);
  EXPECT_NEAR(a->rmsd_matched, 0.0, 1e-4);
  EXPECT_NEAR(a->tscore, 1.0, 1e-4);
  EXPECT_NEAR(a->gscore, n, 1e-2);
  EXPECT_FLOAT_EQ(a->contact, 7.0f);
  for (int c = 0; c < n; c++) EXPECT_EQ(a->columns[c].mark, '@');
  trel_freeAlign(a);

  // A shifted pairing: far pairs, gaps at the ends; gap columns get -1.
  a = make_align("T" + std::string(n - 1, 'P') + "Q");
  a->tf = tf_inverse(motion());
  trel_markupAlignPdb(a, q, t, 7.0f);
  EXPECT_EQ(a->naligned, n - 1);
  EXPECT_FLOAT_EQ(a->columns[0].d2, -1.0f);
  EXPECT_FLOAT_EQ(a->columns[n].d2, -1.0f);
  EXPECT_EQ(a->ncover, n - 1);
  // Neighbouring CA atoms are 3.8 A apart: every shifted pair is close at 7 A
  // and far at 3 A.
  EXPECT_NEAR(a->max_dist, 3.8, 0.3);
  trel_markupAlignPdb(a, q, t, 3.0f);
  EXPECT_EQ(a->nmatched, 0);
  EXPECT_EQ(a->nid_unmatched + a->nother_unmatched, n - 1);
  EXPECT_FLOAT_EQ(a->rmsd_matched, 0.0f);
  for (int c = 1; c < n; c++) EXPECT_TRUE(a->columns[c].mark == '#' || a->columns[c].mark == '$');
  trel_freeAlign(a);

  // No pair: scores 0, no maximum distance, span 1.
  a = make_align("QQTT");
  trel_markupAlignPdb(a, q, t, 7.0f);
  EXPECT_EQ(a->naligned, 0);
  EXPECT_FLOAT_EQ(a->max_dist, -1.0f);
  EXPECT_FLOAT_EQ(a->tscore, 0.0f);
  EXPECT_EQ(a->ncover, 1);
  trel_freeAlign(a);
  zam_freePdb(t);
  zam_freePdb(q);
}

TEST(Markup, AnchorFitUsesFiveAnchorsAloneAndAllPairsBelowThat) {
  _pdb_image* fresh = ubiquitin();
  ASSERT_NE(fresh, nullptr);
  const int n = fresh->nres;
  _pdb_image* moved = zam_copyPdb(fresh);
  const Matrix3D T1 = motion();
  const Matrix3D T2 = tf_tftf(tf_rotx(1.3), tf_translate(pt_make(-4, 9, 20)));
  for (int i = 0; i < n; i++) zam_movePdbResidue(moved, i, i < 10 ? T1 : T2);
  _trel_align* a = make_align(std::string(n, 'P'));
  for (int c = 0; c < 5; c++) a->columns[c].seg = 1;
  Matrix3D M = trel_fitAnchorTarget(a, moved, fresh);
  for (int i = 0; i < 10; i++) {
    const Point3D p = pt_tfpt(M, zam_ptPdbResidue(fresh, i));
    EXPECT_NEAR(d_ptpt(p, zam_ptPdbResidue(moved, i)), 0.0, 1e-5);
  }
  Matrix3D Mq = trel_fitAnchorQuery(a, moved, fresh);
  for (int k = 0; k < 12; k++) EXPECT_NEAR(Mq.m[k], M.m[k], 1e-9);

  a->columns[4].seg = 0;  // four anchors: every pair counts, so T1 is not found
  M = trel_fitAnchorTarget(a, moved, fresh);
  const Point3D p = pt_tfpt(M, zam_ptPdbResidue(fresh, 0));
  EXPECT_GT(d_ptpt(p, zam_ptPdbResidue(moved, 0)), 1.0);
  const Point3D r = pt_tfpt(M, zam_ptPdbResidue(fresh, 50));
  EXPECT_LT(d_ptpt(r, zam_ptPdbResidue(moved, 50)), d_ptpt(p, zam_ptPdbResidue(moved, 0)));
  trel_freeAlign(a);

  const Matrix3D I = trel_fitAnchorTarget(nullptr, moved, fresh);
  EXPECT_DOUBLE_EQ(I.m[0], 1.0);
  EXPECT_DOUBLE_EQ(I.m[3], 0.0);
  zam_freePdb(moved);
  zam_freePdb(fresh);
}

TEST(Markup, AlignMasksByMode) {
  _pdb_image* q = ubiquitin();
  ASSERT_NE(q, nullptr);
  _pdb_image* t = zam_copyPdb(q);
  // Query residues 0..5, target residues 0..5: Q P P T P Q T ...
  _trel_align* a = make_align("QPPTPQT");
  // query: 0 Q, 1-2 P, 3 P, 4 Q -> pairs q1-t0, q2-t1, q3-t3; target-only t2, t4.
  zam_maskPdb(q, 7);
  zam_maskPdb(t, 7);
  trel_pdbAlignMask(a, 1, q, t);
  EXPECT_EQ(masks(q, 6), (std::vector<int>{1, 0, 0, 0, 1, 7}));
  EXPECT_EQ(masks(t, 6), (std::vector<int>{0, 0, 1, 0, 1, 7}));
  trel_pdbAlignMask(a, -1, q, t);
  EXPECT_EQ(masks(q, 6), (std::vector<int>{0, 1, 1, 1, 0, 7}));
  EXPECT_EQ(masks(t, 6), (std::vector<int>{1, 1, 0, 1, 0, 7}));
  trel_pdbAlignMask(a, 5, q, t);  // other modes change nothing
  EXPECT_EQ(masks(q, 6), (std::vector<int>{0, 1, 1, 1, 0, 7}));
  trel_pdbAlignMask(a, 0, q, t);
  EXPECT_EQ(masks(q, 6), (std::vector<int>{0, 0, 0, 0, 0, 7}));
  EXPECT_EQ(masks(t, 6), (std::vector<int>{0, 0, 0, 0, 0, 7}));

  // A null query image: only the target side is set.
  zam_maskPdb(q, 7);
  zam_maskPdb(t, 7);
  trel_pdbAlignMask(a, 1, nullptr, t);
  EXPECT_EQ(masks(q, 6), (std::vector<int>(6, 7)));
  EXPECT_EQ(masks(t, 6), (std::vector<int>{0, 0, 1, 0, 1, 7}));

  // Residue indices beyond the image are ignored rather than written.
  a->columns[0].qres = q->nres + 100;
  trel_pdbAlignMask(a, 1, q, t);
  trel_freeAlign(a);
  zam_freePdb(t);
  zam_freePdb(q);
}

TEST(Markup, ProfileMasksByMode) {
  _pdb_image* image = ubiquitin();
  ASSERT_NE(image, nullptr);
  // Four columns, three members; member 1 holds residues 0..3.
  const int table[] = {
      5, 0, -1,   // aligned with member 0
      -1, 1, -1,  // only member 1: not aligned
      -1, 2, 4,   // aligned with member 2
      -1, 3, -1,  // not aligned
  };
  zam_maskPdb(image, 7);
  trel_pdbProfileMask(1, 3, 4, 1, table, image);
  EXPECT_EQ(masks(image, 5), (std::vector<int>{0, 1, 0, 1, 7}));
  trel_pdbProfileMask(1, 3, 4, -1, table, image);
  EXPECT_EQ(masks(image, 5), (std::vector<int>{1, 0, 1, 0, 7}));
  trel_pdbProfileMask(1, 3, 4, 2, table, image);
  EXPECT_EQ(masks(image, 5), (std::vector<int>{1, 0, 1, 0, 7}));
  trel_pdbProfileMask(1, 3, 4, 0, table, image);
  EXPECT_EQ(masks(image, 5), (std::vector<int>{0, 0, 0, 0, 7}));
  trel_pdbProfileMask(3, 3, 4, 1, table, image);  // no such member: nothing
  EXPECT_EQ(masks(image, 5), (std::vector<int>{0, 0, 0, 0, 7}));
  zam_freePdb(image);
}

TEST(Markup, FitAlignOfTwoImagesAndRmsd) {
  _pdb_image* q = ubiquitin();
  ASSERT_NE(q, nullptr);
  _pdb_image* t = zam_copyPdb(q);
  zam_movePdb(t, motion());
  const int64_t before = zam_vm_total();
  _trel_align* a = trel_pdbFitAlign(q, t, tf_identity());
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->naligned, q->nres);
  EXPECT_NEAR(a->rmsd_aligned, 0.0, 1e-3);
  EXPECT_NEAR(a->tscore, 1.0, 1e-3);
  const float rmsd = trel_pdbRmsdAlign(q, t, a->tf, a);
  EXPECT_NEAR(rmsd, 0.0, 1e-3);
  EXPECT_FLOAT_EQ(trel_pdbRmsdAlign(q, t, tf_translate(pt_make(100, 0, 0)), a), 99.99f);
  trel_freeAlign(a);
  EXPECT_EQ(zam_vm_total(), before);
  EXPECT_EQ(trel_pdbFitAlign(nullptr, t, tf_identity()), nullptr);
  zam_freePdb(t);
  zam_freePdb(q);
}

// A pair at exactly the contact distance is close; one a little beyond is far.
TEST(Markup, PairAtTheContactDistanceIsClose) {
  TREL_REQUIRE_SHARED_DATA();
  _pdb_image* q = ubiquitin();
  ASSERT_NE(q, nullptr);
  _pdb_image* t = zam_copyPdb(q);
  // Residue 0's CA at the origin in the query and 7 A along x in the target.
  const Point3D c = zam_ptPdbResidue(q, 0);
  zam_movePdb(q, tf_translate(pt_make(-c.x, -c.y, -c.z)));
  zam_movePdb(t, tf_translate(pt_make(-c.x, -c.y, -c.z)));
  zam_movePdb(t, tf_translate(pt_make(7, 0, 0)));
  _trel_align* a = make_align("P");
  trel_markupAlignPdb(a, q, t, 7.0f);
  EXPECT_EQ(a->nmatched, 1);
  EXPECT_EQ(a->columns[0].mark, '@');
  zam_movePdb(t, tf_translate(pt_make(0.001, 0, 0)));
  trel_markupAlignPdb(a, q, t, 7.0f);
  EXPECT_EQ(a->nmatched, 0);
  EXPECT_EQ(a->columns[0].mark, '#');
  trel_freeAlign(a);
  zam_freePdb(q);
  zam_freePdb(t);
}
