#include "driver/trel_hit_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "output/trel_print.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_inputs.h"
#include "runtime/zam_lock.h"
#include "runtime/zam_log.h"
#include "runtime/zam_whole.h"
#include "runtime/zam_written.h"
#include "store/trel_thing.h"

namespace {

// The first line of every record, then the query's name and suffix; the
// last line holds the CRC-32 of all the lines before it. Between them a
// line "#query" or "#hit <end> <target>" opens the files of the query's own
// or of a hit, with the time the run that last wrote the hit's files ended
// (renewed the record, in nanoseconds of the fine wall clock), one a line:
// its identity, a space and its name. Records of version 3 named the runs
// by their owner marks, with their times on "#run" lines; those of version
// 2 kept no writer, and those of version 1 no change time and no hit
// either.
const char* const kFamily = "#trel hit files ";
const char* const kHead = "#trel hit files 4: ";
const char* const kHead3 = "#trel hit files 3: ";
const char* const kHead2 = "#trel hit files 2: ";
const char* const kOlder = "#trel hit files 1: ";
const char* const kCrc = "#crc ";
const char* const kRunLine = "#run ";
const char* const kQueryGroup = "#query";
const char* const kHitGroup = "#hit ";
const char* const kNoMark = "-";  // the run that wrote a hit is not known
// After the CRC line: "+<crc> <run> <name>/<hit>", a file about to be
// written by the run (a word of its own) for the hit (empty: the query's
// own); <crc> the CRC-32 of the line after it, in 8 hex digits. A line
// "*<crc> <run> <name>/<name>/...//<hit>" names several files of one hit
// at once (no name holds a '/'; builds before it pass it over).
const char kAhead = '+';
const char kAheadMany = '*';
// A line naming files ahead is cut into several past this length.
constexpr size_t kAheadRoom = 4096;
// A name longer than this stands for no file (NAME_MAX).
constexpr size_t kNameMax = 255;
// A line longer than this is no line of a record (a name takes at most 255
// bytes, a hit's name a path's length).
constexpr size_t kMaxLine = size_t{1} << 16;

// One file of a record: its name in the query's folder, the hit it was
// written for (empty: the query's own) and its identity when written.
struct HitFile {
  std::string name;
  std::string hit;
  _zam_identity id{};
};

// What a sound record holds.
struct Files {
  std::vector<HitFile> files;
  std::map<std::string, int64_t> by;  // hit: when the run that last wrote its files ended
};

// A file a run named ahead, about to write it.
struct Ahead {
  std::string run;
  std::string name;
  std::string hit;
};

// A file named ahead by runs now gone: its hit (empty when named for two,
// or for none) and its identity when read.
struct Gone {
  std::string hit;
  _zam_identity id{};
};

// The files other runs named ahead, folded as the lines are read, each
// once however often it was named: while another run writes, the lines
// of every other run, by run and name, to be named again (a file named
// ahead may not stand yet); else the files of runs now gone that stand,
// by name. This run's own lines are passed over: its written files stand
// for them.
struct AheadFiles {
  std::string run;  // this run's word
  bool others = false;  // another run of the query writes
  std::map<std::pair<std::string, std::string>, std::string> held;  // (run, name): hit
  std::map<std::string, Gone> gone;
};

// Two hits of one file make it the query's own.
void mergeHit(std::string* hit, const std::string& with) {
  if (*hit != with) hit->clear();
}

// What an earlier run left for a query.
enum class Record { kNone, kSound, kOlder, kDamaged, kForeign };

// Files of this process's searches into the folder of the last query
// written, by identity (device, inode), as they stood once their query was
// written: a file one query wrote again with the same bytes keeps its older
// times, and must not be taken for another query's unchanged one. Queries
// that share a folder come one after another (-nosubdirs); those of a
// folder left are let go, so that memory goes with a folder, not with the
// run's queries (a later query of the same name meets the files of the
// earlier by the end its record holds for their hits). Touched only by the
// thread running the searches.
std::string written_dir;
std::set<std::pair<uint64_t, uint64_t>> written_by_run;

// Said once for the run: earlier hit files may remain where no record tells
// which they are; a folder could not be locked.
bool said_unrecorded = false;
bool said_unlocked = false;
bool said_unmarked = false;

std::string text(const char* s) { return s ? s : ""; }

std::string shown(const std::string& dir) { return dir.empty() ? "." : dir; }

// A name a record may hold: a plain entry of the query's folder.
bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\n') == std::string::npos && name.find('\0') == std::string::npos;
}

// A hit a record may hold: a target's name on one line.
bool plainHit(const std::string& hit) {
  return !hit.empty() && hit.find('\n') == std::string::npos && hit.find('\0') == std::string::npos;
}

std::string recordPath(const char* folder, const _trel_thing* query, const char* suffix) {
  return text(folder) + zam_fileName({trel_thingName(query)}, text(suffix) + ".kwritten");
}

// A mark a record of version 3 may hold: an owner mark, one word.
bool plainMark(const std::string& mark) {
  return !mark.empty() && mark.find_first_of(" \n", 0) == std::string::npos && mark.find('\0') == std::string::npos;
}

// The byte of the query's folder that the runs writing the query's files
// mark while they write: one per query, so that queries sharing a folder
// (-nosubdirs) do not hold each other's removals.
int64_t writingByte(const std::string& id) {
  return static_cast<int64_t>(zam_crc32(0, id.data(), static_cast<int64_t>(id.size())) & 0x7fffffffu);
}

