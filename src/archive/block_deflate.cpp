// block_deflate.cpp -- the block compressor of the write stream: cutting,
// the worker threads, ordered output, reuse of old compressed blocks.  The
// design (threads, blocks, why the bytes are deterministic) is described at
// the top of block_deflate.h.
#include "archive/block_deflate.h"

#include <zlib.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "archive/streams.h"
#include "base/failure.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "platform/platform.h"

namespace {

// The rolling hash's byte values: a fixed pseudo-random table (splitmix64),
// the same in every build, so that cuts never change between runs.
struct GearTable {
  uint64_t v[256];
  constexpr GearTable() : v() {
    uint64_t x = 0x76C2A1E5D39F4B08ull;
    for (int i = 0; i < 256; ++i) {
      x += 0x9E3779B97F4A7C15ull;
      uint64_t z = x;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      v[i] = z ^ (z >> 31);
    }
  }
};
constexpr GearTable GEAR;
constexpr uint64_t HASH_MASK = ~0ull << (64 - BLOCK_HASH_BITS);

// Room for the compressed form of a block of BLOCK_MAX bytes, sync flush
// included, whatever the content (stored blocks cost 5 bytes per 64 KiB).
constexpr size_t OUT_CAPACITY = BLOCK_MAX + BLOCK_MAX / 256 + 256;
constexpr size_t IN_CAPACITY = BLOCK_DICT + BLOCK_MAX;
// How far past BLOCK_MIN block_reserve offers room at a time.
constexpr uint32_t RESERVE_STEP = 32 * 1024;

enum JobState { JOB_FILLING, JOB_QUEUED, JOB_DONE };

struct Buffers {
  std::unique_ptr<unsigned char[]> in;
  std::unique_ptr<unsigned char[]> out;
};

// One block on its way: the dictionary and the block in `in`, its
// compressed bytes in `out` (or, when reused, where the old ones lie).
struct Job {
  std::unique_ptr<unsigned char[]> in;
  std::unique_ptr<unsigned char[]> out;
  uint32_t dict = 0;
  uint32_t len = 0;
  int first = 0;  // the stream's first block: the header goes before it
  int last = 0;   // the stream's last block: the trailer goes after it
  int record = -1;  // first block: the output record that takes the offset
  // Filled by whoever compresses the block.
  uint32_t out_len = 0;
  uint32_t adler = 1;
  int failed = 0;
  int state = JOB_FILLING;  // JOB_QUEUED -> JOB_DONE under the pool's mutex
  // Position in the stream, and whether the block and its dictionary came
  // contiguously from the tracked old stream (at position + delta).
  int64_t start = 0;
  int candidate = 0;
  int64_t delta = 0;
  // Reused: the old compressed bytes to copy instead.
  int reuse = 0;
  int summed = 0;  // its Adler-32 came from the old stream's sums
  int reuse_fd = -1;
  int64_t reuse_from = 0;
  int64_t reuse_len = 0;
};

// Compresses one job on the given raw-deflate state.  0 or -1.
int compress_job(z_stream& z, Job& j) {
  if (deflateReset(&z) != Z_OK) return -1;
  if (j.dict > 0 && deflateSetDictionary(&z, j.in.get(), j.dict) != Z_OK) return -1;
  z.next_in = j.in.get() + j.dict;
  z.avail_in = j.len;
  z.next_out = j.out.get();
  z.avail_out = static_cast<uInt>(OUT_CAPACITY);
  int r = deflate(&z, j.last ? Z_FINISH : Z_SYNC_FLUSH);
  bool ok = j.last ? r == Z_STREAM_END : (r == Z_OK && z.avail_in == 0 && z.avail_out > 0);
  j.out_len = static_cast<uint32_t>(OUT_CAPACITY - z.avail_out);
  j.adler = static_cast<uint32_t>(adler32(1L, j.in.get() + j.dict, j.len));
  z.next_in = nullptr;
  z.next_out = nullptr;
  return ok ? 0 : -1;
}

int init_raw(z_stream& z) {
  std::memset(&z, 0, sizeof z);
  return deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK ? 0 : -1;
}

// The workers and the queue they take jobs from.
struct Pool {
  std::mutex m;
  std::condition_variable work;
  std::condition_variable done;
  std::deque<Job*> queue;
  bool stop = false;
  int limit = 0;  // most jobs compressed at once (0: one per worker)
  int busy = 0;   // jobs being compressed
  std::vector<std::thread> threads;
};

void worker_main(Pool* p) {
  z_stream z;
  const bool ready = init_raw(z) == 0;
  for (;;) {
    Job* j = nullptr;
    {
      std::unique_lock<std::mutex> lock(p->m);
      p->work.wait(lock, [p] {
        return p->stop || (!p->queue.empty() && (p->limit == 0 || p->busy < p->limit));
      });
      if (p->queue.empty()) break;  // stopping, and nothing left to do
      j = p->queue.front();
      p->queue.pop_front();
      ++p->busy;
    }
    const int rc = ready ? compress_job(z, *j) : -1;
    {
      std::lock_guard<std::mutex> lock(p->m);
      j->failed = rc != 0;
      j->state = JOB_DONE;
      --p->busy;
    }
    p->done.notify_all();
    p->work.notify_one();  // a worker held back by the limit may go on
  }
  if (ready) deflateEnd(&z);
}

}  // namespace

