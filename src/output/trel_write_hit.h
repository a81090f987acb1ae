// Every per-hit result file of a search: the pairwise alignment files with
// their viewer and chain-pair files, and the RMSD profile.
#pragma once

#include "geometry/zam_transform.h"

struct _trel_align;
struct _pdb_image;
struct _trel_options;
struct _trel_pair_names;

// trel_writeAlignNamed of the pair, then trel_writeKrmsdNamed with the same
// names when write_krmsd is on. Writes nothing when do_write is off.
// Unwritable files give warnings naming them; the run goes on. The files
// are the hit names.target's (trel_holdHit).
void trel_writeHitFiles(_trel_align* align, _pdb_image* query, _pdb_image* target,
                        const _trel_pair_names& names, const char* folder, Matrix3D tf,
                        const _trel_options* options);
