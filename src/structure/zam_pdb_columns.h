// Fixed columns of PDB text lines: cutting fields out of a line, and the
// numbers of the coordinate, occupancy and B-factor columns, read through
// fast paths for their usual fixed-point text that give exactly what strtod
// gives, with the general reading for anything else. The PDB reader's own
// helpers, kept apart from its record handling; inline for its inner loop.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "structure/zam_pdb.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Included by the reader alone: file-private helpers, so that the compiler
// inlines them as it would its own.
namespace {

// Columns first..last (1-based) of a line of length len, shifted right by s,
// with blanks and control bytes dropped; never reads past the line's end.
// out holds last - first + 2 bytes.
void cut(const char* line, int len, int first, int last, int s, char* out) {
  int k = 0;
  for (int c = first + s; c <= last + s && c <= len; ++c) {
    unsigned char ch = static_cast<unsigned char>(line[c - 1]);
    if (ch > ' ' && ch < 127) out[k++] = static_cast<char>(ch);
  }
  out[k] = 0;
}

// Columns first..last as they stand (bounded by the line's end), for numbers.
void raw(const char* line, int len, int first, int last, int s, char* out) {
  int k = 0;
  for (int c = first + s; c <= last + s && c <= len; ++c) out[k++] = line[c - 1];
  out[k] = 0;
}

// Powers of ten that doubles hold exactly.
constexpr double kTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12,
                           1e13, 1e14, 1e15};

