// PDB text reader: ATOM, HETATM, MODEL/ENDMDL, TER and the SMTRY/BIOMT
// REMARK records of a plain, gzip or bzip2 PDB file into a structure image.
#include "structure/zam_pdb.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_filesum.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_line_break.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_unpack.h"
#include "structure/zam_pdb_columns.h"
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
constexpr int kGrow = 5000;        // first room of the record arrays
constexpr int kMaxMatrices = 242;  // room of each symmetry list


// A record array that grows by doubling and keeps its room from one reading
// to the next: each thread reads into its own, and the image gets exact-size
// copies at the end. New room is not cleared: every record is cleared or
// written whole when it is taken.
template <class T>
struct Scratch {
  std::unique_ptr<T[]> data;
  int cap = 0;

  // The records, with room for record i; records 0..i-1 are kept.
  T* room(int i) {
    if (i >= cap) {
      const int grown = std::max(std::max(2 * cap, kGrow), i + 1);
      std::unique_ptr<T[]> bigger(new T[static_cast<size_t>(grown)]);
      if (i > 0) memcpy(bigger.get(), data.get(), static_cast<size_t>(i) * sizeof(T));
      data = std::move(bigger);
      cap = grown;
    }
    return data.get();
  }
};

// The text of a plain file, read in blocks.
struct Text {
  _zam_text t{};
  ~Text() { zam_freeText(&t); }
};

// What a file is warned of once in a run.
enum Report { kBadAtoms, kLongLine };

// True for the first call with a kind of report and a file name in the run,
// false after. A file is read more than once in a run (for the pre-scoring,
// then again for the superposition): its bad atoms are said by the first
// read that meets one, all of them, and left out silently by every later
// read; its first line cut short is said once. Any thread.
bool firstReport(Report kind, const char* fname) {
  static std::mutex lock;
  static std::set<std::pair<int, std::string>> reported;
  const std::lock_guard<std::mutex> hold(lock);
  return reported.emplace(kind, fname ? fname : "").second;
}

// The largest block read at once: most structure files fit in one, and a
// reading that stops early (at the end of the first model) reads little
// more than it uses.
constexpr int64_t kBlock = int64_t{1} << 18;

// The reading buffers of this thread; only zam_readPdb on this thread uses
// them, so several threads read at once without sharing anything.
struct Buffers {
  Scratch<_pdb_atom> atoms, hetatms;
  Scratch<_pdb_residue> residues;
  Text text;
};
thread_local Buffers buffers;

// A block of exactly n records (kfree releases it) holding a copy of a[0..n-1].
template <class T>
T* exactCopy(const T* a, int n) {
  T* b = static_cast<T*>(kget1B(static_cast<int64_t>(n) * sizeof(T)));
  if (n > 0) memcpy(b, a, static_cast<size_t>(n) * sizeof(T));
  return b;
}

Matrix3D identity() {
  return Matrix3D{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}};
}

enum Kind { OTHER, ATOM, HETATM, MODEL, ENDMDL, CONECT, REMARK, ENERGY, TER };

// The first six bytes of a record name as one number, first byte lowest.
constexpr uint64_t headOf(const char (&text)[7]) {
  uint64_t h = 0;
  for (int i = 0; i < 6; ++i) h |= static_cast<uint64_t>(static_cast<unsigned char>(text[i])) << (8 * i);
  return h;
}

Kind recordKind(const char* line, int len) {
  // Short lines are read as if padded with blanks, so a bare "TER" is a TER.
  uint64_t head = 0;
  if (std::endian::native == std::endian::little && len >= 6) {
    memcpy(&head, line, 8);  // the line buffer holds at least eight bytes
    head &= 0xffffffffffffull;
  } else {
    for (int i = 0; i < 6; ++i)
      head |= static_cast<uint64_t>(static_cast<unsigned char>(i < len ? line[i] : ' ')) << (8 * i);
  }
  switch (head) {
    case headOf("ATOM  "): return ATOM;
    case headOf("HETATM"): return HETATM;
    case headOf("MODEL "): return MODEL;
    case headOf("ENDMDL"): return ENDMDL;
    case headOf("CONECT"): return CONECT;
    case headOf("REMARK"): return REMARK;
    case headOf("ENERGY"): return ENERGY;
    case headOf("TER   "): return TER;
    default: return OTHER;
  }
}

