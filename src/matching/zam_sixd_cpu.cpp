#include "matching/zam_sixd_cpu.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_wigner.h"
#include "harmonics/zam_zlm.h"
#include "matching/zam_dft.h"
#include "matching/zam_distance_code.h"
#include "matching/zam_fft.h"
#include "matching/zam_kft.h"
#include "matching/zam_sixd_store.h"
#include "matching/zam_sixd_tables.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

namespace {

constexpr double kTwoPi = 6.28318530717958647692;

Euler inverse_euler(Euler e) { return e_make(-e.gamma, -e.beta, -e.alpha); }

// The receptor rotation of active sample r: its first rotation (a second
// one, when the table has it, follows the translation).
Euler receptor_rotation(int r) {
  const _sixd_search_state& s = zam_sixd_state;
  return s.rrot1[s.ract2all ? s.ract2all[r] : r];
}
Euler receptor_second(int r) {
  const _sixd_search_state& s = zam_sixd_state;
  return s.rrot2 ? s.rrot2[s.ract2all ? s.ract2all[r] : r] : e_make(0.0, 0.0, 0.0);
}

// A worker's own translation and rotation records and work arrays.
struct Scorer {
  ZamTm3_struct tm;
  ZamRm3_struct rm;
  std::vector<double> x, y;  // 2 x n_vec x K: first arrays then second
  Scorer(int N, int n_vec) : x(2 * (size_t)n_vec * anlm_size(N)), y(x.size()) {
    zam_tm3_init(&tm);
    zam_rm3_init(&rm);
  }
  ~Scorer() {
    zam_tm3_free(&tm);
    zam_rm3_free(&rm);
  }
  Scorer(const Scorer&) = delete;
  Scorer& operator=(const Scorer&) = delete;
};

// Score of the receptor arrays a (first, second; already turned by Rr)
// translated by -R, turned by Rl^-1 and laid on the ligand arrays b.
double pose_score(Scorer& sc, int N, int n_vec, const double* a_phi, const double* a_rho, double R, Euler lig,
                  const double* b_phi, const double* b_rho) {
  const _sixd_search_state& s = zam_sixd_state;
  const int64_t K = anlm_size(N), n = n_vec * K;
  const Euler back = inverse_euler(lig);
  if (!zam_trm3_apply(N, n_vec, s.vec_types, &sc.tm, &sc.rm, a_phi, back, sc.x.data(), -R) ||
      !zam_trm3_apply(N, n_vec, s.vec_types, &sc.tm, &sc.rm, a_rho, back, sc.x.data() + n, -R))
    return std::numeric_limits<double>::quiet_NaN();
  double E = 0.0;
  for (int c = 0; c < n_vec; c++)
    E += anlm_dot(N, sc.x.data() + c * K, b_rho + c * K) + anlm_dot(N, sc.x.data() + n + c * K, b_phi + c * K);
  return E;
}

// P[l][v][m] += sum over n of conj(A(n,l,v)) B(n,l,m), complex pairs, block
// l at l(4l^2-1)/3 (rows v, columns m).
void add_products(int N, const double* A, const double* B, double* P) {
  for (int l = 0; l < N; l++) {
    const int w = 2 * l + 1;
    double* blk = P + 2 * (l * (4 * l * l - 1) / 3);
    for (int n = l + 1; n <= N; n++) {
      const double* a = A + 2 * anlm_index(n, l, -l);
      const double* b = B + 2 * anlm_index(n, l, -l);
      for (int v = 0; v < w; v++) {
        const double ar = a[2 * v], ai = -a[2 * v + 1];
        double* row = blk + 2 * v * w;
        for (int m = 0; m < w; m++) {
          row[2 * m] += ar * b[2 * m] - ai * b[2 * m + 1];
          row[2 * m + 1] += ar * b[2 * m + 1] + ai * b[2 * m];
        }
      }
    }
  }
}

// The workers' stage times are printed only at debug level 1 and up; below
// that the clock, which the loops read around every pose, is not read.
double stage_time() { return zam_debug >= 1 ? zam_get_time() : 0.0; }
double seconds_since(double t0) { return stage_time() - t0; }

// Ends a worker body: reports the worker done and leaves its thread.
void* worker_exit() {
  sixd_worker_done();
  zam_thread_exit();
  return nullptr;
}

// The ligand rotation of a pose whose receptor sample has a second rotation
// e2 (applied after the translation): the ligand goes onto the receptor by
// Rr^-1 Tz(R) e2^-1 Rl, so e2^-1 joins the ligand side.
Euler with_second(int r, Euler lig) {
  if (!zam_sixd_state.rrot2) return lig;
  return euler_tf(tf_tftf(tf_euler(lig), tf_transpose(tf_euler(receptor_second(r)))));
}

}  // namespace

