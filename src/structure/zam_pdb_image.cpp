// Whole-image operations on structure images: release, copy, chain
// extraction and splitting, rigid moves and their undo, masks and chain
// labels, symmetry matrices, point lists, centring and atomic radii.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "geometry/zam_geom.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_atom_data.h"
#include "structure/zam_pdb.h"
#include "structure/zam_residue.h"

namespace {

constexpr int kGrow = 5000;

template <class T>
T* getArray(int64_t n) {
  return static_cast<T*>(kget1B_0((n > 0 ? n : 0) * static_cast<int64_t>(sizeof(T))));
}

// A copy of n records in a block of its own.
template <class T>
T* dupArray(const T* a, int n) {
  T* b = getArray<T>(n);
  if (a && n > 0) memcpy(b, a, static_cast<size_t>(n) * sizeof(T));
  return b;
}

// Resizes a record array from n to m entries, keeping the first min(n, m).
template <class T>
void resizeArray(T*& a, int n, int m) {
  T* b = getArray<T>(m);
  if (a && n > 0 && m > 0) memcpy(b, a, static_cast<size_t>(n < m ? n : m) * sizeof(T));
  kfree(a);
  a = b;
}

Point3D atomPt(const _pdb_atom& a) { return Point3D{a.x, a.y, a.z}; }

void setAtomPt(_pdb_atom& a, Point3D p) {
  a.x = p.x;
  a.y = p.y;
  a.z = p.z;
}

// The count of an image's atoms that pass a selection.
int selectionCount(const _pdb_image* image, int selection) {
  switch (selection) {
    case 1: return image->nbb;
    case 2: return image->nres;
    case 3: return image->nsc;
    case 4: return image->nmc;
    default: return image->natoms;
  }
}

// The radius of one atom from the atom-parameter data: the residue's own
// entry, then the generic entries; 0 when none answers.
float atomRadius(const _pdb_atom& a) {
  float r = 0.0f;
  return zam_atom_params(a.resname, a.name, &r, nullptr, nullptr) ? r : 0.0f;
}

int position(int value, int n, const int* list) {
  for (int p = 0; p < n; ++p)
    if (list[p] == value) return p;
  return -1;
}

// v as "%8.3f" prints it and strtod reads it back. The text holds the
// integer k nearest to v * 1000 (a half-way case going to the even one, as
// the C library rounds the exact value), and strtod gives the correctly
// rounded k / 1000, which one division of the exact k by 1000 gives too. For
// |v| below 1e9, k is found without the text: the product p = |v| * 1000 is
// rounded, but its error e is had exactly (a fused multiply-add rounds only
// once, and the error of a product is a double). Rounding p to an integer
// rounds the exact product the same way, except where p lies half-way:
// there the sign of e says on which side of the half the exact product
// lies. (A half-integer and p are both multiples of p's unit in the last
// place, so e, at most half that unit, cannot carry the exact product across
// any other half.) The sign stays with a value printed as -0.000. Other
// values take the text.
double roundedAsText(double v) {
  const double a = std::fabs(v);
  if (a < 1e9) {
    const double p = a * 1000.0;
    const double e = std::fma(a, 1000.0, -p);
    double k = std::nearbyint(p);
    const double d = p - k;
    if (d == 0.5 && e > 0.0) k += 1.0;
    else if (d == -0.5 && e < 0.0) k -= 1.0;
    return std::copysign(k / 1000.0, v);
  }
  char text[64];
  snprintf(text, sizeof text, "%8.3f", v);
  return strtod(text, nullptr);
}

// Whether the PDB writer's text of v gives v back bit for bit (the sign of
// a zero too) in its eight columns: -999.999 to 9999.999 in steps of 0.001,
// which is every coordinate a PDB file with three decimals holds.
bool heldAsText(double v) {
  const double r = roundedAsText(v);
  return v >= -999.999 && v <= 9999.999 && std::memcmp(&r, &v, sizeof v) == 0;
}

bool atomsHeldAsText(const _pdb_atom* atoms, int n) {
  for (int i = 0; atoms && i < n; ++i)
    if (!heldAsText(atoms[i].x) || !heldAsText(atoms[i].y) || !heldAsText(atoms[i].z)) return false;
  return true;
}

void roundAtomsAsText(_pdb_atom* atoms, int n) {
  for (int i = 0; atoms && i < n; ++i) {
    atoms[i].x = roundedAsText(atoms[i].x);
    atoms[i].y = roundedAsText(atoms[i].y);
    atoms[i].z = roundedAsText(atoms[i].z);
  }
}

bool validResidue(const _pdb_image* image, int i) {
  return image && i >= 0 && i < image->nres && image->residues;
}

}  // namespace

