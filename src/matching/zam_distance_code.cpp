// Distance codes of pose codes.
#include "matching/zam_distance_code.h"

#include <cmath>

#include "harmonics/zam_tm.h"

namespace {

constexpr double kCap = 2047.9;
constexpr int kFractions = 12;
constexpr int kHundredths[kFractions] = {0, 10, 20, 25, 30, 40, 50, 60, 70, 75, 80, 90};

}  // namespace

int zam_did_r12(double r) {
  double a = std::fabs(r);
  if (!(a <= kCap)) a = kCap;
  int whole = 0, f = 0;
  tm_round(a, &whole, &f);
  if (f >= 100) whole += 1, f = 0;  // 0.95 and above round up to the next angstrom
  int index = 0;
  while (index < kFractions - 1 && kHundredths[index] != f) ++index;
  return (whole << 4) | index;
}

double zam_r12_did(int code) {
  const int whole = (code >> 4) & 0xfff, index = code & 0xf;
  const int f = index < kFractions ? kHundredths[index] : 0;
  return (100.0 * whole + f) * 0.01;
}
