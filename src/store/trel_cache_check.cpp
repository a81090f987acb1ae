// Check lines of the per-structure cache files: the stamp of a source file,
// the sealing of a cache file as it is written, and the check of one read.
#include "store/trel_cache_check.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "runtime/zam_crc.h"
#include "runtime/zam_file.h"
#include "runtime/zam_filesum.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_whole.h"
#include "structure/zam_pdb.h"

namespace {

// v3: image files hold their source's atoms as read (v2 ones held them
// centred and rounded, and the traces beside them were built from those).
// v4: a bzip2 source of several streams is read whole (v3 files of one
// hold what its first stream gave).
// v5: tag files hold what reading and building the object said, after the
// tag and the source's identity (which v4 ones held only when known).
// v6: those lines mark where the reader named the source, for the file a
// run reads to be named there, and keep control bytes escaped (v5 ones
// named the file that filled the cache).
constexpr const char kLead[] = "REMARK 999 trel cache v6 ";
// The head every version of the line starts with: a file that carries it
// near its end was written by trel.
constexpr const char kHead[] = "REMARK 999 trel cache v";
constexpr int kTail = 128;     // the end of a file where its check line's head is looked for
constexpr int kSumDigits = 9;  // the sum's eight hex digits and the newline
constexpr int64_t kPiece = int64_t{1} << 16;  // bytes read at a time for a checksum alone
constexpr int64_t kSizeMask = (int64_t{1} << 48) - 1;  // the twelve hex digits of a size

// The check line of kind and source, its sum left to the caller (sum 0).
std::string checkLine(const char* kind, const _trel_stamp& source, uint32_t sum) {
  char line[TREL_CHECK_LINE + 1];
  const int n = snprintf(line, sizeof line, "%s%-5.5s src %08" PRIx32 " %012" PRIx64 " opt %04" PRIx32 " sum %08" PRIx32 "\n",
                         kLead, kind, source.crc, static_cast<uint64_t>(source.size & kSizeMask),
                         source.options & 0xffffu, sum);
  return n == TREL_CHECK_LINE ? std::string(line, TREL_CHECK_LINE) : std::string();
}

// The value of the n lower-case hex digits at p (as checkLine writes them);
// false for any other byte.
bool hexDigits(const char* p, int n, uint64_t* value) {
  uint64_t v = 0;
  for (int i = 0; i < n; i++) {
    const char c = p[i];
    if (c >= '0' && c <= '9')
      v = v * 16 + static_cast<uint64_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      v = v * 16 + static_cast<uint64_t>(c - 'a' + 10);
    else
      return false;
  }
  *value = v;
  return true;
}

// Reads the check line at line (TREL_CHECK_LINE bytes) of a file of kind:
// its source stamp into found and its sum. False unless it is exactly a
// line checkLine writes for kind.
bool parseLine(const char* line, const char* kind, _trel_stamp* found, uint32_t* sum) {
  char field[5];  // kind as "%-5.5s" writes it
  const size_t k = strnlen(kind, sizeof field);
  memcpy(field, kind, k);
  memset(field + k, ' ', sizeof field - k);
  constexpr size_t lead = sizeof kLead - 1;
  uint64_t src = 0, size = 0, options = 0, check = 0;
  if (memcmp(line, kLead, lead) != 0 || memcmp(line + lead, field, 5) != 0 ||
      memcmp(line + lead + 5, " src ", 5) != 0 || !hexDigits(line + lead + 10, 8, &src) || line[lead + 18] != ' ' ||
      !hexDigits(line + lead + 19, 12, &size) || memcmp(line + lead + 31, " opt ", 5) != 0 ||
      !hexDigits(line + lead + 36, 4, &options) || memcmp(line + lead + 40, " sum ", 5) != 0 ||
      !hexDigits(line + lead + 45, 8, &check) || line[lead + 53] != '\n')
    return false;
  static_assert(sizeof kLead - 1 + 54 == TREL_CHECK_LINE, "the fields of the check line");
  *found = _trel_stamp{static_cast<uint32_t>(src), static_cast<int64_t>(size), static_cast<uint32_t>(options)};
  *sum = static_cast<uint32_t>(check);
  return true;
}

// fstat of fd when it is a regular file; else false with errno telling why
// (a folder or a pipe standing at a file's name is never waited on).
bool regular(int fd, struct stat* st) {
  if (fstat(fd, st) != 0) return false;
  if (S_ISREG(st->st_mode)) return true;
  errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
  return false;
}

// The CRC-32 of the n bytes of fd from offset 0 on, read in pieces; false
// (errno set) when fewer could be read.
bool crcOf(int fd, int64_t n, uint32_t* crc) {
  std::vector<char> piece(static_cast<size_t>(std::min<int64_t>(n, kPiece)) + 1);
  uint32_t c = 0;
  errno = EIO;  // a file that shrinks under the read
  for (int64_t at = 0; at < n;) {
    const int64_t want = std::min<int64_t>(n - at, static_cast<int64_t>(piece.size()));
    if (zam_readAll(fd, piece.data(), want, at) != want) return false;
    c = zam_crc32(c, piece.data(), want);
    at += want;
  }
  *crc = c;
  return true;
}

// Whether the last bytes of a file (tail, n of them) carry the head of a
// check line of any version.
bool headIn(const char* tail, size_t n) {
  const size_t head = sizeof kHead - 1;
  for (size_t at = n >= head ? n - head + 1 : 0; at-- > 0;)
    if (memcmp(tail + at, kHead, head) == 0) return true;
  return false;
}

// What the file at path is by its last bytes (links followed when follow):
// as trel_checkOwner tells.
TrelCheck ownerByTail(const char* path, bool follow) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
  if (fd < 0) return errno == ENOENT ? TREL_CHECK_MISSING : TREL_CHECK_UNREADABLE;
  struct stat st;
  char tail[kTail];
  const int64_t n = regular(fd, &st) ? std::min<int64_t>(st.st_size, kTail) : -1;
  const bool read_ok = n >= 0 && zam_readAll(fd, tail, n, st.st_size - n) == n;
  const int err = errno;
  close(fd);
  errno = err;
  if (!read_ok) return TREL_CHECK_UNREADABLE;
  return headIn(tail, static_cast<size_t>(n)) ? TREL_CHECK_OK : TREL_CHECK_UNSEALED;
}

}  // namespace

