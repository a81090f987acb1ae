#include "runtime/zam_crc.h"

#include <immintrin.h>
#include <zlib.h>

#include <cstddef>

namespace {

// Bytes zlib takes in one call: its length argument is a size_t, but the
// pieces are kept well inside any 32-bit count all the same.
constexpr int64_t kZlibPiece = int64_t{1} << 30;

uint32_t zlibCrc(uint32_t crc, const unsigned char* p, int64_t n) {
  while (n > 0) {
    const int64_t k = n < kZlibPiece ? n : kZlibPiece;
    crc = static_cast<uint32_t>(crc32_z(crc, p, static_cast<size_t>(k)));
    p += k;
    n -= k;
  }
  return crc;
}

// Folding constants of the reflected polynomial, {x^(D+32), x^(D-32)} mod P
// (bit-reflected, shifted left once) for a lane of 128 bits carried D bits
// forward: D = 2048 for four 512-bit lanes, 512 for four 128-bit lanes (or
// one 512-bit lane onto the next), 128 for one 128-bit lane; then x^64 for
// the last 64 bits, and P itself with floor(x^64 / P) for the Barrett
// reduction to 32 bits. The first two are repeated for the four 128-bit
// lanes of a 512-bit register.
alignas(64) const uint64_t kFold2048x4[8] = {0x011542778a, 0x01322d1430, 0x011542778a, 0x01322d1430,
                                             0x011542778a, 0x01322d1430, 0x011542778a, 0x01322d1430};
alignas(64) const uint64_t kFold512x4[8] = {0x0154442bd4, 0x01c6e41596, 0x0154442bd4, 0x01c6e41596,
                                            0x0154442bd4, 0x01c6e41596, 0x0154442bd4, 0x01c6e41596};
alignas(16) const uint64_t kFold128[2] = {0x01751997d0, 0x00ccaa009e};
alignas(16) const uint64_t kFold64[2] = {0x0163cd6124, 0};
alignas(16) const uint64_t kBarrett[2] = {0x01db710641, 0x01f7011641};

#define ZAM_CLMUL __attribute__((target("pclmul,sse4.1")))
#define ZAM_CLMUL_WIDE __attribute__((target("avx512f,vpclmulqdq,pclmul,sse4.1")))

ZAM_CLMUL inline __m128i load16(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One 128-bit lane x carried forward by the constants k onto next.
ZAM_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), lo), next);
}

// The same for the four 128-bit lanes of a 512-bit register at once.
ZAM_CLMUL_WIDE inline __m512i fold(__m512i x, __m512i k, __m512i next) {
  const __m512i lo = _mm512_clmulepi64_epi128(x, k, 0x00);
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x11), lo, next, 0x96);
}

// The register crc over whole blocks of 256 bytes (blocks >= 1), in four
// 512-bit lanes folded 2048 bits at a time and then onto one another: the
// four 128-bit lanes of 64 consecutive bytes that stand for all of it.
ZAM_CLMUL_WIDE void foldWide(uint32_t crc, const unsigned char* p, int64_t blocks, __m128i* lanes) {
  __m512i z[4];
  for (int l = 0; l < 4; l++) z[l] = _mm512_loadu_si512(p + 64 * l);
  z[0] = _mm512_xor_si512(z[0], _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
  __m512i k = _mm512_load_si512(kFold2048x4);
  for (int64_t b = 1; b < blocks; b++) {
    p += 256;
    for (int l = 0; l < 4; l++) z[l] = fold(z[l], k, _mm512_loadu_si512(p + 64 * l));
  }
  k = _mm512_load_si512(kFold512x4);
  _mm512_storeu_si512(lanes, fold(fold(fold(z[0], k, z[1]), k, z[2]), k, z[3]));
}

// The register crc over whole blocks of 64 bytes (blocks >= 1) in four
// 128-bit lanes.
ZAM_CLMUL void foldNarrow(uint32_t crc, const unsigned char* p, int64_t blocks, __m128i* lanes) {
  for (int l = 0; l < 4; l++) lanes[l] = load16(p + 16 * l);
  lanes[0] = _mm_xor_si128(lanes[0], _mm_cvtsi32_si128(static_cast<int>(crc)));
  const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold512x4));
  for (int64_t b = 1; b < blocks; b++) {
    p += 64;
    for (int l = 0; l < 4; l++) lanes[l] = fold(lanes[l], k, load16(p + 16 * l));
  }
}

// The four lanes folded into one, carried over n more bytes (a multiple of
// 16), then reduced from 128 bits to 64 and by Barrett reduction to the
// 32-bit register.
ZAM_CLMUL uint32_t reduce(const __m128i* lanes, const unsigned char* p, int64_t n) {
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold128));
  __m128i x = fold(fold(fold(lanes[0], k, lanes[1]), k, lanes[2]), k, lanes[3]);
  for (; n >= 16; p += 16, n -= 16) x = fold(x, k, load16(p));
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, k, 0x10));
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k, 0x00), _mm_srli_si128(x, 4));
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
  __m128i y = _mm_clmulepi64_si128(_mm_and_si128(x, low32), k, 0x10);
  y = _mm_clmulepi64_si128(_mm_and_si128(y, low32), k, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, y), 1));
}

// 0 without carry-less multiplication, 1 with it on 128 bits, 2 with it on
// 512 bits as well; asked once.
int clmulWidth() {
  static const int width = [] {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("pclmul") || !__builtin_cpu_supports("sse4.1")) return 0;
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq") ? 2 : 1;
  }();
  return width;
}

}  // namespace

uint32_t zam_crc32(uint32_t crc, const void* data, int64_t n) {
  if (!data || n < 1) return crc;
  const auto* p = static_cast<const unsigned char*>(data);
  const int width = n >= 64 ? clmulWidth() : 0;
  if (width > 0) {
    // The register runs inverted, as zlib keeps it between calls.
    const int64_t block = width == 2 && n >= 256 ? 256 : 64;
    const int64_t blocks = n / block;
    const int64_t tail = (n - blocks * block) & ~int64_t{15};
    __m128i lanes[4];
    if (block == 256)
      foldWide(~crc, p, blocks, lanes);
    else
      foldNarrow(~crc, p, blocks, lanes);
    p += blocks * block;
    crc = ~reduce(lanes, p, tail);
    p += tail;
    n -= blocks * block + tail;
  }
  return zlibCrc(crc, p, n);
}