std::string format(const std::string& id, const Files& record) {
  std::map<std::string, std::vector<const HitFile*>> groups;  // by hit, the query's own first
  for (const HitFile& f : record.files) groups[f.hit].push_back(&f);
  std::string s = kHead + id + "\n";
  for (const auto& [hit, group] : groups) {
    if (hit.empty()) {
      s += std::string(kQueryGroup) + "\n";
    } else {
      const auto by = record.by.find(hit);
      s += kHitGroup + (by == record.by.end() ? std::string(kNoMark) : std::to_string(by->second)) + " " + hit + "\n";
    }
    for (const HitFile* f : group) s += zam_identityText(f->id) + " " + f->name + "\n";
  }
  char crc[24];
  std::snprintf(crc, sizeof crc, "%s%08" PRIx32 "\n", kCrc, zam_crc32(0, s.data(), static_cast<int64_t>(s.size())));
  return s + crc;
}

bool startsWith(const std::string& line, const char* head) {
  return line.compare(0, std::strlen(head), head) == 0;
}

// The number that is the whole of text (at most max); false otherwise.
bool wholeNumber(const std::string& text, uint64_t max, uint64_t* out) {
  const char* p = text.data();
  const char* end = p + text.size();
  return zam_parseNumber(p, end, max, out) && p == end;
}

// "<mark> <start> <end>" of a run line of version 3: the run's mark and
// end (0 while it wrote).
bool runLine(const std::string& rest, std::string* mark, int64_t* ended) {
  const size_t gap = rest.find(' ');
  if (gap == std::string::npos || !plainMark(rest.substr(0, gap))) return false;
  *mark = rest.substr(0, gap);
  const char* p = rest.data() + gap + 1;
  const char* end = rest.data() + rest.size();
  uint64_t start, stop;
  if (!zam_parseNumber(p, end, INT64_MAX, &start) || p == end || *p++ != ' ' ||
      !zam_parseNumber(p, end, INT64_MAX, &stop) || p != end)
    return false;
  *ended = static_cast<int64_t>(stop);
  return true;
}

// The text of ahead lines for the files names, about to be written by run
// for hit, their line ends included: one line for a few dozen names.
std::string aheadLines(const std::string& run, const std::vector<std::string>& names, const std::string& hit) {
  std::string text;
  for (size_t i = 0; i < names.size();) {
    std::string list = names[i++];
    while (i < names.size() && run.size() + list.size() + names[i].size() + hit.size() + 4 <= kAheadRoom)
      list += "/" + names[i++];
    const bool one = list.find('/') == std::string::npos;
    const std::string body = run + " " + list + (one ? "/" : "//") + hit;
    char crc[16];
    std::snprintf(crc, sizeof crc, "%c%08" PRIx32 " ", one ? kAhead : kAheadMany,
                  zam_crc32(0, body.data(), static_cast<int64_t>(body.size())));
    text += crc + body + "\n";
  }
  return text;
}

// The ahead line (without its line end) into *ahead, one for each file it
// names; false when it is not one whole.
bool aheadOf(const std::string& line, std::vector<Ahead>* ahead) {
  if (line.size() < 11 || (line[0] != kAhead && line[0] != kAheadMany) || line[9] != ' ') return false;
  const std::string body = line.substr(10);
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08" PRIx32, zam_crc32(0, body.data(), static_cast<int64_t>(body.size())));
  if (line.compare(1, 8, crc) != 0) return false;
  const size_t gap = body.find(' ');
  const size_t end = gap == std::string::npos ? gap : body.find(line[0] == kAhead ? "/" : "//", gap);
  if (gap == std::string::npos || gap == 0 || end == std::string::npos) return false;
  const std::string run = body.substr(0, gap);
  const std::string hit = body.substr(end + (line[0] == kAhead ? 1 : 2));
  if (!hit.empty() && !plainHit(hit)) return false;
  const size_t first = ahead->size();
  for (size_t at = gap + 1; at <= end;) {
    const size_t slash = std::min(body.find('/', at), end);
    Ahead a{run, body.substr(at, slash - at), hit};
    if (!plainName(a.name)) {
      ahead->resize(first);
      return false;
    }
    ahead->push_back(std::move(a));
    at = slash + 1;
  }
  return true;
}

// Whether something stands at the names of a folder's files, each name
// looked at once: the names found standing are the caller's to keep (they
// go with what stands); those found missing are kept up to a bound, past
// which one listing of the folder answers for every name (memory that
// goes with what stands again). Where the folder cannot be listed, names
// are looked at one by one.
struct Looks {
  explicit Looks(const std::string& dir_) : dir(dir_) {}
  const std::string& dir;
  std::unordered_set<std::string> missing;
  std::unordered_set<std::string> listed;  // the folder's names, once listed
  bool by_list = false;
  bool unlisted = false;  // the listing failed
  static constexpr size_t kMissingKept = size_t{1} << 14;

