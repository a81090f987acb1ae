// Profiles built from real pairwise alignments: identical chains give the
// diagonal; the zinc-finger family gives rows whose residues run in order
// with none used twice, an M-score that recomputes from the coordinates, and
// a consensus refinement that never lowers it; column induction on hand-made
// alignments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_blosum62.h"
#include "align/trel_globals.h"
#include "align/trel_pair.h"
#include "align/trel_profile_frag.h"
#include "align/trel_trace.h"
#include "common/align_defaults.h"
#include "common/things.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "msa/trel_msa.h"
#include "msa/trel_profile_core.h"
#include "output/trel_run_options.h"
#include "runtime/kids.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

const char* kZincFingers = "mustang-testdata";

// Structures aligned on a pivot the way the multiple mode does it: each
// member superposed on the pivot and moved into its frame, the members
// ordered by decreasing pairwise M-score.
struct Family {
  testutil::Things objects;
  _trel_thing* pivot = nullptr;
  std::vector<_trel_thing*> members;
  std::vector<_trel_align*> aligns;
  _trel_profile* profile = nullptr;

  explicit Family(const std::vector<std::string>& paths) {
    testutil::default_align_settings();
    for (const std::string& path : paths) {
      _trel_thing* t = objects.open(path);
      if (!t || !t->tag || t->tag->valid != 1 || !trel_imageThing(t)) {
        ADD_FAILURE() << "cannot open " << path;
        return;
      }
      (pivot ? members.push_back(t) : void(pivot = t));
    }
    _pdb_image* qimage = trel_imageThing(pivot);
    _pdb_peptide* qpep = zam_makePdbPep(qimage);
    int longest = qimage->nres;
    for (_trel_thing* t : members) longest = std::max(longest, t->image->nres);
    _trel_align_buf** bufs = trel_allocAlignBuf(1, longest, longest);
    std::vector<std::pair<float, int>> order;
    std::vector<_trel_align*> made;
    for (size_t i = 0; i < members.size(); i++) {
      _trel_thing* t = members[i];
      _trel_align* a = trel_makeAlignFit(qimage->nres, t->image->nres, 0, 0, 1, 4, 0, 1, 1,
                                         pivot->trace.seg, t->trace.seg, qpep, t->image,
                                         tf_identity(), tf_identity(), 12.0f, 7.0f, 3.4f, bufs[0]);
      EXPECT_NE(a, nullptr);
      zam_movePdb(t->image, a->tf);
      a->tf = tf_identity();
      made.push_back(a);
      order.push_back({-a->mscore, (int)i});
    }
    std::stable_sort(order.begin(), order.end());
    std::vector<_trel_thing*> sorted;
    for (auto& [score, i] : order) {
      sorted.push_back(members[i]);
      aligns.push_back(made[i]);
    }
    members = sorted;
    trel_freeAlignBuf(1, bufs);
    zam_freePdbPep(qpep);
  }
  ~Family() {
    trel_freeProfile(profile);
    for (_trel_align* a : aligns) trel_freeAlign(a);
  }
  _trel_profile* build(int core_rule = 50, int n_extra = 0) {
    _trel_options o;
    o.core_rule = core_rule;
    trel_freeProfile(profile);
    profile = trel_buildProfile("family", pivot, members.data(), (int)members.size(),
                                aligns.data(), n_extra, &o);
    return profile;
  }
};

