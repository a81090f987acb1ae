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
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_owner.h"
#include "runtime/zam_place.h"

namespace {

// The temporary names of this process that stand in a folder now (a file
// written under one, set aside, or on its way to its final name), so that
// a run that is stopped can take them away. Made before main, so they stay
// usable by exit hooks.
std::mutex temps_lock;
std::set<std::string> temps;
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
// this process put in place, one a line of the record covers (turn held for
// path), or one that begins with the writer's mark.
bool trelsFile(const _zam_record_turn& turn, const std::string& path, const struct stat& st,
               bool (*marked)(const std::string&)) {
  const _zam_identity id = zam_identityOf(st);
  {
    std::lock_guard<std::mutex> hold(placed_lock);
    const auto it = placed.find({id.dev, id.ino});
    if (it != placed.end() && zam_sameIdentity(it->second, id)) return true;
  }
  return zam_recordCovers(turn, path, id) || hasMark(path, marked);
}

// Notes the file just put in place at path, when it is still the file open
// as fd (not an older one of the same bytes left as it was), as this
// process's and in the record, within the turn it was put in place in.
void notePlaced(const _zam_record_turn& turn, int fd, const std::string& path) {
  struct stat mine, there;
  if (fstat(fd, &mine) != 0 || lstat(path.c_str(), &there) != 0) return;
  if (mine.st_dev != there.st_dev || mine.st_ino != there.st_ino) return;
  const _zam_identity id = zam_identityOf(there);
  {
    std::lock_guard<std::mutex> hold(placed_lock);
    placed[{id.dev, id.ino}] = id;
  }
  zam_recordStatus(turn, path, there);
}

// Registers name before its file is made; false (errno ECANCELED) once the
// run is stopping.
bool keepTemp(const std::string& name) {
  std::lock_guard<std::mutex> hold(temps_lock);
  if (stopping) {
    errno = ECANCELED;
    return false;
  }
  temps.insert(name);
  return true;
}

// Called once the file of a registered name is made: false when the run
// began stopping meanwhile, the file then removed (it may have been made
// after the stop removed the registered ones).
bool madeTemp(const std::string& name) {
  std::lock_guard<std::mutex> hold(temps_lock);
  if (!stopping) return true;
  unlink(name.c_str());
  temps.erase(name);
  errno = ECANCELED;
  return false;
}

void dropTemp(const std::string& name) {
  std::lock_guard<std::mutex> hold(temps_lock);
  temps.erase(name);
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
    const bool linked = link_as(w, fd, trial);
    close(fd);
    if (linked) {
      unlink(trial.c_str());
      way = w;
      break;
    }
  }
  link_way.store(way);
  return way;
}

// Whether the regular file at path (not a link) is the file of identity id
// and holds exactly the bytes of the file open as fd.
bool sameBytesAs(int fd, const std::string& path, const _zam_identity& id) {
  const int old = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (old < 0) return false;
  struct stat mine, theirs;
  bool same = fstat(fd, &mine) == 0 && fstat(old, &theirs) == 0 && S_ISREG(theirs.st_mode) &&
              zam_sameIdentity(id, zam_identityOf(theirs)) && mine.st_size == theirs.st_size;
  constexpr size_t kPiece = 65536;
  std::vector<char> a(same ? kPiece : 0), b(same ? kPiece : 0);
  for (off_t at = 0; same && at < mine.st_size;) {
    const size_t want = (size_t)std::min<off_t>((off_t)kPiece, mine.st_size - at);
    same = pread(fd, a.data(), want, at) == (ssize_t)want &&
           pread(old, b.data(), want, at) == (ssize_t)want && memcmp(a.data(), b.data(), want) == 0;
    at += (off_t)want;
  }
  close(old);
  return same;
}

void fault(ZamPlaceStep step) {
  if (zam_place_fault) zam_place_fault(step);
}

