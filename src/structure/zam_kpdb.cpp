// Raw structure image files: header of twelve 32-bit integers, the placement
// transform, then the record arrays exactly as they lie in memory. The reader
// trusts nothing in the header: counts are checked against the file's size
// before anything is allocated.
#include "structure/zam_kpdb.h"

#include <atomic>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_whole.h"
#include "structure/zam_pdb.h"

static_assert(std::endian::native == std::endian::little,
              "raw image files are little-endian; a big-endian port must convert them");
static_assert(sizeof(Matrix3D) == 96, "a transform is twelve doubles in the file");
static_assert(sizeof(int) == 4 && sizeof(float) == 4 && sizeof(double) == 8, "file field sizes");

namespace {

constexpr int64_t kHeaderBytes = 48;
constexpr int64_t kFixedBytes = kHeaderBytes + static_cast<int64_t>(sizeof(Matrix3D));

// The 48-byte header; the hetero count follows the symmetry counts here,
// unlike in the image, and the last two slots are always 0.
struct Header {
  int32_t nmodels, nchains, natoms, nres, nbb, nmc, nsc, nsmtry, nbiomt, nhetatms, zero1, zero2;
};
static_assert(sizeof(Header) == kHeaderBytes, "48-byte header");

constexpr size_t kPathBytes = 300;

bool isCodec(const _zam_file* f) { return (f->flags & (ZAM_FGZIP | ZAM_FBZIP2)) != 0; }

// One whole block through the stream: stdio answers 1, the codecs the count.
bool writeAll(_zam_file* f, const void* p, int64_t n) {
  if (n <= 0) return true;
  int64_t r = zam_fwrite(f, p, n);
  return isCodec(f) ? r == n : r == 1;
}

// The body of the file after the fixed part, read either straight from a
// plain stream (whose size was already checked) or from a copy of a
// compressed stream's remaining bytes, whose length was checked.
struct Source {
  _zam_file* file = nullptr;
  std::vector<char> data;
  size_t at = 0;
  bool buffered = false;

  bool read(void* p, int64_t n) {
    if (n <= 0) return true;
    if (buffered) {
      if (static_cast<int64_t>(data.size() - at) < n) return false;
      memcpy(p, data.data() + at, static_cast<size_t>(n));
      at += static_cast<size_t>(n);
      return true;
    }
    int64_t r = zam_fread(file, p, n);
    return isCodec(file) ? r == n : r == 1;
  }

