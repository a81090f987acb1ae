// One protein chain ready for alignment: its structure image, its trace and
// its peptide arrays, built together and freed together. Used by the tests
// and benchmarks that align real structures.
#pragma once

#include <cmath>
#include <random>
#include <string>

#include "align/trel_trace.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"
#include "test_util.h"

namespace testutil {

struct Chain {
  _pdb_image* image = nullptr;
  _trel_trace* trace = nullptr;
  _pdb_peptide* pep = nullptr;
  int n = 0;

  Chain() = default;
  // Takes im (null allowed) and builds its trace, with statistics when stats
  // is 1, and its peptide arrays.
  explicit Chain(_pdb_image* im, int stats = 1) { adopt(im, stats); }
  ~Chain() {
    zam_freePdbPep(pep);
    trel_freeTrace(trace);
    zam_freePdb(image);
  }
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

  // Takes im and builds its trace and peptide arrays; false when im is null
  // or the trace or peptide arrays do not cover every residue.
  bool adopt(_pdb_image* im, int stats) {
    image = im;
    if (!image) return false;
    n = image->nres;
    trace = trel_makeTrace();
    trel_loadTrace(image, Point3D{0, 0, 0}, stats, 0, trace);
    pep = zam_makePdbPep(image);
    return trace->n == n && pep;
  }

  // Reads a shared structure (rel below the shared PDB folder), moved by
  // *move when given, and traces it without statistics.
  bool load(const std::string& rel, const Matrix3D* move = nullptr) {
    _pdb_image* im = zam_readPdb(shared_pdb(rel).c_str(), nullptr);
    if (im && move) zam_movePdb(im, *move);
    return adopt(im, 0);
  }
};

// Peptide arrays of a made-up chain of n residues: CA atoms on a random walk
// of 3.8 A steps (irregular, so that every stretch superposes one way only)
// with residue letter 'A'. Free with zam_freePdbPep.
inline _pdb_peptide* walk_peptide(int n, unsigned seed) {
  _pdb_peptide* p = zam_allocPdbPep(n);
  std::mt19937 g(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Point3D at{0, 0, 0};
  for (int i = 0; i < n; i++) {
    Point3D d{u(g), u(g), u(g)};
    const double len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z) + 1e-9;
    at = {at.x + 3.8 * d.x / len, at.y + 3.8 * d.y / len, at.z + 3.8 * d.z / len};
    p->ca[i] = at;
    p->code[i] = 'A';
  }
  return p;
}

}  // namespace testutil
