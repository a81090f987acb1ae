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
#include "matching/zam_sixd_work.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

using namespace sixd_work;

namespace {

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

// The receptor arrays of active sample r from the rotation buffers, moved by
// -R (and turned by the sample's second rotation) into sc.x: first arrays,
// then second. 0 when a translation matrix could not be made (reported).
bool move_receptor(Scorer& sc, int N, int n_vec, int r, double R) {
  const _sixd_search_state& s = zam_sixd_state;
  const int64_t n = n_vec * anlm_size(N);
  const Euler e2 = receptor_second(r);
  return zam_trm3_apply(N, n_vec, s.vec_types, &sc.tm, &sc.rm, s.anlm_phi_rot + r * n, e2, sc.x.data(), -R) &&
         zam_trm3_apply(N, n_vec, s.vec_types, &sc.tm, &sc.rm, s.anlm_rho_rot + r * n, e2, sc.x.data() + n, -R);
}

// The twist series of the 1-D bodies: a worker's records, its plan, and
// the turn of the receptor held in sc.x against one ligand sample.
struct Twist {
  const _sixd_worker* w;
  int N, n_vec, T;
  int64_t n;
  Scorer sc;
  _FftPlan* plan;
  std::vector<double> c, sn, out;
  std::vector<unsigned char> mask;
  double t_tran = 0.0, t_gf = 0.0, t_fft = 0.0, ffts = 0.0;

  explicit Twist(const _sixd_worker* rec)
      : w(rec), N(rec->N), n_vec(rec->n_vec), T(rec->dims[0]), n(rec->n_vec * (int64_t)anlm_size(rec->N)),
        sc(rec->N, rec->n_vec), plan(zam_fft_open(rec->dims[0])), c(rec->N), sn(rec->N), out(rec->dims[0]),
        mask(rec->dims[0]) {
    // Without a plan no code can be scored: the pass fails rather than
    // reporting an empty result as a complete search.
    if (!plan && w->failed) w->failed->store(1);
  }
  ~Twist() { zam_fft_close(plan); }
  Twist(const Twist&) = delete;
  Twist& operator=(const Twist&) = delete;

  // The receptor of active sample r moved by -R; false, with the pass
  // marked failed, when it could not be.
  bool receptor(int r, double R) {
    const double t0 = stage_time();
    const bool ok = move_receptor(sc, N, n_vec, r, R);
    t_tran += seconds_since(t0);
    if (!ok && w->failed) w->failed->store(1);
    return ok;
  }
  // The series of the receptor against ligand sample l.
  void reduce(int l) {
    const _sixd_search_state& s = zam_sixd_state;
    const double t0 = stage_time();
    zam_docker_reduce(N, n_vec, sc.x.data(), sc.x.data() + n, s.bnlm_phi_rot + l * n, s.bnlm_rho_rot + l * n,
                      c.data(), sn.data());
    t_gf += seconds_since(t0);
  }
  // The series at the T steps of the turn, into out.
  void turn() {
    const double t0 = stage_time();
    zam_fft_execute_fs(plan, N, c.data(), sn.data(), out.data());
    t_fft += seconds_since(t0);
    ffts += 1.0;
  }
  // The first summary line of both bodies.
  void say_done(double t_start) const {
    const double dt = std::max(seconds_since(t_start), 1e-8);
    zam_msg("CPU %2d: Done %.0f 1D FFTs for %.0f orientations in %.2fs (%.0f/s).\n", w->cpu, ffts, ffts * T, dt,
            ffts * T / dt);
  }
};

// The lowest of the n planes' values in columns c0 .. c0 + m - 1 into low
// and the plane of each into at (on ties the first), low and at starting
// at plane 0. W > 0 fixes m at W: the compiler then keeps the columns in
// vector registers over all planes.
template <int W>
inline void lower_over_planes(const float* grid, int n, int64_t plane, int64_t c0, int m, float* low, int* at) {
  const int count = W > 0 ? W : m;
  for (int j = 1; j < n; j++) {
    const float* row = grid + j * plane + c0;
    for (int i = 0; i < count; i++) {
      const bool lower = row[i] < low[i];
      low[i] = lower ? row[i] : low[i];
      at[i] = lower ? j : at[i];
    }
  }
}

// For each of the `plane` columns of a grid of n planes, the lowest value
// and its plane, the first on ties, handed to found(column, plane, value) in
// column order. Sixteen columns at a time are held over all planes, so
// every plane is read in whole cache lines.
template <class Found>
void lowest_of_columns(const float* grid, int n, int64_t plane, Found found) {
  constexpr int kColumns = 16;
  for (int64_t c0 = 0; c0 < plane; c0 += kColumns) {
    const int m = (int)std::min<int64_t>(kColumns, plane - c0);
    float low[kColumns];
    int at[kColumns] = {};
    for (int i = 0; i < m; i++) low[i] = grid[c0 + i];
    if (m == kColumns)
      lower_over_planes<kColumns>(grid, n, plane, c0, m, low, at);
    else
      lower_over_planes<0>(grid, n, plane, c0, m, low, at);
    for (int i = 0; i < m; i++) found((int)(c0 + i), at[i], low[i]);
  }
}

}  // namespace

