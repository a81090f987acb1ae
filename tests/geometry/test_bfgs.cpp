// Bounded BFGS minimiser: interior and boundary minima, clamping, stops.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "common/log_capture.h"
#include "geometry/zam_bfgs.h"
#include "runtime/zam_log.h"

namespace {

struct Calls {
  int n = 0;
  double last[6] = {0};
  double last_value = 0;
};

// (x0 - 1)^2 + 2 (x1 + 0.5)^2 + (x2 - 3)^2, remembering the last point.
double bowl(int n, double* x, void* data, int) {
  auto* c = static_cast<Calls*>(data);
  c->n++;
  const double v = (x[0] - 1) * (x[0] - 1) + 2 * (x[1] + 0.5) * (x[1] + 0.5) +
                   (n > 2 ? (x[2] - 3) * (x[2] - 3) : 0.0);
  for (int i = 0; i < n; i++) c->last[i] = x[i];
  c->last_value = v;
  return v;
}

double rising(int n, double* x, void*, int) {
  double s = 0;
  for (int i = 0; i < n; i++) s += std::fabs(x[i] - 0.25);
  return 10 + 100 * s;
}

double flat(int, double*, void*, int) { return 4.0; }

std::string& captured = testutil::Messages::said();  // log_capture.h

}  // namespace

TEST(Bfgs, FindsInteriorMinimum) {
  Calls c;
  const double x0[3] = {4, 3, -2}, lo[3] = {-10, -10, -10}, hi[3] = {10, 10, 10}, step[3] = {1, 1, 1};
  double x[3];
  const double f = zam_bfgs(bowl, 3, 100, &c, x0, lo, hi, step, x, 1e-7);
  EXPECT_NEAR(x[0], 1, 1e-2);
  EXPECT_NEAR(x[1], -0.5, 1e-2);
  EXPECT_NEAR(x[2], 3, 1e-2);
  EXPECT_LT(f, 1e-3);
  EXPECT_GT(c.n, 4);
}

TEST(Bfgs, MinimumOutsideTheBoxEndsOnTheBound) {
  Calls c;
  const double x0[2] = {-3, 1}, lo[2] = {-5, 0}, hi[2] = {0, 5}, step[2] = {0.5, 0.5};
  double x[2];
  const double f = zam_bfgs(bowl, 2, -50, &c, x0, lo, hi, step, x, 1e-10);
  EXPECT_NEAR(x[0], 0, 1e-3);  // unconstrained minimum at x0 = 1
  EXPECT_NEAR(x[1], 0, 1e-3);  // and x1 = -0.5
  EXPECT_NEAR(f, bowl(2, x, &c, 0), 1e-15);  // xout is the point of the value
}

TEST(Bfgs, StartOutsideTheBoxIsClampedAndRisingFunctionStops) {
  const double x0[2] = {7, -3}, lo[2] = {-1, -1}, hi[2] = {0.25, 0.25}, step[2] = {1, 1};
  double x[2];
  // Rising in every direction from the start: the first line search stops.
  const double at[2] = {0.25, 0.25};
  const double f = zam_bfgs(rising, 2, 20, nullptr, at, lo, hi, step, x, 1e-9);
  EXPECT_EQ(f, 10.0);
  EXPECT_EQ(x[0], 0.25);
  EXPECT_EQ(x[1], 0.25);
  Calls c;
  zam_bfgs(bowl, 2, 1, &c, x0, lo, hi, step, x, 1e-9);
  EXPECT_GE(x[0], -1);
  EXPECT_LE(x[0], 0.25);
  EXPECT_GE(x[1], -1);
  EXPECT_LE(x[1], 0.25);
}

TEST(Bfgs, FlatFunctionStopsAtStart) {
  const double x0[3] = {1, 2, 3}, lo[3] = {0, 0, 0}, hi[3] = {5, 5, 5}, step[3] = {1, 1, 1};
  double x[3];
  EXPECT_EQ(zam_bfgs(flat, 3, 10, nullptr, x0, lo, hi, step, x, 1e-9), 4.0);
  EXPECT_EQ(x[0], 1);
  EXPECT_EQ(x[2], 3);
}

TEST(Bfgs, OneIterationWhenMaxitIsZero) {
  Calls c;
  const double x0[2] = {5, 5}, lo[2] = {-9, -9}, hi[2] = {9, 9}, step[2] = {1, 1};
  double x[2];
  const double f = zam_bfgs(bowl, 2, 0, &c, x0, lo, hi, step, x, 0.0);
  // 1 + 2 gradient evaluations, up to 12 line-search ones, the new point and
  // no more iterations.
  EXPECT_LE(c.n, 1 + 2 + 11 + 1 + 2);
  EXPECT_NEAR(f, bowl(2, x, &c, 0), 1e-15);
  EXPECT_LT(f, bowl(2, const_cast<double*>(x0), &c, 0));
}

TEST(Bfgs, TooManyVariablesIsReported) {
  auto heard = std::make_unique<testutil::Messages>();
  const double x0[7] = {1, 2, 3, 4, 5, 6, 7}, b[7] = {0};
  double x[7];
  EXPECT_EQ(zam_bfgs(flat, 7, 10, nullptr, x0, b, b, b, x, 1e-9), HUGE_VAL);
  EXPECT_EQ(x[6], 7);
  heard.reset();
  EXPECT_NE(captured.find("zam_bfgs(): 7 variables"), std::string::npos);
}
