// Structure databases: a folder holding master.dat (a 56-byte header),
// names.dat, tags.dat and traces.dat (the members' names, 304-byte tags and
// 268-byte trace records, each padded to whole pages) and checksums.dat (the
// CRC-32 and size of each of the four), with the members' images beside
// them. Building appends members; opening maps the three data files
// read-only after checking every count and offset against the files, so
// that a search reads no byte past their ends, and then every file against
// its checksum. Also list, extract, delete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/trel_cache.h"
#include "store/trel_thing.h"

// The run settings the database modes read.
struct _trel_db_opts {
  _trel_thing_opts thing;  // object settings (with_spf, filter_method, q_max, show_things, ...)
  int i_max = 15;          // expansion order of a descriptor database build
  int use_binary = 0;      // member images as raw "kpdb" files
  int do_stats = 0;        // statistics report after a build
  int export_mode = 0;     // atom selection of extracted PDB files
};

// An open or growing database. The first fields are master.dat, byte for byte.
struct _trel_db {
  int32_t n_members;
  int32_t order;         // coefficient order (0 without descriptors)
  int32_t code_type;     // 0 CATH, 1 SCOP, 2 Pfam, 3 ECOD
  int32_t image_kind;    // 2 raw "kpdb" images, 1 PDB text
  int32_t tag_size;      // 304
  int32_t seg_size;      // 268
  int32_t word_size;     // 8
  int32_t int_size;      // 4
  int64_t names_bytes;   // sizes of the data files, padding included
  int64_t tags_bytes;
  int64_t traces_bytes;
  // In memory only.
  int modified;          // a member was appended: closing pads and writes the header
  int fd_master, fd_names, fd_tags, fd_traces;
  int names_mapped, tags_mapped, traces_mapped;  // 1 = read-only map, else an allocated copy
  char* folder;          // ends in "/"
  char* master_path;
  char* names_path;
  char* tags_path;
  char* traces_path;
  char* sums_path;       // checksums.dat
  uint32_t names_crc, tags_crc, traces_crc;  // building: CRC-32 of the bytes counted so far
  char* names;
  char* tags;
  char* traces;
  _trel_thing* members;  // n_members records, made on first selection
  const char** member_names;  // member i's name in the names block (checked at open)
};

// Size of the master file (the header fields above).
constexpr int TREL_DB_MASTER_SIZE = 56;
// The checksum file: a '#' comment line, then "%08x %lld %s\n" (CRC-32,
// bytes, file name) for master.dat, names.dat, tags.dat and traces.dat.
constexpr const char* TREL_DB_SUMS = "checksums.dat";

// Database folder: root + name + "_trel/" (or "_index/" with with_index)
// into out (TREL_PATH_MAX + 1 bytes). Null after an error for a name too long.
char* trel_databaseFolder(const char* root, const char* name, int with_index, char* out);

// A zero-filled record holding the folder (ending in "/") and the paths of
// its five files, all descriptors -1. Release with trel_closeDatabase.
_trel_db* trel_allocDatabase(const char* folder);
// Makes the folder and creates the four files empty; never over a file
// already there. Null after an error ("Failed to create database file:
// %s\n"), with the files it made removed; the caller ends the run.
_trel_db* trel_createDatabase(const char* root, const char* name, int with_index, int order,
                              int code_type, int image_kind);
// Appends a dirty, valid object with its trace to a database being built,
// then writes its image and coefficient files beside it (or writes its
// cache files when db is null). The record goes first, so that a build
// stopped at any moment leaves no file its records do not name. An object
// whose files could not all be written is taken out again: the files it
// wrote are removed and its record cut back. A short write is cut back from
// the data files, so the header always describes whole members; it is
// reported. 1 when the object was appended (or had nothing to write), 0
// after a failure.
int trel_writeDatabase(_trel_db* db, _trel_thing* thing);
// The paths of the files a member's record stands for in folder: its image
// (image_kind 1 PDB text, 2 raw; 0 when the kind is not known, both) and
// the sig and tau files of each class its tag says were written. Empty when
// the folder leaves no room for the member's name.
std::vector<std::string> trel_memberFiles(const char* folder, const char* name, const _trel_tag& tag,
                                          int image_kind);
// For tests of a stopped build: hook (null: none) is called with a member's
// name once its record is written and before its files are.
void trel_setMemberRecordedHook(void (*hook)(const char* member));
// Pads and writes the header and the checksum file after a build (unless no
// member was added), or releases the blocks of an open database; frees the
// record. Null ignored. 0 when the header or the checksums could not be
// written (reported), else 1.
int trel_closeDatabase(_trel_db* db);
// Writes the checksum file of a database being closed after a build (its
// header as it is now, and the CRC-32 of the data files' bytes counted). 1;
// 0 after "Failed to write database CHECKSUM file: %s [%s]\n".
int trel_writeDatabaseSums(const _trel_db* db);
// Checks the header and the loaded blocks of an open database against its
// checksum file. 1 when they match, and when there is no checksum file
// (after a warning); 0 after an error naming the file that does not match,
// or a checksum file that is not one (with its line).
int trel_checkDatabaseSums(const _trel_db* db);