  // 1 when a regular file stands at name, with its identity in *id (when
  // id is null: anything stands there); 0 when nothing does; -1 when
  // something else does, or it cannot be told.
  int at(const std::string& name, _zam_identity* id) {
    if (by_list ? !listed.count(name) : missing.count(name) != 0) return 0;
    if (by_list && !id) return 1;
    _zam_identity now;
    if (zam_identityAt((dir + name).c_str(), id ? id : &now)) return 1;
    if (errno != ENOENT) return -1;
    if (by_list) return 0;
    if (missing.size() >= kMissingKept) {
      missing.clear();
      by_list = !unlisted && list();
      unlisted = !by_list;
    }
    if (!by_list) missing.insert(name);
    return 0;
  }

  bool list() {
    DIR* folder = opendir(shown(dir).c_str());
    if (!folder) return false;
    for (;;) {
      errno = 0;
      const dirent* e = readdir(folder);
      if (!e) break;
      listed.insert(e->d_name);
    }
    const bool whole = errno == 0;
    closedir(folder);
    if (!whole) listed.clear();
    return whole;
  }
};

// Reads a record of id line by line, the CRC taken on the lines as they
// come: the head, the groups and their files, the CRC line, then any ahead
// lines. Records of versions 2 and 3 are read too.
struct Reader {
  Reader(const std::string& id_, const std::string& dir_, bool keep_, Files* record_, AheadFiles* ahead_)
      : id(id_), keep(keep_), record(record_), ahead(ahead_), looks(dir_) {}
  const std::string& id;
  bool keep;  // false: the record is only checked, and no file kept
  Files* record;
  AheadFiles* ahead;
  Looks looks;  // the files are kept only when something stands at their names
  std::map<std::string, size_t> files;  // the record's files kept, by name: where in record->files
  int version = -1;  // -1 before the head; 0 a file not of the family; 1 an earlier trel's
  bool sound = true;
  bool sealed = false;  // the CRC line was read, and matched
  uint32_t crc = 0;
  bool in_group = false;
  std::string hit;
  std::map<std::string, int64_t> ends;  // version 3: the runs' ends by mark

  // One line; whole is false for a last line without its line end, or one
  // cut at kMaxLine.
  void line(const std::string& line, bool whole) {
    if (version < 0) {
      if (!startsWith(line, kFamily)) {
        version = 0;
      } else if (startsWith(line, kOlder)) {
        version = 1;
      } else {
        version = 5;  // of the family, but no head read here
        for (const auto& [head, v] : {std::pair{kHead, 4}, std::pair{kHead3, 3}, std::pair{kHead2, 2}})
          if (line == head + id) version = v;
      }
      if (version == 5 || !whole) sound = false;
      crc = zam_crc32(crc, line.data(), static_cast<int64_t>(line.size()));
      crc = zam_crc32(crc, "\n", 1);
      return;
    }
    if (version < 2 || version > 4) return;
    if (sealed) {
      std::vector<Ahead> named;
      if (whole && keep && aheadOf(line, &named))
        for (const Ahead& a : named) fold(a);
      return;
    }
    if (!sound) return;
    if (!whole) {
      sound = false;
      return;
    }
    if (startsWith(line, kCrc)) {
      char text[16];
      std::snprintf(text, sizeof text, "%08" PRIx32, crc);
      sealed = line.compare(std::strlen(kCrc), std::string::npos, text) == 0;
      sound = sealed;
      return;
    }
    crc = zam_crc32(crc, line.data(), static_cast<int64_t>(line.size()));
    crc = zam_crc32(crc, "\n", 1);
    sound = entry(line);
  }

  // A line of the body; false when it is not as written.
  bool entry(const std::string& line) {
    if (version == 3 && !in_group && startsWith(line, kRunLine)) {
      std::string mark;
      int64_t ended = 0;
      if (!runLine(line.substr(std::strlen(kRunLine)), &mark, &ended)) return false;
      ends[mark] = ended;
      return true;
    }
    if (line == kQueryGroup || startsWith(line, kHitGroup)) {
      hit = line == kQueryGroup ? std::string() : line.substr(std::strlen(kHitGroup));
      if (!hit.empty() && version >= 3) {
        const size_t gap = hit.find(' ');
        if (gap == std::string::npos) return false;
        const std::string by = hit.substr(0, gap);
        hit = hit.substr(gap + 1);
        uint64_t n;
        if (version == 4 && by != kNoMark) {
          if (!wholeNumber(by, INT64_MAX, &n)) return false;
          record->by[hit] = static_cast<int64_t>(n);
        } else if (version == 3 && by != kNoMark) {
          if (!plainMark(by)) return false;
          const auto run = ends.find(by);
          if (run != ends.end() && run->second != 0) record->by[hit] = run->second;
        }
      }
      if (line != kQueryGroup && !plainHit(hit)) return false;
      in_group = true;
      return true;
    }
    HitFile f;
    const char* name = nullptr;
    if (!in_group || !zam_parseIdentity(line.data(), line.data() + line.size(), &f.id, &name) ||
        name == line.data() + line.size() || *name != ' ')
      return false;
    f.name = line.substr(static_cast<size_t>(name + 1 - line.data()));
    if (!plainName(f.name)) return false;
    f.hit = hit;
    // A name the record holds twice is as its first line says. A file that
    // is gone is left out, so that memory goes with what stands, not with
    // the record.
    if (keep && !files.count(f.name) && looks.at(f.name, nullptr) != 0) {
      files.emplace(f.name, record->files.size());
      record->files.push_back(std::move(f));
    }
    return true;
  }