std::vector<std::string> zinc_fingers() {
  const std::string folder = testutil::shared_pdb(kZincFingers);
  std::vector<std::string> files;
  if (std::filesystem::exists(folder))
    for (const auto& e : std::filesystem::directory_iterator(folder))
      if (e.path().extension() == ".pdb") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

int at(const _trel_profile* p, int c, int r) { return p->table[(int64_t)c * p->n_used + r]; }

// Every row's residues run in increasing order with none used twice, every
// index lies inside its structure, and no column is empty.
void expect_sound(const _trel_profile* p) {
  for (int r = 0; r < p->n_used; r++) {
    int last = -1;
    for (int c = 0; c < p->n_cols; c++) {
      const int k = at(p, c, r);
      if (k < 0) continue;
      ASSERT_GT(k, last) << "row " << r << " column " << c;
      ASSERT_LT(k, p->lengths[r]) << "row " << r;
      last = k;
    }
  }
  for (int c = 0; c < p->n_cols; c++) {
    int count = 0;
    for (int r = 0; r < p->n_used; r++) count += at(p, c, r) >= 0;
    EXPECT_GT(count, 0) << "column " << c;
  }
}

// The M-score from the structures' current CA atoms, in double precision.
double independent_mscore(const _trel_profile* p) {
  long total = 0, longest = 0;
  for (int r = 0; r < p->n_used; r++) {
    total += p->things[r]->image->nres;
    longest = std::max<long>(longest, p->things[r]->image->nres);
  }
  double sum = 0;
  for (int c = 0; c < p->n_cols; c++) {
    std::vector<Point3D> pts;
    for (int r = 0; r < p->n_used; r++)
      if (at(p, c, r) >= 0) pts.push_back(zam_ptPdbResidue(p->things[r]->image, at(p, c, r)));
    if (pts.size() < 2) continue;
    Point3D m{0, 0, 0};
    for (const Point3D& q : pts) m = {m.x + q.x, m.y + q.y, m.z + q.z};
    m = {m.x / pts.size(), m.y / pts.size(), m.z / pts.size()};
    double s = 0;
    for (const Point3D& q : pts) s += std::exp(go_factor * d2_ptpt(q, m));
    sum += std::max(s, 1.0) - 1.0;
  }
  return std::clamp(sum / double(total - longest), 0.0, 1.0);
}

TEST(Profile, IdenticalChainsGiveTheDiagonal) {
  const std::string chain = testutil::shared_pdb(std::string(kZincFingers) + "/1zaa1.pdb");
  ASSERT_TRUE(std::filesystem::exists(chain)) << "missing shared data folder " << kZincFingers;
  for (int copies : {2, 3}) {  // one member: the pairwise alignment; two: one realignment step
    Family f(std::vector<std::string>(copies, chain));
    _trel_profile* p = f.build();
    ASSERT_NE(p, nullptr);
    const int len = p->lengths[0];
    ASSERT_EQ(p->n_used, copies);
    ASSERT_EQ(p->n_cols, len);
    for (int c = 0; c < len; c++)
      for (int r = 0; r < copies; r++) ASSERT_EQ(at(p, c, r), c) << "column " << c << " row " << r;
    EXPECT_NEAR(p->m_score, 1.0, 1e-5);
    EXPECT_EQ(p->n_core, len);
    for (int c = 0; c < len; c++) {
      EXPECT_EQ(p->cons_aa[c], p->segs[0][c].code) << c;  // every row agrees: upper case
      EXPECT_EQ(p->cons_sse[c], p->segs[0][c].sse == 'C' || p->segs[0][c].sse == 'B' ? p->segs[0][c].sse : 'A');
    }
  }
}

TEST(Profile, ZincFingerFamily) {
  const std::vector<std::string> files = zinc_fingers();
  ASSERT_EQ(files.size(), 15u) << "missing shared data folder " << testutil::shared_pdb(kZincFingers);
  std::vector<std::string> fs = files;
  std::rotate(fs.begin(), fs.begin() + 3, fs.end());  // a pivot whose refinement moves the members
  Family f(fs);
  _trel_profile* p = f.build();
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->n_used, 15);
  ASSERT_EQ(p->n_struct, 14);
  expect_sound(p);
  EXPECT_GT(p->m_score, 0.2);
  EXPECT_NEAR(p->m_score, independent_mscore(p), 2e-4);
  EXPECT_EQ(p->n_core, countProfile(p->n_used, p->n_cols, p->table, coreThreshold(15, 50)))
      << "core of the kept table (realigned or induced)";

  // Block rescoring of the real profile: every score within [0, 1], the
  // profile untouched.
  {
    const std::vector<int> table(p->table, p->table + (int64_t)p->n_cols * p->n_used);
    _trel_align_buf** bufs = trel_allocAlignBuf(1, p->n_cols, p->max_length);
    testutil::Capture log;
    trel_refineProfileFrag(p, nullptr, bufs[0]);
    trel_freeAlignBuf(1, bufs);
    EXPECT_TRUE(log.has("Refine: na=")) << log.text;
    std::istringstream in(log.text);
    int scored = 0;
    for (std::string line; std::getline(in, line);) {
      const size_t at_score = line.find("p_score = ");
      if (at_score == std::string::npos) continue;
      const double v = std::stod(line.substr(at_score + 10));
      EXPECT_TRUE(v >= 0.0 && v <= 1.0) << line;
      scored++;
    }
    EXPECT_GT(scored, 0) << log.text;
    EXPECT_TRUE(std::equal(table.begin(), table.end(), p->table));
  }

  // Consensus refinement: never lower, still sound; the members move onto
  // the consensus, the pivot stays, and the score still recomputes from the
  // moved coordinates.
  const float before = p->m_score;
  std::vector<Point3D> first_ca;
  for (int r = 0; r < p->n_used; r++) first_ca.push_back(zam_ptPdbResidue(p->things[r]->image, 3));
  _trel_options o;
  trel_refineProfileCons(p, &o);
  EXPECT_GT(p->m_score, before);
  expect_sound(p);
  EXPECT_EQ(d2_ptpt(first_ca[0], zam_ptPdbResidue(p->things[0]->image, 3)), 0.0);
  for (int r = 1; r < p->n_used; r++)
    EXPECT_GT(d2_ptpt(first_ca[r], zam_ptPdbResidue(p->things[r]->image, 3)), 1e-6) << "row " << r;
  EXPECT_NEAR(p->m_score, independent_mscore(p), 2e-4);
  for (int r = 0; r < p->n_used; r++)  // points and images moved together
    for (int k = 0; k < p->lengths[r]; k += 7)
      EXPECT_LT(d2_ptpt(p->points[r][k], zam_ptPdbResidue(p->things[r]->image, k)), 1e-12);
}

