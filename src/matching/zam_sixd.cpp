#include "matching/zam_sixd.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_tm.h"
#include "harmonics/zam_wigner.h"
#include "harmonics/zam_zlm.h"
#include "matching/zam_distance_code.h"
#include "matching/zam_platonic.h"
#include "matching/zam_sixd_cpu.h"
#include "matching/zam_sixd_store.h"
#include "matching/zam_sixd_tables.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"

namespace {

constexpr int kConsumer = ZAM_HANDLE_COLLECTOR;
constexpr int kAbortThread = ZAM_HANDLE_SECOND;
constexpr int kCodesPerItem = 4;
// The 6-D layout scores a pose in about a microsecond: items of this many
// poses keep the hand-overs few and the last items short.
constexpr int kPosesPerItem = 256;

struct VmFree {
  void operator()(void* p) const { zam_vm_free(p); }
};
template <class T>
using vm_ptr = std::unique_ptr<T, VmFree>;

// Rotation samples of one side: the first n of the set (a first sample that
// turns about z alone taken as no turn: the transform's angles cover it),
// and the map from active samples (beta within range) to rows.
struct Side {
  vm_ptr<Euler> rot;
  int n = 0;
  std::vector<int> act2all;
};

int make_side(int samples, double range, bool zero_first, Side* side) {
  Euler* e = nullptr;
  const int made = platonic_samples(std::max(samples, 1), &e);
  side->rot.reset(e);
  if (!e) return 0;
  side->n = std::min(std::max(samples, 1), made);
  if (zero_first)
    for (int i = 0; i < side->n; i++)
      if (std::fabs(e[i].beta) < 1e-6) e[i] = e_make(0.0, 0.0, 0.0);
  for (int i = 0; i < side->n; i++)
    if (e[i].beta <= range + 1e-9) side->act2all.push_back(i);
  return 1;
}

// Box sampling: every translation t of the box grid becomes a receptor
// sample whose first rotation P^-1 and second rotation P (P taking +z to
// the direction of t) frame a shift by |t| along z: P T(-|t| z) P^-1 =
// T(-t). The grid's own split, t = F Z(-r) S, gives P = F Ry(pi). A point
// that codes to distance 0 needs no rotation.
int make_box(const _docking_spec* spec, Side* side, std::vector<Euler>* second, std::vector<int>* dids,
             int* centre) {
  Euler *first = nullptr, *split = nullptr;
  int* codes = nullptr;
  const double step = spec->r12_step > 0.0 ? spec->r12_step : 1.0;
  const int64_t wanted = box_sample_count(spec->box_size, step);
  if (wanted > ZAM_SIXD_MAX_RECEPTOR) {
    zam_err("Box sampling of a box of %.2f in steps of %.2f needs %lld translations; a search holds at most %d.\n",
            spec->box_size, step, (long long)wanted, ZAM_SIXD_MAX_RECEPTOR);
    return 0;
  }
  const int n = box_samples(spec->box_size, step, -spec->r12_offset, centre, &first, &codes, &split);
  vm_ptr<Euler> first_owner(first), split_owner(split);
  vm_ptr<int> codes_owner(codes);
  if (n < 1 || !first || !codes) return 0;
  auto* e1 = static_cast<Euler*>(zam_vm_get((int64_t)n * (int64_t)sizeof(Euler)));
  side->rot.reset(e1);
  if (!e1) return 0;
  side->n = n;
  side->act2all.resize(n);
  std::iota(side->act2all.begin(), side->act2all.end(), 0);
  second->assign(n, e_make(0.0, 0.0, 0.0));
  dids->assign(codes, codes + n);
  for (int i = 0; i < n; i++) {
    e1[i] = e_make(0.0, 0.0, 0.0);
    if (zam_r12_did(codes[i]) == 0.0) continue;
    const Matrix3D P = tf_tftf(tf_roty(M_PI), tf_euler(first[i]));
    (*second)[i] = euler_tf(P);
    e1[i] = euler_tf(tf_transpose(P));
  }
  return 1;
}

// Distinct distance codes of the range around the start, ascending.
std::vector<int> distance_codes(const _docking_spec* spec, double start) {
  double step = spec->r12_step > 0.0 ? spec->r12_step : 1.0;
  if (spec->r12_substeps > 0 && spec->scan_order == 0) step /= spec->r12_substeps;
  const int h = std::max(0, (int)(spec->r12_range / 2.0 / step));
  const double centre = start + spec->r12_offset;
  std::vector<int> dids;
  for (int i = -h; i <= h; i++) dids.push_back(zam_did_r12(centre + i * step));
  std::sort(dids.begin(), dids.end());
  dids.erase(std::unique(dids.begin(), dids.end()), dids.end());
  return dids;
}

// Runs one pass: the consumer, the workers and the progress loop. Returns 1,
// 0 when the pass was stopped, could not start its threads or could not
// translate a pose (reported).
int run_pass(zam_thread_fn body, const _sixd_worker& proto, int n_items, int progress_id) {
  _ZamProgress progress{progress_id, 0, n_items, 0};
  _sixd_consumer_arg consumer{n_items, 0.0, 0, 0};
  zam_thread_load_range(0, n_items - 1);
  static _sixd_worker workers[ZAM_TASK_STACK];
  std::atomic<int> failed{0};
  const int wanted = std::min(zam_thread_setup_task(zam_thread_cpus(), 0), n_items);
  auto fill = [&](_sixd_worker& w, const _zam_task& t) {
    w = proto;
    w.cpu = t.slot;
    w.progress = &progress;
    w.failed = &failed;
  };
  // A worker that cannot run leaves its items to the others.
  auto here = [](_sixd_worker&) {};
  auto meanwhile = [&](int started) {
    if (started == 0) {
      // Nobody to do the work: end every item at once so that the consumer stops.
      zam_err("The search could not start its worker threads.\n");
      progress.abort = 1;
      if (!zam_thread_start(kAbortThread, 1, zam_abort_sixd_thread, &progress))
        zam_oops("zam_sixd_search(): the search threads are stuck.\n");
    }
    show_sixd_progress(&progress);
    sixd_wait_workers(started);
  };
  const int started =
      zam_thread_fan_out(kConsumer, zam_sixd_consumer, &consumer, wanted, body, workers, fill, here, meanwhile);
  if (started < 0) {
    zam_thread_load_range(0, -1);
    return 0;
  }
  if (progress.abort == 1) zam_thread_join(kAbortThread);
  if (progress.abort) {
    if (started > 0) zam_msg("Search stopped on request after %d/%d work items.\n", progress.done, n_items);
    return 0;
  }
  if (failed.load()) {
    zam_err("The search could not score every pose: its translation matrices could not be made.\n");
    return 0;
  }
  return 1;
}


// The rank order of the poses: lowest score first; equal scores (bit for
// bit) by code, ascending for a score of sign + and descending for one of
// sign -, then by position the same way. This is the order of a stable
// radix sort by code followed by zam_sortf by score, which reverses runs of
// equal negative keys; it does not depend on which thread found a pose.
struct RankOrder {
  const int64_t* codes;
  const float* scores;
  // Ascending key of a score: the sign bit set for +, all bits flipped for -.
  uint32_t key(int i) const {
    uint32_t b;
    std::memcpy(&b, &scores[i], sizeof b);
    return (b & 0x80000000u) ? ~b : (b | 0x80000000u);
  }
  bool operator()(int i, int j) const {
    const uint32_t a = key(i), b = key(j);
    if (a != b) return a < b;
    const bool minus = a < 0x80000000u;
    if (codes[i] != codes[j]) return minus ? codes[i] > codes[j] : codes[i] < codes[j];
    return minus ? i > j : i < j;
  }
};

// The best `need` of n poses in rank order (all of them when need >= n),
// the position and rank of the start code (-1 when absent) and the
// positions of the first and the last.
// Only the best are sorted: a pass keeps hundreds of thousands of poses, of
// which the search returns a thousand and a refinement takes 40,000 at most.
struct Ranking {
  std::vector<int> order;
  int start = -1, start_rank = -1;
  int first = 0, last = 0;
};
Ranking rank_poses(int n, const int64_t* codes, const float* scores, int need) {
  const RankOrder before{codes, scores};
  Ranking r;
  r.order.resize(n);
  std::iota(r.order.begin(), r.order.end(), 0);
  need = std::clamp(need, 0, n);
  if (need < n) std::nth_element(r.order.begin(), r.order.begin() + need, r.order.end(), before);
  std::sort(r.order.begin(), r.order.begin() + need, before);
  for (int i = 0; i < n; i++) {
    if (codes[i] == zam_sixd_state.start_code && (r.start < 0 || before(i, r.start))) r.start = i;
    if (before(i, r.first)) r.first = i;
    if (before(r.last, i)) r.last = i;
  }
  if (r.start >= 0) {
    r.start_rank = 0;
    for (int i = 0; i < n; i++) r.start_rank += before(i, r.start);
  }
  r.order.resize(need);
  return r;
}

// The direction to which a sample's rotation Euler(a, theta, phi), turned
// by any twist about z, carries +z back: (theta, pi - phi).
Point3D sample_direction(double theta, double phi) {
  const double az = M_PI - phi;
  return v_make(std::sin(theta) * std::cos(az), std::sin(theta) * std::sin(az), std::cos(theta));
}

// For each direction, the sample of the side whose direction is nearest.
std::vector<int> nearest_samples(const std::vector<Point3D>& want, const Side& side) {
  std::vector<Point3D> dirs(side.n);
  for (int l = 0; l < side.n; l++) dirs[l] = sample_direction(side.rot.get()[l].beta, side.rot.get()[l].gamma);
  std::vector<int> map(want.size(), 0);
  for (size_t i = 0; i < want.size(); i++) {
    const Point3D d = want[i];
    double best = -2.0;
    for (int l = 0; l < side.n; l++) {
      const double c = d.x * dirs[l].x + d.y * dirs[l].y + d.z * dirs[l].z;
      if (c > best) {
        best = c;
        map[i] = l;
      }
    }
  }
  return map;
}

// For every (beta, alpha) position of the 3-D grid, the ligand sample whose
// direction is nearest: a pose's ligand rotation Q^-1 = Euler(-gamma, -beta,
// -alpha) carries +z back to the direction (beta, alpha).
std::vector<int> nearest_ligand_samples(const _sixd_worker& w, const Side& lig) {
  const int M2 = w.dims[1], M3 = w.dims[2];
  std::vector<Point3D> want((size_t)M2 * M3);
  for (int a = 0; a < M2; a++)
    for (int b = 0; b < M3; b++) {
      const double beta = w.beta_range * a / M2, alpha = 2.0 * M_PI * b / M3;
      want[(size_t)a * M3 + b] =
          v_make(std::sin(beta) * std::cos(alpha), std::sin(beta) * std::sin(alpha), std::cos(beta));
    }
  return nearest_samples(want, lig);
}

// For every position of the 5-D layout's receptor axes, the receptor sample
// whose direction is nearest: Euler(0, beta, gamma) is a sample's form.
std::vector<int> nearest_receptor_samples(const _sixd_worker& w, const Side& rec) {
  const int Mr = w.rdims[0], Mg = w.rdims[1];
  std::vector<Point3D> want((size_t)Mr * Mg);
  for (int a = 0; a < Mr; a++)
    for (int b = 0; b < Mg; b++)
      want[(size_t)a * Mg + b] = sample_direction(w.receptor_range * a / Mr, 2.0 * M_PI * b / Mg);
  return nearest_samples(want, rec);
}

// The twist steps of the refinement: the power of two at or above the asked count.
int twist_turn(int samples) {
  int n = 1;
  while (n < samples && n < 4096) n *= 2;
  return n;
}

// Forgets the arrays of the search record (their owners free them).
void clear_state() {
  free_rot_buffers();
  zam_sixd_state = _sixd_search_state{};
}

// The layouts of the search (zam_sixd_cpu.h): the body of a pass and of the
// refinement of a coarse pass's re-sampled best poses, with what the master
// must lay out for them.
struct Layout {
  int fft_mode;
  const char* name;
  zam_thread_fn body;
  zam_thread_fn refine;
  // Codes per work item: one where a code is a whole 3-D transform, so
  // that the last items leave the workers evenly busy; the consumer stores
  // the items in order, so the size of an item changes no result.
  int per_item;
  bool ligand_samples;  // the pass turns the ligand through its rotation samples
  bool same_samples;    // both sides take the receptor's rotation samples
  bool receptor_axes;   // the receptor's rotations lie on transform axes: one code per distance
  bool every_at_zero;   // distance 0 needs every receptor sample (else one does)
  bool box;             // serves box sampling
  bool every_pose = false;  // a code per pose: each ligand sample at each twist step
};

const Layout kLayouts[] = {
    {1, "1-D", zam_run_1d_cpu_thread, zam_run_1r_cpu_thread, kCodesPerItem, true, false, false, false, true},
    {3, "3-D", zam_run_3d_cpu_thread, zam_run_1r_cpu_thread, 1, false, false, false, false, true},
    {4, "4-D", zam_run_4d_cpu_thread, zam_run_4r_cpu_thread, kCodesPerItem, false, true, false, true, false},
    {5, "5-D", zam_run_5d_cpu_thread, zam_run_1r_cpu_thread, 1, false, false, true, false, false},
    {6, "6-D", zam_run_6d_cpu_thread, zam_run_1r_cpu_thread, kPosesPerItem, true, false, false, false, false, true},
    {7, "3X", zam_run_3x_cpu_thread, zam_run_1r_cpu_thread, 1, false, false, false, false, false},
};

const Layout* layout_of(int mode) {
  for (const Layout& l : kLayouts)
    if (l.fft_mode == mode) return &l;
  return nullptr;
}

// The layout that runs for the specification. No GPU exists: a GPU asked
// for is reported and the CPU bodies run; the 2-D layout, which has no CPU
// body, gives way to the 1-D one; box sampling runs with the layouts that
// take a receptor sample's second rotation.
const Layout& pick_layout(const _docking_spec* spec) {
  int mode = spec->fft_mode;
  if (spec->gpu_devices > 0) zam_msg("GPU support is not available: the search runs on the CPU.\n");
  if (mode == 2) {
    zam_wrn("The 2-D layout runs only on a GPU; searching with the 1-D layout.\n");
    mode = 1;
  }
  const Layout* l = layout_of(mode);
  if (!l) {
    zam_wrn("FFT mode %d has no layout here; searching with the 3-D layout.\n", mode);
    l = layout_of(3);
  }
  if (spec->box_mode != 0 && !l->box) {
    zam_wrn("Box sampling runs with the 1-D and 3-D layouts; searching with the 3-D layout.\n");
    l = layout_of(3);
  }
  return *l;
}

// Tables a pass reads besides the search record, owned by the master.
struct PassTables {
  vm_ptr<float> L, L0, L0r;
  std::vector<double> omega, omega_d, phase_a, phase_b;
};

// The L table of a beta axis of M samples over range A for degrees 0..K-1
// (method 1, or method 0 with runs of K values).
vm_ptr<float> beta_table(int method, int K, int M, double A) {
  int* lumv = nullptr;
  double* g = nullptr;
  float* L = nullptr;
  const int n_g = lumv_make(K - 1, &lumv);
  gm_make(K - 1, n_g, lumv, &g);
  if (lumv && g) lm_make(method, K - 1, K, 0, M - 1, M, A, lumv, g, &L);
  zam_vm_free(lumv);
  zam_vm_free(g);
  return vm_ptr<float>(L);
}

// Fills the layout's part of the worker record for a pass at order K and
// makes its tables. Returns 0 when memory fails.
int pass_tables(const Layout& lay, bool refine, const _docking_spec* spec, int K, _sixd_worker* w, PassTables* t) {
  const _sixd_search_state& st = zam_sixd_state;
  *t = PassTables{};
  if (refine && lay.refine == zam_run_1r_cpu_thread) {
    w->dims[0] = twist_turn(spec->twist_samples);
    return 1;
  }
  switch (lay.fft_mode) {
    case 1:
      w->dims[0] = twist_turn(spec->twist_samples);
      return 1;
    case 3:
    case 7:
      t->L = beta_table(1, K, w->dims[1], w->beta_range);
      w->L = t->L.get();
      return w->L != nullptr;
    case 5:
      w->rdims[0] = w->rdims[1] = std::max(2 * spec->receptor_bandlimit, 1);
      w->rband = spec->receptor_bandlimit;
      w->receptor_range = std::clamp(spec->receptor_range, 0.0, M_PI);
      t->L0 = beta_table(0, K, w->dims[1], w->beta_range);
      t->L0r = beta_table(0, K, w->rdims[0], w->receptor_range);
      w->L0 = t->L0.get();
      w->L0r = t->L0r.get();
      return w->L0 && w->L0r;
    case 4: {
      // The fourth angles: the cyclic orders' 2 pi / k, or steps of the
      // twist's over omega_range, 0 included.
      const int T = w->dims[0];
      w->symmetry = spec->symmetry ? std::max(spec->symmetry_min, 1) : 0;
      if (w->symmetry)
        for (int k = w->symmetry; k <= std::max(spec->symmetry_max, w->symmetry); k++) t->omega.push_back(2.0 * M_PI / k);
      else
        for (int k = 0; k <= (int)(std::max(spec->omega_range, 0.0) * T / (2.0 * M_PI) + 1e-9); k++)
          t->omega.push_back(2.0 * M_PI * k / T);
      w->n_omega = (int)t->omega.size();
      const int R = lm_row(K - 1);
      t->omega_d.assign((size_t)w->n_omega * R, 0.0);
      for (int k = 0; k < w->n_omega; k++) dljm_all(K - 1, &t->omega_d[(size_t)k * R], t->omega[k]);
      w->omega = t->omega.data();
      w->omega_d = t->omega_d.data();
      // The turns about z of the pose-list searches.
      const bool pose_list = st.problem_type == 4 || st.problem_type == 5;
      w->phi_a = pose_list ? spec->sym_phiA : 0.0;
      w->phi_b = pose_list ? spec->sym_phiB : 0.0;
      w->phase_a = w->phase_b = nullptr;
      if (w->phi_a != 0.0) {
        t->phase_a.resize(2 * (size_t)anlm_size(K));
        znlm_phi(K, w->phi_a, t->phase_a.data());
        w->phase_a = t->phase_a.data();
      }
      if (w->phi_b != 0.0) {
        t->phase_b.resize(2 * (size_t)anlm_size(K));
        znlm_phi(K, w->phi_b, t->phase_b.data());
        w->phase_b = t->phase_b.data();
      }
      return 1;
    }
  }
  return 1;
}

// Megabytes a pass of the S and Y layouts takes: per worker the transform
// (complex input and real output) and the tables, with the L tables once.
int mb_sy_pass(const _sixd_worker& w, int workers) {
  const int N = w.N, L = N - 1;
  int64_t points = (int64_t)w.dims[0] * w.dims[1] * w.dims[2];
  if (w.rdims[0] > 0) points *= (int64_t)w.rdims[0] * w.rdims[1];
  const int64_t per = points * 12 + (int64_t)N * N * (2 * L + 1) * (2 * L + 1) * 16 +
                      (int64_t)N * N * N * N * N * 16 + (int64_t)w.n_vec * tm3_dim(N - 1) * 8;
  const int64_t tables = ((int64_t)w.dims[1] + w.rdims[0]) * lm_row0(L, N) * 8;
  return (int)((per * workers + tables + (1 << 20) - 1) >> 20);
}

// The pose of a code of a pass of the layout (or of its refinement).
void pose_of(const Layout& lay, bool refined, int64_t code, const _sixd_worker& w, _solution* s) {
  const _sixd_search_state& st = zam_sixd_state;
  Euler er, el;
  double R;
  int sym = 0, orientation = -1;
  if (refined ? lay.refine == zam_run_4r_cpu_thread : lay.fft_mode == 4) {
    sixd_pose_4d(code, &w, &er, &R, &el, &sym);
  } else if (refined) {
    sixd_pose_6d(code, &w, &er, &R, &el);
  } else if (lay.fft_mode == 5) {
    sixd_pose_5d(code, &w, &er, &R, &el);
    orientation = sixd_code_rec(code);
  } else if (lay.fft_mode == 1 || lay.every_pose) {
    sixd_pose_6d(code, &w, &er, &R, &el);
  } else {
    sixd_pose_3d(code, &w, &er, &R, &el);
  }
  if (orientation < 0) orientation = st.ract2all[sixd_code_rec(code)];
  s->pose_code = code;
  s->r12 = (float)R;
  s->receptor_rotation = er;
  s->ligand_rotation = el;
  s->symmetry = (int16_t)sym;
  s->receptor_orientation = (int16_t)orientation;
}

// One search: its layout and orders, both sides' rotation samples, the
// codes of its passes, the worker record and tables of the pass that runs,
// and the poses the last pass kept, ranked. The search record
// (zam_sixd_state) points into it while the passes run.
struct Search {
  _docking_spec* spec;
  _docking_data* data;
  const Layout& lay;
  bool box;
  // A coarse pass at scan_order on the first term, then the refinement of
  // its best poses at the full order N; else one pass at the full order.
  bool coarse;
  int N, K;  // the full order and that of the first pass
  Side rec, lig;
  std::vector<Euler> second;  // box sampling: each sample's rotation after its shift
  std::vector<int> box_dids;
  int centre = 0;
  std::vector<int> types;
  std::vector<int> dids;
  std::vector<int64_t> codes;
  int n_items = 0;
  _sixd_worker proto{};
  PassTables tables;
  double t_tables = 0.0;
  vm_ptr<int64_t> got_codes;
  vm_ptr<float> got_scores;
  int n_got = 0;
  bool kept_any = false;
  Ranking rank;
  bool refined = false;
  std::vector<int64_t> fine;
  std::vector<int> all_rec, all_lig;  // the fine pass's samples: every row of the tables

