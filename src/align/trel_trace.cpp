// Trace records: the trace's lifecycle and the raw trace file.
#include "align/trel_trace.h"

#include <cstdint>
#include <cstring>

#include "runtime/kids.h"
#include "runtime/zam_directory.h"
#include "runtime/zam_file.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_vm.h"
#include "runtime/zam_whole.h"

namespace {

constexpr int kPathLength = 256;

// Debug listing of freshly read records. The V points of a record run on into
// the next record's index line: the listing has always looked like this.
void logRecords(const char* file, int n, const _trel_seg* seg) {
  zam_log("Loaded TRC data from %s\n", file);
  for (int i = 0; i < n; i++) {
    zam_log("%5d  %c\n", i, seg[i].code);
    for (int s = 0; s < 8; s++) zam_log("T%2.2d = [%7.3lf,%7.3lf]", s, seg[i].t[s].x, seg[i].t[s].y);
    zam_log("\n");
    for (int s = 0; s < 8; s++) zam_log("V%2.2d = [%7.3lf,%7.3lf]", s, seg[i].v[s].x, seg[i].v[s].y);
  }
}

}  // namespace

_trel_trace* trel_makeTrace() {
  return static_cast<_trel_trace*>(kget1B_0(static_cast<int64_t>(sizeof(_trel_trace))));
}

void trel_wipeTrace(_trel_trace* trace) {
  if (!trace) return;
  kfree(trace->seg);
  kfree(trace->stats);
  std::memset(static_cast<void*>(trace), 0, sizeof(*trace));
}

void trel_freeTrace(_trel_trace* trace) {
  if (!trace) return;
  trel_wipeTrace(trace);
  kfree(trace);
}

void trel_write_trc(const char* name, int n, const _trel_seg* seg) {
  char file[kPathLength];
  zam_filename(name, "trc", file);
  if (zam_debug >= 2) zam_log("Writing TRC file: %s\n", file);
  const int64_t bytes = static_cast<int64_t>(n < 0 ? 0 : n) * static_cast<int64_t>(sizeof(_trel_seg));
  // Whole or not at all, and a link standing at the name is replaced, not
  // written through.
  _zam_whole* whole = n < 0 || (bytes > 0 && !seg) ? nullptr : zam_openWhole(file, "wb");
  const bool ok = whole && (bytes == 0 || zam_fwrite(whole->fp, seg, bytes) == 1);
  if (!whole || !zam_closeWhole(whole, ok)) zam_err("Failed to write TRC file: %s.\n", file);
}

_trel_seg* trel_read_trc(const char* name, int n) {
  char file[kPathLength];
  zam_filename(name, "trc", file);
  if (zam_debug >= 3) zam_log("Reading TRC file: %s\n", file);
  if (n < 0) {
    zam_err("Failed to read TRC file: %s.\n", file);
    return nullptr;
  }
  const int64_t bytes = static_cast<int64_t>(n) * static_cast<int64_t>(sizeof(_trel_seg));
  auto* seg = static_cast<_trel_seg*>(zam_vm_get(bytes));
  // zam_bbread takes exactly the first bytes of the file: a shorter file fails,
  // a longer one is accepted and its tail ignored.
  if (!seg || !zam_bbread(file, seg, bytes)) {
    zam_err("Failed to read TRC file: %s.\n", file);
    zam_vm_free(seg);
    return nullptr;
  }
  if (zam_debug >= 3) logRecords(file, n, seg);
  return seg;
}
