// Whole-image operations: copy, extraction and splitting of chains, moves and
// their undo, labels, symmetry matrices, point lists and centring.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "geometry/zam_transform.h"
#include "runtime/kids.h"
#include "structure/zam_pdb.h"

using testutil::TempDir;
using testutil::write_file;

namespace {

struct ImageDeleter {
  void operator()(_pdb_image* p) const { zam_freePdb(p); }
};
using Image = std::unique_ptr<_pdb_image, ImageDeleter>;

std::string atom(int serial, const char* name, const char* res, char chain, int num, double x, double y, double z,
                 const char* kind = "ATOM") {
  char buf[128];
  snprintf(buf, sizeof buf, "%-6s%5d %-4s %-3s %c%4d    %8.3f%8.3f%8.3f%6.2f%6.2f\n", kind, serial, name, res, chain,
           num, x, y, z, 1.0, 10.0);
  return buf;
}

std::string residue(int num, char chain, double y = 0) {
  double x = num * 3.8;
  return atom(1, " N", "VAL", chain, num, x, y, 0) + atom(2, " CA", "VAL", chain, num, x + 1, y, 0) +
         atom(3, " C", "VAL", chain, num, x + 2, y, 0) + atom(4, " O", "VAL", chain, num, x + 2, y + 1, 0) +
         atom(5, " CB", "VAL", chain, num, x + 1, y + 1, 0) + atom(6, " CG1", "VAL", chain, num, x + 1, y + 2, 0);
}

// Chains A (3 residues), B (2) and C (1), and one hetero atom.
Image threeChains(const TempDir& dir) {
  std::string text = residue(1, 'A') + residue(2, 'A') + residue(3, 'A') + residue(1, 'B', 10) + residue(2, 'B', 10) +
                     residue(7, 'C', 20) + atom(99, "ZN", "ZN", 'C', 100, 5, 5, 5, "HETATM");
  write_file(dir.file("three.pdb"), text);
  return Image(zam_readPdb(dir.file("three.pdb").c_str(), nullptr));
}

void expectConsistent(const _pdb_image* im) {
  for (int i = 0; i < im->natoms; ++i) {
    int r = im->atoms[i].residue;
    ASSERT_GE(r, 0);
    ASSERT_LT(r, im->nres);
    EXPECT_GE(i, im->residues[r].first);
    EXPECT_LE(i, im->residues[r].last);
    EXPECT_EQ(im->atoms[i].chain_no, im->residues[r].chain_no);
  }
}

}  // namespace

TEST(PdbImage, NullsAndIdentityMatrices) {
  EXPECT_EQ(zam_copyPdb(nullptr), nullptr);
  zam_freePdb(nullptr);
  TempDir dir;
  Image im = threeChains(dir);
  ASSERT_TRUE(im);
  for (int k : {0, 2, -1}) {
    Matrix3D m = zam_pdbBiomt(im.get(), k);
    EXPECT_EQ(m.m[0], 1.0);
    EXPECT_EQ(m.m[3], 0.0);
    EXPECT_EQ(zam_pdbCryst(im.get(), k).m[10], 1.0);
  }
}

TEST(PdbImage, DeltaChar) {
  EXPECT_EQ(deltaChar('Z', 1), 'A');
  EXPECT_EQ(deltaChar('9', 2), '1');
  EXPECT_EQ(deltaChar('a', -1), 'A');
  EXPECT_EQ(deltaChar('B', -1), 'b');
  EXPECT_EQ(deltaChar('_', 3), '_');
  EXPECT_EQ(deltaChar('y', 3), 'b');
  EXPECT_EQ(deltaChar('Q', 0), 'Q');
}

TEST(PdbImage, CopyIsDeep) {
  TempDir dir;
  Image im = threeChains(dir);
  Image copy(zam_copyPdb(im.get()));
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->natoms, im->natoms);
  EXPECT_EQ(copy->nres, im->nres);
  EXPECT_EQ(copy->nhetatms, 1);
  EXPECT_NE(copy->atoms, im->atoms);
  EXPECT_STREQ(copy->name, "three");
  copy->atoms[0].x = 99;
  EXPECT_NE(im->atoms[0].x, 99);
  EXPECT_EQ(memcmp(copy->residues, im->residues, sizeof(_pdb_residue) * im->nres), 0);
}

