// Loading the two files and writing the message file back, including every
// way the write-back can fail; and whole runs of the program.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "msg_test_util.h"

using mt::entry;
using mt::MsgTest;
using mt::table;

namespace {

// Makes a file impossible to open for writing: read-only mode and, for root
// (whom modes do not stop), the immutable attribute where the file system has
// it.  `ok` tells whether that worked.
struct Unwritable {
  std::string path;
  bool immutable = false;
  bool ok = false;
  explicit Unwritable(const std::string& p) : path(p) {
    chmod(path.c_str(), 0444);
    if (geteuid() == 0)
      immutable = std::system(("chattr +i '" + path + "' 2>/dev/null").c_str()) == 0;
    const int fd = open(path.c_str(), O_RDWR);
    ok = fd < 0;
    if (fd >= 0) close(fd);
  }
  ~Unwritable() {
    if (immutable) std::system(("chattr -i '" + path + "' 2>/dev/null").c_str());
    chmod(path.c_str(), 0644);
  }
};

int load_captured(const std::string& path, bool message_file, std::string* out) {
  testing::internal::CaptureStdout();
  const int r = message_file ? load_message_file(path.c_str()) : load_change_script(path.c_str());
  *out = testing::internal::GetCapturedStdout();
  return r;
}

int write_captured(std::string* out) {
  testing::internal::CaptureStdout();
  const int r = write_message_file();
  *out = testing::internal::GetCapturedStdout();
  return r;
}

const std::string kOld = table({entry("a", "old")});

}  // namespace

TEST_F(MsgTest, LoadFailuresPrintTheirMessages) {
  std::string out;
  EXPECT_EQ(load_captured("missing.c", true, &out), -1);
  EXPECT_EQ(out, "unable to open file missing.c for reading\n");
  EXPECT_EQ(load_captured("missing.txt", false, &out), -1);
  EXPECT_EQ(out, "unable to open file missing.txt for reading\n");

  vt::write_file("nul.c", std::string("\"a\\0x\",\0(char*)0};", 19));
  EXPECT_EQ(load_captured("nul.c", true, &out), -1);
  EXPECT_EQ(out, "file nul.c holds a NUL byte\n");
  EXPECT_EQ(text(), "");

  vt::write_file("msgs.c", kOld);
  pf_fault_arm(PF_FAULT_READ, 1);
  EXPECT_EQ(load_captured("msgs.c", true, &out), -1);
  EXPECT_EQ(out, "unable to read msgs.c\n");
  EXPECT_EQ(text(), "");
  pf_fault_clear();
  EXPECT_EQ(load_captured("msgs.c", true, &out), 0);
  EXPECT_EQ(text(), kOld);
}

TEST_F(MsgTest, EmptyMessageFileLoadsButCannotBeAppendedTo) {
  vt::write_file("empty.c", "");
  std::string out;
  ASSERT_EQ(load_captured("empty.c", true, &out), 0);
  EXPECT_EQ(run_script("\"del:a\",\"set:a\\0b\"", &out), -1);
  EXPECT_EQ(out, "unable to find proper end of message file\nmod.txt: line 1: unable to set message\n");
}

TEST_F(MsgTest, ReadOnlyMessageFileIsRefusedButReadOnlyScriptIsFine) {
  vt::write_file("msgs.c", kOld);
  vt::write_file("mod.txt", "\"set:b\\0new\"");
  {
    Unwritable ro("msgs.c");
    if (!ro.ok) GTEST_SKIP() << "cannot make a file unwritable here";
    std::string out;
    EXPECT_EQ(load_captured("msgs.c", true, &out), -1);
    EXPECT_EQ(out, "unable to open file msgs.c for reading\n");
  }
  Unwritable ro("mod.txt");
  ASSERT_TRUE(ro.ok);
  std::string out;
  ASSERT_EQ(load_captured("msgs.c", true, &out), 0);
  ASSERT_EQ(load_captured("mod.txt", false, &out), 0);
  EXPECT_EQ(out, "");
  ASSERT_EQ(run_script(g_state.msg.script, &out), 0);
  EXPECT_NE(find_message("b"), MSG_NONE);
}

