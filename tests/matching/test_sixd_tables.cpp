// Tables of the 3-D correlation layout and the rotation buffers: map sizes,
// the right-angle G blocks summing to small-d values at any angle, the L
// table reproducing them over a beta axis that covers only half a turn, and
// rotation buffers filled by threads equal to direct rotations and to a
// serial fill.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_wigner.h"
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
