// Trace pre-scoring: the cheap first score of a search, a K matrix of the
// query and target traces followed by a score-only dynamic programming pass,
// with no superposition. Scores one pair, or one query against a list of
// targets on worker threads of the thread layer (a collector in thread slot
// 137, detached workers in popped slots, reports through mailbox 12), and
// gives the mean and spread of a K plane.
#pragma once

#include <atomic>

#include "align/trel_align.h"
#include "align/trel_dp.h"
#include "align/trel_trace.h"
#include "runtime/zam_thread.h"

// State of one threaded call, owned by the calling thread: the collector
// (workers still to report, targets scored; mailbox 12) and the work list:
// the next unclaimed target, counted from the tasks' first, which every
// task of the call advances by `block` targets at a time (atomically, on its
// own cache line).
struct _trel_trace_state {
  _zam_collector collect;
  int block;
  alignas(64) std::atomic<int> next;
};

// One task: targets first..last (inclusive; none when first > last), the
// query, the target lists, the three result arrays and the buffer of its
// thread slot. With a state the task claims blocks of the range from the
// state's work list and writes only the entries of the blocks it claimed;
// without one it scores the whole range.
struct _trel_trace_task {
  _trel_trace_state* state;
  int first;
  int last;
  int n;
  const _trel_seg* qseg;
  const int* tlens;
  const _trel_seg* const* tsegs;
  float* norm;
  float* raw;
  int* aligned;
  _trel_align_buf* buf;
};

// Pre-score of one pair: raw = the path score, norm = raw / span, aligned = the
// pairs on the path, which is also returned. A missing trace gives 0 in all
// three; so does a pair longer than buf was made for (reported).
int trel_scoreTraceOne(int n, int m, const _trel_seg* qseg, const _trel_seg* tseg, float* norm,
                       float* raw, int* aligned, _trel_align_buf* buf);
// K matrix of the whole pair and the score-only pass with gap penalties;
// residues marked 'D' (missing backbone atoms) on either side add nothing.
// {0, 0, 1, 0} (reported) when the pair does not fit buf.
_trel_dp_score trel_scoreTheTrace(int n, int m, const _trel_seg* qseg, const _trel_seg* tseg,
                                  _trel_align_buf* buf);
// The same K matrix followed by a K-score box alignment of the whole pair: a
// new alignment owned by the caller, or null (reported) when it does not fit.
_trel_align* trel_makeAlignTrace(int n, int m, const _trel_seg* qseg, const _trel_seg* tseg,
                                 _trel_align_buf* buf);
// Scores the query (n residues) against targets 0..ntargets-1 into norm, raw
// and aligned. Runs in the calling thread with bufs[0] when there are fewer
// than 2 targets or threads; otherwise on up to `threads` workers that take
// small blocks of targets in turn until none is left (targets differ in
// length, so equal shares would not finish together), worker in slot s using
// bufs[s] (the driver's array of per-thread buffers, which must hold one
// buffer per thread). Results are the same bit for bit either way. Without
// buffers: a report and all 0.
void trel_scoreTraceThread(int threads, int n, const _trel_seg* qseg, int ntargets,
                           const int* tlens, const _trel_seg* const* tsegs, float* norm,
                           float* raw, int* aligned, _trel_align_buf** bufs);
// Mean and population standard deviation of the non-zero cells of buf's K
// plane for pairs i < n, j < m (mean = the sum when fewer than 2 cells, sd 0).
// Both 0 (reported) when n and m do not fit buf.
void trel_statsAlignTrace(int n, int m, const _trel_align_buf* buf, float* mean, float* sd);

// Thread entry points (argument a _trel_trace_task, or the call's
// _zam_collector); both end with zam_thread_exit.
void* run_trace_cpu_thread(void* task);
void* trel_trace_consumer(void* collector);
