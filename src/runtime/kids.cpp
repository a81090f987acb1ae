// Array allocators over the guarded allocator. The tag of each block records
// its element count; arrays of pointers carry the top bit as well, which is
// all kfree needs to release an array with everything hanging from it.
#include "runtime/kids.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/zam_vm.h"

namespace {

constexpr int64_t kPointerArray = INT64_MIN;  // bit 63 of the tag
constexpr int kMaxJoined = 100;

// A block of count elements of the given width; the byte count saturates so
// that an overflowing request is refused by the allocator, not wrapped. The
// allocator has already reported a failure; the run ends here because no
// caller of this family tests for null.
void* block(int64_t count, int64_t width, bool zero, bool pooled = false) {
  int64_t bytes = count;
  if (count > 0 && count > INT64_MAX / width)
    bytes = INT64_MAX;
  else
    bytes = count * width;
  void* p = pooled ? (zero ? zam_vm_get_pooled_0(bytes) : zam_vm_get_pooled(bytes))
                   : (zero ? zam_vm_get_0(bytes) : zam_vm_get(bytes));
  if (!p) {
    fflush(nullptr);
    exit(1);
  }
  return p;
}

template <typename T>
T* get1(int64_t n, bool zero) {
  T* p = static_cast<T*>(block(n, sizeof(T), zero));
  zam_vm_set_tag(p, n);
  return p;
}

// n pointers tagged as a pointer array; not cleared (every entry is set).
template <typename T>
T** pointers(int64_t n) {
  const int64_t count = n < 1 ? 0 : n;
  T** p = static_cast<T**>(block(count, sizeof(T*), false));
  zam_vm_set_tag(p, count | kPointerArray);
  return p;
}

template <typename T>
T** get2(int64_t n, int64_t m, bool zero) {
  T** rows = pointers<T>(n);
  for (int64_t i = 0; i < n; i++) rows[i] = get1<T>(m, zero);
  return rows;
}

template <typename T>
T*** get3(int64_t n, int64_t m, int64_t k, bool zero) {
  T*** planes = pointers<T*>(n);
  for (int64_t i = 0; i < n; i++) planes[i] = get2<T>(m, k, zero);
  return planes;
}

// Copy of s (null for null), pooled or plain.
char* copyString(const char* s, bool pooled) {
  if (!s) return nullptr;
  const size_t len = strlen(s);
  char* copy = static_cast<char*>(block(static_cast<int64_t>(len) + 1, 1, false, pooled));
  memcpy(copy, s, len + 1);
  return copy;
}

}  // namespace

void* kget1B(int64_t n) { return block(n, 1, false); }
void* kget1B_0(int64_t n) { return block(n, 1, true); }
char* kget1C(int64_t n) { return get1<char>(n, false); }
char* kget1C_0(int64_t n) { return get1<char>(n, true); }
int16_t* kget1J(int64_t n) { return get1<int16_t>(n, false); }
int16_t* kget1J_0(int64_t n) { return get1<int16_t>(n, true); }
int* kget1I(int64_t n) { return get1<int>(n, false); }
int* kget1I_0(int64_t n) { return get1<int>(n, true); }
float* kget1F(int64_t n) { return get1<float>(n, false); }
float* kget1F_0(int64_t n) { return get1<float>(n, true); }
double* kget1D(int64_t n) { return get1<double>(n, false); }
double* kget1D_0(int64_t n) { return get1<double>(n, true); }

char** kget1S(int64_t n) {
  char** p = static_cast<char**>(block(n, sizeof(char*), true));
  zam_vm_set_tag(p, n | kPointerArray);
  return p;
}

