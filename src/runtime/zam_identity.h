// A file's identity as the file system gives it (device, inode, size, and
// the modification and change times to the nanosecond), kept the same way
// by every record the tool keeps of a file: the object cache's tags (the
// source a cache file was made from), the hit files of a query (.kwritten)
// and the files written into a results folder (.zam_written). One text form,
// one reader of it and one comparison; and the one removal of a file a
// record says the tool wrote. The change time is the time a user cannot set
// back: a file rewritten in place and given its old times (cp -p, rsync -t,
// tar x, touch -r), renamed or linked to another name, has another one.
// Also the one way a time is given in nanoseconds, and the run's start.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct stat;
struct statx;
struct timespec;

// t in nanoseconds since the epoch; a time past what 64 bits hold (after
// the year 2262, or long before 1970) is held at the nearest end.
int64_t zam_nanoseconds(const struct timespec& t);
// Now, in nanoseconds, on the system's fine wall clock.
int64_t zam_nowNs();
// When this run (process) started, in nanoseconds, on the clock file
// systems stamp change times with (the coarse wall clock, which never runs
// ahead of the fine one): a file whose change time is at or after it was
// changed since the run started, or within the clock's tick before.
int64_t zam_runStart();
// When this run (process) started on the fine wall clock (zam_nowNs): a run
// of another process that took zam_nowNs before it ended before this began.
int64_t zam_runBegan();

// All zero: not known (no file has inode 0).
struct _zam_identity {
  uint64_t dev;
  uint64_t ino;
  int64_t size;
  int64_t mtime_ns;
  int64_t ctime_ns;
};
static_assert(sizeof(_zam_identity) == 40, "a 40-byte record, as binary files keep it");

// The identity of the file whose status is st.
_zam_identity zam_identityOf(const struct stat& st);
// The identity of the regular file at path: the path itself (a link is not
// followed) unless follow is true. Its link count goes to *links when given.
// 1; 0 when nothing, or no regular file, stands there (errno ENOENT, or
// EINVAL for a link, a folder, a pipe ...). No message.
int zam_identityAt(const char* path, _zam_identity* id, uint64_t* links = nullptr, bool follow = false);
// Whether the file or folder open as fd still stands at path (a link not
// followed): the same device and inode. The one answer to "is the file I
// hold still at its name"; false when either cannot be looked at (errno).
// st, when given, gets the status of the file at path.
bool zam_standsAt(int fd, const std::string& path, struct stat* st = nullptr);
// The same for a file held open whose status held was taken from its
// descriptor (its device and inode stay while it is open): one look, at
// path alone.
bool zam_standsAt(const struct stat& held, const std::string& path, struct stat* st = nullptr);
// The status of the file open as fd, as fstat gives it, and its birth time
// in nanoseconds (0 where the file system keeps none), in one look; false
// (errno) when it cannot be looked at.
bool zam_statBorn(int fd, struct stat* st, int64_t* born);
// The birth time in nanoseconds that a statx result holds: 0 where the
// file system keeps none. Every birth time the tool reads comes through
// here.
int64_t zam_bornIn(const struct statx& sx);
// Null but in tests: asked wherever a file's birth time (generation false)
// or inode generation (true) is read; true has the file system keep none.
extern bool (*zam_stamp_fault)(bool generation);
// Whether a is known and b is the very same: all five fields equal.
bool zam_sameIdentity(const _zam_identity& a, const _zam_identity& b);

// The text form of an identity, its five numbers in decimal with one space
// between them: "<device> <inode> <size> <mtime ns> <ctime ns>".
std::string zam_identityText(const _zam_identity& id);
// Reads the text form in [text, limit) into id. *end (when given) goes past
// its last digit. false, id untouched, for anything else: a field missing, a
// sign, a number out of range, another separator (a NUL byte too).
bool zam_parseIdentity(const char* text, const char* limit, _zam_identity* id, const char** end = nullptr);
// Reads the unsigned decimal number (1 to 20 digits, no sign) at p, ending
// before limit, into *out when it is at most max, and moves p past it;
// false, both untouched, otherwise. The one reader of the numbers of the
// tool's text records.
bool zam_parseNumber(const char*& p, const char* limit, uint64_t max, uint64_t* out);

// What zam_removeRecorded found at a recorded path.
enum ZamRecorded {
  ZAM_RECORDED_REMOVED = 0,  // it was the recorded file, and it is removed (or would be)
  ZAM_RECORDED_GONE,         // nothing stands there any more
  ZAM_RECORDED_CHANGED,      // something else stands there: another file, one changed since, a link, a folder
  ZAM_RECORDED_LINKED,       // the recorded file, but with a second name someone gave it: kept
  ZAM_RECORDED_FAILED,       // the recorded file, but it could not be removed (errno)
};
// Removes the file a record says the tool wrote at path with identity id,
// when exactly that file stands at exactly that path: a regular file (a link
// is not followed), of the whole identity id, with one link only (the tool
// makes no hard link: a second name is a user's, and removing the file would
// take its data from under that name too). With really false nothing is
// removed, and ZAM_RECORDED_REMOVED says the file would be. No message.
ZamRecorded zam_removeRecorded(const std::string& path, const _zam_identity& id, bool really = true);
