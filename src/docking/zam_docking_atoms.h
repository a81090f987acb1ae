// Docking atoms of a model: the flat list of the atoms that take part in
// surface and volume sampling (alternate location blank or 'A', accessible,
// radius above 0), in the model's origin frame, with their radii, their
// radii grown by the apolar or polar probe and the model's extent; and the
// model's heavy atoms written as PDB-style text in the same frame.
#pragma once

#include "matching/zam_molecule_record.h"

struct _zam_file;

struct _docking_atoms {
  int count;
  float extent;          // max of |position| + max(radius, expanded radius), plus 3.0; 3.0 when empty
  Point3D* positions;    // model origin frame
  float* radii;
  float* expanded;       // radius + apolar probe (apolar atom) or + polar probe
};

// A new record owned by the caller (release with zam_docking_atoms_free);
// the molecule's placement is put back before it returns.
_docking_atoms* zam_docking_atoms_get(_molecule* mol, int model, double apolar, double polar);
// Frees the arrays and the record; null is ignored.
void zam_docking_atoms_free(_docking_atoms* atoms);
// Writes the model's heavy atoms, chain by chain, as ATOM/HETATM lines with
// serial numbers from 1 (a residue named "ter" writes a TER line, counted
// too; past serial 99999 the line starts "ATOM" and a seven-digit serial).
// The molecule's placement is put back before it returns.
void write_docking_atoms(_zam_file* file, _molecule* mol, int model);
// The same into the file path, written whole. Returns 1, or 0 after "Failed
// to write PDB file: ..." when it cannot be written (nothing is left).
int save_docking_atoms(const char* path, _molecule* mol, int model);
