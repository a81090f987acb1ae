#include "align/trel_blosum62.h"

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "geometry/zam_fastexp.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

const char trel_blosum62_letters[TREL_BLOSUM_LETTERS + 1] = "ARNDCQEGHILKMFPSTWYVBZX*";

namespace {

constexpr int N = TREL_BLOSUM_LETTERS;
constexpr int STOP = N - 1;  // index of '*'
constexpr int LOCK = ZAM_LOCK_ALIGN_TABLES;     // plain lock of the one-time alignment tables

// BLOSUM62 in the letter order above. The stop row and column are -4
// throughout, the stop against itself included.
constexpr int blosum[N][N] = {
    // A   R   N   D   C   Q   E   G   H   I   L   K   M   F   P   S   T   W   Y   V   B   Z   X   *
    {  4, -1, -2, -2,  0, -1, -1,  0, -2, -1, -1, -1, -1, -2, -1,  1,  0, -3, -2,  0, -2, -1,  0, -4},  // A
    { -1,  5,  0, -2, -3,  1,  0, -2,  0, -3, -2,  2, -1, -3, -2, -1, -1, -3, -2, -3, -1,  0, -1, -4},  // R
    { -2,  0,  6,  1, -3,  0,  0,  0,  1, -3, -3,  0, -2, -3, -2,  1,  0, -4, -2, -3,  3,  0, -1, -4},  // N
    { -2, -2,  1,  6, -3,  0,  2, -1, -1, -3, -4, -1, -3, -3, -1,  0, -1, -4, -3, -3,  4,  1, -1, -4},  // D
    {  0, -3, -3, -3,  9, -3, -4, -3, -3, -1, -1, -3, -1, -2, -3, -1, -1, -2, -2, -1, -3, -3, -2, -4},  // C
    { -1,  1,  0,  0, -3,  5,  2, -2,  0, -3, -2,  1,  0, -3, -1,  0, -1, -2, -1, -2,  0,  3, -1, -4},  // Q
    { -1,  0,  0,  2, -4,  2,  5, -2,  0, -3, -3,  1, -2, -3, -1,  0, -1, -3, -2, -2,  1,  4, -1, -4},  // E
    {  0, -2,  0, -1, -3, -2, -2,  6, -2, -4, -4, -2, -3, -3, -2,  0, -2, -2, -3, -3, -1, -2, -1, -4},  // G
    { -2,  0,  1, -1, -3,  0,  0, -2,  8, -3, -3, -1, -2, -1, -2, -1, -2, -2,  2, -3,  0,  0, -1, -4},  // H
    { -1, -3, -3, -3, -1, -3, -3, -4, -3,  4,  2, -3,  1,  0, -3, -2, -1, -3, -1,  3, -3, -3, -1, -4},  // I
    { -1, -2, -3, -4, -1, -2, -3, -4, -3,  2,  4, -2,  2,  0, -3, -2, -1, -2, -1,  1, -4, -3, -1, -4},  // L
    { -1,  2,  0, -1, -3,  1,  1, -2, -1, -3, -2,  5, -1, -3, -1,  0, -1, -3, -2, -2,  0,  1, -1, -4},  // K
    { -1, -1, -2, -3, -1,  0, -2, -3, -2,  1,  2, -1,  5,  0, -2, -1, -1, -1, -1,  1, -3, -1, -1, -4},  // M
    { -2, -3, -3, -3, -2, -3, -3, -3, -1,  0,  0, -3,  0,  6, -4, -2, -2,  1,  3, -1, -3, -3, -1, -4},  // F
    { -1, -2, -2, -1, -3, -1, -1, -2, -2, -3, -3, -1, -2, -4,  7, -1, -1, -4, -3, -2, -2, -1, -2, -4},  // P
    {  1, -1,  1,  0, -1,  0,  0,  0, -1, -2, -2,  0, -1, -2, -1,  4,  1, -3, -2, -2,  0,  0,  0, -4},  // S
    {  0, -1,  0, -1, -1, -1, -1, -2, -2, -1, -1, -1, -1, -2, -1,  1,  5, -2, -2,  0, -1, -1,  0, -4},  // T
    { -3, -3, -4, -4, -2, -2, -3, -2, -2, -3, -2, -3, -1,  1, -4, -3, -2, 11,  2, -3, -4, -3, -2, -4},  // W
    { -2, -2, -2, -3, -2, -1, -2, -3,  2, -1, -1, -2, -1,  3, -3, -2, -2,  2,  7, -1, -3, -2, -1, -4},  // Y
    {  0, -3, -3, -3, -1, -2, -2, -3, -3,  3,  1, -2,  1, -1, -2, -2,  0, -3, -1,  4, -3, -2, -1, -4},  // V
    { -2, -1,  3,  4, -3,  0,  1, -1,  0, -3, -4,  0, -3, -3, -2,  0, -1, -4, -3, -3,  4,  1, -1, -4},  // B
    { -1,  0,  0,  1, -3,  3,  4, -2,  0, -3, -3,  1, -1, -3, -1,  0, -1, -3, -2, -2,  1,  4, -1, -4},  // Z
    {  0, -1, -1, -1, -2, -1, -1, -1, -1, -1, -1, -1, -1, -1, -2,  0,  0, -2, -1, -1, -1, -1, -1, -4},  // X
    { -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4},  // *
};

// Letter index over every byte value: the 24 letters map to their place,
// everything else (lower case, J, O, U, '-', bytes of 128 and above) to '*'.
constexpr std::array<unsigned char, 256> make_index() {
  std::array<unsigned char, 256> index{};
  for (auto& k : index) k = STOP;
  for (int k = 0; k < N; k++) index[(unsigned char)"ARNDCQEGHILKMFPSTWYVBZX*"[k]] = (unsigned char)k;
  return index;
}
constexpr std::array<unsigned char, 256> letter_index = make_index();

float gap_value = 5.0f;
float scaled_gap = 5.0f;

// F and G tables; written once under lock 10 before built is released.
float ftable[N][N];
float gtable[N][N];
std::atomic<bool> built{false};

void build_tables() {
  for (int i = 0; i < N; i++)
    for (int j = 0; j < N; j++) ftable[i][j] = (float)(blosum[i][j] + 6) / 17.0f;
  scaled_gap = (6.0f + gap_value) / 17.0f;

  // Spread of the 20 standard letters over the lower triangle with its
  // diagonal (210 entries), divided by the 190 off-diagonal pairs.
  double sum = 0.0;
  for (int i = 0; i < 20; i++)
    for (int j = 0; j <= i; j++) sum += ftable[i][j];
  const float mu = (float)(sum / 190.0);
  double ss = 0.0;
  for (int i = 0; i < 20; i++)
    for (int j = 0; j <= i; j++) {
      const double d = ftable[i][j] - mu;
      ss += d * d;
    }
  const float var = (float)(ss / 190.0);

  float smallest = 1.0f;
  for (int i = 0; i < N; i++)
    for (int j = 0; j < N; j++) {
      if (i == j) {
        gtable[i][j] = 1.0f;
        continue;
      }
      const double d = std::fmax(0.0, 1.0 - ftable[i][j]);
      gtable[i][j] = do_exp((float)(-0.05 * d * d / var));
      if (j >= i && gtable[i][j] < smallest) smallest = gtable[i][j];
    }
  if (zam_debug > 0) zam_msg("Smallest Blosum G-score = %.8f\n", smallest);

  const float scale = scaled_gap != 0.0f ? 0.1f / scaled_gap : 0.1f;
  for (int i = 0; i < N; i++)
    for (int j = 0; j < N; j++) ftable[i][j] *= scale;
}

inline void ensure_built() {
  if (!built.load(std::memory_order_acquire)) trel_openBlosum62();
}

}  // namespace

void trel_openBlosum62() {
  if (built.load(std::memory_order_acquire)) return;
  zam_mutex_acquire(LOCK);
  if (!built.load(std::memory_order_relaxed)) {
    build_tables();
    built.store(true, std::memory_order_release);
  }
  zam_mutex_release(LOCK);
}

int trel_blosum62Index(unsigned char c) { return letter_index[c]; }

int trel_getBlosum62I(unsigned char a, unsigned char b) {
  return blosum[letter_index[a]][letter_index[b]];
}

float trel_getBlosum62F(unsigned char a, unsigned char b) {
  ensure_built();
  return ftable[letter_index[a]][letter_index[b]];
}

float trel_getBlosum62G(unsigned char a, unsigned char b) {
  ensure_built();
  return gtable[letter_index[a]][letter_index[b]];
}

void trel_setBlosum62Gap(float x) {
  gap_value = std::fabs(x);
  scaled_gap = gap_value;
}

float do_exp(float x) {
  if (!(x >= kDoExpLo && x <= kDoExpHi)) return std::exp(x);
  zam_fastexp<float, int>(&x);
  return x;
}
