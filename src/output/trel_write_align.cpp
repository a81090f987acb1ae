#include "output/trel_write_align.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_markup.h"
#include "output/trel_run_options.h"
#include "output/trel_kchains.h"
#include "output/trel_pair_names.h"
#include "output/trel_print.h"
#include "output/trel_write_pdb.h"
#include "output/trel_write_view.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"

namespace {

const char* const kRule =
    "#===============================================================================\n";

const char* text(const char* s) { return s ? s : ""; }

const _pdb_residue* residue(const _pdb_image* image, int i) {
  if (!image || !image->residues || i < 0 || i >= image->nres) return nullptr;
  return &image->residues[i];
}

// Names and values shared by every file of one pair.
struct Pair {
  std::string folder;
  _trel_pair_names names;
  std::string query_label;  // the FASTA and PIR labels: the superposed PDB
  std::string target_label;  // files, or the structures' names without them
  std::string qchain, tchain;
  Matrix3D tmatrix;

  std::string file(const char* extension) const { return folder + names.file(extension); }
};

// Residue of the first column with a residue on that side; residue 0 when none.
int first_residue(const _trel_align* a, bool query) {
  for (int c = 0; c < a->ncolumns; c++) {
    const int r = query ? a->columns[c].qres : a->columns[c].tres;
    if (r != -1) return r;
  }
  return 0;
}

Pair make_pair(const _trel_align* a, const _pdb_image* q, const _pdb_image* t,
               const _trel_pair_names& names, const char* folder, Matrix3D tf) {
  Pair p;
  p.folder = text(folder);
  p.names = names;
  p.query_label = names.query_out.empty() ? names.query : names.query_out;
  p.target_label = names.target_out.empty() ? names.target : names.target_out;
  const _pdb_residue* qr = residue(q, first_residue(a, true));
  const _pdb_residue* tr = residue(t, first_residue(a, false));
  p.qchain = qr ? qr->chain : "";
  p.tchain = tr ? tr->chain : "";
  p.tmatrix = tf_tftf(a->tf, tf);
  return p;
}

double distance(float d2) {
  if (d2 > 0) return std::sqrt((double)d2);
  return d2 == 0 ? 0.0 : -1.0;
}

std::string pair_label(const _pdb_residue* r) {
  return std::string(r->chain) + ":" + r->resnum + ":" + r->resname;
}
std::string web_label(const _pdb_residue* r) {
  return std::string(r->chain) + ":" + r->resnum + ":" + r->code;
}
std::string zone_label(const _pdb_residue* r) {
  if (std::strcmp(r->chain, " ") == 0) return r->resnum;
  return std::string(r->chain) + "." + r->resnum;
}

std::string base_name(const char* path) {
  const std::string p = text(path);
  const size_t at = p.find_last_of("/\\");
  return at == std::string::npos ? p : p.substr(at + 1);
}

std::string root_name(const char* path) {
  std::vector<char> buffer(std::strlen(text(path)) + 2, '\0');
  return zam_rootname(text(path), buffer.data());
}

char letter(const _pdb_image* image, int i) {
  const _pdb_residue* r = residue(image, i);
  return r && r->code[0] ? r->code[0] : '-';
}

char sse_letter(const _pdb_image* image, int i) {
  const _pdb_residue* r = residue(image, i);
  return r && r->sse[0] ? (char)std::tolower((unsigned char)r->sse[0]) : '-';
}

char mark(const _trel_a_column& c) { return c.mark ? c.mark : ' '; }

// Writes a row in lines of width letters, each line in one piece.
void common_header(_trel_text* out, const _trel_align* a, const _pdb_image* q,
                   const _pdb_image* t, const Pair& p) {
  trel_putText(out, kRule);
  trel_printText(out, "#Query In:     %s\n", text(q->name));
  trel_printText(out, "#Target In:    %s\n", text(t->name));
  trel_printText(out, "#Query chain:  %s\n", p.qchain.c_str());
  trel_printText(out, "#Target chain: %s\n", p.tchain.c_str());
  trel_printText(out, "#Query Out:    %s\n", trel_outText(p.names.query_out));
  trel_printText(out, "#Target Out:   %s\n", trel_outText(p.names.target_out));
  trel_printText(out, "#Kscore:      %8.2f\n", a->kscore);
  trel_printText(out, "#Gscore:      %8.2f\n", a->gscore);
  trel_printText(out, "#Jscore:      %8.4f\n", a->jscore);
  trel_printText(out, "#Mscore:      %8.4f\n", a->mscore);
  trel_printText(out, "#Tscore:      %8.4f\n", a->tscore);
  trel_printText(out, "#Nquery:      %d\n", q->nres);
  trel_printText(out, "#Ntarget:     %d\n", t->nres);
  trel_printText(out, "#Nsegments:   %d\n", a->nsegments);
  trel_printText(out, "#Ncolumns:    %d\n", a->ncolumns);
  trel_printText(out, "#Ncover:      %d\n", a->ncover);
  trel_printText(out, "#Naligned:    %d\n", a->naligned);
  trel_printText(out, "#Nmatched:    %d\n", a->nmatched);
  trel_printText(out, "#Nanchor:     %d\n", a->nanchor);
  const double pid = a->nidentity * 100.0 / std::max(a->naligned, 1);
  trel_printText(out, "#Nidentity:   %d (%.2f!)\n", a->nidentity, pid);
  trel_printText(out, "#RMSD-aligned: %.2f\n", a->rmsd_aligned);
  trel_printText(out, "#RMSD-matched: %.2f\n", a->rmsd_matched);
  trel_printText(out, "#RMSD-anchor:  %.2f\n", a->rmsd_anchor);
  trel_printText(out, "#MaxDist:      %.2f\n", a->max_dist);
  trel_printText(out, "#Contact:      %.2f\n", a->contact);
  trel_printText(out, "#Alignment  (X + Gap): %d + %d = %d\n", a->nmatched,
                 a->ncolumns - a->nmatched, a->ncolumns);
  trel_printText(out, "#Identities (@ matched + # unmatched): %d + %d = %d\n", a->nid_matched,
                 a->nid_unmatched, a->nidentity);
  trel_printText(out, "#Others     (* matched + $ unmatched): %d + %d = %d\n",
                 a->nother_matched, a->nother_unmatched,
                 a->nother_matched + a->nother_unmatched);
}

void kpairs_row(_trel_text* out, int i, const _trel_a_column& c, const _pdb_residue* qr,
                const _pdb_residue* tr) {
  const char* fmt = "%5d  %7.2f  %7.4f  %7.4f %4d   %-11s  %-11s %c\n";
  if (qr && tr)
    trel_printText(out, fmt, i + 1, distance(c.d2), c.kscore, c.gscore, c.seg,
                   pair_label(qr).c_str(), pair_label(tr).c_str(), mark(c));
  else if (qr)
    trel_printText(out, fmt, i + 1, -1.0, c.kscore, c.gscore, c.seg, pair_label(qr).c_str(),
                   "  -", '-');
  else if (tr)
    trel_printText(out, fmt, i + 1, -1.0, c.kscore, c.gscore, c.seg, "  -",
                   pair_label(tr).c_str(), '-');
  else
    trel_printText(out, fmt, i + 1, -1.0, 0.0, 0.0, 0, "  -", "  -", '-');
}

void wpairs_row(_trel_text* out, const _pdb_residue* qr, const _pdb_residue* tr) {
  if (qr && tr)
    trel_printText(out, "%s | %s | *\n", web_label(qr).c_str(), web_label(tr).c_str());
  else if (qr)
    trel_printText(out, "%s | - | -\n", web_label(qr).c_str());
  else if (tr)
    trel_printText(out, " - | %s | -\n", web_label(tr).c_str());
  else
    trel_putText(out, " - | - | -\n");
}

// ".kpairs", ".wpairs" and ".profit" in one pass over the columns.
void write_pairs(const _trel_align* a, const _pdb_image* q, const _pdb_image* t, const Pair& p,
                 const _trel_options* o) {
  _trel_text* kp = o->write_kpairs ? trel_openAnnounced(p.file(".kpairs"), "Writing alignment file: %s\n", 2)
                                   : nullptr;
  _trel_text* wp =
      o->write_trw ? trel_openAnnounced(p.file(".wpairs"), "Writing web page pairs file: %s\n", 2) : nullptr;
  // ProFit fits the two superposed PDB files: none without them.
  const bool fit = !p.names.query_out.empty() && !p.names.target_out.empty();
  _trel_text* pf = o->write_profit && fit
                       ? trel_openAnnounced(p.file(".profit"), "Writing PROFIT zone alignment file: %s\n", 2)
                       : nullptr;
  if (!kp && !wp && !pf) return;
  if (kp) {
    common_header(kp, a, q, t, p);
    trel_putText(kp, "#Tmatrix (Target Out = Tmatrix * Target In):\n");
    for (int r = 0; r < 3; r++) {
      trel_putText(kp, "#");
      for (int k = 0; k < 4; k++) trel_printText(kp, " %f", p.tmatrix.m[4 * r + k]);
      trel_putText(kp, "\n");
    }
    trel_printText(kp, "# %f %f %f %f\n", 0.0, 0.0, 0.0, 1.0);
    trel_putText(kp, kRule);
    trel_putText(kp, "#  Posn   Dist  K-Score  G-Score  SegID   Query        Target\n");
    trel_putText(kp, kRule);
  }
  if (wp) {
    trel_printText(wp, "#Query In:   %s %s\n", base_name(q->path).c_str(), p.qchain.c_str());
    trel_printText(wp, "#Target In:  %s %s\n", base_name(t->path).c_str(), p.tchain.c_str());
    trel_printText(wp, "#Query Out:  %s\n", trel_outText(p.names.query_out));
    trel_printText(wp, "#Target Out: %s\n", trel_outText(p.names.target_out));
    trel_printText(wp, "#%d %d %d\n", a->naligned, q->nres, t->nres);
  }
  if (pf) {
    trel_printText(pf, "REFERENCE %s\n", p.names.query_out.c_str());
    trel_printText(pf, "MOBILE    %s\n", p.names.target_out.c_str());
    trel_putText(pf, "ATOMS CA\n");
  }
  for (int i = 0; i < a->ncolumns; i++) {
    const _trel_a_column& c = a->columns[i];
    const _pdb_residue* qr = c.qres != -1 ? residue(q, c.qres) : nullptr;
    const _pdb_residue* tr = c.tres != -1 ? residue(t, c.tres) : nullptr;
    if (pf && qr && tr && (c.mark == '@' || c.mark == '*')) {
      const std::string qz = zone_label(qr), tz = zone_label(tr);
      trel_printText(pf, "ZONE %s-%s:%s-%s\n", qz.c_str(), qz.c_str(), tz.c_str(), tz.c_str());
    }
    if (wp) wpairs_row(wp, qr, tr);
    if (kp) kpairs_row(kp, i, c, qr, tr);
  }
  if (pf) trel_putText(pf, "FIT\n");
  trel_closeText(pf);
  trel_closeText(wp);
  trel_closeText(kp);
}

void write_jmol(const _trel_align* a, const _pdb_image* q, const _pdb_image* t, const Pair& p) {
  _trel_text* out = trel_openAnnounced(p.file(".jmol"), "Writing JMOL residue alignment file: %s\n", 2);
  if (!out) return;
  std::string qrow, trow;
  for (int i = 0; i < a->ncolumns; i++) {
    const _pdb_residue* qr = residue(q, a->columns[i].qres);
    const _pdb_residue* tr = residue(t, a->columns[i].tres);
    if (!qr || !tr) continue;
    qrow += std::string(qr->resnum) + " ";
    trow += std::string(tr->resnum) + " ";
  }
  trel_printText(out, "#%s %s\n", base_name(q->path).c_str(), p.qchain.c_str());
  trel_putText(out, qrow.c_str());
  trel_putText(out, "\n\n");
  trel_printText(out, "#%s %s\n", base_name(t->path).c_str(), p.tchain.c_str());
  trel_putText(out, trow.c_str());
  trel_putText(out, "\n");
  trel_closeText(out);
}

// One letter per column from one side ('-' for a gap).
std::string letters(const _trel_align* a, const _pdb_image* image, bool query, int from, int to,
                    bool sse) {
  std::string row;
  row.reserve((size_t)std::max(to - from, 0));
  for (int i = from; i < to; i++) {
    const int r = query ? a->columns[i].qres : a->columns[i].tres;
    row += r == -1 ? '-' : (sse ? sse_letter(image, r) : letter(image, r));
  }
  return row;
}

std::string marks(const _trel_align* a, int from, int to) {
  std::string row;
  for (int i = from; i < to; i++) row += mark(a->columns[i]);
  return row;
}

void write_fasta(const _trel_align* a, const _pdb_image* q, const _pdb_image* t, const Pair& p,
                 int width) {
  _trel_text* out = trel_openAnnounced(p.file(".fasta"), "Writing FASTA residue alignment file: %s\n", 2);
  if (!out) return;
  trel_printText(out, ">%s %s\n", p.query_label.c_str(), p.qchain.c_str());
  trel_putLines(out, letters(a, q, true, 0, a->ncolumns, false), width);
  trel_putText(out, "\n");
  trel_printText(out, ">%s %s\n", p.target_label.c_str(), p.tchain.c_str());
  trel_putLines(out, letters(a, t, false, 0, a->ncolumns, false), width);
  trel_closeText(out);
}

void pir_entry(_trel_text* out, const _trel_align* a, const _pdb_image* image, bool query,
               const std::string& name, int width) {
  trel_printText(out, ">P1;%s\n", name.c_str());
  const _pdb_residue* first = residue(image, 0);
  const _pdb_residue* last = residue(image, std::max(image->nres - 1, 0));
  trel_printText(out, "%s:%s:%s:%s:%s:%s:%s:%s:%.2f:%.2f\n",
                 image->fake ? "sequence" : "structure", root_name(image->path).c_str(),
                 first ? first->resnum : "", first ? first->chain : "",
                 last ? last->resnum : "", last ? last->chain : "", "unknown", "unknown", 0.0,
                 0.0);
  trel_putLines(out, letters(a, image, query, 0, a->ncolumns, false) + "*", width);
}

void write_pir(const _trel_align* a, const _pdb_image* q, const _pdb_image* t, const Pair& p,
               int width) {
  _trel_text* out = trel_openAnnounced(p.file(".pir"), "Writing PIR residue alignment file: %s\n", 2);
  if (!out) return;
  pir_entry(out, a, q, true, p.query_label, width);
  trel_putText(out, "\n");
  pir_entry(out, a, t, false, p.target_label, width);
  trel_closeText(out);
}

void kalign_blocks(_trel_text* out, const _trel_align* a, const _pdb_image* q,
                   const _pdb_image* t, int width, bool sse) {
  for (int from = 0; from < a->ncolumns; from += width) {
    const int to = std::min(from + width, a->ncolumns);
    trel_putText(out, (letters(a, q, true, from, to, sse) + "\n").c_str());
    trel_putText(out, (letters(a, t, false, from, to, sse) + "\n").c_str());
    trel_putText(out, (marks(a, from, to) + "\n").c_str());
    trel_putText(out, "\n");
  }
}

void write_kalign(const _trel_align* a, const _pdb_image* q, const _pdb_image* t, const Pair& p,
                  int width) {
  _trel_text* out = trel_openAnnounced(p.file(".kalign"), "Writing Trel ALIGNMENT file: %s\n", 2);
  if (!out) return;
  common_header(out, a, q, t, p);
  trel_putText(out, "#SSEs       (A = ALPHA, B = BETA, C = COIL/LOOP)\n");
  trel_putText(out, kRule);
  trel_putText(out, "\n");
  kalign_blocks(out, a, q, t, width, false);
  trel_putText(out, "\n");
  trel_putText(out, kRule);
  trel_putText(out, "\n");
  kalign_blocks(out, a, q, t, width, true);
  trel_putText(out, "\n");
  trel_putText(out, kRule);
  trel_closeText(out);
}

// The seven files of trel_writeAlignFull under names.
void write_full(const _trel_align* align, const _pdb_image* query, const _pdb_image* target,
                const _trel_pair_names& names, const char* folder, Matrix3D tf, const _trel_options* options) {
  const Pair p = make_pair(align, query, target, names, folder, tf);
  const int width = trel_rowWidth(options);
  write_pairs(align, query, target, p, options);
  if (options->write_jmol && options->write_pdb) write_jmol(align, query, target, p);
  if (options->write_fasta) write_fasta(align, query, target, p, width);
  if (options->write_pir) write_pir(align, query, target, p, width);
  if (options->write_kalign) write_kalign(align, query, target, p, width);
}

}  // namespace

