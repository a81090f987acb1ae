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

#include <cstdint>
#include <string>

struct flock;

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

// File locks of runs that share a folder (flock and open-file-description
// locks, which the kernel drops when the process ends, however it ends).

// Takes the lock how (LOCK_SH or LOCK_EX) of the file open as fd, waiting
// while another process holds one that conflicts; a wait of more than a
// second says once "Waiting for <what>". 1 when held, and 1 as well on a
// file system that keeps no such locks (the runs then do not take turns);
// 0 on another failure (errno).
int zam_flockSaying(int fd, int how, const std::string& what);
// Marks this open file of fd as holding byte at (below 2^31) of the file,
// shared with every other that marks it, until fd is closed (or the process
// ends): an open-file-description lock. 1; 0 when the file system keeps no
// such locks, or refuses this one (errno: ENOLCK, EOPNOTSUPP, EINVAL ...).
int zam_markByte(int fd, int64_t at);
// 1 when an open file other than fd's holds byte at of the file marked
// (zam_markByte), in this process or another; 0 when none does; -1 when it
// cannot be told (errno).
int zam_byteMarkedByOthers(int fd, int64_t at);
// Null but in tests: stands in for fcntl in the open-file-description lock
// calls above (F_OFD_SETLK, F_OFD_GETLK), so that a test can have the file
// system refuse them.
extern int (*zam_ofd_lock_call)(int fd, int cmd, struct flock* lock);
