// extract.cpp -- writing the entries named by extract specs out as files.
//
// The walk reads the old archive only: in-directory data through one forward
// walk of the directory stream (archive/indir_walk.h; data of entries that
// are not written is read and discarded), standalone data from its own
// offset.  Each target is first written completely to a temporary
// file beside it (temp_create) and then renamed over it in one step: a
// standalone entry's at once, an in-directory entry's only once the
// directory stream has been read to its end and its checksum held.
#include "operations/extract.h"

#include <cstdint>
#include <new>
#include <unordered_map>
#include <vector>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "archive/indir_walk.h"
#include "archive/load.h"
#include "archive/streams.h"
#include "base/activity.h"
#include "base/failure.h"
#include "base/replace.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "operations/windows_names.h"
#include "platform/platform.h"

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The first of y, n, a (letter case ignored) in the text, or 0.
char first_answer(const std::string& text) {
  for (char ch : text) {
    int c = static_cast<unsigned char>(ch);
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    if (c == 'y' || c == 'n' || c == 'a') return static_cast<char>(c);
  }
  return 0;
}

// Reads the answer to the overwrite question.  A person at a terminal is
// asked on standard error and answers with a line (asked again when the line
// holds none of y, n, a).  Otherwise, silently as always: characters of
// standard input until one of y, n or a (letter case ignored).  End of input
// answers 'n'.
char read_overwrite_answer(const std::string& target) {
  if (pf_stdin_is_terminal() && pf_stderr_is_terminal()) {
    progress_hide();
    for (;;) {
      const std::string question = "replace " + target + "? [y]es, [n]o, [a]ll: ";
      pf_write_stderr(question.data(), question.size());
      std::string line;
      if (pf_read_stdin_line(&line) != 0) {
        pf_write_stderr("\n", 1);
        return 'n';
      }
      const char answer = first_answer(line);
      if (answer != 0) return answer;
    }
  }
  for (;;) {
    int c = pf_read_stdin_char();
    if (c < 0) return 'n';
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    if (c == 'y' || c == 'n' || c == 'a') return static_cast<char>(c);
  }
}

// A target written completely whose temporary waits for the directory
// stream's end to be checked before it is put in place.
struct PendingTarget {
  TempFile temp;
  TempPlacement placement = TEMP_REPLACE;
};

// Every pending target; whatever is still here when the walk ends without
// putting them in place is deleted.
struct PendingList {
  std::vector<PendingTarget> items;
  std::unordered_map<std::string, size_t> by_target;  // lower-cased target -> item
  ~PendingList() {
    for (PendingTarget& p : items) temp_discard(&p.temp);
  }
  // The pending target of that name (letter case ignored), or -1.
  int find(const std::string& target) const {
    auto it = by_target.find(ascii_lower(target));
    if (it == by_target.end() || items[it->second].temp.path.empty()) return -1;
    return static_cast<int>(it->second);
  }
  // Adds a written target (a later one of the same name takes its place).
  void add(const PendingTarget& p) {
    items.push_back(p);
    by_target[ascii_lower(p.temp.target)] = items.size() - 1;
  }
};

// Decides whether the entry is written to `target`: *write becomes 1 to
// write it, 0 when the answer was 'n'.  A target an earlier entry of this run
// is about to write counts as existing; *placement tells whether the target
// existed when it was decided.  0, or -1 when the target must not be
// replaced at all.
int decide_overwrite(const std::string& target, const PendingList& pending,
                     TempPlacement* placement, int* write) {
  RunState& run = g_run;
  // Writing over the archive being read, or over the new archive being
  // written, would destroy it.
  if ((run.archive_fd >= 0 && pf_same_file_fd(run.archive_fd, target.c_str())) ||
      (run.output_fd >= 0 && pf_same_file_fd(run.output_fd, target.c_str())) ||
      (!run.temp_path.empty() && pf_same_file(target.c_str(), run.temp_path.c_str())))
    return fail_note("refusing to extract over the archive", target, "");

  const bool exists = pf_exists(target.c_str()) != 0;
  *placement = exists ? TEMP_REPLACE : TEMP_NEW_ONLY;
  *write = 1;
  if (!exists && pending.find(target) < 0) return 0;
  if (exists) {
    int fd = pf_open_rw(target.c_str());
    if (fd < 0) return fail_system("cannot replace", target);  // read-only target, or a folder
    pf_close(fd);
  }
  if (run.overwrite_all) return 0;
  switch (read_overwrite_answer(target)) {
    case 'y':
      break;
    case 'a':
      run.overwrite_all = 1;
      break;
    default:
      *write = 0;
  }
  return 0;
}

// Copies loaded entry `index`'s data into run.output_fd (the target's
// temporary file); an in-directory entry's through the walk.
// `last_in_directory` says that no in-directory data follows it, so the
// directory stream must end right after it.
int copy_entry_data(const EntryRecord& e, int index, bool last_in_directory, IndirWalk& walk) {
  const RunState& run = g_run;
  if (e.loaded_flags & ENTRY_IN_DIRECTORY) {
    if (indir_goto(walk, index) != 0 || indir_copy_to_raw(walk) != 0) return -1;
    return last_in_directory ? indir_finish(walk) : 0;
  }

  if (e.loaded_flags & ENTRY_COMPRESSED) {
    // A zlib stream needs at least its header before the directory stream.
    // (Taking the read stream here makes the walk start it again when it
    // next reads.)
    if (static_cast<uint64_t>(e.offset) + 2 > run.directory_offset) return -1;
    if (inflate_open(run.archive_fd, e.offset) != 0) return -1;
    int rc = copy_stream_to_raw(e.size);
    if (rc == 0) rc = standalone_stream_check(e);
    inflate_close();
    return rc;
  }

  // Stored: exactly `size` bytes at `offset`, all of them in the data area.
  if (static_cast<uint64_t>(e.offset) + e.size > run.directory_offset) return -1;
  if (pf_seek(run.archive_fd, e.offset, PF_SEEK_SET) != static_cast<int64_t>(e.offset)) return -1;
  return copy_raw_to_raw(e.size);
}

