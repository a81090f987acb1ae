// The docking driver and its score tables.
#include "docking/zam_docker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "docking/zam_coeff_sets.h"
#include "docking/zam_native.h"
#include "docking/zam_refine.h"
#include "harmonics/zam_anlm.h"
#include "matching/zam_matcher.h"
#include "matching/zam_sixd.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"

namespace {

constexpr int kRowsShown = 200;
constexpr double kElecScale = 6.0302926809374995;  // electrostatic term weight per unit elec_weight
constexpr double kKcalToKJ = 4.184;                // PIPER weights are applied in these units
constexpr int kDarsTerms = 6;
constexpr int kGridTerms = 3;
constexpr int kPiperTerms = 4;

// The run's state: the merged best solutions, the pair counts for the
// progress hook, the refine mode and whether the hook asked to stop.
struct DockerState {
  std::vector<_solution> top;
  int expected = 1;
  int docked = 0;
  int refine = 0;
  int abort = 0;
};
DockerState docker;

float weights[4];

// Terms of each score type: how many are allocated, and the message.
int termsOf(const _docking_spec* spec) {
  switch (spec->score_type) {
    case 1: return 2;
    case 2: return 1 + kDarsTerms;
    case 3: return 2 + kDarsTerms;
    case 4: case 5: return 1 + kGridTerms;
    case 6: return 1 + kPiperTerms;
    case 7: case 8: return spec->kb_channels - 1;
    default: return 1;
  }
}

void announce(int type, int t) {
  const char* shape = "\nSetting up shape-only correlation.\n\n";
  switch (type) {
    case 1: zam_msg("\nSetting up shape + electrostatics correlation.\n\n"); break;
    case 2: zam_msg("\nSetting up shape + DARS correlation.\n\n"); break;
    case 3: zam_msg("\nSetting up shape + DARS + electrostatic correlation.\n\n"); break;
    case 4: case 5: zam_msg("\nSetting up shape + GRID correlation.\n\n"); break;
    case 6: zam_msg("\nSetting up shape + PIPER correlation.\n\n"); break;
    case 7: case 8:
      if (t == 1) zam_msg("%s", shape);
      zam_msg("\nSetting up TOLVA knowledge-based correlation.\n\n");
      break;
    case 9:
      zam_msg("%s", shape);
      zam_msg("\n Setting up JET2 Conservation-based correlation.\n\n");
      break;
    default: zam_msg("%s", shape);
  }
}

// Where the terms of one array go and where they come from.
struct Side {
  const double* from;  // the model's array (null: missing)
  double* to;          // the docking data's array
  bool fits = true;    // from holds the blocks read, at the order read
};

// Copies `terms` consecutive vectors of K values from side.from (block
// `from_block` on) into side.to (term `to_term` on), times s; a missing
// array, or one made for another score type or order, leaves them 0 with a
// warning.
void put(Side side, int from_block, int to_term, int terms, int K, double s, const char* what, const char* whose) {
  if (!side.from) {
    zam_wrn("The %s coefficients of %s are missing: that term scores 0.\n", what, whose);
    return;
  }
  if (!side.fits) {
    zam_wrn("The %s coefficients of %s were made for another score type or order: that term scores 0.\n", what,
            whose);
    return;
  }
  for (int64_t k = 0; k < static_cast<int64_t>(terms) * K; k++)
    side.to[static_cast<int64_t>(to_term) * K + k] = s * side.from[static_cast<int64_t>(from_block) * K + k];
}

// Terms of both sides from arrays a (first) and b (second) of one kind, the
// receptor's scaled by ra and rb; rfits and lfits say whether each side's
// arrays hold what is read.
void pairTerms(_docking_data* d, const _molecule_model& R, const _molecule_model& L, double* _molecule_model::*a,
               double* _molecule_model::*b, int to_term, int terms, int K, double ra, double rb, const char* what,
               bool rfits = true, bool lfits = true) {
  put({R.*a, d->receptor_first, rfits}, 0, to_term, terms, K, ra, what, "the receptor");
  put({R.*b, d->receptor_second, rfits}, 0, to_term, terms, K, rb, what, "the receptor");
  put({L.*a, d->ligand_first, lfits}, 0, to_term, terms, K, 1.0, what, "the ligand");
  put({L.*b, d->ligand_second, lfits}, 0, to_term, terms, K, 1.0, what, "the ligand");
}

// The grid pair's terms (DARS or GRID), from models whose grid pair holds
// exactly that many blocks at order N: the two sets differ in their block
// counts, and a set of fewer blocks would be read past its end.
void typedTerms(_docking_data* d, const _molecule_model& R, const _molecule_model& L, int N, int terms, double ra,
                const char* what) {
  pairTerms(d, R, L, &_molecule_model::energies, &_molecule_model::densities, 1, terms, anlm_size(N), ra, 1.0, what,
            zam_pe_holds(&R, N, terms), zam_pe_holds(&L, N, terms));
}

int printRow(int number, const _solution& s, bool with_symmetry) {
  return print_score_rms(number, s.Etotal, s.Eshape, s.Eforce, s.Eair, s.rms, s.bumps, with_symmetry ? s.symmetry : 0);
}

// The native deviation of a pose of the pair (ligand turned by 2 pi / k about y for a symmetry order k).
float nativeRms(const _molecule_model& R, const _molecule_model& L, const _solution& s, int ligand_model) {
  Matrix3D lig = tf_euler(s.ligand_rotation);
  if (s.symmetry != 0) lig = tf_tftf(lig, tf_roty(2.0 * M_PI / s.symmetry));
  return zam_native_rms(R.place[1], R.place[2], L.place[1], ligand_model, s.r12, tf_euler(s.receptor_rotation), lig);
}

// Solutions of one search, each with the two model numbers and no bump count.
std::vector<_solution> freshSolutions(int room, int receptor_model, int ligand_model) {
  std::vector<_solution> sols(static_cast<size_t>(std::max(room, 0)));
  for (_solution& s : sols) {
    s = _solution{};
    s.receptor_model = static_cast<int16_t>(receptor_model);
    s.ligand_model = static_cast<int16_t>(ligand_model);
    s.bumps = -1;
  }
  return sols;
}

std::vector<int> byEnergy(const std::vector<_solution>& sols, int n) {
  std::vector<float> e(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) e[static_cast<size_t>(i)] = sols[static_cast<size_t>(i)].Etotal;
  std::vector<int> order(static_cast<size_t>(n));
  zam_sortf(e.data(), n, order.data());
  return order;
}

// The first n (search order) solutions' native deviations and their table.
void firstTable(int n, std::vector<_solution>& sols, const _molecule_model& R, const _molecule_model& L,
                int ligand_model) {
  zam_logger_buffer(1);
  print_score_header();
  for (int i = 0; i < n; i++) sols[static_cast<size_t>(i)].rms = nativeRms(R, L, sols[static_cast<size_t>(i)], ligand_model);
  zam_print_scores(n, sols.data(), nullptr, true);
}

void setPairs(int pairs) {
  docker.expected = pairs;
  report_progress_weights(pairs, weights);
}

// Unless the run was stopped, the best of the top list into d (with their
// table when several models were docked); the top list emptied.
void keepTop(const _docking_spec* spec, _docking* d, bool table) {
  if (docker.abort) {
    d->n_kept = 0;
  } else {
    const int k = std::min(static_cast<int>(docker.top.size()), spec->max_solutions);
    zam_msg("Saving top %d orientations.\n", k);
    zam_alloc_solutions(d, k);
    if (table) print_score_header();
    std::copy(docker.top.begin(), docker.top.begin() + k, d->solutions);
    if (table) zam_print_scores(k, d->solutions, nullptr, false);
    d->n_kept = k;
  }
  docker.top.clear();
}

void dockPair(_docking_spec* spec, _docking* d, _molecule* r, _molecule* l, int rm, int lm) {
  if (docker.abort) return;
  zam_dock_pair(spec, d, r, l, rm, lm);
}

}  // namespace

