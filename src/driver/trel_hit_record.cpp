#include "driver/trel_hit_record.h"

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
// A record larger than this is no record of ours (a query of 100,000 shown
// hits writes about 100 MB of them).
constexpr int64_t kMaxRecord = int64_t{1} << 30;

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

// What an earlier run left for a query.
enum class Record { kNone, kSound, kOlder, kDamaged, kForeign };

// Files of this process's searches, by identity (device, inode), as they
// stood once their query was written: a file one query wrote again with the
// same bytes keeps its older times, and must not be taken for another
// query's unchanged one. Touched only by the thread running the searches.
std::set<std::pair<uint64_t, uint64_t>> written_by_run;

// Said once for the run: earlier hit files may remain where no record tells
// which they are; a folder could not be locked.
bool said_unrecorded = false;
bool said_unlocked = false;

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

// The entries of a record of id; false when text is not one, or fails its
// CRC, or any of its lines is not as written. Records of versions 2 and 3
// are read too.
bool parse(const std::string& text, const std::string& id, Files* record) {
  int version = 0;
  for (const auto& [head, v] : {std::pair{kHead, 4}, std::pair{kHead3, 3}, std::pair{kHead2, 2}})
    if (text.compare(0, std::strlen(head) + id.size() + 1, head + id + "\n") == 0) version = v;
  if (version == 0 || text.back() != '\n') return false;
  const size_t first = text.find('\n') + 1;
  const size_t last = text.rfind('\n', text.size() - 2) + 1;
  if (last < first || text.compare(last, std::strlen(kCrc), kCrc) != 0) return false;
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08" PRIx32 "\n", zam_crc32(0, text.data(), static_cast<int64_t>(last)));
  if (text.compare(last + std::strlen(kCrc), std::string::npos, crc) != 0) return false;
  bool in_group = false;
  std::string hit;
  std::map<std::string, int64_t> ends;  // version 3: the runs' ends by mark
  for (size_t at = first; at < last;) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (version == 3 && !in_group && startsWith(line, kRunLine)) {
      std::string mark;
      int64_t ended = 0;
      if (!runLine(line.substr(std::strlen(kRunLine)), &mark, &ended)) return false;
      ends[mark] = ended;
      continue;
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
      continue;
    }
    HitFile f;
    const char* name = nullptr;
    if (!in_group || !zam_parseIdentity(line.data(), line.data() + line.size(), &f.id, &name) ||
        name == line.data() + line.size() || *name != ' ')
      return false;
    f.name = line.substr(static_cast<size_t>(name + 1 - line.data()));
    if (!plainName(f.name)) return false;
    f.hit = hit;
    record->files.push_back(std::move(f));
  }
  return true;
}

// The record standing at path for id, read whole into *record when sound.
Record readRecord(const std::string& path, const std::string& id, Files* record) {
  *record = Files{};
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Record::kNone;
  std::string all;
  if (!zam_readWholeFile(path.c_str(), &all, kMaxRecord) || !startsWith(all, kFamily)) return Record::kForeign;
  if (startsWith(all, kOlder)) return Record::kOlder;
  if (parse(all, id, record)) return Record::kSound;
  *record = Files{};
  return Record::kDamaged;
}

// The files written into dir, by base name, with their hits and their
// identities now, each one added to the files of the run. A file written
// for two hits is the query's own (the query's rainbow and masked files,
// which every hit writes again); a hit that cannot be recorded makes its
// files the query's, which no rerun removes.
std::map<std::string, HitFile> writtenInto(const std::string& dir, const _trel_written& written) {
  std::map<std::string, HitFile> mine;
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

// Waits for the exclusive lock of the pass's folder, which a run holds
// while it enters itself or renews the query's record (never while it
// writes its files), saying so after a second.
void lockRecord(_trel_hit_pass* pass, const std::string& dir, const _trel_thing* query) {
  if (pass->fd < 0) return;
  if (zam_flockSaying(pass->fd, LOCK_EX,
                      "another run of " + text(trel_thingName(query)) + " to renew its record in " + shown(dir)))
    return;
  sayUnlocked(dir);
  close(pass->fd);
  pass->fd = -1;
}

// What became of the earlier files of hidden hits that could not be removed
// because they are no longer as trel wrote them.
struct Kept {
  int count = 0;
  std::string first;
};

}  // namespace

