// The forward walk over the in-directory data: entries read in pieces or
// passed by, the pending skip, the end check, and streams that say more or
// less than their records.
#include <algorithm>
#include <string>
#include <vector>

#include "archive/indir_walk.h"
#include "support/container_fixture.h"

using ct::archive_with;
using ct::record;

namespace {

// Bytes that deflate cannot shrink, so that cutting the compressed stream
// cuts the data and not the records.
std::string noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

class IndirWalkTest : public ct::ContainerTest {
 protected:
  // A standalone entry first, then four in-directory entries (indices 1-4);
  // the first in-directory one has a long name, the third is empty.
  void SetUp() override {
    ct::ContainerTest::SetUp();
    data_ = {"first in-directory data", noise(70000, 7), "", "last"};
    std::vector<vt::Entry> entries = {{"standalone", "packed on its own", 0, 0x01}};
    const std::string names[] = {std::string(200, 'L'), "b", "empty", "d"};
    for (size_t k = 0; k < data_.size(); ++k) entries.push_back({names[k], data_[k], 0, 0x07});
    ASSERT_EQ(load(vt::build_archive(entries)), 0);
  }

  // Reads the rest of the current entry in pieces of `piece` bytes.
  static std::string read_rest(IndirWalk& w, uint32_t piece) {
    std::string out;
    std::vector<char> buf(piece);
    while (indir_left(w) > 0) {
      const uint32_t n = indir_left(w) < piece ? indir_left(w) : piece;
      if (indir_read(w, buf.data(), n) != 0) return out + "<failed>";
      out.append(buf.data(), n);
    }
    return out;
  }

