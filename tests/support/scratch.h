// scratch.h -- the one fixture of the test programs: each test runs in a
// fresh scratch folder of its own (its current directory while it runs) and
// starts and ends with a clean process state, released through the
// product's own release routines.  Fixtures that need more set-up derive
// from vt::Scratch and call Scratch::SetUp() first.
#ifndef VORN_TEST_SCRATCH_H
#define VORN_TEST_SCRATCH_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_state.h"
#include "base/activity.h"
#include "base/failure.h"
#include "base/run_state.h"
#include "driver/driver.h"
#include "msgfile/msgfile.h"
#include "platform/platform.h"
#include "support/support.h"

namespace vt {

// Releases everything a test (or a run made in this process) left behind and
// puts every module back to its start values, in the exit routine's order:
// the progress line's drawing routine and the per-entry reports; the
// message-file tool's texts; the archive container's tables, file specs and
// streams; the run state's report, descriptors, temporary file and lock; the
// driver's argument list and interface switches.  Then the failure reason is
// forgotten.  The fault hooks are disarmed before (so that no release call
// is made to fail) and after (so that call counts start at zero).  Prints
// nothing.
inline void release_state() {
  pf_fault_clear();
  progress_end();
  progress_set_sink(ProgressSink());
  activity_enable_reports(0);
  free_message_buffers();
  archive_release();
  run_state_release();
  g_args = std::vector<std::string>();
  g_ui = Interface();
  failure_clear();
  pf_fault_clear();
}

// Runs the program in this process with `args` as its argument vector
// (args[0] is the program's name); vorn_main's result.
inline int run_in_process(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return vorn_main(static_cast<int>(args.size()), argv.data());
}

class Scratch : public ::testing::Test {
 protected:
  void SetUp() override { release_state(); }
  // Runs before the folder is removed, so that a temporary or report file
  // the state still names is deleted inside it.
  void TearDown() override { release_state(); }

  ScratchDir dir_;  // made before SetUp, removed after TearDown
};

}  // namespace vt

#endif
