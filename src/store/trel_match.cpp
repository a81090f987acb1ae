#include "store/trel_match.h"

#include <algorithm>
#include <vector>

#include "geometry/zam_qcp.h"
#include "matching/trel_matcher.h"
#include "matching/zam_dock_spec.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_vm.h"
#include "store/trel_cache.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"

namespace {

constexpr int kClusterWindow = 200;

// The class's arrays of an object, read from their files when not held.
bool classArrays(_trel_thing* t, int pot_class, int order) {
  if (!t->tau[pot_class]) trel_readThingTau(t, pot_class, order);
  if (!t->sig[pot_class]) trel_readThingSig(t, pot_class, order);
  return t->tau[pot_class] && t->sig[pot_class];
}

}  // namespace

int trel_matchThing(_trel_thing* query, _trel_thing* target, int pot_class, _docking_spec* spec, int n_show,
                    _docking* docking) {
  if (pot_class < 0 || pot_class >= TREL_POT_CLASSES || !spec) {
    zam_free_solutions(docking);
    return 0;
  }
  const int order = query->tag && query->tag->order > 0 ? query->tag->order : spec->order;
  for (_trel_thing* t : {query, target}) {
    if (classArrays(t, pot_class, order)) continue;
    zam_wrn("No SPF coefficients of class %d for %s: it cannot be superposed by SPF.\n", pot_class, t->name);
    zam_free_solutions(docking);
    return 0;
  }
  trel_matcher(query->name, target->name, query->tau[pot_class], query->sig[pot_class], target->tau[pot_class],
               target->sig[pot_class], pot_class, n_show, spec, docking);
  return 1;
}

void trel_clusterThing(_trel_thing* target, int flag, _docking* docking, float threshold) {
  (void)flag;
  const int n = docking->n_kept;
  if (n <= 1) return;
  const double t0 = zam_get_time();
  _pdb_image* image = trel_imageThing(target);
  Point3D* ca = image ? zam_ptsPdb(image, 2) : nullptr;
  // Residues without a C-alpha atom give no point: only the points there are count.
  const int m = ca ? std::min<int64_t>(image->nres, zam_vm_get_size(ca) / (int64_t)sizeof(Point3D)) : 0;
  if (m < 4) {
    zam_wrn("Target %s has less than 4 CA atoms. Cannot cluster solutions.\n", target->name);
    kfree(ca);
    return;
  }
  std::vector<Point3D> moved((size_t)n * m);
  for (int i = 0; i < n; i++) {
    const Matrix3D M = trel_pdbMatrix(&docking->solutions[i]);
    for (int k = 0; k < m; k++) moved[(size_t)i * m + k] = pt_tfpt(M, ca[k]);
  }
  int* cluster = docking->cluster;
  std::fill(cluster, cluster + n, -1);
  int k = 0;
  for (int i = 0; i < n; i++) {
    if (cluster[i] >= 0) continue;
    cluster[i] = k;
    docking->index[k] = i;
    for (int j = i + 1; j < std::min(i + kClusterWindow, n); j++)
      if (cluster[j] < 0 && rms_pts(m, &moved[(size_t)i * m], &moved[(size_t)j * m]) < threshold) cluster[j] = k;
    k++;
  }
  docking->n_clusters = k;
  if (zam_debug > 0)
    zam_log("Clustering found %d clusters from %d docking solutions in %.2lf seconds.\n", k, n, zam_get_time() - t0);
  kfree(ca);
}
