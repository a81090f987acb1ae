#include "harmonics/zam_wigner.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "runtime/zam_vm.h"
#include "specfun/zam_fac.h"

namespace {

constexpr double kRoot2 = 1.4142135623730951;
constexpr double kFlat = 1e-6;  // beta this close to 0 or +-pi is taken as exact
constexpr double kPi = 3.14159265358979323846;

int sign_of(int k) { return (k % 2) ? -1 : 1; }  // (-1)^k, k of any sign

int block_start(int l) { return l * (2 * l - 1) * (2 * l + 1) / 3; }

// Fills the (2l+1)^2 d-matrix of degree l into d (element (m, j) at
// (m + c) stride + j + c) from the rows m = l..0 and the symmetries
// d_jm = (-1)^(j-m) d_mj and d_-m,-j = (-1)^(m-j) d_mj. row is scratch of
// 2l+1 doubles centred at l.
void load_d(int l, double beta, double* d, int stride, int c, double* row) {
  auto at = [d, stride, c](int m, int j) -> double& { return d[(m + c) * stride + j + c]; };
  for (int m = l; m >= 0; m--) {
    dlmj_r(l, m, beta, row);
    for (int j = m; j <= l; j++) {
      const int e = sign_of(j - m);
      const double p = row[j];   // d_m,j
      const double q = row[-j];  // d_m,-j
      at(m, j) = p;
      at(j, m) = e * p;
      at(-m, -j) = e * p;
      at(-j, -m) = p;
      const int f = sign_of(j + m);
      at(m, -j) = q;
      at(-j, m) = f * q;
      at(-m, j) = f * q;
      at(j, -m) = q;
    }
  }
}

// R^l_ab from the angle factors c_a = cos(a alpha), s_a = sin(a alpha),
// C_b = cos(b gamma), S_b = sin(b gamma) and the elements d_ab, d_-a,b.
double real_element(int a, int b, double ca, double sa, double Cb, double Sb, double dab, double dnb) {
  if (a == 0 && b == 0) return dab;
  if (b == 0) return a > 0 ? kRoot2 * ca * dab : sign_of(a + 1) * kRoot2 * sa * dab;
  if (a == 0) return b > 0 ? kRoot2 * Cb * dab : sign_of(b) * kRoot2 * Sb * dab;
  if (a > 0 && b > 0) return (ca * Cb - sa * Sb) * dab + sign_of(a) * (ca * Cb + sa * Sb) * dnb;
  if (a < 0 && b > 0) return sign_of(a + 1) * (ca * Sb + sa * Cb) * dab + (ca * Sb - sa * Cb) * dnb;
  if (a > 0) return sign_of(b) * (ca * Sb + sa * Cb) * dab + sign_of(a + b) * (ca * Sb - sa * Cb) * dnb;
  return sign_of(a + b) * (ca * Cb - sa * Sb) * dab + sign_of(b + 1) * (ca * Cb + sa * Sb) * dnb;
}

// The rows of R^l for the d-matrix loaded in dl, into out row by row.
void real_block(const _dl* dl, int l, double* out) {
  for (int a = -l; a <= l; a++)
    for (int b = -l; b <= l; b++) *out++ = dl_jm(dl, a, b);
}

// The rotation by psi about z: R_aa = cos(a psi), R_a,-a = -sin(a psi).
void z_blocks(int L, double psi, double* R) {
  double c[ZAM_MTABLE], s[ZAM_MTABLE];
  cos_sin_pm(L, psi, c, s);
  for (int l = 0; l <= L; l++) {
    double* blk = R + block_start(l);
    const int w = 2 * l + 1;
    for (int i = 0; i < w * w; i++) blk[i] = 0.0;
    for (int a = -l; a <= l; a++) {
      blk[(a + l) * w + (-a + l)] = -s[ZAM_MCENTRE + a];
      blk[(a + l) * w + (a + l)] = c[ZAM_MCENTRE + a];
    }
  }
}

// The matrix that dljm keeps for its thread: degree, beta and elements.
struct DljmBuffer {
  int l = -1;
  double beta = -99999.0;
  std::vector<double> d, row;
};
thread_local DljmBuffer dljm_buffer;

// Per-thread matrices of whole rotations made from single elements, for
// almkj_rotate and anlm_do_rotate: the highest degree held and the angles.
struct ElementTable {
  int lmax = -1;
  double alpha = -999.0, beta = -999.0, gamma = -999.0;
  std::vector<double> R;  // packed, degrees 0..lmax
};
thread_local ElementTable shell_table, vector_table;

// Makes t hold R^l for degrees 0..L at the angles (rebuilt when they change,
// or when a higher degree is asked).
const double* element_matrices(ElementTable& t, int L, double alpha, double beta, double gamma) {
  if (t.lmax >= L && t.alpha == alpha && t.beta == beta && t.gamma == gamma) return t.R.data();
  t.R.assign(rlm_size(L), 0.0);
  for (int l = 0; l <= L; l++) {
    double* blk = &t.R[block_start(l)];
    for (int a = -l; a <= l; a++)
      for (int b = -l; b <= l; b++) *blk++ = eljm(l, a, b, alpha, beta, gamma);
  }
  t.lmax = L;
  t.alpha = alpha;
  t.beta = beta;
  t.gamma = gamma;
  return t.R.data();
}

// The turn by psi about z of one run of 2l+1 coefficients centred at c.
void turn_run(int l, double psi, const double* in, double* out) {
  out[0] = in[0];
  for (int m = 1; m <= l; m++) {
    const double cm = std::cos(m * psi), sm = std::sin(m * psi);
    out[m] = cm * in[m] - sm * in[-m];
    out[-m] = sm * in[m] + cm * in[-m];
  }
}

// Natural log of the smallest end value of a d-row run in double (1e-280):
// below it the run is near the end of double range, where flush-to-zero
// takes the values to 0.
constexpr double kSmallestEnd = -644.7;

// The row of m of d^l(beta) (0 < |beta| < pi), j = m..l and -l..-m, into row
// centred at j = 0, by the three-term recurrence inwards from both ends, in
// the arithmetic of T.
template <typename T>
void d_row(int l, int m, double beta, T* row) {
  const T b = beta;
  const T c = std::cos(b / 2), s = std::sin(b / 2);
  const T r = plm_rnorm(l, m);
  row[l] = r * std::pow(c, l + m) * std::pow(s, l - m);
  row[-l] = sign_of(l + m) * r * std::pow(c, l - m) * std::pow(s, l + m);
  if (m == l) return;
  const T cb = std::cos(b), t = -2 / std::sin(b);
  for (int j = l; j > m; j--) {
    const T q = 1 / std::sqrt(static_cast<T>(l + j) * (l - j + 1));
    const T p = j == l ? 0 : std::sqrt(static_cast<T>(l - j) * (l + j + 1));
    const T top_p = j == l ? 0 : p * row[j + 1];
    const T bot_p = j == l ? 0 : p * row[-j - 1];
    if (m == 0 && j == 1) {
      // The two runs meet at row[0]: formed once.
      row[0] = q * (t * (m + j * cb) * row[-j] - top_p);
      break;
    }
    row[j - 1] = q * (t * (m - j * cb) * row[j] - top_p);
    row[-j + 1] = q * (t * (m + j * cb) * row[-j] - bot_p);
  }
}

// d^l(pi/2) for degrees 0..lmax, packed, per thread.
struct HalfTurnTable {
  int lmax = -1;
  std::vector<double> d;
};
thread_local HalfTurnTable half_turn;

}  // namespace

