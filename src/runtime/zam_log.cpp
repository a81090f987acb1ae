// Messages and the log file. Each entry expands its format once into a
// bounded buffer on its own stack (cut at 256 characters) and hands that
// finished text to one of the three steps (zam_logger_err, _msg, _log), which
// write it unchanged to every destination. The line buffer and the log
// handle are guarded by plain lock 4; zam_oops uses stack buffers and takes
// no lock. Opening and closing the log allocate and free a handle (lock 8),
// so both happen outside lock 4. A thread that holds (zam_log_hold) appends
// its finished texts to its hold without any lock.
#include "runtime/zam_log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "runtime/zam_file.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_version.h"

namespace {

constexpr int kMessageLock = ZAM_LOCK_MESSAGES;
constexpr size_t kTextSize = 257;              // 256 characters and the terminator
constexpr size_t kLineSize = 11 + kTextSize;  // the longest prefix and the text
constexpr char kRule[] =
    "------------------------------------------------------------------------------";
static_assert(sizeof(kRule) == 79, "the rule is 78 characters");

// Module state. The flags and pointers are atomic because zam_oops reads them
// without the lock; the line buffer, the name and buffer_on are guarded by
// lock 4.
char log_file[257] = "zam.log";
std::atomic<int> given_fd{-1};  // the caller's descriptor of the log (zam_logger_fd), else -1
std::atomic<_zam_file*> log_handle{nullptr};
std::atomic<int> active{0};
std::atomic<int> open_once{0};
std::atomic<int> open_done{0};
std::atomic<zam_logger_fn> user_logger{nullptr};
std::atomic<int> use_stderr{0};
std::atomic<int> errors_given{0};  // errors given by the process, for its exit status
int buffer_on = 0;
char tmp2[kLineSize];

// Keys of the warnings given once (zam_wrn_once), under a lock of their
// own, which is released before the warning is written (under lock 4).
std::mutex once_lock;
std::set<std::string>& once_keys() {
  static std::set<std::string> keys;
  return keys;
}

// True the first time a key is given (zam_wrn_once's keys, zam_adv_once's
// lines).
bool first_time(const std::string& key) {
  const std::lock_guard<std::mutex> lock(once_lock);
  return once_keys().insert(key).second;
}

// What a held line is: the entry kinds that differ in destinations (a
// prefixed line given once is written only when its text is new then).
enum HeldKind { kPlain = 0, kLogOnly = 1, kPrefixed = 2, kTick = 3, kPrefixedOnce = 4 };

// The calling thread's hold; null when it writes at once.
thread_local _zam_log_held* holding = nullptr;

// Every hold that exists, by the order it was made, and the lines of all of
// them, under one lock of their own (taken before lock 4, never under it).
// Never destroyed: holds made before main or ended by exit hooks use it.
std::mutex holds_lock;
std::map<unsigned long long, _zam_log_held*>& holds() {
  static auto* known = new std::map<unsigned long long, _zam_log_held*>;
  return *known;
}
unsigned long long hold_serial = 0;  // under holds_lock

// The callback and standard-error copy are kept as zam_logger_pin set them.
std::atomic<int> pinned{0};
// Quiet steps open now (zam_logger_quiet), on any thread.
std::atomic<int> quiet_steps{0};

// Whether plain lines and ticks stay off the screen and the callback now.
bool quiet_now() { return quiet_steps.load() > 0 && !pinned.load(); }

// Whether a log-only line given now is wanted: logging is on, or the calling
// thread's hold keeps such lines for a later run.
bool log_wanted() { return active.load() || (holding && holding->keep_log); }

struct LockGuard {
  LockGuard() { zam_mutex_acquire(kMessageLock); }
  ~LockGuard() { zam_mutex_release(kMessageLock); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
};

void log_write(const char* text) {
  _zam_file* f = log_handle.load();
  if (f && active.load() && open_done.load()) zam_fwrite(f, text, static_cast<int64_t>(strlen(text)));
}

void logger_flush() {
  _zam_file* f = log_handle.load();
  if (f && open_done.load()) zam_fflush(f);
  fflush(nullptr);
}

// Both banners: a rule, the line and a rule (the closing one starts with an
// empty line). The date and host are taken outside lock 4.
void banner(_zam_file* f, bool starting, const char* version, const char* date, const char* host) {
  if (!starting) zam_fprintf(f, "\n");
  zam_fprintf(f, "%s\n", kRule);
  zam_fprintf(f, "%s log %s at %s on host %s.\n", version, starting ? "starting" : "stopping", date, host);
  zam_fprintf(f, "%s\n", kRule);
}

struct Stamp {
  char version[64];
  char date[64];
  char host[64];
  Stamp() {
    const char* v = zam_version();
    snprintf(version, sizeof(version), "%s", v ? v : "");
    zam_get_date(date);
    zam_get_host(host);
  }
};

// Marks the one attempt to open the log allowed between two closes; true for
// the caller that made the mark, which alone opens the log.
bool mark_attempt() {
  int expected = 0;
  return open_once.compare_exchange_strong(expected, 1);
}

// Opens the log after mark_attempt; the caller does not hold lock 4.
void open_marked() {
  char name[sizeof(log_file)];
  {
    LockGuard lock;
    memcpy(name, log_file, sizeof(name));
  }
  // Never through a symbolic link: a link standing at the log's name would
  // have the log written over whatever file it points at. Never waiting for
  // a reader of a pipe there either; writes to what was opened do wait.
  const int given = given_fd.load();
  int fd = given >= 0 ? fcntl(given, F_DUPFD_CLOEXEC, 0)
                      : open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd >= 0 && given < 0) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      close(fd);
      fd = -1;
    }
  }
  _zam_file* f = fd >= 0 ? zam_fdopen(fd, "w", static_cast<int>(zam_fkind(name))) : nullptr;
  if (!f) {
    const int err = errno;
    if (fd >= 0) close(fd);
    active.store(0);
    zam_err("Failed to open log file %s [%s]\n", name, strerror(err));
    return;
  }
  Stamp stamp;
  LockGuard lock;
  log_handle.store(f);
  open_done.store(1);
  banner(f, true, stamp.version, stamp.date, stamp.host);
}

