// Descriptor objects: the sig and tau coefficients of a structure's
// potential classes, sampled from its side-chain and main-chain atoms, all
// classes of one object in the one canonical frame its tag records; and the
// rigid moves of those arrays.
#include <cstring>
#include <vector>

#include "align/trel_trace.h"
#include "harmonics/zam_anlm.h"
#include "harmonics/zam_canonical.h"
#include "harmonics/zam_ligand_move.h"
#include "runtime/kids.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_cache.h"
#include "store/trel_coeff.h"
#include "store/trel_export.h"
#include "store/trel_pot.h"
#include "store/trel_said.h"
#include "structure/zam_pdb.h"

namespace {

// The positions and radii of one atom selection of an image (3 side chain,
// 4 main chain), owned.
struct AtomSet {
  AtomSet(const _pdb_image* image, int selection)
      : n(selection == 3 ? image->nsc : image->nmc),
        xyz(zam_ptsPdb(image, selection)),
        radii(zam_radPdb(image, selection)) {}
  ~AtomSet() {
    kfree(xyz);
    kfree(radii);
  }
  AtomSet(const AtomSet&) = delete;
  AtomSet& operator=(const AtomSet&) = delete;
  void move(const Matrix3D& F) {
    for (int i = 0; i < n; i++) xyz[i] = pt_tfpt(F, xyz[i]);
  }
  int n;
  Point3D* xyz;
  float* radii;
};

// The tag describes this image with the own class's coefficients at order N
// or more, so the frame it records is the one to keep.
bool tagHoldsOwnClass(const _trel_tag* tag, const _pdb_image* image, int pot_class, int order) {
  return tag->valid == 1 && tag->order >= order && tag->pot_class == pot_class &&
         tag->pot_flags[pot_class] == 1 && tag->n_atoms == image->natoms &&
         tag->n_backbone == image->nbb && tag->n_mainchain == image->nmc &&
         tag->n_sidechain == image->nsc;
}

// False (after the message) when the sampling grid is refused.
bool sampleClass(_trel_thing* thing, int c, int order, const AtomSet& side, const AtomSet& main,
                 const _trel_thing_opts* options) {
  trel_allocateThing(thing, c, order);
  if (zam_debug > 1)
    zam_msg("Calculating coefficients for %s, pot=%d, N=%d.\n", thing->name, c, order);
  return trel_coeff_calculate(order, c, options->grid_spacing, options->grid_extent, side.n, side.xyz,
                              side.radii, main.n, main.xyz, main.radii, thing->sig[c], thing->tau[c]) == 1;
}

double sum4(const double* v) { return v[0] + v[1] + v[2] + v[3]; }

// The own class first: sampled where the image stands, then the image, the
// atom sets and both arrays are turned into the canonical frame of its tau
// coefficients, whose measures go into the tag (scaled back to angstroms).
// False, with nothing moved, when the sampling grid is refused.
bool computeOwnClass(_trel_thing* thing, int pot_class, int order, AtomSet& side, AtomSet& main,
                     const _trel_thing_opts* options) {
  _trel_tag* tag = thing->tag;
  _pdb_image* image = thing->image;
  if (!sampleClass(thing, pot_class, order, side, main, options)) return false;
  const _zam_canonical_frame f = zam_gto_canonical(order, thing->tau[pot_class], 1);
  const double* upper = f.octant;
  const double* lower = f.octant + 4;
  if (zam_debug > 1) {
    zam_msg("Upper octant masses: [%.2lf, %.2lf, %.2lf, %.2lf] = %.2lf\n", upper[0], upper[1],
            upper[2], upper[3], sum4(upper));
    zam_msg("Lower octant masses: [%.2lf, %.2lf, %.2lf, %.2lf] = %.2lf\n", lower[0], lower[1],
            lower[2], lower[3], sum4(lower));
    zam_msg("Monopole mass:        %.2lf\n", f.monopole);
  }
  // The tag's measures, back in angstroms: the frame's three quadrupole
  // eigenvalues, its octant masses and monopole; the frame carries no centre
  // of its own (it turns about the origin), so its principal radii stand in
  // the centre slot.
  const double s = trel_potScale(pot_class);
  const double s3 = s * s * s, s5 = s3 * s * s;
  tag->centre[0] = f.radii.x / s;
  tag->centre[1] = f.radii.y / s;
  tag->centre[2] = f.radii.z / s;
  tag->mass = f.monopole / s3;
  for (int k = 0; k < 3; k++) tag->quad[k] = f.eigen[k] / s5;
  for (int k = 0; k < 4; k++) {
    tag->upper[k] = upper[k] / s5;
    tag->lower[k] = lower[k] / s5;
  }
  tag->pot_flags[pot_class] = 1;
  const Matrix3D F = f.transform;
  trel_moveThingSig(thing, pot_class, F);
  trel_moveThingTau(thing, pot_class, F);
  zam_movePdb(image, F);
  image->tf = tf_tftf(image->tf, F);
  side.move(F);
  main.move(F);
  // A saved object's image is read back from its PDB text later: it holds
  // the numbers of that text from here on, and the trace is built from them.
  if (thing->rounded) zam_roundPdbAsText(image);
  return true;
}

// An object whose coefficients could not be sampled: invalid, no class
// marked as held, so that nothing is written or matched from it.
void refuse(_trel_tag* tag) {
  tag->valid = 0;
  for (int& flag : tag->pot_flags) flag = 0;
}

void fill(_trel_thing* thing, int pot_class, const int* mask_in, int order,
          const _trel_thing_opts* options) {
  _trel_tag* tag = thing->tag;
  _pdb_image* image = thing->image;
  if (!image || image->nres < 1 || order < 1 || pot_class < 0 || pot_class >= TREL_POT_CLASSES) {
    tag->valid = 0;
    return;
  }
  int mask[TREL_POT_CLASSES] = {0, 0, 0, 0, 0};
  if (mask_in) std::memcpy(mask, mask_in, sizeof mask);
  const bool keep = tagHoldsOwnClass(tag, image, pot_class, order);
  AtomSet side(image, 3), main(image, 4);
  if (keep) {
    // The classes present hold at least this order; the new ones get it.
    tag->order = order;
  } else {
    // Coefficients of another image or order are no use: every class anew.
    if (tag->order > 0)
      for (int& m : mask) m = 1;
    for (int& flag : tag->pot_flags) flag = 0;
    tag->valid = 1;
    tag->order = order;
    tag->n_atoms = image->natoms;
    tag->n_backbone = image->nbb;
    tag->n_mainchain = image->nmc;
    tag->n_sidechain = image->nsc;
    tag->pot_class = pot_class;
    if (!computeOwnClass(thing, pot_class, order, side, main, options)) {
      refuse(tag);
      return;
    }
  }
  // Every further class is sampled from the atoms as they stand now: in the
  // frame of the own class, which the tag records.
  for (int c = 0; c < TREL_POT_CLASSES; c++)
    if (mask[c] == 1 && tag->pot_flags[c] == 0) {
      if (!sampleClass(thing, c, order, side, main, options)) {
        refuse(tag);
        return;
      }
      tag->pot_flags[c] = 1;
    }
  // The trace is built in the frame of the stored image and coefficients.
  trel_wipeTrace(&thing->trace);
  trel_loadTrace(image, pt_zero(), 1, 0, &thing->trace);
  trel_sayBreaks(thing, image, options->do_write);
  tag->n_residues = thing->trace.n;
  tag->frame = tf_inverse(image->tf);
}

int moveArray(_trel_thing* thing, int pot_class, Matrix3D transform, bool tau) {
  if (!thing || !thing->tag || pot_class < 0 || pot_class >= TREL_POT_CLASSES) return 0;
  double* values = tau ? thing->tau[pot_class] : thing->sig[pot_class];
  const int order = tau ? thing->tau_order[pot_class] : thing->sig_order[pot_class];
  if (!values || order < 1) return 0;
  std::vector<double> moved(static_cast<size_t>(anlm_size(order)));
  const int kinds[1] = {1};
  if (!zam_ligand_transform_anlm(order, 1, kinds, transform, values, moved.data())) {
    zam_err("Failed to move %s coefficients of %s (class %s).\n", tau ? "TAU" : "SIG", thing->name,
            trel_potCode(pot_class));
    return 0;
  }
  anlm_copy(order, moved.data(), values);
  return 1;
}

}  // namespace

void trel_loadThingTdb(_trel_thing* thing, int pot_class, const int* mask, int order,
                       const _trel_thing_opts* options) {
  if (!thing) return;
  const _trel_thing_opts defaults;
  if (!options) options = &defaults;
  if (!thing->tag) thing->tag = static_cast<_trel_tag*>(kget1B_0(sizeof(_trel_tag)));
  // The sampling and integration report every step: on the screen only when
  // asked. A quiet step, not a swap of the process's callback: objects are
  // opened on several threads at once, and what goes wrong in the step
  // (advisories, warnings, errors) still reaches the screen.
  const bool quiet = zam_debug <= 0;
  if (quiet) zam_logger_quiet(1);
  fill(thing, pot_class, mask, order, options);
  if (quiet) zam_logger_quiet(0);
  if (options->show_things || zam_debug > 0) trel_printThing(thing);
}

int trel_moveThingTau(_trel_thing* thing, int pot_class, Matrix3D transform) {
  return moveArray(thing, pot_class, transform, true);
}

int trel_moveThingSig(_trel_thing* thing, int pot_class, Matrix3D transform) {
  return moveArray(thing, pot_class, transform, false);
}
