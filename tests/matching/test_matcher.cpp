// The matcher on ubiquitin's sampled shape: equal energies of two model
// pairs keep the earlier pair first; model ranges, names and the RMS rows.
#include <gtest/gtest.h>

#include <vector>

#include "matching/sampled_shape.h"
#include "matching/zam_matcher.h"

namespace {

constexpr int kOrder = 10;

using Matcher = testutil::UbiquitinShape<kOrder>;

TEST_F(Matcher, EqualEnergiesKeepTheEarlierPairFirst) {
  std::vector<double> q = shape;
  _molecule_model models[3] = {};
  for (int k = 0; k < 3; k++) {
    models[k].id = k;
    models[k].shape = q.data();
  }
  char rname[] = "rec", lname[] = "lig";
  auto molecule = [&](char* name, int kind, int n_models) {
    _molecule m{};
    m.loaded = 1;
    m.name = name;
    m.model_kind = kind;
    m.n_models = n_models;
    m.models = models;
    return m;
  };
  _molecule rec = molecule(rname, 1, 2), lig = molecule(lname, 0, 0);
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

  _docking_spec spec = testutil::tool_rotation_spec(kOrder);
  spec.r12_range = 0.0;
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
}

}  // namespace
