// The exact text of the search result tables of one query.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/test_util.h"
#include "common/things.h"
#include "driver/trel_rank.h"
#include "driver/trel_tables.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "store/trel_cath.h"
#include "store/trel_thing.h"

namespace {

using testutil::Things;

// Messages shown while a Capture lives, in captured (log_capture.h).
using Capture = testutil::Messages;
std::string& captured = testutil::Messages::said();

// Three targets ranked t2, t0, t1 with hand-set scores.
struct Query {
  testutil::TempDir dir;
  std::string folder;
  Things q, t;
  std::vector<int> order = {1, 0, 2};
  std::vector<float> k{10.5f, 20.25f, 30.0f}, j{0.5f, 0.25f, 0.75f}, g{5.0f, 6.0f, 7.0f},
      m{0.5f, 0.6f, 0.7f}, ts{0.1f, 0.2f, 0.3f}, rmsd{1.5f, 2.5f, 0.5f}, rm{1, 2, 0.4f},
      pid{25.0f, NAN, 50.0f}, w{0, 0, 0};
  std::vector<int> nal{40, 0, 60}, nmat{30, 0, 50}, nid{10, 0, 30}, nseg{2, 0, 1}, ncol{50, 0, 70},
      ntr{45, 5, 65}, len{80, 90, 100}, sel{1, 0, 1};
  _trel_scores s{k.data(), j.data(), w.data(), g.data(), m.data(), ts.data(), rmsd.data(), rm.data(),
                 pid.data(), nal.data(), nmat.data(), nid.data(), nseg.data(), ncol.data(), ntr.data(),
                 len.data(), sel.data()};
  Query() : folder(dir.str() + "/") {
    trel_setCathType(TREL_CATH);
    q.add("query", 1, 10, 8, 10, 120);
    t.add("t0", 1, 10, 8, 10, 80);
    t.add("t1", 2, 40, 50, 10, 90);
    t.add("t2", 1, 10, 8, 10, 100);
  }
  std::string read(const std::string& name) { return testutil::read_file(folder + name); }
};

}  // namespace

TEST(Tables, RankFilesByFloatAndIntKeys) {
  Query x;
  ASSERT_EQ(trel_writeRank(x.folder.c_str(), x.q.list[0], "_flex", 3, x.t.list.data(), x.order.data(), 1, &x.s), 1);
  EXPECT_EQ(x.read("query_flex.krank"),
            "t2  1.10.8.10     7.00000     0.500     60\n"
            "t0  1.10.8.10     5.00000     1.500     40\n"
            "t1  2.40.50.10     6.00000     2.500      0\n");
  ASSERT_EQ(trel_writeRank(x.folder.c_str(), x.q.list[0], "", 3, x.t.list.data(), x.order.data(), 7, &x.s), 1);
  EXPECT_EQ(x.read("query.krank"),
            "t2  1.10.8.10     65     0.500     60\n"
            "t0  1.10.8.10     45     1.500     40\n"
            "t1  2.40.50.10      5     2.500      0\n");
  // P with an undefined identity: 0, never "nan".
  ASSERT_EQ(trel_writeRank(x.folder.c_str(), x.q.list[0], "", 3, x.t.list.data(), x.order.data(), 9, &x.s), 1);
  EXPECT_EQ(x.read("query.krank").find("nan"), std::string::npos);
  EXPECT_NE(x.read("query.krank").find("t1  2.40.50.10     0.00000"), std::string::npos);
}

TEST(Tables, HitsNamesAndTime) {
  Query x;
  const int tpcode[] = {1, 1, 0};
  ASSERT_EQ(trel_writeHits(x.folder.c_str(), x.q.list[0], "", 3, x.t.list.data(), 0.5, 0.25, x.order.data(),
                           x.s.kscore, x.s.jscore, x.s.gscore, x.s.mscore, tpcode), 1);
  const std::string rule = "#" + std::string(83, '=') + "\n";
  EXPECT_EQ(x.read("query.khits"),
            rule + "#Query   = query\n#Targets = 3\n"
            "#  Rank  K-Score    J-Score    G-Score    M-Score    Z-Score   Match  Name    Family\n" +
            rule + "#\n"
            "     1    30.00000     0.75000     7.00000     0.70000     1.00000   1     t2  1.10.8.10\n"
            "     2    10.50000     0.50000     5.00000     0.50000     0.00000   1     t0  1.10.8.10\n"
            "     3    20.25000     0.25000     6.00000     0.60000    -1.00000   0     t1  2.40.50.10\n");
  ASSERT_EQ(trel_writeNames(x.folder.c_str(), x.q.list[0], "", 3, x.t.list.data(), x.order.data(), 2), 1);
  EXPECT_EQ(x.read("query.knames"), "t2\nt0\n");  // whether selected or not
  ASSERT_EQ(trel_writeTime(x.folder.c_str(), x.q.list[0], 1.23456), 1);
  EXPECT_EQ(x.read("query.ktime"), "1.2346\n");
}

