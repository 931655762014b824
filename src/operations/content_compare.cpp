// content_compare.cpp -- confirming equal contents byte by byte through
// private inflaters.
#include "operations/content_compare.h"

#include <cstring>
#include <new>
#include <unordered_map>

#include "archive/entry_table.h"
#include "archive/indir_walk.h"
#include "archive/load.h"
#include "base/failure.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "platform/platform.h"

namespace {

void cursor_end(CompareCursor& cur) {
  if (cur.active) inflateEnd(&cur.z);
  cur.active = 0;
  cur.broken = 0;
  cur.stream_offset = -1;
  cur.produced = 0;
}

// Starts the cursor on the zlib stream at `offset`.
int cursor_start(CompareCursor& cur, int64_t offset) {
  cursor_end(cur);
  std::memset(&cur.z, 0, sizeof cur.z);
  if (inflateInit(&cur.z) != Z_OK) return -1;
  cur.active = 1;
  cur.stream_offset = offset;
  cur.file_position = offset;
  return 0;
}

// Produces exactly n bytes into dst (nullptr: into `scratch`, discarded).
// 0, or -1 on a read error, damaged data or an early end of the stream.
int cursor_read(CompareCursor& cur, unsigned char* dst, uint32_t n) {
  if (!cur.active || cur.broken) return -1;
  cur.z.next_out = dst;
  cur.z.avail_out = n;
  const int fd = g_run.archive_fd;
  while (cur.z.avail_out > 0) {
    if (cur.z.avail_in == 0) {
      // Other readers move the descriptor: seek before every read.
      if (pf_seek(fd, cur.file_position, PF_SEEK_SET) != cur.file_position) break;
      int64_t got = pf_read(fd, cur.input.data(), cur.input.size());
      if (got < 1) break;
      cur.file_position += got;
      cur.z.next_in = cur.input.data();
      cur.z.avail_in = static_cast<uInt>(got);
    }
    const uInt before = cur.z.avail_out;
    int r = inflate(&cur.z, Z_NO_FLUSH);
    cur.produced += before - cur.z.avail_out;
    if (r == Z_OK) continue;
    if (r == Z_BUF_ERROR && cur.z.avail_in == 0) continue;  // needs input
    if (r == Z_STREAM_END && cur.z.avail_out == 0) {
      cur.broken = 1;  // nothing more to read from it
      cur.z.next_out = nullptr;
      return 0;
    }
    break;
  }
  cur.z.next_out = nullptr;
  if (cur.z.avail_out == 0) return 0;
  cur.z.avail_out = 0;
  cur.broken = 1;
  return -1;
}

// Reads and discards n bytes.
int cursor_skip(CompareCursor& cur, uint64_t n, unsigned char* scratch, uint32_t chunk) {
  while (n > 0) {
    uint32_t piece = n > chunk ? chunk : static_cast<uint32_t>(n);
    if (cursor_read(cur, scratch, piece) != 0) return -1;
    n -= piece;
  }
  return 0;
}

// Where one side of a comparison reads from.
struct Side {
  CompareCursor* cursor = nullptr;  // nullptr: stored standalone, read directly
  int64_t raw_position = 0;
};

// The cursor to use for reading decompressed position `position` of the
// stream at `offset`: the furthest one not past it, else the least recently
// used one restarted.  Never `exclude`.
CompareCursor* pick_cursor(EntryComparer& c, int64_t offset, uint64_t position,
                           const CompareCursor* exclude, unsigned char* scratch) {
  CompareCursor* best = nullptr;
  for (CompareCursor& cur : c.cursors) {
    if (&cur == exclude || !cur.active || cur.broken || cur.stream_offset != offset) continue;
    if (cur.produced > position) continue;
    if (!best || cur.produced > best->produced) best = &cur;
  }
  if (!best) {
    for (CompareCursor& cur : c.cursors) {
      if (&cur == exclude) continue;
      if (!best || cur.last_use < best->last_use) best = &cur;
    }
    if (cursor_start(*best, offset) != 0) return nullptr;
  }
  best->last_use = ++c.clock;
  if (cursor_skip(*best, position - best->produced, scratch, c.chunk) != 0) return nullptr;
  return best;
}

// Positions a side at the start of entry i's data.  `scratch` is a chunk
// buffer free for discarding data.
int open_side(EntryComparer& c, int i, const CompareCursor* exclude,
              unsigned char* scratch, Side* side) {
  const EntryRecord& e = *g_archive.loaded.records[static_cast<size_t>(i)];
  side->cursor = nullptr;
  if (e.loaded_flags & ENTRY_IN_DIRECTORY) {
    side->cursor = pick_cursor(c, g_run.directory_offset,
                               static_cast<uint64_t>(c.stream_position[static_cast<size_t>(i)]),
                               exclude, scratch);
    return side->cursor ? 0 : -1;
  }
  if (e.loaded_flags & ENTRY_COMPRESSED) {
    side->cursor = pick_cursor(c, e.offset, 0, exclude, scratch);
    return side->cursor ? 0 : -1;
  }
  side->raw_position = e.offset;
  return 0;
}

int read_side(Side& side, unsigned char* dst, uint32_t n) {
  if (side.cursor) return cursor_read(*side.cursor, dst, n);
  const int fd = g_run.archive_fd;
  if (pf_seek(fd, side.raw_position, PF_SEEK_SET) != side.raw_position) return -1;
  if (pf_read(fd, dst, n) != static_cast<int64_t>(n)) return -1;
  side.raw_position += n;
  return 0;
}

}  // namespace

