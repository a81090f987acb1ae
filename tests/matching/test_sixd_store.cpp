// Solution store and pass threads of the six-dimensional search: the cull
// keeps the best quarter, an empty pass gives the start pose, runs of equal
// distance, the re-sampling of poses for a fine pass, the fine-pass pose
// count, the most poses a search lays out, the consumer's tally over
// threads and the abort path, a threaded pass that keeps the one-thread
// poses through a cull of ties, with the hand-over at its default bound and
// at one byte (workers wait), and the start energy against a translation
// moved to the other side (none when the pose cannot be translated).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "matching/sampled_shape.h"
#include "matching/zam_distance_code.h"
#include "matching/zam_sixd_store.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"

namespace {

TEST(SixdStore, CullKeepsBestQuarterAndEmptyGivesStart) {
  zam_sixd_state = {};
  zam_sixd_state.start_code = sixd_code(7, 0, 0, 0);
  ASSERT_EQ(alloc_soln(10), 1);
  const int K = soln_capacity();
  ASSERT_EQ(K, 200000);
  // Scores 0..K-1 in a shuffled order; the pose code remembers the score.
  std::vector<int> perm(K);
  for (int i = 0; i < K; i++) perm[i] = i;
  std::shuffle(perm.begin(), perm.end(), std::mt19937(5));
  for (int i = 0; i < K; i++) push_soln(perm[i], (float)perm[i]);
  EXPECT_EQ(soln_count(), K);
  push_soln(-5, -1.0f);  // full: the cull runs first
  ASSERT_EQ(soln_count(), K / 4 + 1);
  int64_t* codes = nullptr;
  float* scores = nullptr;
  ASSERT_EQ(fetch_soln(&codes, &scores), K / 4 + 1);
  for (int k = 0; k < K / 4; k++) {
    ASSERT_EQ(scores[k], (float)k);  // the lowest quarter, ascending
    ASSERT_EQ(codes[k], k);
  }
  EXPECT_EQ(codes[K / 4], -5);
  zam_vm_free(codes);
  zam_vm_free(scores);
  EXPECT_EQ(soln_capacity(), 0);

  ASSERT_EQ(alloc_soln(60000), 1);
  EXPECT_EQ(soln_capacity(), 240000);
  ASSERT_EQ(fetch_soln(&codes, &scores), 1);
  EXPECT_EQ(codes[0], zam_sixd_state.start_code);
  EXPECT_EQ(scores[0], 0.0f);
  zam_vm_free(codes);
  zam_vm_free(scores);
}

TEST(SixdStore, DistanceRunsCompareEveryPosition) {
  auto c = [](int did) { return sixd_code(did, 3, -2, 9); };
  int spans[16], n = -1;
  const int64_t aabc[] = {c(4), c(4), c(5), c(6)};
  zam_find_dspans_s(4, aabc, nullptr, &n, spans);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(std::vector<int>(spans, spans + 6), (std::vector<int>{0, 1, 2, 2, 3, 3}));
  const int64_t ab[] = {c(4), c(5)};
  zam_find_dspans_s(2, ab, nullptr, &n, spans);
  EXPECT_EQ(n, 2);
  const int64_t aa[] = {c(4), c(4)};
  zam_find_dspans_s(2, aa, nullptr, &n, spans);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(spans[1], 1);
  // Taken through an order: b a a b reads as a a b b.
  const int64_t baab[] = {c(5), c(4), c(4), c(5)};
  const int order[] = {1, 2, 0, 3};
  zam_find_dspans_s(4, baab, order, &n, spans);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(std::vector<int>(spans, spans + 4), (std::vector<int>{0, 1, 2, 3}));
  // The fields survive a round trip, signed indices included.
  EXPECT_EQ(sixd_code_did(c(2047 * 16)), 2047 * 16);
  EXPECT_EQ(sixd_code_rec(c(1)), 3);
  EXPECT_EQ(sixd_code_lig(c(1)), -2);
  EXPECT_EQ(sixd_code_scan(c(1)), 9);
}

TEST(SixdStore, RelabelMapsSamplesAndAddsSubsteps) {
  zam_sixd_state = {};
  int ract[] = {5, 7, 9};
  zam_sixd_state.ract2all = ract;
  zam_sixd_state.r12_substeps = 1;
  zam_sixd_state.r12_substep = 0.5;
  const int lig_map[] = {40, 41, 42, 43};
  // Two poses of the same sample and distance (different twists) and one
  // other; the FFT position 3 maps to ligand sample 43.
  const int64_t codes[] = {sixd_code(zam_did_r12(1.0), 1, 3, 17), sixd_code(zam_did_r12(1.0), 1, 3, 2),
                           sixd_code(zam_did_r12(2.0), 2, 0, 5)};
  int64_t* out = nullptr;
  ASSERT_EQ(relabel_samples(3, codes, nullptr, nullptr, lig_map, &out), 6);
  const std::vector<int64_t> want = {sixd_code(zam_did_r12(0.5), 7, 43, 0), sixd_code(zam_did_r12(1.0), 7, 43, 0),
                                     sixd_code(zam_did_r12(1.5), 7, 43, 0), sixd_code(zam_did_r12(1.5), 9, 40, 0),
                                     sixd_code(zam_did_r12(2.0), 9, 40, 0), sixd_code(zam_did_r12(2.5), 9, 40, 0)};
  EXPECT_EQ(std::vector<int64_t>(out, out + 6), want);
  zam_vm_free(out);
  zam_sixd_state = {};
}

TEST(SixdStore, MaxSamplesBounds) {
  zam_sixd_state = {};
  EXPECT_EQ(get_max_samples(162, 492, M_PI, M_PI), 20000);  // 141 x 141 = 19881
  EXPECT_EQ(get_max_samples(1, 1, M_PI, M_PI), 10000);
  EXPECT_EQ(get_max_samples(1002, 1002, M_PI, M_PI), 30000);  // 173 x 173
  EXPECT_EQ(get_max_samples(1212, 1692, M_PI, M_PI), 40000);
  EXPECT_EQ(get_max_samples(162, 0, M_PI, M_PI), 10000);
  // Only samples within range count: half the receptor table lies beyond it.
  std::vector<Euler> rot(812);
  for (int i = 0; i < 812; i++) rot[i] = e_make(0.0, i < 406 ? 0.5 : 2.5, 0.0);
  zam_sixd_state.rrot1 = rot.data();
  zam_sixd_state.n_rrot = 812;
  zam_sixd_state.lrot1 = rot.data();
  zam_sixd_state.n_lrot = 812;
  EXPECT_EQ(get_max_samples(812, 812, 1.0, M_PI), 13000);  // 79 x 158 = 12482
  zam_sixd_state = {};
}

// A code per pose: exactly 2^30 codes (8 GB) are laid out where they take
// no more than half the memory; one pose more, or one MB less, is refused
// with the reason.
TEST(SixdStore, LayOutTakesAtMostTwoToTheThirtyPosesInHalfTheMemory) {
  const int64_t most = int64_t{1} << 30;
  testutil::Capture log;
  EXPECT_TRUE(sixd_poses_fit("6-D", most, 16384));
  EXPECT_TRUE(log.text.empty()) << log.text;
  EXPECT_FALSE(sixd_poses_fit("6-D", most + 1, 1 << 30));
  EXPECT_TRUE(log.has("The 6-D layout's 1073741825 poses are too many to lay out: more than 2^30;")) << log.text;
  EXPECT_FALSE(sixd_poses_fit("6-D", most, 16383));
  EXPECT_TRUE(log.has("1073741824 poses are too many to lay out: their codes take 8192 MB, more than half the "
                      "memory (16383 MB)")) << log.text;
}

// A producer of the pass tests: takes items and scores `poses` poses in
// each (pose k of item i scored score(i, k); those below the threshold
// kept), then ends the item.
struct Producer {
  _ZamProgress* p;
  int max_items;  // items taken before it stops
  std::atomic<int>* exited;
  int poses = 600;
  float (*score)(int item, int k) = [](int, int k) { return (k % 3 == 0) ? -1.0f : (k % 3 == 1 ? 1.0f : NAN); };
  // The producer that takes item 0 holds it back until this many others
  // wait in the hand-over (noted in saw_wait; given up after 30 s).
  int hold_until_waiting = 0;
  std::atomic<int>* saw_wait = nullptr;
};
void hold_item(const Producer& w) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (sixd_hand_over_waiting() < w.hold_until_waiting && std::chrono::steady_clock::now() < give_up)
    std::this_thread::yield();
  w.saw_wait->store(sixd_hand_over_waiting());
}
void* produce(void* arg) {
  auto* w = static_cast<Producer*>(arg);
  _scan_block block{};
  for (int taken = 0; taken < w->max_items; taken++) {
    const int item = zam_thread_pop_list();
    if (item < 0) break;
    if (item == 0 && w->hold_until_waiting > 0) hold_item(*w);
    for (int k = 0; k < w->poses; k++) {
      const float s = w->score(item, k);
      if (sixd_keeps(s)) push_scan(&block, sixd_code(item, k, 0, 0), s);
    }
    end_scan_item(&block, item, (float)w->poses, w->p);
  }
  EXPECT_TRUE(block.codes.empty());
  w->exited->fetch_add(1);
  return nullptr;
}

