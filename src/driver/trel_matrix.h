// The all-against-all comparison: every structure searched against every
// other, the scores kept in a matrix record, then the matrix, cluster and
// difference files and the centre and neighbour files written from it.
#pragma once

struct _trel_thing;
struct _trel_align_buf;
struct _trel_options;
struct _trel_result;

// Pools queries and targets (null things and things without a trace left
// out) into one list and compares every structure with every other. Writes
// <res_folder><job>.mat, .kclus, .dif, .cen, <job>_<centre>.ent and
// <job>_<name>.nbr for every structure (job "trel" when no job name is set).
// Returns 1 when every step was done; 0 after a reported error (no valid
// structure, more memory needed than the machine has, a query whose results
// could not be made, clustering that failed), when the run must end with
// exit status 1. The queries all run before a failed one is counted.
int trel_doMatrix(_trel_thing** queries, int nq, _trel_thing** targets, int nt,
                  _trel_align_buf** bufs, _trel_options* options);

// The three summary files, each at base + "." + its extension ("mat",
// "kclus", "dif"): the rows of every pair (only the partner pair of a query
// that has one) with their means; the groups of pair-average clustering at
// distance 0.7 of 1 - similarity; the strict lower triangle of 1 -
// similarity. The similarity is the M-score with do_sort 1 (G) or 3 (M),
// else the J-score. Each returns 1 when written, 0 after a warning or error.
int trel_writeMatrix(const char* base, int nq, _trel_thing* const* queries, int nt,
                     _trel_thing* const* targets, const _trel_result* result);
int trel_writeCluster(const char* base, int n, _trel_thing* const* things,
                      const _trel_result* result, int do_sort);
int trel_writeDiff(const char* base, int n, _trel_thing* const* things, const _trel_result* result,
                   int do_sort);
