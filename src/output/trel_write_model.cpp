#include "output/trel_write_model.h"

#include <algorithm>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "align/trel_profile.h"
#include "output/trel_print.h"
#include "output/trel_run_options.h"
#include "output/trel_write_pdb.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

const char* orEmpty(const char* s) { return s ? s : ""; }

// Length of the well-formed UTF-8 character starting at s[i] (2 to 4
// bytes), or 0 when the bytes there are not one.
size_t utf8Length(const std::string& s, size_t i) {
  const unsigned char c = (unsigned char)s[i];
  size_t n = 0;
  unsigned min = 0;
  unsigned value = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, min = 0x80, value = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, min = 0x800, value = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, min = 0x10000, value = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; k++) {
    const unsigned char d = (unsigned char)s[i + k];
    if ((d & 0xC0) != 0x80) return 0;
    value = (value << 6) | (d & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  // Line and paragraph separators end a line for some readers of the script.
  if (value == 0x2028 || value == 0x2029 || value == 0x85) return 0;
  return n;
}

// The entry name of an object: its image's name (the name the alignment and
// PDB files carry), else the object's own.
std::string entryName(const _trel_thing* t) {
  if (t && t->image && t->image->name && t->image->name[0]) return t->image->name;
  return t ? orEmpty(t->name) : "";
}

// A template's code: its PDB file's name without ".pdb", as the script's
// knowns and the alignment's entries name it, so that the modelling program
// finds the file.
std::string templateCode(const _trel_thing* t) {
  const std::string file = zam_fileName({entryName(t)}, ".pdb");
  return file.substr(0, file.size() - 4);
}

char residueCode(const _pdb_image* image, int i) {
  if (i < 0) return '-';
  if (!image || !image->residues || i >= image->nres || !image->residues[i].code[0]) return 'X';
  return image->residues[i].code[0];
}

// The script, line by line; known holds the known templates' entry names.
std::string script(const std::string& file, const std::string& seq, const std::string& ali,
                   const std::vector<std::string>& known, int n_models, const std::string& model,
                   const std::string& dope, bool profile) {
  // The comment keeps the name on its line: control bytes become '_'.
  std::string comment = file;
  for (char& c : comment)
    if ((unsigned char)c < 0x20 || c == 0x7F) c = '_';
  std::string s;
  s += "#File: " + comment + "\n";
  s += "#\n";
  s += "from modeller import *\n";
  s += "from modeller.automodel import *\n";
  s += "import sys\n";
  s += "import shutil\n";
  s += "\n";
  s += "log.verbose()\n";
  s += "env = environ()\n";
  s += "env.io.atom_files_directory = ['.']\n";
  s += "\n";
  s += "a = automodel(env,\n";
  s += "              assess_methods = (assess.DOPE),\n";
  s += "              sequence = " + trel_pythonString(seq) + ",\n";
  s += "              alnfile  = " + trel_pythonString(ali) + ",\n";
  s += "              knowns   = (";
  for (size_t k = 0; k < known.size(); k++) {
    if (k > 0) s += ",\n                          ";
    s += trel_pythonString(known[k]);
  }
  // One name alone is a string, which the package reads as one template.
  s += "))\n";
  s += "a.starting_model = 1\n";
  s += "a.ending_model   = " + std::to_string(n_models) + "\n";
  s += "\n";
  s += "a.make()\n";
  s += "\n";
  s += "# Extract model according to the Modeller Manual example\n";
  s += "# (see https://salilab.org/modeller/manual/node19.html)\n";
  s += "\n";
  s += "ok_models = [x for x in a.outputs if x['failure'] is None]\n";
  s += "key = 'DOPE score'\n";
  s += "if sys.version_info[:2] == (2,3):\n";
  s += "\tok_models.sort(lambda a,b: cmp(a[key], b[key]))\n";
  s += "else:\n";
  s += "\tok_models.sort(key=lambda a: a[key])\n";
  s += "\n";
  s += "m = ok_models[0]\n";
  s += "print(\"TOP MODEL: %s (DOPE score %.3f)\" % (m['name'], m[key]))\n";
  s += "\n";
  s += "shutil.copy(m['name'], " + trel_pythonString(model) + ")\n";
  s += "\n";
  s += "dope_file = open(" + trel_pythonString(dope) + ", 'w')\n";
  s += "dope_file.write(str(m[key]) + '\\n')\n";
  s += "dope_file.close()\n";
  s += "\n";
  if (profile) s += "\n";
  return s;
}

// A template's PDB file: all chains with their letters, all atoms, SSE
// records by sse_mode, TER, coordinates as held.
void writeTemplate(const std::string& path, const _pdb_image* image, const _trel_options* o) {
  _trel_pdb_out* out = trel_openPdbOut(path.c_str());
  if (!out) return;
  zam_writePdbFile(out->fp, image, -1, 0, 0, o->sse_mode, 1, 0, tf_identity());
  trel_closePdbOut(out);
}

struct Names {
  std::string folder, seq, script_file, ali_file;
};

Names announce(const char* folder, const _trel_thing* sequence) {
  Names n;
  n.folder = orEmpty(folder);
  n.seq = orEmpty(sequence->name);
  n.script_file = zam_fileName({n.seq}, "_modeller.py");
  n.ali_file = zam_fileName({n.seq}, ".ali");
  zam_msg("Writing MODELLER directory: %s\n", n.folder.c_str());
  zam_msg("Writing MODELLER command file: %s\n", (n.folder + n.script_file).c_str());
  return n;
}

}  // namespace

