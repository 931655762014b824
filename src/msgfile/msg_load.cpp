// msg_load.cpp -- reading the message file and the change script whole.
#include <cstdint>
#include <new>


#include "msgfile/msg_internal.h"
#include "platform/platform.h"

namespace {
// Sizes are taken from a 32-bit seek result; a file of 2 GB or more is
// treated as one that does not fit.
constexpr int64_t kMaxTextSize = 0x7FFFFFFF;
}  // namespace

int load_text_file(const char* path, bool writable, std::string* out) {
  out->clear();
  const std::string p = path ? path : "";
  const int fd = writable ? pf_open_rw(p.c_str()) : pf_open_read(p.c_str());
  if (fd < 0) {
    msg_print("unable to open file " + p + " for reading\n");
    return -1;
  }
  const int64_t size = pf_seek(fd, 0, PF_SEEK_END);
  if (size < 0 || pf_seek(fd, 0, PF_SEEK_SET) != 0) {
    pf_close(fd);
    msg_print("unable to read " + p + "\n");
    return -1;
  }
  if (size > kMaxTextSize) {
    pf_close(fd);
    msg_print("file " + p + " is too big to fit in memory\n");
    return -1;
  }
  try {
    out->resize(static_cast<size_t>(size));
  } catch (const std::exception&) {
    std::string().swap(*out);
    pf_close(fd);
    msg_print("file " + p + " is too big to fit in memory\n");
    return -1;
  }
  const int64_t got = size ? pf_read(fd, &(*out)[0], static_cast<size_t>(size)) : 0;
  pf_close(fd);
  if (got != size) {
    std::string().swap(*out);
    msg_print("unable to read " + p + "\n");
    return -1;
  }
  // Every scanner takes the end of the text for its terminating NUL; a NUL
  // inside would hide the rest of the file, so such a file is refused whole.
  if (out->find('\0') != std::string::npos) {
    std::string().swap(*out);
    msg_print("file " + p + " holds a NUL byte\n");
    return -1;
  }
  return 0;
}

int load_message_file(const char* path) {
  MessageState& m = g_msg;
  std::string text;
  if (load_text_file(path, true, &text) != 0) return -1;
  m.text.swap(text);
  m.text_path = path;
  m.index = MessageIndex();
  m.menu = MenuCache();
  m.loaded = 1;
  return 0;
}

int load_change_script(const char* path) {
  MessageState& m = g_msg;
  std::string script;
  if (load_text_file(path, false, &script) != 0) return -1;
  m.script.swap(script);
  m.script_path = path;
  m.loaded = 2;
  return 0;
}

MessageState g_msg;

void free_message_buffers() { g_msg = MessageState(); }
