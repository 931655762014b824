// rewrite_common.cpp -- helpers shared by the steps of the archive rewrite.
#include "operations/rewrite.h"
#include "operations/rewrite_internal.h"

#include "archive/collection.h"
#include "archive/streams.h"
#include "base/failure.h"
#include "platform/platform.h"

namespace rewrite_detail {

int entry_spec(int entry_index) {
  const std::string& name = loaded_entry(entry_index).name;
  const int j = file_spec_find(name.c_str());
  if (j < 0) return -1;
  // A file stored under another name (a path given without "+p" stores its
  // bare name) leaves this entry alone; an extract spec of this name may
  // still want it.
  const FileSpec& s = spec_at(j);
  if (is_replace_spec(s) && !same_name(record_name_for(s), name))
    return file_spec_find(name.c_str(), SPEC_EXTRACT);
  return j;
}

bool is_replace_spec(const FileSpec& s) {
  return (s.flags & SPEC_ADD) && !(s.flags & SPEC_MODIFY);
}

uint16_t entry_flags_from_spec(const FileSpec& s, bool in_directory) {
  uint16_t f = 0;
  if (s.flags & SPEC_COMPRESS) f |= ENTRY_COMPRESSED;
  if (in_directory) f |= ENTRY_IN_DIRECTORY;
  if (s.flags & SPEC_ATTR_L) f |= ENTRY_ATTR_L;
  if (s.flags & SPEC_ATTR_E) f |= ENTRY_ATTR_E;
  if (s.flags & SPEC_USER1) f |= ENTRY_USER1;
  if (s.flags & SPEC_USER2) f |= ENTRY_USER2;
  if (s.flags & SPEC_USER3) f |= ENTRY_USER3;
  if (s.flags & SPEC_USER4) f |= ENTRY_USER4;
  return f;
}

void take_spec_settings(EntryRecord& e, const FileSpec& s, bool set_placement) {
  uint16_t keep = static_cast<uint16_t>(e.flags & ENTRY_DONE);
  bool in_directory = set_placement ? (s.flags & SPEC_IN_DIRECTORY) != 0
                                    : (e.flags & ENTRY_IN_DIRECTORY) != 0;
  e.key_hash = s.new_key;
  e.flags = static_cast<uint16_t>(entry_flags_from_spec(s, in_directory) | keep);
}

std::string record_name_for(const FileSpec& s) {
  return stored_name(s.name, (s.flags & SPEC_KEEP_PATH) != 0);
}

int64_t stored_length(int entry_index) {
  const EntryRecord& e = loaded_entry(entry_index);
  const int64_t start = e.offset;
  const int64_t area_end = g_run.directory_offset;
  int64_t length;
  if (!loaded_compressed(e)) {
    length = e.size;
  } else {
    int64_t end = area_end;
    int next = entry_index + 1;
    if (next < g_archive.loaded.count() && !loaded_in_directory(loaded_entry(next)))
      end = loaded_entry(next).offset;
    length = end - start;
  }
  if (length < 0 || start + length > area_end) return -1;
  return length;
}

int64_t temp_end_position() {
  if (g_run.output_fd < 0) return -1;
  // Queued compressed entries go out first: the end is theirs.
  if (deflate_settle() != 0) return -1;
  int64_t pos = pf_seek(g_run.output_fd, 0, PF_SEEK_END);
  if (pos < 0 || pos > FIELD_LIMIT) return -1;
  return pos;
}

int add_output_record(const char* name, uint32_t offset, uint32_t size,
                      uint32_t key_hash, uint16_t entry_flags, int keep_name) {
  std::string stored = keep_name ? std::string(name) : bare_name(name);
  if (stored.size() > MAX_NAME_LENGTH)
    return fail_note("name too long to store", stored, "(257 characters at most)");
  return entry_table_add(g_archive.output, name, offset, size, key_hash,
                         entry_flags_to_file(entry_flags), keep_name);
}

namespace {
int too_long_to_store(const char* path) { return fail_note("cannot store", path, "(4 GiB or larger)"); }
}  // namespace

int open_file_to_store(const char* path, int* fd, int64_t* length) {
  int64_t n = -1;
  int f = pf_open_read_length(path, &n);
  if (f < 0) return fail_system("cannot open", path);
  if (n > FIELD_LIMIT) {
    too_long_to_store(path);
    pf_close(f);
    return -1;
  }
  *fd = f;
  *length = n;
  return 0;
}

int length_to_record(const FileSpec& s, int64_t* length) {
  if (s.listed_length >= 0) {
    if (s.listed_length > FIELD_LIMIT) return too_long_to_store(s.name.c_str());
    *length = s.listed_length;
    return 0;
  }
  int fd = -1;
  if (open_file_to_store(s.name.c_str(), &fd, length) != 0) return -1;
  pf_close(fd);
  return 0;
}

void finish_file_source(int file_fd, int archive_fd) {
  g_run.archive_fd = archive_fd;
  pf_close(file_fd);
}

}  // namespace rewrite_detail

int check_new_names() {
  using namespace rewrite_detail;
  for (const auto& spec : g_archive.specs.specs) {
    const FileSpec& s = *spec;
    if (is_replace_spec(s) && !(s.flags & SPEC_HANDLED) && name_climbs_out(record_name_for(s)))
      return -1;
  }
  return 0;
}