// A new file on its way to its final name: open as fd, under the temporary
// name temp (empty for an unnamed file).
struct Placing {
  int fd;
  const std::string& temp;
  const std::string& path;
  ZamOlderFile older;
  bool (*marked)(const std::string&);
};

// Puts the new file in place of what stands at path (a link is replaced,
// not followed); an unnamed file is linked under a temporary name first.
bool replaceAt(const Placing& p) {
  if (!p.temp.empty()) return rename(p.temp.c_str(), p.path.c_str()) == 0;
  const std::string temp = zam_tempName(p.path);
  if (!linkTemp(link_way.load(), p.fd, temp)) return false;
  const bool renamed = rename(temp.c_str(), p.path.c_str()) == 0;
  const int err = errno;
  if (!renamed) remove(temp.c_str());
  dropTemp(temp);
  errno = err;
  return renamed;
}

// Names the new file, of status mine, as path, as a journal records it: its
// A line first, then the name (replacing what stands there, or only where
// nothing does), then its W line; its X line when it did not take the name.
bool nameRecorded(const Placing& p, const _zam_record_turn& turn, const struct stat& mine, bool replace) {
  zam_recordAhead(turn, p.path, mine);
  fault(ZAM_STEP_AHEAD);
  bool named;
  if (replace)
    named = replaceAt(p);
  else if (p.temp.empty())
    named = link_as(link_way.load(), p.fd, p.path);
  else
    named = zam_moveNoReplace(p.temp, p.path);
  if (!named) {
    const int err = errno;
    zam_recordNotPlaced(turn, p.path, mine);
    errno = err;
    return false;
  }
  fault(ZAM_STEP_NAMED);
  notePlaced(turn, p.fd, p.path);
  fault(ZAM_STEP_RECORDED);
  return true;
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
// it holds the same bytes; a link is replaced; a user's file, or a pipe,
// socket or device, is moved aside first. The identity of an older file of
// trel's whose bytes were not compared yet goes to *compare.
Turn placeInTurn(const Placing& p, const _zam_record_turn& turn, const Compared& seen, _zam_identity* compare) {
  struct stat mine;
  if (fstat(p.fd, &mine) != 0) return Turn::kFailed;
  // Another process may put a file at path between two steps where no
  // record orders the runs: the loop then looks at that one too.
  for (int tries = 0; tries < 1000; ++tries) {
    struct stat st;
    if (lstat(p.path.c_str(), &st) != 0) {
      if (errno != ENOENT) return Turn::kFailed;
      if (nameRecorded(p, turn, mine, false)) return Turn::kPlaced;
      if (errno != EEXIST) return Turn::kFailed;
      continue;
    }
    if (S_ISLNK(st.st_mode)) return nameRecorded(p, turn, mine, true) ? Turn::kPlaced : Turn::kFailed;
    if (S_ISDIR(st.st_mode)) {  // a folder stays
      errno = EISDIR;
      return Turn::kFailed;
    }
    if (S_ISREG(st.st_mode) && (p.older == ZAM_OLDER_REPLACED || trelsFile(turn, p.path, st, p.marked))) {
      const _zam_identity id = zam_identityOf(st);
      if (!zam_sameIdentity(seen.id, id)) {
        *compare = id;
        return Turn::kCompare;
      }
      if (!seen.same) return nameRecorded(p, turn, mine, true) ? Turn::kPlaced : Turn::kFailed;
      if (!p.temp.empty()) remove(p.temp.c_str());
      return Turn::kPlaced;
    }
    const std::string moved = zam_placeNumbered(p.path, p.path);
    if (moved.empty() && errno != ENOENT) return Turn::kFailed;
    if (!moved.empty()) zam_noteSetAside(p.path, moved);
  }
  errno = EBUSY;
  return Turn::kFailed;
}

// Gives the new file its final name in turns at the record; an older file
// of trel's standing there has its bytes compared between two turns, so
// that no run and no other thread waits for that.
bool placeFile(const Placing& p) {
  Compared seen;
  for (int round = 0; round < 100; ++round) {
    _zam_identity compare{};
    Turn step;
    {
      std::lock_guard<std::mutex> hold(placingLock(p.path));
      const _zam_record_turn turn(p.path);
      step = placeInTurn(p, turn, seen, &compare);
    }
    if (step != Turn::kCompare) return step == Turn::kPlaced;
    seen = Compared{compare, sameBytesAs(p.fd, p.path, compare)};
  }
  errno = EBUSY;
  return false;
}

// Gives the new file its final name only when the name is free; errno
// EEXIST when it is not.
bool name_new(const _zam_whole* w) {
  struct stat mine;
  if (fstat(w->fd, &mine) != 0) return false;
  std::lock_guard<std::mutex> hold(placingLock(w->path));
  const _zam_record_turn turn(w->path);
  const Placing p{w->fd, w->temp, w->path, w->older, w->marked};
  if (w->temp.empty()) return nameRecorded(p, turn, mine, false);
  // A named temporary file is linked, then unlinked, so that it never
  // takes the place of anything.
  zam_recordAhead(turn, w->path, mine);
  fault(ZAM_STEP_AHEAD);
  const bool linked = link(w->temp.c_str(), w->path.c_str()) == 0;
  const int err = errno;
  unlink(w->temp.c_str());
  if (linked) {
    fault(ZAM_STEP_NAMED);
    notePlaced(turn, w->fd, w->path);
    fault(ZAM_STEP_RECORDED);
  } else {
    zam_recordNotPlaced(turn, w->path, mine);
  }
  errno = err;
  return linked;
}

bool name_whole(const _zam_whole* w) { return placeFile(Placing{w->fd, w->temp, w->path, w->older, w->marked}); }

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
  close(w->fd);
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
    zam_recordAhead(turn, name, st, !confirm);
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
        close(fd);
        fd = -1;
        errno = ECANCELED;
      }
    }
  }
  // The stream takes fd over; the duplicate names the file and compares its
  // bytes at the close.
  w->fd = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  if (w->fd >= 0) w->fp = zam_fdopen(fd, mode, kind);
  if (!w->fp) {
    const int err = errno;
    if (fd >= 0) close(fd);
    if (w->fd >= 0) close(w->fd);
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

std::string zam_closeWholeAside(_zam_whole* w, bool keep) {
  if (!w) return std::string();
  bool ok = zam_fclose(w->fp) == 0;
  if (ok && !keep) errno = ECANCELED;
  std::string aside;
  if (ok && keep) {
    if (!w->temp.empty()) {
      aside = w->temp;
    } else {
      const std::string temp = zam_tempName(w->path);
      if (linkTemp(link_way.load(), w->fd, temp)) aside = temp;
    }
  }
  const int err = errno;
  if (aside.empty() && !w->temp.empty()) {
    unlink(w->temp.c_str());
    dropTemp(w->temp);
  }
  close(w->fd);
  delete w;
  errno = err;
  return aside;
}

int zam_placeWhole(const std::string& temp, const std::string& path) {
  const int fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = false;
  int err = errno;
  if (fd >= 0) {
    ok = placeFile(Placing{fd, temp, path, ZAM_OLDER_SET_ASIDE, nullptr});
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
  const _zam_record_turn turn(path);
  for (int tries = 0; tries < 1000; ++tries) {
    struct stat mine;
    if (lstat(from.c_str(), &mine) != 0) return 0;
    zam_recordAhead(turn, path, mine, true);
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
  const _zam_record_turn turn(path);
  return moveOwnAside(turn, from, path, st, false);
}

int zam_removeOwnTemps() {
  std::lock_guard<std::mutex> hold(temps_lock);
  stopping = true;
  int removed = 0;
  for (const std::string& name : temps)
    if (unlink(name.c_str()) == 0) removed++;
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
