// Structure objects opened for in-process searches and closed together, with
// the alignments' fingerprints.
#pragma once

#include <string>
#include <vector>

#include "common/align_fingerprint.h"
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

}  // namespace testutil
