// Viewer command files of one pairwise alignment: Zam macros (".mac") and VMD
// scripts (".tcl") coloured by matched pairs, by aligned pairs and by rigid
// segments, and the rainbow colouring with its own pair of PDB files. Every
// file is written under a temporary name and renamed into place when complete.
#pragma once

#include "geometry/zam_transform.h"

struct _trel_align;
struct _pdb_image;
struct _trel_options;
struct _trel_pair_names;

// Writes the viewer files of the pair (all need write_pdb; ".mac" files
// write_zam, ".tcl" files write_vmd, the rainbow files also write_rainbow;
// the rainbow PDB files come with the Zam switch only). Residues whose masked
// flag is set are left out of the rainbow PDB files; the flags are only read.
// A file that cannot be written gives a warning naming it; the others are
// still written.
void trel_writeAlignMask(const _trel_align* align, const _pdb_image* query,
                         const _pdb_image* target, const char* query_suffix,
                         const char* target_suffix, const char* folder, Matrix3D tf,
                         const _trel_options* options);
// The same files under the names given (trel_writeAlignMask: those of
// trel_pairNames). The Zam macros and VMD scripts of the three colourings
// load the superposed query and target PDB files: they are written only when
// both names are given (not empty).
void trel_writeAlignViews(const _trel_align* align, const _pdb_image* query, const _pdb_image* target,
                          const _trel_pair_names& names, const char* folder, Matrix3D tf,
                          const _trel_options* options);

struct _trel_text;

// Writes the comment head of a rainbow command file: its name, what it
// draws (drawn: "alignment", "multiple alignment"), the colours, the Zam
// version the colouring needs (with chain_limit, the most chains it tells
// apart) and how to run it: (cd folder; command -e name).
void trel_putRainbowHead(_trel_text* out, const char* name, const char* drawn, const char* viewer,
                         const char* folder, const char* command, bool chain_limit);

// Writes the opening of a VMD rainbow script: the start of its load_pair
// procedure with the colour numbers and the display settings.
void trel_putVmdRainbowStart(_trel_text* out);
