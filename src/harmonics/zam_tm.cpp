// Packed z-translation matrices: index tables, holders, the rounded look-up
// through the disk cache, products and application to coefficient vectors.
#include "harmonics/zam_tm.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_cache.h"
#include "harmonics/zam_tm_alt.h"
#include "harmonics/zam_tm_walk.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

constexpr int kMaxOrder = 36;
constexpr int kPairs = kMaxOrder * (kMaxOrder + 1) / 2;  // (n, l) pairs to order 36
constexpr int kMaxDegree = 160;                          // two-index and coupling counts

std::atomic<int> method{1};

// Tables shared by every order, built once by tm_tabulate under lock 6
// behind the pending flag, which is cleared when they exist; read without
// locks afterwards. One block table serves every order because the packing
// runs over n outermost.
std::atomic<bool> tables_pending{true};
int t3_table[kMaxOrder + 1];      // t3(N) at N; 0 at 0
std::vector<int> block_pos;       // kPairs x kPairs, pair p(n, l) = n(n-1)/2 + l
int radial_block[kMaxOrder + 1];  // start of radial block n in a coefficient vector
int l_table[kMaxDegree + 1];      // l(l+1): the m = 0 slot of degree l in a radial block
int parity[2 * kMaxDegree + 1];   // (-1)^k
int t2_table[kMaxDegree + 1];
int ac_table[kMaxDegree + 1];

// Block index tables in the stride of their own order, made on first use
// (under lock 0) and kept: a reader on another thread may hold one while a
// different order is asked.
std::atomic<int*> order_tables[kMaxOrder + 1];

int pair_of(int n, int l) { return n * (n - 1) / 2 + l; }

inline int block_at(int n, int l, int np, int lp) {
  return block_pos[static_cast<size_t>(pair_of(n, l)) * kPairs + pair_of(np, lp)];
}

bool odd(int k) { return (k & 1) != 0; }

// Fills h->T with the matrix at the rounded distance, from the cache or the
// series. a = |R|, flip when R >= 0.
int fill_cached(int N, int type, _zam_tm* h, int I, int F, bool flip) {
  const int count = t3_table[N];
  auto series = [&](double* T, double dist) {
    if (type == 1)
      tm_gt3_ser(N, T, dist);
    else
      tm_et3_ser(N, T, dist);
  };
  if (I >= 1 && F >= 1 && zam_read_cache(N, I, F, type, count, h->T)) {
    if (flip) tm3_neg(N, h->T);
    return 1;
  }
  double* A = nullptr;
  if (I >= 1) {
    A = kget1D(count);
    if (!A) return 0;
    if (!zam_read_cache(N, I, 0, type, count, A)) {
      series(A, I);
      zam_write_cache(N, I, 0, type, count, A);
    }
    if (F == 0) {
      std::memcpy(h->T, A, sizeof(double) * count);
      if (flip) tm3_neg(N, h->T);
      kfree(A);
      return 1;
    }
  }
  double* B = kget1D(count);
  if (!B) {
    kfree(A);
    return 0;
  }
  if (!zam_read_cache(N, 0, F, type, count, B)) {
    series(B, F * 0.01);
    zam_write_cache(N, 0, F, type, count, B);
  }
  if (A) {
    // Both parts in the stored (series) direction: the product is the
    // stored (I, F) matrix; the flip of a product is the product of flips.
    // Only local arrays are touched, so no lock is needed here.
    tm3_product(N, B, A, h->T);
    zam_write_cache(N, I, F, type, count, h->T);
  } else {
    std::memcpy(h->T, B, sizeof(double) * count);
  }
  if (flip) tm3_neg(N, h->T);
  kfree(A);
  kfree(B);
  return 1;
}

}  // namespace

void tm_tabulate() {
  if (!tables_pending.load(std::memory_order_acquire)) return;
  zam_mutex_acquire(ZAM_LOCK_ONCE_TABLES);
  if (tables_pending.load(std::memory_order_relaxed)) {
    const double t0 = zam_get_time();
    block_pos.assign(static_cast<size_t>(kPairs) * kPairs, 0);
    int pos = 0;
    t3_table[0] = 0;
    for (int n = 1; n <= kMaxOrder; n++) {
      for (int np = 1; np <= n; np++)
        for (int l = 0; l < n; l++)
          for (int lp = 0; lp < np; lp++) {
            block_pos[static_cast<size_t>(pair_of(n, l)) * kPairs + pair_of(np, lp)] = pos;
            pos += std::min(l, lp) + 1;
          }
      t3_table[n] = pos;
    }
    for (int n = 0; n <= kMaxOrder; n++) radial_block[n] = (n - 1) * n * (2 * n - 1) / 6;
    for (int k = 0; k <= 2 * kMaxDegree; k++) parity[k] = odd(k) ? -1 : 1;
    int t2 = 0, ac = 0;
    for (int L = 0; L <= kMaxDegree; L++) {
      l_table[L] = L * (L + 1);
      t2 += (L + 1) * (L + 2) / 2;
      for (int lp = 0; lp <= L; lp++) ac += (lp + 1) * (lp + 1);
      t2_table[L] = t2;
      ac_table[L] = ac;
    }
    tables_pending.store(false, std::memory_order_release);
    if (zam_debug > 0) zam_msg("Done tm_tabulate() in %.3fs\n", zam_get_time() - t0);
  }
  zam_mutex_release(ZAM_LOCK_ONCE_TABLES);
}

