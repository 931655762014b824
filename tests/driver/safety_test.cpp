// A user's files are never lost, exposed or redirected: planted links under
// temporary names, owners and special bits of replaced files, archives and
// message files named through links, damaged in-directory data, an existing
// report file, and names that differ only in letter case.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/support.h"

namespace {

class Safety : public vt::Scratch {};

constexpr uint8_t DS = 0x06;  // in directory, stored
constexpr uint8_t SC = 0x05;  // standalone, compressed

vt::Entry entry(const std::string& name, const std::string& data, uint8_t flags) {
  vt::Entry e;
  e.name = name;
  e.data = data;
  e.flags = flags;
  return e;
}

bool is_link(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

struct stat stat_of(const char* path) {
  struct stat st {};
  EXPECT_EQ(lstat(path, &st), 0) << path;
  return st;
}

std::vector<std::string> names_in(const std::string& archive_path) {
  vt::Parsed p;
  std::vector<std::string> v;
  if (!vt::parse_archive(vt::read_file(archive_path), &p)) return {"<does not parse: " + p.error + ">"};
  for (const auto& e : p.entries) v.push_back(e.name);
  return v;
}

const char kMsgTable[] = "static char *m[] = {\r\n\"a\\0\\\r\none\",\r\n\r\n(char*)0\r\n};\r\n";

// Finding 2: links planted under the temporary names the runs once used (a
// symbolic link and a hard link each) never redirect a write.
TEST_F(Safety, PlantedLinksUnderTemporaryNamesAreNeverWrittenThrough) {
  vt::make_dir("outside");
  const char* names[] = {"vorn1234.tmp", "vorn9876.tmp", "vorn_msg.tmp", "deflated.tmp"};
  for (int hard = 0; hard < 2; ++hard) {
    for (const char* name : names) {
      vt::write_file("outside/victim", "root's own file");
      unlink(name);
      ASSERT_EQ(hard ? link("outside/victim", name) : symlink("outside/victim", name), 0);
      vt::write_file("f.txt", "content of f");
      unlink("arc.vrn");
      ASSERT_EQ(vt::vorn({"arc.vrn", "f.txt"}), 0) << name;
      unlink("f.txt");
      ASSERT_EQ(vt::run("vornex", {"arc.vrn", "f.txt"}), 0) << name;
      EXPECT_EQ(vt::read_file("f.txt"), "content of f") << name;
      vt::write_file("msgs.c", kMsgTable);
      vt::write_file("edit.txt", "\"set:b\\0two\"\r\n");
      ASSERT_EQ(vt::vorn({"-mfile:msgs.c", "-mmod:edit.txt"}), 0) << name;
      ASSERT_EQ(vt::vorn({"arc.vrn", "+#f.txt"}), 0) << name;
      EXPECT_EQ(vt::read_file("outside/victim"), "root's own file") << name << (hard ? " (hard)" : "");
      EXPECT_FALSE(is_link("arc.vrn")) << name;
      EXPECT_FALSE(is_link("msgs.c")) << name;
      EXPECT_FALSE(is_link("deflated")) << name;
      EXPECT_EQ(names_in("arc.vrn"), std::vector<std::string>{"f.txt"}) << name;
      EXPECT_EQ(hard ? stat_of(name).st_nlink : 1u, hard ? 2u : 1u) << name << ": the planted link stays";
      unlink(name);
    }
  }
  EXPECT_TRUE(vt::temporaries().empty());
}

// Runs the executable as another user (root only), feeding `input`.
int run_as(uid_t uid, const std::string& program, const std::vector<std::string>& args,
           const std::string& input) {
  int p[2];
  if (pipe(p) != 0) return -2;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[0], 0);
    close(p[0]);
    close(p[1]);
    if (setgid(uid) != 0 || setuid(uid) != 0) _exit(126);
    std::vector<char*> argv;
    std::string name = program;
    argv.push_back(&name[0]);
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(VORN_EXE, argv.data());
    _exit(127);
  }
  close(p[0]);
  if (!input.empty() && write(p[1], input.data(), input.size()) < 0) {}
  close(p[1]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Finding 3: a replaced file keeps its owner and group where the run may set
// them, and never hands out setuid or setgid bits under another owner.
TEST_F(Safety, ReplacedFilesKeepOwnerAndNeverHandOutSpecialBits) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to own files as other users";
  if (vt::runs_through_launcher())
    GTEST_SKIP() << "POSIX owners and mode bits: a Windows file keeps its attributes instead";
  ASSERT_EQ(chmod(".", 0777), 0);
  const uid_t user = 4321, other = 4322;

  // Root updating a user's archive: it stays the user's, mode as it was.
  vt::write_file("a.txt", "first");
  ASSERT_EQ(vt::vorn({"arc.vrn", "a.txt"}), 0);
  ASSERT_EQ(chown("arc.vrn", user, user), 0);
  ASSERT_EQ(chmod("arc.vrn", 0640), 0);
  vt::write_file("b.txt", "second");
  ASSERT_EQ(vt::vorn({"arc.vrn", "b.txt"}), 0);
  struct stat st = stat_of("arc.vrn");
  EXPECT_EQ(st.st_uid, user);
  EXPECT_EQ(st.st_gid, user);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // Root extracting over a user's setuid placeholder: the user's file still,
  // with the user's bits (the owner did not change, so nothing was handed out).
  vt::write_file("a.txt", "placeholder");
  ASSERT_EQ(chown("a.txt", user, user), 0);
  ASSERT_EQ(chmod("a.txt", 04755), 0);
  ASSERT_EQ(vt::run("vornex", {"arc.vrn", "a.txt"}, "y"), 0);
  EXPECT_EQ(vt::read_file("a.txt"), "first");
  st = stat_of("a.txt");
  EXPECT_EQ(st.st_uid, user);
  EXPECT_EQ(st.st_mode & 07777, 04755u);

  // Another user replacing it (world-writable, setuid and setgid): that user
  // cannot give the file its old owner, so the special bits go.
  ASSERT_EQ(chmod("arc.vrn", 0666), 0);
  ASSERT_EQ(chmod("a.txt", 06777), 0);
  ASSERT_EQ(run_as(other, "vornex", {"arc.vrn", "a.txt"}, "y"), 0);
  EXPECT_EQ(vt::read_file("a.txt"), "first");
  st = stat_of("a.txt");
  EXPECT_EQ(st.st_uid, other);
  EXPECT_EQ(st.st_mode & 07777, 0777u) << std::oct << (st.st_mode & 07777);

  // The same for an archive the other user may write.
  ASSERT_EQ(chmod("arc.vrn", 06666), 0);
  vt::write_file("c.txt", "third");
  ASSERT_EQ(chmod("c.txt", 0644), 0);
  ASSERT_EQ(run_as(other, "vorn", {"arc.vrn", "c.txt"}, ""), 0);
  st = stat_of("arc.vrn");
  EXPECT_EQ(st.st_uid, other);
  EXPECT_EQ(st.st_mode & 07777, 0666u) << std::oct << (st.st_mode & 07777);
  EXPECT_EQ(names_in("arc.vrn"), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
  EXPECT_TRUE(vt::temporaries().empty());
}

// Finding 4: the archive and the message file named through symbolic links
// are the files the links point to; extraction targets never follow links.
TEST_F(Safety, ArchiveAndMessageFileNamedThroughLinksAreReplacedWhereTheyLie) {
  if (vt::runs_through_launcher())
    GTEST_SKIP() << "POSIX symbolic links: Wine shows them to a Windows program as the files they name";
  vt::make_dir("private");
  vt::make_dir("work");
  vt::write_file("private/one.txt", "one");
  ASSERT_EQ(chdir("private"), 0);
  ASSERT_EQ(vt::vorn({"arc.vrn", "one.txt"}), 0);
  ASSERT_EQ(chmod("arc.vrn", 0600), 0);
  ASSERT_EQ(chdir("../work"), 0);
  ASSERT_EQ(symlink("../private/arc.vrn", "hop.vrn"), 0);
  ASSERT_EQ(symlink("hop.vrn", "link.vrn"), 0);  // two hops
  vt::write_file("more.txt", "more");
  ASSERT_EQ(vt::vorn({"link.vrn", "more.txt"}), 0);
  EXPECT_TRUE(is_link("link.vrn"));
  EXPECT_TRUE(is_link("hop.vrn"));
  EXPECT_EQ(names_in("../private/arc.vrn"), (std::vector<std::string>{"one.txt", "more.txt"}));
  EXPECT_EQ(stat_of("../private/arc.vrn").st_mode & 07777, 0600u);
  EXPECT_TRUE(vt::temporaries(".").empty());
  EXPECT_TRUE(vt::temporaries("../private").empty());

  vt::write_file("../private/msgs.c", kMsgTable);
  ASSERT_EQ(symlink("../private/msgs.c", "msgs.c"), 0);
  vt::write_file("edit.txt", "\"set:b\\0two\"\r\n");
  ASSERT_EQ(vt::vorn({"-mfile:msgs.c", "-mmod:edit.txt"}), 0);
  EXPECT_TRUE(is_link("msgs.c"));
  EXPECT_NE(vt::read_file("../private/msgs.c").find("two"), std::string::npos);
  EXPECT_TRUE(vt::temporaries(".").empty());
  EXPECT_TRUE(vt::temporaries("../private").empty());

  // An extraction target that is a link: the link is replaced, never followed.
  vt::write_file("../private/victim", "untouched");
  ASSERT_EQ(symlink("../private/victim", "one.txt"), 0);
  ASSERT_EQ(vt::run("vornex", {"link.vrn", "one.txt"}, "y"), 0);
  EXPECT_FALSE(is_link("one.txt"));
  EXPECT_EQ(vt::read_file("one.txt"), "one");
  EXPECT_EQ(vt::read_file("../private/victim"), "untouched");
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
}

// An archive whose directory stream is laid out in stored blocks, so that one
// byte of in-directory data can be changed without breaking the inflation:
// only the Adler-32 at the stream's end then tells.
std::string archive_with_damaged_data(bool cut_checksum) {
  const std::string whole = vt::build_archive(
      {entry("s1.txt", "standalone", SC), entry("d1.txt", "first in the directory", DS),
       entry("d2.txt", "second in the directory", DS)});
  vt::Parsed p;
  EXPECT_TRUE(vt::parse_archive(whole, &p));
  std::string stream = whole.substr(p.dir_offset, whole.size() - 4 - p.dir_offset);
  std::string raw;
  EXPECT_TRUE(vt::zinflate(stream, &raw));
  std::string stored = vt::zcompress(raw, 0);
  if (cut_checksum) {
    stored.resize(stored.size() - 4);
  } else {
    const size_t at = raw.find("first in");
    stored[2 + 5 + at] = 'F';  // zlib header, stored-block header, then the bytes
  }
  std::string file = whole.substr(0, p.dir_offset) + stored;
  return file + vt::u32le(p.dir_offset ^ 0x5A17C3E9u);
}

// Finding 5: no run that reads or copies in-directory data succeeds when the
// directory stream does not end with a valid checksum.
TEST_F(Safety, DamagedInDirectoryDataIsNeitherExtractedNorResigned) {
  for (bool cut : {false, true}) {
    const std::string bad = archive_with_damaged_data(cut);
    vt::write_file("arc.vrn", bad);
    const char* what = cut ? "checksum cut off" : "byte flipped";
    EXPECT_EQ(vt::vorn({"arc.vrn", "-v"}), vt::FAIL) << what;
    EXPECT_EQ(vt::vorn({"arc.vrn", "-v", "d1.txt"}), vt::FAIL) << what;
    EXPECT_EQ(vt::run("vornex", {"arc.vrn", "d1.txt"}), vt::FAIL) << what;
    EXPECT_FALSE(vt::file_exists("d1.txt")) << what;
    EXPECT_EQ(vt::run("vornex", {"arc.vrn", "*"}), vt::FAIL) << what;
    EXPECT_FALSE(vt::file_exists("d1.txt")) << what;
    EXPECT_FALSE(vt::file_exists("d2.txt")) << what;
    vt::write_file("new.txt", "new");
    EXPECT_EQ(vt::vorn({"arc.vrn", "new.txt"}), vt::FAIL) << what;
    EXPECT_EQ(vt::read_file("arc.vrn"), bad) << what;
    EXPECT_EQ(vt::vorn({"arc.vrn", "-d", "s1.txt"}), vt::FAIL) << what;
    EXPECT_EQ(vt::read_file("arc.vrn"), bad) << what;
    EXPECT_EQ(vt::vorn({"arc.vrn", "-v"}), vt::FAIL) << what;
    EXPECT_EQ(vt::vorn({"arc.vrn", "-redund:dups.txt"}), vt::FAIL) << what;
    EXPECT_FALSE(vt::file_exists("dups.txt")) << what;
    EXPECT_EQ(vt::read_file("arc.vrn"), bad) << what;
    // A standalone entry reads nothing of the directory's data.
    EXPECT_EQ(vt::run("vornex", {"arc.vrn", "s1.txt"}), 0) << what;
    EXPECT_EQ(vt::read_file("s1.txt"), "standalone");
    unlink("s1.txt");
    EXPECT_TRUE(vt::temporaries().empty());
  }
}

// Finding 6: "-redund:" never touches an existing file of the report's name.
TEST_F(Safety, ExistingReportFileIsNeverDestroyed) {
  vt::write_file("a.txt", "same");
  vt::write_file("b.txt", "same");
  ASSERT_EQ(vt::vorn({"arc.vrn", "a.txt", "b.txt"}), 0);
  const std::string archive = vt::read_file("arc.vrn");
  vt::write_file("notes.txt", "the user's own notes");
  EXPECT_EQ(vt::vorn({"arc.vrn", "-redund:notes.txt"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("notes.txt"), "the user's own notes");
  EXPECT_EQ(vt::read_file("arc.vrn"), archive);
  // Also when there is nothing to remove, and when the name is a link.
  vt::write_file("c.txt", "unique");
  ASSERT_EQ(vt::vorn({"one.vrn", "c.txt"}), 0);
  EXPECT_EQ(vt::vorn({"one.vrn", "-redund:notes.txt"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("notes.txt"), "the user's own notes");
  ASSERT_EQ(symlink("notes.txt", "report.txt"), 0);
  EXPECT_EQ(vt::vorn({"arc.vrn", "-redund:report.txt"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("notes.txt"), "the user's own notes");
  EXPECT_TRUE(is_link("report.txt"));
  EXPECT_EQ(vt::read_file("arc.vrn"), archive);
  // A fresh name works as before: the report is stored and removed.
  ASSERT_EQ(vt::vorn({"arc.vrn", "-redund:dups.txt"}), 0);
  EXPECT_FALSE(vt::file_exists("dups.txt"));
  EXPECT_EQ(names_in("arc.vrn"), (std::vector<std::string>{"a.txt", "dups.txt"}));
}

// Finding 7: two different files that would be stored under names equal
// without case end the run; the same file named twice does not.
TEST_F(Safety, NamesEqualWithoutCaseFromDifferentFilesFailTheRun) {
  vt::make_dir("cs");
  vt::write_file("cs/README", "upper");
  vt::write_file("cs/readme", "lower");
  vt::write_file("cs/other.txt", "other");
  ASSERT_EQ(chdir("cs"), 0);
  EXPECT_EQ(vt::vorn({"../cs.vrn", "*"}), vt::FAIL);
  EXPECT_FALSE(vt::file_exists("../cs.vrn"));
  EXPECT_EQ(vt::vorn({"../cs.vrn", "README", "readme"}), vt::FAIL);
  EXPECT_FALSE(vt::file_exists("../cs.vrn"));
  ASSERT_EQ(chdir(".."), 0);
  // Recursion and bare names: cs/README and a top-level readme.
  vt::write_file("Readme", "top");
  EXPECT_EQ(vt::vorn({"cs.vrn", "+r", "*"}), vt::FAIL);
  EXPECT_EQ(vt::vorn({"cs.vrn", "cs/README", "Readme"}), vt::FAIL);
  EXPECT_FALSE(vt::file_exists("cs.vrn"));

  // An existing archive stays as it was.
  ASSERT_EQ(vt::vorn({"cs.vrn", "cs/other.txt"}), 0);
  const std::string before = vt::read_file("cs.vrn");
  EXPECT_EQ(vt::vorn({"cs.vrn", "cs/README", "cs/readme"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("cs.vrn"), before);

  // The same file twice, and a stored entry replaced by a file whose name
  // differs only in case, work as before.
  ASSERT_EQ(vt::vorn({"cs.vrn", "Readme", "Readme"}), 0);
  EXPECT_EQ(names_in("cs.vrn"), (std::vector<std::string>{"other.txt", "Readme"}));
  ASSERT_EQ(chdir("cs"), 0);
  ASSERT_EQ(vt::vorn({"../cs.vrn", "README"}), 0);
  ASSERT_EQ(chdir(".."), 0);
  EXPECT_EQ(names_in("cs.vrn"), (std::vector<std::string>{"other.txt", "README"}));
  EXPECT_TRUE(vt::temporaries().empty());
}

}  // namespace
