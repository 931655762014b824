// Placeholder: replaced by the archive rewrite.
#include "operations/rewrite.h"
int copy_standalone_entries() { return -1; }
int move_out_in_directory_entries() { return -1; }
int add_standalone_files() { return -1; }
int plan_in_directory_entries() { return -1; }
int write_directory() { return -1; }
int copy_in_directory_data() { return -1; }
int move_in_standalone_entries() { return -1; }
int add_in_directory_files() { return -1; }
int finish_archive() { return -1; }
int write_mz_checksum() { return -1; }
