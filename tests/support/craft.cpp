#include "support/craft.h"

#include <stdexcept>

#include "support/support.h"

namespace vt {

std::string build_archive_raw(const std::vector<RawEntry>& entries) {
  std::string file;
  std::vector<uint32_t> offsets(entries.size(), 0);
  uint32_t in_dir = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].flags & 0x02) {
      offsets[i] = in_dir;
      in_dir += static_cast<uint32_t>(entries[i].stored.size());
    } else {
      offsets[i] = static_cast<uint32_t>(file.size());
      file += entries[i].stored;
    }
  }
  std::string dir = u32le(static_cast<uint32_t>(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    const RawEntry& e = entries[i];
    dir += e.name;
    dir.push_back('\0');
    dir += u32le(offsets[i]) + u32le(e.size) + u32le(e.key_hash);
    dir.push_back(static_cast<char>(e.flags));
  }
  for (const RawEntry& e : entries)
    if (e.flags & 0x02) dir += e.stored;
  uint32_t dir_offset = static_cast<uint32_t>(file.size());
  file += zcompress(dir);
  file += u32le(dir_offset ^ 0x5A17C3E9u);
  return file;
}

std::string crc_forcing_suffix(const std::string& prefix, uint32_t target) {
  // crc(prefix + x) = base ^ M x for the 32 bits of x: column k is the effect
  // of bit k alone.
  auto with = [&](uint32_t x) { return crc_plain(prefix + u32le(x)); };
  const uint32_t base = with(0);
  uint32_t column[32];
  for (int k = 0; k < 32; ++k) column[k] = with(1u << k) ^ base;
  // Gaussian elimination on rows (bit r of the CRC) as 33-bit masks: the 32
  // coefficients and the wanted value.
  uint64_t row[32];
  const uint32_t want = target ^ base;
  for (int r = 0; r < 32; ++r) {
    uint64_t m = 0;
    for (int k = 0; k < 32; ++k)
      if ((column[k] >> r) & 1) m |= 1ull << k;
    if ((want >> r) & 1) m |= 1ull << 32;
    row[r] = m;
  }
  int rank = 0;
  int pivot_col[32];
  for (int k = 0; k < 32 && rank < 32; ++k) {
    int p = -1;
    for (int r = rank; r < 32; ++r)
      if ((row[r] >> k) & 1) { p = r; break; }
    if (p < 0) continue;
    std::swap(row[p], row[rank]);
    for (int r = 0; r < 32; ++r)
      if (r != rank && ((row[r] >> k) & 1)) row[r] ^= row[rank];
    pivot_col[rank] = k;
    ++rank;
  }
  if (rank != 32) throw std::runtime_error("CRC system not solvable");
  uint32_t x = 0;
  for (int r = 0; r < 32; ++r)
    if ((row[r] >> 32) & 1) x |= 1u << pivot_col[r];
  return u32le(x);
}

}  // namespace vt
