// Environment parsers, clock, host, identity table, random numbers,
// progress reporting and the CRC-32.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sched.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/zam_crc.h"
#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_system.h"
#include "runtime/zam_version.h"

// The host name seen by the library; a test can put a long one in place.
namespace {
const char* fake_host = nullptr;
}
extern "C" int gethostname(char* name, size_t len) {
  if (fake_host) {
    std::strncpy(name, fake_host, len);
    return 0;
  }
  using real_fn = int (*)(char*, size_t);
  static real_fn real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "gethostname"));
  return real(name, len);
}

namespace {

constexpr const char* kVar = "TREL_TEST_SYSTEM_VALUE";

using Captured = testutil::Capture;  // log_capture.h

// "Www Mmm dd hh:mm:ss yyyy" as asctime writes it.
bool is_date_text(const std::string& d) {
  const std::string shape = "AAA AAA _9 99:99:99 9999";
  if (d.size() != shape.size()) return false;
  for (size_t i = 0; i < d.size(); i++) {
    const char c = d[i], want = shape[i];
    const bool ok = want == 'A'   ? (c >= 'A' && c <= 'z')
                    : want == '9' ? (c >= '0' && c <= '9')
                    : want == '_' ? (c == ' ' || (c >= '1' && c <= '3'))
                                  : c == want;
    if (!ok) return false;
  }
  return true;
}

// major.minor.patch: three groups of digits joined by points.
bool is_version_number(const std::string& v) {
  int groups = 1, digits = 0;
  for (char c : v) {
    if (c == '.') {
      if (digits == 0) return false;
      groups++;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      digits++;
    } else {
      return false;
    }
  }
  return groups == 3 && digits > 0;
}

int int_of(const char* value, int def = -99) {
  setenv(kVar, value, 1);
  return zam_int_env(kVar, def);
}

int bool_of(const char* value, int def = 7) {
  setenv(kVar, value, 1);
  return zam_bool_env(kVar, def);
}

}  // namespace

