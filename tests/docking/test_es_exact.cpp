// Exact electrostatics of ubiquitin: the potential profile along +z and the
// energy profile of two copies, line by line against Coulomb sums made here
// from the structure's own atoms and charges.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "docking/zam_es_exact.h"
#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "runtime/kids.h"
#include "structure/zam_pdb.h"

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(ExactElectrostatics, ProfilesAgainstDirectSums) {
  _pdb_image* image = zam_readPdb((std::string(TREL_SHARED_DATA) + "/pdb/freesasa/1ubq.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  _molecule a, b;
  ASSERT_EQ(zam_load_pdb_molecule(&a, 0, image, "a"), 1);
  ASSERT_EQ(zam_load_pdb_molecule(&b, 1, image, "b"), 1);

  // Charged atoms about the molecule's centre, from the image itself.
  struct Charge {
    Point3D p;
    double q;
  };
  std::vector<Charge> charges;
  Point3D centre{0, 0, 0};
  for (int i = 0; i < image->natoms; i++)
    centre = v_add(centre, Point3D{image->atoms[i].x, image->atoms[i].y, image->atoms[i].z});
  centre = v_lambdav(1.0 / image->natoms, centre);
  mol_select(a.slot);
  for (int i = 0; i < image->natoms; i++) {
    const _pdb_atom& t = image->atoms[i];
    if (mol_atom_charge(i) != 0.0f)
      charges.push_back({v_sub(Point3D{t.x, t.y, t.z}, centre), static_cast<double>(mol_atom_charge(i))});
  }
  ASSERT_GT(charges.size(), 20u);

  // Positions about the centre, after the molecule's own placement, which is put back.
  mol_select(b.slot);
  const Point3D t{3.0, -1.0, 2.0};
  mol_transform(tf_v(t));
  Point3D* pts = nullptr;
  EXPECT_EQ(zam_get_mol_pts(&b, &pts), image->natoms);
  for (int i = 0; i < image->natoms; i++) {
    const Point3D p = v_add(v_sub(Point3D{image->atoms[i].x, image->atoms[i].y, image->atoms[i].z}, centre), t);
    EXPECT_NEAR(d_ptpt(pts[i], p), 0.0, 1e-9);
  }
  kfree(pts);
  mol_select(b.slot);
  EXPECT_EQ(mol_get_transform().m[3], 3.0);
  mol_transform(tf_identity());

  {
    testutil::Capture said;
    zam_es_exact_potential(&a);
    const auto lines = linesOf(said.text);
    ASSERT_EQ(lines.size(), 84u) << said.text;  // heading, blank, 81 values, closing line
    EXPECT_EQ(lines[0], "Exact potentials along +z axis (Volts, Kr=1)...");
    for (int i = 0; i <= 80; i++) {
      double z, v;
      ASSERT_EQ(std::sscanf(lines[2 + i].c_str(), "%lf, %lf.", &z, &v), 2) << lines[2 + i];
      EXPECT_DOUBLE_EQ(z, 0.5 * i);
      double sum = 0.0;
      for (const Charge& c : charges) sum += c.q / d_ptpt(Point3D{0, 0, 0.5 * i}, c.p);
      EXPECT_NEAR(v, 14.399765301595345 * sum, 5.1e-5) << z;
    }
    EXPECT_EQ(lines.back().rfind("Calculated exact potentials over 602 atoms in ", 0), 0u) << lines.back();
  }
  {
    testutil::Capture said;
    const double separation = 32.0;
    zam_es_exact_energy(&a, &b, separation);
    const auto lines = linesOf(said.text);
    ASSERT_EQ(lines.size(), 360u);
    int in_window = 0;
    for (int k = 0; k < 360; k++) {
      int angle;
      double e;
      ASSERT_EQ(std::sscanf(lines[k].c_str(), "%d  %lf", &angle, &e), 2) << lines[k];
      EXPECT_EQ(angle, k - 180);
      const double c = std::cos(angle * M_PI / 180), s = std::sin(angle * M_PI / 180);
      double sum = 0.0;
      for (const Charge& i : charges)
        for (const Charge& j : charges) {
          const Point3D p{c * i.p.x - s * i.p.y, s * i.p.x + c * i.p.y, i.p.z + separation};
          const double d = d_ptpt(p, j.p);
          if (d >= 3.0 && d <= 40.0) {
            sum += i.q * j.q / d;
            in_window++;
          }
        }
      EXPECT_NEAR(e, 173.66959861085633 * sum, 5.1e-3 + 1e-6 * std::fabs(e)) << angle;
    }
    EXPECT_GT(in_window, 0);
  }
  zam_free_molecule(&a);
  zam_free_molecule(&b);
  zam_freePdb(image);
}

}  // namespace
