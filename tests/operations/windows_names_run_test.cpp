// Names Windows cannot give a file, extracted by the built executable: the
// run fails with -3 on the first such entry and writes nothing for it, on
// every system (and so the same under Wine as on Linux).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/support.h"

namespace {

constexpr uint8_t IN_DIR = 0x07;  // compressed flag kept, in directory, l
constexpr uint8_t STORED = 0x04;  // standalone, stored

class WindowsNamesRun : public vt::Scratch {};

TEST_F(WindowsNamesRun, RefusedNamesFailTheRunAndWriteNothing) {
  const std::vector<std::string> names = {
      "\\\\server\\share\\f", "//server/share/f", "\\\\?\\C:\\x", "\\\\.\\NUL",
      "CON", "nul.txt", "dir\\Com1.log", "dir/LPT9", "aux.tar.gz", "CON .txt",
      "trail.", "space ", "dir./x", "ab:stream", "dir\\a.txt:s", "x|y", "q?", "s*", "t\x01",
  };
  for (const uint8_t placement : {IN_DIR, STORED}) {
    for (const std::string& name : names) {
      // A folder of its own, one level down: a UNC or device name that
      // reached the file system would show up beside it or as a stray file.
      vt::ScratchDir each;
      vt::make_dir("w");
      ASSERT_EQ(chdir("w"), 0);
      vt::make_dir("dir");
      vt::write_file("h.vrn", vt::build_archive({
                                  {"ok.txt", "fine", 0, placement},
                                  {name, "refused", 0, placement},
                                  {"after.txt", "not reached", 0, IN_DIR},
                              }));
      EXPECT_EQ(vt::run("VORNEX32.EXE", {"h.vrn", "*"}), vt::FAIL) << name;
      // A standalone entry written before stays; in-directory targets are
      // put in place only when the whole walk succeeds.
      if (placement == STORED) {
        EXPECT_EQ(vt::read_file("ok.txt"), "fine") << name;
        EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"dir", "h.vrn", "ok.txt"})) << name;
      } else {
        EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"dir", "h.vrn"})) << name;
      }
      EXPECT_EQ(vt::list_dir("dir"), std::vector<std::string>{}) << name;
      EXPECT_EQ(vt::list_dir(".."), std::vector<std::string>{"w"}) << name;
    }
  }
}

TEST_F(WindowsNamesRun, NamesCloseToRefusedOnesExtract) {
  vt::make_dir("dir");
  const std::vector<std::string> names = {"CONSOLE.txt", "com10", "nulx", "aux_x.c", "a..b", "dir\\.hidden",
                                          "./dot.txt", "dir/LPT"};
  std::vector<vt::Entry> entries;
  for (const std::string& n : names) entries.push_back({n, "data of " + n, 0, IN_DIR});
  vt::write_file("a.vrn", vt::build_archive(entries));
  ASSERT_EQ(vt::run("vornex.exe", {"a.vrn", "*"}), 0);
  EXPECT_EQ(vt::read_file("CONSOLE.txt"), "data of CONSOLE.txt");
  EXPECT_EQ(vt::read_file("com10"), "data of com10");
  EXPECT_EQ(vt::read_file("nulx"), "data of nulx");
  EXPECT_EQ(vt::read_file("aux_x.c"), "data of aux_x.c");
  EXPECT_EQ(vt::read_file("a..b"), "data of a..b");
  EXPECT_EQ(vt::read_file("dir/.hidden"), "data of dir\\.hidden");
  EXPECT_EQ(vt::read_file("dot.txt"), "data of ./dot.txt");
  EXPECT_EQ(vt::read_file("dir/LPT"), "data of dir/LPT");
}

}  // namespace
