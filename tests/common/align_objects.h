// Structure objects opened for in-process searches, closed together, and a
// bit-exact fingerprint of an alignment: what the search copies out of it
// (counts, scores, transform) and its residue pairs.
#pragma once

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "align/trel_align.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"

namespace testutil {

struct Objects {
  std::vector<_trel_thing*> things;
  Objects() = default;
  Objects(const Objects&) = delete;
  Objects& operator=(const Objects&) = delete;
  ~Objects() {
    for (_trel_thing* t : things) trel_closeThing(nullptr, t);
  }
  // Opens path as a trace object without a cache and without messages.
  _trel_thing* open(const std::string& path) {
    _trel_thing_opts opts;
    opts.do_write = 0;
    _trel_thing* t = trel_openThingFile(path.c_str(), "./", 0, 0, &opts, nullptr, 1, 0);
    things.push_back(t);
    return t;
  }
};

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
