// Anchor search: rigid fits seeded from the K-score alignment of a box and
// its well-fitting fragments, over the whole box or over overlapping tiles.
#include "align/trel_anchor.h"

#include <algorithm>
#include <vector>

#include "align/trel_dp.h"
#include "align/trel_fit.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"

namespace {

// A fragment seeds a rigid fit when it matches at least this many pairs and
// the product of its match count and G-score reaches the score floor.
constexpr int kMinSeedPairs = 4;
constexpr float kMinSeedScore = 30.0f;
// Anchors at or above this M-score end the search under the default rule.
constexpr float kGoodMscore = 0.5f;
// The tile sizes of the tiled search, tried in this order.
constexpr int kTileSizes[2] = {100, 72};
// Boost of the G-factor cells along a tiled anchor during its refit.
constexpr float kTileBoost = 4.0f;

bool isSeed(int nm, float G) { return nm >= kMinSeedPairs && (float)nm * G >= kMinSeedScore; }

// Ends of the strips of length T covering first..last (L residues in count
// strips): the first strip gives up half the overhang.
void addStrips(int first, int last, int T, int count, bool query, _trel_a_box box,
               std::vector<_trel_a_box>& out) {
  int L = last - first + 1;
  std::vector<int> ends;
  int e = count > 1 ? first + T - 1 - (T * count - L) / 2 : last;
  auto tile = [&](int s, int t) {
    _trel_a_box b = box;
    if (query) {
      b.qfirst = s;
      b.qlast = t;
    } else {
      b.tfirst = s;
      b.tlast = t;
    }
    out.push_back(b);
  };
  tile(first, e);
  ends.push_back(e);
  for (int i = 1; i < count; i++) {
    int s = e + 1;
    e = std::min(e + T, last);
    tile(s, e);
    ends.push_back(e);
  }
  for (int i = 0; i + 1 < count; i++) {
    int s = ends[i] - T / 2;
    tile(s, std::min(s + T - 1, last));
  }
}

}  // namespace

_trel_align* findAnchor(int n, int m, _trel_a_box box, int rule, int threads, int seeds, int cycles,
                        _trel_seg* qseg, _trel_seg* tseg, _pdb_peptide* qpep, _pdb_peptide* tpep,
                        float range, float contact, float match, _trel_align_buf* buf) {
  if (rule == 1)
    return findAnchorGlobal(n, m, box, threads, seeds, cycles, qseg, tseg, qpep, tpep, range,
                            match, buf);
  if (rule == 2) {
    _trel_align* t = findAnchorTiled(n, m, box, threads, seeds, cycles, qseg, tseg, qpep, tpep,
                                     range, match, buf);
    if (t) return t;
    if (zam_debug > 0)
      zam_msg("Tiled Anchor search didnt find anything. Reverting to global alignment.\n");
    return findAnchorGlobal(n, m, box, threads, seeds, cycles, qseg, tseg, qpep, tpep, range,
                            match, buf);
  }
  _trel_align* g = findAnchorGlobal(n, m, box, threads, seeds, cycles, qseg, tseg, qpep, tpep,
                                    range, match, buf);
  markupAlignFit(n, m, g, qseg, tseg, qpep, tpep, contact, buf);
  if (g->mscore >= kGoodMscore) {
    if (zam_debug > 0)
      zam_msg("First anchor search finds M-score = %.4f. Thats good enough.\n", g->mscore);
    return g;
  }
  if (zam_debug > 0)
    zam_msg("First Anchor search finds M-score = %.4f. Trying a tiled alignment.\n", g->mscore);
  _trel_align* t = findAnchorTiled(n, m, box, threads, seeds, cycles, qseg, tseg, qpep, tpep,
                                   range, match, buf);
  if (!t) {
    if (zam_debug > 0)
      zam_msg("Tiled Anchor search didnt find anything. Reverting to global alignment.\n");
    return g;
  }
  markupAlignFit(n, m, t, qseg, tseg, qpep, tpep, contact, buf);
  if (t->mscore > g->mscore) {
    if (zam_debug > 0)
      zam_msg("Tiled Anchor search finds M = %.4f. Keeping the tiled alignment.\n", t->mscore);
    trel_freeAlign(g);
    return t;
  }
  if (zam_debug > 0)
    zam_msg("Tiled Anchor search finds M = %.4f. Keeping the first alignment.\n", t->mscore);
  trel_freeAlign(t);
  return g;
}

