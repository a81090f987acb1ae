// Coefficient routines of docking models.
#include "docking/zam_model_coeffs.h"

#include "docking/zam_coeff_sets.h"
#include "harmonics/zam_skin.h"

int zam_model_integrate(_molecule* first, int m1, _molecule* second, int m2, int N, int K, int n, double h,
                         Point3D origin, const unsigned char* grid, const double* values1, const double* values2) {
  _molecule_model* a = zam_model_entry(first, m1);
  _molecule_model* b = zam_model_entry(second, m2);
  // The typed blocks go only into grid energies laid out for K blocks of order N.
  double* e1 = zam_pe_holds(a, N, K) ? a->energies : nullptr;
  double* e2 = zam_pe_holds(b, N, K) ? b->energies : nullptr;
  return zam_grid_integrate(a ? a->skin : nullptr, a ? a->shape : nullptr, e1, b ? b->skin : nullptr,
                            b ? b->shape : nullptr, e2, N, K, n, h, origin, grid, values1, values2);
}
