#include "output/trel_write_view.h"

#include <algorithm>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_globals.h"
#include "output/trel_pair_names.h"
#include "output/trel_run_options.h"
#include "output/trel_print.h"
#include "output/trel_write_pdb.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"

namespace {

// Opening lines of a Zam command file: the two superposed structures, both
// shown as backbone, the query's scope first.
void openPair(_trel_text* out, const std::string& query_pdb, const std::string& target_pdb) {
  trel_printText(out, "open_receptor %s\n", query_pdb.c_str());
  trel_printText(out, "open_ligand   %s\n", target_pdb.c_str());
  trel_printText(out, "molecule_scope    %d\n", -1);
  trel_printText(out, "model_display     %d\n", 0);
  trel_printText(out, "display_sidechain %d\n", 0);
  trel_printText(out, "molecule_scope    %d\n", 0);
}

const char* text(const char* s) { return s ? s : ""; }

const _pdb_residue* residue(const _pdb_image* image, int i) {
  if (!image || !image->residues || i < 0 || i >= image->nres) return nullptr;
  return &image->residues[i];
}

// Colours of the segment colouring, by segment number; segments from 10 on
// cycle through entries 2 to 9.
const char* const kSegmentColour[10] = {"grey", "yellow", "orange", "green2", "magenta2",
                                        "tan",  "red",    "cyan",   "violet", "lime"};

const char* segment_colour(int s) {
  if (s < 0) return kSegmentColour[0];
  return kSegmentColour[s < 10 ? s : 2 + (s - 2) % 8];
}

enum Colouring { MATCHED, ALIGNED, SEGMENTS };

struct View {
  const _trel_align* a;
  const _pdb_image* q;
  const _pdb_image* t;
  _trel_pair_names names;
  std::string folder, qchain, tchain;
  Matrix3D tmatrix;
};

int first_residue(const _trel_align* a, bool query) {
  for (int c = 0; c < a->ncolumns; c++) {
    const int r = query ? a->columns[c].qres : a->columns[c].tres;
    if (r != -1) return r;
  }
  return 0;
}

bool both(const _trel_a_column& c) { return c.qres != -1 && c.tres != -1; }
bool matched(const _trel_a_column& c) { return both(c) && (c.mark == '@' || c.mark == '*'); }

const char* colour(const _trel_a_column& c, Colouring kind, bool query) {
  switch (kind) {
    case MATCHED:
      if (both(c) && c.mark == '@') return "yellow";
      if (both(c) && c.mark == '*') return "cyan";
      return query ? "blue" : "green";
    case ALIGNED:
      if (matched(c)) return query ? "red" : "orange";
      return query ? "blue" : "green";
    case SEGMENTS:
      return segment_colour(c.seg);
  }
  return "grey";
}

int side(const _trel_a_column& c, bool query) { return query ? c.qres : c.tres; }

const char* colouring_suffix(Colouring kind) {
  return kind == MATCHED ? "_matched" : kind == ALIGNED ? "_aligned" : "_segments";
}

void zam_macro(const View& v, Colouring kind) {
  const std::string name = v.names.file(std::string(colouring_suffix(kind)) + ".mac");
  _trel_text* out = trel_openAnnounced(v.folder + name, "Writing Zam MACRO file: %s\n", 2);
  if (!out) return;
  trel_putText(out, "# Zam command file to draw a Trel superposition.\n");
  trel_putText(out, "# NB. The colouring commands only work with Zam version 7.0.1 or higher.\n");
  trel_putText(out, "#\n");
  trel_printText(out, "# Usage: (cd %s; zam -e %s)\n", v.folder.c_str(), name.c_str());
  trel_putText(out, "#\n");
  openPair(out, v.names.query_out, v.names.target_out);
  for (int query = 1; query >= 0; query--) {
    if (!query) trel_printText(out, "molecule_scope    %d\n", 1);
    const _pdb_image* image = query ? v.q : v.t;
    for (int i = 0; i < v.a->ncolumns; i++) {
      const _trel_a_column& c = v.a->columns[i];
      const _pdb_residue* r = residue(image, side(c, query));
      if (side(c, query) == -1 || !r) continue;
      trel_printText(out, "residue_colour %s %s %s %s\n", r->chain, r->resnum, r->resnum,
                     colour(c, kind, query));
    }
  }
  trel_printText(out, "molecule_scope    %d\n", -1);
  trel_closeText(out);
}

void vmd_head(_trel_text* out, const View& v, const std::string& name, const char* style) {
  trel_putText(out, "# VMD command file to draw a Trel superposition.\n");
  trel_putText(out, "#\n");
  trel_printText(out, "# Usage: (cd %s; vmd -e %s)\n", v.folder.c_str(), name.c_str());
  trel_putText(out, "#\n");
  trel_printText(out, "mol default style %s ;\n", style);
  trel_putText(out,
               "color Display Background white ;\n"
               "menu graphics on ;\n"
               "axes location off ;\n"
               "display projection orthographic ;\n"
               "\n"
               "proc load_pair {} {\n"
               "\n");
}

void vmd_names(_trel_text* out, const View& v) {
  trel_printText(out, "   set query       \"%s\" ;\n", v.names.query_out.c_str());
  trel_printText(out, "   set target      \"%s\" ;\n", v.names.target_out.c_str());
  trel_putText(out, "\n");
}

void vmd_load(_trel_text* out, bool query) {
  trel_printText(out,
                 "   mol new $%s type pdb ;\n"
                 "   mol delrep 0 top ;\n"
                 "   mol selection all ;\n"
                 "   mol color ColorID $%s ;\n"
                 "   mol addrep top ;\n"
                 "\n",
                 query ? "query" : "target", query ? "blue" : "green");
}

void vmd_tail(_trel_text* out) { trel_putText(out, "}\n\nload_pair ;\n"); }

const char* const kPairColours =
    "   set blue    0 ;  #query\n"
    "   set red     1 ;  #aligned region on query\n"
    "   set orange  3 ;  #aligned region on target\n"
    "   set yellow  4 ;  #identity on target\n"
    "   set green   7 ;  #target\n"
    "   set cyan   10 ;  #matched region on target\n"
    "   set black  16 ;  #background\n"
    "\n";

void vmd_matched(const View& v) {
  const std::string name = v.names.file("_matched.tcl");
  _trel_text* out = trel_openAnnounced(v.folder + name, "Writing VMD command script: %s\n", 2);
  if (!out) return;
  vmd_head(out, v, name, "Tube");
  trel_putText(out, kPairColours);
  vmd_names(out, v);
  for (int query = 1; query >= 0; query--) {
    if (!query) trel_putText(out, "\n");
    vmd_load(out, query);
    const _pdb_image* image = query ? v.q : v.t;
    for (int i = 0; i < v.a->ncolumns; i++) {
      const _trel_a_column& c = v.a->columns[i];
      const _pdb_residue* r = residue(image, side(c, query));
      if (side(c, query) == -1 || !r) continue;
      trel_printText(out,
                     "   mol selection \"chain %s and resid %s\" ; mol color ColorID $%s ; mol "
                     "addrep top ;\n",
                     r->chain, r->resnum, colour(c, MATCHED, query));
    }
  }
  vmd_tail(out);
  trel_closeText(out);
}

// " n1 n2 ..." of one side's residue numbers over the matched pairs (of
// segment seg, or of all segments when seg < 0).
std::string matched_numbers(const View& v, bool query, int seg) {
  std::string list;
  const _pdb_image* image = query ? v.q : v.t;
  for (int i = 0; i < v.a->ncolumns; i++) {
    const _trel_a_column& c = v.a->columns[i];
    if (!matched(c) || (seg >= 0 && c.seg != seg)) continue;
    const _pdb_residue* r = residue(image, side(c, query));
    if (r) list += std::string(" ") + r->resnum;
  }
  return list;
}

void vmd_select(_trel_text* out, bool query, const char* colour_name) {
  trel_printText(out,
                 "   set mysel \"chain $%s and resid $%s\" ;\n"
                 "   mol selection $mysel ;\n"
                 "   mol color ColorID $%s ;\n"
                 "   mol addrep top ;\n"
                 "\n",
                 query ? "QueryChain" : "TargetChain", query ? "QueryResidues" : "TargetResidues",
                 colour_name);
}

void vmd_aligned(const View& v) {
  const std::string name = v.names.file("_aligned.tcl");
  _trel_text* out = trel_openAnnounced(v.folder + name, "Writing VMD command script: %s\n", 2);
  if (!out) return;
  vmd_head(out, v, name, "NewCartoon");
  trel_putText(out, kPairColours);
  vmd_names(out, v);
  trel_printText(out, "   set QueryChain  \"%s\" ;\n", v.qchain.c_str());
  trel_putText(out, ("   set QueryResidues  \"" + matched_numbers(v, true, -1) + "\" ;\n\n").c_str());
  trel_printText(out, "   set TargetChain \"%s\" ;\n", v.tchain.c_str());
  trel_putText(out,
               ("   set TargetResidues \"" + matched_numbers(v, false, -1) + "\" ;\n\n").c_str());
  vmd_load(out, true);
  vmd_select(out, true, "red");
  vmd_load(out, false);
  vmd_select(out, false, "orange");
  vmd_tail(out);
  trel_closeText(out);
}

void vmd_segments(const View& v) {
  const std::string name = v.names.file("_segments.tcl");
  _trel_text* out = trel_openAnnounced(v.folder + name, "Writing VMD script: %s\n", 2);
  if (!out) return;
  vmd_head(out, v, name, "NewCartoon");
  trel_putText(out,
               "   set blue      0 ;  #query\n"
               "   set green     7 ;  #target\n"
               "   set grey      2 ;  #segment 0 (unaligment segment)\n"
               "   set yellow    4 ;  #segment 1 (core segment)\n"
               "   set orange    3 ;  #segment 2\n"
               "   set green2   19 ;  #segment 3\n"
               "   set magenta2 28 ;  #segment 4\n"
               "   set tan       5 ;  #segment 5\n"
               "   set red       1 ;  #segment 6\n"
               "   set cyan     10 ;  #segment 7\n"
               "   set violet   25 ;  #segment 8\n"
               "   set lime     12 ;  #segment 9\n"
               "\n");
  vmd_names(out, v);
  for (int query = 1; query >= 0; query--) {
    if (!query) trel_putText(out, "\n");
    vmd_load(out, query);
    trel_printText(out, query ? "   set QueryChain  \"%s\" ;\n" : "   set TargetChain \"%s\" ;\n",
                   query ? v.qchain.c_str() : v.tchain.c_str());
    for (int s = 0; s <= v.a->nsegments; s++) {
      trel_putText(out, query ? "   set QueryResidues  \"" : "   set TargetResidues \"");
      trel_putText(out, (matched_numbers(v, query, s) + "\" ;\n\n").c_str());
      vmd_select(out, query, segment_colour(s));
    }
  }
  vmd_tail(out);
  trel_closeText(out);
}

// Rainbow colour of each column: the six colours cycle along the columns, a
// matched pair takes the current one, anything else is grey and skips one.
std::vector<int> rainbow_indices(const _trel_align* a) {
  std::vector<int> index((size_t)std::max(a->ncolumns, 0));
  int c = 0;
  for (int i = 0; i < a->ncolumns; i++) {
    index[(size_t)i] = matched(a->columns[i]) ? c : n_rainbow - 1;
    if (++c == n_rainbow - 1) c = 0;
  }
  return index;
}

// shared: the query's file, which every hit writes again.
void rainbow_pdb(const std::string& name, const _pdb_image* image, char chain, Matrix3D tf,
                 const _trel_options* o, bool shared) {
  if (zam_debug > 0) zam_msg("Writing RAINBOW pdb file: %s\n", name.c_str());
  _trel_pdb_out* out = shared ? trel_openSharedPdbOut(name.c_str()) : trel_openPdbOut(name.c_str());
  if (!out) return;
  zam_writePdbFile(out->fp, image, -1, chain, o->export_mode, o->sse_mode, 1, 0, tf);
  trel_closePdbOut(out);
}

void rainbow_macro(const View& v, const std::vector<int>& index, const std::string& qpdb,
                   const std::string& tpdb) {
  const std::string name = v.names.file("_rainbow.mac");
  _trel_text* out = trel_openAnnounced(v.folder + name, "Writing Zam RAINBOW macro file: %s\n", 1);
  if (!out) return;
  trel_putRainbowHead(out, name.c_str(), "alignment", "Zam", v.folder.c_str(), "zam", false);
  openPair(out, qpdb, tpdb);
  for (int query = 1; query >= 0; query--) {
    if (!query) trel_printText(out, "molecule_scope    %d\n", 1);
    const _pdb_image* image = query ? v.q : v.t;
    for (int i = 0; i < v.a->ncolumns; i++) {
      const _pdb_residue* r = residue(image, side(v.a->columns[i], query));
      if (side(v.a->columns[i], query) == -1 || !r) continue;
      trel_printText(out, query ? "residue_colour A %s %s %s\n" : "residue_colour B %s %s %s\n",
                     r->resnum, r->resnum, rainbow_colour[index[(size_t)i]]);
    }
  }
  trel_printText(out, "molecule_scope    %d\n", -1);
  trel_closeText(out);
}

void rainbow_script(const View& v, const std::vector<int>& index, const std::string& qpdb,
                    const std::string& tpdb) {
  const std::string name = v.names.file("_rainbow.tcl");
  _trel_text* out = trel_openAnnounced(v.folder + name, "Writing VMD RAINBOW command file: %s\n", 1);
  if (!out) return;
  trel_putRainbowHead(out, name.c_str(), "alignment", "VMD", v.folder.c_str(), "vmd", false);
  trel_putVmdRainbowStart(out);
  for (int query = 1; query >= 0; query--) {
    const _pdb_image* image = query ? v.q : v.t;
    trel_printText(out, "mol new %s type pdb ;\n", (query ? qpdb : tpdb).c_str());
    trel_putText(out,
                 "mol delrep 0 top ;\n"
                 "mol selection backbone ;\n"
                 "mol color ColorID $grey ;\n"
                 "mol addrep top ;\n");
    for (int k = 0; k < n_rainbow; k++) {
      std::string list;
      for (int i = 0; i < v.a->ncolumns; i++) {
        const _pdb_residue* r = residue(image, side(v.a->columns[i], query));
        if (side(v.a->columns[i], query) == -1 || !r || index[(size_t)i] != k) continue;
        list += std::string(" ") + r->resnum;
      }
      trel_putText(out, ("set TheResidues \"" + list + "\" ;\n\n").c_str());
      if (list.empty()) continue;
      trel_printText(out, "set mysel \"chain %c and backbone and resid $TheResidues\" ;\n",
                     query ? 'A' : 'B');
      trel_printText(out,
                     "mol selection $mysel ;\n"
                     "mol color ColorID $%s ;\n"
                     "mol addrep top ;\n"
                     "\n",
                     rainbow_colour[k]);
    }
  }
  vmd_tail(out);
  trel_closeText(out);
}

}  // namespace

