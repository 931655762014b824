// platform.h -- the only code of vorn that touches the operating system.
//
// Every file, directory and console call of the program goes through the
// routines below.  There are two implementations of this header, chosen by
// the build for the target system: platform_win32.cpp (Win32) and
// platform_posix.cpp, each built with platform_common.cpp (what they share:
// fault hooks, name matching and order, the line read).  The POSIX one
// follows the Windows conventions the archiver was designed for:
//   - `\` and `/` both separate directories: every path handed to a routine here
//     may use either, and `dir\a.txt` means `dir/a.txt` on disk;
//   - directory enumeration behaves like the find-first/find-next pair: a
//     pattern whose last component may hold `*` and `?`, matched without regard
//     to ASCII case; "." and ".." are returned; a dot-file other than those two
//     is hidden; the short (8.3) name is always empty.
// On Win32 the same enumeration lists the folder's own hidden attribute and
// short names; matching and order are the same on both.
//
// Results follow the C runtime: descriptors are small non-negative integers,
// -1 means failure.  No routine prints, throws or ends the process.
#ifndef VORN_PLATFORM_H
#define VORN_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- files -----------------------------------------------------------------

// Opens an existing file for reading only.  -1 when it cannot be opened.
// Only regular files are opened: a folder, a named pipe or a device counts as
// "cannot be opened" (for every open routine here), and no open ever waits.
int pf_open_read(const char* path);

// Opens an existing file for reading and writing; never creates it.  -1 when
// it does not exist or cannot be opened for writing.
int pf_open_rw(const char* path);

// Opens a file for reading and writing, creating it when absent (permission:
// read and write for the owner) and truncating it to 0 bytes.  -1 on failure.
int pf_open_create(const char* path);

// Reads up to n bytes.  Returns the count read (0 at end of file), -1 on error.
// Retries interrupted calls and short reads of regular files until n bytes or
// end of file.
int64_t pf_read(int fd, void* buf, size_t n);

// Writes n bytes.  Returns the count written (n on success), -1 on error.
int64_t pf_write(int fd, const void* buf, size_t n);

enum { PF_SEEK_SET = 0, PF_SEEK_CUR = 1, PF_SEEK_END = 2 };

// Moves the file position; returns the new position from the start, -1 on
// failure (including a resulting negative position).
int64_t pf_seek(int fd, int64_t offset, int whence);

// Length of an open file in bytes, without moving its position; -1 on error.
int64_t pf_file_length(int fd);

// pf_open_read and pf_file_length in one: opens an existing regular file for
// reading and stores its length in *length, measured by the same look at the
// open file that makes sure it is a regular one.  For the fault hooks it is
// one pf_open_read call and then one pf_file_length call; a failure of either
// returns -1 with nothing left open.
int pf_open_read_length(const char* path, int64_t* length);

// Flushes the file's data to stable storage.  0 or -1.
int pf_sync(int fd);

// Asks the system to start writing the file's data out now, without waiting
// for it: a hint, so that the pf_sync that ends a long write has less left
// to wait for.  Nothing is promised; it fails only on a bad descriptor (-1),
// and does nothing where the system has no such request (0).
int pf_start_writeback(int fd);

// Makes the data of many files durable in one pass: the files named, which
// this process has written and closed, end up on stable storage as if each
// had been flushed with pf_sync before it was closed.  For writing many small
// files, where flushing each in turn costs a journal commit (or a disk cache
// flush) per file.  On Linux: one flush of each file system the files lie on
// (syncfs), so that the system writes them back and commits once; elsewhere
// each file is opened again and flushed.  A name that is a symbolic link, a
// folder or anything but a regular file is not flushed through: -1.  0, or -1
// when any file could not be opened or flushed (an empty list: 0).
int pf_sync_files(const std::vector<std::string>& paths);

// Closes a descriptor.  0 or -1.  Closing -1 does nothing and returns -1.
int pf_close(int fd);

// Deletes a file.  0 or -1.
int pf_remove(const char* path);

// Creates a new file for reading and writing, exclusively: never opens,
// truncates or follows anything that already has the name (file, folder,
// symbolic or hard link).  Permission: read and write for the owner only.
// Returns the descriptor; -2 when something already has that name; -1 on any
// other failure.
int pf_create_exclusive(const char* path);

