// Trace building: local frames, chain breaks, cut points and neighbour points
// of every residue of a structure image, then the secondary structure and,
// when asked, the per-slot statistics of the neighbour points.
#include <algorithm>
#include <vector>

#include "align/trel_backbone.h"
#include "align/trel_globals.h"
#include "align/trel_trace.h"
#include "geometry/zam_frame.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Consecutive CA atoms further apart than 5.7 A are a chain break.
constexpr double kBreak2 = 32.49;
// A CB this close (squared) to the coordinate origin was never read.
constexpr double kNoCb2 = 0.001;
// Residues tested by the cut searches, and the fallback reach.
constexpr int kCutReach = 30;
// Half-width of the local centre-of-mass window.
constexpr int kLcmHalf = 15;

// Ideal CB of a residue in its own frame (glycine and missing CB).
constexpr Point3D kIdealCb{-0.71, 1.13, 0.49};

// The five backbone atoms of one residue.
struct Atoms5 {
  Point3D ca, n, c, o, cb;
};

Atoms5 residueAtoms(const _pdb_peptide* pep, int i, const Matrix3D& frame) {
  return Atoms5{pt_tfpt(frame, pep->ca[i]), pt_tfpt(frame, pep->n[i]), pt_tfpt(frame, pep->c[i]),
                pt_tfpt(frame, pep->o[i]), pt_tfpt(frame, pep->cb[i])};
}

// A cut point: the chosen CA flattened into the frame's x-y plane when the
// search found one, else the fallback CA as it stands; g_equator long.
Point3Df cutPoint(int found, int fallback, const Matrix3D& frame, const _pdb_peptide* pep) {
  Point3D p = pt_tfpt(frame, pep->ca[found >= 0 ? found : fallback]);
  if (found >= 0) p.z = 0.0;
  return ptf_pt(v_magv(p, g_equator));
}

// T, P and V points of one neighbour seen from the residue whose moved
// centre is c.
void neighbourPoints(const Atoms5& a, Point3D c, Point3D* t, Point3D* p, Point3D* v) {
  *t = a.ca;
  const Point3D side = cross_product(v_sub(a.n, a.c), cross_product(a.c, a.ca));
  *p = v_add(a.c, v_magv(side, g_equator));
  *v = v_add(a.ca, v_magv(v_sub(c, a.ca), g_lambda));
}

void logStats(const char* label, const Point3D* mean, const Point3D* sd) {
  for (int s = 0; s < 8; s++)
    zam_log("%s%2.2d = [%7.3lf, %7.3lf, %7.3lf], SD = [%7.3lf, %7.3lf, %7.3lf] = %7.3lf\n", label,
            s + 1, mean[s].x, mean[s].y, mean[s].z, sd[s].x, sd[s].y, sd[s].z, mag_vector(sd[s]));
}

}  // namespace

