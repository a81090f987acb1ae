// Docking molecules from a real structure: the atom store's counts,
// charges, radii and bonds, its queries at bad indices, and the model
// table with its placement.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "common/log_capture.h"
#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "structure/zam_pdb.h"

namespace {

const std::string kUbq = std::string(TREL_SHARED_DATA) + "/pdb/freesasa/1ubq.pdb";

TEST(DockingMolecule, AtomStoreOfUbiquitin) {
  _pdb_image* image = zam_readPdb(kUbq.c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  _molecule mol;
  ASSERT_EQ(zam_load_pdb_molecule(&mol, 1, image, "1ubq"), 1);
  EXPECT_EQ(mol.model_kind, 0);
  EXPECT_EQ(mol.n_models, 0);
  mol_select(mol.slot);
  int chains, residues, atoms, other;
  mol_structure(&chains, &residues, &atoms, &other);
  EXPECT_EQ(chains, 1);
  EXPECT_EQ(residues, 76);
  EXPECT_EQ(atoms, image->natoms);
  EXPECT_EQ(other, image->nhetatms);  // the waters stay out
  char name[8], label[8] = "keep";
  int nres, natoms, heavy;
  mol_chain(1, name, &nres, &natoms, &heavy);
  EXPECT_STREQ(name, "A");
  EXPECT_EQ(nres, 76);
  EXPECT_EQ(natoms, atoms);
  EXPECT_EQ(heavy, atoms);  // the reader drops hydrogens
  mol_chain(2, name, &nres, &natoms, &heavy);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(nres + natoms + heavy, 0);
  int first, last;
  mol_resnum_info(1, 76, name, label, &first, &last);
  EXPECT_STREQ(name, "GLY");
  EXPECT_STREQ(label, "76");
  EXPECT_EQ(last, atoms - 1);
  mol_resnum_info(1, 77, name, label, &first, &last);
  EXPECT_STREQ(label, "76");  // untouched
  EXPECT_EQ(first, -1);

  // Net formal charge, counted from the residue names of the image: K and
  // R give +1, D and E -1; the termini cancel.
  int expect = 0;
  for (int i = 0; i < image->natoms; i++) {
    const _pdb_atom& a = image->atoms[i];
    if (!std::strcmp(a.name, "CA")) {
      const std::string r = a.resname;
      expect += (r == "LYS" || r == "ARG") - (r == "ASP" || r == "GLU");
    }
  }
  double q = 0.0;
  for (int i = 0; i < atoms; i++) q += mol_atom_charge(i);
  EXPECT_NEAR(q, expect, 1e-6);
  const int n1 = mol_match_atom("N", 0, 20);
  EXPECT_FLOAT_EQ(mol_atom_charge(n1), 1.0f);  // the amino end
  const int oxt = mol_match_atom("OXT", 0, atoms - 1);
  ASSERT_GE(oxt, 0);
  EXPECT_FLOAT_EQ(mol_atom_charge(oxt), -0.5f);

  // Radii and polarity from the atom parameters; names as read.
  const int ca = mol_match_atom("CA", 0, atoms - 1);
  EXPECT_FLOAT_EQ(mol_atom_radius(ca), 1.70f);
  EXPECT_TRUE(mol_is_polar(n1));
  EXPECT_TRUE(mol_is_apolar(ca));
  EXPECT_STREQ(mol_atom_ename(ca), " CA ");
  EXPECT_EQ(mol_atom_hetatm(ca), 'A');
  EXPECT_EQ(mol_atom_altatm(ca), ' ');
  EXPECT_EQ(mol_atom_access(ca), 1);

  // Bonds: the backbone of every residue and every peptide link, each
  // heavy atom with one to four partners.
  auto bonded = [](int a, int b) {
    const int* list;
    const int k = mol_atom_atoms(a, &list);
    for (int j = 0; j < k; j++)
      if (list[j] == b) return true;
    return false;
  };
  int prev_c = -1;
  for (int r = 1; r <= 76; r++) {
    mol_resnum_info(1, r, name, label, &first, &last);
    const int N = mol_match_atom("N", first, last), CA = mol_match_atom("CA", first, last),
              C = mol_match_atom("C", first, last), O = mol_match_atom("O", first, last);
    EXPECT_TRUE(bonded(N, CA) && bonded(CA, C) && bonded(C, O) && bonded(CA, N)) << r;
    if (prev_c >= 0) {
      EXPECT_TRUE(bonded(prev_c, N)) << r;
    }
    prev_c = C;
  }
  for (int i = 0; i < atoms; i++) {
    const int k = mol_atom_atoms(i, nullptr);
    EXPECT_GE(k, 1) << i;
    EXPECT_LE(k, 4) << i;
  }

  // Bad indices.
  const int* list = &first;
  EXPECT_EQ(mol_atom_atoms(atoms, &list), 0);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(mol_atom_radius(-1), 0.0f);
  EXPECT_EQ(mol_atom_ace(atoms), -1);
  EXPECT_EQ(mol_atom_altatm(atoms), ' ');
  EXPECT_EQ(mol_match_atom("CA", 5, 4), -1);
  Point3D p{1, 2, 3};
  mol_atom_pt(&p, atoms);
  EXPECT_EQ(p.x, 0.0);

  // Placement: positions come back under the current placement, the stored
  // ones unmoved; the model frame puts the centre at the origin.
  Point3D base;
  mol_atom_basept(&base, ca);
  mol_transform(tf_v(Point3D{1.0, -2.0, 0.5}));
  const Point3D moved = mol_atom_pt(ca);
  EXPECT_NEAR(moved.x - base.x, 1.0, 1e-12);
  EXPECT_NEAR(moved.y - base.y, -2.0, 1e-12);
  mol_transform(tf_identity());
  zam_model_atoms(&mol, 0, &first, &last);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, atoms - 1);
  zam_model_atoms(&mol, 1, &first, &last);
  EXPECT_EQ(first, -1);
  const Matrix3D before = zam_model_frame(&mol, 0);
  Point3D sum{0, 0, 0};
  for (int i = 0; i < atoms; i++) sum = v_add(sum, mol_atom_pt(i));
  EXPECT_NEAR(mag_vector(sum) / atoms, 0.0, 1e-9);
  mol_transform(before);

  zam_free_molecule(&mol);
  mol_select(1);
  mol_structure(&chains, &residues, &atoms, &other);
  EXPECT_EQ(atoms, 0);
  zam_freePdb(image);
}

TEST(DockingMolecule, ModelsOfAnEnsembleAndRefusals) {
  zam_setPdbOneModel(0);
  _pdb_image* image = zam_readPdb((std::string(TREL_SHARED_DATA) + "/pdb/freesasa/1d3z.pdb.gz").c_str(), nullptr);
  zam_setPdbOneModel(1);
  ASSERT_NE(image, nullptr);
  _molecule mol;
  ASSERT_EQ(zam_load_pdb_molecule(&mol, 0, image, nullptr), 1);
  EXPECT_EQ(mol.model_kind, 1);
  ASSERT_EQ(mol.n_models, 10);
  int first, last, prev = -1;
  for (int m = 1; m <= 10; m++) {
    zam_model_atoms(&mol, m, &first, &last);
    EXPECT_EQ(first, prev + 1);
    EXPECT_EQ(last - first + 1, image->natoms / 10) << m;
    EXPECT_EQ(mol.models[m].id, m);
    prev = last;
  }
  EXPECT_EQ(prev, image->natoms - 1);
  zam_free_molecule(&mol);
  zam_freePdb(image);

  testutil::Capture said;
  EXPECT_EQ(zam_load_pdb_molecule(&mol, 3, nullptr, "x"), 0);
  EXPECT_EQ(mol.loaded, 0);
  EXPECT_TRUE(said.has("no such atom store slot")) << said.text;
}

}  // namespace
