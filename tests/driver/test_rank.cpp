// Final ranking under the ten scores with ties, hit selection with the
// trivial-identity, partner, family and redundancy filters and the show
// limit, and Z-score statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/things.h"
#include "align/trel_align.h"
#include "align/trel_globals.h"
#include "align/trel_trace.h"
#include "driver/trel_options.h"
#include "driver/trel_rank.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "store/trel_thing.h"

namespace {

// The score arrays of nt targets, all zero.
struct Scores {
  int nt;
  std::vector<float> f[9];
  std::vector<int> i[8];
  _trel_scores s{};
  explicit Scores(int n) : nt(n) {
    for (auto& v : f) v.assign((size_t)n, 0.0f);
    for (auto& v : i) v.assign((size_t)n, 0);
    s = {f[0].data(), f[1].data(), f[2].data(), f[3].data(), f[4].data(), f[5].data(), f[6].data(),
         f[7].data(), f[8].data(), i[0].data(), i[1].data(), i[2].data(), i[3].data(), i[4].data(),
         i[5].data(), i[6].data(), i[7].data()};
  }
};

std::vector<int> identity_order(int nt) {
  std::vector<int> order((size_t)nt);
  for (int t = 0; t < nt; t++) order[(size_t)t] = t;
  return order;
}

// Targets by rank (rank 0 first).
std::vector<int> ranked(const std::vector<int>& order) {
  return std::vector<int>(order.rbegin(), order.rend());
}

// Targets selected, by rank.
std::vector<int> shown(const std::vector<int>& order, const Scores& sc) {
  std::vector<int> out;
  for (int t : ranked(order))
    if (sc.s.selected[t]) out.push_back(t);
  return out;
}

using testutil::Things;

// Messages shown while a Capture lives, in captured (log_capture.h).
using Capture = testutil::Messages;
std::string& captured = testutil::Messages::said();

}  // namespace

TEST(Rank, DescendingTiesComeOutReversedAscendingKeepOrder) {
  // Ranks before: 4, 3, 2, 1, 0. Targets 1 and 2 tie.
  const float key[] = {1.0f, 3.0f, 3.0f, 2.0f, 0.0f};
  std::vector<int> order = identity_order(5);
  trel_sortSubsetF(0, 5, 5, key, order.data());
  EXPECT_EQ(ranked(order), (std::vector<int>{1, 2, 3, 0, 4}));

  order = identity_order(5);
  trel_sortSubsetF(1, 5, 5, key, order.data());
  EXPECT_EQ(ranked(order), (std::vector<int>{4, 0, 3, 2, 1}));

  // Only the first three ranks move.
  order = identity_order(5);
  trel_sortSubsetF(0, 3, 5, key, order.data());
  EXPECT_EQ(ranked(order), (std::vector<int>{2, 3, 4, 1, 0}));

  const int ikey[] = {5, 7, 7, 1, 7};
  order = identity_order(5);
  trel_sortSubsetI(0, 5, 5, ikey, order.data());
  EXPECT_EQ(ranked(order), (std::vector<int>{1, 2, 4, 0, 3}));
  order = identity_order(5);
  trel_sortSubsetI(1, 5, 5, ikey, order.data());
  EXPECT_EQ(ranked(order), (std::vector<int>{3, 0, 4, 2, 1}));

  // A NaN key is the worst either way.
  const float nkey[] = {1.0f, NAN, 2.0f};
  order = identity_order(3);
  trel_sortSubsetF(0, 3, 3, nkey, order.data());
  EXPECT_EQ(ranked(order)[2], 1);
  order = identity_order(3);
  trel_sortSubsetF(1, 3, 3, nkey, order.data());
  EXPECT_EQ(ranked(order)[2], 1);
}

