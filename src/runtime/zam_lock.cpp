// Process locks over one private System V semaphore set.
#include "runtime/zam_lock.h"

#include "runtime/zam_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

constexpr int kSems = 2 * ZAM_LOCK_SLOTS + ZAM_LOCK_FLAGS;  // 26
constexpr int kFlagBase = 2 * ZAM_LOCK_SLOTS;

std::atomic<int> set_id{-1};
std::atomic<pid_t> creator_pid{0};

union semun_arg {
    int val;
    semid_ds* buf;
    unsigned short* array;
};

// The interrupt signal is ignored while any thread waits on the set; the
// handler found by the first waiter is restored by the last one.
std::mutex sigint_guard;
int sigint_waiters = 0;
struct sigaction sigint_saved;

void ignore_sigint()
{
    std::lock_guard<std::mutex> lk(sigint_guard);
    if (sigint_waiters++ > 0) return;
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGINT, &ign, &sigint_saved);
}

void restore_sigint()
{
    std::lock_guard<std::mutex> lk(sigint_guard);
    if (--sigint_waiters > 0) return;
    sigaction(SIGINT, &sigint_saved, nullptr);
}

[[noreturn]] void exit_after_failure()
{
    std::fflush(nullptr);
    zam_msg(getpid() == creator_pid.load() ? "Lead process exiting.\n" : "Child process exiting.\n");
    zam_msg("Please try running the \"zam_ipcrm\" script.\n");
    std::fflush(nullptr);
    std::exit(1);
}

// Applies the operations together, atomically on the whole set. An
// interrupted wait is retried after a second; any other failure ends the
// process.
void apply(sembuf* ops, int nops, const char* fail_fmt, int n)
{
    ignore_sigint();
    while (semop(set_id.load(), ops, nops) != 0) {
        int err = errno;
        if (err == EINTR) {
            sleep(1);
            continue;
        }
        restore_sigint();
        zam_err(fail_fmt, n, std::strerror(err));
        exit_after_failure();
    }
    restore_sigint();
}

bool slot_ok(int n, const char* who)
{
    if (n >= 0 && n < ZAM_LOCK_SLOTS && set_id.load() >= 0) return true;
    zam_err("Bad lock number (%d) in %s.\n", n, who);
    return false;
}

bool flag_ok(int f, const char* who)
{
    if (f >= 0 && f < ZAM_LOCK_FLAGS && set_id.load() >= 0) return true;
    zam_err("Bad flag number (%d) in %s.\n", f, who);
    return false;
}

void slot_op(int n, short empty_op, short guard_op, const char* who, const char* fail_fmt)
{
    if (!slot_ok(n, who)) return;
    sembuf ops[2] = {{static_cast<unsigned short>(2 * n), empty_op, 0},
                     {static_cast<unsigned short>(2 * n + 1), guard_op, 0}};
    apply(ops, 2, fail_fmt, n);
}

void flag_op(int f, short op, const char* who, const char* fail_fmt)
{
    if (!flag_ok(f, who)) return;
    sembuf ops[1] = {{static_cast<unsigned short>(kFlagBase + f), op, 0}};
    apply(ops, 1, fail_fmt, f);
}

// The flock call, or the test's stand-in.
int flockCall(int fd, int operation) {
  return zam_flock_call ? zam_flock_call(fd, operation) : flock(fd, operation);
}

// The open-file-description lock call, or the test's stand-in.
int ofd(int fd, int cmd, struct flock* l) {
  return zam_ofd_lock_call ? zam_ofd_lock_call(fd, cmd, l) : fcntl(fd, cmd, l);
}

struct flock byteLock(short type, int64_t at) {
  struct flock l;
  std::memset(&l, 0, sizeof l);
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = static_cast<off_t>(at);
  l.l_len = 1;
  return l;
}

