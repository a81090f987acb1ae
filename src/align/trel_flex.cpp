#include "align/trel_flex.h"

#include <algorithm>
#include <vector>

#include "align/trel_anchor.h"
#include "align/trel_fit.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

bool is_pair(const _trel_a_column& c) { return c.qres >= 0 && c.tres >= 0; }

// The mark array is the buffer's path flags: one entry per traceback step,
// which is at least one per column and one per target residue.
int mark_room(const _trel_align_buf* buf) { return buf->nmax + buf->mmax + 4; }

void clear_marks(_trel_align_buf* buf, int count) {
  count = std::min(std::max(count, 0), mark_room(buf));
  std::fill(buf->path, buf->path + count, (int16_t)0);
}

int stack_room(const _trel_align_buf* buf) { return buf->nmax + buf->mmax + 4; }

// The stack holds boxes over disjoint residue ranges of at least four
// residues, so it cannot fill up on valid input; a full stack drops the box
// rather than write past its end.
void push_box(_trel_align_buf* buf, _trel_a_box box, float dist) {
  if (buf->nstack >= stack_room(buf)) {
    zam_err("Box stack full (%d entries): box [%d:%d, %d:%d] dropped.\n", buf->nstack, box.qfirst,
            box.qlast, box.tfirst, box.tlast);
    return;
  }
  buf->stack[buf->nstack++] = _trel_a_stack{box, dist, 0};
}

const char* box_name(int kind, bool moving) {
  static const char* const doing[4] = {
      "--> Doing initial box:    ", "--> Doing N-terminal box: ", "--> Doing C-terminal box: ",
      "--> Doing interior box:   "};
  static const char* const moves[4] = {"Moving initial box:    ", "Moving N-terminal box: ",
                                       "Moving C-terminal box: ", "Moving interior box:   "};
  return moving ? moves[kind & 3] : doing[kind & 3];
}

// First (or last) target residue of fragment record k, or -1.
int first_target(const _trel_align* a, int k) {
  const _trel_a_frag& f = a->frags[k];
  for (int c = f.first; c <= f.last; c++)
    if (a->columns[c].tres >= 0) return a->columns[c].tres;
  return -1;
}

int last_target(const _trel_align* a, int k) {
  const _trel_a_frag& f = a->frags[k];
  for (int c = f.last; c >= f.first; c--)
    if (a->columns[c].tres >= 0) return a->columns[c].tres;
  return -1;
}

// Fragment records must lie inside the columns before anything walks them.
bool frags_sane(const _trel_align* a) {
  if (!a || !a->frags) return false;
  for (int k = 1; k <= a->nfrags; k++) {
    const _trel_a_frag& f = a->frags[k];
    if (f.first < 0 || f.last >= a->ncolumns || f.first > f.last + 1) return false;
  }
  return true;
}

}  // namespace

