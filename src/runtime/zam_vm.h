// Guarded allocator: every block carries a header (tag, base address, size in
// 8-byte words, low guard word) and a top guard word after its data, and is
// aligned to 16 bytes. It keeps the bytes in use and their peak, and checks
// the guard words when a block is freed. The usage totals are atomic; the
// rare reports on them (debug steps, the physical memory warning) are made
// under plain lock 8 and take the message lock 4 after it.
#pragma once

#include <cstdint>

// Block of n bytes, not cleared; null after a report ("Cannot allocate
// negative memory ..." for n < 0, "Failed to allocate memory ..." when the
// system refuses). Release with zam_vm_free.
void* zam_vm_get(int64_t n);
// As zam_vm_get, zero-filled. A block of 1 MiB or more is a private map of
// its own (not under AddressSanitizer), which is not touched here: each page
// is faulted in, zeroed, by the thread that first uses it.
void* zam_vm_get_0(int64_t n);
// As zam_vm_get, for the many small blocks of a run that are freed late and
// together (the trace records of a search's targets): while pooling is on,
// taken from this thread's slab of a shared pool, whose memory goes back to
// the system only in zam_vm_release_pools. Otherwise, and for blocks over
// 1 MiB and every block under AddressSanitizer, a plain zam_vm_get block.
// Release with zam_vm_free like any other block.
void* zam_vm_get_pooled(int64_t n);
// The same, zero-filled.
void* zam_vm_get_pooled_0(int64_t n);
// Pooling on (on != 0) or off; off at start. With on = 2 each new slab is
// faulted in whole when it is mapped, which is quicker when only one thread
// allocates from the pool.
void zam_vm_pooling(int on);
// Gives back, on several threads (zam_thread_run), the memory of every slab
// whose pooled blocks are all freed and that no thread allocates from any
// more; the calling thread stops allocating from its own slab. Worker
// threads that have ended have stopped too.
void zam_vm_release_pools();
// Copy of s in a new block; null for a null s or when no block can be had.
char* zam_vm_strdup(const char* s);
// Resize: a new block of n bytes (tag 0) receives the smaller of the old
// rounded size and n bytes; the old block is freed. When no new block can be
// had, reports and returns p unchanged (a caller that grows a block may check
// zam_vm_get_size). A null p gives a fresh block.
void* zam_vm_mod(void* p, int64_t n);
// Checks both guard words (reporting a clobbered one), lowers the totals and
// releases the block. A block whose low guard is clobbered is not released
// (its header cannot be trusted). Null is ignored.
void zam_vm_free(void* p);
// Guard check of a live block, reported under the given label; 1 when both
// guards hold, else 0 (also for null).
int zam_vm_check(const void* p, const char* label = "zam_vm_check");
// Gives the system back the whole pages of block p past its first keep
// bytes: the block stays in use, and those bytes read as zeros until they
// are written again (the pages are faulted in anew). Null p, or keep at or
// past the block's end: nothing.
void zam_vm_trim(void* p, int64_t keep);
// Data size in bytes (the request rounded up to 8); 0 for null.
int64_t zam_vm_get_size(const void* p);
// The block's tag word (0 when allocated); 0 for null.
int64_t zam_vm_get_tag(const void* p);
void zam_vm_set_tag(void* p, int64_t tag);
// Bytes in use and their peak, in KiB (usable sizes of the system blocks).
int64_t zam_vm_total();
int64_t zam_vm_max();
// Debug level: above 0 reports usage at each 50 MiB step of growth, above 1
// traces every allocation, resize and free.
void zam_vm_debug(int level);
