#include "driver/zam_roc.h"

_zam_roc* zam_makeROC(int, const int*) { return nullptr; }
float zam_aucROC(const _zam_roc*) { return 1.0f; }
int zam_sampleROC(const _zam_roc*, int m, float*, float*, float*) { return (m < 2 ? 2 : m) - 1; }
void zam_freeROC(_zam_roc*) {}
int trel_countCathCodes(const int*, int, const _trel_thing* const*) { return 0; }
int trel_setupROC(const _trel_thing*, const _trel_thing* const*, int, const int*, int*) { return 0; }
void trel_addROC(int, float, float, float*, const float*, const float*, const float*, float*,
                 float*, float*) {}
int trel_writeROC(const char*, const char*, const char*, int, int, int, float, const float*,
                  const float*, const float*) { return 0; }
int trel_writeAUC(const char*, const char*, const char*, int, const _trel_thing* const*,
                  const float*) { return 0; }
