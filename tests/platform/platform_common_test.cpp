// The platform layer's contract, written with the standard library alone so
// that the same tests run against both implementations: in test_platform on
// Linux, and as test_platform_common.exe (the Windows build) under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_common.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder, current while the test runs; removed afterwards.
class CommonPlatform : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    std::random_device rd;
    dir_ = fs::temp_directory_path() / ("vorn-common-" + std::to_string(rd()) + std::to_string(rd()));
    ASSERT_TRUE(fs::create_directory(dir_));
    fs::current_path(dir_);
    pf_fault_clear();
  }
  void TearDown() override {
    pf_fault_clear();
    std::error_code ec;
    fs::current_path(old_, ec);
    fs::remove_all(dir_, ec);
  }
  static void put(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
    ASSERT_TRUE(f.good()) << path;
  }
  static std::string get(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }
  static std::vector<std::string> find_names(const char* pattern, std::vector<uint32_t>* attrs = nullptr) {
    std::vector<std::string> names;
    PfFindData d;
    PfFind* h = pf_find_first(pattern, &d);
    if (!h) return names;
    do {
      names.push_back(d.long_name);
      if (attrs) attrs->push_back(d.attributes);
    } while (pf_find_next(h, &d));
    pf_find_close(h);
    return names;
  }
  fs::path old_, dir_;
};

using Names = std::vector<std::string>;

TEST_F(CommonPlatform, EnumerationMatchesWithoutCaseInOneOrder) {
  put("b.txt", "1");
  put("A.TXT", "2");
  put("c.dat", "3");
  put("noext", "4");
  put("notes.txt1", "5");  // a short name NOTES~1.TXT must not make it match *.txt
  fs::create_directory("Sub");
  std::vector<uint32_t> attrs;
  const Names all = find_names("*", &attrs);
  EXPECT_EQ(all, (Names{".", "..", "A.TXT", "b.txt", "c.dat", "noext", "notes.txt1", "Sub"}));
  for (size_t i = 0; i < all.size(); ++i) {
    const bool folder = all[i] == "." || all[i] == ".." || all[i] == "Sub";
    EXPECT_EQ((attrs[i] & PF_ATTR_DIRECTORY) != 0, folder) << all[i];
    EXPECT_EQ(attrs[i] & PF_ATTR_HIDDEN, 0u) << all[i];
  }
  EXPECT_EQ(find_names("*.txt"), (Names{"A.TXT", "b.txt"}));
  EXPECT_EQ(find_names("?.TxT"), (Names{"A.TXT", "b.txt"}));
  EXPECT_EQ(find_names("*.*"), all) << "*.* matches names without a dot too";
  EXPECT_EQ(find_names("sub"), (Names{"Sub"}));
  EXPECT_TRUE(find_names("*.none").empty());
  EXPECT_TRUE(find_names("missing\\*").empty());

  put("Sub/x.c", "x");
  EXPECT_EQ(find_names("Sub\\*.C"), (Names{"x.c"}));
  EXPECT_EQ(find_names("Sub/x*"), (Names{"x.c"}));
}

// Lower-cased names compare as bytes: "." and "_" sit below the letters, a
// name before any longer name it begins.
TEST_F(CommonPlatform, EnumerationOrderComparesLowerCasedBytes) {
  for (const char* n : {"Z", "ab", "a_b", "a", "A.b"}) put(n, "x");
  Names all = find_names("*");
  ASSERT_GE(all.size(), 2u);
  all.erase(all.begin(), all.begin() + 2);  // "." and ".."
  EXPECT_EQ(all, (Names{"a", "A.b", "a_b", "ab", "Z"}));
}

// The order itself, on names no file system of one of the systems can hold
// together: names equal without case (by their own bytes) and bytes past
// 0x7f (above every letter).
TEST_F(CommonPlatform, EnumerationOrderOfNamesEqualWithoutCaseAndHighBytes) {
  pf_common::Found found;
  for (const char* n : {"\xc3\xa9", "ab", "..", "\xff", "AB", "z", "aB", "\x7f", "a", "a\xc3", "A_", "."}) {
    PfFindData item;
    item.long_name = n;
    pf_common::add_found(&found, std::move(item));
  }
  PfFindData d;
  PfFind* h = pf_common::finish_find(&found, &d);
  ASSERT_NE(h, nullptr);
  Names got;
  do got.push_back(d.long_name);
  while (pf_find_next(h, &d));
  pf_find_close(h);
  EXPECT_EQ(got, (Names{".", "..", "a", "A_", "AB", "aB", "ab", "a\xc3", "z", "\x7f", "\xc3\xa9", "\xff"}));
}

