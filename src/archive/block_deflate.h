// block_deflate.h -- the write stream's compressor: level-9 deflate of one
// zlib stream cut into blocks that worker threads compress side by side, and
// the reuse of compressed blocks of an old stream during a rewrite.
//
// Blocks.  The uncompressed bytes of a stream are cut into blocks by a rule
// that looks at nothing but the bytes themselves (block_cut_scan): a block
// ends at the first position at least BLOCK_MIN bytes after its start where a
// rolling hash of the BLOCK_WINDOW bytes before the position has its top
// BLOCK_HASH_BITS bits clear, or after BLOCK_MAX bytes.  A block is
// compressed as raw deflate at level 9 (window bits 15, memory level 8,
// default strategy) after the last BLOCK_DICT bytes before it were set as its
// preset dictionary, in one call: sync flush for every block but the last,
// finish for the last.  The stream is the two-byte zlib header (78 DA), the
// blocks in order, and the Adler-32 of all the bytes, combined from the
// blocks' own (adler32_combine).  A sync flush ends each block on a byte
// boundary, so the blocks simply follow each other and any inflate reads the
// result as one stream.  A stream shorter than BLOCK_MIN + 1 bytes is one
// block: its bytes are exactly zlib's single-stream level-9 output.
//
// Queued streams.  Consecutive streams written one after another into the
// same file (standalone entries, each its own zlib stream) may share the
// ring: a stream ended with block_finish_queued leaves its blocks there, and
// the next one opened behind it starts filling the next free slot, so the
// workers go on with its blocks while the earlier ones are finished.  Each
// block carries whether it begins or ends its stream; the header, the blocks
// and the trailer go out strictly in order, and the offset where a stream
// begins is known only then, so a stream may name an output record whose
// offset is set at that moment.  Nothing but what the ring holds is kept,
// whatever the number of streams.
//
// Threads.  Only the thread that runs the program (the main thread) touches
// process-wide state: it reads the input, cuts the blocks, decides reuse and
// writes the output, in stream order.  Workers (std::thread, as many as the
// run's thread setting) get a job record at a time: the dictionary and the
// block in its input buffer; they fill its output buffer and its Adler-32 and
// touch nothing else.  Jobs pass between the two under one mutex.  At most
// a fixed number of blocks per thread count are in flight (four per thread
// plus four, at most 36, or threads + 2 beyond that), each with a fixed-size input and output
// buffer, so memory depends on the thread count, never on the size of what is
// compressed.  With one thread the same blocks are compressed by the main
// thread itself.
//
// Why the bytes never depend on the thread count or the timing: the cuts are
// a function of the content, every block's compressed bytes are a function
// of its dictionary and its content (one deflate call on a fresh state), and
// blocks are written in stream order whatever order they finish in.
//
// Reuse.  A rewrite reads the old directory stream through an inflater
// that runs ahead on a worker thread with cut tracking on (inflate_ahead.h):
// it records every place where one of the old stream's blocks ended
// (old_cuts_note: an empty stored block ending on a byte boundary, which is
// what the sync flush leaves), and hands those records to the write stream
// when asked (block_track_old).  The rewrite tags the bytes it moves from
// the old stream into the write stream with their old position.  When a
// finished block and the BLOCK_DICT bytes before it all came, contiguously,
// from the old stream, and the old stream had a block with exactly those
// bounds (which makes the old cut agree with this rule), the old compressed
// bytes are what compressing the block would give, so they are copied from
// the old archive instead.  The result is byte for byte the stream a full
// compression gives.
#ifndef VORN_BLOCK_DEFLATE_H
#define VORN_BLOCK_DEFLATE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <zlib.h>

constexpr uint32_t BLOCK_MIN = 64 * 1024;
constexpr uint32_t BLOCK_MAX = 256 * 1024;
constexpr uint32_t BLOCK_DICT = 32 * 1024;
constexpr uint32_t BLOCK_WINDOW = 64;
constexpr uint32_t BLOCK_HASH_BITS = 16;
// Largest thread count the command line accepts.
constexpr int MAX_THREADS = 64;

// Where a block of an old stream ended: uncompressed and compressed
// positions counted from the stream's start (the compressed one includes the
// two header bytes).
struct OldCut {
  int64_t out = 0;
  int64_t in = 0;
  int has_check = 0;   // `check` is known
  uint32_t check = 0;  // Adler-32 of the stream's first `out` bytes
};

// What an inflater learns about the old stream it inflates with cut
// tracking on.  The write stream keeps its own copy, on the main thread,
// filled by the inflater's sync routine (block_track_old).
struct OldStreamCuts {
  int active = 0;
  int fd = -1;             // the file holding the old stream
  int64_t base = 0;        // file offset of the old stream's first byte
  std::deque<OldCut> cuts; // in stream order; ones no longer needed dropped
  int64_t stop_out = 0;    // positions at the last block end inflate reported
  int64_t stop_in = 0;
  int ended = 0;           // the old stream's last block ended: its sizes
  int64_t end_out = 0;
  int64_t end_in = 0;      // compressed length up to the Adler-32
  int end_has_check = 0;   // end_check is known: the Adler-32 of all its bytes
  uint32_t end_check = 0;
};

// Records what one inflate call (made with Z_BLOCK, result r) of a tracked
// stream reached: a stop at a block end right after an empty stored block
// that ends on a byte boundary (no output since the previous block end, 4 or
// 5 bytes of input) at least BLOCK_MIN bytes after the previous cut is a cut
// of the old stream; the stop after its last block gives the sizes of its
// deflate data.  Cuts whose end lies before `keep_from` are dropped, which
// bounds the list.
void old_cuts_note(OldStreamCuts& t, const z_stream& z, int r, int64_t keep_from);

