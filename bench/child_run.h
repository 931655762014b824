// child_run.h -- the benchmarks' way of timing one run of a vorn executable:
// started as "vorn" (the packing personality) with the given arguments in
// the current folder, waited for, its wall time, CPU time and peak RSS read
// from the kernel.
#ifndef VORN_BENCH_CHILD_RUN_H
#define VORN_BENCH_CHILD_RUN_H

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

struct ChildResult {
  int status = -1;         // exit status, -1 when the child did not exit
  double seconds = 0;      // wall clock
  double cpu_seconds = 0;  // user + system time of the child
  long max_rss_kib = 0;    // peak resident set
};

// User plus system time of a rusage record, in seconds.
inline double cpu_of(const struct rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Runs `exe` as "vorn" with `args` and waits for it.
inline ChildResult run_vorn(const std::string& exe, const std::vector<std::string>& args) {
  ChildResult r;
  const auto t0 = std::chrono::steady_clock::now();
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    std::string name = "vorn";
    argv.push_back(&name[0]);
    for (std::string& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  std::memset(&ru, 0, sizeof ru);
  if (pid < 0 || wait4(pid, &status, 0, &ru) < 0) return r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.max_rss_kib = ru.ru_maxrss;
  r.cpu_seconds = cpu_of(ru);
  return r;
}

#endif