TEST(Rank, EachOfTheTenScores) {
  const std::string letters = "KGJMTRNDIP";
  for (int k = 0; k <= 10; k++) {
    const int want = k == 10 ? 2 : k;  // an unknown score ranks by J
    Scores sc(10);
    // Every key ties targets by t % 3; target `want` alone is best under its key.
    float* fkeys[] = {sc.s.kscore, sc.s.gscore, sc.s.jscore, sc.s.mscore, sc.s.tscore, sc.s.rmsd};
    int* ikeys[] = {sc.s.naligned, sc.s.ntrace, sc.s.nident};
    for (int t = 0; t < 10; t++) {
      for (float* f : fkeys) f[t] = (float)(t % 3);
      sc.s.rmsd[t] = 10.0f + (float)(t % 3);
      sc.s.pident[t] = (float)(t % 3);
      for (int* i : ikeys) i[t] = t % 3;
    }
    const float best = 100.0f;
    switch (want) {
      case 0: sc.s.kscore[want] = best; break;
      case 1: sc.s.gscore[want] = best; break;
      case 2: sc.s.jscore[want] = best; break;
      case 3: sc.s.mscore[want] = best; break;
      case 4: sc.s.tscore[want] = best; break;
      case 5: sc.s.rmsd[want] = 0.5f; break;
      case 6: sc.s.naligned[want] = 100; break;
      case 7: sc.s.ntrace[want] = 100; break;
      case 8: sc.s.nident[want] = 100; break;
      case 9: sc.s.pident[want] = best; break;
    }
    if (k < 10) {
      EXPECT_EQ(trel_sortLetter(k), letters[(size_t)k]);
    }
    EXPECT_EQ(trel_sortKeyIsInt(k), k >= 6 && k <= 8 ? 1 : 0);
    std::vector<int> order = identity_order(10);
    trel_rankTargets(k, 10, 10, &sc.s, order.data());
    const std::vector<int> r = ranked(order);
    EXPECT_EQ(r[0], want) << "score " << k;
    if (want == 5) {
      // Ascending: ties keep their order (input rank 0 is target 9).
      EXPECT_EQ(std::vector<int>(r.begin() + 1, r.begin() + 4), (std::vector<int>{9, 6, 3})) << k;
    } else {
      // Descending: the ties of key 2 (targets 2, 5, 8 less the best) come
      // out in the reverse of their previous ranking (8 was first).
      std::vector<int> twos;
      for (int t : r)
        if (t != want && t % 3 == 2) twos.push_back(t);
      std::vector<int> expect;
      for (int t : {2, 5, 8})
        if (t != want) expect.push_back(t);
      EXPECT_EQ(twos, expect) << k;
    }
  }
}

TEST(Rank, RmsdRankingMovesOnlyTheRefinedRanks) {
  Scores sc(4);
  const float rmsd[] = {0.5f, 3.0f, 2.0f, 1.0f};
  for (int t = 0; t < 4; t++) sc.s.rmsd[t] = rmsd[t];
  std::vector<int> order = identity_order(4);  // ranks: 3, 2, 1, 0
  trel_rankTargets(5, 2, 4, &sc.s, order.data());
  EXPECT_EQ(ranked(order), (std::vector<int>{3, 2, 1, 0}));
  trel_rankTargets(5, 3, 4, &sc.s, order.data());
  EXPECT_EQ(ranked(order), (std::vector<int>{3, 2, 1, 0}));
  trel_rankTargets(5, 4, 4, &sc.s, order.data());
  EXPECT_EQ(ranked(order), (std::vector<int>{0, 3, 2, 1}));
}

TEST(Select, FamilyFilterOpensARunAtEveryChange) {
  Things q, t;
  q.add_family("q", 1);
  // Ranks 0..4 hold families A A A B A (A = 1, B = 2).
  const int fam[] = {1, 1, 1, 2, 1};
  const char* names[] = {"a0", "a1", "a2", "b3", "a4"};
  for (int k = 0; k < 5; k++) t.add_family(names[k], fam[k]);
  std::vector<int> order = {4, 3, 2, 1, 0};
  Scores sc(5);
  _trel_options opt;
  opt.with_group = 2;
  int skip = -1;
  Capture cap;
  EXPECT_EQ(trel_selectHits(&opt, q.list[0], t.list.data(), 5, 5, 5, order.data(), &sc.s, nullptr, &skip), 4);
  EXPECT_EQ(skip, 0);
  EXPECT_EQ(shown(order, sc), (std::vector<int>{0, 1, 3, 4}));
  EXPECT_NE(captured.find("\nApplying family membership filter (max 2) to top 5 targets...\n"), std::string::npos);
  EXPECT_NE(captured.find("Retaining structures for 3 distinct families.\n"), std::string::npos);

  // The show limit keeps the first two selected.
  EXPECT_EQ(trel_selectHits(&opt, q.list[0], t.list.data(), 5, 5, 2, order.data(), &sc.s, nullptr, &skip), 2);
  EXPECT_EQ(shown(order, sc), (std::vector<int>{0, 1}));
}

