// collection.h -- turning command-line names into file specs, the wildcard
// matchers, and the names of the temporary files.
#ifndef VORN_COLLECTION_H
#define VORN_COLLECTION_H

#include <string>

// Records the file specs for one command-line name under the settings in
// force (literal name, disk expansion with optional recursion, or expansion
// against the loaded table).  Prints nothing, reports nothing.
void add_file_spec(const char* name);

// As add_file_spec, but the name is taken literally: never expanded as a
// pattern, whatever it holds.  Used for names found by an expansion and for
// names queued by the duplicate finder.
void add_file_spec_literal(const char* name);

// Case-sensitive match; 1 or 0.  A '*' reached when the text is exhausted
// fails ("a*" does not match "a").
int wild_match(const char* text, const char* pattern);
// ASCII-case-insensitive match; 1 or 0.  A trailing '*' matches an empty rest.
int wild_match_nocase(const char* pattern, const char* text);

// Path of the archive's temporary file: vorn1234.tmp in the archive's own
// folder (so that the final rename never crosses file systems).
std::string temp_archive_path();

// Opens (creates/truncates) the archive's temporary file into run.output_fd
// unless it is open already.  0, or -1 when it cannot be created.
int open_temp();

// The temporary name beside a target: the target's directory part (up to
// and including its last ':', '\' or '/') followed by vorn9876.tmp.
std::string sibling_temp_name(const std::string& target);

#endif
