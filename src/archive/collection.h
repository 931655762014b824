// collection.h -- turning command-line names into file specs, the wildcard
// matchers, and the names of the temporary files.
#ifndef VORN_COLLECTION_H
#define VORN_COLLECTION_H

#include <string>

// Records the file specs for one command-line name under the settings in
// force (literal name, disk expansion with optional recursion, or expansion
// against the loaded table).  Prints nothing, reports nothing.
//
// - Without add mode: under "-v" the name is recorded as given; a pattern
//   under extract mode selects stored names case-sensitively (full names);
//   any other pattern is expanded against the loaded table (whole names when
//   the pattern has a directory part, else bare names); a plain name is
//   recorded only when it is the same name as a stored one (name_key), and
//   then as the stored name is spelled.
// - Add mode with modify-only: patterns are expanded against the loaded table;
//   a plain name is updated or recorded only when it is stored (as the
//   stored name is spelled).
// - Add mode otherwise: a pattern (outside "-v") is expanded on disk, its
//   directory part ('\' or '/') kept in every found path; hidden files are
//   skipped, and so is whatever is neither a regular file nor a folder
//   (dangling links, pipes, sockets, devices); with recursion each subdirectory whose name the pattern matches
//   is expanded with "<dir>\<pattern>", depth first.  A command-line pattern
//   that finds nothing becomes a literal name (a subdirectory pattern that
//   finds nothing adds nothing).  The archive being rewritten and its
//   temporary file are never recorded as files to store.
// - Updating: a spec of the same name (without case) that is not an extract
//   spec takes the current keys, set-key flag and settings (its SPEC_MODIFY,
//   SPEC_EXTRACT and operation marks stay).  Creating: a new spec takes the
//   current settings, set-key flag clear; a new add spec marks ENTRY_DONE on
//   the loaded entry it replaces (the entry stored under stored_name() of the
//   name: its bare name, or the name as written under "+p"; compared by
//   name_key) when that entry has no key; keyed entries are settled by the
//   rewrite against the spec's match key.
// - Recording or updating a spec under add, delete or modify mode without
//   extract mode clears run.read_only_run.
// Names found by any expansion are recorded literally; files found on disk
// whose names have the form of a temporary file are skipped.
// 0, or -1 when memory ran out, or when a file to be stored would get a spec
// whose name equals another's without case while the two are different
// existing files (the archive could not hold both): the run must then end.
int add_file_spec(const char* name);

// As add_file_spec, but the name is taken literally: never expanded as a
// pattern, whatever it holds.  Used for names found by an expansion and for
// names queued by the duplicate finder.  0 or -1 as add_file_spec.
int add_file_spec_literal(const char* name);

// Both matchers read '\\' and '/' as the same character (name_char).
// Case-sensitive match; 1 or 0.  A '*' reached when the text is exhausted
// fails ("a*" does not match "a").
int wild_match(const char* text, const char* pattern);
// ASCII-case-insensitive match; 1 or 0.  A trailing '*' matches an empty rest.
int wild_match_nocase(const char* pattern, const char* text);

// Path of the archive's temporary file while it exists (run.temp_path; a
// unique name in the archive's own folder, so that the final rename never
// crosses file systems); empty before it is created.
std::string temp_archive_path();

// Creates the archive's temporary file (exclusively, temp_create) into
// run.output_fd and run.temp_path unless it is open already.  0, or -1 when
// it cannot be created.
int open_temp();

#endif
