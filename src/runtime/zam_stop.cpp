#include "runtime/zam_stop.h"

#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <unistd.h>

#include "runtime/zam_thread.h"

namespace {

// Static storage without destructors: the watcher may run while the
// process exits, until the closing hook has run.
pthread_mutex_t stop_lock = PTHREAD_MUTEX_INITIALIZER;
bool closed = false;   // exit has begun (under stop_lock)
bool started = false;  // the watcher runs (main thread only)
zam_stop_fn stop_fn = nullptr;
sigset_t watched;

// Registered when the watcher starts, so it runs after the exit hooks the
// program registers later and before the static objects made before main
// go: a stop that has begun finishes first, and none begins after it.
void closeAtExit() {
  pthread_mutex_lock(&stop_lock);
  closed = true;
  pthread_mutex_unlock(&stop_lock);
}

// The longest a stop's clean-up may take. Past it the process ends by the
// signal as a second one would end it: every step of the clean-up leaves
// what it writes as a killed run leaves it, so a hung one is cut short.
constexpr unsigned kStopSeconds = 12;

// The watchdog of a stop: ends the process by its signal (the watcher's
// own thread takes it, with the default action) once the limit has passed.
void* stopLimit(void* arg) {
  const int sig = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  struct timespec left{static_cast<time_t>(kStopSeconds), 0};
  while (nanosleep(&left, &left) != 0) {
  }
  kill(getpid(), sig);
  return nullptr;
}

// Starts the watchdog of the stop by sig; nothing when no thread can be
// started (the stop is then bounded by its own waits alone).
void startStopLimit(int sig) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  pthread_t thread;
  pthread_create(&thread, &attr, stopLimit, reinterpret_cast<void*>(static_cast<intptr_t>(sig)));
  pthread_attr_destroy(&attr);
}

// A child forked later starts with the signals' default handling.
void unblockInChild() { pthread_sigmask(SIG_UNBLOCK, &watched, nullptr); }

void* watch(void*) {
  for (;;) {
    int sig = 0;
    if (sigwait(&watched, &sig) != 0) continue;
    pthread_mutex_lock(&stop_lock);
    if (closed) {
      pthread_mutex_unlock(&stop_lock);
      continue;
    }
    // From here the signals take their default action on this thread alone:
    // a second one ends the process at once, should the clean-up hang (on
    // a full output pipe, say), and raising this one ends it afterwards.
    // stop_lock stays held, so no exit hook runs meanwhile.
    for (const int other : {SIGTERM, SIGINT, SIGHUP})
      if (sigismember(&watched, other) == 1) signal(other, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
    startStopLimit(sig);
    stop_fn(sig);
    std::fflush(nullptr);
    raise(sig);
    _exit(128 + sig);
  }
  return nullptr;
}

}  // namespace

int zam_stop_watch(zam_stop_fn fn) {
  if (started || !fn) return 0;
  sigemptyset(&watched);
  int count = 0;
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction now;
    if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN && sigaddset(&watched, sig) == 0) count++;
  }
  if (count == 0) return 0;
  sigset_t before;
  if (pthread_sigmask(SIG_BLOCK, &watched, &before) != 0) return 0;
  stop_fn = fn;
  if (!zam_thread_start(ZAM_HANDLE_STOP, 0, watch, nullptr)) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return 0;
  }
  started = true;
  std::atexit(closeAtExit);
  pthread_atfork(nullptr, nullptr, unblockInChild);
  return 1;
}
