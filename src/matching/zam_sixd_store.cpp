#include "matching/zam_sixd_store.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "matching/zam_distance_code.h"
#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"

_sixd_search_state zam_sixd_state = {};

namespace {

constexpr int kProgressMailbox = ZAM_MAILBOX_PROGRESS;
constexpr int kWorkerMailbox = ZAM_MAILBOX_HAND_OVER;
constexpr int kAbortHandle = ZAM_HANDLE_SECOND;

// The solution buffer of the running pass: touched by the consumer while a
// pass runs and by the master before and after it.
struct SolnBuffer {
  int capacity = 0;
  int count = 0;
  int64_t* codes = nullptr;
  float* scores = nullptr;
  int culls = 0;
  double cull_seconds = 0.0;
};
SolnBuffer soln;

// The hand-over from the workers to the consumer. Workers append their
// items' blocks (moved, not copied) to `posted`; the consumer takes the whole
// queue at once and stores the items in work-list order, keeping those that
// came early until the items before them are in. Every block posted and not
// yet stored counts in `held`, early ones too, so the consumer's lag costs
// at most the bound (plus a block or two), whatever the thread count. A
// worker waits while held is above the bound, unless its item is the one the
// consumer stores next: that item's worker always gets through, so the
// consumer can always go on. Everything here is guarded by `lock`; the
// consumer leaves it empty, with next 0, when its pass ends.
constexpr int64_t kDefaultBound = 4 << 20;
struct HandOver {
  std::mutex lock;
  std::condition_variable posted_some;  // the consumer waits here for blocks
  std::condition_variable room;         // workers wait here for bytes freed or a new next item
  std::vector<_scan_block> posted;
  int64_t held = 0;    // bytes of the blocks posted and not yet stored
  int next = 0;        // the item the consumer stores next
  int waiting = 0;     // workers waiting for room now
  int64_t most = 0;    // the most bytes held at once in this pass
  int64_t bound = kDefaultBound;
};
HandOver hand;

// What a block takes while it waits for the consumer.
int64_t block_bytes(const _scan_block& b) {
  return (int64_t)sizeof(_scan_block) + (int64_t)(b.codes.capacity() * sizeof(int64_t)) +
         (int64_t)(b.scores.capacity() * sizeof(float));
}

// The workers' last words of a pass (mailbox 6), waited for by the master.
_zam_collector workers_done{0, 0, kWorkerMailbox, 0, 0.0};

void cull_soln() {
  const double t0 = zam_get_time();
  if (zam_debug >= 1)
    zam_msg("Culling %d solutions with score threshold = %.2f\n", soln.count, zam_sixd_state.score_threshold);
  const int keep = soln.count / 4;
  std::vector<int> order(soln.count);
  zam_sortf(soln.scores, soln.count, order.data());
  std::vector<int64_t> codes(keep);
  std::vector<float> scores(keep);
  for (int k = 0; k < keep; k++) {
    codes[k] = soln.codes[order[k]];
    scores[k] = soln.scores[order[k]];
  }
  std::copy(codes.begin(), codes.end(), soln.codes);
  std::copy(scores.begin(), scores.end(), soln.scores);
  soln.count = keep;
  const double dt = zam_get_time() - t0;
  if (zam_debug >= 1) zam_msg("Culled to %d solutions in %.2fs\n", keep, dt);
  soln.cull_seconds += dt;
  soln.culls++;
}

// Side factor of get_max_samples by sample count.
int sample_factor(int n) {
  if (n <= 1) return 50;
  if (n <= 642) return 141;
  if (n <= 812) return 158;
  if (n < 1003) return 173;
  return 200;
}

}  // namespace

int alloc_soln(int n) {
  free_soln();
  soln.count = 0;
  soln.culls = 0;
  soln.cull_seconds = 0.0;
  const int capacity = n < 50000 ? 200000 : 4 * n;
  soln.codes = static_cast<int64_t*>(zam_vm_get((int64_t)capacity * (int64_t)sizeof(int64_t)));
  soln.scores = static_cast<float*>(zam_vm_get((int64_t)capacity * (int64_t)sizeof(float)));
  if (!soln.codes || !soln.scores) {
    free_soln();
    return 0;
  }
  soln.capacity = capacity;
  if (zam_debug >= 1)
    zam_msg("Working buffer for %d orientations: (%dMb)\n", capacity,
            (int)((16LL * capacity + 1048575LL) / 1048576LL));
  return 1;
}

