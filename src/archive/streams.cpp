// streams.cpp -- the read stream, the write stream, the copy buffer and the
// copy and skip routines.  All of their state lives in g_archive.streams.
#include "archive/streams.h"

#include <cstring>
#include <new>

#include "archive/collection.h"
#include "base/activity.h"
#include "base/failure.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "platform/platform.h"

namespace {

// Gives the vector its fixed size on first use.  0, or -1 when memory runs
// out.
int ensure_buffer(std::vector<unsigned char>& buf, uint32_t size) {
  if (buf.size() == size) return 0;
  try {
    buf.assign(size, 0);
  } catch (const std::bad_alloc&) {
    return fail_note("out of memory", "", "");
  }
  return 0;
}

void free_buffer(std::vector<unsigned char>& buf) {
  std::vector<unsigned char>().swap(buf);
}

// Runs the read stream until `n` bytes are produced at dst, the stream ends,
// the input runs out or the data is damaged.  Returns the count produced.
uint32_t inflate_produce(void* dst, uint32_t n) {
  ReadStream& rs = g_archive.streams.in;
  if (!rs.active || rs.ended || n == 0) return 0;
  rs.z.next_out = static_cast<Bytef*>(dst);
  rs.z.avail_out = n;
  for (;;) {
    if (rs.z.avail_in == 0) {
      int64_t got = pf_read(rs.fd, rs.buffer.data(), STREAM_BUFFER_SIZE);
      if (got < 0) fail_system("cannot read", "");
      if (got < 1) break;
      rs.z.next_in = rs.buffer.data();
      rs.z.avail_in = static_cast<uInt>(got);
    }
    int r = inflate(&rs.z, Z_PARTIAL_FLUSH);
    if (r == Z_STREAM_END) rs.ended = 1;
    // Room is tested before the result: the call that delivers the last
    // byte of a stream also reports its end.
    if (rs.z.avail_out == 0) break;
    if (r != Z_OK) {
      if (r != Z_STREAM_END) fail_note("damaged data", "", "(compressed data does not inflate)");
      break;
    }
  }
  uint32_t produced = n - rs.z.avail_out;
  rs.z.next_out = nullptr;
  rs.z.avail_out = 0;
  return produced;
}

enum Side { RAW, STREAM };

// Plain bytes into the write stream: read straight into the block being
// filled, each read as large as the room block_reserve offers, so that they
// are not copied on the way.
int copy_raw_into_blocks(int64_t n) {
  WriteStream& ws = g_archive.streams.out;
  while (n > 0) {
    unsigned char* dst = nullptr;
    size_t room = 0;
    if (!ws.active || block_reserve(ws, &dst, &room) != 0) return -1;
    const size_t chunk = static_cast<uint64_t>(n) < room ? static_cast<size_t>(n) : room;
    const int64_t got = pf_read(g_run.archive_fd, dst, chunk);
    if (got < 0) return fail_system("cannot read", "");
    if (got != static_cast<int64_t>(chunk))
      return fail_note("cannot read", "", "(the data ends before its recorded size)");
    if (open_temp() != 0) return -1;
    if (block_commit(ws, chunk) != 0) return -1;
    progress_bytes(static_cast<int64_t>(chunk));
    n -= static_cast<int64_t>(chunk);
  }
  return 0;
}

// The read stream as a reader of copy_reader_to_stream.
int read_stream_exactly(void*, unsigned char* dst, uint32_t n) {
  return inflate_read(dst, n) == n ? 0 : -1;
}

// The copies into the output file; those into the write stream are
// copy_raw_into_blocks and copy_reader_to_stream.
int copy_between(Side from, int64_t n) {
  unsigned char* buf = copy_buffer();
  if (buf == nullptr) return -1;
  while (n > 0) {
    uint32_t chunk = n > COPY_BUFFER_SIZE ? COPY_BUFFER_SIZE : static_cast<uint32_t>(n);
    if (from == RAW) {
      const int64_t got = pf_read(g_run.archive_fd, buf, chunk);
      if (got < 0) return fail_system("cannot read", "");
      if (got != static_cast<int64_t>(chunk))
        return fail_note("cannot read", "", "(the data ends before its recorded size)");
    } else {
      if (inflate_read(buf, chunk) != chunk)
        return fail_note("damaged data", "", "(compressed data ends before its recorded size)");
    }
    if (open_temp() != 0) return -1;
    if (pf_write(g_run.output_fd, buf, chunk) != static_cast<int64_t>(chunk))
      return fail_system("cannot write", "");
    progress_bytes(chunk);
    n -= chunk;
  }
  return 0;
}

}  // namespace

int inflate_open(int fd, int64_t offset) {
  ReadStream& rs = g_archive.streams.in;
  if (!rs.buffer.empty()) {
    if (rs.active) inflateEnd(&rs.z);
  } else if (ensure_buffer(rs.buffer, STREAM_BUFFER_SIZE) != 0) {
    return -1;
  }
  rs.active = 0;
  rs.ended = 0;
  ++rs.opens;
  std::memset(&rs.z, 0, sizeof rs.z);
  rs.fd = fd;
  if (inflateInit(&rs.z) != Z_OK) return -1;
  rs.active = 1;
  if (pf_seek(fd, offset, PF_SEEK_SET) != offset) return -1;
  return 0;
}

