// Array allocators.
#include "runtime/kids.h"

#include "runtime/zam_vm.h"

void* kget1B(int64_t n) { return zam_vm_get(n); }
void* kget1B_0(int64_t n) { return zam_vm_get_0(n); }
char* kget1C(int64_t n) { return static_cast<char*>(zam_vm_get(n)); }
char* kget1C_0(int64_t n) { return static_cast<char*>(zam_vm_get_0(n)); }
int16_t* kget1J(int64_t n) { return static_cast<int16_t*>(zam_vm_get(2 * n)); }
int16_t* kget1J_0(int64_t n) { return static_cast<int16_t*>(zam_vm_get_0(2 * n)); }
int* kget1I(int64_t n) { return static_cast<int*>(zam_vm_get(4 * n)); }
int* kget1I_0(int64_t n) { return static_cast<int*>(zam_vm_get_0(4 * n)); }
float* kget1F(int64_t n) { return static_cast<float*>(zam_vm_get(4 * n)); }
float* kget1F_0(int64_t n) { return static_cast<float*>(zam_vm_get_0(4 * n)); }
double* kget1D(int64_t n) { return static_cast<double*>(zam_vm_get(8 * n)); }
double* kget1D_0(int64_t n) { return static_cast<double*>(zam_vm_get_0(8 * n)); }
char** kget1S(int64_t n) { return static_cast<char**>(zam_vm_get_0(8 * n)); }

#define STUB2(T, name) T** name(int64_t, int64_t) { return nullptr; }
#define STUB3(T, name) T*** name(int64_t, int64_t, int64_t) { return nullptr; }
STUB2(char, kget2C) STUB2(char, kget2C_0) STUB2(int16_t, kget2J) STUB2(int16_t, kget2J_0)
STUB2(int, kget2I) STUB2(int, kget2I_0) STUB2(float, kget2F) STUB2(float, kget2F_0)
STUB2(double, kget2D) STUB2(double, kget2D_0)
STUB3(char, kget3C) STUB3(char, kget3C_0) STUB3(int16_t, kget3J) STUB3(int16_t, kget3J_0)
STUB3(int, kget3I) STUB3(int, kget3I_0) STUB3(float, kget3F) STUB3(float, kget3F_0)
STUB3(double, kget3D) STUB3(double, kget3D_0)

void* kmod1B(void* p, int64_t n) { return zam_vm_mod(p, n); }
void kfree(void* p) { zam_vm_free(p); }
char* kdupS(const char* s) { return zam_vm_strdup(s); }
char* kcatS(const char*, ...) { return nullptr; }
int kcopy1S(char**, int at, const char* const*, int) { return at; }
int kscan1S(const char*, const char* const*, int) { return -1; }
