// Canonical frame of a GTO expansion.
#include "harmonics/zam_canonical.h"

#include <cmath>
#include <utility>
#include <vector>

#include "geometry/zam_math.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_radial.h"
#include "harmonics/zam_wigner.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

namespace {

void tensor_of(int N, const double* a, int mode, double* t) {
  if (mode == 0)
    hnl_inertia(N, a, t);
  else
    hnl_quadrupole(N, a, t);
}

// Rotates w into r by the rotation part of A (the shape f(r) becomes f(A^-1 r)).
void rotate_by(int N, const double* w, double* r, const Matrix3D& A) {
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  zam_rm3_apply(N, 1, &rec, w, r, euler_tf(A));
  zam_rm3_free(&rec);
}

}  // namespace

_zam_canonical_frame zam_gto_canonical(int N, const double* a, int mode) {
  _zam_canonical_frame f{};
  f.N = N;
  const int K = anlm_size(N);
  const double M = hnl_monopole(N, a);
  std::vector<double> w(a, a + K), r(K);
  double t[9], V[9], e[3];
  tensor_of(N, w.data(), mode, t);
  mat_eigen_ql(3, t, V, e);
  // Eigenvector k sits at V[3k..3k+2]; as rows of A it takes axis k of the
  // shape onto coordinate axis k.
  Matrix3D A = tf_transpose(tf_mat33(V));
  if (std::fabs(det_tf(A) + 1.0) < 0.001)
    for (int i = 0; i < 12; i++) A.m[i] = -A.m[i];  // -A: proper, and still diagonalises
  if (std::fabs(det_tf(A) - 1.0) > 0.001) {
    zam_wrn("Non-orthogonal quadrupole rotation detected!! ... Using identity.\n");
    A = tf_identity();
  }
  if (zam_debug > 2) zam_msg("Unsorted eigenvalues: [%.6f,%.6f,%.6f]\n", e[0], e[1], e[2]);
  const double half_pi = 0.5 * M_PI;
  if (e[0] > e[2] || e[1] > e[2]) {
    if (e[0] > e[1]) {
      A = tf_tftf(A, tf_roty(half_pi));
      std::swap(e[0], e[2]);
    } else {
      A = tf_tftf(A, tf_rotx(half_pi));
      std::swap(e[1], e[2]);
    }
  }
  if (e[0] > e[1]) {
    A = tf_tftf(A, tf_rotz(half_pi));
    std::swap(e[0], e[1]);
  }
  rotate_by(N, w.data(), r.data(), A);
  if (zam_debug > 2) {
    zam_msg("Sorted eigenvalues:   [%.6f,%.6f,%.6f]\n", e[0], e[1], e[2]);
    double t2[9], V2[9], e2[3];
    tensor_of(N, r.data(), mode, t2);
    mat_eigen_ql(3, t2, V2, e2);
    zam_msg("Re-calculated eigenvalues: [%.6f,%.6f,%.6f]\n", e2[0], e2[1], e2[2]);
  }
  double o[8];
  hnl_octants(N, r.data(), o);
  // A half-turn composed after A, with the octant values it exchanges.
  auto half_turn = [&](const Matrix3D& rot, const int (&pairs)[4][2]) {
    A = tf_tftf(A, rot);
    for (const auto& p : pairs) std::swap(o[p[0]], o[p[1]]);
  };
  static const int about_y[4][2] = {{0, 5}, {1, 4}, {2, 7}, {3, 6}};
  static const int about_z[4][2] = {{0, 2}, {1, 3}, {4, 6}, {5, 7}};
  if (o[4] + o[5] > o[0] + o[1]) half_turn(tf_roty(M_PI), about_y);
  const double s = o[0] + o[1];
  if (o[2] + o[3] > s || o[6] + o[7] > s) {
    half_turn(tf_rotz(M_PI), about_z);
    if (o[4] + o[5] > o[0] + o[1]) half_turn(tf_roty(M_PI), about_y);
  }
  f.transform = A;
  f.monopole = M;
  for (int i = 0; i < 3; i++) f.eigen[i] = e[i];
  for (int i = 0; i < 8; i++) f.octant[i] = o[i];
  f.radii = Point3D{std::sqrt(std::fabs(e[0]) / M), std::sqrt(std::fabs(e[1]) / M), std::sqrt(std::fabs(e[2]) / M)};
  return f;
}
