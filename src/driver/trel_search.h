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
struct _trel_result;

// 1 when the options' filter method is one of the search's (0 rotational
// search of every target, 1-5 descriptor filters, 6 trace scoring);
// otherwise reports it with zam_err and returns 0.
int trel_searchFilterUsable(const _trel_options* options);

// queries[0..nq-1] against targets[0..nt-1]; bufs holds one alignment buffer
// per thread slot (bufs[0] serves every serial step), each sized for the
// longest query and target (for the longest structure on both sides with
// -multi). With -multi every query and its shown hits are then aligned
// together (trel_doMulti), extra/nextra being its sequence rows. result,
// when given, is the all-against-all record whose rows the queries fill; the
// queries' progress then goes to the update hook. Every failure (a filter
// method that needs shape descriptors, a results folder that cannot be made)
// is reported here and ends the process with exit status 1, but for a
// results folder with a result record: that query is skipped and counted in
// result->failed, and the others run. Target images are released at the
// end of every query and reloaded on demand.
void trel_doSearch(_trel_thing** queries, int nq, _trel_thing** targets, int nt,
                   _trel_thing** extra, int nextra, _trel_align_buf** bufs,
                   _trel_options* options, _trel_result* result);
