// Object export: an object's image written under two transforms applied in
// order, a missing image, a fresh superposed copy of a target's image, and
// coefficients written at the order of the arrays held.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "store/trel_cache.h"
#include "store/trel_export.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

using testutil::TempDir;

TEST(Export, ThingPdbUnderTwoTransforms) {
  TREL_REQUIRE_SHARED_DATA();
  const std::string src = testutil::shared_pdb("freesasa/1ubq.pdb");
  TempDir dir;
  _trel_thing* thing = trel_createThing("1ubq", (dir.str() + "/").c_str());
  thing->image = zam_readPdb(src.c_str(), nullptr);
  ASSERT_NE(thing->image, nullptr);
  // A first (a turn about z), then B (a shift along x).
  const Matrix3D A = tf_rotz(M_PI / 2);
  const Matrix3D B = tf_v(Point3D{10, 0, 0});
  const std::string out = dir.file("out.pdb");
  ASSERT_EQ(trel_exportThingPdb(thing, out.c_str(), 0, A, B), 1);
  _pdb_image* got = zam_readPdb(out.c_str(), nullptr);
  ASSERT_NE(got, nullptr);
  ASSERT_EQ(got->nres, thing->image->nres);
  for (int i = 0; i < got->nres; i += 7) {
    const Point3D p = zam_ptPdbResidue(thing->image, i);
    const Point3D q = zam_ptPdbResidue(got, i);
    EXPECT_NEAR(q.x, -p.y + 10, 0.002);
    EXPECT_NEAR(q.y, p.x, 0.002);
    EXPECT_NEAR(q.z, p.z, 0.002);
  }
  zam_freePdb(got);
  EXPECT_NE(testutil::read_file(out).find("\nTER"), std::string::npos);
  trel_closeThing(nullptr, thing);
}