// Hand-made alignments of a pivot of 3 residues with two members.
struct HandAlign {
  _trel_align a{};
  std::vector<_trel_a_column> cols;
  HandAlign(std::initializer_list<std::pair<int, int>> pairs) {
    for (auto [q, t] : pairs) {
      _trel_a_column c{};
      c.qres = q;
      c.tres = t;
      cols.push_back(c);
    }
    a.ncolumns = (int)cols.size();
    a.columns = cols.data();
  }
};

TEST(Profile, InductionStacksInsertions) {
  // Member 1: two leading insertions, one insertion after pivot residue 0.
  // Member 2: one leading insertion, two insertions after pivot residue 0,
  // and a trailing insertion.
  HandAlign a1({{-1, 0}, {-1, 1}, {0, 2}, {-1, 3}, {1, 4}, {2, -1}});
  HandAlign a2({{-1, 0}, {0, 1}, {-1, 2}, {-1, 3}, {1, -1}, {2, 4}, {-1, 5}});
  _trel_align* aligns[] = {&a1.a, &a2.a};
  int cols = 0;
  int* table = induceProfile(2, 3, aligns, &cols);
  const std::vector<std::vector<int>> want = {
      {-1, 0, -1}, {-1, 1, 0}, {0, 2, 1}, {-1, 3, 2}, {-1, -1, 3}, {1, 4, -1}, {2, -1, 4}, {-1, -1, 5}};
  ASSERT_EQ(cols, (int)want.size());
  for (int c = 0; c < cols; c++)
    for (int r = 0; r < 3; r++) EXPECT_EQ(table[c * 3 + r], want[c][r]) << "column " << c << " row " << r;
  kfree(table);

  EXPECT_EQ(coreThreshold(5, 100), 5);
  EXPECT_EQ(coreThreshold(5, 0), 2);
  EXPECT_EQ(coreThreshold(2, 50), 2);
  EXPECT_EQ(coreThreshold(15, 50), 8);
}

