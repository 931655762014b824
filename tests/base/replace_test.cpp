// The replace-by-rename routine and the change lock: temporaries are made
// exclusively under fresh names in the target's folder, put in place in one
// step or deleted, and the lock makes a second holder wait.  A rewritten
// archive, a replaced extraction target and an edited message file keep the
// permissions of the file they replace.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>

#include "base/lock.h"
#include "base/replace.h"
#include "platform/platform.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

class Replace : public vt::Scratch {};
class ChangeLock : public vt::Scratch {};
class Permissions : public vt::Scratch {};

std::string bare(const std::string& path) {
  const size_t i = path.find_last_of("\\/:");
  return i == std::string::npos ? path : path.substr(i + 1);
}

TEST_F(Replace, TemporariesAreFreshExclusiveAndBesideTheirTarget) {
  vt::make_dir("sub");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    TempFile t;
    ASSERT_EQ(temp_create(i % 2 ? "sub\\a.txt" : "sub/a.txt", &t), 0);
    EXPECT_EQ(t.path.substr(0, 4), "sub" + std::string(1, i % 2 ? '\\' : '/'));
    EXPECT_TRUE(is_temporary_name(t.path)) << t.path;
    EXPECT_TRUE(seen.insert(bare(t.path)).second) << "name used twice: " << t.path;
    struct stat st;
    ASSERT_EQ(fstat(t.fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "readable by others while written";
    EXPECT_TRUE(vt::file_exists("sub/" + bare(t.path)));
    temp_discard(&t);
    EXPECT_EQ(t.fd, -1);
    EXPECT_TRUE(t.path.empty());
  }
  EXPECT_TRUE(vt::list_dir("sub").empty());
  TempFile none;
  EXPECT_EQ(temp_create("missing/a.txt", &none), -1);
  EXPECT_EQ(none.fd, -1);

  EXPECT_TRUE(is_temporary_name("x/VORNab12cd34.TMP"));
  EXPECT_FALSE(is_temporary_name("vorn1234.tmp"));
  EXPECT_FALSE(is_temporary_name("vornab12cd3.tmp"));
  EXPECT_FALSE(is_temporary_name("vornab12cd3_.tmp"));
  EXPECT_FALSE(is_temporary_name("xvornab12cd34.tmp"));
}

TEST_F(Replace, CommitPutsTheFileInPlaceOrLeavesTheTargetAsItWas) {
  vt::write_file("t.txt", "old");
  ASSERT_EQ(chmod("t.txt", 0640), 0);
  TempFile t;
  ASSERT_EQ(temp_create("t.txt", &t), 0);
  ASSERT_EQ(pf_write(t.fd, "new", 3), 3);
  ASSERT_EQ(temp_commit(&t, TEMP_REPLACE), 0);
  EXPECT_EQ(vt::read_file("t.txt"), "new");
  struct stat st;
  ASSERT_EQ(stat("t.txt", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(vt::temporaries().empty());

  // New only: a file that took the name meanwhile is never replaced.
  ASSERT_EQ(temp_create("t.txt", &t), 0);
  ASSERT_EQ(pf_write(t.fd, "newer", 5), 5);
  EXPECT_EQ(temp_commit(&t, TEMP_NEW_ONLY), -1);
  EXPECT_EQ(vt::read_file("t.txt"), "new");
  EXPECT_TRUE(vt::temporaries().empty());

  // Every failing call on the way leaves the target and no temporary.
  for (PfFaultKind k : {PF_FAULT_ATTRIBUTES, PF_FAULT_SYNC, PF_FAULT_RENAME}) {
    ASSERT_EQ(temp_create("t.txt", &t), 0);
    ASSERT_EQ(pf_write(t.fd, "bad", 3), 3);
    pf_fault_arm(k, 1);
    EXPECT_EQ(temp_commit(&t, TEMP_REPLACE), -1) << k;
    pf_fault_clear();
    EXPECT_EQ(vt::read_file("t.txt"), "new") << k;
    EXPECT_TRUE(vt::temporaries().empty()) << k;
  }
  // A new file gets the default mode of today.
  const mode_t mask = umask(022);
  ASSERT_EQ(temp_create("fresh.txt", &t), 0);
  ASSERT_EQ(temp_commit(&t, TEMP_NEW_ONLY), 0);
  ASSERT_EQ(stat("fresh.txt", &st), 0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(Replace, LiveTemporariesAreRemovedOnRequest) {
  TempFile a, b, c;
  ASSERT_EQ(temp_create("x.bin", &a), 0);
  ASSERT_EQ(temp_create("y.bin", &b), 0);
  temp_discard(&b);
  ASSERT_EQ(temp_create("z.bin", &c), 0);
  vt::write_file("vornzzzzzzzz.tmp", "not ours");
  EXPECT_EQ(vt::temporaries().size(), 3u);
  remove_live_temporaries();
  EXPECT_EQ(vt::temporaries(), std::vector<std::string>{"vornzzzzzzzz.tmp"});
  pf_close(a.fd);
  pf_close(c.fd);
}

// Many temporaries at once (an extraction keeps one per target until its
// end), with dropped places reused by longer paths: the list still names
// exactly the live ones.
TEST_F(Replace, LiveListTracksManyTemporariesAndReusesDroppedPlaces) {
  ASSERT_EQ(pf_make_folder("a-much-longer-folder-name-than-before"), 0);
  std::vector<TempFile> t(600);
  for (size_t i = 0; i < t.size(); ++i)
    ASSERT_EQ(temp_create("f" + std::to_string(i), &t[i]), 0);
  for (size_t i = 0; i < t.size(); i += 2) temp_discard(&t[i]);
  // Into the dropped places, paths longer than the ones they held.
  std::vector<TempFile> u(300);
  for (size_t i = 0; i < u.size(); ++i)
    ASSERT_EQ(temp_create("a-much-longer-folder-name-than-before/g" + std::to_string(i), &u[i]), 0);
  // Half of the odd ones are put in place; their names leave the list.
  for (size_t i = 1; i < t.size(); i += 4) ASSERT_EQ(temp_commit(&t[i], TEMP_REPLACE), 0);
  track_created_file("report.txt");
  vt::write_file("report.txt", "made by the run");
  forget_created_file("report.txt");
  vt::write_file("kept.txt", "tracked, then forgotten");
  track_created_file("kept.txt");
  forget_created_file("kept.txt");
  EXPECT_EQ(vt::temporaries().size(), 150u);
  EXPECT_EQ(vt::temporaries("a-much-longer-folder-name-than-before").size(), 300u);
  remove_live_temporaries();
  EXPECT_TRUE(vt::temporaries().empty());
  EXPECT_TRUE(vt::temporaries("a-much-longer-folder-name-than-before").empty());
  EXPECT_TRUE(pf_exists("report.txt") && pf_exists("kept.txt"));
  for (size_t i = 1; i < t.size(); i += 4) EXPECT_TRUE(pf_exists(("f" + std::to_string(i)).c_str()));
  for (auto& x : t) if (x.fd >= 0) pf_close(x.fd);
  for (auto& x : u) pf_close(x.fd);
}

TEST_F(Replace, FoldersTheRunMadeGoWhenEmptyAndNoOthers) {
  // Made by the run: a/b/c (listed outermost first, as they are made) and
  // d, which receives a file; "mine" was there before and stays.
  for (const char* f : {"mine", "a", "a/b", "a/b/c", "d"}) vt::make_dir(f);
  vt::write_file("d/kept.txt", "a finished target");
  for (const char* f : {"a", "a/b", "a/b/c", "d"}) track_created_folder(f);
  remove_created_folders();
  EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"d", "mine"}));

  // Forgotten folders are kept, also by a later removal.
  vt::make_dir("e");
  track_created_folder("e");
  forget_created_folders();
  remove_created_folders();
  EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"d", "e", "mine"}));

  // What a signal handler calls: the temporaries first, so the folder that
  // held one is empty by the time it is removed.
  vt::make_dir("f");
  track_created_folder("f");
  TempFile t;
  ASSERT_EQ(temp_create("f/x.bin", &t), 0);
  remove_live_temporaries();
  EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"d", "e", "mine"}));
  pf_close(t.fd);
}

