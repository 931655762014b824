// state.cpp -- the driver's part of the process-wide state.
#include "archive/archive_state.h"
#include "base/run_state.h"
#include "driver/driver.h"
#include "msgfile/msgfile.h"

std::vector<std::string> g_args;
Interface g_ui;

void state_reset() {
  run_state_reset();
  g_archive = ArchiveState();
  free_message_buffers();
  g_args = std::vector<std::string>();
  g_ui = Interface();
}
