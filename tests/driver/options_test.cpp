// The archive-name pass and the option pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "archive/archive_state.h"
#include "base/run_state.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

using Args = std::vector<std::string>;

class OptionsTest : public vt::Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    select_personality_from_name("vorn");
  }

  // Runs the option pass over `args` on top of the current settings; *code
  // gets the exit code the run ends with now (12345: the run goes on).
  int pass(const Args& args, int* code = nullptr) {
    g_args = args;
    int finished = 12345;
    int r = option_pass(&finished);
    EXPECT_TRUE(finished == 0 || finished == 1) << finished;
    if (code) *code = r != 0 ? EXIT_FAILURE_CODE : finished ? EXIT_OK : 12345;
    return r;
  }
  Settings& s() { return g_settings; }
};

TEST_F(OptionsTest, SwitchesAndTheirCaseInsensitiveWords) {
  ASSERT_EQ(pass({"-C", "-G", "+E", "-L", "+P", "+R", "+1", "+3", "-verbose", "+VERBOSE", "-Q",
                  "-nologo"}),
            0);
  EXPECT_EQ(s().compress, 0);
  EXPECT_EQ(s().in_directory, 0);
  EXPECT_EQ(s().attr_e, 1);
  EXPECT_EQ(s().attr_l, 0);
  EXPECT_EQ(s().store_paths, 1);
  EXPECT_EQ(s().recurse, 1);
  EXPECT_EQ(s().user1, 1);
  EXPECT_EQ(s().user2, 0);
  EXPECT_EQ(s().user3, 1);
  ASSERT_EQ(pass({"+c", "+g", "-e", "+l", "-p", "-r", "-1", "+4"}), 0);
  EXPECT_EQ(s().compress, 1);
  EXPECT_EQ(s().in_directory, 1);
  EXPECT_EQ(s().attr_e, 0);
  EXPECT_EQ(s().attr_l, 1);
  EXPECT_EQ(s().store_paths, 0);
  EXPECT_EQ(s().recurse, 0);
  EXPECT_EQ(s().user1, 0);
  EXPECT_EQ(s().user4, 1);
  EXPECT_EQ(g_run.work_pending, 0);  // options alone are no work
}

TEST_F(OptionsTest, OperationModes) {
  ASSERT_EQ(pass({"-D"}), 0);
  EXPECT_EQ(s().add_mode, 0);
  EXPECT_EQ(s().delete_mode, 1);
  // "+m" then "-a": add mode that touches only stored entries; "-x" clears it.
  ASSERT_EQ(pass({"+m", "-A"}), 0);
  EXPECT_EQ(s().add_mode, 1);
  EXPECT_EQ(s().delete_mode, 0);
  EXPECT_EQ(s().modify_only, 1);
  ASSERT_EQ(pass({"-X"}), 0);
  EXPECT_EQ(s().add_mode, 0);
  EXPECT_EQ(s().modify_only, 0);
  EXPECT_EQ(s().extract_mode, 1);
  ASSERT_EQ(pass({"-a", "-m"}), 0);
  EXPECT_EQ(s().extract_mode, 0);
  EXPECT_EQ(s().modify_only, 0);
}

TEST_F(OptionsTest, PersonalityOptionsAreWholeWordsInArgumentOrder) {
  s().compress = 0;
  ASSERT_EQ(pass({"-VORNEX"}), 0);
  EXPECT_EQ(s().extractor, 1);
  EXPECT_EQ(s().compress, 0);
  ASSERT_EQ(pass({"-vorn", "-c"}), 0);  // the option after the preset wins
  EXPECT_EQ(s().packer, 1);
  EXPECT_EQ(s().compress, 0);
  ASSERT_EQ(pass({"-c", "-vornalt"}), 0);
  EXPECT_EQ(s().modifier, 1);
  int code = 0;
  EXPECT_EQ(pass({"-vornexx"}, &code), -1);
  EXPECT_EQ(code, EXIT_FAILURE_CODE);
}

