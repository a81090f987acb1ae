// Many threads calling the rotation and radial functions at once, from cold
// tables: each must get exactly the serial results (the one-time tables are
// built once, the d-matrix buffer and the Laguerre cache are per thread).
// Run under ThreadSanitizer by tools/test-tsan.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "common/fp_mode.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "harmonics/zam_wigner.h"

namespace {

constexpr int kThreads = 8;
constexpr int kOrder = 10;

// Everything one worker computes, in order; worker t uses angles and
// arguments of its own so that the per-thread caches see different keys.
std::vector<double> work(int t) {
  std::vector<double> out;
  const int K = anlm_size(kOrder);
  std::vector<double> a(K), b(K), inv(K);
  for (int i = 0; i < K; i++) a[i] = std::cos(0.37 * i + t);
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  for (int r = 0; r < 6; r++) {
    const Euler e{0.3 * t + 0.1 * r, 0.2 + 0.05 * t + 0.3 * r, -0.7 + 0.1 * r};
    zam_rm3_apply(kOrder, 1, &rec, a.data(), b.data(), e);
    anlm_rinv(kOrder, 1, 2, b.data(), inv.data());
    out.insert(out.end(), b.begin(), b.end());
    out.push_back(anlm_carbo_rinv(kOrder, 1, 2, inv.data(), inv.data()));
    // Alternate degrees and angles so that the thread's d-matrix buffer is
    // rebuilt between look-ups.
    for (int l = 3; l <= 9; l += 3) out.push_back(dljm(l, 1, -2, e.beta + 0.01 * l));
    // The element rotations keep their tables per thread too.
    anlm_rotate(kOrder, 1, a.data(), b.data(), e.alpha, e.beta, e.gamma);
    out.insert(out.end(), b.begin(), b.end());
    out.push_back(dljm1(6, 2, -1, e.beta));
  }
  zam_rm3_free(&rec);
  std::vector<double> h(kOrder * (kOrder + 1) / 2), q(kOrder + 1);
  for (int r = 0; r < 5; r++) {
    hnl_all_bar(kOrder, h.data(), 1.5 + t + r);
    out.insert(out.end(), h.begin(), h.end());
    out.push_back(lna(5, 0.5 + t, 0.3 * r));
    out.push_back(lna(2, 1.5, 0.3 * r + t));
    out.push_back(plm(7, 3, 0.2 + 0.1 * t + 0.2 * r));
  }
  hnl_radial(kOrder, a.data(), q.data());
  out.insert(out.end(), q.begin(), q.end());
  return out;
}

}  // namespace

TEST(HarmonicThreads, ConcurrentCallsGiveTheSerialResults) {
  std::vector<std::vector<double>> threaded(kThreads);
  std::vector<int> flushed(kThreads, 0);
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; t++)
    pool.emplace_back([&threaded, &flushed, t] {
      flushed[t] = testutil::denormals_flushed();  // inherited from the starting thread
      threaded[t] = work(t);
    });
  for (auto& th : pool) th.join();
  for (int t = 0; t < kThreads; t++) EXPECT_TRUE(flushed[t]) << "thread " << t;
  for (int t = 0; t < kThreads; t++) {
    const std::vector<double> serial = work(t);
    ASSERT_EQ(threaded[t].size(), serial.size());
    for (size_t i = 0; i < serial.size(); i++) ASSERT_EQ(threaded[t][i], serial[i]) << "thread " << t << " value " << i;
  }
}
