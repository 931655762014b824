// Placeholder: replaced by the POSIX implementation.
#include "platform/platform.h"
int pf_open_read(const char*) { return -1; }
int pf_open_rw(const char*) { return -1; }
int pf_open_create(const char*) { return -1; }
int64_t pf_read(int, void*, size_t) { return -1; }
int64_t pf_write(int, const void*, size_t) { return -1; }
int64_t pf_seek(int, int64_t, int) { return -1; }
int64_t pf_file_length(int) { return -1; }
int pf_sync(int) { return -1; }
int pf_close(int) { return -1; }
int pf_remove(const char*) { return -1; }
int pf_rename(const char*, const char*) { return -1; }
int pf_sync_parent_dir(const char*) { return -1; }
int pf_exists(const char*) { return 0; }
int pf_is_directory(const char*) { return 0; }
int pf_same_file(const char*, const char*) { return 0; }
int pf_same_file_fd(int, const char*) { return 0; }
std::string pf_native_path(const char* p) { return p; }
PfFind* pf_find_first(const char*, PfFindData*) { return nullptr; }
int pf_find_next(PfFind*, PfFindData*) { return 0; }
void pf_find_close(PfFind*) {}
int pf_read_stdin_char() { return -1; }
int64_t pf_write_stdout(const void*, size_t) { return -1; }
void pf_fault_arm(PfFaultKind, int) {}
void pf_fault_clear() {}
int pf_fault_calls(PfFaultKind) { return 0; }
