#include "driver/trel_filter.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "driver/trel_options.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_radial.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_wigner.h"
#include "matching/zam_dock_spec.h"
#include "matching/zam_fft.h"
#include "matching/zam_kft.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "store/trel_pot.h"
#include "store/trel_thing.h"

namespace {

constexpr int kMailbox = ZAM_MAILBOX_FILTER;    // filter workers report their counts to the collector here
constexpr int kCollector = ZAM_HANDLE_SECOND;  // joinable thread handle of that collector
constexpr int kBaseRotations = 6;
constexpr int kTwists = 64;      // twist samples of the FFT filters: 5.625 degrees apart
constexpr int kMaxNamed = 20;    // unscored targets named one by one per query
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The six base rotations of the canonical orientations, in their fixed order.
Matrix3D baseRotation(int o) {
  switch (o) {
    case 1: return tf_roty(M_PI);
    case 2: return tf_rotx(0.5 * M_PI);
    case 3: return tf_rotx(1.5 * M_PI);
    case 4: return tf_roty(0.5 * M_PI);
    case 5: return tf_roty(1.5 * M_PI);
    default: return tf_identity();
  }
}

// A vector that can be compared: every value finite and not all zero.
bool usable(int N, const double* a) {
  const double m = anlm_mag(N, a);
  return std::isfinite(m) && m > 0.0;
}

// The radial moments q_0..q_N of an order-N shape (the integrals of the
// shape times r^k) into moments, and each taken over the zeroth to its
// order, q_k / q_0^k, into out[0..N]: the profile that the radial-moment
// similarity compares. False when there is no positive mass or a value is
// not finite. The powers of q_0 are built by products in double, and the
// comparison of profiles stays in double: the profiles of compact proteins
// agree to a few parts in a million.
bool momentProfile(int N, const double* tau, double* moments, double* out) {
  hnl_radial(N, tau, moments);
  const double mass = moments[0];
  if (!(mass > 0.0) || !std::isfinite(mass)) return false;
  double power = 1.0;
  for (int k = 0; k <= N; k++, power *= mass) {
    out[k] = moments[k] / power;
    if (!std::isfinite(out[k])) return false;
  }
  return true;
}

// Among scores s[0..n-1] the first that exceeds every earlier one and 0;
// 0 (and *best 0) when none does.
double bestOf(const double* s, int n, int* best) {
  double top = 0.0;
  *best = 0;
  for (int c = 0; c < n; c++)
    if (s[c] > top) {
      top = s[c];
      *best = c;
    }
  return top;
}

const char* methodTitle(int method) {
  switch (method) {
    case 1: return "RIF";
    case 2: return "RIM";
    case 3: return "quadrupole RIQ";
    default: return "quadrupole FFT";
  }
}

// Why a target was not scored.
enum Unscored : unsigned char { kScored = 0, kNoDescriptors = 1, kNoScore = 2 };

// Shared by the calling thread and the workers of one pass. Workers read
// everything but `next` and `reason`; each writes only the entries of the
// targets it claimed (scores, transforms, reason) and reports its count to
// the collector.
struct Pass {
  const _trel_filter* filter = nullptr;
  const _trel_thing* query = nullptr;
  _trel_thing** targets = nullptr;
  int nt = 0;
  int lq = 0;
  float* jscore = nullptr;
  float* wscore = nullptr;
  double* key = nullptr;  // the ranking key in double: the similarity, or its weighted form
  bool weighted = false;
  Matrix3D* transforms = nullptr;
  unsigned char* reason = nullptr;
  int block = 1;
  std::atomic<int> next{0};
  _zam_collector collect{0, 0, kMailbox, 0, 0.0};
};

struct Task {
  Pass* pass;
};

// The class's tau vector of a target when it holds one of at least order N.
const double* tauOf(const _trel_thing* t, int pot_class, int N) {
  if (!t || !t->tag || t->tag->valid != 1 || t->tag->order < N) return nullptr;
  if (pot_class < 0 || pot_class >= TREL_POT_CLASSES) return nullptr;
  return t->tau[pot_class];
}

// Scores targets first..last with its own scratch; returns how many it scored.
int scoreRange(Pass& p, int first, int last, _trel_filter_work* work) {
  int count = 0;
  const int N = p.filter->N;
  for (int t = first; t <= last; t++) {
    const double* tau = tauOf(p.targets[t], p.filter->pot_class, N);
    if (!tau) {
      p.reason[t] = kNoDescriptors;
      continue;
    }
    if (p.filter->method == 2 && zam_debug > 1) {
      const _trel_tag* qt = p.query->tag;
      const _trel_tag* tt = p.targets[t]->tag;
      zam_msg("%s  M00 = %.8g, [Qxx,Qyy,Qzz] = [%.8g, %.8g, %.8g]\n", p.query->name, qt->mass,
              qt->quad[0], qt->quad[1], qt->quad[2]);
      zam_msg("%s  M00 = %.8g, [Qxx,Qyy,Qzz] = [%.8g, %.8g, %.8g]\n", p.targets[t]->name, tt->mass,
              tt->quad[0], tt->quad[1], tt->quad[2]);
      zam_msg("Comparing radial moments for = %s + %s\n", p.query->name, p.targets[t]->name);
    }
    Matrix3D tf = tf_identity();
    const double s = work ? trel_filterScore(p.filter, tau, work, &tf) : kNaN;
    if (!std::isfinite(s)) {
      p.reason[t] = kNoScore;
      continue;
    }
    p.reason[t] = kScored;
    const double w = s * std::sqrt((double)p.lq * (double)trel_thingResidues(p.targets[t]));
    p.jscore[t] = (float)s;
    p.wscore[t] = (float)w;
    p.key[t] = p.weighted ? w : s;
    p.transforms[t] = tf;
    count++;
  }
  return count;
}

int scoreClaimed(Pass& p, _trel_filter_work* work) {
  int count = 0;
  for (;;) {
    // Relaxed: the results reach the caller through the mailbox and the join.
    const int from = p.next.fetch_add(p.block, std::memory_order_relaxed);
    if (from >= p.nt) break;
    count += scoreRange(p, from, std::min(from + p.block, p.nt) - 1, work);
  }
  return count;
}

// One worker's share: its own scratch and blocks of targets until none is
// left. Returns how many it scored.
int scoreShare(Pass& p) {
  _trel_filter_work* work = trel_makeFilterWork(p.filter);
  const int count = scoreClaimed(p, work);
  trel_freeFilterWork(work);
  return count;
}

void* runFilterThread(void* arg) {
  Pass& p = *static_cast<Task*>(arg)->pass;
  zam_collector_report(&p.collect, scoreShare(p));
  zam_thread_exit();
  return nullptr;
}

// Every target scored on this thread.
int scoreHere(Pass& p) {
  _trel_filter_work* work = trel_makeFilterWork(p.filter);
  const int count = scoreRange(p, 0, p.nt - 1, work);
  trel_freeFilterWork(work);
  return count;
}

int scoreThreaded(Pass& p, int threads) {
  const int T = std::min(zam_thread_setup_task(threads, 0), p.nt);
  if (T < 2) return scoreHere(p);
  p.block = std::clamp(p.nt / (16 * T), 1, 64);
  Task tasks[ZAM_TASK_STACK] = {};
  auto fill = [&](Task& task, const _zam_task&) { task.pass = &p; };
  auto here = [&](Task&) { return scoreShare(p); };
  if (zam_thread_fan_out(kCollector, &p.collect, T, runFilterThread, tasks, fill, here) < 0) {
    p.next.store(0);
    return scoreHere(p);
  }
  return p.collect.count;
}

// Names the targets that could not be scored, at most kMaxNamed of them,
// then how many more.
void warnUnscored(const _trel_thing* query, _trel_thing** targets, int nt, int pot_class,
                  const unsigned char* reason) {
  int named = 0, more = 0;
  for (int t = 0; t < nt; t++) {
    if (reason[t] == kScored) continue;
    if (named >= kMaxNamed) {
      more++;
      continue;
    }
    named++;
    const char* name = targets[t] && targets[t]->name ? targets[t]->name : "?";
    if (reason[t] == kNoDescriptors)
      zam_wrn("Target %s has no shape descriptors of class %s: it is ranked last for %s.\n", name,
              trel_potCode(pot_class), query->name);
    else
      zam_wrn("The shape descriptor score of target %s cannot be computed: it is ranked last "
              "for %s.\n",
              name, query->name);
  }
  if (more > 0)
    zam_wrn("%d more targets without a shape descriptor score are ranked last for %s.\n", more,
            query->name);
}

}  // namespace

