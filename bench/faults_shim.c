/* Faults of the file system, preloaded into a program (LD_PRELOAD), each
 * chosen by an environment variable; a variable not set injects nothing.
 *   FAULT_LOCKS=flock   flock fails with ENOLCK (NFS without its lock manager)
 *   FAULT_LOCKS=ofd     the open-file-description locks (F_OFD_SETLK,
 *                       F_OFD_SETLKW, F_OFD_GETLK) fail with ENOLCK
 *   FAULT_LOCKS=all     flock and every fcntl lock (POSIX and OFD, set,
 *                       wait and get) fail with ENOLCK
 *   FAULT_OPEN=PATTERN [FAULT_OPEN_AT=N]     the Nth (default 1st) open,
 *                       openat or fopen of a path matching PATTERN fails (EIO)
 *   FAULT_DIR=FOLDER [FAULT_DIR_AT=N] [FAULT_DIR_OPENS=1]   the Nth opendir
 *                       of FOLDER, by any spelling, fails (EIO); with
 *                       FAULT_DIR_OPENS=1 opens with O_DIRECTORY count too
 *   FAULT_STAT=PATTERN [FAULT_STAT_AT=N]     the Nth stat, lstat, fstatat or
 *                       statx of a path matching PATTERN fails (EIO)
 *   FAULT_UNLINK=PATTERN [FAULT_UNLINK_AT=N] the Nth unlink, unlinkat or
 *                       remove of a path matching PATTERN fails (EIO), the
 *                       file left
 *   FAULT_KILL=PATTERN [FAULT_KILL_AT=N]     the process kills itself
 *                       (SIGKILL; as the first process of a PID namespace,
 *                       exit_group, as bare) right after its Nth open,
 *                       openat or fopen of a path matching PATTERN
 *   FAULT_LOG=FILE      a line for each fault injected, appended to FILE;
 *                       with FAULT_TRACE=1 the call's stack after it
 *                       (resolve "trel(+0x...)" with addr2line -f -e trel)
 * PATTERN is a shell pattern (fnmatch, '*' matching '/' too) on the path as
 * the program gave it, joined to its folder's path for the *at calls
 * ("*.tmp", "*trel_results/1sp1/?*"). Each of the one-time faults fires once
 * in the process (counted over all threads), and only in a program named
 * FAULT_PROG (default trel). The lock faults hold in every such program.
 * Built by the scripts: cc -shared -fPIC -O2 -o faults_shim.so faults_shim.c -ldl */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int env_int(const char* name, int fallback) {
  const char* v = getenv(name);
  return v && *v ? atoi(v) : fallback;
}

/* Whether this process may inject faults: only a program whose executable
 * is named FAULT_PROG (default trel), so that a wrapper preloaded with it
 * (time, strace's child, a shell) or a child of the program stays clean. */
static int shim_on = -1;
static int active(void) {
  if (shim_on < 0) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n < 0 ? 0 : n] = '\0';
    const char* base = strrchr(exe, '/');
    const char* want = getenv("FAULT_PROG");
    __atomic_store_n(&shim_on, strcmp(base ? base + 1 : exe, want && *want ? want : "trel") == 0, __ATOMIC_SEQ_CST);
  }
  return shim_on;
}

static void note(const char* kind, const char* path) {
  const char* log = getenv("FAULT_LOG");
  if (!log || !*log) return;
  char line[PATH_MAX + 64];
  int n = snprintf(line, sizeof line, "%d %s %s\n", (int)getpid(), kind, path);
  int fd = (int)syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line, (size_t)(n < (int)sizeof line ? n : (int)sizeof line - 1)) < 0) {
  }
  if (env_int("FAULT_TRACE", 0)) {
    void* stack[32];
    backtrace_symbols_fd(stack, backtrace(stack, 32), fd);
  }
  close(fd);
}

