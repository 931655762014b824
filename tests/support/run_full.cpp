// run_full.cpp -- running the built executable with standard error apart,
// on a pseudo-terminal, or as an unprivileged user.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/support.h"

namespace vt {

namespace {

struct Channel {
  int fd = -1;
  std::string* sink = nullptr;
};

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

RunResult run_full(const std::string& program, const std::vector<std::string>& args,
                   const RunOptions& options) {
  RunResult result;
  int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  int master = -1;
  int held_slave = -1;
  std::string slave_name;
  if (options.terminal) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      close_fd(master);
      return result;
    }
    slave_name = ptsname(master);
    // No echo: the screen then shows only what the program wrote.
    int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    struct termios t;
    if (slave < 0 || tcgetattr(slave, &t) != 0) {
      ADD_FAILURE() << "cannot set up the pseudo-terminal";
      close_fd(slave);
      close_fd(master);
      return result;
    }
    t.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
    tcsetattr(slave, TCSANOW, &t);
    // Kept open here until the program has ended: a terminal with no open
    // other side reads as ended, and the program may not have opened it yet.
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    held_slave = slave;
  } else if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
             pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "no pipes";
    return result;
  }

  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    if (options.terminal) {
      setsid();
      int slave = open(slave_name.c_str(), O_RDWR);  // becomes the controlling terminal
      if (slave < 0) _exit(126);
      dup2(slave, 0);
      dup2(slave, 1);
      dup2(slave, 2);
      if (slave > 2) close(slave);
    } else {
      setpgid(0, 0);
      dup2(in_pipe[0], 0);
      dup2(out_pipe[1], 1);
      dup2(err_pipe[1], 2);
    }
    if (options.unprivileged && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
    }
    std::vector<char*> argv;
    std::string name = program;
    argv.push_back(const_cast<char*>(name.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(VORN_EXE, argv.data());
    _exit(127);
  }
  if (pid > 0 && !options.terminal) setpgid(pid, pid);
  close_fd(in_pipe[0]);
  close_fd(out_pipe[1]);
  close_fd(err_pipe[1]);
  if (pid < 0) {
    close_fd(in_pipe[1]);
    close_fd(out_pipe[0]);
    close_fd(err_pipe[0]);
    close_fd(master);
    ADD_FAILURE() << "fork failed";
    return result;
  }
  signal(SIGPIPE, SIG_IGN);

  // Input: into the pipe, or typed at the terminal.
  int in_fd = options.terminal ? -1 : in_pipe[1];
  if (options.terminal) {
    size_t off = 0;
    while (off < options.stdin_text.size()) {
      ssize_t w = write(master, options.stdin_text.data() + off, options.stdin_text.size() - off);
      if (w <= 0) break;
      off += static_cast<size_t>(w);
    }
  }
  size_t in_off = 0;
  if (in_fd >= 0) {
    fcntl(in_fd, F_SETFL, fcntl(in_fd, F_GETFL) | O_NONBLOCK);
    if (options.stdin_text.empty()) close_fd(in_fd);
  }

  if (options.terminal) {
    // Read the screen until the program has ended, then what it left.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kRunDeadlineSeconds);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    int status = 0;
    bool ended = false;
    for (;;) {
      pollfd p{master, POLLIN, 0};
      poll(&p, 1, 20);
      char buf[4096];
      ssize_t got;
      while ((got = read(master, buf, sizeof buf)) > 0) result.out.append(buf, static_cast<size_t>(got));
      if (ended) break;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;  // one more pass drains the rest
        continue;
      }
      if (std::chrono::steady_clock::now() > until) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        close_fd(held_slave);
        close_fd(master);
        ADD_FAILURE() << program << " did not finish within " << kRunDeadlineSeconds << " s; killed";
        return result;
      }
    }
    close_fd(held_slave);
    close_fd(master);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  std::vector<Channel> channels;
  if (options.terminal) {
    channels.push_back({master, &result.out});
  } else {
    channels.push_back({out_pipe[0], &result.out});
    channels.push_back({err_pipe[0], &result.err});
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRunDeadlineSeconds);
  bool timed_out = false;
  for (;;) {
    std::vector<pollfd> fds;
    for (const Channel& c : channels)
      if (c.fd >= 0) fds.push_back({c.fd, POLLIN, 0});
    if (fds.empty()) break;
    const bool feeding = in_fd >= 0;
    if (feeding) fds.push_back({in_fd, POLLOUT, 0});
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    int r = poll(fds.data(), fds.size(), static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      timed_out = r == 0;
      break;
    }
    if (feeding && fds.back().revents) {
      ssize_t w = write(in_fd, options.stdin_text.data() + in_off, options.stdin_text.size() - in_off);
      if (w > 0) in_off += static_cast<size_t>(w);
      if ((w < 0 && errno != EAGAIN && errno != EINTR) || in_off == options.stdin_text.size())
        close_fd(in_fd);
    }
    for (size_t k = 0; k < fds.size() - (feeding ? 1 : 0); ++k) {
      if (!fds[k].revents) continue;
      for (Channel& c : channels) {
        if (c.fd != fds[k].fd) continue;
        char buf[4096];
        ssize_t got = read(c.fd, buf, sizeof buf);
        if (got > 0) {
          c.sink->append(buf, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          close_fd(c.fd);  // end of output (a terminal reports EIO once the program is gone)
        }
      }
    }
  }
  close_fd(in_fd);
  for (Channel& c : channels) close_fd(c.fd);

  int status = 0;
  if (timed_out) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << program << " did not finish within " << kRunDeadlineSeconds << " s; killed";
    return result;
  }
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace vt
