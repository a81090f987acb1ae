#include "matching/zam_sixd_tables.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_wigner.h"
#include "harmonics/zam_zlm.h"
#include "matching/zam_sixd_cpu.h"
#include "matching/zam_sixd_state.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRotMailbox = ZAM_MAILBOX_HAND_OVER;
constexpr int kCollector = ZAM_HANDLE_COLLECTOR;

int* new_ints(int64_t n) { return static_cast<int*>(zam_vm_get_0(std::max<int64_t>(n, 1) * (int64_t)sizeof(int))); }
double* new_complex(int64_t n) {
  return static_cast<double*>(zam_vm_get_0(std::max<int64_t>(n, 1) * 2 * (int64_t)sizeof(double)));
}

// The scale factors of sl_make: made by the master, read by lm_make.
struct ScaleFactors {
  int L = -1;
  int M = 0;
  double angle = 0.0;
  std::vector<double> lambda;  // u = -L..L, M complex values each
};
ScaleFactors scale;

// The check of debug level 2: exp(-i q beta) at each of the M samples of the
// axis against its reconstruction from the kept factors of -q.
void check_factors(int L, int M, double A, const double* lambda) {
  for (int q = -std::min(4, L); q <= std::min(4, L); q++) {
    double sum = 0.0;
    for (int s = 0; s < M; s++) {
      const double beta = s * A / M;
      double re = 0.0, im = 0.0;
      const double* lam = lambda + (size_t)(-q + L) * 2 * M;
      for (int t = 0; t < M; t++) {
        const double ph = 2.0 * kPi * (double)((int64_t)s * t % M) / M;
        re += lam[2 * t] * std::cos(ph) - lam[2 * t + 1] * std::sin(ph);
        im += lam[2 * t] * std::sin(ph) + lam[2 * t + 1] * std::cos(ph);
      }
      const double er = std::cos(q * beta), ei = -std::sin(q * beta);
      zam_msg("%2d  %.4f  [%.6f, %.6f*I]   [%.6f, %.6f*I]\n", s, beta, er, ei, re, im);
      sum += (er - re) * (er - re) + (ei - im) * (ei - im);
    }
    zam_msg("q=%2d, RMSD = %.6f\n", q, std::sqrt(sum / std::max(M, 1)));
  }
}

// Position and sign of T^0(n l; n' l') in a packed matrix of order N, from
// its block index table: blocks with n < n' are their mirrors' times
// (-1)^(l+l').
struct Block {
  int at;
  double sign;
};
Block block_of(const int* table, int N, int n, int l, int np, int lp) {
  const int P = N * (N + 1) / 2, p = n * (n - 1) / 2 + l, pp = np * (np - 1) / 2 + lp;
  if (n >= np) return Block{table[p * P + pp], 1.0};
  return Block{table[pp * P + p], (l + lp) % 2 ? -1.0 : 1.0};
}

// Rotates every term of one side's arrays into sample slot s.
int rotate_side(ZamRm3_struct* rm, Euler e, int s, const double* phi_base, const double* rho_base, double* phi_rot,
                double* rho_rot) {
  const _sixd_search_state& st = zam_sixd_state;
  const int64_t K = anlm_size(st.N);
  const int64_t slot = (int64_t)s * st.n_vec * K;
  for (int c = 0; c < st.n_vec; c++) {
    if (!zam_rm3_apply(st.N, 1, rm, phi_base + c * K, phi_rot + slot + c * K, e)) return 0;
    if (!zam_rm3_apply(st.N, 1, rm, rho_base + c * K, rho_rot + slot + c * K, e)) return 0;
  }
  return 1;
}

