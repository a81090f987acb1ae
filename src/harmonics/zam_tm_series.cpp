// Series for the elements of packed z-translation matrices. Each element is
// a sum over the coupled degree k of coupling coefficients times a radial
// overlap, a finite polynomial sum over the distance series table of the
// multi-precision code; everything runs in 256-bit floats and only the
// finished elements are rounded to double. The exponential family's matrix
// can also be had from the overlap integrals of the two centres (for
// checking the series at low orders).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "harmonics/zam_tm.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "specfun/zam_fac.h"
#include "specfun/zam_mp.h"
#include "specfun/zam_yib.h"

namespace {

constexpr int kMaxOrder = 36;

// Coupling table to degree L: for l >= l', k = l-l', l-l'+2, .., l+l',
// m = 0..l': sqrt((2l+1)(2l'+1)) <l 0; l' 0 | k 0> <l m; l' -m | k 0>.
// A grown table replaces the published one; the old one is kept (never
// freed) because readers on other threads take no lock.
struct CouplingTable {
  int L;
  int64_t count;
  mpf_t* values;
  std::vector<int> pair_start;  // at l(l+1)/2 + l'
};
std::atomic<CouplingTable*> coupling{nullptr};
// Outgrown tables, kept for readers that may still hold them (under lock 0);
// a plain array stays reachable to the end, when a vector would be gone.
CouplingTable* retired[kMaxOrder + 2];
int n_retired = 0;

// Radial tables of one basis: norms at n(n-1)/2 + l and polynomial
// coefficients c(n, l, j), j = 0..n-1-l, pair after pair.
struct RadialTable {
  mpf_t* norm;
  mpf_t* coef;
  std::vector<int> start;  // first coefficient of pair n(n-1)/2 + l
};
std::atomic<RadialTable*> gto_table{nullptr};
std::atomic<RadialTable*> eto_table{nullptr};

int pair_of(int n, int l) { return n * (n - 1) / 2 + l; }

// Builds the radial table of the GTO (gto true) or ETO basis.
RadialTable* make_radial(bool gto) {
  auto* t = new RadialTable;
  const int pairs = kMaxOrder * (kMaxOrder + 1) / 2;
  t->norm = yib_mpf_get(pairs);
  t->start.assign(pairs + 1, 0);
  int total = 0;
  for (int n = 1; n <= kMaxOrder; n++)
    for (int l = 0; l < n; l++) {
      t->start[pair_of(n, l)] = total;
      total += n - l;
    }
  t->start[pairs] = total;
  t->coef = yib_mpf_get(total);
  mp_t_struct p;
  mp_init(&p);
  for (int n = 1; n <= kMaxOrder; n++)
    for (int l = 0; l < n; l++) {
      const int q = pair_of(n, l);
      mp_fac(&p, 1, n - 1 - l);
      if (gto) {
        mp_rise2(&p, -1, n);
      } else {
        mp_fac(&p, -1, n + l + 1);
      }
      mpf_ans(&p, t->norm[q]);
      mpf_sqrt(t->norm[q], t->norm[q]);
      if (gto) {
        if ((n - 1 - l) & 1) mpf_neg(t->norm[q], t->norm[q]);
      } else {
        mpf_mul_ui(t->norm[q], t->norm[q], 2 * n + 1);
      }
      for (int j = 0; j <= n - 1 - l; j++) {
        mpf_ptr c = t->coef[t->start[q] + j];
        if (gto) {
          mp_rise2(&p, 1, n);
          mp_rise2(&p, -1, l + 1 + j);
        } else {
          mp_fac(&p, 1, n + l + 1 + j);
          mp_rise2(&p, -1, l + 2 + j);
        }
        mp_fac(&p, -1, j);
        mp_fac(&p, -1, n - 1 - l - j);
        mpf_ans(&p, c);
        if (j & 1) mpf_neg(c, c);
      }
    }
  mp_free(&p);
  return t;
}

const RadialTable* radial(bool gto) {
  std::atomic<RadialTable*>& slot = gto ? gto_table : eto_table;
  RadialTable* t = slot.load(std::memory_order_acquire);
  if (t) return t;
  mp_setup();
  zam_mutex_acquire(ZAM_LOCK_COUPLING);
  t = slot.load(std::memory_order_relaxed);
  if (!t) {
    t = make_radial(gto);
    slot.store(t, std::memory_order_release);
  }
  zam_mutex_release(ZAM_LOCK_COUPLING);
  return t;
}

// Position of A(l, l', k, m) (l >= l') in the coupling table.
inline int64_t coupling_at(const CouplingTable* c, int l, int lp, int k, int m) {
  return c->pair_start[l * (l + 1) / 2 + lp] + static_cast<int64_t>((k - (l - lp)) / 2) * (lp + 1) + m;
}

// Shared body of the two series: Q(k, p) comes from the basis's table.
template <class Q>
void series(int N, double* T, bool gto, double E, Q q_of) {
  const RadialTable* rt = radial(gto);
  acc_init(N - 1);
  const CouplingTable* ct = coupling.load(std::memory_order_acquire);
  const int pmax = 2 * N;
  mpf_t* P = yib_mpf_get(pmax);
  mpf_t* acc = yib_mpf_get(N);
  mpf_t s, t, f;
  mpf_inits(s, t, f, nullptr);
  int64_t out = 0;
  for (int n = 1; n <= N; n++)
    for (int np = 1; np <= n; np++)
      for (int l = 0; l < n; l++)
        for (int lp = 0; lp < np; lp++) {
          const int ma = n - 1 - l, mb = np - 1 - lp, mm = std::min(l, lp);
          const mpf_t* ca = rt->coef + rt->start[pair_of(n, l)];
          const mpf_t* cb = rt->coef + rt->start[pair_of(np, lp)];
          for (int p = 0; p <= ma + mb; p++) mpf_set_ui(P[p], 0);
          for (int i = 0; i <= ma; i++)
            for (int j = 0; j <= mb; j++) {
              mpf_mul(t, ca[i], cb[j]);
              mpf_add(P[i + j], P[i + j], t);
            }
          for (int m = 0; m <= mm; m++) mpf_set_ui(acc[m], 0);
          const int lo = std::abs(l - lp), hi = l + lp;
          const int lmax = std::max(l, lp), lmin = mm;
          for (int k = lo; k <= hi; k += 2) {
            mpf_set_ui(s, 0);
            for (int p = 0; p <= ma + mb; p++) {
              mpf_mul(t, P[p], *q_of(k, (l + lp - k) / 2, l + lp, p));
              mpf_add(s, s, t);
            }
            const int base = (k + l - lp) / 2 + l + lp;
            for (int m = 0; m <= mm; m++) {
              mpf_mul(t, ct->values[coupling_at(ct, lmax, lmin, k, m)], s);
              if ((base + m) & 1)
                mpf_sub(acc[m], acc[m], t);
              else
                mpf_add(acc[m], acc[m], t);
            }
          }
          mpf_mul(f, rt->norm[pair_of(n, l)], rt->norm[pair_of(np, lp)]);
          mpf_set_d(t, E);
          mpf_mul(f, f, t);
          for (int m = 0; m <= mm; m++) {
            mpf_mul(t, acc[m], f);
            T[out++] = mpf_get_d(t);
          }
        }
  mpf_clears(s, t, f, nullptr);
  yib_mpf_free(P, pmax);
  yib_mpf_free(acc, N);
}

// Fills the coupling table to degree L from the exact Clebsch-Gordan route:
// per triple (l, l', k) with l + l' + k even, in triple order, the integer
// start G0 and the rational C02 seed the m3 = 0 ladder, which runs in GMP
// integers and rationals; each kept value is rounded once, to a 256-bit
// float. Point (m1, m2) = (m, -m) of the ladder is <l m; l' -m | k 0>.
// Returns the number of ladder points.
int64_t fill_coupling(int L, CouplingTable* c) {
  const int64_t triples = yib_j1j2j3_dim(L, 1);
  mpz_t* G0 = yib_mpz_get(triples);
  mpq_t* C02 = yib_mpq_get(triples);
  yib_g0_mpz(L, 1, G0);
  yib_c02_mpq(L, 1, C02);
  constexpr int kScratch = 12;
  mpz_t* tz = yib_mpz_get(kScratch);
  mpq_t* tq = yib_mpq_get(kScratch);
  const int64_t width = 2 * static_cast<int64_t>(L) + 1;  // the ladder arrays, indexed by L + m2
  mpz_t* Z = yib_mpz_get(width);
  mpq_t* Q = yib_mpq_get(width);
  std::vector<long double> V(static_cast<size_t>(width));
  mpf_t* G = yib_mpf_get(L + 1);  // G(l, l', k; m), m = 0..l'
  mpf_t sq, g0;
  mpf_inits(sq, g0, nullptr);
  int64_t pos = 0, points = 0, at = 0;
  for (int l = 0; l <= L; l++)
    for (int lp = 0; lp <= l; lp++) {
      c->pair_start[l * (l + 1) / 2 + lp] = static_cast<int>(pos);
      mpf_set_ui(sq, static_cast<unsigned long>((2 * l + 1) * (2 * lp + 1)));
      mpf_sqrt(sq, sq);
      for (int k = l - lp; k <= l + lp; k += 2, at++) {
        int first = 0, last = 0;
        const _m3ranges r3 = setup_m3ranges(l, lp, k, 0, &first, &last);
        const _m12ranges r12 = m12ranges(l, lp, k, 0, r3);
        const int64_t top = L + r12.m2_first;
        mpz_set(Z[top], G0[at]);
        mpq_set_z(tq[0], G0[at]);
        mpq_mul(tq[0], tq[0], tq[0]);
        mpq_div(Q[top], C02[at], tq[0]);
        points += yib_ladder_m1m2_mpq(L, l, lp, k, r12, tz, tq, Z, Q, V.data());
        for (int m = 0; m <= lp; m++) yib_result_mpf(Z[L - m], Q[L - m], tz[0], tq[0], G[m]);
        mpf_mul(g0, sq, G[0]);
        for (int m = 0; m <= lp; m++) mpf_mul(c->values[pos++], g0, G[m]);
      }
    }
  mpf_clears(sq, g0, nullptr);
  yib_mpf_free(G, L + 1);
  yib_mpz_free(Z, width);
  yib_mpq_free(Q, width);
  yib_mpz_free(tz, kScratch);
  yib_mpq_free(tq, kScratch);
  yib_mpz_free(G0, triples);
  yib_mpq_free(C02, triples);
  return points;
}

}  // namespace