// A plain decimal field ("  -12.345", blanks around, at most 15 digits, no
// exponent) as strtod reads it, without strtod: the digits form an exact
// integer M below 2^53, and M / 10^k is one correctly rounded division of two
// exact doubles, which is the correctly rounded value of the text, as strtod
// gives it. False for any other text, which is left to strtod.
bool plainDecimal(const char* p, const char* end, double* out) {
  while (p < end && *p == ' ') ++p;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  int64_t m = 0;
  int digits = 0, fraction = 0;
  bool point = false;
  for (; p < end; ++p) {
    const char c = *p;
    if (c >= '0' && c <= '9') {
      if (++digits > 15) return false;
      m = m * 10 + (c - '0');
      if (point) ++fraction;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  while (p < end && *p == ' ') ++p;
  if (p != end) return false;
  const double v = static_cast<double>(m) / kTen[fraction];
  *out = negative ? -v : v;
  return true;
}

// Columns first..last as strtod reads them; with whole (coordinates), NaN,
// never the 0 that strtod makes of it, when the text is not wholly a number
// (blank, a word, a number run into other text).
double number(const char* line, int len, int first, int last, int s, bool whole = false) {
  double v;
  const int from = std::min(first + s, len + 1), to = std::min(last + s, len);
  if (plainDecimal(line + from - 1, line + std::max(to, from - 1), &v)) return v;
  char buf[16];
  raw(line, len, first, last, s, buf);
  char* end = nullptr;
  v = strtod(buf, &end);
  if (!whole) return v;
  const char* rest = end;
  while (*rest == ' ') ++rest;
  return end == buf || *rest ? __builtin_nan("") : v;
}

constexpr uint64_t kHigh = 0x8080808080808080ull;
constexpr uint64_t kBlanks = 0x2020202020202020ull;

// 0x80 in each zero byte of x, 0 elsewhere (exact: no borrow between bytes).
inline uint64_t zeroBytes(uint64_t x) { return ~(((x & ~kHigh) + ~kHigh) | x) & kHigh; }

// The value of a fixed-point column whose form is known to hold (see
// fixedPoint): x its eight bytes ending at the last column, those before the
// column blanks. Digits are then the only bytes with bit 4 set (blank, minus
// and point have it clear); their values with the point taken out read as
// an eight-digit number whose first byte is the highest (0 here): M.
template <int D>
inline double fixedValue(uint64_t x, bool negative) {
  constexpr int kPoint = 7 - D;
  constexpr uint64_t kBefore = (1ull << (8 * kPoint)) - 1;
  constexpr uint64_t kAfter = ~((1ull << (8 * (kPoint + 1))) - 1);
  uint64_t v = x & 0x0f0f0f0f0f0f0f0full & (((x >> 4) & 0x0101010101010101ull) * 0xff);
  v = ((v & kBefore) << 8) | (v & kAfter);
  v = (v * 10 + (v >> 8)) & 0x00ff00ff00ff00ffull;    // digit pairs
  v = (v * 100 + (v >> 16)) & 0x0000ffff0000ffffull;  // groups of four
  v = (v * 10000 + (v >> 32)) & 0xffffffffull;        // all eight
  // M as a double through the bits of 2^52 + M (exact below 2^52): the
  // integer conversion instruction would merge into the register of the
  // previous column's quotient and so wait for that division.
  const double m = std::bit_cast<double>(0x4330000000000000ull | v) - 4503599627370496.0;
  const double d = m / kTen[D];
  // Negated on the bits: "negative ? -d : d" may become a branch.
  return std::bit_cast<double>(std::bit_cast<uint64_t>(d) ^ (static_cast<uint64_t>(negative) << 63));
}

// plainDecimal for the usual text of a fixed-point column, read eight bytes
// at once: W (<= 8) columns at field holding blanks, an optional minus,
// digits, the point, and exactly D digits up to the last column (" -12.345"
// with D 3, "  0.50" with D 2). It forms the same M and k, so the same value,
// without a branch on the text (whose sign and digit count vary from line to
// line). False for any other text, which is left to number().
template <int W, int D>
inline bool fixedPoint(const char* field, double* out) {
  static_assert(W <= 8 && D >= 1 && D <= 6);
  if constexpr (std::endian::native != std::endian::little) return false;
  constexpr int kPoint = 7 - D;                                 // byte of the point
  constexpr uint64_t kBefore = (1ull << (8 * kPoint)) - 1;      // bytes before it
  constexpr uint64_t kAfter = ~((1ull << (8 * (kPoint + 1))) - 1);
  constexpr uint64_t kOutside = W >= 8 ? 0 : (1ull << (8 * (8 - W))) - 1;
  // The eight bytes ending at the field's last column; those before the
  // field read as leading blanks.
  uint64_t x;
  memcpy(&x, field + W - 8, 8);
  x = (x & ~kOutside) | (kBlanks & kOutside);
  // Digits: high nibble 3 and low nibble at most 9.
  const uint64_t digits =
      zeroBytes(((x & 0xf0f0f0f0f0f0f0f0ull) ^ 0x3030303030303030ull) |
                (((x & 0x0f0f0f0f0f0f0f0full) + 0x0606060606060606ull) & 0xf0f0f0f0f0f0f0f0ull));
  const uint64_t blanks = zeroBytes(x ^ kBlanks);
  const uint64_t minus = zeroBytes(x ^ 0x2d2d2d2d2d2d2d2dull);
  // The digits before the point run down to the last other byte, which must
  // be a blank or a minus, with only blanks below it.
  const uint64_t others = ~digits & kBefore & kHigh;
  const uint64_t sign = others ? 0x80ull << (63 - std::countl_zero(others) - 7) : 0;
  const uint64_t under = (sign - (sign != 0)) & kHigh;
  const bool valid = static_cast<uint8_t>(x >> (8 * kPoint)) == '.' && (digits & kAfter) == (kAfter & kHigh) &&
                     ((blanks | minus) & sign) == sign && (blanks & under) == under;
  if (!valid) return false;
  *out = fixedValue<D>(x, (minus & sign) != 0);
  return true;
}

#if defined(__SSE2__)
// The fixed-point form of several columns side by side, from byte masks of
// the text (bit j for byte j): the points at the `point` bits, digits at the
// `fraction` bits, and in each column's prefix (the `prefix` bits, whose
// lowest bit per column is in `first`) digits that run up to the point after
// a last other byte that is a blank or a minus, with only blanks below it.
// On success *signs holds the bits of the minus signs.
inline bool columnForms(uint32_t digits, uint32_t blanks, uint32_t minus, uint32_t points, uint32_t point,
                        uint32_t fraction, uint32_t prefix, uint32_t first, uint32_t* signs) {
  const uint32_t others = ~digits & prefix;
  const uint32_t last = others & ~(others >> 1);
  const bool valid = (points & point) == point && (digits & fraction) == fraction &&
                     (others & (others + first)) == 0 && ((others & ~last) & ~blanks) == 0 &&
                     (last & ~(blanks | minus)) == 0;
  *signs = last & minus;
  return valid;
}

// The form of fixedPoint<8, 3> checked for the three coordinate columns
// (the 24 bytes at p) at once, sixteen bytes to a compare; bit j of each
// mask below stands for byte j. When it holds, the values of fixedValue<3>
// go to xyz[0..2] and true is returned; else nothing is stored.
// The values are formed side by side: each column's digits (other bytes
// read as 0, the point's weight 0) are summed by multiply-add steps, in
// pairs, then pairs of pairs, then whole, every step exact in 16 or 32
// bits, to the M of fixedValue; M goes to a double exactly, and each lane's
// quotient M / 1000 is the same correctly rounded one.
inline bool coordinateValues(const char* p, double* xyz) {
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
  auto equal = [&](char c) {
    const __m128i cc = _mm_set1_epi8(c);
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, cc))) |
           static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, cc))) << 8;
  };
  // Signed compares: bytes from 0x80 up are negative and so not digits.
  auto digitsOf = [](__m128i v) {
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
  };
  const __m128i digitsLow = digitsOf(low), digitsHigh = digitsOf(high);
  const uint32_t digits = static_cast<uint32_t>(_mm_movemask_epi8(digitsLow)) |
                          static_cast<uint32_t>(_mm_movemask_epi8(digitsHigh)) << 8;
  const uint32_t blanks = equal(' '), minus = equal('-'), points = equal('.');
  // Per column (eight bits each): the point at byte 4 and digits at 5-7;
  // the other bytes of 0-3 form a prefix (the digits run to the point),
  // whose last byte is a blank or a minus and the rest blanks.
  uint32_t signs = 0;
  if (!columnForms(digits, blanks, minus, points, 0x101010u, 0xe0e0e0u, 0x0f0f0fu, 0x010101u, &signs))
    return false;
  const __m128i zero = _mm_setzero_si128(), ascii = _mm_set1_epi8('0');
  const __m128i dlow = _mm_and_si128(_mm_sub_epi8(low, ascii), digitsLow);     // columns 0 and 1
  const __m128i dhigh = _mm_and_si128(_mm_sub_epi8(high, ascii), digitsHigh);  // column 2 in 8-15
  // Bytes 0-7 of a column are d0 d1 d2 d3 . f0 f1 f2: pairs d0d1, d2d3, f0, f1f2.
  const __m128i pairs = _mm_setr_epi16(10, 1, 10, 1, 0, 1, 10, 1);
  const __m128i a = _mm_madd_epi16(_mm_unpacklo_epi8(dlow, zero), pairs);
  const __m128i b = _mm_madd_epi16(_mm_unpackhi_epi8(dlow, zero), pairs);
  const __m128i c = _mm_madd_epi16(_mm_unpackhi_epi8(dhigh, zero), pairs);
  // Integer part d0d1d2d3 and fraction f0f1f2 of each column (at most 9999).
  const __m128i halves = _mm_set1_epi32(100 | 1 << 16);
  const __m128i ab = _mm_madd_epi16(_mm_packs_epi32(a, b), halves);
  const __m128i cz = _mm_madd_epi16(_mm_packs_epi32(c, zero), halves);
  // M = integer part * 1000 + fraction, for the columns in lanes 0-2.
  const __m128i m = _mm_madd_epi16(_mm_packs_epi32(ab, cz), _mm_set1_epi32(1000 | 1 << 16));
  const __m128d thousand = _mm_set1_pd(kTen[3]);
  // Negated on the bits, as fixedValue does.
  const __m128i signXy = _mm_set_epi64x(static_cast<int64_t>((signs & 0xff00u) != 0) << 63,
                                        static_cast<int64_t>((signs & 0xffu) != 0) << 63);
  const __m128i signZ = _mm_set_epi64x(0, static_cast<int64_t>((signs & 0xff0000u) != 0) << 63);
  const __m128d xy = _mm_div_pd(_mm_cvtepi32_pd(m), thousand);
  const __m128d z = _mm_div_sd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(m, m)), thousand);
  _mm_storeu_pd(xyz, _mm_xor_pd(xy, _mm_castsi128_pd(signXy)));
  _mm_store_sd(xyz + 2, _mm_xor_pd(z, _mm_castsi128_pd(signZ)));
  return true;
}

