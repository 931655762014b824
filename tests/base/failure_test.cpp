// The failure reason and the progress counters of the ground floor.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/activity.h"
#include "base/failure.h"
#include "base/lock.h"
#include "driver/driver.h"
#include "platform/platform.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

class FailureTest : public vt::Scratch {};
class ProgressTest : public vt::Scratch {};
class ActivityTest : public vt::Scratch {};

TEST_F(FailureTest, TheFirstReasonStandsAndCarriesTheSystemText) {
  failure_clear();
  EXPECT_EQ(failure_text(), "");
  ASSERT_LT(pf_open_read("missing.txt"), 0);
  EXPECT_EQ(fail_system("cannot open", "missing.txt"), -1);
  // A caller that gives up after it does not replace its words.
  EXPECT_EQ(fail_note("cannot rewrite", "arc.vrn", ""), -1);
  failure_name_file("other.txt");
  EXPECT_EQ(failure_text(), "cannot open \"missing.txt\": No such file or directory");
  failure_clear();
  EXPECT_EQ(failure_last().recorded, 0);

  // A reason recorded without a file gets the one its caller knows.
  fail_note("damaged data", "", "(compressed data does not inflate)");
  failure_name_file("a.txt");
  failure_name_file("b.txt");
  EXPECT_EQ(failure_text(), "damaged data \"a.txt\" (compressed data does not inflate)");
  failure_clear();
  fail_note("no archive named", "", "");
  EXPECT_EQ(failure_text(), "no archive named");
  failure_clear();
}

// Another run holds the archive's lock past the wait (here this test holds
// it): the run says so under --verbose, and nothing without it.
TEST_F(FailureTest, ALockedArchiveSaysWhy) {
  const int saved = change_lock_wait_ms();
  set_change_lock_wait_ms(100);
  vt::write_file("arc.vrn", vt::build_archive({{"a.txt", "alpha", 0, 0x07}}));
  vt::write_file("b.txt", "bravo");
  const int held = change_lock_take("arc.vrn");
  ASSERT_GE(held, 0);
  auto run = [](std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    testing::internal::CaptureStderr();
    const int code = vorn_main(static_cast<int>(argv.size()), argv.data());
    return std::make_pair(code, testing::internal::GetCapturedStderr());
  };
  auto r = run({"vorn", "--verbose", "arc.vrn", "b.txt"});
  EXPECT_EQ(r.first, EXIT_FAILURE_CODE);
  EXPECT_EQ(r.second, "vorn: cannot lock the archive \"arc.vrn\" (another run is changing it)\n");
  r = run({"vorn", "arc.vrn", "b.txt"});
  EXPECT_EQ(r.first, EXIT_FAILURE_CODE);
  EXPECT_EQ(r.second, "");
  pf_close(held);
  r = run({"vorn", "--verbose", "arc.vrn", "b.txt"});
  EXPECT_EQ(r.first, 0);
  EXPECT_EQ(r.second, "added \"b.txt\"\n");
  set_change_lock_wait_ms(saved);
}

int g_draws = 0;
int g_hides = 0;
ProgressState g_last;
void count_draw(const ProgressState& p) {
  ++g_draws;
  g_last = p;
}
void count_hide() { ++g_hides; }

TEST_F(ProgressTest, DrawsAtOnceThenAtMostFiveTimesASecondAndHidesOnce) {
  ProgressSink sink;
  sink.draw = count_draw;
  sink.hide = count_hide;
  progress_set_sink(sink);
  g_draws = g_hides = 0;
  progress_begin(100);
  progress_entry("first");
  EXPECT_EQ(g_draws, 1);
  EXPECT_EQ(g_last.entry, "first");
  for (int i = 0; i < 10000; ++i) progress_bytes(1);
  EXPECT_EQ(g_draws, 1) << "redrawn without waiting";
  EXPECT_EQ(progress_state().done, 10000);
  // Hidden for a question: the next count draws again at once, with the
  // total never below what is done.
  progress_hide();
  EXPECT_EQ(g_hides, 1);
  progress_bytes(5);
  EXPECT_EQ(g_draws, 2);
  EXPECT_EQ(g_last.total, 10005);
  progress_end();
  progress_end();
  EXPECT_EQ(g_hides, 2) << "the line is taken off once";
  progress_bytes(5);
  EXPECT_EQ(g_draws, 2) << "nothing after the end";
  progress_set_sink(ProgressSink());
}

TEST_F(ActivityTest, ReportsAreKeptOnlyWhileSwitchedOn) {
  activity_enable_reports(0);
  activity_report("added", "a.txt");
  EXPECT_TRUE(activity_reports().empty());
  activity_enable_reports(1);
  activity_report("skipped", "b.txt", "key does not match");
  ASSERT_EQ(activity_reports().size(), 1u);
  EXPECT_EQ(activity_line(activity_reports()[0]), "skipped \"b.txt\": key does not match");
  activity_enable_reports(0);
  EXPECT_TRUE(activity_reports().empty());
}

}  // namespace
