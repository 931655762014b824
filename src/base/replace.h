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
//
// Many files at once (extraction): each temporary is finished without its
// flush (temp_finish_unflushed), then all of them are flushed in one pass
// (temp_flush_all), renamed in turn (temp_rename) and their folders flushed
// once each (temp_flush_folders).  The order is what keeps every target
// either as it was or complete after a crash: no rename before the data of
// every temporary is on stable storage.
#ifndef VORN_BASE_REPLACE_H
#define VORN_BASE_REPLACE_H

#include <string>
#include <vector>

// One temporary file on its way to replacing `target`.
struct TempFile {
  std::string target;  // the file it replaces (or creates)
  std::string path;    // the temporary's own path; empty when none exists
  int fd = -1;         // open for reading and writing until finished
  bool created_with_attributes = false;  // temp_create_new: nothing to take
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

// temp_create for a target that did not exist and is put in place only
// under a name nothing has (TEMP_NEW_ONLY): the temporary is created with
// the permissions a new file gets (pf_create_exclusive_default), and
// finishing it takes no attributes from anything.
int temp_create_new(const std::string& target, TempFile* t);

// Finishes the content: gives the temporary what the target keeps of the file
// it replaces (owner, group, permissions; pf_take_attributes), flushes it to
// stable storage and closes it.  On failure the temporary is deleted.  0 or -1.
int temp_finish(TempFile* t);

// temp_finish without the flush: the temporary gets the attributes and is
// closed, and must go through temp_flush_all before it is renamed into place
// (temp_rename).  On failure the temporary is deleted.  0 or -1.
int temp_finish_unflushed(TempFile* t);

// Flushes the data of temporaries finished by temp_finish_unflushed to stable
// storage in one pass (pf_sync_files).  Renames nothing.  0, or -1 with the
// temporaries left as they are (the caller deletes them).
int temp_flush_all(const std::vector<const TempFile*>& temps);

// Renames a finished and flushed temporary over (or, TEMP_NEW_ONLY, to) its
// target in one step, leaving the flush of the folder to temp_flush_folders.
// On failure the temporary is deleted and the target is as it was.  0 or -1.
int temp_rename(TempFile* t, TempPlacement placement);

// Flushes the folder holding each of the paths (files just renamed there, or
// folders just made there) in one pass (pf_sync_folders), each folder once
// however many paths it holds.  0, or -1 when a flush failed (the others are
// still made).
int temp_flush_folders(const std::vector<std::string>& paths);

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

// Folders a run makes for the files it writes (extraction) go on the list
// too, from the moment they are made until the run keeps them
// (forget_created_folders) or gives up (remove_created_folders, which
// removes every one of them that is empty by then, the deepest first, and
// forgets the rest).  Only folders this run made are ever removed, and only
// empty ones.
void track_created_folder(const std::string& path);
void forget_created_folders();
void remove_created_folders();

// Deletes every temporary of this process that still exists, then removes
// the folders on the list that are empty (remove_created_folders).
// Allocates nothing and takes no lock: may be called from a signal handler.
void remove_live_temporaries();

#endif
