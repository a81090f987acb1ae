// PDB text reader: ATOM, HETATM, MODEL/ENDMDL, TER and the SMTRY/BIOMT
// REMARK records of a plain, gzip or bzip2 PDB file into a structure image.
#include "structure/zam_pdb.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "structure/zam_residue.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Reader options, process-wide; callers set them before threads start.
int select_chain = 1;
int one_model = 1;
int one_chain = 0;
int use_hydrogens = 0;
int use_hetres = 0;
int use_warnings = 0;
int discard_missing = 0;

constexpr int kLineSize = 257;     // 256 characters and the terminator
constexpr int kGrow = 5000;        // first room of the record arrays
constexpr int kMaxMatrices = 242;  // room of each symmetry list

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

double number(const char* line, int len, int first, int last, int s) {
  double v;
  const int from = std::min(first + s, len + 1), to = std::min(last + s, len);
  if (plainDecimal(line + from - 1, line + std::max(to, from - 1), &v)) return v;
  char buf[16];
  raw(line, len, first, last, s, buf);
  return strtod(buf, nullptr);
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
  const uint32_t others = ~digits & 0x0f0f0fu;
  const uint32_t last = others & ~(others >> 1);
  const bool valid = (points & 0x101010u) == 0x101010u && (digits & 0xe0e0e0u) == 0xe0e0e0u &&
                     (others & (others + 0x010101u)) == 0 && ((others & ~last) & ~blanks) == 0 &&
                     (last & ~(blanks | minus)) == 0;
  if (!valid) return false;
  const uint32_t signs = last & minus;
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
  const uint32_t others = ~digits & 0x1c7u;  // bytes 0-2 and 6-8
  const uint32_t last = others & ~(others >> 1);
  const bool valid = (points & 0x208u) == 0x208u && (digits & 0xc30u) == 0xc30u &&
                     (others & (others + 0x41u)) == 0 && ((others & ~last) & ~blanks) == 0 &&
                     (last & ~(blanks | minus)) == 0;
  if (!valid) return false;
  const uint32_t signs = last & minus;
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
inline double fixedNumber(const char* line, int len, int first, int s) {
  double v;
  if (first + W - 1 + s <= len && fixedPoint<W, D>(line + first + s - 1, &v)) return v;
  return number(line, len, first, first + W - 1, s);
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
  a->x = number(line, len, 31, 38, s);
  a->y = number(line, len, 39, 46, s);
  a->z = number(line, len, 47, 54, s);
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

// A record array that grows by doubling and keeps its room from one reading
// to the next: each thread reads into its own, and the image gets exact-size
// copies at the end. New room is not cleared: every record is cleared or
// written whole when it is taken.
template <class T>
struct Scratch {
  std::unique_ptr<T[]> data;
  int cap = 0;

  // The records, with room for record i; records 0..i-1 are kept.
  T* room(int i) {
    if (i >= cap) {
      const int grown = std::max(std::max(2 * cap, kGrow), i + 1);
      std::unique_ptr<T[]> bigger(new T[static_cast<size_t>(grown)]);
      if (i > 0) memcpy(bigger.get(), data.get(), static_cast<size_t>(i) * sizeof(T));
      data = std::move(bigger);
      cap = grown;
    }
    return data.get();
  }
};

// The text of a plain file, read in blocks.
struct Text {
  _zam_text t{};
  ~Text() { zam_freeText(&t); }
};

// The largest block read at once: most structure files fit in one, and a
// reading that stops early (at the end of the first model) reads little
// more than it uses.
constexpr int64_t kBlock = int64_t{1} << 18;

// The reading buffers of this thread; only zam_readPdb on this thread uses
// them, so several threads read at once without sharing anything.
struct Buffers {
  Scratch<_pdb_atom> atoms, hetatms;
  Scratch<_pdb_residue> residues;
  Text text;
};
thread_local Buffers buffers;

// Index of the first newline or carriage return among the rest bytes at s,
// or rest when there is none. Reads up to 15 bytes past the end, which the
// text's padding holds.
inline int64_t lineBreak(const char* s, int64_t rest) {
#if defined(__SSE2__)
  const __m128i newline = _mm_set1_epi8('\n'), ret = _mm_set1_epi8('\r');
  for (int64_t i = 0; i < rest; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const int special = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, newline), _mm_cmpeq_epi8(v, ret)));
    if (special) return std::min<int64_t>(i + __builtin_ctz(static_cast<unsigned>(special)), rest);
  }
  return rest;
