// Runs of the built executable under its different names: what a user sees
// is the exit status and the files left behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/support.h"

namespace {

using Names = std::vector<std::string>;

std::string stub_bytes() {
  std::string stub = "MZ";
  stub.append(62, '\x01');
  return stub;
}

// The data of the entry of that name, or "<absent>".
std::string entry_data(const vt::Parsed& parsed, const std::string& name) {
  for (const vt::Entry& e : parsed.entries)
    if (e.name == name) return e.data;
  return "<absent>";
}

class EndToEndTest : public vt::Scratch {
 protected:
  // An archive with one in-directory and one standalone entry.
  std::string make_archive() {
    std::string bytes = vt::build_archive({{"a.txt", "alpha alpha alpha", 0, 0x07},
                                           {"b.txt", "bravo", 0, 0x05}});
    vt::write_file("arc.vrn", bytes);
    return bytes;
  }
};

TEST_F(EndToEndTest, NoArgumentsPrintsNothingAndSucceeds) {
  std::string out = "unset";
  EXPECT_EQ(vt::run("vorn", {}, "", &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(vt::list_dir(".").empty());
}

TEST_F(EndToEndTest, BadCommandLinesLeaveTheArchiveAsItWas) {
  std::string before = make_archive();
  vt::write_file("x.txt", "x");
  vt::write_file("plain.exe", "no stub here");
  vt::write_file("cycle.txt", "x.txt @cycle.txt");
  const std::vector<std::vector<std::string>> runs = {
      {"arc.vrn", "x.txt", "-unknown"},
      {"arc.vrn", "+x", "x.txt"},
      {"arc.vrn", "-mmod:script"},
      {"arc.vrn", "@cycle.txt"},
      {"arc.vrn", "-stub:plain.exe", "x.txt"},
      {"arc.vrn", "-redund:x.txt", "x.txt"},
      {"arc.vrn", "-redund:arc.vrn"},  // creating the report would truncate the archive
      {"arc.vrn", "-redund:./arc.vrn", "-rfind:a"},
  };
  for (const auto& args : runs) {
    EXPECT_EQ(vt::run("vorn", args), vt::FAIL) << args[1];
    EXPECT_EQ(vt::read_file("arc.vrn"), before) << args[1];
    EXPECT_EQ(vt::read_file("x.txt"), "x") << args[1];
    EXPECT_TRUE(vt::temporaries().empty()) << args[1];
  }
}

TEST_F(EndToEndTest, AnArchiveBearingAFormerTemporaryNameIsRewrittenLikeAnyOther) {
  // Temporaries have unique names now: the name once used is an ordinary one.
  std::string bytes = vt::build_archive({{"a.txt", "alpha", 0, 0x07}});
  vt::write_file("vorn1234.tmp", bytes);
  vt::write_file("x.txt", "x");
  EXPECT_EQ(vt::run("vorn", {"vorn1234.tmp", "x.txt"}), 0);
  vt::Parsed parsed;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("vorn1234.tmp"), &parsed)) << parsed.error;
  EXPECT_EQ(parsed.entries.size(), 2u);
  EXPECT_EQ(vt::temporaries(), std::vector<std::string>{"vorn1234.tmp"});
}

// ---- runs that need the archive modules --------------------------------------

TEST_F(EndToEndTest, VornBeforeTheArchiveNameLetsTheExtractorCreateIt) {
  vt::write_file("x.txt", "contents of x");
  ASSERT_EQ(vt::run("vornex", {"-vorn", "new.vrn", "x.txt"}), 0);
  vt::Parsed parsed;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("new.vrn"), &parsed)) << parsed.error;
  ASSERT_EQ(parsed.entries.size(), 1u);
  EXPECT_EQ(parsed.entries[0].name, "x.txt");
  EXPECT_EQ(parsed.entries[0].data, "contents of x");
  EXPECT_TRUE(vt::temporaries().empty());
}

