// Checks of the per-structure cache files. Every cache file ends in one
// line that says what it holds and what it was made from:
//   "REMARK 999 trel cache v6 tau_B src 1a2b3c4d 000000004178 opt 0001 sum 89abcdef\n"
// its kind, the CRC-32 and size of its source file's bytes, the reading
// options that shaped what was read from it (trel_readingKey), and the
// CRC-32 of every byte of the file before the sum. The readers of the
// formats stop before that line (the PDB reader takes it for a remark), so
// the formats themselves are unchanged. A file cut, changed, of another
// kind, made from another source or with other reading options, or written
// by an older version (a "v1" to "v5" line) is not served.
//
// Only a file that carries the line's head near its end is trel's own: the
// cache replaces or removes no other file at its names (a user's structure
// or trace file that happens to be named as one of its files), however
// near it comes to the format.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/zam_identity.h"

struct _zam_filesum;
struct _zam_whole;

// A source file's stamp: the CRC-32 and the size of its bytes as they lie
// on disk (a compressed file is not unpacked).
// With it, the reading options in force when it was taken: the cache files
// made from it hold what was read under those options.
struct _trel_stamp {
  uint32_t crc;
  int64_t size;
  uint32_t options;  // trel_readingKey()
};

// Length of the check line that ends every cache file.
constexpr int TREL_CHECK_LINE = 79;

// The reading options of the PDB reader that change what an object's files
// hold, as set now: HETATM residues read, hydrogens kept, residues without
// their backbone dropped, the chain types read, one chain or all models.
// One bit each (the chain type two), so that no two settings meet.
uint32_t trel_readingKey();

// A source file's identity (zam_identity.h) is what a tag file records
// beside the stamp of its object's source, so that an open finding the same
// identity takes the stamp without reading a byte of the source, as
// version-control indexes do. It is recorded only when the file had not
// changed for a while when it was read: a change within the grain of the
// times the file system keeps could leave them as they were.

// The stamp of a source file from the sum a read of it took (zam_filesum.h),
// with the reading options in force now, and into id (when given) its
// identity when it was settled: the same when opened as after its last byte,
// of the size summed, and its times more than their grain before the read
// began (else id is all zero). 1; 0 when the sum is not whole (the file
// could not be read to its end): then no stamp.
int trel_stampSum(const _zam_filesum& sum, _trel_stamp* stamp, _zam_identity* id = nullptr);
// The stamp of the file at path (links followed), its bytes read and summed
// in pieces (memory that does not grow with the file), and its identity
// when settled, as trel_stampSum gives them. 1; 0 when it cannot be read
// (errno tells why; no message).
int trel_stampFile(const char* path, _trel_stamp* stamp, _zam_identity* id = nullptr);

// What a check of one cache file found.
enum TrelCheck {
  TREL_CHECK_OK = 0,
  TREL_CHECK_MISSING,     // no such file
  TREL_CHECK_UNREADABLE,  // it cannot be opened or read (errno tells why): not known to be trel's
  TREL_CHECK_UNSEALED,    // no check line near its end: not trel's (a user's file), never replaced
  TREL_CHECK_OLDER,       // the check line of an older version: trel's, not trusted
  TREL_CHECK_DAMAGED,     // trel's, but its bytes, length or kind are not those it was written with
  TREL_CHECK_FOREIGN,     // made from another source file
  TREL_CHECK_OPTIONS,     // made from this source under other reading options
};

// Whether a file that checked so may be replaced by the cache: one that is
// missing, or that is trel's own (it carries the head of a check line, even
// cut or damaged). A file that cannot be read, or carries no check line, is
// left as it is.
bool trel_checkReplaceable(TrelCheck check);

// What stands at path, seen by its last bytes only (a writer's look before
// it puts a cache file there): TREL_CHECK_MISSING, TREL_CHECK_UNREADABLE
// (also anything but a regular file: a link, a folder), TREL_CHECK_UNSEALED
// (no check line's head near the end), or TREL_CHECK_OK for a file of trel's
// (whether it would pass a check or not). No message.
TrelCheck trel_checkOwner(const char* path);

// How a file's check line compares with the stamp of the source at hand:
// TREL_CHECK_OK, TREL_CHECK_FOREIGN or TREL_CHECK_OPTIONS.
TrelCheck trel_compareStamp(const _trel_stamp& found, const _trel_stamp& source);
// Reads the cache file at path whole and checks it as trel_checkCacheFile
// does, but for its source: the stamp its line records goes to found (on
// TREL_CHECK_OK). A file larger than most bytes is not read: it is
// TREL_CHECK_DAMAGED when its last bytes carry a check line's head (trel's,
// and not as written), else as trel_checkOwner tells.
TrelCheck trel_readCacheFile(const char* path, const char* kind, std::string* payload, _trel_stamp* found,
                             int64_t most = INT64_MAX);

// Reads the cache file at path whole and checks it: a file of kind (at most
// five characters), made from source, with every byte as written. The bytes
// before the check line go to payload when it is given (on TREL_CHECK_OK
// only). No message.
TrelCheck trel_checkCacheFile(const char* path, const char* kind, const _trel_stamp& source,
                              std::string* payload);

// What a failed check says about the file, to follow its name in a message
// ("is damaged", "cannot be read [Permission denied]", ...); errno is read
// for TREL_CHECK_UNREADABLE, so call it before anything else can set it.
std::string trel_checkText(TrelCheck check);

// Ends a cache file being written whole: flushes what was written and
// appends the check line of kind and source over those bytes. written, when
// given, is the CRC-32 of every byte written, taken as they were written;
// without it they are read back. 1; 0 when a read or write failed (errno
// tells why; no message).
int trel_sealCacheFile(_zam_whole* whole, const char* kind, const _trel_stamp& source,
                       const uint32_t* written = nullptr);