int assignAnchorSegment(int seg, int minlen, float match, _trel_align* a, _trel_align_buf* buf) {
  if (!a || !buf || a->ncolumns > mark_room(buf)) return 0;
  const int nc = a->ncolumns;
  _trel_a_column* col = a->columns;
  int16_t* mark = buf->path;
  const float match2 = match * match;
  clear_marks(buf, nc);
  if (frags_sane(a))
    for (int k = 1; k <= a->nfrags; k++)
      for (int c = a->frags[k].first; c <= a->frags[k].last; c++)
        if (col[c].seg == 0 && is_pair(col[c]) && col[c].d2 < match2) mark[c] = 1;

  int runs = 0;
  for (int c0 = 0; c0 < nc;) {
    int c1 = c0;
    while (c1 + 1 < nc && mark[c1 + 1] == mark[c0]) c1++;
    if (mark[c0] && c1 - c0 + 1 >= minlen) {
      for (int c = c0; c <= c1; c++) col[c].seg = seg;
      if (zam_debug > 1) {
        const _trel_a_box b = getFragmentBox(c0, c1, a);
        zam_msg("Assigning box [%d:%d, %d:%d] to segment %d\n", b.qfirst, b.qlast, b.tfirst,
                b.tlast, seg);
      }
      runs++;
    }
    c0 = c1 + 1;
  }

  // A residue may stand in gap columns beside its own pair (after tidying
  // splits a pair); those columns join the pair's segment.
  auto repeats = [&](int c, int k) {
    return (col[k].qres == col[c].qres && col[k].tres < 0) ||
           (col[k].tres == col[c].tres && col[k].qres < 0);
  };
  for (int c = 0; c < nc; c++) {
    if (col[c].seg != seg || !is_pair(col[c])) continue;
    for (int k = c + 1; k < nc && repeats(c, k); k++) col[k].seg = seg;
  }
  for (int c = nc - 1; c >= 0; c--) {
    if (col[c].seg != seg || !is_pair(col[c])) continue;
    for (int k = c - 1; k >= 0 && repeats(c, k); k--) col[k].seg = seg;
  }

  // Fragments become the runs of equal segment number. Their count never
  // exceeds the columns, and the array has room for ncolumns+2 records.
  if (!a->frags) a->frags = static_cast<_trel_a_frag*>(kget1B_0((int64_t)(nc + 2) * sizeof(_trel_a_frag)));
  int nf = 0;
  for (int c0 = 0; c0 < nc;) {
    int c1 = c0;
    while (c1 + 1 < nc && col[c1 + 1].seg == col[c0].seg) c1++;
    _trel_a_frag f{};
    f.first = c0;
    f.last = c1;
    f.kind = col[c0].seg != 0 ? 2 : 0;
    for (int c = c0; c <= c1; c++) {
      if (col[c].qres >= 0) f.qcount++;
      if (col[c].tres >= 0) f.tcount++;
      if (is_pair(col[c])) f.npairs++;
    }
    f.tf = tf_identity();
    a->frags[++nf] = f;
    if (zam_debug > 1) {
      const _trel_a_box b = getFragmentBox(c0, c1, a);
      zam_msg("New fragment %d(%d,%d), box [%d:%d, %d:%d]\n", nf, c0, c1, b.qfirst, b.qlast,
              b.tfirst, b.tlast);
    }
    c0 = c1 + 1;
  }
  a->nfrags = nf;
  if (runs > 0) updateSegIDs(a, buf);
  return runs;
}

_trel_a_box getFragmentBox(int c0, int c1, _trel_align* a) {
  _trel_a_box b{-1, -1, -1, -1};
  if (!a) return b;
  c0 = std::max(c0, 0);
  c1 = std::min(c1, a->ncolumns - 1);
  for (int c = c0; c <= c1; c++)
    if (a->columns[c].qres >= 0) { b.qfirst = a->columns[c].qres; break; }
  for (int c = c1; c >= c0; c--)
    if (a->columns[c].qres >= 0) { b.qlast = a->columns[c].qres; break; }
  for (int c = c0; c <= c1; c++)
    if (a->columns[c].tres >= 0) { b.tfirst = a->columns[c].tres; break; }
  for (int c = c1; c >= c0; c--)
    if (a->columns[c].tres >= 0) { b.tlast = a->columns[c].tres; break; }
  return b;
}

void updateSegIDs(_trel_align* a, _trel_align_buf* buf) {
  if (!a || !buf) return;
  for (int c = 0; c < a->ncolumns; c++) {
    const _trel_a_column& col = a->columns[c];
    if (!is_pair(col) || col.seg <= 0) continue;
    if (col.qres < buf->nmax + 2) buf->qsegs[col.qres] = (int16_t)col.seg;
    if (col.tres < buf->mmax + 2) buf->tsegs[col.tres] = (int16_t)col.seg;
  }
}

void pushPendingFragments(_trel_align* a, float match, _trel_align_buf* buf) {
  if (!a || !buf || a->ncolumns > mark_room(buf) || !frags_sane(a)) return;
  const int nc = a->ncolumns;
  int16_t* mark = buf->path;
  clear_marks(buf, nc);
  for (int k = 1; k <= a->nfrags; k++)
    for (int c = a->frags[k].first; c <= a->frags[k].last; c++)
      if (a->columns[c].seg == 0) mark[c] = 1;
  for (int c0 = 0; c0 < nc;) {
    if (!mark[c0]) { c0++; continue; }
    int c1 = c0;
    while (c1 + 1 < nc && mark[c1 + 1]) c1++;
    const _trel_a_box b = getFragmentBox(c0, c1, a);
    if (b.qfirst >= 0 && b.qlast >= 0 && b.tfirst >= 0 && b.tlast >= 0 &&
        b.qlast - b.qfirst + 1 >= 4 && b.tlast - b.tfirst + 1 >= 4)
      push_box(buf, b, match);
    c0 = c1 + 1;
  }
}