struct BlockWriter {
  int threads = 0;                         // 0 until the first block_open
  std::vector<std::unique_ptr<Job>> slots; // a ring of slot_count(threads) jobs
  // Buffer pairs (a job's input and output): at most ring_size(threads)
  // exist; each is held by a job that is filled, compressed or waits to be
  // written, or lies here unused.
  std::vector<Buffers> spare;
  size_t buffers = 0;  // pairs allocated
  size_t head = 0;   // oldest dispatched job not yet written
  size_t count = 0;  // dispatched jobs not yet written
  Job* cur = nullptr;
  int cut_pending = 0;  // cur is complete; dispatched when more bytes come
  size_t reserved = 0;  // what the last block_reserve offered
  uint64_t hash = 0;
  int64_t pos = 0;      // bytes of the current stream taken so far
  uint32_t adler = 1;   // of the stream being written out
  int64_t out_pos = 0;  // file offset of the next byte written out
  int64_t unhinted = 0; // bytes written since writeback was last asked for
  int queued = 0;       // the streams are queued: finished ones may still
                        // have blocks in the ring
  int failed = 0;
  // The current run of bytes that came contiguously from the old stream.
  int run = 0;
  int64_t run_start = 0;
  int64_t run_delta = 0;
  std::unique_ptr<Pool> pool;
  z_stream z{};     // the main thread's own compressor
  int z_ready = 0;
  BlockStats stats;
  // The old stream a rewrite copies from, and how to learn more of it.
  OldStreamCuts old;
  OldCutsSync sync = nullptr;
  void* sync_context = nullptr;
};