// The Adler-32 of the `len` bytes that follow a stream's first bytes, from
// the Adler-32 of those first bytes (`before`) and of both together
// (`through`): what adler32_combine(before, result, len) undoes.
uint32_t adler_between(uint32_t before, uint32_t through, int64_t len);

// Moves to `into` what the inflater has learnt of the old stream: every cut
// up to and including position `through` (of the uncompressed stream), and
// the stream's end when it was reached, each with the Adler-32 of the bytes
// up to it where known.  Called on the main
// thread; may wait for the inflater.  Returns 0, or -1 when nothing more
// will be learnt (the cuts handed over are all there is).
using OldCutsSync = int (*)(void* context, int64_t through, OldStreamCuts& into);

// Scans n bytes that follow `block_len` bytes of the current block for the
// next cut; *hash carries the rolling hash between calls (0 at a block's
// start).  Returns how many of the n bytes belong to the block: all n when
// no cut falls among them, otherwise the count up to the cut, and *cut is 1.
size_t block_cut_scan(const unsigned char* p, size_t n, uint32_t block_len, uint64_t* hash,
                      int* cut);

// The rolling hash's value for byte b (the same in every build).
uint64_t block_gear(unsigned char b);

// The worker count a thread setting means: the setting itself (1 to
// MAX_THREADS), or for 0 the machine's cores (at least 1, at most
// MAX_THREADS).
int block_thread_count(int setting);

// The write stream's block state (opaque).
struct BlockWriter;

// Routines of the write stream (streams.cpp); each works on the process's
// write stream and returns as the routine there documents.
struct WriteStream;
// Starts a new stream.  With `offset` >= 0 the stream begins at that file
// offset and the blocks of an earlier stream not yet written are abandoned;
// `queued` 1 makes it the first of queued streams.  With `offset` < 0 it
// follows, in the file, the queued streams before it (-1 when there are
// none, or one failed).  `record`, when >= 0, is the index of a record of
// the output table whose offset is set to the stream's file offset when the
// stream's first byte is written (failing the stream when that offset does
// not fit 32 bits).  0 or -1.
int block_open(WriteStream& ws, int64_t offset, int record, int queued);
// Ties the stream just opened to the old stream at `base` of `fd` whose
// bytes a rewrite copies into it: `sync` (with `context`) tells the write
// stream where the old stream's blocks ended, on demand.  0 or -1.
int block_track_old(WriteStream& ws, int fd, int64_t base, OldCutsSync sync, void* context);
// Unties it: with `keep` 1 everything the inflater knows is taken first (its
// stream was read to the end), so blocks still to come may be reused; with
// 0 no more reuse is tried.  Called before the inflater goes away.
void block_untrack_old(WriteStream& ws, int keep);
// Takes n bytes; `old_pos` is their position in the tracked old stream, or
// -1 when they come from anywhere else.  0 or -1.
int block_write(WriteStream& ws, const unsigned char* src, size_t n, int64_t old_pos);
// Filling the current block in place, for callers that read their bytes
// from a file: block_reserve gives where the next bytes go, right behind
// those the block holds, and how many to put there at most (1 to BLOCK_MAX:
// up to BLOCK_MIN and 32 KiB beyond, never past the block's end); the caller
// puts up to that many there and hands them over with block_commit.  The bytes are cut exactly as block_write would cut them:
// what lies beyond a cut is moved behind the next block's dictionary.  Bytes
// taken this way count as coming from anywhere but the tracked old stream.
// Nothing is taken until block_commit; a reservation that is never
// committed leaves the stream as it was, except that a block that was
// complete is handed on.  A reservation holds until the next block_commit,
// block_write or stream's opening.  Each 0 or -1 (block_commit also for more
// bytes than were reserved, or with no reservation held).
int block_reserve(WriteStream& ws, unsigned char** dst, size_t* room);
int block_commit(WriteStream& ws, size_t n);
// Compresses what is left, writes every block and the trailer (and those
// of the queued streams before it).  0 or -1.
int block_finish(WriteStream& ws);
// Ends the stream without waiting: its blocks stay in the ring and are
// written in order while the next stream's blocks are read and compressed.
// 0 or -1 (a failure now or of a block written later makes every later
// call of the stream fail, so it is never lost silently).
int block_finish_queued(WriteStream& ws);
// Writes everything the queued streams still hold in the ring and in the
// write stream's buffer and ends the queue; the file's position is then
// right after them.  0 (also when nothing is queued) or -1 (a write failed
// now or earlier, or a queued stream was left unfinished).
int block_settle(WriteStream& ws);
// 1 from the first queued stream's opening until the queue is settled.
int block_queued(const WriteStream& ws);
// Waits for the workers, stops them, frees every buffer (exit routine).
void block_release(WriteStream& ws);

// Figures of the write stream's current or last finished stream, for tests.
struct BlockStats {
  int64_t blocks = 0;
  int64_t reused = 0;        // blocks copied from an old stream
  int64_t reused_bytes = 0;  // their uncompressed bytes
  int64_t reused_sums = 0;   // reused blocks whose Adler-32 the inflater's sums gave
  int64_t buffer_pairs = 0;  // input and output buffer pairs the writer holds
};
BlockStats block_stats(const WriteStream& ws);

// Destroys the block state (what std::unique_ptr<BlockWriter> uses).
struct BlockWriterDeleter {
  void operator()(BlockWriter* w) const;
};

#endif
