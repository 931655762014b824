// Placeholder: replaced by file collection.
#include "archive/collection.h"
void add_file_spec(const char*) {}
void add_file_spec_literal(const char*) {}
int wild_match(const char*, const char*) { return 0; }
int wild_match_nocase(const char*, const char*) { return 0; }
std::string temp_archive_path() { return "vorn1234.tmp"; }
int open_temp() { return -1; }
std::string sibling_temp_name(const std::string&) { return "vorn9876.tmp"; }
