// The entry tables, their name indexes, the file-spec list and key checks.
#include <string>

#include "support/container_fixture.h"

namespace {

class Table : public ct::ContainerTest {};

TEST_F(Table, CutNamesAndRefuseDuplicatesWithoutCase) {
  EntryTable& t = g_archive.output;
  ASSERT_EQ(entry_table_add(t, "a\\b/c.txt", 1, 2, 3, 0x07, 0), 0);
  EXPECT_EQ(t.records[0]->name, "c.txt");
  EXPECT_EQ(entry_table_add(t, "X/Y\\C.TXT", 9, 9, 9, 0, 0), -1);
  EXPECT_EQ(t.count(), 1);
  EXPECT_EQ(t.records[0]->offset, 1u);

  // Kept whole with keep_name 1; a plain name is the same either way.
  ASSERT_EQ(entry_table_add(t, "dir\\sub/c.txt", 0, 0, 0, 0, 1), 0);
  EXPECT_EQ(t.records[1]->name, "dir\\sub/c.txt");
  ASSERT_EQ(entry_table_add(t, "plain", 0, 0, 0, 0, 0), 0);
  EXPECT_EQ(t.records[2]->name, "plain");
  EXPECT_EQ(entry_table_add(t, "PLAIN", 0, 0, 0, 0, 1), -1);
  ASSERT_EQ(entry_table_add(t, "trailing/", 0, 0, 0, 0, 0), 0);  // cut to the empty name
  EXPECT_EQ(t.records[3]->name, "");
  EXPECT_EQ(entry_table_add(t, "other\\", 0, 0, 0, 0, 0), -1);

  // A name longer than any work buffer is cut and stored whole.
  std::string long_path = std::string(300, 'p') + "/" + std::string(280, 'q');
  ASSERT_EQ(entry_table_add(t, long_path.c_str(), 0, 0, 0, 0, 0), 0);
  EXPECT_EQ(t.records[4]->name, std::string(280, 'q'));
}

TEST_F(Table, SeparatorsAreEqualInLookupsButBothSpellingsMayBeStored) {
  EntryTable& t = g_archive.output;
  ASSERT_EQ(entry_table_add(t, "d/a.txt", 0, 0, 0, 0, 1), 0);
  EXPECT_EQ(entry_table_find(t, "D\\A.TXT"), 0);
  // An archive written before separators compared equal may hold both.
  ASSERT_EQ(entry_table_add(t, "d\\a.txt", 0, 0, 0, 0, 1), 0);
  EXPECT_EQ(entry_table_add(t, "D\\a.txt", 0, 0, 0, 0, 1), -1);
  // The spelling asked for comes first, else the first in table order.
  EXPECT_EQ(entry_table_find(t, "d\\a.txt"), 1);
  EXPECT_EQ(entry_table_find(t, "d/a.txt"), 0);
  ASSERT_EQ(entry_table_add(t, "x\\y/z", 0, 0, 0, 0, 1), 0);
  EXPECT_EQ(entry_table_find(t, "x/y\\z"), 2);
  // Removing the first spelling leaves the later one in its place.
  ASSERT_EQ(entry_table_add(t, "D/A.TXT2", 0, 0, 0, 0, 1), 0);
  ASSERT_EQ(entry_table_remove(t, 0), 0);
  EXPECT_EQ(entry_table_find(t, "d/a.txt"), 0);
  EXPECT_EQ(entry_table_find(t, "x/y/z"), 1);
  EXPECT_EQ(entry_table_find(t, "d\\a.txt2"), 2);
  EXPECT_EQ(entry_table_add(t, "d\\A.txt", 0, 0, 0, 0, 1), -1);
  ASSERT_EQ(entry_table_add(t, "d/a.txt", 0, 0, 0, 0, 1), 0);
  EXPECT_EQ(entry_table_find(t, "d/a.txt"), 3);
  EXPECT_EQ(entry_table_find(t, "d\\a.txt"), 0);
  // Emptied from the end, as the exit routine does.
  while (t.count() > 0) ASSERT_EQ(entry_table_remove(t, t.count() - 1), 0);
  EXPECT_TRUE(t.by_name.empty());
  EXPECT_TRUE(t.by_bare_name.empty());
}

TEST(NameRules, ClimbingComponentsAndStoredNames) {
  for (const char* n : {"..", "../a", "a/..", "a\\..\\b", "a/.. /b", "...", ". .", "x/ ..  /y"})
    EXPECT_TRUE(name_climbs_out(n)) << n;
  for (const char* n : {"a", ".", "./a", ".a", "a..b", "..a", "a/.b./c", "", "/", "a//b"})
    EXPECT_FALSE(name_climbs_out(n)) << n;
  EXPECT_TRUE(component_climbs_out(".. "));
  EXPECT_FALSE(component_climbs_out("a.."));
  EXPECT_EQ(stored_name("d/e\\f.txt", false), "f.txt");
  EXPECT_EQ(stored_name("d/e\\f.txt", true), "d/e\\f.txt");
  EXPECT_TRUE(same_name("Dir\\A.txt", "dir/a.TXT"));
  EXPECT_FALSE(same_name("dir/a.txt", "dir/a.txt2"));
  EXPECT_EQ(name_key("A\\b/C"), "a/b/c");
}

TEST_F(Table, RecordFieldsAndFlagWord) {
  EntryTable& t = g_archive.output;
  ASSERT_EQ(entry_table_add(t, "f", 0x11111111u, 0x22222222u, 0x33333333u, 0xFF, 1), 0);
  const EntryRecord& r = *t.records[0];
  EXPECT_EQ(r.offset, 0x11111111u);
  EXPECT_EQ(r.size, 0x22222222u);
  EXPECT_EQ(r.key_hash, 0x33333333u);
  EXPECT_EQ(r.flags, 0x01EF);
  EXPECT_EQ(r.loaded_flags, 0x01EF);
  EXPECT_EQ(r.content_crc, 0u);
}

TEST_F(Table, RemoveKeepsOrderAndIndexes) {
  EntryTable& t = g_archive.output;
  EXPECT_EQ(entry_table_remove(t, 0), -1);
  const char* names[] = {"A/x.txt", "b.TXT", "C\\x.txt", "d"};
  for (const char* n : names) ASSERT_EQ(entry_table_add(t, n, 0, 0, 0, 0, 1), 0);
  EXPECT_EQ(entry_table_find(t, "B.txt"), 1);
  EXPECT_EQ(entry_table_find(t, "x.txt"), -1);
  EXPECT_EQ(entry_table_find_bare(t, "X.TXT"), 0);
  EXPECT_EQ(entry_table_remove(t, 4), -1);
  EXPECT_EQ(entry_table_remove(t, -1), -1);

  ASSERT_EQ(entry_table_remove(t, 0), 0);  // from the front
  ASSERT_EQ(t.count(), 3);
  EXPECT_EQ(t.records[0]->name, "b.TXT");
  EXPECT_EQ(t.records[1]->name, "C\\x.txt");
  EXPECT_EQ(entry_table_find(t, "a/x.txt"), -1);
  EXPECT_EQ(entry_table_find(t, "D"), 2);
  EXPECT_EQ(entry_table_find_bare(t, "x.txt"), 1);
  // The removed name may come back.
  ASSERT_EQ(entry_table_add(t, "a/X.txt", 0, 0, 0, 0, 1), 0);
  EXPECT_EQ(entry_table_find(t, "A/X.TXT"), 3);
  EXPECT_EQ(entry_table_find_bare(t, "x.txt"), 1);

  // Emptied from the end, as the exit routine does.
  while (t.count() > 0) ASSERT_EQ(entry_table_remove(t, t.count() - 1), 0);
  EXPECT_TRUE(t.by_name.empty());
  EXPECT_TRUE(t.by_bare_name.empty());
  EXPECT_EQ(entry_table_remove(t, 0), -1);
}

TEST_F(Table, FileSpecListFindAndRemove) {
  int a = ct::add_spec("x.txt", 0, 0, 0, SPEC_EXTRACT);
  int b = ct::add_spec("X.TXT", 0, 0, 0, SPEC_ADD);
  int c = ct::add_spec("y", 0, 0, 0, SPEC_ADD | SPEC_HANDLED);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(c, 2);
  EXPECT_EQ(file_spec_append(nullptr), -1);
  EXPECT_EQ(file_spec_find("x.TXT"), 0);
  EXPECT_EQ(file_spec_find("x.txt", 0, SPEC_EXTRACT), 1);
  EXPECT_EQ(file_spec_find("Y", SPEC_ADD, SPEC_HANDLED), -1);
  EXPECT_EQ(file_spec_find("y", SPEC_HANDLED), 2);
  EXPECT_EQ(file_spec_find("z"), -1);

  FileSpec stranger;
  stranger.name = "x.txt";
  file_spec_remove(&stranger);  // not in the list: nothing happens
  EXPECT_EQ(g_archive.specs.count(), 3);

  file_spec_remove(g_archive.specs.specs[0].get());
  ASSERT_EQ(g_archive.specs.count(), 2);
  EXPECT_EQ(g_archive.specs.specs[0]->name, "X.TXT");
  EXPECT_EQ(file_spec_find("x.txt"), 0);
  EXPECT_EQ(file_spec_find("y"), 1);

  // A spec renamed after it was appended is still found by identity.
  g_archive.specs.specs[1]->name = "renamed";
  file_spec_remove(g_archive.specs.specs[1].get());
  EXPECT_EQ(g_archive.specs.count(), 1);
  file_spec_remove(g_archive.specs.specs[0].get());
  EXPECT_EQ(g_archive.specs.count(), 0);
  EXPECT_TRUE(g_archive.specs.by_name.empty());
}

TEST_F(Table, KeyCheck) {
  const uint32_t K = key_hash_of("old"), N = key_hash_of("new"), W = key_hash_of("wrong");
  ASSERT_EQ(entry_table_add(g_archive.loaded, "free", 0, 0, 0, 0x07, 1), 0);
  ASSERT_EQ(entry_table_add(g_archive.loaded, "keyed", 0, 0, K, 0x07, 1), 0);
  ASSERT_EQ(entry_table_add(g_archive.loaded, "other", 0, 0, K, 0x07, 1), 0);
  int none = ct::add_spec("a");
  int wrong = ct::add_spec("b", W);
  int right = ct::add_spec("c", K);

  // An entry without a key passes under any spec; a keyed one only under its key.
  EXPECT_EQ(key_check(0, none), 1);
  EXPECT_EQ(key_check(0, wrong), 1);
  EXPECT_EQ(key_check(1, none), 0);
  EXPECT_EQ(key_check(1, wrong), 0);
  EXPECT_EQ(key_check(1, right), 1);
  EXPECT_EQ(g_archive.loaded.records[1]->key_hash, K);  // no set-key flag: unchanged
  EXPECT_EQ(key_check(5, none), 0);
  EXPECT_EQ(key_check(0, 9), 0);

  // With the set-key flag the entry takes the new key and the spec then
  // matches that key, so a later entry keyed K no longer passes.
  int rekey = ct::add_spec("d", K, N, 1);
  EXPECT_EQ(key_check(1, rekey), 1);
  EXPECT_EQ(g_archive.loaded.records[1]->key_hash, N);
  EXPECT_EQ(g_archive.specs.specs[static_cast<size_t>(rekey)]->match_key, N);
  EXPECT_EQ(key_check(1, rekey), 1);
  EXPECT_EQ(key_check(2, rekey), 0);
  EXPECT_EQ(g_archive.loaded.records[2]->key_hash, K);
  // A refused entry keeps its key even under a set-key spec.
  int rekey_wrong = ct::add_spec("e", W, N, 1);
  EXPECT_EQ(key_check(2, rekey_wrong), 0);
  EXPECT_EQ(g_archive.loaded.records[2]->key_hash, K);
  // Removing a key: new key 0 applied to an entry without a key leaves it free.
  int clear = ct::add_spec("f", N, 0, 1);
  EXPECT_EQ(key_check(1, clear), 1);
  EXPECT_EQ(g_archive.loaded.records[1]->key_hash, 0u);
}

}  // namespace
