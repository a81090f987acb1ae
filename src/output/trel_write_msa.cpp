#include "output/trel_write_msa.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "align/trel_globals.h"
#include "align/trel_msa_record.h"
#include "output/trel_print.h"
#include "output/trel_profile_rainbow.h"
#include "output/trel_run_options.h"
#include "output/trel_write_pdb.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"

namespace {

const char* const kRule =
    "#===============================================================================\n";

const char* text(const char* s) { return s ? s : ""; }

const _pdb_residue* residue_of(const _trel_msa* msa, int s, int i) {
  const _pdb_image* image = msa->images[s];
  return image && image->residues && i >= 0 && i < image->nres ? &image->residues[i] : nullptr;
}

int index_at(const _trel_msa* msa, int c, int s) { return msa->residue_index[(size_t)c * msa->n_struct + s]; }

// Row s over columns b..e-1: the structure's one-letter codes, '-' for a gap.
std::string row_text(const _trel_msa* msa, int s, int b, int e) {
  std::string row;
  row.reserve((size_t)std::max(e - b, 0));
  for (int c = b; c < e; c++) {
    const _pdb_residue* res = index_at(msa, c, s) < 0 ? nullptr : residue_of(msa, s, index_at(msa, c, s));
    row += index_at(msa, c, s) < 0 ? '-' : (res && res->code[0] ? res->code[0] : '?');
  }
  return row;
}

std::string padded(const char* name) {
  std::string cell = text(name);
  if (cell.size() < 24) cell.resize(24, ' ');
  return cell;
}

std::string residue_cell(const char* chain, const char* resnum) {
  char cell[64];
  snprintf(cell, sizeof cell, " %s(%6.6s)  ", text(chain), text(resnum));
  return cell;
}

void write_kmsa(const _trel_msa* msa, const std::string& file, int width) {
  _trel_text* out = trel_openAnnounced(file, "Writing Trel multiple alignment file: %s\n", 0);
  if (!out) return;
  for (int b = 0; b < msa->n_col; b += width) {
    const int e = std::min(b + width, msa->n_col);
    std::string block;
    for (int s = 0; s < msa->n_struct; s++) {
      int first = -1;
      for (int c = b; c < e && first < 0; c++)
        if (index_at(msa, c, s) >= 0) first = c;
      const _pdb_residue* res = first < 0 ? nullptr : residue_of(msa, s, index_at(msa, first, s));
      block += padded(msa->names[s]) + (res ? residue_cell(res->chain, res->resnum) : residue_cell("-", "------")) +
               row_text(msa, s, b, e) + "\n";
    }
    const std::string rule = std::string((size_t)(36 + e - b), '-') + "\n";
    block += "\n" + rule + padded("Reference-SSE") + residue_cell("-", "------");
    for (int c = b; c < e; c++) {
      const _pdb_residue* res = index_at(msa, c, 0) < 0 ? nullptr : residue_of(msa, 0, index_at(msa, c, 0));
      block += res ? res->sse[0] : ' ';
    }
    block += '\n';
    block += padded("Colour-Codes") + residue_cell("-", "------");
    for (int c = b; c < e; c++) block += rainbow_letter[c % (n_rainbow - 1)];
    block += "\n" + rule + "\n";
    trel_putText(out, block.c_str());
  }
  trel_closeText(out);
}

void write_fasta(const _trel_msa* msa, const std::string& file, const std::string& suffix, int width) {
  _trel_text* out = trel_openAnnounced(file, "Writing FASTA multiple alignment file: %s\n", 0);
  if (!out) return;
  for (int s = 0; s < msa->n_struct; s++) {
    const _pdb_residue* first = residue_of(msa, s, 0);
    trel_putText(out, (std::string(">") + text(msa->images[s]->name) + suffix + " " + (first ? first->chain : "") +
                       "\n").c_str());
    trel_putLines(out, row_text(msa, s, 0, msa->n_col), width);
    trel_putText(out, "\n");
  }
  trel_closeText(out);
}

void write_pir(const _trel_msa* msa, const std::string& file, const std::string& suffix, int width) {
  _trel_text* out = trel_openAnnounced(file, "Writing PIR multiple alignment file: %s\n", 0);
  if (!out) return;
  for (int s = 0; s < msa->n_struct; s++) {
    const _pdb_image* image = msa->images[s];
    trel_putText(out, trel_pirEntry(image->fake ? "sequence" : "structure", text(image->name) + suffix,
                                    text(image->name), image, row_text(msa, s, 0, msa->n_col), width)
                          .c_str());
  }
  trel_closeText(out);
}

void write_kalign(const _trel_msa* msa, const std::string& file, int width) {
  _trel_text* out = trel_openAnnounced(file, nullptr, 0);
  if (!out) return;
  trel_putText(out, kRule);
  trel_putText(out, ("#Primary query:      " + std::string(text(msa->images[0]->name)) + "\n").c_str());
  trel_printText(out, "#Aligned structures: %d\n", msa->n_struct);
  trel_printText(out, "#Alignment length:   %d\n", msa->n_col);
  trel_putText(out, kRule);
  trel_putText(out, "\n");
  for (int b = 0; b < msa->n_col; b += width) {
    const int e = std::min(b + width, msa->n_col);
    std::string block;
    for (int s = 0; s < msa->n_struct; s++) block += padded(msa->names[s]) + row_text(msa, s, b, e) + "\n";
    trel_putText(out, (block + "\n").c_str());
  }
  trel_closeText(out);
}

}  // namespace

