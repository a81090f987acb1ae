// Translation-matrix disk cache: probe, names, raw reads and whole writes.
#include "harmonics/zam_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "harmonics/zam_radial.h"
#include "harmonics/zam_tm.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_whole.h"

namespace {

constexpr int kCacheLock = ZAM_LOCK_TM_CACHE;
constexpr int kNameMax = 256;
constexpr int64_t kChunk = 65536;  // float values converted per read
constexpr int kMaxOrder = 36;
constexpr int kSeriesMethod = 1;  // only series matrices enter the cache

// What a matrix file was made from and the checksums of its values, stored
// after the values so that the values keep the plain layout: the first
// t3(N) doubles are the order-N matrix for every N up to the order written,
// and a reader of a lower order checks the CRC of its own prefix without
// reading the rest. The last field is the CRC of the record itself. Files
// without a valid record (written before records existed, cut short, or
// damaged) are not trusted.
struct CheckRecord {
  char magic[8];
  int32_t order;    // order written, 1..36
  int32_t type;     // basis type: 1 GTO, 0 ETO
  int32_t whole;    // distance I (angstroms)
  int32_t hundred;  // distance F (hundredths)
  int32_t method;   // translation method that built the values
  int32_t value_bytes;
  double scale;     // radial scale in force: h (GTO) or t/2 (ETO)
  int64_t count;    // values before the record, t3(order)
  uint32_t crc[kMaxOrder];  // CRC-32 of the first t3(k) values, k = 1..order
  uint32_t self;            // CRC-32 of every byte above
  uint32_t unused;
};
static_assert(sizeof(CheckRecord) == 200, "the record's size is part of the file layout");
constexpr char kMagic[8] = {'z', 'a', 'm', 't', 'm', 'c', '1', '\n'};

// Process-wide cache state. The folder and mode are fixed by the probe
// (under lock 11) and only read afterwards.
char cache_dir[kNameMax + 1] = "";
int cache_mode = 1;
std::atomic<int> probe_done{0};
// Name prefixes of the radial scales in force, empty for the default scales
// (set up front by zam_cache_gto_scale and zam_cache_eto_scale).
char gto_prefix[16] = "";
char eto_prefix[16] = "";
// Files already reported as not to be trusted (under lock 11): each is
// reported once per process, however many threads miss on it.
std::set<std::string> reported;
// Files at cache names that the cache did not write, met since the last
// zam_cache_report_kept (under lock 11): their count and the first one.
int kept_count = 0;
std::string kept_first;

// Opens the regular file at name for reading (a link is followed unless
// flags hold O_NOFOLLOW); -1 with errno EINVAL for anything else standing
// there. A pipe or a device is seen for what it is and never waited on: a
// run must not hang on a name in the cache folder, under lock 11 at that.
int open_regular(const char* name, int flags = 0) {
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

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
      zam_err("Cannot resolve the cache folder %s. Cache disabled.\n", path);
      disable();
      return 0;
    }
    abs = std::string(cwd) + "/" + path;
  }
  // Room for "/zam_" + prefix + tag + "_" + token + ".dat" within the buffer.
  if (abs.size() + 40 > kNameMax) {
    zam_err("Cache folder name too long (%d characters). Cache disabled.\n", static_cast<int>(abs.size()));
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
      zam_err("ZAM_CACHE = %s is not a directory. Cache disabled.\n", env);
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
        zam_err("%s is not a directory. Cache disabled.\n", candidate.c_str());
        disable();
        return;
      }
      if (set_dir(candidate.c_str())) setenv("ZAM_CACHE", cache_dir, 1);
      return;
    }
  }
  const char* made = "zam_cache";
  struct stat st;
  // Made private to the user, like the run's own cache folder; a folder of
  // that name that was there already is the user's, used as it is.
  const bool created = mkdir(made, 0700) == 0;
  if (!created && !(errno == EEXIST && stat(made, &st) == 0 && S_ISDIR(st.st_mode))) {
    zam_err("Could not create %s. Cache disabled.\n", made);
    disable();
    return;
  }
  if (!set_dir(made)) return;
  setenv("ZAM_CACHE", cache_dir, 1);
  zam_msg(created ? "Created cache directory: %s\n" : "Using cache directory: %s\n", cache_dir);
}

