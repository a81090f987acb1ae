// Guarded allocator and array allocators: block layout and guard words, usage
// totals, refused and negative sizes with their messages, resizing, the typed
// array forms, kfree of nested arrays and the string helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "common/log_capture.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"

// The refused-allocation tests need the sanitizers' allocators to return null
// like the system one does.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

constexpr uint64_t kGuard = 0xdeafaced;
constexpr int64_t kTop = INT64_MIN;

// Routes messages to `captured` for the life of the object (log_capture.h).
using Capture = testutil::Messages;
std::string& captured = testutil::Messages::said();

const int64_t* words(const void* p) { return static_cast<const int64_t*>(p); }
uint64_t word_at(const void* p, int64_t byte_offset) {
  uint64_t w;
  memcpy(&w, static_cast<const char*>(p) + byte_offset, sizeof(w));
  return w;
}

TEST(GuardedBlock, LayoutOfHeaderAndGuards) {
  for (int64_t n : {0, 1, 7, 8, 13, 100, 4096}) {
    void* p = zam_vm_get(n);
    ASSERT_NE(p, nullptr);
    const int64_t rounded = (n + 7) / 8 * 8;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << n;
    EXPECT_EQ(words(p)[-4], 0) << "tag of " << n;
    EXPECT_EQ(words(p)[-2], rounded / 8) << "size words of " << n;
    EXPECT_EQ(static_cast<uint64_t>(words(p)[-1]), kGuard) << n;
    EXPECT_EQ(word_at(p, rounded), kGuard) << "top guard of " << n;
    EXPECT_EQ(zam_vm_get_size(p), rounded);
    EXPECT_EQ(zam_vm_check(p), 1);
    zam_vm_free(p);
  }
  // A block of 0 bytes has its top guard right at the caller's address.
  void* empty = zam_vm_get(0);
  EXPECT_EQ(word_at(empty, 0), kGuard);
  zam_vm_free(empty);
  zam_vm_free(nullptr);
}

TEST(GuardedBlock, TagsZeroFillAndStrdup) {
  void* p = zam_vm_get(40);
  zam_vm_set_tag(p, -12345);
  EXPECT_EQ(zam_vm_get_tag(p), -12345);
  memset(p, 0xab, 40);
  zam_vm_free(p);
  // The freed chunk is usually handed out again: it must come back cleared.
  auto* z = static_cast<unsigned char*>(zam_vm_get_0(40));
  for (int i = 0; i < 40; i++) ASSERT_EQ(z[i], 0) << i;
  zam_vm_free(z);

  char* s = zam_vm_strdup("guarded");
  EXPECT_STREQ(s, "guarded");
  EXPECT_EQ(zam_vm_get_size(s), 8);
  zam_vm_free(s);
  EXPECT_EQ(zam_vm_strdup(nullptr), nullptr);
  EXPECT_EQ(zam_vm_get_size(nullptr), 0);
  EXPECT_EQ(zam_vm_get_tag(nullptr), 0);
}

