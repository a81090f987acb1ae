#include "harmonics/zam_zlm.h"

#include <cmath>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_wigner.h"

namespace {

constexpr double kHalfRoot2 = 0.7071067811865475;
constexpr double kInvSqrt2Pi = 0.3989422804014327;

// Complex-basis sign: -1 for the q basis, +1 for the z basis.
constexpr int kQ = -1;
constexpr int kZ = 1;

Complex times_i(Complex a) { return Complex{-a.im, a.re}; }

// Readers and writers of one slot: a real array (imaginary part 0, real part
// kept) or an array of complex pairs.
struct RealSlots {
  const double* in;
  double* out;
  Complex get(int k) const { return Complex{in[k], 0.0}; }
  void put(int k, Complex v) const { out[k] = v.re; }
};
struct ComplexSlots {
  const double* in;
  double* out;
  Complex get(int k) const { return Complex{in[2 * k], in[2 * k + 1]}; }
  void put(int k, Complex v) const {
    out[2 * k] = v.re;
    out[2 * k + 1] = v.im;
  }
};

// Real basis -> complex basis (sigma kQ or kZ) for the run of degree l
// centred at slot c: x_m = (c_m + sigma i c_-m)/sqrt2, x_-m = s (c_m - sigma i c_-m)/sqrt2.
template <typename Src, typename Dst>
void run_to_complex(int sigma, int l, int c, const Src& src, const Dst& dst) {
  dst.put(c, src.get(c));
  for (int m = 1; m <= l; m++) {
    const Complex cp = src.get(c + m), ic = cscale(sigma, times_i(src.get(c - m)));
    const double s = (m % 2) ? -kHalfRoot2 : kHalfRoot2;
    dst.put(c + m, cscale(kHalfRoot2, cadd(cp, ic)));
    dst.put(c - m, cscale(s, csub(cp, ic)));
  }
}

// And back: c_m = (x_m + s x_-m)/sqrt2, c_-m = -sigma i (x_m - s x_-m)/sqrt2.
template <typename Src, typename Dst>
void run_from_complex(int sigma, int l, int c, const Src& src, const Dst& dst) {
  dst.put(c, src.get(c));
  for (int m = 1; m <= l; m++) {
    const Complex xp = src.get(c + m);
    const Complex xn = cscale((m % 2) ? -1.0 : 1.0, src.get(c - m));
    dst.put(c + m, cscale(kHalfRoot2, cadd(xp, xn)));
    dst.put(c - m, cscale(-sigma * kHalfRoot2, times_i(csub(xp, xn))));
  }
}

// Every run of a single shell of degree L (those of a vector: anlm_runs).
template <typename Fn>
void shell_runs(int L, Fn fn) {
  for (int l = 0; l <= L; l++) fn(l, l * (l + 1));
}

}  // namespace

Complex zi_m(int m) {
  switch (((m % 4) + 4) % 4) {
    case 0: return Complex{1.0, 0.0};
    case 1: return Complex{0.0, 1.0};
    case 2: return Complex{-1.0, 0.0};
    default: return Complex{0.0, -1.0};
  }
}

Complex zneg1_m(int m) { return Complex{(m % 2) ? -1.0 : 1.0, 0.0}; }

Complex zeim(int m, double phi) {
  double s, c;
  sincos(m * phi, &s, &c);
  return Complex{c * kInvSqrt2Pi, s * kInvSqrt2Pi};
}

Complex zlm(int l, int m, double theta, double phi) { return cscale(qlm(l, m, theta), zeim(m, phi)); }

void zjoin(int n, const double* re, const double* im, double* out) {
  for (int k = 0; k < n; k++) {
    out[2 * k] = re ? re[k] : 0.0;
    out[2 * k + 1] = im ? im[k] : 0.0;
  }
}

void zsplit(int n, const double* z, double* re, double* im) {
  for (int k = 0; k < n; k++) {
    if (re) re[k] = z[2 * k];
    if (im) im[k] = z[2 * k + 1];
  }
}

void zswap(int n, const double* z, double* out) {
  for (int k = 0; k < n; k++) {
    const double re = z[2 * k], im = z[2 * k + 1];
    out[2 * k] = im;
    out[2 * k + 1] = re;
  }
}

