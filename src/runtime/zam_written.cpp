#include "runtime/zam_written.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_lock.h"
#include "runtime/zam_log.h"
#include "runtime/zam_place.h"

void (*zam_place_fault)(ZamPlaceStep step) = nullptr;
int (*zam_record_fault)(ZamRecordStep step) = nullptr;

namespace {

// The longest line read: a path of PATH_MAX bytes and its numbers. A longer
// one is no line of trel's and is passed over without being held.
constexpr size_t kLineMax = PATH_MAX + 256;
// The record is rewritten once it holds more lines than this and more than
// twice the lines it was last rewritten with (its line "#kept <count>").
constexpr long kCompactLines = 4096;
const char* const kKept = "#kept ";

// Which names under a folder stand there now, a folder's entries listed
// once: the lines of a long record name mostly files long gone, which are
// neither looked up one by one nor kept.
struct Presence {
  std::string root;  // the folder, ending in "/"
  bool list;         // folders are listed (a whole record is read); else each name is looked up
  std::map<std::string, std::vector<std::string>> listed;  // a folder under root ("" itself): its entries, sorted
  bool has(const std::string& name) {
    if (name == ".") return true;
    struct stat st;
    if (!list) return lstat((root + name).c_str(), &st) == 0;
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
    auto it = listed.find(dir);
    if (it == listed.end()) {
      std::vector<std::string> entries;
      zam_folderEntries(root + (dir.empty() ? "." : dir), &entries);  // an unreadable folder lists none
      std::sort(entries.begin(), entries.end());
      it = listed.emplace(dir, std::move(entries)).first;
    }
    return std::binary_search(it->second.begin(), it->second.end(), name.substr(slash + 1));
  }
};

// What the lines of a record say, as read in order. Lines of names that do
// not stand in the folder now are counted and not kept: no file that comes
// there later is the one they named.
struct Journal {
  struct File {
    _zam_identity id;
    bool ahead;      // an unsettled A (or B) line: the file may be at its name
    int64_t by = 0;  // an A line's: the name was to be taken by then (0: a file still written)
    bool born_known = false;  // a B line: the file's birth time was known when it was written
    int64_t born = 0;         // a B line's birth time (0: the file system keeps none)
  };
  std::map<std::string, std::vector<File>> files;  // by name under the folder
  std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> folders;
  long lines = 0;    // lines read, the head and comments too
  long unread = 0;   // lines that did not parse
  long parsed = 0;   // lines of files and folders that did
  bool first_unread = false;  // the first line did not parse (a damaged head, say)
  bool headless = true;  // no head line read first
  long kept = 0;         // lines the record was last rewritten with (as its line says)
  std::vector<std::string> ahead_names;  // names of A lines read since last looked at
  std::map<std::string, int64_t> making;  // unsettled M lines: a folder to be made at the name, from then on
  Presence* presence = nullptr;  // when set, only the lines of names that stand are kept

  void clear() { *this = Journal{}; }
  void take(const char* begin, const char* end);
};

// How long after its A line a file is taken to have its name at the
// latest: a change later than that is not the naming's, and the file is no
// longer the one announced (its inode may have gone to another file since).
constexpr int64_t kNamingGrace = int64_t{10} * 1000000000;
// An A line's time lies the grace after the file's last change before the
// line, or a little more (the file was closed, then compared with an older
// one): a line whose time lies further beyond is no line of a placing.
constexpr int64_t kNamingMargin = int64_t{60} * 1000000000;
// File times come from a coarser clock than the lines' times.
constexpr int64_t kTick = 20000000;

// The birth time of the file open as fd (or at path from dir), in
// nanoseconds; 0 where the file system keeps none.
int64_t bornOf(int dir, const char* path, int flags) {
  struct statx sx;
  if (statx(dir, path, flags, STATX_BTIME, &sx) != 0 || !(sx.stx_mask & STATX_BTIME)) return 0;
  timespec t{};
  t.tv_sec = static_cast<time_t>(sx.stx_btime.tv_sec);
  t.tv_nsec = static_cast<long>(sx.stx_btime.tv_nsec);
  return zam_nanoseconds(t);
}

// The identity and birth time (0: none kept) of the regular file at path
// (a link not followed); false when no regular file stands there.
bool identityBorn(const std::string& path, _zam_identity* id, int64_t* born) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0 ||
      !S_ISREG(sx.stx_mode))
    return false;
  const auto ns = [](const struct statx_timestamp& s) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(s.tv_sec);
    t.tv_nsec = static_cast<long>(s.tv_nsec);
    return zam_nanoseconds(t);
  };
  *id = _zam_identity{static_cast<uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor)), sx.stx_ino,
                      static_cast<int64_t>(sx.stx_size), ns(sx.stx_mtime), ns(sx.stx_ctime)};
  *born = (sx.stx_mask & STATX_BTIME) ? ns(sx.stx_btime) : 0;
  return true;
}

