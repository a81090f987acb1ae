#include "matching/zam_matcher.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "harmonics/zam_anlm.h"
#include "harmonics/zam_cache.h"
#include "matching/zam_sixd.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"
#include "runtime/zam_sort.h"
#include "runtime/zam_system.h"

namespace {

// The matcher's state: the merged best solutions so far, whether the last
// pair asked to stop, and the pair counts for the progress hook.
struct MatcherState {
  std::vector<_solution> top;
  int aborting = 0;
  double matched = 0.0;
  double expected = 0.0;
};
MatcherState matcher;

constexpr int kRowsShown = 100;

// One correlation array: the receptor's scaled so that a perfect overlap with
// the ligand's scores -1000. A missing or zero-length array cannot be
// scaled: it is left zero with a warning, and the term scores 0.
void normalised(int N, const double* rec, const double* lig, const char* what, double* out) {
  const double a = rec ? anlm_mag(N, rec) : 0.0, b = lig ? anlm_mag(N, lig) : 0.0;
  if (!(a > 0.0) || !(b > 0.0) || !std::isfinite(a * b)) {
    zam_wrn("The %s coefficients of %s have no length: that term scores 0.\n", what,
            !(a > 0.0) || !std::isfinite(a) ? "the receptor" : "the ligand");
    return;
  }
  anlm_scale(N, rec, out, -1000.0 / (a * b));
}

void scaled(int N, const double* in, double s, double* out) {
  if (in) anlm_scale(N, in, out, s);
}

// One correlation term: its coefficients, and whether the receptor's go to
// the first arrays (the ligand's then to the second) or the other way round.
struct Term {
  const char* name;
  double* _molecule_model::*coeffs;
  bool receptor_first;
};
constexpr Term kSkin{"skin", &_molecule_model::skin, true};
constexpr Term kShape{"shape", &_molecule_model::shape, false};
constexpr Term kPotential{"potential", &_molecule_model::potential, true};
constexpr Term kCharge{"charge", &_molecule_model::charge, false};

// A term of a correlation kind: which, in which block of the arrays, and the
// weight of the ligand's coefficients.
struct TermUse {
  Term term;
  int block;
  double weight;
};

// Fills the correlation arrays of kind `kind` for one model pair.
void setup_correlation(int kind, int N, double w, const _molecule_model& R, const _molecule_model& L,
                       _docking_data* data) {
  struct Kind {
    const char* message;
    int n_terms;
    TermUse terms[4];
  };
  const Kind kinds[] = {
      {"Setting up shape-only correlation.\n", 1, {{kShape, 0, 1.0}}},
      {"Setting up skin-only correlation.\n", 1, {{kSkin, 0, 1.0}}},
      {"Setting up shape + skin correlation.\n", 2, {{kSkin, 0, w}, {kShape, 0, 1.0 - w}}},
      {"Setting up electrostatic potential correlation.\n", 1, {{kPotential, 0, 1.0}}},
      {"Setting up charge density correlation.\n", 1, {{kCharge, 0, 1.0}}},
      {"Setting up charge + potential correlation.\n", 2, {{kPotential, 0, 0.5}, {kCharge, 0, 0.5}}},
      {"Setting up shape + skin + potential + charge.\n",
       4,
       {{kSkin, 0, 0.25}, {kShape, 0, 0.25}, {kPotential, 1, 0.25}, {kCharge, 1, 0.25}}},
      {"Setting up test correlation.\n", 1, {{kShape, 0, 1.0}}},
  };
  if (kind >= 0 && kind < (int)std::size(kinds)) {  // otherwise not a correlation kind: the arrays stay zero
    const Kind& k = kinds[kind];
    zam_msg("%s", k.message);
    const int64_t K = anlm_size(N);
    for (int t = 0; t < k.n_terms; t++) {
      const TermUse& u = k.terms[t];
      const int64_t at = u.block * K;
      double* rec = (u.term.receptor_first ? data->receptor_first : data->receptor_second) + at;
      double* lig = (u.term.receptor_first ? data->ligand_second : data->ligand_first) + at;
      normalised(N, R.*u.term.coeffs, L.*u.term.coeffs, u.term.name, rec);
      scaled(N, L.*u.term.coeffs, u.weight, lig);
    }
  }
  data->term_flags[0] = (kind >= 3 && kind <= 5) ? 0 : 1;
  if (kind == 6) data->term_flags[1] = 0;
}

}  // namespace

