// Ideal backbones from a sequence: every residue is first placed in its own
// standard frame from its template, then carried to its place along the chain
// by the product of the link transforms before it, turned half a turn about z
// and centred on the mean of all its atoms.
#include "align/trel_backbone.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "geometry/zam_frame.h"
#include "runtime/kids.h"
#include "runtime/zam_system.h"
#include "structure/zam_pdb.h"
#include "structure/zam_residue.h"

const Point3D pt_alpha_0_n = {1.382, 0.0, 0.502};
const Point3D pt_alpha_0_ca = {0.0, 0.0, 0.0};
const Point3D pt_alpha_0_c = {0.0, 0.0, -1.53};
const Point3D pt_alpha_0_o = {-0.725, -0.778, -2.168};
const Point3D pt_alpha_1_n = {0.822, 0.881, -2.067};
const Point3D pt_alpha_1_c = {1.408, -0.273, -4.156};
const Point3D pt_alpha_1_ca = {0.978, 1.051, -3.519};
const Point3D pt_beta_0_n = {1.382, 0.0, 0.503};
const Point3D pt_beta_0_ca = {0.0, 0.0, 0.0};
const Point3D pt_beta_0_c = {0.0, 0.0, -1.529};
const Point3D pt_beta_0_o = {0.682, 0.814, -2.169};
const Point3D pt_beta_1_n = {-0.776, -0.924, -2.067};
const Point3D pt_beta_1_c = {-2.407, -1.155, -3.889};
const Point3D pt_beta_1_ca = {-0.924, -1.1, -3.518};

namespace {

constexpr int kAtomsPerResidue = 4;
const char* const kAtomNames[kAtomsPerResidue] = {"N", "CA", "C", "O"};

template <class T>
T* getRecords(int64_t n) {
  return static_cast<T*>(kget1B_0(n * static_cast<int64_t>(sizeof(T))));
}

bool isHelixLetter(char c) { return c == 'A' || c == 'a' || c == 'H' || c == 'h'; }

// Bounded copy that always terminates (texts longer than the field are cut).
template <size_t N>
void put(char (&field)[N], const char* text) {
  size_t k = 0;
  for (; text && text[k] && k + 1 < N; ++k) field[k] = text[k];
  field[k] = 0;
}

Point3D atomPt(const _pdb_atom& a) { return Point3D{a.x, a.y, a.z}; }

void setAtomPt(_pdb_atom& a, Point3D p) {
  a.x = p.x;
  a.y = p.y;
  a.z = p.z;
}

}  // namespace

