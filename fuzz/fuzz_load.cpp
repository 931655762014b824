// fuzz_load -- arbitrary bytes as an archive: loading its directory and the
// view walk must answer 0 or -1 without crashing, hanging or reading out of
// bounds, and the state is released after every input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/entry_table.h"
#include "archive/view.h"
#include "archive/load.h"
#include "archive/streams.h"
#include "base/run_state.h"
#include "driver/driver.h"
#include "platform/platform.h"

namespace {

const std::string& scratch_path() {
  static const std::string path = [] {
    const char* base = std::getenv("TMPDIR");
    return std::string(base && *base ? base : "/tmp") + "/fuzz_load." + std::to_string(getpid()) + ".vrn";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = scratch_path();
  int fd = pf_open_create(path.c_str());
  if (fd < 0) return 0;
  if (size > 0 && pf_write(fd, data, size) != static_cast<int64_t>(size)) {
    pf_close(fd);
    return 0;
  }
  g_run.archive_fd = fd;
  int r = load_directory();
  if (r == 0) r = view_pass();
  if (r != 0 && r != -1) std::abort();

  pf_close(fd);
  g_run.archive_fd = -1;
  streams_release();
  state_reset();
  pf_remove(path.c_str());
  return 0;
}