namespace {

// Blocks vary from BLOCK_MIN to BLOCK_MAX bytes, and some content takes
// level 9 many times longer per byte than other content; blocks are written
// in stream order, so while the oldest block is still being compressed the
// other workers need queued blocks to go on with.  Four buffer pairs per
// worker plus four keep them busy (a pair holds about 0.55 MiB): eight
// workers hold 36 pairs, about 20 MiB.  Beyond eight workers, one spare pair
// each.
size_t ring_size(int threads) {
  if (threads <= 1) return 1;
  const size_t t = static_cast<size_t>(threads);
  const size_t roomy = 4 * t + 4;
  return roomy <= 36 ? roomy : (t + 2 > 36 ? t + 2 : 36);
}

// A block copied from an old stream needs no buffers once it is decided:
// it waits in a slot of its own, so that while the first blocks of a
// rewrite (the new records) are compressed, the copy of the unchanged ones
// behind them goes on (256 slots are 32 MiB of old data or more, a few
// hundred bytes each).
size_t slot_count(int threads) { return ring_size(threads) + 256; }

// Gives back the buffers of a job that no longer needs them.
void give_back(BlockWriter& w, Job& j) {
  if (!j.in) return;
  Buffers b;
  b.in = std::move(j.in);
  b.out = std::move(j.out);
  w.spare.push_back(std::move(b));  // never grows: reserved for every pair
}

// Waits until the job is compressed (a job of the main thread always is).
// The state is read under the mutex: that is what makes the worker's
// output visible here.
void wait_done(BlockWriter& w, Job& j) {
  if (!w.pool) return;
  std::unique_lock<std::mutex> lock(w.pool->m);
  w.pool->done.wait(lock, [&j] { return j.state == JOB_DONE; });
}

bool is_done(BlockWriter& w, Job& j) {
  if (!w.pool) return j.state == JOB_DONE;
  std::lock_guard<std::mutex> lock(w.pool->m);
  return j.state == JOB_DONE;
}

// Waits for every dispatched job and drops them unwritten; every buffer
// pair goes back (a job being filled is abandoned too).
void drain(BlockWriter& w) {
  while (w.count > 0) {
    wait_done(w, *w.slots[w.head]);
    w.head = (w.head + 1) % w.slots.size();
    --w.count;
  }
  for (auto& j : w.slots)
    if (j) give_back(w, *j);
}

// Long streams are written out as they go: every WRITEBACK_STEP bytes the
// system is asked to start writing the file to disk, so that the flush that
// ends a run finds little left to write.
constexpr int64_t WRITEBACK_STEP = 8 << 20;

// Writes the full write-stream buffer out.  0 or -1.
int write_buffer(WriteStream& ws) {
  if (pf_write(ws.fd, ws.buffer.data(), STREAM_BUFFER_SIZE) != STREAM_BUFFER_SIZE)
    return fail_system("cannot write", "");
  ws.z.next_out = ws.buffer.data();
  ws.z.avail_out = STREAM_BUFFER_SIZE;
  BlockWriter& w = *ws.blocks;
  w.unhinted += STREAM_BUFFER_SIZE;
  if (w.unhinted >= WRITEBACK_STEP) {
    pf_start_writeback(ws.fd);  // a hint: its result changes nothing
    w.unhinted = 0;
  }
  return 0;
}

// Puts n bytes into the write stream's buffer, writing it out each time it
// fills (always whole buffers of STREAM_BUFFER_SIZE bytes).
int emit(WriteStream& ws, const unsigned char* p, size_t n) {
  ws.blocks->out_pos += static_cast<int64_t>(n);
  while (n > 0) {
    size_t take = n < ws.z.avail_out ? n : ws.z.avail_out;
    std::memcpy(ws.z.next_out, p, take);
    ws.z.next_out += take;
    ws.z.avail_out -= static_cast<uInt>(take);
    p += take;
    n -= take;
    if (ws.z.avail_out == 0 && write_buffer(ws) != 0) return -1;
  }
  return 0;
}

// Copies old compressed bytes straight into the write stream's buffer; the
// old file's position is put back for the read stream.
int emit_reused(WriteStream& ws, const Job& j) {
  const int64_t back = pf_seek(j.reuse_fd, 0, PF_SEEK_CUR);
  if (back < 0 || pf_seek(j.reuse_fd, j.reuse_from, PF_SEEK_SET) != j.reuse_from) return -1;
  ws.blocks->out_pos += j.reuse_len;
  int64_t left = j.reuse_len;
  while (left > 0) {
    size_t take = left < ws.z.avail_out ? static_cast<size_t>(left) : ws.z.avail_out;
    if (pf_read(j.reuse_fd, ws.z.next_out, take) != static_cast<int64_t>(take)) return -1;
    ws.z.next_out += take;
    ws.z.avail_out -= static_cast<uInt>(take);
    left -= static_cast<int64_t>(take);
    if (ws.z.avail_out == 0 && write_buffer(ws) != 0) return -1;
  }
  return pf_seek(j.reuse_fd, back, PF_SEEK_SET) == back ? 0 : -1;
}

// A stream begins here: its record (when it has one) takes the offset, and
// the two-byte zlib header goes out.
int begin_stream(WriteStream& ws, const Job& j) {
  BlockWriter& w = *ws.blocks;
  if (j.record >= 0) {
    EntryTable& table = g_archive.output;
    // The offset must fit the record's 32-bit field.
    if (j.record >= table.count() || w.out_pos < 0 || w.out_pos > 0xFFFFFFFFLL)
      return fail_note("cannot store", "", "(the data area would reach 4 GiB)");
    table.records[static_cast<size_t>(j.record)]->offset = static_cast<uint32_t>(w.out_pos);
  }
  w.adler = 1;
  static const unsigned char header[2] = {0x78, 0xDA};  // deflate, 32 KiB window, level 9
  return emit(ws, header, 2);
}

// Writes the oldest dispatched job (waiting for it) and frees its slot; the
// header before a stream's first block, the trailer after its last.
int retire_head(WriteStream& ws) {
  BlockWriter& w = *ws.blocks;
  Job& j = *w.slots[w.head];
  wait_done(w, j);
  w.head = (w.head + 1) % w.slots.size();
  --w.count;
  if (j.failed) return fail_note("cannot compress", "", "");
  if (j.first && begin_stream(ws, j) != 0) return -1;
  if (j.reuse ? emit_reused(ws, j) : emit(ws, j.out.get(), j.out_len)) return -1;
  give_back(w, j);
  w.adler = static_cast<uint32_t>(adler32_combine(w.adler, j.adler, static_cast<z_off_t>(j.len)));
  ++w.stats.blocks;
  if (j.reuse) {
    ++w.stats.reused;
    w.stats.reused_bytes += j.len;
    w.stats.reused_sums += j.summed;
  }
  if (!j.last) return 0;
  const unsigned char trailer[4] = {
      static_cast<unsigned char>(w.adler >> 24), static_cast<unsigned char>(w.adler >> 16),
      static_cast<unsigned char>(w.adler >> 8), static_cast<unsigned char>(w.adler)};
  return emit(ws, trailer, 4);
}

// Writes every dispatched job, waiting for each, and what the write
// stream's buffer holds.  On failure the rest is dropped unwritten.
int retire_all(WriteStream& ws) {
  BlockWriter& w = *ws.blocks;
  while (w.count > 0) {
    if (retire_head(ws) != 0) {
      w.failed = 1;
      drain(w);
      return -1;
    }
  }
  const uint32_t have = STREAM_BUFFER_SIZE - ws.z.avail_out;
  if (have > 0 && pf_write(ws.fd, ws.buffer.data(), have) != static_cast<int64_t>(have)) {
    w.failed = 1;
    return fail_system("cannot write", "");
  }
  ws.z.next_out = ws.buffer.data();
  ws.z.avail_out = STREAM_BUFFER_SIZE;
  return 0;
}

// Writes every dispatched job that is already compressed, oldest first.
int retire_ready(WriteStream& ws) {
  BlockWriter& w = *ws.blocks;
  while (w.count > 0 && is_done(w, *w.slots[w.head]))
    if (retire_head(ws) != 0) return -1;
  return 0;
}

// Asks the inflater what it knows of the old stream up to the end of the
// block `j` came from (a candidate).  0 or -1 as the sync routine.
int learn_cuts(BlockWriter& w, const Job& j) {
  if (!w.sync) return -1;
  return w.sync(w.sync_context, j.start + j.delta + j.len, w.old);
}

// Whether the old stream holds this very block, compressed by this rule:
// fills in where its compressed bytes lie.
void decide_reuse(BlockWriter& w, Job& j) {
  OldStreamCuts& t = w.old;
  if (!j.candidate || !t.active) return;
  const int64_t a = j.start + j.delta;
  const int64_t b = a + j.len;
  const int64_t dict_old = a < BLOCK_DICT ? a : BLOCK_DICT;
  if (a <= 0 || dict_old != j.dict) return;
  // Whatever the inflater cannot tell (any more) simply means no reuse.
  learn_cuts(w, j);
  while (!t.cuts.empty() && t.cuts.front().out < a) t.cuts.pop_front();
  if (t.cuts.empty() || t.cuts.front().out != a) return;
  int64_t end_in;
  if (!j.last) {
    if (t.cuts.size() < 2 || t.cuts[1].out != b) return;
    end_in = t.cuts[1].in;
  } else {
    // The old block was the last one too: its stream ended right after it.
    if (!t.ended || t.end_out != b || t.cuts.size() != 1) return;
    end_in = t.end_in;
  }
  const OldCut& start = t.cuts.front();
  if (end_in <= start.in) return;
  j.reuse = 1;
  j.reuse_fd = t.fd;
  j.reuse_from = t.base + start.in;
  j.reuse_len = end_in - start.in;
  // The block's bytes are the old stream's between the two cuts: their sum
  // follows from the old stream's sums up to each, when the inflater knows
  // them.
  const int end_known = j.last ? t.end_has_check : t.cuts[1].has_check;
  const uint32_t end_check = j.last ? t.end_check : t.cuts[1].check;
  j.summed = start.has_check && end_known;
  if (j.summed)
    j.adler = adler_between(start.check, end_check, j.len);
  else
    j.adler = static_cast<uint32_t>(adler32(1L, j.in.get() + j.dict, j.len));
}

// While an old stream is inflated ahead for a rewrite, one worker fewer
// compresses at a time (at least one): the inflater, which every copied
// block waits for, keeps a core of its own, and the few blocks a rewrite
// compresses meanwhile (new records, blocks around a change) wait in the
// ring without holding the copy up.
void set_limit(BlockWriter& w) {
  if (!w.pool) return;
  {
    std::lock_guard<std::mutex> lock(w.pool->m);
    w.pool->limit = w.sync && w.threads > 1 ? w.threads - 1 : 0;
  }
  w.pool->work.notify_all();
}

// Hands the current block on: reused, compressed here, or queued for a
// worker.  0 or -1.
int dispatch(WriteStream& ws) {
  BlockWriter& w = *ws.blocks;
  Job& j = *w.cur;
  j.reuse = 0;
  j.summed = 0;
  j.failed = 0;
  decide_reuse(w, j);
  if (!j.reuse && w.threads > 1 && !w.pool) {
    std::unique_ptr<Pool> p(new (std::nothrow) Pool());
    if (p) {
      for (int i = 0; i < w.threads; ++i) {
        try {
          p->threads.emplace_back(worker_main, p.get());
        } catch (...) {
          break;  // fewer workers, or none: the main thread compresses
        }
      }
      if (!p->threads.empty()) {
        w.pool = std::move(p);
        set_limit(w);
      }
    }
  }
  if (j.reuse) {
    j.state = JOB_DONE;
  } else if (w.pool) {
    {
      std::lock_guard<std::mutex> lock(w.pool->m);
      j.state = JOB_QUEUED;
      w.pool->queue.push_back(&j);
    }
    w.pool->work.notify_one();
  } else {
    if (!w.z_ready) {
      if (init_raw(w.z) != 0) return -1;
      w.z_ready = 1;
    }
    j.failed = compress_job(w.z, j) != 0;
    j.state = JOB_DONE;
  }
  w.cur = nullptr;
  ++w.count;
  return retire_ready(ws);
}

// The block before the one being started: where its bytes lie (taken
// before it was handed on; its buffer may have gone back since, but nothing
// writes into it before the next block has its dictionary).
struct PrevBlock {
  Job* job = nullptr;
  const unsigned char* data = nullptr;  // its dictionary and bytes
  uint32_t have = 0;                    // their count
};

PrevBlock prev_of(Job* j) {
  PrevBlock p;
  p.job = j;
  p.data = j->in.get();
  p.have = j->dict + j->len;
  return p;
}

// Gets the new job a buffer pair: the previous block's when it was copied
// from an old stream (it needs none), an unused one, a new one while fewer
// than ring_size exist, or the one the oldest job gives back once written.
int take_buffers(WriteStream& ws, Job& j, Job* prev) {
  BlockWriter& w = *ws.blocks;
  if (prev && prev != &j && prev->reuse && prev->in) {
    j.in = std::move(prev->in);
    j.out = std::move(prev->out);
    return 0;
  }
  if (w.spare.empty() && w.buffers < ring_size(w.threads)) {
    Buffers b;
    b.in.reset(new (std::nothrow) unsigned char[IN_CAPACITY]);
    b.out.reset(new (std::nothrow) unsigned char[OUT_CAPACITY]);
    if (!b.in || !b.out) return fail_note("out of memory", "", "");
    ++w.buffers;
    w.spare.push_back(std::move(b));
  }
  while (w.spare.empty()) {
    if (w.count == 0) return -1;  // every pair is lost: cannot happen
    if (retire_head(ws) != 0) return -1;
  }
  j.in = std::move(w.spare.back().in);
  j.out = std::move(w.spare.back().out);
  w.spare.pop_back();
  return 0;
}

// Starts the next block in the next free slot, with the last BLOCK_DICT
// bytes of `prev` (when there is one) as its dictionary.
int start_block(WriteStream& ws, const PrevBlock* prev) {
  BlockWriter& w = *ws.blocks;
  if (w.count == w.slots.size() && retire_head(ws) != 0) return -1;
  size_t index = (w.head + w.count) % w.slots.size();
  if (!w.slots[index]) {
    w.slots[index].reset(new (std::nothrow) Job());
    if (!w.slots[index]) return -1;
  }
  Job& j = *w.slots[index];
  if (!j.in && take_buffers(ws, j, prev ? prev->job : nullptr) != 0) return -1;
  uint32_t dict = 0;
  if (prev) {
    dict = prev->have < BLOCK_DICT ? prev->have : BLOCK_DICT;
    std::memmove(j.in.get(), prev->data + prev->have - dict, dict);
  }
  j.dict = dict;
  j.len = 0;
  j.first = prev ? 0 : 1;
  j.last = 0;
  j.record = -1;
  j.candidate = 0;
  j.start = w.pos;
  j.state = JOB_FILLING;
  w.cur = &j;
  w.hash = 0;
  return 0;
}

// Notes where the next n bytes came from.
void note_source(BlockWriter& w, int64_t old_pos) {
  if (old_pos < 0) {
    w.run = 0;
    return;
  }
  if (w.run && w.run_delta == old_pos - w.pos) return;
  w.run = 1;
  w.run_start = w.pos;
  w.run_delta = old_pos - w.pos;
}

// The current block is complete: can it be found in the old stream?
void mark_candidate(BlockWriter& w) {
  Job& j = *w.cur;
  j.candidate = w.run && w.run_start <= j.start - static_cast<int64_t>(j.dict);
  j.delta = w.run_delta;
}

}  // namespace

