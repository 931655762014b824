// terminate.cpp -- the one exit routine: every run ends here.
#include "driver/driver.h"

#include "archive/archive_state.h"
#include "base/run_state.h"
#include "msgfile/msgfile.h"

int terminate(int code) {
  interface_finish(code);
  free_message_buffers();
  archive_release();
  run_state_release();
  g_args = std::vector<std::string>();
  g_ui = Interface();
  return code;
}