// Zero-filled blocks of 1 MiB and more are maps of their own (outside
// AddressSanitizer): the same layout, zeroes, accounting, resizing and guard
// checks as any other block, on both sides of the size where they change.
TEST(GuardedBlock, LargeZeroFilledBlocks) {
  const int64_t mib = int64_t{1} << 20;
  for (int64_t n : {mib - 8, mib, mib + 13, 5 * mib + 4096}) {
    const int64_t before = zam_vm_total();
    auto* p = static_cast<unsigned char*>(zam_vm_get_0(n));
    ASSERT_NE(p, nullptr) << n;
    const int64_t rounded = (n + 7) / 8 * 8;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << n;
    EXPECT_EQ(words(p)[-4], 0) << n;
    EXPECT_EQ(words(p)[-2], rounded / 8) << n;
    EXPECT_EQ(word_at(p, rounded), kGuard) << n;
    EXPECT_EQ(zam_vm_check(p), 1) << n;
    EXPECT_GE(zam_vm_total() - before, n / 1024) << n;
    bool zero = true;
    for (int64_t i = 0; i < n; i++) zero = zero && p[i] == 0;
    EXPECT_TRUE(zero) << n;
    memset(p, 0x5a, static_cast<size_t>(n));  // every byte is the caller's
    EXPECT_EQ(zam_vm_check(p), 1) << n;
    zam_vm_set_tag(p, 42);
    EXPECT_EQ(zam_vm_get_tag(p), 42);

    // Resizing copies out of and into such blocks.
    auto* q = static_cast<unsigned char*>(zam_vm_mod(p, n + 100));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q[0], 0x5a);
    EXPECT_EQ(q[n - 1], 0x5a);
    zam_vm_free(q);
    EXPECT_EQ(zam_vm_total(), before) << n;

    // A clobbered top guard is reported, and the block is still released.
    Capture cap;
    auto* r = static_cast<unsigned char*>(zam_vm_get_0(n));
    r[rounded] = 1;
    zam_vm_free(r);
    EXPECT_NE(captured.find("Top memory guard word clobbered"), std::string::npos) << n;
    EXPECT_EQ(zam_vm_total(), before) << n;
  }
}

// Resident bytes of the process.
int64_t resident() {
  std::ifstream statm("/proc/self/statm");
  int64_t pages = 0, rss = 0;
  statm >> pages >> rss;
  return rss * sysconf(_SC_PAGESIZE);
}

// Trimming gives back the whole pages past the kept bytes: the kept bytes and
// the partial pages at both ends hold their contents, the rest reads as
// zeros, the guards hold, and the block is freed as usual; a plain (heap)
// block and a mapped one alike.
TEST(GuardedBlock, TrimKeepsTheHeadAndZeroesWholePagesPastIt) {
  const int64_t page = sysconf(_SC_PAGESIZE), n = 64 * page + 24;
  for (bool zeroed : {false, true}) {
    auto* p = static_cast<unsigned char*>(zeroed ? zam_vm_get_0(n) : zam_vm_get(n));
    ASSERT_NE(p, nullptr);
    memset(p, 0x5a, static_cast<size_t>(n));
    const int64_t keep = 3 * page + 100;
    zam_vm_trim(p, keep);
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    const int64_t first = (int64_t)((at + keep + page - 1) / page * page - at);
    const int64_t end = (int64_t)((at + n) / page * page - at);
    ASSERT_LT(first, end);
    int64_t wrong = 0;
    for (int64_t i = 0; i < n; i++) wrong += p[i] != (i >= first && i < end ? 0 : 0x5a);
    EXPECT_EQ(wrong, 0) << zeroed;
    EXPECT_EQ(zam_vm_check(p), 1);
    zam_vm_trim(p, n);  // nothing past the end
    zam_vm_trim(nullptr, 0);
    EXPECT_EQ(p[n - 1], 0x5a);
    p[first] = 7;  // the pages are the caller's again
    EXPECT_EQ(p[first], 7);
    zam_vm_free(p);
  }
  // The pages given back leave the process.
  auto* big = static_cast<unsigned char*>(zam_vm_get(64 << 20));
  memset(big, 1, 64 << 20);
  const int64_t full = resident();
  zam_vm_trim(big, 0);
  EXPECT_LT(resident(), full - (48 << 20));
  zam_vm_free(big);
}

