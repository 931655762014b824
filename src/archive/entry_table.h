// entry_table.h -- entry records, the two entry tables, file specs, loading of
// an archive's directory, key checks and the view walk.
//
// The loaded table holds the existing archive's directory in file order; the
// output table collects the records of the new archive in directory order.
// The file-spec list holds one spec per command-line name or expansion match,
// each carrying the settings in force when it was named.  Both keep an index
// on lower-cased names so that the "first record/spec whose name equals X
// without regard to ASCII case" lookups of the operations cost O(1) on
// average, with the same answers (and the same order) as a front-to-back scan.
//
// A table keeps each record's name once: the record (48 bytes on 64-bit
// systems, 44 on 32-bit ones) points into the table's name store, and the
// two indexes hold 4-byte record indices whose keys are computed from the
// stored names when needed.  A loaded entry thus costs its name's length
// plus at most 71 bytes (64-bit; 67 on 32-bit): the record, the name's NUL
// and at most 21.3 bytes of index slots (two tables, each at least 37.5%
// used once past its first 16 slots), beside one partly filled record block
// and name chunk per table.
#ifndef VORN_ENTRY_TABLE_H
#define VORN_ENTRY_TABLE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "base/names.h"

// The name of a record as its table keeps it: NUL-terminated bytes in the
// table's name store, which never move while the record is in the table.
// Reads like a constant std::string where the operations need one.
class StoredName {
 public:
  StoredName() = default;
  explicit StoredName(const char* text) : text_(text) {}
  const char* c_str() const { return text_; }
  size_t size() const { return std::strlen(text_); }
  bool empty() const { return text_[0] == '\0'; }
  operator std::string() const { return std::string(text_); }

 private:
  const char* text_ = "";
};

// A place in one of the circular chains of an index (see NameIndex): the
// next and the previous element of the same key, in table order.
struct ChainLinks {
  uint32_t next = 0;
  uint32_t prev = 0;
};

struct EntryRecord {
  StoredName name;       // as stored
  uint32_t offset = 0;   // standalone: file offset; in-directory: position in the in-directory data
  uint32_t size = 0;     // length before compression
  uint32_t key_hash = 0; // 0 = no key
  uint16_t flags = 0;    // ENTRY_* bits (archive_format.h)
  // Placement as loaded, never changed by the rewrite steps: every walk of the
  // old archive reads the entry by these, whatever later steps did to flags.
  uint16_t loaded_flags = 0;
  uint32_t content_crc = 0;  // duplicate finder only
  // Standalone entry as loaded: where its region of the data area ends (the
  // next standalone entry's offset, or the directory offset).
  uint32_t region_end = 0;
  // Kept by the table: the record's places in the chains of its two indexes.
  ChainLinks same_name;
  ChainLinks same_bare_name;
};

// An index of a list by a key computed from each element's name (never
// stored): an open-addressing table of element indices, one slot per distinct
// key, holding the first element of that key in list order.  The elements of
// one key form a circular chain in list order (ChainLinks, kept beside each
// element), so the first, the next and the last of a key are each one step
// away.  Slots hold NO_INDEX where empty; their count is 0 or a power of two,
// at most three quarters used.
constexpr uint32_t NO_INDEX = 0xFFFFFFFFu;
// The most elements an indexed list holds (indices fit in 24 bits).
constexpr uint32_t MAX_INDEXED = 0x00FFFFFFu;
struct NameIndex {
  std::vector<uint32_t> slots;
  uint32_t chains = 0;  // slots in use
};

// The records of a table in table order, in blocks that never move: a record
// stays where it is while records are added behind it.  records[i] points at
// record i (0 <= i < size()); iteration yields the records' addresses in
// order.
class RecordList {
 public:
  static constexpr size_t BLOCK = 512;  // records per block

  EntryRecord* operator[](size_t i) const { return &blocks_[i / BLOCK][i % BLOCK]; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  EntryRecord* back() const { return (*this)[size_ - 1]; }
  // Records the blocks have room for.
  size_t capacity() const { return blocks_.size() * BLOCK; }

  class iterator {
   public:
    iterator(const RecordList* list, size_t i) : list_(list), i_(i) {}
    EntryRecord* operator*() const { return (*list_)[i_]; }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator!=(const iterator& o) const { return i_ != o.i_; }

   private:
    const RecordList* list_;
    size_t i_;
  };
  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, size_); }

  // For the table routines (entry_table.cpp).  room_for_one: 0 when one more
  // record fits (allocating a block when needed), -1 when memory ran out.
  // push_back needs that room and cannot fail; erase moves the later records
  // down one place; clear frees every block.
  int room_for_one();
  void push_back(const EntryRecord& r);
  void pop_back() { --size_; }
  void erase(size_t i);
  void clear();

 private:
  std::vector<std::unique_ptr<EntryRecord[]>> blocks_;
  size_t size_ = 0;
};

