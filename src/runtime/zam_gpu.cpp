#include "runtime/zam_gpu.h"

#include <cstring>

#include "runtime/zam_log.h"

int zam_cuda_enabled() { return 0; }
int zam_cuda_online() { return 0; }
int zam_cuda_active_devices() { return 0; }
int zam_cuda_first_device() { return 0; }
int zam_cuda_driver() { return 0; }
int zam_cuda_runtime() { return 0; }
int zam_cuda_memory() { return 0; }
int zam_cuda_global(int) { return 0; }
int zam_cuda_cores() { return 0; }
int zam_cuda_total() { return 0; }

char* zam_cuda_device(int, char* name) {
  if (name) std::strcpy(name, "NULL");
  return name;
}

void zam_cuda_info() { zam_msg("CUDA driver/API: %d/%d\n", zam_cuda_driver(), zam_cuda_runtime()); }

void zam_cuda_setup(int, int) {}
void zam_cuda_set_device(int) {}
void zam_cuda_sync() {}
void zam_cuda_setup_fft() {}

void* zam_cuda_get(long) { return nullptr; }
void* zam_cuda_get_0(long) { return nullptr; }
void zam_cuda_free(void*) {}
void zam_cuda_zero(void*, long) {}
void zam_cuda_copy(...) {}

void zam_cuda_open_1d(...) {}
void zam_cuda_close_1d(...) {}
void zam_cuda_open_3d(...) {}
void zam_cuda_close_3d(...) {}
void zam_cuda_1d_fft_batch(...) {}
void zam_cuda_3d_fft_batch(...) {}
void zam_cuda_ptable(...) {}
void zam_cuda_fkuvm(...) {}
void zam_cuda_skim(...) {}
void zam_cuda_skim_list(...) {}
void zam_cuda_scanner(...) {}
void zam_cuda_translate(...) {}
void zam_cuda_smvkl(...) {}
void zam_cuda_qkpm(...) {}
void zam_cuda_clmp(...) {}
void zam_cuda_integrate(...) {}
void zam_cuda_znlm2jp(...) {}
void zam_cuda_zjp2nlm(...) {}
void plm_init_cuda(...) {}
void zam_cuda_matmul(int, int, int, const float*, const float*, float*) {}
void zam_cuda_transpose(int, int, const _cfloat*, _cfloat*) {}
void zam_cuda_cycle_3d(const int*, const int*, const _cfloat*, _cfloat*) {}

void mat_x_col_fpair(int n, const float* M, const float* v, float* out) {
  for (int i = 0; i < n; i++) {
    const float* row = M + static_cast<long>(i) * n;
    double re = 0.0, im = 0.0;
    for (int j = 0; j < n; j++) {
      re += static_cast<double>(row[j]) * v[2 * j];
      im += static_cast<double>(row[j]) * v[2 * j + 1];
    }
    out[2 * i] = static_cast<float>(re);
    out[2 * i + 1] = static_cast<float>(im);
  }
}
