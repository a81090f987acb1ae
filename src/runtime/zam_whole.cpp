#include "runtime/zam_whole.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_log.h"
#include "runtime/zam_owner.h"
#include "runtime/zam_place.h"

int (*zam_announce_fault)(const std::string& path, bool ahead) = nullptr;
int (*zam_file_fault)(ZamFileCall call, const std::string& path) = nullptr;

namespace {

// The stream buffer of a file written whole: most result files then reach
// the system in one write.
constexpr int kWholeBuffer = 64 * 1024;

// The temporary names of this process that stand in a folder now (a file
// written under one, set aside, or on its way to its final name), so that
// a run that is stopped can take them away, each with a descriptor of its
// file that holds the writer's lock (zam_holdWriting) for as long as the name
// stands, or -1. Made before main, so they stay usable by exit hooks.
std::mutex temps_lock;
std::map<std::string, int> temps;
bool stopping = false;  // zam_removeOwnTemps ran: no temporary file may be made

// Files this process put in place, by device and inode, with the identity
// each had once named: a file at a result's name that is one of them is
// trel's to replace (a query's rainbow file, written again for every hit).
std::mutex placed_lock;
std::map<std::pair<uint64_t, uint64_t>, _zam_identity> placed;

// Threads of this process that put files at one name take turns: a file is
// in place and noted as this process's (placed) before another thread looks
// at what stands there, or that thread would take it for a user's file and
// move it aside. Locks by the final name's hash, so that files of other
// names are placed side by side where no record is kept (under a recorded
// folder the record's turn orders every placing, of every run). Held only
// for the steps that must be one: looking at the name, naming the file and
// recording it; the bytes of an older file are compared outside.
constexpr size_t kPlacingLocks = 64;
std::mutex placing_locks[kPlacingLocks];
std::mutex& placingLock(const std::string& path) {
  return placing_locks[std::hash<std::string>{}(path) % kPlacingLocks];
}

// Whether the first line of the regular file at path is the mark marked
// looks for.
bool hasMark(const std::string& path, bool (*marked)(const std::string&)) {
  if (!marked) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  char head[256];
  ssize_t got = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) got = pread(fd, head, sizeof head, 0);
  close(fd);
  if (got < 0) return false;
  std::string line(head, static_cast<size_t>(got));
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return marked(line);
}

// Whether the regular file of status st at path is trel's to replace: one
// this process put in place, one that begins with the writer's mark, or one
// a line of the record covers (turn held for path). The mark is looked at
// before the record, which may have to be read for it: a file that grows
// after it was placed (a query's record) is known by its mark at once.
bool trelsFile(const _zam_record_turn& turn, const std::string& path, const struct stat& st,
               bool (*marked)(const std::string&)) {
  const _zam_identity id = zam_identityOf(st);
  {
    std::lock_guard<std::mutex> hold(placed_lock);
    const auto it = placed.find({id.dev, id.ino});
    if (it != placed.end() && zam_sameIdentity(it->second, id)) return true;
  }
  return hasMark(path, marked) || zam_recordCovers(turn, path, id);
}

// Notes the file open as fd, which this turn just gave the name path, as
// this process's and in the record (its W line), as it is now: its
// descriptor shows the file as its name does. Were the name taken from it
// since, the line would cover nothing that stands.
void notePlaced(const _zam_record_turn& turn, int fd, const std::string& path) {
  struct stat mine;
  if (fstat(fd, &mine) != 0) return;
  const _zam_identity id = zam_identityOf(mine);
  {
    std::lock_guard<std::mutex> hold(placed_lock);
    placed[{id.dev, id.ino}] = id;
  }
  zam_recordStatus(turn, path, mine);
}

// Registers name before its file is made; false (errno ECANCELED) once the
// run is stopping.
bool keepTemp(const std::string& name) {
  std::lock_guard<std::mutex> hold(temps_lock);
  if (stopping) {
    errno = ECANCELED;
    return false;
  }
  temps.emplace(name, -1);
  return true;
}

// Takes a registered name out of temps, and its hold; temps_lock held.
void forgetTemp(std::map<std::string, int>::iterator it) {
  zam_releaseWriting(it->second);
  temps.erase(it);
}

