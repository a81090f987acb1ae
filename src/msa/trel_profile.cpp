// Profile records: making and freeing them, and the per-row views of their
// structure objects that the alignment engine reads.
#include "msa/trel_msa.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "align/trel_trace.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

// Fills row r from object t: name, object, image, trace records and CA points
// (one per residue record, so that points, trace records and residue records
// share their index). 0 after a message when the object is unusable.
int fill_row(_trel_profile* p, int r, _trel_thing* t) {
  _pdb_image* image = t ? trel_imageThing(t) : nullptr;
  if (!image) {
    zam_err("Structure %s has no structure image for the multiple alignment\n", t ? t->name : "(none)");
    return 0;
  }
  if (!t->trace.seg || t->trace.n != image->nres || image->nres < 1) {
    zam_err("Structure %s has no backbone trace of its %d residues for the multiple alignment\n",
            t->name, image->nres);
    return 0;
  }
  std::snprintf(p->names[r], TREL_PROFILE_NAME, "%s", t->name ? t->name : "");
  p->things[r] = t;
  p->images[r] = image;
  p->segs[r] = t->trace.seg;
  p->lengths[r] = image->nres;
  kfree(p->points[r]);
  p->points[r] = (Point3D*)kget1B((int64_t)image->nres * (int64_t)sizeof(Point3D));
  for (int k = 0; k < image->nres; k++) p->points[r][k] = zam_ptPdbResidue(image, k);
  return 1;
}

}  // namespace

_trel_profile* trel_initProfile(const char* name, _trel_thing* pivot, _trel_thing** members, int n,
                                int n_extra) {
  if (n < 0 || n_extra < 0) return nullptr;
  auto* p = (_trel_profile*)kget1B_0(sizeof(_trel_profile));
  p->n_rows = n + 1 + n_extra;
  p->n_struct = n;
  p->name = kdupS(name ? name : "");
  p->names = (char(*)[TREL_PROFILE_NAME])kget1C_0((int64_t)p->n_rows * TREL_PROFILE_NAME);
  p->things = (_trel_thing**)kget1B_0((int64_t)p->n_rows * (int64_t)sizeof(_trel_thing*));
  p->points = (Point3D**)kget1B_0((int64_t)p->n_rows * (int64_t)sizeof(Point3D*));
  p->images = (_pdb_image**)kget1B_0((int64_t)p->n_rows * (int64_t)sizeof(_pdb_image*));
  p->segs = (const _trel_seg**)kget1B_0((int64_t)p->n_rows * (int64_t)sizeof(_trel_seg*));
  p->lengths = kget1I_0(p->n_rows);
  for (int r = 0; r <= n; r++) {
    if (!fill_row(p, r, r == 0 ? pivot : members[r - 1])) {
      trel_freeProfile(p);
      return nullptr;
    }
    const int len = p->lengths[r];
    p->n_residues += len;
    p->min_length = r == 0 ? len : std::min(p->min_length, len);
    p->max_length = std::max(p->max_length, len);
  }
  p->core_range = kget1I_0(2 * (int64_t)p->max_length);
  p->core_depth = kget1I_0(p->max_length);
  p->core_size = kget1I_0(p->n_rows);
  return p;
}

void trel_freeProfile(_trel_profile* p) {
  if (!p) return;
  if (p->points)
    for (int r = 0; r < p->n_rows; r++) kfree(p->points[r]);
  kfree(p->points);
  kfree(p->name);
  kfree(p->names);
  kfree(p->things);
  kfree(p->images);
  kfree((void*)p->segs);
  kfree(p->lengths);
  kfree(p->cons_sse);
  kfree(p->cons_aa);
  kfree(p->core_range);
  kfree(p->core_depth);
  kfree(p->core_size);
  kfree(p->col_count);
  kfree(p->col_centre);
  kfree(p->induced);
  kfree(p->table);
  kfree(p);
}