void logger_open() {
  if (mark_attempt()) open_marked();
}

void open_if_needed() {
  if (active.load() && !open_once.load()) logger_open();
}

// A text cut to its first 256 characters that lost its final newline gets
// one in place of its last character: a message cut short still ends its
// line, so that the next message does not run on in the same line. buf
// holds the kTextSize bytes of the cut text.
void keep_newline(char* buf) { buf[kTextSize - 2] = '\n'; }

// Formats into buf (kTextSize bytes), cut at 256 characters; false (and buf
// empty) when the text is empty.
bool format_text(char* buf, const char* fmt, va_list ap) {
  buf[0] = '\0';
  if (!fmt) return false;
  va_list again;
  va_copy(again, ap);
  const int n = vsnprintf(buf, kTextSize, fmt, ap);
  if (n >= static_cast<int>(kTextSize)) {
    // Cut: only the whole text tells whether it ended its line.
    std::string whole(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(whole.data(), whole.size(), fmt, again);
    if (whole[static_cast<size_t>(n) - 1] == '\n') keep_newline(buf);
  }
  va_end(again);
  if (n <= 0) {
    buf[0] = '\0';
    return false;
  }
  return true;
}

// The destinations of each kind of text; the caller holds lock 4 (but for
// zam_oops, which writes its prefixed line without it).
// A progress line on the terminal stays below the messages.
void show(const char* text) {
  const zam_logger_fn fn = user_logger.load();
  if (fn) {
    fn(text);
    return;
  }
  zam_progress_hide();
  fputs(text, stdout);
  const size_t n = strlen(text);
  if (n > 0 && text[n - 1] == '\n') zam_progress_redraw();
}

void write_plain(const char* text) {
  if (!quiet_now()) show(text);
  log_write(text);
}

void write_line(const char* line) {
  if (use_stderr.load()) fputs(line, stderr);
  show(line);
  log_write(line);
  logger_flush();
}

void write_tick() {
  if (quiet_now()) return;
  const zam_logger_fn fn = user_logger.load();
  if (fn) {
    fn(".");
  } else {
    fputc('.', stdout);
    fflush(stdout);
  }
}

// Steps 3 to 6 of a prefixed line; the text is cut already.
void write_prefixed(char* line, size_t size, const char* prefix, const char* text) {
  snprintf(line, size, "%s%.256s", prefix, text);
  write_line(line);
}

// The text cut at 256 characters into buf (kTextSize bytes), its final
// newline kept.
const char* cut(const char* text, char* buf) {
  if (strnlen(text, kTextSize) < kTextSize) return text;
  memcpy(buf, text, kTextSize - 1);
  buf[kTextSize - 1] = '\0';
  if (text[strlen(text) - 1] == '\n') keep_newline(buf);
  return buf;
}

// Appends prefix and text (cut already) to the calling thread's hold.
void hold_line(int kind, const char* prefix, const char* text) {
  std::lock_guard<std::mutex> hold(holds_lock);
  holding->lines.push_back(_zam_held_line{kind, std::string(prefix) + text});
}

// Writes a held line as its entry would write it now.
void write_held_line(const _zam_held_line& line) {
  const char* text = line.text.c_str();
  if (line.kind == kPrefixedOnce && !first_time(line.text)) return;
  LockGuard lock;
  switch (line.kind) {
    case kPlain: write_plain(text); break;
    case kLogOnly: log_write(text); break;
    case kPrefixed:
    case kPrefixedOnce: write_line(text); break;
    case kTick: write_tick(); break;
    default: break;
  }
}

// Writes held lines as their entries would write them now.
void write_held(const std::vector<_zam_held_line>& lines) {
  for (const _zam_held_line& line : lines) write_held_line(line);
}

// Kept lines (zam_log_keep): each its kind (one byte), the length of its
// text (four bytes, in the machine's order) and the text. A kept text shows
// no control byte but the line end: the others are kept escaped ("\x1b"),
// and a file's name given to the keep stands as one name mark, which the
// line said again shows as the name it is given then.
constexpr char kNameMark = '\x01';
// The longest kept text: a line as the entries give it (the longest prefix
// and 256 characters), every byte of it escaped.
constexpr size_t kKeptText = 4 * (kLineSize - 1);

// Whether c is shown escaped: a control byte other than the line end.
bool escaped(unsigned char c) { return (c < 0x20 && c != '\n') || c == 0x7f; }

void append_escaped(std::string* out, unsigned char c) {
  char code[5];
  snprintf(code, sizeof code, "\\x%02x", c);
  out->append(code, 4);
}

// The text of a held line as kept: each occurrence of name (when given and
// not empty) as the name mark, every other control byte but the line end
// escaped.
std::string kept_text(const std::string& text, const char* name) {
  const size_t k = name ? strlen(name) : 0;
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    if (k > 0 && text.compare(at, k, name) == 0) {
      out += kNameMark;
      at += k;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[at++]);
    if (escaped(c))
      append_escaped(&out, c);
    else
      out += static_cast<char>(c);
  }
  return out;
}

