// msg_output.cpp -- writing the edited message text back.
//
// The text is written completely into a temporary file beside the message
// file (the file a symbolic link names, when the message file was named
// through one), flushed, and renamed over it in one step, so the message
// file is at every moment either the old one or the new one.  When that
// fails, the message file stays as it was and no temporary file of this run
// remains.
#include "base/replace.h"

#include "msgfile/msg_internal.h"
#include "platform/platform.h"

int write_message_file() {
  const MessageState& m = g_msg;
  const std::string& dest = m.text_path;
  std::string target;
  if (pf_resolve_links(dest.c_str(), &target) != 0) target = dest;
  TempFile t;
  if (temp_create(target, &t) != 0) {
    msg_print("unable to create temporary file\n");
    return -1;
  }
  if (pf_write(t.fd, m.text.data(), m.text.size()) != static_cast<int64_t>(m.text.size()) ||
      temp_finish(&t) != 0) {
    temp_discard(&t);
    msg_print("unable to write temporary message file\n");
    return -1;
  }
  if (temp_place(&t, TEMP_REPLACE) != 0) {
    msg_print("unable to replace message file " + dest + "\n");
    return -1;
  }
  return 0;
}