int rotate_items(const _sixd_rot_task* task) {
  const _sixd_search_state& st = zam_sixd_state;
  ZamRm3_struct rm;
  zam_rm3_init(&rm);
  int count = 0;
  for (int item = zam_thread_pop_list(); item >= 0; item = zam_thread_pop_list()) {
    const int64_t* slice = task->codes + (int64_t)item * task->per_item;
    for (int k = 0; k < task->per_item; k++) {
      const int64_t code = slice[k];
      if (code == ZAM_SIXD_END) continue;
      const int kind = sixd_code_scan(code);
      if (kind & 1) {
        const int r = sixd_code_rec(code);
        rotate_side(&rm, st.rrot1[st.ract2all[r]], r, st.anlm_phi_base, st.anlm_rho_base, st.anlm_phi_rot,
                    st.anlm_rho_rot);
        count++;
      }
      if (kind & 2) {
        const int l = sixd_code_lig(code);
        rotate_side(&rm, st.lrot1[st.lact2all[l]], l, st.bnlm_phi_base, st.bnlm_rho_base, st.bnlm_phi_rot,
                    st.bnlm_rho_rot);
        count++;
      }
    }
  }
  zam_rm3_free(&rm);
  return count;
}

}  // namespace

int lumv_make(int L, int** map) {
  *map = new_ints((int64_t)(L + 1) * (L + 1));
  if (!*map) return 0;
  int start = 0;
  for (int u = 0; u <= L; u++) {
    const int w = 2 * u + 1;
    for (int m = -u; m <= u; m++) (*map)[u * u + u + m] = start + (u + m) * w * w;
    start += w * w * w;
  }
  return start;
}

int sm_make(int L, int** map, double** values) {
  *map = nullptr;
  *values = nullptr;
  if (L < 0) return 0;
  const int side = (L + 1) * (L + 1);
  *map = new_ints((int64_t)side * side);
  if (!*map) return 0;
  int n = 0;
  for (int j = 0; j <= L; j++)
    for (int q = -j; q <= j; q++)
      for (int l = 0; l <= L; l++)
        for (int m = -l; m <= l; m++) {
          (*map)[(j * j + j + q) * side + l * l + l + m] = n;
          n += std::min(j, l) + 1;
        }
  *values = new_complex(n);
  if (!*values) {
    zam_vm_free(*map);
    *map = nullptr;
    return 0;
  }
  return n;
}

int ym_make(int L, int N, int** map, double** values) {
  *map = nullptr;
  *values = nullptr;
  if (L < 0 || N < 1) return 0;
  const int tri = N * (N + 1) / 2;
  *map = new_ints((int64_t)(L + 1) * (L + 1) * tri);
  if (!*map) return 0;
  int n = 0;
  for (int j = 0; j <= L; j++)
    for (int q = -j; q <= j; q++)
      for (int nn = 1; nn <= N; nn++)
        for (int l = 0; l < nn; l++) {
          (*map)[(j * j + j + q) * tri + nn * (nn - 1) / 2 + l] = n;
          n += std::min(j, l) + 1;
        }
  *values = new_complex(n);
  if (!*values) {
    zam_vm_free(*map);
    *map = nullptr;
    return 0;
  }
  return n;
}

void gm_make(int L, int n_values, const int* lumv_map, double** values) {
  const double t0 = zam_get_time();
  *values = new_complex(n_values);
  if (!*values) return;
  double* g = *values;
  for (int l = 0; l <= L; l++) {
    const int w = 2 * l + 1;
    for (int v = -l; v <= l; v++) {
      double* blk = g + 2 * (int64_t)lumv_map[l * l + l + v];
      for (int t = -l; t <= l; t++)
        for (int m = -l; m <= l; m++) {
          const Complex p = zi_m(t - m);
          const double d = delta_ljm(l, v, t) * delta_ljm(l, v, m);
          double* z = blk + 2 * ((t + l) * w + (m + l));
          z[0] = p.re * d;
          z[1] = p.im * d;
        }
    }
  }
  if (zam_debug >= 1) zam_msg("G[lvtm] %.3fs.\n", zam_get_time() - t0);
}

