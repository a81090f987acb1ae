// Object images and export: the superposed fresh target image and PDB export.
#include "store/trel_export.h"

#include "align/trel_markup.h"
#include "runtime/zam_log.h"
#include "store/trel_thing.h"
#include "structure/zam_kpdb.h"
#include "structure/zam_pdb.h"

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
  if (!thing) return 0;
  const Matrix3D T = tf_tftf(A, B);
  _pdb_image* image = trel_imageThing(thing);
  if (!image) return 0;
  return zam_writePdb(file, image, -1, 0, atom_selection, 1, 1, T);
}
