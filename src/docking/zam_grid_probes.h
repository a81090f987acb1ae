// GRID probes of docking molecules: the probe that a molecule's sampled
// energy points call for on the other side of a contact, and the look-up of
// the GRID probe table (which residue atoms a probe of that kind meets).
//
// Left out: the GRID probe table itself. No table is shipped, so no residue
// atom is ever found in it; molecules read from structures carry no probe
// types either.
#pragma once

// The opposite probe: "N3+" and "O::" swap, "DRY" stays, anything else gives "".
const char* probe_name_to_opposite(const char* name);
// 1 when the GRID probe table has a row for the residue, atom and probe, else 0.
int zam_grid_data(const char* residue, const char* atom, const char* probe);
