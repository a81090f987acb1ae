// Knowing a source file for a cached structure without reading it: by the
// tag file its object left in the cache folder.
#include <cstring>
#include <string>

#include "runtime/zam_directory.h"
#include "runtime/zam_identity.h"
#include "store/trel_cache.h"
#include "store/trel_cache_check.h"
#include "store/trel_cache_open.h"
#include "store/trel_folders.h"
#include "store/trel_thing.h"

// A usable tag was made from a structure with residues, which the PDB reader
// takes from ATOM and HETATM records only; its file records the identity of
// the source it was made from, or one checksummed since as holding the very
// same bytes, and only once that source had settled. A source standing as
// recorded is those bytes still, as a warm open takes it to be.
int trel_cachedStructure(const char* path, const char* cache_folder, const _zam_identity& now) {
  if (!path || !path[0] || !cache_folder || !cache_folder[0] || now.ino == 0) return 0;
  char root[TREL_PATH_MAX + 1];
  trel_objectRoot(path, root);
  std::string folder = trel_thingFolder(path, cache_folder);
  _trel_thing named{};
  named.name = root;
  named.folder = folder.data();
  char base[TREL_PATH_MAX + 1], file[TREL_PATH_MAX + 1];
  if (!root[0] || !trel_nameThing(&named, base)) return 0;
  std::string bytes;
  _trel_stamp recorded{};
  _zam_identity id{};
  _trel_said said;
  if (trel_readTagFile(zam_filename(base, "trq", file), &bytes, &recorded, &id, &said) != TREL_CHECK_OK ||
      !zam_sameIdentity(id, now) || recorded.size != id.size)
    return 0;
  _trel_tag tag;
  memcpy(static_cast<void*>(&tag), bytes.data(), sizeof tag);
  return trel_tagSane(tag) ? 1 : 0;
}
