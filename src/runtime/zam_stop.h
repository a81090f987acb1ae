// Ending a run on SIGTERM, SIGINT or SIGHUP (its terminal closed) the way a
// run that fails ends. The signals are blocked in every thread and taken by
// one watcher thread with sigwait, so that what is done about them runs as
// ordinary code (locks, allocation, the file system), never inside a signal
// handler.
//
// A program built on this library takes stop signals this way, and only
// this way. The older handlers of the task and lock code (zam_setup_signals
// and zam_signal of zam_task.h, the ignoring of SIGINT while a process lock
// is awaited in zam_lock.h) belong to the forked process tree of those
// layers and are not combined with the watcher in one process: the watcher
// blocks its signals in every thread, so their handlers would never run for
// them, while a handler or an ignored SIGINT set up before the watcher
// starts keeps the signal from it.
#pragma once

using zam_stop_fn = void (*)(int sig);

// Call on the main thread after zam_thread_setup and before any other
// thread starts (threads take the mask of the thread that starts them).
// Blocks SIGTERM, SIGINT and SIGHUP, each unless it is ignored (a job
// started in the background by a script keeps its SIGINT ignored, one
// started by nohup its SIGHUP), and starts the
// watcher on thread handle ZAM_HANDLE_STOP. When one of them arrives, fn(sig)
// runs on the watcher; then all output is flushed and the process ends by
// that signal with its default action (a shell sees status 128 + sig). A
// second signal while fn runs ends the process at once, and so does the
// end of a limit of some seconds, should fn hang: a stop always ends the
// process.
// Once the process has begun to exit, the signals are taken and ignored:
// the exit ends the run. Child processes forked later get the signals
// unblocked. 1 when the watcher runs; 0 when it could not be started (the
// mask is then as it was) or was started already.
int zam_stop_watch(zam_stop_fn fn);
