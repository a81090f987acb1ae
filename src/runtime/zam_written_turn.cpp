// The turn at the results record: the process's turn lock, the record
// opened and locked, its appends, and the calls that record a file or a
// folder in a turn.
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
#include <condition_variable>
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
#include "runtime/zam_written_internal.h"

void (*zam_place_fault)(ZamPlaceStep step) = nullptr;
int (*zam_record_fault)(ZamRecordStep step) = nullptr;

namespace zam_written_internal {

std::string record_folder;
int record_fd = -1;
int record_lock = ZAM_LOCK_FAILED;
bool record_checked = false;
int64_t known_end = -1;
int64_t turn_end = -1;
Journal journal;
int64_t read_end = 0;

}  // namespace zam_written_internal

using namespace zam_written_internal;

namespace {

// One turn at the record at a time in this process; it guards everything
// below. A turn of a file also holds the record file's lock (zam_lockFile),
// which orders the turns of every run. The turn is kept by a thread (owner),
// under a plain mutex and condition that the thread sanitizer follows (it
// does not follow a timed mutex's wait here); recursive for the thread that
// stops the run, which keeps it and takes turns of its own. Every waiter
// but the stopping thread waits untimed, woken when the turn is given up
// or turns are closed; the stopping thread looks in steps until its limit.
struct TurnLock {
  std::mutex m;
  std::condition_variable freed;
  std::thread::id owner;  // under m; none: the turn is free
  int depth = 0;          // under m: the owner's turns taken
  int waiting = 0;        // under m: threads waiting for the turn
};
TurnLock turn_lock;
std::atomic<bool> turns_closed{false};
std::atomic<std::thread::id> stopper{};
// How long the stopping thread's turns wait for the record's lock; once
// one waited in vain, the next ones do not wait.
constexpr std::chrono::seconds kStopWait{3};
std::atomic<bool> stop_waited{false};
// Where the record is: set under turn_lock and names_lock, read under either.
std::mutex names_lock;
std::string record_root;    // the same, absolute and plain (plainPath), ending in "/"
std::string working;        // the working folder when the record began
uint64_t names_begun = 0;   // counts the records begun: the names kept below are of this one
// The record's names of the paths asked last (recordName), by the path's
// hash: a file's turn asks its name several times, the first time before
// the turn is taken. Under names_lock.
struct KnownName {
  uint64_t begun = UINT64_MAX;
  std::string path, name;
};
constexpr size_t kKnownNames = 16;
KnownName known_names[kKnownNames];
// The status of record_fd, taken once it is open (its device and inode stay
// while it is): whether it still stands at its name is then one look.
// record_self_fd is the descriptor it was taken of (-1: none).
struct stat record_self;
int record_self_fd = -1;
std::atomic<bool> recording{false};
bool record_extend_only = false;  // only a record that is there is written to
std::string record_made;          // lines of folders made, held until the record is open
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
  Birth birth;
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
  uint64_t begun;
  KnownName& known = known_names[std::hash<std::string>{}(path) % kKnownNames];
  {
    std::lock_guard<std::mutex> hold(names_lock);
    if (known.begun == names_begun && known.path == path) return known.name;
    root = record_root;
    cwd = working;
    begun = names_begun;
  }
  std::string name;
  const std::string plain = root.empty() ? std::string() : plainPath(path, cwd);
  if (plain.empty() || plain.find('\n') != std::string::npos)
    name.clear();
  else if (plain + "/" == root)
    name = ".";
  else if (plain.size() > root.size() && plain.compare(0, root.size(), root) == 0)
    name = plain.substr(root.size());
  std::lock_guard<std::mutex> hold(names_lock);
  if (begun == names_begun) known = KnownName{begun, path, name};
  return name;
}

}  // namespace