// The columns of an ATOM or HETATM line read: lines shorter than this are
// cleared up to it, so the text fields need no bound (a cleared byte is
// dropped like a blank).
constexpr int kAtomColumns = 88;

// The text fields of an atom line end at column 27, 28 with the overflow
// shift; the number columns are read within the line's length. A line this
// long is read in place in the file's text, without the clearing; a shorter
// one is copied to where it can be cleared.
constexpr int kInPlaceMin = 28;

// Columns p[0..N-1] without blanks and control bytes, as cut takes them, as
// one number, first byte lowest (for a name, its key); their count in
// *count. Gathered in a register without branches: how many blanks lead a
// residue number or an atom name varies from line to line.
template <int N>
inline uint64_t gather(const char* p, int* count = nullptr) {
  static_assert(N >= 1 && N <= 7);
  uint64_t text = 0;
  int k = 0;
  for (int i = 0; i < N; ++i) {
    const unsigned ch = static_cast<unsigned char>(p[i]);
    const unsigned kept = ch - 33u < 94u;  // ' ' < ch < 127
    text |= static_cast<uint64_t>(ch * kept) << (8 * k);
    k += static_cast<int>(kept);
  }
  if (count) *count = k;
  return text;
}

// Stores the N bytes of a gathered text at out (out[N] is already zero).
template <int N>
inline void put(uint64_t text, char* out) {
  if constexpr (std::endian::native == std::endian::little) {
    memcpy(out, &text, N);
  } else {
    for (int i = 0; i < N; ++i) out[i] = static_cast<char>(text >> (8 * i));
  }
}

// gather and put: the field as cut gives it.
template <int N>
inline uint64_t keep(const char* p, char* out, int* count = nullptr) {
  const uint64_t text = gather<N>(p, count);
  put<N>(text, out);
  return text;
}

// The text columns of an atom line as numbers (first byte lowest), taken
// from registers rather than read back from the record just written.
struct AtomKeys {
  uint32_t name;     // name keys (zam_residue.h)
  uint32_t resname;
  uint64_t label;    // residue label and chain, as compared between lines
  uint64_t chain;
};

// Clears an atom record by copying a cleared one: a fixed-size copy becomes
// a few wide stores, where memset of a record may become a slow-starting
// string instruction.
inline void clearRecord(_pdb_atom* a) {
  static constexpr _pdb_atom kCleared{};
  memcpy(a, &kCleared, sizeof *a);
}

constexpr uint64_t kNone = 'n' | 'o' << 8 | 'n' << 16 | static_cast<uint64_t>('e') << 24;

// The state of one reading.
struct Reader {
  _pdb_image* image = nullptr;
  // The source: a stream read line by line, or (file null) the text of a
  // plain file, read in blocks from descriptor fd into this thread's text
  // buffer: text[0..size) with its padding, taken from pos on; known is the
  // file's size from fstat, total the bytes read so far.
  _zam_file* file = nullptr;
  int fd = -1;
  char* text = nullptr;
  int64_t size = 0, pos = 0, known = 0, total = 0;
  bool end = false;     // no more bytes to read
  bool failed = false;  // a read failed
  int err = 0;          // why (errno of the read: zam_unpackFailure tells it)
  _zam_filesum* sum = nullptr;  // takes every block read from fd, when given
  _zam_unpack* unpack = nullptr;  // fd's packed bytes, unpacked into the text (the sum taken there)
  bool mmcif = false;   // the text is mmCIF (it opens with a data block)
  const char* fname = nullptr;  // the file's name, by which its reports are given once
  const char* said = nullptr;   // the file's name in messages
  int bad_report = 0;           // this read warns of bad atoms: 1 yes, -1 no, 0 none met yet
  bool long_met = false;        // this read has met a line longer than kLineSize - 1 bytes
  int lineno = 0;               // lines read (a last line without its newline too)
  // The current line, terminated: in own, or in place in the text.
  char* line = own;
  int len = 0;
  // Room for a copied line, with the clearing of short atom lines.
  char own[std::max(kLineSize, kAtomColumns + 1)];
  int model = 0, chain_no = 0, nres = 0, res_in_chain = 0, natoms = 0, nhet = 0;
  _pdb_atom* atoms = nullptr;        // buffers.atoms, valid until the next room()
  _pdb_residue* residues = nullptr;  // buffers.residues, likewise
  // Label and chain of the current residue; "none" before the first and
  // after MODEL, ENDMDL and TER. Texts compared as their keys.
  uint64_t cur_label = kNone, cur_chain = kNone;
  int first = 0, bb0 = 0, mc0 = 0, sc0 = 0;
  bool have_style = false;
  // The residue name key last looked up (none at first: keys hold three
  // bytes) and its codes.
  uint32_t codes_of = ~0u;
  int codes_found = 0;
  // Presence flags of the current residue.
  bool ca = false, n = false, c = false, o = false, cb = false, ot = false, ot1 = false,
       ot2 = false, p = false, c3 = false, c4 = false, c5 = false;
  int nside = 0;

