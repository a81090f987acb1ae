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
#include "runtime/zam_place.h"

void (*zam_place_fault)(ZamPlaceStep step) = nullptr;

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
    bool ahead;      // an unsettled A line: the file may be at its name
    int64_t by = 0;  // an A line's: the name was to be taken by then (0: a file still written)
  };
  std::map<std::string, std::vector<File>> files;  // by name under the folder
  std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> folders;
  long lines = 0;    // lines read, the head and comments too
  long unread = 0;   // lines that did not parse
  bool headless = true;  // no head line read first
  long kept = 0;         // lines the record was last rewritten with
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

// The unsettled A line among list that allows the file of identity id: the
// same file, neither smaller nor older than it was when the line was
// written (naming it moved its change time; a log still grows), and changed
// last by the time its name was to be taken (unless it was still written).
Journal::File* aheadOf(std::vector<Journal::File>& list, const _zam_identity& id) {
  for (Journal::File& f : list)
    if (f.ahead && f.id.dev == id.dev && f.id.ino == id.ino && id.ino != 0 && id.size >= f.id.size &&
        id.mtime_ns >= f.id.mtime_ns && id.ctime_ns >= f.id.ctime_ns && (f.by == 0 || id.ctime_ns <= f.by))
      return &f;
  return nullptr;
}

