// Expansion of potential grids sampled at their nodes (the knowledge-based
// potential of the docking library): a grid of float values becomes an
// order-N GTO coefficient vector, and for checking a grid is rebuilt from a
// vector, with profiles of it along the three axes written to text files.
// Grid: nx x ny x nz nodes, node (i, j, k) at i + nx j + nx ny k and at
// origin + (i h, j h, k h); a value of exactly 0 marks an empty node. Each
// node stands for a cell of volume h^3. Each pass returns 1, or 0 after a
// message, touching nothing, for a negative size or a grid of more nodes
// than an int counts (2^31 - 1).
#pragma once

#include "geometry/zam_transform.h"

// Adds the expansion of grid to coeffs (anlm_size(N) doubles, not cleared):
// coeffs(n, l, m) += h^3 sum over the non-empty nodes of value times the
// normalised basis function at the node. With verbose, prints the (n, 0, 0)
// elements. Calls zam_kb_integrate_inline.
int zam_grid_kb_integrate(double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin, const float* grid,
                          bool verbose);
int zam_kb_integrate_inline(double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin,
                            const float* grid, bool verbose);

// Adds the value of the expansion coeffs at every node to grid (elements of
// magnitude 1e-5 or less left out, the sum kept in single precision) and
// writes the values of the nodes on the z, y and x axes (within h/2 of the
// other two) to "kb_profile_z.txt", "kb_profile_y.txt" and
// "kb_profile_x.txt" in the current folder, one "coordinate value" line per
// node; prints the least value on the z axis below 0 and where it lies.
// name is not used. A profile file that cannot be written is reported and
// left out; the grid is filled all the same.
int zam_grid_kb_reconstruct_inline(const double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin,
                                   float* grid, const char* name);
// The same from the l = 0 elements (n, 0, 0) of coeffs only, with the x-axis
// profile alone, written to "kb_reduced_x.txt".
int zam_grid_kb_reconstruct_reduced(const double* coeffs, int N, int nx, int ny, int nz, double h, Point3D origin,
                                    float* grid, const char* name);