void wait_for(std::atomic<int>& n, int want) {
  while (n.load() < want) std::this_thread::yield();
}

std::atomic<int> stop_asked{0};
int ask_stop(int, double) { return stop_asked.load(); }

// One pass of `items` items over `threads` producers like w (their
// progress record and exit count filled in here), with the consumer on
// handle 136; returns when the consumer and every producer are done.
void run_pass(Producer w, int items, int threads, _ZamProgress* p, _sixd_consumer_arg* c) {
  *p = _ZamProgress{3, 0, items, 0};
  *c = _sixd_consumer_arg{items, 0.0, 0, 0};
  zam_thread_load_range(0, items - 1);
  ASSERT_EQ(zam_thread_start(136, 1, zam_sixd_consumer, c), 1);
  std::atomic<int> exited{0};
  w.p = p;
  w.exited = &exited;
  for (int t = 0; t < threads; t++) ASSERT_EQ(zam_thread_start(t, 0, produce, &w), 1);
  show_sixd_progress(p);
  zam_thread_join(136);
  wait_for(exited, threads);
}

TEST(SixdStore, ConsumerCountsThreadedPassAndAbortEndsIt) {
  zam_thread_setup(4);
  zam_sixd_state = {};
  zam_sixd_state.score_threshold = 0.0f;
  zam_sixd_state.start_code = sixd_code(3, 0, 0, 0);  // item 3, pose 0: kept

  // Ten items over three producers: 200 of every 600 poses kept.
  ASSERT_EQ(alloc_soln(0), 1);
  _ZamProgress p{};
  _sixd_consumer_arg c{};
  run_pass(Producer{nullptr, 1000, nullptr}, 10, 3, &p, &c);
  EXPECT_EQ(p.done, 10);
  EXPECT_EQ(c.orientations, 6000.0);
  EXPECT_EQ(c.kept, 2000);
  EXPECT_EQ(c.found_start, 1);
  EXPECT_EQ(soln_count(), 2000);
  free_soln();

  // One producer does one item, then the hook asks to stop: the abort thread
  // ends the other nine with no orientations.
  ASSERT_EQ(alloc_soln(0), 1);
  stop_asked = 1;
  zam_progress_callback(ask_stop);
  run_pass(Producer{nullptr, 1, nullptr}, 10, 1, &p, &c);
  ASSERT_EQ(p.abort, 1);
  zam_thread_join(137);
  zam_progress_callback(nullptr);
  EXPECT_EQ(p.done, 10);
  EXPECT_EQ(c.orientations, 600.0);
  EXPECT_EQ(c.kept, 200);
  EXPECT_EQ(zam_thread_pop_list(), -1);
  free_soln();
}

