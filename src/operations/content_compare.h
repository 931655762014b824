// content_compare.h -- byte-for-byte comparison of two entries of the loaded
// archive, used by the duplicate finder to confirm that a pair of entries with
// equal size and CRC really holds the same bytes.
//
// The comparer never touches the shared read stream: it reads through a small
// pool of private inflaters of its own (plus direct reads for stored
// standalone entries), each seeking run.archive_fd before every read.  A
// private inflater over the directory stream only moves forward; asking for
// data behind every cursor restarts the least recently used one from the
// directory offset.  Comparing entries in the order they lie in the archive
// (the finder's order) therefore reads the directory stream a small, fixed
// number of times.  Memory is fixed: the pool, and the two chunk buffers
// handed in by the caller.
#ifndef VORN_CONTENT_COMPARE_H
#define VORN_CONTENT_COMPARE_H

#include <cstddef>
#include <cstdint>
#include <vector>
#include <zlib.h>

constexpr int COMPARE_CURSORS = 4;
constexpr uint32_t COMPARE_INPUT_SIZE = 32768;
// Bytes of in-directory entries kept in memory at once by a sweep.
constexpr uint64_t COMPARE_KEEP_BUDGET = 16u << 20;

// One private inflater over a zlib stream of the archive.
struct CompareCursor {
  z_stream z{};
  int active = 0;             // inflateInit succeeded; inflateEnd is due
  int broken = 0;             // damaged data or end of stream: restart before use
  int64_t stream_offset = -1; // file offset where its zlib stream starts
  int64_t file_position = 0;  // file offset of the next input byte to read
  uint64_t produced = 0;      // decompressed bytes produced so far
  uint64_t last_use = 0;
  std::vector<unsigned char> input;
};

struct EntryComparer {
  CompareCursor cursors[COMPARE_CURSORS];
  CompareCursor sweep;  // the forward pass of comparer_check_pairs
  // Per loaded entry: position of its data in the decompressed directory
  // stream (in-directory entries), or -1.
  std::vector<int64_t> stream_position;
  unsigned char* left = nullptr;   // caller's chunk buffers, `chunk` bytes each
  unsigned char* right = nullptr;
  uint32_t chunk = 0;
  uint64_t clock = 0;
  uint64_t keep_budget = COMPARE_KEEP_BUDGET;  // smaller in tests, to force more sweeps
  int sweeps = 0;                               // forward passes made so far

  EntryComparer() = default;
  EntryComparer(const EntryComparer&) = delete;
  EntryComparer& operator=(const EntryComparer&) = delete;
  ~EntryComparer();
};

// A 64-bit keyed hash of an entry's contents (SipHash-2-4 under a fixed
// key), fed piece by piece.  Unlike the CRC it is not linear, so entries
// made to share a size and a CRC still get different digests; the finder
// only compares bytes of entries whose size, CRC and digest all agree.
struct ContentDigest {
  uint64_t v0 = 0, v1 = 0, v2 = 0, v3 = 0;
  uint64_t tail = 0;      // bytes not yet forming a whole 8-byte word
  unsigned tail_bytes = 0;
  uint64_t total = 0;     // bytes fed so far
};

void digest_start(ContentDigest& d);
void digest_update(ContentDigest& d, const unsigned char* bytes, size_t n);
uint64_t digest_finish(ContentDigest& d);

// Prepares a comparer for the loaded table of run.archive_fd, comparing in
// chunks of `chunk` bytes through the two caller buffers.  0, or -1 when
// memory cannot be had.
int comparer_init(EntryComparer& c, unsigned char* left, unsigned char* right,
                  uint32_t chunk);

// Compares the data of loaded entries a and b: *equal becomes 1 when they
// hold the same bytes, 0 when they differ (entries of different sizes
// differ).  0, or -1 when either cannot be read or inflated or an index is
// out of range (*equal is then unchanged).
int comparer_equal(EntryComparer& c, int a, int b, int* equal);

// Checks many pairs at once.  For every entry j with prev[j] >= 0 (an
// earlier entry of the same size; every entry is the earlier one of at most
// one pair), sets (*same)[j] to 1 when the two hold equal bytes, else 0;
// entries without a pair get -1.  In-directory entries are read by forward
// sweeps of the directory stream: an earlier entry's bytes are kept in memory
// (at most keep_budget bytes at once) until its partner comes by, and
// a further sweep runs only for the pairs the budget could not hold.  Pairs
// with a standalone partner read it directly; pairs of entries larger than
// the budget go through comparer_equal.  0, or -1 on a read failure.
int comparer_check_pairs(EntryComparer& c, const std::vector<int>& prev,
                         std::vector<signed char>* same);

#endif
