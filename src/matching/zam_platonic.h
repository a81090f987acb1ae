// Nearly uniform point sets on the unit sphere, taken from the poles and
// nodes of the sphere meshes of orders -1..12, and the rotation samples a
// rotational search draws from them. setup_platonic builds every set once
// per process (no lock: call it before worker threads start) and leaves the
// mesh of order 12 open.
#pragma once

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
