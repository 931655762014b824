// Failures that must not look like success, run in this process: memory
// running out in file collection, extracted files that cannot be flushed,
// and a run that waits too long for another to let go of the archive.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "base/lock.h"
#include "archive/entry_table.h"
#include "driver/driver.h"

#include "platform/platform.h"
#include "support/e2e.h"
#include "support/scratch.h"

using namespace rt;

// Allocation failure on demand: the next allocation of exactly this many
// bytes throws, as it would with memory exhausted.  Every form of the
// allocation functions is replaced, so that allocation and release always
// pair up (the sanitizer checks that).
static size_t g_fail_size = 0;

void* operator new(size_t n) {
  if (g_fail_size != 0 && n == g_fail_size) {
    g_fail_size = 0;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

// Plain tests with a folder of their own rather than a vt::Scratch fixture:
// a fixture whose constructor may throw makes the compiler pair the
// replaced operator new above with a release on the throwing path, which it
// then reports as a mismatch.
using vt::run_in_process;

TEST(Durability, MemoryRunningOutInCollectionFailsTheRun) {
  vt::ScratchDir dir;
  vt::write_file("a.txt", "a");
  g_fail_size = sizeof(FileSpec);
  EXPECT_EQ(run_in_process({"vorn", "arc.vrn", "a.txt"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(g_fail_size, 0u) << "the spec was never allocated";
  g_fail_size = 0;
  EXPECT_FALSE(vt::file_exists("arc.vrn"));
  EXPECT_TRUE(vt::temporaries().empty());
  ASSERT_EQ(run_in_process({"vorn", "arc.vrn", "a.txt"}), 0);
  EXPECT_EQ(names(parse("arc.vrn")), std::vector<std::string>{"a.txt"});
}

TEST(Durability, ExtractedFilesAreFlushedBeforeTheyAreInPlace) {
  vt::ScratchDir dir;
  vt::write_file("arc.vrn", vt::build_archive({entry("d.txt", "in directory", DC),
                                               entry("s.txt", "standalone", SC)}));
  // Extracted files are flushed together, in one pass over all of them.
  for (const char* name : {"d.txt", "s.txt"}) {
    pf_fault_clear();
    pf_fault_arm(PF_FAULT_SYNC_FILES, 1);
    EXPECT_EQ(run_in_process({"vornex", "arc.vrn", name}), EXIT_FAILURE_CODE) << name;
    EXPECT_EQ(pf_fault_calls(PF_FAULT_SYNC_FILES), 1) << name;
    pf_fault_clear();
    EXPECT_FALSE(vt::file_exists(name)) << name;
    EXPECT_TRUE(vt::temporaries().empty()) << name;
    ASSERT_EQ(run_in_process({"vornex", "arc.vrn", name}), 0) << name;
    EXPECT_GE(pf_fault_calls(PF_FAULT_SYNC_FILES), 1) << name;
  }
  EXPECT_EQ(vt::read_file("d.txt"), "in directory");
  EXPECT_EQ(vt::read_file("s.txt"), "standalone");
}

// Another run holds the lock (here: this test) past the bound: the run ends
// with -3 and changes nothing, for an existing archive, a missing one and a
// message file.
TEST(Durability, ARunThatWaitsPastTheBoundChangesNothing) {
  vt::ScratchDir dir;
  const int saved = change_lock_wait_ms();
  set_change_lock_wait_ms(200);
  vt::write_file("a.txt", "a");
  const std::string before = vt::build_archive({entry("old", "old", DC)});
  vt::write_file("arc.vrn", before);
  int held = change_lock_take("arc.vrn");
  ASSERT_GE(held, 0);
  EXPECT_EQ(run_in_process({"vorn", "arc.vrn", "a.txt"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(vt::read_file("arc.vrn"), before);
  pf_close(held);

  held = change_lock_take("new.vrn");
  ASSERT_GE(held, 0);
  EXPECT_EQ(run_in_process({"vorn", "new.vrn", "a.txt"}), EXIT_FAILURE_CODE);
  EXPECT_FALSE(vt::file_exists("new.vrn"));
  pf_close(held);

  const std::string table = "static char *m[] = {\r\n\"a\\0\\\r\none\",\r\n\r\n(char*)0\r\n};\r\n";
  vt::write_file("msgs.c", table);
  vt::write_file("edit.txt", "\"set:b\\0two\"\r\n");
  held = change_lock_take("msgs.c");
  ASSERT_GE(held, 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_in_process({"vorn", "-mfile:msgs.c", "-mmod:edit.txt"}), EXIT_FAILURE_CODE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "message file msgs.c is in use\n");
  EXPECT_EQ(vt::read_file("msgs.c"), table);
  pf_close(held);
  EXPECT_TRUE(vt::temporaries().empty());

  // Let go: the same runs go through.
  EXPECT_EQ(run_in_process({"vorn", "arc.vrn", "a.txt"}), 0);
  EXPECT_EQ(run_in_process({"vorn", "new.vrn", "a.txt"}), 0);
  EXPECT_EQ(run_in_process({"vorn", "-mfile:msgs.c", "-mmod:edit.txt"}), 0);
  set_change_lock_wait_ms(saved);
}

}  // namespace
