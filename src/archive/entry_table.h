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
// Stored names keep the separators they were written with; wherever a name or
// a pattern is compared with a stored name, '\' and '/' are the same
// character, and ASCII letters compare without case unless told otherwise.

// Lower-cases ASCII letters only.
std::string ascii_lower(const std::string& s);
// The part of a name after its last '/' or '\'.
std::string bare_name(const std::string& name);
// A name character as names are compared: '\' reads as '/'.
inline char name_char(char c) { return c == '\\' ? '/' : c; }
// The form names are compared in: ASCII letters lower-cased, '\' as '/'.
// Two names are the same name when their keys are equal.
std::string name_key(const std::string& name);
bool same_name(const std::string& a, const std::string& b);
// The name a file named `name` is stored under: the name as written when
// paths are kept, else its bare name.
std::string stored_name(const std::string& name, bool keep_path);
// True when one component of a name (the text between separators) climbs
// to a parent folder: "..", or any other run of dots and spaces with two or
// more dots (Windows drops trailing dots and spaces, so ".. " and "..." may
// reach the parent folder there).
bool component_climbs_out(const std::string& component);
// True when any component of the name climbs out.  Such a name is never
// stored nor extracted.
bool name_climbs_out(const std::string& name);

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

// ---- loading and reading -------------------------------------------------

// Reads the trailer and the directory of the archive open in run.archive_fd
// into the loaded table; sets the directory offset and the data start.  0, or
// -1 on any damage (short trailer, offset out of the file, stream that does
// not inflate, cut records, a name of 258 bytes without NUL, a duplicate
// name, a count larger than the stream can hold or than MAX_ENTRIES, a
// standalone entry behind an in-directory entry, or standalone regions that
// overlap or leave gaps).  Each standalone entry owns the region from its
// offset to the next standalone entry's offset (the directory offset for the
// last): a stored entry's size must be exactly its region's length, and a
// compressed entry's region must hold at least the shortest zlib stream
// (MIN_ZLIB_STREAM bytes), so no two records can share data.  Records are
// read one by one, never sized by the count, so memory follows what the
// stream really holds.  On failure the records read so far stay in the loaded
// table.
int load_directory();

// The most entries an archive may hold: the loader refuses a larger count
// before it reads a record, and the rewrite refuses to write one.
constexpr uint32_t MAX_ENTRIES = 1u << 20;
// The shortest zlib stream: 2 header bytes, an empty final block, Adler-32.
constexpr uint32_t MIN_ZLIB_STREAM = 8;

// After a standalone entry's `size` bytes were inflated from its offset: 0
// when the stream ends right there with a valid checksum and its last byte is
// the last byte of the entry's region; -1 otherwise (bytes of another entry,
// or junk, would follow unread).
int standalone_stream_check(const EntryRecord& e);

// Starts the read stream at the old directory offset and reads past the count
// and as many records as the loaded table holds (their lengths are known from
// the loaded names), leaving the stream at the first byte of in-directory
// data.  0, or -1.
int skip_directory();

// 1 when entry i of the loaded table may be handled under spec j, 0 when its
// key refuses it.  Applies the spec's new key when the spec's set-key flag is
// set (the entry's key_hash and the spec's match key become the new key).
int key_check(int entry_index, int spec_index);

// 0 when the file begins with "MZ", -1 otherwise.  Leaves the position after
// the bytes read.
int check_stub(int fd);

// The "-v" walk: reads the in-directory data of every selected entry through
// the decompressor.  0, or -1 when no archive is open or any data cannot be
// read or inflated, or (when it read the stream to its end) the stream does
// not end there with a valid Adler-32.  Without in-directory entries the
// stream is read past the records, where it must end.  Prints nothing and
// changes nothing but the read stream.
int view_pass();

#endif
