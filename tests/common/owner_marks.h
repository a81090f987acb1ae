// Owner marks of processes other than the test's own, for the tests of what
// a run may remove: one of a process of this machine that has exited, and
// one of a process on another machine or in another PID namespace.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "runtime/zam_owner.h"

namespace testutil {

// The owner mark of a child process, taken before it exited; "" when it
// could not be had.
inline std::string deadMark() {
  int link[2];
  if (pipe(link) != 0) return "";
  const pid_t child = fork();
  if (child == 0) {
    const std::string mark = zam_ownerMark();
    _exit(write(link[1], mark.data(), mark.size()) == (ssize_t)mark.size() ? 0 : 1);
  }
  close(link[1]);
  char buf[128] = {0};
  const ssize_t got = read(link[0], buf, sizeof buf - 1);
  close(link[0]);
  waitpid(child, nullptr, 0);
  return got > 0 ? std::string(buf) : std::string();
}

// mark as made by the same process on another machine or in another PID
// namespace: another id after the word "trel".
inline std::string foreignMark(std::string mark) {
  mark[4] = mark[4] == '0' ? '1' : '0';
  return mark;
}

}  // namespace testutil
