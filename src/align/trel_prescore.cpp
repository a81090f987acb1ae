#include "align/trel_prescore.h"

#include <algorithm>
#include <cmath>

#include "align/trel_globals.h"
#include "align/trel_kscore.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

namespace {

constexpr int kMailbox = ZAM_MAILBOX_TRACE;       // workers report their counts to the collector here
constexpr int kCollector = ZAM_HANDLE_SECOND;  // joinable thread handle of the collector

// Scores targets first..last into the result arrays; returns how many.
int score_range(const _trel_trace_task& t) {
  int count = 0;
  for (int k = t.first; k <= t.last; k++) {
    trel_scoreTraceOne(t.n, t.tlens[k], t.qseg, t.tsegs[k], &t.norm[k], &t.raw[k], &t.aligned[k],
                       t.buf);
    count++;
  }
  return count;
}

// Scores blocks of targets first..last claimed from the state's work list
// until the list is used up (the whole range without a state); returns how
// many it scored.
int score_claimed(const _trel_trace_task& t) {
  if (!t.state) return score_range(t);
  int count = 0;
  const int block = std::max(t.state->block, 1);
  for (;;) {
    // Relaxed: the results reach the caller through the mailbox and the join.
    const int64_t from = int64_t(t.first) + t.state->next.fetch_add(block, std::memory_order_relaxed);
    if (from > t.last) break;
    _trel_trace_task part = t;
    part.first = int(from);
    part.last = int(std::min<int64_t>(from + block - 1, t.last));
    count += score_range(part);
  }
  return count;
}

// Clears the cells of the K plane (pairs i < n, j < m) whose query or target
// residue the trace marks as missing backbone atoms ('D'). Such a residue
// has no local geometry to compare: its window terms read exp(0) = 1, a
// perfect match, so a chain of them (a CA-only file) would pre-score as
// well as the query against itself and outrank every real homologue.
void clear_incomplete(int n, int m, const _trel_seg* q, const _trel_seg* t, float* K) {
  for (int i = 0; i < n; i++)
    if (q[i].sse == 'D') std::fill(K + trel_cell(i, 0, m), K + trel_cell(i, 0, m) + m, 0.0f);
  for (int j = 0; j < m; j++)
    if (t[j].sse == 'D')
      for (int i = 0; i < n; i++) K[trel_cell(i, j, m)] = 0.0f;
}

}  // namespace

int trel_scoreTraceOne(int n, int m, const _trel_seg* qseg, const _trel_seg* tseg, float* norm,
                       float* raw, int* aligned, _trel_align_buf* buf) {
  trel_alignInitialise();
  *norm = 0.0f;
  *raw = 0.0f;
  *aligned = 0;
  if (!qseg || !tseg) return 0;
  const _trel_dp_score s = trel_scoreTheTrace(n, m, qseg, tseg, buf);
  *raw = s.score;
  *norm = s.score / (float)s.span;
  *aligned = s.aligned;
  return s.aligned;
}

_trel_dp_score trel_scoreTheTrace(int n, int m, const _trel_seg* qseg, const _trel_seg* tseg,
                                  _trel_align_buf* buf) {
  // The score-only pass reads the K plane alone, so its factor planes are not filled.
  if (!trel_setupKplane(n, m, _trel_a_box{0, n - 1, 0, m - 1}, qseg, tseg, buf))
    return _trel_dp_score{0, 0, 1, 0.0f};
  clear_incomplete(n, m, qseg, tseg, buf->kplane);
  return trel_scoreDP(n, m, 1, buf->kplane, buf);
}

_trel_align* trel_makeAlignTrace(int n, int m, const _trel_seg* qseg, const _trel_seg* tseg,
                                 _trel_align_buf* buf) {
  const _trel_a_box box{0, n - 1, 0, m - 1};
  if (!setupKmatrix(n, m, box, qseg, tseg, buf)) return nullptr;
  // Nothing is superposed yet: pair distances read 0 rather than whatever
  // the distance plane held from an earlier pair.
  trel_zeroBoxF(n, m, box, buf->dplane);
  return trel_alignKbox(n, m, box, buf);
}

