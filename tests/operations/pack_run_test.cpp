// Creating and updating archives with the built executable: every result is
// read back with the tests' own archive reader and compared entry by entry.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

#include <string>
#include <vector>

#include "support/e2e.h"
#include "support/scratch.h"

using namespace rt;
using vt::FAIL;

namespace {

class Pack : public vt::Scratch {};

using Names = std::vector<std::string>;

TEST_F(Pack, NewArchiveWithDefaultSettings) {
  const std::string big = noise(70000, 1);
  vt::write_file("a.txt", "abc");
  vt::write_file("b.bin", big);
  vt::write_file("empty", "");
  ASSERT_EQ(vt::vorn({"arc.vrn", "a.txt", "b.bin", "empty"}), 0);
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"a.txt", "b.bin", "empty"}));
  expect_entry(p, "a.txt", "abc", DC);
  expect_entry(p, "b.bin", big, DC);
  expect_entry(p, "empty", "", DC);
  EXPECT_EQ(p.dir_offset, 0u);  // no stub, no standalone data
  EXPECT_TRUE(vt::temporaries().empty());
}

TEST_F(Pack, EveryFlagOptionReachesTheRecord) {
  vt::write_file("s.txt", "stored standalone");
  vt::write_file("c.txt", noise(5000, 2));
  vt::write_file("d.txt", "in directory");
  ASSERT_EQ(vt::vorn({"arc.vrn", "-c", "-g", "-l", "+e", "+1", "+2", "+3", "+4", "s.txt",
                      "+c", "+l", "-e", "-1", "-2", "-3", "-4", "c.txt", "+g", "-c", "d.txt"}),
            0);
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"s.txt", "c.txt", "d.txt"}));
  expect_entry(p, "s.txt", "stored standalone", 0xF8);
  expect_entry(p, "c.txt", noise(5000, 2), SC);
  expect_entry(p, "d.txt", "in directory", DS);
  // The stored standalone entry's bytes lie as they are at the front.
  EXPECT_EQ(p.offsets[0], 0u);
  EXPECT_EQ(vt::read_file("arc.vrn").substr(0, 17), "stored standalone");
  EXPECT_EQ(p.offsets[1], 17u);
}

TEST_F(Pack, SettingsArePositional) {
  vt::write_file("a.txt", "aaaa");
  vt::write_file("b.txt", "bbbb");
  ASSERT_EQ(vt::vorn({"arc.vrn", "+c", "a.txt", "-c", "b.txt"}), 0);
  vt::Parsed p = parse("arc.vrn");
  expect_entry(p, "a.txt", "aaaa", DC);
  expect_entry(p, "b.txt", "bbbb", DS);

  // Delete one and add another in one run.
  vt::write_file("new.txt", "fresh");
  ASSERT_EQ(vt::vorn({"arc.vrn", "-d", "a.txt", "-a", "new.txt"}), 0);
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"b.txt", "new.txt"}));
  expect_entry(p, "b.txt", "bbbb", DS);
  expect_entry(p, "new.txt", "fresh", DC);
}

TEST_F(Pack, ReplaceKeepsEveryOtherEntryAsItWas) {
  const std::string s_data = noise(3000, 3);
  vt::write_file("arc.vrn", vt::build_archive({entry("s.txt", s_data, SS),
                                                entry("t.txt", noise(2000, 4), 0xF5),
                                                entry("a.txt", "old", DC),
                                                entry("z.txt", "zz", 0x9E)}));
  vt::write_file("a.txt", "new content");
  ASSERT_EQ(vt::vorn({"arc.vrn", "a.txt"}), 0);
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"s.txt", "t.txt", "z.txt", "a.txt"}));
  expect_entry(p, "s.txt", s_data, SS);
  expect_entry(p, "t.txt", noise(2000, 4), 0xF5);
  expect_entry(p, "z.txt", "zz", 0x9E);
  expect_entry(p, "a.txt", "new content", DC);
  EXPECT_EQ(vt::read_file("arc.vrn").substr(0, s_data.size()), s_data);

  // A standalone entry replaced by a standalone file, under its own name.
  vt::write_file("S.TXT", "replacement");
  ASSERT_EQ(vt::vorn({"arc.vrn", "-g", "S.TXT"}), 0);
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"t.txt", "S.TXT", "z.txt", "a.txt"}));
  expect_entry(p, "S.TXT", "replacement", SC);

  // A name first given for deletion, then for adding, replaces the entry.
  vt::write_file("t.txt", "third version");
  ASSERT_EQ(vt::vorn({"arc.vrn", "-d", "t.txt", "-a", "-g", "t.txt"}), 0);
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"S.TXT", "t.txt", "z.txt", "a.txt"}));
  expect_entry(p, "t.txt", "third version", SC);
}

