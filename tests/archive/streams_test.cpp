// The read and write streams, the copy routines and the skipper.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/container_fixture.h"

namespace {

class Streams : public ct::ContainerTest {
 protected:
  static std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
  }
  static std::string text_bytes(size_t n) {
    std::string s;
    for (size_t i = 0; s.size() < n; ++i) s += "line " + std::to_string(i * 7919 % 1000) + "\n";
    s.resize(n);
    return s;
  }
  int open_file(const std::string& path, const std::string& bytes) {
    vt::write_file(path, bytes);
    return pf_open_rw(path.c_str());
  }
  // Opens a fresh output file as the run's output.
  void open_output() {
    g_run.output_fd = pf_open_create("out.bin");
    ASSERT_GE(g_run.output_fd, 0);
  }
};

TEST_F(Streams, InflateReadReturnsAllOrNothing) {
  std::string data = text_bytes(5000);
  std::string front = "front matter";
  int fd = open_file("s.bin", front + vt::zcompress(data) + "tail");
  ASSERT_GE(fd, 0);
  g_run.archive_fd = fd;

  // Exactly the length, in one call, although the stream ends in that call.
  ASSERT_EQ(inflate_open(fd, static_cast<int64_t>(front.size())), 0);
  std::string got(data.size(), '\0');
  EXPECT_EQ(inflate_read(&got[0], static_cast<uint32_t>(got.size())), data.size());
  EXPECT_EQ(got, data);
  EXPECT_EQ(inflate_check_end(), 0);
  char one;
  EXPECT_EQ(inflate_read(&one, 1), 0u);

  // One byte more than the stream holds gives 0, not a partial count.
  ASSERT_EQ(inflate_open(fd, static_cast<int64_t>(front.size())), 0);
  std::string more(data.size() + 1, '\0');
  EXPECT_EQ(inflate_read(&more[0], static_cast<uint32_t>(more.size())), 0u);

  // Pieces of odd sizes give the same bytes; the end is seen only at the end.
  ASSERT_EQ(inflate_open(fd, static_cast<int64_t>(front.size())), 0);
  std::string pieces;
  size_t step = 1;
  while (pieces.size() < data.size()) {
    size_t n = std::min(step, data.size() - pieces.size());
    std::string buf(n, '\0');
    ASSERT_EQ(inflate_read(&buf[0], static_cast<uint32_t>(n)), n);
    pieces += buf;
    if (pieces.size() < data.size()) {
      EXPECT_EQ(inflate_check_end(), -1);
    }
    step = step * 3 + 1;
    if (pieces.size() < data.size()) {
      // A check that fails must not have eaten data: restart from here.
      ASSERT_EQ(inflate_open(fd, static_cast<int64_t>(front.size())), 0);
      std::string again(pieces.size(), '\0');
      ASSERT_EQ(inflate_read(&again[0], static_cast<uint32_t>(again.size())), again.size());
    }
  }
  EXPECT_EQ(pieces, data);
  EXPECT_EQ(inflate_close(), 0);
}

TEST_F(Streams, LongStreamsCrossInputBuffers) {
  std::string data = random_bytes(300000, 3);  // stored blocks: input spans several buffers
  int fd = open_file("s.bin", vt::zcompress(data));
  ASSERT_GE(fd, 0);
  ASSERT_EQ(inflate_open(fd, 0), 0);
  std::string got(data.size(), '\0');
  size_t at = 0;
  for (uint32_t n : {1u, 65509u, 65510u, 65511u, 100000u}) {
    ASSERT_EQ(inflate_read(&got[at], n), n);
    at += n;
  }
  ASSERT_EQ(inflate_read(&got[at], static_cast<uint32_t>(data.size() - at)), data.size() - at);
  EXPECT_EQ(got, data);
  EXPECT_EQ(inflate_check_end(), 0);
  pf_close(fd);
}

