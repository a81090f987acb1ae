// Trace building: local frames, chain breaks, cut points and neighbour points
// of every residue of a structure image.
#include "align/trel_trace.h"

#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

void trel_loadTrace(_pdb_image*, Point3D, int, int, _trel_trace* trace) { trel_wipeTrace(trace); }

int get_ncut(int, int, int, Matrix3D, const _pdb_peptide*) { return -1; }

int get_ccut(int, int, int, Matrix3D, const _pdb_peptide*) { return -1; }

Point3D get_lcm(int, int, int, Matrix3D, const _pdb_peptide*) { return pt_zero(); }
