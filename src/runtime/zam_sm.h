// Private System V shared-memory segments: a per-process table of up to 12
// segments made by this process, with the bytes held and their peak. The
// table is not guarded: use it from one thread.
#pragma once

#include <cstdint>

constexpr int ZAM_SM_SEGMENTS = 12;

// New private segment of size bytes (mode 0600), attached. Null after an
// error message when the table is full or the system refuses.
void* zam_sm_get(int64_t size);
// Detaches and removes the recorded segment at address, or every recorded
// segment when address is all ones ((void*)-1); lowers the total. Addresses
// not in the table are ignored.
void zam_sm_free(void* address);
// Detaches and removes every recorded segment; totals unchanged.
void zam_sm_exit();
// Id of the recorded segment at address, or -1.
int zam_sm_id(void* address);
// Attaches an existing segment (of another process); null after an error
// message on failure. zam_sm_detach undoes it.
void* zam_sm_attach(int id);
void zam_sm_detach(void* address);
// Bytes held through zam_sm_get and their peak, in KiB.
int64_t zam_sm_total();
int64_t zam_sm_max();