// Whether a lock of another open file than fd's conflicts with a write
// lock of l_len bytes from at (0: to the end): asked through fd's own open
// file, so that its own marks do not count. 1, 0, or -1 (errno).
int othersLock(int fd, int64_t at, off_t len) {
  struct flock l = byteLock(F_WRLCK, at);
  l.l_len = len;
  if (ofd(fd, F_OFD_GETLK, &l) != 0) return -1;
  return l.l_type == F_UNLCK ? 0 : 1;
}

}  // namespace

void zam_alloc_locks()
{
    if (set_id.load() >= 0) return;
    int id = semget(IPC_PRIVATE, kSems, IPC_CREAT | 0600);
    if (id < 0) {
        zam_err("Failed to create locks.\n [%s]\n", std::strerror(errno));
        exit_after_failure();
    }
    creator_pid.store(getpid());
    unsigned short ones[kSems];
    for (auto& v : ones) v = 1;
    semun_arg arg;
    arg.array = ones;
    if (semctl(id, 0, SETALL, arg) != 0) {
        int err = errno;
        semctl(id, 0, IPC_RMID);
        zam_err("Failed to initialise locks.\n [%s]\n", std::strerror(err));
        exit_after_failure();
    }
    set_id.store(id);
}

void zam_free_locks()
{
    int id = set_id.load();
    if (id < 0 || getpid() != creator_pid.load()) return;
    if (semctl(id, 0, IPC_RMID) != 0) {
        zam_err("Failed to free locks.\n [%s]\n", std::strerror(errno));
        return;
    }
    set_id.store(-1);
}

int zam_lock_id()
{
    return set_id.load();
}

void zam_write_acquire(int n)
{
    slot_op(n, -1, -1, "zam_write_acquire", "Failed to acquire write lock %d.\n [%s]\n");
}

void zam_write_release(int n)
{
    slot_op(n, 0, 1, "zam_write_release", "Failed to release write lock %d.\n [%s]\n");
}

void zam_read_acquire(int n)
{
    slot_op(n, 0, -1, "zam_read_acquire", "Failed to acquire read lock %d.\n [%s]\n");
}

void zam_read_release(int n)
{
    slot_op(n, 1, 1, "zam_read_release", "Failed to release read lock %d.\n [%s]\n");
}

void zam_read_drop(int n)
{
    slot_op(n, 0, 1, "zam_read_drop", "Failed to drop read lock %d.\n [%s]\n");
}

void zam_flag_set(int f)
{
    flag_op(f, -1, "zam_flag_set", "Failed to wait on flag %d.\n [%s]\n");
}

void zam_flag_clear(int f)
{
    flag_op(f, 1, "zam_flag_clear", "Failed to raise flag %d.\n [%s]\n");
}

bool zam_lockRefused(int err) {
  return err == ENOLCK || err == EOPNOTSUPP || err == ENOTSUP || err == ENOSYS || err == EINVAL;
}