void sixd_lambda(int M, double A, int u, double* out) {
  // A plain M-point sum: the table is made once per pass and M is small.
  for (int t = 0; t < M; t++) {
    long double re = 0.0L, im = 0.0L;
    for (int k = 0; k < M; k++) {
      const long double ph = (long double)k * u * A / M - 2.0L * (long double)kPi * ((int64_t)k * t % M) / M;
      re += cosl(ph);
      im += sinl(ph);
    }
    out[2 * t] = (double)(re / M);
    out[2 * t + 1] = (double)(im / M);
  }
}

int lm_row(int L) { return (L + 1) * (2 * L + 1) * (2 * L + 3) / 3; }

int lm_row0(int L, int N) { return (2 * L + 1) * (2 * L + 1) * std::max(N, 0); }

int sl_make(int L, int M, double angle) {
  const double t0 = zam_get_time();
  zam_msg("Making scale factors: sl_make(%.2f).\n", angle);
  scale = ScaleFactors{};
  if (L < 0 || M < 1) return 0;
  scale.lambda.assign((size_t)(2 * L + 1) * 2 * M, 0.0);
  for (int u = -L; u <= L; u++) sixd_lambda(M, angle, u, &scale.lambda[(size_t)(u + L) * 2 * M]);
  scale.L = L;
  scale.M = M;
  scale.angle = angle;
  if (zam_debug >= 2) {
    zam_msg("\nsl_make(L=%d) gives:\n\n", L);
    zam_msg(" s  Beta    Exp(-I*q*beta)            Sum(Exp(-I*t*beta2))\n");
    check_factors(L, M, angle, scale.lambda.data());
  }
  zam_msg("sl_make() done in %.3fs.\n", zam_get_time() - t0);
  return 1;
}

const double* sl_factors(int L, int M, double angle) {
  if (scale.L != L || scale.M != M || scale.angle != angle || scale.lambda.empty()) return nullptr;
  return scale.lambda.data();
}

int lm_make(int method, int L, int N, int t_first, int t_last, int M, double A, const int* lumv_map,
            const double* g, float** out) {
  const double t0 = zam_get_time();
  *out = nullptr;
  if (L < 0 || M < 1 || (method == 0 && N < 1)) return 0;
  // Method 1 keeps every (l, v, m) of a row once; method 0 a run over the
  // degree for each (v, m), so that sums over a degree read one run.
  const int S = method == 0 ? lm_row0(L, N) : lm_row(L);
  std::vector<double> own;
  const double* lambda = nullptr;
  if (method == 0) {
    if (!sl_factors(L, M, A) && !sl_make(L, M, A)) return 0;
    lambda = sl_factors(L, M, A);
  } else {
    own.resize((size_t)(2 * L + 1) * 2 * M);
    for (int u = -L; u <= L; u++) sixd_lambda(M, A, u, &own[(size_t)(u + L) * 2 * M]);
    lambda = own.data();
  }
  *out = static_cast<float*>(zam_vm_get_0((int64_t)M * S * 2 * (int64_t)sizeof(float)));
  if (!*out) return 0;
  if (zam_debug >= 2) {
    zam_msg("\nlm_make(L=%d, Method=%d) gives:\n\n", L, method);
    for (int u = -std::min(4, L); u <= std::min(4, L); u++)
      for (int t = -4; t <= 4; t++) {
        const double* z = &lambda[(size_t)(u + L) * 2 * M + 2 * (((t % M) + M) % M)];
        zam_msg("lambda[%2d,%2d] = [%f, %f*I]\n", u, t, z[0], z[1]);
      }
  }
  const int W = 2 * L + 1;
  std::vector<double> row((size_t)2 * S);
  for (int tt = t_first; tt <= t_last; tt++) {
    const int t = ((tt % M) + M) % M;
    std::fill(row.begin(), row.end(), 0.0);
    for (int l = 0; l <= L; l++) {
      if (method == 0 && l >= N) break;
      const int w = 2 * l + 1, base = l * (4 * l * l - 1) / 3;
      for (int u = -l; u <= l; u++) {
        const double* lam = &lambda[(size_t)(u + L) * 2 * M + 2 * t];
        const double* blk = g + 2 * (int64_t)lumv_map[l * l + l + u];
        for (int k = 0; k < w * w; k++) {
          const double gr = blk[2 * k], gi = blk[2 * k + 1];
          // Method 1: (l, v, m) at base + k; method 0: run (v, m), entry l.
          const int at = method == 0 ? ((k / w - l + L) * W + (k % w - l + L)) * N + l : base + k;
          row[2 * at] += lam[0] * gr - lam[1] * gi;
          row[2 * at + 1] += lam[0] * gi + lam[1] * gr;
        }
      }
    }
    zd2zf(S, row.data(), *out + (int64_t)t * S * 2);
  }
  if (zam_debug >= 1) zam_msg("L[ulmv] %.3fs.\n", zam_get_time() - t0);
  return 1;
}

