// Ranking of a query's targets and selection of the hits to show: re-sorting
// the best ranks under one of the ten scores (K, G, J, M, T, R, N, D, I, P),
// the trivial-identity, family and sequence-redundancy filters with the show
// limit, and the mean and SD of the J-scores behind Z-scores. A ranking is an
// int permutation read from its end: rank r is target order[nt-1-r].
#pragma once

struct _trel_thing;
struct _trel_options;
struct _trel_align_buf;

// The per-target score arrays of one query, nt entries each, owned by the
// search. tpcode (by rank) and the ranking itself are kept apart.
struct _trel_scores {
  float* kscore;
  float* jscore;
  float* wscore;
  float* gscore;
  float* mscore;
  float* tscore;
  float* rmsd;          // over aligned pairs
  float* rmsd_matched;  // over matched pairs
  float* pident;        // 100 nident / naligned; 0 when nothing is aligned
  int* naligned;
  int* nmatched;
  int* nident;
  int* nsegs;
  int* ncolumns;
  int* ntrace;          // aligned pairs of the trace pre-score
  int* tlength;
  int* selected;        // 1 for a shown hit
};

// The "-sort" letter of score k (0..9), '?' for any other value.
char trel_sortLetter(int do_sort);
// 1 when the score of do_sort is an int count (N, D, I).
int trel_sortKeyIsInt(int do_sort);
// The key array of do_sort (jscore for values outside 0..9): the float key,
// null for int keys; the int key, null for float keys.
const float* trel_sortKeyF(int do_sort, const _trel_scores* s);
const int* trel_sortKeyI(int do_sort, const _trel_scores* s);

// Re-sort the targets at ranks 0..n-1 (n clamped to 0..nt) by key, the
// largest first (the smallest when ascending). Ties: descending puts the
// target ranked lower before first; ascending keeps the earlier order.
// NaN keys count as the worst value.
void trel_sortSubsetF(int ascending, int n, int nt, const float* key, int* order);
void trel_sortSubsetI(int ascending, int n, int nt, const int* key, int* order);
// Final ranking of the first n ranks under do_sort (R ascending, the rest
// descending, J for unknown values).
void trel_rankTargets(int do_sort, int n, int nt, const _trel_scores* s, int* order);

// Selects the shown hits into s->selected (cleared first) by the options'
// rules: trivial self-match (with do_partner or do_multi), partner, family
// filter (with_group), redundancy filter (nr_percent in (0, 100)), show
// limit nshow. Messages through zam_msg. The redundancy filter aligns target
// sequences in buf (a private buffer is used when buf is null or too small)
// and restores the K-score weights it changes. *skip receives 1 after a
// trivial self-match, else 0. Returns the number shown, at least 1.
int trel_selectHits(const _trel_options* options, const _trel_thing* query,
                    _trel_thing* const* targets, int nt, int ntop, int nshow, const int* order,
                    const _trel_scores* s, _trel_align_buf* buf, int* skip);

// Mean and population SD (divided by n) of n scores in double; 0 and 0 for
// n < 1; sd 0 for n = 1.
void trel_setupZscore(int n, const float* scores, double* mean, double* sd);
// (x - mean) / sd, 0 when |sd| <= 1e-20.
float trel_getZscore(float x, double mean, double sd);
