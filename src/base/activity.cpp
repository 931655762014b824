// activity.cpp -- per-entry reports and progress counters.
#include "base/activity.h"

#include <chrono>

namespace {

int g_reports_on = 0;
std::vector<ActivityReport> g_reports;

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

struct Progress {
  ProgressSink sink;
  ProgressState state;
  Clock::time_point start{};
  Clock::time_point last_draw{};
  int drawn = 0;    // the line is on the screen
  int running = 0;  // between progress_begin and progress_end
};
Progress g_progress;

// The first draw comes at once; later ones at most every kRedrawInterval.
void draw_if_due() {
  Progress& p = g_progress;
  if (!p.running || p.sink.draw == nullptr) return;
  const Clock::time_point now = Clock::now();
  if (p.drawn && now - p.last_draw < kRedrawInterval) return;
  p.last_draw = now;
  p.state.seconds = std::chrono::duration<double>(now - p.start).count();
  if (p.state.total < p.state.done) p.state.total = p.state.done;
  p.sink.draw(p.state);
  p.drawn = 1;
}

}  // namespace

void activity_enable_reports(int on) {
  g_reports_on = on ? 1 : 0;
  g_reports.clear();
}

int activity_reports_enabled() { return g_reports_on; }

void activity_report(const char* verb, const std::string& name, const std::string& detail,
                     int durable) {
  if (!g_reports_on) return;
  ActivityReport r;
  r.verb = verb ? verb : "";
  r.name = name;
  r.detail = detail;
  r.durable = durable;
  g_reports.push_back(std::move(r));
}

const std::vector<ActivityReport>& activity_reports() { return g_reports; }

std::string activity_line(const ActivityReport& r) {
  std::string line = r.verb + " \"" + r.name + "\"";
  if (!r.detail.empty()) line += ": " + r.detail;
  return line;
}

void progress_set_sink(const ProgressSink& sink) { g_progress.sink = sink; }

void progress_begin(int64_t total) {
  ProgressSink sink = g_progress.sink;
  g_progress = Progress();
  g_progress.sink = sink;
  g_progress.state.total = total > 0 ? total : 0;
  g_progress.start = Clock::now();
  g_progress.running = 1;
}

void progress_add_total(int64_t bytes) {
  if (bytes > 0) g_progress.state.total += bytes;
}

void progress_entry(const std::string& name) {
  if (!g_progress.running || g_progress.sink.draw == nullptr) return;  // nobody watching
  g_progress.state.entry = name;
  draw_if_due();
}

void progress_bytes(int64_t n) {
  if (!g_progress.running || n <= 0) return;
  g_progress.state.done += n;
  draw_if_due();
}

void progress_hide() {
  if (g_progress.drawn && g_progress.sink.hide != nullptr) g_progress.sink.hide();
  g_progress.drawn = 0;
}

void progress_end() {
  progress_hide();
  g_progress.running = 0;
  g_progress.state = ProgressState();
}

ProgressState progress_state() { return g_progress.state; }
