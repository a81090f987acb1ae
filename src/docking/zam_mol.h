// The docking atom store: three slots, each holding the atoms of one
// molecule as read from a structure image (position, radius, partial
// charge, accessibility, contact type, polarity, alternate location, record
// kind, names, occupancy and temperature factor), its chains and residues,
// its bond lists and its current placement. mol_select makes a slot
// current; every mol_* query answers for the current slot, with positions
// under its placement. Process-wide state without a lock: one thread at a
// time works on the store.
//
// Left out: sampled energy points and GRID probe types (a molecule read
// from a structure has none, so their queries answer "none"), surface
// accessibility (every atom counts as accessible) and contact types (every
// atom has none, -1).
#pragma once

#include "geometry/zam_transform.h"

struct _pdb_image;

constexpr int ZAM_MOL_SLOTS = 3;

// Fills slot from the ATOM records of image (hetero atoms are counted, not
// kept), replacing what the slot held; the placement becomes the identity.
// Radii and polarity come from the atom parameters, partial charges are the
// formal charges of the ionisable groups (+1 on LYS NZ and on a chain's
// first N, +0.5 on ARG NH1 and NH2, -0.5 on ASP OD1/OD2, GLU OE1/OE2 and on
// O and OXT of a residue that has an OXT), bonds join atoms of one model
// closer than 1.9 angstroms (2.1 when one is a sulphur, 1.3 when one is a
// hydrogen) whose alternate locations do not differ. Returns the atom
// count, or -1 for a bad slot or a null image.
int mol_load_pdb(int slot, const _pdb_image* image);
// Empties slot (bad slots are ignored).
void mol_clear(int slot);

// Makes slot current; a bad slot is ignored.
void mol_select(int slot);
int mol_current();
Matrix3D mol_get_transform();
void mol_transform(Matrix3D placement);

// Chains, residues and atoms of the current molecule, and its hetero atoms
// that the store leaves out.
void mol_structure(int* chains, int* residues, int* atoms, int* other);
// Chain c (from 1): its letter and a terminator into name ('_' for a blank
// chain), its residue, atom and heavy-atom counts. Beyond the last chain:
// name empty and all counts 0. Null outputs are skipped.
void mol_chain(int c, char* name, int* residues, int* atoms, int* heavy);
// Residue r (from 1) of chain c: name (at most 4 characters), label (number
// text with an insertion letter, at most 5) and its atom range. Out of
// range: name empty, first = last = -1, label untouched.
void mol_resnum_info(int c, int r, char* name, char* label, int* first, int* last);

// Atom i (from 0). A bad index gives the origin, 0, a blank or -1 as said.
Point3D mol_atom_pt(int i);                // under the current placement
Point3D mol_atom_pt(Point3D* p, int i);    // the same, also written to *p
Point3D mol_atom_basept(Point3D* p, int i); // stored, without the placement
// Moves atom i's stored position to p (a side chain turned to a rotamer); a
// bad index is ignored. The bond lists stay as they were made.
void mol_set_atom_basept(int i, Point3D p);
float mol_atom_radius(int i);
float mol_atom_charge(int i);
int mol_atom_access(int i);                // 0 buried
int mol_atom_ace(int i);                   // contact type, -1 none
char mol_atom_altatm(int i);               // ' ' for a bad index
char mol_atom_hetatm(int i);               // 'A' for ATOM, 'H' for HETATM
const char* mol_atom_name(int i);          // without blanks; "" for a bad index
const char* mol_atom_ename(int i);         // as read (columns 13-16)
float mol_atom_occupancy(int i);
float mol_atom_temperature(int i);
int mol_is_polar(int i);
int mol_is_apolar(int i);                  // !mol_is_polar(i)
int mol_is_h(int i);
// Lowest atom of first..last named exactly name, or -1 (also for first < 0
// or first > last).
int mol_match_atom(const char* name, int first, int last);
// The atoms bonded to atom: their count, *list set to them inside the
// store's bond table (owned by the store); a bad index gives 0 and null.
int mol_atom_atoms(int atom, const int** list);

// Sampled energy points and probe types: none in a molecule read from a
// structure (codes -1, values 0, positions the origin, names empty).
int mol_energy_code(int i);
float mol_energy_value(int i);
Point3D mol_energy_pt(int i);
int mol_num_probes();
const char* mol_probe_name(int i);

// Sets the contact type of atom i of the current molecule (-1: none); a bad
// index is ignored. The store reads none from a structure: the contact
// typing of a molecule's atoms sets them here.
void mol_set_atom_ace(int i, int type);
