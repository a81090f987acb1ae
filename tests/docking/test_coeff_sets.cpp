// Coefficient sets of docking models on ubiquitin: the charge density
// against sums made here from the structure's charged atoms, the potential
// against Poisson's equation, additions on a second call, allocation and
// copying between models, and the grid pair of a molecule without sampled
// energy points or probe types.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "docking/zam_coeff_sets.h"
#include "docking/zam_grid_probes.h"
#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "structure/zam_pdb.h"

namespace {

const std::string kUbq = std::string(TREL_SHARED_DATA) + "/pdb/freesasa/1ubq.pdb";

struct Ubiquitin {
  _pdb_image* image = zam_readPdb(kUbq.c_str(), nullptr);
  _molecule mol{};
  Ubiquitin() {
    if (image) zam_load_pdb_molecule(&mol, 0, image, "1ubq");
  }
  ~Ubiquitin() {
    zam_free_molecule(&mol);
    zam_freePdb(image);
  }
  Ubiquitin(const Ubiquitin&) = delete;
  Ubiquitin& operator=(const Ubiquitin&) = delete;
};

TEST(CoeffSets, ElectrostaticsOfUbiquitin) {
  Ubiquitin u;
  ASSERT_TRUE(u.mol.loaded);
  const int N = 16, K = anlm_size(N);
  const double R = 10.0;  // atoms beyond 20 angstroms are left out

  // The charged atoms in the model frame (about the centre), from the image.
  struct Charge {
    PolarPoint p;
    double q;
  };
  std::vector<Charge> charges;
  mol_select(u.mol.slot);
  const Point3D c = u.mol.models[0].centre;
  int beyond = 0;
  for (int i = 0; i < u.image->natoms; i++) {
    const _pdb_atom& a = u.image->atoms[i];
    const double q = mol_atom_charge(i);
    if (q == 0.0) continue;
    const PolarPoint p = pp_pt(Point3D{a.x - c.x, a.y - c.y, a.z - c.z});
    if (p.r > 2 * R) {
      beyond++;
      continue;
    }
    charges.push_back({p, q});
  }
  ASSERT_GT(charges.size(), 15u);
  ASSERT_GT(beyond, 0);

  zam_es_alloc(&u.mol, 0, N);
  {
    testutil::Capture said;
    zam_es_calc(&u.mol, 0, N, R);
    EXPECT_TRUE(said.has("Calculating electrostatics for molecule 1ubq.\n")) << said.text;
    EXPECT_TRUE(said.has("Charge density for molecule 1ubq to N = 16:  " + std::to_string(charges.size()) + " atoms"))
        << said.text;
  }
  const double* d = u.mol.models[0].charge;
  const double* v = u.mol.models[0].potential;
  for (int n = 1; n <= N; n++)
    for (int l = 0; l < n; l++)
      for (int m = -l; m <= l; m++) {
        double want = 0.0;
        for (const Charge& q : charges) want += q.q * tnl(n, l, q.p.r) * ylm(l, m, q.p.theta, q.p.phi);
        EXPECT_NEAR(d[anlm_index(n, l, m)], want, 1e-10 * (1 + std::fabs(want))) << n << " " << l << " " << m;
      }
  // Poisson's equation: the radial Laplacian of the potential is -4 pi
  // times 14.3998 times the density, degree by degree.
  double scale = 0.0;
  for (int k = 0; k < K; k++) scale = std::max(scale, std::fabs(v[k]));
  ASSERT_GT(scale, 0.0);
  for (int l = 0; l < N; l++)
    for (int m = -l; m <= l; m++)
      for (int n = l + 1; n <= N; n++) {
        double lap = 0.0;
        for (int j = l + 1; j <= N; j++) lap += tnjl(n, j, l) * v[anlm_index(j, l, m)];
        EXPECT_NEAR(lap, -4 * M_PI * 14.399765301595345 * d[anlm_index(n, l, m)], 1e-9 * scale) << n << l << m;
      }

  // A second call without a new allocation adds a second density; the
  // potential follows it.
  const std::vector<double> d1(d, d + K), v1(v, v + K);
  {
    testutil::Capture quiet;
    zam_es_calc(&u.mol, 0, N, R);
  }
  for (int k = 0; k < K; k++) {
    EXPECT_NEAR(d[k], 2 * d1[k], 1e-12 * (1 + std::fabs(d1[k])));
    EXPECT_NEAR(v[k], 2 * v1[k], 1e-9 * scale);
  }
  // The placement of the molecule is put back.
  mol_select(u.mol.slot);
  const Matrix3D t = mol_get_transform();
  EXPECT_EQ(t.m[3], 0.0);
  EXPECT_EQ(t.m[0], 1.0);
}

TEST(CoeffSets, AllocationCopyingAndTheGridPair) {
  zam_setPdbOneModel(0);
  _pdb_image* image = zam_readPdb((std::string(TREL_SHARED_DATA) + "/pdb/freesasa/1d3z.pdb.gz").c_str(), nullptr);
  zam_setPdbOneModel(1);
  ASSERT_NE(image, nullptr);
  _molecule mol{};
  ASSERT_EQ(zam_load_pdb_molecule(&mol, 1, image, "1d3z"), 1);
  ASSERT_EQ(mol.n_models, 10);
  const int N = 6, K = anlm_size(N);

  // Copying from a model without the pair says nothing and changes nothing.
  {
    testutil::Capture said;
    zam_skin_copy(&mol, 1, 2, N);
    zam_pe_copy(&mol, 1, 2, N, 3);
    EXPECT_EQ(said.text, "");
  }
  EXPECT_EQ(mol.models[2].skin, nullptr);

  zam_skin_alloc(&mol, 1, N);
  zam_pe_alloc(&mol, 1, N, 3);
  for (int k = 0; k < K; k++) {
    mol.models[1].skin[k] = k + 0.5;
    mol.models[1].shape[k] = -k;
  }
  for (int k = 0; k < 3 * K; k++) mol.models[1].energies[k] = 2 * k;
  mol.models[1].densities[3 * K - 1] = 9.0;
  zam_skin_alloc(&mol, 3, N);
  mol.models[3].skin[0] = 4.0;
  {
    testutil::Capture said;
    zam_skin_copy(&mol, 1, 3, N);
    zam_pe_copy(&mol, 1, 3, N, 3);
    zam_es_copy(&mol, 1, 3, N);  // model 1 has no electrostatics
    EXPECT_EQ(said.text,
              "Copying skin density coefficients from 1d3z-[1:1] to 1d3z-[3:3].\n"
              "Copying potential coefficients from 1d3z-[1:1] to 1d3z-[3:3].\n");
  }
  for (int k = 0; k < K; k++) {
    EXPECT_EQ(mol.models[3].skin[k], k + 0.5);
    EXPECT_EQ(mol.models[3].shape[k], -k);
  }
  for (int k = 0; k < 3 * K; k++) EXPECT_EQ(mol.models[3].energies[k], 2 * k);
  EXPECT_EQ(mol.models[3].densities[3 * K - 1], 9.0);
  EXPECT_EQ(mol.models[3].potential, nullptr);
  EXPECT_NE(mol.models[3].skin, mol.models[1].skin);  // a copy, not a share

  // A new allocation clears; a model out of range is left alone.
  zam_skin_alloc(&mol, 1, N);
  for (int k = 0; k < K; k++) EXPECT_EQ(mol.models[1].skin[k] + mol.models[1].shape[k], 0.0);
  zam_skin_alloc(&mol, 11, N);
  zam_es_calc(&mol, 11, N, 30.0);

  // No sampled energy points and no probe types: one line, and empty blocks.
  {
    testutil::Capture said;
    zam_pe_calc3(&mol, 2, N, 0.8, 40.0);
    EXPECT_EQ(said.text, "No grid energies found for molecule 1d3z-[2:2].\n");
    zam_gtau_calc3(&mol, 2, &mol, N);
    EXPECT_TRUE(said.has("Grid-specific densities to N = 6 (0 samples)")) << said.text;
  }
  ASSERT_NE(mol.models[2].densities, nullptr);
  for (int k = 0; k < 3 * K; k++) EXPECT_EQ(mol.models[2].densities[k], 0.0);

  EXPECT_STREQ(probe_name_to_opposite("N3+"), "O::");
  EXPECT_STREQ(probe_name_to_opposite("O::"), "N3+");
  EXPECT_STREQ(probe_name_to_opposite("DRY"), "DRY");
  EXPECT_STREQ(probe_name_to_opposite("C3"), "");

  zam_free_molecule(&mol);
  zam_freePdb(image);
}

}  // namespace
