// Prime tables and the folding of prime-exponent products, shared by the
// double products (integers to 650) and the multi-precision ones (to 1600):
// one prime table for both, and the checked operations of both families.
#pragma once

namespace prime_exps {

// The largest integer any product family holds.
constexpr int kTableTop = 1600;

// The primes 2..kTableTop in ascending order, found on the first call (any
// thread) and read without a lock afterwards.
const int* primes();
// How many primes are at most n (n up to kTableTop).
int count_to(int n);

// Moves the exponent of every composite index up to max onto its factors,
// largest primes first, so that only prime indices stay non-zero. Primes
// from index np1 on have no multiple within the table and need no folding.
inline void fold(int* e, int max, const int* primes, int np1) {
  for (int i = np1; i >= 0; i--) {
    const int p = primes[i];
    const int q = max / p;
    if (p > max || q < 2) continue;
    for (int k = q; k >= 2; k--) {
      const int v = e[p * k];
      if (v != 0) {
        e[p] += v;
        e[k] += v;
        e[p * k] = 0;
      }
    }
  }
}

// Adds sign (-1 divides, any other value multiplies) to the exponents of the
// indices from..to in steps of step, and raises *max to top. A record whose
// exponents failed to allocate is left alone.
inline void add_run(int* exps, int* max, int sign, int from, int to, int step, int top) {
  if (!exps) return;
  const int d = sign == -1 ? -1 : 1;
  for (int k = from; k <= to; k += step) exps[k] += d;
  if (top > *max) *max = top;
}

// The product of the odd numbers from..to that are positive (from is odd),
// each halved, with halves the count of halvings: sign on each of those odd
// indices and halves times sign off the exponent of 2; *max rises to at
// least 2 and to.
inline void add_half_run(int* exps, int* max, int sign, int from, int to, int halves) {
  if (!exps) return;
  add_run(exps, max, sign, from > 0 ? from : 1, to, 2, to > 2 ? to : 2);
  exps[2] -= (sign == -1 ? -1 : 1) * halves;
}

// k^e: sign times e onto the exponent of k; *max rises to k.
inline void add_power(int* exps, int* max, int sign, int k, int e) {
  if (!exps) return;
  exps[k] += (sign == -1 ? -1 : 1) * e;
  if (k > *max) *max = k;
}

// The checked operations of a product family over the integers 0..top
// (exps holds top + 1 exponents). Out-of-range arguments are reported through
// zam_err with message, a format taking the arguments, and leave the record
// unchanged.
void fac(int* exps, int* max, int top, int sign, int n, const char* message);          // n!
void fall(int* exps, int* max, int top, int sign, int n, int m, const char* message);  // n(n-1)...(n-m+1)
void rise(int* exps, int* max, int top, int sign, int n, int m, const char* message);  // n(n+1)...(n+m-1)
void rise2(int* exps, int* max, int top, int sign, int n, const char* message);        // (1/2)_n
void fall2(int* exps, int* max, int top, int sign, int n, int m, const char* message); // (n+1/2)...(n-m+3/2)
void power(int* exps, int* max, int top, int sign, int k, int e, const char* message); // k^e

}  // namespace prime_exps