// The device and inode of the folder at path when it was made (its birth
// time, where the file system keeps one) within the grace after made, the
// time of its M line; false otherwise.
bool madeThen(const std::string& path, int64_t made, std::pair<uint64_t, uint64_t>* self) {
  struct statx sx;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO | STATX_BTIME, &sx) != 0 ||
      !S_ISDIR(sx.stx_mode) || !(sx.stx_mask & STATX_BTIME))
    return false;
  constexpr int64_t kTick = 20000000;  // file times come from a coarser clock than the line's
  const int64_t born = static_cast<int64_t>(sx.stx_btime.tv_sec) * 1000000000 + sx.stx_btime.tv_nsec;
  if (born < made - kTick || born > made + kNamingGrace) return false;
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
        zam_parseNumber(at, end, INT64_MAX, &count) && at == end)
      kept = static_cast<long>(count);
    return;
  }
  if (end - p < 3 || p[1] != ' ') {
    unread++;
    return;
  }
  const char kind = p[0];
  const char* at = p + 2;
  _zam_identity id{};
  uint64_t by = 0;
  bool ok = false;
  if (kind == 'W') {
    ok = zam_parseIdentity(at, end, &id, &at);
  } else if (kind == 'A') {
    ok = zam_parseIdentity(at, end, &id, &at) && at < end && *at++ == ' ' && zam_parseNumber(at, end, INT64_MAX, &by);
  } else if (kind == 'X' || kind == 'D') {
    ok = zam_parseNumber(at, end, UINT64_MAX, &id.dev) && at < end && *at++ == ' ' &&
         zam_parseNumber(at, end, UINT64_MAX, &id.ino);
  } else if (kind == 'M') {
    ok = zam_parseNumber(at, end, INT64_MAX, &by);
  }
  if (!ok || at + 1 >= end || *at != ' ' || std::find(at, end, '\0') != end) {
    unread++;
    return;
  }
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
  if (kind == 'A') {
    list.push_back(File{id, true, static_cast<int64_t>(by)});
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
std::atomic<bool> turns_closed{false};  // a stop could not wait for a turn: none is taken again
std::string record_folder;  // as given, ending in "/"; empty: no record
std::string record_root;    // the same, absolute and plain (plainPath), ending in "/"
std::string working;        // the working folder when the record began
std::atomic<bool> recording{false};
bool record_extend_only = false;  // only a record that is there is written to
int record_fd = -1;               // the record, open to read and append, once a file was recorded
bool record_checked = false;      // record_fd is trel's record
std::string record_made;          // lines of folders made, held until the record is open
// What this process read of the record, up to read_end.
Journal journal;
int64_t read_end = 0;

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
// would break the record's lines). turn_lock held.
std::string recordName(const std::string& path) {
  if (record_root.empty()) return std::string();
  const std::string plain = plainPath(path, working);
  if (plain.empty() || plain.find('\n') != std::string::npos) return std::string();
  if (plain + "/" == record_root) return ".";
  if (plain.size() <= record_root.size() || plain.compare(0, record_root.size(), record_root) != 0)
    return std::string();
  return plain.substr(record_root.size());
}

std::string recordPath() { return record_folder + ZAM_WRITTEN_RECORD; }

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

// Writes a record holding text under a temporary name beside path; its name
// and a descriptor open to read and append, locked (nobody knows it yet),
// go to *temp and *fd. False (errno) when it cannot be made whole.
bool writeRecordAside(const std::string& path, const std::string& text, std::string* temp, int* fd) {
  *temp = zam_tempName(path);
  *fd = open(temp->c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (*fd < 0) return false;
  const bool ok = zam_writeAll(*fd, text.data(), static_cast<int64_t>(text.size())) ==
                      static_cast<int64_t>(text.size()) &&
                  flock(*fd, LOCK_EX | LOCK_NB) == 0;
  if (ok) return true;
  const int err = errno;
  close(*fd);
  unlink(temp->c_str());
  errno = err;
  return false;
}

// Makes the record at path with its head line, whole: written under a
// temporary name and linked at path only when the name is free (EEXIST
// otherwise), so that no run ever meets a record without its head.
bool makeRecord(const std::string& path) {
  std::string temp;
  int fd = -1;
  if (!writeRecordAside(path, headLine(), &temp, &fd)) return false;
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
  forgetRead();
}

// Appends lines to the record, on a fresh line: a last line cut short (a
// full disk, a power loss) is ended first, so that it costs only itself.
// turn_lock and the record's lock held. A record that cannot take a line
// is left incomplete: the files it misses are only kept by a purge, or set
// aside by a later run, never lost.
void append(std::string lines) {
  struct stat st;
  char last = '\n';
  if (fstat(record_fd, &st) == 0 && st.st_size > 0 && zam_readAll(record_fd, &last, 1, st.st_size - 1) == 1 &&
      last != '\n')
    lines.insert(0, 1, '\n');
  if (zam_writeAll(record_fd, lines.data(), static_cast<int64_t>(lines.size())) < 0) {
    // left incomplete, as said
  }
}

// Whether the file at path is the one open as fd.
bool sameFile(const std::string& path, int fd) {
  struct stat at, mine;
  return lstat(path.c_str(), &at) == 0 && fstat(fd, &mine) == 0 && at.st_dev == mine.st_dev &&
         at.st_ino == mine.st_ino;
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
    if (sameFile(temp, record_fd)) {
      unlink(temp.c_str());
      return true;
    }
    renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE);
    return false;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  return sameFile(path, record_fd) && rename(temp.c_str(), path.c_str()) == 0;
}

// Rewrites the record, whose every line is read, with the lines of what
// still stands as they say: a file at its name with the identity of a W
// line (or one an unsettled A line allows, which it then has), a folder of a
// D line. The new record takes the record's name, its lock taken first, and
// this process goes on with it; another run that waits for the old one's
// lock finds it gone from its name and opens the new one. Nothing changes
// when it cannot be written. turn_lock and the record's lock held.
void compact() {
  std::string text;
  Journal kept;
  for (auto& [name, list] : journal.files) {
    struct stat st;
    if (lstat((record_folder + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const _zam_identity id = zam_identityOf(st);
    if (!hasExact(list, id) && !aheadOf(list, id)) continue;
    text += fileLine('W', id, name);
    kept.files[name].push_back(Journal::File{id, false});
  }
  for (auto& [name, list] : journal.folders) {
    struct stat st;
    if (lstat((record_folder + name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    const std::pair<uint64_t, uint64_t> self(st.st_dev, st.st_ino);
    if (std::find(list.begin(), list.end(), self) == list.end()) continue;
    text += fileLine('D', _zam_identity{self.first, self.second, 0, 0, 0}, name);
    kept.folders[name].push_back(self);
  }
  const long lines = static_cast<long>(kept.files.size() + kept.folders.size());
  text = headLine() + kKept + std::to_string(lines) + "\n" + text;
  std::string temp;
  int fd = -1;
  if (!writeRecordAside(recordPath(), text, &temp, &fd)) return;
  if (!swapInRecord(temp)) {
    close(fd);
    unlink(temp.c_str());
    return;
  }
  close(record_fd);  // and the old record's lock
  record_fd = fd;
  record_checked = true;
  kept.headless = false;
  kept.kept = lines;
  kept.lines = 2 + lines;
  journal = std::move(kept);
  read_end = static_cast<int64_t>(text.size());
}

// Reads what was appended to the record since it was last read, and
// settles the A lines found unsettled: within a turn, no other run is
// between its A line and its W line, so the run that wrote them was stopped
// there (or could not append). The file standing at the name is taken for
// the one announced when the line allows it (W), else the line is closed
// (X), before its inode could be given to a file of someone else's. A
// record read whole that holds lines that did not parse, or many of files
// gone, is rewritten. turn_lock and the record's lock held.
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
  std::vector<std::string> names = std::exchange(journal.ahead_names, {});
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (const std::string& name : names) {
    const auto it = journal.files.find(name);
    if (it == journal.files.end()) continue;
    std::vector<Journal::File>& list = it->second;
    struct stat now;
    const bool there = lstat((record_folder + name).c_str(), &now) == 0 && S_ISREG(now.st_mode);
    const _zam_identity id = there ? zam_identityOf(now) : _zam_identity{};
    Journal::File* placed = there ? aheadOf(list, id) : nullptr;
    if (placed) {
      settled += fileLine('W', id, name);
      *placed = Journal::File{id, false};
    }
    for (const Journal::File& f : list)
      if (f.ahead) settled += fileLine('X', f.id, name);
    list.erase(std::remove_if(list.begin(), list.end(), [](const Journal::File& f) { return f.ahead; }), list.end());
    if (list.empty()) journal.files.erase(it);
  }
  for (const auto& [name, made] : std::exchange(journal.making, {})) {
    std::pair<uint64_t, uint64_t> self;
    if (!madeThen(record_folder + name, made, &self)) continue;
    settled += fileLine('D', _zam_identity{self.first, self.second, 0, 0, 0}, name);
    journal.folders[name].push_back(self);
  }
  if (!settled.empty()) {
    append(settled);
    struct stat after;
    if (fstat(record_fd, &after) == 0) read_end = after.st_size;  // what was appended is known
  }
  if (whole && (journal.unread > 0 || journal.headless ||
                (journal.lines > kCompactLines && journal.lines > 2 * journal.kept)))
    compact();
}

// Whether the record open as fd is trel's in the layout before the head
// line: it has lines, and every one of them parses.
bool earlierLayout(int fd) {
  Presence presence{record_folder, true, {}};
  Journal seen;
  seen.presence = &presence;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size == 0) return false;
  const int64_t past = readLines(fd, 0, &seen);
  return past == st.st_size && seen.unread == 0 && seen.lines > 0 && seen.headless;
}

// Moves what stands at the record's name aside to a numbered name, as a
// user's file is, and counts it; false when it could not be.
bool moveRecordAside(const std::string& path) {
  const std::string aside = zam_placeNumbered(path, path);
  if (aside.empty()) return errno == ENOENT;
  zam_noteSetAside(path, aside);
  return true;
}

// Opens the record (made when missing) and takes its lock. Anything at its
// name that is not trel's record (a user's file, a link, a pipe or socket,
// a folder) is moved aside once; a record in the earlier layout is taken
// and rewritten with its head. A file is looked at under its lock, so that
// another run that looked at it too finds it gone and looks again. False
// when there is no record to keep: only an existing one is kept and there is
// none, or it cannot be had. turn_lock held.
bool openRecord() {
  const std::string path = recordPath();
  for (int tries = 0; tries < 100; ++tries) {
    if (record_fd < 0) {
      struct stat at;
      if (lstat(path.c_str(), &at) == 0 && !S_ISREG(at.st_mode)) {
        if (record_extend_only || !moveRecordAside(path)) return false;
        continue;
      }
      record_fd = open(path.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (record_fd < 0) {
        if (errno == ENOENT && !record_extend_only && (makeRecord(path) || errno == EEXIST)) continue;
        if (errno == ELOOP || errno == ENXIO || errno == EISDIR) continue;  // something else came: looked at again
        return false;
      }
      record_checked = false;
      forgetRead();
    }
    if (!zam_flockSaying(record_fd, LOCK_EX, "another run that puts a file in place in " + record_folder)) {
      closeRecord();
      return false;
    }
    struct stat mine, there;
    const bool still = fstat(record_fd, &mine) == 0 && lstat(path.c_str(), &there) == 0 &&
                       mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
    if (still && S_ISREG(mine.st_mode) && (record_checked || hasHead(record_fd))) {
      record_checked = true;
      return true;
    }
    if (still && S_ISREG(mine.st_mode) && earlierLayout(record_fd)) {
      record_checked = true;
      readRecordTail();  // read whole, and rewritten with the head
      return true;
    }
    const bool moved = still && !record_extend_only && moveRecordAside(path);
    closeRecord();  // and its lock
    if (still && !moved) return false;
  }
  closeRecord();
  return false;
}

void unlockRecord() {
  if (record_fd >= 0) flock(record_fd, LOCK_UN);
}

}  // namespace

_zam_record_turn::_zam_record_turn(const std::string& path, bool file) {
  if (!recording.load() || turns_closed.load()) return;
  turn_lock.lock();
  if (recording.load() && !recordName(path).empty()) {
    // A folder's turn takes the record's lock once the record is open; its
    // lines wait for the record till then.
    if (!file && record_fd < 0) {
      held = true;
      return;
    }
    if (openRecord()) {
      held = true;
      locked = true;
      return;
    }
    if (!record_extend_only) recording = false;  // no room for a record, say: nothing is recorded
  }
  turn_lock.unlock();
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
                     bool still_written) {
  if (!turn.locked || !S_ISREG(st.st_mode)) return true;
  const std::string name = recordName(path);
  if (name.empty() || name == ".") return true;
  append(std::exchange(record_made, std::string()) +
         fileLine('A', zam_identityOf(st), name, still_written ? 0 : zam_nowNs() + kNamingGrace));
  return true;
}

void zam_recordNotPlaced(const _zam_record_turn& turn, const std::string& path, const struct stat& st) {
  if (!turn.locked || !S_ISREG(st.st_mode)) return;
  const std::string name = recordName(path);
  if (name.empty() || name == ".") return;
  append(fileLine('X', zam_identityOf(st), name));
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
  append(std::exchange(record_made, std::string()) + line);
}

void zam_recordWrites(const std::string& folder, bool extend_only) {
  std::lock_guard<std::recursive_timed_mutex> hold(turn_lock);
  closeRecord();
  record_folder = folder;
  record_made.clear();
  record_extend_only = extend_only;
  std::vector<char> cwd(PATH_MAX + 1);
  working = getcwd(cwd.data(), cwd.size()) ? cwd.data() : "";
  record_root = record_folder.empty() || working.empty() ? std::string() : plainPath(record_folder, working);
  if (!record_root.empty() && record_root.back() != '/') record_root += '/';
  recording = !record_root.empty();
  if (recording && record_folder.back() != '/') record_folder += '/';
}

void zam_recordMade(const std::string& path) {
  struct stat st;
  if (!recording.load() || lstat(path.c_str(), &st) != 0) return;
  const _zam_record_turn turn(path, S_ISREG(st.st_mode));
  if (turn.held && lstat(path.c_str(), &st) == 0) zam_recordStatus(turn, path, st);
}

int zam_mkdirRecorded(const char* path, int mode) {
  const _zam_record_turn turn(path ? path : "", false);
  // Its M line first, where the record is open: a run stopped between the
  // folder and its D line leaves it covered.
  const std::string name = turn.held ? recordName(path) : std::string();
  if (!name.empty() && name != "." && turn.locked) append("M " + std::to_string(zam_nowNs()) + " " + name + "\n");
  const int made = zam_mkdir(path, mode);
  struct stat st;
  if (made && turn.held && lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) zam_recordStatus(turn, path, st);
  return made;
}

void zam_recordGrowing(const std::string& path) {
  struct stat st;
  if (!recording.load() || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  const _zam_record_turn turn(path);
  if (turn.held && lstat(path.c_str(), &st) == 0) zam_recordAhead(turn, path, st, true);
}

std::string zam_recordTrouble() { return std::string(); }

int zam_holdWriting(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
  if (errno != ENOLCK && errno != EOPNOTSUPP && errno != ENOSYS) return 0;
  struct flock l{};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  l.l_start = 0;
  l.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &l) == 0 ? 1 : 0;
}

int zam_writerGone(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  int gone = -1;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    flock(fd, LOCK_UN);
    gone = 1;
  } else if (errno == EWOULDBLOCK) {
    gone = 0;
  }
  // A writer whose file system refused flock holds the other kind.
  if (gone != 0) {
    struct flock l{};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = 0;
    l.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &l) == 0)
      gone = l.l_type == F_UNLCK ? (gone == -1 ? 1 : gone) : 0;
  }
  const int err = errno;
  close(fd);
  errno = err;
  return gone;
}

void zam_recordStop() {
  // Kept for good: the process ends with the stop.
  if (!turn_lock.try_lock_for(std::chrono::seconds(5))) turns_closed = true;
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
                  zam_flockSaying(fd, LOCK_SH, "another run that puts a file in place in " + dir) &&
                  ((past = readLines(fd, 0, &seen)), true);
  const int err = errno;
  close(fd);
  if (!ok) {
    errno = st.st_mode != 0 && !S_ISREG(st.st_mode) ? EPROTO : err;
    return 0;
  }
  // Without the head, trel's only when every line parses.
  if (seen.headless && (seen.unread > 0 || seen.lines == 0 || past != st.st_size)) {
    errno = EPROTO;
    return 0;
  }
  for (auto& [name, list] : seen.files) {
    std::vector<Journal::File> ahead;
    for (const Journal::File& f : list) {
      if (f.ahead)
        ahead.push_back(f);
      else
        entries->push_back(_zam_written_entry{'W', f.id, name});
    }
    _zam_identity now;
    if (!ahead.empty() && zam_identityAt((dir + name).c_str(), &now) && aheadOf(ahead, now))
      entries->push_back(_zam_written_entry{'W', now, name});
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