TEST_F(CommonPlatform, OpenReadWriteSeekLength) {
  EXPECT_EQ(pf_open_read("nope"), -1);
  EXPECT_EQ(pf_open_rw("nope"), -1) << "read-write open never creates";
  EXPECT_FALSE(fs::exists("nope"));

  int fd = pf_open_create("f.bin");
  ASSERT_GE(fd, 0);
  const std::string bytes("hello\r\n\x1a world\n\0end", 19);  // binary: no translation
  EXPECT_EQ(pf_write(fd, bytes.data(), bytes.size()), 19);
  EXPECT_EQ(pf_file_length(fd), 19);
  EXPECT_EQ(pf_seek(fd, -3, PF_SEEK_END), 16);
  EXPECT_EQ(pf_seek(fd, 0, PF_SEEK_CUR), 16);
  char buf[32] = {0};
  EXPECT_EQ(pf_read(fd, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "end");
  EXPECT_EQ(pf_read(fd, buf, sizeof buf), 0) << "end of file reads 0";
  EXPECT_EQ(pf_seek(fd, -1, PF_SEEK_SET), -1);
  EXPECT_EQ(pf_seek(fd, 1LL << 33, PF_SEEK_SET), 1LL << 33) << "64-bit positions";
  EXPECT_EQ(pf_sync(fd), 0);
  EXPECT_EQ(pf_close(fd), 0);
  EXPECT_EQ(get("f.bin"), bytes);
  EXPECT_EQ(pf_close(fd), -1) << "a closed descriptor is gone";
  EXPECT_EQ(pf_close(-1), -1);

  fd = pf_open_rw("f.bin");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pf_write(fd, "J", 1), 1);
  pf_close(fd);
  EXPECT_EQ(get("f.bin").substr(0, 6), "Jello\r");

  fd = pf_open_create("f.bin");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pf_file_length(fd), 0) << "create truncates";
  pf_close(fd);

  // Several open at once keep apart; a freed descriptor is used again.
  int a = pf_open_create("a"), b = pf_open_create("b");
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_NE(a, b);
  pf_write(a, "aa", 2);
  pf_write(b, "b", 1);
  pf_close(a);
  int c = pf_open_read("b");
  EXPECT_GE(c, 0);
  pf_close(b);
  pf_close(c);
  EXPECT_EQ(get("a"), "aa");
  EXPECT_EQ(get("b"), "b");
}

TEST_F(CommonPlatform, FoldersAndDevicesAreNotFiles) {
  fs::create_directory("folder");
  EXPECT_EQ(pf_open_read("folder"), -1);
  EXPECT_EQ(pf_open_rw("folder"), -1);
  EXPECT_EQ(pf_open_create("folder"), -1);
  EXPECT_EQ(pf_remove("folder"), -1);
  EXPECT_TRUE(fs::is_directory("folder"));
  // Each system's null device and console, named as the other would name
  // them too (there they are merely missing files).
  for (const char* device : {"/dev/null", "NUL", "nul.txt", "CON", "/dev/tty"}) {
    EXPECT_EQ(pf_open_read(device), -1) << device;
    EXPECT_EQ(pf_open_rw(device), -1) << device;
  }
}

