// set_menu runs: a script of many set_menu commands gives the same text as
// running its commands one at a time from a cold state (where each command
// walks the items from set0), whatever the other commands do in between,
// including gaps in the numbering and names that run past their literal.
#include <random>
#include <string>
#include <vector>

#include "msg_test_util.h"

namespace {

class MenuCache : public mt::MsgTest {
 protected:
  // Runs the commands one script at a time, the state rebuilt before each.
  std::string one_at_a_time(const std::string& start, const std::vector<std::string>& cmds) {
    std::string t = start, out;
    for (const std::string& c : cmds) {
      free_message_buffers();
      set_text(t);
      run_script(c + "\r\n", &out);
      t = text();
    }
    free_message_buffers();
    return t;
  }
  std::string all_at_once(const std::string& start, const std::vector<std::string>& cmds) {
    std::string script, out;
    for (const std::string& c : cmds) script += c + "\r\n";
    free_message_buffers();
    set_text(start);
    run_script(script, &out);
    std::string t = text();
    free_message_buffers();
    return t;
  }
};

TEST_F(MenuCache, ScriptAgreesWithColdStartsCommandByCommand) {
  const std::vector<std::string> sets = {"set", "Set", "se", "set1", "x"};
  const std::vector<std::string> names = {"a", "b", "item", "ab", "x\\\\y"};
  const std::vector<std::string> prefixes = {"abcdefghijklmn", "abcdefghijkl\\\\n",
                                             "\\\\123abcdefghijklm", "short"};
  const std::vector<std::string> tails = {"", "body", "b\\\\0c", "x\\\\"};
  std::mt19937 rng(11);
  auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> entries;
    for (int i = 0, n = static_cast<int>(rng() % 6); i < n; ++i)
      entries.push_back("\"" + pick(sets) + std::to_string(rng() % 5) + "\\0" + pick(prefixes) +
                        pick(names) + "\\0v\",\r\n");
    std::string start = mt::table(entries);
    if (rng() % 4 == 0) start.insert(start.find("(char*)0"), "\"x2\\0abcdefghijklmnopen\",\r\n");
    std::vector<std::string> cmds;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 40); i < n; ++i) {
      const unsigned k = rng() % 10;
      const std::string set = pick(sets);
      if (k < 6) {
        cmds.push_back("\"set_menu:" + set + "," + pick(prefixes) + pick(names) + "\\0" +
                       pick(tails) + "\"");
      } else if (k == 6) {
        cmds.push_back("\"set:" + set + std::to_string(rng() % 5) + "\\0v\"");
      } else if (k == 7) {
        cmds.push_back("\"del:" + set + std::to_string(rng() % 5) + "\"");
      } else if (k == 8) {
        cmds.push_back("\"del_menu:" + set + "," + pick(names) + "\"");
      } else {
        cmds.push_back("\"ren_menu:" + set + "," + pick(names) + "," + pick(names) + "\"");
      }
    }
    // A failing command ends the script; compare only scripts that run whole.
    std::string out;
    free_message_buffers();
    set_text(start);
    std::string script;
    for (const std::string& c : cmds) script += c + "\r\n";
    if (run_script(script, &out) != 0) continue;
    ASSERT_EQ(all_at_once(start, cmds), one_at_a_time(start, cmds)) << "round " << round;
  }
}

TEST_F(MenuCache, ItemsAfterAGapCountOnceTheGapCloses) {
  set_text(mt::table({mt::entry("m1", "abcdefghijklmone\\0a"), mt::entry("m3", "abcdefghijklmthree\\0b")}));
  std::string out;
  ASSERT_EQ(run_script("\"set_menu:m,abcdefghijklmnzero\\0c\"\r\n"      // fills m0
                       "\"set_menu:m,abcdefghijklmnnew\\0d\"\r\n",       // m2: m1 is there
                       &out), 0);
  EXPECT_NE(find_message("m2"), MSG_NONE);
  EXPECT_EQ(find_message("m4"), MSG_NONE);
}

}  // namespace