void sm_load(int L, int N, int n_vec, const double* tm_values, const double* a, const double* b, const int* s_map,
             double* s_values, const int* y_map, double* y_values) {
  const double t0 = zam_get_time();
  if (L < 0 || N < 1) return;
  const int side = (L + 1) * (L + 1), tri = N * (N + 1) / 2;
  const int64_t K = anlm_size(N), t3 = tm3_dim(N - 1);
  const int* table = tm3_table(N);
  if (!table) return;
  // Runs are laid out in map order, so the last run ends the array.
  const int64_t n_s = s_map[side * side - 1] + L + 1;
  std::fill(s_values, s_values + 2 * n_s, 0.0);
  for (int c = 0; c < n_vec; c++) {
    const double* T = tm_values + c * t3;
    const double* A = a + 2 * c * K;
    const double* B = b + 2 * c * K;
    for (int j = 0; j <= L; j++)
      for (int q = -j; q <= j; q++) {
        const int jq = j * j + j + q;
        for (int n = 1; n <= N; n++)
          for (int l = 0; l < n; l++) {
            double* y = y_values + 2 * (int64_t)y_map[jq * tri + n * (n - 1) / 2 + l];
            const int vmax = std::min(j, l);
            std::fill(y, y + 2 * (vmax + 1), 0.0);
            for (int np = j + 1; np <= N; np++) {
              const Block blk = block_of(table, N, np, j, n, l);
              const double* x = A + 2 * anlm_index(np, j, q);
              for (int v = 0; v <= vmax; v++) {
                const double t = blk.sign * T[blk.at + v];
                y[2 * v] += t * x[0];
                y[2 * v + 1] += t * x[1];
              }
            }
          }
        for (int l = 0; l <= L; l++)
          for (int m = -l; m <= l; m++) {
            double* out = s_values + 2 * (int64_t)s_map[jq * side + l * l + l + m];
            const int vmax = std::min(j, l);
            for (int n = l + 1; n <= N; n++) {
              const double* y = y_values + 2 * (int64_t)y_map[jq * tri + n * (n - 1) / 2 + l];
              const double* z = B + 2 * anlm_index(n, l, m);
              for (int v = 0; v <= vmax; v++) {
                // conj(y) z
                out[2 * v] += y[2 * v] * z[0] + y[2 * v + 1] * z[1];
                out[2 * v + 1] += y[2 * v] * z[1] - y[2 * v + 1] * z[0];
              }
            }
          }
      }
  }
  if (zam_debug >= 1) zam_msg("S[jqlmv] %.3fs.\n", zam_get_time() - t0);
}

