// bench_load -- loading and viewing large directories.
//
// Builds archives of 1,000 and 100,000 in-directory entries (plus a few
// standalone ones) with zlib directly, then times load_directory and the
// view walk over them.  The stream and copy buffers are shown after each run:
// their sizes do not depend on the archive.
#include <sys/resource.h>
#include <zlib.h>

#include <chrono>
#include <memory>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive/collection.h"
#include "archive/entry_table.h"
#include "archive/view.h"
#include "archive/load.h"
#include "archive/streams.h"
#include "base/run_state.h"
#include "archive/archive_state.h"
#include "driver/driver.h"
#include "platform/platform.h"

namespace {

std::string compress_all(const std::string& data) {
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  std::string out(bound, '\0');
  compress2(reinterpret_cast<Bytef*>(&out[0]), &bound, reinterpret_cast<const Bytef*>(data.data()),
            static_cast<uLong>(data.size()), 9);
  out.resize(bound);
  return out;
}

// Names like "Folder17\report-000123.TXT", in mixed case so that the
// case-insensitive index does real work.
std::string build(int entries) {
  std::string file = "MZ";
  file.append(62, '\0');
  std::string dir;
  uint8_t word[4];
  put_u32le(word, static_cast<uint32_t>(entries));
  dir.append(reinterpret_cast<char*>(word), 4);
  std::string data;
  const int standalone = 4;
  for (int i = 0; i < entries; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "Folder%d\\report-%06d.%s", i % 50, i, (i & 1) ? "TXT" : "txt");
    std::string body = "entry " + std::to_string(i) + " body\n";
    if (i < standalone) {
      uint32_t at = static_cast<uint32_t>(file.size());
      file += body;
      encode_record(dir, name, at, static_cast<uint32_t>(body.size()), 0, FILE_ATTR_L);
    } else {
      encode_record(dir, name, static_cast<uint32_t>(data.size()), static_cast<uint32_t>(body.size()),
                    0, FILE_COMPRESSED | FILE_IN_DIRECTORY | FILE_ATTR_L);
      data += body;
    }
  }
  uint32_t dir_offset = static_cast<uint32_t>(file.size());
  file += compress_all(dir + data);
  put_u32le(word, trailer_encode(dir_offset));
  file.append(reinterpret_cast<char*>(word), 4);
  return file;
}

long max_rss_kb() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

int run(int entries) {
  std::string bytes = build(entries);
  const char* path = "bench_load.vrn";
  int fd = pf_open_create(path);
  if (fd < 0 || pf_write(fd, bytes.data(), bytes.size()) != static_cast<int64_t>(bytes.size())) {
    std::printf("cannot write %s\n", path);
    return 1;
  }
  g_run.archive_fd = fd;
  auto t0 = std::chrono::steady_clock::now();
  int loaded = load_directory();
  auto t1 = std::chrono::steady_clock::now();
  int viewed = loaded == 0 ? view_pass() : -1;
  auto t2 = std::chrono::steady_clock::now();
  double load_ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
  double view_ms = std::chrono::duration<double, std::milli>(t2 - t1).count();
  std::printf("%7d entries, %8zu bytes: load_directory %s in %8.2f ms, view_pass %s in %8.2f ms\n",
              entries, bytes.size(), loaded == 0 ? "ok" : "FAILED", load_ms,
              viewed == 0 ? "ok" : "FAILED", view_ms);
  std::printf("         buffers: read stream %zu, write stream %zu, copy %zu bytes; max RSS %ld KiB\n",
              g_archive.streams.in.buffer.capacity(), g_archive.streams.out.buffer.capacity(),
              g_archive.streams.copy.capacity(), max_rss_kb());

  // A raw copy and a re-compression of the whole archive go through the same
  // fixed buffers.
  int out = pf_open_create("bench_load.out");
  g_run.output_fd = out;
  pf_seek(fd, 0, PF_SEEK_SET);
  int copied = copy_raw_to_raw(static_cast<int64_t>(bytes.size()));
  pf_seek(fd, 0, PF_SEEK_SET);
  int packed = deflate_open(out, 0) == 0 && copy_raw_to_stream(static_cast<int64_t>(bytes.size())) == 0 &&
               deflate_finish() == 0;
  std::printf("         after raw copy (%s) and deflate (%s) of the archive: read %zu, write %zu, copy %zu bytes\n",
              copied == 0 ? "ok" : "FAILED", packed ? "ok" : "FAILED", g_archive.streams.in.buffer.capacity(),
              g_archive.streams.out.buffer.capacity(), g_archive.streams.copy.capacity());

  pf_close(out);
  pf_close(fd);
  pf_remove("bench_load.out");
  pf_remove(path);
  streams_release();
  while (g_archive.loaded.count() > 0) entry_table_remove(g_archive.loaded, g_archive.loaded.count() - 1);
  state_reset();
  return (loaded == 0 && viewed == 0 && copied == 0 && packed) ? 0 : 1;
}

// "-v" with one literal name per stored entry (as an argument file would give
// them, in other letter case) plus two patterns: the selection must not cost
// entries x names.
int run_selected(int entries) {
  std::string bytes = build(entries);
  const char* path = "bench_load.vrn";
  int fd = pf_open_create(path);
  if (fd < 0 || pf_write(fd, bytes.data(), bytes.size()) != static_cast<int64_t>(bytes.size())) {
    std::printf("cannot write %s\n", path);
    return 1;
  }
  g_run.archive_fd = fd;
  int loaded = load_directory();
  bool specs_ok = loaded == 0;
  for (int i = 0; specs_ok && i < g_archive.loaded.count(); i += 2) {
    std::unique_ptr<FileSpec> spec(new FileSpec());
    for (const char* p = g_archive.loaded.records[static_cast<size_t>(i)]->name.c_str(); *p; ++p) {
      const char c = *p;
      spec->name.push_back((c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c);
    }
    specs_ok = file_spec_append(std::move(spec)) >= 0;
  }
  for (const char* pattern : {"*.none", "Folder7\\report-00000?.*"}) {
    std::unique_ptr<FileSpec> spec(new FileSpec());
    spec->name = pattern;
    specs_ok = specs_ok && file_spec_append(std::move(spec)) >= 0;
  }
  int specs = g_archive.specs.count();
  auto t0 = std::chrono::steady_clock::now();
  int viewed = specs_ok ? view_pass() : -1;
  auto t1 = std::chrono::steady_clock::now();
  std::printf("%7d entries, %7d names given: view_pass %s in %8.2f ms\n", entries, specs,
              viewed == 0 ? "ok" : "FAILED", std::chrono::duration<double, std::milli>(t1 - t0).count());
  pf_close(fd);
  pf_remove(path);
  streams_release();
  while (g_archive.specs.count() > 0) file_spec_remove(g_archive.specs.specs.back().get());
  while (g_archive.loaded.count() > 0) entry_table_remove(g_archive.loaded, g_archive.loaded.count() - 1);
  state_reset();
  return viewed == 0 ? 0 : 1;
}

}  // namespace

int main() {
  int failed = 0;
  failed |= run(1000);
  failed |= run(10000);
  failed |= run(30000);
  failed |= run(100000);
  failed |= run_selected(1000);
  failed |= run_selected(10000);
  failed |= run_selected(30000);
  return failed;
}
