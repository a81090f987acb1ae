// Thread layer: worker slots, numbered plain locks (0..15) and one-place
// mailboxes (0..31). Locks and mailboxes do nothing until zam_thread_setup ran.
// Also the task-descriptor stack that tells each worker which slot and CPU it
// stands for, the shared work list of item numbers, the fan-out of a threaded
// pass with its counting collector, and bulk steps split into parts that run
// at once on short-lived joinable threads.
#pragma once

// Every numbered lock, mailbox and thread handle of the system and who uses
// it. Two uses share a number only when they can never overlap in time.
//
// Plain locks (zam_mutex_acquire / zam_mutex_release):
//   0  exact coupling, radial polynomial and block index tables of the
//      translation matrices (harmonics)
//   2  the work list (zam_thread_pop_list)
//   4  messages and the log file (runtime log)
//   5  Legendre and Laguerre tables (harmonics)
//   6  one-time tables: factorials and primes, multi-precision set-up
//      (specfun), scalar series (geometry), translation index tables
//      (harmonics)
//   8  the guarded allocator (runtime); always taken before lock 4
//  10  one-time set-up of the alignment tables and BLOSUM floats (align)
//  11  the translation-matrix cache (harmonics)
//
// Mailboxes (zam_mutex_acquire_w / _r and their _ready forms):
//   4  the task stack (zam_thread_pop_task, zam_thread_push_task)
//   6  hand-over to a collector: skin integration (harmonics), the rotation
//      pre-pass and the end of each FFT-search worker (matching)
//   7  progress: finished blocks of skin integration (harmonics) and work
//      items of the FFT search (matching)
//  10  superposition of the top targets (driver refinement)
//  11  the tile pool of the anchor search (align)
//  12  trace pre-scoring (align)
//  13  opening an object list on worker threads (store)
//  14  writing the shown hits' files (driver search)
//  15  the descriptor filters (driver)
//
// Thread handles (zam_thread_start):
//   0..127  detached workers, in the slot of their task descriptor
//   136     the joinable collector of: superposition, skin integration, the
//           rotation pre-pass, hit-file writing, opening an object list;
//           the consumer of the FFT search
//   137     the joinable collector of trace pre-scoring and of the
//           descriptor filters; the abort thread of the FFT search
//   138     the detached watcher of the stop signals (zam_stop_watch)
constexpr int ZAM_LOCK_COUPLING = 0;
constexpr int ZAM_LOCK_WORK_LIST = 2;
constexpr int ZAM_LOCK_MESSAGES = 4;
constexpr int ZAM_LOCK_HARMONIC_TABLES = 5;
constexpr int ZAM_LOCK_ONCE_TABLES = 6;
constexpr int ZAM_LOCK_ALLOCATOR = 8;
constexpr int ZAM_LOCK_ALIGN_TABLES = 10;
constexpr int ZAM_LOCK_TM_CACHE = 11;

constexpr int ZAM_MAILBOX_TASKS = 4;
constexpr int ZAM_MAILBOX_HAND_OVER = 6;
constexpr int ZAM_MAILBOX_PROGRESS = 7;
constexpr int ZAM_MAILBOX_SUPERPOSE = 10;
constexpr int ZAM_MAILBOX_TILES = 11;
constexpr int ZAM_MAILBOX_TRACE = 12;
constexpr int ZAM_MAILBOX_OPEN = 13;
constexpr int ZAM_MAILBOX_HIT_FILES = 14;
constexpr int ZAM_MAILBOX_FILTER = 15;

constexpr int ZAM_HANDLE_COLLECTOR = 136;
constexpr int ZAM_HANDLE_SECOND = 137;
constexpr int ZAM_HANDLE_STOP = 138;

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

// Plain lock n (0..15, see the table above). Not recursive. Other numbers
// are ignored; a failure prints an oops.
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

// The counting collector of a fan-out. Each worker reports once, with the
// count of what it did, on the writer side of the mailbox; the collecting
// thread takes one reader turn per report. So the collector's end means that
// every worker has reported, and all that a worker wrote before its report
// is seen by the thread that joins the collector. The first two fields are
// the pair "workers still to report, work counted" of every collector.
struct _zam_collector {
  int remaining;   // reports still to come: read and written by the collecting thread alone
  int count;       // sum of the reported counts, added to under the writer side
  int mailbox;     // the mailbox the reports come through
  int workers;     // the reports the collector was set to wait for
  double seconds;  // how long the collecting thread waited for them
};

// Worker side: adds count to c's count under the writer side of its mailbox.
// Once per worker; it waits while an earlier report is still unread.
void zam_collector_report(_zam_collector* c, int count);
// Collecting side: takes one reader turn per report still to come and notes
// the time it waited. Run by one thread only, the collector's own or the
// caller that does nothing else meanwhile.
void zam_collector_wait(_zam_collector* c);
// The collector thread's body: zam_collector_wait on c, then the thread ends.
void* zam_collector_thread(void* c);

// What the calling thread does while the workers of a fan-out run: nothing.
struct zam_fan_idle {
  void operator()(int) const {}
};

// The fan-out of a threaded pass. collect(collect_arg) starts joinable in
// handle `handle`; then `workers` times a task descriptor is popped,
// fill(records[slot], descriptor) readies the record of its slot and work
// runs on that record, detached, in the slot. A worker that gets no slot (the
// layer is not set up) has its record filled for slot 0 (a descriptor of
// zeros), the caller's own; it and
// one whose thread cannot be created are done on the calling thread by
// here(record). during(started) then runs on the calling thread, with the
// number of workers that run on threads of their own, while they run; then
// the collector is joined. Returns that number once the collector is joined;
// -1 at once when the collector could not be started (nothing ran: the
// caller does the work itself). records holds ZAM_TASK_STACK entries, which
// live until this returns.
template <class Record, class Fill, class Here, class During>
int zam_thread_fan_out(int handle, zam_thread_fn collect, void* collect_arg, int workers,
                       zam_thread_fn work, Record* records, Fill fill, Here here, During during) {
  if (!zam_thread_start(handle, 1, collect, collect_arg)) return -1;
  int started = 0;
  for (int w = 0; w < workers; w++) {
    const _zam_task task = zam_thread_pop_task();
    const int slot = task.slot;
    if (slot < 0 || slot >= ZAM_THREAD_MAX_SLOTS) {
      Record own{};
      fill(own, _zam_task{0, 0, 0, 0});
      here(own);
      continue;
    }
    fill(records[slot], task);
    if (zam_thread_start(slot, 0, work, &records[slot]))
      started++;
    else
      here(records[slot]);
  }
  during(started);
  zam_thread_join(handle);
  return started;
}

// The fan-out with its counting collector c, on mailbox c->mailbox: c is set
// to wait for `workers` reports, and collect (zam_collector_thread unless a
// body of the caller's own, which must call zam_collector_wait on the
// collector it is given) runs on it. Each worker ends with
// zam_collector_report. A worker done on the calling thread is reported for
// it: here(record) returns its count. Results as above.
template <class Record, class Fill, class Here, class During = zam_fan_idle>
int zam_thread_fan_out(int handle, _zam_collector* c, int workers, zam_thread_fn work,
                       Record* records, Fill fill, Here here,
                       zam_thread_fn collect = zam_collector_thread, During during = {}) {
  c->remaining = c->workers = workers > 0 ? workers : 0;
  c->count = 0;
  c->seconds = 0.0;
  auto report_here = [c, &here](Record& r) { zam_collector_report(c, here(r)); };
  return zam_thread_fan_out(handle, collect, static_cast<void*>(c), workers, work, records, fill,
                            report_here, during);
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