// Called once the file of a registered name is made: false when the run
// began stopping meanwhile, the file then removed (it may have been made
// after the stop removed the registered ones).
bool madeTemp(const std::string& name) {
  std::lock_guard<std::mutex> hold(temps_lock);
  if (!stopping) return true;
  unlink(name.c_str());
  if (const auto it = temps.find(name); it != temps.end()) forgetTemp(it);
  errno = ECANCELED;
  return false;
}

void dropTemp(const std::string& name) {
  std::lock_guard<std::mutex> hold(temps_lock);
  if (const auto it = temps.find(name); it != temps.end()) forgetTemp(it);
}

// Keeps fd, a descriptor of the file at the registered name held
// (zam_holdWriting), open until the name is dropped, and with it the
// writer's lock of the file; the hold is released with it.
void holdTemp(const std::string& name, int fd) {
  std::lock_guard<std::mutex> hold(temps_lock);
  const auto it = temps.find(name);
  if (it == temps.end()) {
    zam_releaseWriting(fd);
    return;
  }
  zam_releaseWriting(it->second);
  it->second = fd;
}

// Whether entry has zam_tempName's form, "<name>.<owner mark>-<serial>.tmp",
// and its maker is provably gone (zam_ownerGone).
bool deadTemp(const std::string& entry) {
  constexpr size_t kEnd = 4;  // ".tmp"
  if (entry.size() <= kEnd || entry.compare(entry.size() - kEnd, kEnd, ".tmp") != 0) return false;
  const std::string stem = entry.substr(0, entry.size() - kEnd);
  const size_t dot = stem.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string tag = stem.substr(dot + 1);
  const size_t mark = zam_ownerMarkAt(tag);
  if (mark == 0 || mark + 1 >= tag.size() || tag[mark] != '-') return false;
  for (size_t k = mark + 1; k < tag.size(); k++)
    if (tag[k] < '0' || tag[k] > '9') return false;
  return zam_ownerGone(tag) == 1;
}

// How an unnamed file gets its name: found out once per process by the first
// file written whole (a race only repeats the trial). Giving a descriptor a
// name needs a capability or /proc; without either, temporary names are used.
enum LinkWay { kUntried = 0, kEmptyPath = 1, kProcPath = 2, kNoLink = 3 };
std::atomic<int> link_way{kUntried};

std::string folder_of(const std::string& path) {
  const size_t at = path.find_last_of('/');
  if (at == std::string::npos) return ".";
  return at == 0 ? "/" : path.substr(0, at);
}

// Readable as well, so that its bytes can be compared with an older file.
int open_unnamed(const std::string& folder) {
  return open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
}