TEST_F(Pack, AddingAPathWithoutKeepingItReplacesTheEntryOfItsBareName) {
  vt::make_dir("dir");
  vt::write_file("dir/a.txt", "from disk");
  vt::write_file("arc.vrn", vt::build_archive({entry("dir\\a.txt", "standalone old", SS),
                                                entry("dir\\b.txt", "in dir old", DC)}));
  vt::write_file("dir/b.txt", "b from disk");
  // Stored as a.txt and b.txt: the entries kept with their folder are other
  // names and stay beside them, whatever their placement.
  ASSERT_EQ(vt::vorn({"arc.vrn", "dir\\a.txt", "dir\\b.txt"}), 0);
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"dir\\a.txt", "dir\\b.txt", "a.txt", "b.txt"}));
  expect_entry(p, "dir\\a.txt", "standalone old", SS);
  expect_entry(p, "dir\\b.txt", "in dir old", DC);
  expect_entry(p, "a.txt", "from disk", DC);
  expect_entry(p, "b.txt", "b from disk", DC);

  // The same files again, spelled with '/' and as a folder wildcard: each
  // replaces the entry stored under its bare name (once they collided).
  vt::write_file("dir/a.txt", "second a");
  ASSERT_EQ(vt::vorn({"arc.vrn", "dir/a.txt"}), 0);
  ASSERT_EQ(vt::vorn({"arc.vrn", "-g", "dir/*"}), 0);
  ASSERT_EQ(vt::vorn({"arc.vrn", "dir/*"}), 0);
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"dir\\a.txt", "dir\\b.txt", "a.txt", "b.txt"}));
  expect_entry(p, "a.txt", "second a", DC);
  expect_entry(p, "b.txt", "b from disk", DC);

  // "+p" keeps the path in the name.
  vt::write_file("dir/c.txt", "c");
  vt::write_file("dir/d.txt", "d");
  ASSERT_EQ(vt::vorn({"arc.vrn", "+p", "dir\\c.txt", "-p", "dir/d.txt"}), 0);
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"dir\\a.txt", "dir\\b.txt", "a.txt", "b.txt", "dir\\c.txt", "d.txt"}));
  expect_entry(p, "dir\\c.txt", "c", DC);
  expect_entry(p, "d.txt", "d", DC);
}

TEST_F(Pack, DeleteRemovesStandaloneAndInDirectoryEntries) {
  const std::string d2 = noise(40000, 5);
  vt::write_file("arc.vrn", vt::build_archive({entry("s1", noise(9000, 6), SC),
                                                entry("s2", "stored two", SS),
                                                entry("d1", "first", DC), entry("d2", d2, DC),
                                                entry("d3", "third", DC), entry("d4", "fourth", DS),
                                                entry("x.log", "log", DC),
                                                entry("dir\\y.LOG", "log2", SS)}));
  ASSERT_EQ(vt::vorn({"arc.vrn", "-d", "s1", "D2"}), 0);
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"s2", "dir\\y.LOG", "d1", "d3", "d4", "x.log"}));
  expect_entry(p, "s2", "stored two", SS);
  expect_entry(p, "d1", "first", DC);
  expect_entry(p, "d3", "third", DC);
  expect_entry(p, "d4", "fourth", DS);

  // Under "-g" a delete still removes an in-directory entry; a pattern
  // selects stored names (bare part after the last backslash).
  ASSERT_EQ(vt::vorn({"arc.vrn", "-g", "-d", "d3", "*.log"}), 0);
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"s2", "d1", "d4"}));
  expect_entry(p, "d4", "fourth", DS);

  // Everything in the directory deleted: count 0 and nothing else.
  ASSERT_EQ(vt::vorn({"arc.vrn", "-d", "*"}), 0);
  p = parse("arc.vrn");
  EXPECT_TRUE(p.entries.empty());
  std::string bytes = vt::read_file("arc.vrn");
  std::string dir_stream;
  ASSERT_TRUE(vt::zinflate(bytes.substr(p.dir_offset, bytes.size() - 4 - p.dir_offset), &dir_stream));
  EXPECT_EQ(dir_stream, vt::u32le(0));
}

