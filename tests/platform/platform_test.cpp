// The platform layer: Windows path and enumeration rules on POSIX, file
// modes, atomic replacement and the fault hooks the other tests rely on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/support.h"

namespace {

struct Item {
  std::string name;
  uint32_t attributes;
};

std::vector<Item> enumerate(const char* pattern) {
  std::vector<Item> items;
  PfFindData d;
  PfFind* h = pf_find_first(pattern, &d);
  if (!h) return items;
  do {
    items.push_back({d.long_name, d.attributes});
    EXPECT_TRUE(d.short_name.empty());
  } while (pf_find_next(h, &d));
  pf_find_close(h);
  return items;
}

std::vector<std::string> names(const std::vector<Item>& items) {
  std::vector<std::string> n;
  for (const auto& i : items) n.push_back(i.name);
  return n;
}

TEST(PlatformFind, PatternsIgnoreCaseAndDotsComeFirst) {
  vt::ScratchDir dir;
  vt::write_file("a.txt", "1");
  vt::write_file("B.TXT", "2");
  vt::write_file(".hidden.txt", "3");
  vt::write_file("c.dat", "4");
  vt::make_dir("sub");

  auto all = enumerate("*");
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all[0].name, ".");
  EXPECT_EQ(all[1].name, "..");
  EXPECT_EQ(names(enumerate("*.txt")), (std::vector<std::string>{".hidden.txt", "a.txt", "B.TXT"}));
  EXPECT_EQ(names(enumerate("*.TxT")), (std::vector<std::string>{".hidden.txt", "a.txt", "B.TXT"}));
  EXPECT_EQ(names(enumerate("?.txt")), (std::vector<std::string>{"a.txt", "B.TXT"}));
  EXPECT_EQ(names(enumerate("*.*")).size(), all.size()) << "*.* matches names without a dot too";
  EXPECT_TRUE(enumerate("*.none").empty());
  EXPECT_TRUE(enumerate("missing-folder\\*").empty());

  for (const auto& i : all) {
    bool hidden = (i.attributes & PF_ATTR_HIDDEN) != 0;
    bool folder = (i.attributes & PF_ATTR_DIRECTORY) != 0;
    EXPECT_EQ(hidden, i.name == ".hidden.txt") << i.name;
    EXPECT_EQ(folder, i.name == "." || i.name == ".." || i.name == "sub") << i.name;
  }
}

TEST(PlatformFind, BothSeparatorsNameTheFolder) {
  vt::ScratchDir dir;
  vt::make_dir("sub");
  vt::make_dir("sub/deep");
  vt::write_file("sub/deep/x.c", "x");
  EXPECT_EQ(names(enumerate("sub\\deep\\*.c")), std::vector<std::string>{"x.c"});
  EXPECT_EQ(names(enumerate("sub/deep\\X.C")), std::vector<std::string>{"x.c"});
  EXPECT_EQ(names(enumerate("sub\\de*")), std::vector<std::string>{"deep"});
}

TEST(PlatformFiles, OpenModesSeekAndLength) {
  vt::ScratchDir dir;
  EXPECT_EQ(pf_open_read("nope"), -1);
  EXPECT_EQ(pf_open_rw("nope"), -1) << "read-write open never creates";
  EXPECT_FALSE(vt::file_exists("nope"));

  int fd = pf_open_create("f.bin");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pf_write(fd, "hello world", 11), 11);
  EXPECT_EQ(pf_file_length(fd), 11);
  EXPECT_EQ(pf_seek(fd, -5, PF_SEEK_END), 6);
  char buf[16] = {0};
  EXPECT_EQ(pf_read(fd, buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(pf_read(fd, buf, sizeof buf), 0) << "end of file reads 0";
  EXPECT_EQ(pf_seek(fd, -1, PF_SEEK_SET), -1);
  EXPECT_EQ(pf_seek(fd, 1LL << 33, PF_SEEK_SET), 1LL << 33) << "64-bit positions";
  EXPECT_EQ(pf_sync(fd), 0);
  EXPECT_EQ(pf_close(fd), 0);

  fd = pf_open_create("f.bin");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pf_file_length(fd), 0) << "create truncates";
  pf_close(fd);

  vt::make_dir("folder");
  EXPECT_EQ(pf_open_read("folder"), -1) << "a folder is not a file";
  EXPECT_EQ(pf_remove("folder"), -1);
}

