// The matcher: two molecules described by coefficient vectors are matched
// model pair by model pair through the six-dimensional search, and the best
// solutions of all pairs, merged by energy, are left in a docking job.
// Holds the molecule helpers it needs (the records are in zam_molecule_record.h).
// The matcher keeps its top list in process-wide state: one match at a
// time, on the calling thread (the search runs its own threads).
#pragma once

#include <vector>

#include "geometry/zam_transform.h"
#include "matching/zam_dock_spec.h"
#include "matching/zam_molecule_record.h"

// Matches every model pair of receptor and ligand and leaves the best
// max_solutions solutions, lowest energy first, in d (emptied first). A
// stopped or failed search leaves d with no kept solutions.
void zam_matcher(_docking_spec* spec, _docking* d, _molecule* receptor, _molecule* ligand);
// Matches one model pair and merges its solutions into the top list. Returns
// 1, or 0 when the search was stopped or failed (the matcher then stops).
int zam_match_pair(_docking_spec* spec, _docking* d, _molecule* receptor, _molecule* ligand, int receptor_model,
                   int ligand_model);
// Merges n new solutions, taken in `order` (ascending Etotal), into top
// (ascending Etotal), keeping at most room entries: the lower Etotal first,
// the entry already in top on a tie.
void zam_merge_solutions(std::vector<_solution>& top, int room, const _solution* sols, const int* order, int n);
// "<<Output suppressed for solutions next to total>>", after the last row a
// table shows; nothing when no solution follows (next > total).
void zam_print_suppressed(int next, int total);
void print_match_header();
// One row for an RMS deviation within 0..6, else nothing; returns 1 when printed.
int print_match_rms(int soln, double etotal, double eshape, double eforce, double eair, double rms, int bumps);
// Models to match of m: first..last (0..0 for a single structure).
void zam_docking_model_range(const _molecule* m, int* first, int* last);
// The model pairs of a run over two molecules: the receptor's models rf..rl
// and the ligand's lf..ll (zam_docking_model_range).
struct _model_pairs {
  int rf, rl, lf, ll;
};
// The opening of a run over the model pairs of two molecules, the matcher's
// and the docker's: a break in the messages, d emptied of its solutions, a
// warning that the run (who: "Matching", "Docking") would be faster with the
// disc cache when it is off; returns the model pairs.
_model_pairs zam_open_model_pairs(const char* who, _docking* d, const _molecule* receptor,
                                  const _molecule* ligand);
// Printed name of a model (a static buffer, overwritten by the next call).
const char* zam_model_name(const _molecule* m, int model);
// RMS deviation of a pose from the native complex; -1 while no native
// reference is loaded (nothing of the tool loads one).
float zam_native_rms(Matrix3D rec_m1, Matrix3D rec_m2, Matrix3D lig_m1, int ligand_model, double r12,
                     Matrix3D rec_rot, Matrix3D lig_rot);
// Frees a rotamer list (records and coordinate buffers); the pointer form
// also sets it to null.
void delete_rotamers(_rotamer* list);
void zam_delete_rotamers(_rotamer** list);
