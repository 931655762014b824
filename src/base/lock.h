// lock.h -- serialising the runs that change one file (an archive, a message
// file): the lock is taken before the file is read and let go after the new
// file has been renamed over it, so a run that waited works on the file as
// the run before it left it.
//
// An existing file is locked itself; a missing one by its folder, so two runs
// that both create the same file also take turns.  No lock file is made.  The
// operating system ends the lock when the run ends, however it ends.
#ifndef VORN_BASE_LOCK_H
#define VORN_BASE_LOCK_H

#include <string>

// How long a run waits for another to let go, in milliseconds, before it
// gives up (default two minutes).  Process-wide; tests shorten it.
int change_lock_wait_ms();
void set_change_lock_wait_ms(int ms);

// Takes the lock for changing the file at `path` (links already resolved).
// Existing file: opened for locking and locked; once had, the path must still
// name the locked file (a run that held the lock may have renamed a new file
// over it), else the lock is let go and taken again on what the path names
// now.  Missing file: its folder is locked, and the file must still be
// missing, else the same.  Returns the descriptor that holds the lock (to be
// closed with pf_close when the run is done), or -1 when the wait ran out or
// the file or folder cannot be locked.
int change_lock_take(const std::string& path);

#endif