_trel_align* findAnchorGlobal(int n, int m, _trel_a_box box, int /*threads*/, int /*seeds*/,
                              int cycles, _trel_seg* /*qseg*/, _trel_seg* /*tseg*/,
                              _pdb_peptide* qpep, _pdb_peptide* tpep, float range, float match,
                              _trel_align_buf* buf) {
  _trel_fit_buf fb = trel_fitBuf(buf);
  _trel_align* a = trel_alignKbox(n, m, box, buf);
  // A box the buffer cannot hold (reported by the DP): rigid fitting turns
  // it into an empty alignment, never a missing one.
  if (!a) return alignRigidBox(n, m, box, cycles, qpep, tpep, tf_identity(), range, match, 0.0f, buf);
  int f = a->nfrags;
  std::vector<float> score(f + 1, 0.0f);
  std::vector<char> seed(f + 1, 0);
  std::vector<int> perm(f + 1, 0);
  std::vector<_trel_align*> rigid(f + 1, nullptr);
  for (int i = 0; i <= f; i++) {
    if (i >= 1 && a->frags[i].kind != 2) continue;
    Matrix3D M = fitFragment(i, -1, a, qpep, tpep, fb);
    float G = 0.0f, R = 0.0f;
    int nm = scoreFragment(n, m, 0, -1, a, qpep, tpep, M, range, match, &G, &R, fb);
    a->nmatched = nm;
    a->gscore = G;
    a->rmsd_matched = R;
    a->tf = M;
    a->frags[i].tf = M;
    float s = (float)nm * G;
    if (i == 0 || isSeed(nm, G)) {
      seed[i] = 1;
      score[i] = s;
    }
    if (zam_debug > 1)
      zam_msg("Fragment %d, Score = %.5f, G-score = %.5f, RMSD = %.4f (nm=%d)\n", i, score[i], G,
              R, nm);
  }
  a->tf = tf_identity();
  zam_sortf(score.data(), f + 1, perm.data());
  for (int r = f; r >= 0; r--) {
    int k = perm[r];
    if (!seed[k]) continue;
    rigid[k] = alignRigidBox(n, m, box, cycles, qpep, tpep, a->frags[k].tf, range, match, 0.0f, buf);
    score[k] = rigid[k]->gscore;
  }
  // Record 0 is always a seed, so the pick always has a rigid result.
  int best = -1;
  float top = -999.0f;
  for (int k = 0; k <= f; k++)
    if (seed[k] && score[k] > top) {
      top = score[k];
      best = k;
    }
  _trel_align* picked = rigid[best];
  for (int k = 0; k <= f; k++)
    if (k != best) trel_freeAlign(rigid[k]);
  trel_freeAlign(a);
  return picked;
}

_trel_align* findAnchorTiled(int n, int m, _trel_a_box box, int threads, int seeds, int cycles,
                             _trel_seg* qseg, _trel_seg* tseg, _pdb_peptide* qpep,
                             _pdb_peptide* tpep, float range, float match, _trel_align_buf* buf) {
  _trel_align* best = nullptr;
  for (int T : kTileSizes) {
    if (n < T && m < T) continue;
    _trel_align* d = doAnchorTiles(n, m, box, T, threads, seeds, cycles, qseg, tseg, qpep, tpep,
                                   range, match, buf);
    if (!d) continue;
    biasScoreMatrix(n, m, d, 1.0f, kTileBoost, buf);
    _trel_align* r = alignRigidBox(n, m, box, 1, qpep, tpep, d->tf, range, match, 0.0f, buf);
    biasScoreMatrix(n, m, d, 1.0f, 1.0f / kTileBoost, buf);
    trel_freeAlign(d);
    if (zam_debug > 1)
      zam_msg("Tile=[%dx%d]: M = %.5f, G = %.5f, RMSD = %.4f (nm=%d, na=%d)\n", T, T, r->mscore,
              r->gscore, r->rmsd_matched, r->nmatched, r->naligned);
    best = trel_keepBetterG(best, r);
  }
  return best;
}