const char* kind_tag(int type, int single) {
  if (type == 1) return single ? "h" : "dh";
  if (type == 0) return single ? "e" : "de";
  return "";
}

const char* scale_prefix(int type) {
  if (type == 1) return gto_prefix;
  if (type == 0) return eto_prefix;
  return "";
}

double scale_of(int type) {
  if (type == 1) return hnl_scale();
  if (type == 0) return tnl_scale();
  return 0.0;
}

// The record of an order-N matrix v (t3(N) values) at distance (I, F).
CheckRecord make_record(int N, int I, int F, int type, const double* v) {
  CheckRecord r;
  std::memset(&r, 0, sizeof r);  // no stray bytes in the file or its CRC
  std::memcpy(r.magic, kMagic, sizeof kMagic);
  r.order = N;
  r.type = type;
  r.whole = I;
  r.hundred = F;
  r.method = kSeriesMethod;
  r.value_bytes = sizeof(double);
  r.scale = scale_of(type);
  r.count = tm3_dim(N - 1);
  uint32_t crc = 0;
  int64_t done = 0;
  for (int k = 1; k <= N; k++) {
    const int64_t upto = tm3_dim(k - 1);
    crc = zam_crc32(crc, v + done, (upto - done) * static_cast<int64_t>(sizeof(double)));
    r.crc[k - 1] = crc;
    done = upto;
  }
  r.self = zam_crc32(0, &r, offsetof(CheckRecord, self));
  return r;
}

// A file at a whole and a fractional distance holds the product of the
// (I, 0) and (0, F) matrices at its own order; the product's sums run over
// every intermediate (n, l) to that order, so its prefix is not the product
// at a lower order. Series files (I or F zero) hold exact prefixes.
bool is_product(int I, int F) { return I >= 1 && F >= 1; }

// Reads the record at the end of the double file open at fd into r: 1 when
// it is sound and made for the matrix of (type, I, F). Else 0, with why
// saying what is wrong.
int read_record(int fd, int I, int F, int type, CheckRecord& r, std::string& why) {
  const int64_t rsize = sizeof r;
  // The magic's last two bytes are the format's version and a newline.
  constexpr size_t kFamily = sizeof kMagic - 2;
  struct stat st;
  const bool read =
      fstat(fd, &st) == 0 && st.st_size >= rsize && zam_readAll(fd, &r, rsize, st.st_size - rsize) == rsize;
  if (read && std::memcmp(r.magic, kMagic, kFamily) == 0 && std::memcmp(r.magic, kMagic, sizeof kMagic) != 0) {
    char text[96];
    std::snprintf(text, sizeof text, "is of another format (version %c; this build reads version %c)",
                  r.magic[kFamily] >= ' ' && r.magic[kFamily] <= '~' ? r.magic[kFamily] : '?', kMagic[kFamily]);
    why = text;
    return 0;
  }
  if (!read || std::memcmp(r.magic, kMagic, sizeof kMagic) != 0 ||
      r.self != zam_crc32(0, &r, offsetof(CheckRecord, self)) || r.order < 1 || r.order > kMaxOrder ||
      r.value_bytes != static_cast<int32_t>(sizeof(double)) || r.count != tm3_dim(r.order - 1) ||
      st.st_size != r.count * static_cast<int64_t>(sizeof(double)) + rsize) {
    why = "has no valid check record (a file of another format or build, cut short or damaged)";
    return 0;
  }
  if (r.type != type || r.whole != I || r.hundred != F || r.method != kSeriesMethod || r.scale != scale_of(type)) {
    char text[160];
    std::snprintf(text, sizeof text, "was made for another matrix (type %d, distance %d.%02d, method %d, scale %g)",
                  r.type, r.whole, r.hundred, r.method, r.scale);
    why = text;
    return 0;
  }
  return 1;
}

