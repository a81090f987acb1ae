// Structure objects for tests, released together when their list goes:
// opened from structure files as for an in-process search, or made by hand
// without files (a name and a valid tag with a classification code, a
// length and, when asked, a trace of one-letter residues). And a list of
// small structure files for the tests of opening lists.
#pragma once

#include <string>
#include <vector>

#include "common/test_util.h"
#include "runtime/kids.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"

namespace testutil {

struct Things {
  std::vector<_trel_thing*> list;
  Things() = default;
  Things(const Things&) = delete;
  Things& operator=(const Things&) = delete;
  ~Things() {
    for (_trel_thing* t : list) trel_closeThing(nullptr, t);
  }

  // Opens path as a trace object without a cache and without messages.
  _trel_thing* open(const std::string& path) {
    _trel_thing_opts opts;
    opts.do_write = 0;
    _trel_thing* t = trel_openThingFile(path.c_str(), "./", 0, 0, &opts, nullptr, 1, 0);
    list.push_back(t);
    return t;
  }

  // An object whose tag holds the code a.b.c.d and `length` residues.
  _trel_thing* add(const char* name, int a, int b, int c, int d, int length = 0) {
    _trel_thing* t = trel_createThing(name, "./");
    t->tag = static_cast<_trel_tag*>(kget1B_0(sizeof(_trel_tag)));
    t->tag->valid = 1;
    t->tag->n_residues = length;
    t->tag->code[0] = a;
    t->tag->code[1] = b;
    t->tag->code[2] = c;
    t->tag->code[3] = d;
    list.push_back(t);
    return t;
  }

  // An object of the code family.1.1.1 with, when seq is given, a trace of
  // coil residues of those letters (and the length of seq).
  _trel_thing* add_family(const char* name, int family, const char* seq = nullptr) {
    const int n = seq ? (int)std::string(seq).size() : 0;
    _trel_thing* t = add(name, family, 1, 1, 1, n);
    if (seq) {
      t->trace.n = n;
      t->trace.seg = static_cast<_trel_seg*>(kget1B_0((int64_t)n * (int64_t)sizeof(_trel_seg)));
      for (int k = 0; k < n; k++) {
        t->trace.seg[k].code = seq[k];
        t->trace.seg[k].sse = 'C';
      }
    }
    return t;
  }
};

// Nine zinc fingers and ubiquitin from the shared folder: small structures
// that every open reads without a problem.
inline std::vector<std::string> finger_sources() {
  std::vector<std::string> p;
  for (const char* n : {"1ard", "1bboN", "1paa", "1sp2", "1zaa1", "1zaa2", "1zfd", "1znf", "3znf"})
    p.push_back(shared_pdb(std::string("mustang-testdata/") + n + ".pdb"));
  p.push_back(shared_pdb("freesasa/1ubq.pdb"));
  return p;
}

}  // namespace testutil
