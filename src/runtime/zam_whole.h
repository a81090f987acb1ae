// Files written whole or not at all: the bytes go to a file in the final
// file's folder that has no name yet (or a temporary name), and appear under
// the final name only when every write, the flush and the close succeeded.
// On any failure the final name keeps what it held and nothing is left
// behind. Every writer of a result, cache or database file goes through here,
// and a result takes its name over only from a file of trel's: a user's file
// found there is first moved aside to a numbered name. Under a recorded
// results folder (zam_written.h) a file is put in place and recorded in one
// turn at the record, as a journal records it (zam_written.h).
#pragma once

#include <string>
#include <vector>

#include "runtime/zam_identity.h"
#include "runtime/zam_place.h"
#include "runtime/zam_written.h"

struct _zam_file;

// What a whole-file writer does with a regular file that stands at its
// final name when its own file is put in place.
enum ZamOlderFile {
  // A result's: the older file is replaced only when it is trel's (a record
  // of trel's covers it, this process wrote it, or it carries the writer's
  // mark); any other is moved aside to a numbered name first.
  ZAM_OLDER_SET_ASIDE = 0,
  // The writer's files carry a check of trel's of their own (the object
  // cache's check line, the matrix cache's record, a database's sums), which
  // the writer looked at, or the writer rewrites the file at the user's
  // asking (-preprocess): the older file is replaced.
  ZAM_OLDER_REPLACED = 1,
};

// A file being written whole. Where the system has them it is an unnamed
// file in the final file's folder, linked under its name at the end:
// creating a named file holds the folder's lock for as long as the file
// system takes to make the inode, so writers on several threads would wait
// for each other there. Elsewhere it is written under zam_tempName(path),
// which its writer holds a lock of (zam_holdWriting) and which is recorded
// ahead as still written when it lies under the recorded folder, so that a
// run killed while writing leaves it covered, whatever namespace it ran in.
struct _zam_whole {
  _zam_file* fp;     // the stream; gzip or bzip2 when path ends so, else stdio
  std::string path;  // final name
  std::string temp;  // the temporary name; empty for an unnamed file
  int fd;            // a descriptor of the unnamed file kept for naming it, else -1
  ZamOlderFile older = ZAM_OLDER_SET_ASIDE;
  // Whether the first line of an older file at path (its line end left
  // out) is the mark of this writer's files, which are then replaced as
  // trel's; null: the writer's files carry no mark.
  bool (*marked)(const std::string& first_line) = nullptr;
};
// Opens path's file for writing whole (mode as zam_fopen: "w" or "wb"). Null
// without a message when it cannot be opened (errno tells why). Finish with
// zam_closeWhole.
_zam_whole* zam_openWhole(const std::string& path, const char* mode, ZamOlderFile older = ZAM_OLDER_SET_ASIDE);
// Closes the stream and, when keep is true and every write and the close
// succeeded, puts the file in place under its final name; 1 then. Under the
// recorded folder the file's A line is written whole first: when the turn at
// the record cannot be had or the line cannot be written, the file does not
// take the name and the call fails with that errno. What stands there
// already:
// - nothing: the file takes the name;
// - a regular file of trel's (with ZAM_OLDER_REPLACED any regular file; else
//   one this process put in place, one the record of written files covers,
//   zam_recordWrites, or one that begins with the writer's mark): it is
//   replaced, unless it already holds the very same bytes, when it is left
//   as it is (a file written again unchanged, as a query's rainbow file is
//   for every shown hit: replacing it would free blocks the disk must take
//   back and change nothing; its record line still covers it);
// - any other regular file (a user's), a folder at a result's name, or a
//   pipe, socket or device: it is first moved aside to the first free numbered name
//   (zam_numberedName, NAME.1, NAME.2, ...), which zam_setAsideFiles counts;
// - a symbolic link: it is replaced, not followed;
// - a folder, with ZAM_OLDER_REPLACED (a cache's or a database's file in
//   trel's own folder): it stays and the call fails (EISDIR).
// Only the file looked at is replaced: the new file's temporary name and the
// final name are exchanged and what comes out is checked to be that file
// (else the exchange is undone and the newcomer looked at again, as a
// user's); the temporary name is recorded ahead while it holds either file.
// Otherwise nothing is left of the new file, the final name is left as it
// was and 0 is returned (errno tells why). No message, but for a replaced
// file whose removal from the temporary name failed: that is said as an
// error (the run fails), the file left there covered by the record, for
// -purge to remove. Frees the record; null gives 0.
int zam_closeWhole(_zam_whole* whole, bool keep);
// zam_closeWhole for a file that must not take the place of another: it is
// put in place only when its final name is free. When anything stands
// there (a file, a folder, a link), it is left as it is, nothing is left of
// the new file and 0 is returned with errno EEXIST. No message.
int zam_closeWholeNew(_zam_whole* whole, bool keep);

