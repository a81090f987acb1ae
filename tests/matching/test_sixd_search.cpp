// The six-dimensional search on a sampled real structure (the C-alpha atoms
// of ubiquitin): matched against itself it scores -1000 at the start pose,
// whose energy is that score; a copy turned by a known rotation and moved
// along z is put back within one sampling step; every kept pose of the 3-D
// transform scores the same when scored directly (as does every pose of the
// coarse pass's twist refinement, of box sampling, and of the direct body
// run on worker threads); one worker thread and three give the same
// solutions; a stop asked for by the progress hook is reported as such.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/ca_atoms.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_cache.h"
#include "harmonics/zam_skin.h"
#include "matching/sampled_shape.h"
#include "matching/search_pair.h"
#include "matching/zam_sixd.h"
#include "matching/zam_sixd_cpu.h"
#include "matching/zam_distance_code.h"
#include "matching/zam_sixd_store.h"
#include "matching/zam_sixd_tables.h"
#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"

namespace {

constexpr int kOrder = 10;
constexpr double kDeg = M_PI / 180.0;

std::vector<double> sample(const std::vector<Point3D>& atoms) { return testutil::sampled_shape(atoms, kOrder); }

// The tool's settings for one search (one pass at order 10).
_docking_spec tool_spec() {
  _docking_spec s = testutil::tool_rotation_spec(kOrder);
  s.scan_order = 0;
  s.max_solutions = 1000;
  return s;
}

using testutil::DirectScorer;
using testutil::direct_score;
using testutil::expect_put_back;
using testutil::rotation_angle;
using testutil::solution_tf;

// A shape-only correlation at the tests' order.
struct Pair : testutil::Pair {
  Pair(const std::vector<double>& a, const std::vector<double>& b) : testutil::Pair(kOrder, a, b) {}
};

using SixdSearch = testutil::UbiquitinShape<kOrder>;

TEST_F(SixdSearch, SelfMatchScoresMinusThousandAtTheStart) {
  Pair p(shape, shape);
  _docking_spec spec = tool_spec();
  std::vector<_solution> sols(spec.max_solutions);
  const int n = zam_sixd_search(&spec, &p.data, sols.data());
  ASSERT_GT(n, 0);
  EXPECT_EQ(n, spec.max_solutions);
  EXPECT_NEAR(sols[0].Etotal, -1000.0, 0.05);
  EXPECT_EQ(sols[0].r12, 0.0f);
  EXPECT_LT(rotation_angle(solution_tf(sols[0])), 1e-6);
  for (int i = 1; i < n; i++) ASSERT_LE(sols[i - 1].Etotal, sols[i].Etotal);
  // The start pose's own energy is the score of its code.
  {
    const DirectScorer scorer(p);
    EXPECT_NEAR(get_start_energy(1, kOrder), sols[0].Etotal, 0.05);
    EXPECT_NEAR(get_start_energy(1, kOrder), -1000.0, 1e-6);
  }
}

TEST_F(SixdSearch, TurnedAndShiftedCopyIsPutBack) {
  // Move the atoms by M: a turn, then 1.6 along z.
  const Matrix3D M = tf_tftf(tf_euler(e_make(40 * kDeg, 70 * kDeg, -110 * kDeg)), tf_v(v_make(0.0, 0.0, 1.6)));
  // The solution composed with M leaves every atom within about one step.
  expect_put_back(M, tool_spec(), atoms, shape, 10.0 * kDeg, 3.0, 37, 1e-4 * 1000.0);
}

TEST_F(SixdSearch, OneThreadEqualsThree) {
  std::vector<Point3D> moved;
  const Matrix3D M = tf_euler(e_make(-20 * kDeg, 30 * kDeg, 15 * kDeg));
  for (const Point3D& a : atoms) moved.push_back(pt_tfpt(M, a));
  Pair p(shape, sample(moved));
  _docking_spec spec = tool_spec();
  spec.r12_range = 2.0;
  testutil::expect_one_thread_equals_three(spec, &p.data);
}

// A coarse pass at order 6 on the first term, then the twist refinement of
// its best poses at order 10: the start pose of a self match scores -1000,
// a turned and shifted copy is put back, and the refined scores are the
// direct ones.
TEST_F(SixdSearch, CoarsePassThenTwistRefinement) {
  _docking_spec spec = tool_spec();
  spec.scan_order = 6;
  std::vector<_solution> sols(spec.max_solutions);
  {
    Pair p(shape, shape);
    ASSERT_GT(zam_sixd_search(&spec, &p.data, sols.data()), 0);
    EXPECT_NEAR(sols[0].Etotal, -1000.0, 1e-3);
    EXPECT_LT(rotation_angle(solution_tf(sols[0])), 1e-6);
  }
  const Matrix3D M = tf_tftf(tf_euler(e_make(-75 * kDeg, 50 * kDeg, 130 * kDeg)), tf_v(v_make(0.0, 0.0, 0.8)));
  expect_put_back(M, spec, atoms, shape, 12.0 * kDeg, HUGE_VAL, 53, 1e-3);
}

// Box sampling: translations on a grid of 1 angstrom in a box of 6, each a
// shift along z between a rotation and its inverse. A copy turned and moved
// off the z axis is put back; the start (the box centre) of a self match
// scores -1000; the transform's scores are the direct ones.
TEST_F(SixdSearch, BoxSamplingFindsAnOffAxisShift) {
  _docking_spec spec = tool_spec();
  spec.box_mode = 1;
  spec.box_size = 6.0;
  spec.r12_step = 1.0;
  std::vector<_solution> sols(spec.max_solutions);
  {
    Pair p(shape, shape);
    ASSERT_GT(zam_sixd_search(&spec, &p.data, sols.data()), 0);
    EXPECT_NEAR(sols[0].Etotal, -1000.0, 0.05);
    EXPECT_LT(rotation_angle(solution_tf(sols[0])), 1e-6);
  }
  const Matrix3D M = tf_tftf(tf_euler(e_make(25 * kDeg, 60 * kDeg, -40 * kDeg)), tf_v(v_make(2.0, -1.0, 1.0)));
  expect_put_back(M, spec, atoms, shape, 10.0 * kDeg, 3.0, 41, 1e-4 * 1000.0);

  // A grid of 33^3 points has receptor samples past the last index a pose
  // code can name: the search refuses it before sampling anything.
  spec.box_size = 32.0;
  testutil::Capture said;
  Pair p(shape, shape);
  EXPECT_EQ(zam_sixd_search(&spec, &p.data, sols.data()), -1);
  EXPECT_TRUE(said.has("needs 35937 translations")) << said.text;
}

// The 5-D layout at order 10 scores its kept poses as the direct scorer does
// while every band limit reaches degree 9, silently; a ligand band limit of
// 8 cuts its sums (poses off by more than 0.1 of the -1000) and warns, once.
TEST_F(SixdSearch, FiveDimensionalLayoutWithinItsBandLimits) {
  const Matrix3D M = tf_tftf(tf_euler(e_make(0.3, 0.9, -1.2)), tf_v(v_make(0.0, 0.0, 0.8)));
  std::vector<Point3D> moved;
  for (const Point3D& a : atoms) moved.push_back(pt_tfpt(M, a));
  Pair p(shape, sample(moved));
  auto worst_off = [&](int receptor_band, int ligand_band) {
    _docking_spec spec = tool_spec();
    spec.fft_mode = 5;
    spec.r12_range = 1.6;
    spec.receptor_bandlimit = receptor_band;
    spec.ligand_bandlimit = ligand_band;
    std::vector<_solution> sols(spec.max_solutions);
    const int n = zam_sixd_search(&spec, &p.data, sols.data());
    const DirectScorer scorer(p);
    double off = n > 0 ? 0.0 : HUGE_VAL;
    for (int i = 0; i < n; i++) off = std::max(off, std::fabs(sols[i].Etotal - direct_score(kOrder, sols[i])));
    return off;
  };
  zam_wrn_once_reset();
  testutil::Capture said;
  EXPECT_LT(worst_off(9, 9), 0.1);
  EXPECT_FALSE(said.has("*Warning*")) << said.text;
  EXPECT_GT(worst_off(12, 8), 0.1);
  worst_off(6, 12);
  EXPECT_EQ(testutil::occurrences(said.text, "*Warning* zam_sixd_search: band limit 8 "), 1) << said.text;
  EXPECT_EQ(testutil::occurrences(said.text, "*Warning*"), 1) << said.text;
}

// The 6-D body on worker threads: poses of a receptor sample, a distance, a
// ligand sample and a twist step, each scored directly, come back through
// the consumer with their scores and one end marker per item.
TEST_F(SixdSearch, DirectBodyScoresEveryPoseOnThreads) {
  std::vector<Point3D> moved;
  const Matrix3D M = tf_euler(e_make(10 * kDeg, 35 * kDeg, -20 * kDeg));
  for (const Point3D& a : atoms) moved.push_back(pt_tfpt(M, a));
  Pair p(shape, sample(moved));
  int kind = 1;
  std::vector<Euler> rrot = {e_make(0, 0, 0), e_make(0, 0.7, 1.1), e_make(0, 2.0, -0.4)};
  std::vector<Euler> lrot = {e_make(0, 0, 0), e_make(0, 1.2, 0.3)};
  std::vector<int> ract = {0, 1, 2}, lact = {0, 1};
  _sixd_search_state& st = zam_sixd_state;
  st = {};
  st.N = kOrder;
  st.n_vec = 1;
  st.vec_types = &kind;
  st.anlm_phi_base = p.data.receptor_first;
  st.anlm_rho_base = p.data.receptor_second;
  st.bnlm_phi_base = p.data.ligand_first;
  st.bnlm_rho_base = p.data.ligand_second;
  st.rrot1 = rrot.data();
  st.lrot1 = lrot.data();
  st.ract2all = ract.data();
  st.lact2all = lact.data();
  st.n_ract = 3;
  st.n_lact = 2;  // the body reads the ligand turned to its samples from the rotation buffers
  st.score_threshold = 1e30f;  // keep every pose
  ASSERT_EQ(zam_fill_rot_buffers(3), 1);
  // Seven codes in three items of four places: holes fill the rest, so the
  // last item holds nothing but its end marker.
  std::vector<int64_t> codes;
  for (int r = 0; r < 3; r++)
    for (int l = 0; l < 2; l++) codes.push_back(sixd_code(zam_did_r12(0.8 * r), r, l, 5 * r + l));
  codes.push_back(sixd_code(zam_did_r12(1.6), 2, 1, 63));
  codes.resize(12, ZAM_SIXD_HOLE);
  ASSERT_EQ(alloc_soln(0), 1);
  _ZamProgress progress{3, 0, 3, 0};
  _sixd_consumer_arg consumer{3, 0.0, 0, 0};
  _sixd_worker w{};
  w.N = kOrder;
  w.n_vec = 1;
  w.dims[0] = 64;
  w.codes = codes.data();
  w.per_item = 4;
  w.progress = &progress;
  zam_thread_load_range(0, 2);
  ASSERT_EQ(zam_thread_start(136, 1, zam_sixd_consumer, &consumer), 1);
  std::vector<_sixd_worker> workers(2, w);
  for (int t = 0; t < 2; t++) ASSERT_EQ(zam_thread_start(t, 0, zam_run_6d_cpu_thread, &workers[t]), 1);
  show_sixd_progress(&progress);
  sixd_wait_workers(2);
  zam_thread_join(136);
  EXPECT_EQ(consumer.orientations, 7.0);
  int64_t* got = nullptr;
  float* scores = nullptr;
  ASSERT_EQ(fetch_soln(&got, &scores), 7);
  for (int i = 0; i < 7; i++) {
    Euler rec, lig;
    double R;
    sixd_pose_6d(got[i], &w, &rec, &R, &lig);
    EXPECT_NEAR(scores[i], sixd_pose_score(kOrder, 1, rec, R, lig), 1e-3) << i;
  }
  zam_vm_free(got);
  zam_vm_free(scores);
  free_rot_buffers();
  st = {};
}

int stop_now(int, double) { return 1; }

TEST_F(SixdSearch, StopOnRequestIsReported) {
  Pair p(shape, shape);
  _docking_spec spec = tool_spec();
  std::vector<_solution> sols(spec.max_solutions);
  zam_progress_callback(stop_now);
  EXPECT_EQ(zam_sixd_search(&spec, &p.data, sols.data()), -1);
  zam_progress_callback(nullptr);
  // Nothing is left behind: the next search runs as usual.
  spec.r12_range = 0.0;
  EXPECT_GT(zam_sixd_search(&spec, &p.data, sols.data()), 0);
}

}  // namespace