// Twelve items of 25,000 poses on five tied scores over `threads` workers
// like w: they overflow the buffer of 200,000, and the cull cuts through a
// run of equal scores, where the order in which the poses came decides
// which stay. Returns the codes the store keeps.
std::vector<int64_t> tied_pass(int threads, Producer w, _sixd_consumer_arg* c) {
  EXPECT_EQ(alloc_soln(0), 1);
  _ZamProgress p{};
  w.poses = 25000;
  w.score = [](int item, int k) { return -1.0f - (float)((item + k) % 5); };
  run_pass(w, 12, threads, &p, c);
  EXPECT_EQ(c->kept, 300000);
  int64_t* codes = nullptr;
  float* scores = nullptr;
  const int n = fetch_soln(&codes, &scores);
  std::vector<int64_t> kept(codes, codes + n);
  zam_vm_free(codes);
  zam_vm_free(scores);
  return kept;
}

// Three workers, whose items finish in any order, must leave the buffer
// exactly as one worker does.
TEST(SixdStore, ThreadedPassKeepsTheOneThreadPosesThroughACullOfTies) {
  zam_thread_setup(4);
  zam_sixd_state = {};
  zam_sixd_state.score_threshold = 0.0f;
  _sixd_consumer_arg c{};
  const std::vector<int64_t> one = tied_pass(1, Producer{nullptr, 1000, nullptr}, &c);
  ASSERT_EQ(one.size(), 150000u);  // a cull to 50,000 at 200,000, then 100,000 more
  EXPECT_EQ(tied_pass(3, Producer{nullptr, 1000, nullptr}, &c), one);
  zam_sixd_state = {};
}

