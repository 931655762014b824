// File collection against a run state set up by hand: literal names, updates,
// replaced entries, archive expansion, disk expansion and the temporary file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/collection.h"
#include "base/replace.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "driver/driver.h"
#include "platform/platform.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

// Collection looks at the disk, so every test runs in a scratch folder of
// its own and no test depends on what lies in the folder it was started in.
class Collection : public vt::Scratch {};


void load(const std::string& name, uint8_t file_flags = 0x07, uint32_t key = 0) {
  ASSERT_EQ(entry_table_add(g_archive.loaded, name.c_str(), 0, 1, key, file_flags, 1), 0);
}

std::vector<std::string> spec_names() {
  std::vector<std::string> v;
  for (const auto& s : g_archive.specs.specs) v.push_back(s->name);
  return v;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

const FileSpec& spec(int i) { return *g_archive.specs.specs[static_cast<size_t>(i)]; }
bool done(int i) { return (g_archive.loaded.records[static_cast<size_t>(i)]->flags & ENTRY_DONE) != 0; }

TEST_F(Collection, LiteralAddTakesSettingsAndSecondMentionUpdates) {
  Settings& s = g_settings;
  s.compress = 0;
  s.user2 = 1;
  s.new_key_hash = 0x1234;
  s.new_key_given = 1;
  add_file_spec("a.txt");
  ASSERT_EQ(g_archive.specs.count(), 1);
  EXPECT_EQ(spec(0).flags, SPEC_ADD | SPEC_IN_DIRECTORY | SPEC_ATTR_L | SPEC_USER2);
  EXPECT_EQ(spec(0).new_key, 0x1234u);
  EXPECT_EQ(spec(0).set_key, 0);  // only an update sets it
  EXPECT_EQ(g_run.read_only_run, 0);

  s.compress = 1;
  s.user2 = 0;
  s.store_paths = 1;
  s.match_key_hash = 0x99;
  add_file_spec("A.TXT");
  ASSERT_EQ(g_archive.specs.count(), 1);
  EXPECT_EQ(spec(0).name, "a.txt");
  EXPECT_EQ(spec(0).flags,
            SPEC_ADD | SPEC_KEEP_PATH | SPEC_COMPRESS | SPEC_IN_DIRECTORY | SPEC_ATTR_L);
  EXPECT_EQ(spec(0).set_key, 1);
  EXPECT_EQ(spec(0).match_key, 0x99u);
}

TEST_F(Collection, ExtractSpecsAreNeverUpdatedAndKeepTheRunReadOnly) {
  load("a.txt");
  Settings& s = g_settings;
  s.add_mode = 0;
  s.extract_mode = 1;
  add_file_spec("a.txt");
  add_file_spec("missing.txt");  // not in the archive: nothing
  EXPECT_EQ(spec_names(), std::vector<std::string>({"a.txt"}));
  EXPECT_EQ(g_run.read_only_run, 1);
  EXPECT_FALSE(done(0));

  s.add_mode = 1;
  s.extract_mode = 0;
  add_file_spec("a.txt");  // an add spec beside the extract spec
  ASSERT_EQ(g_archive.specs.count(), 2);
  EXPECT_EQ(spec(0).flags & SPEC_EXTRACT, SPEC_EXTRACT);
  EXPECT_EQ(spec(1).flags & (SPEC_ADD | SPEC_EXTRACT), SPEC_ADD);
  EXPECT_EQ(g_run.read_only_run, 0);
}

TEST_F(Collection, NewFileMarksTheEntryStoredUnderTheNameItWillBeStoredUnder) {
  load("dir\\a.txt");
  load("b.txt");
  load("keyed.txt", 0x07, 0x55);
  // Without "+p" a file is stored under its bare name: an entry in another
  // folder is not the one it replaces.
  add_file_spec("A.txt");
  EXPECT_FALSE(done(0));
  // A path without "+p" replaces the entry of its bare name.
  add_file_spec("x\\b.txt");
  EXPECT_TRUE(done(1));
  // With "+p" the whole name is compared, '/' and '\\' alike.
  g_settings.store_paths = 1;
  add_file_spec("DIR/a.TXT");
  EXPECT_TRUE(done(0));
  // Modify specs replace nothing.
  g_settings.modify_only = 1;
  add_file_spec("keyed.txt");
  EXPECT_FALSE(done(2));
}

TEST_F(Collection, ArchiveExpansionComparesBareNamesUnlessPatternHasBackslash) {
  load("dir\\x.c");
  load("y.C");
  load("dir\\z.h");
  load("other/w.c");  // only '\' separates here: the whole name is compared
  Settings& s = g_settings;
  s.add_mode = 0;
  s.delete_mode = 1;
  add_file_spec("*.c");
  EXPECT_EQ(spec_names(), std::vector<std::string>({"dir\\x.c", "y.C", "other/w.c"}));
  EXPECT_EQ(g_run.read_only_run, 0);

  g_archive.specs = FileSpecList();
  add_file_spec("DIR\\*");
  EXPECT_EQ(spec_names(), std::vector<std::string>({"dir\\x.c", "dir\\z.h"}));
}

TEST_F(Collection, ExtractExpansionIsCaseSensitive) {
  load("a.txt");
  load("B.TXT");
  Settings& s = g_settings;
  s.add_mode = 0;
  s.extract_mode = 1;
  add_file_spec("*.TXT");
  EXPECT_EQ(spec_names(), std::vector<std::string>({"B.TXT"}));
}

TEST_F(Collection, NamesFoundByExpansionAreTakenLiterally) {
  load("a*");
  load("x1.txt");
  load("x?.txt");
  Settings& s = g_settings;
  s.add_mode = 0;
  s.delete_mode = 1;
  add_file_spec("a*");  // finds the entry "a*" and must not expand it again
  EXPECT_EQ(spec_names(), std::vector<std::string>({"a*"}));

  g_archive.specs = FileSpecList();
  add_file_spec_literal("x?.txt");
  EXPECT_EQ(spec_names(), std::vector<std::string>({"x?.txt"}));
}

TEST_F(Collection, ModifyOnlyTouchesStoredEntries) {
  load("a.txt");
  load("b.dat");
  Settings& s = g_settings;
  s.modify_only = 1;
  add_file_spec("new.txt");
  EXPECT_TRUE(spec_names().empty());
  EXPECT_EQ(g_run.read_only_run, 1);
  add_file_spec("*.TXT");
  EXPECT_EQ(spec_names(), std::vector<std::string>({"a.txt"}));
  EXPECT_EQ(spec(0).flags & (SPEC_ADD | SPEC_MODIFY), SPEC_ADD | SPEC_MODIFY);
  EXPECT_FALSE(done(0));
}

TEST_F(Collection, RecursionVisitsOnlySubdirectoriesMatchingThePattern) {
  vt::make_dir("sub");
  vt::write_file("sub/one.txt", "1");
  vt::make_dir("sub/x.txt");
  vt::write_file("sub/x.txt/in.txt", "2");
  vt::write_file("sub/x.txt/in.dat", "3");
  vt::make_dir("sub/docs");
  vt::write_file("sub/docs/d.txt", "4");
  vt::make_dir("sub/empty.txt");  // matches, holds nothing: adds nothing
  g_settings.recurse = 1;
  add_file_spec("sub\\*.txt");
  EXPECT_EQ(sorted(spec_names()),
            std::vector<std::string>({"sub\\one.txt", "sub\\x.txt\\in.txt"}));

  // Without recursion directories are passed over.
  g_archive.specs = FileSpecList();
  g_settings.recurse = 0;
  add_file_spec("sub\\*.txt");
  EXPECT_EQ(spec_names(), std::vector<std::string>({"sub\\one.txt"}));

  // A pattern given on the command line that finds nothing becomes the name.
  g_archive.specs = FileSpecList();
  add_file_spec("sub\\*.zzz");
  EXPECT_EQ(spec_names(), std::vector<std::string>({"sub\\*.zzz"}));
}

// Links back to an enclosing folder are not followed: with two of them a
// descent would otherwise double at every level and never finish (the alarm
// ends the test program if it does not).
TEST_F(Collection, RecursionDoesNotFollowLinksBackToEnclosingFolders) {
  vt::make_dir("d");
  vt::make_dir("d/sub");
  vt::write_file("d/f", "1");
  vt::write_file("d/sub/g", "2");
  ASSERT_EQ(symlink(".", "d/a"), 0);
  ASSERT_EQ(symlink("..", "d/sub/up"), 0);
  ASSERT_EQ(symlink("sub", "d/b"), 0);  // a second way into sub: followed once
  g_settings.recurse = 1;
  alarm(60);
  add_file_spec("d\\*");
  alarm(0);
  EXPECT_EQ(sorted(spec_names()),
            std::vector<std::string>({"d\\b\\g", "d\\f", "d\\sub\\g"}));
}

// A pattern never stores the archive being written, or its temporary file,
// whatever name they are found under: a link to either, a hard link, the
// archive named through another spelling of its path.  Once per name
// collected: an archive that appears between two names is recognised.
TEST_F(Collection, PatternsNeverFindTheArchiveOrItsTemporaryUnderAnyName) {
  vt::make_dir("d");
  vt::write_file("d/arc.vrn", "archive");
  vt::write_file("d/keep.txt", "k");
  ASSERT_EQ(link("d/arc.vrn", "d/hard"), 0);
  ASSERT_EQ(symlink("arc.vrn", "d/soft"), 0);
  vt::make_dir("d/sub");
  ASSERT_EQ(symlink("../arc.vrn", "d/sub/up"), 0);
  g_settings.archive_path = "d\\sub\\..\\arc.vrn";
  ASSERT_EQ(open_temp(), 0);
  const std::string temp = g_run.temp_path;
  ASSERT_EQ(symlink(last_component(temp).c_str(), "d/to-temp"), 0);
  g_settings.add_mode = 1;
  g_settings.recurse = 1;
  add_file_spec("d\\*");
  EXPECT_EQ(spec_names(), std::vector<std::string>({"d\\keep.txt"}));

  // Named literally, the same files are still recognised.
  add_file_spec("d/hard");
  add_file_spec("d\\to-temp");
  EXPECT_EQ(spec_names(), std::vector<std::string>({"d\\keep.txt"}));

  // The archive looked up again for the next name: another archive path.
  vt::write_file("d/new.vrn", "n");
  g_settings.archive_path = "d/new.vrn";
  add_file_spec("d\\*.vrn");
  EXPECT_EQ(spec_names(), std::vector<std::string>({"d\\keep.txt", "d\\arc.vrn"}));
  pf_close(g_run.output_fd);
  g_run.output_fd = -1;
  pf_remove(temp.c_str());
}

// A file found by a pattern records the length the listing saw; a literal
// name records none (it is measured when the record is planned).
TEST_F(Collection, FilesFoundByAPatternKeepTheirListedLength) {
  vt::write_file("a.txt", "12345");
  vt::write_file("b.txt", "");
  g_settings.add_mode = 1;
  add_file_spec("*.txt");
  ASSERT_EQ(g_archive.specs.count(), 2);
  EXPECT_EQ(spec(0).listed_length, 5);
  EXPECT_EQ(spec(1).listed_length, 0);
  vt::write_file("a.txt", "1234567");
  add_file_spec("a.txt");  // the second mention, literal: measured later
  EXPECT_EQ(spec(0).listed_length, -1);
  add_file_spec("?.txt");
  EXPECT_EQ(spec(0).listed_length, 7);
}

TEST_F(Collection, OpenTempCreatesTheFileBesideTheArchiveOnce) {
  vt::make_dir("out");
  g_settings.archive_path = "out/arc.vrn";
  ASSERT_EQ(open_temp(), 0);
  int fd = g_run.output_fd;
  ASSERT_GE(fd, 0);
  const std::string temp = g_run.temp_path;
  EXPECT_EQ(temp.substr(0, 4), "out/");
  EXPECT_TRUE(is_temporary_name(temp)) << temp;
  EXPECT_EQ(vt::temporaries("out").size(), 1u);
  EXPECT_TRUE(vt::temporaries(".").empty());
  EXPECT_EQ(open_temp(), 0);
  EXPECT_EQ(g_run.output_fd, fd);
  pf_close(fd);
  g_run.output_fd = -1;

  g_settings.archive_path = "missing-folder/arc.vrn";
  EXPECT_EQ(open_temp(), -1);
  EXPECT_EQ(g_run.output_fd, -1);
}

}  // namespace
