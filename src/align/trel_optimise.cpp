// Rigid-solution optimiser: G-score planes with candidate lists, re-alignment
// cycles, the thresholded re-alignment and the BFGS refinement of a transform.
#include "align/trel_optimise.h"

#include <algorithm>
#include <cmath>

#include "align/trel_dp.h"
#include "align/trel_fit.h"
#include "align/trel_kscore.h"
#include "geometry/zam_bfgs.h"
#include "geometry/zam_qcp.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Half-width of the band computed around an alignment.
constexpr int kBand = 3;
// Largest turn of the parameter search, degrees.
constexpr double kTurnDegrees = 8.0;

bool isPair(const _trel_a_column& c) { return c.qres >= 0 && c.tres >= 0; }

// The transformed-target scratch: the second third of the fit buffer's
// target points, the same room the rigid fits use, clear of the fit points.
Point3D* transformedPoints(_trel_align_buf* buf) {
  _trel_fit_buf fb = trel_fitBuf(buf);
  int third = fb.size / 3;
  return (fb.tpts && third > 0) ? fb.tpts + third : nullptr;
}

// The box lies inside both chains and fits the buffer (reported otherwise),
// and the fit scratch has room for the transformed target.
bool usable(int nq, int nt, _trel_a_box box, _trel_align_buf* buf, _pdb_peptide* qpep,
            _pdb_peptide* tpep, const char* who) {
  if (!qpep || !tpep) {
    zam_err("%s(): no peptide arrays given.\n", who);
    return false;
  }
  if (!trel_boxFits(nq, nt, box, buf, who)) return false;
  return transformedPoints(buf) != nullptr && trel_fitBuf(buf).size / 3 >= nt;
}

// G-score of cell (i, j) from its squared distance d2 (already below the
// cut): smoothed along the diagonal when both diagonal neighbours exist in
// the two chains, so that an isolated close pair does not pull the
// re-alignment off a well-fitting run.
float cellScore(int i, int j, int nq, int nt, float d2, const Point3D* qca, const Point3D* xp) {
  if (i - 1 < 0 || i + 1 >= nq || j - 1 < 0 || j + 1 >= nt) return getGscore(d2);
  float up = (float)d2_ptpt_inline(qca[i + 1], xp[j + 1]);
  float down = (float)d2_ptpt_inline(qca[i - 1], xp[j - 1]);
  return getGscore((2.0f * d2 + up + down) * 0.25f);
}

// Fills the G and distance planes of the residue cells of `cells`. With
// `flags`, only cells not yet flagged in the candidate plane are computed,
// and each computed cell is flagged there.
void fillCells(int nq, int nt, _trel_a_box cells, float cut2, float fill, const Point3D* qca,
               const Point3D* xp, _trel_align_buf* buf, bool flags) {
  for (int i = cells.qfirst; i <= cells.qlast; i++) {
    for (int j = cells.tfirst; j <= cells.tlast; j++) {
      int64_t cell = trel_cell(i, j, nt);
      if (flags) {
        if (buf->iplane[cell]) continue;
        buf->iplane[cell] = 1;
      }
      float d2 = (float)d2_ptpt_inline(qca[i], xp[j]);
      buf->dplane[cell] = d2;
      buf->gplane[cell] = d2 < cut2 ? cellScore(i, j, nq, nt, d2, qca, xp) : fill;
    }
  }
}

// The parameter box of the search: turns of at most 8 degrees about the
// first and third Euler axes and 4 about the second, half an angstrom of
// shift along each axis; each step a fifth of its range.
void searchBounds(double* lo, double* hi, double* step) {
  const double d = deg2rad(kTurnDegrees);
  const double l[6] = {-d, 0.0, -d, -0.5, -0.5, -0.5};
  const double h[6] = {d, d / 2.0, d, 0.5, 0.5, 0.5};
  for (int k = 0; k < 6; k++) {
    lo[k] = l[k];
    hi[k] = h[k];
    step[k] = (h[k] - l[k]) / 5.0;
  }
}

bool printing() { return zam_debug >= 0; }

