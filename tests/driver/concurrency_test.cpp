// Runs started at once: on one archive (also while it does not exist yet),
// extracting into one folder, and editing message files in one folder.  Every
// run that succeeds leaves its work complete, nothing is corrupted and no
// temporary file is left.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/e2e.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

class Concurrency : public vt::Scratch {};

constexpr int kRuns = 4;
constexpr int kRounds = 20;

struct Job {
  std::string program;
  std::vector<std::string> args;
  std::string input;
  int status = -99;
  std::string err;  // what the run said on standard error (it runs with --verbose)
};

// Starts every job at once and waits for all of them.  Each runs with
// --verbose, and its standard error is kept: a failed run's reason (or the
// launcher's, when a run could not even start) reaches the test's message.
void run_together(std::vector<Job>& jobs) {
  std::vector<std::thread> threads;
  for (Job& j : jobs)
    threads.emplace_back([&j] {
      std::vector<std::string> args{"--verbose"};
      args.insert(args.end(), j.args.begin(), j.args.end());
      j.status = vt::run(j.program, args, j.input, nullptr, &j.err);
    });
  for (auto& t : threads) t.join();
}

const vt::Entry* find(const vt::Parsed& p, const std::string& name) {
  for (const auto& e : p.entries)
    if (e.name == name) return &e;
  return nullptr;
}

TEST_F(Concurrency, RunsOnOneArchiveAllLandAndTheArchiveAlwaysLoads) {
  const std::string base = vt::build_archive({{"base.bin", rt::noise(300000, 1), 0, 0x07},
                                              {"solo.bin", rt::noise(100000, 2), 0, 0x05}});
  for (int round = 0; round < kRounds; ++round) {
    // Every fourth round starts with neither archive present.
    const bool missing = round % 4 == 0;
    if (missing) {
      unlink("arc.vrn");
      unlink("two.vrn");
    } else {
      vt::write_file("arc.vrn", base);
      vt::write_file("two.vrn", base);
    }
    std::vector<Job> jobs;
    std::vector<std::string> contents;
    for (int i = 0; i < kRuns; ++i) {
      const std::string name = "c" + std::to_string(i) + ".txt";
      contents.push_back(rt::noise(20000 + 1000 * i, static_cast<unsigned>(round * 10 + i)));
      vt::write_file(name, contents.back());
      jobs.push_back({"vorn", {"arc.vrn", name}, "", -99, ""});
    }
    // A second archive in the same folder at the same time.
    jobs.push_back({"vorn", {"two.vrn", "c0.txt"}, "", -99, ""});
    jobs.push_back({"vorn", {"two.vrn", "-g", "c1.txt"}, "", -99, ""});
    run_together(jobs);

    vt::Parsed p;
    ASSERT_TRUE(vt::parse_archive(vt::read_file("arc.vrn"), &p)) << "round " << round << ": " << p.error;
    for (int i = 0; i < kRuns; ++i) {
      EXPECT_EQ(jobs[i].status, 0) << "round " << round << " run " << i << ": " << jobs[i].err;
      if (jobs[i].status != 0) continue;
      const vt::Entry* e = find(p, "c" + std::to_string(i) + ".txt");
      ASSERT_NE(e, nullptr) << "round " << round << " run " << i << " exited 0 but its file is missing";
      EXPECT_EQ(e->data, contents[i]) << "round " << round << " run " << i;
    }
    EXPECT_EQ(p.entries.size(), missing ? 4u : 6u) << "round " << round;
    vt::Parsed q;
    ASSERT_TRUE(vt::parse_archive(vt::read_file("two.vrn"), &q)) << "round " << round << ": " << q.error;
    EXPECT_EQ(jobs[kRuns].status, 0) << "round " << round << ": " << jobs[kRuns].err;
    EXPECT_EQ(jobs[kRuns + 1].status, 0) << "round " << round << ": " << jobs[kRuns + 1].err;
    EXPECT_NE(find(q, "c0.txt"), nullptr) << "round " << round;
    EXPECT_NE(find(q, "c1.txt"), nullptr) << "round " << round;
    EXPECT_TRUE(vt::temporaries().empty()) << "round " << round;
  }
}

TEST_F(Concurrency, ExtractionsIntoOneFolderWriteCompleteFiles) {
  std::vector<vt::Entry> entries;
  for (int i = 0; i < kRuns; ++i)
    entries.push_back({"e" + std::to_string(i) + ".bin", rt::noise(150000 + 3000 * i, 40 + i), 0,
                       static_cast<uint8_t>(i % 2 ? 0x07 : 0x05)});
  vt::write_file("arc.vrn", vt::build_archive(entries));
  vt::make_dir("out");
  ASSERT_EQ(chdir("out"), 0);
  for (int round = 0; round < kRounds; ++round) {
    // Odd rounds: every run extracts every entry over stale files of those
    // names ("a": replace all), racing the others; even rounds: one new
    // file each.
    for (int i = 0; i < kRuns; ++i) {
      unlink(entries[i].name.c_str());
      if (round % 2) vt::write_file(entries[i].name, "stale");
    }
    std::vector<Job> jobs;
    for (int i = 0; i < kRuns; ++i) {
      if (round % 2)
        jobs.push_back({"vornex", {"../arc.vrn", "*"}, "a", -99, ""});
      else
        jobs.push_back({"vornex", {"../arc.vrn", entries[i].name}, "", -99, ""});
    }
    run_together(jobs);
    for (int i = 0; i < kRuns; ++i) {
      EXPECT_EQ(jobs[i].status, 0) << "round " << round << " run " << i << ": " << jobs[i].err;
      EXPECT_TRUE(vt::read_file(entries[i].name) == entries[i].data)
          << "round " << round << ": " << entries[i].name << " incomplete or wrong";
    }
    EXPECT_TRUE(vt::temporaries().empty()) << "round " << round;
  }
  ASSERT_EQ(chdir(".."), 0);
}

TEST_F(Concurrency, MessageFileRunsInOneFolderKeepEachTable) {
  const std::string table = "static char *m[] = {\r\n\"a\\0\\\r\none\",\r\n\r\n(char*)0\r\n};\r\n";
  for (int i = 0; i < kRuns; ++i) {
    vt::write_file("edit" + std::to_string(i) + ".txt",
                   "\"set:label" + std::to_string(i) + "\\0text " + std::to_string(i) + "\"\r\n");
  }
  for (int round = 0; round < kRounds; ++round) {
    // Runs 0 and 1 edit m0.c, runs 2 and 3 edit m1.c.
    vt::write_file("m0.c", table);
    vt::write_file("m1.c", table);
    std::vector<Job> jobs;
    for (int i = 0; i < kRuns; ++i) {
      jobs.push_back({"vorn",
                      {"-mfile:m" + std::to_string(i / 2) + ".c", "-mmod:edit" + std::to_string(i) + ".txt"},
                      "",
                      -99, ""});
    }
    run_together(jobs);
    for (int i = 0; i < kRuns; ++i) {
      EXPECT_EQ(jobs[i].status, 0) << "round " << round << " run " << i << ": " << jobs[i].err;
      const std::string mine = vt::read_file("m" + std::to_string(i / 2) + ".c");
      const std::string other = vt::read_file("m" + std::to_string(1 - i / 2) + ".c");
      const std::string label = "label" + std::to_string(i);
      EXPECT_NE(mine.find(label), std::string::npos) << "round " << round << ": run " << i << " lost";
      EXPECT_EQ(other.find(label), std::string::npos) << "round " << round << ": run " << i << " leaked";
    }
    EXPECT_TRUE(vt::temporaries().empty()) << "round " << round;
  }
}

}  // namespace
