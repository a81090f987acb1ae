// Thread slots, numbered plain locks, one-place mailboxes, the task stack and
// the shared work list.
#include "runtime/zam_thread.h"

#include "runtime/kids.h"
#include "runtime/zam_gpu.h"
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int kPlainBase = 3 * ZAM_MAILBOXES;  // plain lock n is mutex 96 + n
constexpr int kTaskMailbox = ZAM_MAILBOX_TASKS;
constexpr int kWorkListLock = ZAM_LOCK_WORK_LIST;

// A binary semaphore that one thread closes and another opens. Mailboxes are
// taken by one thread and released by another, which a pthread mutex does not
// allow, so each of their three parts is one of these.
struct BinarySem {
    std::mutex m;
    std::condition_variable cv;
    bool open = true;
};

// Mailbox k: sems[3k] is the full side (open: a reader may enter), sems[3k+1]
// the empty side (open: a writer may enter), sems[3k+2] the data lock.
// Made once and never destroyed: detached workers may still be leaving their
// last release while the process runs its exit handlers.
BinarySem* const sems = new BinarySem[kPlainBase];

pthread_mutex_t plain_locks[ZAM_PLAIN_LOCKS] = {
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER};
pthread_cond_t conds[2] = {PTHREAD_COND_INITIALIZER, PTHREAD_COND_INITIALIZER};

std::once_flag setup_once;
std::atomic<bool> setup_done{false};
std::atomic<int> slot_count{ZAM_THREAD_MAX_SLOTS};
std::atomic<bool> serial_mode{false};

// Handle table. A handle is joinable from its start until its join, which
// keeps a join of a detached, finished or never-started handle from reaching
// pthread_join.
pthread_t handles[ZAM_THREAD_HANDLES];
std::atomic<bool> handle_joinable[ZAM_THREAD_HANDLES];

// Shared task stack, guarded by mailbox 4 after set-up.
_zam_task task_stack[ZAM_TASK_STACK];
int task_top = -1;

// Shared work list, popped under plain lock 2; loaded before the poppers run.
int* work_list = nullptr;
int work_top = -1;

bool ready()
{
    return setup_done.load(std::memory_order_acquire);
}

std::string sys_text(int rc)
{
    return std::error_code(rc, std::generic_category()).message();
}

void sem_close(BinarySem& s)
{
    std::unique_lock<std::mutex> lk(s.m);
    s.cv.wait(lk, [&s] { return s.open; });
    s.open = false;
}

// Closes the semaphore when it is open; returns whether it was open.
bool sem_try_close(BinarySem& s)
{
    std::lock_guard<std::mutex> lk(s.m);
    if (!s.open) return false;
    s.open = false;
    return true;
}

// Opening an open semaphore leaves it open: it never counts above one.
void sem_open(BinarySem& s)
{
    {
        std::lock_guard<std::mutex> lk(s.m);
        s.open = true;
    }
    s.cv.notify_one();
}

bool mailbox_ok(int k)
{
    return ready() && k >= 0 && k < ZAM_MAILBOXES;
}

BinarySem& full_sem(int k) { return sems[3 * k]; }
BinarySem& empty_sem(int k) { return sems[3 * k + 1]; }
BinarySem& data_sem(int k) { return sems[3 * k + 2]; }

// Writer release that leaves only the writer side open: used when the guarded
// stack is left empty, so that a reader waits for the next push. A full side
// left open by an earlier ready release is closed too.
void release_w_empty(int k)
{
    if (!mailbox_ok(k)) return;
    sem_open(data_sem(k));
    sem_try_close(full_sem(k));
    sem_open(empty_sem(k));
}

int gpu_devices()
{
    return std::max(0, zam_cuda_active_devices());
}