void trel_loadTrace(_pdb_image* image, Point3D centre, int stats, int warn, _trel_trace* trace) {
  if (!trace) return;
  trel_wipeTrace(trace);
  if (!image || image->nres <= 0 || !image->residues) return;
  const int n = image->nres;
  trace->n = n;
  trace->seg = static_cast<_trel_seg*>(kget1B_0(static_cast<int64_t>(n) * static_cast<int64_t>(sizeof(_trel_seg))));
  _trel_seg* seg = trace->seg;

  // Frames; incomplete residues become an ideal residue at the origin.
  _pdb_peptide* pep = zam_makePdbPep(image);
  std::vector<Matrix3D> frames(n);
  for (int i = 0; i < n; i++) {
    if (pep->sse[i] == 'D') {
      // The ideal strand residue of the backbone builder, at the origin.
      pep->ca[i] = pt_beta_0_ca;
      pep->n[i] = pt_beta_0_n;
      pep->c[i] = pt_beta_0_c;
      pep->o[i] = pt_beta_0_o;
      frames[i] = tf_identity();
    } else {
      frames[i] = tf_origin_negz_posx(pep->ca[i], pep->c[i], pep->n[i]);
    }
  }

  for (int i = 0; i < n; i++) {
    seg[i].code = pep->code[i];
    seg[i].sse = pep->sse[i];
    if (pep->code[i] == 'G' || square_vector(pep->cb[i]) < kNoCb2)
      pep->cb[i] = pt_tfpt(tf_inverse(frames[i]), kIdealCb);
  }

  // Stand-ins for the neighbours beyond each end: the first residue as seen
  // from residues 1..4, the last as seen from residues n-2..n-5.
  Atoms5 head[4], tail[4];
  for (int j = 0; j < 4; j++) {
    head[j] = residueAtoms(pep, 0, frames[std::min(j + 1, n - 1)]);
    tail[j] = residueAtoms(pep, n - 1, frames[std::max(n - 2 - j, 0)]);
  }

  seg[0].break_before = 1;
  seg[n - 1].break_after = 1;
  for (int i = 1; i < n; i++) {
    if (d2_ptpt(pep->ca[i - 1], pep->ca[i]) <= kBreak2) continue;
    seg[i].break_before = 1;
    seg[i - 1].break_after = 1;
    if (warn) {
      const _pdb_residue& a = image->residues[i - 1];
      const _pdb_residue& b = image->residues[i];
      zam_wrn("Chain break %s:%s-%s <--> %s:%s-%s in file %s\n", a.chain, a.code, a.resnum, b.chain,
              b.code, b.resnum, image->name ? image->name : "");
    }
  }

  // Slot points of every residue, kept for the statistics.
  std::vector<Point3D> tpts, ppts, vpts;
  if (stats) {
    tpts.resize(8 * static_cast<size_t>(n));
    ppts.resize(8 * static_cast<size_t>(n));
    vpts.resize(8 * static_cast<size_t>(n));
  }
  int count[8] = {0, 0, 0, 0, 0, 0, 0, 0};

  for (int i = 0; i < n; i++) {
    const Matrix3D& f = frames[i];
    _trel_seg& r = seg[i];
    const Point3D c = pt_tfpt(f, centre);

    r.ncut = cutPoint(get_ncut(i, n, kCutReach, f, pep), std::min(i + kCutReach, n - 1), f, pep);
    r.ccut = cutPoint(get_ccut(i, n, kCutReach, f, pep), std::max(i - kCutReach, 0), f, pep);

    if (zam_debug >= 3) {
      const Atoms5 own = residueAtoms(pep, i, f);
      zam_log("Segment = %d, code = %c\n", i, r.code);
      zam_log("CA = [%8.4f, %8.4f, %8.4f]\n", own.ca.x, own.ca.y, own.ca.z);
      zam_log("N  = [%8.4f, %8.4f, %8.4f]\n", own.n.x, own.n.y, own.n.z);
      zam_log("C  = [%8.4f, %8.4f, %8.4f]\n", own.c.x, own.c.y, own.c.z);
      zam_log("O  = [%8.4f, %8.4f, %8.4f]\n", own.o.x, own.o.y, own.o.z);
      zam_log("CB = [%8.4f, %8.4f, %8.4f]\n", own.cb.x, own.cb.y, own.cb.z);
    }

    for (int d = 1; d <= 4; d++) {
      const Atoms5 fwd = i + d < n ? residueAtoms(pep, i + d, f) : tail[d - 1];
      const Atoms5 bwd = i - d >= 0 ? residueAtoms(pep, i - d, f) : head[d - 1];
      const Atoms5* side[2] = {&fwd, &bwd};
      for (int k = 0; k < 2; k++) {
        const int s = 2 * (d - 1) + k;
        Point3D t, p, v;
        neighbourPoints(*side[k], c, &t, &p, &v);
        r.t[s] = ptf_pt(t);
        r.v[s] = ptf_pt(v);
        count[s]++;
        if (stats) {
          tpts[static_cast<size_t>(s) * n + i] = t;
          ppts[static_cast<size_t>(s) * n + i] = p;
          vpts[static_cast<size_t>(s) * n + i] = v;
        }
      }
    }

    const Point3D a = i + 2 < n ? pt_tfpt(f, pep->ca[i + 2]) : tail[i - n + 2].ca;
    const Point3D b = i >= 2 ? pt_tfpt(f, pep->ca[i - 2]) : head[1 - i].ca;
    r.axis = ptf_pt(v_unit(v_sub(a, b)));
  }

  assignTraceSSEs(image, pep, frames.data(), trace);

  if (stats) {
    for (int s = 0; s < 8; s++) {
      const int cnt = count[s];
      if (cnt <= 0) continue;
      trace->count[s] = cnt;
      const Point3D* ts = &tpts[static_cast<size_t>(s) * n];
      const Point3D* ps = &ppts[static_cast<size_t>(s) * n];
      const Point3D* vs = &vpts[static_cast<size_t>(s) * n];
      trace->t_mean[s] = pt_average(cnt, ts);
      trace->p_mean[s] = pt_average(cnt, ps);
      trace->v_mean[s] = pt_average(cnt, vs);
      if (cnt > 1) {
        trace->t_sd[s] = pt_stddev(cnt, ts, trace->t_mean[s]);
        trace->p_sd[s] = pt_stddev(cnt, ps, trace->p_mean[s]);
        trace->v_sd[s] = pt_stddev(cnt, vs, trace->v_mean[s]);
      }
    }
    if (zam_debug >= 3) {
      logStats("T", trace->t_mean, trace->t_sd);
      zam_log("\n");
      logStats("P", trace->p_mean, trace->p_sd);
      zam_log("\n");
      logStats("V", trace->v_mean, trace->v_sd);
    }
  }

  zam_freePdbPep(pep);
}

int get_ncut(int i, int n, int /*limit*/, Matrix3D frame, const _pdb_peptide* pep) {
  if (!pep || i > n) return -1;
  int tested = 0;
  for (int j = i - 1; j >= 0 && tested < kCutReach; j--) {
    if (pep->sse[j] == 'D') continue;
    tested++;
    if (pt_tfpt(frame, pep->ca[j]).z < 0.0) return j;
  }
  return -1;
}

int get_ccut(int i, int n, int /*limit*/, Matrix3D frame, const _pdb_peptide* pep) {
  if (!pep || i >= n - 1) return -1;
  int tested = 0;
  for (int j = std::max(i + 1, 0); j < n && tested < kCutReach; j++) {
    if (pep->sse[j] == 'D') continue;
    tested++;
    if (pt_tfpt(frame, pep->ca[j]).z > 0.0) return j;
  }
  return -1;
}

Point3D get_lcm(int i, int n, int /*width*/, Matrix3D frame, const _pdb_peptide* pep) {
  if (!pep || i - kLcmHalf < 0 || i + kLcmHalf >= n) return pt_zero();
  Point3D sum = pt_zero();
  int used = 0;
  for (int j = i - kLcmHalf; j <= i + kLcmHalf; j++) {
    if (pep->sse[j] == 'D') continue;
    sum = v_add(sum, pep->ca[j]);
    used++;
  }
  if (used == 0) return pt_zero();
  return pt_tfpt(frame, v_scale(sum, 1.0 / used));
}
