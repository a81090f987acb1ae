// The layouts that fold each separation's translation into the S and Y
// tables (sm_load) once, so that the receptor's rotation comes after it:
// the 3X body (the 3-D grid, the receptor turned through its Wigner
// matrices) and the 5-D body (the receptor's beta and gamma on transform
// axes too). See zam_sixd_cpu.h for the sums.
#include <algorithm>
#include <cmath>
#include <vector>

#include "harmonics/zam_zlm.h"
#include "matching/zam_dft.h"
#include "matching/zam_distance_code.h"
#include "matching/zam_sixd_cpu.h"
#include "matching/zam_sixd_tables.h"
#include "matching/zam_sixd_work.h"
#include "runtime/zam_vm.h"

using namespace sixd_work;

namespace {

// A worker's S and Y tables with the complex vectors of both sides and the
// translation matrices of the last separation.
struct Tables {
  const _sixd_worker* w;
  int N, L, side, tri;
  int* s_map = nullptr;
  double* S = nullptr;
  int* y_map = nullptr;
  double* Y = nullptr;
  std::vector<double> a, b, slice;
  ZamTm3_struct tm;
  int did = -1;
  bool ok = false;

  explicit Tables(const _sixd_worker* rec)
      : w(rec), N(rec->N), L(rec->N - 1), side(rec->N * rec->N), tri(rec->N * (rec->N + 1) / 2),
        a(2 * (size_t)rec->n_vec * anlm_size(rec->N)), b(a.size()),
        slice((size_t)rec->n_vec * tm3_dim(rec->N - 1)) {
    const _sixd_search_state& s = zam_sixd_state;
    const int64_t K = anlm_size(N);
    zam_tm3_init(&tm);
    sm_make(L, &s_map, &S);
    ym_make(L, N, &y_map, &Y);
    // The receptor first + i second, the ligand second + i first, as in the
    // 3-D layout.
    for (int c = 0; c < w->n_vec; c++) {
      qnlm_abnlm(N, s.anlm_phi_base + c * K, s.anlm_rho_base + c * K, &a[2 * c * K]);
      qnlm_abnlm(N, s.bnlm_rho_base + c * K, s.bnlm_phi_base + c * K, &b[2 * c * K]);
    }
  }
  ~Tables() {
    zam_tm3_free(&tm);
    zam_vm_free(s_map);
    zam_vm_free(S);
    zam_vm_free(y_map);
    zam_vm_free(Y);
  }
  Tables(const Tables&) = delete;
  Tables& operator=(const Tables&) = delete;

  bool usable() const { return s_map && S && y_map && Y; }

  // S for distance code d (the receptor moved by -R); false when a
  // translation matrix could not be made (reported, the pass marked failed).
  bool load(int d) {
    if (d == did) return ok;
    const _sixd_search_state& s = zam_sixd_state;
    const double R = zam_r12_did(d);
    const int t3 = tm3_dim(N - 1);
    did = d;
    ok = true;
    for (int c = 0; c < w->n_vec && ok; c++) {
      const double* T = zam_tm3_get(N, s.vec_types ? s.vec_types[c] : 1, &tm, -R);
      if (T)
        std::copy(T, T + t3, &slice[(size_t)c * t3]);
      else
        ok = false;
    }
    if (ok) sm_load(L, N, w->n_vec, slice.data(), a.data(), b.data(), s_map, S, y_map, Y);
    if (!ok && w->failed) w->failed->store(1);
    return ok;
  }

  // S[j q l m v] for |v| = v.
  const double* at(int j, int q, int l, int m, int v) const {
    return S + 2 * ((int64_t)s_map[(j * j + j + q) * side + l * l + l + m] + v);
  }
};

// Multiply-adds of the phases, in millions, and their rate.
int millions(double n) { return (int)(n / 1e6); }
int rate(double n, double t) { return (int)(n / 1e6 / std::max(t, 1e-6)); }

}  // namespace