void acc_init(int L) {
  if (L < 0) L = 0;
  const CouplingTable* have = coupling.load(std::memory_order_acquire);
  if (have && have->L >= L) return;
  mp_setup();
  zam_mutex_acquire(ZAM_LOCK_COUPLING);
  have = coupling.load(std::memory_order_relaxed);
  if (!have || have->L < L) {
    const double t0 = zam_get_time();
    zam_msg("Calculating Clebsch-Gordan coefficients to L=%d ...\n", L);
    auto* c = new CouplingTable;
    c->L = L;
    c->pair_start.assign((L + 1) * (L + 2) / 2, 0);
    int64_t count = 0;
    for (int l = 0; l <= L; l++)
      for (int lp = 0; lp <= l; lp++) count += static_cast<int64_t>(lp + 1) * (lp + 1);
    c->count = count;
    c->values = yib_mpf_get(count);
    const int64_t points = fill_coupling(L, c);
    if (have) retired[n_retired++] = const_cast<CouplingTable*>(have);  // degrees only grow: at most 36
    coupling.store(c, std::memory_order_release);
    zam_msg("Done %ld Clebsch-Gordan coefficients to L=%d in %.2f seconds.\n", static_cast<long>(points), L,
            zam_get_time() - t0);
  }
  zam_mutex_release(ZAM_LOCK_COUPLING);
}

