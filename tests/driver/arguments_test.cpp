// The argument list and "@" argument files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver.h"

#include "support/scratch.h"
#include "support/support.h"

namespace {

using Args = std::vector<std::string>;

class ArgumentsTest : public vt::Scratch {
 protected:
  // Expands one argument file holding `bytes`; returns the result.
  int expand_file(const std::string& bytes) {
    vt::write_file("args.txt", bytes);
    return expand_argument("@args.txt");
  }
  const Args& args() { return g_args; }
};

TEST_F(ArgumentsTest, CommentsRunToTheLineEnd) {
  ASSERT_EQ(expand_file("a b ; c d\ne"), 0);
  EXPECT_EQ(args(), (Args{"a", "b", "e"}));
}

TEST_F(ArgumentsTest, SemicolonEndsATokenUnlessQuoted) {
  ASSERT_EQ(expand_file("x;y\n\"p;q\" \"two\nlines\"\tlast"), 0);
  EXPECT_EQ(args(), (Args{"x", "p;q", "two\nlines", "last"}));
}

TEST_F(ArgumentsTest, QuotesAroundAWholeTokenGoInnerQuotesStay) {
  ASSERT_EQ(expand_file("\"two words.txt\" pre\"a b\"post \"\" -stub:\"s x.exe\""), 0);
  EXPECT_EQ(args(), (Args{"two words.txt", "pre\"a b\"post", "-stub:\"s x.exe\""}));
}

TEST_F(ArgumentsTest, EveryKindOfLineEndSeparates) {
  ASSERT_EQ(expand_file("a\rb\r\nc\nd\n\r\r\ne ;note\rf ;tail"), 0);
  EXPECT_EQ(args(), (Args{"a", "b", "c", "d", "e", "f"}));
}

TEST_F(ArgumentsTest, EmptyAndCommentOnlyFilesAddNothing) {
  EXPECT_EQ(expand_file(""), 0);
  EXPECT_EQ(expand_file("  \t\r\n ; only a comment\n;another"), 0);
  EXPECT_TRUE(args().empty());
}

TEST_F(ArgumentsTest, UnclosedQuotesAndNulBytes) {
  // An unclosed quote runs to the end of the file; a NUL ends the argument.
  static const char kBytes[] = "ab\0cd ef a \"b c\nd";
  ASSERT_EQ(expand_file(std::string(kBytes, sizeof kBytes - 1)), 0);
  EXPECT_EQ(args(), (Args{"ab", "ef", "a", "\"b c\nd"}));
}

TEST_F(ArgumentsTest, CommandLineArgumentsInOrderAroundFileTokens) {
  vt::write_file("inner.txt", "i1 i2");
  ASSERT_EQ(expand_argument("first"), 0);
  ASSERT_EQ(expand_argument("@inner.txt"), 0);
  ASSERT_EQ(expand_argument(""), 0);
  ASSERT_EQ(expand_argument("\"\"\"last\"\"\""), 0);  // nested pairs all go
  ASSERT_EQ(expand_argument("\""), 0);                // a lone quote stays
  EXPECT_EQ(args(), (Args{"first", "i1", "i2", "last", "\""}));
}

TEST_F(ArgumentsTest, QuotedAtNamesAFileButQuotesAfterAtStayInTheName) {
  vt::write_file("other file.txt", "from-other");
  vt::write_file("\"q.txt\"", "from-quoted-name");
  vt::write_file("args.txt", "\"@other file.txt\"");
  ASSERT_EQ(expand_argument("@args.txt"), 0);
  ASSERT_EQ(expand_argument("\"@other file.txt\""), 0);
  ASSERT_EQ(expand_argument("@\"q.txt\""), 0);
  EXPECT_EQ(args(), (Args{"from-other", "from-other", "from-quoted-name"}));
}

TEST_F(ArgumentsTest, DeeplyQuotedArgumentNeedsNoDeepRecursion) {
  std::string text(200000, '"');
  text.insert(100000, "x");
  ASSERT_EQ(expand_argument(text.c_str()), 0);
  EXPECT_EQ(args(), (Args{"x"}));
}

TEST_F(ArgumentsTest, MissingFilesAndALoneAtFailKeepingEarlierArguments) {
  ASSERT_EQ(expand_argument("kept"), 0);
  EXPECT_EQ(expand_argument("@"), -1);
  EXPECT_EQ(expand_argument("@no-such-file.txt"), -1);
  vt::write_file("outer.txt", "o1 @missing.txt o2");
  EXPECT_EQ(expand_argument("@outer.txt"), -1);
  vt::make_dir("folder");
  EXPECT_EQ(expand_argument("@folder"), -1);
  EXPECT_EQ(args(), (Args{"kept", "o1"}));
}

TEST_F(ArgumentsTest, FilesThatNameThemselvesFail) {
  vt::write_file("self.txt", "a @self.txt b");
  EXPECT_EQ(expand_argument("@self.txt"), -1);
  // Through others, and spelled differently (other separator, ./ prefix).
  vt::make_dir("sub");
  vt::write_file("a.txt", "@sub\\b.txt");
  vt::write_file("sub/b.txt", "@./c.txt");
  vt::write_file("c.txt", "c @a.txt");
  EXPECT_EQ(expand_argument("@c.txt"), -1);
  EXPECT_EQ(read_argument_file("a.txt"), -1);
}

TEST_F(ArgumentsTest, SameFileTwiceWithoutNestingIsNoCycle) {
  vt::write_file("leaf.txt", "x");
  vt::write_file("twice.txt", "@leaf.txt @leaf.txt");
  ASSERT_EQ(expand_argument("@twice.txt"), 0);
  ASSERT_EQ(expand_argument("@twice.txt"), 0);
  EXPECT_EQ(args(), (Args{"x", "x", "x", "x"}));
}

TEST_F(ArgumentsTest, LongAcyclicChainsOfFilesWork) {
  const int depth = 3000;
  for (int i = 0; i < depth; ++i) {
    std::string next = i + 1 < depth ? " @f" + std::to_string(i + 1) : "";
    vt::write_file("f" + std::to_string(i), "t" + std::to_string(i) + next + " u" + std::to_string(i));
  }
  ASSERT_EQ(read_argument_file("f0"), 0);
  ASSERT_EQ(args().size(), static_cast<size_t>(2 * depth));
  EXPECT_EQ(args()[0], "t0");
  EXPECT_EQ(args()[depth - 1], "t" + std::to_string(depth - 1));
  EXPECT_EQ(args()[depth], "u" + std::to_string(depth - 1));
  EXPECT_EQ(args().back(), "u0");
}

TEST_F(ArgumentsTest, RemoveArgumentKeepsTheOrder) {
  g_args = {"a", "b", "c"};
  EXPECT_EQ(remove_argument(3), -1);
  EXPECT_EQ(remove_argument(-1), -1);
  ASSERT_EQ(remove_argument(1), 0);
  EXPECT_EQ(args(), (Args{"a", "c"}));
}

}  // namespace
