// Forked sub-tasks and the process's signal handlers. Everything a signal
// handler touches is a lock-free atomic, and the handlers themselves write
// with write(2) and end with _exit, so they stay async-signal-safe.
#include "runtime/zam_task.h"

#include "runtime/zam_log.h"
#include "runtime/zam_system.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int ntask_chosen = 0;
std::atomic<pid_t> lead_pid{0};
std::atomic<int> is_lead{1};
std::atomic<pid_t> children[ZAM_MAX_TASKS];
std::atomic<int> nchildren{0};
std::atomic<zam_exit_fn> exit_handler{nullptr};
std::atomic<zam_abort_fn> abort_handler{nullptr};
std::atomic<zam_pipe_fn> pipe_handler{nullptr};
std::atomic<bool> pipe_reported{false};

// Async-signal-safe output to standard error.
void say(const char* text)
{
    size_t n = std::strlen(text);
    while (n > 0) {
        ssize_t w = write(STDERR_FILENO, text, n);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) continue;
            return;
        }
        text += w;
        n -= static_cast<size_t>(w);
    }
}

void say_int(long v)
{
    char buf[24];
    char* p = buf + sizeof buf;
    *--p = '\0';
    bool neg = v < 0;
    unsigned long u = neg ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (neg) *--p = '-';
    say(p);
}

// Sends the terminal-stop signal to every recorded child; waits a second
// when there were any. Async-signal-safe.
void stop_children()
{
    int n = nchildren.load();
    for (int i = 0; i < n; i++) kill(children[i].load(), SIGTSTP);
    if (n > 0) sleep(1);
}

const char* signal_text(int sig)
{
    switch (sig) {
    case SIGBUS: return "\n** SIGBUS received.\n";
    case SIGILL: return "\n** SIGILL received.\n";
    case SIGSEGV: return "\n** SIGSEGV received.\n";
    case SIGFPE: return "\n** SIGFPE received.\n";
    case SIGTERM: return "\n** SIGTERM received.\n";
    case SIGSYS: return "\n** SIGSYS received.\n";
    case SIGINT: return "\n** SIGINT received.\n";
    default: return "\n** Signal received.\n";
    }
}

// The signal-context form of zam_abort_tasks: no stdio, no locks.
void on_fatal_signal(int sig)
{
    const char* text = signal_text(sig);
    say(text);
    if (is_lead.load()) {
        stop_children();
        if (zam_abort_fn fn = abort_handler.load()) fn(text);
    } else {
        say("Child task aborting: ");
        say(text);
        kill(lead_pid.load(), SIGTERM);
    }
    _exit(1);
}

void on_interrupt(int sig)
{
    if (zam_exit_fn fn = exit_handler.load()) fn();
    _exit(128 + sig);
}

void on_broken_pipe(int)
{
    if (zam_pipe_fn fn = pipe_handler.load()) fn();
    if (!pipe_reported.exchange(true)) say("SIGPIPE received. Trying to continue...\n");
}

// Collects finished sub-tasks only, so children of other parts of the
// program (pipes to external tools) are left to their own waits.
void on_child(int)
{
    int saved = errno;
    int n = nchildren.load();
    for (int i = 0; i < n; i++) {
        pid_t pid = children[i].load();
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) children[i].store(0);
    }
    errno = saved;
}

void on_ignored(int) {}

}  // namespace

int zam_setup_tasks(int ntask, int ncpu)
{
    lead_pid.store(getpid());
    is_lead.store(1);
    int online = std::max(1, zam_cpus_online());
    if (ntask >= 1)
        ntask_chosen = std::min(ntask, ZAM_MAX_TASKS);
    else if (ncpu >= 1)
        ntask_chosen = (ncpu == 1 || online == 1) ? 0 : std::min({ncpu, online, ZAM_MAX_TASKS});
    else
        ntask_chosen = std::min(online, ZAM_MAX_TASKS);
    return ntask_chosen;
}

int zam_get_ntask()
{
    return ntask_chosen;
}

int zam_num_cpus()
{
    return zam_cpus_online();
}

void zam_set_CPU(int) {}

int zam_start_tasks(int n)
{
    if (n < 1) return -1;
    n = std::min(n, ZAM_MAX_TASKS);
    if (lead_pid.load() == 0) lead_pid.store(getpid());
    std::fflush(nullptr);
    nchildren.store(0);
    for (int i = 0; i < n; i++) {
        pid_t pid = fork();
        if (pid < 0) {
            int err = errno;
            zam_err("Zam failed to fork subtasks.\n [%s]\n", std::strerror(err));
            // The children already running would otherwise outlive the lead.
            stop_children();
            std::fflush(nullptr);
            std::exit(1);
        }
        if (pid == 0) {
            std::signal(SIGINT, SIG_IGN);
            std::signal(SIGALRM, SIG_IGN);
            zam_signal(SIGTSTP, zam_sigstop);
            close(STDIN_FILENO);
            is_lead.store(0);
            nchildren.store(0);
            return i;
        }
        children[i].store(pid);
        nchildren.store(i + 1);
    }
    return -1;
}

void zam_end_task()
{
    _exit(0);
}

void zam_kill_tasks()
{
    if (is_lead.load()) stop_children();
}

void zam_abort_tasks(const char* message)
{
    std::fflush(nullptr);
    if (message == nullptr) message = "";
    if (is_lead.load()) {
        stop_children();
        if (zam_abort_fn fn = abort_handler.load()) fn(message);
        std::fflush(nullptr);
        std::exit(1);
    }
    zam_err("Child task aborting: %s", message);
    kill(lead_pid.load(), SIGTERM);
    std::fflush(nullptr);
    // A sub-task leaves the exit hooks (log banner and the like) to the lead.
    _exit(1);
}

int zam_is_lead()
{
    return is_lead.load();
}

void zam_task_handlers(zam_exit_fn exit_fn, zam_abort_fn abort_fn, zam_pipe_fn pipe_fn)
{
    exit_handler.store(exit_fn);
    abort_handler.store(abort_fn);
    pipe_handler.store(pipe_fn);
}

void zam_setup_signals(int interactive)
{
    zam_signal(SIGALRM, SIG_IGN);
    for (int sig : {SIGBUS, SIGILL, SIGSEGV, SIGFPE, SIGTERM}) zam_signal(sig, on_fatal_signal);
    zam_signal(SIGPIPE, on_broken_pipe);
    zam_signal(SIGCHLD, on_child);
    if (interactive) {
        zam_signal(SIGHUP, on_ignored);
        zam_signal(SIGQUIT, on_ignored);
        zam_signal(SIGINT, on_fatal_signal);
    } else {
        zam_signal(SIGINT, on_interrupt);
    }
}

void zam_sigstop(int)
{
    if (!is_lead.load()) {
        say("Child task received \"STOP\": aborting.\n");
        _exit(1);
    }
    // Stop with the default action; raising the caught signal again would
    // only call this handler once more.
    zam_signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
}

void zam_sigcont(int)
{
    say("Zam process ID ");
    say_int(getpid());
    say(" received SIGCONT\n");
    zam_signal(SIGCONT, zam_sigcont);
}

void zam_signal(int sig, zam_sig_fn handler)
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(sig, &sa, nullptr);
}