void push_soln(int64_t code, float score) {
  if (soln.capacity < 1) return;
  if (soln.count == soln.capacity && soln.count >= 2) cull_soln();
  if (soln.count >= soln.capacity) return;  // a buffer of one place that is full
  soln.codes[soln.count] = code;
  soln.scores[soln.count] = score;
  soln.count++;
}

int fetch_soln(int64_t** codes, float** scores) {
  const double t0 = zam_get_time();
  const int n = soln.count > 0 ? soln.count : 1;
  *codes = static_cast<int64_t*>(zam_vm_get((int64_t)n * (int64_t)sizeof(int64_t)));
  *scores = static_cast<float*>(zam_vm_get((int64_t)n * (int64_t)sizeof(float)));
  if (!*codes || !*scores) {
    zam_vm_free(*codes);
    zam_vm_free(*scores);
    *codes = nullptr;
    *scores = nullptr;
    free_soln();
    return 0;
  }
  if (soln.count > 0) {
    std::memcpy(*codes, soln.codes, (size_t)n * sizeof(int64_t));
    std::memcpy(*scores, soln.scores, (size_t)n * sizeof(float));
  } else {
    (*codes)[0] = zam_sixd_state.start_code;
    (*scores)[0] = 0.0f;
  }
  if (soln.culls == 0) {
    const double fill = soln.capacity > 0 ? 100.0 * soln.count / soln.capacity : 0.0;
    zam_msg("Solution buffer reached %d/%d = %.1f%% occupancy with no culling.\n", soln.count, soln.capacity,
            fill);
  } else {
    zam_msg("Time spent culling %d*%d solutions = %.2fs.\n", soln.culls, soln.capacity,
            soln.cull_seconds + zam_get_time() - t0);
  }
  free_soln();
  return n;
}

void free_soln() {
  zam_vm_free(soln.codes);
  zam_vm_free(soln.scores);
  soln.codes = nullptr;
  soln.scores = nullptr;
  soln.capacity = 0;
  soln.count = 0;
}

int soln_count() { return soln.count; }
int soln_capacity() { return soln.capacity; }

void push_scan(_scan_block* local, int64_t code, float score) {
  local->codes.push_back(code);
  local->scores.push_back(score);
}

void push_global_block(_scan_block* local) {
  const int64_t bytes = block_bytes(*local);
  {
    std::unique_lock<std::mutex> held(hand.lock);
    if (hand.held > hand.bound && local->item != hand.next) {
      hand.waiting++;
      hand.room.wait(held, [local] { return hand.held <= hand.bound || local->item == hand.next; });
      hand.waiting--;
    }
    hand.posted.push_back(std::move(*local));
    hand.held += bytes;
    hand.most = std::max(hand.most, hand.held);
  }
  hand.posted_some.notify_one();
  *local = _scan_block{};
}

void end_scan_item(_scan_block* local, int item, float orientations, _ZamProgress* p) {
  local->item = item;
  local->orientations = orientations;
  push_global_block(local);
  // The progress loop reads the count when it likes: the worker goes on
  // without waiting for it.
  zam_mutex_acquire_w(kProgressMailbox);
  p->done += 1;
  zam_mutex_release_w_ready(kProgressMailbox);
}

void sixd_worker_done() {
  zam_collector_report(&workers_done, 0);
}

void sixd_wait_workers(int n) {
  workers_done.remaining = workers_done.workers = n;
  zam_collector_wait(&workers_done);
}

int64_t sixd_hand_over_bound(int64_t bytes) {
  std::lock_guard<std::mutex> held(hand.lock);
  const int64_t before = hand.bound;
  hand.bound = bytes > 0 ? bytes : kDefaultBound;
  return before;
}

int sixd_hand_over_waiting() {
  std::lock_guard<std::mutex> held(hand.lock);
  return hand.waiting;
}

