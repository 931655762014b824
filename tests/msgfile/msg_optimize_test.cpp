// The optimizer's two passes.
#include "msg_test_util.h"

using mt::MsgTest;

namespace {
std::string optimized(const std::string& t) {
  g_msg.text = t;
  msg_index_invalidate();
  optimize_message_text();
  return g_msg.text;
}
}  // namespace

TEST_F(MsgTest, OptimizeLeavesCompactTextAlone) {
  const std::string t = "{\"a\\0x y\",\"b\\0\\t z\",(char*)0};";
  EXPECT_EQ(optimized(t), t);
  EXPECT_EQ(optimized(""), "");
}

TEST_F(MsgTest, OptimizeJoinsLinesPastFiveHundredBytes) {
  // Ten lines of 100 bytes and a CR LF each: after five lines the count is
  // exactly 500, which is not enough; after six it is 600.
  std::string t;
  std::vector<std::string> lines;
  for (int i = 0; i < 10; ++i) {
    std::string line = "\"" + std::string(97, static_cast<char>('a' + i)) + "\",";
    line += "\r\n";
    ASSERT_EQ(line.size(), 102u);
    lines.push_back(line.substr(0, 100));
    t += line;
  }
  std::string want;
  for (int i = 0; i < 6; ++i) want += lines[i];
  want += "\r\n";
  for (int i = 6; i < 10; ++i) want += lines[i];
  EXPECT_EQ(optimized(t), want);
}

TEST_F(MsgTest, OptimizeKeepsTheFormOfTheKeptLineBreak) {
  for (const char* br : {"\r\n", "\n\r", "\r", "\n"}) {
    const std::string line = "\"" + std::string(600, 'x') + "\"";
    // Runs of blank lines collapse to the last break, which is kept after 600 bytes.
    EXPECT_EQ(optimized(line + br + br + br + line + br), line + br + line + br);
  }
}

TEST_F(MsgTest, OptimizeRemovesCommentsBlanksAndContinuations) {
  const std::string t =
      "static char *msgs[] = { // the table\r\n"
      "/* a \"quote\" in a comment */\r\n"
      "\"one\\0\\\r\nbody with  spaces\",\r\n"
      "\t\"two\\0\\\r\n1 starts with a digit\",\r\n"
      "\"three\\0\\\n\r9\",\r\n"
      "\"path\\\\0\\\r\n1\",\r\n"
      "(char*)0\r\n};\r\n";
  EXPECT_EQ(optimized(t),
            "static char*msgs[]={\"one\\0body with  spaces\",\"two\\0001 starts with a digit\","
            "\"three\\0009\",\"path\\\\01\",(char*)0};");
}

TEST_F(MsgTest, OptimizeKeepsIdentifiersApart) {
  EXPECT_EQ(optimized("static   const\r\nchar/**/x;\r\nint\ty;"), "static const char x;int y;");
  // A removed line break between identifiers leaves a space but does not count.
  std::string t = std::string(300, 'a') + "\r\n" + std::string(300, 'b') + "\r\nc";
  EXPECT_EQ(optimized(t), std::string(300, 'a') + " " + std::string(300, 'b') + "\r\nc");
}

TEST_F(MsgTest, OptimizeNeverFusesOperatorsOrOpensComments) {
  // Joined, these would read as "--", "++", "<<", "&&" or start a comment.
  EXPECT_EQ(optimized("int a = b - -c + +d < <e & &f / *p;"),
            "int a=b- -c+ +d< <e& &f/ *p;");
  EXPECT_EQ(optimized("x = y /\r\n/ z;"), "x=y/ /z;");
  // Operators that cannot fuse are still joined.
  EXPECT_EQ(optimized("a = ( b ) * c ;"), "a=(b)*c;");
}

TEST_F(MsgTest, OptimizeKeepsDirectivesOnLinesOfTheirOwn) {
  // After a comma, after an opening brace, indented, at the very start.
  const std::string t =
      "#include <x.h>\r\n"
      "char *m[] = {\r\n"
      "#ifdef  A\r\n"
      "\"a\\0x\",\r\n"
      "#endif\r\n"
      "\"b\\0y\",\n"
      "   #define  Z  1\n"
      "(char*)0};";
  EXPECT_EQ(optimized(t),
            "#include <x.h>\r\n"
            "char*m[]={\r\n"
            "#ifdef  A\r\n"
            "\"a\\0x\",\r\n"
            "#endif\r\n"
            "\"b\\0y\",\r\n"
            "#define Z 1\n"
            "(char*)0};");
}

TEST_F(MsgTest, OptimizeNeverTakesAHashInALiteralForADirective) {
  const std::string t = "{\"a\\0x,#not a directive\",\r\n\"b\\0\\\",#nor this\"};";
  EXPECT_EQ(optimized(t), "{\"a\\0x,#not a directive\",\"b\\0\\\",#nor this\"};");
}

// Directives continued over several lines with a trailing backslash.

TEST_F(MsgTest, OptimizeKeepsContinuedDirectiveLinesTogether) {
  // The macro body runs over two continuation lines; the declaration after
  // it must not be joined onto the macro's last line.
  const std::string t =
      "#define PICK(i) \\\r\n  (msgs[i]) \\\r\n  + 0\r\n"
      "static char *msgs[] = {\r\n\"a\\0\\\r\nx\",\r\n(char*)0\r\n};\r\n";
  const std::string once = optimized(t);
  EXPECT_EQ(once,
            "#define PICK(i) \\\r\n  (msgs[i]) \\\r\n  + 0\r\n"
            "static char*msgs[]={\"a\\0x\",(char*)0};");
  // Optimizing the result again changes nothing.
  EXPECT_EQ(optimized(once), once);
}

TEST_F(MsgTest, OptimizeContinuedDirectiveWithEveryLineBreakForm) {
  for (const std::string br : {"\r\n", "\n\r", "\r", "\n"}) {
    const std::string t = "{\"a\\0x\",\r\n#define M 1 \\" + br + "  + 2" + br + "int y;";
    EXPECT_EQ(optimized(t), "{\"a\\0x\",\r\n#define M 1 \\" + br + "  + 2" + br + "int y;")
        << "line break " << static_cast<int>(br[0]) << " " << br.size();
  }
  // A directive line without a trailing backslash ends at its line break.
  EXPECT_EQ(optimized("#define N 2\r\nint  z;"), "#define N 2\r\nint z;");
}

TEST_F(MsgTest, ContinuedDirectiveSurvivesAWholeScriptRun) {
  g_msg.text =
      "#define COUNT \\\r\n  2\r\nstatic char *m[] = {\r\n\"a\\0x\",\r\n(char*)0\r\n};\r\n";
  msg_index_invalidate();
  std::string out;
  ASSERT_EQ(run_script("\"set:b\\0y\",\"optimize\",\"del:a\"", &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(g_msg.text, "#define COUNT \\\r\n  2\r\nstatic char*m[]={\"b\\0y\",(char*)0};");
}
