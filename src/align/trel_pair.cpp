#include "align/trel_pair.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "align/trel_anchor.h"
#include "align/trel_blosum62.h"
#include "align/trel_dp.h"
#include "align/trel_fit.h"
#include "align/trel_flex.h"
#include "align/trel_kscore.h"
#include "align/trel_tidy.h"
#include "align/trel_trace.h"
#include "geometry/zam_qcp.h"
#include "runtime/zam_log.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

// Anchor segments stand within this distance in the core box of a tight
// flexible extension.
constexpr float kCoreDistance = 2.5f;

struct PepFree {
  void operator()(_pdb_peptide* p) const { zam_freePdbPep(p); }
};
using PepPtr = std::unique_ptr<_pdb_peptide, PepFree>;

// Lengths and buffer checks shared by the entry points that superpose:
// reports once and returns false when the call cannot run safely.
bool pair_fits(const char* who, int n, int m, const _pdb_peptide* qpep, const _pdb_image* timage,
               const _trel_align_buf* buf) {
  if (n < 1 || m < 1) {
    zam_err("%s: cannot align chains of %d and %d residues.\n", who, n, m);
    return false;
  }
  if (!qpep || !timage) {
    zam_err("%s: missing query peptide or target image.\n", who);
    return false;
  }
  if (timage->nres < m) {
    zam_err("%s: target image %s holds %d residues, not %d.\n", who,
            timage->name ? timage->name : "(unnamed)", timage->nres, m);
    return false;
  }
  return trel_alignBufFits(buf, n, m) != 0;
}

// Segment numbers start afresh with every alignment; the final markup reads them.
void reset_segments(int n, int m, _trel_align_buf* buf) {
  buf->seg = 0;
  buf->nstack = 0;
  std::fill(buf->qsegs, buf->qsegs + n, (int16_t)0);
  std::fill(buf->tsegs, buf->tsegs + m, (int16_t)0);
}

// One weighted superposition over all pairs of a, with its close-pair count,
// G-score and close RMSD.
void fit_all_pairs(int n, int m, _trel_align* a, _pdb_peptide* qpep, _pdb_peptide* tpep,
                   float range, float match, _trel_align_buf* buf) {
  const Matrix3D M = fitFragment(0, -1, a, qpep, tpep, trel_fitBuf(buf));
  a->tf = M;
  float G = 0.0f, R = 0.0f;
  a->nmatched = scoreFragment(n, m, 0, -1, a, qpep, tpep, M, range, match, &G, &R, trel_fitBuf(buf));
  a->gscore = G;
  a->rmsd_matched = R;
}

// Fills the distance plane of the box under a's superposition and gives
// each pair column its distance from it. The quick start without rigid
// refinement keeps the alignment of the K plane, whose columns took their
// distances from a plane no superposition of this pair had filled; tidying
// and the anchor segments read them.
void fill_distances(int m, _trel_a_box box, _trel_align* a, const _pdb_peptide* qpep,
                    const _pdb_peptide* tpep, _trel_align_buf* buf) {
  std::vector<Point3D> moved((size_t)std::max(m, 1));
  tf_pts(m, moved.data(), tpep->ca, a->tf);
  for (int i = box.qfirst; i <= box.qlast; i++) {
    float* row = buf->dplane + trel_cell(i, 0, m);
    for (int j = box.tfirst; j <= box.tlast; j++) row[j] = (float)d2_ptpt_inline(qpep->ca[i], moved[j]);
  }
  for (int c = 0; c < a->ncolumns; c++) {
    _trel_a_column& col = a->columns[c];
    if (col.qres >= 0 && col.tres >= 0) col.d2 = buf->dplane[trel_cell(col.qres, col.tres, m)];
  }
}

// The two chains of a fit: residue counts, traces, peptides and the target
// image, which the flexible extension bends.
struct FitChains {
  int n, m;
  _trel_seg* qseg;
  _trel_seg* tseg;
  _pdb_peptide* qpep;
  _pdb_peptide* tpep;
  _pdb_image* timage;
};