std::string trel_pythonString(const std::string& text) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "'";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = (unsigned char)text[i];
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += (char)c;
      i++;
    } else if (c >= 0x20 && c < 0x7F) {
      out += (char)c;
      i++;
    } else if (const size_t n = c >= 0x80 ? utf8Length(text, i) : 0) {
      out.append(text, i, n);
      i += n;
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
      i++;
    }
  }
  return out + "'";
}

void trel_writeModelAlign(_trel_thing* sequence, _trel_thing* templ, const _trel_align* align,
                          const char* folder, int n_models, const _trel_options* options) {
  if (!sequence || !templ || !align || !options) return;
  const _pdb_image* qimage = trel_imageThing(sequence);
  const _pdb_image* timage = trel_imageThing(templ);
  if (!qimage || !timage) return;  // the store said why
  const Names n = announce(folder, sequence);
  const std::string qname = entryName(sequence), tname = templateCode(templ);
  const std::vector<std::string> model = {n.seq, orEmpty(templ->name)};
  trel_writeText(n.folder + n.script_file,
                 script(n.script_file, qname, n.ali_file, {tname}, n_models, zam_fileName(model, "_modeller.pdb"),
                        zam_fileName(model, "_modeller.dope"), false));

  if (zam_debug > 1) zam_msg("Writing MODELLER alignment file: %s\n", (n.folder + n.ali_file).c_str());
  std::string qrow, trow;
  for (int c = 0; c < align->ncolumns; c++) {
    qrow += residueCode(qimage, align->columns[c].qres);
    trow += residueCode(timage, align->columns[c].tres);
  }
  const int width = trel_rowWidth(options);
  trel_writeText(n.folder + n.ali_file, trel_pirEntry("sequence", qname, qname, qimage, qrow, width) +
                                        trel_pirEntry("structure", tname, tname, timage, trow, width));
  writeTemplate(n.folder + tname + ".pdb", timage, options);
}

void trel_writeModelProfile(_trel_thing* sequence, const _trel_profile* profile, const char* folder,
                            int n_models, const _trel_options* options) {
  if (!sequence || !profile || !options || !profile->table || !profile->things) return;
  const Names n = announce(folder, sequence);
  const int rows = profile->n_used, cols = profile->n_cols;
  std::vector<_pdb_image*> images((size_t)rows, nullptr);
  std::vector<std::string> known;
  for (int r = 0; r < rows; r++) {
    images[(size_t)r] = profile->things[r] ? trel_imageThing(profile->things[r]) : nullptr;
    if (images[(size_t)r] && !images[(size_t)r]->fake) known.push_back(templateCode(profile->things[r]));
  }
  trel_writeText(n.folder + n.script_file,
                 script(n.script_file, entryName(sequence), n.ali_file, known, n_models,
                        zam_fileName({n.seq}, "_modeller.pdb"), zam_fileName({n.seq}, "_modeller.dope"), true));

  if (zam_debug > 1) zam_msg("Writing MODELLER multiple alignment file: %s\n", (n.folder + n.ali_file).c_str());
  const int width = trel_rowWidth(options);
  std::string ali;
  for (int r = 0; r < rows; r++) {
    const _pdb_image* image = images[(size_t)r];
    if (!image) continue;  // a row whose structure could not be read has nothing to give
    const bool fake = image->fake != 0;
    std::string row;
    for (int c = 0; c < cols; c++) row += residueCode(image, profile->table[(size_t)c * rows + r]);
    const std::string name = fake ? entryName(profile->things[r]) : templateCode(profile->things[r]);
    if (!fake) writeTemplate(n.folder + name + ".pdb", image, options);
    ali += trel_pirEntry(fake ? "sequence" : "structure", name, name, image, row, width);
  }
  trel_writeText(n.folder + n.ali_file, ali);
}