  // The file a run named ahead, into *ahead.
  void fold(const Ahead& a) {
    if (a.run == ahead->run) return;
    if (ahead->others) {
      const auto [at, added] = ahead->held.try_emplace({a.run, a.name}, a.hit);
      if (!added) mergeHit(&at->second, a.hit);
      return;
    }
    const auto known = ahead->gone.find(a.name);
    if (known != ahead->gone.end()) {
      mergeHit(&known->second.hit, a.hit);
      return;
    }
    Gone g{a.hit, {}};
    if (looks.at(a.name, &g.id) == 1) ahead->gone.emplace(a.name, std::move(g));
  }
};

// The record standing at path for id, read a block at a time into
// *record, with the files named ahead after it folded into *ahead, when
// sound: of the files in dir, those that stand there (memory goes with
// them, not with the record's bytes); none unless keep. Anything but a
// regular file there (a folder, a pipe) is not trel's record; it is not
// opened for reading.
Record readRecord(const std::string& path, const std::string& dir, const std::string& id, Files* record,
                  AheadFiles* ahead, bool keep = true) {
  *record = Files{};
  ahead->held.clear();
  ahead->gone.clear();
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Record::kNone;
  if (!S_ISREG(st.st_mode)) return Record::kForeign;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Record::kForeign;
  Reader reader(id, dir, keep, record, ahead);
  std::string part;  // the line read so far
  bool cut = false;  // the line passed kMaxLine
  std::vector<char> room(size_t{1} << 16);
  char* const block = room.data();
  bool failed = false;
  for (;;) {
    const ssize_t got = read(fd, block, room.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      failed = got < 0;
      break;
    }
    for (const char *p = block, *end = block + got; p < end;) {
      const char* stop = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* upto = stop ? stop : end;
      if (!cut) part.append(p, std::min(static_cast<size_t>(upto - p), kMaxLine + 1 - part.size()));
      if (part.size() > kMaxLine) cut = true;
      p = stop ? stop + 1 : end;
      if (!stop) continue;
      reader.line(part, !cut);
      part.clear();
      cut = false;
    }
    if (reader.version == 0) break;  // no need to read a user's file further
  }
  close(fd);
  if (!part.empty() || cut) reader.line(part, false);
  const auto none = [&](Record state) {
    *record = Files{};
    ahead->held.clear();
    ahead->gone.clear();
    return state;
  };
  if (failed || reader.version == 0 || reader.version == -1) return none(Record::kForeign);
  if (reader.version == 1) return Record::kOlder;
  if (reader.sound && reader.sealed) return Record::kSound;
  return none(Record::kDamaged);
}

// Whether the first line of a file is a record's of this kind (of any
// version, damaged or not): such a file is trel's, written over when the
// record is written.
bool recordHead(const std::string& first_line) { return startsWith(first_line, kFamily); }

// Writes the record text at path whole, over any file of trel's or any
// that begins as a record does. false after the warning naming it.
bool writeRecord(const std::string& path, const std::string& text) {
  _zam_whole* whole = trel_openWhole(path);
  if (!whole) {
    if (errno != EEXIST) zam_wrn("Failed to open result file: %s (%s)\n", path.c_str(), std::strerror(errno));
    return false;
  }
  whole->marked = recordHead;
  const bool wrote = zam_fwrite(whole->fp, text.data(), static_cast<int64_t>(text.size())) >= 1;
  if (trel_closeWhole(whole, wrote)) return true;
  zam_wrn("Failed to write result file: %s\n", path.c_str());
  return false;
}

// The files written into dir, by base name, with their hits and their
// identities now, each one added to the files of the run. A file written
// for two hits is the query's own (the query's rainbow and masked files,
// which every hit writes again); a hit that cannot be recorded makes its
// files the query's, which no rerun removes.
std::map<std::string, HitFile> writtenInto(const std::string& dir, const _trel_written& written) {
  std::map<std::string, HitFile> mine;
  if (dir != written_dir) {
    written_by_run.clear();
    written_dir = dir;
  }
  for (size_t i = 0; i < written.paths.size(); i++) {
    const std::string& path = written.paths[i];
    _zam_identity id;
    if (!zam_identityAt(path.c_str(), &id)) continue;
    written_by_run.emplace(id.dev, id.ino);
    if (path.compare(0, dir.size(), dir) != 0) continue;
    const std::string name = path.substr(dir.size());
    if (!plainName(name)) continue;
    std::string hit = i < written.hits.size() ? written.hits[i] : std::string();
    if (!plainHit(hit)) hit.clear();
    const auto [at, added] = mine.try_emplace(name, HitFile{name, hit, id});
    if (!added && at->second.hit != hit) at->second.hit.clear();
    at->second.id = id;
  }
  return mine;
}

void sayUnrecorded(const std::string& dir, const _trel_thing* query, const std::string& why) {
  if (said_unrecorded) return;
  said_unrecorded = true;
  zam_msg("Files of earlier hits of %s may remain in %s: %s, so none is removed.\n", trel_thingName(query),
          shown(dir).c_str(), why.c_str());
}

void sayUnlocked(const std::string& dir) {
  if (said_unlocked) return;
  said_unlocked = true;
  zam_wrn("Cannot lock %s (%s): another run of a query into it at the same time may lose its record of the "
          "files it wrote.\n",
          shown(dir).c_str(), std::strerror(errno));
}