void trel_writeAlignMask(const _trel_align* align, const _pdb_image* query,
                         const _pdb_image* target, const char* query_suffix,
                         const char* target_suffix, const char* folder, Matrix3D tf,
                         const _trel_options* options) {
  if (!align || !query || !target || !options) return;
  trel_writeAlignViews(align, query, target, trel_pairNames(query->name, target->name, query_suffix, target_suffix),
                       folder, tf, options);
}

void trel_writeAlignViews(const _trel_align* align, const _pdb_image* query, const _pdb_image* target,
                          const _trel_pair_names& names, const char* folder, Matrix3D tf,
                          const _trel_options* options) {
  if (!align || !query || !target || !options || !options->write_pdb) return;
  View v{align, query, target, names, {}, {}, {}, tf_tftf(align->tf, tf)};
  v.folder = text(folder);
  const _pdb_residue* qr = residue(query, first_residue(align, true));
  const _pdb_residue* tr = residue(target, first_residue(align, false));
  v.qchain = qr ? qr->chain : "";
  v.tchain = tr ? tr->chain : "";

  const bool zam = options->write_zam, vmd = options->write_vmd;
  // These load the superposed query and target: none when either is not written.
  const bool superposed = !names.query_out.empty() && !names.target_out.empty();
  for (Colouring kind : {MATCHED, ALIGNED, SEGMENTS}) {
    if (zam && superposed) zam_macro(v, kind);
    if (vmd && superposed) {
      if (kind == MATCHED) vmd_matched(v);
      if (kind == ALIGNED) vmd_aligned(v);
      if (kind == SEGMENTS) vmd_segments(v);
    }
  }
  if (!options->write_rainbow || (!zam && !vmd)) return;
  const std::vector<int> index = rainbow_indices(align);
  const std::string qpdb = v.names.queryFile("_rainbow.pdb");
  const std::string tpdb = v.names.file("_rainbow.pdb");
  if (zam) {
    rainbow_pdb(v.folder + qpdb, query, 'A', tf, options, true);
    rainbow_pdb(v.folder + tpdb, target, 'B', v.tmatrix, options, false);
    rainbow_macro(v, index, qpdb, tpdb);
  }
  if (vmd) rainbow_script(v, index, qpdb, tpdb);
}

