// The stream inflated ahead by a worker thread: every byte in order for
// sizes around its chunks and buffers, the same file calls with and without
// the worker, and damage, a cut file and a refused read ending the stream
// cleanly (never a hang) however far the worker had got.
#include <random>
#include <string>
#include <vector>

#include "archive/inflate_ahead.h"
#include "support/container_fixture.h"

namespace {

class InflateAheadTest : public ct::ContainerTest {
 protected:
  // Text that compresses well (many output buffers per chunk) with runs of
  // noise that does not (many chunks per buffer).
  static std::string mixed_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    s.reserve(n);
    while (s.size() < n) {
      if (rng() % 3 == 0) {
        for (int k = 0; k < 20000; ++k) s.push_back(static_cast<char>(rng()));
      } else {
        for (int k = 0; k < 3000; ++k) s += "line " + std::to_string(rng() % 97) + "\n";
      }
    }
    s.resize(n);
    return s;
  }

  // Writes `front`, then the stream, then `tail` to a file and opens it.
  int open_stream(const std::string& front, const std::string& stream, const std::string& tail) {
    vt::write_file("s.bin", front + stream + tail);
    const int fd = pf_open_read("s.bin");
    EXPECT_GE(fd, 0);
    return fd;
  }

  // Reads `want` bytes in pieces of sizes cycling through `pieces`; the
  // bytes read, with "<failed>" appended at a failed read.
  static std::string read_all(InflateAhead* a, size_t want, const std::vector<uint32_t>& pieces) {
    std::string out;
    std::vector<unsigned char> buf;
    for (size_t k = 0; out.size() < want; ++k) {
      uint32_t n = pieces[k % pieces.size()];
      if (n > want - out.size()) n = static_cast<uint32_t>(want - out.size());
      buf.resize(n);
      if (ahead_read(a, buf.data(), n) != 0) return out + "<failed>";
      out.append(reinterpret_cast<const char*>(buf.data()), n);
    }
    return out;
  }
};

TEST_F(InflateAheadTest, EverySizeComesBackInOrderWithTheSameReadsWithOrWithoutTheWorker) {
  const std::vector<size_t> sizes = {0,
                                     1,
                                     AHEAD_BUFFER_SIZE - 1,
                                     AHEAD_BUFFER_SIZE,
                                     AHEAD_BUFFER_SIZE + 1,
                                     AHEAD_BUFFER_SIZE * AHEAD_BUFFERS + 7,
                                     3000000};
  const std::vector<std::vector<uint32_t>> piecings = {{1, 4093, 65536}, {AHEAD_BUFFER_SIZE * 2 + 3}};
  for (size_t size : sizes) {
    const std::string data = mixed_bytes(size, static_cast<unsigned>(size));
    const std::string stream = vt::zcompress(data);
    for (const auto& pieces : piecings) {
      int reads[2] = {0, 0}, seeks[2] = {0, 0};
      for (int threaded = 0; threaded <= 1; ++threaded) {
        const int fd = open_stream("front", stream, "trailing bytes");
        pf_fault_clear();
        {
          InflateAheadPtr a = ahead_open(fd, 5, threaded);
          ASSERT_TRUE(a);
          EXPECT_EQ(read_all(a.get(), data.size(), pieces), data) << size << " threaded " << threaded;
          EXPECT_EQ(ahead_check_end(a.get()), 0) << size;
          EXPECT_EQ(ahead_check_end(a.get()), 0) << size << ": asked again";
          EXPECT_EQ(ahead_threaded(a.get()), threaded);
          unsigned char one;
          EXPECT_EQ(ahead_read(a.get(), &one, 1), -1) << size << ": past the end";
        }
        reads[threaded] = pf_fault_calls(PF_FAULT_READ);
        seeks[threaded] = pf_fault_calls(PF_FAULT_SEEK);
        pf_close(fd);
      }
      // One seek and one read per chunk the stream touches (chunk 0 is read
      // always, and the chunks the worker asks for ahead of each whole one it
      // starts on, up to the end of the file).
      const int chunks = static_cast<int>((stream.size() + AHEAD_CHUNK_SIZE - 1) / AHEAD_CHUNK_SIZE);
      EXPECT_EQ(reads[0], reads[1]) << size;
      EXPECT_EQ(seeks[0], seeks[1]) << size;
      EXPECT_GE(reads[0], chunks) << size;
      EXPECT_LE(reads[0], chunks + AHEAD_CHUNKS - 1) << size;
    }
  }
}

TEST_F(InflateAheadTest, AStreamThatGoesOnOrEndsEarlyFailsTheEndCheck) {
  const std::string data = mixed_bytes(AHEAD_BUFFER_SIZE * 2, 3);
  const std::string stream = vt::zcompress(data);
  for (int threaded = 0; threaded <= 1; ++threaded) {
    {
      // Fewer bytes taken than the stream holds: it goes on.
      const int fd = open_stream("", stream, "");
      InflateAheadPtr a = ahead_open(fd, 0, threaded);
      EXPECT_EQ(read_all(a.get(), data.size() - 1, {70000}), data.substr(0, data.size() - 1));
      EXPECT_EQ(ahead_check_end(a.get()), -1);
      pf_close(fd);
    }
    {
      // More wanted than it holds: the read fails, and so does each after.
      const int fd = open_stream("", stream, "");
      InflateAheadPtr a = ahead_open(fd, 0, threaded);
      EXPECT_EQ(read_all(a.get(), data.size() + 1, {AHEAD_BUFFER_SIZE}), data + "<failed>");
      unsigned char one;
      EXPECT_EQ(ahead_read(a.get(), &one, 1), -1);
      pf_close(fd);
    }
    {
      // Nothing read at all: the end check reads and finds the stream goes on.
      const int fd = open_stream("", stream, "");
      InflateAheadPtr a = ahead_open(fd, 0, threaded);
      EXPECT_EQ(ahead_check_end(a.get()), -1);
      pf_close(fd);
    }
  }
}

