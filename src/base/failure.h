// failure.h -- why a run failed: the one failure reason of a run.
//
// A routine that fails still returns -1 and prints nothing; where it knows
// what went wrong it also records a failure reason here: what failed, on
// which file, and the system's error text or a short explanation.  The
// driver decides whether the reason is shown (standard error at a terminal,
// or with --verbose) or ignored.
//
// The first reason recorded in a run stands: the innermost routine that sees
// a failure knows most about it, and callers that merely give up after it do
// not replace its words (they may record a reason of their own for failures
// nothing below them explained).  A routine that fails in a way its caller
// recovers from must not record anything.
#ifndef VORN_BASE_FAILURE_H
#define VORN_BASE_FAILURE_H

#include <string>

struct Failure {
  int recorded = 0;
  std::string what;    // "cannot open", "cannot create", ...
  std::string file;    // the file it concerns; "" when none
  std::string detail;  // the system's error text, or an explanation; may be ""
};

// Records what failed and on which file, with the system's error text for
// the last failed call (through the platform layer).  Ask it right after the
// call that failed.  Returns -1, so that a failing routine can end with
// `return fail_system(...)`.  Does nothing when a reason is recorded already.
int fail_system(const char* what, const std::string& file);

// Records what failed, on which file (may be ""), and an explanation (may be
// "").  Returns -1.  Does nothing when a reason is recorded already.
int fail_note(const char* what, const std::string& file, const std::string& detail);

// Names the file of the recorded reason when it has none yet: a routine
// that knows the file completes a reason recorded below it by a routine that
// did not (a copy routine sees descriptors, not names).
void failure_name_file(const std::string& file);

// Forgets the recorded reason (each run starts with none).
void failure_clear();

// The recorded reason (recorded == 0 when none).
const Failure& failure_last();

// The reason as one line without line end: what, then the file in double
// quotes, then ": " and the detail; a detail that begins with '(' follows
// after a blank instead.  For example
//   cannot open "nosuch.txt": No such file or directory
//   unrecognised option "--delte" (see vorn --help)
// "" when none is recorded.
std::string failure_text();

#endif
