#include "runtime/zam_whole.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <time.h>
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
// names are placed side by side.
constexpr size_t kPlacingLocks = 64;
std::mutex placing_locks[kPlacingLocks];
std::mutex& placingLock(const std::string& path) {
  return placing_locks[std::hash<std::string>{}(path) % kPlacingLocks];
}

// The files moved aside from results' names: how many, and the first.
std::mutex aside_lock;
int aside_count = 0;
std::string aside_first, aside_first_as;

// The record of the files written under one folder (zam_recordWrites).
std::mutex record_lock;
std::string record_folder;  // as given, ending in "/"; empty: no record
std::string record_root;    // the same, absolute and plain (plainPath), ending in "/"
std::string working;        // the working folder when the record began
std::atomic<bool> recording{false};
bool record_extend_only = false;  // only a record that is there is written to
int record_fd = -1;               // opened with the first file recorded
std::string record_made;          // lines of folders made, held until then
// What this process read of the record, which other runs append to: the
// files its lines cover, by their name under the folder, read up to
// read_end of the record file with device and inode read_file.
std::map<std::string, std::vector<_zam_identity>> record_files;
int64_t read_end = 0;
std::pair<uint64_t, uint64_t> read_file{0, 0};
bool record_damaged = false;  // a line holds a NUL byte: the record covers nothing
std::atomic<int64_t> record_start_ns{0};  // when the record began (the clock of change times)

// A record larger than this is not read (it covers nothing).
constexpr int64_t kRecordMax = int64_t(1) << 30;

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
// would break the record's lines). record_lock held.
std::string recordName(const std::string& path) {
  if (record_root.empty()) return std::string();
  const std::string plain = plainPath(path, working);
  if (plain.empty() || plain.find('\n') != std::string::npos) return std::string();
  if (plain + "/" == record_root) return ".";
  if (plain.size() <= record_root.size() || plain.compare(0, record_root.size(), record_root) != 0)
    return std::string();
  return plain.substr(record_root.size());
}

// An unsigned decimal number at p, which moves past it.
bool number(const char*& p, const char* end, uint64_t* out) {
  const auto [past, err] = std::from_chars(p, end, *out);
  if (err != std::errc() || past == p || *p < '0' || *p > '9') return false;
  p = past;
  return true;
}

// Reads one line of a record (without its line end); false for a line of
// no known kind.
bool parseLine(const std::string& line, _zam_written_entry* entry) {
  if (line.size() < 3 || line[1] != ' ') return false;
  const char* p = line.c_str() + 2;
  const char* end = line.c_str() + line.size();
  _zam_written_entry e{line[0], _zam_identity{}, std::string()};
  if (e.kind == 'W' || e.kind == 'F') {
    if (!zam_parseIdentity(p, &e.id, &p)) return false;
    if (e.kind == 'F') {
      // The older form: modification seconds and nanoseconds, no change time.
      constexpr int64_t kBillion = 1000000000;
      const int64_t sec = e.id.mtime_ns, nsec = e.id.ctime_ns;
      if (nsec >= kBillion || sec > INT64_MAX / kBillion - 1) return false;
      e.id.mtime_ns = sec * kBillion + nsec;
      e.id.ctime_ns = 0;
    }
  } else if (e.kind == 'D') {
    if (!number(p, end, &e.id.dev) || *p++ != ' ' || !number(p, end, &e.id.ino)) return false;
  } else {
    return false;
  }
  if (p >= end || *p++ != ' ' || p >= end) return false;
  e.path.assign(p, end);
  *entry = std::move(e);
  return true;
}

// Reads the whole lines of bytes from from on into *entries; the number of
// the first line holding a NUL byte (counted from from) goes to *damaged (0
// when none). Returns the offset past the last whole line.
size_t parseLines(const std::string& bytes, size_t from, std::vector<_zam_written_entry>* entries, long* damaged) {
  *damaged = 0;
  long number = 0;
  size_t at = from;
  for (size_t end; (end = bytes.find('\n', at)) != std::string::npos; at = end + 1) {
    number++;
    const std::string line = bytes.substr(at, end - at);
    if (line.find('\0') != std::string::npos) {
      if (*damaged == 0) *damaged = number;
      continue;
    }
    _zam_written_entry e;
    if (parseLine(line, &e)) entries->push_back(std::move(e));
  }
  return at;
}

