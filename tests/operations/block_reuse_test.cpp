// Rewrites of archives whose directory stream spans many blocks: whatever
// the change (files added, entries deleted, re-stored or given another key,
// at the start, in the middle or at the end), the new directory stream is
// byte for byte the stream a full compression of its content gives, and the
// same whatever the thread count; a rewrite copies old compressed blocks.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "archive/streams.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "driver/driver.h"
#include "platform/platform.h"
#include "support/e2e.h"
#include "support/scratch.h"

using namespace rt;

namespace {

constexpr int kFiles = 9;

// Text-like bytes that compress well but not trivially.
std::string text(size_t n, unsigned seed) {
  static const char* const words[] = {"alpha ", "beta ", "gamma ", "delta\n", "int x = ",
                                      "return ", "/* c */ ", "0x3f, ", "{ ", "} "};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    unsigned r = rng();
    s += words[r % 10];
    if (r % 7 == 0) s += std::to_string(r % 99991);
  }
  s.resize(n);
  return s;
}

std::string file_name(int i) { return "f" + std::to_string(i) + ".txt"; }

std::vector<std::string> all_files() {
  std::vector<std::string> v;
  for (int i = 0; i < kFiles; ++i) v.push_back(file_name(i));
  return v;
}

// The archive's directory stream as written, and as the product's write
// stream compresses its content from scratch (no old stream to copy from).
struct DirectoryStreams {
  std::string written;
  std::string recompressed;
};

DirectoryStreams directory_streams(const std::string& path) {
  DirectoryStreams d;
  const std::string bytes = vt::read_file(path);
  vt::Parsed p;
  EXPECT_TRUE(vt::parse_archive(bytes, &p)) << p.error;
  if (bytes.size() < p.dir_offset + 4u) return d;
  d.written = bytes.substr(p.dir_offset, bytes.size() - 4 - p.dir_offset);
  std::string content;
  EXPECT_TRUE(vt::zinflate(d.written, &content));

  vt::release_state();
  g_settings.threads = 2;
  int fd = pf_open_create("fresh.z");
  EXPECT_GE(fd, 0);
  EXPECT_EQ(deflate_open(fd, 0), 0);
  for (size_t at = 0; at < content.size(); at += 32760) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(32760, content.size() - at));
    EXPECT_EQ(deflate_write(content.data() + at, n), n);
  }
  EXPECT_EQ(deflate_finish(), 0);
  pf_close(fd);
  vt::release_state();
  d.recompressed = vt::read_file("fresh.z");
  return d;
}

class BlockReuse : public vt::Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    for (int i = 0; i < kFiles; ++i) vt::write_file(file_name(i), text(300000 + 1000 * i, i + 1));
    vt::write_file("new.txt", text(5000, 99));
    std::vector<std::string> args = {"base.vrn"};
    for (const std::string& f : all_files()) args.push_back(f);
    ASSERT_EQ(vt::vorn(args), 0);
    base_ = vt::read_file("base.vrn");
  }

  // Runs one change on a copy of the base archive with the given threads;
  // the result's bytes.
  std::string change(const std::string& program, std::vector<std::string> args, int threads) {
    vt::write_file("arc.vrn", base_);
    args.insert(args.begin(), {"arc.vrn", "--threads", std::to_string(threads)});
    EXPECT_EQ(vt::run(program, args), 0);
    return vt::read_file("arc.vrn");
  }

  // The change gives a directory stream equal to a full compression, the
  // same bytes for one and four threads, and the entries it should.
  void check(const std::string& program, const std::vector<std::string>& args) {
    const std::string one = change(program, args, 1);
    const DirectoryStreams d = directory_streams("arc.vrn");
    ASSERT_FALSE(d.written.empty());
    EXPECT_EQ(d.written, d.recompressed);
    EXPECT_EQ(change(program, args, 4), one);
  }

  std::string base_;
};