// The query's lock file at path, made once (recorded as any file of
// trel's) and opened with flags; -1 when it cannot be had (errno).
int openLockFile(const std::string& path, int flags) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    _zam_whole* whole = zam_openWhole(path, "w");
    if (!whole || (!zam_closeWholeNew(whole, true) && errno != EEXIST)) return -1;
  }
  const int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// The file whose lock orders the runs of the query: the folder; or, where
// the folder grants no lock of either kind (flock refused: the other kind,
// exclusive, needs a file open to write, which a folder never is), the
// query's lock file, open to write.
// Tried once a pass, before its first lock: a try while the pass holds the
// folder's lock would convert that lock (flock converts in place, and drops
// it where the conversion is refused).
int turnFd(_trel_hit_pass* pass) {
  if (!pass->turn_known && pass->fd >= 0) {
    pass->turn_known = true;
    const int probe = zam_tryLockFile(pass->fd, true);
    if (probe == ZAM_LOCK_FLOCK || probe == ZAM_LOCK_OFD) zam_unlockFile(pass->fd, probe);
    if (probe == ZAM_LOCK_NONE) pass->turn_fd = openLockFile(pass->lock_path, O_RDWR);
  }
  return pass->turn_fd >= 0 ? pass->turn_fd : pass->fd;
}

// Waits for the exclusive lock of the pass's folder, which a run holds
// while it enters itself or renews the query's record (never while it
// writes its files), saying so after a second.
void lockRecord(_trel_hit_pass* pass, const std::string& dir, const _trel_thing* query) {
  if (pass->fd < 0) return;
  pass->lock_kind = zam_lockFile(turnFd(pass), true,
                                 "another run of " + text(trel_thingName(query)) + " to renew its record in " +
                                     shown(dir),
                                 shown(dir));
  if (pass->lock_kind != ZAM_LOCK_FAILED) return;
  sayUnlocked(dir);
  close(pass->fd);
  pass->fd = -1;
}

void sayUnmarked(const std::string& dir, int err, bool fallback) {
  if (said_unmarked) return;
  said_unmarked = true;
  if (fallback)
    zam_wrn("%s refuses open-file-description locks (%s): runs writing into it are marked by a lock of a file "
            "in it instead.\n",
            shown(dir).c_str(), std::strerror(err));
  else
    zam_wrn("%s refuses every lock a run writing into it could be marked with (%s): runs of one query into it "
            "at the same time may remove each other's hits.\n",
            shown(dir).c_str(), std::strerror(err));
}

// The mark where the folder refuses the byte lock: a shared flock of the
// query's lock file (made once, recorded as any file of trel's), held
// while the run writes. false when none is granted (errno).
bool markByFile(_trel_hit_pass* pass, const std::string& lock_path) {
  const int fd = openLockFile(lock_path, O_RDONLY);
  if (fd < 0) return false;
  // Only a renewing run asks whether others hold it, and only under the
  // folder's lock, which this run holds now: the mark is had at once.
  const int err = zam_markAlive(fd) != 1 ? errno : 0;
  if (err != 0) {
    close(fd);
    errno = err;
    return false;
  }
  pass->mark_fd = fd;
  return true;
}

// Whether another run of the query is marked as writing: 1 yes, 0 no, -1
// it cannot be told. Asked of the lock file by taking it exclusive, which
// gives up this run's own mark of it (it is released right after).
int othersWriting(_trel_hit_pass* pass, const std::string& id) {
  if (pass->mark_fd >= 0) return zam_markedByOthers(pass->mark_fd);
  if (pass->fd < 0) return -1;
  if (pass->unmarkable) return 0;  // said once: no lock tells runs apart
  if (!pass->marked) return -1;
  return zam_markedByOthers(pass->fd, writingByte(id));
}

// Folds the files named ahead by runs that are gone (stopped before they
// renewed the record) into the earlier record: each counts as a file of
// its hit (of the query's own when named for two hits, or recorded so) at
// its identity when read, where the results record covers that identity
// (trel wrote it so); one not covered is passed over. The gone run may
// have written them at any time, so their hits go into *gone, to be judged
// by change time as well; an end the record holds for such a hit stays (a
// run that renewed after the gone run named the files wrote that end).
void foldAhead(const std::string& dir, const AheadFiles& ahead, const std::map<std::string, HitFile>& keep,
               Files* earlier, std::set<std::string>* gone) {
  if (ahead.gone.empty()) return;
  std::map<std::string, size_t> recorded;
  for (size_t i = 0; i < earlier->files.size(); i++) recorded.emplace(earlier->files[i].name, i);
  const _zam_record_turn turn(dir + ahead.gone.begin()->first);
  for (const auto& [name, named] : ahead.gone) {
    if (keep.count(name)) continue;  // written again now
    if (!zam_recordCovers(turn, dir + name, named.id)) continue;
    const auto found = recorded.find(name);
    if (found == recorded.end()) {
      earlier->files.push_back(HitFile{name, named.hit, named.id});
      recorded.emplace(name, earlier->files.size() - 1);
    }
    HitFile& f = earlier->files[found == recorded.end() ? earlier->files.size() - 1 : found->second];
    mergeHit(&f.hit, named.hit);
    f.id = named.id;
    if (!f.hit.empty()) gone->insert(f.hit);
  }
}