_docking_data* zam_setDockData(_docking_spec* spec, _molecule* receptor, _molecule* ligand, int receptor_model,
                               int ligand_model, int report) {
  const int type = spec->score_type;
  if ((type == 7 || type == 8) && spec->kb_channels < 3) {
    zam_err("Knowledge-based docking (score type %d) needs at least three channels from its set-up, not %d.\n", type,
            spec->kb_channels);
    return nullptr;
  }
  const _molecule_model* Rp = zam_model_entry(receptor, receptor_model);
  const _molecule_model* Lp = zam_model_entry(ligand, ligand_model);
  if (!Rp || !Lp) {
    zam_err("Cannot dock model %d of %s with model %d of %s: no such model.\n", receptor_model,
            receptor && receptor->name ? receptor->name : "?", ligand_model,
            ligand && ligand->name ? ligand->name : "?");
    return nullptr;
  }
  const _molecule_model& R = *Rp;
  const _molecule_model& L = *Lp;
  const int t = termsOf(spec), N = spec->order, K = anlm_size(N);
  if (report) announce(type, t);
  auto* d = static_cast<_docking_data*>(kget1B_0(sizeof(_docking_data)));
  d->term_flags = kget1I_0(t);
  for (int c = 0; c < t; c++) d->term_flags[c] = 1;
  for (double** a : {&d->receptor_first, &d->receptor_second, &d->ligand_first, &d->ligand_second})
    *a = kget1D_0(static_cast<int64_t>(t) * K);
  d->n_terms = 1;

  // The shape term: -W/1000 a1, -W/1000 a2 for the receptor, b1 - Q b2 and b2 - P b1 for the ligand.
  const double W = -spec->receptor_shape_weight / 1000.0, Q = spec->ligand_weight_q, P = spec->ligand_weight_p;
  if (type != 7 && type != 8) {
    put({R.skin, d->receptor_first}, 0, 0, 1, K, W, "skin", "the receptor");
    put({R.shape, d->receptor_second}, 0, 0, 1, K, W, "shape", "the receptor");
    if (!L.skin || !L.shape) {
      zam_wrn("The shape coefficients of the ligand are missing: that term scores 0.\n");
    } else {
      anlm_add(N, L.skin, L.shape, d->ligand_first, -Q);
      anlm_add(N, L.shape, L.skin, d->ligand_second, -P);
    }
  }
  const double elec = kElecScale * spec->elec_weight;
  const auto pot = &_molecule_model::potential, chg = &_molecule_model::charge;
  switch (type) {
    case 1:
      d->n_terms = 2;
      d->term_flags[1] = 0;
      pairTerms(d, R, L, pot, chg, 1, 1, K, elec, elec, "electrostatic");
      break;
    case 2:
    case 3:
      d->n_terms = t;
      typedTerms(d, R, L, N, kDarsTerms, 1.0, "DARS");
      if (type == 3) {
        d->term_flags[t - 1] = 0;
        pairTerms(d, R, L, pot, chg, t - 1, 1, K, elec, elec, "electrostatic");
      }
      break;
    case 4:
    case 5:
      d->n_terms = t;
      typedTerms(d, R, L, N, kGridTerms, spec->grid_weight / 2, "GRID");
      break;
    case 6:
      d->n_terms = t;
      put({R.piper[0], d->receptor_first}, 0, 1, kPiperTerms, K, spec->piper_weight * kKcalToKJ, "PIPER", "the receptor");
      put({R.piper[1], d->receptor_second}, 0, 1, kPiperTerms, K, 1.0, "PIPER", "the receptor");
      put({L.piper[0], d->ligand_first}, 0, 1, kPiperTerms, K, spec->piper_weight * kKcalToKJ, "PIPER", "the ligand");
      put({L.piper[1], d->ligand_second}, 0, 1, kPiperTerms, K, 1.0, "PIPER", "the ligand");
      break;
    case 7:
    case 8: {
      // Half the knowledge-based blocks on each side of the correlation.
      const int half = t / 2;
      const bool rfits = zam_kb_holds(&R, N, t), lfits = zam_kb_holds(&L, N, t);
      d->n_terms = half;
      put({R.kb, d->receptor_first, rfits}, 0, 0, half, K, 1.0, "knowledge-based", "the receptor");
      put({R.kb, d->receptor_second, rfits}, half, 0, half, K, 1.0, "knowledge-based", "the receptor");
      put({L.kb, d->ligand_second, lfits}, 0, 0, half, K, 1.0, "knowledge-based", "the ligand");
      put({L.kb, d->ligand_first, lfits}, half, 0, half, K, 1.0, "knowledge-based", "the ligand");
      break;
    }
    default:
      break;
  }
  return d;
}

