// Optimize on directives continued over
// several lines with a trailing backslash.
#include "msg_test_util.h"

namespace {

using mt::MsgTest;

std::string optimize_text(const std::string& t) {
  g_msg.text = t;
  msg_index_invalidate();
  optimize_message_text();
  return g_msg.text;
}

TEST_F(MsgTest, OptimizeKeepsContinuedDirectiveLinesTogether) {
  // The macro body runs over two continuation lines; the declaration after
  // it must not be joined onto the macro's last line.
  const std::string t =
      "#define PICK(i) \\\r\n  (msgs[i]) \\\r\n  + 0\r\n"
      "static char *msgs[] = {\r\n\"a\\0\\\r\nx\",\r\n(char*)0\r\n};\r\n";
  const std::string once = optimize_text(t);
  EXPECT_EQ(once,
            "#define PICK(i) \\\r\n  (msgs[i]) \\\r\n  + 0\r\n"
            "static char*msgs[]={\"a\\0x\",(char*)0};");
  // Optimizing the result again changes nothing.
  EXPECT_EQ(optimize_text(once), once);
}

TEST_F(MsgTest, OptimizeContinuedDirectiveWithEveryLineBreakForm) {
  for (const std::string br : {"\r\n", "\n\r", "\r", "\n"}) {
    const std::string t = "{\"a\\0x\",\r\n#define M 1 \\" + br + "  + 2" + br + "int y;";
    EXPECT_EQ(optimize_text(t), "{\"a\\0x\",\r\n#define M 1 \\" + br + "  + 2" + br + "int y;")
        << "line break " << static_cast<int>(br[0]) << " " << br.size();
  }
  // A directive line without a trailing backslash ends at its line break.
  EXPECT_EQ(optimize_text("#define N 2\r\nint  z;"), "#define N 2\r\nint z;");
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

}  // namespace
