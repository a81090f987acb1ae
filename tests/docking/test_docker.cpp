// The docking driver's parts that need no search: the score table's rows
// and its 200-row limit (a notice only when solutions follow), the merged top list (ties keep the older entry),
// and the correlation inputs of each score type.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log_capture.h"
#include "docking/zam_docker.h"
#include "harmonics/zam_anlm.h"
#include "matching/zam_sixd.h"

namespace {

std::vector<std::string> rowsOf(const std::string& text) {
  std::vector<std::string> rows;
  for (const std::string& line : testutil::split_lines(text))
    if (!line.empty()) rows.push_back(line);
  return rows;
}

TEST(DockerTable, RowsLabelsAndTheRowLimit) {
  {
    testutil::Capture said;
    EXPECT_EQ(print_score_rms(7, -12.5, -10.25, 1.0, 0.0, 3.5, 12, 0), 1);
    EXPECT_EQ(print_score_rms(8, -1.0, -1.0, 0.0, 0.0, 4.5, 1000, 0), 1);
    EXPECT_EQ(print_score_rms(9, 250000.0, 1.0, 0.0, 0.0, 10.0, -1, 3), 1);
    EXPECT_EQ(print_score_rms(10, 1.0, 1.0, 0.0, 0.0, 10.5, 3, 0), 0);
    EXPECT_EQ(print_score_rms(11, 1.0, 1.0, 0.0, 0.0, -1.0, 3, 0), 0);
    EXPECT_EQ(print_score_rms(12, 1.0, 1.0, 0.0, 0.0, 0.0, -1, 0), 1);
    EXPECT_EQ(said.text,
              "     7     -12.50    -10.25      1.00      0.00   3.50               12\n"
              "     8      -1.00     -1.00      0.00      0.00         4.50        999\n"
              "     9   2.50e+05  1.00e+00  0.00e+00  0.00e+00              10.00  C3\n"
              "    12       1.00      1.00      0.00      0.00   0.00                ?\n");
  }
  // 201 rows to show among others without a deviation in range: 200 and the notice.
  std::vector<_solution> sols(260);
  for (size_t i = 0; i < sols.size(); i++) {
    sols[i] = _solution{};
    sols[i].bumps = -1;
    sols[i].rms = i % 5 == 4 ? (i % 2 ? 12.0f : -1.0f) : 1.0f;
  }
  int shown = 0;
  for (const _solution& s : sols) shown += s.rms >= 0.0f && s.rms <= 10.0f;
  ASSERT_EQ(shown, 208);
  sols.resize(251);  // 201 rows within range
  testutil::Capture said;
  zam_print_scores(static_cast<int>(sols.size()), sols.data(), nullptr, true);
  const auto rows = rowsOf(said.text);
  ASSERT_EQ(rows.size(), 201u);
  EXPECT_EQ(rows[200], "         <<Output suppressed for solutions 250 to 251>>");
  EXPECT_EQ(rows[199].substr(0, 6), "   249");
  // Exactly 200 solutions, all shown: no notice; one more: the notice names it alone.
  std::vector<_solution> all(201, sols[0]);
  for (int n : {200, 201}) {
    testutil::Capture c;
    zam_print_scores(n, all.data(), nullptr, true);
    const auto shown_rows = rowsOf(c.text);
    ASSERT_EQ(shown_rows.size(), n == 200 ? 200u : 201u) << n;
    if (n == 201) {
      EXPECT_EQ(shown_rows[200], "         <<Output suppressed for solutions 201 to 201>>");
    }
  }
}

_solution withEnergy(float e, int tag) {
  _solution s{};
  s.Etotal = e;
  s.bumps = static_cast<int16_t>(tag);
  return s;
}

TEST(DockerTopList, MergesByEnergyOlderFirstOnTies) {
  alloc_top(3);
  std::vector<_solution> fresh = {withEnergy(4, 0), withEnergy(-2, 1), withEnergy(7, 2), withEnergy(-9, 3), withEnergy(1, 4)};
  const std::vector<int> order = {3, 1, 4, 0, 2};
  merge_top(3, 5, fresh.data(), order.data());
  int n = 0;
  const _solution* top = zam_top_solutions(&n);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(top[0].bumps, 3);
  EXPECT_EQ(top[1].bumps, 1);
  EXPECT_EQ(top[2].bumps, 4);
  // Equal energies: the entries already held stay ahead of the new ones.
  std::vector<_solution> again = {withEnergy(-9, 10), withEnergy(-2, 11)};
  const std::vector<int> in_order = {0, 1};
  merge_top(4, 2, again.data(), in_order.data());
  top = zam_top_solutions(&n);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(top[0].bumps, 3);
  EXPECT_EQ(top[1].bumps, 10);
  EXPECT_EQ(top[2].bumps, 1);
  EXPECT_EQ(top[3].bumps, 11);
  alloc_top(2);
  zam_top_solutions(&n);
  EXPECT_EQ(n, 0);
}

// Two one-model molecules whose arrays hold known values: element k of an
// array of kind c is base + c + k / 1000 (base 100 for the receptor, 200
// for the ligand), blocks counted on in k.
struct Fake {
  static constexpr int N = 3;
  _molecule mol{};
  _molecule_model model{};
  std::vector<std::vector<double>> store;
  explicit Fake(double base) {
    const int K = anlm_size(N);
    double** arrays[] = {&model.skin, &model.shape, &model.potential, &model.charge, &model.energies, &model.densities, &model.kb};
    for (int c = 0; c < 7; c++) {
      store.emplace_back(8 * K);
      for (int k = 0; k < 8 * K; k++) store.back()[k] = base + c + k / 1000.0;
      *arrays[c] = store.back().data();
    }
    mol.loaded = 1;
    mol.name = const_cast<char*>("fake");
    mol.models = &model;
    model.typed_order = model.kb_order = N;
  }
  double at(int kind, int k) const { return store[kind][k]; }
};

TEST(DockerData, TermsOfEachScoreType) {
  Fake r(100), l(200);
  _docking_spec spec{};
  zam_setDockSpec(&spec);
  spec.order = Fake::N;
  const int K = anlm_size(Fake::N);
  const double W = -0.7, Q = 12.0;
  spec.ligand_weight_p = 0.5;
  spec.elec_weight = 2.0;
  for (int type : {0, 1, 3, 4, 7, 9}) {
    SCOPED_TRACE(type);
    spec.score_type = type;
    spec.kb_channels = 5;
    for (Fake* f : {&r, &l}) {
      f->model.typed_blocks = type == 4 ? 3 : 6;
      f->model.kb_blocks = 4;
    }
    std::string said;
    _docking_data* d;
    {
      testutil::Capture c;
      d = zam_setDockData(&spec, &r.mol, &l.mol, 0, 0, 1);
      said = c.text;
    }
    ASSERT_NE(d, nullptr);
    const int terms[] = {1, 2, 0, 8, 4, 0, 0, 2, 0, 1};
    EXPECT_EQ(d->n_terms, terms[type]);
    if (type != 7) {
      for (int k = 0; k < K; k++) {
        EXPECT_DOUBLE_EQ(d->receptor_first[k], W * r.at(0, k));
        EXPECT_DOUBLE_EQ(d->receptor_second[k], W * r.at(1, k));
        EXPECT_DOUBLE_EQ(d->ligand_first[k], l.at(0, k) - Q * l.at(1, k));
        EXPECT_DOUBLE_EQ(d->ligand_second[k], l.at(1, k) - 0.5 * l.at(0, k));
      }
      EXPECT_EQ(d->term_flags[0], 1);
    }
    if (type == 1 || type == 3) {
      const int e = d->n_terms - 1;
      EXPECT_EQ(d->term_flags[e], 0);
      EXPECT_DOUBLE_EQ(d->receptor_first[e * K + 5], 2.0 * 6.0302926809374995 * r.at(2, 5));
      EXPECT_DOUBLE_EQ(d->receptor_second[e * K + 5], 2.0 * 6.0302926809374995 * r.at(3, 5));
      EXPECT_DOUBLE_EQ(d->ligand_first[e * K + 5], l.at(2, 5));
      EXPECT_DOUBLE_EQ(d->ligand_second[e * K + 5], l.at(3, 5));
    }
    if (type == 3) {
      // Six DARS terms from the grid energies (potentials) and probe densities (deltas), block by block.
      EXPECT_EQ(d->term_flags[6], 1);
      EXPECT_DOUBLE_EQ(d->receptor_first[6 * K + 2], r.at(4, 5 * K + 2));
      EXPECT_DOUBLE_EQ(d->ligand_second[1 * K], l.at(5, 0));
      EXPECT_TRUE(said.find("Setting up shape + DARS + electrostatic correlation.") != std::string::npos) << said;
    }
    if (type == 4) {
      EXPECT_DOUBLE_EQ(d->receptor_first[3 * K + 1], 0.3 * r.at(4, 2 * K + 1));
      EXPECT_DOUBLE_EQ(d->receptor_second[3 * K + 1], r.at(5, 2 * K + 1));
      EXPECT_DOUBLE_EQ(d->ligand_first[K], l.at(4, 0));
    }
    if (type == 7) {
      // Four knowledge-based blocks: the first two against the ligand's first two, the last two against its last two.
      EXPECT_DOUBLE_EQ(d->receptor_first[K + 3], r.at(6, K + 3));
      EXPECT_DOUBLE_EQ(d->receptor_second[K + 3], r.at(6, 3 * K + 3));
      EXPECT_DOUBLE_EQ(d->ligand_second[3], l.at(6, 3));
      EXPECT_DOUBLE_EQ(d->ligand_first[3], l.at(6, 2 * K + 3));
      EXPECT_EQ(d->term_flags[1], 1);
    }
    if (type == 9) {
      EXPECT_TRUE(said.find("JET2") != std::string::npos) << said;
    }
    zam_freeDockData(d);
  }
  // Knowledge-based types without three channels are refused; so is a missing model.
  spec.score_type = 8;
  spec.kb_channels = 2;
  testutil::Capture said;
  EXPECT_EQ(zam_setDockData(&spec, &r.mol, &l.mol, 0, 0, 0), nullptr);
  EXPECT_TRUE(said.has("needs at least three channels")) << said.text;
  spec.score_type = 0;
  EXPECT_EQ(zam_setDockData(&spec, &r.mol, &l.mol, 0, 1, 0), nullptr);
  // A missing array leaves its term 0 and says so.
  r.model.charge = nullptr;
  spec.score_type = 1;
  _docking_data* d = zam_setDockData(&spec, &r.mol, &l.mol, 0, 0, 0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->receptor_second[K], 0.0);
  EXPECT_TRUE(said.has("The electrostatic coefficients of the receptor are missing: that term scores 0.")) << said.text;
  zam_freeDockData(d);
  // A receptor's GRID set (3 blocks) is not read as its 6 DARS blocks; the ligand's DARS set is.
  r.model.typed_blocks = 3;
  l.model.typed_blocks = 6;
  spec.score_type = 2;
  d = zam_setDockData(&spec, &r.mol, &l.mol, 0, 0, 0);
  ASSERT_NE(d, nullptr);
  for (int k = K; k < 7 * K; k++) EXPECT_EQ(d->receptor_first[k], 0.0) << k;
  EXPECT_EQ(d->ligand_first[6 * K + 1], l.at(4, 5 * K + 1));
  EXPECT_TRUE(said.has("The DARS coefficients of the receptor were made for another score type or order")) << said.text;
  zam_freeDockData(d);
}

}  // namespace
