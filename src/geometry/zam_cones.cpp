#include "geometry/zam_geom.h"

#include <cmath>

#include "geometry/zam_scalar.h"

int vv_cones(Point3D* v1, Point3D* v2, const double* cone1, const double* cone2) {
  const double a = cone1[0], b = cone2[0];
  const Point3D u{cone1[1], cone1[2], cone1[3]}, v{cone2[1], cone2[2], cone2[3]};
  const double theta = a_vv(u, v);
  if (theta > a + b) return 0;
  if (b - a > theta) return -1;
  if (a - b > theta) return -2;
  const double c = dot_product(u, v), ca = std::cos(a), cb = std::cos(b);
  double alpha = ca, beta = cb;
  const double den = c * c - 1.0;
  if (std::fabs(den) > 1e-6) {
    alpha = (c * cb - ca) / den;
    beta = (c * ca - cb) / den;
  }
  const Point3D w = v_unit(cross_product(u, v));
  const Point3D p = v_add(v_lambdav(alpha, u), v_lambdav(beta, v));
  double g1 = 0.0, g2 = 0.0;
  const int roots = quad_roots(&g1, &g2, dot_product(w, w), 2.0 * dot_product(p, w),
                               dot_product(p, p) - 1.0);
  if (roots < 1) return 0;
  *v1 = pt_ptv(p, v_lambdav(g1, w));
  if (roots > 1) *v2 = pt_ptv(p, v_lambdav(g2, w));
  return roots;
}