_trel_hit_pass::~_trel_hit_pass() {
  if (fd >= 0) close(fd);
}

void trel_beginHitFiles(_trel_hit_pass* pass, const char* folder, const _trel_thing* query, const char* suffix) {
  const std::string dir = text(folder), path = recordPath(folder, query, suffix);
  const std::string id = text(trel_thingName(query)) + text(suffix);
  struct stat st;
  const std::string names = dir + zam_fileName({trel_thingName(query)}, text(suffix) + ".knames");
  pass->had_names = lstat(names.c_str(), &st) == 0;
  if (pass->fd < 0) pass->fd = open(shown(dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (pass->fd < 0) sayUnlocked(dir);
  lockRecord(pass, dir, query);
  // The run marks itself as writing before it writes a file, while no
  // other run renews the record: a renew after this removes no file of a
  // hit, since this run may be writing it again. The mark is a lock the
  // kernel drops when the run ends, however it ends.
  pass->marked = pass->fd >= 0 && zam_markByte(pass->fd, writingByte(id)) == 1;
  Files record;
  switch (readRecord(path, id, &record)) {
    case Record::kOlder:
      pass->unsound = "the record " + path + " is of an earlier trel";
      break;
    case Record::kDamaged:
      pass->unsound = "the record " + path + " is damaged";
      break;
    case Record::kForeign:
      // Moved aside as the user's file when the record is written.
      pass->unsound = "the file " + path + " is not trel's record";
      break;
    case Record::kNone:
      if (pass->had_names) pass->unsound = "no record names the files an earlier run wrote there";
      break;
    case Record::kSound:
      break;
  }
  if (pass->fd >= 0) flock(pass->fd, LOCK_UN);
}

int trel_renewHitRecord(_trel_hit_pass* pass, const char* folder, const _trel_thing* query, const char* suffix,
                        const _trel_written& written, const std::set<std::string>& shown_hits, bool clean) {
  const std::string dir = text(folder), path = recordPath(folder, query, suffix);
  const std::string id = text(trel_thingName(query)) + text(suffix);
  const int64_t start = zam_runStart();
  lockRecord(pass, dir, query);
  std::map<std::string, HitFile> keep = writtenInto(dir, written);
  const size_t now = keep.size();
  std::set<std::string> mine;  // the hits this run wrote
  for (const auto& entry : keep)
    if (!entry.second.hit.empty()) mine.insert(entry.second.hit);
  Files earlier, next;
  const Record state = readRecord(path, id, &earlier);
  // Other runs of the query that still write their files may be writing
  // those of any hit again: while one does, no hit's files are removed. A
  // run that ended, however, holds its mark no more. Where the marks cannot
  // be told, another run may be writing.
  const bool others_writing =
      pass->fd < 0 || !pass->marked || zam_byteMarkedByOthers(pass->fd, writingByte(id)) != 0;
  // No time read from the record is believed past now (a clock that ran
  // ahead, a record forged): it is written back as now.
  const int64_t now_ns = zam_nowNs();
  for (auto& [hit, ended] : earlier.by) ended = std::min(ended, now_ns);
  // Whether the files of hit were last written by a run whose time
  // overlapped this one's: it ended after this run began. A hit whose
  // writer the record does not know (an older record) goes by its file's
  // change time.
  const auto overlapping = [&](const HitFile& f, const _zam_identity& at) {
    const auto by = earlier.by.find(f.hit);
    if (by != earlier.by.end()) return by->second >= zam_runBegan();
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
  if (held > 0)
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
  if (state != Record::kNone || now > 0) trel_writeText(path, format(id, next));
  // The lock and this run's mark go with the folder's descriptor.
  if (pass->fd >= 0) close(pass->fd);
  pass->fd = -1;
  pass->marked = false;
  return removed;
}
