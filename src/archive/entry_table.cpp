// entry_table.cpp -- entry records, the two tables, the file-spec list, their
// lower-cased name indexes, and the key check between an entry and a spec.
#include "archive/entry_table.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "archive/archive_state.h"
#include "base/failure.h"

namespace {

// ---- keys of the indexes -----------------------------------------------------
//
// Whole names are keyed by name_key (ASCII letters lower-cased, '\' as '/'),
// bare names by their lower-cased bytes.  Keys are never stored: hash and
// equality fold each byte as they read it.

enum class Fold { NAME, BARE };

inline unsigned char fold(char c, Fold f) {
  return static_cast<unsigned char>(ascii_lower_char(f == Fold::NAME ? name_char(c) : c));
}

// Names come from archives anyone can make: the hash starts from a value
// drawn once per process, so that no archive can be made whose names all
// crowd one probe run.  The answers never depend on it, only the speed.
uint64_t hash_seed() {
  static const uint64_t seed = [] {
    int here = 0;
    uint64_t s = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    s ^= static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&here)) << 16;
    s *= 0x9e3779b97f4a7c15ull;
    return s ^ (s >> 29);
  }();
  return seed;
}

uint64_t name_hash(const char* s, Fold f) {
  uint64_t h = 0xcbf29ce484222325ull ^ hash_seed();
  for (; *s != '\0'; ++s) {
    h ^= fold(*s, f);
    h *= 0x100000001b3ull;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return h;
}

bool key_equal(const char* a, const char* b, Fold f) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (fold(*a, f) != fold(*b, f)) return false;
  return *a == *b;
}

// Equal without regard to ASCII case, separators as they are.
bool same_spelling(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (ascii_lower_char(*a) != ascii_lower_char(*b)) return false;
  return *a == *b;
}

// The part of a name after its last '/' or '\'.
const char* bare_part(const char* name) {
  const char* bare = name;
  for (const char* p = name; *p != '\0'; ++p)
    if (is_name_separator(*p)) bare = p + 1;
  return bare;
}

bool has_separator(const char* name) {
  for (; *name != '\0'; ++name)
    if (is_name_separator(*name)) return true;
  return false;
}

// How each index reaches its elements' keys and chain links.
struct RecordNames {
  static constexpr Fold FOLD = Fold::NAME;
  const RecordList& records;
  uint32_t count() const { return static_cast<uint32_t>(records.size()); }
  const char* key(uint32_t i) const { return records[i]->name.c_str(); }
  ChainLinks& links(uint32_t i) const { return records[i]->same_name; }
};

struct RecordBareNames {
  static constexpr Fold FOLD = Fold::BARE;
  const RecordList& records;
  uint32_t count() const { return static_cast<uint32_t>(records.size()); }
  const char* key(uint32_t i) const { return bare_part(records[i]->name.c_str()); }
  ChainLinks& links(uint32_t i) const { return records[i]->same_bare_name; }
};

struct SpecNames {
  static constexpr Fold FOLD = Fold::NAME;
  FileSpecList& list;
  uint32_t count() const { return static_cast<uint32_t>(list.specs.size()); }
  const char* key(uint32_t i) const { return list.specs[i]->name.c_str(); }
  ChainLinks& links(uint32_t i) const { return list.links[i]; }
};

// ---- the indexes --------------------------------------------------------------
//
// A slot holds the first element of its chain in its low 24 bits and 8 bits
// of its key's hash in its high ones, so that a probe passes over the chains
// of other keys without reading their names.

constexpr uint32_t INDEX_BITS = 0x00FFFFFFu;

inline uint32_t slot_element(uint32_t slot) { return slot & INDEX_BITS; }
inline uint32_t slot_for(uint32_t element, uint64_t hash) {
  return element | static_cast<uint32_t>(hash >> 56) << 24;
}

// The slot of the chain whose key equals `key` (of hash `h`), or the empty
// slot where its probe ends (slots must not be empty).
template <typename Access>
size_t probe(const NameIndex& ix, const Access& a, const char* key, uint64_t h) {
  const size_t mask = ix.slots.size() - 1;
  const uint32_t tag = slot_for(0, h);
  for (size_t s = static_cast<size_t>(h) & mask;; s = (s + 1) & mask) {
    const uint32_t slot = ix.slots[s];
    if (slot == NO_INDEX) return s;
    if ((slot & ~INDEX_BITS) == tag && key_equal(a.key(slot_element(slot)), key, Access::FOLD))
      return s;
  }
}

template <typename Access>
size_t probe(const NameIndex& ix, const Access& a, const char* key) {
  return probe(ix, a, key, name_hash(key, Access::FOLD));
}