namespace zam_written_internal {

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

void forgetRead() {
  journal.clear();
  read_end = 0;
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

}  // namespace zam_written_internal

namespace {

// Once the record is this process's to check, where its folder holds a
// name of a rewrite's temporary: the record is read whole, which settles
// the line that covers a temporary a run killed in its rewrite left, and
// removes it (readRecordTail). Only where the record's lock orders the
// runs: without one, another run's rewrite may be under way. turn_lock
// held.
void settleLeftAside() {
  if (record_lock != ZAM_LOCK_FLOCK && record_lock != ZAM_LOCK_OFD) return;
  std::vector<std::string> entries;
  if (zam_folderEntries(record_folder, &entries) && std::any_of(entries.begin(), entries.end(), isRecordTemp))
    readRecordTail();
}

void closeRecord() {
  if (record_fd >= 0) close(record_fd);
  record_fd = -1;
  record_self_fd = -1;
  record_checked = false;
  known_end = -1;
  turn_end = -1;
  forgetRead();
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
    // The file at the record's name (the same as the one held, when it
    // still stands there: its size is the record's).
    struct stat mine;
    bool still = record_self_fd == record_fd && zam_standsAt(record_self, path, &mine);
    if (!still && fstat(record_fd, &record_self) == 0) {  // taken again: a rewrite gave record_fd another file
      record_self_fd = record_fd;
      still = zam_standsAt(record_self, path, &mine);
    }
    if (still && S_ISREG(mine.st_mode) && (record_checked || hasHead(record_fd))) {
      if (record_checked) {
        if (turn_end >= 0 && static_cast<int64_t>(mine.st_size) == turn_end) known_end = turn_end;
        return 1;
      }
      record_checked = true;
      settleLeftAside();
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

// Takes the turn for this thread when it is free or already its own.
// turn_lock.m held.
bool takeIfFree() {
  const std::thread::id self = std::this_thread::get_id();
  if (turn_lock.owner != std::thread::id() && turn_lock.owner != self) return false;
  turn_lock.owner = self;
  turn_lock.depth++;
  return true;
}

// Takes the turn within wait, looking at it in steps of 10 us growing to
// 1 ms. False when not taken.
bool takeTurnWithin(std::chrono::steady_clock::duration wait) {
  using clock = std::chrono::steady_clock;
  const clock::time_point deadline = clock::now() + wait;
  for (std::chrono::microseconds pause(10);; pause = std::min(2 * pause, std::chrono::microseconds(1000))) {
    {
      std::lock_guard<std::mutex> hold(turn_lock.m);
      if (takeIfFree()) return true;
    }
    const clock::time_point now = clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<clock::duration>(pause, deadline - now));
  }
}

// Takes the turn, waiting for it without end; with closing, only until
// turns are closed (false then).
bool takeTurn(bool closing) {
  std::unique_lock<std::mutex> hold(turn_lock.m);
  turn_lock.waiting++;
  turn_lock.freed.wait(hold, [&] {
    return (closing && turns_closed.load()) || turn_lock.owner == std::thread::id() ||
           turn_lock.owner == std::this_thread::get_id();
  });
  turn_lock.waiting--;
  return !(closing && turns_closed.load()) && takeIfFree();
}

// Gives up one turn of this thread's; the last one frees it.
void releaseTurn() {
  bool wake = false;
  {
    std::lock_guard<std::mutex> hold(turn_lock.m);
    if (--turn_lock.depth == 0) {
      turn_lock.owner = std::thread::id();
      wake = turn_lock.waiting > 0;
    }
  }
  if (wake) turn_lock.freed.notify_all();
}

// Takes the turn: for the stopping thread (which may hold it already)
// within kStopWait; for any other, until the run is stopping. False
// (ECANCELED) when not taken.
bool takeTurnLock(bool stopping_thread) {
  if (stopping_thread) {
    if (takeTurnWithin(stop_waited.load() ? std::chrono::seconds(0) : kStopWait)) return true;
    stop_waited = true;
    return false;
  }
  return takeTurn(true);
}

}  // namespace

_zam_record_turn::_zam_record_turn(const std::string& path, bool file) {
  if (!recording.load() || recordName(path).empty()) return;
  const bool stopping_thread = turns_closed.load() && stopper.load() == std::this_thread::get_id();
  int opened = -1;
  if (!takeTurnLock(stopping_thread)) {
    errno = ECANCELED;
  } else if (!recording.load() || recordName(path).empty()) {  // the record ended meanwhile
    releaseTurn();
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
    releaseTurn();
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
  releaseTurn();
}

bool zam_recordCovers(const _zam_record_turn& turn, const std::string& path, const _zam_identity& id) {
  if (!turn.locked) return false;
  const std::string name = recordName(path);
  if (name.empty() || name == ".") return false;
  auto it = journal.files.find(name);
  if (it != journal.files.end() && hasExact(it->second, id)) return true;
  // Read up to the record's end as this turn knows it, under its lock:
  // nothing more to read.
  if (known_end >= 0 && read_end == known_end && record_lock != ZAM_LOCK_NONE) return false;
  readRecordTail();
  it = journal.files.find(name);
  return it != journal.files.end() && hasExact(it->second, id);
}

bool zam_recordAhead(const _zam_record_turn& turn, const std::string& path, const struct stat& st,
                     bool still_written, int fd, const int64_t* born) {
  if (!S_ISREG(st.st_mode)) return true;
  const std::string name = recordName(path);
  if (name.empty() || name == ".") return true;
  if (turn.failed) {
    errno = turn.error;
    return false;
  }
  if (!turn.locked) return true;
  const int64_t by = still_written ? 0 : zam_nowNs() + kNamingGrace;
  Journal::File f{zam_identityOf(st), true, by};
  if (fd >= 0) {
    f = aheadOfOpen(fd, st, by, born);
  } else {
    std::lock_guard<std::mutex> hold(holds_lock);
    const auto it = held_births.find({f.id.dev, f.id.ino});
    struct stat held;
    if (it != held_births.end() && fstat(it->second.fd, &held) == 0 && zam_identityOf(held).dev == f.id.dev &&
        zam_identityOf(held).ino == f.id.ino)
      f.born_known = true, f.born = it->second.birth.born, f.gen = it->second.birth.gen;
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
  takeTurn(false);
  closeRecord();
  std::vector<char> cwd(PATH_MAX + 1);
  const std::string here = getcwd(cwd.data(), cwd.size()) ? cwd.data() : "";
  {
    std::lock_guard<std::mutex> names(names_lock);
    record_folder = folder;
    working = here;
    record_root = record_folder.empty() || working.empty() ? std::string() : plainPath(record_folder, working);
    names_begun++;
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
  releaseTurn();
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
  int64_t born = 0;
  if (!turn.failed &&
      (!turn.held || (zam_statBorn(fd, &st, &born) && zam_recordAhead(turn, path, st, true, fd, &born))))
    return true;
  if (turn.failed) errno = turn.error;
  return false;
}

namespace zam_written_internal {

size_t holdsKept() {
  std::lock_guard<std::mutex> hold(holds_lock);
  return held_births.size();
}

}  // namespace zam_written_internal

std::string zam_recordTrouble() {
  std::lock_guard<std::mutex> hold(trouble_lock);
  return trouble;
}

int zam_holdWriting(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !zam_markAlive(fd)) return 0;
  std::lock_guard<std::mutex> hold(holds_lock);
  held_births[{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}] =
      Held{fd, birthOf(fd)};
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
  {
    std::lock_guard<std::mutex> hold(turn_lock.m);
    turns_closed = true;
  }
  turn_lock.freed.notify_all();
  if (!takeTurnWithin(std::chrono::seconds(5))) {
    // its own turns then wait kStopWait for it, at most
  }
}
