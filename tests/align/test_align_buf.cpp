// Alignment records and work buffers: sizing, capacity of every array (each
// filled to its full documented size under the allocator's guard words),
// refusal of longer chains, and copy/release of alignments without leaks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/log_capture.h"
#include "align/trel_align.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_vm.h"

namespace {

// Messages shown while a Messages lives, in g_out (log_capture.h).
using Messages = testutil::Messages;
std::string& g_out = testutil::Messages::said();

bool all_zero(const void* p, size_t bytes) {
  const unsigned char* c = static_cast<const unsigned char*>(p);
  for (size_t k = 0; k < bytes; k++)
    if (c[k]) return false;
  return true;
}

// Writes every element of every array of a buffer made for n and m, then has
// the allocator check each block's guard words.
void fill_and_check(_trel_align_buf* b, int n, int m) {
  const int64_t P = (int64_t)(n + 2) * (m + 2), L = n + m + 4, X = std::max(n, m) + 2;
  for (int64_t k = 0; k < 3 * X; k++) {
    b->qpts[k] = Point3D{1, 2, 3};
    b->tpts[k] = Point3D{4, 5, 6};
    b->wts[k] = 1.0;
  }
  memset(b->columns, 1, L * sizeof(_trel_a_column));
  memset(b->frags, 1, L * sizeof(_trel_a_frag));
  memset(b->stack, 1, L * sizeof(_trel_a_stack));
  for (float* plane : {b->kplane, b->gplane, b->kfactor, b->gfactor, b->dplane})
    for (int64_t k = 0; k < P; k++) plane[k] = 1.0f;
  for (float* rows : {b->hplane, b->eplane, b->fplane})
    for (int64_t k = 0; k < 2 * (m + 2); k++) rows[k] = 1.0f;
  memset(b->mask1, 1, P);
  memset(b->mask2, 1, P);
  memset(b->dir, 1, P);
  for (int64_t k = 0; k < P; k++) b->iplane[k] = 1;
  for (int k = 0; k < n + 2; k++) b->qopen[k] = 1.0f, b->qsegs[k] = 1;
  for (int k = 0; k < m + 2; k++) b->topen[k] = 1.0f, b->tsegs[k] = 1;
  for (int64_t k = 0; k < L; k++) {
    b->zero[k] = 0.0f;
    b->d2_all[k] = b->d2_close[k] = b->d2_anchor[k] = 1.0;
    b->path[k] = 1;
  }
  const void* blocks[] = {b->qpts,   b->tpts,   b->wts,    b->columns, b->frags,  b->stack,
                          b->kplane, b->gplane, b->kfactor, b->gfactor, b->mask1, b->mask2,
                          b->dplane, b->iplane, b->dir,    b->hplane,  b->eplane, b->fplane,
                          b->qopen,  b->topen,  b->zero,   b->d2_all,  b->d2_close,
                          b->d2_anchor, b->path, b->qsegs, b->tsegs};
  for (const void* p : blocks) EXPECT_EQ(zam_vm_check(p, "buffer test"), 1);
}

_trel_align* make_align(int ncolumns, int nfrags, bool with_frags, int room) {
  auto* a = static_cast<_trel_align*>(kget1B_0(sizeof(_trel_align)));
  a->ncolumns = ncolumns;
  a->nfrags = nfrags;
  a->naligned = 7;
  a->nid_unmatched = 3;
  a->spare[1] = 42;
  a->kscore = 1.5f;
  a->jscore = 2.5f;
  a->spare_f = 9.0f;
  a->max_dist = -1.0f;
  a->tf = tf_rotz(0.3);
  a->columns = static_cast<_trel_a_column*>(kget1B_0(room * sizeof(_trel_a_column)));
  for (int c = 0; c < ncolumns; c++)
    a->columns[c] = _trel_a_column{c, c % 3 ? c : -1, 1, 0, 0.5f, 0.25f, 0.125f, 4.0f, '*'};
  if (with_frags) {
    a->frags = static_cast<_trel_a_frag*>(kget1B_0(room * sizeof(_trel_a_frag)));
    for (int f = 0; f <= nfrags; f++) {
      a->frags[f].first = f;
      a->frags[f].last = f + 1;
      a->frags[f].kind = 2;
      a->frags[f].tf = tf_identity();
    }
  }
  return a;
}

}  // namespace

