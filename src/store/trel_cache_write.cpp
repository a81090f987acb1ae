// The write side of the per-structure cache files: the tag, trace, image
// and coefficient files of an object, each written whole under a temporary
// name in its folder and renamed into place, a cache file sealed with its
// check line over the checksum its stream took as the bytes were written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_whole.h"
#include "store/trel_cache.h"
#include "store/trel_cache_check.h"
#include "store/trel_cache_open.h"
#include "store/trel_folders.h"
#include "store/trel_pot.h"
#include "store/trel_said.h"
#include "structure/zam_kpdb.h"
#include "structure/zam_pdb.h"

namespace {

enum class Write { ok, create_failed, write_failed };

// Set while the calling thread writes an object's cache files: those are
// the user's own (owner read and write only), whatever folder holds them.
// Database files keep the modes of the database.
thread_local bool private_files = false;

// The stream keeps the checksum of what it writes, so that a cache file is
// sealed without being read back.
_zam_whole* openWhole(const std::string& path, const char* mode) {
  _zam_whole* whole = zam_openWhole(path, mode, ZAM_OLDER_REPLACED);
  if (whole && private_files && fchmod(whole->fd, S_IRUSR | S_IWUSR) != 0) {
    zam_closeWhole(whole, false);
    return nullptr;
  }
  if (whole) zam_fsumStart(whole->fp);
  return whole;
}

// Closes a file written whole, sealed first when it is a cache file, with
// the checksum its stream took of the bytes as they were written (read back
// only when the stream has none). A cache file takes its name only from
// nothing or from a file of trel's: one that a user put there meanwhile
// stays (errno EEXIST).
bool closeSealed(_zam_whole* whole, bool ok, const _trel_seal* seal) {
  uint32_t crc = 0;
  const bool summed = seal && zam_fsum(whole->fp, &crc);
  if (ok && seal) ok = trel_sealCacheFile(whole, seal->kind.c_str(), *seal->source, summed ? &crc : nullptr) == 1;
  if (ok && seal && !trel_checkReplaceable(trel_checkOwner(whole->path.c_str()))) {
    zam_closeWhole(whole, false);
    errno = EEXIST;
    return false;
  }
  return zam_closeWhole(whole, ok) == 1;
}

// The blocks written one after the other to path, whole or not at all.
Write writeBlocks(const std::string& path, std::initializer_list<std::pair<const void*, int64_t>> blocks,
                  const _trel_seal* seal) {
  _zam_whole* whole = openWhole(path, "wb");
  if (!whole) return Write::create_failed;
  bool ok = true;
  for (const auto& [data, n] : blocks)
    if (ok && n > 0) ok = zam_fwrite(whole->fp, data, n) == 1;
  return closeSealed(whole, ok, seal) ? Write::ok : Write::write_failed;
}

// The order-N coefficient file at path, whole or not at all.
int writeAnlm(const char* path, int order, const double* buffer, const _trel_seal* seal) {
  const int64_t n = trel_anlmSize(order);
  const int32_t header[2] = {order, static_cast<int32_t>(n)};
  if (order < 1 || !buffer) {
    zam_err("Failed to write %s.\n", path);
    return 0;
  }
  const Write w = writeBlocks(path, {{header, static_cast<int64_t>(sizeof header)},
                                     {buffer, n * static_cast<int64_t>(sizeof(double))}},
                              seal);
  if (w == Write::ok) return 1;
  zam_err(w == Write::create_failed ? "Failed to create %s.\n" : "Failed to write %s.\n", path);
  return 0;
}

// The sig or tau file (ext) of base; a cache file (class pot_class, made
// from source) when source is given.
int writeCoefficientFile(const char* base, const char* ext, int pot_class, int order, const double* values,
                         const _trel_stamp* source) {
  const std::string path = trel_cacheFileName(base, ext);
  if (zam_debug >= 2) zam_log(strcmp(ext, "sig") == 0 ? "Writing SIG: %s\n" : "Writing TAU: %s\n", path.c_str());
  const _trel_seal seal{trel_cacheFileKind(ext, pot_class), source};
  return writeAnlm(path.c_str(), order, values, source ? &seal : nullptr);
}

// Writes the image as PDB text, whole or not at all.
bool writeImageText(const std::string& target, const _pdb_image* image, const _trel_seal* seal) {
  _zam_whole* whole = openWhole(target, "w");
  if (whole) {
    zam_writePdbRemark(whole->fp);
    zam_writePdbFile(whole->fp, image, -1, 0, 0, 0, 1, 0, tf_identity());
    if (closeSealed(whole, true, seal)) return true;
  }
  zam_err("Failed to write PDB file: %s [%s]\n", target.c_str(), strerror(errno));
  return false;
}

// Writes the image as a raw image file, whole or not at all; private from
// its creation when the object's files are.
bool writeImageBinary(const std::string& target, const _pdb_image* image, const _trel_seal* seal) {
  _zam_whole* whole = openWhole(target, "wb");
  if (whole) {
    const bool ok = zam_writeBinaryPdbFile(whole->fp, image, target.c_str()) == 1;
    if (closeSealed(whole, ok, seal)) return true;
  }
  zam_err("Failed to write structure image file: %s\n", target.c_str());
  return false;
}

// The image file at target, a raw image when binary, else PDB text.
bool writeImage(const std::string& target, const _pdb_image* image, bool binary, const _trel_seal* seal) {
  return binary ? writeImageBinary(target, image, seal) : writeImageText(target, image, seal);
}

// True when target is the very file the image was read from: the cache must
// never overwrite a user's structure with its imported copy.
bool isSourceFile(const std::string& target, const _pdb_image* image) {
  return image->path && trel_namesOneFile(target.c_str(), image->path);
}

struct FreeImage {
  void operator()(_pdb_image* image) const { zam_freePdb(image); }
};
using Image = std::unique_ptr<_pdb_image, FreeImage>;

// What an object's image file holds: its structure as the source gave it,
// the atoms at the coordinates read (an open centres and turns them again,
// as a run without the cache does). Null when the image's own file (PDB
// text, three decimals) cannot hold those coordinates exactly, or the image
// keeps none (a built backbone).
Image asRead(const _pdb_image* image, bool binary) {
  Image copy(zam_copyPdbAsRead(image));
  if (copy && !binary && !zam_pdbHeldAsText(copy.get())) copy.reset();
  return copy;
}

// The note that an object is not cached because its image file could not
// hold its coordinates as read.
void sayNotHeld(const char* name) {
  zam_msg("Structure %s has coordinates of more than three decimals, which its image file cannot hold: "
          "it is not cached.\n",
          name);
}

// Whether every name the object's cache files would take (tag, trace, image
// unless that is the source itself, the sig and tau files of its classes)
// is free or holds a file of trel's; else one warning naming the first
// that does not, save cleared, and false: the object is not cached.
bool namesFree(_trel_thing* thing, const char* base) {
  std::vector<std::string> names = {trel_cacheFileName(base, "trq"), trel_cacheFileName(base, "trc")};
  if (thing->image) {
    std::string image = trel_cacheFileName(base, trel_imageExt(thing));
    if (!isSourceFile(image, thing->image)) names.push_back(std::move(image));
  }
  char class_base[TREL_PATH_MAX + 1];
  for (int c = 0; thing->tag->order > 0 && c < TREL_POT_CLASSES; c++)
    if (thing->tag->pot_flags[c] && thing->sig[c] && thing->tau[c] && trel_nameThingPot(thing, c, class_base))
      for (const char* ext : {"sig", "tau"}) names.push_back(trel_cacheFileName(class_base, ext));
  for (const std::string& name : names) {
    const TrelCheck owner = trel_checkOwner(name.c_str());
    if (trel_checkReplaceable(owner)) continue;
    thing->save = 0;
    trel_keepTheirs(name, owner, thing->name);
    return false;
  }
  return true;
}

// trel_writeThingFiles; the files are cache files, sealed with source, when
// it is given, the image file then holding image (the object's image as
// read: asRead).
int writeFiles(_trel_thing* thing, const _trel_stamp* source, const _pdb_image* image) {
  if (!thing) return 1;
  char base[TREL_PATH_MAX + 1];
  if (!trel_nameThingFile(thing, -1, base)) return 0;
  bool ok = true;
  if (thing->image) {
    const char* ext = trel_imageExt(thing);
    const std::string target = trel_cacheFileName(base, ext);
    const _trel_seal seal{ext, source};
    // The source file may be where the image file would go: it is left be.
    if (!isSourceFile(target, thing->image))
      ok = writeImage(target, source ? image : thing->image, thing->binary, source ? &seal : nullptr);
  }
  if (thing->tag && thing->tag->order > 0) {
    for (int c = 0; c < TREL_POT_CLASSES; c++) {
      if (!thing->tag->pot_flags[c] || !thing->sig[c] || !thing->tau[c]) continue;
      trel_nameThingPot(thing, c, base);
      const int order = thing->tag->order;
      const bool sig_ok = writeCoefficientFile(base, "sig", c, order, thing->sig[c], source);
      if (!writeCoefficientFile(base, "tau", c, order, thing->tau[c], source) || !sig_ok) ok = false;
    }
  }
  return ok ? 1 : 0;
}

}  // namespace

