// Contour meshes of node grids by marching tetrahedra: each grid cube is cut
// into the six tetrahedra about its main diagonal (a cut that matches on
// every shared face), and the surface where the linearly interpolated value
// crosses the level is made of triangles whose vertices lie on the grid's
// edges, shared by every triangle that meets them. So when the grid's outer
// nodes lie at or below the level the mesh is closed: every edge belongs to
// exactly two triangles.
#pragma once

#include "geometry/zam_transform.h"
#include "matching/zam_molecule_record.h"

// The surface of {value > level} of the nx x ny x nz node grid (node
// (i, j, k) at i + nx(j + ny k), at origin + (i h, j h, k h)) into out
// (replacing what it held): triangles counter-clockwise seen from the side
// at or below the level, every flag 1, the radius the largest vertex
// distance from the coordinate origin. Returns the triangle count.
int zam_contour_grid(const float* grid, int nx, int ny, int nz, double h, Point3D origin, double level,
                     _mesh_surface* out);
