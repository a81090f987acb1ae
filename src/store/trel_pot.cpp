// Potential classes: radius bounds, scales, letters and the request mask.
#include "store/trel_pot.h"

namespace {

constexpr int kClasses = 5;
constexpr double kScale[kClasses] = {1.2, 1.0, 0.8, 0.6, 0.4};
const char* const kLetter[kClasses] = {"A", "B", "C", "D", "E"};

bool inRange(int c) { return c >= 0 && c < kClasses; }

// Marks class c for computing and, when it is missing, the own class too:
// coefficients of other classes are only ever stored beside the own class.
void want(int c, int own, const int* flags, int* mask) {
  mask[c] = 1;
  if (inRange(own) && flags[own] == 0) mask[own] = 1;
}

}  // namespace

int trel_potRadius(double radius) {
  if (radius < 20.0) return 0;
  if (radius < 30.0) return 1;
  if (radius < 40.0) return 2;
  if (radius < 50.0) return 3;
  return 4;
}

double trel_potScale(int pot_class) { return inRange(pot_class) ? kScale[pot_class] : 1.0; }

const char* trel_potCode(int pot_class) { return inRange(pot_class) ? kLetter[pot_class] : "B"; }

int trel_potMask(const int* pots, int own, const int* flags, int* mask) {
  for (int c = 0; c < kClasses; c++) mask[c] = 0;
  int result = 0;
  const bool own_present = inRange(own) && flags[own] != 0;
  if (pots[0] == -1) {
    if (!own_present) {
      for (int c = 0; c < kClasses; c++)
        if (flags[c] == 0) mask[c] = -1;
      return 1;
    }
  } else if (pots[0] == 1 && flags[0] == 0) {
    result = 1;
    want(0, own, flags, mask);
  }
  for (int c = 1; c < kClasses; c++) {
    if (pots[c] == 1 && flags[c] == 0) {
      result = 1;
      want(c, own, flags, mask);
    }
  }
  return result;
}

char* trel_formatPots(const int* flags, int own, char* buffer) {
  char* p = buffer;
  *p++ = '[';
  for (int c = 0; c < kClasses; c++) {
    if (c > 0) *p++ = ',';
    *p++ = flags[c] == 1 ? (c == own ? '*' : '1') : '0';
  }
  *p++ = ']';
  *p = '\0';
  return buffer;
}