// pf_create_exclusive for a file that will take a name nothing has: the new
// file gets at once the permissions pf_take_attributes would give it for a
// `like` that does not exist (read and write for everyone, less the
// process's file-creation mask; on Win32 its folder's), so that no call is
// needed for them later.  Results as pf_create_exclusive.
int pf_create_exclusive_default(const char* path);

// Renames `from` to `to`, replacing `to` when it exists, in one step (never
// delete-then-rename).  Nothing of the replaced file is handed on (see
// pf_take_attributes).  0 or -1.  On Win32 a `to` that another handle holds
// open cannot be replaced: -1, and both files stay as they were.
int pf_rename(const char* from, const char* to);

// Renames `from` to `to` only when nothing has the name `to`: never replaces
// anything.  0, or -1 (also when `to` exists).
int pf_rename_new(const char* from, const char* to);

// Gives the open file `fd` what a file that replaces `like` keeps of it:
// when `like` is a regular file (a symbolic link is not followed), its owner
// and group as far as this process may set them, and its permission bits,
// the setuid, setgid and sticky bits only when owner and group both ended up
// those of `like`.  Otherwise the permissions a new file gets by default
// (read and write for everyone, less the process's file-creation mask).
// 0, or -1 when the permissions could not be set.
int pf_take_attributes(int fd, const char* like);

// Resolves the symbolic links a path names: while the last component is a
// link, follows it (a relative link from the link's own folder), and stores
// the path it finally arrives at in *out (the path unchanged when it is not
// a link; that path need not exist).  -1 after 40 links in a row or when a
// link cannot be read.
int pf_resolve_links(const char* path, std::string* out);

// Opens a folder only so that it can be locked (pf_lock) and closed.  -1
// when it is not a folder or cannot be opened.
int pf_open_folder(const char* path);

// Takes an exclusive advisory lock on the open file or folder `fd`, waiting
// at most `wait_ms` milliseconds for a holder to let go.  The lock belongs to
// this open descriptor: a second open of the same file, in this process or
// another, waits for it.  It ends when the descriptor is closed or the
// process ends, however it ends.  0, or -1 when the wait ran out or locks are
// refused.
int pf_lock(int fd, int wait_ms);

// Deletes a file by a path already in native form, without allocating
// memory or taking locks: safe inside a signal handler.  0 or -1.
int pf_remove_native(const char* native_path);

// Removes a folder, only when it is empty; a symbolic link (or any other
// redirection) of that name is never removed or followed.  0, or -1 when
// nothing was removed (not empty, missing, not a folder, refused).
int pf_remove_empty_folder(const char* path);

// The same for a path already in native form, without allocating memory or
// taking locks: safe inside a signal handler.  0 or -1.
int pf_remove_empty_folder_native(const char* native_path);

// Flushes the folder that holds `path` (the entry of a file just renamed
// there) to stable storage.  0 or -1.
int pf_sync_parent_dir(const char* path);

// Flushes the folders holding each of the paths (the entries of files just
// renamed there, or of folders just made there) in one pass, as
// pf_sync_parent_dir would each: on Linux one flush of each file system
// they lie on (syncfs), which commits every rename at once; elsewhere each
// folder in turn.  0, or -1 when any flush failed (the others are still
// made).
int pf_sync_folders(const std::vector<std::string>& paths);

// 1 when `path` names an existing file or folder, 0 otherwise.
int pf_exists(const char* path);

// 1 when `path` names an existing folder.
int pf_is_directory(const char* path);

// What a path names, asked of the item itself: a symbolic link (or any other
// kind of redirection the system keeps in a folder) is reported as a link,
// never followed, wherever it points and whether or not its target exists.
// Links in the path's earlier components are followed as the system does.
enum PfPathKind {
  PF_PATH_MISSING = 0,  // nothing of that name
  PF_PATH_REGULAR,      // a regular file
  PF_PATH_FOLDER,       // a folder
  PF_PATH_LINK,         // a symbolic link
  PF_PATH_OTHER,        // a pipe, socket, device or anything else
};
// The kind of `path`, or -1 when the system cannot tell (no permission to
// look, an empty path, a name too long).
int pf_path_kind(const char* path);

