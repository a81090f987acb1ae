// Coefficient sets of docking models. A model entry carries, besides its
// atoms, three pairs of expansion-coefficient arrays of order N (Nc =
// anlm_size(N) doubles each): the skin pair (exterior and interior skin,
// GTO), the electrostatic pair (potential and charge density, ETO radial
// functions) and the grid pair (grid energies and probe densities, GTO, T
// typed blocks of Nc each, block t at t Nc). Here they are allocated,
// copied between models, and the electrostatic and grid pairs computed from
// the model's atoms and sampled energy points in the model's origin frame
// (zam_model_frame; the molecule's placement is put back). The arrays belong
// to the entry (kfree). The atom store is process-wide: one thread at a time.
//
// The computing routines add the new sums to what their arrays hold; each
// sum is normalised on its own before it is added, so a second call without
// a new allocation doubles the densities and energies (and the potential,
// recomputed from the doubled density).
#pragma once

#include <functional>

#include "matching/zam_molecule_record.h"

// 1 when atom i of the current molecule has alternate location blank or 'A'.
int zam_alt_kept(int i);
// Calls f(residue name, residue label, atom) for the atoms of first..last
// of the current molecule that zam_alt_kept keeps, residue by residue,
// chains from 1 until one has no residues.
template <class F>
void zam_for_residue_atoms(int first, int last, F f);

// Expansion of a model's atoms into typed blocks: in the model's origin
// frame (its placement put back after), for each atom that
// zam_for_residue_atoms gives, weigh(residue name, atom, w) sets the
// weights w[0..blocks-1] of the atom in each block, or returns false to
// leave it out; block t gains w[t] times the atom's unnormalised GTO basis
// vector of order N. The blocks are normalised and added to out (blocks
// vectors of Nc doubles). Returns the atoms taken.
int zam_model_atom_blocks(_molecule* mol, int model, int N, int blocks, double* out,
                          const std::function<bool(const char* residue, int atom, double* w)>& weigh);

// The entry of model `model` of a loaded molecule; null when mol is not
// loaded or the model is out of range.
_molecule_model* zam_model_entry(_molecule* mol, int model);
// 1 when entry e (may be null) holds its grid pair with exactly T blocks
// made at order N (what a reader of T blocks may take), or its
// knowledge-based array with exactly `blocks` blocks at order N.
bool zam_pe_holds(const _molecule_model* e, int N, int T);
bool zam_kb_holds(const _molecule_model* e, int N, int blocks);

// Free the pair's two arrays and give the model two zero-filled ones of Nc
// doubles (T Nc for the grid pair, whose layout T, N is recorded). Nothing
// for a molecule that is not loaded or a model out of range.
void zam_skin_alloc(_molecule* mol, int model, int N);
void zam_es_alloc(_molecule* mol, int model, int N);
void zam_pe_alloc(_molecule* mol, int model, int N, int T);

// When mol is loaded and model `from` has the first array of the pair (for
// the grid pair: holds T blocks at order N), say so, replace the pair of
// model `to` by copies of the pair of `from` (a missing second array copies
// as zeros); otherwise nothing.
void zam_skin_copy(_molecule* mol, int from, int to, int N);
void zam_es_copy(_molecule* mol, int from, int to, int N);
void zam_pe_copy(_molecule* mol, int from, int to, int N, int T);

// Electrostatics of the model: the charge density of its charged,
// accessible atoms (alternate location blank or 'A') at 1 to 2R angstroms
// from the model origin (closer ones are reported and left out), and the
// potential from it by Poisson's equation degree by degree: for each l the
// potential's radial coefficients are 14.3997653 (volt angstroms per unit
// charge) times M^-1 (-4 pi density), M(n, j) = tnjl(n, j, l). Missing
// arrays are allocated first.
void zam_es_calc(_molecule* mol, int model, int N, double R);
// Grid energies (3 blocks, one per probe code 0..2) of the molecule's
// sampled energy points at 1 to 2R angstroms, each standing for a cell of
// volume s^3. Says so and does nothing else when the molecule has none.
// Arrays that are missing or hold another layout are replaced first by new
// ones of 3 blocks.
void zam_pe_calc3(_molecule* mol, int model, int N, double s, double R);
// Probe densities (3 blocks) of the model: for probe type t of the other
// molecule (at most 3), the atoms that the GRID table lists for the
// opposite probe. Arrays are replaced first as by zam_pe_calc3.
void zam_gtau_calc3(_molecule* mol, int model, _molecule* probes, int N);
// Prints every atom of model 1 of mol that carries GRID data for a probe of
// the other molecule.
void zam_test_grid_data(_molecule* mol, _molecule* probes);

// ---- implementation of the template above ----
#include "docking/zam_mol.h"

template <class F>
void zam_for_residue_atoms(int first, int last, F f) {
  for (int c = 1;; c++) {
    int residues = 0;
    mol_chain(c, nullptr, &residues, nullptr, nullptr);
    if (residues <= 0) break;
    for (int r = 1; r <= residues; r++) {
      char name[8] = "", label[8] = "";
      int a0 = -1, a1 = -1;
      mol_resnum_info(c, r, name, label, &a0, &a1);
      for (int i = a0; i >= 0 && i <= a1; i++)
        if (i >= first && i <= last && zam_alt_kept(i)) f(name, label, i);
    }
  }
}
