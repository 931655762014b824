// Dispatch decisions, the stub step, the replacement of the archive and the
// exit routine, run in-process through vorn_main and the exposed pieces.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "driver/driver.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "platform/platform.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

using Names = std::vector<std::string>;

// Runs vorn_main with argv[0] = program and the arguments.
int run_main(const std::string& program, std::vector<std::string> args) {
  args.insert(args.begin(), program);
  return vt::run_in_process(args);
}

bool state_is_fresh() {
  const Settings fresh;
  const Settings& s = g_settings;
  const RunState& r = g_run;
  return g_args.empty() && g_archive.specs.count() == 0 && g_archive.loaded.count() == 0 &&
         g_archive.output.count() == 0 && s.packer == 0 && s.extractor == 0 && s.modifier == 0 &&
         s.add_mode == fresh.add_mode && s.compress == 1 && s.view == 0 &&
         s.archive_path.empty() && s.stub_path.empty() && s.report_path.empty() &&
         s.report_prefixes.empty() && s.match_key_hash == 0 && r.archive_fd == -1 &&
         r.output_fd == -1 && r.report_fd == -1 && r.report_created == 0 &&
         r.work_pending == 0 && r.read_only_run == 1 && g_archive.streams.copy.empty();
}

class DispatchTest : public vt::Scratch {};

TEST_F(DispatchTest, NoArgumentsEndsAtOnceWithSuccess) {
  EXPECT_EQ(run_main("vorn", {}), 0);
  char* none[] = {nullptr};
  EXPECT_EQ(vorn_main(0, none), 0);
  EXPECT_TRUE(vt::list_dir(".").empty());
}