uint32_t trel_readingKey() {
  uint32_t key = 0;
  if (zam_getPdbHetRes()) key |= 1u;
  if (zam_getPdbHydrogens()) key |= 2u;
  if (zam_getPdbMissing()) key |= 4u;
  if (zam_getPdbOneChain()) key |= 8u;
  if (!zam_getPdbOneModel()) key |= 16u;
  key |= static_cast<uint32_t>((zam_getPdbChainType() ^ 1) & 3) << 5;  // the default type gives 0
  return key;
}

bool trel_checkReplaceable(TrelCheck check) {
  return check != TREL_CHECK_UNREADABLE && check != TREL_CHECK_UNSEALED;
}

TrelCheck trel_checkOwner(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT ? TREL_CHECK_MISSING : TREL_CHECK_UNREADABLE;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return TREL_CHECK_UNREADABLE;
  }
  return ownerByTail(path, false);
}

namespace {

constexpr int64_t kFineGrain = 50000000;      // 50 ms: a tick of the clock a file system's times come from, and room
constexpr int64_t kCoarseGrain = 2000000000;  // 2 s: a file system that keeps whole (or even) seconds
constexpr int64_t kSecond = 1000000000;

// Whether a file of identity id, read from the time start on, was settled
// then: its last change lies more than a grain of its times before start,
// so any later change gives it other times. Times of whole seconds are
// taken for a file system that keeps no finer ones.
bool settled(const _zam_identity& id, int64_t start) {
  const int64_t grain = id.mtime_ns % kSecond == 0 && id.ctime_ns % kSecond == 0 ? kCoarseGrain : kFineGrain;
  return std::max(id.mtime_ns, id.ctime_ns) + grain <= start;
}

// Reads the cache file at path whole into bytes (a link followed, as
// before: a file of trel's is never one, and a link at a cache name is
// refused by the writer's look, trel_checkOwner). False (errno) when it
// cannot be read, or is larger than most (EFBIG); a folder at the name says
// so.
bool readCacheBytes(const char* path, std::string* bytes, int64_t most) {
  if (zam_readWholeFile(path, bytes, most, nullptr, true)) return true;
  struct stat st;
  if (errno == EINVAL && path && stat(path, &st) == 0 && S_ISDIR(st.st_mode)) errno = EISDIR;
  return false;
}

}  // namespace

int trel_stampSum(const _zam_filesum& sum, _trel_stamp* stamp, _zam_identity* id) {
  if (id) *id = _zam_identity{};
  if (!sum.whole) return 0;
  stamp->crc = sum.crc;
  stamp->size = sum.size;
  stamp->options = trel_readingKey();
  if (id && zam_sameIdentity(sum.opened, sum.closed) && sum.opened.size == sum.size &&
      settled(sum.opened, sum.start_ns))
    *id = sum.opened;
  return 1;
}

