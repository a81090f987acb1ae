// Ideal backbones from a sequence: the geometry of helix and strand links,
// the records of the image, letters and edge cases, and the three test
// models written as PDB text and read back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "align/trel_backbone.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "structure/zam_kpdb.h"
#include "structure/zam_pdb.h"

using testutil::read_file;
using testutil::TempDir;

namespace {

struct ImageDeleter {
  void operator()(_pdb_image* p) const { zam_freePdb(p); }
};
using Image = std::unique_ptr<_pdb_image, ImageDeleter>;

const char* kTwenty = "ARNDCEQGHILKMFPSTWYV";

Point3D at(const _pdb_image* im, int atom) { return Point3D{im->atoms[atom].x, im->atoms[atom].y, im->atoms[atom].z}; }
// Atoms of residue i: N 4i, CA 4i+1, C 4i+2, O 4i+3.
Point3D ca(const _pdb_image* im, int i) { return at(im, 4 * i + 1); }

void expectNear(Point3D want, Point3D got, double tol, const std::string& what) {
  EXPECT_NEAR(want.x, got.x, tol) << what;
  EXPECT_NEAR(want.y, got.y, tol) << what;
  EXPECT_NEAR(want.z, got.z, tol) << what;
}

Point3D mean(const _pdb_image* im) {
  Point3D s{0, 0, 0};
  for (int a = 0; a < im->natoms; ++a) s = Point3D{s.x + im->atoms[a].x, s.y + im->atoms[a].y, s.z + im->atoms[a].z};
  return Point3D{s.x / im->natoms, s.y / im->natoms, s.z / im->natoms};
}

bool sameAtoms(const _pdb_image* a, const _pdb_image* b) {
  if (a->natoms != b->natoms) return false;
  for (int i = 0; i < a->natoms; ++i)
    if (d_ptpt(at(a, i), at(b, i)) != 0.0) return false;
  return true;
}

}  // namespace

TEST(Backbone, LinkGeometry) {
  std::string sse40 = std::string(20, 'A') + std::string(20, 'B');
  std::string seq40 = std::string(kTwenty) + kTwenty;
  Image helix(trel_makeBackbone("alpha", 'A', 20, kTwenty, "AAAAAAAAAAAAAAAAAAAA"));
  Image strand(trel_makeBackbone("beta", 'B', 20, kTwenty, nullptr));
  Image mixed(trel_makeBackbone("mixed", 'C', 40, seq40.c_str(), sse40.c_str()));
  for (const _pdb_image* im : {helix.get(), strand.get(), mixed.get()}) {
    SCOPED_TRACE(im->name);
    for (int i = 1; i < im->nres; ++i) {
      EXPECT_NEAR(3.80, d_ptpt(ca(im, i - 1), ca(im, i)), 0.005) << i;
      EXPECT_NEAR(1.32, d_ptpt(at(im, 4 * (i - 1) + 2), at(im, 4 * i)), 0.005) << i;
      // Each residue keeps its template's bond lengths.
      EXPECT_NEAR(d_ptpt(pt_beta_0_n, pt_beta_0_ca), d_ptpt(at(im, 4 * i), ca(im, i)), 0.002);
      EXPECT_NEAR(1.53, d_ptpt(ca(im, i), at(im, 4 * i + 2)), 0.002);
    }
    expectNear(Point3D{0, 0, 0}, mean(im), 1e-9, "centred");
  }
  for (int i = 3; i < 20; ++i) {
    EXPECT_NEAR(5.05, d_ptpt(ca(helix.get(), i - 3), ca(helix.get(), i)), 0.005) << i;
    EXPECT_NEAR(10.32, d_ptpt(ca(strand.get(), i - 3), ca(strand.get(), i)), 0.005) << i;
  }
  // The mixed chain is helix up to residue 19, strand from residue 20 on.
  EXPECT_NEAR(5.05, d_ptpt(ca(mixed.get(), 16), ca(mixed.get(), 19)), 0.005);
  EXPECT_NEAR(10.32, d_ptpt(ca(mixed.get(), 21), ca(mixed.get(), 24)), 0.005);
  // Same letters, same shape: the helix half matches the all-helix chain
  // up to a rigid move, so its internal distances agree.
  EXPECT_NEAR(d_ptpt(ca(helix.get(), 0), ca(helix.get(), 19)), d_ptpt(ca(mixed.get(), 0), ca(mixed.get(), 19)), 1e-9);
}