size_t block_cut_scan(const unsigned char* p, size_t n, uint32_t block_len, uint64_t* hash,
                      int* cut) {
  *cut = 0;
  if (block_len >= BLOCK_MAX) {
    *cut = 1;
    return 0;
  }
  size_t limit = BLOCK_MAX - block_len;
  if (limit > n) limit = n;
  // Only the BLOCK_WINDOW bytes before a position decide about a cut there,
  // and no cut comes before BLOCK_MIN: earlier bytes need no hashing.
  const uint32_t first = BLOCK_MIN - BLOCK_WINDOW;
  size_t i = 0;
  if (block_len < first) {
    i = first - block_len;
    if (i >= limit) return n;
    *hash = 0;
  }
  uint64_t h = *hash;
  // The hash at a position is a sum of the BLOCK_WINDOW bytes up to it
  // (older ones are shifted out of its 64 bits), so a long range is hashed
  // as two halves side by side: the second half's chain starts from the
  // BLOCK_WINDOW bytes before it.  Two independent chains run about twice
  // as fast as one; the first cut found is the same.
  const size_t span = limit - i;
  if (span >= 8 * BLOCK_WINDOW) {
    const size_t half = span / 2;
    const size_t m = i + half;
    uint64_t g = 0;
    for (size_t j = m - BLOCK_WINDOW; j < m; ++j) g = (g << 1) + GEAR.v[p[j]];
    size_t later = 0;  // the second half's first cut (+1), or 0
    uint64_t later_hash = 0;
    for (size_t k = 0; k < half; ++k) {
      h = (h << 1) + GEAR.v[p[i + k]];
      g = (g << 1) + GEAR.v[p[m + k]];
      if ((h & HASH_MASK) == 0 && block_len + i + k + 1 >= BLOCK_MIN) {
        *hash = h;
        *cut = 1;
        return i + k + 1;
      }
      if ((g & HASH_MASK) == 0 && later == 0 && block_len + m + k + 1 >= BLOCK_MIN) {
        later = m + k + 1;
        later_hash = g;
      }
    }
    if (later != 0) {
      *hash = later_hash;
      *cut = 1;
      return later;
    }
    // No cut in the first half: on from where the second half's chain is.
    i = m + half;
    h = g;
  }
  for (; i < limit; ++i) {
    h = (h << 1) + GEAR.v[p[i]];
    if ((h & HASH_MASK) == 0 && block_len + i + 1 >= BLOCK_MIN) {
      *hash = h;
      *cut = 1;
      return i + 1;
    }
  }
  *hash = h;
  if (block_len + limit == BLOCK_MAX) {
    *cut = 1;
    return limit;
  }
  return n;
}

