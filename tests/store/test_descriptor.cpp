// Descriptor objects: every class of one object in the frame its tag
// records (when built, also turned at random, and when a class is added
// later), the cache serving
// a second opening with nothing computed, re-creation at a higher order,
// coefficient files of too low an order, private cache files, write
// failures of an object and of a database build, and the text export
// against the binary files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "harmonics/zam_canonical.h"
#include "runtime/kids.h"
#include "runtime/zam_thread.h"
#include "store/trel_cache.h"
#include "store/trel_coeff.h"
#include "store/trel_database.h"
#include "store/trel_export.h"
#include "store/trel_pot.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

using testutil::Capture;
using testutil::read_file;
using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr int kN = 8;
const std::string kUbi = "python3-prody-tests/pdb1ubi.pdb";  // 76 residues, own class B
const std::string kFinger = "mustang-testdata/1sp1.pdb";

// The integration runs inline here (threaded and inline sums are the same
// bits, which the harmonic layer's tests show).
_trel_thing_opts descriptorOptions() {
  zam_thread_setup(0);
  _trel_thing_opts o;
  o.with_spf = 1;
  o.filter_method = 3;
  o.q_max = kN;
  o.do_write = 0;
  return o;
}

std::vector<double> copyOf(const double* a, int order) {
  return std::vector<double>(a, a + trel_anlmSize(order));
}

double distance(const std::vector<double>& a, const std::vector<double>& b) {
  double d = 0.0;
  for (size_t i = 0; i < a.size(); i++) d += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(d);
}

double length(const std::vector<double>& a) { return distance(a, std::vector<double>(a.size(), 0.0)); }

// The canonical frame of a tau vector that already stands in it is the
// identity, up to the sampling grid (about 0.05 in matrix elements); a
// vector in another frame gives elements off by 0.3 or more.
void expectCanonical(const double* tau, const char* what) {
  const _zam_canonical_frame f = zam_gto_canonical(kN, tau, 1);
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) EXPECT_NEAR(f.transform.m[4 * r + c], r == c ? 1.0 : 0.0, 0.08) << what;
}

// The class's tau coefficients sampled afresh from the image's atoms as
// they stand.
std::vector<double> sampleTau(const _pdb_image* image, int pot_class, const _trel_thing_opts& o) {
  Point3D* side = zam_ptsPdb(image, 3);
  Point3D* main = zam_ptsPdb(image, 4);
  float* side_r = zam_radPdb(image, 3);
  float* main_r = zam_radPdb(image, 4);
  std::vector<double> sig(trel_anlmSize(kN)), tau(trel_anlmSize(kN));
  trel_coeff_calculate(kN, pot_class, o.grid_spacing, o.grid_extent, image->nsc, side, side_r, image->nmc,
                       main, main_r, sig.data(), tau.data());
  kfree(side);
  kfree(main);
  kfree(side_r);
  kfree(main_r);
  return tau;
}

// The class's tau array is what the atoms of the stored image give (up to
// the 0.0005 A rounding of the image file, under 1 per cent), not what they
// give in the frame of the source file (as far off as the array is long).
void expectSampledHere(const _trel_thing* t, int pot_class, const _trel_thing_opts& o) {
  const std::vector<double> tau = copyOf(t->tau[pot_class], kN);
  EXPECT_LT(distance(sampleTau(t->image, pot_class, o), tau), 0.02 * length(tau)) << pot_class;
  _pdb_image* source_frame = zam_copyPdb(t->image);
  Matrix3D turn = t->tag->frame;
  turn.m[3] = turn.m[7] = turn.m[11] = 0.0;
  zam_movePdb(source_frame, turn);
  EXPECT_GT(distance(sampleTau(source_frame, pot_class, o), tau), 0.3 * length(tau)) << pot_class;
  zam_freePdb(source_frame);
}

void expectFlags(const _trel_tag* tag, std::vector<int> want) {
  for (int c = 0; c < TREL_POT_CLASSES; c++) EXPECT_EQ(tag->pot_flags[c], want[c]) << "class " << c;
}

