// Database checksums: the CRC-32 and size of each of a database's four files,
// written beside them in checksums.dat when a build closes and checked when
// the database is opened. A data file of the right size holding other bytes
// (a copy cut or garbled, a file replaced) passes every other check of the
// open, and would be read as records.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/zam_crc.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_whole.h"
#include "store/trel_database.h"

namespace {

constexpr const char* kFiles[4] = {"master.dat", "names.dat", "tags.dat", "traces.dat"};
constexpr const char kHead[] = "# trel database checksums: CRC-32, bytes, file\n";

// A checksum file of a few lines; anything longer is not one.
constexpr int64_t kSumsMax = 4096;

// Bytes per thread at the least when a block's checksum is split: a few
// milliseconds of work, against some tens of microseconds to start a thread.
constexpr int64_t kCrcBytesPerPart = 4LL << 20;

// The CRC-32 of each slice of a block, one slice per part.
struct CrcParts {
  const unsigned char* data;
  int64_t n;
  std::vector<uLong> crc;
  std::vector<int64_t> length;
};

void crcPart(int part, int parts, void* arg) {
  CrcParts& c = *static_cast<CrcParts*>(arg);
  const int64_t from = c.n * part / parts, to = c.n * (part + 1) / parts;
  c.crc[part] = zam_crc32(0, c.data + from, to - from);
  c.length[part] = to - from;
}

// CRC-32 of n bytes; a large block on several threads, its slices combined.
uint32_t blockCrc(const void* data, int64_t n) {
  if (!data || n < 1) return 0;
  const int parts = static_cast<int>(std::clamp<int64_t>(n / kCrcBytesPerPart, 1, zam_thread_bulk()));
  CrcParts c{static_cast<const unsigned char*>(data), n, std::vector<uLong>(parts),
             std::vector<int64_t>(parts)};
  zam_thread_run(parts, crcPart, &c);
  uLong crc = c.crc[0];
  for (int p = 1; p < parts; p++) crc = crc32_combine64(crc, c.crc[p], c.length[p]);
  return static_cast<uint32_t>(crc);
}

struct Sum {
  uint32_t crc = 0;
  int64_t bytes = 0;
  bool seen = false;
};

bool badSums(const _trel_db* db, int line, const char* what) {
  zam_err("Bad database CHECKSUM file %s at line %d: %s. Please rebuild the database.\n",
          db->sums_path, line, what);
  return false;
}

// Reads the checksum file into sums (in the order of kFiles); false after
// an error naming the file and the line.
bool readSums(const _trel_db* db, int fd, Sum* sums) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kSumsMax)
    return badSums(db, 1, "not a checksum file");
  std::string text(static_cast<size_t>(st.st_size), '\0');
  if (zam_readAll(fd, text.data(), static_cast<int64_t>(text.size()), 0) != static_cast<int64_t>(text.size()))
    return badSums(db, 1, "cannot be read");
  int number = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return badSums(db, number + 1, "the last line is cut short");
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    number++;
    if (line.empty() || line[0] == '#') continue;
    unsigned int crc = 0;
    long long bytes = -1;
    char file[32] = "";
    int used = 0;
    if (std::sscanf(line.c_str(), "%8x %lld %31s%n", &crc, &bytes, file, &used) != 3 ||
        used != static_cast<int>(line.size()) || bytes < 0)
      return badSums(db, number, "not a checksum line");
    const auto k = std::find_if(std::begin(kFiles), std::end(kFiles),
                                [&](const char* f) { return std::strcmp(f, file) == 0; });
    if (k == std::end(kFiles)) return badSums(db, number, "not a file of the database");
    Sum& s = sums[k - std::begin(kFiles)];
    if (s.seen) return badSums(db, number, "a file named twice");
    s = Sum{static_cast<uint32_t>(crc), static_cast<int64_t>(bytes), true};
  }
  for (int k = 0; k < 4; k++)
    if (!sums[k].seen) return badSums(db, number, (std::string(kFiles[k]) + " is missing").c_str());
  return true;
}

}  // namespace

int trel_writeDatabaseSums(const _trel_db* db) {
  const uint32_t crc[4] = {zam_crc32(0, db, TREL_DB_MASTER_SIZE), db->names_crc, db->tags_crc,
                           db->traces_crc};
  const int64_t bytes[4] = {TREL_DB_MASTER_SIZE, db->names_bytes, db->tags_bytes, db->traces_bytes};
  _zam_whole* whole = zam_openWhole(db->sums_path, "w", ZAM_OLDER_REPLACED);
  if (whole) {
    zam_fprintf(whole->fp, "%s", kHead);
    for (int k = 0; k < 4; k++)
      zam_fprintf(whole->fp, "%08x %lld %s\n", crc[k], static_cast<long long>(bytes[k]), kFiles[k]);
    if (zam_closeWhole(whole, true)) return 1;
  }
  zam_err("Failed to write database CHECKSUM file: %s [%s]\n", db->sums_path, strerror(errno));
  return 0;
}

int trel_checkDatabaseSums(const _trel_db* db) {
  const int fd = open(db->sums_path, O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    zam_wrn("Database %s has no checksum file %s: its files cannot be checked for damage. "
            "Rebuilding the database adds one.\n",
            db->folder, TREL_DB_SUMS);
    return 1;
  }
  if (fd < 0) {
    zam_err("Failed to open database file: %s\n", db->sums_path);
    return 0;
  }
  Sum sums[4];
  const bool read = readSums(db, fd, sums);
  close(fd);
  if (!read) return 0;
  const char* paths[4] = {db->master_path, db->names_path, db->tags_path, db->traces_path};
  const void* blocks[4] = {db, db->names, db->tags, db->traces};
  const int64_t bytes[4] = {TREL_DB_MASTER_SIZE, db->names_bytes, db->tags_bytes, db->traces_bytes};
  for (int k = 0; k < 4; k++) {
    if (sums[k].bytes != bytes[k] || sums[k].crc != blockCrc(blocks[k], bytes[k])) {
      zam_err("Database file %s does not match its checksum in %s: it is damaged or was changed "
              "after the build. Please rebuild the database.\n",
              paths[k], db->sums_path);
      return 0;
    }
  }
  return 1;
}
