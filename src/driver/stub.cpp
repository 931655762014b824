// stub.cpp -- the first step of every rewrite: the stub at the front of the
// new archive, from a "-stub:" file or carried over from the old archive.
#include "driver/driver.h"

#include <cstdint>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "archive/streams.h"
#include "base/failure.h"
#include "driver/state.h"
#include "platform/platform.h"

namespace {

void close_if_open(int fd) {
  if (fd >= 0) pf_close(fd);
}

}  // namespace

int write_stub() {
  RunState& run = g_state.run;
  const Settings& s = g_state.settings;
  int stub_fd = -1;
  int64_t count = 0;

  if (!s.stub_path.empty()) {
    stub_fd = pf_open_read(s.stub_path.c_str());
    if (stub_fd < 0) return fail_system("cannot open the stub", s.stub_path);
    if (check_stub(stub_fd) != 0) {
      pf_close(stub_fd);
      return fail_note("not a stub", s.stub_path, "(it must begin with \"MZ\")");
    }
    count = pf_file_length(stub_fd);
    // Offsets in the archive are 32-bit: a stub that large could not be
    // followed by anything.
    if (count < 0 || count > static_cast<int64_t>(UINT32_MAX) ||
        pf_seek(stub_fd, 0, PF_SEEK_SET) != 0) {
      pf_close(stub_fd);
      return -1;
    }
  } else if (g_state.loaded.count() > 0) {
    count = run.data_start;
    if (count > 0 && pf_seek(run.archive_fd, 0, PF_SEEK_SET) != 0) return -1;
  }

  if (count == 0) {
    close_if_open(stub_fd);
    return 0;
  }
  if (open_temp() != 0) {
    close_if_open(stub_fd);
    return -1;
  }
  // The raw copy reads from run.archive_fd: the stub file stands in for the
  // archive for the length of the copy.
  const int archive_fd = run.archive_fd;
  if (stub_fd >= 0) run.archive_fd = stub_fd;
  int result = copy_raw_to_raw(count);
  run.archive_fd = archive_fd;
  close_if_open(stub_fd);
  if (result != 0) return -1;
  run.stub_length = static_cast<uint32_t>(count);
  return 0;
}
