// rewrite_data_area.cpp -- rewrite steps 2 to 4: the data area of the new
// archive (old standalone entries copied or re-stored, in-directory entries
// moved out, disk files added as standalone entries).
#include "operations/rewrite.h"

#include <vector>

#include "archive/collection.h"
#include "archive/indir_walk.h"
#include "archive/streams.h"
#include "operations/rewrite_internal.h"
#include "base/activity.h"
#include "base/failure.h"
#include "platform/platform.h"

using namespace rewrite_detail;

namespace {

// 1 when the spec's match key opens the entry; changes nothing.
bool key_opens(const EntryRecord& e, const FileSpec& s) {
  return e.key_hash == 0 || e.key_hash == s.match_key;
}

// A replace spec closed before any data moved: its file is not stored, so
// nothing it names may be dropped.
bool is_closed_replace_spec(const FileSpec& s) {
  return is_replace_spec(s) && (s.flags & SPEC_HANDLED);
}

// Decides every replacement before any data is copied.  An open replace spec
// drops the loaded entry stored under the name its file will be stored under
// (record_name_for; file collection marked it when it has no key).  When the
// spec's match key does not open it, nothing is dropped: the spec is closed,
// so its file is not stored by either path (standalone or in-directory), and
// a mark that file collection set on its behalf is taken back.
void settle_replacements() {
  const EntryTable& loaded = g_archive.loaded;
  std::vector<char> dropped(static_cast<size_t>(loaded.count()), 0);
  std::vector<int> spared;
  for (int j = 0; j < g_archive.specs.count(); ++j) {
    FileSpec& s = spec_at(j);
    if (!is_replace_spec(s) || (s.flags & SPEC_HANDLED)) continue;
    int b = entry_table_find(loaded, record_name_for(s).c_str());
    if (b >= 0 && !key_opens(loaded_entry(b), s)) {
      s.flags |= SPEC_HANDLED;
      spared.push_back(b);
      continue;
    }
    if (b >= 0) {
      loaded_entry(b).flags |= ENTRY_DONE;
      dropped[static_cast<size_t>(b)] = 1;
    }
  }
  for (int b : spared)
    if (!dropped[static_cast<size_t>(b)]) loaded_entry(b).flags &= static_cast<uint16_t>(~ENTRY_DONE);
}

// Copies the entry's stored bytes unchanged (the archive is positioned at its
// offset) and adds its record at the end of the data area.
int carry_over(int i) {
  EntryRecord& e = loaded_entry(i);
  const int64_t new_offset = temp_end_position();
  if (new_offset < 0) return -1;
  int64_t length = stored_length(i);
  if (length < 0 || copy_raw_to_raw(length) != 0) return -1;
  return add_output_record(e.name.c_str(), static_cast<uint32_t>(new_offset), e.size,
                           e.key_hash, e.flags, 1);
}

// Re-stores a standalone entry under the spec's compression setting at the
// end of the data area (the archive is positioned at the entry's offset),
// takes the spec's settings and adds its record.
int restore_standalone(int i, FileSpec& s) {
  EntryRecord& e = loaded_entry(i);
  const bool want_compressed = (s.flags & SPEC_COMPRESS) != 0;
  if (want_compressed && !loaded_compressed(e)) {
    // Stored -> compressed: the stored bytes must lie inside the data area.
    // Queued behind the compressed entries before it; its record is made
    // first and gets its offset when the entry's first byte is written.
    if (stored_length(i) < 0) return -1;
    const int64_t new_offset = deflate_queued() ? -1 : temp_end_position();
    if (new_offset < 0 && !deflate_queued()) return -1;
    e.flags |= ENTRY_DONE;
    take_spec_settings(e, s, false);
    s.flags |= SPEC_HANDLED;
    const int record = g_archive.output.count();
    if (add_output_record(e.name.c_str(), 0, e.size, e.key_hash, e.flags, 1) != 0) return -1;
    if (deflate_open_queued(g_run.output_fd, new_offset, record) != 0) return -1;
    if (copy_raw_to_stream(e.size) != 0) return -1;
    return deflate_finish_queued();
  }
  const int64_t new_offset = temp_end_position();
  if (new_offset < 0) return -1;
  if (want_compressed == loaded_compressed(e)) {
    int64_t length = stored_length(i);
    if (length < 0 || copy_raw_to_raw(length) != 0) return -1;
  } else {
    // Compressed -> stored: the entry's stream must end right after its data.
    if (inflate_open(g_run.archive_fd, e.offset) != 0) return -1;
    if (copy_stream_to_raw(e.size) != 0) return -1;
    if (standalone_stream_check(e) != 0) return -1;
    inflate_close();
  }
  e.flags |= ENTRY_DONE;
  take_spec_settings(e, s, false);
  s.flags |= SPEC_HANDLED;
  return add_output_record(e.name.c_str(), static_cast<uint32_t>(new_offset), e.size,
                           e.key_hash, e.flags, 1);
}

}  // namespace