TEST_F(Streams, DamageShowsAsZeroOrFailedEnd) {
  std::string data = text_bytes(2000);
  std::string z = vt::zcompress(data);
  std::string bad_adler = z;
  bad_adler.back() = static_cast<char>(bad_adler.back() ^ 0x5A);
  int fd = open_file("a.bin", bad_adler);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(inflate_open(fd, 0), 0);
  std::string got(data.size(), '\0');
  inflate_read(&got[0], static_cast<uint32_t>(got.size()));  // may or may not see the trailer yet
  EXPECT_EQ(inflate_check_end(), -1);
  pf_close(fd);

  // Cut before its end: the data is short, or the end is missing.
  fd = open_file("b.bin", z.substr(0, z.size() - 2));
  ASSERT_EQ(inflate_open(fd, 0), 0);
  inflate_read(&got[0], static_cast<uint32_t>(got.size()));
  EXPECT_EQ(inflate_check_end(), -1);
  pf_close(fd);

  // Not a stream at all.
  fd = open_file("c.bin", std::string(100, '\x07'));
  ASSERT_EQ(inflate_open(fd, 0), 0);
  EXPECT_EQ(inflate_read(&got[0], 10), 0u);
  EXPECT_EQ(inflate_check_end(), -1);
  pf_close(fd);

  // More data after the point asked about.
  fd = open_file("d.bin", z);
  ASSERT_EQ(inflate_open(fd, 0), 0);
  ASSERT_EQ(inflate_read(&got[0], 1999), 1999u);
  EXPECT_EQ(inflate_check_end(), -1);
  pf_close(fd);
}

TEST_F(Streams, DeflateProducesExactlyLevelNineOutput) {
  // Up to the smallest block the stream is one block: zlib's own bytes.
  for (size_t n : {size_t(0), size_t(1), size_t(1000), size_t(60000), size_t(BLOCK_MIN)}) {
    std::string data = n == BLOCK_MIN ? random_bytes(n, 9) : text_bytes(n);
    int fd = pf_open_create("w.bin");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pf_write(fd, "HEAD", 4), 4);
    ASSERT_EQ(deflate_open(fd, 4), 0);
    size_t at = 0, step = 7;
    while (at < data.size()) {
      uint32_t k = static_cast<uint32_t>(std::min(step, data.size() - at));
      ASSERT_EQ(deflate_write(data.data() + at, k), k);
      at += k;
      step = step * 5 + 3;
    }
    ASSERT_EQ(deflate_finish(), 0);
    pf_close(fd);
    EXPECT_EQ(vt::read_file("w.bin"), "HEAD" + vt::zcompress(data)) << n;
  }
}

TEST_F(Streams, DeflateOpenTwiceRestartsAtTheNewOffset) {
  int fd = pf_open_create("w.bin");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(deflate_open(fd, 0), 0);
  ASSERT_EQ(deflate_write("abandoned", 9), 9u);
  ASSERT_EQ(pf_write(fd, "xyz", 3), 3);
  ASSERT_EQ(deflate_open(fd, 3), 0);
  ASSERT_EQ(deflate_write("kept", 4), 4u);
  ASSERT_EQ(deflate_finish(), 0);
  pf_close(fd);
  EXPECT_EQ(vt::read_file("w.bin"), "xyz" + vt::zcompress("kept"));
}

TEST_F(Streams, FinishThatExactlyFillsTheBufferWritesItOnce) {
  // Incompressible input whose level-9 stream is exactly one buffer long.
  std::string data;
  for (size_t len = 65400; len < 65510 && data.empty(); ++len) {
    std::string candidate = random_bytes(len, 21);
    if (vt::zcompress(candidate).size() == STREAM_BUFFER_SIZE) data = candidate;
  }
  ASSERT_FALSE(data.empty());
  int fd = pf_open_create("w.bin");
  ASSERT_GE(fd, 0);
  pf_fault_clear();
  ASSERT_EQ(deflate_open(fd, 0), 0);
  ASSERT_EQ(deflate_write(data.data(), static_cast<uint32_t>(data.size())), data.size());
  EXPECT_EQ(pf_fault_calls(PF_FAULT_WRITE), 0);
  ASSERT_EQ(deflate_finish(), 0);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_WRITE), 1);
  pf_close(fd);
  EXPECT_EQ(vt::read_file("w.bin"), vt::zcompress(data));
}

