// Docking settings and solution records: the library settings against their
// steps, the matching preset against the tool's, the score-scale rule, and the solution store's sizing,
// initial values and release (memory back where it was).
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>

#include "matching/zam_dock_spec.h"
#include "matching/zam_platonic.h"
#include "runtime/kids.h"
#include "runtime/zam_vm.h"

namespace {

// A settings record with every byte set, so that a field left alone shows.
_docking_spec marked() {
  _docking_spec s;
  std::memset(&s, 0, sizeof s);
  s.sym_phiA = 0.25;
  s.sym_phiB = 0.5;
  s.kb_channels = 7;
  s.kb_mode = 3;
  s.kb_value = 1.5;
  s.kb_flag = 9;
  s.score_threshold = -3.0;
  s.potential_scale = 2.5;
  return s;
}

// A rotamer list of k records, each with a coordinate buffer (the last one
// without), from the library allocator as the docking code makes them.
_rotamer* rotamers(int k) {
  _rotamer* head = nullptr;
  for (int i = 0; i < k; ++i) {
    auto* r = static_cast<_rotamer*>(kget1B_0(sizeof(_rotamer)));
    r->coords = i == 0 ? nullptr : kget1D(3 * 20);
    r->next = head;
    head = r;
  }
  return head;
}

}  // namespace

// The library's settings: the sample counts and band limits it states are
// those its own steps give, and the fields it does not set are left alone.
TEST(DockSpec, LibraryDefaultsAgreeWithTheirSteps) {
  _docking_spec s = marked();
  zam_setDockSpec(&s);
  _docking_spec derived = s;
  zam_dock_derive_samples(&derived);
  EXPECT_EQ(derived.receptor_samples, s.receptor_samples);
  EXPECT_EQ(derived.ligand_samples, s.ligand_samples);
  EXPECT_EQ(derived.twist_samples, s.twist_samples);
  EXPECT_EQ(derived.receptor_bandlimit, s.receptor_bandlimit);
  EXPECT_EQ(derived.ligand_bandlimit, s.ligand_bandlimit);
  EXPECT_EQ(derived.twist_bandlimit, s.twist_bandlimit);
  EXPECT_DOUBLE_EQ(s.sym_phiA, 0.25);
  EXPECT_DOUBLE_EQ(s.sym_phiB, 0.5);
  EXPECT_EQ(s.kb_channels, 7);
  EXPECT_EQ(s.kb_mode, 3);
  EXPECT_DOUBLE_EQ(s.kb_value, 1.5);
  EXPECT_EQ(s.kb_flag, 9);
}

// The matching preset samples as the tool does; it differs in having no
// symmetry, the library's potential cut-off and box sampling, and it keeps
// the caller's threshold and potential scale.
TEST(DockSpec, MatchingPresetSamplesAsTheTool) {
  _docking_spec tool = marked();
  setup_zam_options(&tool);
  _docking_spec s = marked();
  zam_setDockSpec(&s);
  s.score_threshold = -3.0;
  s.potential_scale = 2.5;
  zam_setMatchSpec(&s);
  EXPECT_EQ(s.max_solutions, tool.max_solutions);
  EXPECT_EQ(s.problem_type, tool.problem_type);
  EXPECT_EQ(s.scan_order, tool.scan_order);
  EXPECT_EQ(s.order, tool.order);
  EXPECT_EQ(s.fft_mode, tool.fft_mode);
  EXPECT_EQ(s.receptor_samples, tool.receptor_samples);
  EXPECT_EQ(s.ligand_samples, tool.ligand_samples);
  EXPECT_EQ(s.twist_samples, tool.twist_samples);
  EXPECT_EQ(s.receptor_bandlimit, tool.receptor_bandlimit);
  EXPECT_EQ(s.ligand_bandlimit, tool.ligand_bandlimit);
  EXPECT_EQ(s.twist_bandlimit, tool.twist_bandlimit);
  EXPECT_DOUBLE_EQ(s.receptor_step, tool.receptor_step);
  EXPECT_DOUBLE_EQ(s.ligand_step, tool.ligand_step);
  EXPECT_DOUBLE_EQ(s.twist_step, tool.twist_step);
  EXPECT_DOUBLE_EQ(s.r12_range, tool.r12_range);
  EXPECT_DOUBLE_EQ(s.ligand_weight_q, tool.ligand_weight_q);
  EXPECT_DOUBLE_EQ(s.receptor_shape_weight, tool.receptor_shape_weight);
  EXPECT_EQ(s.symmetry_min, 0);
  EXPECT_EQ(s.symmetry_max, 0);
  EXPECT_DOUBLE_EQ(s.omega_range, 0.0);
  EXPECT_DOUBLE_EQ(s.potential_cutoff, 60.0);
  EXPECT_EQ(s.box_mode, 1);
  EXPECT_DOUBLE_EQ(s.box_size, 6.0);
  EXPECT_DOUBLE_EQ(s.score_threshold, -3.0);
  EXPECT_DOUBLE_EQ(s.potential_scale, 2.5);
  EXPECT_DOUBLE_EQ(s.sym_phiA, 0.25);
  EXPECT_EQ(s.kb_channels, 7);
}