// The kept line at p[*at..n) (its kind, text and length), *at past it; false
// when the bytes there are no kept line: cut, of an unknown kind, or with a
// text longer than a kept text can be.
bool kept_line(const char* p, size_t n, size_t* at, int* kind, const char** text, size_t* size) {
  uint32_t len = 0;
  if (n - *at < 1 + sizeof len) return false;
  *kind = static_cast<unsigned char>(p[*at]);
  memcpy(&len, p + *at + 1, sizeof len);
  *at += 1 + sizeof len;
  if (*kind > kPrefixedOnce || len > kKeptText || len > n - *at) return false;
  *text = p + *at;
  *size = len;
  *at += len;
  return true;
}

// The length of the prefix ("*Warning* ") that a prefixed kind of line
// starts with; 0 for other kinds.
size_t prefix_length(int kind, const char* text, size_t n) {
  if ((kind != kPrefixed && kind != kPrefixedOnce) || n < 2 || text[0] != '*') return 0;
  for (size_t i = 1; i + 1 < n && i + 2 <= kLineSize - kTextSize; i++)
    if (text[i] == '*' && text[i + 1] == ' ') return i + 2;
  return 0;
}

// A kept text as it is said: the name mark as name (when given), every
// other control byte but the line end escaped (a record not made by
// zam_log_keep may hold any), and cut as the entries cut a text: at 256
// characters after its prefix, a text that ended its line still ending it.
std::string said_text(int kind, const char* text, size_t n, const char* name) {
  const size_t most = prefix_length(kind, text, n) + kTextSize - 1;
  const bool ended = n > 0 && text[n - 1] == '\n';
  std::string out;
  for (size_t i = 0; i < n && out.size() <= most; i++) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == static_cast<unsigned char>(kNameMark) && name)
      out += name;
    else if (escaped(c))
      append_escaped(&out, c);
    else
      out += static_cast<char>(c);
  }
  if (out.size() > most) {
    out.resize(most);
    if (ended) out.back() = '\n';
  }
  return out;
}