TEST_F(Streams, ShortWritesFailTheStream) {
  int fd = pf_open_create("w.bin");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(deflate_open(fd, 0), 0);
  ASSERT_EQ(deflate_write("small", 5), 5u);
  pf_fault_arm(PF_FAULT_WRITE, 1);
  EXPECT_EQ(deflate_finish(), -1);

  // Blocks are written once compressed: with one thread a write that passes
  // a whole block meets the failure itself; with workers the failure shows at
  // the write that meets it or at the finish, and every later call fails.
  std::string big = random_bytes(3 * BLOCK_MAX, 4);
  g_settings.threads = 1;
  ASSERT_EQ(deflate_open(fd, 0), 0);
  pf_fault_arm(PF_FAULT_WRITE, 1);
  EXPECT_EQ(deflate_write(big.data(), static_cast<uint32_t>(big.size())), 0u);
  EXPECT_EQ(deflate_write("more", 4), 0u);
  EXPECT_EQ(deflate_finish(), -1);

  g_settings.threads = 2;
  ASSERT_EQ(deflate_open(fd, 0), 0);
  pf_fault_arm(PF_FAULT_WRITE, 2);
  const bool write_failed = deflate_write(big.data(), static_cast<uint32_t>(big.size())) == 0;
  EXPECT_EQ(deflate_finish(), -1) << "write failed early: " << write_failed;
  pf_close(fd);
}

// Queued streams lie back to back, each exactly what a stream of its own
// gives (zlib's own bytes below the smallest block), and each output record
// named takes its stream's offset, for every thread count; a stream opened
// without queueing, even into another file, writes out the queue first.
TEST_F(Streams, QueuedStreamsFollowEachOtherAndSetTheirRecordsOffsets) {
  std::vector<std::string> datas;
  for (size_t n : {size_t(0), size_t(10), size_t(BLOCK_MIN), size_t(3000),
                   size_t(3 * BLOCK_MAX + 17), size_t(1)})
    datas.push_back(n > 5000 ? text_bytes(n / 2) + random_bytes(n - n / 2, 5) : text_bytes(n));
  datas.push_back(text_bytes(BLOCK_MIN + 1));
  // Each stream as the write stream gives it on its own.
  std::vector<std::string> alone;
  for (const std::string& d : datas) {
    const int ref = pf_open_create("ref.bin");
    ASSERT_GE(ref, 0);
    ASSERT_EQ(deflate_open(ref, 0), 0);
    ASSERT_EQ(deflate_write(d.data(), static_cast<uint32_t>(d.size())), d.size());
    ASSERT_EQ(deflate_finish(), 0);
    pf_close(ref);
    alone.push_back(vt::read_file("ref.bin"));
    std::string inflated;
    ASSERT_TRUE(vt::zinflate(alone.back(), &inflated));
    ASSERT_TRUE(inflated == d);
    if (d.size() <= BLOCK_MIN) {
      EXPECT_TRUE(alone.back() == vt::zcompress(d)) << d.size();
    }
  }
  for (int threads : {1, 2, 3, 8}) {
    g_settings.threads = threads;
    archive_release();
    int fd = pf_open_create("w.bin");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pf_write(fd, "HEAD", 4), 4);
    std::string expected = "HEAD";
    std::vector<size_t> starts;
    for (size_t k = 0; k < datas.size(); ++k) {
      const std::string& d = datas[k];
      ASSERT_EQ(entry_table_add(g_archive.output, ("e" + std::to_string(k)).c_str(), 0,
                                static_cast<uint32_t>(d.size()), 0, 0x05, 1), 0);
      // Only the first stream is given its offset.
      EXPECT_EQ(deflate_queued(), k == 0 ? 0 : 1);
      ASSERT_EQ(deflate_open_queued(fd, k == 0 ? 4 : -1, static_cast<int>(k)), 0);
      for (size_t at = 0; at < d.size(); at += 40000) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(40000, d.size() - at));
        ASSERT_EQ(deflate_write(d.data() + at, n), n);
      }
      ASSERT_EQ(deflate_finish_queued(), 0);
      starts.push_back(expected.size());
      expected += alone[k];
    }
    // A stream of its own into another file: the queue goes out first.
    const int other = pf_open_create("other.bin");
    ASSERT_GE(other, 0);
    ASSERT_EQ(deflate_open(other, 0), 0);
    EXPECT_EQ(deflate_queued(), 0);
    EXPECT_EQ(vt::read_file("w.bin").size(), expected.size()) << threads;
    ASSERT_EQ(deflate_write("last", 4), 4u);
    ASSERT_EQ(deflate_finish(), 0);
    pf_close(other);
    pf_close(fd);
    EXPECT_EQ(vt::read_file("other.bin"), vt::zcompress("last"));
    EXPECT_TRUE(vt::read_file("w.bin") == expected) << threads;
    ASSERT_EQ(g_archive.output.count(), static_cast<int>(datas.size()));
    for (size_t k = 0; k < datas.size(); ++k)
      EXPECT_EQ(g_archive.output.records[k]->offset, starts[k]) << threads << " " << k;
  }
}

