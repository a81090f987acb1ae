// Disk cache of z-translation matrices: one raw file of native doubles per
// (basis type, rounded distance) in a cache folder found once per process
// (ZAM_CACHE, else ZAM_ROOT/cache, else a private "zam_cache" folder made in
// the working folder). The order is not part of a name: a file written for a
// higher order holds every lower-order matrix as its prefix. Plain lock 11
// guards the probe and every read and write; it is not recursive, so callers
// holding it must have probed already (zam_cache_type does).
#pragma once

#include <cstdint>

// Finds and fixes the cache folder, once per process (takes lock 11).
void zam_cache_probe();
// Probes, then 1 when the cache is on, 0 when off or disabled.
int zam_cache_type();
// Probes, then the cache folder (absolute; empty when disabled).
const char* zam_cache_path();
// Mode: m > 0 on, 0 off, m < 0 disabled for good; no effect once disabled.
void zam_cache_mode(int m);
// The full file name for distance I + F/100 and basis type (1 GTO, 0 ETO),
// double (single 0) or float file (1), written into out (at least 257 chars).
// N plays no part. Returns out, or an empty string when the cache is off.
char* zam_cache_name(int N, int I, int F, int type, int single, char* out);
// 1 when count doubles were read into out (from the double file, or
// converted from the float file when there is no double file), else 0.
int zam_read_cache(int N, int I, int F, int type, int64_t count, double* out);
// Values read from fd into out until count values, end of file or an error:
// count on success. Float files (single 1) convert 65,536 values at a time.
int64_t zam_read_cache_buffer(int fd, int single, int64_t count, double* out);
// Writes count doubles whole under the double file's name (private to the
// user); failures are reported and leave no file behind. Returns 1 or 0.
int zam_write_cache(int N, int I, int F, int type, int64_t count, const double* in);

// For tests: forget the probe so that the next call probes again.
void zam_cache_reset();
