// Thread layer: slot clamping, thread start and join, plain locks, mailboxes,
// condition variables, the task stack and the work list.
#include "runtime/zam_log.h"
#include "runtime/zam_system.h"
#include "runtime/zam_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::mutex captured_guard;
std::string captured;

void capture(const char* text)
{
    std::lock_guard<std::mutex> lk(captured_guard);
    captured += text;
}

// Collects every message shown to the user while it lives.
struct Capture {
    zam_logger_fn saved;
    Capture()
    {
        captured.clear();
        saved = zam_logger_callback(capture);
    }
    ~Capture() { zam_logger_callback(saved); }
    std::string text()
    {
        std::lock_guard<std::mutex> lk(captured_guard);
        return captured;
    }
};

// Long enough for a thread that is not blocked to get through; a thread that
// is blocked stays blocked however long we wait, so this cannot fail falsely.
void pause_briefly()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

std::atomic<int> ran{0};

void* mark_ran(void* arg)
{
    ran.fetch_add(*static_cast<int*>(arg));
    return nullptr;
}

void* exit_early(void* arg)
{
    auto* flag = static_cast<std::atomic<int>*>(arg);
    flag->store(1);
    zam_thread_exit();
    flag->store(2);  // never reached
    return nullptr;
}

// A zam_thread_run part that notes its number and thread; only for runs
// on the calling thread, whose parts come one after another.
void record_part(int part, int parts, void* arg)
{
    auto* order = static_cast<std::vector<std::pair<int, std::thread::id>>*>(arg);
    EXPECT_EQ(parts, 3);
    order->emplace_back(part, std::this_thread::get_id());
}

// A zam_thread_run over many parts: each writes its own entry only.
struct PartRecord {
    std::vector<int> runs;                 // times each part ran
    std::vector<std::thread::id> threads;  // the thread of each part
    std::vector<int> parts_seen;           // the part count each part was given
};

void count_part(int part, int parts, void* arg)
{
    auto* r = static_cast<PartRecord*>(arg);
    r->runs[part]++;
    r->threads[part] = std::this_thread::get_id();
    r->parts_seen[part] = parts;
}

// One worker of a fan-out test: reports 10 + its slot once `go` is set (or
// after five seconds, noting that it was not).
struct FanRecord {
    int slot = -1;
    _zam_collector* collector = nullptr;
    std::atomic<bool>* go = nullptr;
    std::atomic<int>* waited_in_vain = nullptr;
};

void* fan_worker(void* arg)
{
    auto* r = static_cast<FanRecord*>(arg);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!r->go->load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    if (!r->go->load()) r->waited_in_vain->fetch_add(1);
    zam_collector_report(r->collector, 10 + r->slot);
    zam_thread_exit();
    return nullptr;
}

std::atomic<int> own_collector_ran{0};

void* own_collector(void* c)
{
    own_collector_ran.fetch_add(1);
    zam_collector_wait(static_cast<_zam_collector*>(c));
    return nullptr;
}

}  // namespace

// Runs first in this program: nothing has called zam_thread_setup yet.
TEST(ThreadLayer, BeforeSetupNothingLocksAndThreadsAreRefused)
{
    EXPECT_EQ(zam_thread_slots(), 128);
    EXPECT_EQ(zam_thread_cpus(), 128);
    zam_mutex_acquire(4);
    zam_mutex_acquire(4);  // would deadlock if it locked
    zam_mutex_release(4);
    zam_mutex_release(4);
    zam_mutex_acquire_w(3);
    zam_mutex_acquire_w(3);
    zam_mutex_release_w(3);
    EXPECT_EQ(zam_mutex_status(3), 0);

    Capture cap;
    int one = 1;
    ran = 0;
    zam_thread_start(0, 1, mark_ran, &one);
    zam_thread_join(136);
    zam_thread_exit();  // returns: nothing to end before set-up
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(cap.text(),
              "*Oops* zam_thread_start(): Bad thread number 0.\n"
              "*Oops* zam_thread_join(): Bad thread number 136.\n");

    // The task stack works without locking; an empty pop gives slot -1.
    EXPECT_EQ(zam_thread_setup_task(2, 0), 2);
    EXPECT_EQ(zam_thread_pop_task().device, 0);
    EXPECT_EQ(zam_thread_pop_task().device, 1);
    EXPECT_EQ(zam_thread_pop_task().slot, -1);

    // Bulk steps take one thread: their parts run here, in order.
    EXPECT_EQ(zam_thread_bulk(), 1);
    std::vector<std::pair<int, std::thread::id>> order;
    zam_thread_run(3, record_part, &order);
    ASSERT_EQ(order.size(), 3u);
    for (int k = 0; k < 3; k++) {
        EXPECT_EQ(order[k].first, k);
        EXPECT_EQ(order[k].second, std::this_thread::get_id());
    }
}

