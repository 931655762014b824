// platform_common.cpp -- the routines of the platform layer that are the same
// on every system (see platform_common.h).  Built into both copies of the
// layer, for every target; it includes no system header.
#include "platform/platform_common.h"

#include <algorithm>
#include <atomic>
#include <utility>

// ---- fault hooks ---------------------------------------------------------------

#ifdef VORN_FAULT_HOOKS
namespace {
struct FaultState {
  int armed[PF_FAULT_KIND_COUNT] = {0};
  int calls[PF_FAULT_KIND_COUNT] = {0};
};
FaultState g_faults;
}  // namespace

bool pf_common::fault_hit(PfFaultKind kind) {
  int n = ++g_faults.calls[kind];
  if (g_faults.armed[kind] != 0 && n == g_faults.armed[kind]) {
    set_fault_error();
    return true;
  }
  return false;
}

void pf_fault_arm(PfFaultKind kind, int nth) {
  g_faults.armed[kind] = nth;
  g_faults.calls[kind] = 0;
}
void pf_fault_clear() { g_faults = FaultState(); }
int pf_fault_calls(PfFaultKind kind) { return g_faults.calls[kind]; }
#else
void pf_fault_arm(PfFaultKind, int) {}
void pf_fault_clear() {}
int pf_fault_calls(PfFaultKind) { return 0; }
#endif

// ---- enumeration -------------------------------------------------------------------

struct PfFind {
  std::vector<PfFindData> items;
  size_t next = 0;
};

char pf_common::ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

namespace {

// '*' any run (also empty), '?' one character; ASCII letters without case.
bool match_nocase(const char* pat, const char* text) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*text) {
    if (*pat == '*') {
      star = pat++;
      resume = text;
    } else if (*pat == '?' || (*pat && pf_common::ascii_lower(*pat) == pf_common::ascii_lower(*text))) {
      ++pat;
      ++text;
    } else if (star) {
      pat = star + 1;
      text = ++resume;
    } else {
      return false;
    }
  }
  while (*pat == '*') ++pat;
  return *pat == '\0';
}

bool is_dot_entry(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

bool pf_common::name_matches(const std::string& pattern, const char* name) {
  // "*.*" stands for every name, with or without a dot.
  if (pattern == "*.*") return true;
  return match_nocase(pattern.c_str(), name);
}

bool pf_common::split_pattern(const char* pattern, std::string* folder, std::string* last) {
  if (!pattern || !*pattern) return false;
  const std::string p(pattern);
  const size_t cut = p.find_last_of("/\\");
  *folder = cut == std::string::npos ? std::string() : p.substr(0, cut + 1);
  *last = cut == std::string::npos ? p : p.substr(cut + 1);
  return !last->empty();
}

void pf_common::add_found(Found* found, PfFindData item) {
  (is_dot_entry(item.long_name) ? found->dots : found->rest).push_back(std::move(item));
}

PfFind* pf_common::finish_find(Found* found, PfFindData* out) {
  std::vector<PfFindData>& dots = found->dots;
  std::vector<PfFindData>& rest = found->rest;
  if (dots.empty() && rest.empty()) return nullptr;
  std::sort(dots.begin(), dots.end(),
            [](const PfFindData& a, const PfFindData& b) { return a.long_name.size() < b.long_name.size(); });
  // By the lower-cased names (as unsigned bytes, a prefix first), then by
  // the names themselves; compared in place, as a folder of thousands of
  // files takes tens of thousands of comparisons.
  std::sort(rest.begin(), rest.end(), [](const PfFindData& a, const PfFindData& b) {
    const std::string& x = a.long_name;
    const std::string& y = b.long_name;
    const size_t n = x.size() < y.size() ? x.size() : y.size();
    for (size_t i = 0; i < n; ++i) {
      const auto cx = static_cast<unsigned char>(ascii_lower(x[i]));
      const auto cy = static_cast<unsigned char>(ascii_lower(y[i]));
      if (cx != cy) return cx < cy;
    }
    return x.size() != y.size() ? x.size() < y.size() : x < y;
  });
  auto h = new PfFind();
  h->items = std::move(dots);
  for (auto& it : rest) h->items.push_back(std::move(it));
  *out = h->items[0];
  h->next = 1;
  return h;
}

int pf_find_next(PfFind* h, PfFindData* out) {
  if (!h || h->next >= h->items.size()) return 0;
  *out = std::move(h->items[h->next++]);  // each item is handed out once
  return 1;
}

void pf_find_close(PfFind* h) { delete h; }

// ---- interruptions ----------------------------------------------------------------

namespace {
// Lock-free atomics: a handler may run in any thread of the process.
std::atomic<int> g_interrupts_held{0};
std::atomic<int> g_interrupt_pending{0};
}  // namespace

bool pf_common::interrupt_held() {
  if (!g_interrupts_held.load()) return false;
  g_interrupt_pending.store(1);
  if (g_interrupts_held.load()) return true;  // the release will act on it
  // Released between the two looks: the release may have found no request
  // pending.  Whoever takes the flag acts, so exactly one of the two does.
  return !g_interrupt_pending.exchange(0);
}

void pf_hold_interrupts(int on) {
  if (on) {
    g_interrupts_held.store(1);
    return;
  }
  g_interrupts_held.store(0);
  // A request that came while held; one arriving from here on acts itself.
  if (g_interrupt_pending.exchange(0)) pf_common::act_on_held_interrupt();
}

// ---- lines ---------------------------------------------------------------------------

int pf_common::read_line(int (*next_char)(void* source), void* source, std::string* line) {
  line->clear();
  bool any = false;
  for (;;) {
    int c = next_char(source);
    if (c < 0) return any ? 0 : -1;
    any = true;
    if (c == '\n') break;
    line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return 0;
}

int pf_read_stdin_line(std::string* line) {
  return pf_common::read_line([](void*) { return pf_read_stdin_char(); }, nullptr, line);
}
