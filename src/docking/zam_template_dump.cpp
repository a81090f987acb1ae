#include "docking/zam_template_dump.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "docking/zam_mol.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_whole.h"
#include "structure/zam_template_data.h"

namespace {

constexpr const char* kDumpFile = "template.dmp";

// Measures template t on the first residue of its name in the current
// molecule that holds all of its atoms; false when none does.
bool measure(_zam_h_template* t) {
  const char* names[5] = {t->hydrogen, t->parent[0] == ' ' ? t->parent + 1 : t->parent, t->ref[0], t->ref[1],
                          t->ref[2]};
  for (int c = 1;; c++) {
    int residues = 0;
    char chain[4];
    mol_chain(c, chain, &residues, nullptr, nullptr);
    if (!chain[0]) return false;
    for (int r = 1; r <= residues; r++) {
      char name[8] = "", label[8] = "";
      int first = -1, last = -1;
      mol_resnum_info(c, r, name, label, &first, &last);
      if (std::strcmp(name, t->residue) != 0) continue;
      Point3D p[5];
      bool all = true;
      for (int a = 0; a < 5 && all; a++) {
        const int i = mol_match_atom(names[a], first, last);
        all = i >= 0;
        if (all) mol_atom_basept(&p[a], i);
      }
      if (!all) continue;
      zam_measure_template(p[2], p[3], p[4], p[1], p[0], t->offset, &t->distance);
      return true;
    }
  }
}

}  // namespace

int zam_dump_template() {
  zam_msg("Writing hydrogen template file: %s\n", kDumpFile);
  _zam_whole* w = zam_openWhole(kDumpFile, "w");
  int measured = 0;
  if (w) {
    const int n = zam_template_count();
    for (int k = 0; k < n; k++) {
      _zam_h_template t;
      if (!zam_template_entry(k, &t)) continue;
      measured += measure(&t);
      const std::string parent = t.parent[0] == ' ' ? std::string("x") + (t.parent + 1) : std::string(t.parent);
      zam_fprintf(w->fp, "%-5s%-5s%-5s%-5s%-5s%-5s %5.3f %5.3f %5.3f %.3f\n", t.residue, t.hydrogen, parent.c_str(),
                  t.ref[0], t.ref[1], t.ref[2], double(t.offset[0]), double(t.offset[1]), double(t.offset[2]),
                  double(t.distance));
    }
    if (zam_closeWhole(w, true)) return measured;
  }
  zam_err("Failed to write hydrogen template file: %s.\n** [%s]\n", kDumpFile, std::strerror(errno));
  return -1;
}