// Reads what was appended to the record since it was last read (all of it
// when it is another file now, or shorter), so that files other runs wrote
// meanwhile (and this one: a rainbow file written again) are known without
// reading the record again whole. record_lock held.
void readRecordTail() {
  const int fd = open((record_folder + ZAM_WRITTEN_RECORD).c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return;
  }
  const std::pair<uint64_t, uint64_t> file{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  if (file != read_file || st.st_size < read_end) {
    record_files.clear();
    record_damaged = false;
    read_end = 0;
    read_file = file;
  }
  std::string bytes;
  if (st.st_size - read_end <= kRecordMax) bytes.resize(static_cast<size_t>(st.st_size - read_end));
  const int64_t got = zam_readAll(fd, bytes.data(), static_cast<int64_t>(bytes.size()), read_end);
  close(fd);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);  // lines cut short are read the next time
  std::vector<_zam_written_entry> entries;
  long damaged = 0;
  read_end += static_cast<int64_t>(parseLines(bytes, 0, &entries, &damaged));
  if (damaged) record_damaged = true;
  for (_zam_written_entry& e : entries)
    if (e.kind == 'W') record_files[e.path].push_back(e.id);
}

// Whether a line of the record covers the file of identity id at path.
bool recordCovers(const std::string& path, const _zam_identity& id) {
  if (!recording) return false;
  for (int look = 0;; ++look) {
    {
      std::lock_guard<std::mutex> hold(record_lock);
      const std::string name = recordName(path);
      if (name.empty() || name == ".") return false;
      const auto covers = [&] {
        if (record_damaged) return false;
        const auto it = record_files.find(name);
        if (it == record_files.end()) return false;
        for (const _zam_identity& line : it->second)
          if (zam_sameIdentity(line, id)) return true;
        return false;
      };
      if (covers()) return true;
      readRecordTail();
      if (covers()) return true;
    }
    // Another run appends a file's line just after putting the file in
    // place: a file that appeared since this record began is looked at once
    // more, a moment later.
    if (look > 0 || id.ctime_ns < record_start_ns) return false;
    usleep(20000);
  }
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
// this process put in place, one a line of the record covers, or one that
// begins with the writer's mark.
bool trelsFile(const std::string& path, const struct stat& st, bool (*marked)(const std::string&)) {
  const _zam_identity id = zam_identityOf(st);
  {
    std::lock_guard<std::mutex> hold(placed_lock);
    const auto it = placed.find({id.dev, id.ino});
    if (it != placed.end() && zam_sameIdentity(it->second, id)) return true;
  }
  return recordCovers(path, id) || hasMark(path, marked);
}

// Appends the line of path, of status st, to the record when it lies under
// its folder.
void recordStatus(const std::string& path, const struct stat& st) {
  std::lock_guard<std::mutex> hold(record_lock);
  const std::string name = recordName(path);
  if (name.empty()) return;
  std::string line;
  if (S_ISDIR(st.st_mode))
    line = "D " + std::to_string(static_cast<unsigned long long>(st.st_dev)) + " " +
           std::to_string(static_cast<unsigned long long>(st.st_ino)) + " " + name + "\n";
  else if (S_ISREG(st.st_mode))
    line = "W " + zam_identityText(zam_identityOf(st)) + " " + name + "\n";
  else
    return;
  // Folders are held back until a file is recorded: a run that writes
  // nothing leaves no record behind.
  if (S_ISDIR(st.st_mode) && record_fd < 0) {
    record_made += line;
    return;
  }
  if (record_fd < 0)
    record_fd = open((record_folder + ZAM_WRITTEN_RECORD).c_str(),
                     O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | (record_extend_only ? 0 : O_CREAT), 0666);
  if (record_fd < 0) {
    recording = false;  // a link at its name, say: nothing is recorded
    return;
  }
  const std::string lines = std::exchange(record_made, std::string()) + line;
  if (write(record_fd, lines.data(), lines.size()) < 0) {
    // A record that cannot take a line is left incomplete: the files it
    // misses are only kept by a purge, or set aside by a later run, never lost.
  }
}

// Notes the file just put in place at path, when it is still the file open
// as fd (not an older one of the same bytes left as it was), as this
// process's and in the record.
void notePlaced(int fd, const std::string& path) {
  struct stat mine, there;
  if (fstat(fd, &mine) != 0 || lstat(path.c_str(), &there) != 0) return;
  if (mine.st_dev != there.st_dev || mine.st_ino != there.st_ino) return;
  const _zam_identity id = zam_identityOf(there);
  {
    std::lock_guard<std::mutex> hold(placed_lock);
    placed[{id.dev, id.ino}] = id;
  }
  if (recording) recordStatus(path, there);
}

void noteSetAside(const std::string& path, const std::string& as) {
  std::lock_guard<std::mutex> hold(aside_lock);
  if (aside_count++ == 0) {
    aside_first = path;
    aside_first_as = as;
  }
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

// Gives the new file its final name, as zam_closeWhole says: a free name is
// taken; an older file of trel's is replaced, or left as it is when it holds
// the same bytes; a user's is moved aside first. A named temporary file is
// gone once the file is in place.
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
    if (!S_ISREG(st.st_mode)) return replaceAt(p);  // a folder stays: the rename fails
    if (p.older == ZAM_OLDER_REPLACED || trelsFile(p.path, st, p.marked)) {
      if (!same_bytes(p.fd, p.path)) return replaceAt(p);
      if (!p.temp.empty()) remove(p.temp.c_str());
      return true;
    }
    const std::string moved = zam_placeNumbered(p.path, p.path);
    if (moved.empty() && errno != ENOENT) return false;
    if (!moved.empty()) noteSetAside(p.path, moved);
  }
  errno = EBUSY;
  return false;
}

