// msg_index.cpp -- the lookup index over the message text.
//
// The lookup scanner visits the literals of the text in order; a label
// matches a literal exactly when the literal's bytes before its first "\0"
// equal the label (letters folded).  That holds for every label that has no
// double quote and no "\0" of its own; find_message scans the text for the
// others.  The index records each visited literal with that key, so a lookup
// costs one hash probe instead of a scan of the whole text.
#include <algorithm>


#include "base/names.h"
#include "msgfile/msg_internal.h"

namespace {

MessageIndex& idx() { return g_msg.index; }
const std::string& text() { return g_msg.text; }

std::string fold(const std::string& s) { return ascii_lower(s); }

// Bytes of the literal [q+1, close) before its first "\0".
void compute_key(const std::string& s, MessageLiteral* lit) {
  lit->keyed = false;
  lit->key.clear();
  for (size_t j = lit->quote + 1; j + 1 < lit->close; ++j) {
    if (s[j] == '\\' && s[j + 1] == '0') {
      lit->keyed = true;
      lit->key = fold(s.substr(lit->quote + 1, j - lit->quote - 1));
      return;
    }
  }
}

void map_add(size_t i) {
  MessageLiteral& lit = idx().lits[i];
  if (!lit.keyed) return;
  std::vector<size_t>& v = idx().by_key[lit.key];
  v.insert(std::lower_bound(v.begin(), v.end(), i), i);
}

void map_remove(size_t i) {
  MessageLiteral& lit = idx().lits[i];
  if (!lit.keyed) return;
  auto it = idx().by_key.find(lit.key);
  if (it == idx().by_key.end()) return;
  std::vector<size_t>& v = it->second;
  auto pos = std::lower_bound(v.begin(), v.end(), i);
  if (pos != v.end() && *pos == i) v.erase(pos);
  if (v.empty()) idx().by_key.erase(it);
}

void add_literal(size_t q, size_t close) {
  MessageLiteral lit;
  lit.quote = q;
  lit.close = close;
  compute_key(text(), &lit);
  idx().lits.push_back(std::move(lit));
  map_add(idx().lits.size() - 1);
}

// Runs the lookup scanner from `from` (a place it reaches outside comments
// and literals) to the end, recording every literal.
void scan_from(size_t from) {
  scan_text(text(), from, [](const TextPiece& piece) {
    if (piece.kind == PIECE_LITERAL) add_literal(piece.begin, piece.close);
    return 0;
  });
}

void build() {
  MessageIndex& x = idx();
  x.lits.clear();
  x.by_key.clear();
  x.dead = 0;
  x.valid = true;
  scan_from(0);
}

// Index of the live literal whose opening quote is at q; lits.size() if none.
size_t locate(size_t q) {
  const std::vector<MessageLiteral>& v = idx().lits;
  auto it = std::lower_bound(v.begin(), v.end(), q,
                             [](const MessageLiteral& l, size_t p) { return l.quote < p; });
  for (; it != v.end() && it->quote == q; ++it)
    if (it->alive) return static_cast<size_t>(it - v.begin());
  return v.size();
}

void shift_after(size_t i, long long delta) {
  std::vector<MessageLiteral>& v = idx().lits;
  for (size_t j = i + 1; j < v.size(); ++j) {
    v[j].quote = static_cast<size_t>(static_cast<long long>(v[j].quote) + delta);
    v[j].close = static_cast<size_t>(static_cast<long long>(v[j].close) + delta);
  }
}

void kill(size_t i, size_t at) {
  map_remove(i);
  MessageLiteral& lit = idx().lits[i];
  lit.alive = false;
  lit.keyed = false;
  lit.key.clear();
  lit.quote = lit.close = at;
  ++idx().dead;
}

void maybe_compact() {
  MessageIndex& x = idx();
  // Many removed literals: cheaper to rescan once than to keep shifting them.
  if (x.dead > 4096 && x.dead * 2 > x.lits.size()) x.valid = false;
}

bool plain_label(const std::string& label) {
  return label.find('"') == std::string::npos && label.find("\\0") == std::string::npos;
}

}  // namespace

