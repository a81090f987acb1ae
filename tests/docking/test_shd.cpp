// Sphere quadratures and shape descriptors: a constant integrates to
// a00 = sqrt(4 pi) on the pole and node roads, a degree-1 function to its
// own coefficients, and the channel record keeps its degrees, measures and
// rotations.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/log_capture.h"
#include "docking/zam_shd.h"
#include "geometry/zam_transform.h"
#include "harmonics/zam_legendre.h"
#include "matching/zam_mesh.h"

namespace {

TEST(Envelope, ConstantAndLinearFunctions) {
  testutil::Capture quiet;
  const double root4pi = std::sqrt(4.0 * M_PI);
  for (int order : {0, 3}) {  // 12 poles (over the poles), 162 poles (over the nodes)
    zam_open_mesh(order, 0.0, 1.0);
    const int P = zam_npoles(), M = zam_nnodes(), L = 5;
    std::vector<double> ones(P, 1.0), nodes(M, -7.0), a((L + 1) * (L + 1), 0.0), b(a.size(), 0.0);
    zam_envelope_integrate(L, ones.data(), nodes.data(), a.data());
    EXPECT_NEAR(a[0], root4pi, 1e-12) << order;
    if (order == 0) {
      for (size_t k = 1; k < a.size(); k++) EXPECT_NEAR(a[k], 0.0, 1e-12) << k;
      EXPECT_EQ(nodes[0], -7.0);  // over the poles the node values are not written
    } else {
      for (double v : nodes) EXPECT_DOUBLE_EQ(v, 1.0);
    }
    // Added to, not cleared; the paired form gives the same as two calls.
    zam_envelope_integrate(L, ones.data(), nodes.data(), a.data());
    EXPECT_NEAR(a[0], 2.0 * root4pi, 1e-12);
    std::vector<double> z(P), a2(a.size(), 0.0), b2(a.size(), 0.0);
    for (int i = 0; i < P; i++) z[i] = zam_pole(i).z;  // z = sqrt(4 pi / 3) y_10
    zam_envelope_integrate2(L, ones.data(), nodes.data(), z.data(), nodes.data(), a2.data(), b2.data());
    zam_envelope_integrate(L, z.data(), nodes.data(), b.data());
    EXPECT_EQ(b2, b);
    EXPECT_NEAR(b[2], std::sqrt(4.0 * M_PI / 3.0), 0.04);  // the quadrature of a coarse mesh
    std::vector<double> c(a.size());
    zam_shs_integrate(L, P, M, z.data(), c.data());
    EXPECT_EQ(c, b);
  }
}

TEST(ShapeDescriptor, ChannelsDegreesAndRotation) {
  _shd* shd = zam_shd_make(6);
  for (int ch = 0; ch < ZAM_SHD_CHANNELS; ch++) EXPECT_EQ(zam_shd_order(shd, ch), 6);
  std::vector<double> a(25);
  for (int k = 0; k < 25; k++) a[k] = 0.1 * (k + 1);
  a[0] = -2.0;
  zam_shd_set(shd, 2, 4, a.data());
  EXPECT_EQ(zam_shd_order(shd, 2), 4);
  EXPECT_DOUBLE_EQ(zam_shd_ri(shd, 2, 0), 2.0);
  EXPECT_DOUBLE_EQ(zam_shd_ri(shd, 2, 5), 0.0);
  EXPECT_DOUBLE_EQ(zam_shd_ri(shd, 2, 1), std::sqrt(0.04 + 0.09 + 0.16));
  double all = 0.0;
  for (double x : a) all += x * x;
  EXPECT_DOUBLE_EQ(zam_shd_mag(shd, 2, 9), std::sqrt(all));
  EXPECT_EQ(zam_shd_mag(shd, 2, -1), 0.0);
  // Rotating the degree-4 channel into degree 6: degrees 5 and 6 stay 0,
  // the invariants of each degree are kept.
  std::vector<double> out(49, 3.0);
  zam_shs_rotate(shd, 2, 6, 0.3, 1.1, -0.4, out.data());
  for (int k = 25; k < 49; k++) EXPECT_EQ(out[k], 0.0);
  for (int l = 0; l <= 4; l++) {
    double s = 0.0;
    for (int m = -l; m <= l; m++) s += out[l * l + l + m] * out[l * l + l + m];
    EXPECT_NEAR(std::sqrt(s), zam_shd_ri(shd, 2, l), 1e-12) << l;
  }
  // The rotated expansion at a direction is the original at the direction turned back.
  const Matrix3D R = tf_euler(e_make(0.3, 1.1, -0.4));
  const PolarPoint p = pp_pt(Point3D{0.3, -0.5, 0.8});
  const PolarPoint q = pp_pt(pt_tfpt(tf_transpose(R), Point3D{0.3, -0.5, 0.8}));
  EXPECT_NEAR(alm_value(6, out.data(), p.theta, p.phi), zam_shs_value(shd, 2, 6, q.theta, q.phi), 1e-12);
  zam_shd_reset(shd, -1);
  for (int ch = 0; ch < ZAM_SHD_CHANNELS; ch++) {
    EXPECT_EQ(zam_shd_order(shd, ch), -1);
    EXPECT_EQ(zam_shs_value(shd, ch, 6, 0.4, 0.2), 0.0);
  }
  zam_shd_free(shd);
}

}  // namespace