int pushCoreSegment(int n, int m, _trel_align* a, float match, float /*core*/,
                    _trel_align_buf* buf) {
  if (!a || !buf) return 0;
  int first = -1, last = -1;
  for (int c = 0; c < a->ncolumns; c++)
    if (a->columns[c].seg != 0 && is_pair(a->columns[c])) {
      if (first < 0) first = c;
      last = c;
    }
  if (first < 0 || first >= last) return 0;
  const int q0 = a->columns[first].qres, q1 = a->columns[last].qres;
  const int t0 = a->columns[first].tres, t1 = a->columns[last].tres;
  push_box(buf, _trel_a_box{q0, q1, t0, t1}, 2.5f);
  if (q0 >= 1 && t0 >= 1) push_box(buf, _trel_a_box{0, q0 - 1, 0, t0 - 1}, match);
  if (q1 < n - 1 && t1 < m - 1) push_box(buf, _trel_a_box{q1 + 1, n - 1, t1 + 1, m - 1}, match);
  return buf->nstack;
}

void processBox(int n, int m, _trel_a_box box, int threads, int seeds, int cycles,
                _pdb_image* timage, _trel_seg* qseg, _trel_seg* tseg, _pdb_peptide* qpep,
                _pdb_peptide* tpep, float range, float dist, _trel_align_buf* buf) {
  const int kind = boxType(n, m, box);
  if (zam_debug > 0)
    zam_msg("%s[%d:%d, %d:%d]\n", box_name(kind, false), box.qfirst, box.qlast, box.tfirst,
            box.tlast);
  const int c = kind == TREL_BOX_INTERIOR ? 1 : cycles;
  _trel_align* a = findAnchorGlobal(n, m, box, threads, seeds, c, qseg, tseg, qpep, tpep, range,
                                    dist, buf);
  if (!a) return;
  const int s = buf->seg + 1;
  if (assignAnchorSegment(s, 4, dist, a, buf) <= 0) {
    trel_freeAlign(a);
    return;
  }
  buf->seg = s;
  moveAnchorBox(n, m, box, timage, a, qpep, tpep, buf);
  fitAnchorFragments(n, m, box, s, timage, a, qpep, tpep, buf);
  if (kind == TREL_BOX_INTERIOR) zam_loadPdbPep(timage, tpep);
  pushPendingFragments(a, dist, buf);
  trel_freeAlign(a);
}

int boxType(int n, int m, _trel_a_box box) {
  const bool starts = box.qfirst == 0 && box.tfirst == 0;
  const bool ends = box.qlast == n - 1 && box.tlast == m - 1;
  if (starts && ends) return TREL_BOX_INITIAL;
  if (starts) return TREL_BOX_NTERM;
  if (ends) return TREL_BOX_CTERM;
  return TREL_BOX_INTERIOR;
}

void moveAnchorBox(int n, int m, _trel_a_box box, _pdb_image* timage, _trel_align* a,
                   _pdb_peptide* /*qpep*/, _pdb_peptide* tpep, _trel_align_buf* /*buf*/) {
  if (!a || !timage) return;
  if (zam_debug > 1) {
    zam_msg("%s[%d:%d, %d:%d]\n", box_name(boxType(n, m, box), true), box.qfirst, box.qlast,
            box.tfirst, box.tlast);
    zam_msg("moveAnchorBox: requested=[%d:%d], calculated=[%d:%d]\n", box.tfirst, box.tlast,
            box.tfirst, box.tlast);
  }
  const int t0 = std::max(box.tfirst, 0), t1 = std::min(box.tlast, timage->nres - 1);
  for (int t = t0; t <= t1; t++) zam_movePdbResidue(timage, t, a->tf);
  a->tf = tf_identity();
  zam_loadPdbPep(timage, tpep);
}

