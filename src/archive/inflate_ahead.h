// inflate_ahead.h -- one zlib stream of the archive inflated ahead of its
// reader by a worker thread, so that inflating and writing files overlap.
//
// The reader (the thread that calls the routines below; the main thread)
// takes the stream's bytes in order.  A worker thread inflates them into a
// ring of AHEAD_BUFFERS output buffers of AHEAD_BUFFER_SIZE bytes, waiting
// while every buffer holds bytes the reader has not taken.  The worker
// touches neither the file nor anything of the run: the compressed bytes are
// read by the reader's thread, in chunks of AHEAD_CHUNK_SIZE at fixed
// offsets from the stream's start, into AHEAD_CHUNKS chunk buffers.  Chunk 0
// is read at the first read; when the worker starts on chunk k and chunk k
// was read whole (a shorter chunk is the end of the file), the chunks up to
// k + AHEAD_CHUNKS - 1 are asked for, and the reader reads them at its next
// calls, stopping at the end of the file.  So the file calls of a run (one
// seek and one read per chunk) are the same whatever the timing of the two
// threads, and the same as when no thread can be started: the reader then
// inflates itself, between its own reads.  Several chunks ahead, the worker
// does not wait for input when the reader is busy elsewhere for a moment.
// Memory is fixed (about 1.6 MiB) whatever the stream's size.
//
// The Adler-32 of a tracked stream (ahead_track_cuts) is summed by the
// reader over the bytes it takes (they are in its cache then, and the sums
// at the stream's cuts are wanted), not by the worker, whose inflating is
// what a rewrite waits for; the end check compares the sum with the
// stream's trailer.  Inflate checks an untracked stream itself.
//
// Failures are reported (fail_system, fail_note) by the reader, in its own
// thread.
#ifndef VORN_INFLATE_AHEAD_H
#define VORN_INFLATE_AHEAD_H

#include <cstdint>
#include <memory>

#include "archive/block_deflate.h"
#include "archive/indir_walk.h"

constexpr uint32_t AHEAD_CHUNK_SIZE = 128 * 1024;
constexpr int AHEAD_CHUNKS = 4;
constexpr uint32_t AHEAD_BUFFER_SIZE = 256 * 1024;
constexpr int AHEAD_BUFFERS = 4;

struct InflateAhead;
struct InflateAheadDeleter {
  void operator()(InflateAhead* a) const;  // stops and joins the worker
};
using InflateAheadPtr = std::unique_ptr<InflateAhead, InflateAheadDeleter>;

// Prepares the zlib stream that starts at `offset` of the open file `fd`.
// Nothing is read and no thread started until the first ahead_read.  With
// `threaded` 0 the reader always inflates itself (the same reads, the same
// results).  nullptr when memory cannot be had (failure noted).
InflateAheadPtr ahead_open(int fd, int64_t offset, int threaded = 1);

// Takes exactly the next n bytes of the inflated stream into dst.  0; -1
// when the stream ends first, is damaged, or a read fails: every later call
// then gives -1 too.
int ahead_read(InflateAhead* a, unsigned char* dst, uint32_t n);

// 0 when the stream ends right after the bytes taken so far, with a valid
// Adler-32; -1 when more data follows, or the end is missing or damaged.
int ahead_check_end(InflateAhead* a);

// Turns cut tracking on, before the first read: the worker then notes
// where the stream's deflate blocks end (old_cuts_note), for a rewrite that
// copies the unchanged compressed blocks of this stream.  0, or -1 when the
// stream was read already.
int ahead_track_cuts(InflateAhead* a);

// The write stream's sync routine (OldCutsSync) over a tracked stream;
// `context` is the InflateAhead.  Hands over the cuts not handed yet, after
// waiting until the worker has inflated past `through` (reading the chunks
// it asks for meanwhile), or the stream ended or failed.  0, or -1 when the
// cuts handed over cannot reach `through`.
int ahead_cuts_sync(void* context, int64_t through, OldStreamCuts& into);

// 1 when the worker thread runs (or ran) for this stream, 0 when the reader
// inflates itself.
int ahead_threaded(const InflateAhead* a);

// An IndirSource over the stream (indir_open_source), which must stand at
// the directory stream's start; `scratch` (scratch_size bytes) takes the
// bytes the walk skips.
IndirSource ahead_source(InflateAhead* a, unsigned char* scratch, uint32_t scratch_size);

#endif
