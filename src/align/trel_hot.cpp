// Hot fragments and their plane masks, the tile thread pool, weighted-pair
// counts, the tight register-shift refit and box scoring.
#include "align/trel_hot.h"

#include <algorithm>
#include <cmath>

#include "align/trel_anchor.h"
#include "align/trel_fit.h"
#include "geometry/zam_qcp.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "structure/zam_pdb_pep.h"

namespace {

// A hot fragment needs this many pairs within the cut.
constexpr int kHotPairs = 3;
// Half-width of the neighbourhood a hot pair keeps open in the G mask.
constexpr int kMaskReach = 4;
// G value of a column of the tight core of a fragment.
constexpr float kTightG = 0.4f;

bool isPair(const _trel_a_column& c) { return c.qres >= 0 && c.tres >= 0; }

// Columns first..last of fragment record k clipped to the alignment; false
// when the record does not exist.
bool fragColumns(const _trel_align* a, int k, int* first, int* last) {
  if (!a || !a->columns || !a->frags || k < 0 || k > a->nfrags) return false;
  *first = std::max(a->frags[k].first, 0);
  *last = std::min(a->frags[k].last, a->ncolumns - 1);
  return true;
}

// Calls f(q, t) for every pair of fragment record k that lies in the n x m matrix.
template <typename F>
void forPairs(const _trel_align* a, int k, int n, int m, F f) {
  int first, last;
  if (!fragColumns(a, k, &first, &last)) return;
  for (int j = first; j <= last; j++) {
    const _trel_a_column& c = a->columns[j];
    if (isPair(c) && c.qres < n && c.tres < m) f(c.qres, c.tres);
  }
}

// Calls f(q, t + shift) for the pairs of columns first..last whose shifted
// target residue lies inside the target chain of m residues.
template <typename F>
int forShiftedPairs(const _trel_align* a, int m, int first, int last, int shift, F f) {
  if (!a || !a->columns) return 0;
  first = std::max(first, 0);
  last = std::min(last, a->ncolumns - 1);
  int count = 0;
  for (int j = first; j <= last; j++) {
    const _trel_a_column& c = a->columns[j];
    if (!isPair(c)) continue;
    int t = c.tres + shift;
    if (t < 0 || t >= m) continue;
    f(c.qres, t);
    count++;
  }
  return count;
}

bool hasPoint(Point3D p) { return p.x != 0.0 || p.y != 0.0 || p.z != 0.0; }

}  // namespace

// ---- Hot fragments -----------------------------------------------------------

void setHotFragments(_trel_align* a, Matrix3D T, float cut, _pdb_peptide* qpep,
                     _pdb_peptide* tpep) {
  if (!a || !a->frags || !a->columns || !qpep || !tpep) return;
  const double cut2 = (double)cut * cut;
  for (int k = 1; k <= a->nfrags; k++) {
    _trel_a_frag& f = a->frags[k];
    if (f.kind != 2) continue;
    int first = std::max(f.first, 0), last = std::min(f.last, a->ncolumns - 1), close = 0;
    for (int j = first; j <= last; j++) {
      const _trel_a_column& c = a->columns[j];
      if (!isPair(c)) continue;
      if (d2_ptpt(qpep->ca[c.qres], pt_tfpt(T, tpep->ca[c.tres])) < cut2 && ++close == kHotPairs) {
        f.reserved = 1;
        break;
      }
    }
  }
}

void markHotFragments(int n, int m, unsigned char mark, _trel_align* a, _trel_align_buf* buf) {
  if (!a || !a->frags || !buf || !trel_alignBufFits(buf, n, m)) return;
  for (int k = 0; k < a->nfrags; k++)
    if (a->frags[k].reserved)
      forPairs(a, k, n, m, [&](int q, int t) { buf->mask1[trel_cell(q, t, m)] = mark; });
}

void biasHotFragments(int n, int m, _trel_align* a, float factor, float* plane) {
  if (!a || !a->frags || !plane) return;
  for (int k = 0; k < a->nfrags; k++)
    if (a->frags[k].reserved)
      forPairs(a, k, n, m, [&](int q, int t) { plane[trel_cell(q, t, m)] *= factor; });
}

