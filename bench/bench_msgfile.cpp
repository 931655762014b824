// bench_msgfile -- the message-file tool on a large table: 10,000 entries
// (about 1 MB) edited by a change script of 1,000 set/del/ren commands and an
// optimize.  Prints the time of each step and of lookups with and without the
// index.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>


#include "msgfile/msg_internal.h"
#include "platform/platform.h"

namespace {

double now_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void write(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const int entries = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int commands = argc > 2 ? std::atoi(argv[2]) : 1000;
  char dir[] = "/tmp/vorn-bench-msg-XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) return 1;

  std::mt19937 rng(7);
  std::string text = "/* message table */\r\nstatic char *msgs[] = {\r\n";
  for (int i = 0; i < entries; ++i) {
    text += "  \"msg_" + std::to_string(i) + "\\0\\\r\n";
    text += "Message number " + std::to_string(i) + ": " + std::string(60, 'a' + i % 26) + "\",\r\n";
  }
  text += "\r\n(char*)0\r\n\r\n};\r\n";
  // Every third command renames an entry set just before, so no ren misses.
  std::string script = "// edits\r\n";
  for (int c = 0; c < commands; ++c) {
    const int k = static_cast<int>(rng() % entries);
    switch (c % 3) {
      case 0: script += "\"set:MSG_" + std::to_string(k) + "\\0Replaced text " + std::to_string(c) + "\",\r\n"; break;
      case 1: script += "\"del:msg_" + std::to_string(k) + "\",\r\n"; break;
      default: script += "\"set:new_" + std::to_string(c) + "\\0x\",\"ren:new_" + std::to_string(c) + ",renamed_" + std::to_string(c) + "\",\r\n"; break;
    }
  }
  script += "\"optimize\"\r\n";
  write("msgs.c", text);
  write("mod.txt", script);

  std::printf("message file: %d entries, %zu bytes; change script: %d commands (+ optimize), %zu bytes\n",
              entries, text.size(), commands, script.size());
  double t0 = now_ms();
  if (load_message_file("msgs.c") != 0 || load_change_script("mod.txt") != 0) return 1;
  double t1 = now_ms();
  if (apply_change_script() != 0) return 1;
  double t2 = now_ms();
  if (write_message_file() != 0) return 1;
  double t3 = now_ms();
  std::printf("load %.1f ms, commands %.1f ms, write %.1f ms, total %.1f ms; result %zu bytes\n",
              t1 - t0, t2 - t1, t3 - t2, t3 - t0, g_msg.text.size());
  free_message_buffers();

  // Lookups alone, on the unedited text.
  g_msg.text = text;
  msg_index_invalidate();
  const int lookups = 2000;
  double a = now_ms();
  size_t sink = 0;
  for (int i = 0; i < lookups; ++i) sink += find_message("msg_" + std::to_string(rng() % entries));
  double b = now_ms();
  for (int i = 0; i < lookups / 20; ++i)
    sink += find_message_linear("msg_" + std::to_string(rng() % entries));
  double c = now_ms();
  std::printf("lookup with index: %.3f us each (first one builds it); plain scan: %.1f us each (%zu)\n",
              (b - a) * 1000.0 / lookups, (c - b) * 1000.0 / (lookups / 20), sink % 10);
  free_message_buffers();

  // A menu set as large as the table: removing item 0 renumbers all others.
  std::string menu = "static char *menu[] = {\r\n";
  for (int i = 0; i < entries; ++i)
    menu += "\"m" + std::to_string(i) + "\\0ABCDEFGHIJKLMNItem" + std::to_string(i) + "\\0rest\",\r\n";
  menu += "(char*)0};\r\n";
  g_msg.text = menu;
  msg_index_invalidate();
  g_msg.script = "\"del_menu:m,Item0\",\"set_menu:m,ABCDEFGHIJKLMNNew\\0x\"";
  double d0 = now_ms();
  if (apply_change_script() != 0) return 1;
  double d1 = now_ms();
  const std::string& t = g_msg.text;
  const size_t last = find_message("m" + std::to_string(entries - 2));
  const bool right = last != MSG_NONE && t.compare(last + 17 + std::to_string(entries - 2).size(), 4 + std::to_string(entries - 1).size(), "Item" + std::to_string(entries - 1)) == 0 &&
                     t.find("\"m" + std::to_string(entries - 1) + "\\0\\\r\nABCDEFGHIJKLMNNew") != std::string::npos;
  std::printf("menu of %d items: del_menu of item 0 with renumbering + set_menu appending: %.1f ms (%s)\n",
              entries, d1 - d0, right ? "result checked" : "WRONG RESULT");
  free_message_buffers();

  pf_remove("msgs.c");
  pf_remove("mod.txt");
  rmdir(dir);
  return 0;
}
