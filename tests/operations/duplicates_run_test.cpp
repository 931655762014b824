// The duplicate finder as a user runs it: "-redund:" reports later copies,
// the rewrite removes them and stores the report in the archive.  A report
// that would have to replace an entry it may not replace fails the run and
// leaves the archive exactly as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/craft.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

using vt::Entry;

constexpr uint8_t IN_DIR = 0x07;
constexpr uint8_t STORED = 0x04;
constexpr uint8_t DEFLATED = 0x05;

std::string noise(size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned v = seed;
  for (size_t i = 0; i < n; ++i) {
    v = v * 1664525u + 1013904223u;
    s[i] = static_cast<char>(v >> 24);
  }
  return s;
}

// Names of the archive's entries, in directory order.
std::vector<std::string> names_of(const vt::Parsed& p) {
  std::vector<std::string> names;
  for (const Entry& e : p.entries) names.push_back(e.name);
  return names;
}

const Entry* find_entry(const vt::Parsed& p, const std::string& name) {
  for (const Entry& e : p.entries)
    if (e.name == name) return &e;
  return nullptr;
}

class DuplicateRun : public vt::Scratch {
 protected:
  // Runs the finder on the archive and parses the result.
  void find(const std::vector<std::string>& extra, vt::Parsed* p) {
    std::vector<std::string> args = {"a.vrn", "-redund:rep.txt"};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_EQ(vt::vorn(args), 0);
    EXPECT_FALSE(vt::file_exists("rep.txt"));  // kept only inside the archive
    ASSERT_TRUE(vt::parse_archive(vt::read_file("a.vrn"), p)) << p->error;
  }
};

TEST_F(DuplicateRun, LaterCopiesAreReportedAndRemoved) {
  vt::write_file("a.vrn", vt::build_archive({
                              {"one.txt", "same text", 0, IN_DIR},
                              {"two.txt", "same text", vt::key_hash("k2"), IN_DIR},
                              {"other.txt", "different", 0, IN_DIR},
                              {"three.txt", "same text", 0, IN_DIR},
                          }));
  vt::Parsed p;
  find({}, &p);
  EXPECT_EQ(names_of(p), (std::vector<std::string>{"one.txt", "other.txt", "rep.txt"}));
  const Entry* rep = find_entry(p, "rep.txt");
  ASSERT_NE(rep, nullptr);
  EXPECT_EQ(rep->data, "one.txt,two.txt\r\none.txt,three.txt\r\n");
  EXPECT_EQ(find_entry(p, "one.txt")->data, "same text");
}

TEST_F(DuplicateRun, EveryPlacementAndEmptyEntries) {
  const std::string big = noise(130000, 1);  // more than one read piece
  vt::write_file("a.vrn", vt::build_archive({
                              {"x.bin", big, 0, STORED},
                              {"e2", "", 0, DEFLATED},
                              {"y.bin", big, 0, DEFLATED},
                              {"e1", "", 0, IN_DIR},
                              {"z.bin", big, 0, IN_DIR},
                              {"e3", "", 0, IN_DIR},
                              {"w.bin", big.substr(0, 129999) + static_cast<char>(big.back() ^ 1), 0, IN_DIR},
                          }));
  vt::Parsed p;
  find({}, &p);
  const Entry* rep = find_entry(p, "rep.txt");
  ASSERT_NE(rep, nullptr);
  // Directory order puts standalone entries first: x.bin, e2, y.bin.
  EXPECT_EQ(rep->data, "x.bin,y.bin\r\nx.bin,z.bin\r\ne2,e1\r\ne2,e3\r\n");
  // The copies are gone, standalone and in-directory alike; the first of
  // each set stays.
  for (const char* gone : {"y.bin", "z.bin", "e1", "e3"})
    EXPECT_EQ(find_entry(p, gone), nullptr) << gone;
  EXPECT_EQ(names_of(p), (std::vector<std::string>{"x.bin", "e2", "w.bin", "rep.txt"}));
  ASSERT_NE(find_entry(p, "x.bin"), nullptr);
  EXPECT_EQ(find_entry(p, "x.bin")->data, big);
  ASSERT_NE(find_entry(p, "w.bin"), nullptr);
}

TEST_F(DuplicateRun, PrefixesRestrictTheCopiesReported) {
  const std::vector<Entry> entries = {
      {"one.txt", "same", 0, IN_DIR},
      {"two.txt", "same", 0, IN_DIR},
      {"three.txt", "same", 0, IN_DIR},
  };
  const std::string archive = vt::build_archive(entries);
  {
    vt::write_file("a.vrn", archive);
    vt::Parsed p;
    find({"-rfind:th"}, &p);
    EXPECT_EQ(names_of(p), (std::vector<std::string>{"one.txt", "two.txt", "rep.txt"}));
    EXPECT_EQ(find_entry(p, "rep.txt")->data, "one.txt,three.txt\r\n");
  }
  {
    vt::write_file("a.vrn", archive);
    vt::Parsed p;
    find({"-rfind:zz", "-rfind:tw"}, &p);
    EXPECT_EQ(names_of(p), (std::vector<std::string>{"one.txt", "three.txt", "rep.txt"}));
    EXPECT_EQ(find_entry(p, "rep.txt")->data, "one.txt,two.txt\r\n");
  }
  {
    // Prefixes compare with case: nothing is reported, nothing rewritten.
    vt::write_file("a.vrn", archive);
    vt::Parsed p;
    find({"-rfind:TH", "-rfind:Tw"}, &p);
    EXPECT_EQ(vt::read_file("a.vrn"), archive);
  }
}

