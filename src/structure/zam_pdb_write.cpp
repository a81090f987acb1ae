// PDB text writer: structure images as REMARK header, HELIX/SHEET/TURN
// records from the residues' secondary-structure letters, ATOM lines moved by
// a transform, TER and hetero atoms; and the re-writing of the ATOM lines of
// a PDB text file through a transform.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_inputs.h"
#include "runtime/zam_log.h"
#include "runtime/zam_string.h"
#include "runtime/zam_system.h"
#include "runtime/zam_version.h"
#include "runtime/zam_whole.h"
#include "structure/zam_pdb.h"
#include "structure/zam_residue.h"

namespace {

constexpr int kLineSize = 257;

// Serial numbers have five columns: after 99999 they start again at 1.
int nextSerial(int serial) {
  ++serial;
  return serial >= 100000 ? 1 : serial;
}

// The owning residue of an atom, or null when its index is out of range.
const _pdb_residue* residueOf(const _pdb_image* image, const _pdb_atom& a) {
  if (!image->residues || a.residue < 0 || a.residue >= image->nres) return nullptr;
  return &image->residues[a.residue];
}

// Whether an atom is written for this chain (-1 all) and not masked.
bool written(const _pdb_image* image, const _pdb_atom& a, int chain, int selection) {
  const _pdb_residue* r = residueOf(image, a);
  if (r && r->masked) return false;
  if (chain != -1 && (r ? r->chain_no : a.chain_no) != chain) return false;
  return zam_atomSelected(a, selection);
}

// Chain character of an atom line: the label, or the atom's own chain, then
// the image's chain-letter shift (multiplied by the chain count when positive).
void setChain(const _pdb_image* image, const _pdb_atom& a, char label, char* out) {
  char c = label ? label : a.chain[0];
  int s = image->delta;
  out[0] = deltaChar(c, s < 1 ? s : s * image->nchains);
  out[1] = 0;
}

// "%-6s%5d %-4s%1s%-3s %1s%4s%1s   %8.3f%8.3f%8.3f%6.2f%6.2f\n" of the atom,
// put together field by field: printf's floating-point path was most of the
// time of writing the superposed structures of a search's hits.
void atomLine(_zam_file* f, const _pdb_atom& a, int serial, const char* chain, Point3D p) {
  thread_local std::string line;
  line.clear();
  str_append_left(line, a.type, 6);
  str_append_int(line, serial, 5);
  line += ' ';
  str_append_left(line, a.cname, 4);
  str_append_right(line, a.alt, 1);
  str_append_left(line, a.resname, 3);
  line += ' ';
  str_append_right(line, chain, 1);
  str_append_right(line, a.resnum, 4);
  str_append_right(line, a.icode, 1);
  line += "   ";
  str_append_fixed(line, p.x, 8, 3);
  str_append_fixed(line, p.y, 8, 3);
  str_append_fixed(line, p.z, 8, 3);
  str_append_fixed(line, a.occupancy, 6, 2);
  str_append_fixed(line, a.bfactor, 6, 2);
  line += '\n';
  // zam_fprintf writes at most 1023 characters of a line.
  zam_fwrite(f, line.data(), static_cast<int64_t>(std::min<size_t>(line.size(), 1023)));
}

void terLine(_zam_file* f, const _pdb_atom& a, int serial, const char* chain) {
  zam_fprintf(f, "%-6s%5d %-4s%1s%-3s %1s%4s%1s\n", "TER", serial, "    ", " ", a.resname, chain, a.resnum,
              a.icode);
}

Point3D moved(const _pdb_atom& a, const Matrix3D& m) { return pt_tfpt(m, Point3D{a.x, a.y, a.z}); }

// The residue fields of a secondary-structure record: from the residue's
// first atom, or from the residue record when it has no atoms.
struct ResidueFields {
  char resname[4];
  char chain[2];
  char resnum[5];
  char icode[2];
};

ResidueFields fieldsOf(const _pdb_image* image, const _pdb_residue& r, char label) {
  ResidueFields out{};
  if (r.first >= 0 && r.first <= r.last && r.first < image->natoms) {
    const _pdb_atom& a = image->atoms[r.first];
    memcpy(out.resname, a.resname, sizeof out.resname);
    memcpy(out.resnum, a.resnum, sizeof out.resnum);
    memcpy(out.icode, a.icode, sizeof out.icode);
    setChain(image, a, label, out.chain);
  } else {
    _pdb_atom a{};
    memcpy(a.chain, r.chain, sizeof a.chain);
    memcpy(out.resname, r.resname, sizeof out.resname);
    snprintf(out.resnum, sizeof out.resnum, "%.4s", r.resnum);
    setChain(image, a, label, out.chain);
  }
  return out;
}

}  // namespace