void fitAnchorFragments(int n, int m, _trel_a_box box, int /*seg*/, _pdb_image* timage,
                        _trel_align* a, _pdb_peptide* qpep, _pdb_peptide* tpep,
                        _trel_align_buf* buf) {
  if (!a || !timage || !buf || !frags_sane(a)) return;
  std::vector<int> anchored;
  for (int k = 1; k <= a->nfrags; k++)
    if (a->frags[k].kind == 2) anchored.push_back(k);
  if (anchored.empty()) return;
  const int kind = boxType(n, m, box);
  const int nf = a->nfrags;
  m = std::min(m, timage->nres);

  std::vector<Point3D> captured(std::max(m, 0));
  for (int t = 0; t < m; t++) captured[t] = zam_ptPdbResidue(timage, t);
  auto now = [&](int t) { return zam_ptPdbResidue(timage, t); };

  std::vector<Matrix3D> fits;
  for (int k : anchored) fits.push_back(fitFragment(k, -1, a, qpep, tpep, trel_fitBuf(buf)));
  Matrix3D L = fits.front(), R = fits.back();
  for (size_t i = 0; i < anchored.size(); i++) moveFragment(n, m, anchored[i], a, timage, fits[i], buf);

  Point3D P[8], Q[8];
  const int f1 = anchored.front(), fA = anchored.back();
  if (kind == TREL_BOX_CTERM || kind == TREL_BOX_INTERIOR) {
    const int b = box.tfirst - 1, r = first_target(a, f1);
    if (box.tfirst >= 4 && r >= 0 && r + 4 <= m) {
      for (int i = 0; i < 4; i++) {
        P[i] = now(b - i);
        P[4 + i] = captured[r + i];
        Q[i] = now(b - i);
        Q[4 + i] = now(r + i);
      }
      L = trel_fitPts(8, P, Q);
      if (zam_debug > 1) zam_msg("Bridging box left with [%d<->%d]\n", b, r);
    }
  }
  for (int k = 1; k < f1; k++) moveFragment(n, m, k, a, timage, L, buf);

  for (size_t i = 0; i + 1 < anchored.size(); i++) {
    const int fi = anchored[i], fj = anchored[i + 1];
    if (fj - fi < 2) continue;
    const int e = last_target(a, fi), s = first_target(a, fj);
    if (e < 0 || s < 0 || s < e || e < 3 || s + 4 > m) continue;
    for (int j = 0; j < 4; j++) {
      P[j] = captured[e - j];
      P[4 + j] = captured[s + j];
      Q[j] = now(e - j);
      Q[4 + j] = now(s + j);
    }
    const Matrix3D B = trel_fitPts(8, P, Q);
    for (int k = fi + 1; k < fj; k++) {
      if (zam_debug > 1) zam_msg("Bridging interior fragment(%d) with [%d<->%d]\n", k, e, s);
      moveFragment(n, m, k, a, timage, B, buf);
    }
  }

  if (kind == TREL_BOX_NTERM || kind == TREL_BOX_INTERIOR) {
    const int e = last_target(a, fA), after = box.tlast + 1;
    if (e >= 3 && box.tlast + 5 <= m) {
      for (int i = 0; i < 4; i++) {
        P[i] = captured[e - i];
        P[4 + i] = now(after + i);
        Q[i] = now(e - i);
        Q[4 + i] = now(after + i);
      }
      R = trel_fitPts(8, P, Q);
      if (zam_debug > 1) zam_msg("Bridging box right with [%d<->%d]\n", e, after);
    }
  }
  for (int k = fA + 1; k <= nf; k++) moveFragment(n, m, k, a, timage, R, buf);
  zam_loadPdbPep(timage, tpep);
}

void moveFragment(int /*n*/, int m, int k, _trel_align* a, _pdb_image* timage, Matrix3D M,
                  _trel_align_buf* buf) {
  if (!a || !timage || !buf) return;
  m = std::min(m, timage->nres);
  clear_marks(buf, m);
  if (!a->frags || k < 0 || k > a->nfrags) return;
  _trel_a_frag& f = a->frags[k];
  const int c0 = std::max(f.first, 0), c1 = std::min(f.last, a->ncolumns - 1);
  int lo = -1, hi = -1;
  for (int c = c0; c <= c1; c++) {
    const int t = a->columns[c].tres;
    if (t < 0 || t >= m || t >= mark_room(buf) || buf->path[t]) continue;
    zam_movePdbResidue(timage, t, M);
    buf->path[t] = 1;
    if (lo < 0 || t < lo) lo = t;
    if (t > hi) hi = t;
  }
  if (zam_debug > 1) {
    if (lo >= 0)
      zam_msg("moveFragment(%d) moved residues [%d:%d]\n", k, lo, hi);
    else
      zam_msg("moveFragment(%d) moved NO residues.\n", k);
  }
  f.tf = tf_identity();
}
