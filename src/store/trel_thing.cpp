// Structure objects: creation, naming, coefficient arrays, the trace and
// image loaded on demand, the summary print, look-up, emptying and release.
#include "store/trel_thing.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "align/trel_backbone.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "store/trel_cache.h"
#include "store/trel_cath.h"
#include "store/trel_database.h"
#include "store/trel_folders.h"
#include "store/trel_pot.h"
#include "store/trel_sequence.h"
#include "structure/zam_kpdb.h"
#include "structure/zam_pdb.h"

namespace {

// The longest ending of an object's files ("_A.kpdb") and the hex digits of
// the hash that stands for the rest of a name too long for its folder.
constexpr size_t kLongestEnding = 7;
constexpr size_t kHashDigits = 8;

// An object's record, name and folder live as long as it: while a search's
// targets are opened they come from the allocator's pool, and closing ten
// thousand of them then takes no allocator lock.
_trel_thing* newThing() { return static_cast<_trel_thing*>(kget1B_pooled_0(sizeof(_trel_thing))); }

bool tagUsable(const _trel_thing* thing) {
  return thing->valid != 0 && thing->tag != nullptr && thing->tag->valid == 1;
}

// The image of a sequence object is its ideal backbone, built again from the
// sequence: the sequence file itself is no PDB file.
_pdb_image* sequenceImage(const _trel_thing* thing) {
  if (!thing->seq || thing->seq->length < 1 || !thing->seq->sequence) {
    zam_err("No sequence to rebuild the structure of %s from.\n", thing->name);
    return nullptr;
  }
  return trel_makeBackbone(thing->name, 'A', thing->seq->length, thing->seq->sequence, nullptr);
}

}  // namespace

_trel_said* trel_thingSaid(_trel_thing* thing) {
  if (!thing->said) thing->said = new _trel_said;
  return thing->said;
}

void trel_forgetSaid(_trel_thing* thing) {
  delete thing->said;
  thing->said = nullptr;
}

int64_t trel_anlmSize(int order) {
  if (order < 1) return 0;
  const int64_t n = order;
  return n * (n + 1) * (2 * n + 1) / 6;
}

_trel_thing* trel_createThing(const char* name, const char* folder) {
  _trel_thing* thing = newThing();
  thing->valid = 1;
  thing->name = kdupS_pooled(name ? name : "");
  thing->folder = kdupS_pooled(folder ? folder : "./");
  return thing;
}

_trel_thing* trel_createThingRef(const char* name, const char* folder) {
  _trel_thing* thing = newThing();
  thing->valid = 1;
  thing->member = 1;
  thing->name = const_cast<char*>(name);
  thing->folder = const_cast<char*>(folder);
  return thing;
}

void trel_setupThingRef(_trel_thing* thing, const char* name, const char* folder) {
  if (!thing) return;
  thing->valid = 1;
  thing->member = 1;
  thing->trace_borrowed = 0;
  thing->embedded = 1;
  thing->name = const_cast<char*>(name);
  thing->folder = const_cast<char*>(folder);
}

char* trel_nameThing(const _trel_thing* thing, char* buffer) {
  const char* folder = thing->folder ? thing->folder : "";
  const char* name = trel_thingName(thing);
  const size_t room = static_cast<size_t>(TREL_PATH_MAX) - kLongestEnding;
  const size_t used = strlen(folder);
  if (used + strlen(name) <= room) {
    snprintf(buffer, TREL_PATH_MAX + 1, "%s%s", folder, name);
    return buffer;
  }
  if (used + 1 + kHashDigits >= room) {
    buffer[0] = '\0';
    return nullptr;
  }
  snprintf(buffer, TREL_PATH_MAX + 1, "%s%s", folder, zam_hashName(name, room - used).c_str());
  return buffer;
}

char* trel_nameThingPot(const _trel_thing* thing, int pot_class, char* buffer) {
  if (!trel_nameThing(thing, buffer)) return nullptr;
  if (pot_class < 0) return buffer;
  const size_t n = strlen(buffer);
  snprintf(buffer + n, TREL_PATH_MAX + 1 - n, "_%s", trel_potCode(pot_class));
  return buffer;
}