_zam_file* zam_openPdbFile(const char* name) {
  char path[300];
  zam_filename(name ? name : "", "pdb", path);
  _zam_file* f = zam_fopen(path, "w");
  if (!f) {
    zam_err("Failed to write PDB file: %s\n", path);
    return nullptr;
  }
  if (zam_debug > 1) zam_msg("Writing PDB: %s\n", path);
  zam_writePdbRemark(f);
  return f;
}

void zam_writePdbRemark(_zam_file* f) {
  char date[32];
  zam_fprintf(f, "REMARK  File written by %s on %s.\n", zam_version(), zam_get_date(date));
}

int zam_closePdbFile(_zam_file* stream) { return stream ? zam_fclose(stream) : 0; }

int zam_writePdbFile(_zam_file* f, const _pdb_image* image, int chain, char label, int selection, int sse,
                     int ter, int serial, Matrix3D matrix) {
  if (!f || !image) return serial;
  if (sse) zam_writePdbSSEs(f, image, chain, label);
  const _pdb_atom* last = nullptr;
  char c[2];
  for (int i = 0; i < image->natoms; ++i) {
    const _pdb_atom& a = image->atoms[i];
    if (!written(image, a, chain, selection)) continue;
    serial = nextSerial(serial);
    setChain(image, a, label, c);
    atomLine(f, a, serial, c, moved(a, matrix));
    last = &a;
  }
  if (ter && last) {
    serial = nextSerial(serial);
    setChain(image, *last, label, c);
    terLine(f, *last, serial, c);
  }
  for (int i = 0; i < image->nhetatms; ++i) {
    const _pdb_atom& a = image->hetatms[i];
    serial = nextSerial(serial);
    atomLine(f, a, serial, a.chain, moved(a, matrix));
  }
  return serial;
}

int zam_writePdb(const char* file, const _pdb_image* image, int chain, char label, int selection, int sse,
                 int ter, Matrix3D matrix) {
  char path[300];
  zam_filename(file ? file : "", "pdb", path);
  // Written whole: a link standing at the name is replaced, not written
  // through, and an input of the run is never written over.
  if (zam_refuseInput(path)) return 0;
  _zam_whole* out = zam_openWhole(path, "w");
  if (!out) {
    zam_err("Failed to write PDB file: %s [%s]\n", path, strerror(errno));
    return 0;
  }
  if (zam_debug > 1) zam_msg("Writing PDB: %s\n", path);
  zam_writePdbRemark(out->fp);
  zam_writePdbFile(out->fp, image, chain, label, selection, sse, ter, 0, matrix);
  if (!zam_closeWhole(out, true)) {
    zam_err("Failed to write PDB file: %s [%s]\n", path, strerror(errno));
    return 0;
  }
  return 1;
}

int zam_writePdbResidue(_zam_file* f, const _pdb_image* image, int i, char label, int selection, int ter,
                        int serial, Matrix3D matrix) {
  if (!f || !image || i < 0 || i >= image->nres || !image->residues) return serial;
  const _pdb_residue& r = image->residues[i];
  if (r.masked || r.first < 0 || r.first > r.last) return serial;
  const _pdb_atom* last = nullptr;
  char c[2];
  for (int k = r.first; k <= r.last && k < image->natoms; ++k) {
    const _pdb_atom& a = image->atoms[k];
    if (!zam_atomSelected(a, selection)) continue;
    serial = nextSerial(serial);
    setChain(image, a, label, c);
    atomLine(f, a, serial, c, moved(a, matrix));
    last = &a;
  }
  if (ter && last && i == image->nres - 1) {
    serial = nextSerial(serial);
    setChain(image, *last, label, c);
    terLine(f, *last, serial, c);
  }
  return serial;
}

void zam_writePdbSSEs(_zam_file* f, const _pdb_image* image, int chain, char label) {
  zam_writeSSEInfo(f, image, 'A', chain, label);
  zam_writeSSEInfo(f, image, 'B', chain, label);
  zam_writeSSEInfo(f, image, 'C', chain, label);
}

