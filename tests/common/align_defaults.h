// The alignment settings the tool starts a search with (its default
// options), for tests and benchmarks that align as a search does.
#pragma once

#include "align/trel_globals.h"

namespace testutil {

inline void default_align_settings() {
  trel_setQCP(1);
  trel_setAlignBanded(0);
  trel_setAlignFilter(0);
  trel_setAlignWindow(3);
  trel_setAlignRho(0.1f);
  trel_setAlignAlpha(2);
  trel_setAlignBeta(1);
  trel_setAlignGamma(0.5f);
  trel_setAlignEta(0);
  trel_setAlignSigma(1);
  trel_setAlignTau(1);
  trel_setAlignOmega(1);
  trel_setAlignKbias(2);
  trel_setAlignGbias(1);
  trel_setAlignTrace(0.5f);
  trel_setAlignSpatial(0.5f);
  trel_setAlignBlosum(0);
  trel_setAlignCut(0);
}

}  // namespace testutil
