// Chain-pair table (".kchains") of one pairwise alignment: the columns split
// into runs of query chains and runs of target chains, and for every pair of
// runs their shared aligned pairs with summed and length-normalised K- and
// G-scores and a TM-style score.
#pragma once

#include "geometry/zam_transform.h"

struct _trel_align;
struct _pdb_image;
struct _trel_options;

// Writes folder + target name + "_" + query name + target_suffix + ".kchains"
// when write_kchains is on (query_suffix and tf are not used). A file that
// cannot be written gives a warning naming it; nothing is left half written.
void trel_writeAlignChains(const _trel_align* align, const _pdb_image* query,
                           const _pdb_image* target, const char* query_suffix,
                           const char* target_suffix, const char* folder, Matrix3D tf,
                           const _trel_options* options);
