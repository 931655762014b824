// msgfile.h -- the message-file tool: edits a C source file holding a table of
// labelled message strings with a script of change commands.
//
// The driver calls, in order, load_message_file, load_change_script,
// apply_change_script and write_message_file, and ends the run with -3 as
// soon as one fails; free_message_buffers is called by the exit routine on
// every path.  Each routine prints its own diagnostics on standard output
// before it reports failure.
#ifndef VORN_MSGFILE_H
#define VORN_MSGFILE_H

#include <string>

// The tool's process-wide state (see state.h for where it lives).
struct MessageState {
  std::string text;         // the message file's bytes (no terminator stored)
  std::string script;       // the change script's bytes
  std::string text_path;    // the text after "-mfile:"
  std::string script_path;  // the text after "-mmod:"
  int loaded = 0;
};

int load_message_file(const char* path);
int load_change_script(const char* path);
int apply_change_script();
int write_message_file();
void free_message_buffers();

#endif