void tm_init(_zam_tm* h) { *h = _zam_tm{0, 0.0, 0.0, nullptr, nullptr}; }

void tm_free(_zam_tm* h) {
  if (h->N <= 0 && !h->T && !h->M) return;
  if (h->M) yib_mpf_free(h->M, tm3_dim(h->N - 1));
  kfree(h->T);
  tm_init(h);
}

void zam_tm3_init(ZamTm3_struct* tm3) {
  tm_init(&tm3->gto);
  tm_init(&tm3->eto);
}

void zam_tm3_free(ZamTm3_struct* tm3) {
  tm_free(&tm3->gto);
  tm_free(&tm3->eto);
}

int tm_mode(int m) {
  if (m < 0 || m > 2) return method.load();
  return method.exchange(m);
}

int tm3_dim(int i) {
  if (i < 0 || i >= kMaxOrder) return 0;
  tm_tabulate();
  return t3_table[i + 1];
}

int tm2_dim(int L) {
  if (L < 0 || L > kMaxDegree) return 0;
  tm_tabulate();
  return t2_table[L];
}

int ac_dim(int L) {
  if (L < 0 || L > kMaxDegree) return 0;
  tm_tabulate();
  return ac_table[L];
}

const int* tm3_table(int N) {
  if (N < 1 || N > kMaxOrder) return nullptr;
  const int* have = order_tables[N].load(std::memory_order_acquire);
  if (have) return have;
  tm_tabulate();
  zam_mutex_acquire(ZAM_LOCK_COUPLING);
  int* t = order_tables[N].load(std::memory_order_relaxed);
  if (!t) {
    const int P = N * (N + 1) / 2;
    t = new int[static_cast<size_t>(P) * P]();
    for (int n = 1; n <= N; n++)
      for (int l = 0; l < n; l++)
        for (int np = 1; np <= n; np++)
          for (int lp = 0; lp < np; lp++) t[pair_of(n, l) * P + pair_of(np, lp)] = block_at(n, l, np, lp);
    order_tables[N].store(t, std::memory_order_release);
  }
  zam_mutex_release(ZAM_LOCK_COUPLING);
  return t;
}

int tm3_index(int, int n, int l, int np, int lp) {
  tm_tabulate();
  return n >= np ? block_at(n, l, np, lp) : block_at(np, lp, n, l);
}

int tm3_sign(int, int n, int l, int np, int lp) { return n >= np ? 1 : (odd(l + lp) ? -1 : 1); }

double tm3_value(int N, int n, int l, int np, int lp, int m, const double* T) {
  m = m < 0 ? -m : m;
  if (m > l || m > lp) return 0.0;
  return tm3_sign(N, n, l, np, lp) * T[tm3_index(N, n, l, np, lp) + m];
}

void tm3_ident(int N, double* T) {
  tm_tabulate();
  std::memset(T, 0, sizeof(double) * t3_table[N]);
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const int p = block_at(n, l, n, l);
      for (int m = 0; m <= l; m++) T[p + m] = 1.0;
    }
}

void tm3_neg(int N, double* T) { tm3_flip(N, T); }

void tm3_neg_mpf(int N, mpf_t* T) {
  tm3_blocks(N, [&](int, int, int l, int lp, int pos) {
    if (odd(l + lp))
      for (int m = 0; m <= std::min(l, lp); m++) mpf_neg(T[pos + m], T[pos + m]);
  });
}

void tm3_product(int N, const double* A, const double* B, double* out) {
  tm_tabulate();
  for (int n = 1; n <= N; n++)
    for (int np = 1; np <= n; np++)
      for (int l = 0; l < n; l++)
        for (int lp = 0; lp < np; lp++) {
          const int mm = std::min(l, lp), p = block_at(n, l, np, lp);
          for (int m = 0; m <= mm; m++) {
            long double s = 0.0L;
            for (int nn = 1; nn <= N; nn++)
              for (int ll = m; ll < nn; ll++) {
                const double a = tm3_value(N, n, l, nn, ll, m, A);
                if (a == 0.0) continue;
                s += static_cast<long double>(a) * tm3_value(N, nn, ll, np, lp, m, B);
              }
            out[p + m] = static_cast<double>(s);
          }
        }
}