void* zam_run_3d_cpu_thread(void* arg) {
  const auto* w = static_cast<const _sixd_worker*>(arg);
  int item = zam_thread_pop_list();
  if (item < 0) return worker_exit();  // nothing left: skip the set-up
  const _sixd_search_state& s = zam_sixd_state;
  const int N = w->N, n_vec = w->n_vec, L = N - 1;
  const int64_t K = anlm_size(N), n = n_vec * K;
  const int M1 = w->dims[0], M2 = w->dims[1], M3 = w->dims[2], S = lm_row(L);
  const double t_start = stage_time();
  double t_tran = 0.0, t_gf = 0.0, t_fft = 0.0, t_scan = 0.0, ffts = 0.0;

  _scan_block block{};
  Scorer sc(N, n_vec);
  _DftPlan* plan = zam_dft_open(ZAM_DFT_C2R, ZAM_DFT_BACKWARD, 3, w->dims);
  // Without a plan no code can be scored: the pass fails rather than
  // reporting an empty result as a complete search.
  if (!plan && w->failed) w->failed->store(1);
  // Ligand complex vectors (second + i first), made once.
  std::vector<double> B(2 * (size_t)n), A(2 * (size_t)K), P(2 * (size_t)S);
  std::vector<float> Pf(2 * (size_t)S);
  for (int c = 0; c < n_vec; c++) qnlm_abnlm(N, s.bnlm_rho_base + c * K, s.bnlm_phi_base + c * K, &B[2 * c * K]);
  std::vector<float> best((size_t)M2 * M3);
  std::vector<int> where((size_t)M2 * M3);
  // Position on the alpha axis of m = -L..L, wrapped once here rather than in the inner loop.
  std::vector<int> alpha_at(2 * (size_t)L + 1);
  for (int m = -L; m <= L; m++) alpha_at[m + L] = ((m % M3) + M3) % M3;
  double R_last = std::numeric_limits<double>::quiet_NaN();

  for (; item >= 0; item = zam_thread_pop_list()) {
    double orientations = 0.0;
    const int64_t* slice = w->codes + (int64_t)item * w->per_item;
    for (int k = 0; k < w->per_item; k++) {
      const int64_t code = slice[k];
      if (code == ZAM_SIXD_HOLE || code == ZAM_SIXD_END || !plan) continue;
      const int did = sixd_code_did(code), r = sixd_code_rec(code);
      const double R = zam_r12_did(did);
      if (R != R_last && zam_debug >= 1) zam_msg("CPU %2d: R = %.2f\n", w->cpu, R);
      R_last = R;

      // Receptor of sample r moved by -R (and its second rotation).
      double t0 = stage_time();
      const double* a_phi = s.anlm_phi_rot + r * n;
      const double* a_rho = s.anlm_rho_rot + r * n;
      const Euler e2 = receptor_second(r);
      if (!zam_trm3_apply(N, n_vec, s.vec_types, &sc.tm, &sc.rm, a_phi, e2, sc.x.data(), -R) ||
          !zam_trm3_apply(N, n_vec, s.vec_types, &sc.tm, &sc.rm, a_rho, e2, sc.x.data() + n, -R)) {
        // Reported by the translation code; the search then reports failure.
        if (w->failed) w->failed->store(1);
        continue;
      }
      t_tran += seconds_since(t0);

      // Products over the terms, narrowed to single precision.
      t0 = stage_time();
      std::fill(P.begin(), P.end(), 0.0);
      for (int c = 0; c < n_vec; c++) {
        qnlm_abnlm(N, sc.x.data() + c * K, sc.x.data() + n + c * K, A.data());
        add_products(N, A.data(), &B[2 * c * K], P.data());
      }
      zd2zf(S, P.data(), Pf.data());
      float* work = plan->work;
      std::fill(work, work + 2 * plan->size, 0.0f);
      for (int l = 0; l <= L; l++) {
        const int wl = 2 * l + 1, base = l * (4 * l * l - 1) / 3;
        const int vmax = std::min(l, w->band[0]), mmax = std::min(l, w->band[1]);
        for (int v = -vmax; v <= vmax; v++) {
          const int iv = ((v % M1) + M1) % M1;
          const float* p = &Pf[2 * (base + (v + l) * wl + l)];
          for (int t = 0; t < M2; t++) {
            const float* lt = w->L + 2 * ((int64_t)t * S + base + (v + l) * wl + l);
            float* out = work + 2 * ((int64_t)iv * M2 + t) * M3;
            for (int m = -mmax; m <= mmax; m++) {
              const int im = alpha_at[m + L];
              const float lr = lt[2 * m], li = lt[2 * m + 1], pr = p[2 * m], pi = p[2 * m + 1];
              out[2 * im] += lr * pr - li * pi;
              out[2 * im + 1] += lr * pi + li * pr;
            }
          }
        }
      }
      t_gf += seconds_since(t0);

      t0 = stage_time();
      zam_dft_execute(plan);
      t_fft += seconds_since(t0);
      ffts += 1.0;
      if (zam_debug > 1 && r == 0) zam_msg("F[0] = %.4f.\n", plan->real[0]);

      // Lowest value along the gamma axis for every (beta, alpha); the first wins ties.
      t0 = stage_time();
      const float* real = plan->real;
      std::copy(real, real + (int64_t)M2 * M3, best.begin());
      std::fill(where.begin(), where.end(), 0);
      for (int j = 1; j < M1; j++) {
        const float* plane = real + (int64_t)j * M2 * M3;
        for (int ab = 0; ab < M2 * M3; ab++)
          if (plane[ab] < best[ab]) {
            best[ab] = plane[ab];
            where[ab] = j;
          }
      }
      for (int ab = 0; ab < M2 * M3; ab++)
        if (sixd_keeps(best[ab])) push_scan(&block, sixd_code(did, r, ab, where[ab]), best[ab]);
      t_scan += seconds_since(t0);
      orientations += (double)M1 * M2 * M3;
    }
    end_scan_item(&block, (float)orientations, w->progress);
  }
  zam_dft_close(plan);
  if (zam_debug >= 1) {
    const double dt = std::max(seconds_since(t_start), 1e-8);
    const double of = ffts * M1 * M2 * M3;
    zam_msg("CPU %2d: Done %.0f 3D FFTs for %.0f orientations in %.2fs (%.0f/s).\n", w->cpu, ffts, of, dt, of / dt);
    zam_msg("CPU %2d: Tran: %.2fs, GF: %.2fs, FFT: %.2fs, Scan: %.2fs, FFT Rate: %.0f/s.\n", w->cpu, t_tran, t_gf,
            t_fft, t_scan, ffts / std::max(t_fft, 0.0001));
  }
  return worker_exit();
}

