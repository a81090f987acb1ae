#include "msa/trel_msa_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_fit.h"
#include "align/trel_markup.h"
#include "geometry/zam_transform.h"
#include "output/trel_pair_names.h"
#include "output/trel_print.h"
#include "output/trel_run_options.h"
#include "output/trel_write_align.h"
#include "output/trel_write_msa.h"
#include "output/trel_write_pdb.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "structure/zam_pdb.h"

namespace {

// A column of a structure pair counts towards an AFP within 3.5 A (inclusive).
constexpr double kCloseD2 = 12.25;
// An aligned pair further apart than 8 A is a distance violation.
constexpr double kViolationD2 = 64.0;
// Shortest run of close columns that makes an AFP.
constexpr int kShortestAfp = 3;

const char* text(const char* s) { return s ? s : ""; }

int cell_index(const _trel_msa* msa, int c, int s) { return msa->residue_index[(size_t)c * msa->n_struct + s]; }

bool all_structures(const _trel_msa* msa) {
  for (int s = 0; s < msa->n_struct; s++)
    if (!msa->images[s]) return false;
  return true;
}

Point3D position(const _trel_msa* msa, int c, int s) { return zam_ptPdbResidue(msa->images[s], cell_index(msa, c, s)); }

const _pdb_residue* residue(const _trel_msa* msa, int c, int s) {
  const int i = cell_index(msa, c, s);
  const _pdb_image* image = msa->images[s];
  return image && i >= 0 && i < image->nres ? &image->residues[i] : nullptr;
}

// What the pair measures of the structures give for the summary.
struct PairTotals {
  int pairs = 0, identities = 0, afps = 0, violations = 0;
  double sum_d2 = 0.0;
};

PairTotals measure_pairs(_trel_msa* msa) {
  PairTotals t;
  const int n = msa->n_struct, cols = msa->n_col;
  std::fill(msa->col_msd, msa->col_msd + cols, 0.0f);
  std::vector<char> flags((size_t)cols);
  for (int i = 0; i < n; i++)
    for (int j = i + 1; j < n; j++) {
      std::fill(flags.begin(), flags.end(), 0);
      for (int c = 0; c < cols; c++) {
        const _pdb_residue* a = residue(msa, c, i);
        const _pdb_residue* b = residue(msa, c, j);
        if (cell_index(msa, c, i) < 0 || cell_index(msa, c, j) < 0) continue;
        const double d2 = d2_ptpt(position(msa, c, i), position(msa, c, j));
        msa->col_msd[c] += (float)d2;
        t.sum_d2 += d2;
        t.pairs++;
        if (d2 > kViolationD2) t.violations++;
        if (d2 <= kCloseD2) flags[(size_t)c] = 1;
        if (a && b && std::string(a->resname) == b->resname) t.identities++;
        zam_msg("QUERY pair: %s[%s-%s:%s] - %s[%s-%s:%s] = %.3f\n", text(msa->images[i]->name),
                a ? a->chain : "", a ? a->resnum : "", a ? a->code : "", text(msa->images[j]->name),
                b ? b->chain : "", b ? b->resnum : "", b ? b->code : "", std::sqrt(d2));
      }
      t.afps += count_afp_flags(kShortestAfp, flags.data(), cols);
    }
  for (int c = 0; c < cols; c++)
    if (msa->col_count[c] > 1) msa->col_msd[c] /= (float)msa->col_count[c];
  return t;
}

double pct(int k, int n) { return n > 0 ? 100.0 * k / n : 0.0; }

// What a measure that needs every row's structure reads when a row has none:
// "nan" keeps the field's width and column, and a reader taking the field as
// a number gets a NaN rather than a 0.000 that looks perfect.
constexpr const char* kUnmeasured = "nan";

// One ".ksum" field: value in width with decimals places, or kUnmeasured.
std::string ksum_field(bool measured, int width, int decimals, double value) {
  char field[64];
  if (measured)
    snprintf(field, sizeof field, "%*.*f", width, decimals, value);
  else
    snprintf(field, sizeof field, "%*s", width, kUnmeasured);
  return field;
}

// The column-class RMSD of a log line, or that it was not measured.
std::string rmsd_text(bool measured, float rmsd) {
  char text[64];
  snprintf(text, sizeof text, "RMSD = %.2f", rmsd);
  return measured ? text : "RMSD not measured";
}

// The ".ksum" texts of this run by file: with a job name every alignment
// adds its row to the same file, which is written whole each time.
std::map<std::string, std::string>& ksum_rows() {
  static std::map<std::string, std::string> rows;
  return rows;
}
bool header_written = false;

// Alignment names whose files this run has written, by results folder. Without a job name an
// alignment is named by its first row, so two alignments that start with the
// same structure would write the same files: a later one takes the first
// free name "<name>_<k>" (k = 2, 3, ...) and keeps its own. Under a job name
// every alignment shares the name, and the ".ksum" file gathers their rows.
std::set<std::string>& taken_names() {
  static std::set<std::string> names;
  return names;
}

// Gives msa a name no earlier alignment of the run has used; returns what
// was added to its name ("" when nothing), which also marks its pair files.
std::string take_own_name(_trel_msa* msa, const std::string& folder, const _trel_options* o) {
  const std::string name = text(msa->name);
  if (o->job_name && o->job_name[0]) return "";
  // The header file's name is never an alignment's.
  if (name != "00_header" && taken_names().insert(folder + name).second) return "";
  std::string tag;
  for (int k = 2; tag.empty(); k++) {
    // Built by appending: GCC 12 at -O3 warns falsely on "_" + std::string.
    std::string candidate = "_";
    candidate += std::to_string(k);
    if (taken_names().insert(folder + name + candidate).second) tag = candidate;
  }
  zam_wrn("An earlier alignment of this run is named %s: this one's files are named %s%s\n", name.c_str(),
          name.c_str(), tag.c_str());
  kfree(msa->name);
  msa->name = kdupS((name + tag).c_str());
  return tag;
}

void write_pdb(const _pdb_image* image, const std::string& path, const char* what,
               const _trel_options* o) {
  zam_msg("Writing %s %s to PDB file: %s\n", what, text(image->name), path.c_str());
  if (_trel_pdb_out* out = trel_openPdbOut(path.c_str())) {
    zam_writePdbFile(out->fp, image, -1, 0, o->export_mode, o->sse_mode, 1, 0, tf_identity());
    trel_closePdbOut(out);
  }
}

// tag goes into the names of the pivot and pair files (see take_own_name).
void write_structures(_trel_msa* msa, const std::string& folder, const std::string& tag, const _trel_options* o) {
  const Matrix3D id = tf_identity();
  trel_writeMSArainbow(msa, id, "_msa", "", folder.c_str(), o);
  _pdb_image* pivot = msa->images[0];
  if (o->with_unified) {
    const std::string path = folder + zam_fileName({text(msa->name)}, ".pdb");
    if (_trel_pdb_out* out = trel_openPdbOut(path.c_str())) {
      int serial = 0;
      for (int s = 0; s < msa->n_struct; s++) {
        const _pdb_image* image = msa->images[s];
        zam_msg("Writing %s %s to PDB file: %s\n", s == 0 ? "PIVOT " : "QUERY", text(image->name), path.c_str());
        if (s == 0)
          zam_fprintf(out->fp, "REMARK  Pivot:     %s\n", text(image->name));
        else
          zam_fprintf(out->fp, "REMARK  Target:     %s\n", text(image->name));
        zam_fprintf(out->fp, "MODEL %8d\n", s + 1);
        serial = zam_writePdbFile(out->fp, image, -1, 0, o->export_mode, o->sse_mode, 1, serial, id);
        zam_fprintf(out->fp, "ENDMDL\n");
      }
      trel_closePdbOut(out);
    }
  }
  const std::string pivot_tag = "_pivot" + tag;
  write_pdb(pivot, folder + zam_fileName({text(pivot->name)}, pivot_tag + ".pdb"), "PIVOT ", o);
  for (int s = 1; s < msa->n_struct; s++) {
    _pdb_image* image = msa->images[s];
    // The pair's files name the pivot's and this structure's PDB files; no
    // masked PDB file is written here.
    _trel_pair_names names = trel_pairNames(pivot->name, image->name, pivot_tag.c_str(), tag.c_str());
    names.query_mask_out = names.target_mask_out = "";
    write_pdb(image, folder + names.target_out, "QUERY", o);
    _trel_align* align = trel_extractMSA(0, s, msa, o->ca_contact);
    trel_writeAlignNamed(align, pivot, image, names, folder.c_str(), id, o);
    if (o->write_krmsd) trel_writeKrmsdNamed(align, pivot, image, names, folder.c_str());
    trel_freeAlign(align);
  }
}

}  // namespace

