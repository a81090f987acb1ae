// The library's window on the process and the machine: typed environment
// variables, the wall clock since start, date, host, process and machine
// queries, byte order, two small random-number functions, small array
// searches and optional loading of shared libraries. No function here takes
// a lock; the random-number state is not thread safe.
#pragma once

#include <cstdint>

// The library's debug level (0 by default; the driver raises it from the
// command line). Call sites test it before their extra messages.
extern int zam_debug;

// Environment. The returned texts belong to the environment (or are the
// caller's default) and must not be freed.
const char* zam_getenv(const char* name);    // "" when name is null/empty or unset
const char* zam_null_env(const char* name);  // "NULL" in the same cases
// The value, or def when name is empty, the variable unset or exactly "NULL".
const char* zam_char_env(const char* name, const char* def);
// Optional sign and digits only (a lone sign is 0); anything else gives def.
int zam_int_env(const char* name, int def);
// yes/y/true/t -> 1, no/n/false/f -> 0 (any case), unset or "null" -> def,
// otherwise 1 when the leading decimal integer is non-zero.
int zam_bool_env(const char* name, int def);
// Sets name=value; the joined text is kept by the environment (never freed).
// Returns 0 on success, -1 on failure.
int zam_putenv(const char* name, const char* value);
// Once per run: guesses ZAM_ROOT from the program path when unset (warns)
// and puts root/exe and root/bin in front of PATH.
void zam_check_root(const char* program_path);

// Clock and date.
void zam_init_time();
double zam_get_time();  // seconds since zam_init_time
// Local date and time, the 24 characters of asctime without its newline;
// out must hold 25 bytes. Returns out.
char* zam_get_date(char* out);
// "%d min, %d sec" below one hour, else "%d hr, %d min, %d sec"; out must
// hold 64 bytes. Returns out.
char* zam_elapsed_string(char* out, double seconds);
inline char* zam_elapsed_string(double seconds, char* out) { return zam_elapsed_string(out, seconds); }

// Process and machine.
char* zam_get_host(char* out);  // host name cut at 25 characters; out holds 26 bytes
int zam_get_pid();
char* zam_get_cwd(char* out);   // at most 256 characters; out holds 257 bytes; "" on failure
int zam_umask(int mask);        // returns the previous mask
int zam_nice(int increment);    // lowers the priority; returns the new nice value (-1 on failure)
int zam_mb_memory();            // physical memory in MB
int zam_cpus_online();
// Processors this process may run on: those of its affinity mask (of the
// calling thread), no more than its control groups' CPU quota allows, at
// least 1. The default number of compute threads.
int zam_cpus_usable();
int zam_cpus_configured();
// 1 when the processor runs AVX2 code (asked once, then remembered), else 0:
// the score loops choose their eight-lane forms by it.
int zam_cpu_avx2();
// 1 when the processor runs AVX-512 (foundation) code, else 0; asked once.
int zam_cpu_avx512();
// 0 on least-significant-byte-first machines; any other order is reported
// once and gives -1. Cached after the first call.
int zam_endian();
void zam_zero(void* p, int64_t n);
void zam_copy(const void* src, void* dst, int64_t n);  // source first
// First occurrence of byte c in s (the terminator for c = 0), or null.
char* zam_index(char* s, int c);
const char* zam_index(const char* s, int c);

// Shared libraries: immediate binding, global symbols. Failures warn and
// give null (zam_dlclose gives dlclose's result).
void* zam_dlopen(const char* file);
void* zam_dlsym(void* handle, const char* name);
int zam_dlclose(void* handle);

// Random numbers. zam_ran_string returns the process id followed by a random
// number in a static buffer, overwritten by the next call. zam_ran_range draws
// from rand(), seeded with 1971 on first use.
char* zam_ran_string();
double zam_ran_range(double lo, double hi);

// Small array searches.
int find_min(const double* a, int n);            // first smallest; 0 for n < 1
int find_max(const double* a, int n);            // first largest; 0 for n < 1
int find_val(const double* a, int n, double v);  // closest among 1..n-1; 0 for n < 2
int find_int(int v, const int* a, int n);        // first equal, or -1
