// Check lines of the per-structure cache files: the stamp of a source file,
// the sealing of a cache file as it is written, and the check of one read.
#include "store/trel_cache_check.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "runtime/zam_crc.h"
#include "runtime/zam_file.h"
#include "runtime/zam_whole.h"
#include "structure/zam_pdb.h"

namespace {

constexpr const char kLead[] = "REMARK 999 trel cache v2 ";
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
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? TREL_CHECK_MISSING : TREL_CHECK_UNREADABLE;
  char tail[kTail];
  const int64_t n = regular(fd, &st) ? std::min<int64_t>(st.st_size, kTail) : -1;
  const bool read_ok = n >= 0 && zam_readAll(fd, tail, n, st.st_size - n) == n;
  const int err = errno;
  close(fd);
  errno = err;
  if (!read_ok) return TREL_CHECK_UNREADABLE;
  return headIn(tail, static_cast<size_t>(n)) ? TREL_CHECK_OK : TREL_CHECK_UNSEALED;
}

int trel_stampFile(const char* path, _trel_stamp* stamp) {
  const int fd = path ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
  if (fd < 0) return 0;
  struct stat st;
  uint32_t crc = 0;
  bool ok = regular(fd, &st) && crcOf(fd, st.st_size, &crc);
  const int err = errno;
  close(fd);
  errno = err;
  if (!ok) return 0;
  stamp->crc = crc;
  stamp->size = st.st_size;
  stamp->options = trel_readingKey();
  return 1;
}

int trel_readStamped(const char* path, std::string* bytes, _trel_stamp* stamp) {
  const int fd = path ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
  if (fd < 0) return 0;
  struct stat st;
  bool ok = regular(fd, &st);
  if (ok) {
    bytes->resize(static_cast<size_t>(st.st_size));
    errno = EIO;  // a file that shrinks under the read
    ok = zam_readAll(fd, bytes->data(), st.st_size, 0) == st.st_size;
  }
  const int err = errno;
  close(fd);
  errno = err;
  if (!ok) return 0;
  stamp->crc = zam_crc32(0, bytes->data(), st.st_size);
  stamp->size = st.st_size;
  stamp->options = trel_readingKey();
  return 1;
}

TrelCheck trel_checkCacheFile(const char* path, const char* kind, const _trel_stamp& source,
                              std::string* payload) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? TREL_CHECK_MISSING : TREL_CHECK_UNREADABLE;
  struct stat st;
  std::string bytes;
  bool read_ok = regular(fd, &st);
  if (read_ok) {
    bytes.resize(static_cast<size_t>(st.st_size));
    errno = EIO;  // a file that shrinks under the read
    read_ok = zam_readAll(fd, bytes.data(), st.st_size, 0) == st.st_size;
  }
  const int err = errno;
  close(fd);
  errno = err;
  if (!read_ok) return TREL_CHECK_UNREADABLE;

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
  const char* line = bytes.data() + n - TREL_CHECK_LINE;
  char found_kind[6] = "";
  unsigned src = 0, options = 0, sum = 0;
  unsigned long long size = 0;
  if (sscanf(line + sizeof kLead - 1, "%5s src %8x %12llx opt %4x sum %8x", found_kind, &src, &size, &options, &sum) != 5)
    return TREL_CHECK_DAMAGED;
  // The line must read back exactly as it was written, and the bytes before
  // its sum must give that sum.
  const _trel_stamp found{static_cast<uint32_t>(src), static_cast<int64_t>(size), static_cast<uint32_t>(options)};
  if (checkLine(found_kind, found, sum).compare(0, TREL_CHECK_LINE, line, TREL_CHECK_LINE) != 0 ||
      zam_crc32(0, bytes.data(), static_cast<int64_t>(n) - kSumDigits) != sum ||
      strncmp(found_kind, kind, 5) != 0)
    return TREL_CHECK_DAMAGED;
  if (found.crc != source.crc || found.size != (source.size & kSizeMask)) return TREL_CHECK_FOREIGN;
  if (found.options != (source.options & 0xffffu)) return TREL_CHECK_OPTIONS;
  if (payload) {
    bytes.resize(n - TREL_CHECK_LINE);
    *payload = std::move(bytes);
  }
  return TREL_CHECK_OK;
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

int trel_sealCacheFile(_zam_whole* whole, const char* kind, const _trel_stamp& source) {
  if (!whole || !whole->fp || whole->fd < 0 || zam_fflush(whole->fp) != 0) return 0;
  struct stat st;
  uint32_t crc = 0;
  if (fstat(whole->fd, &st) != 0 || !crcOf(whole->fd, st.st_size, &crc)) return 0;
  std::string line = checkLine(kind, source, 0);
  if (line.empty()) return 0;
  crc = zam_crc32(crc, line.data(), TREL_CHECK_LINE - kSumDigits);
  char sum[kSumDigits + 1];
  snprintf(sum, sizeof sum, "%08" PRIx32 "\n", crc);
  line.replace(TREL_CHECK_LINE - kSumDigits, kSumDigits, sum, kSumDigits);
  return zam_fwrite(whole->fp, line.data(), TREL_CHECK_LINE) == 1 ? 1 : 0;
}
