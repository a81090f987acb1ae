// The terminal progress line: on a terminal, one line redrawn at most once a
// second and erased at the end, kept below the messages; into a file or a
// pipe, nothing at all. Each case runs in a child process whose standard
// streams are set up before the line's first use (it asks once whether they
// are terminals).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/zam_log.h"
#include "runtime/zam_progress.h"

namespace {

// Runs body in a child whose standard output and error go to fd; returns
// the child's exit status.
template <typename Body>
int inChild(int fd, Body body) {
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    zam_update_callback(zam_update_terminal);
    body();
    fflush(stdout);
    fflush(stderr);
    _exit(0);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string drain(int fd) {
  std::string out;
  char buf[4096];
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  return out;
}

void count(int done, int total) { zam_update_gui(ZAM_UPDATE_COUNT, "Work", done, total); }

TEST(ProgressLine, OnATerminalOneLineAtMostEverySecondBelowTheMessages) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  EXPECT_EQ(inChild(slave, [] {
              count(0, 10);
              count(1, 10);  // within the second: not drawn
              zam_msg("a message\n");
              count(10, 10);
            }),
            0);
  close(slave);
  const std::string tty = drain(master);
  close(master);
  // Drawn once, taken away for the message and put back after it, then
  // erased at the end; a terminal turns each "\n" into "\r\n".
  EXPECT_EQ(tty, "\rWork: 0/10\033[K\r\033[Ka message\r\n\rWork: 0/10\033[K\r\033[K");
}

TEST(ProgressLine, NothingGoesToAFileOrAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(inChild(fds[1], [] {
              for (int k = 0; k <= 5; k++) count(k, 5);
              zam_msg("only this\n");
            }),
            0);
  close(fds[1]);
  EXPECT_EQ(drain(fds[0]), "only this\n");
  close(fds[0]);
}

}  // namespace
