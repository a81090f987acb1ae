// Puts the PDB reader's process-wide options back to their defaults when a
// test that changed them ends, so that the next test reads as a run does.
#pragma once

#include "structure/zam_pdb.h"

namespace testutil {

struct PdbReaderDefaults {
  PdbReaderDefaults() = default;
  PdbReaderDefaults(const PdbReaderDefaults&) = delete;
  PdbReaderDefaults& operator=(const PdbReaderDefaults&) = delete;
  ~PdbReaderDefaults() {
    zam_setPdbChainType(1);
    zam_setPdbOneModel(1);
    zam_setPdbOneChain(0);
    zam_setPdbHydrogens(0);
    zam_setPdbHetRes(0);
    zam_setPdbWarnings(0);
    zam_setPdbMissing(0);
  }
};

}  // namespace testutil
