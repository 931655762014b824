// The entry tables, their name indexes, the file-spec list and key checks.
#include <string>
#include <vector>

#include "support/container_fixture.h"

namespace {

class Table : public ct::ContainerTest {};

TEST_F(Table, CutNamesAndRefuseDuplicatesWithoutCase) {
  EntryTable& t = g_archive.output;
  ASSERT_EQ(entry_table_add(t, "a\\b/c.txt", 1, 2, 3, 0x07, 0), 0);
  EXPECT_STREQ(t.records[0]->name.c_str(), "c.txt");
  EXPECT_EQ(entry_table_add(t, "X/Y\\C.TXT", 9, 9, 9, 0, 0), -1);
  EXPECT_EQ(t.count(), 1);
  EXPECT_EQ(t.records[0]->offset, 1u);

  // Kept whole with keep_name 1; a plain name is the same either way.
  ASSERT_EQ(entry_table_add(t, "dir\\sub/c.txt", 0, 0, 0, 0, 1), 0);
  EXPECT_STREQ(t.records[1]->name.c_str(), "dir\\sub/c.txt");
  ASSERT_EQ(entry_table_add(t, "plain", 0, 0, 0, 0, 0), 0);
  EXPECT_STREQ(t.records[2]->name.c_str(), "plain");
  EXPECT_EQ(entry_table_add(t, "PLAIN", 0, 0, 0, 0, 1), -1);
  ASSERT_EQ(entry_table_add(t, "trailing/", 0, 0, 0, 0, 0), 0);  // cut to the empty name
  EXPECT_STREQ(t.records[3]->name.c_str(), "");
  EXPECT_EQ(entry_table_add(t, "other\\", 0, 0, 0, 0, 0), -1);

  // A name longer than any work buffer is cut and stored whole.
  std::string long_path = std::string(300, 'p') + "/" + std::string(280, 'q');
  ASSERT_EQ(entry_table_add(t, long_path.c_str(), 0, 0, 0, 0, 0), 0);
  EXPECT_EQ(std::string(t.records[4]->name), std::string(280, 'q'));
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
  EXPECT_TRUE(t.by_name.slots.empty());
  EXPECT_TRUE(t.by_bare_name.slots.empty());
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
  EXPECT_STREQ(t.records[0]->name.c_str(), "b.TXT");
  EXPECT_STREQ(t.records[1]->name.c_str(), "C\\x.txt");
  EXPECT_EQ(entry_table_find(t, "a/x.txt"), -1);
  EXPECT_EQ(entry_table_find(t, "D"), 2);
  EXPECT_EQ(entry_table_find_bare(t, "x.txt"), 1);
  // The removed name may come back.
  ASSERT_EQ(entry_table_add(t, "a/X.txt", 0, 0, 0, 0, 1), 0);
  EXPECT_EQ(entry_table_find(t, "A/X.TXT"), 3);
  EXPECT_EQ(entry_table_find_bare(t, "x.txt"), 1);

  // Emptied from the end, as the exit routine does.
  while (t.count() > 0) ASSERT_EQ(entry_table_remove(t, t.count() - 1), 0);
  EXPECT_TRUE(t.by_name.slots.empty());
  EXPECT_TRUE(t.by_bare_name.slots.empty());
  EXPECT_EQ(entry_table_remove(t, 0), -1);
}

// The lookups as the header describes them, by a front-to-back scan.
int scan_find(const std::vector<std::string>& names, const std::string& name) {
  for (size_t i = 0; i < names.size(); ++i)
    if (equal_without_case(names[i], name)) return static_cast<int>(i);
  for (size_t i = 0; i < names.size(); ++i)
    if (same_name(names[i], name)) return static_cast<int>(i);
  return -1;
}

int scan_find_bare(const std::vector<std::string>& names, const std::string& name) {
  for (size_t i = 0; i < names.size(); ++i)
    if (equal_without_case(bare_name(names[i]), name)) return static_cast<int>(i);
  return -1;
}

// Names from a few components in both letter cases joined by either
// separator: many share a bare name, many are the same name by name_key.
struct NameMaker {
  uint32_t state;
  uint32_t next(uint32_t n) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % n;
  }
  std::string make() {
    static const char* const parts[] = {"a", "B", "c.TXT", "dir", "Read Me", "x"};
    std::string name;
    const uint32_t depth = 1 + next(3);
    for (uint32_t d = 0; d < depth; ++d) {
      if (d > 0) name += next(2) ? '/' : '\\';
      std::string part = parts[next(6)];
      for (char& c : part)
        if (next(2)) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : ascii_lower_char(c));
      name += part;
    }
    return name;
  }
};

