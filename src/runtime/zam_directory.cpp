// Paths, folders and file names.
#include "runtime/zam_directory.h"

const char* zam_fileslash() { return "/"; }
char* zam_cwdname(char* out) { out[0] = 0; return out; }
int64_t zam_filesize(const char*) { return -1; }
char* zam_dirname(const char*, char* out) { out[0] = 0; return out; }
char* zam_basename(const char*, char* out) { out[0] = 0; return out; }
char* zam_rootname(const char*, char* out) { out[0] = 0; return out; }
char* zam_endname(const char*, char* out) { out[0] = 0; return out; }
char* zam_extname(const char*, char* out) { out[0] = 0; return out; }
char* zam_filename(const char*, const char*, char* out) { out[0] = 0; return out; }
char* zam_pathslash(const char*, char* out) { out[0] = 0; return out; }
char* zam_catpath(const char*, const char*, char* out) { out[0] = 0; return out; }
char* zam_make_path(const char*, const char*, char* out) { out[0] = 0; return out; }
char* zam_findfile(const char*, char* out, int, ...) { out[0] = 0; return out; }
int zam_isdir(const char*) { return 0; }
int zam_mkdir(const char*, int) { return 0; }
char** zam_scandir(const char*, const char*, int* count) { *count = 0; return nullptr; }
char** kscanDir(const char*, const char*, int* count) { *count = 0; return nullptr; }
int zam_rmdir(const char*, int) { return 1; }
int zam_fnmatch(const char*, const char*, int) { return 1; }
int zam_alphasort(const struct dirent**, const struct dirent**) { return 0; }