_pdb_image* trel_makeBackbone(const char* name, char chain, int n, const char* sequence, const char* sse) {
  // Read no letter past the end of a text that is shorter than n.
  n = (n > 0 && sequence) ? static_cast<int>(strnlen(sequence, static_cast<size_t>(n))) : 0;
  const int nsse = sse ? static_cast<int>(strnlen(sse, static_cast<size_t>(n))) : 0;
  const int natoms = kAtomsPerResidue * n;

  _pdb_image* image = getRecords<_pdb_image>(1);
  image->nmodels = 1;
  image->nchains = 1;
  image->natoms = natoms;
  image->nres = n;
  image->nbb = natoms;
  image->nmc = natoms;
  image->fake = 1;
  image->path = kdupS(name);
  image->name = kdupS(name);
  image->tf = tf_identity();
  // One identity per symmetry list, as a read image has, so the symmetry
  // accessors, copies and the raw image file treat both alike.
  image->nsmtry = image->nbiomt = 1;
  image->smtry = getRecords<Matrix3D>(1);
  image->biomt = getRecords<Matrix3D>(1);
  image->smtry[0] = image->biomt[0] = tf_identity();
  image->residues = getRecords<_pdb_residue>(n);
  image->atoms = getRecords<_pdb_atom>(natoms);

  const char chain_text[2] = {chain, 0};
  for (int i = 0; i < n; ++i) {
    const bool helix = i < nsse && isHelixLetter(sse[i]);
    char number[16];
    snprintf(number, sizeof number, "%d", i + 1);
    _pdb_residue& r = image->residues[i];
    r.first = kAtomsPerResidue * i;
    r.last = r.first + kAtomsPerResidue - 1;
    put(r.chain, chain_text);
    r.code[0] = sequence[i];
    put(r.resname, zam_aaName(sequence[i]));
    r.sse[0] = helix ? 'A' : 'B';
    put(r.resnum, number);
    const Point3D helix_pts[kAtomsPerResidue] = {pt_alpha_0_n, pt_alpha_0_ca, pt_alpha_0_c, pt_alpha_0_o};
    const Point3D strand_pts[kAtomsPerResidue] = {pt_beta_0_n, pt_beta_0_ca, pt_beta_0_c, pt_beta_0_o};
    for (int k = 0; k < kAtomsPerResidue; ++k)
      make_bbAtom(&image->atoms[r.first + k], i, kAtomNames[k], helix ? helix_pts[k] : strand_pts[k],
                  r.resname, number, chain_text);
  }

  // The link of residue k carries it from its standard frame to its place in
  // the frame of residue k-1; residue j therefore ends at L(1) L(2) ... L(j)
  // applied to its template. The product is built once per residue, so the
  // chain costs linear time.
  const Matrix3D link_alpha = tf_inverse(tf_origin_negz_posx(pt_alpha_1_ca, pt_alpha_1_c, pt_alpha_1_n));
  const Matrix3D link_beta = tf_inverse(tf_origin_negz_posx(pt_beta_1_ca, pt_beta_1_c, pt_beta_1_n));
  Matrix3D place = tf_identity();
  for (int j = 1; j < n; ++j) {
    place = tf_tftf(image->residues[j].sse[0] == 'A' ? link_alpha : link_beta, place);
    for (int a = image->residues[j].first; a <= image->residues[j].last; ++a)
      setAtomPt(image->atoms[a], pt_tfpt(place, atomPt(image->atoms[a])));
  }

  const Matrix3D turn = tf_rotz(M_PI);
  Point3D sum = {0.0, 0.0, 0.0};
  for (int a = 0; a < natoms; ++a) {
    Point3D p = pt_tfpt(turn, atomPt(image->atoms[a]));
    setAtomPt(image->atoms[a], p);
    sum = Point3D{sum.x + p.x, sum.y + p.y, sum.z + p.z};
  }
  image->saved = getRecords<Point3D>(natoms);
  if (natoms > 0) {
    const double scale = 1.0 / natoms;
    const Matrix3D centre = tf_v(Point3D{-sum.x * scale, -sum.y * scale, -sum.z * scale});
    for (int a = 0; a < natoms; ++a) {
      setAtomPt(image->atoms[a], pt_tfpt(centre, atomPt(image->atoms[a])));
      image->saved[a] = atomPt(image->atoms[a]);
    }
  }
  return image;
}

void make_bbAtom(_pdb_atom* atom, int residue, const char* name, Point3D p, const char* resname,
                 const char* resnum, const char* chain) {
  zam_zero(atom, sizeof *atom);
  put(atom->type, "ATOM  ");
  put(atom->name, name);
  snprintf(atom->cname, sizeof atom->cname, " %s", name ? name : "");
  put(atom->alt, " ");
  put(atom->resname, resname);
  put(atom->resnum, resnum);
  put(atom->icode, " ");
  put(atom->chain, chain);
  setAtomPt(*atom, p);
  atom->residue = residue;
  put(atom->label, resnum);
  atom->is_ca = zam_isAlphaCarbon(atom->name) ? 1 : 0;
  atom->is_mc = zam_isMainChain(atom->name) ? 1 : 0;
  atom->is_bb = zam_isBackbone(atom->name) ? 1 : 0;
  atom->is_sc = zam_isSideChain(atom->name) ? 1 : 0;
}

char* trel_codesPdb(const _pdb_image* image) {
  if (!image) return nullptr;
  const int n = image->nres > 0 ? image->nres : 0;
  char* codes = static_cast<char*>(kget1B(n));
  for (int i = 0; i < n; ++i) codes[i] = zam_aaCode(image->residues[i].resname);
  return codes;
}
