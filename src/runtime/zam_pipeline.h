// Queries taken through two stages of independent jobs on worker threads,
// several queries at a time: a worker that finds no job of the oldest open
// query left takes one of a later query instead of waiting for the slowest
// job of the first. The calling thread opens and closes the queries in
// order, and does jobs between times.
#pragma once

#include <functional>

// The steps of one run. A query is opened, its first-stage jobs run, then
// its middle step, its second-stage jobs, and it is closed. Jobs and middle
// steps run on any thread; a job is given the number (0..threads-1) of the
// thread that does it, so that it can use that thread's own buffers.
struct _zam_pipeline {
  int nq = 0;      // queries 0..nq-1
  int window = 1;  // queries open at once, at most (1 or more)
  // Calling thread, in query order: readies query q and returns its count of
  // first-stage jobs.
  std::function<int(int q)> open;
  // First-stage job k of query q, on thread `slot`.
  std::function<void(int q, int k, int slot)> first;
  // Once every first-stage job of q is done: returns its count of
  // second-stage jobs.
  std::function<int(int q)> middle;
  // Second-stage job k of query q, on thread `slot`.
  std::function<void(int q, int k, int slot)> second;
  // Calling thread, in query order, once the second stage of q is done.
  std::function<void(int q)> close;
  // Optional weight of second-stage job k of query q (the memory it needs,
  // 0 for a light job) and the most weight that runs at once: a weighted job
  // is handed out only while its weight and that of the weighted jobs running
  // stay within budget, or when no weighted job runs; until then the workers
  // take later queries' jobs. Once a worker thread takes jobs, the calling
  // thread takes no weighted job, so that a long one does not hold up the
  // opening and closing of queries.
  // Without a weight function (or with budget 0) every job is light.
  std::function<int64_t(int q, int k)> weight;
  int64_t budget = 0;
};

// Runs every query of p on `threads` threads (the calling thread as number 0
// and threads - 1 joinable ones; fewer than 2, or no thread layer: all on
// the calling thread). Returns when every query is closed. Jobs of older
// queries are taken first, and within a query in index order (a weighted
// job waiting for room holds back the later jobs of its own query only).
void zam_run_pipeline(const _zam_pipeline& p, int threads);