TEST_F(ChangeLock, SecondHolderWaitsAndGivesUpAfterTheBound) {
  vt::write_file("arc.vrn", "x");
  const int saved = change_lock_wait_ms();
  set_change_lock_wait_ms(300);
  int held = change_lock_take("arc.vrn");
  ASSERT_GE(held, 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(change_lock_take("arc.vrn"), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  pf_close(held);
  int again = change_lock_take("arc.vrn");
  EXPECT_GE(again, 0);
  pf_close(again);

  // A missing file is locked through its folder.
  held = change_lock_take("new.vrn");
  ASSERT_GE(held, 0);
  EXPECT_EQ(change_lock_take("new.vrn"), -1);
  EXPECT_GE(again = change_lock_take("arc.vrn"), 0);  // another, existing file: free
  pf_close(again);
  pf_close(held);

  // The file renamed over while waiting: the lock ends up on the new file.
  held = change_lock_take("arc.vrn");
  vt::write_file("next", "y");
  ASSERT_EQ(rename("next", "arc.vrn"), 0);
  pf_close(held);
  again = change_lock_take("arc.vrn");
  ASSERT_GE(again, 0);
  EXPECT_EQ(pf_same_file_fd(again, "arc.vrn"), 1);
  pf_close(again);
  set_change_lock_wait_ms(saved);
}

mode_t mode_of(const char* path) {
  struct stat st;
  EXPECT_EQ(stat(path, &st), 0) << path;
  return st.st_mode & 07777;
}

TEST_F(Permissions, ANewTargetsTemporaryIsCreatedWithTheDefaultAndTakesNothing) {
  const mode_t mask = umask(027);
  TempFile t;
  ASSERT_EQ(temp_create_new("n.txt", &t), 0);
  struct stat st;
  ASSERT_EQ(fstat(t.fd, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  pf_fault_clear();
  ASSERT_EQ(temp_finish_unflushed(&t), 0);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_ATTRIBUTES), 0) << "nothing to take from";
  ASSERT_EQ(temp_rename(&t, TEMP_NEW_ONLY), 0);
  EXPECT_EQ(vt::read_file("n.txt"), "");

  // A temporary for a target that exists takes its attributes when finished.
  vt::write_file("old.txt", "old");
  ASSERT_EQ(chmod("old.txt", 0604), 0);
  TempFile r;
  ASSERT_EQ(temp_create("old.txt", &r), 0);
  ASSERT_EQ(temp_finish_unflushed(&r), 0);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_ATTRIBUTES), 1);
  ASSERT_EQ(temp_rename(&r, TEMP_REPLACE), 0);
  ASSERT_EQ(stat("old.txt", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  pf_fault_clear();
  umask(mask);
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