// How a fit searches: threads, anchor seeds and refinement cycles, and the
// distance range and match distance of its scores.
struct FitSearch {
  int threads, seeds, cycles;
  float range, match;
};

// The flexible extension: bends the target (moving timage) around the
// anchors of a, consumes a and returns the rigid realignment of the moved
// target, or a itself when it has no anchor.
_trel_align* flexible_extension(const FitChains& p, const FitSearch& s, int anchors, int tight,
                                _trel_align* a, _trel_align_buf* buf) {
  const int n = p.n, m = p.m;
  _pdb_image* timage = p.timage;
  _pdb_peptide* qpep = p.qpep;
  _pdb_peptide* tpep = p.tpep;
  const float match = s.match;
  if (anchors <= 0) {
    zam_wrn("Rigid fitting did not find any anchors. Flexible fitting not possible.\n");
    return a;
  }
  const _trel_a_box box{0, n - 1, 0, m - 1};
  zam_movePdb(timage, a->tf);
  a->tf = tf_identity();
  zam_loadPdbPep(timage, tpep);
  if (tight) {
    buf->seg = 0;
    pushCoreSegment(n, m, a, match, kCoreDistance, buf);
  } else {
    fitAnchorFragments(n, m, box, buf->seg, timage, a, qpep, tpep, buf);
    buf->seg = 1;
    pushPendingFragments(a, match, buf);
  }
  trel_freeAlign(a);
  while (buf->nstack > 0) {
    const _trel_a_stack top = buf->stack[--buf->nstack];
    processBox(n, m, top.box, s.threads, s.seeds, s.cycles, timage, p.qseg, p.tseg, qpep, tpep, s.range,
               top.dist, buf);
  }
  return alignRigidBox(n, m, box, s.cycles, qpep, tpep, tf_identity(), s.range, match, 0.0f, buf);
}

}  // namespace

_trel_align* trel_makeAlignFit(int n, int m, int rule, int threads, int seeds, int cycles, int flex,
                               int tight, int tidy, _trel_seg* qseg, _trel_seg* tseg,
                               _pdb_peptide* qpep, _pdb_image* timage, Matrix3D start,
                               Matrix3D /*frame*/, float range, float contact, float match,
                               _trel_align_buf* buf) {
  if (!pair_fits("trel_makeAlignFit", n, m, qpep, timage, buf)) return nullptr;
  const _trel_a_box box{0, n - 1, 0, m - 1};
  reset_segments(n, m, buf);
  PepPtr tpep(zam_makePdbPep(timage));
  if (!tpep) return nullptr;

  _trel_align* a = nullptr;
  if (seeds < 0) {
    if (!setupKmatrix(n, m, box, nullptr, nullptr, buf)) return nullptr;
    a = alignRigidBox(n, m, box, std::max(cycles, 0), qpep, tpep.get(), start, range, match, 0.0f,
                      buf);
  } else if (seeds == 0) {
    if (!setupKmatrix(n, m, box, qseg, tseg, buf)) return nullptr;
    a = trel_alignKbox(n, m, box, buf);
    fit_all_pairs(n, m, a, qpep, tpep.get(), range, match, buf);
    if (cycles >= 0) {
      const Matrix3D M = a->tf;
      trel_freeAlign(a);
      a = alignRigidBox(n, m, box, cycles, qpep, tpep.get(), M, range, match, 0.0f, buf);
    } else {
      fill_distances(m, box, a, qpep, tpep.get(), buf);
    }
  } else {
    if (!setupKmatrix(n, m, box, qseg, tseg, buf)) return nullptr;
    a = findAnchor(n, m, box, rule, threads, seeds, std::max(cycles, 0), qseg, tseg, qpep,
                   tpep.get(), range, contact, match, buf);
  }
  if (!a) return nullptr;

  buf->nstack = 0;
  const int anchors = assignAnchorSegment(1, 4, match, a, buf);
  if (flex == 1)
    a = flexible_extension(FitChains{n, m, qseg, tseg, qpep, tpep.get(), timage},
                           FitSearch{threads, seeds, std::max(cycles, 0), range, match}, anchors, tight,
                           a, buf);
  if (tidy) {
    _trel_align* b = Trel_tidyAlign(n, m, a, contact, qpep, tpep.get(), buf);
    trel_freeAlign(a);
    a = b;
  }
  markupAlignFit(n, m, a, qseg, tseg, qpep, tpep.get(), contact, buf);
  return a;
}

