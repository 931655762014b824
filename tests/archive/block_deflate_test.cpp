// The write stream's blocks: the cutting rule, streams that inflate to their
// input across every cut, the same bytes for every thread count and write
// pattern, zlib's own bytes below the minimum block, and rewrites that copy
// unchanged blocks of an old stream yet equal a full compression.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "archive/inflate_ahead.h"
#include "support/container_fixture.h"

namespace {

// Compressible, varied bytes: words from a small vocabulary with numbers,
// and runs of noise, so that blocks are neither trivial nor stored.
std::string mixed_bytes(size_t n, unsigned seed) {
  static const char* const words[] = {"static ", "int ", "return ", "struct ", "(void)", "{\n",
                                      "}\n", "uint32_t ", "const ", "char* ", "if (", ") ",
                                      "#include <", ">\n", "/* note */", "0x7f, "};
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(n + 64);
  while (s.size() < n) {
    unsigned r = rng();
    if (r % 23 == 0) {
      for (int k = 0; k < 40; ++k) s += static_cast<char>(rng());
    } else {
      s += words[r % 16];
      if (r % 5 == 0) s += std::to_string(r % 100000);
    }
  }
  s.resize(n);
  return s;
}

std::string zlib_inflate_all(const std::string& z, bool* ok) {
  std::string out;
  *ok = vt::zinflate(z, &out);
  return out;
}

// Where the blocks of a stream end, as inflate reports them: the uncompressed
// positions after each empty stored block that ends on a byte boundary.
std::vector<int64_t> sync_points(const std::string& z) {
  std::vector<int64_t> points;
  z_stream s{};
  if (inflateInit(&s) != Z_OK) return points;
  std::string out(1 << 16, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z.data()));
  s.avail_in = static_cast<uInt>(z.size());
  uLong stop_in = 0, stop_out = 0;
  for (;;) {
    s.next_out = reinterpret_cast<Bytef*>(&out[0]);
    s.avail_out = static_cast<uInt>(out.size());
    int r = inflate(&s, Z_BLOCK);
    if (r != Z_OK) break;
    if (s.data_type & 128) {
      if ((s.data_type & 7) == 0 && s.total_out == stop_out && s.total_in - stop_in >= 4 &&
          s.total_in - stop_in <= 5)
        points.push_back(static_cast<int64_t>(s.total_out));
      stop_in = s.total_in;
      stop_out = s.total_out;
    }
  }
  inflateEnd(&s);
  return points;
}

class BlockDeflate : public ct::ContainerTest {
 protected:
  // Sizes of a stream around every bound a block has: none, one byte,
  // BLOCK_MIN, where the first cut of `data` falls (*first), BLOCK_MAX,
  // `many` and all of it.  Empty when `data` has no cut.
  static std::vector<size_t> sizes_around_cuts(const std::string& data, size_t many,
                                               size_t* first) {
    uint64_t h = 0;
    int cut = 0;
    *first = block_cut_scan(reinterpret_cast<const unsigned char*>(data.data()), data.size(), 0,
                            &h, &cut);
    if (!cut) return {};
    return {0,         1,          BLOCK_MIN - 1, BLOCK_MIN,     BLOCK_MIN + 1,
            *first - 1, *first,    *first + 1,    BLOCK_MAX - 1, BLOCK_MAX,
            BLOCK_MAX + 1, many, data.size()};
  }

  // The product's stream for `data`, written in pieces of `piece` bytes by
  // `threads` threads.
  std::string compress(const std::string& data, int threads, size_t piece = 32760) {
    g_settings.threads = threads;
    int fd = pf_open_create("c.z");
    EXPECT_GE(fd, 0);
    EXPECT_EQ(deflate_open(fd, 0), 0);
    for (size_t at = 0; at < data.size(); at += piece) {
      uint32_t n = static_cast<uint32_t>(std::min(piece, data.size() - at));
      EXPECT_EQ(deflate_write(data.data() + at, n), n);
    }
    EXPECT_EQ(deflate_finish(), 0);
    pf_close(fd);
    return vt::read_file("c.z");
  }

