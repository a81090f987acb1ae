// What the sources of the object cache share among themselves: opening one
// object under a name of its own, and the names of source files.
#pragma once

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