void* zam_sixd_consumer(void* arg) {
  auto* c = static_cast<_sixd_consumer_arg*>(arg);
  const double t0 = zam_get_time();
  const int n_items = std::max(c->n_items, 0);
  // Blocks of items that came before an earlier item, by item.
  std::map<int, _scan_block> early;
  double orientations = 0.0;
  int kept = 0;
  int found = 0;
  int next = 0;
  std::vector<_scan_block> taken;
  while (next < n_items) {
    {
      std::unique_lock<std::mutex> held(hand.lock);
      hand.posted_some.wait(held, [] { return !hand.posted.empty(); });
      taken.swap(hand.posted);
    }
    int64_t freed = 0;
    for (_scan_block& b : taken) {
      if (b.item < next || b.item >= n_items || early.count(b.item)) {
        zam_oops("zam_sixd_consumer(): work item %d is not one of the pass's %d or came twice.\n", b.item, n_items);
        freed += block_bytes(b);
        continue;
      }
      const int item = b.item;
      early.emplace(item, std::move(b));
    }
    taken.clear();
    for (auto it = early.begin(); it != early.end() && it->first == next; it = early.erase(it), next++) {
      const _scan_block& b = it->second;
      orientations += b.orientations;
      for (size_t k = 0; k < b.codes.size(); k++) {
        push_soln(b.codes[k], b.scores[k]);
        if (b.codes[k] == zam_sixd_state.start_code) found = 1;
      }
      kept += (int)b.codes.size();
      freed += block_bytes(b);  // its memory goes back now, not at the end of the pass
    }
    {
      std::lock_guard<std::mutex> held(hand.lock);
      hand.held -= freed;
      hand.next = next;
    }
    hand.room.notify_all();
  }
  {
    // Ready for the next pass: every item is in, so no worker posts now.
    std::lock_guard<std::mutex> held(hand.lock);
    c->most_held = hand.most;
    hand.posted.clear();
    hand.held = 0;
    hand.next = 0;
    hand.most = 0;
  }
  const double secs = std::max(zam_get_time() - t0, 1e-8);
  zam_msg("Done %.0f orientations in %.2fs (%.0f/s).\n", orientations, secs, orientations / secs);
  zam_msg("Found %d/%.0f within score threshold = %.1f%s", kept, orientations,
          (double)zam_sixd_state.score_threshold, found ? " including start guess.\n" : " NOT including start guess.\n");
  zam_msg("\n");
  c->orientations = orientations;
  c->kept = kept;
  c->found_start = found;
  return nullptr;
}

void show_sixd_progress(_ZamProgress* p) {
  if (p->total <= 0) return;
  // Each item's post opens the reader side of mailbox 7; posts that come
  // together are read in one turn, and the turn that sees the last ends it.
  for (;;) {
    zam_mutex_acquire_r(kProgressMailbox);
    const int done = p->done;
    if (zam_progress2(p->id, done, p->total) != 0 && p->abort != 1) {
      p->abort = 1;
      if (!zam_thread_start(kAbortHandle, 1, zam_abort_sixd_thread, p)) p->abort = 2;
    }
    zam_mutex_release_r(kProgressMailbox);
    if (done >= p->total) break;
  }
}

void* zam_abort_sixd_thread(void* arg) {
  auto* p = static_cast<_ZamProgress*>(arg);
  _scan_block block{};
  for (int item = zam_thread_pop_list(); item >= 0; item = zam_thread_pop_list())
    end_scan_item(&block, item, 0.0f, p);
  return nullptr;
}

bool sixd_poses_fit(const char* layout, int64_t n_poses, int mb) {
  constexpr int64_t kMostPoses = int64_t{1} << 30;
  if (n_poses > kMostPoses) {
    zam_err("The %s layout's %lld poses are too many to lay out: more than 2^30; sample fewer rotations or "
            "distances.\n", layout, (long long)n_poses);
    return false;
  }
  const int64_t bytes = n_poses * (int64_t)sizeof(int64_t);
  if (bytes > ((int64_t)mb << 19)) {
    zam_err("The %s layout's %lld poses are too many to lay out: their codes take %lld MB, more than half the "
            "memory (%d MB); sample fewer rotations or distances.\n", layout, (long long)n_poses,
            (long long)((bytes + (1 << 20) - 1) >> 20), mb);
    return false;
  }
  return true;
}

int get_max_samples(int n_rec, int n_lig, double rec_range, double lig_range) {
  if (n_lig < 1) return 10000;
  const _sixd_search_state& s = zam_sixd_state;
  // Samples beyond the table (none loaded) count as active.
  auto active = [](const Euler* rot, int n_table, int n, double range) {
    int count = 0;
    for (int i = 0; i < n; i++)
      if (!rot || i >= n_table || rot[i].beta <= range) count++;
    return count;
  };
  const int rec_term = n_rec < 1 ? 0 : sample_factor(n_rec) * active(s.rrot1, s.n_rrot, n_rec, rec_range) / n_rec;
  const int lig_term = sample_factor(n_lig) * active(s.lrot1, s.n_lrot, n_lig, lig_range) / n_lig;
  int64_t result = (int64_t)rec_term * lig_term;
  result = (result + 999) / 1000 * 1000;
  return (int)std::clamp<int64_t>(result, 10000, 40000);
}

