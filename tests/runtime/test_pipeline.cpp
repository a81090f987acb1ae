// The overlapped query pipeline on four threads: every job runs once, on a
// thread number in range; a query's middle step follows all its first-stage
// jobs and precedes its second stage; queries open and close in order with
// never more than the window open; queries without jobs go straight through;
// and on one thread everything runs on the caller.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/zam_pipeline.h"
#include "runtime/zam_thread.h"

namespace {

struct Record {
  std::mutex lock;
  std::vector<int> opened, closed;  // query order of the calls
  std::vector<std::vector<int>> first, second;  // per query: runs of each job
  std::vector<int> middles;         // per query: middle steps
  std::vector<int> first_left;      // per query: first-stage jobs not yet run
  int open_now = 0, most_open = 0;
  bool bad_order = false, bad_slot = false, off_caller = false;
};

// Query q has q % 4 first-stage jobs and (q * 7) % 5 second-stage ones.
int firstJobs(int q) { return q % 4; }
int secondJobs(int q) { return (q * 7) % 5; }

_zam_pipeline makePipeline(Record& r, int nq, int window, int threads, std::thread::id caller) {
  r.first.assign(nq, {});
  r.second.assign(nq, {});
  r.middles.assign(nq, 0);
  r.first_left.assign(nq, 0);
  for (int q = 0; q < nq; q++) {
    r.first[q].assign(firstJobs(q), 0);
    r.second[q].assign(secondJobs(q), 0);
  }
  _zam_pipeline p;
  p.nq = nq;
  p.window = window;
  p.open = [&r, caller](int q) {
    std::lock_guard<std::mutex> g(r.lock);
    if (std::this_thread::get_id() != caller) r.off_caller = true;
    r.opened.push_back(q);
    r.first_left[q] = firstJobs(q);
    r.most_open = std::max(r.most_open, ++r.open_now);
    return firstJobs(q);
  };
  p.first = [&r, threads](int q, int k, int slot) {
    std::this_thread::yield();
    std::lock_guard<std::mutex> g(r.lock);
    if (slot < 0 || slot >= threads) r.bad_slot = true;
    if (r.middles[q] != 0) r.bad_order = true;
    r.first[q][k]++;
    r.first_left[q]--;
  };
  p.middle = [&r](int q) {
    std::lock_guard<std::mutex> g(r.lock);
    if (r.first_left[q] != 0) r.bad_order = true;
    r.middles[q]++;
    return secondJobs(q);
  };
  p.second = [&r, threads](int q, int k, int slot) {
    std::this_thread::yield();
    std::lock_guard<std::mutex> g(r.lock);
    if (slot < 0 || slot >= threads) r.bad_slot = true;
    if (r.middles[q] != 1) r.bad_order = true;
    r.second[q][k]++;
  };
  p.close = [&r, caller](int q) {
    std::lock_guard<std::mutex> g(r.lock);
    if (std::this_thread::get_id() != caller) r.off_caller = true;
    if (r.middles[q] != 1) r.bad_order = true;
    for (int n : r.second[q])
      if (n != 1) r.bad_order = true;
    r.closed.push_back(q);
    r.open_now--;
  };
  return p;
}

void expectComplete(const Record& r, int nq, int window) {
  std::vector<int> order(nq);
  for (int q = 0; q < nq; q++) order[q] = q;
  EXPECT_EQ(r.opened, order);
  EXPECT_EQ(r.closed, order);
  EXPECT_LE(r.most_open, window);
  EXPECT_FALSE(r.bad_order);
  EXPECT_FALSE(r.bad_slot);
  EXPECT_FALSE(r.off_caller);
  for (int q = 0; q < nq; q++) {
    EXPECT_EQ(r.middles[q], 1) << "query " << q;
    for (int n : r.first[q]) EXPECT_EQ(n, 1) << "query " << q;
    for (int n : r.second[q]) EXPECT_EQ(n, 1) << "query " << q;
  }
}

TEST(Pipeline, EveryJobOnceInStageOrderWithQueriesOpenedAndClosedInOrder) {
  zam_thread_setup(4);
  Record r;
  const int nq = 40, window = 3;
  const _zam_pipeline p = makePipeline(r, nq, window, 4, std::this_thread::get_id());
  zam_run_pipeline(p, 4);
  expectComplete(r, nq, window);
}

TEST(Pipeline, OneThreadRunsEverythingOnTheCaller) {
  Record r;
  const int nq = 9;
  const std::thread::id caller = std::this_thread::get_id();
  _zam_pipeline p = makePipeline(r, nq, 2, 1, caller);
  bool elsewhere = false;
  const auto first = p.first;
  p.first = [&](int q, int k, int slot) {
    if (std::this_thread::get_id() != caller) elsewhere = true;
    first(q, k, slot);
  };
  zam_run_pipeline(p, 1);
  expectComplete(r, nq, 2);
  EXPECT_FALSE(elsewhere);
}

}  // namespace

// Weighted second-stage jobs: the weights running at once stay within the
// budget unless one runs alone, the calling thread takes none of them once
// the workers run, and every job still runs once with the queries in order; on
// one thread the caller runs them all.
TEST(Pipeline, WeightedJobsStayWithinTheBudget) {
  zam_thread_setup(4);
  for (int threads : {4, 1}) {
    Record r;
    const int nq = 30, window = 4;
    const std::thread::id caller = std::this_thread::get_id();
    _zam_pipeline p = makePipeline(r, nq, window, threads, caller);
    auto weight = [](int q, int k) -> int64_t { return (q + k) % 3 == 0 ? 0 : 2 + (q + k) % 4; };
    std::atomic<int64_t> running{0}, most{0};
    std::atomic<int> weighted_on_caller{0}, over{0};
    const auto second = p.second;
    p.second = [&](int q, int k, int slot) {
      const int64_t w = weight(q, k);
      const int64_t now = running += w;
      if (w > 0 && now > 5 && now != w) over++;
      int64_t m = most.load();
      while (now > m && !most.compare_exchange_weak(m, now)) {
      }
      if (w > 0 && std::this_thread::get_id() == caller) weighted_on_caller++;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      second(q, k, slot);
      running -= w;
    };
    // The workers start taking jobs while the first query opens (the caller
    // takes any job before a worker has started).
    const auto open = p.open;
    p.open = [&](int q) {
      if (q == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return open(q);
    };
    p.weight = weight;
    p.budget = 5;
    zam_run_pipeline(p, threads);
    expectComplete(r, nq, window);
    EXPECT_EQ(over.load(), 0) << threads;
    EXPECT_LE(most.load(), 5) << threads;
    if (threads > 1) {
      EXPECT_EQ(weighted_on_caller.load(), 0);
    }
  }
}