void zam_freeDockData(_docking_data* d) {
  if (!d) return;
  kfree(d->term_flags);
  kfree(d->receptor_first);
  kfree(d->receptor_second);
  kfree(d->ligand_first);
  kfree(d->ligand_second);
  kfree(d);
}

void zam_dock_pair(_docking_spec* spec, _docking* d, _molecule* receptor, _molecule* ligand, int receptor_model,
                   int ligand_model) {
  const double t0 = zam_get_time();
  char rname[257], lname[257], elapsed[64];
  std::snprintf(rname, sizeof rname, "%s", zam_model_name(receptor, receptor_model));
  std::snprintf(lname, sizeof lname, "%s", zam_model_name(ligand, ligand_model));
  zam_msg("\nDocking receptor: %s and ligand: %s...\n\n", rname, lname);
  zam_msg("Receptor %s: Tag = %s\n", rname, rname);
  zam_msg("Ligand   %s: Tag = %s\n", lname, lname);

  d->data = zam_setDockData(spec, receptor, ligand, receptor_model, ligand_model, 1);
  if (!d->data) {
    docker.abort = 1;
    return;
  }
  std::vector<_solution> sols = freshSolutions(spec->max_solutions, receptor_model, ligand_model);
  int n = sols.empty() ? 0 : zam_sixd_search(spec, d->data, sols.data());
  zam_freeDockData(d->data);
  d->data = nullptr;
  if (n < 0) {
    // A stopped or failed search: nothing of this pair counts.
    docker.abort = 1;
    return;
  }
  const _molecule_model& R = receptor->models[receptor_model];
  const _molecule_model& L = ligand->models[ligand_model];
  firstTable(n, sols, R, L, ligand_model);
  zam_msg("\n");
  zam_msg("\nDocked structures %s:%s in a total of %s.\n\n", rname, lname, zam_elapsed_string(elapsed, zam_get_time() - t0));

  const int mode = spec->refine_mode;
  if (mode == 0) {
    docker.abort = zam_progress1(1.0, 2);
  } else {
    zam_refine(receptor, ligand, receptor_model, ligand_model, mode, n, sols.data(), spec->ligand_weight_q,
               -spec->receptor_shape_weight / 1000.0);
    if (mode >= 2) print_score_header();
  }
  const std::vector<int> order = byEnergy(sols, n);
  if (mode >= 2) {
    for (int i = 0; i < n; i++) sols[static_cast<size_t>(i)].rms = nativeRms(R, L, sols[static_cast<size_t>(i)], ligand_model);
    zam_print_scores(n, sols.data(), order.data(), true);
  }
  zam_logger_buffer(0);
  merge_top(spec->max_solutions, n, sols.data(), order.data());
  docker.docked++;
  if (zam_progress2(1, docker.docked, docker.expected)) docker.abort = 1;
}

