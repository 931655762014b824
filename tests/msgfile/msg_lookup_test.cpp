// Lexical rules and lookup by label.
#include <random>
#include <string>
#include <vector>

#include "msg_test_util.h"

using mt::MsgTest;

TEST(MsgLexer, LiteralEndsAtFirstUnescapedQuote) {
  // text after the opening quote -> offset of the closing quote
  EXPECT_EQ(skip_literal("abc\" x", 0), 3u);
  EXPECT_EQ(skip_literal("a\\\"b\"", 0), 4u);          // a\"b"  : escaped quote
  EXPECT_EQ(skip_literal("a\\\\\"b\"", 0), 3u);        // a\\"   : ends after a double backslash
  EXPECT_EQ(skip_literal("a\\\\\\\"b\"", 0), 6u);      // a\\\"b"
  EXPECT_EQ(skip_literal("C:\\\\\",\"next\"", 0), 4u); // "C:\\" ends at its own quote
  EXPECT_EQ(skip_literal("no end", 0), 6u);
  EXPECT_EQ(skip_literal("ends in \\", 0), 9u);        // a lone backslash at the very end
}

TEST(MsgLexer, TextUnits) {
  struct Case {
    std::string s;
    size_t len;
  } cases[] = {
      {"a", 1},         {"\\123x", 4},   {"\\1234", 4},  {"\\12x", 3},   {"\\1x", 2},
      {"\\0", 2},       {"\\\r\nx", 3},  {"\\\n\rx", 3}, {"\\\r\rx", 2}, {"\\\nx", 2},
      {"\\nx", 2},      {"\\\\", 2},     {"\\", 1},      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(skip_text_unit(c.s, 0), c.len) << c.s;
}

// ---- the comment-and-literal scanner ----

std::vector<TextPiece> pieces_of(const std::string& s, size_t from = 0) {
  std::vector<TextPiece> out;
  scan_text(s, from, [&out](const TextPiece& p) {
    out.push_back(p);
    return 0;
  });
  return out;
}

// The loop each scanner of the tool was written as before they shared one:
// a comment or literal is known by its first bytes, and whatever lies
// between them is code.
std::vector<TextPiece> old_loop_pieces(const std::string& s) {
  std::vector<TextPiece> out;
  const size_t n = s.size();
  size_t i = 0, code = 0;
  bool in_code = false;
  auto piece = [&](TextPieceKind kind, size_t begin, size_t end, size_t close) {
    if (in_code) out.push_back({PIECE_CODE, code, begin, 0});
    in_code = false;
    out.push_back({kind, begin, end, close});
  };
  while (i < n) {
    const char c = s[i];
    if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      const size_t j = s.find("*/", i + 2);
      piece(PIECE_BLOCK_COMMENT, i, j == std::string::npos ? n : j, 0);
      i = out.back().end;
    } else if (c == '/' && i + 1 < n && s[i + 1] == '/') {
      const size_t j = s.find_first_of("\r\n", i);
      piece(PIECE_LINE_COMMENT, i, j == std::string::npos ? n : j, 0);
      i = out.back().end;
    } else if (c == '"') {
      const size_t close = skip_literal(s, i + 1);
      piece(PIECE_LITERAL, i, close < n ? close + 1 : n, close);
      if (close >= n) break;
      i = close + 1;
    } else {
      if (!in_code) code = i;
      in_code = true;
      ++i;
    }
  }
  if (in_code) out.push_back({PIECE_CODE, code, n, 0});
  return out;
}

std::string describe(const std::vector<TextPiece>& v) {
  static const char* const kNames[] = {"code", "block", "line", "literal"};
  std::string d;
  for (const TextPiece& p : v) {
    d += std::string(kNames[p.kind]) + "[" + std::to_string(p.begin) + "," +
         std::to_string(p.end) + ")";
    if (p.kind == PIECE_LITERAL) d += "close " + std::to_string(p.close);
    d += " ";
  }
  return d;
}

