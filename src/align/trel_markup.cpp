#include "align/trel_markup.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "align/trel_fit.h"
#include "align/trel_pair.h"
#include "align/trel_trace.h"
#include "geometry/zam_qcp.h"
#include "runtime/zam_log.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

bool is_pair(const _trel_a_column& c) { return c.qres >= 0 && c.tres >= 0; }

// Residue letter of residue i, or 'X' when the image has no such residue.
char letter(const _pdb_image* image, int i) {
  return i >= 0 && i < image->nres ? image->residues[i].code[0] : 'X';
}

void set_mask(_pdb_image* image, int i, int value) {
  if (image && i >= 0 && i < image->nres) image->residues[i].masked = value;
}

struct PepFree {
  void operator()(_pdb_peptide* p) const { zam_freePdbPep(p); }
};
using PepPtr = std::unique_ptr<_pdb_peptide, PepFree>;

struct TraceFree {
  void operator()(_trel_trace* t) const { trel_freeTrace(t); }
};
using TracePtr = std::unique_ptr<_trel_trace, TraceFree>;

struct BufFree {
  void operator()(_trel_align_buf** b) const { trel_freeAlignBuf(1, b); }
};
using BufPtr = std::unique_ptr<_trel_align_buf*, BufFree>;

// Fit of fresh onto moved over one side's residues (query or target) of the
// anchor pairs, or of every pair when fewer than 5 columns are anchored.
Matrix3D fit_anchor_side(_trel_align* a, _pdb_image* moved, _pdb_image* fresh, bool query) {
  if (!a || !moved || !fresh) return tf_identity();
  int anchored = 0;
  for (int c = 0; c < a->ncolumns; c++)
    if (a->columns[c].seg == 1) anchored++;
  const bool anchors_only = anchored >= 5;
  std::vector<Point3D> P, Q;
  for (int c = 0; c < a->ncolumns; c++) {
    const _trel_a_column& col = a->columns[c];
    if (!is_pair(col) || (anchors_only && col.seg != 1)) continue;
    const int r = query ? col.qres : col.tres;
    P.push_back(zam_ptPdbResidue(fresh, r));
    Q.push_back(zam_ptPdbResidue(moved, r));
  }
  if (P.empty()) return tf_identity();
  return trel_fitPts((int)P.size(), P.data(), Q.data());
}

}  // namespace

void trel_markupAlignPdb(_trel_align* a, _pdb_image* qimage, _pdb_image* timage, float contact) {
  if (!a || !qimage || !timage) return;
  a->naligned = a->nmatched = a->nidentity = 0;
  a->nid_matched = a->nid_unmatched = a->nother_matched = a->nother_unmatched = 0;
  const double c2 = (double)contact * contact;
  std::vector<double> all, close;
  double gsum = 0.0, dmax = 0.0;
  int first = 0, last = 0;
  bool seen = false;
  for (int c = 0; c < a->ncolumns; c++) {
    _trel_a_column& col = a->columns[c];
    if (!is_pair(col)) {
      col.gscore = 0.0f;
      col.d2 = -1.0f;
      continue;
    }
    if (!seen) first = c;
    seen = true;
    last = c;
    const Point3D p = pt_tfpt(a->tf, zam_ptPdbResidue(timage, col.tres));
    const double d2 = d2_ptpt(zam_ptPdbResidue(qimage, col.qres), p);
    all.push_back(d2);
    dmax = std::max(dmax, d2);
    const float g = getGscore((float)d2);
    col.gscore = g;
    gsum += g;
    col.d2 = (float)d2;
    const bool same = letter(qimage, col.qres) == letter(timage, col.tres);
    if (d2 > c2) {
      col.mark = same ? '#' : '$';
      (same ? a->nid_unmatched : a->nother_unmatched)++;
    } else {
      close.push_back(d2);
      col.mark = same ? '@' : '*';
      (same ? a->nid_matched : a->nother_matched)++;
    }
  }
  const int np = (int)all.size();
  a->max_dist = dmax > 0.0 ? (float)std::sqrt(dmax) : -1.0f;
  a->contact = contact;
  if (np > 0) {
    a->gscore = (float)gsum;
    a->mscore = trel_MscoreAlign(qimage->nres, timage->nres, np, all.data());
    a->tscore = trel_TscoreAlign(qimage->nres, timage->nres, np, all.data());
    a->rmsd_aligned = (float)rms_d2pts(np, all.data());
  } else {
    a->gscore = a->mscore = a->tscore = a->rmsd_aligned = 0.0f;
  }
  a->rmsd_matched = close.empty() ? 0.0f : (float)rms_d2pts((int)close.size(), close.data());
  a->naligned = np;
  a->nmatched = (int)close.size();
  a->nidentity = a->nid_matched + a->nid_unmatched;
  a->ncover = last - first + 1;
}