// The same for the occupancy and B-factor columns of style 1, the 12 bytes
// at p as two fixedPoint<6, 2> columns (six bits of each mask apiece): the
// point at byte 3, digits at 4-5, before them a prefix of blanks that may
// end in a minus. Reads 16 bytes. When the form holds, the values of
// fixedValue<2> go to values[0..1] (occupancy, B-factor) and true is
// returned. Each column's digits d0 d1 d2 . f0 f1 are weighed in one
// multiply-add step (d0d1 as d0 * 10000 + d1 * 1000, d2 * 100, f0f1) and
// the three parts added: M exactly, as in coordinateValues.
inline bool occupancyValues(const char* p, double* values) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  auto equal = [&](char c) { return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c)))); };
  const __m128i digitBytes =
      _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
  const uint32_t digits = static_cast<uint32_t>(_mm_movemask_epi8(digitBytes));
  const uint32_t blanks = equal(' '), minus = equal('-'), points = equal('.');
  uint32_t signs = 0;  // prefixes: bytes 0-2 and 6-8
  if (!columnForms(digits, blanks, minus, points, 0x208u, 0xc30u, 0x1c7u, 0x41u, &signs)) return false;
  const __m128i zero = _mm_setzero_si128();
  const __m128i d = _mm_and_si128(_mm_sub_epi8(v, _mm_set1_epi8('0')), digitBytes);
  // Bytes 0-7: d0 d1 d2 . f0 f1 | d0 d1 of the B-factor; bytes 8-15: d2 . f0 f1.
  const __m128i a = _mm_madd_epi16(_mm_unpacklo_epi8(d, zero), _mm_setr_epi16(10000, 1000, 100, 0, 10, 1, 10000, 1000));
  const __m128i b = _mm_madd_epi16(_mm_unpackhi_epi8(d, zero), _mm_setr_epi16(100, 0, 10, 1, 0, 0, 0, 0));
  // a = [o0, o1, o2, b0], b = [b1, b2, 0, 0]: M = o0 + o1 + o2 and b0 + b1 + b2.
  const __m128i mid = _mm_unpacklo_epi32(_mm_shuffle_epi32(a, _MM_SHUFFLE(3, 3, 2, 1)), b);  // o1 b1 o2 b2
  const __m128i m = _mm_add_epi32(_mm_add_epi32(_mm_shuffle_epi32(a, _MM_SHUFFLE(3, 3, 3, 0)), mid),
                                  _mm_srli_si128(mid, 8));
  const __m128i sign = _mm_set_epi64x(static_cast<int64_t>((signs & 0xfc0u) != 0) << 63,
                                      static_cast<int64_t>((signs & 0x3fu) != 0) << 63);
  const __m128d q = _mm_div_pd(_mm_cvtepi32_pd(m), _mm_set1_pd(kTen[2]));
  _mm_storeu_pd(values, _mm_xor_pd(q, _mm_castsi128_pd(sign)));
  return true;
}
#endif

