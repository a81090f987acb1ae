#include "output/trel_profile_rainbow.h"

#include <cstdio>
#include <string>
#include <vector>

#include "align/trel_globals.h"
#include "align/trel_markup.h"
#include "align/trel_profile.h"
#include "output/trel_print.h"
#include "output/trel_write_view.h"
#include "output/trel_run_options.h"
#include "output/trel_write_pdb.h"
#include "output/trel_write_profile.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

// Zam cannot tell more chains apart than there are chain letters.
constexpr int kChainLetters = 62;

const char* text(const char* s) { return s ? s : ""; }

struct Rainbow {
  _trel_rainbow_rows t;
  std::string folder;  // ends in '/'
  std::string name;    // the alignment's name
  std::string suffix;  // naming texts after it, "_rainbow" last
  Matrix3D transform;
  const _trel_options* o;

  // The file whose name ends in tail after the suffix.
  std::string file(const std::string& tail) const { return zam_fileName({name}, suffix + tail); }
};

const char* row_name(const Rainbow& w, int r) { return w.t.names ? text(w.t.names[r]) : ""; }

// Colour index of every column for row r: -1 where the row has a gap, grey
// (n_rainbow - 1) where no other row has a residue, else the column's place
// in the cycle of six colours.
std::vector<int> colour_indices(const Rainbow& w, int r) {
  std::vector<int> index((size_t)w.t.cols, -1);
  for (int c = 0; c < w.t.cols; c++) {
    const int* col = w.t.table + (size_t)c * w.t.rows;
    if (col[r] < 0) continue;
    int present = 0;
    for (int k = 0; k < w.t.rows; k++) present += col[k] >= 0;
    index[(size_t)c] = present <= 1 ? n_rainbow - 1 : c % (n_rainbow - 1);
  }
  return index;
}

const _pdb_residue* residue_at(const Rainbow& w, const _pdb_image* image, int c, int r) {
  const int i = w.t.table[(size_t)c * w.t.rows + r];
  if (!image || !image->residues || i < 0 || i >= image->nres) return nullptr;
  return &image->residues[i];
}

void remark(_trel_pdb_out* out, int r, const char* name) {
  if (r == 0)
    zam_fprintf(out->fp, "REMARK  Query:      %s\n", name);
  else
    zam_fprintf(out->fp, "REMARK  Target %d:      %s\n", r, name);
}

// Row r's image as the rainbow PDB files show it: with residue_mask, a view
// whose residues the mask hides as the row's alignment says; else the image.
const _pdb_image* masked(const Rainbow& w, int r, const _pdb_image* image, _trel_mask_view* view) {
  if (!w.o->residue_mask) return image;
  trel_pdbProfileMask(r, w.t.rows, w.t.cols, w.o->residue_mask, w.t.table, trel_maskView(view, image));
  return &view->image;
}

void write_zam(const Rainbow& w) {
  const std::string pdb = w.file(".pdb"), mac = w.file(".mac");
  if (zam_debug > 0) zam_msg("Writing RAINBOW pdb file: %s\n", (w.folder + pdb).c_str());
  _trel_pdb_out* out = trel_openPdbOut((w.folder + pdb).c_str());
  if (zam_debug > 0) zam_msg("Writing Zam RAINBOW macro file: %s\n", (w.folder + mac).c_str());
  _trel_text* cmd = trel_openText((w.folder + mac).c_str());
  if (w.t.rows > kChainLetters) zam_wrn("Rainbow colours do not work properly in Zam with more than 62 chains.\n");
  if (cmd) {
    trel_putRainbowHead(cmd, mac.c_str(), "multiple alignment", "Zam", w.folder.c_str(), "zam", true);
    trel_printText(cmd, "open_receptor %s\n", pdb.c_str());
    trel_printText(cmd, "molecule_scope    %d\n", -1);
    trel_printText(cmd, "model_display     %d\n", 0);
    trel_printText(cmd, "display_sidechain %d\n", 0);
    trel_printText(cmd, "molecule_scope    %d\n", 0);
  }
  char chain = 'A';
  int serial = 0;
  for (int r = 0; r < w.t.rows; r++) {
    _pdb_image* image = w.t.images[r];
    if (!image) continue;
    if (image->fake) {
      if (zam_debug > 0) zam_msg("Omitting fake structure (%s) from Zam rainbow PDB.\n", row_name(w, r));
      continue;
    }
    if (out) {
      _trel_mask_view view;
      remark(out, r, row_name(w, r));
      zam_fprintf(out->fp, "MODEL %8d\n", r + 1);
      serial = zam_writePdbFile(out->fp, masked(w, r, image, &view), -1, chain, w.o->export_mode, w.o->sse_mode, 1,
                                serial, w.transform);
      zam_fprintf(out->fp, "ENDMDL\n");
    }
    if (cmd) {
      const std::vector<int> index = colour_indices(w, r);
      for (int k = 0; k < n_rainbow; k++)
        for (int c = 0; c < w.t.cols; c++) {
          const _pdb_residue* res = index[(size_t)c] == k ? residue_at(w, image, c, r) : nullptr;
          if (res)
            trel_printText(cmd, "residue_colour %c %s %s %s\n", chain, res->resnum, res->resnum,
                           rainbow_colour[k]);
        }
    }
    chain = next_chainLetter(chain);
  }
  trel_closePdbOut(out);
  trel_closeText(cmd);
}

