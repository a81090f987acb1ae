// Gaussian density surfaces: each atom of radius R at a spreads the density
// exp(-k (|x - a|^2 / R^2 - 1)) (k = 2, cut at 2.5 R), which is 1 on its own
// sphere; the surface of a model is the contour of the summed density of its
// docking atoms, with their probe-grown radii, at the fixed level 1, made by
// marching tetrahedra in the model's origin frame.
//
// Left out: surfaces of harmonic expansions, colouring and drawing.
#pragma once

#include "geometry/zam_transform.h"
#include "matching/zam_molecule_record.h"

// The contour level of the Gaussian surface.
double zam_gaussian_threshold();
// Adds the Gaussian densities of count atoms (positions, radii) to the float
// node grid of nx x ny x nz nodes (node (i, j, k) at i + nx(j + ny k), at
// origin + (i h, j h, k h)).
void zam_sample_8cell(int count, const Point3D* positions, const float* radii, double h, int nx, int ny, int nz,
                      Point3D origin, float* grid);
// Builds the Gaussian surface of model `model` of mol into surface (its
// radius the largest vertex distance from the origin of the model frame, 0
// when empty): atoms grown by the apolar or polar probe, nodes s1 angstroms
// apart (0.6 when s1 is not above 0); the two ints and s2 are not read.
// The mesh is closed. The molecule's placement is put back.
void zam_gaussian_surface(_molecule* mol, int model, int, int, double apolar, double polar, double s1, double s2,
                          _mesh_surface* surface);