int count_afp_flags(int min_run, const char* flags, int n) {
  int count = 0;
  for (int i = 0; i < n;) {
    if (flags[i] != 1) {
      i++;
      continue;
    }
    int run = 0;
    while (i < n && flags[i] == 1) run++, i++;
    if (run >= min_run) count++;
  }
  return count;
}

void trel_mscoreMSA(_trel_msa* msa, double* M, double* m) {
  *M = *m = 0.0;
  if (!msa) return;
  const int n = msa->n_struct, cols = msa->n_col;
  std::vector<double> term((size_t)cols, 0.0);
  int first = -1, last = -1;
  for (int c = 0; c < cols; c++) {
    int count = 0;
    Point3D centre{0.0, 0.0, 0.0};
    for (int s = 0; s < n; s++) {
      if (cell_index(msa, c, s) < 0) continue;
      count++;
      if (!msa->images[s]) continue;
      const Point3D p = position(msa, c, s);
      centre.x += p.x, centre.y += p.y, centre.z += p.z;
    }
    if (count > 0) centre.x /= count, centre.y /= count, centre.z /= count;
    msa->col_count[c] = count;
    msa->col_centre[c] = centre;
    float sum = 0.0f;
    for (int s = 0; s < n; s++)
      if (cell_index(msa, c, s) >= 0 && msa->images[s]) sum += getMscore((float)d2_ptpt(position(msa, c, s), centre));
    msa->col_mscore[c] = sum;
    term[(size_t)c] = count >= 1 ? std::max(sum, 1.0f) - 1.0f : 0.0;
    if (count > 1) {
      if (first < 0) first = c;
      last = c;
    }
  }
  double all = 0.0;
  for (double t : term) all += t;
  if (msa->n_residues - msa->max_length >= 1) *M = all / (msa->n_residues - msa->max_length);
  if (first < 0) first = 0, last = cols - 1;
  double span = 0.0;
  for (int c = first; c <= last; c++) span += term[(size_t)c];
  int sum_k = 0, max_k = 0;
  for (int s = 0; s < n; s++) {
    int k = 0;
    for (int c = first; c <= last; c++) k += cell_index(msa, c, s) >= 0;
    sum_k += k;
    max_k = std::max(max_k, k);
  }
  if (sum_k - max_k >= 1) *m = span / (sum_k - max_k);
}

