// Duplicate-finder runs whose report would have to replace an entry it may
// not replace: the run fails and the archive stays exactly as it was.
#include <gtest/gtest.h>

#include <string>

#include "support/scratch.h"
#include "support/support.h"

namespace {

constexpr uint8_t IN_DIR = 0x07;
constexpr uint8_t STORED = 0x04;

class ReportNamedAfterEntry : public vt::Scratch {};

// The report named after the first of a set of copies: storing it would
// replace that entry while its copies are removed, so the contents would be
// gone from the archive altogether.
TEST_F(ReportNamedAfterEntry, NeverReplacesTheKeptFirstCopy) {
  for (uint8_t first_flags : {IN_DIR, STORED}) {
    const std::string archive = vt::build_archive({
        {"one", "same bytes", 0, first_flags},
        {"two", "same bytes", 0, IN_DIR},
        {"other", "unique", 0, IN_DIR},
    });
    vt::write_file("a.vrn", archive);
    EXPECT_EQ(vt::vorn({"a.vrn", "-redund:one"}), 253);
    EXPECT_EQ(vt::read_file("a.vrn"), archive);
    EXPECT_TRUE(vt::temporaries().empty());
  }
}

// A report named after a removed copy simply takes that copy's place; the
// first entry keeps the contents.
TEST_F(ReportNamedAfterEntry, MayReplaceARemovedCopy) {
  vt::write_file("a.vrn", vt::build_archive({
                              {"one", "same bytes", 0, IN_DIR},
                              {"two", "same bytes", 0, IN_DIR},
                          }));
  ASSERT_EQ(vt::vorn({"a.vrn", "-redund:two"}), 0);
  vt::Parsed p;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("a.vrn"), &p)) << p.error;
  ASSERT_EQ(p.entries.size(), 2u);
  EXPECT_EQ(p.entries[0].name, "one");
  EXPECT_EQ(p.entries[0].data, "same bytes");
  EXPECT_EQ(p.entries[1].name, "two");
  EXPECT_EQ(p.entries[1].data, "one,two\r\n");
}

// An entry of the report's name whose key the report's spec does not open
// cannot be replaced; removing the copies while the report is silently not
// stored would be a failure reported as success.
TEST_F(ReportNamedAfterEntry, KeyedEntryOfTheReportsNameFailsTheRun) {
  const std::string archive = vt::build_archive({
      {"one", "same bytes", 0, IN_DIR},
      {"two", "same bytes", 0, IN_DIR},
      {"rep.txt", "old report", vt::key_hash("K"), IN_DIR},
  });
  vt::write_file("a.vrn", archive);
  EXPECT_EQ(vt::vorn({"a.vrn", "-redund:rep.txt"}), 253);
  EXPECT_EQ(vt::read_file("a.vrn"), archive);
  EXPECT_FALSE(vt::file_exists("rep.txt"));

  // With the copy keyed like the old report, the report's spec opens it.
  const std::string keyed = vt::build_archive({
      {"one", "same bytes", 0, IN_DIR},
      {"two", "same bytes", vt::key_hash("K"), IN_DIR},
      {"rep.txt", "old report", vt::key_hash("K"), IN_DIR},
  });
  vt::write_file("a.vrn", keyed);
  ASSERT_EQ(vt::vorn({"a.vrn", "-redund:rep.txt"}), 0);
  vt::Parsed p;
  ASSERT_TRUE(vt::parse_archive(vt::read_file("a.vrn"), &p)) << p.error;
  ASSERT_EQ(p.entries.size(), 2u);
  EXPECT_EQ(p.entries[1].name, "rep.txt");
  EXPECT_EQ(p.entries[1].data, "one,two\r\n");
}

}  // namespace
