// duplicates.cpp -- the duplicate finder ("-redund:", "-rfind:").
//
// Every entry's data is read once to compute its content CRC (the in-directory
// data in one front-to-back pass of the shared read stream, standalone entries
// from their offsets), together with a 64-bit digest of the same bytes.
// Entries of equal size, CRC and digest are candidates, found through an index
// on all three; a candidate counts as a copy only when its bytes equal those of
// the earlier entry, so a CRC collision never removes an entry, and entries
// forged to share a CRC are told apart by the digest without comparing them.
// The report lists, for each entry that has later copies, one line
// "first,copy\r\n" per copy, in the order of a walk of the table for the
// first entry and then the copy; each reported copy is queued as a delete
// spec, and the report itself as an add spec, for the rewrite that follows.
#include "operations/duplicates.h"

#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/collection.h"
#include "archive/entry_table.h"
#include "archive/indir_walk.h"
#include "archive/load.h"
#include "archive/streams.h"
#include "base/activity.h"
#include "base/failure.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "operations/content_compare.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t WORK_BUFFER_SIZE = 100000;

// The four operation-mode settings, saved around the finder's own specs.
struct SavedModes {
  int add_mode, modify_only, delete_mode, extract_mode;
};

SavedModes save_modes() {
  const Settings& s = g_settings;
  return {s.add_mode, s.modify_only, s.delete_mode, s.extract_mode};
}

void set_modes(int add, int modify, int del, int extract) {
  Settings& s = g_settings;
  s.add_mode = add;
  s.modify_only = modify;
  s.delete_mode = del;
  s.extract_mode = extract;
}

// CRC and digest of `size` bytes: the current entry of `walk`, or (walk
// nullptr) bytes produced by the shared read stream.
int crc_from_stream(uint32_t size, unsigned char* work, IndirWalk* walk, uint32_t* crc,
                    uint64_t* digest) {
  uint32_t v = 0;
  ContentDigest d;
  digest_start(d);
  while (size > 0) {
    uint32_t piece = size > WORK_BUFFER_SIZE ? WORK_BUFFER_SIZE : size;
    if (walk != nullptr ? indir_read(*walk, work, piece) != 0 : inflate_read(work, piece) != piece)
      return -1;
    v = crc32_update(v, work, piece);
    digest_update(d, work, piece);
    progress_bytes(piece);
    size -= piece;
  }
  *crc = v;
  *digest = digest_finish(d);
  return 0;
}

// CRC and digest of `size` bytes read directly from the archive's current
// position.
int crc_from_file(uint32_t size, unsigned char* work, uint32_t* crc, uint64_t* digest) {
  uint32_t v = 0;
  ContentDigest d;
  digest_start(d);
  while (size > 0) {
    uint32_t piece = size > WORK_BUFFER_SIZE ? WORK_BUFFER_SIZE : size;
    int64_t got = pf_read(g_run.archive_fd, work, piece);
    if (got < 1) return -1;
    v = crc32_update(v, work, static_cast<size_t>(got));
    digest_update(d, work, static_cast<size_t>(got));
    progress_bytes(got);
    size -= static_cast<uint32_t>(got);
  }
  *crc = v;
  *digest = digest_finish(d);
  return 0;
}

// Sets content_crc of every loaded record, and (*digests)[i] to the digest
// of record i's contents.
int hash_entries(unsigned char* work, std::vector<uint64_t>* digests) {
  EntryTable& loaded = g_archive.loaded;
  digests->assign(static_cast<size_t>(loaded.count()), 0);
  bool any_in_directory = false;
  for (const auto& rec : loaded.records)
    if (rec->loaded_flags & ENTRY_IN_DIRECTORY) any_in_directory = true;

  if (any_in_directory) {
    IndirWalk walk;
    indir_open(walk);
    for (int i = 0; (i = indir_next(walk)) >= 0;) {
      EntryRecord& rec = *loaded.records[static_cast<size_t>(i)];
      progress_entry(rec.name);
      if (crc_from_stream(rec.size, work, &walk, &rec.content_crc,
                          &(*digests)[static_cast<size_t>(i)]) != 0)
        return -1;
    }
    // Damaged in-directory data shows only in the checksum at the end.
    if (indir_finish(walk) != 0) return -1;
  }
  for (size_t i = 0; i < loaded.records.size(); ++i) {
    EntryRecord& rec = *loaded.records[i];
    if (rec.loaded_flags & ENTRY_IN_DIRECTORY) continue;
    progress_entry(rec.name);
    if (rec.loaded_flags & ENTRY_COMPRESSED) {
      if (inflate_open(g_run.archive_fd, rec.offset) != 0) return -1;
      if (crc_from_stream(rec.size, work, nullptr, &rec.content_crc, &(*digests)[i]) != 0)
        return -1;
      inflate_close();
    } else {
      if (pf_seek(g_run.archive_fd, rec.offset, PF_SEEK_SET) !=
          static_cast<int64_t>(rec.offset))
        return -1;
      if (crc_from_file(rec.size, work, &rec.content_crc, &(*digests)[i]) != 0) return -1;
    }
  }
  return 0;
}

