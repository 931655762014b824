// Folder trees there and back with the built executable: folders made on
// extraction (never through a link), extraction of everything when nothing is
// named, names matched with either separator, special files met by wildcards,
// read-only archives, and names that climb out of the current folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/support.h"

namespace {

class FolderTrees : public vt::Scratch {};

using Names = std::vector<std::string>;

int vornex(const std::vector<std::string>& args, const std::string& in = "") {
  return vt::run("vornex", args, in);
}

vt::Parsed parse(const std::string& path) {
  vt::Parsed p;
  EXPECT_TRUE(vt::parse_archive(vt::read_file(path), &p)) << path << ": " << p.error;
  return p;
}

Names entry_names(const vt::Parsed& p) {
  Names v;
  for (const auto& e : p.entries) v.push_back(e.name);
  return v;
}

const vt::Entry* find_entry(const vt::Parsed& p, const std::string& name) {
  for (const auto& e : p.entries)
    if (e.name == name) return &e;
  return nullptr;
}

bool is_link(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Every regular file under `root` by its path below it, with its bytes;
// folders appear as "path/" with no bytes.
void walk(const std::string& root, const std::string& below, std::map<std::string, std::string>* out) {
  for (const std::string& n : vt::list_dir(root + "/" + below)) {
    const std::string rel = below.empty() ? n : below + "/" + n;
    struct stat st;
    ASSERT_EQ(lstat((root + "/" + rel).c_str(), &st), 0) << rel;
    if (S_ISDIR(st.st_mode)) {
      (*out)[rel + "/"] = "";
      walk(root, rel, out);
    } else {
      ASSERT_TRUE(S_ISREG(st.st_mode)) << rel;
      (*out)[rel] = vt::read_file(root + "/" + rel);
    }
  }
}
std::map<std::string, std::string> tree(const std::string& root) {
  std::map<std::string, std::string> m;
  walk(root, "", &m);
  return m;
}

std::string binary_bytes(size_t n) {
  std::string s(n, '\0');
  unsigned v = 77;
  for (size_t i = 0; i < n; ++i) {
    v = v * 1103515245u + 12345u;
    s[i] = static_cast<char>(v >> 13);
  }
  return s;
}

TEST_F(FolderTrees, RoundTripOfATreeThreeLevelsDeep) {
  vt::make_dir("work");
  ASSERT_EQ(chdir("work"), 0);
  vt::make_dir("src");
  vt::make_dir("src/sub");
  vt::make_dir("src/sub/deep");
  vt::make_dir("src/sub/deep/deeper");
  vt::write_file("src/top.txt", "top level");
  vt::write_file("src/empty", "");
  vt::write_file("src/name with spaces.txt", "spaced out");
  vt::write_file("src/sub/big.bin", binary_bytes(200 * 1024));
  vt::write_file("src/sub/empty too", "");
  vt::write_file("src/sub/deep/deeper/leaf.c", "int leaf;\n");
  vt::write_file("src/.hidden", "named explicitly");
  vt::write_file("src/sub/deep/.config", "also named explicitly");
  const std::vector<std::string> pack = {"../t.vrn", "+r", "+p", "src/*", "src/.hidden",
                                         "src/sub/deep/.config"};
  ASSERT_EQ(vt::vorn(pack), 0);
  const vt::Parsed first = parse("../t.vrn");
  ASSERT_EQ(first.entries.size(), 8u);

  // Extracted with no names into an empty folder: the same tree comes back.
  vt::make_dir("../out");
  ASSERT_EQ(chdir("../out"), 0);
  ASSERT_EQ(vornex({"../t.vrn"}), 0);
  ASSERT_EQ(chdir("../work"), 0);
  EXPECT_EQ(tree("../out"), tree("."));

  // Packed again from the same folder: every entry replaced, none doubled.
  vt::write_file("src/sub/deep/deeper/leaf.c", "int leaf = 2;\n");
  ASSERT_EQ(vt::vorn(pack), 0);
  const vt::Parsed second = parse("../t.vrn");
  Names a = entry_names(first), b = entry_names(second);
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
  bool found_leaf = false;
  for (const auto& e : second.entries) {
    if (e.name.find("leaf.c") == std::string::npos) continue;
    found_leaf = true;
    EXPECT_EQ(e.data, "int leaf = 2;\n");
  }
  EXPECT_TRUE(found_leaf);

  // One file deleted by its name spelled with '/'.
  ASSERT_EQ(vt::vorn({"../t.vrn", "-d", "src/sub/deep/deeper/leaf.c"}), 0);
  const vt::Parsed third = parse("../t.vrn");
  EXPECT_EQ(third.entries.size(), 7u);
  for (const auto& e : third.entries) EXPECT_EQ(e.name.find("leaf.c"), std::string::npos) << e.name;
}

TEST_F(FolderTrees, ExtractionNeverWritesThroughALinkOrAFile) {
  if (vt::runs_through_launcher())
    GTEST_SKIP() << "POSIX symbolic links and pipes: Wine shows them to a Windows program as the files they name";
  vt::make_dir("outside");
  vt::write_file("outside/t.txt", "theirs");
  vt::make_dir("w");
  ASSERT_EQ(chdir("w"), 0);
  ASSERT_EQ(symlink("../outside", "link"), 0);       // a link to a folder
  ASSERT_EQ(symlink("../outside/t.txt", "tlink"), 0);  // a link to a file
  ASSERT_EQ(symlink("../nowhere", "dangling"), 0);
  vt::write_file("plain", "a file");
  for (const std::string name : {"link\\planted", "link/planted", "tlink/x", "dangling\\x",
                                 "plain/x", "made/link2/x"}) {
    SCOPED_TRACE(name);
    if (name == "made/link2/x") {
      vt::make_dir("made");
      ASSERT_EQ(symlink("../../outside", "made/link2"), 0);
    }
    vt::write_file("h.vrn", vt::build_archive({{"ok.txt", "fine", 0, 0x04},
                                               {name, "planted", 0, 0x07},
                                               {"after.txt", "not reached", 0, 0x07}}));
    EXPECT_EQ(vornex({"h.vrn", "*"}, "a"), vt::FAIL);
    EXPECT_EQ(vt::read_file("ok.txt"), "fine");
    EXPECT_FALSE(vt::file_exists("after.txt"));
    EXPECT_EQ(vt::list_dir("../outside"), Names{"t.txt"});
    EXPECT_EQ(vt::read_file("../outside/t.txt"), "theirs");
    EXPECT_TRUE(is_link("link") && is_link("tlink") && is_link("dangling"));
    EXPECT_EQ(vt::read_file("plain"), "a file");
    EXPECT_FALSE(vt::file_exists("../nowhere"));
  }
  EXPECT_EQ(vt::list_dir("."), Names({"dangling", "h.vrn", "link", "made", "ok.txt", "plain", "tlink"}));
}

TEST_F(FolderTrees, NoNamesExtractsEveryEntryTheKeyOpens) {
  vt::write_file("a.vrn", vt::build_archive({{"one.txt", "1", 0, 0x07},
                                             {"d\\two.txt", "2", 0, 0x04},
                                             {"d/e/three.txt", "3", 0, 0x07},
                                             {"locked.txt", "k", vt::key_hash("pw"), 0x07}}));
  ASSERT_EQ(vornex({"a.vrn"}), 0);
  EXPECT_EQ(vt::read_file("one.txt"), "1");
  EXPECT_EQ(vt::read_file("d/two.txt"), "2");
  EXPECT_EQ(vt::read_file("d/e/three.txt"), "3");
  EXPECT_FALSE(vt::file_exists("locked.txt"));
  ASSERT_EQ(vornex({"a.vrn", "-spw"}, "a"), 0);
  EXPECT_EQ(vt::read_file("locked.txt"), "k");

  // The packer given no names still does nothing at all.
  vt::ScratchDir other;
  vt::write_file("a.vrn", vt::build_archive({{"one.txt", "1", 0, 0x07}}));
  ASSERT_EQ(vt::vorn({"a.vrn"}), 0);
  EXPECT_EQ(vt::list_dir("."), Names{"a.vrn"});
}

TEST_F(FolderTrees, EitherSeparatorSelectsStoredNames) {
  std::string damaged = vt::zcompress("view me");
  damaged[damaged.size() - 1] ^= 0x55;  // Adler-32 spoiled
  const std::string archive = vt::build_archive(
      {{"linux/netfilter_ipv6\\ip6_tables.h", "header", 0, 0x07},
       {"src\\a.txt", "aaa", 0, 0x07},
       {"src\\bad.dat", "view me", 0, 0x05},
       {"keep.txt", "kept", 0, 0x07}});
  vt::write_file("t.vrn", archive);
  vt::make_dir("src");
  vt::make_dir("linux");
  vt::make_dir("linux/netfilter_ipv6");
  ASSERT_EQ(vornex({"t.vrn", "src/a.txt", "linux/netfilter_ipv6/*"}), 0);
  EXPECT_EQ(vt::read_file("src/a.txt"), "aaa");
  EXPECT_EQ(vt::read_file("linux/netfilter_ipv6/ip6_tables.h"), "header");

  // "-v" selects src\bad.dat by src/bad.dat: its spoiled data fails the view.
  {
    std::string spoiled = archive;
    const std::string good = vt::zcompress("view me");
    const size_t at = spoiled.find(good);
    ASSERT_NE(at, std::string::npos);
    spoiled.replace(at, good.size(), damaged);
    vt::write_file("v.vrn", spoiled);
    EXPECT_EQ(vornex({"v.vrn", "-v", "keep.txt"}), 0);
    EXPECT_EQ(vornex({"v.vrn", "-v", "src/bad.dat"}), vt::FAIL);
  }

  // "+m" re-stores src\a.txt named src/a.txt (attribute e set, name kept as
  // stored).
  ASSERT_EQ(vt::vorn({"t.vrn", "+m", "+p", "+e", "src/a.txt"}), 0);
  vt::Parsed p = parse("t.vrn");
  const vt::Entry* a = find_entry(p, "src\\a.txt");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->flags & 0x08, 0x08);
  EXPECT_EQ(p.entries.size(), 4u);

  // Deletion by a '/' wildcard and by a '/' name.
  ASSERT_EQ(vt::vorn({"t.vrn", "-d", "linux/netfilter_ipv6/*", "SRC/A.TXT"}), 0);
  p = parse("t.vrn");
  EXPECT_EQ(entry_names(p), Names({"src\\bad.dat", "keep.txt"}));

  // A name typed with '\' replaces an entry stored with '/'.
  vt::write_file("s.vrn", vt::build_archive({{"src/a.txt", "old", 0, 0x07}}));
  vt::write_file("src/a.txt", "new");
  ASSERT_EQ(vt::vorn({"s.vrn", "+p", "src\\a.txt"}), 0);
  p = parse("s.vrn");
  ASSERT_EQ(p.entries.size(), 1u);
  EXPECT_EQ(p.entries[0].data, "new");
}

TEST_F(FolderTrees, DiskWildcardsPassOverWhatIsNoFile) {
  if (vt::runs_through_launcher())
    GTEST_SKIP() << "POSIX symbolic links and pipes: Wine shows them to a Windows program as the files they name";
  vt::make_dir("dang");
  vt::write_file("dang/f.txt", "real");
  ASSERT_EQ(symlink("../nowhere", "dang/gone"), 0);
  ASSERT_EQ(symlink("f.txt", "dang/to-f"), 0);  // a link to a file stores the file
  ASSERT_EQ(mkfifo("dang/pipe", 0600), 0);
  for (const std::string recurse : {"-r", "+r"}) {
    SCOPED_TRACE(recurse);
    ASSERT_EQ(vt::vorn({"d.vrn", recurse, "+p", "dang/*"}), 0);
    vt::Parsed p = parse("d.vrn");
    EXPECT_EQ(entry_names(p), Names({"dang/f.txt", "dang/to-f"}));
    ASSERT_EQ(unlink("d.vrn"), 0);
  }
  // Named explicitly, such an item still fails the run: no archive.
  EXPECT_EQ(vt::vorn({"e.vrn", "dang/gone"}), vt::FAIL);
  EXPECT_EQ(vt::vorn({"e.vrn", "dang/pipe"}), vt::FAIL);
  EXPECT_FALSE(vt::file_exists("e.vrn"));
}

TEST_F(FolderTrees, NamesThatClimbOutAreNeverStored) {
  vt::write_file("a.txt", "above");
  vt::make_dir("w");
  ASSERT_EQ(chdir("w"), 0);
  vt::make_dir("sub");
  for (const std::string name : {"../a.txt", "..\\a.txt", "sub/../../a.txt", "sub\\..\\..\\a.txt"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(vt::vorn({"n.vrn", "+p", name}), vt::FAIL);
    EXPECT_FALSE(vt::file_exists("n.vrn"));
  }
  // An existing archive stays as it was; without "+p" the bare name is stored.
  vt::write_file("b.txt", "bee");
  ASSERT_EQ(vt::vorn({"n.vrn", "b.txt"}), 0);
  const std::string before = vt::read_file("n.vrn");
  EXPECT_EQ(vt::vorn({"n.vrn", "+p", "../a.txt", "-p", "b.txt"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("n.vrn"), before);
  EXPECT_EQ(vt::list_dir("."), Names({"b.txt", "n.vrn", "sub"}));
  ASSERT_EQ(vt::vorn({"n.vrn", "../a.txt"}), 0);
  EXPECT_EQ(entry_names(parse("n.vrn")), Names({"b.txt", "a.txt"}));
}

// Runs the executable under `program` as argv[0] with the identity of an
// unprivileged user (as ourselves when we are not root).  The exit status
// as the shell sees it, or -1.
int run_unprivileged(uid_t uid, gid_t gid, const std::string& program,
                     const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, 0);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
      _exit(126);
    std::vector<char*> argv;
    std::string name = program;
    argv.push_back(&name[0]);
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(VORN_EXE, argv.data());
    _exit(127);
  }
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(FolderTrees, ReadOnlyArchivesServeRunsThatOnlyRead) {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (uid == 0) {
    const struct passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no unprivileged user to run as";
    uid = nobody->pw_uid;
    gid = nobody->pw_gid;
  }
  ASSERT_EQ(chmod(".", 0777), 0);  // the unprivileged user writes here
  vt::write_file("b.txt", "new bee");
  vt::write_file("ro.vrn", vt::build_archive({{"a.txt", "aaa", 0, 0x07},
                                              {"b.txt", "bbb", 0, 0x04},
                                              {"a2.txt", "aaa", 0, 0x07}}));
  ASSERT_EQ(chmod("ro.vrn", 0444), 0);
  vt::write_file("stub.exe", "MZ a stub");
  ASSERT_EQ(chmod("b.txt", 0666), 0);
  const std::string before = vt::read_file("ro.vrn");
  if (run_unprivileged(uid, gid, "vorn", {}) != 0)
    GTEST_SKIP() << "the unprivileged user cannot run the built executable";

  EXPECT_EQ(run_unprivileged(uid, gid, "vornex", {"ro.vrn", "-v"}), 0);
  EXPECT_EQ(run_unprivileged(uid, gid, "vornex", {"ro.vrn", "a.txt"}), 0);
  EXPECT_EQ(vt::read_file("a.txt"), "aaa");

  // Runs that would rewrite it fail and change nothing.
  const std::vector<std::vector<std::string>> rewrites = {
      {"vorn", "ro.vrn", "b.txt"},
      {"vorn", "ro.vrn", "-d", "a.txt"},
      {"vornalt", "ro.vrn", "+e", "a.txt"},
      {"vorn", "ro.vrn", "-redund:r.txt"},
      {"vornex", "ro.vrn", "-stub:stub.exe"},
  };
  for (const auto& r : rewrites) {
    SCOPED_TRACE(r[1] + " " + r[2]);
    EXPECT_EQ(run_unprivileged(uid, gid, r[0], {r.begin() + 1, r.end()}), vt::FAIL);
    EXPECT_EQ(vt::read_file("ro.vrn"), before);
    EXPECT_EQ(vt::read_file("b.txt"), "new bee");
    EXPECT_EQ(vt::list_dir("."), Names({"a.txt", "b.txt", "ro.vrn", "stub.exe"}));
  }
}

}  // namespace