TEST(MsgScanner, TrickyTextsCutAsTheLoopsCutThem) {
  struct Case {
    std::string text;
    std::string pieces;
  } cases[] = {
      {"", ""},
      {"x\"a\\\"b\"y", "code[0,1) literal[1,7)close 6 code[7,8) "},  // escaped quote
      {"\"/*\"x", "literal[0,4)close 3 code[4,5) "},                   // "/*" inside a literal
      {"\"//\"", "literal[0,4)close 3 "},
      {"\"a\\\nb\"", "literal[0,6)close 5 "},            // backslash-newline inside a literal
      {"a\\\n//b", "code[0,3) line[3,6) "},               // ... and outside one
      {"\"abc\\", "literal[0,5)close 5 "},                // unterminated, ends in a backslash
      {"\"abc", "literal[0,4)close 4 "},
      {"x/* open \"a\"", "code[0,1) block[1,12) "},       // unterminated comment
      {"/*/ x */", "block[0,6) code[6,8) "},              // "/*/" does not close
      {"/* a */* b */c", "block[0,5) code[5,6) block[6,11) code[11,14) "},  // "*/*" reopens
      {"/**//x\ny", "block[0,2) code[2,3) line[3,6) code[6,8) "},          // "*//" opens a line comment
      {"// c\r\n\"d\"", "line[0,4) code[4,6) literal[6,9)close 8 "},
      {"a/", "code[0,2) "},
      {"'\"'", "code[0,1) literal[1,3)close 3 "},  // no character constants
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe(pieces_of(c.text)), c.pieces) << c.text;
    EXPECT_EQ(describe(old_loop_pieces(c.text)), c.pieces) << c.text;
  }
  // From a place inside the text; a visitor that answers other than 0 stops it.
  EXPECT_EQ(describe(pieces_of("\"a\" b /*c*/", 3)), "code[3,6) block[6,9) code[9,11) ");
  int visits = 0;
  auto stop_at_literal = [&visits](const TextPiece& p) {
    ++visits;
    return p.kind == PIECE_LITERAL ? 7 : 0;
  };
  EXPECT_EQ(scan_text("a\"b\"c\"d\"", 0, stop_at_literal), 7);
  EXPECT_EQ(visits, 2);
}

TEST(MsgScanner, AgreesWithTheOldLoopOnRandomTexts) {
  std::mt19937 rng(2026);
  const char alphabet[] = "/*\"\\\r\n a0";
  for (int round = 0; round < 20000; ++round) {
    std::string s(rng() % 24, ' ');
    for (char& c : s) c = alphabet[rng() % (sizeof alphabet - 1)];
    const std::vector<TextPiece> got = pieces_of(s);
    ASSERT_EQ(describe(got), describe(old_loop_pieces(s))) << s;
    // The pieces follow one another without gap, to the end of the text.
    size_t at = 0;
    for (const TextPiece& p : got) {
      ASSERT_EQ(p.begin, at) << s;
      ASSERT_GT(p.end, p.begin) << s;
      at = p.end;
    }
    ASSERT_EQ(at, s.size()) << s;
  }
}

TEST_F(MsgTest, LookupFoldsCaseAndNeedsTheSeparator) {
  set_text(mt::table({mt::entry("helpme", "x"), mt::entry("help ", "y"), mt::entry("Help", "z"),
                      mt::entry("ab", "w")}));
  const size_t help = text().find("\"Help\\0") + 1;
  EXPECT_EQ(find_message("HELP"), help);
  EXPECT_EQ(find_message("help"), help);
  EXPECT_EQ(find_message("hel"), MSG_NONE);
  EXPECT_EQ(find_message("helpme"), text().find("helpme"));
  EXPECT_EQ(find_message("a"), MSG_NONE);  // "ab\0" only begins with a
  EXPECT_EQ(find_message("missing"), MSG_NONE);
}

TEST_F(MsgTest, LookupSkipsCommentsAndLiteralsLexically) {
  const std::string t =
      "/* \"x\\0in block\" */ // \"x\\0in line\"\r\n"
      "\"not \\\"x\\0 an entry\",\r\n"   // an escaped quote does not end the literal
      "\"C:\\\\\",\"y\\0first y\",\r\n"  // "C:\\" ends at its last quote
      "/* a *//\"x\\0hidden\"\r\n"      // the closing slash opens a line comment
      "/* a */* \"x\\0hidden too\" */"  // ... or a block comment with '*'
      "\"x\\0found\",\r\n";
  set_text(t);
  EXPECT_EQ(find_message("x"), t.find("x\\0found"));
  EXPECT_EQ(find_message("y"), t.find("y\\0first"));
  EXPECT_EQ(find_message_linear("x"), t.find("x\\0found"));
  // An unterminated block comment hides the rest.
  set_text("/* open \"x\\0a\"");
  EXPECT_EQ(find_message("x"), MSG_NONE);
}

