// driver.h -- the command-line driver: argument list, personalities, option
// passes, dispatch and the one exit routine.
//
// vorn_main runs one whole command line and returns the exit code the process
// must end with (0 or -3); main() does nothing else.  Every path of a run ends
// in terminate(), which releases all process-wide state in a fixed order and
// resets it, so vorn_main may be called again in the same process (tests).
#ifndef VORN_DRIVER_H
#define VORN_DRIVER_H

#include <string>

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILURE_CODE = -3;

// Runs the program as if started with this argument vector (argv[0] is the
// program's own name).  Returns 0 or -3.
int vorn_main(int argc, char** argv);

// Releases everything (message buffers, tables, report file of this run,
// archive, temporary file, argument list, file specs, streams) and returns
// `code` for the process to end with.
int terminate(int code);

// ---- argument list ----
int expand_argument(const char* text);
int read_argument_file(const char* path);
int remove_argument(int index);

// ---- personalities ----
void select_personality_from_name(const char* name);
void set_packer();
void set_extractor();
void set_modifier();

// ---- rewrite step 1 ----
int write_stub();

#endif
