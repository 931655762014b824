// collection.cpp -- turning command-line names into file specs.
//
// A name is taken literally, expanded against the files on disk (optionally
// descending into subdirectories), or expanded against the names stored in
// the loaded table, depending on the settings in force when it is named.
// Names found by an expansion are recorded literally: only the subdirectory
// patterns that recursion builds are expanded again.
#include "archive/collection.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/replace.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "platform/platform.h"

namespace {

bool is_dot_or_dotdot(const std::string& n) { return n == "." || n == ".."; }

constexpr size_t MAX_DESCENT_PATH = 4096;

// The identities of the archive and of its temporary file, looked up once
// per command-line name rather than once per file found (forgotten at the
// start of each: the files may have been replaced in between).
struct OwnFiles {
  bool looked = false;
  std::string archive_path, temp_path;  // the paths they were looked up for
  bool archive_exists = false, temp_exists = false;
  PfFileId archive, temp;
};
OwnFiles g_own;

const OwnFiles& own_files() {
  const std::string& archive = g_settings.archive_path;
  const std::string& temp = g_run.temp_path;
  if (!g_own.looked || g_own.archive_path != archive || g_own.temp_path != temp) {
    g_own.archive_path = archive;
    g_own.temp_path = temp;
    g_own.archive_exists = !archive.empty() && pf_file_id(archive.c_str(), &g_own.archive) == 0;
    g_own.temp_exists = !temp.empty() && pf_file_id(temp.c_str(), &g_own.temp) == 0;
    g_own.looked = true;
  }
  return g_own;
}

// 1 when `path` is the archive being rewritten or its temporary file: such a
// file is never stored into the new archive.  `found`: what the enumeration
// that found the file learned of it, or nullptr for a name given literally.
bool is_own_archive(const char* path, const PfFindData* found) {
  if (found && found->has_id) {
    const OwnFiles& own = own_files();
    return (own.archive_exists && pf_same_id(found->id, own.archive)) ||
           (own.temp_exists && pf_same_id(found->id, own.temp));
  }
  const std::string& archive = g_settings.archive_path;
  if (!archive.empty() && pf_same_file(path, archive.c_str())) return true;
  const std::string& temp = g_run.temp_path;
  return !temp.empty() && pf_same_file(path, temp.c_str()) != 0;
}

// The length a spec takes from the enumeration that found its file.
int64_t listed_length(const PfFindData* found) { return found ? found->length : -1; }

// Set when collection must end the run (see add_file_spec).
bool g_collection_failed = false;

int any_change_mode() {
  const Settings& s = g_settings;
  return (s.add_mode || s.delete_mode || s.modify_only) && !s.extract_mode;
}

// The spec flags that an update takes over from the settings in force
// (SPEC_MODIFY, SPEC_EXTRACT and the operation marks keep their values).
uint16_t updatable_flags_from_settings() {
  const Settings& s = g_settings;
  uint16_t f = 0;
  if (s.add_mode) f |= SPEC_ADD;
  if (s.delete_mode) f |= SPEC_DELETE;
  if (s.store_paths) f |= SPEC_KEEP_PATH;
  if (s.compress) f |= SPEC_COMPRESS;
  if (s.in_directory) f |= SPEC_IN_DIRECTORY;
  if (s.attr_l) f |= SPEC_ATTR_L;
  if (s.attr_e) f |= SPEC_ATTR_E;
  if (s.user1) f |= SPEC_USER1;
  if (s.user2) f |= SPEC_USER2;
  if (s.user3) f |= SPEC_USER3;
  if (s.user4) f |= SPEC_USER4;
  return f;
}

constexpr uint16_t UPDATABLE_FLAGS =
    SPEC_ADD | SPEC_DELETE | SPEC_KEEP_PATH | SPEC_COMPRESS | SPEC_IN_DIRECTORY |
    SPEC_ATTR_L | SPEC_ATTR_E | SPEC_USER1 | SPEC_USER2 | SPEC_USER3 | SPEC_USER4;

// Creates a new spec for `name` under the settings in force and marks the
// loaded entry it replaces.
void create_spec(const char* name, const PfFindData* found = nullptr) {
  const Settings& s = g_settings;
  auto spec = std::make_unique<FileSpec>();
  spec->name = name;
  spec->listed_length = listed_length(found);
  spec->new_key = s.new_key_hash;
  spec->match_key = s.match_key_hash;
  spec->set_key = 0;
  spec->flags = updatable_flags_from_settings();
  if (s.modify_only) spec->flags |= SPEC_MODIFY;
  if (s.extract_mode) spec->flags |= SPEC_EXTRACT;
  if (file_spec_append(std::move(spec)) < 0) return;

  if (s.add_mode && !s.modify_only) {
    // The entry this file replaces: the one stored under the name the file
    // will be stored under.  An entry that carries a key is left for the
    // rewrite to settle: it is replaced only when this spec's match key opens it.
    int i = entry_table_find(g_archive.loaded, stored_name(name, s.store_paths != 0).c_str());
    if (i >= 0) {
      EntryRecord& e = *g_archive.loaded.records[static_cast<size_t>(i)];
      if (e.key_hash == 0) e.flags |= ENTRY_DONE;
    }
  }
  if (any_change_mode()) g_run.read_only_run = 0;
}

// Updates the spec of that name when there is one (extract specs are never
// updated), else creates one.
void update_or_create(const char* name, const PfFindData* found = nullptr) {
  int j = file_spec_find(name, 0, SPEC_EXTRACT);
  if (j < 0) {
    create_spec(name, found);
    return;
  }
  const Settings& s = g_settings;
  FileSpec& spec = *g_archive.specs.specs[static_cast<size_t>(j)];
  // Two different files under names equal without case (README and readme
  // on a file system that tells them apart): the archive cannot hold both,
  // and storing one of them would silently drop the other.
  if (s.add_mode && !s.modify_only && !s.view && (spec.flags & SPEC_ADD) && spec.name != name &&
      pf_exists(spec.name.c_str()) && pf_exists(name) && !pf_same_file(spec.name.c_str(), name)) {
    g_collection_failed = true;
    return;
  }
  spec.new_key = s.new_key_hash;
  spec.set_key = s.new_key_given ? 1 : 0;
  spec.match_key = s.match_key_hash;
  spec.listed_length = listed_length(found);
  spec.flags = static_cast<uint16_t>((spec.flags & ~UPDATABLE_FLAGS) |
                                     updatable_flags_from_settings());
  if (any_change_mode()) g_run.read_only_run = 0;
}

// The stored name of the entry a plain name selects (same name by name_key),
// or nullptr: a spec records the name as stored, whatever separators or
// letter case it was typed with.
const char* stored_entry_name(const char* name) {
  int i = entry_table_find(g_archive.loaded, name);
  return i < 0 ? nullptr : g_archive.loaded.records[static_cast<size_t>(i)]->name.c_str();
}

// A folder a recursive disk expansion is inside of, with its identity when
// the listing that found it knew it.
struct Folder {
  std::string path;
  int has_id = 0;
  PfFileId id;
};
// The folders a recursive disk expansion is inside of, outermost first; the
// last is the folder being listed.
using FolderChain = std::vector<Folder>;

void collect(const char* name, bool literal, bool top_level,
             const FolderChain* outer = nullptr, const PfFindData* found = nullptr);

// 1 when the folder `path`, listed as `item`, is one of `chain` (a link
// back to a folder the descent is already inside of).  Identities known
// from the listings are compared as they are; only a folder whose identity
// is unknown is looked at again.
bool is_enclosing_folder(const std::string& path, const PfFindData& item, const FolderChain& chain) {
  for (const Folder& folder : chain) {
    if (item.has_id && folder.has_id) {
      if (pf_same_id(item.id, folder.id)) return true;
    } else if (pf_same_file(path.c_str(), folder.path.c_str())) {
      return true;
    }
  }
  return false;
}

// Expansion against the loaded table, every match in table order.  A
// pattern with a directory part is matched against whole names, one without
// against bare names.
void expand_in_archive(const char* pattern) {
  const bool whole = std::strpbrk(pattern, "\\/") != nullptr;
  // Names are copied first: recording a spec never changes the loaded table,
  // but the walk must not depend on that.
  std::vector<std::string> matches;
  for (const auto& rec : g_archive.loaded.records) {
    const std::string text = whole ? rec->name : bare_name(rec->name);
    if (wild_match_nocase(pattern, text.c_str())) matches.push_back(rec->name);
  }
  for (const std::string& m : matches) collect(m.c_str(), true, false);
}

// Disk expansion.  Returns true when the enumeration returned any item.
// `outer`: the folders that enclose this one in a recursive descent.
bool expand_on_disk(const char* name, const FolderChain* outer) {
  PfFindData item;
  PfFind* h = pf_find_first(name, &item);
  if (!h) return false;
  const std::string given = name;
  const std::string dir = directory_part(given);
  const std::string pattern = last_component(given);
  // A subfolder's expansion gets the chain with itself added by the
  // expansion that found it; a name from the command line starts one.
  FolderChain chain;
  if (g_settings.recurse) {
    if (outer) {
      chain = *outer;
    } else {
      Folder top;
      top.path = dir.empty() ? std::string(".") : dir;
      top.has_id = pf_file_id(top.path.c_str(), &top.id) == 0;
      chain.push_back(std::move(top));
    }
  }
  do {
    const std::string& found = item.long_name.empty() ? item.short_name : item.long_name;
    std::string path = dir + found;
    if (item.attributes & PF_ATTR_DIRECTORY) {
      if (g_settings.recurse && !is_dot_or_dotdot(found)) {
        // Depth-first: the subdirectory is expanded completely right now.
        // A pattern longer than any path the system resolves is not followed
        // (this also ends a descent through a loop of directory links).
        // A link back to a folder the descent is inside of is not followed:
        // two such links would otherwise double the work at every level.
        std::string sub = path + "\\" + pattern;
        if (sub.size() <= MAX_DESCENT_PATH && !is_enclosing_folder(path, item, chain)) {
          Folder inner;
          inner.path = path;
          inner.has_id = item.has_id;
          inner.id = item.id;
          chain.push_back(std::move(inner));
          collect(sub.c_str(), false, false, &chain);
          chain.pop_back();
        }
      }
    } else if (!(item.attributes & (PF_ATTR_HIDDEN | PF_ATTR_SPECIAL)) && !is_temporary_name(found)) {
      // Only regular files are stored; a dangling link, a pipe, a socket or a
      // device met by a pattern is passed over.  (A temporary file is some
      // run's unfinished work, never a file to store.)
      collect(path.c_str(), true, false, nullptr, &item);
    }
  } while (pf_find_next(h, &item));
  pf_find_close(h);
  return true;
}

// The decision of file collection for one name.  `literal`: the name is never
// treated as a pattern.  `top_level`: the name came from the command line (a
// disk pattern that finds nothing then becomes a literal spec; a
// subdirectory pattern built by recursion that finds nothing is dropped).
// `found`: what the disk expansion that found the name learned of its file.
void collect(const char* name, bool literal, bool top_level, const FolderChain* outer,
             const PfFindData* found) {
  const Settings& s = g_settings;
  const bool wild = !literal && has_wildcard(name);

  if (!s.add_mode) {
    if (s.view) {
      create_spec(name);
    } else if (wild && s.extract_mode) {
      std::vector<std::string> matches;
      for (const auto& rec : g_archive.loaded.records)
        if (wild_match(rec->name.c_str(), name)) matches.push_back(rec->name);
      for (const std::string& m : matches) collect(m.c_str(), true, false);
    } else if (wild) {
      expand_in_archive(name);
    } else if (const char* stored = stored_entry_name(name)) {
      create_spec(std::string(stored).c_str());
    }
    return;
  }

  if (s.modify_only) {
    if (wild) {
      expand_in_archive(name);
    } else if (const char* stored = stored_entry_name(name)) {
      update_or_create(std::string(stored).c_str());
    }
    return;
  }

  if (!s.view && wild) {
    if (expand_on_disk(name, outer) || !top_level) return;
    // Nothing on disk: the pattern itself becomes a literal name.
  }
  if (!s.view && is_own_archive(name, found)) return;
  update_or_create(name, found);
}

}  // namespace