// Pooled blocks carry the same header and guards as any block, whatever
// thread allocates or frees them; the freed pool's memory goes back to the
// system in zam_vm_release_pools, and the totals come back to where they were.
// With pooling off, or for a block over 1 MiB, a plain block is given.
TEST(GuardedBlock, PooledBlocksAndTheirRelease) {
  zam_thread_setup(4);
  const int64_t before = zam_vm_total();
  zam_vm_pooling(1);
  constexpr int kThreads = 4, kEach = 1500;
  constexpr int64_t kBytes = 20000;  // about 60 MB in all: several slabs a thread
  std::vector<std::vector<unsigned char*>> blocks(kThreads);
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; t++)
    workers.emplace_back([&blocks, t] {
      for (int i = 0; i < kEach; i++) {
        auto* p = static_cast<unsigned char*>(zam_vm_get_pooled(kBytes + i % 16));
        if (!p) return;
        memset(p, t + 1, static_cast<size_t>(kBytes + i % 16));
        blocks[t].push_back(p);
        // Some blocks are freed at once, on their own thread.
        if (i % 5 == 0) {
          zam_vm_free(blocks[t].back());
          blocks[t].pop_back();
        }
      }
    });
  for (std::thread& w : workers) w.join();
  unsigned char* large = static_cast<unsigned char*>(zam_vm_get_pooled((int64_t{1} << 20) + 8));
  ASSERT_NE(large, nullptr);
  zam_vm_pooling(0);
  unsigned char* plain = static_cast<unsigned char*>(zam_vm_get_pooled(64));
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(zam_vm_check(large), 1);
  EXPECT_EQ(zam_vm_check(plain), 1);
  zam_vm_free(large);
  zam_vm_free(plain);

  const int64_t held = resident();
  for (int t = 0; t < kThreads; t++) {
    ASSERT_EQ(blocks[t].size(), static_cast<size_t>(kEach - kEach / 5)) << t;
    for (unsigned char* p : blocks[t]) {
      ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
      ASSERT_EQ(zam_vm_check(p), 1);
      ASSERT_GE(zam_vm_get_size(p), kBytes);
      ASSERT_EQ(p[0], t + 1);
      ASSERT_EQ(p[kBytes - 1], t + 1);
      zam_vm_free(p);  // on another thread than the one that took it
    }
  }
  EXPECT_EQ(zam_vm_total(), before);
  zam_vm_release_pools();
#if !defined(__SANITIZE_ADDRESS__)
  // Most of the 48 MB still held is given back.
  EXPECT_LT(resident(), held - (int64_t{30} << 20));
#endif
  (void)held;
  // The pool serves again after a release.
  zam_vm_pooling(1);
  void* again = zam_vm_get_pooled(100);
  zam_vm_pooling(0);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(zam_vm_check(again), 1);
  zam_vm_free(again);
  zam_vm_release_pools();
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(GuardedBlock, UsageAndPeakTotals) {
  const int64_t before = zam_vm_total();
  void* p = zam_vm_get(4 << 20);
  ASSERT_NE(p, nullptr);
  // Usable sizes are counted, so the rise is at least the request.
  EXPECT_GE(zam_vm_total() - before, 4096);
  EXPECT_GE(zam_vm_max(), zam_vm_total());
  const int64_t peak = zam_vm_max();
  zam_vm_free(p);
  EXPECT_EQ(zam_vm_total(), before);
  EXPECT_EQ(zam_vm_max(), peak);
}