TEST(DockSpec, ScoreScaleZeroMeansOne) {
  _docking_spec s = marked();
  zam_setDockSpec(&s);
  EXPECT_DOUBLE_EQ(zam_dock_score_scale(&s), 1.0);
  s.score_scale = 0.0;
  EXPECT_DOUBLE_EQ(zam_dock_score_scale(&s), 1.0);
  s.score_scale = -2.5;
  EXPECT_DOUBLE_EQ(zam_dock_score_scale(&s), -2.5);
}

TEST(DockSpec, FieldOrder) {
  // The record's layout follows the table: spot checks along it.
  EXPECT_EQ(offsetof(_docking_spec, max_solutions), 0u);
  EXPECT_LT(offsetof(_docking_spec, twist_bandlimit), offsetof(_docking_spec, omega_range));
  EXPECT_LT(offsetof(_docking_spec, sym_phiB), offsetof(_docking_spec, score_scale));
  EXPECT_LT(offsetof(_docking_spec, piper_weight), offsetof(_docking_spec, kb_channels));
  EXPECT_LT(offsetof(_solution, pose_code), offsetof(_solution, Etotal));
  EXPECT_LT(offsetof(_solution, ligand_rotation), offsetof(_solution, bumps));
  EXPECT_EQ(offsetof(_rotamer, next), 0u);
}

