// Failures in the middle of a rewrite, run in this process so that the
// platform layer's fault hooks can fail one call at a time: whatever fails,
// the old archive stays byte for byte as it was and no temporary file is
// left behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/collection.h"
#include "driver/driver.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "operations/extract.h"
#include "operations/rewrite.h"
#include "platform/platform.h"
#include "support/e2e.h"
#include "support/scratch.h"

using namespace rt;

namespace {

class RewriteFaults : public vt::Scratch {};
class RewriteSteps : public vt::Scratch {};

using vt::run_in_process;

struct FaultCase {
  PfFaultKind kind;
  const char* name;
};

TEST_F(RewriteFaults, EveryFailedWriteSyncOrRenameLeavesTheOldArchive) {
  const std::string stub = "MZ" + noise(40, 20);
  const std::string archive = vt::build_archive(
      {entry("s1", noise(80000, 21), SC), entry("s2", "stored", SS),
       entry("d1", noise(90000, 22), DC), entry("d2", "two", DC), entry("gone", "x", DC)},
      stub);
  vt::write_file("new1.txt", noise(70000, 23));
  vt::write_file("new2.txt", noise(200, 24));
  const std::vector<std::string> args = {"vorn", "arc.vrn", "-g", "new1.txt", "+m", "d1",
                                         "-m", "+g", "new2.txt", "+m", "s2", "-m",
                                         "-d", "gone"};

  const FaultCase kinds[] = {{PF_FAULT_WRITE, "write"},
                             {PF_FAULT_SYNC, "sync"},
                             {PF_FAULT_RENAME, "rename"}};
  for (const FaultCase& k : kinds) {
    // Count the calls of a run that succeeds.
    vt::write_file("arc.vrn", archive);
    pf_fault_clear();
    ASSERT_EQ(run_in_process(args), 0);
    const int calls = pf_fault_calls(k.kind);
    EXPECT_GT(calls, 0) << k.name;
    vt::Parsed done = parse("arc.vrn");
    EXPECT_EQ(names(done), std::vector<std::string>({"s1", "d1", "new1.txt", "d2", "s2", "new2.txt"}));
    EXPECT_EQ(vt::mz_sum(vt::read_file("arc.vrn")), 0xFFFF);

    for (int n = 1; n <= calls; ++n) {
      vt::write_file("arc.vrn", archive);
      pf_fault_clear();
      pf_fault_arm(k.kind, n);
      EXPECT_EQ(run_in_process(args), EXIT_FAILURE_CODE) << k.name << " call " << n;
      pf_fault_clear();
      EXPECT_EQ(vt::read_file("arc.vrn"), archive) << k.name << " call " << n;
      EXPECT_EQ(vt::list_dir("."), std::vector<std::string>({"arc.vrn", "new1.txt", "new2.txt"}))
          << k.name << " call " << n;
    }
  }
}

// A file that grows between the planning of the directory and the copy of
// its data fails the run instead of writing a record that disagrees with it.
TEST_F(RewriteSteps, FileChangingLengthAfterPlanningFails) {
  vt::write_file("f.txt", "12345");
  g_settings.archive_path = "arc.vrn";
  add_file_spec("f.txt");
  ASSERT_EQ(g_archive.specs.count(), 1);
  ASSERT_EQ(copy_standalone_entries(), 0);
  ASSERT_EQ(move_out_in_directory_entries(), 0);
  ASSERT_EQ(add_standalone_files(), 0);
  ASSERT_EQ(plan_in_directory_entries(), 0);
  ASSERT_EQ(g_archive.output.count(), 1);
  EXPECT_EQ(g_archive.output.records[0]->size, 5u);
  vt::write_file("f.txt", "1234567");
  ASSERT_EQ(write_directory(), 0);
  ASSERT_EQ(copy_in_directory_data(), 0);
  ASSERT_EQ(move_in_standalone_entries(), 0);
  EXPECT_EQ(add_in_directory_files(), -1);
  terminate(EXIT_FAILURE_CODE);
  EXPECT_TRUE(vt::temporaries().empty());
}

// A file found by a pattern is recorded with the length the listing saw and
// is not opened before its data is copied: one that grows, shrinks or goes
// away in between fails the run, whatever it is by the time the records
// are planned, and leaves no temporary file.
TEST_F(RewriteSteps, FileChangingAfterItWasListedFails) {
  struct Change {
    const char* what;
    void (*apply)();
  };
  const Change changes[] = {
      {"grows", [] { vt::write_file("f.txt", "1234567"); }},
      {"shrinks", [] { vt::write_file("f.txt", "123"); }},
      {"empties", [] { vt::write_file("f.txt", ""); }},
      {"goes away", [] { pf_remove("f.txt"); }},
  };
  for (const Change& c : changes) {
    vt::write_file("f.txt", "12345");
    vt::write_file("g.txt", "same");
    g_settings.archive_path = "arc.vrn";
    add_file_spec("*.txt");
    ASSERT_EQ(g_archive.specs.count(), 2) << c.what;
    c.apply();
    ASSERT_EQ(copy_standalone_entries(), 0) << c.what;
    ASSERT_EQ(move_out_in_directory_entries(), 0) << c.what;
    ASSERT_EQ(add_standalone_files(), 0) << c.what;
    ASSERT_EQ(plan_in_directory_entries(), 0) << c.what;
    ASSERT_EQ(g_archive.output.count(), 2) << c.what;
    EXPECT_EQ(g_archive.output.records[0]->size, 5u) << c.what << ": the listed length";
    EXPECT_EQ(g_archive.output.records[1]->offset, 5u) << c.what;
    ASSERT_EQ(write_directory(), 0) << c.what;
    ASSERT_EQ(copy_in_directory_data(), 0) << c.what;
    ASSERT_EQ(move_in_standalone_entries(), 0) << c.what;
    EXPECT_EQ(add_in_directory_files(), -1) << c.what;
    terminate(EXIT_FAILURE_CODE);
    EXPECT_TRUE(vt::temporaries().empty()) << c.what;
    EXPECT_FALSE(vt::file_exists("arc.vrn")) << c.what;
    state_reset();
  }
}

// Offsets of the output table's in-directory records: running sums of the
// sizes, standalone records untouched; a sum past 32 bits is refused.
TEST_F(RewriteSteps, InDirectoryOffsetsAreRunningSumsWithinThirtyTwoBits) {
  g_settings.archive_path = "arc.vrn";
  ASSERT_EQ(entry_table_add(g_archive.loaded, "a", 0, 10, 0, DC, 1), 0);
  ASSERT_EQ(entry_table_add(g_archive.loaded, "b", 0, 0xFFFFFFF0u, 0, DC, 1), 0);
  ASSERT_EQ(entry_table_add(g_archive.loaded, "c", 0, 100, 0, DC, 1), 0);
  g_run.archive_existed = 1;
  // Plan only (no data is read): a and b fit, c's offset would not.
  EXPECT_EQ(plan_in_directory_entries(), -1);
  terminate(EXIT_FAILURE_CODE);

  state_reset();
  g_settings.archive_path = "arc.vrn";
  ASSERT_EQ(entry_table_add(g_archive.loaded, "a", 0, 10, 0, DC, 1), 0);
  ASSERT_EQ(entry_table_add(g_archive.loaded, "b", 0, 7, 0, DS, 1), 0);
  ASSERT_EQ(entry_table_add(g_archive.loaded, "c", 0, 100, 0, DC, 1), 0);
  ASSERT_EQ(plan_in_directory_entries(), 0);
  ASSERT_EQ(g_archive.output.count(), 3);
  EXPECT_EQ(g_archive.output.records[0]->offset, 0u);
  EXPECT_EQ(g_archive.output.records[1]->offset, 10u);
  EXPECT_EQ(g_archive.output.records[2]->offset, 17u);
  terminate(EXIT_FAILURE_CODE);
}

}  // namespace