// Whether the unsettled A line f allows the file of identity id, born then
// (0: no birth time kept), now at its name: the same file (device, inode and
// birth time: an inode given to another file since has another birth),
// neither smaller nor older than it was when the line was written (naming
// it moved its change time; a log still grows), and changed last by the
// time its name was to be taken, unless it was still written. No time of
// the line is believed past now, nor a line whose time lies far beyond the
// file's change time it names. Whether a still-written file's writer is
// gone is the caller's to ask.
bool allows(const Journal::File& f, const _zam_identity& id, int64_t born, int64_t now) {
  if (!f.ahead || f.id.ino == 0 || f.id.dev != id.dev || f.id.ino != id.ino || f.id.ctime_ns <= 0) return false;
  if (id.size < f.id.size || id.mtime_ns < f.id.mtime_ns || id.ctime_ns < f.id.ctime_ns) return false;
  if (f.by != 0 && (f.by - f.id.ctime_ns > kNamingGrace + kNamingMargin || id.ctime_ns > std::min(f.by, now)))
    return false;
  if (f.born_known) return born == f.born;
  // A line written without the birth time: a file born after the line was
  // written is another one.
  return born == 0 || (f.by != 0 && born <= f.by - kNamingGrace);
}

// The line of f (its kind A or B), unsettled, for the file at name.
std::string aheadLine(const Journal::File& f, const std::string& name) {
  if (f.born_known)
    return "B " + zam_identityText(f.id) + " " + std::to_string(f.by) + " " + std::to_string(f.born) + " " + name + "\n";
  return "A " + zam_identityText(f.id) + " " + std::to_string(f.by) + " " + name + "\n";
}

// The device and inode of the folder at path when it was made (its birth
// time, where the file system keeps one, else its change time: a folder
// a run was stopped in before it wrote into it is unchanged since) within
// the grace after made, the time of its M line (never past now); false
// otherwise.
bool madeThen(const std::string& path, int64_t made, std::pair<uint64_t, uint64_t>* self) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO | STATX_CTIME | STATX_BTIME, &sx) !=
          0 ||
      !S_ISDIR(sx.stx_mode))
    return false;
  made = std::min(made, zam_nowNs());
  const struct statx_timestamp& at = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
  timespec t{};
  t.tv_sec = static_cast<time_t>(at.tv_sec);
  t.tv_nsec = static_cast<long>(at.tv_nsec);
  const int64_t when = zam_nanoseconds(t);
  if (when < made - kTick || when > made + kNamingGrace) return false;
  *self = {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
  return true;
}

bool hasExact(const std::vector<Journal::File>& list, const _zam_identity& id) {
  return std::any_of(list.begin(), list.end(),
                     [&](const Journal::File& f) { return !f.ahead && zam_sameIdentity(f.id, id); });
}

// One line (its end left out) of the record.
void Journal::take(const char* p, const char* end) {
  const bool first = lines++ == 0;
  if (first && std::string(p, end) == ZAM_WRITTEN_HEAD) {
    headless = false;
    return;
  }
  if (p < end && *p == '#') {  // a comment: the count of a rewrite, or a head of another version
    const size_t n = std::strlen(kKept);
    uint64_t count = 0;
    const char* at = p + n;
    if (static_cast<size_t>(end - p) > n && std::memcmp(p, kKept, n) == 0 &&
        zam_parseNumber(at, end, LONG_MAX, &count) && at == end)
      kept = static_cast<long>(count);
    return;
  }
  const char kind = end - p >= 3 && p[1] == ' ' ? p[0] : '\0';
  const char* at = p + 2;
  _zam_identity id{};
  uint64_t by = 0, born = 0;
  bool ok = false;
  if (kind == 'W') {
    ok = zam_parseIdentity(at, end, &id, &at);
  } else if (kind == 'A' || kind == 'B') {
    ok = zam_parseIdentity(at, end, &id, &at) && at < end && *at++ == ' ' && zam_parseNumber(at, end, INT64_MAX, &by);
    if (ok && kind == 'B') ok = at < end && *at++ == ' ' && zam_parseNumber(at, end, INT64_MAX, &born);
  } else if (kind == 'X' || kind == 'D') {
    ok = zam_parseNumber(at, end, UINT64_MAX, &id.dev) && at < end && *at++ == ' ' &&
         zam_parseNumber(at, end, UINT64_MAX, &id.ino);
  } else if (kind == 'M') {
    ok = zam_parseNumber(at, end, INT64_MAX, &by);
  }
  if (!ok || at + 1 >= end || *at != ' ' || std::find(at, end, '\0') != end) {
    unread++;
    first_unread = first_unread || first;
    return;
  }
  parsed++;
  const std::string name(at + 1, end);
  if (presence && !presence->has(name)) return;
  if (kind == 'M') {
    making[name] = static_cast<int64_t>(by);
    return;
  }
  if (kind == 'D') {
    making.erase(name);
    auto& list = folders[name];
    if (std::find(list.begin(), list.end(), std::make_pair(id.dev, id.ino)) == list.end())
      list.emplace_back(id.dev, id.ino);
    return;
  }
  std::vector<File>& list = files[name];
  if (kind == 'W' || kind == 'X')  // settles the A line of the same file
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const File& f) { return f.ahead && f.id.dev == id.dev && f.id.ino == id.ino; }),
               list.end());
  if (kind == 'W' && !hasExact(list, id)) list.push_back(File{id, false});
  if (kind == 'A' || kind == 'B') {
    list.push_back(File{id, true, static_cast<int64_t>(by), kind == 'B', static_cast<int64_t>(born)});
    ahead_names.push_back(name);
  }
  if (list.empty()) files.erase(name);
}

