// inflate_ahead.cpp -- the worker that inflates ahead, and the reader's side:
// chunk reads on request, buffers taken in order.
#include "archive/inflate_ahead.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>
#include <zlib.h>

#include "archive/block_deflate.h"
#include "base/failure.h"
#include "platform/platform.h"

namespace {

enum AheadState {
  AHEAD_RUNNING = 0,
  AHEAD_ENDED,      // Z_STREAM_END: every byte is in the published buffers
  AHEAD_DAMAGED,    // inflate refused the data
  AHEAD_SHORT,      // the input ended before the stream did
  AHEAD_READ_FAILED // the reader could not read a chunk (noted already)
};

struct Chunk {
  std::vector<unsigned char> bytes;
  uint32_t size = 0;
};

struct OutBuffer {
  std::vector<unsigned char> bytes;
  uint32_t size = 0;  // bytes published
};

}  // namespace

struct InflateAhead {
  int fd = -1;
  int64_t base = 0;
  bool want_thread = true;

  std::mutex m;
  std::condition_variable to_worker;  // input or room arrived, or stop
  std::condition_variable to_reader;  // a chunk asked for, a buffer published, an end

  // Input: chunk k lies in chunks[k % AHEAD_CHUNKS].
  Chunk chunks[AHEAD_CHUNKS];
  int64_t asked = -1;       // the highest chunk asked for
  int64_t read = -1;        // the highest chunk read (read <= asked)
  bool input_end = false;   // a chunk shorter than AHEAD_CHUNK_SIZE was read
  int64_t current = -1;     // the chunk the worker inflates from

  // Output: published buffer b lies in outs[b % AHEAD_BUFFERS].
  OutBuffer outs[AHEAD_BUFFERS];
  uint64_t published = 0;   // buffers the worker has handed over
  uint64_t taken = 0;       // buffers the reader has finished with
  uint32_t at = 0;          // the reader's position in outs[taken % AHEAD_BUFFERS]
  uint32_t filling = 0;     // bytes the worker has put in outs[published % ...]

  // Cut tracking (a rewrite's old stream): the worker notes block ends;
  // the reader hands them to the write stream on request.
  bool tracking = false;
  OldStreamCuts cuts;
  int64_t inflated = 0;      // bytes inflated so far (z.total_out, under the lock)
  int64_t handed = -1;       // position of the last cut handed over
  int64_t reader_pos = 0;    // bytes the reader has taken
  int64_t read_from = 0;     // reader_pos when the latest read began
  // The reader's sums at the cuts it has passed and at the ends of the
  // buffers it took (a cut the worker notes only after publishing the bytes
  // before it lies at a buffer's end); reader only, the recent ones kept.
  struct Mark {
    int64_t pos;
    uint32_t check;
  };
  std::deque<Mark> marks;
  int64_t want_out = -1;     // the reader waits until more than this is inflated

  // The check of a tracked stream: the worker inflates without computing
  // it (its thread does nothing but inflate); the reader sums the bytes as
  // it takes them (the sums at the cuts are wanted anyway), and the end
  // check compares that with the stream's trailer, which the worker keeps
  // when the stream ends.  An untracked stream is checked by inflate.
  uint32_t check = 1;        // Adler-32 of the bytes taken (reader only)
  uint32_t trailer = 0;      // the stream's stored Adler-32, once ENDED
  unsigned char tail[4] = {0, 0, 0, 0};  // last bytes of the chunk before the current one
  uint32_t tail_size = 0;

  int state = AHEAD_RUNNING;
  bool stop = false;
  bool started = false;
  bool threaded = false;
  bool noted = false;       // the failure has been reported

  z_stream z{};
  bool z_active = false;
  std::thread worker;
};

