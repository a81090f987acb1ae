// The knowledge-based pair potential of docking and its grids. Heavy atoms
// fall into two classes, apolar (0) and polar (1); a receptor and a ligand
// atom at distance d score +1 when d < 3 angstroms (overlap), the contact
// energy of their classes when 3 <= d < 6 (-1 apolar with apolar, -0.5 polar
// with polar, -0.25 mixed) and 0 beyond. The receptor's potential and the
// ligand's density are sampled on node grids about the model origin, one
// block per ligand class: block t of the potential holds, at each node, the
// energy a ligand atom of class t would have there; block t of the density
// holds the ligand atoms of class t spread over their eight nearest nodes
// (weights summing to 1 / h^3), so that the sum over the nodes of potential
// times density times h^3 approximates the pair energy of the two models,
// and so does the dot product of their expansions.
#pragma once

#include "matching/zam_molecule_record.h"

// Sampled values: `blocks` grids of nx x ny x nz nodes (node (i, j, k) at
// i + nx(j + ny k), at origin + (i h, j h, k h)), block t at t nx ny nz.
struct _kb_grid {
  int blocks;
  int nx, ny, nz;
  double h;
  Point3D origin;
  float* values;
};

// The pair energy of a receptor atom of class cr and a ligand atom of class
// cl at distance d (0 for a class outside 0..1).
double zam_kb_pair(int cr, int cl, double d);
// The potential of model `model` of receptor on an odd grid of nodes h apart
// centred on the model origin, reaching 6 angstroms past its docking atoms;
// `blocks` blocks (classes beyond 1 stay 0). New record (zam_kb_grid_free);
// null when blocks < 1 or the molecule is not loaded.
_kb_grid* zam_kb_potential_grid(_molecule* receptor, int model, int blocks, double h);
// The density of model `model` of ligand on such a grid reaching one node
// past its atoms.
_kb_grid* zam_kb_density_grid(_molecule* ligand, int model, int blocks, double h);
void zam_kb_grid_free(_kb_grid* g);

// The knowledge-based sets of the docking set-up: channels - 1 blocks (one
// per ligand class, the channel count being the blocks plus one) sampled
// with nodes s1 apart (1 angstrom when s1 is not above 0) and expanded
// (zam_grid_kb_integrate) into a new knowledge-based array of
// N(N+1)(2N+1)/6 doubles per block in the model's entry. The ints, the probes, s2, the surface and the flag are not read;
// fewer than 2 channels do nothing.
void zam_kb_potential(_molecule* receptor, _molecule* ligand, int model, int, int, int, int N, int channels,
                      double apolar, double polar, double s1, double s2, _mesh_surface* surface, bool flag);
void zam_kb_density(_molecule* ligand, int model, int, int, int N, int channels, double apolar, double polar,
                    double s1, double s2, _mesh_surface* surface, bool flag);
