// Helpers of the end-to-end tests of whole runs: archives are laid out and read
// back with the tests' own writer and reader (support.h), never with product
// code.
#ifndef VORN_TESTS_E2E_H
#define VORN_TESTS_E2E_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/support.h"

namespace rt {

// Reads an archive file back; a file that does not parse fails the test.
inline vt::Parsed parse(const std::string& path) {
  vt::Parsed p;
  std::string bytes = vt::read_file(path);
  EXPECT_TRUE(vt::parse_archive(bytes, &p)) << path << ": " << p.error;
  return p;
}

inline std::vector<std::string> names(const vt::Parsed& p) {
  std::vector<std::string> v;
  for (const auto& e : p.entries) v.push_back(e.name);
  return v;
}

inline const vt::Entry* find(const vt::Parsed& p, const std::string& name) {
  for (const auto& e : p.entries)
    if (e.name == name) return &e;
  return nullptr;
}

// Expects an entry with these bytes and this flag byte (and key).
inline void expect_entry(const vt::Parsed& p, const std::string& name, const std::string& data,
                         int flags, uint32_t key = 0) {
  const vt::Entry* e = find(p, name);
  ASSERT_NE(e, nullptr) << "no entry " << name;
  EXPECT_EQ(e->data, data) << name;
  EXPECT_EQ(static_cast<int>(e->flags), flags) << name;
  EXPECT_EQ(e->key_hash, key) << name;
}

inline vt::Entry entry(const std::string& name, const std::string& data, uint8_t flags,
                       uint32_t key = 0) {
  vt::Entry e;
  e.name = name;
  e.data = data;
  e.flags = flags;
  e.key_hash = key;
  return e;
}

// Bytes that do not compress to nothing: a little noise.
inline std::string noise(size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned v = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    v = v * 1103515245u + 12345u;
    s[i] = static_cast<char>((v >> 16) & 0xFF);
  }
  return s;
}

// The old archive must be byte for byte as it was, with no temporary file.
inline void expect_untouched(const std::string& path, const std::string& before) {
  EXPECT_EQ(vt::read_file(path), before) << "archive changed";
  EXPECT_TRUE(vt::temporaries().empty()) << "temporary file left behind";
}

// Stored-bytes flag bytes used throughout.
constexpr uint8_t SC = 0x05;   // standalone, compressed, attribute l
constexpr uint8_t SS = 0x04;   // standalone, stored, attribute l
constexpr uint8_t DC = 0x07;   // in directory, compressed bit, attribute l
constexpr uint8_t DS = 0x06;   // in directory, compressed bit clear

}  // namespace rt

#endif
