// dispatch.cpp -- the order of a run: what the command line asks for, the one
// piece of work that follows, and the replacement of the archive.
#include "driver/driver.h"

#include <exception>
#include <string>
#include <vector>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "archive/view.h"
#include "archive/load.h"
#include "base/activity.h"
#include "base/failure.h"
#include "base/lock.h"
#include "base/replace.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "msgfile/msgfile.h"
#include "operations/duplicates.h"
#include "operations/extract.h"
#include "operations/rewrite.h"
#include "platform/platform.h"

namespace {

// The exit code of a run whose work answered `result` (0 or -1).
int exit_code(int result) { return result == 0 ? EXIT_OK : EXIT_FAILURE_CODE; }

// Index of the first argument beginning with "-" whose first characters are
// `word` (ASCII case ignored), or -1.
int find_dash_option(const char* word) {
  const std::vector<std::string>& args = g_args;
  for (size_t i = 0; i < args.size(); ++i)
    if (!args[i].empty() && args[i][0] == '-' && option_has_prefix(args[i], word))
      return static_cast<int>(i);
  return -1;
}

// The message-file edit, which owns the whole run once "-mfile:" is given.
// 0 or -1.
int run_message_tool(int mfile_index) {
  std::string text_path = g_args[mfile_index].substr(7);
  // Runs that edit one message file take turns, each working on the text the
  // one before it left (the lock is on the file a link names).  A file that
  // is not there is left for the load to report.
  std::string resolved;
  if (!text_path.empty() && pf_resolve_links(text_path.c_str(), &resolved) == 0 &&
      pf_exists(resolved.c_str())) {
    g_run.lock_fd = change_lock_take(resolved);
    if (g_run.lock_fd < 0) {
      msg_print("message file " + text_path + " is in use\n");
      fail_note("cannot lock the message file", text_path, "(another run is changing it)");
      return -1;
    }
  }
  // The tool prints its own diagnostics on standard output; the reasons
  // below only say which stage stopped the run.
  if (load_message_file(text_path.c_str()) != 0) {
    fail_note("cannot load the message file", text_path, "");
    return -1;
  }
  int mmod_index = find_dash_option("-mmod:");
  if (mmod_index < 0) {
    fail_note("no change script named", "", "(-mfile: needs -mmod:SCRIPT)");
    return -1;
  }
  std::string script_path = g_args[mmod_index].substr(6);
  if (load_change_script(script_path.c_str()) != 0) {
    fail_note("cannot load the change script", script_path, "");
    return -1;
  }
  if (apply_change_script() != 0) {
    fail_note("change script failed", script_path, "");
    return -1;
  }
  if (write_message_file() != 0) {
    fail_note("cannot write the message file", text_path, "");
    return -1;
  }
  return 0;
}

// "-redund:": creates the report, runs the finder and closes the report.
// 0 or -1.
int run_duplicate_finder() {
  Settings& s = g_settings;
  RunState& run = g_run;
  if (run.work_pending || s.view)
    return fail_note("-redund: cannot be combined", "", "(with file names, -stub: or -v)");
  // The finder always rewrites the archive (the report is stored in it).
  if (run.archive_read_only) return fail_note("cannot change", s.archive_path, "(the archive is read-only)");
  // The report is a new file: anything that has its name already (the
  // user's own file, the archive, a link, some run's temporary) is left
  // exactly as it is and the run ends.
  if (s.report_path.empty() || is_temporary_name(s.report_path))
    return fail_note("cannot use as the report", s.report_path, "(a name of its own is needed)");
  int fd;
  try {
    pf_hold_interrupts(1);
    fd = pf_create_exclusive(s.report_path.c_str());
    if (fd >= 0) track_created_file(s.report_path);
    pf_hold_interrupts(0);
  } catch (...) {
    pf_hold_interrupts(0);
    throw;
  }
  if (fd < 0) return fail_system("cannot create the report", s.report_path);
  run.report_fd = fd;
  run.report_created = 1;
  int64_t total = 0;
  for (const auto& rec : g_archive.loaded.records) total += rec->size;
  progress_begin(total);
  const int found = find_duplicate_entries();
  progress_end();
  if (found != 0) return fail_note("cannot find duplicates in", s.archive_path, "");
  if (run.report_fd >= 0) {
    pf_close(run.report_fd);
    run.report_fd = -1;
  }
  if (g_archive.specs.count() > 0) run.work_pending = 1;
  return 0;
}

// The rewrite steps after write_stub, in their fixed order.
int (*const kRewriteSteps[])() = {
    copy_standalone_entries, move_out_in_directory_entries, add_standalone_files,
    extract_entries,         plan_in_directory_entries,     write_directory,
    copy_in_directory_data,  move_in_standalone_entries,    add_in_directory_files,
    finish_archive,          write_mz_checksum,
};

// The archive rewrite.  0 or -1.
int run_rewrite() {
  const Settings& s = g_settings;
  RunState& run = g_run;
  if (!run.work_pending) return 0;
  // An archive that could only be opened for reading is never replaced; nor
  // is a file stored under a name no extraction would write.
  if (run.archive_read_only) return fail_note("cannot change", s.archive_path, "(the archive is read-only)");
  if (check_new_names() != 0)
    return fail_note("refusing to store", "", "(a name with a \"..\" component could never be extracted)");
  run.rewriting = 1;
  int64_t total = 0;
  for (const auto& rec : g_archive.loaded.records) total += rec->size;
  progress_begin(total);
  if (write_stub() != 0) return -1;
  for (auto step : kRewriteSteps)
    if (step() != 0) return fail_note("cannot rewrite", s.archive_path, "");
  if (run.archive_fd >= 0) {
    pf_close(run.archive_fd);
    run.archive_fd = -1;
  }
  if (run.output_fd < 0) return 0;  // no step had anything to write
  if (replace_archive() != 0) return -1;
  confirm_rewrite_reports();
  return 0;
}

// Bytes the extraction alone is expected to write: the entries that extract
// specs name.
int64_t extraction_total() {
  int64_t total = 0;
  for (const auto& rec : g_archive.loaded.records) {
    const int j = file_spec_find(rec->name.c_str(), SPEC_EXTRACT);
    if (j >= 0) total += rec->size;
  }
  return total;
}

// An extraction that names nothing extracts every entry, as "*" would:
// settings still in extract mode at the end of a command line that named no
// file (and asked for no view, stub or duplicate search).
void extract_all_when_nothing_named() {
  const Settings& s = g_settings;
  if (g_run.work_pending || !s.extract_mode || s.view || s.find_duplicates) return;
  add_file_spec("*");
}

// Exactly one piece of work: the view walk, extraction alone, or the rewrite.
// 0 or -1.
int run_work() {
  const Settings& s = g_settings;
  RunState& run = g_run;
  // A run that only reads the archive lets the others go on: it keeps
  // reading the file it opened, which no later run changes in place.
  const bool stub_requested = !s.stub_path.empty();
  const bool reads_only = s.view || (run.read_only_run && !stub_requested);
  if (reads_only && run.lock_fd >= 0) {
    pf_close(run.lock_fd);
    run.lock_fd = -1;
  }
  if (s.view) {
    if (view_pass() == 0) return 0;
    if (run.archive_fd < 0) fail_note("cannot check", s.archive_path, "(no archive could be opened)");
    fail_note("check failed", s.archive_path, "(data that does not read back)");
    return -1;
  }
  plan_rewrite_reports();
  // A new stub is a change of the archive even when every file spec only
  // extracts: the rewrite then runs, with the extraction as its fifth step.
  if (run.read_only_run && !stub_requested) {
    progress_begin(extraction_total());
    if (extract_entries() == 0) return 0;
    fail_note("cannot extract from", s.archive_path, "");
    return -1;
  }
  return run_rewrite();
}

int run_program(int argc, char** argv) {
  if (argc < 2 || argv == nullptr) return terminate(EXIT_OK);
  const std::string program_name = argv[0] != nullptr ? argv[0] : "";
  g_ui.program = program_display_name(program_name.c_str());
  switch (interface_request(argc, argv)) {
    case REQUEST_HELP:
      return terminate(exit_code(show_help()));
    case REQUEST_VERSION:
      return terminate(exit_code(show_version()));
    default:
      break;
  }
  for (int i = 1; i < argc; ++i) {
    if (expand_argument(argv[i]) != 0) {
      // The option pass of the double-dash words has not run: a "--verbose"
      // given on the command line itself still asks for the reason.
      for (int k = 1; k < argc; ++k)
        if (argv[k] != nullptr && option_is(argv[k], "--verbose")) g_ui.verbose = 1;
      return terminate(EXIT_FAILURE_CODE);
    }
  }
  interface_option_pass();
  select_personality_from_name(program_name.c_str());

  int mfile_index = find_dash_option("-mfile:");
  if (mfile_index >= 0) return terminate(exit_code(run_message_tool(mfile_index)));

  if (archive_name_pass() != 0) return terminate(EXIT_FAILURE_CODE);
  if (g_settings.archive_path.empty()) {
    fail_note("no archive named", "", "(see vorn --help)");
    return terminate(EXIT_FAILURE_CODE);
  }
  if (g_ui.list) return terminate(exit_code(list_archive()));
  if (open_archive() != 0) return terminate(EXIT_FAILURE_CODE);
  select_personality_from_name(program_name.c_str());

  int finished = 0;
  if (option_pass(&finished) != 0) return terminate(EXIT_FAILURE_CODE);
  if (finished) return terminate(EXIT_OK);
  extract_all_when_nothing_named();

  if (g_settings.find_duplicates && run_duplicate_finder() != 0)
    return terminate(EXIT_FAILURE_CODE);

  return terminate(exit_code(run_work()));
}

}  // namespace

