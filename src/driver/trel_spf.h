// The tool's SPF road, in the order a search takes it: two structure objects,
// each described by the sig and tau coefficient vectors of one potential
// class, are matched by the rotational search (their solutions come back as
// normalised scores, higher is better and 1 a perfect overlap, with
// separations in structure units); the solutions are grouped into clusters
// of nearby superpositions of the target; the target is aligned from the
// clusters' leaders. Each solution turns into the transform that puts the
// target onto the query.
#pragma once

#include "geometry/zam_transform.h"
#include "matching/zam_dock_spec.h"

struct _trel_thing;
struct _trel_align;
struct _trel_align_buf;
struct _trel_options;
struct _pdb_image;
struct _pdb_peptide;

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

// Matches target onto query with the tau and sig arrays of pot_class (read
// from their files when not yet held) into docking under the run's docking
// specification, showing n_show solutions (the run's s_max). Returns 1 when the match ran; 0, with docking emptied and
// a warning naming the object, when an array of the class is missing.
int trel_matchThing(_trel_thing* query, _trel_thing* target, int pot_class, _docking_spec* spec, int n_show,
                    _docking* docking);
// Groups the docking's solutions (in rank order): each solution not yet in a
// cluster opens one and takes every later unclustered solution among the
// next 199 whose moved C-alpha atoms lie within an RMS distance below
// threshold. Sets n_clusters, each solution's cluster number (cluster
// array) and each cluster's leader (index array). Nothing happens for one
// solution or none, or (with a warning) for a target of fewer than 4 C-alpha
// atoms. flag is not used.
void trel_clusterThing(_trel_thing* target, int flag, _docking* docking, float threshold);
// Aligns target onto query from the SPF solutions held in docking (found by
// trel_matchThing): the solutions are clustered (C-alpha RMS below the
// contact distance), the target is aligned from the leaders of the best
// s_top clusters, and the alignment with the best G-score is returned (new,
// release with trel_freeAlign; the target's image is left as that alignment
// made it). Null when the docking holds no solution, or no start could be
// aligned: a match without a solution gives no alignment.
_trel_align* trel_alignMatch(_trel_thing* query, _pdb_image* qimage, _pdb_peptide* qpep, _trel_thing* target,
                             int pot_class, const _trel_options* options, _docking* docking,
                             _trel_align_buf** buffers);
