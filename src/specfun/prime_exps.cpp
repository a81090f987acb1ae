#include "specfun/prime_exps.h"

#include <algorithm>

#include "runtime/zam_log.h"

namespace prime_exps {

namespace {

// Writes the primes 2..top into out (room for top/2 + 1) by trial division
// and returns their count; *low receives the count of those up to top/2.
int sieve(int top, int* out, int* low) {
  int n2 = 0, n1 = 0;
  for (int n = 2; n <= top; n++) {
    bool prime = n == 2 || (n % 2 != 0);
    for (int d = 3; prime && d < n; d += 2)
      if (n % d == 0) prime = false;
    if (!prime) continue;
    out[n2++] = n;
    if (n <= top / 2) n1++;
  }
  *low = n1;
  return n2;
}

struct Table {
  int p[kTableTop / 2 + 1];
  int count = 0;
  Table() {
    int low = 0;
    count = sieve(kTableTop, p, &low);
  }
};

const Table& table() {
  static const Table t;  // built once; the first callers wait for it
  return t;
}

}  // namespace

const int* primes() { return table().p; }

int count_to(int n) {
  const Table& t = table();
  return (int)(std::upper_bound(t.p, t.p + t.count, n) - t.p);
}

void fac(int* exps, int* max, int top, int sign, int n, const char* message) {
  if (n < 0 || n > top) {
    zam_err(message, n);
    return;
  }
  add_run(exps, max, sign, 1, n, 1, n);
}

void fall(int* exps, int* max, int top, int sign, int n, int m, const char* message) {
  if (n - m + 1 < 0 || n > top) {
    zam_err(message, n, m);
    return;
  }
  add_run(exps, max, sign, n - m + 1, n, 1, n);
}

void rise(int* exps, int* max, int top, int sign, int n, int m, const char* message) {
  if (n < 0 || n + m - 1 > top) {
    zam_err(message, n, m);
    return;
  }
  add_run(exps, max, sign, n, n + m - 1, 1, n + m - 1);
}

void rise2(int* exps, int* max, int top, int sign, int n, const char* message) {
  if (n < 0 || 2 * n - 1 > top) {
    zam_err(message, n);
    return;
  }
  add_half_run(exps, max, sign, 1, 2 * n - 1, n);
}

void fall2(int* exps, int* max, int top, int sign, int n, int m, const char* message) {
  if (n < 0 || 2 * n + 1 > top) {
    zam_err(message, n);
    return;
  }
  // Factors that would be zero or negative (m > n + 1) are left out.
  add_half_run(exps, max, sign, 2 * n - 2 * m + 3, 2 * n + 1, m);
}

void power(int* exps, int* max, int top, int sign, int k, int e, const char* message) {
  if (k < 0 || k > top) {
    zam_err(message, k);
    return;
  }
  add_power(exps, max, sign, k, e);
}

}  // namespace prime_exps
