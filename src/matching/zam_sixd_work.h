// What the worker bodies of the six-dimensional search share
// (zam_sixd_cpu*.cpp): a worker's own translation and rotation records, the
// receptor rotations of a sample, the product blocks of two complex
// vectors, stage timing, the timed frame of the 3-D grid bodies and the end
// of a worker. Internal to the matching layer; nothing here keeps state.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "geometry/zam_transform.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_wigner.h"
#include "matching/zam_dft.h"
#include "matching/zam_distance_code.h"
#include "matching/zam_sixd_cpu.h"
#include "matching/zam_sixd_state.h"
#include "matching/zam_sixd_store.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

namespace sixd_work {

constexpr double kTwoPi = 6.28318530717958647692;

inline Euler inverse_euler(Euler e) { return e_make(-e.gamma, -e.beta, -e.alpha); }

// The receptor rotation of active sample r: its first rotation (a second
// one, when the table has it, follows the translation).
inline Euler receptor_rotation(int r) {
  const _sixd_search_state& s = zam_sixd_state;
  return s.rrot1[s.ract2all ? s.ract2all[r] : r];
}
inline Euler receptor_second(int r) {
  const _sixd_search_state& s = zam_sixd_state;
  return s.rrot2 ? s.rrot2[s.ract2all ? s.ract2all[r] : r] : e_make(0.0, 0.0, 0.0);
}

// The ligand rotation of a pose whose receptor sample has a second rotation
// e2 (applied after the translation): the ligand goes onto the receptor by
// Rr^-1 Tz(R) e2^-1 Rl, so e2^-1 joins the ligand side.
inline Euler with_second(int r, Euler lig) {
  if (!zam_sixd_state.rrot2) return lig;
  return euler_tf(tf_tftf(tf_euler(lig), tf_transpose(tf_euler(receptor_second(r)))));
}

// A worker's own translation and rotation records and work arrays.
struct Scorer {
  ZamTm3_struct tm;
  ZamRm3_struct rm;
  std::vector<double> x;  // 2 x n_vec x K: first arrays then second
  Scorer(int N, int n_vec) : x(2 * (size_t)n_vec * anlm_size(N)) {
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

// P[l][v][m] += sum over n of conj(A(n,l,v)) B(n,l,m), complex pairs, block
// l at l(4l^2-1)/3 (rows v, columns m).
inline void add_products(int N, const double* A, const double* B, double* P) {
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
inline double stage_time() { return zam_debug >= 1 ? zam_get_time() : 0.0; }
inline double seconds_since(double t0) { return stage_time() - t0; }

// Ends a worker body: reports the worker done and leaves its thread.
inline void* worker_exit() {
  sixd_worker_done();
  zam_thread_exit();
  return nullptr;
}

// The frame of every body: each code of each item from `item` (taken
// already) to the end of the work list, holes and end markers passed over
// (and every code when ready is false: the body could not set up), the
// line "CPU %2d: R = %.2f" at debug level 1 when the separation changes
// (with say_r), and the item closed with the orientations that
// score(code, R) reports for its codes.
template <class Score>
void for_each_code(const _sixd_worker* w, int item, _scan_block* block, bool ready, bool say_r, Score score) {
  double R_last = std::numeric_limits<double>::quiet_NaN();
  for (; item >= 0; item = zam_thread_pop_list()) {
    double orientations = 0.0;
    const int64_t* slice = w->codes + (int64_t)item * w->per_item;
    for (int k = 0; k < w->per_item; k++) {
      const int64_t code = slice[k];
      if (code == ZAM_SIXD_HOLE || code == ZAM_SIXD_END || !ready) continue;
      const double R = zam_r12_did(sixd_code_did(code));
      if (say_r && R != R_last && zam_debug >= 1) zam_msg("CPU %2d: R = %.2f\n", w->cpu, R);
      R_last = R;
      orientations += score(code, R);
    }
    end_scan_item(block, item, (float)orientations, w->progress);
  }
}

// The frame of the bodies that score one 3-D grid per code (the 3-D and 3X
// layouts): the worker's plan, its transforms and scans timed and counted,
// one debug line with the first transform's F[0], and the summary at the
// worker's end. Owns the plan; without one (usable false or no memory) no
// code can be scored, and the pass is marked failed rather than reported as
// an empty but complete search.
struct GridFrame {
  const _sixd_worker* w;
  _DftPlan* plan;
  double t_start, t_fft = 0.0, t_scan = 0.0, ffts = 0.0;

  GridFrame(const _sixd_worker* rec, const int dims[3], bool usable)
      : w(rec), plan(usable ? zam_dft_open(ZAM_DFT_C2R, ZAM_DFT_BACKWARD, 3, dims) : nullptr), t_start(stage_time()) {
    if (!plan && w->failed) w->failed->store(1);
  }
  ~GridFrame() { zam_dft_close(plan); }
  GridFrame(const GridFrame&) = delete;
  GridFrame& operator=(const GridFrame&) = delete;

  // The grid in plan->work transformed into plan->real.
  void transform() {
    const double t0 = stage_time();
    zam_dft_execute(plan);
    t_fft += seconds_since(t0);
    ffts += 1.0;
    if (zam_debug > 1 && ffts == 1.0) zam_msg("CPU %2d: FFT: %.2fs. F[0] = %.4f.\n", w->cpu, t_fft, plan->real[0]);
  }
  // scan() run and timed: the transform read and its kept poses pushed.
  template <class Scan>
  void timed_scan(Scan scan) {
    const double t0 = stage_time();
    scan(static_cast<const float*>(plan->real));
    t_scan += seconds_since(t0);
  }
  // At debug level 1: transforms, orientations and their rate, then the
  // seconds of each stage (the translation t_tran and the products t_gf
  // timed by the body).
  void say_done(double t_tran, double t_gf) const {
    if (zam_debug < 1) return;
    const double dt = std::max(seconds_since(t_start), 1e-8);
    const double of = ffts * w->dims[0] * w->dims[1] * w->dims[2];
    zam_msg("CPU %2d: Done %.0f 3D FFTs for %.0f orientations in %.2fs (%.0f/s).\n", w->cpu, ffts, of, dt, of / dt);
    zam_msg("CPU %2d: Tran: %.2fs, GF: %.2fs, FFT: %.2fs, Scan: %.2fs, FFT Rate: %.0f/s.\n", w->cpu, t_tran, t_gf,
            t_fft, t_scan, ffts / std::max(t_fft, 0.0001));
  }
};

// Index of the lowest of n values, the first on ties.
inline int lowest(int n, const float* v) {
  int best = 0;
  for (int j = 1; j < n; j++)
    if (v[j] < v[best]) best = j;
  return best;
}

}  // namespace sixd_work

// The input of the 3-D grid's transform (axes gamma, beta, alpha of the
// record's dims, placed by the strides given for each axis) from the
// single-precision products Pf (blocks l, rows v, columns m) and the
// record's L table: at (v, t, m) the sum over l of L[t][l][v][m] Pf[l][v][m],
// within the band limits. Zeroes the grid first.
void sixd_fill_3d(const _sixd_worker* w, const float* Pf, float* work, const int stride[3]);
