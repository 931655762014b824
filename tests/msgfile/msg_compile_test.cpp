// After edits the message file is still C that a compiler accepts, and the
// table holds the expected strings.
#include <unistd.h>

#include <cstdlib>

#include "msg_test_util.h"

using mt::MsgTest;

namespace {

bool have_gcc() { return std::system("gcc --version >/dev/null 2>&1") == 0; }

// Compiles msgs.c into a program that prints every "label|body" of the table
// and returns what it printed; "compile failed: ..." when gcc refused it.
// The program is built beside the product's executable, under a name of this
// process's own, because the temp folder may not allow running programs.
std::string print_table() {
  const std::string printer = std::string(VORN_EXE_DIR) + "/msg-printer-" + std::to_string(getpid());
  struct Removed {
    std::string path;
    ~Removed() { unlink(path.c_str()); }
  } removed{printer};
  vt::write_file("print.c",
                 "#include <stdio.h>\n#include <string.h>\n#include \"msgs.c\"\n"
                 "int main(void) {\n"
                 "  for (int i = 0; msgs[i]; ++i)\n"
                 "    printf(\"%s|%s\\n\", msgs[i], msgs[i] + strlen(msgs[i]) + 1);\n"
                 "  return 0;\n}\n");
  if (std::system(("gcc -std=c99 -Wall -Werror -o '" + printer + "' print.c >gcc.log 2>&1").c_str()) != 0)
    return "compile failed: " + vt::read_file("gcc.log");
  if (std::system(("'" + printer + "' >printed.txt").c_str()) != 0) return "run failed";
  return vt::read_file("printed.txt");
}

const char kMessages[] =
    "/* Messages of the program. */\r\n"
    "#define MSG_VERSION 2\r\n"
    "static char *msgs[] = {\r\n"
    "  \"hello\\0\\\r\nHello, world\",          // greeting\r\n"
    "  \"path\\0\\\r\nC:\\\\\",\r\n"
    "  \"quote\\0\\\r\nsay \\\"hi\\\"\",\r\n"
    "  \"old\\0\\\r\nto be removed\",\r\n"
    "#ifdef MSG_VERSION\r\n"
    "  \"file0\\0\\\r\n#############Open\\0o\",\r\n"
    "  \"file1\\0\\\r\n#############Save\\0s\",\r\n"
    "  \"file2\\0\\\r\n#############Quit\\0q\",\r\n"
    "#endif\r\n"
    "\r\n(char*)0\r\n\r\n};\r\n";

}  // namespace

TEST_F(MsgTest, EditedMessageFileStillCompiles) {
  if (!have_gcc()) GTEST_SKIP() << "no C compiler (gcc) on this machine to check the edited file with";
  const std::string script =
      "\"set:hello\\0Hi there, 1 2 3\",\r\n"
      "\"del:OLD\",\r\n"
      "\"ren:quote,said\",\r\n"
      "\"del_menu:file,Open\",\r\n"
      "\"set_menu:file,#############Help\\0h\",\r\n"
      "\"set:path\\0D:\\\\dir\\\\\",\r\n";
  for (const bool optimize : {false, true}) {
    vt::write_file("msgs.c", kMessages);
    vt::write_file("mod.txt", script + (optimize ? "\"optimize\"\r\n" : ""));
    std::string out;
    ASSERT_EQ(vt::run("vorn", {"-mfile:msgs.c", "-mmod:mod.txt"}, "", &out), 0) << out;
    EXPECT_EQ(out, "");
    // The menu items keep their order; set entries move to the end, and so
    // does the new menu item (the name read from its content is "elp").
    EXPECT_EQ(print_table(),
              "said|say \"hi\"\n"
              "file0|#############Save\n"
              "file1|#############Quit\n"
              "hello|Hi there, 1 2 3\n"
              "file2|#############Help\n"
              "path|D:\\dir\\\n")
        << vt::read_file("msgs.c");
  }
}
