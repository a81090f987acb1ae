#include "align/trel_globals.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "align/trel_blosum62.h"
#include "runtime/zam_thread.h"

namespace {

constexpr int LOCK = ZAM_LOCK_ALIGN_TABLES;  // plain lock of the one-time alignment tables

// Gaussian widths of the six window vectors +1, -1, +2, -2, +3, -3 for the
// trace term and the spatial term.
constexpr double ca_width[6] = {1.431, 1.023, 3.68, 3.557, 5.487, 5.414};
constexpr double va_width[6] = {2.416, 2.174, 4.101, 3.953, 5.713, 5.595};

// A Gaussian width of 0 would give infinite factors and NaN scores for
// coincident points, so the width scales never go below this.
constexpr float MIN_SCALE = 1.0e-3f;

constexpr float factor(double s, double w) { return (float)(-s / (4.0 * w * w)); }

// |x|, with NaN read as 0 so that the clamps below give finite values.
float magnitude(float x) { return std::isnan(x) ? 0.0f : std::fabs(x); }

float width_scale(float x) { return std::max(magnitude(x), MIN_SCALE); }

void update_weights() {
  const float s = w_trace + w_spatial + w_blosum + w_cut;
  if ((double)s > 0.0001) {
    g_trace = w_trace / s;
    g_spatial = w_spatial / s;
    g_blosum = w_blosum / s;
    g_cut = w_cut / s;
  } else {
    g_trace = 0.5f;
    g_spatial = 0.5f;
    g_blosum = 0.0f;
    g_cut = 0.0f;
  }
}

// Set once the window tables hold the pattern of the current g_window.
std::atomic<bool> window_built{false};

// Caller holds lock 10 (or runs before any thread).
void build_window(int w) {
  const int W = std::min(std::max(w, 1), 4);
  g_window = W;
  g_window2 = 2 * W;
  for (int r = 0; r < W; r++) {
    int k = 0;
    for (int d = 1; d <= W - r; d++) {
      n_pattern[r][k] = g_index[4 + d];
      c_pattern[r][k] = g_index[4 - d];
      k++;
    }
    for (int d = 1; d <= r; d++) {
      n_pattern[r][k] = g_index[4 - d];
      c_pattern[r][k] = g_index[4 + d];
      k++;
    }
  }
}

}  // namespace

float g_rho = -0.1f;
float g_alpha = 2.0f;
float g_beta = 1.0f;
float g_gamma = 0.5f;
float g_eta = -0.0f;
float g_sigma = 1.0f;
float g_tau = 1.0f;
float g_omega = 1.0f;
float g_trace = 0.5f;
float g_spatial = 0.5f;
float g_blosum = 0.0f;
float g_cut = 0.0f;
float w_trace = 0.5f;
float w_spatial = 0.5f;
float w_blosum = 0.0f;
float w_cut = 0.0f;
float gk_bias = 0.0f;
float gg_bias = 0.0f;
int g_window = 4;
int g_window2 = 8;
int g_banded = 0;
float g_filter = 0.7f;
int g_qcp = 1;
float g_chi = -1.0f;
float g_zeta = -64.0f;
float g_lambda = 2.0f;
float g_equator = 8.0f;
float g_zero = 0.0f;

const float g_scale[5] = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
float ca_factor[8] = {factor(1, ca_width[0]), factor(1, ca_width[1]), factor(1, ca_width[2]),
                      factor(1, ca_width[3]), factor(1, ca_width[4]), factor(1, ca_width[5]),
                      0.0f, 0.0f};
float va_factor[8] = {factor(1, va_width[0]), factor(1, va_width[1]), factor(1, va_width[2]),
                      factor(1, va_width[3]), factor(1, va_width[4]), factor(1, va_width[5]),
                      0.0f, 0.0f};
float gb_factor = factor(1, 1.4);
float gc_factor = factor(1, 3.2);
float go_factor = factor(1, 1.4);
float g_min_kscore = 0.05f;
float g_min_gscore = 0.1f;

