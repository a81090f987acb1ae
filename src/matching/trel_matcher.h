// The tool's SPF superposition: a query and a target, each described by the
// sig and tau coefficient vectors of one potential class, become two minimal
// molecules for the matcher; its solutions come back as normalised scores
// (higher is better, 1 for a perfect overlap) with separations in structure
// units, and each turns into the transform that puts the target onto the
// query.
#pragma once

#include "geometry/zam_transform.h"
#include "matching/zam_dock_spec.h"

// Matches the target onto the query; the solutions are left in d, best
// first (none when the search was stopped or failed). Prints the first
// n_show solutions. The arrays stay the caller's.
void trel_matcher(const char* query_name, const char* target_name, double* query_tau, double* query_sig,
                  double* target_tau, double* target_sig, int pot_class, int n_show, _docking_spec* spec, _docking* d);
// The transform that moves the target onto the query for solution s: the
// ligand rotation, then the shift by r12 along +z, then the inverse
// receptor rotation.
Matrix3D trel_pdbMatrix(const _solution* s);
// T with its translation scaled from structure units back to the units of
// the coefficient vectors of pot_class.
Matrix3D trel_spfMatrix(int pot_class, Matrix3D T);
// Moves one order-N vector into the pose of s (pot_class unused). Returns 1,
// or 0 when a matrix could not be made.
int trel_move_anlm(int pot_class, const _solution* s, int N, const double* in, double* out);
// A message callback that drops every line.
void suppress_stdout_cb(const char* text);
