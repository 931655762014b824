// Extraction as a user runs it: archives laid out by the tests' own writer,
// extracted by the built executable in a scratch folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/craft.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

using vt::Entry;

constexpr uint8_t IN_DIR = 0x07;        // compressed flag kept, in directory, l
constexpr uint8_t IN_DIR_PLAIN = 0x06;  // in directory, compressed flag clear
constexpr uint8_t STORED = 0x04;        // standalone, stored
constexpr uint8_t DEFLATED = 0x05;      // standalone, compressed

// Bytes that are not all text, long enough to span several stream buffers.
std::string pattern_bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned v = seed;
  for (size_t i = 0; i < n; ++i) {
    v = v * 1103515245u + 12345u;
    s[i] = static_cast<char>((i % 7 == 0) ? 0 : (v >> 16) & 0x3F);
  }
  return s;
}

int vornex(const std::vector<std::string>& args, const std::string& in = "") {
  return vt::run("vornex", args, in);
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class ExtractRun : public vt::Scratch {};

TEST_F(ExtractRun, EveryPlacementComesBackByteForByte) {
  const std::vector<Entry> entries = {
      {"in1.txt", "first in the directory stream", 0, IN_DIR},
      {"st.bin", pattern_bytes(70001, 1), 0, STORED},
      {"empty.in", "", 0, IN_DIR},
      {"sc.dat", pattern_bytes(200000, 2), 0, DEFLATED},
      {"big.in", pattern_bytes(150000, 3), 0, IN_DIR},
      {"empty.st", "", 0, DEFLATED},
      {"plain.in", "flag clear, still in the stream", 0, IN_DIR_PLAIN},
  };
  vt::write_file("a.vrn", vt::build_archive(entries));
  ASSERT_EQ(vornex({"a.vrn", "*"}), 0);
  std::vector<std::string> expected = {"a.vrn"};
  for (const Entry& e : entries) {
    EXPECT_TRUE(vt::file_exists(e.name)) << e.name;
    EXPECT_EQ(vt::read_file(e.name), e.data) << e.name;
    expected.push_back(e.name);
  }
  EXPECT_EQ(vt::list_dir("."), sorted(expected));  // no temporary file left
}

TEST_F(ExtractRun, OnlyNamedEntriesAreWrittenWhateverComesBefore) {
  const std::string big = pattern_bytes(120000, 4);
  const std::vector<Entry> entries = {
      {"s1.bin", pattern_bytes(5000, 5), 0, STORED},
      {"s2.bin", pattern_bytes(9000, 6), 0, DEFLATED},
      {"skip1.txt", big, 0, IN_DIR},
      {"skip2.txt", "short one", 0, IN_DIR},
      {"want.txt", "the one asked for", 0, IN_DIR},
      {"tail.txt", "after it", 0, IN_DIR},
  };
  vt::write_file("a.vrn", vt::build_archive(entries));
  // A pattern under -x matches stored names case-sensitively; names given
  // plainly match without regard to case.
  ASSERT_EQ(vornex({"a.vrn", "WANT.TXT", "s2.bin"}), 0);
  EXPECT_EQ(vt::read_file("want.txt"), "the one asked for");
  EXPECT_EQ(vt::read_file("s2.bin"), entries[1].data);
  EXPECT_EQ(vt::list_dir("."), sorted({"a.vrn", "s2.bin", "want.txt"}));

  // An entry declined at the question is read past like an unnamed one.
  vt::write_file("skip1.txt", "mine");
  ASSERT_EQ(vornex({"a.vrn", "skip*", "tail.txt"}, "n"), 0);
  EXPECT_EQ(vt::read_file("skip1.txt"), "mine");
  EXPECT_EQ(vt::read_file("skip2.txt"), "short one");
  EXPECT_EQ(vt::read_file("tail.txt"), "after it");
}

TEST_F(ExtractRun, PathNamesGetTheirFoldersMade) {
  vt::write_file("a.vrn", vt::build_archive({
                              {"dir\\a.txt", "in a folder", 0, IN_DIR},
                              {"dir/b.txt", "also in it", 0, STORED},
                              {"new\\deeper/still\\c.txt", "three levels down", 0, IN_DIR},
                              {"new//./twice.txt", "doubled separator and a dot", 0, STORED},
                          }));
  vt::make_dir("dir");
  ASSERT_EQ(vornex({"a.vrn", "*"}), 0);
  EXPECT_EQ(vt::read_file("dir/a.txt"), "in a folder");
  EXPECT_EQ(vt::read_file("dir/b.txt"), "also in it");
  EXPECT_EQ(vt::list_dir("dir"), sorted({"a.txt", "b.txt"}));
  EXPECT_EQ(vt::read_file("new/deeper/still/c.txt"), "three levels down");
  EXPECT_EQ(vt::read_file("new/twice.txt"), "doubled separator and a dot");
  EXPECT_EQ(vt::list_dir("new"), sorted({"deeper", "twice.txt"}));
  EXPECT_EQ(vt::list_dir("."), sorted({"a.vrn", "dir", "new"}));

  // A file where a folder must be: the run fails there and the file is
  // untouched; a standalone target written before stays, in-directory ones
  // are put in place only by a run that reaches the directory stream's end.
  vt::ScratchDir other;
  vt::write_file("plain", "a file");
  vt::write_file("b.vrn", vt::build_archive({
                              {"solo.txt", "standalone, written before", 0, 0x05},
                              {"first.txt", "written before", 0, IN_DIR},
                              {"plain\\x.txt", "nowhere to go", 0, IN_DIR},
                              {"last.txt", "never reached", 0, IN_DIR},
                          }));
  EXPECT_EQ(vornex({"b.vrn", "*"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("solo.txt"), "standalone, written before");
  EXPECT_EQ(vt::read_file("plain"), "a file");
  EXPECT_EQ(vt::list_dir("."), sorted({"b.vrn", "plain", "solo.txt"}));
}

TEST_F(ExtractRun, OverwriteQuestionAnswers) {
  // Standalone records come first in the directory: t1 is asked about first.
  vt::write_file("a.vrn", vt::build_archive({
                              {"t2.txt", "new two", 0, IN_DIR},
                              {"t1.txt", "new one", 0, STORED},
                          }));
  struct Case {
    std::string input;
    std::string t1, t2;
  };
  const std::vector<Case> cases = {
      {"xY", "new one", "old two"},    // x ignored, Y replaces; no input left: 'n'
      {"n", "old one", "old two"},
      {"", "old one", "old two"},      // end of input answers no
      {"?\r\nzA", "new one", "new two"},  // 'a' covers every later target
      {"an", "new one", "new two"},    // nothing is read once 'a' was given
      {"ny", "old one", "new two"},    // each target asked in turn
      {"yn", "new one", "old two"},
  };
  for (const Case& c : cases) {
    vt::write_file("t1.txt", "old one");
    vt::write_file("t2.txt", "old two");
    EXPECT_EQ(vornex({"a.vrn", "t1.txt", "t2.txt"}, c.input), 0) << c.input;
    EXPECT_EQ(vt::read_file("t1.txt"), c.t1) << c.input;
    EXPECT_EQ(vt::read_file("t2.txt"), c.t2) << c.input;
    EXPECT_TRUE(vt::temporaries().empty()) << c.input;
  }
}

TEST_F(ExtractRun, KeyedEntriesNeedTheirKey) {
  vt::write_file("a.vrn", vt::build_archive({
                              {"k.txt", "locked", vt::key_hash("secret"), IN_DIR},
                              {"free.txt", "open", 0, IN_DIR},
                          }));
  ASSERT_EQ(vornex({"a.vrn", "k.txt", "free.txt"}), 0);
  EXPECT_FALSE(vt::file_exists("k.txt"));
  EXPECT_EQ(vt::read_file("free.txt"), "open");
  ASSERT_EQ(vornex({"a.vrn", "-sSECRET", "k.txt"}), 0);  // key text case counts
  EXPECT_FALSE(vt::file_exists("k.txt"));
  ASSERT_EQ(vornex({"a.vrn", "-ssecret", "k.txt"}), 0);
  EXPECT_EQ(vt::read_file("k.txt"), "locked");
}

TEST_F(ExtractRun, HostileNamesNeverLeaveTheCurrentFolder) {
  // Work one level down, so that a climb would land in the scratch folder.
  vt::make_dir("w");
  ASSERT_EQ(chdir("w"), 0);
  vt::make_dir("a");
  // A root folder no machine has: should a rooted name ever escape, the run
  // fails on it instead of writing into a real system folder (tests run as root).
  const std::string root_dir = "vorn-test-no-such-root";
  vt::make_dir(root_dir);
  for (const std::string name : {"..\\x", "../x", "a/../../x", "a\\..\\..\\x"}) {
    vt::write_file("h.vrn", vt::build_archive({
                                {"ok.txt", "fine", 0, IN_DIR},
                                {name, "escaped", 0, IN_DIR},
                                {"after.txt", "not reached", 0, IN_DIR},
                            }));
    EXPECT_EQ(vornex({"h.vrn", "*"}), vt::FAIL) << name;
    EXPECT_FALSE(vt::file_exists("ok.txt")) << name;  // in-directory: not put in place
    EXPECT_FALSE(vt::file_exists("after.txt")) << name;
    EXPECT_EQ(vt::list_dir(".."), std::vector<std::string>{"w"}) << name;
    EXPECT_EQ(vt::list_dir("a"), std::vector<std::string>{}) << name;
  }
  // Absolute names and drive prefixes are taken under the current folder.
  vt::write_file("h.vrn", vt::build_archive({
                              {"/" + root_dir + "/x", "rooted", 0, IN_DIR},
                              {"C:\\y", "on a drive", 0, STORED},
                              {"C:z", "drive-relative", 0, IN_DIR},
                          }));
  ASSERT_EQ(vornex({"h.vrn", "*"}), 0);
  EXPECT_EQ(vt::read_file(root_dir + "/x"), "rooted");
  EXPECT_FALSE(vt::file_exists("/" + root_dir)) << "a rooted name was written at the root";
  EXPECT_EQ(vt::read_file("y"), "on a drive");
  EXPECT_EQ(vt::read_file("z"), "drive-relative");
}

TEST_F(ExtractRun, TargetsThatMustNotBeReplaced) {
  // A folder in the target's place: never reported as written.
  vt::make_dir("d");
  vt::write_file("a.vrn", vt::build_archive({{"d", "file data", 0, IN_DIR}}));
  EXPECT_EQ(vornex({"a.vrn", "d"}, "a"), vt::FAIL);
  EXPECT_EQ(vt::list_dir("d"), std::vector<std::string>{});

  // An entry bearing the archive's own name would destroy the archive.
  const std::string self = vt::build_archive({{"self.vrn", "not an archive", 0, IN_DIR}});
  vt::write_file("self.vrn", self);
  EXPECT_EQ(vornex({"self.vrn", "self.vrn"}, "a"), vt::FAIL);
  EXPECT_EQ(vt::read_file("self.vrn"), self);
  EXPECT_TRUE(vt::temporaries().empty());

  // An entry bearing a name of the temporary form is never extracted, within
  // a rewrite or alone: the run fails and changes nothing.
  const std::string tmp_named = vt::build_archive({{"vornab12cd34.tmp", "precious", 0, IN_DIR},
                                                   {"b.txt", "bee", 0, IN_DIR}});
  vt::write_file("t.vrn", tmp_named);
  vt::write_file("n.txt", "new");
  EXPECT_EQ(vt::vorn({"t.vrn", "n.txt", "-x", "vornab12cd34.tmp"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("t.vrn"), tmp_named);
  EXPECT_TRUE(vt::temporaries().empty());
  EXPECT_EQ(vornex({"t.vrn", "vornab12cd34.tmp"}), vt::FAIL);
  EXPECT_TRUE(vt::temporaries().empty());
}

TEST_F(ExtractRun, DamagedDataLeavesTheTargetAlone) {
  const std::string data = pattern_bytes(3000, 7);
  std::vector<std::string> archives;
  {
    // Adler-32 of a compressed standalone entry spoiled.
    std::string a = vt::build_archive({{"t.dat", data, 0, DEFLATED}});
    a[vt::zcompress(data).size() - 1] ^= 0x5A;
    archives.push_back(a);
  }
  // The zlib stream holds more than the record's size.
  archives.push_back(vt::build_archive_raw({{"t.dat", vt::zcompress(data + "more"), 3000, 0, DEFLATED}}));
  // The zlib stream ends before the record's size.
  archives.push_back(vt::build_archive_raw({{"t.dat", vt::zcompress(data.substr(0, 2000)), 3000, 0, DEFLATED}}));
  // Stored data claimed past the data area.
  archives.push_back(vt::build_archive_raw({{"t.dat", data.substr(0, 100), 3000, 0, STORED}}));
  // In-directory data shorter than the record says.
  archives.push_back(vt::build_archive_raw({{"t.dat", data.substr(0, 100), 3000, 0, IN_DIR}}));
  {
    // Directory stream whose Adler-32 is spoiled after the last entry's data.
    std::string a = vt::build_archive({{"t.dat", data, 0, IN_DIR}});
    a[a.size() - 5] ^= 0x5A;
    archives.push_back(a);
  }
  for (size_t k = 0; k < archives.size(); ++k) {
    vt::write_file("a.vrn", archives[k]);
    vt::write_file("t.dat", "old contents");
    EXPECT_EQ(vornex({"a.vrn", "t.dat"}, "y"), vt::FAIL) << "archive " << k;
    EXPECT_EQ(vt::read_file("t.dat"), "old contents") << "archive " << k;
    EXPECT_EQ(vt::list_dir("."), sorted({"a.vrn", "t.dat"})) << "archive " << k;
  }
}

TEST_F(ExtractRun, WithinARewriteEntriesAreReadAsTheyLay) {
  const std::string moved = pattern_bytes(40000, 8);
  const std::string restored = pattern_bytes(50000, 9);
  vt::write_file("a.vrn", vt::build_archive({
                              {"moved.txt", moved, 0, IN_DIR},
                              {"restored.dat", restored, 0, DEFLATED},
                              {"kept.txt", "stays in the stream", 0, IN_DIR},
                          }));
  vt::write_file("new.txt", "added in the same run");
  // new.txt is added; "-c -g" makes the extract specs move moved.txt out of
  // the stream and re-store restored.dat uncompressed before extraction runs.
  ASSERT_EQ(vt::vorn({"a.vrn", "new.txt", "-c", "-g", "-x", "moved.txt", "restored.dat",
                      "+g", "kept.txt"}),
            0);
  EXPECT_EQ(vt::read_file("moved.txt"), moved);
  EXPECT_EQ(vt::read_file("restored.dat"), restored);
  EXPECT_EQ(vt::read_file("kept.txt"), "stays in the stream");

  vt::Parsed p;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("a.vrn"), &p)) << p.error;
  std::vector<std::string> names;
  for (const Entry& e : p.entries) {
    names.push_back(e.name);
    if (e.name == "moved.txt") {
      EXPECT_EQ(e.data, moved);
    } else if (e.name == "restored.dat") {
      EXPECT_EQ(e.data, restored);
    } else if (e.name == "new.txt") {
      EXPECT_EQ(e.data, "added in the same run");
    }
  }
  EXPECT_EQ(sorted(names), sorted({"kept.txt", "moved.txt", "new.txt", "restored.dat"}));
}

}  // namespace
