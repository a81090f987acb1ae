#include "msa/trel_msa_reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "align/trel_fit.h"
#include "geometry/zam_qcp.h"
#include "geometry/zam_transform.h"
#include "msa/trel_msa_analysis.h"
#include "msa/trel_msa_input.h"
#include "msa/trel_reference_measure.h"
#include "output/trel_write_msa.h"
#include "output/trel_run_options.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"

bool ref_name_matches(const char* row_name, const char* name) {
  if (!row_name || !name) return false;
  if (strcmp(row_name, name) == 0) return true;
  std::string chopped = row_name;
  chopTrelDecoration(chopped.data());
  return strcmp(chopped.c_str(), name) == 0;
}

int ref_find_resnum(const _pdb_image* image, const char* resnum) {
  for (int i = 0; i < image->nres; i++)
    if (strcmp(image->residues[i].resnum, resnum) == 0) return i;
  return -1;
}

int ref_find_column(const _trel_msa* msa, int row, int residue) {
  for (int c = 0; c < msa->n_col; c++)
    if (msa->residue_index[(size_t)c * msa->n_struct + row] == residue) return c;
  return -1;
}

std::string ref_run_name(const char* path, const _trel_options* options) {
  if (options && options->job_name && *options->job_name) return options->job_name;
  // A packed reference names its results as its plain self does: the
  // ending of "tryps.ali.gz" goes before the extension.
  std::vector<char> base(strlen(ref_text(path)) + 2), root(base.size());
  zam_basename(ref_text(path), base.data());
  char* dot = strrchr(base.data(), '.');
  if (zam_fkind(base.data()) && dot && dot > base.data()) *dot = '\0';
  zam_rootname(base.data(), root.data());
  return root.data();
}

double RefTally::rmsd() const { return pairs > 0 ? std::sqrt(sum / pairs) : -1.0; }

bool ref_measure(RefTally& t, const char* label, const _pdb_image* a, int ra, const _pdb_image* b, int rb) {
  const double d2 = d2_ptpt(zam_ptPdbResidue(a, ra), zam_ptPdbResidue(b, rb));
  t.sum += d2;
  t.pairs++;
  if (d2 > 64.0) t.viol++;
  const _pdb_residue& x = a->residues[ra];
  const _pdb_residue& y = b->residues[rb];
  if (strcmp(x.resname, y.resname) == 0) t.ident++;
  zam_msg("%s pair: %s[%s-%s:%s] - %s[%s-%s:%s] = %.3f\n", label, ref_text(a->name), x.chain, x.resnum, x.code,
          ref_text(b->name), y.chain, y.resnum, y.code, std::sqrt(d2));
  return d2 <= 12.25;
}

void ref_report(const RefTally& t) {
  zam_msg("Found %d REFERENCE AFPs, %d IDENTITIES, and %d DISTANCE VIOLATIONS.\n", t.afps, t.ident, t.viol);
  zam_msg("Overall REFERENCE RMSD (ALL PAIRS) is %.2f for %d pairs.\n", t.rmsd(), t.pairs);
}

void ref_store(_trel_msa* msa, const RefTally& t, int P) {
  msa->ref_ident = (double)t.ident / P;
  msa->ref_afp = (double)t.afps / P;
  msa->ref_rmsd = t.rmsd();
  msa->ref_pairs = (double)t.pairs / P;
  msa->ref_viol = (double)t.viol / P;
}

int sisy_check_sequential(int id, int n_member, int n_eq, const int* member_row, const int* eq_ok,
                          const int* eq_residue) {
  std::vector<int> order((size_t)n_eq);
  for (int i = 0; i < n_member - 1; i++) {
    if (member_row[i] < 0) continue;
    for (int r = 0; r < n_eq; r++) order[(size_t)r] = r;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return eq_residue[(size_t)a * n_member + i] < eq_residue[(size_t)b * n_member + i];
    });
    for (int j = i + 1; j < n_member; j++) {
      if (member_row[j] < 0) continue;
      int prev = -1;
      bool first = true;
      for (int k = 0; k < n_eq; k++) {
        const int r = order[(size_t)k];
        const int v = eq_residue[(size_t)r * n_member + j];
        if (!eq_ok[r] || v < 0) continue;
        if (!first && v < prev) {
          zam_wrn("Found non-sequential fragment at ID %d, row %d\n", id, k + 1);
          return 0;
        }
        first = false;
        prev = v;
      }
    }
  }
  return 1;
}