// Writes one entry into a temporary file beside `target`, flushed and
// closed.  A standalone entry's is put in place at once; an in-directory
// entry's joins the pending list.
int write_entry(const EntryRecord& e, const std::string& target, TempPlacement placement,
                int index, bool last_in_directory, IndirWalk& walk,
                PendingList& pending) {
  RunState& run = g_run;
  PendingTarget p;
  p.placement = placement;
  if (temp_create(target, &p.temp) != 0) return -1;
  const int previous = run.output_fd;
  run.output_fd = p.temp.fd;
  int rc = copy_entry_data(e, index, last_in_directory, walk);
  run.output_fd = previous;
  if (rc != 0 || temp_finish(&p.temp) != 0) {
    temp_discard(&p.temp);
    return -1;
  }
  if (!(e.loaded_flags & ENTRY_IN_DIRECTORY)) return temp_place(&p.temp, placement);
  try {
    pending.add(p);
  } catch (const std::bad_alloc&) {
    temp_discard(&p.temp);
    return fail_note("out of memory", "", "");
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
    if (component_climbs_out(rest.substr(begin, end - begin))) return -1;
    if (end >= rest.size()) {
      // The last component must not have the form of a temporary name:
      // such a file is some run's unfinished work.
      if (is_temporary_name(rest.substr(begin))) return -1;
      break;
    }
    begin = end + 1;
  }
  // Windows' own rules, on every system.
  if (windows_name_check(name, rest) != 0) return -1;
  *target = rest;
  return 0;
}

int make_target_folders(const std::string& target) {
  size_t begin = 0;
  for (;;) {
    const size_t end = target.find_first_of("\\/", begin);
    if (end == std::string::npos) break;
    const std::string component = target.substr(begin, end - begin);
    begin = end + 1;
    // An empty component or "." names the folder checked just before.
    if (component.empty() || component == ".") continue;
    const std::string folder = target.substr(0, end);
    int kind = pf_path_kind(folder.c_str());
    if (kind == PF_PATH_MISSING) {
      // Another process may have made it meanwhile: only a real folder will do.
      if (pf_make_folder(folder.c_str()) == 0) continue;
      kind = pf_path_kind(folder.c_str());
    }
    if (kind != PF_PATH_FOLDER) return -1;
  }
  return 0;
}

int extract_entries() {
  EntryTable& loaded = g_archive.loaded;
  const int count = loaded.count();
  if (count == 0) return 0;

  int last_in_directory = -1;
  for (int i = 0; i < count; ++i)
    if (loaded.records[static_cast<size_t>(i)]->loaded_flags & ENTRY_IN_DIRECTORY)
      last_in_directory = i;

  IndirWalk walk;
  indir_open(walk);
  PendingList pending;
  for (int i = 0; i < count; ++i) {
    const EntryRecord& e = *loaded.records[static_cast<size_t>(i)];
    const int j = file_spec_find(e.name.c_str());
    if (j < 0) continue;
    FileSpec& spec = *g_archive.specs.specs[static_cast<size_t>(j)];
    if (!(spec.flags & SPEC_EXTRACT)) continue;
    if (!key_check(i, j)) {
      spec.flags |= SPEC_HANDLED;
      activity_report("skipped", e.name, "key does not match");
      continue;
    }

    std::string target;
    if (extraction_target(e.name, &target) != 0)
      return fail_note("refusing to extract", e.name, "(the name does not stay under the current folder)");
    if (make_target_folders(target) != 0)
      return fail_note("refusing to extract", e.name,
                       "(a folder of its path is a link or a file, or cannot be made)");
    TempPlacement placement = TEMP_REPLACE;
    int write = 0;
    if (decide_overwrite(target, pending, &placement, &write) != 0) return -1;
    if (!write) {
      activity_report("skipped", e.name, "not replaced (answer n)");
      continue;
    }
    progress_entry(e.name);
    // A later entry of the same target replaces the earlier one's copy.
    const int earlier = pending.find(target);
    if (earlier >= 0) temp_discard(&pending.items[static_cast<size_t>(earlier)].temp);
    if (write_entry(e, target, placement, i, i == last_in_directory, walk, pending) != 0) {
      failure_name_file(e.name);
      return -1;
    }
    if (!(e.loaded_flags & ENTRY_IN_DIRECTORY)) activity_report("extracted", target, "", 1);
  }
  if (pending.items.empty()) return 0;
  // Damaged in-directory data shows only at the stream's end: nothing of it
  // is put in place before that end has checked out (the walk reads it to
  // there unless it did already).
  if (indir_finish(walk) != 0) {
    failure_name_file(g_settings.archive_path);
    return fail_note("damaged archive", g_settings.archive_path,
                     "(its directory stream does not end with a valid checksum)");
  }
  for (PendingTarget& p : pending.items) {
    if (p.temp.path.empty()) continue;  // replaced by a later entry
    const std::string target = p.temp.target;
    if (temp_place(&p.temp, p.placement) != 0) return -1;
    activity_report("extracted", target, "", 1);
  }
  return 0;
}
