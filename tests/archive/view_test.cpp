// The "-v" walk over archives laid out by the tests.
#include <string>
#include <vector>

#include "support/container_fixture.h"

using ct::archive_with;
using ct::record;

namespace {

class View : public ct::ContainerTest {};

TEST_F(View, NoArchiveOpenFails) { EXPECT_EQ(view_pass(), -1); }

TEST_F(View, SoundArchivesPass) {
  ASSERT_EQ(load(vt::build_archive({})), 0);
  EXPECT_EQ(view_pass(), 0);
  vt::release_state();
  // Standalone entries only: their data is not read.
  ASSERT_EQ(load(vt::build_archive({{"s", "data", 0, 0x05}, {"t", "more", 0, 0x04}})), 0);
  EXPECT_EQ(view_pass(), 0);
  vt::release_state();
  std::string big(150000, 'b');
  ASSERT_EQ(load(vt::build_archive({{"s", "data", 0, 0x05}, {"e", "", 0, 0x07}, {"big", big, 0, 0x07},
                                    {"last", "z", 0, 0x07}})),
            0);
  EXPECT_EQ(view_pass(), 0);
}

TEST_F(View, InDirectoryDataThatIsNotThereFails) {
  // Sizes promise more than the stream holds.
  EXPECT_EQ(load_and_view(archive_with("", vt::u32le(1) + record("a", 0, 10, 0, 0x07) + "abc")), -1);
  vt::release_state();
  // The stream holds more than the sizes say.
  EXPECT_EQ(load_and_view(archive_with("", vt::u32le(1) + record("a", 0, 2, 0, 0x07) + "abc")), -1);
  vt::release_state();
  // Adler-32 damaged: every byte is there, the check is not.
  std::string content = vt::u32le(1) + record("a", 0, 3, 0, 0x07) + "abc";
  std::string z = vt::zcompress(content);
  z[z.size() - 1] = static_cast<char>(z[z.size() - 1] ^ 1);
  std::string bytes = z + ct::trailer(0);
  ASSERT_EQ(load(bytes), 0);
  EXPECT_EQ(view_pass(), -1);
  vt::release_state();
  // Stream cut inside the in-directory data: loading still succeeds (the
  // records are whole), the walk does not.
  std::string long_content = vt::u32le(1) + record("a", 0, 5000, 0, 0x07) + std::string(5000, 'q');
  std::string lz = vt::zcompress(long_content, 0);  // stored: the cut lands in the data
  ASSERT_EQ(load(lz.substr(0, lz.size() - 100) + ct::trailer(0)), 0);
  EXPECT_EQ(view_pass(), -1);
}

TEST_F(View, RecordsAloneMustEndTheStream) {
  // No in-directory entries: the stream ends behind the records.
  std::string content = vt::u32le(1) + record("s", 0, 3, 0, 0x04);
  ASSERT_EQ(load_and_view(archive_with("abc", content)), 0);
  vt::release_state();
  EXPECT_EQ(load_and_view(archive_with("abc", content + "junk")), -1);
  vt::release_state();
  EXPECT_EQ(load_and_view(archive_with("", vt::u32le(0) + "junk")), -1);
  vt::release_state();
  std::string z = vt::zcompress(content);
  z[z.size() - 2] = static_cast<char>(z[z.size() - 2] ^ 0x10);
  EXPECT_EQ(load_and_view("abc" + z + ct::trailer(3)), -1);
}

// Selection by spec names uses the case-insensitive wildcard matcher of file
// collection.
TEST_F(View, OnlySelectedEntriesAreRead) {
  // "bad" is a standalone entry whose data is no zlib stream: the walk fails
  // exactly when it is selected.  (The directory stream itself is always
  // read to its end.)
  std::string content = vt::u32le(3) + record("bad", 0, 50, 0, 0x05) + record("one.txt", 0, 3, 0, 0x07) +
                        record("two.dat", 3, 2, 0, 0x07) + "111" + "22";
  std::string bytes = archive_with("zzzzzzzzzz", content);  // room for a zlib stream, but none
  ASSERT_EQ(load(bytes), 0);
  ct::add_spec("*.TXT");
  EXPECT_EQ(view_pass(), 0);  // "bad" is never read
  vt::release_state();

  ASSERT_EQ(load(bytes), 0);
  ct::add_spec("b*");
  EXPECT_EQ(view_pass(), -1);
  vt::release_state();

  ASSERT_EQ(load(bytes), 0);
  ct::add_spec("nothing");
  EXPECT_EQ(view_pass(), 0);
}

// Plain names are looked up by name, patterns matched one by one: both must
// select exactly what the case-insensitive matcher would.  The probe entry is
// standalone and its data is no zlib stream, so the walk fails exactly when
// it is selected.
TEST_F(View, PlainNamesAndPatternsSelectAlike) {
  std::string content = vt::u32le(3) + record("Pr\xC4" "be", 0, 50, 0, 0x05) + record("Keep.txt", 0, 3, 0, 0x07) +
                        record("x*y", 3, 2, 0, 0x07) + "111" + "22";
  std::string bytes = archive_with("zzzzzzzzzz", content);  // room for a zlib stream, but none
  struct Case {
    std::vector<std::string> specs;
    int want;
  };
  const Case cases[] = {
      {{"keep.TXT", "pR\xC4" "BE"}, -1},  // other ASCII case selects
      {{"pr\xE4" "be"}, 0},               // other case outside ASCII does not
      {{"Pr\xC4" "b"}, 0},
      {{"Pr\xC4" "bee"}, 0},
      {{"PR?BE"}, -1},
      {{"*"}, -1},
      {{"x*y", "*.txt"}, 0},
      {{"X*Y", "nothing", "*BE"}, -1},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(load(bytes), 0);
    for (const std::string& name : c.specs) ASSERT_GE(ct::add_spec(name), 0);
    EXPECT_EQ(view_pass(), c.want) << c.specs.front();
    vt::release_state();
  }
}

}  // namespace