namespace {

// Input to go on with: bytes of the current chunk, the next chunk read, or
// no chunk to come (then inflate runs on what it holds, and says when that
// is not enough).
bool has_input(const InflateAhead& a) {
  return a.z.avail_in > 0 || a.current < a.read || a.input_end;
}

bool has_room(const InflateAhead& a) { return a.published - a.taken < AHEAD_BUFFERS; }

// Cuts and sums before this position are never asked about: the write
// stream asks about a block when it finds the block's end in bytes of the
// latest read, and a block is at most BLOCK_MAX bytes long.
int64_t keep_from(const InflateAhead& a) {
  return a.read_from - 2 * static_cast<int64_t>(BLOCK_MAX);
}

// Keeps the last bytes of a used-up chunk: the stream's trailer may begin
// there.
void keep_tail(InflateAhead& a, const Chunk& c) {
  const uint32_t n = c.size < 4 ? c.size : 4;
  // Bytes of the tail before that stay (a chunk of fewer than 4 bytes).
  const uint32_t stay = a.tail_size + n > 4 ? 4 - n : a.tail_size;
  std::memmove(a.tail, a.tail + a.tail_size - stay, stay);
  std::memcpy(a.tail + stay, c.bytes.data() + c.size - n, n);
  a.tail_size = stay + n;
}

// The Adler-32 stored at the stream's end: the 4 bytes inflate consumed
// last (big-endian).
uint32_t stored_check(const InflateAhead& a) {
  const Chunk& c = a.chunks[a.current % AHEAD_CHUNKS];
  const uint32_t used = static_cast<uint32_t>(a.z.next_in - c.bytes.data());
  unsigned char b[4] = {0, 0, 0, 0};
  const uint32_t here = used < 4 ? used : 4;
  const uint32_t before = 4 - here <= a.tail_size ? 4 - here : a.tail_size;
  std::memcpy(b + 4 - here - before, a.tail + a.tail_size - before, before);
  std::memcpy(b + 4 - here, c.bytes.data() + used - here, here);
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
         (static_cast<uint32_t>(b[2]) << 8) | b[3];
}

// Publishes the buffer being filled (when it holds anything).
void publish(InflateAhead& a) {
  if (a.filling == 0) return;
  a.outs[a.published % AHEAD_BUFFERS].size = a.filling;
  ++a.published;
  a.filling = 0;
}

// The worker's loop, called with the lock held.  With `wait` it waits for
// input and room and returns only when the stream is over or stopped (the
// worker thread); without, it returns as soon as it would wait (the reader
// inflating itself).
void inflate_while_possible(InflateAhead& a, std::unique_lock<std::mutex>& lock, bool wait) {
  while (a.state == AHEAD_RUNNING && !a.stop) {
    if (!has_input(a) || !has_room(a)) {
      if (!wait) return;
      a.to_worker.wait(lock, [&a] {
        return a.stop || a.state != AHEAD_RUNNING || (has_input(a) && has_room(a));
      });
      continue;
    }
    if (a.z.avail_in == 0 && a.current < a.read) {
      // The current chunk is used up: on to the next, and ask for the ones
      // after it, as many as the other chunk buffers hold, when this one was
      // read whole.
      if (a.current >= 0) keep_tail(a, a.chunks[a.current % AHEAD_CHUNKS]);
      const int64_t next = ++a.current;
      Chunk& c = a.chunks[next % AHEAD_CHUNKS];
      a.z.next_in = c.bytes.data();
      a.z.avail_in = c.size;
      if (c.size == AHEAD_CHUNK_SIZE && !a.input_end && a.asked < next + AHEAD_CHUNKS - 1) {
        a.asked = next + AHEAD_CHUNKS - 1;
        a.to_reader.notify_one();
      }
    }
    OutBuffer& out = a.outs[a.published % AHEAD_BUFFERS];
    a.z.next_out = out.bytes.data() + a.filling;
    a.z.avail_out = AHEAD_BUFFER_SIZE - a.filling;
    lock.unlock();
    // While tracking, inflate stops at the end of every deflate block.
    const int r = inflate(&a.z, a.tracking ? Z_BLOCK : Z_NO_FLUSH);
    lock.lock();
    a.filling = AHEAD_BUFFER_SIZE - a.z.avail_out;
    a.inflated = static_cast<int64_t>(a.z.total_out);
    if (a.tracking) {
      old_cuts_note(a.cuts, a.z, r, keep_from(a));
      if (a.want_out >= 0 && a.inflated > a.want_out) a.to_reader.notify_one();
    }
    if (r == Z_STREAM_END) {
      publish(a);
      a.trailer = stored_check(a);
      a.state = AHEAD_ENDED;
    } else if (r == Z_BUF_ERROR && a.z.avail_in == 0 && a.current == a.read && a.input_end) {
      publish(a);  // the file ends inside the stream
      a.state = AHEAD_SHORT;
    } else if (r != Z_OK && r != Z_BUF_ERROR) {
      publish(a);  // what came out before the damage may still be wanted
      a.state = AHEAD_DAMAGED;
    } else if (a.filling == AHEAD_BUFFER_SIZE) {
      publish(a);
      a.to_reader.notify_one();
    }
  }
  a.to_reader.notify_one();
}

void worker_main(InflateAhead* a) {
  std::unique_lock<std::mutex> lock(a->m);
  inflate_while_possible(*a, lock, true);
}

// Reads chunk k into its buffer (called without the lock: the worker does
// not look at that buffer until `read` says it is there).  0, or -1 with the
// failure noted.
int read_chunk(InflateAhead& a, int64_t k, uint32_t* size) {
  Chunk& c = a.chunks[k % AHEAD_CHUNKS];
  const int64_t offset = a.base + k * static_cast<int64_t>(AHEAD_CHUNK_SIZE);
  if (pf_seek(a.fd, offset, PF_SEEK_SET) != offset) return fail_system("cannot read", "");
  const int64_t got = pf_read(a.fd, c.bytes.data(), AHEAD_CHUNK_SIZE);
  if (got < 0) return fail_system("cannot read", "");
  *size = static_cast<uint32_t>(got);
  return 0;
}

// Reads every chunk asked for and not read yet.  Called and left with the
// lock held.  0, or -1 when a read failed (the worker is told).
int serve_chunks(InflateAhead& a, std::unique_lock<std::mutex>& lock) {
  // Chunks asked for are read even when the stream has ended meanwhile: the
  // reads of a run never depend on the threads' timing.
  while (a.read < a.asked && a.state != AHEAD_READ_FAILED) {
    const int64_t k = a.read + 1;
    lock.unlock();
    uint32_t size = 0;
    const int rc = read_chunk(a, k, &size);
    lock.lock();
    if (rc != 0) {
      a.noted = true;
      a.state = AHEAD_READ_FAILED;
      a.to_worker.notify_one();
      return -1;
    }
    a.chunks[k % AHEAD_CHUNKS].size = size;
    a.read = k;
    if (size < AHEAD_CHUNK_SIZE) {
      // The end of the file: nothing behind it is read.
      a.input_end = true;
      a.asked = k;
    }
    a.to_worker.notify_one();
  }
  return 0;
}

// Starts the stream on the first read: chunk 0, then the worker (or none).
int start(InflateAhead& a, std::unique_lock<std::mutex>& lock) {
  a.started = true;
  if (inflateInit(&a.z) != Z_OK) {
    a.state = AHEAD_READ_FAILED;
    a.noted = true;
    return fail_note("out of memory", "", "");
  }
  a.z_active = true;
  // The reader of a tracked stream computes the check (InflateAhead::check).
  if (a.tracking && inflateValidate(&a.z, 0) != Z_OK) {
    a.state = AHEAD_READ_FAILED;
    a.noted = true;
    return fail_note("out of memory", "", "");
  }
  a.asked = 0;
  if (serve_chunks(a, lock) != 0) return -1;
  if (a.want_thread) {
    try {
      a.worker = std::thread(worker_main, &a);
      a.threaded = true;
    } catch (const std::system_error&) {
      a.threaded = false;  // the reader inflates itself
    }
  }
  return 0;
}

// Why nothing more comes: notes a failure the reader has not noted yet.
int fail_end(InflateAhead& a) {
  if (!a.noted) {
    a.noted = true;
    if (a.state == AHEAD_DAMAGED) fail_note("damaged data", "", "(compressed data does not inflate)");
  }
  return -1;
}

// Waits for the worker's next step, or makes it itself.
void await(InflateAhead& a, std::unique_lock<std::mutex>& lock) {
  if (a.threaded) {
    a.to_reader.wait(lock, [&a] {
      return a.read < a.asked || a.published > a.taken || a.state != AHEAD_RUNNING;
    });
  } else {
    inflate_while_possible(a, lock, false);
  }
}

// Adds n bytes just taken to the reader's sum, noting it at the given
// positions (ascending, within the bytes).
void take_check(InflateAhead& a, const unsigned char* p, uint32_t n, const int64_t* splits,
                int count) {
  const int64_t start = a.reader_pos;
  int64_t done = 0;
  for (int k = 0; k < count; ++k) {
    const int64_t upto = splits[k] - start;
    a.check = static_cast<uint32_t>(adler32(a.check, p + done, static_cast<uInt>(upto - done)));
    done = upto;
    try {
      a.marks.push_back({splits[k], a.check});
    } catch (const std::bad_alloc&) {
      // Without the mark, the block's sum is simply computed again.
    }
  }
  a.check = static_cast<uint32_t>(adler32(a.check, p + done, static_cast<uInt>(n - done)));
  while (!a.marks.empty() && a.marks.front().pos < keep_from(a)) a.marks.pop_front();
}

int source_read(void* context, unsigned char* dst, uint32_t n) {
  return ahead_read(static_cast<InflateAhead*>(context), dst, n);
}

int source_check_end(void* context) { return ahead_check_end(static_cast<InflateAhead*>(context)); }

}  // namespace

