// msg_optimize.cpp -- compaction of the message text (the optimize command).
//
// First pass: comments, spaces and tabs outside literals and line
// continuations inside literals go.  Second pass: line breaks are dropped
// until a line holds more than 500 bytes; the one after that is kept.
// Directive lines (a '#' at the start of the text or after a comma, CR or LF)
// are copied whole and always start a line of their own.  Two identifier
// characters, or two operator characters that would fuse ("- -", "/ *"),
// that a removed blank, comment or line break kept apart stay one space
// apart, so the text still reads as the same C.
#include <new>


#include "msgfile/msg_internal.h"

namespace {

constexpr long kLineThreshold = 500;

bool is_ident(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool is_break(char c) { return c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool starts_directive(const std::string& s, size_t i) {
  return s[i] == '#' && (i == 0 || s[i - 1] == ',' || is_break(s[i - 1]));
}

// Length of the line break at i (CR LF, LF CR, CR, LF), 0 if none.
size_t break_length(const std::string& s, size_t i) {
  if (i >= s.size() || !is_break(s[i])) return 0;
  if (i + 1 < s.size() && is_break(s[i + 1]) && s[i + 1] != s[i]) return 2;
  return 1;
}

// Copies the directive line at i, through its line break; returns the
// position after it.  A line that ends in a backslash continues the
// directive, so the lines after it are copied with it (otherwise a macro
// body would swallow whatever the next pass joins onto it).  A line break
// goes first unless output is empty or already ends in one.
size_t copy_directive(const std::string& s, size_t i, std::string* out) {
  if (!out->empty() && !is_break(out->back())) *out += "\r\n";
  size_t j = i;
  for (;;) {
    const size_t b = s.find_first_of("\r\n", j);
    if (b == std::string::npos) {
      j = s.size();
      break;
    }
    j = b + break_length(s, b);
    if (b == i || s[b - 1] != '\\') break;
  }
  out->append(s, i, j - i);
  return j;
}

// True when the bytes a and b, written side by side, read as one token (or
// open a comment) where a blank stood between them: two identifier
// characters, or the two halves of an operator such as "- -" or "/ *".
bool would_fuse(char a, char b) {
  if (is_ident(a) && is_ident(b)) return true;
  static const char* const kPairs[] = {"++", "--", "+=", "-=", "*=", "/=", "%=", "&=", "|=",
                                       "^=", "==", "!=", "<=", ">=", "<<", ">>", "&&", "||",
                                       "->", "##", "/*", "//", "*/", "<:", ":>", "<%", "%>", "%:"};
  for (const char* p : kPairs)
    if (p[0] == a && p[1] == b) return true;
  return false;
}

// Writes byte c, with one space first when it would fuse with the byte
// before it into another token, where something removed kept them apart.
void put(std::string* out, char c, bool* apart) {
  if (*apart && !out->empty() && would_fuse(out->back(), c)) *out += ' ';
  *apart = false;
  *out += c;
}

std::string first_pass(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  const size_t n = s.size();
  bool apart = false;
  size_t i = 0;
  while (i < n) {
    const char c = s[i];
    if (starts_directive(s, i)) {
      i = copy_directive(s, i, &out);
      apart = false;
    } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      const size_t j = s.find("*/", i + 2);
      i = j == std::string::npos ? n : j + 2;
      apart = true;
    } else if (c == '/' && i + 1 < n && s[i + 1] == '/') {
      i = skip_line_comment(s, i);
      apart = true;
    } else if (c == '"') {
      put(&out, c, &apart);
      ++i;
      // Inside the literal: escapes are pairs; a backslash before a line
      // break is a continuation and goes.  When a real "\0" escape is then
      // followed by a digit, "00" keeps the digit out of the escape.
      bool after_zero = false;   // the last unit written is the escape "\0"
      bool joined = false;       // a continuation went since then
      while (i < n && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < n && is_break(s[i + 1])) {
          i += 1 + break_length(s, i + 1);
          if (after_zero) joined = true;
          continue;
        }
        if (after_zero && joined && is_digit(s[i])) out += "00";
        after_zero = joined = false;
        if (s[i] == '\\') {
          out += '\\';
          if (i + 1 < n) {
            out += s[i + 1];
            after_zero = s[i + 1] == '0';
          }
          i += 2;
        } else {
          out += s[i++];
        }
      }
      if (i >= n) break;
      out += '"';
      ++i;
    } else if (c == ' ' || c == '\t') {
      ++i;
      apart = true;
    } else {
      put(&out, c, &apart);
      ++i;
    }
  }
  return out;
}

std::string second_pass(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  const size_t n = s.size();
  long k = 0;
  bool apart = false;
  bool in_literal = false;
  size_t i = 0;
  auto at = [&](size_t j) -> char { return j < n ? s[j] : '\0'; };
  while (i < n) {
    const char c = s[i];
    if (!in_literal && starts_directive(s, i)) {
      i = copy_directive(s, i, &out);
      apart = false;
      continue;
    }
    if (is_break(c)) {
      const char other = c == '\r' ? '\n' : '\r';
      if (at(i + 1) == other) {
        if (at(i + 2) == c && at(i + 3) == other) {
          apart = true;
        } else if (k <= kLineThreshold) {
          apart = true;
        } else {
          out += c;
          out += other;
          k = 0;
          apart = false;
        }
        i += 2;
      } else if (at(i + 1) == c) {
        apart = true;
        i += 1;
      } else {
        if (k <= kLineThreshold) {
          apart = true;
        } else {
          out += c;
          k = 0;
          apart = false;
        }
        i += 1;
      }
      continue;
    }
    if (in_literal) {
      apart = false;
      out += c;
      ++k;
      ++i;
      if (c == '"') {
        in_literal = false;
      } else if (c == '\\' && i < n && !is_break(s[i])) {
        out += s[i++];
        ++k;
      }
      continue;
    }
    // The separating space is not counted: line lengths are those of the
    // text's own bytes.
    put(&out, c, &apart);
    ++k;
    ++i;
    if (c == '"') in_literal = true;
  }
  return out;
}

}  // namespace

void optimize_message_text() {
  std::string& text = g_msg.text;
  std::string once = first_pass(text);
  std::string twice = second_pass(once);
  text.swap(twice);
  msg_index_invalidate();
}
