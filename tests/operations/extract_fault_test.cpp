// Extraction when the system refuses a write or the final rename: the run
// fails and no target or temporary file is left behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/platform.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

using vt::run_in_process;

class ExtractFault : public vt::Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    vt::write_file("a.vrn", vt::build_archive({
                                {"first.txt", "written first", 0, 0x07},
                                {"second.txt", std::string(600000, 's'), 0, 0x07},
                            }));
  }
};

TEST_F(ExtractFault, RefusedRenameKeepsNothingHalfDone) {
  pf_fault_clear();
  pf_fault_arm(PF_FAULT_RENAME, 2);  // the second target's rename
  EXPECT_EQ(run_in_process({"vornex", "a.vrn", "first.txt", "second.txt"}), -3);
  EXPECT_GE(pf_fault_calls(PF_FAULT_RENAME), 2);
  EXPECT_EQ(vt::read_file("first.txt"), "written first");
  EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"a.vrn", "first.txt"}));
}

TEST_F(ExtractFault, RefusedWriteKeepsNothingHalfDone) {
  pf_fault_clear();
  pf_fault_arm(PF_FAULT_WRITE, 2);  // second.txt's data is larger than any one write
  EXPECT_EQ(run_in_process({"vornex", "a.vrn", "second.txt"}), -3);
  EXPECT_EQ(vt::list_dir("."), std::vector<std::string>{"a.vrn"});
}

TEST_F(ExtractFault, RefusedFolderCreationWritesNothingThere) {
  vt::write_file("f.vrn", vt::build_archive({{"sub\\deep\\x.txt", "deep down", 0, 0x07}}));
  pf_fault_clear();
  pf_fault_arm(PF_FAULT_MAKE_FOLDER, 2);  // "sub" is made, "sub\deep" is refused
  EXPECT_EQ(run_in_process({"vornex", "f.vrn", "*"}), -3);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_MAKE_FOLDER), 2);
  // "sub", made by the failed run and still empty, is gone again.
  EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"a.vrn", "f.vrn"}));
  pf_fault_clear();
  EXPECT_EQ(run_in_process({"vornex", "f.vrn", "*"}), 0);
  EXPECT_EQ(vt::read_file("sub/deep/x.txt"), "deep down");
}

// Entries standalone and in the directory stream, in folders the run makes
// and in one ("keep") that was there before.
std::string nested_archive() {
  return vt::build_archive({
      {"solo.txt", "standalone", 0, 0x05},
      {"new\\deep\\a.txt", std::string(5000, 'a'), 0, 0x07},
      {"keep\\made\\b.txt", "in a folder made inside one kept", 0, 0x07},
      {"keep\\c.txt", "beside it", 0, 0x07},
  });
}

TEST_F(ExtractFault, EveryTargetIsFlushedInOnePassBeforeAnyIsRenamed) {
  vt::write_file("n.vrn", nested_archive());
  vt::make_dir("keep");
  pf_fault_clear();
  ASSERT_EQ(run_in_process({"vornex", "n.vrn", "*"}), 0);
  // One pass for all four, no flush file by file.
  EXPECT_EQ(pf_fault_calls(PF_FAULT_SYNC_FILES), 1);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_SYNC), 0);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_RENAME), 4);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_FOLDER_SYNC), 1);  // then every folder in one pass
  EXPECT_EQ(vt::read_file("keep/made/b.txt"), "in a folder made inside one kept");

  // The pass fails: nothing is renamed, no temporary stays, and the folders
  // the run made are gone again; "keep" was there before and stays.
  vt::ScratchDir again;
  vt::write_file("n.vrn", nested_archive());
  vt::make_dir("keep");
  const auto before = vt::list_dir(".");
  pf_fault_arm(PF_FAULT_SYNC_FILES, 1);
  EXPECT_EQ(run_in_process({"vornex", "n.vrn", "*"}), -3);
  EXPECT_EQ(vt::list_dir("."), before);
  EXPECT_EQ(vt::list_dir("keep"), std::vector<std::string>{});
}

TEST_F(ExtractFault, RenamesStoppedHalfWayKeepOnlyFoldersThatHoldTargets) {
  vt::write_file("n.vrn", nested_archive());
  vt::make_dir("keep");
  pf_fault_clear();
  pf_fault_arm(PF_FAULT_RENAME, 3);  // solo.txt and new\deep\a.txt are in place
  EXPECT_EQ(run_in_process({"vornex", "n.vrn", "*"}), -3);
  EXPECT_EQ(vt::read_file("new/deep/a.txt"), std::string(5000, 'a'));
  EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"a.vrn", "keep", "n.vrn", "new", "solo.txt"}));
  EXPECT_EQ(vt::list_dir("keep"), std::vector<std::string>{});
  EXPECT_TRUE(vt::temporaries(".").empty());
  EXPECT_TRUE(vt::temporaries("new/deep").empty());
}

}  // namespace