void* zam_run_1r_cpu_thread(void* arg) {
  const auto* w = static_cast<const _sixd_worker*>(arg);
  int item = zam_thread_pop_list();
  if (item < 0) return worker_exit();  // nothing left: skip the set-up
  const _sixd_search_state& s = zam_sixd_state;
  const int N = w->N, n_vec = w->n_vec, T = w->dims[0];
  const int64_t n = n_vec * anlm_size(N);
  const double t_start = stage_time();
  double t_tran = 0.0, t_gf = 0.0, t_fft = 0.0, ffts = 0.0;
  _scan_block block{};
  Scorer sc(N, n_vec);
  _FftPlan* plan = zam_fft_open(T);
  // Without a plan no code can be scored: the pass fails rather than
  // reporting an empty result as a complete search.
  if (!plan && w->failed) w->failed->store(1);
  std::vector<double> c(N), sn(N), out(T);
  std::vector<unsigned char> mask(T);
  int last_did = -1, last_r = -1, last_l = -1;
  bool receptor_ok = false;
  for (; item >= 0; item = zam_thread_pop_list()) {
    double orientations = 0.0;
    const int64_t* slice = w->codes + (int64_t)item * w->per_item;
    for (int k = 0; k < w->per_item; k++) {
      const int64_t code = slice[k];
      if (code == ZAM_SIXD_HOLE || code == ZAM_SIXD_END || !plan) continue;
      const int did = sixd_code_did(code), r = sixd_code_rec(code), l = sixd_code_lig(code);
      const double R = zam_r12_did(did);
      bool fresh = false;
      if (did != last_did || r != last_r) {
        if (did != last_did && zam_debug >= 1) zam_msg("CPU %2d: R = %.2f\n", w->cpu, R);
        const double t0 = stage_time();
        const Euler e2 = receptor_second(r);
        receptor_ok = zam_trm3_apply(N, n_vec, s.vec_types, &sc.tm, &sc.rm, s.anlm_phi_rot + r * n, e2, sc.x.data(), -R) &&
                      zam_trm3_apply(N, n_vec, s.vec_types, &sc.tm, &sc.rm, s.anlm_rho_rot + r * n, e2,
                                     sc.x.data() + n, -R);
        t_tran += seconds_since(t0);
        last_did = did;
        last_r = r;
        fresh = true;
      }
      if (!receptor_ok) {
        if (w->failed) w->failed->store(1);
        continue;
      }
      if (fresh || l != last_l) {
        const double t0 = stage_time();
        zam_docker_reduce(N, n_vec, sc.x.data(), sc.x.data() + n, s.bnlm_phi_rot + l * n, s.bnlm_rho_rot + l * n,
                          c.data(), sn.data());
        t_gf += seconds_since(t0);
        last_l = l;
      }
      const double t0 = stage_time();
      zam_fft_execute_fs(plan, N, c.data(), sn.data(), out.data());
      t_fft += seconds_since(t0);
      ffts += 1.0;
      zam_min_picker(T, T, out.data(), mask.data());
      for (int j = 0; j < T; j++)
        if (mask[j]) push_scan(&block, sixd_code(did, r, l, j), (float)out[j]);
      orientations += T;
    }
    end_scan_item(&block, (float)orientations, w->progress);
  }
  zam_fft_close(plan);
  if (zam_debug >= 1) {
    const double dt = std::max(seconds_since(t_start), 1e-8);
    zam_msg("CPU %2d: Done %.0f 1D FFTs for %.0f orientations in %.2fs (%.0f/s).\n", w->cpu, ffts, ffts * T, dt,
            ffts * T / dt);
    zam_msg("CPU %2d: Tran: %.2f, GF: %.2fs, FFT: %.2fs, FFT Rate: %.0f/s.\n", w->cpu, t_tran, t_gf, t_fft,
            ffts / std::max(t_fft, 0.0001));
  }
  return worker_exit();
}

