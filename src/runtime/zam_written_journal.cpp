// The results record read: its lines into a journal, and what settles an
// unsettled line (zam_readWritten, and every turn's reading).
#include "runtime/zam_written.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
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
#include "runtime/zam_written_internal.h"

int64_t (*zam_record_clock)() = nullptr;

namespace zam_written_internal {

int64_t recordNow() { return zam_record_clock ? zam_record_clock() : zam_nowNs(); }

namespace {

// Whether errno err says that nothing stands at a name (rather than that it
// could not be looked at).
bool nothingThere(int err) { return err == ENOENT || err == ENOTDIR; }

}  // namespace

bool Presence::has(const std::string& name) {
  if (name == ".") return true;
  struct stat st;
  if (!list) {
    const int err = fault(ZAM_RECORD_LOOK);
    if (err == 0 && lstat((root + name).c_str(), &st) == 0) return true;
    return !nothingThere(err ? err : errno);  // a name that cannot be looked at keeps its lines
  }
  const size_t slash = name.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
  auto it = listed.find(dir);
  if (it == listed.end()) {
    Listing listing;
    int err = fault(ZAM_RECORD_LIST);
    if (err == 0 && !zam_folderEntries(root + (dir.empty() ? "." : dir), &listing.entries)) err = errno;
    // A folder that cannot be listed is not taken as empty: the lines of
    // the names in it are kept (a folder that is gone holds nothing).
    listing.known = err == 0 || nothingThere(err);
    if (!listing.known) listing.entries.clear();
    std::sort(listing.entries.begin(), listing.entries.end());
    it = listed.emplace(dir, std::move(listing)).first;
  }
  return !it->second.known ||
         std::binary_search(it->second.entries.begin(), it->second.entries.end(), name.substr(slash + 1));
}

namespace {

int64_t nanoseconds(const struct statx_timestamp& s) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(s.tv_sec);
  t.tv_nsec = static_cast<long>(s.tv_nsec);
  return zam_nanoseconds(t);
}

// The inode generation of the file open as fd; 0 where the file system
// gives none (one that gives 0 to every file proves nothing either).
uint64_t generationOf(int fd) {
  long gen = 0;  // the kernel writes an int's bytes
  if ((zam_stamp_fault && zam_stamp_fault(true)) || ioctl(fd, FS_IOC_GETVERSION, &gen) != 0) return 0;
  return static_cast<uint32_t>(gen);
}

}  // namespace

Birth birthOf(int fd) {
  Birth b;
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0) b.born = zam_bornIn(sx);
  if (b.born == 0) b.gen = generationOf(fd);
  return b;
}

Journal::File aheadOfOpen(int fd, const struct stat& st, int64_t by, const int64_t* born) {
  // The birth time looked at with st spares a look; where none is kept,
  // the file is looked at for its generation.
  const Birth b = born && *born != 0 ? Birth{*born, 0} : birthOf(fd);
  return Journal::File{zam_identityOf(st), true, by, true, b.born, b.gen};
}

int identityBorn(const std::string& path, _zam_identity* id, Birth* birth, bool gen) {
  struct statx sx;
  if (const int err = fault(ZAM_RECORD_LOOK)) {
    errno = err;
    return -1;
  }
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
    return nothingThere(errno) ? 0 : -1;
  if (!S_ISREG(sx.stx_mode)) return 0;
  *id = _zam_identity{static_cast<uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor)), sx.stx_ino,
                      static_cast<int64_t>(sx.stx_size), nanoseconds(sx.stx_mtime), nanoseconds(sx.stx_ctime)};
  *birth = Birth{zam_bornIn(sx), 0};
  if (birth->born != 0 || !gen) return 1;
  // The generation of the file that stands there now: one opened by name
  // that is another (replaced meanwhile) gives none.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 1;
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_ino == id->ino && static_cast<uint64_t>(st.st_dev) == id->dev)
    birth->gen = generationOf(fd);
  close(fd);
  return 1;
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
bool allows(const Journal::File& f, const _zam_identity& id, const Birth& birth, int64_t now) {
  if (!f.ahead || f.id.ino == 0 || f.id.dev != id.dev || f.id.ino != id.ino || f.id.ctime_ns <= 0) return false;
  if (id.size < f.id.size || id.mtime_ns < f.id.mtime_ns || id.ctime_ns < f.id.ctime_ns) return false;
  if (f.by != 0 && (f.by - f.id.ctime_ns > kNamingGrace + kNamingMargin || id.ctime_ns > std::min(f.by, now)))
    return false;
  if (f.born_known && f.born != 0) return birth.born == f.born;
  // Written where the file system keeps no birth time: the inode
  // generation, where it gave one; with neither, nothing proves the file
  // the one announced, and the line settles nothing (the file costs a copy,
  // set aside once, never a user's file taken).
  if (f.born_known) return f.gen != 0 && birth.born == 0 && birth.gen == f.gen;
  // A line written without the birth time: only a file born before the line
  // was written (where no birth time is kept, none is known to be).
  return birth.born != 0 && f.by != 0 && birth.born <= f.by - kNamingGrace;
}