int trel_stampFile(const char* path, _trel_stamp* stamp, _zam_identity* id) {
  _zam_filesum sum;
  if (!zam_sumFile(path, &sum)) return 0;
  return trel_stampSum(sum, stamp, id);
}

TrelCheck trel_compareStamp(const _trel_stamp& found, const _trel_stamp& source) {
  if (found.crc != source.crc || found.size != (source.size & kSizeMask)) return TREL_CHECK_FOREIGN;
  if (found.options != (source.options & 0xffffu)) return TREL_CHECK_OPTIONS;
  return TREL_CHECK_OK;
}

TrelCheck trel_readCacheFile(const char* path, const char* kind, std::string* payload, _trel_stamp* found,
                             int64_t most) {
  std::string bytes;
  if (!readCacheBytes(path, &bytes, most)) {
    if (errno == EFBIG) {
      // Too large to be what it should: trel's own, and damaged, when it
      // ends as trel's files end.
      const TrelCheck owner = ownerByTail(path, true);
      return owner == TREL_CHECK_OK ? TREL_CHECK_DAMAGED : owner;
    }
    return errno == ENOENT ? TREL_CHECK_MISSING : TREL_CHECK_UNREADABLE;
  }
  const size_t n = bytes.size();
  const size_t tail = std::min<size_t>(n, kTail);
  if (!headIn(bytes.data() + n - tail, tail)) return TREL_CHECK_UNSEALED;
  if (n < static_cast<size_t>(TREL_CHECK_LINE) || bytes.compare(n - TREL_CHECK_LINE, sizeof kLead - 1, kLead) != 0) {
    // The whole line of an older version at the end, or a line cut or spoilt.
    const size_t at = bytes.rfind(kHead);
    const bool older = bytes.back() == '\n' && bytes.find('\n', at) == n - 1 &&
                       bytes.compare(at, sizeof kLead - 1, kLead) != 0;
    return older ? TREL_CHECK_OLDER : TREL_CHECK_DAMAGED;
  }
  // The line must read exactly as it was written for kind, and the bytes
  // before its sum must give that sum.
  uint32_t sum = 0;
  if (!parseLine(bytes.data() + n - TREL_CHECK_LINE, kind, found, &sum) ||
      zam_crc32(0, bytes.data(), static_cast<int64_t>(n) - kSumDigits) != sum)
    return TREL_CHECK_DAMAGED;
  if (payload) {
    bytes.resize(n - TREL_CHECK_LINE);
    *payload = std::move(bytes);
  }
  return TREL_CHECK_OK;
}

TrelCheck trel_checkCacheFile(const char* path, const char* kind, const _trel_stamp& source,
                              std::string* payload) {
  _trel_stamp found;
  std::string bytes;
  TrelCheck check = trel_readCacheFile(path, kind, payload ? &bytes : nullptr, &found);
  if (check == TREL_CHECK_OK) check = trel_compareStamp(found, source);
  if (check == TREL_CHECK_OK && payload) *payload = std::move(bytes);
  return check;
}

std::string trel_checkText(TrelCheck check) {
  switch (check) {
    case TREL_CHECK_OK: return "is whole";
    case TREL_CHECK_MISSING: return "is missing";
    case TREL_CHECK_UNREADABLE: return std::string("cannot be read [") + strerror(errno) + "]";
    case TREL_CHECK_UNSEALED: return "is not a cache file of trel's (it has no check line)";
    case TREL_CHECK_OLDER: return "was written by an older version";
    case TREL_CHECK_DAMAGED: return "is damaged";
    case TREL_CHECK_FOREIGN: return "was made from another source file";
    case TREL_CHECK_OPTIONS: return "was made with other reading options (-hetres, -hydrogens)";
  }
  return "is damaged";
}

int trel_sealCacheFile(_zam_whole* whole, const char* kind, const _trel_stamp& source, const uint32_t* written) {
  if (!whole || !whole->fp || whole->fd < 0 || zam_fflush(whole->fp) != 0) return 0;
  struct stat st;
  uint32_t crc = written ? *written : 0;
  if (!written && (fstat(whole->fd, &st) != 0 || !crcOf(whole->fd, st.st_size, &crc))) return 0;
  std::string line = checkLine(kind, source, 0);
  if (line.empty()) return 0;
  crc = zam_crc32(crc, line.data(), TREL_CHECK_LINE - kSumDigits);
  char sum[kSumDigits + 1];
  snprintf(sum, sizeof sum, "%08" PRIx32 "\n", crc);
  line.replace(TREL_CHECK_LINE - kSumDigits, kSumDigits, sum, kSumDigits);
  return zam_fwrite(whole->fp, line.data(), TREL_CHECK_LINE) == 1 ? 1 : 0;
}
