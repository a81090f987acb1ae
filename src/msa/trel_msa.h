// Multiple structural alignment around a pivot: making, building, scoring and
// freeing a profile (align/trel_profile.h), its consensus refinement and the
// addition of sequence-built rows. Single-threaded; every call that aligns
// owns its own alignment work buffer. Messages go to the log.
#pragma once

#include "align/trel_profile.h"

struct _trel_align;
struct _trel_options;
struct _trel_thing;

// New profile of the pivot and n members with room for n_extra more rows
// (sequence rows): names, objects, trace records and CA points filled
// for rows 0..n, counts and lengths over them, core arrays allocated, column
// tables absent. Loads each object's image on demand. Null, after a message
// naming the structure, when an object has no image or no trace records of
// the image's length. Free with trel_freeProfile.
_trel_profile* trel_initProfile(const char* name, _trel_thing* pivot, _trel_thing** members, int n,
                                int n_extra);
// Frees the profile and everything it owns; null is ignored. Objects are borrowed.
void trel_freeProfile(_trel_profile* profile);

// The profile of pivot and members[0..n-1] from aligns[i], the pairwise
// alignment of the pivot (query) with members[i] (target): the induced
// alignment or the progressive realignment seeded by member 0, whichever has
// the higher P-score (ties keep the realignment). Reads core_rule. Logs its
// progress. Null, after a message, when n < 1, an alignment is missing or does not
// fit its structures (residues outside them or out of order), or a
// structure cannot be used (see trel_initProfile).
_trel_profile* trel_buildProfile(const char* name, _trel_thing* pivot, _trel_thing** members, int n,
                                 _trel_align** aligns, int n_extra, const _trel_options* options);

// Column counts and CA centroids (col_count, col_centre) of the induced table
// (which < 0) or of the working table (otherwise).
void trel_consProfile(_trel_profile* profile, int which);
// Consensus letters (cons_sse, cons_aa) of the same choice of table.
void trel_markProfile(_trel_profile* profile, int which);
// Score of a residue with one-letter code letter at squared distance d2 from
// the centroid of column column of table (rows rows), leaving out row
// skip_row (-1: none) from the BLOSUM62 mean.
float trel_getCscore(float d2, char letter, int skip_row, int column, const _trel_profile* profile,
                     const int* table, int rows);

// P-score of a multiple alignment: M-score x (core + 1)^(1/4).
float trel_profilePscore(float m_score, int core);

// Realigns every row to the consensus of the others while the M-score rises
// (at most nine passes); a kept pass superposes every member onto the
// consensus in the pivot's frame, moving its points and its image, unless
// that lowers the score: m_score always describes the coordinates held.
// Reads core_rule.
void trel_refineProfileCons(_trel_profile* profile, const _trel_options* options);

// Appends one row per sequence-built object, aligned to the profile by
// BLOSUM62; the profile must have room (n_extra of trel_initProfile). Reads
// n_columns. The aligner's K-score weights are restored before it returns.
void trel_addProfile(_trel_profile* profile, _trel_thing** seqs, int n_seqs,
                     const _trel_options* options);
