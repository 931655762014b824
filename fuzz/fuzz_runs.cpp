// fuzz_runs -- arbitrary bytes as the archive of whole runs: extraction of
// every entry, a rewrite that deletes and adds, and a modifier run that moves
// every entry out of the directory stream, and the runs that only read it:
// "--list" (plain and --machine) and "-v".  Each run must end with 0 or -3;
// a run that fails, and any run that only reads, must leave the archive byte
// for byte as it was, and no run may leave a temporary file behind.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/replace.h"
#include "driver/driver.h"
#include "platform/platform.h"

namespace {

// A private working folder, standard input at its end (the overwrite
// question must never wait), and one file to add.
void set_up_once() {
  static bool done = false;
  if (done) return;
  done = true;
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fuzz_runs.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data()) || chdir(buf.data()) != 0) std::abort();
  int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd < 0 || dup2(null_fd, 0) < 0) std::abort();
  close(null_fd);
  // The listings go nowhere (libFuzzer reports on standard error).
  int out_fd = open("/dev/null", O_WRONLY);
  if (out_fd < 0 || dup2(out_fd, 1) < 0) std::abort();
  close(out_fd);
}

void write_all(const char* path, const uint8_t* data, size_t size) {
  int fd = pf_open_create(path);
  if (fd < 0) std::abort();
  if (size > 0 && pf_write(fd, data, size) != static_cast<int64_t>(size)) std::abort();
  pf_close(fd);
}

std::string read_all(const char* path) {
  std::string out;
  int fd = pf_open_read(path);
  if (fd < 0) return out;
  char buf[65536];
  int64_t n;
  while ((n = pf_read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  pf_close(fd);
  return out;
}

// Removes everything in the working folder (extracted files and the folders
// extraction made included), never following a link.
int remove_item(const char* path, const struct stat*, int, struct FTW* at) {
  if (at->level > 0) remove(path);
  return 0;
}
void clear_folder() {
  if (nftw(".", remove_item, 16, FTW_DEPTH | FTW_PHYS) != 0) std::abort();
}

int run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return vorn_main(static_cast<int>(args.size()), argv.data());
}

// 1 when the folder holds a file of the temporary form (a folder of such a
// name is one an entry's path made).
bool temporary_left() {
  PfFindData item;
  PfFind* h = pf_find_first("*", &item);
  bool found = false;
  for (bool more = h != nullptr; more; more = pf_find_next(h, &item) == 1)
    if (!(item.attributes & PF_ATTR_DIRECTORY) && is_temporary_name(item.long_name)) found = true;
  pf_find_close(h);
  return found;
}

void check_run(const std::vector<std::string>& args, const uint8_t* data, size_t size,
               bool reads_only = false) {
  clear_folder();
  write_all("a.vrn", data, size);
  write_all("n.txt", reinterpret_cast<const uint8_t*>("new file\n"), 9);
  int code = run(args);
  if (code != 0 && code != -3) std::abort();
  if ((code == -3 || reads_only) && read_all("a.vrn") != std::string(reinterpret_cast<const char*>(data), size))
    std::abort();  // a failed run changed the archive
  if (temporary_left()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  set_up_once();
  check_run({"vornex", "a.vrn", "*"}, data, size);
  check_run({"vorn", "a.vrn", "-d", "*", "-a", "n.txt"}, data, size);
  check_run({"vornalt", "a.vrn", "+m", "-g", "-c", "*"}, data, size);
  check_run({"vorn", "a.vrn", "-x", "*", "-a", "+g", "n.txt"}, data, size);
  check_run({"vorn", "--list", "a.vrn"}, data, size, true);
  check_run({"vorn", "--list", "--machine", "a.vrn", "*"}, data, size, true);
  check_run({"vorn", "a.vrn", "-v"}, data, size, true);
  clear_folder();
  return 0;
}
