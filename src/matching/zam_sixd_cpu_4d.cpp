// The 4-D layout and its refinement: per receptor sample and separation the
// products of the two sides' vectors (setup_4d_translation), then per fourth
// angle the sums over its small-d values by the difference of the z indices
// and one 1-D transform over the twist (see zam_sixd_cpu.h).
#include <algorithm>
#include <cmath>
#include <vector>

#include "harmonics/zam_zlm.h"
#include "matching/zam_dft.h"
#include "matching/zam_distance_code.h"
#include "matching/zam_sixd_cpu.h"
#include "matching/zam_sixd_tables.h"
#include "matching/zam_sixd_work.h"

using namespace sixd_work;

namespace {

// One worker of either body: its translation record, the two sides'
// complex vectors, their products and the twist transform.
struct Fourth {
  const _sixd_worker* w;
  int N, L, T;
  ZamTm3_struct tm;
  std::vector<double> work, a, b;  // n_vec complex vectors each
  std::vector<double> P;           // products, blocks l of (2l+1)^2 complex values
  std::vector<double> F;           // one turn's coefficients, T complex values
  _DftPlan* plan;
  int did = -1, r = -1;            // the pose whose products P holds
  bool ok = false;
  double t_tran = 0.0, t_gf = 0.0, t_fft = 0.0, t_scan = 0.0, ffts = 0.0;

  explicit Fourth(const _sixd_worker* rec)
      : w(rec), N(rec->N), L(rec->N - 1), T(rec->dims[0]),
        work(2 * (size_t)rec->n_vec * anlm_size(rec->N)), a(work.size()), b(work.size()),
        P(2 * (size_t)lm_row(rec->N - 1)), F(2 * (size_t)rec->dims[0]) {
    zam_tm3_init(&tm);
    plan = zam_dft_open(ZAM_DFT_C2R, ZAM_DFT_BACKWARD, 1, &T);
    // Without a plan no code can be scored: the pass fails rather than
    // reporting an empty result as a complete search.
    if (!plan && w->failed) w->failed->store(1);
  }
  ~Fourth() {
    zam_tm3_free(&tm);
    zam_dft_close(plan);
  }
  Fourth(const Fourth&) = delete;
  Fourth& operator=(const Fourth&) = delete;

  // The products of receptor sample s at distance code d; false when its
  // translation could not be made (reported, and the pass marked failed).
  bool products(int d, int s) {
    if (d == did && s == r) return ok;
    const int64_t K = anlm_size(N);
    double t0 = stage_time();
    ok = setup_4d_translation(N, w->n_vec, s, &tm, zam_r12_did(d), w->phase_a, w->phase_b, work.data(), a.data(),
                              b.data());
    t_tran += seconds_since(t0);
    did = d;
    r = s;
    if (!ok) {
      if (w->failed) w->failed->store(1);
      return false;
    }
    t0 = stage_time();
    std::fill(P.begin(), P.end(), 0.0);
    for (int c = 0; c < w->n_vec; c++) add_products(N, &a[2 * c * K], &b[2 * c * K], P.data());
    t_gf += seconds_since(t0);
    return true;
  }

  // The turn of fourth angle k: F(p) = sum over l, m - q = p of
  // d^l_mq(w_k) P[l][m][q] at position p modulo T, transformed; returns the
  // lowest value and its index in *j (the first on ties).
  float turn(int k, int* j) {
    double t0 = stage_time();
    std::fill(F.begin(), F.end(), 0.0);
    const double* d = w->omega_d + (int64_t)k * lm_row(L);
    for (int l = 0; l <= L; l++) {
      const int wl = 2 * l + 1, base = l * (4 * l * l - 1) / 3;
      for (int m = -l; m <= l; m++)
        for (int q = -l; q <= l; q++) {
          const int at = (m + l) * wl + q + l;
          const int p = (((m - q) % T) + T) % T;
          F[2 * p] += d[base + at] * P[2 * (base + at)];
          F[2 * p + 1] += d[base + at] * P[2 * (base + at) + 1];
        }
    }
    zd2zf(T, F.data(), plan->work);
    t_gf += seconds_since(t0);
    t0 = stage_time();
    zam_dft_execute(plan);
    t_fft += seconds_since(t0);
    ffts += 1.0;
    t0 = stage_time();
    *j = lowest(T, plan->real);
    t_scan += seconds_since(t0);
    return plan->real[*j];
  }
};

// Both bodies: every code of every item, with all fourth angles (all) or
// the code's own (refinement).
void* run_4d(const _sixd_worker* w, bool all) {
  int item = zam_thread_pop_list();
  if (item < 0) return worker_exit();  // nothing left: skip the set-up
  const double t_start = stage_time();
  _scan_block block{};
  Fourth f(w);
  for_each_code(w, item, &block, f.plan != nullptr, true, [&](int64_t code, double) {
    const int did = sixd_code_did(code), r = sixd_code_rec(code);
    if (!f.products(did, r)) return 0.0;
    const int first = all ? 0 : sixd_code_lig(code), last = all ? w->n_omega - 1 : first;
    for (int a = first; a <= last; a++) {
      int j;
      const float low = f.turn(a, &j);
      if (sixd_keeps(low)) push_scan(&block, sixd_code(did, r, a, j), low);
    }
    return (double)(last - first + 1) * f.T;
  });
  if (zam_debug >= 1) {
    const double dt = std::max(seconds_since(t_start), 1e-8);
    zam_msg("CPU %2d: Done %.0f 1D FFTs for %.0f orientations in %.2fs (%.0f/s).\n", w->cpu, f.ffts, f.ffts * f.T,
            dt, f.ffts * f.T / dt);
    if (all)
      zam_msg("CPU %2d: Tran: %.2fs, GF: %.2fs, FFT: %.2fs, Scan: %.2fs, FFT Rate: %.0f/s.\n", w->cpu, f.t_tran,
              f.t_gf, f.t_fft, f.t_scan, f.ffts / std::max(f.t_fft, 0.0001));
    else
      zam_msg("CPU %2d: Tran: %.2f, GF: %.2fs, FFT: %.2fs, FFT Rate: %.0f/s.\n", w->cpu, f.t_tran, f.t_gf, f.t_fft,
              f.ffts / std::max(f.t_fft, 0.0001));
  }
  return worker_exit();
}

}  // namespace

void* zam_run_4d_cpu_thread(void* arg) { return run_4d(static_cast<const _sixd_worker*>(arg), true); }

void* zam_run_4r_cpu_thread(void* arg) { return run_4d(static_cast<const _sixd_worker*>(arg), false); }
