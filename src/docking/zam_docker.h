// The docking driver: a receptor and a ligand molecule are docked model
// pair by model pair through the six-dimensional search, with correlation
// inputs made from the models' coefficient arrays by score type (shape,
// electrostatics, DARS, GRID, PIPER, knowledge-based); each pair's
// solutions are ranked, optionally re-scored (zam_refine), printed and
// merged into one top list, whose best entries end in the caller's job.
// The top list, the pair counts and the abort flag are process-wide: one
// docking run at a time, on the calling thread (the search runs its own).
//
// The arrays of a model that each term reads: shape the skin (first) and
// shape (second) arrays; electrostatics the potential and charge density;
// DARS and GRID the grid energies (first) and probe densities (second), as
// the coefficient set-up makes them; PIPER the model's two PIPER arrays;
// knowledge-based the knowledge-based array. A missing array leaves its
// term at 0, with a warning; so does a grid pair or knowledge-based array
// that does not hold exactly the blocks the term reads at this order (6
// DARS, 3 GRID, kb_channels - 1 knowledge-based; zam_pe_holds, zam_kb_holds).
#pragma once

#include "matching/zam_dock_spec.h"
#include "matching/zam_molecule_record.h"

struct _docking_data;

// The correlation input of one model pair: score type t's terms, each of
// anlm_size(order) doubles per array (messages printed when report is set).
// A new record (zam_freeDockData); null after an error for knowledge-based
// types (7, 8) whose set-up has not set at least three channels, or for a
// model out of range.
_docking_data* zam_setDockData(_docking_spec* spec, _molecule* receptor, _molecule* ligand, int receptor_model,
                               int ligand_model, int report);
void zam_freeDockData(_docking_data* d);

// Docks the model pairs of the two molecules (all pairs, or the starting
// orientations of problem type 3) and leaves the best max_solutions
// solutions, lowest Etotal first, in d (emptied first). An abort through
// the progress hook, a refused score type or a failed search leaves no
// solutions kept.
void zam_docker(_docking_spec* spec, _docking* d, _molecule* receptor, _molecule* ligand);
// Docks one model pair and merges its solutions into the top list.
void zam_dock_pair(_docking_spec* spec, _docking* d, _molecule* receptor, _molecule* ligand, int receptor_model,
                   int ligand_model);
// Scores the poses of the docking data already in d (d->data, set by the
// caller) and leaves the best in d.
void zam_dock_poses(_docking_spec* spec, _docking* d, _molecule* receptor, _molecule* ligand, int receptor_model,
                    int ligand_model);

// The score table: its header, and one row for an RMS deviation within
// 0..10 (1 returned) or nothing (0) otherwise. The row's label is "C<k>"
// for a symmetry order k >= 1, else the bump count ("999" above 999, "  ?"
// when not counted).
void print_score_header();
int print_score_rms(int number, double etotal, double eshape, double eforce, double eair, double rms, int bumps,
                    int symmetry);
// Rows of n solutions taken in order (all in array order when order is
// null), numbered from 1, at most 200 printed, then the notice naming the
// rest; with_symmetry false prints every row without its symmetry label.
void zam_print_scores(int n, const _solution* sols, const int* order, bool with_symmetry);

// The top list: emptied with room for n; count new solutions merged into
// it in order (ascending Etotal), keeping at most n (a tie keeps the entry
// already there first); its entries and count.
void alloc_top(int n);
void merge_top(int n, int count, const _solution* solutions, const int* order);
const _solution* zam_top_solutions(int* count);

// The four phase weights, divided by their sum (when positive) and, with
// more than one pair, the last three by the pair count, to zam_progress_weights.
void report_progress_weights(int pairs, const float* weights);