void* zam_run_3x_cpu_thread(void* arg) {
  const auto* w = static_cast<const _sixd_worker*>(arg);
  int item = zam_thread_pop_list();
  if (item < 0) return worker_exit();  // nothing left: skip the set-up
  const int N = w->N, L = N - 1;
  const int M1 = w->dims[0], M2 = w->dims[1], M3 = w->dims[2], S = lm_row(L);
  double t_phase1 = 0.0, t_phase2 = 0.0, n_phase1 = 0.0, n_phase2 = 0.0, t_gf = 0.0;
  _scan_block block{};
  Tables tab(w);
  // Axes beta, alpha, gamma: the scanned twist last.
  const int dims[3] = {M2, M3, M1};
  const int stride[3] = {1, M3 * M1, M1};
  GridFrame grid(w, dims, tab.usable());
  std::vector<double> d(lm_row(L)), P(2 * (size_t)S), ev(2 * (size_t)(2 * L + 1)), eq(ev.size());
  std::vector<float> Pf(2 * (size_t)S);

  for_each_code(w, item, &block, grid.plan != nullptr, true, [&](int64_t code, double) {
    const int did = sixd_code_did(code), r = sixd_code_rec(code);
    double t0 = stage_time();
    if (did != tab.did) n_phase1 += (double)S * N * N * w->n_vec;
    if (!tab.load(did)) return 0.0;
    t_phase1 += seconds_since(t0);

    // P[l][v][m] = sum over j >= |v|, q of conj(D^j_vq(Rr)) S[j q l m |v|],
    // conj(D^j_vq) = e^(i v alpha) d^j_vq(beta) e^(i q gamma).
    t0 = stage_time();
    const Euler e = receptor_rotation(r);
    dljm_all(L, d.data(), e.beta);
    for (int u = -L; u <= L; u++) {
      ev[2 * (u + L)] = std::cos(u * e.alpha);
      ev[2 * (u + L) + 1] = std::sin(u * e.alpha);
      eq[2 * (u + L)] = std::cos(u * e.gamma);
      eq[2 * (u + L) + 1] = std::sin(u * e.gamma);
    }
    std::fill(P.begin(), P.end(), 0.0);
    for (int l = 0; l <= L; l++) {
      const int wl = 2 * l + 1, base = l * (4 * l * l - 1) / 3;
      for (int v = -l; v <= l; v++) {
        double* row = &P[2 * (base + (v + l) * wl + l)];
        const int av = std::abs(v);
        for (int j = av; j <= L; j++) {
          const double* dj = &d[j * (4 * j * j - 1) / 3 + (v + j) * (2 * j + 1) + j];
          for (int q = -j; q <= j; q++) {
            const double ar = ev[2 * (v + L)], ai = ev[2 * (v + L) + 1];
            const double br = eq[2 * (q + L)], bi = eq[2 * (q + L) + 1];
            const double cr = dj[q] * (ar * br - ai * bi), ci = dj[q] * (ar * bi + ai * br);
            for (int m = -l; m <= l; m++) {
              const double* z = tab.at(j, q, l, m, av);
              row[2 * m] += cr * z[0] - ci * z[1];
              row[2 * m + 1] += cr * z[1] + ci * z[0];
            }
            n_phase2 += wl;
          }
        }
      }
    }
    zd2zf(S, P.data(), Pf.data());
    t_phase2 += seconds_since(t0);
    t0 = stage_time();
    sixd_fill_3d(w, Pf.data(), grid.plan->work, stride);
    t_gf += seconds_since(t0);

    grid.transform();
    // Lowest value along the gamma axis for every (beta, alpha); the first wins ties.
    grid.timed_scan([&](const float* real) {
      for (int ab = 0; ab < M2 * M3; ab++) {
        const float* turn = real + (int64_t)ab * M1;
        const int j = lowest(M1, turn);
        if (sixd_keeps(turn[j])) push_scan(&block, sixd_code(did, r, ab, j), turn[j]);
      }
    });
    return (double)M1 * M2 * M3;
  });
  if (zam_debug >= 1) {
    zam_msg("CPU %2d: GF phase-1: %dM in %.2fs (%dM/s).\n", w->cpu, millions(n_phase1), t_phase1,
            rate(n_phase1, t_phase1));
    zam_msg("CPU %2d: GF phase-2: %dM in %.2fs (%dM/s).\n", w->cpu, millions(n_phase2), t_phase2,
            rate(n_phase2, t_phase2));
  }
  // The translation is the loading of the S tables, the products phase 2
  // and the filling of the grid.
  grid.say_done(t_phase1, t_phase2 + t_gf);
  return worker_exit();
}

