// Forked sub-tasks: choosing their number, forking them from a lead process,
// stopping and aborting them, and the process's signal handlers. The state is
// per process and unguarded: use it from the main thread.
// The signal handlers here serve that forked process tree. A program that
// runs on threads takes its stop signals with the watcher of zam_stop.h
// instead, and never installs these as well: the watcher blocks SIGTERM,
// SIGINT and SIGHUP everywhere, so these handlers would not see them.
#pragma once

constexpr int ZAM_MAX_TASKS = 24;

using zam_exit_fn = void (*)();
using zam_abort_fn = void (*)(const char* message);
using zam_pipe_fn = void (*)();
using zam_sig_fn = void (*)(int);

// Records this process as the lead and chooses the number of sub-tasks:
// ntask >= 1 gives min(ntask, 24); else ncpu >= 1 gives 0 for one CPU (or a
// machine with one), else min(ncpu, CPUs online, 24); else min(CPUs online,
// 24). Returns it.
int zam_setup_tasks(int ntask, int ncpu);
int zam_get_ntask();
// Processors online.
int zam_num_cpus();
// Does nothing (kept for callers that pin a task to a CPU).
void zam_set_CPU(int n);

// Flushes all output and forks n (at most 24) children. The lead gets -1,
// each child its task number 0..n-1. n < 1 gives -1 at once. A failed fork
// is reported, the children forked so far are stopped and the process ends
// with status 1.
int zam_start_tasks(int n);
// Ends a child at once with status 0, without exit handlers or flushing.
void zam_end_task();
// In the lead: sends the terminal-stop signal to every child, then waits 1 s.
void zam_kill_tasks();
// Flushes all output; the lead stops its children and calls the abort
// handler, a child reports and signals the lead to terminate. Never returns:
// ends the process with status 1.
[[noreturn]] void zam_abort_tasks(const char* message);
// 1 in the lead (or a process that forked nothing), 0 in a sub-task.
int zam_is_lead();

// Installs the exit, abort and broken-pipe handlers (null for none). They
// may be called from signal handlers, so they must be async-signal-safe.
void zam_task_handlers(zam_exit_fn exit_fn, zam_abort_fn abort_fn, zam_pipe_fn pipe_fn);
// Installs the process's signal handlers (see zam_task.cpp). Outside
// interactive mode the interrupt signal calls the exit handler and ends the
// process with status 128 + SIGINT.
void zam_setup_signals(int interactive);
// Terminal-stop handler: a child reports and ends with status 1; the lead
// stops itself.
void zam_sigstop(int sig);
// Continue handler: reports the process id and re-arms itself.
void zam_sigcont(int sig);
// Installs handler for sig.
void zam_signal(int sig, zam_sig_fn handler);