TEST_F(OptionsTest, KeysAreTakenByteForByte) {
  ASSERT_EQ(pass({"-sKey", "+SOther"}), 0);
  EXPECT_EQ(s().match_key_hash, vt::key_hash("Key"));
  EXPECT_EQ(s().new_key_hash, vt::key_hash("Other"));
  EXPECT_EQ(s().new_key_given, 1);
  EXPECT_NE(s().match_key_hash, 0u);
  uint32_t upper = s().match_key_hash;
  ASSERT_EQ(pass({"-skey"}), 0);
  EXPECT_NE(s().match_key_hash, upper);
  // Empty key texts mean "no key"; "+s" still counts as given.
  state_reset();
  ASSERT_EQ(pass({"-sx", "+sy", "-s", "+s"}), 0);
  EXPECT_EQ(s().match_key_hash, 0u);
  EXPECT_EQ(s().new_key_hash, 0u);
  EXPECT_EQ(s().new_key_given, 1);
}

TEST_F(OptionsTest, StubComesBeforeKeysAndLosesItsQuotes) {
  ASSERT_EQ(pass({"-STUB:\"my stub.exe\""}), 0);
  EXPECT_EQ(s().stub_path, "my stub.exe");
  EXPECT_EQ(s().match_key_hash, 0u);
  EXPECT_EQ(g_run.work_pending, 1);
  // Without its colon it is a key whose text is "tub".
  ASSERT_EQ(pass({"-stub"}), 0);
  EXPECT_EQ(s().match_key_hash, vt::key_hash("tub"));
  EXPECT_EQ(s().stub_path, "my stub.exe");
  // An empty value: work pending, no stub file; a later value replaces.
  state_reset();
  ASSERT_EQ(pass({"-stub:"}), 0);
  EXPECT_EQ(g_run.work_pending, 1);
  EXPECT_TRUE(s().stub_path.empty());
  ASSERT_EQ(pass({"-stub:a.exe", "-stub:b.exe"}), 0);
  EXPECT_EQ(s().stub_path, "b.exe");
}

TEST_F(OptionsTest, DuplicateFinderValues) {
  std::vector<std::string> args = {"-Redund:\"rep.txt\"", "-rfind:\"", "-RFIND:\"\"",
                                   "-rfind:a\"", "-rfind:\"b c\""};
  std::string long_value(5000, 'p');
  for (int i = 0; i < 150; ++i) args.push_back("-rfind:" + long_value + std::to_string(i));
  ASSERT_EQ(pass(args), 0);
  EXPECT_EQ(s().find_duplicates, 1);
  EXPECT_EQ(s().report_path, "rep.txt");
  ASSERT_EQ(s().report_prefixes.size(), 154u);
  EXPECT_EQ(s().report_prefixes[0], "\"");   // one quote: unchanged
  EXPECT_EQ(s().report_prefixes[1], "");     // a pair of quotes only
  EXPECT_EQ(s().report_prefixes[2], "a\"");  // quote at one end only
  EXPECT_EQ(s().report_prefixes[3], "b c");
  EXPECT_EQ(s().report_prefixes[153], long_value + "149");
  EXPECT_EQ(g_run.work_pending, 0);
  ASSERT_EQ(pass({"-redund:\"\"x\"\""}), 0);  // only one pair goes
  EXPECT_EQ(s().report_path, "\"x\"");
}

TEST_F(OptionsTest, UnrecognisedOptionsEndTheRunAndStopThePass) {
  const char* bad[] = {"+a", "+d", "+x", "+q", "+v", "-", "+", "-ab", "-cc", "-vv",
                       "-mmod:script.txt", "-mfile", "-5", "+0", "-verbos", "-rfind", "-redund"};
  for (const char* arg : bad) {
    state_reset();
    int code = 0;
    EXPECT_EQ(pass({"-c", arg, "+g", "-g"}, &code), -1) << arg;
    EXPECT_EQ(code, EXIT_FAILURE_CODE) << arg;
    EXPECT_EQ(s().compress, 0) << arg;      // before it: applied
    EXPECT_EQ(s().in_directory, 1) << arg;  // after it: never reached
  }
}