void zam_docker(_docking_spec* spec, _docking* d, _molecule* receptor, _molecule* ligand) {
  weights[0] = 0.1f;
  weights[1] = spec->scan_order == 0 ? 0.0f : 0.7f;
  weights[2] = 0.2f;
  weights[3] = spec->refine_mode == 0 ? 0.0f : 0.2f;
  auto [rf, rl, lf, ll] = zam_open_model_pairs("Docking", d, receptor, ligand);
  docker.abort = 0;
  const double t0 = zam_get_time();
  docker.expected = 1;
  docker.docked = 0;
  docker.refine = spec->refine_mode;
  zam_msg("Docking will output a maximum of %d solutions per pair...\n", spec->max_solutions);
  alloc_top(spec->max_solutions);
  if ((spec->score_type == 7 || spec->score_type == 8) && spec->kb_channels < 3) {
    zam_err("Knowledge-based docking (score type %d) needs at least three channels from its set-up, not %d.\n",
            spec->score_type, spec->kb_channels);
    docker.abort = 1;
  }

  const int nr = rl - rf + 1, nl = ll - lf + 1;
  const bool kind2 = receptor && ligand && receptor->model_kind == 2 && ligand->model_kind == 2;
  bool several = false;     // more than one model docked on either side: tables of the kept solutions
  bool orientations = false;  // dock the first models as one pair each (starting orientations)
  bool single = false;        // dock (rf, lf) alone
  if (!docker.abort) {
    bool changed = false;
    if (kind2 && nr == 1 && nl != 1) {
      lf = ll = rf;
      changed = true;
    } else if (kind2 && nl == 1 && nr != 1) {
      rf = rl = lf;
      changed = true;
    }
    zam_msg_brk();
    if (changed) {
      if (spec->problem_type == 3)
        orientations = true;
      else
        single = true;
    } else if (spec->problem_type == 3) {
      if (nr == nl && nr >= 2) {
        zam_msg("Docking %d pairs of starting orientations...\n", nr);
        setPairs(nr);
        several = true;
        for (int i = 1; i <= nr && !docker.abort; i++) dockPair(spec, d, receptor, ligand, i, i);
      } else if (nr == 1 && nl == 1) {
        orientations = true;
      }
    } else if (nr > 1 || nl > 1) {
      zam_native_postdock(receptor);
      zam_native_postdock(ligand);
      zam_msg("Docking %d pairs of models...\n", nr * nl);
      setPairs(nr * nl);
      several = true;
      for (int r = rf; r <= rl && !docker.abort; r++)
        for (int l = lf; l <= ll && !docker.abort; l++) dockPair(spec, d, receptor, ligand, r, l);
    } else {
      single = true;
    }
    if (single) {
      zam_msg("Docking 1 pair of starting orientations...\n");
      setPairs(1);
      dockPair(spec, d, receptor, ligand, rf, lf);
    }
    if (orientations) {
      if (rf != lf) {
        zam_msg("Docking 2 pairs of starting orientations...\n");
        setPairs(2);
        dockPair(spec, d, receptor, ligand, rf, rf);
        dockPair(spec, d, receptor, ligand, lf, lf);
      } else {
        zam_msg("Docking 1 pair of starting orientations...\n");
        setPairs(1);
        dockPair(spec, d, receptor, ligand, rf, rf);
      }
    }
  }
  keepTop(spec, d, several);
  char elapsed[64];
  zam_msg("\nDocking done in a total of %s.\n\n", zam_elapsed_string(elapsed, zam_get_time() - t0));
  zam_msg_brk();
}

