// container_fixture.h -- the in-process tests of the archive container: an
// archive written and loaded as the run's archive in the test's scratch
// folder, and the pieces of hand-made directory streams.
#ifndef VORN_TESTS_CONTAINER_FIXTURE_H
#define VORN_TESTS_CONTAINER_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "archive/entry_table.h"
#include "archive/load.h"
#include "archive/view.h"
#include "archive/streams.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "driver/driver.h"
#include "platform/platform.h"
#include "support/scratch.h"
#include "support/support.h"

namespace ct {

class ContainerTest : public vt::Scratch {
 protected:
  // Writes `bytes` as the archive, opens it as the run's archive and loads
  // its directory; the result of load_directory.
  int load(const std::string& bytes, const std::string& path = "t.vrn") {
    vt::write_file(path, bytes);
    if (g_run.archive_fd >= 0) pf_close(g_run.archive_fd);
    g_run.archive_fd = pf_open_rw(path.c_str());
    if (g_run.archive_fd < 0) return -2;
    return load_directory();
  }

  // Loads and, when that succeeded, runs the view walk: 0 only when both did.
  int load_and_view(const std::string& bytes) {
    int r = load(bytes);
    if (r != 0) return r;
    return view_pass();
  }

  const EntryRecord& loaded(int i) const {
    return *g_archive.loaded.records[static_cast<size_t>(i)];
  }
};

// The decompressed directory: count, then the records as given.
inline std::string record(const std::string& name, uint32_t offset, uint32_t size,
                          uint32_t key, uint8_t flags) {
  std::string r = name;
  r.push_back('\0');
  r += vt::u32le(offset) + vt::u32le(size) + vt::u32le(key);
  r.push_back(static_cast<char>(flags));
  return r;
}

inline std::string trailer(uint32_t directory_offset) {
  return vt::u32le(directory_offset ^ 0x5A17C3E9u);
}

// An archive whose directory stream (holding `content` uncompressed) starts
// right after `front`.
inline std::string archive_with(const std::string& front, const std::string& content) {
  return front + vt::zcompress(content) + trailer(static_cast<uint32_t>(front.size()));
}


inline int add_spec(const std::string& name, uint32_t match_key = 0, uint32_t new_key = 0,
                    uint16_t set_key = 0, uint16_t flags = SPEC_ADD) {
  std::unique_ptr<FileSpec> s(new FileSpec());
  s->name = name;
  s->match_key = match_key;
  s->new_key = new_key;
  s->set_key = set_key;
  s->flags = flags;
  return file_spec_append(std::move(s));
}

}  // namespace ct

#endif
