// Secondary-structure assignment: template scores, letter rules, runs,
// fragments and the pointers toward neighbouring helices and strands.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "align/trel_globals.h"
#include "align/trel_trace.h"
#include "common/test_util.h"
#include "geometry/zam_frame.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

using testutil::TempDir;

// Ideal CA rows i-4..i+4 of a helix and a strand, and a pattern far from both.
const Point3Df kAlpha[9] = {
    {3.193f, 2.460f, 4.714f},   {1.980f, 4.342f, 1.643f},   {4.662f, 2.682f, -0.478f},
    {3.634f, -0.734f, 0.832f},  {0.0f, 0.0f, 0.0f},         {0.980f, 1.050f, -3.519f},
    {2.964f, -2.161f, -3.962f}, {-0.015f, -4.207f, -2.787f}, {-2.273f, -2.398f, -5.250f}};
const Point3Df kStrand[9] = {
    {8.267f, 0.448f, 10.761f},   {7.487f, -0.225f, 7.103f},  {4.128f, 0.227f, 5.385f},
    {3.288f, -0.665f, 1.788f},   {0.0f, 0.0f, 0.0f},         {-0.924f, -1.098f, -3.519f},
    {-4.116f, -0.236f, -5.393f}, {-5.146f, -1.522f, -8.818f}, {-8.221f, -0.482f, -10.794f}};
const Point3Df kPi5{0.468f, 1.268f, -3.535f};    // pi helix row i+1
const Point3Df kThree10_5{1.350f, 0.096f, -3.535f};  // 3-10 helix row i+1
const int kRow[8] = {5, 3, 6, 2, 7, 1, 8, 0};

std::string g_log_file;

// The log of this program, opened once; tail() gives what came since the start.
struct LogTail {
  std::uintmax_t start = 0;
  LogTail() {
    static TempDir dir;
    g_log_file = dir.file("sse.log");
    zam_logger_name(g_log_file.c_str());
    zam_logger_state(1);
    start = std::filesystem::file_size(g_log_file);
  }
  ~LogTail() { zam_logger_state(0); }
  std::string tail() const {
    zam_logger_state(1);
    return testutil::read_file(g_log_file).substr(start);
  }
};

// A trace of n records with neighbour points set by hand, the peptide and
// frames assignTraceSSEs reads, and an image to receive the letters.
struct Synthetic {
  int n;
  _trel_trace* trace;
  _pdb_peptide* pep;
  std::vector<Matrix3D> frames;
  _pdb_image* image;

  explicit Synthetic(int count) : n(count), trace(trel_makeTrace()), pep(zam_allocPdbPep(count)), frames(count) {
    trace->n = n;
    trace->seg = static_cast<_trel_seg*>(kget1B_0(int64_t(n) * int64_t(sizeof(_trel_seg))));
    image = static_cast<_pdb_image*>(kget1B_0(sizeof(_pdb_image)));
    image->nres = n;
    image->residues = static_cast<_pdb_residue*>(kget1B_0(int64_t(n) * int64_t(sizeof(_pdb_residue))));
    // CA atoms on a twisted path away from the origin; each frame moves its
    // residue's CA to the origin (a translation is enough for the pointers).
    for (int k = 0; k < n; k++) {
      pep->ca[k] = Point3D{10.0 + 3.0 * k, 4.0 * std::sin(0.7 * k), 5.0 + std::cos(0.9 * k)};
      frames[k] = tf_origin(pep->ca[k]);
    }
  }
  ~Synthetic() {
    trel_freeTrace(trace);
    zam_freePdbPep(pep);
    zam_freePdb(image);
  }
  // 'A' and 'B' copy a template; 'C' puts the neighbours far from both;
  // 'D' marks the residue incomplete (its points as for 'C').
  void letters(const std::string& s) {
    for (int k = 0; k < n; k++) {
      _trel_seg& r = trace->seg[k];
      for (int slot = 0; slot < 8; slot++) {
        const Point3Df far{40.0f + slot, -30.0f, 25.0f};
        r.t[slot] = s[k] == 'A' ? kAlpha[kRow[slot]] : s[k] == 'B' ? kStrand[kRow[slot]] : far;
      }
      r.sse = s[k] == 'D' ? 'D' : 'X';
    }
  }
  std::string assign() {
    assignTraceSSEs(image, pep, frames.data(), trace);
    std::string out;
    for (int k = 0; k < n; k++) {
      out += trace->seg[k].sse;
      EXPECT_EQ(image->residues[k].sse[0], trace->seg[k].sse);
      EXPECT_EQ(image->residues[k].sse[1], '\0');
    }
    return out;
  }
  // 2 A toward the centroid of residues first..last from residue k.
  Point3D toward(int k, int first, int last) const {
    Point3D sum{0, 0, 0};
    for (int j = first; j <= last; j++) sum = v_add(sum, pep->ca[j]);
    return v_magv(pt_tfpt(frames[k], v_scale(sum, 1.0 / (last - first + 1))), 2.0);
  }
  Point3D towardOrigin(int k) const { return v_magv(pt_tfpt(frames[k], Point3D{0, 0, 0}), 2.0); }
};

