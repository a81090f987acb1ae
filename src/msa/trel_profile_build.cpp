// Profile building around a pivot: the induced alignment read off the
// pivot's pairwise alignments, and a progressive realignment of each member
// to the column centroids of the rows placed before it; the one with the
// higher P-score is kept.
#include <algorithm>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_dp.h"
#include "align/trel_fit.h"
#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "align/trel_trace.h"
#include "msa/trel_msa.h"
#include "msa/trel_profile_core.h"
#include "output/trel_run_options.h"
#include "output/trel_write_profile.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_thing.h"

namespace {

void log_scores(const char* label, const _trel_profile* p, int rows, int cols, int core, float m) {
  zam_msg("%s rows=%d, cols=%d, T=%d, L=%d, N=%d, C=%d, M=%.4f, P=%.4f\n", label, rows, cols,
          p->n_residues, p->max_length, p->lengths[0], core, m, trel_profilePscore(m, core));
}

// Table choice of the profile print for the induced table.
constexpr int kInducedTable = -2;

// At debug level 2, the working table marked and printed.
void show_working(_trel_profile* p, const _trel_options* options) {
  if (zam_debug < 2 || !options) return;
  trel_markProfile(p, 1);
  trel_printProfile(p, 1, options);
}

// Fills the score plane of member row r (m residues) against the consensus
// columns of the working table, each residue only inside the window of
// consensus columns between the core segments that flank its pivot residue.
void load_member_plane(const _trel_profile* p, int r, const _trel_align* a, const int* map,
                       float* plane) {
  const int m = p->lengths[r];
  const int pivot_length = p->lengths[0];
  const auto mapped = [&](int q, int fallback) {
    return q >= 0 && q < pivot_length && map[q] >= 0 ? map[q] : fallback;
  };
  for (int j = 0; j < a->ncolumns; j++) {
    const int t = a->columns[j].tres;
    if (t < 0 || t >= m) continue;
    const int q = a->columns[j].qres;
    int p1 = -1, p2 = -1;
    if (q >= 0 && q < pivot_length) {
      p1 = p->core_range[2 * q];
      p2 = p->core_range[2 * q + 1];
    } else {
      int back, forth;
      findQuerySpan(0, a, j, &back, &forth);
      const int qb = a->columns[back].qres, qf = a->columns[forth].qres;
      if (qb >= 0 && qb < pivot_length) p1 = p->core_range[2 * qb];
      if (qf >= 0 && qf < pivot_length) p2 = p->core_range[2 * qf + 1];
    }
    const int lo = mapped(p1, 0);
    const int hi = mapped(p2, p->n_cols - 1);
    for (int c = lo; c <= hi; c++) {
      if (p->col_count[c] <= 0) continue;
      const float d2 = (float)d2_ptpt_inline(p->points[r][t], p->col_centre[c]);
      plane[trel_cell(c, t, m)] =
          trel_getCscore(d2, p->segs[r][t].code, -1, c, p, p->table, p->n_used);
    }
  }
}

// 1 when the alignment's residues lie inside the pivot (query, n residues)
// and the member (target, m residues) and run in increasing order on both
// sides, so that no table built from it points outside a structure.
bool well_formed(const _trel_align* a, int n, int m) {
  int q_last = -1, t_last = -1;
  for (int j = 0; j < a->ncolumns; j++) {
    const int q = a->columns[j].qres, t = a->columns[j].tres;
    if (q < -1 || q >= n || t < -1 || t >= m) return false;
    if (q >= 0 && q <= q_last) return false;
    if (t >= 0 && t <= t_last) return false;
    if (q >= 0) q_last = q;
    if (t >= 0) t_last = t;
  }
  return true;
}

}  // namespace

