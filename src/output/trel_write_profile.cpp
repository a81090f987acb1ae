#include "output/trel_write_profile.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "align/trel_globals.h"
#include "align/trel_profile.h"
#include "output/trel_print.h"
#include "output/trel_run_options.h"
#include "output/trel_write_pdb.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

const char* const kRule =
    "#===============================================================================\n";

const char* text(const char* s) { return s ? s : ""; }

_trel_thing* row_thing(const _trel_profile* p, int r) {
  return p->things && r >= 0 && r < p->n_rows ? p->things[r] : nullptr;
}

// The row's structure image, loaded on first use (null when it cannot be read).
_pdb_image* row_image(const _trel_profile* p, int r) {
  _trel_thing* t = row_thing(p, r);
  return t ? trel_imageThing(t) : nullptr;
}

const _pdb_residue* image_residue(const _pdb_image* image, int i) {
  if (!image || !image->residues || i < 0 || i >= image->nres) return nullptr;
  return &image->residues[i];
}

// Residue i of the row's trace: its one-letter code, or its secondary-
// structure letter when sse. The image's letters stand in for a row whose
// trace does not reach that far.
char trace_letter(const _trel_profile* p, int r, int i, bool sse) {
  const _trel_thing* t = row_thing(p, r);
  if (t && t->trace.seg && i >= 0 && i < t->trace.n) return sse ? t->trace.seg[i].sse : t->trace.seg[i].code;
  const _pdb_residue* res = image_residue(row_image(p, r), i);
  if (!res) return '?';
  return sse ? res->sse[0] : res->code[0];
}

char image_letter(const _pdb_image* image, int i) {
  const _pdb_residue* res = image_residue(image, i);
  return res && res->code[0] ? res->code[0] : '?';
}

int entry(const _trel_profile_table& t, int c, int r) { return t.table[(size_t)c * t.rows + r]; }

std::string name_cell(const char* name) {
  char cell[64];
  snprintf(cell, sizeof cell, "%-24s", text(name));
  return cell;
}

std::string residue_cell(const char* chain, const char* resnum) {
  char cell[64];
  snprintf(cell, sizeof cell, " %s(%6.6s)  ", text(chain), text(resnum));
  return cell;
}

std::string label_cell() { return residue_cell("-", "------"); }

// Residue cell of row r in the block s..e-1: chain and number of its first
// residue there.
std::string row_cell(const _trel_profile* p, const _trel_profile_table& t, int r, int s, int e) {
  const int c = findActiveColumn(t.table, t.rows, r, s, e);
  const _pdb_residue* res = c < 0 ? nullptr : image_residue(row_image(p, r), entry(t, c, r));
  return res ? residue_cell(res->chain, res->resnum) : label_cell();
}

// A rule under the name and residue cells (36 characters) and n columns.
std::string rule(char ch, int n) { return std::string((size_t)(36 + std::max(n, 0)), ch) + "\n"; }

enum Letters { TRACE_CODE, IMAGE_CODE, REFERENCE_SSE };

// Row r's letters over columns s..e-1: '-' for a gap, except in the
// reference row of secondary-structure letters, where a gap is a blank.
std::string row_letters(const _trel_profile* p, const _trel_profile_table& t, int r, int s, int e,
                        Letters kind) {
  std::string row;
  row.reserve((size_t)std::max(e - s, 0));
  const _pdb_image* image = kind == IMAGE_CODE ? row_image(p, r) : nullptr;
  for (int c = s; c < e; c++) {
    const int i = entry(t, c, r);
    if (i < 0)
      row += kind == REFERENCE_SSE ? ' ' : '-';
    else if (kind == IMAGE_CODE)
      row += image_letter(image, i);
    else
      row += trace_letter(p, r, i, kind == REFERENCE_SSE);
  }
  return row;
}

std::string colour_codes(int s, int e) {
  std::string row;
  for (int c = s; c < e; c++) row += rainbow_letter[c % (n_rainbow - 1)];
  return row;
}

// The label rows of a block: consensus letters when the profile has them,
// then the pivot's secondary structure (with_reference) and the colour codes
// (with_colours). with_cells puts the empty residue cell after each label.
std::string label_rows(const _trel_profile* p, const _trel_profile_table& t, int s, int e,
                       bool with_cells, bool with_reference, bool with_colours) {
  const std::string cell = with_cells ? label_cell() : std::string();
  std::string out;
  if (p->cons_aa) out += name_cell("Consensus-AA ") + cell + std::string(p->cons_aa + s, p->cons_aa + e) + "\n";
  if (p->cons_sse) out += name_cell("Consensus-SSE") + cell + std::string(p->cons_sse + s, p->cons_sse + e) + "\n";
  if (with_reference) out += name_cell("Reference-SSE") + cell + row_letters(p, t, 0, s, e, REFERENCE_SSE) + "\n";
  if (with_colours) out += name_cell("Colour-Codes") + cell + colour_codes(s, e) + "\n";
  return out;
}