int setup_4d_translation(int N, int n_vec, int sample, ZamTm3_struct* tm, double R, const double* phase_a,
                         const double* phase_b, double* work, double* out_a, double* out_b) {
  const _sixd_search_state& st = zam_sixd_state;
  const double shift = st.sym_local ? -R : R * st.sym_LtoW;
  if (n_vec < 1) {
    const int gto = 1;
    return zam_ztm3_apply(N, 1, &gto, tm, work, out_a, shift) && zam_ztm3_apply(N, 1, &gto, tm, work, out_b, shift);
  }
  const int64_t K = anlm_size(N), n = (int64_t)n_vec * K;
  const double* a_phi = st.anlm_phi_rot + sample * n;
  const double* a_rho = st.anlm_rho_rot + sample * n;
  const double* b_phi = st.bnlm_phi_rot + sample * n;
  const double* b_rho = st.bnlm_rho_rot + sample * n;
  for (int c = 0; c < n_vec; c++) qnlm_abnlm(N, a_rho + c * K, a_phi + c * K, work + 2 * c * K);
  if (!zam_ztm3_apply(N, n_vec, st.vec_types, tm, work, out_a, shift)) return 0;
  // Each phase turns its side about z: the work vectors take the product,
  // which then goes back into the output.
  if (phase_a) {
    for (int c = 0; c < n_vec; c++) znlm_mult(N, out_a + 2 * c * K, phase_a, work + 2 * c * K);
    std::copy(work, work + 2 * n, out_a);
  }
  for (int c = 0; c < n_vec; c++) qnlm_abnlm(N, b_phi + c * K, b_rho + c * K, (phase_b ? work : out_b) + 2 * c * K);
  if (phase_b)
    for (int c = 0; c < n_vec; c++) znlm_mult(N, work + 2 * c * K, phase_b, out_b + 2 * c * K);
  return 1;
}

int mb_3d_gpu(int flag, const _sixd_worker* p) {
  const _sixd_search_state& st = zam_sixd_state;
  const int64_t S = lm_row(p->N - 1), points = (int64_t)p->dims[0] * p->dims[1] * p->dims[2];
  // The L table, one product block in double and in single precision, the
  // transform's complex input and real output, the scan's values and indices.
  int64_t bytes = (int64_t)p->dims[1] * S * 8 + S * (16 + 8) + points * (8 + 4) + (int64_t)p->dims[1] * p->dims[2] * 8;
  if (flag) bytes += (int64_t)st.n_ract * p->n_vec * anlm_size(p->N) * 2 * 8;
  return (int)((bytes + (1 << 20) - 1) >> 20);
}

int mb_1d_gpu(int flag, const _sixd_worker* p) {
  const _sixd_search_state& st = zam_sixd_state;
  const int64_t K = anlm_size(p->N), lig = std::max(st.n_lact, 1), T = p->dims[0];
  // Every active ligand sample of one receptor sample at once: the ligand's
  // rotated arrays, their cosine and sine series, the turns' complex input
  // and real output and the picker's marks; the translated receptor arrays.
  int64_t bytes = lig * p->n_vec * K * 2 * 8 + lig * 2 * p->N * 8 + lig * T * (8 + 4 + 1) + 2 * p->n_vec * K * 8;
  if (flag) bytes += (int64_t)st.n_ract * p->n_vec * K * 2 * 8;
  return (int)((bytes + (1 << 20) - 1) >> 20);
}

int mb_rot_buffers() {
  const _sixd_search_state& st = zam_sixd_state;
  const int64_t per = (int64_t)st.n_vec * anlm_size(st.N) * 2 * (int64_t)sizeof(double);
  return (int)(((int64_t)st.n_ract + st.n_lact) * per / (1024 * 1024)) + 1;
}

void warn_rot_buffers(int mb) {
  zam_wrn("Your machine has only %d Mb of physical memory.\n", zam_mb_memory());
  zam_wrn("This calculation needs about %d Mb of memory.\nTrying anyway (hope you have a big system swap file) ...\n",
          mb);
}