// Creates one folder (its parent must exist) with the system's ordinary
// permissions for a new folder.  0, or -1 when it cannot be created,
// including when anything at all already bears that name.
int pf_make_folder(const char* path);

// 1 when the two paths name the same existing file (same device and inode on
// POSIX), 0 otherwise or when either does not exist.
int pf_same_file(const char* a, const char* b);

// 1 when the two open descriptors refer to the same file.
int pf_same_file_fd(int fd, const char* path);

// Which file a path names, links followed: the volume it lies on and its
// number there (device and inode on POSIX).  Two existing paths name the
// same file exactly when their identities are equal (what pf_same_file
// compares).
struct PfFileId {
  uint64_t volume = 0;
  uint64_t index = 0;
};
inline bool pf_same_id(const PfFileId& a, const PfFileId& b) {
  return a.volume == b.volume && a.index == b.index;
}

// The identity of what `path` names.  0, or -1 when it does not exist or
// cannot be looked at.
int pf_file_id(const char* path, PfFileId* out);

// The path as the operating system spells it: separators turned into the
// native one.  Used by the routines above; exposed for tests.
std::string pf_native_path(const char* path);

// ---- directory enumeration --------------------------------------------------

// PF_ATTR_SPECIAL marks an item that is neither a regular file nor a folder
// once links are followed: a dangling link, a pipe, a socket, a device.
enum { PF_ATTR_HIDDEN = 0x2, PF_ATTR_DIRECTORY = 0x10, PF_ATTR_SPECIAL = 0x10000 };

// What the enumeration learned of an item as it looked at it, links
// followed: for a regular file `length`, its length in bytes, and for a
// regular file or a folder other than "." and "..", `has_id` 1 with its
// identity in `id`.  On POSIX both are always known; on Win32 neither (the
// folder's listing holds no identity, and may hold a stale length for a file
// being written or written through another of its names): length -1 and
// has_id 0, as for anything else.  Both describe the item at the moment it
// was listed.
struct PfFindData {
  uint32_t attributes = 0;      // PF_ATTR_HIDDEN, PF_ATTR_DIRECTORY, PF_ATTR_SPECIAL
  std::string long_name;        // the item's name, without directory part
  std::string short_name;       // the 8.3 name on Win32 (may be empty); always empty on POSIX
  int64_t length = -1;
  int has_id = 0;
  PfFileId id;
};

struct PfFind;  // opaque enumeration handle

// Starts an enumeration of `pattern` (a directory part, then a last component
// that may hold * and ?; both separators allowed).  Returns a handle and fills
// `out` with the first item, or nullptr when nothing matches or the folder
// cannot be read.  "." and ".." come first when the pattern matches them,
// then the other items sorted by their ASCII-lower-cased names (the order a
// case-insensitive file system lists them in), so runs repeat whatever order
// the folder keeps.
PfFind* pf_find_first(const char* pattern, PfFindData* out);

// Fills `out` with the next item: 1, or 0 when there are no more.
int pf_find_next(PfFind* h, PfFindData* out);

// Ends an enumeration; accepts nullptr.
void pf_find_close(PfFind* h);

// ---- console -----------------------------------------------------------------

// Reads one character of standard input: 0..255, or -1 at end of input or on
// error.  Never waits for ever on a closed or exhausted input.
int pf_read_stdin_char();

// Writes bytes to standard output.  Returns the count written or -1.
int64_t pf_write_stdout(const void* buf, size_t n);

// Writes bytes to standard error.  Returns the count written or -1.
int64_t pf_write_stderr(const void* buf, size_t n);

// 1 when standard input / standard error is an interactive terminal (a
// console), 0 otherwise (a file, a pipe, closed).  Never waits.
int pf_stdin_is_terminal();
int pf_stderr_is_terminal();

// Reads one line of standard input into *line, without its line end (LF, or
// CR LF).  0 with the line (possibly empty), or -1 at end of input or on an
// error with nothing read.  A last line without a line end is returned with
// 0; the next call then gives -1.  Used only when standard input is a
// terminal: a console line is read with its editing, as the person typed it.
int pf_read_stdin_line(std::string* line);

// ---- interruptions ------------------------------------------------------------