char* trel_nameThingFile(const _trel_thing* thing, int pot_class, char* buffer) {
  if (trel_nameThingPot(thing, pot_class, buffer)) return buffer;
  zam_err("Folder name too long for the files of %s: %s\n", thing->name, thing->folder);
  return nullptr;
}

void trel_allocateThing(_trel_thing* thing, int pot_class, int order) {
  if (!thing || pot_class < 0 || pot_class >= TREL_POT_CLASSES) return;
  kfree(thing->sig[pot_class]);
  kfree(thing->tau[pot_class]);
  const int64_t n = trel_anlmSize(order);
  thing->sig[pot_class] = kget1D_0(n > 0 ? n : 1);
  thing->tau[pot_class] = kget1D_0(n > 0 ? n : 1);
  thing->sig_order[pot_class] = thing->tau_order[pot_class] = n > 0 ? order : 0;
  // The class's files are about to be written anew from these arrays.
  thing->sig_short[pot_class] = thing->tau_short[pot_class] = 0;
}

int trel_readThingTrace(_trel_thing* thing) {
  if (!thing || !tagUsable(thing)) return 0;
  if (thing->trace.seg) return 1;
  if (thing->trace_borrowed) return 0;
  const int n = thing->tag->n_residues;
  if (n < 1) return 0;
  if (thing->cached && thing->stamped) return trel_readCachedTrace(thing);
  char base[TREL_PATH_MAX + 1];
  if (!trel_nameThing(thing, base)) return 0;
  _trel_seg* seg = trel_read_trc(base, n);
  if (!seg) return 0;
  thing->trace.seg = seg;
  thing->trace.n = n;
  return 1;
}

namespace {

// The object's structure read again from where it came from (sequence,
// source file, database member, binary or plain image file; a cache file
// that fails its check is made again from the source); null after a report
// when it cannot be read.
_pdb_image* readImage(const _trel_thing* thing) {
  if (thing->from_sequence) return sequenceImage(thing);
  if (thing->source) return trel_readThingImage(thing);
  char base[TREL_PATH_MAX + 1];
  if (!trel_nameThingFile(thing, -1, base)) return nullptr;
  if (thing->member && zam_filesize((std::string(base) + (thing->binary ? ".kpdb" : ".pdb")).c_str()) < 0) {
    // Removed after the build: the member still has its database trace, so
    // the caller goes on without its structure and fails the run at the end.
    zam_wrn("Structure file of database member %s not found: %s.%s\n", thing->name, base,
            thing->binary ? "kpdb" : "pdb");
    return nullptr;
  }
  if (thing->binary) {
    _pdb_image* image = zam_readBinaryPdb(base, thing->name);
    if (!image) zam_err("Failed to read structure image of %s: %s.kpdb\n", thing->name, base);
    return image;
  }
  return zam_readPdb(base, thing->name);  // reports a file it cannot open
}

// Marks the image's residues with the secondary structure of the trace.
void markTrace(const _trel_thing* thing, _pdb_image* image) {
  if (!thing->trace.seg || image->nres <= 0) return;
  const int n = thing->trace.n;
  if (n != image->nres)
    zam_wrn("Trace of %s has %d residues but its structure has %d.\n", thing->name, n, image->nres);
  const int m = n < image->nres ? n : image->nres;
  for (int i = 0; i < m; i++) {
    image->residues[i].sse[0] = thing->trace.seg[i].sse;
    image->residues[i].sse[1] = '\0';
  }
}

}  // namespace

_pdb_image* trel_imageThing(_trel_thing* thing) {
  if (!thing) return nullptr;
  if (thing->image) return thing->image;
  thing->image = readImage(thing);
  _pdb_image* image = thing->image;
  if (!image) return nullptr;
  if (!thing->trace.seg) trel_readThingTrace(thing);
  markTrace(thing, image);
  return image;
}

_pdb_image* trel_loadThingImage(const _trel_thing* thing) {
  if (!thing) return nullptr;
  _pdb_image* image = readImage(thing);
  if (image) markTrace(thing, image);
  return image;
}

int trel_thingImageReloads(const _trel_thing* thing) {
  if (!thing || thing->dirty) return 0;
  if (thing->from_sequence) return thing->seq != nullptr;
  return thing->source != nullptr || thing->cached || thing->member;
}

