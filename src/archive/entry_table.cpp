// entry_table.cpp -- entry records, the two tables, the file-spec list, their
// lower-cased name indexes, and the key check between an entry and a spec.
#include "archive/entry_table.h"

#include <new>

#include "archive/archive_state.h"
#include "base/failure.h"

namespace {

// Removes `index` from a list of indices and renumbers the later ones.
void drop_from_list(std::vector<int>& v, int index) {
  size_t out = 0;
  for (int i : v) {
    if (i == index) continue;
    v[out++] = i > index ? i - 1 : i;
  }
  v.resize(out);
}

// Renumbers an index map after the element at `index` was erased from its
// list.  Allocates nothing, so it cannot fail.
void forget_index(std::unordered_map<std::string, NameSlot>& map, int index) {
  for (auto it = map.begin(); it != map.end();) {
    NameSlot& slot = it->second;
    drop_from_list(slot.more, index);
    if (slot.first == index) {
      if (slot.more.empty()) {
        it = map.erase(it);
        continue;
      }
      slot.first = slot.more.front();
      slot.more.erase(slot.more.begin());
    } else if (slot.first > index) {
      --slot.first;
    }
    ++it;
  }
}

void forget_index(std::unordered_map<std::string, std::vector<int>>& map, int index) {
  for (auto it = map.begin(); it != map.end();) {
    drop_from_list(it->second, index);
    if (it->second.empty()) {
      it = map.erase(it);
    } else {
      ++it;
    }
  }
}

// The quick way when the last element went (the exit routine empties lists
// from the end): only that name's entries change.  False when that cannot be
// done (memory, or a name changed since it was indexed).
bool forget_last(std::unordered_map<std::string, std::vector<int>>& map,
                 const std::string& key, int index) {
  auto it = map.find(key);
  if (it == map.end() || it->second.empty() || it->second.back() != index) return false;
  it->second.pop_back();
  if (it->second.empty()) map.erase(it);
  return true;
}

// Makes room for one more element ahead of time (doubling, so that adding n
// elements stays linear), so that the push that follows cannot fail.
template <typename T>
void room_for_one(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(v.capacity() < 8 ? 8 : v.capacity() * 2);
}

// The same for the later records of one name key, which are rare: room
// grows from one.
void room_for_one_more_name(std::vector<int>& v) {
  if (v.size() == v.capacity()) v.reserve(v.capacity() == 0 ? 1 : v.capacity() * 2);
}

}  // namespace

int entry_table_add(EntryTable& table, const char* name, uint32_t offset,
                    uint32_t size, uint32_t key_hash, uint8_t file_flags,
                    int keep_name) {
  if (name == nullptr) return -1;
  std::unique_ptr<EntryRecord> rec;
  std::string key, bare_key;
  try {
    // With keep_name 0 only the part after the last '/' or '\' is kept (the
    // same as dropping up to each '/', then up to each '\').
    rec.reset(new EntryRecord());
    rec->name = keep_name ? std::string(name) : bare_name(name);
    key = name_key(rec->name);
    bare_key = bare_name(key);  // the bare part holds no separator to fold
  } catch (const std::bad_alloc&) {
    return fail_note("out of memory", "", "");
  }
  rec->offset = offset;
  rec->size = size;
  rec->key_hash = key_hash;
  rec->flags = entry_flags_from_file(file_flags);
  rec->loaded_flags = rec->flags;

  // The name index doubles as the duplicate check.  Each step that can fail
  // comes before any change it could leave half done.
  const int index = table.count();
  NameSlot* named = nullptr;
  try {
    named = &table.by_name[key];
    if (named->first >= 0) {
      if (equal_without_case(table.records[static_cast<size_t>(named->first)]->name, rec->name))
        return -1;
      for (int i : named->more)
        if (equal_without_case(table.records[static_cast<size_t>(i)]->name, rec->name)) return -1;
      room_for_one_more_name(named->more);
    }
  } catch (const std::bad_alloc&) {
    if (named != nullptr && named->first < 0) table.by_name.erase(key);
    return fail_note("out of memory", "", "");
  }
  try {
    room_for_one(table.records);
    std::vector<int>& bare_list = table.by_bare_name[bare_key];
    try {
      room_for_one(bare_list);
    } catch (const std::bad_alloc&) {
      if (bare_list.empty()) table.by_bare_name.erase(bare_key);
      throw;
    }
    table.records.push_back(std::move(rec));  // capacity is there: no throw
    bare_list.push_back(index);
    if (named->first < 0) {
      named->first = index;
    } else {
      named->more.push_back(index);  // capacity is there: no throw
    }
  } catch (const std::bad_alloc&) {
    if (named->first < 0) table.by_name.erase(key);
    return fail_note("out of memory", "", "");
  }
  return 0;
}

