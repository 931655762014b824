// view.cpp -- the "-v" walk: the data of every selected entry is read (through
// the decompressor where it is compressed), so that a damaged archive shows as
// a failure.
#include <new>
#include <string>
#include <vector>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "archive/streams.h"
#include "driver/state.h"

namespace {

bool has_wildcard(const std::string& name) {
  return name.find_first_of("*?") != std::string::npos;
}

// True when the entry is selected: no spec at all, or a spec name that
// matches the entry's name as a pattern.  A spec name without '*' or '?'
// matches only a name equal to it without regard to ASCII case, which the
// list's name index answers at once; only the real patterns are tried one by
// one, so many plain names do not cost entries x names.
bool selected(const EntryRecord& e, const std::vector<const FileSpec*>& patterns) {
  if (g_state.specs.count() == 0) return true;
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
  const uint32_t directory_offset = g_state.run.directory_offset;
  if (e.offset > directory_offset) return -1;
  if (!(e.loaded_flags & ENTRY_COMPRESSED))
    return e.size <= directory_offset - e.offset ? 0 : -1;
  if (inflate_open(g_state.run.archive_fd, e.offset) != 0) return -1;
  int rc = (skip_stream(e.size) == 0 && standalone_stream_check(e) == 0) ? 0 : -1;
  inflate_close();
  return rc;
}

}  // namespace

int view_pass() {
  if (g_state.run.archive_fd < 0) return -1;
  std::vector<const FileSpec*> patterns;
  try {
    for (const auto& spec : g_state.specs.specs) {
      if (has_wildcard(spec->name)) patterns.push_back(spec.get());
    }
  } catch (const std::bad_alloc&) {
    return -1;
  }
  bool positioned = false;
  int64_t pending = 0;  // unselected in-directory bytes not yet stepped over
  for (const auto& rec : g_state.loaded.records) {
    const EntryRecord& e = *rec;
    bool in_directory = (e.loaded_flags & ENTRY_IN_DIRECTORY) != 0;
    if (in_directory && !positioned) {
      if (skip_directory() != 0) return -1;
      positioned = true;
    }
    if (!selected(e, patterns)) {
      if (positioned) pending += e.size;
      continue;
    }
    if (pending != 0) {
      if (skip_stream(pending) != 0) return -1;
      pending = 0;
    }
    if (in_directory && skip_stream(e.size) != 0) return -1;
  }
  // The stream must end right behind the in-directory data with a valid
  // checksum.  Without in-directory entries the records are the whole
  // stream: it must end behind them.
  // Names or not, the rest of the stream is read to its end: damaged data
  // of any entry shows only in the checksum there.
  if (!positioned) {
    if (skip_directory() != 0) return -1;
    pending = 0;
  }
  if (pending != 0 && skip_stream(pending) != 0) return -1;
  if (inflate_check_end() != 0) return -1;
  // Its last byte must be the last one before the trailer: nothing may lie
  // between the stream's end and the trailer.
  if (static_cast<int64_t>(g_state.run.directory_offset + inflate_consumed()) !=
      g_state.run.archive_size - static_cast<int64_t>(TRAILER_SIZE))
    return -1;
  // The data of selected standalone entries is read as well, after the
  // directory stream is done with (both use the one read stream).
  for (const auto& rec : g_state.loaded.records) {
    const EntryRecord& e = *rec;
    if ((e.loaded_flags & ENTRY_IN_DIRECTORY) || !selected(e, patterns)) continue;
    if (check_standalone(e) != 0) return -1;
  }
  return 0;
}
