// "-v" through the built executable: the exit code is the report.  On
// archives whose standalone data is damaged the walk reads the data of every
// selected entry, standalone ones included, and reports the damage.
#include <gtest/gtest.h>

#include <string>

#include "support/craft.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

constexpr uint8_t IN_DIR = 0x07;
constexpr uint8_t DEFLATED = 0x05;
constexpr uint8_t STORED = 0x04;

class ViewStandalone : public vt::Scratch {
 protected:
  int view(const std::string& archive, const std::vector<std::string>& names = {}) {
    vt::write_file("a.vrn", archive);
    std::vector<std::string> args = {"a.vrn", "-v"};
    args.insert(args.end(), names.begin(), names.end());
    return vt::vorn(args);
  }
};

TEST_F(ViewStandalone, DamagedCompressedDataFails) {
  const std::string data(3000, 'd');
  const std::string z = vt::zcompress(data);
  const std::string sound = vt::build_archive_raw({{"s", z, 3000, 0, DEFLATED},
                                                  {"i", "in", 2, 0, IN_DIR}});
  EXPECT_EQ(view(sound), 0);

  // Checksum at the end of the entry's stream broken.
  std::string bad_sum = z;
  bad_sum.back() = static_cast<char>(bad_sum.back() ^ 0x20);
  EXPECT_EQ(view(vt::build_archive_raw({{"s", bad_sum, 3000, 0, DEFLATED},
                                        {"i", "in", 2, 0, IN_DIR}})),
            253);
  // The stream holds more than the record's size.
  EXPECT_EQ(view(vt::build_archive_raw({{"s", z, 2999, 0, DEFLATED}, {"i", "in", 2, 0, IN_DIR}})),
            253);
  // Not a zlib stream at all.
  EXPECT_EQ(view(vt::build_archive_raw({{"s", std::string(40, 'x'), 40, 0, DEFLATED}})), 253);
}

TEST_F(ViewStandalone, StoredDataPastTheDataAreaFails) {
  EXPECT_EQ(view(vt::build_archive_raw({{"s", "abc", 3, 0, STORED}})), 0);
  EXPECT_EQ(view(vt::build_archive_raw({{"s", "abc", 400, 0, STORED}})), 253);
}

TEST_F(ViewStandalone, OnlySelectedEntriesAreRead) {
  const std::string archive = vt::build_archive_raw({
      {"bad", std::string(40, 'x'), 40, 0, DEFLATED},
      {"good", vt::zcompress("fine"), 4, 0, DEFLATED},
  });
  EXPECT_EQ(view(archive, {"good"}), 0);
  EXPECT_EQ(view(archive, {"BA?"}), 253);
  EXPECT_EQ(view(archive), 253);
}

class Cli : public vt::Scratch {};

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

}  // namespace