  // Copies at most limit + 1 remaining bytes of a compressed stream, so a
  // stream longer than its header says is seen without reading all of it.
  int64_t slurp(int64_t limit) {
    buffered = true;
    char chunk[65536];
    while (static_cast<int64_t>(data.size()) <= limit) {
      int64_t r = zam_fread(file, chunk, sizeof chunk);
      if (r <= 0) break;
      data.insert(data.end(), chunk, chunk + r);
    }
    return static_cast<int64_t>(data.size());
  }
};

template <class T>
T* getRecords(int64_t n) {
  return static_cast<T*>(kget1B_0(n * static_cast<int64_t>(sizeof(T))));
}

// Texts of a record read from disk end within their fields whatever the file
// holds, so later string calls never run past a field.
template <size_t N>
void terminate(char (&text)[N]) {
  text[N - 1] = 0;
}

void terminateAtom(_pdb_atom& a) {
  terminate(a.type);
  terminate(a.name);
  terminate(a.cname);
  terminate(a.alt);
  terminate(a.resname);
  terminate(a.resnum);
  terminate(a.icode);
  terminate(a.chain);
  terminate(a.label);
}

void terminateResidue(_pdb_residue& r) {
  terminate(r.chain);
  terminate(r.code);
  terminate(r.resname);
  terminate(r.sse);
  terminate(r.resnum);
}

Point3D atomPt(const _pdb_atom& a) { return Point3D{a.x, a.y, a.z}; }

bool consistent(const _pdb_image* image) {
  const int counts[] = {image->nmodels, image->nchains, image->natoms, image->nres,   image->nbb,
                        image->nmc,     image->nsc,     image->nsmtry, image->nbiomt, image->nhetatms};
  for (int c : counts)
    if (c < 0) return false;
  return (image->natoms == 0 || image->atoms) && (image->nres == 0 || image->residues) &&
         (image->nsmtry == 0 || image->smtry) && (image->nbiomt == 0 || image->biomt) &&
         (image->nhetatms == 0 || image->hetatms);
}

// Reads the pieces after the fixed part into image, making the saved
// coordinates as it goes; false on a short read.
bool readPieces(Source& src, _pdb_image* image) {
  image->atoms = getRecords<_pdb_atom>(image->natoms);
  image->residues = getRecords<_pdb_residue>(image->nres);
  if (!src.read(image->atoms, image->natoms * static_cast<int64_t>(sizeof(_pdb_atom))) ||
      !src.read(image->residues, image->nres * static_cast<int64_t>(sizeof(_pdb_residue))))
    return false;
  image->saved = getRecords<Point3D>(image->natoms);
  for (int i = 0; i < image->natoms; ++i) {
    terminateAtom(image->atoms[i]);
    image->saved[i] = atomPt(image->atoms[i]);
  }
  for (int i = 0; i < image->nres; ++i) terminateResidue(image->residues[i]);
  if (image->nsmtry > 0) {
    image->smtry = getRecords<Matrix3D>(image->nsmtry);
    if (!src.read(image->smtry, image->nsmtry * static_cast<int64_t>(sizeof(Matrix3D)))) return false;
  }
  if (image->nbiomt > 0) {
    image->biomt = getRecords<Matrix3D>(image->nbiomt);
    if (!src.read(image->biomt, image->nbiomt * static_cast<int64_t>(sizeof(Matrix3D)))) return false;
  }
  image->hetatms = getRecords<_pdb_atom>(image->nhetatms);
  image->saved_het = getRecords<Point3D>(image->nhetatms);
  if (!src.read(image->hetatms, image->nhetatms * static_cast<int64_t>(sizeof(_pdb_atom)))) return false;
  for (int i = 0; i < image->nhetatms; ++i) {
    terminateAtom(image->hetatms[i]);
    image->saved_het[i] = atomPt(image->hetatms[i]);
  }
  return true;
}

// readPieces, then the residues' atom ranges, which the writers and the
// trace build index by; false after a report naming the file.
bool readBody(Source& src, _pdb_image* image, const char* path) {
  if (!readPieces(src, image)) {
    zam_err("Bad binary PDB file %s: cut short.\n", path);
    return false;
  }
  for (int i = 0; i < image->nres; ++i) {
    const _pdb_residue& r = image->residues[i];
    if (r.first < 0 || r.last < r.first || r.last >= image->natoms) {
      zam_err("Bad binary PDB file %s: residue %d claims atoms %lld to %lld of %d.\n", path, i + 1,
              r.first + 1LL, r.last + 1LL, image->natoms);
      return false;
    }
  }
  return true;
}

// A new image of the file path, named name (null: the file's root name).
_pdb_image* newImage(const char* path, const char* name) {
  _pdb_image* image = getRecords<_pdb_image>(1);
  image->path = kdupS(path);
  if (name) {
    image->name = kdupS(name);
  } else {
    char base[kPathBytes], root[kPathBytes];
    zam_basename(path, base);
    image->name = kdupS(zam_rootname(base, root));
  }
  return image;
}

// Reads header and body from src into image; size is the file's size, or
// -1 for a compressed stream (its remaining bytes are then copied, up to
// what the counts need and one more). False after a report naming opened.
bool readImage(Source& src, _pdb_image* image, const char* opened, int64_t size) {
  Header h{};
  bool ok = src.read(&h, sizeof h) && src.read(&image->tf, sizeof image->tf);
  if (!ok) {
    zam_err("Bad binary PDB file %s: shorter than its %" PRId64 "-byte header.\n", opened, kFixedBytes);
  } else if (h.nmodels < 0 || h.nchains < 0 || h.natoms < 0 || h.nres < 0 || h.nbb < 0 || h.nmc < 0 ||
             h.nsc < 0 || h.nsmtry < 0 || h.nbiomt < 0 || h.nhetatms < 0) {
    zam_err("Bad binary PDB file %s: negative count in its header.\n", opened);
    ok = false;
  }
  if (ok) {
    int64_t want = zam_sizeBinaryPdb(h.natoms, h.nres, h.nsmtry, h.nbiomt, h.nhetatms);
    int64_t have = size < 0 ? kFixedBytes + src.slurp(want - kFixedBytes) : size;
    if (have != want) {
      zam_err("Bad binary PDB file %s: %" PRId64 " bytes where its counts need %" PRId64 ".\n", opened,
              have, want);
      ok = false;
    }
  }
  if (!ok) return false;
  image->nmodels = h.nmodels;
  image->nchains = h.nchains;
  image->natoms = h.natoms;
  image->nres = h.nres;
  image->nbb = h.nbb;
  image->nmc = h.nmc;
  image->nsc = h.nsc;
  image->nsmtry = h.nsmtry;
  image->nbiomt = h.nbiomt;
  image->nhetatms = h.nhetatms;
  return readBody(src, image, opened);
}

}  // namespace

