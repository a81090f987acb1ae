// Guarded allocator. Each block is laid out as
//   [system block ... | tag | base | size words | low guard | data | top guard | ...]
// with the caller's address 16-byte aligned just above the four header words.
// The system request is the rounded data size plus 56 bytes, which always
// leaves room for the alignment, the header and the top guard.
#include "runtime/zam_vm.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <malloc.h>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

namespace {

constexpr uint64_t kGuard = 0xdeafaced;
constexpr int kAllocLock = ZAM_LOCK_ALLOCATOR;
constexpr int64_t kStep = 52428800;  // usage is reported in 50 MiB steps
constexpr int64_t kOverhead = 56;
// Larger requests would overflow the rounding arithmetic; the system could
// never grant them anyway.
constexpr int64_t kLargest = INT64_MAX - 64;

// Allocator totals. They change on every allocation of every thread, so they
// are atomic: a lock here put workers to sleep on each other's small blocks.
// Lock 8 guards only the rare reports (debug steps, the physical memory
// warning) and the debug level's changes.
std::atomic<int64_t> in_use{0};
std::atomic<int64_t> peak{0};
std::atomic<int> debug_level{0};
// A peak above this many bytes is reported (once) as beyond physical memory;
// -1 until the physical size has been read, INT64_MAX once warned or unknown.
std::atomic<int64_t> warn_bytes{-1};
int64_t last_step = 0;  // under lock 8

struct LockGuard {
  LockGuard() { zam_mutex_acquire(kAllocLock); }
  ~LockGuard() { zam_mutex_release(kAllocLock); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
};

// Header words just below the caller's address.
inline int64_t* header(const void* p) { return static_cast<int64_t*>(const_cast<void*>(p)) - 4; }
inline int64_t& tag_word(const void* p) { return header(p)[0]; }
inline int64_t& base_word(const void* p) { return header(p)[1]; }
inline int64_t& size_word(const void* p) { return header(p)[2]; }
inline uint64_t& low_guard(const void* p) { return reinterpret_cast<uint64_t*>(header(p))[3]; }
inline uint64_t& top_guard(const void* p) {
  return *reinterpret_cast<uint64_t*>(static_cast<char*>(const_cast<void*>(p)) + 8 * size_word(p));
}

inline unsigned low32(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// The reports on the usage `now` just reached, under lock 8.
void usage_report(int64_t now) {
  if (debug_level.load(std::memory_order_relaxed) > 0 && now > last_step + kStep) {
    last_step = now / kStep * kStep;
    zam_msg("vm: %.2f MB.\n", static_cast<double>(last_step) / 1048576.0);
  }
  int64_t limit = warn_bytes.load(std::memory_order_relaxed);
  if (limit < 0) {
    const int mb = zam_mb_memory();  // a system call: read once
    limit = mb > 0 ? (int64_t{mb} + 1) << 20 : INT64_MAX;
    warn_bytes.store(limit, std::memory_order_relaxed);
  }
  if (peak.load(std::memory_order_relaxed) >= limit) {
    warn_bytes.store(INT64_MAX, std::memory_order_relaxed);
    zam_wrn("EXCEEDING PHYSICAL MEMORY. System will thrash and might hang.\n");
    sync();
  }
}

// Counts `delta` system bytes in (a new block) or out (a freed one) of the
// usage; `p` is the block, for the debug trace.
void count_usage(const void* p, int64_t delta) {
  const int64_t now = in_use.fetch_add(delta, std::memory_order_relaxed) + delta;
  if (delta > 0) {
    int64_t high = peak.load(std::memory_order_relaxed);
    while (now > high && !peak.compare_exchange_weak(high, now, std::memory_order_relaxed)) {
    }
  }
  const int level = debug_level.load(std::memory_order_relaxed);
  if (level == 0 && (delta <= 0 || now < warn_bytes.load(std::memory_order_relaxed))) return;
  LockGuard lock;
  if (level > 1) {
    if (delta > 0)
      zam_msg("zam_vm_get:  %x(%d)\n", low32(p), static_cast<int>(delta));
    else
      zam_msg("zam_vm_free: %x(%d)\n", low32(p), static_cast<int>(-delta));
  }
  usage_report(now);
}

// The allocation steps. The system allocator is thread-safe, so only the
// accounting is done under lock 8: workers that allocate at the same time
// then wait for a few additions, not for each other's malloc and free.
// A large zero-filled block is a private anonymous map of its own: its
// pages come zeroed from the system when first touched, so that the block is
// not cleared here and each page is faulted in by the thread that first uses
// it. (The system allocator clears even its fresh heap pages on calloc when
// they come from a large top chunk, all on the calling thread.) Its base word
// carries bit 0 so that the release unmaps it. Under AddressSanitizer every
// block stays with the system allocator, whose blocks the sanitizer watches.
#if defined(__SANITIZE_ADDRESS__)
constexpr int64_t kMapBytes = INT64_MAX;
#else
constexpr int64_t kMapBytes = int64_t{1} << 20;
#endif

int64_t page_bytes() {
  static const int64_t page = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;
  return page;
}

// System bytes of a mapped block of `rounded` data bytes.
int64_t map_length(int64_t rounded) {
  const int64_t page = page_bytes();
  return (rounded + kOverhead + page - 1) / page * page;
}

// The header and guards of a block of `rounded` data bytes in the system
// bytes at base, counted as `usable` bytes; `owner` is the base word (what
// the release goes back to, with its kind in bits 0 and 1).
void* lay_out(void* base, uintptr_t owner, int64_t rounded, int64_t usable) {
  void* p = reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(base) + 47) & ~uintptr_t{15});
  tag_word(p) = 0;
  base_word(p) = static_cast<int64_t>(owner);
  size_word(p) = rounded / 8;
  low_guard(p) = kGuard;
  top_guard(p) = kGuard;
  count_usage(p, usable);
  return p;
}

void* get_block(int64_t n, bool zero) {
  if (n < 0) {
    zam_err("Cannot allocate negative memory (%dMb) [Probably from 32-bit overflow]\n",
            static_cast<int>((n + 0xfffff) >> 20));
    fflush(nullptr);
    return nullptr;
  }
  // Beyond kLargest the rounding itself would overflow: such a size is
  // refused below without it.
  const int64_t rounded = n <= kLargest ? (n + 7) / 8 * 8 : 0;
  const bool mapped = zero && n >= kMapBytes && n <= kLargest;
  void* base = nullptr;
  if (mapped) {
    base = mmap(nullptr, static_cast<size_t>(map_length(rounded)), PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) base = nullptr;
  } else if (n <= kLargest) {
    const size_t bytes = static_cast<size_t>(rounded + kOverhead);
    base = zero ? calloc(1, bytes) : malloc(bytes);
  }
  if (!base) {
    int err = n <= kLargest ? errno : ENOMEM;
    zam_err("Failed to allocate memory (%dMb) [%s]\n", static_cast<int>(n >> 20), strerror(err));
    fflush(nullptr);
    return nullptr;
  }
  return lay_out(base, reinterpret_cast<uintptr_t>(base) | (mapped ? 1 : 0), rounded,
                 mapped ? map_length(rounded) : static_cast<int64_t>(malloc_usable_size(base)));
}

// ---- Pooled blocks ------------------------------------------------------------
// Small blocks that live until late in a run (the trace records of tens of
// thousands of targets) are carved one after another from per-thread slabs,
// private maps of kSlabBytes. Freeing such a block only counts down its
// slab's live blocks. A slab with no live block that no thread allocates
// from any more waits on the empty list until zam_vm_release_pools gives its
// pages back, on several threads at once: left to the system allocator, the
// same pages would go back one thread at a time, at process exit. A pooled
// block's base word points at its slab with bit 1 set.
struct Slab {
  std::atomic<int64_t> live{0};     // blocks allocated and not yet freed
  std::atomic<bool> sealed{false};  // no thread allocates from it any more
  std::atomic<bool> listed{false};  // on the empty list (put there once)
};
constexpr int64_t kSlabBytes = int64_t{8} << 20;
constexpr int64_t kSlabHead = 64;  // the Slab record; blocks follow it
constexpr int64_t kPooledLargest = kSlabBytes / 8;

std::mutex empty_lock;
std::vector<Slab*> empty_slabs;  // guarded by empty_lock
std::atomic<int> pooling{0};  // 0 off, 1 on, 2 on with slabs faulted in at once

void listEmpty(Slab* slab) {
  if (slab->listed.exchange(true)) return;
  std::lock_guard<std::mutex> lock(empty_lock);
  empty_slabs.push_back(slab);
}

// Bytes a pooled block of `rounded` data bytes takes from its slab.
int64_t pooled_length(int64_t rounded) { return (rounded + kOverhead + 15) / 16 * 16; }

// The slab a thread allocates from; sealed when the thread moves on to a new
// slab or ends. Sealing and the last free may meet: whichever comes second
// sees both conditions and lists the slab.
struct SlabCursor {
  Slab* slab = nullptr;
  int64_t used = 0;
  SlabCursor() = default;
  SlabCursor(const SlabCursor&) = delete;
  SlabCursor& operator=(const SlabCursor&) = delete;
  ~SlabCursor() { seal(); }
  void seal() {
    if (!slab) return;
    slab->sealed.store(true);
    if (slab->live.load() == 0) listEmpty(slab);
    slab = nullptr;
  }
};
thread_local SlabCursor cursor;

void* get_pooled(int64_t n) {
#if defined(__SANITIZE_ADDRESS__)
  return get_block(n, false);  // every block stays in the sanitizer's view
#else
  const int mode = pooling.load(std::memory_order_relaxed);
  if (mode == 0 || n < 0 || n > kPooledLargest) return get_block(n, false);
  const int64_t rounded = (n + 7) / 8 * 8;
  const int64_t bytes = pooled_length(rounded);
  SlabCursor& c = cursor;
  if (!c.slab || c.used + bytes > kSlabBytes) {
    c.seal();
    // Faulting a slab in with its mapping saves a trap per page, but holds
    // the process's memory map while it runs: only for a single thread.
    void* map = mmap(nullptr, static_cast<size_t>(kSlabBytes), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | (mode == 2 ? MAP_POPULATE : 0), -1, 0);
    if (map == MAP_FAILED) return get_block(n, false);
    c.slab = new (map) Slab;
    c.used = kSlabHead;
  }
  char* base = reinterpret_cast<char*>(c.slab) + c.used;
  c.used += bytes;
  c.slab->live.fetch_add(1);
  return lay_out(base, reinterpret_cast<uintptr_t>(c.slab) | 2, rounded, bytes);
#endif
}

void release_slabs(int part, int parts, void* arg) {
  const std::vector<Slab*>& slabs = *static_cast<const std::vector<Slab*>*>(arg);
  for (size_t k = static_cast<size_t>(part); k < slabs.size(); k += static_cast<size_t>(parts))
    madvise(slabs[k], static_cast<size_t>(kSlabBytes), MADV_DONTNEED);
}

// Both guard checks; a clobbered low guard leaves the size word untrusted, so
// the top guard is then not looked at.
bool check_guards(const void* p, const char* label, bool* low_ok) {
  *low_ok = low_guard(p) == kGuard;
  if (!*low_ok) {
    zam_err("Low memory guard word clobbered: %x = %d at label = %s\n", low32(&low_guard(p)),
            static_cast<int>(low_guard(p)), label);
    return false;
  }
  if (top_guard(p) != kGuard) {
    zam_err("Top memory guard word clobbered: %x = %d at label = %s\n", low32(&top_guard(p)),
            static_cast<int>(top_guard(p)), label);
    return false;
  }
  return true;
}

void free_block(void* p) {
  bool low_ok = false;
  check_guards(p, "zam_vm_free", &low_ok);
  // The header cannot be trusted: releasing through its base word could free
  // an arbitrary address, so the block is left alone.
  if (!low_ok) return;
  const uintptr_t word = static_cast<uintptr_t>(base_word(p));
  const bool mapped = (word & 1) != 0;
  const bool pooled = (word & 2) != 0;
  void* base = reinterpret_cast<void*>(word & ~uintptr_t{3});
  const int64_t usable = mapped   ? map_length(8 * size_word(p))
                         : pooled ? pooled_length(8 * size_word(p))
                                  : static_cast<int64_t>(malloc_usable_size(base));
  count_usage(p, -usable);
  size_word(p) = 0;
  if (pooled) {
    Slab* slab = static_cast<Slab*>(base);
    if (slab->live.fetch_sub(1) == 1 && slab->sealed.load()) listEmpty(slab);
  } else if (mapped) {
    munmap(base, static_cast<size_t>(usable));
  } else {
    free(base);
  }
}

}  // namespace