TEST_F(BlockReuse, TheBaseArchiveSpansManyBlocks) {
  const DirectoryStreams d = directory_streams("base.vrn");
  EXPECT_EQ(d.written, d.recompressed);
  // Anything shorter would not exercise the cuts.
  std::string content;
  ASSERT_TRUE(vt::zinflate(d.written, &content));
  EXPECT_GT(content.size(), 4u * 1024 * 1024 / 2);
}

TEST_F(BlockReuse, AddsAndDeletesEqualAFreshPack) {
  check("vorn", {"new.txt"});
  // The same archive packed from nothing.
  std::vector<std::string> fresh = {"fresh.vrn"};
  for (const std::string& f : all_files()) fresh.push_back(f);
  fresh.push_back("new.txt");
  ASSERT_EQ(vt::vorn(fresh), 0);
  EXPECT_EQ(change("vorn", {"new.txt"}, 2), vt::read_file("fresh.vrn"));

  for (int gone : {0, kFiles / 2, kFiles - 1}) {
    check("vorn", {"-d", file_name(gone)});
    std::vector<std::string> rest = {"rest.vrn"};
    for (int i = 0; i < kFiles; ++i)
      if (i != gone) rest.push_back(file_name(i));
    pf_remove("rest.vrn");
    ASSERT_EQ(vt::vorn(rest), 0);
    EXPECT_EQ(change("vorn", {"-d", file_name(gone)}, 3), vt::read_file("rest.vrn"))
        << "without " << file_name(gone);
  }
}

TEST_F(BlockReuse, RestoresAndKeyChangesAtStartMiddleAndEnd) {
  for (int at : {0, kFiles / 2, kFiles - 1}) {
    check("vornalt", {"-c", file_name(at)});
    check("vornalt", {"+sKEY", file_name(at)});
    check("vorn", {file_name(at)});  // replaced by the same file: moves to the end
  }
  // Several changes in one run.
  check("vornalt", {"+sK2", file_name(0), file_name(kFiles - 1), "-c", file_name(3)});
}

// The cuts of a directory stream: uncompressed and compressed positions
// after each sync flush.
std::vector<std::pair<size_t, size_t>> stream_cuts(const std::string& dir, size_t content_size) {
  std::vector<std::pair<size_t, size_t>> cuts;
  z_stream s{};
  EXPECT_EQ(inflateInit(&s), Z_OK);
  std::string out(content_size + 1, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(dir.data()));
  s.avail_in = static_cast<uInt>(dir.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = static_cast<uInt>(out.size());
  uLong stop_in = 0, stop_out = 0;
  while (inflate(&s, Z_BLOCK) == Z_OK) {
    if (!(s.data_type & 128)) continue;
    if ((s.data_type & 7) == 0 && s.total_out == stop_out && s.total_in - stop_in >= 4 &&
        s.total_in - stop_in <= 5)
      cuts.push_back({s.total_out, s.total_in});
    stop_in = s.total_in;
    stop_out = s.total_out;
  }
  inflateEnd(&s);
  return cuts;
}

// content[a, b) compressed at `level` after the 32 KiB before it, ended with
// a sync flush: another encoding of an old block.
std::string encode_block(const std::string& content, size_t a, size_t b, int level) {
  std::string other(b - a + b / 8 + 1024, '\0');
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  EXPECT_EQ(deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(content.data() + a - 32768),
                                 32768),
            Z_OK);
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data() + a));
  s.avail_in = static_cast<uInt>(b - a);
  s.next_out = reinterpret_cast<Bytef*>(&other[0]);
  s.avail_out = static_cast<uInt>(other.size());
  EXPECT_EQ(deflate(&s, Z_SYNC_FLUSH), Z_OK);
  EXPECT_EQ(s.avail_in, 0u);
  other.resize(s.total_out);
  deflateEnd(&s);
  return other;
}

