// H-, A-, B- and Q-scores of an alignment and the backbone torsion table.
#include "align/trel_extra_scores.h"

#include <algorithm>
#include <cmath>

#include "align/trel_fit.h"
#include "geometry/zam_geom.h"
#include "runtime/kids.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Mark of an angle that cannot be formed: 2 pi in single precision.
constexpr float kUndefined = 6.2831855f;

// Sum of the G-scores of np squared distances, in double.
double gsum(int np, const double* d2) {
  double s = 0.0;
  for (int k = 0; k < np; k++) s += getGscore((float)d2[k]);
  return s;
}

// The A-score normalisation of a G-sum: the length-balance factor over the
// shorter chain, capped at 1.
float balanced(int n, int m, double G) {
  double nn = n, mm = m;
  double f = std::sqrt(2.0 * nn * mm / (nn * nn + mm * mm));
  return (float)std::min(f * G / std::min(nn, mm), 1.0);
}

}  // namespace

float trel_HscoreAlign(int n, int m, int np, const double* d2) {
  if (np <= 0 || n <= 0 || m <= 0 || !d2) return 0.0f;
  float r = 1.0f / std::sqrt((float)n * (float)m);
  return (float)(gsum(np, d2) * r);
}

float zam_AscoreAlign(int n, int m, int np, const double* d2) {
  if (np <= 0 || n <= 0 || m <= 0 || !d2) return 0.0f;
  return balanced(n, m, gsum(np, d2));
}

float trel_BscoreAlign(int n, int m, int np, const int* qidx, const int* tidx, const Point3D* qpts,
                       const Point3D* tpts) {
  if (np <= 0 || n <= 0 || m <= 0 || !qidx || !tidx || !qpts || !tpts) return 0.0f;
  double G = 0.0;
  for (int k = 0; k < np; k++) {
    int i = qidx[k], j = tidx[k];
    if (i < 0 || i >= n || j < 0 || j >= m) continue;
    double d2 = d2_ptpt_inline(qpts[i], tpts[j]);
    if (i > 0 && i < n - 1 && j > 0 && j < m - 1)
      d2 += d2_ptpt_inline(qpts[i - 1], tpts[j - 1]) + d2_ptpt_inline(qpts[i + 1], tpts[j + 1]);
    G += getGscore((float)d2);
  }
  return balanced(n, m, G);
}

float trel_QscoreAlign(int n, int m, int np, float rmsd) {
  if (n <= 0 || m <= 0) return 0.0f;
  double r = rmsd / 3.0;
  return (float)((double)np * np / ((double)n * m * (1.0 + r * r)));
}

void trel_makeTorsion(const _pdb_image* image, _trel_torsion* torsion) {
  if (!torsion) return;
  trel_freeTorsion(torsion);
  if (!image || image->nres <= 0) return;
  _pdb_peptide* p = zam_makePdbPep(image);
  if (!p) return;
  const int n = image->nres;
  torsion->phi = kget1F_0(n);
  torsion->psi = kget1F_0(n);
  torsion->ca = kget1F_0(n);
  torsion->turn = kget1F_0(n);
  for (int i = 0; i < n; i++) {
    torsion->phi[i] = i >= 1 ? (float)a_ptptptpt(p->c[i - 1], p->n[i], p->ca[i], p->c[i]) : kUndefined;
    torsion->psi[i] =
        i + 1 < n ? (float)a_ptptptpt(p->n[i], p->ca[i], p->c[i], p->n[i + 1]) : kUndefined;
    if (i > 0 && i + 2 < n)
      torsion->ca[i] = (float)a_ptptptpt(p->ca[i - 1], p->ca[i], p->ca[i + 1], p->ca[i + 2]);
    if (i > 0 && i < n - 1)
      torsion->turn[i] = (float)a_vv(v_unit(v_ptpt(p->c[i], p->o[i])),
                                     v_unit(v_ptpt(p->c[i + 1], p->o[i + 1])));
  }
  zam_freePdbPep(p);
}

void trel_freeTorsion(_trel_torsion* torsion) {
  if (!torsion) return;
  float** arrays[4] = {&torsion->phi, &torsion->psi, &torsion->ca, &torsion->turn};
  for (float** a : arrays) {
    if (*a) kfree(*a);
    *a = nullptr;
  }
}
