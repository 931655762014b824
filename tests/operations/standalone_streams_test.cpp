// Compressed standalone entries written one after another: every entry is its
// own zlib stream, back to back in the data area, whatever the thread count.
// Each archive is read with the tests' own parser and each stream is checked
// against zlib directly: an entry shorter than the smallest block is exactly
// zlib's single-stream level-9 output, and every record's offset is where its
// stream lies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/failure.h"
#include "support/e2e.h"
#include "support/scratch.h"

using namespace rt;
using vt::FAIL;

namespace {

class StandaloneStreams : public vt::Scratch {};

constexpr size_t kSmallestBlock = 64 * 1024;  // streams up to this long are one block

// Text that compresses well, so that blocks differ in compressed size.
std::string text(size_t n, unsigned seed) {
  std::string s;
  for (unsigned i = 0; s.size() < n; ++i)
    s += "entry " + std::to_string((i * 2654435761u + seed) % 9973) + " of seed " +
         std::to_string(seed) + "\n";
  s.resize(n);
  return s;
}

// Sizes around the block bounds and plenty of tiny files, so that many
// streams share the compressor's slots at once.
std::vector<std::pair<std::string, std::string>> make_files() {
  std::vector<std::pair<std::string, std::string>> files;
  const size_t sizes[] = {0,      1,          100,        5000,          kSmallestBlock - 1,
                          kSmallestBlock, kSmallestBlock + 1, 300000, 700000};
  unsigned seed = 1;
  for (size_t n : sizes) {
    files.push_back({"f" + std::to_string(seed) + ".txt", text(n, seed)});
    ++seed;
  }
  for (int i = 0; i < 40; ++i, ++seed)
    files.push_back({"t" + std::to_string(seed) + ".txt", text(50 + 97 * i, seed)});
  files.push_back({"z.bin", noise(260000, 7)});  // stored blocks inside the stream
  return files;
}

// Checks every compressed standalone entry of the parsed archive: its stream
// starts at its record's offset, inflates to its data, and, when the data is
// below the smallest block, is zlib's own level-9 output.  Returns the
// offset right after the last such stream.
uint32_t check_streams(const std::string& bytes, const vt::Parsed& p) {
  uint32_t end = p.data_start;
  for (size_t i = 0; i < p.entries.size(); ++i) {
    const vt::Entry& e = p.entries[i];
    if ((e.flags & 0x03) != 0x01) continue;  // compressed, standalone
    const uint32_t at = p.offsets[i];
    EXPECT_LE(at, bytes.size()) << e.name;
    if (at > bytes.size()) return end;
    std::string out;
    size_t used = 0;
    EXPECT_TRUE(vt::zinflate(bytes.substr(at), &out, &used)) << e.name;
    EXPECT_TRUE(out == e.data) << e.name;
    if (e.data.size() <= kSmallestBlock) {
      EXPECT_TRUE(bytes.substr(at, used) == vt::zcompress(e.data)) << e.name;
    }
    end = at + static_cast<uint32_t>(used);
  }
  return end;
}

TEST_F(StandaloneStreams, ManyEntriesLieBackToBackWhateverTheThreadCount) {
  const auto files = make_files();
  std::vector<std::string> names;
  for (const auto& f : files) {
    vt::write_file(f.first, f.second);
    names.push_back(f.first);
  }
  std::string first;
  for (const char* threads : {"1", "2", "3", "8"}) {
    std::vector<std::string> args = {"arc.vrn", "--threads", threads, "-g"};
    args.insert(args.end(), names.begin(), names.end());
    ASSERT_EQ(vt::vorn(args), 0) << threads;
    const std::string bytes = vt::read_file("arc.vrn");
    if (first.empty()) {
      first = bytes;
      vt::Parsed p = parse("arc.vrn");
      ASSERT_EQ(p.entries.size(), files.size());
      uint32_t expected = 0;  // no stub: the first stream opens the file
      for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(p.entries[i].name, files[i].first);
        EXPECT_TRUE(p.entries[i].data == files[i].second) << files[i].first;
        EXPECT_EQ(p.entries[i].flags, SC) << files[i].first;
        // Each stream begins where the one before it ended.
        EXPECT_EQ(p.offsets[i], expected) << files[i].first;
        size_t used = 0;
        std::string out;
        ASSERT_TRUE(vt::zinflate(bytes.substr(p.offsets[i]), &out, &used));
        expected = p.offsets[i] + static_cast<uint32_t>(used);
      }
      EXPECT_EQ(check_streams(bytes, p), p.dir_offset);
    } else {
      EXPECT_TRUE(bytes == first) << "--threads " << threads << " gives other bytes";
    }
    ASSERT_EQ(std::remove("arc.vrn"), 0);
  }
  EXPECT_TRUE(vt::temporaries().empty());
}

