// Consensus refinement of a profile: every row, the pivot included, is
// realigned to the column centroids of all the other rows; the columns are
// induced again from these row-to-consensus alignments and kept while the
// M-score rises, each kept pass superposing the members onto the consensus
// in the pivot's frame.
#include <algorithm>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_dp.h"
#include "align/trel_fit.h"
#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "align/trel_trace.h"
#include "geometry/zam_qcp.h"
#include "msa/trel_msa.h"
#include "msa/trel_profile_core.h"
#include "output/trel_run_options.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

constexpr int kMaxPasses = 9;
constexpr int kWindowColumns = 16;  // occupied columns each side of a residue's column

// Window of occupied columns around column col: scanning backwards from it
// (inclusive) the column where the count-th column with residues is met, or
// the last one met (0 when none); forwards likewise (default the last column).
// A residue outside every column may go anywhere.
void findOccupancySpan(int count, int columns, const int* occupied, int col, int* lo, int* hi) {
  *lo = 0;
  *hi = columns - 1;
  if (col < 0 || col >= columns) return;
  for (int c = col, met = 0; c >= 0; c--)
    if (occupied[c] > 0) {
      *lo = c;
      if (++met >= count) break;
    }
  for (int c = col, met = 0; c < columns; c++)
    if (occupied[c] > 0) {
      *hi = c;
      if (++met >= count) break;
    }
}

// Drops the columns without residues, keeping order; returns the new count.
int removeGapsColumns(int* table, int rows, int columns) {
  int w = 0;
  for (int c = 0; c < columns; c++) {
    const int* col = table + (int64_t)c * rows;
    if (std::none_of(col, col + rows, [](int k) { return k >= 0; })) continue;
    if (w != c) std::copy(col, col + rows, table + (int64_t)w * rows);
    w++;
  }
  return w;
}

// The alignment of row r with the consensus of the other rows (query: the
// profile's columns; target: the row's residues).
_trel_align* align_row(const _trel_profile* p, int r, const std::vector<int>& count,
                       const std::vector<Point3D>& centre, _trel_align_buf* buf) {
  const int n = p->n_cols, rows = p->n_used, m = p->lengths[r];
  std::vector<int> map(m, -1);
  for (int c = 0; c < n; c++) {
    const int k = p->table[(int64_t)c * rows + r];
    if (k >= 0 && k < m) map[k] = c;
  }
  // Leave-one-out consensus: the row's own residue leaves its column.
  std::vector<int> count1(count);
  std::vector<Point3D> centre1(centre);
  for (int c = 0; c < n; c++) {
    const int k = p->table[(int64_t)c * rows + r];
    if (k < 0) continue;
    if (count[c] <= 1) {
      count1[c] = 0;
      centre1[c] = pt_zero();
    } else {
      centre1[c] = pt_scale(pt_sub(pt_scale(centre[c], count[c]), p->points[r][k]),
                            1.0 / (count[c] - 1));
      count1[c] = count[c] - 1;
    }
  }
  const _trel_a_box box{0, n - 1, 0, m - 1};
  std::fill(buf->gplane, buf->gplane + (int64_t)(n + 2) * (m + 2), 0.0f);
  setupMpenalty(n, m, box, 0.0f, 0.0f, 0.0f, nullptr, nullptr, buf);
  for (int k = 0; k < m; k++) {
    int lo, hi;
    findOccupancySpan(kWindowColumns, n, count1.data(), map[k], &lo, &hi);
    for (int c = lo; c <= hi; c++) {
      if (count1[c] <= 0) continue;
      const float d2 = (float)d2_ptpt_inline(p->points[r][k], centre1[c]);
      buf->gplane[trel_cell(c, k, m)] =
          trel_getCscore(d2, p->segs[r][k].code, r, c, p, p->table, rows);
    }
  }
  return trel_alignBox(n, m, box, 0, 3, g_min_gscore, buf->gplane, nullptr, buf);
}

// Superposition of row r onto the consensus centres over the pairs of its
// alignment; the identity with fewer than 4 pairs.
Matrix3D fit_row(const _trel_profile* p, int r, const _trel_align* a,
                 const std::vector<Point3D>& centre) {
  std::vector<Point3D> mine, cons;
  for (int j = 0; j < a->ncolumns; j++) {
    const int c = a->columns[j].qres, k = a->columns[j].tres;
    if (c < 0 || k < 0) continue;
    mine.push_back(p->points[r][k]);
    cons.push_back(centre[c]);
  }
  if (mine.size() < 4) return tf_identity();
  return tf_fitQCP((int)mine.size(), mine.data(), cons.data());
}