bool isPrivate(const std::string& file) {
  struct stat st;
  return stat(file.c_str(), &st) == 0 && (st.st_mode & 0077) == 0;
}

// The values of a text export, in file order, after checking its header.
std::vector<double> readExport(const std::string& file, int order) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  char header[64];
  std::snprintf(header, sizeof header, "n_max = %d, n_dim = %d", order, static_cast<int>(trel_anlmSize(order)));
  EXPECT_EQ(line, header) << file;
  std::vector<double> v;
  int n = 0, l = 0, m = 0;
  double x = 0.0;
  for (int want_n = 1; want_n <= order; want_n++)
    for (int want_l = 0; want_l < want_n; want_l++)
      for (int want_m = -want_l; want_m <= want_l; want_m++) {
        if (!(in >> n >> l >> m >> x)) return v;
        EXPECT_EQ(n * 10000 + l * 100 + m, want_n * 10000 + want_l * 100 + want_m) << file;
        v.push_back(x);
      }
  return v;
}

}  // namespace

TEST(DescriptorObject, ClassesShareTheRecordedFrameAndComeBackFromTheCache) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir cache;
  const std::string folder = cache.str() + "/";
  const std::string src = testutil::shared_pdb(kUbi);
  const _trel_thing_opts o = descriptorOptions();

  // Class A asked for: the missing own class B comes first and sets the frame.
  const int want_a[5] = {1, 0, 0, 0, 0};
  const int builds = trel_thingBuilds();
  _trel_thing* t = trel_openThingFile(src.c_str(), folder.c_str(), kN, 0, &o, want_a, 1, 1);
  ASSERT_EQ(t->tag->valid, 1);
  EXPECT_EQ(trel_thingBuilds(), builds + 1);
  EXPECT_EQ(t->tag->order, kN);
  EXPECT_EQ(t->tag->pot_class, 1);
  expectFlags(t->tag, {1, 1, 0, 0, 0});
  EXPECT_GT(t->tag->mass, 0.0);
  EXPECT_LT(t->tag->quad[0], t->tag->quad[2]);
  EXPECT_EQ(t->tag->n_residues, t->trace.n);

  // The tag's frame takes the stored image back onto the source file.
  _pdb_image* raw = zam_readPdb(src.c_str(), nullptr);
  ASSERT_NE(raw, nullptr);
  ASSERT_EQ(raw->natoms, t->image->natoms);
  for (int i = 0; i < raw->natoms; i += 7) {
    const _pdb_atom& s = t->image->atoms[i];
    const Point3D back = pt_tfpt(t->tag->frame, Point3D{s.x, s.y, s.z});
    EXPECT_NEAR(back.x, raw->atoms[i].x, 2e-3);
    EXPECT_NEAR(back.y, raw->atoms[i].y, 2e-3);
    EXPECT_NEAR(back.z, raw->atoms[i].z, 2e-3);
  }
  zam_freePdb(raw);

  // The own class stands in its canonical frame, and class A is what the
  // stored atoms give: it was sampled in the frame the tag records.
  expectCanonical(t->tau[1], "own class B");
  const std::vector<double> tau_a = copyOf(t->tau[0], kN), tau_b = copyOf(t->tau[1], kN),
                            sig_b = copyOf(t->sig[1], kN);
  expectSampledHere(t, 0, o);
  std::vector<Point3D> atoms;
  for (int i = 0; i < t->image->natoms; i++) atoms.push_back({t->image->atoms[i].x, t->image->atoms[i].y, t->image->atoms[i].z});
  const Matrix3D frame = t->tag->frame;
  ASSERT_EQ(trel_closeThing(nullptr, t), 1);

  for (const char* f : {"pdb1ubi.trq", "pdb1ubi.trc", "pdb1ubi.pdb", "pdb1ubi_A.sig", "pdb1ubi_A.tau",
                        "pdb1ubi_B.sig", "pdb1ubi_B.tau"})
    EXPECT_TRUE(isPrivate(cache.file(f))) << f;
  EXPECT_FALSE(fs::exists(cache.file("pdb1ubi_C.tau")));

  // A second opening computes nothing: the arrays and the image come back
  // bit for bit.
  t = trel_openThingFile(src.c_str(), folder.c_str(), kN, 0, &o, want_a, 1, 1);
  ASSERT_EQ(t->tag->valid, 1);
  EXPECT_EQ(trel_thingBuilds(), builds + 1);
  ASSERT_EQ(trel_readThingTau(t, 0, kN), 1);
  ASSERT_EQ(trel_readThingTau(t, 1, kN), 1);
  ASSERT_EQ(trel_readThingSig(t, 1, kN), 1);
  EXPECT_EQ(copyOf(t->tau[0], kN), tau_a);
  EXPECT_EQ(copyOf(t->tau[1], kN), tau_b);
  EXPECT_EQ(copyOf(t->sig[1], kN), sig_b);
  _pdb_image* image = trel_imageThing(t);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->natoms, static_cast<int>(atoms.size()));
  for (int i = 0; i < image->natoms; i++) {
    EXPECT_EQ(image->atoms[i].x, atoms[i].x);
    EXPECT_EQ(image->atoms[i].z, atoms[i].z);
  }

  // The text export under the identity holds the binary files' numbers.
  const std::string prefix = cache.file("export");
  EXPECT_EQ(trel_exportThingSpf(t, -1, cache.file(""), {"export"}, "", tf_identity(), tf_identity()), 4);
  EXPECT_FALSE(fs::exists(prefix + "_C_tau.dat"));
  const std::vector<double> text_tau = readExport(prefix + "_B_tau.dat", kN);
  const std::vector<double> text_sig = readExport(prefix + "_B_sig.dat", kN);
  ASSERT_EQ(text_tau.size(), tau_b.size());
  ASSERT_EQ(text_sig.size(), sig_b.size());
  for (size_t k = 0; k < tau_b.size(); k++) {
    EXPECT_NEAR(text_tau[k], tau_b[k], 1e-7 * std::fabs(tau_b[k]) + 1e-300) << k;
    EXPECT_NEAR(text_sig[k], sig_b[k], 1e-7 * std::fabs(sig_b[k]) + 1e-300) << k;
  }
  EXPECT_EQ(readExport(prefix + "_A_tau.dat", kN).size(), tau_a.size());
  // Under a half-turn about z the m = 0 terms stay and the others change.
  EXPECT_EQ(trel_exportThingSpf(t, 1, cache.file(""), {"export"}, "", tf_rotz(M_PI), tf_identity()), 2);
  const std::vector<double> turned = readExport(prefix + "_B_tau.dat", kN);
  EXPECT_NEAR(turned[0], tau_b[0], 1e-7 * std::fabs(tau_b[0]));
  EXPECT_GT(distance(turned, tau_b), 1e-3 * length(tau_b));
  EXPECT_EQ(copyOf(t->tau[1], kN), tau_b);  // the object's own arrays are unchanged
  trel_closeThing(nullptr, t);

  // Class C added later: re-created in the recorded frame; A and B stay.
  const std::string a_file = read_file(cache.file("pdb1ubi_A.tau"));
  const int want_c[5] = {0, 0, 1, 0, 0};
  {
    Capture cap;
    t = trel_openThingFile(src.c_str(), folder.c_str(), kN, 0, &o, want_c, 1, 1);
    EXPECT_TRUE(cap.has("Re-creating pdb1ubi")) << cap.text;
  }
  ASSERT_EQ(t->tag->valid, 1);
  EXPECT_EQ(trel_thingBuilds(), builds + 2);
  expectFlags(t->tag, {1, 1, 1, 0, 0});
  EXPECT_EQ(t->tau[0], nullptr);  // present classes are not computed again
  ASSERT_NE(t->tau[2], nullptr);
  for (int k = 0; k < 12; k++) EXPECT_NEAR(t->tag->frame.m[k], frame.m[k], 1e-9);
  expectSampledHere(t, 2, o);
  ASSERT_EQ(trel_closeThing(nullptr, t), 1);
  EXPECT_EQ(read_file(cache.file("pdb1ubi_A.tau")), a_file);
  EXPECT_TRUE(fs::exists(cache.file("pdb1ubi_C.tau")));

  // A higher order re-creates the requested classes at that order.
  const int own[5] = {-1, 0, 0, 0, 0};
  t = trel_openThingFile(src.c_str(), folder.c_str(), kN + 2, 0, &o, own, 1, 1);
  ASSERT_EQ(t->tag->valid, 1);
  EXPECT_EQ(trel_thingBuilds(), builds + 3);
  EXPECT_EQ(t->tag->order, kN + 2);
  expectFlags(t->tag, {0, 1, 0, 0, 0});
  trel_closeThing(nullptr, t);
  t = trel_openThingFile(src.c_str(), folder.c_str(), kN + 2, 0, &o, own, 1, 1);
  EXPECT_EQ(trel_thingBuilds(), builds + 3);
  EXPECT_EQ(trel_readThingTau(t, 1, kN + 2), 1);
  trel_closeThing(nullptr, t);
}