  // The same stream filled in place: `head` and `tail` written as plain
  // bytes around `data`, which goes straight into the blocks, each time
  // min(room, piece) bytes (piece 0: all the room there is).
  std::string compress_in_place(const std::string& head, const std::string& data,
                                const std::string& tail, int threads, size_t piece) {
    g_settings.threads = threads;
    WriteStream& ws = g_archive.streams.out;
    int fd = pf_open_create("p.z");
    EXPECT_GE(fd, 0);
    EXPECT_EQ(deflate_open(fd, 0), 0);
    EXPECT_EQ(deflate_write(head.data(), static_cast<uint32_t>(head.size())), head.size());
    for (size_t at = 0; at < data.size();) {
      unsigned char* dst = nullptr;
      size_t room = 0;
      if (block_reserve(ws, &dst, &room) != 0) {
        ADD_FAILURE() << "block_reserve at " << at;
        break;
      }
      EXPECT_GE(room, 1u);
      EXPECT_LE(room, size_t(BLOCK_MAX));
      size_t n = std::min(data.size() - at, room);
      if (piece > 0) n = std::min(n, piece);
      std::memcpy(dst, data.data() + at, n);
      EXPECT_EQ(block_commit(ws, n), 0);
      at += n;
    }
    EXPECT_EQ(deflate_write(tail.data(), static_cast<uint32_t>(tail.size())), tail.size());
    EXPECT_EQ(deflate_finish(), 0);
    pf_close(fd);
    return vt::read_file("p.z");
  }

  // One piece of a rewrite: a range of the old content, or new bytes.
  struct Piece {
    size_t from = 0, to = 0;  // old range, when `bytes` is empty
    std::string bytes;
  };
  static Piece old_range(size_t from, size_t to) {
    Piece p;
    p.from = from;
    p.to = to;
    return p;
  }
  static Piece fresh(const std::string& bytes) {
    Piece p;
    p.bytes = bytes;
    return p;
  }
  static std::string content_of(const std::string& old, const std::vector<Piece>& pieces) {
    std::string s;
    for (const Piece& p : pieces) s += p.bytes.empty() ? old.substr(p.from, p.to - p.from) : p.bytes;
    return s;
  }

  // Writes the new content the way the rewrite does: old ranges copied from
  // the old stream in `old_z` (which must come in old order), inflated ahead
  // with cut tracking, new bytes written.  Returns the new stream; *stats
  // gets the block figures.
  std::string rewrite(const std::string& old_z, const std::vector<Piece>& pieces, int threads,
                      BlockStats* stats) {
    vt::release_state();
    g_settings.threads = threads;
    vt::write_file("old.z", old_z);
    g_run.archive_fd = pf_open_rw("old.z");
    g_run.output_fd = pf_open_create("new.z");
    EXPECT_GE(g_run.archive_fd, 0);
    EXPECT_GE(g_run.output_fd, 0);
    InflateAheadPtr ahead = ahead_open(g_run.archive_fd, 0, threads != 1);
    EXPECT_EQ(ahead_track_cuts(ahead.get()), 0);
    EXPECT_EQ(deflate_open(g_run.output_fd, 0), 0);
    EXPECT_EQ(block_track_old(g_archive.streams.out, g_run.archive_fd, 0, ahead_cuts_sync,
                              ahead.get()),
              0);
    auto read = [](void* a, unsigned char* dst, uint32_t n) {
      return ahead_read(static_cast<InflateAhead*>(a), dst, n);
    };
    std::string skipped(1 << 20, '\0');
    auto skip = [&](size_t n) {
      for (size_t k; n > 0; n -= k) {
        k = std::min(n, skipped.size());
        EXPECT_EQ(ahead_read(ahead.get(), reinterpret_cast<unsigned char*>(&skipped[0]),
                             static_cast<uint32_t>(k)),
                  0);
      }
    };
    size_t cursor = 0;
    for (const Piece& p : pieces) {
      if (!p.bytes.empty()) {
        uint32_t n = static_cast<uint32_t>(p.bytes.size());
        EXPECT_EQ(deflate_write(p.bytes.data(), n), n);
        continue;
      }
      skip(p.from - cursor);
      EXPECT_EQ(copy_reader_to_stream(read, ahead.get(), static_cast<int64_t>(p.to - p.from),
                                      static_cast<int64_t>(p.from)),
                0);
      cursor = p.to;
    }
    // As the rewrite does: the old stream is read to its end and checked
    // before the write stream lets go of it.
    bool ok = false;
    skip(zlib_inflate_all(old_z, &ok).size() - cursor);
    EXPECT_EQ(ahead_check_end(ahead.get()), 0);
    block_untrack_old(g_archive.streams.out, 1);
    ahead.reset();
    EXPECT_EQ(deflate_finish(), 0);
    *stats = block_stats(g_archive.streams.out);
    pf_close(g_run.output_fd);
    g_run.output_fd = -1;
    return vt::read_file("new.z");
  }
};

