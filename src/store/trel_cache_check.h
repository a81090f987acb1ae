// Checks of the per-structure cache files. Every cache file ends in one
// line that says what it holds and what it was made from:
//   "REMARK 999 trel cache v1 tau_B src 1a2b3c4d 000000004178 sum 89abcdef\n"
// its kind, the CRC-32 and size of its source file's bytes, and the CRC-32
// of every byte of the file before the sum. The readers of the formats stop
// before that line (the PDB reader takes it for a remark), so the formats
// themselves are unchanged. A file without the line (an older cache file),
// cut, changed, of another kind or made from another source is not served.
#pragma once

#include <cstdint>
#include <string>

struct _zam_whole;

// A source file's identity: the CRC-32 and the size of its bytes as they
// lie on disk (a compressed file is not unpacked).
struct _trel_stamp {
  uint32_t crc;
  int64_t size;
};

// Length of the check line that ends every cache file.
constexpr int TREL_CHECK_LINE = 70;

// The stamp of the file at path. 1; 0 when it cannot be read (errno tells
// why; no message).
int trel_stampFile(const char* path, _trel_stamp* stamp);

// What a check of one cache file found.
enum TrelCheck {
  TREL_CHECK_OK = 0,
  TREL_CHECK_MISSING,     // no such file
  TREL_CHECK_UNREADABLE,  // it cannot be opened or read (errno tells why)
  TREL_CHECK_UNSEALED,    // no check line: an older cache file, or one cut short
  TREL_CHECK_DAMAGED,     // its bytes, length or kind are not those it was written with
  TREL_CHECK_FOREIGN,     // made from another source file
};

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
// appends the check line of kind and source over those bytes. 1; 0 when a
// read or write failed (errno tells why; no message).
int trel_sealCacheFile(_zam_whole* whole, const char* kind, const _trel_stamp& source);
