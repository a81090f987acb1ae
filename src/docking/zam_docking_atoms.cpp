// Docking atoms of a model and their PDB-style text.
#include "docking/zam_docking_atoms.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "docking/zam_mol.h"
#include "docking/zam_molecule.h"
#include "runtime/kids.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_whole.h"

_docking_atoms* zam_docking_atoms_get(_molecule* mol, int model, double apolar, double polar) {
  auto* d = static_cast<_docking_atoms*>(kget1B_0(sizeof(_docking_atoms)));
  const Matrix3D before = zam_model_frame(mol, model);
  int first, last;
  zam_model_atoms(mol, model, &first, &last);
  const int room = last >= first ? last - first + 1 : 1;
  d->positions = static_cast<Point3D*>(kget1B_0(static_cast<int64_t>(sizeof(Point3D)) * room));
  d->radii = kget1F_0(room);
  d->expanded = kget1F_0(room);
  double most = 0.0;
  for (int i = first; i <= last && first >= 0; i++) {
    const char alt = mol_atom_altatm(i);
    const float r = mol_atom_radius(i);
    if ((alt != ' ' && alt != 'A') || !mol_atom_access(i) || !(r > 0.0f)) continue;
    const Point3D p = mol_atom_pt(i);
    const double grown = r + (mol_is_apolar(i) ? apolar : polar);
    d->positions[d->count] = p;
    d->radii[d->count] = r;
    d->expanded[d->count] = static_cast<float>(grown);
    d->count++;
    const double reach = mag_vector(v_pt(p)) + std::max(static_cast<double>(r), grown);
    if (reach > most) most = reach;
  }
  mol_transform(before);
  d->extent = static_cast<float>(most + 3.0);
  return d;
}

void zam_docking_atoms_free(_docking_atoms* atoms) {
  if (!atoms) return;
  kfree(atoms->positions);
  kfree(atoms->radii);
  kfree(atoms->expanded);
  kfree(atoms);
}

void write_docking_atoms(_zam_file* file, _molecule* mol, int model) {
  const Matrix3D before = zam_model_frame(mol, model);
  int first, last;
  zam_model_atoms(mol, model, &first, &last);
  int s = 0;
  for (int c = 1;; c++) {
    char chain[4];
    int residues = 0;
    mol_chain(c, chain, &residues, nullptr, nullptr);
    if (residues <= 0) break;
    if (!std::strcmp(chain, "_")) std::strcpy(chain, " ");
    char slot[8] = "TER";
    for (int r = 1; r <= residues; r++) {
      char name[8], label[8] = "";
      int rf, rl;
      mol_resnum_info(c, r, name, label, &rf, &rl);
      if (rf < first || rl > last || rf < 0) continue;
      // A trailing letter of the number text is the insertion code.
      char number[8], icode = ' ';
      std::strcpy(number, label);
      const size_t len = std::strlen(number);
      if (len > 0 && std::isalpha(static_cast<unsigned char>(number[len - 1]))) {
        icode = number[len - 1];
        number[len - 1] = '\0';
      }
      if (!std::strcmp(name, "ter")) {
        zam_fprintf(file, "TER   %5d %-4s%1c%-4s%-1s%4s%1c   \n", ++s, " ", ' ', slot, chain, number, icode);
        continue;
      }
      std::strcpy(slot, name);
      for (int i = rf; i <= rl; i++) {
        if (mol_is_h(i)) continue;
        const Point3D p = mol_atom_pt(i);
        ++s;
        if (s > 99999)
          zam_fprintf(file, "ATOM%7d %-4s%1c%-4s%-1s%4s%1c   %8.3f%8.3f%8.3f%6.2f%6.2f\n", s, mol_atom_ename(i),
                      mol_atom_altatm(i), slot, chain, number, icode, p.x, p.y, p.z, mol_atom_occupancy(i),
                      mol_atom_temperature(i));
        else
          zam_fprintf(file, "%-6s%5d %-4s%1c%-4s%-1s%4s%1c   %8.3f%8.3f%8.3f%6.2f%6.2f\n",
                      mol_atom_hetatm(i) == 'A' ? "ATOM  " : "HETATM", s, mol_atom_ename(i), mol_atom_altatm(i), slot,
                      chain, number, icode, p.x, p.y, p.z, mol_atom_occupancy(i), mol_atom_temperature(i));
      }
    }
  }
  mol_transform(before);
}

int save_docking_atoms(const char* path, _molecule* mol, int model) {
  _zam_whole* w = zam_openWhole(path ? path : "", "w");
  if (w) {
    write_docking_atoms(w->fp, mol, model);
    if (zam_closeWhole(w, true)) return 1;
  }
  zam_err("Failed to write PDB file: %s.\n** [%s]\n", path ? path : "", std::strerror(errno));
  return 0;
}