void zam_matcher(_docking_spec* spec, _docking* d, _molecule* receptor, _molecule* ligand) {
  const auto [rf, rl, lf, ll] = zam_open_model_pairs("Matching", d, receptor, ligand);
  matcher.aborting = 0;
  const double t0 = zam_get_time();
  matcher.matched = 0.0;
  matcher.expected = 1.0;
  matcher.top.clear();
  const int nr = rl - rf + 1, nl = ll - lf + 1;
  const bool pairs = !(nr == 1 && nl == 1);
  if (!pairs) {
    zam_msg("Matching 1 pair of starting orientations...\n");
    zam_match_pair(spec, d, receptor, ligand, rf, lf);
    zam_msg_brk();
  } else {
    matcher.expected = (double)nr * nl;
    zam_msg("Matching %d pairs of models...\n", nr * nl);
    for (int r = rf; r <= rl && !matcher.aborting; r++)
      for (int l = lf; l <= ll; l++) {
        zam_match_pair(spec, d, receptor, ligand, r, l);
        zam_msg_brk();
        if (matcher.aborting) break;
      }
  }
  if (matcher.aborting) {
    d->n_kept = 0;
    matcher.top.clear();
    zam_msg("\nMatching done in a total of %.2fs.\n\n", zam_get_time() - t0);
    zam_msg_brk();
    return;
  }
  const int n = std::min(spec->max_solutions, (int)matcher.top.size());
  zam_msg("Saving top %d orientations.\n", n);
  zam_alloc_solutions(d, n);
  if (pairs) print_match_header();
  int shown = 0;
  for (int k = 0; k < (int)matcher.top.size(); k++) {
    const _solution& s = matcher.top[k];
    if (k < n) d->solutions[k] = s;
    if (pairs && shown < kRowsShown && print_match_rms(k + 1, s.Etotal, s.Eshape, s.Eforce, s.Eair, s.rms, s.bumps))
      if (++shown == kRowsShown) zam_print_suppressed(k + 2, (int)matcher.top.size());
  }
  d->n_kept = n;
  matcher.top.clear();
  zam_msg("\nMatching done in a total of %.2fs.\n\n", zam_get_time() - t0);
  zam_msg_brk();
}

int zam_match_pair(_docking_spec* spec, _docking* d, _molecule* receptor, _molecule* ligand, int receptor_model,
                   int ligand_model) {
  (void)d;
  const double t0 = zam_get_time();
  char rname[257], lname[257];
  std::snprintf(rname, sizeof rname, "%s", zam_model_name(receptor, receptor_model));
  std::snprintf(lname, sizeof lname, "%s", zam_model_name(ligand, ligand_model));
  zam_msg("\nMatching receptor: %s and ligand: %s...\n\n", rname, lname);
  zam_msg("Receptor %s: Tag = %s\n", rname, rname);
  zam_msg("Ligand   %s: Tag = %s\n", lname, lname);

  const int N = spec->order, K = anlm_size(N);
  const int terms = spec->score_type == 6 ? 2 : 1;
  std::vector<double> arrays(4 * (size_t)terms * K, 0.0);
  std::vector<int> flags(terms, 0);
  _docking_data data{};
  data.n_terms = terms;
  data.term_flags = flags.data();
  data.receptor_first = arrays.data();
  data.receptor_second = arrays.data() + (size_t)terms * K;
  data.ligand_first = arrays.data() + 2 * (size_t)terms * K;
  data.ligand_second = arrays.data() + 3 * (size_t)terms * K;
  const _molecule_model& R = receptor->models[receptor_model];
  const _molecule_model& L = ligand->models[ligand_model];
  setup_correlation(spec->score_type, N, spec->skin_weight, R, L, &data);

  const int room = std::max(spec->max_solutions, 0);
  std::vector<_solution> sols(room);
  for (_solution& s : sols) {
    s = _solution{};
    s.receptor_model = (int16_t)receptor_model;
    s.ligand_model = (int16_t)ligand_model;
    s.bumps = -1;
  }
  const int n = room > 0 ? zam_sixd_search(spec, &data, sols.data()) : 0;
  zam_msg("\n");
  zam_msg("\nMatched structures %s:%s in a total of %.2fs.\n\n", rname, lname, zam_get_time() - t0);
  if (n < 0) {
    // A stopped or failed search: nothing of this pair counts.
    matcher.aborting = 1;
    return 0;
  }

  std::vector<float> energies(n);
  for (int i = 0; i < n; i++) energies[i] = sols[i].Etotal;
  std::vector<int> order(n);
  zam_sortf(energies.data(), n, order.data());
  zam_logger_buffer(1);
  int shown = 0;
  for (int i = 0; i < n; i++) {
    _solution& s = sols[order[i]];
    s.rms = zam_native_rms(R.place[1], R.place[2], L.place[1], s.ligand_model, s.r12, tf_euler(s.receptor_rotation),
                           tf_euler(s.ligand_rotation));
    if (shown < kRowsShown && print_match_rms(i + 1, s.Etotal, s.Eshape, s.Eforce, s.Eair, s.rms, s.bumps)) {
      if (++shown == kRowsShown) zam_print_suppressed(i + 2, n);
    }
  }
  zam_logger_buffer(0);

  zam_merge_solutions(matcher.top, room, sols.data(), order.data(), n);
  matcher.matched += 1.0;
  if (zam_progress2(1, (int)matcher.matched, (int)matcher.expected) != 0) matcher.aborting = 1;
  return !matcher.aborting;
}

