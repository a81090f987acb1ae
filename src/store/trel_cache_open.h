// What the sources of the object cache share among themselves: opening one
// object under a name of its own, the names of source files and of their
// objects' folders, and the reading of tag files.
#pragma once

#include <string>

#include "store/trel_cache.h"

// trel_openThingFile; a given name (not null) replaces the file's root name,
// and such an object is built from its source whatever cache files lie
// beside it.
_trel_thing* trel_openThingNamed(const char* path, const char* cache_folder, int order, int is_sequence,
                                 const _trel_thing_opts* options, const int* pots, int force, int save,
                                 const char* name);
// The name of a source file's object: the sanitised root of its file name.
// root holds TREL_PATH_MAX + 1 bytes.
void trel_objectRoot(const char* path, char* root);
// Whether two paths name the same file (the same text, or one file).
bool trel_sameFile(const char* a, const char* b);
// The folder of the files of the object made from path: the source file's
// own folder for cache_folder "./" (or null), else cache_folder, with a
// trailing "/".
std::string trel_thingFolder(const char* path, const char* cache_folder);
// Whether everything a tag read from a tag file says about itself holds: a
// usable object with residues, an order and class within their tables.
bool trel_tagSane(const _trel_tag& tag);
// The checked bytes of a tag file hold the tag, and after it the identity of
// its source (trel_write_tag) when that was known: such an identity is
// moved to id, leaving the tag alone in bytes. Other bytes are left as
// they are (id untouched).
void trel_takeIdentity(std::string* bytes, _trel_identity* id);