// Superposes every member onto the consensus centres over the pairs of its
// row alignment, expressed in the pivot's frame (the pivot stays), moving
// its points and its image, and returns the M-score of the working table
// with the moved points. A superposition fitted by least squares onto mixed
// centroids can lower the M-score; then nothing moves and 0 is returned, so
// that the profile's score always describes the coordinates it holds.
float superpose_rows(_trel_profile* p, const std::vector<_trel_align*>& aligns,
                     const std::vector<Point3D>& centre) {
  const int rows = p->n_used;
  const float unmoved = scoreProfile(p, rows, p->n_cols, p->table);
  std::vector<Matrix3D> moves(rows);
  const Matrix3D back = tf_inverse(fit_row(p, 0, aligns[0], centre));
  std::vector<std::vector<Point3D>> saved(rows);
  for (int r = 1; r < rows; r++) {
    moves[r] = tf_tftf(fit_row(p, r, aligns[r], centre), back);
    saved[r].assign(p->points[r], p->points[r] + p->lengths[r]);
    for (int k = 0; k < p->lengths[r]; k++) p->points[r][k] = pt_tfpt(moves[r], p->points[r][k]);
  }
  const float moved = scoreProfile(p, rows, p->n_cols, p->table);
  if (moved < unmoved) {
    for (int r = 1; r < rows; r++) std::copy(saved[r].begin(), saved[r].end(), p->points[r]);
    if (zam_debug >= 1) zam_msg("Consensus superposition lowers the score to %.4f (not moving)\n", moved);
    return 0.0f;
  }
  for (int r = 1; r < rows; r++)
    if (p->things[r] && p->things[r]->image) zam_movePdb(p->things[r]->image, moves[r]);
  return moved;
}

}  // namespace

void trel_refineProfileCons(_trel_profile* p, const _trel_options* options) {
  if (!p || !p->table || p->n_used < 2 || p->n_cols < 1) return;
  const double start = zam_get_time();
  const int rows = p->n_used;
  const int threshold = coreThreshold(rows, options ? options->core_rule : 50);
  _trel_align_buf** bufs = nullptr;
  for (int pass = 0; pass < kMaxPasses; pass++) {
    const int n = p->n_cols;
    trel_consProfile(p, 1);
    const std::vector<int> count(p->col_count, p->col_count + n);
    const std::vector<Point3D> centre(p->col_centre, p->col_centre + n);
    const int side = std::max(n, *std::max_element(p->lengths, p->lengths + rows));
    bufs = fitAlignBuf(bufs, side, side);
    std::vector<_trel_align*> aligns(rows, nullptr);
    bool ok = true;
    for (int r = 0; r < rows && ok; r++) ok = (aligns[r] = align_row(p, r, count, centre, bufs[0]));
    bool kept = false;
    if (ok) {
      int induced_cols = 0;
      int* induced = induceProfile(rows, n, aligns.data(), &induced_cols);
      // Row 0 of the induced table is the consensus column: drop it.
      int* table = kget1I(std::max<int64_t>((int64_t)induced_cols * rows, 1));
      for (int c = 0; c < induced_cols; c++)
        std::copy(induced + (int64_t)c * (rows + 1) + 1, induced + (int64_t)(c + 1) * (rows + 1),
                  table + (int64_t)c * rows);
      kfree(induced);
      const int cols = removeGapsColumns(table, rows, induced_cols);
      const float m = scoreProfile(p, rows, cols, table);
      const int core = countProfile(rows, cols, table, threshold);
      zam_msg("Consensus alignment: rows=%d, cols=%d, T=%d, L=%d, N=%d, C=%d, M=%.4f, P=%.4f\n",
              rows, cols, p->n_residues, p->max_length, p->lengths[0], core, m,
              trel_profilePscore(m, core));
      if (m > p->m_score) {
        zam_msg("Consensus score %.4f > pivot score %.4f (keeping)\n", m, p->m_score);
        kfree(p->table);
        p->table = table;
        p->n_cols = cols;
        p->n_core = core;
        p->m_score = std::max(m, superpose_rows(p, aligns, centre));
        kept = true;
      } else {
        zam_msg("Consensus score %.4f < pivot score %.4f (discarding)\n", m, p->m_score);
        kfree(table);
      }
    }
    for (_trel_align* a : aligns) trel_freeAlign(a);
    if (!kept) break;
  }
  trel_freeAlignBuf(1, bufs);
  trel_markProfile(p, 1);
  zam_msg("Done consensus refinement of %d structures in %.4f seconds.\n\n", rows,
          std::max(zam_get_time() - start, 1e-8));
}
