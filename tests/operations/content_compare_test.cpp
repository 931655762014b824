// Confirming equal contents: the forward sweeps that check many pairs at once
// give the same answers as comparing the bytes, whatever the memory they may
// keep, and with standalone partners and entries too large to keep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/entry_table.h"
#include "archive/load.h"
#include "archive/streams.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "driver/driver.h"
#include "operations/content_compare.h"
#include "platform/platform.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

using vt::release_state;

std::string noise(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    s[i] = static_cast<char>(seed >> 24);
  }
  return s;
}

class CompareTest : public vt::Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    const std::string a = noise(1000, 1), b = noise(1000, 2), c = noise(5000, 3),
                      d = noise(1000, 4);
    std::string a_changed = a;
    a_changed[999] ^= 1;
    entries_ = {
        {"st0", a, 0, 0x05},  {"st1", d, 0, 0x04},  // standalone: compressed, stored
        {"a1", a, 0, 0x07},   {"b1", b, 0, 0x07},  {"c1", c, 0, 0x07},
        {"b2", b, 0, 0x07},   {"d1", d, 0, 0x07},  {"a2", a, 0, 0x07},
        {"c2", c, 0, 0x07},   {"b3", b, 0, 0x07},  {"x", a_changed, 0, 0x07},
    };
    vt::write_file("t.vrn", vt::build_archive(entries_));
    g_run.archive_fd = pf_open_rw("t.vrn");
    ASSERT_GE(g_run.archive_fd, 0);
    ASSERT_EQ(load_directory(), 0);
    ASSERT_EQ(g_archive.loaded.count(), 11);
    // Pairs: later entry <- earlier entry, each earlier entry used once.
    prev_.assign(11, -1);
    prev_[2] = 0;   // in-directory vs standalone compressed
    prev_[6] = 1;   // in-directory vs standalone stored
    prev_[5] = 3;
    prev_[7] = 2;
    prev_[8] = 4;   // larger than a small budget
    prev_[9] = 5;
    prev_[10] = 7;  // differs in the last byte only
  }

  std::vector<signed char> expected() const {
    std::vector<signed char> e(11, -1);
    for (size_t j = 0; j < 11; ++j)
      if (prev_[j] >= 0) e[j] = entries_[static_cast<size_t>(prev_[j])].data == entries_[j].data;
    return e;
  }

  std::vector<vt::Entry> entries_;
  std::vector<int> prev_;
  unsigned char left_[4096], right_[4096];
};

TEST_F(CompareTest, SweepsAgreeWithTheBytesWhateverTheBudget) {
  struct Budget {
    uint64_t bytes;
    int sweeps;
  };
  // Room for every kept entry; room for one at a time (a second sweep); and
  // a budget too small for any entry (only the pairs with a standalone
  // partner are left to the sweep, the others compared directly).
  for (const Budget& b : {Budget{1 << 20, 1}, Budget{1500, 2}, Budget{500, 1}}) {
    EntryComparer c;
    ASSERT_EQ(comparer_init(c, left_, right_, 300), 0);
    c.keep_budget = b.bytes;
    std::vector<signed char> same;
    ASSERT_EQ(comparer_check_pairs(c, prev_, &same), 0) << b.bytes;
    EXPECT_EQ(same, expected()) << b.bytes;
    EXPECT_EQ(c.sweeps, b.sweeps) << b.bytes;
  }
}

TEST_F(CompareTest, SinglePairsInAnyOrder) {
  EntryComparer c;
  ASSERT_EQ(comparer_init(c, left_, right_, 256), 0);
  // Backwards and forwards through the stream, so cursors must restart; the
  // answer each pair must get comes from the entries' own bytes.
  const int pairs[][2] = {{9, 3}, {10, 2}, {0, 7}, {4, 8}, {1, 6},
                          {2, 3}, {8, 4}, {7, 10}, {5, 9}, {6, 1}};
  for (const auto& p : pairs) {
    const bool same = entries_[static_cast<size_t>(p[0])].data == entries_[static_cast<size_t>(p[1])].data;
    int equal = -1;
    EXPECT_EQ(comparer_equal(c, p[0], p[1], &equal), 0) << p[0] << "," << p[1];
    EXPECT_EQ(equal, same ? 1 : 0) << p[0] << "," << p[1];
  }
  int equal = -1;
  EXPECT_EQ(comparer_equal(c, 2, 4, &equal), 0);
  EXPECT_EQ(equal, 0);  // sizes differ
}

TEST_F(CompareTest, UnreadableDataIsAFailureNotADifference) {
  // Cut the archive short after loading: the data can no longer be read.
  release_state();
  std::string bytes = vt::build_archive(entries_);
  vt::write_file("t.vrn", bytes);
  g_run.archive_fd = pf_open_rw("t.vrn");
  ASSERT_EQ(load_directory(), 0);
  vt::write_file("t.vrn", bytes.substr(0, bytes.size() / 2));
  EntryComparer c;
  ASSERT_EQ(comparer_init(c, left_, right_, 300), 0);
  int equal = -1;
  EXPECT_EQ(comparer_equal(c, 7, 2, &equal), -1);
  EXPECT_EQ(equal, -1);  // untouched on failure
  std::vector<signed char> same;
  EXPECT_EQ(comparer_check_pairs(c, prev_, &same), -1);
}

}  // namespace
