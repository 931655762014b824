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
//
// Rules every step keeps:
//  - The old archive is only read, and always by each entry's placement,
//    compression and size as loaded (EntryRecord::loaded_flags), whatever an
//    earlier step did to the record's flags.  The in-directory data of the old
//    archive is inflated front to back once by each step that reads it; data
//    that is not needed is read past (the pending skip), never sought.
//  - "The entry's spec" is the first spec in list order whose name is the
//    same name as the entry's (name_key: case aside, '\\' and '/' equal; an
//    index lookup), except that a replace spec whose file is stored under
//    another name does not act on the entry.
//  - A delete spec whose key check passes always removes its entry, standalone
//    or in the directory, whatever placement setting it was given.
//  - A replace spec (SPEC_ADD without SPEC_MODIFY) replaces a keyed entry only
//    when its match key opens the entry; otherwise the entry stays as it was
//    and the file is not stored, on the standalone and in-directory paths
//    alike.  The entry a file replaces is the one stored under the name the
//    file will be stored under (its bare name, or the name as written under
//    "+p").  This is settled at the start of step 2, before any data moves.
//  - An extract spec with SPEC_IN_DIRECTORY that names a standalone entry in
//    a run that changes the archive moves the entry into the directory stream
//    (record in step 6, data in step 9), as a modify spec does.
//  - Limits of the format are refused with -1 before anything replaces the
//    archive: a file of 4 GiB or more, an offset (standalone position,
//    directory offset, in-directory position) past 32 bits, a stored name
//    longer than 257 characters.  A file whose length differs between its
//    measuring and the end of its copy fails the run.
// Failure leaves the temporary file for the exit routine to delete; nothing
// is ever written to the old archive.
#ifndef VORN_REWRITE_H
#define VORN_REWRITE_H

// Run before step 1: -1 when a file to be stored would be stored under a
// name that climbs to a parent folder (name_climbs_out), which no extraction
// would ever write; 0 otherwise.  Changes nothing.
int check_new_names();

// Step 2.  Settles the replacements of keyed entries, then walks the loaded
// table's standalone entries in order: carries each over (stored bytes copied
// unchanged to the current end of the temporary file), removes it (delete
// spec), drops it (replaced under its own name), leaves it for steps 6 and 9
// (a spec with SPEC_IN_DIRECTORY), or re-stores it under its spec's
// compression, key and attributes (any other spec).  Records go to the output
// table in that order.
int copy_standalone_entries();

// Step 3.  Walks the old in-directory data once: an entry whose spec lacks
// SPEC_IN_DIRECTORY (modify or extract spec) is moved out to the data area,
// compressed or stored as its spec says, under its bare name unless the spec
// keeps paths; an entry named by a replace spec is dropped; a delete spec
// removes its entry.  Nothing to do when no archive existed.
int move_out_in_directory_entries();

// Step 4.  Stores every open add spec without SPEC_IN_DIRECTORY (and without
// SPEC_MODIFY) as a standalone entry at the end of the data area; a spec whose
// stored namesake refuses its key is closed without storing anything.
int add_standalone_files();

// Step 6.  Plans every in-directory record of the new archive, in the order
// their data will follow: kept old in-directory entries, old entries that are
// re-recorded under their spec (in-directory first, then standalone ones
// moving in), then new files in spec order (each measured now); then gives
// each its offset within the in-directory data.
int plan_in_directory_entries();

// Step 7.  Starts the directory stream at the end of the temporary file (the
// new directory offset) and writes the record count and every record of the
// output table.  -1 when the table holds more than MAX_ENTRIES records.
int write_directory();

// Step 8.  Copies the data of the kept old in-directory entries from the old
// directory stream into the new one, reading past the others, and then reads
// the old stream to its end: it must end there with a valid Adler-32, or the
// rewrite fails.
int copy_in_directory_data();

// Step 9.  Appends the data of the old standalone entries that step 6
// re-recorded in the directory, inflating compressed ones (whose stream must
// end right after their data).
int move_in_standalone_entries();

// Step 10.  Appends the data of the new in-directory files in spec order; a
// file whose length is no longer the size step 6 recorded fails the run.
int add_in_directory_files();

// Step 11.  Finishes the directory stream and writes the trailer (the new
// directory offset XOR TRAILER_MASK).
int finish_archive();

// Step 12.  With a stub of at least MZ_MIN_STUB_FOR_CHECKSUM bytes, rewrites
// the stub's checksum word (offset 18) so that the 16-bit sum of the whole
// file is 0xFFFF.  A shorter stub, or none, is left as written.
int write_mz_checksum();

#endif