TEST(PdbImage, MovesResetAndFreeze) {
  TempDir dir;
  Image im = threeChains(dir);
  double x0 = im->atoms[7].x, y0 = im->atoms[7].y;
  Matrix3D t = tf_v(Point3D{1, 2, 3});
  zam_movePdb(im.get(), t);
  EXPECT_DOUBLE_EQ(im->atoms[7].x, x0 + 1);
  EXPECT_DOUBLE_EQ(im->hetatms[0].z, 8.0);
  zam_resetPdb(im.get());
  EXPECT_DOUBLE_EQ(im->atoms[7].x, x0);
  EXPECT_DOUBLE_EQ(im->atoms[7].y, y0);
  EXPECT_DOUBLE_EQ(im->hetatms[0].z, 5.0);
  zam_movePdbResidue(im.get(), 1, t);
  EXPECT_DOUBLE_EQ(im->atoms[7].x, x0 + 1);  // residue 1 holds atoms 6-11
  EXPECT_DOUBLE_EQ(im->atoms[5].x, im->saved[5].x);
  zam_movePdbResidue(im.get(), im->nres, t);  // out of range: nothing
  zam_freezePdb(im.get());
  zam_resetPdb(im.get());
  EXPECT_DOUBLE_EQ(im->atoms[7].x, x0 + 1);
}

TEST(PdbImage, ImportCentresAndComposes) {
  TempDir dir;
  write_file(dir.file("one.pdb"), atom(1, " CA", "GLY", 'A', 1, 3, 4, 5));
  Image one(zam_readPdb(dir.file("one.pdb").c_str(), nullptr));
  ASSERT_EQ(one->natoms, 1);
  EXPECT_EQ(zam_importPdb(one.get(), 0), 0.0);
  EXPECT_DOUBLE_EQ(one->atoms[0].x, 0.0);
  EXPECT_DOUBLE_EQ(one->tf.m[3], -3.0);
  EXPECT_DOUBLE_EQ(one->tf.m[11], -5.0);

  Image im = threeChains(dir);
  Image ref(zam_copyPdb(im.get()));
  double r = zam_importPdb(im.get(), 1);
  EXPECT_GT(r, 0.0);
  double far = 0;
  Point3D c{0, 0, 0};
  for (int i = 0; i < im->natoms; ++i) {
    Point3D p{im->atoms[i].x, im->atoms[i].y, im->atoms[i].z};
    far = std::max(far, std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z));
    c.x += p.x, c.y += p.y, c.z += p.z;
  }
  EXPECT_NEAR(far, r, 1e-9);  // a rotation about the centre keeps distances
  EXPECT_NEAR(c.x / im->natoms, 0, 1e-9);
  // The placement maps the coordinates read onto the current ones.
  for (int i = 0; i < im->natoms; ++i) {
    Point3D p = pt_tfpt(im->tf, Point3D{ref->atoms[i].x, ref->atoms[i].y, ref->atoms[i].z});
    EXPECT_NEAR(p.x, im->atoms[i].x, 1e-9);
    EXPECT_NEAR(p.z, im->atoms[i].z, 1e-9);
  }
}