int rlm_size(int L) { return L < 0 ? 0 : (L + 1) * (2 * L + 1) * (2 * L + 3) / 3; }

_dl* dl_create(int L) {
  if (L < 0) L = 0;
  _dl* dl = static_cast<_dl*>(zam_vm_get_0(sizeof(_dl)));
  if (!dl) return nullptr;
  dl->lmax = L;
  dl->stride = 2 * L + 1;
  dl->d = static_cast<double*>(zam_vm_get_0(static_cast<int64_t>(sizeof(double)) * dl->stride * dl->stride));
  dl->row = static_cast<double*>(zam_vm_get_0(static_cast<int64_t>(sizeof(double)) * dl->stride));
  double** tabs[4] = {&dl->cos_alpha, &dl->sin_alpha, &dl->cos_gamma, &dl->sin_gamma};
  bool ok = dl->d && dl->row;
  for (double** t : tabs) {
    *t = static_cast<double*>(zam_vm_get_0(static_cast<int64_t>(sizeof(double)) * ZAM_MTABLE));
    ok = ok && *t;
  }
  if (!ok) {
    dl_delete(dl);
    return nullptr;
  }
  return dl;
}

void dl_delete(_dl* dl) {
  if (!dl) return;
  zam_vm_free(dl->d);
  zam_vm_free(dl->row);
  zam_vm_free(dl->cos_alpha);
  zam_vm_free(dl->sin_alpha);
  zam_vm_free(dl->cos_gamma);
  zam_vm_free(dl->sin_gamma);
  zam_vm_free(dl);
}

