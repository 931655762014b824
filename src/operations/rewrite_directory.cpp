// rewrite_directory.cpp -- rewrite steps 6 to 12: the in-directory records,
// the directory stream with the in-directory data behind the records, the
// trailer and the MZ checksum.
#include "operations/rewrite.h"

#include "archive/collection.h"
#include "archive/inflate_ahead.h"
#include "archive/indir_walk.h"
#include "archive/streams.h"
#include "operations/rewrite_internal.h"
#include "base/activity.h"
#include "base/failure.h"
#include "platform/platform.h"

using namespace rewrite_detail;

namespace {

// An in-directory entry that keeps its record as it was (offset set later).
int keep_in_directory_record(const EntryRecord& e) {
  return add_output_record(e.name.c_str(), 0, e.size, e.key_hash, e.flags, 1);
}

// Plans the record of one loaded entry that no earlier step dealt with.
int plan_loaded_entry(int i, bool in_directory) {
  EntryRecord& e = loaded_entry(i);
  int j = entry_spec(i);
  if (j < 0) return in_directory ? keep_in_directory_record(e) : 0;
  FileSpec& s = spec_at(j);
  if ((s.flags & SPEC_HANDLED) || !(s.flags & SPEC_IN_DIRECTORY)) {
    // Whatever the spec was, an in-directory entry that reaches this point
    // still has its data in the old stream, which step 8 copies: it keeps
    // its record.  A standalone one was carried over by step 2.
    if (in_directory) {
      // A handled spec no longer acts on the entry (its key is not applied).
      if (!(s.flags & SPEC_HANDLED)) key_check(i, j);
      return keep_in_directory_record(e);
    }
    return 0;
  }
  if (!key_check(i, j)) {
    s.flags |= SPEC_HANDLED;
    return in_directory ? keep_in_directory_record(e) : 0;
  }
  if (s.flags & SPEC_DELETE) {
    e.flags |= ENTRY_DONE;  // removed: no record, and step 8 skips its data
    s.flags |= SPEC_HANDLED;
    return 0;
  }
  // Re-recorded under the spec's settings; its data follows in step 8
  // (in-directory) or step 9 (standalone).
  if (add_output_record(s.name.c_str(), 0, e.size, s.new_key, entry_flags_from_spec(s, true),
                        (s.flags & SPEC_KEEP_PATH) ? 1 : 0) != 0)
    return -1;
  s.flags |= SPEC_QUEUED;
  return 0;
}

// Writes a run of record bytes into the directory stream.
int put_stream(const std::string& bytes) {
  if (bytes.empty()) return 0;
  uint32_t n = static_cast<uint32_t>(bytes.size());
  return deflate_write(bytes.data(), n) == n ? 0 : -1;
}

}  // namespace

int plan_in_directory_entries() {
  // Loaded entries: in-directory ones first, then standalone ones, each in
  // table order.
  for (int pass = 0; pass < 2; ++pass) {
    const bool in_directory = (pass == 0);
    for (int i = 0; i < g_archive.loaded.count(); ++i) {
      const EntryRecord& e = loaded_entry(i);
      if (loaded_in_directory(e) != in_directory || (e.flags & ENTRY_DONE)) continue;
      if (open_temp() != 0) return -1;
      if (plan_loaded_entry(i, in_directory) != 0) return -1;
    }
  }
  // New files stored in the directory stream, in spec order.
  for (int j = 0; j < g_archive.specs.count(); ++j) {
    FileSpec& s = spec_at(j);
    if (!(s.flags & SPEC_IN_DIRECTORY) || !(s.flags & SPEC_ADD)) continue;
    if (s.flags & (SPEC_MODIFY | SPEC_HANDLED | SPEC_QUEUED)) continue;
    int64_t length = 0;
    if (length_to_record(s, &length) != 0) return -1;
    progress_add_total(length);
    if (add_output_record(s.name.c_str(), 0, static_cast<uint32_t>(length), s.new_key,
                          entry_flags_from_spec(s, true),
                          (s.flags & SPEC_KEEP_PATH) ? 1 : 0) != 0)
      return -1;
    s.flags |= SPEC_QUEUED;
  }
  // Offsets within the in-directory data.
  int64_t sum = 0;
  for (EntryRecord* rec : g_archive.output.records) {
    if (!(rec->flags & ENTRY_IN_DIRECTORY)) continue;
    rec->offset = static_cast<uint32_t>(sum);
    sum += rec->size;
    if (sum > FIELD_LIMIT) return -1;  // the next offset would not fit
  }
  return 0;
}

