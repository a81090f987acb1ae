// The result files of one query of a search, once its targets are ranked
// and its hits selected: the shown hits' alignment, viewer, chain-pair,
// RMSD-profile and superposed PDB files (on worker threads when the run has
// several, their messages shown in the order of a serial run), the
// descriptor exports, the rank, hit, name, code and top-score tables and,
// with -pdbanchor, the anchor files; or, without result files, the hits'
// keys in the log. Private to the driver.
#pragma once

#include "driver/trel_search_query.h"

struct _trel_written;

namespace trel_query {

// What the writers of one query's results read: the query and its targets
// with their arrays and counts, the settings, the query's results folder, the
// file-name suffix and the frame the files are written in; and the list that
// gets the hit files put in place (trel_holdWritten).
struct QueryOut {
  _trel_thing* query;
  _trel_thing** targets;
  int nt;
  Arrays& a;
  const _trel_options* o;
  const Counts& c;
  const char* folder;
  const char* suffix;
  Matrix3D qframe;
  _trel_written* written;
};

// Without result files: one line per selected hit in rank order with its
// value of the sort key and the query's and target's names.
void printKeys(const QueryOut& out);
// The query's result files, in their fixed order; mean and sd are the
// Z-score statistics, nshown, npos and auc the top-score table's counts and
// ROC AUC. A file that cannot be written is reported and counted by its
// writer. The files of the hits and the query's superposed files, on
// whatever thread, go into out.written; the tables do not.
void writeResults(const QueryOut& out, double mean, double sd, int nshown, int npos, float auc);

}  // namespace trel_query