/* The path of dirfd joined with path (path alone when absolute or AT_FDCWD). */
static const char* joined(int dirfd, const char* path, char* buf, size_t size) {
  if (!path || path[0] == '/' || dirfd == AT_FDCWD) return path ? path : "";
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
  ssize_t n = readlink(link, buf, size - 2);
  if (n < 0) return path;
  buf[n] = '\0';
  snprintf(buf + n, size - (size_t)n, "/%s", path);
  return buf;
}

/* One fault of kind var: true once, at the Nth call on a matching path. */
static int fires(const char* var, const char* path, int* count) {
  if (!active()) return 0;
  const char* pattern = getenv(var);
  if (!pattern || !*pattern || fnmatch(pattern, path, 0) != 0) return 0;
  char at[64];
  snprintf(at, sizeof at, "%s_AT", var);
  if (__atomic_add_fetch(count, 1, __ATOMIC_SEQ_CST) != env_int(at, 1)) return 0;
  note(var, path);
  return 1;
}

/* Locks. */
static int refuses_flock(void) {
  const char* v = getenv("FAULT_LOCKS");
  if (!v || !active()) return 0;
  return (strcmp(v, "flock") == 0 || strcmp(v, "all") == 0);
}

static int refuses_fcntl(int cmd) {
  const char* v = getenv("FAULT_LOCKS");
  if (!v || !active()) return 0;
  int ofd = cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW || cmd == F_OFD_GETLK;
  int posix = cmd == F_SETLK || cmd == F_SETLKW || cmd == F_GETLK;
  return (ofd && (strcmp(v, "ofd") == 0 || strcmp(v, "all") == 0)) || (posix && strcmp(v, "all") == 0);
}

int flock(int fd, int op) {
  if (refuses_flock()) {
    errno = ENOLCK;
    return -1;
  }
  return REAL(flock)(fd, op);
}

#define FCNTL(name)                                               \
  int name(int fd, int cmd, ...) {                                \
    va_list ap;                                                   \
    va_start(ap, cmd);                                            \
    void* arg = va_arg(ap, void*);                                \
    va_end(ap);                                                   \
    if (refuses_fcntl(cmd)) {                                     \
      errno = ENOLCK;                                             \
      return -1;                                                  \
    }                                                             \
    int (*real)(int, int, ...) = dlsym(RTLD_NEXT, #name);         \
    return real(fd, cmd, arg);                                    \
  }
FCNTL(fcntl)
FCNTL(fcntl64)

/* Opens, and the opens of folders. */
static int open_count, dir_count, stat_count, unlink_count, kill_count;

static int dir_fires(int dirfd, const char* path, int flags, int is_opendir) {
  if (!active()) return 0;
  const char* want = getenv("FAULT_DIR");
  if (!want || !*want || !(is_opendir || ((flags & O_DIRECTORY) && env_int("FAULT_DIR_OPENS", 0)))) return 0;
  char buf[PATH_MAX], a[PATH_MAX], b[PATH_MAX];
  if (!realpath(joined(dirfd, path, buf, sizeof buf), a) || !realpath(want, b) || strcmp(a, b) != 0) return 0;
  if (__atomic_add_fetch(&dir_count, 1, __ATOMIC_SEQ_CST) != env_int("FAULT_DIR_AT", 1)) return 0;
  note("FAULT_DIR", a);
  return 1;
}

static int open_fires(int dirfd, const char* path, int flags) {
  char buf[PATH_MAX];
  const char* full = joined(dirfd, path, buf, sizeof buf);
  return fires("FAULT_OPEN", full, &open_count) || dir_fires(dirfd, path, flags, 0);
}

/* After an open of path that succeeded: the kill FAULT_KILL asks for. */
static void opened(int dirfd, const char* path) {
  char buf[PATH_MAX];
  if (!fires("FAULT_KILL", joined(dirfd, path, buf, sizeof buf), &kill_count)) return;
  raise(SIGKILL);
  syscall(SYS_exit_group, 137);  // the first process of a PID namespace ignores its own SIGKILL: end it as hard

}

#define OPENAT(name)                                                       \
  int name(int dirfd, const char* path, int flags, ...) {                  \
    mode_t mode = 0;                                                       \
    if (flags & (O_CREAT | __O_TMPFILE)) {                                 \
      va_list ap;                                                          \
      va_start(ap, flags);                                                 \
      mode = va_arg(ap, mode_t);                                           \
      va_end(ap);                                                          \
    }                                                                      \
    if (open_fires(dirfd, path, flags)) {                                  \
      errno = EIO;                                                         \
      return -1;                                                           \
    }                                                                      \
    int (*real)(int, const char*, int, ...) = dlsym(RTLD_NEXT, #name);    \
    int fd = real(dirfd, path, flags, mode);                               \
    if (fd >= 0) opened(dirfd, path);                                      \
    return fd;                                                             \
  }
OPENAT(openat)
OPENAT(openat64)

/* open is openat of the working folder (as glibc's own is). */
#define OPEN(name, at)                                 \
  int name(const char* path, int flags, ...) {         \
    mode_t mode = 0;                                   \
    if (flags & (O_CREAT | __O_TMPFILE)) {             \
      va_list ap;                                      \
      va_start(ap, flags);                             \
      mode = va_arg(ap, mode_t);                       \
      va_end(ap);                                      \
    }                                                  \
    return at(AT_FDCWD, path, flags, mode);            \
  }
OPEN(open, openat)
OPEN(open64, openat64)

/* The fortified opens (_FORTIFY_SOURCE) of calls without a mode. */
int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open(path, flags); }
int __openat_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }

FILE* fopen(const char* path, const char* mode) {
  if (open_fires(AT_FDCWD, path, 0)) {
    errno = EIO;
    return NULL;
  }
  FILE* f = REAL(fopen)(path, mode);
  if (f) opened(AT_FDCWD, path);
  return f;
}
FILE* fopen64(const char* path, const char* mode) { return fopen(path, mode); }

DIR* opendir(const char* path) {
  if (dir_fires(AT_FDCWD, path, O_DIRECTORY, 1)) {
    errno = EIO;
    return NULL;
  }
  return REAL(opendir)(path);
}

/* Stats. */
static int stat_fires(int dirfd, const char* path) {
  char buf[PATH_MAX];
  return fires("FAULT_STAT", joined(dirfd, path, buf, sizeof buf), &stat_count);
}

#define STAT(name, type)                                          \
  int name(const char* path, type* st) {                          \
    if (stat_fires(AT_FDCWD, path)) {                             \
      errno = EIO;                                                \
      return -1;                                                  \
    }                                                             \
    return REAL(name)(path, st);                                  \
  }
STAT(stat, struct stat)
STAT(lstat, struct stat)
STAT(stat64, struct stat64)
STAT(lstat64, struct stat64)

#define FSTATAT(name, type)                                        \
  int name(int dirfd, const char* path, type* st, int flags) {     \
    if (stat_fires(dirfd, path)) {                                 \
      errno = EIO;                                                 \
      return -1;                                                   \
    }                                                              \
    return REAL(name)(dirfd, path, st, flags);                     \
  }
FSTATAT(fstatat, struct stat)
FSTATAT(fstatat64, struct stat64)

int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* st) {
  if (*path && stat_fires(dirfd, path)) {
    errno = EIO;
    return -1;
  }
  return REAL(statx)(dirfd, path, flags, mask, st);
}

/* Unlinks. */
int unlink(const char* path) {
  if (fires("FAULT_UNLINK", path, &unlink_count)) {
    errno = EIO;
    return -1;
  }
  return REAL(unlink)(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
  char buf[PATH_MAX];
  if (fires("FAULT_UNLINK", joined(dirfd, path, buf, sizeof buf), &unlink_count)) {
    errno = EIO;
    return -1;
  }
  return REAL(unlinkat)(dirfd, path, flags);
}

int remove(const char* path) {
  if (fires("FAULT_UNLINK", path, &unlink_count)) {
    errno = EIO;
    return -1;
  }
  return REAL(remove)(path);
}