bool zam_atomSelected(const _pdb_atom& a, int selection) {
  switch (selection) {
    case 1: return zam_isBackbone(a.name) != 0;
    case 2: return strcmp(a.name, "CA") == 0;
    case 3: return zam_isSideChain(a.name) != 0;
    case 4: return zam_isMainChain(a.name) != 0;
    default: return true;
  }
}

void zam_freePdb(_pdb_image* image) {
  if (!image) return;
  kfree(image->path);
  kfree(image->name);
  kfree(image->hetatms);
  kfree(image->atoms);
  kfree(image->residues);
  kfree(image->saved);
  kfree(image->saved_het);
  kfree(image->smtry);
  kfree(image->biomt);
  kfree(image);
}

_pdb_image* zam_copyPdb(const _pdb_image* image) {
  if (!image) return nullptr;
  _pdb_image* copy = getArray<_pdb_image>(1);
  *copy = *image;
  copy->path = image->path ? kdupS(image->path) : nullptr;
  copy->name = image->name ? kdupS(image->name) : nullptr;
  copy->biomt = dupArray(image->biomt, image->nbiomt);
  copy->smtry = dupArray(image->smtry, image->nsmtry);
  copy->residues = dupArray(image->residues, image->nres);
  copy->atoms = dupArray(image->atoms, image->natoms);
  copy->hetatms = dupArray(image->hetatms, image->nhetatms);
  copy->saved = dupArray(image->saved, image->natoms);
  copy->saved_het = dupArray(image->saved_het, image->nhetatms);
  return copy;
}

