#include "driver/trel_matrix.h"

#include <string>
#include <vector>

#include "driver/trel_options.h"
#include "driver/trel_rank.h"
#include "driver/trel_search.h"
#include "driver/zam_cluster.h"
#include "output/trel_print.h"
#include "output/trel_result.h"
#include "output/trel_write_neighbours.h"
#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"
#include "store/trel_thing.h"

namespace {

constexpr double kClusterDistance = 0.7;  // pairs at 1 - similarity <= 0.7 share a group
constexpr float kNoRmsd = 99.99f;


std::string rule(int n) { return std::string("#").append(size_t(n), '=').append("\n"); }

// The similarity matrix the clusters and differences are taken from.
const float* similarity(const _trel_result* r, int do_sort) {
  return do_sort == 1 || do_sort == 3 ? r->mscore : r->jscore;
}

// Memory the comparison of n structures holds at its peak: the score
// matrices, the distances handed to the clustering and its work matrix.
double neededBytes(int n) {
  return trel_resultBytes(n, n) + 8.0 * n * static_cast<double>(n) + zam_clusterBytes(n);
}

// Shows the progress line of long runs on a terminal while the mode runs.
struct ProgressLine {
  ProgressLine() { zam_update_callback(zam_update_terminal); }
  ~ProgressLine() { zam_update_callback(nullptr); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
};

// The matrices as the search fills them, and what a row needs of the run.
struct Matrices {
  _trel_result* result = nullptr;
  int do_partner = 0;
};

// Row q of the matrices from one query's search: every target's pre-scores,
// the alignment scores of the targets at ranks 0..ntop-1 (0 and RMSD 99.99
// for the others) and, with do_partner, the partner at rank skip.
void takeRow(void* data, const _trel_query_scores* row) {
  const Matrices& m = *static_cast<const Matrices*>(data);
  _trel_result* r = m.result;
  const int q = row->query, nt = row->nt, ntop = row->ntop, skip = row->skip;
  const int* order = row->order;
  const _trel_scores* s = row->scores;
  if (q < 0 || q >= r->nq || nt != r->nt) return;
  if (m.do_partner && skip >= 0 && skip < nt) r->partner[q] = order[nt - 1 - skip];
  const size_t at = (size_t)q * nt;
  for (int t = 0; t < nt; t++) {
    r->cscore[at + t] = s->wscore[t];
    r->kscore[at + t] = s->kscore[t];
    r->jscore[at + t] = s->jscore[t];
    r->gscore[at + t] = 0.0f;
    r->mscore[at + t] = 0.0f;
    r->tscore[at + t] = 0.0f;
    r->length[at + t] = 0;
    r->rmsd[at + t] = kNoRmsd;
  }
  for (int k = 0; k < ntop && k < nt; k++) {
    const int t = order[nt - 1 - k];
    r->gscore[at + t] = s->gscore[t];
    r->mscore[at + t] = s->mscore[t];
    r->tscore[at + t] = s->tscore[t];
    r->rmsd[at + t] = s->rmsd[t];
    r->length[at + t] = s->naligned[t];
  }
}

}  // namespace

int trel_writeMatrix(const char* base, int nq, _trel_thing* const* queries, int nt,
                     _trel_thing* const* targets, const _trel_result* r) {
  const std::string path = std::string(base) + ".mat";
  zam_msg("Writing MATRIX file: %s\n", path.c_str());
  _trel_text* out = trel_openText(path.c_str());
  if (!out) return 0;
  const std::string wide = rule(85), narrow = rule(76);
  trel_printText(out, "%s# Trel score summary matrix...\n# Queries: %d\n# Targets: %d\n", wide.c_str(), nq, nt);
  trel_printText(out, "# Query     Target   K-Score  G-Score  J-Score  M-Score  C-Score  T-Score  Length  RMSD\n%s",
                 wide.c_str());
  double sum[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  int rows = 0;
  for (int q = 0; q < nq; q++) {
    for (int t = 0; t < nt; t++) {
      if (r->partner[q] != -1 && r->partner[q] != t) continue;
      const size_t e = (size_t)q * nt + t;
      trel_printText(out, " %s  %s  %8.2f %8.2f %8.5f %8.5f %8.2f %8.5f %5d %7.2f\n", trel_thingName(queries[q]),
                     trel_thingName(targets[t]), r->kscore[e], r->gscore[e], r->jscore[e], r->mscore[e],
                     r->cscore[e], r->tscore[e], r->length[e], r->rmsd[e]);
      const double v[8] = {r->kscore[e], r->gscore[e], r->jscore[e], r->mscore[e],
                           r->cscore[e], r->tscore[e], (double)r->length[e], r->rmsd[e]};
      for (int k = 0; k < 8; k++) sum[k] += v[k];
      rows++;
    }
  }
  const double d = rows > 0 ? rows : 1;
  trel_putText(out, narrow.c_str());
  trel_printText(out, " %s  %s  %8.2f %8.2f %8.5f %8.5f %8.5f %8.5f %6.1f %7.3f\n", "Mean ", "Mean ",
                 sum[0] / d, sum[1] / d, sum[2] / d, sum[3] / d, sum[4] / d, sum[5] / d, sum[6] / d,
                 sum[7] / d);
  trel_putText(out, narrow.c_str());
  return trel_closeText(out);
}

int trel_writeCluster(const char* base, int n, _trel_thing* const* things, const _trel_result* r,
                      int do_sort) {
  const std::string path = std::string(base) + ".kclus";
  zam_msg("Writing CLUSTER file: %s\n", path.c_str());
  const float* s = similarity(r, do_sort);
  std::vector<double> d((size_t)n * n);
  for (size_t e = 0; e < d.size(); e++) d[e] = 1.0 - (double)s[e];
  std::vector<int> groups(n > 0 ? n : 1, 0);
  const int method = ZAM_CLUSTER_PAIR_AVERAGE;
  const int ngroups = zam_clusterAgg(method, n, nullptr, d.data(), groups.data(), kClusterDistance);
  if (ngroups < 0) return 0;
  std::vector<int> order(n > 0 ? n : 1);
  zam_sortl(groups.data(), n, order.data());
  _trel_text* out = trel_openText(path.c_str());
  if (!out) return 0;
  const std::string line = rule(17);
  trel_printText(out, "%s#Ntargets:      %d\n#ClusterMethod: %d (%s)\n#SimilarityCutoff: %.2f\n",
                 line.c_str(), n, method, zam_clusterName(method), 1.0 - kClusterDistance);
  trel_printText(out, "#Ngroups:       %d\n%s", ngroups, line.c_str());
  for (int k = 0; k < n; k++) trel_printText(out, "%5d  %s\n", groups[order[k]], trel_thingName(things[order[k]]));
  return trel_closeText(out);
}

int trel_writeDiff(const char* base, int n, _trel_thing* const* things, const _trel_result* r,
                   int do_sort) {
  const std::string path = std::string(base) + ".dif";
  zam_msg("Writing DIFF file: %s\n", path.c_str());
  _trel_text* out = trel_openText(path.c_str());
  if (!out) return 0;
  const float* s = similarity(r, do_sort);
  trel_printText(out, "%s#table size\n\n%d\n\n#labels\n\n", rule(10).c_str(), n);
  for (int i = 0; i < n; i++) trel_printText(out, "%s\n", trel_thingName(things[i]));
  trel_putText(out, "\n");
  for (int i = 1; i < n; i++) {
    trel_printText(out, "#dif[%d][1]...dif[%d][%d]\n", i + 1, i + 1, i);
    for (int j = 0; j < i; j++) trel_printText(out, "%.6f\n", 1.0 - (double)s[(size_t)i * n + j]);
  }
  return trel_closeText(out);
}

int trel_doMatrix(_trel_thing** queries, int nq, _trel_thing** targets, int nt,
                  _trel_align_buf** bufs, _trel_options* options) {
  const std::string name = options->job_name && options->job_name[0] ? options->job_name : "trel";
  std::vector<_trel_thing*> list;
  for (int q = 0; q < nq; q++)
    if (queries[q] && queries[q]->trace.seg) list.push_back(queries[q]);
  for (int t = 0; t < nt; t++)
    if (targets[t] && targets[t]->trace.seg) list.push_back(targets[t]);
  const int n = (int)list.size();
  if (n < 1) {
    zam_err("No valid structures for all-against-all!\n");
    return 0;
  }
  const double need = neededBytes(n), have = (double)zam_mb_memory() * 1048576.0;
  if (have > 0.0 && need > have) {
    zam_err("All-against-all of %d structures needs %.1f GB of memory (score matrices and "
            "clustering), more than the %.1f GB of this machine.\n",
            n, need / 1073741824.0, have / 1073741824.0);
    return 0;
  }
  _trel_result* result = trel_allocResult(n, n);
  if (!result) return 0;
  ProgressLine progress;
  Matrices matrices;
  matrices.result = result;
  matrices.do_partner = options->do_partner;
  _trel_search_rows rows;
  rows.take = takeRow;
  rows.data = &matrices;
  rows.overlap = true;
  rows.progress = "All-against-all";
  trel_doSearch(list.data(), n, list.data(), n, nullptr, 0, bufs, options, &rows);

  const std::string folder = options->res_folder ? options->res_folder : "./";
  const std::string base = folder + name;
  int ok = trel_writeMatrix(base.c_str(), n, list.data(), n, list.data(), result);
  ok &= trel_writeCluster(base.c_str(), n, list.data(), result, options->do_sort);
  ok &= trel_writeDiff(base.c_str(), n, list.data(), result, options->do_sort);
  trel_writeNeighbours(folder.c_str(), name.c_str(), n, list.data(), n, list.data(), result,
                       options->do_sort);
  if (rows.failed > 0) {
    zam_err("%d of %d all-against-all queries failed (named above): their rows hold no scores.\n",
            rows.failed, n);
    ok = 0;
  }
  trel_freeResult(result);
  return ok;
}