_trel_canon* trel_makeCanon(int N, int pot_class, int mode, int nd, const double* distances,
                            const double*, const double* tau) {
  if (N < 1 || !tau) {
    zam_err("trel_makeCanon(): no coefficient vector of order %d.\n", N);
    return nullptr;
  }
  const int K = anlm_size(N);
  const int count = kBaseRotations * std::max(nd, 1);
  auto* canon = static_cast<_trel_canon*>(kget1B_0(sizeof(_trel_canon)));
  if (!canon) return nullptr;
  canon->tf = static_cast<Matrix3D*>(kget1B_0(sizeof(Matrix3D) * count));
  canon->vec = static_cast<double**>(kget1B_0(sizeof(double*) * count));
  if (!canon->tf || !canon->vec) {
    trel_freeCanon(canon);
    return nullptr;
  }
  canon->count = count;
  const double scale = trel_potScale(pot_class);
  std::vector<double> turned(K), moved(K);
  ZamRm3_struct rm{};
  ZamTm3_struct tm{};
  zam_rm3_init(&rm);
  zam_tm3_init(&tm);
  const int types[1] = {1};
  bool ok = true;
  for (int c = 0; c < count && ok; c++) {
    const int d = c / kBaseRotations, o = c % kBaseRotations;
    const Matrix3D base = baseRotation(o);
    const Matrix3D undo = tf_transpose(base);
    ok = zam_rm3_apply(N, 1, &rm, tau, turned.data(), euler_tf(base)) == 1;
    if (!ok) break;
    if (nd < 1) {
      canon->tf[c] = undo;
      anlm_copy(N, turned.data(), moved.data());
    } else {
      ok = zam_tm3_apply(N, 1, types, &tm, turned.data(), moved.data(), distances[d]) == 1;
      if (!ok) break;
      Matrix3D shift = tf_identity();
      shift.m[11] = -distances[d] / scale;
      canon->tf[c] = tf_tftf(shift, undo);
    }
    canon->vec[c] = kget1D(K);
    if (!canon->vec[c]) {
      ok = false;
      break;
    }
    if (mode == 2 || mode == 1)
      anlm_rinv(N, 1, mode, moved.data(), canon->vec[c]);
    else
      anlm_copy(N, moved.data(), canon->vec[c]);
  }
  zam_rm3_free(&rm);
  zam_tm3_free(&tm);
  if (!ok) {
    zam_err("The canonical orientations of order %d could not be made.\n", N);
    trel_freeCanon(canon);
    return nullptr;
  }
  return canon;
}