size_t find_message_linear(const std::string& label) {
  const std::string& s = text();
  const size_t n = s.size();
  const size_t len = label.size();
  const std::string want = fold(label);
  size_t found = MSG_NONE;
  // The label is compared from the byte after the quote, wherever the
  // literal ends.
  scan_text(s, 0, [&](const TextPiece& piece) {
    if (piece.kind != PIECE_LITERAL) return 0;
    const size_t i = piece.begin;
    if (i + 1 + len + 2 > n) return 0;
    for (size_t k = 0; k < len; ++k)
      if (ascii_lower_char(s[i + 1 + k]) != want[k]) return 0;
    if (s[i + 1 + len] != '\\' || s[i + 2 + len] != '0') return 0;
    found = i + 1;
    return 1;
  });
  return found;
}

size_t find_message(const std::string& label) {
  if (!plain_label(label)) return find_message_linear(label);
  if (!idx().valid) build();
  auto it = idx().by_key.find(fold(label));
  if (it == idx().by_key.end() || it->second.empty()) return MSG_NONE;
  return idx().lits[it->second.front()].quote + 1;
}

void msg_index_invalidate() {
  ++g_msg.edits;
  MessageIndex& x = idx();
  x.valid = false;
  x.lits.clear();
  x.by_key.clear();
  x.dead = 0;
}

void msg_index_literal_edited(size_t quote, size_t old_close, size_t edit_end_old,
                              long long delta) {
  ++g_msg.edits;
  if (!idx().valid) return;
  const size_t i = locate(quote);
  if (i >= idx().lits.size() || edit_end_old > old_close) {
    msg_index_invalidate();
    return;
  }
  const size_t close = skip_literal(text(), quote + 1);
  if (static_cast<long long>(close) != static_cast<long long>(old_close) + delta) {
    // The literal now ends elsewhere: the rest of the text reads differently.
    msg_index_invalidate();
    return;
  }
  map_remove(i);
  MessageLiteral& lit = idx().lits[i];
  lit.close = close;
  compute_key(text(), &lit);
  map_add(i);
  if (delta != 0) shift_after(i, delta);
}

void msg_index_literal_removed(size_t quote, size_t removed) {
  ++g_msg.edits;
  if (!idx().valid) return;
  const size_t i = locate(quote);
  if (i >= idx().lits.size()) {
    msg_index_invalidate();
    return;
  }
  kill(i, quote);
  shift_after(i, -static_cast<long long>(removed));
  // A slash before the removed bytes now meets the byte after them and may
  // open a comment.
  if (quote > 0 && text()[quote - 1] == '/') {
    msg_index_invalidate();
    return;
  }
  maybe_compact();
}

void msg_index_before_tail_replaced(size_t e) {
  ++g_msg.edits;
  if (!idx().valid) return;
  std::vector<MessageLiteral>& v = idx().lits;
  // The last live literal before e must end before e, and the scanner must
  // reach e itself from there (not skip it inside a comment).
  auto it = std::lower_bound(v.begin(), v.end(), e,
                             [](const MessageLiteral& l, size_t p) { return l.quote < p; });
  size_t first_after = static_cast<size_t>(it - v.begin());
  size_t start = 0;
  for (size_t j = first_after; j-- > 0;) {
    if (!v[j].alive) continue;
    if (v[j].close >= e) {
      msg_index_invalidate();
      return;
    }
    start = v[j].close + 1;
    break;
  }
  // From there the scanner must meet e as a piece's first byte or inside
  // code: a comment around e would be skipped over, and a literal before e
  // is one the index does not know (cannot happen while it is valid).
  bool reached = e >= text().size();
  scan_text(text(), start, [&](const TextPiece& piece) {
    if (piece.begin >= e) {
      reached = piece.begin == e;
      return 1;
    }
    if (piece.kind == PIECE_LITERAL) {
      reached = false;
      return 1;
    }
    if (piece.end <= e) return 0;
    reached = piece.kind == PIECE_CODE;
    return 1;
  });
  if (!reached) {
    msg_index_invalidate();
    return;
  }
  for (size_t j = first_after; j < v.size(); ++j)
    if (v[j].alive) kill(j, e);
    else v[j].quote = v[j].close = e;
}

void msg_index_after_tail_replaced(size_t e) {
  if (!idx().valid) return;
  scan_from(e);
  maybe_compact();
}