int64_t zam_sizeBinaryPdb(int natoms, int nres, int nsmtry, int nbiomt, int nhetatms) {
  if (natoms < 0 || nres < 0 || nsmtry < 0 || nbiomt < 0 || nhetatms < 0) return -1;
  return kFixedBytes + static_cast<int64_t>(sizeof(_pdb_atom)) * (static_cast<int64_t>(natoms) + nhetatms) +
         static_cast<int64_t>(sizeof(_pdb_residue)) * nres +
         static_cast<int64_t>(sizeof(Matrix3D)) * (static_cast<int64_t>(nsmtry) + nbiomt);
}

int zam_writeBinaryPdbFile(_zam_file* f, const _pdb_image* image, const char* label) {
  if (!f || !image) return 0;
  if (!consistent(image)) {
    zam_err("Cannot write binary PDB file %s: the image's counts do not match its records.\n",
            label ? label : "");
    return 0;
  }
  Header h{image->nmodels, image->nchains, image->natoms, image->nres,     image->nbb, image->nmc,
           image->nsc,     image->nsmtry,  image->nbiomt, image->nhetatms, 0,          0};
  const bool ok =
      writeAll(f, &h, sizeof h) && writeAll(f, &image->tf, sizeof image->tf) &&
      writeAll(f, image->atoms, image->natoms * static_cast<int64_t>(sizeof(_pdb_atom))) &&
      writeAll(f, image->residues, image->nres * static_cast<int64_t>(sizeof(_pdb_residue))) &&
      writeAll(f, image->smtry, image->nsmtry * static_cast<int64_t>(sizeof(Matrix3D))) &&
      writeAll(f, image->biomt, image->nbiomt * static_cast<int64_t>(sizeof(Matrix3D))) &&
      writeAll(f, image->hetatms, image->nhetatms * static_cast<int64_t>(sizeof(_pdb_atom)));
  return ok ? 1 : 0;
}

int zam_writeBinaryPdb(const char* name, const _pdb_image* image) {
  if (!name || !image) return 0;
  char target[kPathBytes];
  zam_filename(name, "kpdb", target);
  if (!target[0]) return 0;
  _zam_whole* whole = zam_openWhole(target, "wb");
  if (!whole) return 0;
  if (zam_debug > 2) zam_msg("Writing PDB: %s\n", target);
  const bool ok = zam_writeBinaryPdbFile(whole->fp, image, target) == 1;
  // A full disk may only show when the stream is flushed at close.
  return zam_closeWhole(whole, ok);
}

_pdb_image* zam_readBinaryPdb(const char* file, const char* name) {
  if (!file) return nullptr;
  char opened[kPathBytes];
  if (zam_filesize(file) >= 0)
    snprintf(opened, sizeof opened, "%s", file);
  else
    zam_filename(file, "kpdb", opened);
  _zam_file* f = opened[0] ? zam_fopen(opened, "rb") : nullptr;
  if (!f) return nullptr;
  if (zam_debug > 2) zam_msg("Reading PDB: %s\n", opened);

  _pdb_image* image = newImage(opened, name);
  Source src;
  src.file = f;
  const bool ok = readImage(src, image, opened, isCodec(f) ? -1 : zam_filesize(opened));
  zam_fclose(f);
  if (!ok) {
    zam_freePdb(image);
    return nullptr;
  }
  return image;
}

_pdb_image* zam_readBinaryPdbBytes(const char* bytes, int64_t n, const char* path, const char* name) {
  if (!bytes || n < 0 || !path) return nullptr;
  _pdb_image* image = newImage(path, name);
  Source src;
  src.buffered = true;
  src.data.assign(bytes, bytes + n);
  if (!readImage(src, image, path, n)) {
    zam_freePdb(image);
    return nullptr;
  }
  return image;
}