void expectNear(Point3Df a, Point3D b, const char* what, int k) {
  EXPECT_NEAR(a.x, b.x, 1e-5) << what << " of residue " << k;
  EXPECT_NEAR(a.y, b.y, 1e-5) << what << " of residue " << k;
  EXPECT_NEAR(a.z, b.z, 1e-5) << what << " of residue " << k;
}

// Neighbour points at squared distance sh from the helix template and sb from
// the strand template on the four slots that score: a point on the line
// between them, lifted off it by the same amount on every slot.
void placeScores(_trel_seg& r, double sh, double sb) {
  double d2 = 0.0;
  for (int s = 0; s < 4; s++) d2 += d2_ptpt(pt_ptf(kAlpha[kRow[s]]), pt_ptf(kStrand[kRow[s]]));
  const double u = (sh - sb + d2) / (2.0 * d2);
  const double w2 = (sh - u * u * d2) / 4.0;
  ASSERT_GE(w2, 0.0);
  for (int s = 0; s < 4; s++) {
    const Point3D a = pt_ptf(kAlpha[kRow[s]]);
    const Point3D d = v_sub(pt_ptf(kStrand[kRow[s]]), a);
    Point3D e = cross_product(d, Point3D{0.3, 0.5, 0.8});
    e = v_unit(e);
    r.t[s] = ptf_pt(v_add(a, v_add(v_scale(d, u), v_scale(e, std::sqrt(w2)))));
  }
}

// Template scores at G-score width tau (the Gaussian widens with tau).
struct Tau {
  explicit Tau(float tau) { trel_setAlignTau(tau); }
  ~Tau() { trel_setAlignTau(1.0f); }
};

// Squared-distance sum that gives score p at the current width.
double sumFor(double p) { return std::log(p) / gb_factor; }

}  // namespace

TEST(SseScores, TemplateMatchesScoreOne) {
  Synthetic syn(3);
  for (int s = 0; s < 8; s++) {
    syn.trace->seg[0].t[s] = kAlpha[kRow[s]];
    syn.trace->seg[1].t[s] = kStrand[kRow[s]];
  }
  syn.trace->seg[2] = syn.trace->seg[0];
  syn.trace->seg[2].t[0] = Point3Df{kAlpha[5].x + 1.0f, kAlpha[5].y, kAlpha[5].z};
  syn.trace->seg[2].t[4] = Point3Df{99.0f, 0.0f, 0.0f};  // slot 4 is outside a window of 2
  float h[3], b[3];
  trel_scoreTraceAlpha(syn.trace, 2, h);
  trel_scoreTraceBeta(syn.trace, 2, b);
  EXPECT_EQ(h[0], 1.0f);
  EXPECT_EQ(b[1], 1.0f);
  EXPECT_LT(b[0], 1e-3f);
  EXPECT_LT(h[1], 1e-3f);
  EXPECT_FLOAT_EQ(h[2], expf(gb_factor * 1.0f));
  EXPECT_FLOAT_EQ(gb_factor, -1.0f / 7.84f);
  // A window of 4 counts all eight slots.
  trel_scoreTraceAlpha(syn.trace, 4, h);
  EXPECT_EQ(h[0], 1.0f);
  EXPECT_LT(h[2], 1e-6f);
  // The 3-10 and pi templates score their own rows.
  syn.trace->seg[0].t[0] = kPi5;
  syn.trace->seg[1].t[0] = kThree10_5;
  float pi[3], t310[3];
  trel_scoreTracePi(syn.trace, 1, pi);
  trel_scoreTrace310(syn.trace, 1, t310);
  EXPECT_FLOAT_EQ(pi[0], expf(gb_factor * float(d2_ptpt(pt_ptf(kPi5), Point3D{0.468, 1.268, -3.535}) +
                                                d2_ptpt(pt_ptf(kAlpha[3]), Point3D{3.627, -0.819, 0.707}))));
  EXPECT_FLOAT_EQ(t310[1], expf(gb_factor * float(d2_ptpt(pt_ptf(kStrand[3]), Point3D{3.540, -0.938, 0.955}))));
}