TEST_F(MsgTest, EmptyTextAndEmptyLabel) {
  set_text("");
  EXPECT_EQ(find_message("a"), MSG_NONE);
  EXPECT_EQ(find_message(""), MSG_NONE);
  set_text("\"abc\",\"\\0body\",\"\\0second\"");
  EXPECT_EQ(find_message(""), 7u);
}

TEST_F(MsgTest, DuplicateLabelsActOnTheFirstOnly) {
  set_text(mt::table({mt::entry("dup", "one"), mt::entry("DUP", "two")}));
  const std::string before = text();
  EXPECT_EQ(find_message("dup"), before.find("dup"));
  ASSERT_EQ(rename_message("Dup", "new"), 0);
  EXPECT_EQ(find_message("dup"), text().find("DUP"));
  delete_message("dup");
  EXPECT_EQ(text().find("DUP"), std::string::npos);
  EXPECT_NE(text().find("new\\0"), std::string::npos);
}

// The index must answer exactly as a scan of the text from its start, through
// any sequence of edits, including ones that change how the text reads
// (labels with quotes, backslashes and slashes, literals left open).
TEST_F(MsgTest, IndexAgreesWithPlainScanThroughRandomEdits) {
  std::mt19937 rng(12345);
  const std::vector<std::string> labels = {"a", "B", "ab", "a\\", "x/", "q\"", "", "c*", "d\\\\"};
  const std::vector<std::string> bodies = {"text", "1", "with, comma", "/", "\\\\", "*", "\\"};
  auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
  for (int round = 0; round < 40; ++round) {
    set_text(mt::table({mt::entry("a", "x"), mt::entry("b", "y"), "/* c */",
                        mt::entry("A", "dup")}));
    for (int step = 0; step < 30; ++step) {
      const int op = static_cast<int>(rng() % 6);
      std::string sink;
      sink = captured([&] {
        if (op == 0) delete_message(pick(labels));
        else if (op == 1) append_message(pick(labels), pick(bodies));
        else if (op == 2) rename_message(pick(labels), pick(labels));
        else if (op == 3) set_menu_item(pick(labels), "12345678901234" + pick(bodies) + "\\0r");
        else if (op == 4) delete_menu_item(pick(labels), pick(bodies));
        else rename_menu_item(pick(labels), pick(bodies), pick(bodies));
      });
      for (const std::string& l : labels) {
        for (const std::string& probe : {l, l + "0", l + "1"}) {
          ASSERT_EQ(find_message(probe), find_message_linear(probe))
              << "round " << round << " step " << step << " label " << probe << "\n"
              << text();
        }
      }
    }
  }
}

// Edits that change how the rest of the text reads; lookups answer for the
// text as it now is.
TEST_F(MsgTest, LookupFollowsEditsThatChangeHowTheTextReads) {
  // Removing the entry between two slashes makes them a line comment.
  set_text("{/\"a\\0x\",/\"b\\0y\",\r\n\"c\\0z\",(char*)0};");
  ASSERT_NE(find_message("b"), MSG_NONE);
  delete_message("a");
  EXPECT_EQ(find_message("b"), MSG_NONE);
  EXPECT_EQ(find_message("c"), text().find("c\\0z"));

  // An end marker inside a comment: the appended entry is commented out.
  set_text("{\"a\\0x\",(char*)0}; /* (char*)0}; */");
  ASSERT_NE(find_message("a"), MSG_NONE);
  ASSERT_EQ(append_message("n", "body"), 0);
  EXPECT_EQ(find_message("n"), MSG_NONE);
  EXPECT_EQ(find_message("a"), 2u);

  // A renamed label that holds a quote ends its literal early.
  set_text("{\"a\\0x\",\"b\\0y\",(char*)0};");
  ASSERT_NE(find_message("b"), MSG_NONE);
  ASSERT_EQ(rename_message("a", "q\"\\0"), 0);
  EXPECT_EQ(find_message("q"), find_message_linear("q"));
  EXPECT_EQ(find_message("b"), find_message_linear("b"));
  EXPECT_EQ(find_message("b"), MSG_NONE);  // now inside the literal that starts at ","
}