TEST_F(BlockDeflate, CutsDependOnTheContentOnly) {
  const std::string data = mixed_bytes(6 << 20, 1);
  // Cuts of the whole, found in pieces of any size.
  auto cuts_of = [](const std::string& d, size_t piece) {
    std::vector<size_t> cuts;
    uint32_t len = 0;
    uint64_t h = 0;
    size_t at = 0;
    while (at < d.size()) {
      size_t n = std::min(piece, d.size() - at);
      size_t used = 0;
      while (used < n) {
        int cut = 0;
        size_t take = block_cut_scan(reinterpret_cast<const unsigned char*>(d.data()) + at + used,
                                     n - used, len, &h, &cut);
        used += take;
        len += static_cast<uint32_t>(take);
        if (cut) {
          cuts.push_back(at + used);
          len = 0;
          h = 0;
        }
      }
      at += n;
    }
    return cuts;
  };
  const std::vector<size_t> whole = cuts_of(data, data.size());
  EXPECT_EQ(cuts_of(data, 1000), whole);
  EXPECT_EQ(cuts_of(data, 65510), whole);
  ASSERT_GE(whole.size(), 5u);
  size_t prev = 0;
  for (size_t c : whole) {
    EXPECT_GE(c - prev, BLOCK_MIN);
    EXPECT_LE(c - prev, BLOCK_MAX);
    prev = c;
  }
  // Bytes without hash hits are cut at the maximum.
  const std::vector<size_t> zeros = cuts_of(std::string(3 * BLOCK_MAX + 5, '\0'), 4096);
  EXPECT_EQ(zeros, (std::vector<size_t>{BLOCK_MAX, 2 * BLOCK_MAX, 3 * BLOCK_MAX}));
  // After an insertion near the start the cuts fall where they fell before,
  // shifted by its length.
  const std::string inserted = std::string(777, 'x') + data;
  const std::vector<size_t> shifted = cuts_of(inserted, 32760);
  size_t common = 0;
  for (size_t c : shifted)
    if (c > 777 && std::find(whole.begin(), whole.end(), c - 777) != whole.end()) ++common;
  EXPECT_GE(common + 2, whole.size());
}

