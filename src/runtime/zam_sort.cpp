#include "runtime/zam_sort.h"

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "runtime/kids.h"
#include "runtime/zam_system.h"

namespace {

// Byte positions of one key, most significant first, for each byte order.
constexpr int kLsb4[4] = {3, 2, 1, 0};
constexpr int kLsb8[8] = {7, 6, 5, 4, 3, 2, 1, 0};
constexpr int kMsb4[4] = {0, 1, 2, 3};
constexpr int kMsb8[8] = {0, 1, 2, 3, 4, 5, 6, 7};

const int* table4() { return zam_endian() == 1 ? kMsb4 : kLsb4; }
const int* table8() { return zam_endian() == 1 ? kMsb8 : kLsb8; }

void identity(int n, int* perm) {
  for (int i = 0; i < n; i++) perm[i] = i;
}

// Stable LSD radix sort of n fixed-width numeric keys. Each key is first
// assembled into an unsigned word U through the byte-position table, with
// the top bit flipped when flip_top is set (signed and floating keys), so
// that ascending U is the order of the byte-wise sort; the words then travel
// with their indices through the passes. A pass whose byte is the same for
// every key leaves the order as it is and is skipped.
template <typename U>
void radix_words(const void* keys, int n, bool flip_top, int* perm) {
  constexpr int w = sizeof(U);
  identity(n, perm);
  if (n < 2) return;
  const int* t = w == 4 ? table4() : table8();
  U* word = static_cast<U*>(kget1B(static_cast<int64_t>(n) * w));
  U* word2 = static_cast<U*>(kget1B(static_cast<int64_t>(n) * w));
  int* index2 = kget1I(n);
  if (!word || !word2 || !index2) {
    kfree(word);
    kfree(word2);
    kfree(index2);
    return;
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(keys);
  const U top = static_cast<U>(U(1) << (8 * w - 1));
  std::vector<int64_t> count(static_cast<size_t>(w) * 256, 0);
  for (int i = 0; i < n; i++) {
    const unsigned char* k = bytes + static_cast<int64_t>(i) * w;
    U u = 0;
    for (int d = 0; d < w; d++) u = static_cast<U>((u << 8) | k[t[d]]);
    if (flip_top) u ^= top;
    word[i] = u;
    for (int s = 0; s < w; s++) count[static_cast<size_t>(s) * 256 + ((u >> (8 * s)) & 0xff)]++;
  }
  U* src = word;
  U* dst = word2;
  int* isrc = perm;
  int* idst = index2;
  for (int s = 0; s < w; s++) {  // least significant byte first
    int64_t* c = &count[static_cast<size_t>(s) * 256];
    bool trivial = false;
    for (int b = 0; b < 256; b++)
      if (c[b] == n) trivial = true;
    if (trivial) continue;
    int64_t at = 0;
    for (int b = 0; b < 256; b++) {
      const int64_t m = c[b];
      c[b] = at;
      at += m;
    }
    for (int r = 0; r < n; r++) {
      const int64_t to = c[(src[r] >> (8 * s)) & 0xff]++;
      dst[to] = src[r];
      idst[to] = isrc[r];
    }
    std::swap(src, dst);
    std::swap(isrc, idst);
  }
  if (isrc != perm) std::memcpy(perm, isrc, static_cast<size_t>(n) * sizeof(int));
  kfree(word);
  kfree(word2);
  kfree(index2);
}

// Negative floating keys lead after the radix passes, but in ascending order
// of magnitude: reverse that leading block.
template <typename F>
void reverse_negatives(const F* keys, int n, int* perm) {
  int m = 0;
  while (m < n && std::signbit(keys[perm[m]])) m++;
  for (int a = 0, b = m - 1; a < b; a++, b--) std::swap(perm[a], perm[b]);
}

// Stable LSD radix sort over records of `width` bytes; pos[d] is the byte
// of a record that has significance d (0 the most significant).
void radix_bytes(const unsigned char* keys, int n, int width, const std::vector<int>& pos, int* perm) {
  identity(n, perm);
  if (n < 2 || width < 1) return;
  int* prev = kget1I(n);
  if (!prev) return;
  int64_t count[256];
  for (int d = width - 1; d >= 0; d--) {
    const int p = pos[static_cast<size_t>(d)];
    std::memset(count, 0, sizeof count);
    for (int i = 0; i < n; i++) count[keys[static_cast<int64_t>(i) * width + p]]++;
    bool trivial = false;
    for (int b = 0; b < 256; b++)
      if (count[b] == n) trivial = true;
    if (trivial) continue;
    int64_t at = 0;
    for (int b = 0; b < 256; b++) {
      const int64_t m = count[b];
      count[b] = at;
      at += m;
    }
    std::memcpy(prev, perm, static_cast<size_t>(n) * sizeof(int));
    for (int r = 0; r < n; r++) {
      const int k = prev[r];
      perm[count[keys[static_cast<int64_t>(k) * width + p]]++] = k;
    }
  }
  kfree(prev);
}

int compare_strings(const char* a, const char* b) { return std::strcmp(a ? a : "", b ? b : ""); }

template <typename T>
int span_direct(const T* keys, int start, int n) {
  if (start < 0 || start >= n) return 0;
  int i = start + 1;
  while (i < n && keys[i] == keys[i - 1]) i++;
  return i - start;
}

template <typename T>
int span_perm(const T* keys, int start, int n, const int* perm) {
  if (start < 0 || start >= n) return 0;
  const T first = keys[perm[start]];
  int i = start + 1;
  while (i < n && keys[perm[i]] == first) i++;
  return i - start;
}

bool close_float(float a, float b) { return std::fabs(static_cast<double>(a) - b) <= 1e-6; }

}  // namespace

void zam_sortl(const int32_t* keys, int n, int* perm) {
  if (n >= 1) radix_words<uint32_t>(keys, n, true, perm);
}

void zam_sortu(const uint32_t* keys, int n, int* perm) {
  if (n >= 1) radix_words<uint32_t>(keys, n, false, perm);
}

void zam_sorto(const int64_t* keys, int n, int* perm) {
  if (n >= 1) radix_words<uint64_t>(keys, n, true, perm);
}

void zam_sortf(const float* keys, int n, int* perm) {
  if (n < 1) return;
  radix_words<uint32_t>(keys, n, true, perm);
  reverse_negatives(keys, n, perm);
}

void zam_sortd(const double* keys, int n, int* perm) {
  if (n < 1) return;
  radix_words<uint64_t>(keys, n, true, perm);
  reverse_negatives(keys, n, perm);
}

void zam_sortb(const void* keys, int n, int width, int* perm) {
  if (n < 1) return;
  std::vector<int> pos(static_cast<size_t>(width > 0 ? width : 0));
  for (int d = 0; d < width; d++) pos[static_cast<size_t>(d)] = d;
  radix_bytes(static_cast<const unsigned char*>(keys), n, width, pos, perm);
}

void zam_sortj(const void* keys, int n, int width, int* perm) {
  if (n < 1) return;
  const int bytes = 4 * (width > 0 ? width : 0);
  // Memory order on least-significant-first machines; byte order within each
  // word reversed on the others.
  const bool reversed = zam_endian() == 1;
  std::vector<int> pos(static_cast<size_t>(bytes));
  for (int d = 0; d < bytes; d++) pos[static_cast<size_t>(d)] = reversed ? (d / 4) * 4 + 3 - d % 4 : d;
  radix_bytes(static_cast<const unsigned char*>(keys), n, bytes, pos, perm);
}

void zam_sortc(const char* const* strings, int n, int* perm) {
  if (n < 1) return;
  identity(n, perm);
  // Quicksort on the permutation with an explicit stack of ranges: the two
  // indices start at the ends of the range, the pivot sits at one of them and
  // the other one moves; every swap moves the pivot and so changes which
  // index moves. Where they meet the pivot is in place.
  std::vector<std::pair<int, int>> ranges;
  if (n > 1) ranges.emplace_back(0, n - 1);
  while (!ranges.empty()) {
    const auto [lo, hi] = ranges.back();
    ranges.pop_back();
    int i = lo, j = hi;
    bool move_high = true;
    while (i < j) {
      if (compare_strings(strings[perm[i]], strings[perm[j]]) > 0) {
        std::swap(perm[i], perm[j]);
        move_high = !move_high;
      }
      if (move_high)
        j--;
      else
        i++;
    }
    if (i - 1 > lo) ranges.emplace_back(lo, i - 1);
    if (hi > i + 1) ranges.emplace_back(i + 1, hi);
  }
}

int zam_spani(const int32_t* keys, int start, int n) { return span_direct(keys, start, n); }

int zam_spanl(const int32_t* keys, int start, int n) { return span_direct(keys, start, n); }

int zam_spanl_s(const int32_t* keys, int start, int n, const int* perm) { return span_perm(keys, start, n, perm); }

int zam_spano(const int64_t* keys, int start, int n) { return span_direct(keys, start, n); }

int zam_spano_s(const int64_t* keys, int start, int n, const int* perm) { return span_perm(keys, start, n, perm); }

int zam_spanc(const char* keys, int start, int n) { return span_direct(keys, start, n); }

int zam_spanf(const float* keys, int start, int n) {
  if (start < 0 || start >= n) return 0;
  int i = start + 1;
  while (i < n && close_float(keys[i], keys[i - 1])) i++;
  return i - start;
}

int zam_spanf_s(const float* keys, int start, int n, const int* perm) {
  if (start < 0 || start >= n) return 0;
  const float first = keys[perm[start]];
  int i = start + 1;
  while (i < n && close_float(keys[perm[i]], first)) i++;
  return i - start;
}

void zam_find_ispans(int n, const int32_t* keys, int* count, int* spans) {
  int c = 0;
  for (int i = 0; i < n;) {
    const int len = zam_spanl(keys, i, n);
    spans[2 * c] = i;
    spans[2 * c + 1] = i + len - 1;
    c++;
    i += len;
  }
  *count = c;
}

void zam_find_ispans_s(int n, const int32_t* keys, const int* perm, int* count, int* spans) {
  int c = 0;
  for (int i = 0; i < n;) {
    const int len = zam_spanl_s(keys, i, n, perm);
    spans[2 * c] = i;
    spans[2 * c + 1] = i + len - 1;
    c++;
    i += len;
  }
  *count = c;
}