// Re-storing under "+m" in all four directions, with key and attribute
// changes; the entries after a moved-out one must still get their own bytes.
TEST_F(Pack, ModifyReStoresInEveryDirection) {
  const uint32_t pw = vt::key_hash("pw");
  const std::string sc = noise(50000, 7), dc = noise(30000, 8);
  vt::write_file("arc.vrn", vt::build_archive({entry("sc", sc, SC, pw), entry("ss", "stored", SS),
                                                entry("keep2", "k2 standalone", SC),
                                                entry("dc", dc, DC), entry("dd", "in dir two", DC),
                                                entry("keep1", "k1", 0xD6)}));
  ASSERT_EQ(vt::run("vornalt", {"arc.vrn", "-spw", "-g", "-c", "sc", "+c", "dc", "+g", "ss",
                                "+e", "+snewkey", "dd", "new.txt"}),
            0);
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"sc", "keep2", "dc", "dd", "keep1", "ss"}));
  expect_entry(p, "sc", sc, SS);                  // compressed -> stored, key cleared
  expect_entry(p, "keep2", "k2 standalone", SC);  // untouched
  expect_entry(p, "dc", dc, SC);                  // moved out, compressed
  expect_entry(p, "dd", "in dir two", 0x0F, vt::key_hash("newkey"));
  expect_entry(p, "keep1", "k1", 0xD6);
  expect_entry(p, "ss", "stored", DC);            // moved in
  EXPECT_EQ(find(p, "new.txt"), nullptr);         // modify stores no new file

  // Stored -> compressed standalone, and back into the directory uncompressed.
  ASSERT_EQ(vt::run("vornalt", {"arc.vrn", "-g", "+c", "sc", "+g", "-c", "dc"}), 0);
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"sc", "keep2", "dd", "keep1", "ss", "dc"}));
  expect_entry(p, "sc", sc, SC);
  expect_entry(p, "dc", dc, DS);
  expect_entry(p, "dd", "in dir two", 0x0F, vt::key_hash("newkey"));
}

TEST_F(Pack, KeysRefuseOrAllowChanges) {
  const uint32_t pw = vt::key_hash("pw");
  const std::string archive =
      vt::build_archive({entry("k2", "old2", SS, pw), entry("k1", "old1", DC, pw),
                         entry("dir\\k3", "old3", DC, pw), entry("o", "other", DC)});
  vt::write_file("arc.vrn", archive);
  vt::write_file("k1", "new1");
  vt::write_file("k2", "new2");
  vt::make_dir("dir");
  vt::write_file("dir/k3", "new3");

  // Without the key: nothing is replaced and no file is stored, on either
  // path, nor in place of an entry its path names with the other separator.
  ASSERT_EQ(vt::vorn({"arc.vrn", "k1", "-g", "k2", "+g", "+p", "dir/k3"}), 0);
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"k2", "k1", "dir\\k3", "o"}));
  expect_entry(p, "k1", "old1", DC, pw);
  expect_entry(p, "k2", "old2", SS, pw);
  expect_entry(p, "dir\\k3", "old3", DC, pw);

  // Wrong key, delete and modify: refused as well.
  ASSERT_EQ(vt::vorn({"arc.vrn", "-swrong", "-d", "k1", "k2"}), 0);
  ASSERT_EQ(vt::run("vornalt", {"arc.vrn", "+e", "k1", "-g", "dir\\k3"}), 0);
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"k2", "k1", "dir\\k3", "o"}));
  expect_entry(p, "k1", "old1", DC, pw);
  expect_entry(p, "dir\\k3", "old3", DC, pw);

  // With the key: replaced on both paths, modified, deleted.
  ASSERT_EQ(vt::vorn({"arc.vrn", "-spw", "k1", "-g", "k2", "+g", "+p", "dir/k3"}), 0);
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"k2", "o", "k1", "dir/k3"}));
  expect_entry(p, "k2", "new2", SC);
  expect_entry(p, "k1", "new1", DC);
  expect_entry(p, "dir/k3", "new3", DC);

  vt::write_file("arc.vrn", archive);
  ASSERT_EQ(vt::run("vornalt", {"arc.vrn", "-spw", "+spw", "+e", "k1", "-g", "-spw", "+sother",
                                "dir\\k3"}),
            0);
  ASSERT_EQ(vt::vorn({"arc.vrn", "-spw", "-d", "k2"}), 0);
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"k3", "k1", "o"}));
  expect_entry(p, "k1", "old1", 0x0F, pw);
  expect_entry(p, "k3", "old3", 0x0D, vt::key_hash("other"));  // "+e" still in force
}

