// state.h -- every piece of process-wide state of a run, in one record.
//
// A run owns exactly one ProcessState (g_state).  Settings and the run state
// are the driver's; the tables, the file-spec list and the streams are the
// archive container's; the message texts are the message-file tool's.  The
// exit routine releases all of it and state_reset() puts every field back to
// its start value, so tests can run case after case in one process.
#ifndef VORN_STATE_H
#define VORN_STATE_H

#include <cstdint>
#include <string>
#include <vector>

#include "archive/entry_table.h"
#include "archive/streams.h"
#include "msgfile/msgfile.h"

// Every option's value.  Start values as the program starts.
struct Settings {
  // personality: exactly one set outside a selection
  int packer = 0;
  int extractor = 0;
  int modifier = 0;

  int add_mode = 1;       // SPEC_ADD
  int delete_mode = 0;    // SPEC_DELETE
  int modify_only = 0;    // SPEC_MODIFY
  int extract_mode = 0;   // SPEC_EXTRACT
  int store_paths = 0;    // SPEC_KEEP_PATH
  int compress = 1;       // SPEC_COMPRESS
  int in_directory = 1;   // SPEC_IN_DIRECTORY
  int attr_l = 1;         // SPEC_ATTR_L
  int attr_e = 0;         // SPEC_ATTR_E
  int user1 = 0, user2 = 0, user3 = 0, user4 = 0;  // SPEC_USER1..4
  int recurse = 0;

  uint32_t match_key_hash = 0;  // "-s"
  uint32_t new_key_hash = 0;    // "+s"
  int new_key_given = 0;

  int view = 0;                 // "-v"
  std::string stub_path;        // "-stub:"
  int find_duplicates = 0;      // "-redund:"
  std::string report_path;      // "-redund:"
  std::vector<std::string> report_prefixes;  // "-rfind:"
  std::string archive_path;     // archive-name pass
  int threads = 0;              // "--threads N": compressing threads, 0 = one per core
};

// State of the run beside the settings.
struct RunState {
  int archive_fd = -1;        // the open archive (raw copies read from here)
  int archive_existed = 0;
  int archive_read_only = 0;  // the archive could be opened for reading only
  int output_fd = -1;         // the temporary file (raw copies write here)
  std::string temp_path;      // its path while it exists (a unique name)
  int lock_fd = -1;           // holds the lock on the archive or message file
  int report_fd = -1;
  int report_created = 0;     // this run created report_path
  uint32_t stub_length = 0;
  int work_pending = 0;
  int read_only_run = 1;
  int overwrite_all = 0;      // extraction: answer 'a' given
  int rewriting = 0;          // the archive rewrite is under way (extraction is its step 5)
  uint64_t argument_tokens = 0;  // arguments and argument-file tokens expanded so far
  uint64_t argument_bytes = 0;   // bytes read from argument files so far

  // Loaded archive.
  uint32_t directory_offset = 0;
  uint32_t data_start = 0;
  int64_t archive_size = 0;

  // New archive.
  uint32_t new_directory_offset = 0;
};

// What a run shows a person (the double-dash options).  None of these
// changes what a run does to any file.
struct Interface {
  int list = 0;      // --list: show the entries instead of doing any work
  int machine = 0;   // --machine: --list as tab-separated records
  int verbose = 0;   // --verbose: per-entry reports, and the failure reason always
  int progress = 0;  // --progress: a progress line while standard error is a terminal
  std::string program = "vorn";  // the name messages begin with
};

struct ProcessState {
  Settings settings;
  RunState run;
  std::vector<std::string> args;  // the expanded argument list
  EntryTable loaded;
  EntryTable output;
  FileSpecList specs;
  Streams streams;
  MessageState msg;
  Interface ui;
};

extern ProcessState g_state;

// Puts every field back to its start value (after the exit routine released
// descriptors and streams).
void state_reset();

#endif