// One block of the print and of ".kmsa": every row with its residue cell,
// then the label rows between dash rules.
std::string listing_block(const _trel_profile* p, const _trel_profile_table& t, int s, int e,
                          bool with_reference) {
  std::string out;
  for (int r = 0; r < t.rows; r++)
    out += name_cell(p->names[r]) + row_cell(p, t, r, s, e) + row_letters(p, t, r, s, e, TRACE_CODE) + "\n";
  out += '\n';
  out += rule('-', e - s);
  out += label_rows(p, t, s, e, true, with_reference, true);
  out += rule('-', e - s) + "\n";
  return out;
}

// One block of ".kalign": rows and label rows without residue cells, under
// and over a dash line without the cells' part.
std::string kalign_block(const _trel_profile* p, const _trel_profile_table& t, int s, int e) {
  std::string out;
  for (int r = 0; r < t.rows; r++) out += name_cell(p->names[r]) + row_letters(p, t, r, s, e, TRACE_CODE) + "\n";
  const std::string dashes = std::string((size_t)(24 + e - s), '-') + "\n";
  out += "\n" + dashes;
  out += label_rows(p, t, s, e, false, true, false);
  out += dashes + "\n";
  return out;
}

std::string residue_label(const _pdb_residue* res) {
  return std::string(res->chain) + ":" + res->resnum + ":" + res->resname;
}

void write_kmulti(const _trel_profile* p, const _trel_profile_table& t, const std::string& file,
                  const std::string& flex) {
  _trel_text* out = trel_openAnnounced(file, "Writing KMULTI file: %s\n", 0);
  if (!out) return;
  trel_putText(out, kRule);
  trel_printText(out, "#Structures: %d\n", t.rows);
  for (int r = 0; r < t.rows; r++) {
    const _pdb_image* image = row_image(p, r);
    const std::string name = image ? text(image->name) : text(p->names[r]);
    trel_printText(out, "#Name:  %5d  %s  %s\n", r + 1, name.c_str(), trel_memberPdbName(p, r, flex.c_str()).c_str());
  }
  trel_printText(out, "#Columns:    %d\n", t.cols);
  trel_printText(out, "#Residues:   %d\n", p->n_residues);
  trel_printText(out, "#Longest:    %d\n", p->max_length);
  trel_printText(out, "#Shortest:   %d\n", p->min_length);
  trel_printText(out, "#Mscore:     %.4f\n", p->m_score);
  trel_putText(out, kRule);
  for (int c = 0; c < t.cols; c++) {
    std::string line;
    for (int r = 0; r < t.rows; r++) {
      const _pdb_residue* res = image_residue(row_image(p, r), entry(t, c, r));
      char cell[64];
      snprintf(cell, sizeof cell, "  %-11s", res ? residue_label(res).c_str() : "-");
      line += cell;
    }
    trel_putText(out, (line + "\n").c_str());
  }
  trel_closeText(out);
}

void write_kmsa(const _trel_profile* p, const _trel_profile_table& t, const std::string& file,
                int width) {
  _trel_text* out = trel_openAnnounced(file, "Writing KMSA file: %s\n", 0);
  if (!out) return;
  for (int s = 0; s < t.cols; s += width)
    trel_putText(out, listing_block(p, t, s, std::min(s + width, t.cols), true).c_str());
  trel_closeText(out);
}

// A member's PDB file name without ".pdb", which the FASTA and PIR entries
// carry (a PIR entry's code names its structure file).
std::string member_name(const _trel_profile* p, int r, const std::string& flex) {
  const std::string file = trel_memberPdbName(p, r, flex.c_str());
  return file.substr(0, file.size() - 4);
}

void write_fasta(const _trel_profile* p, const _trel_profile_table& t, const std::string& file,
                 const std::string& flex, int width) {
  _trel_text* out = trel_openAnnounced(file, "Writing FASTA multiple alignment file: %s\n", 0);
  if (!out) return;
  for (int r = 0; r < t.rows; r++) {
    const _pdb_residue* first = image_residue(row_image(p, r), 0);
    trel_printText(out, ">%s %s\n", member_name(p, r, flex).c_str(), first ? first->chain : "");
    trel_putLines(out, row_letters(p, t, r, 0, t.cols, IMAGE_CODE), width);
    trel_putText(out, "\n");
  }
  trel_closeText(out);
}