TEST_F(Pack, DiskWildcardsSkipHiddenFilesAndRecurse) {
  vt::write_file("a.txt", "a");
  vt::write_file("b.TXT", "b");
  vt::write_file(".hidden.txt", "h");
  vt::write_file("note.dat", "n");
  vt::make_dir("sub.txt");
  vt::write_file("sub.txt/inner.txt", "inner");
  vt::make_dir("docs");
  vt::write_file("docs/d.txt", "d");
  ASSERT_EQ(vt::vorn({"arc.vrn", "+r", "+p", "*.txt"}), 0);
  vt::Parsed p = parse("arc.vrn");
  std::vector<std::string> got = names(p);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, Names({"a.txt", "b.TXT", "sub.txt\\inner.txt"}));
  expect_entry(p, "sub.txt\\inner.txt", "inner", DC);

  // Without recursion only the folder's own files; a "/" directory part.
  ASSERT_EQ(vt::vorn({"arc2.vrn", "docs/*.txt"}), 0);
  p = parse("arc2.vrn");
  EXPECT_EQ(names(p), Names({"d.txt"}));
  expect_entry(p, "d.txt", "d", DC);
}

// A tree packed by a recursive pattern (lengths taken from the listing) is
// byte for byte the archive its files give when named one by one in the
// same order (each measured when its record is planned).
TEST_F(Pack, PatternAndLiteralNamesGiveTheSameArchive) {
  Names files;
  for (int d = 0; d < 6; ++d) {
    const std::string dir = "t" + std::to_string(d);
    vt::make_dir(dir);
    for (int f = 0; f < 40; ++f) {
      const std::string name = dir + "\\f" + std::to_string(100 + f) + ".h";
      // Some past the smallest block, so that several blocks are cut.
      const size_t size = (f % 7 == 0) ? 65536 + static_cast<size_t>(f) : static_cast<size_t>(f * 37 % 3000);
      vt::write_file(dir + "/f" + std::to_string(100 + f) + ".h",
                     noise(size, static_cast<unsigned>(d * 100 + f)));
      files.push_back(name);
    }
  }
  ASSERT_EQ(vt::vorn({"../by-pattern.vrn", "+r", "+p", "*"}), 0);
  std::vector<std::string> args = {"../by-name.vrn", "+p"};
  args.insert(args.end(), files.begin(), files.end());
  ASSERT_EQ(vt::vorn(args), 0);
  const std::string packed = vt::read_file("../by-pattern.vrn");
  EXPECT_EQ(names(parse("../by-pattern.vrn")), files);
  EXPECT_EQ(packed, vt::read_file("../by-name.vrn"));
  unlink("../by-name.vrn");
  unlink("../by-pattern.vrn");
}

TEST_F(Pack, TheArchiveIsNeverPackedIntoItself) {
  vt::write_file("arc.vrn", vt::build_archive({entry("old", "old data", DC)}));
  vt::write_file("x.txt", "x");
  // Some run's temporary file is unfinished work, never stored (nor touched).
  vt::write_file("vornq1w2e3r4.tmp", "left by an earlier run");
  ASSERT_EQ(vt::vorn({"arc.vrn", "*"}), 0);
  EXPECT_EQ(vt::read_file("vornq1w2e3r4.tmp"), "left by an earlier run");
  unlink("vornq1w2e3r4.tmp");
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"old", "x.txt"}));
  ASSERT_EQ(vt::vorn({"arc.vrn", "arc.vrn"}), 0);
  EXPECT_EQ(names(parse("arc.vrn")), Names({"old", "x.txt"}));
}

TEST_F(Pack, StubFromFileGetsTheChecksumAndIsCarriedOver) {
  const std::string stub = "MZ" + noise(100, 9);
  vt::write_file("stub.exe", stub);
  vt::write_file("a.txt", "aaa");
  vt::write_file("b.txt", noise(3000, 10));
  ASSERT_EQ(vt::vorn({"arc.vrn", "-stub:stub.exe", "a.txt", "-g", "b.txt"}), 0);
  std::string bytes = vt::read_file("arc.vrn");
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(p.data_start, stub.size());
  EXPECT_EQ(vt::mz_sum(bytes), 0xFFFF);
  EXPECT_EQ(bytes.substr(0, 18), stub.substr(0, 18));
  EXPECT_EQ(bytes.substr(20, stub.size() - 20), stub.substr(20));
  expect_entry(p, "a.txt", "aaa", DC);
  expect_entry(p, "b.txt", noise(3000, 10), SC);

  vt::write_file("c.txt", "ccc");
  ASSERT_EQ(vt::vorn({"arc.vrn", "c.txt"}), 0);
  std::string again = vt::read_file("arc.vrn");
  p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"b.txt", "a.txt", "c.txt"}));
  EXPECT_EQ(p.data_start, stub.size());
  EXPECT_EQ(vt::mz_sum(again), 0xFFFF);
  EXPECT_EQ(again.substr(20, stub.size() - 20), stub.substr(20));
}

