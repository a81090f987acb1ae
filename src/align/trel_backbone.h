// Ideal backbones from a sequence: a structure image of N, CA, C and O atoms
// per residue laid out on ideal helix or strand geometry from fixed
// per-residue templates, so that a structure given only as a sequence gets a
// trace like any other. Also the one-letter codes of an image's residues.
#pragma once

#include "geometry/zam_transform.h"

struct _pdb_image;
struct _pdb_atom;

// Residue templates in the residue's own frame (CA at the origin, C on -z,
// N in the xz plane at positive x). The "0" points are the residue's own
// atoms; the "1" points are the N, C and CA of the following residue, which
// fix the link between the two. The strand "0" points are also the ideal
// residue that the trace build puts in place of an incomplete one.
extern const Point3D pt_alpha_0_n, pt_alpha_0_ca, pt_alpha_0_c, pt_alpha_0_o;
extern const Point3D pt_alpha_1_n, pt_alpha_1_c, pt_alpha_1_ca;
extern const Point3D pt_beta_0_n, pt_beta_0_ca, pt_beta_0_c, pt_beta_0_o;
extern const Point3D pt_beta_1_n, pt_beta_1_c, pt_beta_1_ca;

// New image (caller frees with zam_freePdb) of one chain labelled chain: n
// residues named from sequence, each built as helix when its letter in sse is
// 'A', 'a', 'H' or 'h' and as strand otherwise (all strand for a null sse),
// centred on the mean of its atoms and marked fake. Residue and atom chain
// numbers are 0; the saved coordinates equal the atoms' and each symmetry list
// holds one identity, so copies, moves and resets behave as for a read image.
// A sequence (or sse) shorter than n is read only up to its end: the image
// has as many residues as sequence letters up to n. Never fails.
_pdb_image* trel_makeBackbone(const char* name, char chain, int n, const char* sequence, const char* sse);

// Fills atom (first cleared) as an "ATOM  " record of a backbone residue.
void make_bbAtom(_pdb_atom* atom, int residue, const char* name, Point3D p, const char* resname,
                 const char* resnum, const char* chain);

// A new byte array (kget1B, not terminated; caller frees with kfree) of the
// one-letter codes of the image's residue names, 'X' for unknown names. Null
// for a null image.
char* trel_codesPdb(const _pdb_image* image);