TEST(Backbone, SingleResiduesAreCentredTemplates) {
  Image strand(trel_makeBackbone("one", 'A', 1, "G", nullptr));
  ASSERT_EQ(4, strand->natoms);
  expectNear(Point3D{-0.866, 0.2035, 1.30175}, at(strand.get(), 0), 1e-9, "strand N");
  expectNear(Point3D{0.516, 0.2035, 0.79875}, at(strand.get(), 1), 1e-9, "strand CA");
  expectNear(Point3D{0.516, 0.2035, -0.73025}, at(strand.get(), 2), 1e-9, "strand C");
  expectNear(Point3D{-0.166, -0.6105, -1.37025}, at(strand.get(), 3), 1e-9, "strand O");
  // Helix template turned half a turn about z: (-x, -y, z), then centred.
  Image helix(trel_makeBackbone("one", 'A', 1, "G", "H"));
  expectNear(Point3D{-1.21775, -0.1945, 1.301}, at(helix.get(), 0), 1e-9, "helix N");
  expectNear(Point3D{0.16425, -0.1945, 0.799}, at(helix.get(), 1), 1e-9, "helix CA");
  expectNear(Point3D{0.88925, 0.5835, -1.369}, at(helix.get(), 3), 1e-9, "helix O");
}

TEST(Backbone, ImageRecords) {
  Image im(trel_makeBackbone("seqname", 'Q', 3, "AGW", "AEx"));
  ASSERT_TRUE(im);
  EXPECT_EQ(1, im->nmodels);
  EXPECT_EQ(1, im->nchains);
  EXPECT_EQ(12, im->natoms);
  EXPECT_EQ(3, im->nres);
  EXPECT_EQ(12, im->nbb);
  EXPECT_EQ(12, im->nmc);
  EXPECT_EQ(0, im->nsc);
  EXPECT_EQ(0, im->nhetatms);
  EXPECT_EQ(1, im->fake);
  EXPECT_EQ(0, im->delta);
  EXPECT_STREQ("seqname", im->name);
  EXPECT_STREQ("seqname", im->path);
  EXPECT_NE(im->name, im->path);
  const Matrix3D one = tf_identity();
  EXPECT_EQ(0, memcmp(&im->tf, &one, sizeof(Matrix3D)));
  ASSERT_EQ(1, im->nsmtry);
  ASSERT_EQ(1, im->nbiomt);
  EXPECT_EQ(0, memcmp(im->smtry, &one, sizeof(Matrix3D)));
  EXPECT_EQ(0, memcmp(im->biomt, &one, sizeof(Matrix3D)));
  ASSERT_TRUE(im->saved);
  for (int a = 0; a < im->natoms; ++a) EXPECT_EQ(0.0, d_ptpt(im->saved[a], at(im.get(), a)));

  const char* names[] = {"ALA", "GLY", "TRP"};
  const char sses[] = {'A', 'B', 'B'};
  const char* atoms[] = {"N", "CA", "C", "O"};
  for (int i = 0; i < 3; ++i) {
    const _pdb_residue& r = im->residues[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(0, r.masked);
    EXPECT_EQ(0, r.model);
    EXPECT_EQ(0, r.chain_no);
    EXPECT_EQ(4 * i, r.first);
    EXPECT_EQ(4 * i + 3, r.last);
    EXPECT_EQ(0, r.nside);
    EXPECT_STREQ("Q", r.chain);
    EXPECT_EQ("AGW"[i], r.code[0]);
    EXPECT_STREQ(names[i], r.resname);
    EXPECT_EQ(sses[i], r.sse[0]);
    EXPECT_STREQ(std::to_string(i + 1).c_str(), r.resnum);
    for (int k = 0; k < 4; ++k) {
      const _pdb_atom& a = im->atoms[4 * i + k];
      EXPECT_STREQ("ATOM  ", a.type);
      EXPECT_STREQ(atoms[k], a.name);
      EXPECT_EQ(std::string(" ") + atoms[k], a.cname);
      EXPECT_STREQ(" ", a.alt);
      EXPECT_STREQ(names[i], a.resname);
      EXPECT_STREQ(std::to_string(i + 1).c_str(), a.resnum);
      EXPECT_STREQ(std::to_string(i + 1).c_str(), a.label);
      EXPECT_STREQ(" ", a.icode);
      EXPECT_STREQ("Q", a.chain);
      EXPECT_EQ(i, a.residue);
      EXPECT_EQ(0, a.chain_no);
      EXPECT_EQ(0, a.model);
      EXPECT_EQ(0, a.column);
      EXPECT_EQ(0.0f, a.occupancy);
      EXPECT_EQ(0.0, a.radius);
      EXPECT_EQ(k == 1 ? 1 : 0, a.is_ca);
      EXPECT_EQ(1, a.is_mc);
      EXPECT_EQ(1, a.is_bb);
      EXPECT_EQ(0, a.is_sc);
    }
  }
}

TEST(Backbone, LettersAndEdgeCases) {
  // A null sse and strand letters give the same backbone; so do 'H' and 'A'.
  Image none(trel_makeBackbone("s", 'A', 6, "ACDEFG", nullptr));
  Image es(trel_makeBackbone("s", 'A', 6, "ACDEFG", "EEEEEE"));
  Image coil(trel_makeBackbone("s", 'A', 6, "ACDEFG", "C - e "));
  EXPECT_TRUE(sameAtoms(none.get(), es.get()));
  EXPECT_TRUE(sameAtoms(none.get(), coil.get()));
  Image h(trel_makeBackbone("s", 'A', 6, "ACDEFG", "HHHHHH"));
  Image a(trel_makeBackbone("s", 'A', 6, "ACDEFG", "AaAhaA"));
  EXPECT_TRUE(sameAtoms(h.get(), a.get()));
  EXPECT_FALSE(sameAtoms(h.get(), none.get()));
  for (int i = 0; i < 6; ++i) EXPECT_EQ('A', a->residues[i].sse[0]);

  // A lower-case letter is kept as the code while its name is unknown.
  Image lower(trel_makeBackbone("s", 'A', 2, "aG", nullptr));
  EXPECT_EQ('a', lower->residues[0].code[0]);
  EXPECT_STREQ("UNK", lower->residues[0].resname);
  EXPECT_STREQ("UNK", lower->atoms[1].resname);

  // No residues: an empty image that still has one model and one chain.
  Image empty(trel_makeBackbone("e", 'A', 0, "", nullptr));
  EXPECT_EQ(1, empty->nmodels);
  EXPECT_EQ(1, empty->nchains);
  EXPECT_EQ(0, empty->natoms);
  EXPECT_EQ(0, empty->nres);
  Image negative(trel_makeBackbone("e", 'A', -3, "AAA", nullptr));
  EXPECT_EQ(0, negative->nres);
  Image nullseq(trel_makeBackbone("e", 'A', 5, nullptr, nullptr));
  EXPECT_EQ(0, nullseq->nres);

  // A sequence shorter than n is not read past its end; a short sse leaves
  // the rest strand.
  Image shortseq(trel_makeBackbone("short", 'A', 10, "ARN", "H"));
  EXPECT_EQ(3, shortseq->nres);
  EXPECT_EQ(12, shortseq->natoms);
  EXPECT_EQ('A', shortseq->residues[0].sse[0]);
  EXPECT_EQ('B', shortseq->residues[2].sse[0]);

  // Residues are numbered from 1 whatever the chain letter.
  Image z(trel_makeBackbone("z", 'Z', 12, "GGGGGGGGGGGG", nullptr));
  EXPECT_STREQ("12", z->residues[11].resnum);
  EXPECT_STREQ("12", z->atoms[47].resnum);
  EXPECT_STREQ("Z", z->atoms[47].chain);
}

TEST(Backbone, CodesOfResidueNames) {
  Image im(trel_makeBackbone("c", 'A', 4, "ARND", nullptr));
  char* codes = trel_codesPdb(im.get());
  ASSERT_TRUE(codes);
  EXPECT_EQ(0, memcmp(codes, "ARND", 4));
  kfree(codes);
  Image unk(trel_makeBackbone("c", 'A', 2, "xW", nullptr));
  codes = trel_codesPdb(unk.get());
  EXPECT_EQ('X', codes[0]);
  EXPECT_EQ('W', codes[1]);
  kfree(codes);
  EXPECT_EQ(nullptr, trel_codesPdb(nullptr));
}

TEST(Backbone, CopyMoveResetAndRawImage) {
  Image im(trel_makeBackbone("moving", 'A', 8, "ACDEFGHI", "AAAABBBB"));
  Image copy(zam_copyPdb(im.get()));
  ASSERT_TRUE(copy);
  zam_movePdb(copy.get(), tf_v(Point3D{5.0, -2.0, 1.0}));
  EXPECT_NEAR(5.0, ca(copy.get(), 3).x - ca(im.get(), 3).x, 1e-12);
  zam_resetPdb(copy.get());
  EXPECT_TRUE(sameAtoms(im.get(), copy.get()));
  const Matrix3D m1 = zam_pdbBiomt(copy.get(), 1), m2 = zam_pdbBiomt(im.get(), 1);
  EXPECT_EQ(0, memcmp(&m1, &m2, sizeof(Matrix3D)));

  TempDir dir;
  ASSERT_EQ(1, zam_writeBinaryPdb(dir.file("moving").c_str(), im.get()));
  Image back(zam_readBinaryPdb(dir.file("moving").c_str(), nullptr));
  ASSERT_TRUE(back);
  EXPECT_EQ(0, back->fake);
  EXPECT_EQ(0, memcmp(im->atoms, back->atoms, sizeof(_pdb_atom) * 32));
  EXPECT_EQ(0, memcmp(im->residues, back->residues, sizeof(_pdb_residue) * 8));
}

TEST(Backbone, TestModelsWrittenAndReadBack) {
  TempDir dir;
  std::string seq40 = std::string(kTwenty) + kTwenty;
  std::string sse40 = std::string(20, 'A') + std::string(20, 'B');
  struct Model {
    const char* name;
    char chain;
    std::string seq, sse, stem;
  } models[] = {{"alpha", 'A', kTwenty, std::string(20, 'A'), "alpha"},
                {"beta", 'B', kTwenty, std::string(20, 'B'), "beta"},
                {"alpba_beta", 'C', seq40, sse40, "alpha_beta"}};
  for (const Model& m : models) {
    SCOPED_TRACE(m.stem);
    Image im(trel_makeBackbone(m.name, m.chain, static_cast<int>(m.seq.size()), m.seq.c_str(), m.sse.c_str()));
    std::string file = dir.file(m.stem + ".pdb");
    ASSERT_EQ(1, zam_writePdb(file.c_str(), im.get(), -1, 0, 0, 1, 1, tf_identity()));
    std::string text = read_file(file);
    EXPECT_EQ(m.sse.find('A') != std::string::npos, text.find("HELIX") != std::string::npos);
    EXPECT_EQ(m.sse.find('B') != std::string::npos, text.find("SHEET") != std::string::npos);
    Image back(zam_readPdb(file.c_str(), nullptr));
    ASSERT_TRUE(back);
    EXPECT_STREQ(m.stem.c_str(), back->name);
    ASSERT_EQ(im->natoms, back->natoms);
    ASSERT_EQ(im->nres, back->nres);
    EXPECT_EQ(1, back->nchains);
    for (int a = 0; a < im->natoms; ++a) {
      EXPECT_LE(d_ptpt(at(im.get(), a), at(back.get(), a)), 0.0009) << a;
      EXPECT_STREQ(im->atoms[a].name, back->atoms[a].name);
      EXPECT_STREQ(im->atoms[a].resname, back->atoms[a].resname);
      EXPECT_STREQ(im->atoms[a].resnum, back->atoms[a].resnum);
      EXPECT_EQ(m.chain, back->atoms[a].chain[0]);
    }
    for (int i = 0; i < im->nres; ++i) EXPECT_EQ(m.seq[i], back->residues[i].code[0]);
  }
}
