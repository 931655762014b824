// msg_internal.h -- the message-file tool's own records and routines, shared
// by the files of src/msgfile (and the tool's tests); the driver sees only
// msgfile/msgfile.h.
//
// The message text is a C source file held as one byte string.  The tool never
// parses it: it finds, removes and inserts entries by scanning with three
// lexical rules (block comments, line comments, string literals), all in one
// scanner (scan_text).  A message entry is a string literal whose text starts
// with a label followed by the two bytes backslash and '0' (the separator);
// the bytes after the separator up to the closing quote are the body.
//
// Literals follow C's escape rule everywhere: inside a literal a backslash
// always takes the next byte with it, so "C:\\" ends at its last quote.
// Neither text ever holds a NUL byte (files holding one are refused), so the
// end of a std::string plays the part of the terminating NUL.
#ifndef VORN_MSG_INTERNAL_H
#define VORN_MSG_INTERNAL_H

#include <cstddef>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "msgfile/msgfile.h"

// "No position": what find_message answers when no entry matches.
constexpr size_t MSG_NONE = static_cast<size_t>(-1);

// One string literal of the message text as the lookup scanner visits it.
struct MessageLiteral {
  size_t quote = 0;   // opening quote
  size_t close = 0;   // closing quote, or the text length when unclosed
  std::string key;    // lower-cased bytes before the body's first "\0"
  bool keyed = false; // the literal holds a "\0" at all
  bool alive = true;  // false once the literal was removed or cut off
};

// Lookup index over the message text: every literal the lookup scanner visits,
// and the literals of each lower-cased label in text order.  Kept up to date
// by the edits where they cannot change how the rest of the text is read;
// otherwise marked invalid and rebuilt by one scan at the next lookup.
struct MessageIndex {
  bool valid = false;
  size_t dead = 0;
  std::vector<MessageLiteral> lits;  // in text order
  std::unordered_map<std::string, std::vector<size_t>> by_key;  // -> lits indexes, ascending
};

// What the menu commands know about the items of one set, so that a run of
// set_menu commands does not walk set0, set1, ... once per command.  Valid
// while `generation` equals the message state's edit count (any edit by
// another command, or one whose effect reaches past its own item, makes the
// walk start afresh).
struct MenuCache {
  bool valid = false;
  unsigned long long generation = 0;
  std::string set;                 // the set name, as given
  long long next_free = 0;         // set0 .. set(next_free - 1) exist, set(next_free) not
  std::unordered_map<std::string, long long> first_by_name;  // item name -> smallest number
};

// The tool's process-wide state, owned by the tool and released by
// free_message_buffers.
struct MessageState {
  std::string text;         // the message file's bytes (no terminator stored)
  std::string script;       // the change script's bytes
  std::string text_path;    // the text after "-mfile:"
  std::string script_path;  // the text after "-mmod:"
  int loaded = 0;           // 1: message file loaded, 2: change script too
  MessageIndex index;       // lookup index over `text`
  unsigned long long edits = 0;  // counts every edit of `text` (index upkeep calls)
  MenuCache menu;           // menu items of the set the last set_menu used
};

// The tool's texts for the run (one per process).
extern MessageState g_msg;

// ---- loading ----------------------------------------------------------------

// Reads the whole file into *out.  `writable`: open for reading and writing
// (the message file) instead of reading only (the change script).  0 or -1
// after printing one of load_message_file's messages; *out is empty on
// failure.
int load_text_file(const char* path, bool writable, std::string* out);

// ---- lexical rules (both texts) ---------------------------------------------

// From `pos` (the byte after an opening quote), the position of the closing
// quote: a backslash takes the next byte with it.  s.size() when unclosed.
size_t skip_literal(const std::string& s, size_t pos);

// Position after one text unit at `pos`: one byte; a backslash with up to
// three digits; backslash CR LF or backslash LF CR (3); a backslash and any
// other byte (2).  At the end of s, pos itself.
size_t skip_text_unit(const std::string& s, size_t pos);

// Line comment at `pos` ("//"): the position of the next CR or LF, or s.size().
size_t skip_line_comment(const std::string& s, size_t pos);

// ---- the comment-and-literal scanner -------------------------------------------
//
// scan_text cuts a text, from a place it reaches outside comments and
// literals, into pieces that follow one another without gap, and hands each
// to a visitor in text order.  The rules, the same for the message text and
// the change script:
//  - "/*" opens a block comment; it runs to the next "*/" found from the byte
//    after the "/*" (so "/*/" does not close it), and the scanner goes on at
//    that '*': the closing "*/" is read again as code, so "*/*" opens another
//    block comment and "*//" a line comment.  Unterminated: to the end.
//  - "//" opens a line comment, which runs to the next CR or LF (the line
//    break itself is code), or to the end.
//  - '"' opens a literal, which ends at its closing quote (skip_literal: a
//    backslash takes the next byte with it, line breaks included), or at the
//    end when unclosed.
//  - every other byte is code; code bytes next to each other form one piece.
// Nothing else is known: no character constants, no line continuations
// outside literals.

enum TextPieceKind {
  PIECE_CODE = 0,
  PIECE_BLOCK_COMMENT = 1,
  PIECE_LINE_COMMENT = 2,
  PIECE_LITERAL = 3,
};