void zam_writeSSEInfo(_zam_file* f, const _pdb_image* image, char letter, int chain, char label) {
  if (!f || !image || !image->residues) return;
  int serial = 1, previous = -99;
  const _pdb_residue* res = image->residues;
  int i = 0;
  while (i < image->nres) {
    if (res[i].sse[0] != letter) {
      ++i;
      continue;
    }
    int j = i;
    while (j < image->nres && res[j].sse[0] == letter && res[j].chain_no == res[i].chain_no) ++j;
    int first = -1, last = -1;
    for (int k = i; k < j; ++k) {
      if (res[k].masked || (chain != -1 && res[k].chain_no != chain)) continue;
      if (first < 0) first = k;
      last = k;
    }
    i = j;
    if (first < 0) continue;
    if (res[first].chain_no == previous) {
      if (++serial >= 100) serial = 1;
    } else {
      serial = 1;
    }
    previous = res[first].chain_no;
    ResidueFields a = fieldsOf(image, res[first], label);
    ResidueFields b = fieldsOf(image, res[last], label);
    char id[16];
    if (letter == 'A') {
      snprintf(id, sizeof id, "H%2.2d", serial);
      zam_fprintf(f, "%-6s %3d %-3s %3s %1s %4s%1s %3s %1s %4s%1s%2d%-30s %5d\n", "HELIX ", serial, id, a.resname,
                  a.chain, a.resnum, a.icode, b.resname, b.chain, b.resnum, b.icode, 1, " ", last - first + 1);
    } else if (letter == 'B') {
      snprintf(id, sizeof id, "S%2.2d", serial);
      zam_fprintf(f, "%-6s %3d %-3s%2d %3s %1s%4s%1s %3s %1s%4s%s%2d\n", "SHEET ", serial, id, 1, a.resname,
                  a.chain, a.resnum, a.icode, b.resname, b.chain, b.resnum, b.icode, 0);
    } else if (letter == 'C') {
      snprintf(id, sizeof id, "T%2.2d", serial);
      zam_fprintf(f, "%-6s %3d %-3s %3s %1s%4s%1s %3s %1s%4s%s\n", "TURN  ", serial, id, a.resname, a.chain,
                  a.resnum, a.icode, b.resname, b.chain, b.resnum, b.icode);
    }
  }
}

int zam_getPdbAlphaNos(const _pdb_image* image, int chain, int selection, int serial, int* numbers) {
  if (!image || !numbers) return 0;
  int count = 0;
  for (int i = 0; i < image->natoms; ++i) {
    const _pdb_atom& a = image->atoms[i];
    if (!written(image, a, chain, selection)) continue;
    serial = nextSerial(serial);
    if (strcmp(a.name, "CA") == 0) numbers[count++] = serial;
  }
  return count;
}

int zam_exportPdb(const char* source, const char* target, int selection, Matrix3D matrix) {
  if (!source || !target) return 0;
  char in_name[300], out_name[300];
  // A compressed source is read as it is named; a missing one as ".pdb".
  if (zam_filesize(source) >= 0)
    snprintf(in_name, sizeof in_name, "%s", source);
  else
    zam_filename(source, "pdb", in_name);
  _zam_file* in = zam_fopen(in_name, "r");
  if (!in) {
    zam_err("Failed to read PDB file: %s\n", in_name);
    return 0;
  }
  zam_filename(target, "pdb", out_name);
  // Written whole: a failed read or write leaves the target as it was.
  _zam_whole* out = zam_openWhole(out_name, "w");
  if (!out) {
    zam_err("Failed to write PDB file: %s [%s]\n", out_name, strerror(errno));
    zam_fclose(in);
    return 0;
  }
  char line[kLineSize];
  int len = zam_freadln(in, kLineSize, line);
  if (len < 0 && zam_ferror(in)) {
    // A compressed file damaged or cut in its first part gives no line.
    zam_err("Failed to read PDB file: %s (after line 0) [%s]\n", in_name, zam_ferrorText(in));
    zam_fclose(in);
    zam_closeWhole(out, false);
    return 0;
  }
  if (len < 0) {
    zam_err("Empty PDB file: %s\n", in_name);
    zam_fclose(in);
    zam_closeWhole(out, false);
    return 0;
  }
  char date[32];
  zam_fprintf(out->fp, "REMARK  File written by %s on %s.\n", zam_version(), zam_get_date(date));
  int style = -1, count = 0;
  do {
    bool atom = strncmp(line, "ATOM", 4) == 0;
    // The occupancy style is that of the first coordinate line, not of the
    // file's first line (which is usually a header).
    if (style < 0 && (atom || strncmp(line, "HETATM", 6) == 0)) style = zam_tastePdbAtom(line, 0);
    if (!atom) continue;
    _pdb_atom a{};
    zam_parsePdbAtom(line, 0, style, &a);
    if (!zam_atomSelected(a, selection)) continue;
    count = nextSerial(count);
    atomLine(out->fp, a, count, a.chain, moved(a, matrix));
  } while (zam_freadln(in, kLineSize, line) >= 0);
  // A source cut short (a damaged compressed file) reads like a shorter one
  // line by line: only the stream's error state tells it apart.
  const bool read_whole = zam_ferror(in) == 0;
  const int lines_read = zam_fline(in);
  const char* why = zam_ferrorText(in);  // a text of the runtime's, not of the handle
  zam_fclose(in);
  if (!read_whole) {
    zam_closeWhole(out, false);
    zam_err("Failed to read PDB file: %s (after line %d) [%s]\n", in_name, lines_read, why);
    return 0;
  }
  if (!zam_closeWhole(out, true)) {
    zam_err("Failed to write PDB file: %s [%s]\n", out_name, strerror(errno));
    return 0;
  }
  return 1;
}
