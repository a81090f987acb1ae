// Translation-matrix disk cache: probe, names, raw reads and whole writes.
#include "harmonics/zam_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_whole.h"

namespace {

constexpr int kCacheLock = ZAM_LOCK_TM_CACHE;
constexpr int kNameMax = 256;
constexpr int64_t kChunk = 65536;  // float values converted per read

// Process-wide cache state. The folder and mode are fixed by the probe
// (under lock 11) and only read afterwards.
char cache_dir[kNameMax + 1] = "";
int cache_mode = 1;
std::atomic<int> probe_done{0};

void disable() {
  cache_dir[0] = '\0';
  cache_mode = -1;
}

// Copies an absolute form of path into the folder name; 0 (and the cache
// disabled with an error) when it does not fit.
int set_dir(const char* path) {
  std::string abs = path;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) {
      zam_err("Cannot resolve the cache folder %s. Cache disabled.", path);
      disable();
      return 0;
    }
    abs = std::string(cwd) + "/" + path;
  }
  // Room for "/zam_" + prefix + tag + "_" + token + ".dat" within the buffer.
  if (abs.size() + 40 > kNameMax) {
    zam_err("Cache folder name too long (%d characters). Cache disabled.", static_cast<int>(abs.size()));
    disable();
    return 0;
  }
  std::snprintf(cache_dir, sizeof cache_dir, "%s", abs.c_str());
  return 1;
}

void probe_locked() {
  const char* env = zam_getenv("ZAM_CACHE");
  if (env[0]) {
    struct stat st;
    if (stat(env, &st) == 0 && S_ISDIR(st.st_mode)) {
      if (set_dir(env)) setenv("ZAM_CACHE", cache_dir, 1);
    } else {
      zam_err("ZAM_CACHE = %s is not a directory. Cache disabled.", env);
      disable();
    }
    return;
  }
  const char* root = zam_getenv("ZAM_ROOT");
  if (root[0]) {
    // An unset root must never turn into "/cache" at the file-system root.
    const std::string candidate = std::string(root) + "/cache";
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        zam_err("%s is not a directory. Cache disabled.", candidate.c_str());
        disable();
        return;
      }
      if (set_dir(candidate.c_str())) setenv("ZAM_CACHE", cache_dir, 1);
      return;
    }
  }
  const char* made = "zam_cache";
  struct stat st;
  if (mkdir(made, 0700) != 0 && !(errno == EEXIST && stat(made, &st) == 0 && S_ISDIR(st.st_mode))) {
    zam_err("Could not create %s. Cache disabled.", made);
    disable();
    return;
  }
  chmod(made, 0700);  // private to the user, like the run's own cache folder
  if (!set_dir(made)) return;
  setenv("ZAM_CACHE", cache_dir, 1);
  zam_msg("Created cache directory: %s\n", cache_dir);
}

const char* kind_tag(int type, int single) {
  if (type == 1) return single ? "h" : "dh";
  if (type == 0) return single ? "e" : "de";
  return "";
}

// Reads exactly n bytes unless end of file or an error comes first; returns
// the bytes read.
int64_t read_full(int fd, void* buf, int64_t n) {
  char* p = static_cast<char*>(buf);
  int64_t got = 0;
  while (got < n) {
    const ssize_t r = read(fd, p + got, static_cast<size_t>(n - got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += r;
  }
  return got;
}

}  // namespace

void zam_cache_probe() {
  if (probe_done.load(std::memory_order_acquire)) return;
  zam_mutex_acquire(kCacheLock);
  if (!probe_done.load(std::memory_order_relaxed)) {
    if (cache_mode != -1) probe_locked();
    probe_done.store(1, std::memory_order_release);
  }
  zam_mutex_release(kCacheLock);
}

int zam_cache_type() {
  zam_cache_probe();
  return cache_mode == -1 ? 0 : cache_mode;
}

const char* zam_cache_path() {
  zam_cache_probe();
  return cache_dir;
}

void zam_cache_mode(int m) {
  if (cache_mode == -1) return;
  cache_mode = m > 0 ? 1 : (m == 0 ? 0 : -1);
}

char* zam_cache_name(int, int I, int F, int type, int single, char* out) {
  zam_cache_probe();
  out[0] = '\0';
  if (!cache_dir[0]) return out;
  char token[32];
  if (I >= 1 && F > 0)
    std::snprintf(token, sizeof token, "%dp%d", I, F);
  else if (I < 1)
    std::snprintf(token, sizeof token, "p%d", F);
  else
    std::snprintf(token, sizeof token, "%d", I);
  const int n = std::snprintf(out, kNameMax + 1, "%s/zam_%s_%s.dat", cache_dir,
                              kind_tag(type, single), token);
  if (n < 0 || n > kNameMax) out[0] = '\0';
  return out;
}

int64_t zam_read_cache_buffer(int fd, int single, int64_t count, double* out) {
  if (count <= 0) return 0;
  if (!single) {
    const int64_t bytes = count * static_cast<int64_t>(sizeof(double));
    return read_full(fd, out, bytes) == bytes ? count : 0;
  }
  std::vector<float> chunk(static_cast<size_t>(count < kChunk ? count : kChunk));
  int64_t done = 0;
  while (done < count) {
    const int64_t want = count - done < kChunk ? count - done : kChunk;
    const int64_t bytes = want * static_cast<int64_t>(sizeof(float));
    if (read_full(fd, chunk.data(), bytes) != bytes) break;
    for (int64_t i = 0; i < want; i++) out[done + i] = chunk[static_cast<size_t>(i)];
    done += want;
  }
  return done;
}

int zam_read_cache(int N, int I, int F, int type, int64_t count, double* out) {
  if (!zam_cache_type()) return 0;
  char name[kNameMax + 1];
  int hit = 0;
  zam_mutex_acquire(kCacheLock);
  for (int single = 0; single <= 1 && !hit; single++) {
    zam_cache_name(N, I, F, type, single, name);
    if (!name[0]) break;
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    hit = lseek(fd, 0, SEEK_SET) == 0 && zam_read_cache_buffer(fd, single, count, out) == count;
    close(fd);
    break;  // a double file that is too short is a miss, not a reason to read the float one
  }
  zam_mutex_release(kCacheLock);
  return hit;
}

int zam_write_cache(int N, int I, int F, int type, int64_t count, const double* in) {
  if (!zam_cache_type()) return 0;
  char name[kNameMax + 1];
  int ok = 0;
  zam_mutex_acquire(kCacheLock);
  zam_cache_name(N, I, F, type, 0, name);
  if (name[0]) {
    _zam_whole* w = zam_openWhole(name, "wb");
    if (!w) {
      zam_err("Failed to open %s.\n** [%s]\n", name, std::strerror(errno));
    } else {
      // Private to the user before a byte is written, not once it is named.
      const int64_t bytes = count * static_cast<int64_t>(sizeof(double));
      const bool wrote = fchmod(w->fd, 0600) == 0 &&
                         (count <= 0 || (zam_fwrite(w->fp, in, bytes) > 0 && !zam_ferror(w->fp)));
      ok = zam_closeWhole(w, wrote);
      if (!ok) zam_err("Failed to write %s.\n** [%s]\n", name, std::strerror(errno));
    }
  }
  zam_mutex_release(kCacheLock);
  return ok;
}

void zam_cache_reset() {
  zam_mutex_acquire(kCacheLock);
  cache_dir[0] = '\0';
  cache_mode = 1;
  probe_done.store(0, std::memory_order_release);
  zam_mutex_release(kCacheLock);
}
