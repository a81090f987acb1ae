// Messages and the log file. Every text shown to the user goes through here:
// plain messages, log-only lines and the prefixed advisory, warning, error and
// oops kinds. Messages are cut at 256 characters (a text that ended its line
// still does: its 256th character becomes the newline). All kinds but zam_oops hold
// plain lock 4 while they format and write; the one log file of a run is
// opened by zam_logger_state and closed by the exit hook zam_logger_exit.
// A thread may hold its messages back for a while and have them written
// later, in an order of its caller's choosing (zam_log_hold, zam_log_replay).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Receives each finished line (terminator included) instead of standard output.
typedef void (*zam_logger_fn)(const char* text);

// Plain message to standard output (or the callback) and the log; no flush.
void zam_msg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Log-only line; nothing when logging is off (unless the calling thread's
// hold keeps log lines: keep_log).
void zam_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Prefixed kinds: standard output (or the callback), standard error when
// zam_logger_stderr is on, and the log; then everything is flushed. None of
// them ends the program. zam_oops takes no lock and uses no shared buffer, so
// the thread layer may report its own lock failures through it.
void zam_adv(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void zam_wrn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void zam_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void zam_oops(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A warning given at most once per process for each key (the name of the
// routine that warns, say): the first call with a key writes it as zam_wrn
// does and returns 1; later calls with that key write nothing and return 0.
// Safe from any thread. zam_wrn_once_reset forgets the keys, so that each
// warns once more (tests use it).
int zam_wrn_once(const char* key, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void zam_wrn_once_reset();
// An advisory given at most once per process for each text: the first one
// written is shown as zam_adv shows it, a later one of the same text writes
// nothing. A held one counts when it is replayed, not when it is given, so
// that held messages shown in a serial order keep the first of that order,
// whichever thread gave it first. Safe from any thread; zam_wrn_once_reset
// forgets these texts too.
void zam_adv_once(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Number of errors given so far by the process (zam_err, or zam_logger_err
// with the "*Error* " prefix; held ones included): a run that reported an
// error must not end with status 0.
int zam_err_count();

// The steps under the entries, for a text formatted already: it is written
// as it stands (a '%' in it is never interpreted), cut at 256 characters, to
// the destinations of its kind, under lock 4; an empty or null text writes
// nothing (a log switched on but not yet open is opened all the same). A
// thread that holds its messages appends the line to its hold instead.
// A prefixed line (prefix at most 11 characters), as zam_adv/wrn/err write
// it; the prefix "*Error* " counts in zam_err_count.
void zam_logger_err(const char* prefix, const char* text);
// A plain line, as zam_msg writes it.
void zam_logger_msg(const char* text);
// A log-only line, as zam_log writes it; nothing when logging is off
// (unless the calling thread's hold keeps log lines).
void zam_logger_log(const char* text);

// A newline, a rule of 78 '-' and a newline through zam_msg.
void zam_msg_brk();
// Progress tick: "." to the callback, or one '.' to standard output (flushed).
void zam_tick();

// Sets the log file name (at most 256 characters; default "zam.log"); a null
// or empty name is ignored. Opens nothing.
void zam_logger_name(const char* name);
// The log is the file open as fd (the caller's, kept open by it; the log
// writes through a duplicate taken when it opens): nothing is made or
// truncated at the log's name, which names the log in messages only. -1:
// the log is opened at its name again. Opens nothing.
void zam_logger_fd(int fd);
// on != 0: switches logging on, opening the log (the file of zam_logger_fd,
// else the name in mode "w", replacing an old file, never through a
// symbolic link, and never waiting: a pipe no process reads fails) and
// writing its starting banner when not yet open; a log that cannot be
// opened is reported once and logging stays off. on == 0: nothing more is
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

// Messages held back by a thread, in the order they were given: the finished
// text of each (prefix included) and which kind of entry gave it. Every hold
// is known to the log layer from its making to its end, so that no line
// held is ever lost: lines still held when the hold goes are written then
// (unless dropped with zam_log_drop),
// zam_log_release writes all that are held (a run that stops), and the exit
// hook zam_logger_exit does so too (a run that ends while holding). A hold
// moves but is not copied (the lines would be written twice).
struct _zam_held_line {
  int kind;  // private to the log layer: the destinations of the text
  std::string text;
};
struct _zam_log_held {
  std::vector<_zam_held_line> lines;  // guarded by the log layer's lock of holds
  unsigned long long serial;          // the order in which holds were made
  // 1: log-only lines are held even while logging is off, for a hold kept
  // (zam_log_keep) to be said by a later run that may keep a log.
  int keep_log = 0;
  _zam_log_held();
  _zam_log_held(_zam_log_held&& other) noexcept;
  _zam_log_held& operator=(_zam_log_held&& other) noexcept;
  _zam_log_held(const _zam_log_held&) = delete;
  _zam_log_held& operator=(const _zam_log_held&) = delete;
  ~_zam_log_held();
};

// Makes held (null: none) the calling thread's hold and returns the one in
// place before, so that holds nest. While a thread holds, zam_msg, zam_log,
// zam_adv, zam_wrn, zam_err, zam_msg_brk and zam_tick format their text as
// always and append it to the hold, taking no lock: neither standard output,
// the callback, standard error nor the log file sees it yet. zam_oops is
// never held (it reports faults of the thread layer, which must be seen at
// once). Worker threads hold per work item so that the caller can show the
// items' messages in list order, whichever thread did which item.
_zam_log_held* zam_log_hold(_zam_log_held* held);
// Writes the held lines, in order, exactly as their entries would write them
// now (destinations, log-file copy, flushes), then empties held. A thread
// that is itself holding appends them to its own hold. Null is ignored.
void zam_log_replay(_zam_log_held* held);
// Forgets the held lines without writing them: for work whose messages its
// caller decides not to show (a part done past a failure that a run in
// order would never have reached). Null is ignored.
void zam_log_drop(_zam_log_held* held);
// The lines of held as bytes that keep each line's kind and text (the hold
// is left as it is), for another process to say again with zam_log_say:
// what reading a file said, kept beside what was made of it. A kept text
// holds no control byte but the line end: the others are kept escaped
// ("\x1b"), and each occurrence of name (when given: a text that stands
// for a file's name where what is kept was said, and nowhere else) is kept
// as a mark for the name the lines are said with. Empty when held has no
// lines (or is null).
std::string zam_log_keep(const _zam_log_held* held, const char* name = nullptr);
// The number of lines kept in the n bytes at bytes, as zam_log_keep keeps
// them; -1 when they are not such lines (cut, of an unknown kind, or a text
// longer than a kept line of 256 characters and its prefix, escaped, can be).
int64_t zam_log_kept(const char* bytes, size_t n);
// Says lines kept by zam_log_keep, as their entries would write them now:
// appended to the calling thread's hold when it holds, else written. Each
// text is said with name (when given) where it held a file's name, every
// control byte but the line end escaped, and cut at 256 characters after
// its prefix, as the entries cut. No line counts in zam_err_count: what
// was kept was counted where it was given. False, and nothing said, when
// bytes are not such lines (zam_log_kept).
bool zam_log_say(const std::string& bytes, const char* name = nullptr);
// Writes the lines of every hold that has any, the holds in the order they
// were made, and empties them: for a run stopped (from another thread)
// before its holds are replayed. Lines held after the call wait for their
// own replay. Safe from any thread that is not itself holding.
void zam_log_release();
// A quiet step (on != 0 opens one, 0 closes it): while any is open, on any
// thread, plain lines and progress ticks reach the log file alone, not
// standard output or the callback; advisories, warnings and errors reach
// every destination as always, so that what goes wrong in a quiet step (on
// the step's own worker threads too) is still seen. Steps nest and may
// overlap on several threads: the screen comes back when the last one
// closes. A held line is written as the steps open at its replay have it.
void zam_logger_quiet(int on);
// Sets the callback (null: standard output) and the standard-error copy of
// prefixed lines, and keeps them: later zam_logger_callback and
// zam_logger_stderr calls change nothing until zam_logger_pin is called
// again, and quiet steps no longer keep plain lines from the callback. For
// the end of a run stopped while its threads may still be in quiet steps
// or swap callbacks around them: what it says then reaches the user.
void zam_logger_pin(zam_logger_fn fn, int use_stderr);