TEST(ThreadLayer, SetupClampsTheSlotCount)
{
    zam_thread_setup(500);
    EXPECT_EQ(zam_thread_slots(), 128);
    EXPECT_EQ(zam_thread_cpus(), 128);
    zam_thread_setup(-2);
    EXPECT_EQ(zam_thread_slots(), 0);
    EXPECT_EQ(zam_thread_cpus(), 1);
    zam_thread_setup(6);
    EXPECT_EQ(zam_thread_slots(), 6);
    EXPECT_EQ(zam_thread_cpus(), 6);
}

TEST(ThreadLayer, BadThreadNumbersAreReported)
{
    zam_thread_setup(4);
    Capture cap;
    int one = 1;
    ran = 0;
    zam_thread_start(144, 0, mark_ran, &one);
    zam_thread_start(-1, 0, mark_ran, &one);
    zam_thread_join(144);
    zam_thread_join(-5);
    zam_thread_join(140);  // never started
    zam_thread_start(3, 0, nullptr, nullptr);
    EXPECT_EQ(cap.text(),
              "*Oops* zam_thread_start(): Bad thread number 144.\n"
              "*Oops* zam_thread_start(): Bad thread number -1.\n"
              "*Oops* zam_thread_join(): Bad thread number 144.\n"
              "*Oops* zam_thread_join(): Bad thread number -5.\n"
              "*Oops* zam_thread_join(): Bad thread number 140.\n"
              "*Oops* zam_thread_start(): No function for thread 3.\n");
    EXPECT_EQ(ran.load(), 0);
}

TEST(ThreadLayer, JoinableThreadsRunAndJoinOnce)
{
    zam_thread_setup(4);
    int seven = 7;
    ran = 0;
    zam_thread_start(136, 1, mark_ran, &seven);
    zam_thread_start(137, 1, mark_ran, &seven);
    zam_thread_join(136);
    zam_thread_join(137);
    EXPECT_EQ(ran.load(), 14);

    Capture cap;
    zam_thread_join(136);  // already joined
    EXPECT_EQ(cap.text(), "*Oops* zam_thread_join(): Bad thread number 136.\n");

    std::atomic<int> flag{0};
    zam_thread_start(137, 1, exit_early, &flag);
    zam_thread_join(137);
    EXPECT_EQ(flag.load(), 1);
}

TEST(ThreadLayer, DetachedThreadCannotBeJoined)
{
    zam_thread_setup(4);
    static std::atomic<int> done{0};
    zam_thread_start(
        5, 0,
        [](void*) -> void* {
            zam_mutex_acquire_w(20);
            done = 1;
            zam_mutex_release_w(20);
            return nullptr;
        },
        nullptr);
    zam_mutex_acquire_r(20);
    EXPECT_EQ(done.load(), 1);
    zam_mutex_release_r(20);
    Capture cap;
    zam_thread_join(5);
    EXPECT_EQ(cap.text(), "*Oops* zam_thread_join(): Bad thread number 5.\n");
}

