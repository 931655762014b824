// extract.cpp -- writing the entries named by extract specs out as files.
//
// The walk reads the old archive only: in-directory data through the shared
// read stream, positioned once by skip_directory and read forward (data of
// entries that are not written is read and discarded), standalone data from
// its own offset.  Each target is first written completely to vorn9876.tmp
// beside it and then renamed over it in one step.
#include "operations/extract.h"

#include <cstdint>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "archive/streams.h"
#include "driver/state.h"
#include "operations/windows_names.h"
#include "platform/platform.h"

namespace {

const char kSiblingTempName[] = "vorn9876.tmp";

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A component that climbs: "..", and any other run of dots and spaces with
// at least two dots (Windows drops trailing dots and spaces, so ".. " and
// "..." may also reach the parent folder there).
bool climbs_out(const std::string& path, size_t begin, size_t end) {
  int dots = 0;
  for (size_t k = begin; k < end; ++k) {
    if (path[k] == '.') {
      ++dots;
    } else if (path[k] != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

// Where the shared read stream stands in the in-directory data of the old
// archive.  `at` is the number of in-directory bytes consumed since
// skip_directory, or -1 while the stream is not positioned there (not yet,
// or a standalone compressed entry has since taken the read stream).
struct DirectoryCursor {
  int64_t at = -1;
};

// Reads the answer to the overwrite question: characters of standard input
// until one of y, n or a (letter case ignored).  End of input answers 'n'.
char read_overwrite_answer() {
  for (;;) {
    int c = pf_read_stdin_char();
    if (c < 0) return 'n';
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    if (c == 'y' || c == 'n' || c == 'a') return static_cast<char>(c);
  }
}

// Within a rewrite, extraction is a step of a run that writes a new archive
// into its temporary file, which may not have been created yet.
bool run_writes_new_archive() { return g_state.run.rewriting != 0; }

// The folder part of a path, spelled so that it can be looked up ("." when
// the path has none).
std::string folder_of(const std::string& path) {
  const size_t i = path.find_last_of(":\\/");
  return i == std::string::npos ? std::string(".") : path.substr(0, i + 1) + ".";
}

// 1 when `target` names the new archive's temporary file, whether or not it
// exists yet.
bool is_new_archive_temp(const std::string& target) {
  const std::string temp = temp_archive_path();
  if (pf_same_file(target.c_str(), temp.c_str())) return true;
  return ascii_lower(bare_name(target)) == ascii_lower(bare_name(temp)) &&
         pf_same_file(folder_of(target).c_str(), folder_of(temp).c_str());
}

// 1 when the entry is to be written to `target`, 0 when the answer was 'n',
// -1 when the target must not be replaced at all.
int decide_overwrite(const std::string& target) {
  RunState& run = g_state.run;
  // Writing over the archive being read, or over the new archive being
  // written, would destroy it.
  if (run.archive_fd >= 0 && pf_same_file_fd(run.archive_fd, target.c_str())) return -1;
  if (run.output_fd >= 0 && pf_same_file_fd(run.output_fd, target.c_str())) return -1;
  // The new archive, once written over the extracted file, would be renamed
  // away with it.
  if (run_writes_new_archive() && is_new_archive_temp(target)) return -1;

  if (!pf_exists(target.c_str())) return 1;
  int fd = pf_open_rw(target.c_str());
  if (fd < 0) return -1;  // read-only target, or a folder
  pf_close(fd);
  if (run.overwrite_all) return 1;
  switch (read_overwrite_answer()) {
    case 'y':
      return 1;
    case 'a':
      run.overwrite_all = 1;
      return 1;
    default:
      return 0;
  }
}

// Copies entry `i`'s data into run.output_fd (the sibling temporary file).
// `position` is the entry's place in the in-directory data when it is an
// in-directory entry; `last_in_directory` says that no in-directory data
// follows it, so the directory stream must end right after it.
int copy_entry_data(const EntryRecord& e, int64_t position, bool last_in_directory,
                    DirectoryCursor& cursor) {
  const RunState& run = g_state.run;
  if (e.loaded_flags & ENTRY_IN_DIRECTORY) {
    if (cursor.at < 0) {
      if (skip_directory() != 0) return -1;
      cursor.at = 0;
    }
    // The pending skip: data of the in-directory entries passed over.
    if (position > cursor.at) {
      if (skip_stream(position - cursor.at) != 0) {
        cursor.at = -1;
        return -1;
      }
      cursor.at = position;
    }
    if (copy_stream_to_raw(e.size) != 0) {
      cursor.at = -1;
      return -1;
    }
    cursor.at += e.size;
    if (last_in_directory && inflate_check_end() != 0) return -1;
    return 0;
  }

  if (e.loaded_flags & ENTRY_COMPRESSED) {
    // A zlib stream needs at least its header before the directory stream.
    if (static_cast<uint64_t>(e.offset) + 2 > run.directory_offset) return -1;
    cursor.at = -1;  // the read stream is taken away from the directory
    if (inflate_open(run.archive_fd, e.offset) != 0) return -1;
    int rc = copy_stream_to_raw(e.size);
    if (rc == 0) rc = inflate_check_end();
    inflate_close();
    return rc;
  }

  // Stored: exactly `size` bytes at `offset`, all of them in the data area.
  if (static_cast<uint64_t>(e.offset) + e.size > run.directory_offset) return -1;
  if (pf_seek(run.archive_fd, e.offset, PF_SEEK_SET) != static_cast<int64_t>(e.offset)) return -1;
  return copy_raw_to_raw(e.size);
}

// Writes one entry to `target` through its sibling temporary file.
int write_entry(const EntryRecord& e, const std::string& target, int64_t position,
                bool last_in_directory, DirectoryCursor& cursor) {
  RunState& run = g_state.run;
  const std::string temp = sibling_temp_name(target);
  // Creating the temporary file truncates whatever has that name.
  if (run.archive_fd >= 0 && pf_same_file_fd(run.archive_fd, temp.c_str())) return -1;
  if (run.output_fd >= 0 && pf_same_file_fd(run.output_fd, temp.c_str())) return -1;

  const int fd = pf_open_create(temp.c_str());
  if (fd < 0) return -1;
  const int previous = run.output_fd;
  run.output_fd = fd;
  int rc = copy_entry_data(e, position, last_in_directory, cursor);
  run.output_fd = previous;
  if (pf_close(fd) != 0) rc = -1;
  if (rc == 0 && pf_rename(temp.c_str(), target.c_str()) != 0) rc = -1;
  if (rc != 0) {
    pf_remove(temp.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

int extraction_target(const std::string& name, std::string* target) {
  size_t start = 0;
  for (;;) {
    if (start < name.size() && is_separator(name[start])) {
      ++start;
    } else if (start + 1 < name.size() && is_ascii_letter(name[start]) && name[start + 1] == ':') {
      start += 2;
    } else {
      break;
    }
  }
  std::string rest = name.substr(start);
  if (rest.empty() || is_separator(rest.back())) return -1;

  // Every component is checked; ".." anywhere could climb out.
  size_t begin = 0;
  for (;;) {
    size_t end = begin;
    while (end < rest.size() && !is_separator(rest[end])) ++end;
    if (climbs_out(rest, begin, end)) return -1;
    if (end >= rest.size()) {
      // The last component must not be the temporary name the copy goes
      // through: the rename would not replace anything.
      if (ascii_lower(rest.substr(begin)) == kSiblingTempName) return -1;
      break;
    }
    begin = end + 1;
  }
  // Windows' own rules, on every system.
  if (windows_name_check(name, rest) != 0) return -1;
  *target = rest;
  return 0;
}

int extract_entries() {
  EntryTable& loaded = g_state.loaded;
  const int count = loaded.count();
  if (count == 0) return 0;

  int last_in_directory = -1;
  for (int i = 0; i < count; ++i)
    if (loaded.records[static_cast<size_t>(i)]->loaded_flags & ENTRY_IN_DIRECTORY)
      last_in_directory = i;

  DirectoryCursor cursor;
  int64_t position = 0;  // place of the next in-directory entry's data
  for (int i = 0; i < count; ++i) {
    const EntryRecord& e = *loaded.records[static_cast<size_t>(i)];
    const int64_t entry_position = position;
    if (e.loaded_flags & ENTRY_IN_DIRECTORY) position += e.size;

    const int j = file_spec_find(e.name.c_str());
    if (j < 0) continue;
    FileSpec& spec = *g_state.specs.specs[static_cast<size_t>(j)];
    if (!(spec.flags & SPEC_EXTRACT)) continue;
    if (!key_check(i, j)) {
      spec.flags |= SPEC_HANDLED;
      continue;
    }

    std::string target;
    if (extraction_target(e.name, &target) != 0) return -1;
    const int decision = decide_overwrite(target);
    if (decision < 0) return -1;
    if (decision == 0) continue;
    if (write_entry(e, target, entry_position, i == last_in_directory, cursor) != 0) return -1;
  }
  return 0;
}