// The reader of a tracked stream checks its sum against the trailer the
// worker kept, wherever the trailer's 4 bytes fall against the chunks the
// file is read in (an untracked stream is checked by inflate itself).
TEST_F(InflateAheadTest, TheTrailerIsCheckedWhereverItFallsAgainstTheChunks) {
  std::mt19937 rng(5);
  std::string noise(AHEAD_CHUNK_SIZE + 64, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  // Noise is stored: each byte more of it makes the stream one byte longer,
  // so some length puts the trailer at each position against a chunk end.
  std::vector<int> seen(5, 0);
  for (size_t n = AHEAD_CHUNK_SIZE - 200; n < noise.size(); ++n) {
    const std::string data = noise.substr(0, n);
    const std::string stream = vt::zcompress(data);
    const int64_t into_next = static_cast<int64_t>(stream.size()) - AHEAD_CHUNK_SIZE;
    if (into_next < 0 || into_next > 4 || seen[into_next]++) continue;
    for (int spoil = -1; spoil < 4; ++spoil) {
      std::string s = stream;
      if (spoil >= 0) s[s.size() - 4 + spoil] ^= 0x10;
      for (int mode = 0; mode < 4; ++mode) {
        const int threaded = mode & 1, tracked = mode >> 1;
        const int fd = open_stream("", s, "");
        InflateAheadPtr a = ahead_open(fd, 0, threaded);
        if (tracked) {
          ASSERT_EQ(ahead_track_cuts(a.get()), 0);
        }
        EXPECT_EQ(read_all(a.get(), data.size(), {40000}), data);
        EXPECT_EQ(ahead_check_end(a.get()), spoil < 0 ? 0 : -1)
            << into_next << " trailer bytes in the second chunk, byte " << spoil << " spoiled, mode "
            << mode;
        pf_close(fd);
      }
    }
  }
  EXPECT_EQ(seen, std::vector<int>(5, 1)) << "not every trailer position was tried";
}

TEST_F(InflateAheadTest, DamageACutFileOrARefusedReadEndsTheStreamWithoutAHang) {
  const std::string data = mixed_bytes(2000000, 11);
  const std::string stream = vt::zcompress(data);
  ASSERT_GT(stream.size(), 3 * AHEAD_CHUNK_SIZE);
  std::string damaged = stream;
  for (size_t k = stream.size() / 2; k < stream.size() / 2 + 64; ++k) damaged[k] = '\xFF';
  std::string spoiled_check = stream;
  spoiled_check[stream.size() - 2] ^= 0x40;
  const struct {
    const char* what;
    std::string stream;
    bool cut;       // what comes out is the stream's own data, as far as it goes
    bool all_data;  // every byte of the data comes out (only the end is wrong)
  } cases[] = {
      {"damaged in the middle", damaged, false, false},
      {"cut in the middle", stream.substr(0, stream.size() / 2), true, false},
      {"cut one byte short", stream.substr(0, stream.size() - 1), true, true},
      {"checksum spoiled", spoiled_check, false, true},
  };
  for (const auto& c : cases) {
    for (int threaded = 0; threaded <= 1; ++threaded) {
      const int fd = open_stream("", c.stream, "");
      InflateAheadPtr a = ahead_open(fd, 0, threaded);
      const std::string got = read_all(a.get(), data.size(), {100000});
      const bool failed = got.size() >= 8 && got.compare(got.size() - 8, 8, "<failed>") == 0;
      const std::string good = failed ? got.substr(0, got.size() - 8) : got;
      EXPECT_TRUE(!c.cut || good == data.substr(0, good.size())) << c.what << ": other bytes came out";
      EXPECT_TRUE(!c.all_data || got == data) << c.what;
      EXPECT_TRUE(!c.cut || c.all_data || failed) << c.what;
      // Either the read or the end check refuses it.
      EXPECT_TRUE(failed || ahead_check_end(a.get()) == -1) << c.what << " threaded " << threaded;
      EXPECT_EQ(ahead_check_end(a.get()), -1) << c.what;
      pf_close(fd);
    }
  }

  // A read refused at each chunk: the stream fails there, the worker ends,
  // and nothing waits for ever.
  for (int nth = 1; nth <= 4; ++nth) {
    const int fd = open_stream("", stream, "");
    pf_fault_clear();
    pf_fault_arm(PF_FAULT_READ, nth);
    {
      InflateAheadPtr a = ahead_open(fd, 0, 1);
      const std::string got = read_all(a.get(), data.size(), {AHEAD_BUFFER_SIZE});
      ASSERT_GE(got.size(), 8u);
      EXPECT_EQ(got.substr(got.size() - 8), "<failed>") << "read " << nth;
      EXPECT_EQ(ahead_check_end(a.get()), -1) << "read " << nth;
    }
    EXPECT_GE(pf_fault_calls(PF_FAULT_READ), nth);
    pf_fault_clear();
    pf_close(fd);
  }

  // Given up in the middle with the worker ahead and waiting for room: the
  // worker is stopped and joined.
  {
    const int fd = open_stream("", stream, "");
    InflateAheadPtr a = ahead_open(fd, 0, 1);
    EXPECT_EQ(read_all(a.get(), 10, {10}), data.substr(0, 10));
    a.reset();
    pf_close(fd);
  }
}

}  // namespace
