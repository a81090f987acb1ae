// File streams over plain, gzip, bzip2 and pipe files, whole-block reads and
// writes with plain system calls, text read in blocks into a reusable
// buffer, and the starting of other programs.
#include "runtime/zam_file.h"

#include <bzlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/kids.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_line_break.h"
#include "runtime/zam_log.h"
#include "runtime/zam_unpack.h"
#include "runtime/zam_vm.h"

namespace {

constexpr uint32_t kCodec = ZAM_FGZIP | ZAM_FBZIP2;
// zlib and libbz2 take int lengths: big blocks go through in slices.
constexpr int64_t kSlice = 1 << 30;

inline uint32_t codec(const _zam_file* f) { return f->flags & kCodec; }

// A gzip or bzip2 reader: its file is read through the decoder of
// zam_unpack.h (unpack, null only after a failed rewind) over fd.
inline bool unpacks(const _zam_file* f) { return codec(f) && !(f->flags & ZAM_FWRITE); }

// Remembers the first failure of a stream; zam_fclose of a writer reports it.
// A sum of what was written no longer tells what the file holds.
void fail(_zam_file* f) {
  if (!f->error) f->error = errno ? errno : -1;
  f->flags &= ~ZAM_FSUM;
}

// Takes bytes a plain writer wrote whole into its sum, when it keeps one.
void summed(_zam_file* f, const void* data, int64_t n) {
  if (f->flags & ZAM_FSUM) f->sum = zam_crc32(f->sum, data, n);
}

// Called when a stdio read delivered fewer bytes than asked: remembers an
// I/O error, so that the reader can tell it from a clean end of file. A
// clean end leaves no trace.
void check_read(_zam_file* f) {
  if (!f->error && f->fp && ferror(f->fp)) fail(f);
}

uint32_t mode_flags(const char* mode) {
  uint32_t flags = 0;
  if (mode && std::strchr(mode, 'w')) flags |= ZAM_FWRITE;
  if (mode && std::strchr(mode, 'b')) flags |= ZAM_FBINARY;
  return flags;
}

const char* stdio_mode(uint32_t flags) {
  bool w = flags & ZAM_FWRITE, b = flags & ZAM_FBINARY;
  return w ? (b ? "wb" : "w") : (b ? "rb" : "r");
}

_zam_file* new_handle(uint32_t flags) {
  auto* f = static_cast<_zam_file*>(zam_vm_get_0(sizeof(_zam_file)));
  if (f) f->flags = flags;
  return f;
}

void free_handle(_zam_file* f) {
  if (!f) return;
  kfree(f->name);
  zam_vm_free(f->rbuf);
  zam_vm_free(f->wbuf);
  zam_vm_free(f);
}

// Starts a bzip2 writer over f->fp: block size 9, verbosity 0, work factor 30.
bool bz_start(_zam_file* f) {
  int err = BZ_OK;
  f->bz = BZ2_bzWriteOpen(&err, f->fp, 9, 0, 30);
  if (err != BZ_OK || !f->bz) {
    f->bz = nullptr;
    return false;
  }
  return true;
}

// Finishes a bzip2 writer's stream (not abandoned). Returns false when
// finishing the stream failed.
bool bz_stop(_zam_file* f) {
  if (!f->bz) return true;
  int err = BZ_OK;
  BZ2_bzWriteClose(&err, f->bz, 0, nullptr, nullptr);
  if (err != BZ_OK) {
    // libbz2 keeps its codec after an I/O error and refuses to end it
    // while the file shows the error: clear it and abandon the stream.
    int again = BZ_OK;
    clearerr(f->fp);
    BZ2_bzWriteClose(&again, f->bz, 1, nullptr, nullptr);
  }
  f->bz = nullptr;
  return err == BZ_OK;
}

// Reads up to n bytes of a gzip or bzip2 reader through its decoder: the
// byte count, 0 at the end, or -1 (remembered) once the stream is damaged
// or cut short or a read failed; the bytes unpacked before the failure
// come first. A writer reads nothing (-1, not remembered).
int64_t unpack_read(_zam_file* f, void* buf, int64_t n) {
  if (!unpacks(f)) return -1;
  if (!f->unpack) errno = EBADF;  // a rewind failed to start it again
  const int64_t got = f->unpack ? zam_unpackRead(f->unpack, static_cast<char*>(buf), n) : -1;
  if (got < 0) fail(f);
  return got;
}

int64_t bz_write(_zam_file* f, const void* buf, int64_t n) {
  if (!f->bz) return -1;
  auto* p = static_cast<const char*>(buf);
  for (int64_t done = 0; done < n;) {
    int len = static_cast<int>(std::min(n - done, kSlice));
    int err = BZ_OK;
    BZ2_bzWrite(&err, f->bz, const_cast<char*>(p + done), len);
    if (err != BZ_OK) return -1;
    done += len;
  }
  return n;
}

// One byte of any kind of stream straight from its codec or stdio; -1 at the
// end or on error.
inline int get_byte(_zam_file* f) {
  if (codec(f)) {
    unsigned char c;
    return unpack_read(f, &c, 1) == 1 ? c : -1;
  }
  int c = getc_unlocked(f->fp);
  if (c < 0) check_read(f);
  return c;
}

constexpr int kReadAhead = 1 << 15;

// Whether the handle reads ahead into its buffer. Compressed streams and
// regular files do; pipes, terminals and the like are read through stdio
// alone, so that a read waits for no more than the bytes it returns.
bool reads_ahead(_zam_file* f) {
  if (f->rmode == 0) {
    bool block = codec(f) != 0 && !(f->flags & ZAM_FWRITE);
    if (!(f->flags & (kCodec | ZAM_FPIPE | ZAM_FWRITE)) && f->fp) {
      struct stat st;
      block = fstat(fileno(f->fp), &st) == 0 && S_ISREG(st.st_mode);
    }
    if (block && !f->rbuf) f->rbuf = static_cast<char*>(zam_vm_get(kReadAhead));
    f->rmode = block && f->rbuf ? 1 : 2;
  }
  return f->rmode == 1;
}

// Refills the empty read-ahead buffer; false at the end or on error.
bool fill(_zam_file* f) {
  f->rpos = f->rlen = 0;
  int64_t got;
  if (codec(f)) {
    got = unpack_read(f, f->rbuf, kReadAhead);
  } else {
    got = static_cast<int64_t>(fread(f->rbuf, 1, kReadAhead, f->fp));
    if (got < kReadAhead) check_read(f);
  }
  if (got <= 0) return false;
  f->rlen = static_cast<int>(got);
  return true;
}

// The next byte 0..255 of any handle, the read-ahead bytes first; -1 at the
// end or on error.
inline int next_byte(_zam_file* f) {
  if (f->rpos < f->rlen) return static_cast<unsigned char>(f->rbuf[f->rpos++]);
  if (!reads_ahead(f)) return get_byte(f);
  return fill(f) ? static_cast<unsigned char>(f->rbuf[f->rpos++]) : -1;
}

// Stores the bytes of span that are not carriage returns into buf (while
// fewer than n-1 are stored); the rest is dropped, and *cut set when a byte
// other than a carriage return is. Returns whether any byte other than a
// carriage return was seen.
bool take_span(const char* s, int len, int n, char* buf, int* stored, int* cut) {
  bool any = false;
  while (len > 0) {
    const char* cr = static_cast<const char*>(std::memchr(s, '\r', static_cast<size_t>(len)));
    int part = cr ? static_cast<int>(cr - s) : len;
    if (part > 0) {
      any = true;
      int room = std::min(part, n - 1 - *stored);
      if (room > 0) {
        std::memcpy(buf + *stored, s, static_cast<size_t>(room));
        *stored += room;
      }
      if (room < part) *cut = 1;
    }
    if (!cr) break;
    s += part + 1;
    len -= part + 1;
  }
  return any;
}

// Writing into a pipe whose reader has gone must give an error, not kill the
// process: SIGPIPE is blocked in this thread for the write, and a SIGPIPE
// that the write raised is taken off again before the mask is restored.
struct PipeWriteGuard {
  bool active = false;
  bool pending_before = false;
  sigset_t old_mask;
  explicit PipeWriteGuard(const _zam_file* f) {
    if ((f->flags & (ZAM_FPIPE | ZAM_FWRITE)) != (ZAM_FPIPE | ZAM_FWRITE)) return;
    sigset_t set, pending;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    if (pthread_sigmask(SIG_BLOCK, &set, &old_mask) != 0) return;
    active = true;
    sigpending(&pending);
    pending_before = sigismember(&pending, SIGPIPE);
  }
  ~PipeWriteGuard() {
    if (!active) return;
    int saved = errno;
    sigset_t set, pending;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    sigpending(&pending);
    if (!pending_before && sigismember(&pending, SIGPIPE)) {
      timespec zero{0, 0};
      while (sigtimedwait(&set, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    errno = saved;
  }
  PipeWriteGuard(const PipeWriteGuard&) = delete;
  PipeWriteGuard& operator=(const PipeWriteGuard&) = delete;
};

// The argument list of a child: the program, then the arguments that are
// neither null nor empty.
std::vector<char*> child_argv(const char* program, const char* arg1, const char* arg2) {
  std::vector<char*> argv{const_cast<char*>(program)};
  if (arg1 && *arg1) argv.push_back(const_cast<char*>(arg1));
  if (arg2 && *arg2) argv.push_back(const_cast<char*>(arg2));
  argv.push_back(nullptr);
  return argv;
}

int wait_child(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// Pipe to (writer) or from (reader) a child running program.
_zam_file* open_pipe(const char* program, const char* arg1, const char* arg2, bool writer) {
  if (!program || !*program) {
    zam_err("Failed to fork %s.\n** [%s]\n", "(no program)", std::strerror(EINVAL));
    return nullptr;
  }
  // Built before the fork: the child only calls exec.
  std::vector<char*> argv = child_argv(program, arg1, arg2);
  int fds[2];
  // Close-on-exec, so that children started by other threads do not hold
  // this pipe open and keep its reader from seeing the end.
  if (pipe2(fds, O_CLOEXEC) != 0) {
    zam_err("Failed to fork %s.\n** [%s]\n", program, std::strerror(errno));
    return nullptr;
  }
  int child_end = writer ? fds[0] : fds[1];
  int our_end = writer ? fds[1] : fds[0];
  fflush(nullptr);  // the child must not repeat our buffered output
  pid_t pid = fork();
  if (pid == 0) {
    int target = writer ? STDIN_FILENO : STDOUT_FILENO;
    // A reader's child keeps its real standard output aside (closed by exec),
    // so that a failure report does not land in the pipe as data.
    int saved_out = writer ? -1 : fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (dup2(child_end, target) < 0) _exit(127);
    close(fds[0]);
    close(fds[1]);
    execvp(program, argv.data());
    int err = errno;
    if (saved_out >= 0) dup2(saved_out, STDOUT_FILENO);
    zam_err("Failed to exec %s.\n** [%s]\n", program, std::strerror(err));
    _exit(127);
  }
  if (pid < 0) {
    zam_err("Failed to fork %s.\n** [%s]\n", program, std::strerror(errno));
    close(fds[0]);
    close(fds[1]);
    return nullptr;
  }
  close(child_end);
  _zam_file* f = new_handle(writer ? (ZAM_FWRITE | ZAM_FPIPE) : ZAM_FPIPE);
  if (f) f->fp = fdopen(our_end, writer ? "w" : "r");
  if (!f || !f->fp) {
    close(our_end);
    wait_child(pid);
    free_handle(f);
    return nullptr;
  }
  f->pid = pid;
  return f;
}

// The child of zam_spawn_*: tries each program in turn; ends with status 127
// when none runs.
[[noreturn]] void spawn_child(const char* const* programs, const char* arg1, const char* arg2,
                              bool report) {
  int err = ENOENT;
  const char* last = programs && programs[0] ? programs[0] : "";
  for (int i = 0; programs && programs[i]; i++) {
    std::vector<char*> argv = child_argv(programs[i], arg1, arg2);
    execvp(programs[i], argv.data());
    err = errno;
    last = programs[i];
  }
  if (report) zam_err("Failed to exec %s. [%s]\n", last, std::strerror(err));
  _exit(127);
}

int spawn(const char* const* programs, const char* arg1, const char* arg2, bool report) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) spawn_child(programs, arg1, arg2, report);
  if (pid < 0) {
    zam_err("Failed to fork subtask [%s]\n", std::strerror(errno));
    return 0;
  }
  return pid;
}

}  // namespace

// ---------------------------------------------------------------------------
// Opening and closing

namespace {

// Opens the codec of a new handle through the given openers (by path or by
// descriptor) and names it; on failure frees the handle, keeps errno and
// gives null. A compressed file is read through its decoder over the
// descriptor open_fd gives. A codec that fails to start closes its file
// only when the file is the handle's own: a descriptor stays with its caller.
template <class OpenGz, class OpenFp, class OpenFd>
_zam_file* open_handle(uint32_t flags, OpenGz open_gz, OpenFp open_fp, OpenFd open_fd, bool own_fp,
                       const char* name) {
  _zam_file* f = new_handle(flags);
  if (!f) return nullptr;
  bool ok = false;
  if (unpacks(f)) {
    f->fd = open_fd();
    f->unpack = f->fd >= 0 ? zam_unpackOpen(f->fd, codec(f), nullptr) : nullptr;
    ok = f->unpack != nullptr;
    if (!ok && f->fd >= 0 && own_fp) {
      int saved = errno;
      close(f->fd);
      errno = saved;
    }
  } else {
    switch (codec(f)) {
      case ZAM_FGZIP:
        f->gz = open_gz("wb");
        ok = f->gz != nullptr;
        break;
      case ZAM_FBZIP2:
        f->fp = open_fp("wb");
        ok = f->fp && bz_start(f);
        if (!ok && f->fp && own_fp) {
          int saved = errno;
          fclose(f->fp);
          errno = saved;
        }
        break;
      default:
        f->fp = open_fp(stdio_mode(flags));
        ok = f->fp != nullptr;
    }
  }
  if (!ok) {
    int saved = errno;
    free_handle(f);
    errno = saved;
    return nullptr;
  }
  f->name = kdupS(name);
  return f;
}

}  // namespace

_zam_file* zam_fopen(const char* path, const char* mode) {
  if (!path) {
    errno = EINVAL;
    return nullptr;
  }
  uint32_t flags = mode_flags(mode) | zam_fkind(path);
  if (flags & (ZAM_FGZIP | ZAM_FBZIP2)) flags |= ZAM_FBINARY;
  return open_handle(
      flags, [&](const char* m) { return gzopen(path, m); },
      [&](const char* m) { return fopen(path, m); },
      [&] { return open(path, O_RDONLY | O_CLOEXEC); }, true, path);
}

uint32_t zam_fkind(const char* path) {
  const char* dot = path ? std::strrchr(path, '.') : nullptr;
  if (dot && std::strcmp(dot, ".gz") == 0) return ZAM_FGZIP;
  if (dot && (std::strcmp(dot, ".bz") == 0 || std::strcmp(dot, ".bz2") == 0)) return ZAM_FBZIP2;
  return 0;
}

_zam_file* zam_fdopen(int fd, const char* mode, int kind) {
  uint32_t flags = mode_flags(mode);
  if (kind == static_cast<int>(ZAM_FGZIP))
    flags |= ZAM_FGZIP | ZAM_FBINARY;
  else if (kind == static_cast<int>(ZAM_FBZIP2))
    flags |= ZAM_FBZIP2 | ZAM_FBINARY;
  return open_handle(
      flags, [&](const char* m) { return gzdopen(fd, m); },
      [&](const char* m) { return fdopen(fd, m); }, [&] { return fd; }, false, "stream");
}

int zam_fbuffer(_zam_file* f, int size) {
  if (!f || !f->fp || !(f->flags & ZAM_FWRITE) || codec(f) || (f->flags & ZAM_FPIPE) || f->wbuf || size <= 0)
    return 0;
  char* buf = static_cast<char*>(zam_vm_get(size));
  if (!buf) return 0;
  if (setvbuf(f->fp, buf, _IOFBF, static_cast<size_t>(size)) != 0) {
    zam_vm_free(buf);
    return 0;
  }
  f->wbuf = buf;
  return 1;
}

_zam_file* zam_popen_write(const char* program, const char* arg1, const char* arg2) {
  return open_pipe(program, arg1, arg2, true);
}

_zam_file* zam_popen_read(const char* program, const char* arg1, const char* arg2) {
  return open_pipe(program, arg1, arg2, false);
}

int zam_fclose(_zam_file* f) {
  if (!f) return -1;
  int result = 0;
  if (unpacks(f)) {
    zam_unpackClose(f->unpack);
    if (close(f->fd) != 0) result = -1;
  } else if (codec(f) == ZAM_FGZIP) {
    if (gzclose(f->gz) != Z_OK) result = -1;
  } else if (codec(f) == ZAM_FBZIP2) {
    if (!bz_stop(f)) result = -1;
    if (f->fp && fclose(f->fp) != 0) result = -1;
  } else if (f->flags & ZAM_FPIPE) {
    {
      PipeWriteGuard guard(f);
      if (fclose(f->fp) != 0) result = -1;
    }
    int status = wait_child(f->pid);
    if (status != 0) result = status;
  } else if (fclose(f->fp) != 0) {
    result = -1;
  }
  // A reader's close result is the close call's own; its read errors are
  // asked for with zam_ferror.
  if (result == 0 && f->error && (f->flags & ZAM_FWRITE)) result = -1;
  free_handle(f);
  return result;
}

int zam_fflush(_zam_file* f) {
  if (!f) return fflush(nullptr) == 0 ? 0 : -1;
  // Only writers are flushed: flushing a stdio reader would drop its buffer.
  if (!(f->flags & ZAM_FWRITE)) return 0;
  int r = 0;
  switch (codec(f)) {
    case ZAM_FGZIP:
      r = gzflush(f->gz, Z_SYNC_FLUSH) == Z_OK ? 0 : -1;
      break;
    case ZAM_FBZIP2:
      // libbz2 keeps the data until the stream ends at close.
      r = BZ2_bzflush(f->bz) == 0 ? 0 : -1;
      break;
    default: {
      PipeWriteGuard guard(f);
      r = fflush(f->fp) == 0 ? 0 : -1;
    }
  }
  if (r) fail(f);
  return r;
}

int zam_rewind(_zam_file* f) {
  if (!f) return -1;
  f->line = 0;
  f->rpos = f->rlen = 0;  // a pipe cannot go back and keeps nothing aside
  f->flags &= ~ZAM_FSUM;  // what follows is written over what was summed
  if (unpacks(f)) {
    // The decoder starts afresh at the start of the file.
    zam_unpackClose(f->unpack);
    f->unpack = nullptr;
    if (lseek(f->fd, 0, SEEK_SET) != 0) return -1;
    f->unpack = zam_unpackOpen(f->fd, codec(f), nullptr);
    return f->unpack ? 0 : -1;
  }
  switch (codec(f)) {
    case ZAM_FGZIP:
      return gzseek(f->gz, 0, SEEK_SET) == 0 ? 0 : -1;
    case ZAM_FBZIP2: {
      bool stopped = bz_stop(f);
      if (!stopped) fail(f);
      if (fseek(f->fp, 0, SEEK_SET) != 0 || !bz_start(f)) return -1;
      return stopped ? 0 : -1;
    }
    default:
      if (f->flags & ZAM_FPIPE) return 0;
      return fseek(f->fp, 0, SEEK_SET) == 0 ? 0 : -1;
  }
}

int zam_fline(const _zam_file* f) { return f ? f->line : 0; }

int zam_ferror(const _zam_file* f) { return f && f->error ? 1 : 0; }

const char* zam_ferrorText(const _zam_file* f) { return f && f->error ? zam_unpackFailure(f->error) : ""; }

const char* zam_fname(const _zam_file* f) { return f ? f->name : nullptr; }

// ---------------------------------------------------------------------------
// Reading

int zam_fgetc(_zam_file* f) { return f ? next_byte(f) : -1; }

int64_t zam_fread(_zam_file* f, void* buf, int64_t n) {
  if (!f) return 0;
  if (n < 0) return codec(f) ? -1 : 0;
  auto* p = static_cast<char*>(buf);
  int64_t have = std::min<int64_t>(n, f->rlen - f->rpos);
  if (have > 0) {
    std::memcpy(p, f->rbuf + f->rpos, static_cast<size_t>(have));
    f->rpos += static_cast<int>(have);
  }
  int64_t rest = n - have;
  p += have;
  if (codec(f)) {
    // A read that meets a damaged or cut stream fails whole.
    int64_t done = 0;
    while (done < rest) {
      const int64_t got = unpack_read(f, p + done, rest - done);
      if (got < 0) return -1;
      if (got == 0) break;
      done += got;
    }
    return have + done;
  }
  bool whole = fread(p, 1, static_cast<size_t>(rest), f->fp) == static_cast<size_t>(rest);
  if (!whole) check_read(f);
  return whole ? 1 : 0;
}

int zam_freadln(_zam_file* f, int n, char* buf) {
  if (!f || !buf || n < 1) return -1;
  f->cut = 0;
  int len = 0;
  bool any = false;  // a byte of this line was seen (stored or dropped)
  if (reads_ahead(f)) {
    for (;;) {
      if (f->rpos == f->rlen && !fill(f)) {
        buf[len] = 0;
        if (!any) return -1;
        f->line++;  // a last line without its newline is a line too
        return len;
      }
      const char* s = f->rbuf + f->rpos;
      int avail = f->rlen - f->rpos;
#if defined(__SSE2__)
      // Sixteen bytes at a time while they lie in the buffer and fit in buf:
      // the usual line ends well within both, without carriage returns.
      // (Bytes of buf past the terminator may change: buf is the caller's
      // n bytes to hold the line.)
      // What is left (a line end near the buffer's end, a long line) goes
      // the general way below.
      {
        int i = 0;
        while (avail - i >= 16 && len + 16 <= n - 1) {
          const unsigned special = zam_break_mask16(s + i);
          memcpy(buf + len, s + i, 16);
          if (special == 0) {
            len += 16;
            i += 16;
            any = true;
            continue;
          }
          // The whole sixteen are stored (there is room); the bytes past the
          // k taken lie beyond the line's terminator or are overwritten.
          const int k = __builtin_ctz(special);
          len += k;
          if (k > 0) any = true;
          i += k + 1;
          if (s[i - 1] == '\n') {
            f->rpos += i;
            buf[len] = 0;
            f->line++;
            return len;
          }
        }
        f->rpos += i;
        s += i;
        avail -= i;
        if (avail == 0) continue;
      }
#endif
      const char* nl = static_cast<const char*>(std::memchr(s, '\n', static_cast<size_t>(avail)));
      int span = nl ? static_cast<int>(nl - s) : avail;
      if (take_span(s, span, n, buf, &len, &f->cut)) any = true;
      f->rpos += span;
      if (nl) {
        f->rpos++;
        buf[len] = 0;
        f->line++;
        return len;
      }
    }
  }
  // Byte by byte: pipes and other streams that do not read ahead, whose
  // buffer never holds bytes.
  for (;;) {
    int c = get_byte(f);
    if (c < 0) {
      buf[len] = 0;
      if (!any) return -1;
      f->line++;
      return len;
    }
    if (c == '\r') continue;
    if (c == '\n') {
      buf[len] = 0;
      f->line++;
      return len;
    }
    any = true;
    if (len < n - 1)
      buf[len++] = static_cast<char>(c);
    else
      f->cut = 1;
  }
}

int zam_flinecut(const _zam_file* f) { return f && f->cut ? 1 : 0; }

int zam_ffindln(_zam_file* f, const char* key, int n, char* buf) {
  if (!f || !key || !buf || n < 1) return -1;
  size_t k = std::strlen(key);
  if (std::strncmp(buf, key, k) == 0) return 1;
  while (zam_freadln(f, n, buf) >= 0) {
    if (std::strncmp(buf, key, k) == 0) return 1;
  }
  return -1;
}

int zam_freadtok(_zam_file* f, const char* separators, int n, char* buf) {
  if (!f || !buf || n < 1) return -1;
  int len = 0;
  bool started = false;
  for (;;) {
    int c = next_byte(f);
    if (c < 0) {
      buf[len] = 0;
      return started ? len : -1;
    }
    if (c == '\n') f->line++;
    bool sep = c == '\n' || c == '\r' || (separators && c != 0 && std::strchr(separators, c));
    if (sep) {
      if (!started) continue;
      buf[len] = 0;
      return len;
    }
    started = true;
    if (len < n - 1) buf[len++] = static_cast<char>(c);
  }
}

int zam_ftokenise(_zam_file* f, const char* separators, int n, char* buf, char*** tokens) {
  std::vector<std::string> found;
  while (zam_freadtok(f, separators, n, buf) >= 0) found.emplace_back(buf);
  if (tokens) *tokens = nullptr;
  if (found.empty() || !tokens) return found.empty() ? 0 : static_cast<int>(found.size());
  char** list = kget1S(static_cast<int64_t>(found.size()));
  if (!list) return 0;
  for (size_t i = 0; i < found.size(); i++) list[i] = kdupS(found[i].c_str());
  *tokens = list;
  return static_cast<int>(found.size());
}

// ---------------------------------------------------------------------------
// Writing

int zam_fputc(_zam_file* f, int c) {
  if (!f) return -1;
  int r;
  switch (codec(f)) {
    case ZAM_FGZIP:
      r = gzputc(f->gz, c);
      break;
    case ZAM_FBZIP2: {
      char b = static_cast<char>(c);
      r = bz_write(f, &b, 1) == 1 ? 1 : -1;
      break;
    }
    default: {
      PipeWriteGuard guard(f);
      r = fputc(c, f->fp);
      const char b = static_cast<char>(c);
      if (r >= 0) summed(f, &b, 1);
    }
  }
  if (r < 0) fail(f);
  return r;
}

int zam_fputs(_zam_file* f, const char* s) {
  if (!f || !s) return -1;
  size_t len = std::strlen(s);
  if (len == 0) return 0;
  // One block write has the result of writing byte by byte: the length, or
  // -1 at the first byte that fails.
  int64_t r = zam_fwrite(f, s, static_cast<int64_t>(len));
  bool ok = codec(f) ? r == static_cast<int64_t>(len) : r == 1;
  return ok ? static_cast<int>(len) : -1;
}

int zam_fprintf(_zam_file* f, const char* format, ...) {
  if (!f || !format) return -1;
  char text[1024];
  va_list ap;
  va_start(ap, format);
  int len = vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (len < 0) len = 0;
  if (len > 1023) len = 1023;
  if (len == 0) return 0;
  switch (codec(f)) {
    case ZAM_FGZIP:
    case ZAM_FBZIP2:
      return static_cast<int>(zam_fwrite(f, text, len));
    default: {
      PipeWriteGuard guard(f);
      size_t items = fwrite(text, static_cast<size_t>(len), 1, f->fp);
      if (items != 1)
        fail(f);
      else
        summed(f, text, len);
      return static_cast<int>(items);
    }
  }
}

int64_t zam_fwrite(_zam_file* f, const void* buf, int64_t n) {
  if (!f) return 0;
  if (n < 0) return codec(f) == ZAM_FBZIP2 ? -1 : 0;
  switch (codec(f)) {
    case ZAM_FGZIP: {
      auto* p = static_cast<const char*>(buf);
      int64_t done = 0;
      while (done < n) {
        int put = gzwrite(f->gz, p + done, static_cast<unsigned>(std::min(n - done, kSlice)));
        if (put <= 0) {
          fail(f);
          break;
        }
        done += put;
      }
      return done;
    }
    case ZAM_FBZIP2: {
      int64_t r = bz_write(f, buf, n);
      if (r < 0) fail(f);
      return r;
    }
    default: {
      PipeWriteGuard guard(f);
      bool whole = fwrite(buf, 1, static_cast<size_t>(n), f->fp) == static_cast<size_t>(n);
      if (!whole)
        fail(f);
      else
        summed(f, buf, n);
      return whole ? 1 : 0;
    }
  }
}

int zam_fsumStart(_zam_file* f) {
  if (!f || !(f->flags & ZAM_FWRITE) || codec(f) || (f->flags & ZAM_FPIPE)) return 0;
  f->flags |= ZAM_FSUM;
  f->sum = 0;
  return 1;
}

int zam_fsum(const _zam_file* f, uint32_t* sum) {
  if (!f || !(f->flags & ZAM_FSUM)) return 0;
  *sum = f->sum;
  return 1;
}

int64_t zam_fwriteln(_zam_file* f, const char* s) {
  if (!f || !s) return -1;
  int64_t r = zam_fwrite(f, s, static_cast<int64_t>(std::strlen(s)));
  zam_fputc(f, '\n');
  f->line++;
  return r + 1;
}

// ---------------------------------------------------------------------------
// Text in blocks

namespace {

// Room for need bytes of text and the padding; the text held is kept.
// Grows at least by half, so a file that keeps growing is read in few steps.
bool textRoom(_zam_text* t, int64_t need) {
  if (need <= t->cap && t->data) return true;
  int64_t cap = std::max<int64_t>(need, t->cap + t->cap / 2);
  cap = (cap + 4095) & ~int64_t{4095};
  void* p = std::realloc(t->data, static_cast<size_t>(cap + ZAM_TEXT_PAD));
  if (!p) {
    errno = ENOMEM;
    return false;
  }
  t->data = static_cast<char*>(p);
  t->cap = cap;
  return true;
}

}  // namespace

char* zam_textRoomAfter(_zam_text* text, int64_t from, int64_t* want) {
  if (!text || !want) return nullptr;
  const int64_t keep = text->data ? std::max<int64_t>(text->size - std::max<int64_t>(from, 0), 0) : 0;
  if (keep > 0 && from > 0) std::memmove(text->data, text->data + from, static_cast<size_t>(keep));
  text->size = keep;
  *want = std::min(std::max<int64_t>(*want, 1), kSlice);
  if (!textRoom(text, keep + *want)) {
    if (text->data) std::memset(text->data + keep, 0, ZAM_TEXT_PAD);
    return nullptr;
  }
  return text->data + keep;
}

void zam_textAdd(_zam_text* text, int64_t n) {
  if (n > 0) text->size += n;
  std::memset(text->data + text->size, 0, ZAM_TEXT_PAD);
}

int64_t zam_readTextBlock(int fd, int64_t from, int64_t want, _zam_text* text) {
  char* room = zam_textRoomAfter(text, from, &want);
  if (!room) return -1;
  ssize_t got;
  do {
    got = read(fd, room, static_cast<size_t>(want));
  } while (got < 0 && errno == EINTR);
  zam_textAdd(text, got);
  return got < 0 ? -1 : static_cast<int64_t>(got);
}

void zam_freeText(_zam_text* text) {
  if (!text) return;
  std::free(text->data);
  text->data = nullptr;
  text->size = text->cap = 0;
}

// ---------------------------------------------------------------------------
// Whole blocks and programs

int64_t zam_readAll(int fd, void* buf, int64_t n, int64_t offset) {
  auto* p = static_cast<char*>(buf);
  int64_t done = 0;
  while (done < n) {
    const size_t want = static_cast<size_t>(std::min(n - done, kSlice));
    const ssize_t got = offset >= 0 ? pread(fd, p + done, want, offset + done) : read(fd, p + done, want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
  }
  return done;
}

int64_t zam_writeAll(int fd, const void* buf, int64_t n, int64_t offset) {
  auto* p = static_cast<const char*>(buf);
  int64_t done = 0;
  while (done < n) {
    const size_t want = static_cast<size_t>(std::min(n - done, kSlice));
    const ssize_t put = offset >= 0 ? pwrite(fd, p + done, want, offset + done) : write(fd, p + done, want);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += put;
  }
  return done;
}

int zam_readWholeFile(const char* path, std::string* bytes, int64_t max_bytes, struct stat* st_out, bool follow) {
  if (!path) {
    errno = EINVAL;
    return 0;
  }
  // O_NONBLOCK: a pipe or a device standing at the name is not waited on;
  // it is seen for what it is by its status and never read.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    if (errno == ELOOP) errno = EINVAL;  // a link at the name
    return 0;
  }
  struct stat st;
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  } else if (st.st_size > max_bytes) {
    err = EFBIG;
  } else {
    // A byte more than the file holds is asked for: the one read that gives
    // the whole file shows, by coming short, that it did not grow.
    bytes->assign(static_cast<size_t>(st.st_size) + 1, '\0');
    ssize_t got;
    do {
      got = pread(fd, bytes->data(), static_cast<size_t>(st.st_size) + 1, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      err = errno;
    } else if (got > st.st_size) {
      err = EIO;  // it grew under the read
    } else if (got < st.st_size) {
      errno = EIO;  // a file that shrinks under the read
      const int64_t rest = st.st_size - got;
      if (zam_readAll(fd, bytes->data() + got, rest, got) != rest) err = errno ? errno : EIO;
      char more;
      if (!err && pread(fd, &more, 1, st.st_size) != 0) err = EIO;  // it grew under the read
    }
    bytes->resize(static_cast<size_t>(st.st_size));
  }
  close(fd);
  if (err) {
    bytes->clear();
    errno = err;
    return 0;
  }
  if (st_out) *st_out = st;
  return 1;
}

int zam_bbread(const char* path, void* buf, int64_t n) {
  if (!buf || n < 0) return 0;
  int64_t done = 0;
  int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
  if (fd >= 0) {
    done = zam_readAll(fd, buf, n);
    close(fd);
  }
  if (done == n && fd >= 0) return 1;
  std::memset(buf, 0, static_cast<size_t>(n));
  return 0;
}

int zam_bbwrite(const char* path, const void* buf, int64_t n) {
  if (!path || (!buf && n > 0) || n < 0) return 0;
  unlink(path);
  int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return 0;
  const int64_t done = zam_writeAll(fd, buf, n);
  bool ok = close(fd) == 0 && done == n;
  // A partial block must not pass for a cache file later on.
  if (!ok) unlink(path);
  return ok ? 1 : 0;
}

int zam_spawn_file(const char* program, const char* arg1, const char* arg2) {
  const char* list[2] = {program, nullptr};
  return spawn(list, arg1, arg2, true);
}

int zam_spawn_list(const char* const* programs, const char* arg1, const char* arg2) {
  return spawn(programs, arg1, arg2, false);
}