int write_directory() {
  // An archive the loader would refuse is never written.
  if (static_cast<uint64_t>(g_archive.output.count()) > MAX_ENTRIES) return -1;
  if (open_temp() != 0) return -1;
  int64_t position = temp_end_position();
  if (position < 0) return -1;
  g_run.new_directory_offset = static_cast<uint32_t>(position);
  if (deflate_open(g_run.output_fd, position) != 0) return -1;

  std::string chunk;
  chunk.reserve(STREAM_BUFFER_SIZE + 512);
  uint8_t count[4];
  put_u32le(count, static_cast<uint32_t>(g_archive.output.count()));
  chunk.append(reinterpret_cast<const char*>(count), 4);
  for (const auto& rec : g_archive.output.records) {
    encode_record(chunk, rec->name.c_str(), rec->offset, rec->size, rec->key_hash,
                  entry_flags_to_file(rec->flags));
    if (chunk.size() >= STREAM_BUFFER_SIZE) {
      if (put_stream(chunk) != 0) return -1;
      chunk.clear();
    }
  }
  return put_stream(chunk);
}

namespace {

// Unties the write stream from the old stream's inflater on every path out
// of the copy, before the inflater goes away.
struct OldStreamTie {
  int kept = 0;
  ~OldStreamTie() {
    if (!kept) block_untrack_old(g_archive.streams.out, 0);
  }
};

}  // namespace

int copy_in_directory_data() {
  if (!g_run.archive_existed) return 0;
  // The old stream is inflated ahead by a worker thread (none with
  // "--threads 1") with cut tracking on, so that unchanged compressed
  // blocks of the old stream are copied rather than compressed again.
  const int64_t base = static_cast<int64_t>(g_run.directory_offset);
  InflateAheadPtr ahead = ahead_open(g_run.archive_fd, base, g_settings.threads != 1);
  unsigned char* scratch = copy_buffer();
  if (!ahead || scratch == nullptr || ahead_track_cuts(ahead.get()) != 0) return -1;
  OldStreamTie tie;
  if (block_track_old(g_archive.streams.out, g_run.archive_fd, base, ahead_cuts_sync,
                      ahead.get()) != 0)
    return -1;
  IndirWalk walk;
  indir_open_tracked(walk, ahead_source(ahead.get(), scratch, COPY_BUFFER_SIZE));
  if (indir_position(walk) != 0) return -1;
  for (int i = 0; (i = indir_next(walk)) >= 0;) {
    EntryRecord& e = loaded_entry(i);
    if (e.flags & ENTRY_DONE) continue;  // replaced, moved out or removed: passed by
    progress_entry(e.name);
    if (indir_copy_to_stream(walk) != 0) return -1;
    e.flags |= ENTRY_DONE;
  }
  // The old stream is read to its end, whatever of it was kept: data that
  // does not match its checksum must never reach a new archive under a fresh
  // one.
  if (indir_finish(walk) != 0) return -1;
  // Blocks still to come (the last of the old data, with whatever follows)
  // may be copied too: everything the inflater learnt is taken now.
  block_untrack_old(g_archive.streams.out, 1);
  tie.kept = 1;
  return 0;
}