void zam_dock_poses(_docking_spec* spec, _docking* d, _molecule* receptor, _molecule* ligand, int receptor_model,
                    int ligand_model) {
  const double t0 = zam_get_time();
  zam_msg_brk();
  zam_free_solutions(d);
  docker.abort = 0;
  const _molecule_model* R = zam_model_entry(receptor, receptor_model);
  const _molecule_model* L = zam_model_entry(ligand, ligand_model);
  if (!d->data || !R || !L) {
    zam_err("Cannot dock poses: %s.\n", d->data ? "no such model" : "no poses were given");
    return;
  }
  zam_msg("Docking %d poses will output a maximum of %d solutions...\n", d->data->n_poses, spec->max_solutions);
  alloc_top(spec->max_solutions);
  std::vector<_solution> sols = freshSolutions(spec->max_solutions, 1, 1);
  int n = sols.empty() ? 0 : zam_sixd_search(spec, d->data, sols.data());
  if (n < 0) {
    docker.abort = 1;
    n = 0;
  }
  firstTable(n, sols, *R, *L, ligand_model);
  zam_logger_buffer(0);
  zam_msg("\n");
  if (zam_progress1(1.0, 2)) docker.abort = 1;
  const std::vector<int> order = byEnergy(sols, n);
  merge_top(spec->max_solutions, n, sols.data(), order.data());
  keepTop(spec, d, false);
  char elapsed[64];
  zam_msg("\nDone %d poses in a total of %s.\n\n", d->data->n_poses, zam_elapsed_string(elapsed, zam_get_time() - t0));
  zam_msg_brk();
}

