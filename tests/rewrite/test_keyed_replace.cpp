// A new file can replace two old entries at once: the first whose bare name
// equals the file's name (dir\a.txt) and the one stored under exactly that
// name (a.txt).  When either of them is keyed and the key given does not open
// it, nothing is replaced and the file is not stored: both old entries stay
// as they were and the run succeeds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rewrite/e2e.h"

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

TEST(KeyedReplace, KeyedEntryFoundByBareNameRefusesAndKeepsTheOther) {
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
    ASSERT_EQ(p.entries.size(), 3u) << "an entry was lost";
    expect_entry(p, "dir\\a.txt", "keyed old", l.first_flags, pw);
    expect_entry(p, "a.txt", "plain old", l.second_flags);
    expect_entry(p, "o", "other", DC);

    // A refused spec that would set a new key sets none either.
    ASSERT_EQ(vt::vorn({"arc.vrn", "-swrong", "+snew", "a.txt", "a.txt"}), 0);
    p = parse("arc.vrn");
    ASSERT_EQ(p.entries.size(), 3u) << "an entry was lost";
    expect_entry(p, "dir\\a.txt", "keyed old", l.first_flags, pw);
    expect_entry(p, "a.txt", "plain old", l.second_flags);

    // The key opens the keyed entry: both old entries give way to the file.
    ASSERT_EQ(vt::vorn({"arc.vrn", "-spw", "a.txt"}), 0);
    p = parse("arc.vrn");
    EXPECT_EQ(names(p), Names({"o", "a.txt"}));
    expect_entry(p, "a.txt", "new content", DC);
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
    EXPECT_EQ(names(p), Names({"a.txt", "o"}));
    expect_entry(p, "a.txt", "new content", SC);
  }
}

}  // namespace