struct TextPiece {
  TextPieceKind kind = PIECE_CODE;
  size_t begin = 0;  // its first byte ("/" of a comment, the opening quote)
  size_t end = 0;    // where the scanner goes on: the next piece's begin, or s.size()
  size_t close = 0;  // PIECE_LITERAL: the closing quote, or s.size() when unclosed
};

// The visitor: 0 to go on, any other value to stop the scan with it.
using TextVisitor = int (*)(const TextPiece& piece, void* context);

// Scans s from `from` to its end (nothing when from >= s.size()).  Returns 0
// when the text ran out, or the first value other than 0 a visit answered
// (the scan stops there).  Allocates nothing.
int scan_text(const std::string& s, size_t from, TextVisitor visit, void* context);

// The same with any callable `int(const TextPiece&)` as the visitor.
template <class Visit>
int scan_text(const std::string& s, size_t from, Visit visit) {
  return scan_text(
      s, from,
      [](const TextPiece& piece, void* context) -> int {
        return (*static_cast<Visit*>(context))(piece);
      },
      static_cast<void*>(&visit));
}

// ---- lookup and entry edits on the message text --------------------------------

// Position of the label's first byte (the byte after the opening quote) in the
// first entry, in text order, whose text starts with `label` (ASCII letters
// compared without regard to case) directly followed by "\0".  MSG_NONE when
// there is none.  Valid until the next edit.
size_t find_message(const std::string& label);

// The same answer by a plain scan of the text from its start, without the
// index (for checks of the index).
size_t find_message_linear(const std::string& label);

// Removes the first entry with `label`: from its opening quote through its
// closing quote (to the end when unclosed) and one comma right after it.
// Nothing happens when there is no such entry.
void delete_message(const std::string& label);

// Replaces the end marker ("(char*)0" ... "};", found backwards from the end)
// and everything after it by a new entry and a new end marker, CR LF line
// breaks.  -1 after "unable to find proper end of message file\n" or
// "out of memory\n" (text unchanged).
int append_message(const std::string& label, const std::string& body);

// Replaces the first entry's label bytes by `new_label` (any bytes).  -1 after
// "unable to find message %s\n" or "out of memory" (no line break).
int rename_message(const std::string& old_label, const std::string& new_label);

// Prints "%s: line %d: %s\n" with the change script path, the line of `pos`
// in the change script (CR LF, LF CR, CR and LF each end one line) and `msg`.
void report_script_error(size_t pos, const std::string& msg);

// ---- menu sets (entries labelled set0, set1, ...) -------------------------------
//
// A menu command that finds nothing to do, or fails, leaves the text as it
// was; the change script goes on after it all the same (only its own
// messages, if any, tell of it).

// Replaces the body of the item whose name (after 14 text units of its body)
// equals the item name in `content`, or appends `content` as the next free
// number.  0; -1 when the content has no item name (nothing is done), or
// when an edit failed (after "out of memory\n" or append_message's message;
// text unchanged).  A run of set_menu commands on one set costs one
// walk of its items in all (the menu cache), not one per command.
int set_menu_item(const std::string& set, const std::string& content);

// Removes the item named `item` (with the commas and line breaks after it)
// and renumbers the items after it down by one.  0; -1 when there is no such
// item, or after "out of memory\n" (text unchanged).
int delete_menu_item(const std::string& set, const std::string& item);

// Replaces the item name `item` by `new_name` and prints "anme changed\n".
// 0; -1 after "fail 2 (num=%d)\n" (no such item), "fail 1\n" (an item
// without a separator comes first) or "out of memory\n" (text unchanged).
int rename_menu_item(const std::string& set, const std::string& item,
                     const std::string& new_name);

// ---- optimizer ------------------------------------------------------------------

// Compacts the message text in two passes: comments, blanks outside literals
// and line continuations go, then lines are joined until each holds more than
// 500 bytes.  Directive lines keep lines of their own; identifier characters
// that were apart stay one space apart.
void optimize_message_text();

// ---- index upkeep (called by every edit of the message text) ------------------------
//
// Each call counts one edit (g_msg.edits, which the menu cache watches).

// The text changed in a way the index cannot follow: it is dropped and rebuilt
// by one scan at the next lookup.
void msg_index_invalidate();
// Literal at `quote` was edited inside [edit_begin, edit_end_old) of the old
// text, whose length changed by delta; old_close its closing quote before.
// The index follows when the literal still ends where the edit moved its end
// and the edit stayed inside it; otherwise it is dropped.
void msg_index_literal_edited(size_t quote, size_t old_close, size_t edit_end_old,
                              long long delta);
// Literal at `quote` and what followed it, `removed` bytes, were removed.
// Dropped when a '/' before the removed bytes could now open a comment.
void msg_index_literal_removed(size_t quote, size_t removed);
// Before the text from `e` on is replaced: checks that the lookup scanner
// reaches `e` outside comments and literals and forgets the literals from `e`
// (drops the index when it does not).
void msg_index_before_tail_replaced(size_t e);
// After the tail from `e` on was written: indexes its literals.
void msg_index_after_tail_replaced(size_t e);

#endif