uint64_t block_gear(unsigned char b) { return GEAR.v[b]; }

int block_thread_count(int setting) {
  if (setting >= 1) return setting > MAX_THREADS ? MAX_THREADS : setting;
  unsigned cores = std::thread::hardware_concurrency();
  if (cores < 1) return 1;
  return cores > static_cast<unsigned>(MAX_THREADS) ? MAX_THREADS : static_cast<int>(cores);
}

int block_open(WriteStream& ws, int64_t offset, int record, int queued) {
  const int threads = block_thread_count(g_settings.threads);
  const bool follow = offset < 0;
  if (follow) {
    // Right behind the streams still queued: their blocks stay in the ring.
    if (!ws.blocks || !ws.blocks->queued || ws.blocks->failed || ws.blocks->cur ||
        ws.blocks->threads != threads)
      return -1;
  } else {
    if (!ws.blocks) {
      ws.blocks.reset(new (std::nothrow) BlockWriter());
      if (!ws.blocks) return -1;
    }
    drain(*ws.blocks);
    if (threads != ws.blocks->threads) {
      // Another thread count: new workers and slots.
      ws.blocks.reset(new (std::nothrow) BlockWriter());
      if (!ws.blocks) return -1;
      ws.blocks->threads = threads;
      try {
        ws.blocks->slots.resize(slot_count(threads));
        ws.blocks->spare.reserve(ring_size(threads));
      } catch (const std::bad_alloc&) {
        ws.blocks.reset();
        return fail_note("out of memory", "", "");
      }
    }
    BlockWriter& v = *ws.blocks;
    v.head = 0;
    v.count = 0;
    v.adler = 1;
    v.out_pos = offset;
    v.queued = queued;
    v.failed = 0;
    v.stats = BlockStats();
  }
  BlockWriter& v = *ws.blocks;
  v.old = OldStreamCuts();
  v.sync = nullptr;
  v.sync_context = nullptr;
  set_limit(v);
  v.cut_pending = 0;
  v.reserved = 0;
  v.pos = 0;
  v.run = 0;
  if (start_block(ws, nullptr) != 0) {
    v.failed = 1;
    return -1;
  }
  v.cur->record = record;
  return 0;
}

