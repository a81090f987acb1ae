// Docking molecules from structure images, their release and model placement.
#include "docking/zam_molecule.h"

#include <cstdio>

#include "docking/zam_mol.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "structure/zam_pdb.h"

namespace {

void freeArray(double*& a) {
  kfree(a);
  a = nullptr;
}

bool modelIn(const _molecule* mol, int model) { return mol && mol->loaded && model >= 0 && model <= mol->n_models; }

template <class F>
void forModels(_molecule* mol, int model, F f) {
  if (!mol || !mol->models) return;
  for (int m = 0; m <= mol->n_models; m++)
    if (model == -1 || model == m) f(mol->models[m]);
}

void setModel(_molecule_model& e, int id, const char* label, int first, int last) {
  e.id = id;
  std::snprintf(e.label, sizeof e.label, "%s", label);
  for (Matrix3D& p : e.place) p = tf_identity();
  e.first_atom = first;
  e.last_atom = last;
  Point3D sum = pt_zero();
  for (int i = first; i <= last; i++) sum = v_add(sum, mol_atom_basept(nullptr, i));
  e.centre = last >= first ? v_lambdav(1.0 / (last - first + 1), sum) : pt_zero();
}

}  // namespace

int zam_load_pdb_molecule(_molecule* mol, int slot, const _pdb_image* image, const char* name) {
  if (!mol) return 0;
  *mol = _molecule{};
  const char* what = image && image->name ? image->name : (name ? name : "");
  if (slot < 0 || slot >= ZAM_MOL_SLOTS || !image || image->natoms < 1) {
    zam_err("Cannot make a docking molecule of %s: %s.\n", what,
            slot < 0 || slot >= ZAM_MOL_SLOTS ? "no such atom store slot" : "it has no atoms");
    return 0;
  }
  const int n = mol_load_pdb(slot, image);
  mol_select(slot);
  mol_transform(tf_identity());
  int runs = 1;
  for (int i = 1; i < n; i++) runs += image->atoms[i].model != image->atoms[i - 1].model;
  mol->slot = slot;
  mol->name = kdupS(name ? name : what);
  mol->n_models = runs > 1 ? runs : 0;
  mol->model_kind = runs > 1 ? 1 : 0;
  mol->models = static_cast<_molecule_model*>(kget1B_0(static_cast<int64_t>(sizeof(_molecule_model)) * (mol->n_models + 1)));
  setModel(mol->models[0], 1, "ALL", 0, n - 1);
  for (int m = 1, first = 0; m <= mol->n_models; m++) {
    int last = first;
    while (last + 1 < n && image->atoms[last + 1].model == image->atoms[first].model) last++;
    char label[8];
    std::snprintf(label, sizeof label, "%d", image->atoms[first].model);
    setModel(mol->models[m], image->atoms[first].model, label, first, last);
    first = last + 1;
  }
  mol->gto_order[0] = mol->gto_order[1] = mol->eto_order = -1;
  mol->apolar_probe = 1.5;
  mol->polar_probe = 1.4;
  mol->loaded = 1;
  return 1;
}

void zam_free_molecule(_molecule* mol) {
  if (!mol) return;
  delete_molecule_gto(mol, -1);
  delete_molecule_eto(mol, -1);
  if (mol->loaded) mol_clear(mol->slot);
  kfree(mol->models);
  kfree(mol->name);
  zam_mesh_surface_free(&mol->surface);
  *mol = _molecule{};
}

void delete_molecule_gto(_molecule* mol, int model) {
  if (!mol) return;
  forModels(mol, model, [](_molecule_model& e) {
    for (double** a : {&e.skin, &e.shape, &e.energies, &e.densities, &e.dars[0], &e.dars[1], &e.grid[0], &e.grid[1],
                       &e.piper[0], &e.piper[1], &e.kb})
      freeArray(*a);
  });
  mol->gto_order[0] = mol->gto_order[1] = -1;
}

void delete_molecule_eto(_molecule* mol, int model) {
  if (!mol) return;
  forModels(mol, model, [](_molecule_model& e) {
    freeArray(e.potential);
    freeArray(e.charge);
  });
  mol->eto_order = -1;
}

int zam_mesh_surface_alloc(_mesh_surface* s, int vertices, int triangles) {
  if (!s || vertices < 0 || triangles < 0) return 0;
  zam_mesh_surface_free(s);
  s->n_vertices = vertices;
  s->n_triangles = triangles;
  s->vertices = static_cast<Point3D*>(kget1B_0(static_cast<int64_t>(sizeof(Point3D)) * (vertices > 0 ? vertices : 1)));
  s->triangles = kget1I_0(3 * static_cast<int64_t>(triangles > 0 ? triangles : 1));
  s->flags = kget1J_0(triangles > 0 ? triangles : 1);
  return 1;
}

void zam_mesh_surface_free(_mesh_surface* s) {
  if (!s) return;
  kfree(s->vertices);
  kfree(s->triangles);
  kfree(s->flags);
  kfree(s->work1);
  kfree(s->work2);
  *s = _mesh_surface{};
}

void zam_model_atoms(const _molecule* mol, int model, int* first, int* last) {
  const bool in = modelIn(mol, model);
  if (first) *first = in ? mol->models[model].first_atom : -1;
  if (last) *last = in ? mol->models[model].last_atom : -1;
}

Matrix3D zam_model_to_origin(const _molecule* mol, int model) {
  if (!modelIn(mol, model)) return tf_identity();
  const _molecule_model& e = mol->models[model];
  return tf_tftf(tf_v(v_neg(e.centre)), e.place[0]);
}

Matrix3D zam_model_frame(const _molecule* mol, int model) {
  if (!mol) return mol_get_transform();
  mol_select(mol->slot);
  const Matrix3D before = mol_get_transform();
  const Matrix3D own = modelIn(mol, model) ? mol->models[model].place[3] : tf_identity();
  mol_transform(tf_tftf(tf_tftf(before, zam_model_to_origin(mol, model)), own));
  return before;
}
