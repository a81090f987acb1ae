// Superposed structures as PDB text files: each chosen target moved onto the
// query (with renumbered, masked, CONECT, ligand and unified variants and a
// ".mat" transform file), and the query itself, under the names given below
// (shortened by zam_fileName when too long). Also the whole-or-nothing PDB
// stream that every PDB result file goes through: written under a temporary
// name in the target's folder and renamed into place after a clean close.
#pragma once

#include <string>
#include <vector>

#include "geometry/zam_transform.h"
#include "output/trel_pair_names.h"
#include "structure/zam_pdb.h"

struct _zam_file;
struct _trel_thing;
struct _trel_align;
struct _trel_options;
struct _zam_whole;

// A PDB result file being written: fp is the stream of the file written
// whole (trel_openWhole), its REMARK header already written.
struct _trel_pdb_out {
  _zam_file* fp;
  char* path;          // final name (extension "pdb")
  _zam_whole* whole;  // the file until it is put in place
  int shared;          // a query's file that each hit writes (trel_closeShared)
};

// Opens a PDB file written whole for path (whose extension becomes "pdb").
// Null after a warning naming path when it cannot be opened. Finish with
// trel_closePdbOut.
_trel_pdb_out* trel_openPdbOut(const char* path);
// The same for a query's file that every hit writes again with contents of
// its own: closed through trel_closeShared.
_trel_pdb_out* trel_openSharedPdbOut(const char* path);
// Closes the stream and puts the file in place under the final name.
// 1 on success; on a failed write, close or rename the temporary file is
// removed, the final name is left as it was, a warning names it and 0 is
// returned. Frees the record; null gives 0.
int trel_closePdbOut(_trel_pdb_out* out);

// The query's PDB file that trel_writeQueryPDB writes under suffix (no
// folder): query name + "_query" + suffix + ".pdb".
std::string trel_queryPdbName(const char* query, const char* suffix);
// The names of a search hit's files under suffix: query suffix "_query",
// target suffix suffix, and as superposed PDB files those written for the hit
// by trel_writeQueryPDB (suffix "") and trel_writeTargetPDB (suffix), which
// build their names here.
_trel_pair_names trel_hitPairNames(const char* query, const char* target, const char* suffix);

// Writes the PDB and matrix files of the chosen targets (see the module
// comment): targets[order[n-1]] .. targets[order[0]], each only when its
// selected entry is non-zero and its aligns entry is not null. transforms[t]
// superposes target t onto the query; transform is applied after it (and to
// the query). suffix ("", "_flex", "_anchor") goes into every name; folder
// ends in '/'. With do_ligand and n = 1 the ligand is targets[t+1], so the
// array must then hold that entry (null when there is no ligand). Residue
// masks are set on views of the images (trel_maskView), never on the images.
// Unwritable files give warnings naming them; the rest is still written.
void trel_writeTargetPDBs(_trel_thing* query, int n, _trel_thing* const* targets,
                          _trel_align* const* aligns, const Matrix3D* transforms,
                          const int* order, const int* selected, const char* suffix,
                          const char* folder, Matrix3D transform, const _trel_options* options);
// The per-target part of trel_writeTargetPDBs: the files of one chosen
// target whose alignment is align and whose superposition onto the query is
// hit (its transforms entry); ligand is its ligand with do_ligand (else
// null). Changes no image and writes only this target's files, and with
// residue_mask the masked query (a file of the query's, written through
// trel_openSharedPdbOut), so that workers may write different targets at
// once. The files are the hit target's (trel_holdHit).
void trel_writeTargetPDB(_trel_thing* query, _trel_thing* target, _trel_thing* ligand,
                         _trel_align* align, Matrix3D hit, const char* suffix,
                         const char* folder, Matrix3D transform, const _trel_options* options);
// The last part of trel_writeTargetPDBs: folder + query name + suffix +
// "_unified.pdb", every chosen target as one MODEL, when write_pdb and
// with_unified are on and do_ligand is off.
void trel_writeUnifiedPDB(_trel_thing* query, int n, _trel_thing* const* targets,
                          _trel_align* const* aligns, const Matrix3D* transforms,
                          const int* order, const int* selected, const char* suffix,
                          const char* folder, Matrix3D transform, const _trel_options* options);
// Writes folder + query name + "_query" + suffix + ".pdb", the query moved by
// transform, when write_pdb is on. Prints "Writing QUERY pdb file:  %s".
void trel_writeQueryPDB(_trel_thing* query, const char* suffix, const char* folder,
                        Matrix3D transform, const _trel_options* options);

// A view of a shared structure image with residue records of its own, on
// which residue masks are set (trel_pdbAlignMask, trel_pdbProfileMask) to
// hide residues from the writers. Every other array is the image's and is
// only read, so the image is never changed and the view can be written from
// on any thread. It lives no longer than the image, and is never freed as an
// image.
struct _trel_mask_view {
  _pdb_image image;
  std::vector<_pdb_residue> residues;
};
// Points view at image with every mask as the image has it; returns the
// view's image, or null for a null image.
_pdb_image* trel_maskView(_trel_mask_view* view, const _pdb_image* image);