// The scan finds the cuts a byte-by-byte reading of the rule finds, on
// text, noise and runs without hash hits, whatever the pieces it is given.
TEST(BlockCutScan, FindsTheCutsOfTheRuleReadByteByByte) {
  // The rule as written: the rolling hash over every byte of the block, a
  // cut at the first position from BLOCK_MIN on where its top bits are
  // clear, or at BLOCK_MAX.
  auto reference = [](const std::string& d) {
    std::vector<size_t> cuts;
    uint64_t h = 0;
    size_t len = 0;
    for (size_t at = 0; at < d.size(); ++at) {
      h = (h << 1) + block_gear(static_cast<unsigned char>(d[at]));
      ++len;
      const bool hit = (h >> (64 - BLOCK_HASH_BITS)) == 0 && len >= BLOCK_MIN;
      if (hit || len == BLOCK_MAX) {
        cuts.push_back(at + 1);
        h = 0;
        len = 0;
      }
    }
    return cuts;
  };
  auto scanned = [](const std::string& d, size_t piece) {
    std::vector<size_t> cuts;
    uint32_t len = 0;
    uint64_t h = 0;
    for (size_t at = 0; at < d.size();) {
      const size_t n = std::min(piece, d.size() - at);
      int cut = 0;
      const size_t take =
          block_cut_scan(reinterpret_cast<const unsigned char*>(d.data()) + at, n, len, &h, &cut);
      at += take;
      len += static_cast<uint32_t>(take);
      if (cut) {
        cuts.push_back(at);
        len = 0;
        h = 0;
      }
    }
    return cuts;
  };
  std::mt19937 rng(17);
  std::string noise(6 << 20, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  const std::string inputs[] = {mixed_bytes(6 << 20, 4), noise,
                                std::string(BLOCK_MAX + 3, 'a') + noise.substr(0, 1 << 20)};
  for (const std::string& d : inputs) {
    const std::vector<size_t> want = reference(d);
    ASSERT_GE(want.size(), 4u);
    for (size_t piece : {size_t{100}, size_t{511}, size_t{4096}, size_t{65510}, d.size()})
      EXPECT_EQ(scanned(d, piece), want) << "pieces of " << piece;
  }

  // A cut at each of the first positions of the second half of a long
  // piece, where its hash is made from the bytes before that half: a window
  // of BLOCK_WINDOW bytes whose hash has its top bits clear is searched for
  // and put there, in a piece with no earlier cut.
  auto window_hash = [](const unsigned char* w) {
    uint64_t h = 0;
    for (uint32_t k = 0; k < BLOCK_WINDOW; ++k) h = (h << 1) + block_gear(w[k]);
    return h;
  };
  std::vector<unsigned char> window(BLOCK_WINDOW);
  do {
    for (unsigned char& c : window) c = static_cast<unsigned char>(rng());
  } while ((window_hash(window.data()) >> (64 - BLOCK_HASH_BITS)) != 0);
  const size_t piece = 1024, middle = piece / 2;
  for (size_t at : {middle, middle + 1, middle + 7, middle + 30}) {
    std::vector<unsigned char> p(piece);
    for (int tries = 0;; ++tries) {
      ASSERT_LT(tries, 100);
      for (unsigned char& c : p) c = static_cast<unsigned char>(rng());
      std::copy(window.begin(), window.end(), p.begin() + static_cast<long>(at - BLOCK_WINDOW + 1));
      bool earlier = false;
      uint64_t chain = 0;
      for (size_t k = 0; k < at; ++k) {
        chain = (chain << 1) + block_gear(p[k]);
        earlier |= (chain >> (64 - BLOCK_HASH_BITS)) == 0;
      }
      if (!earlier) break;
    }
    uint64_t h = 0;
    int cut = 0;
    EXPECT_EQ(block_cut_scan(p.data(), piece, BLOCK_MIN, &h, &cut), at + 1) << "cut after " << at;
    EXPECT_EQ(cut, 1);
  }
}

TEST_F(BlockDeflate, StreamsInflateToTheirInputAroundEveryCut) {
  const std::string data = mixed_bytes(3 * BLOCK_MAX + 100, 2);
  size_t first = 0;
  const std::vector<size_t> sizes = sizes_around_cuts(data, 2 * BLOCK_MAX + 3, &first);
  ASSERT_FALSE(sizes.empty());
  for (size_t n : sizes) {
    const std::string in = data.substr(0, n);
    const std::string z = compress(in, 2, 4099);
    bool ok = false;
    EXPECT_EQ(zlib_inflate_all(z, &ok), in) << n;
    EXPECT_TRUE(ok) << n;
    // The blocks end exactly at the cuts the rule finds, the last one never
    // empty (a cut at the very end is no cut).
    std::vector<int64_t> points = sync_points(z);
    for (int64_t p : points) {
      EXPECT_GT(p, 0);
      EXPECT_LT(static_cast<size_t>(p), n);
    }
    if (n > first) {
      ASSERT_FALSE(points.empty()) << n;
      EXPECT_EQ(static_cast<size_t>(points.front()), first) << n;
    } else {
      EXPECT_TRUE(points.empty()) << n;
    }
  }
}

TEST_F(BlockDeflate, SameBytesForEveryThreadCountAndWritePattern) {
  const std::string data = mixed_bytes(2 * BLOCK_MAX + 12345, 3);
  const std::string one = compress(data, 1);
  bool ok = false;
  ASSERT_EQ(zlib_inflate_all(one, &ok), data);
  EXPECT_GE(sync_points(one).size(), 3u);
  for (int threads = 1; threads <= 8; ++threads) {
    // Pieces of another odd size for every count.
    EXPECT_EQ(compress(data, threads, 1 + 7919 * static_cast<size_t>(threads)), one)
        << threads << " threads";
  }
  EXPECT_EQ(compress(data, 4), compress(data, 4));
  // Far smaller than zlib's single stream would cost to grow: within 1%.
  const std::string single = vt::zcompress(data);
  EXPECT_LT(one.size(), single.size() + single.size() / 100);
}

TEST_F(BlockDeflate, ThousandsOfTinyWritesAndOneHugeWrite) {
  const std::string data = mixed_bytes(3 * BLOCK_MAX, 4);
  const std::string whole = compress(data, 3, data.size());
  std::string tiny;
  g_settings.threads = 3;
  int fd = pf_open_create("t.z");
  ASSERT_EQ(deflate_open(fd, 0), 0);
  for (size_t at = 0; at < data.size();) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(1 + at % 13, data.size() - at));
    ASSERT_EQ(deflate_write(data.data() + at, n), n);
    at += n;
  }
  ASSERT_EQ(deflate_finish(), 0);
  pf_close(fd);
  EXPECT_EQ(vt::read_file("t.z"), whole);
}

