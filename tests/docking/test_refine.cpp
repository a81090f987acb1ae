// Comparison and re-scoring of docking models: the fits of an ensemble's
// models onto the first follow a known turn of one model; bump counts of
// poses against a count made here; the knowledge-based grids against the
// pair potential summed here.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "docking/zam_native.h"
#include "docking/zam_refine.h"
#include "docking/zam_tolva.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "structure/zam_pdb.h"

namespace {

std::string shared(const char* name) { return std::string(TREL_SHARED_DATA) + "/pdb/freesasa/" + name; }

TEST(NativePostdock, FitsFollowAKnownTurn) {
  zam_setPdbOneModel(0);
  _pdb_image* image = zam_readPdb(shared("1d3z.pdb.gz").c_str(), nullptr);
  zam_setPdbOneModel(1);
  ASSERT_NE(image, nullptr);
  testutil::Capture said;
  _molecule mol;
  ASSERT_EQ(zam_load_pdb_molecule(&mol, 0, image, "1d3z"), 1);
  zam_native_postdock(&mol);
  const Matrix3D before = mol.models[2].place[1];
  EXPECT_TRUE(said.has("Model 2 fitted onto model 1: RMSD ")) << said.text;
  zam_free_molecule(&mol);

  // Model 2 turned and moved: its new fit undoes the turn first.
  const Matrix3D turn = tf_tftf(tf_euler(e_make(0.4, 1.2, -2.0)), tf_v(Point3D{7.0, -3.0, 11.0}));
  int first = -1, last = -1;
  for (int i = 0; i < image->natoms; i++)
    if (image->atoms[i].model == 2) {
      if (first < 0) first = i;
      last = i;
      const Point3D p = pt_tfpt(turn, Point3D{image->atoms[i].x, image->atoms[i].y, image->atoms[i].z});
      image->atoms[i].x = p.x;
      image->atoms[i].y = p.y;
      image->atoms[i].z = p.z;
    }
  ASSERT_EQ(zam_load_pdb_molecule(&mol, 0, image, "1d3z"), 1);
  zam_native_postdock(&mol);
  const Matrix3D after = mol.models[2].place[1];
  EXPECT_EQ(mol.models[1].place[1].m[0], 1.0);
  const Point3D centre = mol.models[2].centre, old_centre = pt_tfpt(tf_inverse(turn), centre);
  for (int i = first; i <= last; i += 97) {
    const Point3D now = v_sub(mol_atom_basept(nullptr, i), centre);
    const Point3D was = v_sub(pt_tfpt(tf_inverse(turn), mol_atom_basept(nullptr, i)), old_centre);
    EXPECT_NEAR(d_ptpt(pt_tfpt(after, now), pt_tfpt(before, was)), 0.0, 1e-6) << i;
  }
  zam_free_molecule(&mol);
  zam_freePdb(image);
}

TEST(Refine, BumpCountsOfPoses) {
  _pdb_image* image = zam_readPdb(shared("1ubq.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  _molecule r, l;
  ASSERT_EQ(zam_load_pdb_molecule(&r, 0, image, "r"), 1);
  ASSERT_EQ(zam_load_pdb_molecule(&l, 1, image, "l"), 1);
  // Poses: the ligand on the receptor, shifted by 8 angstroms, and far away.
  _solution sols[3] = {};
  const double shifts[3] = {0.0, 8.0, 100.0};
  for (int s = 0; s < 3; s++) {
    sols[s].r12 = static_cast<float>(shifts[s]);
    sols[s].bumps = -1;
  }
  zam_refine(&r, &l, 0, 0, 1, 3, sols, 0.0, 0.0);
  for (int s = 0; s < 3; s++) {
    int expect = 0;
    for (int i = 0; i < image->natoms; i++)
      for (int j = 0; j < image->natoms; j++) {
        const _pdb_atom &a = image->atoms[i], &b = image->atoms[j];
        const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z + shifts[s] - b.z;
        expect += dx * dx + dy * dy + dz * dz < 9.0;
      }
    EXPECT_EQ(sols[s].bumps, std::min(expect, 32767)) << s;
  }
  EXPECT_EQ(sols[2].bumps, 0);
  testutil::Capture said;
  sols[0].bumps = -1;
  zam_refine(&r, &l, 0, 0, 3, 1, sols, 0.0, 0.0);
  EXPECT_TRUE(said.has("Refinement mode 3 is not available.")) << said.text;
  EXPECT_EQ(sols[0].bumps, -1);
  zam_free_molecule(&r);
  zam_free_molecule(&l);
  zam_freePdb(image);
}

TEST(KnowledgeBased, GridsOfThePairPotential) {
  _pdb_image* image = zam_readPdb(shared("1ubq.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  _molecule mol;
  ASSERT_EQ(zam_load_pdb_molecule(&mol, 0, image, "1ubq"), 1);
  const double h = 1.5;
  _kb_grid* pot = zam_kb_potential_grid(&mol, 0, 2, h);
  _kb_grid* den = zam_kb_density_grid(&mol, 0, 2, h);
  ASSERT_NE(pot, nullptr);
  ASSERT_NE(den, nullptr);
  EXPECT_EQ(pot->nx % 2, 1);
  EXPECT_DOUBLE_EQ(pot->origin.x, -(pot->nx - 1) / 2 * h);
  // Atoms about the centre, with their classes from the atom names.
  std::vector<Point3D> at;
  std::vector<int> cls;
  Point3D centre{0, 0, 0};
  for (int i = 0; i < image->natoms; i++) centre = v_add(centre, Point3D{image->atoms[i].x, image->atoms[i].y, image->atoms[i].z});
  centre = v_lambdav(1.0 / image->natoms, centre);
  int count[2] = {0, 0};
  for (int i = 0; i < image->natoms; i++) {
    const _pdb_atom& a = image->atoms[i];
    at.push_back(v_sub(Point3D{a.x, a.y, a.z}, centre));
    cls.push_back(a.name[0] == 'N' || a.name[0] == 'O');
    count[cls.back()]++;
  }
  const int n = pot->nx;
  const size_t nodes = static_cast<size_t>(n) * n * n;
  for (size_t q = 0; q < nodes; q += 211)
    for (int t = 0; t < 2; t++) {
      const Point3D x{pot->origin.x + (q % n) * h, pot->origin.y + (q / n % n) * h, pot->origin.z + q / n / n * h};
      double v = 0.0;
      for (size_t a = 0; a < at.size(); a++) v += zam_kb_pair(cls[a], t, d_ptpt(x, at[a]));
      EXPECT_NEAR(pot->values[t * nodes + q], v, 1e-4 * (1 + std::fabs(v))) << q << " " << t;
    }
  // The density of each class holds its atoms.
  const size_t dn = static_cast<size_t>(den->nx) * den->ny * den->nz;
  for (int t = 0; t < 2; t++) {
    double s = 0.0;
    for (size_t q = 0; q < dn; q++) s += den->values[t * dn + q];
    EXPECT_NEAR(s * h * h * h, count[t], 1e-3) << t;
  }
  EXPECT_EQ(zam_kb_pair(0, 0, 2.9), 1.0);
  EXPECT_EQ(zam_kb_pair(1, 0, 3.0), -0.25);
  EXPECT_EQ(zam_kb_pair(1, 1, 6.0), 0.0);
  zam_kb_grid_free(pot);
  zam_kb_grid_free(den);

  // The set-up's entries: the array of channels - 1 blocks, the expansions
  // of the grids. The density's expansion is close to that of a delta
  // function at each atom of its class (the spread over the nearest nodes
  // blurs it little at the basis functions' width).
  {
    testutil::Capture quiet;
    zam_kb_potential(&mol, &mol, 0, 0, 0, 0, 4, 3, 1.5, 1.4, 0.0, 0.0, &mol.surface, false);
    ASSERT_NE(mol.models[0].kb, nullptr);
    EXPECT_NE(mol.models[0].kb[0], 0.0);
    zam_kb_density(&mol, 0, 0, 0, 4, 3, 1.5, 1.4, 1.0, 0.0, &mol.surface, false);
  }
  const int Nc = anlm_size(4);
  for (int t = 0; t < 2; t++) {
    std::vector<double> want(Nc, 0.0);
    for (size_t a = 0; a < at.size(); a++) {
      if (cls[a] != t) continue;
      const PolarPoint p = pp_pt(at[a]);
      for (int n = 1; n <= 4; n++)
        for (int l = 0; l < n; l++)
          for (int m = -l; m <= l; m++) want[anlm_index(n, l, m)] += hnl(n, l, p.r) * ylm(l, m, p.theta, p.phi);
    }
    for (int k = 0; k < Nc; k++) EXPECT_NEAR(mol.models[0].kb[t * Nc + k], want[k], 0.02 * std::fabs(want[0])) << t << " " << k;
  }
  zam_kb_density(&mol, 1, 0, 0, 4, 3, 1.5, 1.4, 0.0, 0.0, &mol.surface, false);  // no such model: nothing
  zam_free_molecule(&mol);
  zam_freePdb(image);
}

}  // namespace
