// run_state.h -- the run's settings and the run state beside them.
//
// A run owns exactly one Settings record (g_settings) and one RunState record
// (g_run); every floor above this one reads and writes them.  The other parts
// of the process-wide state belong to the modules that own them: the archive
// container's tables, file specs and streams (archive/archive_state.h), the
// message-file tool's texts (msgfile/msg_internal.h) and the driver's argument list
// and interface switches (driver/driver.h).  The exit routine calls each
// module's release routine in its fixed order.
#ifndef VORN_BASE_RUN_STATE_H
#define VORN_BASE_RUN_STATE_H

#include <cstdint>
#include <string>
#include <vector>

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

extern Settings g_settings;
extern RunState g_run;

// Closes the report descriptor and deletes the report file when this run
// created it (it has been stored in the archive by then, or the run failed); a
// file of that name that this run did not create is never touched.  -1, with
// the reason recorded, when the report cannot be deleted: a leftover file is
// never passed over in silence.  0 otherwise, also when there is no report.
int run_state_remove_report();

// Releases what the run state holds, in this order: the report descriptor;
// the report file, but only when this run created it; the archive
// descriptor; the temporary file (closed and deleted when still there); the
// lock on the archive or message file.  Then puts both records back to their
// start values.  Results of closing and deleting are not examined.
void run_state_release();

// Puts both records back to their start values without releasing anything.
void run_state_reset();

#endif
