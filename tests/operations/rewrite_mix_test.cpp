// Many changes in one run: every entry of an archive is kept, deleted,
// re-stored ("+m") or replaced by a new file, each under its own placement and
// compression, with the specs in a shuffled order.  The result is compared
// record by record with the layout the rewrite promises (kept and re-stored
// standalone entries in their old order, entries moved out, new standalone
// files, then the in-directory records: old ones in table order, standalone
// ones moving in, new files), and every entry's bytes are checked, so any
// slip in reading past skipped in-directory data shows up.  Keyed entries
// named without their key stay as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/e2e.h"
#include "support/scratch.h"

using namespace rt;

namespace {

class RewriteMix : public vt::Scratch {};

enum Op { KEEP, DELETE, MODIFY, REPLACE };

struct Change {
  Op op = KEEP;
  bool g = false, c = false, e = false;
  std::string new_data;
};

uint8_t flag_byte(bool c, bool g, bool e) {
  return static_cast<uint8_t>((c ? 0x01 : 0) | (g ? 0x02 : 0) | 0x04 | (e ? 0x08 : 0));
}

void run_round(std::mt19937& rng, int round) {
  SCOPED_TRACE("round " + std::to_string(round));
  const vt::Parsed before = parse("arc.vrn");
  const std::vector<vt::Entry>& old = before.entries;  // standalone records come first
  std::uniform_int_distribution<int> pick(0, 3), coin(0, 1);
  std::uniform_int_distribution<size_t> len(0, 30000);

  std::vector<Change> ch(old.size());
  std::vector<size_t> order;
  for (size_t i = 0; i < old.size(); ++i) {
    ch[i].op = static_cast<Op>(pick(rng));
    ch[i].g = coin(rng) != 0;
    ch[i].c = coin(rng) != 0;
    ch[i].e = coin(rng) != 0;
    if (ch[i].op == REPLACE) {
      ch[i].new_data = noise(len(rng), static_cast<unsigned>(rng()));
      vt::write_file(old[i].name, ch[i].new_data);
    }
    if (ch[i].op != KEEP) order.push_back(i);
  }
  std::shuffle(order.begin(), order.end(), rng);

  std::vector<std::string> args = {"arc.vrn", "-1", "-2", "-3", "-4", "+l"};
  for (size_t i : order) {
    const Change& c = ch[i];
    if (c.op == DELETE) {
      args.insert(args.end(), {"-d", old[i].name});
      continue;
    }
    args.insert(args.end(), {"-a", c.op == MODIFY ? "+m" : "-m", c.g ? "+g" : "-g",
                             c.c ? "+c" : "-c", c.e ? "+e" : "-e", old[i].name});
  }
  // A file that is not in the archive yet, added last.
  const std::string fresh = "n" + std::to_string(round);
  vt::write_file(fresh, noise(5000, static_cast<unsigned>(round)));
  args.insert(args.end(), {"-a", "-m", "+g", "+c", "-e", fresh});
  ASSERT_EQ(vt::vorn(args), 0);

  // A keyed entry refuses every spec given without its key: it stays as it
  // was, and a file meant to replace it is not stored.
  for (size_t i = 0; i < old.size(); ++i)
    if (old[i].key_hash != 0) ch[i].op = KEEP;

  std::vector<vt::Entry> want;
  auto is_standalone = [&](size_t i) { return (old[i].flags & 0x02) == 0; };
  auto changed = [&](size_t i, bool g, const std::string& data) {
    return entry(old[i].name, data, flag_byte(ch[i].c, g, ch[i].e));
  };
  for (size_t i = 0; i < old.size(); ++i) {
    if (!is_standalone(i)) continue;
    if (ch[i].op == KEEP) want.push_back(old[i]);
    if (ch[i].op == MODIFY && !ch[i].g) want.push_back(changed(i, false, old[i].data));
  }
  for (size_t i = 0; i < old.size(); ++i)
    if (!is_standalone(i) && ch[i].op == MODIFY && !ch[i].g)
      want.push_back(changed(i, false, old[i].data));
  for (size_t i : order)
    if (ch[i].op == REPLACE && !ch[i].g) want.push_back(changed(i, false, ch[i].new_data));
  for (size_t i = 0; i < old.size(); ++i) {
    if (is_standalone(i)) continue;
    if (ch[i].op == KEEP) want.push_back(old[i]);
    if (ch[i].op == MODIFY && ch[i].g) want.push_back(changed(i, true, old[i].data));
  }
  for (size_t i = 0; i < old.size(); ++i)
    if (is_standalone(i) && ch[i].op == MODIFY && ch[i].g)
      want.push_back(changed(i, true, old[i].data));
  for (size_t i : order)
    if (ch[i].op == REPLACE && ch[i].g) want.push_back(changed(i, true, ch[i].new_data));
  want.push_back(entry(fresh, noise(5000, static_cast<unsigned>(round)), flag_byte(true, true, false)));

  const std::string bytes = vt::read_file("arc.vrn");
  const vt::Parsed after = parse("arc.vrn");
  ASSERT_EQ(after.entries.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    const vt::Entry& got = after.entries[k];
    EXPECT_EQ(got.name, want[k].name) << "record " << k;
    EXPECT_EQ(static_cast<int>(got.flags), static_cast<int>(want[k].flags)) << got.name;
    EXPECT_EQ(got.key_hash, want[k].key_hash) << got.name;
    EXPECT_TRUE(got.data == want[k].data) << got.name << ": wrong bytes";
  }
  EXPECT_EQ(vt::mz_sum(bytes), 0xFFFF);
  EXPECT_TRUE(vt::temporaries().empty());
}

TEST_F(RewriteMix, EveryKindOfChangeInOneRunKeepsOrderAndBytes) {
  std::mt19937 rng(4242);
  std::vector<vt::Entry> start;
  std::uniform_int_distribution<size_t> len(0, 30000);
  const uint8_t kinds[] = {SC, SS, DC, DS, 0xE5, 0x1A};
  for (int i = 0; i < 36; ++i) {
    const uint8_t f = kinds[static_cast<size_t>(i) % 6];
    start.push_back(entry("e" + std::to_string(i), noise(len(rng), static_cast<unsigned>(i) + 100), f,
                          i % 7 == 3 ? vt::key_hash("k") : 0));
  }
  const std::string stub = "MZ" + noise(62, 5);
  vt::write_file("arc.vrn", vt::build_archive(start, stub));
  for (int round = 1; round <= 4; ++round) {
    run_round(rng, round);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
