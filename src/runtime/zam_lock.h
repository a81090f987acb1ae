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
#include <functional>
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

// File locks of runs that share a folder. Each rule has its one home here:
// whether the file system refuses a kind of lock (zam_lockRefused), how runs
// take turns at a file (zam_lockFile), and how a live process marks a file
// as its own for as long as it lives (zam_markAlive, zam_markedByOthers).
// Every kind is one the kernel drops when the process ends, however it ends.

// Whether errno err says the file system refuses a kind of lock (it keeps
// none of that kind, or none for this file), rather than that another
// process holds one.
bool zam_lockRefused(int err);

// The kind of lock zam_lockFile took.
enum ZamLockKind {
  ZAM_LOCK_FAILED = 0,
  ZAM_LOCK_FLOCK = 1,  // flock of the whole file
  ZAM_LOCK_OFD = 2,    // open-file-description lock of the whole file
  ZAM_LOCK_NONE = 3,   // the file system grants neither: the runs do not take turns
};
// Takes a lock of the whole file open as fd, exclusive or shared, waiting
// while another process (or another open file of this one) holds one that
// conflicts; a wait of more than a second says "Waiting for <what>" once.
// One fallback order: flock; where the file system refuses it, an
// open-file-description lock (an exclusive one needs fd open for writing);
// where it refuses that too, none. Each step down is said once for the
// process, naming place (the folder). give_up, when set, is asked between
// looks: true ends the wait with ECANCELED. The kind taken, for
// zam_unlockFile (closing fd releases it too); ZAM_LOCK_FAILED on another
// failure (errno).
int zam_lockFile(int fd, bool exclusive, const std::string& what, const std::string& place,
                 const std::function<bool()>& give_up = nullptr);
// Tries the lock of zam_lockFile once, without waiting: the kind taken, or
// ZAM_LOCK_FAILED with errno EWOULDBLOCK when another holds one. Says
// nothing.
int zam_tryLockFile(int fd, bool exclusive);
// Releases a lock zam_lockFile took of fd (kind as it returned).
void zam_unlockFile(int fd, int kind);

// Marks the file open as fd (any access mode) as held by this live process
// until fd is closed or the process ends: an open-file-description read
// lock of byte at (below 2^31), shared with every other mark of it (a
// write lock where fd is open only to write, shared with none). Where
// the file system refuses those, a mark of byte 0 is a shared flock of the
// whole file instead (a byte past 0 has no such stand-in: the caller marks
// a file of its own then). 1 when held; 0 when no kind is granted (errno).
int zam_markAlive(int fd, int64_t at = 0);
// Whether an open file other than fd's holds a mark (zam_markAlive) of
// byte at of the file: 1 yes, 0 no, -1 it cannot be told (errno). Where
// the mark is a flock (byte 0 on a file system that refuses the other
// kind), it is asked by taking fd's own lock exclusive for a moment:
// fd's own shared mark, if any, is given up then.
int zam_markedByOthers(int fd, int64_t at = 0);
// Whether an open file other than fd's holds a mark (zam_markAlive) of any
// byte of the file (a folder a run writes into, say, each of its runs
// marking a byte of its own): 1 yes, 0 no, -1 it cannot be told (errno):
// the file system refuses open-file-description locks, and the marks
// stand in files of their own, which zam_markedByOthers asks.
int zam_markedAnywhere(int fd);
// Null but in tests: stands in for fcntl in the open-file-description lock
// calls above (F_OFD_SETLK, F_OFD_SETLKW, F_OFD_GETLK), so that a test can
// have the file system refuse them.
extern int (*zam_ofd_lock_call)(int fd, int cmd, struct flock* lock);
// Null but in tests: stands in for flock in the calls above, so that a test
// can have the file system refuse it.
extern int (*zam_flock_call)(int fd, int operation);