TEST(PlainLocks, KeepCountersExactAndIgnoreBadNumbers)
{
    Capture cap;  // keeps the status lines off the test output
    zam_thread_setup(4);
    long counter = 0;  // guarded by plain lock 3
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; t++)
        workers.emplace_back([&counter] {
            for (int i = 0; i < 20000; i++) {
                zam_mutex_acquire(3);
                counter++;
                zam_mutex_release(3);
            }
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(counter, 80000);

    // Out-of-range numbers do nothing (in particular they never reach the
    // mailbox parts), so these calls return at once.
    zam_mutex_acquire(16);
    zam_mutex_acquire(-1);
    zam_mutex_acquire(-96);
    zam_mutex_release(16);
    zam_mutex_release(-1);
    EXPECT_EQ(zam_mutex_status(0), 1);  // mailbox 0 untouched: only the full side closed
}

TEST(Mailboxes, ReaderWaitsForWriterAndWriterWaitsForReader)
{
    Capture cap;
    zam_thread_setup(4);
    const int k = 9;
    std::atomic<int> stage{0};
    int value = 0;

    std::thread reader([&] {
        zam_mutex_acquire_r(k);
        stage = 1;
        EXPECT_EQ(value, 42);
        zam_mutex_release_r(k);
    });
    pause_briefly();
    EXPECT_EQ(stage.load(), 0);  // the mailbox starts empty

    zam_mutex_acquire_w(k);
    value = 42;
    zam_mutex_release_w(k);
    reader.join();
    EXPECT_EQ(stage.load(), 1);

    zam_mutex_acquire_w(k);
    value = 43;
    zam_mutex_release_w(k);
    std::thread writer([&] {
        zam_mutex_acquire_w(k);  // full: waits for a reader
        stage = 2;
        value = 44;
        zam_mutex_release_w(k);
    });
    pause_briefly();
    EXPECT_EQ(stage.load(), 1);
    zam_mutex_acquire_r(k);
    EXPECT_EQ(value, 43);
    zam_mutex_release_r(k);
    writer.join();
    EXPECT_EQ(stage.load(), 2);
    zam_mutex_acquire_r(k);
    EXPECT_EQ(value, 44);
    zam_mutex_release_r(k);
    EXPECT_EQ(zam_mutex_status(k), 1);  // back to empty
    EXPECT_EQ(cap.text(), "status[27] = 16 EBUSY!\nstatus[28] = 0 unlocked 28\n "
                          "status[29] = 0 unlocked 29\n ");
}

TEST(Mailboxes, StatusReportsEachClosedPart)
{
    zam_thread_setup(4);
    Capture cap;
    EXPECT_EQ(zam_mutex_status(2), 1);
    zam_mutex_acquire_w(2);
    EXPECT_EQ(zam_mutex_status(2), 7);
    zam_mutex_release_w(2);
    EXPECT_EQ(zam_mutex_status(2), 2);
    EXPECT_EQ(zam_mutex_status(32), 0);
    EXPECT_EQ(zam_mutex_status(-1), 0);
    std::string text = cap.text();
    EXPECT_NE(text.find("status[6] = 16 EBUSY!\n"), std::string::npos);
    EXPECT_NE(text.find("status[7] = 0 unlocked 7\n "), std::string::npos);
}

TEST(Mailboxes, ReadyReleasesLeaveBothSidesOpen)
{
    Capture cap;  // keeps the status lines off the test output
    zam_thread_setup(4);
    const int k = 14;
    zam_mutex_acquire_w(k);
    zam_mutex_release_w_ready(k);
    EXPECT_EQ(zam_mutex_status(k) & 3, 0);
    zam_mutex_acquire_w(k);  // a writer may enter again at once
    zam_mutex_release_w_ready(k);
    zam_mutex_acquire_r(k);
    zam_mutex_release_r_ready(k);
    zam_mutex_acquire_r(k);  // and so may a reader
    zam_mutex_release_r(k);
    EXPECT_EQ(zam_mutex_status(k), 1);  // plain reader release: empty again

    // Bad numbers are ignored and return at once.
    zam_mutex_acquire_r(32);
    zam_mutex_acquire_w(-1);
    zam_mutex_release_w(40);
}

TEST(Mailboxes, TwoThreadsHandACounterBackAndForth)
{
    zam_thread_setup(4);
    constexpr int kRounds = 100000;
    const int ping = 21, pong = 22;
    int box_ping = 0, box_pong = 0;  // guarded by mailboxes 21 and 22
    long lost = 0;

    std::thread partner([&] {
        for (int i = 0; i < kRounds; i++) {
            zam_mutex_acquire_r(ping);
            int v = box_ping;
            zam_mutex_release_r(ping);
            if (v != 2 * i + 1) lost++;
            zam_mutex_acquire_w(pong);
            box_pong = v + 1;
            zam_mutex_release_w(pong);
        }
    });
    int counter = 0;
    for (int i = 0; i < kRounds; i++) {
        zam_mutex_acquire_w(ping);
        box_ping = counter + 1;
        zam_mutex_release_w(ping);
        zam_mutex_acquire_r(pong);
        counter = box_pong;
        zam_mutex_release_r(pong);
    }
    partner.join();
    EXPECT_EQ(counter, 2 * kRounds);
    EXPECT_EQ(lost, 0);
}

TEST(Conditions, WaitAndSignalUnderAPlainLock)
{
    zam_thread_setup(4);
    bool go = false;  // guarded by plain lock 5
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        zam_mutex_acquire(5);
        while (!go) zam_cond_wait(0, 5);
        zam_mutex_release(5);
        woke = true;
    });
    zam_mutex_acquire(5);
    go = true;
    zam_cond_signal(0);
    zam_mutex_release(5);
    // The waiter may not be waiting yet when the signal comes; the flag under
    // the lock covers that, and further signals wake it if it is.
    while (!woke) {
        zam_cond_signal(0);
        std::this_thread::yield();
    }
    waiter.join();

    Capture cap;
    zam_cond_wait(2, 5);
    zam_cond_wait(0, 16);
    zam_cond_signal(-1);
    EXPECT_EQ(cap.text(),
              "*Oops* Bad call to: zam_cond_wait(2,5).\n"
              "*Oops* Bad call to: zam_cond_wait(0,16).\n"
              "*Oops* Bad call to: zam_cond_signal(-1).\n");
}

