// The profile record: a multiple structural alignment of a pivot structure
// and its members, built around the pivot (msa/trel_msa.h builds, refines and
// frees it). Kept with the alignment engine so that the engine's own profile
// scoring can read it; the structure objects it points to belong to the
// store, and this layer never looks inside them: the per-row trace records
// and residue counts it needs are carried here as well. No structure image is
// held (an object's image may be replaced while the profile lives, as when
// the anchor files read it again); residue letters come from the trace.
#pragma once

#include "geometry/zam_transform.h"

struct _trel_thing;
struct _trel_seg;

// Row names hold at most 23 characters and their NUL.
constexpr int TREL_PROFILE_NAME = 24;

// Both column tables are stored column after column: the entry of row r in
// column c is at c * rows + r and holds that row's residue index (into its
// image's residue records, its trace records and its points) or -1 for a gap.
// Every array is owned by the profile unless said otherwise.
struct _trel_profile {
  int n_rows;      // rows allocated: pivot + members + announced sequence rows
  int n_struct;    // member structures (pivot not counted)
  int n_used;      // rows of table
  int n_induced;   // columns of induced
  int n_cols;      // columns of table (the profile's length)
  int n_residues;  // residues of pivot and members together
  int min_length;  // residues of the shortest structure
  int max_length;  // residues of the longest structure
  int n_core;      // core count of the kept table
  float m_score;   // M-score of the kept table
  char* name;      // profile name (own copy)
  char (*names)[TREL_PROFILE_NAME];  // n_rows row names; row 0 is the pivot
  _trel_thing** things;  // n_rows structure objects, borrowed; row 0 the pivot
  Point3D** points;      // n_rows CA arrays, one point per residue of the row
  char* cons_sse;        // n_cols consensus secondary-structure letters, or null
  char* cons_aa;         // n_cols consensus residue letters (blank: none), or null
  int* core_range;       // 2 per pivot residue: first and last pivot residue of its segment
  int* core_depth;       // per pivot residue: depth of its induced column
  int* core_size;        // n_rows: core size at each row
  int* col_count;        // per column: residues of the table last given to the consensus
  Point3D* col_centre;   // per column: CA centroid of those residues
  int* induced;          // n_induced columns of n_struct + 1 entries
  int* table;            // n_cols columns of n_used entries
  // What the alignment engine reads of each row's structure object, filled
  // wherever things is.
  const _trel_seg** segs;  // n_rows trace record arrays, borrowed from the objects' traces
  int* lengths;            // n_rows residue counts (points and segs hold as many)
};
