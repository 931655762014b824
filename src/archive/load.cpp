// load.cpp -- reading an archive's trailer and directory into the loaded
// table, stepping over the directory to the in-directory data, and the stub
// test.
#include <cstring>

#include "archive/entry_table.h"
#include "archive/load.h"
#include "archive/streams.h"
#include "base/failure.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "platform/platform.h"

namespace {

// Hands out the decompressed bytes of the directory stream a buffer at a
// time, so that records are decoded one by one without a call into zlib per
// byte.  Nothing is sized by the count field: a record that is not there is a
// short read.
struct DirectoryReader {
  unsigned char buf[4096];
  uint32_t pos = 0;
  uint32_t len = 0;

  // 0, or -1 when the stream has nothing more to give.
  int refill() {
    pos = 0;
    len = inflate_read_some(buf, sizeof buf);
    return len > 0 ? 0 : -1;
  }
  int byte(unsigned char* out) {
    if (pos == len && refill() != 0) return -1;
    *out = buf[pos++];
    return 0;
  }
  int bytes(unsigned char* out, uint32_t n) {
    while (n > 0) {
      if (pos == len && refill() != 0) return -1;
      uint32_t take = len - pos < n ? len - pos : n;
      std::memcpy(out, buf + pos, take);
      pos += take;
      out += take;
      n -= take;
    }
    return 0;
  }
};

}  // namespace

int load_directory() {
  RunState& run = g_run;
  int fd = run.archive_fd;
  if (fd < 0) return -1;

  const std::string& path = g_settings.archive_path;
  int64_t file_size = pf_seek(fd, 0, PF_SEEK_END);
  if (file_size < 0) return fail_system("cannot read the archive", path);
  if (file_size < static_cast<int64_t>(TRAILER_SIZE))
    return fail_note("not an archive", path, "(too short to hold a trailer)");
  uint8_t trailer[TRAILER_SIZE];
  if (pf_seek(fd, file_size - static_cast<int64_t>(TRAILER_SIZE), PF_SEEK_SET) < 0) return -1;
  if (pf_read(fd, trailer, TRAILER_SIZE) != static_cast<int64_t>(TRAILER_SIZE))
    return fail_system("cannot read the archive", path);
  uint32_t directory_offset = trailer_decode(get_u32le(trailer));
  // The directory stream lies between its offset and the trailer.
  if (static_cast<int64_t>(directory_offset) > file_size - static_cast<int64_t>(TRAILER_SIZE)) {
    return fail_note("not an archive", path, "(no valid trailer)");
  }

  if (inflate_open(fd, directory_offset) != 0) return -1;
  std::unique_ptr<DirectoryReader> in(new (std::nothrow) DirectoryReader());
  if (!in) return -1;

  uint8_t word[4];
  if (in->bytes(word, 4) != 0) return -1;
  uint32_t count = get_u32le(word);
  if (count > MAX_ENTRIES) return -1;

  EntryTable& table = g_archive.loaded;
  char name[MAX_NAME_LENGTH + 3];  // 258 bytes read at most, plus a spare NUL
  uint32_t data_start = directory_offset;
  int seen_in_directory = 0;
  for (uint32_t r = 0; r < count; ++r) {
    size_t len = 0;
    for (;;) {
      unsigned char c;
      if (in->byte(&c) != 0) return -1;
      if (c == 0) break;
      name[len++] = static_cast<char>(c);
      if (len == MAX_NAME_LENGTH + 1) return -1;  // 258 bytes without a NUL
    }
    name[len] = '\0';
    uint8_t fixed[RECORD_FIXED_SIZE];
    if (in->bytes(fixed, RECORD_FIXED_SIZE) != 0) return -1;
    uint32_t offset = get_u32le(fixed);
    uint32_t size = get_u32le(fixed + 4);
    uint32_t key_hash = get_u32le(fixed + 8);
    uint8_t flags = fixed[12];

    // Standalone data lies in the data area, in directory order, before every
    // in-directory entry; a directory that says otherwise is damaged, and the
    // lengths the rewrite derives from these offsets would be nonsense.
    if (!(flags & FILE_IN_DIRECTORY)) {
      if (seen_in_directory) return -1;
      if (offset > directory_offset) return -1;
      if (r == 0) data_start = offset;
    } else {
      seen_in_directory = 1;
    }

    if (entry_table_add(table, name, offset, size, key_hash, flags, 1) != 0) return -1;
  }

  // Each standalone region runs to the next standalone offset (the directory
  // offset for the last): regions follow each other without gap or overlap.
  for (int i = 0; i < table.count(); ++i) {
    EntryRecord& e = *table.records[static_cast<size_t>(i)];
    if (e.loaded_flags & ENTRY_IN_DIRECTORY) break;
    uint32_t end = directory_offset;
    if (i + 1 < table.count()) {
      const EntryRecord& next = *table.records[static_cast<size_t>(i) + 1];
      if (!(next.loaded_flags & ENTRY_IN_DIRECTORY)) end = next.offset;
    }
    if (end < e.offset) return -1;
    const uint32_t length = end - e.offset;
    if (e.loaded_flags & ENTRY_COMPRESSED) {
      if (length < MIN_ZLIB_STREAM) return -1;
    } else if (length != e.size) {
      return -1;
    }
    e.region_end = end;
  }

  run.directory_offset = directory_offset;
  run.data_start = data_start;
  run.archive_size = file_size;
  return 0;
}

int64_t directory_records_length() {
  // The records of the loaded table came from this very stream, so their
  // lengths (name, NUL, 13 fixed bytes) behind the 4-byte count are known.
  int64_t length = RECORD_COUNT_SIZE;
  for (const auto& rec : g_archive.loaded.records) length += record_length(rec->name.size());
  return length;
}

int skip_directory() {
  if (copy_buffer() == nullptr) return -1;
  if (inflate_open(g_run.archive_fd, g_run.directory_offset) != 0) return -1;
  return skip_stream(directory_records_length());
}

int standalone_stream_check(const EntryRecord& e) {
  if (inflate_check_end() != 0) return -1;
  return static_cast<uint64_t>(e.offset) + inflate_consumed() == e.region_end ? 0 : -1;
}

int check_stub(int fd) {
  if (pf_seek(fd, 0, PF_SEEK_SET) != 0) return -1;
  char c = 0;
  if (pf_read(fd, &c, 1) != 1 || c != 'M') return -1;
  if (pf_read(fd, &c, 1) != 1 || c != 'Z') return -1;
  return 0;
}
