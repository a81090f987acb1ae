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

struct flock byteLock(short type, int64_t at) {
  struct flock l;
  std::memset(&l, 0, sizeof l);
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = static_cast<off_t>(at);
  l.l_len = 1;
  return l;
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

int zam_flockSaying(int fd, int how, const std::string& what) {
  using clock = std::chrono::steady_clock;
  const clock::time_point start = clock::now();
  bool said = false;
  // A turn at a record lasts some tens of microseconds: the first looks
  // come as often, so that runs writing into one folder hardly wait for
  // each other; a wait past a second is another run stopped (or slow)
  // within its turn, looked at again every 20 ms.
  for (int pause_us = 10;; pause_us = std::min(2 * pause_us, said ? 20000 : 200)) {
    if (flock(fd, how | LOCK_NB) == 0) return 1;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) return 1;
    if (errno != EWOULDBLOCK && errno != EINTR) return 0;
    if (!said && clock::now() - start > std::chrono::seconds(1)) {
      said = true;
      zam_msg("Waiting for %s\n", what.c_str());
    }
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
  }
}

int (*zam_ofd_lock_call)(int fd, int cmd, struct flock* lock) = nullptr;

int zam_markByte(int fd, int64_t at) {
  struct flock l = byteLock(F_RDLCK, at);
  return (zam_ofd_lock_call ? zam_ofd_lock_call(fd, F_OFD_SETLK, &l) : fcntl(fd, F_OFD_SETLK, &l)) == 0 ? 1 : 0;
}

int zam_byteMarkedByOthers(int fd, int64_t at) {
  // A lock that the marks conflict with, asked about through fd's own open
  // file: its own mark does not count.
  struct flock l = byteLock(F_WRLCK, at);
  if ((zam_ofd_lock_call ? zam_ofd_lock_call(fd, F_OFD_GETLK, &l) : fcntl(fd, F_OFD_GETLK, &l)) != 0) return -1;
  return l.l_type == F_UNLCK ? 0 : 1;
}