int sisy_count_full(int n_member, int n_eq, const int* member_row, const int* eq_ok, const int* eq_residue,
                    const int* eq_column) {
  int f = -1;
  for (int m = 0; m < n_member && f < 0; m++)
    if (member_row[m] >= 0) f = m;
  if (f < 0) return 0;
  int full = 0;
  for (int r = 0; r < n_eq; r++) {
    if (!eq_ok[r]) continue;
    bool all = true;
    const size_t base = (size_t)r * n_member;
    for (int m = f + 1; m < n_member && all; m++) {
      if (member_row[m] < 0) continue;
      all = eq_residue[base + m] >= 0 && eq_residue[base + f] >= 0 && eq_column[base + m] == eq_column[base + f];
    }
    if (all) full++;
  }
  return full;
}

int sisy_count_pairs(int n_member, int n_eq, const int* member_row, const int* eq_ok, const int* eq_residue,
                     const int* eq_column) {
  int pairs = 0;
  for (int r = 0; r < n_eq; r++) {
    if (!eq_ok[r]) continue;
    const size_t base = (size_t)r * n_member;
    for (int i = 0; i < n_member; i++) {
      if (member_row[i] < 0 || eq_residue[base + i] < 0) continue;
      for (int j = i + 1; j < n_member; j++)
        if (member_row[j] >= 0 && eq_residue[base + j] >= 0 && eq_column[base + j] == eq_column[base + i]) pairs++;
    }
  }
  return pairs;
}

int sisy_count_ok(int n, const int* flags) {
  int count = 0;
  for (int k = 0; k < n; k++) count += flags[k] != 0;
  return count;
}

int sisy_count_afps(const _trel_msa* msa, int i, int j, double d2_max, int n_member, int n_eq,
                    const int* member_row, const int* eq_residue, char* afp_flag) {
  const int si = member_row[i], sj = member_row[j];
  if (si < 0 || sj < 0 || !msa->images[si] || !msa->images[sj]) return 0;
  const _pdb_image* a = msa->images[si];
  const _pdb_image* b = msa->images[sj];
  auto res = [&](int r, int m) { return eq_residue[(size_t)r * n_member + m]; };
  int afps = 0;
  for (int r = 0; r < n_eq;) {
    if (res(r, i) < 0 || res(r, j) < 0) {
      r++;
      continue;
    }
    // A block: rows whose residues of both members run on one by one.
    int end = r + 1;
    while (end < n_eq && res(end, i) == res(end - 1, i) + 1 && res(end, j) == res(end - 1, j) + 1) end++;
    for (int k = r; k < end; k++)
      afp_flag[k] = d2_ptpt(zam_ptPdbResidue(a, res(k, i)), zam_ptPdbResidue(b, res(k, j))) <= d2_max ? 1 : 0;
    afps += count_afp_flags(3, afp_flag + r, end - r);
    r = end;
  }
  return afps;
}

