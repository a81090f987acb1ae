// Per-angle caches of cos(m a), sin(m a), cos^n(a) and sin^n(a) for callers
// that ask many orders at one angle in no fixed order: the first call at an
// angle takes the base values from the mathematics library, later calls
// extend the cache by a recurrence, lower orders are a look-up. Orders above
// the cache bound (160; 320 for the half-angle powers) are computed directly.
// The caches are process-wide without a lock: one thread at a time.
#pragma once

// Sets the cache bound to min(n, 160); what is cached stays.
void set_trig_cache(int n);

// Powers cos^n and sin^n (n may be negative: the reciprocal).
double cos_theta_n(int n, double theta);
double sin_theta_n(int n, double theta);
double cos_delta_n(int n, double delta);
double sin_delta_n(int n, double delta);
// Powers of cos(beta/2) and sin(beta/2); the argument is the whole beta.
double cos_beta2_n(int n, double beta);
double sin_beta2_n(int n, double beta);

// Multiple angles cos(m a) and sin(m a).
double cos_m_alpha(int m, double alpha);
double sin_m_alpha(int m, double alpha);
double cos_m_beta(int m, double beta);
double sin_m_beta(int m, double beta);
double cos_m_gamma(int m, double gamma);
double sin_m_gamma(int m, double gamma);
double cos_m_phi(int m, double phi);
double sin_m_phi(int m, double phi);

// Fills the symmetric table of cos(k phi) and sin(k phi), k = -m..m (m <= 160),
// and points cos_out and sin_out at the entries of k = 0 (index them -m..m).
// The table is allocated once and lives to the end; the cos pointer is also
// the result.
double* set_phi_cache(int m, double** cos_out, double** sin_out, double phi);
