// Array allocators over the guarded allocator: one-, two- and three-dimensional
// arrays whose tag records the element count (with the top bit for arrays of
// pointers), so that kfree releases an array with everything hanging from it.
// Their callers never test for null: an allocation failure is reported by the
// allocator and ends the run with exit status 1.
#pragma once

#include <cstdint>

// One-dimensional arrays of n elements tagged n (kget1B: raw bytes, tag 0).
// The _0 forms are zero-filled. kget1S is always zero-filled and frees its
// strings with it.
void* kget1B(int64_t n);
void* kget1B_0(int64_t n);
char* kget1C(int64_t n);
char* kget1C_0(int64_t n);
int16_t* kget1J(int64_t n);
int16_t* kget1J_0(int64_t n);
int* kget1I(int64_t n);
int* kget1I_0(int64_t n);
float* kget1F(int64_t n);
float* kget1F_0(int64_t n);
double* kget1D(int64_t n);
double* kget1D_0(int64_t n);
char** kget1S(int64_t n);

// n row pointers, each to a row of m elements (rows cleared in the _0 forms);
// n < 1 gives the bare pointer block.
char** kget2C(int64_t n, int64_t m);
char** kget2C_0(int64_t n, int64_t m);
int16_t** kget2J(int64_t n, int64_t m);
int16_t** kget2J_0(int64_t n, int64_t m);
int** kget2I(int64_t n, int64_t m);
int** kget2I_0(int64_t n, int64_t m);
float** kget2F(int64_t n, int64_t m);
float** kget2F_0(int64_t n, int64_t m);
double** kget2D(int64_t n, int64_t m);
double** kget2D_0(int64_t n, int64_t m);

// n pointers to m pointers, each to k elements (cleared in the _0 forms).
char*** kget3C(int64_t n, int64_t m, int64_t k);
char*** kget3C_0(int64_t n, int64_t m, int64_t k);
int16_t*** kget3J(int64_t n, int64_t m, int64_t k);
int16_t*** kget3J_0(int64_t n, int64_t m, int64_t k);
int*** kget3I(int64_t n, int64_t m, int64_t k);
int*** kget3I_0(int64_t n, int64_t m, int64_t k);
float*** kget3F(int64_t n, int64_t m, int64_t k);
float*** kget3F_0(int64_t n, int64_t m, int64_t k);
double*** kget3D(int64_t n, int64_t m, int64_t k);
double*** kget3D_0(int64_t n, int64_t m, int64_t k);

// Resizes a raw block to n bytes keeping its contents (null p: a new block).
void* kmod1B(void* p, int64_t n);
// Releases any block of this family; arrays of pointers release their
// non-null entries first (recursively). Null is ignored.
void kfree(void* p);
// Copy of s; null for a null s. Release with kfree.
char* kdupS(const char* s);
// kget1B_0 and kdupS for blocks that live as long as a run's objects: taken
// from the allocator's pool while pooling is on (zam_vm_pooling), whose
// frees take no lock, else plain blocks.
void* kget1B_pooled_0(int64_t n);
char* kdupS_pooled(const char* s);
// New string joining s1 and the following arguments up to the first null (at
// most 100 strings); tagged with its allocated length. Null when s1 is null.
char* kcatS(const char* s1, ...);
// For i < n: frees entry at+i of array (when set) and stores a copy of src[i]
// (null entries stay null). Returns at + n; with a null array or src, or
// n < 1, changes nothing and returns at.
int kcopy1S(char** array, int at, const char* const* src, int n);
// Index of the first of n entries equal to name, or -1 (also for a null
// array or name, or n < 1). Null entries never match.
int kscan1S(const char* name, const char* const* array, int n);
