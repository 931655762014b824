// archive_format.h -- the byte layout of an archive, and nothing else.
//
// An archive is, in file order: an optional stub (data start bytes, beginning
// with "MZ" when it came from a stub file), the data area holding the data of
// every standalone entry, one zlib stream (the directory stream: a u32 record
// count, the records, then the data of every in-directory entry), and a 4-byte
// trailer holding the directory offset XOR TRAILER_MASK.  All integers are
// little-endian.  This is the one module that knows byte offsets and the
// flag-byte layout; every other module goes through the routines below.
#ifndef VORN_ARCHIVE_FORMAT_H
#define VORN_ARCHIVE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t TRAILER_MASK = 0x5A17C3E9u;
constexpr size_t TRAILER_SIZE = 4;
constexpr size_t RECORD_FIXED_SIZE = 13;   // offset, size, key_hash, flags
constexpr size_t RECORD_COUNT_SIZE = 4;    // the record count that opens the directory stream
constexpr size_t MAX_NAME_LENGTH = 257;    // characters before the NUL
constexpr size_t MZ_CHECKSUM_OFFSET = 18;  // u16 checksum word of an MZ header
constexpr size_t MZ_MIN_STUB_FOR_CHECKSUM = 20;

// Bytes one record takes in the decompressed directory stream: its name, the
// NUL, the fixed part.  The in-directory data begins after RECORD_COUNT_SIZE
// and every record's length.
inline int64_t record_length(size_t name_length) {
  return static_cast<int64_t>(name_length) + 1 + static_cast<int64_t>(RECORD_FIXED_SIZE);
}

// Flag bits of the record's byte in the file.
enum : uint8_t {
  FILE_COMPRESSED = 0x01,
  FILE_IN_DIRECTORY = 0x02,
  FILE_ATTR_L = 0x04,
  FILE_ATTR_E = 0x08,
  FILE_USER1 = 0x10,
  FILE_USER2 = 0x20,
  FILE_USER3 = 0x40,
  FILE_USER4 = 0x80,
};

// Flag bits of the in-memory 16-bit word of an entry record.  ENTRY_DONE is
// never written to a file.
enum : uint16_t {
  ENTRY_COMPRESSED = 0x0001,
  ENTRY_IN_DIRECTORY = 0x0002,
  ENTRY_ATTR_L = 0x0004,
  ENTRY_ATTR_E = 0x0008,
  ENTRY_DONE = 0x0010,
  ENTRY_USER1 = 0x0020,
  ENTRY_USER2 = 0x0040,
  ENTRY_USER3 = 0x0080,
  ENTRY_USER4 = 0x0100,
};

// File byte -> in-memory word: bits 0-3 stay, bits 4-7 go to bits 5-8.
uint16_t entry_flags_from_file(uint8_t file_flags);
// In-memory word -> file byte: the reverse; ENTRY_DONE and bits 9-15 dropped.
uint8_t entry_flags_to_file(uint16_t entry_flags);

void put_u32le(uint8_t* p, uint32_t v);
uint32_t get_u32le(const uint8_t* p);
void put_u16le(uint8_t* p, uint16_t v);
uint16_t get_u16le(const uint8_t* p);

// Appends one directory record (name, NUL, offset, size, key_hash, flag byte)
// to `out`.
void encode_record(std::string& out, const char* name, uint32_t offset,
                   uint32_t size, uint32_t key_hash, uint8_t file_flags);

// The trailer value for a directory offset, and back.
uint32_t trailer_encode(uint32_t directory_offset);
uint32_t trailer_decode(uint32_t trailer);

// The uninverted CRC-32 step of the reflected polynomial 0xEDB88320:
// for each byte b, v = T[(v ^ b) & 0xFF] ^ (v >> 8).  Callers choose the
// starting value; key hashes start from 0.
uint32_t crc32_update(uint32_t value, const void* bytes, size_t length);

// Key hash of a key text: crc32_update from 0 over its bytes; an empty text
// gives 0 (no key), a non-empty text whose CRC is 0 gives 1.
uint32_t key_hash_of(const char* text);

// Running MZ checksum: the sum modulo 0x10000 of every little-endian u16 at an
// even file offset, plus the last byte once when the length is odd, with the
// word at MZ_CHECKSUM_OFFSET counted as 0 and carries out of bit 15 dropped.
// Feed the file front to back in chunks of any size (odd sizes allowed), then
// mz_checksum_value() gives the word to store (0xFFFF - sum).
struct MzChecksum {
  uint32_t sum = 0;
  uint64_t position = 0;  // file offset of the next byte fed
  int have_low = 0;       // an even-offset byte is waiting for its partner
  uint8_t low = 0;
};
void mz_checksum_feed(MzChecksum& c, const void* bytes, size_t length);
uint16_t mz_checksum_value(const MzChecksum& c);

#endif
