// Lexical rules and lookup by label.
#include <random>

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
