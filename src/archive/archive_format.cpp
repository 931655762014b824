// archive_format.cpp -- flag-byte translation, little-endian coding, record
// encoding, the trailer mask, the CRC step behind key hashes and the MZ
// checksum.
#include "archive/archive_format.h"

#include <cstring>
#include <zlib.h>

uint16_t entry_flags_from_file(uint8_t file_flags) {
  uint16_t low = static_cast<uint16_t>(file_flags & 0x0F);
  uint16_t high = static_cast<uint16_t>((file_flags & 0xF0) << 1);
  return static_cast<uint16_t>(low | high);
}

uint8_t entry_flags_to_file(uint16_t entry_flags) {
  uint8_t low = static_cast<uint8_t>(entry_flags & 0x0F);
  uint8_t high = static_cast<uint8_t>(((entry_flags >> 5) & 0x0F) << 4);
  return static_cast<uint8_t>(low | high);
}

void put_u32le(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get_u32le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void put_u16le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t get_u16le(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void encode_record(std::string& out, const char* name, uint32_t offset,
                   uint32_t size, uint32_t key_hash, uint8_t file_flags) {
  out.append(name, std::strlen(name));
  out.push_back('\0');
  uint8_t fixed[RECORD_FIXED_SIZE];
  put_u32le(fixed, offset);
  put_u32le(fixed + 4, size);
  put_u32le(fixed + 8, key_hash);
  fixed[12] = file_flags;
  out.append(reinterpret_cast<const char*>(fixed), sizeof fixed);
}

uint32_t trailer_encode(uint32_t directory_offset) {
  return directory_offset ^ TRAILER_MASK;
}

uint32_t trailer_decode(uint32_t trailer) { return trailer ^ TRAILER_MASK; }

uint32_t crc32_update(uint32_t value, const void* bytes, size_t length) {
  // zlib's crc32() inverts before and after; undo both so the plain table step
  // remains.  Lengths are fed in pieces that fit zlib's uInt.
  const Bytef* p = static_cast<const Bytef*>(bytes);
  uLong v = value ^ 0xFFFFFFFFu;
  while (length > 0) {
    uInt piece = length > 0x40000000u ? 0x40000000u : static_cast<uInt>(length);
    v = crc32(v, p, piece);
    p += piece;
    length -= piece;
  }
  return static_cast<uint32_t>(v ^ 0xFFFFFFFFu);
}

uint32_t key_hash_of(const char* text) {
  size_t n = std::strlen(text);
  if (n == 0) return 0;
  uint32_t h = crc32_update(0, text, n);
  return h == 0 ? 1 : h;
}

void mz_checksum_feed(MzChecksum& c, const void* bytes, size_t length) {
  // A byte at an even offset is the low half of its word, one at an odd offset
  // the high half; a lone last byte at an even offset therefore adds its value,
  // which is the odd-length rule.  The checksum word itself counts as 0.
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < length; ++i) {
    uint64_t pos = c.position + i;
    if (pos == MZ_CHECKSUM_OFFSET || pos == MZ_CHECKSUM_OFFSET + 1) continue;
    uint32_t v = (pos & 1) ? (static_cast<uint32_t>(p[i]) << 8) : p[i];
    c.sum = (c.sum + v) & 0xFFFFu;
  }
  c.position += length;
  c.have_low = static_cast<int>(c.position & 1);
  if (length > 0 && c.have_low) c.low = p[length - 1];
}

uint16_t mz_checksum_value(const MzChecksum& c) {
  return static_cast<uint16_t>(0xFFFFu - (c.sum & 0xFFFFu));
}
