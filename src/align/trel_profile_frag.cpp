// Profile block rescoring. A progressive map's rows are members in
// placement order, not in profile order, so every map carries a row -> member
// table and holds absolute residue indices: each CA point read belongs to the
// member and residue meant, and an index outside a member's residues is
// never read.
#include "align/trel_profile_frag.h"

#include <algorithm>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_blosum62.h"
#include "align/trel_dp.h"
#include "align/trel_fit.h"
#include "align/trel_globals.h"
#include "align/trel_trace.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "structure/zam_pdb.h"

namespace {

constexpr int kMinPivotRun = 3;     // shorter runs of pivot columns do not split a block
constexpr int kMinBlock = 3;        // shortest pivot-free run that makes a block
constexpr int kMinPivotSpan = 5;    // residues a member needs in a block to serve as its pivot

int member_of(const int* members, int s) { return members ? members[s] : s; }

// The residue of map row s in column c, or -1 when it has none or the entry
// lies outside the member's residues.
int residue_at(const _trel_profile* p, const int* map, int count, const int* members, int c,
               int s) {
  const int r = map[(int64_t)c * count + s];
  const int member = member_of(members, s);
  return r >= 0 && r < p->lengths[member] ? r : -1;
}

int span_of(const int* range) {
  return range[0] >= 0 && range[1] >= 0 ? range[1] - range[0] + 1 : 0;
}

// Pivot-free blocks: columns without a pivot residue, where runs of fewer
// than kMinPivotRun pivot columns count as pivot-free; runs of at least
// kMinBlock such columns. Pairs of first and last columns.
std::vector<std::pair<int, int>> find_blocks(const _trel_profile* p) {
  const int n = p->n_cols, rows = p->n_used;
  std::vector<int> flag(n);
  for (int c = 0; c < n; c++) flag[c] = p->table[(int64_t)c * rows] >= 0;
  for (int c = 0; c < n;) {
    int e = c;
    while (e < n && flag[e] == flag[c]) e++;
    if (flag[c] == 1 && e - c < kMinPivotRun) std::fill(flag.begin() + c, flag.begin() + e, 0);
    c = e;
  }
  std::vector<std::pair<int, int>> blocks;
  for (int c = 0; c < n;) {
    int e = c;
    while (e < n && flag[e] == flag[c]) e++;
    if (flag[c] == 0 && e - c >= kMinBlock) blocks.push_back({c, e - 1});
    c = e;
  }
  return blocks;
}

// Rebuilds block b progressively with member k as pivot and returns its score;
// -1 when a box did not fit buf (reported by the aligner's check).
float rebuild_block(const _trel_profile* p, const _trel_m_block* b, int k, _trel_align_buf* buf) {
  const int* range_k = b->ranges + 2 * k;
  int cols = span_of(range_k);
  std::vector<int> members{k};
  std::vector<int> map(cols);
  for (int c = 0; c < cols; c++) map[c] = range_k[0] + c;
  for (int j = 0; j < p->n_used; j++) {
    if (j == k) continue;
    const int rows = (int)members.size();
    const int* range_j = b->ranges + 2 * j;
    const int span = span_of(range_j);
    std::vector<int> next;
    if (span == 0) {
      next.reserve((size_t)cols * (rows + 1));
      for (int c = 0; c < cols; c++) {
        next.insert(next.end(), map.begin() + (int64_t)c * rows, map.begin() + (int64_t)(c + 1) * rows);
        next.push_back(-1);
      }
    } else {
      if (!trel_alignBufFits(buf, cols, span)) return -1.0f;
      const _trel_a_box box{0, cols - 1, 0, span - 1};
      std::fill(buf->gplane, buf->gplane + (int64_t)(cols + 2) * (span + 2), 0.0f);
      for (int c = 0; c < cols; c++)
        for (int t = 0; t < span; t++) {
          const int r = range_j[0] + t;
          buf->gplane[trel_cell(c, t, span)] = trel_getPscore(
              p->points[j][r], p->segs[j][r].code, -1, c, p, map.data(), rows, members.data());
        }
      _trel_align* a = trel_alignBox(cols, span, box, 0, 3, g_min_gscore, buf->gplane, nullptr, buf);
      if (!a) return -1.0f;
      next.reserve((size_t)a->ncolumns * (rows + 1));
      for (int i = 0; i < a->ncolumns; i++) {
        const int q = a->columns[i].qres, t = a->columns[i].tres;
        if (q < 0 && t < 0) continue;
        if (q >= 0 && q < cols)
          next.insert(next.end(), map.begin() + (int64_t)q * rows, map.begin() + (int64_t)(q + 1) * rows);
        else
          next.insert(next.end(), rows, -1);
        next.push_back(t >= 0 && t < span ? range_j[0] + t : -1);
      }
      trel_freeAlign(a);
    }
    members.push_back(j);
    cols = (int)(next.size() / (rows + 1));
    map = std::move(next);
  }
  return scoreMblock(p, b, (int)members.size(), 0, cols - 1, map.data(), members.data());
}

}  // namespace

