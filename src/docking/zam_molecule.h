// Docking molecules built from structure images, their release, and the
// placement of their models: a molecule's atoms go to a slot of the atom
// store (zam_mol.h); its model table gets one entry per model of the image
// (entry 0 the whole molecule) with identity placements, the atom range and
// the centre of each model.
//
// Left out: the other loaders (SDF, TDB and the runs of external secondary
// structure programs), hydrogens built from templates, rotamers.
#pragma once

#include "matching/zam_molecule_record.h"

struct _pdb_image;

// Fills mol from image: atoms into the store's slot `slot`, name (copied),
// model kind 0 with the single entry 0 for an image of one model, else kind
// 1 with one entry per model (id the MODEL number, label its text) after
// entry 0. Orders are -1, the surface empty, the probe radii 1.5 (apolar)
// and 1.4 (polar). Returns 1; 0 with an error naming the image for a bad
// slot or an image without atoms (mol is then left not loaded).
int zam_load_pdb_molecule(_molecule* mol, int slot, const _pdb_image* image, const char* name);
// Releases everything mol owns (coefficient arrays, model table, surface,
// name), empties its store slot and zeroes the record; null is ignored.
void zam_free_molecule(_molecule* mol);
// Free the GTO arrays (skins, grid energies and densities, DARS, GRID,
// PIPER, knowledge-based) or the ETO arrays (potential and charge density)
// of a model, of every model for -1, and set the orders to -1.
void delete_molecule_gto(_molecule* mol, int model);
void delete_molecule_eto(_molecule* mol, int model);

// A mesh of the given size, zero-filled (releasing what it held); 1, or 0
// for negative sizes. The release clears the record; null is ignored.
int zam_mesh_surface_alloc(_mesh_surface* s, int vertices, int triangles);
void zam_mesh_surface_free(_mesh_surface* s);

// First and last atom of a model; -1 and -1 when mol is not loaded or the
// model is out of range.
void zam_model_atoms(const _molecule* mol, int model, int* first, int* last);
// The move of the model's centre to the origin followed by its first
// placement; the identity for a model out of range.
Matrix3D zam_model_to_origin(const _molecule* mol, int model);
// Enters the model frame: selects the molecule's slot and sets its
// placement to the current one followed by zam_model_to_origin and the
// model's own (last) placement. Returns the placement it replaced, which the
// caller puts back with mol_transform. A null molecule changes nothing.
Matrix3D zam_model_frame(const _molecule* mol, int model);