int trel_analyseHOMSTRAD(_trel_msa* msa, const char* homstrad_file, const _trel_options* options) {
  zam_msg("Loading REFERENCE alignment %s\n", ref_text(homstrad_file));
  zam_msg("\n");
  _trel_options local = options ? *options : _trel_options{};
  local.with_unified = 0;
  _trel_msa* ref = loadMSA(homstrad_file, "ent", &local);
  if (!ref) {
    zam_msg("failed to load REFERENCE alignment: %s\n", ref_text(homstrad_file));
    return 0;
  }
  // Every row's own structure is measured against the others and the core
  // columns need each row: without one, the counts and ratios would stand
  // for a family the file does not describe.
  bool whole = true;
  for (int m = 0; m < ref->n_struct; m++)
    if (!ref->images[m]) {
      zam_err("REFERENCE alignment %s: no structure for row %s; it cannot be measured\n", ref_text(homstrad_file),
              ref->names[m]);
      whole = false;
    }
  if (!whole) {
    trel_freeMSA(ref);
    return 0;
  }
  kfree(ref->name);
  ref->name = kdupS(ref_run_name(homstrad_file, options).c_str());
  trel_checkMSA(ref, homstrad_file, options);
  const int n_ref = ref->n_struct;
  std::vector<int> member_row((size_t)n_ref, -1);
  int matched = 0;
  for (int m = 0; m < n_ref; m++) {
    for (int s = 0; s < msa->n_struct; s++) {
      const bool exact = strcmp(ref->names[m], msa->names[s]) == 0;
      if (!exact && !ref_name_matches(msa->names[s], ref->names[m])) continue;
      if (msa->images[s]) {
        zam_msg(exact ? "Mapping QUERY PDB structure %s to REFERENCE member %s\n"
                      : "Mapping MSA structure %s to REFERENCE member %s\n",
                msa->names[s], ref->names[m]);
        member_row[(size_t)m] = s;
        matched++;
      } else {
        zam_wrn(exact ? "No QUERY PDB structure %s for REFERENCE member %s\n"
                      : "No PDB structure for %s (REFERENCE member %s)\n",
                msa->names[s], ref->names[m]);
      }
      break;
    }
  }
  for (int m = 0; m < n_ref; m++)
    if (member_row[(size_t)m] < 0) zam_wrn("REFERENCE member %s NOT found in QUERY alignment\n", ref->names[m]);
  if (matched < 2) {
    zam_err("Less than 2 REFERENCE members match the QUERY MSA.\n");
    trel_freeMSA(ref);
    return 0;
  }
  zam_msg("\n");
  std::vector<int> core_col;
  for (int c = 0; c < ref->n_col; c++) {
    bool all = true;
    for (int m = 0; m < n_ref && all; m++) all = ref->residue_index[(size_t)c * n_ref + m] >= 0;
    if (all) core_col.push_back(c);
  }
  if (core_col.empty()) {
    zam_msg("Found NO CORE columns in REFERENCE alignment. Comparison not possible.\n");
    trel_freeMSA(ref);
    return 0;
  }
  const int n_core = (int)core_col.size();
  zam_msg("Found %d CORE columns in REFERENCE alignment.\n", n_core);
  std::vector<int> eq_residue((size_t)n_core * n_ref, -1), eq_column((size_t)n_core * n_ref, -1);
  std::vector<int> eq_ok((size_t)n_core, 1);
  for (int m = 0; m < n_ref; m++) {
    const int s = member_row[(size_t)m];
    if (s < 0 || !ref->images[m]) continue;
    const _pdb_image* rimg = ref->images[m];
    const _pdb_image* qimg = msa->images[s];
    for (int k = 0; k < n_core; k++) {
      const _pdb_residue& rr = rimg->residues[ref->residue_index[(size_t)core_col[(size_t)k] * n_ref + m]];
      const int q = ref_find_resnum(qimg, rr.resnum);
      if (q < 0) {
        zam_wrn("Ignoring REFERENCE %s[%s:%s-%s] (not found in PDB %s)\n", ref_text(rimg->path), rr.chain,
                rr.resnum, rr.code, ref_text(qimg->name));
        eq_ok[(size_t)k] = 0;
        continue;
      }
      const _pdb_residue& qr = qimg->residues[q];
      if (strcmp(qr.chain, rr.chain) != 0 || strcmp(qr.code, rr.code) != 0)
        zam_msg("REFERENCE %s[%s:%s-%s] matched PDB %s[%s:%s-%s] \n", ref_text(rimg->name), rr.chain, rr.resnum,
                rr.code, ref_text(qimg->name), qr.chain, qr.resnum, qr.code);
      eq_residue[(size_t)k * n_ref + m] = q;
      eq_column[(size_t)k * n_ref + m] = ref_find_column(msa, s, q);
    }
  }
  zam_msg("\n");
  zam_msg("Assuming the REFERENCE structures are already superposed.\n");
  zam_msg("Calculating REFERENCE alignment RMSD and counting REFERENCE AFPs.\n");
  RefTally t;
  std::vector<char> afp_flag((size_t)ref->n_col);
  for (int i = 0; i < n_ref; i++)
    for (int j = i + 1; j < n_ref; j++) {
      if (!ref->images[i] || !ref->images[j]) continue;
      std::fill(afp_flag.begin(), afp_flag.end(), 0);
      for (int c = 0; c < ref->n_col; c++) {
        const int a = ref->residue_index[(size_t)c * n_ref + i], b = ref->residue_index[(size_t)c * n_ref + j];
        if (a < 0 || b < 0) continue;
        afp_flag[(size_t)c] = ref_measure(t, "REFERENCE", ref->images[i], a, ref->images[j], b) ? 1 : 0;
      }
      t.afps += count_afp_flags(3, afp_flag.data(), ref->n_col);
    }
  ref_report(t);
  zam_msg("\n");
  zam_msg("Checking core region of REFERENCE MSA for non-sequential residues.\n");
  const int sequential =
      sisy_check_sequential(1, n_ref, n_core, member_row.data(), eq_ok.data(), eq_residue.data());
  zam_msg(sequential ? "REFERENCE MSA is SEQUENTIAL.\n" : "REFERENCE MSA is NON-SEQUENTIAL.\n");
  zam_msg("\n");
  zam_msg("Calculating M-score for REFERENCE alignment\n");
  double M = 0.0, M_span = 0.0;
  trel_mscoreMSA(ref, &M, &M_span);
  zam_msg("REFERENCE MSA:  M = %8.4f\n", M);
  zam_msg("\n");
  const int n_full =
      sisy_count_full(n_ref, n_core, member_row.data(), eq_ok.data(), eq_residue.data(), eq_column.data());
  zam_msg("\n");
  if (!sequential) msa->ref_sequential = 0;
  msa->ref_id = 1;
  msa->query_eq = n_full;
  msa->ref_eq = n_core;
  msa->ref_mscore = M;
  msa->ref_mscore_span = M_span;
  ref_store(msa, t, n_ref * (n_ref - 1) / 2);
  if (options && options->write_pdb)
    trel_writeMSArainbow(ref, tf_identity(), "", "", options->res_folder ? options->res_folder : "./", options);
  trel_freeMSA(ref);
  return 1;
}