// Runs the minimiser from the identity around a's transform; returns the new
// transform and prints the overlap gained.
Matrix3D searchTransform(int nq, int nt, _trel_a_box box, const _trel_align* a,
                         _pdb_peptide* qpep, _pdb_peptide* tpep, float cut,
                         _trel_align_buf* buf) {
  float overlap = loadGscores(nq, nt, box, a, kBand, qpep, tpep, a->tf, cut, 0.0f, buf);
  _trel_opt_context* ctx = (_trel_opt_context*)kget1B_0(sizeof(_trel_opt_context));
  ctx->nq = nq;
  ctx->nt = nt;
  ctx->box = box;
  ctx->base = a->tf;
  ctx->qpep = qpep;
  ctx->tpep = tpep;
  ctx->buf = buf;
  double x0[6] = {0, 0, 0, 0, 0, 0}, lo[6], hi[6], step[6], best[6];
  searchBounds(lo, hi, step);
  double f = zam_bfgs(doTargetScore, 6, -2, ctx, x0, lo, hi, step, best, 0.01);
  if (!std::isfinite(f)) {
    // The minimiser refused: stay at the start point.
    std::copy(x0, x0 + 6, best);
    f = -overlap;
  }
  if (printing())
    zam_msg("Optimised overlap: %.5f ==> %.5f (%d calls)\n", overlap, -f, ctx->evals);
  Matrix3D T = tf_tftf(ctx->base, tf_makeBFGS(6, best));
  kfree(ctx);
  return T;
}

// Re-aligns the whole box under T and scores the result; null when the box
// cannot be aligned (reported by the DP).
_trel_align* realignUnder(int nq, int nt, _trel_a_box box, _pdb_peptide* qpep,
                          _pdb_peptide* tpep, Matrix3D T, float cut, float match,
                          _trel_align_buf* buf) {
  loadGscores(nq, nt, box, nullptr, kBand, qpep, tpep, T, cut, 0.0f, buf);
  _trel_align* b = trel_alignGbox(nq, nt, box, buf);
  if (!b) return nullptr;
  b->tf = T;
  trel_GMscoreAlign(b, cut, match, qpep, tpep, T);
  return b;
}

void printScores(const char* label, const _trel_align* a) {
  if (printing())
    zam_msg("%s: M = %.5f, G = %.5f, RMSD = %.4f (nm=%d)\n", label, a->mscore, a->gscore,
            a->rmsd_matched, a->nmatched);
}

void printVerdict(float g0, int n0, float g1, int n1) {
  if (printing())
    zam_msg("Optimiser %s: %.4f (nm=%d) -> %.4f (nm=%d)\n", g1 > g0 ? "+++" : "---", g0, n0, g1,
            n1);
}

}  // namespace

Matrix3D tf_makeBFGS(int /*n*/, const double* x) {
  return tf_tftf(tf_euler(Euler{x[0], x[1], x[2]}), tf_v(Point3D{x[3], x[4], x[5]}));
}

float loadGscores(int nq, int nt, _trel_a_box box, const _trel_align* a, int window,
                  _pdb_peptide* qpep, _pdb_peptide* tpep, Matrix3D T, float cut, float fill,
                  _trel_align_buf* buf) {
  if (!usable(nq, nt, box, buf, qpep, tpep, "loadGscores")) return 0.0f;
  Point3D* xp = transformedPoints(buf);
  tf_pts(nt, xp, tpep->ca, T);
  const Point3D* qca = qpep->ca;
  const double c = (double)cut - 0.05;
  const float cut2 = c > 0.0 ? (float)(c * c) : 0.0f;
  window = std::max(window, 0);
  const int64_t w = nt + 2;
  float sum = 0.0f;
  int np = 0;

  if (!a || !a->columns) {
    fillCells(nq, nt, box, cut2, fill, qca, xp, buf, false);
    for (int i = box.qfirst; i <= box.qlast; i++) {
      int* list = buf->iplane + (int64_t)(i + 1) * w;
      int k = 0;
      for (int j = box.tfirst; j <= box.tlast; j++) {
        int64_t cell = trel_cell(i, j, nt);
        if (!(buf->dplane[cell] < cut2)) continue;
        list[k++] = j;
        np++;
        sum += buf->gplane[cell];
      }
      list[k] = -1;
    }
  } else {
    trel_zeroBoxF(nq, nt, box, buf->gplane);
    trel_zeroBoxF(nq, nt, box, buf->dplane);
    trel_zeroBoxI(nq, nt, box, buf->iplane);
    // Stops: the aligned pairs in column order, then the box's last corner.
    // Each stop opens the rectangle from the previous stop minus the window
    // to this one plus the window; the candidate plane flags computed cells
    // (a cell of distance exactly 0 is a real candidate, so the distance
    // cannot serve as the flag).
    int pq = box.qfirst, pt = box.tfirst;
    auto stop = [&](int q, int t) {
      int q0 = std::max(pq, box.qfirst), t0 = std::max(pt, box.tfirst);
      int q1 = std::min(q + window, box.qlast), t1 = std::min(t + window, box.tlast);
      if (q0 <= q1 && t0 <= t1) fillCells(nq, nt, _trel_a_box{q0, q1, t0, t1}, cut2, fill, qca, xp, buf, true);
      pq = q - window;
      pt = t - window;
    };
    for (int j = 0; j < a->ncolumns; j++) {
      const _trel_a_column& col = a->columns[j];
      if (isPair(col) && col.qres < nq && col.tres < nt) stop(col.qres, col.tres);
    }
    stop(box.qlast, box.tlast);
    // Turn the flags of each row into its candidate list. The list is
    // written from the row's first cell and never overtakes the flag being
    // read (cell j+1 for target residue j).
    for (int i = box.qfirst; i <= box.qlast; i++) {
      int* list = buf->iplane + (int64_t)(i + 1) * w;
      int k = 0;
      for (int j = box.tfirst; j <= box.tlast; j++) {
        int64_t cell = trel_cell(i, j, nt);
        int flagged = buf->iplane[cell];
        if (!flagged) continue;
        list[k++] = j;
        np++;
        if (buf->gplane[cell] >= 0.0f) sum += buf->gplane[cell];
      }
      list[k] = -1;
    }
  }
  if (zam_debug > 1) zam_msg("loadGscores: np = %d, score = %.4f\n", np, sum);
  return sum;
}