TEST_F(Pack, ShortStubIsCopiedWithoutChecksum) {
  const std::string stub = "MZ12345678";  // 10 bytes: no checksum word inside
  vt::write_file("stub.exe", stub);
  vt::write_file("a.txt", noise(100, 11));
  ASSERT_EQ(vt::vorn({"arc.vrn", "-stub:stub.exe", "-g", "-c", "a.txt"}), 0);
  std::string bytes = vt::read_file("arc.vrn");
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(bytes.substr(0, 10), stub);
  // The entry's bytes right after the stub are not overwritten.
  EXPECT_EQ(bytes.substr(10, 100), noise(100, 11));
  expect_entry(p, "a.txt", noise(100, 11), SS);
}

TEST_F(Pack, FailuresLeaveTheOldArchiveUntouched) {
  const std::string archive = vt::build_archive({entry("s", "standalone", SC), entry("d", "dir", DC)});
  vt::write_file("arc.vrn", archive);
  vt::write_file("a.txt", "a");

  // A named file that does not exist, on either path.
  EXPECT_EQ(vt::vorn({"arc.vrn", "a.txt", "missing.txt"}), FAIL);
  expect_untouched("arc.vrn", archive);
  EXPECT_EQ(vt::vorn({"arc.vrn", "-g", "a.txt", "missing.txt"}), FAIL);
  expect_untouched("arc.vrn", archive);

  // A stub that does not begin with "MZ".
  vt::write_file("bad.exe", "XX not a stub");
  EXPECT_EQ(vt::vorn({"arc.vrn", "-stub:bad.exe", "a.txt"}), FAIL);
  expect_untouched("arc.vrn", archive);

  // A stored name longer than readers accept.
  std::string long_dir(200, 'd');
  vt::make_dir(long_dir);
  std::string long_name = long_dir + "/" + std::string(60, 'f');
  vt::write_file(long_name, "deep");
  EXPECT_EQ(vt::vorn({"arc.vrn", "+p", long_name}), FAIL);
  expect_untouched("arc.vrn", archive);
  ASSERT_EQ(vt::vorn({"arc.vrn", long_name}), 0);  // its bare name is fine
  EXPECT_EQ(names(parse("arc.vrn")), Names({"s", "d", std::string(60, 'f')}));
  vt::write_file("arc.vrn", archive);

  // A file of 4 GiB, which no size field can hold (sparse: costs nothing).
  vt::write_file("huge.bin", "");
  ASSERT_EQ(truncate("huge.bin", 0x100000000LL), 0);
  EXPECT_EQ(vt::vorn({"arc.vrn", "-g", "huge.bin"}), FAIL);
  expect_untouched("arc.vrn", archive);
  EXPECT_EQ(vt::vorn({"arc.vrn", "huge.bin"}), FAIL);
  expect_untouched("arc.vrn", archive);

  // A new archive that fails is not created at all.
  EXPECT_EQ(vt::vorn({"new.vrn", "missing.txt"}), FAIL);
  EXPECT_FALSE(vt::file_exists("new.vrn"));
  EXPECT_TRUE(vt::temporaries().empty());
}

TEST_F(Pack, ArchiveInAnotherFolderGetsItsTemporaryFileThere) {
  vt::make_dir("out");
  vt::write_file("a.txt", "a");
  ASSERT_EQ(vt::vorn({"out/arc.vrn", "a.txt"}), 0);
  expect_entry(parse("out/arc.vrn"), "a.txt", "a", DC);
  EXPECT_EQ(vt::list_dir("out"), Names({"arc.vrn"}));
  EXPECT_EQ(vt::list_dir("."), Names({"a.txt", "out"}));
}

// An extract spec under "+g" that names a standalone entry in a run that also
// changes the archive moves the entry into the directory, record and data
// together.
TEST_F(Pack, ExtractSpecInARewriteMovesAStandaloneEntryIn) {
  vt::write_file("arc.vrn", vt::build_archive({entry("s.txt", "standalone data", SC),
                                                entry("d.txt", "in dir", DC)}));
  vt::write_file("new.txt", "new");
  ASSERT_EQ(vt::vorn({"arc.vrn", "new.txt", "-x", "s.txt"}), 0);
  EXPECT_EQ(vt::read_file("s.txt"), "standalone data");
  vt::Parsed p = parse("arc.vrn");
  EXPECT_EQ(names(p), Names({"d.txt", "s.txt", "new.txt"}));
  expect_entry(p, "s.txt", "standalone data", DC);
  expect_entry(p, "d.txt", "in dir", DC);
  expect_entry(p, "new.txt", "new", DC);
}

}  // namespace