int copy_standalone_entries() {
  settle_replacements();
  for (int i = 0; i < g_archive.loaded.count(); ++i) {
    EntryRecord& e = loaded_entry(i);
    if (loaded_in_directory(e) || (e.flags & ENTRY_DONE)) continue;
    progress_entry(e.name);
    if (open_temp() != 0) return -1;
    if (pf_seek(g_run.archive_fd, e.offset, PF_SEEK_SET) < 0) return -1;

    int j = entry_spec(i);
    if (j >= 0) {
      FileSpec& s = spec_at(j);
      if (is_closed_replace_spec(s)) {
        // Its file is not stored: the entry is carried over unchanged.
      } else if (!key_check(i, j)) {
        s.flags |= SPEC_HANDLED;  // refused: carried over unchanged
      } else if (s.flags & SPEC_DELETE) {
        key_check(i, j);
        s.flags |= SPEC_HANDLED;
        e.flags |= ENTRY_DONE;
        continue;  // removed: nothing of it reaches the new archive
      } else if (is_replace_spec(s)) {
        key_check(i, j);
        e.flags |= ENTRY_DONE;
        // The old entry is kept only when the new file is stored under
        // another name (a path given without "+p" stores the bare name);
        // under its own name it is replaced.
        if (same_name(record_name_for(s), e.name)) continue;
      } else if (s.flags & SPEC_IN_DIRECTORY) {
        continue;  // moved into the directory stream by steps 6 and 9
      } else {
        if (restore_standalone(i, s) != 0) return -1;
        continue;
      }
    }
    if (carry_over(i) != 0) return -1;
  }
  // Nothing queued outlives the step.
  return deflate_settle();
}

int move_out_in_directory_entries() {
  if (!g_run.archive_existed) return 0;
  // Entries that stay, or go, are passed by; only those moved out are read.
  IndirWalk walk;
  indir_open(walk);
  if (indir_position(walk) != 0) return -1;
  for (int i = 0; (i = indir_next(walk)) >= 0;) {
    EntryRecord& e = loaded_entry(i);
    if (e.flags & ENTRY_DONE) continue;
    int j = entry_spec(i);
    if (j < 0) continue;  // kept by steps 6 and 8
    FileSpec& s = spec_at(j);
    if (is_closed_replace_spec(s)) continue;  // its file is not stored: kept unchanged by steps 6 and 8
    if (!key_check(i, j)) {
      s.flags |= SPEC_HANDLED;
      continue;
    }
    if (is_replace_spec(s)) {
      e.flags |= ENTRY_DONE;  // dropped; the file is added by step 4 or 10
      continue;
    }
    if (s.flags & SPEC_IN_DIRECTORY) continue;  // left to steps 6 and 8
    if (s.flags & SPEC_DELETE) {
      // A delete removes the entry whatever placement its spec names.
      e.flags |= ENTRY_DONE;
      s.flags |= SPEC_HANDLED;
      continue;
    }
    // Moved out of the directory stream to the end of the data area.  A
    // compressed one is queued behind the compressed entries before it: its
    // record is made first and gets its offset when its first byte is
    // written.
    progress_entry(e.name);
    if (open_temp() != 0) return -1;
    const bool compressed = (s.flags & SPEC_COMPRESS) != 0;
    int64_t new_offset = -1;
    if (!(compressed && deflate_queued()) && (new_offset = temp_end_position()) < 0) return -1;
    e.flags |= ENTRY_DONE;
    take_spec_settings(e, s, true);
    s.flags |= SPEC_HANDLED;
    const int record = g_archive.output.count();
    if (add_output_record(e.name.c_str(), compressed ? 0 : static_cast<uint32_t>(new_offset),
                          e.size, e.key_hash, e.flags, (s.flags & SPEC_KEEP_PATH) ? 1 : 0) != 0)
      return -1;
    if (compressed) {
      if (deflate_open_queued(g_run.output_fd, new_offset, record) != 0) return -1;
      if (indir_copy_to_stream(walk) != 0) return -1;
      if (deflate_finish_queued() != 0) return -1;
    } else {
      if (indir_copy_to_raw(walk) != 0) return -1;
    }
  }
  // Nothing queued outlives the step.
  return deflate_settle();
}

