// Re-scoring of docking solutions. Mode 1 counts bumps: the receptor and
// ligand heavy-atom pairs (docking atoms of the two models) closer than 3
// angstroms, the ligand placed by the solution's pose about the models'
// origins.
//
// Left out: the energy modes 2 to 5 (soft and DARS energies) and the
// rotamer search; they report that they are not available.
#pragma once

#include "matching/zam_dock_spec.h"
#include "matching/zam_molecule_record.h"

// Fills the bump counts of the first n solutions (at most 32767 each) for
// mode 1; other modes warn "Refinement mode %d is not available." and leave
// the solutions as they are. q and w (ligand weight, receptor shape weight)
// are not read by mode 1. The molecules' placements are put back.
void zam_refine(_molecule* receptor, _molecule* ligand, int receptor_model, int ligand_model, int mode, int n,
                _solution* sols, double q, double w);
