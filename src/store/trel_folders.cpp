#include "store/trel_folders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_lock.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"
#include "runtime/zam_whole.h"
#include "runtime/zam_written.h"
#include "store/trel_cache.h"

namespace {

constexpr int kLineBuffer = 4096;  // a first word cut here is far over the name limit, so still refused
constexpr int kNameSlot = 32;      // a member name keeps at most 31 characters
constexpr const char* kPurgeName = "trel_results";

const char* text(const char* s) { return s ? s : ""; }

bool isSep(char c) { return c == '/' || c == '\\'; }

bool isAbsolute(const std::string& name) { return !name.empty() && isSep(name[0]); }

// Folder names are cut in messages so that the message itself stays whole.
void tooLong(const char* what, const std::string& name) {
  zam_err("%s longer than %d characters: %.64s...\n", what, TREL_PATH_MAX, name.c_str());
}

// The working folder followed by "/"; empty (after a report) when unknown.
std::string workingFolder() {
  char cwd[TREL_PATH_MAX + 1];
  zam_get_cwd(cwd);
  if (!cwd[0]) {
    zam_err("Cannot determine the current working folder.\n");
    return std::string();
  }
  std::string s = cwd;
  if (!isSep(s.back())) s += "/";
  return s;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

// The first blank-separated word of a line (blanks as isspace).
std::string firstWord(const char* line) {
  const char* p = line;
  while (isBlank(*p)) ++p;
  const char* q = p;
  while (*q && !isBlank(*q)) ++q;
  return std::string(p, q);
}

// The line without the blanks around it.
std::string trimmed(const std::string& line) {
  size_t from = 0, to = line.size();
  while (from < to && isBlank(line[from])) ++from;
  while (to > from && isBlank(line[to - 1])) --to;
  return line.substr(from, to - from);
}

// A line of a list file that names nothing: blank, or a comment ('#').
bool isComment(const std::string& line) {
  const std::string t = trimmed(line);
  return t.empty() || t[0] == '#';
}

struct FileCloser {
  void operator()(_zam_file* f) const { zam_fclose(f); }
};
using FileGuard = std::unique_ptr<_zam_file, FileCloser>;

// Every line of a list file, in order; false after a report when the file
// cannot be opened or read to its end.
bool readLines(const char* path, const char* what, std::vector<std::string>& lines) {
  FileGuard f(zam_fopen(path, "r"));
  if (!f) {
    zam_err("Failed to open %s: %s [%s]\n", what, path, strerror(errno));
    return false;
  }
  std::vector<char> buf(kLineBuffer);
  while (zam_freadln(f.get(), kLineBuffer, buf.data()) >= 0) lines.emplace_back(buf.data());
  // A folder opened as a file, an I/O error or a damaged compressed stream.
  if (zam_ferror(f.get())) {
    zam_err("Failed to read %s: %s (after line %zu) [%s]\n", what, path, lines.size(), zam_ferrorText(f.get()));
    return false;
  }
  return true;
}

// A kget1S array holding copies of the names; null for none.
char** stringArray(const std::vector<std::string>& names) {
  if (names.empty()) return nullptr;
  char** out = kget1S(static_cast<int64_t>(names.size()));
  for (size_t i = 0; i < names.size(); ++i) out[i] = kdupS(names[i].c_str());
  return out;
}

// A file a list names, with its identity when it was looked at (all zero
// for anything but a regular file): the one look the run takes at it.
struct Listed {
  std::string path;
  _zam_identity id;
};

// Whether anything stands at path (a link followed), and into *id the
// identity of a regular file there (else all zero).
bool look(const std::string& path, _zam_identity* id) {
  struct stat st;
  *id = _zam_identity{};
  if (stat(path.c_str(), &st) != 0) return false;
  if (S_ISREG(st.st_mode)) *id = zam_identityOf(st);
  return true;
}

// Every regular file of a folder (dot files excluded), joined to the
// folder's full name. A sub-folder, a device, a pipe (opening it would
// wait for a writer) or a dangling link is not a structure file; a link to
// a regular file is.
bool folderFiles(const std::string& source, const std::string& cwd, std::vector<Listed>& files) {
  std::string scan = isAbsolute(source) ? source : cwd + source;
  if (scan.back() != '/') scan += "/";
  int count = 0;
  char** entries = kscanDir(scan.c_str(), "*", &count);
  if (!entries) {
    zam_err("Failed to read folder: %s\n", scan.c_str());
    return false;
  }
  for (int i = 0; i < count; ++i) {
    std::string name = scan + entries[i];
    if (name.size() > static_cast<size_t>(TREL_PATH_MAX)) {
      // Left out like a missing file, so a warning: the run goes on without it.
      zam_wrn("File name longer than %d characters: %.64s...\n", TREL_PATH_MAX, name.c_str());
      continue;
    }
    _zam_identity id;
    if (!look(name, &id) || id.ino == 0) continue;
    files.push_back(Listed{std::move(name), id});
  }
  kfree(entries);
  return true;
}

// The file named by every line of a list file, made absolute: the whole
// line when a file has that name (a name with blanks), else its first word
// (words after a name are notes). Blank lines and '#' lines are comments;
// names of missing files are left out with a warning.
bool listFiles(const char* source, const std::string& cwd, std::vector<Listed>& files) {
  std::vector<std::string> lines;
  if (!readLines(source, "file list", lines)) return false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (isComment(lines[i])) continue;
    std::string word = trimmed(lines[i]);
    const std::string whole = isAbsolute(word) ? word : cwd + word;
    _zam_identity id;
    bool found = whole.size() <= static_cast<size_t>(TREL_PATH_MAX) && look(whole, &id);
    if (!found) {
      const std::string first = firstWord(word.c_str());
      const std::string named = isAbsolute(first) ? first : cwd + first;
      if (first != word && named.size() <= static_cast<size_t>(TREL_PATH_MAX) && look(named, &id)) {
        word = first;
        found = true;
      }
    }
    std::string name = isAbsolute(word) ? word : cwd + word;
    if (name.size() > static_cast<size_t>(TREL_PATH_MAX)) {
      // Left out like a missing file, so a warning: the run goes on without it.
      zam_wrn("Bad line %zu of %s: file name longer than %d characters: %.64s...\n", i + 1,
              source, TREL_PATH_MAX, name.c_str());
      continue;
    }
    if (!found) {
      zam_wrn("File not found : %s (line %zu of %s)\n", name.c_str(), i + 1, source);
      continue;
    }
    files.push_back(Listed{std::move(name), id});
  }
  return true;
}

// Keeps the files that hold an ATOM or HETATM record and says once how many
// of the folder's files it left out. A file the object cache in
// cache_folder (may be null) knows as it stands is kept unread.
void keepStructures(const char* folder, const char* cache_folder, std::vector<Listed>& files) {
  std::vector<Listed> kept;
  for (Listed& f : files)
    if (trel_cachedStructure(f.path.c_str(), cache_folder, f.id) || trel_hasAtomRecords(f.path.c_str()))
      kept.push_back(std::move(f));
  const size_t skipped = files.size() - kept.size();
  if (skipped > 0)
    zam_wrn("Skipped %zu file%s in %s that hold%s no ATOM or HETATM record (not structure files).\n",
            skipped, skipped == 1 ? "" : "s", folder, skipped == 1 ? "s" : "");
  files = std::move(kept);
}

// The last name of a folder's path, as it is (no ending dropped).
std::string lastName(std::string path) {
  while (!path.empty() && isSep(path.back())) path.pop_back();
  const size_t at = path.find_last_of("/\\");
  return at == std::string::npos ? path : path.substr(at + 1);
}

// What the record of a results folder (ZAM_WRITTEN_RECORD) says the tool
// wrote there, by the name each file and folder had under it: the
// identities of the files written at a name (several when it was written
// again), and the folders made.
struct Written {
  std::map<std::string, std::vector<_zam_identity>> files;
  std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> folders;  // device, inode
};

Written takeRecord(const std::vector<_zam_written_entry>& entries) {
  Written w;
  for (const _zam_written_entry& e : entries) {
    if (e.kind == 'W') w.files[e.path].push_back(e.id);
    if (e.kind == 'D') w.folders[e.path].emplace_back(e.id.dev, e.id.ino);
  }
  return w;
}

// Whether folder (ending in "/") holds nothing but the file own (may be
// null), compared by identity.
bool emptyFolder(const std::string& folder, const char* own) {
  struct stat mine;
  const bool have_own = own && lstat(own, &mine) == 0;
  std::vector<std::string> entries;
  if (!zam_folderEntries(folder, &entries)) return false;
  bool empty = true;
  for (const std::string& entry : entries) {
    struct stat st;
    const bool is_own = have_own && lstat((folder + entry).c_str(), &st) == 0 && st.st_dev == mine.st_dev &&
                        st.st_ino == mine.st_ino;
    if (!is_own) empty = false;
  }
  return empty;
}

// The record file as the purge read it (device, inode and size), so that
// it goes only while it holds nothing but what was read; none seen: kept.
struct RecordSeen {
  bool seen = false;
  uint64_t dev = 0, ino = 0;
  int64_t size = 0;
};

// Reads the record of folder (ending in "/") into *entries as
// zam_readWritten does; the record file it read, with its size as read
// under its lock (no run appends meanwhile), goes to *seen when it still
// stood at its name. 1; 0 as zam_readWritten.
int readRecord(const std::string& folder, std::vector<_zam_written_entry>* entries, RecordSeen* seen) {
  _zam_written_read read;
  const int got = zam_readWritten(folder, entries, &read);
  if (got && read.lock != ZAM_LOCK_FAILED && read.stood)
    *seen = RecordSeen{true, read.dev, read.ino, read.size};
  return got;
}

// Removes the record at path under its lock, only while it is the file the
// purge read and holds no more than it did then: a run that appended to it
// meanwhile, or put another record there, keeps its lines. True when the
// record is gone.
bool removeRecord(const std::string& path, const RecordSeen& seen) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  struct stat mine;
  bool removed = false;
  if (seen.seen &&
      zam_lockFile(fd, true, "another run that puts a file in place in " + path, path) != ZAM_LOCK_FAILED &&
      zam_standsAt(fd, path) && fstat(fd, &mine) == 0 && uint64_t(mine.st_dev) == seen.dev &&
      uint64_t(mine.st_ino) == seen.ino && int64_t(mine.st_size) == seen.size)
    removed = unlink(path.c_str()) == 0;
  close(fd);  // and its lock
  if (!removed) zam_msg("Keeping %s: trel wrote to it during the purge\n", path.c_str());
  return removed;
}