void write_pir(const _trel_profile* p, const _trel_profile_table& t, const std::string& file,
               const std::string& flex, int width) {
  _trel_text* out = trel_openAnnounced(file, "Writing PIR multiple alignment file: %s\n", 0);
  if (!out) return;
  for (int r = 0; r < t.rows; r++) {
    const _pdb_image* image = row_image(p, r);
    const std::string name = member_name(p, r, flex);
    const _pdb_residue* first = image_residue(image, 0);
    const _pdb_residue* last = image ? image_residue(image, image->nres - 1) : nullptr;
    trel_printText(out, ">P1;%s\n", name.c_str());
    trel_printText(out, "%s:%s:%s:%s:%s:%s:%s:%s:%.2f:%.2f\n",
                   image && image->fake ? "sequence" : "structure", name.c_str(),
                   first ? first->resnum : "", first ? first->chain : "", last ? last->resnum : "",
                   last ? last->chain : "", "unknown", "unknown", 0.0, 0.0);
    trel_putLines(out, row_letters(p, t, r, 0, t.cols, IMAGE_CODE) + "*", width);
    trel_putText(out, "\n");
  }
  trel_closeText(out);
}

void write_kalign(const _trel_profile* p, const _trel_profile_table& t, const std::string& file,
                  int width) {
  _trel_text* out = trel_openAnnounced(file, nullptr, 0);
  if (!out) return;
  trel_putText(out, kRule);
  trel_printText(out, "#Primary query:      %s\n", text(p->names[0]));
  trel_printText(out, "#Aligned structures: %d\n", t.rows);
  trel_printText(out, "#Alignment length:   %d\n", t.cols);
  trel_putText(out, kRule);
  trel_putText(out, "\n");
  for (int s = 0; s < t.cols; s += width)
    trel_putText(out, kalign_block(p, t, s, std::min(s + width, t.cols)).c_str());
  trel_closeText(out);
}

void write_members(const _trel_profile* p, const _trel_profile_table& t, const std::string& folder,
                   const std::string& flex, Matrix3D transform, const _trel_options* o) {
  for (int r = 0; r < t.rows; r++) {
    const _pdb_image* image = row_image(p, r);
    if (!image || image->fake) continue;  // a sequence has no structure to show
    _trel_pdb_out* out = trel_openPdbOut((folder + trel_memberPdbName(p, r, flex.c_str())).c_str());
    if (!out) continue;
    zam_writePdbFile(out->fp, image, -1, 0, o->export_mode, o->sse_mode, 1, 0, transform);
    trel_closePdbOut(out);
  }
}

}  // namespace

_trel_profile_table trel_profileTable(const _trel_profile* p, int which) {
  if (!p) return {nullptr, 0, 0};
  if (which < 0) return {p->induced, p->n_struct + 1, p->n_induced};
  return {p->table, p->n_used, p->n_cols};
}

int findActiveColumn(const int* table, int rows, int row, int start, int end) {
  if (!table || row < 0 || row >= rows) return -1;
  for (int c = std::max(start, 0); c < end; c++)
    if (table[(size_t)c * rows + row] >= 0) return c;
  return -1;
}

void trel_printProfile(const _trel_profile* profile, int which, const _trel_options* options) {
  if (!profile) return;
  int s = which;
  if (s == -1 || s > profile->n_used - 2) s = profile->n_used - 2;
  const _trel_profile_table t = trel_profileTable(profile, s < -1 ? -1 : 1);
  if (!t.table || t.rows < 1) return;
  const int width = trel_rowWidth(options);
  const std::string equals = rule('=', std::min(width, t.cols));
  std::string out = "\n" + equals + "\n";
  for (int b = 0; b < t.cols; b += width)
    out += listing_block(profile, t, b, std::min(b + width, t.cols), false);
  out += equals + "\n";
  trel_msgText(out.c_str());
}

void trel_writeProfile(const _trel_profile* profile, int which, Matrix3D transform,
                       const char* multi_suffix, const char* flex_suffix, const char* folder,
                       const _trel_options* options) {
  if (!profile || !options) return;
  const _trel_profile_table t = trel_profileTable(profile, which);
  if (!t.table || t.rows < 1) return;
  const int width = trel_rowWidth(options);
  const std::string dir = text(folder), flex = text(flex_suffix);
  // The profile's file whose name ends in tail.
  const auto file = [&](const std::string& tail) { return dir + zam_fileName({text(profile->name)}, tail); };
  const std::string stem = text(multi_suffix) + flex;
  if (options->write_kmulti) write_kmulti(profile, t, file(flex + ".kmulti"), flex);
  if (options->write_kmsa) write_kmsa(profile, t, file(stem + ".kmsa"), width);
  if (options->write_fasta) write_fasta(profile, t, file(stem + ".fasta"), flex, width);
  if (options->write_pir) write_pir(profile, t, file(stem + ".pir"), flex, width);
  if (options->write_kalign) write_kalign(profile, t, file(stem + ".kalign"), width);
  if (options->write_pdb) write_members(profile, t, dir, flex, transform, options);
}

std::string trel_memberPdbName(const _trel_profile* profile, int r, const char* flex_suffix) {
  const _trel_thing* thing = row_thing(profile, r);
  return zam_fileName({thing ? text(thing->name) : text(profile->names[r])},
                      std::string(text(flex_suffix)) + ".pdb");
}