// The first element of `key` in list order, or NO_INDEX.
template <typename Access>
uint32_t first_of(const NameIndex& ix, const Access& a, const char* key) {
  if (ix.slots.empty()) return NO_INDEX;
  const uint32_t slot = ix.slots[probe(ix, a, key)];
  return slot == NO_INDEX ? NO_INDEX : slot_element(slot);
}

// Makes room for one more chain, so that linking an element cannot fail.
// 0, or -1 when memory ran out (the index is then unchanged).
template <typename Access>
int index_room(NameIndex& ix, const Access& a) {
  if ((static_cast<size_t>(ix.chains) + 1) * 4 <= ix.slots.size() * 3) return 0;
  std::vector<uint32_t> grown;
  try {
    grown.assign(ix.slots.empty() ? 16 : ix.slots.size() * 2, NO_INDEX);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  // The first element of each chain, in list order: the names are read
  // front to back rather than in the order of their slots.
  const size_t mask = grown.size() - 1;
  const uint32_t n = a.count();
  for (uint32_t i = 0; i < n; ++i) {
    if (a.links(i).prev < i) continue;  // not the first of its key
    const uint64_t h = name_hash(a.key(i), Access::FOLD);
    size_t s = static_cast<size_t>(h) & mask;
    while (grown[s] != NO_INDEX) s = (s + 1) & mask;
    grown[s] = slot_for(i, h);
  }
  ix.slots.swap(grown);
  return 0;
}

// Links element i, which follows every element already indexed, behind the
// others of its key (after index_room), given the slot its key probes to
// and the key's hash.
template <typename Access>
void index_link_at(NameIndex& ix, const Access& a, uint32_t i, size_t s, uint64_t h) {
  ChainLinks& mine = a.links(i);
  if (ix.slots[s] == NO_INDEX) {
    ix.slots[s] = slot_for(i, h);
    ++ix.chains;
    mine.next = mine.prev = i;
    return;
  }
  const uint32_t head = slot_element(ix.slots[s]);
  ChainLinks& first = a.links(head);
  const uint32_t last = first.prev;
  a.links(last).next = i;
  mine.prev = last;
  mine.next = head;
  first.prev = i;
}

template <typename Access>
void index_link(NameIndex& ix, const Access& a, uint32_t i) {
  const uint64_t h = name_hash(a.key(i), Access::FOLD);
  index_link_at(ix, a, i, probe(ix, a, a.key(i), h), h);
}

// The slot that holds `head`.  Found through the key; a spec whose name
// changed after it was indexed is found by a walk over the slots.
template <typename Access>
size_t slot_of(const NameIndex& ix, const Access& a, uint32_t head) {
  const size_t s = probe(ix, a, a.key(head));
  if (ix.slots[s] != NO_INDEX && slot_element(ix.slots[s]) == head) return s;
  for (size_t t = 0; t < ix.slots.size(); ++t)
    if (ix.slots[t] != NO_INDEX && slot_element(ix.slots[t]) == head) return t;
  return ix.slots.size();
}

// Empties slot s and moves later slots of its probe run back into the gap,
// so that every probe still reaches its chain without tombstones.
template <typename Access>
void clear_slot(NameIndex& ix, const Access& a, size_t s) {
  const size_t mask = ix.slots.size() - 1;
  size_t hole = s;
  for (size_t j = (s + 1) & mask; ix.slots[j] != NO_INDEX; j = (j + 1) & mask) {
    const size_t home =
        static_cast<size_t>(name_hash(a.key(slot_element(ix.slots[j])), Access::FOLD)) & mask;
    // The element at j may fill the hole unless its home lies cyclically in
    // (hole, j].
    const bool stays = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (!stays) {
      ix.slots[hole] = ix.slots[j];
      hole = j;
    }
  }
  ix.slots[hole] = NO_INDEX;
  --ix.chains;
}

// Takes element i out of its chain (its key must be the one it was linked
// under, but see slot_of).  Allocates nothing.
template <typename Access>
void index_unlink(NameIndex& ix, const Access& a, uint32_t i) {
  ChainLinks& mine = a.links(i);
  // In a chain kept in list order only the first element has a previous one
  // that is not before it (the last, or itself).
  const bool first = mine.prev >= i;
  if (first) {
    const size_t s = slot_of(ix, a, i);
    if (s == ix.slots.size()) return;  // not indexed
    if (mine.next == i) {
      clear_slot(ix, a, s);
      return;
    }
    ix.slots[s] = (ix.slots[s] & ~INDEX_BITS) | mine.next;  // same key, same hash bits
  }
  a.links(mine.prev).next = mine.next;
  a.links(mine.next).prev = mine.prev;
}

// After element `gone` left the list: every index above it moves down one.
inline void renumber(uint32_t& v, uint32_t gone) {
  if (v != NO_INDEX && v > gone) --v;
}

void renumber_slots(NameIndex& ix, uint32_t gone) {
  for (uint32_t& v : ix.slots)
    if (v != NO_INDEX && slot_element(v) > gone) --v;
}

void release_index(NameIndex& ix) {
  std::vector<uint32_t>().swap(ix.slots);
  ix.chains = 0;
}

// ---- the name store -----------------------------------------------------------

constexpr size_t FIRST_CHUNK = 4096;
constexpr size_t CHUNK = 65536;

// 0 when `bytes` fit behind the last name (a new chunk when needed), -1 when
// memory ran out.
int store_room(NameStore& store, size_t bytes) {
  if (store.room >= bytes) return 0;
  const size_t size = std::max(store.chunks.empty() ? FIRST_CHUNK : CHUNK, bytes);
  try {
    if (store.chunks.size() == store.chunks.capacity())
      store.chunks.reserve(store.chunks.empty() ? 8 : store.chunks.size() * 2);
    store.chunks.emplace_back(new char[size]);  // room reserved: cannot throw after new
  } catch (const std::bad_alloc&) {
    return -1;
  }
  store.base = store.top = store.chunks.back().get();
  store.room = size;
  return 0;
}

const char* store_put(NameStore& store, const char* text, size_t length) {
  char* at = store.top;
  std::memcpy(at, text, length);
  at[length] = '\0';
  store.top += length + 1;
  store.room -= length + 1;
  return at;
}

// Gives the bytes of a name back when it is the last one stored.
void store_drop(NameStore& store, const char* text) {
  const size_t bytes = std::strlen(text) + 1;
  if (text >= store.base && text + bytes == store.top) {
    store.top -= bytes;
    store.room += bytes;
  }
}

// Makes room for one more element ahead of time (doubling, so that adding n
// elements stays linear), so that the push that follows cannot fail.
template <typename T>
void room_for_one(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(v.capacity() < 8 ? 8 : v.capacity() * 2);
}

}  // namespace

