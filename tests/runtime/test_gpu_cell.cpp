// GPU interface without a GPU, and grid cell index arithmetic.
#include <gtest/gtest.h>

#include "runtime/zam_cell.h"
#include "runtime/zam_gpu.h"

// Without a GPU nothing may claim one: no device after set-up, no memory.
TEST(Gpu, EveryQueryAnswersNoGpu) {
  zam_cuda_setup(4, 2);
  EXPECT_EQ(zam_cuda_enabled(), 0);
  EXPECT_EQ(zam_cuda_active_devices(), 0);
  EXPECT_EQ(zam_cuda_get(100), nullptr);
  EXPECT_EQ(zam_cuda_get_0(100), nullptr);
  zam_cuda_free(nullptr);
}

TEST(Gpu, MatrixTimesComplexColumn) {
  const float M[] = {1, 2, 3, 4};  // rows (1 2) and (3 4)
  const float v[] = {1, -1, 0.5f, 2};  // (1 - i), (0.5 + 2i)
  float out[4] = {9, 9, 9, 9};
  mat_x_col_fpair(2, M, v, out);
  EXPECT_FLOAT_EQ(out[0], 2.0f);
  EXPECT_FLOAT_EQ(out[1], 3.0f);
  EXPECT_FLOAT_EQ(out[2], 5.0f);
  EXPECT_FLOAT_EQ(out[3], 5.0f);
  mat_x_col_fpair(0, M, v, out);
  EXPECT_FLOAT_EQ(out[0], 2.0f);
}

TEST(Cell, IndicesRoundTrip) {
  const int idx = idx_ijk(3, 4, 5, 10, 20);
  EXPECT_EQ(idx, 3 + 40 + 1000);
  int i = -1, j = -1, k = -1;
  ijk_idx(idx, 10, 20, &i, &j, &k);
  EXPECT_EQ(i, 3);
  EXPECT_EQ(j, 4);
  EXPECT_EQ(k, 5);
  for (int n = 0; n < 7 * 5 * 3; n++) {
    const c3 c = c3_idx(n, 7, 5);
    ASSERT_EQ(idx_c3(c, 7, 5), n);
    ASSERT_TRUE(c.i >= 0 && c.i < 7 && c.j >= 0 && c.j < 5 && c.k >= 0 && c.k < 3);
  }

  const c3 corner = c3_byte(6);
  EXPECT_EQ(corner.i, 0);
  EXPECT_EQ(corner.j, 1);
  EXPECT_EQ(corner.k, 1);
  const c3 far = c3_add(c3_make(1, 2, 3), c3_byte(7));
  EXPECT_EQ(far.i + far.j + far.k, 9);

  const c2 a = c2_add(c2_make(2, 3), c2_make(1, 1));
  EXPECT_EQ(idx_c2(a, 10), 3 + 40);
  const c2 b = c2_idx(43, 10);
  EXPECT_EQ(b.i, 3);
  EXPECT_EQ(b.j, 4);
}