struct Purge {
  const Written& written;
  bool really;
  RecordSeen record;
  std::pair<uint64_t, uint64_t> own{0, 0};  // this run's log (device, inode), which grows as it goes
  int kept = 0;
  bool failed = false;
};

// Removes (or lists) the regular file at path, named at under the folder,
// when a line of the record names it there with the identity it has now and
// it has no other name; else keeps and names it. True when it is gone (or
// would be).
bool purgeFile(const std::string& path, const std::string& at, const struct stat& st, Purge& purge) {
  const _zam_identity now = zam_identityOf(st);
  const _zam_identity* line = nullptr;
  if (const auto it = purge.written.files.find(at); it != purge.written.files.end())
    for (const _zam_identity& id : it->second)
      if (zam_sameIdentity(id, now)) line = &id;
  switch (line ? zam_removeRecorded(path, *line, purge.really) : ZAM_RECORDED_CHANGED) {
    case ZAM_RECORDED_REMOVED:
      if (!purge.really) zam_msg("UNLINK: %s\n", path.c_str());
      return true;
    case ZAM_RECORDED_GONE:
      return true;
    case ZAM_RECORDED_LINKED:
      zam_msg("Keeping %s: it has another name too (a hard link), whose data would go with it\n", path.c_str());
      break;
    case ZAM_RECORDED_FAILED:
      zam_err("Failed to delete %s [%s]\n", path.c_str(), strerror(errno));
      purge.failed = true;
      return false;
    case ZAM_RECORDED_CHANGED:
      // A file a live run writes under a temporary name.
      if (zam_writerGone(path) == 0) {
        zam_msg("Keeping %s: a run that is still going writes it\n", path.c_str());
        return false;
      }
      zam_msg("Keeping %s\n", path.c_str());
      break;
  }
  purge.kept++;
  return false;
}