// Links the unnamed file fd under name the given way; errno when it fails.
bool link_as(int way, int fd, const std::string& name) {
  if (way == kUntried) {
    errno = EAGAIN;  // the way could not be found out yet (find_link_way)
    return false;
  }
  if (way == kEmptyPath) return linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
  if (way != kProcPath) return false;
  char proc[40];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, proc, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Links the unnamed file fd under temp, a temporary name registered so that
// a stop removes it; false when that fails (errno) or the run is stopping.
bool linkTemp(int way, int fd, const std::string& temp) {
  if (!keepTemp(temp)) return false;
  if (link_as(way, fd, temp)) return madeTemp(temp);
  dropTemp(temp);
  return false;
}

// The way unnamed files in folder get their names, tried on a file of its own.
int find_link_way(const std::string& folder) {
  int way = link_way.load();
  if (way != kUntried) return way;
  way = kNoLink;
  for (const int w : {kEmptyPath, kProcPath}) {
    const int fd = open_unnamed(folder);
    if (fd < 0) break;
    const std::string trial = zam_tempName(folder + "/.link");
    // The trial takes its name as any file does, its line first: one
    // whose removal fails stays covered, for -purge.
    // Where the record cannot be had (the run stopping, say), nothing is
    // decided and no file is made by name: the caller's unnamed file fails
    // to take its name, as its turn would; a later one tries again.
    bool linked = false, undecided = false;
    {
      _zam_record_turn turn(trial);
      struct stat st;
      undecided = turn.failed;
      if (!turn.failed && fstat(fd, &st) == 0 && zam_recordAhead(turn, trial, st, false, fd)) {
        linked = link_as(w, fd, trial);
        if (!linked) zam_recordNotPlaced(turn, trial, st);
        else if (fstat(fd, &st) == 0) zam_recordStatus(turn, trial, st);
      }
    }
    if (linked && zam_standsAt(fd, trial)) unlink(trial.c_str());
    close(fd);
    if (undecided) return kUntried;
    if (linked) {
      way = w;
      break;
    }
  }
  link_way.store(way);
  return way;
}

// Whether the regular file at path (not a link) is the file of identity id
// and holds exactly the bytes of the file open as fd, of size bytes.
bool sameBytesAs(int fd, off_t size, const std::string& path, const _zam_identity& id) {
  const int old = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (old < 0) return false;
  struct stat theirs;
  bool same = fstat(old, &theirs) == 0 && S_ISREG(theirs.st_mode) && zam_sameIdentity(id, zam_identityOf(theirs)) &&
              size == theirs.st_size;
  // Pieces no larger than the file, left as they come (a result file is
  // most often a few kilobytes, compared at every placing of a rerun).
  const size_t piece = same ? (size_t)std::min<off_t>((off_t)65536, size) : 0;
  const std::unique_ptr<char[]> a(new char[piece]), b(new char[piece]);
  for (off_t at = 0; same && at < size;) {
    const size_t want = (size_t)std::min<off_t>((off_t)piece, size - at);
    same = pread(fd, a.get(), want, at) == (ssize_t)want && pread(old, b.get(), want, at) == (ssize_t)want &&
           memcmp(a.get(), b.get(), want) == 0;
    at += (off_t)want;
  }
  close(old);
  return same;
}

void fault(ZamPlaceStep step) {
  if (zam_place_fault) zam_place_fault(step);
}

// The errno a test has the call on path fail with (zam_file_fault); 0 to go on.
int callFault(ZamFileCall call, const std::string& path) {
  return zam_file_fault ? zam_file_fault(call, path) : 0;
}

// A turn at the record for path, which a test may have fail
// (zam_announce_fault).
void faultTurn(_zam_record_turn& turn, const std::string& path) {
  if (!zam_announce_fault) return;
  if (const int err = zam_announce_fault(path, false)) {
    turn.failed = true;
    turn.error = err;
  }
}

// Whether the turn could not be had (errno then says why): nothing may take
// a name under the recorded folder.
bool turnFailed(const _zam_record_turn& turn) {
  if (!turn.failed) return false;
  errno = turn.error != 0 ? turn.error : EIO;
  return true;
}

// The A line of the file of status st (open as fd, born then, when given)
// about to take the name path (or, still_written, one that goes on being
// written there). False (errno) when the turn failed or the line was not
// written whole: the file must not take the name then.
bool announce(const _zam_record_turn& turn, const std::string& path, const struct stat& st,
              bool still_written = false, int fd = -1, const int64_t* born = nullptr) {
  if (turnFailed(turn)) return false;
  if (zam_announce_fault) {
    if (const int err = zam_announce_fault(path, true)) {
      errno = err;
      return false;
    }
  }
  return zam_recordAhead(turn, path, st, still_written, fd, born);
}

// Marks the file open as fd, at (or about to be given) the temporary name
// temp, as still written: its writer holds a lock of it that the kernel
// drops however the process ends (zam_holdWriting; the caller releases the
// hold where it closes fd, zam_releaseWriting), and its A line is
// written when temp lies under the recorded folder, so that a run killed
// while the name stands leaves a file that the next run covers and -purge
// removes, in any namespace. False (errno) when the line could not be
// written: the file must not keep or take the name then.
bool coverTemp(const std::string& temp, int fd) {
  struct stat st;
  int64_t born = 0;
  if (!zam_statBorn(fd, &st, &born)) return false;
  // Without any lock the file system grants, the line stays unsettled (its
  // writer cannot be told gone): the file is kept, never taken for trel's.
  zam_holdWriting(fd);
  _zam_record_turn turn(temp);
  faultTurn(turn, temp);
  return announce(turn, temp, st, true, fd, &born);
}

// A new file on its way to its final name: open as fd, under the temporary
// name temp (empty for an unnamed file).
struct Placing {
  int fd;
  std::string temp;  // an unnamed file linked under a temporary name to be exchanged keeps it here
  const std::string& path;
  ZamOlderFile older;
  bool (*marked)(const std::string&);
  bool linked = false;  // temp was given in this placing: removed when the file is not placed
  int left = 0;  // the errno of a failed removal of the replaced file from temp, which it is left at
  // The file's status and birth time (zam_statBorn), looked at before each
  // turn: nothing but its writer changes it, and the turn is spared the look.
  struct stat mine {};
  int64_t born = 0;
  bool look() { return zam_statBorn(fd, &mine, &born); }
};

// Whether a file took its name: yes, no (errno), or not, because another
// file than the one looked at stood there, which must be looked at again.
enum class Named { kYes, kNo, kLookAgain };

// Whether the file of status now is the one looked at as older: the same
// file of the same size and modification time (its change time left out,
// which an exchange of names moves).
bool sameAsLooked(const struct stat& now, const struct stat& older) {
  return now.st_dev == older.st_dev && now.st_ino == older.st_ino && now.st_size == older.st_size &&
         (now.st_mode & S_IFMT) == (older.st_mode & S_IFMT) && now.st_mtim.tv_sec == older.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == older.st_mtim.tv_nsec;
}

// Puts the new file at temp in place of the file looked at as older at
// path, and of no other: the two names are exchanged and what comes out at
// temp is looked at; the file looked at is removed (a removal that fails
// leaves it there, its errno in *left), anything else (a file put at path
// behind the writer's back) is given its name back (kLookAgain). Where
// names cannot be exchanged, temp is renamed over path.
Named exchangeIn(const std::string& temp, const std::string& path, const struct stat& older, int* left) {
#ifdef RENAME_EXCHANGE
  {
    // A stop's sweep of this process's temporary names waits: temp may hold
    // another file than this run's for a moment.
    std::lock_guard<std::mutex> hold(temps_lock);
    if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
      fault(ZAM_STEP_NAMED);
      struct stat out;
      if (lstat(temp.c_str(), &out) == 0 && sameAsLooked(out, older)) {
        *left = callFault(ZAM_CALL_UNLINK, temp);
        if (*left == 0 && unlink(temp.c_str()) != 0) *left = errno;
        return Named::kYes;
      }
      if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) return Named::kLookAgain;
      // Cannot be given back: the new file keeps the name, and the file that
      // came to temp goes to a numbered name of path, as a user's does.
      const std::string moved = zam_placeNumbered(temp, path);
      if (!moved.empty()) zam_noteSetAside(path, moved);
      return Named::kYes;
    }
  }
  if (errno != EINVAL && errno != ENOSYS) return Named::kNo;