namespace {

// The residue of the given structure standing for reference residue rr:
// same chain, number and code, else same number and code in any chain.
void sabmark_check_residue(const _pdb_image* query, const _pdb_image* rimg, const _pdb_residue& rr) {
  int loose = -1;
  for (int i = 0; i < query->nres; i++) {
    const _pdb_residue& q = query->residues[i];
    if (strcmp(q.resnum, rr.resnum) != 0 || strcmp(q.code, rr.code) != 0) continue;
    if (strcmp(q.chain, rr.chain) == 0) return;
    if (loose < 0) loose = i;
  }
  if (loose >= 0) {
    const _pdb_residue& q = query->residues[loose];
    zam_msg("QUERY %s[%s:%s-%s] matched REFERENCE %s[%s:%s-%s]\n", ref_text(query->name), q.chain, q.resnum, q.code,
            ref_text(rimg->name), rr.chain, rr.resnum, rr.code);
    return;
  }
  zam_wrn("Ignoring REFERENCE %s[%s:%s-%s] - not found in PDB %s\n", ref_text(rimg->path), rr.chain, rr.resnum,
          rr.code, ref_text(query->name));
}

// The pair alignments of one SABMARK folder, released as a whole.
struct SabmarkPairs {
  std::vector<_trel_msa*> pairs;
  char** names = nullptr;
  int n_names = 0;
  ~SabmarkPairs() {
    for (_trel_msa* p : pairs) trel_freeMSA(p);
    kfree(names);  // one block with its strings
  }
};

}  // namespace