TEST(Select, TrivialIdentityAndPartner) {
  Things q, t;
  q.add_family("q", 1, "ACDEF");
  t.add_family("self", 1);
  t.add_family("other", 2);
  t.add_family("third", 2);
  std::vector<int> order = {2, 1, 0};  // ranks: self, other, third
  Scores sc(3);
  sc.s.rmsd_matched[0] = 0.001f;
  sc.s.nident[0] = 5;
  _trel_options opt;
  opt.do_multi = 1;
  int skip = 0;
  {
    Capture cap;
    EXPECT_EQ(trel_selectHits(&opt, q.list[0], t.list.data(), 3, 3, 3, order.data(), &sc.s, nullptr, &skip), 2);
    EXPECT_EQ(skip, 1);
    EXPECT_EQ(shown(order, sc), (std::vector<int>{1, 2}));
    EXPECT_NE(captured.find("Detected trivial identity between query=q and target=self.\n"), std::string::npos);
  }
  opt.do_multi = 0;
  opt.do_partner = 1;
  {
    Capture cap;
    EXPECT_EQ(trel_selectHits(&opt, q.list[0], t.list.data(), 3, 3, 3, order.data(), &sc.s, nullptr, &skip), 1);
    EXPECT_EQ(shown(order, sc), (std::vector<int>{1}));
  }
  // Not identical (one residue differs in count): nothing skipped.
  sc.s.nident[0] = 4;
  EXPECT_EQ(trel_selectHits(&opt, q.list[0], t.list.data(), 3, 3, 3, order.data(), &sc.s, nullptr, &skip), 1);
  EXPECT_EQ(skip, 0);
  EXPECT_EQ(shown(order, sc), (std::vector<int>{0}));
  // Without -multi or -partner a self-match is shown.
  opt.do_partner = 0;
  sc.s.nident[0] = 5;
  EXPECT_EQ(trel_selectHits(&opt, q.list[0], t.list.data(), 3, 3, 3, order.data(), &sc.s, nullptr, &skip), 3);
  EXPECT_EQ(skip, 0);
}

TEST(Select, RedundancyFilterDropsNearCopiesAndRestoresWeights) {
  Things q, t;
  q.add_family("q", 1, "ACDEFGHIKL");
  t.add_family("first", 1, "MNPQRSTVWYACDEFGHIKL");
  t.add_family("copy", 1, "MNPQRSTVWYACDEFGHIKL");
  t.add_family("different", 1, "GGGGGGGGGGGGGGGGGGGG");
  t.add_family("outside", 1, "MNPQRSTVWYACDEFGHIKL");
  std::vector<int> order = {3, 2, 1, 0};  // ranks: first, copy, different, outside
  Scores sc(4);
  _trel_options opt;
  opt.nr_percent = 90.0f;
  const float w[] = {trel_getAlignTrace(), trel_getAlignSpatial(), trel_getAlignBlosum(), trel_getAlignCut()};
  int skip = 0;
  Capture cap;
  // ntop 3: the rank-3 target lies outside the filter and is never selected.
  EXPECT_EQ(trel_selectHits(&opt, q.list[0], t.list.data(), 4, 3, 4, order.data(), &sc.s, nullptr, &skip), 2);
  EXPECT_EQ(shown(order, sc), (std::vector<int>{0, 2}));
  EXPECT_NE(captured.find("\nApplying sequence identity filter to top 3 target sequences...\n"), std::string::npos);
  EXPECT_NE(captured.find("Retaining top 2 non-redundant structures at 90.00 percent sequence identity level.\n"),
            std::string::npos);
  EXPECT_FLOAT_EQ(trel_getAlignTrace(), w[0]);
  EXPECT_FLOAT_EQ(trel_getAlignSpatial(), w[1]);
  EXPECT_FLOAT_EQ(trel_getAlignBlosum(), w[2]);
  EXPECT_FLOAT_EQ(trel_getAlignCut(), w[3]);

  // 100 percent (or 0) runs no filter: every rank is shown.
  opt.nr_percent = 100.0f;
  EXPECT_EQ(trel_selectHits(&opt, q.list[0], t.list.data(), 4, 3, 4, order.data(), &sc.s, nullptr, &skip), 4);
}

TEST(Zscore, PopulationStatistics) {
  const float x[] = {1.0f, 2.0f, 3.0f, 4.0f};
  double mean = -1, sd = -1;
  trel_setupZscore(4, x, &mean, &sd);
  EXPECT_DOUBLE_EQ(mean, 2.5);
  EXPECT_DOUBLE_EQ(sd, std::sqrt(1.25));
  EXPECT_FLOAT_EQ(trel_getZscore(4.0f, mean, sd), (float)(1.5 / std::sqrt(1.25)));
  trel_setupZscore(1, x, &mean, &sd);
  EXPECT_DOUBLE_EQ(mean, 1.0);
  EXPECT_DOUBLE_EQ(sd, 0.0);
  EXPECT_FLOAT_EQ(trel_getZscore(3.0f, mean, sd), 0.0f);
  trel_setupZscore(0, x, &mean, &sd);
  EXPECT_DOUBLE_EQ(mean, 0.0);
  EXPECT_DOUBLE_EQ(sd, 0.0);
}
