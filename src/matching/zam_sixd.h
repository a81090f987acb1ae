// The six-dimensional rotational search: every pose of a receptor and a
// ligand (receptor rotation, separation along z, ligand rotation) scored by
// the correlation of their coefficient vectors, the best kept as solutions.
// The specification's fft_mode picks the layout (see zam_sixd_cpu.h): 3, the
// tool's, runs one 3-D transform per receptor rotation sample and
// separation over the three angles of the ligand rotation; 1 a twist series
// per receptor and ligand sample; 4 a twist series per receptor sample and
// fourth angle (turns without screw); 5 one 5-D transform per separation; 7
// the 3-D grid through tables that fold the translation in once per
// separation. No GPU exists: 2 (a GPU-only layout) runs the 1-D one, a GPU
// asked for is reported, and box sampling runs with the 1-D or the 3-D
// layout. Workers hand their poses to one consumer.
#pragma once

#include "matching/zam_dock_spec.h"

// Correlation input of one search; made zero-filled by its caller, which
// owns every array.
struct _docking_data {
  int n_poses;          // pose-list searches only
  int n_terms;          // correlation terms
  int* term_flags;      // per term: 1 shape-type (GTO translation), 0 electrostatic-type
  // Term c of each array starts at c x N(N+1)(2N+1)/6, N the specification's order.
  double* receptor_first;
  double* receptor_second;
  double* ligand_first;
  double* ligand_second;
  double r12_start;     // separation of the starting pose (0 for matching)
};

// Searches the poses that spec describes and writes at most max_solutions
// solutions into sols (room for max_solutions), lowest score first: pose
// code, Etotal = Eshape = score x score scale, Eforce 0, separation r12,
// receptor and ligand rotations (the ligand goes onto the receptor by
// Rr^-1 Tz(r12) Rl), receptor orientation number. Returns their number (0
// when no pose scored below the threshold), or -1 when the search was
// stopped through the progress hook or could not run (bad settings, memory,
// threads, translation matrices), after a message. Needs the thread layer set up.
int zam_sixd_search(_docking_spec* spec, _docking_data* data, _solution* sols);

// The grid of the 3-D layout for spec: axis lengths (gamma, beta, alpha) and
// the gamma and alpha band limits.
void zam_sixd_grid(const _docking_spec* spec, int dims[3], int band[2]);
