#include "runtime/zam_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <ctime>

namespace {

int64_t clockNs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return zam_nanoseconds(t);
}

// Taken before main, so that every file the run writes is changed after it,
// and every run that ended before this process began ended before run_began.
const int64_t run_start = clockNs(CLOCK_REALTIME_COARSE);
const int64_t run_began = clockNs(CLOCK_REALTIME);

}  // namespace

int64_t zam_nanoseconds(const timespec& t) {
  constexpr int64_t kBillion = 1000000000;
  const int64_t sec = static_cast<int64_t>(t.tv_sec), nsec = static_cast<int64_t>(t.tv_nsec);
  if (sec >= INT64_MAX / kBillion) return INT64_MAX;
  if (sec <= INT64_MIN / kBillion) return INT64_MIN;
  return sec * kBillion + nsec;
}

int64_t zam_nowNs() { return clockNs(CLOCK_REALTIME); }

int64_t zam_runStart() { return run_start; }

int64_t zam_runBegan() { return run_began; }

_zam_identity zam_identityOf(const struct stat& st) {
  return _zam_identity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                       static_cast<int64_t>(st.st_size), zam_nanoseconds(st.st_mtim), zam_nanoseconds(st.st_ctim)};
}

int zam_identityAt(const char* path, _zam_identity* id, uint64_t* links, bool follow) {
  struct stat st;
  if (!path || (follow ? stat(path, &st) : lstat(path, &st)) != 0) return 0;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return 0;
  }
  *id = zam_identityOf(st);
  if (links) *links = static_cast<uint64_t>(st.st_nlink);
  return 1;
}

bool zam_standsAt(int fd, const std::string& path, struct stat* st) {
  struct stat mine;
  return fstat(fd, &mine) == 0 && zam_standsAt(mine, path, st);
}

bool zam_standsAt(const struct stat& held, const std::string& path, struct stat* st) {
  struct stat there;
  if (lstat(path.c_str(), &there) != 0) return false;
  if (st) *st = there;
  return held.st_dev == there.st_dev && held.st_ino == there.st_ino;
}

bool (*zam_stamp_fault)(bool generation) = nullptr;

int64_t zam_bornIn(const struct statx& sx) {
  if (!(sx.stx_mask & STATX_BTIME) || (zam_stamp_fault && zam_stamp_fault(false))) return 0;
  timespec t{};
  t.tv_sec = static_cast<time_t>(sx.stx_btime.tv_sec);
  t.tv_nsec = static_cast<long>(sx.stx_btime.tv_nsec);
  return zam_nanoseconds(t);
}

bool zam_statBorn(int fd, struct stat* st, int64_t* born) {
  constexpr unsigned kNeeded = STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME;
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0 ||
      (sx.stx_mask & kNeeded) != kNeeded) {
    // No statx (an old kernel, a filter), or a file system that gives less
    // through it: the status alone, without a birth time.
    *born = 0;
    return fstat(fd, st) == 0;
  }
  const auto time = [](const struct statx_timestamp& s) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(s.tv_sec);
    t.tv_nsec = static_cast<long>(s.tv_nsec);
    return t;
  };
  *st = {};
  st->st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st->st_ino = static_cast<ino_t>(sx.stx_ino);
  st->st_mode = static_cast<mode_t>(sx.stx_mode);
  st->st_nlink = static_cast<nlink_t>(sx.stx_nlink);
  st->st_uid = static_cast<uid_t>(sx.stx_uid);
  st->st_gid = static_cast<gid_t>(sx.stx_gid);
  st->st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
  st->st_size = static_cast<off_t>(sx.stx_size);
  st->st_blksize = static_cast<blksize_t>(sx.stx_blksize);
  st->st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
  st->st_atim = time(sx.stx_atime);
  st->st_mtim = time(sx.stx_mtime);
  st->st_ctim = time(sx.stx_ctime);
  *born = zam_bornIn(sx);
  return true;
}

bool zam_sameIdentity(const _zam_identity& a, const _zam_identity& b) {
  return a.ino != 0 && a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime_ns == b.mtime_ns &&
         a.ctime_ns == b.ctime_ns;
}

std::string zam_identityText(const _zam_identity& id) {
  // Written for each file placed, twice: the digits put in place, no format
  // parsed. Five numbers of 20 digits and a sign at most, four spaces.
  char text[112];
  char* const end = text + sizeof text;
  char* at = std::to_chars(text, end, id.dev).ptr;
  const auto space = [&] {
    if (at < end) *at++ = ' ';
  };
  space();
  at = std::to_chars(at, end, id.ino).ptr;
  for (const int64_t v : {id.size, id.mtime_ns, id.ctime_ns}) {
    space();
    at = std::to_chars(at, end, v).ptr;
  }
  return std::string(text, at);
}

bool zam_parseNumber(const char*& p, const char* end, uint64_t max, uint64_t* out) {
  const char* at = p;
  uint64_t v = 0;
  int digits = 0;
  for (; at < end && *at >= '0' && *at <= '9'; ++at) {
    const uint64_t d = static_cast<uint64_t>(*at - '0');
    if (++digits > 20 || d > max || v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  if (digits == 0) return false;
  *out = v;
  p = at;
  return true;
}

bool zam_parseIdentity(const char* text, const char* limit, _zam_identity* id, const char** end) {
  if (!text) return false;
  const char* p = text;
  uint64_t v[5];
  constexpr uint64_t kSigned = static_cast<uint64_t>(INT64_MAX);
  const uint64_t max[5] = {UINT64_MAX, UINT64_MAX, kSigned, kSigned, kSigned};
  for (int i = 0; i < 5; ++i) {
    if (i > 0 && (p >= limit || *p++ != ' ')) return false;
    if (!zam_parseNumber(p, limit, max[i], &v[i])) return false;
  }
  *id = _zam_identity{v[0], v[1], static_cast<int64_t>(v[2]), static_cast<int64_t>(v[3]),
                      static_cast<int64_t>(v[4])};
  if (end) *end = p;
  return true;
}

ZamRecorded zam_removeRecorded(const std::string& path, const _zam_identity& id, bool really) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? ZAM_RECORDED_GONE : ZAM_RECORDED_CHANGED;
  if (!S_ISREG(st.st_mode) || !zam_sameIdentity(id, zam_identityOf(st))) return ZAM_RECORDED_CHANGED;
  if (st.st_nlink != 1) return ZAM_RECORDED_LINKED;
  if (!really) return ZAM_RECORDED_REMOVED;
  if (unlink(path.c_str()) == 0) return ZAM_RECORDED_REMOVED;
  return errno == ENOENT ? ZAM_RECORDED_GONE : ZAM_RECORDED_FAILED;
}