// An archive's directory stream taken apart: its compressed bytes, its
// content and its cuts; `with` gives the archive with the compressed bytes
// between cuts i and j replaced.
struct OldStream {
  vt::Parsed p;
  std::string archive, dir, content;
  std::vector<std::pair<size_t, size_t>> cuts;
  std::string with(size_t i, size_t j, const std::string& bytes) const {
    return archive.substr(0, p.dir_offset) + dir.substr(0, cuts[i].second) + bytes +
           dir.substr(cuts[j].second) + archive.substr(archive.size() - 4);
  }
};

bool take_apart(const std::string& path, OldStream* s) {
  s->archive = vt::read_file(path);
  s->p = parse(path);
  s->dir = s->archive.substr(s->p.dir_offset, s->archive.size() - 4 - s->p.dir_offset);
  if (!vt::zinflate(s->dir, &s->content)) return false;
  s->cuts = stream_cuts(s->dir, s->content.size());
  return true;
}

// A rewrite takes the old compressed bytes of unchanged blocks: an old
// archive whose middle block was compressed differently (at level 1, same
// dictionary and flush, so still a valid stream of the same content) keeps
// that block's bytes through a rewrite that changes only the head.
TEST_F(BlockReuse, UnchangedBlocksAreCopiedNotCompressed) {
  OldStream o;
  ASSERT_TRUE(take_apart("base.vrn", &o));
  const auto& cuts = o.cuts;
  ASSERT_GE(cuts.size(), 4u);
  // Block 3 (between the third and fourth cut) again, at level 1.
  const std::string other = encode_block(o.content, cuts[2].first, cuts[3].first, 1);
  const std::string original = o.dir.substr(cuts[2].second, cuts[3].second - cuts[2].second);
  ASSERT_NE(other, original);
  vt::write_file("odd.vrn", o.with(2, 3, other));
  EXPECT_EQ(parse("odd.vrn").entries.size(), static_cast<size_t>(kFiles));

  ASSERT_EQ(vt::vorn({"odd.vrn", "new.txt"}), 0);
  const std::string after = vt::read_file("odd.vrn");
  EXPECT_NE(after.find(other), std::string::npos) << "the level-1 block was compressed again";
  expect_entry(parse("odd.vrn"), "f1.txt", text(301000, 2), DC);
}

// A block a rewrite copies is only trusted once the whole old stream matched
// its checksum: an old archive whose middle block is stored (so one byte of
// it can change without breaking the inflation) and has one byte changed
// fails every rewrite that would copy that block, whatever the thread count,
// and stays as it was; the same archive undamaged has the block copied and
// reads back.
TEST_F(BlockReuse, ADamagedByteInACopiedBlockFailsTheRewrite) {
  OldStream o;
  ASSERT_TRUE(take_apart("base.vrn", &o));
  const vt::Parsed& p = o.p;
  const std::string& content = o.content;
  const auto& cuts = o.cuts;
  ASSERT_GE(cuts.size(), 5u);
  const std::string stored = encode_block(content, cuts[2].first, cuts[3].first, 0);
  const std::string good = o.with(2, 3, stored);
  // Still a valid stream of the same content, with the same cuts.
  const std::string doctored_dir = good.substr(p.dir_offset, good.size() - 4 - p.dir_offset);
  std::string check;
  ASSERT_TRUE(vt::zinflate(doctored_dir, &check));
  ASSERT_EQ(check, content);
  ASSERT_EQ(stream_cuts(doctored_dir, content.size()).size(), cuts.size());

  // The stored block's first payload byte lies after its 5-byte header.
  std::string bad = good;
  const size_t at = p.dir_offset + cuts[2].second + 5 + 1000;
  bad[at] = static_cast<char>(bad[at] ^ 0x20);
  std::string damaged;
  EXPECT_FALSE(vt::zinflate(bad.substr(p.dir_offset, bad.size() - 4 - p.dir_offset), &damaged))
      << "the changed byte must break only the checksum";

  for (int threads : {1, 2, 3}) {
    const std::string t = std::to_string(threads);
    for (const std::vector<std::string>& change :
         {std::vector<std::string>{"new.txt"}, std::vector<std::string>{"-d", file_name(0)}}) {
      vt::write_file("odd.vrn", bad);
      std::vector<std::string> args = {"odd.vrn", "--threads", t};
      args.insert(args.end(), change.begin(), change.end());
      EXPECT_EQ(vt::vorn(args), vt::FAIL) << change[0] << " with " << t << " threads";
      EXPECT_TRUE(vt::read_file("odd.vrn") == bad) << "changed: " << change[0] << ", " << t << " threads";
      EXPECT_TRUE(vt::temporaries().empty());

      vt::write_file("odd.vrn", good);
      ASSERT_EQ(vt::vorn(args), 0) << change[0] << " with " << t << " threads";
      EXPECT_NE(vt::read_file("odd.vrn").find(stored), std::string::npos)
          << "the stored block was compressed again: " << change[0] << ", " << t << " threads";
      // Its sum came from the old stream's: the new stream must check out.
      EXPECT_EQ(vt::vorn({"odd.vrn", "-v"}), 0) << change[0] << ", " << t << " threads";
    }
  }
}

