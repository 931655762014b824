// msgfile.h -- the message-file tool: edits a C source file holding a table of
// labelled message strings with a script of change commands.  This is all the
// driver sees of it; the records, the scanners and the edits are the tool's
// own (msgfile/msg_internal.h, included only inside src/msgfile and by the
// tool's tests).
//
// The driver calls, in order, load_message_file, load_change_script,
// apply_change_script and write_message_file, and ends the run with -3 as
// soon as one fails; free_message_buffers is called by the exit routine on
// every path.  Each routine prints its own diagnostics on standard output
// before it reports failure.
//
// A message entry is a string literal whose text starts with a label followed
// by the two bytes backslash and '0' (the separator); the bytes after the
// separator up to the closing quote are the body.  The table ends with
// "(char*)0" and "};".  Every string literal of the change script is one
// command.
#ifndef VORN_MSGFILE_H
#define VORN_MSGFILE_H

#include <string>

// Loads the message file (opened for reading and writing, so a file that
// cannot be written is refused here) into the message text and remembers its
// path.  0 or -1 after printing "unable to open file %s for reading\n",
// "file %s is too big to fit in memory\n", "unable to read %s\n" or, for a
// file holding a NUL byte, "file %s holds a NUL byte\n".
int load_message_file(const char* path);

// Loads the change script (opened for reading only) and remembers its path.
// Same results and messages as load_message_file.
int load_change_script(const char* path);

// Runs every command literal of the change script, in order, on the message
// text.  0 when all ran; -1 at the first command that reports a diagnostic
// ("%s: line %d: %s\n" with the script path), or after "out of memory\n".
int apply_change_script();

// Replaces the message file with the message text: writes it completely to
// a temporary file beside the message file (beside the file it names when it
// is a symbolic link), created exclusively under a unique name, flushed, and
// renamed over it in one step (base/replace.h).  0 on success.  -1 after
// "unable to create temporary file\n", "unable to write temporary message
// file\n" or "unable to replace message file %s\n"; on failure the message
// file is exactly as it was and no temporary file of this run is left.
int write_message_file();

// Releases both texts, the paths, the index and the menu cache, and puts the
// tool's state back to its start values (the tool's release routine, called
// by the exit routine; also what a reset of every module's state calls).
void free_message_buffers();

// Prints the bytes on standard output, where the tool's diagnostics go (the
// driver's own message about a message file in use goes there too).
void msg_print(const std::string& s);

#endif
