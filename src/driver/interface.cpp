// interface.cpp -- what a person sees: the usage text, the version, the
// double-dash options, the progress line and the last word of a run.
#include "driver/driver.h"

#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/activity.h"
#include "base/names.h"
#include "base/failure.h"

#include "driver/version.h"
#include "platform/platform.h"

namespace {

const char kUsage[] =
    "usage: vorn    ARCHIVE [options and files ...]   pack: add, replace, delete\n"
    "       vornex  ARCHIVE [options and files ...]   extract entries as files\n"
    "       vornalt ARCHIVE [options and files ...]   modify stored entries\n"
    "       vorn --list [--machine] ARCHIVE [names ...]\n"
    "       vorn -mfile:MSGFILE -mmod:SCRIPT          edit a C message table\n"
    "       vorn --help | --version\n"
    "\n"
    "One program, three names: the name it is started under (vorn, vornex,\n"
    "vornalt) only presets the options below; every option works under every name.\n"
    "The first argument that begins with neither \"-\" nor \"+\" is the archive;\n"
    "each later one is a file or wildcard, handled under the options in force at\n"
    "its place on the command line.  Option words ignore letter case.\n"
    "\n"
    "Options:\n"
    "  -a                  add mode: store files, replacing entries of the same name\n"
    "  -d                  delete mode: remove the named entries\n"
    "  -x                  extract mode: write the named entries out as files\n"
    "  +m / -m             with -a, only re-store entries already stored / off\n"
    "  +c / -c             compress (default) / store as is\n"
    "  +g / -g             data in the directory stream (default) / standalone\n"
    "  +p / -p             keep the folder part of names / bare names (default)\n"
    "  +r / -r             wildcards descend into subfolders / not (default)\n"
    "  +l / -l             set (default) / clear attribute l\n"
    "  +e / -e             set / clear (default) attribute e\n"
    "  +1 ... +4 / -1 ... -4   set / clear user attributes 1 to 4\n"
    "  -sKEY               match key: a keyed entry is handled only if KEY opens it\n"
    "  +sKEY               new key for files stored and entries re-stored from here\n"
    "  -v                  check that the selected entries read back; prints nothing\n"
    "  -stub:FILE          put FILE (beginning with \"MZ\") in front of the archive\n"
    "  -redund:REPORT      remove later copies of equal contents; REPORT lists them\n"
    "  -rfind:PREFIX       with -redund:, only copies whose names begin with PREFIX\n"
    "  +#FILE              FILE deflated, as C array deflatedStream, into \"deflated\"\n"
    "  -vorn, -vornex, -vornalt   switch to that name's presets from here on\n"
    "  -q, -nologo, -verbose, +verbose   accepted, no effect\n"
    "  -mfile:MSGFILE -mmod:SCRIPT       apply a change script to a C message table\n"
    "  @FILE               read further arguments from FILE\n"
    "  --list              list the entries (all, or those named); read-only\n"
    "  --machine           with --list: a header and tab-separated records\n"
    "  --verbose           report each entry handled, and why a failed run failed\n"
    "  --progress          show a progress line while standard error is a terminal\n"
    "  --threads N         compress with N threads (default: one per core)\n"
    "  --help, -h          this text\n"
    "  --version           program and zlib versions\n"
    "\n"
    "Argument files: tokens separated by blanks and line ends; \";\" starts a\n"
    "comment; double quotes group blanks, \";\" and line ends into one token.\n"
    "\n"
    "Exit codes: 0 success or nothing to do; -3 (253 in a POSIX shell) any failure.\n"
    "A failure says why on standard error when it is a terminal, or with --verbose.\n"
    "\n"
    "Examples:\n"
    "  vorn docs.vrn *.txt            add every .txt file, compressed\n"
    "  vornex docs.vrn *.txt          extract the stored .txt entries\n"
    "  vorn --list docs.vrn           show what the archive holds\n";


bool same_word(const char* arg, const char* word) {
  if (arg == nullptr) return false;
  return option_is(std::string(arg), word);
}

int write_out(const std::string& text) {
  return pf_write_stdout(text.data(), text.size()) == static_cast<int64_t>(text.size()) ? 0 : -1;
}

void write_err(const std::string& text) { pf_write_stderr(text.data(), text.size()); }

// ---- the progress line ----

size_t g_drawn_width = 0;  // characters of the line now on the screen

std::string human_bytes(int64_t n) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(n);
  int u = 0;
  while (v >= 1024.0 && u < 4) {
    v /= 1024.0;
    ++u;
  }
  char buf[32];
  if (u == 0)
    std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(n));
  else
    std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
  return buf;
}

