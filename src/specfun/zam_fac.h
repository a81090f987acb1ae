// Factorials and friends in double and long double: one-time tables of n!
// and (1/2)_n, symbolic products of factorials and powers kept as exponents
// of the integers 2..650 (evaluated without overflowing intermediates), and
// the gamma, beta and incomplete gamma and beta functions.
#pragma once

// A product of factorials, half-integer factorials and integer powers:
// the value is the product over k of k^exps[k]. Owned by the caller; made by
// sp_init, released by sp_free. In every operation a sign of -1 divides by
// the factor, any other value multiplies.
struct sp_t_struct {
  int max;    // highest index that may hold a non-zero exponent
  int* exps;  // 651 exponents, entry k the power of k
};

// A product record with its exponents on the stack (no allocation, no
// lock), for the short-lived products of series terms: use its s.
struct sp_local {
  int exps[651] = {};
  sp_t_struct s{0, exps};
  sp_local() = default;
  sp_local(const sp_local&) = delete;  // s points into this record
  sp_local& operator=(const sp_local&) = delete;
};

// exps = 651 zeroed ints from the guarded allocator (null when it fails).
void sp_init(sp_t_struct* s);
// Frees exps (null accepted) and resets the record.
void sp_free(sp_t_struct* s);
// Out-of-range arguments of the following are reported through zam_err and
// leave the record unchanged.
void sp_fac(sp_t_struct* s, int sign, int n);            // n!, n <= 650
void sp_fall(sp_t_struct* s, int sign, int n, int m);    // n(n-1)...(n-m+1)
void sp_rise(sp_t_struct* s, int sign, int n, int m);    // n(n+1)...(n+m-1)
void sp_rise2(sp_t_struct* s, int sign, int n);          // (1/2)_n
void sp_fall2(sp_t_struct* s, int sign, int n, int m);   // (n+1/2)(n-1/2)...(n-m+3/2)
void sp_pow(sp_t_struct* s, int sign, int k, int p);     // k^p
// Evaluates the product, empties the record for reuse and returns the value.
long double sp_ans(sp_t_struct* s);

// n! for n in 0..170; otherwise reports through zam_err and returns 1.
// The tables are built once under plain lock 6 on the first call of fac,
// hfac, rfac2, sp_ans or print_primes.
double fac(int n);
long double hfac(int n);
// (1/2)_n = Gamma(n + 1/2) / sqrt(pi) for n in 0..144; otherwise reports
// through zam_err and returns 1.
double rfac2(int n);
double gam2(int n);             // Gamma(n + 1/2)
double g2mg2(int m, int n);     // Gamma(m + 1/2) Gamma(n + 1/2)
double g2dg2(int m, int n);     // Gamma(m + 1/2) / Gamma(n + 1/2)
double ffac(int n, double x);   // falling factorial x(x-1)...(x-n+1); 1 for n < 1
double rfac(int n, double x);   // rising factorial x(x+1)...(x+n-1); 1 for n < 1
long double hffac(int n, long double x);
long double hrfac(int n, long double x);
double gbcf(int n, double x);   // generalised binomial coefficient (x over n)
double gam(double x);           // Gamma(x); 0 at the poles
double bet(double a, double b); // Beta(a, b)
double igam(double a, double x);  // lower incomplete gamma, 0 for a <= 0
double jgam(double a, double x);  // upper incomplete gamma, 0 for a <= 0
double ibet(double a, double b, double x);  // B_x(a, b); 0 for x outside [0, 1]
double jbet(double a, double b, double x);  // Beta(a, b) - B_x(a, b)
double ck_beta(int n, double x);  // n! / x^(n+1)
double bk_beta(int n, double x);  // integral of t^n e^(-xt) over [1, inf); 0 for n < 0
double ak_beta(int n, double x);  // the same over [0, 1]
// Bessel function J_n(x) of integer order n in 0..170, by 399 series terms;
// its first term takes n! from fac.
double jlx(int n, double x);
// Writes every prime of the table, one a line, through zam_msg.
void print_primes();
