// PDB text reader.
#include "structure/zam_pdb.h"

_pdb_image* zam_readPdb(const char*, const char*) { return nullptr; }
void zam_parsePdbAtom(const char*, int, int, _pdb_atom*) {}
int zam_tastePdbAtom(const char*, int) { return 0; }
int isBadPdbAtom(Point3D) { return 0; }
void zam_setPdbChainType(int) {}
void zam_setPdbOneModel(int) {}
void zam_setPdbOneChain(int) {}
void zam_setPdbHydrogens(int) {}
void zam_setPdbHetRes(int) {}
void zam_setPdbWarnings(int) {}
void zam_setPdbMissing(int) {}
int zam_getPdbWarnings() { return 0; }