// Bytes put straight into the blocks are cut and compressed exactly like
// bytes written: around every bound, with cuts inside a commit (the rest
// moves behind the next block's dictionary, also within a ring of one slot),
// at its very end, and at the end of the stream.
TEST_F(BlockDeflate, FillingBlocksInPlaceGivesTheBytesOfWrites) {
  const std::string data = mixed_bytes(3 * BLOCK_MAX + 100, 9);
  size_t first = 0;
  const std::vector<size_t> sizes = sizes_around_cuts(data, 2 * BLOCK_MAX + 7, &first);
  ASSERT_FALSE(sizes.empty());
  for (size_t n : sizes) {
    const std::string in = data.substr(0, n);
    const std::string plain = compress(in, 1);
    if (n <= BLOCK_MIN) {
      EXPECT_EQ(plain, vt::zcompress(in)) << n;
    }
    const std::pair<int, size_t> ways[] = {{1, 0}, {1, 1000}, {2, 0}, {5, 65536}};
    for (const auto& way : ways)
      EXPECT_EQ(compress_in_place("", in, "", way.first, way.second), plain)
          << n << " bytes, " << way.first << " threads, pieces of " << way.second;
  }
  // Content without cuts of its own: every block ends at BLOCK_MAX, which is
  // where each full-room commit ends, and the stream ends on such a bound.
  const std::string flat(3 * BLOCK_MAX, '\0');
  EXPECT_EQ(compress_in_place("", flat, "", 1, 0), compress(flat, 1));
  EXPECT_EQ(compress_in_place("", flat, "", 3, 0), compress(flat, 1));
  // Mixed with plain writes before and after, as records and file data are.
  const std::string head = mixed_bytes(BLOCK_MIN - 10, 10);
  const std::string tail = mixed_bytes(70000, 11);
  const std::string mixed = compress(head + data + tail, 1);
  for (int threads : {1, 2, 8})
    EXPECT_EQ(compress_in_place(head, data, tail, threads, 0), mixed) << threads;
  EXPECT_EQ(compress_in_place(head, data, tail, 2, 777), mixed);
}