void InflateAheadDeleter::operator()(InflateAhead* a) const {
  if (a == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(a->m);
    a->stop = true;
  }
  a->to_worker.notify_all();
  if (a->worker.joinable()) a->worker.join();
  if (a->z_active) inflateEnd(&a->z);
  delete a;
}

InflateAheadPtr ahead_open(int fd, int64_t offset, int threaded) {
  InflateAheadPtr a;
  try {
    a.reset(new InflateAhead());
    for (Chunk& c : a->chunks) c.bytes.assign(AHEAD_CHUNK_SIZE, 0);
    for (OutBuffer& o : a->outs) o.bytes.assign(AHEAD_BUFFER_SIZE, 0);
  } catch (const std::bad_alloc&) {
    fail_note("out of memory", "", "");
    return InflateAheadPtr();
  }
  a->fd = fd;
  a->base = offset;
  a->want_thread = threaded != 0;
  return a;
}

int ahead_read(InflateAhead* a, unsigned char* dst, uint32_t n) {
  std::unique_lock<std::mutex> lock(a->m);
  if (!a->started && start(*a, lock) != 0) return -1;
  a->read_from = a->reader_pos;
  while (n > 0) {
    if (serve_chunks(*a, lock) != 0) return -1;
    if (a->published > a->taken) {
      // A published buffer is the reader's until it is given back.
      OutBuffer& out = a->outs[a->taken % AHEAD_BUFFERS];
      const uint32_t left = out.size - a->at;
      const uint32_t piece = n < left ? n : left;
      // Where the sum is wanted inside this piece (tracking only).
      int64_t splits[8];
      int count = 0;
      if (a->tracking) {
        const int64_t from = a->reader_pos, to = a->reader_pos + piece;
        const std::deque<OldCut>& cuts = a->cuts.cuts;
        size_t k = cuts.size();
        while (k > 0 && cuts[k - 1].out > from) --k;
        for (; k < cuts.size() && cuts[k].out <= to && count < 7; ++k)
          splits[count++] = cuts[k].out;
        if (a->at + piece == out.size && (count == 0 || splits[count - 1] != to))
          splits[count++] = to;
      }
      lock.unlock();
      std::memcpy(dst, out.bytes.data() + a->at, piece);
      if (a->tracking) take_check(*a, dst, piece, splits, count);
      lock.lock();
      dst += piece;
      n -= piece;
      a->at += piece;
      a->reader_pos += piece;
      if (a->at == out.size) {
        a->at = 0;
        ++a->taken;
        a->to_worker.notify_one();
      }
      continue;
    }
    if (a->state != AHEAD_RUNNING) return fail_end(*a);
    await(*a, lock);
  }
  return 0;
}

