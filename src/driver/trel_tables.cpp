#include "driver/trel_tables.h"

int trel_writeRankF(const char*, const _trel_thing*, const char*, int, const _trel_thing* const*,
                    const int*, const float*, const float*, const int*) { return 0; }
int trel_writeRankI(const char*, const _trel_thing*, const char*, int, const _trel_thing* const*,
                    const int*, const int*, const float*, const int*) { return 0; }
int trel_writeRank(const char*, const _trel_thing*, const char*, int, const _trel_thing* const*,
                   const int*, int, const _trel_scores*) { return 0; }
int trel_writeHits(const char*, const _trel_thing*, const char*, int, const _trel_thing* const*,
                   double, double, const int*, const float*, const float*, const float*,
                   const float*, const int*) { return 0; }
int trel_writeNames(const char*, const _trel_thing*, const char*, int, const _trel_thing* const*,
                    const int*, int) { return 0; }
int trel_writeCodes(const char*, const _trel_thing*, const char*, int, const _trel_thing* const*,
                    const int*, int, int) { return 0; }
int trel_writeMap(const char*, const _trel_thing*, const _trel_thing*, const float*, float, float) {
  return 0;
}
int trel_writeTime(const char*, const _trel_thing*, double) { return 0; }
int trel_printTops(const char*, const _trel_thing*, const char*, int, const _trel_thing* const*,
                   const int*, const _trel_scores*, const int*, int, int, float, int, int) {
  return 1;
}