void trel_refineProfileFrag(const _trel_profile* p, const _trel_options* /*options*/,
                            _trel_align_buf* buf) {
  zam_msg("Refine: na=%d, nr=%d\n", p->n_cols, p->n_used);
  std::vector<_trel_m_block*> blocks;
  for (auto [first, last] : find_blocks(p)) blocks.push_back(makeMblock(p, first, last));
  std::vector<int> order(p->n_used);
  for (size_t b = 0; b < blocks.size(); b++) {
    sortBlockFragments(p, blocks[b], order.data(), buf);
    zam_msg("Block %d Columns [start, end] = [%d %d]\n", (int)b + 1, blocks[b]->first, blocks[b]->last);
    for (int k : order)
      zam_msg("Structure %d (%s) residues = [%d %d]\n", k + 1, p->names[k], blocks[b]->ranges[2 * k],
              blocks[b]->ranges[2 * k + 1]);
  }
  for (size_t b = 0; b < blocks.size(); b++) {
    const _trel_m_block* block = blocks[b];
    const float own = scoreMblock(p, block, p->n_used, block->first, block->last, p->table, nullptr);
    zam_msg("Block %d, pivot %d, p_score = %.5f\n", (int)b + 1, 0, own);
    for (int k = 1; k < p->n_used; k++) {
      if (span_of(block->ranges + 2 * k) < kMinPivotSpan) continue;
      const float score = rebuild_block(p, block, k, buf);
      if (score >= 0.0f) zam_msg("Block %d, pivot %d, p_score = %.5f\n", (int)b + 1, k, score);
    }
  }
  for (_trel_m_block* block : blocks) freeMblock(block);
}

_trel_m_block* makeMblock(const _trel_profile* p, int first, int last) {
  auto* b = (_trel_m_block*)kget1B_0(sizeof(_trel_m_block));
  b->first = first;
  b->last = last;
  b->ranges = kget1I(2 * (int64_t)std::max(p->n_used, 1));
  zam_msg("Block Columns [start, end] = [%d %d]\n", first, last);
  for (int s = 0; s < p->n_used; s++) {
    int lo = -1, hi = -1;
    for (int c = first; c <= last && lo < 0; c++) lo = residue_at(p, p->table, p->n_used, nullptr, c, s);
    for (int c = last; c >= first && hi < 0; c--) hi = residue_at(p, p->table, p->n_used, nullptr, c, s);
    b->ranges[2 * s] = lo;
    b->ranges[2 * s + 1] = hi;
    b->length = std::max(b->length, span_of(b->ranges + 2 * s));
    zam_msg("Structure %d residues = [%d %d]\n", s + 1, lo, hi);
  }
  return b;
}

void freeMblock(_trel_m_block* b) {
  if (!b) return;
  kfree(b->ranges);
  kfree(b);
}

void sortBlockFragments(const _trel_profile* p, const _trel_m_block* b, int* order,
                        _trel_align_buf* /*buf*/) {
  const int n = p->n_used;
  std::vector<int32_t> spans(n);
  for (int s = 0; s < n; s++) spans[s] = span_of(b->ranges + 2 * s);
  std::vector<int> perm(n);
  zam_sortl(spans.data(), n, perm.data());
  for (int i = 0; i < n; i++) order[i] = perm[n - 1 - i];
}

float scoreMblock(const _trel_profile* p, const _trel_m_block* /*block*/, int count, int first,
                  int last, const int* map, const int* members) {
  // Norm: the rows' residue spans in these columns, summed, less the longest
  // (as the M-score of a whole profile takes its lengths).
  int64_t spans = 0;
  int longest = 0;
  for (int s = 0; s < count; s++) {
    int lo = -1, hi = -1;
    for (int c = first; c <= last; c++) {
      const int r = residue_at(p, map, count, members, c, s);
      if (r < 0) continue;
      if (lo < 0) lo = r;
      hi = r;
    }
    const int span = lo >= 0 ? hi - lo + 1 : 0;
    spans += span;
    longest = std::max(longest, span);
  }
  const double norm = (double)(spans - longest);
  if (norm < 1.0) return 0.0f;
  double sum = 0.0;
  for (int c = first; c <= last; c++) sum += trel_columnMscore(p, map, count, members, c);
  return (float)std::clamp(sum / norm, 0.0, 1.0);
}

float trel_columnMscore(const _trel_profile* p, const int* map, int count, const int* members,
                        int column) {
  Point3D centre = pt_zero();
  int n = 0;
  for (int s = 0; s < count; s++) {
    const int r = residue_at(p, map, count, members, column, s);
    if (r < 0) continue;
    centre = pt_add(centre, p->points[member_of(members, s)][r]);
    n++;
  }
  if (n < 2) return 0.0f;  // one residue or none adds max(S, 1) - 1 = 0
  centre = pt_scale(centre, 1.0 / n);
  float S = 0.0f;
  for (int s = 0; s < count; s++) {
    const int r = residue_at(p, map, count, members, column, s);
    if (r >= 0) S += getMscore((float)d2_ptpt(p->points[member_of(members, s)][r], centre));
  }
  return std::max(S, 1.0f) - 1.0f;
}

float trel_getPscore(Point3D point, char letter, int skip, int column, const _trel_profile* p,
                     const int* map, int count, const int* members) {
  float G = 0.0f, B = 0.0f;
  int n = 0;
  for (int s = 0; s < count; s++) {
    if (s == skip) continue;
    const int r = residue_at(p, map, count, members, column, s);
    if (r < 0) continue;
    const int member = member_of(members, s);
    n++;
    G += getGscore((float)d2_ptpt_inline(p->points[member][r], point));
    if (g_blosum > 0.0f)
      B += trel_getBlosum62F((unsigned char)p->segs[member][r].code, (unsigned char)letter);
  }
  if (n >= 2) {
    G /= (float)n;
    if (g_blosum > 0.0f) B /= (float)n;
  }
  return (1.0f - g_blosum) * G + g_blosum * B;
}