int trel_analyseSABMARK(_trel_msa* msa, const char* sabmark_folder, const _trel_options* options) {
  const int N = msa->n_struct;
  const int P = N * (N - 1) / 2;
  std::string folder = ref_text(sabmark_folder);
  if (folder.empty() || (folder[0] != '/' && folder[0] != '\\')) {
    // The working folder of any length; one that cannot be had leaves the
    // folder relative to it, which names the same place.
    std::error_code ec;
    const std::string cwd = std::filesystem::current_path(ec).string();
    if (!ec && !cwd.empty()) folder = (cwd.back() == '/' ? cwd : cwd + "/") + folder;
  }
  if (folder.back() != '/') folder += "/";
  zam_msg("Expecting to find %d REFERENCE pairs in folder %s\n", P, folder.c_str());
  if (!zam_isdir(folder.c_str())) {
    zam_err("Not a directory: %s\n", folder.c_str());
    zam_wrn("Cannot do SABMARK benckmark.\n");
    return 0;
  }
  SabmarkPairs set;
  set.names = kscanDir(folder.c_str(), "*.fasta", &set.n_names);
  if (set.n_names != P) {
    zam_err("Found %d SABMARK fasta files in %s but expected %d.\n", set.n_names, folder.c_str(), P);
    zam_wrn("Cannot do SABMARK benckmark.\n");
    return 0;
  }
  _trel_options local = options ? *options : _trel_options{};
  local.with_unified = 0;
  bool failed = false;
  for (int k = 0; k < set.n_names; k++) {
    const std::string path = folder + set.names[k];
    zam_msg("Loading REFERENCE pair %s\n", path.c_str());
    _trel_msa* pair = loadMSA(path.c_str(), "ent", &local);
    if (!pair) {
      zam_err("Failed to read %s\n", path.c_str());
      zam_wrn("Cannot do SABMARK benckmark.\n");
      failed = true;
    } else if (pair->n_struct != 2) {
      zam_err("Reference file %s has %d structures (expected 2)\n", path.c_str(), pair->n_struct);
      zam_wrn("Cannot do SABMARK benckmark.\n");
      failed = true;
    }
    set.pairs.push_back(pair);
  }
  if (failed) return 0;
  std::vector<int> member_row((size_t)2 * P, -1);
  for (int s = 0; s < N; s++)
    for (int k = 0; k < P; k++)
      for (int t = 0; t < 2; t++) {
        const char* member = set.pairs[(size_t)k]->names[t];
        if (!ref_name_matches(msa->names[s], member)) continue;
        if (!msa->images[s]) {
          zam_wrn("No QUERY PDB structure %s for REFERENCE member %s)\n", msa->names[s], member);
          continue;
        }
        member_row[(size_t)2 * k + t] = s;
        if (zam_debug >= 2) zam_msg("Mapping REFERENCE member %s to MSA structure %s\n", member, msa->names[s]);
      }
  bool all = true;
  for (int k = 0; k < P; k++)
    for (int t = 0; t < 2; t++)
      if (member_row[(size_t)2 * k + t] < 0) {
        zam_wrn("Did not match REFERENCE member %s to the QUERY MSA.\n", set.pairs[(size_t)k]->names[t]);
        all = false;
      }
  // A pair member without its own structure cannot be measured either.
  bool measurable = true;
  for (int k = 0; k < P; k++)
    for (int t = 0; t < 2; t++)
      if (!set.pairs[(size_t)k]->images[t]) {
        zam_err("REFERENCE pair %s%s: no structure for member %s\n", folder.c_str(), set.names[k],
                set.pairs[(size_t)k]->names[t]);
        measurable = false;
      }
  if (!all || !measurable) {
    if (!all) zam_wrn("Not all reference structures mapped to the MSA.\n");
    zam_wrn("Cannot do SABMARK benckmark.\n");
    zam_msg("\n");
    return 0;
  }
  zam_msg("\n");
  int total = 0;
  int longest = 0;
  for (int k = 0; k < P; k++) {
    const _trel_msa* pair = set.pairs[(size_t)k];
    longest = std::max(longest, pair->n_col);
    for (int c = 0; c < pair->n_col; c++) {
      const int a = pair->residue_index[(size_t)c * 2], b = pair->residue_index[(size_t)c * 2 + 1];
      if (a < 0 || b < 0) continue;
      total++;
      sabmark_check_residue(msa->images[member_row[(size_t)2 * k]], pair->images[0], pair->images[0]->residues[a]);
      sabmark_check_residue(msa->images[member_row[(size_t)2 * k + 1]], pair->images[1],
                            pair->images[1]->residues[b]);
    }
  }
  if (total == 0)
    zam_wrn("Found a total of ZERO REFERENCE pairs!!\n");
  else
    zam_msg("Found a total of %d REFERENCE pairs.\n", total);
  zam_msg("\n");
  zam_msg("Superposing the SABMARK reference pairs.\n");
  std::vector<Point3D> A((size_t)longest), B((size_t)longest);
  for (int k = 0; k < P; k++) {
    const _trel_msa* pair = set.pairs[(size_t)k];
    _pdb_image* i0 = pair->images[0];
    _pdb_image* i1 = pair->images[1];
    int n = 0;
    for (int c = 0; c < pair->n_col; c++) {
      const int a = pair->residue_index[(size_t)c * 2], b = pair->residue_index[(size_t)c * 2 + 1];
      if (a < 0 || b < 0) continue;
      const _pdb_residue& x = i0->residues[a];
      const _pdb_residue& y = i1->residues[b];
      zam_msg("Fitting SAMBARK pair: %s[%s:%s-%s] - %s[%s:%s-%s]\n", ref_text(i0->name), x.chain, x.resnum, x.code,
              ref_text(i1->name), y.chain, y.resnum, y.code);
      A[(size_t)n] = zam_ptPdbResidue(i0, a);
      B[(size_t)n] = zam_ptPdbResidue(i1, b);
      n++;
    }
    if (n < 1) continue;
    // Member 1 moves: the fit maps its points (the first list) onto member 0's.
    const Matrix3D T = trel_fitPts(n, B.data(), A.data());
    zam_msg("SABMARK pair fitted with Npts = %d, RMSD = %.3f\n", n, rms_tf_pts(n, B.data(), A.data(), T));
    zam_movePdb(i1, T);
  }
  zam_msg("\n");
  zam_msg("Calculating SABMARK alignment RMSD and counting AFPs.\n");
  RefTally t;
  std::vector<char> afp_flag((size_t)longest);
  for (int k = 0; k < P; k++) {
    const _trel_msa* pair = set.pairs[(size_t)k];
    std::fill(afp_flag.begin(), afp_flag.end(), 0);
    for (int c = 0; c < pair->n_col; c++) {
      const int a = pair->residue_index[(size_t)c * 2], b = pair->residue_index[(size_t)c * 2 + 1];
      if (a < 0 || b < 0) continue;
      afp_flag[(size_t)c] = ref_measure(t, "REFERENCE", pair->images[0], a, pair->images[1], b) ? 1 : 0;
    }
    t.afps += count_afp_flags(3, afp_flag.data(), pair->n_col);
  }
  ref_report(t);
  zam_msg("\n");
  msa->ref_id = 1;
  msa->query_eq = 0;
  msa->ref_eq = 0;
  msa->ref_mscore = msa->ref_mscore_span = 0.0;
  ref_store(msa, t, P);
  zam_msg("\n");
  return 1;
}
