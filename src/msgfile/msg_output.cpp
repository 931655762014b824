// msg_output.cpp -- writing the edited message text back.
//
// The text is written completely under "vorn_msg.tmp" in the current
// directory and then renamed over the message file in one step, so the
// message file is at every moment either the old one or the new one.  When
// that rename is refused (the current directory lies on another file system,
// say), the text is written once more under "vorn_msg.tmp" beside the message
// file and renamed from there.  When neither works, the message file stays
// as it was and no temporary file of this run remains.
#include "driver/state.h"
#include "msgfile/msgfile.h"
#include "platform/platform.h"

namespace {

const char kTempName[] = "vorn_msg.tmp";

// Writes the whole text to `path` (created or truncated), synced and closed.
// 0, -1 when the file could not be created, -2 when it was created but not
// written completely (it is removed then).
int write_whole(const std::string& path, const std::string& text) {
  const int fd = pf_open_create(path.c_str());
  if (fd < 0) return -1;
  bool ok = pf_write(fd, text.data(), text.size()) == static_cast<int64_t>(text.size());
  if (ok && pf_sync(fd) != 0) ok = false;
  if (pf_close(fd) != 0) ok = false;
  if (!ok) {
    pf_remove(path.c_str());
    return -2;
  }
  return 0;
}

// The folder part of a path ("" when none): up to the last '/', '\' or ':'.
std::string folder_of(const std::string& path) {
  const size_t k = path.find_last_of("/\\:");
  return k == std::string::npos ? std::string() : path.substr(0, k + 1);
}

}  // namespace

int write_message_file() {
  const MessageState& m = g_state.msg;
  const std::string& dest = m.text_path;
  // The temporary must never be the message file itself (a message file of
  // that name, or a link between the two): creating it would truncate the
  // message file before the new text is safely down.
  if (pf_same_file(kTempName, dest.c_str())) {
    msg_print("unable to create temporary file\n");
    return -1;
  }
  const int w = write_whole(kTempName, m.text);
  if (w == -1) {
    msg_print("unable to create temporary file\n");
    return -1;
  }
  if (w == -2) {
    msg_print("unable to write temporary message file\n");
    return -1;
  }
  if (pf_rename(kTempName, dest.c_str()) == 0) {
    pf_sync_parent_dir(dest.c_str());
    return 0;
  }

  // The rename was refused: try from beside the message file.
  const std::string beside = folder_of(dest) + kTempName;
  bool done = false;
  if (!pf_same_file(beside.c_str(), kTempName) && !pf_same_file(beside.c_str(), dest.c_str()) &&
      write_whole(beside, m.text) == 0) {
    if (pf_rename(beside.c_str(), dest.c_str()) == 0) {
      pf_sync_parent_dir(dest.c_str());
      done = true;
    } else {
      pf_remove(beside.c_str());
    }
  }
  pf_remove(kTempName);
  if (!done) {
    msg_print("unable to replace message file " + dest + "\n");
    return -1;
  }
  return 0;
}