// The listing tells a regular file's length and identity as the file it
// leads to has them; a folder, a dangling link or a pipe gets neither.
TEST(PlatformFind, ListingGivesLengthAndIdentityOfRegularFiles) {
  vt::ScratchDir dir;
  vt::write_file("a.txt", "hello");
  vt::write_file("empty", "");
  ASSERT_EQ(link("a.txt", "hard"), 0);
  ASSERT_EQ(symlink("a.txt", "soft"), 0);
  ASSERT_EQ(symlink("missing", "dangling"), 0);
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  vt::make_dir("sub");
  vt::write_file("sub/b", std::string(70000, 'b'));

  PfFileId a, b;
  ASSERT_EQ(pf_file_id("a.txt", &a), 0);
  ASSERT_EQ(pf_file_id("sub\\b", &b), 0);
  EXPECT_FALSE(pf_same_id(a, b));
  PfFileId missing;
  EXPECT_EQ(pf_file_id("missing", &missing), -1);
  EXPECT_EQ(pf_file_id("", &missing), -1);

  struct Seen {
    int64_t length;
    int has_id;
    PfFileId id;
    uint32_t attributes;
  };
  std::map<std::string, Seen> seen;
  PfFindData d;
  PfFind* h = pf_find_first("*", &d);
  ASSERT_NE(h, nullptr);
  do {
    seen[d.long_name] = {d.length, d.has_id, d.id, d.attributes};
  } while (pf_find_next(h, &d));
  pf_find_close(h);

  for (const char* name : {"a.txt", "hard", "soft"}) {
    EXPECT_EQ(seen[name].length, 5) << name;
    ASSERT_EQ(seen[name].has_id, 1) << name;
    EXPECT_TRUE(pf_same_id(seen[name].id, a)) << name;
  }
  EXPECT_EQ(seen["empty"].length, 0);
  ASSERT_EQ(seen["empty"].has_id, 1);
  EXPECT_FALSE(pf_same_id(seen["empty"].id, a));
  for (const char* name : {".", "..", "sub", "dangling", "pipe"}) {
    EXPECT_EQ(seen[name].length, -1) << name;
    EXPECT_EQ(seen[name].has_id, std::string(name) == "sub" ? 1 : 0) << name;
  }
  PfFileId sub;
  ASSERT_EQ(pf_file_id("sub", &sub), 0);
  EXPECT_TRUE(pf_same_id(seen["sub"].id, sub)) << "a folder is known by its identity";
  EXPECT_NE(seen["."].attributes & PF_ATTR_DIRECTORY, 0u);
  EXPECT_NE(seen[".."].attributes & PF_ATTR_DIRECTORY, 0u);

  // Listed from elsewhere, by a pattern with a folder part.
  h = pf_find_first("sub/B", &d);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(d.length, 70000);
  EXPECT_TRUE(d.has_id && pf_same_id(d.id, b));
  pf_find_close(h);
}

