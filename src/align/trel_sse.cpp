// Secondary-structure assignment of a trace from CA geometry.
#include "align/trel_trace.h"

#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

void scoreTheoreticalTrace(const _trel_trace*, int, const Point3Df*, float*) {}
void trel_scoreTraceAlpha(const _trel_trace*, int, float*) {}
void trel_scoreTraceBeta(const _trel_trace*, int, float*) {}
void trel_scoreTrace310(const _trel_trace*, int, float*) {}
void trel_scoreTracePi(const _trel_trace*, int, float*) {}
void assignTraceSSEs(_pdb_image*, const _pdb_peptide*, const Matrix3D*, _trel_trace*) {}
void trel_makeTraceModel(const char*, const _pdb_image*, int, int) {}