  void clearFlags() {
    ca = n = c = o = cb = ot = ot1 = ot2 = p = c3 = c4 = c5 = false;
    nside = 0;
  }

  // Closes the current residue; returns whether it was retained.
  bool closeResidue() {
    bool retained = false;
    if (first < natoms) {
      const _pdb_atom& a = atoms[first];
      _pdb_residue& r = residues[nres];
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
          if (!c) zam_wrn("Missing C atom for residue %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, said);
          if (!n) zam_wrn("Missing N atom for residue %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, said);
          if (!oxygen) zam_wrn("Missing O atom for residue %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, said);
        } else if (p) {
          if (!c3) zam_wrn("Missing C3 atom for base %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, said);
          if (!c4) zam_wrn("Missing C4 atom for base %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, said);
          if (!c5) zam_wrn("Missing C5 atom for base %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, said);
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
    residues = buffers.residues.room(nres);
    return retained;
  }

  void startResidue() {
    first = natoms;
    bb0 = image->nbb;
    mc0 = image->nmc;
    sc0 = image->nsc;
  }

  // Starts a new residue at the current atom count when the label or chain
  // of an atom differs from the current one.
  void checkNewResidue(uint64_t label, uint64_t chain) {
    if (label == cur_label && chain == cur_chain) return;
    bool chain_changed = chain != cur_chain;
    closeResidue();
    startResidue();
    cur_label = label;
    cur_chain = chain;
    if (chain_changed && res_in_chain > 0) {
      ++chain_no;
      res_in_chain = 0;
    }
  }

  void resetChain() {
    cur_label = kNone;
    cur_chain = kNone;
  }

  // False when a coordinate is bad (isBadPdbAtom): not a number, infinite,
  // or beyond what the fixed columns can hold. The atom is then left out,
  // with a warning naming the file and line (whatever use_warnings says),
  // rather than kept at the origin, where it would pull every superposition
  // and contact count that uses it. The warnings of a file are given by the
  // first read of it in the run that finds a bad atom (firstReport).
  bool checkCoordinates(const _pdb_atom& a, const char* kind) {
    if (!isBadPdbAtom(Point3D{a.x, a.y, a.z})) return true;
    if (bad_report == 0) bad_report = firstReport(kBadAtoms, fname) ? 1 : -1;
    if (bad_report < 0) return false;
    const char* why = "out of range";
    if (std::isnan(a.x) || std::isnan(a.y) || std::isnan(a.z))
      why = "not a number";
    else if (std::isinf(a.x) || std::isinf(a.y) || std::isinf(a.z))
      why = "infinite";
    zam_wrn("Bad %s coordinates at line %d of file %s: %s; atom left out\n", kind, lineno, said, why);
    zam_msg("[%s]\n", line);
    return false;
  }

  // Clears the line from its end up to the atom columns (its terminator
  // stays where it is, so the line prints as it was read). A line in place
  // in the text is long enough to need none.
  void padLine() {
    if (line == own && len < kAtomColumns) memset(line + len, 0, static_cast<size_t>(kAtomColumns - len));
  }

  // The text fields of the padded atom line shifted by s into a, which is
  // zero-filled: everything parse takes but the numbers.
  // type is the record kind, which the first six columns gave: what cut
  // makes of them. name is the atom name's key, from nameKey().
  AtomKeys texts(int s, const char* type, uint32_t name, _pdb_atom* a) const {
    AtomKeys keys;
    memcpy(a->type, type, strlen(type));
    const char* q = line + s;
    keys.name = name;
    put<4>(name, a->name);
    // The column form keeps blanks: it is written back as it stands. The
    // clearing past the line's end drops what lies there.
    int k = 0;
    for (int i = 12; i < 16; ++i) {
      const unsigned char ch = static_cast<unsigned char>(q[i]);
      a->cname[k] = static_cast<char>(ch);
      k += ch - 1u < 127u;  // 1 <= ch < 128
    }
    a->cname[k] = 0;
    keep<1>(q + 16, a->alt);
    keys.resname = static_cast<uint32_t>(keep<3>(q + 17, a->resname));
    keys.chain = keep<1>(q + 21, a->chain);
    if (!keys.chain) {
      a->chain[0] = '_';
      keys.chain = '_';
    }
    int digits = 0;
    const uint64_t resnum = keep<4>(q + 22, a->resnum, &digits);
    const uint64_t icode = keep<1>(q + 26, a->icode);
    memcpy(a->label, a->resnum, sizeof a->resnum);
    a->label[digits] = a->icode[0];
    keys.label = resnum | icode << (8 * digits);
    return keys;
  }

  // The coordinates of a; true when all three had the usual fixed-point
  // form, whose values (-999.999 to 9999.999) are never bad coordinates,
  // so that checkCoordinates need not wait for the quotients.
  bool coordinates(int s, _pdb_atom* a) const {
#if defined(__SSE2__)
    static_assert(offsetof(_pdb_atom, y) == offsetof(_pdb_atom, x) + sizeof(double) &&
                  offsetof(_pdb_atom, z) == offsetof(_pdb_atom, y) + sizeof(double));
    if (54 + s <= len && coordinateValues(line + 30 + s, &a->x)) return true;
#endif
    a->x = fixedNumber<8, 3>(line, len, 31, s, true);
    a->y = fixedNumber<8, 3>(line, len, 39, s, true);
    a->z = fixedNumber<8, 3>(line, len, 47, s, true);
    return false;
  }

  // The occupancy-style columns, as parse reads them.
  void occupancy(int s, int style, _pdb_atom* a) const {
    if (style == 2) {
      a->column = static_cast<int>(integer(line, len, 55, 60, s));
      a->occupancy = 1.0f;
      a->bfactor = static_cast<float>(number(line, len, 61, 67, s));
    } else if (style == 1) {
#if defined(__SSE2__)
      double v[2];
      if (66 + s <= len && occupancyValues(line + 54 + s, v)) {
        a->occupancy = static_cast<float>(v[0]);
        if (a->occupancy == 0.0f) a->occupancy = 1.0f;
        a->bfactor = static_cast<float>(v[1]);
        a->column = 99;
        return;
      }
#endif
      a->occupancy = static_cast<float>(fixedNumber<6, 2>(line, len, 55, s));
      if (a->occupancy == 0.0f) a->occupancy = 1.0f;
      a->bfactor = static_cast<float>(fixedNumber<6, 2>(line, len, 61, s));
      a->column = 99;
    } else {
      a->occupancy = 1.0f;
      a->bfactor = 0.0f;
      a->column = 99;
    }
  }

  // Key of the atom name of the padded line shifted by s.
  uint32_t nameKey(int s) const { return static_cast<uint32_t>(gather<4>(line + s + 12)); }

  // The coordinates of an atom are read once it is past the hydrogen test
  // (a line whose coordinates are not numbers must not start a residue);
  // its other numbers only when it is kept: nothing else depends on them.
  void readAtom(int s) {
    if (!have_style) {
      image->occ_style = tasteStyle(line, len, s);
      have_style = true;
    }
    padLine();
    const uint32_t name = nameKey(s);
    if (!use_hydrogens && zam_isHydrogenKey(name)) return;
    // Built in place, in the slot after the stored atoms: a record put
    // together on the stack and copied would be read back by wide loads
    // from its many narrow stores, which stalls.
    atoms = buffers.atoms.room(natoms);
    _pdb_atom* slot = atoms + natoms;
    clearRecord(slot);
    const AtomKeys keys = texts(s, "ATOM", name, slot);
    // Before anything counts the atom: a line whose coordinates are bad is
    // left out as if it were not there.
    if (!coordinates(s, slot) && !checkCoordinates(*slot, "ATOM")) return;
    // The atoms of a residue come together: its codes are looked up once.
    if (keys.resname != codes_of) {
      codes_of = keys.resname;
      codes_found = zam_residueCodesOfKey(keys.resname);
    }
    const int codes = codes_found;
    char code = static_cast<char>(codes & 0xff);
    if (select_chain == 1 && code == 'X') return;
    char base = static_cast<char>(codes >> 8);
    if (select_chain == 2 && base == 'X') return;
    if (select_chain == 0 && code == 'X' && base == 'X') return;
    checkNewResidue(keys.label, keys.chain);
    // A dropped residue gives its atoms' slots back.
    if (slot != atoms + natoms) slot = static_cast<_pdb_atom*>(memcpy(atoms + natoms, slot, sizeof *slot));
    _pdb_atom& a = *slot;

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
      int k = zam_isSugarKey(keys.name);
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
      int k = zam_isMainChainKey(keys.name);
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
      } else if ((k == 0 || k == 5) && (!use_hydrogens || !zam_isHydrogenKey(keys.name))) {
        // zam_isSideChain(a.name); without hydrogens the name is known to be none.
        sidechain();
      } else {
        return;  // repeated backbone atoms and hydrogens are not stored
      }
    }
    occupancy(s, image->occ_style, &a);
    a.model = model;
    a.chain_no = chain_no;
    a.residue = nres;
    ++natoms;
  }

  void readHetero(int s) {
    padLine();
    if (use_hetres) {
      char resname[4] = {};
      keep<3>(line + s + 17, resname);
      if (zam_aaCode(resname) != 'X') {
        zam_msg("Changing <%s> to <ATOM ...>\n", line);
        memcpy(line, "ATOM  ", 6);
        readAtom(s);
        return;
      }
      char name[6] = {};
      keep<4>(line + s + 12, name);
      if (use_warnings && strcmp(name, "CA") == 0 && strcmp(resname, "CA") != 0)
        zam_wrn("Ignoring HETATM residue %s with %s atom\n", resname, name);
    }
    const uint32_t name = nameKey(s);
    if (!use_hydrogens && zam_isHydrogenKey(name)) return;
    _pdb_atom& a = buffers.hetatms.room(nhet)[nhet];
    clearRecord(&a);
    const AtomKeys keys = texts(s, "HETATM", name, &a);
    if (!coordinates(s, &a) && !checkCoordinates(a, "HETATM")) return;
    occupancy(s, image->occ_style, &a);
    checkNewResidue(keys.label, keys.chain);
    a.model = model;
    a.chain_no = chain_no;
    a.residue = nres;
    ++nhet;
  }

  void readSymmetry() {
    // The tag is the five columns 14-18 exactly: cut drops blanks, so any
    // other text there gives a shorter or different tag.
    if (len < 18) return;
    bool smtry = memcmp(line + 13, "SMTRY", 5) == 0;
    if (!smtry && memcmp(line + 13, "BIOMT", 5) != 0) return;
    const char* tag = smtry ? "SMTRY" : "BIOMT";
    int row = static_cast<int>(integer(line, len, 19, 19, 0));
    long serial = integer(line, len, 20, 23, 0);
    float v[4];
    int got = 0;
    if (len >= 24) got = plainFloats(line + 23, v) ? 4 : sscanf(line + 23, "%f%f%f%f", &v[0], &v[1], &v[2], &v[3]);
    if (got != 4 || serial < 1 || row < 1 || row > 3) {
      if (use_warnings) zam_wrn("Ignoring bad %s record in PDB file:\n%s\n", tag, line);
      return;
    }
    if (serial > kMaxMatrices) {
      if (use_warnings) zam_wrn("Too many %s matrices in PDB file: %d\n", tag, static_cast<int>(serial - 1));
      return;
    }
    // The lists are made at their first matrix; most files have none.
    Matrix3D*& list = smtry ? image->smtry : image->biomt;
    if (!list) list = static_cast<Matrix3D*>(kget1B_0(kMaxMatrices * sizeof(Matrix3D)));
    int& count = smtry ? image->nsmtry : image->nbiomt;
    double* m = list[serial - 1].m + 4 * (row - 1);
    for (int i = 0; i < 4; ++i) m[i] = v[i];
    if (serial > count) count = static_cast<int>(serial);
  }

  // Reads the next block after the unread text, which moves to the front;
  // false when nothing came (the end, or a failure).
  bool more() {
    if (end) return false;
    // A file of the size it had needs no read past it: asking one byte
    // more shows that it has no more.
    const int64_t want = total < known ? std::min(known - total + 1, kBlock) : kBlock;
    const int64_t got = unpack ? zam_unpackTextBlock(unpack, pos, want, &buffers.text.t)
                               : zam_readTextBlock(fd, pos, want, &buffers.text.t);
    text = buffers.text.t.data;
    size = buffers.text.t.size;
    pos = 0;
    if (got <= 0) {
      end = true;
      failed = got < 0;
      if (failed) err = errno;
      return false;
    }
    total += got;
    if (sum) zam_sumAdd(sum, text + size - got, got);
    if (got < want && total == known) end = true;
    return true;
  }

  // The next line of the text as zam_freadln gives it (carriage returns
  // dropped, the newline not kept, a line cut at kLineSize - 1 bytes, lines
  // counted at newlines). A line ending in a newline, in CR LF or at the end
  // of the text, with no other carriage return, is left in place and
  // terminated there (over its line end, or within the part cut off);
  // other lines are copied into own.
  bool textLine() {
    char* s;
    int64_t rest, k;
    // The line's end must lie in the text (a newline, or a carriage return
    // and the byte after it), unless the file has ended. A line that runs on
    // past the text is read on in place while what is held of it is shorter
    // than a line is kept; a longer one is copied block by block, so that
    // the text never grows with a line and no byte is scanned again after
    // each block. A read that brings nothing still moves the text to the
    // front of its room, which may move: the line is then taken where it
    // lies after it.
    bool ended = false;
    for (;;) {
      s = text + pos;
      rest = size - pos;
      k = zam_line_break(s, rest);
      if (ended || k + 1 < rest || (k < rest && s[k] == '\n')) break;
      if (rest >= kLineSize) return copiedLine();
      ended = !more();
    }
    if (rest == 0) return false;
    int64_t next;
    if (k == rest)
      next = rest;
    else if (s[k] == '\n')
      next = k + 1;
    else if (k + 1 < rest && s[k + 1] == '\n')
      next = k + 2;
    else
      return copiedLine();
    ++lineno;
    pos += next;
    if (k > kLineSize - 1) longLine();
    len = static_cast<int>(std::min<int64_t>(k, kLineSize - 1));
    if (len >= kInPlaceMin) {
      line = s;
    } else {
      line = own;
      memcpy(own, s, static_cast<size_t>(len));
    }
    line[len] = 0;
    return true;
  }

  // A line taken into own from where it starts: one with a carriage return
  // other than before its newline, or one that runs on past the text. It is
  // read on block by block, each byte looked at once, and every block read
  // takes the room of the one before (the text holds one block, however long
  // the line); every block still goes through more(), and so into the sum.
  // A last line of carriage returns alone is no line.
  bool copiedLine() {
    int n = 0;
    bool any = false, cut = false, ended = false;
    for (;;) {
      const char* s = text + pos;
      const int64_t rest = size - pos;
      const char* nl = static_cast<const char*>(memchr(s, '\n', static_cast<size_t>(rest)));
      const int64_t span = nl ? nl - s : rest;
      int64_t i = 0;
      for (; i < span && n < kLineSize - 1; ++i) {
        if (s[i] == '\r') continue;
        any = true;
        own[n++] = s[i];
      }
      // Past the cut, only whether a byte other than a carriage return
      // follows matters.
      for (; i < span && !cut; ++i) cut = s[i] != '\r';
      pos += nl ? span + 1 : span;
      if (nl) {
        ended = true;
        break;
      }
      if (!more()) break;
    }
    if (!ended && !any) return false;
    ++lineno;
    line = own;
    len = n;
    own[n] = 0;
    if (cut) longLine();
    return true;
  }

  // A line longer than kLineSize - 1 bytes (carriage returns not counted)
  // was read as its first kLineSize - 1: said once for the file in the run,
  // by the first read that meets one, whatever use_warnings says.
  void longLine() {
    if (long_met) return;
    long_met = true;
    if (firstReport(kLongLine, fname))
      zam_wrn("Line %d of %s is longer than %d bytes: only its first %d bytes are read\n", lineno, said,
              kLineSize - 1, kLineSize - 1);
  }

  bool nextLine() {
    if (!file) return textLine();
    line = own;
    len = zam_freadln(file, kLineSize, own);
    lineno = zam_fline(file);
    if (len >= 0 && zam_flinecut(file)) longLine();
    return len >= 0;
  }

  // Reads every line; returns at end of file or at an early stop.
  void run() {
    while (nextLine()) {
      Kind kind = recordKind(line, len);
      int s = 0;
      if (len >= 14 && line[12] == ' ' && line[13] == ' ' &&
          (memcmp(line, "ATOM ", 5) == 0 || memcmp(line, "HETATM ", 7) == 0)) {
        zam_adv("<%.14s> -- overflows PDB format. Trying to continue\n", line);
        s = 1;
      }
      switch (kind) {
        case CONECT:
        case ENERGY:
          break;
        case OTHER:
          // An mmCIF file opens with its data block, before any record.
          if (line[0] == 'd' && natoms == 0 && nhet == 0 && image->nmodels == 0 && strncmp(line, "data_", 5) == 0) {
            mmcif = true;
            return;
          }
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
    image->residues = exactCopy(residues, nres);
    image->atoms = exactCopy(atoms, natoms);
    image->hetatms = exactCopy(buffers.hetatms.data.get(), nhet);
    // Filled whole below, so cleared only when empty (as before).
    image->saved = static_cast<Point3D*>(natoms > 0 ? kget1B(static_cast<int64_t>(natoms) * sizeof(Point3D))
                                                    : kget1B_0(0));
    for (int i = 0; i < natoms; ++i) image->saved[i] = Point3D{atoms[i].x, atoms[i].y, atoms[i].z};
    image->saved_het = static_cast<Point3D*>(nhet > 0 ? kget1B(static_cast<int64_t>(nhet) * sizeof(Point3D))
                                                      : kget1B_0(0));
    const _pdb_atom* het = image->hetatms;
    for (int i = 0; i < nhet; ++i) image->saved_het[i] = Point3D{het[i].x, het[i].y, het[i].z};
    if (image->nsmtry == 0) {
      image->smtry = static_cast<Matrix3D*>(kget1B(sizeof(Matrix3D)));
      image->smtry[0] = identity();
      image->nsmtry = 1;
    }
    if (image->nbiomt == 0) {
      image->biomt = static_cast<Matrix3D*>(kget1B(sizeof(Matrix3D)));
      image->biomt[0] = identity();
      image->nbiomt = 1;
    }
  }
};

}  // namespace

namespace {

// Whether zam_fopen reads path through a codec.
bool compressedName(const char* path) {
  const char* dot = strrchr(path, '.');
  return dot && (strcmp(dot, ".gz") == 0 || strcmp(dot, ".bz") == 0 || strcmp(dot, ".bz2") == 0);
}

// Opens file for reading in blocks when it is a regular file, plain or, with
// packed, compressed as its name says (its name copied to opened): the
// descriptor, with the size in *known and the file's identity in *id; -1
// when it is to be read as a stream instead (another kind of file, a name
// too long for the reader's copy, or no open).
int openBlocks(const char* file, bool packed, char* opened, size_t room, int64_t* known, _zam_identity* id) {
  const int fit = snprintf(opened, room, "%s", file);
  if (fit < 0 || static_cast<size_t>(fit) >= room || compressedName(opened) != packed) return -1;
  // Without blocking: a pipe's open would wait for a writer. Reads of a
  // regular file do not heed the flag.
  const int fd = open(opened, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    *known = st.st_size;
    *id = zam_identityOf(st);
    return fd;
  }
  close(fd);
  return -1;
}

// Reads the whole text r stands on into a new image of the file path
// (opened: its name; said_as, when not null, the name messages give it) and
// the given name (null: the file's root name). Null after a report when it
// is mmCIF or could not be read.
_pdb_image* readImage(Reader& r, const char* opened, const char* path, const char* name, const char* said_as) {
  r.fname = r.file ? zam_fname(r.file) : opened;
  r.said = said_as ? said_as : path;
  r.atoms = buffers.atoms.room(0);
  r.residues = buffers.residues.room(0);
  _pdb_image* image = static_cast<_pdb_image*>(kget1B_0(sizeof(_pdb_image)));
  r.image = image;
  image->tf = identity();
  image->path = kdupS(path);
  if (name) {
    image->name = kdupS(name);
  } else {
    char base[300], root[300];
    zam_basename(image->path, base);
    image->name = kdupS(zam_rootname(base, root));
  }

  r.run();
  r.finish();
  if (r.mmcif) {
    zam_err("Failed to read PDB file: %s is in the mmCIF format, which is not read; give the structure as a PDB file\n",
            r.said);
    zam_freePdb(image);
    image = nullptr;
  } else if (r.file ? zam_ferror(r.file) != 0 : r.failed) {
    // A gzip file cut short otherwise reads as a shorter, valid-looking structure.
    zam_err("Failed to read PDB file: %s (after line %d) [%s]\n", r.said, r.file ? zam_fline(r.file) : r.lineno,
            r.file ? zam_ferrorText(r.file) : zam_unpackFailure(r.err));
    zam_freePdb(image);
    image = nullptr;
  }
  return image;
}

// zam_readPdb, and zam_readPdbSummed when sum is given.
_pdb_image* readPdb(const char* file, const char* name, _zam_filesum* sum, const char* said_as) {
  if (sum) zam_sumStart(sum);
  if (!file) return nullptr;
  char opened[300];
  // A plain file is read in blocks and its lines taken in place; anything
  // else (or a name that does not open: the ".pdb" form is then tried)
  // through a stream.
  int64_t known = 0;
  _zam_identity id{};
  int fd = openBlocks(file, false, opened, sizeof opened, &known, &id);
  // A compressed file that is summed is unpacked here as it is read, so
  // that its packed bytes are read once.
  _zam_unpack* unpack = nullptr;
  if (fd < 0 && sum && (fd = openBlocks(file, true, opened, sizeof opened, &known, &id)) >= 0) {
    known = 0;  // the size of the text is not known
    unpack = zam_unpackOpen(fd, zam_fkind(opened), sum);
    if (!unpack) {
      close(fd);
      fd = -1;
    }
  }
  _zam_file* f = nullptr;
  if (fd < 0) {
    if (zam_filesize(file) < 0)
      zam_filename(file, "pdb", opened);
    else
      snprintf(opened, sizeof opened, "%s", file);
    // Only regular files hold structures: a folder would read as nothing, a
    // device such as /dev/zero or a pipe might never end.
    struct stat st;
    if (stat(opened, &st) == 0 && !S_ISREG(st.st_mode)) {
      if (S_ISDIR(st.st_mode))
        zam_err("Failed to read PDB file: %s is a directory\n", opened);
      else
        zam_err("Failed to read PDB file: %s is a device, pipe or socket, not a regular file\n", opened);
      return nullptr;
    }
    f = zam_fopen(opened, "r");
    if (!f) {
      zam_err("Failed to open PDB file: %s\n", opened);
      return nullptr;
    }
  } else if (sum) {
    sum->opened = id;
  }
  if (zam_debug > 2) zam_msg("Reading PDB: %s\n", said_as ? said_as : opened);

  Reader r;
  r.file = f;
  r.fd = fd;
  r.known = known;
  r.sum = fd >= 0 && !unpack ? sum : nullptr;
  r.unpack = unpack;
  r.text = buffers.text.t.data;
  r.pos = r.size = buffers.text.t.size;  // nothing of an earlier file is kept
  _pdb_image* image = readImage(r, opened, f && zam_fname(f) ? zam_fname(f) : opened, name, said_as);
  // The bytes past where the reader stopped (the models after the first)
  // are summed, not parsed: every byte is read once.
  if (sum && fd >= 0 && !r.failed) zam_sumFinish(sum, fd);
  zam_unpackClose(unpack);
  if (f) zam_fclose(f);
  if (fd >= 0) close(fd);
  return image;
}

}  // namespace

_pdb_image* zam_readPdb(const char* file, const char* name) { return readPdb(file, name, nullptr, nullptr); }

_pdb_image* zam_readPdbSummed(const char* file, const char* name, _zam_filesum* sum, const char* said_as) {
  return readPdb(file, name, sum, said_as);
}

_pdb_image* zam_readPdbText(const char* text, int64_t n, const char* path, const char* name) {
  if (!text || n < 0 || !path) return nullptr;
  if (zam_debug > 2) zam_msg("Reading PDB: %s\n", path);
  // The lines are terminated in place: a copy, padded for the line scan.
  std::vector<char> copy(static_cast<size_t>(n) + ZAM_TEXT_PAD, '\0');
  memcpy(copy.data(), text, static_cast<size_t>(n));
  Reader r;
  r.text = copy.data();
  r.size = r.known = r.total = n;
  r.end = true;
  return readImage(r, path, path, name, nullptr);
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
int zam_getPdbOneModel() { return one_model; }
int zam_getPdbOneChain() { return one_chain; }
int zam_getPdbChainType() { return select_chain; }
int zam_getPdbHydrogens() { return use_hydrogens; }
int zam_getPdbHetRes() { return use_hetres; }
int zam_getPdbMissing() { return discard_missing; }