TEST(Solutions, AllocateSizesAndInitialValues) {
  const int64_t before = zam_vm_total();
  _docking d{};
  zam_alloc_solutions(&d, 5);
  EXPECT_EQ(d.n_solutions, 5);
  EXPECT_EQ(d.n_kept, 0);
  EXPECT_EQ(d.n_clusters, 0);
  EXPECT_EQ(d.data, nullptr);
  ASSERT_NE(d.solutions, nullptr);
  EXPECT_GE(zam_vm_get_size(d.solutions), static_cast<int64_t>(5 * sizeof(_solution)));
  for (int i = 0; i < 5; ++i) {
    const _solution& s = d.solutions[i];
    EXPECT_EQ(s.receptor_model, 1);
    EXPECT_EQ(s.ligand_model, 1);
    EXPECT_EQ(s.bumps, -1);
    EXPECT_EQ(s.pose_code, 0);
    EXPECT_EQ(s.Etotal, 0.0f);
    EXPECT_EQ(s.rms, 0.0f);
    EXPECT_EQ(s.symmetry, 0);
    EXPECT_EQ(s.receptor_rotamers, nullptr);
    EXPECT_EQ(s.ligand_rotamers, nullptr);
    EXPECT_EQ(d.order[i], i);
    EXPECT_EQ(d.cluster[i], i);
    EXPECT_EQ(d.index[i], i);
  }
  zam_free_solutions(&d);
  EXPECT_EQ(zam_vm_total(), before);

  // A store of the tool's size: the solutions and three index arrays.
  zam_alloc_solutions(&d, 1000);
  EXPECT_EQ(d.n_solutions, 1000);
  EXPECT_EQ(d.order[999], 999);
  EXPECT_EQ(d.solutions[999].bumps, -1);
  const int64_t bytes = 1000 * static_cast<int64_t>(sizeof(_solution) + 3 * sizeof(int));
  EXPECT_GE(zam_vm_total() - before, bytes / 1024 - 1);
  d.n_kept = 3;
  d.n_clusters = 2;
  zam_free_solutions(&d);
  EXPECT_EQ(d.n_solutions, 0);
  EXPECT_EQ(d.n_kept, 0);
  EXPECT_EQ(d.n_clusters, 0);  // no count of clusters that are gone
  EXPECT_EQ(d.solutions, nullptr);
  EXPECT_EQ(d.order, nullptr);
  EXPECT_EQ(d.cluster, nullptr);
  EXPECT_EQ(d.index, nullptr);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(Solutions, ZeroSizedAndEmptyJobs) {
  const int64_t before = zam_vm_total();
  _docking d{};
  d.n_kept = 4;
  zam_free_solutions(&d);  // an empty job: only the counts change
  EXPECT_EQ(d.n_kept, 0);
  EXPECT_EQ(d.n_solutions, 0);
  EXPECT_EQ(d.solutions, nullptr);
  zam_free_solutions(nullptr);

  zam_alloc_solutions(&d, 0);
  EXPECT_EQ(d.n_solutions, 0);
  EXPECT_EQ(d.n_kept, 0);
  EXPECT_EQ(d.n_clusters, 0);
  ASSERT_NE(d.solutions, nullptr);
  EXPECT_EQ(zam_vm_get_size(d.solutions), 0);
  EXPECT_EQ(zam_vm_get_size(d.order), 0);
  zam_free_solutions(&d);
  zam_free_solutions(&d);  // twice is harmless
  EXPECT_EQ(d.solutions, nullptr);

  zam_alloc_solutions(&d, -3);
  EXPECT_EQ(d.n_solutions, 0);
  zam_free_solutions(&d);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(Solutions, ReallocationReleasesRotamersAndOldArrays) {
  const int64_t before = zam_vm_total();
  _docking d{};
  zam_alloc_solutions(&d, 4);
  d.solutions[0].receptor_rotamers = rotamers(3);
  d.solutions[0].ligand_rotamers = rotamers(1);
  d.solutions[3].ligand_rotamers = rotamers(2);
  d.n_kept = 4;
  d.n_clusters = 2;
  zam_alloc_solutions(&d, 7);
  EXPECT_EQ(d.n_solutions, 7);
  EXPECT_EQ(d.n_kept, 0);
  EXPECT_EQ(d.n_clusters, 0);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(d.solutions[i].receptor_rotamers, nullptr);
    EXPECT_EQ(d.solutions[i].ligand_rotamers, nullptr);
    EXPECT_EQ(d.solutions[i].bumps, -1);
    EXPECT_EQ(d.order[i], i);
  }
  d.solutions[6].receptor_rotamers = rotamers(2);
  zam_free_solutions(&d);
  EXPECT_EQ(zam_vm_total(), before);
}

TEST(DockSpec, ToolSettingsAndDerivedSamples) {
  _docking_spec s = marked();
  setup_zam_options(&s);
  // The tool's values where they differ from the library's, the rest kept.
  EXPECT_EQ(s.max_solutions, 1000);
  EXPECT_EQ(s.problem_type, 1);
  EXPECT_EQ(s.scan_order, 0);
  EXPECT_EQ(s.order, 10);
  EXPECT_EQ(s.receptor_samples, 162);
  EXPECT_EQ(s.ligand_samples, 492);
  EXPECT_EQ(s.twist_samples, 64);
  EXPECT_EQ(s.receptor_bandlimit, 12);
  EXPECT_EQ(s.ligand_bandlimit, 18);
  EXPECT_EQ(s.twist_bandlimit, 32);
  EXPECT_DOUBLE_EQ(s.receptor_step, 20.0);
  EXPECT_DOUBLE_EQ(s.ligand_step, 10.0);
  EXPECT_DOUBLE_EQ(s.twist_step, 5.6);
  EXPECT_DOUBLE_EQ(s.r12_range, 6.0);
  EXPECT_DOUBLE_EQ(s.potential_cutoff, 40.0);
  EXPECT_DOUBLE_EQ(s.potential_scale, 0.8);
  EXPECT_EQ(s.box_mode, 0);
  EXPECT_DOUBLE_EQ(s.box_size, 10.0);
  EXPECT_EQ(s.symmetry_min, 2);
  EXPECT_DOUBLE_EQ(s.ligand_weight_q, 12.0);

  zam_dock_derive_samples(&s);
  EXPECT_EQ(s.receptor_samples, 162);
  EXPECT_EQ(s.ligand_samples, 492);
  EXPECT_EQ(s.receptor_bandlimit, 9);
  EXPECT_EQ(s.ligand_bandlimit, 18);
  EXPECT_EQ(s.twist_bandlimit, 32);
  EXPECT_EQ(s.twist_samples, 64);
  // The library's steps: 7.5 degrees is 812 rotations and 24 exactly.
  zam_setDockSpec(&s);
  zam_dock_derive_samples(&s);
  EXPECT_EQ(s.receptor_samples, 812);
  EXPECT_EQ(s.receptor_bandlimit, 24);
  EXPECT_EQ(s.twist_bandlimit, 32);  // 5.5 degrees
  EXPECT_EQ(s.twist_samples, 64);
}

TEST(DockSpec, BandLimitOfAStep) {
  const double deg = M_PI / 180.0;
  EXPECT_EQ(zam_fft_bandlimit(5.6 * deg), 32);
  EXPECT_EQ(zam_fft_bandlimit(6.0 * deg), 30);
  EXPECT_EQ(zam_fft_bandlimit(30.0 * deg), 6);
  EXPECT_EQ(zam_fft_bandlimit(M_PI), 1);
  EXPECT_EQ(zam_fft_bandlimit(2.0 * M_PI), 1);
  EXPECT_EQ(zam_fft_bandlimit(0.0), 1);
  EXPECT_EQ(zam_fft_bandlimit(-0.1), 1);
  EXPECT_EQ(zam_fft_bandlimit(std::nan("")), 1);
  EXPECT_EQ(zam_fft_bandlimit(1e-9), 4096);
  // Whole ratios are not lost to rounding.
  for (int b = 1; b <= 400; ++b) ASSERT_EQ(zam_fft_bandlimit(M_PI / b), b);
}