double tm_round(double R, int* I, int* F) {
  const double a = R < 0 ? -R : R;
  const long i = static_cast<long>(100.0 * a + 0.05);
  const int whole = static_cast<int>(i / 100), f = static_cast<int>(i % 100);
  const int frac = f % 25 == 0 ? f : ((f + 5) / 10) * 10;
  *I = whole;
  *F = frac;
  return (100.0 * whole + frac) * 0.01;
}

int tm_get(int N, int type, _zam_tm* h, double R) {
  if (N < 1 || N > kMaxOrder) return 0;
  tm_tabulate();
  const int mode = method.load();
  // A matrix of the other kind (multi-precision or not) is not reused.
  if (h->N == N && (h->T || h->M) && h->R == R && (h->M != nullptr) == (mode == 2)) return 1;
  tm_free(h);
  mp_setup();
  const double a = R < 0 ? -R : R;
  if (mode == 2) {
    h->M = type == 1 ? tv_gt3(N, R) : tw_et3(N, R);
    h->N = N;
    h->R = R;
    h->R_used = a;
    return 1;
  }
  h->T = kget1D(t3_table[N]);
  if (!h->T) return 0;
  h->N = N;
  h->R = R;
  const bool flip = R >= 0;
  int I = 0, F = 0;
  h->R_used = tm_round(R, &I, &F);
  if (I == 0 && F == 0) {
    h->R = 0.0;
    tm3_ident(N, h->T);
    return 1;
  }
  // Quadrature matrices are not of the series' accuracy: they are built at
  // the distance asked and never read from or written to the cache.
  if (mode == 0 || zam_cache_type() != 1) {
    if (mode == 0)
      (type == 1 ? tm_gt3_num : tm_et3_num)(N, h->T, a);
    else
      (type == 1 ? tm_gt3_ser : tm_et3_ser)(N, h->T, a);
    if (flip) tm3_neg(N, h->T);
    return 1;
  }
  if (!fill_cached(N, type, h, I, F, flip)) {
    tm_free(h);
    return 0;
  }
  return 1;
}

double* zam_tm3_get(int N, int type, ZamTm3_struct* tm3, double R) {
  _zam_tm* h = type == 1 ? &tm3->gto : &tm3->eto;
  return tm_get(N, type == 1 ? 1 : 0, h, R) ? h->T : nullptr;
}

void tm_copy(int N, const _zam_tm* h, double* T) {
  if (h->M) {
    zam_err("tm_copy() cannot work with non-orthogonal matrices.\n");
    tm3_ident(N, T);
  } else if (h->T && h->N >= N)
    std::memcpy(T, h->T, sizeof(double) * tm3_dim(N - 1));
  else
    tm3_ident(N, T);
}

namespace {

// out(n' l' m) = sum over (n, l) of T^|m|(n l; n' l') in(n l m) for nprop
// blocks laid end to end, Stride values per coefficient (1 real, 2
// complex), block i through the matrix Ts[i]: one sweep over the packed
// layout, each element used for its stored block and its mirror.
template <class V, int Stride>
void apply_packed(int N, int nprop, const V* const* Ts, const V* in, V* out) {
  tm_tabulate();
  const int size = Stride * anlm_size(N);
  std::fill(out, out + static_cast<int64_t>(nprop) * size, V(0));
  for (int n = 1; n <= N; n++)
    for (int np = 1; np <= n; np++)
      for (int l = 0; l < n; l++)
        for (int lp = 0; lp < np; lp++) {
          const int mm = std::min(l, lp), at = block_at(n, l, np, lp);
          const V sgn = odd(l + lp) ? -1.0 : 1.0;
          const bool mirror = n > np;
          for (int m = -mm; m <= mm; m++) {
            const int64_t src = Stride * anlm_index(n, l, m), dst = Stride * anlm_index(np, lp, m);
            const int e = at + (m < 0 ? -m : m);
            for (int i = 0; i < nprop; i++) {
              const V v = Ts[i][e], w = sgn * v;
              const V* x = in + static_cast<int64_t>(i) * size;
              V* y = out + static_cast<int64_t>(i) * size;
              y[dst] += v * x[src];
              if (Stride == 2) y[dst + 1] += v * x[src + 1];
              if (mirror) {
                y[src] += w * x[dst];
                if (Stride == 2) y[src + 1] += w * x[dst + 1];
              }
            }
          }
        }
}

template <int Stride>
int apply_blocks(int N, int nprop, const int* types, ZamTm3_struct* tm3, const double* in, double* out, double R) {
  if (nprop < 1) return 1;
  for (int i = 0; i < nprop; i++)
    if (!tm_get(N, types[i] == 1 ? 1 : 0, types[i] == 1 ? &tm3->gto : &tm3->eto, R)) return 0;
  const int size = Stride * anlm_size(N);
  for (int i = 0; i < nprop; i++) {
    const int type = types[i] == 1 ? 1 : 0;
    const _zam_tm* h = type == 1 ? &tm3->gto : &tm3->eto;
    if (Stride == 1)
      tm3_mult(N, type, h, in + i * size, out + i * size);
    else
      ztm3_mult(N, type, h, in + i * size, out + i * size);
  }
  return 1;
}

}  // namespace