void* zam_run_5d_cpu_thread(void* arg) {
  const auto* w = static_cast<const _sixd_worker*>(arg);
  int item = zam_thread_pop_list();
  if (item < 0) return worker_exit();  // nothing left: skip the set-up
  const int N = w->N, L = N - 1, W = 2 * L + 1;
  const int M1 = w->dims[0], M2 = w->dims[1], M3 = w->dims[2], Mr = w->rdims[0], Mg = w->rdims[1];
  const double t_start = stage_time();
  double t_phase1 = 0.0, t_phase2 = 0.0, n_phase1 = 0.0, n_phase2 = 0.0, ffts = 0.0;
  _scan_block block{};
  Tables tab(w);
  // Axes receptor beta, receptor gamma, beta, alpha, gamma: the twist last.
  const int dims[5] = {Mr, Mg, M2, M3, M1};
  _DftPlan* plan = tab.usable() ? zam_dft_open(ZAM_DFT_C2R, ZAM_DFT_BACKWARD, 5, dims) : nullptr;
  if (!plan && w->failed) w->failed->store(1);
  // One beta row's sums over the degree l: F[j][q][v][m].
  std::vector<double> F(2 * (size_t)N * N * W * W);
  const int vmax = std::min(L, w->band[0]), mmax = std::min(L, w->band[1]), qmax = std::min(L, w->rband);
  const int64_t points = (int64_t)Mr * Mg * M2 * M3;

  for_each_code(w, item, &block, plan != nullptr, false, [&](int64_t code, double R) {
    const int did = sixd_code_did(code);
    if (zam_debug >= 1) zam_msg("CPU %2d: R = %.2f did = %d\n", w->cpu, R, did);
    double t0 = stage_time();
    if (!tab.load(did)) return 0.0;
    const double t_tables = seconds_since(t0);
    std::fill(plan->work, plan->work + 2 * plan->size, 0.0f);
    const double t_e = stage_time();
    for (int t = 0; t < M2; t++) {
      // Phase 1: F[j][q][v][m] = sum over l of L[t][v][m][l] S[j q l m |v|].
      t0 = stage_time();
      for (int j = 0; j <= L; j++)
        for (int q = -j; q <= j; q++)
          for (int v = -std::min(j, vmax); v <= std::min(j, vmax); v++)
            for (int m = -mmax; m <= mmax; m++) {
              const float* lt = w->L0 + 2 * ((((int64_t)t * W + v + L) * W + m + L) * N);
              double fr = 0.0, fi = 0.0;
              for (int l = std::max(std::abs(v), std::abs(m)); l <= L; l++) {
                const double* z = tab.at(j, q, l, m, std::abs(v));
                fr += lt[2 * l] * z[0] - lt[2 * l + 1] * z[1];
                fi += lt[2 * l] * z[1] + lt[2 * l + 1] * z[0];
              }
              double* f = &F[2 * ((((int64_t)(j * j + j + q)) * W + v + L) * W + m + L)];
              f[0] = fr;
              f[1] = fi;
              n_phase1 += L + 1 - std::max(std::abs(v), std::abs(m));
            }
      t_phase1 += seconds_since(t0);
      // Phase 2: at (tr, q, t, m, v) the sum over j of Lr[tr][q][v][j] F[j][q][v][m].
      t0 = stage_time();
      for (int tr = 0; tr < Mr; tr++)
        for (int q = -qmax; q <= qmax; q++) {
          const int g = ((q % Mg) + Mg) % Mg;
          float* plane = plan->work + 2 * ((((int64_t)tr * Mg + g) * M2 + t) * M3 * M1);
          for (int v = -vmax; v <= vmax; v++) {
            const int iv = ((v % M1) + M1) % M1;
            const float* lr = w->L0r + 2 * ((((int64_t)tr * W + q + L) * W + v + L) * N);
            const int j0 = std::max(std::abs(q), std::abs(v));
            for (int m = -mmax; m <= mmax; m++) {
              double er = 0.0, ei = 0.0;
              for (int j = j0; j <= L; j++) {
                const double* f = &F[2 * ((((int64_t)(j * j + j + q)) * W + v + L) * W + m + L)];
                er += lr[2 * j] * f[0] - lr[2 * j + 1] * f[1];
                ei += lr[2 * j] * f[1] + lr[2 * j + 1] * f[0];
              }
              float* out = plane + 2 * ((int64_t)(((m % M3) + M3) % M3) * M1 + iv);
              out[0] += (float)er;
              out[1] += (float)ei;
              n_phase2 += L + 1 - j0;
            }
          }
        }
      t_phase2 += seconds_since(t0);
    }
    if (zam_debug >= 1) zam_msg("E[pqmuv] %.2fs.\n", t_tables + seconds_since(t_e));

    zam_dft_execute(plan);
    ffts += 1.0;

    // Lowest value along the twist for every other point; the first wins ties.
    for (int64_t p = 0; p < points; p++) {
      const float* turn = plan->real + p * M1;
      const int j = lowest(M1, turn);
      if (sixd_keeps(turn[j]))
        push_scan(&block, sixd_code(did, (int)(p / (M2 * M3)), (int)(p % (M2 * M3)), j), turn[j]);
    }
    return (double)points * M1;
  });
  zam_dft_close(plan);
  if (zam_debug >= 1) {
    const double dt = std::max(seconds_since(t_start), 1e-8);
    const double of = ffts * points * M1;
    zam_msg("CPU %2d: GF phase-1: %dM in %.2fs (%dM/s) phase-2: %dM in %.2fs (%dM/s).\n", w->cpu,
            millions(n_phase1), t_phase1, rate(n_phase1, t_phase1), millions(n_phase2), t_phase2,
            rate(n_phase2, t_phase2));
    zam_msg("CPU %2d: Done %d 5D FFTs for %.0f orientations in %.2fs (%.0f/s).\n", w->cpu, (int)ffts, of, dt,
            of / dt);
  }
  return worker_exit();
}
