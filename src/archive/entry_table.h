// entry_table.h -- entry records, the two entry tables, file specs, loading of
// an archive's directory, key checks and the view walk.
//
// The loaded table holds the existing archive's directory in file order; the
// output table collects the records of the new archive in directory order.
// The file-spec list holds one spec per command-line name or expansion match,
// each carrying the settings in force when it was named.  Both keep an index
// on lower-cased names so that the "first record/spec whose name equals X
// without regard to ASCII case" lookups of the operations cost O(1), with the
// same answers (and the same order) as a front-to-back scan.
#ifndef VORN_ENTRY_TABLE_H
#define VORN_ENTRY_TABLE_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/archive_format.h"
#include "base/names.h"

struct EntryRecord {
  std::string name;      // as stored
  uint32_t offset = 0;   // standalone: file offset; in-directory: position in the in-directory data
  uint32_t size = 0;     // length before compression
  uint32_t key_hash = 0; // 0 = no key
  uint16_t flags = 0;    // ENTRY_* bits (archive_format.h)
  uint32_t content_crc = 0;  // duplicate finder only
  // Placement as loaded, never changed by the rewrite steps: every walk of the
  // old archive reads the entry by these, whatever later steps did to flags.
  uint16_t loaded_flags = 0;
  // Standalone entry as loaded: where its region of the data area ends (the
  // next standalone entry's offset, or the directory offset).
  uint32_t region_end = 0;
};

// The records that share one name key: nearly always one.  Names are unique
// without case; two names that differ only in their separators may both be
// present (archives written before separators compared equal).
struct NameSlot {
  int first = -1;         // the first such record in table order
  std::vector<int> more;  // the later ones, in order (usually empty)
};

struct EntryTable {
  std::vector<std::unique_ptr<EntryRecord>> records;
  // name_key -> the records with that key.
  std::unordered_map<std::string, NameSlot> by_name;
  // lower-cased bare name (part after the last '/' or '\') -> indices in order.
  std::unordered_map<std::string, std::vector<int>> by_bare_name;
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
  std::string key;       // name_key(name) as the list indexed it (set by file_spec_append)
  uint32_t new_key = 0;
  uint32_t match_key = 0;
  uint16_t flags = 0;
  uint16_t set_key = 0;  // bit 0: apply the new key to matching entries
};

struct FileSpecList {
  std::vector<std::unique_ptr<FileSpec>> specs;
  // name_key -> indices of the specs with that name, in list order.
  std::unordered_map<std::string, std::vector<int>> by_name;
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
// is already present; the table is then unchanged.
int entry_table_add(EntryTable& table, const char* name, uint32_t offset,
                    uint32_t size, uint32_t key_hash, uint8_t file_flags,
                    int keep_name);

// Removes the record at `index`, keeping the order of the others.  0, or -1
// when the table is empty or the index is out of range.
int entry_table_remove(EntryTable& table, int index);

// Index of the record whose name equals `name` without regard to ASCII case;
// when none does, the first whose name is the same name by name_key ('\' and
// '/' equal); -1 when there is none.
int entry_table_find(const EntryTable& table, const char* name);

// Index of the first record whose bare name equals `name` (compared whole,
// without regard to ASCII case), or -1.
int entry_table_find_bare(const EntryTable& table, const char* name);

// ---- file specs ------------------------------------------------------------

// Appends a spec (the list takes ownership); returns its index, or -1.
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