TEST_F(CommonPlatform, RenameReplacesInOneStepAndPathsTakeBothSeparators) {
  fs::create_directory("d");
  int fd = pf_open_create("d\\new.txt");
  ASSERT_GE(fd, 0);
  pf_write(fd, "new", 3);
  pf_close(fd);
  EXPECT_EQ(get("d/new.txt"), "new");
  put("d/old.txt", "old contents");
  EXPECT_EQ(pf_rename("d\\new.txt", "d/old.txt"), 0);
  EXPECT_EQ(get("d/old.txt"), "new");
  EXPECT_FALSE(fs::exists("d/new.txt"));
  EXPECT_EQ(pf_sync_parent_dir("d/old.txt"), 0);
  EXPECT_EQ(pf_sync_parent_dir("old-in-here"), 0);
  EXPECT_EQ(pf_sync_parent_dir("missing/x"), -1);

  // A target open elsewhere: POSIX replaces it, Win32 refuses; either way
  // in one step, never half (both files stay as they were on refusal).
  put("d/x", "x");
  int reader = pf_open_read("d/old.txt");
  ASSERT_GE(reader, 0);
  if (pf_rename("d/x", "d\\old.txt") == 0) {
    EXPECT_EQ(get("d/old.txt"), "x");
    EXPECT_FALSE(fs::exists("d/x"));
  } else {
    EXPECT_EQ(get("d/old.txt"), "new");
    EXPECT_EQ(get("d/x"), "x");
  }
  pf_close(reader);
  EXPECT_EQ(pf_rename("d/x", "d\\old.txt") == 0 || !fs::exists("d/x"), true) << "replaced once closed";
  EXPECT_EQ(get("d/old.txt"), "x");

  fs::create_directory("e");
  put("f", "f");
  EXPECT_EQ(pf_rename("f", "e"), -1) << "a folder is never replaced";
  EXPECT_EQ(pf_rename("missing", "g"), -1);
  EXPECT_TRUE(fs::is_directory("e"));

  EXPECT_EQ(pf_exists("d\\old.txt"), 1);
  EXPECT_EQ(pf_exists("d"), 1);
  EXPECT_EQ(pf_exists("nothing"), 0);
  EXPECT_EQ(pf_is_directory("d"), 1);
  EXPECT_EQ(pf_is_directory("d/old.txt"), 0);
  const std::string native = pf_native_path("a/b\\c");
  EXPECT_TRUE(native == "a/b/c" || native == "a\\b\\c") << native;
  EXPECT_EQ(pf_remove("d\\old.txt"), 0);
  EXPECT_EQ(pf_exists("d/old.txt"), 0);
  EXPECT_EQ(pf_remove("d/old.txt"), -1);
}

TEST_F(CommonPlatform, SameFileByPathAndDescriptor) {
  fs::create_directory("d");
  put("d/a", "a");
  put("d/b", "a");
  EXPECT_EQ(pf_same_file("d/a", "d\\a"), 1);
  EXPECT_EQ(pf_same_file("d/a", "d/./a"), 1);
  EXPECT_EQ(pf_same_file("d/a", "d/b"), 0) << "equal contents are not the same file";
  EXPECT_EQ(pf_same_file("d/a", "d"), 0);
  EXPECT_EQ(pf_same_file("d", "d/."), 1) << "folders too";
  EXPECT_EQ(pf_same_file("d/a", "d/missing"), 0);
  int fd = pf_open_read("d/a");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pf_same_file_fd(fd, "d\\a"), 1);
  EXPECT_EQ(pf_same_file_fd(fd, "d/b"), 0);
  pf_close(fd);
  EXPECT_EQ(pf_same_file_fd(fd, "d/a"), 0) << "a closed descriptor names nothing";
}

TEST_F(CommonPlatform, LongPathsWork) {
  // Deeper than the 260 characters of the classic Windows limit.
  std::string dir = std::string(120, 'd') + "/" + std::string(120, 'e');
  fs::create_directories(dir);
  const std::string path = dir + "/" + std::string(60, 'f');
  int fd = pf_open_create(path.c_str());
  ASSERT_GE(fd, 0);
  pf_write(fd, "deep", 4);
  pf_close(fd);
  EXPECT_EQ(pf_exists(path.c_str()), 1);
  const std::string moved = dir + "\\" + std::string(70, 'g');
  EXPECT_EQ(pf_rename(path.c_str(), moved.c_str()), 0);
  fd = pf_open_read(moved.c_str());
  ASSERT_GE(fd, 0);
  char buf[8];
  EXPECT_EQ(pf_read(fd, buf, sizeof buf), 4);
  pf_close(fd);
  EXPECT_EQ(pf_same_file(moved.c_str(), moved.c_str()), 1);
  EXPECT_EQ(pf_remove(moved.c_str()), 0);
  EXPECT_EQ(pf_exists(moved.c_str()), 0);
}