void free_rot_buffers() {
  _sixd_search_state& st = zam_sixd_state;
  for (double** p : {&st.anlm_phi_rot, &st.anlm_rho_rot, &st.bnlm_phi_rot, &st.bnlm_rho_rot}) {
    zam_vm_free(*p);
    *p = nullptr;
  }
}

int zam_fill_rot_buffers(int n_threads) {
  _sixd_search_state& st = zam_sixd_state;
  free_rot_buffers();
  const int64_t per = (int64_t)st.n_vec * anlm_size(st.N) * (int64_t)sizeof(double);
  const int mb = mb_rot_buffers();
  if (mb > zam_mb_memory() / 2) warn_rot_buffers(mb);
  st.anlm_phi_rot = static_cast<double*>(zam_vm_get(std::max<int64_t>(st.n_ract * per, 8)));
  st.anlm_rho_rot = static_cast<double*>(zam_vm_get(std::max<int64_t>(st.n_ract * per, 8)));
  st.bnlm_phi_rot = static_cast<double*>(zam_vm_get(std::max<int64_t>(st.n_lact * per, 8)));
  st.bnlm_rho_rot = static_cast<double*>(zam_vm_get(std::max<int64_t>(st.n_lact * per, 8)));
  if (!st.anlm_phi_rot || !st.anlm_rho_rot || !st.bnlm_phi_rot || !st.bnlm_rho_rot) {
    free_rot_buffers();
    return 0;
  }
  // One code per sample pair position: both sides while both have samples left.
  const int n = std::max(st.n_ract, st.n_lact);
  const int items = std::max(1, std::min(n, 4 * std::max(n_threads, 1)));
  const int per_item = (n + items - 1) / std::max(items, 1);
  std::vector<int64_t> codes((size_t)items * std::max(per_item, 1), ZAM_SIXD_END);
  for (int i = 0; i < n; i++) {
    const int kind = (i < st.n_ract ? 1 : 0) | (i < st.n_lact ? 2 : 0);
    codes[i] = sixd_code(0, i, i, kind);
  }
  _zam_collector collect{0, 0, kRotMailbox, 0, 0.0};
  _sixd_rot_task own{0, codes.data(), std::max(per_item, 1), &collect};
  zam_thread_load_range(0, items - 1);
  const int workers = n_threads >= 1 ? std::min(zam_thread_setup_task(std::min(n_threads, items), 0), items) : 0;
  _sixd_rot_task tasks[ZAM_TASK_STACK] = {};
  auto fill = [&](_sixd_rot_task& t, const _zam_task& d) {
    t = own;
    t.cpu = d.slot;
  };
  auto here = [](_sixd_rot_task& t) { return rotate_items(&t); };
  // Without worker slots or a collector thread the rotations are made here.
  if (workers < 1 ||
      zam_thread_fan_out(kCollector, &collect, workers, zam_run_rot_cpu_thread, tasks, fill, here,
                         zam_rotate_consumer) < 0)
    rotate_items(&own);
  return 1;
}

void* zam_run_rot_cpu_thread(void* arg) {
  auto* task = static_cast<_sixd_rot_task*>(arg);
  const double t0 = zam_get_time();
  const int count = rotate_items(task);
  if (zam_debug >= 1) {
    const double dt = std::max(zam_get_time() - t0, 1e-8);
    zam_msg("CPU %2d: Done %d coefficient rotations in %.2fs (%.0f/s).\n", task->cpu, count, dt, count / dt);
  }
  zam_collector_report(task->collect, count);
  zam_thread_exit();
  return nullptr;
}

void* zam_rotate_consumer(void* arg) {
  auto* c = static_cast<_zam_collector*>(arg);
  zam_collector_wait(c);
  const double dt = std::max(c->seconds, 1e-8);
  zam_msg("Done %d rotations in a total of %.2fs (%.0f/s).\n\n", c->count, dt, c->count / dt);
  return nullptr;
}
