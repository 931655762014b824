// rewrite.h -- the archive rewrite: a complete new archive written front to
// back into the temporary file, in twelve fixed steps run by the driver in this
// order (the first that fails ends the run):
//    1 write_stub (driver)            7 write_directory
//    2 copy_standalone_entries        8 copy_in_directory_data
//    3 move_out_in_directory_entries  9 move_in_standalone_entries
//    4 add_standalone_files          10 add_in_directory_files
//    5 extract_entries (extract.h)   11 finish_archive
//    6 plan_in_directory_entries     12 write_mz_checksum
// The steps keep no state of their own: they talk through the ENTRY_DONE
// marks of loaded records, the SPEC_HANDLED/SPEC_QUEUED marks of file specs,
// the output table and the temporary file.  Each returns 0 or -1.
#ifndef VORN_REWRITE_H
#define VORN_REWRITE_H

int copy_standalone_entries();
int move_out_in_directory_entries();
int add_standalone_files();
int plan_in_directory_entries();
int write_directory();
int copy_in_directory_data();
int move_in_standalone_entries();
int add_in_directory_files();
int finish_archive();
int write_mz_checksum();

#endif
