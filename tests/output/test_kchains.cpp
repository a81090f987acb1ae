// Chain-pair tables on hand-made images and alignments: runs of chains
// (blank chains, chains coming back), contacts, per-pair sums and scores,
// the empty alignment, and the switch.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_fit.h"
#include "common/test_util.h"
#include "output/trel_run_options.h"
#include "output/trel_kchains.h"
#include "structure/zam_pdb.h"

namespace {

// An image holding only residue records, one per letter of chains.
struct Image {
  std::vector<_pdb_residue> res;
  std::string name;
  _pdb_image image{};
  Image(const char* n, const std::string& chains) : name(n) {
    res.resize(chains.size());
    for (size_t i = 0; i < chains.size(); i++) {
      res[i] = _pdb_residue{};
      res[i].chain[0] = chains[i];
      const std::string number = std::to_string(i % 1000 + 1);
      std::memcpy(res[i].resnum, number.c_str(), number.size() + 1);
    }
    image.nres = (int)res.size();
    image.residues = res.data();
    image.name = name.data();
  }
};

_trel_a_column pair(int q, int t, float d2) { return {q, t, 0, 1, 0, 1.0f, 0.5f, d2, '*'}; }
_trel_a_column qgap(int t) { return {-1, t, 0, 0, 0, 0, 0, -1, ' '}; }
_trel_a_column tgap(int q) { return {q, -1, 0, 0, 0, 0, 0, -1, ' '}; }

std::vector<std::string> write(const std::vector<_trel_a_column>& cols, const Image& q,
                               const Image& t, const _trel_options& o) {
  testutil::TempDir dir;
  _trel_align a{};
  a.ncolumns = (int)cols.size();
  a.columns = const_cast<_trel_a_column*>(cols.data());
  a.tf = tf_identity();
  trel_writeAlignChains(&a, &q.image, &t.image, "_query", "_x", (dir.str() + "/").c_str(),
                        tf_identity(), &o);
  return testutil::split_lines(testutil::read_file(dir.file("T_Q_x.kchains")));
}

std::string row(char q, char t, int n, float ks, float gs, float k, float g, float tm) {
  char buf[200];
  snprintf(buf, sizeof buf, "   %c  %c  %6d  %10.4f  %10.4f  %8.4f  %8.4f  %8.4f", q, t, n, ks,
           gs, k, g, tm);
  return buf;
}

const char* kRule = "#===============================================================================";

}  // namespace

TEST(Kchains, TwoChainQueryAgainstBlankChainTarget) {
  // Query A A A B B, target with a blank chain: five columns, one gap.
  Image q("Q", "AAABB"), t("T", "    ");
  std::vector<_trel_a_column> cols = {pair(0, 0, 1), pair(1, 1, 4), tgap(2), pair(3, 2, 0),
                                      pair(4, 3, 9)};
  _trel_options o;
  const auto l = write(cols, q, t, o);
  ASSERT_EQ(l.size(), 15u);
  EXPECT_EQ(l[0], kRule);
  EXPECT_EQ(l[1], "#Query:          Q");
  EXPECT_EQ(l[2], "#Target:         T");
  EXPECT_EQ(l[3], "#No. Qchains:    2");
  EXPECT_EQ(l[4], "#Qchain:         A  3");
  EXPECT_EQ(l[5], "#Qchain:         B  2");
  EXPECT_EQ(l[6], "#No. Tchains:    1");
  EXPECT_EQ(l[7], "#Tchain:         _  4");
  EXPECT_EQ(l[8], "#No. QTpairs:    2");
  EXPECT_EQ(l[9], "#No. QTcontacts: 2");
  EXPECT_EQ(l[11], "#  Q  T  Npairs       K-Sum       G-Sum   K-Score   G-Score  TM-Score");
  // A: columns 0..2, two pairs; L = min(3, 4) = 3.
  double d2a[2] = {1, 4}, d2b[2] = {0, 9};
  EXPECT_EQ(l[13], row('A', '_', 2, 2, 1, 2.0f / 3, 1.0f / 3, trel_TscoreAlign(3, 4, 2, d2a)));
  EXPECT_EQ(l[14], row('B', '_', 2, 2, 1, 1.0f, 0.5f, trel_TscoreAlign(2, 4, 2, d2b)));
}

TEST(Kchains, ReturningChainsTouchingRangesAndEmptyPairs) {
  // Query A, B, A again: three runs. Target C C D D D.
  Image q("Q", "ABBA"), t("T", "CCDDD");
  std::vector<_trel_a_column> cols = {pair(0, 0, 1), pair(1, 1, 1), qgap(2), tgap(2),
                                      pair(3, 3, 1), qgap(4)};
  _trel_options o;
  const auto l = write(cols, q, t, o);
  ASSERT_GE(l.size(), 13u);
  EXPECT_EQ(l[3], "#No. Qchains:    3");
  EXPECT_EQ(l[4], "#Qchain:         A  1");
  EXPECT_EQ(l[5], "#Qchain:         B  2");  // columns 1..3
  EXPECT_EQ(l[6], "#Qchain:         A  1");
  EXPECT_EQ(l[7], "#No. Tchains:    2");
  EXPECT_EQ(l[8], "#Tchain:         C  2");  // columns 0..1
  EXPECT_EQ(l[9], "#Tchain:         D  3");  // columns 2..5
  EXPECT_EQ(l[10], "#No. QTpairs:    6");
  // A(0)-C yes, A(0)-D no, B(1..3)-C touch at 1, B-D yes, A(4)-C no, A(4)-D yes.
  EXPECT_EQ(l[11], "#No. QTcontacts: 4");
  ASSERT_EQ(l.size(), 21u);
  double one[1] = {1};
  EXPECT_EQ(l[15], row('A', 'C', 1, 1, 0.5f, 1, 0.5f, trel_TscoreAlign(1, 2, 1, one)));
  EXPECT_EQ(l[16], row('A', 'D', 0, 0, 0, 0, 0, 0));
  EXPECT_EQ(l[17], row('B', 'C', 1, 1, 0.5f, 0.5f, 0.25f, trel_TscoreAlign(2, 2, 1, one)));
  // The returning A run (column 4) shares its one pair with D.
  EXPECT_EQ(l[20], row('A', 'D', 1, 1, 0.5f, 1, 0.5f, trel_TscoreAlign(1, 3, 1, one)));
}

TEST(Kchains, EmptyAlignmentAndSwitch) {
  Image q("Q", "AA"), t("T", "BB");
  _trel_options o;
  const auto l = write({}, q, t, o);
  ASSERT_EQ(l.size(), 10u);
  EXPECT_EQ(l[3], "#No. Qchains:    0");
  EXPECT_EQ(l[4], "#No. Tchains:    0");
  EXPECT_EQ(l[5], "#No. QTpairs:    0");
  EXPECT_EQ(l[6], "#No. QTcontacts: 0");
  EXPECT_EQ(l[9], kRule);
  o.write_kchains = 0;
  EXPECT_TRUE(write({pair(0, 0, 1)}, q, t, o).empty());
}