TEST(DescriptorObject, RandomTurnComputesEveryClassInOneFrame) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir cache;
  _trel_thing_opts o = descriptorOptions();
  o.use_random = 1;
  const int own[5] = {-1, 0, 0, 0, 0};
  _trel_thing* t = trel_openThingFile(testutil::shared_pdb(kFinger).c_str(), (cache.str() + "/").c_str(), kN, 0,
                                      &o, own, 1, 0);
  ASSERT_EQ(t->tag->valid, 1);
  expectFlags(t->tag, {1, 1, 1, 1, 1});
  expectCanonical(t->tau[t->tag->pot_class], "own class");
  expectSampledHere(t, 4, o);
  trel_closeThing(nullptr, t);
}

// Files of two caches of one source mixed: a tag of order kN + 2 beside
// class files of order kN. The files are whole and of the right source, yet
// cannot serve the tag: the object is rebuilt, never failed.
TEST(DescriptorObject, CoefficientFileOfTooLowAnOrderIsRebuilt) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir low, high;
  const std::string src = testutil::shared_pdb(kFinger);
  const char* path = src.c_str();
  _trel_thing_opts o = descriptorOptions();
  const int own[5] = {-1, 0, 0, 0, 0};
  std::string letter;
  for (TempDir* dir : {&low, &high}) {
    o.q_max = dir == &low ? kN : kN + 2;
    _trel_thing* t = trel_openThingFile(path, (dir->str() + "/").c_str(), o.q_max, 0, &o, own, 1, 1);
    ASSERT_EQ(t->tag->valid, 1);
    letter = trel_potCode(t->tag->pot_class);
    trel_closeThing(nullptr, t);
  }
  for (const char* ext : {".sig", ".tau"})
    fs::copy_file(low.file("1sp1_" + letter + ext), high.file("1sp1_" + letter + ext),
                  fs::copy_options::overwrite_existing);
  _trel_thing* things[1];
  Capture cap;
  const int builds = trel_thingBuilds();
  EXPECT_EQ(trel_openThings(1, things, own, 1, 100, 0, &path, (high.str() + "/").c_str(), 1, 0, &o), 1);
  EXPECT_TRUE(cap.has("Cache file " + high.file("1sp1_" + letter + ".sig") + " is damaged: rebuilding 1sp1.\n"))
      << cap.text;
  EXPECT_EQ(trel_thingBuilds(), builds + 1);
  ASSERT_EQ(things[0]->tag->valid, 1);
  EXPECT_NE(things[0]->tau[things[0]->tag->pot_class], nullptr);
  trel_closeThing(nullptr, things[0]);
}

