// windows_names.cpp -- the names Windows cannot give a file.
#include "operations/windows_names.h"

#include <cstring>

namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool forbidden_char(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u < 32 || std::strchr("<>:\"|?*", c) != nullptr;
}

// The digits a COM or LPT device may end in: 0-9 and the superscripts 1, 2
// and 3 (as one byte of the Windows Latin code page, or in UTF-8).
bool device_digit(const std::string& s) {
  if (s.size() == 1) return (s[0] >= '0' && s[0] <= '9') || s == "\xB9" || s == "\xB2" || s == "\xB3";
  return s == "\xC2\xB9" || s == "\xC2\xB2" || s == "\xC2\xB3";
}

// The component `c` names a device: its part before the first dot, without
// trailing spaces, is a device name.
bool device_name(const std::string& c) {
  std::string base = c.substr(0, c.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& ch : base) ch = upper(ch);
  static const char* const kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* d : kPlain)
    if (base == d) return true;
  if (base.size() > 3 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0))
    return device_digit(base.substr(3));
  return false;
}

bool component_allowed(const std::string& c) {
  if (c.empty() || c == ".") return true;  // "a//b" and "./a" name no new file
  for (char ch : c)
    if (forbidden_char(ch)) return false;
  if (c.back() == '.' || c.back() == ' ') return false;
  return !device_name(c);
}

}  // namespace

int windows_name_check(const std::string& name, const std::string& rest) {
  if (name.size() >= 2 && is_separator(name[0]) && is_separator(name[1])) return -1;
  size_t begin = 0;
  while (begin <= rest.size()) {
    size_t end = begin;
    while (end < rest.size() && !is_separator(rest[end])) ++end;
    if (!component_allowed(rest.substr(begin, end - begin))) return -1;
    begin = end + 1;
  }
  return 0;
}
