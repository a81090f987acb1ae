// Whole-image operations on structure images.
#include "structure/zam_pdb.h"

void zam_freePdb(_pdb_image*) {}
_pdb_image* zam_copyPdb(const _pdb_image*) { return nullptr; }
_pdb_image* zam_extractPdb(const _pdb_image*, int, const int*) { return nullptr; }
void zam_splitPdb(const _pdb_image*, int n, const int*, const char* const*, _pdb_image** images) {
  for (int k = 0; k < n; ++k) images[k] = nullptr;
}
int zam_chainsPdb(const _pdb_image*, const char*, int*) { return 0; }
void zam_movePdb(_pdb_image*, Matrix3D) {}
void zam_movePdbResidue(_pdb_image*, int, Matrix3D) {}
void zam_resetPdb(_pdb_image*) {}
void zam_freezePdb(_pdb_image*) {}
void zam_maskPdb(_pdb_image*, int) {}
void zam_labelPdbResidue(_pdb_image*, int, int) {}
void zam_setPdbChainLabel(_pdb_image*, char) {}
char deltaChar(char c, int) { return c; }
void zam_setPdbDelta(_pdb_image*, int) {}
void zam_setPdbFake(_pdb_image*, int) {}
Matrix3D zam_pdbBiomt(const _pdb_image*, int) { return Matrix3D{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}}; }
Matrix3D zam_pdbCryst(const _pdb_image*, int) { return Matrix3D{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}}; }
Point3D zam_ptPdbResidue(const _pdb_image*, int) { return Point3D{0, 0, 0}; }
Point3D* zam_ptsPdb(const _pdb_image*, int) { return nullptr; }
double zam_importPdb(_pdb_image*, int) { return 0; }
float* zam_radPdb(const _pdb_image*, int) { return nullptr; }
void zam_loadPdbZamRadii(_pdb_image*) {}