// A FASTA file of the residue letters of an image, in folder.
std::string write_fasta(const std::string& folder, const std::string& name, const _pdb_image* image) {
  std::string letters;
  for (int i = 0; i < image->nres; i++) letters += image->residues[i].code[0];
  const std::string path = folder + "/" + name + ".fasta";
  std::ofstream(path) << ">" << name << "\n" << letters << "\n";
  return path;
}

TEST(Profile, SequenceRowsJoinAndTheAlignerSettingsComeBack) {
  const std::vector<std::string> files = zinc_fingers();
  ASSERT_EQ(files.size(), 15u) << "missing shared data folder " << testutil::shared_pdb(kZincFingers);
  Family f({files[0], files[1], files[2]});
  _trel_profile* p = f.build(50, 2);
  ASSERT_NE(p, nullptr);
  testutil::TempDir dir;
  // The pivot's own sequence, and a member's.
  _trel_thing* seqs[2];
  const std::string paths[2] = {write_fasta(dir.path.string(), "pivotseq", p->things[0]->image),
                                write_fasta(dir.path.string(), "memberseq", p->things[2]->image)};
  _trel_thing_opts opts;
  opts.do_write = 0;
  for (int i = 0; i < 2; i++) {
    seqs[i] = trel_openThingFile(paths[i].c_str(), (dir.path.string() + "/").c_str(), 0, 1, &opts,
                                 nullptr, 1, 0);
    f.objects.list.push_back(seqs[i]);
    ASSERT_TRUE(seqs[i] && seqs[i]->tag && seqs[i]->tag->valid == 1) << paths[i];
  }
  const float saved[] = {g_trace, g_spatial, g_blosum, g_cut, w_trace, w_spatial, w_blosum, w_cut};
  _trel_options o;
  trel_addProfile(p, seqs, 2, &o);
  const float now[] = {g_trace, g_spatial, g_blosum, g_cut, w_trace, w_spatial, w_blosum, w_cut};
  for (int i = 0; i < 8; i++) EXPECT_EQ(saved[i], now[i]) << "weight " << i;
  ASSERT_EQ(p->n_used, 5);
  expect_sound(p);
  EXPECT_EQ(p->things[3], seqs[0]);
  EXPECT_STREQ(p->names[4], "memberseq");
  // The pivot's own sequence lines up with the pivot nearly residue for
  // residue (the summed scores of the other rows may pull a few ends aside).
  int same = 0, pivot_columns = 0;
  for (int c = 0; c < p->n_cols; c++) {
    if (at(p, c, 0) < 0) continue;
    pivot_columns++;
    same += at(p, c, 3) == at(p, c, 0);
  }
  EXPECT_GE(same * 10, pivot_columns * 9) << same << " of " << pivot_columns;
}