char** kget2C(int64_t n, int64_t m) { return get2<char>(n, m, false); }
char** kget2C_0(int64_t n, int64_t m) { return get2<char>(n, m, true); }
int16_t** kget2J(int64_t n, int64_t m) { return get2<int16_t>(n, m, false); }
int16_t** kget2J_0(int64_t n, int64_t m) { return get2<int16_t>(n, m, true); }
int** kget2I(int64_t n, int64_t m) { return get2<int>(n, m, false); }
int** kget2I_0(int64_t n, int64_t m) { return get2<int>(n, m, true); }
float** kget2F(int64_t n, int64_t m) { return get2<float>(n, m, false); }
float** kget2F_0(int64_t n, int64_t m) { return get2<float>(n, m, true); }
double** kget2D(int64_t n, int64_t m) { return get2<double>(n, m, false); }
double** kget2D_0(int64_t n, int64_t m) { return get2<double>(n, m, true); }

char*** kget3C(int64_t n, int64_t m, int64_t k) { return get3<char>(n, m, k, false); }
char*** kget3C_0(int64_t n, int64_t m, int64_t k) { return get3<char>(n, m, k, true); }
int16_t*** kget3J(int64_t n, int64_t m, int64_t k) { return get3<int16_t>(n, m, k, false); }
int16_t*** kget3J_0(int64_t n, int64_t m, int64_t k) { return get3<int16_t>(n, m, k, true); }
int*** kget3I(int64_t n, int64_t m, int64_t k) { return get3<int>(n, m, k, false); }
int*** kget3I_0(int64_t n, int64_t m, int64_t k) { return get3<int>(n, m, k, true); }
float*** kget3F(int64_t n, int64_t m, int64_t k) { return get3<float>(n, m, k, false); }
float*** kget3F_0(int64_t n, int64_t m, int64_t k) { return get3<float>(n, m, k, true); }
double*** kget3D(int64_t n, int64_t m, int64_t k) { return get3<double>(n, m, k, false); }
double*** kget3D_0(int64_t n, int64_t m, int64_t k) { return get3<double>(n, m, k, true); }

void* kmod1B(void* p, int64_t n) {
  if (!p) return kget1B(n);
  void* q = zam_vm_mod(p, n);
  // zam_vm_mod hands back the old block only when no new one could be had
  // (the old one is still live while the new one is made); a caller that
  // grows would then write past its end.
  if (q == p) {
    fflush(nullptr);
    exit(1);
  }
  return q;
}

void kfree(void* p) {
  if (!p) return;
  const int64_t tag = zam_vm_get_tag(p);
  if (tag < 0) {
    const int64_t count = tag & INT64_MAX;
    void** entries = static_cast<void**>(p);
    for (int64_t i = 0; i < count; i++) kfree(entries[i]);
  }
  zam_vm_free(p);
}

char* kdupS(const char* s) { return copyString(s, false); }

void* kget1B_pooled_0(int64_t n) { return block(n, 1, true, true); }

char* kdupS_pooled(const char* s) { return copyString(s, true); }

char* kcatS(const char* s1, ...) {
  if (!s1) return nullptr;
  const char* parts[kMaxJoined];
  int count = 0;
  parts[count++] = s1;
  va_list ap;
  va_start(ap, s1);
  while (count < kMaxJoined) {
    const char* s = va_arg(ap, const char*);
    if (!s) break;
    parts[count++] = s;
  }
  va_end(ap);
  int64_t total = 1;
  for (int i = 0; i < count; i++) total += static_cast<int64_t>(strlen(parts[i]));
  char* joined = static_cast<char*>(block(total, 1, false));
  char* at = joined;
  for (int i = 0; i < count; i++) {
    const size_t len = strlen(parts[i]);
    memcpy(at, parts[i], len);
    at += len;
  }
  *at = '\0';
  zam_vm_set_tag(joined, total);
  return joined;
}

int kcopy1S(char** array, int at, const char* const* src, int n) {
  if (!array || !src || n < 1) return at;
  for (int i = 0; i < n; i++) {
    kfree(array[at + i]);
    array[at + i] = kdupS(src[i]);
  }
  return at + n;
}

int kscan1S(const char* name, const char* const* array, int n) {
  if (!name || !array) return -1;
  for (int i = 0; i < n; i++)
    if (array[i] && strcmp(array[i], name) == 0) return i;
  return -1;
}
