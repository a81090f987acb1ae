// Putting a structure object's image to work outside the cache: a fresh copy
// of a target superposed onto its current (aligned) image, and the object
// written as a PDB file under given transforms (database extraction).
#pragma once

#include "geometry/zam_transform.h"

struct _trel_thing;
struct _trel_align;
struct _pdb_image;

// Reads a fresh copy of the target's structure from the file its current
// image came from, superposes it onto the current image over the
// alignment's anchor pairs, and makes it the target's image (the old one is
// freed). Returns the new image; the current image when there is no image
// file to read (reported by the reader), null when the target has no image.
// unused is not consulted.
_pdb_image* trel_imageThingAlign(_trel_thing* target, _trel_align* align, _pdb_image* unused);

// Writes the object's image (loaded on demand) moved by A then B to file,
// all chains, with secondary-structure records and a TER line. 1 when
// written; 0 when the image cannot be loaded or the file not written (both
// reported).
int trel_exportThingPdb(_trel_thing* thing, const char* file, int atom_selection, Matrix3D A,
                        Matrix3D B);