// The rank and hit tables carry the very digits printf gives: exact
// halves round to even, tiny negatives print as "-0.00000", infinities as
// "inf", and a value too wide for its column widens it.
TEST(Tables, RowsCarryTheDigitsOfPrintf) {
  Query x;
  Things t;
  const std::vector<float> k = {0.015625f, -0.000001f, 1e30f, INFINITY, -INFINITY, 2.5e-6f, 7.5e-6f,
                                -123456.789f, 0.0f, 99999.999995f, 1.00000496f, 3.4e38f};
  const int n = static_cast<int>(k.size());
  std::vector<float> zero(n, 0.0f), rmsd(n), j(n, 0.5f);
  std::vector<int> order(n), aligned(n), tpcode(n, 0);
  for (int i = 0; i < n; i++) {
    t.add(("t" + std::to_string(i)).c_str(), 1, 2, 3, i);
    order[i] = n - 1 - i;  // ranked in list order
    rmsd[i] = k[i] / 1000.0f;
    aligned[i] = i * 1000 - 3000;
  }
  ASSERT_EQ(trel_writeRankF(x.folder.c_str(), x.q.list[0], "", n, t.list.data(), order.data(), k.data(),
                            rmsd.data(), aligned.data()), 1);
  ASSERT_EQ(trel_writeHits(x.folder.c_str(), x.q.list[0], "", n, t.list.data(), 0.5, 0.25, order.data(),
                           k.data(), j.data(), rmsd.data(), zero.data(), tpcode.data()), 1);
  std::string rank, hits;
  char line[512];
  for (int i = 0; i < n; i++) {
    snprintf(line, sizeof line, "t%d  1.2.3.%d  %10.5f  %8.3f  %5d\n", i, i, k[i], rmsd[i], aligned[i]);
    rank += line;
    snprintf(line, sizeof line, "%6d %11.5f %11.5f %11.5f %11.5f %11.5f  %2d     t%d  1.2.3.%d\n", i + 1,
             k[i], 0.5f, rmsd[i], 0.0f, 0.0f, 0, i, i);
    hits += line;
  }
  EXPECT_EQ(x.read("query.krank"), rank);
  const std::string table = x.read("query.khits");
  ASSERT_GE(table.size(), hits.size());
  EXPECT_EQ(table.substr(table.size() - hits.size()), hits);
  EXPECT_NE(rank.find("     0.01562"), std::string::npos) << "1/64 is a tie, rounded to even";
  EXPECT_NE(rank.find("    -0.00000"), std::string::npos);
  EXPECT_NE(rank.find("         inf"), std::string::npos);
}

TEST(Tables, CodesCountsAndLeftOvers) {
  Query x;
  Things t;
  // Ranks: A B A C B A (A = 1.1.1.1, B = 2.2.2.2, C = 3.3.3.3).
  const int fam[] = {1, 2, 1, 3, 2, 1};
  for (int r = 0; r < 6; r++) t.add(("h" + std::to_string(r)).c_str(), fam[r], fam[r], fam[r], fam[r]);
  std::vector<int> order = {5, 4, 3, 2, 1, 0};
  ASSERT_EQ(trel_writeCodes(x.folder.c_str(), x.q.list[0], "", 6, t.list.data(), order.data(), 6, 10), 1);
  const std::string rule = "#" + std::string(69, '=') + "\n";
  EXPECT_EQ(x.read("query.kcode"), rule +
            "#Top 3 family codes for 6/6 top hits with query: query [1.10.8.10]\n" + rule +
            "1.1.1.1\t\t3\n2.2.2.2\t\t2\n3.3.3.3\t\t1\n");
  // Room for one code: the best hit's family, the rest left over.
  ASSERT_EQ(trel_writeCodes(x.folder.c_str(), x.q.list[0], "", 6, t.list.data(), order.data(), 6, 1), 1);
  EXPECT_EQ(x.read("query.kcode"), rule +
            "#Top 1 family codes for 3/6 top hits with query: query [1.10.8.10]\n" + rule + "1.1.1.1\t\t3\n");
  // Equal counts: the code met later in the ranking comes first.
  ASSERT_EQ(trel_writeCodes(x.folder.c_str(), x.q.list[0], "", 6, t.list.data(), order.data(), 2, 10), 1);
  EXPECT_EQ(x.read("query.kcode"), rule +
            "#Top 2 family codes for 2/2 top hits with query: query [1.10.8.10]\n" + rule +
            "2.2.2.2\t\t1\n1.1.1.1\t\t1\n");
}