// Compressed and stored standalone entries, in-directory ones, deletions and
// re-stores in one command line: stored writes and the carried-over entries
// fall between queued streams.
TEST_F(StandaloneStreams, MixedCommandLinesKeepEveryOffsetRight) {
  const std::string old_big = text(200000, 90);
  const std::string old_stored = text(3000, 91);
  const std::string old_archive = vt::build_archive(
      {entry("old1", old_big, SC), entry("old2", old_stored, SS), entry("old3", "three", SC),
       entry("in1", text(4000, 92), DC), entry("in2", text(80000, 93), DC)},
      "");
  const auto files = make_files();
  for (const auto& f : files) vt::write_file(f.first, f.second);

  std::string first;
  for (const char* threads : {"1", "3", "8"}) {
    vt::write_file("arc.vrn", old_archive);
    // Compressed, stored, compressed again, in the directory; one deletion.
    ASSERT_EQ(vt::vorn({"arc.vrn", "--threads", threads, "-g", "f1.txt", "f6.txt", "f7.txt",
                        "-c", "f4.txt", "+c", "f8.txt", "t1*", "+g", "t2*", "-d", "old3"}),
              0)
        << threads;
    // Re-stores: stored to compressed, compressed to stored, in-directory
    // entry moved out compressed, and then more files queued behind them.
    ASSERT_EQ(vt::run("vornalt", {"arc.vrn", "--threads", threads, "-g", "+c", "old2", "-c",
                                  "old1", "+c", "in2"}),
              0)
        << threads;
    ASSERT_EQ(vt::vorn({"arc.vrn", "--threads", threads, "-g", "f9.txt", "z.bin", "t3*"}), 0)
        << threads;
    const std::string bytes = vt::read_file("arc.vrn");
    if (first.empty()) {
      first = bytes;
      vt::Parsed p = parse("arc.vrn");
      expect_entry(p, "old1", old_big, SS);
      expect_entry(p, "old2", old_stored, SC);
      expect_entry(p, "in2", text(80000, 93), SC);
      expect_entry(p, "in1", text(4000, 92), DC);
      EXPECT_EQ(find(p, "old3"), nullptr);
      for (const auto& f : files) {
        const char c = f.first[0];
        const char d = f.first.size() > 1 ? f.first[1] : 0;
        const bool added = f.first == "f1.txt" || f.first == "f4.txt" ||
                           f.first == "f6.txt" || f.first == "f7.txt" ||
                           f.first == "f8.txt" || f.first == "f9.txt" ||
                           f.first == "z.bin" || (c == 't' && (d == '1' || d == '2' || d == '3'));
        const vt::Entry* e = find(p, f.first);
        EXPECT_EQ(e != nullptr, added) << f.first;
        if (e) {
          EXPECT_TRUE(e->data == f.second) << f.first;
        }
      }
      expect_entry(p, "f4.txt", files[3].second, SS);
      expect_entry(p, "t20.txt", text(50 + 97 * 10, 20), DC);
      // Standalone data fills the data area without gaps or overlaps.
      std::vector<std::pair<uint32_t, uint32_t>> spans;
      for (size_t i = 0; i < p.entries.size(); ++i) {
        const vt::Entry& e = p.entries[i];
        if (e.flags & 0x02) continue;
        uint32_t length = static_cast<uint32_t>(e.data.size());
        if (e.flags & 0x01) {
          std::string out;
          size_t used = 0;
          ASSERT_TRUE(vt::zinflate(bytes.substr(p.offsets[i]), &out, &used)) << e.name;
          length = static_cast<uint32_t>(used);
        }
        spans.push_back({p.offsets[i], length});
      }
      std::sort(spans.begin(), spans.end());
      uint32_t at = p.data_start;
      for (const auto& s : spans) {
        EXPECT_EQ(s.first, at);
        at = s.first + s.second;
      }
      EXPECT_EQ(at, p.dir_offset);
      check_streams(bytes, p);
    } else {
      EXPECT_TRUE(bytes == first) << "--threads " << threads << " gives other bytes";
    }
  }
  EXPECT_TRUE(vt::temporaries().empty());
}

// A write that fails while streams are queued, at any point of the run,
// leaves the archive as it was and no temporary file.
TEST_F(StandaloneStreams, AFailedWriteOfAQueuedStreamLeavesTheArchiveAsItWas) {
  const std::string old_archive =
      vt::build_archive({entry("old", text(70000, 80), SC), entry("in", "x", DC)}, "");
  vt::write_file("arc.vrn", old_archive);
  std::vector<std::string> args = {"vorn", "arc.vrn", "--threads", "2", "-g"};
  for (int i = 0; i < 12; ++i) {
    const std::string name = "q" + std::to_string(i) + ".txt";
    vt::write_file(name, text(i == 5 ? 200000 : 300 + 1000 * i, 60 + i));
    args.push_back(name);
  }
  pf_fault_clear();
  ASSERT_EQ(vt::run_in_process(args), 0);
  const int writes = pf_fault_calls(PF_FAULT_WRITE);
  const int short_writes = pf_fault_calls(PF_FAULT_SHORT_WRITE);
  pf_fault_clear();
  const std::string done = vt::read_file("arc.vrn");
  ASSERT_NE(done, old_archive);
  ASSERT_GT(writes, 3);
  for (PfFaultKind kind : {PF_FAULT_WRITE, PF_FAULT_SHORT_WRITE}) {
    const int calls = kind == PF_FAULT_WRITE ? writes : short_writes;
    for (int n = 1; n <= calls; ++n) {
      vt::write_file("arc.vrn", old_archive);
      pf_fault_arm(kind, n);
      const int rc = vt::run_in_process(args);
      pf_fault_clear();
      EXPECT_EQ(rc, EXIT_FAILURE_CODE) << "write " << n;
      EXPECT_TRUE(vt::read_file("arc.vrn") == old_archive) << "write " << n;
      EXPECT_TRUE(vt::temporaries().empty()) << "write " << n;
      // No file changed: the reason is the write, not the file being stored.
      EXPECT_NE(failure_last().what, "file changed while it was stored") << "write " << n;
    }
  }
  // And the same run without a fault still gives the same archive.
  vt::write_file("arc.vrn", old_archive);
  ASSERT_EQ(vt::run_in_process(args), 0);
  EXPECT_TRUE(vt::read_file("arc.vrn") == done);
}

}  // namespace