#endif
  if (rename(temp.c_str(), path.c_str()) != 0) return Named::kNo;
  fault(ZAM_STEP_NAMED);
  return Named::kYes;
}

// Names the new file, of status mine, as path, as a journal records it: its
// A line first, then the name, then its W line; its X line when it did not
// take the name. With older (what stands at path, as looked at in this
// turn) that file is replaced (exchangeIn), its way out by the temporary
// name covered by A lines too; else the name is taken only where nothing
// stands (EEXIST otherwise).
Named nameRecorded(Placing& p, const _zam_record_turn& turn, const struct stat* older) {
  const struct stat& mine = p.mine;
  if (!announce(turn, p.path, mine, false, p.fd, &p.born)) return Named::kNo;
  // The temporary name is covered while it holds a file: the new one (an
  // unnamed file is linked there first), then the older one.
  const bool link_first = older && p.temp.empty();
  const std::string temp = link_first ? zam_tempName(p.path) : p.temp;
  bool ok = !older ||
            ((!link_first || announce(turn, temp, mine, false, p.fd, &p.born)) && announce(turn, temp, *older));
  if (ok) fault(ZAM_STEP_AHEAD);
  if (ok && link_first) {
    ok = linkTemp(link_way.load(), p.fd, temp);
    if (ok) {
      p.temp = temp;
      p.linked = true;
    }
  }
  Named named = Named::kNo;
  if (ok && older) {
    named = exchangeIn(p.temp, p.path, *older, &p.left);
  } else if (ok) {
    named = (p.temp.empty() ? link_as(link_way.load(), p.fd, p.path) : zam_moveNoReplace(p.temp, p.path))
                ? Named::kYes
                : Named::kNo;
    if (named == Named::kYes) fault(ZAM_STEP_NAMED);
  }
  if (named != Named::kYes) {
    const int err = errno;
    zam_recordNotPlaced(turn, p.path, mine);
    if (older) zam_recordNotPlaced(turn, temp, *older);
    if (link_first && !p.linked) zam_recordNotPlaced(turn, temp, mine);
    errno = err;
    return named;
  }
  notePlaced(turn, p.fd, p.path);
  if (!p.temp.empty()) {
    zam_recordNotPlaced(turn, p.temp, mine);
    // The replaced file left at the temporary name is covered there as it
    // is now, for -purge to remove.
    struct stat now;
    if (older && p.left == 0)
      zam_recordNotPlaced(turn, p.temp, *older);
    else if (older && lstat(p.temp.c_str(), &now) == 0)
      zam_recordStatus(turn, p.temp, now);
  }
  fault(ZAM_STEP_RECORDED);
  return Named::kYes;
}