// The files to name ahead with name, about to be written for hit, by the
// hit each is named for: at the hit's first line, with the names its files
// will take as far as the files this run named for its earlier hits tell
// (each hit writes files "<hit>_<query><tail>" of the same tails, and the
// query's own files again), so that one line names most files of a hit. A
// tail met for the first time is named at once for every hit named before,
// whose lines were written without it (the files of a kind written for
// every hit only once all hits have their others), in the same append. A
// name named that is not written costs nothing; one not named gets a line
// of its own when it is opened. Under the pass's lock.
std::vector<std::pair<std::string, std::vector<std::string>>> namesAhead(_trel_hit_pass* pass,
                                                                         const std::string& name,
                                                                         const std::string& hit) {
  std::vector<std::pair<std::string, std::vector<std::string>>> by_hit{{hit, {name}}};
  if (hit.empty()) return by_hit;
  const std::string pair = hit + "_" + pass->query;
  std::string tail;
  if (startsWith(name, pair.c_str())) {
    if (pass->tails.insert(name.substr(pair.size())).second) tail = name.substr(pair.size());
  } else {
    pass->loose.insert(name);
  }
  const bool first = pass->hits.insert(hit).second;
  const auto due = [&](const std::string& n, const std::string& h) {
    const auto at = pass->named.find(n);
    return n != name && plainName(n) && n.size() <= kNameMax &&
           (at == pass->named.end() || (!at->second.empty() && at->second != h));
  };
  if (!tail.empty())
    for (const std::string& other : pass->hits)
      if (other != hit && due(other + "_" + pass->query + tail, other))
        by_hit.push_back({other, {other + "_" + pass->query + tail}});
  if (!first) return by_hit;
  std::vector<std::string>& names = by_hit.front().second;
  for (const std::string& t : pass->tails)
    if (due(pair + t, hit)) names.push_back(pair + t);
  for (auto at = pass->loose.begin(); at != pass->loose.end();) {
    if (due(*at, hit)) names.push_back(*at);
    // Once named for two hits, a file is the query's own: named for all.
    at = *at == name ? std::next(at) : pass->loose.erase(at);
  }
  return by_hit;
}

// Appends text, lines naming files ahead, to the record as it stands at
// its name, under the folder's lock shared with the other runs that
// append (each line is one append, whole), held exclusive only by one
// that enters or renews. false when it was not appended. Under the pass's
// lock.
bool appendAhead(_trel_hit_pass* pass, std::string text) {
  const int locked = zam_lockFile(turnFd(pass), false,
                                  "another run of " + pass->query + " to renew its record in " + shown(pass->dir),
                                  shown(pass->dir));
  if (locked == ZAM_LOCK_FAILED) return false;
  // The record at its name, which another run's renew may have replaced
  // since this run's last line (the folder's lock keeps it from doing so
  // now).
  struct stat st;
  const bool same = lstat(pass->record.c_str(), &st) == 0 && S_ISREG(st.st_mode) && pass->grow_fd >= 0 &&
                    static_cast<uint64_t>(st.st_dev) == pass->grow_dev &&
                    static_cast<uint64_t>(st.st_ino) == pass->grow_ino;
  if (!same) {
    const int fd = open(pass->record.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)) {
      close(fd);
      zam_unlockFile(turnFd(pass), locked);
      return false;
    }
    zam_releaseWriting(pass->grow_fd);
    pass->grow_fd = fd;
    pass->grow_end = -1;
    if (fd >= 0) {
      // The record grows with this run's lines until the run renews it:
      // the results record covers it as still written, while this run
      // lives and as it stands once the run is gone.
      pass->grow_dev = static_cast<uint64_t>(st.st_dev);
      pass->grow_ino = static_cast<uint64_t>(st.st_ino);
      zam_holdWriting(fd);  // a writer that cannot be told alive keeps its line unsettled
      if (!zam_recordGrowing(pass->record, fd)) {
        // No line covers it as it grows (the run stops, the record is
        // held or full): it is left as its last line proves it.
        zam_releaseWriting(pass->grow_fd);
        pass->grow_fd = -1;
      }
    }
  }
  bool appended = false;
  if (pass->grow_fd >= 0) {
    // A line cut by a stop or a full disk ends before this one begins; the
    // record that ends with this run's last line needs no look.
    char last = '\n';
    if (st.st_size != pass->grow_end && pread(pass->grow_fd, &last, 1, st.st_size - 1) != 1) last = 0;
    if (last != '\n') text.insert(0, 1, '\n');
    const int64_t n = static_cast<int64_t>(text.size());
    pass->grow_end = st.st_size + n;
    // A line cut short (a full disk) fails its own check and costs only
    // itself; it is not cut back, as another run's lines may follow it.
    appended = zam_writeAll(pass->grow_fd, text.data(), n) == n;
    if (!appended) pass->grow_end = -1;
  }
  zam_unlockFile(turnFd(pass), locked);
  return appended;
}

// What became of the earlier files of hidden hits that could not be removed
// because they are no longer as trel wrote them.
struct Kept {
  int count = 0;
  std::string first;
};

}  // namespace

_trel_hit_pass::~_trel_hit_pass() {
  for (const int held : {fd, mark_fd, turn_fd})
    if (held >= 0) close(held);
  zam_releaseWriting(grow_fd);
}

