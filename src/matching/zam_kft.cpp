// Twist reducers, scanners and the local-minimum picker.
#include "matching/zam_kft.h"

#include <cmath>
#include <limits>

namespace {

int vector_size(int N) { return N < 1 ? 0 : N * (N + 1) * (2 * N + 1) / 6; }

// Adds the series of a . Rz(t) b to c, s. With a run (n, l) centred at o,
// a cos-slot o+m and sin-slot o-m (m > 0) turn as
//   Rz(t) b: b'[o+m] = b[o+m] cos(mt) - b[o-m] sin(mt),
//            b'[o-m] = b[o-m] cos(mt) + b[o+m] sin(mt).
void add_series(int N, const double* a, const double* b, double* c, double* s) {
  int o = 0;
  for (int n = 1; n <= N; ++n)
    for (int l = 0; l < n; ++l) {
      o += l;  // the m = 0 slot of (n, l)
      c[0] += a[o] * b[o];
      for (int m = 1; m <= l; ++m) {
        c[m] += a[o + m] * b[o + m] + a[o - m] * b[o - m];
        s[m] += a[o - m] * b[o + m] - a[o + m] * b[o - m];
      }
      o += l + 1;
    }
}

void clear(int N, double* c, double* s) {
  for (int k = 0; k < N; ++k) c[k] = s[k] = 0.0;
}

int samples(int n, int m) { return m >= 1 && n > m ? m : n; }

// x higher than y, a NaN being higher than any number.
bool higher(double x, double y) { return x > y || (std::isnan(x) && !std::isnan(y)); }

template <class Better>
void scan(int n, int m, const double* values, int* index, double* value, Better better) {
  n = samples(n, m);
  *index = -1;
  *value = std::numeric_limits<double>::quiet_NaN();
  for (int j = 0; j < n; ++j) {
    if (std::isnan(values[j])) continue;
    if (*index < 0 || better(values[j], *value)) {
      *index = j;
      *value = values[j];
    }
  }
}

}  // namespace

void zam_matcher_reduce(int N, const double* a, const double* b, double* c, double* s) {
  clear(N, c, s);
  add_series(N, a, b, c, s);
}

void zam_docker_reduce(int N, int n_vec, const double* a_phi, const double* a_rho,
                       const double* b_phi, const double* b_rho, double* c, double* s) {
  clear(N, c, s);
  const int size = vector_size(N);
  for (int t = 0; t < n_vec; ++t) {
    const long off = static_cast<long>(t) * size;
    add_series(N, a_phi + off, b_rho + off, c, s);
    add_series(N, a_rho + off, b_phi + off, c, s);
  }
}

void zam_min_scanner(int n, int m, const double* values, int* index, double* value) {
  scan(n, m, values, index, value, [](double x, double best) { return x < best; });
}

void zam_max_scanner(int n, int m, const double* values, int* index, double* value) {
  scan(n, m, values, index, value, [](double x, double best) { return x > best; });
}

int zam_min_picker(int n, int m, const double* values, unsigned char* mask) {
  if (n < 1) return 0;
  for (int j = 0; j < n; ++j) mask[j] = 0;
  if (m < 2) {
    int index;
    double value;
    zam_min_scanner(n, 0, values, &index, &value);  // all n samples
    if (index < 0) return 0;
    mask[index] = 1;
    return 1;
  }
  n = samples(n, m);
  const bool wrap = n == m;
  // Runs of equal samples are walked from a run start: 0 on an arc; on the
  // full turn the first sample that differs from the one before it.
  int start = 0;
  if (wrap) {
    start = -1;
    for (int j = 0; j < n; ++j)
      if (!(values[j] == values[(j + n - 1) % n])) {
        start = j;
        break;
      }
    if (start < 0) {  // one run round the whole turn
      if (std::isnan(values[0])) return 0;
      mask[0] = 1;
      return 1;
    }
  }
  int marks = 0;
  for (int done = 0; done < n;) {
    const int first = (start + done) % n;
    const double v = values[first];
    int len = 1;
    while (done + len < n && values[(first + len) % n] == v) ++len;
    const int before = wrap ? (first + n - 1) % n : first - 1;
    const int after = wrap ? (first + len) % n : first + len;
    const bool low = !std::isnan(v) && (before < 0 || higher(values[before], v)) &&
                     (after >= n || higher(values[after], v));
    if (low) {
      mask[first] = 1;
      ++marks;
    }
    done += len;
  }
  return marks;
}
