// Process locks, shared-memory segments, forked sub-tasks and the signal
// handlers. Tests that need System V IPC or fork skip when the kernel refuses.
#include "common/log_capture.h"
#include "runtime/zam_lock.h"
#include "runtime/zam_log.h"
#include "runtime/zam_sm.h"
#include "runtime/zam_system.h"
#include "runtime/zam_task.h"

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

namespace {

// Messages shown while a Capture lives, in captured (log_capture.h).
using Capture = testutil::Messages;
std::string& captured = testutil::Messages::said();

// Empty when System V semaphores work here, else the reason they do not.
std::string semaphores_refused()
{
    int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    if (id < 0) return std::string("System V semaphores refused: ") + std::strerror(errno);
    semctl(id, 0, IPC_RMID);
    return "";
}

std::string shared_memory_refused()
{
    int id = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    if (id < 0) return std::string("System V shared memory refused: ") + std::strerror(errno);
    shmctl(id, IPC_RMID, nullptr);
    return "";
}

std::string fork_refused()
{
    pid_t pid = fork();
    if (pid < 0) return std::string("fork refused: ") + std::strerror(errno);
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return "";
}

#define SKIP_IF_REFUSED(probe)                       \
    do {                                             \
        std::string why = probe();                   \
        if (!why.empty()) GTEST_SKIP() << why;       \
    } while (0)

// Frees the semaphore set when a test ends, whatever happened.
struct LockSet {
    LockSet() { zam_alloc_locks(); }
    ~LockSet() { zam_free_locks(); }
};

void pause_briefly()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void say_to_stderr(const char* text)
{
    ssize_t n = write(STDERR_FILENO, text, std::strlen(text));
    (void)n;
}

void exit_marker()
{
    say_to_stderr("exit handler ran\n");
}

void abort_marker(const char* message)
{
    say_to_stderr("abort handler: ");
    say_to_stderr(message);
}

std::atomic<int> pipe_calls{0};
void pipe_counter()
{
    pipe_calls++;
}

}  // namespace

TEST(SubTasks, NumberOfTasksIsChosenFromTheArguments)
{
    int online = std::max(1, zam_cpus_online());
    EXPECT_EQ(zam_setup_tasks(0, 1), 0);
    EXPECT_EQ(zam_get_ntask(), 0);
    EXPECT_EQ(zam_setup_tasks(30, 0), 24);
    EXPECT_EQ(zam_get_ntask(), 24);
    EXPECT_EQ(zam_setup_tasks(5, 1), 5);
    EXPECT_EQ(zam_setup_tasks(0, 0), std::min(online, 24));
    EXPECT_EQ(zam_setup_tasks(-3, 2), online == 1 ? 0 : std::min(2, online));
    EXPECT_EQ(zam_setup_tasks(0, 100), online == 1 ? 0 : std::min(online, 24));
    EXPECT_EQ(zam_num_cpus(), zam_cpus_online());
    EXPECT_EQ(zam_is_lead(), 1);
    EXPECT_EQ(zam_start_tasks(0), -1);
    EXPECT_EQ(zam_start_tasks(-2), -1);
}

TEST(ProcessLocks, BadNumbersAndAMissingSetAreReported)
{
    Capture cap;
    zam_write_acquire(0);  // no set yet
    zam_flag_set(0);
    EXPECT_EQ(captured,
              "*Error* Bad lock number (0) in zam_write_acquire.\n"
              "*Error* Bad flag number (0) in zam_flag_set.\n");
    SKIP_IF_REFUSED(semaphores_refused);
    LockSet set;
    ASSERT_GE(zam_lock_id(), 0);
    captured.clear();
    zam_write_acquire(5);
    zam_read_release(-1);
    zam_read_drop(7);
    zam_flag_set(16);
    zam_flag_clear(-1);
    EXPECT_EQ(captured,
              "*Error* Bad lock number (5) in zam_write_acquire.\n"
              "*Error* Bad lock number (-1) in zam_read_release.\n"
              "*Error* Bad lock number (7) in zam_read_drop.\n"
              "*Error* Bad flag number (16) in zam_flag_set.\n"
              "*Error* Bad flag number (-1) in zam_flag_clear.\n");
}

TEST(ProcessLocks, WriterAndReaderAlternateOnASlot)
{
    SKIP_IF_REFUSED(semaphores_refused);
    LockSet set;
    zam_write_acquire(2);
    zam_write_release(2);
    zam_read_acquire(2);  // written: proceeds at once

    std::atomic<int> writer_in{0};
    std::thread writer([&] {
        zam_write_acquire(2);
        writer_in = 1;
        zam_write_release(2);
    });
    pause_briefly();
    EXPECT_EQ(writer_in.load(), 0);  // slot still written
    zam_read_release(2);
    writer.join();
    EXPECT_EQ(writer_in.load(), 1);

    // A dropped read leaves the slot written for the next reader.
    zam_read_acquire(2);
    zam_read_drop(2);
    zam_read_acquire(2);
    zam_read_release(2);

    // Slots are independent: slot 3 is still empty.
    zam_write_acquire(3);
    zam_write_release(3);
    zam_read_acquire(3);
    zam_read_release(3);
}