void trel_beginHitFiles(_trel_hit_pass* pass, const char* folder, const _trel_thing* query, const char* suffix) {
  const std::string dir = text(folder), path = recordPath(folder, query, suffix);
  const std::string id = text(trel_thingName(query)) + text(suffix);
  struct stat st;
  const std::string names = dir + zam_fileName({trel_thingName(query)}, text(suffix) + ".knames");
  pass->had_names = lstat(names.c_str(), &st) == 0;
  pass->dir = dir;
  pass->record = path;
  pass->token = std::to_string(zam_runBegan()) + "." + std::to_string(getpid());
  pass->query = text(trel_thingName(query));
  pass->lock_path = dir + zam_fileName({trel_thingName(query)}, text(suffix) + ".kwriting");
  if (pass->fd < 0) pass->fd = open(shown(dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (pass->fd < 0) sayUnlocked(dir);
  lockRecord(pass, dir, query);
  // The run marks itself as writing before it writes a file, while no
  // other run renews the record: a renew after this removes no file of a
  // hit, since this run may be writing it again. The mark is a lock the
  // kernel drops when the run ends, however it ends.
  if (pass->fd >= 0 && !pass->marked) {
    pass->marked = zam_markAlive(pass->fd, writingByte(id)) == 1;
    if (!pass->marked && zam_lockRefused(errno)) {
      const int err = errno;
      pass->marked = markByFile(pass, pass->lock_path);
      pass->unmarkable = !pass->marked;
      sayUnmarked(dir, pass->marked ? err : errno, pass->marked);
    }
  }
  Files record;
  AheadFiles ahead;
  const Record state = readRecord(path, dir, id, &record, &ahead, false);
  switch (state) {
    case Record::kOlder:
      pass->unsound = "the record " + path + " is of an earlier trel";
      break;
    case Record::kDamaged:
      pass->unsound = "the record " + path + " is damaged";
      break;
    case Record::kForeign:
      pass->unsound = "the file " + path + " is not trel's record";
      break;
    case Record::kNone:
      if (pass->had_names) pass->unsound = "no record names the files an earlier run wrote there";
      break;
    case Record::kSound:
      break;
  }
  // A record that proves nothing is begun anew (written over when it is
  // trel's, a user's file there moved aside), so that the files this run
  // writes are named in it ahead.
  pass->ahead = pass->fd >= 0 && (state == Record::kSound || writeRecord(path, format(id, Files{})));
  if (pass->fd >= 0) zam_unlockFile(turnFd(pass), pass->lock_kind);
}

void trel_aheadHitFile(_trel_hit_pass* pass, const std::string& path, const std::string& hit) {
  if (!pass || path.compare(0, pass->dir.size(), pass->dir) != 0) return;
  const std::string name = path.substr(pass->dir.size());
  if (!plainName(name) || (!hit.empty() && !plainHit(hit))) return;
  std::lock_guard<std::mutex> hold(pass->lock);  // the folder's lock is one for all threads of the run
  if (!pass->ahead || pass->fd < 0) return;
  const auto named = pass->named.find(name);
  if (named != pass->named.end() && (named->second.empty() || named->second == hit)) return;
  const auto by_hit = namesAhead(pass, name, hit);
  std::string lines;
  for (const auto& [h, names] : by_hit) lines += aheadLines(pass->token, names, h);
  if (!appendAhead(pass, lines)) return;
  for (const auto& [h, names] : by_hit)
    for (const std::string& n : names) {
      const auto [at, added] = pass->named.try_emplace(n, h);
      if (!added && at->second != h) at->second.clear();  // named for two hits: the query's own
    }
}

int trel_renewHitRecord(_trel_hit_pass* pass, const char* folder, const _trel_thing* query, const char* suffix,
                        const _trel_written& written, const std::set<std::string>& shown_hits, bool clean) {
  const std::string dir = text(folder), path = recordPath(folder, query, suffix);
  const std::string id = text(trel_thingName(query)) + text(suffix);
  const int64_t start = zam_runStart();
  {
    std::lock_guard<std::mutex> hold(pass->lock);
    pass->ahead = false;  // every file is written: the renew names them
  }
  lockRecord(pass, dir, query);
  std::map<std::string, HitFile> keep = writtenInto(dir, written);
  const size_t now = keep.size();
  std::set<std::string> mine;  // the hits this run wrote
  for (const auto& entry : keep)
    if (!entry.second.hit.empty()) mine.insert(entry.second.hit);
  // Other runs of the query that still write their files may be writing
  // those of any hit again: while one does, no hit's files are removed. A
  // run that ended, however, holds its mark no more. Where the marks cannot
  // be told, another run may be writing. (No run enters while this one
  // holds the folder's lock.)
  const int others = othersWriting(pass, id);
  const bool others_writing = others != 0;
  Files earlier, next;
  AheadFiles ahead;
  ahead.run = pass->token;
  ahead.others = others_writing;
  std::set<std::string> gone;  // hits that runs now gone named ahead
  const Record state = readRecord(path, dir, id, &earlier, &ahead);
  // The files named ahead by runs stopped before their renew are theirs
  // no less than the files the record names.
  foldAhead(dir, ahead, keep, &earlier, &gone);
  // No time read from the record is believed past now (a clock that ran
  // ahead, a record forged): it is written back as now.
  const int64_t now_ns = zam_nowNs();
  for (auto& [hit, ended] : earlier.by) ended = std::min(ended, now_ns);
  // Whether the files of hit were last written by a run whose time
  // overlapped this one's: it ended after this run began. A hit whose
  // writer the record does not know (an older record), or that a run now
  // gone named ahead, goes by its file's change time too.
  const auto overlapping = [&](const HitFile& f, const _zam_identity& at) {
    const auto by = earlier.by.find(f.hit);
    if (by != earlier.by.end() && by->second >= zam_runBegan()) return true;
    if (by != earlier.by.end() && !gone.count(f.hit)) return false;
    return std::min(f.id.ctime_ns, now_ns) >= start || (at.ino != 0 && at.ctime_ns >= start);
  };
  int removed = 0, held = 0;
  Kept kept;
  for (HitFile& f : earlier.files) {
    if (keep.count(f.name)) continue;  // written again (or listed twice)
    const std::string file = dir + f.name;
    const ZamRecorded found = zam_removeRecorded(file, f.id, false);
    if (found == ZAM_RECORDED_GONE) continue;
    const bool hidden = !f.hit.empty() && !shown_hits.count(f.hit);
    _zam_identity at{};
    if (hidden && !zam_identityAt(file.c_str(), &at)) at = _zam_identity{};
    // A file of a hit that a run overlapping this one wrote or may be
    // writing again: it is that run's to record, and this one keeps its
    // entry.
    if (hidden && (others_writing || overlapping(f, at))) {
      if (found != ZAM_RECORDED_CHANGED) keep[f.name] = f;
      if (hidden && found == ZAM_RECORDED_REMOVED) held++;
      continue;
    }
    if (found == ZAM_RECORDED_CHANGED) {
      // Changed since: not trel's file any more, and no longer in its record.
      if (hidden && kept.count++ == 0) kept.first = file;
      continue;
    }
    if (!hidden) {  // the query's own, or a hit still shown
      keep[f.name] = f;
      continue;
    }
    // Written again by another query of this run, or an input of this run.
    if (written_by_run.count({f.id.dev, f.id.ino}) || zam_isInput(file)) continue;
    if (found == ZAM_RECORDED_LINKED) {
      if (kept.count++ == 0) kept.first = file;
      continue;
    }
    const ZamRecorded gone = clean ? zam_removeRecorded(file, f.id) : found;
    if (clean && gone == ZAM_RECORDED_REMOVED)
      removed++;
    else if (gone == ZAM_RECORDED_REMOVED || gone == ZAM_RECORDED_FAILED)
      keep[f.name] = f;  // still the earlier run's: a later run may remove it
  }
  if (removed > 0)
    zam_msg("Removed %d file%s of hits of %s that its table no longer shows, written by an earlier run, from %s\n",
            removed, removed == 1 ? "" : "s", trel_thingName(query), shown(dir).c_str());
  if (held > 0 && others < 0)
    zam_msg("Kept %d file%s of hits of %s that its table does not show: whether another run of the query "
            "writes %s now cannot be told in %s.\n",
            held, held == 1 ? "" : "s", trel_thingName(query), held == 1 ? "it" : "them", shown(dir).c_str());
  else if (held > 0)
    zam_msg("Kept %d file%s of hits of %s that its table does not show: another run of the query at the same "
            "time wrote %s or may write %s again.\n",
            held, held == 1 ? "" : "s", trel_thingName(query), held == 1 ? "it" : "them",
            held == 1 ? "it" : "them");
  if (kept.count > 0)
    zam_msg("Kept %d file%s of hits of %s that its table no longer shows, changed or linked to another name "
            "since trel wrote %s: %s%s\n",
            kept.count, kept.count == 1 ? "" : "s", trel_thingName(query), kept.count == 1 ? "it" : "them",
            kept.first.c_str(), kept.count == 1 ? "" : ", ...");
  switch (state) {
    case Record::kForeign:
      sayUnrecorded(dir, query, "the file " + path + " is not trel's record");
      break;
    case Record::kOlder:
      sayUnrecorded(dir, query, "the record " + path + " is of an earlier trel");
      break;
    case Record::kDamaged:
      sayUnrecorded(dir, query, "the record " + path + " is damaged");
      break;
    case Record::kNone:
    case Record::kSound:
      if (!pass->unsound.empty()) sayUnrecorded(dir, query, pass->unsound);
      break;
  }
  // This run's hits were written by a run that ends now; the others keep
  // their writers.
  for (auto& [name, f] : keep) {
    if (!f.hit.empty()) {
      const auto by = earlier.by.find(f.hit);
      if (mine.count(f.hit))
        next.by[f.hit] = std::max(now_ns, zam_runBegan());
      else if (by != earlier.by.end())
        next.by[f.hit] = by->second;
    }
    next.files.push_back(std::move(f));
  }
  if (state != Record::kNone || now > 0) {
    std::string record = format(id, next);
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> held;  // by run and hit
    for (const auto& [by, hit] : ahead.held) held[{by.first, hit}].push_back(by.second);
    for (const auto& [by, names] : held) record += aheadLines(by.first, names, by.second);
    writeRecord(path, record);
  }
  // The lock and this run's mark go with the folder's descriptor (and the
  // lock file's).
  for (int* held : {&pass->fd, &pass->mark_fd, &pass->turn_fd}) {
    if (*held >= 0) close(*held);
    *held = -1;
  }
  zam_releaseWriting(std::exchange(pass->grow_fd, -1));
  pass->marked = false;
  return removed;
}