float refreshGscores(int nq, int nt, _trel_a_box box, _pdb_peptide* qpep, _pdb_peptide* tpep,
                     Matrix3D T, _trel_align_buf* buf) {
  if (!usable(nq, nt, box, buf, qpep, tpep, "refreshGscores")) return 0.0f;
  Point3D* xp = transformedPoints(buf);
  tf_pts(nt, xp, tpep->ca, T);
  const int64_t w = nt + 2;
  float sum = 0.0f;
  int np = 0;
  const int width = box.tlast - box.tfirst + 1;
  for (int i = box.qfirst; i <= box.qlast; i++) {
    const int* list = buf->iplane + (int64_t)(i + 1) * w;
    for (int k = 0; k < width; k++) {
      int j = list[k];
      if (j < box.tfirst || j > box.tlast) break;
      int64_t cell = trel_cell(i, j, nt);
      float d2 = (float)d2_ptpt_inline(qpep->ca[i], xp[j]);
      float g = getGscore(d2);
      buf->dplane[cell] = d2;
      buf->gplane[cell] = g;
      sum += g;
      np++;
    }
  }
  if (zam_debug > 1) zam_msg("ReloadGscores: np = %d, score = %.4f\n", np, sum);
  return sum;
}

double doTargetScore(int n, double* x, void* context, int /*iteration*/) {
  auto* ctx = (_trel_opt_context*)context;
  Matrix3D T = tf_tftf(ctx->base, tf_makeBFGS(n, x));
  float s = refreshGscores(ctx->nq, ctx->nt, ctx->box, ctx->qpep, ctx->tpep, T, ctx->buf);
  ctx->evals++;
  return -(double)s;
}

