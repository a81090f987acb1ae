// Disk cache of z-translation matrices: one raw file of native doubles per
// (basis type, rounded distance) in a cache folder found once per process
// (ZAM_CACHE, else ZAM_ROOT/cache, else a private "zam_cache" folder made in
// the working folder). The order is not part of a name: a series file (I or
// F zero) written for a higher order holds every lower-order matrix as its
// prefix; a product file (I and F both above zero, the product of the two
// series matrices) serves only its own order, since the product's sums run
// over every intermediate term to that order. After the
// values each file carries a record of what it was made from (order, basis
// type, distance, method, radial scale) and the CRC-32 of every order's
// prefix: a file that does not fit what is asked, or does not match its
// checksum, is a miss reported once (it is then made again and replaced),
// so that what the folder holds never changes a result. Only a file that
// carries this cache's record (of any version) is ever replaced: anything
// else at a cache name (a file of another program, one cut short, a link,
// a pipe) is left as it is, named in the log, counted for one warning of
// the run (zam_cache_report_kept), and its matrix is not cached. Nothing
// but a regular file is ever opened, so a pipe or a device at a name in
// the folder is never waited on. Plain lock 11 guards the probe and every
// read and write; it is not recursive, so callers holding it must have
// probed already (zam_cache_type does). Files made here are private to the
// user. Matrices of other radial scales than the default ones carry the
// scale in their names.
#pragma once

#include <cstdint>

struct _zam_file;

// Finds and fixes the cache folder, once per process (takes lock 11).
void zam_cache_probe();
// Probes, then 1 when the cache is on, 0 when off or disabled.
int zam_cache_type();
// Probes, then the cache folder (absolute; empty when disabled).
const char* zam_cache_path();
// Mode: m > 0 on, 0 off, m < 0 disabled for good; no effect once disabled.
void zam_cache_mode(int m);
// Probes, then the full file name for distance I + F/100 and basis type (1
// GTO, 0 ETO), double (single 0) or float file (1): the folder, "/zam_", the
// scale prefix of the type, the kind tag ("dh", "h", "de", "e"), "_", the
// distance ("2p50", "p25", "3") and ".dat". N plays no part. An empty name
// when the cache has no folder. The text is the calling thread's own and
// stays valid until its next call.
const char* zam_cache_file(int N, int I, int F, int type, int single);
// 1 when the order-N matrix, count = t3(N) doubles, was read into out from
// a double file whose record fits and whose values match its checksum;
// else 0. A series file of a lower order, and a product file of any other
// order, is a silent miss; a file of the cache's with no valid
// record, made for another matrix or damaged gets a warning naming it (once
// per process); a file the cache did not write is counted as
// zam_write_cache counts it. Float files are never trusted (they carry
// no checksum): a warning, and a miss.
int zam_read_cache(int N, int I, int F, int type, int64_t count, double* out);
// Values read from fd into out until count values, end of file or an error:
// count on success. Float files (single 1) convert 65,536 values at a time.
int64_t zam_read_cache_buffer(int fd, int single, int64_t count, double* out);
// Writes the order-N matrix of series values, count = t3(N) doubles, and
// its record whole under the double file's name (private to the user);
// failures (and a count that is not t3(N)) are reported and leave no file
// behind. A product file of a higher order of the same matrix is kept as it
// is (1): it serves that order. A file the cache did not write is kept (0),
// named in the log once per process and counted. Returns 1 or 0.
int zam_write_cache(int N, int I, int F, int type, int64_t count, const double* in);
// One warning for the files at cache names that the cache did not write,
// met since the last call: their count, the first one's name and what to
// do; nothing when there were none. For the end of a run. Takes lock 11.
void zam_cache_report_kept();

// Radial scales, set up front, before any matrix is made: the GTO scale h
// (20, the default, names no prefix; q > 0 gives h = q and the prefix
// "q<q>_", q < 0 h = 1/|q| and "r<|q|>_") and the ETO scale t (1, the
// default, no prefix; t > 0 t = t and "l<t>_", t < 0 t = 1/|t| and
// "m<|t|>_"). A scale of 0 is refused with an error.
void zam_cache_gto_scale(int q);
void zam_cache_eto_scale(int t);

// Other files in the cache folder, by plain file name (no '/'): refused with
// an error when the cache has no folder. create and fcreate remove an old
// file of that name and make a new one, private to the user; create opens it
// read-write, open read-only, both at the start, giving a descriptor or -1
// (open reports nothing: a missing file, or one that is no regular file,
// is a miss). close flushes the descriptor to the device and closes it: 0,
// or -1 when either fails (or for -1). fcreate and fopen give a stream
// ("w", "r"; the name's ending selects gzip or bzip2) or null; fclose
// closes it as zam_fclose does.
int zam_cache_create(const char* name);
int zam_cache_open(const char* name);
int zam_cache_close(int fd);
_zam_file* zam_cache_fcreate(const char* name);
_zam_file* zam_cache_fopen(const char* name);
int zam_cache_fclose(_zam_file* file);

// For tests: forget the probe so that the next call probes again.
void zam_cache_reset();