int trel_releaseThingImage(_trel_thing* thing) {
  if (!thing || !thing->image || !trel_thingImageReloads(thing)) return 0;
  zam_freePdb(thing->image);
  thing->image = nullptr;
  return 1;
}

void trel_printThing(const _trel_thing* thing) {
  if (!thing || !thing->tag) return;
  const _trel_tag* tag = thing->tag;
  char code[TREL_CATH_NAME_SIZE];
  trel_cathName(tag->code, code);
  const char* name = trel_thingName(thing);
  if (tag->order < 1) {
    zam_msg("%s [%s]  S=%d, CA=%d, R=%.2lf\n", name, code, tag->valid, tag->n_residues,
            tag->radius);
    return;
  }
  char pots[16];
  const double q = std::sqrt(tag->quad[0] * tag->quad[0] + tag->quad[1] * tag->quad[1] +
                             tag->quad[2] * tag->quad[2]);
  zam_msg("%s [%s] \n", name, code);
  zam_msg("S=%d, CA=%d, R=%.2lf, N=%d, M=%.2lf, Q=%.2lf, Pots=%s\n", tag->valid,
          tag->n_residues, tag->radius, tag->order, tag->mass, q,
          trel_formatPots(tag->pot_flags, tag->pot_class, pots));
  if (zam_debug > 2) {
    // Guarded: an object without atoms or residues would print inf or nan.
    const double per_atom = tag->n_atoms > 0 ? tag->mass / tag->n_atoms : 0.0;
    const double per_ca = tag->n_residues > 0 ? tag->mass / tag->n_residues : 0.0;
    zam_msg("M/NA = %.2lf,  M/CA = %.2lf\n", per_atom, per_ca);
  }
}

int trel_lookupThing(const char* name, _trel_thing* const* things, int n) {
  if (!name || !things || n < 1) return -1;
  for (int i = 0; i < n; i++)
    if (things[i] && things[i]->name && strcmp(things[i]->name, name) == 0) return i;
  return -1;
}

std::string trel_giveName(_trel_names* names, const std::string& root, const std::string& file,
                          const char* note) {
  const auto holder = names->held.find(root);
  if (holder == names->held.end()) {
    names->held.emplace(root, file);
    return root;
  }
  std::string name;
  for (int k = 2;; k++) {
    name = root + "_" + std::to_string(k);
    if (!names->avoid.count(name) && !names->held.count(name)) break;
  }
  zam_wrn("%s has the name %s of %s: it is named %s%s.\n", file.c_str(), root.c_str(), holder->second.c_str(),
          name.c_str(), note ? note : "");
  names->held.emplace(name, file);
  return name;
}

int trel_emptyThing(_trel_db* db, _trel_thing* thing) {
  if (!thing) return 1;
  // Into the database being built, else into the object's cache files.
  const int ok = thing->dirty ? trel_writeDatabase(db, thing) : 1;
  // A search empties every database member, and most hold nothing of their
  // own: only what is there is released, with no call for the rest.
  if (thing->seq) {
    trel_freeSequence(thing->seq);
    thing->seq = nullptr;
  }
  if (thing->image) {
    zam_freePdb(thing->image);
    thing->image = nullptr;
  }
  for (int c = 0; c < TREL_POT_CLASSES; c++) {
    if (thing->sig[c]) {
      kfree(thing->sig[c]);
      thing->sig[c] = nullptr;
      thing->sig_order[c] = 0;
    }
    if (thing->tau[c]) {
      kfree(thing->tau[c]);
      thing->tau[c] = nullptr;
      thing->tau_order[c] = 0;
    }
  }
  return ok;
}

int trel_closeThing(_trel_db* db, _trel_thing* thing) {
  if (!thing) return 1;
  const int ok = trel_emptyThing(db, thing);
  if (!thing->member) {
    kfree(thing->folder);
    kfree(thing->name);
  }
  thing->folder = nullptr;
  thing->name = nullptr;
  if (thing->source) {
    kfree(thing->source);
    thing->source = nullptr;
  }
  if (!thing->tag_borrowed) kfree(thing->tag);
  thing->tag = nullptr;
  trel_forgetSaid(thing);
  if (!thing->trace_borrowed) trel_wipeTrace(&thing->trace);
  if (!thing->embedded) kfree(thing);
  return ok;
}
