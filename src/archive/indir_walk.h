// indir_walk.h -- one forward walk over the in-directory data of the loaded
// archive's directory stream.
//
// The directory stream holds the record count, the records, and then the
// data of every in-directory entry, one after the other in loaded-table
// order.  A walk hands those entries out in that order; the caller reads an
// entry (in pieces of its own choosing, never more than the entry's size,
// whatever the stream would still produce) or passes it by.  Bytes passed by
// are not read at once: they accumulate as the pending skip, which is read
// and discarded just before the next read, so that a run of entries passed
// by costs one skip and the data behind the last read costs nothing unless
// the walk is finished.  Finishing reads the stream to its end and demands
// that it ends right there with a valid Adler-32; a walk may also simply be
// given up (it holds nothing that needs releasing).  Memory is fixed: a walk
// is a few counters, and skipped bytes go through a fixed buffer.
//
// The stream is read through one of two sources:
//  - the shared read stream (streams.h), started on first need at the old
//    directory offset and read past the records (skip_directory).  Should
//    another reader take the shared stream in the middle of a walk (a
//    compressed standalone entry read between two in-directory ones), the
//    walk starts it again at the directory and steps over what it had read;
//  - a caller's own inflater (IndirSource), standing at the start of the
//    directory stream: the walk steps over the count and the records through
//    it first.  A tracked walk over its own inflater tags the bytes it copies
//    into the write stream with their position in the old stream, so that
//    the rewrite can copy unchanged compressed blocks of the old stream
//    (block_track_old).
// The loaded table's names give the records' lengths, so the records are
// never decoded again.
#ifndef VORN_INDIR_WALK_H
#define VORN_INDIR_WALK_H

#include <cstdint>

// A caller's inflater over the directory stream.
struct IndirSource {
  // Produces exactly n bytes of the decompressed stream into dst: 0, or -1 on
  // a read error, damaged data or an early end.
  int (*read)(void* context, unsigned char* dst, uint32_t n) = nullptr;
  // 0 when the stream ends right here with a valid checksum, else -1.  May be
  // nullptr: such a walk cannot be finished (indir_finish gives -1).
  int (*check_end)(void* context) = nullptr;
  void* context = nullptr;
  unsigned char* scratch = nullptr;  // room for skipped bytes, scratch_size of them
  uint32_t scratch_size = 0;
};

struct IndirWalk {
  IndirSource own;           // read == nullptr: the shared read stream
  int tracked = 0;           // copies are tagged with their old-stream position
  int64_t records = 0;       // length of the count and records (own source)
  int positioned = 0;        // the stream stands in the in-directory data
  uint64_t stream_opens = 0; // the shared stream's start count when positioned
  int next = 0;              // loaded-table index where the search goes on
  int current = -1;          // the entry handed out last, or -1
  int64_t wanted = 0;        // in-directory position of the next byte wanted
  int64_t at = 0;            // in-directory bytes the stream has produced
  uint32_t left = 0;         // bytes of the current entry not yet read
  int finished = 0;          // the stream's end checked out
  int failed = 0;            // a read or the end check failed: every call gives -1
};

// Starts a walk over the shared read stream.  Nothing is read until the
// first read, indir_position or indir_finish.
void indir_open(IndirWalk& w);

// Starts a walk over the caller's inflater, which stands at the first byte
// of the directory stream and must outlive the walk.  Nothing is read yet.
// Tracked: copies into the write stream carry their old-stream position.
void indir_open_source(IndirWalk& w, const IndirSource& source);
void indir_open_tracked(IndirWalk& w, const IndirSource& source);

// Positions the stream at the in-directory data now rather than on first
// need (a step that always reads the directory keeps its reads in order).
// Nothing happens when it stands there already.  0, or -1.
int indir_position(IndirWalk& w);

// Makes the next in-directory entry of the loaded table the current one and
// gives its index; -1 when none is left.  Whatever of the previous current
// entry was not read joins the pending skip.
int indir_next(IndirWalk& w);

// Makes loaded entry `index` the current one: it must be an in-directory
// entry not before the current one (every in-directory entry between joins
// the pending skip, as does the unread rest of the current one).  Giving the
// current entry again keeps what was read of it.  0, or -1 when the index is
// out of range, names a standalone entry or lies behind the walk.
int indir_goto(IndirWalk& w, int index);

// Bytes of the current entry not yet read (0 without a current entry).
uint32_t indir_left(const IndirWalk& w);

// Reads the next n bytes of the current entry into dst, stepping over the
// pending skip first.  0; -1 when n is more than indir_left (nothing is
// read then), or the stream cannot be positioned, read or inflated.
int indir_read(IndirWalk& w, void* dst, uint32_t n);

// Copies the rest of the current entry, after the pending skip, through the
// copy buffer into run.output_fd (copy_stream_to_raw; shared read stream
// only) or into the write stream (copy_stream_to_stream, or
// copy_reader_to_stream over the caller's inflater, tagged when the walk is
// tracked).  0, or -1.
int indir_copy_to_raw(IndirWalk& w);
int indir_copy_to_stream(IndirWalk& w);

// Reads the stream to its end, the pending skip and every byte behind the
// current entry included, and checks that it ends right there with a valid
// Adler-32.  The result is kept: finishing again gives it without reading.
// 0, or -1 (damaged data, a stream that goes on or ends early).
int indir_finish(IndirWalk& w);

#endif
