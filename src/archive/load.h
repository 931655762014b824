// load.h -- loading an archive's directory into the loaded table, and the
// checks that go with it.
#ifndef VORN_ARCHIVE_LOAD_H
#define VORN_ARCHIVE_LOAD_H

#include <cstdint>

#include "archive/entry_table.h"

// Reads the trailer and the directory of the archive open in run.archive_fd
// into the loaded table; sets the directory offset and the data start.  0, or
// -1 on any damage (short trailer, offset out of the file, stream that does
// not inflate, cut records, a name of 258 bytes without NUL, a duplicate
// name, a count larger than the stream can hold or than MAX_ENTRIES, a
// standalone entry behind an in-directory entry, or standalone regions that
// overlap or leave gaps).  Each standalone entry owns the region from its
// offset to the next standalone entry's offset (the directory offset for the
// last): a stored entry's size must be exactly its region's length, and a
// compressed entry's region must hold at least the shortest zlib stream
// (MIN_ZLIB_STREAM bytes), so no two records can share data.  Records are
// read one by one, never sized by the count, so memory follows what the
// stream really holds.  On failure the records read so far stay in the loaded
// table.
int load_directory();

// The most entries an archive may hold: the loader refuses a larger count
// before it reads a record, and the rewrite refuses to write one.
constexpr uint32_t MAX_ENTRIES = 1u << 20;
// The shortest zlib stream: 2 header bytes, an empty final block, Adler-32.
constexpr uint32_t MIN_ZLIB_STREAM = 8;

// After a standalone entry's `size` bytes were inflated from its offset: 0
// when the stream ends right there with a valid checksum and its last byte is
// the last byte of the entry's region; -1 otherwise (bytes of another entry,
// or junk, would follow unread).
int standalone_stream_check(const EntryRecord& e);

// Bytes the record count and the loaded table's records take at the front
// of the decompressed directory stream: where its in-directory data begins.
int64_t directory_records_length();

// Starts the read stream at the old directory offset and reads past the count
// and as many records as the loaded table holds (their lengths are known from
// the loaded names), leaving the stream at the first byte of in-directory
// data.  0, or -1.
int skip_directory();

// 0 when the file begins with "MZ", -1 otherwise.  Leaves the position after
// the bytes read.
int check_stub(int fd);

#endif