// Fills a descriptor stack for ncpu CPUs and ngpu GPU devices; the caller
// holds the stack's writer side. Returns the number of descriptors.
int fill_tasks(_zam_task* stack, int& top, int ncpu, int ngpu)
{
    ncpu = std::clamp(ncpu, 0, zam_thread_slots());
    ngpu = std::clamp(ngpu, 0, std::min(gpu_devices(), ZAM_TASK_STACK - ncpu));
    int first = zam_cuda_first_device();
    top = -1;
    int slot = 0;
    for (int dev = first + ngpu - 1; dev >= first; dev--) {
        long long kb = zam_cuda_global(dev);
        stack[++top] = {slot++, dev, 1, static_cast<int>((kb + 1023) / 1024)};
    }
    int mb = ncpu > 0 ? zam_mb_memory() / ncpu : 0;
    for (int cpu = ncpu - 1; cpu >= 0; cpu--) stack[++top] = {slot++, cpu, 0, mb};
    return top + 1;
}

_zam_task no_task()
{
    return {-1, -1, 0, 0};
}

// Pops the top descriptor of a stack under the reader side of mailbox k.
_zam_task pop_from(_zam_task* stack, int& top, int k)
{
    zam_mutex_acquire_r(k);
    _zam_task d = no_task();
    if (top >= 0) d = stack[top--];
    if (top >= 0)
        zam_mutex_release_r_ready(k);
    else
        zam_mutex_release_r(k);
    return d;
}

void push_to(_zam_task d, _zam_task* stack, int& top, int k, const char* who)
{
    zam_mutex_acquire_w(k);
    if (top + 1 < ZAM_TASK_STACK)
        stack[++top] = d;
    else
        zam_oops("%s(): Task stack is full.\n", who);
    zam_mutex_release_w_ready(k);
}

void free_work_list()
{
    kfree(work_list);
    work_list = nullptr;
    work_top = -1;
}

// One part of a zam_thread_run, as its thread sees it.
struct RunPart {
    zam_part_fn fn;
    int part;
    int parts;
    void* arg;
};

void* run_part(void* p)
{
    const RunPart* r = static_cast<const RunPart*>(p);
    r->fn(r->part, r->parts, r->arg);
    return nullptr;
}

}  // namespace

void zam_thread_setup(int n)
{
    slot_count.store(std::clamp(n, 0, ZAM_THREAD_MAX_SLOTS), std::memory_order_relaxed);
    std::call_once(setup_once, [] {
        for (int k = 0; k < ZAM_MAILBOXES; k++) full_sem(k).open = false;
        setup_done.store(true, std::memory_order_release);
    });
}

int zam_thread_slots()
{
    return slot_count.load(std::memory_order_relaxed);
}

int zam_thread_cpus()
{
    return std::max(1, zam_thread_slots());
}

int zam_thread_start(int id, int joinable, zam_thread_fn fn, void* arg)
{
    if (!ready() || id < 0 || id >= ZAM_THREAD_HANDLES) {
        zam_oops("zam_thread_start(): Bad thread number %d.\n", id);
        return 0;
    }
    if (fn == nullptr) {
        zam_oops("zam_thread_start(): No function for thread %d.\n", id);
        return 0;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, joinable ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&handles[id], &attr, fn, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        zam_oops("Failed to create thread: %d.\n** [%s]\n", id, sys_text(rc).c_str());
        return 0;
    }
    handle_joinable[id].store(joinable != 0, std::memory_order_release);
    return 1;
}

void zam_thread_join(int id)
{
    if (!ready() || id < 0 || id >= ZAM_THREAD_HANDLES ||
        !handle_joinable[id].exchange(false, std::memory_order_acq_rel)) {
        zam_oops("zam_thread_join(): Bad thread number %d.\n", id);
        return;
    }
    int rc = pthread_join(handles[id], nullptr);
    if (rc != 0) zam_oops("Failed to join thread: %d.\n** [%s]\n", id, sys_text(rc).c_str());
}

void zam_thread_exit()
{
    if (ready()) pthread_exit(nullptr);
}

void zam_mutex_acquire(int n)
{
    if (!ready() || n < 0 || n >= ZAM_PLAIN_LOCKS) return;
    int rc = pthread_mutex_lock(&plain_locks[n]);
    if (rc != 0) zam_oops("Failed to lock mutex: %d.\n** [%s]\n", kPlainBase + n, sys_text(rc).c_str());
}