TEST(ProcessLocks, FlagsWaitUntilRaised)
{
    SKIP_IF_REFUSED(semaphores_refused);
    LockSet set;
    zam_flag_set(7);  // up at creation: taken down at once
    std::atomic<int> passed{0};
    std::thread waiter([&] {
        zam_flag_set(7);
        passed = 1;
    });
    pause_briefly();
    EXPECT_EQ(passed.load(), 0);
    zam_flag_clear(7);
    waiter.join();
    EXPECT_EQ(passed.load(), 1);
}

TEST(ProcessLocks, FreeingTheSetTwiceIsHarmless)
{
    SKIP_IF_REFUSED(semaphores_refused);
    zam_alloc_locks();
    int id = zam_lock_id();
    ASSERT_GE(id, 0);
    zam_alloc_locks();  // a set exists: kept
    EXPECT_EQ(zam_lock_id(), id);
    zam_free_locks();
    EXPECT_EQ(zam_lock_id(), -1);
    EXPECT_LT(semctl(id, 0, GETVAL), 0);  // really removed
    zam_free_locks();
}

TEST(ProcessLocksDeathTest, AFailedOperationEndsTheProcessWithAdvice)
{
    SKIP_IF_REFUSED(semaphores_refused);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            zam_logger_callback(say_to_stderr);
            zam_alloc_locks();
            semctl(zam_lock_id(), 0, IPC_RMID);  // pulled away from under the lead
            zam_write_acquire(1);
        },
        testing::ExitedWithCode(1),
        "Failed to acquire write lock 1\\.\n \\[.+\\]\nLead process exiting\\.\n"
        "Please try running the \"zam_ipcrm\" script\\.\n");
}

TEST(SharedMemory, TableHoldsTwelveSegmentsAndCountsTheirSize)
{
    SKIP_IF_REFUSED(shared_memory_refused);
    Capture cap;
    void* seg[ZAM_SM_SEGMENTS];
    for (int i = 0; i < ZAM_SM_SEGMENTS; i++) {
        seg[i] = zam_sm_get(8192);
        ASSERT_NE(seg[i], nullptr) << i;
        static_cast<int*>(seg[i])[0] = 100 + i;
    }
    EXPECT_EQ(zam_sm_total(), 96);
    EXPECT_EQ(zam_sm_max(), 96);
    EXPECT_EQ(zam_sm_get(8192), nullptr);
    EXPECT_EQ(captured, "*Error* Too many shared memory segments.\n");

    int id = zam_sm_id(seg[3]);
    EXPECT_GE(id, 0);
    EXPECT_EQ(zam_sm_id(&id), -1);
    int* again = static_cast<int*>(zam_sm_attach(id));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again[0], 103);  // the same memory seen at a second address
    again[1] = 55;
    EXPECT_EQ(static_cast<int*>(seg[3])[1], 55);
    zam_sm_detach(again);

    zam_sm_free(seg[3]);
    EXPECT_EQ(zam_sm_total(), 88);
    EXPECT_EQ(zam_sm_id(seg[3]), -1);
    zam_sm_free(seg[3]);  // no longer recorded: ignored
    EXPECT_EQ(zam_sm_total(), 88);
    void* more = zam_sm_get(4096);  // the freed entry is reused
    EXPECT_NE(more, nullptr);
    EXPECT_EQ(zam_sm_total(), 92);
    zam_sm_free(reinterpret_cast<void*>(~static_cast<uintptr_t>(0)));
    EXPECT_EQ(zam_sm_total(), 0);
    EXPECT_EQ(zam_sm_max(), 96);

    captured.clear();
    EXPECT_EQ(zam_sm_attach(id), nullptr);  // removed with its table entry
    EXPECT_EQ(captured.rfind("*Error* Failed to attach shared memory.\n** [", 0), 0u);
    captured.clear();
    EXPECT_EQ(zam_sm_get(0), nullptr);
    EXPECT_EQ(captured.rfind("*Error* Failed to get shared memory (0 bytes).\n** [", 0), 0u);

    void* last = zam_sm_get(1024);
    ASSERT_NE(last, nullptr);
    int last_id = zam_sm_id(last);
    zam_sm_exit();
    EXPECT_EQ(zam_sm_id(last), -1);
    EXPECT_LT(shmctl(last_id, IPC_STAT, nullptr), 0);
}