void trel_freeCanon(_trel_canon* canon) {
  if (!canon) return;
  if (canon->vec)
    for (int c = 0; c < canon->count; c++) kfree(canon->vec[c]);
  kfree(canon->vec);
  kfree(canon->tf);
  kfree(canon);
}

int trel_filterDistances(int method, double range, double step, double* distances) {
  if (method == 4) {
    distances[0] = 0.0;
    return 1;
  }
  if (method != 5) return 0;
  const int D = step > 0.0 && range > 0.0 ? (int)(range / step) : 0;
  for (int k = 0; k <= 2 * D; k++) distances[k] = (k - D) * step;
  return 2 * D + 1;
}

_trel_filter* trel_makeFilter(int method, int N, int pot_class, int nd, const double* distances,
                              const double* tau) {
  if (method < 1 || method > 5 || N < 1 || !tau) {
    zam_err("No descriptor filter %d of order %d.\n", method, N);
    return nullptr;
  }
  if (!usable(N, tau)) return nullptr;
  std::unique_ptr<_trel_filter, void (*)(_trel_filter*)> f(
      static_cast<_trel_filter*>(kget1B_0(sizeof(_trel_filter))), trel_freeFilter);
  if (!f) return nullptr;
  f->method = method;
  f->N = N;
  f->pot_class = pot_class;
  const int K = anlm_size(N);
  switch (method) {
    case 1:
      f->qinv = kget1D(K);
      if (!f->qinv) return nullptr;
      anlm_rinv(N, 1, 2, tau, f->qinv);
      break;
    case 2: {
      f->qmom = kget1D(N + 1);
      std::vector<double> moments(N + 1);
      if (!f->qmom || !momentProfile(N, tau, moments.data(), f->qmom)) return nullptr;
      break;
    }
    case 3:
      f->canon = trel_makeCanon(N, pot_class, 1, 0, distances, nullptr, tau);
      if (!f->canon) return nullptr;
      break;
    default:
      f->canon = trel_makeCanon(N, pot_class, 0, nd, distances, nullptr, tau);
      if (!f->canon) return nullptr;
      f->qmag = anlm_mag(N, tau);
      break;
  }
  return f.release();
}

