// Docking atoms of a real model: which atoms are taken, their probe-grown
// radii and the extent, and the PDB-style text of the model read back by
// the structure reader in the model frame, with the placement put back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "docking/zam_docking_atoms.h"
#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "structure/zam_pdb.h"

namespace {

TEST(DockingAtoms, UbiquitinCountExtentAndText) {
  _pdb_image* image = zam_readPdb((std::string(TREL_SHARED_DATA) + "/pdb/freesasa/1ubq.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  _molecule mol;
  ASSERT_EQ(zam_load_pdb_molecule(&mol, 2, image, "1ubq"), 1);
  mol_select(mol.slot);
  const Matrix3D placed = tf_v(Point3D{5.0, 0.0, -1.0});
  mol_transform(placed);

  // Every atom of 1ubq is taken (no alternate locations, all have radii);
  // positions are in the model frame: the molecule's placement, then the
  // move of the atoms' centre to the origin.
  _docking_atoms* d = zam_docking_atoms_get(&mol, 0, 1.5, 1.4);
  ASSERT_EQ(d->count, image->natoms);
  Point3D centre{0, 0, 0};
  for (int i = 0; i < image->natoms; i++)
    centre = v_add(centre, Point3D{image->atoms[i].x, image->atoms[i].y, image->atoms[i].z});
  centre = v_lambdav(1.0 / image->natoms, centre);
  double extent = 0.0;
  int polar = 0;
  for (int i = 0; i < d->count; i++) {
    const _pdb_atom& a = image->atoms[i];
    const Point3D p = v_add(v_sub(Point3D{a.x, a.y, a.z}, centre), Point3D{5.0, 0.0, -1.0});
    EXPECT_NEAR(d_ptpt(p, d->positions[i]), 0.0, 1e-9);
    const bool is_polar = a.name[0] == 'N' || a.name[0] == 'O';
    polar += is_polar;
    EXPECT_FLOAT_EQ(d->expanded[i], static_cast<float>(d->radii[i] + (is_polar ? 1.4 : 1.5))) << a.name;
    extent = std::max(extent, mag_vector(p) + d->expanded[i]);
  }
  EXPECT_GT(polar, 100);
  EXPECT_NEAR(d->extent, extent + 3.0, 1e-4);
  zam_docking_atoms_free(d);
  EXPECT_EQ(mol_get_transform().m[3], placed.m[3]);

  // The model's atoms as text, read back: the same atoms in the model frame.
  testutil::TempDir dir;
  const std::string path = dir.str() + "/atoms.pdb";
  ASSERT_EQ(save_docking_atoms(path.c_str(), &mol, 0), 1);
  EXPECT_EQ(mol_get_transform().m[3], placed.m[3]);  // the writer puts the placement back
  _pdb_image* back = zam_readPdb(path.c_str(), nullptr);
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(back->natoms, image->natoms);
  for (int i = 0; i < back->natoms; i++) {
    const _pdb_atom &a = image->atoms[i], &b = back->atoms[i];
    EXPECT_STREQ(a.name, b.name);
    EXPECT_STREQ(a.resname, b.resname);
    EXPECT_STREQ(a.resnum, b.resnum);
    EXPECT_NEAR(b.x, a.x - centre.x + 5.0, 6e-4);
    EXPECT_NEAR(b.z, a.z - centre.z - 1.0, 6e-4);
    EXPECT_FLOAT_EQ(b.bfactor, a.bfactor);
  }
  zam_freePdb(back);

  // A folder that does not exist: reported, nothing written.
  testutil::Capture said;
  EXPECT_EQ(save_docking_atoms((dir.str() + "/no/such.pdb").c_str(), &mol, 0), 0);
  EXPECT_TRUE(said.has("Failed to write PDB file: ")) << said.text;

  // A model out of range takes nothing.
  d = zam_docking_atoms_get(&mol, 4, 1.5, 1.4);
  EXPECT_EQ(d->count, 0);
  EXPECT_FLOAT_EQ(d->extent, 3.0f);
  zam_docking_atoms_free(d);
  zam_free_molecule(&mol);
  zam_freePdb(image);
}

}  // namespace