// Reads the whole lines of the file open as fd from offset from into
// journal, a block at a time; returns the offset past the last whole line
// (a line cut short is read the next time, when its end has come).
int64_t readLines(int fd, int64_t from, Journal* journal) {
  constexpr int64_t kBlock = 65536;
  std::vector<char> block(kBlock);
  std::string line;       // the part of a line read in earlier blocks
  bool overlong = false;  // the line being read is passed over
  int64_t at = from, past = from;
  for (;;) {
    const int64_t got = zam_readAll(fd, block.data(), kBlock, at);
    if (got <= 0) break;
    const char* p = block.data();
    const char* end = p + got;
    while (p < end) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* stop = nl ? nl : end;
      if (!overlong && line.size() + static_cast<size_t>(stop - p) <= kLineMax) {
        line.append(p, stop);
      } else {
        overlong = true;
        line.clear();
      }
      if (!nl) break;
      if (overlong)
        journal->lines++, journal->unread++;
      else
        journal->take(line.data(), line.data() + line.size());
      line.clear();
      overlong = false;
      p = nl + 1;
      past = at + (p - block.data());
    }
    at += got;
  }
  return past;
}

// One turn at the record at a time in this process; it guards everything
// below. A turn of a file also holds the record file's lock (flock), which
// orders the turns of every run. Recursive for the thread that stops the
// run, which keeps it and takes turns of its own.
std::recursive_timed_mutex turn_lock;
// The run is stopping: only the thread that stops it takes turns.
std::atomic<bool> turns_closed{false};
std::atomic<std::thread::id> stopper{};
// How long the stopping thread's turns wait for the record's lock; once
// one waited in vain, the next ones do not wait.
constexpr std::chrono::seconds kStopWait{3};
std::atomic<bool> stop_waited{false};
// Where the record is: set under turn_lock and names_lock, read under either.
std::mutex names_lock;
std::string record_folder;  // as given, ending in "/"; empty: no record
std::string record_root;    // the same, absolute and plain (plainPath), ending in "/"
std::string working;        // the working folder when the record began
std::atomic<bool> recording{false};
bool record_extend_only = false;  // only a record that is there is written to
int record_fd = -1;               // the record, open to read and append, once a file was recorded
int record_lock = ZAM_LOCK_FAILED;  // the kind of lock held of record_fd within a turn (zam_lockFile)
bool record_checked = false;      // record_fd is trel's record
std::string record_made;          // lines of folders made, held until the record is open
// Within a turn: the record's size once looked at, when it ends a whole
// line (-1: not looked at in this turn). This process's own appends follow.
int64_t known_end = -1;
// The record's size when this process's last turn ended on a whole line of
// its own (-1: not known). A turn that finds the record of that size looks
// no further: nobody appended since, so it still ends on a fresh line.
int64_t turn_end = -1;
// What this process read of the record, up to read_end.
Journal journal;
int64_t read_end = 0;
// The first failed turn of the record begun last (zam_recordTrouble).
std::mutex trouble_lock;
std::string trouble;
// Birth times of the files this process holds as still written, by device
// and inode (zam_holdWriting), for their A lines.
std::mutex holds_lock;
// The descriptor each was held by: an entry whose descriptor no longer
// shows that file (closed, or given to another since) is a file gone, whose
// inode may be another file's now.
struct Held {
  int fd;
  int64_t born;
};
std::map<std::pair<uint64_t, uint64_t>, Held> held_births;

