// Cells and linear indices of 2-D and 3-D integer grids laid out row by row,
// first index fastest. Sizes must be positive and indices non-negative; all
// arithmetic is 32-bit with truncating division.
#pragma once

struct c2 {
  int i, j;
};
struct c3 {
  int i, j, k;
};

c2 c2_make(int i, int j);
c2 c2_add(c2 a, c2 b);
int idx_c2(c2 c, int ni);
c2 c2_idx(int index, int ni);

c3 c3_make(int i, int j, int k);
c3 c3_byte(int n);  // corner n (0..7) of a unit cube: bits 0, 1, 2 of n
c3 c3_add(c3 a, c3 b);
int idx_c3(c3 c, int ni, int nj);
c3 c3_idx(int index, int ni, int nj);
int idx_ijk(int i, int j, int k, int ni, int nj);
void ijk_idx(int index, int ni, int nj, int* i, int* j, int* k);

// The number of points of an nx x ny x nz grid, counted in 64 bits: what a
// pass over a grid indexed by int asks first, before it allocates or reads
// the grid. -1 after an error message naming `who` (the pass) and `what`
// the points are ("cells", "nodes") when a size is negative or the count
// passes what an int counts (2^31 - 1: a cube of 1291 a side).
int zam_grid_points(const char* who, const char* what, int nx, int ny, int nz);