// A failure while streams are queued is never lost: the stream it hits, or
// the settling, or any stream opened after it fails.
TEST_F(Streams, AFailedQueuedStreamFailsEverythingAfterIt) {
  const std::string big = random_bytes(2 * BLOCK_MAX, 8);
  for (int threads : {1, 2}) {
    for (int n = 1; n <= 3; ++n) {
      g_settings.threads = threads;
      archive_release();
      int fd = pf_open_create("w.bin");
      ASSERT_GE(fd, 0);
      pf_fault_arm(PF_FAULT_WRITE, n);
      bool failed = false;
      for (int k = 0; k < 4 && !failed; ++k) {  // the last ones may all be queued
        failed = deflate_open_queued(fd, k == 0 ? 0 : -1, -1) != 0 ||
                 deflate_write(big.data(), static_cast<uint32_t>(big.size())) == 0 ||
                 deflate_finish_queued() != 0;
      }
      EXPECT_EQ(deflate_settle(), -1) << threads << " " << n;
      EXPECT_EQ(deflate_open(fd, 0), -1) << threads << " " << n;
      pf_fault_clear();
      pf_close(fd);
    }
  }
  // Released, the write stream starts afresh.
  archive_release();
  int fd = pf_open_create("w.bin");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(deflate_open_queued(fd, 0, -1), 0);
  ASSERT_EQ(deflate_write("ok", 2), 2u);
  ASSERT_EQ(deflate_finish_queued(), 0);
  ASSERT_EQ(deflate_settle(), 0);
  pf_close(fd);
  EXPECT_EQ(vt::read_file("w.bin"), vt::zcompress("ok"));
}

TEST_F(Streams, CopiesOfNothingTouchNothing) {
  vt::write_file("src.bin", "abc");
  g_run.archive_fd = pf_open_rw("src.bin");
  pf_fault_clear();
  for (int64_t n : {int64_t(0), int64_t(-5)}) {
    EXPECT_EQ(copy_raw_to_raw(n), 0);
    EXPECT_EQ(copy_raw_to_stream(n), 0);
    EXPECT_EQ(copy_stream_to_raw(n), 0);
    EXPECT_EQ(copy_stream_to_stream(n), 0);
    EXPECT_EQ(skip_stream(n), 0);
  }
  EXPECT_EQ(pf_fault_calls(PF_FAULT_READ), 0);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_WRITE), 0);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_OPEN_CREATE), 0);
  EXPECT_EQ(g_run.output_fd, -1);
  EXPECT_EQ(g_archive.streams.copy.size(), COPY_BUFFER_SIZE);
}

