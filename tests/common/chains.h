// One protein chain ready for alignment: its structure image, its trace and
// its peptide arrays, built together and freed together. Used by the tests
// and benchmarks that align real structures.
#pragma once

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

}  // namespace testutil