void trel_writeMSA(const _trel_msa* msa, Matrix3D transform, const char* prefix, const char* suffix,
                   const char* folder, const _trel_options* options) {
  if (!msa || !options || msa->n_struct < 1) return;
  for (int s = 0; s < msa->n_struct; s++)
    if (!msa->images[s]) {
      zam_wrn("No alignment files for %s: row %s has no structure.\n", text(msa->name), text(msa->names[s]));
      return;
    }
  const int width = trel_rowWidth(options);
  const std::string dir = text(folder), tail = text(suffix);
  // The alignment's file whose name ends in extension.
  const auto file = [&](const char* extension) {
    return dir + zam_fileName({text(msa->name)}, text(prefix) + tail + extension);
  };
  if (options->write_kmsa) write_kmsa(msa, file(".kmsa"), width);
  if (options->write_fasta) write_fasta(msa, file(".fasta"), tail, width);
  if (options->write_pir) write_pir(msa, file(".pir"), tail, width);
  if (options->write_kalign) write_kalign(msa, file(".kalign"), width);
  if (!options->write_pdb) return;
  for (int s = 0; s < msa->n_struct; s++) {
    const _pdb_image* image = msa->images[s];
    _trel_pdb_out* out = trel_openPdbOut((dir + zam_fileName({text(image->name)}, tail + ".pdb")).c_str());
    if (!out) continue;
    zam_writePdbFile(out->fp, image, -1, 0, options->export_mode, options->sse_mode, 1, 0, transform);
    trel_closePdbOut(out);
  }
}

void trel_writeMSArainbow(const _trel_msa* msa, Matrix3D transform, const char* prefix, const char* suffix,
                          const char* folder, const _trel_options* options) {
  if (!msa) return;
  std::vector<const char*> names((size_t)std::max(msa->n_struct, 1), "");
  for (int s = 0; s < msa->n_struct; s++) names[(size_t)s] = msa->images[s] ? text(msa->images[s]->name) : "";
  const _trel_rainbow_rows rows{msa->residue_index, msa->n_struct, msa->n_col, msa->images, names.data()};
  trel_writeRainbowRows(rows, transform, text(msa->name), std::string(text(prefix)) + text(suffix), folder, options);
}
