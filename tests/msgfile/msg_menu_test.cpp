// Menu sets: set_menu, del_menu with renumbering, ren_menu.
#include "msg_test_util.h"

using mt::entry;
using mt::MsgTest;
using mt::table;

namespace {

// 14 text units: a three-digit escape, "\t", then twelve plain bytes.
const std::string kPrefix = "\\001\\tPPPPPPPPPPPP";

// A menu item laid out on one line (no continuation after the separator).
std::string item(const std::string& label, const std::string& name, const std::string& rest = "r") {
  return "\"" + label + "\\0" + kPrefix + name + "\\0" + rest + "\",\r\n";
}

std::vector<std::string> menu(const std::string& set, int first, int count, int name_base) {
  std::vector<std::string> v;
  for (int i = 0; i < count; ++i)
    v.push_back(item(set + std::to_string(first + i), "Item" + std::to_string(name_base + i)));
  return v;
}

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST_F(MsgTest, DeletingItemZeroRenumbersTwelveItems) {
  const std::string other = entry("other", "stays");
  set_text(table(join(join({other}, menu("file", 0, 12, 0)), {entry("file", "no number")})));
  std::string out;
  ASSERT_EQ(run_script("\"del_menu:file,Item0\"", &out), 0);
  EXPECT_EQ(out, "");
  // Items 1..11 are now 0..10; item 10 became item 9, its label one byte shorter.
  EXPECT_EQ(text(),
            table(join(join({other}, menu("file", 0, 11, 1)), {entry("file", "no number")})));
}

TEST_F(MsgTest, MenuLabelsMatchInAnyCaseAndAreWrittenAsCommanded) {
  set_text(table({item("MENU0", "Open"), item("MENU1", "Close")}));
  std::string out;
  ASSERT_EQ(run_script("\"del_menu:menu,Open\"", &out), 0);
  EXPECT_EQ(text(), table({item("menu0", "Close")}));
  // Item names compare with letter case.
  ASSERT_EQ(run_script("\"del_menu:menu,close\"", &out), 0);
  EXPECT_EQ(text(), table({item("menu0", "Close")}));
}

TEST_F(MsgTest, SetMenuReplacesBodyOrAppendsAfterLastContiguousItem) {
  // Items 0, 1, 2 and a stray 4: the set ends at 3.
  set_text(table({item("s0", "A"), item("s1", "B"), item("s2", "C"), item("s4", "E")}));
  std::string out;
  ASSERT_EQ(run_script("\"set_menu:s," + kPrefix + "B\\0new rest\"", &out), 0);
  EXPECT_EQ(text(), table({item("s0", "A"), item("s1", "B", "new rest"), item("s2", "C"),
                           item("s4", "E")}));
  ASSERT_EQ(run_script("\"set_menu:S," + kPrefix + "D\\0dee\"", &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(text(), "static char *msgs[] = {\r\n" + item("s0", "A") + item("s1", "B", "new rest") +
                        item("s2", "C") + item("s4", "E") + "\r\n" +
                        entry("S3", kPrefix + "D\\0dee") + "\r\n(char*)0\r\n\r\n};\r\n");
}

TEST_F(MsgTest, SetMenuWithoutItemNameDoesNothing) {
  const std::string t = table({item("s0", "A")});
  for (const std::string& content :
       {kPrefix + "\\0empty name", kPrefix + "no separator", std::string("short\\0x")}) {
    set_text(t);
    std::string out;
    ASSERT_EQ(run_script("\"set_menu:s," + content + "\"", &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(text(), t) << content;
  }
}

TEST_F(MsgTest, AppendedItemIsReadOneUnitEarlierUntilOptimized) {
  set_text(table({}));
  std::string out;
  const std::string content = "ABCDEFGHIJKLMNName\\0rest";
  ASSERT_EQ(run_script("\"set_menu:s," + content + "\",\"del_menu:s,Name\"", &out), 0);
  EXPECT_NE(find_message("s0"), MSG_NONE);  // the continuation is its first unit
  ASSERT_EQ(run_script("\"optimize\",\"del_menu:s,Name\"", &out), 0);
  EXPECT_EQ(find_message("s0"), MSG_NONE);
}

TEST_F(MsgTest, RenameMenuItem) {
  set_text(table(menu("f", 0, 12, 0)));
  std::string out;
  ASSERT_EQ(run_script("\"ren_menu:f,Item11,Renamed, with comma\"", &out), 0);
  EXPECT_EQ(out, "anme changed\n");
  std::vector<std::string> want = menu("f", 0, 11, 0);
  want.push_back(item("f11", "Renamed, with comma"));
  EXPECT_EQ(text(), table(want));
  ASSERT_EQ(run_script("\"ren_menu:f,Nothing,X\",\"ren_menu:g,Nothing,X\"", &out), 0);
  EXPECT_EQ(out, "fail 2 (num=12)\nfail 2 (num=0)\n");
  EXPECT_EQ(text(), table(want));
}

TEST_F(MsgTest, LongMenuLabelsAndItemNamesWork) {
  const std::string set(80, 'w');
  const std::string name(120, 'n');
  set_text(table({}));
  std::string out;
  ASSERT_EQ(run_script("\"set_menu:" + set + "," + kPrefix + name + "\\0x\"", &out), 0);
  ASSERT_EQ(run_script("\"optimize\",\"ren_menu:" + set + "," + name + ",short\"", &out), 0);
  EXPECT_EQ(out, "anme changed\n");
  EXPECT_NE(text().find("\"" + set + "0\\0" + kPrefix + "short\\0x\""), std::string::npos) << text();
}
