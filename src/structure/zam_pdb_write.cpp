// PDB text writer.
#include "structure/zam_pdb.h"

_zam_file* zam_openPdbFile(const char*) { return nullptr; }
int zam_closePdbFile(_zam_file*) { return 0; }
int zam_writePdbFile(_zam_file*, const _pdb_image*, int, char, int, int, int, int serial, Matrix3D) { return serial; }
int zam_writePdb(const char*, const _pdb_image*, int, char, int, int, int, Matrix3D) { return 0; }
int zam_writePdbResidue(_zam_file*, const _pdb_image*, int, char, int, int, int serial, Matrix3D) { return serial; }
void zam_writePdbSSEs(_zam_file*, const _pdb_image*, int, char) {}
void zam_writeSSEInfo(_zam_file*, const _pdb_image*, char, int, char) {}
int zam_getPdbAlphaNos(const _pdb_image*, int, int, int, int*) { return 0; }
int zam_exportPdb(const char*, const char*, int, Matrix3D) { return 0; }