TEST(AlignBuf, ThreadCountBelowOneMakesOneBuffer) {
  const int64_t before = zam_vm_total();
  for (int threads : {0, -4}) {
    _trel_align_buf** bufs = trel_allocAlignBuf(threads, 5, 6);
    ASSERT_NE(bufs, nullptr);
    ASSERT_NE(bufs[0], nullptr);
    EXPECT_EQ(zam_vm_get_size(bufs), 8);  // one pointer
    trel_freeAlignBuf(threads, bufs);
  }
  trel_freeAlignBuf(3, nullptr);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(AlignBuf, SizesAndZeroFilledArrays) {
  const int64_t before = zam_vm_total();
  _trel_align_buf** bufs = trel_allocAlignBuf(3, 10, 20);
  for (int t = 0; t < 3; t++) {
    _trel_align_buf* b = bufs[t];
    EXPECT_EQ(b->nmax, 10);
    EXPECT_EQ(b->mmax, 20);
    EXPECT_EQ(b->cells, 12 * 22);
    EXPECT_EQ(zam_vm_get_size(b->kplane), 12 * 22 * 4);
    EXPECT_EQ(zam_vm_get_size(b->qopen), 48);   // 12 floats
    EXPECT_EQ(zam_vm_get_size(b->topen), 88);   // 22 floats
    EXPECT_EQ(zam_vm_get_size(b->d2_all), 34 * 8);
    EXPECT_EQ(zam_vm_get_size(b->qpts), 66 * (int64_t)sizeof(Point3D));
    EXPECT_TRUE(all_zero(b->columns, 34 * sizeof(_trel_a_column)));
    EXPECT_TRUE(all_zero(b->frags, 34 * sizeof(_trel_a_frag)));
    EXPECT_TRUE(all_zero(b->stack, 34 * sizeof(_trel_a_stack)));
    EXPECT_TRUE(all_zero(b->mask1, 12 * 22));
    EXPECT_TRUE(all_zero(b->mask2, 12 * 22));
    EXPECT_TRUE(all_zero(b->zero, 34 * sizeof(float)));
    EXPECT_EQ(b->seg, 0);
    EXPECT_EQ(b->nstack, 0);
    fill_and_check(b, 10, 20);
    const _trel_fit_buf fb = trel_fitBuf(b);
    EXPECT_EQ(fb.qpts, b->qpts);
    EXPECT_EQ(fb.wts, b->wts);
    EXPECT_EQ(fb.size, 66);
  }
  EXPECT_NE(bufs[0]->kplane, bufs[1]->kplane);
  trel_freeAlignBuf(3, bufs);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(AlignBuf, EmptyChains) {
  // n = m = 0: planes of 4 cells, per-column arrays of 4 entries.
  _trel_align_buf** bufs = trel_allocAlignBuf(1, 0, 0);
  _trel_align_buf* b = bufs[0];
  EXPECT_EQ(b->cells, 4);
  EXPECT_EQ(zam_vm_get_size(b->kplane), 16);
  EXPECT_EQ(zam_vm_get_size(b->zero), 16);
  EXPECT_EQ(zam_vm_get_size(b->path), 8);
  EXPECT_EQ(zam_vm_get_size(b->columns), (int64_t)(4 * sizeof(_trel_a_column) + 7) / 8 * 8);
  fill_and_check(b, 0, 0);
  trel_freeAlignBuf(1, bufs);
  // Negative lengths count as 0.
  bufs = trel_allocAlignBuf(1, -5, -1);
  EXPECT_EQ(bufs[0]->cells, 4);
  EXPECT_EQ(bufs[0]->nmax, 0);
  trel_freeAlignBuf(1, bufs);
}

TEST(AlignBuf, SizeInKilobytes) {
  // n = 100, m = 200: X = 202, P = 102 x 202 = 20604, R = 404, L = 304;
  // 48*606 + 8*202 + 27*20604 + 12*404 + 16*304 + (8*304 + 232) + 2*304
  // + 4*304 + 202*304 = 662620 bytes = 647 kB; with m = 100, R = 204:
  // 660220 bytes = 644 kB.
  EXPECT_EQ(trel_sizeAlignBuf(100, 200), 647);
  EXPECT_EQ(trel_sizeAlignBuf(200, 100), 644);
  // (0,0): 48*6 + 16 + 108 + 48 + 64 + 264 + 8 + 16 + 808 = 1620 bytes.
  EXPECT_EQ(trel_sizeAlignBuf(0, 0), 1);
  // Two chains of 50000 residues: 27 P alone passes 2^32 bytes.
  const int64_t big = trel_sizeAlignBuf(50000, 50000);
  EXPECT_GT(big, 27 * (int64_t)50002 * 50002 / 1024);
  EXPECT_LT(big, 28 * (int64_t)50002 * 50002 / 1024);
}

TEST(AlignBuf, LongerChainsAreRefused) {
  _trel_align_buf** bufs = trel_allocAlignBuf(1, 10, 20);
  Messages messages;
  EXPECT_EQ(trel_alignBufFits(bufs[0], 10, 20), 1);
  EXPECT_EQ(trel_alignBufFits(bufs[0], 0, 0), 1);
  EXPECT_EQ(trel_alignBufFits(bufs[0], 7, 13), 1);
  EXPECT_TRUE(g_out.empty()) << g_out;
  EXPECT_EQ(trel_alignBufFits(bufs[0], 11, 20), 0);
  EXPECT_NE(g_out.find("made for 10 x 20 residues cannot hold a 11 x 20"), std::string::npos)
      << g_out;
  g_out.clear();
  EXPECT_EQ(trel_alignBufFits(bufs[0], 10, 21), 0);
  EXPECT_NE(g_out.find("cannot hold a 10 x 21"), std::string::npos) << g_out;
  // Swapped sides do not fit even though the plane has as many cells.
  EXPECT_EQ(trel_alignBufFits(bufs[0], 20, 10), 0);
  EXPECT_EQ(trel_alignBufFits(bufs[0], -1, 5), 0);
  g_out.clear();
  EXPECT_EQ(trel_alignBufFits(nullptr, 3, 4), 0);
  EXPECT_NE(g_out.find("No alignment buffer for a 3 x 4"), std::string::npos) << g_out;
  trel_freeAlignBuf(1, bufs);
}

TEST(AlignBuf, CopyBufferPlanes) {
  _trel_align_buf** bufs = trel_allocAlignBuf(2, 6, 8);
  _trel_align_buf* from = bufs[0];
  _trel_align_buf* to = bufs[1];
  const int n = 3, m = 4, P = (n + 2) * (m + 2);
  for (int k = 0; k < P; k++) {
    from->kplane[k] = (float)k;
    from->kfactor[k] = (float)(2 * k);
    from->gfactor[k] = (float)(3 * k);
    to->kplane[k] = to->kfactor[k] = to->gfactor[k] = -1.0f;
  }
  for (int k = 0; k < n + 2; k++) from->qopen[k] = 0.5f * k;
  for (int k = 0; k < m + 2; k++) from->topen[k] = 0.25f * k;
  to->kplane[P] = -7.0f;  // beyond the n x m layout: untouched
  trel_copyAlignBuf(n, m, from, to);
  for (int k = 0; k < P; k++) {
    EXPECT_EQ(to->kplane[k], (float)k);
    EXPECT_EQ(to->kfactor[k], (float)(2 * k));
    EXPECT_EQ(to->gfactor[k], (float)(3 * k));
  }
  EXPECT_EQ(to->kplane[P], -7.0f);
  for (int k = 0; k < n + 2; k++) EXPECT_EQ(to->qopen[k], 0.5f * k);
  for (int k = 0; k < m + 2; k++) EXPECT_EQ(to->topen[k], 0.25f * k);
  // Too long for the buffers: refused, nothing copied.
  Messages messages;
  to->kplane[0] = -3.0f;
  trel_copyAlignBuf(7, 8, from, to);
  EXPECT_EQ(to->kplane[0], -3.0f);
  EXPECT_NE(g_out.find("cannot hold a 7 x 8"), std::string::npos) << g_out;
  trel_freeAlignBuf(2, bufs);
}

TEST(Align, FreeAndCopyAcceptNull) {
  trel_freeAlign(nullptr);
  EXPECT_EQ(trel_copyAlign(5, 5, nullptr), nullptr);
}

TEST(Align, CopyWithoutFragments) {
  const int64_t before = zam_vm_total();
  _trel_align* a = make_align(6, 0, false, 6);
  _trel_align* c = trel_copyAlign(4, 5, a);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->frags, nullptr);
  EXPECT_NE(c->columns, a->columns);
  EXPECT_GE(zam_vm_get_size(c->columns), (int64_t)(11 * sizeof(_trel_a_column)));
  EXPECT_EQ(memcmp(c->columns, a->columns, 6 * sizeof(_trel_a_column)), 0);
  EXPECT_TRUE(all_zero(c->columns + 6, 5 * sizeof(_trel_a_column)));
  // The header is copied whole, fields the aligner never writes included.
  EXPECT_EQ(c->ncolumns, 6);
  EXPECT_EQ(c->naligned, 7);
  EXPECT_EQ(c->nid_unmatched, 3);
  EXPECT_EQ(c->spare[1], 42);
  EXPECT_EQ(c->jscore, 2.5f);
  EXPECT_EQ(c->spare_f, 9.0f);
  EXPECT_EQ(c->max_dist, -1.0f);
  EXPECT_EQ(memcmp(&c->tf, &a->tf, sizeof(Matrix3D)), 0);
  trel_freeAlign(c);
  trel_freeAlign(a);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(Align, CopyWithFragments) {
  const int64_t before = zam_vm_total();
  _trel_align* a = make_align(5, 2, true, 12);
  a->frags[3].first = 99;  // beyond fragment k: not copied
  _trel_align* c = trel_copyAlign(5, 5, a);
  ASSERT_NE(c->frags, nullptr);
  EXPECT_NE(c->frags, a->frags);
  EXPECT_GE(zam_vm_get_size(c->frags), (int64_t)(12 * sizeof(_trel_a_frag)));
  EXPECT_EQ(memcmp(c->frags, a->frags, 3 * sizeof(_trel_a_frag)), 0);
  EXPECT_TRUE(all_zero(c->frags + 3, 9 * sizeof(_trel_a_frag)));
  // A copy of a copy is the same alignment.
  _trel_align* cc = trel_copyAlign(5, 5, c);
  EXPECT_EQ(memcmp(cc->columns, a->columns, 5 * sizeof(_trel_a_column)), 0);
  EXPECT_EQ(cc->frags[2].last, 3);
  trel_freeAlign(cc);
  trel_freeAlign(c);
  trel_freeAlign(a);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(Align, CopyKeepsColumnsBeyondTheStatedLengths) {
  // A caller passing lengths shorter than the alignment still gets every
  // column and fragment, never a write past the new arrays.
  const int64_t before = zam_vm_total();
  _trel_align* a = make_align(20, 15, true, 20);
  _trel_align* c = trel_copyAlign(2, 3, a);
  EXPECT_EQ(memcmp(c->columns, a->columns, 20 * sizeof(_trel_a_column)), 0);
  EXPECT_EQ(memcmp(c->frags, a->frags, 16 * sizeof(_trel_a_frag)), 0);
  EXPECT_EQ(zam_vm_check(c->columns), 1);
  EXPECT_EQ(zam_vm_check(c->frags), 1);
  trel_freeAlign(c);
  // An empty alignment of empty chains still gets a column array.
  _trel_align* e = make_align(0, 0, false, 1);
  _trel_align* ec = trel_copyAlign(0, 0, e);
  EXPECT_NE(ec->columns, nullptr);
  EXPECT_EQ(ec->ncolumns, 0);
  trel_freeAlign(ec);
  trel_freeAlign(e);
  trel_freeAlign(a);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(Align, CellIndexing) {
  // Residue pair (i, j) of an n x m plane is cell (i+1, j+1) in rows of m+2.
  EXPECT_EQ(trel_cell(0, 0, 4), 7);
  EXPECT_EQ(trel_cell(2, 3, 4), 3 * 6 + 4);
  EXPECT_EQ(trel_cell(-1, -1, 4), 0);
  EXPECT_EQ(trel_cell(49999, 49999, 49999), (int64_t)50000 * 50001 + 50000);
}