int add_standalone_files() {
  for (int j = 0; j < g_archive.specs.count(); ++j) {
    FileSpec& s = spec_at(j);
    if (s.flags & SPEC_HANDLED) continue;
    // The entry this spec acts on: for a file, the one stored under the name
    // the file will be stored under.
    int r = entry_table_find(g_archive.loaded,
                             (is_replace_spec(s) ? record_name_for(s) : s.name).c_str());
    if (r >= 0 && !key_check(r, j)) {
      s.flags |= SPEC_HANDLED;
      continue;
    }
    // Only files added as standalone entries; a modify spec never stores a
    // file from disk.
    if (!(s.flags & SPEC_ADD) || (s.flags & SPEC_IN_DIRECTORY) || (s.flags & SPEC_MODIFY))
      continue;

    int fd = -1;
    int64_t length = 0;
    if (open_file_to_store(s.name.c_str(), &fd, &length) != 0) return -1;
    progress_add_total(length);
    progress_entry(s.name);
    const bool compressed = (s.flags & SPEC_COMPRESS) != 0;
    const int record = g_archive.output.count();
    int64_t new_offset = -1;
    if (open_temp() != 0 ||
        (!(compressed && deflate_queued()) && (new_offset = temp_end_position()) < 0)) {
      pf_close(fd);
      return -1;
    }
    if (compressed) {
      // Queued behind the compressed entries before it: the record is made
      // now and gets its offset when the entry's first byte is written.
      if (add_output_record(s.name.c_str(), 0, static_cast<uint32_t>(length), s.new_key,
                            entry_flags_from_spec(s, false),
                            (s.flags & SPEC_KEEP_PATH) ? 1 : 0) != 0) {
        pf_close(fd);
        return -1;
      }
    }
    const int archive_fd = g_run.archive_fd;
    g_run.archive_fd = fd;
    int rc = -1;
    if (pf_seek(fd, 0, PF_SEEK_SET) == 0) {
      if (compressed) {
        rc = (deflate_open_queued(g_run.output_fd, new_offset, record) == 0 &&
              copy_raw_to_stream(length) == 0 && deflate_finish_queued() == 0) ? 0 : -1;
      } else {
        rc = copy_raw_to_raw(length);
      }
      // A file that changed length while it was copied would disagree with
      // its record.
      if (rc == 0 && pf_file_length(fd) != length) rc = -1;
    }
    // A failure the file did not cause (a write, or a queued stream of an
    // earlier file) has recorded its own reason already, which stands.
    const bool changed = rc != 0 && pf_file_length(fd) != length;
    finish_file_source(fd, archive_fd);
    if (rc != 0) {
      if (changed || !failure_last().recorded) fail_note("file changed while it was stored", s.name, "");
      return -1;
    }
    if (!compressed &&
        add_output_record(s.name.c_str(), static_cast<uint32_t>(new_offset),
                          static_cast<uint32_t>(length), s.new_key,
                          entry_flags_from_spec(s, false),
                          (s.flags & SPEC_KEEP_PATH) ? 1 : 0) != 0)
      return -1;
    s.flags |= SPEC_HANDLED;
    if (r >= 0) loaded_entry(r).flags |= ENTRY_DONE;
  }
  // Nothing queued outlives the step.
  return deflate_settle();
}