void trel_setGmask(int n, int m, _trel_a_box box, _trel_align* a, unsigned char* mask) {
  if (!mask) return;
  if (a && a->frags) {
    for (int k = 0; k < a->nfrags; k++) {
      if (!a->frags[k].reserved) continue;
      forPairs(a, k, n, m, [&](int q, int t) {
        for (int i = std::max(q - kMaskReach, 0); i <= std::min(q + kMaskReach, n - 1); i++)
          for (int j = std::max(t - kMaskReach, 0); j <= std::min(t + kMaskReach, m - 1); j++)
            mask[trel_cell(i, j, m)] = 1;
      });
    }
  }
  int q0 = std::max(box.qfirst, 0), q1 = std::min(box.qlast, n - 1);
  int t0 = std::max(box.tfirst, 0), t1 = std::min(box.tlast, m - 1);
  for (int i = q0; i <= q1; i++)
    for (int j = t0; j <= t1; j++) {
      unsigned char& c = mask[trel_cell(i, j, m)];
      c = c == 0 ? 1 : 0;
    }
}

void strikeOutKmatrix(int n, int m, _trel_align* a, float* plane) {
  if (!a || !a->frags || !plane || a->nfrags < 2) return;
  for (int k = 1; k < a->nfrags; k++)
    if (a->frags[k].extra[0])
      forPairs(a, k, n, m, [&](int q, int t) { plane[trel_cell(q, t, m)] = 0.0f; });
}

// ---- Tile thread pool ----------------------------------------------------------

void* trel_run_tile_thread(void* arg) {
  auto* job = (_trel_tile_job*)arg;
  // This thread owns results[first..last] and job->buf; everything else it
  // reads is shared and unchanged while the pool runs.
  int ran = 0;
  for (int k = job->first; k <= job->last; k++) {
    job->results[k] = doAnchorOneTile(job->n, job->m, job->tiles[k], job->cycles, job->qseg,
                                      job->tseg, job->qpep, job->tpep, job->range, job->match,
                                      job->buf);
    ran++;
  }
  zam_collector_report(job->tally, ran);
  zam_thread_exit();
  return nullptr;
}

void* trel_tile_consumer(void* arg) {
  auto* tally = (_trel_tile_tally*)arg;
  // Nothing writes the count of workers once they are started, so it is
  // read here before the first reader turn.
  const int workers = tally->remaining;
  zam_collector_wait(tally);
  if (zam_debug > 0) {
    const double dt = tally->seconds;
    zam_msg("Collected %d tiles from %d threads in %.2lfs (%.0lf/s).\n\n", tally->count, workers, dt,
            dt > 0.0 ? tally->count / dt : 0.0);
  }
  zam_thread_exit();
  return nullptr;
}

// ---- Counts, tight fits and box scores ----------------------------------------------

int zam_countAlignPep(int /*unused1*/, int /*unused2*/, int k, _trel_align* a) {
  int first, last;
  if (!fragColumns(a, k < 1 ? 0 : k, &first, &last)) return 0;
  int count = 0;
  for (int j = first; j <= last; j++)
    if (isPair(a->columns[j]) && a->columns[j].score != 0.0f) count++;
  return count;
}

