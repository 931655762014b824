// A new file replaces only the entry stored under the name it will be stored
// under (a.txt): an entry in another folder with the same bare name
// (dir\a.txt) is neither replaced nor in the way, whatever its key.  When the
// replaced entry is keyed and the key given does not open it, nothing is
// replaced and the file is not stored: the old entries stay as they were and
// the run succeeds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/e2e.h"

using namespace rt;

namespace {

using Names = std::vector<std::string>;

struct Layout {
  const char* what;
  uint8_t first_flags;   // dir\a.txt
  uint8_t second_flags;  // a.txt
};

const Layout kLayouts[] = {
    {"both standalone", SS, SC},
    {"standalone, then in directory", SC, DC},
    {"both in directory", DS, DC},
};

TEST(KeyedReplace, KeyedEntryInAnotherFolderIsNeitherReplacedNorInTheWay) {
  const uint32_t pw = vt::key_hash("pw");
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(l.what);
    vt::ScratchDir dir;
    vt::write_file("arc.vrn", vt::build_archive({entry("dir\\a.txt", "keyed old", l.first_flags, pw),
                                                  entry("a.txt", "plain old", l.second_flags),
                                                  entry("o", "other", DC)}));
    vt::write_file("a.txt", "new content");

    ASSERT_EQ(vt::vorn({"arc.vrn", "a.txt"}), 0);
    vt::Parsed p = parse("arc.vrn");
    ASSERT_EQ(p.entries.size(), 3u) << "an entry was lost or doubled";
    expect_entry(p, "dir\\a.txt", "keyed old", l.first_flags, pw);
    expect_entry(p, "a.txt", "new content", DC);
    expect_entry(p, "o", "other", DC);

    // Nor does a path given without "+p" reach it: d/a.txt is stored as
    // a.txt and replaces a.txt again.
    vt::make_dir("d");
    vt::write_file("d/a.txt", "from d");
    ASSERT_EQ(vt::vorn({"arc.vrn", "-g", "d/a.txt"}), 0);
    p = parse("arc.vrn");
    ASSERT_EQ(p.entries.size(), 3u) << "an entry was lost or doubled";
    expect_entry(p, "dir\\a.txt", "keyed old", l.first_flags, pw);
    expect_entry(p, "a.txt", "from d", SC);
  }
}

TEST(KeyedReplace, KeyedEntryOfTheSameNameRefusesAndKeepsTheOther) {
  const uint32_t pw = vt::key_hash("pw");
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(l.what);
    vt::ScratchDir dir;
    vt::write_file("arc.vrn", vt::build_archive({entry("dir\\a.txt", "plain old", l.first_flags),
                                                  entry("a.txt", "keyed old", l.second_flags, pw),
                                                  entry("o", "other", DC)}));
    vt::write_file("a.txt", "new content");

    ASSERT_EQ(vt::vorn({"arc.vrn", "-g", "a.txt"}), 0);
    vt::Parsed p = parse("arc.vrn");
    ASSERT_EQ(p.entries.size(), 3u) << "an entry was lost";
    expect_entry(p, "dir\\a.txt", "plain old", l.first_flags);
    expect_entry(p, "a.txt", "keyed old", l.second_flags, pw);
    expect_entry(p, "o", "other", DC);

    ASSERT_EQ(vt::vorn({"arc.vrn", "-spw", "-g", "a.txt"}), 0);
    p = parse("arc.vrn");
    ASSERT_EQ(p.entries.size(), 3u) << "an entry was lost or doubled";
    expect_entry(p, "dir\\a.txt", "plain old", l.first_flags);
    expect_entry(p, "a.txt", "new content", SC);
  }
}

}  // namespace
