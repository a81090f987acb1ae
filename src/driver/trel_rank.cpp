#include "driver/trel_rank.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_globals.h"
#include "align/trel_pair.h"
#include "driver/trel_options.h"
#include "runtime/zam_log.h"
#include "store/trel_cath.h"
#include "store/trel_thing.h"

namespace {

const char kSortLetters[] = "KGJMTRNDIP";
// Sorts the targets at ranks 0..n-1 by key(target) and writes them back best
// first. The keys are gathered in rank order and sorted stably ascending;
// the descending result is read from the end, so among equal keys the target
// ranked lower before comes first, while the ascending result keeps them.
template <typename Key>
void sort_subset(bool ascending, int n, int nt, const Key& key, int* order) {
  if (!order || nt < 1) return;
  n = std::clamp(n, 0, nt);
  std::vector<int> ranked((size_t)n);
  for (int r = 0; r < n; r++) ranked[(size_t)r] = order[nt - 1 - r];
  std::stable_sort(ranked.begin(), ranked.end(),
                   [&](int a, int b) { return key(a) < key(b); });
  for (int r = 0; r < n; r++)
    order[nt - 1 - r] = ascending ? ranked[(size_t)r] : ranked[(size_t)(n - 1 - r)];
}

// Percent identity of the residue-level alignment of two traces; 0 when
// nothing is matched.
float pair_identity(_trel_thing* a, _trel_thing* b, _trel_align_buf* buf) {
  _trel_align* align = trel_makeAlignNoFit(trel_thingResidues(a), trel_thingResidues(b), a->trace.seg, b->trace.seg, buf);
  if (!align) return 0.0f;
  const float pid = align->nmatched > 0 ? 100.0f * (float)align->nidentity / (float)align->nmatched : 0.0f;
  trel_freeAlign(align);
  return pid;
}

// The redundancy filter over ranks skip..ntop-1: a target is kept unless its
// sequence is at least percent identical to an already kept one.
void redundancy_filter(float percent, int skip, int ntop, int nt, _trel_thing* const* targets,
                       const int* order, int* selected, _trel_align_buf* buf) {
  auto target = [&](int r) { return targets[order[nt - 1 - r]]; };
  int lmax = 0;
  for (int r = 0; r < ntop; r++) {
    if (target(r)) trel_readThingTrace(target(r));
    lmax = std::max(lmax, trel_thingResidues(target(r)));
  }
  // The search's buffer is sized for the query against targets; two
  // targets may need more room.
  _trel_align_buf** own = nullptr;
  if (!buf || buf->nmax < lmax || buf->mmax < lmax) {
    own = trel_allocAlignBuf(1, lmax, lmax);
    buf = own[0];
  }
  const _trel_kweights saved = trel_getKWeights();
  trel_setKWeights(kTrelBlosumOnly);
  selected[order[nt - 1 - skip]] = 1;
  for (int r = skip + 1; r < ntop; r++) {
    _trel_thing* t = target(r);
    if (!t) continue;
    bool redundant = false;
    for (int s = r - 1; s >= 0 && !redundant; s--) {
      if (!selected[order[nt - 1 - s]] || !target(s)) continue;
      redundant = pair_identity(t, target(s), buf) >= percent;
    }
    if (!redundant) selected[order[nt - 1 - r]] = 1;
  }
  trel_setKWeights(saved);
  if (own) trel_freeAlignBuf(1, own);
}

}  // namespace

char trel_sortLetter(int do_sort) { return do_sort >= 0 && do_sort <= 9 ? kSortLetters[do_sort] : '?'; }

int trel_sortKeyIsInt(int do_sort) { return do_sort >= 6 && do_sort <= 8 ? 1 : 0; }

const float* trel_sortKeyF(int do_sort, const _trel_scores* s) {
  if (!s) return nullptr;
  switch (do_sort) {
    case 0: return s->kscore;
    case 1: return s->gscore;
    case 3: return s->mscore;
    case 4: return s->tscore;
    case 5: return s->rmsd;
    case 6:
    case 7:
    case 8: return nullptr;
    case 9: return s->pident;
    default: return s->jscore;
  }
}

const int* trel_sortKeyI(int do_sort, const _trel_scores* s) {
  if (!s) return nullptr;
  switch (do_sort) {
    case 6: return s->naligned;
    case 7: return s->ntrace;
    case 8: return s->nident;
    default: return nullptr;
  }
}

