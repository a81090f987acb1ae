// Progress hooks through which a host program can follow long runs, the
// fraction-done file written for a volunteer-computing host, and a terminal
// line showing how far a long run has come. Without a hook every call here
// does nothing and returns 0. Only the terminal line takes a lock (its own).
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

// Update code of zam_update_gui understood by zam_update_terminal; its
// arguments are (const char* what, int done, int total).
constexpr int ZAM_UPDATE_COUNT = 1;

// An update hook for a terminal: one line on standard error, "what: done/total
// (about 3m 20s left)", redrawn at most once a second, erased when done
// reaches total. It writes nothing when standard error is not a terminal, so
// nothing of it reaches a file or a pipe. Messages printed to a terminal in
// the meantime go above it (the message writer calls the two functions below).
void zam_update_terminal(int code, va_list args);
// Erase the terminal line before a message goes to standard output; put it
// back after (when the message ended its line). Nothing when no line is shown.
void zam_progress_hide();
void zam_progress_redraw();