TEST_F(MsgTest, WriteBackReplacesTheFileAndLeavesNoTemporary) {
  vt::make_dir("sub");
  vt::write_file("sub/msgs.c", kOld);
  vt::write_file("vorn_msg.tmp", "a file of the user's, named as temporaries once were");
  std::string out;
  ASSERT_EQ(load_captured("sub\\msgs.c", true, &out), 0);  // either separator
  text() = "new text";
  ASSERT_EQ(write_captured(&out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(vt::read_file("sub/msgs.c"), "new text");
  EXPECT_EQ(vt::read_file("vorn_msg.tmp"), "a file of the user's, named as temporaries once were");
  EXPECT_EQ(vt::list_dir("sub"), std::vector<std::string>{"msgs.c"});
}

TEST_F(MsgTest, WriteBackWorksForPathsOfAnyLength) {
  std::string path;
  for (int i = 0; i < 12; ++i) {
    path += std::string(60, static_cast<char>('a' + i));
    vt::make_dir(path);
    path += "/";
  }
  path += "msgs.c";
  ASSERT_GT(path.size(), 700u);
  vt::write_file(path, kOld);
  std::string out;
  ASSERT_EQ(load_captured(path, true, &out), 0);
  ASSERT_EQ(run_script("\"set:b\\0x\"", &out), 0);
  ASSERT_EQ(write_captured(&out), 0);
  EXPECT_EQ(vt::read_file(path), text());
}

TEST_F(MsgTest, WriteBackFailuresLeaveTheMessageFileAsItWas) {
  struct Case {
    const char* what;
    const char* where;  // message file path
    PfFaultKind kind;
    const char* message;
  } cases[] = {
      {"create refused", "msgs.c", PF_FAULT_OPEN_CREATE, "unable to create temporary file\n"},
      {"short write", "msgs.c", PF_FAULT_WRITE, "unable to write temporary message file\n"},
      {"sync refused", "sub/msgs.c", PF_FAULT_SYNC, "unable to write temporary message file\n"},
      {"mode refused", "msgs.c", PF_FAULT_ATTRIBUTES, "unable to write temporary message file\n"},
      {"rename refused", "sub/msgs.c", PF_FAULT_RENAME, "unable to replace message file sub/msgs.c\n"},
  };
  for (const Case& c : cases) {
    vt::ScratchDir d;
    free_message_buffers();
    vt::make_dir("sub");
    vt::write_file(c.where, kOld);
    std::string out;
    ASSERT_EQ(load_captured(c.where, true, &out), 0);
    text() = "edited";
    pf_fault_clear();
    pf_fault_arm(c.kind, 1);
    EXPECT_EQ(write_captured(&out), -1) << c.what;
    pf_fault_clear();
    EXPECT_EQ(out, c.message) << c.what;
    EXPECT_EQ(vt::read_file(c.where), kOld) << c.what;
    EXPECT_TRUE(vt::temporaries(".").empty()) << c.what;
    EXPECT_TRUE(vt::temporaries("sub").empty()) << c.what;
  }
}

// Whole runs of the program.
TEST_F(MsgTest, ProgramEditsTheMessageFileAndIgnoresTheArchive) {
  vt::write_file("msgs.c", kOld);
  vt::write_file("mod.txt", "// edits\r\n\"set:A\\0new body\",\r\n\"ren_menu:m,x,y\"\r\n");
  std::string out;
  EXPECT_EQ(vt::run("vorn", {"x.vrn", "-mfile:msgs.c", "-MMOD:mod.txt"}, "", &out), 0);
  EXPECT_EQ(out, "fail 2 (num=0)\n");
  EXPECT_EQ(vt::read_file("msgs.c"), table({"\r\n\r\n", entry("A", "new body")}));
  EXPECT_FALSE(vt::file_exists("x.vrn"));
  EXPECT_FALSE(vt::file_exists("vorn_msg.tmp"));
}

TEST_F(MsgTest, ProgramFailuresLeaveTheMessageFileUntouched) {
  vt::write_file("msgs.c", kOld);
  std::string out;
  // No change script named: loaded, nothing written, nothing printed.
  EXPECT_EQ(vt::run("vorn", {"-mfile:msgs.c"}, "", &out), vt::FAIL);
  EXPECT_EQ(out, "");
  // A failing command: earlier commands are not written either.
  vt::write_file("mod.txt", "\"del:a\",\n\"bogus\"");
  EXPECT_EQ(vt::run("vornex", {"-mfile:msgs.c", "-mmod:mod.txt"}, "", &out), vt::FAIL);
  EXPECT_EQ(out, "mod.txt: line 2: unrecognized change command type\n");
  EXPECT_EQ(vt::run("vorn", {"-mfile:msgs.c", "-mmod:none.txt"}, "", &out), vt::FAIL);
  EXPECT_EQ(out, "unable to open file none.txt for reading\n");
  EXPECT_EQ(vt::read_file("msgs.c"), kOld);
  EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"mod.txt", "msgs.c"}));
}

// A name once used for the temporary is an ordinary message file name.
TEST_F(MsgTest, FormerTemporaryNamesAreOrdinaryFiles) {
  vt::write_file("vorn_msg.tmp", kOld);
  std::string out;
  ASSERT_EQ(load_captured("vorn_msg.tmp", true, &out), 0);
  text() = "edited";
  ASSERT_EQ(write_captured(&out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(vt::read_file("vorn_msg.tmp"), "edited");
}
