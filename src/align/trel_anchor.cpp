// Anchor search over the whole box and over tiles (skeleton).
#include "align/trel_anchor.h"

#include "runtime/kids.h"

_trel_align* findAnchor(int, int, _trel_a_box, int, int, int, int, _trel_seg*, _trel_seg*,
                        _pdb_peptide*, _pdb_peptide*, float, float, float, _trel_align_buf*) {
  return nullptr;
}
_trel_align* findAnchorGlobal(int, int, _trel_a_box, int, int, int, _trel_seg*, _trel_seg*,
                              _pdb_peptide*, _pdb_peptide*, float, float, _trel_align_buf*) {
  return nullptr;
}
_trel_align* findAnchorTiled(int, int, _trel_a_box, int, int, int, _trel_seg*, _trel_seg*,
                             _pdb_peptide*, _pdb_peptide*, float, float, _trel_align_buf*) {
  return nullptr;
}
_trel_align* doAnchorTiles(int, int, _trel_a_box, int, int, int, int, _trel_seg*, _trel_seg*,
                           _pdb_peptide*, _pdb_peptide*, float, float, _trel_align_buf*) {
  return nullptr;
}
_trel_align* doAnchorOneTile(int, int, _trel_a_box, int, _trel_seg*, _trel_seg*, _pdb_peptide*,
                             _pdb_peptide*, float, float, _trel_align_buf*) {
  return nullptr;
}
int trel_makeTiles(_trel_a_box, int, _trel_a_box** tiles) {
  *tiles = nullptr;
  return 0;
}
