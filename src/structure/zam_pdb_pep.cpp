#include "structure/zam_pdb_pep.h"

#include <cstdint>
#include <cstring>

#include "runtime/kids.h"
#include "structure/zam_pdb.h"

namespace {

// Position array of the atom named by the name slot: CA, N, C, O or CB
// exactly, the main-chain classes 1-5 of zam_isMainChain; null for every
// other name. The first four bytes of the slot are taken as one key and
// only the bytes up to the name's end are compared, so a damaged record
// (no terminator in the slot) is never read past the slot. This runs once
// per atom of every traced structure.
Point3D* slotOf(_pdb_peptide* p, const char* slot) {
  unsigned char b[4];
  std::memcpy(b, slot, sizeof b);
  const uint32_t key = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                       uint32_t(b[3]) << 24;
  constexpr uint32_t kC = 'C', kN = 'N', kO = 'O';
  constexpr uint32_t kCA = 'C' | uint32_t('A') << 8, kCB = 'C' | uint32_t('B') << 8;
  switch (key & 0xffffu) {  // one letter and the terminator
    case kC:
      return p->c;
    case kN:
      return p->n;
    case kO:
      return p->o;
    default:
      break;
  }
  switch (key & 0xffffffu) {  // two letters and the terminator
    case kCA:
      return p->ca;
    case kCB:
      return p->cb;
    default:
      return nullptr;
  }
}

// Makes the eight arrays of n entries, zero-filled or not.
_pdb_peptide* newPeptide(int n, bool zero) {
  auto* p = static_cast<_pdb_peptide*>(kget1B_0(sizeof(_pdb_peptide)));
  if (!p) return nullptr;
  const int64_t pts = int64_t(n) * int64_t(sizeof(Point3D));
  auto raw = [zero](int64_t bytes) { return zero ? kget1B_0(bytes) : kget1B(bytes); };
  p->ca = static_cast<Point3D*>(raw(pts));
  p->n = static_cast<Point3D*>(raw(pts));
  p->c = static_cast<Point3D*>(raw(pts));
  p->o = static_cast<Point3D*>(raw(pts));
  p->cb = static_cast<Point3D*>(raw(pts));
  p->val = zero ? kget1D_0(n) : kget1D(n);
  p->code = static_cast<char*>(raw(n));
  p->sse = static_cast<char*>(raw(n));
  if (!p->ca || !p->n || !p->c || !p->o || !p->cb || !p->val || !p->code || !p->sse) {
    zam_freePdbPep(p);
    return nullptr;
  }
  return p;
}

// Copies n entries of every array, from entry first of src to entry 0 of dst.
void copyEntries(const _pdb_peptide* src, int first, _pdb_peptide* dst, int n) {
  const size_t pts = size_t(n) * sizeof(Point3D);
  std::memcpy(dst->ca, src->ca + first, pts);
  std::memcpy(dst->n, src->n + first, pts);
  std::memcpy(dst->c, src->c + first, pts);
  std::memcpy(dst->o, src->o + first, pts);
  std::memcpy(dst->cb, src->cb + first, pts);
  std::memcpy(dst->val, src->val + first, size_t(n) * sizeof(double));
  std::memcpy(dst->code, src->code + first, size_t(n));
  std::memcpy(dst->sse, src->sse + first, size_t(n));
}

}  // namespace

_pdb_peptide* zam_allocPdbPep(int n) {
  if (n < 0) return nullptr;
  return newPeptide(n, true);
}

void zam_freePdbPep(_pdb_peptide* p) {
  if (!p) return;
  kfree(p->ca);
  kfree(p->n);
  kfree(p->c);
  kfree(p->o);
  kfree(p->cb);
  kfree(p->val);
  kfree(p->code);
  kfree(p->sse);
  kfree(p);
}

void zam_loadPdbPep(const _pdb_image* image, _pdb_peptide* p) {
  if (!image || !p) return;
  const int nres = image->residues ? image->nres : 0;
  for (int i = 0; i < nres; i++) {
    p->code[i] = image->residues[i].code[0];
    p->sse[i] = image->residues[i].sse[0];
  }
  if (!image->atoms) return;
  for (int a = 0; a < image->natoms; a++) {
    const _pdb_atom& atom = image->atoms[a];
    const int r = atom.residue;
    if (r < 0 || r >= nres) continue;
    static_assert(sizeof atom.name >= 4, "the name key takes four bytes of the slot");
    Point3D* slot = slotOf(p, atom.name);
    if (slot) slot[r] = Point3D{atom.x, atom.y, atom.z};
  }
}

_pdb_peptide* zam_makePdbPep(const _pdb_image* image) {
  if (!image) return nullptr;
  _pdb_peptide* p = zam_allocPdbPep(image->residues && image->nres > 0 ? image->nres : 0);
  if (p) zam_loadPdbPep(image, p);
  return p;
}

void zam_copyPdbPep(const _pdb_peptide* source, int first, _pdb_peptide* target, int n) {
  if (!source || !target || first < 0 || n < 1) return;
  copyEntries(source, first, target, n);
}

_pdb_peptide* zam_dupPdbPep(int n, const _pdb_peptide* source) {
  if (!source || n < 0) return nullptr;
  _pdb_peptide* p = newPeptide(n, false);
  if (p && n > 0) copyEntries(source, 0, p, n);
  return p;
}
