// Tables of the correlation layouts and the rotation buffers: map sizes,
// the right-angle G blocks summing to small-d values at any angle, the L
// table reproducing them over a beta axis that covers only half a turn and
// its method-0 rows holding the same sums, the S and Y tables giving the
// products of a receptor turned after its translation, the 4-D layouts'
// vectors against plain translations and turns, and rotation buffers filled
// by threads equal to direct rotations and to a serial fill.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_wigner.h"
#include "harmonics/zam_zlm.h"
#include "matching/zam_sixd_state.h"
#include "matching/zam_sixd_tables.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"

namespace {

TEST(SixdTables, MapSizes) {
  int* map = nullptr;
  EXPECT_EQ(lumv_make(0, &map), 1);
  EXPECT_EQ(map[0], 0);
  zam_vm_free(map);
  EXPECT_EQ(lumv_make(1, &map), 28);
  EXPECT_EQ(std::vector<int>(map, map + 4), (std::vector<int>{0, 1, 10, 19}));
  zam_vm_free(map);

  double* values = nullptr;
  EXPECT_EQ(sm_make(0, &map, &values), 1);
  EXPECT_EQ(map[0], 0);
  zam_vm_free(map);
  zam_vm_free(values);
  EXPECT_EQ(sm_make(-1, &map, &values), 0);
  EXPECT_EQ(map, nullptr);
  // L = 1: j = 0 gives 4 runs of 1, j = 1 (three q) runs of 1 (l = 0) and 2.
  EXPECT_EQ(sm_make(1, &map, &values), 4 + 3 * (1 + 3 * 2));
  EXPECT_EQ(map[(1 * 1 + 1 + 1) * 4 + 3], 4 + 3 * 7 - 2);  // the last run
  zam_vm_free(map);
  zam_vm_free(values);
  EXPECT_EQ(ym_make(2, 0, &map, &values), 0);
  EXPECT_EQ(map, nullptr);
  EXPECT_EQ(ym_make(1, 2, &map, &values), 3 + 3 * (1 + 1 + 2));
  zam_vm_free(map);
  zam_vm_free(values);
}

TEST(SixdTables, RightAngleBlocksGiveSmallD) {
  const int L = 6;
  int* map = nullptr;
  const int n = lumv_make(L, &map);
  double* g = nullptr;
  gm_make(L, n, map, &g);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g[0], 1.0);  // l = 0
  EXPECT_EQ(g[1], 0.0);
  for (double beta : {0.0, 0.3, 1.7, 2.9, -0.8})
    for (int l = 0; l <= L; l++)
      for (int v = -l; v <= l; v++)
        for (int m = -l; m <= l; m++) {
          // sum over u of G[l][u][v][m] e^(i u beta) = d^l_mv(beta), imaginary part 0
          double re = 0.0, im = 0.0;
          for (int u = -l; u <= l; u++) {
            const double* z = g + 2 * (map[l * l + l + u] + (v + l) * (2 * l + 1) + (m + l));
            re += z[0] * std::cos(u * beta) - z[1] * std::sin(u * beta);
            im += z[0] * std::sin(u * beta) + z[1] * std::cos(u * beta);
            if (v == m) {
              EXPECT_EQ(z[1], 0.0);
            }
          }
          ASSERT_NEAR(re, dljm0(l, m, v, beta), 1e-12) << l << " " << v << " " << m << " " << beta;
          ASSERT_NEAR(im, 0.0, 1e-12);
        }

  // The L table over M = 12 samples of half a turn: row sums give d at the samples.
  const int M = 12;
  const double A = M_PI;
  float* lt = nullptr;
  ASSERT_EQ(lm_make(1, L, L + 1, 0, M - 1, M, A, map, g, &lt), 1);
  const int S = lm_row(L);
  EXPECT_EQ(S, 7 * 13 * 15 / 3);
  for (int a = 0; a < M; a++) {
    const double beta = a * A / M;
    for (int l = 0; l <= L; l++)
      for (int v = -l; v <= l; v++)
        for (int m = -l; m <= l; m++) {
          double re = 0.0;
          for (int t = 0; t < M; t++) {
            const float* z = lt + 2 * ((int64_t)t * S + l * (4 * l * l - 1) / 3 + (v + l) * (2 * l + 1) + m + l);
            const double ph = 2.0 * M_PI * t * a / M;
            re += z[0] * std::cos(ph) - z[1] * std::sin(ph);
          }
          ASSERT_NEAR(re, dljm0(l, m, v, beta), 2e-6) << a << " " << l << " " << v << " " << m;
        }
  }
  zam_vm_free(lt);
  zam_vm_free(g);
  zam_vm_free(map);
}

