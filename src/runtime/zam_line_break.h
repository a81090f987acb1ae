// The scan for line ends shared by the line readers: sixteen bytes at a time
// where the processor has SSE2, one at a time elsewhere.
#pragma once

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>

// Bit i set where s[i], among the sixteen bytes at s, is a newline or a
// carriage return.
inline unsigned zam_break_mask16(const char* s) {
  const __m128i newline = _mm_set1_epi8('\n'), ret = _mm_set1_epi8('\r');
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, newline), _mm_cmpeq_epi8(v, ret))));
}
#endif

// Index of the first newline or carriage return among the rest bytes at s,
// or rest when there is none. Reads up to 15 bytes past s + rest, which must
// be readable (padding of the caller's buffer).
inline int64_t zam_line_break(const char* s, int64_t rest) {
#if defined(__SSE2__)
  for (int64_t i = 0; i < rest; i += 16) {
    const unsigned special = zam_break_mask16(s + i);
    if (special) return std::min<int64_t>(i + __builtin_ctz(special), rest);
  }
  return rest;
#else
  for (int64_t i = 0; i < rest; ++i)
    if (s[i] == '\n' || s[i] == '\r') return i;
  return rest;
#endif
}
