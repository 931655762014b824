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

enum JobState { JOB_FILLING, JOB_QUEUED, JOB_DONE };

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
  std::vector<std::thread> threads;
};

void worker_main(Pool* p) {
  z_stream z;
  const bool ready = init_raw(z) == 0;
  for (;;) {
    Job* j = nullptr;
    {
      std::unique_lock<std::mutex> lock(p->m);
      p->work.wait(lock, [p] { return p->stop || !p->queue.empty(); });
      if (p->queue.empty()) break;  // stopping, and nothing left to do
      j = p->queue.front();
      p->queue.pop_front();
    }
    const int rc = ready ? compress_job(z, *j) : -1;
    {
      std::lock_guard<std::mutex> lock(p->m);
      j->failed = rc != 0;
      j->state = JOB_DONE;
    }
    p->done.notify_all();
  }
  if (ready) deflateEnd(&z);
}

}  // namespace

struct BlockWriter {
  int threads = 0;                         // 0 until the first block_open
  std::vector<std::unique_ptr<Job>> slots; // a ring of ring_size(threads) jobs
  size_t head = 0;   // oldest dispatched job not yet written
  size_t count = 0;  // dispatched jobs not yet written
  Job* cur = nullptr;
  int cut_pending = 0;  // cur is complete; dispatched when more bytes come
  uint64_t hash = 0;
  int64_t pos = 0;      // bytes of the current stream taken so far
  uint32_t adler = 1;   // of the stream being written out
  int64_t out_pos = 0;  // file offset of the next byte written out
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
};

