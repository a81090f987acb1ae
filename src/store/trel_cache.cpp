// Per-structure cache files, the open side: opening objects from their cache
// files or building them from PDB and sequence files, and reading the tag,
// trace, image and coefficient files (they are written in
// trel_cache_write.cpp).
#include "store/trel_cache.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "align/trel_backbone.h"
#include "align/trel_trace.h"
#include "geometry/zam_geom.h"
#include "harmonics/zam_radial.h"
#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_filesum.h"
#include "runtime/zam_identity.h"
#include "runtime/zam_log.h"
#include "runtime/zam_string.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"
#include "runtime/zam_vm.h"
#include "runtime/zam_whole.h"
#include "store/trel_cache_check.h"
#include "store/trel_cache_open.h"
#include "store/trel_cath.h"
#include "store/trel_folders.h"
#include "store/trel_pot.h"
#include "store/trel_said.h"
#include "store/trel_sequence.h"
#include "structure/zam_kpdb.h"
#include "structure/zam_pdb.h"

namespace {

std::atomic<int> builds{0};

// The kind of an object's file in its check line: its extension, and the
// class letter for a coefficient file ("tau_B").
std::string fileKind(const char* ext, int pot_class) {
  return pot_class < 0 ? std::string(ext) : std::string(ext) + "_" + trel_potCode(pot_class);
}

std::string withExtension(const char* base, const char* ext) {
  char file[TREL_PATH_MAX + 1];
  return zam_filename(base, ext, file);
}

// The extension of the object's image file: a raw image or PDB text.
const char* imageExt(const _trel_thing* thing) { return thing->binary ? "kpdb" : "pdb"; }

// Everything a tag says about itself must hold before it is trusted: a file
// of the right size can still hold rubbish. Its order sizes coefficient
// arrays and the rotation tables that move them, which go no higher than
// the radial tables.
bool tagSane(const _trel_tag& tag) {
  return tag.valid == 1 && tag.n_residues > 0 && tag.order >= 0 && tag.order <= ZAM_NMAX &&
         tag.pot_class >= 0 && tag.pot_class < TREL_POT_CLASSES;
}

// Whether two paths name one file: the same text, or one regular file
// reached both ways (links followed).
bool namesOneFile(const char* a, const char* b) {
  if (strcmp(a, b) == 0) return true;
  _zam_identity x{}, y{};
  return zam_identityAt(a, &x, nullptr, true) && zam_identityAt(b, &y, nullptr, true) && x.dev == y.dev &&
         x.ino == y.ino;
}

// A file at one of the object's cache names that is not trel's, or cannot
// be read to tell: one warning naming it; it is left as it is, and the
// object is not cached (it keeps what it is built from).
void keepTheirs(const std::string& file, TrelCheck check, const char* name) {
  const std::string why = trel_checkText(check);
  zam_wrn("File %s %s: it is left as it is, and %s is not cached.\n", file.c_str(), why.c_str(), name);
}

// Names a cache file of the object that cannot serve, which is rebuilt from
// its source: a changed source (or other reading options) is news, anything
// else a warning.
void sayRebuilding(const std::string& file, TrelCheck check, const char* name) {
  const std::string why = trel_checkText(check);
  if (check == TREL_CHECK_FOREIGN || check == TREL_CHECK_OPTIONS)
    zam_msg("Cache file %s %s: rebuilding %s.\n", file.c_str(), why.c_str(), name);
  else
    zam_wrn("Cache file %s %s: rebuilding %s.\n", file.c_str(), why.c_str(), name);
}

// A cache file of the object that cannot serve: one message naming it, and
// the object is rebuilt from its source; when the file is not trel's it is
// kept, and the object is not cached (save cleared). Returns false.
bool refuse(_trel_thing* thing, const std::string& file, TrelCheck check) {
  if (trel_checkReplaceable(check)) {
    sayRebuilding(file, check, thing->name);
  } else {
    thing->save = 0;
    keepTheirs(file, check, thing->name);
  }
  return false;
}

// A coefficient file's bytes hold a whole array of at least the tag's order.
bool coefficientsWhole(const std::string& bytes, int order) {
  int32_t header[2] = {0, 0};
  if (bytes.size() < sizeof header) return false;
  memcpy(header, bytes.data(), sizeof header);
  return header[0] >= order && header[0] >= 1 && header[0] <= ZAM_NMAX &&
         header[1] == trel_anlmSize(header[0]) &&
         bytes.size() == sizeof header + static_cast<size_t>(header[1]) * sizeof(double);
}

// The stamp of the source file at path (and its identity when settled);
// false after "Failed to read source file", when nothing can be served or
// built from it.
bool stampSource(const char* path, _trel_stamp* stamp, _zam_identity* id) {
  if (trel_stampFile(path, stamp, id)) return true;
  zam_err("Failed to read source file %s [%s]\n", path, strerror(errno));
  return false;
}

// What an open of a cached object keeps of the files it checked: each file
// is read once, and what the object holds comes from those checked bytes.
struct Checked {
  std::string trace;                            // the trace records
  std::string coefficients[TREL_POT_CLASSES][2];  // the sig and tau files of the classes asked for
};

// Whether the open asks for class c of an object of own class own: pots[c]
// above 0, or -1 in the slot of the own class (as trel_openThings reads
// them); none without pots.
bool askedFor(const int* pots, int c, int own) {
  if (!pots) return false;
  if (pots[c] > 0) return true;
  return c == own && std::find(pots, pots + TREL_POT_CLASSES, -1) != pots + TREL_POT_CLASSES;
}

// The coefficient arrays an open kept, checked, in the object at the tag's
// order (the files hold that order or more).
void holdCoefficients(_trel_thing* thing, const Checked& kept) {
  const int order = thing->tag->order;
  const int64_t n = trel_anlmSize(order);
  for (int c = 0; c < TREL_POT_CLASSES; c++)
    for (const int e : {0, 1}) {
      const std::string& bytes = kept.coefficients[c][e];
      if (bytes.empty() || n < 1) continue;
      double*& slot = e ? thing->tau[c] : thing->sig[c];
      kfree(slot);
      slot = kget1D_0(n);
      memcpy(slot, bytes.data() + 2 * sizeof(int32_t), static_cast<size_t>(n) * sizeof(double));
      (e ? thing->tau_order[c] : thing->sig_order[c]) = order;
    }
}

// Checks the cache files of the object at base that an open reads against
// the source stamp, after its tag (in thing->tag): each file the tag stands
// for (trace, the sig and tau files of its classes). The image file is checked
// only when the image is loaded (trel_readThingImage): most objects of a
// search are scored by their traces alone. The trace records, and the sig
// and tau files of the classes pots asks for, go to kept. False after one
// message naming the first file that cannot serve.
bool checkFiles(_trel_thing* thing, const char* base, const int* pots, Checked* kept) {
  const _trel_tag* tag = thing->tag;
  const _trel_stamp& source = thing->stamp;
  std::string bytes;
  const std::string trace_file = withExtension(base, "trc");
  std::string* trace = &kept->trace;
  TrelCheck c = trel_checkCacheFile(trace_file.c_str(), "trc", source, trace);
  if (c == TREL_CHECK_OK && trace->size() != static_cast<size_t>(tag->n_residues) * sizeof(_trel_seg))
    c = TREL_CHECK_DAMAGED;
  if (c != TREL_CHECK_OK) return refuse(thing, trace_file, c);

  if (tag->order < 1) return true;
  char class_base[TREL_PATH_MAX + 1];
  for (int k = 0; k < TREL_POT_CLASSES; k++) {
    if (tag->pot_flags[k] != 1) continue;
    for (const int e : {0, 1}) {
      const char* ext = e ? "tau" : "sig";
      const std::string file = withExtension(trel_nameThingPot(thing, k, class_base), ext);
      c = trel_checkCacheFile(file.c_str(), fileKind(ext, k).c_str(), source, &bytes);
      if (c == TREL_CHECK_OK && !coefficientsWhole(bytes, tag->order)) c = TREL_CHECK_DAMAGED;
      if (c != TREL_CHECK_OK) return refuse(thing, file, c);
      if (askedFor(pots, k, tag->pot_class)) kept->coefficients[k][e] = std::move(bytes);
    }
  }
  return true;
}

// Serves the object from its cache files when they were made from the
// source file at path (its stamp is kept) and every one of them is whole:
// the tag, and the trace records it stands for. Otherwise the tag stays
// zero-filled, so that the object is built anew; a file that cannot serve
// is named in one message, while no tag file at all is said nothing of.
// False when the source itself cannot be read (reported): then nothing can
// be served or built. known, when not null and known (inode not 0), is the
// identity the source had when its list was read: it is not looked at again.
bool readCached(_trel_thing* thing, const char* path, const int* pots, Checked* kept, const _zam_identity* known) {
  _trel_tag* tag = thing->tag;
  memset(tag, 0, sizeof *tag);
  char base[TREL_PATH_MAX + 1];
  if (!trel_nameThing(thing, base)) return true;  // no cache files fit in that folder
  const std::string tag_file = withExtension(base, "trq");
  // The tag file first: its line records the stamp of the source its object
  // was made from, and the file the source's identity then.
  std::string bytes;
  _trel_stamp recorded{};
  _zam_identity id{};
  _trel_said said;
  TrelCheck c = trel_readTagFile(tag_file.c_str(), &bytes, &recorded, &id, &said);
  if (c == TREL_CHECK_MISSING) return true;
  // A source that stands as it stood then is known by its identity: not a
  // byte of it is read. Any other is read and its checksum taken, and a tag
  // that passes then learns its identity now (when the object keeps its
  // files), so that the next open need not read it. A tag that cannot serve
  // leaves the source to the build, which reads it once.
  _zam_identity now{};
  if (known && known->ino != 0) now = *known;
  bool learn = false;
  if (c == TREL_CHECK_OK && (now.ino != 0 || zam_identityAt(path, &now, nullptr, true)) && zam_sameIdentity(id, now)) {
    thing->stamp = recorded;
    thing->stamp.options = trel_readingKey();
    thing->source_id = id;
    thing->stamped = 1;
  } else if (c == TREL_CHECK_OK) {
    thing->stamped = stampSource(path, &thing->stamp, &thing->source_id);
    if (!thing->stamped) return false;
    learn = thing->source_id.ino != 0;
  }
  if (c == TREL_CHECK_OK) c = trel_compareStamp(recorded, thing->stamp);
  if (c == TREL_CHECK_OK && bytes.size() != sizeof(_trel_tag)) c = TREL_CHECK_DAMAGED;
  if (c == TREL_CHECK_OK) {
    memcpy(static_cast<void*>(tag), bytes.data(), sizeof(_trel_tag));
    if (!tagSane(*tag)) c = TREL_CHECK_DAMAGED;
  }
  if (c == TREL_CHECK_OLDER) {
    // Every file of a cache made by an older version is: the run says so
    // once for all its objects (trel_sayOlder), the log names each.
    thing->older = 1;
    zam_log("Cache file %s was written by an older version: rebuilding %s.\n", tag_file.c_str(), thing->name);
  } else if (c != TREL_CHECK_OK) {
    refuse(thing, tag_file, c);
  }
  if (c != TREL_CHECK_OK) {
    memset(tag, 0, sizeof *tag);
    return true;
  }
  if (!checkFiles(thing, base, pots, kept)) {
    memset(tag, 0, sizeof *tag);
    return true;
  }
  const std::string& trace = kept->trace;
  // The records go to a block of this thread's own: its pages are taken by
  // the copy here, side by side on the workers of a threaded open.
  auto* seg = static_cast<_trel_seg*>(zam_vm_get_pooled(static_cast<int64_t>(trace.size())));
  if (!seg) {
    memset(tag, 0, sizeof *tag);
    return true;
  }
  memcpy(static_cast<void*>(seg), trace.data(), trace.size());
  trel_wipeTrace(&thing->trace);
  thing->trace.seg = seg;
  thing->trace.n = tag->n_residues;
  if (zam_debug >= 3) zam_log("Reading TRC file: %s\n", withExtension(base, "trc").c_str());
  // The image is made from the source, placed as the tag says, when the
  // image file fails its check, or would be the source itself (cache files
  // beside their source, which has the image file's name: never written;
  // told when the image is loaded, which most objects never are).
  thing->source = kdupS_pooled(path);
  thing->check_image = 1;
  if (learn && thing->save) {
    _trel_tag copy = *tag;
    const _trel_private_files own;
    trel_write_tag(base, &copy, &thing->stamp, &thing->source_id, &said);
  }
  // What reading and building it said, said when it is served (the open
  // decides).
  if (!said.read.empty() || !said.built.empty()) *trel_thingSaid(thing) = std::move(said);
  return true;
}

// The folder of an object's files: the source's own folder for "./" (the
// cache off), else the cache folder, with a trailing "/".
std::string thingFolder(const char* path, const char* cache_folder) {
  if (!cache_folder || strcmp(cache_folder, "./") == 0) {
    const char* slash = strrchr(path, '/');
    return slash ? std::string(path, slash + 1) : std::string("./");
  }
  std::string folder = cache_folder;
  if (folder.empty()) return "./";
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string codeText(const _trel_tag* tag) {
  char code[TREL_CATH_NAME_SIZE];
  return trel_cathName(tag->code, code);
}

// The PDB file at path read once, and stamped (into stamp when given,
// *stamped telling whether it could be) from the very bytes that are parsed,
// as they are read; said_as, when given, the name the reader's messages
// give it. Null after the reader's report when it gives no image.
_pdb_image* readPdbStamped(const char* path, const char* name, _trel_stamp* stamp, int* stamped,
                           _zam_identity* id = nullptr, const char* said_as = nullptr) {
  if (!stamp) return zam_readPdb(path, name);  // reports a file it cannot open
  _zam_filesum sum;
  _pdb_image* image = zam_readPdbSummed(path, name, &sum, said_as);
  *stamped = trel_stampSum(sum, stamp, id);
  return image;
}

// Reads and imports the PDB file of a trace or descriptor object, read once
// and stamped from the bytes parsed when stamp is set (an object whose cache
// files carry that stamp). Null (with tag->valid 0) when it cannot be read
// or has no residues, both reported.
_pdb_image* readSource(_trel_thing* thing, const char* path, bool stamp) {
  _trel_stamp read;
  _zam_identity id{};
  int stamped = 0;
  // What the reader says of the source is kept for the object's tag file,
  // the source named by a mark, and said now from what is kept, naming the
  // file as the reader opened it: a run served from the tag file says it
  // again so, naming the source it reads.
  _trel_keeping keeping;
  _pdb_image* image =
      readPdbStamped(path, thing->name, stamp ? &read : nullptr, &stamped, &id, trel_saidName());
  std::string said = keeping.end(trel_saidName());
  keeping.drop();
  trel_sayRead(thing, std::move(said), image && image->path ? image->path : path);
  if (stamp) {
    thing->stamped = stamped;
    if (stamped) {
      thing->stamp = read;
      thing->source_id = id;
    }
  }
  if (image && image->nres < 1) {
    // A warning: the caller decides whether the run can go on without it.
    zam_wrn("No residues found in PDB file: %s\n", path);
    zam_freePdb(image);
    image = nullptr;
  }
  if (!image) thing->tag->valid = 0;
  return image;
}

// Sets every atom coordinate to the number the PDB text of a database's
// image file gives back ("%8.3f", read with strtod): a member built now and
// read from its database later then holds the very same image, and the trace
// built from it matches the image the database search reads.
void roundAsText(_pdb_image* image) { zam_roundPdbAsText(image); }

bool isIdentity(const Matrix3D& m) {
  const Matrix3D one = tf_identity();
  for (int k = 0; k < 12; k++)
    if (m.m[k] != one.m[k]) return false;
  return true;
}

// Places an image of the object's source, its atoms as the source gave them
// (read from the source or from the image file, which holds them so), where
// the object's image stands: centred as every import centres it
// (zam_importPdb: the same sums in the same order, so the very numbers of a
// run without the cache), then turned as the tag's frame says beyond the
// centring (a descriptor object's canonical frame, a random turn). The turn
// is had from the frame and that centre alone, so every run that places one
// source by one tag gets the same numbers; for an object only centred it is
// exactly none (the frame is the centring's exact inverse).
void placeImage(const _trel_thing* thing, _pdb_image* image) {
  zam_importPdb(image, 0);
  if (!thing->tag || thing->tag->valid != 1) return;
  const Matrix3D turn = tf_tftf(tf_inverse(image->tf), tf_inverse(thing->tag->frame));
  if (isIdentity(turn)) return;
  zam_movePdb(image, turn);
  image->tf = tf_tftf(image->tf, turn);
}

// A turned object (a descriptor object's canonical frame, a random turn)
// built now for the cache takes from here on the image its later runs place
// from its image file (placeImage), which differs in the last bits from the
// image the turns moved one after the other. Its trace and coefficients stay
// as built: their files hold them so. Not for a database member, whose image
// file holds its image as it stands.
void settleImage(_trel_thing* thing, bool save, const _trel_thing_opts* options) {
  _pdb_image* image = thing->image;
  if (!save || options->database_images || !image || !thing->tag || thing->tag->valid != 1) return;
  zam_resetPdb(image);
  image->tf = tf_identity();
  placeImage(thing, image);
}

void lookupCode(_trel_thing* thing, const _trel_thing_opts* options) {
  if (options->with_lookup) trel_lookupCath(thing->name, thing->tag->code);
}

// Starts a fresh build of an object from its PDB file: a cleared tag with the
// looked-up code, the image read, imported (radius into the tag) and, for a
// database member whose image file is PDB text (database_images 1), rounded as
// that file holds it before anything is built from it. False when the file
// gave no image (reported).
bool buildImage(_trel_thing* thing, const char* path, const _trel_thing_opts* options, bool save) {
  _trel_tag* tag = thing->tag;
  memset(tag, 0, sizeof *tag);
  lookupCode(thing, options);
  builds++;
  // The cache files of a saved object carry the stamp of the very bytes
  // it is built from: the source is read once.
  thing->image = readSource(thing, path, save);
  tag->source_mark = thing->stamped ? static_cast<int32_t>(thing->stamp.crc) : 0;
  if (!thing->image) return false;
  tag->radius = zam_importPdb(thing->image, options->use_random);
  thing->rounded = save && options->database_images == 1 ? 1 : 0;
  if (thing->rounded) roundAsText(thing->image);
  return true;
}

// known: the source's identity when its list was read, or null.
void openDescriptor(_trel_thing* thing, const char* path, const char* cache_folder, int order,
                    const _trel_thing_opts* options, const int* pots, int force, bool save,
                    const _zam_identity* known) {
  _trel_tag* tag = thing->tag;
  Checked kept;
  if (!thing->tag_borrowed && !readCached(thing, path, pots, &kept, known)) return;
  int mask[TREL_POT_CLASSES] = {0, 0, 0, 0, 0};
  const bool rebuild = force || options->use_force;
  if (tag->valid == 1) {
    bool compatible = tag->order >= order;
    if (compatible && tag->order > 0)
      compatible = trel_potMask(pots, tag->pot_class, tag->pot_flags, mask) == 0;
    if (compatible) {
      thing->cached = 1;
      trel_saySaid(thing, options->do_write);
      holdCoefficients(thing, kept);
      if (zam_debug > 2) zam_msg("Found %s [%s]\n", thing->name, codeText(tag).c_str());
      return;
    }
    if (!rebuild) {
      zam_msg("Object %s is not compatible with the given options (use \"-force\" next time?).\n",
              thing->name);
      if (tag->order <= order)
        zam_msg("   Object %s has N=%d, but N=%d was requested.\n", thing->name, tag->order, order);
      tag->valid = 0;
      return;
    }
    // Only classes missing: the ones present stay, and the new ones are
    // sampled in their frame, the source's atoms placed as the tag records.
    // Too low an order: every requested class anew, at the requested order.
    const bool classes_only = tag->order >= order;
    if (!classes_only) {
      const int none[TREL_POT_CLASSES] = {0, 0, 0, 0, 0};
      trel_potMask(pots, tag->pot_class, none, mask);
      tag->order = 0;
    }
    lookupCode(thing, options);
    zam_msg("Re-creating %s [%s] (%s) as %s\n", thing->name, codeText(tag).c_str(), path,
            thing->name);
    builds++;
    // The image is made here and is kept: it is never had again from the source.
    kfree(thing->source);
    thing->source = nullptr;
    thing->check_image = 0;
    thing->image = readSource(thing, path, save);
    if (!thing->image) return;
    if (classes_only)
      placeImage(thing, thing->image);
    else
      zam_importPdb(thing->image, 0);  // the stored radius is kept
    thing->rounded = save && options->database_images == 1 ? 1 : 0;
    if (thing->rounded) roundAsText(thing->image);
    trel_loadThingTdb(thing, tag->pot_class, mask, order, options);
    settleImage(thing, save, options);
    return;
  }
  if (!rebuild) {
    zam_msg("Object %s not found in %s and rebuild not set (use \"-force\" next time?).\n",
            thing->name, cache_folder ? cache_folder : "");
    tag->valid = 0;
    return;
  }
  if (!buildImage(thing, path, options, save)) return;
  const int pot_class = trel_potRadius(tag->radius);
  if (options->use_random) {
    for (int& m : mask) m = 1;
  } else {
    trel_potMask(pots, pot_class, tag->pot_flags, mask);
  }
  if (options->with_lookup)
    zam_msg("Creating %s [%s] from %s\n", thing->name, codeText(tag).c_str(), path);
  trel_loadThingTdb(thing, pot_class, mask, order, options);
  settleImage(thing, save, options);
}

void openSequence(_trel_thing* thing, const char* path, const _trel_thing_opts* options) {
  thing->from_sequence = 1;
  _trel_seq* seq = trel_readSequence(path);
  thing->seq = seq;
  if (!seq) {
    zam_err("No sequence found in file: %s\n", path);
    return;
  }
  if (options->do_write) {
    zam_msg("Loaded SEQUENCE file: %s\n", path);
    zam_msg("\n");
    trel_printSequenceFasta(seq);
  }
  if (seq->length < 1 || !seq->sequence) {
    zam_err("No residues in SEQUENCE file: %s\n", path);
    return;
  }
  builds++;
  thing->image = trel_makeBackbone(thing->name, 'A', seq->length, seq->sequence, nullptr);
  trel_loadThingTrel(thing, 1, options);
}

// fresh: built from its source whatever files lie at its base path. known:
// the source's identity when its list was read, or null.
void openTrace(_trel_thing* thing, const char* path, const char* cache_folder,
               const _trel_thing_opts* options, int force, bool save, bool fresh, const _zam_identity* known) {
  _trel_tag* tag = thing->tag;
  Checked kept;
  if (!thing->tag_borrowed && !fresh && !readCached(thing, path, nullptr, &kept, known)) return;
  if (tag->valid == 1) {
    thing->cached = 1;  // accepted as it stands, whatever options built it
    trel_saySaid(thing, options->do_write);
    return;
  }
  if (!force) {
    zam_msg("Object %s not found in %s and rebuild not set.\n", thing->name,
            cache_folder ? cache_folder : "");
    tag->valid = 0;
    return;
  }
  if (!buildImage(thing, path, options, save)) return;
  // Without a random turn the import is repeatable: the image can be freed
  // and read again from its source when it is needed.
  if (!options->use_random) thing->source = kdupS(path);
  const int pot_class = trel_potRadius(tag->radius);
  if (options->with_lookup)
    zam_msg("Creating %s [%s] from %s\n", thing->name, codeText(tag).c_str(), path);
  trel_loadThingTrel(thing, pot_class, options);
  if (options->use_random) settleImage(thing, save, options);
}

// trel_read_anlm of a coefficient file of an object served from its cache
// files: read once and checked against its source stamp, the array taken
// from those bytes; a file that fails is named in an error (0).
int readCheckedAnlm(const _trel_thing* thing, const std::string& path, const std::string& kind, int order,
                    double* values) {
  std::string bytes;
  TrelCheck c = trel_checkCacheFile(path.c_str(), kind.c_str(), thing->stamp, &bytes);
  if (c == TREL_CHECK_OK && !coefficientsWhole(bytes, 1)) c = TREL_CHECK_DAMAGED;
  if (c != TREL_CHECK_OK) {
    const std::string why = trel_checkText(c);
    zam_err("Cache file %s %s: the coefficients of %s cannot be had from it.\n", path.c_str(), why.c_str(),
            thing->name);
    return 0;
  }
  int32_t header[2];
  memcpy(header, bytes.data(), sizeof header);
  const int stored = header[0];
  const int64_t count = trel_anlmSize(std::min(order, stored));
  if (stored < order) memset(values, 0, static_cast<size_t>(trel_anlmSize(order)) * sizeof(double));
  memcpy(values, bytes.data() + sizeof header, static_cast<size_t>(count) * sizeof(double));
  if (stored >= order) return 1;
  zam_wrn("Requested N=%d but found N=%d in file: %s\n", order, stored, path.c_str());
  return 2;
}

int readCoefficients(_trel_thing* thing, int pot_class, int order, bool tau) {
  if (!thing || !thing->valid || !thing->tag || thing->tag->valid != 1) return 0;
  if (pot_class < 0 || pot_class >= TREL_POT_CLASSES) return 0;
  double*& slot = tau ? thing->tau[pot_class] : thing->sig[pot_class];
  if (slot) return 1;
  // A file found to hold too low an order stays so: it is not read, nor
  // warned about, again for every match that asks for it.
  int& short_order = tau ? thing->tau_short[pot_class] : thing->sig_short[pot_class];
  if (short_order > 0 && order >= short_order) return 2;
  char base[TREL_PATH_MAX + 1];
  if (!trel_nameThingFile(thing, pot_class, base)) return 0;
  const std::string path = withExtension(base, tau ? "tau" : "sig");
  if (zam_debug > 2) zam_log(tau ? "Reading TAU file: %s\n" : "Reading SIG file: %s\n", path.c_str());
  const int64_t n = trel_anlmSize(order);
  double* values = kget1D_0(n > 0 ? n : 1);
  // The files of an object served from its cache are checked as they are read.
  const int result = thing->cached && thing->stamped
                         ? readCheckedAnlm(thing, path, fileKind(tau ? "tau" : "sig", pot_class), order, values)
                         : trel_read_anlm(path.c_str(), order, values);
  // A file of lower order than asked would serve zeros in place of the
  // missing coefficients: such an array is never kept.
  if (result == 1) {
    slot = values;
    (tau ? thing->tau_order[pot_class] : thing->sig_order[pot_class]) = order;
  } else {
    kfree(values);
    if (result == 2) short_order = order;
  }
  return result;
}

// The name of a source file's object: the sanitised root of its file name.
// root holds TREL_PATH_MAX + 1 bytes.
void objectRoot(const char* path, char* root) {
  char buffer[TREL_PATH_MAX + 1];
  zam_basename(path, buffer);
  zam_rootname(buffer, root);
  str_sanitise(root);
}

// trel_openThingFile; a given name replaces the file's root name, and such
// an object is built from its source whatever cache files lie beside it.
// known: the source's identity when its list was read, or null.
_trel_thing* openThing(const char* path, const char* cache_folder, int order, int is_sequence,
                       const _trel_thing_opts* options, const int* pots, int force, int save,
                       const char* name, const _zam_identity* known) {
  const _trel_thing_opts defaults;
  if (!options) options = &defaults;
  const int own_only[TREL_POT_CLASSES] = {-1, 0, 0, 0, 0};
  if (!pots) pots = own_only;
  if (!path) path = "";

  char root[TREL_PATH_MAX + 1];
  objectRoot(path, root);
  if (name) std::snprintf(root, sizeof root, "%s", name);
  const std::string folder = thingFolder(path, cache_folder);
  _trel_thing* thing = trel_createThing(root, folder.c_str());
  thing->tag = static_cast<_trel_tag*>(kget1B_pooled_0(sizeof(_trel_tag)));
  thing->save = save != 0;

  if (root[0] == '\0') {
    zam_err("No structure file name in \"%s\".\n", path);
  } else if (options->with_spf) {
    openDescriptor(thing, path, cache_folder, order, options, pots, force, save != 0, known);
  } else if (is_sequence) {
    openSequence(thing, path, options);
  } else {
    openTrace(thing, path, cache_folder, options, force, save != 0, name != nullptr, known);
  }

  if (thing->tag->valid == 1) {
    thing->valid = 1;
    // A sequence object is never cached: its files would land beside the
    // user's sequence file and could replace a PDB file of the same name.
    // Nor is one whose cache names hold files that are not trel's.
    if (thing->save && !thing->from_sequence) thing->dirty = 1;
  }
  return thing;
}

}  // namespace

_trel_thing* trel_openThingFile(const char* path, const char* cache_folder, int order,
                                int is_sequence, const _trel_thing_opts* options, const int* pots,
                                int force, int save) {
  _trel_thing* thing = openThing(path, cache_folder, order, is_sequence, options, pots, force, save, nullptr, nullptr);
  trel_sayOlder(&thing, 1, false);
  return thing;
}

_trel_thing* trel_openThingNamed(const char* path, const char* cache_folder, int order, int is_sequence,
                                 const _trel_thing_opts* options, const int* pots, int force, int save,
                                 const char* name, const _zam_identity* known) {
  return openThing(path, cache_folder, order, is_sequence, options, pots, force, save, name, known);
}

void trel_sayOlder(_trel_thing* const* things, int n, bool once) {
  // A list says it once for the run: a cache an older version made is
  // older in every object's files.
  static std::atomic<bool> said{false};
  const _trel_thing* first = nullptr;
  for (int i = 0; i < n && !first; i++)
    if (things[i] && things[i]->older) first = things[i];
  char base[TREL_PATH_MAX + 1];
  if (!first || !trel_nameThing(first, base)) return;
  const std::string file = withExtension(base, "trq");
  if (!once)
    zam_wrn("Cache file %s was written by an older version: rebuilding %s.\n", file.c_str(), first->name);
  else if (!said.exchange(true))
    zam_wrn("Cache files written by an older version are rebuilt, from %s on (the log names each).\n",
            file.c_str());
}

void trel_objectRoot(const char* path, char* root) { objectRoot(path, root); }

std::string trel_thingFolder(const char* path, const char* cache_folder) { return thingFolder(path, cache_folder); }

bool trel_tagSane(const _trel_tag& tag) { return tagSane(tag); }

TrelCheck trel_readTagFile(const char* path, std::string* bytes, _trel_stamp* recorded, _zam_identity* id,
                           _trel_said* said) {
  // No larger file is read: its record would pass the bounds.
  constexpr size_t head = sizeof(_trel_tag) + sizeof *id;
  constexpr int64_t most = static_cast<int64_t>(head) + TREL_SAID_BYTES + TREL_CHECK_LINE;
  const TrelCheck c = trel_readCacheFile(path, "trq", bytes, recorded, most);
  if (c != TREL_CHECK_OK) return c;
  if (bytes->size() < head || !trel_saidFromBytes(bytes->data() + head, bytes->size() - head, said))
    return TREL_CHECK_DAMAGED;
  memcpy(id, bytes->data() + sizeof(_trel_tag), sizeof *id);
  bytes->resize(sizeof(_trel_tag));
  bytes->shrink_to_fit();  // the record is held once, in said
  return TREL_CHECK_OK;
}

bool trel_namesOneFile(const char* a, const char* b) { return namesOneFile(a, b); }

std::string trel_cacheFileName(const char* base, const char* ext) { return withExtension(base, ext); }

std::string trel_cacheFileKind(const char* ext, int pot_class) { return fileKind(ext, pot_class); }

const char* trel_imageExt(const _trel_thing* thing) { return imageExt(thing); }

void trel_keepTheirs(const std::string& file, TrelCheck check, const char* name) { keepTheirs(file, check, name); }

_pdb_image* trel_reloadThingSource(const _trel_thing* thing) {
  if (!thing || !thing->source) return nullptr;
  // Only the very bytes a stamped object was made from serve: read once and
  // stamped, as a build reads them.
  _trel_stamp now;
  int stamped = 0;
  _pdb_image* image = nullptr;
  {
    // What the reader says of the source was said when the object was made
    // (or served from its cache files, which kept it): a read that gives
    // the image again says nothing more; one that fails says why.
    _trel_keeping keeping;
    const int errors = zam_err_count();
    image = thing->stamped ? readPdbStamped(thing->source, thing->name, &now, &stamped)
                           : zam_readPdb(thing->source, thing->name);  // reports a file it cannot open
    const int err = errno;
    keeping.end();
    if (image && zam_err_count() == errors)
      keeping.drop();
    else
      keeping.say();
    errno = err;
  }
  if (thing->stamped) {
    if (!stamped) {
      zam_err("Failed to read source file %s [%s]\n", thing->source, strerror(errno));
    } else if (now.crc != thing->stamp.crc || now.size != thing->stamp.size) {
      zam_err("Source file %s has changed since %s was made from it: its structure is not read again.\n",
              thing->source, thing->name);
      stamped = 0;
    }
    if (!stamped) {
      zam_freePdb(image);
      return nullptr;
    }
  }
  if (image && image->nres < 1) {
    zam_wrn("No residues found in PDB file: %s\n", thing->source);
    zam_freePdb(image);
    return nullptr;
  }
  if (!image) return nullptr;
  placeImage(thing, image);
  if (thing->rounded) roundAsText(image);
  return image;
}

_pdb_image* trel_readThingImage(const _trel_thing* thing) {
  if (!thing || !thing->source) return nullptr;
  // Loads of one object may run on several threads: the first to find its
  // image file failing clears check_image and alone names the file.
  std::atomic_ref<int> check(const_cast<int&>(thing->check_image));
  char base[TREL_PATH_MAX + 1];
  if (check.load() == 0 || !trel_nameThing(thing, base)) return trel_reloadThingSource(thing);
  const char* ext = imageExt(thing);
  const std::string file = withExtension(base, ext);
  if (namesOneFile(file.c_str(), thing->source)) {
    // Cache files beside their source, which has the image file's name:
    // the source is the image, never written over.
    check.store(0);
    return trel_reloadThingSource(thing);
  }
  std::string bytes;
  TrelCheck c = trel_checkCacheFile(file.c_str(), ext, thing->stamp, &bytes);
  if (c == TREL_CHECK_OK) {
    // The image comes from the bytes that passed, never from a second read:
    // the source's atoms as it gave them, placed as a run without the cache
    // places them, and named by the source, as that run names them.
    const int64_t n = static_cast<int64_t>(bytes.size());
    _pdb_image* image = thing->binary ? zam_readBinaryPdbBytes(bytes.data(), n, file.c_str(), thing->name)
                                      : zam_readPdbText(bytes.data(), n, file.c_str(), thing->name);
    if (image) {
      kfree(image->path);
      image->path = kdupS(thing->source);
      placeImage(thing, image);
      return image;
    }
    c = TREL_CHECK_DAMAGED;  // whole as written, yet no image (the reader said why)
  }
  if (check.exchange(0) == 0) return trel_reloadThingSource(thing);
  if (!trel_checkReplaceable(c)) {
    // Not trel's: never written over, the source serves.
    keepTheirs(file, c, thing->name);
    return trel_reloadThingSource(thing);
  }
  sayRebuilding(file, c, thing->name);
  // Made from the source, and, when the object keeps its cache files, its
  // file written anew (a write that fails is reported; the image still
  // serves).
  _pdb_image* image = trel_reloadThingSource(thing);
  if (!image || !thing->save) return image;
  const _trel_seal seal{ext, &thing->stamp};
  const _trel_private_files own;
  trel_writeImageFile(file, image, thing->binary, &seal);
  return image;
}

int trel_readCachedTrace(_trel_thing* thing) {
  char base[TREL_PATH_MAX + 1];
  if (!thing || !thing->tag || !trel_nameThingFile(thing, -1, base)) return 0;
  const int n = thing->tag->n_residues;
  const std::string file = withExtension(base, "trc");
  std::string bytes;
  TrelCheck c = trel_checkCacheFile(file.c_str(), "trc", thing->stamp, &bytes);
  if (c == TREL_CHECK_OK && bytes.size() != static_cast<size_t>(n) * sizeof(_trel_seg)) c = TREL_CHECK_DAMAGED;
  if (c == TREL_CHECK_OK) {
    auto* seg = static_cast<_trel_seg*>(zam_vm_get(static_cast<int64_t>(bytes.size())));
    if (!seg) return 0;
    memcpy(static_cast<void*>(seg), bytes.data(), bytes.size());
    thing->trace.seg = seg;
    thing->trace.n = n;
    return 1;
  }
  // The file changed since the open checked it: the trace is made again
  // from the source, as the file held it.
  if (trel_checkReplaceable(c))
    sayRebuilding(file, c, thing->name);
  else
    keepTheirs(file, c, thing->name);
  _pdb_image* image = trel_reloadThingSource(thing);
  if (!image) return 0;
  trel_loadTrace(image, pt_zero(), 1, 0, &thing->trace);
  zam_freePdb(image);
  if (thing->trace.n == n) return 1;
  trel_wipeTrace(&thing->trace);
  return 0;
}

void trel_loadThingTrel(_trel_thing* thing, int pot_class, const _trel_thing_opts* options) {
  if (!thing) return;
  const _trel_thing_opts defaults;
  if (!options) options = &defaults;
  if (!thing->tag) thing->tag = static_cast<_trel_tag*>(kget1B_0(sizeof(_trel_tag)));
  _trel_tag* tag = thing->tag;
  _pdb_image* image = thing->image;
  if (!image || image->nres < 1) {
    tag->valid = 0;
  } else {
    trel_loadTrace(image, pt_zero(), 1, 0, &thing->trace);
    trel_sayBreaks(thing, image, options->do_write);
    for (int& flag : tag->pot_flags) flag = 0;
    tag->valid = 1;
    tag->order = 0;
    tag->n_atoms = image->natoms;
    tag->n_residues = thing->trace.n;
    tag->n_backbone = image->nbb;
    tag->n_mainchain = image->nmc;
    tag->n_sidechain = image->nsc;
    tag->pot_class = pot_class;
    tag->frame = tf_inverse(image->tf);
  }
  if (options->show_things || zam_debug > 0) trel_printThing(thing);
}

int trel_read_tag(const char* base, _trel_tag* tag) {
  return zam_bbread(withExtension(base, "trq").c_str(), tag, sizeof(_trel_tag));
}

int trel_read_anlm(const char* path, int order, double* buffer) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    zam_wrn("Failed to open %s.\n", path);
    return 0;
  }
  int32_t header[2] = {0, 0};
  int result = 0;
  if (zam_readAll(fd, header, sizeof header) == static_cast<int64_t>(sizeof header) && header[0] >= 1 && header[0] <= ZAM_NMAX &&
      header[1] == trel_anlmSize(header[0])) {
    const int stored = header[0];
    if (stored >= order) {
      const int64_t bytes = trel_anlmSize(order) * static_cast<int64_t>(sizeof(double));
      result = zam_readAll(fd, buffer, bytes) == bytes ? 1 : 0;
    } else {
      memset(buffer, 0, static_cast<size_t>(trel_anlmSize(order)) * sizeof(double));
      const int64_t bytes = static_cast<int64_t>(header[1]) * static_cast<int64_t>(sizeof(double));
      if (zam_readAll(fd, buffer, bytes) == bytes) {
        zam_wrn("Requested N=%d but found N=%d in file: %s\n", order, stored, path);
        result = 2;
      }
    }
  }
  close(fd);
  if (result == 0) zam_err("Failed to read %s.\n", path);
  return result;
}

int trel_readThingTau(_trel_thing* thing, int pot_class, int order) {
  return readCoefficients(thing, pot_class, order, true);
}

int trel_readThingSig(_trel_thing* thing, int pot_class, int order) {
  return readCoefficients(thing, pot_class, order, false);
}

int trel_thingBuilds() { return builds.load(); }