void sixd_fill_3d(const _sixd_worker* w, const float* Pf, float* work, const int stride[3]) {
  const int L = w->N - 1, M1 = w->dims[0], M2 = w->dims[1], M3 = w->dims[2], S = lm_row(L);
  std::fill(work, work + 2 * (int64_t)M1 * M2 * M3, 0.0f);
  // Position on the alpha axis of m = -L..L, wrapped once here rather than in the inner loop.
  int64_t alpha_at[2 * 36 + 1];
  for (int m = -L; m <= L; m++) alpha_at[m + L] = (int64_t)(((m % M3) + M3) % M3) * stride[2];
  for (int l = 0; l <= L; l++) {
    const int wl = 2 * l + 1, base = l * (4 * l * l - 1) / 3;
    const int vmax = std::min(l, w->band[0]), mmax = std::min(l, w->band[1]);
    for (int v = -vmax; v <= vmax; v++) {
      const int iv = ((v % M1) + M1) % M1;
      const float* p = &Pf[2 * (base + (v + l) * wl + l)];
      for (int t = 0; t < M2; t++) {
        const float* lt = w->L + 2 * ((int64_t)t * S + base + (v + l) * wl + l);
        float* out = work + 2 * ((int64_t)iv * stride[0] + (int64_t)t * stride[1]);
        for (int m = -mmax; m <= mmax; m++) {
          const int64_t im = alpha_at[m + L];
          const float lr = lt[2 * m], li = lt[2 * m + 1], pr = p[2 * m], pi = p[2 * m + 1];
          out[2 * im] += lr * pr - li * pi;
          out[2 * im + 1] += lr * pi + li * pr;
        }
      }
    }
  }
}