TEST_F(DuplicateRun, ReportReplacesAnEntryOfItsName) {
  vt::write_file("a.vrn", vt::build_archive({
                              {"rep.txt", "last year's report", 0, IN_DIR},
                              {"a.txt", "copy me", 0, IN_DIR},
                              {"b.txt", "copy me", 0, IN_DIR},
                          }));
  vt::Parsed p;
  find({}, &p);
  EXPECT_EQ(names_of(p), (std::vector<std::string>{"a.txt", "rep.txt"}));
  EXPECT_EQ(find_entry(p, "rep.txt")->data, "a.txt,b.txt\r\n");
}

TEST_F(DuplicateRun, EqualCrcAloneRemovesNothing) {
  // Two different strings of one length with one CRC.
  const std::string s1 = "first string" + std::string("WXYZ");
  const std::string s2_prefix = "other string";
  const std::string s2 = s2_prefix + vt::crc_forcing_suffix(s2_prefix, vt::crc_plain(s1));
  ASSERT_EQ(s1.size(), s2.size());
  ASSERT_NE(s1, s2);
  ASSERT_EQ(vt::crc_plain(s1), vt::crc_plain(s2));

  const std::string only_collision = vt::build_archive({
      {"a.bin", s1, 0, IN_DIR},
      {"b.bin", s2, 0, IN_DIR},
  });
  vt::write_file("a.vrn", only_collision);
  ASSERT_EQ(vt::vorn({"a.vrn", "-redund:rep.txt"}), 0);
  EXPECT_EQ(vt::read_file("a.vrn"), only_collision);
  EXPECT_FALSE(vt::file_exists("rep.txt"));

  // Real copies among colliding entries are still found, each against its
  // own first entry.
  vt::write_file("a.vrn", vt::build_archive({
                              {"a.bin", s1, 0, IN_DIR},
                              {"b.bin", s2, 0, IN_DIR},
                              {"c.bin", s2, 0, IN_DIR},
                              {"d.bin", s1, 0, IN_DIR},
                          }));
  vt::Parsed p;
  find({}, &p);
  EXPECT_EQ(names_of(p), (std::vector<std::string>{"a.bin", "b.bin", "rep.txt"}));
  EXPECT_EQ(find_entry(p, "rep.txt")->data, "a.bin,d.bin\r\nb.bin,c.bin\r\n");
  EXPECT_EQ(find_entry(p, "a.bin")->data, s1);
  EXPECT_EQ(find_entry(p, "b.bin")->data, s2);
}

TEST_F(DuplicateRun, InterleavedLargeCopies) {
  // Copies interleaved in the directory stream, each larger than the
  // comparison pieces, one of them differing only in its last byte.
  const std::string a = noise(180000, 2), b = noise(180000, 3);
  std::string a_changed = a;
  a_changed.back() ^= 1;
  vt::write_file("a.vrn", vt::build_archive({
                              {"b0", b, 0, DEFLATED},
                              {"a1", a, 0, IN_DIR},
                              {"b1", b, 0, IN_DIR},
                              {"a2", a_changed, 0, IN_DIR},
                              {"a3", a, 0, IN_DIR},
                              {"b2", b, 0, IN_DIR},
                          }));
  vt::Parsed p;
  find({}, &p);
  EXPECT_EQ(names_of(p), (std::vector<std::string>{"b0", "a1", "a2", "rep.txt"}));
  EXPECT_EQ(find_entry(p, "rep.txt")->data, "b0,b1\r\nb0,b2\r\na1,a3\r\n");
  EXPECT_EQ(find_entry(p, "a2")->data, a_changed);
}

TEST_F(DuplicateRun, DamagedDataFailsTheRun) {
  std::string archive = vt::build_archive({
      {"a", noise(5000, 4), 0, DEFLATED},
      {"b", "x", 0, IN_DIR},
  });
  archive[0] ^= 0xFF;  // the header of a's zlib stream
  vt::write_file("a.vrn", archive);
  EXPECT_EQ(vt::vorn({"a.vrn", "-redund:rep.txt"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("a.vrn"), archive);
  EXPECT_FALSE(vt::file_exists("rep.txt"));
}

// ---- reports named after entries ----------------------------------------------

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
