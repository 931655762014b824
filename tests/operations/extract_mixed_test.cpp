// Extraction of large mixed archives: many small entries and a few larger
// than everything the directory stream is inflated ahead into, standalone
// entries (compressed and stored) beside in-directory ones, keyed entries;
// and damage in the middle of the directory stream, which must
// leave every target as it was however far the inflating had got.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/craft.h"
#include "support/scratch.h"
#include "support/support.h"

namespace {

constexpr uint8_t IN_DIR = 0x07;
constexpr uint8_t STORED = 0x04;
constexpr uint8_t DEFLATED = 0x05;

// Text with runs of noise: some of it compresses well, some not at all.
std::string mixed_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    if (rng() % 4 == 0) {
      for (int k = 0; k < 5000; ++k) s.push_back(static_cast<char>(rng()));
    } else {
      for (int k = 0; k < 200; ++k) s += "#define NAME_" + std::to_string(rng() % 1000) + " 1\n";
    }
  }
  s.resize(n);
  return s;
}

struct Item {
  std::string name;  // as stored
  std::string path;  // where it lands
  std::string data;
  uint8_t flags;
  uint32_t key_hash;
};

// 700 entries in 13 folders: mostly small in-directory ones, a compressed
// standalone entry every 50th and a stored one every 77th, three
// in-directory entries of 1.2 MB and a standalone one of 700 KB; two
// entries carry keys.
std::vector<Item> mixed_items() {
  std::vector<Item> items;
  for (int i = 0; i < 700; ++i) {
    Item it;
    const std::string folder = "d" + std::to_string(i % 13);
    it.name = folder + "\\f" + std::to_string(i) + ".h";
    it.path = folder + "/f" + std::to_string(i) + ".h";
    size_t size = static_cast<size_t>(i * 37 % 5000);
    if (i == 3 || i == 350 || i == 698) size = 1200000;
    if (i == 400) size = 700000;
    it.data = mixed_bytes(size, static_cast<unsigned>(i));
    it.flags = (i % 50 == 0 || i == 400) ? DEFLATED : (i % 77 == 0) ? STORED : IN_DIR;
    it.key_hash = i == 500 ? vt::key_hash("k1") : i == 501 ? vt::key_hash("other") : 0;
    items.push_back(it);
  }
  return items;
}

// Records of standalone entries come first, as the format has them.
std::string mixed_archive(const std::vector<Item>& items) {
  std::vector<vt::RawEntry> raw;
  std::vector<const Item*> order;
  for (const Item& it : items)
    if (it.flags != IN_DIR) order.push_back(&it);
  for (const Item& it : items)
    if (it.flags == IN_DIR) order.push_back(&it);
  for (const Item* p : order) {
    const Item& it = *p;
    vt::RawEntry r;
    r.name = it.name;
    r.stored = it.flags == DEFLATED ? vt::zcompress(it.data) : it.data;
    r.size = static_cast<uint32_t>(it.data.size());
    r.key_hash = it.key_hash;
    r.flags = it.flags;
    raw.push_back(r);
  }
  return vt::build_archive_raw(raw);
}

class ExtractMixed : public vt::Scratch {};

TEST_F(ExtractMixed, ManySmallAndLargeEntriesInterleavedComeBackWhole) {
  const std::vector<Item> items = mixed_items();
  vt::write_file("a.vrn", mixed_archive(items));
  // One folder is there already; the others are made.
  vt::make_dir("d5");
  ASSERT_EQ(vt::run("vornex", {"a.vrn", "-sk1", "*"}), 0);
  for (const Item& it : items) {
    if (it.key_hash == vt::key_hash("other")) {
      EXPECT_FALSE(vt::file_exists(it.path)) << it.path << ": its key was not given";
      continue;
    }
    EXPECT_TRUE(vt::read_file(it.path) == it.data) << it.path;
  }
  for (int f = 0; f < 13; ++f) {
    const std::string folder = "d" + std::to_string(f);
    EXPECT_TRUE(vt::temporaries(folder).empty()) << folder;
  }
  EXPECT_TRUE(vt::temporaries(".").empty());

  // On one thread: the same files.
  vt::ScratchDir one;
  vt::write_file("a.vrn", mixed_archive(items));
  ASSERT_EQ(vt::run("vornex", {"a.vrn", "--threads", "1", "-sk1", "*"}), 0);
  for (const Item& it : items) {
    if (it.key_hash == vt::key_hash("other")) continue;
    EXPECT_TRUE(vt::read_file(it.path) == it.data) << it.path << " (one thread)";
  }

  // Only some: entries passed by before, between and after those written.
  vt::ScratchDir again;
  vt::write_file("a.vrn", mixed_archive(items));
  const int chosen[] = {3, 350, 399, 400};
  std::vector<std::string> args = {"a.vrn"};
  for (int i : chosen) args.push_back(items[static_cast<size_t>(i)].name);
  ASSERT_EQ(vt::run("vornex", args), 0);
  for (int i : chosen) {
    const Item& it = items[static_cast<size_t>(i)];
    EXPECT_TRUE(vt::read_file(it.path) == it.data) << it.path;
  }
  EXPECT_EQ(vt::list_dir("d12"), std::vector<std::string>{"f350.h"});
  EXPECT_EQ(vt::list_dir("d0"), std::vector<std::string>{});
}