// Powers of ten that floats hold exactly.
constexpr float kTenF[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f};

// The four numbers that sscanf's "%f%f%f%f" reads from the terminated text
// p, when each is a plain decimal (a sign, at most seven digits and a
// point, no exponent) after blanks and followed by a blank or the end:
// M / 10^k of two exact floats, one correctly rounded division, is the
// correctly rounded value of the text, as sscanf gives it. False for any
// other text, which is left to sscanf.
bool plainFloats(const char* p, float* v) {
  for (int f = 0; f < 4; ++f) {
    while (*p == ' ') ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    int32_t m = 0;
    int digits = 0, fraction = 0;
    bool point = false;
    for (;; ++p) {
      const char c = *p;
      if (c >= '0' && c <= '9') {
        if (++digits > 7) return false;
        m = m * 10 + (c - '0');
        fraction += point;
      } else if (c == '.' && !point) {
        point = true;
      } else {
        break;
      }
    }
    if (digits == 0 || (*p != ' ' && *p != 0)) return false;
    const float x = static_cast<float>(m) / kTenF[fraction];
    v[f] = negative ? -x : x;
  }
  return true;
}

// number() of columns first..first+W-1 with the fixed-point form tried first.
template <int W, int D>
inline double fixedNumber(const char* line, int len, int first, int s, bool whole = false) {
  double v;
  if (first + W - 1 + s <= len && fixedPoint<W, D>(line + first + s - 1, &v)) return v;
  return number(line, len, first, first + W - 1, s, whole);
}

