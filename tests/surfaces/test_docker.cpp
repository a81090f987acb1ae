// Docking runs of real chains: a chain of the insulin dimer, turned and
// moved away by a known transform, docked back onto its partner by shape
// (its best-ranked pose within 5 angstroms, the kept solutions sorted), and
// the model pairs and starting orientations of an NMR ensemble docked
// against itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/docking_pair.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "docking/zam_docker.h"
#include "docking/zam_molecule.h"
#include "harmonics/zam_cache.h"
#include "runtime/zam_thread.h"
#include "structure/zam_pdb.h"
#include "surfaces/zam_dock_coeffs.h"

namespace {

using testutil::Chain;
using testutil::poseRms;
using testutil::shapeDocking;

// The translation matrices cached in a fresh folder and the thread layer
// set up, for a suite.
class Docker : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cache = new testutil::TempDir();
    setenv("ZAM_CACHE", cache->str().c_str(), 1);
    zam_cache_reset();
    zam_thread_setup(4);
  }
  static void TearDownTestSuite() {
    unsetenv("ZAM_CACHE");
    zam_cache_reset();
    delete cache;
  }
  static inline testutil::TempDir* cache = nullptr;
  testutil::TempDir dir;
};

TEST_F(Docker, InsulinChainDockedBack) {
  // Chain F of the insulin dimer, turned and moved away, docked onto chain E.
  const Matrix3D M = tf_tftf(tf_euler(e_make(2.1, 1.2, -0.7)), tf_v(v_make(14.0, -30.0, 8.0)));
  const std::string source = testutil::shared_pdb("king-probe/6ins.pdb1.gz");
  Chain R(dir, source, 'E', 0, tf_identity()), L(dir, source, 'F', 1, M), native(dir, source, 'F', 2, tf_identity());
  ASSERT_TRUE(R.mol.loaded && L.mol.loaded);
  _docking_spec spec = shapeDocking(16, 15.0, 10.0);
  _docking d{};
  std::string said;
  {
    testutil::Capture c;
    ASSERT_EQ(zam_coeffs(&spec, &R.mol, &L.mol), 1);
    zam_docker(&spec, &d, &R.mol, &L.mol);
    said = c.text;
  }
  ASSERT_EQ(d.n_kept, spec.max_solutions) << said;
  EXPECT_NE(said.find("Docking 1 pair of starting orientations...\n"), std::string::npos);
  EXPECT_NE(said.find("Saving top 50 orientations.\n"), std::string::npos);
  for (int k = 1; k < d.n_kept; k++) EXPECT_LE(d.solutions[k - 1].Etotal, d.solutions[k].Etotal) << k;
  EXPECT_EQ(d.solutions[0].receptor_model, 0);
  EXPECT_LT(poseRms(d.solutions[0], R, L, native.ca()), 5.0);
  zam_free_solutions(&d);
}

TEST_F(Docker, PairsOfModelsAndStartingOrientations) {
  zam_setPdbOneModel(0);
  _pdb_image* image = zam_readPdb(testutil::shared_pdb("emboss-test/1tos.pdb").c_str(), nullptr);
  zam_setPdbOneModel(1);
  ASSERT_NE(image, nullptr);
  _molecule R{}, L{};
  ASSERT_EQ(zam_load_pdb_molecule(&R, 0, image, "rec"), 1);
  ASSERT_EQ(zam_load_pdb_molecule(&L, 1, image, "lig"), 1);
  ASSERT_EQ(R.n_models, 3);
  _docking_spec spec = shapeDocking(6, 30.0, 30.0);
  spec.r12_range = 4.0;
  spec.r12_offset = 10.0;
  spec.max_solutions = 20;
  _docking d{};
  std::string said;
  {
    testutil::Capture c;
    zam_coeffs(&spec, &R, &L);
    zam_docker(&spec, &d, &R, &L);
    said = c.text;
  }
  EXPECT_NE(said.find("Docking 9 pairs of models...\n"), std::string::npos) << said;
  ASSERT_EQ(d.n_kept, 20);
  bool pairs[4][4] = {};
  for (int k = 0; k < d.n_kept; k++) {
    const _solution& s = d.solutions[k];
    if (k) {
      EXPECT_LE(d.solutions[k - 1].Etotal, s.Etotal);
    }
    ASSERT_TRUE(s.receptor_model >= 1 && s.receptor_model <= 3 && s.ligand_model >= 1 && s.ligand_model <= 3);
    pairs[s.receptor_model][s.ligand_model] = true;
  }
  // The models are alike: several pairs reach the top list.
  int distinct = 0;
  for (auto& row : pairs)
    for (bool b : row) distinct += b;
  EXPECT_GT(distinct, 1);

  // Starting orientations: the same model on both sides, pair by pair.
  R.model_kind = L.model_kind = 2;
  spec.problem_type = 3;
  {
    testutil::Capture c;
    zam_docker(&spec, &d, &R, &L);
    said = c.text;
  }
  EXPECT_NE(said.find("Docking 3 pairs of starting orientations...\n"), std::string::npos) << said;
  ASSERT_EQ(d.n_kept, 20);
  for (int k = 0; k < d.n_kept; k++) EXPECT_EQ(d.solutions[k].receptor_model, d.solutions[k].ligand_model);
  zam_free_solutions(&d);
  zam_free_molecule(&R);
  zam_free_molecule(&L);
  zam_freePdb(image);
}

}  // namespace