// Takes back a file of this process's own: removes the regular file at
// path (a link not followed) only when it is one this process put in place
// with a whole-file writer, unchanged since and with no second name, looked
// at just before its removal (zam_removeRecorded). 1 when it was removed;
// 0 otherwise, the file left as it is. No message.
int zam_removePlacedByThisRun(const std::string& path);

// Gives the file from the name path without ever replacing a file: a
// regular file that stands there already is first given the first free
// numbered name of path, zam_numberedName(path, N) for N = 1, 2, ...; one
// of trel's (as zam_closeWhole tells) is recorded under that name when it
// lies under the recorded folder. The file from is trel's own (the log):
// its A line is written before it takes the name, and its W line is the
// caller's, once its bytes are final (zam_recordMade).
// Anything else standing there (a symbolic link, a folder, a device) is
// left alone, and the call fails with EEXIST. Safe against other processes
// doing the same at the same time: each step either takes a free name or
// fails. Returns 1; 0 when from could not be moved (errno tells why; from
// keeps its name). The numbered name given to a file that stood at path
// goes to *set_aside when it is not null (empty when none was moved). No
// message.
int zam_placeKeeping(const std::string& from, const std::string& path, std::string* set_aside = nullptr);
// Gives trel's own file from (the log of a run that fails) the first free
// numbered name of path, recorded ahead as zam_placeKeeping does, and
// returns that name; "" when it could not be moved (errno). No message.
std::string zam_placeNumberedOwn(const std::string& from, const std::string& path);
// Makes a new, empty file at path that this process goes on writing (a
// run's log) and returns a descriptor of it open for writing, which holds
// the writer's lock (zam_holdWriting) and which the caller closes with
// zam_releaseWriting once it records the file closed (zam_recordMade).
// Under the recorded folder its line (still written, zam_recordAhead) is
// written first: where the system has unnamed files the file is held and
// announced before it takes its name, so that a process ended at any
// moment leaves nothing, or a file whose line covers it and whose writer
// the kernel's lock shows gone (the next run and -purge take it, in any
// namespace). Elsewhere it is made at path, then held and announced at
// once. Nothing standing at path is replaced (-1, errno EEXIST; also for
// a file another process moved from path before it was held). -1 (errno)
// when it cannot be made or its line cannot be written: nothing of it is
// left then. No message.
int zam_openGrowing(const std::string& path);
// zam_closeWhole for a file whose place is taken later (zam_placeWhole):
// when keep is true and every write and the close succeeded, the file gets
// a temporary name beside its final one (zam_tempName), which is returned.
// The file is recorded ahead there as still written, and this process holds
// its writer's lock (zam_holdWriting) until zam_placeWhole or a stop's sweep
// (zam_removeOwnTemps) takes the name away.
// Otherwise nothing is left of the file and the result is empty (errno tells
// why). No message. Frees the record; null gives an empty name.
std::string zam_closeWholeAside(_zam_whole* whole, bool keep);
// Puts the file set aside under temp in place as path, as zam_closeWhole
// does for a result (ZAM_OLDER_SET_ASIDE, no mark). 1 on
// success; otherwise the temporary file is removed, path is left as it was
// and 0 is returned (errno tells why). No message.
int zam_placeWhole(const std::string& temp, const std::string& path);

// Removes every temporary file of this process that stands in a folder now
// (files written under a temporary name, set aside, or on their way to
// their final names), for a run that is stopped before its end. From then
// on no temporary file is made: a writer still at work fails (errno
// ECANCELED). Returns how many were removed. No message.
int zam_removeOwnTemps();
// Removes from folder the regular files whose names have zam_tempName's
// form and whose maker is provably gone (zam_ownerGone: made on this machine
// and in this PID namespace by a process that no longer runs): what a run
// that was killed left there. Nothing else is touched: files of this
// process, of a process that runs, of another host or namespace sharing the
// folder, and every name a user may have given (no owner mark). Returns how
// many were removed. No message.
int zam_removeDeadTemps(const std::string& folder);
// Whether entry, a name in a folder, is a file zam_removeDeadTemps would
// remove; *target is then the final name it was written for (as shortened
// when zam_tempName had to).
bool zam_deadTempOf(const std::string& entry, std::string* target);

// Null but in tests: called for path with each turn at the record a
// whole-file writer takes (ahead false) and before each A line it writes
// (ahead true); an errno it returns fails that turn, as a record that cannot
// be had, or that line, as one not written whole.
extern int (*zam_announce_fault)(const std::string& path, bool ahead);
// The calls on a file of its own that a test may have fail (the hook
// returns an errno, 0 to go on): the open that makes zam_openGrowing's
// file, and the removal of an older file from the temporary name it was
// exchanged to once its replacement has the final name. Null but in tests.
enum ZamFileCall { ZAM_CALL_OPEN = 1, ZAM_CALL_UNLINK = 2 };
extern int (*zam_file_fault)(ZamFileCall call, const std::string& path);
