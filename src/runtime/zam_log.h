// Messages and the log file. Every text shown to the user goes through here:
// plain messages, log-only lines and the prefixed advisory, warning, error and
// oops kinds. Messages are cut at 256 characters. All kinds but zam_oops hold
// plain lock 4 while they format and write; the one log file of a run is
// opened by zam_logger_state and closed by the exit hook zam_logger_exit.
#pragma once

// Receives each finished line (terminator included) instead of standard output.
typedef void (*zam_logger_fn)(const char* text);

// Plain message to standard output (or the callback) and the log; no flush.
void zam_msg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Log-only line; nothing when logging is off.
void zam_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Prefixed kinds: standard output (or the callback), standard error when
// zam_logger_stderr is on, and the log; then everything is flushed. None of
// them ends the program. zam_oops takes no lock and uses no shared buffer, so
// the thread layer may report its own lock failures through it.
void zam_adv(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void zam_wrn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void zam_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void zam_oops(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A newline, a rule of 78 '-' and a newline through zam_msg.
void zam_msg_brk();
// Progress tick: "." to the callback, or one '.' to standard output (flushed).
void zam_tick();

// Sets the log file name (at most 256 characters; default "zam.log"); a null
// or empty name is ignored. Opens nothing.
void zam_logger_name(const char* name);
// on != 0: switches logging on, opening the log (mode "w", replacing an old
// one) and writing its starting banner when not yet open; a log that cannot
// be opened is reported once and logging stays off. on == 0: nothing more is
// written to the log (it stays open). Both flush everything.
void zam_logger_state(int on);
// Exit hook: writes the closing banner, closes the log and switches logging
// off. Does nothing when no log is open.
void zam_logger_exit();
// Installs fn (null: standard output) and returns the callback installed before.
zam_logger_fn zam_logger_callback(zam_logger_fn fn);
// 1 when logging is on.
int zam_logger_status();
// Copies prefixed messages to standard error when on != 0.
void zam_logger_stderr(int on);
// The log file name (a static buffer); opens the log first when logging is on
// and it is not open yet.
const char* zam_logger_file();
// Bulk output start (n >= 1: "BUFFER_ON\n" once to the callback) or stop
// (n == 0: "BUFFER_OFF\n" when it was on; n < 0: always). Flushes all streams.
void zam_logger_buffer(int n);