int zam_tryLockFile(int fd, bool exclusive) {
  if (flockCall(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return ZAM_LOCK_FLOCK;
  if (!zam_lockRefused(errno)) return ZAM_LOCK_FAILED;
  struct flock l = byteLock(exclusive ? F_WRLCK : F_RDLCK, 0);
  l.l_len = 0;  // the whole file, as flock takes it
  if (ofd(fd, F_OFD_SETLK, &l) == 0) return ZAM_LOCK_OFD;
  if (errno == EAGAIN || errno == EACCES) {
    errno = EWOULDBLOCK;
    return ZAM_LOCK_FAILED;
  }
  // A write lock of a file open only to read is refused as EBADF: for this
  // file, the kind is not to be had.
  if (!zam_lockRefused(errno) && errno != EBADF) return ZAM_LOCK_FAILED;
  return ZAM_LOCK_NONE;
}

int zam_lockFile(int fd, bool exclusive, const std::string& what, const std::string& place,
                 const std::function<bool()>& give_up) {
  using clock = std::chrono::steady_clock;
  const clock::time_point start = clock::now();
  bool said = false;
  // A turn at a record lasts some tens of microseconds: the first looks
  // come as often, so that runs writing into one folder hardly wait for
  // each other; a wait past a second is another run stopped (or slow)
  // within its turn, looked at again every 20 ms.
  for (int pause_us = 10;; pause_us = std::min(2 * pause_us, said ? 20000 : 200)) {
    const int flock_err = [&] {
      if (flockCall(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return 0;
      return errno;
    }();
    if (flock_err == 0) return ZAM_LOCK_FLOCK;
    int err = flock_err;
    if (zam_lockRefused(flock_err)) {
      struct flock l = byteLock(exclusive ? F_WRLCK : F_RDLCK, 0);
      l.l_len = 0;
      if (ofd(fd, F_OFD_SETLK, &l) == 0) {
        zam_wrn_once("lock-flock", "%s refuses flock locks (%s): runs writing into it take turns by "
                     "open-file-description locks instead.\n", place.c_str(), std::strerror(flock_err));
        return ZAM_LOCK_OFD;
      }
      err = errno == EACCES || errno == EAGAIN ? EWOULDBLOCK : errno;
      if (err != EWOULDBLOCK) {
        if (!zam_lockRefused(err) && err != EBADF) {
          errno = err;
          return ZAM_LOCK_FAILED;
        }
        zam_wrn_once("lock-none", "%s refuses every file lock (%s): runs writing into it at the same time do "
                     "not take turns.\n", place.c_str(), std::strerror(flock_err));
        return ZAM_LOCK_NONE;
      }
    }
    if (err != EWOULDBLOCK && err != EINTR) {
      errno = err;
      return ZAM_LOCK_FAILED;
    }
    if (give_up && give_up()) {
      errno = ECANCELED;
      return ZAM_LOCK_FAILED;
    }
    if (!said && clock::now() - start > std::chrono::seconds(1)) {
      said = true;
      zam_msg("Waiting for %s\n", what.c_str());
    }
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
  }
}

void zam_unlockFile(int fd, int kind) {
  if (kind == ZAM_LOCK_FLOCK) {
    flockCall(fd, LOCK_UN);
  } else if (kind == ZAM_LOCK_OFD) {
    struct flock l = byteLock(F_UNLCK, 0);
    l.l_len = 0;
    ofd(fd, F_OFD_SETLK, &l);
  }
}

int (*zam_ofd_lock_call)(int fd, int cmd, struct flock* lock) = nullptr;
int (*zam_flock_call)(int fd, int operation) = nullptr;

int zam_markAlive(int fd, int64_t at) {
  // A read lock needs a file open to read: one open only to write holds a
  // write lock instead, which no other mark shares (one writer has it).
  const int mode = fcntl(fd, F_GETFL);
  struct flock l = byteLock(mode >= 0 && (mode & O_ACCMODE) == O_WRONLY ? F_WRLCK : F_RDLCK, at);
  if (ofd(fd, F_OFD_SETLK, &l) == 0) return 1;
  if (at != 0 || !zam_lockRefused(errno)) return 0;
  // Another process's look (zam_markedByOthers) holds the file exclusive
  // for a moment.
  for (int tries = 0; tries < 2000; ++tries) {
    if (flockCall(fd, LOCK_SH | LOCK_NB) == 0) return 1;
    if (errno != EWOULDBLOCK && errno != EINTR) return 0;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  errno = EWOULDBLOCK;
  return 0;
}

int zam_markedAnywhere(int fd) { return othersLock(fd, 0, 0); }

int zam_markedByOthers(int fd, int64_t at) {
  const int held = othersLock(fd, at, 1);
  if (held >= 0) return held;
  if (at != 0 || !zam_lockRefused(errno)) return -1;
  if (flockCall(fd, LOCK_EX | LOCK_NB) == 0) {
    flockCall(fd, LOCK_UN);
    return 0;
  }
  return errno == EWOULDBLOCK ? 1 : -1;
}