namespace {

int collect_checked(const char* name, bool literal) {
  if (!name) return 0;
  g_collection_failed = false;
  g_own.looked = false;
  try {
    collect(name, literal, true);
  } catch (const std::bad_alloc&) {
    // A file dropped for want of memory would look like success.
    return fail_note("out of memory", "", "");
  }
  return g_collection_failed ? -1 : 0;
}

}  // namespace

int add_file_spec(const char* name) { return collect_checked(name, false); }

int add_file_spec_literal(const char* name) { return collect_checked(name, true); }

// ---- wildcard matchers -------------------------------------------------------
//
// Both matchers are evaluated by dynamic programming over (pattern position,
// text position), from the ends backwards, one row per pattern position, so
// that a pattern full of stars costs pattern length x text length steps and
// never backtracks exponentially.  The results are those of the plain
// recursive descriptions in the header.

int wild_match(const char* text, const char* pattern) {
  if (!text || !pattern) return 0;
  const size_t tn = std::strlen(text);
  const size_t pn = std::strlen(pattern);
  // next[j]: the pattern from position i+1 matches the text from position j.
  std::vector<unsigned char> next(tn + 1, 0), cur(tn + 1, 0);
  next[tn] = 1;  // empty pattern matches only the exhausted text
  for (size_t i = pn; i-- > 0;) {
    const char pc = pattern[i];
    cur[tn] = 0;  // pattern left but text exhausted: fail
    if (pc == '*') {
      // A star tries the rest from the current character to the last one,
      // then takes all the rest; it is only reached with text left.
      unsigned char any = next[tn];
      for (size_t j = tn; j-- > 0;) {
        any = static_cast<unsigned char>(any | next[j]);
        cur[j] = any;
      }
    } else {
      for (size_t j = 0; j < tn; ++j)
        cur[j] = static_cast<unsigned char>(
            (pc == '?' || name_char(pc) == name_char(text[j])) ? next[j + 1] : 0);
    }
    next.swap(cur);
  }
  return next[0];
}

