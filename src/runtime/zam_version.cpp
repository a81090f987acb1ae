#include "runtime/zam_version.h"

#include <cstdio>

#include "runtime/zam_gpu.h"

namespace {

struct Identity {
  const char* name;
  const char* version;
};

// Indexed by program identity; any identity outside the table reads as Zam.
// Identity 1 is the Zam library under its own release number, which only
// zam_version_only shows.
constexpr Identity kIdentities[] = {
    {"Zam", "2.4.1"},     {"Zam", "2.4.1"},  {"Quorvel", "1.3.0"},
    {"Selvator", "0.9.2"}, {"Mirodel", "1.1.4"}, {"Trel", "1.0.0"},
    {"Oru", "0.5.0"},     {"Yib", "1.2.0"},  {"Tavi", "0.8.3"},
};
constexpr int kIdentityCount = sizeof(kIdentities) / sizeof(kIdentities[0]);
constexpr const char* kZamRelease = "24.1.0";

int identity = 0;
// One buffer per thread: workers that write cache images put the version in
// their headers while other threads may do the same.
thread_local char text[20];

const Identity& current() { return kIdentities[identity >= 0 && identity < kIdentityCount ? identity : 0]; }

const char* cuda_suffix() { return zam_cuda_enabled() ? " + CUDA" : ""; }

}  // namespace

void set_version(int id) { identity = id; }

char* zam_version() {
  const Identity& id = current();
  std::snprintf(text, sizeof text, "%s %s%s", id.name, id.version, cuda_suffix());
  return text;
}

char* zam_version_only() {
  const char* number = identity == 1 ? kZamRelease : current().version;
  std::snprintf(text, sizeof text, "%s%s", number, cuda_suffix());
  return text;
}
