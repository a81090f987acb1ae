// The matcher and the tool's SPF superposition on ubiquitin's sampled shape:
// a self match scores 1 at the identity; a turned and shifted copy comes
// back onto the query in the units of the coefficients through the
// solution's transform; a target without shape gives no solution (and no
// NaN); a stop asked for leaves no solution; equal energies of two model
// pairs keep the earlier pair first; model ranges, names and the RMS rows.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/ca_atoms.h"
#include "common/log_capture.h"
#include "matching/sampled_shape.h"
#include "matching/trel_matcher.h"
#include "matching/zam_matcher.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

namespace {

constexpr int kOrder = 10;
constexpr double kDeg = M_PI / 180.0;

_docking_spec tool_spec(double range) {
  _docking_spec s = testutil::tool_rotation_spec(kOrder);
  s.r12_range = range;
  return s;
}

using testutil::rotation_angle;

using Matcher = testutil::UbiquitinShape<kOrder>;

TEST_F(Matcher, SelfMatchScoresOneAtIdentity) {
  _docking_spec spec = tool_spec(0.0);
  _docking d{};
  std::vector<double> q = shape, t = shape;
  trel_matcher("query", "target", q.data(), q.data(), t.data(), t.data(), 0, 3, &spec, &d);
  ASSERT_EQ(d.n_kept, 1000);
  EXPECT_NEAR(d.solutions[0].Etotal, 1.0, 1e-5);
  EXPECT_EQ(d.solutions[0].Eforce, 0.0f);
  EXPECT_LT(rotation_angle(trel_pdbMatrix(&d.solutions[0])), 1e-6);
  for (int i = 1; i < d.n_kept; i++) ASSERT_GE(d.solutions[i - 1].Etotal, d.solutions[i].Etotal);
  EXPECT_EQ(q, shape);  // the caller's arrays are left alone
  zam_free_solutions(&d);
}

TEST_F(Matcher, ShiftedCopyComesBackInCoefficientUnits) {
  // Coefficient units here are the atoms' own; class 0 reads them as 1.2
  // structure units, so the reported shift is divided by 1.2.
  const Matrix3D M = tf_tftf(tf_euler(e_make(-60 * kDeg, 100 * kDeg, 25 * kDeg)), tf_v(v_make(0.0, 0.0, 2.4)));
  std::vector<Point3D> moved;
  for (const Point3D& a : atoms) moved.push_back(pt_tfpt(M, a));
  std::vector<double> q = shape, t = testutil::sampled_shape(moved, kOrder);
  _docking_spec spec = tool_spec(6.0);
  _docking d{};
  trel_matcher("query", "target", q.data(), q.data(), t.data(), t.data(), 0, 0, &spec, &d);
  ASSERT_GT(d.n_kept, 0);
  EXPECT_GT(d.solutions[0].Etotal, 0.9);
  EXPECT_NEAR(d.solutions[0].r12, 2.4 / 1.2, 0.8 / 1.2 + 1e-6);
  const Matrix3D back = tf_tftf(M, trel_spfMatrix(0, trel_pdbMatrix(&d.solutions[0])));
  EXPECT_LT(rotation_angle(back), 10.0 * kDeg);
  for (const Point3D& a : atoms) {
    const Point3D b = pt_tfpt(back, a);
    ASSERT_LT(std::hypot(a.x - b.x, a.y - b.y, a.z - b.z), 3.0);
  }
  zam_free_solutions(&d);
}

int stop_now(int, double) { return 1; }

TEST_F(Matcher, NoShapeOrStopGivesNoSolution) {
  _docking_spec spec = tool_spec(0.0);
  _docking d{};
  std::vector<double> q = shape, empty(shape.size(), 0.0);
  {
    // At debug level 2 the library's messages reach the screen.
    zam_debug = 2;
    testutil::Capture log;
    trel_matcher("query", "empty", q.data(), q.data(), empty.data(), empty.data(), 0, 5, &spec, &d);
    zam_debug = 0;
    EXPECT_TRUE(log.has("have no length"));
    EXPECT_FALSE(log.has("nan"));
  }
  EXPECT_EQ(d.n_kept, 0);
  zam_progress_callback(stop_now);
  trel_matcher("query", "target", q.data(), q.data(), q.data(), q.data(), 0, 5, &spec, &d);
  zam_progress_callback(nullptr);
  EXPECT_EQ(d.n_kept, 0);
  zam_free_solutions(&d);
}

TEST_F(Matcher, EqualEnergiesKeepTheEarlierPairFirst) {
  std::vector<double> q = shape;
  _molecule_model models[3] = {};
  for (int k = 0; k < 3; k++) {
    models[k].id = k;
    models[k].shape = q.data();
  }
  char rname[] = "rec", lname[] = "lig";
  _molecule rec{1, rname, 1, 2, 0, models};
  _molecule lig{1, lname, 0, 0, 0, models};
  int first, last;
  zam_docking_model_range(&rec, &first, &last);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(last, 2);
  zam_docking_model_range(&lig, &first, &last);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, 0);
  EXPECT_STREQ(zam_model_name(&rec, 0), "rec-ALL");
  EXPECT_STREQ(zam_model_name(&rec, 2), "rec-[2:]");
  EXPECT_STREQ(zam_model_name(&lig, 0), "lig");
  _molecule none{};
  EXPECT_STREQ(zam_model_name(&none, 0), "N/A");

  _docking_spec spec = tool_spec(0.0);
  spec.max_solutions = 6;
  _docking d{};
  zam_matcher(&spec, &d, &rec, &lig);
  ASSERT_EQ(d.n_kept, 6);
  // Both pairs give the same energies: within each energy the first pair's come first.
  int seen[3] = {0, 0, 0};
  for (int i = 0; i < 6; i++) {
    seen[d.solutions[i].receptor_model]++;
    EXPECT_EQ(d.solutions[i].rms, -1.0f);
    if (i > 0 && d.solutions[i].Etotal == d.solutions[i - 1].Etotal) {
      EXPECT_LE(d.solutions[i - 1].receptor_model, d.solutions[i].receptor_model) << i;
    }
  }
  EXPECT_EQ(d.solutions[0].receptor_model, 1);
  EXPECT_EQ(seen[1], 3);
  EXPECT_EQ(seen[2], 3);
  zam_free_solutions(&d);

  EXPECT_EQ(print_match_rms(1, -1, -1, 0, 0, -1.0, -1), 0);
  EXPECT_EQ(print_match_rms(1, -1, -1, 0, 0, 4.0, -1), 1);
  EXPECT_EQ(print_match_rms(1, -1, -1, 0, 0, 6.0, -1), 1);
  EXPECT_EQ(print_match_rms(1, -1, -1, 0, 0, 6.01, -1), 0);
  _solution zero{};
  const Matrix3D I = trel_pdbMatrix(&zero);
  for (int k = 0; k < 12; k++) EXPECT_EQ(I.m[k], (k % 5 == 0) ? 1.0 : 0.0);
  Matrix3D T = tf_v(v_make(1.0, -2.0, 3.0));
  EXPECT_DOUBLE_EQ(trel_spfMatrix(0, T).m[7], -2.4);
  EXPECT_EQ(trel_spfMatrix(1, T).m[11], 3.0);
}

}  // namespace