TEST(Environment, IntegerValues) {
  EXPECT_EQ(int_of("12"), 12);
  EXPECT_EQ(int_of("+5"), 5);
  EXPECT_EQ(int_of("-3"), -3);
  EXPECT_EQ(int_of("-"), 0);  // a lone sign counts as 0
  EXPECT_EQ(int_of("+"), 0);
  EXPECT_EQ(int_of("12x"), -99);
  EXPECT_EQ(int_of("1.5"), -99);
  EXPECT_EQ(int_of(""), -99);
  EXPECT_EQ(int_of(" 12"), -99);
  EXPECT_EQ(int_of("2147483647"), 2147483647);
  EXPECT_EQ(int_of("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(int_of("99999999999999999999"), -99);  // not an int
  unsetenv(kVar);
  EXPECT_EQ(zam_int_env(kVar, 4), 4);
  EXPECT_EQ(zam_int_env("", 4), 4);
  EXPECT_EQ(zam_int_env(nullptr, 4), 4);
}

TEST(Environment, BooleanValues) {
  EXPECT_EQ(bool_of("YES"), 1);
  EXPECT_EQ(bool_of("y"), 1);
  EXPECT_EQ(bool_of("True"), 1);
  EXPECT_EQ(bool_of("T"), 1);
  EXPECT_EQ(bool_of("no"), 0);
  EXPECT_EQ(bool_of("N"), 0);
  EXPECT_EQ(bool_of("FALSE"), 0);
  EXPECT_EQ(bool_of("f"), 0);
  EXPECT_EQ(bool_of("Off"), 0);  // no leading integer
  EXPECT_EQ(bool_of("2"), 1);
  EXPECT_EQ(bool_of("0"), 0);
  EXPECT_EQ(bool_of("-4x"), 1);
  EXPECT_EQ(bool_of("NULL"), 7);
  EXPECT_EQ(bool_of("nuLL"), 7);
  unsetenv(kVar);
  EXPECT_EQ(zam_bool_env(kVar, 0), 0);
  EXPECT_EQ(zam_bool_env(kVar, 1), 1);
}

TEST(Environment, TextValues) {
  setenv(kVar, "NULL", 1);
  EXPECT_STREQ(zam_char_env(kVar, "dflt"), "dflt");
  setenv(kVar, "null", 1);
  EXPECT_STREQ(zam_char_env(kVar, "dflt"), "null");
  setenv(kVar, "", 1);
  EXPECT_STREQ(zam_char_env(kVar, "dflt"), "");
  EXPECT_STREQ(zam_char_env("", "dflt"), "dflt");
  unsetenv(kVar);
  EXPECT_STREQ(zam_char_env(kVar, "dflt"), "dflt");
  EXPECT_STREQ(zam_getenv(kVar), "");
  EXPECT_STREQ(zam_getenv(nullptr), "");
  EXPECT_STREQ(zam_null_env(kVar), "NULL");
  EXPECT_STREQ(zam_null_env(""), "NULL");

  EXPECT_EQ(zam_putenv(kVar, "first"), 0);
  EXPECT_STREQ(zam_getenv(kVar), "first");
  EXPECT_EQ(zam_putenv(kVar, "second value"), 0);
  EXPECT_STREQ(zam_null_env(kVar), "second value");
  EXPECT_EQ(zam_putenv("", "x"), -1);
  unsetenv(kVar);
}

TEST(Environment, RootGuessedFromProgramPath) {
  const std::string old_path = zam_getenv("PATH");
  const std::string old_root = zam_getenv("ZAM_ROOT");
  unsetenv("ZAM_ROOT");
  {
    Captured out;
    zam_check_root("/opt/zam/bin/trel");
    EXPECT_NE(out.text.find("The environment variable ZAM_ROOT is not set.\n"), std::string::npos);
    EXPECT_NE(out.text.find("Guessing ZAM_ROOT = /opt/zam\n"), std::string::npos);
  }
  EXPECT_STREQ(zam_getenv("ZAM_ROOT"), "/opt/zam");
  EXPECT_EQ(std::string(zam_getenv("PATH")), "/opt/zam/exe:/opt/zam/bin:" + old_path);
  zam_check_root("/elsewhere/bin/trel");  // once per run
  EXPECT_STREQ(zam_getenv("ZAM_ROOT"), "/opt/zam");
  setenv("PATH", old_path.c_str(), 1);
  if (old_root.empty())
    unsetenv("ZAM_ROOT");
  else
    setenv("ZAM_ROOT", old_root.c_str(), 1);
}

TEST(Clock, TimeDateAndElapsedText) {
  zam_init_time();
  const double t0 = zam_get_time();
  EXPECT_GE(t0, 0.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_GE(zam_get_time() - t0, 0.025);

  char date[32];
  zam_get_date(date);
  EXPECT_EQ(std::strlen(date), 24u);
  EXPECT_TRUE(is_date_text(date)) << date;

  char out[64];
  EXPECT_STREQ(zam_elapsed_string(out, 59.6), "0 min, 60 sec");
  EXPECT_STREQ(zam_elapsed_string(out, 3725.0), "1 hr, 2 min, 5 sec");
  EXPECT_STREQ(zam_elapsed_string(out, 0.0), "0 min, 0 sec");
  EXPECT_STREQ(zam_elapsed_string(out, 3599.4), "59 min, 59 sec");
  EXPECT_STREQ(zam_elapsed_string(out, 7200.0), "2 hr, 0 min, 0 sec");
  EXPECT_STREQ(zam_elapsed_string(90061.7, out), "25 hr, 1 min, 2 sec");
  EXPECT_STREQ(zam_elapsed_string(out, NAN), "0 min, 0 sec");
  EXPECT_STREQ(zam_elapsed_string(out, 1e300), "2147483647 hr, 0 min, 0 sec");
}

TEST(Machine, HostProcessAndCounts) {
  char host[26];
  fake_host = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";  // 40 characters
  EXPECT_STREQ(zam_get_host(host), "abcdefghijklmnopqrstuvwxy");
  fake_host = "short";
  EXPECT_STREQ(zam_get_host(host), "short");
  fake_host = nullptr;
  zam_get_host(host);
  EXPECT_LE(std::strlen(host), 25u);

  char cwd[257];
  EXPECT_EQ(std::string(zam_get_cwd(cwd)), std::filesystem::current_path().string());
  EXPECT_GT(zam_mb_memory(), 0);
  EXPECT_GE(zam_cpus_online(), 1);
  EXPECT_GE(zam_cpus_configured(), zam_cpus_online());
  EXPECT_EQ(zam_endian(), 0);
}

// The usable processors are those of the affinity mask (a thread pinned to
// one processor, or to two, counts them), never more than are online.
TEST(Machine, UsableProcessorsFollowTheAffinityMask) {
  cpu_set_t old;
  ASSERT_EQ(sched_getaffinity(0, sizeof old, &old), 0);
  const int allowed = CPU_COUNT(&old);
  EXPECT_LE(zam_cpus_usable(), allowed);
  EXPECT_LE(zam_cpus_usable(), zam_cpus_online());
  EXPECT_GE(zam_cpus_usable(), 1);
  std::vector<int> mine;
  for (int c = 0; c < CPU_SETSIZE && (int)mine.size() < 2; c++)
    if (CPU_ISSET(c, &old)) mine.push_back(c);
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(mine[0], &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(zam_cpus_usable(), 1);
  if (mine.size() == 2) {
    CPU_SET(mine[1], &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_GE(zam_cpus_usable(), 1);
    EXPECT_LE(zam_cpus_usable(), 2);
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof old, &old), 0);
}

TEST(Machine, BytesAndLibraries) {
  char buf[8] = "abcdefg";
  zam_zero(buf + 2, 3);
  EXPECT_EQ(std::memcmp(buf, "ab\0\0\0fg", 8), 0);
  zam_copy("XYZ", buf, 3);
  EXPECT_EQ(std::memcmp(buf, "XYZ\0\0fg", 8), 0);
  char text[] = "a.b.c";
  EXPECT_EQ(zam_index(text, '.'), text + 1);
  EXPECT_EQ(zam_index(text, 0), text + 5);
  EXPECT_EQ(zam_index(text, 'z'), nullptr);

  Captured out;
  EXPECT_EQ(zam_dlopen("/nonexistent/libnothing.so"), nullptr);
  EXPECT_TRUE(out.has("/nonexistent/libnothing.so")) << out.text;  // names what failed
  void* libm = zam_dlopen("libm.so.6");
  ASSERT_NE(libm, nullptr);
  auto cosine = reinterpret_cast<double (*)(double)>(zam_dlsym(libm, "cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(zam_dlsym(libm, "no_such_symbol_here"), nullptr);
  EXPECT_TRUE(out.has("no_such_symbol_here")) << out.text;
  EXPECT_EQ(zam_dlclose(libm), 0);
}

TEST(Random, RangeSeededWith1971) {
  std::vector<double> got;
  for (int i = 0; i < 3; i++) got.push_back(zam_ran_range(2.0, 4.0));
  srand(1971);  // the same stream, drawn again by hand
  for (int i = 0; i < 3; i++) {
    const double r = rand();
    EXPECT_DOUBLE_EQ(got[i], 2.0 + 2.0 * r / 2147483647.0);
    EXPECT_TRUE(got[i] >= 2.0 && got[i] <= 4.0);
  }

  const std::string pid = std::to_string(getpid());
  const std::string text = zam_ran_string();
  EXPECT_EQ(text.compare(0, pid.size(), pid), 0);
  EXPECT_GT(text.size(), pid.size());
  EXPECT_LT(text.size(), 20u);
  EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos);
}

TEST(Search, SmallArrays) {
  const double a[] = {3.0, -1.0, 5.0, -1.0, 5.0};
  EXPECT_EQ(find_min(a, 5), 1);
  EXPECT_EQ(find_max(a, 5), 2);
  EXPECT_EQ(find_min(a, 0), 0);
  EXPECT_EQ(find_max(a, -2), 0);
  EXPECT_EQ(find_val(a, 5, 4.4), 2);
  EXPECT_EQ(find_val(a, 5, 3.0), 2);  // index 0 is never examined
  EXPECT_EQ(find_val(a, 1, 3.0), 0);
  const double huge[] = {2e32, 3e32};
  EXPECT_EQ(find_min(huge, 2), 0);  // nothing below the starting bound
  const int v[] = {4, 8, 8};
  EXPECT_EQ(find_int(8, v, 3), 1);
  EXPECT_EQ(find_int(9, v, 3), -1);
}

// Every identity reads "<name> <major.minor.patch>"; the tool's own is
// Trel 1.0.0, and a number outside the table falls back to the library's.
TEST(Identity, VersionTable) {
  set_version(0);
  const std::string zam_full = zam_version(), zam_number = zam_version_only();
  for (int id = 0; id < 9; id++) {
    set_version(id);
    const std::string full = zam_version(), number = zam_version_only();
    EXPECT_TRUE(is_version_number(number)) << id << " " << number;
    // Identity 1 shows the library's number beside a number of its own.
    EXPECT_TRUE(full.ends_with(" " + (id == 1 ? zam_number : number))) << full;
    if (id == 1) {
      EXPECT_NE(number, zam_number);
    }
  }
  set_version(5);
  EXPECT_STREQ(zam_version(), "Trel 1.0.0");
  for (int id : {42, -1}) {
    set_version(id);
    EXPECT_EQ(zam_version(), zam_full) << id;
    EXPECT_EQ(zam_version_only(), zam_number) << id;
  }
  set_version(0);
}

namespace {
std::vector<std::pair<int, double>> calls;
int answer = 0;
int record(int code, double p) {
  calls.emplace_back(code, p);
  return answer;
}
std::vector<int> updates;
void update(int code, va_list args) {
  updates.push_back(code);
  updates.push_back(va_arg(args, int));
}
}  // namespace

TEST(Progress, CallbackValues) {
  EXPECT_EQ(zam_progress2(1, 1, 3), 0);  // no hook: nothing happens
  zam_progress_callback(record);
  calls.clear();
  zam_progress2(4, 1, 3);
  zam_progress2(4, 5, 3);
  zam_progress2(4, -1, 3);
  zam_progress2(4, 0, 0);
  zam_progress_start();
  zam_progress_end();
  zam_progress1(2, 0.336);
  zam_progress1(0.5, 3);  // fraction first, as the docking code passes it
  const std::vector<std::pair<int, double>> want = {{4, 33.0}, {4, 100.0}, {4, 0.0}, {4, 0.0},
                                                    {-1, 0.0}, {0, 100.0}, {2, 34.0}, {3, 50.0}};
  EXPECT_EQ(calls, want);
  answer = 1;
  EXPECT_EQ(zam_progress2(5, 2, 4), 1);
  answer = 0;
  zam_progress_callback(nullptr);
  EXPECT_EQ(zam_progress_end(), 0);

  zam_update_gui(3, 11);  // no hook
  zam_update_callback(update);
  zam_update_gui(3, 11);
  zam_update_callback(nullptr);
  EXPECT_EQ(updates, (std::vector<int>{3, 11}));
}

TEST(Progress, FractionDoneFile) {
  testutil::TempDir dir;
  const std::string name = dir.file("fraction.txt");
  zam_progress_filename(name.c_str());
  auto step = [&](int code, double percent) {
    zam_file_progress(code, percent);
    return testutil::read_file(name);
  };
  EXPECT_EQ(step(-1, 0.0), "0.000000\n");
  EXPECT_EQ(step(1, 50.0), "0.100000\n");  // W is 0 until weights are given
  const double w[] = {0.1, 0.6, 0.2, 0.1};
  zam_progress_weights(w);
  EXPECT_EQ(step(1, 50.0), "0.600000\n");  // D = 0.5 W, plus w0
  EXPECT_EQ(step(5, 50.0), "0.550000\n");
  EXPECT_EQ(step(4, 50.0), "0.900000\n");
  EXPECT_EQ(step(3, 50.0), "1.000000\n");  // clamped
  EXPECT_EQ(step(9, 50.0), "0.000000\n");
  EXPECT_EQ(step(0, 0.0), "0.000000\n");   // closed, nothing written
  EXPECT_EQ(step(1, 80.0), "0.000000\n");  // inactive: no file to write
  EXPECT_EQ(step(-1, 0.0), "0.000000\n");
  EXPECT_EQ(step(2, 100.0), "1.000000\n");
  zam_file_progress(0, 0.0);
  const double back[] = {0.1, 0.7, 0.2, 0.0};
  zam_progress_weights(back);
}

// The carry-less CRC-32 against zlib's tables: the check value of the
// standard, every length through the folding's edges (64 bytes, whole
// 16-byte blocks and the tail) at every alignment, and a sum taken on in
// pieces equal to the sum of the whole.
TEST(Crc32, SameAsZlib) {
  EXPECT_EQ(zam_crc32(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(zam_crc32(0x1234u, nullptr, 100), 0x1234u);
  std::vector<unsigned char> bytes(4096 + 16);
  uint32_t state = 12345;
  for (auto& b : bytes) b = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 16);
  for (int at = 0; at < 16; at++)
    for (int n = 0; n <= 300; n++)
      ASSERT_EQ(zam_crc32(0xdeadbeefu, bytes.data() + at, n),
                crc32_z(0xdeadbeefu, bytes.data() + at, static_cast<size_t>(n)))
          << "offset " << at << ", " << n << " bytes";
  const uint32_t whole = zam_crc32(0, bytes.data(), 4096);
  EXPECT_EQ(whole, crc32_z(0, bytes.data(), 4096));
  EXPECT_EQ(zam_crc32(zam_crc32(0, bytes.data(), 1000), bytes.data() + 1000, 3096), whole);
}
