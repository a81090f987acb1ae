// Permutation sorts by a byte-wise least-significant-digit radix sort (and a
// quicksort for string pointers), plus runs of equal keys in sorted data.
// The sorts never move the keys: perm[r] receives the index of the key of
// rank r, so one sort can order several parallel arrays. n < 1 does nothing.
#pragma once

#include <cstdint>

// Stable ascending sorts. Work arrays come from the guarded allocator; when
// they cannot be had the error is reported and perm is left as 0..n-1.
void zam_sortl(const int32_t* keys, int n, int* perm);
void zam_sortu(const uint32_t* keys, int n, int* perm);
void zam_sorto(const int64_t* keys, int n, int* perm);
// Ascending; -0.0 before +0.0; a run of equal negative keys comes out in the
// reverse of its input order (equal non-negative keys keep theirs).
void zam_sortf(const float* keys, int n, int* perm);
void zam_sortd(const double* keys, int n, int* perm);
// n byte strings of width bytes end to end, unsigned, first byte most significant.
void zam_sortb(const void* keys, int n, int width, int* perm);
// n records of width 32-bit words end to end, by their bytes in memory order.
void zam_sortj(const void* keys, int n, int width, int* perm);
// n strings ascending by byte-wise comparison (null sorts as ""); not stable.
void zam_sortc(const char* const* strings, int n, int* perm);

// Length of the run of equal keys beginning at start; 0 when start >= n (or
// start < 0), 1 when start is the last position. The _s forms compare the
// keys in perm order with the key at start; the others each key with its
// predecessor. Float keys are equal within 1e-6.
int zam_spani(const int32_t* keys, int start, int n);
int zam_spanl(const int32_t* keys, int start, int n);
int zam_spanl_s(const int32_t* keys, int start, int n, const int* perm);
int zam_spano(const int64_t* keys, int start, int n);
int zam_spano_s(const int64_t* keys, int start, int n, const int* perm);
int zam_spanc(const char* keys, int start, int n);
int zam_spanf(const float* keys, int start, int n);
int zam_spanf_s(const float* keys, int start, int n, const int* perm);

// One (first, last) pair per run of equal values of a sorted int array into
// spans (room for 2n ints), their number into count; n < 1 gives count 0.
void zam_find_ispans(int n, const int32_t* keys, int* count, int* spans);
// The same over the keys in perm order (pairs of positions in perm).
void zam_find_ispans_s(int n, const int32_t* keys, const int* perm, int* count, int* spans);