// What a placing turn ends with: the file is in place (or an older one of
// the same bytes is left there), it failed, or an older file of trel's
// must have its bytes compared first, outside the turn.
enum class Turn { kPlaced, kFailed, kCompare };

// The file of identity compared was found to hold the new bytes (same) or
// not; none compared yet when its inode is 0.
struct Compared {
  _zam_identity id{};
  bool same = false;
};

// One turn of placing the new file at path, as zam_closeWhole says: a free
// name is taken; an older file of trel's is replaced, or left as it is when
// it holds the same bytes; a link is replaced; a user's file, a pipe,
// socket or device, and a folder at a result's name, is moved aside first.
// The identity of an older file of trel's whose bytes were not compared yet
// goes to *compare; the one compared, found trel's in the turn before, is
// that file unchanged.
Turn placeInTurn(Placing& p, const _zam_record_turn& turn, const Compared& seen, _zam_identity* compare) {
  if (turnFailed(turn)) return Turn::kFailed;
  const struct stat& mine = p.mine;
  // Another process may put a file at path between two steps where no
  // record orders the runs (or behind a run's back): the loop then looks at
  // that one too.
  for (int tries = 0; tries < 1000; ++tries) {
    struct stat st;
    const struct stat* older = &st;
    if (lstat(p.path.c_str(), &st) != 0) {
      if (errno != ENOENT) return Turn::kFailed;
      older = nullptr;
    } else if (S_ISREG(st.st_mode) && (p.older == ZAM_OLDER_REPLACED || zam_sameIdentity(seen.id, zam_identityOf(st)) ||
                                       trelsFile(turn, p.path, st, p.marked))) {
      const _zam_identity id = zam_identityOf(st);
      if (!zam_sameIdentity(seen.id, id)) {
        *compare = id;
        return Turn::kCompare;
      }
      if (seen.same) {
        if (!p.temp.empty()) {
          remove(p.temp.c_str());
          zam_recordNotPlaced(turn, p.temp, mine);
        }
        return Turn::kPlaced;
      }
    } else if (S_ISDIR(st.st_mode) && p.older != ZAM_OLDER_SET_ASIDE) {
      errno = EISDIR;  // a folder in the writer's own folder (a cache's, a database's) stays
      return Turn::kFailed;
    } else if (!S_ISLNK(st.st_mode)) {
      const std::string moved = zam_placeNumbered(p.path, p.path);
      if (moved.empty() && errno != ENOENT) return Turn::kFailed;
      if (!moved.empty()) zam_noteSetAside(p.path, moved);
      continue;
    }
    const Named named = nameRecorded(p, turn, older);
    if (named == Named::kYes) return Turn::kPlaced;
    if (named == Named::kNo && (older || errno != EEXIST)) return Turn::kFailed;
  }
  errno = EBUSY;
  return Turn::kFailed;
}