TEST(SseLetters, ScoreThresholds) {
  Tau wide(5.0f);  // at the default width no point scores well on both templates
  struct Case {
    double helix, strand;
    char want;
  } cases[] = {{0.12, 0.15, 'B'}, {0.15, 0.12, 'C'}, {0.25, 0.05, 'A'}, {0.19, 0.05, 'C'},
               {0.05, 0.09, 'C'}, {0.05, 0.11, 'B'}};
  for (const Case& c : cases) {
    Synthetic syn(1);
    syn.letters("C");
    placeScores(syn.trace->seg[0], sumFor(c.helix), sumFor(c.strand));
    EXPECT_EQ(syn.assign(), std::string(1, c.want)) << c.helix << " " << c.strand;
    EXPECT_NEAR(syn.trace->seg[0].sse_score.x, c.helix, 1e-4);
    EXPECT_NEAR(syn.trace->seg[0].sse_score.y, c.strand, 1e-4);
    EXPECT_NEAR(syn.trace->seg[0].sse_score.z, 1.0 - c.helix - c.strand, 1e-4);
  }
  // Equal scores of 0.25: nudge the points until the two floats agree exactly.
  Synthetic syn(1);
  syn.letters("C");
  placeScores(syn.trace->seg[0], sumFor(0.25), sumFor(0.25));
  std::mt19937 random(7);
  std::uniform_real_distribution<float> jitter(-2e-5f, 2e-5f);
  const _trel_seg base = syn.trace->seg[0];
  float h = 0, b = 1;
  for (int tries = 0; tries < 100000 && h != b; tries++) {
    syn.trace->seg[0] = base;
    for (int s = 0; s < 4; s++) syn.trace->seg[0].t[s].x += jitter(random);
    trel_scoreTraceAlpha(syn.trace, 2, &h);
    trel_scoreTraceBeta(syn.trace, 2, &b);
  }
  ASSERT_EQ(h, b);
  EXPECT_NEAR(h, 0.25f, 1e-3);
  EXPECT_EQ(syn.assign(), "C");
  EXPECT_NEAR(syn.trace->seg[0].sse_score.z, 0.5, 1e-3);
}

TEST(SseLetters, GapRules) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"BCB", "BBB"},       {"CAC", "CCC"},     {"ACA", "ACA"},   {"BDB", "BDB"},
               {"CBC", "CCC"},       {"BCBCB", "BBBBB"}, {"BCCB", "BCCB"}, {"DAD", "DAD"},
               {"CDC", "CDC"},       {"ABA", "ABA"},     {"CBBC", "CBBC"}, {"AA", "AA"},
               {"A", "A"},           {"CA", "CA"},       {"B", "B"},       {"CACAC", "CCCCC"},
               {"BCBCC", "BBBCC"}, {"CBCBC", "CBBBC"}};
  for (const Case& c : cases) {
    Synthetic syn(int(std::string(c.in).size()));
    syn.letters(c.in);
    EXPECT_EQ(syn.assign(), c.out) << c.in;
  }
  // A helix exactly on its template: helix score 1, coil score 0.
  Synthetic syn(1);
  syn.letters("A");
  syn.assign();
  EXPECT_EQ(syn.trace->seg[0].sse_score.x, 1.0f);
  EXPECT_EQ(syn.trace->seg[0].sse_score.z, 0.0f);
}

