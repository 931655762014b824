// The cap on the whole expansion of argument files: tokens (each "@name"
// included) and bytes read (a file read again counts again).
#include <gtest/gtest.h>

#include <string>

#include "base/failure.h"
#include "driver/driver.h"

#include "support/scratch.h"
#include "support/support.h"

namespace {

class ArgumentLimitsTest : public vt::Scratch {
 protected:
  // The failure reason recorded, whether it begins with `what`.
  static bool reason_is(const std::string& what) { return failure_text().rfind(what, 0) == 0; }
};

// Files that each name the next one twice: 2^40 tokens unless capped.
TEST_F(ArgumentLimitsTest, DoublingChainsEndAtTheTokenCap) {
  for (int i = 0; i < 40; ++i)
    vt::write_file("f" + std::to_string(i),
                   "@f" + std::to_string(i + 1) + " @f" + std::to_string(i + 1) + "\r\n");
  vt::write_file("f40", "x\n");
  EXPECT_EQ(expand_argument("@f0"), -1);
  EXPECT_TRUE(reason_is("too many arguments")) << failure_text();
  EXPECT_LE(g_args.size(), MAX_ARGUMENT_TOKENS);
  EXPECT_GT(g_args.size(), 0u);
}

TEST_F(ArgumentLimitsTest, TokenCapCountsTheCommandLineAndEveryToken) {
  std::string tokens;
  for (uint64_t i = 0; i + 2 < MAX_ARGUMENT_TOKENS; ++i) tokens += "x\n";
  vt::write_file("many", tokens);
  // One command-line argument, "@many" and its tokens: exactly the cap.
  ASSERT_EQ(expand_argument("first"), 0);
  ASSERT_EQ(expand_argument("@many"), 0);
  EXPECT_EQ(g_args.size(), MAX_ARGUMENT_TOKENS - 1);
  EXPECT_EQ(expand_argument("\"\""), -1);  // even a token that adds nothing counts
  EXPECT_EQ(g_args.size(), MAX_ARGUMENT_TOKENS - 1);
}

TEST_F(ArgumentLimitsTest, ByteCapCountsEveryRead) {
  const std::string mib(1u << 20, ' ');
  vt::write_file("big", mib + "x");
  std::string top63, top64;
  for (int i = 0; i < 63; ++i) top63 += "@big ";
  top64 = top63 + "@big";
  vt::write_file("top63", top63);
  vt::write_file("top64", top64);
  ASSERT_EQ(expand_argument("@top63"), 0);
  EXPECT_EQ(g_args.size(), 63u);
  terminate(0);
  EXPECT_EQ(expand_argument("@top64"), -1);
  EXPECT_TRUE(reason_is("too much to read from argument files \"big\"")) << failure_text();
  EXPECT_EQ(g_args.size(), 63u);  // refused before the 64th read
  terminate(0);
  // One file over the cap is refused before it is read.
  vt::write_file("huge", std::string(MAX_ARGUMENT_BYTES, ' ') + "x");
  EXPECT_EQ(expand_argument("@huge"), -1);
  EXPECT_TRUE(g_args.empty());
}

// A run over the cap ends with -3 and writes nothing.
TEST_F(ArgumentLimitsTest, RunPastTheCapFailsCleanly) {
  if (vt::runs_through_launcher())
    GTEST_SKIP() << "2^20 argument-file reads take Wine longer than the run deadline";
  for (int i = 0; i < 30; ++i)
    vt::write_file("g" + std::to_string(i),
                   "@g" + std::to_string(i + 1) + " @g" + std::to_string(i + 1));
  vt::write_file("g30", "a.txt");
  vt::write_file("a.txt", "abc");
  EXPECT_EQ(vt::run("vorn", {"new.vrn", "@g0"}), vt::FAIL);
  EXPECT_FALSE(vt::file_exists("new.vrn"));
  EXPECT_FALSE(vt::file_exists("vorn1234.tmp"));
}

}  // namespace