// Adds and removals at the front, in the middle and at the end, checked
// against a plain list after every step: the order, the refused duplicates
// and every lookup agree with a front-to-back scan, through several growths
// of the indexes and back to empty.
TEST_F(Table, LookupsAgreeWithAScanThroughAddsAndRemovals) {
  EntryTable& t = g_archive.output;
  std::vector<std::string> model;
  NameMaker maker{7};
  std::vector<std::string> queries;
  for (int q = 0; q < 40; ++q) queries.push_back(maker.make());
  queries.push_back("C.TXT");
  queries.push_back("dir/");

  auto check = [&](int step) {
    ASSERT_EQ(t.count(), static_cast<int>(model.size())) << step;
    for (size_t i = 0; i < model.size(); ++i) ASSERT_STREQ(t.records[i]->name.c_str(), model[i].c_str()) << step;
    for (const std::string& q : queries) {
      ASSERT_EQ(entry_table_find(t, q.c_str()), scan_find(model, q)) << step << " " << q;
      ASSERT_EQ(entry_table_find_bare(t, q.c_str()), scan_find_bare(model, q)) << step << " " << q;
      const std::string bare = bare_name(q);
      ASSERT_EQ(entry_table_find_bare(t, bare.c_str()), scan_find_bare(model, bare)) << step << " " << bare;
    }
    for (size_t i = 0; i < model.size(); i += 7)
      ASSERT_EQ(entry_table_find(t, model[i].c_str()), static_cast<int>(i)) << step;
  };

  for (int step = 0; step < 1500; ++step) {
    const uint32_t what = maker.next(10);
    if (what < 6 || model.empty()) {
      const std::string name = maker.make();
      bool present = false;
      for (const std::string& m : model) present = present || equal_without_case(m, name);
      ASSERT_EQ(entry_table_add(t, name.c_str(), 0, 0, 0, 0, 1), present ? -1 : 0) << name;
      if (!present) model.push_back(name);
    } else {
      const uint32_t n = static_cast<uint32_t>(model.size());
      const uint32_t where = what == 6 ? 0 : what == 7 ? n - 1 : maker.next(n);
      ASSERT_EQ(entry_table_remove(t, static_cast<int>(where)), 0);
      model.erase(model.begin() + where);
    }
    if (step % 25 == 0) check(step);
  }
  check(-1);
  // Emptied from the middle outwards: every removal renumbers.
  while (!model.empty()) {
    const size_t mid = model.size() / 2;
    ASSERT_EQ(entry_table_remove(t, static_cast<int>(mid)), 0);
    model.erase(model.begin() + static_cast<long>(mid));
    if (model.size() % 16 == 0) check(-2);
  }
  EXPECT_TRUE(t.by_name.slots.empty());
  EXPECT_TRUE(t.by_bare_name.slots.empty());
}

// Small tables, where probe runs wrap around the end of the slots: filled
// and emptied in random orders many times over.
TEST_F(Table, SmallTablesFilledAndEmptiedInAnyOrder) {
  EntryTable& t = g_archive.output;
  NameMaker maker{3};
  std::vector<std::string> model;
  for (int round = 0; round < 400; ++round) {
    const uint32_t fill = 4 + maker.next(10);
    for (uint32_t k = 0; k < 40 && model.size() < fill; ++k) {
      const std::string name = maker.make() + std::to_string(maker.next(5));
      bool present = false;
      for (const std::string& m : model) present = present || equal_without_case(m, name);
      ASSERT_EQ(entry_table_add(t, name.c_str(), 0, 0, 0, 0, 1), present ? -1 : 0) << name;
      if (!present) model.push_back(name);
    }
    while (!model.empty()) {
      const uint32_t where = maker.next(static_cast<uint32_t>(model.size()));
      ASSERT_EQ(entry_table_remove(t, static_cast<int>(where)), 0);
      model.erase(model.begin() + where);
      for (size_t i = 0; i < model.size(); ++i) {
        ASSERT_EQ(entry_table_find(t, model[i].c_str()), static_cast<int>(i)) << round;
        const std::string bare = bare_name(model[i]);
        ASSERT_EQ(entry_table_find_bare(t, bare.c_str()), scan_find_bare(model, bare)) << round;
      }
    }
  }
}