// A set of entries with equal bytes: its first entry and its latest one.
struct ContentClass {
  int first;
  int last;
};

// Splits the candidates of one (size, CRC), which are not all equal, into
// classes of really equal contents, comparing each with the latest member of
// every class so far.
int split_group(EntryComparer& comparer, const std::vector<int>& members,
                std::vector<int>* first_of, std::vector<int>* next_copy) {
  std::vector<ContentClass> classes;
  size_t latest = 0;
  for (int i : members) {
    int joined = -1;
    // The class the previous candidate joined first, then the others.
    const size_t n = classes.size();
    for (size_t step = 0; step < n && joined < 0; ++step) {
      const size_t k = (latest + step) % n;
      int same = 0;
      if (comparer_equal(comparer, classes[k].last, i, &same) != 0) return -1;
      if (same) joined = static_cast<int>(k);
    }
    if (joined < 0) {
      classes.push_back({i, i});
      joined = static_cast<int>(classes.size() - 1);
    } else {
      ContentClass& cls = classes[static_cast<size_t>(joined)];
      (*next_copy)[static_cast<size_t>(cls.last)] = i;
      cls.last = i;
    }
    latest = static_cast<size_t>(joined);
    (*first_of)[static_cast<size_t>(i)] = classes[latest].first;
  }
  return 0;
}

// Entries with equal size, CRC and digest are candidates for a copy.
struct CandidateKey {
  uint64_t size_and_crc;
  uint64_t digest;
  bool operator==(const CandidateKey& o) const {
    return size_and_crc == o.size_and_crc && digest == o.digest;
  }
};

struct CandidateKeyHash {
  size_t operator()(const CandidateKey& k) const {
    return std::hash<uint64_t>()(k.digest ^ (k.size_and_crc * 0x9E3779B97F4A7C15ULL));
  }
};

// Puts every entry into its class of equal contents.  next_copy[i] links the
// members of a class in table order (-1 at the end); first_of[i] is the first
// member of i's class.
//
// Candidates are the entries of one (size, CRC, digest): entries that differ
// in the digest cannot be equal, so a forged CRC collision never makes a
// candidate.  Each is first compared with the candidate before it, all pairs
// in a few forward passes; a group whose pairs are all equal is one class.
// Only a group with a collision of both hashes in it is split by comparing
// its members one by one.
int classify_entries(unsigned char* work, const std::vector<uint64_t>& digests,
                     std::vector<int>* first_of, std::vector<int>* next_copy) {
  const EntryTable& loaded = g_archive.loaded;
  const int count = loaded.count();
  first_of->assign(static_cast<size_t>(count), -1);
  next_copy->assign(static_cast<size_t>(count), -1);

  // The index on (size, CRC, digest): group of each entry, members in table
  // order.
  std::unordered_map<CandidateKey, int, CandidateKeyHash> group_of_key;
  group_of_key.reserve(static_cast<size_t>(count));
  std::vector<std::vector<int>> groups;
  std::vector<int> prev(static_cast<size_t>(count), -1);
  bool any_pair = false;
  for (int i = 0; i < count; ++i) {
    const EntryRecord& e = *loaded.records[static_cast<size_t>(i)];
    const CandidateKey key{(static_cast<uint64_t>(e.size) << 32) | e.content_crc,
                           digests[static_cast<size_t>(i)]};
    auto found = group_of_key.emplace(key, static_cast<int>(groups.size()));
    if (found.second) groups.emplace_back();
    std::vector<int>& members = groups[static_cast<size_t>(found.first->second)];
    if (!members.empty()) {
      prev[static_cast<size_t>(i)] = members.back();
      any_pair = true;
    }
    members.push_back(i);
  }

  EntryComparer comparer;
  std::vector<signed char> same;
  if (any_pair) {
    if (comparer_init(comparer, work, work + WORK_BUFFER_SIZE / 2, WORK_BUFFER_SIZE / 2) != 0)
      return -1;
    if (comparer_check_pairs(comparer, prev, &same) != 0) return -1;
  }
  for (const std::vector<int>& members : groups) {
    bool all_equal = true;
    for (size_t k = 1; k < members.size() && all_equal; ++k)
      all_equal = same[static_cast<size_t>(members[k])] == 1;
    if (all_equal) {
      for (size_t k = 0; k < members.size(); ++k) {
        (*first_of)[static_cast<size_t>(members[k])] = members[0];
        if (k + 1 < members.size())
          (*next_copy)[static_cast<size_t>(members[k])] = members[k + 1];
      }
    } else if (split_group(comparer, members, first_of, next_copy) != 0) {
      return -1;
    }
  }
  return 0;
}

// Collects report text in the work buffer and writes it out when full.
struct ReportWriter {
  unsigned char* buffer;
  uint32_t capacity;
  uint32_t used = 0;

