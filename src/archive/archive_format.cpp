// Placeholder: replaced by the archive container's implementation.
#include "archive/archive_format.h"
uint16_t entry_flags_from_file(uint8_t) { return 0; }
uint8_t entry_flags_to_file(uint16_t) { return 0; }
void put_u32le(uint8_t*, uint32_t) {}
uint32_t get_u32le(const uint8_t*) { return 0; }
void put_u16le(uint8_t*, uint16_t) {}
uint16_t get_u16le(const uint8_t*) { return 0; }
void encode_record(std::string&, const char*, uint32_t, uint32_t, uint32_t, uint8_t) {}
uint32_t trailer_encode(uint32_t) { return 0; }
uint32_t trailer_decode(uint32_t) { return 0; }
uint32_t crc32_update(uint32_t v, const void*, size_t) { return v; }
uint32_t key_hash_of(const char*) { return 0; }
void mz_checksum_feed(MzChecksum&, const void*, size_t) {}
uint16_t mz_checksum_value(const MzChecksum&) { return 0; }
