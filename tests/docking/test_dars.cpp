// DARS contact terms on small hand-made molecules, with the shipped DARS
// table: the lattice offsets about an atom (343 at 1 angstrom, the
// strict 6 angstrom rule at 2), what each covering adds, cells at and
// beyond the grid's edges, and the delta functions against the basis
// functions at the typed atoms.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "docking/zam_coeff_sets.h"
#include "docking/zam_dars.h"
#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_legendre.h"
#include "harmonics/zam_radial.h"
#include "structure/zam_dars_data.h"
#include "structure/zam_pdb.h"

namespace {

std::string atomLine(int serial, const char* name, char alt, const char* res, int resnum, Point3D p) {
  char line[100];
  std::snprintf(line, sizeof line, "ATOM  %5d  %-3s%c%-3s A%4d    %8.3f%8.3f%8.3f  1.00  0.00           %c\n", serial,
                name, alt, res, resnum, p.x, p.y, p.z, name[0]);
  return line;
}

// A molecule of the given atom lines in store slot 0.
struct Small {
  testutil::TempDir dir;
  _pdb_image* image = nullptr;
  _molecule mol{};
  explicit Small(const std::string& atoms) {
    const std::string path = dir.file("small.pdb");
    testutil::write_file(path, atoms + "END\n");
    image = zam_readPdb(path.c_str(), nullptr);
    if (image) zam_load_pdb_molecule(&mol, 0, image, "small");
  }
  ~Small() {
    zam_free_molecule(&mol);
    zam_freePdb(image);
  }
  Small(const Small&) = delete;
  Small& operator=(const Small&) = delete;
};

struct Sampled {
  std::vector<unsigned char> flags;
  std::vector<double> psi;
  int marked = 0;
};

Sampled sample(_molecule* mol, int K, int n, double d, Point3D origin, unsigned char flag) {
  Sampled s;
  s.flags.assign(static_cast<size_t>(n * n * n), 0);
  s.psi.assign(static_cast<size_t>(n * n * n * K), 0.0);
  testutil::Capture quiet;
  zam_dars_psi(mol, 0, K, 99, n, d, origin, flag, s.flags.data(), s.psi.data());
  for (unsigned char f : s.flags) s.marked += f != 0;
  return s;
}

double w(int type, int c) { return 0.5 * zam_dars_eigenvalue(c) * zam_dars_component(type, c); }

class Dars : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testutil::Capture quiet;
    zam_open_dars_data((std::string(TREL_SOURCE_DIR) + "/data/dars_capri.dat").c_str());
  }
  static void TearDownTestSuite() { zam_close_dars_data(); }
};

TEST_F(Dars, OffsetsAboutOneAtom) {
  ASSERT_NE(w(4, 0), 0.0);
  Small one(atomLine(1, "CA", ' ', "ALA", 1, Point3D{5.0, -2.0, 7.0}));
  ASSERT_TRUE(one.mol.loaded);
  mol_select(0);
  mol_set_atom_ace(0, 4);
  const int K = 3;
  // At 1 angstrom the half-width is 3 and the whole cube is within reach.
  {
    const Sampled s = sample(&one.mol, K, 21, 1.0, Point3D{-10.5, -10.5, -10.5}, 16);
    EXPECT_EQ(s.marked, 343);
    const int corner = 13 + 21 * (13 + 21 * 13), beyond = 14 + 21 * (10 + 21 * 10);
    EXPECT_EQ(s.flags[corner], 16);
    EXPECT_EQ(s.flags[beyond], 0);
    for (int c = 0; c < K; c++)
      EXPECT_DOUBLE_EQ(s.psi[static_cast<size_t>(corner * K + c)], w(4, c));
  }
  // At 2 angstroms the half-width is 2: the corners (6.9) and the steps of
  // exactly 6 angstroms such as (2, 2, 1) are dropped, (2, 2, 0) is kept.
  {
    const Sampled s = sample(&one.mol, K, 11, 2.0, Point3D{-11.0, -11.0, -11.0}, 32);
    EXPECT_EQ(s.marked, 125 - 8 - 24);
    auto at = [&](int i, int j, int k) { return s.flags[5 + i + 11 * (5 + j + 11 * (5 + k))]; };
    EXPECT_EQ(at(2, 2, 0), 32);
    EXPECT_EQ(at(-2, 0, 2), 32);
    EXPECT_EQ(at(2, 2, 1), 0);
    EXPECT_EQ(at(-1, 2, -2), 0);
    EXPECT_EQ(at(2, -2, 2), 0);
  }
  // Against the grid's low edge: the atom 0.4 angstroms below the grid
  // marks only what lies inside (steps 1..3 along x: 3 of the 7 columns).
  {
    const Sampled s = sample(&one.mol, K, 10, 1.0, Point3D{0.4, -5.0, -5.0}, 16);
    int columns = 0;
    for (int i = 0; i < 10; i++) columns += s.flags[i + 10 * (5 + 10 * 5)] != 0;
    EXPECT_EQ(columns, 3);
    EXPECT_EQ(s.flags[0 + 10 * (5 + 10 * 5)], 16);  // floor(0.6) = 0
    EXPECT_EQ(s.flags[3 + 10 * (5 + 10 * 5)], 0);
  }
  // An atom without a contact type marks nothing.
  mol_select(0);
  mol_set_atom_ace(0, -1);
  EXPECT_EQ(sample(&one.mol, K, 21, 1.0, Point3D{-10.5, -10.5, -10.5}, 16).marked, 0);
}

