// PDB text reader: ATOM, HETATM, MODEL/ENDMDL, TER and the SMTRY/BIOMT
// REMARK records of a plain, gzip or bzip2 PDB file into a structure image.
#include "structure/zam_pdb.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_residue.h"

namespace {

// Reader options, process-wide; callers set them before threads start.
int select_chain = 1;
int one_model = 1;
int one_chain = 0;
int use_hydrogens = 0;
int use_hetres = 0;
int use_warnings = 0;
int discard_missing = 0;

constexpr int kLineSize = 257;     // 256 characters and the terminator
constexpr int kGrow = 5000;        // growth step of the record arrays
constexpr int kMaxMatrices = 242;  // room of each symmetry list

// Columns first..last (1-based) of a line of length len, shifted right by s,
// with blanks and control bytes dropped; never reads past the line's end.
// out holds last - first + 2 bytes.
void cut(const char* line, int len, int first, int last, int s, char* out) {
  int k = 0;
  for (int c = first + s; c <= last + s && c <= len; ++c) {
    unsigned char ch = static_cast<unsigned char>(line[c - 1]);
    if (ch > ' ' && ch < 127) out[k++] = static_cast<char>(ch);
  }
  out[k] = 0;
}

// Columns first..last as they stand (bounded by the line's end), for numbers.
void raw(const char* line, int len, int first, int last, int s, char* out) {
  int k = 0;
  for (int c = first + s; c <= last + s && c <= len; ++c) out[k++] = line[c - 1];
  out[k] = 0;
}

// Powers of ten that doubles hold exactly.
constexpr double kTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12,
                           1e13, 1e14, 1e15};