  std::vector<std::string> data_;
};

TEST_F(IndirWalkTest, EverySelectionReadsItsEntriesAndEndsCleanly) {
  // Every subset of the four entries: skips at the start, in the middle, at
  // the end, and runs of them, each read in odd-sized pieces.
  for (unsigned mask = 0; mask < 16; ++mask) {
    IndirWalk w;
    indir_open(w);
    for (size_t k = 0; k < data_.size(); ++k) {
      ASSERT_EQ(indir_next(w), static_cast<int>(k) + 1) << mask;
      if (mask & (1u << k)) {
        EXPECT_EQ(read_rest(w, 4093), data_[k]) << mask << " entry " << k;
      }
    }
    EXPECT_EQ(indir_next(w), -1);
    EXPECT_EQ(indir_finish(w), 0) << mask;
    EXPECT_EQ(indir_finish(w), 0) << "finishing again keeps the result";
  }
}

TEST_F(IndirWalkTest, PartlyReadEntriesGotoAndRefusedRequests) {
  IndirWalk w;
  indir_open(w);
  ASSERT_EQ(indir_goto(w, 2), 0);
  char buf[8];
  ASSERT_EQ(indir_read(w, buf, 5), 0);
  EXPECT_EQ(std::string(buf, 5), data_[1].substr(0, 5));
  EXPECT_EQ(indir_goto(w, 2), 0);  // the current entry again: its position stays
  ASSERT_EQ(indir_read(w, buf, 3), 0);
  EXPECT_EQ(std::string(buf, 3), data_[1].substr(5, 3));
  EXPECT_EQ(indir_goto(w, 1), -1);  // behind the walk
  EXPECT_EQ(indir_goto(w, 0), -1);  // a standalone entry
  EXPECT_EQ(indir_goto(w, 5), -1);  // out of range
  ASSERT_EQ(indir_goto(w, 4), 0);   // the rest of entry 2 and entry 3 passed by
  char more[5];
  EXPECT_EQ(indir_read(w, more, 5), -1) << "never more than the entry's size";
  ASSERT_EQ(indir_read(w, more, 4), 0);  // the refused read took nothing
  EXPECT_EQ(std::string(more, 4), "last");
  EXPECT_EQ(indir_read(w, more, 1), -1);
  EXPECT_EQ(indir_finish(w), 0);
}

TEST_F(IndirWalkTest, ASharedStreamTakenByAnotherReaderIsStartedAgain) {
  IndirWalk w;
  indir_open(w);
  ASSERT_EQ(indir_goto(w, 2), 0);
  char buf[100];
  ASSERT_EQ(indir_read(w, buf, 100), 0);
  // A compressed standalone entry is read in the middle of the walk.
  ASSERT_EQ(inflate_open(g_run.archive_fd, loaded(0).offset), 0);
  ASSERT_EQ(inflate_read(buf, 17), 17u);
  ASSERT_EQ(std::string(buf, 17), "packed on its own");
  EXPECT_EQ(read_rest(w, 30000), data_[1].substr(100));
  EXPECT_EQ(indir_finish(w), 0);
}

// The walk over the test's own inflated copy of the directory stream.
struct MemorySource {
  std::string bytes;
  size_t at = 0;
  static int read(void* context, unsigned char* dst, uint32_t n) {
    MemorySource& m = *static_cast<MemorySource*>(context);
    if (m.bytes.size() - m.at < n) return -1;
    std::copy(m.bytes.begin() + static_cast<long>(m.at), m.bytes.begin() + static_cast<long>(m.at + n), dst);
    m.at += n;
    return 0;
  }
  static int check_end(void* context) {
    MemorySource& m = *static_cast<MemorySource*>(context);
    return m.at == m.bytes.size() ? 0 : -1;
  }
};

TEST_F(IndirWalkTest, ACallersSourceIsWalkedFromTheFrontOfTheStream) {
  const std::string file = vt::read_file("t.vrn");
  MemorySource m;
  ASSERT_TRUE(vt::zinflate(file.substr(g_run.directory_offset), &m.bytes));
  unsigned char scratch[1000];
  IndirSource source;
  source.read = MemorySource::read;
  source.context = &m;
  source.scratch = scratch;
  source.scratch_size = sizeof scratch;
  IndirWalk w;
  indir_open_source(w, source);
  ASSERT_EQ(indir_goto(w, 4), 0);
  EXPECT_EQ(read_rest(w, 3), "last");
  EXPECT_EQ(indir_finish(w), -1) << "no end check given";
  m.at = 0;
  source.check_end = MemorySource::check_end;
  indir_open_source(w, source);
  ASSERT_EQ(indir_goto(w, 2), 0);
  EXPECT_EQ(read_rest(w, 999), data_[1]);
  EXPECT_EQ(indir_finish(w), 0);
}

class IndirWalkDamage : public ct::ContainerTest {};

TEST_F(IndirWalkDamage, StreamsThatSayMoreOrLessThanTheirRecordsAreRefused) {
  const std::string content = vt::u32le(2) + record("a", 0, 3, 0, 0x07) +
                              record("b", 3, 5000, 0, 0x07) + "abc" + noise(5000, 3);
  IndirWalk w;
  // Bytes behind the last entry: every entry reads as recorded, the end
  // check refuses the rest.
  ASSERT_EQ(load(archive_with("", content + "trailing")), 0);
  indir_open(w);
  ASSERT_EQ(indir_goto(w, 1), 0);
  std::vector<char> all(5001);
  ASSERT_EQ(indir_read(w, all.data(), 5000), 0);
  EXPECT_EQ(std::string(all.data(), 5000), noise(5000, 3));
  EXPECT_EQ(indir_read(w, all.data(), 1), -1) << "never more than the records say";
  EXPECT_EQ(indir_finish(w), -1);
  vt::release_state();

  // A damaged Adler-32.
  std::string packed = vt::zcompress(content);
  packed[packed.size() - 1] ^= 0x01;
  ASSERT_EQ(load(packed + ct::trailer(0)), 0);
  indir_open(w);
  ASSERT_EQ(indir_goto(w, 1), 0);
  EXPECT_EQ(indir_read(w, all.data(), 5000), 0) << "the data itself inflates";
  EXPECT_EQ(indir_finish(w), -1);
  vt::release_state();

  // A stream cut short inside the data: the read fails, and so does every
  // call after it.
  const std::string whole = vt::zcompress(content);
  ASSERT_EQ(load(whole.substr(0, whole.size() - 100) + ct::trailer(0)), 0);
  indir_open(w);
  ASSERT_EQ(indir_next(w), 0);
  ASSERT_EQ(indir_next(w), 1);
  EXPECT_EQ(indir_read(w, all.data(), 5000), -1);
  EXPECT_EQ(indir_finish(w), -1);
}

}  // namespace
