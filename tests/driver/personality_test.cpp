// Personalities from the program's name and the three presets; and the
// personality the executable takes from the name it is started under, as
// Windows spells program names (".exe", "16"/"32", any letter case, a
// directory part), seen from outside: only the packer starts a new archive,
// only the extractor writes a stored entry out when it is named.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "base/run_state.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

enum Who { PACKER, EXTRACTOR, MODIFIER };

class PersonalityTest : public vt::Scratch {
 protected:
  Who who() {
    const Settings& s = g_settings;
    EXPECT_EQ(s.packer + s.extractor + s.modifier, 1);
    return s.packer ? PACKER : s.extractor ? EXTRACTOR : MODIFIER;
  }
  Who from_name(const char* name) {
    state_reset();
    select_personality_from_name(name);
    return who();
  }
};

TEST_F(PersonalityTest, NamesSelectTheirGroup) {
  struct Case {
    const char* name;
    Who who;
  } cases[] = {
      {"vorn", PACKER},
      {"C:\\tools\\VORN32.EXE", PACKER},
      {"/usr/local/bin/vorn16", PACKER},
      {"myvorn.exe", PACKER},
      {"vornex", EXTRACTOR},
      {"VornEx16.Exe", EXTRACTOR},
      {"./build/vornex32", EXTRACTOR},
      {"vornalt16", MODIFIER},
      {"vornalt.exe", MODIFIER},  // ends neither in "vorn.exe" nor "vorn"
      {"dir/VORNALT32.EXE", MODIFIER},
      {"archiver.exe", PACKER},    // no group: the packer
      {"", PACKER},
      {"vorn64", PACKER},          // no group either
      {"vornex.exe.bak", PACKER},
      {"vornexe", PACKER},
  };
  for (const Case& c : cases) EXPECT_EQ(from_name(c.name), c.who) << c.name;
}

TEST_F(PersonalityTest, SettersWriteOnlyTheirOwnSettings) {
  Settings& s = g_settings;
  s.compress = 0;
  s.in_directory = 0;
  s.attr_e = 1;
  s.attr_l = 0;
  s.store_paths = 1;
  s.recurse = 1;
  s.delete_mode = 1;
  s.add_mode = 0;
  set_modifier();  // attributes and modify_only only
  EXPECT_EQ(who(), MODIFIER);
  EXPECT_EQ(s.attr_l, 1);
  EXPECT_EQ(s.attr_e, 0);
  EXPECT_EQ(s.modify_only, 1);
  EXPECT_EQ(s.add_mode, 0);
  EXPECT_EQ(s.delete_mode, 1);
  EXPECT_EQ(s.store_paths, 1);
  EXPECT_EQ(s.compress, 0);

  s.attr_e = 1;
  set_extractor();  // modes and store_paths, never compression or attributes
  EXPECT_EQ(who(), EXTRACTOR);
  EXPECT_EQ(s.extract_mode, 1);
  EXPECT_EQ(s.delete_mode, 0);
  EXPECT_EQ(s.modify_only, 0);
  EXPECT_EQ(s.store_paths, 0);
  EXPECT_EQ(s.compress, 0);
  EXPECT_EQ(s.in_directory, 0);
  EXPECT_EQ(s.attr_e, 1);

  set_packer();
  EXPECT_EQ(who(), PACKER);
  EXPECT_EQ(s.add_mode, 1);
  EXPECT_EQ(s.extract_mode, 0);
  EXPECT_EQ(s.compress, 1);
  EXPECT_EQ(s.in_directory, 1);
  EXPECT_EQ(s.attr_l, 1);
  EXPECT_EQ(s.attr_e, 0);
  EXPECT_EQ(s.recurse, 1);  // no setter touches it
}

TEST(PersonalityNamesRun, WindowsProgramNamesChooseTheirPersonality) {
  const std::vector<std::pair<std::string, Who>> cases = {
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
