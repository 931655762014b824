// Placeholder: replaced by the archive container's implementation.
#include "archive/entry_table.h"
std::string ascii_lower(const std::string& s) { return s; }
std::string bare_name(const std::string& s) { return s; }
int entry_table_add(EntryTable&, const char*, uint32_t, uint32_t, uint32_t, uint8_t, int) { return -1; }
int entry_table_remove(EntryTable&, int) { return -1; }
int entry_table_find(const EntryTable&, const char*) { return -1; }
int entry_table_find_bare(const EntryTable&, const char*) { return -1; }
int file_spec_append(std::unique_ptr<FileSpec>) { return -1; }
void file_spec_remove(FileSpec*) {}
int file_spec_find(const char*, uint16_t, uint16_t) { return -1; }
int load_directory() { return -1; }
int skip_directory() { return -1; }
int key_check(int, int) { return 0; }
int check_stub(int) { return -1; }
int view_pass() { return -1; }
