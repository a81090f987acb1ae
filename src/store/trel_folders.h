// Folders and file lists: making sure a folder exists (saying whether it was
// used or created), the per-query results sub-folder, the guarded deletion of
// the results folder, the structure files named by a folder or a list file,
// and sorted member-name lists with binary-search lookup. Messages go through
// zam_msg / zam_wrn / zam_err; nothing here ends the run: callers exit.
#pragma once

#include <vector>

#include "runtime/zam_identity.h"

// Longest folder or file name accepted (characters, terminator excluded);
// buffers receiving names hold TREL_PATH_MAX + 1 bytes.
constexpr int TREL_PATH_MAX = 256;

// 1 when the folder exists (shows "Using %s directory: %s\n"); else 0 after
// the error "Failed to access %s directory: %s\n". The caller ends the run.
int trel_checkdir(const char* path, const char* label);

// Makes sure the folder exists: an existing one is shown as used, a missing
// one is created with mode 0777 less the umask; both lines only for a
// non-empty label. 1 on success; 0 after an error (name longer than
// TREL_PATH_MAX, or "Failed to create %s directory: %s\n"). The caller ends
// the run on 0.
int trel_mkdir(const char* path, const char* label);

// Removes the temporary files that runs which no longer exist left in the
// folder (zam_removeDeadTemps) and says how many, when there were any: for
// the folders that keep no record (a cache folder, a database's); in a
// results folder the record covers them. Returns that count.
int trel_removeDeadTemps(const char* folder);

// The folder that a query's results go into, with a trailing "/", written to
// out (TREL_PATH_MAX + 1 bytes). With both switches set it is results (which
// ends in "/") followed by the query file's root name, created with
// trel_mkdir(.., "RESULTS"); otherwise it is results itself. Returns out, or
// null (out empty) after an error: the name is too long, the sub-folder
// cannot be made, or a symbolic link stands at its name (never written
// through).
char* trel_result_dir(const char* results, const char* query_path, int switch1, int switch2,
                      char* out);

// "-purge": deletes (really != 0), or lists, what the folder's record of
// written files (ZAM_WRITTEN_RECORD) proves the tool wrote or made in it:
// a file only at the name a line records it under, with the whole identity
// recorded there (zam_removeRecorded) and no second name, and the folders
// it made once they are empty; the file own (this run's log, may be null)
// goes too when it is the last file of its folder, and is not counted as
// kept otherwise. Anything else (a user's file, a file changed, moved or
// linked since, a link) is kept and named, and its folders stay. The record
// itself goes last, under its lock, and only while it is the file read and
// holds no more than then (a run that wrote to it meanwhile keeps it). Refuses,
// with a message and nothing deleted, a folder whose last part is not
// exactly "trel_results", or that holds no record (unless it is empty), or
// whose record is damaged (a line holds a NUL byte) or not trel's (no head
// line: an older trel's too). Returns 1 when the purge (or dummy run) went through, 0 after
// a refusal or a failure (both only reported; the run may go on).
int trel_purgeResults(const char* folder, int really, const char* own);
// Whether trel_purgeResults would go through folder (without a log of the
// run in it): 1; 0 after the refusal it would give, said as it says it.
// Nothing is touched.
int trel_purgeAllowed(const char* folder);

// Structure files named by source: every regular file of a folder (sub-
// folders, pipes, devices, dangling links and dot files are passed over; a
// link to a regular file counts as one), or the file each line of a list
// file (plain or compressed) names, made absolute with the working folder:
// the whole line when a file has that name, else its first word; blank
// lines and lines that begin with '#' are comments. Names of missing files
// and names longer than TREL_PATH_MAX are warned about with the list file
// and line number and left out; a source that cannot be opened or read to its end is
// reported by name and gives no list at all. Returns a kget1S array the
// caller releases with kfree and its count in *n; null and 0 when there is
// no name.
char** trel_getFiles(const char* source, int* n);
// trel_getFiles; with structures != 0 a folder's files that hold no ATOM or
// HETATM record (a README, an alignment) are left out too, with one warning
// saying how many. Files of a list file are kept as named. With the object
// cache's folder (cache_folder, not null), a file whose cached tag there
// records the very identity it has now is known for a structure without
// being read (trel_cachedStructure): a warm run reads no source byte; any
// other file is looked through as without it, so the list is the same.
// Each file is looked at once: its identity then (device, inode, size and
// times; all zero for anything but a regular file) goes to ids when given,
// one for each name, so that the run need not look again.
char** trel_getStructureFiles(const char* source, int structures, int* n, const char* cache_folder = nullptr,
                              std::vector<_zam_identity>* ids = nullptr);
// 1 when the file (plain or compressed) holds an ATOM or HETATM record; 0
// when it holds none or cannot be read. No message.
int trel_hasAtomRecords(const char* path);

// The first words (at most 31 characters each) of the lines of a name-list
// file ('#' lines and blank lines are comments), sorted byte-wise for trel_lookupName. Shows the count and every name.
// A file that cannot be opened is reported by name. Returns a kget1S array
// (release with kfree) and its count in *n; null and 0 when there is no name.
char** trel_getNames(const char* file, int* n);

// Index of an entry equal to name (strcmp) in the sorted array, or -1 when
// there is none, n < 1 or an argument is null.
int trel_lookupName(const char* name, char* const* names, int n);