void trel_freeFilter(_trel_filter* filter) {
  if (!filter) return;
  kfree(filter->qinv);
  kfree(filter->qmom);
  trel_freeCanon(filter->canon);
  kfree(filter);
}

_trel_filter_work* trel_makeFilterWork(const _trel_filter* filter) {
  if (!filter) return nullptr;
  auto* w = static_cast<_trel_filter_work*>(kget1B_0(sizeof(_trel_filter_work)));
  if (!w) return nullptr;
  w->N = filter->N;
  const int K = anlm_size(filter->N);
  w->a = kget1D(std::max(K, filter->N + 1));
  w->b = kget1D(std::max(K, filter->N + 1));
  if (filter->method >= 4) {
    w->c = kget1D(filter->N);
    w->turn = kget1D(kTwists);
    w->plan = zam_fft_open(kTwists);
  }
  if (!w->a || !w->b || (filter->method >= 4 && (!w->c || !w->turn || !w->plan))) {
    trel_freeFilterWork(w);
    return nullptr;
  }
  return w;
}

void trel_freeFilterWork(_trel_filter_work* work) {
  if (!work) return;
  kfree(work->a);
  kfree(work->b);
  kfree(work->c);
  kfree(work->turn);
  zam_fft_close(work->plan);
  kfree(work);
}

double trel_filterScore(const _trel_filter* f, const double* tau, _trel_filter_work* w,
                        Matrix3D* transform) {
  if (transform) *transform = tf_identity();
  if (!f || !tau || !w || w->N != f->N) return kNaN;
  const int N = f->N;
  if (!usable(N, tau)) return kNaN;
  switch (f->method) {
    case 1:
      anlm_rinv(N, 1, 2, tau, w->a);
      return anlm_carbo_rinv(N, 1, 2, f->qinv, w->a);
    case 2: {
      const double* q = f->qmom;
      double* t = w->b;
      if (!momentProfile(N, tau, w->a, t)) return kNaN;
      double sqq = 0.0, stt = 0.0, sqt = 0.0;
      for (int k = 0; k <= N; k++) {
        sqq += q[k] * q[k];
        stt += t[k] * t[k];
        sqt += q[k] * t[k];
        if (zam_debug > 1) zam_msg("[%2d] = %14.6lg, %14.6lg\n", k, q[k], t[k]);
      }
      const double s = sqt / (std::sqrt(sqq) * std::sqrt(stt));
      return std::isfinite(s) ? s : kNaN;
    }
    case 3: {
      anlm_rinv(N, 1, 1, tau, w->a);
      double s[kBaseRotations];
      for (int c = 0; c < kBaseRotations; c++) s[c] = anlm_carbo_rinv(N, 1, 1, f->canon->vec[c], w->a);
      int best = 0;
      const double top = bestOf(s, kBaseRotations, &best);
      if (transform) *transform = f->canon->tf[best];
      return top;
    }
    default: {
      // The correlation with every orientation and separation of the query
      // as a series in the turn of the target about z, read at 64 turns.
      const double norm = f->qmag * anlm_mag(N, tau);
      double top = 0.0;
      int best = -1, turn = 0;
      for (int c = 0; c < f->canon->count; c++) {
        zam_matcher_reduce(N, f->canon->vec[c], tau, w->c, w->b);
        zam_fft_execute_fs(w->plan, N, w->c, w->b, w->turn);
        int a = 0;
        double v = 0.0;
        zam_max_scanner(kTwists, kTwists, w->turn, &a, &v);
        const double s = v / norm;
        if (zam_debug > 1) zam_msg("C = %d, A = %d, S = %.4f\n", c, a, s);
        if (s > top) {
          top = s;
          best = c;
          turn = a;
        }
      }
      // The turn carries the target onto the query's orientation about z
      // before that orientation is undone: the twist comes first.
      if (transform && best >= 0)
        *transform = tf_tftf(tf_rotz(turn * (2.0 * M_PI / kTwists)), f->canon->tf[best]);
      return top;
    }
  }
}

