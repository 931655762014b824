// terminate.cpp -- the one exit routine: every run ends here.
#include "driver/driver.h"

#include <string>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "archive/streams.h"
#include "base/failure.h"
#include "base/replace.h"
#include "driver/state.h"
#include "msgfile/msgfile.h"
#include "platform/platform.h"

namespace {

// Removes the last record each time.  Stops should a removal ever fail, so
// that a damaged table cannot hold the exit up.
void empty_table(EntryTable& table) {
  while (table.count() > 0) {
    int before = table.count();
    if (entry_table_remove(table, before - 1) != 0 || table.count() >= before) break;
  }
}

void remove_all_specs() {
  FileSpecList& list = g_state.specs;
  while (list.count() > 0) {
    int before = list.count();
    file_spec_remove(list.specs.back().get());
    if (list.count() >= before) break;
  }
}

}  // namespace

int terminate(int code) {
  RunState& run = g_state.run;
  Settings& s = g_state.settings;

  if (run.report_fd >= 0) {
    pf_close(run.report_fd);
    run.report_fd = -1;
  }
  // The report has been stored in the archive by now (or the run failed);
  // a file of that name that this run did not create is never touched.  A
  // report that cannot be deleted fails the run (the archive is already the
  // new one), so that a leftover file is never passed over in silence.
  if (run.report_created && !s.report_path.empty()) {
    if (pf_remove(s.report_path.c_str()) != 0 && code == EXIT_OK) {
      fail_system("cannot delete the report", s.report_path);
      code = EXIT_FAILURE_CODE;
    }
    forget_created_file(s.report_path);
  }
  s.report_path.clear();
  run.report_created = 0;

  interface_finish(code);
  free_message_buffers();
  empty_table(g_state.loaded);
  empty_table(g_state.output);

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

  g_state.args.clear();
  g_state.args.shrink_to_fit();
  remove_all_specs();
  streams_release();

  state_reset();
  return code;
}
