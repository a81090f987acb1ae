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
#include "runtime/zam_log.h"
#include "runtime/zam_owner.h"

namespace {

// Serial of the temporary names of this process, shared by all threads.
std::atomic<unsigned long> temp_serial{0};

// The temporary names of this process that stand in a folder now (a file
// written under one, set aside, or on its way to its final name), so that
// a run that is stopped can take them away. Made before main, so they stay
// usable by exit hooks.
std::mutex temps_lock;
std::set<std::string> temps;
bool stopping = false;  // zam_removeOwnTemps ran: no temporary file may be made

// Input files of the run by identity (device, inode).
std::mutex inputs_lock;
std::set<std::pair<dev_t, ino_t>> inputs;
std::atomic<bool> any_inputs{false};

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
// folder the record's turn orders every placing, of every run).
constexpr size_t kPlacingLocks = 64;
std::mutex placing_locks[kPlacingLocks];
std::mutex& placingLock(const std::string& path) {
  return placing_locks[std::hash<std::string>{}(path) % kPlacingLocks];
}

// The files moved aside from results' names: how many, and the first.
std::mutex aside_lock;
int aside_count = 0;
std::string aside_first, aside_first_as;

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

// Whether the regular file at path (not a link) holds exactly the bytes of
// the file open as fd.
bool same_bytes(int fd, const std::string& path) {
  const int old = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (old < 0) return false;
  struct stat mine, theirs;
  bool same = fstat(fd, &mine) == 0 && fstat(old, &theirs) == 0 && S_ISREG(theirs.st_mode) &&
              mine.st_size == theirs.st_size;
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

// Renames from to to only when no file has the name to (EEXIST otherwise),
// atomically where the file system can; a symbolic link is moved as a link.
bool move_no_replace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // Without the flag a hard link takes the name or fails on a taken one;
  // without hard links either, the name is looked at first (not atomic).
  if (link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

// A new file on its way to its final name: open as fd, under the temporary
// name temp (empty for an unnamed file), within the record's turn for path.
struct Placing {
  int fd;
  const std::string& temp;
  const std::string& path;
  ZamOlderFile older;
  bool (*marked)(const std::string&);
  const _zam_record_turn& turn;
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

// Gives the new file its final name, as zam_closeWhole says: a free name is
// taken; an older file of trel's is replaced, or left as it is when it holds
// the same bytes; a link is replaced; a user's file, or a pipe, socket or
// device, is moved aside first. A named temporary file is gone once the
// file is in place.
bool placeFile(const Placing& p) {
  // Another process may put a file at path between two steps: the loop
  // then looks at that one too.
  for (int tries = 0; tries < 1000; ++tries) {
    const bool named = p.temp.empty() ? link_as(link_way.load(), p.fd, p.path) : move_no_replace(p.temp, p.path);
    if (named) return true;
    if (errno != EEXIST) return false;
    struct stat st;
    if (lstat(p.path.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      return false;
    }
    if (S_ISLNK(st.st_mode)) return replaceAt(p);
    if (S_ISDIR(st.st_mode)) {  // a folder stays
      errno = EISDIR;
      return false;
    }
    if (S_ISREG(st.st_mode) && (p.older == ZAM_OLDER_REPLACED || trelsFile(p.turn, p.path, st, p.marked))) {
      if (!same_bytes(p.fd, p.path)) return replaceAt(p);
      if (!p.temp.empty()) remove(p.temp.c_str());
      return true;
    }
    const std::string moved = zam_placeNumbered(p.path, p.path);
    if (moved.empty() && errno != ENOENT) return false;
    if (!moved.empty()) zam_noteSetAside(p.path, moved);
  }
  errno = EBUSY;
  return false;
}

// Gives the new file its final name only when the name is free; errno
// EEXIST when it is not. A named temporary file is linked, then unlinked.
bool name_new(const _zam_whole* w, const _zam_record_turn&) {
  if (w->temp.empty()) return link_as(link_way.load(), w->fd, w->path);
  const bool linked = link(w->temp.c_str(), w->path.c_str()) == 0;
  const int err = errno;
  unlink(w->temp.c_str());
  errno = err;
  return linked;
}

// Closes the stream; when keep and all went well, name_file names the file.
// Nothing is left of the file when it is not named.
int close_whole(_zam_whole* w, bool keep, bool (*name_file)(const _zam_whole*, const _zam_record_turn&)) {
  if (!w) return 0;
  bool ok = zam_fclose(w->fp) == 0;
  if (ok && !keep) errno = ECANCELED;
  ok = ok && keep;
  int err = errno;
  if (ok) {
    std::lock_guard<std::mutex> hold(placingLock(w->path));
    const _zam_record_turn turn(w->path);
    ok = name_file(w, turn);
    err = errno;
    if (ok) notePlaced(turn, w->fd, w->path);
  }
  if (!ok && !w->temp.empty()) unlink(w->temp.c_str());
  if (!w->temp.empty()) dropTemp(w->temp);
  close(w->fd);
  delete w;
  errno = err;
  return ok ? 1 : 0;
}

bool name_whole(const _zam_whole* w, const _zam_record_turn& turn) {
  return placeFile(Placing{w->fd, w->temp, w->path, w->older, w->marked, turn});
}

}  // namespace

std::string zam_tempName(const std::string& path) {
  std::string ending = ".";
  ending += zam_ownerMark();
  ending += '-';
  ending += std::to_string(temp_serial++);
  ending += ".tmp";
  // A final name that fits may leave no room for the ending: its name part
  // is then shortened as long file names are.
  const size_t at = path.find_last_of('/') + 1;  // 0 when there is no folder
  return path.substr(0, at) + zam_hashName(path.substr(at), ZAM_NAME_MAX - ending.size()) + ending;
}

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

void zam_keepInput(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0) return;
  std::lock_guard<std::mutex> hold(inputs_lock);
  inputs.emplace(st.st_dev, st.st_ino);
  any_inputs = true;
}

void zam_keepInputIdentity(const _zam_identity& id) {
  if (id.ino == 0) return;
  std::lock_guard<std::mutex> hold(inputs_lock);
  inputs.emplace(static_cast<dev_t>(id.dev), static_cast<ino_t>(id.ino));
  any_inputs = true;
}

bool zam_isInput(const std::string& path) {
  if (!any_inputs.load()) return false;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  std::lock_guard<std::mutex> hold(inputs_lock);
  return inputs.count({st.st_dev, st.st_ino}) > 0;
}

bool zam_refuseInput(const std::string& path) {
  if (!zam_isInput(path)) return false;
  zam_wrn("Not writing %s: it is an input file of this run and is kept as it is.\n", path.c_str());
  errno = EEXIST;
  return true;
}

void zam_noteSetAside(const std::string& path, const std::string& as) {
  std::lock_guard<std::mutex> hold(aside_lock);
  if (aside_count++ == 0) {
    aside_first = path;
    aside_first_as = as;
  }
}

int zam_setAsideFiles(std::string* first, std::string* first_as) {
  std::lock_guard<std::mutex> hold(aside_lock);
  if (first) *first = aside_first;
  if (first_as) *first_as = aside_first_as;
  return aside_count;
}

std::string zam_numberedName(const std::string& path, const std::string& tag) {
  const uint32_t kind = zam_fkind(path.c_str());
  const size_t end = kind ? path.rfind('.') : path.size();
  return path.substr(0, end) + "." + tag + path.substr(end);
}

std::string zam_placeNumbered(const std::string& from, const std::string& path) {
  for (int n = 1; n < 1000000; ++n) {
    std::string name = zam_numberedName(path, std::to_string(n));
    if (move_no_replace(from, name)) return name;
    if (errno != EEXIST) return std::string();
  }
  errno = EEXIST;
  return std::string();
}

int zam_placeKeeping(const std::string& from, const std::string& path, std::string* set_aside) {
  if (set_aside) set_aside->clear();
  // Another process may put its own file at path between two steps: the
  // loop then sets that one aside as well.
  const _zam_record_turn turn(path);
  for (int tries = 0; tries < 1000; ++tries) {
    if (move_no_replace(from, path)) return 1;
    if (errno != EEXIST) return 0;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode)) {
      errno = EEXIST;
      return 0;
    }
    // A file of trel's keeps its record under its new name.
    const bool trels = trelsFile(turn, path, st, nullptr);
    const std::string moved = zam_placeNumbered(path, path);
    if (moved.empty() && errno != ENOENT) return 0;
    struct stat now;
    if (!moved.empty() && trels && lstat(moved.c_str(), &now) == 0) zam_recordStatus(turn, moved, now);
    if (!moved.empty() && set_aside) *set_aside = moved;
  }
  errno = EBUSY;
  return 0;
}

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
    std::lock_guard<std::mutex> hold(placingLock(path));
    const _zam_record_turn turn(path);
    ok = placeFile(Placing{fd, temp, path, ZAM_OLDER_SET_ASIDE, nullptr, turn});
    err = errno;
    if (ok) notePlaced(turn, fd, path);
  }
  if (fd >= 0) close(fd);
  if (!ok) remove(temp.c_str());
  dropTemp(temp);
  errno = err;
  return ok ? 1 : 0;
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