mpf_srcptr acc_value(int l, int lp, int k, int m) {
  const CouplingTable* c = coupling.load(std::memory_order_acquire);
  if (l < lp) std::swap(l, lp);
  return c->values[coupling_at(c, l, lp, k, m)];
}

void tm_gt3_ser(int N, double* T, double R) {
  const double t0 = zam_get_time();
  const double x = R / (2.0 * std::sqrt(hnl_scale()));
  int cols = 0, count = 0;
  mpf_t* B = mp_bkj(N, x, &cols, &count);
  series(N, T, true, std::exp(-x * x) / 2.0,
         [&](int k, int half, int, int p) { return &B[static_cast<int64_t>(k) * cols + half + p]; });
  yib_mpf_free(B, count);
  zam_msg("Translation matrix K[%d](%.2f) done in %.2f seconds.\n", N, R, zam_get_time() - t0);
}

void tm_et3_ser(int N, double* T, double R) {
  const double t0 = zam_get_time();
  const double x = R * (2.0 * tnl_scale()) / 2.0;
  int s1 = 0, s2 = 0, count = 0;
  mpf_t* D = mp_dkjn(N, x, &s1, &s2, &count);
  series(N, T, false, std::exp(-x) / 2.0, [&](int k, int half, int ll, int p) {
    return &D[static_cast<int64_t>(k) * s2 + static_cast<int64_t>(half) * s1 + ll + 2 + p];
  });
  yib_mpf_free(D, count);
  zam_msg("Translation matrix J[%d](%.2f) done in %.2f seconds.\n", N, R, zam_get_time() - t0);
}