_pdb_image* zam_extractPdb(const _pdb_image* image, int n, const int* chains) {
  if (!image || n < 1 || !chains) return nullptr;
  _pdb_image* out = getArray<_pdb_image>(1);
  if (image->path) out->path = kdupS(image->path);
  if (image->name) out->name = kdupS(image->name);
  out->delta = image->delta;
  out->tf = image->tf;
  out->nsmtry = out->nbiomt = 1;
  out->smtry = getArray<Matrix3D>(1);
  out->biomt = getArray<Matrix3D>(1);
  out->smtry[0] = out->biomt[0] = tf_identity();

  std::unique_ptr<int[]> map(new int[n]);
  for (int p = 0; p < n; ++p) map[p] = -1;
  // Source index -> new index, so that residue ranges and atom back links
  // stay right whatever chains are asked for.
  std::unique_ptr<int[]> atom_map(new int[image->natoms > 0 ? image->natoms : 1]);
  std::unique_ptr<int[]> res_map(new int[image->nres > 0 ? image->nres : 1]);

  int cap = kGrow, natoms = 0, nca = 0;
  out->atoms = getArray<_pdb_atom>(cap);
  out->saved = getArray<Point3D>(cap);
  for (int i = 0; i < image->natoms; ++i) {
    const _pdb_atom& a = image->atoms[i];
    atom_map[i] = -1;
    int p = position(a.chain_no, n, chains);
    if (p < 0) continue;
    if (map[p] < 0) map[p] = out->nchains++;
    if (natoms >= cap) {
      resizeArray(out->atoms, cap, cap + kGrow);
      resizeArray(out->saved, cap, cap + kGrow);
      cap += kGrow;
    }
    _pdb_atom& b = out->atoms[natoms];
    b = a;
    b.chain_no = map[p];
    out->saved[natoms] = image->saved ? image->saved[i] : atomPt(a);
    nca += b.is_ca;
    out->nbb += b.is_bb;
    out->nmc += b.is_mc;
    out->nsc += b.is_sc;
    atom_map[i] = natoms++;
  }

  int rcap = kGrow, nrec = 0;
  out->residues = getArray<_pdb_residue>(rcap);
  for (int i = 0; i < image->nres; ++i) {
    const _pdb_residue& r = image->residues[i];
    res_map[i] = -1;
    int p = position(r.chain_no, n, chains);
    if (p < 0) continue;
    if (map[p] < 0) map[p] = out->nchains++;
    if (nrec >= rcap) {
      resizeArray(out->residues, rcap, rcap + kGrow);
      rcap += kGrow;
    }
    _pdb_residue& s = out->residues[nrec];
    s = r;
    s.chain_no = map[p];
    bool in_range = r.first >= 0 && r.last < image->natoms && r.first <= r.last;
    s.first = in_range ? atom_map[r.first] : 0;
    s.last = in_range ? atom_map[r.last] : -1;
    res_map[i] = nrec++;
  }
  for (int i = 0; i < natoms; ++i) {
    int r = out->atoms[i].residue;
    out->atoms[i].residue = r >= 0 && r < image->nres ? res_map[r] : -1;
  }

  if (out->nchains != n && zam_getPdbWarnings())
    zam_wrn("zam_extractPdb(): no. chains extracted (%d) not equal to no. requested (%d).\n", out->nchains, n);
  out->nres = nca;
  if (nca != nrec) {
    if (zam_getPdbWarnings())
      zam_wrn("zam_extractPdb(): no. residues (%d) not equal to No. CA atoms (%d).\n", nrec, nca);
    if (nrec < nca) out->nres = nrec;
  }
  out->natoms = natoms;
  if (zam_debug > 0)
    zam_msg("Extracted %d chains, %d residues, %d atoms, CA=%d, BB=%d, MC=%d, SC=%d\n", out->nchains, nrec,
            natoms, out->nres, out->nbb, out->nmc, out->nsc);
  // The residue records are kept whole (nres may be smaller when residues
  // lack alpha carbons), so every atom's residue index stays valid.
  resizeArray(out->atoms, cap, natoms);
  resizeArray(out->saved, cap, natoms);
  resizeArray(out->residues, rcap, nrec);
  out->hetatms = getArray<_pdb_atom>(0);
  out->saved_het = getArray<Point3D>(0);
  return out;
}

void zam_splitPdb(const _pdb_image* image, int n, const int* chains, const char* const* names,
                  _pdb_image** images) {
  if (!images || n < 1) return;
  for (int k = 0; k < n; ++k) images[k] = nullptr;
  if (!image || !chains) return;
  auto rename = [&](int k) {
    if (!images[k] || !names || !names[k]) return;
    kfree(images[k]->name);
    images[k]->name = kdupS(names[k]);
  };
  if (image->nmodels < 2) {
    for (int k = 0; k < n; ++k) {
      images[k] = zam_extractPdb(image, 1, &chains[k]);
      rename(k);
    }
    return;
  }
  // One model's group of chains per image; at least one chain per group.
  int g = image->nchains / image->nmodels;
  if (g < 1) g = 1;
  for (int k = 0; k < n; k += g) {
    images[k] = zam_extractPdb(image, g < n - k ? g : n - k, &chains[k]);
    rename(k);
  }
}

