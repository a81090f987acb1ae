#include "store/trel_folders.h"

int trel_checkdir(const char*, const char*) { return 0; }
int trel_mkdir(const char*, const char*) { return 0; }
char* trel_result_dir(const char*, const char*, int, int, char* out) { return out; }
int trel_purgeResults(const char*, int) { return 0; }
char** trel_getFiles(const char*, int* n) { if (n) *n = 0; return nullptr; }
char** trel_getNames(const char*, int* n) { if (n) *n = 0; return nullptr; }
int trel_lookupName(const char*, char* const*, int) { return -1; }
