#include "align/trel_tidy.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "align/trel_fit.h"
#include "align/trel_flex.h"
#include "align/trel_globals.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb_pep.h"

namespace {

bool is_pair(const _trel_a_column& c) { return c.qres >= 0 && c.tres >= 0; }

// Makes sure a copy has room for need columns: trel_copyAlign gives room for
// n+m+2, which a valid alignment never outgrows, but a malformed one (a
// residue paired twice) could, and the split must never write past the array.
void ensure_room(_trel_align* copy, int n, int m, int need) {
  const int room = std::max(n + m + 2, copy->ncolumns);
  if (need <= room) return;
  auto* cols = static_cast<_trel_a_column*>(kget1B_0((int64_t)need * sizeof(_trel_a_column)));
  if (copy->ncolumns > 0) std::memcpy(cols, copy->columns, copy->ncolumns * sizeof(_trel_a_column));
  kfree(copy->columns);
  copy->columns = cols;
}

}  // namespace

_trel_align* Trel_tidyAlign(int n, int m, _trel_align* a, float contact, _pdb_peptide* qpep,
                            _pdb_peptide* tpep, _trel_align_buf* buf) {
  if (!a) return nullptr;
  _trel_align* b = trel_tidyBadContacts(n, m, a, contact);
  kfree(b->frags);
  b->frags = nullptr;
  _trel_align* c = trel_tidyGapFlips(n, m, b);
  trel_tidyFit(c, qpep, tpep, trel_fitBuf(buf));
  trel_freeAlign(b);
  return c;
}

_trel_align* trel_tidyBadContacts(int n, int m, _trel_align* a, float contact) {
  if (!a) return nullptr;
  const float c2 = contact * contact;
  int far = 0;
  for (int i = 0; i < a->ncolumns; i++)
    if (is_pair(a->columns[i]) && a->columns[i].d2 > c2) far++;
  _trel_align* b = trel_copyAlign(n, m, a);
  ensure_room(b, n, m, a->ncolumns + far);
  int k = 0;
  for (int i = 0; i < a->ncolumns; i++) {
    const _trel_a_column& col = a->columns[i];
    if (is_pair(col) && col.d2 > c2) {
      _trel_a_column gap = col;
      gap.score = gap.kscore = gap.gscore = 0.0f;
      gap.d2 = -1.0f;
      gap.mark = ' ';
      gap.tres = -1;
      b->columns[k++] = gap;
      gap.qres = -1;
      gap.tres = col.tres;
      b->columns[k++] = gap;
    } else {
      b->columns[k++] = col;
    }
  }
  b->ncolumns = k;
  return b;
}

_trel_align* trel_tidyGapFlips(int n, int m, _trel_align* a) {
  if (!a) return nullptr;
  _trel_align* b = trel_copyAlign(n, m, a);
  int p = findNextPair(0, a);
  if (p < 0) return b;
  copyGapRange(1, 0, p - 1, a, b);
  for (int q = findNextPair(p + 1, a); q >= 0; q = findNextPair(p + 1, a)) {
    if (countStaircaseFlips(p + 1, q - 1, a) >= 2) copyGapRange(0, p + 1, q - 1, a, b);
    p = q;
  }
  copyGapRange(0, p + 1, a->ncolumns - 1, a, b);
  return b;
}

void copyGapRange(int lead, int c0, int c1, _trel_align* from, _trel_align* to) {
  if (!from || !to) return;
  c0 = std::max(c0, 0);
  c1 = std::min(c1, from->ncolumns - 1);
  int k = c0;
  // First group: the columns lacking the leading side's residue.
  for (int c = c0; c <= c1; c++) {
    const _trel_a_column& col = from->columns[c];
    if ((lead ? col.qres : col.tres) < 0) to->columns[k++] = col;
  }
  for (int c = c0; c <= c1; c++) {
    const _trel_a_column& col = from->columns[c];
    if ((lead ? col.qres : col.tres) >= 0) to->columns[k++] = col;
  }
}