namespace {
inline unsigned char lower(char c) {
  return static_cast<unsigned char>(ascii_lower_char(name_char(c)));
}
}  // namespace

// The matcher walks pattern and text side by side ('?' any character, every
// other pattern character, '*' included, compared after lower-casing); where
// the walk stops on a pattern '*' the run of stars is skipped and the rest is
// tried from every position up to the last character of the text; a pattern
// that begins with '*' starts at that step at once.
//
// walk[a][b]: the side-by-side walk from (a, b) succeeds.
// rest[i][b]: after a run of stars that ends at position i, some k in
//             [b, text length) has walk[i][k] (or i is the end of the pattern).
int wild_match_nocase(const char* pattern, const char* text) {
  if (!text || !pattern) return 0;
  const size_t tn = std::strlen(text);
  const size_t pn = std::strlen(pattern);

  // For a star at position a: the first non-star position after its run.
  // Rows are computed from the end of the pattern backwards; only the row of
  // a+1 (walk) and the suffix-or row of the latest non-star position are kept.
  std::vector<unsigned char> walk_next(tn + 1, 0), walk_cur(tn + 1, 0);
  std::vector<unsigned char> any_from(tn + 1, 0);  // suffix OR of the latest non-star row
  size_t any_row = pn;  // which position any_from describes (pn: end of pattern)

  // Star step from position a (a star) at text position b.
  auto star_step = [&](size_t b) -> unsigned char {
    if (any_row == pn) return 1;  // stars run to the end: any rest matches
    if (b >= tn) return 0;
    return any_from[b];
  };

  // Row pn: both exhausted succeeds, else the walk stopped with the pattern
  // exhausted: fail.
  for (size_t b = 0; b <= tn; ++b) walk_next[b] = (b == tn) ? 1 : 0;
  // any_from for the end of the pattern is never consulted (star_step checks).

  for (size_t a = pn; a-- > 0;) {
    const char pc = pattern[a];
    for (size_t b = 0; b <= tn; ++b) {
      unsigned char r;
      if (b < tn && (pc == '?' || lower(pc) == lower(text[b]))) {
        r = walk_next[b + 1];
      } else {
        r = (pc == '*') ? star_step(b) : 0;
      }
      walk_cur[b] = r;
    }
    walk_next.swap(walk_cur);
    if (pc != '*') {
      // New latest non-star row: keep its suffix OR over [b, tn).
      unsigned char any = 0;
      any_from[tn] = 0;
      for (size_t b = tn; b-- > 0;) {
        any = static_cast<unsigned char>(any | walk_next[b]);
        any_from[b] = any;
      }
      any_row = a;
    }
  }
  // A pattern that begins with '*' goes straight to the star step.
  if (pn > 0 && pattern[0] == '*') return star_step(0);
  return walk_next[0];
}

// ---- temporary files -----------------------------------------------------------

std::string temp_archive_path() { return g_run.temp_path; }

int open_temp() {
  RunState& run = g_run;
  if (run.output_fd >= 0) return 0;
  TempFile t;
  if (temp_create(g_settings.archive_path, &t) != 0) return -1;
  run.output_fd = t.fd;
  run.temp_path = t.path;
  return 0;
}
