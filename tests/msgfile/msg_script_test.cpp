// The change-script scanner, its diagnostics and the set, del, ren and
// optimize commands.
#include "msg_test_util.h"

using mt::entry;
using mt::MsgTest;
using mt::table;

TEST_F(MsgTest, ScriptWithoutCommandsChangesNothing) {
  const std::string t = table({entry("a", "x")});
  for (const std::string& script :
       {std::string(""), std::string("just text, commas\r\n"),
        std::string("/* \"del:a\" */ // \"del:a\"\n"), std::string("/* \"del:a\" *//\"del:a\""),
        std::string("/* \"del:a\" */* \"del:a\" */")}) {  // "*/*" opens another comment
    set_text(t);
    std::string out;
    EXPECT_EQ(run_script(script, &out), 0) << script;
    EXPECT_EQ(out, "");
    EXPECT_EQ(text(), t);
  }
}

TEST_F(MsgTest, DiagnosticsCountEveryKindOfLineBreak) {
  struct Case {
    std::string breaks;  // two line breaks before the bad command
    int line;
  } cases[] = {{"\r\n\r\n", 3}, {"\n\r\n\r", 3}, {"\r\r", 3}, {"\n\n", 3},
               {"\r\n\n\r", 3}, {"\n\r\r\n", 3}, {"\r\n\r", 3},
               {"\r\n\r\r\n", 4}, {"\n\n\n", 4}};
  for (const Case& c : cases) {
    set_text(table({}));
    std::string out;
    EXPECT_EQ(run_script("\"optimize\"," + c.breaks + "\"SET:a\\0b\"", &out), -1);
    EXPECT_EQ(out, "mod.txt: line " + std::to_string(c.line) +
                       ": unrecognized change command type\n");
  }
}

TEST_F(MsgTest, EveryCommandRejectsMalformedArguments) {
  struct Case {
    std::string command;
    std::string message;
  } cases[] = {
      {"set:nolabel", "set must have '\\0' separator between label and message body"},
      {"set:a,b\\0c", "set must have '\\0' separator between label and message body"},
      {"del:a,b", "del must have label specification only"},
      {"del:a\\0", "del must have label specification only"},
      {"ren:ab", "ren must have label,label specification only"},
      {"ren:a,b\\0", "ren must have label,label specification only"},
      {"ren:a\\0,b", "ren must have label,label specification only"},
      {"set_menu:m", "set_menu must have menu set name and content"},
      {"set_menu:m\\0,x", "set_menu must have menu set name and content"},
      {"del_menu:m", "del_menu must have menu set name and label only"},
      {"ren_menu:m,a", "ren_menu must have menu set name, existing name and new name only"},
      {"ren_menu:m\\0,a,b", "ren_menu must have menu set name, existing name and new name only"},
      {"optimize ", "optimize must have no parameters"},
      {"optimizex", "optimize must have no parameters"},
      {"Set:a\\0b", "unrecognized change command type"},
      {"", "unrecognized change command type"},
  };
  const std::string t = table({entry("a", "x")});
  for (const Case& c : cases) {
    set_text(t);
    std::string out;
    // The first command runs; the bad one on line 2 stops the script there.
    EXPECT_EQ(run_script("\"del:a\",\r\n\"" + c.command + "\",\r\n\"set:late\\0x\"", &out), -1)
        << c.command;
    EXPECT_EQ(out, "mod.txt: line 2: " + c.message + "\n") << c.command;
    EXPECT_EQ(find_message("a"), MSG_NONE);
    EXPECT_EQ(find_message("late"), MSG_NONE) << c.command;
  }
}

TEST_F(MsgTest, SetMovesTheEntryToTheEndWithItsNewBody) {
  set_text(table({entry("first", "1"), entry("mid", "old"), entry("last", "3")}));
  std::string out;
  ASSERT_EQ(run_script("\"set:MID\\0new, with commas\"", &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(text(), "static char *msgs[] = {\r\n" + entry("first", "1") + "\r\n" +
                        entry("last", "3") + "\r\n" + entry("MID", "new, with commas") +
                        "\r\n(char*)0\r\n\r\n};\r\n");
}

TEST_F(MsgTest, SetBodyIsNotLimitedByTheWorkCopy) {
  set_text(table({}));
  const std::string body(3000, 'b');
  std::string out;
  ASSERT_EQ(run_script("\"set:long\\0" + body + "\"", &out), 0);
  const size_t pos = find_message("long");
  ASSERT_NE(pos, MSG_NONE);
  EXPECT_EQ(text().substr(pos, 9 + body.size() + 1), "long\\0\\\r\n" + body + "\"");
}

TEST_F(MsgTest, WorkCopyCutsSeparatorsAfter999Bytes) {
  set_text(table({entry("a", "x")}));
  std::string out;
  // The "\0" starts at byte 998: its '0' falls outside the work copy.
  EXPECT_EQ(run_script("\"set:" + std::string(998, 'l') + "\\0body\"", &out), -1);
  EXPECT_EQ(out, "mod.txt: line 1: set must have '\\0' separator between label and message body\n");
  // A del whose comma lies past byte 999 is a del of the first 999 bytes.
  const std::string label(999, 'q');
  set_text(table({entry(label, "x"), entry("keep", "y")}));
  ASSERT_EQ(run_script("\"del:" + label + ",ignored\"", &out), 0);
  EXPECT_EQ(find_message(label), MSG_NONE);
  EXPECT_NE(find_message("keep"), MSG_NONE);
}

TEST_F(MsgTest, SetFailsWhenTheTableHasNoEnd) {
  set_text("\"a\\0x\",");
  std::string out;
  EXPECT_EQ(run_script("\r\n\"set:a\\0y\"", &out), -1);
  EXPECT_EQ(out, "unable to find proper end of message file\nmod.txt: line 2: unable to set message\n");
}

TEST_F(MsgTest, RenameCommand) {
  set_text(table({entry("old", "x"), entry("other", "y")}));
  std::string out;
  ASSERT_EQ(run_script("\"ren:OLD,new,with comma\"", &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_NE(find_message("new,with comma"), MSG_NONE);
  EXPECT_EQ(find_message("old"), MSG_NONE);
  EXPECT_EQ(run_script("\n\n\"ren:nothere,x\"", &out), -1);
  EXPECT_EQ(out, "unable to find message nothere\nmod.txt: line 3: unable to rename item\n");
}

TEST_F(MsgTest, CommandLiteralsFollowTheEscapeRule) {
  set_text(table({entry("p", "x")}));
  std::string out;
  // The body ends in an escaped backslash; the next literal is a command of its own.
  ASSERT_EQ(run_script("\"set:p\\0C:\\\\\",\"set:q\\0\\\"quoted\\\"\"", &out), 0);
  EXPECT_NE(text().find("\"p\\0\\\r\nC:\\\\\","), std::string::npos) << text();
  EXPECT_NE(text().find("\"q\\0\\\r\n\\\"quoted\\\"\","), std::string::npos) << text();
}
