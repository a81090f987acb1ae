// Files of a loaded multiple alignment (align/trel_msa_record.h): the
// listing ".kmsa", FASTA and PIR alignments, the ".kalign" listing and one
// PDB file per row, and its rainbow colouring for the Zam and VMD viewers.
// Letters are the structures' own residue codes, never the alignment file's.
// Rows of any length are written whole; every file is written whole or not
// at all, and one that cannot be written gives a warning naming it.
#pragma once

#include "geometry/zam_transform.h"

struct _trel_msa;
struct _trel_options;

// Writes folder + name + prefix + suffix + ".kmsa", ".fasta", ".pir" and
// ".kalign", and folder + structure name + suffix + ".pdb" per row moved by
// transform, each under its own switch (names fitted by zam_fileName).
// folder ends in '/'. Every row needs a structure: an alignment with a row
// that has none is refused with a warning and nothing is written.
void trel_writeMSA(const _trel_msa* msa, Matrix3D transform, const char* prefix, const char* suffix,
                   const char* folder, const _trel_options* options);
// Rainbow files folder + name + prefix + suffix + "_rainbow" ... (the Zam
// set with write_zam, the VMD set with write_vmd; both need write_pdb and
// write_rainbow). Rows without a structure are left out.
void trel_writeMSArainbow(const _trel_msa* msa, Matrix3D transform, const char* prefix, const char* suffix,
                          const char* folder, const _trel_options* options);