TEST(PdbImage, PointsAndResidues) {
  TempDir dir;
  Image im = threeChains(dir);
  std::unique_ptr<Point3D, void (*)(void*)> ca(zam_ptsPdb(im.get(), 2), kfree);
  EXPECT_DOUBLE_EQ(ca.get()[1].x, 2 * 3.8 + 1);
  EXPECT_DOUBLE_EQ(ca.get()[5].y, 20.0);
  std::unique_ptr<Point3D, void (*)(void*)> sc(zam_ptsPdb(im.get(), 3), kfree);
  EXPECT_DOUBLE_EQ(sc.get()[1].y, 2.0);  // CB, CG1 of residue 0
  EXPECT_DOUBLE_EQ(zam_ptPdbResidue(im.get(), 1).x, 2 * 3.8 + 1);
  EXPECT_DOUBLE_EQ(zam_ptPdbResidue(im.get(), 99).x, 0.0);
  std::unique_ptr<float, void (*)(void*)> rad(zam_radPdb(im.get(), 1), kfree);
  EXPECT_TRUE(rad);
  int numbers[4];
  EXPECT_EQ(zam_chainsPdb(im.get(), "CQA", numbers), 2);
  EXPECT_EQ(numbers[0], 2);
  EXPECT_EQ(numbers[1], 0);
  zam_labelPdbResidue(im.get(), 0, 1);
  EXPECT_STREQ(im->residues[0].chain, "B");
  EXPECT_STREQ(im->atoms[5].chain, "B");
  EXPECT_STREQ(im->atoms[6].chain, "A");
  zam_setPdbChainLabel(im.get(), 'Z');
  EXPECT_STREQ(im->atoms[im->natoms - 1].chain, "Z");
  EXPECT_STREQ(im->residues[3].chain, "Z");
}

TEST(PdbImage, ExtractAndSplitKeepIndicesConsistent) {
  TempDir dir;
  Image im = threeChains(dir);
  ASSERT_EQ(im->nchains, 3);
  int middle[] = {1};
  Image b(zam_extractPdb(im.get(), 1, middle));
  ASSERT_TRUE(b);
  EXPECT_EQ(b->nchains, 1);
  EXPECT_EQ(b->nres, 2);
  EXPECT_EQ(b->natoms, 12);
  EXPECT_EQ(b->nbb, 8);
  EXPECT_EQ(b->nhetatms, 0);
  EXPECT_EQ(b->residues[0].first, 0);
  EXPECT_EQ(b->residues[1].last, 11);
  EXPECT_EQ(b->residues[0].chain_no, 0);
  expectConsistent(b.get());
  // Chains that are not one stretch of the source, asked in another order.
  int outer[] = {2, 0};
  Image ac(zam_extractPdb(im.get(), 2, outer));
  EXPECT_EQ(ac->nchains, 2);
  EXPECT_EQ(ac->nres, 4);
  expectConsistent(ac.get());
  // New chain numbers follow the source order: A becomes 0, C 1.
  EXPECT_EQ(ac->residues[0].chain_no, 0);
  EXPECT_EQ(ac->residues[3].chain_no, 1);
  EXPECT_STREQ(ac->residues[3].chain, "C");

  _pdb_image* parts[3];
  int chains[] = {0, 1, 2};
  const char* names[] = {"a", "b", "c"};
  zam_splitPdb(im.get(), 3, chains, names, parts);
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(parts[k]);
    EXPECT_STREQ(parts[k]->name, names[k]);
    expectConsistent(parts[k]);
  }
  EXPECT_EQ(parts[0]->nres + parts[1]->nres + parts[2]->nres, im->nres);
  for (_pdb_image* p : parts) zam_freePdb(p);
}

TEST(PdbImage, SplitModelsFillsOneSlotPerModel) {
  TempDir dir;
  std::string text = "MODEL        1\n" + residue(1, 'A') + residue(1, 'B') + "MODEL        2\n" + residue(1, 'A') + residue(1, 'B');
  write_file(dir.file("m.pdb"), text);
  Image im(zam_readPdb(dir.file("m.pdb").c_str(), nullptr));
  ASSERT_EQ(im->nmodels, 2);
  ASSERT_EQ(im->nchains, 2);
  _pdb_image* parts[2];
  int chains[] = {0, 1};
  zam_splitPdb(im.get(), 2, chains, nullptr, parts);
  // Chain numbers restart in each model, so chain 0 gathers both models' A.
  ASSERT_TRUE(parts[0] && parts[1]);
  EXPECT_EQ(parts[0]->nres, 2);
  EXPECT_STREQ(parts[1]->residues[0].chain, "B");
  zam_freePdb(parts[0]);
  zam_freePdb(parts[1]);
}