int trel_filterPass(const _trel_thing* query, _trel_thing** targets, int nt,
                    const _trel_options* o, float* jscore, float* wscore, float* kscore,
                    Matrix3D* transforms, int* order) {
  if (nt < 1) return 0;
  const int method = o->filter_method;
  const int N = o->docking_spec ? o->docking_spec->order : 0;
  if (zam_debug > 0) {
    if (method == 2)
      zam_msg("Starting radial moment (RIM) scoring with N=%d...\n", N);
    else if (method == 1)
      zam_msg("Starting rotation-invariant scoring with N=%d...\n", N);
    else
      zam_msg("Starting %s scoring with N=%d...\n", methodTitle(method), N);
  }
  const double start = zam_get_time();
  std::fill(kscore, kscore + nt, 0.0f);
  std::vector<unsigned char> reason(nt, kNoDescriptors);
  std::vector<double> key(nt, 0.0);
  const int pot_class = query && query->tag ? query->tag->pot_class : -1;
  std::vector<double> distances(1, 0.0);
  int nd = 0;
  if (method == 4 || method == 5) {
    const _docking_spec* s = o->docking_spec;
    const int D = s && s->r12_step > 0.0 && s->r12_range > 0.0 ? (int)(s->r12_range / s->r12_step) : 0;
    distances.resize(2 * D + 1);
    nd = trel_filterDistances(method, s ? s->r12_range : 0.0, s ? s->r12_step : 0.0, distances.data());
  }
  const double* qtau = tauOf(query, pot_class, N);
  _trel_filter* filter = qtau ? trel_makeFilter(method, N, pot_class, nd, distances.data(), qtau) : nullptr;
  int count = 0;
  if (!filter) {
    zam_wrn("Query %s has no usable shape descriptors of order %d: no target is scored.\n",
            query && query->name ? query->name : "?", N);
  } else {
    Pass p;
    p.filter = filter;
    p.query = query;
    p.targets = targets;
    p.nt = nt;
    p.lq = trel_thingResidues(query);
    p.jscore = jscore;
    p.wscore = wscore;
    p.key = key.data();
    p.weighted = o->do_sort == 4;
    p.transforms = transforms;
    p.reason = reason.data();
    const int threads = o->use_threads ? zam_thread_cpus() : 1;
    // The per-target debug lines of the radial moments keep their order on one thread.
    if (threads < 2 || nt < 2 || zam_debug > 1)
      count = scoreHere(p);
    else
      count = scoreThreaded(p, threads);
    trel_freeFilter(filter);
    if (count < nt) warnUnscored(query, targets, nt, pot_class, reason.data());
  }
  for (int t = 0; t < nt; t++)
    if (reason[t] != kScored) jscore[t] = wscore[t] = 0.0f;
  if (o->do_write) {
    const double s = std::max(zam_get_time() - start, 1e-8);
    zam_msg("Done %s scoring in %.4f seconds (%.0f/s).\n", methodTitle(method), s, nt / s);
  }
  // Ranked by the scores in double: similarities of alike shapes can
  // differ below the resolution of the float scores kept for the tables
  // (those of the radial moments by a few parts in ten million).
  for (int t = 0; t < nt; t++)
    if (reason[t] != kScored) key[t] = 0.0;
  zam_sortd(key.data(), nt, order);
  // The ranking is read from the end of order: the unscored go to its front,
  // below every scored target, each group keeping its sorted order.
  std::stable_partition(order, order + nt, [&](int t) { return reason[t] != kScored; });
  return count;
}
