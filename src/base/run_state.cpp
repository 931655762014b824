#include "base/run_state.h"

#include "base/failure.h"
#include "base/replace.h"
#include "platform/platform.h"

Settings g_settings;
RunState g_run;

int run_state_remove_report() {
  RunState& run = g_run;
  Settings& s = g_settings;
  int result = 0;

  if (run.report_fd >= 0) {
    pf_close(run.report_fd);
    run.report_fd = -1;
  }
  if (run.report_created && !s.report_path.empty()) {
    if (pf_remove(s.report_path.c_str()) != 0) {
      fail_system("cannot delete the report", s.report_path);
      result = -1;
    }
    forget_created_file(s.report_path);
  }
  s.report_path.clear();
  run.report_created = 0;
  return result;
}

void run_state_release() {
  RunState& run = g_run;

  run_state_remove_report();

  if (run.archive_fd >= 0) {
    pf_close(run.archive_fd);
    run.archive_fd = -1;
  }
  // Still there only when the rewrite did not finish: the temporary file goes.
  if (run.output_fd >= 0 || !run.temp_path.empty()) {
    TempFile t;
    t.path = run.temp_path;
    t.fd = run.output_fd;
    temp_discard(&t);
    run.output_fd = -1;
    run.temp_path.clear();
  }
  // Only now may another run change the archive or message file.
  if (run.lock_fd >= 0) {
    pf_close(run.lock_fd);
    run.lock_fd = -1;
  }
  run_state_reset();
}

void run_state_reset() {
  g_settings = Settings();
  g_run = RunState();
}