void print_score_header() {
  zam_msg("\nDocking correlation summary by RMS deviation and steric clashes\n");
  zam_msg("-------------------------------------------------------------------------\n");
  zam_msg("  Soln   Etotal    Eshape    Eforce    Eair              RMS        Bumps\n");
  zam_msg("  ----  --------- --------- --------- ---------   ----------------  -----\n");
}

int print_score_rms(int number, double etotal, double eshape, double eforce, double eair, double rms, int bumps,
                    int symmetry) {
  char label[16];
  if (symmetry >= 1)
    std::snprintf(label, sizeof label, "C%d", symmetry);
  else if (bumps > 999)
    std::snprintf(label, sizeof label, "999");
  else if (bumps >= 0)
    std::snprintf(label, sizeof label, "%3d", bumps);
  else
    std::snprintf(label, sizeof label, "  ?");
  int column;
  if (rms >= 0.0 && rms <= 4.0)
    column = 0;
  else if (rms > 4.0 && rms <= 6.0)
    column = 1;
  else if (rms > 6.0 && rms <= 10.0)
    column = 2;
  else
    return 0;
  // The energies in exponent form when the total is too large for the fixed columns.
  static const char* const fixed[3] = {"%6d  %9.2f %9.2f %9.2f %9.2f  %5.2f              %s\n",
                                       "%6d  %9.2f %9.2f %9.2f %9.2f        %5.2f        %s\n",
                                       "%6d  %9.2f %9.2f %9.2f %9.2f              %5.2f  %s\n"};
  static const char* const exponent[3] = {"%6d  %9.2e %9.2e %9.2e %9.2e  %5.2f              %s\n",
                                          "%6d  %9.2e %9.2e %9.2e %9.2e        %5.2f        %s\n",
                                          "%6d  %9.2e %9.2e %9.2e %9.2e              %5.2f  %s\n"};
  const char* format = std::fabs(etotal) > 100000.0 ? exponent[column] : fixed[column];
  zam_msg(format, number, etotal, eshape, eforce, eair, rms, label);
  return 1;
}

void zam_print_scores(int n, const _solution* sols, const int* order, bool with_symmetry) {
  int shown = 0;
  for (int i = 0; i < n && shown < kRowsShown; i++) {
    if (!printRow(i + 1, sols[order ? order[i] : i], with_symmetry)) continue;
    if (++shown == kRowsShown) zam_print_suppressed(i + 2, n);
  }
}

void alloc_top(int n) {
  docker.top.clear();
  docker.top.reserve(static_cast<size_t>(std::max(n, 0)));
}

void merge_top(int n, int count, const _solution* solutions, const int* order) {
  zam_merge_solutions(docker.top, n, solutions, order, count);
}

const _solution* zam_top_solutions(int* count) {
  if (count) *count = static_cast<int>(docker.top.size());
  return docker.top.data();
}

void report_progress_weights(int pairs, const float* w) {
  double v[4], sum = 0.0;
  for (int i = 0; i < 4; i++) sum += v[i] = w[i];
  if (sum > 0.0)
    for (double& x : v) x /= sum;
  if (pairs > 1)
    for (int i = 1; i < 4; i++) v[i] /= pairs;
  zam_progress_weights(v);
}
