// GRID probes of docking molecules.
#include "docking/zam_grid_probes.h"

#include <cstring>

const char* probe_name_to_opposite(const char* name) {
  if (!name) return "";
  if (!std::strcmp(name, "N3+")) return "O::";
  if (!std::strcmp(name, "O::")) return "N3+";
  if (!std::strcmp(name, "DRY")) return "DRY";
  return "";
}

int zam_grid_data(const char*, const char*, const char*) { return 0; }
