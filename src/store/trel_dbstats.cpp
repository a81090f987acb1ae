// Database statistics: per-member records and the pooled report.
#include "store/trel_dbstats.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "geometry/zam_frame.h"
#include "geometry/zam_geom.h"
#include "runtime/zam_log.h"
#include "store/trel_pot.h"
#include "store/trel_thing.h"
#include "structure/zam_pdb.h"
#include "structure/zam_pdb_pep.h"

namespace {

const char kRule[] = "=============================================================================\n";

// Sums of one component over the members.
struct Pool {
  Point3D sum_mean{0, 0, 0};
  Point3D sum_var{0, 0, 0};
  double weight = 0;   // W
  double freedom = 0;  // D

  void add(int m, Point3D mean, Point3D sd) {
    sum_mean = pt_add(sum_mean, pt_scale(mean, m));
    sum_var.x += (m - 1) * sd.x * sd.x;
    sum_var.y += (m - 1) * sd.y * sd.y;
    sum_var.z += (m - 1) * sd.z * sd.z;
  }
  Point3D mean() const { return weight > 0 ? pt_scale(sum_mean, 1.0 / weight) : sum_mean; }
  Point3D sd() const {
    if (freedom <= 0) return sum_var;
    return Point3D{std::sqrt(sum_var.x / freedom), std::sqrt(sum_var.y / freedom),
                   std::sqrt(sum_var.z / freedom)};
  }
};

// A NaN mean or spread is reported and counted as zero, with its full weight.
Point3D checked(Point3D p, const char* what, const char* group, int component, const char* name) {
  if (!isnan_pt(p)) return p;
  zam_wrn("Bad %s_%s for component %d of structure %s\n", what, group, component, name ? name : "");
  return Point3D{0, 0, 0};
}

void addSlots(Pool* pools, const char* group, const int* count, const Point3D* mean,
              const Point3D* sd, const char* name) {
  for (int s = 0; s < 8; s++) {
    const int m = count[s];
    if (m <= 0) continue;
    pools[s].add(m, checked(mean[s], "mu", group, s, name), checked(sd[s], "sigma", group, s, name));
    pools[s].weight += m;
    pools[s].freedom += m - 1;
  }
}

void printLine(const char* format, const Pool& pool) {
  const Point3D m = pool.mean();
  const Point3D s = pool.sd();
  zam_msg(format, m.x, m.y, m.z, s.x, s.y, s.z, mag_vector(s));
}

void printSlots(char letter, const Pool* pools) {
  for (int s = 0; s < 8; s++) {
    const Point3D m = pools[s].mean();
    const Point3D d = pools[s].sd();
    zam_msg("%c%2.2d = [%7.3lf, %7.3lf, %7.3lf], SD = [%7.3lf, %7.3lf, %7.3lf] = %7.3lf\n", letter,
            s + 1, m.x, m.y, m.z, d.x, d.y, d.z, mag_vector(d));
  }
  zam_msg("\n");
}

}  // namespace

void trel_memberStats(const _trel_thing* thing, _trel_member_stats* out) {
  std::memset(out, 0, sizeof(*out));
  if (!thing) return;
  out->name = thing->name;
  if (thing->tag) {
    out->radius = thing->tag->radius;
    out->n_residues = thing->tag->n_residues;
  }
  // A trace built without statistics counts nothing.
  if (const _trel_trace_stats* tr = thing->trace.stats) {
    for (int s = 0; s < 8; s++) {
      out->count[s] = tr->count[s];
      out->t_mean[s] = tr->t_mean[s];
      out->t_sd[s] = tr->t_sd[s];
      out->p_mean[s] = tr->p_mean[s];
      out->p_sd[s] = tr->p_sd[s];
      out->v_mean[s] = tr->v_mean[s];
      out->v_sd[s] = tr->v_sd[s];
    }
  }

  // Main-chain atoms in each complete residue's own frame, the frame the
  // trace builder uses (CA at the origin, C on -z, N in the x-z plane).
  const _pdb_image* image = thing->image;
  if (!image || image->nres < 1) return;
  _pdb_peptide* pep = zam_makePdbPep(image);
  if (!pep) return;
  std::vector<Point3D> pts[5];
  for (int i = 0; i < image->nres; i++) {
    if (pep->sse[i] == 'D') continue;
    const Matrix3D f = tf_origin_negz_posx(pep->ca[i], pep->c[i], pep->n[i]);
    pts[0].push_back(pt_tfpt(f, Point3D{0, 0, 0}));
    pts[1].push_back(pt_tfpt(f, pep->n[i]));
    pts[2].push_back(pt_tfpt(f, pep->c[i]));
    pts[3].push_back(pt_tfpt(f, pep->o[i]));
    if (pep->code[i] != 'G' && square_vector(pep->cb[i]) > 0) pts[4].push_back(pt_tfpt(f, pep->cb[i]));
  }
  zam_freePdbPep(pep);
  out->mc_count = static_cast<int>(pts[0].size());
  for (int k = 0; k < 5; k++) {
    const int m = static_cast<int>(pts[k].size());
    out->mc_mean[k] = pt_average(m, pts[k].data());
    out->mc_sd[k] = pt_stddev(m, pts[k].data(), out->mc_mean[k]);
  }
}