TEST(SubTasks, ChildrenRunTheirShareAndAreCollected)
{
    SKIP_IF_REFUSED(shared_memory_refused);
    SKIP_IF_REFUSED(fork_refused);
    int* slots = static_cast<int*>(zam_sm_get(4096));
    ASSERT_NE(slots, nullptr);
    zam_setup_tasks(3, 0);
    int task = zam_start_tasks(3);
    if (task >= 0) {  // a child: never returns to the test framework
        slots[task] = 10 * (task + 1) + (zam_is_lead() ? 1 : 0);
        zam_end_task();
    }
    EXPECT_EQ(task, -1);
    int collected = 0, status = 0;
    while (wait(&status) > 0) {
        collected++;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(collected, 3);
    EXPECT_EQ(slots[0], 10);
    EXPECT_EQ(slots[1], 20);
    EXPECT_EQ(slots[2], 30);
    zam_sm_free(slots);
}

TEST(SubTasks, SlotLockHandsACounterBetweenProcesses)
{
    SKIP_IF_REFUSED(semaphores_refused);
    SKIP_IF_REFUSED(shared_memory_refused);
    SKIP_IF_REFUSED(fork_refused);
    constexpr int kRounds = 2000;
    LockSet set;
    int* box = static_cast<int*>(zam_sm_get(4096));
    ASSERT_NE(box, nullptr);
    box[0] = 0;
    if (zam_start_tasks(1) == 0) {
        for (int i = 1; i <= kRounds; i++) {
            zam_write_acquire(0);
            box[0] = i;
            zam_write_release(0);
        }
        zam_end_task();
    }
    int lost = 0;
    for (int i = 1; i <= kRounds; i++) {
        zam_read_acquire(0);
        if (box[0] != i) lost++;
        zam_read_release(0);
    }
    int status = 0;
    wait(&status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(lost, 0);
    zam_sm_free(box);
}

TEST(SubTasks, KilledChildrenReportAndEnd)
{
    SKIP_IF_REFUSED(fork_refused);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Run in a death-test child so that the stop signal never reaches the
    // test program itself.
    EXPECT_EXIT(
        {
            int ready[2];
            if (pipe(ready) != 0) _exit(98);
            if (zam_start_tasks(1) == 0) {
                char c = 1;  // the stop handler is installed by now
                if (write(ready[1], &c, 1) != 1) _exit(97);
                for (;;) pause();
            }
            char c = 0;
            if (read(ready[0], &c, 1) != 1) _exit(96);
            zam_kill_tasks();
            int status = 0;
            wait(&status);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) + 10 : 99);
        },
        testing::ExitedWithCode(11), "Child task received \"STOP\": aborting\\.\n");
}

TEST(SignalsDeathTest, InterruptOutsideInteractiveModeEndsWithSignalStatus)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            zam_task_handlers(exit_marker, abort_marker, nullptr);
            zam_setup_signals(0);
            raise(SIGINT);
            _exit(0);
        },
        testing::ExitedWithCode(128 + SIGINT), "exit handler ran\n");
}

TEST(SignalsDeathTest, InterruptInInteractiveModeAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            zam_task_handlers(exit_marker, abort_marker, nullptr);
            zam_setup_signals(1);
            raise(SIGHUP);  // caught and ignored
            raise(SIGQUIT);
            raise(SIGINT);
            _exit(0);
        },
        testing::ExitedWithCode(1), "\n\\*\\* SIGINT received\\.\nabort handler: \n\\*\\* SIGINT received\\.\n");
}

TEST(SignalsDeathTest, FatalSignalsAbortWithTheirMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            zam_setup_signals(0);
            raise(SIGTERM);
            _exit(0);
        },
        testing::ExitedWithCode(1), "\\*\\* SIGTERM received\\.\n");
    EXPECT_EXIT(
        {
            zam_setup_signals(0);
            raise(SIGSEGV);
            _exit(0);
        },
        testing::ExitedWithCode(1), "\\*\\* SIGSEGV received\\.\n");
    EXPECT_EXIT(
        {
            zam_setup_signals(0);
            raise(SIGFPE);
            _exit(0);
        },
        testing::ExitedWithCode(1), "\\*\\* SIGFPE received\\.\n");
}

TEST(SignalsDeathTest, BrokenPipeIsReportedOnceAndTheRunGoesOn)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            zam_task_handlers(nullptr, nullptr, pipe_counter);
            zam_setup_signals(0);
            raise(SIGPIPE);
            raise(SIGPIPE);
            say_to_stderr("still running\n");
            _exit(pipe_calls.load());
        },
        testing::ExitedWithCode(2), "SIGPIPE received\\. Trying to continue\\.\\.\\.\nstill running\n");
}

TEST(SignalsDeathTest, AbortInTheLeadCallsTheHandler)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            zam_task_handlers(nullptr, abort_marker, nullptr);
            zam_abort_tasks("giving up\n");
        },
        testing::ExitedWithCode(1), "abort handler: giving up\n");
}

TEST(SignalsDeathTest, ContinueSignalIsReported)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            zam_signal(SIGCONT, zam_sigcont);
            raise(SIGCONT);
            raise(SIGCONT);  // re-armed
            _exit(3);
        },
        testing::ExitedWithCode(3), "Zam process ID [0-9]+ received SIGCONT\nZam process ID [0-9]+ received SIGCONT\n");
}
