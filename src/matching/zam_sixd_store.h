// The solution store of the six-dimensional search and the threads around a
// pass: each worker keeps the poses of one work item in a scan block of its
// own and hands the whole block to one consumer thread, which puts the
// items' poses into a bounded buffer in item order (the order of a
// one-thread pass, so any thread count keeps the same poses), culling the
// buffer to its best quarter when full. The blocks waiting for the consumer
// take at most a fixed number of bytes: past it a worker waits, unless its
// item is the one the consumer needs next. The progress loop follows the
// items done through mailbox 7 and starts the abort thread when the progress
// hook asks to stop. Also the routines between passes: the number of poses
// carried into a fine pass, their re-sampling, runs of equal distance, and
// the starting pose's place and energy.
#pragma once

#include <cstdint>

#include "matching/zam_sixd_state.h"

// Opens the store for one pass: any old buffer freed, counts reset, room for
// 200,000 poses when n < 50,000, else 4 n. Returns 0 when memory fails.
int alloc_soln(int n);
// Appends one pose; a full buffer is first culled to the quarter of its poses
// with the lowest scores (ascending). Consumer thread only while a pass runs.
void push_soln(int64_t code, float score);
// New copies (zam_vm_free) of the codes and scores kept, and frees the
// buffer; returns their number. An empty store gives one pose, the start
// code with score 0. Returns 0 (nothing allocated) when memory fails.
int fetch_soln(int64_t** codes, float** scores);
void free_soln();
// Poses held by the open store (for tests and the master).
int soln_count();
int soln_capacity();

// Appends one pose to a worker's block.
void push_scan(_scan_block* local, int64_t code, float score);
// Hands a worker's block, the poses of one whole work item with its item
// number and orientations, to the consumer: moved (not copied) onto its
// queue. While the blocks that wait for the consumer take more than the
// bound (sixd_hand_over_bound), the worker waits for it, unless the block's
// item is the one the consumer stores next. The block comes back empty.
// This cannot deadlock only because the work items are taken in ascending
// order (loaded by zam_thread_load_range, taken by zam_thread_pop_list), one
// at a time, each handed over before the next is taken: every item below a waiting worker's was taken before it,
// so the item the consumer stores next is in the hands of a worker that
// does not wait. A pass that took its items in any other order could leave
// every worker waiting for an item no one has taken.
void push_global_block(_scan_block* local);
// Closes work item `item`: the worker's block, with the orientations the
// item covered, goes to the consumer (push_global_block); then the item is
// counted done under the writer side of mailbox 7, which is left open to the
// next writer, so no worker waits for the progress loop.
void end_scan_item(_scan_block* local, int item, float orientations, _ZamProgress* p);

// A worker's last word before it ends (writer side of mailbox 6): the
// master waits for one per worker it started (sixd_wait_workers), so that no
// worker still reads the work list when the next pass loads it.
void sixd_worker_done();
void sixd_wait_workers(int n);

// Sets the bytes of blocks that may wait for the consumer before a worker
// waits too (0 or less: the default, 4 MB); returns the bound it replaces.
// Call it between passes.
int64_t sixd_hand_over_bound(int64_t bytes);
// Workers waiting for room in the hand-over now.
int sixd_hand_over_waiting();

// What the consumer saw in one pass.
struct _sixd_consumer_arg {
  int n_items;          // work items of the pass, numbered 0 .. n_items - 1
  double orientations;  // sum of the items' orientations
  int kept;             // poses put into the store
  int found_start;      // 1 when the start code was among them
  int64_t most_held = 0;  // the most bytes of blocks that waited for it at once
};
// Consumer thread body (handle 136); arg points to a _sixd_consumer_arg.
// Items that arrive early wait for those before them, so the store takes
// the poses in the order of the work list whichever worker did an item.
void* zam_sixd_consumer(void* arg);
// Progress loop, run by the thread that started the workers; returns when
// every item is counted. A stop asked for by the progress hook starts the
// abort thread (handle 137, joinable: the caller joins it when p->abort).
void show_sixd_progress(_ZamProgress* p);
// Abort thread body: ends every item still on the work list.
void* zam_abort_sixd_thread(void* arg);

// Whether a layout (named `layout` in the message) can lay out a code for
// each of n_poses poses with mb MB of memory: at most 2^30 codes (so that
// item and pose counts stay ints), taking at most half the memory. The
// hand-over to the consumer is bounded apart. Reports why not.
bool sixd_poses_fit(const char* layout, int64_t n_poses, int mb);

// Poses to carry from a coarse pass into the fine pass (10,000..40,000, a
// multiple of 1,000); counts the active samples of the rotation tables.
int get_max_samples(int n_rec, int n_lig, double rec_range, double lig_range);
// Re-samples the best n poses (in the given order; null: as they stand) for
// a fine pass: receptor index through rec_map (null: the record's active map)
// and ligand index through lig_map (null: the record's ligand active map;
// for problem types 4 and 5 the ligand index stays), twist field 0, and with
// distance sub-steps the 2m+1 distances around each. Returns the number of
// distinct codes, ascending, in the new array *out (zam_vm_free); 0 with
// *out null when memory fails.
int relabel_samples(int n, const int64_t* codes, const int* order, const int* rec_map, const int* lig_map,
                    int64_t** out);
// Splits n codes, taken in the given order (null: as they stand), into runs
// of equal distance code; spans receives (first, last) positions, room for
// 2 n ints. Every position is compared, the last one too.
void zam_find_dspans_s(int n, const int64_t* codes, const int* order, int* n_spans, int* spans);
// Where the start code lies among the n poses (start_rank from 0, its score
// e_start; -1: not among them), and the score range.
void print_zeroth_score(int n, int start_rank, float e_start, float e_min, float e_max);
// Score of the starting pose from the search record's unrotated arrays:
// the receptor translated by -r12_start along z against the ligand. 0 for
// no terms; NaN, with an error message, when the receptor's arrays cannot
// be translated (no translation matrices of order N).
float get_start_energy(int n_vec, int N);
