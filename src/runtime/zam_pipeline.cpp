#include "runtime/zam_pipeline.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "runtime/zam_thread.h"

namespace {

enum Stage { kFirst, kMiddle, kSecond, kDone };

// Progress of one query; every field is guarded by Shared::lock.
struct Query {
  Stage stage = kFirst;
  int jobs = 0;  // jobs of the current stage
  int next = 0;  // next job to hand out
  int left = 0;  // jobs not yet finished
};

// Shared by every thread of the run; the lock guards all but `p`.
struct Shared {
  const _zam_pipeline* p = nullptr;
  std::mutex lock;
  std::condition_variable changed;  // new jobs, a query done, or the run over
  std::vector<Query> queries;
  int opened = 0;  // queries 0..opened-1 have been opened
  int closed = 0;  // queries 0..closed-1 have been closed
  int64_t running = 0;  // weight of the weighted jobs running
  int workers = 0;      // threads other than the calling one taking jobs
  bool over = false;
};

struct Job {
  int q = -1;  // -1: no job to be had
  bool first = true;
  int k = 0;
  int64_t weight = 0;
};

// Weight of the next job of query x (q); 0 when jobs are not weighed.
int64_t weightOf(const Shared& s, const Query& x, int q) {
  if (x.stage != kSecond || !s.p->weight || s.p->budget <= 0) return 0;
  return std::max<int64_t>(s.p->weight(q, x.next), 0);
}

// The next job of the oldest open query that has one left and that may
// start now (see _zam_pipeline::weight); light only: no weighted job.
Job claim(Shared& s, bool light) {
  for (int q = s.closed; q < s.opened; q++) {
    Query& x = s.queries[q];
    if ((x.stage != kFirst && x.stage != kSecond) || x.next >= x.jobs) continue;
    const int64_t w = weightOf(s, x, q);
    if (w > 0 && (light || (s.running > 0 && s.running + w > s.p->budget))) continue;
    s.running += w;
    return Job{q, x.stage == kFirst, x.next++, w};
  }
  return Job{};
}

// Starts a stage of `jobs` jobs (a second stage without jobs is done at once).
void enter(Query& x, Stage stage, int jobs) {
  x.stage = jobs > 0 ? stage : stage == kFirst ? kMiddle : kDone;
  x.jobs = x.left = std::max(jobs, 0);
  x.next = 0;
}

// Runs query q's middle step with the lock released and starts its second stage.
void middle(Shared& s, std::unique_lock<std::mutex>& held, int q) {
  held.unlock();
  const int jobs = s.p->middle(q);
  held.lock();
  enter(s.queries[q], kSecond, jobs);
  s.changed.notify_all();
}

// Runs a claimed job with the lock released; the thread that finishes the
// last job of a first stage also runs the query's middle step.
void run(Shared& s, std::unique_lock<std::mutex>& held, const Job& j, int slot) {
  held.unlock();
  if (j.first)
    s.p->first(j.q, j.k, slot);
  else
    s.p->second(j.q, j.k, slot);
  held.lock();
  if (j.weight > 0) {
    s.running -= j.weight;  // room for a waiting weighted job
    s.changed.notify_all();
  }
  Query& x = s.queries[j.q];
  if (--x.left > 0) return;
  if (x.stage == kFirst) {
    x.stage = kMiddle;
    middle(s, held, j.q);
  } else {
    x.stage = kDone;
    s.changed.notify_all();
  }
}

// Thread 0: opens and closes the queries in order, and takes jobs between.
void coordinate(Shared& s) {
  const _zam_pipeline& p = *s.p;
  std::unique_lock<std::mutex> held(s.lock);
  while (s.closed < p.nq) {
    if (s.closed < s.opened && s.queries[s.closed].stage == kDone) {
      const int q = s.closed;
      held.unlock();
      p.close(q);
      held.lock();
      s.closed++;
      continue;
    }
    if (s.opened < p.nq && s.opened - s.closed < std::max(p.window, 1)) {
      const int q = s.opened;
      held.unlock();
      const int jobs = p.open(q);
      held.lock();
      enter(s.queries[q], kFirst, jobs);
      s.opened++;
      if (s.queries[q].stage == kMiddle) middle(s, held, q);
      s.changed.notify_all();
      continue;
    }
    // While a worker runs, weighted jobs are left to it.
    const Job j = claim(s, s.workers > 0);
    if (j.q >= 0)
      run(s, held, j, 0);
    else
      s.changed.wait(held);
  }
  s.over = true;
  s.changed.notify_all();
}

// Threads 1..: jobs until the run is over.
void work(Shared& s, int slot) {
  std::unique_lock<std::mutex> held(s.lock);
  if (s.over) return;
  s.workers++;
  while (!s.over) {
    const Job j = claim(s, false);
    if (j.q >= 0)
      run(s, held, j, slot);
    else
      s.changed.wait(held);
  }
}

void part(int k, int /*parts*/, void* arg) {
  Shared& s = *static_cast<Shared*>(arg);
  if (k == 0)
    coordinate(s);
  else
    work(s, k);
}

}  // namespace

void zam_run_pipeline(const _zam_pipeline& p, int threads) {
  if (p.nq < 1) return;
  Shared s;
  s.p = &p;
  s.queries.resize(p.nq);
  // Without the thread layer the parts run one after another: part 0 then
  // does every job itself, and the others find the run over.
  zam_thread_run(std::max(threads, 1), part, &s);
}