// Reads the order-N matrix of (type, I, F), count = t3(N) values, from the
// double file open at fd into out: 1 when the file's record says it was
// made for that matrix at order N (or above, for a series file) and the
// values match its CRC. Else 0, with why saying what is wrong, or left
// empty for a sound file of another order that cannot serve this one (an
// ordinary miss: the matrix is made at the order asked).
int read_checked(int fd, int N, int I, int F, int type, int64_t count, double* out, std::string& why) {
  CheckRecord r;
  if (!read_record(fd, I, F, type, r, why)) return 0;
  if (r.order < N || (is_product(I, F) && r.order != N)) return 0;
  const int64_t bytes = count * static_cast<int64_t>(sizeof(double));
  if (zam_read_cache_buffer(fd, 0, count, out) != count || zam_crc32(0, out, bytes) != r.crc[N - 1]) {
    why = "does not match its checksum";
    return 0;
  }
  return 1;
}

// True when name is a product file with a sound record of the same matrix
// at an order above N (lock 11 held): it serves that order, and a lower
// order is made again from its parts, so it is kept rather than replaced
// back and forth by runs of two orders. Its values are checked by a reader
// of its own order.
bool keeps_higher_product_locked(const char* name, int N, int I, int F, int type) {
  if (!is_product(I, F)) return false;
  const int fd = open_regular(name);
  if (fd < 0) return false;
  CheckRecord r;
  std::string why;
  const bool keep = read_record(fd, I, F, type, r, why) && r.order > N;
  close(fd);
  return keep;
}

// One warning per file and process (lock 11 held).
void report_locked(const std::string& name, const std::string& why) {
  if (reported.insert(name).second) zam_wrn("Translation-matrix cache file %s %s; made again.\n", name.c_str(), why.c_str());
}

