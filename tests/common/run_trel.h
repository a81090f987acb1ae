// Runs a program as a user would, in a given folder with only the given
// environment, and captures its exit status, everything it prints and the bytes it read.
// run_trel() runs the tool itself; it exists only in test programs built
// with TREL_BINARY (those of the driver layer).
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

struct Outcome {
  int status = -1;  // exit status; -1 when it did not exit normally or could not start
  std::string out;  // standard output and standard error together
  int64_t read = -1;  // bytes the program read through any file (rchar), -1 when the system does not tell
};

// The bytes process pid has read (rchar of /proc/PID/io); -1 when unknown.
inline int64_t bytes_read(pid_t pid) {
  FILE* io = fopen(("/proc/" + std::to_string(pid) + "/io").c_str(), "r");
  if (!io) return -1;
  long long n = -1;
  char key[32];
  while (fscanf(io, "%31s %lld", key, &n) == 2 && std::string(key) != "rchar:") n = -1;
  fclose(io);
  return n;
}

// Runs program with args in folder cwd and exactly the environment env.
inline Outcome run_program(const std::string& program, const std::string& cwd, std::vector<std::string> args,
                           std::vector<std::string> env) {
  args.insert(args.begin(), program);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  // Not inherited by another program a test runs at the same time, whose
  // copy of the write end would hold this one's output open.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  Outcome r;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, size_t(n));
  close(fds[0]);
  // Its counts stand once it has exited, until it is reaped.
  siginfo_t info;
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0) r.read = bytes_read(pid);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

#ifdef TREL_BINARY
// Runs the tool in folder cwd with PATH and the given variables set (the
// caller's come first, so they win over anything added here).
inline Outcome run_trel(const std::string& cwd, std::vector<std::string> args, std::vector<std::string> env = {}) {
  env.push_back("PATH=/usr/bin:/bin");
  return run_program(TREL_BINARY, cwd, std::move(args), std::move(env));
}

// run_trel on two compute threads (unless env sets TREL_CPUS itself), so that
// threaded paths run the same way on any machine.
inline Outcome run_trel2(const std::string& cwd, std::vector<std::string> args, std::vector<std::string> env = {}) {
  env.push_back("TREL_CPUS=2");
  return run_trel(cwd, std::move(args), std::move(env));
}
#endif

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace testutil