void trel_scoreTraceThread(int threads, int n, const _trel_seg* qseg, int ntargets,
                           const int* tlens, const _trel_seg* const* tsegs, float* norm,
                           float* raw, int* aligned, _trel_align_buf** bufs) {
  if (ntargets < 1) return;
  if (!bufs || !bufs[0]) {
    zam_err("trel_scoreTraceThread(): no alignment buffers for %d targets.\n", ntargets);
    std::fill(norm, norm + ntargets, 0.0f);
    std::fill(raw, raw + ntargets, 0.0f);
    std::fill(aligned, aligned + ntargets, 0);
    return;
  }
  _trel_trace_task all{nullptr, 0, ntargets - 1, n, qseg, tlens, tsegs, norm, raw, aligned, bufs[0]};
  if (ntargets < 2 || threads < 2) {
    score_range(all);
    return;
  }
  const int T = std::min(zam_thread_setup_task(threads, 0), ntargets);
  // Blocks of a few targets: small enough that the workers finish within a
  // block's time of each other, large enough that claiming one is rare.
  _trel_trace_state state{{0, 0, kMailbox, 0, 0.0}, std::clamp(ntargets / (16 * std::max(T, 1)), 1, 32), {0}};
  // One record per task slot; workers read theirs, and report, before the
  // collector lets this call return. Every task takes its blocks from the
  // same work list, so a range left to this thread is shared out as well.
  _trel_trace_task tasks[ZAM_TASK_STACK] = {};
  int w = 0;
  auto fill = [&](_trel_trace_task& task, const _zam_task& t) {
    if (zam_debug > 1) zam_msg("trel_scoreTraceThread: worker %d of %d, blocks of %d\n", ++w, T, state.block);
    task = _trel_trace_task{&state, 0, ntargets - 1, n, qseg, tlens, tsegs, norm, raw, aligned, bufs[t.slot]};
  };
  auto here = [](_trel_trace_task& task) { return score_claimed(task); };
  // No collector thread, or no worker slot to be had: score here rather
  // than leave the results unset.
  if (zam_thread_fan_out(kCollector, &state.collect, T, run_trace_cpu_thread, tasks, fill, here,
                         trel_trace_consumer) < 0 ||
      T < 1)
    score_range(all);
}

void trel_statsAlignTrace(int n, int m, const _trel_align_buf* buf, float* mean, float* sd) {
  *mean = 0.0f;
  *sd = 0.0f;
  if (!trel_alignBufFits(buf, n, m)) return;
  const int64_t w = (int64_t)m + 2;
  int64_t count = 0;
  double sum = 0.0;
  for (int i = 0; i < n; i++) {
    const float* row = buf->kplane + (i + 1) * w + 1;
    for (int j = 0; j < m; j++) {
      if (row[j] == 0.0f) continue;
      sum += row[j];
      count++;
    }
  }
  const double mu = count > 1 ? sum / (double)count : sum;
  double var = 0.0;
  if (count >= 2) {
    for (int i = 0; i < n; i++) {
      const float* row = buf->kplane + (i + 1) * w + 1;
      for (int j = 0; j < m; j++) {
        if (row[j] == 0.0f) continue;
        const double d = row[j] - mu;
        var += d * d;
      }
    }
    var /= (double)count;
  }
  *mean = (float)mu;
  *sd = (float)std::sqrt(var);
}

void* run_trace_cpu_thread(void* arg) {
  auto* task = static_cast<_trel_trace_task*>(arg);
  zam_collector_report(&task->state->collect, score_claimed(*task));
  zam_thread_exit();
  return nullptr;
}

void* trel_trace_consumer(void* arg) {
  auto* c = static_cast<_zam_collector*>(arg);
  zam_collector_wait(c);
  if (zam_debug > 0) {
    const double secs = std::max(c->seconds, 1e-8);
    zam_msg("Collected %d trace scores from %d threads in %.2lfs (%.0lf/s).\n\n", c->count, c->workers, secs,
            c->count / secs);
  }
  zam_thread_exit();
  return nullptr;
}