  Search(_docking_spec* sp, _docking_data* d, const Layout& l)
      : spec(sp), data(d), lay(l), box(sp->box_mode != 0), coarse(sp->scan_order > 0 && sp->scan_order < sp->order),
        N(sp->order), K(coarse ? sp->scan_order : sp->order) {}
};

// The rotation samples of both sides: the box translations or the
// receptor's sphere samples, and the ligand's (the receptor's where both
// sides take them). Returns 0 when they cannot be made.
bool make_samples(Search& s) {
  const _docking_spec* spec = s.spec;
  return (s.box ? make_box(spec, &s.rec, &s.second, &s.box_dids, &s.centre)
                : make_side(spec->receptor_samples, spec->receptor_range, true, &s.rec)) &&
         (s.lay.same_samples ? make_side(spec->receptor_samples, spec->receptor_range, true, &s.lig)
                             : make_side(spec->ligand_samples, spec->ligand_range, true, &s.lig));
}

// The search record the workers read (zam_sixd_state.h), for the first pass.
void fill_state(Search& s) {
  const _docking_spec* spec = s.spec;
  const _docking_data* data = s.data;
  s.types.resize(data->n_terms);
  for (int c = 0; c < data->n_terms; c++) s.types[c] = data->term_flags && data->term_flags[c] == 0 ? 0 : 1;
  _sixd_search_state& st = zam_sixd_state;
  st = _sixd_search_state{};
  st.problem_type = spec->problem_type;
  st.r12_start = data->r12_start;
  st.start_code =
      s.box ? sixd_code(s.box_dids[s.centre], s.centre, 0, 0) : sixd_code(zam_did_r12(data->r12_start), 0, 0, 0);
  if (s.box) st.r12_start = -spec->r12_offset;
  st.score_threshold = (float)spec->score_threshold;
  if (s.coarse && spec->r12_substeps > 0) {
    st.r12_substeps = spec->r12_substeps;
    st.r12_substep = spec->r12_step / spec->r12_substeps;
  }
  // The pose-list parameters move the receptor of the 4-D layouts only in
  // the pose-list searches; any other search moves it by -R.
  const bool pose_list = spec->problem_type == 4 || spec->problem_type == 5;
  st.sym_local = pose_list ? spec->sym_local : 1;
  st.sym_LtoW = pose_list ? spec->sym_LtoW : 1.0;
  st.N = s.K;
  st.n_vec = s.coarse ? 1 : data->n_terms;
  st.vec_types = s.types.data();
  st.anlm_phi_base = data->receptor_first;
  st.anlm_rho_base = data->receptor_second;
  st.bnlm_phi_base = data->ligand_first;
  st.bnlm_rho_base = data->ligand_second;
  st.rrot1 = s.rec.rot.get();
  st.rrot2 = s.box ? s.second.data() : nullptr;
  st.lrot1 = s.lig.rot.get();
  st.n_rrot = s.rec.n;
  st.n_lrot = s.lig.n;
  st.ract2all = s.rec.act2all.data();
  st.lact2all = s.lig.act2all.data();
  // The receptor's rotated arrays serve the layouts that take receptor
  // samples; the ligand's those that turn it through its samples (the 3-D
  // grids turn it through their transform).
  st.n_ract = s.lay.receptor_axes ? 0 : (int)s.rec.act2all.size();
  st.n_lact = s.lay.ligand_samples || s.lay.same_samples ? (int)s.lig.act2all.size() : 0;
  st.receptor_range = spec->receptor_range;
  st.ligand_range = spec->ligand_range;
}

// The work of the first pass: one code per active receptor sample and
// distance (one per distance when the receptor lies on transform axes); at
// distance 0 one sample does where the ligand's turns cover every relative
// rotation. The 6-D layout has a code per pose: each of those against each
// active ligand sample at each twist step of the grid. Returns 0 (reported)
// when there are too many poses to lay out, or twist steps for the codes.
bool lay_out_work(Search& s) {
  const Layout& lay = s.lay;
  s.dids = s.box ? std::vector<int>{} : distance_codes(s.spec, s.data->r12_start);
  auto receptors_at = [&](int did) {
    return lay.receptor_axes || (zam_r12_did(did) == 0.0 && !lay.every_at_zero) ? 1 : (int)s.rec.act2all.size();
  };
  int grid[3], grid_band[2];
  zam_sixd_grid(s.spec, grid, grid_band);
  // Counted in 64 bits: ligand samples times twist steps passes an int long
  // before the count passes what can be laid out.
  const int64_t per_code = lay.every_pose ? (int64_t)s.lig.act2all.size() * grid[0] : 1;
  int64_t n_poses = 0;
  for (int did : s.dids) n_poses += (int64_t)receptors_at(did) * per_code;
  if (!sixd_poses_fit(lay.name, n_poses, zam_mb_memory())) return false;
  // A pose code holds the twist step in 16 bits: more steps would name
  // other poses.
  if (lay.every_pose && grid[0] > 65536) {
    zam_err("The %s layout's %d twist steps are too many for its pose codes (at most 65536).\n", lay.name, grid[0]);
    return false;
  }
  s.codes.reserve((size_t)n_poses);
  for (int did : s.dids)
    for (int r = 0; r < receptors_at(did); r++)
      for (int64_t k = 0; k < per_code; k++)
        s.codes.push_back(sixd_code(did, r, (int)(k / grid[0]), (int)(k % grid[0])));
  for (int i = 0; i < (int)s.box_dids.size(); i++) s.codes.push_back(sixd_code(s.box_dids[i], i, 0, 0));
  s.n_items = (int)(((int64_t)s.codes.size() + lay.per_item - 1) / lay.per_item);
  s.codes.resize((size_t)s.n_items * lay.per_item, ZAM_SIXD_HOLE);
  return true;
}

// The worker record of the first pass. Returns 0 (reported) when its
// angular grid is too fine for the pose codes; warns once when the band
// limits cut the 5-D layout's expansion.
bool set_up_worker(Search& s) {
  const _docking_spec* spec = s.spec;
  const Layout& lay = s.lay;
  _sixd_worker& proto = s.proto;
  proto.N = s.K;
  proto.n_vec = zam_sixd_state.n_vec;
  zam_sixd_grid(spec, proto.dims, proto.band);
  proto.beta_range = std::clamp(spec->ligand_range, 0.0, M_PI);
  proto.codes = s.codes.data();
  proto.per_item = lay.per_item;

  // A pose code holds a grid position in 16 bits (the receptor's signed).
  if ((int64_t)proto.dims[1] * proto.dims[2] > 65536 ||
      (lay.receptor_axes && 4 * (int64_t)spec->receptor_bandlimit * spec->receptor_bandlimit > ZAM_SIXD_MAX_RECEPTOR)) {
    zam_err("The %s layout's angular grid is too fine for its pose codes (band limits %d and %d).\n", lay.name,
            spec->ligand_bandlimit, spec->receptor_bandlimit);
    return false;
  }
  // The 5-D layout's sums stop at the band limits: below the highest
  // degree they cut the expansion, and the scores are no longer exact.
  const int K = s.K;
  const int band = std::min({spec->receptor_bandlimit, spec->ligand_bandlimit, spec->twist_bandlimit});
  if (lay.fft_mode == 5 && band < K - 1)
    zam_wrn_once("zam_sixd_search/5-D", "zam_sixd_search: band limit %d cuts the 5-D layout's expansion of order %d; "
                 "its scores are exact only with every band limit at least %d.\n", band, K, K - 1);
  return true;
}

// The first pass's tables, rotation buffers and solution store. Returns 0
// (reported) when memory fails.
bool make_tables(Search& s) {
  s.t_tables = zam_get_time();
  if (!pass_tables(s.lay, false, s.spec, s.K, &s.proto, &s.tables) || !zam_fill_rot_buffers(zam_thread_cpus()) ||
      !alloc_soln(400000)) {
    zam_err("Not enough memory for the search tables.\n");
    return false;
  }
  return true;
}

// The lines that say what the first pass searches (and, for the layouts of
// S and Y tables, their set-up time and memory).
void announce_pass(const Search& s) {
  const _docking_spec* spec = s.spec;
  const Layout& lay = s.lay;
  const _sixd_worker& proto = s.proto;
  const _sixd_search_state& st = zam_sixd_state;
  const int K = s.K, n_dids = (int)s.dids.size();
  if (spec->gpu_devices > 0 && (lay.fft_mode == 1 || lay.fft_mode == 3))
    zam_msg("On a GPU the %s layout would need about %d Mb.\n", lay.name,
            lay.fft_mode == 1 ? mb_1d_gpu(1, &proto) : mb_3d_gpu(1, &proto));
  if (s.box) {
    zam_msg("Searching %d box translations x %d x %d x %d angles (order %d).\n", st.n_ract, proto.dims[0],
            proto.dims[1], proto.dims[2], K);
  } else if (lay.fft_mode == 3) {
    zam_msg("Searching %d distances x %d receptor rotations x %d x %d x %d angles (order %d).\n", n_dids, st.n_ract,
            proto.dims[0], proto.dims[1], proto.dims[2], K);
  } else if (lay.fft_mode == 1 || lay.every_pose) {
    zam_msg("Searching %d distances x %d receptor rotations x %d ligand rotations x %d twists (order %d, %s layout).\n",
            n_dids, st.n_ract, st.n_lact, proto.dims[0], K, lay.name);
  } else if (lay.fft_mode == 4) {
    zam_msg("Searching %d distances x %d rotations x %d %s x %d twists (order %d, %s layout).\n", n_dids, st.n_ract,
            proto.n_omega, proto.symmetry ? "cyclic orders" : "turns about y", proto.dims[0], K, lay.name);
  } else {
    const int workers = std::min(zam_thread_cpus(), s.n_items);
    const int mb = mb_sy_pass(proto, std::max(workers, 1));
    if (mb > zam_mb_memory() / 2) warn_rot_buffers(mb);
    if (lay.fft_mode == 5)
      zam_msg("Searching %d distances x %d x %d receptor angles x %d x %d x %d angles (order %d, %s layout).\n", n_dids,
              proto.rdims[0], proto.rdims[1], proto.dims[0], proto.dims[1], proto.dims[2], K, lay.name);
    else
      zam_msg("Searching %d distances x %d receptor rotations x %d x %d x %d angles (order %d, %s layout).\n", n_dids,
              st.n_ract, proto.dims[0], proto.dims[1], proto.dims[2], K, lay.name);
    zam_msg(lay.fft_mode == 5 ? "5D FFT setup: %.2fs. %d Mb memory.\n" : "3D FFT setup: %.2fs. %d Mb memory.\n\n",
            zam_get_time() - s.t_tables, mb);
  }
}

// Takes the poses the pass kept from the solution store (whether it kept
// any, their codes and scores). Returns 0 (reported) when memory fails.
bool collect(Search& s) {
  s.kept_any = soln_count() > 0;
  s.got_codes.reset();
  s.got_scores.reset();
  int64_t* codes = nullptr;
  float* scores = nullptr;
  s.n_got = fetch_soln(&codes, &scores);
  s.got_codes.reset(codes);
  s.got_scores.reset(scores);
  if (s.n_got < 1) {
    zam_err("Not enough memory for the search results.\n");
    return false;
  }
  return true;
}

// The refinement of the coarse pass's n_carried best poses at the full
// order: each one's receptor sample (or the one nearest its receptor
// angles), distance and the ligand sample nearest its transform's direction
// (or, in the 4-D layout, its fourth angle), over a whole turn; its kept
// poses replace the coarse pass's. Returns 0 (reported) when memory fails
// or the pass stops.
bool refine_best(Search& s, int n_carried) {
  const Layout& lay = s.lay;
  _sixd_worker& proto = s.proto;
  const int N = s.N;
  const int n_best = std::min(s.n_got, n_carried);
  std::vector<int> rec_map, lig_map;
  if (lay.receptor_axes) rec_map = nearest_receptor_samples(proto, s.rec);
  if (lay.same_samples) {
    lig_map.resize(proto.n_omega);
    std::iota(lig_map.begin(), lig_map.end(), 0);
  } else if (!lay.ligand_samples) {
    lig_map = nearest_ligand_samples(proto, s.lig);
  }
  int64_t* relabelled = nullptr;
  const int n_fine = relabel_samples(n_best, s.got_codes.get(), s.rank.order.data(),
                                     rec_map.empty() ? nullptr : rec_map.data(),
                                     lig_map.empty() ? nullptr : lig_map.data(), &relabelled);
  vm_ptr<int64_t> relabelled_owner(relabelled);
  s.all_rec.resize(s.rec.n);
  s.all_lig.resize(s.lig.n);
  std::iota(s.all_rec.begin(), s.all_rec.end(), 0);
  std::iota(s.all_lig.begin(), s.all_lig.end(), 0);
  _sixd_search_state& st = zam_sixd_state;
  st.N = N;
  st.n_vec = s.data->n_terms;
  st.ract2all = s.all_rec.data();
  st.lact2all = s.all_lig.data();
  st.n_ract = s.rec.n;
  st.n_lact = s.lig.n;
  s.fine.assign(relabelled, relabelled + n_fine);
  s.n_items = (n_fine + kCodesPerItem - 1) / kCodesPerItem;
  s.fine.resize((size_t)s.n_items * kCodesPerItem, ZAM_SIXD_HOLE);
  proto.N = N;
  proto.n_vec = st.n_vec;
  proto.codes = s.fine.data();
  proto.per_item = kCodesPerItem;
  if (n_fine < 1 || !pass_tables(lay, true, s.spec, N, &proto, &s.tables) ||
      !zam_fill_rot_buffers(zam_thread_cpus()) || !alloc_soln(n_fine)) {
    zam_err("Not enough memory for the refinement of the search.\n");
    return false;
  }
  zam_msg("Refining %d poses over %d twist steps (order %d).\n", n_fine, proto.dims[0], N);
  if (!run_pass(lay.refine, proto, s.n_items, 3)) {
    free_soln();
    return false;
  }
  if (!collect(s)) return false;
  s.rank = rank_poses(s.n_got, s.got_codes.get(), s.got_scores.get(), s.spec->max_solutions);
  s.refined = true;
  return true;
}

// Writes the best kept poses, at most max_solutions, into sols with their
// scaled scores; returns their number.
int store_solutions(const Search& s, _solution* sols) {
  const int n_out = s.kept_any ? std::min(s.n_got, s.spec->max_solutions) : 0;
  const double scale = zam_dock_score_scale(s.spec);
  for (int i = 0; i < n_out; i++) {
    _solution& sol = sols[i];
    const int k = s.rank.order[i];
    pose_of(s.lay, s.refined, s.got_codes.get()[k], s.proto, &sol);
    sol.Etotal = sol.Eshape = (float)(s.got_scores.get()[k] * scale);
    sol.Eforce = 0.0f;
  }
  return n_out;
}

}  // namespace

