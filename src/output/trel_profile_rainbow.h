// Rainbow colouring of a profile for molecular viewers: every structure's
// residues coloured by their alignment column, so that aligned residues
// share a colour. For Zam one multi-model PDB file (one chain letter per
// structure) and a command file (".mac"); for VMD one PDB file per structure
// and a command file (".tcl") that loads and colours them.
#pragma once

#include <string>

#include "geometry/zam_transform.h"

struct _pdb_image;
struct _trel_profile;
struct _trel_options;

// The chain letter after c: 'A'..'Y' -> next, 'Z' -> 'a', 'a'..'y' -> next,
// 'z' -> '0', '0'..'8' -> next, '9' -> 'A'; any other character unchanged.
// So 62 letters cycle.
char next_chainLetter(char c);

// Writes <name><multi><flex>_rainbow.pdb and .mac (write_zam) and
// <name><multi><flex>_rainbow.tcl with <name><multi><flex>_rainbow_NNNNN.pdb
// per structure (write_vmd) into folder (ending in '/'); both sets need
// write_pdb and write_rainbow. which < 0 colours by the induced table, else
// the working table. Structures built from a sequence are left out and take
// no chain letter; every structure is moved by transform. With residue_mask
// the PDB files leave out the residues the mask hides (set on views of the
// images, which are not changed). A file that cannot be written gives a
// warning naming it and the others are still written.
void trel_writeProfileRainbow(const _trel_profile* profile, int which, Matrix3D transform,
                              const char* multi_suffix, const char* flex_suffix,
                              const char* folder, const _trel_options* options);

// The rows of any multiple alignment to colour: table holds cols columns of
// rows entries (residue index or -1), images and names one entry per row
// (a null image is left out and takes no chain letter).
struct _trel_rainbow_rows {
  const int* table;
  int rows;
  int cols;
  _pdb_image* const* images;
  const char* const* names;
};
// The files above for rows, named folder + name + suffix + "_rainbow" ...
// (as zam_fileName makes the name of a file).
void trel_writeRainbowRows(const _trel_rainbow_rows& rows, Matrix3D transform, const std::string& name,
                           const std::string& suffix, const char* folder, const _trel_options* options);
