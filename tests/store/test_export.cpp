// Object export: an object's image written under two transforms applied in
// order, a missing image, and a fresh superposed copy of a target's image.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "runtime/zam_log.h"
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
