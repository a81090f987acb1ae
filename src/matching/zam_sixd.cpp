#include "matching/zam_sixd.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "matching/zam_distance_code.h"
#include "matching/zam_platonic.h"
#include "matching/zam_sixd_cpu.h"
#include "matching/zam_sixd_store.h"
#include "matching/zam_sixd_tables.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"

namespace {

constexpr int kConsumer = ZAM_HANDLE_COLLECTOR;
constexpr int kAbortThread = ZAM_HANDLE_SECOND;
constexpr int kCodesPerItem = 4;

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
  if (!sixd_open_blocks()) return 0;
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
    sixd_close_blocks();
    return 0;
  }
  if (progress.abort == 1) zam_thread_join(kAbortThread);
  sixd_close_blocks();
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


// Positions of the poses, lowest score first; equal scores by code, so the
// order does not depend on which thread found a pose first.
std::vector<int> ranked(int n, const int64_t* codes, const float* scores) {
  std::vector<int> by_code(n), order(n);
  zam_sorto(codes, n, by_code.data());
  std::vector<float> sorted(n);
  for (int i = 0; i < n; i++) sorted[i] = scores[by_code[i]];
  zam_sortf(sorted.data(), n, order.data());
  for (int& o : order) o = by_code[o];
  return order;
}

