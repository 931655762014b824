// platform_common.h -- the part of the platform layer that both
// implementations share: written once, in platform_common.cpp, with the
// standard library alone.  Only the files of src/platform/ (and the platform
// layer's own tests) include this header; the rest of the program knows
// platform.h alone.
//
// What is here needs no system call: the fault hooks' bookkeeping, the
// matching and ordering of enumerated names, and the splitting of a
// character stream into lines.  Each implementation supplies the one thing
// the bookkeeping cannot know, how its system records an error
// (pf_common::set_fault_error).
#ifndef VORN_PLATFORM_COMMON_H
#define VORN_PLATFORM_COMMON_H

#include <string>
#include <vector>

#include "platform/platform.h"

namespace pf_common {

// ---- fault hooks ---------------------------------------------------------------

// Counts a call of this kind and tells whether this very call must fail
// (the n-th one since pf_fault_arm(kind, n)).  When it must, the thread's
// last error is set first, as the system would have set it, so that
// pf_last_error_text() speaks of an I/O error.  A routine that is told to
// fail returns at once, having done nothing.  Without VORN_FAULT_HOOKS
// nothing is counted and no call fails.
#ifdef VORN_FAULT_HOOKS
bool fault_hit(PfFaultKind kind);
#else
inline bool fault_hit(PfFaultKind) { return false; }
#endif

// Records an I/O error as the thread's last error, the way the system would
// after a refused call.  Defined by each implementation.
void set_fault_error();

// ---- enumeration -------------------------------------------------------------------

// The ASCII letter in lower case; any other byte unchanged.
char ascii_lower(char c);

// Whether an enumerated name matches the last component of a pattern:
// '*' stands for any run of characters (also an empty one), '?' for one
// character, ASCII letters match without case, and "*.*" matches every
// name, with or without a dot.
bool name_matches(const std::string& pattern, const char* name);

// Splits an enumeration pattern into its folder part, as written, up to and
// with the last separator ('\' or '/'; empty when there is none), and its
// last component.  false when the pattern or its last component is empty:
// such a pattern matches nothing.
bool split_pattern(const char* pattern, std::string* folder, std::string* last);

// The items an enumeration has found, in the folder's own order.
struct Found {
  std::vector<PfFindData> dots;  // "." and ".."
  std::vector<PfFindData> rest;  // every other item
};

// Files one matching item under dots or rest, by its name.
void add_found(Found* found, PfFindData item);

// Puts the items in the order pf_find_first promises ("." and ".." first,
// then the rest by ASCII-lower-cased name, ties by the name itself) and
// makes the enumeration handle of them, with the first item in *out.
// nullptr when nothing was found.
PfFind* finish_find(Found* found, PfFindData* out);

// ---- interruptions ----------------------------------------------------------------

// Called first by each system's handler of a request to stop: when
// interruptions are held (pf_hold_interrupts), remembers the request and
// returns true, and the handler returns without acting; false otherwise.
// Safe in a signal handler (lock-free atomics only).
bool interrupt_held();

// Acts on a request that came while interruptions were held, the moment
// they are let through, exactly as the handler would have: the cleanup,
// then the end of the process.  Defined by each implementation.
void act_on_held_interrupt();

// ---- lines ---------------------------------------------------------------------------

// Reads one line from a character reader: `next_char(source)` gives the
// next byte (0..255), or a negative number at the end of input or on an
// error.  Stores the line without its line end (LF, or CR LF) in *line.
// 0 with the line (possibly empty); -1 when the input ended, or failed,
// before anything was read.  A last line without a line end is returned
// with 0, and the next call gives -1.
int read_line(int (*next_char)(void* source), void* source, std::string* line);

}  // namespace pf_common

#endif
