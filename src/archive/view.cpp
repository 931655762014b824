// view.cpp -- the "-v" walk: the data of every selected entry is read (through
// the decompressor where it is compressed), so that a damaged archive shows as
// a failure.
#include <new>
#include <string>
#include <vector>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "archive/indir_walk.h"
#include "archive/view.h"
#include "archive/load.h"
#include "archive/streams.h"
#include "base/failure.h"
#include "base/run_state.h"
#include "archive/archive_state.h"

namespace {

// True when the entry is selected: no spec at all, or a spec name that
// matches the entry's name as a pattern.  A spec name without '*' or '?'
// matches only a name equal to it without regard to ASCII case, which the
// list's name index answers at once; only the real patterns are tried one by
// one, so many plain names do not cost entries x names.
bool selected(const EntryRecord& e, const std::vector<const FileSpec*>& patterns) {
  if (g_archive.specs.count() == 0) return true;
  if (file_spec_find(e.name.c_str()) >= 0) return true;
  for (const FileSpec* spec : patterns) {
    if (wild_match_nocase(spec->name.c_str(), e.name.c_str())) return true;
  }
  return false;
}

// A selected standalone entry is sound when its stored bytes lie before the
// directory stream and, when compressed, form one zlib stream that holds
// exactly its size and ends with a valid checksum at the end of its region.
// 0 or -1.
int check_standalone(const EntryRecord& e) {
  const uint32_t directory_offset = g_run.directory_offset;
  if (e.offset > directory_offset) return -1;
  if (!(e.loaded_flags & ENTRY_COMPRESSED))
    return e.size <= directory_offset - e.offset ? 0 : -1;
  if (inflate_open(g_run.archive_fd, e.offset) != 0) return -1;
  int rc = (skip_stream(e.size) == 0 && standalone_stream_check(e) == 0) ? 0 : -1;
  inflate_close();
  return rc;
}

}  // namespace

int view_pass() {
  if (g_run.archive_fd < 0) return -1;
  std::vector<const FileSpec*> patterns;
  try {
    for (const auto& spec : g_archive.specs.specs) {
      if (has_wildcard(spec->name)) patterns.push_back(spec.get());
    }
  } catch (const std::bad_alloc&) {
    return fail_note("out of memory", "", "");
  }
  // Every in-directory byte is read, selected or not: damaged data of any
  // entry shows only in the checksum at the stream's end, which must come
  // right behind the in-directory data (behind the records when there is
  // none).
  IndirWalk walk;
  indir_open(walk);
  if (indir_finish(walk) != 0) return -1;
  // Its last byte must be the last one before the trailer: nothing may lie
  // between the stream's end and the trailer.
  if (static_cast<int64_t>(g_run.directory_offset + inflate_consumed()) !=
      g_run.archive_size - static_cast<int64_t>(TRAILER_SIZE))
    return -1;
  // The data of selected standalone entries is read as well, after the
  // directory stream is done with (both use the one read stream).
  for (const auto& rec : g_archive.loaded.records) {
    const EntryRecord& e = *rec;
    if ((e.loaded_flags & ENTRY_IN_DIRECTORY) || !selected(e, patterns)) continue;
    if (check_standalone(e) != 0) return -1;
  }
  return 0;
}