void zam_sixd_grid(const _docking_spec* spec, int dims[3], int band[2]) {
  dims[0] = std::max(spec->twist_samples, 1);
  dims[1] = std::max(2 * spec->ligand_bandlimit, 1);
  dims[2] = std::max(2 * spec->ligand_bandlimit, 1);
  band[0] = spec->twist_bandlimit;
  band[1] = spec->ligand_bandlimit;
}

int zam_sixd_search(_docking_spec* spec, _docking_data* data, _solution* sols) {
  const double t_start = zam_get_time();
  const int N = spec->order;
  if (N < 1 || N > 36 || !data || data->n_terms < 1 || !data->receptor_first || !data->receptor_second ||
      !data->ligand_first || !data->ligand_second) {
    zam_err("The search needs an order of 1 to 36 and correlation arrays (order %d).\n", N);
    return -1;
  }
  Search s(spec, data, pick_layout(spec));
  setup_platonic();
  if (!make_samples(s)) return -1;
  fill_state(s);
  if (!lay_out_work(s) || !set_up_worker(s) || !make_tables(s)) {
    clear_state();
    return -1;
  }
  announce_pass(s);
  if (!run_pass(s.lay.body, s.proto, s.n_items, s.coarse ? 4 : 3)) {
    free_soln();
    clear_state();
    return -1;
  }
  if (!collect(s)) {
    clear_state();
    return -1;
  }
  const int n_carried =
      s.coarse && s.kept_any ? get_max_samples(s.rec.n, s.lig.n, spec->receptor_range, spec->ligand_range) : 0;
  s.rank = rank_poses(s.n_got, s.got_codes.get(), s.got_scores.get(), std::max(spec->max_solutions, n_carried));
  if (s.coarse && s.kept_any && !refine_best(s, n_carried)) {
    clear_state();
    return -1;
  }
  const float* scores = s.got_scores.get();
  print_zeroth_score(s.n_got, s.rank.start_rank, s.rank.start >= 0 ? scores[s.rank.start] : 0.0f,
                     scores[s.rank.first], scores[s.rank.last]);
  get_start_energy(zam_sixd_state.n_vec, zam_sixd_state.N);

  const int n_out = store_solutions(s, sols);
  clear_state();
  zam_msg("Search done in %.2fs: %d solutions.\n", zam_get_time() - t_start, n_out);
  return n_out;
}
