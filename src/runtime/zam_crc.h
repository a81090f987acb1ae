// CRC-32, the checksum of zlib and gzip (reflected polynomial 0xEDB88320):
// the same values as zlib's crc32_z, computed by carry-less multiplication
// where the processor has it, several times faster than zlib's tables.
#pragma once

#include <cstdint>

// The CRC-32 of n more bytes of data taken on from crc (0 to start); crc
// unchanged for n < 1 or null data.
uint32_t zam_crc32(uint32_t crc, const void* data, int64_t n);