TEST(SseFragments, RunsAndWrappingPointers) {
  Synthetic syn(9);
  syn.letters("CCAAACBBC");
  LogTail log;
  const int old = zam_debug;
  zam_debug = 3;
  EXPECT_EQ(syn.assign(), "CCAAACBBC");
  zam_debug = old;
  const _trel_seg* seg = syn.trace->seg;
  // Helix [2-4]: both ways to the strand [6-7] (backward past the first coil).
  for (int k = 2; k <= 4; k++) {
    expectNear(seg[k].next_sse, syn.toward(k, 6, 7), "next", k);
    expectNear(seg[k].prev_sse, syn.toward(k, 6, 7), "prev", k);
  }
  // Strand [6-7]: forward wraps over [8] and [0-1] to the helix; back to it too.
  for (int k = 6; k <= 7; k++) {
    expectNear(seg[k].next_sse, syn.toward(k, 2, 4), "next", k);
    expectNear(seg[k].prev_sse, syn.toward(k, 2, 4), "prev", k);
  }
  for (int k : {0, 1, 5, 8}) {
    expectNear(seg[k].next_sse, syn.towardOrigin(k), "next", k);
    expectNear(seg[k].prev_sse, syn.towardOrigin(k), "prev", k);
  }
  const std::string text = log.tail();
  const char* lines[] = {"    1 Alpha = ", "SSE = C, ID = 0, Next = 0\n", "    3 Alpha =    1.0000, Beta = ",
                         "SSE = A, ID = 1, Next = 2\n", "    7 Alpha = ", "SSE = B, ID = 2, Next = 1\n",
                         "Frag 0 -> [0.000,0.000,0.000]\n", "Frag 4 -> [0.000,0.000,0.000]\n"};
  for (const char* line : lines) EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  const Point3D c = v_scale(v_add(syn.pep->ca[6], syn.pep->ca[7]), 0.5);
  char frag3[80];
  std::snprintf(frag3, sizeof frag3, "Frag 3 -> [%.3f,%.3f,%.3f]\n", c.x, c.y, c.z);
  EXPECT_NE(text.find(frag3), std::string::npos) << text;
  EXPECT_EQ(text.find("Frag 5"), std::string::npos);
}

TEST(SseFragments, CoilBetweenRuns) {
  Synthetic syn(8);
  syn.letters("AACBBCAA");
  EXPECT_EQ(syn.assign(), "AACBBCAA");
  const _trel_seg* seg = syn.trace->seg;
  for (int k = 6; k <= 7; k++) {
    expectNear(seg[k].prev_sse, syn.toward(k, 3, 4), "prev", k);
    expectNear(seg[k].next_sse, syn.toward(k, 0, 1), "next", k);  // wraps to the start
  }
  for (int k = 0; k <= 1; k++) {
    expectNear(seg[k].next_sse, syn.toward(k, 3, 4), "next", k);
    expectNear(seg[k].prev_sse, syn.toward(k, 6, 7), "prev", k);  // wraps to the end
  }
  for (int k = 3; k <= 4; k++) {
    expectNear(seg[k].next_sse, syn.toward(k, 6, 7), "next", k);
    expectNear(seg[k].prev_sse, syn.toward(k, 0, 1), "prev", k);
  }
  for (int k : {2, 5}) {
    expectNear(seg[k].next_sse, syn.towardOrigin(k), "next", k);
    expectNear(seg[k].prev_sse, syn.towardOrigin(k), "prev", k);
  }
}

