#include "runtime/zam_progress.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>

#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

zam_update_fn update_fn = nullptr;
zam_progress_fn progress_fn = nullptr;

// Fraction-done file state: one writer (the docking driver's progress loop).
std::string fraction_name = "boinc_fraction_done.txt";
_zam_file* fraction_file = nullptr;
int fraction_active = 0;
float docked = 0.0f;                            // D: progress of the docking phase
float weights[4] = {0.1f, 0.7f, 0.2f, 0.0f};
float weight_sum = 0.0f;                        // W: 0 until weights are given

// Whole part of x, clamped to 0..100; a NaN (0 of 0 items) reads as 0.
double percent_of(double x) {
  if (!(x >= 0.0)) return 0.0;
  if (x >= 100.0) return 100.0;
  return std::floor(x);
}

int report(int code, double p) { return progress_fn ? progress_fn(code, p) : 0; }

// The terminal line: its text, whether it is on the screen, when its count
// started and when it was last drawn. Guarded by line_lock; the updates come
// from the main thread, the hide and redraw from any thread that prints.
std::mutex line_lock;
std::string line_text;
std::atomic<bool> line_shown{false};   // the line is on the screen
std::atomic<bool> line_active{false};  // line_text is not empty
std::string line_what;
double line_start = 0.0;
double line_drawn = -1.0;

bool stderr_is_tty() {
  static const bool tty = isatty(2) == 1;
  return tty;
}

// "1h 02m", "3m 20s" or "45s".
std::string duration(double seconds) {
  const long s = std::lround(std::max(seconds, 0.0));
  char buf[48];
  if (s >= 3600)
    snprintf(buf, sizeof buf, "%ldh %02ldm", s / 3600, (s / 60) % 60);
  else if (s >= 60)
    snprintf(buf, sizeof buf, "%ldm %02lds", s / 60, s % 60);
  else
    snprintf(buf, sizeof buf, "%lds", s);
  return buf;
}

void draw_line() {
  fputs("\r", stderr);
  fputs(line_text.c_str(), stderr);
  fputs("\033[K", stderr);
  fflush(stderr);
  line_shown = true;
}

void erase_line() {
  fputs("\r\033[K", stderr);
  fflush(stderr);
  line_shown = false;
}

}  // namespace

void zam_update_callback(zam_update_fn fn) { update_fn = fn; }

void zam_update_gui(int code, ...) {
  if (!update_fn) return;
  va_list args;
  va_start(args, code);
  update_fn(code, args);
  va_end(args);
}

void zam_progress_callback(zam_progress_fn fn) { progress_fn = fn; }

int zam_progress_start() { return report(-1, 0.0); }

int zam_progress_end() { return report(0, 100.0); }

int zam_progress2(int code, int i, int n) {
  if (!progress_fn) return 0;
  return report(code, percent_of(static_cast<double>(i) / n * 100.0 + 0.5));
}

int zam_progress1(int code, double f) {
  if (!progress_fn) return 0;
  return report(code, percent_of(f * 100.0 + 0.5));
}

void zam_progress_filename(const char* name) {
  if (name && *name) fraction_name = name;
}

void zam_progress_weights(const double* w) {
  weight_sum = 0.0f;
  for (int k = 0; k < 4; k++) {
    weights[k] = static_cast<float>(w[k]);
    weight_sum += weights[k];
  }
}

int zam_file_progress(int code, double percent) {
  const float p = static_cast<float>(percent * 0.01);
  const float w0 = weights[0], w1 = weights[1], w2 = weights[2], w3 = weights[3];
  float fraction = 0.0f;
  if (code == -1) {
    zam_fclose(fraction_file);
    fraction_file = zam_fopen(fraction_name.c_str(), "w");
    fraction_active = 1;
    docked = 0.0f;
  } else if (code == 0) {
    if (fraction_active) {
      zam_fclose(fraction_file);
      fraction_file = nullptr;
      fraction_active = 0;
      return 0;
    }
  } else if (fraction_active) {
    switch (code) {
      case 1:
        docked = p * weight_sum;
        fraction = docked + w0;
        break;
      case 2: fraction = docked + w0 + w1 + w2 + w3 * p; break;
      case 3: fraction = docked + w0 + w1 + w2 * p; break;
      case 4: fraction = docked + w0 + w1 * p; break;
      case 5: fraction = docked + w0 * p; break;
      default: break;
    }
  }
  if (!(fraction >= 0.0f)) fraction = 0.0f;
  if (fraction > 1.0f) fraction = 1.0f;
  if (fraction_file) {
    // The file always holds one line: rewrite it from the start.
    zam_rewind(fraction_file);
    zam_fprintf(fraction_file, "%.6f\n", fraction);
    zam_fflush(fraction_file);
  }
  if (zam_debug >= 1) zam_msg("Progress = %.6f\n", fraction);
  return 0;
}

void zam_update_terminal(int code, va_list args) {
  if (code != ZAM_UPDATE_COUNT) return;
  const char* what = va_arg(args, const char*);
  const int done = va_arg(args, int);
  const int total = va_arg(args, int);
  if (!stderr_is_tty()) return;
  std::lock_guard<std::mutex> guard(line_lock);
  const double now = zam_get_time();
  const std::string name = what ? what : "";
  if (done <= 0 || name != line_what) {
    line_what = name;
    line_start = now;
    line_drawn = -1.0;
  }
  if (done >= total) {
    line_text.clear();
    line_active = false;
    if (line_shown) erase_line();
    return;
  }
  if (line_drawn >= 0.0 && now - line_drawn < 1.0) return;
  line_drawn = now;
  char buf[160];
  snprintf(buf, sizeof buf, "%s: %d/%d", name.c_str(), done, total);
  line_text = buf;
  if (done > 0) {
    const double left = (now - line_start) / done * (total - done);
    line_text += " (about " + duration(left) + " left)";
  }
  line_active = true;
  draw_line();
}

// Messages that do not reach the terminal leave the line alone.
bool stdout_is_tty() {
  static const bool tty = isatty(1) == 1;
  return tty;
}

void zam_progress_hide() {
  if (!line_shown || !stdout_is_tty()) return;
  std::lock_guard<std::mutex> guard(line_lock);
  if (line_shown) erase_line();
}

void zam_progress_redraw() {
  if (!line_active || line_shown || !stdout_is_tty()) return;
  std::lock_guard<std::mutex> guard(line_lock);
  if (line_active && !line_shown) {
    fflush(stdout);
    draw_line();
  }
}
