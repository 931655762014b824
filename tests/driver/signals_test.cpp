// Runs stopped from outside.  A rewrite, an extraction and a message-file
// run of the built program are caught while their temporary file exists
// (stopped there with SIGSTOP), sent SIGTERM, SIGHUP or SIGINT, and let go:
// each must end with -3 and leave no temporary, the archive, the message
// file and every target as they were.  A run past its file-size limit
// (SIGXFSZ) fails as a write fails, with the same outcome.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/e2e.h"
#include "support/support.h"

using namespace rt;

namespace {

// Starts the program as `program` with the arguments, standard descriptors
// on /dev/null, with a file-size limit when `fsize_limit` > 0.
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            long fsize_limit = 0) {
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    FILE* null_in = freopen("/dev/null", "r", stdin);
    FILE* null_out = freopen("/dev/null", "w", stdout);
    (void)null_in;
    (void)null_out;
    if (fsize_limit > 0) {
      struct rlimit rl;
      rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(fsize_limit);
      if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(126);
    }
    execv(VORN_EXE, argv.data());
    _exit(127);
  }
  return pid;
}

// The exit status as the shell sees it; -1 when ended by a signal.
int wait_status(pid_t pid) {
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return -2;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Waits until the child has a temporary file in `folder`, and stops it
// there.  false when the child ended first (it is then reaped).
bool stop_with_temporary(pid_t pid, const std::string& folder = ".") {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!vt::temporaries(folder).empty()) {
      kill(pid, SIGSTOP);
      int st = 0;
      waitpid(pid, &st, WUNTRACED);
      if (WIFSTOPPED(st) && !vt::temporaries(folder).empty()) return true;
      if (!WIFSTOPPED(st)) return false;
      kill(pid, SIGCONT);
    }
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  kill(pid, SIGKILL);
  wait_status(pid);
  return false;
}

struct Case {
  const char* what;
  std::string program;
  std::vector<std::string> args;
};

// The folder each case starts from: a small archive and a large file to add,
// a large archive to extract, a large message file with a change script.
void set_up(int which) {
  if (which == 0) {
    vt::write_file("arc.vrn", vt::build_archive({entry("a.txt", "alpha", DC)}));
    vt::write_file("big.bin", noise(24u << 20, 5));
  } else if (which == 1) {
    vt::write_file("arc.vrn", vt::build_archive({entry("big.bin", noise(24u << 20, 6), SS)}));
  } else {
    std::string t = "static char *msgs[] = {\r\n";
    const std::string body = std::string(200, 'x');
    for (int i = 0; i < 60000; ++i)
      t += "\"m" + std::to_string(i) + "\\0\\\r\n" + body + "\",\r\n";
    t += "\r\n(char*)0\r\n\r\n};\r\n";
    vt::write_file("msgs.c", t);
    vt::write_file("mod.txt", "\"set:m1\\0new body\",\r\n");
  }
}

const std::vector<Case>& cases() {
  static const std::vector<Case> c = {
      {"rewrite", "vorn", {"arc.vrn", "big.bin"}},
      {"extraction", "vornex", {"arc.vrn"}},
      {"message file", "vorn", {"-mfile:msgs.c", "-mmod:mod.txt"}},
  };
  return c;
}

std::vector<std::pair<std::string, std::string>> contents() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& n : vt::list_dir(".")) out.emplace_back(n, vt::read_file(n));
  return out;
}

TEST(Signals, EachStopRequestRemovesTheTemporaryAndEndsWithFailure) {
  const int signals[] = {SIGTERM, SIGHUP, SIGINT};
  for (int sig : signals) {
    for (size_t which = 0; which < cases().size(); ++which) {
      const Case& c = cases()[which];
      const std::string where = std::string(c.what) + ", signal " + std::to_string(sig);
      bool caught = false;
      for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
        vt::ScratchDir d;
        set_up(static_cast<int>(which));
        const auto before = contents();
        const pid_t pid = spawn(c.program, c.args);
        ASSERT_GT(pid, 0);
        if (!stop_with_temporary(pid)) continue;  // finished too fast: again
        caught = true;
        kill(pid, sig);
        kill(pid, SIGCONT);
        EXPECT_EQ(wait_status(pid), vt::FAIL) << where;
        EXPECT_TRUE(vt::temporaries(".").empty()) << where;
        EXPECT_TRUE(contents() == before) << where << ": a file changed";
      }
      EXPECT_TRUE(caught) << where << ": never caught with its temporary";
    }
  }
}

TEST(Signals, AStoppedExtractionRemovesTheEmptyFoldersItMade) {
  bool caught = false;
  for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
    vt::ScratchDir d;
    // "keep" was there before; keep\made\deeper and "other" are the run's.
    vt::make_dir("keep");
    vt::write_file("arc.vrn", vt::build_archive({entry("other\\small.txt", "small", SS),
                                                 entry("keep\\made\\deeper\\big.bin",
                                                       noise(24u << 20, 7), SS)}));
    const pid_t pid = spawn("vornex", {"arc.vrn"});
    ASSERT_GT(pid, 0);
    if (!stop_with_temporary(pid, "keep/made/deeper")) continue;
    caught = true;
    kill(pid, SIGTERM);
    kill(pid, SIGCONT);
    EXPECT_EQ(wait_status(pid), vt::FAIL);
    EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"arc.vrn", "keep"}));
    EXPECT_EQ(vt::list_dir("keep"), std::vector<std::string>{});
  }
  EXPECT_TRUE(caught) << "never caught with its temporary";
}

TEST(Signals, FileSizeLimitFailsTheRunAsAWriteFailure) {
  for (size_t which = 0; which < cases().size(); ++which) {
    const Case& c = cases()[which];
    vt::ScratchDir d;
    set_up(static_cast<int>(which));
    const auto before = contents();
    // Below the size of every result, above every input read.
    const pid_t pid = spawn(c.program, c.args, 1L << 20);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_status(pid), vt::FAIL) << c.what;
    EXPECT_TRUE(vt::temporaries(".").empty()) << c.what;
    EXPECT_TRUE(contents() == before) << c.what << ": a file changed";
  }
}

}  // namespace
