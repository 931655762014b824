// Packing reads file data straight into the compressor's blocks: files whose
// sizes fall around the block bounds, in the directory stream and as
// standalone entries, give the streams that writing the same bytes gives,
// the same for every thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/streams.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "platform/platform.h"
#include "support/e2e.h"
#include "support/scratch.h"

using namespace rt;

namespace {

class FileDataBlocks : public vt::Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    const size_t sizes[] = {0,         1,             5000,          BLOCK_MIN - 1,
                            BLOCK_MIN, BLOCK_MIN + 1, BLOCK_MAX - 1, BLOCK_MAX,
                            BLOCK_MAX + 1, 2 * BLOCK_MAX + 333, 70000};
    unsigned seed = 1;
    for (size_t n : sizes) {
      // Half text, half noise: blocks end both at hash cuts and at the maximum.
      std::string d;
      for (unsigned i = 0; d.size() < n / 2; ++i) d += "row " + std::to_string(i * seed % 7919) + ";\n";
      d.resize(n / 2);
      d += noise(n - n / 2, seed);
      names_.push_back("f" + std::to_string(seed) + ".bin");
      vt::write_file(names_.back(), d);
      ++seed;
    }
  }

  // Packs the files with the given options and thread count; the archive.
  std::string pack(const std::vector<std::string>& options, int threads) {
    pf_remove("arc.vrn");
    std::vector<std::string> args = {"arc.vrn", "--threads", std::to_string(threads)};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), names_.begin(), names_.end());
    EXPECT_EQ(vt::vorn(args), 0);
    return vt::read_file("arc.vrn");
  }

  std::vector<std::string> names_;
};

// The stream the write stream gives for `content` written in copy-buffer
// pieces.
std::string written(const std::string& content) {
  vt::release_state();
  g_settings.threads = 2;
  const int fd = pf_open_create("ref.z");
  EXPECT_GE(fd, 0);
  EXPECT_EQ(deflate_open(fd, 0), 0);
  for (size_t at = 0; at < content.size(); at += COPY_BUFFER_SIZE) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(COPY_BUFFER_SIZE, content.size() - at));
    EXPECT_EQ(deflate_write(content.data() + at, n), n);
  }
  EXPECT_EQ(deflate_finish(), 0);
  pf_close(fd);
  vt::release_state();
  return vt::read_file("ref.z");
}

TEST_F(FileDataBlocks, TheDirectoryStreamIsTheStreamOfItsContent) {
  const std::string one = pack({}, 1);
  vt::Parsed p;
  ASSERT_TRUE(vt::parse_archive(one, &p)) << p.error;
  ASSERT_EQ(p.entries.size(), names_.size());
  for (size_t i = 0; i < names_.size(); ++i)
    EXPECT_TRUE(p.entries[i].data == vt::read_file(names_[i])) << names_[i];
  const std::string stream = one.substr(p.dir_offset, one.size() - 4 - p.dir_offset);
  std::string content;
  ASSERT_TRUE(vt::zinflate(stream, &content));
  EXPECT_GT(content.size(), 4u * BLOCK_MAX);
  EXPECT_TRUE(stream == written(content));
  for (int threads : {2, 3, 8}) EXPECT_TRUE(pack({}, threads) == one) << threads << " threads";
}

TEST_F(FileDataBlocks, StandaloneStreamsAreTheStreamsOfTheirFiles) {
  const std::string one = pack({"-g"}, 1);
  vt::Parsed p;
  ASSERT_TRUE(vt::parse_archive(one, &p)) << p.error;
  ASSERT_EQ(p.entries.size(), names_.size());
  for (size_t i = 0; i < names_.size(); ++i) {
    const std::string data = vt::read_file(names_[i]);
    const std::string expected = written(data);
    ASSERT_LE(p.offsets[i] + expected.size(), one.size()) << names_[i];
    EXPECT_TRUE(one.compare(p.offsets[i], expected.size(), expected) == 0) << names_[i];
    if (data.size() <= BLOCK_MIN) {
      EXPECT_TRUE(expected == vt::zcompress(data)) << names_[i];
    }
  }
  for (int threads : {2, 5}) EXPECT_TRUE(pack({"-g"}, threads) == one) << threads << " threads";
}

}  // namespace