int block_track_old(WriteStream& ws, int fd, int64_t base, OldCutsSync sync, void* context) {
  if (!ws.blocks || !ws.blocks->cur || fd < 0 || base < 0) return -1;
  BlockWriter& w = *ws.blocks;
  w.old = OldStreamCuts();
  w.old.active = 1;
  w.old.fd = fd;
  w.old.base = base;
  w.sync = sync;
  w.sync_context = context;
  set_limit(w);
  return 0;
}

void block_untrack_old(WriteStream& ws, int keep) {
  if (!ws.blocks) return;
  BlockWriter& w = *ws.blocks;
  if (keep && w.sync) w.sync(w.sync_context, INT64_MAX, w.old);
  if (!keep) w.old = OldStreamCuts();
  w.sync = nullptr;
  w.sync_context = nullptr;
  set_limit(w);
}

uint32_t adler_between(uint32_t before, uint32_t through, int64_t len) {
  // adler32_combine gives, modulo 65521: low = low1 + low2 - 1 and
  // high = high1 + high2 + len * (low1 - 1); solved here for low2 and high2.
  const int64_t base = 65521;
  const int64_t low1 = before & 0xFFFF, high1 = before >> 16;
  const int64_t low = through & 0xFFFF, high = through >> 16;
  const int64_t rem = len % base;
  const int64_t low2 = ((low - low1 + 1) % base + base) % base;
  const int64_t high2 = ((high - high1 - rem * (low1 - 1)) % base + base) % base;
  return static_cast<uint32_t>(low2 | (high2 << 16));
}

