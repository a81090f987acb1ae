// The layouts of the six-dimensional search through the library call, on
// ubiquitin's shape at order 6 against a copy turned about an axis through
// a point off the origin (a turn without screw, which the 4-D layout's
// poses hold too): each layout (fft_mode 1, 4, 5, 7, and 2, which has no
// CPU body) scores its kept poses as the direct scorer does (within 1e-4 of
// the -1000 of a perfect overlap), puts the copy back within one sampling
// step, and agrees there with the tool's layout. A coarse pass with its
// refinement, cyclic orders of the 4-D layout, one thread against three,
// and the fall-backs for a GPU and for box sampling. The direct layout
// (fft_mode 6), which scores every pose, on another structure.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/log_capture.h"
#include "matching/sampled_shape.h"
#include "matching/search_pair.h"
#include "matching/zam_sixd_store.h"

namespace {

constexpr int kOrder = 6;
constexpr double kDeg = M_PI / 180.0;
constexpr double kTolerance = 1e-4 * 1000.0;

using testutil::rotation_angle;
using testutil::solution_tf;

// The tool's rotation sampling at order 6, the ligand's angles in steps of
// 15 degrees, distances -0.8, 0 and 0.8. The 5-D layout's own receptor axes
// (12 x 12) are coarser than the receptor samples.
_docking_spec layout_spec(int mode) {
  _docking_spec s = testutil::tool_rotation_spec(kOrder);
  s.scan_order = 0;
  s.max_solutions = 1000;
  s.ligand_bandlimit = 12;
  s.r12_range = 1.6;
  s.fft_mode = mode;
  if (mode == 5) {
    s.receptor_bandlimit = 6;
    s.twist_samples = 32;
    s.twist_bandlimit = 16;
  }
  return s;
}

// A turn of Q about an axis through a point in the direction c, x -> Q (x -
// p) + p, that shifts the origin by 0.8 (a sampled distance).
Matrix3D turn_about(const Matrix3D& Q, Point3D c) {
  const Point3D q = pt_tfpt(Q, c);
  const double s = 0.8 / std::sqrt((c.x - q.x) * (c.x - q.x) + (c.y - q.y) * (c.y - q.y) + (c.z - q.z) * (c.z - q.z));
  const Point3D p = v_make(s * c.x, s * c.y, s * c.z);
  return tf_tftf(tf_tftf(tf_v(v_make(-p.x, -p.y, -p.z)), Q), tf_v(p));
}

// The angle and the farthest atom move between two transforms.
struct Apart {
  double angle, move;
};
Apart apart(const Matrix3D& a, const Matrix3D& b, const std::vector<Point3D>& atoms) {
  const Matrix3D d = tf_tftf(a, tf_inverse(b));
  return Apart{rotation_angle(d), testutil::farthest_move(d, atoms)};
}

using Layouts = testutil::UbiquitinShape<kOrder>;

TEST_F(Layouts, EveryLayoutScoresItsPosesDirectlyAndPutsTheCopyBack) {
  const Matrix3D M = turn_about(tf_euler(e_make(0.3, 0.9, -1.2)), v_make(1.5, -1.0, 0.5));
  _solution tool;
  {
    testutil::Capture quiet;
    tool = testutil::expect_put_back(M, layout_spec(3), atoms, shape, 12 * kDeg, 3.0, 1, kTolerance);
  }
  for (int mode : {1, 2, 4, 5, 7}) {
    SCOPED_TRACE(mode);
    testutil::Capture quiet;
    const _solution best = testutil::expect_put_back(M, layout_spec(mode), atoms, shape, 12 * kDeg, 3.0, 1, kTolerance);
    const Apart d = apart(solution_tf(best), solution_tf(tool), atoms);
    EXPECT_LT(d.angle, 12 * kDeg);
    EXPECT_LT(d.move, 3.0);
  }
}

// A coarse pass at order 4 on the first term, then the refinement at order
// 6: the 4-D layout's own (4R, its fourth angle kept) and the twist
// refinement of the 5-D layout's poses (their receptor angles taken to the
// nearest receptor sample).
TEST_F(Layouts, CoarsePassThenRefinement) {
  const Matrix3D M = turn_about(tf_euler(e_make(-1.0, 0.6, 0.4)), v_make(-1.0, 0.5, 1.5));
  for (int mode : {4, 5}) {
    SCOPED_TRACE(mode);
    _docking_spec spec = layout_spec(mode);
    spec.scan_order = 4;
    testutil::Capture said;
    testutil::expect_put_back(M, spec, atoms, shape, 12 * kDeg, 3.0, 1, kTolerance);
    EXPECT_TRUE(said.has("Refining ")) << said.text;
  }
}

// Cyclic orders 2 to 3 of the 4-D layout: a copy turned by half a turn
// about an axis off the origin is put back by a solution of order 2, whose
// turn about y is carried by the solution, not by its ligand rotation.
TEST_F(Layouts, CyclicOrdersOfTheFourDimensionalLayout) {
  const Matrix3D half = tf_tftf(tf_tftf(tf_transpose(tf_euler(e_make(0.5, 1.0, 0.2))), tf_euler(e_make(0, M_PI, 0))),
                                tf_euler(e_make(0.5, 1.0, 0.2)));
  const Matrix3D M = turn_about(half, v_make(0.8, 0.3, -0.4));
  _docking_spec spec = layout_spec(4);
  spec.symmetry = 1;
  spec.symmetry_min = 2;
  spec.symmetry_max = 3;
  testutil::Capture quiet;
  const _solution best = testutil::expect_put_back(M, spec, atoms, shape, 12 * kDeg, 3.0, 1, kTolerance);
  EXPECT_EQ(best.symmetry, 2);
  EXPECT_TRUE(quiet.has("x 2 cyclic orders x 64 twists")) << quiet.text;
}

// The same solutions, code for code and score for score, on one worker
// thread and on three.
TEST_F(Layouts, OneThreadEqualsThree) {
  std::vector<Point3D> moved;
  const Matrix3D M = turn_about(tf_euler(e_make(0.7, -0.5, 0.2)), v_make(0.5, 0.5, -1.0));
  for (const Point3D& a : atoms) moved.push_back(pt_tfpt(M, a));
  testutil::Pair p(kOrder, shape, testutil::sampled_shape(moved, kOrder));
  for (int mode : {1, 4, 5, 7}) {
    SCOPED_TRACE(mode);
    _docking_spec spec = layout_spec(mode);
    spec.receptor_samples = 42;
    spec.ligand_samples = 92;
    testutil::Capture quiet;
    testutil::expect_one_thread_equals_three(spec, &p.data);
  }
}

// The direct layout (fft_mode 6) on another structure, the Sm-like protein
// 1LJO: every pose of the samplings (each receptor sample at each distance,
// one sample at distance 0, against each ligand sample at each twist step)
// is scored, each as the direct scorer scores it, and the best puts a turned
// and moved copy back; one thread and three give the same solutions.
constexpr char kSmLikePdb[] = "python3-cogent3/1LJO.pdb";
using DirectLayout = testutil::StructureShape<kOrder, kSmLikePdb, 75>;

TEST_F(DirectLayout, ScoresEveryPoseDirectlyOnAnyThreadCount) {
  const Matrix3D M = turn_about(tf_euler(e_make(-0.8, 1.1, 0.5)), v_make(-0.5, 1.5, 1.0));
  _docking_spec spec = layout_spec(6);
  {
    testutil::Capture said;
    testutil::expect_put_back(M, spec, atoms, shape, 12 * kDeg, 3.0, 1, 1e-3);
    // Distances 0 and 0.8: (1 + 162) receptor samples x 492 x 64.
    EXPECT_TRUE(said.has("Done 5132544 orientations in ")) << said.text;
    EXPECT_FALSE(said.has("has no layout")) << said.text;
  }
  std::vector<Point3D> moved;
  for (const Point3D& a : atoms) moved.push_back(pt_tfpt(M, a));
  testutil::Pair p(kOrder, shape, testutil::sampled_shape(moved, kOrder));
  spec.receptor_samples = 42;
  spec.ligand_samples = 92;
  testutil::Capture quiet;
  // With a hand-over of one byte the workers wait for the consumer at
  // nearly every item; the poses stay those of one thread.
  const int64_t bound = sixd_hand_over_bound(1);
  testutil::expect_one_thread_equals_three(spec, &p.data);
  sixd_hand_over_bound(bound);

  // Poses past what can be laid out (1693 x 1692 x 4096) are refused before
  // anything runs, rather than ending the process when memory fails.
  spec.receptor_samples = spec.ligand_samples = 1692;
  spec.twist_samples = 4096;
  std::vector<_solution> none(spec.max_solutions);
  EXPECT_EQ(zam_sixd_search(&spec, &p.data, none.data()), -1);
  EXPECT_TRUE(quiet.has("The 6-D layout's 11733221376 poses are too many to lay out")) << quiet.text;

  // So are poses whose ligand samples times twist steps pass 2^31 (1692 x
  // 2^21): (1 + 42) x 1692 x 2^21 in all. Twist steps past the 16 bits of a
  // pose code are refused, however few the poses.
  spec.receptor_samples = 42;
  spec.twist_samples = 1 << 21;
  {
    testutil::Capture said;
    EXPECT_EQ(zam_sixd_search(&spec, &p.data, none.data()), -1);
    EXPECT_TRUE(said.has("The 6-D layout's 152580390912 poses are too many to lay out")) << said.text;
  }
  spec.receptor_samples = spec.ligand_samples = 12;
  spec.twist_samples = 65537;
  testutil::Capture said;
  EXPECT_EQ(zam_sixd_search(&spec, &p.data, none.data()), -1);
  EXPECT_TRUE(said.has("65537 twist steps are too many for its pose codes")) << said.text;
}

// No GPU exists: one asked for is reported with the memory the layout
// would take on it, and the CPU bodies run; the 2-D layout, GPU-only, gives
// way to the 1-D one (the same solutions); box sampling runs with the 3-D
// layout whatever layout is asked for, unless it is the 1-D one, which
// scores the box's poses directly too.
TEST_F(Layouts, FallBacksWithoutAGpuAndForBoxSampling) {
  testutil::Pair self(kOrder, shape, shape);
  _docking_spec spec = layout_spec(1);
  spec.r12_range = 0.0;
  std::vector<_solution> one(spec.max_solutions), two(spec.max_solutions);
  int n1;
  {
    testutil::Capture said;
    n1 = zam_sixd_search(&spec, &self.data, one.data());
    EXPECT_FALSE(said.has("GPU")) << said.text;
  }
  spec.fft_mode = 2;
  spec.gpu_devices = 1;
  {
    testutil::Capture said;
    ASSERT_EQ(zam_sixd_search(&spec, &self.data, two.data()), n1);
    EXPECT_TRUE(said.has("GPU support is not available: the search runs on the CPU.")) << said.text;
    EXPECT_TRUE(said.has("The 2-D layout runs only on a GPU; searching with the 1-D layout.")) << said.text;
    EXPECT_TRUE(said.has("On a GPU the 1-D layout would need about ")) << said.text;
  }
  for (int i = 0; i < n1; i++) ASSERT_EQ(one[i].pose_code, two[i].pose_code) << i;

  spec = layout_spec(5);
  spec.box_mode = 1;
  spec.box_size = 1.0;
  spec.r12_step = 1.0;
  testutil::Capture said;
  ASSERT_GT(zam_sixd_search(&spec, &self.data, one.data()), 0);
  EXPECT_TRUE(said.has("Box sampling runs with the 1-D and 3-D layouts; searching with the 3-D layout.")) << said.text;
  EXPECT_TRUE(said.has("Searching 27 box translations")) << said.text;
  EXPECT_NEAR(one[0].Etotal, -1000.0, 0.05);

  spec.fft_mode = 1;
  const int n = zam_sixd_search(&spec, &self.data, one.data());
  ASSERT_GT(n, 0);
  EXPECT_NEAR(one[0].Etotal, -1000.0, 0.05);
  EXPECT_LT(rotation_angle(solution_tf(one[0])), 1e-6);
  const testutil::DirectScorer scorer(self);
  for (int i = 0; i < n; i += 17) ASSERT_NEAR(one[i].Etotal, testutil::direct_score(kOrder, one[i]), kTolerance) << i;
}

}  // namespace
