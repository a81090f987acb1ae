// GPU interface in its CPU-only form. The system is built without GPU
// support: every query answers that there is no GPU, memory calls give null,
// and the FFT plans and kernel entries do nothing. Only zam_cuda_info writes
// anything. Callers must keep working when every query answers 0.
#pragma once

struct _cfloat;  // complex float (real, imaginary) of the FFT code

// Queries and set-up.
int zam_cuda_enabled();  // 0: GPU support is not available
int zam_cuda_online();
int zam_cuda_active_devices();
int zam_cuda_first_device();
int zam_cuda_driver();
int zam_cuda_runtime();
int zam_cuda_memory();
int zam_cuda_global(int device);
int zam_cuda_cores();
int zam_cuda_total();
char* zam_cuda_device(int device, char* name);  // writes "NULL" into name; returns name
void zam_cuda_info();  // shows "CUDA driver/API: 0/0" through zam_msg
void zam_cuda_setup(int ncpu, int ngpu);
void zam_cuda_set_device(int device);
void zam_cuda_sync();
void zam_cuda_setup_fft();

// Memory: no device memory exists, so get gives null.
void* zam_cuda_get(long n);
void* zam_cuda_get_0(long n);
void zam_cuda_free(void* p);
void zam_cuda_zero(void* p, long n);
void zam_cuda_copy(...);

// Batched FFT plans and kernel entries: accept their arguments, do nothing.
void zam_cuda_open_1d(...);
void zam_cuda_close_1d(...);
void zam_cuda_open_3d(...);
void zam_cuda_close_3d(...);
void zam_cuda_1d_fft_batch(...);
void zam_cuda_3d_fft_batch(...);
void zam_cuda_ptable(...);
void zam_cuda_fkuvm(...);
void zam_cuda_skim(...);
void zam_cuda_skim_list(...);
void zam_cuda_scanner(...);
void zam_cuda_translate(...);
void zam_cuda_smvkl(...);
void zam_cuda_qkpm(...);
void zam_cuda_clmp(...);
void zam_cuda_integrate(...);
void zam_cuda_znlm2jp(...);
void zam_cuda_zjp2nlm(...);
void plm_init_cuda(...);
void zam_cuda_matmul(int n, int m, int k, const float* a, const float* b, float* c);
void zam_cuda_transpose(int n, int m, const _cfloat* in, _cfloat* out);
void zam_cuda_cycle_3d(const int* dims, const int* shift, const _cfloat* in, _cfloat* out);

// CPU companion: out[i] = sum_j M[i][j] * v[j] for complex v stored as
// (real, imaginary) float pairs; M is n x n floats row after row; each sum is
// accumulated in double. n < 1 does nothing.
void mat_x_col_fpair(int n, const float* M, const float* v, float* out);