_trel_align* trel_extractMSA(int row_a, int row_b, const _trel_msa* msa, float cutoff) {
  if (!msa || row_a < 0 || row_b < 0 || row_a >= msa->n_struct || row_b >= msa->n_struct) return nullptr;
  if (!msa->images[row_a] || !msa->images[row_b]) return nullptr;
  auto* a = (_trel_align*)kget1B_0(sizeof(_trel_align));
  a->ncolumns = msa->n_col;
  a->nsegments = 1;
  a->tf = tf_identity();
  a->columns = (_trel_a_column*)kget1B_0((int64_t)sizeof(_trel_a_column) * std::max(msa->n_col, 1));
  for (int c = 0; c < msa->n_col; c++) {
    _trel_a_column& col = a->columns[c];
    col.qres = cell_index(msa, c, row_a);
    col.tres = cell_index(msa, c, row_b);
    col.score = 1.0f;
    col.mark = ' ';
  }
  trel_markupAlignPdb(a, msa->images[row_a], msa->images[row_b], cutoff);
  return a;
}

int trel_analyseMSA(_trel_msa* msa, const _trel_options* options) {
  if (!msa || !options) return 0;
  const int n = msa->n_struct, cols = msa->n_col;
  const int core = std::clamp(options->core_rule * (n - 1) / 100 + 1, 2, std::max(n, 2));
  zam_msg("Setting CORE criterion = %d rows (including pivot)\n\n", core);
  const bool structures = all_structures(msa);
  if (structures) {
    zam_msg("Analysing QUERY MSA (%d structures, %d columns)...\n", n, cols);
  } else {
    zam_msg("Analysing QUERY MSA (%d sequences, %d columns)...\n", n, cols);
    zam_msg("(missing PDB data for some or all structures - RMSDs not possible)\n");
  }
  for (int c = 0; c < cols; c++) {
    int count = 0;
    for (int s = 0; s < n; s++) count += cell_index(msa, c, s) >= 0;
    msa->col_count[c] = count;
  }
  double M = 0.0, m = 0.0, q_pairs = 0.0, q_ident = 0.0, q_afp = 0.0, q_viol = 0.0;
  if (structures) {
    for (int s = 0; s < n; s++)
      if (msa->images[s]->nres != msa->row_letters[s])
        zam_wrn("PDB file %s has %d residues, but MSA has %d letters!\n", text(msa->images[s]->name),
                msa->images[s]->nres, msa->row_letters[s]);
    trel_mscoreMSA(msa, &M, &m);
    const PairTotals t = measure_pairs(msa);
    const double rmsd = t.pairs > 0 ? std::sqrt(t.sum_d2 / t.pairs) : -1.0;
    const int d = n * (n - 1) / 2;
    q_pairs = (double)t.pairs / d;
    q_ident = (double)t.identities / d;
    q_afp = (double)t.afps / d;
    q_viol = (double)t.violations / d;
    zam_msg("Found %d QUERY AFPs, %d IDENTITIES, and %d DISTANCE VIOLATIONS.\n", t.afps, t.identities,
            t.violations);
    zam_msg("Overall QUERY RMSD (ALL PAIRS) is %.3f for %d pairs.\n\n", rmsd, t.pairs);
  }
  int empty = 0, single = 0;
  for (int c = 0; c < cols; c++) empty += msa->col_count[c] == 0, single += msa->col_count[c] == 1;
  zam_msg("No. of EMPTY columns     (N==%d) is %d (%d/%d = %.1f!)\n", 0, empty, empty, cols, pct(empty, cols));
  zam_msg("No. of SINGLE columns    (N==%d) is %d (%d/%d = %.1f!)\n", 1, single, single, cols, pct(single, cols));
  std::vector<int> count((size_t)n + 1, 0);
  std::vector<float> rms((size_t)n + 1, 0.0f);
  for (int t = n; t >= 2; t--) {
    double sum = 0.0;
    for (int c = 0; c < cols; c++)
      if (msa->col_count[c] >= t) count[(size_t)t]++, sum += msa->col_msd[c];
    if (count[(size_t)t] > 0) rms[(size_t)t] = std::sqrt((float)(sum / count[(size_t)t]));
  }
  for (int t = 2; t <= n; t++)
    if (count[(size_t)t] == 0) rms[(size_t)t] = rms[(size_t)t - 1];
  for (int t = 2; t < n; t++)
    zam_msg("No. of PARTIAL columns   (N>=%d) is %d (%d/%d = %.1f!); %s\n", t, count[(size_t)t], count[(size_t)t],
            cols, pct(count[(size_t)t], cols), rmsd_text(structures, rms[(size_t)t]).c_str());
  zam_msg("No. of FULL columns      (N==%d) is %d (%d/%d = %.1f!); %s\n", n, count[(size_t)n], count[(size_t)n],
          cols, pct(count[(size_t)n], cols), rmsd_text(structures, rms[(size_t)n]).c_str());
  zam_msg("No. of CORE columns      (N>=%d) is %d (%d/%d = %.1f!); %s\n\n", core, count[(size_t)core],
          count[(size_t)core], cols, pct(count[(size_t)core], cols), rmsd_text(structures, rms[(size_t)core]).c_str());
  const int q_core = count[(size_t)core];
  const double q_rmsd = rms[(size_t)core];
  // Residue counts and the M-score of an alignment with a row whose
  // structure is missing would be those of the other rows.
  if (structures) {
    zam_msg("Total Residues (T) = %d\n", msa->n_residues);
    zam_msg("Core  Residues (C) = %d\n", q_core);
    zam_msg("Longest Chain  (L) = %d\n\n", msa->max_length);
    zam_msg("M-score (ALL columns)  = %.5f\n\n", M);
  } else {
    zam_msg("Total Residues (T) not measured\n");
    zam_msg("Core  Residues (C) = %d\n", q_core);
    zam_msg("Longest Chain  (L) not measured\n\n");
    zam_msg("M-score (ALL columns)  not measured\n\n");
  }

  const std::string folder = text(options->res_folder);
  const std::string tag = take_own_name(msa, folder, options);
  if (options->do_write) {
    trel_writeMSA(msa, tf_identity(), "_msa", "", folder.c_str(), options);
    if (structures && options->write_pdb) write_structures(msa, folder, tag, options);
  }

  const std::string file = folder + zam_fileName({text(msa->name)}, ".ksum");
  zam_msg("Writing MSA summary file: %s\n", file.c_str());
  if (!structures) {
    int s = 0;
    while (msa->images[s]) s++;
    zam_wrn("Alignment %s: row %s has no structure, so Qs, Ql, Qrmsd, QM, Qm, Qpairs, Qident, Qafp and Qviol "
            "read %s in %s\n",
            text(msa->name), text(msa->names[s]), kUnmeasured, file.c_str());
  }
  // The query columns: width, decimals, value, and whether the value needs
  // every row's structure.
  struct Field {
    int width, decimals;
    double value;
    bool needs_structures;
  };
  const Field query[] = {{4, 0, (double)n, false},                  // Qn
                         {6, 0, (double)msa->min_length, true},     // Qs
                         {6, 0, (double)msa->max_length, true},     // Ql
                         {6, 0, (double)q_core, false},             // Qcore
                         {8, 3, q_rmsd, true},                      // Qrmsd
                         {8, 3, M, true},                           // QM
                         {8, 2, m, true},                           // Qm
                         {8, 2, q_pairs, true},                     // Qpairs
                         {8, 2, q_ident, true},                     // Qident
                         {8, 2, q_afp, true},                       // Qafp
                         {8, 2, q_viol, true}};                     // Qviol
  std::string row;
  for (const Field& f : query)
    row += ", " + ksum_field(structures || !f.needs_structures, f.width, f.decimals, f.value);
  char tail[512];
  snprintf(tail, sizeof tail, ", %4d, %6d, %6d, %8.3f, %8.3f, %8.3f, %8.2f, %8.2f, %8.2f, %8.2f, %d\n", msa->ref_id,
           msa->query_eq, msa->ref_eq, msa->ref_rmsd, msa->ref_mscore, msa->ref_mscore_span, msa->ref_pairs,
           msa->ref_ident, msa->ref_afp, msa->ref_viol, msa->ref_sequential);
  row += tail;
  // The name goes in apart from the fixed-width fields: it may be of any length.
  std::string& body = ksum_rows()[file];
  const bool shared = options->job_name && options->job_name[0];
  body = (shared ? body : std::string()) + text(msa->name) + row;
  const int written = trel_writeText(file, body);
  if (!header_written)
    header_written = trel_writeText(folder + "00_header.ksum",
                                    "Name, Qn, Qs, Ql, Qcore, Qrmsd, QM, Qm, Qpairs, Qident, Qafp, Qviol, Sid, Qeq, "
                                    "Req, Rrmsd, RM, Rm, Rpairs, Rident, Rafp, Rviol, Seq\n");
  return written && header_written;
}