TEST(TaskStack, ThreeCpuTasksPopInOrderAndAFourthPopWaits)
{
    zam_thread_setup(8);
    ASSERT_EQ(zam_thread_setup_task(3, 0), 3);
    int share = zam_mb_memory() / 3;
    for (int cpu = 0; cpu < 3; cpu++) {
        _zam_task d = zam_thread_pop_task();
        EXPECT_EQ(d.device, cpu);
        EXPECT_EQ(d.slot, 2 - cpu);  // slots number the pushes
        EXPECT_EQ(d.gpu, 0);
        EXPECT_EQ(d.mb, share);
    }
    std::atomic<int> got{-100};
    std::thread popper([&] { got = zam_thread_pop_task().device; });
    pause_briefly();
    EXPECT_EQ(got.load(), -100);
    zam_thread_push_task({9, 77, 0, 5});
    popper.join();
    EXPECT_EQ(got.load(), 77);
}

TEST(TaskStack, CountsAreClampedAndRefillsReplaceTheStack)
{
    zam_thread_setup(4);
    EXPECT_EQ(zam_thread_setup_task(20, 3), 4);  // 4 slots, no GPU devices
    EXPECT_EQ(zam_thread_setup_task(2, 0), 2);   // replaces the four
    EXPECT_EQ(zam_thread_pop_task().device, 0);
    EXPECT_EQ(zam_thread_pop_task().device, 1);
    EXPECT_EQ(zam_thread_setup_task(5, 0), 4);
    // Refilling with nothing must leave a later pop waiting, even though the
    // previous fill left the reader side open.
    EXPECT_EQ(zam_thread_setup_task(-1, 0), 0);
    std::atomic<int> got{-100};
    std::thread popper([&] { got = zam_thread_pop_task().device; });
    pause_briefly();
    EXPECT_EQ(got.load(), -100);
    zam_thread_push_task({0, 3, 0, 1});
    popper.join();
    EXPECT_EQ(got.load(), 3);
}

