// Rigid moves of coefficient vectors.
#include "harmonics/zam_ligand_move.h"

#include <vector>

#include "geometry/zam_frame.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_wigner.h"

namespace {

// The rotation that undoes the Euler rotation e.
Euler inverse(Euler e) { return e_make(-e.gamma, -e.beta, -e.alpha); }

// Rotates by first, translates by r along z, rotates by last, through two
// scratch vectors so that in and out may alias.
int rotate_shift_rotate(int N, int n_vec, const int* kinds, Euler first, double r, Euler last, const double* in,
                        double* out) {
  if (N < 1 || n_vec < 1) return 1;
  const size_t size = static_cast<size_t>(n_vec) * static_cast<size_t>(anlm_size(N));
  std::vector<double> a(size), b(size);
  ZamRm3_struct rm3;
  ZamTm3_struct tm3;
  zam_rm3_init(&rm3);
  zam_tm3_init(&tm3);
  int ok = zam_rm3_apply(N, n_vec, &rm3, in, a.data(), first);
  if (ok) ok = zam_tm3_apply(N, n_vec, kinds, &tm3, a.data(), b.data(), r);
  if (ok) ok = zam_rm3_apply(N, n_vec, &rm3, b.data(), out, last);
  zam_tm3_free(&tm3);
  zam_rm3_free(&rm3);
  return ok;
}

}  // namespace

int zam_ligand_move_anlm(int N, int n_vec, const int* kinds, double r12, Euler rec, Euler lig, const double* in,
                         double* out) {
  return rotate_shift_rotate(N, n_vec, kinds, lig, r12, inverse(rec), in, out);
}

int zam_ligand_transform_anlm(int N, int n_vec, const int* kinds, Matrix3D T, const double* in, double* out) {
  // T = first . Z(+r) . second, second acting first.
  Matrix3D first, second;
  double r = 0.0;
  rpzr_tf(&second, &r, &first, T);
  return rotate_shift_rotate(N, n_vec, kinds, euler_tf(second), r, euler_tf(first), in, out);
}