// A hand-over bound of one byte: while the worker of item 0 holds it back,
// the other workers get one block past the bound between them and then
// wait, so the blocks waiting for the consumer stay within two items'
// whatever the thread count; item 0, which the consumer needs next, always
// gets through, and the pass ends with the one-thread poses, cull of ties
// included. Several trials, for the order in which the workers meet.
TEST(SixdStore, BoundedHandOverWaitsAndKeepsTheOneThreadPoses) {
  zam_thread_setup(6);
  zam_sixd_state = {};
  zam_sixd_state.score_threshold = 0.0f;
  struct Bound {
    int64_t before = sixd_hand_over_bound(1);
    ~Bound() { sixd_hand_over_bound(before); }
  } one_byte;
  _sixd_consumer_arg c{};
  const std::vector<int64_t> one = tied_pass(1, Producer{nullptr, 1000, nullptr}, &c);
  const int64_t two_items = 2 * 25000 * (int64_t)(sizeof(int64_t) + sizeof(float));
  for (int trial = 0; trial < 4; trial++) {
    for (int threads : {3, 6}) {
      SCOPED_TRACE(threads);
      std::atomic<int> saw{0};
      Producer w{nullptr, 1000, nullptr};
      w.hold_until_waiting = threads - 1;
      w.saw_wait = &saw;
      EXPECT_EQ(tied_pass(threads, w, &c), one);
      ASSERT_EQ(saw.load(), threads - 1);
      EXPECT_GT(c.most_held, 0);
      EXPECT_LE(c.most_held, 2 * two_items);  // room for the blocks' spare capacity
      EXPECT_EQ(sixd_hand_over_waiting(), 0);
    }
  }
  zam_sixd_state = {};
}

TEST(SixdStore, StartEnergyMovesTranslationToEitherSide) {
  testutil::CacheInTemp cache;
  const int N = 6, K = anlm_size(N);
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> a1(K), a2(K), b1(K), b2(K);
  for (int i = 0; i < K; i++) a1[i] = u(rng), a2[i] = u(rng), b1[i] = u(rng), b2[i] = u(rng);
  int kind = 1;
  zam_sixd_state = {};
  zam_sixd_state.vec_types = &kind;
  zam_sixd_state.anlm_phi_base = a1.data();
  zam_sixd_state.anlm_rho_base = a2.data();
  zam_sixd_state.bnlm_phi_base = b1.data();
  zam_sixd_state.bnlm_rho_base = b2.data();
  zam_sixd_state.r12_start = 0.0;
  EXPECT_NEAR(get_start_energy(1, N), anlm_dot(N, a1.data(), b2.data()) + anlm_dot(N, a2.data(), b1.data()), 1e-3);
  // Translating the receptor by -r equals translating the ligand by +r.
  zam_sixd_state.r12_start = 1.6;
  ZamTm3_struct tm;
  zam_tm3_init(&tm);
  std::vector<double> t1(K), t2(K);
  ASSERT_EQ(zam_tm3_apply(N, 1, &kind, &tm, b1.data(), t1.data(), 1.6), 1);
  ASSERT_EQ(zam_tm3_apply(N, 1, &kind, &tm, b2.data(), t2.data(), 1.6), 1);
  zam_tm3_free(&tm);
  const double want = anlm_dot(N, a1.data(), t2.data()) + anlm_dot(N, a2.data(), t1.data());
  EXPECT_NEAR(get_start_energy(1, N), want, 1e-4 * std::fabs(want) + 1e-4);
  EXPECT_EQ(get_start_energy(0, N), 0.0f);
  // Beyond the translation matrices' highest order the pose cannot be moved:
  // no energy, and no 0 that could pass for one.
  const int high = 37, H = anlm_size(high);
  std::vector<double> big(H, 0.5);
  zam_sixd_state.anlm_phi_base = zam_sixd_state.anlm_rho_base = big.data();
  zam_sixd_state.bnlm_phi_base = zam_sixd_state.bnlm_rho_base = big.data();
  {
    testutil::Capture log;
    EXPECT_TRUE(std::isnan(get_start_energy(1, high)));
    EXPECT_TRUE(log.has("Cannot translate the starting pose by -1.60")) << log.text;
    EXPECT_FALSE(log.has("Estart")) << log.text;
  }
  zam_sixd_state = {};
}

}  // namespace