TEST(TaskStack, WorkersEachGetADistinctSlot)
{
    zam_thread_setup(16);
    int n = zam_thread_setup_task(16, 0);
    ASSERT_EQ(n, 16);
    std::mutex seen_guard;
    std::set<int> slots;
    std::vector<std::thread> workers;
    for (int t = 0; t < n; t++)
        workers.emplace_back([&] {
            _zam_task d = zam_thread_pop_task();
            std::lock_guard<std::mutex> lk(seen_guard);
            slots.insert(d.slot);
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(slots.size(), 16u);
    EXPECT_EQ(*slots.begin(), 0);
    EXPECT_EQ(*slots.rbegin(), 15);
}

TEST(TaskStack, PrivateTaskStructures)
{
    Capture cap;  // keeps the status lines off the test output
    zam_thread_setup(4);
    _zam_task_struct* empty = zam_allocTaskStruct();
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->count, 0);
    EXPECT_EQ(empty->top, -1);
    zam_freeTaskStruct(empty);
    zam_freeTaskStruct(nullptr);

    _zam_task_struct* ts = zam_makeTaskStruct(2, 0, 25);
    ASSERT_NE(ts, nullptr);
    EXPECT_EQ(ts->count, 2);
    EXPECT_EQ(ts->mailbox, 25);
    EXPECT_EQ(zam_threadPopTask(ts).device, 0);
    zam_threadPushTask({5, 11, 0, 2}, ts);
    _zam_task d = zam_threadPopTask(ts);
    EXPECT_EQ(d.slot, 5);
    EXPECT_EQ(d.device, 11);
    EXPECT_EQ(zam_threadPopTask(ts).device, 1);
    EXPECT_EQ(zam_mutex_status(25), 1);  // emptied: the next pop would wait
    zam_freeTaskStruct(ts);
}

TEST(TaskStack, PushOntoAFullStackIsRefused)
{
    zam_thread_setup(128);
    ASSERT_EQ(zam_thread_setup_task(128, 0), 128);
    for (int i = 0; i < ZAM_TASK_STACK - 128; i++) zam_thread_push_task({200 + i, 0, 0, 0});
    Capture cap;
    zam_thread_push_task({999, 0, 0, 0});
    EXPECT_EQ(cap.text(), "*Oops* zam_thread_push_task(): Task stack is full.\n");
    EXPECT_EQ(zam_thread_pop_task().slot, 200 + ZAM_TASK_STACK - 129);
}

TEST(WorkList, RangesAndListsPopInTheirOrder)
{
    zam_thread_setup(4);
    zam_thread_load_range(5, 8);
    EXPECT_EQ(zam_thread_pop_list(), 5);
    EXPECT_EQ(zam_thread_pop_list(), 6);
    EXPECT_EQ(zam_thread_pop_list(), 7);
    EXPECT_EQ(zam_thread_pop_list(), 8);
    EXPECT_EQ(zam_thread_pop_list(), -1);
    EXPECT_EQ(zam_thread_pop_list(), -1);

    zam_thread_load_range(3, 2);
    EXPECT_EQ(zam_thread_pop_list(), -1);
    zam_thread_load_range(-4, -4);
    EXPECT_EQ(zam_thread_pop_list(), -4);
    EXPECT_EQ(zam_thread_pop_list(), -1);

    const int items[] = {10, 20, 30};
    int* list = zam_thread_load_list(3, items);
    ASSERT_NE(list, nullptr);
    EXPECT_NE(list, items);
    EXPECT_EQ(zam_thread_pop_list(), 30);
    EXPECT_EQ(zam_thread_pop_list(), 20);
    EXPECT_EQ(zam_thread_pop_list(), 10);
    EXPECT_EQ(zam_thread_pop_list(), -1);
    EXPECT_EQ(zam_thread_load_list(0, items), nullptr);
    EXPECT_EQ(zam_thread_pop_list(), -1);

    // Reloading before the list is used up replaces it.
    zam_thread_load_range(0, 99);
    zam_thread_load_range(1, 1);
    EXPECT_EQ(zam_thread_pop_list(), 1);
    EXPECT_EQ(zam_thread_pop_list(), -1);
}

TEST(WorkList, ConcurrentPopsHandOutEachNumberOnce)
{
    zam_thread_setup(4);
    constexpr int kItems = 20000;
    zam_thread_load_range(0, kItems - 1);
    std::vector<std::vector<int>> got(4);
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; t++)
        workers.emplace_back([&got, t] {
            for (int v; (v = zam_thread_pop_list()) >= 0;) got[t].push_back(v);
        });
    for (auto& w : workers) w.join();
    std::vector<int> seen(kItems, 0);
    size_t total = 0;
    for (const auto& g : got) {
        total += g.size();
        for (size_t i = 1; i < g.size(); i++) EXPECT_LT(g[i - 1], g[i]);
        for (int v : g) seen[v]++;
    }
    EXPECT_EQ(total, static_cast<size_t>(kItems));
    for (int v = 0; v < kItems; v++) EXPECT_EQ(seen[v], 1) << v;
}

TEST(BulkRun, EveryPartRunsOnceAndPartZeroOnTheCaller)
{
    zam_thread_setup(8);
    EXPECT_EQ(zam_thread_bulk(), 8);
    for (int parts : {1, 2, 8, 13}) {
        PartRecord r{std::vector<int>(parts, 0), std::vector<std::thread::id>(parts),
                     std::vector<int>(parts, 0)};
        zam_thread_run(parts, count_part, &r);
        std::set<std::thread::id> distinct;
        for (int k = 0; k < parts; k++) {
            EXPECT_EQ(r.runs[k], 1) << parts << " parts, part " << k;
            EXPECT_EQ(r.parts_seen[k], parts);
            distinct.insert(r.threads[k]);
        }
        EXPECT_EQ(r.threads[0], std::this_thread::get_id());
        // The other parts ran on threads of their own, not on the caller.
        EXPECT_EQ(distinct.size(), static_cast<size_t>(parts)) << parts << " parts";
    }
    // No parts, no function: nothing runs and nothing is reported.
    Capture cap;
    zam_thread_run(0, count_part, nullptr);
    zam_thread_run(-3, count_part, nullptr);
    zam_thread_run(4, nullptr, nullptr);
    EXPECT_EQ(cap.text(), "");
}