int n_pattern[4][4] = {};
int c_pattern[4][4] = {};
const int g_index[9] = {7, 5, 3, 1, 0, 0, 2, 4, 6};

const int n_rainbow = 7;
const char* const rainbow_colour[7] = {"red", "orange", "yellow", "green", "blue", "violet", "grey"};
const char* const rainbow_letter[7] = {"R", "O", "Y", "G", "B", "V", "N"};

void trel_setAlignRho(float x) {
  g_rho = -std::min(magnitude(x), 1000.0f);
  g_min_kscore = -0.5f * g_rho;
  g_min_gscore = -g_rho;
}

void trel_setAlignAlpha(float x) { g_alpha = std::min(magnitude(x), 10.0f); }
void trel_setAlignBeta(float x) { g_beta = std::min(magnitude(x), 10.0f); }
void trel_setAlignGamma(float x) { g_gamma = std::min(magnitude(x), 10.0f); }
void trel_setAlignEta(float x) { g_eta = -std::min(magnitude(x), 100.0f); }

void trel_setAlignSigma(float x) {
  g_sigma = width_scale(x);
  for (int k = 0; k < 6; k++) {
    ca_factor[k] = factor(g_scale[k / 2], ca_width[k] * g_sigma);
    va_factor[k] = factor(1.0, va_width[k] * g_sigma);
  }
}

void trel_setAlignTau(float x) {
  g_tau = width_scale(x);
  gb_factor = factor(1.0, 1.4 * g_tau);
  gc_factor = factor(1.0, 3.2 * g_tau);
}

void trel_setAlignOmega(float x) {
  g_omega = width_scale(x);
  go_factor = factor(1.0, 1.4 * g_omega);
}

void trel_setAlignKbias(float x) {
  if (x < 0) trel_openBlosum62();
  gk_bias = x;
}

void trel_setAlignGbias(float x) {
  if (x < 0) trel_openBlosum62();
  gg_bias = x;
}

void trel_setAlignTrace(float x) {
  w_trace = magnitude(x);
  update_weights();
}

void trel_setAlignSpatial(float x) {
  w_spatial = magnitude(x);
  update_weights();
}

void trel_setAlignBlosum(float x) {
  w_blosum = magnitude(x);
  if (w_blosum != 0.0f) trel_openBlosum62();
  update_weights();
}

void trel_setAlignCut(float x) {
  w_cut = magnitude(x);
  update_weights();
}

void trel_setAlignBanded(int x) { g_banded = x != 0 ? 1 : 0; }

void trel_setAlignFilter(float x) {
  g_filter = std::isnan(x) ? 0.0f : std::min(std::max(x, 0.0f), 1.0f);
}

void trel_setQCP(int x) { g_qcp = x; }

void trel_setAlignWindow(int w) {
  zam_mutex_acquire(LOCK);
  build_window(w);
  window_built.store(true, std::memory_order_release);
  zam_mutex_release(LOCK);
}

_trel_kweights trel_getKWeights() { return {w_trace, w_spatial, w_blosum, w_cut}; }

void trel_setKWeights(_trel_kweights w) {
  trel_setAlignBlosum(w.blosum);
  trel_setAlignTrace(w.trace);
  trel_setAlignSpatial(w.spatial);
  trel_setAlignCut(w.cut);
}

float trel_getAlignTrace() { return g_trace; }
float trel_getAlignSpatial() { return g_spatial; }
float trel_getAlignBlosum() { return g_blosum; }
float trel_getAlignCut() { return g_cut; }
float trel_getAlignRho() { return g_rho; }
float trel_getAlignEta() { return g_eta; }
float trel_getAlignTau() { return g_tau; }
float trel_getAlignOmega() { return g_omega; }

void trel_alignInitialise() {
  if (window_built.load(std::memory_order_acquire)) return;
  zam_mutex_acquire(LOCK);
  if (!window_built.load(std::memory_order_relaxed)) {
    build_window(g_window);
    window_built.store(true, std::memory_order_release);
  }
  zam_mutex_release(LOCK);
}