int relabel_samples(int n, const int64_t* codes, const int* order, const int* rec_map, const int* lig_map,
                    int64_t** out) {
  const _sixd_search_state& s = zam_sixd_state;
  *out = nullptr;
  std::vector<int64_t> emitted;
  emitted.reserve((size_t)std::max(n, 0));
  const int m = s.r12_substeps > 0 ? s.r12_substeps : 0;
  for (int i = 0; i < n; i++) {
    const int64_t code = codes[order ? order[i] : i];
    const int did = sixd_code_did(code);
    int rec = sixd_code_rec(code);
    int lig = sixd_code_lig(code) & 0xffff;  // the combined FFT position reads unsigned
    if (s.problem_type == 4 || s.problem_type == 5) {
      rec = s.ract2all ? s.ract2all[rec] : rec;
    } else {
      rec = rec_map ? rec_map[rec] : (s.ract2all ? s.ract2all[rec] : rec);
      lig = lig_map ? lig_map[lig] : (s.lact2all ? s.lact2all[lig] : lig);
    }
    if (m > 0) {
      const double r12 = zam_r12_did(did);
      for (int j = -m; j <= m; j++) emitted.push_back(sixd_code(zam_did_r12(r12 + j * s.r12_substep), rec, lig, 0));
    } else {
      emitted.push_back(sixd_code(did, rec, lig, 0));
    }
  }
  std::sort(emitted.begin(), emitted.end());
  emitted.erase(std::unique(emitted.begin(), emitted.end()), emitted.end());
  const int count = (int)emitted.size();
  *out = static_cast<int64_t*>(zam_vm_get(std::max<int64_t>(count, 1) * (int64_t)sizeof(int64_t)));
  if (!*out) return 0;
  std::copy(emitted.begin(), emitted.end(), *out);
  zam_msg("\nRe-sampling top %d orientations -> top %d retained.\n", n, count);
  return count;
}

void zam_find_dspans_s(int n, const int64_t* codes, const int* order, int* n_spans, int* spans) {
  *n_spans = 0;
  if (n < 1) return;
  auto did = [&](int i) { return sixd_code_did(codes[order ? order[i] : i]); };
  int start = 0;
  for (int i = 1; i < n; i++) {
    if (did(i) == did(i - 1)) continue;
    spans[2 * *n_spans] = start;
    spans[2 * *n_spans + 1] = i - 1;
    ++*n_spans;
    start = i;
  }
  spans[2 * *n_spans] = start;
  spans[2 * *n_spans + 1] = n - 1;
  ++*n_spans;
}

void print_zeroth_score(int n, int start_rank, float e_start, float e_min, float e_max) {
  if (n < 1) return;
  if (start_rank >= 0)
    zam_msg("\nStarting orientation (E=%.2f) is at %d/%d.\n", e_start, start_rank + 1, n);
  else
    zam_msg("Starting guess not found in top %d solutions.\n", n);
  zam_msg("Emin = %.2f, Emax = %.2f\n", e_min, e_max);
}

float get_start_energy(int n_vec, int N) {
  const _sixd_search_state& s = zam_sixd_state;
  if (n_vec < 1 || N < 1) return 0.0f;
  const int K = anlm_size(N);
  std::vector<double> phi(K), rho(K);
  ZamTm3_struct tm;
  zam_tm3_init(&tm);
  double E = 0.0;
  bool moved = true;
  for (int i = 0; i < n_vec && moved; i++) {
    const int kind = s.vec_types ? s.vec_types[i] : 1;
    const double* a_phi = s.anlm_phi_base + (int64_t)i * K;
    const double* a_rho = s.anlm_rho_base + (int64_t)i * K;
    moved = zam_tm3_apply(N, 1, &kind, &tm, a_phi, phi.data(), -s.r12_start) &&
            zam_tm3_apply(N, 1, &kind, &tm, a_rho, rho.data(), -s.r12_start);
    if (moved)
      E += anlm_dot(N, phi.data(), s.bnlm_rho_base + (int64_t)i * K) +
           anlm_dot(N, rho.data(), s.bnlm_phi_base + (int64_t)i * K);
  }
  zam_tm3_free(&tm);
  if (!moved) {
    // No score at all, rather than a 0 that reads like one.
    zam_err("Cannot translate the starting pose by %.2f: its energy is unknown.\n", -s.r12_start);
    return std::numeric_limits<float>::quiet_NaN();
  }
  zam_msg("Estart = %.2f.\n", E);
  return (float)E;
}