void trel_putRainbowHead(_trel_text* out, const char* name, const char* drawn, const char* viewer,
                         const char* folder, const char* command, bool chain_limit) {
  trel_printText(out, "# This file: %s\n", name);
  trel_printText(out, "#\n# %s command file to draw a Trel %s in rainbow colours.\n#\n", viewer, drawn);
  trel_putText(out,
               "# Here, six colours (red, orange, yellow, green, blue, violet) are allocated\n"
               "# cyclically from the N-terminus. Aligned residues will appear in the same colour.\n"
               "# A gap in the alignment causes a colour to be skipped, and singleton residues\n"
               "# (those not aligned with anything) are coloured in grey.\n"
               "#\n");
  // The chain letters run out after 62 chains (A-Z, a-z, 0-9).
  if (chain_limit) trel_putText(out, "# NB. Rainbow colouring does not work correctly with more than 62 chains.\n");
  trel_putText(out, "# NB. The colouring commands only work with Zam version 7.0.1 or higher.\n#\n");
  trel_printText(out, "# Usage: (cd %s; %s -e %s)\n#\n", folder, command, name);
}

void trel_putVmdRainbowStart(_trel_text* out) {
  trel_putText(out,
               "proc load_pair {} {\n"
               "\n"
               "set red       1 ;\n"
               "set orange    3 ;\n"
               "set yellow    4 ;\n"
               "set green     7 ;\n"
               "set blue      0 ;\n"
               "set violet   25 ;\n"
               "set grey    2 ;\n"
               "\n"
               "mol default style Tube ;\n"
               "color Display Background black ;\n"
               "menu graphics on ;\n"
               "axes location off ;\n"
               "display projection orthographic ;\n"
               "\n");
}