void trel_writeAlign(_trel_align* align, _pdb_image* query, _pdb_image* target,
                     const char* query_suffix, const char* target_suffix, const char* folder,
                     Matrix3D tf, const _trel_options* options) {
  if (!align || !query || !target || !options) return;
  trel_writeAlignNamed(align, query, target, trel_pairNames(query->name, target->name, query_suffix, target_suffix),
                       folder, tf, options);
}

void trel_writeAlignNamed(_trel_align* align, _pdb_image* query, _pdb_image* target,
                          const _trel_pair_names& names, const char* folder, Matrix3D tf,
                          const _trel_options* options) {
  if (!align || !query || !target || !options) return;
  write_full(align, query, target, names, folder, tf, options);
  trel_writeAlignChains(align, query, target, names.query_suffix.c_str(), names.target_suffix.c_str(), folder,
                        tf, options);
  trel_writeAlignViews(align, query, target, names, folder, tf, options);
  if (options->residue_mask == 0) return;
  _trel_mask_view qview, tview;
  _pdb_image* qmasked = trel_maskView(&qview, query);
  _pdb_image* tmasked = trel_maskView(&tview, target);
  trel_pdbAlignMask(align, options->residue_mask, qmasked, tmasked);
  trel_writeAlignViews(align, qmasked, tmasked, names.masked(), folder, tf, options);
}

void trel_writeAlignFull(const _trel_align* align, const _pdb_image* query,
                         const _pdb_image* target, const char* query_suffix,
                         const char* target_suffix, const char* folder, Matrix3D tf,
                         const _trel_options* options) {
  if (!align || !query || !target || !options) return;
  write_full(align, query, target, trel_pairNames(query->name, target->name, query_suffix, target_suffix), folder, tf,
             options);
}
