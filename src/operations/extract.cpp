// extract.cpp -- writing the entries named by extract specs out as files.
//
// The walk reads the old archive only: in-directory data through one forward
// walk of the directory stream (archive/indir_walk.h; data of entries that
// are not written is read and discarded), standalone data from its own
// offset.  Each target is first written completely to a temporary file
// beside it (temp_create); once every target is written, all of them are
// flushed in one pass, renamed over their targets in one step each, and each
// folder flushed once.  In-directory entries' targets wait for that until
// the directory stream has been read to its end and its checksum held.  The
// folders the run makes for its targets are removed again, when empty, if
// the run fails or is stopped.
#include "operations/extract.h"

#include <cstdint>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "archive/indir_walk.h"
#include "archive/inflate_ahead.h"
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

// A target written completely, not yet flushed, whose temporary waits for
// the end of the walk (and an in-directory entry's, for the directory
// stream's end to be checked) before it is put in place.
struct PendingTarget {
  TempFile temp;
  TempPlacement placement = TEMP_REPLACE;
  bool standalone = false;  // its data did not come from the directory stream
};

// The folders this run made for its targets.  Unless the run keeps them,
// the ones still empty are removed when it ends (and by the signal handler
// when it is stopped: remove_live_temporaries).
struct MadeFolders {
  std::vector<std::string> paths;
  std::unordered_set<std::string> known;  // real folders found or made so far
  bool keep = false;
  MadeFolders() { forget_created_folders(); }
  ~MadeFolders() {
    if (keep)
      forget_created_folders();
    else
      remove_created_folders();
  }
  MadeFolders(const MadeFolders&) = delete;
  MadeFolders& operator=(const MadeFolders&) = delete;
};

int place_pending(std::vector<PendingTarget>& items, bool standalone_only,
                  const std::vector<std::string>& made);