// A block whose end is the end of a kept entry is decided only when the next
// kept bytes come, which may be after a long deleted entry: it is still
// copied, and the rewrite gives the same bytes for one and two threads.  The
// block is re-encoded at level 1 first, so that a copy shows.
class BlockReuseAcrossADeletion : public vt::Scratch {};

TEST_F(BlockReuseAcrossADeletion, TheBlockBeforeADeletedEntryIsCopied) {
  std::string a = text(1500000, 21);
  std::string d(2000000, '\0');
  std::mt19937 rng(22);
  for (char& c : d) c = static_cast<char>(rng());
  vt::write_file("d", d);
  vt::write_file("e", text(700000, 23));
  // Where the stream is cut inside a: a is shortened to end right there.
  vt::write_file("a", a);
  ASSERT_EQ(vt::vorn({"probe.vrn", "a", "d", "e"}), 0);
  size_t cut = 0, a_start = 0;
  {
    OldStream probe;
    ASSERT_TRUE(take_apart("probe.vrn", &probe));
    a_start = probe.content.find(a.substr(0, 4000));
    ASSERT_NE(a_start, std::string::npos);
    for (const auto& c : probe.cuts)
      if (c.first > a_start + 800000) {
        cut = c.first;
        break;
      }
    ASSERT_GT(cut, 0u);
    ASSERT_LT(cut, a_start + a.size());
  }
  a.resize(cut - a_start);
  vt::write_file("a", a);
  ASSERT_EQ(vt::vorn({"base.vrn", "a", "d", "e"}), 0);
  OldStream o;
  ASSERT_TRUE(take_apart("base.vrn", &o));
  const auto& cuts = o.cuts;
  size_t k = 1;
  while (k < cuts.size() && cuts[k].first != cut) ++k;
  ASSERT_LT(k, cuts.size()) << "the cut at the end of a moved";
  const std::string other = encode_block(o.content, cuts[k - 1].first, cut, 1);
  const std::string doctored = o.with(k - 1, k, other);

  std::string results[2];
  for (int threads : {1, 2}) {
    vt::write_file("arc.vrn", doctored);
    ASSERT_EQ(vt::vorn({"arc.vrn", "--threads", std::to_string(threads), "-d", "d"}), 0);
    results[threads - 1] = vt::read_file("arc.vrn");
    EXPECT_NE(results[threads - 1].find(other), std::string::npos)
        << "the block before the deleted entry was compressed again (" << threads << " threads)";
    expect_entry(parse("arc.vrn"), "a", a, DC);
  }
  EXPECT_TRUE(results[0] == results[1]) << "one and two threads wrote different archives";
}

}  // namespace
