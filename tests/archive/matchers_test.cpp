// Wildcard matchers and temporary names.
//
// The matchers are checked against small recursive matchers written here from
// the plain description (star tries each position, then takes the rest), over
// many generated patterns and texts, so that any disagreement of the
// product's table-driven evaluation shows up.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "archive/collection.h"


namespace {

// Case-sensitive reference: a star reached with the text exhausted fails.
bool ref_match(const char* t, const char* p) {
  while (*p) {
    if (!*t) return false;
    if (*p == '?') {
      ++t, ++p;
    } else if (*p == '*') {
      for (const char* k = t; *k; ++k)
        if (ref_match(k, p + 1)) return true;
      t += std::char_traits<char>::length(t);
      ++p;
    } else {
      if (*p != *t) return false;
      ++t, ++p;
    }
  }
  return *t == 0;
}

char low(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Case-insensitive reference: side-by-side walk, stars skipped where the walk
// stops on one, rest tried from each remaining position.
bool ref_nocase(const char* p, const char* t) {
  if (*p != '*') {
    while (*p && *t && (*p == '?' || low(*p) == low(*t))) ++p, ++t;
    if (!*p && !*t) return true;
    if (*p != '*') return false;
  }
  while (*p == '*') ++p;
  if (!*p) return true;
  if (!*t) return false;
  for (; *t; ++t)
    if (ref_nocase(p, t)) return true;
  return false;
}

std::string random_string(std::mt19937& rng, const char* alphabet, int max_len) {
  std::uniform_int_distribution<int> len(0, max_len);
  std::uniform_int_distribution<size_t> pick(0, std::char_traits<char>::length(alphabet) - 1);
  std::string s;
  for (int n = len(rng); n > 0; --n) s.push_back(alphabet[pick(rng)]);
  return s;
}

TEST(WildMatch, NamedCases) {
  EXPECT_EQ(wild_match("a", "a*"), 0);     // star with no text left fails
  EXPECT_EQ(wild_match("ab", "a*b"), 1);
  EXPECT_EQ(wild_match("abc", "a*"), 1);
  EXPECT_EQ(wild_match("", "*"), 0);
  EXPECT_EQ(wild_match("", ""), 1);
  EXPECT_EQ(wild_match("a.txt", "*.TXT"), 0);  // case counts
  EXPECT_EQ(wild_match("a.TXT", "*.TXT"), 1);
  EXPECT_EQ(wild_match("abc", "a?c"), 1);
  EXPECT_EQ(wild_match("ac", "a?c"), 0);
}

TEST(WildMatchNocase, NamedCases) {
  EXPECT_EQ(wild_match_nocase("a*", "a"), 1);  // trailing star matches an empty rest
  EXPECT_EQ(wild_match_nocase("*", ""), 1);
  EXPECT_EQ(wild_match_nocase("a?c", "ABC"), 1);
  EXPECT_EQ(wild_match_nocase("a?c", "AC"), 0);
  EXPECT_EQ(wild_match_nocase("*.c", "x.C"), 1);
  EXPECT_EQ(wild_match_nocase("*.c", ".c"), 1);
  EXPECT_EQ(wild_match_nocase("", ""), 1);
  EXPECT_EQ(wild_match_nocase("", "a"), 0);
  EXPECT_EQ(wild_match_nocase("a*b", "a"), 0);
}

TEST(WildMatch, AgreesWithRecursiveDescription) {
  std::mt19937 rng(12345);
  for (int n = 0; n < 40000; ++n) {
    std::string p = random_string(rng, "ab*?", 7);
    std::string t = random_string(rng, "abAB*", 7);
    ASSERT_EQ(wild_match(t.c_str(), p.c_str()), ref_match(t.c_str(), p.c_str()) ? 1 : 0)
        << "text '" << t << "' pattern '" << p << "'";
  }
}

TEST(WildMatchNocase, AgreesWithRecursiveDescription) {
  std::mt19937 rng(777);
  for (int n = 0; n < 40000; ++n) {
    std::string p = random_string(rng, "aB*?", 7);
    std::string t = random_string(rng, "abAB*", 7);
    ASSERT_EQ(wild_match_nocase(p.c_str(), t.c_str()), ref_nocase(p.c_str(), t.c_str()) ? 1 : 0)
        << "pattern '" << p << "' text '" << t << "'";
  }
}

// Patterns that make a backtracking matcher take exponential time finish
// at once here (a hang would time the test out).
TEST(WildMatch, ManyStarsDoNotBacktrackForEver) {
  std::string text(3000, 'a');
  std::string pattern;
  for (int i = 0; i < 60; ++i) pattern += "*a";
  pattern += "b";
  EXPECT_EQ(wild_match(text.c_str(), pattern.c_str()), 0);
  EXPECT_EQ(wild_match_nocase(pattern.c_str(), text.c_str()), 0);
  text += "b";
  EXPECT_EQ(wild_match(text.c_str(), pattern.c_str()), 1);
  EXPECT_EQ(wild_match_nocase(pattern.c_str(), text.c_str()), 1);
}

}  // namespace
