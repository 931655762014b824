// The name rules every module shares.
#include <gtest/gtest.h>

#include <string>

#include "base/names.h"

TEST(Names, CaseFoldsAsciiLettersOnly) {
  EXPECT_EQ(ascii_lower("ReadMe.TXT"), "readme.txt");
  const std::string high = "\xC4\xD6-@[`{";  // bytes beside and above the letters stay
  EXPECT_EQ(ascii_lower(high), high);
  EXPECT_TRUE(equal_without_case("Dir\\File", "dIR\\fILE"));
  EXPECT_FALSE(equal_without_case("Dir\\File", "dir/file"));  // separators as they are
  EXPECT_FALSE(equal_without_case("abc", "abcd"));
  EXPECT_FALSE(equal_without_case("abcd", "abc"));
}

TEST(Names, SeparatorsAreOneCharacterWhenNamesCompare) {
  EXPECT_TRUE(same_name("Docs\\Read.me", "docs/READ.ME"));
  EXPECT_FALSE(same_name("docs/a", "docs/b"));
  EXPECT_EQ(name_key("A\\B/c"), "a/b/c");
}

TEST(Names, PartsOfAPath) {
  EXPECT_EQ(bare_name("a/b\\c.txt"), "c.txt");
  EXPECT_EQ(bare_name("plain"), "plain");
  EXPECT_EQ(last_component("dir\\"), "");
  EXPECT_EQ(directory_part("a/b\\c.txt"), "a/b\\");
  EXPECT_EQ(directory_part("c.txt"), "");
  // A drive prefix counts as a folder part only where asked for.
  EXPECT_EQ(last_component_after_drive("C:VORNEX.EXE"), "VORNEX.EXE");
  EXPECT_EQ(bare_name("C:VORNEX.EXE"), "C:VORNEX.EXE");
  EXPECT_EQ(stored_name("a/b", true), "a/b");
  EXPECT_EQ(stored_name("a/b", false), "b");
}

TEST(Names, WildcardsAndClimbingComponents) {
  EXPECT_TRUE(has_wildcard("*.c"));
  EXPECT_TRUE(has_wildcard("a?"));
  EXPECT_FALSE(has_wildcard("a[b]"));
  EXPECT_TRUE(name_climbs_out("a/../b"));
  EXPECT_TRUE(name_climbs_out("a\\. .\\b"));
  EXPECT_FALSE(name_climbs_out("a/.b/c"));
  EXPECT_FALSE(name_climbs_out("..a"));
}