void* zam_vm_get(int64_t n) { return get_block(n, false); }

void* zam_vm_get_0(int64_t n) { return get_block(n, true); }

void* zam_vm_get_pooled(int64_t n) { return get_pooled(n); }

void* zam_vm_get_pooled_0(int64_t n) {
  void* p = get_pooled(n);
  if (p) memset(p, 0, static_cast<size_t>(n));
  return p;
}

void zam_vm_pooling(int on) { pooling.store(on == 2 ? 2 : on != 0 ? 1 : 0); }

void zam_vm_release_pools() {
  cursor.seal();  // this thread's own slab
  std::vector<Slab*> slabs;
  {
    std::lock_guard<std::mutex> lock(empty_lock);
    slabs.swap(empty_slabs);
  }
  if (slabs.empty()) return;
  // Dropping the pages is the costly part, and it runs side by side; the
  // unmapping of what is then an empty range is quick.
  const int parts = static_cast<int>(std::min<size_t>(static_cast<size_t>(zam_thread_bulk()), slabs.size()));
  zam_thread_run(parts, release_slabs, &slabs);
  for (Slab* slab : slabs) munmap(slab, static_cast<size_t>(kSlabBytes));
}

char* zam_vm_strdup(const char* s) {
  if (!s) return nullptr;
  const size_t len = strlen(s);
  char* copy = static_cast<char*>(zam_vm_get(static_cast<int64_t>(len) + 1));
  if (copy) memcpy(copy, s, len + 1);
  return copy;
}

