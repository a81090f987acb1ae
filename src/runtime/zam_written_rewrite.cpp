// The results record rewritten: a new record written aside and put in
// place of the one held, with the lines of what still stands; and what was
// appended since the record was read, read and settled.
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
#include "runtime/zam_owner.h"
#include "runtime/zam_written_internal.h"

int (*zam_record_sync_call)(int fd) = nullptr;

namespace {

// fsync of a new record, or the test's stand-in.
int syncRecord(int fd) { return zam_record_sync_call ? zam_record_sync_call(fd) : fsync(fd); }

}  // namespace

namespace zam_written_internal {

namespace {

// The folder of path, ending in "/" ("." for a bare name).
std::string folderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// An unnamed file in folder, locked (*kind the lock taken: nobody knows
// the file yet, and its lock is held for as long as it stands); -1 where
// the system has no unnamed files.
int unnamedRecord(const std::string& folder, int* kind) {
  const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if ((*kind = zam_tryLockFile(fd, true)) != ZAM_LOCK_FAILED) return fd;
  const int err = errno;
  close(fd);
  errno = err;
  return -1;
}

// Gives the unnamed file fd the name name, never one already taken (EEXIST).
bool linkUnnamed(int fd, const std::string& name) {
  if (linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno == EEXIST) return false;
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, proc, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Writes text whole into fd, synced when sync.
bool writeSynced(int fd, const std::string& text, bool sync) {
  errno = 0;
  return zam_writeAll(fd, text.data(), static_cast<int64_t>(text.size())) == static_cast<int64_t>(text.size()) &&
         (!sync || syncRecord(fd) == 0);
}

// The record held names the new record open as fd at temp, with the A
// line of a file about to take that name: were the run killed before the
// new record takes the record's place, the next turn of any run settles
// the line (no other run is within this run's turn), and the record then
// covers the file at temp as trel's. False (errno) when the line could not
// be written.
bool coverAside(const std::string& temp, int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 &&
         append(aheadLine(aheadOfOpen(fd, st, recordNow() + kNamingGrace), temp.substr(record_folder.size())));
}

// Removes the name temp of a file this process made there (O_EXCL), and
// only while that file, open as fd, still stands there.
void removeMade(int fd, const std::string& temp) {
  if (zam_standsAt(fd, temp)) unlink(temp.c_str());
}

}  // namespace

int beginAside(const std::string& temp, int* kind, bool* unnamed) {
  // Where the system has unnamed files, the file is named in the record
  // held before it takes the temporary name (once written whole): a run
  // killed at any moment leaves no temporary that the record does not
  // cover. Elsewhere it is named at once, and a kill before its line
  // leaves a temporary that no line covers.
  int fd = unnamedRecord(folderOf(temp), kind);
  *unnamed = fd >= 0;
  if (fd < 0) {
    fd = open(temp.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    if ((*kind = zam_tryLockFile(fd, true)) == ZAM_LOCK_FAILED) {
      const int err = errno;
      removeMade(fd, temp);
      close(fd);
      errno = err;
      return -1;
    }
  }
  if (coverAside(temp, fd)) return fd;
  const int err = errno ? errno : EIO;
  if (!*unnamed) removeMade(fd, temp);
  close(fd);
  errno = err;
  return -1;
}

bool finishAside(int* fd, int* kind, const std::string& temp, const std::string& text, bool unnamed) {
  if (writeSynced(*fd, text, true) && (!unnamed || linkUnnamed(*fd, temp))) return true;
  int err = errno ? errno : EIO;
  if (!unnamed) removeMade(*fd, temp);
  close(*fd);
  *fd = -1;
  if (unnamed && err != EEXIST) {
    // An unnamed file that cannot be given a name here (no /proc, and no
    // right to link a descriptor): the named way, covered in its turn.
    *fd = open(temp.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (*fd < 0) return false;
    errno = 0;
    if ((*kind = zam_tryLockFile(*fd, true)) != ZAM_LOCK_FAILED && coverAside(temp, *fd) &&
        writeSynced(*fd, text, true))
      return true;
    err = errno ? errno : EIO;
    removeMade(*fd, temp);
    close(*fd);
    *fd = -1;
  }
  errno = err;
  return false;
}

bool makeRecord(const std::string& path) {
  // An unnamed file takes the record's name itself; where there are none,
  // a temporary is linked there and its name then removed (a run killed
  // in between leaves the record a second name, the same file).
  const std::string head = headLine();
  int kind = ZAM_LOCK_FAILED;
  int fd = unnamedRecord(folderOf(path), &kind);
  if (fd >= 0) {
    const bool ok = writeSynced(fd, head, false) && linkUnnamed(fd, path);
    const int err = errno;
    close(fd);
    errno = err;
    // One that cannot be given a name here (no /proc, and no right to link
    // a descriptor) leaves the named way.
    if (ok || err == EEXIST) return ok;
  }
  const std::string temp = zam_tempName(path);
  fd = open(temp.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool ok = writeSynced(fd, head, false) && link(temp.c_str(), path.c_str()) == 0;
  const int err = ok ? 0 : errno ? errno : EIO;
  removeMade(fd, temp);
  close(fd);
  errno = err;
  return ok;
}

bool isRecordTemp(const std::string& name) {
  const std::string stem = std::string(ZAM_WRITTEN_RECORD) + ".";
  constexpr size_t kEnd = 4;  // ".tmp"
  if (name.size() <= stem.size() + kEnd || name.compare(0, stem.size(), stem) != 0 ||
      name.compare(name.size() - kEnd, kEnd, ".tmp") != 0)
    return false;
  const std::string tag = name.substr(stem.size(), name.size() - stem.size() - kEnd);
  const size_t mark = zam_ownerMarkAt(tag);
  return mark != 0 && mark + 1 < tag.size() && tag[mark] == '-' &&
         tag.find_first_not_of("0123456789", mark + 1) == std::string::npos;
}

}  // namespace zam_written_internal

using namespace zam_written_internal;

namespace {

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
      fault(ZAM_RECORD_SWAPPED);
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
// line f allows it (W), or f's line again while the file is still written:
// by a writer that holds it (whether or not the line can prove the file
// its own), or one not known gone; "" when f covers nothing that stands.
// turn_lock held.
std::string settledLine(const Journal::File& f, const std::string& name, bool there, const _zam_identity& id,
                        const Birth& birth, int64_t now, bool* placed) {
  *placed = false;
  if (!there) return std::string();
  const bool allowed = allows(f, id, birth, now);
  if (f.by == 0 && (allowed || f.id.ino == id.ino)) {
    const int gone = zam_writerGone(record_folder + name);
    if (gone == 0 || (gone < 0 && allowed)) return aheadLine(f, name);
  }
  if (!allowed) return std::string();
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
  const int64_t now = recordNow();
  long lines = 0;
  for (auto& [name, list] : journal.files) {
    _zam_identity id{};
    Birth birth;
    const bool ahead = std::any_of(list.begin(), list.end(), [](const Journal::File& f) { return f.ahead; });
    const int look = identityBorn(record_folder + name, &id, &birth, ahead);
    if (look < 0) {
      // A name that cannot be looked at keeps its lines as they were: a
      // failure is not "nothing stands".
      for (const Journal::File& f : list) {
        text += f.ahead ? aheadLine(f, name) : fileLine('W', f.id, name);
        kept.files[name].push_back(f);
        lines++;
      }
      continue;
    }
    const bool there = look == 1;
    if (there && hasExact(list, id)) {
      text += fileLine('W', id, name);
      kept.files[name].push_back(Journal::File{id, false});
      lines++;
      continue;
    }
    for (const Journal::File& f : list) {
      bool placed = false;
      const std::string line = settledLine(f, name, there, id, birth, now, &placed);
      if (line.empty()) continue;
      text += line;
      kept.files[name].push_back(placed ? Journal::File{id, false} : f);
      lines++;
      break;
    }
  }
  for (auto& [name, list] : journal.folders) {
    struct stat st;
    int err = fault(ZAM_RECORD_LOOK);
    if (err == 0 && lstat((record_folder + name).c_str(), &st) != 0) err = errno;
    if (err != 0 && err != ENOENT && err != ENOTDIR) {
      for (const auto& [dev, ino] : list) {
        text += fileLine('D', _zam_identity{dev, ino, 0, 0, 0}, name);
        kept.folders[name].emplace_back(dev, ino);
        lines++;
      }
      continue;
    }
    if (err != 0 || !S_ISDIR(st.st_mode)) continue;
    const std::pair<uint64_t, uint64_t> self(st.st_dev, st.st_ino);
    if (std::find(list.begin(), list.end(), self) == list.end()) continue;
    text += fileLine('D', _zam_identity{self.first, self.second, 0, 0, 0}, name);
    kept.folders[name].push_back(self);
    lines++;
  }
  const std::string temp = zam_tempName(recordPath());
  int kind = ZAM_LOCK_FAILED;
  bool unnamed = false;
  int fd = beginAside(temp, &kind, &unnamed);
  if (fd < 0) return;
  // The record held comes to temp as the new one takes its place, until
  // it is removed there: the new record names it so (as it is once it
  // holds the new one's line), for a run killed in between.
  struct stat old;
  if (fstat(record_fd, &old) == 0) {
    text += aheadLine(aheadOfOpen(record_fd, old, recordNow() + kNamingGrace), temp.substr(record_folder.size()));
    lines++;
  }
  text = headLine() + kKept + std::to_string(lines) + "\n" + text;
  if (!finishAside(&fd, &kind, temp, text, unnamed)) return;
  if (fault(ZAM_RECORD_SWAP) != 0 || !swapInRecord(temp)) {
    removeMade(fd, temp);
    close(fd);
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

}  // namespace

namespace zam_written_internal {

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
  const int64_t now = recordNow();
  std::vector<std::string> names = std::exchange(journal.ahead_names, {});
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (const std::string& name : names) {
    const auto it = journal.files.find(name);
    if (it == journal.files.end()) continue;
    std::vector<Journal::File>& list = it->second;
    // Settled since its A line was read: nothing to look at.
    if (std::none_of(list.begin(), list.end(), [](const Journal::File& f) { return f.ahead; })) continue;
    _zam_identity id{};
    Birth birth;
    const int look = identityBorn(record_folder + name, &id, &birth, true);
    if (look < 0) continue;  // not looked at: its lines wait, unsettled, for a later look
    const bool there = look == 1;
    std::vector<Journal::File> next;
    bool done = false;
    for (const Journal::File& f : list) {
      if (!f.ahead) {
        next.push_back(f);
        continue;
      }
      bool placed = false;
      const std::string line = done ? std::string() : settledLine(f, name, there, id, birth, now, &placed);
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
  // A rewrite's temporary that the record covers was left by a run killed
  // in its rewrite (a live one holds the record's lock till its temporary
  // is gone): removed, where that lock orders the runs.
  if (whole && (record_lock == ZAM_LOCK_FLOCK || record_lock == ZAM_LOCK_OFD))
    for (auto it = journal.files.begin(); it != journal.files.end();) {
      bool gone = false;
      if (isRecordTemp(it->first))
        for (const Journal::File& f : it->second)
          if (!f.ahead) {
            const ZamRecorded r = zam_removeRecorded(record_folder + it->first, f.id);
            gone = gone || r == ZAM_RECORDED_REMOVED || r == ZAM_RECORDED_GONE;
          }
      it = gone ? journal.files.erase(it) : std::next(it);
    }
  // A rewrite's count of more lines than there are is damage too (and
  // never doubled past them).
  if (whole && (journal.unread > 0 || journal.headless || journal.kept > journal.lines ||
                (journal.lines > kCompactLines && journal.lines > 2 * journal.kept)))
    compact();
}

}  // namespace zam_written_internal