// More bytes than were reserved are refused and nothing is taken.
TEST_F(BlockDeflate, ACommitBeyondTheReservationIsRefused) {
  const std::string data = mixed_bytes(BLOCK_MAX + 5000, 12);
  g_settings.threads = 2;
  WriteStream& ws = g_archive.streams.out;
  int fd = pf_open_create("r.z");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(deflate_open(fd, 0), 0);
  ASSERT_EQ(deflate_write(data.data(), 100), 100u);
  unsigned char* dst = nullptr;
  size_t room = 0;
  ASSERT_EQ(block_reserve(ws, &dst, &room), 0);
  EXPECT_EQ(room, BLOCK_MIN - 100 + 32 * 1024) << "up to the minimum block and a step beyond";
  std::memcpy(dst, data.data() + 100, room);
  EXPECT_EQ(block_commit(ws, room + 1), -1);
  EXPECT_EQ(block_commit(ws, room), 0);
  EXPECT_EQ(block_commit(ws, 1), -1) << "nothing is reserved any more";
  const size_t at = 100 + room;
  ASSERT_EQ(deflate_write(data.data() + at, static_cast<uint32_t>(data.size() - at)), data.size() - at);
  ASSERT_EQ(deflate_finish(), 0);
  pf_close(fd);
  EXPECT_EQ(vt::read_file("r.z"), compress(data, 1));
  // A reservation ends when other bytes are taken, or its stream ends: what
  // it pointed at is then the block's own bytes, or another stream's.
  fd = pf_open_create("s.z");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(deflate_open(fd, 0), 0);
  ASSERT_EQ(block_reserve(ws, &dst, &room), 0);
  ASSERT_EQ(deflate_write(data.data(), 10), 10u);
  EXPECT_EQ(block_commit(ws, 5), -1) << "a plain write spends the reservation";
  ASSERT_EQ(block_reserve(ws, &dst, &room), 0);
  ASSERT_EQ(deflate_finish(), 0);
  pf_close(fd);
  EXPECT_EQ(vt::read_file("s.z"), compress(data.substr(0, 10), 1));
  fd = pf_open_create("t.z");
  ASSERT_GE(fd, 0);
  ASSERT_EQ(deflate_open(fd, 0), 0);
  EXPECT_EQ(block_commit(ws, 5), -1) << "a stream's end spends the reservation";
  ASSERT_EQ(deflate_write(data.data() + 10, 20), 20u);
  ASSERT_EQ(deflate_finish(), 0);
  pf_close(fd);
  EXPECT_EQ(vt::read_file("t.z"), compress(data.substr(10, 20), 1));
  // Without an open stream there is nothing to reserve.
  vt::release_state();
  EXPECT_EQ(block_reserve(g_archive.streams.out, &dst, &room), -1);
  EXPECT_EQ(block_commit(g_archive.streams.out, 1), -1);
}

TEST_F(BlockDeflate, BelowTheMinimumBlockTheBytesAreZlibs) {
  const std::string data = mixed_bytes(BLOCK_MIN + 64, 5);
  for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(1000), size_t(65510), size_t(65511),
                   size_t(BLOCK_MIN / 2 + 7), size_t(BLOCK_MIN - 1), size_t(BLOCK_MIN)}) {
    const std::string in = data.substr(0, n);
    EXPECT_EQ(compress(in, 1), vt::zcompress(in)) << n;
    EXPECT_EQ(compress(in, 8, 333), vt::zcompress(in)) << n;
  }
  const std::string zeros(100000, '\0');
  EXPECT_EQ(compress(zeros, 2), vt::zcompress(zeros));
}

