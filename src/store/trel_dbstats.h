// Statistics of a freshly built database: how its members fall into the five
// radius classes, and the pooled means and spreads of the per-structure
// geometry the trace builder keeps (main-chain atoms, T, P and V points in
// each residue's own frame). The report goes to the log and standard output.
#pragma once

#include "geometry/zam_transform.h"

struct _pdb_image;
struct _trel_thing;

// What the report needs of one member, kept small so that a build can close
// each member as soon as it is written.
struct _trel_member_stats {
  const char* name;        // borrowed; must outlive the report
  double radius;
  int n_residues;
  int mc_count;            // residues sampled for the main-chain group
  Point3D mc_mean[5], mc_sd[5];  // COM, N, C, O, CB
  int count[8];            // samples of each T/P/V slot
  Point3D t_mean[8], t_sd[8];
  Point3D p_mean[8], p_sd[8];
  Point3D v_mean[8], v_sd[8];
};

// Fills out from the object's tag, trace statistics and (when loaded) image:
// the main-chain group holds, over the complete residues, the structure's
// centre (the origin of the imported image), N, C, O and CB in the residue's
// frame (CB over the residues that have one). Without an image mc_count is 0.
// name is borrowed from the object.
void trel_memberStats(const _trel_thing* thing, _trel_member_stats* out);
// Prints the report for n members (see the module comment). n may be 0.
void trel_doStats(int n, const _trel_member_stats* members);