// For every (beta, alpha) position of the 3-D grid, the ligand sample whose
// direction is nearest: a pose's ligand rotation Q^-1 = Euler(-gamma, -beta,
// -alpha) and a sample's (0, theta, phi) turned by a twist about z carry +z
// back to the directions (beta, alpha) and (theta, pi - phi).
std::vector<int> nearest_ligand_samples(const _sixd_worker& w, const Side& lig) {
  const int M2 = w.dims[1], M3 = w.dims[2];
  std::vector<Point3D> dirs(lig.n);
  for (int l = 0; l < lig.n; l++) {
    const Euler e = lig.rot.get()[l];
    const double az = M_PI - e.gamma;
    dirs[l] = v_make(std::sin(e.beta) * std::cos(az), std::sin(e.beta) * std::sin(az), std::cos(e.beta));
  }
  std::vector<int> map((size_t)M2 * M3, 0);
  for (int a = 0; a < M2; a++)
    for (int b = 0; b < M3; b++) {
      const double beta = w.beta_range * a / M2, alpha = 2.0 * M_PI * b / M3;
      const Point3D d = v_make(std::sin(beta) * std::cos(alpha), std::sin(beta) * std::sin(alpha), std::cos(beta));
      double best = -2.0;
      for (int l = 0; l < lig.n; l++) {
        const double c = d.x * dirs[l].x + d.y * dirs[l].y + d.z * dirs[l].z;
        if (c > best) {
          best = c;
          map[(size_t)a * M3 + b] = l;
        }
      }
    }
  return map;
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
  if (spec->fft_mode != 3) zam_wrn("Only the 3-D layout is available; searching with it.\n");
  const bool box = spec->box_mode != 0;
  // A coarse pass at scan_order on the first term, then the 1-D refinement
  // of its best poses at the full order; else one pass at the full order.
  const bool coarse = spec->scan_order > 0 && spec->scan_order < N;
  const int K = coarse ? spec->scan_order : N;
  setup_platonic();

  Side rec, lig;
  std::vector<Euler> second;  // box sampling: each sample's rotation after its shift
  std::vector<int> box_dids;
  int centre = 0;
  if (!(box ? make_box(spec, &rec, &second, &box_dids, &centre)
            : make_side(spec->receptor_samples, spec->receptor_range, true, &rec)) ||
      !make_side(spec->ligand_samples, spec->ligand_range, true, &lig))
    return -1;
  std::vector<int> types(data->n_terms);
  for (int c = 0; c < data->n_terms; c++) types[c] = data->term_flags && data->term_flags[c] == 0 ? 0 : 1;

  _sixd_search_state& st = zam_sixd_state;
  st = _sixd_search_state{};
  st.problem_type = spec->problem_type;
  st.r12_start = data->r12_start;
  st.start_code = box ? sixd_code(box_dids[centre], centre, 0, 0) : sixd_code(zam_did_r12(data->r12_start), 0, 0, 0);
  if (box) st.r12_start = -spec->r12_offset;
  st.score_threshold = (float)spec->score_threshold;
  if (coarse && spec->r12_substeps > 0) {
    st.r12_substeps = spec->r12_substeps;
    st.r12_substep = spec->r12_step / spec->r12_substeps;
  }
  st.N = K;
  st.n_vec = coarse ? 1 : data->n_terms;
  st.vec_types = types.data();
  st.anlm_phi_base = data->receptor_first;
  st.anlm_rho_base = data->receptor_second;
  st.bnlm_phi_base = data->ligand_first;
  st.bnlm_rho_base = data->ligand_second;
  st.rrot1 = rec.rot.get();
  st.rrot2 = box ? second.data() : nullptr;
  st.lrot1 = lig.rot.get();
  st.n_rrot = rec.n;
  st.n_lrot = lig.n;
  st.ract2all = rec.act2all.data();
  st.lact2all = lig.act2all.data();
  st.n_ract = (int)rec.act2all.size();
  st.n_lact = 0;  // the 3-D layout turns the ligand through the transform
  st.receptor_range = spec->receptor_range;
  st.ligand_range = spec->ligand_range;

  // Work: one code per active receptor sample and distance; at distance 0 the
  // transform's angles cover every turn, so one sample does.
  const std::vector<int> dids = box ? std::vector<int>{} : distance_codes(spec, data->r12_start);
  std::vector<int64_t> codes;
  for (int did : dids) {
    const int n_r = zam_r12_did(did) == 0.0 ? 1 : st.n_ract;
    for (int r = 0; r < n_r; r++) codes.push_back(sixd_code(did, r, 0, 0));
  }
  for (int i = 0; i < (int)box_dids.size(); i++) codes.push_back(sixd_code(box_dids[i], i, 0, 0));
  int n_items = ((int)codes.size() + kCodesPerItem - 1) / kCodesPerItem;
  codes.resize((size_t)n_items * kCodesPerItem, ZAM_SIXD_HOLE);

  _sixd_worker proto{};
  proto.N = K;
  proto.n_vec = st.n_vec;
  zam_sixd_grid(spec, proto.dims, proto.band);
  proto.beta_range = std::clamp(spec->ligand_range, 0.0, M_PI);
  proto.codes = codes.data();
  proto.per_item = kCodesPerItem;

  // The L table over the beta axis, every row kept.
  int* lumv = nullptr;
  double* g = nullptr;
  float* L = nullptr;
  const int n_g = lumv_make(K - 1, &lumv);
  gm_make(K - 1, n_g, lumv, &g);
  const int tables = lumv && g && lm_make(1, K - 1, K, 0, proto.dims[1] - 1, proto.dims[1], proto.beta_range, lumv, g, &L);
  zam_vm_free(lumv);
  zam_vm_free(g);
  vm_ptr<float> L_owner(L);
  proto.L = L;
  if (!tables || !zam_fill_rot_buffers(zam_thread_cpus()) || !alloc_soln(400000)) {
    zam_err("Not enough memory for the search tables.\n");
    clear_state();
    return -1;
  }
  if (box)
    zam_msg("Searching %d box translations x %d x %d x %d angles (order %d).\n", st.n_ract, proto.dims[0],
            proto.dims[1], proto.dims[2], K);
  else
    zam_msg("Searching %d distances x %d receptor rotations x %d x %d x %d angles (order %d).\n",
            (int)dids.size(), st.n_ract, proto.dims[0], proto.dims[1], proto.dims[2], K);

  if (!run_pass(zam_run_3d_cpu_thread, proto, n_items, coarse ? 4 : 3)) {
    free_soln();
    clear_state();
    return -1;
  }
  int kept_any = soln_count() > 0;
  int64_t* got_codes = nullptr;
  float* got_scores = nullptr;
  int n_got = fetch_soln(&got_codes, &got_scores);
  vm_ptr<int64_t> codes_owner(got_codes);
  vm_ptr<float> scores_owner(got_scores);
  if (n_got < 1) {
    zam_err("Not enough memory for the search results.\n");
    clear_state();
    return -1;
  }
  std::vector<int> order = ranked(n_got, got_codes, got_scores);
  bool refined = false;
  std::vector<int64_t> fine;
  std::vector<int> all_rec, all_lig;  // the fine pass's samples: every row of the tables
  if (coarse && kept_any) {
    // The best coarse poses at the full order: each one's receptor sample,
    // distance and the ligand sample nearest its transform's direction, over
    // every twist step.
    const int n_best = std::min(n_got, get_max_samples(rec.n, lig.n, spec->receptor_range, spec->ligand_range));
    const std::vector<int> lig_map = nearest_ligand_samples(proto, lig);
    int64_t* relabelled = nullptr;
    const int n_fine = relabel_samples(n_best, got_codes, order.data(), nullptr, lig_map.data(), &relabelled);
    vm_ptr<int64_t> relabelled_owner(relabelled);
    all_rec.resize(rec.n);
    all_lig.resize(lig.n);
    std::iota(all_rec.begin(), all_rec.end(), 0);
    std::iota(all_lig.begin(), all_lig.end(), 0);
    st.N = N;
    st.n_vec = data->n_terms;
    st.ract2all = all_rec.data();
    st.lact2all = all_lig.data();
    st.n_ract = rec.n;
    st.n_lact = lig.n;
    fine.assign(relabelled, relabelled + n_fine);
    n_items = (n_fine + kCodesPerItem - 1) / kCodesPerItem;
    fine.resize((size_t)n_items * kCodesPerItem, ZAM_SIXD_HOLE);
    proto.N = N;
    proto.n_vec = st.n_vec;
    proto.dims[0] = twist_turn(spec->twist_samples);
    proto.codes = fine.data();
    if (n_fine < 1 || !zam_fill_rot_buffers(zam_thread_cpus()) || !alloc_soln(n_fine)) {
      zam_err("Not enough memory for the refinement of the search.\n");
      clear_state();
      return -1;
    }
    zam_msg("Refining %d poses over %d twist steps (order %d).\n", n_fine, proto.dims[0], N);
    if (!run_pass(zam_run_1r_cpu_thread, proto, n_items, 3)) {
      free_soln();
      clear_state();
      return -1;
    }
    kept_any = soln_count() > 0;
    codes_owner.reset();
    scores_owner.reset();
    n_got = fetch_soln(&got_codes, &got_scores);
    codes_owner.reset(got_codes);
    scores_owner.reset(got_scores);
    if (n_got < 1) {
      zam_err("Not enough memory for the search results.\n");
      clear_state();
      return -1;
    }
    order = ranked(n_got, got_codes, got_scores);
    refined = true;
  }
  print_zeroth_score(n_got, got_codes, got_scores, order.data());
  get_start_energy(st.n_vec, st.N);

  const int n_out = kept_any ? std::min(n_got, spec->max_solutions) : 0;
  const double scale = zam_dock_score_scale(spec);
  for (int i = 0; i < n_out; i++) {
    const int64_t code = got_codes[order[i]];
    _solution& s = sols[i];
    Euler er, el;
    double R;
    if (refined)
      sixd_pose_6d(code, &proto, &er, &R, &el);
    else
      sixd_pose_3d(code, &proto, &er, &R, &el);
    s.pose_code = code;
    s.Etotal = s.Eshape = (float)(got_scores[order[i]] * scale);
    s.Eforce = 0.0f;
    s.r12 = (float)R;
    s.receptor_rotation = er;
    s.ligand_rotation = el;
    s.symmetry = 0;
    s.receptor_orientation = (int16_t)st.ract2all[sixd_code_rec(code)];
  }
  clear_state();
  zam_msg("Search done in %.2fs: %d solutions.\n", zam_get_time() - t_start, n_out);
  return n_out;
}