int zam_chainsPdb(const _pdb_image* image, const char* letters, int* numbers) {
  if (!image || !letters || !numbers) return 0;
  int count = 0;
  for (const char* c = letters; *c; ++c) {
    for (int i = 0; i < image->nres; ++i) {
      const _pdb_residue& r = image->residues[i];
      if (r.model == 0 && r.chain[0] == *c) {
        numbers[count++] = r.chain_no;
        break;
      }
    }
  }
  return count;
}

void zam_movePdb(_pdb_image* image, Matrix3D matrix) {
  if (!image) return;
  for (int i = 0; i < image->natoms; ++i) setAtomPt(image->atoms[i], pt_tfpt(matrix, atomPt(image->atoms[i])));
  for (int i = 0; i < image->nhetatms; ++i)
    setAtomPt(image->hetatms[i], pt_tfpt(matrix, atomPt(image->hetatms[i])));
}

void zam_movePdbResidue(_pdb_image* image, int i, Matrix3D matrix) {
  if (!validResidue(image, i)) return;
  const _pdb_residue& r = image->residues[i];
  for (int k = r.first < 0 ? 0 : r.first; k <= r.last && k < image->natoms; ++k)
    setAtomPt(image->atoms[k], pt_tfpt(matrix, atomPt(image->atoms[k])));
}

void zam_resetPdb(_pdb_image* image) {
  if (!image) return;
  for (int i = 0; i < image->natoms && image->saved; ++i) setAtomPt(image->atoms[i], image->saved[i]);
  for (int i = 0; i < image->nhetatms && image->saved_het; ++i) setAtomPt(image->hetatms[i], image->saved_het[i]);
}

void zam_freezePdb(_pdb_image* image) {
  if (!image) return;
  image->tf = tf_identity();
  for (int i = 0; i < image->natoms && image->saved; ++i) image->saved[i] = atomPt(image->atoms[i]);
  for (int i = 0; i < image->nhetatms && image->saved_het; ++i) image->saved_het[i] = atomPt(image->hetatms[i]);
}

void zam_maskPdb(_pdb_image* image, int value) {
  if (!image) return;
  for (int i = 0; i < image->nres; ++i) image->residues[i].masked = value;
}

void zam_labelPdbResidue(_pdb_image* image, int i, int shift) {
  if (!validResidue(image, i)) return;
  _pdb_residue& r = image->residues[i];
  r.chain[0] = deltaChar(r.chain[0], shift);
  for (int k = r.first < 0 ? 0 : r.first; k <= r.last && k < image->natoms; ++k)
    image->atoms[k].chain[0] = deltaChar(image->atoms[k].chain[0], shift);
}

void zam_setPdbChainLabel(_pdb_image* image, char letter) {
  if (!image) return;
  for (int i = 0; i < image->nres; ++i) {
    _pdb_residue& r = image->residues[i];
    r.chain[0] = letter;
    r.chain[1] = 0;
    for (int k = r.first < 0 ? 0 : r.first; k <= r.last && k < image->natoms; ++k) {
      image->atoms[k].chain[0] = letter;
      image->atoms[k].chain[1] = 0;
    }
  }
}

char deltaChar(char c, int shift) {
  if (shift >= 1) {
    if (c >= 'A' && c <= 'Z') return static_cast<char>('A' + (c - 'A' + shift) % 26);
    if (c >= 'a' && c <= 'z') return static_cast<char>('a' + (c - 'a' + shift) % 26);
    if (c >= '0' && c <= '9') return static_cast<char>('0' + (c - '0' + shift) % 10);
  } else if (shift < 0) {
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  }
  return c;
}

void zam_setPdbDelta(_pdb_image* image, int shift) {
  if (image) image->delta = shift;
}

void zam_setPdbFake(_pdb_image* image, int flag) {
  if (image) image->fake = flag;
}

Matrix3D zam_pdbBiomt(const _pdb_image* image, int k) {
  if (!image || !image->biomt || k < 1 || k > image->nbiomt) return tf_identity();
  return image->biomt[k - 1];
}