// path made absolute from the folder cwd and plain: no empty, "." or ".."
// part ("a/./b//c/../d" is "a/b/d", as the path would be if no link were on
// the way); "" for a path that climbs above "/".
std::string plainPath(const std::string& path, const std::string& cwd) {
  const std::string whole = !path.empty() && path[0] == '/' ? path : cwd + "/" + path;
  std::vector<std::string> parts;
  for (size_t at = 0; at <= whole.size();) {
    size_t end = whole.find('/', at);
    if (end == std::string::npos) end = whole.size();
    const std::string part = whole.substr(at, end - at);
    if (part == "..") {
      if (parts.empty()) return std::string();
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  std::string plain;
  for (const std::string& part : parts) plain += "/" + part;
  return plain.empty() ? "/" : plain;
}

// The record's name of path: its part under the recorded folder, "." for
// the folder itself; "" when it lies elsewhere or holds a line end (which
// would break the record's lines).
std::string recordName(const std::string& path) {
  std::string root, cwd;
  {
    std::lock_guard<std::mutex> hold(names_lock);
    root = record_root;
    cwd = working;
  }
  if (root.empty()) return std::string();
  const std::string plain = plainPath(path, cwd);
  if (plain.empty() || plain.find('\n') != std::string::npos) return std::string();
  if (plain + "/" == root) return ".";
  if (plain.size() <= root.size() || plain.compare(0, root.size(), root) != 0) return std::string();
  return plain.substr(root.size());
}

std::string recordPath() {
  std::lock_guard<std::mutex> hold(names_lock);
  return record_folder + ZAM_WRITTEN_RECORD;
}

// Keeps the first failure of the run's turns, naming the record.
void noteTrouble(int err) {
  const std::string what = recordPath() + ": " + std::strerror(err);
  std::lock_guard<std::mutex> hold(trouble_lock);
  if (trouble.empty()) trouble = what;
}

// Calls the test's hook at step; its errno, 0 to go on.
int fault(ZamRecordStep step) { return zam_record_fault ? zam_record_fault(step) : 0; }

std::string headLine() { return std::string(ZAM_WRITTEN_HEAD) + "\n"; }

std::string fileLine(char kind, const _zam_identity& id, const std::string& name, int64_t by = 0) {
  if (kind == 'X' || kind == 'D')
    return std::string(1, kind) + " " + std::to_string(id.dev) + " " + std::to_string(id.ino) + " " + name + "\n";
  if (kind == 'A') return "A " + zam_identityText(id) + " " + std::to_string(by) + " " + name + "\n";
  return std::string(1, kind) + " " + zam_identityText(id) + " " + name + "\n";
}

// Whether the file open as fd begins with the record's head line.
bool hasHead(int fd) {
  const std::string head = headLine();
  std::string first(head.size(), '\0');
  return zam_readAll(fd, first.data(), static_cast<int64_t>(first.size()), 0) ==
             static_cast<int64_t>(first.size()) &&
         first == head;
}

// Writes a record holding text under a temporary name beside path (synced
// to the disk when sync: it is to replace a record, whose loss would cost
// the folder); its name and a descriptor open to read and append, locked
// (nobody knows it yet), go to *temp and *fd. False (errno) when it cannot
// be made whole.
bool writeRecordAside(const std::string& path, const std::string& text, bool sync, std::string* temp, int* fd,
                      int* kind) {
  *temp = zam_tempName(path);
  *fd = open(temp->c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (*fd < 0) return false;
  errno = 0;
  const bool ok = zam_writeAll(*fd, text.data(), static_cast<int64_t>(text.size())) ==
                      static_cast<int64_t>(text.size()) &&
                  (!sync || fsync(*fd) == 0) && (*kind = zam_tryLockFile(*fd, true)) != ZAM_LOCK_FAILED;
  if (ok) return true;
  const int err = errno ? errno : EIO;
  close(*fd);
  unlink(temp->c_str());
  errno = err;
  return false;
}

// Makes the record at path with its head line, whole: written under a
// temporary name and linked at path only when the name is free (EEXIST
// otherwise), so that no run ever meets a record without its head. (Not
// synced: the empty record a power loss may leave is read as trel's.)
bool makeRecord(const std::string& path) {
  std::string temp;
  int fd = -1, kind = ZAM_LOCK_FAILED;
  if (!writeRecordAside(path, headLine(), false, &temp, &fd, &kind)) return false;
  close(fd);
  const bool ok = link(temp.c_str(), path.c_str()) == 0;
  const int err = errno;
  unlink(temp.c_str());
  errno = err;
  return ok;
}

void forgetRead() {
  journal.clear();
  read_end = 0;
}

void closeRecord() {
  if (record_fd >= 0) close(record_fd);
  record_fd = -1;
  record_checked = false;
  known_end = -1;
  turn_end = -1;
  forgetRead();
}

// Appends lines to the record whole, on a fresh line; true when they were
// written whole. A last line cut short (a full disk, a power loss) is ended
// first with a NUL byte, which no line of trel's holds, so that it costs
// only itself: it never becomes a line that parses (a name cut short would
// name another file). Whether the record ends a line is looked at once a
// turn: the lines that follow are this process's own, whole. A write that
// fails (errno) or falls short is cut back to where the record was, so
// that no part of a line stays. turn_lock and the record's lock held.
bool append(std::string lines) {
  if (known_end < 0) {
    struct stat st;
    if (fstat(record_fd, &st) != 0) return false;
    char last = '\n';
    if (st.st_size > 0 && zam_readAll(record_fd, &last, 1, st.st_size - 1) != 1) return false;
    if (last != '\n') lines.insert(0, std::string(1, '\0') + "\n");
    known_end = static_cast<int64_t>(st.st_size);
  }
  errno = 0;
  const int64_t put = zam_writeAll(record_fd, lines.data(), static_cast<int64_t>(lines.size()));
  if (put == static_cast<int64_t>(lines.size())) {
    known_end += put;
    return true;
  }
  const int err = errno ? errno : ENOSPC;
  // Cut back only what this append left (where the file system keeps no
  // locks, another run's lines may follow): else the next append ends it.
  struct stat st;
  if (put > 0 && fstat(record_fd, &st) == 0 && st.st_size == known_end + put && ftruncate(record_fd, known_end) != 0) {
    // left cut: the next append ends it first
  }
  known_end = -1;
  errno = err;
  return false;
}

// Puts the new record written under temp at the record's name in place of
// the record open as record_fd, and only of that file: the two names are
// exchanged and the file that comes to temp is looked at; were it anything
// else (a file put at the record's name behind this run's back), the
// exchange is undone. The old record is then removed from temp, as the one
// this run holds. Where names cannot be exchanged, the record is looked at
// just before the rename. False when the new record is not in place (temp
// still holds it).
bool swapInRecord(const std::string& temp) {
  const std::string path = recordPath();
#ifdef RENAME_EXCHANGE
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    if (zam_standsAt(record_fd, temp)) {
      unlink(temp.c_str());
      return true;
    }
    renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE);
    return false;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  return zam_standsAt(record_fd, path) && rename(temp.c_str(), path.c_str()) == 0;
}

// The regular file at name under the record's folder as an unsettled
// line f allows it (W), or f's line again while the file is still written
// by a writer not known gone; "" when f covers nothing that stands.
// turn_lock held.
std::string settledLine(const Journal::File& f, const std::string& name, bool there, const _zam_identity& id,
                        int64_t born, int64_t now, bool* placed) {
  *placed = false;
  if (!there || !allows(f, id, born, now)) return std::string();
  if (f.by == 0 && zam_writerGone(record_folder + name) != 1) return aheadLine(f, name);
  *placed = true;
  return fileLine('W', id, name);
}

// Rewrites the record, whose every line is read, with the lines of what
// still stands as they say: a file at its name with the identity of a W
// line (or one an unsettled A line allows, which it then has; the line
// itself while its writer still writes it), a folder of a D line. The new
// record is synced, takes the record's name, its lock taken first, and
// this process goes on with it; another run that waits for the old one's
// lock finds it gone from its name and opens the new one. Nothing changes
// when it cannot be written. turn_lock and the record's lock held.
void compact() {
  std::string text;
  Journal kept;
  const int64_t now = zam_nowNs();
  long lines = 0;
  for (auto& [name, list] : journal.files) {
    _zam_identity id{};
    int64_t born = 0;
    const bool there = identityBorn(record_folder + name, &id, &born);
    if (there && hasExact(list, id)) {
      text += fileLine('W', id, name);
      kept.files[name].push_back(Journal::File{id, false});
      lines++;
      continue;
    }
    for (const Journal::File& f : list) {
      bool placed = false;
      const std::string line = settledLine(f, name, there, id, born, now, &placed);
      if (line.empty()) continue;
      text += line;
      kept.files[name].push_back(placed ? Journal::File{id, false} : f);
      lines++;
      break;
    }
  }
  for (auto& [name, list] : journal.folders) {
    struct stat st;
    if (lstat((record_folder + name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    const std::pair<uint64_t, uint64_t> self(st.st_dev, st.st_ino);
    if (std::find(list.begin(), list.end(), self) == list.end()) continue;
    text += fileLine('D', _zam_identity{self.first, self.second, 0, 0, 0}, name);
    kept.folders[name].push_back(self);
    lines++;
  }
  text = headLine() + kKept + std::to_string(lines) + "\n" + text;
  std::string temp;
  int fd = -1, kind = ZAM_LOCK_FAILED;
  if (!writeRecordAside(recordPath(), text, true, &temp, &fd, &kind)) return;
  if (fault(ZAM_RECORD_SWAP) != 0 || !swapInRecord(temp)) {
    close(fd);
    unlink(temp.c_str());
    return;
  }
  // The new name is on the disk too, where the folder can be synced.
  const int dir = open(record_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    if (fsync(dir) != 0) {
      // the rewrite stands; only its name may wait for the disk
    }
    close(dir);
  }
  close(record_fd);  // and the old record's lock
  record_fd = fd;
  record_lock = kind;
  turn_end = -1;
  record_checked = true;
  kept.headless = false;
  kept.kept = lines;
  kept.lines = 2 + lines;
  journal = std::move(kept);
  read_end = static_cast<int64_t>(text.size());
  known_end = read_end;
}

// Reads what was appended to the record since it was last read, and
// settles the A lines found unsettled: within a turn, no other run is
// between its A line and its W line, so the run that wrote them was stopped
// there (or could not append). The file standing at the name is taken for
// the one announced when the line allows it (W), else the line is closed
// (X), before its inode could be given to a file of someone else's; the
// line of a file still written stays as it is while its writer is not
// known gone. A record read whole that holds lines that did not parse, no
// head, or many of files gone, is rewritten. turn_lock and the record's
// lock held.
void readRecordTail() {
  struct stat st;
  if (fstat(record_fd, &st) != 0) return;
  if (st.st_size < read_end) forgetRead();
  const bool whole = read_end == 0;
  Presence presence{record_folder, whole, {}};
  journal.presence = &presence;
  read_end = readLines(record_fd, read_end, &journal);
  journal.presence = nullptr;
  std::string settled;
  const int64_t now = zam_nowNs();
  std::vector<std::string> names = std::exchange(journal.ahead_names, {});
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (const std::string& name : names) {
    const auto it = journal.files.find(name);
    if (it == journal.files.end()) continue;
    std::vector<Journal::File>& list = it->second;
    _zam_identity id{};
    int64_t born = 0;
    const bool there = identityBorn(record_folder + name, &id, &born);
    std::vector<Journal::File> next;
    bool done = false;
    for (const Journal::File& f : list) {
      if (!f.ahead) {
        next.push_back(f);
        continue;
      }
      bool placed = false;
      const std::string line = done ? std::string() : settledLine(f, name, there, id, born, now, &placed);
      if (placed) {
        settled += line;
        next.push_back(Journal::File{id, false});
        done = true;
      } else if (!line.empty()) {
        next.push_back(f);  // still written: its writer settles it
      } else {
        settled += fileLine('X', f.id, name);
      }
    }
    list = std::move(next);
    if (list.empty()) journal.files.erase(it);
  }
  for (const auto& [name, made] : std::exchange(journal.making, {})) {
    std::pair<uint64_t, uint64_t> self;
    if (!madeThen(record_folder + name, made, &self)) continue;
    settled += fileLine('D', _zam_identity{self.first, self.second, 0, 0, 0}, name);
    journal.folders[name].push_back(self);
  }
  if (!settled.empty() && append(settled)) read_end = known_end;  // what was appended is known
  // A rewrite's count of more lines than there are is damage too (and
  // never doubled past them).
  if (whole && (journal.unread > 0 || journal.headless || journal.kept > journal.lines ||
                (journal.lines > kCompactLines && journal.lines > 2 * journal.kept)))
    compact();
}

// Whether a record without its head line, read whole into seen (past: the
// end of its last whole line, of size bytes), is trel's: empty (a rewrite a
// power loss took), in the layout before the head line (every line parses),
// or with its head damaged (every line after the first parses). Either has
// lines of files or folders: a user's file of one line is not taken.
bool trelsHeadless(const Journal& seen, int64_t past, int64_t size) {
  if (size == 0) return true;
  return past == size && seen.headless && seen.parsed > 0 && seen.unread == (seen.first_unread ? 1 : 0);
}

// Whether the record open as fd, without its head line, is trel's
// (trelsHeadless).
bool headlessTrels(int fd) {
  Presence presence{record_folder, true, {}};
  Journal seen;
  seen.presence = &presence;
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  const int64_t past = readLines(fd, 0, &seen);
  return trelsHeadless(seen, past, st.st_size);
}

// Moves what stands at the record's name aside to a numbered name, as a
// user's file is, and counts it; false when it could not be.
bool moveRecordAside(const std::string& path) {
  const std::string aside = zam_placeNumbered(path, path);
  if (aside.empty()) return errno == ENOENT;
  zam_noteSetAside(path, aside);
  return true;
}

// Takes the record's lock (zam_lockFile: a wait of more than a second is
// said; where the file system refuses flock the other kind is taken, and
// where it refuses every kind the runs do not take turns), but not without
// end once the run is stopping: the thread that stops it waits kStopWait at
// most, any other gives up at once. False (errno; ECANCELED for a stop)
// when not taken.
bool lockRecord(bool stopping_thread) {
  using clock = std::chrono::steady_clock;
  const clock::time_point start = clock::now();
  const auto give_up = [&] {
    if (!(stopping_thread ? stop_waited.load() || clock::now() - start > kStopWait : turns_closed.load()))
      return false;
    stop_waited = stopping_thread;
    return true;
  };
  std::string folder;
  {
    std::lock_guard<std::mutex> hold(names_lock);
    folder = record_folder;
  }
  record_lock = zam_lockFile(record_fd, true, "another run that puts a file in place in " + folder, folder, give_up);
  return record_lock != ZAM_LOCK_FAILED;
}

// Opens the record (made when missing) and takes its lock. Anything at its
// name that is not trel's record (a user's file, a link, a pipe or socket,
// a folder) is moved aside once; a record in the earlier layout, or with
// its head damaged or empty, is taken and rewritten with its head. A file
// is looked at under its lock, so that another run that looked at it too
// finds it gone and looks again. 1 when held; 0 when there is no record to
// keep (only an existing one is kept and there is none); -1 when it cannot
// be had (errno). turn_lock held.
int openRecord(bool stopping_thread) {
  const std::string path = recordPath();
  for (int tries = 0; tries < 100; ++tries) {
    if (record_fd < 0) {
      if (const int err = fault(ZAM_RECORD_OPEN)) {
        errno = err;
        return -1;
      }
      struct stat at;
      if (lstat(path.c_str(), &at) == 0 && !S_ISREG(at.st_mode)) {
        if (record_extend_only) return 0;
        if (!moveRecordAside(path)) return -1;
        continue;
      }
      record_fd = open(path.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (record_fd < 0) {
        if (errno == ENOENT && record_extend_only) return 0;
        if (errno == ENOENT && (makeRecord(path) || errno == EEXIST)) continue;
        if (errno == ELOOP || errno == ENXIO || errno == EISDIR) continue;  // something else came: looked at again
        return -1;
      }
      record_checked = false;
      forgetRead();
    }
    const int err = fault(ZAM_RECORD_LOCK);
    if (err != 0 || !lockRecord(stopping_thread)) {
      const int why = err ? err : errno;
      closeRecord();
      errno = why;
      return -1;
    }
    known_end = -1;
    struct stat mine;
    const bool still = zam_standsAt(record_fd, path) && fstat(record_fd, &mine) == 0;
    if (still && S_ISREG(mine.st_mode) && (record_checked || hasHead(record_fd))) {
      record_checked = true;
      if (turn_end >= 0 && static_cast<int64_t>(mine.st_size) == turn_end) known_end = turn_end;
      return 1;
    }
    if (still && S_ISREG(mine.st_mode) && headlessTrels(record_fd)) {
      record_checked = true;
      readRecordTail();  // read whole, and rewritten with the head
      return 1;
    }
    if (still && record_extend_only) {
      closeRecord();
      return 0;
    }
    const bool moved = still && moveRecordAside(path);
    const int why = errno;
    closeRecord();  // and its lock
    if (still && !moved) {
      errno = why;
      return -1;
    }
  }
  closeRecord();
  errno = EBUSY;
  return -1;
}

void unlockRecord() {
  turn_end = known_end;
  if (record_fd >= 0) zam_unlockFile(record_fd, record_lock);
  record_lock = ZAM_LOCK_FAILED;
}

// Takes turn_lock: for the stopping thread (which may hold it already)
// within kStopWait; for any other, until the run is stopping. False
// (ECANCELED) when not taken.
bool takeTurnLock(bool stopping_thread) {
  if (stopping_thread) {
    if (turn_lock.try_lock_for(stop_waited.load() ? std::chrono::seconds(0) : kStopWait)) return true;
    stop_waited = true;
    return false;
  }
  while (!turns_closed.load())
    if (turn_lock.try_lock_for(std::chrono::milliseconds(20))) {
      if (!turns_closed.load()) return true;
      turn_lock.unlock();
    }
  return false;
}

}  // namespace

_zam_record_turn::_zam_record_turn(const std::string& path, bool file) {
  if (!recording.load() || recordName(path).empty()) return;
  const bool stopping_thread = turns_closed.load() && stopper.load() == std::this_thread::get_id();
  int opened = -1;
  if (!takeTurnLock(stopping_thread)) {
    errno = ECANCELED;
  } else if (!recording.load() || recordName(path).empty()) {  // the record ended meanwhile
    turn_lock.unlock();
    return;
  } else if (!file && record_fd < 0) {
    // A folder's turn takes the record's lock once the record is open; its
    // lines wait for the record till then.
    held = true;
    return;
  } else {
    opened = openRecord(stopping_thread);
    if (opened > 0) {
      held = true;
      locked = true;
      return;
    }
    const int err = errno;
    turn_lock.unlock();
    errno = err;
  }
  if (opened == 0) return;  // no record to extend: nothing is recorded
  failed = true;
  error = errno;
  noteTrouble(error);
}

_zam_record_turn::~_zam_record_turn() {
  if (!held) return;
  if (locked) unlockRecord();
  turn_lock.unlock();
}

bool zam_recordCovers(const _zam_record_turn& turn, const std::string& path, const _zam_identity& id) {
  if (!turn.locked) return false;
  const std::string name = recordName(path);
  if (name.empty() || name == ".") return false;
  auto it = journal.files.find(name);
  if (it != journal.files.end() && hasExact(it->second, id)) return true;
  readRecordTail();
  it = journal.files.find(name);
  return it != journal.files.end() && hasExact(it->second, id);
}

bool zam_recordAhead(const _zam_record_turn& turn, const std::string& path, const struct stat& st,
                     bool still_written, int fd) {
  if (!S_ISREG(st.st_mode)) return true;
  const std::string name = recordName(path);
  if (name.empty() || name == ".") return true;
  if (turn.failed) {
    errno = turn.error;
    return false;
  }
  if (!turn.locked) return true;
  Journal::File f{zam_identityOf(st), true, still_written ? 0 : zam_nowNs() + kNamingGrace};
  if (fd >= 0) {
    f.born_known = true;
    f.born = bornOf(fd, "", AT_EMPTY_PATH);
  } else {
    std::lock_guard<std::mutex> hold(holds_lock);
    const auto it = held_births.find({f.id.dev, f.id.ino});
    struct stat held;
    if (it != held_births.end() && fstat(it->second.fd, &held) == 0 && zam_identityOf(held).dev == f.id.dev &&
        zam_identityOf(held).ino == f.id.ino)
      f.born_known = true, f.born = it->second.born;
    else if (it != held_births.end())
      held_births.erase(it);
  }
  if (append(std::exchange(record_made, std::string()) + aheadLine(f, name))) return true;
  const int err = errno;
  noteTrouble(err);
  errno = err;
  return false;
}

void zam_recordNotPlaced(const _zam_record_turn& turn, const std::string& path, const struct stat& st) {
  if (!turn.locked || !S_ISREG(st.st_mode)) return;
  const std::string name = recordName(path);
  if (name.empty() || name == ".") return;
  append(fileLine('X', zam_identityOf(st), name));  // else the A line is settled by a later turn
}

void zam_recordStatus(const _zam_record_turn& turn, const std::string& path, const struct stat& st) {
  if (!turn.held) return;
  const std::string name = recordName(path);
  if (name.empty()) return;
  std::string line;
  if (S_ISDIR(st.st_mode))
    line = fileLine('D', zam_identityOf(st), name);
  else if (S_ISREG(st.st_mode) && turn.locked)
    line = fileLine('W', zam_identityOf(st), name);
  else
    return;
  // Folders are held back until a file is recorded: a run that writes
  // nothing leaves no record behind.
  if (record_fd < 0) {
    record_made += line;
    return;
  }
  // A line that cannot be written leaves the file to its A (or M) line.
  append(std::exchange(record_made, std::string()) + line);
}

void zam_recordWrites(const std::string& folder, bool extend_only) {
  std::lock_guard<std::recursive_timed_mutex> hold(turn_lock);
  closeRecord();
  std::vector<char> cwd(PATH_MAX + 1);
  const std::string here = getcwd(cwd.data(), cwd.size()) ? cwd.data() : "";
  {
    std::lock_guard<std::mutex> names(names_lock);
    record_folder = folder;
    working = here;
    record_root = record_folder.empty() || working.empty() ? std::string() : plainPath(record_folder, working);
    if (!record_root.empty() && record_root.back() != '/') record_root += '/';
    if (!record_root.empty() && record_folder.back() != '/') record_folder += '/';
    recording = !record_root.empty();
  }
  record_made.clear();
  record_extend_only = extend_only;
  if (recording.load()) {
    std::lock_guard<std::mutex> forget(trouble_lock);
    trouble.clear();
  }
}

void zam_recordMade(const std::string& path) {
  struct stat st;
  if (!recording.load() || lstat(path.c_str(), &st) != 0) return;
  const _zam_record_turn turn(path, S_ISREG(st.st_mode));
  if (turn.held && lstat(path.c_str(), &st) == 0) zam_recordStatus(turn, path, st);
}

int zam_mkdirRecorded(const char* path, int mode) {
  const _zam_record_turn turn(path ? path : "", false);
  if (turn.failed) {
    errno = turn.error;
    return 0;
  }
  // Its M line first, where the record is open: a run stopped between the
  // folder and its D line leaves it covered. No line, no folder.
  const std::string name = turn.held ? recordName(path) : std::string();
  if (!name.empty() && name != "." && turn.locked && !append("M " + std::to_string(zam_nowNs()) + " " + name + "\n")) {
    const int err = errno;
    noteTrouble(err);
    errno = err;
    return 0;
  }
  const int made = zam_mkdir(path, mode);
  if (made && turn.held) fault(ZAM_RECORD_MADE);
  struct stat st;
  if (made && turn.held && lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) zam_recordStatus(turn, path, st);
  return made;
}

bool zam_recordGrowing(const std::string& path, int fd) {
  struct stat st;
  if (!recording.load() || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
  // The caller's descriptor, whose lock (zam_holdWriting) says for as long
  // as it stays open that this file's writer lives, under any name the
  // file gets.
  if (!zam_standsAt(fd, path)) {
    errno = EBUSY;
    return false;
  }
  const _zam_record_turn turn(path);
  if (!turn.failed && (!turn.held || (fstat(fd, &st) == 0 && zam_recordAhead(turn, path, st, true, fd))))
    return true;
  if (turn.failed) errno = turn.error;
  return false;
}

std::string zam_recordTrouble() {
  std::lock_guard<std::mutex> hold(trouble_lock);
  return trouble;
}

int zam_holdWriting(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !zam_markAlive(fd)) return 0;
  std::lock_guard<std::mutex> hold(holds_lock);
  held_births[{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}] =
      Held{fd, bornOf(fd, "", AT_EMPTY_PATH)};
  return 1;
}

void zam_releaseWriting(int fd) {
  if (fd < 0) return;
  {
    std::lock_guard<std::mutex> hold(holds_lock);
    for (auto it = held_births.begin(); it != held_births.end();)
      it = it->second.fd == fd ? held_births.erase(it) : std::next(it);
  }
  close(fd);
}

int zam_writerGone(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  const int others = zam_markedByOthers(fd);
  const int err = errno;
  close(fd);
  errno = err;
  return others < 0 ? -1 : others == 0 ? 1 : 0;
}

void zam_recordStop() {
  // Every other thread's turn fails from now on (one waiting for the
  // record's lock gives up); the turn one is in ends, and its lock is then
  // kept for good: the process ends with the stop.
  stopper = std::this_thread::get_id();
  turns_closed = true;
  if (!turn_lock.try_lock_for(std::chrono::seconds(5))) {
    // its own turns then wait kStopWait for it, at most
  }
}

int zam_readWritten(const std::string& folder, std::vector<_zam_written_entry>* entries) {
  entries->clear();
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  const int fd = open((dir + ZAM_WRITTEN_RECORD).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st{};
  Presence presence{dir, true, {}};
  Journal seen;
  seen.presence = &presence;
  int64_t past = 0;
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  zam_lockFile(fd, false, "another run that puts a file in place in " + dir, dir) != ZAM_LOCK_FAILED &&
                  ((past = readLines(fd, 0, &seen)), true);
  const int err = errno;
  close(fd);
  if (!ok) {
    errno = st.st_mode != 0 && !S_ISREG(st.st_mode) ? EPROTO : err;
    return 0;
  }
  // Without the head, trel's only as a record whose head a power loss took.
  if (seen.headless && !trelsHeadless(seen, past, st.st_size)) {
    errno = EPROTO;
    return 0;
  }
  const int64_t now = zam_nowNs();
  for (auto& [name, list] : seen.files) {
    bool ahead = false;
    for (const Journal::File& f : list) {
      if (f.ahead)
        ahead = true;
      else
        entries->push_back(_zam_written_entry{'W', f.id, name});
    }
    _zam_identity id{};
    int64_t born = 0;
    if (!ahead || !identityBorn(dir + name, &id, &born)) continue;
    for (const Journal::File& f : list) {
      if (!allows(f, id, born, now) || (f.by == 0 && zam_writerGone(dir + name) != 1)) continue;
      entries->push_back(_zam_written_entry{'W', id, name});
      break;
    }
  }
  for (const auto& [name, made] : seen.making) {
    std::pair<uint64_t, uint64_t> self;
    if (madeThen(dir + name, made, &self)) seen.folders[name].push_back(self);
  }
  for (const auto& [name, list] : seen.folders)
    for (const auto& [dev, ino] : list)
      entries->push_back(_zam_written_entry{'D', _zam_identity{dev, ino, 0, 0, 0}, name});
  return 1;
}