uint32_t inflate_read(void* dst, uint32_t n) {
  if (n == 0) return 0;
  return inflate_produce(dst, n) == n ? n : 0;
}

uint32_t inflate_read_some(void* dst, uint32_t n) { return inflate_produce(dst, n); }

int inflate_close() { return 0; }

int inflate_check_end() {
  ReadStream& rs = g_archive.streams.in;
  if (!rs.active) return -1;
  if (rs.ended) return 0;
  // Ask for one more byte: the stream must end (checking its Adler-32)
  // without producing it.
  unsigned char extra;
  if (inflate_produce(&extra, 1) != 0) return -1;
  return rs.ended ? 0 : -1;
}

uint64_t inflate_consumed() {
  const ReadStream& rs = g_archive.streams.in;
  return rs.active ? rs.z.total_in : 0;
}

namespace {

int open_write_stream(int fd, int64_t offset, int queued, int record) {
  WriteStream& ws = g_archive.streams.out;
  const bool follow = queued && block_queued(ws) && ws.fd == fd;
  if (!follow && deflate_settle() != 0) return -1;
  if (!follow && offset < 0) return -1;
  if (ws.buffer.empty() && ensure_buffer(ws.buffer, STREAM_BUFFER_SIZE) != 0) return -1;
  ws.active = 0;
  if (!follow) {
    std::memset(&ws.z, 0, sizeof ws.z);
    ws.fd = fd;
    ws.z.next_out = ws.buffer.data();
    ws.z.avail_out = STREAM_BUFFER_SIZE;
  }
  if (block_open(ws, follow ? -1 : offset, record, queued) != 0) return -1;
  ws.active = 1;
  if (!follow && pf_seek(fd, offset, PF_SEEK_SET) != offset) return -1;
  return 0;
}

}  // namespace

int deflate_open(int fd, int64_t offset) { return open_write_stream(fd, offset, 0, -1); }

int deflate_open_queued(int fd, int64_t offset, int record) {
  return open_write_stream(fd, offset, 1, record);
}

int deflate_finish_queued() {
  WriteStream& ws = g_archive.streams.out;
  if (!ws.active) return -1;
  ws.active = 0;
  return block_finish_queued(ws);
}

int deflate_settle() { return block_settle(g_archive.streams.out); }

int deflate_queued() { return block_queued(g_archive.streams.out); }

uint32_t deflate_write(const void* src, uint32_t n) {
  WriteStream& ws = g_archive.streams.out;
  if (!ws.active || n == 0) return 0;
  return block_write(ws, static_cast<const unsigned char*>(src), n, -1) == 0 ? n : 0;
}

int deflate_finish() {
  WriteStream& ws = g_archive.streams.out;
  if (!ws.active) return -1;
  return block_finish(ws);
}

int copy_raw_to_raw(int64_t n) { return copy_between(RAW, n); }
int copy_stream_to_stream(int64_t n) {
  return copy_reader_to_stream(read_stream_exactly, nullptr, n, -1);
}
int copy_raw_to_stream(int64_t n) { return copy_raw_into_blocks(n); }
int copy_stream_to_raw(int64_t n) { return copy_between(STREAM, n); }

int copy_reader_to_stream(int (*read)(void*, unsigned char*, uint32_t), void* context, int64_t n,
                          int64_t old_pos) {
  unsigned char* buf = copy_buffer();
  if (buf == nullptr) return -1;
  while (n > 0) {
    const uint32_t chunk = n > COPY_BUFFER_SIZE ? COPY_BUFFER_SIZE : static_cast<uint32_t>(n);
    if (read(context, buf, chunk) != 0)
      return fail_note("damaged data", "", "(compressed data ends before its recorded size)");
    if (open_temp() != 0) return -1;
    if (!g_archive.streams.out.active ||
        block_write(g_archive.streams.out, buf, chunk, old_pos) != 0)
      return -1;
    progress_bytes(chunk);
    if (old_pos >= 0) old_pos += chunk;
    n -= chunk;
  }
  return 0;
}

int skip_stream(int64_t n) {
  unsigned char* buf = copy_buffer();
  if (buf == nullptr) return -1;
  while (n > 0) {
    uint32_t chunk = n > COPY_BUFFER_SIZE ? COPY_BUFFER_SIZE : static_cast<uint32_t>(n);
    if (inflate_read(buf, chunk) != chunk) return -1;
    n -= chunk;
  }
  return 0;
}

unsigned char* copy_buffer() {
  std::vector<unsigned char>& copy = g_archive.streams.copy;
  if (ensure_buffer(copy, COPY_BUFFER_SIZE) != 0) return nullptr;
  return copy.data();
}

void streams_release() {
  Streams& s = g_archive.streams;
  if (!s.in.buffer.empty()) {
    if (s.in.active) inflateEnd(&s.in.z);
    free_buffer(s.in.buffer);
  }
  s.in.active = 0;
  s.in.ended = 0;
  s.in.fd = -1;
  block_release(s.out);
  free_buffer(s.out.buffer);
  s.out.active = 0;
  s.out.fd = -1;
  free_buffer(s.copy);
}