TEST(SseFragments, AdjacentRunsSingleRunAndNone) {
  {
    // A helix run followed at once by a strand run: two fragments.
    Synthetic syn(4);
    syn.letters("AABB");
    EXPECT_EQ(syn.assign(), "AABB");
    for (int k = 0; k < 2; k++) {
      expectNear(syn.trace->seg[k].next_sse, syn.toward(k, 2, 3), "next", k);
      expectNear(syn.trace->seg[k].prev_sse, syn.toward(k, 2, 3), "prev", k);
    }
    expectNear(syn.trace->seg[3].next_sse, syn.toward(3, 0, 1), "next", 3);
  }
  {
    // A chain of one helix points at itself both ways.
    Synthetic syn(5);
    syn.letters("AAAAA");
    EXPECT_EQ(syn.assign(), "AAAAA");
    for (int k = 0; k < 5; k++) {
      expectNear(syn.trace->seg[k].next_sse, syn.toward(k, 0, 4), "next", k);
      expectNear(syn.trace->seg[k].prev_sse, syn.toward(k, 0, 4), "prev", k);
    }
  }
  {
    // One helix and coil around it: the coil points at the origin.
    Synthetic syn(5);
    syn.letters("CAAAC");
    syn.assign();
    expectNear(syn.trace->seg[2].next_sse, syn.toward(2, 1, 3), "next", 2);
    expectNear(syn.trace->seg[0].next_sse, syn.towardOrigin(0), "next", 0);
  }
  {
    // No helix or strand at all, an incomplete residue among the coil.
    Synthetic syn(4);
    syn.letters("CDCC");
    EXPECT_EQ(syn.assign(), "CDCC");
    for (int k = 0; k < 4; k++) expectNear(syn.trace->seg[k].prev_sse, syn.towardOrigin(k), "prev", k);
  }
  {
    // Runs separated by an incomplete residue are two runs.
    Synthetic syn(5);
    syn.letters("AADAA");
    EXPECT_EQ(syn.assign(), "AADAA");
    expectNear(syn.trace->seg[0].next_sse, syn.toward(0, 3, 4), "next", 0);
  }
}

TEST(SseModel, OneFilePerResidueInItsFrame) {
  const std::string file = testutil::shared_pdb("mustang-testdata/1ard.pdb");
  ASSERT_TRUE(std::filesystem::exists(file)) << "missing shared structure " << file;
  _pdb_image* image = zam_readPdb(file.c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  TempDir dir;
  const std::string prefix = dir.str() + "/m_";
  trel_makeTraceModel(prefix.c_str(), image, -1, -1);
  for (int k = 0; k < image->nres; k++)
    EXPECT_TRUE(std::filesystem::exists(prefix + image->name + "_" + std::to_string(k + 1) + ".pdb")) << k;
  EXPECT_FALSE(std::filesystem::exists(prefix + image->name + "_" + std::to_string(image->nres + 1) + ".pdb"));
  // Residue 5 in its own file: CA at the origin, C on the negative z axis.
  const std::string five = prefix + image->name + "_5.pdb";
  _pdb_image* moved = zam_readPdb(five.c_str(), nullptr);
  ASSERT_NE(moved, nullptr);
  _pdb_peptide* pep = zam_makePdbPep(moved);
  EXPECT_NEAR(mag_vector(pep->ca[4]), 0.0, 2e-3);
  EXPECT_NEAR(pep->c[4].x, 0.0, 2e-3);
  EXPECT_NEAR(pep->c[4].y, 0.0, 2e-3);
  EXPECT_LT(pep->c[4].z, -1.0);
  EXPECT_NEAR(pep->n[4].y, 0.0, 2e-3);
  EXPECT_GT(pep->n[4].x, 0.0);
  zam_freePdbPep(pep);
  zam_freePdb(moved);

  // One residue only; an index outside the image writes nothing.
  TempDir one;
  const std::string p1 = one.str() + "/";
  trel_makeTraceModel(p1.c_str(), image, 2, 3);
  trel_makeTraceModel(p1.c_str(), image, 2, image->nres);
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(one.path)) {
    (void)e;
    files++;
  }
  EXPECT_EQ(files, 1);
  EXPECT_TRUE(std::filesystem::exists(p1 + image->name + "_4.pdb"));
  zam_freePdb(image);
}