_trel_align* trel_makeAlignOneFit(int n, int m, _trel_seg* qseg, _trel_seg* tseg,
                                  _pdb_peptide* qpep, _pdb_image* timage, Matrix3D /*start*/,
                                  float range, float contact, float match, _trel_align_buf* buf) {
  if (!pair_fits("trel_makeAlignOneFit", n, m, qpep, timage, buf)) return nullptr;
  const _trel_a_box box{0, n - 1, 0, m - 1};
  reset_segments(n, m, buf);
  if (!setupKmatrix(n, m, box, qseg, tseg, buf)) return nullptr;
  _trel_align* a = trel_alignKbox(n, m, box, buf);
  if (!a) return nullptr;
  PepPtr tpep(zam_makePdbPep(timage));
  fit_all_pairs(n, m, a, qpep, tpep.get(), range, match, buf);
  markupAlignFit(n, m, a, qseg, tseg, qpep, tpep.get(), contact, buf);
  return a;
}

_trel_align* trel_makeAlignNoFit(int n, int m, _trel_seg* qseg, _trel_seg* tseg,
                                 _trel_align_buf* buf) {
  if (n < 1 || m < 1) {
    zam_err("trel_makeAlignNoFit: cannot align chains of %d and %d residues.\n", n, m);
    return nullptr;
  }
  const _trel_a_box box{0, n - 1, 0, m - 1};
  if (!setupKmatrix(n, m, box, qseg, tseg, buf)) return nullptr;
  _trel_align* a = trel_alignKbox(n, m, box, buf);
  if (!a) return nullptr;
  markupAlignNoFit(n, m, a, qseg, tseg, buf);
  return a;
}

void markupAlignNoFit(int n, int m, _trel_align* a, _trel_seg* qseg, _trel_seg* tseg,
                      _trel_align_buf* /*buf*/) {
  if (!a) return;
  a->naligned = a->nmatched = a->nidentity = a->ncover = 0;
  a->nid_matched = a->nid_unmatched = a->nother_matched = a->nother_unmatched = 0;
  a->nsegments = 1;
  a->kscore = a->gscore = 0.0f;
  trel_openBlosum62();
  const bool traces = qseg && tseg;
  double ksum = 0.0, gsum = 0.0;
  int first = -1, last = -1, pairs = 0;
  for (int c = 0; c < a->ncolumns; c++) {
    _trel_a_column& col = a->columns[c];
    col.seg = 0;
    col.gscore = 0.0f;
    col.d2 = -1.0f;
    if (col.qres < 0 || col.tres < 0) continue;
    pairs++;
    if (first < 0) first = c;
    last = c;
    if (traces && col.qres < n && col.tres < m) {
      const char qc = qseg[col.qres].code, tc = tseg[col.tres].code;
      ksum += col.kscore;
      col.gscore = trel_getBlosum62G((unsigned char)qc, (unsigned char)tc);
      gsum += col.gscore;
      if (qc == tc) {
        col.mark = '#';
        a->nid_matched++;
      } else {
        col.mark = '$';
        a->nother_matched++;
      }
    } else {
      col.mark = '$';
      a->nother_matched++;
    }
  }
  a->gscore = (float)gsum;
  a->mscore = (float)(gsum / std::max(std::min(n, m), 1));
  a->kscore = (float)ksum;
  a->max_dist = a->contact = a->tscore = a->rmsd_aligned = a->rmsd_matched = 0.0f;
  a->nidentity = a->nid_matched + a->nid_unmatched;
  a->nmatched = a->nid_matched + a->nother_matched;
  a->naligned = pairs;
  a->ncover = (first >= 0 ? last - first : 0) + 1;
}