int move_in_standalone_entries() {
  for (int i = 0; i < g_archive.loaded.count(); ++i) {
    EntryRecord& e = loaded_entry(i);
    if (loaded_in_directory(e) || (e.flags & ENTRY_DONE)) continue;
    progress_entry(e.name);
    if (pf_seek(g_run.archive_fd, e.offset, PF_SEEK_SET) < 0) return -1;
    int j = entry_spec(i);
    if (j < 0) continue;
    FileSpec& s = spec_at(j);
    if (s.flags & SPEC_DELETE) {
      s.flags |= SPEC_HANDLED;
      continue;
    }
    // Step 6 gave the entry an in-directory record exactly when it queued
    // the spec (a modify spec, or an extract spec in a run that also changes
    // the archive): its data follows here, so record and data agree.
    if (!(s.flags & SPEC_IN_DIRECTORY) || !(s.flags & SPEC_QUEUED)) continue;
    if (!key_check(i, j)) return -1;  // cannot happen: step 6 checked it
    if (loaded_compressed(e)) {
      if (inflate_open(g_run.archive_fd, e.offset) != 0) return -1;
      if (copy_stream_to_stream(e.size) != 0) return -1;
      if (standalone_stream_check(e) != 0) return -1;
      inflate_close();
    } else {
      if (stored_length(i) < 0) return -1;
      if (copy_raw_to_stream(e.size) != 0) return -1;
    }
    e.flags |= ENTRY_DONE;
    s.flags |= SPEC_HANDLED;
  }
  return 0;
}

int add_in_directory_files() {
  for (int j = 0; j < g_archive.specs.count(); ++j) {
    FileSpec& s = spec_at(j);
    const uint16_t need = SPEC_QUEUED | SPEC_ADD | SPEC_IN_DIRECTORY;
    if ((s.flags & need) != need || (s.flags & (SPEC_HANDLED | SPEC_MODIFY))) continue;
    // The size step 6 recorded for this file.
    int r = entry_table_find(g_archive.output, record_name_for(s).c_str());
    if (r < 0) return -1;
    const int64_t recorded = g_archive.output.records[static_cast<size_t>(r)]->size;

    int fd = -1;
    int64_t length = 0;
    if (open_file_to_store(s.name.c_str(), &fd, &length) != 0) return -1;
    progress_entry(s.name);
    const int archive_fd = g_run.archive_fd;
    g_run.archive_fd = fd;
    int rc = -1;
    // A file whose length changed since it was measured for step 6 would
    // disagree with its record.  (Just opened: it is read from its start.)
    if (length == recorded && copy_raw_to_stream(length) == 0 && pf_file_length(fd) == length)
      rc = 0;
    finish_file_source(fd, archive_fd);
    if (rc != 0) {
      fail_note("file changed while it was stored", s.name, "");
      return -1;
    }
    s.flags |= SPEC_HANDLED;
  }
  return 0;
}

int finish_archive() {
  if (deflate_finish() != 0) return -1;
  uint8_t trailer[4];
  put_u32le(trailer, trailer_encode(g_run.new_directory_offset));
  if (pf_seek(g_run.output_fd, 0, PF_SEEK_END) < 0) return -1;
  return pf_write(g_run.output_fd, trailer, 4) == 4 ? 0 : -1;
}

int write_mz_checksum() {
  // The checksum word lies at offsets 18 and 19: only a stub that holds them
  // gets one; a shorter stub, and whatever follows it, stays as written.
  if (g_run.stub_length < MZ_MIN_STUB_FOR_CHECKSUM) return 0;
  const int fd = g_run.output_fd;
  unsigned char* buf = copy_buffer();
  if (!buf) return -1;
  int64_t length = pf_seek(fd, 0, PF_SEEK_END);
  if (length < 0 || pf_seek(fd, 0, PF_SEEK_SET) != 0) return -1;
  MzChecksum sum;
  int64_t left = length;
  while (left > 0) {
    size_t chunk = left > COPY_BUFFER_SIZE ? COPY_BUFFER_SIZE : static_cast<size_t>(left);
    if (pf_read(fd, buf, chunk) != static_cast<int64_t>(chunk)) return -1;
    mz_checksum_feed(sum, buf, chunk);
    left -= static_cast<int64_t>(chunk);
  }
  uint8_t word[2];
  put_u16le(word, mz_checksum_value(sum));
  if (pf_seek(fd, MZ_CHECKSUM_OFFSET, PF_SEEK_SET) != static_cast<int64_t>(MZ_CHECKSUM_OFFSET))
    return -1;
  return pf_write(fd, word, 2) == 2 ? 0 : -1;
}