TEST(AdlerBetween, UndoesTheCombination) {
  const std::string data = mixed_bytes(3 * 65521 + 500, 9);
  const auto sum = [&](size_t from, size_t to) {
    return static_cast<uint32_t>(adler32(1L, reinterpret_cast<const Bytef*>(data.data() + from),
                                         static_cast<uInt>(to - from)));
  };
  const std::vector<std::pair<size_t, size_t>> ranges = {
      {0, 0},         {0, 1}, {7, 7}, {1, 65522}, {100, 100 + 2 * 65521}, {65521, data.size()},
      {3, data.size()}};
  for (const auto& r : ranges)
    EXPECT_EQ(adler_between(sum(0, r.first), sum(0, r.second),
                            static_cast<int64_t>(r.second - r.first)),
              sum(r.first, r.second))
        << r.first << ".." << r.second;
}

TEST_F(BlockDeflate, RewritesCopyUnchangedBlocksAndEqualAFullCompression) {
  const std::string old = mixed_bytes(4 << 20, 6);
  const std::string old_z = compress(old, 2);
  const size_t n = old.size();
  const std::string extra = mixed_bytes(50000, 7);
  struct Case {
    const char* name;
    std::vector<Piece> pieces;
    int64_t min_reused;
  };
  const std::vector<Case> cases = {
      {"unchanged", {old_range(0, n)}, 5},
      {"insert at start", {fresh("new head"), old_range(0, n)}, 4},
      {"change at start", {fresh(std::string(1000, 'q')), old_range(1000, n)}, 4},
      {"delete at start", {old_range(700000, n)}, 3},
      {"delete in the middle", {old_range(0, 2 << 20), old_range((2 << 20) + 400000, n)}, 3},
      {"insert in the middle", {old_range(0, 2 << 20), fresh(extra), old_range(2 << 20, n)}, 3},
      {"change in the middle",
       {old_range(0, 2 << 20), fresh(std::string(5000, 'z')), old_range((2 << 20) + 5000, n)}, 3},
      {"change at end", {old_range(0, n - 1000), fresh(std::string(1000, 'e'))}, 4},
      {"append at end", {old_range(0, n), fresh(extra)}, 4},
      {"delete at end", {old_range(0, n - 900000)}, 3},
      {"head and tail changed, middle kept",
       {fresh("records"), old_range(0, 2 << 20), old_range((2 << 20) + 10, n - 20), fresh(extra)},
       2},
  };
  for (const Case& c : cases) {
    const std::string content = content_of(old, c.pieces);
    const std::string full = compress(content, 1);
    for (int threads : {1, 3}) {
      BlockStats stats;
      const std::string got = rewrite(old_z, c.pieces, threads, &stats);
      EXPECT_EQ(got, full) << c.name << ", " << threads << " threads";
      EXPECT_GE(stats.reused, c.min_reused) << c.name << ": " << stats.reused << " of " << stats.blocks;
      // The inflater's running sums give every reused block's Adler-32.
      EXPECT_EQ(stats.reused_sums, stats.reused) << c.name;
      // Copied blocks wait without buffers: memory stays what the thread
      // count allows, however many of them wait behind a new block.
      EXPECT_LE(stats.buffer_pairs, threads == 1 ? 1 : 4 * threads + 4) << c.name;
      // The first block starts the stream without a dictionary: never copied.
      EXPECT_LT(stats.reused, stats.blocks) << c.name;
    }
  }
}