TEST(PlatformFiles, OpenForReadingWithLengthMeasuresOnceAndFailsCleanly) {
  vt::ScratchDir dir;
  vt::write_file("f", "0123456789");
  int64_t length = -1;
  int fd = pf_open_read_length("f", &length);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(length, 10);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "reads may wait like any other read";
  char buf[16];
  EXPECT_EQ(pf_read(fd, buf, sizeof buf), 10) << "read from the start";
  EXPECT_EQ(pf_close(fd), 0);

  vt::make_dir("folder");
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  length = -1;
  EXPECT_EQ(pf_open_read_length("folder", &length), -1);
  EXPECT_EQ(pf_open_read_length("pipe", &length), -1) << "never waits for a writer";
  EXPECT_EQ(pf_open_read_length("missing", &length), -1);
  EXPECT_EQ(length, -1) << "untouched on failure";

  // One open call and one length call for the fault hooks; a failure of the
  // length leaves nothing open: the next open gets the same descriptor.
  pf_fault_clear();
  fd = pf_open_read_length("f", &length);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_OPEN), 1);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_LENGTH), 1);
  pf_close(fd);
  pf_fault_arm(PF_FAULT_OPEN, 1);
  EXPECT_EQ(pf_open_read_length("f", &length), -1);
  pf_fault_arm(PF_FAULT_LENGTH, 1);
  length = -1;
  EXPECT_EQ(pf_open_read_length("f", &length), -1);
  EXPECT_EQ(length, -1);
  pf_fault_clear();
  const int next = pf_open_read("f");
  EXPECT_EQ(next, fd);
  pf_close(next);
}