#else
  for (int64_t i = 0; i < rest; ++i)
    if (s[i] == '\n' || s[i] == '\r') return i;
  return rest;
#endif
}

// A block of exactly n records (kfree releases it) holding a copy of a[0..n-1].
template <class T>
T* exactCopy(const T* a, int n) {
  T* b = static_cast<T*>(kget1B(static_cast<int64_t>(n) * sizeof(T)));
  if (n > 0) memcpy(b, a, static_cast<size_t>(n) * sizeof(T));
  return b;
}

Matrix3D identity() {
  return Matrix3D{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}};
}

enum Kind { OTHER, ATOM, HETATM, MODEL, ENDMDL, CONECT, REMARK, ENERGY, TER };

// The first six bytes of a record name as one number, first byte lowest.
constexpr uint64_t headOf(const char (&text)[7]) {
  uint64_t h = 0;
  for (int i = 0; i < 6; ++i) h |= static_cast<uint64_t>(static_cast<unsigned char>(text[i])) << (8 * i);
  return h;
}

Kind recordKind(const char* line, int len) {
  // Short lines are read as if padded with blanks, so a bare "TER" is a TER.
  uint64_t head = 0;
  if (std::endian::native == std::endian::little && len >= 6) {
    memcpy(&head, line, 8);  // the line buffer holds at least eight bytes
    head &= 0xffffffffffffull;
  } else {
    for (int i = 0; i < 6; ++i)
      head |= static_cast<uint64_t>(static_cast<unsigned char>(i < len ? line[i] : ' ')) << (8 * i);
  }
  switch (head) {
    case headOf("ATOM  "): return ATOM;
    case headOf("HETATM"): return HETATM;
    case headOf("MODEL "): return MODEL;
    case headOf("ENDMDL"): return ENDMDL;
    case headOf("CONECT"): return CONECT;
    case headOf("REMARK"): return REMARK;
    case headOf("ENERGY"): return ENERGY;
    case headOf("TER   "): return TER;
    default: return OTHER;
  }
}

// The columns of an ATOM or HETATM line read: lines shorter than this are
// cleared up to it, so the text fields need no bound (a cleared byte is
// dropped like a blank).
constexpr int kAtomColumns = 88;

// The text fields of an atom line end at column 27, 28 with the overflow
// shift; the number columns are read within the line's length. A line this
// long is read in place in the file's text, without the clearing; a shorter
// one is copied to where it can be cleared.
constexpr int kInPlaceMin = 28;

// Columns p[0..N-1] without blanks and control bytes, as cut takes them, as
// one number, first byte lowest (for a name, its key); their count in
// *count. Gathered in a register without branches: how many blanks lead a
// residue number or an atom name varies from line to line.
template <int N>
inline uint64_t gather(const char* p, int* count = nullptr) {
  static_assert(N >= 1 && N <= 7);
  uint64_t text = 0;
  int k = 0;
  for (int i = 0; i < N; ++i) {
    const unsigned ch = static_cast<unsigned char>(p[i]);
    const unsigned kept = ch - 33u < 94u;  // ' ' < ch < 127
    text |= static_cast<uint64_t>(ch * kept) << (8 * k);
    k += static_cast<int>(kept);
  }
  if (count) *count = k;
  return text;
}

// Stores the N bytes of a gathered text at out (out[N] is already zero).
template <int N>
inline void put(uint64_t text, char* out) {
  if constexpr (std::endian::native == std::endian::little) {
    memcpy(out, &text, N);
  } else {
    for (int i = 0; i < N; ++i) out[i] = static_cast<char>(text >> (8 * i));
  }
}

// gather and put: the field as cut gives it.
template <int N>
inline uint64_t keep(const char* p, char* out, int* count = nullptr) {
  const uint64_t text = gather<N>(p, count);
  put<N>(text, out);
  return text;
}

// The text columns of an atom line as numbers (first byte lowest), taken
// from registers rather than read back from the record just written.
struct AtomKeys {
  uint32_t name;     // name keys (zam_residue.h)
  uint32_t resname;
  uint64_t label;    // residue label and chain, as compared between lines
  uint64_t chain;
};

// Clears an atom record by copying a cleared one: a fixed-size copy becomes
// a few wide stores, where memset of a record may become a slow-starting
// string instruction.
inline void clearRecord(_pdb_atom* a) {
  static constexpr _pdb_atom kCleared{};
  memcpy(a, &kCleared, sizeof *a);
}