// The names of a table's records, end to end with their NULs, in chunks that
// never move.  The bytes of a removed record come back only when its name was
// the last one stored; all come back when the table is emptied.
struct NameStore {
  std::vector<std::unique_ptr<char[]>> chunks;
  char* base = nullptr;  // the last chunk
  char* top = nullptr;   // its first free byte
  size_t room = 0;       // free bytes from top to the chunk's end
};

struct EntryTable {
  RecordList records;
  NameStore names;
  NameIndex by_name;       // by name_key (ASCII case folded, '\' as '/')
  NameIndex by_bare_name;  // by bare name (part after the last '/' or '\'), case folded
  int count() const { return static_cast<int>(records.size()); }
};

// Spec flags.
enum : uint16_t {
  SPEC_ADD = 0x0001,
  SPEC_DELETE = 0x0002,
  SPEC_MODIFY = 0x0004,
  SPEC_EXTRACT = 0x0008,
  SPEC_KEEP_PATH = 0x0010,
  SPEC_COMPRESS = 0x0020,
  SPEC_IN_DIRECTORY = 0x0040,
  SPEC_ATTR_L = 0x0080,
  SPEC_ATTR_E = 0x0100,
  SPEC_HANDLED = 0x0400,
  SPEC_QUEUED = 0x0800,
  SPEC_USER1 = 0x1000,
  SPEC_USER2 = 0x2000,
  SPEC_USER3 = 0x4000,
  SPEC_USER4 = 0x8000,
};

struct FileSpec {
  std::string name;
  uint32_t new_key = 0;
  uint32_t match_key = 0;
  uint16_t flags = 0;
  uint16_t set_key = 0;  // bit 0: apply the new key to matching entries
  // The file's length as the disk expansion that found it listed it; -1 when
  // it was named literally (or the listing did not tell).
  int64_t listed_length = -1;
};

struct FileSpecList {
  std::vector<std::unique_ptr<FileSpec>> specs;
  std::vector<ChainLinks> links;  // specs[i]'s place in its by_name chain
  NameIndex by_name;              // by name_key of the spec's name
  int count() const { return static_cast<int>(specs.size()); }
};

// ---- name rules --------------------------------------------------------------
//
// The name rules (ascii_lower, bare_name, name_key, same_name, stored_name,
// name_climbs_out and the rest) are base/names.h, included here.

// ---- entry tables --------------------------------------------------------

// Adds a record.  With keep_name 0 the name is cut to the part after its last
// '/' or '\'.  The eight file flag bits arrive as the file's flag byte.
// Returns 0, or -1 when a record of that name (without regard to ASCII case)
// is already present, when MAX_SPELLINGS records already hold names that
// differ from it only in their separators, when memory runs out, or when the
// table holds MAX_INDEXED records; the table is then unchanged.
//
// Names that differ only in '\' and '/' share one index key, and adding a
// name compares it with every record of its key; the cap keeps that walk
// short, so a hostile directory of a million spellings of one path cannot
// make loading quadratic.  Archives from before the two separators compared
// equal hold at most a few such pairs.
constexpr uint32_t MAX_SPELLINGS = 64;
int entry_table_add(EntryTable& table, const char* name, uint32_t offset,
                    uint32_t size, uint32_t key_hash, uint8_t file_flags,
                    int keep_name);

// Removes the record at `index`, keeping the order of the others.  0, or -1
// when the table is empty or the index is out of range.  Allocates nothing.
// The last record goes in constant time; any other costs one pass over the
// table (the later records move down and every index above `index` is
// renumbered).  A table that becomes empty gives back all its memory.
int entry_table_remove(EntryTable& table, int index);

// Index of the record whose name equals `name` without regard to ASCII case;
// when none does, the first whose name is the same name by name_key ('\' and
// '/' equal); -1 when there is none.
int entry_table_find(const EntryTable& table, const char* name);

// Index of the first record whose bare name equals `name` (compared whole,
// without regard to ASCII case), or -1.
int entry_table_find_bare(const EntryTable& table, const char* name);

// ---- file specs ------------------------------------------------------------

// Appends a spec (the list takes ownership); returns its index, or -1 (memory,
// or MAX_INDEXED specs already).
int file_spec_append(std::unique_ptr<FileSpec> spec);

// Removes the spec (found by identity) from the file-spec list; does nothing
// when it is not there.
void file_spec_remove(FileSpec* spec);

// Index of the first spec in list order whose name is the same name as
// `name` (name_key: without regard to ASCII case, '\' and '/' equal), has every bit of `need` set and none of `refuse`; -1
// when there is none.
int file_spec_find(const char* name, uint16_t need = 0, uint16_t refuse = 0);

// ---- keys ------------------------------------------------------------------

// 1 when entry i of the loaded table may be handled under spec j, 0 when its
// key refuses it.  Applies the spec's new key when the spec's set-key flag is
// set (the entry's key_hash and the spec's match key become the new key).
int key_check(int entry_index, int spec_index);

#endif
