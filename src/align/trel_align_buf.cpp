#include "align/trel_align.h"

#include <algorithm>
#include <cstring>

#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_vm.h"

namespace {

// Buffer dimensions for n query and m target residues, in 64 bits so that
// the plane size of two long chains never wraps.
struct Dims {
  int64_t n, m;
  int64_t P;  // cells per plane
  int64_t L;  // per-column entries
  int64_t X;  // larger side with its borders
  int64_t R;  // two rows of cells: the rolling states of the fills
};

Dims dims(int n, int m) {
  Dims d;
  d.n = std::max(n, 0);
  d.m = std::max(m, 0);
  d.P = (d.n + 2) * (d.m + 2);
  d.L = d.n + d.m + 4;
  d.X = std::max(d.n + 2, d.m + 2);
  d.R = 2 * (d.m + 2);
  return d;
}

template <class T>
T* zeroed(int64_t count) {
  return static_cast<T*>(kget1B_0(count * (int64_t)sizeof(T)));
}

template <class T>
T* raw(int64_t count) {
  return static_cast<T*>(kget1B(count * (int64_t)sizeof(T)));
}

template <class T>
void release(T*& p) {
  if (p) kfree(p);
  p = nullptr;
}

_trel_align_buf* make_buffer(int n, int m) {
  const Dims d = dims(n, m);
  _trel_align_buf* b = zeroed<_trel_align_buf>(1);
  b->qpts = raw<Point3D>(3 * d.X);
  b->tpts = raw<Point3D>(3 * d.X);
  b->wts = kget1D(3 * d.X);
  b->columns = zeroed<_trel_a_column>(d.L);
  b->frags = zeroed<_trel_a_frag>(d.L);
  b->stack = zeroed<_trel_a_stack>(d.L);
  b->kplane = kget1F(d.P);
  b->gplane = kget1F(d.P);
  b->kfactor = kget1F(d.P);
  b->gfactor = kget1F(d.P);
  b->mask1 = zeroed<unsigned char>(d.P);
  b->mask2 = zeroed<unsigned char>(d.P);
  b->dplane = kget1F(d.P);
  b->iplane = kget1I(d.P);
  b->dir = raw<unsigned char>(d.P);
  b->hplane = kget1F(d.R);
  b->eplane = kget1F(d.R);
  b->fplane = kget1F(d.R);
  b->qopen = kget1F(d.n + 2);
  b->topen = kget1F(d.m + 2);
  b->zero = kget1F_0(d.L);
  b->d2_all = kget1D(d.L);
  b->d2_close = kget1D(d.L);
  b->d2_anchor = kget1D(d.L);
  b->path = kget1J(d.L);
  b->qsegs = kget1J(d.n + 2);
  b->tsegs = kget1J(d.m + 2);
  b->nmax = (int)d.n;
  b->mmax = (int)d.m;
  b->cells = d.P;
  return b;
}

void free_buffer(_trel_align_buf* b) {
  if (!b) return;
  release(b->qpts);
  release(b->tpts);
  release(b->wts);
  release(b->columns);
  release(b->frags);
  release(b->stack);
  release(b->kplane);
  release(b->gplane);
  release(b->kfactor);
  release(b->gfactor);
  release(b->mask1);
  release(b->mask2);
  release(b->dplane);
  release(b->iplane);
  release(b->dir);
  release(b->hplane);
  release(b->eplane);
  release(b->fplane);
  release(b->qopen);
  release(b->topen);
  release(b->zero);
  release(b->d2_all);
  release(b->d2_close);
  release(b->d2_anchor);
  release(b->path);
  release(b->qsegs);
  release(b->tsegs);
  kfree(b);
}

}  // namespace

_trel_align_buf** trel_allocAlignBuf(int threads, int n, int m) {
  const int count = std::max(threads, 1);
  auto** bufs = zeroed<_trel_align_buf*>(count);
  for (int k = 0; k < count; k++) bufs[k] = make_buffer(n, m);
  if (zam_debug > 1) {
    const int64_t kb = trel_sizeAlignBuf(n, m);
    zam_msg("\n");
    zam_msg("Thread buffer: %ld Mb * %d threads = %d Mb\n", (long)(kb / 1024), count,
            (int)(kb * count / 1024));
    zam_msg("\n");
  }
  return bufs;
}

