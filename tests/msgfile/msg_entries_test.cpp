// Removing, appending and renaming entries; the end marker.
#include "msg_test_util.h"

using mt::MsgTest;

TEST_F(MsgTest, DeleteRemovesLiteralAndOneComma) {
  set_text("{\"a\\0one\",, \"b\\0two\",\r\n\"c\\0three\"};");
  delete_message("A");
  EXPECT_EQ(text(), "{, \"b\\0two\",\r\n\"c\\0three\"};");
  delete_message("c");  // no comma after it
  EXPECT_EQ(text(), "{, \"b\\0two\",\r\n};");
  delete_message("zz");  // nothing happens, nothing printed
  EXPECT_EQ(text(), "{, \"b\\0two\",\r\n};");
  // An unclosed literal goes to the end of the text.
  set_text("x \"a\\0open, b");
  delete_message("a");
  EXPECT_EQ(text(), "x ");
}

TEST_F(MsgTest, DeleteOfBodyEndingInEscapedBackslashKeepsNextEntry) {
  set_text("{\"path\\0C:\\\\\",\"next\\0n\",(char*)0};");
  delete_message("path");
  EXPECT_EQ(text(), "{\"next\\0n\",(char*)0};");
}

TEST_F(MsgTest, AppendReplacesEndMarkerWithEntryLayout) {
  set_text("static char *m[] = {\n\"a\\0x\",\n(char*)0\n};\n// end of table\n");
  ASSERT_EQ(append_message("new", "Body, text"), 0);
  EXPECT_EQ(text(),
            "static char *m[] = {\n\"a\\0x\",\n"
            "\"new\\0\\\r\nBody, text\",\r\n\r\n(char*)0\r\n\r\n};\r\n");
  EXPECT_EQ(find_message("NEW"), text().find("new"));
}

TEST_F(MsgTest, EndMarkerToleratesSpacingAndNeedsEveryByte) {
  set_text("{\"a\\0x\", ( char * ) 0 , } ;");
  ASSERT_EQ(append_message("b", "y"), 0);
  EXPECT_EQ(text(), "{\"a\\0x\", \"b\\0\\\r\ny\",\r\n\r\n(char*)0\r\n\r\n};\r\n");

  for (const std::string& bad : {std::string(""), std::string("(char*)0};"),  // '(' is the first byte
                                std::string("x(char*)0}"), std::string("x(chr*)0};"),
                                std::string("x(char*)O};")}) {
    set_text(bad);
    std::string out = captured([] { EXPECT_EQ(append_message("l", "b"), -1); });
    EXPECT_EQ(out, "unable to find proper end of message file\n") << bad;
    EXPECT_EQ(text(), bad);
  }
}

TEST_F(MsgTest, RenameGrowsAndShrinksInPlace) {
  const std::string tail = "\\0\\\r\nbody\",\r\n\"next\\0n\",\r\n(char*)0};";
  set_text("{\"ab" + tail);
  ASSERT_EQ(rename_message("AB", "a_much_longer_label"), 0);
  EXPECT_EQ(text(), "{\"a_much_longer_label" + tail);
  ASSERT_EQ(rename_message("a_much_longer_label", "z"), 0);
  EXPECT_EQ(text(), "{\"z" + tail);
  EXPECT_EQ(find_message("next"), text().find("next"));
  // Renaming onto another entry's label is allowed: both carry it.
  ASSERT_EQ(rename_message("z", "next"), 0);
  EXPECT_EQ(find_message("next"), 2u);
  std::string out = captured([] { EXPECT_EQ(rename_message("gone", "x"), -1); });
  EXPECT_EQ(out, "unable to find message gone\n");
}
