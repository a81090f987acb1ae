#include "output/trel_write_hit.h"

#include <string>

#include "output/trel_pair_names.h"
#include "output/trel_run_options.h"
#include "output/trel_print.h"
#include "output/trel_write_align.h"

void trel_writeHitFiles(_trel_align* align, _pdb_image* query, _pdb_image* target,
                        const _trel_pair_names& names, const char* folder, Matrix3D tf,
                        const _trel_options* options) {
  if (!align || !query || !target || !options || !options->do_write) return;
  const std::string before = trel_holdHit(names.target);
  trel_writeAlignNamed(align, query, target, names, folder, tf, options);
  if (options->write_krmsd) trel_writeKrmsdNamed(align, query, target, names, folder);
  trel_holdHit(before);
}
