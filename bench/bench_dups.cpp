// bench_dups -- the duplicate finder over a large archive.
//
// Usage: bench_dups [entries = 50000] [entry bytes = 2000]
//
// Builds an archive of in-directory entries (plus a few standalone ones) in
// which about one entry in four repeats the contents of an earlier one, some
// of them far back and interleaved with others, and a few are empty.  Times
// the finder alone (in-process, after loading the directory), the finder on
// an archive of as many different entries forged to share one size and CRC,
// then a whole "-redund:" run that also rewrites the archive without the
// copies.
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/entry_table.h"
#include "archive/load.h"
#include "driver/driver.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "operations/duplicates.h"
#include "platform/platform.h"

namespace {

std::string compress_all(const std::string& data) {
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  std::string out(bound, '\0');
  compress2(reinterpret_cast<Bytef*>(&out[0]), &bound,
            reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()), 6);
  out.resize(bound);
  return out;
}

std::string body(int k, size_t bytes) {
  std::string s = "contents #" + std::to_string(k) + "\n";
  unsigned v = static_cast<unsigned>(k) * 2654435761u + 1;
  while (s.size() < bytes) {
    v = v * 1103515245u + 12345u;
    s += static_cast<char>('a' + (v >> 16) % 26);
  }
  s.resize(bytes);
  return s;
}

// Returns the archive bytes; *copies gets the number of entries that repeat
// an earlier one.
std::string build(int entries, size_t bytes, int* copies) {
  std::string file;
  std::string dir;
  uint8_t word[4];
  put_u32le(word, static_cast<uint32_t>(entries));
  dir.append(reinterpret_cast<char*>(word), 4);
  const int standalone = 8;
  std::vector<std::string> kept;  // distinct contents so far
  std::string data;
  unsigned v = 7;
  *copies = 0;
  for (int i = 0; i < entries; ++i) {
    v = v * 1664525u + 1013904223u;
    std::string content;
    if (i % 97 == 5) {
      content = "";  // empty entries are copies of the first empty one
      if (i > 5) ++*copies;
    } else if (!kept.empty() && (v >> 8) % 4 == 0) {
      content = kept[(v >> 12) % kept.size()];
      ++*copies;
    } else {
      content = body(i, bytes);
      kept.push_back(content);
    }
    char name[64];
    std::snprintf(name, sizeof name, "dir%02d\\file-%06d.dat", i % 40, i);
    if (i < standalone) {
      uint32_t at = static_cast<uint32_t>(file.size());
      std::string stored = compress_all(content);
      file += stored;
      encode_record(dir, name, at, static_cast<uint32_t>(content.size()), 0,
                    FILE_COMPRESSED | FILE_ATTR_L);
    } else {
      encode_record(dir, name, static_cast<uint32_t>(data.size()),
                    static_cast<uint32_t>(content.size()), 0,
                    FILE_COMPRESSED | FILE_IN_DIRECTORY | FILE_ATTR_L);
      data += content;
    }
  }
  uint32_t dir_offset = static_cast<uint32_t>(file.size());
  file += compress_all(dir + data);
  put_u32le(word, trailer_encode(dir_offset));
  file.append(reinterpret_cast<char*>(word), 4);
  return file;
}

// Four bytes that, appended to data whose CRC (from 0, uninverted) is
// `running`, make the CRC `target`.  Four bytes fed into the register from a
// value v give F(v ^ word) with F linear and invertible over GF(2), so the
// word is v ^ F^-1(target), F^-1 found by elimination on F's 32 columns.
uint32_t forcing_word(uint32_t running, uint32_t target) {
  uint32_t column[32], basis_image[32] = {}, basis_source[32] = {};
  for (int i = 0; i < 32; ++i) {
    uint8_t w[4];
    put_u32le(w, 1u << i);
    column[i] = crc32_update(0, w, 4);
  }
  for (int i = 0; i < 32; ++i) {
    uint32_t image = column[i], source = 1u << i;
    for (int bit = 31; bit >= 0 && image != 0; --bit) {
      if (!(image >> bit & 1)) continue;
      if (basis_image[bit] == 0) {
        basis_image[bit] = image;
        basis_source[bit] = source;
        break;
      }
      image ^= basis_image[bit];
      source ^= basis_source[bit];
    }
  }
  uint32_t want = target, x = 0;
  for (int bit = 31; bit >= 0; --bit) {
    if (want >> bit & 1) {
      want ^= basis_image[bit];
      x ^= basis_source[bit];
    }
  }
  return running ^ x;
}

