// Flag translation, record coding, the CRC step behind key hashes and the MZ
// checksum, checked against the tests' own bit-by-bit references.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "archive/archive_format.h"
#include "support/support.h"

TEST(Format, FlagByteAndWordTranslateBothWays) {
  // File bits 0-3 stay, 4-7 move to 5-8; bit 4 of the word (done) is never
  // produced from a file and never written to one.
  EXPECT_EQ(entry_flags_from_file(0x07), ENTRY_COMPRESSED | ENTRY_IN_DIRECTORY | ENTRY_ATTR_L);
  EXPECT_EQ(entry_flags_from_file(FILE_USER1), ENTRY_USER1);
  EXPECT_EQ(entry_flags_from_file(FILE_USER4), ENTRY_USER4);
  EXPECT_EQ(entry_flags_from_file(0xFF), 0x01EF);
  for (int b = 0; b < 256; ++b) {
    uint16_t w = entry_flags_from_file(static_cast<uint8_t>(b));
    EXPECT_EQ(w & (ENTRY_DONE | 0xFE00), 0) << b;
    EXPECT_EQ(entry_flags_to_file(w), b) << b;
    EXPECT_EQ(entry_flags_to_file(static_cast<uint16_t>(w | ENTRY_DONE | 0xFE00)), b) << b;
  }
  EXPECT_EQ(entry_flags_to_file(ENTRY_USER2 | ENTRY_ATTR_E), FILE_USER2 | FILE_ATTR_E);
}

TEST(Format, RecordAndTrailerLayout) {
  std::string out;
  encode_record(out, "a.txt", 0x01020304u, 3, 0xA1B2C3D4u, 0x07);
  std::string expect = std::string("a.txt", 5) + '\0' + vt::u32le(0x01020304u) + vt::u32le(3) +
                       vt::u32le(0xA1B2C3D4u) + '\x07';
  EXPECT_EQ(out, expect);
  EXPECT_EQ(out.size(), 5 + 1 + RECORD_FIXED_SIZE);

  out.clear();
  encode_record(out, "", 0, 0, 0, 0);
  EXPECT_EQ(out, std::string(14, '\0'));

  uint8_t b[4];
  put_u32le(b, 0xDEADBEEFu);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 4), vt::u32le(0xDEADBEEFu));
  EXPECT_EQ(get_u32le(b), 0xDEADBEEFu);
  put_u16le(b, 0xBEEF);
  EXPECT_EQ(b[0], 0xEF);
  EXPECT_EQ(get_u16le(b), 0xBEEF);

  EXPECT_EQ(trailer_encode(0), 0x5A17C3E9u);
  EXPECT_EQ(trailer_encode(3), 3u ^ 0x5A17C3E9u);
  EXPECT_EQ(trailer_decode(trailer_encode(123456)), 123456u);
}

TEST(Format, CrcStepMatchesPlainReference) {
  EXPECT_EQ(crc32_update(0, "\x01", 1), 0x77073096u);  // T[1]
  EXPECT_EQ(crc32_update(7, "", 0), 7u);
  std::mt19937 rng(5);
  for (int len : {1, 2, 15, 16, 255, 1000, 70000}) {
    std::string s(static_cast<size_t>(len), '\0');
    for (char& c : s) c = static_cast<char>(rng());
    uint32_t start = rng();
    EXPECT_EQ(crc32_update(start, s.data(), s.size()), vt::crc_plain(s, start)) << len;
    // Chained pieces give the same value as one run.
    size_t cut = s.size() / 3;
    EXPECT_EQ(crc32_update(crc32_update(start, s.data(), cut), s.data() + cut, s.size() - cut),
              vt::crc_plain(s, start));
  }
}

TEST(Format, KeyHashNeverZeroForAKey) {
  EXPECT_EQ(key_hash_of(""), 0u);
  for (const char* k : {"secret", "a", "KEY", "0123456789"}) {
    EXPECT_EQ(key_hash_of(k), vt::key_hash(k)) << k;
    EXPECT_NE(key_hash_of(k), 0u);
  }
  // Appending the four bytes of a text's plain CRC brings the CRC to 0 (the
  // register is XORed with itself); pick a text whose CRC has no zero byte.
  std::string zero_text;
  for (int i = 0; zero_text.empty(); ++i) {
    std::string t = "k" + std::to_string(i);
    std::string tail = vt::u32le(vt::crc_plain(t));
    if (tail.find('\0') == std::string::npos) zero_text = t + tail;
  }
  ASSERT_EQ(vt::crc_plain(zero_text), 0u);
  EXPECT_EQ(key_hash_of(zero_text.c_str()), 1u);
}

TEST(Format, MzChecksumAnyChunkingGivesTheSameWord) {
  std::mt19937 rng(11);
  for (size_t len : {0u, 1u, 17u, 18u, 19u, 20u, 21u, 64u, 999u, 4097u}) {
    std::string file(len, '\0');
    for (char& c : file) c = static_cast<char>(rng());
    MzChecksum whole;
    mz_checksum_feed(whole, file.data(), file.size());
    // The reference: the word at 18 counts as 0.
    std::string zeroed = file;
    if (zeroed.size() > 18) zeroed[18] = 0;
    if (zeroed.size() > 19) zeroed[19] = 0;
    EXPECT_EQ(mz_checksum_value(whole), static_cast<uint16_t>(0xFFFF - vt::mz_sum(zeroed))) << len;
    // Odd-sized pieces give the same result.
    MzChecksum pieces;
    size_t at = 0;
    while (at < file.size()) {
      size_t n = std::min<size_t>(1 + rng() % 7, file.size() - at);
      mz_checksum_feed(pieces, file.data() + at, n);
      at += n;
    }
    EXPECT_EQ(mz_checksum_value(pieces), mz_checksum_value(whole)) << len;
    // Stored at 18, the word makes the whole file sum to 0xFFFF.
    if (len >= 20) {
      uint16_t w = mz_checksum_value(whole);
      file[18] = static_cast<char>(w & 0xFF);
      file[19] = static_cast<char>(w >> 8);
      EXPECT_EQ(vt::mz_sum(file), 0xFFFF) << len;
    }
  }
}
