// Alignment files of a real pair of trypsins: headers and row formats, FASTA
// and PIR rows read back against the residue pairs, edge cases of empty and
// hand-made alignments, the per-hit entry, and unwritable results folders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_pair.h"
#include "align/trel_trace.h"
#include "common/log_capture.h"
#include "common/test_util.h"
#include "output/trel_pair_names.h"
#include "output/trel_run_options.h"
#include "output/trel_write_align.h"
#include "output/trel_write_hit.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_vm.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace fs = std::filesystem;

namespace {

std::string trypsin(const char* name) {
  return testutil::shared_pdb(std::string("theseus-examples/trypsins/") + name + ".pdb.gz");
}

// A real alignment of two structures, built as the search builds it.
struct Hit {
  _pdb_image* q = nullptr;
  _pdb_image* t = nullptr;
  _trel_align* a = nullptr;
  Hit(const char* qname, const char* tname) {
    q = zam_readPdb(trypsin(qname).c_str(), qname);
    t = zam_readPdb(trypsin(tname).c_str(), tname);
    if (!q || !t) return;
    _trel_trace* qt = trel_makeTrace();
    _trel_trace* tt = trel_makeTrace();
    trel_loadTrace(q, pt_zero(), 1, 0, qt);
    trel_loadTrace(t, pt_zero(), 1, 0, tt);
    for (int i = 0; i < q->nres; i++) q->residues[i].sse[0] = qt->seg[i].sse;
    for (int i = 0; i < t->nres; i++) t->residues[i].sse[0] = tt->seg[i].sse;
    _pdb_peptide* qpep = zam_makePdbPep(q);
    _trel_align_buf** bufs = trel_allocAlignBuf(1, q->nres, t->nres);
    a = trel_makeAlignFit(q->nres, t->nres, 0, 0, 1, 4, 0, 1, 1, qt->seg, tt->seg, qpep, t,
                          tf_identity(), tf_identity(), 12.0f, 7.0f, 3.4f, bufs[0]);
    trel_freeAlignBuf(1, bufs);
    zam_freePdbPep(qpep);
    trel_freeTrace(qt);
    trel_freeTrace(tt);
  }
  ~Hit() {
    trel_freeAlign(a);
    zam_freePdb(q);
    zam_freePdb(t);
  }
};

using testutil::split_lines;  // test_util.h

std::string label(const _pdb_image* image, int i) {
  const _pdb_residue& r = image->residues[i];
  return std::string(r.chain) + ":" + r.resnum + ":" + r.resname;
}

// Aligned pairs of two gapped rows, as residue labels.
std::vector<std::pair<std::string, std::string>> row_pairs(const std::string& qrow,
                                                           const std::string& trow,
                                                           const _pdb_image* q,
                                                           const _pdb_image* t) {
  std::vector<std::pair<std::string, std::string>> pairs;
  int qi = 0, ti = 0;
  for (size_t c = 0; c < qrow.size() && c < trow.size(); c++) {
    if (qrow[c] != '-' && trow[c] != '-') pairs.push_back({label(q, qi), label(t, ti)});
    qi += qrow[c] != '-';
    ti += trow[c] != '-';
  }
  return pairs;
}

// Joins the rows of one sequence entry (lines up to an empty line or '>').
std::string join_rows(const std::vector<std::string>& ls, size_t from) {
  std::string row;
  for (size_t i = from; i < ls.size() && !ls[i].empty() && ls[i][0] != '>'; i++) row += ls[i];
  return row;
}

std::string& g_messages = testutil::Messages::said();  // log_capture.h

std::string row(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string row(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

const char* kRule = "#===============================================================================";

}  // namespace

TEST(WriteAlign, RealPairFilesHeadersAndRoundTrips) {
  Hit h("1A0J_A", "1AMH_A");
  ASSERT_NE(h.a, nullptr);
  ASSERT_GT(h.a->naligned, 150);
  testutil::TempDir dir;
  _trel_options o;
  o.n_columns = 60;
  const std::string folder = dir.str() + "/";
  const Matrix3D qframe = tf_tftf(tf_rotz(0.4), tf_v(v_make(3, -2, 7)));
  trel_writeAlignFull(h.a, h.q, h.t, "_query", "", folder.c_str(), qframe, &o);
  const std::string stem = folder + "1AMH_A_1A0J_A";
  for (const char* ext : {".kpairs", ".wpairs", ".profit", ".jmol", ".fasta", ".pir", ".kalign"})
    EXPECT_TRUE(fs::exists(stem + ext)) << ext;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 7);

  // Common header and transform of ".kpairs".
  const auto kp = split_lines(testutil::read_file(stem + ".kpairs"));
  ASSERT_GT(kp.size(), 37u);
  EXPECT_EQ(kp[0], kRule);
  EXPECT_EQ(kp[1], "#Query In:     1A0J_A");
  EXPECT_EQ(kp[2], "#Target In:    1AMH_A");
  EXPECT_EQ(kp[3], "#Query chain:  A");
  EXPECT_EQ(kp[5], "#Query Out:    1A0J_A_query.pdb");
  EXPECT_EQ(kp[6], "#Target Out:   1AMH_A_1A0J_A.pdb");
  EXPECT_EQ(kp[7], row("#Kscore:      %8.2f", h.a->kscore));
  EXPECT_EQ(kp[12], row("#Nquery:      %d", h.q->nres));
  EXPECT_EQ(kp[17], row("#Naligned:    %d", h.a->naligned));
  EXPECT_EQ(kp[20], row("#Nidentity:   %d (%.2f!)", h.a->nidentity,
                        h.a->nidentity * 100.0 / h.a->naligned));
  EXPECT_EQ(kp[21], row("#RMSD-aligned: %.2f", h.a->rmsd_aligned));
  EXPECT_EQ(kp[26], row("#Alignment  (X + Gap): %d + %d = %d", h.a->nmatched,
                        h.a->ncolumns - h.a->nmatched, h.a->ncolumns));
  EXPECT_EQ(kp[29], "#Tmatrix (Target Out = Tmatrix * Target In):");
  const Matrix3D T = tf_tftf(h.a->tf, qframe);
  EXPECT_EQ(kp[30], row("# %f %f %f %f", T.m[0], T.m[1], T.m[2], T.m[3]));
  EXPECT_EQ(kp[33], "# 0.000000 0.000000 0.000000 1.000000");
  EXPECT_EQ(kp[35], "#  Posn   Dist  K-Score  G-Score  SegID   Query        Target");
  ASSERT_EQ(kp.size(), 37u + h.a->ncolumns);

  // Rows: the pairs of ".kpairs" are those of the alignment record.
  std::vector<std::pair<std::string, std::string>> kpairs;
  int zones = 0;
  for (int c = 0; c < h.a->ncolumns; c++) {
    const _trel_a_column& col = h.a->columns[c];
    const std::string& line = kp[37 + c];
    std::istringstream in(line);
    int posn = 0;
    double dist = 0;
    in >> posn >> dist;
    EXPECT_EQ(posn, c + 1);
    if (col.qres >= 0 && col.tres >= 0) {
      EXPECT_EQ(line, row("%5d  %7.2f  %7.4f  %7.4f %4d   %-11s  %-11s %c", c + 1,
                          col.d2 > 0 ? std::sqrt(col.d2) : 0.0, col.kscore, col.gscore, col.seg,
                          label(h.q, col.qres).c_str(), label(h.t, col.tres).c_str(), col.mark));
      kpairs.push_back({label(h.q, col.qres), label(h.t, col.tres)});
      zones += col.mark == '@' || col.mark == '*';
    } else {
      EXPECT_DOUBLE_EQ(dist, -1.0);
      EXPECT_EQ(line.back(), '-');
    }
  }
  EXPECT_EQ((int)kpairs.size(), h.a->naligned);

  // FASTA and PIR read back give the same pairs.
  const auto fa = split_lines(testutil::read_file(stem + ".fasta"));
  ASSERT_GE(fa.size(), 4u);
  EXPECT_EQ(fa[0], ">1A0J_A_query.pdb A");
  for (const auto& l : fa) EXPECT_LE(l.size(), 60u);
  size_t second = 1;
  while (second < fa.size() && (fa[second].empty() || fa[second][0] != '>')) second++;
  ASSERT_LT(second, fa.size());
  EXPECT_EQ(fa[second], ">1AMH_A_1A0J_A.pdb A");
  EXPECT_TRUE(fa[second - 1].empty());
  const std::string fq = join_rows(fa, 1), ft = join_rows(fa, second + 1);
  EXPECT_EQ((int)fq.size(), h.a->ncolumns);
  EXPECT_EQ(row_pairs(fq, ft, h.q, h.t), kpairs);

  const auto pir = split_lines(testutil::read_file(stem + ".pir"));
  ASSERT_GE(pir.size(), 6u);
  EXPECT_EQ(pir[0], ">P1;1A0J_A_query.pdb");
  EXPECT_EQ(pir[1], row("structure:1A0J_A.pdb:%s:A:%s:A:unknown:unknown:0.00:0.00",
                        h.q->residues[0].resnum, h.q->residues[h.q->nres - 1].resnum));
  size_t psecond = 2;
  while (psecond < pir.size() && pir[psecond].rfind(">P1;", 0) != 0) psecond++;
  ASSERT_LT(psecond + 2, pir.size());
  std::string pq = join_rows(pir, 2), pt = join_rows(pir, psecond + 2);
  ASSERT_EQ(pq.back(), '*');
  ASSERT_EQ(pt.back(), '*');
  pq.pop_back();
  pt.pop_back();
  EXPECT_EQ(pq, fq);
  EXPECT_EQ(row_pairs(pq, pt, h.q, h.t), kpairs);

  // ProFit: one zone per matched pair between the header and FIT.
  const auto pf = split_lines(testutil::read_file(stem + ".profit"));
  ASSERT_EQ((int)pf.size(), zones + 4);
  EXPECT_EQ(pf[0], "REFERENCE 1A0J_A_query.pdb");
  EXPECT_EQ(pf[1], "MOBILE    1AMH_A_1A0J_A.pdb");
  EXPECT_EQ(pf[2], "ATOMS CA");
  EXPECT_EQ(pf.back(), "FIT");
  EXPECT_EQ(pf[3].rfind("ZONE A.", 0), 0u);

  // Web pairs, Jmol lists and the listing.
  const auto wp = split_lines(testutil::read_file(stem + ".wpairs"));
  ASSERT_EQ((int)wp.size(), 5 + h.a->ncolumns);
  EXPECT_EQ(wp[0], "#Query In:   1A0J_A.pdb.gz A");
  EXPECT_EQ(wp[4], row("#%d %d %d", h.a->naligned, h.q->nres, h.t->nres));
  const auto jm = split_lines(testutil::read_file(stem + ".jmol"));
  ASSERT_EQ(jm.size(), 5u);
  EXPECT_EQ(jm[0], "#1A0J_A.pdb.gz A");
  EXPECT_TRUE(jm[2].empty());
  std::istringstream numbers(jm[1]);
  int count = 0;
  for (std::string w; numbers >> w;) count++;
  EXPECT_EQ(count, h.a->naligned);
  EXPECT_EQ(jm[1].back(), ' ');
  const auto ka = split_lines(testutil::read_file(stem + ".kalign"));
  EXPECT_EQ(ka[29], "#SSEs       (A = ALPHA, B = BETA, C = COIL/LOOP)");
  EXPECT_EQ(ka[30], kRule);
  EXPECT_EQ(ka.back(), kRule);
  const int blocks = (h.a->ncolumns + 59) / 60;
  ASSERT_EQ((int)ka.size(), 32 + 4 * blocks + 3 + 4 * blocks + 2);
  EXPECT_EQ(ka[32], fq.substr(0, 60));
  EXPECT_EQ(ka[33], ft.substr(0, 60));
  const std::string sse_row = ka[32 + 4 * blocks + 3];
  EXPECT_EQ(sse_row.size(), 60u);
  EXPECT_EQ(sse_row.find_first_not_of("abc-"), std::string::npos) << sse_row;
}

TEST(WriteAlign, SwitchesSelectFiles) {
  Hit h("1A0J_A", "1AMH_A");
  ASSERT_NE(h.a, nullptr);
  testutil::TempDir dir;
  _trel_options o;
  o.write_kpairs = o.write_trw = o.write_profit = o.write_fasta = o.write_kalign = 0;
  o.write_pdb = 0;  // no ".jmol" without PDB files
  const std::string folder = dir.str() + "/";
  trel_writeAlign(h.a, h.q, h.t, "_query", "_flex", folder.c_str(), tf_identity(), &o);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1AMH_A_1A0J_A_flex.kchains", "1AMH_A_1A0J_A_flex.pir"}));
}

TEST(WriteAlign, EmptyAndHandMadeAlignments) {
  Hit h("1A0J_A", "1AMH_A");
  ASSERT_NE(h.q, nullptr);
  testutil::TempDir dir;
  _trel_options o;
  o.n_columns = 80;
  const std::string folder = dir.str() + "/";
  // No columns: every header, empty tables, "*" alone in PIR.
  _trel_align empty{};
  empty.tf = tf_identity();
  trel_writeAlignFull(&empty, h.q, h.t, "_query", "_e", folder.c_str(), tf_identity(), &o);
  const std::string stem = folder + "1AMH_A_1A0J_A_e";
  const auto kp = split_lines(testutil::read_file(stem + ".kpairs"));
  EXPECT_EQ(kp.size(), 37u);
  EXPECT_EQ(kp[3], "#Query chain:  A");
  EXPECT_EQ(kp[20], "#Nidentity:   0 (0.00!)");
  const auto pir = split_lines(testutil::read_file(stem + ".pir"));
  ASSERT_EQ(pir.size(), 7u);
  EXPECT_EQ(pir[2], "*");
  EXPECT_EQ(pir[6], "*");
  EXPECT_EQ(testutil::read_file(stem + ".fasta"),
            ">1A0J_A_query.pdb A\n\n>1AMH_A_1A0J_A_e.pdb A\n");
  EXPECT_EQ(split_lines(testutil::read_file(stem + ".wpairs")).size(), 5u);

  // 160 columns of every kind: rows of 80, gap rows, marks and zones.
  std::vector<_trel_a_column> cols(160);
  for (int c = 0; c < 160; c++) {
    cols[c] = _trel_a_column{c, c, 0, 1, 0, 0.5f, 0.25f, 4.0f, c % 2 ? '*' : '#'};
  }
  cols[5] = _trel_a_column{5, -1, 0, 2, 0, 0, 0, -1, ' '};
  cols[6] = _trel_a_column{-1, 6, 0, 0, 0, 0, 0, -1, ' '};
  cols[7] = _trel_a_column{-1, -1, 0, 0, 0, 0, 0, -1, ' '};
  _trel_align a{};
  a.ncolumns = 160;
  a.columns = cols.data();
  a.naligned = 157;
  a.nidentity = 3;
  a.tf = tf_identity();
  trel_writeAlignFull(&a, h.q, h.t, "_query", "_h", folder.c_str(), tf_identity(), &o);
  const std::string hs = folder + "1AMH_A_1A0J_A_h";
  const auto k2 = split_lines(testutil::read_file(hs + ".kpairs"));
  ASSERT_EQ(k2.size(), 37u + 160);
  EXPECT_EQ(k2[20], "#Nidentity:   3 (1.91!)");
  EXPECT_EQ(k2[37 + 1], row("%5d  %7.2f  %7.4f  %7.4f %4d   %-11s  %-11s %c", 2, 2.0, 0.5, 0.25,
                            1, label(h.q, 1).c_str(), label(h.t, 1).c_str(), '*'));
  EXPECT_EQ(k2[37 + 5], row("%5d  %7.2f  %7.4f  %7.4f %4d   %-11s  %-11s %c", 6, -1.0, 0.0, 0.0,
                            2, label(h.q, 5).c_str(), "  -", '-'));
  EXPECT_EQ(k2[37 + 7], row("%5d  %7.2f  %7.4f  %7.4f %4d   %-11s  %-11s %c", 8, -1.0, 0.0, 0.0, 0,
                            "  -", "  -", '-'));
  const auto wp = split_lines(testutil::read_file(hs + ".wpairs"));
  EXPECT_EQ(wp[5 + 6], row(" - | %s:%s:%s | -", "A", h.t->residues[6].resnum, h.t->residues[6].code));
  EXPECT_EQ(wp[5 + 7], " - | - | -");
  const auto fa = split_lines(testutil::read_file(hs + ".fasta"));
  ASSERT_EQ(fa.size(), 7u);
  EXPECT_EQ(fa[1].size(), 80u);
  EXPECT_EQ(fa[1][6], '-');
  EXPECT_EQ(fa[5][5], '-');
  const auto pir2 = split_lines(testutil::read_file(hs + ".pir"));
  ASSERT_EQ(pir2.size(), 11u);
  EXPECT_EQ(pir2[4], "*");
  // Only '*' pairs are zones: 80 odd columns less the two gap columns 5 and 7.
  EXPECT_EQ(split_lines(testutil::read_file(hs + ".profit")).size(), 4u + 78);
}

TEST(WriteAlign, LongRowsAreWrittenWhole) {
  Hit h("1A0J_A", "1AMH_A");
  ASSERT_NE(h.a, nullptr);
  testutil::TempDir dir;
  _trel_options o;
  o.n_columns = 10000;
  const std::string folder = dir.str() + "/";
  trel_writeAlignFull(h.a, h.q, h.t, "_query", "", folder.c_str(), tf_identity(), &o);
  const auto fa = split_lines(testutil::read_file(folder + "1AMH_A_1A0J_A.fasta"));
  ASSERT_EQ(fa.size(), 5u);
  EXPECT_EQ((int)fa[1].size(), h.a->ncolumns);  // well beyond 1023 would also hold
  const auto ka = split_lines(testutil::read_file(folder + "1AMH_A_1A0J_A.kalign"));
  EXPECT_EQ((int)ka[32].size(), h.a->ncolumns);
}

TEST(WriteAlign, HitEntryAndMaskPass) {
  Hit h("1A0J_A", "1AMH_A");
  ASSERT_NE(h.a, nullptr);
  testutil::TempDir dir;
  _trel_options o;
  o.residue_mask = 1;
  const std::string folder = dir.str() + "/";
  trel_writeHitFiles(h.a, h.q, h.t, trel_pairNames(h.q->name, h.t->name, "_query", ""), folder.c_str(), tf_identity(),
                     &o);
  EXPECT_TRUE(fs::exists(folder + "1AMH_A_1A0J_A.kpairs"));
  EXPECT_TRUE(fs::exists(folder + "1AMH_A_1A0J_A.kchains"));
  EXPECT_TRUE(fs::exists(folder + "1AMH_A_1A0J_A_matched.mac"));
  EXPECT_TRUE(fs::exists(folder + "1AMH_A_1A0J_A_mask_matched.mac"));
  EXPECT_TRUE(fs::exists(folder + "1A0J_A_query_mask_rainbow.pdb"));
  for (int i = 0; i < h.q->nres; i++) ASSERT_EQ(h.q->residues[i].masked, 0);
  for (int i = 0; i < h.t->nres; i++) ASSERT_EQ(h.t->residues[i].masked, 0);
  // The masked rainbow target holds only aligned residues.
  _pdb_image* full = zam_readPdb((folder + "1AMH_A_1A0J_A_rainbow.pdb").c_str(), "full");
  _pdb_image* part = zam_readPdb((folder + "1AMH_A_1A0J_A_mask_rainbow.pdb").c_str(), "part");
  ASSERT_NE(full, nullptr);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(full->nres, h.t->nres);
  EXPECT_EQ(part->nres, h.a->naligned);
  zam_freePdb(full);
  zam_freePdb(part);
  // Nothing at all without do_write.
  testutil::TempDir none;
  o.do_write = 0;
  trel_writeHitFiles(h.a, h.q, h.t, trel_pairNames(h.q->name, h.t->name, "_query", ""), (none.str() + "/").c_str(),
                     tf_identity(), &o);
  EXPECT_TRUE(fs::is_empty(none.path));
}

TEST(WriteAlign, UnwritableFolderWarnsAndLeavesNoFile) {
  Hit h("1A0J_A", "1AMH_A");
  ASSERT_NE(h.a, nullptr);
  testutil::TempDir dir;
  _trel_options o;
  o.residue_mask = -1;
  // A results "folder" that is a regular file: nothing can be opened in it.
  const std::string blocked = dir.file("results");
  testutil::write_file(blocked, "x");
  auto heard = std::make_unique<testutil::Messages>();
  trel_writeHitFiles(h.a, h.q, h.t, trel_pairNames(h.q->name, h.t->name, "_query", ""), (blocked + "/").c_str(),
                     tf_identity(), &o);
  heard.reset();
  EXPECT_NE(g_messages.find("1AMH_A_1A0J_A.kpairs"), std::string::npos) << g_messages;
  EXPECT_NE(g_messages.find("1AMH_A_1A0J_A_rainbow.pdb"), std::string::npos);
  EXPECT_NE(g_messages.find("*Warning*"), std::string::npos);
  EXPECT_EQ(testutil::read_file(blocked), "x");

  // A final name that cannot be taken (a folder that cannot be moved stands
  // there): the complete temporary file is removed and the old entry stays.
  const std::string folder = dir.str() + "/out/";
  const testutil::FixedFolder in_way(folder + "1AMH_A_1A0J_A.fasta");
  if (!in_way.fixed) GTEST_SKIP() << "no immutable folders on this file system";
  heard = std::make_unique<testutil::Messages>();
  trel_writeAlignFull(h.a, h.q, h.t, "_query", "", folder.c_str(), tf_identity(), &o);
  heard.reset();
  EXPECT_NE(g_messages.find("1AMH_A_1A0J_A.fasta"), std::string::npos) << g_messages;
  EXPECT_TRUE(fs::is_directory(folder + "1AMH_A_1A0J_A.fasta"));
  EXPECT_TRUE(fs::exists(folder + "1AMH_A_1A0J_A.pir"));
  for (const auto& e : fs::directory_iterator(folder))
    EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
}
