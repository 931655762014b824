// Target names of extracted entries and the "-rfind:" prefix test.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "driver/state.h"
#include "operations/duplicates.h"
#include "operations/extract.h"

namespace {

TEST(ExtractionTarget, StaysUnderTheCurrentDirectory) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a.txt", "a.txt"},
      {"dir\\a.txt", "dir\\a.txt"},
      {"dir/sub/a.txt", "dir/sub/a.txt"},
      {"C:\\x", "x"},
      {"C:x", "x"},
      {"c:/win/x.ini", "win/x.ini"},
      {"/etc/passwd", "etc/passwd"},
      {"\\\\server\\share\\f", "server\\share\\f"},
      {"D:\\E:\\f", "f"},          // a second drive prefix after the first
      {"./a.txt", "./a.txt"},      // "." stays where it is
      {"a..b/c..", "a..b/c.."},    // dots inside a name are harmless
      {".hidden", ".hidden"},
  };
  for (const auto& c : cases) {
    std::string target = "unchanged";
    ASSERT_EQ(extraction_target(c.first, &target), 0) << c.first;
    EXPECT_EQ(target, c.second) << c.first;
  }
}

TEST(ExtractionTarget, RefusesClimbingAndFolderOnlyNames) {
  const std::vector<std::string> refused = {
      "..\\x", "../x", "a/../../x", "a\\..", "..", "C:..\\x", "/../x",
      "a/.. /x", "a/.../x",       // climb on Windows once trailing dots/spaces go
      "", "/", "C:", "C:\\", "dir\\", "dir/",
      "vornab12cd34.tmp", "sub\\VORNAB12CD34.TMP",  // names of the temporary form
  };
  for (const std::string& name : refused) {
    std::string target = "unchanged";
    EXPECT_EQ(extraction_target(name, &target), -1) << name;
    EXPECT_EQ(target, "unchanged") << name;
  }
}

TEST(ReportPrefix, CaseCountsAndAnyPrefixMayMatch) {
  state_reset();
  EXPECT_EQ(report_prefix_match("anything"), 1);  // no prefixes: every name
  EXPECT_EQ(report_prefix_match(""), 1);
  g_state.settings.report_prefixes = {"doc", "img\\"};
  EXPECT_EQ(report_prefix_match("docs\\a.txt"), 1);
  EXPECT_EQ(report_prefix_match("doc"), 1);          // prefix as long as the name
  EXPECT_EQ(report_prefix_match("img\\b.png"), 1);   // the second prefix
  EXPECT_EQ(report_prefix_match("DOC\\a.txt"), 0);   // case counts
  EXPECT_EQ(report_prefix_match("do"), 0);           // prefix longer than the name
  EXPECT_EQ(report_prefix_match("a\\doc"), 0);       // only at the start
  state_reset();
}

}  // namespace
