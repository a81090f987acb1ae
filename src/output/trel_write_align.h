// Files of one pairwise alignment of a query and a target image: the residue
// pairs (".kpairs"), web pairs (".wpairs"), ProFit zones (".profit"), Jmol
// residue lists (".jmol"), FASTA and PIR rows (".fasta", ".pir") and the
// alignment listing (".kalign"), each under its own switch. Every file is
// written under a temporary name and renamed into place when complete.
#pragma once

#include "geometry/zam_transform.h"

struct _trel_align;
struct _pdb_image;
struct _trel_options;
struct _trel_pair_names;

// Every file of one pair: trel_writeAlignFull, trel_writeAlignChains and
// trel_writeAlignMask, then, with residue_mask non-zero, the viewer files once
// more under the suffixes + "_mask", written from views of the images whose
// residue masks are set (trel_maskView): the images are not changed. Files are named
// folder + target name + "_" + query name + target_suffix + extension
// (folder ends in '/'; a name too long for the file system is shortened as
// trel_pairNames says). A file that cannot be written gives a warning naming
// it and the others are still written. Null align, images or options: nothing.
void trel_writeAlign(_trel_align* align, _pdb_image* query, _pdb_image* target,
                     const char* query_suffix, const char* target_suffix, const char* folder,
                     Matrix3D tf, const _trel_options* options);
// trel_writeAlign under the names given, whose superposed PDB files (those
// of the pair and of the masked pass) are the files the run writes. Where a
// name is empty the files leave it out: the headers print "-", FASTA and PIR
// entries are labelled by the structure's name, and the ProFit file and the
// superposition viewer files, which load both structures, are not written.
void trel_writeAlignNamed(_trel_align* align, _pdb_image* query, _pdb_image* target,
                          const _trel_pair_names& names, const char* folder, Matrix3D tf,
                          const _trel_options* options);

// The seven alignment files above, each only when its switch is on (".jmol"
// also needs write_pdb). tf is the caller's transform applied after the
// alignment's own superposition (it is quoted in ".kpairs").
void trel_writeAlignFull(const _trel_align* align, const _pdb_image* query,
                         const _pdb_image* target, const char* query_suffix,
                         const char* target_suffix, const char* folder, Matrix3D tf,
                         const _trel_options* options);