// Takes the lines of held away (to the calling thread's own hold when it
// holds one), returning those to write; the caller holds holds_lock.
std::vector<_zam_held_line> take_held(_zam_log_held* held) {
  std::vector<_zam_held_line> out;
  if (holding && holding != held) {
    for (_zam_held_line& line : held->lines) holding->lines.push_back(std::move(line));
    held->lines.clear();
  } else {
    out.swap(held->lines);
  }
  return out;
}

// A plain line (kPlain: screen and log file) or a log-only line
// (kLogOnly), written now or held.
void unprefixed(HeldKind kind, const char* text) {
  open_if_needed();
  if (!text || !*text) return;
  char buf[kTextSize];
  const char* whole = cut(text, buf);
  if (holding) {
    hold_line(kind, "", whole);
    return;
  }
  LockGuard lock;
  if (kind == kPlain)
    write_plain(whole);
  else
    log_write(whole);
}

// A prefixed line (kPrefixed, or kPrefixedOnce: written only the first time
// its text is seen, a held one when it is replayed), written now or held.
void prefixed_line(HeldKind kind, const char* prefix, const char* text) {
  if (!prefix) prefix = "";
  if (strcmp(prefix, "*Error* ") == 0) errors_given.fetch_add(1);
  open_if_needed();
  if (!text || !*text) return;
  char buf[kTextSize];
  text = cut(text, buf);
  if (holding) {
    hold_line(kind, prefix, text);
    return;
  }
  if (kind == kPrefixedOnce && !first_time(std::string(prefix) + text)) return;
  LockGuard lock;
  write_prefixed(tmp2, sizeof(tmp2), prefix, text);
}

// The entries format on the caller's stack, taking no lock yet.
void prefixed(const char* prefix, const char* fmt, va_list ap, HeldKind kind = kPrefixed) {
  char text[kTextSize];
  format_text(text, fmt, ap);
  prefixed_line(kind, prefix, text);
}

}  // namespace

void zam_msg(const char* fmt, ...) {
  char text[kTextSize];
  va_list ap;
  va_start(ap, fmt);
  format_text(text, fmt, ap);
  va_end(ap);
  zam_logger_msg(text);
}

void zam_log(const char* fmt, ...) {
  if (!log_wanted()) return;
  char text[kTextSize];
  va_list ap;
  va_start(ap, fmt);
  format_text(text, fmt, ap);
  va_end(ap);
  zam_logger_log(text);
}

void zam_adv(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  prefixed("*Advisory* ", fmt, ap);
  va_end(ap);
}

void zam_wrn(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  prefixed("*Warning* ", fmt, ap);
  va_end(ap);
}

void zam_err(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  prefixed("*Error* ", fmt, ap);
  va_end(ap);
}

int zam_err_count() { return errors_given.load(); }

