// Thread layer: worker slots, numbered plain locks (0..15) and one-place
// mailboxes (0..31). Locks and mailboxes do nothing until zam_thread_setup ran.
// Also the task-descriptor stack that tells each worker which slot and CPU it
// stands for, the shared work list of item numbers, and bulk steps split
// into parts that run at once on short-lived joinable threads.
#pragma once

// Thread handles 0..143: 0..127 detached workers, 136 the joinable collector,
// 137 a second joinable thread.
constexpr int ZAM_THREAD_HANDLES = 144;
constexpr int ZAM_THREAD_MAX_SLOTS = 128;
constexpr int ZAM_TASK_STACK = 136;
constexpr int ZAM_MAILBOXES = 32;
constexpr int ZAM_PLAIN_LOCKS = 16;

// One task descriptor: the slot number (order of creation, from 0), the CPU
// number or GPU device, the GPU flag (1 GPU, 0 CPU) and its memory share in MB.
struct _zam_task {
    int slot;
    int device;
    int gpu;
    int mb;
};

// A private task stack guarded by its own mailbox.
struct _zam_task_struct {
    int count;        // descriptors made by zam_makeTaskStruct
    int mailbox;      // mailbox number guarding the stack
    int top;          // index of the top descriptor, -1 when empty
    _zam_task* stack; // ZAM_TASK_STACK descriptors (guarded allocator)
};

using zam_thread_fn = void* (*)(void*);

// Sets the worker-slot count to n clamped to 0..128. The first call also
// creates the locks and mailboxes (every mailbox starts empty); later calls
// only change the count. Call it before any thread runs.
void zam_thread_setup(int n);
// Worker-slot count: 128 before set-up, then the clamped value.
int zam_thread_slots();
// Worker-slot count, at least 1.
int zam_thread_cpus();

// Runs fn(arg) in a new thread stored in handle id, joinable when joinable is
// non-zero. Returns 1 when the thread runs; a bad id, a call before set-up
// or a failed creation prints an oops, starts nothing and returns 0, so that
// the caller can do the work itself instead of waiting for it.
int zam_thread_start(int id, int joinable, zam_thread_fn fn, void* arg);
// Waits for the joinable thread of handle id. A bad id, a handle without a
// joinable thread or a call before set-up prints an oops.
void zam_thread_join(int id);
// Ends the calling thread; does nothing before set-up.
void zam_thread_exit();

// Plain lock n (0..15). Lock 4 guards messages and the log, lock 8 the
// guarded allocator; lock 8 is always taken before lock 4. Not recursive.
// Other numbers are ignored; a failure prints an oops.
void zam_mutex_acquire(int n);
void zam_mutex_release(int n);

// Mailbox k (0..31): a writer turn and a reader turn alternate. The writer
// waits until the mailbox is empty; its release marks it full. The reader
// waits until it is full; its release marks it empty. A _ready release
// leaves both sides open. Both sides also hold the mailbox's data lock while
// inside. Other numbers are ignored.
void zam_mutex_acquire_w(int k);
void zam_mutex_release_w(int k);
void zam_mutex_release_w_ready(int k);
void zam_mutex_acquire_r(int k);
void zam_mutex_release_r(int k);
void zam_mutex_release_r_ready(int k);
// Diagnostic: prints the state of the three parts of mailbox k through
// zam_msg and returns a bit mask (1 full, 2 empty, 4 data lock) of the parts
// that were closed; 0 before set-up or for a bad number.
int zam_mutex_status(int k);

// Condition variables c (0 or 1) used with plain lock n, which the caller
// holds while waiting. Bad arguments print an oops.
void zam_cond_wait(int c, int n);
void zam_cond_signal(int c);

// Refills the shared task stack (guarded by mailbox 4) with one descriptor
// per GPU device in use and per CPU (ncpu clamped to 0..slots); returns the
// count. Pops give CPU 0, 1, ... first, then the GPU devices.
int zam_thread_setup_task(int ncpu, int ngpu);
// Takes the top descriptor. After set-up it waits while the stack is empty;
// before set-up an empty stack gives a descriptor with slot -1.
_zam_task zam_thread_pop_task();
// Pushes a descriptor; a full stack prints an oops and drops it.
void zam_thread_push_task(_zam_task d);

// The fan-out of a threaded pass: the collector collect(collect_arg) starts
// joinable in handle collector, then workers times a task descriptor is
// popped, fill(records[slot], slot) readies the record of its slot and work
// runs on that record, detached, in the slot. A worker that gets no slot (the
// layer is not set up) has its record filled for slot 0, the caller's own,
// and is done here by here(record); so is one whose thread cannot be created.
// here must report to the collector as work does, so that its count closes.
// Returns 1 once the collector is joined; 0 at once when the collector could
// not be started (nothing ran: the caller does the work itself). records
// holds ZAM_TASK_STACK entries, which live until this returns.
template <class Record, class Fill, class Here>
int zam_thread_fan_out(int collector, zam_thread_fn collect, void* collect_arg, int workers,
                       zam_thread_fn work, Record* records, Fill fill, Here here) {
  if (!zam_thread_start(collector, 1, collect, collect_arg)) return 0;
  for (int w = 0; w < workers; w++) {
    const int slot = zam_thread_pop_task().slot;
    if (slot < 0 || slot >= ZAM_THREAD_MAX_SLOTS) {
      Record own{};
      fill(own, 0);
      here(own);
      continue;
    }
    fill(records[slot], slot);
    if (!zam_thread_start(slot, 0, work, &records[slot])) here(records[slot]);
  }
  zam_thread_join(collector);
  return 1;
}

// Private task stacks: a zeroed, empty structure (free with
// zam_freeTaskStruct); one filled like zam_thread_setup_task under the
// writer side of mailbox `mailbox`; push and pop as above under that mailbox.
_zam_task_struct* zam_allocTaskStruct();
_zam_task_struct* zam_makeTaskStruct(int ncpu, int ngpu, int mailbox);
void zam_threadPushTask(_zam_task d, _zam_task_struct* ts);
_zam_task zam_threadPopTask(_zam_task_struct* ts);
// Frees the stack and the structure; null is ignored.
void zam_freeTaskStruct(_zam_task_struct* ts);

// Work list. The loaders take no lock: load before starting the threads that
// pop. zam_thread_load_range hands out first..last in ascending order (empty
// when last < first); zam_thread_load_list hands out a copy of items from the
// last to the first and returns that copy (owned by the layer). Loading
// replaces and frees the previous list.
void zam_thread_load_range(int first, int last);
int* zam_thread_load_list(int n, const int* items);
// Next number of the work list under plain lock 2, -1 when empty; the pop of
// the last number frees the list.
int zam_thread_pop_list();

// Threads one bulk step may be split over with zam_thread_run: the slot
// count (at least 1); 1 before set-up and while serial mode is on.
int zam_thread_bulk();
// Serial mode (on != 0) for a run that asked for no worker threads: bulk
// steps then run whole on the calling thread. Off at start.
void zam_thread_serial(int on);

// Runs fn(part, parts, arg) for every part 0..parts-1 and returns when all
// have returned: part 0 on the calling thread, the others each on a new
// joinable thread (not in the handle table, no slot taken). A part whose
// thread cannot be created runs on the calling thread after part 0, so every
// part always runs once. Before set-up, or for parts < 2, all parts run on
// the calling thread in order. The parts must write disjoint data.
using zam_part_fn = void (*)(int part, int parts, void* arg);
void zam_thread_run(int parts, zam_part_fn fn, void* arg);
