#include "driver/trel_hit_record.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "output/trel_print.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_log.h"
#include "runtime/zam_whole.h"
#include "store/trel_thing.h"

namespace {

// The first line of every record, then the query's name and suffix; the
// last line holds the CRC-32 of all the lines before it.
const char* const kHead = "#trel hit files 1: ";
const char* const kCrc = "#crc ";
// A record larger than this is no record of ours (a query of 100,000 shown
// hits writes about 100 MB of them).
constexpr long long kMaxRecord = 1LL << 30;

// Files of this process's searches, by identity (device, inode), as they
// stood once their query was written: a file one query wrote again with the
// same bytes keeps its older time, and must not be taken for another query's
// unchanged one. Touched only by the thread running the searches.
std::set<std::pair<dev_t, ino_t>> written_by_run;

// Said once for the run: earlier hit files may remain where no record tells
// which they are.
bool said_unrecorded = false;

std::string text(const char* s) { return s ? s : ""; }

long long nanos(const timespec& t) { return (long long)t.tv_sec * 1000000000LL + t.tv_nsec; }

// A name a record may hold: a plain entry of the query's folder.
bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\n') == std::string::npos;
}

bool sameFile(const _trel_hit_file& f, const struct stat& st) {
  return S_ISREG(st.st_mode) && (long long)st.st_size == f.size && nanos(st.st_mtim) == f.mtime &&
         (unsigned long long)st.st_ino == f.ino;
}

std::string recordPath(const char* folder, const _trel_thing* query, const char* suffix) {
  return text(folder) + zam_fileName({trel_thingName(query)}, text(suffix) + ".kwritten");
}

std::string format(const std::string& id, const std::vector<_trel_hit_file>& files) {
  std::string s = kHead + id + "\n";
  char numbers[80];
  for (const _trel_hit_file& f : files) {
    std::snprintf(numbers, sizeof numbers, "%lld %lld %llu ", f.size, f.mtime, f.ino);
    s += numbers + f.name + "\n";
  }
  std::snprintf(numbers, sizeof numbers, "%s%08" PRIx32 "\n", kCrc, zam_crc32(0, s.data(), (int64_t)s.size()));
  return s + numbers;
}

// The entries of a record of id; false when text is not one, or fails its CRC.
bool parse(const std::string& text, const std::string& id, std::vector<_trel_hit_file>* files) {
  const std::string head = kHead + id + "\n";
  if (text.compare(0, head.size(), head) != 0 || text.back() != '\n') return false;
  const size_t last = text.rfind('\n', text.size() - 2) + 1;
  if (last < head.size() || text.compare(last, std::strlen(kCrc), kCrc) != 0) return false;
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08" PRIx32 "\n", zam_crc32(0, text.data(), (int64_t)last));
  if (text.compare(last + std::strlen(kCrc), std::string::npos, crc) != 0) return false;
  for (size_t at = head.size(); at < last;) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    _trel_hit_file f;
    char* p = nullptr;
    errno = 0;
    f.size = std::strtoll(line.c_str(), &p, 10);
    if (*p != ' ') return false;
    f.mtime = std::strtoll(p + 1, &p, 10);
    if (*p != ' ') return false;
    f.ino = std::strtoull(p + 1, &p, 10);
    if (*p != ' ' || errno != 0) return false;
    f.name = p + 1;
    if (!plainName(f.name)) return false;
    files->push_back(std::move(f));
  }
  return true;
}

// Reads the regular file at path whole into out; false when it is none, or
// too large to be a record.
bool readFile(const std::string& path, std::string* out) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxRecord) return false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out->append(buffer, n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// The base names of the files written into dir, with their identities now,
// each one added to the files of the run.
std::map<std::string, _trel_hit_file> writtenInto(const std::string& dir, const _trel_written& written) {
  std::map<std::string, _trel_hit_file> mine;
  std::set<std::string> paths(written.paths.begin(), written.paths.end());
  for (const std::string& path : paths) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    written_by_run.emplace(st.st_dev, st.st_ino);
    if (path.compare(0, dir.size(), dir) != 0) continue;
    const std::string name = path.substr(dir.size());
    if (!plainName(name)) continue;
    mine[name] = _trel_hit_file{name, (long long)st.st_size, nanos(st.st_mtim), (unsigned long long)st.st_ino};
  }
  return mine;
}