// Gives the new file its final name only when the name is free; errno
// EEXIST when it is not. A named temporary file is linked, then unlinked.
bool name_new(const _zam_whole* w) {
  if (w->temp.empty()) return link_as(link_way.load(), w->fd, w->path);
  const bool linked = link(w->temp.c_str(), w->path.c_str()) == 0;
  const int err = errno;
  unlink(w->temp.c_str());
  errno = err;
  return linked;
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
    std::lock_guard<std::mutex> hold(placingLock(w->path));
    ok = name_file(w);
    err = errno;
    if (ok) notePlaced(w->fd, w->path);
  }
  if (!ok && !w->temp.empty()) unlink(w->temp.c_str());
  if (!w->temp.empty()) dropTemp(w->temp);
  close(w->fd);
  delete w;
  errno = err;
  return ok ? 1 : 0;
}

bool name_whole(const _zam_whole* w) { return placeFile(Placing{w->fd, w->temp, w->path, w->older, w->marked}); }

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

bool zam_placedByThisRun(const std::string& path) {
  _zam_identity id;
  if (!zam_identityAt(path.c_str(), &id)) return false;
  std::lock_guard<std::mutex> hold(placed_lock);
  const auto it = placed.find({id.dev, id.ino});
  return it != placed.end() && zam_sameIdentity(it->second, id);
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

int zam_setAsideFiles(std::string* first, std::string* first_as) {
  std::lock_guard<std::mutex> hold(aside_lock);
  if (first) *first = aside_first;
  if (first_as) *first_as = aside_first_as;
  return aside_count;
}

void zam_recordWrites(const std::string& folder, bool extend_only) {
  std::lock_guard<std::mutex> hold(record_lock);
  if (record_fd >= 0) close(record_fd);
  record_fd = -1;
  record_folder = folder;
  record_made.clear();
  record_files.clear();
  record_damaged = false;
  read_end = 0;
  read_file = {0, 0};
  record_extend_only = extend_only;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  record_start_ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  std::vector<char> cwd(PATH_MAX + 1);
  working = getcwd(cwd.data(), cwd.size()) ? cwd.data() : "";
  record_root = record_folder.empty() || working.empty() ? std::string() : plainPath(record_folder, working);
  if (!record_root.empty() && record_root.back() != '/') record_root += '/';
  recording = !record_root.empty();
  if (recording && record_folder.back() != '/') record_folder += '/';
}

void zam_recordMade(const std::string& path) {
  if (!recording) return;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) recordStatus(path, st);
}

int zam_readWritten(const std::string& folder, std::vector<_zam_written_entry>* entries, long* damaged_line) {
  entries->clear();
  if (damaged_line) *damaged_line = 0;
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  std::string bytes;
  if (!zam_readWholeFile((path + ZAM_WRITTEN_RECORD).c_str(), &bytes, kRecordMax)) return 0;
  long damaged = 0;
  parseLines(bytes, 0, entries, &damaged);
  if (damaged == 0) return 1;
  if (damaged_line) *damaged_line = damaged;
  errno = EILSEQ;
  return 0;
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
    const bool trels = trelsFile(path, st, nullptr);
    const std::string moved = zam_placeNumbered(path, path);
    if (moved.empty() && errno != ENOENT) return 0;
    if (!moved.empty() && trels) zam_recordMade(moved);
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
    ok = placeFile(Placing{fd, temp, path, ZAM_OLDER_SET_ASIDE, nullptr});
    err = errno;
    if (ok) notePlaced(fd, path);
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
