// replace.h -- the one way a file of the user's is replaced: a temporary file
// created exclusively under a name no other run uses, in the folder of the
// file it will replace, written completely, flushed, and renamed over that
// file in one step.  Archives, extracted files, message files and the "+#"
// output all go through here.
//
// Temporary names are "vorn" + 8 lower-case letters or digits + ".tmp".
// Every temporary that exists is on a process-wide list until it is renamed
// into place or deleted, so that a signal handler can delete what a run was
// still writing (remove_live_temporaries).
#ifndef VORN_BASE_REPLACE_H
#define VORN_BASE_REPLACE_H

#include <string>

// One temporary file on its way to replacing `target`.
struct TempFile {
  std::string target;  // the file it replaces (or creates)
  std::string path;    // the temporary's own path; empty when none exists
  int fd = -1;         // open for reading and writing until finished
};

// How a finished temporary is put in place.
enum TempPlacement {
  TEMP_REPLACE = 0,   // replaces the target when it exists
  TEMP_NEW_ONLY = 1,  // the target must not exist: something that took the
                      // name in the meantime is never replaced
};

// Creates the temporary for `target` in the target's folder (the part of the
// path up to its last '\', '/' or ':'), exclusively, trying fresh names while
// a name is taken.  *t gets target, path and the open descriptor.  0, or -1
// (nothing created) when no temporary can be created there.
int temp_create(const std::string& target, TempFile* t);

// Finishes the content: gives the temporary what the target keeps of the file
// it replaces (owner, group, permissions; pf_take_attributes), flushes it to
// stable storage and closes it.  On failure the temporary is deleted.  0 or -1.
int temp_finish(TempFile* t);

// Puts a finished temporary in place: renames it over (or, TEMP_NEW_ONLY, to)
// its target in one step and flushes the folder.  On failure the temporary is
// deleted and the target is as it was.  0 or -1.
int temp_place(TempFile* t, TempPlacement placement);

// temp_finish, then temp_place.  0 or -1; whatever happens, no temporary is
// left and t->fd is closed.
int temp_commit(TempFile* t, TempPlacement placement);

// Closes and deletes the temporary when there is one.  Never fails.
void temp_discard(TempFile* t);

// 1 when the last component of `path` has the form of a temporary name
// (letter case ignored), whether or not such a file exists.
bool is_temporary_name(const std::string& path);

// Puts a file this run created by other means, and deletes itself before it
// ends (the duplicate finder's report), on the same list, so that a run
// stopped from outside deletes it too; forget_created_file takes it off again
// (before or after deleting it).
void track_created_file(const std::string& path);
void forget_created_file(const std::string& path);

// Deletes every temporary of this process that still exists.  Allocates
// nothing and takes no lock: may be called from a signal handler.
void remove_live_temporaries();

#endif