int countStaircaseFlips(int c0, int c1, _trel_align* a) {
  if (!a) return 0;
  c0 = std::max(c0, 0);
  c1 = std::min(c1, a->ncolumns - 1);
  int flips = 0;
  for (int c = c0; c < c1; c++)
    if ((a->columns[c].qres >= 0) != (a->columns[c + 1].qres >= 0)) flips++;
  return flips;
}

void trel_tidyFit(_trel_align* a, _pdb_peptide* qpep, _pdb_peptide* tpep, _trel_fit_buf fb) {
  if (!a || !qpep || !tpep) return;
  int k = 0;
  for (int c = 0; c < a->ncolumns && k < fb.size; c++) {
    const _trel_a_column& col = a->columns[c];
    if (!is_pair(col)) continue;
    fb.qpts[k] = qpep->ca[col.qres];
    fb.tpts[k] = tpep->ca[col.tres];
    k++;
  }
  if (k >= 4) a->tf = trel_fitPts(k, fb.tpts, fb.qpts);
}

int findNextPair(int c, _trel_align* a) {
  if (!a || c < 0 || c >= a->ncolumns) return -1;
  for (; c < a->ncolumns; c++)
    if (is_pair(a->columns[c])) return c;
  return -1;
}

int findPrevPair(int c, _trel_align* a) {
  if (!a || c < 0 || c >= a->ncolumns) return -1;
  for (; c >= 0; c--)
    if (is_pair(a->columns[c])) return c;
  return -1;
}

int tidySingletons(int n, int m, float dist, _trel_align* a, _trel_align_buf* buf) {
  if (!a || a->ncolumns < 1) return 0;
  const double lim = dist - 0.05;
  const float d2max = (float)(lim * lim);
  const int last = a->ncolumns - 1;
  auto kind = [&](int c) {
    const _trel_a_column& col = a->columns[c];
    if (!is_pair(col)) return -1;
    return col.d2 < d2max ? 1 : 0;
  };
  int found = 0;
  for (int c = 0; c <= last; c++) {
    if (kind(c) < 0) continue;
    const int l0 = std::max(c - 3, 0), r1 = std::min(c + 3, last);
    bool lonely = true;
    for (int k = l0; k <= r1 && lonely; k++)
      if (k != c && kind(k) == 1) lonely = false;
    if (!lonely || (c - l0 < 3 && r1 - c < 3)) continue;
    const _trel_a_column& col = a->columns[c];
    if (zam_debug > 1)
      zam_msg("Trying to fix singleton at column=%d, pair=[%d,%d], distance=%.2f\n", c, col.qres,
              col.tres, col.d2 > 0.0f ? std::sqrt(col.d2) : 0.0);
    const int prev = c > 0 ? findPrevPair(c - 1, a) : -1;
    const int next = c < last ? findNextPair(c + 1, a) : -1;
    const int s = prev >= 0 ? prev + 1 : c;
    const int e = next >= 0 ? next - 1 : c;
    zapAlignedPair(n, m, col.qres, col.tres, s, e, a, buf);
    found = 1;
  }
  return found;
}

void zapAlignedPair(int n, int m, int q, int t, int c0, int c1, _trel_align* a,
                    _trel_align_buf* buf) {
  if (!a || !buf || !trel_alignBufFits(buf, n, m)) return;
  const _trel_a_box box = getFragmentBox(c0, c1, a);
  if (box.qfirst >= 0 && box.tfirst >= 0)
    for (int i = box.qfirst; i <= box.qlast; i++)
      for (int j = box.tfirst; j <= box.tlast; j++) buf->gplane[trel_cell(i, j, m)] = g_chi;
  if (q >= 0 && q < n && t >= 0 && t < m) buf->gplane[trel_cell(q, t, m)] = g_zeta;
}