void dlmj_r(int l, int m, double beta, double* row) {
  plm_init();
  beta = euler_beta(beta);
  if (std::fabs(beta) < kFlat) {
    for (int j = -l; j <= l; j++) row[j] = j == m ? 1.0 : 0.0;
    return;
  }
  if (std::fabs(beta + kPi) < kFlat || std::fabs(beta - kPi) < kFlat) {
    const double v = sign_of(l + m);
    for (int j = -l; j <= l; j++) row[j] = j == -m ? v : 0.0;
    return;
  }
  // The two ends are powers of cos(beta/2) and sin(beta/2) of degree up to
  // 2l: near beta = 0 or pi and at high degree they fall below double range
  // (at degree 160 already for beta within 0.01 of either), and a run
  // started from 0 stays 0. Such a row runs in long double, whose range
  // holds every end to degree 160; the others as they always have.
  const double lc = std::log(std::fabs(std::cos(0.5 * beta))), ls = std::log(std::fabs(std::sin(0.5 * beta)));
  const double ends = std::min((l + m) * lc + (l - m) * ls, (l - m) * lc + (l + m) * ls);
  if (ends + std::log(plm_rnorm(l, m)) > kSmallestEnd) {
    d_row<double>(l, m, beta, row);
    return;
  }
  std::vector<long double> wide(2 * l + 1);
  d_row<long double>(l, m, beta, wide.data() + l);
  for (int j = -l; j <= l; j++) row[j] = static_cast<double>(wide[l + j]);
}

void dl_load_beta(_dl* dl, int l, double beta) {
  if (l < 0 || l > dl->lmax) return;
  load_d(l, beta, dl->d, dl->stride, dl->lmax, dl->row + dl->lmax);
}

double dl_jm(const _dl* dl, int a, int b) {
  const int c = dl->lmax, w = dl->stride;
  const double* d = dl->d;
  return real_element(a, b, dl->cos_alpha[ZAM_MCENTRE + a], dl->sin_alpha[ZAM_MCENTRE + a],
                      dl->cos_gamma[ZAM_MCENTRE + b], dl->sin_gamma[ZAM_MCENTRE + b],
                      d[(a + c) * w + b + c], d[(-a + c) * w + b + c]);
}

double* rlmj_er(int L, Euler e) {
  if (L < 0) L = 0;
  double* R = static_cast<double*>(zam_vm_get(static_cast<int64_t>(sizeof(double)) * rlm_size(L)));
  if (!R) return nullptr;
  if (e.beta == 0.0) {
    z_blocks(L, e.alpha + e.gamma, R);
    return R;
  }
  _dl* dl = dl_create(L);
  if (!dl) {
    zam_vm_free(R);
    return nullptr;
  }
  cos_sin_pm(L, e.alpha, dl->cos_alpha, dl->sin_alpha);
  cos_sin_pm(L, e.gamma, dl->cos_gamma, dl->sin_gamma);
  for (int l = 0; l <= L; l++) {
    dl_load_beta(dl, l, e.beta);
    real_block(dl, l, R + block_start(l));
  }
  dl_delete(dl);
  return R;
}

void dljm_all(int L, double* out, double beta) {
  if (L < 0) return;
  const int w = 2 * L + 1;
  std::vector<double> d(static_cast<size_t>(w) * w), row(w);
  for (int l = 0; l <= L; l++) {
    load_d(l, beta, d.data(), w, L, row.data() + L);
    double* blk = out + block_start(l);
    for (int a = -l; a <= l; a++)
      for (int b = -l; b <= l; b++) *blk++ = d[(a + L) * w + b + L];
  }
}

double dljm(int l, int m, int j, double beta) {
  DljmBuffer& b = dljm_buffer;
  const int w = 2 * l + 1;
  if (b.l != l || b.beta != beta) {
    b.d.assign(static_cast<size_t>(w) * w, 0.0);
    b.row.assign(w, 0.0);
    load_d(l, beta, b.d.data(), w, l, b.row.data() + l);
    b.l = l;
    b.beta = beta;
  }
  return b.d[(m + l) * w + j + l];
}