void* zam_run_6d_cpu_thread(void* arg) {
  const auto* w = static_cast<const _sixd_worker*>(arg);
  int item = zam_thread_pop_list();
  if (item < 0) return worker_exit();  // nothing left: skip the set-up
  const _sixd_search_state& s = zam_sixd_state;
  const int N = w->N, n_vec = w->n_vec;
  const int64_t n = n_vec * anlm_size(N);
  const double t_start = stage_time();
  double t_dot = 0.0, count = 0.0;
  _scan_block block{};
  Scorer sc(N, n_vec);
  double R_last = std::numeric_limits<double>::quiet_NaN();
  for (; item >= 0; item = zam_thread_pop_list()) {
    double orientations = 0.0;
    const int64_t* slice = w->codes + (int64_t)item * w->per_item;
    for (int k = 0; k < w->per_item; k++) {
      const int64_t code = slice[k];
      if (code == ZAM_SIXD_HOLE || code == ZAM_SIXD_END) continue;
      Euler rec, lig;
      double R;
      sixd_pose_6d(code, w, &rec, &R, &lig);
      if (R != R_last && zam_debug >= 1) zam_msg("CPU %2d: R = %.2f\n", w->cpu, R);
      R_last = R;
      const double t0 = stage_time();
      const int r = sixd_code_rec(code);
      const double E = pose_score(sc, N, n_vec, s.anlm_phi_rot + r * n, s.anlm_rho_rot + r * n, R, lig,
                                  s.bnlm_phi_base, s.bnlm_rho_base);
      t_dot += seconds_since(t0);
      if (std::isnan(E) && w->failed) w->failed->store(1);
      if (sixd_keeps((float)E)) push_scan(&block, code, (float)E);
      orientations += 1.0;
      count += 1.0;
    }
    end_scan_item(&block, (float)orientations, w->progress);
  }
  if (zam_debug >= 1) {
    const double dt = std::max(seconds_since(t_start), 1e-8);
    zam_msg("CPU %2d: Tran: %.2fs, Rot: %.2fs, Dot: %.2fs\n", w->cpu, 0.0, 0.0, t_dot);
    zam_msg("CPU %2d: Done %d orientations in %.2fs (%.0f/s).\n", w->cpu, (int)count, dt, count / dt);
  }
  return worker_exit();
}

