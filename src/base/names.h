// names.h -- the rules of names, in one place for every floor above the
// platform layer (the platform layer, below this floor, keeps its own two
// lines of lower-casing for its directory search).
//
// Stored names keep the separators they were written with; wherever a name or
// a pattern is compared with a stored name, '\' and '/' are the same
// character, and ASCII letters compare without case unless told otherwise.
// Only ASCII letters change case: every other byte, non-ASCII ones included,
// is left as it is.
#ifndef VORN_BASE_NAMES_H
#define VORN_BASE_NAMES_H

#include <string>

// Lower-cases an ASCII letter; every other byte comes back unchanged.
inline char ascii_lower_char(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
// Lower-cases ASCII letters only.
std::string ascii_lower(const std::string& s);
// Equal without regard to ASCII case (separators as they are); allocates
// nothing.
bool equal_without_case(const std::string& a, const char* b);
bool equal_without_case(const std::string& a, const std::string& b);

// True for the two folder separators, '\' and '/'.
inline bool is_name_separator(char c) { return c == '\\' || c == '/'; }
// A name character as names are compared: '\' reads as '/'.
inline char name_char(char c) { return c == '\\' ? '/' : c; }

// The part of a name after its last '/' or '\' (the whole name when it has
// none).  last_component is the same rule under the name the file walks use.
std::string bare_name(const std::string& name);
inline std::string last_component(const std::string& path) { return bare_name(path); }
// The part of a path after its last '/', '\' or ':' (a drive prefix such as
// "C:" counts as a folder part here).
std::string last_component_after_drive(const std::string& path);
// The folder part of a path: up to and including its last '\' or '/' (""
// when it has none).
std::string directory_part(const std::string& path);
// True when the name holds '*' or '?'.
bool has_wildcard(const std::string& name);

// The form names are compared in: ASCII letters lower-cased, '\' as '/'.
// Two names are the same name when their keys are equal.
std::string name_key(const std::string& name);
bool same_name(const std::string& a, const std::string& b);
// The name a file named `name` is stored under: the name as written when
// paths are kept, else its bare name.
std::string stored_name(const std::string& name, bool keep_path);
// True when one component of a name (the text between separators) climbs
// to a parent folder: "..", or any other run of dots and spaces with two or
// more dots (Windows drops trailing dots and spaces, so ".. " and "..." may
// reach the parent folder there).
bool component_climbs_out(const std::string& component);
// True when any component of the name climbs out.  Such a name is never
// stored nor extracted.
bool name_climbs_out(const std::string& name);

#endif