Matrix3D trel_fitAnchorTarget(_trel_align* a, _pdb_image* moved, _pdb_image* fresh) {
  return fit_anchor_side(a, moved, fresh, false);
}

Matrix3D trel_fitAnchorQuery(_trel_align* a, _pdb_image* moved, _pdb_image* fresh) {
  return fit_anchor_side(a, moved, fresh, true);
}

void trel_pdbAlignMask(_trel_align* a, int mode, _pdb_image* qimage, _pdb_image* timage) {
  if (!a || mode < -1 || mode > 1) return;
  for (int c = 0; c < a->ncolumns; c++) {
    const _trel_a_column& col = a->columns[c];
    if (is_pair(col)) {
      const int v = mode == -1 ? 1 : 0;
      set_mask(qimage, col.qres, v);
      set_mask(timage, col.tres, v);
    } else if (col.qres >= 0) {
      set_mask(qimage, col.qres, mode == 1 ? 1 : 0);
    } else if (col.tres >= 0) {
      set_mask(timage, col.tres, mode == 1 ? 1 : 0);
    }
  }
}

void trel_pdbProfileMask(int member, int members, int columns, int mode, const int* table,
                         _pdb_image* image) {
  if (!table || !image || member < 0 || member >= members || mode < -1 || mode > 1) return;
  for (int c = 0; c < columns; c++) {
    const int* row = table + (int64_t)c * members;
    const int r = row[member];
    if (r < 0) continue;
    int present = 0;
    for (int k = 0; k < members; k++)
      if (row[k] >= 0) present++;
    const bool aligned = present >= 2;
    int v;
    if (aligned)
      v = mode == -1 ? 1 : 0;
    else
      v = mode == 1 ? 1 : 0;
    set_mask(image, r, v);
  }
}

_trel_align* trel_pdbFitAlign(_pdb_image* qimage, _pdb_image* timage, Matrix3D /*start*/) {
  if (!qimage || !timage) return nullptr;
  const int n = qimage->nres, m = timage->nres;
  const int size = std::max(n, m);
  BufPtr bufs(trel_allocAlignBuf(1, size, size));
  TracePtr qtrace(trel_makeTrace()), ttrace(trel_makeTrace());
  trel_loadTrace(qimage, pt_zero(), 0, 0, qtrace.get());
  trel_loadTrace(timage, pt_zero(), 0, 0, ttrace.get());
  PepPtr qpep(zam_makePdbPep(qimage));
  return trel_makeAlignFit(n, m, 0, 1, 4, 1, 0, 1, 1, qtrace->seg, ttrace->seg, qpep.get(), timage,
                           tf_identity(), tf_identity(), 12.0f, 8.0f, 3.4f, bufs.get()[0]);
}

float trel_pdbRmsdAlign(_pdb_image* qimage, _pdb_image* timage, Matrix3D M, _trel_align* a) {
  if (!qimage || !timage || !a) return 0.0f;
  PepPtr qpep(zam_makePdbPep(qimage)), tpep(zam_makePdbPep(timage));
  if (!qpep || !tpep) return 0.0f;
  trel_GMscoreAlign(a, 8.0f, 3.4f, qpep.get(), tpep.get(), M);
  return a->rmsd_matched;
}