// Makes the requests to stop a run from outside end it cleanly: on POSIX the
// signals SIGTERM, SIGHUP, SIGINT and SIGQUIT; on Windows the console's
// control events (Ctrl+C, Ctrl+Break, the console closing, log-off, shut-down).
// When one arrives, `cleanup` is called once, in whatever thread the system
// chooses and possibly in the middle of any other routine of the program, so
// it may only do what a signal handler may: routines documented as safe for
// it (pf_remove_native) and reads of data that is always consistent.  Then
// the process ends at once with `exit_code` (the low 8 bits on POSIX),
// running no destructors and no exit handlers.  A second request while
// `cleanup` runs waits for it.
// Also, a write past the process's file-size limit (SIGXFSZ on POSIX) never
// ends the process: the write fails (pf_write returns -1, or a short count)
// like any other write failure.
// May be called again (later calls replace `cleanup` and `exit_code`).
// 0, or -1 when the handlers could not be installed.
int pf_on_interrupt(void (*cleanup)(), int exit_code);

// Holds interruptions back (on = 1) or lets them through again (on = 0):
// a request that arrives while they are held is remembered and acted on,
// as above, the moment they are let through.  Used around a step that must
// not be cut in two, such as creating a file and listing it for `cleanup`.
// Holds do not nest.
void pf_hold_interrupts(int on);

// ---- errors ---------------------------------------------------------------------

// The operating system's own text for the error of the last call that failed
// in this thread (for example "No such file or directory"), without a line
// end; "" when none is known.  Must be asked before any other system call,
// since the next call may replace the error.
std::string pf_last_error_text();

// ---- fault hooks (built only into the test copy of this layer) ---------------
//
// With VORN_FAULT_HOOKS defined, a test can make the n-th call (1-based,
// counted from the arming) of one kind of operation fail as if the OS had
// refused it.  Without it these routines exist and do nothing, so code that
// calls them still links.
enum PfFaultKind {
  PF_FAULT_WRITE = 0,   // pf_write returns -1
  PF_FAULT_SYNC,        // pf_sync returns -1
  PF_FAULT_RENAME,      // pf_rename or pf_rename_new returns -1
  PF_FAULT_OPEN_CREATE, // pf_open_create, pf_create_exclusive or
                        // pf_create_exclusive_default returns -1
  PF_FAULT_READ,        // pf_read returns -1
  PF_FAULT_LOCK,        // pf_lock returns -1
  PF_FAULT_ATTRIBUTES,  // pf_take_attributes returns -1
  PF_FAULT_MAKE_FOLDER, // pf_make_folder returns -1 and creates nothing
  PF_FAULT_OPEN,        // pf_open_read, pf_open_read_length, pf_open_rw or
                        // pf_open_folder returns -1
  PF_FAULT_SEEK,        // pf_seek returns -1
  PF_FAULT_LENGTH,      // pf_file_length returns -1 (pf_open_read_length: -1,
                        // nothing left open)
  PF_FAULT_REMOVE,      // pf_remove returns -1 and deletes nothing
  PF_FAULT_FOLDER_SYNC, // pf_sync_parent_dir or pf_sync_folders returns -1
                        // (after a rename: the name is in place, only its
                        // flush failed)
  PF_FAULT_ENUMERATE,   // pf_find_first finds nothing, as for an unreadable folder
  PF_FAULT_SHORT_READ,  // pf_read reads only half of what was asked (rounded
                        // down) and returns that count, as at an end of file
  PF_FAULT_SHORT_WRITE, // pf_write writes only half of what was asked (rounded
                        // down) and returns that count, as on a full disk
  PF_FAULT_SYNC_FILES,  // pf_sync_files returns -1
  PF_FAULT_REMOVE_FOLDER, // pf_remove_empty_folder returns -1 and removes nothing
  PF_FAULT_KIND_COUNT
};
// Each call counts towards its own kind; a pf_read call also counts as a
// PF_FAULT_SHORT_READ call, a pf_write call as a PF_FAULT_SHORT_WRITE call.
void pf_fault_arm(PfFaultKind kind, int nth);
void pf_fault_clear();
// How many calls of this kind were made since the last pf_fault_clear().
int pf_fault_calls(PfFaultKind kind);

#endif
