// A bit-exact fingerprint of an alignment: what the search copies out of it
// (counts, scores, transform) and its residue pairs.
#pragma once

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "align/trel_align.h"

namespace testutil {

inline std::string align_fingerprint(const _trel_align* a) {
  if (!a) return "null";
  std::ostringstream s;
  s << a->ncolumns << ' ' << a->naligned << ' ' << a->nmatched << ' ' << a->nidentity << ' '
    << a->nsegments;
  const float f[] = {a->gscore, a->mscore, a->tscore, a->rmsd_aligned, a->rmsd_matched};
  for (float v : f) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    s << ' ' << bits;
  }
  for (double v : a->tf.m) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    s << ' ' << bits;
  }
  for (int c = 0; c < a->ncolumns; c++) s << ' ' << a->columns[c].qres << ':' << a->columns[c].tres;
  return s.str();
}

}  // namespace testutil
