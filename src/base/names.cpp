// names.cpp -- the rules of names.
#include "base/names.h"

std::string ascii_lower(const std::string& s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower_char(c);
  return out;
}

bool equal_without_case(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == '\0') return false;
    if (ascii_lower_char(a[i]) != ascii_lower_char(b[i])) return false;
  }
  return b[i] == '\0';
}

bool equal_without_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() && equal_without_case(a, b.c_str());
}

std::string bare_name(const std::string& name) {
  size_t cut = name.find_last_of("/\\");
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

std::string last_component_after_drive(const std::string& path) {
  const size_t cut = path.find_last_of(":\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string directory_part(const std::string& path) {
  size_t i = path.find_last_of("\\/");
  return i == std::string::npos ? std::string() : path.substr(0, i + 1);
}

bool has_wildcard(const std::string& name) {
  return name.find_first_of("*?") != std::string::npos;
}

std::string name_key(const std::string& name) {
  std::string out(name);
  for (char& c : out) c = ascii_lower_char(name_char(c));
  return out;
}

bool same_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower_char(name_char(a[i])) != ascii_lower_char(name_char(b[i]))) return false;
  return true;
}

std::string stored_name(const std::string& name, bool keep_path) {
  return keep_path ? name : bare_name(name);
}

bool component_climbs_out(const std::string& component) {
  int dots = 0;
  for (char c : component) {
    if (c == '.') {
      ++dots;
    } else if (c != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

bool name_climbs_out(const std::string& name) {
  size_t begin = 0;
  for (;;) {
    const size_t end = name.find_first_of("\\/", begin);
    if (component_climbs_out(name.substr(begin, end == std::string::npos ? end : end - begin)))
      return true;
    if (end == std::string::npos) return false;
    begin = end + 1;
  }
}