// An archive of in-directory entries that all differ but share one size and
// one CRC, as a hostile archive could be made; every tenth one repeats an
// earlier entry.  *copies gets the number of repeats.
std::string build_forged(int entries, int* copies) {
  std::string dir, data;
  uint8_t word[4];
  put_u32le(word, static_cast<uint32_t>(entries));
  dir.append(reinterpret_cast<char*>(word), 4);
  *copies = 0;
  for (int i = 0; i < entries; ++i) {
    char text[32];
    int k = i;
    if (i % 10 == 9) {
      k = i / 2 - (i / 2) % 10;  // an entry that is not itself a repeat
      ++*copies;
    }
    std::snprintf(text, sizeof text, "entry%07d", k);
    std::string content = text;
    put_u32le(word, forcing_word(crc32_update(0, content.data(), content.size()), 0x12345678u));
    content.append(reinterpret_cast<char*>(word), 4);
    char name[32];
    std::snprintf(name, sizeof name, "forged-%06d", i);
    encode_record(dir, name, static_cast<uint32_t>(data.size()),
                  static_cast<uint32_t>(content.size()), 0,
                  FILE_COMPRESSED | FILE_IN_DIRECTORY | FILE_ATTR_L);
    data += content;
  }
  std::string file = compress_all(dir + data);
  put_u32le(word, trailer_encode(0));
  file.append(reinterpret_cast<char*>(word), 4);
  return file;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

long max_rss_kb() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const int entries = argc > 1 ? std::atoi(argv[1]) : 50000;
  const long bytes = argc > 2 ? std::atol(argv[2]) : 2000;
  if (entries < 1 || bytes < 1) {
    std::printf("usage: bench_dups [entries] [entry bytes]\n");
    return 1;
  }
  char tmpl[] = "/tmp/bench_dups-XXXXXX";
  if (!mkdtemp(tmpl) || chdir(tmpl) != 0) return 1;

  int copies = 0;
  const std::string archive = build(entries, static_cast<size_t>(bytes), &copies);
  int fd = pf_open_create("bench.vrn");
  if (fd < 0 || pf_write(fd, archive.data(), archive.size()) != static_cast<int64_t>(archive.size()))
    return 1;
  pf_close(fd);
  std::printf("archive: %d entries of %ld bytes, %d copies, %.1f MiB\n", entries, bytes, copies,
              static_cast<double>(archive.size()) / 1048576.0);

  // The finder alone.
  state_reset();
  g_settings.archive_path = "bench.vrn";
  g_settings.report_path = "rep.txt";
  g_run.archive_fd = pf_open_rw("bench.vrn");
  if (g_run.archive_fd < 0 || load_directory() != 0) {
    std::printf("cannot load the archive\n");
    return 1;
  }
  g_run.report_fd = pf_open_create("rep.txt");
  auto t0 = std::chrono::steady_clock::now();
  int rc = find_duplicate_entries();
  double finder = seconds_since(t0);
  const int queued = g_archive.specs.count() > 0 ? g_archive.specs.count() - 1 : 0;
  terminate(0);
  pf_remove("rep.txt");
  if (rc != 0) {
    std::printf("finder failed\n");
    return 1;
  }
  std::printf("finder alone:           %.3f s, %d copies queued%s\n", finder, queued,
              queued == copies ? "" : "  (MISMATCH)");

  // Entries forged to share one size and CRC must not cost a comparison per
  // pair.
  {
    int forged_copies = 0;
    const std::string forged = build_forged(entries, &forged_copies);
    int ffd = pf_open_create("forged.vrn");
    if (ffd < 0 ||
        pf_write(ffd, forged.data(), forged.size()) != static_cast<int64_t>(forged.size()))
      return 1;
    pf_close(ffd);
    state_reset();
    g_settings.archive_path = "forged.vrn";
    g_settings.report_path = "rep.txt";
    g_run.archive_fd = pf_open_rw("forged.vrn");
    if (g_run.archive_fd < 0 || load_directory() != 0) {
      std::printf("cannot load the forged archive\n");
      return 1;
    }
    g_run.report_fd = pf_open_create("rep.txt");
    t0 = std::chrono::steady_clock::now();
    rc = find_duplicate_entries();
    const double forged_time = seconds_since(t0);
    const int forged_queued = g_archive.specs.count() > 0 ? g_archive.specs.count() - 1 : 0;
    terminate(0);
    pf_remove("rep.txt");
    pf_remove("forged.vrn");
    if (rc != 0) {
      std::printf("finder failed on the forged archive\n");
      return 1;
    }
    std::printf("one CRC for all:        %.3f s, %d entries, %d copies queued%s\n", forged_time,
                entries, forged_queued, forged_queued == forged_copies ? "" : "  (MISMATCH)");
  }

  // A whole run: finder, then the rewrite without the copies.
  std::vector<std::string> args = {"vorn", "bench.vrn", "-redund:rep.txt"};
  std::vector<char*> argvv;
  for (std::string& a : args) argvv.push_back(&a[0]);
  argvv.push_back(nullptr);
  t0 = std::chrono::steady_clock::now();
  rc = vorn_main(static_cast<int>(args.size()), argvv.data());
  double whole = seconds_since(t0);
  std::printf("whole -redund: run:     %.3f s (exit %d)\n", whole, rc);
  std::printf("peak memory:            %ld KiB\n", max_rss_kb());

  pf_remove("bench.vrn");
  pf_remove("rep.txt");
  if (chdir("/") != 0 || rmdir(tmpl) != 0) std::printf("scratch folder %s left behind\n", tmpl);
  return rc == 0 ? 0 : 1;
}