void trel_sortSubsetF(int ascending, int n, int nt, const float* key, int* order) {
  if (!key) return;
  const float worst = ascending ? std::numeric_limits<float>::infinity()
                                : -std::numeric_limits<float>::infinity();
  sort_subset(ascending != 0, n, nt, [&](int t) { return std::isnan(key[t]) ? worst : key[t]; },
              order);
}

void trel_sortSubsetI(int ascending, int n, int nt, const int* key, int* order) {
  if (!key) return;
  sort_subset(ascending != 0, n, nt, [&](int t) { return key[t]; }, order);
}

void trel_rankTargets(int do_sort, int n, int nt, const _trel_scores* s, int* order) {
  if (trel_sortKeyIsInt(do_sort))
    trel_sortSubsetI(0, n, nt, trel_sortKeyI(do_sort, s), order);
  else
    trel_sortSubsetF(do_sort == 5, n, nt, trel_sortKeyF(do_sort, s), order);
}

int trel_selectHits(const _trel_options* options, const _trel_thing* query,
                    _trel_thing* const* targets, int nt, int ntop, int nshow, const int* order,
                    const _trel_scores* s, _trel_align_buf* buf, int* skip_out) {
  int skip = 0;
  if (skip_out) *skip_out = 0;
  if (!options || !targets || !order || !s || !s->selected || nt < 1) return 1;
  int* selected = s->selected;
  std::fill(selected, selected + nt, 0);
  ntop = std::clamp(ntop, 1, nt);
  auto target_at = [&](int r) { return order[nt - 1 - r]; };

  if ((options->do_partner || options->do_multi) && nt > 1) {
    const int t0 = target_at(0);
    if (s->rmsd_matched && s->nident && s->rmsd_matched[t0] < 0.01f &&
        s->nident[t0] == trel_thingResidues(query)) {
      zam_msg("Detected trivial identity between query=%s and target=%s.\n", trel_thingName(query),
              trel_thingName(targets[t0]));
      skip = 1;
    }
  }

  if (options->do_partner) {
    selected[target_at(skip)] = 1;
  } else if (options->with_group >= 1) {
    zam_msg("\nApplying family membership filter (max %d) to top %d targets...\n",
            options->with_group, ntop);
    int first = target_at(skip), run = 1, families = 1;
    selected[first] = 1;
    for (int r = skip + 1; r < ntop; r++) {
      const int t = target_at(r);
      if (trel_compareCath(trel_thingCode(targets[t]), trel_thingCode(targets[first])) == 0) {
        first = t;
        run = 1;
        families++;
        selected[t] = 1;
      } else if (++run <= options->with_group) {
        selected[t] = 1;
      }
    }
    zam_msg("Retaining structures for %d distinct families.\n", families);
  } else if (options->nr_percent > 0.0f && options->nr_percent < 100.0f) {
    zam_msg("\nApplying sequence identity filter to top %d target sequences...\n", ntop);
    redundancy_filter(options->nr_percent, skip, ntop, nt, targets, order, selected, buf);
    int kept = 0;
    for (int t = 0; t < nt; t++) kept += selected[t];
    zam_msg("Retaining top %d non-redundant structures at %.2f percent sequence identity level.\n",
            kept, options->nr_percent);
  } else {
    for (int r = skip; r < nt; r++) selected[target_at(r)] = 1;
  }

  int shown = 0;
  for (int r = 0; r < nt; r++) {
    const int t = target_at(r);
    if (!selected[t]) continue;
    if (shown < nshow) shown++;
    else selected[t] = 0;
  }
  if (skip_out) *skip_out = skip;
  return std::max(shown, 1);
}

void trel_setupZscore(int n, const float* scores, double* mean, double* sd) {
  double m = 0.0, v = 0.0;
  if (n >= 1 && scores) {
    for (int i = 0; i < n; i++) m += scores[i];
    m /= n;
    if (n > 1) {
      for (int i = 0; i < n; i++) v += (scores[i] - m) * (scores[i] - m);
      v = std::sqrt(v / n);
    }
  }
  if (mean) *mean = m;
  if (sd) *sd = v;
}

float trel_getZscore(float x, double mean, double sd) {
  if (std::fabs(sd) <= 1e-20) return 0.0f;
  return (float)((x - mean) / sd);
}
