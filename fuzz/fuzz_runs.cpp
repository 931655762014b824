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
#include "fuzz_support.h"

namespace {

using fz::read_all;
using fz::run;
using fz::temporary_left;
using fz::write_all;

// A private working folder, standard input at its end (the overwrite
// question must never wait).
void set_up_once() { fz::enter_scratch("fuzz_runs"); }

// Removes everything in the working folder (extracted files and the folders
// extraction made included), never following a link.
int remove_item(const char* path, const struct stat*, int, struct FTW* at) {
  if (at->level > 0) remove(path);
  return 0;
}
void clear_folder() {
  if (nftw(".", remove_item, 16, FTW_DEPTH | FTW_PHYS) != 0) std::abort();
}

void check_run(const std::vector<std::string>& args, const uint8_t* data, size_t size,
               bool reads_only = false) {
  clear_folder();
  write_all("a.vrn", data, size);
  write_all("n.txt", reinterpret_cast<const uint8_t*>("new file\n"), 9);
  int code = run(args);
  if (code != 0 && code != -3) std::abort();
  if ((code == -3 || reads_only) && read_all("a.vrn", "") != std::string(reinterpret_cast<const char*>(data), size))
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