_trel_private_files::_trel_private_files() { private_files = true; }

_trel_private_files::~_trel_private_files() { private_files = false; }

bool trel_writeImageFile(const std::string& target, const _pdb_image* image, bool binary, const _trel_seal* seal) {
  if (!seal) return writeImage(target, image, binary, seal);
  const Image held = asRead(image, binary);
  if (!held) {
    sayNotHeld(image->name ? image->name : "");
    return false;
  }
  return writeImage(target, held.get(), binary, seal);
}


int trel_write_tag(const char* base, _trel_tag* tag, const _trel_stamp* source, const _zam_identity* id,
                   const _trel_said* said) {
  const std::string file = trel_cacheFileName(base, "trq");
  if (zam_debug >= 2) zam_log("Writing TAG file: %s\n", file.c_str());
  const _trel_seal seal{"trq", source};
  // A cache file: the tag, its source's identity (all zero when not known)
  // and what reading and building the object said.
  const _zam_identity none{};
  const _zam_identity* known = id && id->ino != 0 ? id : &none;
  const std::string record = source ? trel_saidBytes(said) : std::string();
  const int64_t id_bytes = source ? static_cast<int64_t>(sizeof *known) : 0;
  if (writeBlocks(file,
                  {{tag, static_cast<int64_t>(sizeof(_trel_tag))},
                   {known, id_bytes},
                   {record.data(), static_cast<int64_t>(record.size())}},
                  source ? &seal : nullptr) == Write::ok)
    return 1;
  zam_err("Failed to write TAG file: %s.\n", file.c_str());
  tag->valid = 0;
  return 0;
}

