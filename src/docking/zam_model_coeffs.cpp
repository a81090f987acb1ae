// Coefficient routines of docking models.
#include "docking/zam_model_coeffs.h"

#include "harmonics/zam_skin.h"

namespace {

_molecule_model* entry(_molecule* mol, int model) {
  return mol && mol->loaded && mol->models && model >= 0 && model <= mol->n_models ? &mol->models[model] : nullptr;
}

}  // namespace

void zam_model_integrate(_molecule* first, int m1, _molecule* second, int m2, int N, int K, int n, double h,
                         Point3D origin, const unsigned char* grid, const double* values1, const double* values2) {
  _molecule_model* a = entry(first, m1);
  _molecule_model* b = entry(second, m2);
  zam_grid_integrate(a ? a->skin : nullptr, a ? a->shape : nullptr, a ? a->energies : nullptr, b ? b->skin : nullptr,
                     b ? b->shape : nullptr, b ? b->energies : nullptr, N, K, n, h, origin, grid, values1, values2);
}
