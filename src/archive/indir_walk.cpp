// indir_walk.cpp -- the forward walk over the in-directory data, with the
// pending skip.
#include "archive/indir_walk.h"

#include "archive/archive_state.h"
#include "archive/load.h"
#include "archive/streams.h"

namespace {

bool uses_shared_stream(const IndirWalk& w) { return w.own.read == nullptr; }

const EntryRecord& loaded_record(int i) { return *g_archive.loaded.records[static_cast<size_t>(i)]; }

bool is_in_directory(int i) { return (loaded_record(i).loaded_flags & ENTRY_IN_DIRECTORY) != 0; }

int fail(IndirWalk& w) {
  w.failed = 1;
  return -1;
}

// Reads and discards n bytes through the caller's inflater.
int source_skip(const IndirSource& s, int64_t n) {
  if (n > 0 && (s.scratch == nullptr || s.scratch_size == 0)) return -1;
  while (n > 0) {
    const uint32_t piece = n > s.scratch_size ? s.scratch_size : static_cast<uint32_t>(n);
    if (s.read(s.context, s.scratch, piece) != 0) return -1;
    n -= piece;
  }
  return 0;
}

// Brings the stream to the in-directory position `wanted`: starts it at the
// directory when it is not there (or the shared stream was taken by another
// reader since), then reads the pending skip.
int settle(IndirWalk& w) {
  if (w.failed) return -1;
  if (uses_shared_stream(w)) {
    if (!w.positioned || g_archive.streams.in.opens != w.stream_opens) {
      w.positioned = 0;
      w.at = 0;
      if (skip_directory() != 0) return fail(w);
      w.stream_opens = g_archive.streams.in.opens;
      w.positioned = 1;
    }
    if (w.wanted > w.at && skip_stream(w.wanted - w.at) != 0) return fail(w);
  } else {
    if (!w.positioned) {
      w.records = directory_records_length();
      if (source_skip(w.own, w.records) != 0) return fail(w);
      w.positioned = 1;
    }
    if (w.wanted > w.at && source_skip(w.own, w.wanted - w.at) != 0) return fail(w);
  }
  w.at = w.wanted;
  return 0;
}

// The current entry's unread bytes join the pending skip.
void pass_rest(IndirWalk& w) {
  w.wanted += w.left;
  w.left = 0;
}

// A copy of the rest of the current entry by one of the stream's copy
// routines.
int copy_rest(IndirWalk& w, int (*copy)(int64_t)) {
  if (w.failed || w.current < 0 || !uses_shared_stream(w)) return -1;
  // Settled even for an empty entry: the stream's reads keep their order.
  if (settle(w) != 0) return -1;
  if (copy(w.left) != 0) return fail(w);
  w.at += w.left;
  pass_rest(w);
  return 0;
}

}  // namespace

void indir_open(IndirWalk& w) { w = IndirWalk(); }

void indir_open_source(IndirWalk& w, const IndirSource& source) {
  w = IndirWalk();
  w.own = source;
}

void indir_open_tracked(IndirWalk& w, const IndirSource& source) {
  indir_open_source(w, source);
  w.tracked = 1;
}

int indir_position(IndirWalk& w) { return settle(w); }

int indir_next(IndirWalk& w) {
  pass_rest(w);
  const int count = g_archive.loaded.count();
  while (w.next < count && !is_in_directory(w.next)) ++w.next;
  if (w.next >= count) {
    w.current = -1;
    return -1;
  }
  w.current = w.next++;
  w.left = loaded_record(w.current).size;
  return w.current;
}

int indir_goto(IndirWalk& w, int index) {
  if (index == w.current && index >= 0) return 0;
  if (index < w.next || index >= g_archive.loaded.count() || !is_in_directory(index)) return -1;
  pass_rest(w);
  for (; w.next < index; ++w.next)
    if (is_in_directory(w.next)) w.wanted += loaded_record(w.next).size;
  w.current = w.next++;
  w.left = loaded_record(w.current).size;
  return 0;
}

uint32_t indir_left(const IndirWalk& w) { return w.current < 0 ? 0 : w.left; }

int indir_read(IndirWalk& w, void* dst, uint32_t n) {
  if (w.failed || w.current < 0 || n > w.left) return -1;
  if (n == 0) return 0;
  if (settle(w) != 0) return -1;
  if (uses_shared_stream(w)) {
    if (inflate_read(dst, n) != n) return fail(w);
  } else if (w.own.read(w.own.context, static_cast<unsigned char*>(dst), n) != 0) {
    return fail(w);
  }
  w.at += n;
  w.wanted += n;
  w.left -= n;
  return 0;
}

int indir_copy_to_raw(IndirWalk& w) { return copy_rest(w, copy_stream_to_raw); }

int indir_copy_to_stream(IndirWalk& w) {
  if (uses_shared_stream(w)) return copy_rest(w, copy_stream_to_stream);
  if (w.failed || w.current < 0) return -1;
  if (settle(w) != 0) return -1;
  const int64_t old_pos = w.tracked ? w.records + w.at : -1;
  if (copy_reader_to_stream(w.own.read, w.own.context, w.left, old_pos) != 0) return fail(w);
  w.at += w.left;
  pass_rest(w);
  return 0;
}

int indir_finish(IndirWalk& w) {
  if (w.finished) return 0;
  if (w.failed) return -1;
  while (indir_next(w) >= 0) {
  }
  if (settle(w) != 0) return -1;
  int end;
  if (uses_shared_stream(w)) {
    end = inflate_check_end();
  } else {
    end = w.own.check_end != nullptr ? w.own.check_end(w.own.context) : -1;
  }
  if (end != 0) return fail(w);
  w.finished = 1;
  return 0;
}