namespace {

// A polynomial in the prolate spheroidal coordinates (xi, eta) of a pair of
// centres: the coefficient of xi^a eta^b at a * D + b, a, b < D.
struct Poly2 {
  int D;
  std::vector<long double> c;
  explicit Poly2(int d) : D(d), c(static_cast<size_t>(d) * d, 0.0L) {}
  long double& at(int a, int b) { return c[static_cast<size_t>(a) * D + b]; }
  long double at(int a, int b) const { return c[static_cast<size_t>(a) * D + b]; }
};

Poly2 times(const Poly2& x, const Poly2& y) {
  Poly2 z(x.D + y.D - 1);
  for (int a = 0; a < x.D; a++)
    for (int b = 0; b < x.D; b++) {
      const long double v = x.at(a, b);
      if (v == 0.0L) continue;
      for (int c = 0; c < y.D; c++)
        for (int d = 0; d < y.D; d++) z.at(a + c, b + d) += v * y.at(c, d);
    }
  return z;
}

Poly2 add_scaled(Poly2 x, const Poly2& y, long double s) {
  if (y.D > x.D) {
    Poly2 wide(y.D);
    for (int a = 0; a < x.D; a++)
      for (int b = 0; b < x.D; b++) wide.at(a, b) = x.at(a, b);
    x = std::move(wide);
  }
  for (int a = 0; a < y.D; a++)
    for (int b = 0; b < y.D; b++) x.at(a, b) += s * y.at(a, b);
  return x;
}

Poly2 power(const Poly2& x, int e) {
  Poly2 z(1);
  z.at(0, 0) = 1.0L;
  for (int k = 0; k < e; k++) z = times(z, x);
  return z;
}

// k0 + kx xi + ke eta + kxe xi eta.
Poly2 linear(long double k0, long double kx, long double ke, long double kxe) {
  Poly2 z(2);
  z.at(0, 0) = k0;
  z.at(1, 0) = kx;
  z.at(0, 1) = ke;
  z.at(1, 1) = kxe;
  return z;
}

// One centre's ETO function times its solid harmonic, the exponential and
// the norms left out, in units of half the distance: with p = t R / 2,
// sum over j of c_j p^(l+j) u^j times sum over i of plm_coef(l, m, i) z^i
// u^(l-m-i), where u = r / (R/2) and z = (the centre's z) / (R/2), and the
// factor rho^m of the harmonic kept for the pair (rho^2m is a polynomial).
// The first centre (sigma +1) has u = xi + eta, z = 1 + xi eta; the second
// (sigma -1), at distance R along z, u = xi - eta, z = xi eta - 1.
Poly2 centre_term(int n, int l, int m, int sigma, long double p) {
  const Poly2 u = linear(0, 1, sigma, 0);
  const Poly2 z = linear(sigma, 0, 0, 1);
  Poly2 angular(1);
  for (int i = 0; i <= l - m; i++) {
    const double c = plm_coef(l, m, i);
    if (c != 0.0) angular = add_scaled(angular, times(power(z, i), power(u, l - m - i)), c);
  }
  Poly2 radial(1);
  for (int j = 0; j <= n - l - 1; j++)
    radial = add_scaled(radial, power(u, j), static_cast<long double>(tnlk(n, l, j)) * std::pow(p, l + j));
  return times(angular, radial);
}

}  // namespace