// A plain decimal field ("  -12.345", blanks around, at most 15 digits, no
// exponent) as strtod reads it, without strtod: the digits form an exact
// integer M below 2^53, and M / 10^k is one correctly rounded division of two
// exact doubles, which is the correctly rounded value of the text, as strtod
// gives it. False for any other text, which is left to strtod.
bool plainDecimal(const char* p, const char* end, double* out) {
  while (p < end && *p == ' ') ++p;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  int64_t m = 0;
  int digits = 0, fraction = 0;
  bool point = false;
  for (; p < end; ++p) {
    const char c = *p;
    if (c >= '0' && c <= '9') {
      if (++digits > 15) return false;
      m = m * 10 + (c - '0');
      if (point) ++fraction;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  while (p < end && *p == ' ') ++p;
  if (p != end) return false;
  const double v = static_cast<double>(m) / kTen[fraction];
  *out = negative ? -v : v;
  return true;
}

double number(const char* line, int len, int first, int last, int s) {
  const int from = std::min(first + s, len + 1), to = std::min(last + s, len);
  double v;
  if (plainDecimal(line + from - 1, line + std::max(to, from - 1), &v)) return v;
  char buf[16];
  raw(line, len, first, last, s, buf);
  return strtod(buf, nullptr);
}

long integer(const char* line, int len, int first, int last, int s) {
  char buf[16];
  cut(line, len, first, last, s, buf);
  return strtol(buf, nullptr, 10);
}

void parse(const char* line, int len, int s, int style, _pdb_atom* a) {
  a->model = a->chain_no = a->residue = 0;
  a->is_ca = a->is_mc = a->is_bb = a->is_sc = 0;
  a->radius = 0;
  cut(line, len, 1, 6, 0, a->type);
  cut(line, len, 13, 16, s, a->name);
  // The column form keeps blanks: it is written back as it stands.
  int k = 0;
  for (int c = 13 + s; c <= 16 + s && c <= len; ++c) {
    unsigned char ch = static_cast<unsigned char>(line[c - 1]);
    if (ch >= 1 && ch < 128) a->cname[k++] = static_cast<char>(ch);
  }
  a->cname[k] = 0;
  cut(line, len, 17, 17, s, a->alt);
  cut(line, len, 18, 20, s, a->resname);
  cut(line, len, 22, 22, s, a->chain);
  if (!a->chain[0]) strcpy(a->chain, "_");
  cut(line, len, 23, 26, s, a->resnum);
  cut(line, len, 27, 27, s, a->icode);
  snprintf(a->label, sizeof a->label, "%s%s", a->resnum, a->icode);
  a->x = number(line, len, 31, 38, s);
  a->y = number(line, len, 39, 46, s);
  a->z = number(line, len, 47, 54, s);
  if (style == 2) {
    a->column = static_cast<int>(integer(line, len, 55, 60, s));
    a->occupancy = 1.0f;
    a->bfactor = static_cast<float>(number(line, len, 61, 67, s));
  } else if (style == 1) {
    a->occupancy = static_cast<float>(number(line, len, 55, 60, s));
    if (a->occupancy == 0.0f) a->occupancy = 1.0f;
    a->bfactor = static_cast<float>(number(line, len, 61, 66, s));
    a->column = 99;
  } else {
    a->occupancy = 1.0f;
    a->bfactor = 0.0f;
    a->column = 99;
  }
}

int tasteStyle(const char* line, int len, int s) {
  if (len < 60 + s) return 0;
  for (int c = 55 + s; c <= 60 + s; ++c)
    if (line[c - 1] == '.') return 1;
  return 2;
}

// Grows a record array of *cap entries by kGrow. The new part is not
// cleared: every record is cleared or written whole when it is taken.
template <class T>
void growArray(T*& a, int& cap) {
  T* b = static_cast<T*>(kget1B(static_cast<int64_t>(cap + kGrow) * sizeof(T)));
  if (cap > 0) memcpy(b, a, static_cast<size_t>(cap) * sizeof(T));
  kfree(a);
  a = b;
  cap += kGrow;
}

// Copy of the first n records in a block of exactly n.
template <class T>
T* cutArray(T* a, int n) {
  T* b = static_cast<T*>(kget1B(static_cast<int64_t>(n) * sizeof(T)));
  if (n > 0) memcpy(b, a, static_cast<size_t>(n) * sizeof(T));
  kfree(a);
  return b;
}

Matrix3D identity() {
  return Matrix3D{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}};
}

enum Kind { OTHER, ATOM, HETATM, MODEL, ENDMDL, CONECT, REMARK, ENERGY, TER };

Kind recordKind(const char* line, int len) {
  // Short lines are read as if padded with blanks, so a bare "TER" is a TER.
  char head[7] = "      ";
  for (int i = 0; i < 6 && i < len; ++i) head[i] = line[i];
  static const struct {
    const char* text;
    Kind kind;
  } kinds[] = {{"ATOM  ", ATOM},     {"HETATM", HETATM}, {"MODEL ", MODEL},
               {"ENDMDL", ENDMDL},   {"CONECT", CONECT}, {"REMARK", REMARK},
               {"ENERGY", ENERGY},   {"TER   ", TER}};
  for (const auto& k : kinds)
    if (memcmp(head, k.text, 6) == 0) return k.kind;
  return OTHER;
}

// The state of one reading.
struct Reader {
  _pdb_image* image = nullptr;
  _zam_file* file = nullptr;
  char line[kLineSize];
  int len = 0;
  int model = 0, chain_no = 0, nres = 0, res_in_chain = 0, natoms = 0, nhet = 0;
  int cap_atoms = 0, cap_res = 0, cap_het = 0;
  char cur_label[8] = "none";
  char cur_chain[8] = "none";
  int first = 0, bb0 = 0, mc0 = 0, sc0 = 0;
  bool have_style = false;
  // Presence flags of the current residue.
  bool ca = false, n = false, c = false, o = false, cb = false, ot = false, ot1 = false,
       ot2 = false, p = false, c3 = false, c4 = false, c5 = false;
  int nside = 0;

  const char* path() const { return image->path; }

  void clearFlags() {
    ca = n = c = o = cb = ot = ot1 = ot2 = p = c3 = c4 = c5 = false;
    nside = 0;
  }

  // Closes the current residue; returns whether it was retained.
  bool closeResidue() {
    bool retained = false;
    if (first < natoms) {
      const _pdb_atom& a = image->atoms[first];
      _pdb_residue& r = image->residues[nres];
      memset(&r, 0, sizeof r);
      r.model = model;
      r.chain_no = chain_no;
      r.first = first;
      r.last = natoms - 1;
      r.nside = nside;
      memcpy(r.chain, a.chain, sizeof r.chain);
      memcpy(r.resname, a.resname, sizeof r.resname);
      memcpy(r.resnum, a.label, sizeof r.resnum);
      char code = zam_aaCode(a.resname);
      if (code == 'X') code = zam_dnaCode(a.resname);
      r.code[0] = code;
      // A terminal oxygen (OXT, OT1, OT2) stands in for a missing O.
      bool oxygen = o || ot || ot1 || ot2;
      bool complete = (ca && c && n && oxygen) || (p && c3 && c4 && c5);
      r.sse[0] = complete ? 'X' : 'D';
      if (zam_debug > 2) zam_msg(" Residue = %4d, atoms = [%d,%d]\n", nres, first, natoms - 1);

      if (ca && c && n && oxygen) {
        retained = true;
      } else if (ca && !discard_missing) {
        retained = true;
      } else if (p && c3) {
        retained = (c4 && c5) || !discard_missing;
      } else if (p) {
        retained = !discard_missing;
      }
      if (retained && use_warnings) {
        if (ca) {
          if (!c) zam_wrn("Missing C atom for residue %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
          if (!n) zam_wrn("Missing N atom for residue %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
          if (!oxygen) zam_wrn("Missing O atom for residue %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
        } else if (p) {
          if (!c3) zam_wrn("Missing C3 atom for base %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
          if (!c4) zam_wrn("Missing C4 atom for base %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
          if (!c5) zam_wrn("Missing C5 atom for base %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
        }
      }
      if (!retained && use_warnings) {
        bool aa = zam_aaCode(a.resname) != 'X';
        if (!aa && (p || c3 || c4 || c5))
          zam_wrn("Ignoring incomplete base: %s:%s-%s in file %s\n", a.chain, a.resname, a.label, image->name);
        else if (aa && (ca || c || n || o || cb || ot))
          zam_wrn("Ignoring incomplete residue: %s:%s-%s in file %s\n", a.chain, a.resname, a.label, image->name);
      }
    }
    if (retained) {
      ++nres;
      ++res_in_chain;
    } else {
      image->nbb = bb0;
      image->nmc = mc0;
      image->nsc = sc0;
      natoms = first;
    }
    clearFlags();
    if (nres >= cap_res) growArray(image->residues, cap_res);
    return retained;
  }

  void startResidue() {
    first = natoms;
    bb0 = image->nbb;
    mc0 = image->nmc;
    sc0 = image->nsc;
  }

  // Starts a new residue at the current atom count when the label or chain
  // of atom differs from the current one.
  void checkNewResidue(const _pdb_atom& a) {
    if (strcmp(a.label, cur_label) == 0 && strcmp(a.chain, cur_chain) == 0) return;
    bool chain_changed = strcmp(a.chain, cur_chain) != 0;
    closeResidue();
    startResidue();
    snprintf(cur_label, sizeof cur_label, "%s", a.label);
    snprintf(cur_chain, sizeof cur_chain, "%s", a.chain);
    if (chain_changed && res_in_chain > 0) {
      ++chain_no;
      res_in_chain = 0;
    }
  }

  void resetChain() {
    strcpy(cur_label, "none");
    strcpy(cur_chain, "none");
  }

  void checkCoordinates(_pdb_atom& a, const char* kind) {
    if (!isBadPdbAtom(Point3D{a.x, a.y, a.z})) return;
    if (use_warnings) {
      zam_wrn("Bad %s coordinates at line %d of file %s\n", kind, zam_fline(file), zam_fname(file));
      zam_msg("[%s]\n", line);
    }
    a.x = a.y = a.z = 0.0;
  }

  void readAtom(int s) {
    if (!have_style) {
      image->occ_style = tasteStyle(line, len, s);
      have_style = true;
    }
    if (!use_hydrogens) {
      char name[6];
      cut(line, len, 13, 16, s, name);
      if (zam_isHydrogen(name)) return;
    }
    _pdb_atom a;
    memset(&a, 0, sizeof a);
    parse(line, len, s, image->occ_style, &a);
    checkCoordinates(a, "ATOM");
    char code = zam_aaCode(a.resname);
    char base = zam_dnaCode(a.resname);
    if (select_chain == 1 && code == 'X') return;
    if (select_chain == 2 && base == 'X') return;
    if (select_chain == 0 && code == 'X' && base == 'X') return;
    checkNewResidue(a);

    a.model = model;
    a.chain_no = chain_no;
    a.residue = nres;
    int& nbb = image->nbb;
    int& nmc = image->nmc;
    int& nsc = image->nsc;
    auto backbone = [&](bool& flag) {
      flag = true;
      a.is_bb = a.is_mc = 1;
      ++nbb;
      ++nmc;
    };
    auto sidechain = [&]() {
      a.is_sc = 1;
      ++nsc;
      ++nside;
    };
    if (code == 'X') {
      int k = zam_isSugar(a.name);
      bool* seen = k == 3 ? &c3 : k == 4 ? &c4 : k == 5 ? &c5 : k == 9 ? &p : nullptr;
      if (seen && !*seen) {
        backbone(*seen);
      } else if (k == 1 || k == 2 || (k >= 6 && k <= 8) || k >= 9) {
        a.is_mc = 1;
        ++nmc;
      } else {
        sidechain();
      }
    } else {
      int k = zam_isMainChain(a.name);
      bool* seen = k == 1 ? &ca : k == 2 ? &n : k == 3 ? &c : k == 4 ? &o : k == 5 ? &cb
                 : k == 6 ? &ot : k == 7 ? &ot1 : k == 8 ? &ot2 : nullptr;
      if (seen && !*seen && k != 5) {
        backbone(*seen);
        if (k == 1) a.is_ca = 1;
      } else if (k == 5 && !cb) {
        cb = true;
        a.is_mc = 1;
        ++nmc;
        sidechain();
      } else if (zam_isSideChain(a.name)) {
        sidechain();
      } else {
        return;  // repeated backbone atoms and hydrogens are not stored
      }
    }
    if (natoms >= cap_atoms) growArray(image->atoms, cap_atoms);
    image->atoms[natoms++] = a;
  }

  void readHetero(int s) {
    if (use_hetres) {
      char resname[4];
      cut(line, len, 18, 20, s, resname);
      if (zam_aaCode(resname) != 'X') {
        zam_msg("Changing <%s> to <ATOM ...>\n", line);
        memcpy(line, "ATOM  ", 6);
        readAtom(s);
        return;
      }
      char name[6];
      cut(line, len, 13, 16, s, name);
      if (use_warnings && strcmp(name, "CA") == 0 && strcmp(resname, "CA") != 0)
        zam_wrn("Ignoring HETATM residue %s with %s atom\n", resname, name);
    }
    if (!use_hydrogens) {
      char name[6];
      cut(line, len, 13, 16, s, name);
      if (zam_isHydrogen(name)) return;
    }
    if (nhet >= cap_het) growArray(image->hetatms, cap_het);
    _pdb_atom& a = image->hetatms[nhet];
    memset(&a, 0, sizeof a);
    parse(line, len, s, image->occ_style, &a);
    checkCoordinates(a, "HETATM");
    checkNewResidue(a);
    a.model = model;
    a.chain_no = chain_no;
    a.residue = nres;
    ++nhet;
  }

  void readSymmetry() {
    char tag[8];
    cut(line, len, 14, 18, 0, tag);
    bool smtry = strcmp(tag, "SMTRY") == 0;
    if (!smtry && strcmp(tag, "BIOMT") != 0) return;
    int row = static_cast<int>(integer(line, len, 19, 19, 0));
    long serial = integer(line, len, 20, 23, 0);
    float v[4];
    int got = len >= 24 ? sscanf(line + 23, "%f%f%f%f", &v[0], &v[1], &v[2], &v[3]) : 0;
    if (got != 4 || serial < 1 || row < 1 || row > 3) {
      if (use_warnings) zam_wrn("Ignoring bad %s record in PDB file:\n%s\n", tag, line);
      return;
    }
    if (serial > kMaxMatrices) {
      if (use_warnings) zam_wrn("Too many %s matrices in PDB file: %d\n", tag, static_cast<int>(serial - 1));
      return;
    }
    Matrix3D* list = smtry ? image->smtry : image->biomt;
    int& count = smtry ? image->nsmtry : image->nbiomt;
    double* m = list[serial - 1].m + 4 * (row - 1);
    for (int i = 0; i < 4; ++i) m[i] = v[i];
    if (serial > count) count = static_cast<int>(serial);
  }

  // Reads every line; returns at end of file or at an early stop.
  void run() {
    while ((len = zam_freadln(file, kLineSize, line)) >= 0) {
      Kind kind = recordKind(line, len);
      int s = 0;
      if ((strncmp(line, "ATOM ", 5) == 0 || strncmp(line, "HETATM ", 7) == 0) && len >= 14 &&
          line[12] == ' ' && line[13] == ' ') {
        zam_adv("<%.14s> -- overflows PDB format. Trying to continue\n", line);
        s = 1;
      }
      switch (kind) {
        case CONECT:
        case ENERGY:
          break;
        case OTHER:
          if (strncmp(line, "I_sc", 4) == 0)
            image->score = static_cast<float>(len > 5 ? strtod(line + 5, nullptr) : 0.0);
          break;
        case MODEL:
          // The last residue of the previous model is closed under its own
          // model and chain numbers before they restart.
          closeResidue();
          startResidue();
          ++image->nmodels;
          model = static_cast<int>(integer(line, len, 6, 16, 0));
          chain_no = 0;
          res_in_chain = 0;
          resetChain();
          break;
        case ENDMDL:
          if (one_model) return;
          resetChain();
          break;
        case TER:
          if (one_chain) return;
          resetChain();
          break;
        case REMARK:
          readSymmetry();
          break;
        case HETATM:
          readHetero(s);
          break;
        case ATOM:
          readAtom(s);
          break;
      }
    }
  }

  void finish() {
    closeResidue();
    image->nres = nres;
    image->natoms = natoms;
    image->nhetatms = nhet;
    image->nchains = res_in_chain > 0 ? chain_no + 1 : chain_no;
    image->delta = 0;
    image->residues = cutArray(image->residues, nres);
    image->atoms = cutArray(image->atoms, natoms);
    image->hetatms = cutArray(image->hetatms, nhet);
    image->saved = static_cast<Point3D*>(kget1B_0(static_cast<int64_t>(natoms) * sizeof(Point3D)));
    for (int i = 0; i < natoms; ++i) image->saved[i] = Point3D{image->atoms[i].x, image->atoms[i].y, image->atoms[i].z};
    image->saved_het = static_cast<Point3D*>(kget1B_0(static_cast<int64_t>(nhet) * sizeof(Point3D)));
    for (int i = 0; i < nhet; ++i)
      image->saved_het[i] = Point3D{image->hetatms[i].x, image->hetatms[i].y, image->hetatms[i].z};
    if (image->nsmtry == 0) {
      image->smtry = cutArray(image->smtry, 1);
      image->smtry[0] = identity();
      image->nsmtry = 1;
    }
    if (image->nbiomt == 0) {
      image->biomt = cutArray(image->biomt, 1);
      image->biomt[0] = identity();
      image->nbiomt = 1;
    }
  }
};

}  // namespace

_pdb_image* zam_readPdb(const char* file, const char* name) {
  if (!file) return nullptr;
  char opened[300];
  if (zam_filesize(file) < 0)
    zam_filename(file, "pdb", opened);
  else
    snprintf(opened, sizeof opened, "%s", file);
  _zam_file* f = zam_fopen(opened, "r");
  if (!f) {
    zam_err("Failed to open PDB file: %s\n", opened);
    return nullptr;
  }
  if (zam_debug > 2) zam_msg("Reading PDB: %s\n", opened);

  Reader r;
  r.file = f;
  _pdb_image* image = static_cast<_pdb_image*>(kget1B_0(sizeof(_pdb_image)));
  r.image = image;
  image->tf = identity();
  image->path = kdupS(zam_fname(f) ? zam_fname(f) : opened);
  if (name) {
    image->name = kdupS(name);
  } else {
    char base[300], root[300];
    zam_basename(image->path, base);
    image->name = kdupS(zam_rootname(base, root));
  }
  growArray(image->residues, r.cap_res);
  growArray(image->atoms, r.cap_atoms);
  growArray(image->hetatms, r.cap_het);
  image->smtry = static_cast<Matrix3D*>(kget1B_0(kMaxMatrices * sizeof(Matrix3D)));
  image->biomt = static_cast<Matrix3D*>(kget1B_0(kMaxMatrices * sizeof(Matrix3D)));

  r.run();
  r.finish();
  // A gzip file cut short otherwise reads as a shorter, valid-looking structure.
  if (zam_ferror(f)) {
    zam_err("Failed to read PDB file: %s (after line %d)\n", opened, zam_fline(f));
    zam_freePdb(image);
    image = nullptr;
  }
  zam_fclose(f);
  return image;
}

void zam_parsePdbAtom(const char* line, int shift, int style, _pdb_atom* atom) {
  if (!line || !atom) return;
  parse(line, static_cast<int>(strlen(line)), shift, style, atom);
}

int zam_tastePdbAtom(const char* line, int shift) {
  return line ? tasteStyle(line, static_cast<int>(strlen(line)), shift) : 0;
}

int isBadPdbAtom(Point3D p) {
  // Written so that a NaN fails every comparison and counts as bad.
  return !(p.x <= 10000.0 && p.x >= -1000.0 && p.y <= 10000.0 && p.y >= -1000.0 && p.z <= 10000.0 &&
           p.z >= -1000.0);
}

void zam_setPdbChainType(int type) {
  if (type >= 0 && type <= 2) select_chain = type;
}
void zam_setPdbOneModel(int flag) { one_model = flag; }
void zam_setPdbOneChain(int flag) { one_chain = flag; }
void zam_setPdbHydrogens(int flag) { use_hydrogens = flag; }
void zam_setPdbHetRes(int flag) { use_hetres = flag; }
void zam_setPdbWarnings(int flag) { use_warnings = flag; }
void zam_setPdbMissing(int flag) { discard_missing = flag; }
int zam_getPdbWarnings() { return use_warnings; }
