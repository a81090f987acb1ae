// The SISY comparison of the score mode: the reference file is read line by
// line (a member list, then alternatives of equivalence rows with one
// "number:code:chain" cell per member), the given structures are superposed
// on each alternative's rows, and the best alternative fills the reference
// fields of the given alignment.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "align/trel_fit.h"
#include "geometry/zam_qcp.h"
#include "msa/trel_msa_analysis.h"
#include "msa/trel_msa_input.h"
#include "msa/trel_msa_reference.h"
#include "msa/trel_reference_measure.h"
#include "output/trel_run_options.h"
#include "output/trel_write_msa.h"
#include "output/trel_write_pdb.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "structure/zam_pdb.h"

namespace {

// The file as it is read: one line at a time into a buffer sized by the
// file, so that any line of a plain file fits whole. A tag counts only at
// the very start of a line.
struct SisyReader {
  _zam_file* f;
  std::vector<char> line;
  explicit SisyReader(const char* path) : f(zam_fopen(path, "r")) {
    const int64_t size = zam_filesize(path);
    line.assign((size_t)std::clamp<int64_t>(size + 2, 1 << 16, INT_MAX / 2), '\0');
  }
  ~SisyReader() {
    if (f) zam_fclose(f);
  }
  SisyReader(const SisyReader&) = delete;
  SisyReader& operator=(const SisyReader&) = delete;
  bool next() { return zam_freadln(f, (int)line.size(), line.data()) >= 0; }
  // The line in the buffer first, then the lines after it.
  bool find(const char* tag) { return zam_ffindln(f, tag, (int)line.size(), line.data()) == 1; }
  const char* text() const { return line.data(); }
  // Lines read so far: the number of the line in the buffer.
  int at() const { return zam_fline(f); }
};

// The value opened by the first (which 0) or the third (which 1) double quote
// of line, read as an integer in C notation (decimal, 0x hexadecimal, 0
// octal) and kept within int; 0 when there is none.
int quoted_value(const char* line, int which) {
  const char* q = strchr(line, '"');
  for (int k = 0; k < 2 * which && q; k++) q = strchr(q + 1, '"');
  if (!q) return 0;
  char* end = nullptr;
  const long long v = strtoll(q + 1, &end, 0);
  if (end == q + 1) return 0;
  return (int)std::clamp<long long>(v, INT_MIN, INT_MAX);
}

bool blank(char c) { return isspace((unsigned char)c) != 0; }

std::string first_token(const char* from, const char* to) {
  while (from < to && blank(*from)) from++;
  const char* end = from;
  while (end < to && !blank(*end)) end++;
  return std::string(from, end);
}

// A member element: the first token after the line's first '>', cut at '<'.
std::string member_name(const char* line) {
  const char* p = strchr(line, '>');
  if (!p) return "";
  const char* to = p + 1 + strlen(p + 1);
  std::string name = first_token(p + 1, to);
  return name.substr(0, name.find('<'));
}

// One cell of an equivalence row: residue number text (with insertion code),
// one-letter code and chain, split at the first two colons.
struct SisyCell {
  std::string number, code, chain;
};

SisyCell parse_cell(const char* from, const char* to) {
  const char* c1 = std::find(from, to, ':');
  const char* c2 = c1 < to ? std::find(c1 + 1, to, ':') : to;
  SisyCell cell;
  cell.number = first_token(from, c1);
  if (c1 < to) cell.code = first_token(c1 + 1, c2);
  if (c2 < to) cell.chain = first_token(c2 + 1, to);
  return cell;
}

// The n cells of a row line: after the row's opening '>', each element's
// text runs from its '>' to the next '<', and the scan goes on past the '>'
// that closes the element. False when the line holds fewer elements.
bool row_cells(const char* line, int n, SisyCell* cells) {
  const char* p = strchr(line, '>');
  if (!p) return false;
  p++;
  for (int m = 0; m < n; m++) {
    const char* open = strchr(p, '>');
    if (!open) return false;
    const char* close = strchr(open + 1, '<');
    if (!close) return false;
    cells[m] = parse_cell(open + 1, close);
    const char* end = strchr(close + 1, '>');
    p = end ? end + 1 : close + strlen(close);
  }
  return true;
}

// One alternative as read: its id and n_eq rows of one cell per member.
struct SisyAlternative {
  int id = 0, n_eq = 0;
  std::vector<SisyCell> cells;  // row-major: row r, member m at r * n_member + m
};

// Reads the next alternative. Rows are read before anything is sized by the
// declared count, so a false count meets the end of the file, never a huge
// allocation. False after a message naming the file.
bool read_alternative(SisyReader& r, const char* path, int n_member, SisyAlternative& alt) {
  if (!r.find("<alternative")) {
    zam_wrn("Failed to find <alternative> in %s (after line %d)\n", path, r.at());
    return false;
  }
  alt.id = quoted_value(r.text(), 0);
  alt.n_eq = quoted_value(r.text(), 1);
  if (alt.n_eq < 1) {
    zam_wrn("Bad n_eq = %d in file %s, line %d\n", alt.n_eq, path, r.at());
    return false;
  }
  if (!r.find("<mequivalences")) {
    zam_wrn("Failed to find <mequivalences> in %s (after line %d)\n", path, r.at());
    return false;
  }
  alt.cells.clear();
  for (int k = 0; k < alt.n_eq; k++) {
    const size_t at = alt.cells.size();
    alt.cells.resize(at + (size_t)n_member);
    if (!r.next() || !row_cells(r.text(), n_member, alt.cells.data() + at)) {
      zam_wrn("Failed to <row> of SISY file: %s, line %d\n", path, r.at());
      return false;
    }
  }
  return true;
}

// What one comparison keeps from alternative to alternative.
struct SisyRun {
  _trel_msa* msa;
  const _trel_options* options;
  std::string run_name;
  std::vector<std::string> members;
  std::vector<int> member_row;  // row of msa per member, -1 unmapped
  int n_mapped = 0;
};

void write_reference(const SisyRun& run, _trel_msa* ref, const char* id) {
  const _trel_options* o = run.options;
  const std::string folder = o->res_folder ? o->res_folder : "./";
  trel_writeMSArainbow(ref, tf_identity(), "", "", folder.c_str(), o);
  trel_writeMSA(ref, tf_identity(), "", "", folder.c_str(), o);
  for (size_t m = 0; m < run.members.size(); m++) {
    if (run.member_row[m] < 0) continue;
    const _pdb_image* image = run.msa->images[run.member_row[m]];
    const std::string path = folder + zam_fileName({ref_text(image->name)}, std::string("_reference_") + id + ".pdb");
    if (_trel_pdb_out* out = trel_openPdbOut(path.c_str())) {
      zam_writePdbFile(out->fp, image, -1, 0, o->export_mode, o->sse_mode, 1, 0, tf_identity());
      trel_closePdbOut(out);
    }
  }
}

// Superposes, measures and scores one alternative, keeps it in msa when it
// is the best so far, and puts the structures back where they were. False,
// after a message and with nothing moved or kept, when too few of its rows
// are residues of the given structures to be measured.
bool compare_alternative(SisyRun& run, const SisyAlternative& alt, const char* path) {
  _trel_msa* msa = run.msa;
  const int n_member = (int)run.members.size(), n_eq = alt.n_eq, n_struct = msa->n_struct;
  const int* member_row = run.member_row.data();
  std::vector<int> eq_residue((size_t)n_eq * n_member, -1), eq_column((size_t)n_eq * n_member, -1);
  std::vector<int> eq_ok((size_t)n_eq, 1);
  auto res = [&](int r, int m) { return eq_residue[(size_t)r * n_member + m]; };
  auto image_of = [&](int m) { return msa->images[member_row[m]]; };
  auto ca = [&](int r, int m) { return zam_ptPdbResidue(image_of(m), res(r, m)); };

  for (int r = 0; r < n_eq; r++)
    for (int m = 0; m < n_member; m++) {
      if (member_row[m] < 0) continue;
      const SisyCell& cell = alt.cells[(size_t)r * n_member + m];
      const _pdb_image* image = image_of(m);
      const int q = ref_find_resnum(image, cell.number.c_str());
      if (q < 0) {
        zam_wrn("Ignoring SISY %s[%s:%s-%s] (not found in PDB %s)\n", run.members[(size_t)m].c_str(),
                cell.chain.c_str(), cell.number.c_str(), cell.code.c_str(), ref_text(image->name));
        eq_ok[(size_t)r] = 0;
        continue;
      }
      const _pdb_residue& found = image->residues[q];
      if (cell.chain != found.chain || cell.code != found.code)
        zam_msg("SISY %s[%s:%s-%s] matched PDB %s[%s:%s-%s] \n", run.members[(size_t)m].c_str(), cell.chain.c_str(),
                cell.number.c_str(), cell.code.c_str(), ref_text(image->name), found.chain, found.resnum, found.code);
      eq_residue[(size_t)r * n_member + m] = q;
      eq_column[(size_t)r * n_member + m] = ref_find_column(msa, member_row[m], q);
    }
  auto usable = [&](int r, int i, int j) { return eq_ok[(size_t)r] && res(r, i) >= 0 && res(r, j) >= 0; };
  // A few rows may name residues a structure lacks (disordered, or held as
  // HETATM) and are left out; when most do, or fewer than three rows remain
  // to superpose on, the alternative is one of other structures (another
  // numbering, another chain) and its measures would be those of a handful
  // of rows. It is left out; the others are still compared.
  const int kept = (int)std::count(eq_ok.begin(), eq_ok.end(), 1);
  if (kept < 3 || 2 * kept < n_eq) {
    zam_wrn("SISY file %s, alternative %d: only %d of its %d rows are residues of the given structures; "
            "it is not compared\n",
            path, alt.id, kept, n_eq);
    return false;
  }

  // First pass: every row onto row 0 over the rows both members hold.
  zam_msg("\n");
  zam_msg("Superposing the QUERY structures using the SISY reference.\n");
  std::vector<int> row_member((size_t)n_struct, -1);  // of several, the last in member order
  for (int m = 0; m < n_member; m++)
    if (member_row[m] >= 0) row_member[(size_t)member_row[m]] = m;
  std::vector<Point3D> fixed((size_t)n_eq), moving((size_t)n_eq), centre((size_t)n_eq);
  const int p = row_member[0];
  int np = 0, fits = 0;
  double rms_sum = 0.0;
  for (int s = 1; s < n_struct && p >= 0; s++) {
    const int q = row_member[(size_t)s];
    if (q < 0) continue;
    const _pdb_image* a = msa->images[0];
    const _pdb_image* b = msa->images[s];
    int n = 0;
    for (int r = 0; r < n_eq; r++) {
      if (!usable(r, p, q)) continue;
      const _pdb_residue& x = a->residues[res(r, p)];
      const _pdb_residue& y = b->residues[res(r, q)];
      zam_msg("Fitting SISY pair: %s[%s:%s-%s] - %s[%s:%s-%s]\n", ref_text(a->name), x.chain, x.resnum, x.code,
              ref_text(b->name), y.chain, y.resnum, y.code);
      fixed[(size_t)n] = ca(r, p);
      moving[(size_t)n] = ca(r, q);
      n++;
    }
    const Matrix3D T = trel_fitPts(n, moving.data(), fixed.data());
    rms_sum += rms_tf_pts(n, moving.data(), fixed.data(), T);
    fits++;
    np = n;
    zam_movePdb(msa->images[s], T);
  }
  zam_msg("\n");
  zam_msg("SISY ID = %d, iteration = %d, np = %d, Centroid RMSD = %.2f\n", alt.id, 0, np,
          fits > 0 ? rms_sum / fits : 0.0);

  // Three rounds onto the centroids of the rows. A centroid is the mean of
  // the members that were mapped: members absent from the given alignment
  // add nothing and must not shrink it towards the origin.
  for (int iteration = 1; iteration <= 3; iteration++) {
    for (int r = 0; r < n_eq; r++) {
      Point3D c{0.0, 0.0, 0.0};
      int count = 0;
      for (int m = 0; m < n_member && eq_ok[(size_t)r]; m++) {
        if (member_row[m] < 0 || res(r, m) < 0) continue;
        const Point3D x = ca(r, m);
        c.x += x.x, c.y += x.y, c.z += x.z;
        count++;
      }
      if (count > 0) c.x /= count, c.y /= count, c.z /= count;
      centre[(size_t)r] = c;
    }
    double value = 0.0;
    for (int m = 0; m < n_member; m++) {
      if (member_row[m] < 0) continue;
      int n = 0;
      for (int r = 0; r < n_eq; r++) {
        if (!usable(r, m, m)) continue;
        fixed[(size_t)n] = centre[(size_t)r];
        moving[(size_t)n] = ca(r, m);
        n++;
      }
      const Matrix3D T = trel_fitPts(n, moving.data(), fixed.data());
      value += rms_tf_pts(n, moving.data(), fixed.data(), T) / run.n_mapped;
      np = n;
      zam_movePdb(image_of(m), T);
    }
    zam_msg("SISY ID = %d, iteration = %d, np = %d, Centroid RMSD = %.4f\n", alt.id, iteration, np, value);
  }

  zam_msg("\n");
  zam_msg("Calculating SISY reference RMSD using superposed QUERY coordinates.\n");
  RefTally t;
  std::vector<char> afp_flag((size_t)n_eq);
  for (int i = 0; i < n_member; i++)
    for (int j = i + 1; j < n_member; j++) {
      if (member_row[i] < 0 || member_row[j] < 0) continue;
      for (int r = 0; r < n_eq; r++)
        if (usable(r, i, j)) ref_measure(t, "SISY", image_of(i), res(r, i), image_of(j), res(r, j));
      t.afps += sisy_count_afps(msa, i, j, 12.25, n_member, n_eq, member_row, eq_residue.data(), afp_flag.data());
    }
  zam_msg("\n");
  ref_report(t);

  zam_msg("\n");
  zam_msg("Checking REFERENCE MSA for non-sequential residues.\n");
  const int sequential = sisy_check_sequential(alt.id, n_member, n_eq, member_row, eq_ok.data(), eq_residue.data());
  zam_msg(sequential ? "REFERENCE MSA is SEQUENTIAL.\n" : "REFERENCE MSA is NON-SEQUENTIAL.\n");
  zam_msg("\n");
  const int n_full =
      sisy_count_full(n_member, n_eq, member_row, eq_ok.data(), eq_residue.data(), eq_column.data());
  zam_msg("\n");

  // The reference as an alignment of the members over the rows; it borrows
  // the given structures.
  std::vector<const char*> names((size_t)n_member);
  std::vector<_pdb_image*> images((size_t)n_member, nullptr);
  for (int m = 0; m < n_member; m++) {
    names[(size_t)m] = run.members[(size_t)m].c_str();
    if (member_row[m] >= 0) images[(size_t)m] = image_of(m);
  }
  _trel_msa* ref = trel_makeMSA(n_member, n_eq, names.data(), nullptr, images.data(), run.options);
  char id[16];
  snprintf(id, sizeof id, "%4.4d", alt.id);
  kfree(ref->name);
  ref->name = kdupS((run.run_name + "_reference_" + id).c_str());
  for (int m = 0; m < n_member; m++)
    if (images[(size_t)m]) ref->row_letters[m] = images[(size_t)m]->nres;
  for (int r = 0; r < n_eq; r++)
    for (int m = 0; m < n_member; m++) {
      const size_t cell = (size_t)r * n_member + m;  // column r, row m
      const int k = images[(size_t)m] ? eq_residue[cell] : -1;
      ref->residue_index[cell] = k;
      ref->letters[cell] = k >= 0 ? images[(size_t)m]->residues[k].code[0] : '-';
    }
  double M = 0.0, M_span = 0.0;
  trel_mscoreMSA(ref, &M, &M_span);

  // Only the mapped members' pairs were measured: the per-pair values are
  // taken over those pairs.
  if (!sequential) msa->ref_sequential = 0;
  const double rmsd = t.rmsd();
  if (n_full > msa->query_eq || (n_full == msa->query_eq && rmsd < msa->ref_rmsd)) {
    msa->ref_id = alt.id;
    msa->query_eq = n_full;
    msa->ref_eq = n_eq;
    msa->ref_mscore = M;
    msa->ref_mscore_span = M_span;
    ref_store(msa, t, run.n_mapped * (run.n_mapped - 1) / 2);
  }

  if (run.options && run.options->write_pdb) write_reference(run, ref, id);
  for (int m = 0; m < n_member; m++) ref->images[m] = nullptr;
  trel_freeMSA(ref);
  zam_msg("\n");
  zam_msg("Restoring QUERY PDB coordinates to ORIGINAL coordinates.\n");
  for (int s = 0; s < n_struct; s++)
    if (msa->images[s]) zam_resetPdb(msa->images[s]);
  return true;
}

// The whole comparison; 0 after a message wherever it stops.
int compare_sisy(_trel_msa* msa, const char* path, const _trel_options* options) {
  SisyReader r(path);
  if (!r.f) {
    zam_wrn("Failed to open SISY file: %s\n", path);
    return 0;
  }
  zam_msg("\n");
  zam_msg("Reading SISY reference file %s\n", path);
  zam_msg("\n");
  r.next();
  if (!r.find("<multiple-alignment")) {
    zam_wrn("Failed to read SISY file: %s (after line %d)\n", path, r.at());
    return 0;
  }
  const int n_member = quoted_value(r.text(), 0), n_alt = quoted_value(r.text(), 1);
  if (n_member != msa->n_struct)
    zam_wrn("n_member=%d in SISY %s does NOT match n_struct=%d in MSA.\n", n_member, path, msa->n_struct);
  if (n_alt < 1 || n_alt > 99) {
    zam_msg("Bad n_alt = %d in file %s, line %d\n", n_alt, path, r.at());
    return 0;
  }
  if (!r.find("<members")) {
    zam_wrn("Failed to find <members> in %s (after line %d)\n", path, r.at());
    return 0;
  }
  SisyRun run{msa, options, ref_run_name(path, options), {}, {}, 0};
  // A member the alignment gives without its structure would leave the
  // rows measured over the others and its own fields unmeasured: the
  // reference would stand for a family the file does not describe.
  bool whole = true;
  // Names are taken as the lines come, so a false count meets the end of
  // the file before it sizes anything.
  for (int m = 0; m < n_member; m++) {
    const std::string name = r.next() ? member_name(r.text()) : "";
    if (name.empty()) {
      zam_wrn("Failed to read <member> in %s, line %d\n", path, r.at());
      return 0;
    }
    zam_msg("Found reference Member %s\n", name.c_str());
    int row = -1;
    for (int s = 0; s < msa->n_struct; s++) {
      if (!ref_name_matches(msa->names[s], name.c_str())) continue;
      if (msa->images[s]) {
        zam_msg("Mapping MSA structure %s to SISY member %s\n", msa->names[s], name.c_str());
        row = s;
      } else {
        zam_err("SISY file %s: no structure for member %s (%s of the alignment); it cannot be measured\n", path,
                name.c_str(), msa->names[s]);
        whole = false;
      }
      break;
    }
    run.members.push_back(name);
    run.member_row.push_back(row);
    if (row >= 0) run.n_mapped++;
  }
  if (!whole) return 0;
  r.next();  // the closing line of the member list
  for (size_t m = 0; m < run.members.size(); m++)
    if (run.member_row[m] < 0) zam_wrn("Member %s, in file %s NOT found in MSA\n", run.members[m].c_str(), path);
  // One structure standing for two members would be measured against itself.
  for (size_t m = 0; m < run.members.size(); m++)
    for (size_t k = 0; k < m; k++)
      if (run.member_row[m] >= 0 && run.member_row[m] == run.member_row[k]) {
        zam_err("SISY file %s: members %zu (%s) and %zu (%s) are both structure %s of the alignment\n", path,
                k + 1, run.members[k].c_str(), m + 1, run.members[m].c_str(), msa->names[run.member_row[m]]);
        return 0;
      }
  if (run.n_mapped < 2) {
    zam_err("Less than 2 reference members match the MSA.\n");
    return 0;
  }
  SisyAlternative alt;
  int compared = 0;
  for (int a = 0; a < n_alt; a++) {
    if (!read_alternative(r, path, n_member, alt)) return 0;
    compared += compare_alternative(run, alt, path);
  }
  // Alternatives left out were named as they were refused; the best of the
  // others is kept, and with none there is no reference to report.
  if (compared == 0) {
    zam_err("SISY file %s: none of its %d alternatives can be compared\n", path, n_alt);
    return 0;
  }
  zam_msg("\n");
  zam_msg("Best similar to SISY has ID = %d: n_core/n_eq = %d/%d\n", msa->ref_id, msa->query_eq, msa->ref_eq);
  zam_msg("\n");
  return 1;
}

}  // namespace

int trel_analyseSISY(_trel_msa* msa, const char* sisy_file, const _trel_options* options) {
  if (!msa) return 0;
  const int done = compare_sisy(msa, ref_text(sisy_file), options);
  if (!done) zam_wrn("SISY comparison not possible.\n");
  zam_msg("\n");
  return done;
}