namespace {

// Blocks vary from BLOCK_MIN to BLOCK_MAX bytes, and some content takes
// level 9 many times longer per byte than other content; blocks are written
// in stream order, so while the oldest block is still being compressed the
// other workers need queued blocks to go on with.  Four slots per worker plus
// four keep them busy (a slot holds about 0.55 MiB): eight workers hold 36
// slots, about 20 MiB.  Beyond eight workers, one spare slot each.
size_t ring_size(int threads) {
  if (threads <= 1) return 1;
  const size_t t = static_cast<size_t>(threads);
  const size_t roomy = 4 * t + 4;
  return roomy <= 36 ? roomy : (t + 2 > 36 ? t + 2 : 36);
}

Job* new_job() {
  std::unique_ptr<Job> j(new (std::nothrow) Job());
  if (!j) return nullptr;
  j->in.reset(new (std::nothrow) unsigned char[IN_CAPACITY]);
  j->out.reset(new (std::nothrow) unsigned char[OUT_CAPACITY]);
  if (!j->in || !j->out) return nullptr;
  return j.release();
}

// Waits until the job is compressed (a job of the main thread always is).
void wait_done(BlockWriter& w, Job& j) {
  if (j.state == JOB_DONE || !w.pool) return;
  std::unique_lock<std::mutex> lock(w.pool->m);
  w.pool->done.wait(lock, [&j] { return j.state == JOB_DONE; });
}

bool is_done(BlockWriter& w, Job& j) {
  if (!w.pool) return j.state == JOB_DONE;
  std::lock_guard<std::mutex> lock(w.pool->m);
  return j.state == JOB_DONE;
}

// Waits for every dispatched job and drops them unwritten.
void drain(BlockWriter& w) {
  while (w.count > 0) {
    wait_done(w, *w.slots[w.head]);
    w.head = (w.head + 1) % w.slots.size();
    --w.count;
  }
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
    if (ws.z.avail_out == 0) {
      if (pf_write(ws.fd, ws.buffer.data(), STREAM_BUFFER_SIZE) != STREAM_BUFFER_SIZE)
        return fail_system("cannot write", "");
      ws.z.next_out = ws.buffer.data();
      ws.z.avail_out = STREAM_BUFFER_SIZE;
    }
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
    if (ws.z.avail_out == 0) {
      if (pf_write(ws.fd, ws.buffer.data(), STREAM_BUFFER_SIZE) != STREAM_BUFFER_SIZE) return -1;
      ws.z.next_out = ws.buffer.data();
      ws.z.avail_out = STREAM_BUFFER_SIZE;
    }
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
  w.adler = static_cast<uint32_t>(adler32_combine(w.adler, j.adler, static_cast<z_off_t>(j.len)));
  ++w.stats.blocks;
  if (j.reuse) {
    ++w.stats.reused;
    w.stats.reused_bytes += j.len;
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

// Whether the old stream holds this very block, compressed by this rule:
// fills in where its compressed bytes lie.
void decide_reuse(Job& j) {
  OldStreamCuts& t = g_archive.streams.in.track;
  if (!j.candidate || !t.active) return;
  const int64_t a = j.start + j.delta;
  const int64_t b = a + j.len;
  const int64_t dict_old = a < BLOCK_DICT ? a : BLOCK_DICT;
  if (a <= 0 || dict_old != j.dict) return;
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
  const int64_t from = t.cuts.front().in;
  if (end_in <= from) return;
  j.reuse = 1;
  j.reuse_fd = t.fd;
  j.reuse_from = t.base + from;
  j.reuse_len = end_in - from;
  j.adler = static_cast<uint32_t>(adler32(1L, j.in.get() + j.dict, j.len));
}

// Hands the current block on: reused, compressed here, or queued for a
// worker.  0 or -1.
int dispatch(WriteStream& ws) {
  BlockWriter& w = *ws.blocks;
  Job& j = *w.cur;
  j.reuse = 0;
  j.failed = 0;
  decide_reuse(j);
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
      if (!p->threads.empty()) w.pool = std::move(p);
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

// Starts the next block in the next free slot, with the last BLOCK_DICT
// bytes of `prev` (when there is one) as its dictionary.
int start_block(WriteStream& ws, Job* prev) {
  BlockWriter& w = *ws.blocks;
  if (w.count == w.slots.size() && retire_head(ws) != 0) return -1;
  size_t index = (w.head + w.count) % w.slots.size();
  if (!w.slots[index]) {
    Job* j = new_job();
    if (!j) return -1;
    w.slots[index].reset(j);
  }
  Job& j = *w.slots[index];
  uint32_t dict = 0;
  if (prev) {
    const uint32_t have = prev->dict + prev->len;
    dict = have < BLOCK_DICT ? have : BLOCK_DICT;
    std::memmove(j.in.get(), prev->in.get() + have - dict, dict);
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
      ws.blocks->slots.resize(ring_size(threads));
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
  v.cut_pending = 0;
  v.pos = 0;
  v.run = 0;
  if (start_block(ws, nullptr) != 0) {
    v.failed = 1;
    return -1;
  }
  v.cur->record = record;
  return 0;
}

int block_write(WriteStream& ws, const unsigned char* src, size_t n, int64_t old_pos) {
  if (!ws.blocks || ws.blocks->failed || !ws.blocks->cur) return -1;
  BlockWriter& w = *ws.blocks;
  while (n > 0) {
    if (w.cut_pending) {
      Job* done = w.cur;
      w.cut_pending = 0;
      if (dispatch(ws) != 0 || start_block(ws, done) != 0) {
        w.failed = 1;
        return -1;
      }
    }
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
  return 0;
}

namespace {

// The current block is complete and more bytes follow: hands it on and
// starts the next.  0 or -1.
int next_block(WriteStream& ws) {
  BlockWriter& w = *ws.blocks;
  Job* done = w.cur;
  w.cut_pending = 0;
  if (dispatch(ws) != 0 || start_block(ws, done) != 0) {
    w.failed = 1;
    return -1;
  }
  return 0;
}

}  // namespace

int block_reserve(WriteStream& ws, unsigned char** dst, size_t* room) {
  if (!ws.blocks || ws.blocks->failed || !ws.blocks->cur) return -1;
  BlockWriter& w = *ws.blocks;
  if (w.cut_pending && next_block(ws) != 0) return -1;
  Job& j = *w.cur;
  // A block that reaches BLOCK_MAX is cut there, so some room is always left.
  *dst = j.in.get() + j.dict + j.len;
  *room = BLOCK_MAX - j.len;
  return 0;
}

int block_commit(WriteStream& ws, size_t n) {
  if (!ws.blocks || ws.blocks->failed || !ws.blocks->cur) return -1;
  BlockWriter& w = *ws.blocks;
  if (w.cut_pending || n > BLOCK_MAX - w.cur->len) return -1;
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
    // The bytes beyond the cut begin the next block.  Its slot is another
    // job's, or with a ring of one the same buffer, where start_block has
    // put the dictionary below them (a dictionary is never longer than what
    // lies before the bytes).  Workers only read a dispatched job's input.
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
  return ws.blocks ? ws.blocks->stats : BlockStats();
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