void draw_progress(const ProgressState& p) {
  std::string line = human_bytes(p.done) + " of " + human_bytes(p.total);
  if (p.seconds > 0.05)
    line += ", " + human_bytes(static_cast<int64_t>(static_cast<double>(p.done) / p.seconds)) + "/s";
  if (!p.entry.empty()) line += "  " + escape_listed_name(p.entry, false);
  // One line of an ordinary console: the entry name is cut at the end.
  constexpr size_t kWidth = 79;
  if (line.size() > kWidth) line.resize(kWidth);
  std::string out = "\r" + line;
  if (line.size() < g_drawn_width) out += std::string(g_drawn_width - line.size(), ' ') + "\r" + line;
  g_drawn_width = line.size();
  write_err(out);
}

void hide_progress() {
  if (g_drawn_width == 0) return;
  write_err("\r" + std::string(g_drawn_width, ' ') + "\r");
  g_drawn_width = 0;
}

}  // namespace

int interface_request(int argc, char** argv) {
  if (argv == nullptr) return REQUEST_NONE;
  for (int i = 1; i < argc; ++i) {
    if (same_word(argv[i], "--help")) return REQUEST_HELP;
    if (same_word(argv[i], "--version")) return REQUEST_VERSION;
  }
  if (argc == 2 && (same_word(argv[1], "-h") || same_word(argv[1], "-?") || same_word(argv[1], "/?")))
    return REQUEST_HELP;
  return REQUEST_NONE;
}

int show_help() { return write_out(kUsage); }

int show_version() {
  return write_out(std::string("vorn ") + kVornVersion + " (zlib " + zlibVersion() + ")\n");
}

std::string program_display_name(const char* argv0) {
  std::string name = last_component_after_drive(argv0 != nullptr ? argv0 : "");
  // "VORNEX.EXE" reads as vornex.
  if (name.size() > 4) {
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = ascii_lower_char(c);
    if (tail == ".exe") name.resize(name.size() - 4);
  }
  return name.empty() ? std::string("vorn") : name;
}

int interface_option_pass() {
  Interface& ui = g_ui;
  std::vector<std::string>& args = g_args;
  std::vector<std::string> kept;
  kept.reserve(args.size());
  for (std::string& arg : args) {
    if (option_is(arg, "--list")) ui.list = 1;
    else if (option_is(arg, "--machine")) ui.machine = 1;
    else if (option_is(arg, "--verbose")) ui.verbose = 1;
    else if (option_is(arg, "--progress")) ui.progress = 1;
    else kept.push_back(std::move(arg));
  }
  args.swap(kept);
  activity_enable_reports(ui.verbose);
  if (ui.progress && pf_stderr_is_terminal()) {
    ProgressSink sink;
    sink.draw = draw_progress;
    sink.hide = hide_progress;
    progress_set_sink(sink);
  }
  return 0;
}

void interface_finish(int code) {
  progress_end();
  progress_set_sink(ProgressSink());
  g_drawn_width = 0;
  const Interface& ui = g_ui;
  if (activity_reports_enabled()) {
    std::string text;
    for (const ActivityReport& r : activity_reports())
      if (code == EXIT_OK || r.durable) text += activity_line(r) + "\n";
    write_err(text);
    activity_enable_reports(0);
  }
  if (code != EXIT_OK && (ui.verbose || pf_stderr_is_terminal())) {
    std::string reason = failure_text();
    if (reason.empty()) reason = "failed";
    write_err(ui.program + ": " + reason + "\n");
  }
}
