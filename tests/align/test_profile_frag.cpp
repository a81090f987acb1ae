// Profile block rescoring on hand-made profiles: which pivot-free stretches
// become blocks, the block score of the profile's own columns against a hand
// computation, and rebuilt blocks whose rows are other members in placement
// order and whose entries are absolute residue indices.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_globals.h"
#include "align/trel_profile.h"
#include "align/trel_profile_frag.h"
#include "align/trel_trace.h"
#include "common/align_defaults.h"
#include "common/log_capture.h"

namespace {

// A profile of hand-written rows (one string per member, one character per
// column: a letter is the member's next residue, '-' a gap). Residue i of
// every member lies at (3.8 i, 0, 0); the pivot (row 0) one unit off the axis.
struct HandProfile {
  _trel_profile p{};
  std::vector<std::vector<Point3D>> pts;
  std::vector<std::vector<_trel_seg>> segs;
  std::vector<Point3D*> pt_rows;
  std::vector<const _trel_seg*> seg_rows;
  std::vector<int> lengths, table;
  std::vector<char> names;

  explicit HandProfile(const std::vector<std::string>& rows) {
    const int n = (int)rows.size(), cols = (int)rows[0].size();
    pts.resize(n);
    segs.resize(n);
    table.assign((size_t)n * cols, -1);
    for (int r = 0; r < n; r++) {
      int k = 0;
      for (int c = 0; c < cols; c++) {
        if (rows[r][c] == '-') continue;
        table[(size_t)c * n + r] = k;
        pts[r].push_back(pt_make(3.8 * k, r == 0 ? 1.0 : 0.0, 0.0));
        _trel_seg s{};
        s.code = rows[r][c];
        segs[r].push_back(s);
        k++;
      }
      lengths.push_back(k);
    }
    for (int r = 0; r < n; r++) {
      pt_rows.push_back(pts[r].data());
      seg_rows.push_back(segs[r].data());
    }
    names.assign((size_t)n * TREL_PROFILE_NAME, 0);
    for (int r = 0; r < n; r++) names[(size_t)r * TREL_PROFILE_NAME] = char('a' + r);
    p.n_rows = p.n_used = n;
    p.n_struct = n - 1;
    p.n_cols = cols;
    p.table = table.data();
    p.points = pt_rows.data();
    p.segs = seg_rows.data();
    p.lengths = lengths.data();
    p.names = (char(*)[TREL_PROFILE_NAME])names.data();
  }
};

// The block report of a profile, with a buffer big enough for any block.
std::string rescore(const HandProfile& h) {
  const _trel_profile* p = &h.p;
  _trel_align_buf** bufs = trel_allocAlignBuf(1, 64, 64);
  testutil::Capture log;
  trel_refineProfileFrag(p, nullptr, bufs[0]);
  trel_freeAlignBuf(1, bufs);
  return log.text;
}

TEST(ProfileFrag, WhichStretchesAreBlocks) {
  testutil::default_align_settings();
  // Pivot everywhere: no block.
  EXPECT_EQ(rescore(HandProfile({"AAAAAA", "AAAAAA"})), "Refine: na=6, nr=2\n");
  // A pivot gap of 2 columns is no block.
  EXPECT_EQ(rescore(HandProfile({"AAA--AAA", "AAAAAAAA"})), "Refine: na=8, nr=2\n");
  // Two gaps of 2 around a 2-column pivot run join into one block of 6 columns.
  const std::string joined = rescore(HandProfile({"AAA--AA--AAA", "AAAAAAAAAAAA"}));
  EXPECT_NE(joined.find("Block 1 Columns [start, end] = [3 8]"), std::string::npos) << joined;
  EXPECT_EQ(joined.find("Block 2"), std::string::npos) << joined;
}

TEST(ProfileFrag, RebuiltBlocksReadTheMembersMeant) {
  testutil::default_align_settings();
  // Columns 3..8 have no pivot residue. Members 1 and 2 lie on the same points,
  // but the profile pairs residue i of member 1 with residue i-1 of member 2
  // there; rebuilt around either member, the block pairs them exactly.
  HandProfile h({"AAA------AAA", "AAAAAAAA-AAA", "AAA-AAAAAAAA"});
  const std::string log = rescore(h);
  // Own columns: 4 columns hold two points 3.8 apart, 1.9 from their centroid;
  // both members span 5 residues, so the norm is 5 + 5 - 5.
  const double own = 4.0 * (2.0 * std::exp(go_factor * 1.9 * 1.9) - 1.0) / 5.0;
  char want[64];
  std::snprintf(want, sizeof want, "Block 1, pivot 0, p_score = %.5f\n", own);
  EXPECT_NE(log.find(want), std::string::npos) << log;
  EXPECT_NE(log.find("Block 1, pivot 1, p_score = 1.00000\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Block 1, pivot 2, p_score = 1.00000\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Structure 2 (b) residues = [3 7]"), std::string::npos) << log;
}

TEST(ProfileFrag, ShortMembersAreNoPivotAndTheScoreIsBounded) {
  testutil::default_align_settings();
  // Member 2 has only 4 residues in the block: never a pivot there.
  HandProfile h({"AAA-----AAA", "AAAAAAAAAAA", "AAAAA-A-AAA"});
  const std::string log = rescore(h);
  EXPECT_NE(log.find("Block 1, pivot 1,"), std::string::npos) << log;
  EXPECT_EQ(log.find("Block 1, pivot 2,"), std::string::npos) << log;
  // A column holding one residue adds nothing; scores stay within [0, 1].
  _trel_m_block* b = makeMblock(&h.p, 3, 7);
  const float s = scoreMblock(&h.p, b, 3, 3, 7, h.p.table, nullptr);
  EXPECT_GE(s, 0.0f);
  EXPECT_LE(s, 1.0f);
  EXPECT_EQ(trel_columnMscore(&h.p, h.p.table, 3, nullptr, 5), 0.0f);
  freeMblock(b);
  freeMblock(nullptr);
}

}  // namespace
