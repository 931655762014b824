// streams.h -- the process-wide read stream, write stream and copy buffer, and
// the copy and skip routines built on them.
//
// Every compressed byte passes through one read stream (inflating a zlib
// stream found at some file offset) and one write stream (deflating at level
// 9, window bits 15, memory level 8, default strategy, into a file at some
// offset; block_deflate.h tells how it cuts its input into blocks that
// worker threads compress, and how a rewrite reuses old compressed blocks).  Both stream buffers hold STREAM_BUFFER_SIZE bytes; plain copies go
// through the COPY_BUFFER_SIZE copy buffer.  All three are allocated on first
// use and kept until the exit routine releases them (streams_release), so
// memory for entry data never grows with file or archive size.
//
// Raw sides read from run.archive_fd and write to run.output_fd (state.h).
// Callers may swap another descriptor into either for the length of a copy.
// The copy routines never seek: the caller positions source and target.
#ifndef VORN_STREAMS_H
#define VORN_STREAMS_H

#include <cstdint>
#include <memory>
#include <vector>
#include <zlib.h>

#include "archive/block_deflate.h"

constexpr uint32_t STREAM_BUFFER_SIZE = 65510;
constexpr uint32_t COPY_BUFFER_SIZE = 32760;

struct ReadStream {
  z_stream z{};
  std::vector<unsigned char> buffer;  // empty until the first inflate_open
  int fd = -1;
  int ended = 0;      // inflate reported Z_STREAM_END
  int active = 0;     // inflateInit succeeded and inflateEnd is still due
  uint64_t opens = 0; // inflate_open calls so far: a reader that positioned
                      // the stream sees whether another has taken it since
};

struct WriteStream {
  z_stream z{};       // only its output pointer and room are used
  std::vector<unsigned char> buffer;  // empty until the first deflate_open
  int fd = -1;
  int active = 0;
  std::unique_ptr<BlockWriter, BlockWriterDeleter> blocks;  // cutting and workers
};

struct Streams {
  ReadStream in;
  WriteStream out;
  std::vector<unsigned char> copy;    // empty until first needed
};

// Starts the read stream on `fd` at `offset`, abandoning any earlier one.
// 0; -1 when the buffer cannot be had or inflateInit or the seek fails.
int inflate_open(int fd, int64_t offset);
// Produces exactly n bytes into dst: returns n, or 0 (never a partial count)
// on end of input, a read error or damaged data.
uint32_t inflate_read(void* dst, uint32_t n);
// Produces up to n bytes into dst and returns how many it produced: fewer than
// n only when the stream ended, the input ran out or the data is damaged (the
// loader reads records this way, a buffer at a time).
uint32_t inflate_read_some(void* dst, uint32_t n);
// Always 0; the stream is ended by the next inflate_open or at exit.
int inflate_close();
// 0 when the current read stream ends exactly here with a valid Adler-32
// (it may need to read the rest of the stream's last bytes), -1 when more
// data follows or the end is missing or damaged.
int inflate_check_end();
// Compressed bytes the current read stream has consumed since inflate_open.
uint64_t inflate_consumed();

// Starts the write stream into `fd` at `offset`, abandoning any earlier one.
// The stream's blocks are compressed by as many worker threads as the run's
// thread setting says (block_thread_count); the bytes written never depend
// on that number.
int deflate_open(int fd, int64_t offset);
// Consumes n bytes: returns n, or 0 on a deflate error or short write.
uint32_t deflate_write(const void* src, uint32_t n);
// Finishes the stream and writes its remaining output (every block, in
// order, then the Adler-32).  0 or -1.
int deflate_finish();

// Queued streams: consecutive compressed entries written back to back into
// one file are compressed side by side (block_deflate.h).
// deflate_open_queued starts a stream into `fd`: right behind the queued
// streams when there are some (`offset` is then ignored, and may be -1), at
// `offset` otherwise.  The stream's offset becomes known only when its first
// byte is written: `record` is the index of the output-table record whose
// offset is set then (-1: none).  deflate_finish_queued ends the stream
// without waiting for its blocks.  deflate_settle writes everything still
// queued; it must come before anything else is written to the file or its
// position or length is taken, and before the file is finished.
// deflate_open settles first.  Each 0 or -1.
int deflate_open_queued(int fd, int64_t offset, int record);
int deflate_finish_queued();
int deflate_settle();
// 1 while queued streams are not all written.
int deflate_queued();

// Copy n bytes (n <= 0: nothing, success) through the copy buffer, in chunks
// of at most COPY_BUFFER_SIZE; each calls open_temp before its first write.
// copy_raw_to_stream instead reads straight into the write stream's current
// block (block_reserve), as much at a time as it offers room for.
int copy_raw_to_raw(int64_t n);        // archive_fd -> output_fd
int copy_stream_to_stream(int64_t n);  // inflate_read -> deflate_write
int copy_raw_to_stream(int64_t n);     // archive_fd -> deflate_write
int copy_stream_to_raw(int64_t n);     // inflate_read -> output_fd
// Copies n bytes that `read` produces (exactly as many as asked: 0, else -1)
// into the write stream through the copy buffer.  `old_pos` is the first
// byte's position in the old stream the write stream tracks
// (block_track_old), or -1 when the bytes come from anywhere else.  0 or -1.
int copy_reader_to_stream(int (*read)(void*, unsigned char*, uint32_t), void* context, int64_t n,
                          int64_t old_pos);
// Reads and discards n bytes of the read stream.  0 or -1.
int skip_stream(int64_t n);

// The copy buffer (COPY_BUFFER_SIZE bytes), allocated on first call; nullptr
// when it cannot be had.
unsigned char* copy_buffer();

// Ends both zlib streams, stops the worker threads and frees the buffers
// (exit routine only).
void streams_release();

#endif