TEST(Tables, MapOfThePreScorePlane) {
  Query x;
  Things p;
  p.add("qm", 0, 0, 0, 0, 2);
  p.add("tm", 0, 0, 0, 0, 3);
  std::vector<float> plane(4 * 5, -9.0f);  // (2+2) x (3+2)
  for (int i = 1; i <= 2; i++)
    for (int j = 1; j <= 3; j++) plane[(size_t)(i * 5 + j)] = (float)(i * 10 + j) / 100.0f;
  ASSERT_EQ(trel_writeMap(x.folder.c_str(), p.list[0], p.list[1], plane.data(), 0.125f, 0.5f), 1);
  const std::string rule = "#" + std::string(20, '=') + "\n";
  EXPECT_EQ(x.read("tm_qm.kmap"), rule +
            "#qm (2)\n#tm (3)\n#map  = 6\n#rows = 2\n#cols = 3\n#mean =  0.125000\n#SD   =  0.500000\n" + rule +
            "    1     1  0.110000\n    1     2  0.120000\n    1     3  0.130000\n"
            "    2     1  0.210000\n    2     2  0.220000\n    2     3  0.230000\n");
}

TEST(Tables, TopScoresInFileAndLog) {
  Query x;
  const int tpcode[] = {1, 1, 0};
  Capture cap;
  ASSERT_EQ(trel_printTops(x.folder.c_str(), x.q.list[0], "", 3, x.t.list.data(), x.order.data(), &x.s,
                           tpcode, {.nshown = 2, .npos = 2, .auc = 0.75f, .write_file = 1}), 1);
  EXPECT_EQ(x.read("query.ktops"),
            "#Rank  K-Score  G-Score J-Score M-Score T-Score   RMSD   N/*   D/$   I/@   P/!   Len  Seg  TP   Match [Family]\n"
            "#====  =======  ======= ======= ======= =======   ====   ===   ===   ===   ===   ===  ===  ==  ==================\n"
            "    1    30.00     7.00  0.7500  0.7000  0.3000   0.50    60    65    30  50.0   100    1   1  t2  1.10.8.10\n"
            "    2    10.50     5.00  0.5000  0.5000  0.1000   1.50    40    45    10  25.0    80    2   1  t0  1.10.8.10\n");
  const std::string rule = std::string(112, '=') + "\n";
  EXPECT_EQ(captured,
            "\n" + rule + "Top 2 matches for query (length 120) [1.10.8.10] -> [1.10.8.10] (2/3) ROC AUC = 0.750000\n" +
            rule +
            " Rank  K-Score  G-Score J-Score M-Score T-Score   RMSD   N/*   D/$   I/@   P/!   Len  Seg  TP   Match [Family]\n"
            "=====  =======  ======= ======= ======= =======   ====   ===   ===   ===   ===   ===  ===  ==  =================\n"
            "    1    30.00     7.00  0.7500  0.7000  0.3000   0.50    60    65    30  50.0   100    1  +1  t2[1.10.8.10]\n"
            "    2    10.50     5.00  0.5000  0.5000  0.1000   1.50    40    45    10  25.0    80    2  +1  t0[1.10.8.10]\n" +
            rule + " Mean    20.25     6.00  0.6250  0.6000  0.2000   1.00    50    55    20  37.5    90    1   2\n" + rule +
            "\n");
}

TEST(Tables, TopScoresPartnerTitleNaNAndUnwritableFolder) {
  Query x;
  const int tpcode[] = {0, 0, 0};
  x.sel = {0, 1, 0};  // only t1, whose identity is undefined
  Capture cap;
  EXPECT_EQ(trel_printTops((x.folder + "gone/").c_str(), x.q.list[0], "", 3, x.t.list.data(), x.order.data(),
                           &x.s, tpcode, {.nshown = 1, .do_partner = 1, .write_file = 1}), 0);
  EXPECT_NE(captured.find("gone/query.ktops"), std::string::npos);
  EXPECT_NE(captured.find("Top partner match for query (length 120) [1.10.8.10] from 3 targets -> [2.40.50.10]\n"),
            std::string::npos);
  EXPECT_EQ(captured.find("nan"), std::string::npos);
  EXPECT_NE(captured.find("   0.0    90    0   0  t1[2.40.50.10]\n"), std::string::npos) << captured;
  // No rows: the mean row divides by 1.
  x.sel = {0, 0, 0};
  captured.clear();
  EXPECT_EQ(trel_printTops(x.folder.c_str(), x.q.list[0], "", 3, x.t.list.data(), x.order.data(), &x.s, tpcode,
                           {.nshown = 1, .auc = 1.0f}), 1);
  EXPECT_NE(captured.find(" Mean     0.00     0.00  0.0000  0.0000  0.0000   0.00     0     0     0   0.0     0    0   0\n"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(x.folder + "query.ktops"));
}