int zam_wrn_once(const char* key, const char* fmt, ...) {
  if (!first_time(key ? key : "")) return 0;
  va_list ap;
  va_start(ap, fmt);
  prefixed("*Warning* ", fmt, ap);
  va_end(ap);
  return 1;
}

void zam_adv_once(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  prefixed("*Advisory* ", fmt, ap, kPrefixedOnce);
  va_end(ap);
}

void zam_wrn_once_reset() {
  const std::lock_guard<std::mutex> lock(once_lock);
  once_keys().clear();
}

void zam_oops(const char* fmt, ...) {
  open_if_needed();
  char text[kTextSize];
  char line[kLineSize];
  va_list ap;
  va_start(ap, fmt);
  const bool any = format_text(text, fmt, ap);
  va_end(ap);
  if (any) write_prefixed(line, sizeof(line), "*Oops* ", text);
}

void zam_msg_brk() { zam_msg("\n%s\n", kRule); }

void zam_tick() {
  if (holding) {
    hold_line(kTick, "", ".");
    return;
  }
  LockGuard lock;
  write_tick();
}

void zam_logger_err(const char* prefix, const char* text) { prefixed_line(kPrefixed, prefix, text); }

void zam_logger_msg(const char* text) { unprefixed(kPlain, text); }

void zam_logger_log(const char* text) {
  if (log_wanted()) unprefixed(kLogOnly, text);
}

void zam_logger_name(const char* name) {
  if (!name || !*name) return;
  LockGuard lock;
  snprintf(log_file, sizeof(log_file), "%s", name);
}

void zam_logger_fd(int fd) { given_fd.store(fd >= 0 ? fd : -1); }

void zam_logger_state(int on) {
  if (on) {
    // An explicit request may retry an open that failed before (logging was
    // then turned off, so no message entry is trying it meanwhile).
    if (!open_done.load() && !active.load()) open_once.store(0);
    if (mark_attempt()) {
      // Marked before switching on, so that no message entry (perhaps one
      // of the allocator, under lock 8) opens the log meanwhile; a failed
      // open turns logging off again.
      active.store(1);
      open_marked();
    } else {
      // The log is open (or being opened): resume writing to it.
      active.store(1);
    }
  } else {
    active.store(0);
  }
  LockGuard lock;
  logger_flush();
}

void zam_logger_exit() {
  zam_log_release();
  if (!open_done.load()) return;
  Stamp stamp;
  _zam_file* f = nullptr;
  {
    LockGuard lock;
    f = log_handle.load();
    if (!open_done.load() || !f) return;
    banner(f, false, stamp.version, stamp.date, stamp.host);
    active.store(0);
    open_done.store(0);
    log_handle.store(nullptr);
    open_once.store(0);
  }
  zam_fclose(f);
}

zam_logger_fn zam_logger_callback(zam_logger_fn fn) {
  LockGuard lock;
  if (pinned.load()) return user_logger.load();
  return user_logger.exchange(fn);
}

int zam_logger_status() { return active.load(); }

void zam_logger_stderr(int on) {
  LockGuard lock;
  if (!pinned.load()) use_stderr.store(on != 0 ? 1 : 0);
}

void zam_logger_quiet(int on) {
  if (on) {
    quiet_steps.fetch_add(1);
    return;
  }
  // A close with none open changes nothing.
  int steps = quiet_steps.load();
  while (steps > 0 && !quiet_steps.compare_exchange_weak(steps, steps - 1)) {
  }
}

void zam_logger_pin(zam_logger_fn fn, int on) {
  LockGuard lock;
  user_logger.store(fn);
  use_stderr.store(on != 0 ? 1 : 0);
  pinned.store(1);
}

const char* zam_logger_file() {
  if (active.load() && !open_done.load()) logger_open();
  return log_file;
}

void zam_logger_buffer(int n) {
  LockGuard lock;
  const zam_logger_fn fn = user_logger.load();
  if (n >= 1) {
    if (!buffer_on) {
      if (fn) fn("BUFFER_ON\n");
      buffer_on = 1;
    }
  } else if (n < 0 || buffer_on) {
    if (fn) fn("BUFFER_OFF\n");
    buffer_on = 0;
  }
  fflush(nullptr);
}