double dljm0(int l, int m, int j, double beta) {
  beta = euler_beta(beta);
  if (beta == 0.0) return m == j ? 1.0 : 0.0;
  const long double c = cosl(0.5L * beta), s = sinl(0.5L * beta);
  const long double root = sqrtl(hfac(l + m) * hfac(l - m) * hfac(l + j) * hfac(l - j));
  const int k0 = j - m > 0 ? j - m : 0;
  const int k1 = l + j < l - m ? l + j : l - m;
  long double sum = 0.0L;
  for (int k = k0; k <= k1; k++) {
    const long double t = powl(c, 2 * l + j - m - 2 * k) * powl(s, m - j + 2 * k) /
                          (hfac(l + j - k) * hfac(k) * hfac(m - j + k) * hfac(l - m - k));
    sum += sign_of(m - j + k) * t;
  }
  return static_cast<double>(root * sum);
}

double eljm(int l, int a, int b, double alpha, double beta, double gamma) {
  const double dab = dljm(l, a, b, beta), dnb = dljm(l, -a, b, beta);
  return real_element(a, b, std::cos(a * alpha), std::sin(a * alpha), std::cos(b * gamma), std::sin(b * gamma), dab,
                      dnb);
}

double ylm_euler(int l, int m, double theta, double phi, double alpha, double beta, double gamma) {
  if (alpha == 0.0 && beta == 0.0 && gamma == 0.0) return ylm(l, m, theta, phi);
  double s = 0.0;
  for (int k = -l; k <= l; k++) {
    const double r = eljm(l, k, m, alpha, beta, gamma);
    if (r != 0.0) s += r * ylm(l, k, theta, phi);
  }
  return s;
}

void alm_rotate(int L, const double* in, double* out, double alpha, double beta, double gamma) {
  for (int l = 0; l <= L; l++) {
    const int c = l * (l + 1);
    if (beta != 0.0) {
      for (int a = -l; a <= l; a++) {
        double s = 0.0;
        for (int b = -l; b <= l; b++) s += eljm(l, a, b, alpha, beta, gamma) * in[c + b];
        out[c + a] = s;
      }
    } else if (alpha + gamma == 0.0) {
      for (int m = -l; m <= l; m++) out[c + m] = in[c + m];
    } else {
      turn_run(l, alpha + gamma, in + c, out + c);
    }
  }
}

void almkj_rotate(int L, const double* in, double* out, double alpha, double beta, double gamma) {
  if (L < 0) return;
  const double* R = element_matrices(shell_table, L, alpha, beta, gamma);
  const int K = (L + 1) * (L + 1);
  std::vector<double> tmp(static_cast<size_t>(K) * K, 0.0);
  // tmp(lc, kb) = sum over d of in(lc, kd) R^k_bd; then out(la, kb) = sum over c of R^l_ac tmp(lc, kb).
  for (int i = 0; i < K; i++)
    for (int k = 0; k <= L; k++) {
      const double* blk = R + block_start(k);
      const int w = 2 * k + 1, c = k * (k + 1);
      for (int b = -k; b <= k; b++) {
        double s = 0.0;
        for (int d = -k; d <= k; d++) s += in[static_cast<size_t>(i) * K + c + d] * blk[(b + k) * w + d + k];
        tmp[static_cast<size_t>(i) * K + c + b] = s;
      }
    }
  for (int l = 0; l <= L; l++) {
    const double* blk = R + block_start(l);
    const int w = 2 * l + 1, c = l * (l + 1);
    for (int a = -l; a <= l; a++)
      for (int j = 0; j < K; j++) {
        double s = 0.0;
        for (int cc = -l; cc <= l; cc++) s += blk[(a + l) * w + cc + l] * tmp[static_cast<size_t>(c + cc) * K + j];
        out[static_cast<size_t>(c + a) * K + j] = s;
      }
  }
}

double eljm_trace(int l, double alpha, double beta, double gamma) { return eljm_subtrace(l, l, alpha, beta, gamma); }

double eljm_subtrace(int l, int k, double alpha, double beta, double gamma) {
  double s = 0.0;
  for (int a = -k; a <= k; a++) s += eljm(l, a, a, alpha, beta, gamma);
  return s;
}

