// Geodesic sphere mesh grown from the icosahedron. Its vertices are the
// poles; the centres of its triangles are the nodes (the dual points). One
// mesh is open per process (file-level state, no lock): callers open meshes
// from one thread at a time. Indices are not validated.
#pragma once

#include "geometry/zam_transform.h"

// Builds the mesh of an order: 0 the icosahedron (12 poles, 20 nodes),
// -1 the icosahedron with a pole over every face (32, 60), n >= 1 every
// icosahedron edge split into n + 1 (10(n+1)^2 + 2 poles, 20(n+1)^2 nodes).
// The radius is edge times the order's radius factor when edge > 0, else
// radius when radius > 0, else 1. Reopening the open order does nothing;
// another order replaces the open mesh and clears the output rotation.
void zam_open_mesh(int order, double edge, double radius);
void zam_close_mesh();

int zam_npoles();
int zam_nnodes();
int zam_nedges();
int zam_mesh_order();  // -9 when no mesh is open
int zam_ncells();      // cells of the latitude grid, 0 without one
int zam_nbands();
// 10 order (order + 2) + 12 for order >= 0, 12 for a negative order.
int zam_nfaces(int order);

// Positions, rotated by the output rotation when one is set.
Point3D zam_pole(int i);
Point3D zam_node(int i);
void zam_edge_poles(int e, int* a, int* b);
void zam_edge_nodes(int e, int* a, int* b);
// The three poles of node i, counter-clockwise seen from outside.
void zam_node_poles(int i, int* a, int* b, int* c);
// The six node slots of pole i (counter-clockwise from outside; -1 unused).
void zam_pole_nodes(int i, int* out);
// The neighbour poles of pole i (at most six); returns their count.
int zam_pole_poles(int i, int* out);
// The nodes beside node i's three sides; returns their count.
int zam_node_nodes(int i, int* out);

// Moves every pole and node radially to radius r.
void zam_set_radius(double r);
void zam_set_rotation(double alpha, double beta, double gamma);
void zam_clear_rotation();

// Planar area of pole i's dual cell (the fan over its ring of nodes), and of
// node i's triangle.
double zam_pole_area(int i);
double zam_node_area(int i);
// Mean angle at the centre between the two poles of an edge, and between its
// two nodes; 0 and 0 without edges.
void zam_mesh_angles(double* pole_angle, double* node_angle);

// Rings of poles at growing distance from pole i: zam_pole_ring_next builds
// the poles that share a node with the current ring and are in neither it
// nor the ring before, makes them current and returns them (a buffer valid
// until the next call) with their count. A ring holds at most 200 poles; the
// rest are skipped with a warning. zam_pole_ring_end releases the rings.
void zam_pole_ring_start(int i);
const int* zam_pole_ring_next(int* length);
void zam_pole_ring_end();

// Latitude grid over the open mesh (order -1 or above), made once: bands of
// cells of about one pole's area, a single cell capping each pole, and a
// pole mapped to every cell. Reopening or closing the mesh drops it.
void zam_enable_grid();
// Southern bound of a band; 0 outside the bands.
double zam_grid_theta(int band);
// The cell of a direction (theta, phi radians); -1 without a grid.
int zam_grid_cell(double theta, double phi);
// The polar and azimuth ranges of a cell (the caps span 0..2 pi).
void zam_grid_region(int cell, double* theta0, double* theta1, double* phi0, double* phi1);
// The pole nearest a direction (to within 1e-5 in cosine): a greedy climb
// over neighbours from the pole of the direction's grid cell when there is
// a grid, else from the nearest pole of the icosahedron face it falls in. Positions before the output rotation; -1
// when no mesh is open.
int zam_nearest_pole(double theta, double phi);
