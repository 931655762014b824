// rewrite_internal.h -- helpers shared by the steps of the archive rewrite.
// Not part of the public interface: only the rewrite's own .cpp files use it.
#ifndef VORN_REWRITE_INTERNAL_H
#define VORN_REWRITE_INTERNAL_H

#include <cstdint>

#include "archive/archive_state.h"
#include "archive/load.h"
#include "base/run_state.h"

namespace rewrite_detail {

// Largest value an offset or size field of the archive can hold.
constexpr int64_t FIELD_LIMIT = 0xFFFFFFFFLL;

inline EntryRecord& loaded_entry(int i) {
  return *g_archive.loaded.records[static_cast<size_t>(i)];
}
inline FileSpec& spec_at(int j) { return *g_archive.specs.specs[static_cast<size_t>(j)]; }

// Placement and compression as the old archive holds the entry: every read of
// the old archive goes by these, whatever earlier steps did to `flags`.
inline bool loaded_in_directory(const EntryRecord& e) {
  return (e.loaded_flags & ENTRY_IN_DIRECTORY) != 0;
}
inline bool loaded_compressed(const EntryRecord& e) {
  return (e.loaded_flags & ENTRY_COMPRESSED) != 0;
}

// The entry's spec: the first spec in list order whose name is the same name
// as the entry's (name_key); -1 when there is none.  A replace spec whose
// file is stored under another name (record_name_for) is not the entry's: an
// extract spec of that name is taken instead, when there is one.
int entry_spec(int entry_index);

// A spec whose file replaces an entry: SPEC_ADD without SPEC_MODIFY.
bool is_replace_spec(const FileSpec& s);

// The in-memory entry flags a spec gives a new record (ENTRY_COMPRESSED,
// ENTRY_ATTR_L/E, ENTRY_USER1..4 from the spec; ENTRY_IN_DIRECTORY as told).
uint16_t entry_flags_from_spec(const FileSpec& s, bool in_directory);

// A loaded record takes the spec's settings: key, compression, attributes;
// placement only when `set_placement` (then from SPEC_IN_DIRECTORY).
// ENTRY_DONE and loaded_flags are kept.
void take_spec_settings(EntryRecord& e, const FileSpec& s, bool set_placement);

// The name a record made from this spec gets: the spec's name, cut to its
// bare name unless the spec keeps paths.
std::string record_name_for(const FileSpec& s);

// Bytes that a standalone loaded entry occupies in the old data area; -1 when
// the old archive's offsets are inconsistent (the range would leave the data
// area).
int64_t stored_length(int entry_index);

// Writes out the queued compressed entries (deflate_settle), positions the
// temporary file at its end and gives that position, the offset of whatever
// is written next.  -1 when it cannot be had or when it no longer fits in the
// archive's 32-bit offset fields.
int64_t temp_end_position();

// entry_table_add into the output table after checking the stored name's
// length (at most MAX_NAME_LENGTH characters, as readers require).  0 or -1.
int add_output_record(const char* name, uint32_t offset, uint32_t size,
                      uint32_t key_hash, uint16_t entry_flags, int keep_name);

// Opens a file to be stored and measures it.  0 with *fd and *length set, or
// -1 (cannot be opened, cannot be measured, or 4 GiB or longer: a size the
// archive cannot record); nothing stays open on failure.
int open_file_to_store(const char* path, int* fd, int64_t* length);

// The length a new file's record gets: the one the disk expansion listed
// for it when there is one (the file is then not opened until its data is
// copied, where a file whose length has changed since fails the run), else
// as open_file_to_store measures it.  0, or -1 (cannot be opened or
// measured, or 4 GiB or longer).
int length_to_record(const FileSpec& s, int64_t* length);

// The spec's file is copied with its descriptor standing in for the archive's
// as the raw source; this puts the archive's descriptor back and closes the
// file.
void finish_file_source(int file_fd, int archive_fd);

}  // namespace rewrite_detail

#endif