void sixd_pose_3d(int64_t code, const _sixd_worker* w, Euler* rec, double* R, Euler* lig) {
  const int M1 = w->dims[0], M2 = w->dims[1], M3 = w->dims[2];
  const int j = sixd_code_scan(code), ab = (int)(((uint64_t)code >> 16) & 0xffff);
  const int a = ab / M3, b = ab % M3;
  const Euler q = e_make(kTwoPi * b / M3, w->beta_range * a / M2, kTwoPi * j / M1);
  const int r = sixd_code_rec(code);
  *lig = with_second(r, inverse_euler(q));
  *rec = receptor_rotation(r);
  *R = zam_r12_did(sixd_code_did(code));
}

void sixd_pose_6d(int64_t code, const _sixd_worker* w, Euler* rec, double* R, Euler* lig) {
  const _sixd_search_state& s = zam_sixd_state;
  const int l = sixd_code_lig(code), r = sixd_code_rec(code);
  const Euler e = s.lrot1[s.lact2all ? s.lact2all[l] : l];
  *lig = with_second(r, e_make(e.alpha + kTwoPi * sixd_code_scan(code) / w->dims[0], e.beta, e.gamma));
  *rec = receptor_rotation(r);
  *R = zam_r12_did(sixd_code_did(code));
}

double sixd_pose_score(int N, int n_vec, Euler rec, double R, Euler lig) {
  const _sixd_search_state& s = zam_sixd_state;
  const int64_t n = n_vec * anlm_size(N);
  Scorer sc(N, n_vec);
  std::vector<double> a_phi(n), a_rho(n);
  if (!zam_rm3_apply(N, n_vec, &sc.rm, s.anlm_phi_base, a_phi.data(), rec) ||
      !zam_rm3_apply(N, n_vec, &sc.rm, s.anlm_rho_base, a_rho.data(), rec))
    return std::numeric_limits<double>::quiet_NaN();
  return pose_score(sc, N, n_vec, a_phi.data(), a_rho.data(), R, lig, s.bnlm_phi_base, s.bnlm_rho_base);
}