TEST(PdbImage, ExtractNucleicAcidHasNoResidueCount) {
  TempDir dir;
  std::string text = atom(1, " P", "DA", 'B', 1, 0, 0, 0) + atom(2, " C3'", "DA", 'B', 1, 0, 1, 0) +
                     atom(3, " C4'", "DA", 'B', 1, 0, 2, 0) + atom(4, " C5'", "DA", 'B', 1, 0, 3, 0);
  write_file(dir.file("n.pdb"), text);
  zam_setPdbChainType(2);
  Image im(zam_readPdb(dir.file("n.pdb").c_str(), nullptr));
  zam_setPdbChainType(1);
  ASSERT_EQ(im->nres, 1);
  int chain[] = {0};
  Image x(zam_extractPdb(im.get(), 1, chain));
  EXPECT_EQ(x->nres, 0);
  EXPECT_EQ(x->natoms, 4);
}

// The import's centre and radius are bit for bit those of the point list:
// pt_average of zam_ptsPdb and the largest d_ptpt from that centre.
TEST(PdbImage, ImportCentreAndRadiusAreThoseOfThePointList) {
  TREL_REQUIRE_SHARED_DATA();
  for (const char* rel : {"freesasa/1ubq.pdb", "mustang-testdata/1zaa1.pdb", "libball1.5-data/1A1F.pdb"}) {
    Image im(zam_readPdb(testutil::shared_pdb(rel).c_str(), nullptr));
    ASSERT_NE(im, nullptr) << rel;
    Point3D* pts = zam_ptsPdb(im.get(), 0);
    const Point3D c = pt_average(im->natoms, pts);
    double far = 0.0;
    for (int i = 0; i < im->natoms; ++i) far = std::max(far, d_ptpt(c, pts[i]));
    kfree(pts);
    const double r = zam_importPdb(im.get(), 0);
    EXPECT_EQ(std::memcmp(&r, &far, sizeof r), 0) << rel << " " << r << " " << far;
    const Matrix3D move = tf_v(v_neg(c));
    EXPECT_EQ(std::memcmp(&im->tf, &move, sizeof move), 0) << rel;
  }
}

// Coordinates rounded as the PDB text gives them back are, bit for bit, what
// "%8.3f" and strtod make of them: typical and tiny and huge values, values
// half-way between two texts (odd sixteenths) and their neighbours, signed
// zeros, and any bit pattern (infinities and NaNs included).
TEST(PdbImage, RoundedAsTextIsWhatTheTextGivesBack) {
  TempDir dir;
  write_file(dir.file("one.pdb"), atom(1, " CA", "GLY", 'A', 1, 3, 4, 5));
  Image im(zam_readPdb(dir.file("one.pdb").c_str(), nullptr));
  ASSERT_NE(im, nullptr);
  constexpr int kAtoms = 20000;
  kfree(im->atoms);
  im->atoms = static_cast<_pdb_atom*>(kget1B_0(kAtoms * static_cast<int64_t>(sizeof(_pdb_atom))));
  im->natoms = kAtoms;
  std::mt19937_64 rng(17);
  auto asText = [](double v) {
    char text[64];
    snprintf(text, sizeof text, "%8.3f", v);
    return strtod(text, nullptr);
  };
  std::uniform_real_distribution<double> coordinate(-150.0, 150.0), exponent(-9.0, 9.5);
  const std::function<double()> kinds[] = {
      [&] { return coordinate(rng); },
      [&] { return std::copysign(std::pow(10.0, exponent(rng)), coordinate(rng)); },
      [&] { return static_cast<double>(2 * static_cast<int64_t>(rng() % 2000000) - 2000000 + 1) / 16.0; },
      [&] {
        const double tie = static_cast<double>(2 * static_cast<int64_t>(rng() % 2000000) - 2000000 + 1) / 16.0;
        return std::nextafter(tie, rng() % 2 ? 1e300 : -1e300);
      },
      [&] {
        const uint64_t bits = rng();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
      },
      [&] { return std::copysign(static_cast<double>(rng() % 3) * 1e-300 * (rng() % 2), coordinate(rng)); },
      [&] { return std::copysign(1e9 * (1.0 + static_cast<double>(rng() % 1000) * 1e-12 - 5e-10), coordinate(rng)); },
  };
  for (const auto& next : kinds) {
    std::vector<double> values(3 * static_cast<size_t>(kAtoms));
    for (double& v : values) v = next();
    for (int i = 0; i < kAtoms; ++i) {
      im->atoms[i].x = values[3 * i];
      im->atoms[i].y = values[3 * i + 1];
      im->atoms[i].z = values[3 * i + 2];
    }
    zam_roundPdbAsText(im.get());
    int wrong = 0;
    for (int i = 0; i < kAtoms && wrong < 5; ++i) {
      const double got[3] = {im->atoms[i].x, im->atoms[i].y, im->atoms[i].z};
      for (int c = 0; c < 3; ++c) {
        const double want = asText(values[3 * i + c]);
        if (std::memcmp(&got[c], &want, sizeof want) != 0) {
          ++wrong;
          ADD_FAILURE() << std::hexfloat << values[3 * i + c] << " gave " << got[c] << ", the text " << want;
        }
      }
    }
  }
  // Hetero atoms too.
  write_file(dir.file("het.pdb"), atom(1, "O", "HOH", 'A', 1, 1.00049, -0.0004, 2.5, "HETATM"));
  Image het(zam_readPdb(dir.file("het.pdb").c_str(), nullptr));
  ASSERT_EQ(het->nhetatms, 1);
  het->hetatms[0].x = 1.0625;
  het->hetatms[0].y = -0.0004;
  zam_roundPdbAsText(het.get());
  EXPECT_EQ(het->hetatms[0].x, 1.062);
  EXPECT_TRUE(std::signbit(het->hetatms[0].y));
  EXPECT_EQ(het->hetatms[0].y, 0.0);
}