void* zam_run_3d_cpu_thread(void* arg) {
  const auto* w = static_cast<const _sixd_worker*>(arg);
  int item = zam_thread_pop_list();
  if (item < 0) return worker_exit();  // nothing left: skip the set-up
  const _sixd_search_state& s = zam_sixd_state;
  const int N = w->N, n_vec = w->n_vec, L = N - 1;
  const int64_t K = anlm_size(N), n = n_vec * K;
  const int M1 = w->dims[0], M2 = w->dims[1], M3 = w->dims[2], S = lm_row(L);
  double t_tran = 0.0, t_gf = 0.0;

  _scan_block block{};
  Scorer sc(N, n_vec);
  GridFrame grid(w, w->dims, true);
  // Ligand complex vectors (second + i first), made once.
  std::vector<double> B(2 * (size_t)n), A(2 * (size_t)K), P(2 * (size_t)S);
  std::vector<float> Pf(2 * (size_t)S);
  for (int c = 0; c < n_vec; c++) qnlm_abnlm(N, s.bnlm_rho_base + c * K, s.bnlm_phi_base + c * K, &B[2 * c * K]);
  // Axis 0 gamma, 1 beta, 2 alpha.
  const int stride[3] = {M2 * M3, M3, 1};

  for_each_code(w, item, &block, grid.plan != nullptr, true, [&](int64_t code, double R) {
    const int did = sixd_code_did(code), r = sixd_code_rec(code);
    // Receptor of sample r moved by -R (and its second rotation).
    double t0 = stage_time();
    if (!move_receptor(sc, N, n_vec, r, R)) {
      // Reported by the translation code; the search then reports failure.
      if (w->failed) w->failed->store(1);
      return 0.0;
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
    sixd_fill_3d(w, Pf.data(), grid.plan->work, stride);
    t_gf += seconds_since(t0);

    grid.transform();
    // Lowest value along the gamma axis for every (beta, alpha); the first wins ties.
    grid.timed_scan([&](const float* real) {
      lowest_of_columns(real, M1, (int64_t)M2 * M3, [&](int ab, int j, float low) {
        if (sixd_keeps(low)) push_scan(&block, sixd_code(did, r, ab, j), low);
      });
    });
    return (double)M1 * M2 * M3;
  });
  grid.say_done(t_tran, t_gf);
  return worker_exit();
}

void* zam_run_1r_cpu_thread(void* arg) {
  const auto* w = static_cast<const _sixd_worker*>(arg);
  int item = zam_thread_pop_list();
  if (item < 0) return worker_exit();  // nothing left: skip the set-up
  const double t_start = stage_time();
  _scan_block block{};
  Twist tw(w);
  const int T = tw.T;
  int last_did = -1, last_r = -1, last_l = -1;
  bool receptor_ok = false;
  for_each_code(w, item, &block, tw.plan != nullptr, true, [&](int64_t code, double R) {
    const int did = sixd_code_did(code), r = sixd_code_rec(code), l = sixd_code_lig(code);
    bool fresh = false;
    if (did != last_did || r != last_r) {
      receptor_ok = tw.receptor(r, R);
      last_did = did;
      last_r = r;
      fresh = true;
    }
    if (!receptor_ok) return 0.0;
    if (fresh || l != last_l) {
      tw.reduce(l);
      last_l = l;
    }
    tw.turn();
    zam_min_picker(T, T, tw.out.data(), tw.mask.data());
    for (int j = 0; j < T; j++)
      if (tw.mask[j]) push_scan(&block, sixd_code(did, r, l, j), (float)tw.out[j]);
    return (double)T;
  });
  if (zam_debug >= 1) {
    tw.say_done(t_start);
    zam_msg("CPU %2d: Tran: %.2f, GF: %.2fs, FFT: %.2fs, FFT Rate: %.0f/s.\n", w->cpu, tw.t_tran, tw.t_gf, tw.t_fft,
            tw.ffts / std::max(tw.t_fft, 0.0001));
  }
  return worker_exit();
}

void* zam_run_1d_cpu_thread(void* arg) {
  const auto* w = static_cast<const _sixd_worker*>(arg);
  int item = zam_thread_pop_list();
  if (item < 0) return worker_exit();  // nothing left: skip the set-up
  const _sixd_search_state& s = zam_sixd_state;
  const double t_start = stage_time();
  double t_scan = 0.0, t_disc = 0.0;
  _scan_block block{};
  Twist tw(w);
  const int T = tw.T;
  for_each_code(w, item, &block, tw.plan != nullptr, true, [&](int64_t code, double R) {
    const int did = sixd_code_did(code), r = sixd_code_rec(code);
    if (!tw.receptor(r, R)) return 0.0;
    for (int l = 0; l < s.n_lact; l++) {
      tw.reduce(l);
      tw.turn();
      // The lowest value of the turn decides whether the turn is read at
      // all; then every local minimum that passes the threshold is kept.
      double t0 = stage_time();
      int j0;
      double low;
      zam_min_scanner(T, T, tw.out.data(), &j0, &low);
      t_scan += seconds_since(t0);
      if (j0 < 0 || !sixd_keeps((float)low)) continue;
      t0 = stage_time();
      zam_min_picker(T, T, tw.out.data(), tw.mask.data());
      for (int j = 0; j < T; j++)
        if (tw.mask[j] && sixd_keeps((float)tw.out[j])) push_scan(&block, sixd_code(did, r, l, j), (float)tw.out[j]);
      t_disc += seconds_since(t0);
    }
    return (double)s.n_lact * T;
  });
  if (zam_debug >= 1) {
    tw.say_done(t_start);
    zam_msg("CPU %2d: Tran: %.2fs, GF: %.2fs, FFT: %.2fs, Scan: %.2fs, Disc: %.2fs.\n", w->cpu, tw.t_tran, tw.t_gf,
            tw.t_fft, t_scan, t_disc);
    zam_msg("CPU %2d: Tran: %.2f, Reduce: %.2fs, FFT: %.2fs, FFT Rate: %.0f/s.\n", w->cpu, tw.t_tran, tw.t_gf,
            tw.t_fft, tw.ffts / std::max(tw.t_fft, 0.0001));
  }
  return worker_exit();
}

void* zam_run_6d_cpu_thread(void* arg) {
  const auto* w = static_cast<const _sixd_worker*>(arg);
  int item = zam_thread_pop_list();
  if (item < 0) return worker_exit();  // nothing left: skip the set-up
  const _sixd_search_state& s = zam_sixd_state;
  const int N = w->N, n_vec = w->n_vec, T = std::max(w->dims[0], 1), M = N - 1;
  const int64_t K = anlm_size(N), n = n_vec * K;
  const double t_start = stage_time();
  double t_tran = 0.0, t_rot = 0.0, t_dot = 0.0, count = 0.0;
  _scan_block block{};
  // sc.x: the receptor moved by -R; turned: the ligand of its sample (from
  // the rotation buffers) turned further by the twist. First arrays, then
  // second.
  Scorer sc(N, n_vec);
  std::vector<double> turned(2 * (size_t)n);
  // cos(m t) and sin(m t), m = -M..M, of every twist step t = 2 pi j / T.
  std::vector<double> cos_mt((size_t)T * (2 * M + 1)), sin_mt(cos_mt.size());
  for (int j = 0; j < T; j++)
    for (int m = -M; m <= M; m++) {
      cos_mt[(size_t)j * (2 * M + 1) + M + m] = std::cos(m * kTwoPi * j / T);
      sin_mt[(size_t)j * (2 * M + 1) + M + m] = std::sin(m * kTwoPi * j / T);
    }
  int last_did = -1, last_r = -1;
  bool receptor_ok = false;
  for_each_code(w, item, &block, true, true, [&](int64_t code, double R) {
    const int did = sixd_code_did(code), r = sixd_code_rec(code), l = sixd_code_lig(code);
    double t0 = stage_time();
    if (did != last_did || r != last_r) {
      receptor_ok = move_receptor(sc, N, n_vec, r, R);
      last_did = did;
      last_r = r;
      t_tran += seconds_since(t0);
      t0 = stage_time();
    }
    if (!receptor_ok) {
      // Reported where the matrix failed; the search then reports failure.
      if (w->failed) w->failed->store(1);
      return 0.0;
    }
    // The twist: Euler(alpha + t, beta, gamma) is the sample's rotation
    // followed by a turn by t about z.
    const size_t at = (size_t)(sixd_code_scan(code) % T) * (2 * M + 1) + M;
    const double* ligand[2] = {s.bnlm_phi_rot + l * n, s.bnlm_rho_rot + l * n};
    for (int v = 0; v < 2 * n_vec; v++)
      anlm_rot_phi(N, &cos_mt[at], &sin_mt[at], ligand[v / n_vec] + (v % n_vec) * K, turned.data() + v * K);
    t_rot += seconds_since(t0);
    t0 = stage_time();
    double E = 0.0;
    for (int c = 0; c < n_vec; c++)
      E += anlm_dot(N, sc.x.data() + c * K, turned.data() + n + c * K) +
           anlm_dot(N, sc.x.data() + n + c * K, turned.data() + c * K);
    t_dot += seconds_since(t0);
    if (sixd_keeps((float)E)) push_scan(&block, code, (float)E);
    count += 1.0;
    return 1.0;
  });
  if (zam_debug >= 1) {
    const double dt = std::max(seconds_since(t_start), 1e-8);
    zam_msg("CPU %2d: Tran: %.2fs, Rot: %.2fs, Dot: %.2fs\n", w->cpu, t_tran, t_rot, t_dot);
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

void sixd_pose_4d(int64_t code, const _sixd_worker* w, Euler* rec, double* R, Euler* lig, int* symmetry) {
  const _sixd_search_state& s = zam_sixd_state;
  const int r = sixd_code_rec(code), k = sixd_code_lig(code);
  const double twist = kTwoPi * sixd_code_scan(code) / w->dims[0];
  const Euler er = s.rrot1[s.ract2all ? s.ract2all[r] : r];
  const Euler el = s.lrot1[s.lact2all ? s.lact2all[r] : r];
  *rec = e_make(er.alpha + twist + w->phi_a, er.beta, er.gamma);
  *lig = e_make(el.alpha + twist + w->phi_b, el.beta, el.gamma);
  *symmetry = w->symmetry > 0 ? w->symmetry + k : 0;
  // A sampled fourth angle joins the ligand's rotation; a cyclic order is
  // carried by the solution instead.
  if (!*symmetry) *lig = euler_tf(tf_tftf(tf_euler(*lig), tf_euler(e_make(0.0, w->omega[k], 0.0))));
  const double d = zam_r12_did(sixd_code_did(code));
  *R = s.sym_local ? d : -d * s.sym_LtoW;
}

void sixd_pose_5d(int64_t code, const _sixd_worker* w, Euler* rec, double* R, Euler* lig) {
  const int M1 = w->dims[0], M2 = w->dims[1], M3 = w->dims[2];
  const int j = sixd_code_scan(code), ab = (int)(((uint64_t)code >> 16) & 0xffff);
  const int rg = (int)(((uint64_t)code >> 32) & 0xffff);
  const int a = ab / M3, b = ab % M3;
  *lig = inverse_euler(e_make(kTwoPi * b / M3, w->beta_range * a / M2, kTwoPi * j / M1));
  *rec = e_make(0.0, w->receptor_range * (rg / w->rdims[1]) / w->rdims[0], kTwoPi * (rg % w->rdims[1]) / w->rdims[1]);
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