void zconj(int n, const double* z, double* out) {
  for (int k = 0; k < n; k++) {
    out[2 * k] = z[2 * k];
    out[2 * k + 1] = -z[2 * k + 1];
  }
}

void zconjf(int n, const float* z, float* out) {
  for (int k = 0; k < n; k++) {
    out[2 * k] = z[2 * k];
    out[2 * k + 1] = -z[2 * k + 1];
  }
}

void zd2zf(int n, const double* src, float* dst) { zam_d2f(src, 2 * n, dst); }
void zf2zd(int n, const float* src, double* dst) { zam_f2d(src, 2 * n, dst); }
void zreal(int n, const double* z, double* out) { zsplit(n, z, out, nullptr); }
void zimag(int n, const double* z, double* out) { zsplit(n, z, nullptr, out); }

void zzreal(int n, const long double* z, double* out) {
  for (int k = 0; k < n; k++) out[k] = static_cast<double>(z[2 * k]);
}

void zzimag(int n, const long double* z, double* out) {
  for (int k = 0; k < n; k++) out[k] = static_cast<double>(z[2 * k + 1]);
}

void zam_f2d(const float* src, int n, double* dst) {
  for (int k = 0; k < n; k++) dst[k] = src[k];
}

void zam_d2f(const double* src, int n, float* dst) {
  for (int k = 0; k < n; k++) dst[k] = static_cast<float>(src[k]);
}

void qnlm_abnlm(int N, const double* a, const double* b, double* q) {
  std::vector<double> c(2 * static_cast<size_t>(anlm_size(N)));
  zjoin(anlm_size(N), a, b, c.data());
  qnlm_cnlm(N, c.data(), q);
}

void qnlm_cnlm(int N, const double* c, double* q) {
  anlm_runs(N, [&](int l, int o) { run_to_complex(kQ, l, o, ComplexSlots{c, nullptr}, ComplexSlots{nullptr, q}); });
}

void cnlm_qnlm(int N, const double* q, double* c) {
  anlm_runs(N, [&](int l, int o) { run_from_complex(kQ, l, o, ComplexSlots{q, nullptr}, ComplexSlots{nullptr, c}); });
}

void qnlm_anlm(int N, const double* a, double* q) {
  anlm_runs(N, [&](int l, int o) { run_to_complex(kQ, l, o, RealSlots{a, nullptr}, ComplexSlots{nullptr, q}); });
}

void anlm_qnlm(int N, const double* q, double* a) {
  anlm_runs(N, [&](int l, int o) { run_from_complex(kQ, l, o, ComplexSlots{q, nullptr}, RealSlots{nullptr, a}); });
}

void qnlm_conj(int N, const double* q, double* out) { zconj(anlm_size(N), q, out); }

Complex zanlm_dot(int N, const double* a, const double* b) {
  double re = 0.0, im = 0.0;
  for (int k = 0, n = anlm_size(N); k < n; k++) {
    re += a[2 * k] * b[2 * k] - a[2 * k + 1] * b[2 * k + 1];
    im += a[2 * k] * b[2 * k + 1] + a[2 * k + 1] * b[2 * k];
  }
  return Complex{re, im};
}

Complex zanlm_stupid(int nvec, int N, const double* a, const double* b) {
  Complex s{0.0, 0.0};
  const long k = 2L * anlm_size(N);
  for (int v = 0; v < nvec; v++) s = cadd(s, zanlm_dot(N, a + v * k, b + v * k));
  return s;
}

void znlm_phi(int N, double phi, double* out) {
  if (N < 1) return;
  std::vector<Complex> e(2 * N - 1);
  Complex* ec = &e[N - 1];
  for (int m = -(N - 1); m <= N - 1; m++) {
    double s, c;
    sincos(-m * phi, &s, &c);
    ec[m] = Complex{c, s};
  }
  anlm_runs(N, [&](int l, int o) {
    for (int m = -l; m <= l; m++) {
      out[2 * (o + m)] = ec[m].re;
      out[2 * (o + m) + 1] = ec[m].im;
    }
  });
}