// Gives the new file its final name in turns at the record; an older file
// of trel's standing there has its bytes compared between two turns, so
// that no run and no other thread waits for that. A temporary name the
// placing gave the file is gone when it ends.
bool placeFile(Placing& p) {
  Compared seen;
  bool placed = false;
  int err = EBUSY;
  for (int round = 0; round < 100; ++round) {
    _zam_identity compare{};
    Turn step;
    // An unnamed file, which nothing else reaches, is looked at once; one
    // with a name (a temporary, or linked in a turn before) before each turn.
    if ((round == 0 || !p.temp.empty()) && !p.look()) {
      err = errno;
      break;
    }
    {
      std::lock_guard<std::mutex> hold(placingLock(p.path));
      _zam_record_turn turn(p.path);
      faultTurn(turn, p.path);
      step = placeInTurn(p, turn, seen, &compare);
    }
    if (step != Turn::kCompare) {
      placed = step == Turn::kPlaced;
      err = errno;
      break;
    }
    seen = Compared{compare, sameBytesAs(p.fd, p.mine.st_size, p.path, compare)};
  }
  if (p.linked) {
    if (!placed) unlink(p.temp.c_str());
    dropTemp(p.temp);
  }
  if (p.left != 0)
    zam_err("Failed to remove %s, the earlier %s that this run replaced [%s]: -purge removes it.\n", p.temp.c_str(),
            p.path.c_str(), strerror(p.left));
  errno = err;
  return placed;
}

// Gives the new file its final name only when the name is free; errno
// EEXIST when it is not.
bool name_new(const _zam_whole* w) {
  Placing p{w->fd, w->temp, w->path, w->older, w->marked};
  if (!p.look()) return false;
  const struct stat& mine = p.mine;
  std::lock_guard<std::mutex> hold(placingLock(w->path));
  _zam_record_turn turn(w->path);
  faultTurn(turn, w->path);
  if (w->temp.empty()) return nameRecorded(p, turn, nullptr) == Named::kYes;
  // A named temporary file is linked, then unlinked, so that it never
  // takes the place of anything.
  if (!announce(turn, w->path, mine, false, w->fd, &p.born)) return false;
  fault(ZAM_STEP_AHEAD);
  const bool linked = link(w->temp.c_str(), w->path.c_str()) == 0;
  const int err = errno;
  unlink(w->temp.c_str());
  if (linked) {
    fault(ZAM_STEP_NAMED);
    notePlaced(turn, w->fd, w->path);
    zam_recordNotPlaced(turn, w->temp, mine);
    fault(ZAM_STEP_RECORDED);
  } else {
    zam_recordNotPlaced(turn, w->path, mine);
  }
  errno = err;
  return linked;
}

bool name_whole(const _zam_whole* w) {
  Placing p{w->fd, w->temp, w->path, w->older, w->marked};
  return placeFile(p);
}

// Closes the stream; when keep and all went well, name_file names the file.
// Nothing is left of the file when it is not named.
int close_whole(_zam_whole* w, bool keep, bool (*name_file)(const _zam_whole*)) {
  if (!w) return 0;
  bool ok = zam_fclose(w->fp) == 0;
  if (ok && !keep) errno = ECANCELED;
  ok = ok && keep;
  int err = errno;
  if (ok) {
    ok = name_file(w);
    err = errno;
  }
  if (!ok && !w->temp.empty()) unlink(w->temp.c_str());
  if (!w->temp.empty()) dropTemp(w->temp);
  zam_releaseWriting(w->fd);  // and its hold, where the file had a temporary name
  delete w;
  errno = err;
  return ok ? 1 : 0;
}

