// failure.cpp -- the failure reason of a run.
#include "base/failure.h"

#include "platform/platform.h"

namespace {

Failure g_failure;

int record(const char* what, const std::string& file, const std::string& detail) {
  if (g_failure.recorded) return -1;
  g_failure.recorded = 1;
  g_failure.what = what ? what : "";
  g_failure.file = file;
  g_failure.detail = detail;
  return -1;
}

}  // namespace

int fail_system(const char* what, const std::string& file) {
  if (g_failure.recorded) return -1;
  return record(what, file, pf_last_error_text());
}

int fail_note(const char* what, const std::string& file, const std::string& detail) {
  return record(what, file, detail);
}

void failure_name_file(const std::string& file) {
  if (g_failure.recorded && g_failure.file.empty()) g_failure.file = file;
}

void failure_clear() { g_failure = Failure(); }

const Failure& failure_last() { return g_failure; }

std::string failure_text() {
  if (!g_failure.recorded) return std::string();
  std::string text = g_failure.what;
  if (!g_failure.file.empty()) text += " \"" + g_failure.file + "\"";
  if (!g_failure.detail.empty()) {
    text += g_failure.detail[0] == '(' ? " " : ": ";
    text += g_failure.detail;
  }
  return text;
}