namespace {

uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

void sip_round(ContentDigest& d) {
  d.v0 += d.v1;
  d.v1 = rotl(d.v1, 13);
  d.v1 ^= d.v0;
  d.v0 = rotl(d.v0, 32);
  d.v2 += d.v3;
  d.v3 = rotl(d.v3, 16);
  d.v3 ^= d.v2;
  d.v0 += d.v3;
  d.v3 = rotl(d.v3, 21);
  d.v3 ^= d.v0;
  d.v2 += d.v1;
  d.v1 = rotl(d.v1, 17);
  d.v1 ^= d.v2;
  d.v2 = rotl(d.v2, 32);
}

void sip_word(ContentDigest& d, uint64_t m) {
  d.v3 ^= m;
  sip_round(d);
  sip_round(d);
  d.v0 ^= m;
}

}  // namespace

void digest_start(ContentDigest& d) {
  const uint64_t k0 = 0x766f726e64757073ULL, k1 = 0x636f6e74656e7473ULL;
  d.v0 = k0 ^ 0x736f6d6570736575ULL;
  d.v1 = k1 ^ 0x646f72616e646f6dULL;
  d.v2 = k0 ^ 0x6c7967656e657261ULL;
  d.v3 = k1 ^ 0x7465646279746573ULL;
  d.tail = 0;
  d.tail_bytes = 0;
  d.total = 0;
}

void digest_update(ContentDigest& d, const unsigned char* bytes, size_t n) {
  d.total += n;
  size_t k = 0;
  while (k < n && d.tail_bytes != 0) {
    d.tail |= static_cast<uint64_t>(bytes[k++]) << (8 * d.tail_bytes);
    if (++d.tail_bytes == 8) {
      sip_word(d, d.tail);
      d.tail = 0;
      d.tail_bytes = 0;
    }
  }
  for (; k + 8 <= n; k += 8) {
    uint64_t m = 0;
    for (int b = 0; b < 8; ++b) m |= static_cast<uint64_t>(bytes[k + b]) << (8 * b);
    sip_word(d, m);
  }
  for (; k < n; ++k) d.tail |= static_cast<uint64_t>(bytes[k]) << (8 * d.tail_bytes++);
}

uint64_t digest_finish(ContentDigest& d) {
  sip_word(d, d.tail | (d.total << 56));
  d.v2 ^= 0xff;
  for (int r = 0; r < 4; ++r) sip_round(d);
  return d.v0 ^ d.v1 ^ d.v2 ^ d.v3;
}

EntryComparer::~EntryComparer() {
  for (CompareCursor& cur : cursors) cursor_end(cur);
  cursor_end(sweep);
}