void eljm_axis(double* out, int l, double alpha, double beta, double gamma) {
  const double angle = std::acos(clamp_cos((eljm_trace(1, alpha, beta, gamma) - 1.0) / 2.0));
  double M[3][3];
  for (int a = 0; a < 3; a++)
    for (int b = 0; b < 3; b++) M[a][b] = eljm(l, a - 1, b - 1, alpha, beta, gamma);
  double v[3];
  const double s = std::sin(angle);
  if (angle > 0.0 && angle < kPi && s > 1e-12) {
    v[0] = (M[2][1] - M[1][2]) / (2.0 * s);
    v[1] = (M[0][2] - M[2][0]) / (2.0 * s);
    v[2] = (M[1][0] - M[0][1]) / (2.0 * s);
  } else {
    int big = 0;
    for (int i = 0; i < 3; i++) {
      v[i] = std::sqrt(std::max(0.0, (1.0 + M[i][i]) / 2.0));
      if (v[i] > v[big]) big = i;
    }
    for (int i = 0; i < 3; i++)
      if (i != big && M[big][i] + M[i][big] < 0.0) v[i] = -v[i];
  }
  const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  out[0] = angle;
  for (int i = 0; i < 3; i++) out[1 + i] = len > 0.0 ? v[i] / len : 0.0;
}

void anlm_do_rotate(int N, double alpha, double beta, double gamma, const double* in, double* out) {
  if (N < 1) N = 1;
  if (beta == 0.0) {
    for (int n = 1; n <= N; n++)
      for (int l = 0; l < n; l++) {
        const int c = anlm_index(n, l, 0);
        turn_run(l, alpha + gamma, in + c, out + c);
      }
    return;
  }
  anlm_rm_mult(N, element_matrices(vector_table, N - 1, alpha, beta, gamma), in, out);
}

void anlm_rotate(int N, int nvec, const double* in, double* out, double alpha, double beta, double gamma) {
  const long k = anlm_size(N < 1 ? 1 : N);
  for (int v = 0; v < nvec; v++) anlm_do_rotate(N, alpha, beta, gamma, in + v * k, out + v * k);
}

double delta_ljm(int l, int m, int j) {
  HalfTurnTable& t = half_turn;
  if (l > t.lmax) {
    t.d.resize(rlm_size(l));
    std::vector<double> row(2 * l + 1);
    for (int k = t.lmax + 1; k <= l; k++) load_d(k, 0.5 * kPi, &t.d[block_start(k)], 2 * k + 1, k, row.data() + k);
    t.lmax = l;
  }
  return t.d[block_start(l) + (m + l) * (2 * l + 1) + j + l];
}

double dljm1(int l, int m, int j, double beta) {
  double c = delta_ljm(l, 0, m) * delta_ljm(l, 0, j), s = 0.0;
  for (int k = 1; k <= l; k++) {
    const double D = delta_ljm(l, k, m) * delta_ljm(l, k, j);
    c += 2.0 * D * std::cos(k * beta);
    s += 2.0 * D * std::sin(k * beta);
  }
  switch (((m - j) % 4 + 4) % 4) {
    case 0: return c;
    case 1: return s;
    case 2: return -c;
    default: return -s;
  }
}

void anlm_rm_mult(int N, const double* R, const double* in, double* out) {
  anlm_zero(N, out);
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++) {
      const double* blk = R + block_start(l);
      const int c = anlm_index(n, l, 0), w = 2 * l + 1;
      for (int a = 0; a < w; a++) {
        double s = 0.0;
        for (int b = 0; b < w; b++) s += blk[a * w + b] * in[c - l + b];
        out[c - l + a] = s;
      }
    }
}

void zam_rm3_init(ZamRm3_struct* rec) {
  rec->N = 0;
  rec->e = Euler{0.0, 0.0, 0.0};
  rec->R = nullptr;
}

void zam_rm3_free(ZamRm3_struct* rec) {
  zam_vm_free(rec->R);
  zam_rm3_init(rec);
}

const double* zam_rm3_get(int N, ZamRm3_struct* rec, Euler e) {
  if (rec->N == N && rec->e.alpha == e.alpha && rec->e.beta == e.beta && rec->e.gamma == e.gamma)
    return rec->R;
  zam_rm3_free(rec);
  if (e.alpha == 0.0 && e.beta == 0.0 && e.gamma == 0.0) {
    rec->N = N;
    rec->e = e;
    return nullptr;
  }
  double* R = rlmj_er(N - 1, e);
  if (!R) return nullptr;
  rec->N = N;
  rec->e = e;
  rec->R = R;
  return R;
}

int zam_rm3_apply(int N, int nprop, ZamRm3_struct* rec, const double* in, double* out, Euler e) {
  const double* R = zam_rm3_get(N, rec, e);
  const long k = anlm_size(N);
  if (!R) {
    if (rec->N != N) return 0;  // matrices could not be made
    for (long i = 0; i < k * (nprop > 0 ? nprop : 0); i++) out[i] = in[i];
    return 1;
  }
  for (int v = 0; v < nprop; v++) anlm_rm_mult(N, R, in + v * k, out + v * k);
  return 1;
}
