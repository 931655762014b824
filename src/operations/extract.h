// extract.h -- writing stored entries back out as files.
#ifndef VORN_EXTRACT_H
#define VORN_EXTRACT_H

#include <string>
#include <unordered_set>
#include <vector>

// Writes every loaded entry named by an extract spec to its target (through a
// temporary file beside it that then replaces it; base/replace.h), asking y/n/a on standard input
// before replacing an existing target.  Reads the old archive only.  0 when
// every selected entry was written or skipped; -1 on the first failure.
//
// Details of the walk:
//  - entries are taken in loaded-table order; an entry's spec is the first
//    spec whose name equals the entry's without regard to ASCII case; only an
//    extract spec selects it, and key_check may refuse it (the spec is then
//    marked SPEC_HANDLED and the entry skipped silently);
//  - every entry is read by its placement, compression and size as loaded
//    (EntryRecord::loaded_flags, offset, size), whatever an earlier rewrite
//    step did to its record; the directory stream is inflated once, front to
//    back, and the data of entries not written is read and discarded;
//  - the target is extraction_target() of the name; a refused name fails the
//    run before anything is written for it (earlier standalone targets stay
//    written; no in-directory target of a failed run is put in place);
//  - make_target_folders() then makes the folders the target lies in; a
//    target it refuses fails the run the same way;
//  - an existing target is replaced only after 'y' or 'a' (case ignored,
//    other characters skipped, no prompt; end of input counts as 'n'); 'a'
//    sets run.overwrite_all for the rest of the run.  An existing target that
//    cannot be opened for writing (read-only, or a folder) fails the run: it
//    is never reported as written when it was not;
//  - an existing target, or one an earlier entry of this run is about to
//    write, counts as existing for the question; a target that did not exist
//    is never put in place over a file that took its name in the meantime;
//  - the data goes to a temporary file beside the target (exclusive, unique
//    name), swapped into run.output_fd for the copy, then given what the
//    target keeps of the file it replaces and closed.  When every selected
//    entry is written (and, if any came from the directory stream, that
//    stream has been read to its end and its Adler-32 held, so damaged
//    in-directory data is never put in place), all the copies are flushed
//    in one pass, renamed over their targets one by one in one step each,
//    and every folder that received one is flushed once: no target is
//    replaced before all the new data is on stable storage.  A failed copy
//    (read error, damaged data, a compressed standalone entry whose zlib
//    stream does not end right after `size` bytes with a valid Adler-32),
//    a failed check or a failed flush deletes the temporary files and
//    leaves those targets as they were; a failed rename leaves the targets
//    renamed before it in place and the others as they were.  When the run
//    fails before every entry is written, the standalone entries' copies
//    written completely are still put in place the same way;
//  - the folders the run made for its targets that are still empty when it
//    fails, or is stopped by a signal, are removed (the deepest first; never
//    a folder the run did not make);
//  - a target that is the archive itself or the new archive's temporary file
//    fails the run instead of destroying it.
int extract_entries();

// Makes the path an entry is written to from its stored name: a drive prefix
// ("X:") and leading '\' or '/' are dropped (repeatedly), so that the target
// always lies under the current directory.  0 with *target set; -1 when the
// name must not be extracted at all: a ".." component (or any component of
// only dots and spaces with two or more dots), nothing left but
// folders (empty, or ending in a separator), a last component that has the
// form of a temporary name (is_temporary_name), or a name Windows refuses
// (windows_name_check: UNC and device prefixes, device names, forbidden
// characters, components ending in a dot or a space).
int extraction_target(const std::string& name, std::string* target);

// Makes the missing folders of a target's directory part (a relative path
// from extraction_target(), so every folder lies inside the current folder),
// one component at a time from the outermost.  Nothing is ever followed or
// replaced: a component that exists as a symbolic link (to a folder or to
// anything else), a file or any other non-folder refuses the target (the
// last component, the target itself, is left to the overwrite decision).
// Empty and "." components are passed over.  0 when every
// folder of the target exists as a real folder; -1 when the target is
// refused or a folder cannot be made (folders made before stay).  With
// `made`, each folder it makes is appended there, outermost first, and put
// on the list of folders the run made (track_created_folder).  With
// `known`, the folders (spelled as in the targets) that earlier calls of the
// same run found or made as real folders: they are not looked at again, and
// each folder this call finds or makes is added.
int make_target_folders(const std::string& target, std::vector<std::string>* made = nullptr,
                        std::unordered_set<std::string>* known = nullptr);

#endif