void old_cuts_note(OldStreamCuts& t, const z_stream& z, int r, int64_t keep_from) {
  if (r != Z_OK || !(z.data_type & 128) || t.ended) return;
  const int64_t out = static_cast<int64_t>(z.total_out);
  const int64_t in = static_cast<int64_t>(z.total_in);
  if (z.data_type & 64) {
    // Right after the last block: the deflate data ends in this byte.
    t.ended = 1;
    t.end_out = out;
    t.end_in = in;
    return;
  }
  // Blocks of this rule are BLOCK_MIN bytes or longer: closer flush points
  // are another writer's, and are not kept.  The last cut is kept whatever
  // `keep_from` says: the next one is measured from it.
  while (t.cuts.size() > 1 && t.cuts.front().out < keep_from) t.cuts.pop_front();
  const int64_t previous = t.cuts.empty() ? 0 : t.cuts.back().out;
  if ((z.data_type & 7) == 0 && out == t.stop_out && (in - t.stop_in == 4 || in - t.stop_in == 5) &&
      out - previous >= static_cast<int64_t>(BLOCK_MIN)) {
    OldCut c;
    c.out = out;
    c.in = in;
    try {
      t.cuts.push_back(c);
    } catch (const std::bad_alloc&) {
      t.active = 0;  // no more reuse; the copy itself goes on
    }
  }
  t.stop_out = out;
  t.stop_in = in;
}

namespace {

// The current block is complete and more bytes follow: hands it on and
// starts the next.  0 or -1.
int next_block(WriteStream& ws) {
  BlockWriter& w = *ws.blocks;
  const PrevBlock done = prev_of(w.cur);
  w.cut_pending = 0;
  if (dispatch(ws) != 0 || start_block(ws, &done) != 0) {
    w.failed = 1;
    return -1;
  }
  return 0;
}

}  // namespace

int block_write(WriteStream& ws, const unsigned char* src, size_t n, int64_t old_pos) {
  if (!ws.blocks || ws.blocks->failed || !ws.blocks->cur) return -1;
  BlockWriter& w = *ws.blocks;
  w.reserved = 0;  // the room it offered now holds these bytes
  while (n > 0) {
    if (w.cut_pending && next_block(ws) != 0) return -1;
    int cut = 0;
    size_t take = block_cut_scan(src, n, w.cur->len, &w.hash, &cut);
    note_source(w, old_pos);
    std::memcpy(w.cur->in.get() + w.cur->dict + w.cur->len, src, take);
    w.cur->len += static_cast<uint32_t>(take);
    w.pos += static_cast<int64_t>(take);
    src += take;
    n -= take;
    if (old_pos >= 0) old_pos += static_cast<int64_t>(take);
    if (cut) {
      mark_candidate(w);
      w.cut_pending = 1;
    }
  }
  // A block that ends with these bytes is handed on only when more bytes
  // come, and the old stream may be read far past it before they do (a
  // deleted entry is stepped over), by when the inflater has let go of the
  // cuts around it.  Those are taken now, while the reader stands at the
  // block's end, so that whether the block is copied never depends on what
  // follows it or on the inflater's pace.
  if (w.cut_pending && w.cur->candidate) learn_cuts(w, *w.cur);
  return 0;
}

