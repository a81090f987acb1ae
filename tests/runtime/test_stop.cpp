// The stop watcher: a stop signal runs the program's clean-up on the watcher
// and ends the process by that signal, whatever the clean-up does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "common/test_util.h"
#include "runtime/zam_stop.h"
#include "runtime/zam_thread.h"

namespace {

std::string marker;

// Runs fn as the clean-up of a process stopped by sig (in a child) and
// returns its wait status; -1 when it had not ended after a generous while
// (it is then killed).
int stopped(zam_stop_fn fn, int sig) {
  const pid_t child = fork();
  if (child == 0) {
    zam_thread_setup(2);
    if (!zam_stop_watch(fn)) _exit(3);
    kill(getpid(), sig);
    for (;;) pause();  // the main thread goes on, as a run does
  }
  int status = 0;
  for (int k = 0; k < 60 * 20; k++) {
    if (waitpid(child, &status, WNOHANG) == child) return status;
    usleep(50000);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

// The clean-up runs, on its own thread, and the process then ends by the
// signal it was stopped by (a shell sees 128 + sig).
TEST(Stop, CleanUpRunsAndTheProcessEndsByTheSignal) {
  testutil::TempDir dir;
  marker = dir.file("cleaned");
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    std::remove(marker.c_str());
    const int status = stopped(
        [](int got) { testutil::write_file(marker, std::to_string(got)); }, sig);
    EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_EQ(testutil::read_file(marker), std::to_string(sig));
  }
}

// A clean-up that never returns (a lock another process holds for good)
// does not keep the process alive: it ends by the signal all the same.
TEST(Stop, AHungCleanUpStillEndsTheProcess) {
  const int status = stopped(
      [](int) {
        for (;;) pause();
      },
      SIGINT);
  ASSERT_NE(status, -1) << "hung";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
}

}  // namespace
