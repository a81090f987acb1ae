#include "runtime/zam_filesum.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "runtime/zam_crc.h"

namespace {

constexpr int64_t kPiece = int64_t{1} << 16;

// The identity of the regular file open at fd; false (errno) for anything
// else, or when fstat fails.
bool regularIdentity(int fd, _zam_identity* id) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  *id = zam_identityOf(st);
  return true;
}

}  // namespace

void zam_sumStart(_zam_filesum* sum) {
  *sum = _zam_filesum{};
  sum->start_ns = zam_nowNs();
}

void zam_sumAdd(_zam_filesum* sum, const void* data, int64_t n) {
  if (n < 1) return;
  sum->crc = zam_crc32(sum->crc, data, n);
  sum->size += n;
}

int zam_sumFinish(_zam_filesum* sum, int fd) {
  sum->whole = 0;
  std::vector<char> piece(static_cast<size_t>(kPiece));
  for (;;) {
    const ssize_t got = read(fd, piece.data(), piece.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return 0;
    if (got == 0) break;
    zam_sumAdd(sum, piece.data(), got);
  }
  if (!regularIdentity(fd, &sum->closed)) return 0;
  sum->whole = 1;
  return 1;
}

int zam_sumFile(const char* path, _zam_filesum* sum) {
  zam_sumStart(sum);
  // Without blocking: a pipe's open would wait for a writer; it is seen for
  // what it is by its status and never read.
  const int fd = path ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
  if (fd < 0) return 0;
  const int ok = regularIdentity(fd, &sum->opened) && zam_sumFinish(sum, fd);
  const int err = errno;
  close(fd);
  errno = err;
  return ok;
}