TEST_F(ExtractMixed, DamageInTheMiddleOfTheDirectoryStreamLeavesEveryTargetAsItWas) {
  const std::vector<Item> items = mixed_items();
  const std::string good = mixed_archive(items);
  vt::Parsed parsed;
  ASSERT_TRUE(vt::parse_archive(good, &parsed)) << parsed.error;
  // Spoil 64 bytes half way through the directory stream: inside the
  // in-directory data, far behind the records.
  std::string bad = good;
  const size_t middle = parsed.dir_offset + (bad.size() - parsed.dir_offset) / 2;
  for (size_t k = middle; k < middle + 64; ++k) bad[k] = static_cast<char>(~bad[k]);

  vt::write_file("a.vrn", bad);
  // Some targets exist already (replaced only by a complete run), in a
  // folder that was there before.
  vt::make_dir("d1");
  std::map<std::string, std::string> before;
  for (const Item& it : items) {
    if (it.path.compare(0, 3, "d1/") == 0 && it.data.size() % 3 == 0) {
      before[it.path] = "old " + it.path;
      vt::write_file(it.path, before[it.path]);
    }
  }
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(vt::run("vornex", {"a.vrn", "*"}, "a"), vt::FAIL);
  for (const Item& it : items) {
    const auto old = before.find(it.path);
    if (it.flags == IN_DIR) {
      // Nothing of the damaged stream is put in place.
      if (old != before.end())
        EXPECT_EQ(vt::read_file(it.path), old->second) << it.path;
      else
        EXPECT_FALSE(vt::file_exists(it.path)) << it.path;
    } else if (vt::file_exists(it.path)) {
      // A standalone target written completely before the failure may stand.
      const std::string now = vt::read_file(it.path);
      EXPECT_TRUE(now == it.data || (old != before.end() && now == old->second)) << it.path;
    }
  }
  EXPECT_TRUE(vt::temporaries(".").empty());
  EXPECT_TRUE(vt::temporaries("d1").empty());
  // Folders the run made hold nothing but complete standalone targets.
  for (int f = 0; f < 13; ++f) {
    const std::string folder = "d" + std::to_string(f);
    if (!vt::file_exists(folder) || f == 1) continue;
    for (const std::string& name : vt::list_dir(folder)) {
      bool standalone = false;
      for (const Item& it : items)
        if (it.path == folder + "/" + name && it.flags != IN_DIR) standalone = true;
      EXPECT_TRUE(standalone) << folder << "/" << name;
    }
  }
}

TEST_F(ExtractMixed, NewTargetsGetTheDefaultPermissionsAndReplacedOnesKeepTheirs) {
  if (vt::runs_through_launcher()) GTEST_SKIP() << "mode bits are POSIX's";
  vt::write_file("a.vrn", vt::build_archive({{"new.txt", "new", 0, IN_DIR},
                                             {"kept.txt", "replaced", 0, IN_DIR},
                                             {"sub\\solo.txt", "standalone", 0, DEFLATED}}));
  vt::write_file("kept.txt", "old");
  ASSERT_EQ(chmod("kept.txt", 0604), 0);
  const mode_t mask = umask(027);
  const int rc = vt::run("vornex", {"a.vrn", "*"}, "a");
  umask(mask);
  ASSERT_EQ(rc, 0);
  struct stat st;
  ASSERT_EQ(stat("new.txt", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ASSERT_EQ(stat("sub/solo.txt", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  ASSERT_EQ(stat("kept.txt", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(vt::read_file("kept.txt"), "replaced");
}

}  // namespace