_zam_log_held* zam_log_hold(_zam_log_held* held) {
  _zam_log_held* before = holding;
  holding = held;
  return before;
}

void zam_log_replay(_zam_log_held* held) {
  if (!held || held == holding) return;
  std::vector<_zam_held_line> lines;
  {
    std::lock_guard<std::mutex> hold(holds_lock);
    lines = take_held(held);
  }
  write_held(lines);
}

void zam_log_drop(_zam_log_held* held) {
  if (!held) return;
  std::lock_guard<std::mutex> hold(holds_lock);
  held->lines.clear();
}

std::string zam_log_keep(const _zam_log_held* held, const char* name) {
  std::string bytes;
  if (!held) return bytes;
  std::lock_guard<std::mutex> hold(holds_lock);
  for (const _zam_held_line& line : held->lines) {
    const std::string text = kept_text(line.text, name);
    const uint32_t n = static_cast<uint32_t>(text.size());
    bytes += static_cast<char>(line.kind);
    bytes.append(reinterpret_cast<const char*>(&n), sizeof n);
    bytes += text;
  }
  return bytes;
}

int64_t zam_log_kept(const char* bytes, size_t n) {
  int64_t lines = 0;
  int kind = 0;
  const char* text = nullptr;
  size_t size = 0;
  for (size_t at = 0; at < n; lines++)
    if (!kept_line(bytes, n, &at, &kind, &text, &size)) return -1;
  return lines;
}

bool zam_log_say(const std::string& bytes, const char* name) {
  // Every line is checked before any is said; each is then said as it is
  // read, so that no copy of them all is made (but the hold of a thread
  // that holds).
  const char* p = bytes.data();
  const size_t n = bytes.size();
  if (zam_log_kept(p, n) < 0) return false;
  open_if_needed();
  int kind = 0;
  const char* text = nullptr;
  size_t size = 0;
  for (size_t at = 0; at < n && kept_line(p, n, &at, &kind, &text, &size);) {
    _zam_held_line line{kind, said_text(kind, text, size, name)};
    if (holding) {
      std::lock_guard<std::mutex> hold(holds_lock);
      holding->lines.push_back(std::move(line));
    } else {
      write_held_line(line);
    }
  }
  return true;
}

void zam_log_release() {
  std::vector<_zam_held_line> lines;
  {
    std::lock_guard<std::mutex> hold(holds_lock);
    for (auto& [serial, held] : holds()) {
      (void)serial;
      for (_zam_held_line& line : held->lines) lines.push_back(std::move(line));
      held->lines.clear();
    }
  }
  write_held(lines);
}

_zam_log_held::_zam_log_held() {
  std::lock_guard<std::mutex> hold(holds_lock);
  serial = hold_serial++;
  holds()[serial] = this;
}

_zam_log_held::_zam_log_held(_zam_log_held&& other) noexcept {
  // The new hold takes the other's lines and its place in the order; the
  // other, empty, goes to the end.
  std::lock_guard<std::mutex> hold(holds_lock);
  lines.swap(other.lines);
  keep_log = other.keep_log;
  serial = other.serial;
  holds()[serial] = this;
  other.serial = hold_serial++;
  holds()[other.serial] = &other;
}

_zam_log_held& _zam_log_held::operator=(_zam_log_held&& other) noexcept {
  if (this == &other) return *this;
  // Swapped: this hold's lines go with the other, written when it goes.
  std::lock_guard<std::mutex> hold(holds_lock);
  lines.swap(other.lines);
  std::swap(keep_log, other.keep_log);
  std::swap(serial, other.serial);
  holds()[serial] = this;
  holds()[other.serial] = &other;
  return *this;
}

_zam_log_held::~_zam_log_held() {
  std::vector<_zam_held_line> left;
  {
    std::lock_guard<std::mutex> hold(holds_lock);
    holds().erase(serial);
    left = take_held(this);
  }
  write_held(left);
}