TEST(Export, NoImageWritesNothing) {
  TempDir dir;
  _trel_thing* thing = trel_createThing("absent", (dir.str() + "/").c_str());
  _trel_tag tag{};
  tag.valid = 1;
  thing->tag = &tag;
  thing->tag_borrowed = 1;
  {
    testutil::Capture quiet;
    EXPECT_EQ(trel_exportThingPdb(thing, dir.file("x.pdb").c_str(), 0, tf_identity(), tf_identity()), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.pdb")));
  trel_closeThing(nullptr, thing);
}

TEST(Export, ImageThingAlignReadsAFreshCopy) {
  TREL_REQUIRE_SHARED_DATA();
  const std::string src = testutil::shared_pdb("freesasa/1ubq.pdb");
  _trel_thing* thing = trel_createThing("1ubq", "./");
  thing->image = zam_readPdb(src.c_str(), nullptr);
  ASSERT_NE(thing->image, nullptr);
  _pdb_image* old = thing->image;
  zam_movePdb(old, tf_v(Point3D{5, 5, 5}));
  // Without an alignment the fit is the identity: the fresh copy stands in
  // its file's coordinates and replaces the moved image.
  _pdb_image* fresh = trel_imageThingAlign(thing, nullptr, nullptr);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(thing->image, fresh);
  _pdb_image* ref = zam_readPdb(src.c_str(), nullptr);
  const Point3D a = zam_ptPdbResidue(ref, 10), b = zam_ptPdbResidue(fresh, 10);
  EXPECT_NEAR(std::sqrt(d2_ptpt(a, b)), 0.0, 1e-9);
  zam_freePdb(ref);
  trel_closeThing(nullptr, thing);
  _trel_thing* empty = trel_createThing("none", "./");
  EXPECT_EQ(trel_imageThingAlign(empty, nullptr, nullptr), nullptr);
  trel_closeThing(nullptr, empty);
}

// A tau array held at a lower order than the tag's (read for a search at its
// own order) is written at the order it holds; a sig array not held yet is
// read at the tag's order. Both moved by the identity: the values themselves.
TEST(Export, CoefficientsAtTheOrderOfTheArraysHeld) {
  TempDir dir;
  std::vector<double> v(static_cast<size_t>(trel_anlmSize(6)));
  for (size_t k = 0; k < v.size(); k++) v[k] = 1.0 + static_cast<double>(k);
  ASSERT_EQ(trel_write_thing(dir.file("x_B").c_str(), 6, v.data(), v.data()), 1);
  _trel_thing* t = trel_createThing("x", (dir.str() + "/").c_str());
  t->tag = static_cast<_trel_tag*>(kget1B_0(sizeof(_trel_tag)));
  t->tag->valid = 1;
  t->tag->order = 6;
  t->tag->pot_class = 1;
  t->tag->pot_flags[1] = 1;
  ASSERT_EQ(trel_readThingTau(t, 1, 4), 1);
  EXPECT_EQ(t->tau_order[1], 4);
  EXPECT_EQ(trel_exportThingSpf(t, 1, dir.file(""), {"out"}, "", tf_identity(), tf_identity()), 2);
  const std::string tau = testutil::read_file(dir.file("out_B_tau.dat"));
  const std::string sig = testutil::read_file(dir.file("out_B_sig.dat"));
  EXPECT_EQ(tau.substr(0, tau.find('\n')), "n_max = 4, n_dim = 30");
  EXPECT_EQ(sig.substr(0, sig.find('\n')), "n_max = 6, n_dim = 91");
  EXPECT_NE(tau.find("\n  4   3   3  30\n"), std::string::npos) << tau;  // the last value held
  EXPECT_EQ(t->sig_order[1], 6);
  trel_closeThing(nullptr, t);
}

// A PDB file moved by one transform and its coefficients by another: a turn
// of the function about z by 90 degrees carries the x-like (2, 1, 1) term
// into the y-like (2, 1, -1) one. A source that cannot be read leaves no
// coefficient file behind.
TEST(Export, ObjectFileAndCoefficientsUnderTheirOwnTransforms) {
  TREL_REQUIRE_SHARED_DATA();
  const std::string src = testutil::shared_pdb("freesasa/1ubq.pdb");
  TempDir dir;
  const int N = 3;
  std::vector<double> sig(static_cast<size_t>(trel_anlmSize(N)), 0.0), tau = sig;
  sig[0] = 2.0;  // (1, 0, 0): unchanged by any turn
  tau[1 + 2 + 1] = 1.0;  // (2, 1, 1): slot (n-1)n(2n-1)/6 + l(l+1) + m
  const std::string out = dir.file("moved");
  ASSERT_EQ(trel_export_object(src.c_str(), out.c_str(), tf_v(Point3D{0, 0, 3}), tf_rotz(M_PI / 2), N, sig.data(),
                               tau.data()),
            1);
  _pdb_image* ref = zam_readPdb(src.c_str(), nullptr);
  _pdb_image* got = zam_readPdb((out + ".pdb").c_str(), nullptr);
  ASSERT_NE(got, nullptr);
  ASSERT_EQ(got->natoms, ref->natoms);
  EXPECT_NEAR(zam_ptPdbResidue(got, 5).z, zam_ptPdbResidue(ref, 5).z + 3, 0.0015);
  zam_freePdb(ref);
  zam_freePdb(got);
  std::vector<double> s(sig.size()), t(tau.size());
  ASSERT_EQ(trel_read_anlm((out + ".sig").c_str(), N, s.data()), 1);
  ASSERT_EQ(trel_read_anlm((out + ".tau").c_str(), N, t.data()), 1);
  EXPECT_NEAR(s[0], 2.0, 1e-14);
  for (size_t k = 0; k < t.size(); k++) EXPECT_NEAR(t[k], k == 1 + 2 - 1 ? 1.0 : 0.0, 1e-14) << k;

  const std::string none = dir.file("none");
  {
    testutil::Capture said;
    EXPECT_EQ(trel_export_object(dir.file("missing.pdb").c_str(), none.c_str(), tf_identity(), tf_identity(), N,
                                 sig.data(), tau.data()),
              0);
    EXPECT_TRUE(said.has("missing.pdb"));
  }
  EXPECT_FALSE(std::filesystem::exists(none + ".sig"));
  EXPECT_FALSE(std::filesystem::exists(none + ".tau"));
}

// Descriptor building is quiet: plain messages reach only the log, while
// warnings and errors still reach the callback the run installed.
TEST(Export, QuietCallbackPassesOnlyWarningsAndErrors) {
  testutil::Capture said;
  const zam_logger_fn run = zam_logger_callback(my_msg_cb);
  EXPECT_EQ(my_msg_cb_pass(run), nullptr);
  zam_msg("Calculating coefficients\n");
  zam_adv("a hint\n");
  zam_wrn("careful\n");
  zam_err("broken\n");
  zam_logger_callback(my_msg_cb_pass(nullptr));
  EXPECT_EQ(said.text, "*Warning* careful\n*Error* broken\n");
}
