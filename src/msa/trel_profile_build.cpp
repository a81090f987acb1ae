// Profile building: to come.
#include "msa/trel_msa.h"

_trel_profile* trel_buildProfile(const char*, _trel_thing*, _trel_thing**, int, _trel_align**, int,
                                 const _trel_options*) {
  return nullptr;
}
void trel_consProfile(_trel_profile*, int) {}
void trel_markProfile(_trel_profile*, int) {}
float trel_getCscore(float, char, int, int, const _trel_profile*, const int*, int) { return 0; }
float trel_profilePscore(float, int) { return 0; }
void trel_refineProfileCons(_trel_profile*, const _trel_options*) {}
void trel_addProfile(_trel_profile*, _trel_thing**, int, const _trel_options*) {}