_trel_align* doAnchorTiles(int n, int m, _trel_a_box box, int T, int /*threads*/, int /*seeds*/,
                           int cycles, _trel_seg* qseg, _trel_seg* tseg, _pdb_peptide* qpep,
                           _pdb_peptide* tpep, float range, float match, _trel_align_buf* buf) {
  _trel_a_box* tiles = nullptr;
  int nt = trel_makeTiles(box, T, &tiles);
  _trel_align* best = nullptr;
  float top = -999.0f;
  for (int k = 0; k < nt; k++) {
    _trel_align* r =
        doAnchorOneTile(n, m, tiles[k], cycles, qseg, tseg, qpep, tpep, range, match, buf);
    if (r && r->gscore > top) {
      top = r->gscore;
      trel_freeAlign(best);
      best = r;
    } else {
      trel_freeAlign(r);
    }
  }
  kfree(tiles);
  return best;
}

_trel_align* doAnchorOneTile(int n, int m, _trel_a_box tile, int cycles, _trel_seg* /*qseg*/,
                             _trel_seg* /*tseg*/, _pdb_peptide* qpep, _pdb_peptide* tpep,
                             float range, float match, _trel_align_buf* buf) {
  _trel_fit_buf fb = trel_fitBuf(buf);
  _trel_align* a = trel_alignKbox(n, m, tile, buf);
  if (!a) return nullptr;
  _trel_align* kept = nullptr;
  for (int k = 1; k <= a->nfrags; k++) {
    if (a->frags[k].kind != 2) continue;
    Matrix3D M = fitFragment(k, -1, a, qpep, tpep, fb);
    float G = 0.0f, R = 0.0f;
    int nm = scoreFragment(n, m, k, -1, a, qpep, tpep, M, range, match, &G, &R, fb);
    if (!isSeed(nm, G)) continue;
    _trel_align* r = alignRigidBox(n, m, tile, cycles, qpep, tpep, M, range, match, 0.0f, buf);
    kept = trel_keepBetterG(kept, r);
  }
  trel_freeAlign(a);
  return kept;
}

int trel_makeTiles(_trel_a_box box, int T, _trel_a_box** tiles) {
  T = std::max(T, 1);
  int Lq = box.qlast - box.qfirst + 1, Lt = box.tlast - box.tfirst + 1;
  int nq = (Lq - 1 + T) / T, nt = (Lt - 1 + T) / T;
  std::vector<_trel_a_box> out;
  if (nq <= 1) {
    out.push_back(box);
  } else {
    addStrips(box.qfirst, box.qlast, T, nq, true, box, out);
    addStrips(box.tfirst, box.tlast, T, std::max(nt, 1), false, box, out);
  }
  int count = (int)out.size();
  _trel_a_box* arr = (_trel_a_box*)kget1B((int64_t)count * (int64_t)sizeof(_trel_a_box));
  std::copy(out.begin(), out.end(), arr);
  *tiles = arr;
  if (zam_debug > 0)
    zam_msg("Making %d tiles of size %d for box [%d:%d,%d:%d]\n", count, T, box.qfirst, box.qlast,
            box.tfirst, box.tlast);
  if (zam_debug > 1)
    for (int k = 0; k < count; k++)
      zam_msg("Tile %d: [%d:%d,%d:%d]\n", k, arr[k].qfirst, arr[k].qlast, arr[k].tfirst,
              arr[k].tlast);
  return count;
}
