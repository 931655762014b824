// bench_menu -- a change script of N set_menu commands (each adding an item
// to one set) against the baseline of N set commands, on the same table, for
// each N given (default 2500 and 10000).  Prints both times and their ratio;
// a ratio that stays put as N grows shows the menu commands scale as the
// others do.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>


#include "msgfile/msg_internal.h"

namespace {

double now_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double run(const std::string& script) {
  free_message_buffers();
  g_msg.text = "static char *msgs[] = {\r\n\"one\\0first\",\r\n(char*)0\r\n};\r\n";
  g_msg.script = script;
  g_msg.script_path = "bench";
  const double t0 = now_ms();
  if (apply_change_script() != 0) std::printf("script failed\n");
  const double t = now_ms() - t0;
  free_message_buffers();
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  int sizes[8] = {2500, 10000};
  int count = 2;
  if (argc > 1) {
    count = 0;
    for (int i = 1; i < argc && count < 8; ++i) sizes[count++] = std::atoi(argv[i]);
  }
  std::printf("%10s %14s %14s %8s\n", "commands", "set (ms)", "set_menu (ms)", "ratio");
  for (int k = 0; k < count; ++k) {
    std::string sets, menus;
    for (int i = 0; i < sizes[k]; ++i) {
      sets += "\"set:label" + std::to_string(i) + "\\0body\"\r\n";
      menus += "\"set_menu:set,abcdefghijklmnitem" + std::to_string(i) + "\\0body\"\r\n";
    }
    const double base = run(sets);
    const double menu = run(menus);
    std::printf("%10d %14.1f %14.1f %8.2f\n", sizes[k], base, menu, base > 0 ? menu / base : 0.0);
  }
  return 0;
}
