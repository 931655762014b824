// options.cpp -- the archive-name pass and the option pass over the argument
// list.  Options are positional: each file spec is recorded when the pass
// reaches it and takes the settings in force at that moment.
#include "driver/driver.h"

#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/block_deflate.h"
#include "archive/collection.h"
#include "base/failure.h"
#include "base/names.h"
#include "base/run_state.h"
#include "operations/emitter.h"

namespace {

bool is_word(const std::string& arg, const char* word) { return option_is(arg, word); }
bool has_prefix(const std::string& arg, const char* word) { return option_has_prefix(arg, word); }

bool is_option(const std::string& arg) {
  return !arg.empty() && (arg[0] == '-' || arg[0] == '+');
}

// A "-x"/"+x" pair of whole-word switches: sets *field to 0 or 1 when the
// argument is one of them.
bool switch_pair(const std::string& arg, const char* minus, const char* plus, int* field) {
  if (is_word(arg, minus)) {
    *field = 0;
    return true;
  }
  if (is_word(arg, plus)) {
    *field = 1;
    return true;
  }
  return false;
}

// Applies one argument.  0 to go on (with *finished = 1 after a successful
// "+#": the run ends now with 0); -1 when the run ends now with -3.
int apply_argument(const std::string& arg, int* finished) {
  Settings& s = g_settings;
  RunState& run = g_run;

  if (has_prefix(arg, "-redund:")) {
    s.report_path = strip_value_quotes(arg.substr(8));
    s.find_duplicates = 1;
    return 0;
  }
  if (has_prefix(arg, "-rfind:")) {
    s.report_prefixes.push_back(strip_value_quotes(arg.substr(7)));
    return 0;
  }
  if (is_word(arg, "-a")) {
    s.add_mode = 1;
    s.delete_mode = 0;
    s.extract_mode = 0;
    return 0;
  }
  if (switch_pair(arg, "-c", "+c", &s.compress)) return 0;
  if (is_word(arg, "-d")) {
    s.add_mode = 0;
    s.delete_mode = 1;
    s.extract_mode = 0;
    return 0;
  }
  if (switch_pair(arg, "-e", "+e", &s.attr_e)) return 0;
  if (switch_pair(arg, "-g", "+g", &s.in_directory)) return 0;
  if (switch_pair(arg, "-l", "+l", &s.attr_l)) return 0;
  if (switch_pair(arg, "-m", "+m", &s.modify_only)) return 0;
  if (switch_pair(arg, "-p", "+p", &s.store_paths)) return 0;
  if (is_word(arg, "-vornalt")) {
    set_modifier();
    return 0;
  }
  if (is_word(arg, "-vornex")) {
    set_extractor();
    return 0;
  }
  if (is_word(arg, "-vorn")) {
    set_packer();
    return 0;
  }
  // There is no banner to suppress: both are accepted and change nothing.
  if (is_word(arg, "-q") || is_word(arg, "-nologo")) return 0;
  if (switch_pair(arg, "-r", "+r", &s.recurse)) return 0;
  // "-stub:" before "-s": every other argument beginning with "-s", "-stub"
  // without its colon included, is a key.
  if (has_prefix(arg, "-stub:")) {
    run.work_pending = 1;
    s.stub_path = strip_value_quotes(arg.substr(6));
    return 0;
  }
  if (has_prefix(arg, "-s")) {
    s.match_key_hash = key_hash_of(arg.c_str() + 2);
    return 0;
  }
  if (has_prefix(arg, "+s")) {
    s.new_key_hash = key_hash_of(arg.c_str() + 2);
    s.new_key_given = 1;
    return 0;
  }
  if (is_word(arg, "-v")) {
    s.view = 1;
    return 0;
  }
  if (is_word(arg, "-verbose") || is_word(arg, "+verbose")) return 0;
  if (is_word(arg, "-x")) {
    s.add_mode = 0;
    s.delete_mode = 0;
    s.modify_only = 0;
    s.extract_mode = 1;
    return 0;
  }
  if (switch_pair(arg, "-1", "+1", &s.user1) || switch_pair(arg, "-2", "+2", &s.user2) ||
      switch_pair(arg, "-3", "+3", &s.user3) || switch_pair(arg, "-4", "+4", &s.user4))
    return 0;
  if (has_prefix(arg, "+#")) {
    if (emit_deflated_source(arg.c_str() + 2, "deflated") != 0) return -1;
    *finished = 1;
    return 0;
  }
  if (is_option(arg)) return fail_note("unrecognised option", arg, "(see vorn --help)");
  run.work_pending = 1;
  return add_file_spec(arg.c_str()) == 0 ? 0 : -1;
}

// "--threads N" or "--threads=N": how many threads compress (1 to
// MAX_THREADS).  *taken = 0 when args[*i] is not this option; 1 when it was
// applied (*i moved past a separate value).  0, or -1 when its value is
// missing or not a count in range.
int threads_option(const std::vector<std::string>& args, size_t* i, int* taken) {
  const std::string& arg = args[*i];
  std::string value;
  *taken = 0;
  if (is_word(arg, "--threads")) {
    if (*i + 1 >= args.size()) return -1;
    value = args[++*i];
  } else if (has_prefix(arg, "--threads=")) {
    value = arg.substr(10);
  } else {
    return 0;
  }
  *taken = 1;
  if (value.empty() || value.size() > 3) return -1;
  int n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > MAX_THREADS) return -1;
  g_settings.threads = n;
  return 0;
}

}  // namespace

bool option_has_prefix(const std::string& arg, const char* word) {
  size_t n = std::strlen(word);
  if (arg.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (ascii_lower_char(arg[i]) != ascii_lower_char(word[i])) return false;
  return true;
}

bool option_is(const std::string& arg, const char* word) {
  return arg.size() == std::strlen(word) && option_has_prefix(arg, word);
}

std::string strip_value_quotes(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    return value.substr(1, value.size() - 2);
  return value;
}

int archive_name_pass() {
  std::vector<std::string>& args = g_args;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (is_option(arg)) {
      if (is_word(arg, "--threads")) ++i;  // its value is no archive name
      else if (is_word(arg, "-vorn")) set_packer();
      else if (is_word(arg, "-vornex")) set_extractor();
      else if (is_word(arg, "-vornalt")) set_modifier();
      continue;
    }
    g_settings.archive_path = arg;
    return remove_argument(static_cast<int>(i));
  }
  return 0;
}

int option_pass(int* finished) {
  int unused = 0;
  if (finished == nullptr) finished = &unused;
  *finished = 0;
  const std::vector<std::string>& args = g_args;
  for (size_t i = 0; i < args.size(); ++i) {
    int taken = 0;
    if (threads_option(args, &i, &taken) != 0) return -1;
    if (taken) continue;
    if (apply_argument(args[i], finished) != 0) return -1;
    if (*finished) return 0;
  }
  return 0;
}
