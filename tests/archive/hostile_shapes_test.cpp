// Hostile shapes of the data area and the directory stream: records that
// share data, streams that end early inside their region, bytes between the
// directory stream and the trailer, and counts past the entry limit.
#include <string>

#include "support/container_fixture.h"
#include "support/support.h"

using ct::archive_with;
using ct::record;
using ct::trailer;

namespace {

class HostileShapes : public ct::ContainerTest {
 protected:
  // A load from a clean state (a failed load keeps the records it read).
  int fresh_load(const std::string& bytes) {
    vt::release_state();
    return load(bytes);
  }
};

TEST_F(HostileShapes, StandaloneRecordsThatShareDataAreRefused) {
  const std::string data(4096, 'z');
  const std::string stream = vt::zcompress(data);
  // Many compressed records pointing at one stream: every region but the
  // last is empty.
  std::string dir = vt::u32le(3);
  for (const char* n : {"a", "b", "c"}) dir += record(n, 0, 4096, 0, 0x05);
  EXPECT_EQ(fresh_load(archive_with(stream, dir)), -1);

  // Two stored records over the same bytes, and stored sizes that disagree
  // with their regions (overlap into the next, or leave a gap).
  EXPECT_EQ(fresh_load(archive_with("abcd", vt::u32le(2) + record("a", 0, 4, 0, 0x04) +
                                          record("b", 0, 4, 0, 0x04))),
            -1);
  EXPECT_EQ(fresh_load(archive_with("abcd", vt::u32le(2) + record("a", 0, 3, 0, 0x04) +
                                          record("b", 2, 2, 0, 0x04))),
            -1);
  EXPECT_EQ(fresh_load(archive_with("abcd", vt::u32le(2) + record("a", 0, 1, 0, 0x04) +
                                          record("b", 2, 2, 0, 0x04))),
            -1);
  EXPECT_EQ(fresh_load(archive_with("abcd", vt::u32le(1) + record("a", 0, 3, 0, 0x04))), -1);

  // The sound shapes still load: stored regions back to back (an empty one
  // included), then a compressed one.
  std::string front = std::string("ab") + stream;
  std::string good = vt::u32le(4) + record("a", 0, 2, 0, 0x04) + record("e", 2, 0, 0, 0x04) +
                     record("z", 2, 4096, 0, 0x05) + record("in", 0, 1, 0, 0x07) + "i";
  ASSERT_EQ(fresh_load(archive_with(front, good)), 0);
  EXPECT_EQ(view_pass(), 0);
  EXPECT_EQ(loaded(2).region_end, front.size());
}

TEST_F(HostileShapes, StreamThatEndsBeforeItsRegionEndsFailsTheView) {
  const std::string stream = vt::zcompress("payload");
  const std::string dir = vt::u32le(1) + record("p", 0, 7, 0, 0x05);
  vt::release_state();
  ASSERT_EQ(load_and_view(archive_with(stream, dir)), 0);
  // Junk after the entry's stream, inside its region: loads (the region is
  // long enough) but the data does not fill it.
  ASSERT_EQ(fresh_load(archive_with(stream + "JUNK", dir)), 0);
  EXPECT_EQ(view_pass(), -1);
}

TEST_F(HostileShapes, BytesBetweenDirectoryStreamAndTrailerFailTheView) {
  const std::string content = vt::u32le(1) + record("a.txt", 0, 3, 0, 0x07) + "abc";
  const std::string stream = vt::zcompress(content);
  vt::release_state();
  ASSERT_EQ(load_and_view(stream + trailer(0)), 0);
  EXPECT_EQ(fresh_load(stream + "JUNK" + trailer(0)), 0);
  EXPECT_EQ(view_pass(), -1);
  // Without in-directory data the records end the stream.
  const std::string bare = vt::zcompress(vt::u32le(0));
  EXPECT_EQ(fresh_load(bare + "J" + trailer(0)), 0);
  EXPECT_EQ(view_pass(), -1);
}

TEST_F(HostileShapes, CountPastTheLimitIsRefusedBeforeAnyRecord) {
  std::string two = record("a", 0, 0, 0, 0x07) + record("b", 0, 0, 0, 0x07);
  const std::string over = archive_with("", vt::u32le(MAX_ENTRIES + 1) + two);
  EXPECT_EQ(fresh_load(over), -1);
  EXPECT_EQ(g_archive.loaded.count(), 0);
  EXPECT_EQ(g_archive.loaded.records.capacity(), 0u);  // nothing allocated for a record
  // A whole run on it ends with -3 and leaves the archive as it was.
  vt::write_file("c.vrn", over);
  vt::write_file("n.txt", "new");
  EXPECT_EQ(vt::run("vorn", {"c.vrn", "n.txt"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("c.vrn"), over);
  // At the limit the count is read as usual: the records run out.
  EXPECT_EQ(fresh_load(archive_with("", vt::u32le(MAX_ENTRIES) + two)), -1);
  EXPECT_EQ(g_archive.loaded.count(), 2);
}

// Whole runs on the shared-data archive: nothing reads a stream more than
// once, and nothing is written.
TEST_F(HostileShapes, RunsOnSharedDataFailWithoutWriting) {
  const std::string stream = vt::zcompress(std::string(1 << 16, '\0'));
  std::string dir = vt::u32le(50);
  for (int i = 0; i < 50; ++i) dir += record("f" + std::to_string(i), 0, 1 << 16, 0, 0x05);
  const std::string bytes = archive_with(stream, dir);
  vt::write_file("h.vrn", bytes);
  vt::write_file("n.txt", "new");
  EXPECT_EQ(vt::run("vorn", {"h.vrn", "-v"}), vt::FAIL);
  EXPECT_EQ(vt::run("vornex", {"h.vrn", "*"}), vt::FAIL);
  EXPECT_EQ(vt::run("vorn", {"h.vrn", "n.txt"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("h.vrn"), bytes);
  EXPECT_EQ(vt::list_dir("."), (std::vector<std::string>{"h.vrn", "n.txt"}));
}

// Extraction and a re-store read a standalone stream to its region's end.
TEST_F(HostileShapes, ExtractionAndRestoreRefuseJunkInsideARegion) {
  const std::string stream = vt::zcompress("payload");
  const std::string bytes =
      archive_with(stream + "JUNK", vt::u32le(1) + record("p.txt", 0, 7, 0, 0x05));
  vt::write_file("j.vrn", bytes);
  EXPECT_EQ(vt::run("vornex", {"j.vrn", "p.txt"}), vt::FAIL);
  EXPECT_FALSE(vt::file_exists("p.txt"));
  EXPECT_EQ(vt::run("vornalt", {"j.vrn", "-c", "p.txt"}), vt::FAIL);
  EXPECT_EQ(vt::run("vornalt", {"j.vrn", "+g", "p.txt"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("j.vrn"), bytes);
}

}  // namespace