int comparer_init(EntryComparer& c, unsigned char* left, unsigned char* right,
                  uint32_t chunk) {
  if (!left || !right || chunk == 0) return -1;
  c.left = left;
  c.right = right;
  c.chunk = chunk;
  const EntryTable& loaded = g_archive.loaded;
  try {
    for (CompareCursor& cur : c.cursors) cur.input.assign(COMPARE_INPUT_SIZE, 0);
    c.sweep.input.assign(COMPARE_INPUT_SIZE, 0);
    c.stream_position.assign(static_cast<size_t>(loaded.count()), -1);
  } catch (const std::bad_alloc&) {
    return fail_note("out of memory", "", "");
  }
  // The decompressed directory stream: the count, every record, then the
  // in-directory data in table order.
  int64_t position = directory_records_length();
  for (int i = 0; i < loaded.count(); ++i) {
    const EntryRecord& e = *loaded.records[static_cast<size_t>(i)];
    if (!(e.loaded_flags & ENTRY_IN_DIRECTORY)) continue;
    c.stream_position[static_cast<size_t>(i)] = position;
    position += e.size;
  }
  return 0;
}

int comparer_equal(EntryComparer& c, int a, int b, int* equal) {
  const EntryTable& loaded = g_archive.loaded;
  if (a < 0 || b < 0 || a >= loaded.count() || b >= loaded.count()) return -1;
  const EntryRecord& ea = *loaded.records[static_cast<size_t>(a)];
  const EntryRecord& eb = *loaded.records[static_cast<size_t>(b)];
  if (ea.size != eb.size || a == b || ea.size == 0) {
    *equal = ea.size == eb.size ? 1 : 0;
    return 0;
  }

  Side sa, sb;
  if (open_side(c, a, nullptr, c.left, &sa) != 0) return -1;
  if (open_side(c, b, sa.cursor, c.right, &sb) != 0) return -1;
  uint32_t remaining = ea.size;
  while (remaining > 0) {
    const uint32_t piece = remaining > c.chunk ? c.chunk : remaining;
    if (read_side(sa, c.left, piece) != 0) return -1;
    if (read_side(sb, c.right, piece) != 0) return -1;
    if (std::memcmp(c.left, c.right, piece) != 0) {
      *equal = 0;
      return 0;
    }
    remaining -= piece;
  }
  *equal = 1;
  return 0;
}