TEST_F(EndToEndTest, AnArgumentFileCarriesAWholeCommandLine) {
  vt::write_file("one.txt", "1");
  vt::write_file("two words.txt", "2");
  vt::write_file("cmd.txt", "; packs two files\r\nnew.vrn -c one.txt\r\n+c \"two words.txt\"\r\n");
  ASSERT_EQ(vt::run("vorn", {"@cmd.txt"}), 0);
  vt::Parsed parsed;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("new.vrn"), &parsed)) << parsed.error;
  ASSERT_EQ(parsed.entries.size(), 2u);
  EXPECT_EQ(parsed.entries[0].name, "one.txt");
  EXPECT_EQ(parsed.entries[0].flags & 0x01, 0);  // "-c": stored
  EXPECT_EQ(parsed.entries[1].name, "two words.txt");
  EXPECT_EQ(parsed.entries[1].flags & 0x01, 1);
}

TEST_F(EndToEndTest, NothingToDoLeavesTheArchiveUntouched) {
  std::string before = make_archive();
  EXPECT_EQ(vt::run("vorn", {"arc.vrn"}), 0);  // extraction alone, nothing selected
  EXPECT_EQ(vt::run("vornex", {"arc.vrn", "none-such.txt"}), 0);
  EXPECT_EQ(vt::read_file("arc.vrn"), before);
  EXPECT_EQ(vt::list_dir("."), (Names{"arc.vrn"}));
}

TEST_F(EndToEndTest, StubAloneRewritesTheArchiveWithTheNewStub) {
  make_archive();
  vt::write_file("stub.exe", stub_bytes());
  ASSERT_EQ(vt::run("vorn", {"arc.vrn", "-stub:\"stub.exe\""}), 0);
  std::string after = vt::read_file("arc.vrn");
  EXPECT_EQ(after.substr(0, 2), "MZ");
  vt::Parsed parsed;
  ASSERT_TRUE(vt::parse_archive(after, &parsed)) << parsed.error;
  EXPECT_EQ(parsed.data_start, stub_bytes().size());
  ASSERT_EQ(parsed.entries.size(), 2u);
  EXPECT_EQ(entry_data(parsed, "a.txt"), "alpha alpha alpha");
  EXPECT_EQ(entry_data(parsed, "b.txt"), "bravo");
  EXPECT_EQ(vt::mz_sum(after), 0xFFFF);
  EXPECT_EQ(vt::list_dir("."), (Names{"arc.vrn", "stub.exe"}));
}

TEST_F(EndToEndTest, StubWithExtractSpecsDoesBoth) {
  make_archive();
  vt::write_file("stub.exe", stub_bytes());
  ASSERT_EQ(vt::run("vornex", {"arc.vrn", "-stub:stub.exe", "a.txt"}), 0);
  EXPECT_EQ(vt::read_file("a.txt"), "alpha alpha alpha");
  EXPECT_EQ(vt::read_file("arc.vrn").substr(0, 2), "MZ");
}

TEST_F(EndToEndTest, FailedRewriteLeavesTheOldArchiveAndNoTemporaryFile) {
  std::string before = make_archive();
  EXPECT_EQ(vt::run("vorn", {"arc.vrn", "missing.txt"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("arc.vrn"), before);
  EXPECT_EQ(vt::list_dir("."), (Names{"arc.vrn"}));
}

TEST_F(EndToEndTest, AFolderNamedAsTheArchiveIsNeverReplaced) {
  vt::make_dir("box");
  vt::write_file("x.txt", "x");
  EXPECT_EQ(vt::run("vornex", {"box"}), vt::FAIL);
  EXPECT_EQ(vt::run("vorn", {"box", "x.txt"}), vt::FAIL);
  EXPECT_TRUE(vt::list_dir("box").empty());
  EXPECT_EQ(vt::list_dir("."), (Names{"box", "x.txt"}));
}

TEST_F(EndToEndTest, DuplicateReportIsDeletedOnlyWhenThisRunMadeIt) {
  vt::write_file("arc.vrn", vt::build_archive({{"one.txt", "same", 0, 0x07},
                                               {"two.txt", "same", 0, 0x07}}));
  ASSERT_EQ(vt::run("vorn", {"arc.vrn", "-redund:dups.txt"}), 0);
  EXPECT_FALSE(vt::file_exists("dups.txt"));
  vt::Parsed parsed;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("arc.vrn"), &parsed)) << parsed.error;
  ASSERT_EQ(parsed.entries.size(), 2u);
  EXPECT_EQ(entry_data(parsed, "one.txt"), "same");
  EXPECT_EQ(entry_data(parsed, "dups.txt"), "one.txt,two.txt\r\n");
}

}  // namespace