// A sampling grid too large to count (a spacing far too fine for the
// extent) stops the object with the grid's message: not valid, no class
// held, nothing written to its cache folder.
TEST(DescriptorObject, RefusedSamplingGridLeavesNoObject) {
  TREL_REQUIRE_SHARED_DATA();
  TempDir cache;
  const std::string src = testutil::shared_pdb(kFinger);
  _trel_thing_opts o = descriptorOptions();
  o.grid_spacing = 0.005;
  const int own[5] = {-1, 0, 0, 0, 0};
  Capture said;
  _trel_thing* t = trel_openThingFile(src.c_str(), (cache.str() + "/").c_str(), kN, 0, &o, own, 1, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(said.has("trel_coeff_calculate: grid of ")) << said.text;
  EXPECT_EQ(t->tag->valid, 0);
  EXPECT_EQ(t->dirty, 0);
  expectFlags(t->tag, {0, 0, 0, 0, 0});
  trel_closeThing(nullptr, t);
  EXPECT_TRUE(fs::is_empty(cache.str()));
}

TEST(DescriptorObject, FailedWritesAreReportedAndCounted) {
  TREL_REQUIRE_SHARED_DATA();
  const _trel_thing_opts o = descriptorOptions();
  const int own[5] = {-1, 0, 0, 0, 0};
  {
    // A folder where the tau file should go is not trel's: the object is
    // not cached, no file of it is written, and the folder is named.
    TempDir cache;
    const std::string src = testutil::shared_pdb(kUbi);
    _trel_thing* t = trel_openThingFile(src.c_str(), (cache.str() + "/").c_str(), kN, 0, &o, own, 1, 1);
    ASSERT_EQ(t->tag->valid, 1);
    fs::create_directory(cache.file("pdb1ubi_B.tau"));
    Capture cap;
    EXPECT_EQ(trel_closeThing(nullptr, t), 1);
    EXPECT_TRUE(cap.has("File " + cache.file("pdb1ubi_B.tau"))) << cap.text;
    EXPECT_FALSE(fs::exists(cache.file("pdb1ubi.trq")));
    EXPECT_FALSE(fs::exists(cache.file("pdb1ubi.trc")));
    EXPECT_TRUE(fs::is_directory(cache.file("pdb1ubi_B.tau")));
  }

  // The same fault in a database build: the member is left out, the others
  // are added, and the build fails.
  TempDir root;
  _trel_db_opts d;
  d.thing = o;
  d.i_max = 4;
  const std::string folder = root.str() + "/spf_trel/";
  fs::create_directories(folder + "pdb1ubi_E.sig");
  std::string files[2] = {testutil::shared_pdb(kUbi), testutil::shared_pdb(kFinger)};
  char* names[2] = {files[0].data(), files[1].data()};
  Capture cap;
  EXPECT_EQ(trel_buildDatabase((root.str() + "/").c_str(), "spf", names, 2, 0, 0, &d), 0);
  EXPECT_TRUE(cap.has("Failed to write 1 of 2 structures into database " + folder + " (1 members added).\n"))
      << cap.text;
  _trel_db* db = trel_openDatabase((root.str() + "/").c_str(), "spf", 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->n_members, 1);
  EXPECT_EQ(db->order, 4);
  trel_closeDatabase(db);
  // Every class of the member that was added lies beside the data files;
  // of the one left out, nothing it wrote stays, so -delete leaves only the
  // folder in the way.
  for (const char* c : {"A", "B", "C", "D", "E"}) {
    EXPECT_TRUE(fs::exists(folder + "1sp1_" + c + ".tau")) << c;
    EXPECT_FALSE(fs::exists(folder + "pdb1ubi_" + c + ".tau")) << c;
  }
  EXPECT_FALSE(fs::exists(folder + "pdb1ubi.pdb"));
  EXPECT_EQ(trel_deleteDatabase((root.str() + "/").c_str(), "spf", 0, 1), 1) << cap.text;
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(folder)) left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"pdb1ubi_E.sig"});
}