_trel_profile* trel_buildProfile(const char* name, _trel_thing* pivot, _trel_thing** members, int n,
                                 _trel_align** aligns, int n_extra, const _trel_options* options) {
  if (n < 1 || !pivot || !members || !aligns) {
    zam_err("A multiple alignment needs a pivot and at least one aligned member\n");
    return nullptr;
  }
  for (int i = 0; i < n; i++)
    if (!aligns[i] || !members[i] || aligns[i]->ncolumns < 1) {
      zam_err("No pairwise alignment of %s with member %d for the multiple alignment\n",
              pivot->name ? pivot->name : "the pivot", i + 1);
      return nullptr;
    }
  _trel_profile* p = trel_initProfile(name, pivot, members, n, n_extra);
  if (!p) return nullptr;
  for (int i = 0; i < n; i++)
    if (!well_formed(aligns[i], p->lengths[0], p->lengths[i + 1])) {
      zam_err("The alignment of %s with %s does not fit their residues\n", p->names[0], p->names[i + 1]);
      trel_freeProfile(p);
      return nullptr;
    }
  const int rows = n + 1;
  const int pivot_length = p->lengths[0];
  const int threshold = coreThreshold(rows, options ? options->core_rule : 50);
  zam_msg("Setting CORE threshold = %d rows (including pivot)\n", threshold);

  // The induced alignment.
  p->induced = induceProfile(n, pivot_length, aligns, &p->n_induced);
  const int core_ind = markCore(p, rows, p->n_induced, p->induced);
  const float m_ind = scoreProfile(p, rows, p->n_induced, p->induced);
  const float p_ind = trel_profilePscore(m_ind, core_ind);
  log_scores("Induced alignment:  ", p, rows, p->n_induced, core_ind, m_ind);
  if (zam_debug >= 2 && options) {
    zam_msg("Here is the initial induced multiple structure alignment profile\n");
    trel_markProfile(p, -1);
    trel_printProfile(p, kInducedTable, options);
  }

  // Seed: the pivot's alignment with the first member.
  p->n_used = 2;
  p->n_cols = aligns[0]->ncolumns;
  p->table = kget1I((int64_t)p->n_cols * 2);
  for (int c = 0; c < p->n_cols; c++) {
    p->table[2 * c] = aligns[0]->columns[c].qres;
    p->table[2 * c + 1] = aligns[0]->columns[c].tres;
  }
  trel_consProfile(p, 1);
  show_working(p, options);

  const int d = p->n_induced + p->max_length;
  _trel_align_buf** bufs = trel_allocAlignBuf(1, d, d);
  findCoreRanges(p, pivot_length, rows);
  std::vector<int> map(pivot_length);
  for (int i = 1; i < n; i++) {
    const int r = p->n_used;
    const int m = p->lengths[r];
    const _trel_align* a = aligns[i];
    bufs = fitAlignBuf(bufs, std::max(p->n_cols, a->ncolumns), std::max(m, a->ncolumns));
    _trel_align_buf* buf = bufs[0];
    std::fill(map.begin(), map.end(), -1);
    for (int c = 0; c < p->n_cols; c++) {
      const int q = p->table[(int64_t)c * p->n_used];
      if (q >= 0 && q < pivot_length) map[q] = c;
    }
    const _trel_a_box box{0, p->n_cols - 1, 0, m - 1};
    setupMpenalty(p->n_cols, m, box, 0.0f, 0.0f, 0.0f, nullptr, nullptr, buf);
    std::fill(buf->gplane, buf->gplane + (int64_t)(p->n_cols + 2) * (m + 2), 0.0f);
    load_member_plane(p, r, a, map.data(), buf->gplane);
    _trel_align* row = trel_alignBox(p->n_cols, m, box, 0, 3, g_min_gscore, buf->gplane, nullptr, buf);
    if (!row) {  // the buffer was sized for this box: reported where it failed
      trel_freeAlignBuf(1, bufs);
      trel_freeProfile(p);
      return nullptr;
    }
    int cols = p->n_cols;
    int* table = appendRow(p->table, p->n_used, row, &cols);
    trel_freeAlign(row);
    kfree(p->table);
    p->table = table;
    p->n_cols = cols;
    p->n_used++;
    trel_consProfile(p, 1);
    if (zam_debug >= 1) {
      const float mr = scoreProfile(p, p->n_used, p->n_cols, p->table);
      log_scores("Rescored alignment: ", p, p->n_used, p->n_cols,
                 countProfile(p->n_used, p->n_cols, p->table, threshold), mr);
      show_working(p, options);
    }
  }
  trel_freeAlignBuf(1, bufs);

  const float m_fin = scoreProfile(p, p->n_used, p->n_cols, p->table);
  const int core_fin = countProfile(p->n_used, p->n_cols, p->table, threshold);
  log_scores("Final alignment:    ", p, p->n_used, p->n_cols, core_fin, m_fin);
  if (trel_profilePscore(m_fin, core_fin) < p_ind) {
    zam_msg("** Induced buffer has better score (keeping induced)\n");
    kfree(p->table);
    p->table = p->induced;
    p->induced = nullptr;
    p->n_cols = p->n_induced;
    p->m_score = m_ind;
    p->n_core = core_ind;
  } else {
    p->m_score = m_fin;
    p->n_core = core_fin;
  }
  trel_markProfile(p, 1);
  if (zam_debug >= 1) {
    zam_msg("Final MSA %d, Length = %d, M = %.5f\n", n, p->n_cols, p->m_score);
    zam_msg("\n");
    if (options) trel_printProfile(p, 1, options);
  }
  return p;
}