// A PDB file's coordinates (three decimals, a -0.000, the ends of the eight
// columns) are held by the writer's text exactly, and so is the copy as read
// of an image that was centred since; a fourth decimal, or -1000 (nine
// columns), is not. The copy keeps the image as it stands untouched.
TEST(PdbImage, CoordinatesAsReadAndHeldAsText) {
  TempDir dir;
  write_file(dir.file("a.pdb"), atom(1, " CA", "GLY", 'A', 1, 27.343, -0.0, 9999.999) +
                                    atom(2, " CA", "GLY", 'A', 2, -999.999, 0.001, 3.5) +
                                    atom(3, "O", "HOH", 'A', 3, 1.25, 2.5, -7.125, "HETATM"));
  Image im(zam_readPdb(dir.file("a.pdb").c_str(), nullptr));
  ASSERT_EQ(im->natoms, 2);
  ASSERT_EQ(im->nhetatms, 1);
  EXPECT_EQ(zam_pdbHeldAsText(im.get()), 1);
  const Image read(zam_copyPdb(im.get()));
  zam_importPdb(im.get(), 1);
  EXPECT_EQ(zam_pdbHeldAsText(im.get()), 0);
  const double centred = im->atoms[0].x;
  const Image back(zam_copyPdbAsRead(im.get()));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(zam_pdbHeldAsText(back.get()), 1);
  EXPECT_EQ(std::memcmp(&back->atoms[0], &read->atoms[0], sizeof(_pdb_atom)), 0);
  EXPECT_EQ(std::memcmp(&back->atoms[1], &read->atoms[1], sizeof(_pdb_atom)), 0);
  EXPECT_EQ(std::memcmp(&back->hetatms[0], &read->hetatms[0], sizeof(_pdb_atom)), 0);
  EXPECT_TRUE(std::signbit(back->atoms[0].y));
  for (int k = 0; k < 12; k++) EXPECT_EQ(back->tf.m[k], tf_identity().m[k]);
  EXPECT_EQ(im->atoms[0].x, centred);
  for (const double v : {12.3451, -1000.0, 10000.0}) {
    back->hetatms[0].z = v;
    EXPECT_EQ(zam_pdbHeldAsText(back.get()), 0) << v;
  }
  EXPECT_EQ(zam_copyPdbAsRead(nullptr), nullptr);
  EXPECT_EQ(zam_pdbHeldAsText(nullptr), 0);
}
