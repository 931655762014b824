// terminate.cpp -- the one exit routine: every run ends here.
#include "driver/driver.h"

#include "archive/archive_state.h"
#include "base/run_state.h"
#include "msgfile/msgfile.h"

int terminate(int code) {
  // A report that cannot be deleted fails the run (the archive is already the
  // new one), so that a leftover file is never passed over in silence.
  if (run_state_remove_report() != 0 && code == EXIT_OK) code = EXIT_FAILURE_CODE;
  interface_finish(code);
  free_message_buffers();
  archive_release();
  run_state_release();
  g_args = std::vector<std::string>();
  g_ui = Interface();
  return code;
}
