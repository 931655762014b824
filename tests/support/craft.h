// craft.h -- hand-made archives and contents for tests that need what the
// ordinary writer never produces: records whose size disagrees with their
// data, and different byte strings of one length with equal CRC.
#ifndef VORN_TEST_CRAFT_H
#define VORN_TEST_CRAFT_H

#include <cstdint>
#include <string>
#include <vector>

namespace vt {

// One entry laid out exactly as given: `stored` is what goes into the data
// area (standalone) or the in-directory data (in-directory), `size` what the
// record claims.
struct RawEntry {
  std::string name;
  std::string stored;
  uint32_t size = 0;
  uint32_t key_hash = 0;
  uint8_t flags = 0x07;
};

// Lays out an archive in the order given (standalone data first, records in
// the order given), with no stub.
std::string build_archive_raw(const std::vector<RawEntry>& entries);

// Four bytes that, appended to `prefix`, make the uninverted CRC (from 0) of
// the whole equal `target`.  Found by solving the linear system of the CRC's
// 32 bits over GF(2).
std::string crc_forcing_suffix(const std::string& prefix, uint32_t target);

}  // namespace vt

#endif
