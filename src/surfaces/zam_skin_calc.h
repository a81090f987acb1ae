// Skin sampling of a docking model into a cubic byte grid: the exterior skin
// (a thin shell just inside the model's surface mesh) and the interior (the
// volume of its atoms) are marked by OR-ing two caller-chosen codes into the
// cells, so that two molecules can share one grid. Grid: n^3 cells of edge h
// from the corner origin, cell (i, j, k) at i + n j + n^2 k. A point marks
// the cell floor((p - origin) / h) along each axis when that lies in
// 0..n-1; points below or beyond the grid are dropped.
#pragma once

#include "geometry/zam_transform.h"
#include "matching/zam_molecule_record.h"

struct _docking_atoms;

// Exterior from the flagged triangles of the molecule's surface (built
// beforehand by zam_gaussian_surface): each triangle's sample point (the
// midpoint of its first edge's midpoint and its third vertex, moved inward by
// p = min(apolar, polar) / 2 along its normal) marks c1 in the cells met by
// the points of a 0.2 angstrom lattice within p of it. The mesh is taken as
// it stands: zam_gaussian_surface builds it in the model frame, the model's
// own placement included. Interior: every
// docking atom marks c2 in the cells met by the lattice points within its
// radius (ceil(r / 0.2) steps each way). Sample points and atoms beyond the
// sphere inscribed in the grid are left out. N is not read. Prints the cell
// counts and volumes; the molecule's placement is put back.
void zam_skin_calc(_molecule* mol, int model, int N, int n, double h, Point3D origin, double apolar, double polar,
                   unsigned char c1, unsigned char c2, unsigned char* grid);
// The same from Gaussian densities of the docking atoms sampled at the cell
// corners: c1 where the mean of a cell's eight corners exceeds the level
// with the probe-grown radii, c2 with the plain radii (the last layer of
// cells along each axis is never marked). order is not read.
void zam_skin_calc_new(_molecule* mol, int model, const _docking_atoms* atoms, int order, int n, double h,
                       Point3D origin, unsigned char c1, unsigned char c2, unsigned char* grid);
