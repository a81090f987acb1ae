// The molecule record of docking and matching: a molecule with its model
// table, each model carrying its placements and the coefficient arrays of
// its expansions, and the surface mesh built for it. Matching reads the
// record; the docking library fills it (its atoms live in the docking atom
// store, slot `slot`) and the surface code builds the mesh. Plain data: the
// operations on it are in the docking and surface libraries.
#pragma once

#include <cstdint>

#include "geometry/zam_transform.h"

// A closed triangle mesh about a model's origin: vertices, three vertex
// indices per triangle (counter-clockwise seen from outside), one flag per
// triangle (1: used for skin sampling) and the largest vertex distance from
// the origin (0 when empty). The two working arrays belong to whoever
// fills them and are released with the mesh.
struct _mesh_surface {
  int n_vertices;
  int n_triangles;
  Point3D* vertices;
  int* triangles;   // 3 per triangle
  int16_t* flags;   // 1 per triangle
  double radius;
  double* work1;
  double* work2;
};

// One model of a molecule. Entry 0 stands for the whole molecule.
struct _molecule_model {
  int id;
  char label[8];
  // Placements: the first is applied after the move of the model's centre
  // to the origin (zam_model_to_origin); the second holds the fit onto model
  // 1 (zam_native_postdock); native comparison reads the second and third;
  // the last is the model's own placement, applied after the move to the
  // origin by everything that reads the model in its own frame.
  Matrix3D place[4];
  int first_atom, last_atom;  // the model's atoms in the atom store; -1 for none
  Point3D centre;             // mean of the model's stored atom positions
  // Coefficient arrays, each owned by the entry and null when absent.
  double* skin;       // skin vector 1: the exterior skin
  double* shape;      // skin vector 2: the interior
  double* potential;  // electrostatic potential
  double* charge;     // charge density
  double* energies;   // grid energies (typed blocks)
  double* densities;  // probe densities (typed blocks)
  double* dars[2];
  double* grid[2];
  double* piper[2];
  double* kb;         // knowledge-based coefficients
  // Layout of the arrays of several blocks, set where they are allocated:
  // blocks held and the order they were made at (0 while absent). The DARS
  // set has 6 blocks and the GRID set 3, so the count also says which set
  // energies and densities hold; a reader takes them only when both are
  // what it reads.
  int typed_blocks, typed_order;  // energies and densities
  int kb_blocks, kb_order;        // kb
};

// A molecule.
struct _molecule {
  int loaded;               // 1 usable, 0 none (coefficient routines then do nothing)
  int slot;                 // slot of the docking atom store (0..2)
  char* name;               // owned by whoever built the record
  int model_kind;           // 0 single structure; 1-3 multi-model kinds (2: starting orientations)
  int n_models;             // 0 for a single structure
  int selected_model;       // <= 0: all models
  int n_energies;           // sampled energy points
  int gto_order[2];         // -1: none computed
  int eto_order;
  _molecule_model* models;  // n_models + 1 entries; index 0 is the molecule itself
  _mesh_surface surface;
  double surface_param[2];  // handed to zam_gaussian_surface
  double apolar_probe;
  double polar_probe;
};