// Moves the file of trel's at from, of status st, to the first free
// numbered name of path, recorded there as a journal records it (its W line
// too when confirm: a file still being written gets it from its writer);
// the name, or "" (errno) when it could not be moved. Within the turn for
// path.
std::string moveOwnAside(const _zam_record_turn& turn, const std::string& from, const std::string& path,
                         const struct stat& st, bool confirm) {
  for (int n = 1; n < 1000000; ++n) {
    const std::string name = zam_numberedName(path, std::to_string(n));
    struct stat there;
    if (lstat(name.c_str(), &there) == 0) continue;
    if (!announce(turn, name, st, !confirm)) return std::string();
    if (zam_moveNoReplace(from, name)) {
      struct stat now;
      if (confirm && lstat(name.c_str(), &now) == 0) zam_recordStatus(turn, name, now);
      return name;
    }
    const int err = errno;
    zam_recordNotPlaced(turn, name, st);
    errno = err;
    if (errno != EEXIST) return std::string();
  }
  errno = EEXIST;
  return std::string();
}

}  // namespace

_zam_whole* zam_openWhole(const std::string& path, const char* mode, ZamOlderFile older) {
  auto* w = new _zam_whole{nullptr, path, std::string(), -1, older};
  const int kind = (int)zam_fkind(path.c_str());
  const std::string folder = folder_of(path);
  int fd = -1;
  if (find_link_way(folder) != kNoLink) fd = open_unnamed(folder);
  if (fd < 0) {
    w->temp = zam_tempName(path);
    if (keepTemp(w->temp)) {
      fd = open(w->temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0 && !madeTemp(w->temp)) {
        const int err = errno;
        close(fd);
        fd = -1;
        errno = err;
      }
    }
  }
  // The stream takes fd over; the duplicate names the file and compares its
  // bytes at the close. A temporary name is covered by the duplicate's hold
  // (its lock shared with the stream's descriptor), which the close
  // releases.
  w->fd = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  if (w->fd >= 0 && (w->temp.empty() || coverTemp(w->temp, w->fd))) w->fp = zam_fdopen(fd, mode, kind);
  if (w->fp) zam_fbuffer(w->fp, kWholeBuffer);
  if (!w->fp) {
    const int err = errno;
    if (fd >= 0) close(fd);
    zam_releaseWriting(w->fd);
    if (!w->temp.empty() && fd >= 0) unlink(w->temp.c_str());
    if (!w->temp.empty()) dropTemp(w->temp);
    delete w;
    errno = err;
    return nullptr;
  }
  return w;
}

int zam_removePlacedByThisRun(const std::string& path) {
  _zam_identity id;
  if (!zam_identityAt(path.c_str(), &id)) return 0;
  {
    std::lock_guard<std::mutex> hold(placed_lock);
    const auto it = placed.find({id.dev, id.ino});
    if (it == placed.end() || !zam_sameIdentity(it->second, id)) return 0;
  }
  return zam_removeRecorded(path, id) == ZAM_RECORDED_REMOVED ? 1 : 0;
}

int zam_closeWhole(_zam_whole* w, bool keep) { return close_whole(w, keep, name_whole); }

int zam_closeWholeNew(_zam_whole* w, bool keep) { return close_whole(w, keep, name_new); }

int zam_openGrowing(const std::string& path) {
  if (const int err = callFault(ZAM_CALL_OPEN, path)) {
    errno = err;
    return -1;
  }
  const std::string folder = folder_of(path);
  const int way = find_link_way(folder);
  int fd = way != kNoLink ? open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666) : -1;
  const bool unnamed = fd >= 0;
  if (!unnamed) fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  // Without any lock the file system grants, its line stays unsettled (its
  // writer cannot be told gone): the file is kept, never taken for a
  // stopped run's.
  zam_holdWriting(fd);
  int err = 0;
  if (!unnamed && !zam_standsAt(fd, path)) {
    err = EEXIST;  // taken for a stopped run's before it was held, and moved: another run's now
  } else {
    _zam_record_turn turn(path);
    faultTurn(turn, path);
    struct stat st;
    if (fstat(fd, &st) != 0 || !announce(turn, path, st, true, fd)) {
      err = errno ? errno : EIO;
    } else {
      fault(ZAM_STEP_AHEAD);
      if (unnamed && !link_as(way, fd, path)) {
        err = errno;
        zam_recordNotPlaced(turn, path, st);
      } else {
        fault(ZAM_STEP_NAMED);
      }
    }
    if (err != 0 && !unnamed && zam_standsAt(fd, path)) unlink(path.c_str());
  }
  if (err == 0) return fd;
  zam_releaseWriting(fd);
  errno = err;
  return -1;
}

