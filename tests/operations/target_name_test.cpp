// Target names of extracted entries and the "-rfind:" prefix test.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/run_state.h"
#include "driver/driver.h"
#include "operations/duplicates.h"
#include "operations/extract.h"
#include "support/scratch.h"

namespace {

class ReportPrefix : public vt::Scratch {};

TEST(ExtractionTarget, StaysUnderTheCurrentDirectory) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a.txt", "a.txt"},
      {"dir\\a.txt", "dir\\a.txt"},
      {"dir/sub/a.txt", "dir/sub/a.txt"},
      {"C:\\x", "x"},
      {"C:x", "x"},
      {"c:/win/x.ini", "win/x.ini"},
      {"/etc/passwd", "etc/passwd"},
      {"D:\\E:\\f", "f"},          // a second drive prefix after the first
      {"./a.txt", "./a.txt"},      // "." stays where it is
      {"a..b/c..d", "a..b/c..d"},  // dots inside a name are harmless
      {"dir//a.txt", "dir//a.txt"},  // an empty component names nothing
      {"CONSOLE.txt", "CONSOLE.txt"}, {"com10", "com10"}, {"lpt", "lpt"},  // near device names
      {"xnul", "xnul"}, {"aux_x.c", "aux_x.c"}, {"COM1x", "COM1x"},
      {"caf\xc3\xa9.txt", "caf\xc3\xa9.txt"},  // bytes above 127 are the code page's
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

// Names Windows would not take for a plain file name fail on every system.
TEST(ExtractionTarget, RefusesWhatWindowsCannotName) {
  const std::vector<std::string> refused = {
      // UNC names and the prefixes that pass names to the kernel untouched
      "\\\\server\\share\\f", "//server/share/f", "\\/server\\f", "\\\\?\\C:\\x",
      "\\\\?\\UNC\\srv\\f", "\\\\.\\PhysicalDrive0", "\\\\.\\pipe\\p",
      // device names, any case, with or without extension, in any component
      "CON", "con", "PRN.txt", "aux.tar.gz", "NuL", "dir\\nul", "COM1", "com9.log", "LPT1",
      "lpt9.x", "CON\\a.txt", "a/Con/b", "CONIN$", "conout$.txt", "COM0", "LPT0",
      "CON .txt", "nul  ", "COM\xb9", "LPT\xc2\xb2.txt",
      // components ending in a dot or a space
      "a.", "a.txt.", "a ", "dir./x", "dir /x", "a..b/c..", ". ", "x/ /y",
      // characters Windows forbids
      "a<b", "a>b", "ab:c", "dir\\a:stream", "a\"b", "a|b", "a?b", "a*b", "a\tb", "a\x01",
      "x/a\x1f", std::string("a\0b", 3),
  };
  for (const std::string& name : refused) {
    std::string target = "unchanged";
    EXPECT_EQ(extraction_target(name, &target), -1) << name;
    EXPECT_EQ(target, "unchanged") << name;
  }
}

TEST_F(ReportPrefix, CaseCountsAndAnyPrefixMayMatch) {
  EXPECT_EQ(report_prefix_match("anything"), 1);  // no prefixes: every name
  EXPECT_EQ(report_prefix_match(""), 1);
  g_settings.report_prefixes = {"doc", "img\\"};
  EXPECT_EQ(report_prefix_match("docs\\a.txt"), 1);
  EXPECT_EQ(report_prefix_match("doc"), 1);          // prefix as long as the name
  EXPECT_EQ(report_prefix_match("img\\b.png"), 1);   // the second prefix
  EXPECT_EQ(report_prefix_match("DOC\\a.txt"), 0);   // case counts
  EXPECT_EQ(report_prefix_match("do"), 0);           // prefix longer than the name
  EXPECT_EQ(report_prefix_match("a\\doc"), 0);       // only at the start
  state_reset();
}

}  // namespace