// Runs `body` in a child process and returns its exit status, or -1 when it
// has not finished within `seconds` (the child is then killed).
int run_with_deadline(const std::function<int()>& body, int seconds) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  for (int i = 0; i < seconds * 100; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

TEST(PlatformFiles, PipesAndDevicesAreRefusedWithoutWaiting) {
  vt::ScratchDir dir;
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  int failures = run_with_deadline(
      [] {
        int bad = 0;
        if (pf_open_read("pipe") != -1) bad |= 1;
        if (pf_open_rw("pipe") != -1) bad |= 2;
        if (pf_open_create("pipe") != -1) bad |= 4;
        if (pf_open_read("/dev/null") != -1) bad |= 8;
        return bad;
      },
      10);
  EXPECT_EQ(failures, 0) << "-1: an open waited on the pipe; else a bit mask of opens that succeeded";
  // Regular files opened after the check read and write as usual (blocking).
  int fd = pf_open_create("f.bin");
  ASSERT_GE(fd, 0);
  std::string big(300000, 'b');
  EXPECT_EQ(pf_write(fd, big.data(), big.size()), static_cast<int64_t>(big.size()));
  pf_close(fd);
  EXPECT_EQ(vt::read_file("f.bin"), big);
}

TEST(PlatformFiles, BackslashPathsAndRenameReplaces) {
  vt::ScratchDir dir;
  vt::make_dir("d");
  int fd = pf_open_create("d\\new.txt");
  ASSERT_GE(fd, 0);
  pf_write(fd, "new", 3);
  pf_close(fd);
  EXPECT_EQ(vt::read_file("d/new.txt"), "new");

  vt::write_file("d/old.txt", "old contents");
  EXPECT_EQ(pf_rename("d\\new.txt", "d/old.txt"), 0);
  EXPECT_EQ(vt::read_file("d/old.txt"), "new");
  EXPECT_FALSE(vt::file_exists("d/new.txt"));
  EXPECT_EQ(pf_sync_parent_dir("d/old.txt"), 0);

  EXPECT_EQ(pf_exists("d\\old.txt"), 1);
  EXPECT_EQ(pf_is_directory("d"), 1);
  EXPECT_EQ(pf_is_directory("d/old.txt"), 0);
  EXPECT_EQ(pf_same_file("d/old.txt", "d\\old.txt"), 1);
  EXPECT_EQ(pf_same_file("d/old.txt", "d"), 0);
  EXPECT_EQ(pf_remove("d\\old.txt"), 0);
  EXPECT_EQ(pf_exists("d/old.txt"), 0);
}

TEST(PlatformFiles, ReplacementTakesThePermissionsOfTheFileItReplaces) {
  vt::ScratchDir dir;
  for (mode_t mode : {0600, 0640, 0755, 04755, 01777}) {
    vt::write_file("old", "old");
    ASSERT_EQ(chmod("old", mode), 0);
    int fd = pf_create_exclusive("new");
    ASSERT_GE(fd, 0);
    // Same owner and group: even the special bits stay.
    ASSERT_EQ(pf_take_attributes(fd, "old"), 0);
    pf_close(fd);
    ASSERT_EQ(pf_rename("new", "old"), 0);
    struct stat st;
    ASSERT_EQ(stat("old", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
  }
  // Nothing to take (missing, or a link, which is not followed): the default.
  ASSERT_EQ(symlink("old", "link"), 0);
  const mode_t mask = umask(027);
  for (const char* like : {"missing", "link"}) {
    int fd = pf_create_exclusive("fresh");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pf_take_attributes(fd, like), 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << like;
    pf_close(fd);
    unlink("fresh");
  }
  // Created with the default at once, as pf_take_attributes would give a
  // file with nothing to take from.
  int made = pf_create_exclusive_default("fresh");
  ASSERT_GE(made, 0);
  struct stat fresh;
  ASSERT_EQ(fstat(made, &fresh), 0);
  EXPECT_EQ(fresh.st_mode & 07777, 0640u);
  pf_close(made);
  unlink("fresh");
  umask(mask);
  // A plain rename hands nothing on.
  int fd = pf_create_exclusive("plain");
  pf_close(fd);
  ASSERT_EQ(pf_rename("plain", "old"), 0);
  struct stat st;
  ASSERT_EQ(stat("old", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(PlatformFiles, ExclusiveCreationAndRenameToANewNameNeverTouchWhatExists) {
  vt::ScratchDir dir;
  vt::write_file("victim", "keep");
  ASSERT_EQ(symlink("victim", "sym"), 0);
  ASSERT_EQ(symlink("nowhere", "dangling"), 0);
  ASSERT_EQ(link("victim", "hard"), 0);
  for (const char* name : {"victim", "sym", "dangling", "hard"}) {
    EXPECT_EQ(pf_create_exclusive(name), -2) << name;
    EXPECT_EQ(pf_create_exclusive_default(name), -2) << name;
  }
  EXPECT_FALSE(vt::file_exists("nowhere"));
  EXPECT_EQ(vt::read_file("victim"), "keep");
  EXPECT_EQ(pf_create_exclusive("no/such/folder"), -1);
  EXPECT_EQ(pf_create_exclusive_default("no/such/folder"), -1);

  int fd = pf_create_exclusive("t");
  ASSERT_GE(fd, 0);
  pf_close(fd);
  EXPECT_EQ(pf_rename_new("t", "victim"), -1);
  EXPECT_EQ(pf_rename_new("t", "dangling"), -1);
  EXPECT_EQ(vt::read_file("victim"), "keep");
  EXPECT_EQ(pf_rename_new("t", "fresh"), 0);
  EXPECT_TRUE(vt::file_exists("fresh"));
  EXPECT_FALSE(vt::file_exists("t"));
}

TEST(PlatformFiles, FlushPassAndFolderRemovalNeverGoThroughALink) {
  vt::ScratchDir dir;
  vt::write_file("real", "data");
  vt::make_dir("empty");
  ASSERT_EQ(symlink("real", "file_link"), 0);
  ASSERT_EQ(symlink("empty", "folder_link"), 0);
  EXPECT_EQ(pf_sync_files({"real", "file_link"}), -1);
  EXPECT_EQ(pf_remove_empty_folder("folder_link"), -1);
  EXPECT_EQ(pf_remove_empty_folder_native("folder_link"), -1);
  EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"empty", "file_link", "folder_link", "real"}));
}

TEST(PlatformFiles, LinksResolveToTheFileTheyLeadTo) {
  vt::ScratchDir dir;
  vt::make_dir("a");
  vt::make_dir("b");
  vt::write_file("a/real", "x");
  ASSERT_EQ(symlink("../a/real", "b/rel"), 0);
  ASSERT_EQ(symlink("b/rel", "top"), 0);
  std::string out;
  ASSERT_EQ(pf_resolve_links("top", &out), 0);
  EXPECT_EQ(out, "b/../a/real");
  ASSERT_EQ(pf_resolve_links("a\\real", &out), 0);
  EXPECT_EQ(out, "a/real");
  ASSERT_EQ(pf_resolve_links("missing", &out), 0);
  EXPECT_EQ(out, "missing");
  ASSERT_EQ(symlink("loop2", "loop1"), 0);
  ASSERT_EQ(symlink("loop1", "loop2"), 0);
  EXPECT_EQ(pf_resolve_links("loop1", &out), -1);
}

TEST(PlatformFaults, ArmedCallFailsOnceAndCallsAreCounted) {
  vt::ScratchDir dir;
  pf_fault_clear();
  pf_fault_arm(PF_FAULT_WRITE, 2);
  int fd = pf_open_create("f");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pf_write(fd, "a", 1), 1);
  EXPECT_EQ(pf_write(fd, "b", 1), -1);
  EXPECT_EQ(pf_write(fd, "c", 1), 1);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_WRITE), 3);
  pf_fault_arm(PF_FAULT_SYNC, 1);
  EXPECT_EQ(pf_sync(fd), -1);
  pf_fault_arm(PF_FAULT_RENAME, 1);
  EXPECT_EQ(pf_rename("f", "g"), -1);
  EXPECT_TRUE(vt::file_exists("f"));
  pf_fault_clear();
  EXPECT_EQ(pf_rename("f", "g"), 0);
  pf_close(fd);
  EXPECT_EQ(vt::read_file("g"), "ac");
}

