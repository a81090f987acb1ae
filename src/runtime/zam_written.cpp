#include "runtime/zam_written.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "runtime/zam_file.h"
#include "runtime/zam_whole.h"

namespace {

// One turn at the record at a time in this process; it guards everything
// below. A turn of a file also holds the record file's lock (flock), which
// orders the turns of every run.
std::mutex turn_lock;
std::string record_folder;  // as given, ending in "/"; empty: no record
std::string record_root;    // the same, absolute and plain (plainPath), ending in "/"
std::string working;        // the working folder when the record began
std::atomic<bool> recording{false};
bool record_extend_only = false;  // only a record that is there is written to
int record_fd = -1;               // the record, open to read and append, once a file was recorded
bool record_checked = false;      // record_fd begins with the head line
std::string record_made;          // lines of folders made, held until the record is open
// What this process read of the record: the files its lines cover, by
// their name under the folder, read up to read_end.
std::map<std::string, std::vector<_zam_identity>> record_files;
int64_t read_end = 0;
bool record_damaged = false;  // a line holds a NUL byte: the record covers nothing

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
  if (e.kind == 'W') {
    if (!zam_parseIdentity(p, &e.id, &p)) return false;
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

// Reads the whole lines of bytes into *entries; the number of the first
// line holding a NUL byte goes to *damaged (0 when none). Returns the offset
// past the last whole line.
size_t parseLines(const std::string& bytes, std::vector<_zam_written_entry>* entries, long* damaged) {
  *damaged = 0;
  long number = 0;
  size_t at = 0;
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

std::string headLine() { return std::string(ZAM_WRITTEN_HEAD) + "\n"; }

// Whether the file open as fd begins with the record's head line.
bool hasHead(int fd) {
  const std::string head = headLine();
  std::string first(head.size(), '\0');
  return zam_readAll(fd, first.data(), static_cast<int64_t>(first.size()), 0) ==
             static_cast<int64_t>(first.size()) &&
         first == head;
}

// Makes the record at path with its head line, whole: written under a
// temporary name and linked at path only when the name is free (EEXIST
// otherwise), so that no run ever meets a record without its head.
bool makeRecord(const std::string& path) {
  const std::string temp = zam_tempName(path);
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const std::string head = headLine();
  bool ok = zam_writeAll(fd, head.data(), static_cast<int64_t>(head.size())) == static_cast<int64_t>(head.size());
  ok = close(fd) == 0 && ok;
  ok = ok && link(temp.c_str(), path.c_str()) == 0;
  const int err = errno;
  unlink(temp.c_str());
  errno = err;
  return ok;
}

void forgetRead() {
  record_files.clear();
  record_damaged = false;
  read_end = 0;
}

void closeRecord() {
  if (record_fd >= 0) close(record_fd);
  record_fd = -1;
  record_checked = false;
  forgetRead();
}

// Opens the record (made when missing) and takes its lock. A file at its
// name that is not trel's record is moved aside, under that file's lock,
// so that another run that looked at it too finds it gone and looks again.
// False when there is no record to keep: only an existing one is kept and
// there is none, or it cannot be had (a link or a folder at its name).
// turn_lock held.
bool openRecord() {
  const std::string path = record_folder + ZAM_WRITTEN_RECORD;
  for (int tries = 0; tries < 100; ++tries) {
    if (record_fd < 0) {
      record_fd = open(path.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (record_fd < 0) {
        if (errno == ENOENT && !record_extend_only && (makeRecord(path) || errno == EEXIST)) continue;
        return false;
      }
      record_checked = false;
      forgetRead();
    }
    // A file system that keeps no locks leaves the turns to this process.
    while (flock(record_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat mine, there;
    const bool still = fstat(record_fd, &mine) == 0 && lstat(path.c_str(), &there) == 0 &&
                       mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
    if (still && S_ISREG(mine.st_mode) && (record_checked || hasHead(record_fd))) {
      record_checked = true;
      return true;
    }
    std::string aside;
    if (still && !record_extend_only) {
      aside = zam_placeNumbered(path, path);
      if (aside.empty() && errno != ENOENT) {
        closeRecord();
        return false;
      }
    }
    closeRecord();  // and its lock
    if (!aside.empty()) zam_noteSetAside(path, aside);
    if (still && record_extend_only) return false;
  }
  closeRecord();
  return false;
}

// Reads what was appended to the record since it was last read. turn_lock
// and the record's lock held.
void readRecordTail() {
  struct stat st;
  if (fstat(record_fd, &st) != 0) return;
  if (st.st_size < read_end) forgetRead();
  std::string bytes;
  if (st.st_size - read_end <= kRecordMax) bytes.resize(static_cast<size_t>(st.st_size - read_end));
  const int64_t got = zam_readAll(record_fd, bytes.data(), static_cast<int64_t>(bytes.size()), read_end);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);  // a line cut short is read the next time
  std::vector<_zam_written_entry> entries;
  long damaged = 0;
  read_end += static_cast<int64_t>(parseLines(bytes, &entries, &damaged));
  if (damaged) record_damaged = true;
  for (_zam_written_entry& e : entries)
    if (e.kind == 'W') record_files[e.path].push_back(e.id);
}

bool covered(const std::string& name, const _zam_identity& id) {
  if (record_damaged) return false;
  const auto it = record_files.find(name);
  if (it == record_files.end()) return false;
  for (const _zam_identity& line : it->second)
    if (zam_sameIdentity(line, id)) return true;
  return false;
}

}  // namespace

_zam_record_turn::_zam_record_turn(const std::string& path, bool file) {
  if (!recording.load()) return;
  turn_lock.lock();
  if (recording.load() && !recordName(path).empty()) {
    if (!file || openRecord()) {
      held = true;
      locked = file;
      return;
    }
    if (!record_extend_only) recording = false;  // a link at the record's name, say: nothing is recorded
  }
  turn_lock.unlock();
}

_zam_record_turn::~_zam_record_turn() {
  if (!held) return;
  if (locked && record_fd >= 0) flock(record_fd, LOCK_UN);
  turn_lock.unlock();
}

bool zam_recordCovers(const _zam_record_turn& turn, const std::string& path, const _zam_identity& id) {
  if (!turn.locked) return false;
  const std::string name = recordName(path);
  if (name.empty() || name == ".") return false;
  if (covered(name, id)) return true;
  readRecordTail();
  return covered(name, id);
}

void zam_recordStatus(const _zam_record_turn& turn, const std::string& path, const struct stat& st) {
  if (!turn.held) return;
  const std::string name = recordName(path);
  if (name.empty()) return;
  std::string line;
  if (S_ISDIR(st.st_mode))
    line = "D " + std::to_string(static_cast<unsigned long long>(st.st_dev)) + " " +
           std::to_string(static_cast<unsigned long long>(st.st_ino)) + " " + name + "\n";
  else if (S_ISREG(st.st_mode) && turn.locked)
    line = "W " + zam_identityText(zam_identityOf(st)) + " " + name + "\n";
  else
    return;
  // Folders are held back until a file is recorded: a run that writes
  // nothing leaves no record behind.
  if (record_fd < 0) {
    record_made += line;
    return;
  }
  const std::string lines = std::exchange(record_made, std::string()) + line;
  if (zam_writeAll(record_fd, lines.data(), static_cast<int64_t>(lines.size())) < 0) {
    // A record that cannot take a line is left incomplete: the files it
    // misses are only kept by a purge, or set aside by a later run, never lost.
  }
}

void zam_recordWrites(const std::string& folder, bool extend_only) {
  std::lock_guard<std::mutex> hold(turn_lock);
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

int zam_readWritten(const std::string& folder, std::vector<_zam_written_entry>* entries, long* damaged_line) {
  entries->clear();
  if (damaged_line) *damaged_line = 0;
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  std::string bytes;
  if (!zam_readWholeFile((path + ZAM_WRITTEN_RECORD).c_str(), &bytes, kRecordMax)) return 0;
  if (bytes.compare(0, headLine().size(), headLine()) != 0) {
    errno = EPROTO;
    return 0;
  }
  long damaged = 0;
  parseLines(bytes, entries, &damaged);
  if (damaged == 0) return 1;
  if (damaged_line) *damaged_line = damaged;
  errno = EILSEQ;
  return 0;
}