// A folder of the results held while it is purged: a run that would begin
// writing a query into it waits, as it takes the folder's lock before it
// marks itself (zam_lockFile), and a run that writes into it now is known
// by its mark. The lock goes with release, or with the hold.
struct FolderHold {
  int fd = -1;
  explicit FolderHold(const std::string& path) : fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd >= 0) zam_lockFile(fd, true, "a run writing into " + path, path);
  }
  ~FolderHold() { release(); }
  FolderHold(const FolderHold&) = delete;
  FolderHold& operator=(const FolderHold&) = delete;
  void release() {
    if (fd >= 0) close(std::exchange(fd, -1));
  }
};

// Whether a run that is still going writes into the folder at path (named
// at under the results folder), held as hold: a run marks the folder while
// it writes a query's files there (a byte of its own, zam_markedAnywhere);
// where the file system refuses such marks, it marks a file of its own
// that the record names (<query>.kwriting) instead.
bool liveWriter(const FolderHold& hold, const std::string& path, const std::string& at, const Purge& purge) {
  const int marked = hold.fd >= 0 ? zam_markedAnywhere(hold.fd) : -1;
  if (marked >= 0) return marked == 1;
  const std::string in = at == "." ? "" : at + "/", end = ".kwriting";
  const auto& files = purge.written.files;
  for (auto it = files.lower_bound(in); it != files.end() && it->first.compare(0, in.size(), in) == 0; ++it) {
    const std::string name = it->first.substr(in.size());
    if (name.find('/') != std::string::npos || name.size() <= end.size() ||
        name.compare(name.size() - end.size(), end.size(), end) != 0)
      continue;
    const int fd = open((path + "/" + name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const bool held = fd >= 0 && zam_markedByOthers(fd) == 1;
    if (fd >= 0) close(fd);
    if (held) return true;
  }
  return false;
}

// A regular file among the entries of the folder at path, other than this
// run's own log, that a run still going writes (its log, a temporary file):
// its name, or "" when there is none.
std::string liveFile(const std::string& path, const std::vector<std::string>& entries, const Purge& purge) {
  for (const std::string& entry : entries) {
    const std::string file = path + "/" + entry;
    struct stat st;
    if (lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        std::pair<uint64_t, uint64_t>(st.st_dev, st.st_ino) != purge.own && zam_writerGone(file) == 0)
      return file;
  }
  return std::string();
}

// Removes (or lists) what the record names under path (named at under the
// folder, "." the folder itself), innermost first, links never followed;
// keeps and names the rest. A folder goes when the record says the tool
// made it there and nothing is left in it; the record itself goes with the
// top folder's last file of the tool, and this run's log with the last file
// of its folder. True when path is gone (or would be).
bool purgeFolder(const std::string& path, const std::string& at, Purge& purge) {
  const bool top = at == ".";
  FolderHold hold(path);
  // The files of a folder a live run writes into are its, or may be again
  // before it ends: left, and its folders looked at each on its own.
  const bool live = liveWriter(hold, path, at, purge);
  if (live && !top) {
    hold.release();
    zam_msg("Keeping the files in %s: a run that is still going writes into it\n", path.c_str());
  }
  std::vector<std::string> entries;
  if (!zam_folderEntries(path, &entries)) {
    zam_err("Failed to read folder %s [%s]\n", path.c_str(), strerror(errno));
    purge.failed = true;
    return false;
  }
  std::sort(entries.begin(), entries.end());
  // A run still going that writes into the results folder itself (its log
  // there, or its mark of the folder) may write into any folder of it, one
  // it has made and not yet marked too: all of it is left.
  const std::string busy = top && !live ? liveFile(path, entries, purge) : std::string();
  if (top && (live || !busy.empty())) {
    zam_msg("Keeping the results folder %s: a run that is still going writes into it%s%s%s\n", path.c_str(),
            busy.empty() ? "" : " (", busy.c_str(), busy.empty() ? "" : ")");
    return false;
  }
  size_t left = 0;
  std::string own;
  for (const std::string& entry : entries) {
    const std::string file = path + "/" + entry, name = top ? entry : at + "/" + entry;
    struct stat st;
    if (top && entry == ZAM_WRITTEN_RECORD) continue;  // taken last
    if (lstat(file.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (!purgeFolder(file, name, purge)) left++;
    } else if (S_ISREG(st.st_mode) && std::pair<uint64_t, uint64_t>(st.st_dev, st.st_ino) == purge.own) {
      own = file;
    } else if (live) {
      left++;
    } else if (!S_ISREG(st.st_mode)) {
      zam_msg("Keeping %s\n", file.c_str());
      purge.kept++;
      left++;
    } else if (!purgeFile(file, name, st, purge)) {
      left++;
    }
  }
  // This run's log stays beside what is kept, to say what that is.
  if (!own.empty() && left == 0) {
    if (!purge.really)
      zam_msg("UNLINK: %s\n", own.c_str());
    else if (unlink(own.c_str()) != 0 && errno != ENOENT)
      left++;
  } else if (!own.empty()) {
    left++;
  }
  // The record is the tool's own file: it goes once it names nothing left.
  if (top && left == 0) {
    const std::string record = path + "/" + ZAM_WRITTEN_RECORD;
    if (!purge.really)
      zam_msg("UNLINK: %s\n", record.c_str());
    else if (!removeRecord(record, purge.record))
      left++;
  }
  struct stat st;
  if (left > 0 || lstat(path.c_str(), &st) != 0) return false;
  // The results folder itself goes once nothing is left in it, its line or
  // none (a run stopped before its first file was recorded has none), as
  // one that holds nothing and no record does.
  const auto made = purge.written.folders.find(at);
  const std::pair<uint64_t, uint64_t> self(st.st_dev, st.st_ino);
  if (!top && (made == purge.written.folders.end() ||
               std::find(made->second.begin(), made->second.end(), self) == made->second.end()))
    return false;
  if (!purge.really) {
    zam_msg("RMDIR: %s\n", path.c_str());
    return true;
  }
  return rmdir(path.c_str()) == 0;
}

// Whether the folder may be purged: its last part is exactly kPurgeName,
// and it holds trel's record, read into *entries and *record, or nothing
// (but the file own, may be null). Says why not, and how to delete it by
// hand, when not.
bool mayPurge(const char* folder, const char* own, std::vector<_zam_written_entry>* entries, RecordSeen* record) {
  const std::string name = lastName(folder);
  bool refused = true;
  if (name.empty() || name == "." || name == "..")
    zam_err("Results folder \"%s\" is not safe for purge!\n", folder);
  else if (name != kPurgeName)
    zam_err("Results folder \"%s\" does not contain \"%s\", which is not safe for purge!\n",
            folder, kPurgeName);
  else
    refused = false;
  std::string top = folder;
  if (top.empty() || !isSep(top.back())) top += "/";
  struct stat st;
  if (!refused && !readRecord(top, entries, record)) {
    if (errno == EPROTO) {
      zam_err("The file %s%s is not trel's record of the files it wrote: nothing is removed.\n", top.c_str(),
              ZAM_WRITTEN_RECORD);
      refused = true;
    } else if (emptyFolder(top, own) && lstat(top.c_str(), &st) == 0) {
      // A folder without a record that holds nothing (but this run's log)
      // loses nothing when it goes.
      entries->push_back(
          _zam_written_entry{'D', _zam_identity{uint64_t(st.st_dev), uint64_t(st.st_ino), 0, 0, 0}, "."});
    } else {
      zam_err("Results folder \"%s\" holds no record of the files trel wrote in it: nothing is removed.\n",
              folder);
      refused = true;
    }
  }
  if (refused) zam_msg("Please use the command line to delete the results folder %s (?)\n", folder);
  return !refused;
}

}  // namespace

int trel_hasAtomRecords(const char* path) {
  FileGuard f(zam_fopen(path, "r"));
  if (!f) return 0;
  std::vector<char> buf(kLineBuffer);
  // "ATOM " and a serial number that overflows into column 6 still count,
  // as the PDB reader takes them.
  while (zam_freadln(f.get(), kLineBuffer, buf.data()) >= 0)
    if (!std::strncmp(buf.data(), "ATOM ", 5) || !std::strncmp(buf.data(), "HETATM", 6)) return 1;
  return 0;
}

int trel_checkdir(const char* path, const char* label) {
  path = text(path);
  label = text(label);
  if (!path[0] || !zam_isdir(path)) {
    zam_err("Failed to access %s directory: %s\n", label, path);
    return 0;
  }
  zam_msg("Using %s directory: %s\n", label, path);
  return 1;
}

int trel_mkdir(const char* path, const char* label) {
  path = text(path);
  label = text(label);
  if (std::strlen(path) > static_cast<size_t>(TREL_PATH_MAX)) {
    zam_err("Failed to create %s directory: name longer than %d characters: %.64s...\n", label,
            TREL_PATH_MAX, path);
    return 0;
  }
  if (path[0] && zam_isdir(path)) {
    if (label[0]) zam_msg("Using %s directory: %s\n", label, path);
    return 1;
  }
  // A folder made inside the results folder is the tool's to purge.
  if (!path[0] || !zam_mkdirRecorded(path, 0777)) {
    // A plain file standing at the name is the usual cause: say so, naming
    // it without the "/" the caller may have added.
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    struct stat st;
    if (path[0] && stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
      zam_err("Failed to create %s directory: %s is a file, not a directory\n", label, name.c_str());
    else
      zam_err("Failed to create %s directory: %s\n", label, path);
    return 0;
  }
  if (label[0]) zam_msg("Creating %s directory: %s\n", label, path);
  return 1;
}

int trel_removeDeadTemps(const char* folder) {
  const int removed = zam_removeDeadTemps(text(folder));
  if (removed > 0)
    zam_msg("Removed %d temporary file%s of runs that were stopped from %s\n", removed, removed == 1 ? "" : "s",
            text(folder));
  return removed;
}

char* trel_result_dir(const char* results, const char* query_path, int switch1, int switch2,
                      char* out) {
  if (!out) return nullptr;
  out[0] = 0;
  std::string folder = text(results);
  const bool sub = switch1 && switch2;
  if (sub) {
    const char* query = text(query_path);
    if (std::strlen(query) > static_cast<size_t>(TREL_PATH_MAX)) {
      tooLong("Query file name", query);
      return nullptr;
    }
    char root[TREL_PATH_MAX + 1];
    zam_rootname(query, root);
    // A name too long for the file system, or for the folder's name to stay
    // within TREL_PATH_MAX, is shortened as result file names are.
    const size_t used = folder.size() + 1;  // with the trailing "/"
    const size_t room = used < static_cast<size_t>(TREL_PATH_MAX) ? TREL_PATH_MAX - used : 0;
    folder += zam_fileName({root}, "", std::min(room, ZAM_NAME_MAX));
  }
  // Check the name as it will be returned, trailing "/" included, before any
  // folder is made, so that out always holds the whole name.
  std::string slashed = folder.empty() ? std::string("./") : folder;
  if (slashed.back() != '/') slashed += "/";
  if (slashed.size() > static_cast<size_t>(TREL_PATH_MAX)) {
    tooLong("RESULTS directory name", slashed);
    return nullptr;
  }
  // A link standing at the sub-folder's name would have the results written
  // wherever it points, perhaps over files of someone else's.
  struct stat st;
  if (sub && lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    zam_err("Results sub-folder %s is a symbolic link: nothing is written through it.\n", folder.c_str());
    return nullptr;
  }
  if (sub && !trel_mkdir(folder.c_str(), "RESULTS")) return nullptr;
  return zam_pathslash(folder.c_str(), out);
}

int trel_purgeAllowed(const char* folder) {
  std::vector<_zam_written_entry> entries;
  RecordSeen record;
  return mayPurge(text(folder), nullptr, &entries, &record) ? 1 : 0;
}

int trel_purgeResults(const char* folder, int really, const char* own) {
  folder = text(folder);
  std::string top = folder;
  if (top.empty() || !isSep(top.back())) top += "/";
  std::vector<_zam_written_entry> entries;
  RecordSeen record;
  if (!mayPurge(folder, own, &entries, &record)) return 0;
  if (really)
    zam_msg("PURGING RESULTS folder=%s\n", folder);
  else
    zam_msg("PURGING RESULTS folder=%s (DUMMY RUN)\n", folder);
  const Written written = takeRecord(entries);
  Purge purge{written, really != 0, record};
  // This run's log goes as the last file of its folder.
  struct stat st;
  if (own && lstat(own, &st) == 0 && S_ISREG(st.st_mode)) purge.own = {st.st_dev, st.st_ino};
  purgeFolder(top.substr(0, top.size() - 1), ".", purge);
  if (purge.kept > 0)
    zam_msg("Kept %d file%s in %s that trel did not write, or that changed since.\n", purge.kept,
            purge.kept == 1 ? "" : "s", folder);
  return purge.failed ? 0 : 1;
}

char** trel_getFiles(const char* source, int* n) { return trel_getStructureFiles(source, 0, n); }

char** trel_getStructureFiles(const char* source, int structures, int* n, const char* cache_folder,
                              std::vector<_zam_identity>* ids) {
  if (n) *n = 0;
  if (ids) ids->clear();
  if (!source || !source[0]) return nullptr;
  std::string cwd = workingFolder();
  if (cwd.empty()) return nullptr;
  std::vector<Listed> files;
  const bool folder = zam_isdir(source);
  bool ok = folder ? folderFiles(source, cwd, files) : listFiles(source, cwd, files);
  if (!ok) return nullptr;
  if (folder && structures) keepStructures(source, cache_folder, files);
  if (n) *n = static_cast<int>(files.size());
  std::vector<std::string> names;
  names.reserve(files.size());
  for (Listed& f : files) {
    names.push_back(std::move(f.path));
    if (ids) ids->push_back(f.id);
  }
  return stringArray(names);
}

char** trel_getNames(const char* file, int* n) {
  if (n) *n = 0;
  if (!file || !file[0]) {
    zam_err("Failed to open name list: (no name given)\n");
    return nullptr;
  }
  std::vector<std::string> lines;
  if (!readLines(file, "name list", lines)) return nullptr;
  std::vector<char> slots;  // kNameSlot zero-filled bytes per name
  for (size_t i = 0; i < lines.size(); ++i) {
    if (isComment(lines[i])) continue;
    std::string word = firstWord(lines[i].c_str());
    if (word.size() >= static_cast<size_t>(kNameSlot)) {
      zam_wrn("Name at line %zu of %s cut to %d characters: %.64s\n", i + 1, file, kNameSlot - 1,
              word.c_str());
      word.resize(kNameSlot - 1);
    }
    slots.resize(slots.size() + kNameSlot, 0);
    std::memcpy(slots.data() + slots.size() - kNameSlot, word.data(), word.size());
  }
  const int count = static_cast<int>(slots.size() / kNameSlot);
  if (count < 1) return nullptr;
  zam_msg("getNames -> %d\n", count);
  std::vector<int> order(count);
  zam_sortb(slots.data(), count, kNameSlot, order.data());
  char** names = kget1S(count);
  for (int i = 0; i < count; ++i) {
    names[i] = kdupS(slots.data() + static_cast<size_t>(order[i]) * kNameSlot);
    zam_msg("names[%d] = %s\n", i, names[i]);
  }
  if (n) *n = count;
  return names;
}

int trel_lookupName(const char* name, char* const* names, int n) {
  if (!name || !names || n < 1) return -1;
  int lo = 0;
  int hi = n - 1;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    int c = std::strcmp(names[mid] ? names[mid] : "", name);
    if (c == 0) return mid;
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  return -1;
}