// The line of f (its kind A or B), unsettled, for the file at name.
std::string aheadLine(const Journal::File& f, const std::string& name) {
  const std::string line = zam_identityText(f.id) + " " + std::to_string(f.by) + " ";
  if (f.gen != 0) return "G " + line + std::to_string(f.gen) + " " + name + "\n";
  if (f.born_known) return "B " + line + std::to_string(f.born) + " " + name + "\n";
  return "A " + line + name + "\n";
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
  made = std::min(made, recordNow());
  const int64_t born = zam_bornIn(sx);
  const int64_t when = born != 0 ? born : nanoseconds(sx.stx_ctime);
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
  } else if (kind == 'A' || kind == 'B' || kind == 'G') {
    ok = zam_parseIdentity(at, end, &id, &at) && at < end && *at++ == ' ' && zam_parseNumber(at, end, INT64_MAX, &by);
    if (ok && kind != 'A')
      ok = at < end && *at++ == ' ' && zam_parseNumber(at, end, kind == 'B' ? INT64_MAX : UINT32_MAX, &born);
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
  if (kind == 'A' || kind == 'B' || kind == 'G') {
    list.push_back(File{id, true, static_cast<int64_t>(by), kind != 'A', kind == 'B' ? static_cast<int64_t>(born) : 0,
                        kind == 'G' ? born : 0});
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

bool hasHead(int fd) {
  const std::string head = headLine();
  std::string first(head.size(), '\0');
  return zam_readAll(fd, first.data(), static_cast<int64_t>(first.size()), 0) ==
             static_cast<int64_t>(first.size()) &&
         first == head;
}

std::string headLine() { return std::string(ZAM_WRITTEN_HEAD) + "\n"; }

std::string fileLine(char kind, const _zam_identity& id, const std::string& name, int64_t by) {
  if (kind == 'X' || kind == 'D')
    return std::string(1, kind) + " " + std::to_string(id.dev) + " " + std::to_string(id.ino) + " " + name + "\n";
  if (kind == 'A') return "A " + zam_identityText(id) + " " + std::to_string(by) + " " + name + "\n";
  return std::string(1, kind) + " " + zam_identityText(id) + " " + name + "\n";
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

}  // namespace zam_written_internal

using namespace zam_written_internal;

int zam_readWritten(const std::string& folder, std::vector<_zam_written_entry>* entries, _zam_written_read* read) {
  entries->clear();
  if (read) *read = _zam_written_read{};
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  const std::string path = dir + ZAM_WRITTEN_RECORD;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st{};
  Presence presence{dir, true, {}};
  Journal seen;
  seen.presence = &presence;
  int64_t past = 0;
  int kind = ZAM_LOCK_FAILED;
  const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  (kind = zam_lockFile(fd, false, "another run that puts a file in place in " + dir, dir)) !=
                      ZAM_LOCK_FAILED &&
                  fstat(fd, &st) == 0 && ((past = readLines(fd, 0, &seen)), true);
  if (read && ok)
    *read = _zam_written_read{false, kind, zam_standsAt(fd, path), static_cast<uint64_t>(st.st_dev),
                              static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size)};
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
  if (read) read->trels = true;
  const int64_t now = recordNow();
  for (auto& [name, list] : seen.files) {
    bool ahead = false;
    for (const Journal::File& f : list) {
      if (f.ahead)
        ahead = true;
      else
        entries->push_back(_zam_written_entry{'W', f.id, name});
    }
    _zam_identity id{};
    Birth birth;
    if (!ahead || identityBorn(dir + name, &id, &birth, true) != 1) continue;
    for (const Journal::File& f : list) {
      if (!allows(f, id, birth, now) || (f.by == 0 && zam_writerGone(dir + name) != 1)) continue;
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