void sayUnrecorded(const std::string& dir, const _trel_thing* query, const char* why) {
  if (said_unrecorded) return;
  said_unrecorded = true;
  zam_msg("Files of earlier hits of %s may remain in %s: %s, so none is removed.\n", trel_thingName(query),
          dir.empty() ? "." : dir.c_str(), why);
}

}  // namespace

_trel_hit_record trel_readHitRecord(const char* folder, const _trel_thing* query, const char* suffix) {
  _trel_hit_record r;
  const std::string path = recordPath(folder, query, suffix);
  struct stat st;
  const std::string names = text(folder) + zam_fileName({trel_thingName(query)}, text(suffix) + ".knames");
  r.had_names = lstat(names.c_str(), &st) == 0;
  if (lstat(path.c_str(), &st) != 0) return r;
  std::string all;
  if (!readFile(path, &all) || all.compare(0, std::strlen(kHead), kHead) != 0) {
    r.state = _trel_hit_record::kForeign;
    return r;
  }
  const std::string id = text(trel_thingName(query)) + text(suffix);
  r.state = parse(all, id, &r.files) ? _trel_hit_record::kSound : _trel_hit_record::kDamaged;
  if (r.state != _trel_hit_record::kSound) r.files.clear();
  return r;
}

int trel_renewHitRecord(const char* folder, const _trel_thing* query, const char* suffix,
                        const _trel_hit_record& earlier, const _trel_written& written, bool clean) {
  const std::string dir = text(folder), path = recordPath(folder, query, suffix);
  std::map<std::string, _trel_hit_file> keep = writtenInto(dir, written);
  const size_t now = keep.size();
  int removed = 0;
  for (const _trel_hit_file& f : earlier.files) {
    if (keep.count(f.name)) continue;  // written again (or listed twice)
    const std::string file = dir + f.name;
    struct stat st;
    // Changed since, or written again by another query: not the earlier
    // run's file of this query any more, and no longer in its record.
    if (lstat(file.c_str(), &st) != 0 || !sameFile(f, st) || written_by_run.count({st.st_dev, st.st_ino}) ||
        zam_isInput(file))
      continue;
    if (clean && unlink(file.c_str()) == 0)
      removed++;
    else
      keep[f.name] = f;  // still the earlier run's: a later run may remove it
  }
  if (removed > 0)
    zam_msg("Removed %d file%s that an earlier run wrote for %s and this run did not write again, from %s\n",
            removed, removed == 1 ? "" : "s", trel_thingName(query), dir.empty() ? "." : dir.c_str());
  switch (earlier.state) {
    case _trel_hit_record::kForeign:
      zam_wrn("Not writing %s: a file that is not trel's record of the files it wrote stands there. "
              "No earlier hit file of %s is removed.\n",
              path.c_str(), trel_thingName(query));
      return removed;
    case _trel_hit_record::kDamaged:
      sayUnrecorded(dir, query, ("the record " + path + " is damaged").c_str());
      break;
    case _trel_hit_record::kNone:
      if (earlier.had_names) sayUnrecorded(dir, query, "no record names the files an earlier run wrote there");
      if (now == 0) return removed;  // nothing to record
      break;
    case _trel_hit_record::kSound:
      break;
  }
  std::vector<_trel_hit_file> files;
  for (auto& entry : keep) files.push_back(std::move(entry.second));
  trel_writeText(path, format(text(trel_thingName(query)) + text(suffix), files));
  return removed;
}
