// What the driver asks of a loaded object again and again: its residue count
// and whether its trace can be scored.
#pragma once

#include "store/trel_thing.h"

// Residue count of an object's tag (0 without an object or a tag).
inline int trel_thingResidues(const _trel_thing* t) { return t && t->tag ? t->tag->n_residues : 0; }

// Whether the object has a usable tag and trace records.
inline bool trel_thingTraced(const _trel_thing* t) {
  return t && t->tag && t->tag->valid == 1 && t->trace.seg;
}