// What the inflater tells the write stream: every cut of the old stream,
// found by inflating it, each with the Adler-32 of the bytes before it,
// however the reader takes the bytes (pieces across buffer ends, one byte,
// exactly at the cuts) and with or without the worker; and the end.
TEST_F(BlockDeflate, TheInflaterHandsOverEveryCutWithTheSumBeforeIt) {
  const std::string data = mixed_bytes(3 << 20, 12);
  const std::string z = compress(data, 2);
  const std::vector<int64_t> points = sync_points(z);
  ASSERT_GE(points.size(), 10u);
  vt::write_file("old.z", z);
  const auto sum_to = [&](int64_t n) {
    return static_cast<uint32_t>(
        adler32(1L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(n)));
  };
  for (uint32_t piece : {32760u, 1u << 20, 1u}) {
    for (int threaded = 0; threaded <= 1; ++threaded) {
      const std::string where =
          "pieces of " + std::to_string(piece) + (threaded ? ", worker" : ", no worker");
      const int fd = pf_open_read("old.z");
      InflateAheadPtr a = ahead_open(fd, 0, threaded);
      ASSERT_EQ(ahead_track_cuts(a.get()), 0);
      OldStreamCuts got;
      std::vector<unsigned char> buf(piece);
      int64_t at = 0;
      size_t next = 0;  // the next cut to ask about
      while (at < static_cast<int64_t>(data.size())) {
        // Read up to the next cut when pieces are small, else a piece.
        int64_t n = piece;
        if (piece == 1 && next < points.size()) n = points[next] - at;
        n = std::min<int64_t>(n, static_cast<int64_t>(data.size()) - at);
        buf.resize(static_cast<size_t>(n));
        ASSERT_EQ(ahead_read(a.get(), buf.data(), static_cast<uint32_t>(n)), 0) << where;
        at += n;
        while (next < points.size() && points[next] <= at) ++next;
        EXPECT_EQ(ahead_cuts_sync(a.get(), at, got), 0) << where;
      }
      EXPECT_EQ(ahead_check_end(a.get()), 0) << where;
      ahead_cuts_sync(a.get(), INT64_MAX, got);
      ASSERT_EQ(got.cuts.size(), points.size()) << where;
      for (size_t k = 0; k < points.size(); ++k) {
        EXPECT_EQ(got.cuts[k].out, points[k]) << where;
        EXPECT_EQ(got.cuts[k].has_check, 1) << where << ", cut " << k;
        EXPECT_EQ(got.cuts[k].check, sum_to(points[k])) << where << ", cut " << k;
      }
      EXPECT_EQ(got.ended, 1) << where;
      EXPECT_EQ(got.end_out, static_cast<int64_t>(data.size())) << where;
      EXPECT_EQ(got.end_in, static_cast<int64_t>(z.size()) - 4) << where;
      EXPECT_EQ(got.end_has_check, 1) << where;
      EXPECT_EQ(got.end_check, sum_to(static_cast<int64_t>(data.size()))) << where;
      a.reset();
      pf_close(fd);
    }
  }
}

TEST_F(BlockDeflate, StreamsOfOtherWritersAreCompressedAfresh) {
  const std::string old = mixed_bytes(3 << 20, 8);
  // One zlib stream without flushes, and one flushed every 300000 bytes on a
  // single deflate state: their blocks are not this rule's blocks.
  std::string flushed;
  {
    z_stream s{};
    ASSERT_EQ(deflateInit(&s, 9), Z_OK);
    std::string out(old.size() + old.size() / 100 + 4096, '\0');
    s.next_out = reinterpret_cast<Bytef*>(&out[0]);
    s.avail_out = static_cast<uInt>(out.size());
    for (size_t at = 0; at < old.size(); at += 300000) {
      size_t k = std::min<size_t>(300000, old.size() - at);
      s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(old.data() + at));
      s.avail_in = static_cast<uInt>(k);
      ASSERT_EQ(deflate(&s, at + k < old.size() ? Z_SYNC_FLUSH : Z_FINISH),
                at + k < old.size() ? Z_OK : Z_STREAM_END);
    }
    out.resize(s.total_out);
    deflateEnd(&s);
    flushed = out;
  }
  const std::vector<Piece> pieces = {fresh("head"), old_range(0, old.size())};
  const std::string full = compress(content_of(old, pieces), 1);
  for (const std::string& old_z : {vt::zcompress(old), flushed}) {
    BlockStats stats;
    EXPECT_EQ(rewrite(old_z, pieces, 2, &stats), full);
    EXPECT_EQ(stats.reused, 0);
  }
}

}  // namespace
