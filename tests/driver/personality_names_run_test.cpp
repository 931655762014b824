// The personality the executable takes from the name it is started under,
// as Windows spells program names (".exe", "16"/"32", any letter case, a
// directory part), seen from outside: only the packer starts a new archive,
// only the extractor writes a stored entry out when it is named.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/support.h"

namespace {

enum Kind { PACKER, EXTRACTOR, MODIFIER };

TEST(PersonalityNamesRun, WindowsProgramNamesChooseTheirPersonality) {
  const std::vector<std::pair<std::string, Kind>> cases = {
      {"vorn.exe", PACKER},          {"VORN32.EXE", PACKER},       {"myvorn.exe", PACKER},
      {"VORNEX32.EXE", EXTRACTOR},   {"vornex.exe", EXTRACTOR},    {"VornEx16", EXTRACTOR},
      {"C:\\tools\\vornex.exe", EXTRACTOR},
      {"vornalt16.exe", MODIFIER},   {"VORNALT.EXE", MODIFIER},    {"vornalt32", MODIFIER},
  };
  for (const auto& c : cases) {
    vt::ScratchDir dir;
    vt::write_file("x.txt", "x data");
    const int started = vt::run(c.first, {"new.vrn", "x.txt"});
    if (c.second == PACKER) {
      EXPECT_EQ(started, 0) << c.first;
      EXPECT_TRUE(vt::file_exists("new.vrn")) << c.first;
      continue;
    }
    EXPECT_EQ(started, vt::FAIL) << c.first << " started an archive";
    EXPECT_FALSE(vt::file_exists("new.vrn")) << c.first;

    vt::write_file("arc.vrn", vt::build_archive({{"a.txt", "stored a", 0, 0x07}}));
    EXPECT_EQ(vt::run(c.first, {"arc.vrn", "a.txt"}), 0) << c.first;
    if (c.second == EXTRACTOR)
      EXPECT_EQ(vt::read_file("a.txt"), "stored a") << c.first;
    else
      EXPECT_FALSE(vt::file_exists("a.txt")) << c.first << " extracted";
  }
}

}  // namespace
