// Paths, folders and file names: exact string operations on paths ('/' the
// separator, a backslash also taken where noted), folder tests, creation,
// listing with glob patterns and deletion of trees. Path operations write into
// a caller's buffer of at least 257 bytes and return a pointer into it; a path
// or result longer than 256 characters is refused with a zam_err report and
// gives an empty text.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct dirent;

// The separator string "/".
const char* zam_fileslash();
// The current working directory (empty when it cannot be had or is too long).
char* zam_cwdname(char* out);
// Size in bytes, or -1 when the path cannot be examined.
int64_t zam_filesize(const char* path);
// Directory part: the working directory for "" or "."; "/" for a name right
// under the root; the path itself when it has no separator.
char* zam_dirname(const char* path, char* out);
// The part after the last separator that is not the last character.
char* zam_basename(const char* path, char* out);
// The base name cut at its last '.' (a leading '.' is kept).
char* zam_rootname(const char* path, char* out);
// Copies path; returns a pointer to its last '.', or to its end.
char* zam_endname(const char* path, char* out);
// Copies the base name; returns a pointer to its first '.' (the whole name
// when it starts with '.'), or to its end.
char* zam_extname(const char* path, char* out);
// Directory part and "/" (when there is one), root name, "." and ext.
char* zam_filename(const char* path, const char* ext, char* out);
// zam_filename as a string of any length (no 256-character limit).
std::string zam_filenameS(const std::string& path, const char* ext);
// Names of files too long for the file system (whose folder entries take at
// most ZAM_NAME_MAX bytes) are shortened the same way everywhere: a name's
// head, "~" and the 8 hex digits of the CRC-32 of the whole name, so that
// long names of one head stay apart and a name always gives the same file.
constexpr size_t ZAM_NAME_MAX = 255;
// The length of a name shortened in a file name that does not fit: two of
// them, their "_" and 54 bytes of further text fit ZAM_NAME_MAX.
constexpr size_t ZAM_NAME_SHORT = 100;
// name itself when it has at most length bytes; else its first bytes (at
// most length - 9, never ending inside a UTF-8 character, at least 1), "~"
// and the hash: at most length bytes (length >= 10).
std::string zam_hashName(const std::string& name, size_t length);
// The name of a result file made of names (structure names, say) joined by
// "_" and followed by tail: as it stands when it has at most room bytes;
// else with every name longer than ZAM_NAME_SHORT as its
// zam_hashName(name, ZAM_NAME_SHORT), which fits whenever there are at most
// two names and tail has at most 54 bytes (when it still does not fit, it
// is returned as it is and the file cannot be made). The first time a name
// is shortened, an advisory (once per process for each name) says to what.
// Every file that names another builds that name by the same call, so the
// name written inside one file is that of the file made.
std::string zam_fileName(const std::vector<std::string>& names, const std::string& tail,
                         size_t room = ZAM_NAME_MAX);

// dir ("." when empty) with a trailing "/".
char* zam_pathslash(const char* dir, char* out);
// Joins dir and name (one trailing separator of dir dropped); "." leaves dir,
// "..", "../" or "..\" gives the directory part of dir ("." for a bare name).
char* zam_catpath(const char* dir, const char* name, char* out);
// The value of environment variable var when set and not empty, else the
// value of ZAM_ROOT followed by tail.
char* zam_make_path(const char* var, const char* tail, char* out);
// Where a data file is: name itself when it is "-", has a directory part or
// exists here; else the first of the n folder arguments (const char*, null or
// empty ones skipped) holding it with a size above 0; else name.
char* zam_findfile(const char* name, char* out, int n, ...);
// The file that name stands for, as a compressed copy may stand in for it:
// name itself when it is a file of at least one byte (not a folder), else
// name + ".gz", else name + ".bz2" (read through zam_fopen by their
// endings); the empty text when none is.
std::string zam_findPacked(const std::string& name);

// 1 when path names an existing directory, else 0.
int zam_isdir(const char* path);
// Creates the directory (no parents) with mode (less the umask). A folder
// that exists already, or that another process made meanwhile, is left as
// it is, its mode untouched: 1 then too. 0 on failure.
int zam_mkdir(const char* path, int mode);
// The entry names of folder but "." and "..", in directory order. False,
// with errno set, when the folder cannot be read. No message.
bool zam_folderEntries(const std::string& folder, std::vector<std::string>* names);
// Removes the regular files of folder ("." when empty) whose entry names
// `chosen` picks and that were last changed before `before` (nanoseconds of
// the real-time clock; by default whenever): links, folders and other kinds
// of entry are kept. Returns how many were removed; 0 when the folder cannot
// be read. No message.
int zam_removeFiles(const std::string& folder, const std::function<bool(const std::string& entry)>& chosen,
                    long long before = LLONG_MAX);
// Names in dir matching the glob pattern (pathname and leading-period rules),
// in directory order: a block of *count name pointers; the caller kfrees each
// name and the block. Null and count 0 when none match or dir is unreadable.
char** zam_scandir(const char* dir, const char* pattern, int* count);
// The same, sorted by the locale's collation, as a kget1S array released with
// kfree. Unreadable dir: null and count 0; no match: an empty array, count 0.
char** kscanDir(const char* dir, const char* pattern, int* count);
// Deletes the tree under path (really != 0; logs each removal) or only shows
// what it would delete, innermost first (really == 0). Symbolic links are
// removed, never followed; names with a leading '.' are kept (so their folder
// stays and its removal fails). Refuses "", "." and ".." and any path whose
// last part is "." or ".." (errno EINVAL, no message). 0 on success; every
// failure is reported once with zam_err.
int zam_rmdir(const char* path, int really);

// Flag bits of zam_fnmatch (the platform's fnmatch values).
constexpr int ZAM_FNM_PATHNAME = 1;
constexpr int ZAM_FNM_NOESCAPE = 2;
constexpr int ZAM_FNM_PERIOD = 4;
constexpr int ZAM_FNM_LEADING_DIR = 8;
constexpr int ZAM_FNM_CASEFOLD = 16;

// Glob match with fnmatch semantics; 0 on a match, 1 otherwise.
int zam_fnmatch(const char* pattern, const char* string, int flags);
// Orders two directory entries by name in the locale's collation order.
int zam_alphasort(const struct dirent** a, const struct dirent** b);