int open_archive() {
  RunState& run = g_run;
  std::string& path = g_settings.archive_path;
  // An archive named through symbolic links is the file they lead to: that
  // file is replaced, its temporary made in its folder.  A link that leads
  // nowhere is not followed to create a file where it points.
  std::string resolved;
  if (pf_resolve_links(path.c_str(), &resolved) != 0)
    return fail_system("cannot follow the links of", path);
  if (resolved != pf_native_path(path.c_str())) {
    if (!pf_exists(resolved.c_str()))
      return fail_note("refusing to create the archive through a link", path,
                       "(it leads nowhere)");
    path = resolved;
  }
  // Runs that may change this archive take turns from here until the new
  // archive is in place.
  run.lock_fd = change_lock_take(path);
  if (run.lock_fd < 0)
    return fail_note("cannot lock the archive", path, "(another run is changing it)");
  int fd = pf_open_rw(path.c_str());
  if (fd < 0) {
    // A read-only archive serves every run that only reads it; a run that
    // would rewrite it fails before anything is written (run_rewrite).
    fd = pf_open_read(path.c_str());
    if (fd >= 0) run.archive_read_only = 1;
  }
  if (fd >= 0) {
    run.archive_fd = fd;
    run.archive_existed = 1;
    return load_archive_directory();
  }
  if (g_settings.packer) return 0;
  return fail_system("cannot open the archive", path);
}

int load_archive_directory() {
  if (load_directory() == 0) return 0;
  const std::string& path = g_settings.archive_path;
  failure_name_file(path);
  return fail_note("damaged archive", path, "(its directory cannot be read)");
}

int replace_archive() {
  RunState& run = g_run;
  TempFile t;
  t.target = g_settings.archive_path;
  t.path = run.temp_path;
  t.fd = run.output_fd;
  run.output_fd = -1;
  run.temp_path.clear();
  // A file that this run could not open as the archive (read-only, say) was
  // never loaded; it is not replaced behind the user's back, nor is a file
  // that took the name since.
  return temp_commit(&t, run.archive_existed ? TEMP_REPLACE : TEMP_NEW_ONLY);
}

int vorn_main(int argc, char** argv) {
  failure_clear();
  // A run stopped from outside deletes the temporaries it was writing and
  // ends with the failure code; what they were to replace stays as it was.
  pf_on_interrupt(remove_live_temporaries, EXIT_FAILURE_CODE);
  try {
    return run_program(argc, argv);
  } catch (const std::exception&) {
    fail_note("out of memory", "", "");
    return terminate(EXIT_FAILURE_CODE);
  } catch (...) {
    return terminate(EXIT_FAILURE_CODE);
  }
}