void zam_calc_jr2(int N, int, double* out, double R) {
  const double t0 = zam_get_time();
  if (N < 1 || N > kMaxOrder) {
    zam_err("No analytic translation matrix of order %d (1 to %d).\n", N, kMaxOrder);
    return;
  }
  if (R == 0.0) {
    tm3_ident(N, out);
    zam_msg("J[%d](%.2f) done analytically in %.2f seconds.\n\n", N, R, zam_get_time() - t0);
    return;
  }
  const double a = std::fabs(R);
  const long double p = a * tnl_scale();  // t R / 2, the series' scaled distance
  std::vector<double> norm(static_cast<size_t>(N * (N + 1) / 2));
  tnl_all_norm(N, norm.data());
  // Integrals over xi in [1, inf) of xi^k e^(-p xi) and over eta in [-1, 1]
  // of eta^k, k up to the highest power of a product.
  const int kmax = 4 * N + 8;
  std::vector<long double> xi_int(kmax), eta_int(kmax);
  for (int k = 0; k < kmax; k++) {
    xi_int[k] = bk_beta(k, static_cast<double>(p));
    eta_int[k] = k % 2 ? 0.0L : 2.0L / (k + 1);
  }
  const long double volume = std::pow(0.5L * a, 3);  // (R/2)^3 of the volume element
  // elements[m][pair(n, l) * pairs + pair(n', l')]
  const int pairs = N * (N + 1) / 2;
  std::vector<std::vector<long double>> elements(N, std::vector<long double>(static_cast<size_t>(pairs) * pairs));
  for (int m = 0; m < N; m++) {
    // rho^2m = ((xi^2 - 1)(1 - eta^2))^m and the Jacobian xi^2 - eta^2,
    // shared by every pair of this m.
    Poly2 xi2(3), eta2(3), jacobian(3);
    xi2.at(2, 0) = 1.0L;
    xi2.at(0, 0) = -1.0L;
    eta2.at(0, 0) = 1.0L;
    eta2.at(0, 2) = -1.0L;
    jacobian.at(2, 0) = 1.0L;
    jacobian.at(0, 2) = -1.0L;
    const Poly2 weight = times(power(times(xi2, eta2), m), jacobian);
    for (int n = m + 1; n <= N; n++)
      for (int l = m; l < n; l++) {
        // The first centre's term integrated against every monomial: g(c, d)
        // = sum over (a, b) of A(a, b) xi_int(a + c) eta_int(b + d).
        const Poly2 A = centre_term(n, l, m, 1, p);
        for (int np = m + 1; np <= N; np++)
          for (int lp = m; lp < np; lp++) {
            const Poly2 B = times(centre_term(np, lp, m, -1, p), weight);
            long double sum = 0.0L;
            for (int a1 = 0; a1 < A.D; a1++)
              for (int b1 = 0; b1 < A.D; b1++) {
                const long double v = A.at(a1, b1);
                if (v == 0.0L) continue;
                for (int c = 0; c < B.D; c++)
                  for (int d = (b1 % 2); d < B.D; d += 2) sum += v * B.at(c, d) * xi_int[a1 + c] * eta_int[b1 + d];
              }
            const int i = pair_of(n, l), k = pair_of(np, lp);
            elements[m][static_cast<size_t>(i) * pairs + k] = sum * volume * norm[i] * norm[k] * plm_norm(l, m) *
                                                              plm_norm(lp, m);
          }
      }
  }
  int64_t at = 0;
  for (int n = 1; n <= N; n++)
    for (int np = 1; np <= n; np++) {
      zam_msg("[%2d,%2d]\n", n, np);
      for (int l = 0; l < n; l++)
        for (int lp = 0; lp < np; lp++)
          for (int m = 0; m <= std::min(l, lp); m++)
            out[at++] = static_cast<double>(elements[m][static_cast<size_t>(pair_of(n, l)) * pairs + pair_of(np, lp)]);
    }
  if (R < 0) tm3_neg(N, out);
  zam_msg("J[%d](%.2f) done analytically in %.2f seconds.\n\n", N, R, zam_get_time() - t0);
}