namespace {

const EntryRecord& record(int i) { return *g_archive.loaded.records[static_cast<size_t>(i)]; }

bool in_directory(int i) { return (record(i).loaded_flags & ENTRY_IN_DIRECTORY) != 0; }

// The sweep's inflater as the source of an in-directory walk.
int sweep_read(void* context, unsigned char* dst, uint32_t n) {
  return cursor_read(*static_cast<CompareCursor*>(context), dst, n);
}

// One forward pass over the directory stream, checking the pending pairs whose
// earlier entry is standalone or fits into the memory kept.  Clears
// pending[j] for every pair it settled.
int sweep_pairs(EntryComparer& c, const std::vector<int>& prev, const std::vector<int>& next,
                std::vector<char>& pending, size_t* pending_count,
                std::vector<signed char>* same) {
  std::unordered_map<int, std::vector<unsigned char>> kept;
  uint64_t kept_bytes = 0;
  CompareCursor& cur = c.sweep;
  if (cursor_start(cur, g_run.directory_offset) != 0) return -1;
  ++c.sweeps;
  // Entries neither checked nor kept are passed by: the walk steps over them
  // when it next reads, and the stream behind the last pair is never read.
  IndirSource source;
  source.read = sweep_read;
  source.context = &cur;
  source.scratch = c.left;
  source.scratch_size = c.chunk;
  IndirWalk walk;
  indir_open_source(walk, source);
  int rc = 0;
  for (int i = 0; rc == 0 && (i = indir_next(walk)) >= 0;) {
    const uint32_t size = record(i).size;
    const int earlier = prev[static_cast<size_t>(i)];
    const bool check = pending[static_cast<size_t>(i)] &&
                       (!in_directory(earlier) || kept.count(earlier) != 0);
    // The earlier entry's kept bytes are read while this entry's bytes are
    // written over them, chunk by chunk: the buffer passes to this entry.
    const bool reuse = check && in_directory(earlier);
    const int later = next[static_cast<size_t>(i)];
    bool keep = later >= 0 && pending[static_cast<size_t>(later)] && size > 0 &&
                (reuse || kept_bytes + size <= c.keep_budget);
    if (!keep && !check) continue;

    unsigned char* const earlier_kept = reuse ? kept[earlier].data() : nullptr;
    unsigned char* keep_into = nullptr;
    if (keep && reuse) {
      keep_into = earlier_kept;
    } else if (keep) {
      try {
        std::vector<unsigned char>& buf = kept[i];
        buf.resize(size);
        keep_into = buf.data();
        kept_bytes += size;
      } catch (const std::bad_alloc&) {
        kept.erase(i);
        keep = false;
        if (!check) continue;
      }
    }
    Side other;
    if (check && !reuse && open_side(c, earlier, nullptr, c.right, &other) != 0) {
      rc = -1;
      break;
    }
    bool equal = true;
    for (uint32_t done = 0; done < size;) {
      const uint32_t piece = size - done > c.chunk ? c.chunk : size - done;
      if (indir_read(walk, c.left, piece) != 0) {
        rc = -1;
        break;
      }
      if (check && equal) {
        if (reuse) {
          equal = std::memcmp(c.left, earlier_kept + done, piece) == 0;
        } else if (read_side(other, c.right, piece) != 0) {
          rc = -1;
          break;
        } else {
          equal = std::memcmp(c.left, c.right, piece) == 0;
        }
      }
      if (keep_into) std::memcpy(keep_into + done, c.left, piece);
      done += piece;
    }
    if (rc != 0 || !check) continue;
    (*same)[static_cast<size_t>(i)] = equal ? 1 : 0;
    pending[static_cast<size_t>(i)] = 0;
    --*pending_count;
    if (reuse) {
      std::vector<unsigned char> buf = std::move(kept[earlier]);
      kept.erase(earlier);
      if (keep) {
        kept[i] = std::move(buf);
      } else {
        kept_bytes -= size;
      }
    }
  }
  cursor_end(cur);
  return rc;
}

}  // namespace

int comparer_check_pairs(EntryComparer& c, const std::vector<int>& prev,
                         std::vector<signed char>* same) {
  const int count = g_archive.loaded.count();
  if (static_cast<int>(prev.size()) != count) return -1;
  try {
    same->assign(static_cast<size_t>(count), -1);
    std::vector<int> next(static_cast<size_t>(count), -1);
    std::vector<char> pending(static_cast<size_t>(count), 0);
    size_t pending_count = 0;
    for (int j = 0; j < count; ++j) {
      const int p = prev[static_cast<size_t>(j)];
      if (p < 0) continue;
      if (p >= count || p == j) return -1;
      next[static_cast<size_t>(p)] = j;
      const EntryRecord& ej = record(j);
      if (record(p).size != ej.size) {
        (*same)[static_cast<size_t>(j)] = 0;
      } else if (ej.size == 0) {
        (*same)[static_cast<size_t>(j)] = 1;
      } else if (!in_directory(j) || (in_directory(p) && ej.size > c.keep_budget)) {
        // A standalone later entry (only in an archive out of order), or
        // entries too large to keep: compared directly.
        int equal = 0;
        if (comparer_equal(c, p, j, &equal) != 0) return -1;
        (*same)[static_cast<size_t>(j)] = static_cast<signed char>(equal);
      } else {
        pending[static_cast<size_t>(j)] = 1;
        ++pending_count;
      }
    }
    while (pending_count > 0) {
      const size_t before = pending_count;
      if (sweep_pairs(c, prev, next, pending, &pending_count, same) != 0) return -1;
      // Every sweep settles at least the first pair it can keep; a sweep that
      // settles nothing would repeat for ever.
      if (pending_count == before) return -1;
    }
  } catch (const std::bad_alloc&) {
    return fail_note("out of memory", "", "");
  }
  return 0;
}