// Method 0 lays the sums of method 1 out in runs over the degree, with the
// scale factors of sl_make, here over a beta axis of 10 samples of 2.0.
TEST(SixdTables, MethodZeroRowsHoldTheSameSums) {
  const int L = 5, N = L + 1, M = 10, W = 2 * L + 1;
  const double A = 2.0;
  int* map = nullptr;
  const int n = lumv_make(L, &map);
  double* g = nullptr;
  gm_make(L, n, map, &g);
  float *one = nullptr, *zero = nullptr;
  ASSERT_EQ(lm_make(1, L, N, 0, M - 1, M, A, map, g, &one), 1);
  ASSERT_EQ(lm_make(0, L, N, 0, M - 1, M, A, map, g, &zero), 1);
  ASSERT_NE(sl_factors(L, M, A), nullptr);
  EXPECT_EQ(sl_factors(L, M, 1.0), nullptr);
  const int S = lm_row(L);
  for (int t = 0; t < M; t++)
    for (int v = -L; v <= L; v++)
      for (int m = -L; m <= L; m++)
        for (int l = 0; l < N; l++) {
          const float* z = zero + 2 * ((((int64_t)t * W + v + L) * W + m + L) * N + l);
          if (l < std::abs(v) || l < std::abs(m)) {
            ASSERT_EQ(z[0], 0.0f);
            ASSERT_EQ(z[1], 0.0f);
            continue;
          }
          const float* o = one + 2 * ((int64_t)t * S + l * (4 * l * l - 1) / 3 + (v + l) * (2 * l + 1) + m + l);
          ASSERT_EQ(z[0], o[0]) << t << " " << v << " " << m << " " << l;
          ASSERT_EQ(z[1], o[1]);
        }
  zam_vm_free(one);
  zam_vm_free(zero);
  zam_vm_free(g);
  zam_vm_free(map);
}