  int flush() {
    if (used == 0) return 0;
    int64_t put = pf_write(g_run.report_fd, buffer, used);
    if (put != static_cast<int64_t>(used)) return -1;
    used = 0;
    return 0;
  }
  int add(const std::string& line) {
    if (line.size() > capacity - used && flush() != 0) return -1;
    if (line.size() > capacity) {
      int64_t put = pf_write(g_run.report_fd, line.data(), line.size());
      return put == static_cast<int64_t>(line.size()) ? 0 : -1;
    }
    std::memcpy(buffer + used, line.data(), line.size());
    used += static_cast<uint32_t>(line.size());
    return 0;
  }
};

// Writes the report lines and queues a delete spec for every reported copy.
// kept[i] is set for every entry that stays as the first of copies removed.
int report_copies(unsigned char* work, const std::vector<int>& first_of,
                  const std::vector<int>& next_copy, std::vector<char>* kept) {
  const EntryTable& loaded = g_archive.loaded;
  Settings& s = g_settings;
  ReportWriter report{work, WORK_BUFFER_SIZE};
  for (int i = 0; i < loaded.count(); ++i) {
    if (first_of[static_cast<size_t>(i)] != i) continue;  // itself a later copy
    const std::string& first = loaded.records[static_cast<size_t>(i)]->name;
    for (int j = next_copy[static_cast<size_t>(i)]; j >= 0; j = next_copy[static_cast<size_t>(j)]) {
      const EntryRecord& copy = *loaded.records[static_cast<size_t>(j)];
      if (!report_prefix_match(copy.name.c_str())) continue;
      if (report.add(first + "," + copy.name.c_str() + "\r\n") != 0) return -1;
      (*kept)[static_cast<size_t>(i)] = 1;
      // The delete spec must open the copy's key.
      s.new_key_hash = copy.key_hash;
      s.match_key_hash = copy.key_hash;
      if (add_file_spec_literal(copy.name.c_str()) != 0) return -1;
    }
  }
  return report.flush();
}

// The report is stored under its own name and replaces the entry of that
// name.  It may not replace an entry kept as the first of removed copies (its
// contents would leave the archive with the copies), nor an entry whose key
// the report's spec does not open (the report would not be stored, while the
// copies it lists would still be removed).  1 when the report is blocked.
int report_blocked(const std::vector<char>& kept) {
  const Settings& s = g_settings;
  const EntryTable& loaded = g_archive.loaded;
  const char* name = s.report_path.c_str();
  const int i = entry_table_find(loaded, stored_name(name, s.store_paths != 0).c_str());
  if (i < 0) return 0;
  const EntryRecord& e = *loaded.records[static_cast<size_t>(i)];
  if (kept[static_cast<size_t>(i)]) return 1;
  if (e.key_hash != 0 && e.key_hash != s.match_key_hash) return 1;
  return 0;
}

}  // namespace

int report_prefix_match(const char* name) {
  const std::vector<std::string>& prefixes = g_settings.report_prefixes;
  if (prefixes.empty()) return 1;
  if (name == nullptr) return 0;
  const size_t length = std::strlen(name);
  for (const std::string& p : prefixes) {
    if (p.size() <= length && std::memcmp(name, p.data(), p.size()) == 0) return 1;
  }
  return 0;
}

int find_duplicate_entries() {
  std::vector<unsigned char> work;
  try {
    work.assign(WORK_BUFFER_SIZE, 0);
  } catch (const std::bad_alloc&) {
    return fail_note("out of memory", "", "");
  }
  const SavedModes saved = save_modes();
  int rc = -1;
  std::vector<char> kept;
  try {
    std::vector<int> first_of, next_copy;
    kept.assign(static_cast<size_t>(g_archive.loaded.count()), 0);
    std::vector<uint64_t> digests;
    if (hash_entries(work.data(), &digests) == 0 &&
        classify_entries(work.data(), digests, &first_of, &next_copy) == 0) {
      set_modes(0, 0, 1, 0);
      if (report_copies(work.data(), first_of, next_copy, &kept) == 0) rc = 0;
    }
  } catch (const std::bad_alloc&) {
    rc = fail_note("out of memory", "", "");
  }
  if (rc == 0) {
    set_modes(1, 0, 0, 0);
    RunState& run = g_run;
    // A report that cannot be closed may not be complete on disk.
    if (run.report_fd >= 0 && pf_close(run.report_fd) != 0) rc = -1;
    run.report_fd = -1;
    // The report is stored in the archive under the key settings left by the
    // last queued copy.
    if (rc == 0 && g_archive.specs.count() > 0) {
      if (add_file_spec_literal(g_settings.report_path.c_str()) != 0 || report_blocked(kept))
        rc = -1;
    }
  }
  Settings& s = g_settings;
  s.add_mode = saved.add_mode;
  s.modify_only = saved.modify_only;
  s.delete_mode = saved.delete_mode;
  s.extract_mode = saved.extract_mode;
  return rc;
}