TEST(PlatformPaths, KindsAreAskedOfTheItemItselfAndFoldersAreMadeOnce) {
  vt::ScratchDir dir;
  vt::write_file("f", "x");
  vt::make_dir("d");
  ASSERT_EQ(symlink("d", "to-d"), 0);
  ASSERT_EQ(symlink("nowhere", "gone"), 0);
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  EXPECT_EQ(pf_path_kind("f"), PF_PATH_REGULAR);
  EXPECT_EQ(pf_path_kind("d"), PF_PATH_FOLDER);
  EXPECT_EQ(pf_path_kind("to-d"), PF_PATH_LINK);
  EXPECT_EQ(pf_path_kind("gone"), PF_PATH_LINK);
  EXPECT_EQ(pf_path_kind("pipe"), PF_PATH_OTHER);
  EXPECT_EQ(pf_path_kind("missing"), PF_PATH_MISSING);
  EXPECT_EQ(pf_path_kind("f\\below"), PF_PATH_MISSING);  // a file has nothing below it
  EXPECT_EQ(pf_path_kind(""), -1);

  EXPECT_EQ(pf_make_folder("d\\new"), 0);
  EXPECT_EQ(pf_path_kind("d/new"), PF_PATH_FOLDER);
  for (const char* taken : {"d/new", "f", "to-d", "gone", "pipe", "no/parent"})
    EXPECT_EQ(pf_make_folder(taken), -1) << taken;
  EXPECT_FALSE(vt::file_exists("nowhere"));

  // Enumeration marks what is neither a file nor a folder once links are
  // followed.
  ASSERT_EQ(symlink("f", "to-f"), 0);
  PfFindData d;
  PfFind* h = pf_find_first("*", &d);
  ASSERT_NE(h, nullptr);
  std::vector<std::string> special;
  do {
    if (d.attributes & PF_ATTR_SPECIAL) special.push_back(d.long_name);
    if (d.long_name == "to-d") {
      EXPECT_TRUE(d.attributes & PF_ATTR_DIRECTORY);
    }
  } while (pf_find_next(h, &d));
  pf_find_close(h);
  EXPECT_EQ(special, (std::vector<std::string>{"gone", "pipe"}));

  pf_fault_clear();
  pf_fault_arm(PF_FAULT_MAKE_FOLDER, 1);
  EXPECT_EQ(pf_make_folder("faulted"), -1);
  EXPECT_EQ(pf_path_kind("faulted"), PF_PATH_MISSING);
  EXPECT_EQ(pf_make_folder("faulted"), 0);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_MAKE_FOLDER), 2);
  pf_fault_clear();
}

}  // namespace
