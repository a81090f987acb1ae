#include "runtime/zam_system.h"

#include <dlfcn.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>

#include "runtime/zam_directory.h"
#include "runtime/zam_log.h"

int zam_debug = 0;

namespace {

// Set by zam_init_time, which the driver calls before any thread starts.
struct timeval start_time = {0, 0};

std::once_flag root_once;
std::once_flag string_seed_once;
std::once_flag range_seed_once;
char ran_text[20];

bool same_nocase(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return *a == *b;
}

// The variable's value, or null when the name is null/empty or it is unset.
const char* lookup(const char* name) {
  if (!name || !*name) return nullptr;
  return std::getenv(name);
}

// Whole processors that a CPU quota of quota per period (microseconds)
// allows, rounded up; 0 for no quota.
int quota_cpus(double quota, double period) {
  return quota > 0 && period > 0 ? static_cast<int>(std::ceil(quota / period)) : 0;
}

// The smallest CPU quota of this process's control groups and their
// parents, as whole processors; 0 when none is set. cgroup v2 keeps it in
// cpu.max ("max 100000", or "200000 100000" for two processors), v1 in
// cpu.cfs_quota_us over cpu.cfs_period_us of the cpu controller. Inside a
// container the group's own path may not be mounted; its parents end at
// the mount's root, which then holds the container's quota.
int cgroup_cpus() {
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  int best = 0;
  auto take = [&](int n) {
    if (n > 0 && (best == 0 || n < best)) best = n;
  };
  while (std::getline(groups, line)) {
    // hierarchy:controllers:path
    const size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string controllers = std::string(",").append(line, a + 1, b - a - 1).append(",");
    const bool v2 = controllers == ",,";
    if (!v2 && controllers.find(",cpu,") == std::string::npos) continue;
    std::string path = line.substr(b + 1);
    static const char* const kV1[] = {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"};
    static const char* const kV2[] = {"/sys/fs/cgroup", nullptr};
    const char* const* mounts = v2 ? kV2 : kV1;
    for (int k = 0; k < 2 && mounts[k]; k++) {
      const char* mount = mounts[k];
      for (std::string p = path;;) {
        const std::string dir = std::string(mount) + (p == "/" ? "" : p);
        double quota = 0, period = 0;
        if (v2) {
          std::ifstream max(dir + "/cpu.max");
          std::string q;
          if (max >> q >> period && q != "max") take(quota_cpus(std::strtod(q.c_str(), nullptr), period));
        } else {
          std::ifstream q(dir + "/cpu.cfs_quota_us"), t(dir + "/cpu.cfs_period_us");
          if (q >> quota && t >> period) take(quota_cpus(quota, period));
        }
        const size_t slash = p.rfind('/');
        if (p.empty() || p == "/" || slash == std::string::npos) break;
        p = slash == 0 ? "/" : p.substr(0, slash);
      }
    }
  }
  return best;
}

int detect_byte_order() {
  const uint64_t probe = 0x0102030405060708ULL;
  unsigned char b[8];
  std::memcpy(b, &probe, sizeof b);
  uint64_t seen = 0;
  for (int i = 0; i < 8; i++) seen = (seen << 8) | b[i];
  if (seen == 0x0807060504030201ULL) return 0;
  zam_msg("**\n** Unexpected byte order: %16.16lX\n**\n", static_cast<unsigned long>(seen));
  return -1;
}

}  // namespace

// ---- Environment ----------------------------------------------------------

const char* zam_getenv(const char* name) {
  const char* v = lookup(name);
  return v ? v : "";
}

const char* zam_null_env(const char* name) {
  const char* v = lookup(name);
  return v ? v : "NULL";
}

const char* zam_char_env(const char* name, const char* def) {
  const char* v = lookup(name);
  if (!v || std::strcmp(v, "NULL") == 0) return def;
  return v;
}

int zam_int_env(const char* name, int def) {
  const char* v = lookup(name);
  if (!v || !*v) return def;
  const char* p = v;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') p++;
  long long value = 0;
  for (; *p; p++) {
    if (*p < '0' || *p > '9') return def;
    value = value * 10 + (*p - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return def;  // not an int
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return def;
  return static_cast<int>(value);
}

int zam_bool_env(const char* name, int def) {
  const char* v = lookup(name);
  if (!v || same_nocase(v, "null")) return def;
  if (same_nocase(v, "yes") || same_nocase(v, "y") || same_nocase(v, "true") || same_nocase(v, "t")) return 1;
  if (same_nocase(v, "no") || same_nocase(v, "n") || same_nocase(v, "false") || same_nocase(v, "f")) return 0;
  return std::strtol(v, nullptr, 10) != 0 ? 1 : 0;
}

int zam_putenv(const char* name, const char* value) {
  if (!name || !*name || std::strchr(name, '=')) return -1;
  // setenv keeps its own copy, so a value replaced later leaks nothing.
  return setenv(name, value ? value : "", 1) == 0 ? 0 : -1;
}

void zam_check_root(const char* program_path) {
  std::call_once(root_once, [program_path] {
    const char* root = zam_getenv("ZAM_ROOT");
    if (!*root) {
      zam_wrn("The environment variable ZAM_ROOT is not set.\n");
      char dir[260], guess[260];
      zam_dirname(program_path ? program_path : "", dir);
      zam_dirname(dir, guess);
      zam_wrn("Guessing ZAM_ROOT = %s\n", guess);
      zam_putenv("ZAM_ROOT", guess);
      root = zam_getenv("ZAM_ROOT");
    }
    const std::string base = root;
    const std::string path = base + "/exe:" + base + "/bin:" + zam_getenv("PATH");
    zam_putenv("PATH", path.c_str());
  });
}

// ---- Clock and date -------------------------------------------------------

void zam_init_time() { gettimeofday(&start_time, nullptr); }

double zam_get_time() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<double>(now.tv_sec - start_time.tv_sec) +
         static_cast<double>(now.tv_usec - start_time.tv_usec) * 1e-6;
}

char* zam_get_date(char* out) {
  const time_t now = time(nullptr);
  struct tm local;
  char text[64];
  if (!localtime_r(&now, &local) || !asctime_r(&local, text)) {
    out[0] = 0;
    return out;
  }
  std::memcpy(out, text, 24);
  out[24] = 0;
  return out;
}

char* zam_elapsed_string(char* out, double seconds) {
  // Keep the whole hours within an int; a non-finite time reads as 0.
  const double limit = static_cast<double>(INT_MAX) * 3600.0;
  double t = std::isfinite(seconds) ? seconds : 0.0;
  if (t > limit) t = limit;
  if (t < -limit) t = -limit;
  const int h = static_cast<int>(t / 3600.0);
  if (h < 1) {
    const int m = static_cast<int>(t / 60.0);
    const int s = static_cast<int>(t + 0.5 - 60.0 * m);
    std::snprintf(out, 64, "%d min, %d sec", m, s);
  } else {
    const double rest = t - 3600.0 * h;
    const int m = static_cast<int>(rest / 60.0);
    const int s = static_cast<int>(rest + 0.5 - 60.0 * m);
    std::snprintf(out, 64, "%d hr, %d min, %d sec", h, m, s);
  }
  return out;
}

// ---- Process and machine --------------------------------------------------

char* zam_get_host(char* out) {
  char name[256];
  if (gethostname(name, sizeof name) != 0) name[0] = 0;
  name[25] = 0;  // hosts with long names are shown by their first 25 characters
  std::memcpy(out, name, 26);
  return out;
}

int zam_get_pid() { return static_cast<int>(getpid()); }

char* zam_get_cwd(char* out) {
  if (!getcwd(out, 257)) out[0] = 0;
  return out;
}

int zam_umask(int mask) { return static_cast<int>(umask(static_cast<mode_t>(mask))); }

int zam_nice(int increment) {
  errno = 0;
  const int now = nice(increment);
  return (now == -1 && errno != 0) ? -1 : now;
}

int zam_mb_memory() {
  const int pages = static_cast<int>(sysconf(_SC_PHYS_PAGES) / 128);
  const int page = static_cast<int>(sysconf(_SC_PAGESIZE) / 128);
  return pages * page / 64;
}

int zam_cpus_online() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

int zam_cpus_usable() {
  int n = zam_cpus_online();
  cpu_set_t set;
  CPU_ZERO(&set);
  // A machine of more processors than a cpu_set_t holds fails here: the
  // online count stands then.
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) n = CPU_COUNT(&set);
  const int quota = cgroup_cpus();
  if (quota > 0 && quota < n) n = quota;
  return n > 0 ? n : 1;
}

int zam_cpus_configured() { return static_cast<int>(sysconf(_SC_NPROCESSORS_CONF)); }

int zam_endian() {
  static const int order = detect_byte_order();  // thread-safe one-time set-up
  return order;
}

int zam_cpu_avx2() {
  static const int avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0 ? 1 : 0;
  }();
  return avx2;
}