long integer(const char* line, int len, int first, int last, int s) {
  char buf[16];
  cut(line, len, first, last, s, buf);
  return strtol(buf, nullptr, 10);
}

void parse(const char* line, int len, int s, int style, _pdb_atom* a) {
  a->model = a->chain_no = a->residue = 0;
  a->is_ca = a->is_mc = a->is_bb = a->is_sc = 0;
  a->radius = 0;
  cut(line, len, 1, 6, 0, a->type);
  cut(line, len, 13, 16, s, a->name);
  // The column form keeps blanks: it is written back as it stands.
  int k = 0;
  for (int c = 13 + s; c <= 16 + s && c <= len; ++c) {
    unsigned char ch = static_cast<unsigned char>(line[c - 1]);
    if (ch >= 1 && ch < 128) a->cname[k++] = static_cast<char>(ch);
  }
  a->cname[k] = 0;
  cut(line, len, 17, 17, s, a->alt);
  cut(line, len, 18, 20, s, a->resname);
  cut(line, len, 22, 22, s, a->chain);
  if (!a->chain[0]) strcpy(a->chain, "_");
  cut(line, len, 23, 26, s, a->resnum);
  cut(line, len, 27, 27, s, a->icode);
  snprintf(a->label, sizeof a->label, "%s%s", a->resnum, a->icode);
  a->x = number(line, len, 31, 38, s, true);
  a->y = number(line, len, 39, 46, s, true);
  a->z = number(line, len, 47, 54, s, true);
  if (style == 2) {
    a->column = static_cast<int>(integer(line, len, 55, 60, s));
    a->occupancy = 1.0f;
    a->bfactor = static_cast<float>(number(line, len, 61, 67, s));
  } else if (style == 1) {
    a->occupancy = static_cast<float>(number(line, len, 55, 60, s));
    if (a->occupancy == 0.0f) a->occupancy = 1.0f;
    a->bfactor = static_cast<float>(number(line, len, 61, 66, s));
    a->column = 99;
  } else {
    a->occupancy = 1.0f;
    a->bfactor = 0.0f;
    a->column = 99;
  }
}

int tasteStyle(const char* line, int len, int s) {
  if (len < 60 + s) return 0;
  for (int c = 55 + s; c <= 60 + s; ++c)
    if (line[c - 1] == '.') return 1;
  return 2;
}

}  // namespace
