// Process locks: one private System V set of 26 semaphores shared by a lead
// process and its forked sub-tasks. Slot locks 0..4 alternate one writer with
// its readers across processes; flags 0..15 are binary flags. A failed
// semaphore operation reports, tells the user to clean up the system's
// semaphores and ends the process with status 1.
// The waits ignore SIGINT by a process-wide handler change, as the signal
// handlers of zam_task.h expect. A program that takes its stop signals with
// the watcher of zam_stop.h does not use these locks: the two ways of taking
// signals are not combined.
#pragma once

constexpr int ZAM_LOCK_SLOTS = 5;
constexpr int ZAM_LOCK_FLAGS = 16;

// Creates the set (mode 0600) with every semaphore at 1 and records this
// process as its creator. Failure ends the process. Does nothing when a set
// exists already.
void zam_alloc_locks();
// Removes the set, in the creating process only; a failure is reported as an
// error and the process goes on.
void zam_free_locks();
// Id of the set, -1 when none exists.
int zam_lock_id();

// Slot lock n (0..4). A bad number or a missing set is reported as an error
// and the call returns; an interrupted wait is retried after 1 second; the
// interrupt signal is ignored while waiting.
void zam_write_acquire(int n);  // waits until the slot is empty and free
void zam_write_release(int n);  // slot stays written, guard freed
void zam_read_acquire(int n);   // waits until written, takes the guard
void zam_read_release(int n);   // slot empty again, guard freed
void zam_read_drop(int n);      // guard freed, slot stays written

// Flag f (0..15): zam_flag_set waits until the flag is up and takes it down;
// zam_flag_clear raises it.
void zam_flag_set(int f);
void zam_flag_clear(int f);