// Every pending target.  When the walk fails before its end, the standalone
// targets written completely still go in place (as a run that writes them
// one by one would have left them); whatever is still here then is deleted.
struct PendingList {
  std::vector<PendingTarget> items;
  std::unordered_map<std::string, size_t> by_target;  // lower-cased target -> item
  const MadeFolders* folders = nullptr;  // flushed with the targets
  bool settled = false;  // placed, or given up: nothing more goes in place
  ~PendingList() {
    if (!settled && folders) {
      try {
        place_pending(items, true, folders->paths);
      } catch (const std::bad_alloc&) {
        // The run has failed already; what is not in place is deleted below.
      }
    }
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

// Asks whether an existing target is replaced, unless every one is:
// *write becomes 0 when the answer was 'n'.  0.
int ask_overwrite(const std::string& target, int* write) {
  RunState& run = g_run;
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

// Decides whether the entry is written to `target`: *write becomes 1 to
// write it, 0 when the answer was 'n'.  A target an earlier entry of this run
// is about to write counts as existing; *placement tells whether the target
// existed when it was decided.  0, or -1 when the target must not be
// replaced at all.
int decide_overwrite(const std::string& target, const PendingList& pending,
                     TempPlacement* placement, int* write) {
  RunState& run = g_run;
  // Nothing of that name (the common case of a fresh folder): it is neither
  // of the archives, and one look was enough.
  if (pf_path_kind(target.c_str()) == PF_PATH_MISSING) {
    *placement = TEMP_NEW_ONLY;
    *write = 1;
    if (pending.find(target) < 0) return 0;
    return ask_overwrite(target, write);
  }
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
  return ask_overwrite(target, write);
}

// Copies loaded entry `index`'s data into run.output_fd (the target's
// temporary file); an in-directory entry's through the walk.
// `last_in_directory` says that no in-directory data follows it, so the
// directory stream must end right after it.
int copy_entry_data(const EntryRecord& e, int index, bool last_in_directory, IndirWalk& walk,
                    std::vector<unsigned char>& buffer) {
  const RunState& run = g_run;
  if (e.loaded_flags & ENTRY_IN_DIRECTORY) {
    if (indir_goto(walk, index) != 0) return -1;
    // In pieces as large as the buffer: most entries take one write.
    while (indir_left(walk) > 0) {
      const uint32_t left = indir_left(walk);
      const uint32_t piece = left < buffer.size() ? left : static_cast<uint32_t>(buffer.size());
      if (indir_read(walk, buffer.data(), piece) != 0)
        return fail_note("damaged data", "", "(compressed data ends before its recorded size)");
      if (pf_write(run.output_fd, buffer.data(), piece) != static_cast<int64_t>(piece))
        return fail_system("cannot write", "");
      progress_bytes(piece);
    }
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

// Writes one entry into a temporary file beside `target`, closed but not
// yet flushed, and puts it on the pending list.
int write_entry(const EntryRecord& e, const std::string& target, TempPlacement placement,
                int index, bool last_in_directory, IndirWalk& walk,
                std::vector<unsigned char>& buffer, PendingList& pending) {
  RunState& run = g_run;
  PendingTarget p;
  p.placement = placement;
  const int made = placement == TEMP_NEW_ONLY ? temp_create_new(target, &p.temp)
                                               : temp_create(target, &p.temp);
  if (made != 0) return -1;
  const int previous = run.output_fd;
  run.output_fd = p.temp.fd;
  int rc = copy_entry_data(e, index, last_in_directory, walk, buffer);
  run.output_fd = previous;
  if (rc != 0 || temp_finish_unflushed(&p.temp) != 0) {
    temp_discard(&p.temp);
    return -1;
  }
  p.standalone = !(e.loaded_flags & ENTRY_IN_DIRECTORY);
  try {
    pending.add(p);
  } catch (const std::bad_alloc&) {
    temp_discard(&p.temp);
    return fail_note("out of memory", "", "");
  }
  return 0;
}

// Puts the pending targets in place (only the standalone ones when
// `standalone_only`): flushes their data in one pass, renames each over its
// target in the order they were written, then flushes each folder that
// received one, and the folder holding each folder in `made`, once.  0, or
// -1 at the first failure: the targets renamed before it stay in place,
// those after it are left on the list.
int place_pending(std::vector<PendingTarget>& items, bool standalone_only,
                  const std::vector<std::string>& made) {
  std::vector<PendingTarget*> chosen;
  std::vector<const TempFile*> temps;
  for (PendingTarget& p : items) {
    if (p.temp.path.empty() || (standalone_only && !p.standalone)) continue;
    chosen.push_back(&p);
    temps.push_back(&p.temp);
  }
  if (chosen.empty()) return 0;
  if (temp_flush_all(temps) != 0) return -1;
  std::vector<std::string> placed = made;
  int rc = 0;
  for (PendingTarget* p : chosen) {
    const std::string target = p->temp.target;
    if (temp_rename(&p->temp, p->placement) != 0) {
      rc = -1;
      break;
    }
    activity_report("extracted", target, "", 1);
    placed.push_back(target);
  }
  if (temp_flush_folders(placed) != 0) rc = -1;
  return rc;
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

int make_target_folders(const std::string& target, std::vector<std::string>* made,
                        std::unordered_set<std::string>* known) {
  // The whole folder part known already: nothing to look at.
  const size_t last = target.find_last_of("\\/");
  if (known && last != std::string::npos && known->count(target.substr(0, last))) return 0;
  size_t begin = 0;
  for (;;) {
    const size_t end = target.find_first_of("\\/", begin);
    if (end == std::string::npos) break;
    const std::string component = target.substr(begin, end - begin);
    begin = end + 1;
    // An empty component or "." names the folder checked just before.
    if (component.empty() || component == ".") continue;
    const std::string folder = target.substr(0, end);
    if (known && known->count(folder)) continue;
    int kind = pf_path_kind(folder.c_str());
    if (kind == PF_PATH_MISSING) {
      // Another process may have made it meanwhile: only a real folder will do.
      if (pf_make_folder(folder.c_str()) == 0) {
        if (made) {
          track_created_folder(folder);
          made->push_back(folder);
        }
        kind = PF_PATH_FOLDER;
      } else {
        kind = pf_path_kind(folder.c_str());
      }
    }
    if (kind != PF_PATH_FOLDER) return -1;
    if (known) known->insert(folder);
  }
  if (known && last != std::string::npos) known->insert(target.substr(0, last));
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

  // The directory stream is inflated ahead of the writes by a worker
  // thread (none with "--threads 1"), through its own inflater: the shared
  // read stream stays free for the standalone entries read in between.
  IndirWalk walk;
  InflateAheadPtr ahead;
  std::vector<unsigned char> buffer;
  if (last_in_directory >= 0) {
    ahead = ahead_open(g_run.archive_fd, static_cast<int64_t>(g_run.directory_offset),
                       g_settings.threads != 1);
    unsigned char* scratch = copy_buffer();
    if (!ahead || scratch == nullptr) return -1;
    try {
      buffer.resize(AHEAD_BUFFER_SIZE);
    } catch (const std::bad_alloc&) {
      return fail_note("out of memory", "", "");
    }
    indir_open_source(walk, ahead_source(ahead.get(), scratch, COPY_BUFFER_SIZE));
  } else {
    indir_open(walk);
  }
  MadeFolders folders;  // ended after the pending list: emptied folders go
  PendingList pending;
  pending.folders = &folders;
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
    if (make_target_folders(target, &folders.paths, &folders.known) != 0)
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
    if (write_entry(e, target, placement, i, i == last_in_directory, walk, buffer, pending) != 0) {
      failure_name_file(e.name);
      return -1;
    }
  }
  // Damaged in-directory data shows only at the stream's end: nothing of it
  // is put in place before that end has checked out (the walk reads it to
  // there unless it did already).
  bool in_directory = false;  // also one a later entry of its name replaced
  for (const PendingTarget& p : pending.items)
    if (!p.standalone) in_directory = true;
  if (in_directory && indir_finish(walk) != 0) {
    failure_name_file(g_settings.archive_path);
    return fail_note("damaged archive", g_settings.archive_path,
                     "(its directory stream does not end with a valid checksum)");
  }
  pending.settled = true;
  if (place_pending(pending.items, false, folders.paths) != 0) return -1;
  folders.keep = true;
  return 0;
}