// Whether the cache may put a file of its own at name (lock 11 held): the
// name is free, or a plain file stands there whose end holds a record of
// this cache's format family (of any version, sound or damaged), which
// proves that the cache wrote it. Anything else (a file of another program,
// one cut short, a link, a folder) is not the cache's to replace.
bool ours_or_free_locked(const std::string& name) {
  struct stat st;
  if (lstat(name.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISREG(st.st_mode)) return false;
  CheckRecord r;
  const int64_t rsize = sizeof r;
  const int fd = open_regular(name.c_str(), O_NOFOLLOW);
  const bool read = fd >= 0 && st.st_size >= rsize && zam_readAll(fd, &r, rsize, st.st_size - rsize) == rsize;
  if (fd >= 0) close(fd);
  return read && std::memcmp(r.magic, kMagic, sizeof kMagic - 2) == 0;
}

// A file at a cache name that the cache did not write (lock 11 held): it is
// left as it is, named in the log once per process and counted for the one
// warning of the run (zam_cache_report_kept).
void report_foreign_locked(const std::string& name) {
  if (!reported.insert(name).second) return;
  zam_log("Matrix cache name held by a file the cache did not write, kept: %s\n", name.c_str());
  if (kept_count++ == 0) kept_first = name;
}

// The full path of a named file in the cache folder, into path (kNameMax + 1
// bytes); false after an error when the cache has no folder, the name is
// not a plain file name, or the path does not fit.
bool named_path(const char* name, char* path) {
  zam_cache_probe();
  if (!cache_dir[0]) {
    zam_err("No cache folder for %s. Cache disabled.\n", name ? name : "(null)");
    return false;
  }
  if (!name || !name[0] || std::strchr(name, '/') || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
    zam_err("Bad cache file name: %s\n", name ? name : "(null)");
    return false;
  }
  const int n = std::snprintf(path, kNameMax + 1, "%s/%s", cache_dir, name);
  if (n < 0 || n > kNameMax) {
    zam_err("Cache file name too long: %s/%s\n", cache_dir, name);
    return false;
  }
  return true;
}

// Creates path afresh (any old file removed first; a file that appears
// meanwhile is not followed), private to the user, under lock 11; the
// descriptor or -1 after an error.
int create_locked(const char* path, int flags) {
  zam_mutex_acquire(kCacheLock);
  unlink(path);
  const int fd = open(path, flags | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const int err = errno;
  zam_mutex_release(kCacheLock);
  if (fd < 0) zam_err("Failed to open %s.\n** [%s]\n", path, std::strerror(err));
  return fd;
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

const char* zam_cache_file(int, int I, int F, int type, int single) {
  // One buffer per thread: a name stays valid until the thread's next call.
  thread_local char name[kNameMax + 1];
  zam_cache_probe();
  name[0] = '\0';
  if (!cache_dir[0]) return name;
  char token[32];
  if (I >= 1 && F > 0)
    std::snprintf(token, sizeof token, "%dp%d", I, F);
  else if (I < 1)
    std::snprintf(token, sizeof token, "p%d", F);
  else
    std::snprintf(token, sizeof token, "%d", I);
  const int n = std::snprintf(name, sizeof name, "%s/zam_%s%s_%s.dat", cache_dir, scale_prefix(type),
                              kind_tag(type, single), token);
  if (n < 0 || n > kNameMax) name[0] = '\0';
  return name;
}

int64_t zam_read_cache_buffer(int fd, int single, int64_t count, double* out) {
  if (count <= 0) return 0;
  if (!single) {
    const int64_t bytes = count * static_cast<int64_t>(sizeof(double));
    return zam_readAll(fd, out, bytes) == bytes ? count : 0;
  }
  std::vector<float> chunk(static_cast<size_t>(count < kChunk ? count : kChunk));
  int64_t done = 0;
  while (done < count) {
    const int64_t want = count - done < kChunk ? count - done : kChunk;
    const int64_t bytes = want * static_cast<int64_t>(sizeof(float));
    if (zam_readAll(fd, chunk.data(), bytes) != bytes) break;
    for (int64_t i = 0; i < want; i++) out[done + i] = chunk[static_cast<size_t>(i)];
    done += want;
  }
  return done;
}

int zam_read_cache(int N, int I, int F, int type, int64_t count, double* out) {
  if (!zam_cache_type() || N < 1 || N > kMaxOrder || count != tm3_dim(N - 1)) return 0;
  int hit = 0;
  zam_mutex_acquire(kCacheLock);
  const std::string name = zam_cache_file(N, I, F, type, 0);
  if (!name.empty()) {
    const int fd = open_regular(name.c_str());
    std::string why;
    if (fd >= 0) {
      hit = lseek(fd, 0, SEEK_SET) == 0 && read_checked(fd, N, I, F, type, count, out, why);
      close(fd);
      if (!why.empty()) {
        if (ours_or_free_locked(name))
          report_locked(name, why);
        else
          report_foreign_locked(name);
      }
    } else {
      // Float files are never written here and carry no record: their
      // values cannot be checked, so they are not trusted. The double file
      // made in their place is read from then on.
      const std::string single = zam_cache_file(N, I, F, type, 1);
      if (!single.empty() && access(single.c_str(), F_OK) == 0)
        report_locked(single, "holds single-precision values with no checksum");
    }
  }
  zam_mutex_release(kCacheLock);
  return hit;
}

int zam_write_cache(int N, int I, int F, int type, int64_t count, const double* in) {
  if (!zam_cache_type()) return 0;
  if (N < 1 || N > kMaxOrder || count != tm3_dim(N - 1)) {
    zam_err("A translation matrix of order %d cannot be cached with %lld values.\n", N, static_cast<long long>(count));
    return 0;
  }
  const CheckRecord record = make_record(N, I, F, type, in);
  int ok = 0;
  zam_mutex_acquire(kCacheLock);
  const char* name = zam_cache_file(N, I, F, type, 0);
  if (name[0] && keeps_higher_product_locked(name, N, I, F, type)) {
    ok = 1;
  } else if (name[0] && !ours_or_free_locked(name)) {
    report_foreign_locked(name);
  } else if (name[0]) {
    _zam_whole* w = zam_openWhole(name, "wb", ZAM_OLDER_REPLACED);
    if (!w) {
      zam_err("Failed to open %s.\n** [%s]\n", name, std::strerror(errno));
    } else {
      // Private to the user before a byte is written, not once it is named.
      const int64_t bytes = count * static_cast<int64_t>(sizeof(double));
      const bool wrote = fchmod(w->fd, 0600) == 0 && zam_fwrite(w->fp, in, bytes) > 0 &&
                         zam_fwrite(w->fp, &record, sizeof record) > 0 && !zam_ferror(w->fp);
      ok = zam_closeWhole(w, wrote);
      if (!ok) zam_err("Failed to write %s.\n** [%s]\n", name, std::strerror(errno));
    }
  }
  zam_mutex_release(kCacheLock);
  return ok;
}

void zam_cache_gto_scale(int q) {
  if (q == 0) {
    zam_err("A GTO scale of 0 cannot be used.\n");
    return;
  }
  if (q == 20) {
    gto_prefix[0] = '\0';
  } else {
    // A reciprocal scale has its own letter: q10 is 10, r10 is 1/10.
    std::snprintf(gto_prefix, sizeof gto_prefix, "%c%d_", q > 0 ? 'q' : 'r', q > 0 ? q : -q);
  }
  hnl_factor(q > 0 ? q : 1.0 / -q);
}

void zam_cache_eto_scale(int t) {
  if (t == 0) {
    zam_err("An ETO scale of 0 cannot be used.\n");
    return;
  }
  if (t == 1)
    eto_prefix[0] = '\0';
  else
    std::snprintf(eto_prefix, sizeof eto_prefix, "%c%d_", t > 0 ? 'l' : 'm', t > 0 ? t : -t);
  tnl_factor(t > 0 ? t : 1.0 / -t);
}

int zam_cache_create(const char* name) {
  char path[kNameMax + 1];
  if (!named_path(name, path)) return -1;
  const int fd = create_locked(path, O_RDWR);
  if (fd >= 0 && lseek(fd, 0, SEEK_SET) != 0) {
    zam_err("Failed to position %s.\n** [%s]\n", path, std::strerror(errno));
    close(fd);
    unlink(path);
    return -1;
  }
  return fd;
}

int zam_cache_open(const char* name) {
  char path[kNameMax + 1];
  if (!named_path(name, path)) return -1;
  const int fd = open_regular(path);
  if (fd >= 0 && lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int zam_cache_close(int fd) {
  if (fd < 0) return -1;
  const bool synced = fsync(fd) == 0;
  return close(fd) == 0 && synced ? 0 : -1;
}

_zam_file* zam_cache_fcreate(const char* name) {
  char path[kNameMax + 1];
  if (!named_path(name, path)) return nullptr;
  // The file is made private before the stream opens it: the stream then
  // truncates it and keeps its mode, whatever the codec its name selects.
  const int fd = create_locked(path, O_WRONLY);
  if (fd < 0) return nullptr;
  close(fd);
  _zam_file* f = zam_fopen(path, "w");
  if (!f) {
    zam_err("Failed to open %s.\n** [%s]\n", path, std::strerror(errno));
    unlink(path);
  }
  return f;
}

_zam_file* zam_cache_fopen(const char* name) {
  char path[kNameMax + 1];
  if (!named_path(name, path)) return nullptr;
  const int fd = open_regular(path);
  if (fd < 0) return nullptr;
  _zam_file* f = zam_fdopen(fd, "r", static_cast<int>(zam_fkind(path)));
  if (!f) close(fd);
  return f;
}

int zam_cache_fclose(_zam_file* file) { return zam_fclose(file); }

void zam_cache_report_kept() {
  zam_mutex_acquire(kCacheLock);
  // The name goes last in a text of many: a long one is what a cut at 256
  // characters takes away, not what to do.
  if (kept_count == 1)
    zam_wrn("Translation-matrix cache file %s holds no record of the cache (another program's file, one cut short, "
            "or no regular file): kept, its matrix not cached. Remove it to let the cache use its name.\n",
            kept_first.c_str());
  else if (kept_count > 1)
    zam_wrn("Translation-matrix cache files kept: %d hold no record of the cache, so their matrices were not "
            "cached; remove them to let the cache use their names%s. The first: %s\n",
            kept_count, zam_logger_status() ? " (the log names each)" : "", kept_first.c_str());
  kept_count = 0;
  kept_first.clear();
  zam_mutex_release(kCacheLock);
}

void zam_cache_reset() {
  zam_mutex_acquire(kCacheLock);
  cache_dir[0] = '\0';
  cache_mode = 1;
  probe_done.store(0, std::memory_order_release);
  zam_mutex_release(kCacheLock);
}