_trel_align* alignRigidSoln(int nq, int nt, _trel_a_box box, int maxcycles, _pdb_peptide* qpep,
                            _pdb_peptide* tpep, const _trel_align* a, float cut, float match,
                            float fill, _trel_align_buf* buf) {
  if (!a) return nullptr;
  _trel_align* cur = trel_copyAlign(nq, nt, a);
  const float start = cur->fscore;
  const int start_nm = cur->nmatched;
  float best = start;
  if (zam_debug > 1)
    zam_msg("Soln: %d, F-score = %.5f, G-score = %.5f, RMSD = %.4f (nm=%d)\n", 0, cur->fscore,
            cur->gscore, cur->rmsd_matched, cur->nmatched);
  const bool fixed = trel_fixedSoln(a) != 0;
  _trel_fit_buf fb = trel_fitBuf(buf);
  for (int cycle = 0; cycle < maxcycles;) {
    loadGscores(nq, nt, box, cur, kBand, qpep, tpep, cur->tf, cut, fill, buf);
    _trel_align* b = trel_alignGbox(nq, nt, box, buf);
    if (!b) break;
    if (fixed) {
      b->tf = a->tf;
      trel_setFixedSoln(b, 1);
    } else {
      b->tf = fitFragment(0, -1, b, qpep, tpep, fb);
    }
    float G = 0.0f, R = 0.0f;
    int nm = scoreFragment(nq, nt, 0, -1, b, qpep, tpep, b->tf, cut, match, &G, &R, fb);
    b->nmatched = nm;
    b->gscore = G;
    b->rmsd_matched = R;
    b->fscore = makeFscore(nm, G, 0.0f);
    cycle++;
    if (zam_debug > 1)
      zam_msg("Soln: %d, F-score = %.5f, G-score = %.5f, RMSD = %.4f (nm=%d)\n", cycle, b->fscore,
              b->gscore, b->rmsd_matched, b->nmatched);
    if (!(b->fscore > best)) {
      trel_freeAlign(b);
      break;
    }
    trel_freeAlign(cur);
    cur = b;
    best = cur->fscore;
  }
  if (zam_debug > 0)
    zam_msg("Soln: %s: %.4f (nm=%d) -> %.4f (nm=%d)\n", cur->fscore > start ? "+++" : "---", start,
            start_nm, cur->fscore, cur->nmatched);
  return cur;
}

_trel_align* finaliseRigidSoln(int nq, int nt, _trel_a_box box, _pdb_peptide* qpep,
                               _pdb_peptide* tpep, float threshold, const _trel_align* a,
                               _trel_align_buf* buf) {
  if (!a) return nullptr;
  if (zam_debug > 0) zam_msg("Re-calculating alignment with CA threshold = %.2f\n", threshold);
  if (!usable(nq, nt, box, buf, qpep, tpep, "finaliseRigidSoln")) return nullptr;
  loadGscores(nq, nt, box, a, kBand, qpep, tpep, a->tf, threshold, -1.0f, buf);
  _trel_align* b = trel_alignGbox(nq, nt, box, buf);
  if (b) b->tf = a->tf;
  return b;
}

_trel_align* optimiseRigidSoln(int nq, int nt, _trel_a_box box, const _trel_align* a,
                               _pdb_peptide* qpep, _pdb_peptide* tpep, float cut, float match,
                               _trel_align_buf* buf) {
  if (!a) return nullptr;
  _trel_align* copy = trel_copyAlign(nq, nt, a);
  printScores("Before Optimiser", copy);
  if (!usable(nq, nt, box, buf, qpep, tpep, "optimiseRigidSoln")) return copy;
  Matrix3D T = searchTransform(nq, nt, box, copy, qpep, tpep, cut, buf);
  _trel_align* b = realignUnder(nq, nt, box, qpep, tpep, T, cut, match, buf);
  if (!b) return copy;
  printScores("After optimiser", b);
  printVerdict(copy->gscore, copy->nmatched, b->gscore, b->nmatched);
  if (b->gscore > copy->gscore) {
    trel_freeAlign(copy);
    return b;
  }
  trel_freeAlign(b);
  return copy;
}

Matrix3D optimiseRigidMatrix(int nq, int nt, _trel_a_box box, const _trel_align* a,
                             _pdb_peptide* qpep, _pdb_peptide* tpep, float cut, float match,
                             _trel_align_buf* buf) {
  if (!a) return tf_identity();
  printScores("Before Optimiser", a);
  if (!usable(nq, nt, box, buf, qpep, tpep, "optimiseRigidMatrix")) return a->tf;
  Matrix3D T = searchTransform(nq, nt, box, a, qpep, tpep, cut, buf);
  loadGscores(nq, nt, box, nullptr, kBand, qpep, tpep, T, cut, 0.0f, buf);
  // Scored on a copy: the caller's alignment keeps the scores of its own
  // transform.
  _trel_align* scored = trel_copyAlign(nq, nt, a);
  trel_GMscoreAlign(scored, cut, match, qpep, tpep, T);
  printScores("After optimiser", scored);
  printVerdict(a->gscore, a->nmatched, scored->gscore, scored->nmatched);
  trel_freeAlign(scored);
  return T;
}

void resetWeights(_trel_align* a) {
  if (!a || !a->columns) return;
  for (int j = 0; j < a->ncolumns; j++)
    if (a->columns[j].score > 0.9f) a->columns[j].score = 0.25f;
}