Matrix3D fitFragmentTight(int m, int k, _trel_align* a, _pdb_peptide* qpep, _pdb_peptide* tpep,
                          _trel_fit_buf fb) {
  int first, last;
  if (!fragColumns(a, k, &first, &last)) return tf_identity();
  int s = last, e = first;
  for (int j = first; j <= last; j++)
    if (a->columns[j].gscore >= kTightG) {
      s = j;
      break;
    }
  for (int j = last; j >= first; j--)
    if (a->columns[j].gscore >= kTightG) {
      e = j;
      break;
    }
  const int tight = e - s + 1;
  if (tight < 3) return fitFragment(k, -1, a, qpep, tpep, fb);

  const float bias = kTightG * tight;
  Matrix3D M0 = fitTight(m, s, e, 0, a, qpep, tpep, fb);
  Matrix3D Mp = fitTight(m, s, e, 1, a, qpep, tpep, fb);
  Matrix3D Mm = fitTight(m, s, e, -1, a, qpep, tpep, fb);
  float G0 = scoreTight(m, s, e, 0, M0, a, qpep, tpep, fb);
  float GP = scoreTight(m, s, e, 1, Mp, a, qpep, tpep, fb);
  float GM = scoreTight(m, s, e, -1, Mm, a, qpep, tpep, fb);
  if (zam_debug > 1)
    zam_msg("Frag %3d Beta-scoring: G0 = %8.3f, GP = %8.3f, GM = %8.3f (tight=%d)\n", k, G0, GP,
            GM, tight);
  // A shift must gain more than the bias; an equal gain keeps the register.
  if (GM < GP) {
    if (G0 + bias < GP) {
      if (zam_debug > 1) zam_msg("Frag %d Beta-scoring => shift +1 of %d residues.\n", k, tight);
      return Mp;
    }
    return M0;
  }
  if (G0 + bias < GM) {
    if (zam_debug > 1) zam_msg("Frag %d Beta-scoring => shift -1 of %d residues.\n", k, tight);
    return Mm;
  }
  return M0;
}

Matrix3D fitTight(int m, int first, int last, int shift, _trel_align* a, _pdb_peptide* qpep,
                  _pdb_peptide* tpep, _trel_fit_buf fb) {
  if (!qpep || !tpep || !fb.qpts || !fb.tpts) return tf_identity();
  int count = 0;
  forShiftedPairs(a, m, first, last, shift, [&](int q, int t) {
    if (count >= fb.size) return;
    fb.qpts[count] = qpep->ca[q];
    fb.tpts[count] = tpep->ca[t];
    count++;
  });
  if (count <= 3) return tf_identity();
  return trel_fitPts(count, fb.tpts, fb.qpts);
}

float scoreTight(int m, int first, int last, int shift, Matrix3D T, _trel_align* a,
                 _pdb_peptide* qpep, _pdb_peptide* tpep, _trel_fit_buf /*fb*/) {
  if (!qpep || !tpep) return 0.0f;
  float sum = 0.0f;
  forShiftedPairs(a, m, first, last, shift, [&](int q, int t) {
    float g = getGscore((float)d2_ptpt(qpep->ca[q], pt_tfpt(T, tpep->ca[t])));
    // The CB pair tells the two faces of a strand apart, which the CA trace
    // of a register shift alone barely does.
    float gb = g;
    if (tpep->cb && qpep->cb && hasPoint(qpep->cb[q]) && hasPoint(tpep->cb[t]))
      gb = getGscore((float)d2_ptpt(qpep->cb[q], pt_tfpt(T, tpep->cb[t])));
    sum += g + gb;
  });
  return sum;
}

int scoreFragmentBox(int n, int m, _trel_a_box box, _trel_align* a, _pdb_peptide* qpep,
                     _pdb_peptide* tpep, Matrix3D T, float cut, float close, float* G, float* R,
                     _trel_fit_buf fb) {
  float sum = 0.0f;
  int count = 0;
  if (a && a->columns && qpep && tpep) {
    const double cut2 = (double)cut * cut, close2 = (double)close * close;
    for (int j = 0; j < a->ncolumns; j++) {
      _trel_a_column& c = a->columns[j];
      if (!isPair(c) || c.score == 0.0f || c.qres >= n || c.tres >= m) continue;
      if (c.qres < box.qfirst || c.qres > box.qlast || c.tres < box.tfirst || c.tres > box.tlast)
        continue;
      double d2 = d2_ptpt(qpep->ca[c.qres], pt_tfpt(T, tpep->ca[c.tres]));
      if (!(d2 < cut2)) continue;
      c.gscore = getGscore((float)d2);
      c.d2 = (float)d2;
      sum += c.gscore;
      if (d2 <= close2 && fb.wts && count < fb.size) fb.wts[count++] = d2;
    }
  }
  if (count > 0) {
    if (G) *G = sum;
    if (R) *R = (float)rms_d2pts(count, fb.wts);
  } else {
    if (G) *G = 0.0f;
    if (R) *R = 0.0f;
  }
  return count;
}