// These run with the output already open: open_temp then has nothing to do.
TEST_F(Streams, RawCopyMovesChunksOfAtMostTheCopyBuffer) {
  std::string data = random_bytes(32761, 5);
  g_run.archive_fd = open_file("src.bin", "skip" + data + "rest");
  open_output();
  ASSERT_EQ(pf_seek(g_run.archive_fd, 4, PF_SEEK_SET), 4);
  pf_fault_clear();
  ASSERT_EQ(copy_raw_to_raw(32761), 0);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_READ), 2);
  EXPECT_EQ(pf_fault_calls(PF_FAULT_WRITE), 2);
  EXPECT_EQ(vt::read_file("out.bin"), data);
  // Past the end of the source: the copy fails.
  EXPECT_EQ(copy_raw_to_raw(10), -1);
}

TEST_F(Streams, CopiesBetweenRawAndStreamRoundTrip) {
  std::string data = text_bytes(100000);
  g_run.archive_fd = open_file("src.bin", data);
  open_output();
  // raw -> stream into the output at 0.
  ASSERT_EQ(deflate_open(g_run.output_fd, 0), 0);
  ASSERT_EQ(copy_raw_to_stream(static_cast<int64_t>(data.size())), 0);
  ASSERT_EQ(deflate_finish(), 0);
  // Longer than one block: several blocks, still one stream of the data.
  const std::string z = vt::read_file("out.bin");
  std::string back;
  ASSERT_TRUE(vt::zinflate(z, &back));
  ASSERT_EQ(back, data);
  pf_close(g_run.output_fd);
  pf_close(g_run.archive_fd);

  // stream -> stream: re-compressing a part of it.
  g_run.archive_fd = open_file("src.bin", z);
  g_run.output_fd = pf_open_create("out2.bin");
  ASSERT_EQ(inflate_open(g_run.archive_fd, 0), 0);
  ASSERT_EQ(skip_stream(40000), 0);
  ASSERT_EQ(deflate_open(g_run.output_fd, 0), 0);
  ASSERT_EQ(copy_stream_to_stream(50000), 0);
  ASSERT_EQ(deflate_finish(), 0);
  // 50000 bytes are one block: exactly zlib's bytes.
  EXPECT_EQ(vt::read_file("out2.bin"), vt::zcompress(data.substr(40000, 50000)));
  // stream -> raw for the rest, then nothing more is there.
  pf_close(g_run.output_fd);
  g_run.output_fd = pf_open_create("out3.bin");
  ASSERT_EQ(copy_stream_to_raw(10000), 0);
  EXPECT_EQ(vt::read_file("out3.bin"), data.substr(90000));
  EXPECT_EQ(copy_stream_to_raw(1), -1);
  EXPECT_EQ(skip_stream(1), -1);
}

