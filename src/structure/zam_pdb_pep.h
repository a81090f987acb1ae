// Backbone peptide arrays: a per-residue view of a structure image for the
// alignment engine, with the CA, N, C, O and CB positions, a scratch double,
// the one-letter code and the secondary-structure letter of every residue.
// The record does not store its length; callers keep the image's residue count.
#pragma once

#include "geometry/zam_transform.h"

struct _pdb_image;

// Eight owned arrays of one entry per residue. A position the image does not
// provide (a glycine's CB, a missing atom) stays at the origin.
struct _pdb_peptide {
  Point3D* ca;
  Point3D* n;
  Point3D* c;
  Point3D* o;
  Point3D* cb;
  double* val;  // per-residue scratch, zero-filled; never filled here
  char* code;   // one-letter codes (not terminated)
  char* sse;    // secondary-structure letters (not terminated)
};

// New record of n zero-filled entries per array (n = 0 gives empty arrays).
// Null for n < 0. Release with zam_freePdbPep.
_pdb_peptide* zam_allocPdbPep(int n);
// Releases the arrays and the record; null is ignored.
void zam_freePdbPep(_pdb_peptide* p);
// Fills p (sized for the image's residue count) from the image: codes and
// letters from the residue records, positions from the atoms named CA, N, C,
// O and CB (a later atom of the same name in a residue wins). Hetero atoms
// are not used. Nothing for a null image or record.
void zam_loadPdbPep(const _pdb_image* image, _pdb_peptide* p);
// zam_allocPdbPep(residue count) then zam_loadPdbPep; null for a null image.
_pdb_peptide* zam_makePdbPep(const _pdb_image* image);
// Copies entries first..first+n-1 of every array of source into entries
// 0..n-1 of target; the caller guarantees both ranges exist. Nothing for a
// null record, first < 0 or n < 1.
void zam_copyPdbPep(const _pdb_peptide* source, int first, _pdb_peptide* target, int n);
// New record of n entries per array holding copies of the first n entries of
// source (which must have at least n). Null for a null source or n < 0.
_pdb_peptide* zam_dupPdbPep(int n, const _pdb_peptide* source);