void tm3_apply(int N, const double* T, const double* in, double* out) { apply_packed<double, 1>(N, 1, &T, in, out); }

void ztm3_apply(int N, const double* T, const double* in, double* out) { apply_packed<double, 2>(N, 1, &T, in, out); }

int ztm3_apply_vec(int N, int nprop, const int* types, const ZamTm3_struct* tm3, const double* in, double* out) {
  if (nprop < 1) return 1;
  std::vector<const double*> Ts(static_cast<size_t>(nprop));
  for (int i = 0; i < nprop; i++) {
    const _zam_tm* h = types[i] == 1 ? &tm3->gto : &tm3->eto;
    if (!h->T || h->N < N) return 0;
    Ts[static_cast<size_t>(i)] = h->T;
  }
  apply_packed<double, 2>(N, nprop, Ts.data(), in, out);
  return 1;
}

void tm3_apply_ref(int N, const double* T, const double* in, double* out) {
  tm_tabulate();
  for (int np = 1; np <= N; np++)
    for (int lp = 0; lp < np; lp++)
      for (int m = -lp; m <= lp; m++) {
        const int am = m < 0 ? -m : m;
        double sum = 0.0;
        for (int n = 1; n <= N; n++)
          for (int l = am; l < n; l++) {
            // Blocks with n < n' are the mirrors of stored ones.
            const int at = n >= np ? block_at(n, l, np, lp) : block_at(np, lp, n, l);
            const int sign = n >= np ? 1 : parity[l + lp];
            sum += sign * T[at + am] * in[radial_block[n] + l_table[l] + m];
          }
        out[radial_block[np] + l_table[lp] + m] = sum;
      }
}

void tm_apply_hexa(int N, const long double* T, const long double* in, long double* out) {
  apply_packed<long double, 1>(N, 1, &T, in, out);
}

void tm3_mult(int N, int type, const _zam_tm* h, const double* in, double* out) {
  if (h->M)
    (type == 1 ? tv3_apply : tw3_apply)(N, h->M, in, out);
  else if (h->T && h->R != 0.0)
    tm3_apply(N, h->T, in, out);
  else
    std::memcpy(out, in, sizeof(double) * anlm_size(N));
}

void ztm3_mult(int N, int, const _zam_tm* h, const double* in, double* out) {
  if (h->M)
    zam_err("ztm3_mult() does not support non-orthogonal matrices.\n");
  else if (h->T && h->R != 0.0)
    return ztm3_apply(N, h->T, in, out);
  std::memcpy(out, in, sizeof(double) * 2 * anlm_size(N));
}

int zam_tm3_apply(int N, int nprop, const int* types, ZamTm3_struct* tm3, const double* in, double* out,
                  double R) {
  return apply_blocks<1>(N, nprop, types, tm3, in, out, R);
}

int zam_ztm3_apply(int N, int nprop, const int* types, ZamTm3_struct* tm3, const double* in, double* out,
                   double R) {
  return apply_blocks<2>(N, nprop, types, tm3, in, out, R);
}

int zam_trm3_apply(int N, int nprop, const int* types, ZamTm3_struct* tm3, ZamRm3_struct* rm3, const double* in,
                   Euler angles, double* out, double R) {
  if (angles.alpha == 0.0 && angles.beta == 0.0 && angles.gamma == 0.0)
    return zam_tm3_apply(N, nprop, types, tm3, in, out, R);
  if (nprop < 1) return 1;
  double* scratch = kget1D(static_cast<int64_t>(nprop) * anlm_size(N));
  if (!scratch) return 0;
  int ok = zam_tm3_apply(N, nprop, types, tm3, in, scratch, R);
  if (ok) ok = zam_rm3_apply(N, nprop, rm3, scratch, out, angles);
  kfree(scratch);
  return ok;
}