TEST_F(OptionsTest, FileSpecsMakeWorkPending) {
  ASSERT_EQ(pass({"-c", "a.txt"}), 0);
  EXPECT_EQ(g_run.work_pending, 1);
}

TEST_F(OptionsTest, ThreadCountTakesAValueInRange) {
  EXPECT_EQ(s().threads, 0);  // one per core
  ASSERT_EQ(pass({"--threads", "3", "a.txt"}), 0);
  EXPECT_EQ(s().threads, 3);
  EXPECT_EQ(g_archive.specs.count(), 1);  // "3" is the option's, not a file
  ASSERT_EQ(pass({"--THREADS=64"}), 0);
  EXPECT_EQ(s().threads, 64);
  for (const Args& bad : {Args{"--threads"}, Args{"--threads", "0"}, Args{"--threads", "65"},
                          Args{"--threads", "2x"}, Args{"--threads="}, Args{"--threads=-1"},
                          Args{"--threads", "0004"}}) {
    int code = 0;
    EXPECT_EQ(pass(bad, &code), -1) << bad.back();
    EXPECT_EQ(code, -3) << bad.back();
  }
}

class ArchiveNamePassTest : public OptionsTest {};

TEST_F(ArchiveNamePassTest, ThreadCountIsNoArchiveName) {
  g_args = {"--threads", "2", "arc.vrn", "a.txt"};
  ASSERT_EQ(archive_name_pass(), 0);
  EXPECT_EQ(s().archive_path, "arc.vrn");
}

TEST_F(ArchiveNamePassTest, FirstNonOptionIsTheArchive) {
  g_args = {"-c", "+x", "arc.vrn", "a.txt", "b.txt"};
  ASSERT_EQ(archive_name_pass(), 0);
  EXPECT_EQ(s().archive_path, "arc.vrn");
  EXPECT_EQ(g_args, (Args{"-c", "+x", "a.txt", "b.txt"}));
  EXPECT_EQ(s().compress, 1);  // other options wait for the option pass
}

TEST_F(ArchiveNamePassTest, PersonalityOptionsBeforeTheArchiveOnly) {
  state_reset();
  select_personality_from_name("vornex");
  g_args = {"-VORN", "+vornalt", "new.vrn", "-vornalt"};
  ASSERT_EQ(archive_name_pass(), 0);
  EXPECT_EQ(s().packer, 1);
  EXPECT_EQ(s().modifier, 0);
  EXPECT_EQ(s().archive_path, "new.vrn");
}

TEST_F(ArchiveNamePassTest, NoArchiveNameLeavesThePathEmpty) {
  g_args = {"-c", "-vornex", "+#x"};
  ASSERT_EQ(archive_name_pass(), 0);
  EXPECT_TRUE(s().archive_path.empty());
  EXPECT_EQ(g_args.size(), 3u);
  EXPECT_EQ(s().extractor, 1);
}

// "+#" ends the run: with 0 once the file is emitted (nothing after it is
// applied), with -3 when it cannot be.
TEST_F(OptionsTest, EmissionEndsThePass) {
  vt::write_file("src.bin", "some bytes to deflate");
  int code = 0;
  EXPECT_EQ(pass({"-c", "+#src.bin", "+g", "-g"}, &code), 0);
  EXPECT_EQ(code, EXIT_OK);
  EXPECT_TRUE(vt::file_exists("deflated"));
  EXPECT_EQ(s().in_directory, 1);  // never reached
  EXPECT_EQ(pass({"-c", "+#missing.bin", "-g"}, &code), -1);
  EXPECT_EQ(code, EXIT_FAILURE_CODE);
  EXPECT_EQ(pass({"-c", "+g"}, &code), 0);
  EXPECT_EQ(code, 12345);  // the run goes on
}

}  // namespace
