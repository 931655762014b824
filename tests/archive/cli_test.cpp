// "-v" and "+#" through the built executable: the exit code is the report.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/scratch.h"
#include "support/support.h"

namespace {

class Cli : public vt::Scratch {};

std::string array_text(const std::string& z) {
  std::string t = "char deflatedStream[]={\n\t";
  for (size_t i = 0; i < z.size(); ++i) {
    char v[8];
    std::snprintf(v, sizeof v, "0x%02X", static_cast<unsigned char>(z[i]));
    t += v;
    if (i + 1 < z.size()) t += (i + 1) % 16 == 0 ? ",\n\t" : ",";
  }
  return t + "\n};\n";
}

TEST_F(Cli, ViewReportsDamageByExitCode) {
  std::string good = vt::build_archive({{"s.txt", "standalone", 0, 0x05}, {"a.txt", "abc", 0, 0x07}});
  vt::write_file("good.vrn", good);
  EXPECT_EQ(vt::vorn({"-v", "good.vrn"}), 0);
  EXPECT_EQ(vt::run("vornex", {"-v", "good.vrn", "*.txt"}), 0);
  EXPECT_EQ(vt::read_file("good.vrn"), good);  // viewing changes nothing

  std::string bad = good;
  bad[bad.size() - 5] = static_cast<char>(bad[bad.size() - 5] ^ 0x01);  // the stream's Adler-32
  vt::write_file("bad.vrn", bad);
  EXPECT_EQ(vt::vorn({"-v", "bad.vrn"}), vt::FAIL);

  vt::write_file("short.vrn", "ab");
  EXPECT_EQ(vt::vorn({"-v", "short.vrn"}), vt::FAIL);
  std::string huge_count = vt::zcompress(vt::u32le(0xFFFFFFFFu) + std::string("a\0", 2) + std::string(13, '\0')) +
                           vt::u32le(0x5A17C3E9u);
  vt::write_file("count.vrn", huge_count);
  EXPECT_EQ(vt::vorn({"-v", "count.vrn"}), vt::FAIL);
  EXPECT_EQ(vt::vorn({"-v", "missing.vrn"}), vt::FAIL);
}

TEST_F(Cli, EmitWritesDeflatedOrFails) {
  vt::write_file("in.bin", "some input to compress, some input to compress");
  EXPECT_EQ(vt::vorn({"new.vrn", "+#in.bin"}), 0);
  EXPECT_EQ(vt::read_file("deflated"), array_text(vt::zcompress(vt::read_file("in.bin"))));
  EXPECT_FALSE(vt::file_exists("new.vrn"));

  vt::write_file("deflated", "older");
  EXPECT_EQ(vt::vorn({"new.vrn", "+#missing.bin"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("deflated"), "older");
}

}  // namespace
