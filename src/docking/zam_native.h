// Comparison of the models of a multi-model molecule: every model from the
// second on is superposed onto the first by least squares over the atoms
// the two share (same chain, residue label and atom name), in the models'
// origin frames, and the fit is kept as the model's second placement.
//
// Left out: loading a native complex and the RMS deviations of poses from
// it (zam_native_rms answers -1 while none is loaded).
#pragma once

#include "matching/zam_molecule_record.h"

// Models 2..n of a loaded multi-model molecule get place[1] = the fit that
// maps their atoms (about their centre) onto model 1's (about its centre);
// model 1 gets the identity. Prints one line per model with the RMS
// deviation and the atoms paired. Nothing happens for fewer than 2 models.
void zam_native_postdock(_molecule* m);