void zam_mutex_release(int n)
{
    if (!ready() || n < 0 || n >= ZAM_PLAIN_LOCKS) return;
    int rc = pthread_mutex_unlock(&plain_locks[n]);
    if (rc != 0) zam_oops("Failed to unlock mutex: %d.\n** [%s]\n", kPlainBase + n, sys_text(rc).c_str());
}

void zam_mutex_acquire_w(int k)
{
    if (!mailbox_ok(k)) return;
    sem_close(empty_sem(k));
    sem_close(data_sem(k));
}

void zam_mutex_release_w(int k)
{
    if (!mailbox_ok(k)) return;
    sem_open(data_sem(k));
    sem_open(full_sem(k));
}

void zam_mutex_release_w_ready(int k)
{
    if (!mailbox_ok(k)) return;
    sem_open(data_sem(k));
    sem_open(empty_sem(k));
    sem_open(full_sem(k));
}

void zam_mutex_acquire_r(int k)
{
    if (!mailbox_ok(k)) return;
    sem_close(full_sem(k));
    sem_close(data_sem(k));
}

void zam_mutex_release_r(int k)
{
    if (!mailbox_ok(k)) return;
    sem_open(data_sem(k));
    sem_open(empty_sem(k));
}

void zam_mutex_release_r_ready(int k)
{
    if (!mailbox_ok(k)) return;
    sem_open(data_sem(k));
    sem_open(full_sem(k));
    sem_open(empty_sem(k));
}

int zam_mutex_status(int k)
{
    if (!mailbox_ok(k)) return 0;
    int mask = 0;
    for (int j = 0; j < 3; j++) {
        int m = 3 * k + j;
        bool taken = sem_try_close(sems[m]);
        zam_msg("status[%d] = %d ", m, taken ? 0 : EBUSY);
        if (taken) {
            sem_open(sems[m]);
            zam_msg("unlocked %d\n ", m);
        } else {
            zam_msg("EBUSY!\n");
            mask |= 1 << j;
        }
    }
    return mask;
}

void zam_cond_wait(int c, int n)
{
    if (c < 0 || c > 1 || n < 0 || n >= ZAM_PLAIN_LOCKS) {
        zam_oops("Bad call to: zam_cond_wait(%d,%d).\n", c, n);
        return;
    }
    if (!ready()) return;
    int rc = pthread_cond_wait(&conds[c], &plain_locks[n]);
    if (rc != 0) zam_oops("Failed to wait on condition: %d.\n** [%s]\n", c, sys_text(rc).c_str());
}

void zam_cond_signal(int c)
{
    if (c < 0 || c > 1) {
        zam_oops("Bad call to: zam_cond_signal(%d).\n", c);
        return;
    }
    if (!ready()) return;
    int rc = pthread_cond_signal(&conds[c]);
    if (rc != 0) zam_wrn("Failed to signal condition: %d.\n** [%s]\n", c, sys_text(rc).c_str());
}

int zam_thread_setup_task(int ncpu, int ngpu)
{
    zam_mutex_acquire_w(kTaskMailbox);
    int n = fill_tasks(task_stack, task_top, ncpu, ngpu);
    if (n > 0)
        zam_mutex_release_w_ready(kTaskMailbox);
    else
        release_w_empty(kTaskMailbox);
    return n;
}

_zam_task zam_thread_pop_task()
{
    return pop_from(task_stack, task_top, kTaskMailbox);
}

void zam_thread_push_task(_zam_task d)
{
    push_to(d, task_stack, task_top, kTaskMailbox, "zam_thread_push_task");
}

void zam_collector_report(_zam_collector* c, int count)
{
    zam_mutex_acquire_w(c->mailbox);
    c->count += count;
    zam_mutex_release_w(c->mailbox);
}

void zam_collector_wait(_zam_collector* c)
{
    const double start = zam_get_time();
    while (c->remaining > 0) {
        zam_mutex_acquire_r(c->mailbox);
        c->remaining--;
        zam_mutex_release_r(c->mailbox);
    }
    c->seconds = zam_get_time() - start;
}