Matrix3D zam_pdbCryst(const _pdb_image* image, int k) {
  if (!image || !image->smtry || k < 1 || k > image->nsmtry) return tf_identity();
  return image->smtry[k - 1];
}

Point3D zam_ptPdbResidue(const _pdb_image* image, int i) {
  if (!validResidue(image, i)) return pt_zero();
  const _pdb_residue& r = image->residues[i];
  for (int k = r.first < 0 ? 0 : r.first; k <= r.last && k < image->natoms; ++k)
    if (strcmp(image->atoms[k].name, "CA") == 0) return atomPt(image->atoms[k]);
  return pt_zero();
}

Point3D* zam_ptsPdb(const _pdb_image* image, int selection) {
  if (!image) return nullptr;
  int count = selectionCount(image, selection);
  Point3D* pts = getArray<Point3D>(count);
  for (int i = 0, k = 0; i < image->natoms && k < count; ++i)
    if (zam_atomSelected(image->atoms[i], selection)) pts[k++] = atomPt(image->atoms[i]);
  return pts;
}

double zam_importPdb(_pdb_image* image, int randomise) {
  if (!image || image->natoms < 1) return 0.0;
  // The centre and radius of pt_average and d_ptpt, taken on the atoms as
  // they stand: the same sums in the same order. The square root grows
  // with its argument, so the largest distance is the root of the largest
  // square.
  const int n = image->natoms;
  const _pdb_atom* atoms = image->atoms;
  Point3D sum = pt_zero();
  for (int i = 0; i < n; ++i) sum = v_add(sum, atomPt(atoms[i]));
  const Point3D c = v_lambdav(1.0 / n, sum);
  double r2 = 0.0;
  for (int i = 0; i < n; ++i) {
    const double d2 = d2_ptpt(c, atomPt(atoms[i]));
    if (d2 > r2) r2 = d2;
  }
  const double r = std::sqrt(r2);
  Matrix3D move = tf_v(v_neg(c));
  zam_movePdb(image, move);
  image->tf = tf_tftf(image->tf, move);
  if (randomise) {
    Matrix3D turn = tf_random();
    if (zam_debug > 1) {
      Euler e = euler_tf(turn);
      zam_msg("Applying random rotation to %s = [%.2lf,%.2lf,%.2lf]\n", image->name ? image->name : "",
              rad2deg(e.alpha), rad2deg(e.beta), rad2deg(e.gamma));
    }
    zam_movePdb(image, turn);
    image->tf = tf_tftf(image->tf, turn);
  }
  return r;
}

void zam_roundPdbAsText(_pdb_image* image) {
  if (!image) return;
  roundAtomsAsText(image->atoms, image->natoms);
  roundAtomsAsText(image->hetatms, image->nhetatms);
}

int zam_pdbHeldAsText(const _pdb_image* image) {
  return image && atomsHeldAsText(image->atoms, image->natoms) && atomsHeldAsText(image->hetatms, image->nhetatms);
}

_pdb_image* zam_copyPdbAsRead(const _pdb_image* image) {
  if (!image || (image->natoms > 0 && !image->saved) || (image->nhetatms > 0 && !image->saved_het)) return nullptr;
  _pdb_image* copy = zam_copyPdb(image);
  zam_resetPdb(copy);
  copy->tf = tf_identity();
  return copy;
}

float* zam_radPdb(const _pdb_image* image, int selection) {
  if (!image) return nullptr;
  int count = selectionCount(image, selection);
  float* rad = getArray<float>(count);
  for (int i = 0, k = 0; i < image->natoms && k < count; ++i)
    if (zam_atomSelected(image->atoms[i], selection)) rad[k++] = atomRadius(image->atoms[i]);
  return rad;
}

void zam_loadPdbZamRadii(_pdb_image* image) {
  if (!image) return;
  for (int i = 0; i < image->natoms; ++i) {
    float r = atomRadius(image->atoms[i]);
    image->atoms[i].radius = r > 0.0f ? r : 0.0;
  }
}
