// msg_entries.cpp -- the three entry edits (remove, append, rename) from which
// the change commands are built.
#include <new>


#include "msgfile/msg_internal.h"

namespace {

std::string& text() { return g_msg.text; }

// The end marker: going backwards from the last byte, the nearest ';', then
// before it '}', '0', ')', '*', 'r', 'a', 'h', 'c' and '(', any bytes between.
// The first byte of the text is never looked at.  Position of the '(' or
// MSG_NONE.
size_t find_end_marker(const std::string& s) {
  static const char kSeq[] = ";}0)*rahc(";
  if (s.size() < 2) return MSG_NONE;
  size_t i = s.size() - 1;
  for (const char* p = kSeq; *p; ++p) {
    while (i >= 1 && s[i] != *p) --i;
    if (i < 1) return MSG_NONE;
    if (p[1] == '\0') return i;
    --i;
  }
  return MSG_NONE;
}

}  // namespace

void delete_message(const std::string& label) {
  const size_t pos = find_message(label);
  if (pos == MSG_NONE) return;
  std::string& s = text();
  const size_t q = pos - 1;
  const size_t close = skip_literal(s, pos);
  size_t end = s.size();
  if (close < s.size()) {
    end = close + 1;
    if (end < s.size() && s[end] == ',') ++end;
  }
  s.erase(q, end - q);
  msg_index_literal_removed(q, end - q);
}

int append_message(const std::string& label, const std::string& body) {
  std::string& s = text();
  const size_t e = find_end_marker(s);
  if (e == MSG_NONE) {
    msg_print("unable to find proper end of message file\n");
    return -1;
  }
  static const char kMid[] = "\\0\\\r\n";
  static const char kTail[] = "\",\r\n\r\n(char*)0\r\n\r\n};\r\n";
  const size_t add = 1 + label.size() + (sizeof kMid - 1) + body.size() + (sizeof kTail - 1);
  try {
    s.reserve(e + add);
  } catch (const std::exception&) {
    msg_print("out of memory\n");
    return -1;
  }
  msg_index_before_tail_replaced(e);
  // No allocation from here on: the capacity is there.
  s.resize(e);
  s += '"';
  s += label;
  s += kMid;
  s += body;
  s += kTail;
  msg_index_after_tail_replaced(e);
  return 0;
}

int rename_message(const std::string& old_label, const std::string& new_label) {
  const size_t pos = find_message(old_label);
  if (pos == MSG_NONE) {
    msg_print("unable to find message " + old_label + "\n");
    return -1;
  }
  std::string& s = text();
  const size_t q = pos - 1;
  const size_t old_close = skip_literal(s, pos);
  try {
    s.replace(pos, old_label.size(), new_label);
  } catch (const std::exception&) {
    msg_print("out of memory");
    return -1;
  }
  msg_index_literal_edited(q, old_close, pos + old_label.size(),
                           static_cast<long long>(new_label.size()) -
                               static_cast<long long>(old_label.size()));
  return 0;
}
