// Putting a structure object's image to work outside the cache: a fresh copy
// of a target superposed onto its current (aligned) image, the object
// written as a PDB file under given transforms (database extraction), its
// descriptor coefficients written as text under given transforms, a PDB
// file and its coefficient arrays exported together, and the message
// callback that keeps descriptor building quiet.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "geometry/zam_transform.h"
#include "runtime/zam_log.h"

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

// Writes the object's image (loaded on demand) moved by A then B to file
// (extension "pdb"), all chains, with secondary-structure records and a TER
// line, whole and never over anything already there. 1 when written; -1
// when the name is taken (the file there is kept, with a warning); 0 when
// the image cannot be loaded or the file not written (both reported).
int trel_exportThingPdb(_trel_thing* thing, const char* file, int atom_selection, Matrix3D A,
                        Matrix3D B);

// Writes the object's coefficients of class pot_class (-1: every class),
// each array at the order it holds (one not held yet is read at order
// tag->order), moved by A then B (the translation scaled by each
// class's scale), as text (trel_write_anlm_asc) to folder + the file named
// by names and tail + "_" + class letter + "_tau.dat" and "_sig.dat"
// (zam_fileName), for each array that is present or can be read from its
// file; a name that is an input of the run is not written (zam_refuseInput
// warns). opening, when given, is called with each file's path before the
// file can take its name (a record names it ahead). The object's own arrays
// are not changed. Returns the number of files written, whose paths are
// added to *paths when given; failures are reported.
int trel_exportThingSpf(_trel_thing* thing, int pot_class, const std::string& folder,
                        const std::vector<std::string>& names, const std::string& tail, Matrix3D A, Matrix3D B,
                        std::vector<std::string>* paths = nullptr,
                        const std::function<void(const std::string&)>& opening = nullptr);

// Writes the PDB file pdb_file moved by A (all atoms) to out with its
// extension made "pdb", then the order-N sig and tau arrays moved by B
// (translation matrices of the Gaussian basis) to out with the extensions
// "sig" and "tau". 1 when all three were written; 0 after a reported
// failure (no coefficient file is written when the PDB file was not).
int trel_export_object(const char* pdb_file, const char* out, Matrix3D A, Matrix3D B, int N,
                       const double* sig, const double* tau);

// A message callback that drops plain messages and advisories (the log has
// them) and passes warnings and errors on, to the callback set by
// my_msg_cb_pass (null: standard output), for an embedding program that
// wants only what went wrong. The tool's own quiet steps use
// zam_logger_quiet, which any thread may open.
void my_msg_cb(const char* text);
// Sets where my_msg_cb passes warnings and errors on and returns the one set
// before. Process-wide.
zam_logger_fn my_msg_cb_pass(zam_logger_fn fn);