int block_reserve(WriteStream& ws, unsigned char** dst, size_t* room) {
  if (!ws.blocks || ws.blocks->failed || !ws.blocks->cur) return -1;
  BlockWriter& w = *ws.blocks;
  if (w.cut_pending && next_block(ws) != 0) return -1;
  Job& j = *w.cur;
  // A block that reaches BLOCK_MAX is cut there, so some room is always left.
  // Past BLOCK_MIN a cut may come at any byte, and what lies beyond it is
  // moved to the next block: bytes are asked for RESERVE_STEP at a time
  // there, so that little is moved (a whole block's rest would be, on
  // average, half a block).
  const uint32_t reach = (j.len < BLOCK_MIN ? BLOCK_MIN - j.len : 0) + RESERVE_STEP;
  *dst = j.in.get() + j.dict + j.len;
  *room = BLOCK_MAX - j.len < reach ? BLOCK_MAX - j.len : reach;
  w.reserved = *room;
  return 0;
}

int block_commit(WriteStream& ws, size_t n) {
  if (!ws.blocks || ws.blocks->failed || !ws.blocks->cur) return -1;
  BlockWriter& w = *ws.blocks;
  if (w.cut_pending || n > w.reserved || n > BLOCK_MAX - w.cur->len) return -1;
  w.reserved = 0;
  note_source(w, -1);
  while (n > 0) {
    Job& j = *w.cur;
    unsigned char* p = j.in.get() + j.dict + j.len;
    int cut = 0;
    const size_t take = block_cut_scan(p, n, j.len, &w.hash, &cut);
    j.len += static_cast<uint32_t>(take);
    w.pos += static_cast<int64_t>(take);
    n -= take;
    if (!cut) continue;
    mark_candidate(w);
    if (n == 0) {
      // Whether this block is the stream's last is known only later.
      w.cut_pending = 1;
      break;
    }
    // The bytes beyond the cut begin the next block.  Its buffer is another
    // one, or (when the only pair went back as the block was written) the
    // same, where start_block has put the dictionary below them (a
    // dictionary is never longer than what lies before the bytes).  Workers
    // only read a dispatched job's block, never what lies beyond it.
    const unsigned char* rest = p + take;
    if (next_block(ws) != 0) return -1;
    std::memmove(w.cur->in.get() + w.cur->dict, rest, n);
  }
  return 0;
}

namespace {

// Hands the current stream's last block on.  0 or -1.
int end_stream(WriteStream& ws) {
  if (!ws.blocks || ws.blocks->failed || !ws.blocks->cur) return -1;
  BlockWriter& w = *ws.blocks;
  if (!w.cut_pending) mark_candidate(w);
  w.cur->last = 1;
  w.cut_pending = 0;
  if (dispatch(ws) != 0) {
    w.failed = 1;
    return -1;
  }
  return 0;
}

}  // namespace

int block_finish(WriteStream& ws) {
  if (end_stream(ws) != 0 || retire_all(ws) != 0) return -1;
  ws.blocks->queued = 0;
  return 0;
}

int block_finish_queued(WriteStream& ws) { return end_stream(ws); }

int block_settle(WriteStream& ws) {
  if (!ws.blocks || !ws.blocks->queued) return 0;
  BlockWriter& w = *ws.blocks;
  // A queued stream never finished, or a block that failed, leaves the file
  // incomplete.
  if (w.failed || w.cur) {
    w.failed = 1;
    drain(w);
    return -1;
  }
  if (retire_all(ws) != 0) return -1;
  w.queued = 0;
  return 0;
}

int block_queued(const WriteStream& ws) { return ws.blocks && ws.blocks->queued ? 1 : 0; }

void block_release(WriteStream& ws) { ws.blocks.reset(); }

BlockStats block_stats(const WriteStream& ws) {
  if (!ws.blocks) return BlockStats();
  BlockStats s = ws.blocks->stats;
  s.buffer_pairs = static_cast<int64_t>(ws.blocks->buffers);
  return s;
}

void BlockWriterDeleter::operator()(BlockWriter* w) const {
  if (!w) return;
  // Workers finish what they hold (their results are dropped), then stop.
  drain(*w);
  if (w->pool) {
    {
      std::lock_guard<std::mutex> lock(w->pool->m);
      w->pool->stop = true;
    }
    w->pool->work.notify_all();
    for (auto& t : w->pool->threads) t.join();
  }
  if (w->z_ready) deflateEnd(&w->z);
  delete w;
}
