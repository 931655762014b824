// activity.h -- what a run did, entry by entry, and how far along it is.
//
// Two passive records that the operations feed and the driver reads: the
// per-entry reports shown by --verbose, and the progress counters shown by
// --progress.  Nothing here prints by itself: reports are kept until the
// driver shows or drops them, and progress is handed to a drawing routine
// that the driver installs only when a person is watching.  Both cost
// nothing while switched off.
#ifndef VORN_BASE_ACTIVITY_H
#define VORN_BASE_ACTIVITY_H

#include <cstdint>
#include <string>
#include <vector>

// ---- per-entry reports -------------------------------------------------------

struct ActivityReport {
  std::string verb;    // "added", "replaced", "re-stored", "deleted", "extracted", "skipped"
  std::string name;    // entry or file name
  std::string detail;  // why it was skipped, or ""
  int durable = 0;     // 1: stays done even when the run fails later (an extracted file)
};

// Switches collection on or off (off at start); while off activity_report
// does nothing.
void activity_enable_reports(int on);
int activity_reports_enabled();

// Adds one report (when collection is on).
void activity_report(const char* verb, const std::string& name, const std::string& detail = "",
                     int durable = 0);

// The reports in the order they were made.
const std::vector<ActivityReport>& activity_reports();

// One report as a line without line end: verb, the name in double quotes,
// and ": detail" when there is one.
std::string activity_line(const ActivityReport& r);

// ---- progress ------------------------------------------------------------------

struct ProgressState {
  int64_t done = 0;        // bytes handled so far
  int64_t total = 0;       // bytes the work is expected to handle (never below done)
  double seconds = 0;      // time since progress_begin
  std::string entry;       // the entry or file being handled
};

// The drawing routine: draw(state) shows the line, hide() takes it off the
// screen.  Installed by the driver; with none installed progress is only
// counted.
struct ProgressSink {
  void (*draw)(const ProgressState&) = nullptr;
  void (*hide)() = nullptr;
};
void progress_set_sink(const ProgressSink& sink);

// Starts a piece of work expected to handle `total` bytes.
void progress_begin(int64_t total);
// Adds to the expected total (work found along the way).
void progress_add_total(int64_t bytes);
// The entry or file now being handled (kept only while a drawing routine
// is installed).
void progress_entry(const std::string& name);
// Counts handled bytes; redraws at most five times a second.
void progress_bytes(int64_t n);
// Takes the line off the screen (before a question or a message); the next
// redraw puts it back.
void progress_hide();
// Ends the work: the line is taken off the screen, the counters reset.
void progress_end();
// The counters as they stand.
ProgressState progress_state();

#endif
