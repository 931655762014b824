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
#include "driver/state.h"
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

// Applies one argument.  Returns OPTIONS_DONE to go on, OPTIONS_END_RUN with
// *end_code set to end the run.
int apply_argument(const std::string& arg, int* end_code) {
  Settings& s = g_state.settings;
  RunState& run = g_state.run;

  if (has_prefix(arg, "-redund:")) {
    s.report_path = strip_value_quotes(arg.substr(8));
    s.find_duplicates = 1;
    return OPTIONS_DONE;
  }
  if (has_prefix(arg, "-rfind:")) {
    s.report_prefixes.push_back(strip_value_quotes(arg.substr(7)));
    return OPTIONS_DONE;
  }
  if (is_word(arg, "-a")) {
    s.add_mode = 1;
    s.delete_mode = 0;
    s.extract_mode = 0;
    return OPTIONS_DONE;
  }
  if (switch_pair(arg, "-c", "+c", &s.compress)) return OPTIONS_DONE;
  if (is_word(arg, "-d")) {
    s.add_mode = 0;
    s.delete_mode = 1;
    s.extract_mode = 0;
    return OPTIONS_DONE;
  }
  if (switch_pair(arg, "-e", "+e", &s.attr_e)) return OPTIONS_DONE;
  if (switch_pair(arg, "-g", "+g", &s.in_directory)) return OPTIONS_DONE;
  if (switch_pair(arg, "-l", "+l", &s.attr_l)) return OPTIONS_DONE;
  if (switch_pair(arg, "-m", "+m", &s.modify_only)) return OPTIONS_DONE;
  if (switch_pair(arg, "-p", "+p", &s.store_paths)) return OPTIONS_DONE;
  if (is_word(arg, "-vornalt")) {
    set_modifier();
    return OPTIONS_DONE;
  }
  if (is_word(arg, "-vornex")) {
    set_extractor();
    return OPTIONS_DONE;
  }
  if (is_word(arg, "-vorn")) {
    set_packer();
    return OPTIONS_DONE;
  }
  // There is no banner to suppress: both are accepted and change nothing.
  if (is_word(arg, "-q") || is_word(arg, "-nologo")) return OPTIONS_DONE;
  if (switch_pair(arg, "-r", "+r", &s.recurse)) return OPTIONS_DONE;
  // "-stub:" before "-s": every other argument beginning with "-s", "-stub"
  // without its colon included, is a key.
  if (has_prefix(arg, "-stub:")) {
    run.work_pending = 1;
    s.stub_path = strip_value_quotes(arg.substr(6));
    return OPTIONS_DONE;
  }
  if (has_prefix(arg, "-s")) {
    s.match_key_hash = key_hash_of(arg.c_str() + 2);
    return OPTIONS_DONE;
  }
  if (has_prefix(arg, "+s")) {
    s.new_key_hash = key_hash_of(arg.c_str() + 2);
    s.new_key_given = 1;
    return OPTIONS_DONE;
  }
  if (is_word(arg, "-v")) {
    s.view = 1;
    return OPTIONS_DONE;
  }
  if (is_word(arg, "-verbose") || is_word(arg, "+verbose")) return OPTIONS_DONE;
  if (is_word(arg, "-x")) {
    s.add_mode = 0;
    s.delete_mode = 0;
    s.modify_only = 0;
    s.extract_mode = 1;
    return OPTIONS_DONE;
  }
  if (switch_pair(arg, "-1", "+1", &s.user1) || switch_pair(arg, "-2", "+2", &s.user2) ||
      switch_pair(arg, "-3", "+3", &s.user3) || switch_pair(arg, "-4", "+4", &s.user4))
    return OPTIONS_DONE;
  if (has_prefix(arg, "+#")) {
    *end_code = emit_deflated_source(arg.c_str() + 2, "deflated") == 0 ? EXIT_OK
                                                                        : EXIT_FAILURE_CODE;
    return OPTIONS_END_RUN;
  }
  if (is_option(arg)) {
    fail_note("unrecognised option", arg, "(see vorn --help)");
    *end_code = EXIT_FAILURE_CODE;
    return OPTIONS_END_RUN;
  }
  run.work_pending = 1;
  if (add_file_spec(arg.c_str()) != 0) {
    *end_code = EXIT_FAILURE_CODE;
    return OPTIONS_END_RUN;
  }
  return OPTIONS_DONE;
}

// "--threads N" or "--threads=N": how many threads compress (1 to
// MAX_THREADS).  Returns 0 when args[*i] is not this option, 1 when it was
// applied (*i moved past a separate value), -1 when its value is missing or
// not a count in range.
int threads_option(const std::vector<std::string>& args, size_t* i) {
  const std::string& arg = args[*i];
  std::string value;
  if (is_word(arg, "--threads")) {
    if (*i + 1 >= args.size()) return -1;
    value = args[++*i];
  } else if (has_prefix(arg, "--threads=")) {
    value = arg.substr(10);
  } else {
    return 0;
  }
  if (value.empty() || value.size() > 3) return -1;
  int n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > MAX_THREADS) return -1;
  g_state.settings.threads = n;
  return 1;
}

}  // namespace

namespace {
char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool option_has_prefix(const std::string& arg, const char* word) {
  size_t n = std::strlen(word);
  if (arg.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (lower_ascii(arg[i]) != lower_ascii(word[i])) return false;
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
  std::vector<std::string>& args = g_state.args;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (is_option(arg)) {
      if (is_word(arg, "--threads")) ++i;  // its value is no archive name
      else if (is_word(arg, "-vorn")) set_packer();
      else if (is_word(arg, "-vornex")) set_extractor();
      else if (is_word(arg, "-vornalt")) set_modifier();
      continue;
    }
    g_state.settings.archive_path = arg;
    return remove_argument(static_cast<int>(i));
  }
  return 0;
}

int option_pass(int* end_code) {
  int unused = 0;
  if (end_code == nullptr) end_code = &unused;
  const std::vector<std::string>& args = g_state.args;
  for (size_t i = 0; i < args.size(); ++i) {
    const int threads = threads_option(args, &i);
    if (threads < 0) {
      *end_code = EXIT_FAILURE_CODE;
      return OPTIONS_END_RUN;
    }
    if (threads > 0) continue;
    if (apply_argument(args[i], end_code) == OPTIONS_END_RUN) return OPTIONS_END_RUN;
  }
  return OPTIONS_DONE;
}