TEST(BulkRun, SerialModeAndSlotCountSetTheBulkThreads)
{
    zam_thread_setup(6);
    EXPECT_EQ(zam_thread_bulk(), 6);
    zam_thread_serial(1);
    EXPECT_EQ(zam_thread_bulk(), 1);
    zam_thread_setup(3);
    EXPECT_EQ(zam_thread_bulk(), 1);
    zam_thread_serial(0);
    EXPECT_EQ(zam_thread_bulk(), 3);
    zam_thread_setup(0);
    EXPECT_EQ(zam_thread_bulk(), 1);
    zam_thread_setup(4);
}

TEST(FanOut, EveryWorkerIsCountedOnceOnWhicheverThreadItRan)
{
    zam_thread_setup(8);
    ASSERT_EQ(zam_thread_setup_task(4, 0), 4);
    zam_thread_push_task({200, 0, 0, 0});  // a descriptor without a worker slot: done here
    std::atomic<bool> go{false};
    std::atomic<int> in_vain{0};
    _zam_collector c{0, 0, 9, 0, 0.0};
    FanRecord records[ZAM_TASK_STACK];
    std::set<int> filled;
    int here_calls = 0, during_calls = 0, during_saw = -1;
    auto fill = [&](FanRecord& r, const _zam_task& t) {
        filled.insert(t.slot);
        r = FanRecord{t.slot, &c, &go, &in_vain};
    };
    auto here = [&](FanRecord& r) {
        here_calls++;
        return 10 + r.slot;
    };
    // The workers hold their reports until this runs: it must come while
    // they run, before the collector is joined.
    auto during = [&](int started) {
        during_calls++;
        during_saw = started;
        go = true;
    };
    own_collector_ran = 0;
    EXPECT_EQ(zam_thread_fan_out(136, &c, 5, fan_worker, records, fill, here, own_collector, during), 4);
    EXPECT_EQ(own_collector_ran.load(), 1);
    EXPECT_EQ(filled, (std::set<int>{0, 1, 2, 3}));
    EXPECT_EQ(here_calls, 1);
    EXPECT_EQ(during_calls, 1);
    EXPECT_EQ(during_saw, 4);
    EXPECT_EQ(in_vain.load(), 0);
    EXPECT_EQ(c.workers, 5);
    EXPECT_EQ(c.remaining, 0);
    EXPECT_EQ(c.count, 10 + 11 + 12 + 13 + 10);  // slots 0..3 and the one done here as slot 0
    // The record is ready for another pass; the runtime's own collector body.
    ASSERT_EQ(zam_thread_setup_task(3, 0), 3);
    go = true;
    EXPECT_EQ(zam_thread_fan_out(137, &c, 3, fan_worker, records, fill, here), 3);
    EXPECT_EQ(c.count, 10 + 11 + 12);
    EXPECT_EQ(c.remaining, 0);
}

TEST(FanOut, WithoutACollectorNothingRuns)
{
    zam_thread_setup(8);
    ASSERT_EQ(zam_thread_setup_task(2, 0), 2);
    Capture cap;
    _zam_collector c{0, 0, 9, 0, 0.0};
    FanRecord records[ZAM_TASK_STACK];
    int calls = 0;
    auto fill = [&](FanRecord&, const _zam_task&) { calls++; };
    auto here = [&](FanRecord&) { return ++calls; };
    EXPECT_EQ(zam_thread_fan_out(ZAM_THREAD_HANDLES, &c, 2, fan_worker, records, fill, here), -1);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(cap.text(), "*Oops* zam_thread_start(): Bad thread number 144.\n");
    // Both descriptors are still there for the caller.
    EXPECT_EQ(zam_thread_pop_task().slot, 1);
    EXPECT_EQ(zam_thread_pop_task().slot, 0);
}