TEST_F(Dars, CoveringsAddAndDeltasAtTheTypedAtoms) {
  const std::string atoms = atomLine(1, "N", ' ', "ALA", 1, Point3D{0.0, 0.0, 0.0}) +
                            atomLine(2, "CA", ' ', "ALA", 1, Point3D{1.0, 0.5, 0.0}) +
                            atomLine(3, "C", ' ', "ALA", 1, Point3D{2.0, 3.0, -1.0}) +
                            atomLine(4, "N", ' ', "GLY", 2, Point3D{-2.0, 1.0, 4.0}) +
                            atomLine(5, "CA", ' ', "GLY", 2, Point3D{-1.0, 2.0, 3.0});
  Small s(atoms);
  ASSERT_TRUE(s.mol.loaded);
  mol_select(0);
  const int types[5] = {1, 7, -1, 17, -1};
  ASSERT_EQ(s.image->natoms, 5);
  for (int i = 0; i < 5; i++) mol_set_atom_ace(i, types[i]);
  const Point3D centre = s.mol.models[0].centre;

  // Every covering adds: the cell of the model origin is covered by the
  // three typed atoms, each within 6 angstroms of it.
  const int K = 2, n = 31;
  const double d = 0.5, o = -n * d / 2;
  Sampled g = sample(&s.mol, K, n, d, Point3D{o, o, o}, 16);
  double want[K] = {0, 0};
  for (int i = 0; i < 5; i++)
    for (int c = 0; c < K && types[i] >= 0; c++) want[c] += w(types[i], c);
  const int centreCell = 15 + n * (15 + n * 15);
  // (each typed atom reaches the centre cell with exactly one of its offsets)
  for (int c = 0; c < K; c++) EXPECT_NEAR(g.psi[static_cast<size_t>(centreCell * K + c)], want[c], 1e-12);

  // Delta functions: the components at the typed atoms, no eigenvalue, no
  // half, added to blocks of the probe densities.
  const int N = 7, Nc = anlm_size(N);
  zam_pe_alloc(&s.mol, 0, N, K);
  s.mol.models[0].densities[0] = 1.0;
  {
    testutil::Capture said;
    zam_dars_del(&s.mol, 0, K, N);
    EXPECT_TRUE(said.has("DARS deltas to N = 7 for 3 samples")) << said.text;
  }
  const _pdb_atom* a = s.image->atoms;
  for (int c = 0; c < K; c++)
    for (int nn = 1; nn <= N; nn++)
      for (int l = 0; l < nn; l++)
        for (int m = -l; m <= l; m++) {
          double sum = c == 0 && nn == 1 ? 1.0 : 0.0;
          for (int i = 0; i < 5; i++) {
            if (types[i] < 0) continue;
            const PolarPoint p = pp_pt(Point3D{a[i].x - centre.x, a[i].y - centre.y, a[i].z - centre.z});
            sum += zam_dars_component(types[i], c) * hnl(nn, l, p.r) * ylm(l, m, p.theta, p.phi);
          }
          EXPECT_NEAR(s.mol.models[0].densities[c * Nc + anlm_index(nn, l, m)], sum, 1e-12 * (1 + std::fabs(sum)));
        }
}

}  // namespace
