// Centre and neighbour files of an all-against-all run: the structure with
// the highest mean score against all others (the centre) and, for every
// structure, all structures ranked by their score against it.
#pragma once

struct _trel_thing;
struct _trel_result;

// Writes, into folder (ending in "/"), <name>.cen (every query by its mean
// score, highest first), <name>_<centre>.ent (the centre's structure) and
// <name>_<query>.nbr for every query (the targets by score, with RMSD and
// aligned length). The extensions are appended to the whole name, so a name
// holding a '.' keeps it. which picks the score (trel_resultScore). A file
// that cannot be written is reported, counted in trel_failedFiles and
// skipped; the others are written. Returns the centre's query index (-1
// when nq < 1).
int trel_writeNeighbours(const char* folder, const char* name, int nq, _trel_thing* const* queries,
                         int nt, _trel_thing* const* targets, const _trel_result* result, int which);
