// A rewritten archive, a replaced extraction target and an edited message
// file keep the permissions of the file they replace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/scratch.h"
#include "support/support.h"

namespace {

class Permissions : public vt::Scratch {};

mode_t mode_of(const char* path) {
  struct stat st;
  EXPECT_EQ(stat(path, &st), 0) << path;
  return st.st_mode & 07777;
}

TEST_F(Permissions, ReplacedFilesKeepTheirMode) {
  if (vt::runs_through_launcher())
    GTEST_SKIP() << "POSIX mode bits: a Windows file keeps its attributes instead";
  vt::write_file("a.txt", "first");
  ASSERT_EQ(vt::vorn({"arc.vrn", "a.txt"}), 0);
  ASSERT_EQ(chmod("arc.vrn", 0640), 0);
  vt::write_file("b.txt", "second");
  ASSERT_EQ(vt::vorn({"arc.vrn", "b.txt"}), 0);
  EXPECT_EQ(mode_of("arc.vrn"), 0640u) << "a private archive stays private";
  vt::Parsed p;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("arc.vrn"), &p)) << p.error;
  EXPECT_EQ(p.entries.size(), 2u);

  // Extraction over an existing file answered 'y'.
  ASSERT_EQ(chmod("a.txt", 0750), 0);
  vt::write_file("a.txt", "changed");
  ASSERT_EQ(vt::run("vornex", {"arc.vrn", "a.txt"}, "y"), 0);
  EXPECT_EQ(vt::read_file("a.txt"), "first");
  EXPECT_EQ(mode_of("a.txt"), 0750u);

  // The message-file tool.
  vt::write_file("msgs.c", "static char *m[] = {\r\n\"a\\0\\\r\none\",\r\n\r\n(char*)0\r\n};\r\n");
  ASSERT_EQ(chmod("msgs.c", 0600), 0);
  vt::write_file("edit.txt", "\"set:b\\0two\"\r\n");
  ASSERT_EQ(vt::vorn({"-mfile:msgs.c", "-mmod:edit.txt"}), 0);
  EXPECT_NE(vt::read_file("msgs.c").find("two"), std::string::npos);
  EXPECT_EQ(mode_of("msgs.c"), 0600u);
}

}  // namespace