std::string zam_closeWholeAside(_zam_whole* w, bool keep) {
  if (!w) return std::string();
  bool ok = zam_fclose(w->fp) == 0;
  if (ok && !keep) errno = ECANCELED;
  std::string aside;
  if (ok && keep) {
    if (!w->temp.empty()) {
      aside = w->temp;  // covered since it was made
    } else {
      // Covered before it takes the name, and for as long as it stands there.
      const std::string temp = zam_tempName(w->path);
      if (keepTemp(temp)) {
        if (coverTemp(temp, w->fd) && link_as(link_way.load(), w->fd, temp) && madeTemp(temp))
          aside = temp;
        else
          dropTemp(temp);
      }
    }
  }
  const int err = errno;
  if (aside.empty() && !w->temp.empty()) {
    unlink(w->temp.c_str());
    dropTemp(w->temp);
  }
  // The writer's lock lasts while the name stands: until zam_placeWhole, or
  // a stop's sweep.
  if (aside.empty())
    zam_releaseWriting(w->fd);
  else
    holdTemp(aside, w->fd);
  delete w;
  errno = err;
  return aside;
}

int zam_placeWhole(const std::string& temp, const std::string& path) {
  const int fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = false;
  int err = errno;
  if (fd >= 0) {
    Placing p{fd, temp, path, ZAM_OLDER_SET_ASIDE, nullptr};
    ok = placeFile(p);
    err = errno;
  }
  if (fd >= 0) close(fd);
  if (!ok) remove(temp.c_str());
  dropTemp(temp);
  errno = err;
  return ok ? 1 : 0;
}

int zam_placeKeeping(const std::string& from, const std::string& path, std::string* set_aside) {
  if (set_aside) set_aside->clear();
  // Another process may put its own file at path between two steps where
  // no record orders the runs: the loop then sets that one aside as well.
  _zam_record_turn turn(path);
  faultTurn(turn, path);
  if (turnFailed(turn)) return 0;
  for (int tries = 0; tries < 1000; ++tries) {
    struct stat mine;
    if (lstat(from.c_str(), &mine) != 0) return 0;
    if (!announce(turn, path, mine, true)) return 0;
    if (zam_moveNoReplace(from, path)) return 1;
    const int err = errno;
    zam_recordNotPlaced(turn, path, mine);
    errno = err;
    if (errno != EEXIST) return 0;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode)) {
      errno = EEXIST;
      return 0;
    }
    // A file of trel's keeps its record under its new name.
    const std::string moved =
        trelsFile(turn, path, st, nullptr) ? moveOwnAside(turn, path, path, st, true) : zam_placeNumbered(path, path);
    if (moved.empty() && errno != ENOENT) return 0;
    if (!moved.empty() && set_aside) *set_aside = moved;
  }
  errno = EBUSY;
  return 0;
}

std::string zam_placeNumberedOwn(const std::string& from, const std::string& path) {
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) return std::string();
  _zam_record_turn turn(path);
  faultTurn(turn, path);
  return moveOwnAside(turn, from, path, st, false);
}

int zam_removeOwnTemps() {
  std::lock_guard<std::mutex> hold(temps_lock);
  stopping = true;
  int removed = 0;
  for (const auto& [name, fd] : temps) {
    if (unlink(name.c_str()) == 0) removed++;
    zam_releaseWriting(fd);
  }
  temps.clear();
  return removed;
}

int zam_removeDeadTemps(const std::string& folder) {
  return zam_removeFiles(folder, deadTemp);
}

bool zam_deadTempOf(const std::string& entry, std::string* target) {
  if (!deadTemp(entry)) return false;
  const std::string stem = entry.substr(0, entry.rfind('.'));  // ".tmp" off
  *target = stem.substr(0, stem.rfind('.'));                    // the owner's tag off
  return !target->empty();
}