int entry_table_remove(EntryTable& table, int index) {
  if (table.count() == 0 || index < 0 || index >= table.count()) return -1;
  std::unique_ptr<EntryRecord> gone = std::move(table.records[static_cast<size_t>(index)]);
  table.records.erase(table.records.begin() + index);
  bool quick = false;
  if (index == table.count()) {
    try {
      const std::string key = name_key(gone->name);
      const std::string bare_key = bare_name(key);
      auto named = table.by_name.find(key);
      if (named != table.by_name.end()) {
        NameSlot& slot = named->second;
        const bool last_of_more = !slot.more.empty() && slot.more.back() == index;
        const bool only = slot.more.empty() && slot.first == index;
        if ((last_of_more || only) && forget_last(table.by_bare_name, bare_key, index)) {
          if (last_of_more) {
            slot.more.pop_back();
          } else {
            table.by_name.erase(named);
          }
          quick = true;
        }
      }
    } catch (const std::bad_alloc&) {
      // Not a failure: the slow way below removes the record all the same.
    }
  }
  if (!quick) {
    forget_index(table.by_name, index);
    forget_index(table.by_bare_name, index);
  }
  return 0;
}

int entry_table_find(const EntryTable& table, const char* name) {
  if (name == nullptr) return -1;
  auto it = table.by_name.find(name_key(name));
  if (it == table.by_name.end() || it->second.first < 0) return -1;
  const NameSlot& slot = it->second;
  // The record spelled exactly so (letter case aside) comes before one whose
  // separators differ.
  if (slot.more.empty() ||
      equal_without_case(table.records[static_cast<size_t>(slot.first)]->name, name))
    return slot.first;
  for (int i : slot.more)
    if (equal_without_case(table.records[static_cast<size_t>(i)]->name, name)) return i;
  return slot.first;
}

int entry_table_find_bare(const EntryTable& table, const char* name) {
  if (name == nullptr) return -1;
  auto it = table.by_bare_name.find(ascii_lower(name));
  if (it == table.by_bare_name.end() || it->second.empty()) return -1;
  return it->second.front();
}

int file_spec_append(std::unique_ptr<FileSpec> spec) {
  if (!spec) return -1;
  FileSpecList& list = g_archive.specs;
  std::string key;
  try {
    key = name_key(spec->name);
    room_for_one(list.specs);
    std::vector<int>& same = list.by_name[key];
    try {
      room_for_one(same);
    } catch (const std::bad_alloc&) {
      if (same.empty()) list.by_name.erase(key);
      throw;
    }
    int index = list.count();
    spec->key = std::move(key);             // no throw
    list.specs.push_back(std::move(spec));  // capacity is there: no throw
    same.push_back(index);
    return index;
  } catch (const std::bad_alloc&) {
    return fail_note("out of memory", "", "");
  }
}

void file_spec_remove(FileSpec* spec) {
  if (spec == nullptr) return;
  FileSpecList& list = g_archive.specs;
  int index = -1;
  for (int i = list.count() - 1; i >= 0; --i) {  // usually the last one
    if (list.specs[static_cast<size_t>(i)].get() == spec) {
      index = i;
      break;
    }
  }
  if (index < 0) return;
  // The last spec (the exit routine empties the list from the end) leaves
  // only its own name's list, found by the key it was indexed under.
  const bool quick = index == list.count() - 1 && forget_last(list.by_name, spec->key, index);
  list.specs.erase(list.specs.begin() + index);  // frees the spec
  if (!quick) forget_index(list.by_name, index);
}

int file_spec_find(const char* name, uint16_t need, uint16_t refuse) {
  if (name == nullptr) return -1;
  const FileSpecList& list = g_archive.specs;
  auto it = list.by_name.find(name_key(name));
  if (it == list.by_name.end()) return -1;
  for (int i : it->second) {
    uint16_t f = list.specs[static_cast<size_t>(i)]->flags;
    if ((f & need) == need && (f & refuse) == 0) return i;
  }
  return -1;
}

int key_check(int entry_index, int spec_index) {
  if (entry_index < 0 || entry_index >= g_archive.loaded.count()) return 0;
  if (spec_index < 0 || spec_index >= g_archive.specs.count()) return 0;
  EntryRecord& e = *g_archive.loaded.records[static_cast<size_t>(entry_index)];
  FileSpec& s = *g_archive.specs.specs[static_cast<size_t>(spec_index)];
  if (e.key_hash != 0 && e.key_hash != s.match_key) return 0;
  if (s.set_key & 1) {
    e.key_hash = s.new_key;
    s.match_key = s.new_key;
  }
  return 1;
}