constexpr uint64_t kNone = 'n' | 'o' << 8 | 'n' << 16 | static_cast<uint64_t>('e') << 24;

// The state of one reading.
struct Reader {
  _pdb_image* image = nullptr;
  // The source: a stream read line by line, or (file null) the text of a
  // plain file, read in blocks from descriptor fd into this thread's text
  // buffer: text[0..size) with its padding, taken from pos on; known is the
  // file's size from fstat, total the bytes read so far.
  _zam_file* file = nullptr;
  int fd = -1;
  char* text = nullptr;
  int64_t size = 0, pos = 0, known = 0, total = 0;
  bool end = false;     // no more bytes to read
  bool failed = false;  // a read failed
  const char* fname = nullptr;  // the file's name in messages
  int lineno = 0;               // lines read that ended with a newline
  // The current line, terminated: in own, or in place in the text.
  char* line = own;
  int len = 0;
  // Room for a copied line, with the clearing of short atom lines.
  char own[std::max(kLineSize, kAtomColumns + 1)];
  int model = 0, chain_no = 0, nres = 0, res_in_chain = 0, natoms = 0, nhet = 0;
  _pdb_atom* atoms = nullptr;        // buffers.atoms, valid until the next room()
  _pdb_residue* residues = nullptr;  // buffers.residues, likewise
  // Label and chain of the current residue; "none" before the first and
  // after MODEL, ENDMDL and TER. Texts compared as their keys.
  uint64_t cur_label = kNone, cur_chain = kNone;
  int first = 0, bb0 = 0, mc0 = 0, sc0 = 0;
  bool have_style = false;
  // The residue name key last looked up (none at first: keys hold three
  // bytes) and its codes.
  uint32_t codes_of = ~0u;
  int codes_found = 0;
  // Presence flags of the current residue.
  bool ca = false, n = false, c = false, o = false, cb = false, ot = false, ot1 = false,
       ot2 = false, p = false, c3 = false, c4 = false, c5 = false;
  int nside = 0;

  const char* path() const { return image->path; }

  void clearFlags() {
    ca = n = c = o = cb = ot = ot1 = ot2 = p = c3 = c4 = c5 = false;
    nside = 0;
  }