void trel_doStats(int n, const _trel_member_stats* members) {
  if (n < 0) n = 0;
  zam_msg("\n");
  zam_msg(kRule);
  zam_msg("\n");

  int bins[5] = {0, 0, 0, 0, 0};
  for (int i = 0; i < n; i++) bins[trel_potRadius(members[i].radius)]++;
  zam_msg("Binned radius distribution (%d samples):\n", n);
  zam_msg("\n");
  zam_msg("Radius  < 20: %d\n", bins[0]);
  zam_msg("Radius 20-30: %d\n", bins[1]);
  zam_msg("Radius 30-40: %d\n", bins[2]);
  zam_msg("Radius 40-50: %d\n", bins[3]);
  zam_msg("Radius  > 50: %d\n", bins[4]);
  zam_msg("\n");

  Pool mc[5], ca[8], vp[8], va[8];
  double mc_weight = 0, mc_freedom = 0;
  for (int i = 0; i < n; i++) {
    const _trel_member_stats& s = members[i];
    const int m = s.mc_count;
    if (s.n_residues > 0 && m > 0) {
      for (int k = 0; k < 5; k++)
        mc[k].add(m, checked(s.mc_mean[k], "mu", "mc", k, s.name),
                  checked(s.mc_sd[k], "sigma", "mc", k, s.name));
      mc_weight += m;
      mc_freedom += m - 1;
    }
    addSlots(ca, "ca", s.count, s.t_mean, s.t_sd, s.name);
    addSlots(vp, "vp", s.count, s.p_mean, s.p_sd, s.name);
    addSlots(va, "va", s.count, s.v_mean, s.v_sd, s.name);
  }
  for (Pool& p : mc) {
    p.weight = mc_weight;
    p.freedom = mc_freedom;
  }

  zam_msg("Pooled mean coordinates and SDs (%d samples):\n", n);
  zam_msg("\n");
  printLine("COM = [%7.3lf, %7.3lf, %7.3lf], SD = [%7.3lf, %7.3lf, %7.3lf] = %7.3lf\n", mc[0]);
  zam_msg("\n");
  printLine("N   = [%7.3lf, %7.3lf, %7.3lf], SD = [%7.3lf, %7.3lf, %7.3lf] = %7.3lf\n", mc[1]);
  printLine("C   = [%7.3lf, %7.3lf, %7.3lf], SD = [%7.3lf, %7.3lf, %7.3lf] = %7.3lf\n", mc[2]);
  printLine("O   = [%7.3lf, %7.3lf, %7.3lf], SD = [%7.3lf, %7.3lf, %7.3lf] = %7.3lf \n", mc[3]);
  printLine("CB  = [%7.3lf, %7.3lf, %7.3lf], SD = [%7.3lf, %7.3lf, %7.3lf] = %7.3lf \n", mc[4]);
  zam_msg("\n");
  printSlots('T', ca);
  printSlots('P', vp);
  printSlots('V', va);
  zam_msg(kRule);
  zam_msg("\n");
}