int zam_cpu_avx512() {
  static const int avx512 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0 ? 1 : 0;
  }();
  return avx512;
}

void zam_zero(void* p, int64_t n) {
  if (p && n > 0) std::memset(p, 0, static_cast<size_t>(n));
}

void zam_copy(const void* src, void* dst, int64_t n) {
  if (src && dst && n > 0) std::memmove(dst, src, static_cast<size_t>(n));
}

char* zam_index(char* s, int c) { return s ? std::strchr(s, c) : nullptr; }

const char* zam_index(const char* s, int c) { return s ? std::strchr(s, c) : nullptr; }

void* zam_dlopen(const char* file) {
  void* handle = dlopen(file, RTLD_NOW | RTLD_GLOBAL);
  if (!handle) {
    const char* why = dlerror();
    zam_wrn("zam_dlopen() failed to open shared library: %s\n", why ? why : (file ? file : "(null)"));
  }
  return handle;
}

void* zam_dlsym(void* handle, const char* name) {
  dlerror();
  void* symbol = dlsym(handle, name);
  if (!symbol) zam_wrn("zam_dlsym() failed to find symbol: %s\n", name ? name : "(null)");
  return symbol;
}

int zam_dlclose(void* handle) { return handle ? dlclose(handle) : -1; }

// ---- Random numbers -------------------------------------------------------