// Threads that allocate and free at once: no count is lost, and the peak
// covers every block that was live at the same time.
TEST(GuardedBlock, TotalsOfConcurrentThreads) {
  constexpr int kThreads = 8, kBlocks = 200;
  const int64_t before = zam_vm_total();
  std::atomic<int> holding{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&holding] {
      std::vector<void*> blocks;
      for (int round = 0; round < 20; round++) {  // churn first
        for (int k = 0; k < kBlocks; k++) blocks.push_back(zam_vm_get(1000 + k));
        for (void* p : blocks) zam_vm_free(p);
        blocks.clear();
      }
      for (int k = 0; k < kBlocks; k++) blocks.push_back(zam_vm_get(1024));
      holding.fetch_add(1);
      while (holding.load() < kThreads) std::this_thread::yield();
      for (void* p : blocks) zam_vm_free(p);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(zam_vm_total(), before);
  EXPECT_GE(zam_vm_max() - before, int64_t{kThreads} * kBlocks * 1024 / 1024);
}

TEST(GuardedBlock, NegativeAndRefusedSizes) {
  Capture cap;
  const int64_t before = zam_vm_total();
  EXPECT_EQ(zam_vm_get(-1), nullptr);
  EXPECT_EQ(captured, "*Error* Cannot allocate negative memory (0Mb) [Probably from 32-bit overflow]\n");
  captured.clear();
  EXPECT_EQ(zam_vm_get_0(-(int64_t{3} << 20)), nullptr);
  EXPECT_EQ(captured, "*Error* Cannot allocate negative memory (-3Mb) [Probably from 32-bit overflow]\n");

  // Beyond any address space: refused without wrapping the size arithmetic.
  captured.clear();
  EXPECT_EQ(zam_vm_get(INT64_MAX), nullptr);
  EXPECT_NE(captured.find("*Error* Failed to allocate memory ("), std::string::npos) << captured;

  captured.clear();
  void* huge = zam_vm_get(int64_t{1} << 40);
  if (huge) {
    zam_vm_free(huge);
    GTEST_SKIP() << "this machine grants 1 TiB";
  }
  EXPECT_EQ(captured, "*Error* Failed to allocate memory (1048576Mb) [Cannot allocate memory]\n");
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(GuardedBlock, ClobberedTopGuardIsReportedAndFreed) {
  Capture cap;
  const int64_t before = zam_vm_total();
  auto* p = static_cast<char*>(zam_vm_get(10));
  p[16] = 'x';  // one byte past the rounded size
  EXPECT_EQ(zam_vm_check(p, "my_caller"), 0);
  EXPECT_NE(captured.find("*Error* Top memory guard word clobbered: "), std::string::npos) << captured;
  EXPECT_NE(captured.find(" at label = my_caller\n"), std::string::npos) << captured;
  captured.clear();
  zam_vm_free(p);
  EXPECT_NE(captured.find("Top memory guard word clobbered"), std::string::npos);
  EXPECT_NE(captured.find(" at label = zam_vm_free\n"), std::string::npos) << captured;
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(GuardedBlock, ClobberedLowGuardLeavesBlockAlone) {
  Capture cap;
  const int64_t before = zam_vm_total();
  void* p = zam_vm_get(64 << 10);
  auto* low = static_cast<int64_t*>(p) - 1;
  *low = 7;
  EXPECT_EQ(zam_vm_check(p), 0);
  EXPECT_NE(captured.find("*Error* Low memory guard word clobbered: "), std::string::npos);
  EXPECT_NE(captured.find(" = 7 at label = zam_vm_check\n"), std::string::npos) << captured;
  captured.clear();
  zam_vm_free(p);
  EXPECT_NE(captured.find(" = 7 at label = zam_vm_free\n"), std::string::npos) << captured;
  // Not released: still counted, and mending the guard lets it go normally
  // (a second release of a freed block would be caught by the sanitizer).
  EXPECT_GT(zam_vm_total(), before);
  *low = static_cast<int64_t>(kGuard);
  captured.clear();
  zam_vm_free(p);
  EXPECT_EQ(captured, "");
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(GuardedBlock, ResizeKeepsContents) {
  auto* p = static_cast<unsigned char*>(zam_vm_get(100));
  for (int i = 0; i < 100; i++) p[i] = static_cast<unsigned char>(i);
  zam_vm_set_tag(p, 99);
  auto* small = static_cast<unsigned char*>(zam_vm_mod(p, 10));
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(zam_vm_get_size(small), 16);
  EXPECT_EQ(zam_vm_get_tag(small), 0);
  for (int i = 0; i < 10; i++) EXPECT_EQ(small[i], i);
  auto* big = static_cast<unsigned char*>(zam_vm_mod(small, 1000));
  EXPECT_EQ(zam_vm_get_size(big), 1000);
  EXPECT_EQ(zam_vm_check(big), 1);
  for (int i = 0; i < 10; i++) EXPECT_EQ(big[i], i);

  Capture cap;
  EXPECT_EQ(zam_vm_mod(big, -5), big);
  EXPECT_NE(captured.find("Cannot allocate negative memory"), std::string::npos);
  EXPECT_NE(captured.find("*Error* Failed to allocate memory: ["), std::string::npos) << captured;
  zam_vm_free(big);

  void* fresh = zam_vm_mod(nullptr, 24);
  EXPECT_EQ(zam_vm_get_size(fresh), 24);
  zam_vm_free(fresh);
}

TEST(GuardedBlock, DebugTraceAndUsageSteps) {
  Capture cap;
  zam_vm_debug(2);
  void* p = zam_vm_get(8);
  void* q = zam_vm_mod(p, 16);
  zam_vm_free(q);
  zam_vm_debug(0);
  EXPECT_NE(captured.find("zam_vm_get:  "), std::string::npos) << captured;
  EXPECT_NE(captured.find("zam_vm_mod: "), std::string::npos);
  EXPECT_NE(captured.find("zam_vm_free: "), std::string::npos);

  captured.clear();
  zam_vm_debug(1);
  void* big = zam_vm_get(60 << 20);
  zam_vm_debug(0);
  EXPECT_EQ(captured, "vm: 50.00 MB.\n");
  zam_vm_free(big);
}

template <typename T>
void check_1d(T* (*get)(int64_t), T* (*get0)(int64_t)) {
  T* a = get(5);
  EXPECT_EQ(zam_vm_get_tag(a), 5);
  EXPECT_EQ(zam_vm_get_size(a), static_cast<int64_t>((5 * sizeof(T) + 7) / 8 * 8));
  for (int i = 0; i < 5; i++) a[i] = static_cast<T>(i + 1);
  EXPECT_EQ(zam_vm_check(a), 1);
  kfree(a);
  T* z = get0(7);
  EXPECT_EQ(zam_vm_get_tag(z), 7);
  for (int i = 0; i < 7; i++) EXPECT_EQ(z[i], T{});
  kfree(z);
}

template <typename T>
void check_2d(T** (*get)(int64_t, int64_t), T** (*get0)(int64_t, int64_t)) {
  const int64_t before = zam_vm_total();
  T** a = get(3, 400);
  EXPECT_EQ(zam_vm_get_tag(a), 3 | kTop);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(zam_vm_get_tag(a[i]), 400);
    for (int j = 0; j < 400; j++) a[i][j] = static_cast<T>(i + j);
    EXPECT_EQ(zam_vm_check(a[i]), 1);
  }
  kfree(a);
  EXPECT_EQ(zam_vm_total(), before);
  T** z = get0(2, 9);
  for (int i = 0; i < 2; i++)
    for (int j = 0; j < 9; j++) EXPECT_EQ(z[i][j], T{});
  kfree(z);
}

template <typename T>
void check_3d(T*** (*get)(int64_t, int64_t, int64_t), T*** (*get0)(int64_t, int64_t, int64_t)) {
  const int64_t before = zam_vm_total();
  T*** a = get(2, 3, 500);
  EXPECT_EQ(zam_vm_get_tag(a), 2 | kTop);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(zam_vm_get_tag(a[i]), 3 | kTop);
    for (int j = 0; j < 3; j++) {
      EXPECT_EQ(zam_vm_get_tag(a[i][j]), 500);
      for (int k = 0; k < 500; k++) a[i][j][k] = static_cast<T>(k);
      EXPECT_EQ(zam_vm_check(a[i][j]), 1);
    }
  }
  kfree(a);
  EXPECT_EQ(zam_vm_total(), before);
  T*** z = get0(2, 2, 3);
  for (int i = 0; i < 2; i++)
    for (int j = 0; j < 2; j++)
      for (int k = 0; k < 3; k++) EXPECT_EQ(z[i][j][k], T{});
  kfree(z);
}

TEST(ArrayAllocators, EveryTypedForm) {
  check_1d<char>(kget1C, kget1C_0);
  check_1d<int16_t>(kget1J, kget1J_0);
  check_1d<int>(kget1I, kget1I_0);
  check_1d<float>(kget1F, kget1F_0);
  check_1d<double>(kget1D, kget1D_0);
  check_2d<char>(kget2C, kget2C_0);
  check_2d<int16_t>(kget2J, kget2J_0);
  check_2d<int>(kget2I, kget2I_0);
  check_2d<float>(kget2F, kget2F_0);
  check_2d<double>(kget2D, kget2D_0);
  check_3d<char>(kget3C, kget3C_0);
  check_3d<int16_t>(kget3J, kget3J_0);
  check_3d<int>(kget3I, kget3I_0);
  check_3d<float>(kget3F, kget3F_0);
  check_3d<double>(kget3D, kget3D_0);

  void* raw = kget1B(13);
  EXPECT_EQ(zam_vm_get_tag(raw), 0);
  EXPECT_EQ(zam_vm_get_size(raw), 16);
  kfree(raw);
  auto* raw0 = static_cast<unsigned char*>(kget1B_0(9));
  EXPECT_EQ(zam_vm_get_tag(raw0), 0);
  for (int i = 0; i < 9; i++) EXPECT_EQ(raw0[i], 0);
  kfree(raw0);
  kfree(nullptr);
}

TEST(ArrayAllocators, EmptyAndBarePointerBlocks) {
  double** none = kget2D(0, 5);
  EXPECT_EQ(zam_vm_get_tag(none), kTop);
  EXPECT_EQ(zam_vm_get_size(none), 0);
  kfree(none);
  int*** neg = kget3I(-2, 3, 3);
  EXPECT_EQ(zam_vm_get_tag(neg), kTop);
  kfree(neg);
  double* d = kget1D(0);
  EXPECT_EQ(zam_vm_get_tag(d), 0);
  kfree(d);
}

TEST(ArrayAllocators, StringArrayFreesItsStrings) {
  const int64_t before = zam_vm_total();
  char** s = kget1S(5);
  EXPECT_EQ(zam_vm_get_tag(s), 5 | kTop);
  for (int i = 0; i < 5; i++) EXPECT_EQ(s[i], nullptr);
  s[1] = kdupS(std::string(3000, 'a').c_str());
  s[3] = kdupS("b");
  kfree(s);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(ArrayAllocators, ResizeRawBlock) {
  auto* p = static_cast<char*>(kget1B(4));
  memcpy(p, "abc", 4);
  p = static_cast<char*>(kmod1B(p, 5000));
  EXPECT_STREQ(p, "abc");
  EXPECT_EQ(zam_vm_get_size(p), 5000);
  kfree(p);
  void* q = kmod1B(nullptr, 3);
  EXPECT_EQ(zam_vm_get_size(q), 8);
  kfree(q);
}

TEST(StringHelpers, DupAndCat) {
  char* d = kdupS("copy me");
  EXPECT_STREQ(d, "copy me");
  kfree(d);
  EXPECT_EQ(kdupS(nullptr), nullptr);

  char* abc = kcatS("a", "bc", nullptr);
  EXPECT_STREQ(abc, "abc");
  EXPECT_EQ(zam_vm_get_tag(abc), 4);
  kfree(abc);
  EXPECT_EQ(kcatS(nullptr), nullptr);
  char* empty = kcatS("", nullptr);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(zam_vm_get_tag(empty), 1);
  kfree(empty);
  char* stop = kcatS("x", "y", nullptr, "z", nullptr);
  EXPECT_STREQ(stop, "xy");
  kfree(stop);

  // At most 100 strings are joined: the 101st is left out.
#define X10 "x", "x", "x", "x", "x", "x", "x", "x", "x", "x"
  char* hundred = kcatS(X10, X10, X10, X10, X10, X10, X10, X10, X10, X10, "y", nullptr);
#undef X10
  EXPECT_EQ(std::string(hundred), std::string(100, 'x'));
  EXPECT_EQ(zam_vm_get_tag(hundred), 101);
  kfree(hundred);
}

// The pooled forms of kget1B_0 and kdupS: zero-filled and copied alike with
// pooling on (slabs faulted in at once or page by page) and off (off, the
// memory may be a dirty block just freed), and released by kfree with the
// totals back where they were.
TEST(ArrayAllocators, PooledBlocksAndStrings) {
  const int64_t before = zam_vm_total();
  for (int on : {2, 1, 0}) {
    auto* dirty = static_cast<unsigned char*>(kget1B(300));
    memset(dirty, 0xab, 300);
    kfree(dirty);
    zam_vm_pooling(on);
    auto* zero = static_cast<unsigned char*>(kget1B_pooled_0(300));
    char* copy = kdupS_pooled("t000123.pdb");
    EXPECT_EQ(kdupS_pooled(nullptr), nullptr);
    zam_vm_pooling(0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zam_vm_get_tag(zero), 0);
    for (int i = 0; i < 300; i++) ASSERT_EQ(zero[i], 0) << "pooling " << on << " byte " << i;
    EXPECT_STREQ(copy, "t000123.pdb");
    EXPECT_EQ(zam_vm_check(copy), 1);
    kfree(zero);
    kfree(copy);
  }
  zam_vm_release_pools();
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(StringHelpers, CopyAndScan) {
  char** list = kget1S(4);
  list[1] = kdupS("old");
  const char* src[] = {"p", nullptr, "r"};
  EXPECT_EQ(kcopy1S(list, 1, src, 3), 4);
  EXPECT_EQ(list[0], nullptr);
  EXPECT_STREQ(list[1], "p");
  EXPECT_EQ(list[2], nullptr);
  EXPECT_STREQ(list[3], "r");
  EXPECT_EQ(kcopy1S(list, 2, nullptr, 3), 2);
  EXPECT_EQ(kcopy1S(list, 2, src, 0), 2);
  EXPECT_EQ(kcopy1S(nullptr, 1, src, 2), 1);

  EXPECT_EQ(kscan1S("r", list, 4), 3);
  EXPECT_EQ(kscan1S("p", list, 4), 1);
  EXPECT_EQ(kscan1S("r", list, 3), -1);
  EXPECT_EQ(kscan1S("q", list, 4), -1);
  EXPECT_EQ(kscan1S("P", list, 4), -1);
  EXPECT_EQ(kscan1S("p", nullptr, 4), -1);
  EXPECT_EQ(kscan1S("p", list, 0), -1);
  EXPECT_EQ(kscan1S(nullptr, list, 4), -1);
  kfree(list);
}

TEST(ArrayAllocatorsDeathTest, FailureEndsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        zam_logger_stderr(1);
        kget1D(-1);
      },
      testing::ExitedWithCode(1), "\\*Error\\* Cannot allocate negative memory");
  EXPECT_EXIT(
      {
        zam_logger_stderr(1);
        kget1I(INT64_MAX / 2);
      },
      testing::ExitedWithCode(1), "\\*Error\\* Failed to allocate memory");
  EXPECT_EXIT(
      {
        zam_logger_stderr(1);
        kget2F(2, -3);
      },
      testing::ExitedWithCode(1), "Cannot allocate negative memory");
  EXPECT_EXIT(
      {
        zam_logger_stderr(1);
        kmod1B(kget1B(8), -1);
      },
      testing::ExitedWithCode(1), "Failed to allocate memory: ");
  EXPECT_EXIT(
      {
        zam_logger_stderr(1);
        kget1S(-4);
      },
      testing::ExitedWithCode(1), "Cannot allocate negative memory");
}

}  // namespace