void* zam_collector_thread(void* c)
{
    zam_collector_wait(static_cast<_zam_collector*>(c));
    zam_thread_exit();
    return nullptr;
}

_zam_task_struct* zam_allocTaskStruct()
{
    auto* ts = static_cast<_zam_task_struct*>(kget1B_0(sizeof(_zam_task_struct)));
    if (ts == nullptr) return nullptr;
    ts->stack = static_cast<_zam_task*>(kget1B_0(sizeof(_zam_task) * ZAM_TASK_STACK));
    if (ts->stack == nullptr) {
        kfree(ts);
        return nullptr;
    }
    ts->top = -1;
    return ts;
}

_zam_task_struct* zam_makeTaskStruct(int ncpu, int ngpu, int mailbox)
{
    _zam_task_struct* ts = zam_allocTaskStruct();
    if (ts == nullptr) return nullptr;
    ts->mailbox = mailbox;
    zam_mutex_acquire_w(mailbox);
    ts->count = fill_tasks(ts->stack, ts->top, ncpu, ngpu);
    if (ts->count > 0)
        zam_mutex_release_w_ready(mailbox);
    else
        release_w_empty(mailbox);
    return ts;
}

void zam_threadPushTask(_zam_task d, _zam_task_struct* ts)
{
    if (ts == nullptr) return;
    push_to(d, ts->stack, ts->top, ts->mailbox, "zam_threadPushTask");
}

_zam_task zam_threadPopTask(_zam_task_struct* ts)
{
    if (ts == nullptr) return no_task();
    return pop_from(ts->stack, ts->top, ts->mailbox);
}

void zam_freeTaskStruct(_zam_task_struct* ts)
{
    if (ts == nullptr) return;
    kfree(ts->stack);
    kfree(ts);
}

void zam_thread_load_range(int first, int last)
{
    free_work_list();
    if (last < first) return;
    long long n = static_cast<long long>(last) - first + 1;
    if (n > 0x7fffffff) {
        zam_oops("zam_thread_load_range(): Range %d..%d is too long.\n", first, last);
        return;
    }
    work_list = kget1I(static_cast<int>(n));
    if (work_list == nullptr) return;
    // Stored last, last-1, ..., first so that the top of the list is first.
    for (long long i = 0; i < n; i++) work_list[i] = static_cast<int>(last - i);
    work_top = static_cast<int>(n - 1);
}

int* zam_thread_load_list(int n, const int* items)
{
    free_work_list();
    if (n < 1 || items == nullptr) return nullptr;
    work_list = kget1I(n);
    if (work_list == nullptr) return nullptr;
    std::copy(items, items + n, work_list);
    work_top = n - 1;
    return work_list;
}

int zam_thread_pop_list()
{
    zam_mutex_acquire(kWorkListLock);
    int v = -1;
    if (work_top > 0) {
        v = work_list[work_top--];
    } else if (work_top == 0) {
        v = work_list[0];
        free_work_list();
    }
    zam_mutex_release(kWorkListLock);
    return v;
}

int zam_thread_bulk()
{
    if (!ready() || serial_mode.load(std::memory_order_relaxed)) return 1;
    return zam_thread_cpus();
}

void zam_thread_serial(int on)
{
    serial_mode.store(on != 0, std::memory_order_relaxed);
}

void zam_thread_run(int parts, zam_part_fn fn, void* arg)
{
    if (fn == nullptr || parts < 1) return;
    if (parts < 2 || !ready()) {
        for (int k = 0; k < parts; k++) fn(k, parts, arg);
        return;
    }
    std::vector<RunPart> records(static_cast<size_t>(parts));
    std::vector<pthread_t> threads(static_cast<size_t>(parts));
    std::vector<char> started(static_cast<size_t>(parts), 0);
    for (int k = 1; k < parts; k++) {
        records[k] = {fn, k, parts, arg};
        started[k] = pthread_create(&threads[k], nullptr, run_part, &records[k]) == 0;
    }
    fn(0, parts, arg);
    for (int k = 1; k < parts; k++) {
        if (started[k])
            pthread_join(threads[k], nullptr);
        else
            fn(k, parts, arg);
    }
}
