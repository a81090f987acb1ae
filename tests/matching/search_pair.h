// What the search tests share: a shape-only correlation of two coefficient
// vectors as the search takes it, the transform a solution names, the
// direct scorer pointed at a pair, and the check that a search puts a
// turned and moved copy of ubiquitin back.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "common/sampled_shape.h"
#include "geometry/zam_transform.h"
#include "harmonics/zam_anlm.h"
#include "matching/sampled_shape.h"
#include "matching/zam_sixd.h"
#include "matching/zam_sixd_cpu.h"
#include "matching/zam_sixd_state.h"
#include "runtime/zam_thread.h"

namespace testutil {

// A shape-only correlation of order N: receptor second array scaled so that
// a perfect overlap scores -1000, ligand first array as it is.
struct Pair {
  std::vector<double> zero, rec, lig;
  int flag = 1;
  _docking_data data{};
  Pair(int N, const std::vector<double>& a, const std::vector<double>& b) : zero(a.size(), 0.0), rec(a), lig(b) {
    const double s = -1000.0 / (anlm_mag(N, a.data()) * anlm_mag(N, b.data()));
    for (double& x : rec) x *= s;
    data.n_terms = 1;
    data.term_flags = &flag;
    data.receptor_first = zero.data();
    data.receptor_second = rec.data();
    data.ligand_first = lig.data();
    data.ligand_second = zero.data();
  }
};

// The ligand rotation of a solution with its cyclic turn about y, if any.
inline Euler solution_ligand(const _solution& s) {
  if (!s.symmetry) return s.ligand_rotation;
  return euler_tf(tf_tftf(tf_euler(s.ligand_rotation), tf_euler(e_make(0.0, 2.0 * M_PI / s.symmetry, 0.0))));
}

// The transform that the solution says puts the ligand onto the receptor.
inline Matrix3D solution_tf(const _solution& s) {
  return tf_tftf(tf_tftf(tf_euler(solution_ligand(s)), tf_v(v_make(0.0, 0.0, s.r12))),
                 tf_transpose(tf_euler(s.receptor_rotation)));
}

// Points the direct pose scorer at a pair's vectors while it lives.
struct DirectScorer {
  int kind = 1;
  explicit DirectScorer(const Pair& p) {
    zam_sixd_state = {};
    zam_sixd_state.vec_types = &kind;
    zam_sixd_state.anlm_phi_base = p.data.receptor_first;
    zam_sixd_state.anlm_rho_base = p.data.receptor_second;
    zam_sixd_state.bnlm_phi_base = p.data.ligand_first;
    zam_sixd_state.bnlm_rho_base = p.data.ligand_second;
  }
  ~DirectScorer() { zam_sixd_state = {}; }
  DirectScorer(const DirectScorer&) = delete;
  DirectScorer& operator=(const DirectScorer&) = delete;
};

// The direct score of a solution's pose.
inline double direct_score(int N, const _solution& s) {
  return sixd_pose_score(N, 1, s.receptor_rotation, s.r12, solution_ligand(s));
}

// How far the transform moves the farthest-moved atom.
inline double farthest_move(const Matrix3D& t, const std::vector<Point3D>& atoms) {
  double worst = 0.0;
  for (const Point3D& a : atoms) {
    const Point3D b = pt_tfpt(t, a);
    worst = std::max(worst, std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z)));
  }
  return worst;
}

// Searches for a copy of ubiquitin moved by M and checks that the best
// solution puts it back: a score near the self match, a rotation within
// max_angle, every atom within max_move angstroms, and every stride-th kept
// pose scored by the search as the direct scorer scores it. Returns the
// best solution.
inline _solution expect_put_back(const Matrix3D& M, _docking_spec spec, const std::vector<Point3D>& atoms,
                                 const std::vector<double>& shape, double max_angle, double max_move, int stride,
                                 double tolerance) {
  std::vector<Point3D> moved;
  for (const Point3D& a : atoms) moved.push_back(pt_tfpt(M, a));
  Pair p(spec.order, shape, sampled_shape(moved, spec.order));
  std::vector<_solution> sols(spec.max_solutions);
  const int n = zam_sixd_search(&spec, &p.data, sols.data());
  EXPECT_GT(n, 0);
  if (n < 1) return _solution{};
  EXPECT_LT(sols[0].Etotal, -900.0);
  const Matrix3D back = tf_tftf(M, solution_tf(sols[0]));
  EXPECT_LT(rotation_angle(back), max_angle);
  EXPECT_LT(farthest_move(back, atoms), max_move);
  const DirectScorer scorer(p);
  double worst = 0.0;
  int at = -1;
  for (int i = 0; i < n; i += stride) {
    const double off = std::fabs(sols[i].Etotal - direct_score(spec.order, sols[i]));
    if (!(off <= worst)) {
      worst = off;
      at = i;
    }
  }
  EXPECT_LE(worst, tolerance) << "solution " << at;
  return sols[0];
}

// The same solutions, code for code and score for score, from a search on
// one worker thread and on three (the thread layer is left with three).
inline void expect_one_thread_equals_three(_docking_spec spec, _docking_data* data) {
  std::vector<_solution> one(spec.max_solutions), three(spec.max_solutions);
  zam_thread_setup(1);
  const int n1 = zam_sixd_search(&spec, data, one.data());
  zam_thread_setup(3);
  const int n3 = zam_sixd_search(&spec, data, three.data());
  ASSERT_EQ(n1, n3);
  for (int i = 0; i < n1; i++) {
    ASSERT_EQ(one[i].pose_code, three[i].pose_code) << i;
    ASSERT_EQ(one[i].Etotal, three[i].Etotal) << i;
  }
}

}  // namespace testutil