// The S and Y sums: two terms (GTO and ETO) of random vectors, the receptor
// turned by Rr and then moved by -R, give the products of the 3-D layout
// P[l][v][m] = sum over n of conj(X(n,l,v)) b(n,l,m) as the sum over j, q of
// conj(D^j_vq(Rr)) S[j q l m |v|], and X itself (last term) from Y.
TEST(SixdTables, SAndYTablesGiveTheProductsOfATurnAfterTheTranslation) {
  const int N = 6, L = N - 1, K = anlm_size(N), T = 2, t3 = tm3_dim(N - 1);
  const int types[T] = {1, 0};
  const double R = 2.3;
  const Euler e = e_make(0.4, 1.1, -0.7);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> a1(T * K), a2(T * K), b1(T * K), b2(T * K);
  for (auto* v : {&a1, &a2, &b1, &b2})
    for (double& x : *v) x = u(rng);
  std::vector<double> a(2 * T * K), b(2 * T * K), slice(T * t3);
  ZamTm3_struct tm;
  zam_tm3_init(&tm);
  for (int c = 0; c < T; c++) {
    qnlm_abnlm(N, &a1[c * K], &a2[c * K], &a[2 * c * K]);
    qnlm_abnlm(N, &b2[c * K], &b1[c * K], &b[2 * c * K]);
    const double* M = zam_tm3_get(N, types[c], &tm, -R);
    ASSERT_NE(M, nullptr);
    std::copy(M, M + t3, &slice[c * t3]);
  }
  int *s_map = nullptr, *y_map = nullptr;
  double *S = nullptr, *Y = nullptr;
  ASSERT_GT(sm_make(L, &s_map, &S), 0);
  ASSERT_GT(ym_make(L, N, &y_map, &Y), 0);
  sm_load(L, N, T, slice.data(), a.data(), b.data(), s_map, S, y_map, Y);

  // Direct: turn, translate, products.
  ZamRm3_struct rm;
  zam_rm3_init(&rm);
  std::vector<double> r1(K), r2(K), m1(K), m2(K), X(2 * K), P(2 * lm_row(L), 0.0);
  for (int c = 0; c < T; c++) {
    ASSERT_EQ(zam_rm3_apply(N, 1, &rm, &a1[c * K], r1.data(), e), 1);
    ASSERT_EQ(zam_rm3_apply(N, 1, &rm, &a2[c * K], r2.data(), e), 1);
    ASSERT_EQ(zam_tm3_apply(N, 1, &types[c], &tm, r1.data(), m1.data(), -R), 1);
    ASSERT_EQ(zam_tm3_apply(N, 1, &types[c], &tm, r2.data(), m2.data(), -R), 1);
    qnlm_abnlm(N, m1.data(), m2.data(), X.data());
    for (int l = 0; l <= L; l++)
      for (int v = -l; v <= l; v++)
        for (int m = -l; m <= l; m++)
          for (int n = l + 1; n <= N; n++) {
            const double* x = &X[2 * anlm_index(n, l, v)];
            const double* z = &b[2 * (c * K + anlm_index(n, l, m))];
            double* p = &P[2 * (l * (4 * l * l - 1) / 3 + (v + l) * (2 * l + 1) + m + l)];
            p[0] += x[0] * z[0] + x[1] * z[1];
            p[1] += x[0] * z[1] - x[1] * z[0];
          }
  }
  zam_rm3_free(&rm);
  zam_tm3_free(&tm);
  // D^j_vq = e^(-i v alpha) d^j_vq(beta) e^(-i q gamma)
  auto D = [&](int j, int v, int q) {
    const double d = dljm0(j, v, q, e.beta), ph = -v * e.alpha - q * e.gamma;
    return std::pair<double, double>(d * std::cos(ph), d * std::sin(ph));
  };
  const int side = (L + 1) * (L + 1), tri = N * (N + 1) / 2;
  double scale = 0.0;
  for (double x : P) scale = std::max(scale, std::fabs(x));
  for (int l = 0; l <= L; l++)
    for (int v = -l; v <= l; v++)
      for (int m = -l; m <= l; m++) {
        double re = 0.0, im = 0.0;
        for (int j = std::abs(v); j <= L; j++)
          for (int q = -j; q <= j; q++) {
            const auto [dr, di] = D(j, v, q);
            const double* z = S + 2 * (s_map[(j * j + j + q) * side + l * l + l + m] + std::abs(v));
            re += dr * z[0] + di * z[1];  // conj(D) S
            im += dr * z[1] - di * z[0];
          }
        const double* p = &P[2 * (l * (4 * l * l - 1) / 3 + (v + l) * (2 * l + 1) + m + l)];
        ASSERT_NEAR(re, p[0], 1e-12 * scale) << l << " " << v << " " << m;
        ASSERT_NEAR(im, p[1], 1e-12 * scale);
      }
  // The last term's translated, turned receptor from Y.
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++)
      for (int v = -l; v <= l; v++) {
        double re = 0.0, im = 0.0;
        for (int j = std::abs(v); j <= L; j++)
          for (int q = -j; q <= j; q++) {
            const auto [dr, di] = D(j, v, q);
            const double* y = Y + 2 * (y_map[(j * j + j + q) * tri + n * (n - 1) / 2 + l] + std::abs(v));
            re += dr * y[0] - di * y[1];
            im += dr * y[1] + di * y[0];
          }
        ASSERT_NEAR(re, X[2 * anlm_index(n, l, v)], 1e-12) << n << " " << l << " " << v;
        ASSERT_NEAR(im, X[2 * anlm_index(n, l, v) + 1], 1e-12);
      }
  zam_vm_free(s_map);
  zam_vm_free(S);
  zam_vm_free(y_map);
  zam_vm_free(Y);
}