// Thousands of records with one bare name and separator spellings of one
// name: the first of each stays the answer as its predecessors go.
TEST_F(Table, LongChainsOfOneKey) {
  EntryTable& t = g_archive.output;
  const int n = 3000;
  for (int i = 0; i < n; ++i) {
    const std::string name = "d" + std::to_string(i) + ((i & 1) ? "\\Index.HTML" : "/index.html");
    ASSERT_EQ(entry_table_add(t, name.c_str(), static_cast<uint32_t>(i), 0, 0, 0, 1), 0);
  }
  ASSERT_EQ(entry_table_add(t, "p/q/r", 0, 0, 0, 0, 1), 0);
  ASSERT_EQ(entry_table_add(t, "p\\q/r", 0, 0, 0, 0, 1), 0);
  ASSERT_EQ(entry_table_add(t, "p\\q\\r", 0, 0, 0, 0, 1), 0);
  EXPECT_EQ(entry_table_add(t, "P\\Q\\R", 0, 0, 0, 0, 1), -1);
  EXPECT_EQ(entry_table_find_bare(t, "INDEX.html"), 0);
  EXPECT_EQ(entry_table_find(t, "p/q\\r"), n);  // no such spelling: the first
  EXPECT_EQ(entry_table_find(t, "P\\Q\\R"), n + 2);

  // The front half goes, one at a time from the front.
  for (int i = 0; i < n / 2; ++i) {
    ASSERT_EQ(entry_table_remove(t, 0), 0);
    ASSERT_EQ(entry_table_find_bare(t, "index.html"), 0);
    ASSERT_EQ(t.records[0]->offset, static_cast<uint32_t>(i + 1));
  }
  EXPECT_EQ(entry_table_find(t, "D2999\\INDEX.html"), n / 2 - 1);
  ASSERT_EQ(entry_table_remove(t, n / 2), 0);  // "p/q/r"
  EXPECT_EQ(entry_table_find(t, "p/q/r"), n / 2);  // now "p\q/r"
  EXPECT_EQ(entry_table_find(t, "p\\q\\r"), n / 2 + 1);
  // The rest from the end, as the exit routine empties tables.
  while (t.count() > 0) {
    const int last = t.count() - 1;
    ASSERT_EQ(entry_table_remove(t, last), 0);
    if (t.count() > 0) {
      ASSERT_EQ(entry_table_find_bare(t, "index.html"), 0);
    }
  }
  EXPECT_EQ(entry_table_find_bare(t, "index.html"), -1);
}

// A path of seven separators has 128 spellings; a table keeps at most
// MAX_SPELLINGS of one path, so a directory of them cannot make adding
// quadratic.  Other names are unaffected and the refusal changes nothing.
TEST_F(Table, SpellingsOfOnePathAreCapped) {
  EntryTable& t = g_archive.output;
  auto spelling = [](unsigned bits) {
    std::string s = "a";
    for (int k = 0; k < 7; ++k) s += ((bits >> k) & 1) ? "\\a" : "/a";
    return s;
  };
  for (unsigned b = 0; b < MAX_SPELLINGS; ++b)
    ASSERT_EQ(entry_table_add(t, spelling(b).c_str(), b, 0, 0, 0, 1), 0) << b;
  EXPECT_EQ(entry_table_add(t, spelling(MAX_SPELLINGS).c_str(), 0, 0, 0, 0, 1), -1);
  EXPECT_EQ(t.count(), static_cast<int>(MAX_SPELLINGS));
  EXPECT_EQ(entry_table_find(t, spelling(MAX_SPELLINGS).c_str()), 0);
  EXPECT_EQ(entry_table_find(t, spelling(5).c_str()), 5);
  ASSERT_EQ(entry_table_add(t, "a/a/a", 0, 0, 0, 0, 1), 0);
  // One spelling gone, another may come.
  ASSERT_EQ(entry_table_remove(t, 3), 0);
  EXPECT_EQ(entry_table_add(t, spelling(MAX_SPELLINGS + 1).c_str(), 0, 0, 0, 0, 1), 0);
  while (t.count() > 0) ASSERT_EQ(entry_table_remove(t, t.count() - 1), 0);
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
  EXPECT_TRUE(g_archive.specs.by_name.slots.empty());
}

// The spec list against a scan: the first spec of the name with the flags
// asked for, through appends and removals by identity anywhere in the list.
TEST_F(Table, SpecLookupsAgreeWithAScan) {
  NameMaker maker{11};
  const uint16_t flag_set[] = {SPEC_ADD, SPEC_EXTRACT, SPEC_ADD | SPEC_HANDLED, SPEC_DELETE};
  auto scan = [](const std::string& name, uint16_t need, uint16_t refuse) {
    const FileSpecList& list = g_archive.specs;
    for (int i = 0; i < list.count(); ++i) {
      const FileSpec& s = *list.specs[static_cast<size_t>(i)];
      if (same_name(s.name, name) && (s.flags & need) == need && (s.flags & refuse) == 0) return i;
    }
    return -1;
  };
  for (int step = 0; step < 1200; ++step) {
    if (maker.next(3) != 0 || g_archive.specs.count() == 0) {
      ASSERT_GE(ct::add_spec(maker.make().c_str(), 0, 0, 0, flag_set[maker.next(4)]), 0);
    } else {
      const uint32_t n = static_cast<uint32_t>(g_archive.specs.count());
      file_spec_remove(g_archive.specs.specs[maker.next(n)].get());
      ASSERT_EQ(g_archive.specs.count(), static_cast<int>(n) - 1);
    }
    if (step % 20 != 0) continue;
    for (int q = 0; q < 30; ++q) {
      const std::string name = maker.make();
      const uint16_t need = q % 3 == 0 ? 0 : flag_set[maker.next(4)];
      const uint16_t refuse = q % 2 == 0 ? 0 : SPEC_EXTRACT;
      ASSERT_EQ(file_spec_find(name.c_str(), need, refuse), scan(name, need, refuse)) << step << " " << name;
    }
  }
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