void write_vmd(const Rainbow& w) {
  const std::string tcl = w.file(".tcl");
  if (zam_debug > 0) zam_msg("Writing VMD RAINBOW command file: %s\n", (w.folder + tcl).c_str());
  _trel_text* cmd = trel_openText((w.folder + tcl).c_str());
  if (cmd) {
    trel_putRainbowHead(cmd, tcl.c_str(), "multiple alignment", "VMD", w.folder.c_str(), "vmd", true);
    trel_putVmdRainbowStart(cmd);
  }
  char chain = 'A';
  for (int r = 0; r < w.t.rows; r++) {
    _pdb_image* image = w.t.images[r];
    if (!image) continue;
    if (image->fake) {
      if (zam_debug > 0) zam_wrn("Omitting fake structure (%s) from VMD rainbow PDB.\n", row_name(w, r));
      continue;
    }
    char number[16];
    snprintf(number, sizeof number, "%5.5d", r + 1);
    const std::string pdb = w.file(std::string("_") + number + ".pdb");
    if (_trel_pdb_out* out = trel_openPdbOut((w.folder + pdb).c_str())) {
      _trel_mask_view view;
      remark(out, r, row_name(w, r));
      zam_writePdbFile(out->fp, masked(w, r, image, &view), -1, chain, w.o->export_mode, w.o->sse_mode, 1, 0,
                       w.transform);
      trel_closePdbOut(out);
    }
    if (cmd) {
      trel_printText(cmd, "set TheStructure \"%s\" ;\n", pdb.c_str());
      trel_putText(cmd,
                   "mol new $TheStructure type pdb ;\n"
                   "mol delrep 0 top ;\n"
                   "mol selection backbone ;\n"
                   "mol color ColorID $grey ;\n"
                   "mol addrep top ;\n");
      trel_printText(cmd, "\nset TheChain \"%c\" ;\n\n", chain);
      const std::vector<int> index = colour_indices(w, r);
      for (int k = 0; k < n_rainbow; k++) {
        std::string list;
        for (int c = 0; c < w.t.cols; c++) {
          const _pdb_residue* res = index[(size_t)c] == k ? residue_at(w, image, c, r) : nullptr;
          if (res) list += std::string(" ") + res->resnum;
        }
        trel_putText(cmd, ("set TheResidues \"" + list + "\" ;\n\n").c_str());
        if (list.empty()) continue;
        trel_putText(cmd,
                     "set mysel \"chain $TheChain and backbone and resid $TheResidues\" ;\n"
                     "mol selection $mysel ;\n");
        trel_printText(cmd, "mol color ColorID $%s ;\nmol addrep top ;\n\n", rainbow_colour[k]);
      }
    }
    chain = next_chainLetter(chain);
  }
  if (!cmd) return;
  trel_putText(cmd, "}\n\nload_pair ;\n");
  trel_closeText(cmd);
}

}  // namespace

char next_chainLetter(char c) {
  if ((c >= 'A' && c < 'Z') || (c >= 'a' && c < 'z') || (c >= '0' && c < '9')) return (char)(c + 1);
  if (c == 'Z') return 'a';
  if (c == 'z') return '0';
  if (c == '9') return 'A';
  return c;
}

void trel_writeRainbowRows(const _trel_rainbow_rows& rows, Matrix3D transform, const std::string& name,
                           const std::string& suffix, const char* folder, const _trel_options* options) {
  if (!rows.table || rows.rows < 1 || !rows.images || !options || !options->write_pdb || !options->write_rainbow)
    return;
  const Rainbow w{rows, text(folder), name, suffix + "_rainbow", transform, options};
  if (options->write_zam) write_zam(w);
  if (options->write_vmd) write_vmd(w);
}

void trel_writeProfileRainbow(const _trel_profile* profile, int which, Matrix3D transform,
                              const char* multi_suffix, const char* flex_suffix,
                              const char* folder, const _trel_options* options) {
  if (!profile || !options || !options->write_pdb || !options->write_rainbow) return;
  const _trel_profile_table t = trel_profileTable(profile, which);
  if (!t.table || t.rows < 1) return;
  std::vector<_pdb_image*> images((size_t)t.rows, nullptr);
  std::vector<const char*> names((size_t)t.rows, "");
  for (int r = 0; r < t.rows && r < profile->n_rows; r++) {
    _trel_thing* thing = profile->things ? profile->things[r] : nullptr;
    if (!thing) continue;
    images[(size_t)r] = trel_imageThing(thing);
    names[(size_t)r] = text(thing->name);
  }
  const _trel_rainbow_rows rows{t.table, t.rows, t.cols, images.data(), names.data()};
  trel_writeRainbowRows(rows, transform, text(profile->name), std::string(text(multi_suffix)) + text(flex_suffix),
                        folder, options);
}
