// Rigid moves of coefficient vectors.
#include "harmonics/zam_anlm_move.h"

#include <cmath>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_wigner.h"

namespace {

// Rotates n vectors by the rotation part of Q (f(r) becomes f(Q^-1 r)).
bool rotate(int N, int n, const Matrix3D& Q, const double* in, double* out) {
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  const int ok = zam_rm3_apply(N, n, &rec, in, out, euler_tf(Q));
  zam_rm3_free(&rec);
  return ok == 1;
}

}  // namespace

int zam_ligand_transform_anlm(int N, int n, const int* kinds, Matrix3D T, const double* in, double* out) {
  if (N < 1 || n < 1) return 1;
  const size_t size = static_cast<size_t>(anlm_size(N)) * static_cast<size_t>(n);
  const Point3D t{T.m[3], T.m[7], T.m[11]};
  const double d = std::sqrt(t.x * t.x + t.y * t.y + t.z * t.z);
  Matrix3D R = T;
  R.m[3] = R.m[7] = R.m[11] = 0.0;
  int I = 0, F = 0;
  tm_round(d, &I, &F);
  // A distance that rounds to nothing is no translation for the matrices
  // either: only the rotation is left.
  if (I == 0 && F == 0) return rotate(N, n, R, in, out) ? 1 : 0;

  // U takes z onto the direction of t; U^-1 takes t onto z.
  const double theta = std::acos(std::fmax(-1.0, std::fmin(1.0, t.z / d)));
  const double phi = std::atan2(t.y, t.x);
  const Matrix3D U = tf_tftf(tf_roty(theta), tf_rotz(phi));
  std::vector<double> a(size), b(size);
  std::vector<int> types(static_cast<size_t>(n), 1);
  if (kinds)
    for (int i = 0; i < n; i++) types[static_cast<size_t>(i)] = kinds[i];
  // f(R^-1 (r - t)): rotate, turn t onto z, translate by d, turn back.
  if (!rotate(N, n, R, in, a.data())) return 0;
  if (!rotate(N, n, tf_transpose(U), a.data(), b.data())) return 0;
  ZamTm3_struct tm3;
  zam_tm3_init(&tm3);
  const int moved = zam_tm3_apply(N, n, types.data(), &tm3, b.data(), a.data(), d);
  zam_tm3_free(&tm3);
  if (!moved) return 0;
  return rotate(N, n, U, a.data(), out) ? 1 : 0;
}