void znlm_mult(int N, const double* a, const double* b, double* out) {
  for (int k = 0, n = anlm_size(N); k < n; k++) {
    const Complex p = cmul(Complex{a[2 * k], a[2 * k + 1]}, Complex{b[2 * k], b[2 * k + 1]});
    out[2 * k] = p.re;
    out[2 * k + 1] = p.im;
  }
}

void zanlm_rotate(int N, int nvec, double alpha, double beta, double gamma, const double* in, double* out) {
  if (N < 1) return;
  const long K = anlm_size(N);
  std::vector<Complex> ea(2 * N - 1), eg(2 * N - 1);
  for (int m = -(N - 1); m <= N - 1; m++) {
    double s, c;
    sincos(-m * alpha, &s, &c);
    ea[m + N - 1] = Complex{c, s};
    sincos(-m * gamma, &s, &c);
    eg[m + N - 1] = Complex{c, s};
  }
  for (int v = 0; v < nvec; v++) {
    const double* src = in + 2 * v * K;
    double* dst = out + 2 * v * K;
    anlm_runs(N, [&](int l, int o) {
      for (int m = -l; m <= l; m++) {
        Complex sum{0.0, 0.0};
        for (int k = -l; k <= l; k++) {
          const Complex q{src[2 * (o + k)], src[2 * (o + k) + 1]};
          sum = cadd(sum, cscale(dljm(l, m, k, beta), cmul(eg[k + N - 1], q)));
        }
        const Complex r = cmul(ea[m + N - 1], sum);
        dst[2 * (o + m)] = r.re;
        dst[2 * (o + m) + 1] = r.im;
      }
    });
  }
}

void zanlm_rot_phi(int N, double phi, const double* in, double* out) {
  std::vector<double> f(2 * static_cast<size_t>(anlm_size(N)));
  znlm_phi(N, phi, f.data());
  znlm_mult(N, in, f.data(), out);
}

void qlm_alm(int L, const double* a, double* q) {
  shell_runs(L, [&](int l, int o) { run_to_complex(kQ, l, o, RealSlots{a, nullptr}, ComplexSlots{nullptr, q}); });
}

void alm_qlm(int L, const double* q, double* a) {
  shell_runs(L, [&](int l, int o) { run_from_complex(kQ, l, o, ComplexSlots{q, nullptr}, RealSlots{nullptr, a}); });
}

void qlm_clm(int L, const double* c, double* q) {
  shell_runs(L, [&](int l, int o) { run_to_complex(kQ, l, o, ComplexSlots{c, nullptr}, ComplexSlots{nullptr, q}); });
}

void clm_qlm(int L, const double* q, double* c) {
  shell_runs(L, [&](int l, int o) { run_from_complex(kQ, l, o, ComplexSlots{q, nullptr}, ComplexSlots{nullptr, c}); });
}

void qlm_ablm(int L, const double* a, const double* b, double* q) {
  std::vector<double> c(2 * static_cast<size_t>((L + 1) * (L + 1)));
  zjoin((L + 1) * (L + 1), a, b, c.data());
  qlm_clm(L, c.data(), q);
}

void zlm_ylm(int L, const double* a, double* z) {
  shell_runs(L, [&](int l, int o) { run_to_complex(kZ, l, o, RealSlots{a, nullptr}, ComplexSlots{nullptr, z}); });
}

void ylm_zlm(int L, const double* z, double* a) {
  shell_runs(L, [&](int l, int o) { run_from_complex(kZ, l, o, ComplexSlots{z, nullptr}, RealSlots{nullptr, a}); });
}

void zlm_clm(int L, const double* c, double* z) {
  shell_runs(L, [&](int l, int o) { run_to_complex(kZ, l, o, ComplexSlots{c, nullptr}, ComplexSlots{nullptr, z}); });
}

void clm_zlm(int L, const double* z, double* c) {
  shell_runs(L, [&](int l, int o) { run_from_complex(kZ, l, o, ComplexSlots{z, nullptr}, ComplexSlots{nullptr, c}); });
}

void zlm_all_bar(int L, double theta, double phi, double* out) {
  std::vector<double> y((L + 1) * (L + 1));
  ylm_all_bar(L, y.data(), theta, phi);
  zlm_ylm(L, y.data(), out);
}
