// msg_lexer.cpp -- the lexical rules shared by every scanner of the
// message-file tool: string literals, text units, comments, and the one
// comment-and-literal scanner built from them.
#include "msgfile/msg_internal.h"

#include "platform/platform.h"

namespace {

inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Block comment at `pos` ("/*"): the position where the scanner goes on, the
// '*' of the closing "*/" (so the slash is looked at again with the byte
// after it), or s.size() when unterminated.
size_t skip_block_comment(const std::string& s, size_t pos) {
  const size_t j = s.find("*/", pos + 2);
  return j == std::string::npos ? s.size() : j;
}

// The kind of piece that begins at i, looking no further than the byte
// after it.
TextPieceKind piece_at(const std::string& s, size_t i) {
  const char c = s[i];
  if (c == '"') return PIECE_LITERAL;
  if (c == '/' && i + 1 < s.size()) {
    if (s[i + 1] == '*') return PIECE_BLOCK_COMMENT;
    if (s[i + 1] == '/') return PIECE_LINE_COMMENT;
  }
  return PIECE_CODE;
}

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

size_t skip_line_comment(const std::string& s, size_t pos) {
  const size_t j = s.find_first_of("\r\n", pos);
  return j == std::string::npos ? s.size() : j;
}

int scan_text(const std::string& s, size_t from, TextVisitor visit, void* context) {
  const size_t n = s.size();
  size_t i = from;
  while (i < n) {
    TextPiece piece;
    piece.kind = piece_at(s, i);
    piece.begin = i;
    switch (piece.kind) {
      case PIECE_BLOCK_COMMENT:
        piece.end = skip_block_comment(s, i);
        break;
      case PIECE_LINE_COMMENT:
        piece.end = skip_line_comment(s, i);
        break;
      case PIECE_LITERAL:
        piece.close = skip_literal(s, i + 1);
        piece.end = piece.close < n ? piece.close + 1 : n;
        break;
      case PIECE_CODE: {
        size_t j = i + 1;
        while (j < n && piece_at(s, j) == PIECE_CODE) ++j;
        piece.end = j;
        break;
      }
    }
    const int answer = visit(piece, context);
    if (answer != 0) return answer;
    i = piece.end;
  }
  return 0;
}

void msg_print(const std::string& s) {
  if (!s.empty()) pf_write_stdout(s.data(), s.size());
}
