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
#include <vector>

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILURE_CODE = -3;

// What a run shows a person (the double-dash options).  None of these
// changes what a run does to any file.
struct Interface {
  int list = 0;      // --list: show the entries instead of doing any work
  int machine = 0;   // --machine: --list as tab-separated records
  int verbose = 0;   // --verbose: per-entry reports, and the failure reason always
  int progress = 0;  // --progress: a progress line while standard error is a terminal
  std::string program = "vorn";  // the name messages begin with
};

// The driver's part of the process-wide state.
extern std::vector<std::string> g_args;  // the expanded argument list
extern Interface g_ui;

// Puts every module's state back to its start values without releasing
// anything (tests and tools that drive modules directly, between cases).
void state_reset();

// Runs the program as if started with this argument vector (argv[0] is the
// program's own name).  Returns 0 or -3.
//
// The order of a run: no arguments -> 0; every argument expanded into the
// argument list; personality from the name; a "-mfile:" argument hands the
// whole run to the message-file tool (which first takes the message file's
// lock, base/lock.h); the archive-name pass; the archive's lock is taken and
// the archive opened (only the packer may go on without one) and its
// directory loaded;
// personality from the name again; the option pass (a command line that
// names no file and ends in extract mode extracts every entry, as "*"
// would); "-redund:" runs the
// duplicate finder; then exactly one piece of work: the view walk, extraction
// alone, or the archive rewrite, which ends by renaming the synced temporary
// file over the archive in one step.
int vorn_main(int argc, char** argv);

// Releases everything, in this order, through each module's release
// routine: the message-file tool's texts (free_message_buffers); the archive
// container's tables, file specs and streams (archive_release); the run
// state's descriptors, report file, temporary file and lock
// (run_state_release); the driver's argument list and interface switches.
// Every part is back at its start values afterwards; returns `code` for the
// process to end with.  Results of closing and deleting are not examined.
int terminate(int code);

// ---- argument list (g_args) ----

// Adds one command-line argument to the argument list.  "@name" reads the
// argument file `name` (used unchanged, quotes included) and adds its tokens
// in file order; a text quoted as a whole ("...") loses its outer quote pair,
// repeatedly, and is then expanded again (so a quoted "@name" names a file);
// an empty text adds nothing.  0, or -1 when an argument file cannot be
// opened, measured or read whole, when an argument file names itself
// directly or through other argument files, or when memory runs out; every
// failure records its reason (base/failure.h).  On failure the arguments
// added before it stay in the list.
//
// Argument files: tokens are separated by blanks (space, tab) and line ends
// (LF, CR); ";" outside double quotes starts a comment that runs to the next
// line end; inside double quotes blanks, line ends and ";" belong to the token.
// Tokens keep their inner quotes.  Nesting depth is limited only by memory
// (the expansion keeps its own stack of open files, not the call stack).
//
// The whole expansion of one run is capped: at most MAX_ARGUMENT_TOKENS
// arguments and argument-file tokens ("@name" tokens included, so also that
// many argument-file reads) and at most MAX_ARGUMENT_BYTES bytes read from
// argument files (a file read again counts again); the call that would pass
// either fails with -1 before it reads or stores anything more.
int expand_argument(const char* text);

constexpr uint64_t MAX_ARGUMENT_TOKENS = 1u << 20;
constexpr uint64_t MAX_ARGUMENT_BYTES = 64u << 20;

// Expands the argument file at `path` as an "@path" argument does.  0 or -1.
int read_argument_file(const char* path);

// Takes the argument at `index` out of the list, keeping the order of the
// others.  0, or -1 when there is no such argument.
int remove_argument(int index);

// ---- personalities ----

// Clears the three personality flags, then tests the name's ending against the
// packer names ("vorn", "vorn.exe", "vorn16", "vorn16.exe", "vorn32",
// "vorn32.exe"), the extractor names (the same with "vornex") and the
// modifier names ("vornalt"...), ASCII case ignored, running the setter of
// each group that matches (a later group over an earlier one).  Nothing
// before the ending is examined.  With no match, the packer.
void select_personality_from_name(const char* name);

// Presets: each writes its fixed set of settings (personality flag and
// operation modes; the packer also compression, placement and attributes,
// the modifier the attributes) and leaves every other setting alone.
void set_packer();
void set_extractor();
void set_modifier();

// ---- option passes ----

// The archive-name pass: walks the argument list in order, running the
// setter of each "-vorn", "-vornex" or "-vornalt" met, until the first
// argument that begins with neither "-" nor "+"; that argument becomes
// settings.archive_path and is removed from the list.  Leaves archive_path
// empty when every argument is an option.  0, or -1 when the removal fails.
int archive_name_pass();

// The option pass: applies every argument of the list in order to Settings
// (first matching row wins: "-redund:", "-rfind:", "-a", "-c"/"+c", "-d",
// "-e"/"+e", "-g"/"+g", "-l"/"+l", "-m"/"+m", "-p"/"+p", "-vornalt",
// "-vornex", "-vorn", "-q", "-nologo", "-r"/"+r", "-stub:", "-s", "+s", "-v",
// "-verbose"/"+verbose", "-x", "-1".."-4"/"+1".."+4", "+#"), and hands every
// argument that begins with neither "-" nor "+" to add_file_spec after
// setting work_pending.  Option words compare without regard to ASCII case;
// key texts and values are taken byte for byte.  0 when every argument was
// applied (*finished = 0: the run goes on), or when "+#" emitted its file
// (*finished = 1: the run ends now with 0, nothing after it is applied).  -1
// (the run ends with -3; nothing after the argument is applied) at the first
// unrecognised option, a "--threads" without a count from 1 to MAX_THREADS, a
// file spec that cannot be recorded, or a "+#" whose emission failed.
// `finished` may be null.
int option_pass(int* finished);

