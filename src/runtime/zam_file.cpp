// File streams over plain, gzip, bzip2 and pipe files.
#include "runtime/zam_file.h"

_zam_file* zam_fopen(const char*, const char*) { return nullptr; }
_zam_file* zam_fdopen(int, const char*, int) { return nullptr; }
_zam_file* zam_popen_write(const char*, const char*, const char*) { return nullptr; }
_zam_file* zam_popen_read(const char*, const char*, const char*) { return nullptr; }
int zam_fclose(_zam_file*) { return -1; }
int zam_fflush(_zam_file*) { return -1; }
int zam_rewind(_zam_file*) { return -1; }
int zam_fline(const _zam_file* f) { return f ? f->line : 0; }
const char* zam_fname(const _zam_file* f) { return f ? f->name : nullptr; }
int zam_fgetc(_zam_file*) { return -1; }
int64_t zam_fread(_zam_file*, void*, int64_t) { return 0; }
int zam_freadln(_zam_file*, int, char*) { return -1; }
int zam_ffindln(_zam_file*, const char*, int, char*) { return -1; }
int zam_freadtok(_zam_file*, const char*, int, char*) { return -1; }
int zam_ftokenise(_zam_file*, const char*, int, char*, char*** tokens) { *tokens = nullptr; return 0; }
int zam_fputc(_zam_file*, int) { return -1; }
int zam_fputs(_zam_file*, const char*) { return -1; }
int zam_fprintf(_zam_file*, const char*, ...) { return 0; }
int64_t zam_fwrite(_zam_file*, const void*, int64_t) { return 0; }
int64_t zam_fwriteln(_zam_file*, const char*) { return 0; }
int zam_bbread(const char*, void*, int64_t) { return 0; }
int zam_bbwrite(const char*, const void*, int64_t) { return 0; }
int zam_spawn_file(const char*, const char*, const char*) { return 0; }
int zam_spawn_list(const char* const*, const char*, const char*) { return 0; }