int ahead_check_end(InflateAhead* a) {
  std::unique_lock<std::mutex> lock(a->m);
  if (!a->started && start(*a, lock) != 0) return -1;
  for (;;) {
    if (serve_chunks(*a, lock) != 0) return -1;
    if (a->published > a->taken) return -1;  // the stream goes on
    if (a->state == AHEAD_ENDED) {
      if (!a->tracking || a->check == a->trailer) return 0;
      return fail_note("damaged data", "", "(the data does not match its checksum)");
    }
    if (a->state != AHEAD_RUNNING) return fail_end(*a);
    await(*a, lock);
  }
}

int ahead_track_cuts(InflateAhead* a) {
  std::lock_guard<std::mutex> hold(a->m);
  if (a->started) return -1;
  a->tracking = true;
  a->cuts = OldStreamCuts();
  a->cuts.active = 1;
  a->cuts.fd = a->fd;
  a->cuts.base = a->base;
  return 0;
}

int ahead_cuts_sync(void* context, int64_t through, OldStreamCuts& into) {
  InflateAhead& a = *static_cast<InflateAhead*>(context);
  std::unique_lock<std::mutex> lock(a.m);
  if (!a.tracking || !a.started) return -1;
  // Until the worker has inflated past `through`, a cut there may still
  // come.  It gets there without the reader taking more: the reader has
  // taken every byte up to `through`, so the worker has room.
  while (a.inflated <= through && a.state == AHEAD_RUNNING && !a.cuts.ended) {
    if (serve_chunks(a, lock) != 0 || !has_room(a)) break;
    const int64_t before = a.inflated;
    const int64_t read_before = a.read;
    if (a.threaded) {
      a.want_out = through;
      a.to_reader.wait(lock, [&a, through] {
        return a.read < a.asked || a.inflated > through || a.state != AHEAD_RUNNING ||
               !has_room(a);
      });
      a.want_out = -1;
    } else {
      inflate_while_possible(a, lock, false);
      if (a.inflated == before && a.read == read_before && a.read == a.asked) break;
    }
  }
  // Cuts the reader has passed are handed over, each with the reader's sum
  // up to it; later ones wait for a later call.
  const OldStreamCuts& t = a.cuts;
  if (!t.active) into.active = 0;
  const int64_t upto = through < a.reader_pos ? through : a.reader_pos;
  size_t m = 0;
  for (const OldCut& c : t.cuts) {
    if (c.out <= a.handed) continue;
    if (c.out > upto) break;
    OldCut given = c;
    while (m < a.marks.size() && a.marks[m].pos < c.out) ++m;
    if (m < a.marks.size() && a.marks[m].pos == c.out) {
      given.has_check = 1;
      given.check = a.marks[m].check;
    }
    try {
      into.cuts.push_back(given);
    } catch (const std::bad_alloc&) {
      into.active = 0;
      break;
    }
    a.handed = c.out;
  }
  if (t.ended) {
    into.ended = 1;
    into.end_out = t.end_out;
    into.end_in = t.end_in;
    if (a.reader_pos == t.end_out) {
      into.end_has_check = 1;
      into.end_check = a.check;
    }
  }
  return a.inflated > through || t.ended ? 0 : -1;
}

int ahead_threaded(const InflateAhead* a) { return a->threaded ? 1 : 0; }

IndirSource ahead_source(InflateAhead* a, unsigned char* scratch, uint32_t scratch_size) {
  IndirSource s;
  s.read = source_read;
  s.check_end = source_check_end;
  s.context = a;
  s.scratch = scratch;
  s.scratch_size = scratch_size;
  return s;
}