int64_t trel_sizeAlignBuf(int n, int m) {
  const Dims d = dims(n, m);
  const int64_t bytes = 48 * 3 * d.X + 8 * d.X + 27 * d.P + 12 * d.R + 16 * d.L + (8 * d.L + 232) +
                        2 * d.L + 4 * d.L + 202 * d.L;
  return bytes / 1024;
}

void trel_freeAlignBuf(int threads, _trel_align_buf** bufs) {
  if (!bufs) return;
  const int count = std::max(threads, 1);
  for (int k = 0; k < count; k++) {
    free_buffer(bufs[k]);
    bufs[k] = nullptr;
  }
  kfree(bufs);
}

void trel_trimAlignBuf(_trel_align_buf* buf, int64_t cells) {
  if (!buf || cells >= buf->cells) return;
  cells = std::max<int64_t>(cells, 0);
  for (float* plane : {buf->kplane, buf->gplane, buf->kfactor, buf->gfactor, buf->dplane})
    zam_vm_trim(plane, cells * (int64_t)sizeof(float));
  zam_vm_trim(buf->iplane, cells * (int64_t)sizeof(int));
  for (unsigned char* plane : {buf->mask1, buf->mask2, buf->dir}) zam_vm_trim(plane, cells);
}

int trel_alignBufFits(const _trel_align_buf* buf, int n, int m) {
  if (!buf) {
    zam_err("No alignment buffer for a %d x %d residue alignment.\n", n, m);
    return 0;
  }
  if (n < 0 || m < 0 || n > buf->nmax || m > buf->mmax) {
    zam_err("Alignment buffer made for %d x %d residues cannot hold a %d x %d residue alignment.\n",
            buf->nmax, buf->mmax, n, m);
    return 0;
  }
  return 1;
}

_trel_fit_buf trel_fitBuf(_trel_align_buf* buf) {
  _trel_fit_buf fb{nullptr, nullptr, nullptr, 0};
  if (!buf) return fb;
  fb.qpts = buf->qpts;
  fb.tpts = buf->tpts;
  fb.wts = buf->wts;
  fb.size = 3 * (std::max(buf->nmax, buf->mmax) + 2);
  return fb;
}

void trel_copyAlignBuf(int n, int m, const _trel_align_buf* from, _trel_align_buf* to) {
  if (!trel_alignBufFits(from, n, m) || !trel_alignBufFits(to, n, m)) return;
  const Dims d = dims(n, m);
  const size_t plane = (size_t)d.P * sizeof(float);
  memcpy(to->kplane, from->kplane, plane);
  memcpy(to->kfactor, from->kfactor, plane);
  memcpy(to->gfactor, from->gfactor, plane);
  memcpy(to->qopen, from->qopen, (size_t)(d.n + 2) * sizeof(float));
  memcpy(to->topen, from->topen, (size_t)(d.m + 2) * sizeof(float));
}

void trel_freeAlign(_trel_align* align) {
  if (!align) return;
  if (align->columns) kfree(align->columns);
  if (align->frags) kfree(align->frags);
  kfree(align);
}

_trel_align* trel_copyAlign(int n, int m, const _trel_align* align) {
  if (!align) return nullptr;
  // Room for the longest alignment of n and m residues; never less than the
  // source holds, should a caller pass shorter lengths.
  const int64_t room = std::max<int64_t>(std::max(n, 0) + (int64_t)std::max(m, 0) + 2, 1);
  const int64_t ncol = align->columns ? std::max(align->ncolumns, 0) : 0;
  _trel_align* copy = zeroed<_trel_align>(1);
  *copy = *align;
  copy->columns = zeroed<_trel_a_column>(std::max(room, ncol));
  if (ncol > 0) memcpy(copy->columns, align->columns, (size_t)ncol * sizeof(_trel_a_column));
  copy->frags = nullptr;
  if (align->frags) {
    const int64_t nfrag = (int64_t)std::max(align->nfrags, 0) + 1;
    copy->frags = zeroed<_trel_a_frag>(std::max(room, nfrag));
    memcpy(copy->frags, align->frags, (size_t)nfrag * sizeof(_trel_a_frag));
  }
  return copy;
}
