// Loading archives laid out by the tests themselves: the layouts of the
// format description, name limits, duplicates, and damage of every kind.
#include <string>

#include "support/container_fixture.h"

using ct::archive_with;
using ct::record;
using ct::trailer;

namespace {

class Load : public ct::ContainerTest {};

TEST_F(Load, EmptyArchiveIsOneStreamOfFourZeroBytes) {
  std::string bytes = vt::zcompress(vt::u32le(0)) + trailer(0);
  ASSERT_EQ(load(bytes), 0);
  EXPECT_EQ(g_archive.loaded.count(), 0);
  EXPECT_EQ(g_run.directory_offset, 0u);
  EXPECT_EQ(g_run.data_start, 0u);
  EXPECT_EQ(g_run.archive_size, static_cast<int64_t>(bytes.size()));
}

TEST_F(Load, ThreeByteFileWithDefaultSettings) {
  std::string content = vt::u32le(1) + record("a.txt", 0, 3, 0, 0x07) + "abc";
  std::string bytes = archive_with("", content);
  ASSERT_EQ(bytes, vt::build_archive({{"a.txt", "abc", 0, 0x07}}));
  ASSERT_EQ(load(bytes), 0);
  ASSERT_EQ(g_archive.loaded.count(), 1);
  EXPECT_STREQ(loaded(0).name.c_str(), "a.txt");
  EXPECT_EQ(loaded(0).offset, 0u);
  EXPECT_EQ(loaded(0).size, 3u);
  EXPECT_EQ(loaded(0).key_hash, 0u);
  EXPECT_EQ(loaded(0).flags, ENTRY_COMPRESSED | ENTRY_IN_DIRECTORY | ENTRY_ATTR_L);
  EXPECT_EQ(loaded(0).loaded_flags, loaded(0).flags);
  EXPECT_EQ(g_run.directory_offset, 0u);
  EXPECT_EQ(g_run.data_start, 0u);  // only in-directory entries: empty data area
  EXPECT_EQ(view_pass(), 0);
}

TEST_F(Load, ThreeByteFileStoredStandaloneUncompressed) {
  std::string content = vt::u32le(1) + record("a.txt", 0, 3, 0, 0x04);
  std::string bytes = archive_with("abc", content);
  ASSERT_EQ(bytes.substr(bytes.size() - 4), vt::u32le(3 ^ 0x5A17C3E9u));
  ASSERT_EQ(load(bytes), 0);
  ASSERT_EQ(g_archive.loaded.count(), 1);
  EXPECT_EQ(loaded(0).flags, ENTRY_ATTR_L);
  EXPECT_EQ(g_run.directory_offset, 3u);
  EXPECT_EQ(g_run.data_start, 0u);
  EXPECT_EQ(view_pass(), 0);
}

TEST_F(Load, StubBytesAreNotExaminedAndSetDataStart) {
  std::string stub = "XY not an executable at all.";
  std::string bytes = vt::build_archive(
      {{"one.bin", "first standalone", 0x1234, 0x01 | 0x10}, {"two", "22", 0, 0x00},
       {"three", "in the directory", 0, 0x07 | 0x80}},
      stub);
  ASSERT_EQ(load(bytes), 0);
  ASSERT_EQ(g_archive.loaded.count(), 3);
  EXPECT_EQ(g_run.data_start, stub.size());
  EXPECT_EQ(loaded(0).key_hash, 0x1234u);
  EXPECT_EQ(loaded(0).flags, ENTRY_COMPRESSED | ENTRY_USER1);
  EXPECT_EQ(loaded(2).flags, ENTRY_COMPRESSED | ENTRY_IN_DIRECTORY | ENTRY_ATTR_L | ENTRY_USER4);
  vt::Parsed p;
  ASSERT_TRUE(vt::parse_archive(bytes, &p));
  EXPECT_EQ(g_run.directory_offset, p.dir_offset);
  EXPECT_EQ(view_pass(), 0);
}

TEST_F(Load, NameLengthLimitAndEmptyName) {
  std::string n257(257, 'n');
  std::string n258(258, 'n');
  ASSERT_EQ(load(vt::build_archive({{n257, "x", 0, 0x07}, {"", "", 0, 0x07}})), 0);
  ASSERT_EQ(g_archive.loaded.count(), 2);
  EXPECT_EQ(std::string(loaded(0).name), n257);
  EXPECT_STREQ(loaded(1).name.c_str(), "");
  EXPECT_EQ(view_pass(), 0);
  vt::release_state();

  EXPECT_EQ(load(vt::build_archive({{n258, "x", 0, 0x07}})), -1);
  vt::release_state();
  // A name that runs on to the end of the stream without its NUL.
  EXPECT_EQ(load(archive_with("", vt::u32le(1) + std::string(100, 'z'))), -1);
}

TEST_F(Load, DuplicateNamesInAnyCaseFailTheLoad) {
  EXPECT_EQ(load(vt::build_archive({{"Read.Me", "1", 0, 0x07}, {"rEAD.mE", "2", 0, 0x07}})), -1);
  vt::release_state();
  EXPECT_EQ(load(vt::build_archive({{"", "1", 0, 0x07}, {"", "2", 0, 0x07}})), -1);
  vt::release_state();
  // Names that differ only outside ASCII letters are distinct.
  ASSERT_EQ(load(vt::build_archive({{"a\xC4", "1", 0, 0x07}, {"A\xE4", "2", 0, 0x07}})), 0);
  EXPECT_EQ(g_archive.loaded.count(), 2);
}

TEST_F(Load, ShortFilesAndBadTrailers) {
  for (size_t n = 0; n < 4; ++n) {
    EXPECT_EQ(load(std::string(n, '\x01')), -1) << n;
    vt::release_state();
  }
  std::string good = vt::build_archive({{"a.txt", "abc", 0, 0x07}});
  // Offset past the trailer, and far past the file.
  std::string body = good.substr(0, good.size() - 4);
  EXPECT_EQ(load(body + trailer(static_cast<uint32_t>(body.size() + 1))), -1);
  vt::release_state();
  EXPECT_EQ(load(body + trailer(0xFFFFFFF0u)), -1);
  vt::release_state();
  // Offset inside the file but not at a stream.
  EXPECT_EQ(load(body + trailer(1)), -1);
  vt::release_state();
  // Nothing between offset and trailer.
  EXPECT_EQ(load(body + trailer(static_cast<uint32_t>(body.size()))), -1);
}

TEST_F(Load, DamagedStreamAndCutRecords) {
  std::string content = vt::u32le(2) + record("a", 0, 1, 0, 0x07) + record("b", 1, 1, 0, 0x07) + "xy";
  std::string bytes = archive_with("", content);
  std::string bad_header = bytes;
  bad_header[0] = 0x00;
  EXPECT_EQ(load(bad_header), -1);
  vt::release_state();

  // Compressed bytes cut in the middle of the first record.
  std::string z = vt::zcompress(content);
  EXPECT_EQ(load(z.substr(0, 6) + trailer(0)), -1);
  vt::release_state();

  // The count promises more records than the stream holds.
  EXPECT_EQ(load(archive_with("", vt::u32le(3) + record("a", 0, 0, 0, 0x07) + record("b", 0, 0, 0, 0x07))), -1);
  vt::release_state();
  // The last record one byte short of its fixed fields.
  std::string cut = vt::u32le(1) + record("a", 0, 0, 0, 0x07);
  cut.pop_back();
  EXPECT_EQ(load(archive_with("", cut)), -1);
  vt::release_state();
  // No count at all.
  EXPECT_EQ(load(archive_with("", "\x01\x00")), -1);
}

TEST_F(Load, HugeCountInATinyFileIsNotTrusted) {
  std::string bytes = archive_with("", vt::u32le(0xFFFFFFFFu) + record("a", 0, 0, 0, 0x07));
  ASSERT_LT(bytes.size(), 45u);
  EXPECT_EQ(load(bytes), -1);
  EXPECT_LE(g_archive.loaded.count(), 1);
  // Nothing was sized by the count: the table has room for about the one
  // record that is there, not for four billion.
  EXPECT_LE(g_archive.loaded.records.capacity(), RecordList::BLOCK);
  EXPECT_LE(g_archive.loaded.by_name.slots.size(), 64u);
  EXPECT_LE(g_archive.loaded.by_bare_name.slots.size(), 64u);
}

TEST_F(Load, StandaloneDataOutsideTheDataAreaIsRefused) {
  // A standalone entry after an in-directory one.
  EXPECT_EQ(load(archive_with("abc", vt::u32le(2) + record("in", 0, 1, 0, 0x07) +
                                          record("out", 0, 3, 0, 0x04) + "z")),
            -1);
  vt::release_state();
  // A standalone offset beyond the directory stream.
  EXPECT_EQ(load(archive_with("abc", vt::u32le(1) + record("out", 4, 3, 0, 0x04))), -1);
  vt::release_state();
  // Standalone offsets going backwards.
  EXPECT_EQ(load(archive_with("abcdef", vt::u32le(2) + record("p", 3, 3, 0, 0x04) +
                                             record("q", 0, 3, 0, 0x04))),
            -1);
  vt::release_state();
  // Empty stored files share an offset; that is sound.
  ASSERT_EQ(load(archive_with("abc", vt::u32le(3) + record("p", 0, 3, 0, 0x04) +
                                         record("e1", 3, 0, 0, 0x04) + record("e2", 3, 0, 0, 0x04))),
            0);
  EXPECT_EQ(g_run.data_start, 0u);
}

TEST_F(Load, SkipDirectoryStandsAtTheInDirectoryData) {
  std::string bytes = vt::build_archive(
      {{"s1", "standalone", 0, 0x01}, {std::string(200, 'L'), "first", 0, 0x07}, {"b", "second", 0, 0x03}});
  ASSERT_EQ(load(bytes), 0);
  ASSERT_EQ(skip_directory(), 0);
  char buf[11] = {0};
  ASSERT_EQ(inflate_read(buf, 11), 11u);
  EXPECT_EQ(std::string(buf, 11), "firstsecond");
  EXPECT_EQ(inflate_check_end(), 0);
  // Running it again starts over.
  ASSERT_EQ(skip_directory(), 0);
  ASSERT_EQ(inflate_read(buf, 5), 5u);
  EXPECT_EQ(std::string(buf, 5), "first");
}

TEST_F(Load, CheckStub) {
  struct Case { std::string bytes; int want; };
  for (const Case& c : {Case{"MZ", 0}, Case{"MZxxxx", 0}, Case{"M", -1}, Case{"", -1},
                        Case{"ZM", -1}, Case{"mz", -1}, Case{"MX", -1}}) {
    vt::write_file("stub.bin", c.bytes);
    int fd = pf_open_read("stub.bin");
    ASSERT_GE(fd, 0);
    pf_seek(fd, 1, PF_SEEK_SET);  // the test seeks to the start itself
    EXPECT_EQ(check_stub(fd), c.want) << c.bytes;
    if (c.want == 0) {
      EXPECT_EQ(pf_seek(fd, 0, PF_SEEK_CUR), 2);
    }
    pf_close(fd);
  }
}

// Every byte of a sound archive flipped, and the archive cut at every length:
// loading and viewing must answer 0 or -1 and never crash.  Damage inside the
// directory stream must be seen unless it changes nothing, damage to the stub
// or standalone data (which neither reads) must not be.
TEST_F(Load, DamagedArchiveLoop) {
  std::string stub = "MZ" + std::string(30, 's');
  std::string bytes = vt::build_archive(
      {{"alpha.txt", "standalone compressed data here", 0, 0x05},
       {"beta", "stored", 7, 0x04},
       {"gamma.dat", "in-directory data, first", 0, 0x07},
       {"delta", std::string(300, 'd'), 0, 0x03}},
      stub);
  vt::Parsed p;
  ASSERT_TRUE(vt::parse_archive(bytes, &p));
  const size_t dir_off = p.dir_offset;
  const size_t end = bytes.size() - 4;

  std::string original;
  ASSERT_TRUE(vt::zinflate(bytes.substr(dir_off, end - dir_off), &original));
  for (size_t i = 0; i < bytes.size(); ++i) {
    for (unsigned char mask : {0xFF, 0x01, 0x80}) {
      std::string damaged = bytes;
      damaged[i] = static_cast<char>(damaged[i] ^ mask);
      int r = load_and_view(damaged);
      ASSERT_TRUE(r == 0 || r == -1) << "byte " << i << " mask " << int(mask) << " gave " << r;
      if (i < stub.size()) {
        EXPECT_EQ(r, 0) << "byte " << i << " lies in the stub, which is never examined";
      } else if (i < dir_off && r == 0) {
        // Standalone data: a stored entry has no checksum, so a flip there
        // may pass; compressed data may pass only when it still inflates to
        // the same bytes, exactly filling its place.
        vt::Parsed q;
        ASSERT_TRUE(vt::parse_archive(damaged, &q)) << "byte " << i << ": " << q.error;
        ASSERT_EQ(q.entries.size(), p.entries.size());
        for (size_t k = 0; k < q.entries.size(); ++k) {
          if (p.entries[k].flags & 0x01) {
            EXPECT_EQ(q.entries[k].data, p.entries[k].data)
                << "byte " << i << " mask " << int(mask) << " passed with changed content";
          }
        }
      } else if (i >= dir_off && i < end && r == 0) {
        // Deflate has bits that change nothing (unused code lengths,
        // padding); a flip may pass only when the content is unchanged.
        std::string content;
        EXPECT_TRUE(vt::zinflate(damaged.substr(dir_off, end - dir_off), &content) &&
                    content == original)
            << "byte " << i << " mask " << int(mask) << " passed with changed content";
      }
      vt::release_state();
    }
  }

  for (size_t n = 0; n < bytes.size(); ++n) {
    int r = load_and_view(bytes.substr(0, n));
    ASSERT_TRUE(r == 0 || r == -1) << n;
    vt::release_state();
  }
}

}  // namespace
