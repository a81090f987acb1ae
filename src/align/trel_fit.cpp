// Rigid fitting, fragment scoring and the final markup (skeleton).
#include "align/trel_fit.h"

#include "align/trel_trace.h"
#include "geometry/zam_qcp.h"
#include "structure/zam_pdb_pep.h"

Matrix3D trel_fitPts(int, Point3D*, Point3D*) { return tf_identity(); }
Matrix3D trel_fitPtsWts(int, Point3D*, Point3D*, double*) { return tf_identity(); }
Matrix3D fitFragment(int, int, _trel_align*, _pdb_peptide*, _pdb_peptide*, _trel_fit_buf) {
  return tf_identity();
}
float scoreOneFrag(int, int, Matrix3D, _trel_align*, float, float, _pdb_peptide*, _pdb_peptide*,
                   int* count, _trel_fit_buf) {
  *count = 0;
  return 0.0f;
}
int scoreFragment(int, int, int, int, _trel_align*, _pdb_peptide*, _pdb_peptide*, Matrix3D, float,
                  float, float* G, float* R, _trel_fit_buf) {
  *G = 0.0f;
  *R = 0.0f;
  return 0;
}
_trel_align* alignRigidBox(int, int, _trel_a_box, int, _pdb_peptide*, _pdb_peptide*, Matrix3D,
                           float, float, float, _trel_align_buf*) {
  return nullptr;
}
float trel_GMscoreAlign(_trel_align*, float, float, _pdb_peptide*, _pdb_peptide*, Matrix3D) {
  return 0.0f;
}
float makeFscore(int, float G, float) { return G; }
float trel_MscoreAlign(int, int, int, double*) { return 0.0f; }
float trel_TscoreAlign(int, int, int, double*) { return 0.0f; }
float getGscore(float) { return 0.0f; }
double d2_ptpt_inline(Point3D a, Point3D b) { return d2_ptpt(a, b); }
void biasScoreMatrix(int, int, _trel_align*, float, float, _trel_align_buf*) {}
void markupAlignFit(int, int, _trel_align*, _trel_seg*, _trel_seg*, _pdb_peptide*, _pdb_peptide*,
                    float, _trel_align_buf*) {}