void* zam_vm_mod(void* p, int64_t n) {
  if (!p) return zam_vm_get(n);
  void* q = get_block(n, false);
  if (!q) {
    zam_err("Failed to allocate memory: [%s]\n", strerror(n < 0 ? EINVAL : ENOMEM));
    return p;
  }
  const int64_t old_size = 8 * size_word(p);
  if (debug_level.load(std::memory_order_relaxed) > 1)
    zam_msg("zam_vm_mod: %x(%d) -> %x(%d)\n", low32(p), static_cast<int>(old_size), low32(q),
            static_cast<int>(n));
  memcpy(q, p, static_cast<size_t>(old_size < n ? old_size : n));
  free_block(p);
  return q;
}

void zam_vm_free(void* p) {
  if (!p) return;
  free_block(p);
}

int zam_vm_check(const void* p, const char* label) {
  if (!p) return 0;
  bool low_ok = false;
  return check_guards(p, label ? label : "zam_vm_check", &low_ok) ? 1 : 0;
}

void zam_vm_trim(void* p, int64_t keep) {
  if (!p) return;
  const int64_t size = 8 * size_word(p);
  if (keep < 0) keep = 0;
  if (keep >= size) return;
  // Only pages wholly inside the data: the header before it and the top
  // guard word after it stay as they are.
  const int64_t page = page_bytes();
  const uintptr_t at = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first = (at + static_cast<uintptr_t>(keep) + page - 1) / page * page;
  const uintptr_t end = (at + static_cast<uintptr_t>(size)) / page * page;
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

int64_t zam_vm_get_size(const void* p) { return p ? 8 * size_word(p) : 0; }

int64_t zam_vm_get_tag(const void* p) { return p ? tag_word(p) : 0; }

void zam_vm_set_tag(void* p, int64_t tag) {
  if (p) tag_word(p) = tag;
}

int64_t zam_vm_total() { return in_use.load() / 1024; }

int64_t zam_vm_max() { return peak.load() / 1024; }

void zam_vm_debug(int level) {
  LockGuard lock;
  debug_level.store(level);
}