TEST_F(CommonPlatform, FaultHooksFailTheArmedCall) {
  pf_fault_arm(PF_FAULT_WRITE, 2);
  int fd = pf_open_create("f");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pf_write(fd, "a", 1), 1);
  EXPECT_EQ(pf_write(fd, "b", 1), -1);
  EXPECT_EQ(pf_write(fd, "c", 1), 1);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_WRITE), 3);
  pf_fault_arm(PF_FAULT_RENAME, 1);
  EXPECT_EQ(pf_rename("f", "g"), -1);
  pf_fault_arm(PF_FAULT_OPEN_CREATE, 1);
  EXPECT_EQ(pf_open_create("h"), -1);
  EXPECT_FALSE(fs::exists("h"));
  pf_close(fd);
  EXPECT_EQ(get("f"), "ac");
}

// Every kind of fault, armed in turn for the next call of its kind: that call
// fails as the system would have refused it, having done nothing (nothing
// created, truncated, renamed, removed or moved; a short read or write is
// really short), and the call after it works again.  A kind added to the
// layer without a case here fails the test.
TEST_F(CommonPlatform, EveryFaultKindFailsItsCallAndDoesNothing) {
  put("f", "0123456789");
  fs::create_directory("d");
  std::vector<int> covered(PF_FAULT_KIND_COUNT, 0);
  auto arm = [&covered](PfFaultKind kind) {
    pf_fault_clear();
    pf_fault_arm(kind, 1);
    covered[kind] = 1;
  };
  char buf[16] = {0};
  struct Case {
    const char* name;
    std::function<void()> run;
  };
  const std::vector<Case> cases = {
      {"open", [&] {
         const std::vector<std::function<int()>> openers = {
             [] { return pf_open_read("f"); }, [] { return pf_open_rw("f"); }, [] { return pf_open_folder("d"); }};
         for (size_t i = 0; i < openers.size(); ++i) {
           arm(PF_FAULT_OPEN);
           EXPECT_EQ(openers[i](), -1) << "opener " << i;
           int fd = openers[i]();
           EXPECT_GE(fd, 0) << "opener " << i;
           pf_close(fd);
           EXPECT_EQ(pf_fault_calls(PF_FAULT_OPEN), 2);
         }
       }},
      {"create", [&] {
         arm(PF_FAULT_OPEN_CREATE);
         EXPECT_EQ(pf_open_create("f"), -1);
         EXPECT_EQ(get("f"), "0123456789") << "not truncated";
         arm(PF_FAULT_OPEN_CREATE);
         EXPECT_EQ(pf_open_create("n"), -1);
         arm(PF_FAULT_OPEN_CREATE);
         EXPECT_EQ(pf_create_exclusive("x"), -1);
         arm(PF_FAULT_OPEN_CREATE);
         EXPECT_EQ(pf_create_exclusive_default("x"), -1);
         EXPECT_FALSE(fs::exists("n"));
         EXPECT_FALSE(fs::exists("x"));
         int fd = pf_create_exclusive("x");
         EXPECT_GE(fd, 0);
         pf_close(fd);
         EXPECT_EQ(pf_remove("x"), 0);
       }},
      {"read and short read", [&] {
         int fd = pf_open_read("f");
         ASSERT_GE(fd, 0);
         arm(PF_FAULT_READ);
         EXPECT_EQ(pf_read(fd, buf, 4), -1);
         EXPECT_EQ(pf_read(fd, buf, 4), 4);
         EXPECT_EQ(std::string(buf, 4), "0123") << "the failed read moved nothing";
         arm(PF_FAULT_SHORT_READ);
         EXPECT_EQ(pf_read(fd, buf, 5), 2) << "half, rounded down";
         EXPECT_EQ(std::string(buf, 2), "45");
         EXPECT_EQ(pf_read(fd, buf, 3), 3);
         EXPECT_EQ(std::string(buf, 3), "678") << "the short read took only what it returned";
         pf_close(fd);
       }},
      {"write and short write", [&] {
         int fd = pf_open_create("w");
         ASSERT_GE(fd, 0);
         arm(PF_FAULT_WRITE);
         EXPECT_EQ(pf_write(fd, "abc", 3), -1);
         EXPECT_EQ(pf_file_length(fd), 0);
         arm(PF_FAULT_SHORT_WRITE);
         EXPECT_EQ(pf_write(fd, "abcdefghi", 9), 4);
         EXPECT_EQ(pf_file_length(fd), 4);
         EXPECT_EQ(pf_write(fd, "XY", 2), 2);
         pf_close(fd);
         EXPECT_EQ(get("w"), "abcdXY");
       }},
      {"seek, length, flush", [&] {
         int fd = pf_open_rw("f");
         ASSERT_GE(fd, 0);
         EXPECT_EQ(pf_seek(fd, 2, PF_SEEK_SET), 2);
         arm(PF_FAULT_SEEK);
         EXPECT_EQ(pf_seek(fd, 7, PF_SEEK_SET), -1);
         EXPECT_EQ(pf_seek(fd, 0, PF_SEEK_CUR), 2) << "the position stayed";
         arm(PF_FAULT_LENGTH);
         EXPECT_EQ(pf_file_length(fd), -1);
         EXPECT_EQ(pf_file_length(fd), 10);
         arm(PF_FAULT_SYNC);
         EXPECT_EQ(pf_sync(fd), -1);
         EXPECT_EQ(pf_sync(fd), 0);
         pf_close(fd);
       }},
      {"rename", [&] {
         put("g", "g");
         arm(PF_FAULT_RENAME);
         EXPECT_EQ(pf_rename("f", "g"), -1);
         arm(PF_FAULT_RENAME);
         EXPECT_EQ(pf_rename_new("f", "h"), -1);
         EXPECT_EQ(get("f"), "0123456789");
         EXPECT_EQ(get("g"), "g");
         EXPECT_FALSE(fs::exists("h"));
         EXPECT_EQ(pf_rename_new("g", "h"), 0);
         EXPECT_EQ(get("h"), "g");
       }},
      {"remove", [&] {
         arm(PF_FAULT_REMOVE);
         EXPECT_EQ(pf_remove("h"), -1);
         EXPECT_TRUE(fs::exists("h"));
         EXPECT_EQ(pf_remove("h"), 0);
         EXPECT_FALSE(fs::exists("h"));
       }},
      {"folders", [&] {
         arm(PF_FAULT_MAKE_FOLDER);
         EXPECT_EQ(pf_make_folder("m"), -1);
         EXPECT_FALSE(fs::exists("m"));
         EXPECT_EQ(pf_make_folder("m"), 0);
         EXPECT_TRUE(fs::is_directory("m"));
         arm(PF_FAULT_FOLDER_SYNC);
         EXPECT_EQ(pf_sync_parent_dir("d/f"), -1);
         EXPECT_EQ(pf_sync_parent_dir("d/f"), 0);
         arm(PF_FAULT_FOLDER_SYNC);
         EXPECT_EQ(pf_sync_folders({"d/f"}), -1);
         EXPECT_EQ(pf_sync_folders({"d/f"}), 0);
         arm(PF_FAULT_REMOVE_FOLDER);
         EXPECT_EQ(pf_remove_empty_folder("m"), -1);
         EXPECT_TRUE(fs::is_directory("m"));
         EXPECT_EQ(pf_remove_empty_folder("m"), 0);
         EXPECT_FALSE(fs::exists("m"));
       }},
      {"flush pass", [&] {
         arm(PF_FAULT_SYNC_FILES);
         EXPECT_EQ(pf_sync_files({"f"}), -1);
         EXPECT_EQ(pf_sync_files({"f"}), 0);
       }},
      {"enumeration", [&] {
         arm(PF_FAULT_ENUMERATE);
         PfFindData item;
         EXPECT_EQ(pf_find_first("*", &item), nullptr);
         EXPECT_FALSE(find_names("f").empty());
       }},
      {"lock and attributes", [&] {
         int fd = pf_open_rw("f");
         ASSERT_GE(fd, 0);
         arm(PF_FAULT_LOCK);
         EXPECT_EQ(pf_lock(fd, 0), -1);
         EXPECT_EQ(pf_lock(fd, 0), 0);
         pf_close(fd);
         int t = pf_create_exclusive("t");
         ASSERT_GE(t, 0);
         arm(PF_FAULT_ATTRIBUTES);
         EXPECT_EQ(pf_take_attributes(t, "f"), -1);
         EXPECT_EQ(pf_take_attributes(t, "f"), 0);
         pf_close(t);
         EXPECT_EQ(pf_remove("t"), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.run();
  }
  for (int kind = 0; kind < PF_FAULT_KIND_COUNT; ++kind) EXPECT_EQ(covered[kind], 1) << "fault kind " << kind;
}

// The line read over any character reader, here a string's bytes.
TEST(PlatformLines, SplitAtLineEndsWithoutThem) {
  struct Source {
    std::string text;
    size_t at = 0;
    static int next(void* self) {
      Source* s = static_cast<Source*>(self);
      return s->at < s->text.size() ? static_cast<unsigned char>(s->text[s->at++]) : -1;
    }
  };
  auto lines = [](const std::string& text) {
    Source src{text};
    std::vector<std::string> out;
    std::string line = "stale";
    while (pf_common::read_line(&Source::next, &src, &line) == 0) out.push_back(line);
    EXPECT_EQ(pf_common::read_line(&Source::next, &src, &line), -1) << "stays at its end";
    return out;
  };
  EXPECT_EQ(lines("yes\r\nno\n\nlast"), (Names{"yes", "no", "", "last"}));
  EXPECT_EQ(lines("a\rb\r\r\n"), (Names{"a\rb\r"})) << "only the CR of the line end goes";
  EXPECT_EQ(lines("\xff\x01\n"), (Names{"\xff\x01"})) << "every byte value is kept";
  EXPECT_TRUE(lines("").empty());
  EXPECT_EQ(lines("\n"), (Names{""}));
}

TEST_F(CommonPlatform, FilesAreFlushedTogetherAndOnlyEmptyFoldersRemoved) {
  put("a", "first");
  fs::create_directory("sub");
  put("sub/b", "second");
  EXPECT_EQ(pf_sync_files({}), 0);
  EXPECT_EQ(pf_sync_files({"a", "sub\\b"}), 0);
  EXPECT_EQ(get("a"), "first");
  // Only regular files: a missing name or a folder fails the pass.
  EXPECT_EQ(pf_sync_files({"a", "missing"}), -1);
  EXPECT_EQ(pf_sync_files({"sub"}), -1);
  pf_fault_arm(PF_FAULT_SYNC_FILES, 1);
  EXPECT_EQ(pf_sync_files({"a"}), -1);
  EXPECT_EQ(pf_sync_files({"a"}), 0);
  // Their folders, in one pass too; a folder that is not there fails it.
  EXPECT_EQ(pf_sync_folders({"a", "sub/b", "sub"}), 0);
  EXPECT_EQ(pf_sync_folders({"a", "nosuch/x"}), -1);
  pf_fault_arm(PF_FAULT_FOLDER_SYNC, 1);
  EXPECT_EQ(pf_sync_folders({"a"}), -1);

  fs::create_directory("sub/empty");
  EXPECT_EQ(pf_remove_empty_folder("sub"), -1);  // holds b and a folder
  EXPECT_EQ(pf_remove_empty_folder("a"), -1);    // a file is no folder
  EXPECT_EQ(pf_remove_empty_folder("nothing"), -1);
  pf_fault_arm(PF_FAULT_REMOVE_FOLDER, 1);
  EXPECT_EQ(pf_remove_empty_folder("sub\\empty"), -1);
  EXPECT_TRUE(fs::is_directory("sub/empty"));
  EXPECT_EQ(pf_remove_empty_folder("sub\\empty"), 0);
  EXPECT_FALSE(fs::exists("sub/empty"));
  fs::create_directory("sub/again");
  EXPECT_EQ(pf_remove_empty_folder_native(pf_native_path("sub/again").c_str()), 0);
  EXPECT_FALSE(fs::exists("sub/again"));
  EXPECT_EQ(get("sub/b"), "second");
  EXPECT_TRUE(fs::exists("a"));
}

}  // namespace