// The 4-D layouts' vectors: the receptor's (second + i first) moved along z
// and turned about z by its phase, the ligand's (first + i second) turned by
// its own, equal the complex vectors of the real arrays moved by
// zam_tm3_apply and turned by zam_rm3_apply; without sym_local the move is
// R x sym_LtoW.
TEST(SixdTables, FourDimensionalVectorsAreTranslatedAndTurned) {
  const int N = 5, K = anlm_size(N);
  int kind = 1;
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  // Two samples' worth of buffers; sample 1 is used.
  std::vector<double> a1(2 * K), a2(2 * K), b1(2 * K), b2(2 * K);
  for (auto* v : {&a1, &a2, &b1, &b2})
    for (double& x : *v) x = u(rng);
  _sixd_search_state& st = zam_sixd_state;
  st = {};
  st.vec_types = &kind;
  st.anlm_phi_rot = a1.data();
  st.anlm_rho_rot = a2.data();
  st.bnlm_phi_rot = b1.data();
  st.bnlm_rho_rot = b2.data();
  const double R = 1.7, phi_a = 0.6, phi_b = -1.3;
  std::vector<double> pa(2 * K), pb(2 * K), work(2 * K), out_a(2 * K), out_b(2 * K);
  znlm_phi(N, phi_a, pa.data());
  znlm_phi(N, phi_b, pb.data());
  ZamTm3_struct tm;
  ZamRm3_struct rm;
  zam_tm3_init(&tm);
  zam_rm3_init(&rm);
  // want = q(re + i im) of the arrays moved by `shift` and turned by phi.
  auto expect = [&](const double* re, const double* im, double shift, double phi, const std::vector<double>& got) {
    std::vector<double> m1(K), m2(K), t1(K), t2(K), want(2 * K);
    ASSERT_EQ(zam_tm3_apply(N, 1, &kind, &tm, re, m1.data(), shift), 1);
    ASSERT_EQ(zam_tm3_apply(N, 1, &kind, &tm, im, m2.data(), shift), 1);
    ASSERT_EQ(zam_rm3_apply(N, 1, &rm, m1.data(), t1.data(), e_make(phi, 0.0, 0.0)), 1);
    ASSERT_EQ(zam_rm3_apply(N, 1, &rm, m2.data(), t2.data(), e_make(phi, 0.0, 0.0)), 1);
    qnlm_abnlm(N, t1.data(), t2.data(), want.data());
    for (int k = 0; k < 2 * K; k++) ASSERT_NEAR(got[k], want[k], 1e-12) << k;
  };
  st.sym_local = 1;
  ASSERT_EQ(setup_4d_translation(N, 1, 1, &tm, R, nullptr, nullptr, work.data(), out_a.data(), out_b.data()), 1);
  expect(&a2[K], &a1[K], -R, 0.0, out_a);
  expect(&b1[K], &b2[K], 0.0, 0.0, out_b);
  st.sym_local = 0;
  st.sym_LtoW = 1.5;
  ASSERT_EQ(setup_4d_translation(N, 1, 1, &tm, R, pa.data(), pb.data(), work.data(), out_a.data(), out_b.data()), 1);
  expect(&a2[K], &a1[K], 1.5 * R, phi_a, out_a);
  expect(&b1[K], &b2[K], 0.0, phi_b, out_b);
  zam_tm3_free(&tm);
  zam_rm3_free(&rm);
  st = {};
}

TEST(SixdTables, RotationBuffersThreadedEqualDirect) {
  zam_thread_setup(4);
  const int N = 5, K = anlm_size(N), T = 2;
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> a1(T * K), a2(T * K), b1(T * K), b2(T * K);
  for (auto* v : {&a1, &a2, &b1, &b2})
    for (double& x : *v) x = u(rng);
  std::vector<Euler> rrot, lrot;
  for (int i = 0; i < 7; i++) rrot.push_back(e_make(0.0, 0.4 * i, 0.9 * i));
  for (int i = 0; i < 11; i++) lrot.push_back(e_make(0.1 * i, 0.25 * i, -0.3 * i));
  std::vector<int> r_act{0, 2, 3, 6}, l_act;
  for (int i = 0; i < 11; i++) l_act.push_back(10 - i);
  _sixd_search_state& st = zam_sixd_state;
  st = {};
  st.N = N;
  st.n_vec = T;
  st.anlm_phi_base = a1.data();
  st.anlm_rho_base = a2.data();
  st.bnlm_phi_base = b1.data();
  st.bnlm_rho_base = b2.data();
  st.rrot1 = rrot.data();
  st.lrot1 = lrot.data();
  st.ract2all = r_act.data();
  st.lact2all = l_act.data();
  st.n_ract = 4;
  st.n_lact = 11;

  ASSERT_EQ(zam_fill_rot_buffers(4), 1);
  std::vector<double> want(K);
  ZamRm3_struct rm;
  zam_rm3_init(&rm);
  for (int s = 0; s < 4; s++)
    for (int c = 0; c < T; c++) {
      ASSERT_EQ(zam_rm3_apply(N, 1, &rm, a2.data() + c * K, want.data(), rrot[r_act[s]]), 1);
      for (int k = 0; k < K; k++) ASSERT_EQ(st.anlm_rho_rot[(s * T + c) * K + k], want[k]);
    }
  for (int s = 0; s < 11; s++)
    for (int c = 0; c < T; c++) {
      ASSERT_EQ(zam_rm3_apply(N, 1, &rm, b1.data() + c * K, want.data(), lrot[l_act[s]]), 1);
      for (int k = 0; k < K; k++) ASSERT_EQ(st.bnlm_phi_rot[(s * T + c) * K + k], want[k]);
    }
  zam_rm3_free(&rm);
  std::vector<double> threaded(st.bnlm_rho_rot, st.bnlm_rho_rot + 11 * T * K);
  ASSERT_EQ(zam_fill_rot_buffers(0), 1);  // serial
  EXPECT_EQ(std::vector<double>(st.bnlm_rho_rot, st.bnlm_rho_rot + 11 * T * K), threaded);
  free_rot_buffers();
  EXPECT_EQ(st.anlm_phi_rot, nullptr);
  st = {};
}

}  // namespace
