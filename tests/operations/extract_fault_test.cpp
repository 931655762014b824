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
                                {"second.txt", std::string(70000, 's'), 0, 0x07},
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
  pf_fault_arm(PF_FAULT_WRITE, 2);  // second.txt's data needs more than one write
  EXPECT_EQ(run_in_process({"vornex", "a.vrn", "second.txt"}), -3);
  EXPECT_EQ(vt::list_dir("."), std::vector<std::string>{"a.vrn"});
}

TEST_F(ExtractFault, RefusedFolderCreationWritesNothingThere) {
  vt::write_file("f.vrn", vt::build_archive({{"sub\\deep\\x.txt", "deep down", 0, 0x07}}));
  pf_fault_clear();
  pf_fault_arm(PF_FAULT_MAKE_FOLDER, 2);  // "sub" is made, "sub\deep" is refused
  EXPECT_EQ(run_in_process({"vornex", "f.vrn", "*"}), -3);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_MAKE_FOLDER), 2);
  EXPECT_EQ(vt::list_dir("sub"), std::vector<std::string>{});
  pf_fault_clear();
  EXPECT_EQ(run_in_process({"vornex", "f.vrn", "*"}), 0);
  EXPECT_EQ(vt::read_file("sub/deep/x.txt"), "deep down");
}

}  // namespace