char* zam_ran_string() {
  std::call_once(string_seed_once, [] { srandom(static_cast<unsigned>(zam_get_time())); });
  std::snprintf(ran_text, sizeof ran_text, "%d%ld", zam_get_pid(), random());
  return ran_text;
}

double zam_ran_range(double lo, double hi) {
  std::call_once(range_seed_once, [] { srand(1971); });
  return lo + (hi - lo) * static_cast<double>(rand()) / 2147483647.0;
}

// ---- Small array searches -------------------------------------------------

int find_min(const double* a, int n) {
  int best = 0;
  double bound = 1e32;
  for (int i = 0; i < n; i++)
    if (a[i] < bound) {
      bound = a[i];
      best = i;
    }
  return best;
}

int find_max(const double* a, int n) {
  int best = 0;
  double bound = -1e32;
  for (int i = 0; i < n; i++)
    if (a[i] > bound) {
      bound = a[i];
      best = i;
    }
  return best;
}

int find_val(const double* a, int n, double v) {
  if (n < 2) return 0;
  int best = 1;
  double gap = std::fabs(a[1] - v);
  for (int i = 2; i < n; i++) {
    const double d = std::fabs(a[i] - v);
    if (d < gap) {
      gap = d;
      best = i;
    }
  }
  return best;
}

int find_int(int v, const int* a, int n) {
  for (int i = 0; i < n; i++)
    if (a[i] == v) return i;
  return -1;
}
