// What the sources of the object cache share among themselves: opening one
// object under a name of its own, the names of source files, of their
// objects' folders and of the files there, the reading of tag files, and
// what the open side asks of the write side (trel_cache_write.cpp).
#pragma once

#include <string>

#include "store/trel_cache.h"
#include "store/trel_cache_check.h"

// trel_openThingFile; a given name (not null) replaces the file's root name,
// and such an object is built from its source whatever cache files lie
// beside it. known (when not null and known) is the identity the source had
// when its list was read, taken for its identity now without another look.
_trel_thing* trel_openThingNamed(const char* path, const char* cache_folder, int order, int is_sequence,
                                 const _trel_thing_opts* options, const int* pots, int force, int save,
                                 const char* name, const _zam_identity* known = nullptr);
// Says in one warning that the objects among things[0..n-1] whose tag files
// an older version wrote (older) are built anew, naming the first one's
// file; once, only the first time in the process that any list has one
// (the log names each). Nothing when there are none.
void trel_sayOlder(_trel_thing* const* things, int n, bool once);
// The name of a source file's object: the sanitised root of its file name.
// root holds TREL_PATH_MAX + 1 bytes.
void trel_objectRoot(const char* path, char* root);
// Whether two paths name one file: the same text, or one regular file
// reached both ways (links followed).
bool trel_namesOneFile(const char* a, const char* b);
// The folder of the files of the object made from path: the source file's
// own folder for cache_folder "./" (or null), else cache_folder, with a
// trailing "/".
std::string trel_thingFolder(const char* path, const char* cache_folder);
// Whether everything a tag read from a tag file says about itself holds: a
// usable object with residues, an order and class within their tables.
bool trel_tagSane(const _trel_tag& tag);
// Reads the tag file at path once and checks it (trel_readCacheFile): its
// bytes hold the tag, then the identity of its source (all zero when it was
// not known) and what reading and building its object said
// (trel_write_tag). The tag goes to bytes, the stamp its line records to
// recorded, the identity to id and the record to said. TREL_CHECK_DAMAGED
// when the bytes are not laid out so, or the record passes the bounds a tag
// file keeps (trel_said.h): a file too large to hold a record within them is
// not read.
TrelCheck trel_readTagFile(const char* path, std::string* bytes, _trel_stamp* recorded, _zam_identity* id,
                           _trel_said* said);

// base + "." + ext: the name of one of an object's files.
std::string trel_cacheFileName(const char* base, const char* ext);
// The kind of an object's file in its check line: its extension, and the
// class letter for a coefficient file ("tau_B"); pot_class -1 for none.
std::string trel_cacheFileKind(const char* ext, int pot_class);
// The extension of the object's image file: a raw image or PDB text.
const char* trel_imageExt(const _trel_thing* thing);
// A file at one of the object's cache names that is not trel's, or cannot
// be read to tell: one warning naming it, saying it is left as it is and the
// object (name) not cached.
void trel_keepTheirs(const std::string& file, TrelCheck check, const char* name);

// What a cache file is sealed with: its kind and its object's source.
// Files without one (a database's) are written as their format stands.
struct _trel_seal {
  std::string kind;
  const _trel_stamp* source;
};

// While one lives, the files the calling thread writes are the user's own
// (owner read and write only), whatever folder holds them: an object's
// cache files. Database files keep the modes of the database.
struct _trel_private_files {
  _trel_private_files();
  ~_trel_private_files();
  _trel_private_files(const _trel_private_files&) = delete;
  _trel_private_files& operator=(const _trel_private_files&) = delete;
};

// Writes the image file at target, a raw image when binary, else PDB text,
// whole or not at all; a cache file, sealed with seal when that is given,
// holds the structure as its source gave it (the image's saved coordinates,
// which an open places again), a database's the image as it stands. False
// after a message naming the file, or saying that PDB text cannot hold the
// coordinates as read exactly (more than three decimals).
bool trel_writeImageFile(const std::string& target, const _pdb_image* image, bool binary, const _trel_seal* seal);