// ---- the record list ----------------------------------------------------------

int RecordList::room_for_one() {
  if (size_ < capacity()) return 0;
  try {
    ::room_for_one(blocks_);
    blocks_.emplace_back(new EntryRecord[BLOCK]);  // room reserved: cannot throw after new
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

void RecordList::push_back(const EntryRecord& r) {
  *(*this)[size_] = r;
  ++size_;
}

void RecordList::erase(size_t i) {
  for (size_t j = i; j + 1 < size_; ++j) *(*this)[j] = *(*this)[j + 1];
  --size_;
}

void RecordList::clear() {
  std::vector<std::unique_ptr<EntryRecord[]>>().swap(blocks_);
  size_ = 0;
}

// ---- entry tables ---------------------------------------------------------------

int entry_table_add(EntryTable& table, const char* name, uint32_t offset,
                    uint32_t size, uint32_t key_hash, uint8_t file_flags,
                    int keep_name) {
  if (name == nullptr) return -1;
  // With keep_name 0 only the part after the last '/' or '\' is kept.
  const char* text = keep_name ? name : bare_part(name);
  if (table.records.size() >= MAX_INDEXED) return -1;

  // Every step that can fail comes before the first change (room made
  // ahead is no change).
  const RecordNames by_name{table.records};
  const RecordBareNames by_bare{table.records};
  const size_t length = std::strlen(text);
  if (table.records.room_for_one() != 0 || store_room(table.names, length + 1) != 0 ||
      index_room(table.by_name, by_name) != 0 || index_room(table.by_bare_name, by_bare) != 0)
    return fail_note("out of memory", "", "");

  // The name index doubles as the duplicate check: the records of one
  // name_key differ at most in their separators.
  const uint64_t h = name_hash(text, Fold::NAME);
  const size_t at = probe(table.by_name, by_name, text, h);
  if (table.by_name.slots[at] != NO_INDEX) {
    const uint32_t first = slot_element(table.by_name.slots[at]);
    uint32_t i = first;
    uint32_t spellings = 0;
    do {
      if (same_spelling(table.records[i]->name.c_str(), text)) return -1;
      if (++spellings >= MAX_SPELLINGS)
        return fail_note("too many names differ only in their separators:", text, "");
      i = table.records[i]->same_name.next;
    } while (i != first);
  }

  EntryRecord rec;
  rec.name = StoredName(store_put(table.names, text, length));
  rec.offset = offset;
  rec.size = size;
  rec.key_hash = key_hash;
  rec.flags = entry_flags_from_file(file_flags);
  rec.loaded_flags = rec.flags;
  table.records.push_back(rec);
  const uint32_t index = static_cast<uint32_t>(table.records.size() - 1);
  index_link_at(table.by_name, by_name, index, at, h);
  index_link(table.by_bare_name, by_bare, index);
  return 0;
}

int entry_table_remove(EntryTable& table, int index) {
  if (table.count() == 0 || index < 0 || index >= table.count()) return -1;
  const uint32_t gone = static_cast<uint32_t>(index);
  const RecordNames by_name{table.records};
  const RecordBareNames by_bare{table.records};
  index_unlink(table.by_name, by_name, gone);
  index_unlink(table.by_bare_name, by_bare, gone);
  store_drop(table.names, table.records[gone]->name.c_str());

  if (gone + 1 == table.records.size()) {
    table.records.pop_back();
  } else {
    table.records.erase(gone);
    renumber_slots(table.by_name, gone);
    renumber_slots(table.by_bare_name, gone);
    for (EntryRecord* r : table.records) {
      renumber(r->same_name.next, gone);
      renumber(r->same_name.prev, gone);
      renumber(r->same_bare_name.next, gone);
      renumber(r->same_bare_name.prev, gone);
    }
  }

  if (table.records.empty()) {
    table.records.clear();
    table.names = NameStore();
    release_index(table.by_name);
    release_index(table.by_bare_name);
  }
  return 0;
}

int entry_table_find(const EntryTable& table, const char* name) {
  if (name == nullptr) return -1;
  const uint32_t first = first_of(table.by_name, RecordNames{table.records}, name);
  if (first == NO_INDEX) return -1;
  // The record spelled exactly so (letter case aside) comes before one whose
  // separators differ.
  uint32_t i = first;
  do {
    if (same_spelling(table.records[i]->name.c_str(), name)) return static_cast<int>(i);
    i = table.records[i]->same_name.next;
  } while (i != first);
  return static_cast<int>(first);
}

int entry_table_find_bare(const EntryTable& table, const char* name) {
  // A bare name holds no separator, so a name with one matches none.
  if (name == nullptr || has_separator(name)) return -1;
  const uint32_t first = first_of(table.by_bare_name, RecordBareNames{table.records}, name);
  return first == NO_INDEX ? -1 : static_cast<int>(first);
}

// ---- file specs -----------------------------------------------------------------

int file_spec_append(std::unique_ptr<FileSpec> spec) {
  if (!spec) return -1;
  FileSpecList& list = g_archive.specs;
  if (list.specs.size() >= MAX_INDEXED) return -1;
  const SpecNames by_name{list};
  try {
    room_for_one(list.specs);
    room_for_one(list.links);
  } catch (const std::bad_alloc&) {
    return fail_note("out of memory", "", "");
  }
  if (index_room(list.by_name, by_name) != 0) return fail_note("out of memory", "", "");
  const uint32_t index = static_cast<uint32_t>(list.specs.size());
  list.specs.push_back(std::move(spec));  // capacity is there: no throw
  list.links.push_back(ChainLinks());
  index_link(list.by_name, by_name, index);
  return static_cast<int>(index);
}

void file_spec_remove(FileSpec* spec) {
  if (spec == nullptr) return;
  FileSpecList& list = g_archive.specs;
  int found = -1;
  for (int i = list.count() - 1; i >= 0; --i) {  // usually the last one
    if (list.specs[static_cast<size_t>(i)].get() == spec) {
      found = i;
      break;
    }
  }
  if (found < 0) return;
  const uint32_t gone = static_cast<uint32_t>(found);
  index_unlink(list.by_name, SpecNames{list}, gone);
  list.specs.erase(list.specs.begin() + found);  // frees the spec
  list.links.erase(list.links.begin() + found);
  if (gone < list.specs.size()) {
    renumber_slots(list.by_name, gone);
    for (ChainLinks& l : list.links) {
      renumber(l.next, gone);
      renumber(l.prev, gone);
    }
  }
  if (list.specs.empty()) release_index(list.by_name);
}

int file_spec_find(const char* name, uint16_t need, uint16_t refuse) {
  if (name == nullptr) return -1;
  FileSpecList& list = g_archive.specs;
  const uint32_t first = first_of(list.by_name, SpecNames{list}, name);
  if (first == NO_INDEX) return -1;
  uint32_t i = first;
  do {
    const uint16_t f = list.specs[i]->flags;
    if ((f & need) == need && (f & refuse) == 0) return static_cast<int>(i);
    i = list.links[i].next;
  } while (i != first);
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