// Consensus letters and column scores of a hand-made working table: one
// string per row, one character per column ('-' a gap), with the residue's
// secondary-structure letter in a second string.
TEST(Profile, ConsensusLettersAndColumnScores) {
  const std::vector<std::string> aa = {"AAAA-", "AACA-", "ACCD-", "ACVE-"};
  const std::vector<std::string> ss = {"ACBC-", "ACBC-", "BCAC-", "BAAC-"};
  const int rows = 4, cols = 5;
  std::vector<std::vector<_trel_seg>> segs(rows);
  std::vector<std::vector<Point3D>> pts(rows);
  std::vector<const _trel_seg*> seg_rows;
  std::vector<Point3D*> pt_rows;
  std::vector<int> table(rows * cols, -1), lengths;
  for (int r = 0; r < rows; r++) {
    for (int c = 0; c < cols; c++) {
      if (aa[r][c] == '-') continue;
      table[c * rows + r] = (int)segs[r].size();
      _trel_seg g{};
      g.code = aa[r][c];
      g.sse = ss[r][c];
      segs[r].push_back(g);
      pts[r].push_back(pt_make(c, r, 0));
    }
  }
  for (int r = 0; r < rows; r++) {
    seg_rows.push_back(segs[r].data());
    pt_rows.push_back(pts[r].data());
    lengths.push_back((int)segs[r].size());
  }
  _trel_profile p{};
  p.n_rows = p.n_used = rows;
  p.n_cols = cols;
  p.table = table.data();
  p.segs = seg_rows.data();
  p.points = pt_rows.data();
  p.lengths = lengths.data();
  trel_markProfile(&p, 1);
  // All rows agree: upper case; a shared top count: blank; a lone top count
  // above 1: lower case; no count above 1, or an empty column: blank.
  EXPECT_EQ(std::string(p.cons_aa, cols), "A ca ");
  // C above both A and B; B above A; else A (also for an empty column).
  EXPECT_EQ(std::string(p.cons_sse, cols), "ACACA");
  trel_consProfile(&p, 1);
  EXPECT_EQ(p.col_count[0], 4);
  EXPECT_DOUBLE_EQ(p.col_centre[0].y, 1.5);  // centroid of rows 0..3
  EXPECT_EQ(p.col_count[4], 0);
  EXPECT_DOUBLE_EQ(p.col_centre[4].x, 0.0);

  // Column score: the G-score Gaussian, blended with the mean BLOSUM62 value
  // of the other rows' residues by the BLOSUM weight.
  testutil::default_align_settings();
  EXPECT_FLOAT_EQ(trel_getCscore(2.0f, 'A', -1, 1, &p, p.table, rows), std::exp(2.0f * gb_factor));
  trel_setAlignTrace(0.25f);
  trel_setAlignSpatial(0.25f);
  trel_setAlignBlosum(0.5f);
  const float g = std::exp(2.0f * gb_factor);
  const float b = (trel_getBlosum62F('A', 'A') + trel_getBlosum62F('C', 'A') + trel_getBlosum62F('C', 'A')) / 3;
  EXPECT_NEAR(trel_getCscore(2.0f, 'A', 0, 1, &p, p.table, rows), 0.5f * g + 0.5f * b, 1e-5);
  testutil::default_align_settings();
  kfree(p.cons_aa);
  kfree(p.cons_sse);
  kfree(p.col_count);
  kfree(p.col_centre);
}

TEST(Profile, RefusesWhatCannotBeBuilt) {
  _trel_options o;
  EXPECT_EQ(trel_buildProfile("none", nullptr, nullptr, 0, nullptr, 0, &o), nullptr);
  // An alignment naming a residue the member does not have is refused.
  const std::string chain = testutil::shared_pdb(std::string(kZincFingers) + "/1zaa1.pdb");
  ASSERT_TRUE(std::filesystem::exists(chain)) << "missing shared data folder " << kZincFingers;
  Family f({chain, chain});
  const int len = f.pivot->image->nres;
  f.aligns[0]->columns[f.aligns[0]->ncolumns - 1].tres = len;
  EXPECT_EQ(f.build(), nullptr);
  f.aligns[0]->columns[f.aligns[0]->ncolumns - 1].tres = len - 1;
  std::swap(f.aligns[0]->columns[0].qres, f.aligns[0]->columns[1].qres);  // out of order
  EXPECT_EQ(f.build(), nullptr);
  trel_freeProfile(nullptr);
}

}  // namespace
