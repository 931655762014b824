// fuzz_msgfile -- the message-file tool on an arbitrary message file and
// change script (the input, split at its first NUL byte), run as
// "vorn -mfile:m.c -mmod:s.txt" in a folder of its own.  The run must end with
// 0 or -3; after -3 the message file is byte for byte as it was, after 0 it is
// exactly the edited text (the same edit done in memory); no temporary file
// is left.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/replace.h"
#include "driver/driver.h"

#include "msgfile/msg_internal.h"
#include "platform/platform.h"
#include "fuzz_support.h"

namespace {

using fz::read_all;
using fz::run;
using fz::temporary_left;
using fz::write_all;

void set_up_once() { fz::enter_scratch("fuzz_msgfile"); }

// The edit done in memory: 1 with *out the result, 0 when the script fails.
int edit_in_memory(const std::string& text, const std::string& script, std::string* out) {
  g_msg.text = text;
  g_msg.script = script;
  g_msg.script_path = "s.txt";
  g_msg.loaded = 2;
  int ok = apply_change_script() == 0;
  if (ok) *out = g_msg.text;
  free_message_buffers();
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  set_up_once();
  const std::string in(reinterpret_cast<const char*>(data), size);
  const size_t cut = in.find('\0');
  const std::string text = in.substr(0, cut);
  const std::string script = cut == std::string::npos ? std::string() : in.substr(cut + 1);
  write_all("m.c", text);
  write_all("s.txt", script);

  std::string expected;
  const bool script_has_nul = script.find('\0') != std::string::npos;
  const int edits = !script_has_nul && edit_in_memory(text, script, &expected);

  std::string a0 = "vorn", a1 = "-mfile:m.c", a2 = "-mmod:s.txt";
  char* argv[] = {&a0[0], &a1[0], &a2[0], nullptr};
  const int code = vorn_main(3, argv);
  if (code != 0 && code != -3) std::abort();
  const std::string after = read_all("m.c");
  if (code == -3 && after != text) std::abort();  // failed, yet the file changed
  if (code == 0 && (!edits || after != expected)) std::abort();  // not the edited text
  if (temporary_left()) std::abort();
  pf_remove("m.c");
  pf_remove("s.txt");
  return 0;
}
