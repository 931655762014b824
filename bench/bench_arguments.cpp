// bench_arguments -- how the command-line driver scales: one argument file
// of many tokens, a long chain of nested argument files, and an option pass
// over many options.  Prints the figures; run from any folder (it works in a
// temporary folder of its own).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "driver/driver.h"
#include "base/run_state.h"
#include "platform/platform.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool write_whole(const std::string& path, const std::string& bytes) {
  int fd = pf_open_create(path.c_str());
  if (fd < 0) return false;
  bool ok = pf_write(fd, bytes.data(), bytes.size()) == static_cast<int64_t>(bytes.size());
  pf_close(fd);
  return ok;
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/vorn-bench-args-XXXXXX";
  if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0) {
    std::printf("cannot make a scratch folder\n");
    return 1;
  }

  // 1. One argument file of 200,000 tokens with comments and quotes.
  const int tokens = 200000;
  std::string big;
  for (int i = 0; i < tokens; ++i) {
    big += (i % 3 == 0) ? "\"file " + std::to_string(i) + ".txt\"" : "f" + std::to_string(i);
    big += (i % 10 == 9) ? " ; comment\r\n" : " ";
  }
  if (!write_whole("big.txt", big)) return 1;
  auto t0 = std::chrono::steady_clock::now();
  int r = expand_argument("@big.txt");
  double t_big = seconds_since(t0);
  size_t got = g_args.size();
  terminate(0);
  std::printf("argument file, %d tokens (%zu bytes): %.3f s, result %d, %zu arguments\n", tokens,
              big.size(), t_big, r, got);

  // 2. A chain of 5,000 argument files, each naming the next.
  const int depth = 5000;
  for (int i = 0; i < depth; ++i) {
    std::string body = "a" + std::to_string(i);
    if (i + 1 < depth) body += " @c" + std::to_string(i + 1);
    if (!write_whole("c" + std::to_string(i), body)) return 1;
  }
  t0 = std::chrono::steady_clock::now();
  r = expand_argument("@c0");
  double t_chain = seconds_since(t0);
  got = g_args.size();
  terminate(0);
  std::printf("nested argument files, depth %d: %.3f s, result %d, %zu arguments\n", depth,
              t_chain, r, got);

  // 3. The option pass over 200,000 options (no file specs).
  for (int i = 0; i < tokens; ++i) g_args.push_back(i % 2 ? "+c" : "-rfind:p" + std::to_string(i));
  int end_code = 0;
  t0 = std::chrono::steady_clock::now();
  r = option_pass(&end_code);
  double t_pass = seconds_since(t0);
  size_t prefixes = g_settings.report_prefixes.size();
  terminate(0);
  std::printf("option pass, %d options: %.3f s, result %d, %zu prefixes\n", tokens, t_pass, r,
              prefixes);

  for (int i = 0; i < depth; ++i) pf_remove(("c" + std::to_string(i)).c_str());
  pf_remove("big.txt");
  if (chdir("/") == 0) rmdir(tmpl);
  return 0;
}
