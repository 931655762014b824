// personality.cpp -- packer, extractor and modifier: presets of settings
// chosen from the program's own name or by "-vorn", "-vornex", "-vornalt".
#include "driver/driver.h"

#include <cstring>
#include <string>

#include "base/run_state.h"
#include "base/names.h"

namespace {


// The name's last characters equal the suffix, ASCII case ignored.
bool ends_with_nocase(const char* name, size_t name_length, const char* suffix) {
  size_t n = std::strlen(suffix);
  if (name_length < n) return false;
  const char* tail = name + (name_length - n);
  for (size_t i = 0; i < n; ++i)
    if (ascii_lower_char(tail[i]) != ascii_lower_char(suffix[i])) return false;
  return true;
}

// Tests the six endings of one group ("<base>", ".exe", "16", "16.exe",
// "32", "32.exe" behind the base name).
bool group_matches(const char* name, size_t name_length, const char* base) {
  static const char* const kTails[] = {"", ".exe", "16", "16.exe", "32", "32.exe"};
  for (const char* tail : kTails) {
    std::string suffix = std::string(base) + tail;
    if (ends_with_nocase(name, name_length, suffix.c_str())) return true;
  }
  return false;
}

void set_personality(int packer, int extractor, int modifier) {
  Settings& s = g_settings;
  s.packer = packer;
  s.extractor = extractor;
  s.modifier = modifier;
}

}  // namespace

void set_packer() {
  Settings& s = g_settings;
  set_personality(1, 0, 0);
  s.add_mode = 1;
  s.delete_mode = 0;
  s.modify_only = 0;
  s.extract_mode = 0;
  s.store_paths = 0;
  s.compress = 1;
  s.in_directory = 1;
  s.attr_l = 1;
  s.attr_e = 0;
}

void set_extractor() {
  Settings& s = g_settings;
  set_personality(0, 1, 0);
  s.add_mode = 0;
  s.delete_mode = 0;
  s.modify_only = 0;
  s.extract_mode = 1;
  s.store_paths = 0;
}

void set_modifier() {
  Settings& s = g_settings;
  set_personality(0, 0, 1);
  s.modify_only = 1;
  s.attr_l = 1;
  s.attr_e = 0;
}

void select_personality_from_name(const char* name) {
  if (name == nullptr) name = "";
  size_t length = std::strlen(name);
  set_personality(0, 0, 0);
  if (group_matches(name, length, "vorn")) set_packer();
  if (group_matches(name, length, "vornex")) set_extractor();
  if (group_matches(name, length, "vornalt")) set_modifier();
  const Settings& s = g_settings;
  if (!s.packer && !s.extractor && !s.modifier) set_packer();
}
