// msg_lexer.cpp -- the lexical rules shared by every scanner of the
// message-file tool: string literals, text units, comments.
#include "msgfile/msgfile.h"

#include "platform/platform.h"

namespace {
inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
}  // namespace

size_t skip_literal(const std::string& s, size_t pos) {
  const size_t n = s.size();
  size_t i = pos;
  while (i < n) {
    const char c = s[i];
    if (c == '"') return i;
    if (c == '\\') {
      if (i + 1 >= n) return n;
      i += 2;
    } else {
      ++i;
    }
  }
  return n;
}

size_t skip_text_unit(const std::string& s, size_t pos) {
  const size_t n = s.size();
  if (pos >= n) return pos;
  if (s[pos] != '\\') return pos + 1;
  if (pos + 1 >= n) return n;  // a backslash ending the text
  const unsigned char a = static_cast<unsigned char>(s[pos + 1]);
  if (is_digit(a)) {
    if (pos + 2 < n && is_digit(static_cast<unsigned char>(s[pos + 2]))) {
      if (pos + 3 < n && is_digit(static_cast<unsigned char>(s[pos + 3]))) return pos + 4;
      return pos + 3;
    }
    return pos + 2;
  }
  if (pos + 2 < n && ((a == '\r' && s[pos + 2] == '\n') || (a == '\n' && s[pos + 2] == '\r')))
    return pos + 3;
  return pos + 2;
}

size_t skip_block_comment(const std::string& s, size_t pos) {
  const size_t j = s.find("*/", pos + 2);
  return j == std::string::npos ? s.size() : j;
}

size_t skip_line_comment(const std::string& s, size_t pos) {
  const size_t j = s.find_first_of("\r\n", pos);
  return j == std::string::npos ? s.size() : j;
}

void msg_print(const std::string& s) {
  if (!s.empty()) pf_write_stdout(s.data(), s.size());
}