int trel_writeThingTrace(const char* base, int n, const _trel_seg* records, const _trel_stamp* source) {
  const std::string file = trel_cacheFileName(base, "trc");
  if (zam_debug >= 2) zam_log("Writing TRC file: %s\n", file.c_str());
  const int64_t bytes = static_cast<int64_t>(n) * static_cast<int64_t>(sizeof(_trel_seg));
  const _trel_seal seal{"trc", source};
  if (n >= 0 && (records || n == 0) && writeBlocks(file, {{records, bytes}}, source ? &seal : nullptr) == Write::ok)
    return 1;
  zam_err("Failed to write TRC file: %s.\n", file.c_str());
  return 0;
}

int trel_write_anlm(const char* path, int order, const double* buffer) {
  return writeAnlm(path, order, buffer, nullptr);
}

int trel_write_thing(const char* base, int order, const double* sig, const double* tau) {
  const int sig_ok = writeCoefficientFile(base, "sig", -1, order, sig, nullptr);
  const int tau_ok = writeCoefficientFile(base, "tau", -1, order, tau, nullptr);
  return sig_ok && tau_ok ? 1 : 0;
}

int trel_write_anlm_asc(const char* path, int order, const double* values) {
  _zam_whole* whole = zam_openWhole(path, "w");
  if (!whole) {
    zam_err("Failed to open file: %s [%s]\n", path, strerror(errno));
    return 0;
  }
  _zam_file* file = whole->fp;
  zam_fprintf(file, "n_max = %d, n_dim = %d\n", order, static_cast<int>(trel_anlmSize(order)));
  int64_t k = 0;
  for (int n = 1; n <= order; n++)
    for (int l = 0; l < n; l++)
      for (int m = -l; m <= l; m++) zam_fprintf(file, "%3d %3d %3d  %.8g\n", n, l, m, values[k++]);
  if (zam_closeWhole(whole, true)) return 1;
  zam_err("Failed to write %s.\n", path);
  return 0;
}

