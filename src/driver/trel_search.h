// The per-query search, the tool's main loop: for every query it pre-scores
// all targets by their backbone traces or by a shape descriptor filter
// (trel_filter.h), superposes and aligns the best ones,
// ranks them under the "-sort" score, selects the hits to show, takes the
// Z-score statistics and the ROC curve, and writes the query's result files;
// after the last query the aggregate ROC and AUC files.
#pragma once

struct _trel_thing;
struct _trel_align_buf;
struct _trel_options;
struct _trel_scores;

// One query's finished search as the search hands it back: every target's
// scores and their ranking.
struct _trel_query_scores {
  int query = 0;                         // index in the query list
  int nt = 0;                            // entries of order and of every score array
  int ntop = 0;                          // targets at ranks 0..ntop-1 were superposed
  int skip = 0;                          // rank of the first shown hit (a trivial self-match passed over)
  const int* order = nullptr;            // the ranking, read from its end (rank 0 last)
  const _trel_scores* scores = nullptr;  // by target
};

// A caller that takes every query's scores as the query finishes (the
// comparison of every structure with every other builds its matrices so).
// take runs on the calling thread, once per query that ran, in query order.
// A query whose results folder cannot be made is skipped and counted in
// failed, and the other queries run.
struct _trel_search_rows {
  void (*take)(void* data, const _trel_query_scores* row) = nullptr;
  void* data = nullptr;
  bool overlap = false;            // queries may run several at a time on the worker threads
  const char* progress = nullptr;  // label of the finished-query count on the update hook (null: none)
  int failed = 0;                  // out: queries skipped
};

// 1 when the options' filter method is one of the search's (0 rotational
// search of every target, 1-5 descriptor filters, 6 trace scoring);
// otherwise reports it with zam_err and returns 0.
int trel_searchFilterUsable(const _trel_options* options);

// queries[0..nq-1] against targets[0..nt-1]; bufs holds one alignment buffer
// per thread slot (bufs[0] serves every serial step), each sized for the
// longest query and target (for the longest structure on both sides with
// -multi). With -multi every query and its shown hits are then aligned
// together (trel_doMulti), extra/nextra being its sequence rows. rows, when
// given, takes each query's scores as it finishes. Every failure (a filter
// method that needs shape descriptors, a results folder that cannot be made)
// is reported here and ends the process with exit status 1, but for a
// results folder with rows given (see _trel_search_rows). Target images are
// released at the end of every query and reloaded on demand.
void trel_doSearch(_trel_thing** queries, int nq, _trel_thing** targets, int nt,
                   _trel_thing** extra, int nextra, _trel_align_buf** bufs,
                   _trel_options* options, _trel_search_rows* rows);
