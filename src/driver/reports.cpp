// reports.cpp -- the --verbose reports of a run: what each file spec was set
// to do, confirmed against what the new archive holds once the rewrite
// succeeded.  Extraction reports its own entries as it writes them.
#include "driver/driver.h"

#include <string>
#include <vector>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "base/activity.h"
#include "driver/state.h"

namespace {

enum Planned { PLAN_ADDED, PLAN_REPLACED, PLAN_RESTORED, PLAN_DELETED, PLAN_SKIPPED };

struct PlannedReport {
  Planned what;
  std::string name;    // as the new archive (or the old one) names it
  std::string detail;  // for PLAN_SKIPPED
};

std::vector<PlannedReport> g_plan;

bool opens(const EntryRecord& e, const FileSpec& s) {
  return e.key_hash == 0 || e.key_hash == s.match_key;
}

const EntryRecord& loaded_at(int i) { return *g_state.loaded.records[static_cast<size_t>(i)]; }

bool is_option_word(const std::string& arg) {
  return !arg.empty() && (arg[0] == '-' || arg[0] == '+');
}

// A command-line name that no file spec came from: nothing stored matched it
// (only names outside add mode can vanish so; a file to add always becomes a
// spec, and a missing one fails the run).
bool selected_something(const std::string& name) {
  if (file_spec_find(name.c_str()) >= 0) return true;
  for (const auto& spec : g_state.specs.specs)
    if (wild_match_nocase(name.c_str(), spec->name.c_str())) return true;
  return false;
}

void plan_spec_effects() {
  const EntryTable& loaded = g_state.loaded;
  const FileSpecList& specs = g_state.specs;
  // Files that replace entries or are added.
  for (int j = 0; j < specs.count(); ++j) {
    const FileSpec& s = *specs.specs[static_cast<size_t>(j)];
    if (!(s.flags & SPEC_ADD) || (s.flags & (SPEC_MODIFY | SPEC_EXTRACT | SPEC_HANDLED))) continue;
    const std::string stored = (s.flags & SPEC_KEEP_PATH) ? s.name : bare_name(s.name);
    const int b = (s.flags & SPEC_KEEP_PATH) ? entry_table_find(loaded, s.name.c_str())
                                             : entry_table_find_bare(loaded, s.name.c_str());
    const int r = entry_table_find(loaded, s.name.c_str());
    if ((b >= 0 && !opens(loaded_at(b), s)) || (r >= 0 && !opens(loaded_at(r), s))) {
      g_plan.push_back({PLAN_SKIPPED, s.name, "key does not match the stored entry"});
      continue;
    }
    const bool replaces = entry_table_find(loaded, stored.c_str()) >= 0;
    g_plan.push_back({replaces ? PLAN_REPLACED : PLAN_ADDED, stored, ""});
    // The entry found by its bare name goes too when it is stored under
    // another name.
    if (b >= 0 && ascii_lower(loaded_at(b).name) != ascii_lower(stored))
      g_plan.push_back({PLAN_DELETED, loaded_at(b).name, ""});
  }
  // Entries that their own spec deletes or re-stores.
  for (int i = 0; i < loaded.count(); ++i) {
    const EntryRecord& e = loaded_at(i);
    const int j = file_spec_find(e.name.c_str());
    if (j < 0) continue;
    const FileSpec& s = *specs.specs[static_cast<size_t>(j)];
    if ((s.flags & SPEC_ADD) && !(s.flags & SPEC_MODIFY)) continue;  // a file replaces it: above
    if (s.flags & SPEC_EXTRACT) continue;  // extraction reports its own
    if (!opens(e, s)) {
      g_plan.push_back({PLAN_SKIPPED, e.name, "key does not match"});
    } else {
      g_plan.push_back({(s.flags & SPEC_DELETE) ? PLAN_DELETED : PLAN_RESTORED, e.name, ""});
    }
  }
}

}  // namespace

void plan_rewrite_reports() {
  g_plan.clear();
  if (!activity_reports_enabled()) return;
  for (const std::string& arg : g_state.args)
    if (!is_option_word(arg) && !selected_something(arg))
      activity_report("skipped", arg, "matched nothing");
  if (!g_state.run.read_only_run || !g_state.settings.stub_path.empty()) plan_spec_effects();
}

void confirm_rewrite_reports() {
  if (!activity_reports_enabled()) return;
  for (const PlannedReport& p : g_plan) {
    const bool present = entry_table_find(g_state.output, p.name.c_str()) >= 0;
    switch (p.what) {
      case PLAN_ADDED:
        if (present) activity_report("added", p.name);
        break;
      case PLAN_REPLACED:
        if (present) activity_report("replaced", p.name);
        break;
      case PLAN_RESTORED:
        if (present) activity_report("re-stored", p.name);
        break;
      case PLAN_DELETED:
        if (!present) activity_report("deleted", p.name);
        break;
      case PLAN_SKIPPED:
        activity_report("skipped", p.name, p.detail);
        break;
    }
  }
  g_plan.clear();
}
