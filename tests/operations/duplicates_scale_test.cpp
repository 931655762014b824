// The duplicate finder on an archive built to defeat its CRC: hundreds of
// different entries of one size and one CRC.  Telling them apart must not
// cost a comparison per pair (each one re-reading the directory stream): the
// archive is read a bounded number of times, and the real copies among the
// colliding entries are still found.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive/entry_table.h"
#include "archive/load.h"
#include "archive/streams.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "driver/driver.h"
#include "operations/duplicates.h"
#include "platform/platform.h"
#include "support/craft.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

class DuplicateScale : public vt::Scratch {};

TEST_F(DuplicateScale, ForgedCrcCollisionsAreToldApartCheaply) {
  const uint32_t target = 0x12345678;
  const int distinct = 300;
  std::vector<vt::Entry> entries;
  std::vector<std::string> bodies;
  for (int i = 0; i < distinct; ++i) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "entry%07d", i);
    bodies.push_back(prefix + vt::crc_forcing_suffix(prefix, target));
    ASSERT_EQ(vt::crc_plain(bodies.back()), target);
    entries.push_back({"c" + std::to_string(i), bodies.back(), 0, 0x07});
  }
  // Two real copies far from their first entries, among the colliders.
  entries.push_back({"copy-of-c3", bodies[3], 0, 0x07});
  entries.push_back({"copy-of-c250", bodies[250], 0, 0x07});
  vt::write_file("t.vrn", vt::build_archive(entries));

  g_run.archive_fd = pf_open_rw("t.vrn");
  ASSERT_GE(g_run.archive_fd, 0);
  ASSERT_EQ(load_directory(), 0);
  g_settings.report_path = "rep.txt";
  g_run.report_fd = pf_open_create("rep.txt");
  ASSERT_GE(g_run.report_fd, 0);

  pf_fault_clear();
  ASSERT_EQ(find_duplicate_entries(), 0);
  // The whole archive is a few kilobytes: one pass for the hashes and one
  // sweep for the two real copies need a handful of reads, not one or more
  // per pair of colliding entries.
  EXPECT_LE(pf_fault_calls(PF_FAULT_READ), 40);

  EXPECT_EQ(vt::read_file("rep.txt"), "c3,copy-of-c3\r\nc250,copy-of-c250\r\n");
  std::vector<std::string> queued;
  for (const auto& spec : g_archive.specs.specs) queued.push_back(spec->name);
  EXPECT_EQ(queued, (std::vector<std::string>{"copy-of-c3", "copy-of-c250", "rep.txt"}));
}

}  // namespace
