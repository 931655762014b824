// msg_test_util.h -- shared fixture of the message-file tool's tests.
#ifndef VORN_TESTS_MSG_TEST_UTIL_H
#define VORN_TESTS_MSG_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "msgfile/msg_internal.h"
#include "platform/platform.h"
#include "support/scratch.h"
#include "support/support.h"

namespace mt {

const std::string CRLF = "\r\n";

// One entry as the tool lays it out: quote, label, \0\, CR LF, body, quote, comma, CR LF.
inline std::string entry(const std::string& label, const std::string& body) {
  return "\"" + label + "\\0\\\r\n" + body + "\",\r\n";
}

// A message table: declaration, the entries, the end marker.
inline std::string table(const std::vector<std::string>& entries) {
  std::string t = "static char *msgs[] = {\r\n";
  for (const std::string& e : entries) t += e;
  return t + "\r\n(char*)0\r\n\r\n};\r\n";
}

// Each test runs in a fresh folder with fresh process state.
class MsgTest : public vt::Scratch {
 protected:
  static std::string& text() { return g_msg.text; }
  static void set_text(const std::string& t) {
    g_msg.text = t;
    msg_index_invalidate();
  }

  // Runs `script` on the current text in-process; returns apply_change_script's
  // result and stores what was printed in *out.
  static int run_script(const std::string& script, std::string* out) {
    g_msg.script = script;
    g_msg.script_path = "mod.txt";
    testing::internal::CaptureStdout();
    const int r = apply_change_script();
    *out = testing::internal::GetCapturedStdout();
    return r;
  }

  // Runs one routine with stdout captured.
  template <class F>
  static std::string captured(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }
};

}  // namespace mt

#endif
