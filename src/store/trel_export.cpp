// Object images and export: the superposed fresh target image, PDB export
// (never over an existing file), the text export of descriptor
// coefficients, the export of a PDB file with its coefficient arrays, and
// the quiet message callback.
#include "store/trel_export.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "align/trel_markup.h"
#include "harmonics/zam_ligand_move.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_inputs.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_whole.h"
#include "store/trel_cache.h"
#include "store/trel_folders.h"
#include "store/trel_pot.h"
#include "store/trel_thing.h"
#include "structure/zam_kpdb.h"
#include "structure/zam_pdb.h"

namespace {

// Where my_msg_cb passes warnings and errors on; null: standard output.
zam_logger_fn passed_on = nullptr;

}  // namespace

_pdb_image* trel_imageThingAlign(_trel_thing* target, _trel_align* align, _pdb_image*) {
  if (!target || !target->image) return nullptr;
  _pdb_image* current = target->image;
  if (!current->path) return current;  // built in memory: nothing to read again
  _pdb_image* copy = target->binary ? zam_readBinaryPdb(current->path, current->name)
                                    : zam_readPdb(current->path, current->name);
  if (!copy) return current;
  const Matrix3D fit = trel_fitAnchorTarget(align, current, copy);
  zam_movePdb(copy, fit);
  zam_freePdb(current);
  target->image = copy;
  return copy;
}

int trel_exportThingPdb(_trel_thing* thing, const char* file, int atom_selection, Matrix3D A,
                        Matrix3D B) {
  if (!thing || !file) return 0;
  const Matrix3D T = tf_tftf(A, B);
  _pdb_image* image = trel_imageThing(thing);
  if (!image) return 0;
  char path[TREL_PATH_MAX + 1];
  if (!zam_filename(file, "pdb", path)[0]) return 0;  // reported there
  // Written whole, and only under a free name: a file already there is the
  // user's, not this export's.
  _zam_whole* whole = zam_openWhole(path, "w");
  if (whole) {
    zam_writePdbRemark(whole->fp);
    zam_writePdbFile(whole->fp, image, -1, 0, atom_selection, 1, 1, 0, T);
    if (zam_closeWholeNew(whole, true)) return 1;
    if (errno == EEXIST) {
      zam_wrn("Not overwriting existing file: %s\n", path);
      return -1;
    }
  }
  zam_err("Failed to write PDB file: %s [%s]\n", path, strerror(errno));
  return 0;
}

int trel_exportThingSpf(_trel_thing* thing, int pot_class, const std::string& folder,
                        const std::vector<std::string>& names, const std::string& tail, Matrix3D A, Matrix3D B,
                        std::vector<std::string>* paths, const std::function<void(const std::string&)>& opening) {
  if (!thing || !thing->tag) return 0;
  // An array not held yet is read at the tag's order; one held already is
  // written at the order it holds, whatever the tag says.
  const int order = thing->tag->order;
  if (order < 1) return 0;
  const Matrix3D T = tf_tftf(A, B);
  const int kinds[1] = {1};
  std::vector<double> work;
  int written = 0;
  for (int c = 0; c < TREL_POT_CLASSES; c++) {
    if (pot_class != -1 && c != pot_class) continue;
    // The coefficients live in the class's scaled space: so does the move.
    Matrix3D R = T;
    const double s = trel_potScale(c);
    R.m[3] *= s;
    R.m[7] *= s;
    R.m[11] *= s;
    for (const bool tau : {true, false}) {
      // A class the object does not have is no failure: nothing to write.
      if (!thing->tag->pot_flags[c] && !(tau ? thing->tau[c] : thing->sig[c])) continue;
      const int read = tau ? trel_readThingTau(thing, c, order) : trel_readThingSig(thing, c, order);
      const int held = tau ? thing->tau_order[c] : thing->sig_order[c];
      if (read != 1 || held < 1) continue;
      const double* values = tau ? thing->tau[c] : thing->sig[c];
      const std::string file =
          folder + zam_fileName(names, tail + "_" + trel_potCode(c) + (tau ? "_tau.dat" : "_sig.dat"));
      // An input of the run (a list file named like an export, say) is
      // never written over: refused with a warning naming it.
      if (zam_refuseInput(file)) continue;
      work.assign(static_cast<size_t>(trel_anlmSize(held)), 0.0);
      if (!zam_ligand_transform_anlm(held, 1, kinds, R, values, work.data())) {
        zam_err("Failed to move the coefficients for %s\n", file.c_str());
        continue;
      }
      if (opening) opening(file);
      if (trel_write_anlm_asc(file.c_str(), held, work.data()) != 1) continue;
      written++;
      if (paths) paths->push_back(file);
    }
  }
  return written;
}

int trel_export_object(const char* pdb_file, const char* out, Matrix3D A, Matrix3D B, int N,
                       const double* sig, const double* tau) {
  if (!pdb_file || !out) return 0;
  if (!zam_exportPdb(pdb_file, out, 0, A)) return 0;
  if (N < 1 || !sig || !tau) {
    zam_err("No coefficients of order %d to export with %s\n", N, out);
    return 0;
  }
  const int64_t size = trel_anlmSize(N);
  std::vector<double> moved(static_cast<size_t>(2 * size));
  const int kinds[1] = {1};
  if (!zam_ligand_transform_anlm(N, 1, kinds, B, sig, moved.data()) ||
      !zam_ligand_transform_anlm(N, 1, kinds, B, tau, moved.data() + size)) {
    zam_err("Failed to move the coefficients for %s\n", out);
    return 0;
  }
  return trel_write_thing(out, N, moved.data(), moved.data() + size);
}

void my_msg_cb(const char* text) {
  if (!text || (std::strncmp(text, "*Error* ", 8) != 0 && std::strncmp(text, "*Warning* ", 10) != 0)) return;
  if (passed_on) {
    passed_on(text);
  } else {
    std::fputs(text, stdout);
  }
}

zam_logger_fn my_msg_cb_pass(zam_logger_fn fn) { return std::exchange(passed_on, fn); }