int trel_writeThingFiles(_trel_thing* thing) { return writeFiles(thing, nullptr, nullptr); }

int trel_writeThingCache(_trel_thing* thing) {
  if (!thing || !thing->dirty || !thing->tag || thing->tag->valid != 1 || !thing->trace.seg)
    return 1;
  thing->dirty = 0;
  if (thing->cached) return 1;  // its files are on disk already
  char base[TREL_PATH_MAX + 1];
  if (!trel_nameThingFile(thing, -1, base)) return 0;
  if (!thing->stamped) {
    zam_err("Cache files of %s not written: its source file could not be read.\n", thing->name);
    return 0;
  }
  if (thing->trace.n != thing->tag->n_residues) {
    zam_err("Trace of %s has %d residues but its tag says %d: cache files not written.\n",
            thing->name, thing->trace.n, thing->tag->n_residues);
    return 0;
  }
  // What was said of it must fit in its tag file, or every later run would
  // find the tag damaged and build it again.
  if (!trel_saidFits(thing->said)) {
    thing->save = 0;
    zam_msg("Reading the source of %s said more than its tag file keeps: it is not cached.\n", thing->name);
    return 1;
  }
  if (!namesFree(thing, base)) return 1;
  // The image file holds the structure as read, exactly, or the object is
  // not cached: a later run would place other numbers than this run holds.
  Image held;
  if (thing->image && !isSourceFile(trel_cacheFileName(base, trel_imageExt(thing)), thing->image)) {
    held = asRead(thing->image, thing->binary);
    if (!held) {
      thing->save = 0;
      sayNotHeld(thing->name);
      return 1;
    }
  }
  // The tag goes last: a reader that finds it finds the other files whole.
  // An older tag (of an object being re-created) goes first, so that it
  // never vouches for files replaced under it, nor for missing ones.
  const std::string tag_file = trel_cacheFileName(base, "trq");
  if (trel_checkOwner(tag_file.c_str()) == TREL_CHECK_OK) unlink(tag_file.c_str());
  const _trel_private_files own;
  if (!trel_writeThingTrace(base, thing->trace.n, thing->trace.seg, &thing->stamp)) return 0;
  if (!writeFiles(thing, &thing->stamp, held.get())) return 0;
  // A tag that cannot be written leaves the object in memory as whole as it
  // is: only its files are missing.
  _trel_tag written = *thing->tag;
  // The object goes on with what it was built from: its files are for
  // later runs, and may be replaced meanwhile by another run's.
  if (!trel_write_tag(base, &written, &thing->stamp, &thing->source_id, thing->said)) return 0;
  trel_forgetSaid(thing);  // its tag file holds it now
  return 1;
}
