#include "runtime/zam_cell.h"

#include <climits>
#include <cstdint>

#include "runtime/zam_log.h"

c2 c2_make(int i, int j) { return c2{i, j}; }

c2 c2_add(c2 a, c2 b) { return c2{a.i + b.i, a.j + b.j}; }

int idx_c2(c2 c, int ni) { return c.i + c.j * ni; }

c2 c2_idx(int index, int ni) { return c2{index % ni, index / ni}; }

c3 c3_make(int i, int j, int k) { return c3{i, j, k}; }

c3 c3_byte(int n) { return c3{n & 1, (n >> 1) & 1, (n >> 2) & 1}; }

c3 c3_add(c3 a, c3 b) { return c3{a.i + b.i, a.j + b.j, a.k + b.k}; }

int idx_c3(c3 c, int ni, int nj) { return c.i + c.j * ni + c.k * ni * nj; }

c3 c3_idx(int index, int ni, int nj) {
  const int plane = ni * nj;
  c3 c;
  c.k = index / plane;
  c.j = (index % plane) / ni;
  c.i = index - c.j * ni - c.k * plane;
  return c;
}

int idx_ijk(int i, int j, int k, int ni, int nj) { return i + j * ni + k * ni * nj; }

void ijk_idx(int index, int ni, int nj, int* i, int* j, int* k) {
  const c3 c = c3_idx(index, ni, nj);
  *i = c.i;
  *j = c.j;
  *k = c.k;
}

int zam_grid_points(const char* who, const char* what, int nx, int ny, int nz) {
  if (nx < 0 || ny < 0 || nz < 0) {
    zam_err("%s: bad grid size %dx%dx%d.\n", who, nx, ny, nz);
    return -1;
  }
  const int64_t points = static_cast<int64_t>(nx) * ny * nz;
  if (points > INT_MAX) {
    zam_err("%s: grid of %dx%dx%d = %lld %s is too large (at most %d).\n", who, nx, ny, nz,
            static_cast<long long>(points), what, INT_MAX);
    return -1;
  }
  return static_cast<int>(points);
}
