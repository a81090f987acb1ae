// Sequence-built rows of a profile: each sequence is aligned first to the
// pivot by BLOSUM62 alone, and that pairwise alignment limits where its
// residues may go when it is aligned to the whole profile by the summed
// BLOSUM62 scores of the rows in each column.
#include <algorithm>
#include <cmath>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_blosum62.h"
#include "align/trel_dp.h"
#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "align/trel_pair.h"
#include "align/trel_trace.h"
#include "msa/trel_msa.h"
#include "msa/trel_profile_core.h"
#include "output/trel_print.h"
#include "output/trel_run_options.h"
#include "output/trel_write_profile.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_thing.h"

namespace {

constexpr int kWindowPivotResidues = 16;  // pivot residues each side of a sequence residue


// BLOSUM62 alignment of the pivot (query) with sequence row r (target).
_trel_align* align_to_pivot(_trel_profile* p, int r, const _trel_options* options) {
  const int n = p->lengths[0], m = p->lengths[r];
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, m);
  _trel_seg* qseg = const_cast<_trel_seg*>(p->segs[0]);
  _trel_seg* tseg = const_cast<_trel_seg*>(p->segs[r]);
  const _trel_a_box box{0, n - 1, 0, m - 1};
  _trel_align* a = nullptr;
  if (setupKmatrix(n, m, box, qseg, tseg, bufs[0])) {
    loadKscores(n, m, box, 0, qseg, tseg, bufs[0]->kplane);
    a = trel_alignBox(n, m, box, 1, 4, g_min_kscore, bufs[0]->kplane, nullptr, bufs[0]);
    if (a) markupAlignNoFit(n, m, a, qseg, tseg, bufs[0]);
  }
  trel_freeAlignBuf(1, bufs);
  if (a && zam_debug >= 1) {
    zam_msg("\n");
    zam_msg("Here is the alignment between the base structure (%s) and the sequence (%s):\n",
            p->names[0], p->names[r]);
    trel_printAlign(a, p->things[0]->image, p->things[r]->image, options ? options->n_columns : 80);
    zam_msg("\n");
  }
  return a;
}

// Alignment of the profile's columns (query) with sequence row r (target),
// each sequence residue kept near where its pairwise alignment put it.
_trel_align* align_to_profile(_trel_profile* p, int r, const _trel_align* pair) {
  const int n = p->n_cols, m = p->lengths[r], rows = p->n_used, base = p->lengths[0];
  _trel_align_buf** bufs = trel_allocAlignBuf(1, n, m);
  _trel_align_buf* buf = bufs[0];
  const _trel_a_box box{0, n - 1, 0, m - 1};
  const float rho = g_rho * (float)(std::log((double)rows) + 1.0);
  setupKpenalty(n, m, box, rho, g_rho, g_eta, nullptr, nullptr, buf);
  float* plane = buf->kplane;
  std::fill(plane, plane + (int64_t)(n + 2) * (m + 2), 0.0f);
  std::vector<int> map(base, -1);
  for (int c = 0; c < n; c++) {
    const int q = p->table[(int64_t)c * rows];
    if (q < 0) continue;
    if (q >= base) {
      zam_wrn("Base residue number out of range in addProfile()! \n, ");
      continue;
    }
    map[q] = c;
  }
  const auto mapped = [&](int column, int fallback) {
    const int q = pair->columns[column].qres;
    return q >= 0 && q < base && map[q] >= 0 ? map[q] : fallback;
  };
  for (int j = 0; j < pair->ncolumns; j++) {
    const int t = pair->columns[j].tres;
    if (t < 0 || t >= m) continue;
    int back, forth;
    findQuerySpan(kWindowPivotResidues, pair, j, &back, &forth);
    const int lo = mapped(back, 0), hi = mapped(forth, n - 1);
    const unsigned char letter = (unsigned char)p->segs[r][t].code;
    for (int c = lo; c <= hi; c++) {
      float s = 0.0f;
      for (int row = 0; row < rows; row++) {
        const int k = p->table[(int64_t)c * rows + row];
        if (k >= 0) s += trel_getBlosum62F((unsigned char)p->segs[row][k].code, letter);
      }
      plane[trel_cell(c, t, m)] = s;
    }
  }
  _trel_align* a = trel_alignBox(n, m, box, 1, 4, g_min_kscore, plane, nullptr, buf);
  if (a) markupAlignNoFit(n, m, a, nullptr, nullptr, buf);
  trel_freeAlignBuf(1, bufs);
  return a;
}

}  // namespace

void trel_addProfile(_trel_profile* p, _trel_thing** seqs, int n_seqs, const _trel_options* options) {
  if (!p || !p->table || n_seqs < 1 || !seqs) return;
  zam_msg("Using %s as the base structure.\n", p->names[0]);
  const _trel_kweights saved = trel_getKWeights();
  trel_setKWeights(kTrelBlosumOnly);
  for (int i = 0; i < n_seqs; i++) {
    const int r = p->n_used;
    if (r >= p->n_rows) {
      zam_err("No room for sequence %s in the multiple alignment %s\n",
              seqs[i] && seqs[i]->name ? seqs[i]->name : "(none)", p->name);
      break;
    }
    if (!fillProfileRow(p, r, seqs[i])) continue;
    zam_msg("\n\n");
    zam_msg("Aligning sequence %s to structure %s.\n", p->names[r], p->names[0]);
    _trel_align* pair = align_to_pivot(p, r, options);
    _trel_align* a = pair ? align_to_profile(p, r, pair) : nullptr;
    if (a) {
      int cols = p->n_cols;
      int* table = appendRow(p->table, p->n_used, a, &cols);
      kfree(p->table);
      p->table = table;
      p->n_cols = cols;
      p->n_used++;
      trel_markProfile(p, 1);
      if (options) trel_printProfile(p, 1, options);
    }
    trel_freeAlign(a);
    trel_freeAlign(pair);
  }
  trel_setKWeights(saved);
}