void zam_merge_solutions(std::vector<_solution>& top, int room, const _solution* sols, const int* order, int n) {
  std::vector<_solution> merged;
  merged.reserve(std::min<size_t>(std::max(room, 0), top.size() + std::max(n, 0)));
  size_t a = 0;
  int b = 0;
  while ((int)merged.size() < room && (a < top.size() || b < n)) {
    if (b >= n || (a < top.size() && top[a].Etotal <= sols[order[b]].Etotal))
      merged.push_back(top[a++]);
    else
      merged.push_back(sols[order[b++]]);
  }
  top.swap(merged);
}

void zam_print_suppressed(int next, int total) {
  if (next > total) return;  // the table ended with its last row: nothing was left out
  zam_msg("         <<Output suppressed for solutions %d to %d>>\n", next, total);
}

void print_match_header() {
  zam_msg("\nMatching correlation summary by RMS deviation\n");
  zam_msg("---------------------------------------------\n");
  zam_msg("  Soln   Etotal    Eshape     Eforce       RMS    \n");
  zam_msg("  ----  --------- --------- ---------   ----------\n");
}

int print_match_rms(int soln, double etotal, double eshape, double eforce, double eair, double rms, int bumps) {
  (void)eair;
  (void)bumps;
  if (rms >= 0.0 && rms <= 4.0) {
    zam_msg("%6d  %9.2f %9.2f %9.2f  %5.2f        %s\n", soln, etotal, eshape, eforce, rms, " ");
    return 1;
  }
  if (rms > 4.0 && rms <= 6.0) {
    zam_msg("%6d  %9.2f %9.2f %9.2f        %5.2f  %s\n", soln, etotal, eshape, eforce, rms, " ");
    return 1;
  }
  return 0;
}

void zam_docking_model_range(const _molecule* m, int* first, int* last) {
  const int count = m && m->loaded ? m->n_models : 1;
  const int s = m ? m->selected_model : 0;
  if (s >= 1 && s <= count) {
    *first = *last = s;
  } else if (s <= 0 && count >= 1) {
    *first = 1;
    *last = count;
  } else {
    *first = *last = 0;
  }
}

_model_pairs zam_open_model_pairs(const char* who, _docking* d, const _molecule* receptor,
                                  const _molecule* ligand) {
  zam_msg_brk();
  zam_free_solutions(d);
  if (zam_cache_type() == 0) zam_wrn("%s will be faster if you enable the disc cache.\n", who);
  _model_pairs p;
  zam_docking_model_range(receptor, &p.rf, &p.rl);
  zam_docking_model_range(ligand, &p.lf, &p.ll);
  return p;
}

const char* zam_model_name(const _molecule* m, int model) {
  static char buffer[257];
  if (!m || !m->loaded || m->model_kind < 0 || m->model_kind > 3) {
    std::snprintf(buffer, sizeof buffer, "N/A");
  } else if (m->model_kind == 0) {
    std::snprintf(buffer, sizeof buffer, "%s", m->name ? m->name : "");
  } else if (model <= 0) {
    std::snprintf(buffer, sizeof buffer, "%s-ALL", m->name ? m->name : "");
  } else {
    std::snprintf(buffer, sizeof buffer, "%s-[%d:%s]", m->name ? m->name : "", m->models[model].id,
                  m->models[model].label);
  }
  return buffer;
}

float zam_native_rms(Matrix3D rec_m1, Matrix3D rec_m2, Matrix3D lig_m1, int ligand_model, double r12,
                     Matrix3D rec_rot, Matrix3D lig_rot) {
  (void)rec_m1;
  (void)rec_m2;
  (void)lig_m1;
  (void)ligand_model;
  (void)r12;
  (void)rec_rot;
  (void)lig_rot;
  return -1.0f;  // no native complex is loaded on this road
}

void delete_rotamers(_rotamer* list) {
  while (list) {
    _rotamer* next = list->next;
    kfree(list->coords);
    kfree(list);
    list = next;
  }
}

void zam_delete_rotamers(_rotamer** list) {
  delete_rotamers(*list);
  *list = nullptr;
}
