// The checksum of a file as it lies on disk, taken by the reader that reads
// it, on the blocks it reads as it reads them: the CRC-32 and the count of
// its bytes (a compressed file's packed bytes, not what they unpack to), in
// memory that does not grow with the file, with the file's identity when it
// was opened and after its last byte, so that a change under the read shows.
#pragma once

#include <cstdint>

#include "runtime/zam_identity.h"

struct _zam_filesum {
  int64_t start_ns;       // the clock (CLOCK_REALTIME) just before the file was opened
  uint32_t crc;           // CRC-32 of the bytes summed
  int64_t size;           // how many
  _zam_identity opened;   // the file's identity when opened (all zero: not taken)
  _zam_identity closed;   // its identity after the last byte was read
  int whole;              // 1: every byte to the end of the file summed, both identities taken
};

// Starts a sum of the file about to be opened: all zero, start_ns now.
void zam_sumStart(_zam_filesum* sum);
// Takes n bytes a reader read from the file into the sum.
void zam_sumAdd(_zam_filesum* sum, const void* data, int64_t n);
// Ends the sum of the file read through descriptor fd: the bytes from its
// position to its end are read (in pieces of 64 kB) and summed, the
// identity after them taken, and whole set. A reader that stops early (one
// model of many) so reads every byte once, parsing only what it needs. 1;
// 0 on a read error or when fd is no regular file (errno tells why; whole
// stays 0). No message.
int zam_sumFinish(_zam_filesum* sum, int fd);
// The sum of the regular file at path (a link followed), read whole in
// pieces and summed: zam_sumStart, the open, opened, zam_sumFinish. 1; 0
// when it cannot be opened or read, or is no regular file (errno). No
// message.
int zam_sumFile(const char* path, _zam_filesum* sum);
