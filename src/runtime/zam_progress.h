// Progress hooks through which a host program can follow long runs, and the
// fraction-done file written for a volunteer-computing host. Nothing in the
// tool installs a hook, so by default every call here does nothing and
// returns 0. No function here takes a lock.
#pragma once

#include <cstdarg>

typedef void (*zam_update_fn)(int code, va_list args);
typedef int (*zam_progress_fn)(int code, double percent);

void zam_update_callback(zam_update_fn fn);  // null removes it
void zam_update_gui(int code, ...);          // forwards to the update hook when set

void zam_progress_callback(zam_progress_fn fn);  // null removes it
// Each returns the hook's answer (non-zero asks to stop), 0 without a hook.
int zam_progress_start();                 // fn(-1, 0.0)
int zam_progress_end();                   // fn(0, 100.0)
int zam_progress2(int code, int i, int n);  // whole part of i/n*100+0.5, clamped to 0..100
int zam_progress1(int code, double f);      // whole part of f*100+0.5, clamped to 0..100
inline int zam_progress1(double f, int code) { return zam_progress1(code, f); }

// Fraction-done file (default "boinc_fraction_done.txt").
void zam_progress_filename(const char* name);
void zam_progress_weights(const double* w);  // four phase weights
// The fraction-done writer, in the progress hook's form; returns 0.
int zam_file_progress(int code, double percent);