// Option words compare without regard to ASCII case: the argument is exactly
// `word`, or begins with it.
bool option_is(const std::string& arg, const char* word);
bool option_has_prefix(const std::string& arg, const char* word);

// Removes one pair of double quotes that encloses the whole value (a value
// of at least two characters whose first and last are '"'); anything else is
// returned unchanged.
std::string strip_value_quotes(const std::string& value);

// ---- dispatch pieces ----

// Resolves settings.archive_path through symbolic links (the path becomes
// that of the file they lead to; a link that leads nowhere is -1), takes the
// change lock for it into run.lock_fd (waiting at most change_lock_wait_ms;
// -1 past that), then opens it for reading and writing (never creating it),
// or, when that is refused, for reading only (run.archive_read_only = 1: the
// run may view and extract, and fails with -3 before writing anything when
// it would rewrite the archive).  Opened: run.archive_fd,
// run.archive_existed = 1 and the directory loaded; a load failure returns
// -1.  Not opened (missing, a folder, unreadable): 0 for the packer, which
// goes on with no archive; -1 otherwise.  A run that turns out only to read
// (view, extraction alone) lets go of the lock before its work.
int open_archive();

// load_directory on the open archive; a failure that nothing below
// explained is recorded as a damaged directory of settings.archive_path.
// 0 or -1.
int load_archive_directory();

// The rewrite's first step: puts the stub at the front of the temporary file.
// The source is the "-stub:" file when stub_path is set (it must begin with
// "MZ"; its whole length is copied), else the open archive's leading bytes up
// to its data start when the loaded table holds an entry.  Nothing to copy:
// 0 without opening the temporary file.  Records run.stub_length.  0 or -1.
int write_stub();

// Replaces the archive with the finished temporary file (temp_commit): gives
// it the old archive's owner, group and permissions, syncs and closes it,
// then renames it over settings.archive_path in one step and syncs the
// archive's folder; a run that found no archive never replaces a file that
// has the name by now.  The archive descriptor must already be closed.  Any
// failure up to and including the rename deletes the temporary file and
// leaves the old archive untouched.  0 or -1.
int replace_archive();

// ---- what a person sees (interface.cpp, listing.cpp, reports.cpp) ----
//
// Everything here is reached only through the double-dash options, or only
// when a person is at a terminal: a command line without them behaves and
// prints exactly as it always did.

enum InterfaceRequest { REQUEST_NONE = 0, REQUEST_HELP = 1, REQUEST_VERSION = 2 };

// What the raw command line asks before anything else: REQUEST_HELP for
// "--help" anywhere, or "-h", "-?" or "/?" as the only argument;
// REQUEST_VERSION for "--version" anywhere (the first of the two wins).
// Option words compare without regard to ASCII case.
int interface_request(int argc, char** argv);

// The usage text on standard output (synopsis, personalities, every option,
// argument files, exit codes, examples).  0 or -1 when it cannot be written.
int show_help();
// "vorn VERSION (zlib VERSION)" on standard output.  0 or -1.
int show_version();

// The name messages begin with: the program's own name without its folder
// part, or "vorn" when there is none.
std::string program_display_name(const char* argv0);

// Takes every "--list", "--machine", "--verbose" and "--progress" out of the
// argument list into g_ui, then switches on what they ask for
// (per-entry reports; the progress line when standard error is a terminal).
// Other arguments stay, in order.  0.
int interface_option_pass();

// The last word of a run, called by terminate before anything is released:
// takes the progress line off the screen; with --verbose shows the
// per-entry reports on standard error (after a failure only those of work
// that stays done, such as extracted files); after a failure shows the
// failure reason on standard error, as "NAME: REASON", when standard error
// is a terminal or with --verbose.  Never writes to standard output.
void interface_finish(int code);

// "--list": opens the archive for reading only, loads its directory and
// writes one line per entry selected by the names left in the argument list
// (all when none; a name with '*' or '?' is matched against the stored
// names with letter case counting, a plain name without regard to case; '/'
// and '\' alike), then a total line; with --machine a header line and one
// tab-separated record per entry, no total.  An in-directory entry has no
// stored size of its own: "shared" (with --machine "-").  Options left in the argument
// list are ignored.  0, or -1 when the archive cannot be opened or loaded
// (nothing is written then) or the listing cannot be written.
int list_archive();

// The listing's name escaping: tab as "\t", line feed as "\n", carriage
// return as "\r", other control bytes as "\xHH"; every other byte, non-ASCII
// ones included, as it is.  With `machine` '\' is written "\\" too, so a
// record reads back unambiguously; for a person a separator stays as it is.
std::string escape_listed_name(const std::string& name, bool machine);

// --verbose reports of the archive rewrite.  plan_rewrite_reports notes,
// before the work starts, what each file spec is set to do to each loaded
// entry (and which names on the command line selected nothing);
// confirm_rewrite_reports, after a successful rewrite, turns the plan into
// reports by what the new archive holds: added, replaced, re-stored,
// deleted, skipped (with the reason).  Both do nothing without --verbose.
void plan_rewrite_reports();
void confirm_rewrite_reports();

#endif