  // Closes the current residue; returns whether it was retained.
  bool closeResidue() {
    bool retained = false;
    if (first < natoms) {
      const _pdb_atom& a = atoms[first];
      _pdb_residue& r = residues[nres];
      memset(&r, 0, sizeof r);
      r.model = model;
      r.chain_no = chain_no;
      r.first = first;
      r.last = natoms - 1;
      r.nside = nside;
      memcpy(r.chain, a.chain, sizeof r.chain);
      memcpy(r.resname, a.resname, sizeof r.resname);
      memcpy(r.resnum, a.label, sizeof r.resnum);
      char code = zam_aaCode(a.resname);
      if (code == 'X') code = zam_dnaCode(a.resname);
      r.code[0] = code;
      // A terminal oxygen (OXT, OT1, OT2) stands in for a missing O.
      bool oxygen = o || ot || ot1 || ot2;
      bool complete = (ca && c && n && oxygen) || (p && c3 && c4 && c5);
      r.sse[0] = complete ? 'X' : 'D';
      if (zam_debug > 2) zam_msg(" Residue = %4d, atoms = [%d,%d]\n", nres, first, natoms - 1);

      if (ca && c && n && oxygen) {
        retained = true;
      } else if (ca && !discard_missing) {
        retained = true;
      } else if (p && c3) {
        retained = (c4 && c5) || !discard_missing;
      } else if (p) {
        retained = !discard_missing;
      }
      if (retained && use_warnings) {
        if (ca) {
          if (!c) zam_wrn("Missing C atom for residue %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
          if (!n) zam_wrn("Missing N atom for residue %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
          if (!oxygen) zam_wrn("Missing O atom for residue %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
        } else if (p) {
          if (!c3) zam_wrn("Missing C3 atom for base %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
          if (!c4) zam_wrn("Missing C4 atom for base %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
          if (!c5) zam_wrn("Missing C5 atom for base %s:%s-%s in PDB file %s\n", r.chain, r.resnum, r.code, path());
        }
      }
      if (!retained && use_warnings) {
        bool aa = zam_aaCode(a.resname) != 'X';
        if (!aa && (p || c3 || c4 || c5))
          zam_wrn("Ignoring incomplete base: %s:%s-%s in file %s\n", a.chain, a.resname, a.label, image->name);
        else if (aa && (ca || c || n || o || cb || ot))
          zam_wrn("Ignoring incomplete residue: %s:%s-%s in file %s\n", a.chain, a.resname, a.label, image->name);
      }
    }
    if (retained) {
      ++nres;
      ++res_in_chain;
    } else {
      image->nbb = bb0;
      image->nmc = mc0;
      image->nsc = sc0;
      natoms = first;
    }
    clearFlags();
    residues = buffers.residues.room(nres);
    return retained;
  }

  void startResidue() {
    first = natoms;
    bb0 = image->nbb;
    mc0 = image->nmc;
    sc0 = image->nsc;
  }

  // Starts a new residue at the current atom count when the label or chain
  // of an atom differs from the current one.
  void checkNewResidue(uint64_t label, uint64_t chain) {
    if (label == cur_label && chain == cur_chain) return;
    bool chain_changed = chain != cur_chain;
    closeResidue();
    startResidue();
    cur_label = label;
    cur_chain = chain;
    if (chain_changed && res_in_chain > 0) {
      ++chain_no;
      res_in_chain = 0;
    }
  }

  void resetChain() {
    cur_label = kNone;
    cur_chain = kNone;
  }

  void checkCoordinates(_pdb_atom& a, const char* kind) {
    if (!isBadPdbAtom(Point3D{a.x, a.y, a.z})) return;
    if (use_warnings) {
      zam_wrn("Bad %s coordinates at line %d of file %s\n", kind, lineno, fname);
      zam_msg("[%s]\n", line);
    }
    a.x = a.y = a.z = 0.0;
  }

  // Clears the line from its end up to the atom columns (its terminator
  // stays where it is, so the line prints as it was read). A line in place
  // in the text is long enough to need none.
  void padLine() {
    if (line == own && len < kAtomColumns) memset(line + len, 0, static_cast<size_t>(kAtomColumns - len));
  }

  // The text fields of the padded atom line shifted by s into a, which is
  // zero-filled: everything parse takes but the numbers.
  // type is the record kind, which the first six columns gave: what cut
  // makes of them. name is the atom name's key, from nameKey().
  AtomKeys texts(int s, const char* type, uint32_t name, _pdb_atom* a) const {
    AtomKeys keys;
    memcpy(a->type, type, strlen(type));
    const char* q = line + s;
    keys.name = name;
    put<4>(name, a->name);
    // The column form keeps blanks: it is written back as it stands. The
    // clearing past the line's end drops what lies there.
    int k = 0;
    for (int i = 12; i < 16; ++i) {
      const unsigned char ch = static_cast<unsigned char>(q[i]);
      a->cname[k] = static_cast<char>(ch);
      k += ch - 1u < 127u;  // 1 <= ch < 128
    }
    a->cname[k] = 0;
    keep<1>(q + 16, a->alt);
    keys.resname = static_cast<uint32_t>(keep<3>(q + 17, a->resname));
    keys.chain = keep<1>(q + 21, a->chain);
    if (!keys.chain) {
      a->chain[0] = '_';
      keys.chain = '_';
    }
    int digits = 0;
    const uint64_t resnum = keep<4>(q + 22, a->resnum, &digits);
    const uint64_t icode = keep<1>(q + 26, a->icode);
    memcpy(a->label, a->resnum, sizeof a->resnum);
    a->label[digits] = a->icode[0];
    keys.label = resnum | icode << (8 * digits);
    return keys;
  }

  // The coordinates of a; true when all three had the usual fixed-point
  // form, whose values (-999.999 to 9999.999) are never bad coordinates,
  // so that checkCoordinates need not wait for the quotients.
  bool coordinates(int s, _pdb_atom* a) const {
#if defined(__SSE2__)
    static_assert(offsetof(_pdb_atom, y) == offsetof(_pdb_atom, x) + sizeof(double) &&
                  offsetof(_pdb_atom, z) == offsetof(_pdb_atom, y) + sizeof(double));
    if (54 + s <= len && coordinateValues(line + 30 + s, &a->x)) return true;
#endif
    a->x = fixedNumber<8, 3>(line, len, 31, s);
    a->y = fixedNumber<8, 3>(line, len, 39, s);
    a->z = fixedNumber<8, 3>(line, len, 47, s);
    return false;
  }

  // The occupancy-style columns, as parse reads them.
  void occupancy(int s, int style, _pdb_atom* a) const {
    if (style == 2) {
      a->column = static_cast<int>(integer(line, len, 55, 60, s));
      a->occupancy = 1.0f;
      a->bfactor = static_cast<float>(number(line, len, 61, 67, s));
    } else if (style == 1) {
#if defined(__SSE2__)
      double v[2];
      if (66 + s <= len && occupancyValues(line + 54 + s, v)) {
        a->occupancy = static_cast<float>(v[0]);
        if (a->occupancy == 0.0f) a->occupancy = 1.0f;
        a->bfactor = static_cast<float>(v[1]);
        a->column = 99;
        return;
      }
#endif
      a->occupancy = static_cast<float>(fixedNumber<6, 2>(line, len, 55, s));
      if (a->occupancy == 0.0f) a->occupancy = 1.0f;
      a->bfactor = static_cast<float>(fixedNumber<6, 2>(line, len, 61, s));
      a->column = 99;
    } else {
      a->occupancy = 1.0f;
      a->bfactor = 0.0f;
      a->column = 99;
    }
  }

  // Key of the atom name of the padded line shifted by s.
  uint32_t nameKey(int s) const { return static_cast<uint32_t>(gather<4>(line + s + 12)); }

  // The numbers of an atom are read only when it is kept, or when warnings
  // are on (a bad coordinate is reported even for an atom then dropped):
  // nothing else depends on them.
  void readAtom(int s) {
    if (!have_style) {
      image->occ_style = tasteStyle(line, len, s);
      have_style = true;
    }
    padLine();
    const uint32_t name = nameKey(s);
    if (!use_hydrogens && zam_isHydrogenKey(name)) return;
    // Built in place, in the slot after the stored atoms: a record put
    // together on the stack and copied would be read back by wide loads
    // from its many narrow stores, which stalls.
    atoms = buffers.atoms.room(natoms);
    _pdb_atom* slot = atoms + natoms;
    clearRecord(slot);
    const AtomKeys keys = texts(s, "ATOM", name, slot);
    if (use_warnings) {
      if (!coordinates(s, slot)) checkCoordinates(*slot, "ATOM");
    }
    // The atoms of a residue come together: its codes are looked up once.
    if (keys.resname != codes_of) {
      codes_of = keys.resname;
      codes_found = zam_residueCodesOfKey(keys.resname);
    }
    const int codes = codes_found;
    char code = static_cast<char>(codes & 0xff);
    if (select_chain == 1 && code == 'X') return;
    char base = static_cast<char>(codes >> 8);
    if (select_chain == 2 && base == 'X') return;
    if (select_chain == 0 && code == 'X' && base == 'X') return;
    checkNewResidue(keys.label, keys.chain);
    // A dropped residue gives its atoms' slots back.
    if (slot != atoms + natoms) slot = static_cast<_pdb_atom*>(memcpy(atoms + natoms, slot, sizeof *slot));
    _pdb_atom& a = *slot;

    int& nbb = image->nbb;
    int& nmc = image->nmc;
    int& nsc = image->nsc;
    auto backbone = [&](bool& flag) {
      flag = true;
      a.is_bb = a.is_mc = 1;
      ++nbb;
      ++nmc;
    };
    auto sidechain = [&]() {
      a.is_sc = 1;
      ++nsc;
      ++nside;
    };
    if (code == 'X') {
      int k = zam_isSugarKey(keys.name);
      bool* seen = k == 3 ? &c3 : k == 4 ? &c4 : k == 5 ? &c5 : k == 9 ? &p : nullptr;
      if (seen && !*seen) {
        backbone(*seen);
      } else if (k == 1 || k == 2 || (k >= 6 && k <= 8) || k >= 9) {
        a.is_mc = 1;
        ++nmc;
      } else {
        sidechain();
      }
    } else {
      int k = zam_isMainChainKey(keys.name);
      bool* seen = k == 1 ? &ca : k == 2 ? &n : k == 3 ? &c : k == 4 ? &o : k == 5 ? &cb
                 : k == 6 ? &ot : k == 7 ? &ot1 : k == 8 ? &ot2 : nullptr;
      if (seen && !*seen && k != 5) {
        backbone(*seen);
        if (k == 1) a.is_ca = 1;
      } else if (k == 5 && !cb) {
        cb = true;
        a.is_mc = 1;
        ++nmc;
        sidechain();
      } else if ((k == 0 || k == 5) && (!use_hydrogens || !zam_isHydrogenKey(keys.name))) {
        // zam_isSideChain(a.name); without hydrogens the name is known to be none.
        sidechain();
      } else {
        return;  // repeated backbone atoms and hydrogens are not stored
      }
    }
    if (!use_warnings) {
      if (!coordinates(s, &a)) checkCoordinates(a, "ATOM");
    }
    occupancy(s, image->occ_style, &a);
    a.model = model;
    a.chain_no = chain_no;
    a.residue = nres;
    ++natoms;
  }

  void readHetero(int s) {
    padLine();
    if (use_hetres) {
      char resname[4] = {};
      keep<3>(line + s + 17, resname);
      if (zam_aaCode(resname) != 'X') {
        zam_msg("Changing <%s> to <ATOM ...>\n", line);
        memcpy(line, "ATOM  ", 6);
        readAtom(s);
        return;
      }
      char name[6] = {};
      keep<4>(line + s + 12, name);
      if (use_warnings && strcmp(name, "CA") == 0 && strcmp(resname, "CA") != 0)
        zam_wrn("Ignoring HETATM residue %s with %s atom\n", resname, name);
    }
    const uint32_t name = nameKey(s);
    if (!use_hydrogens && zam_isHydrogenKey(name)) return;
    _pdb_atom& a = buffers.hetatms.room(nhet)[nhet];
    clearRecord(&a);
    const AtomKeys keys = texts(s, "HETATM", name, &a);
    const bool usual = coordinates(s, &a);
    occupancy(s, image->occ_style, &a);
    if (!usual) checkCoordinates(a, "HETATM");
    checkNewResidue(keys.label, keys.chain);
    a.model = model;
    a.chain_no = chain_no;
    a.residue = nres;
    ++nhet;
  }

  void readSymmetry() {
    // The tag is the five columns 14-18 exactly: cut drops blanks, so any
    // other text there gives a shorter or different tag.
    if (len < 18) return;
    bool smtry = memcmp(line + 13, "SMTRY", 5) == 0;
    if (!smtry && memcmp(line + 13, "BIOMT", 5) != 0) return;
    const char* tag = smtry ? "SMTRY" : "BIOMT";
    int row = static_cast<int>(integer(line, len, 19, 19, 0));
    long serial = integer(line, len, 20, 23, 0);
    float v[4];
    int got = 0;
    if (len >= 24) got = plainFloats(line + 23, v) ? 4 : sscanf(line + 23, "%f%f%f%f", &v[0], &v[1], &v[2], &v[3]);
    if (got != 4 || serial < 1 || row < 1 || row > 3) {
      if (use_warnings) zam_wrn("Ignoring bad %s record in PDB file:\n%s\n", tag, line);
      return;
    }
    if (serial > kMaxMatrices) {
      if (use_warnings) zam_wrn("Too many %s matrices in PDB file: %d\n", tag, static_cast<int>(serial - 1));
      return;
    }
    // The lists are made at their first matrix; most files have none.
    Matrix3D*& list = smtry ? image->smtry : image->biomt;
    if (!list) list = static_cast<Matrix3D*>(kget1B_0(kMaxMatrices * sizeof(Matrix3D)));
    int& count = smtry ? image->nsmtry : image->nbiomt;
    double* m = list[serial - 1].m + 4 * (row - 1);
    for (int i = 0; i < 4; ++i) m[i] = v[i];
    if (serial > count) count = static_cast<int>(serial);
  }

  // The next line of the text as zam_freadln gives it (carriage returns
  // dropped, the newline not kept, a line cut at kLineSize - 1 bytes, lines
  // counted at newlines). A line ending in a newline, in CR LF or at the end
  // of the text, with no other carriage return, is left in place and
  // terminated there (over its line end, or within the part cut off);
  // other lines are copied into own.
  // Reads the next block after the unread text, which moves to the front;
  // false when nothing came (the end, or a failure).
  bool more() {
    if (end) return false;
    // A file of the size it had needs no read past it: asking one byte
    // more shows that it has no more.
    const int64_t want = total < known ? std::min(known - total + 1, kBlock) : kBlock;
    const int64_t got = zam_readTextBlock(fd, pos, want, &buffers.text.t);
    text = buffers.text.t.data;
    size = buffers.text.t.size;
    pos = 0;
    if (got <= 0) {
      end = true;
      failed = got < 0;
      return false;
    }
    total += got;
    if (got < want && total == known) end = true;
    return true;
  }

  bool textLine() {
    char* s;
    int64_t rest, k;
    // The line's end must lie in the text (a newline, or a carriage return
    // and the byte after it), unless the file has ended.
    for (;;) {
      s = text + pos;
      rest = size - pos;
      k = lineBreak(s, rest);
      if (k + 1 < rest || (k < rest && s[k] == '\n') || !more()) break;
    }
    if (rest == 0) return false;
    int64_t next;
    if (k == rest)
      next = rest;
    else if (s[k] == '\n')
      next = k + 1;
    else if (k + 1 < rest && s[k + 1] == '\n')
      next = k + 2;
    else
      return copiedLine();
    if (next > k) ++lineno;
    pos += next;
    len = static_cast<int>(std::min<int64_t>(k, kLineSize - 1));
    if (len >= kInPlaceMin) {
      line = s;
    } else {
      line = own;
      memcpy(own, s, static_cast<size_t>(len));
    }
    line[len] = 0;
    return true;
  }

  // A line with a carriage return other than before its newline, taken
  // byte by byte into own. A last line of carriage returns alone is no line.
  bool copiedLine() {
    const char* s;
    int64_t rest;
    const char* nl;
    for (;;) {
      s = text + pos;
      rest = size - pos;
      nl = static_cast<const char*>(memchr(s, '\n', static_cast<size_t>(rest)));
      if (nl || !more()) break;
    }
    const int64_t span = nl ? nl - s : rest;
    int n = 0;
    bool any = false;
    for (int64_t i = 0; i < span; ++i) {
      if (s[i] == '\r') continue;
      any = true;
      if (n < kLineSize - 1) own[n++] = s[i];
    }
    pos += nl ? span + 1 : span;
    if (!nl && !any) return false;
    if (nl) ++lineno;
    line = own;
    len = n;
    own[n] = 0;
    return true;
  }

  bool nextLine() {
    if (!file) return textLine();
    line = own;
    len = zam_freadln(file, kLineSize, own);
    lineno = zam_fline(file);
    return len >= 0;
  }

  // Reads every line; returns at end of file or at an early stop.
  void run() {
    while (nextLine()) {
      Kind kind = recordKind(line, len);
      int s = 0;
      if (len >= 14 && line[12] == ' ' && line[13] == ' ' &&
          (memcmp(line, "ATOM ", 5) == 0 || memcmp(line, "HETATM ", 7) == 0)) {
        zam_adv("<%.14s> -- overflows PDB format. Trying to continue\n", line);
        s = 1;
      }
      switch (kind) {
        case CONECT:
        case ENERGY:
          break;
        case OTHER:
          if (strncmp(line, "I_sc", 4) == 0)
            image->score = static_cast<float>(len > 5 ? strtod(line + 5, nullptr) : 0.0);
          break;
        case MODEL:
          // The last residue of the previous model is closed under its own
          // model and chain numbers before they restart.
          closeResidue();
          startResidue();
          ++image->nmodels;
          model = static_cast<int>(integer(line, len, 6, 16, 0));
          chain_no = 0;
          res_in_chain = 0;
          resetChain();
          break;
        case ENDMDL:
          if (one_model) return;
          resetChain();
          break;
        case TER:
          if (one_chain) return;
          resetChain();
          break;
        case REMARK:
          readSymmetry();
          break;
        case HETATM:
          readHetero(s);
          break;
        case ATOM:
          readAtom(s);
          break;
      }
    }
  }

  void finish() {
    closeResidue();
    image->nres = nres;
    image->natoms = natoms;
    image->nhetatms = nhet;
    image->nchains = res_in_chain > 0 ? chain_no + 1 : chain_no;
    image->delta = 0;
    image->residues = exactCopy(residues, nres);
    image->atoms = exactCopy(atoms, natoms);
    image->hetatms = exactCopy(buffers.hetatms.data.get(), nhet);
    // Filled whole below, so cleared only when empty (as before).
    image->saved = static_cast<Point3D*>(natoms > 0 ? kget1B(static_cast<int64_t>(natoms) * sizeof(Point3D))
                                                    : kget1B_0(0));
    for (int i = 0; i < natoms; ++i) image->saved[i] = Point3D{atoms[i].x, atoms[i].y, atoms[i].z};
    image->saved_het = static_cast<Point3D*>(nhet > 0 ? kget1B(static_cast<int64_t>(nhet) * sizeof(Point3D))
                                                      : kget1B_0(0));
    const _pdb_atom* het = image->hetatms;
    for (int i = 0; i < nhet; ++i) image->saved_het[i] = Point3D{het[i].x, het[i].y, het[i].z};
    if (image->nsmtry == 0) {
      image->smtry = static_cast<Matrix3D*>(kget1B(sizeof(Matrix3D)));
      image->smtry[0] = identity();
      image->nsmtry = 1;
    }
    if (image->nbiomt == 0) {
      image->biomt = static_cast<Matrix3D*>(kget1B(sizeof(Matrix3D)));
      image->biomt[0] = identity();
      image->nbiomt = 1;
    }
  }
};

}  // namespace

namespace {

// Whether zam_fopen reads path through a codec.
bool compressedName(const char* path) {
  const char* dot = strrchr(path, '.');
  return dot && (strcmp(dot, ".gz") == 0 || strcmp(dot, ".bz") == 0 || strcmp(dot, ".bz2") == 0);
}

// Opens file for reading in blocks when it is a plain regular file (its
// name copied to opened): the descriptor, with the size in *known; -1 when
// it is to be read as a stream instead (another kind of file, a name too
// long for the reader's copy, or no open).
int openPlain(const char* file, char* opened, size_t room, int64_t* known) {
  const int fit = snprintf(opened, room, "%s", file);
  if (fit < 0 || static_cast<size_t>(fit) >= room || compressedName(opened)) return -1;
  const int fd = open(opened, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    *known = st.st_size;
    return fd;
  }
  close(fd);
  return -1;
}

}  // namespace

_pdb_image* zam_readPdb(const char* file, const char* name) {
  if (!file) return nullptr;
  char opened[300];
  // A plain file is read in blocks and its lines taken in place; anything
  // else (or a name that does not open: the ".pdb" form is then tried)
  // through a stream.
  int64_t known = 0;
  const int fd = openPlain(file, opened, sizeof opened, &known);
  _zam_file* f = nullptr;
  if (fd < 0) {
    if (zam_filesize(file) < 0)
      zam_filename(file, "pdb", opened);
    else
      snprintf(opened, sizeof opened, "%s", file);
    f = zam_fopen(opened, "r");
    if (!f) {
      zam_err("Failed to open PDB file: %s\n", opened);
      return nullptr;
    }
  }
  if (zam_debug > 2) zam_msg("Reading PDB: %s\n", opened);

  Reader r;
  r.file = f;
  r.fd = fd;
  r.known = known;
  r.text = buffers.text.t.data;
  r.pos = r.size = buffers.text.t.size;  // nothing of an earlier file is kept
  r.fname = f ? zam_fname(f) : opened;
  r.atoms = buffers.atoms.room(0);
  r.residues = buffers.residues.room(0);
  _pdb_image* image = static_cast<_pdb_image*>(kget1B_0(sizeof(_pdb_image)));
  r.image = image;
  image->tf = identity();
  image->path = kdupS(f && zam_fname(f) ? zam_fname(f) : opened);
  if (name) {
    image->name = kdupS(name);
  } else {
    char base[300], root[300];
    zam_basename(image->path, base);
    image->name = kdupS(zam_rootname(base, root));
  }

  r.run();
  r.finish();
  // A gzip file cut short otherwise reads as a shorter, valid-looking structure.
  if (f ? zam_ferror(f) != 0 : r.failed) {
    zam_err("Failed to read PDB file: %s (after line %d)\n", opened, f ? zam_fline(f) : r.lineno);
    zam_freePdb(image);
    image = nullptr;
  }
  if (f) zam_fclose(f);
  if (fd >= 0) close(fd);
  return image;
}

void zam_parsePdbAtom(const char* line, int shift, int style, _pdb_atom* atom) {
  if (!line || !atom) return;
  parse(line, static_cast<int>(strlen(line)), shift, style, atom);
}

int zam_tastePdbAtom(const char* line, int shift) {
  return line ? tasteStyle(line, static_cast<int>(strlen(line)), shift) : 0;
}

int isBadPdbAtom(Point3D p) {
  // Written so that a NaN fails every comparison and counts as bad.
  return !(p.x <= 10000.0 && p.x >= -1000.0 && p.y <= 10000.0 && p.y >= -1000.0 && p.z <= 10000.0 &&
           p.z >= -1000.0);
}

void zam_setPdbChainType(int type) {
  if (type >= 0 && type <= 2) select_chain = type;
}
void zam_setPdbOneModel(int flag) { one_model = flag; }
void zam_setPdbOneChain(int flag) { one_chain = flag; }
void zam_setPdbHydrogens(int flag) { use_hydrogens = flag; }
void zam_setPdbHetRes(int flag) { use_hetres = flag; }
void zam_setPdbWarnings(int flag) { use_warnings = flag; }
void zam_setPdbMissing(int flag) { discard_missing = flag; }
int zam_getPdbWarnings() { return use_warnings; }