// File bytes go straight into the blocks, read a block's room at a time:
// the stream is the one the same bytes written give, in one stream or in
// queued ones, for every thread count; a source that ends early or fails to
// read fails the copy.
TEST_F(Streams, RawToStreamReadsIntoTheBlocksAndGivesTheSameBytes) {
  const std::vector<size_t> sizes = {1, BLOCK_MIN - 1, BLOCK_MIN + 1, BLOCK_MAX, 3 * BLOCK_MAX + 17};
  std::string all;
  std::vector<std::string> datas;
  for (size_t k = 0; k < sizes.size(); ++k) {
    datas.push_back(text_bytes(sizes[k] / 2) + random_bytes(sizes[k] - sizes[k] / 2, 20 + k));
    all += datas.back();
  }
  auto written = [](const std::string& d) {
    const int ref = pf_open_create("ref.bin");
    EXPECT_EQ(deflate_open(ref, 0), 0);
    for (size_t at = 0; at < d.size(); at += 32760) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(32760, d.size() - at));
      EXPECT_EQ(deflate_write(d.data() + at, n), n);
    }
    EXPECT_EQ(deflate_finish(), 0);
    pf_close(ref);
    return vt::read_file("ref.bin");
  };
  g_settings.threads = 1;
  const std::string one_stream = written("head" + all);
  std::string queued;
  for (const std::string& d : datas) queued += written(d);

  for (int threads : {1, 2, 3}) {
    g_settings.threads = threads;
    archive_release();
    g_run.archive_fd = open_file("src.bin", all);
    open_output();
    ASSERT_EQ(deflate_open(g_run.output_fd, 0), 0);
    ASSERT_EQ(deflate_write("head", 4), 4u);
    pf_fault_clear();
    ASSERT_EQ(copy_raw_to_stream(static_cast<int64_t>(all.size())), 0);
    // Far fewer reads than copy-buffer loads.
    EXPECT_LE(pf_fault_calls(PF_FAULT_READ), static_cast<int>(all.size() / BLOCK_MIN + 2));
    ASSERT_EQ(deflate_finish(), 0);
    EXPECT_TRUE(vt::read_file("out.bin") == one_stream) << threads;
    pf_close(g_run.output_fd);

    // One queued stream per file, read from the same source in turn.
    ASSERT_EQ(pf_seek(g_run.archive_fd, 0, PF_SEEK_SET), 0);
    open_output();
    for (size_t k = 0; k < datas.size(); ++k) {
      ASSERT_EQ(deflate_open_queued(g_run.output_fd, k == 0 ? 0 : -1, -1), 0);
      ASSERT_EQ(copy_raw_to_stream(static_cast<int64_t>(datas[k].size())), 0);
      ASSERT_EQ(deflate_finish_queued(), 0);
    }
    ASSERT_EQ(deflate_settle(), 0);
    EXPECT_TRUE(vt::read_file("out.bin") == queued) << threads;
    pf_close(g_run.output_fd);

    // The source ends before the count asked for; a read fails.
    ASSERT_EQ(pf_seek(g_run.archive_fd, 10, PF_SEEK_SET), 10);
    open_output();
    ASSERT_EQ(deflate_open(g_run.output_fd, 0), 0);
    EXPECT_EQ(copy_raw_to_stream(static_cast<int64_t>(all.size())), -1);
    ASSERT_EQ(pf_seek(g_run.archive_fd, 0, PF_SEEK_SET), 0);
    ASSERT_EQ(deflate_open(g_run.output_fd, 0), 0);
    pf_fault_arm(PF_FAULT_READ, 2);
    EXPECT_EQ(copy_raw_to_stream(static_cast<int64_t>(all.size())), -1);
    pf_fault_clear();
    pf_close(g_run.output_fd);
    pf_close(g_run.archive_fd);
  }
}

TEST_F(Streams, BuffersKeepTheirFixedSizesAndRelease) {
  std::string data = random_bytes(500000, 8);
  g_run.archive_fd = open_file("src.bin", vt::zcompress(data));
  open_output();
  ASSERT_EQ(inflate_open(g_run.archive_fd, 0), 0);
  ASSERT_EQ(deflate_open(g_run.output_fd, 0), 0);
  ASSERT_EQ(copy_stream_to_stream(static_cast<int64_t>(data.size())), 0);
  ASSERT_EQ(deflate_finish(), 0);
  EXPECT_EQ(g_archive.streams.in.buffer.capacity(), STREAM_BUFFER_SIZE);
  EXPECT_EQ(g_archive.streams.out.buffer.capacity(), STREAM_BUFFER_SIZE);
  EXPECT_EQ(g_archive.streams.copy.capacity(), COPY_BUFFER_SIZE);
  streams_release();
  EXPECT_EQ(g_archive.streams.in.buffer.capacity(), 0u);
  EXPECT_EQ(g_archive.streams.out.buffer.capacity(), 0u);
  EXPECT_EQ(g_archive.streams.copy.capacity(), 0u);
  // Released streams refuse work rather than touch freed memory.
  char c;
  EXPECT_EQ(inflate_read(&c, 1), 0u);
  EXPECT_EQ(deflate_write("x", 1), 0u);
  EXPECT_EQ(deflate_finish(), -1);
  streams_release();  // twice is harmless
}

}  // namespace
