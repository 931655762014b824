// fuzz_support.h -- what the fuzz targets that run whole programs share: a
// private working folder entered once, small file helpers through the
// platform layer, a run of the program in this process, and the check for
// temporary files left behind.
#ifndef VORN_FUZZ_SUPPORT_H
#define VORN_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/replace.h"
#include "driver/driver.h"
#include "platform/platform.h"

namespace fz {

// Makes a fresh folder TMPDIR/NAME.XXXXXX and works in it from then on;
// standard input reads nothing (the overwrite question never waits) and
// standard output goes nowhere (libFuzzer reports on standard error).
// Returns 1 the first time, 0 on later calls, which do nothing.
inline int enter_scratch(const char* name) {
  static bool done = false;
  if (done) return 0;
  done = true;
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + name + ".XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data()) || chdir(buf.data()) != 0) std::abort();
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(null_fd, 1) < 0) std::abort();
  close(null_fd);
  return 1;
}

inline void write_all(const char* path, const void* data, size_t size) {
  int fd = pf_open_create(path);
  if (fd < 0) std::abort();
  if (size > 0 && pf_write(fd, data, size) != static_cast<int64_t>(size)) std::abort();
  pf_close(fd);
}

inline void write_all(const char* path, const std::string& bytes) {
  write_all(path, bytes.data(), bytes.size());
}

// The file's bytes, or `missing` when it cannot be opened.
inline std::string read_all(const char* path, const char* missing = "<missing>") {
  std::string out;
  int fd = pf_open_read(path);
  if (fd < 0) return missing;
  char buf[65536];
  int64_t n;
  while ((n = pf_read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  pf_close(fd);
  return out;
}

// One whole run of the program, as from a shell; its exit code.
inline int run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return vorn_main(static_cast<int>(args.size()), argv.data());
}

// 1 when the working folder holds a file of the temporary form (a folder of
// such a name is one an entry's path made).
inline bool temporary_left() {
  PfFindData item;
  PfFind* h = pf_find_first("*", &item);
  bool found = false;
  for (bool more = h != nullptr; more; more = pf_find_next(h, &item) == 1)
    if (!(item.attributes & PF_ATTR_DIRECTORY) && is_temporary_name(item.long_name)) found = true;
  pf_find_close(h);
  return found;
}

}  // namespace fz

#endif