// 1 when the folder of database name holds a database whose build did not
// finish: it has no checksum file and no whole header (the build writes
// both when it closes, the checksum file last). The user is then told so
// and how to remove it (-delete, or the folder itself when the data files
// are not all there). 0, no message, otherwise.
int trel_databaseUnfinished(const char* name, const char* folder, int with_index);

// 1 when a database may be built under name in root: its folder name fits,
// and the folder is missing or holds nothing but folders. 0 after an error
// otherwise (an existing database is the user's to delete, never replaced
// by a build, and a folder holding other files is never built into).
// Makes nothing; trel_buildDatabase checks the same first.
int trel_checkNewDatabase(const char* root, const char* name, int with_index);

// Builds a database from n source files; prints each member and a summary.
// A source file that gives no member (no residues, unreadable) is skipped
// with a warning naming it, and the summary says how many were skipped.
// 1 on success; 0 after an error (a database of that name exists already
// and is left as it is, no member could be added, the folder or a file
// could not be made or written, or a member's files could not be written:
// the database then holds the others). The caller ends the run on 0.
int trel_buildDatabase(const char* root, const char* name, char** files, int n, int with_index,
                       int code_type, const _trel_db_opts* options);

// Opens a database: checks the folder, the header and that every file holds
// exactly the bytes the header says, every name and every member's trace
// records lie inside their files, then maps the blocks (or reads them whole
// when mapping fails) and checks every file against its checksum (a
// database without a checksum file opens with one warning). Null after one
// error naming the file and the fault; the caller ends the run. Release
// with trel_closeDatabase.
_trel_db* trel_openDatabase(const char* root, const char* name, int with_index);
// Points things[0..] at the members whose code matches pattern (null: all)
// and whose name is in names (sorted; n_names < 1: all). Members whose
// residue count lies outside [min, max] come without trace records. Returns
// the count, or -1 after "Failed to load SPF data for: %s\n" (things[] then
// ends at the failing member, as if filled in order). Long selections are
// filled on zam_thread_bulk() threads, each faulting in its own slice of the
// member array; the messages come in selection order all the same.
int trel_loadDatabase(_trel_db* db, _trel_thing** things, const int* pots, const char* pattern,
                      char** names, int n_names, int min, int max, const _trel_db_opts* options);
// A new object (release with trel_closeThing(null, ..)) for the member called
// name, which it borrows, with its image read. 1; 0 after "Failed to find
// member %s in database NAMES file: %s.\n", a failed coefficient read or an
// image that cannot be read (*thing null).
int trel_memberDatabase(_trel_db* db, const char* name, _trel_thing** thing, const int* pots,
                        int min, int max, const _trel_db_opts* options);

// "-list": prints the selected members. 1; 0 when the database cannot be opened.
int trel_listDatabase(const char* root, const char* name, int with_index, const char* pattern,
                      char** names, int n_names, const _trel_db_opts* options);
// "-extract": writes the selected members as PDB files in their source
// coordinates into folder (ending in "/"), never over a file already there
// (each such file is kept and named in a warning). 1; 0 when the database
// cannot be opened, or when a member was not written because its file exists
// already or could not be written (said in an error; the others are
// written all the same).
int trel_extractDatabase(const char* root, const char* name, int with_index, const char* folder,
                         const char* pattern, char** names, int n_names,
                         const _trel_db_opts* options);
// "-delete": deletes the database's own files (the five data files and, as
// its header and tags give them, each member's image of the database's kind
// and the coefficient files of the classes it wrote, and what a killed
// writer left of these under temporary names) and then its folder (really), or
// lists what it would delete. Anything else in the folder is kept and named,
// and the folder then stays. Refuses, with messages and nothing deleted, an
// empty, "." or ".." root or name, a name holding "/", a folder that is a
// symbolic link or no folder, and a folder without all four data files. 1
// when deleted (or listed).
int trel_deleteDatabase(const char* root, const char* name, int with_index, int really);

// 1 when there is no list (n < 1 or null) or name is in the sorted list.
int check_name(const char* name, char* const* names, int n);
// Read-only shared map of the first length bytes of fd, advised for huge
// pages (a fault reads ahead around itself, in 2 MB pages where it can);
// null on failure (no message).
// zam_munmap(null, ..) is ignored; a large map is released on
// zam_thread_bulk() threads.
void* zam_mmap(int fd, int64_t length);
void zam_munmap(void* block, int64_t length);
int64_t zam_page_size();
// Pads the file to a whole number of pages with zero bytes: the padding
// written, or 0 when none was needed or the write failed.
int64_t pad_fildes(int fd, int64_t page);
