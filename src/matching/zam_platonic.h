// Nearly uniform point sets on the unit sphere, taken from the poles and
// nodes of the sphere meshes of orders -1..12, and the rotation samples a
// rotational search draws from them. setup_platonic builds every set once
// per process (no lock: call it before worker threads start) and leaves the
// mesh of order 12 open.
#pragma once

#include <cstdint>

#include "geometry/zam_transform.h"

void setup_platonic();
// (theta, phi) float pairs of set n; a single (0, 0) for a count that is no set.
const float* platonic_vertices(int n);
// Cell area of every point of set n (unit sphere); a single 0 for no set.
const float* platonic_areas(int n);
// Mean angular spacing of set n in radians; 0 for no set and for the solids.
float platonic_angle(int n);
// Pole set <-> node set of one mesh order; 4<->4, 6<->8; 0 for no set.
int platonic_dual(int n);
int platonic_poles(int n);
int platonic_nodes(int n);
// The point count whose spacing is nearest to step (radians); ties go to
// the larger count.
int platonic_resolution(double step);
// n + dual(n) rotations of set n then its dual, point 0 carried to the north
// pole; a new array (zam_vm_free) in *out. n <= 1 gives one zero rotation.
int platonic_samples(int n, Euler** out);

// Translation samples of box sampling: the (2h+1)^3 points of a cubic grid of
// the step, h = int(box / (2 step) + 0.5) (0 for a step that is not
// positive), shifted by offset along z. Each point's translation t is split
// as t = first . Z(-r) . second (rnzr_tf); *codes gets the distance code of
// r, *first and *second the two rotations (a distance that codes below 0.1
// becomes 0 with the identity as second rotation). Points are ordered by
// code (stable); *centre is where the grid centre went. Returns the count;
// the three arrays are new (zam_vm_free).
int box_samples(double box, double step, double offset, int* centre, Euler** first, int** codes, Euler** second);
// The count that box_samples and polar_samples return for box and step.
int64_t box_sample_count(double box, double step);
// The same grid in polar form: per point the rotation (0, pi - theta,
// 2 pi - phi) of its direction and the code of its distance plus offset,
// ordered by code. Returns the count; the arrays are new (zam_vm_free).
int polar_samples(double box, double step, double offset, Euler** rotations, int** codes);

// Set n turned with its point 0 to the north pole: that point, then every
// later point within angle (radians) of it, as unit vectors in a new array.
// Returns the count.
int near_north_points(int n, Point3D** out, float angle);
// The (theta, phi) pairs of set n with a point at the north pole first: a
// point within 0.01 of (0, 0) changes places with point 0 and is set to
// (0, 0); otherwise (0, 0) is put before the set. A new array; returns the
// count of pairs.
int guess_vertices(int n, float** out);
// The points of set n as unit vectors (three floats each), a new array.
float* unit_sphere_points(int n);
// For every pole of the open mesh, the distance from the centre along its
// direction to the surface of the centred cube of that edge; a new array.
double* unit_cube_poles(double edge);
// Prints, for every face of the three solids, whether its vertices run
// counter-clockwise or clockwise seen from outside.
void platonic_print_check();
// Keeps a radius (initially 1) for the solids and returns the previous one.
double platonic_set_radius(double r);