TEST_F(DispatchTest, OnlyThePackerStartsOnAMissingArchive) {
  EXPECT_EQ(run_main("vornex", {"new.vrn"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(run_main("/opt/VORNALT16.EXE", {"new.vrn", "-c"}), EXIT_FAILURE_CODE);
  // The packer with nothing to do: success, and nothing is created.
  EXPECT_EQ(run_main("vorn", {"new.vrn"}), 0);
  EXPECT_EQ(run_main("VORN32.EXE", {"-c", "new.vrn", "+g", "-q", "-nologo"}), 0);
  // "-vorn" before the archive name makes the extractor's run a packer's.
  EXPECT_EQ(run_main("vornex", {"-vorn", "new.vrn"}), 0);
  // After the archive name the archive-name pass does not see it.
  vt::write_file("x.txt", "x");
  EXPECT_EQ(run_main("vornex", {"new.vrn", "-vorn", "x.txt"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(vt::list_dir("."), (Names{"x.txt"}));
}

TEST_F(DispatchTest, ARunNeedsAnArchiveName) {
  EXPECT_EQ(run_main("vorn", {"-c", "+g", "-vornex"}), EXIT_FAILURE_CODE);
  vt::write_file("empty-args.txt", "; nothing here\n");
  EXPECT_EQ(run_main("vorn", {"@empty-args.txt"}), EXIT_FAILURE_CODE);
}

TEST_F(DispatchTest, DuplicateFinderConflictsLeaveAnExistingReportAlone) {
  vt::write_file("notes.txt", "precious");
  vt::write_file("a.txt", "a");
  EXPECT_EQ(run_main("vorn", {"new.vrn", "-redund:notes.txt", "a.txt"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(run_main("vorn", {"new.vrn", "-redund:notes.txt", "-v"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(run_main("vorn", {"new.vrn", "-stub:", "-redund:\"notes.txt\""}), EXIT_FAILURE_CODE);
  EXPECT_EQ(vt::read_file("notes.txt"), "precious");
  // A report that cannot be created: failure, nothing deleted or created.
  EXPECT_EQ(run_main("vorn", {"new.vrn", "-redund:no-folder/r.txt"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(vt::list_dir("."), (Names{"a.txt", "notes.txt"}));
}

TEST_F(DispatchTest, ABadStubFailsBeforeTheTemporaryFileExists) {
  vt::write_file("plain.exe", "not an executable");
  vt::write_file("empty.exe", "");
  EXPECT_EQ(run_main("vorn", {"new.vrn", "-stub:plain.exe"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(run_main("vorn", {"new.vrn", "-stub:empty.exe"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(run_main("vorn", {"new.vrn", "-stub:missing.exe"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(vt::list_dir("."), (Names{"empty.exe", "plain.exe"}));
}

TEST_F(DispatchTest, EmitterEndsTheRunWithItsOutcome) {
  vt::write_file("in.txt", "some text to compress");
  EXPECT_EQ(run_main("vorn", {"+#in.txt"}), EXIT_FAILURE_CODE);  // no archive name
  EXPECT_FALSE(vt::file_exists("deflated"));
  EXPECT_EQ(run_main("vorn", {"+#missing.txt", "new.vrn"}), EXIT_FAILURE_CODE);
  EXPECT_FALSE(vt::file_exists("deflated"));
  // Options after "+#" are never reached.
  EXPECT_EQ(run_main("vorn", {"+#in.txt", "new.vrn", "-bogus"}), 0);
  EXPECT_EQ(vt::read_file("deflated").rfind("char deflatedStream[]={\n\t", 0), 0u);
  EXPECT_FALSE(vt::file_exists("new.vrn"));
}

// Runs vorn_main in a child process: its exit status (253 for -3), or -1 when
// the run has not ended within `seconds` (the child is then killed).
int run_main_with_deadline(const std::string& program, const std::vector<std::string>& args,
                           int seconds) {
  pid_t pid = fork();
  if (pid == 0) _exit(run_main(program, args) & 0xFF);
  for (int i = 0; i < seconds * 100; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

TEST_F(DispatchTest, NamedPipesFailTheRunInsteadOfHangingIt) {
  const std::string before = vt::build_archive({{"a.txt", "alpha", 0, 0x07}, {"b.txt", "alpha", 0, 0x07}});
  vt::write_file("arc.vrn", before);
  vt::write_file("x.txt", "x");
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  const std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
      {"vorn", {"arc.vrn", "pipe"}},                    // a file to store
      {"vorn", {"@pipe"}},                              // an argument file
      {"vorn", {"arc.vrn", "-stub:pipe", "x.txt"}},     // a stub
      {"vornex", {"pipe"}},                             // the archive itself
      {"vorn", {"arc.vrn", "-redund:pipe"}},            // the duplicate report
  };
  for (const auto& run : runs) {
    const std::string what = run.first + " " + run.second[0] + " " + run.second.back();
    EXPECT_EQ(run_main_with_deadline(run.first, run.second, 10), vt::FAIL) << what;
    EXPECT_EQ(vt::read_file("arc.vrn"), before) << what;
    EXPECT_EQ(vt::list_dir("."), (Names{"arc.vrn", "pipe", "x.txt"})) << what;
  }
}

TEST_F(DispatchTest, TheReportIsNeverATemporaryFile) {
  // A name of the temporary form is some run's unfinished work.
  const std::string before = vt::build_archive({{"a.txt", "same", 0, 0x07}, {"b.txt", "same", 0, 0x05}});
  vt::make_dir("sub");
  vt::write_file("sub/arc.vrn", before);
  vt::write_file("arc.vrn", before);
  EXPECT_EQ(run_main("vorn", {"arc.vrn", "-redund:vornab12cd34.tmp"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(run_main("vorn", {"sub\\arc.vrn", "-redund:sub/./VORNAB12CD34.TMP"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(vt::read_file("arc.vrn"), before);
  EXPECT_EQ(vt::read_file("sub/arc.vrn"), before);
  EXPECT_EQ(vt::list_dir("."), (Names{"arc.vrn", "sub"}));
  EXPECT_EQ(vt::list_dir("sub"), (Names{"arc.vrn"}));
}

TEST_F(DispatchTest, EveryRunLeavesAFreshState) {
  vt::write_file("notes.txt", "n");
  const std::vector<std::vector<std::string>> runs = {
      {"new.vrn", "-c", "-rfind:x", "-sKey", "-stub:s.exe", "-bogus"},
      {"new.vrn", "-redund:notes.txt", "-rfind:a", "x.txt"},
      {"-vornex", "new.vrn"},
      {"new.vrn", "-stub:missing.exe"},
  };
  for (const auto& args : runs) {
    run_main("vornalt", args);
    EXPECT_TRUE(state_is_fresh()) << args[0] << " " << args[1];
  }
}

TEST_F(DispatchTest, TerminateDeletesOnlyWhatThisRunCreated) {
  vt::write_file("report.txt", "r");
  vt::write_file("vorn1234.tmp", "partial");
  g_settings.archive_path = "arc.vrn";
  g_settings.report_path = "report.txt";
  g_run.report_fd = pf_open_rw("report.txt");
  ASSERT_GE(g_run.report_fd, 0);
  EXPECT_EQ(terminate(EXIT_FAILURE_CODE), EXIT_FAILURE_CODE);
  EXPECT_EQ(vt::read_file("report.txt"), "r");
  EXPECT_TRUE(vt::file_exists("vorn1234.tmp"));  // not this run's: output_fd was closed

  g_settings.archive_path = "arc.vrn";
  g_settings.report_path = "report.txt";
  g_run.report_created = 1;
  ASSERT_EQ(pf_remove("vorn1234.tmp"), 0);
  ASSERT_EQ(open_temp(), 0);
  ASSERT_GE(g_run.output_fd, 0);
  EXPECT_EQ(vt::temporaries().size(), 1u);
  EXPECT_EQ(terminate(0), 0);
  EXPECT_TRUE(vt::list_dir(".").empty());
  EXPECT_TRUE(state_is_fresh());
}

// The stub step, with the archive's descriptor swapped out for the copy.
class WriteStubTest : public DispatchTest {
 protected:
  void open_old_archive(const std::string& bytes, uint32_t data_start, bool with_entry) {
    vt::write_file("arc.vrn", bytes);
    g_settings.archive_path = "arc.vrn";
    g_run.archive_fd = pf_open_rw("arc.vrn");
    ASSERT_GE(g_run.archive_fd, 0);
    ASSERT_EQ(pf_seek(g_run.archive_fd, 7, PF_SEEK_SET), 7);  // anywhere
    g_run.archive_existed = 1;
    g_run.data_start = data_start;
    if (with_entry) {
      ASSERT_EQ(entry_table_add(g_archive.loaded, "e.txt", 0, 1, 0, 0x07, 0), 0);
    }
  }
  std::string temp_contents() {
    pf_close(g_run.output_fd);
    g_run.output_fd = -1;
    std::string bytes = vt::read_file(temp_archive_path());
    pf_remove(temp_archive_path().c_str());
    return bytes;
  }
};

TEST_F(WriteStubTest, StubFileIsCopiedWholeAndTheArchiveDescriptorPutBack) {
  std::string stub = "MZ" + std::string(40000, 's') + "end";
  vt::write_file("stub.exe", stub);
  open_old_archive("OLDSTUB-and-the-rest", 7, true);
  const int archive_fd = g_run.archive_fd;
  g_settings.stub_path = "stub.exe";
  ASSERT_EQ(write_stub(), 0);
  EXPECT_EQ(g_run.archive_fd, archive_fd);
  EXPECT_EQ(g_run.stub_length, stub.size());
  EXPECT_EQ(temp_contents(), stub);
  // The archive is still open and readable through its own descriptor.
  char c = 0;
  ASSERT_EQ(pf_seek(archive_fd, 0, PF_SEEK_SET), 0);
  EXPECT_EQ(pf_read(archive_fd, &c, 1), 1);
  EXPECT_EQ(c, 'O');
}

TEST_F(WriteStubTest, OldStubIsCarriedOverOnlyWhenTheArchiveHasEntries) {
  open_old_archive("MZOLDSTUB-rest-of-archive", 9, true);
  ASSERT_EQ(write_stub(), 0);
  EXPECT_EQ(g_run.stub_length, 9u);
  EXPECT_EQ(temp_contents(), "MZOLDSTUB");
  terminate(0);

  open_old_archive("MZOLDSTUB-rest-of-archive", 9, false);
  ASSERT_EQ(write_stub(), 0);
  EXPECT_EQ(g_run.stub_length, 0u);
  EXPECT_EQ(g_run.output_fd, -1);
  EXPECT_FALSE(vt::file_exists(temp_archive_path()));
}

TEST_F(WriteStubTest, FailuresLeaveNoTemporaryFileOrSwappedDescriptor) {
  open_old_archive("MZOLD", 2, true);
  const int archive_fd = g_run.archive_fd;
  vt::write_file("bad.exe", "ZM not a stub");
  g_settings.stub_path = "bad.exe";
  EXPECT_EQ(write_stub(), -1);
  EXPECT_FALSE(vt::file_exists(temp_archive_path()));
  vt::write_file("good.exe", "MZ good");
  g_settings.stub_path = "good.exe";
  pf_fault_arm(PF_FAULT_OPEN_CREATE, 1);
  EXPECT_EQ(write_stub(), -1);
  EXPECT_EQ(g_run.archive_fd, archive_fd);
  pf_fault_arm(PF_FAULT_WRITE, 1);
  EXPECT_EQ(write_stub(), -1);
  EXPECT_EQ(g_run.archive_fd, archive_fd);
  EXPECT_EQ(g_run.stub_length, 0u);
}

// Replacing the archive: the old one stays byte for byte until the rename.
class ReplaceArchiveTest : public DispatchTest {
 protected:
  void prepare(int archive_existed) {
    vt::write_file("arc.vrn", "OLD ARCHIVE");
    g_settings.archive_path = "arc.vrn";
    g_run.archive_existed = archive_existed;
    ASSERT_EQ(open_temp(), 0);
    ASSERT_GE(g_run.output_fd, 0);
    ASSERT_EQ(pf_write(g_run.output_fd, "NEW", 3), 3);
  }
};

TEST_F(ReplaceArchiveTest, SuccessRenamesTheSyncedTemporaryFile) {
  prepare(1);
  pf_fault_clear();
  ASSERT_EQ(replace_archive(), 0);
  EXPECT_EQ(g_run.output_fd, -1);
  EXPECT_EQ(vt::read_file("arc.vrn"), "NEW");
  EXPECT_EQ(vt::list_dir("."), (Names{"arc.vrn"}));
  EXPECT_EQ(pf_fault_calls(PF_FAULT_SYNC), 1);
}

TEST_F(ReplaceArchiveTest, FailedSyncOrRenameKeepsTheOldArchive) {
  for (PfFaultKind kind : {PF_FAULT_SYNC, PF_FAULT_RENAME, PF_FAULT_ATTRIBUTES}) {
    prepare(1);
    pf_fault_arm(kind, 1);
    EXPECT_EQ(replace_archive(), -1);
    EXPECT_EQ(g_run.output_fd, -1);
    EXPECT_EQ(vt::read_file("arc.vrn"), "OLD ARCHIVE");
    EXPECT_EQ(vt::list_dir("."), (Names{"arc.vrn"}));
    pf_fault_clear();
  }
}

TEST_F(ReplaceArchiveTest, AFileThatWasNeverLoadedIsNotReplaced) {
  prepare(0);
  EXPECT_EQ(replace_archive(), -1);
  EXPECT_EQ(vt::read_file("arc.vrn"), "OLD ARCHIVE");
  EXPECT_EQ(vt::list_dir("."), (Names{"arc.vrn"}));
}

}  // namespace
