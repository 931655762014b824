// bench_entries -- memory and time per loaded entry of large directories.
//
//   bench_entries [EXE [OTHER_EXE]]
//
// Builds archives of 300,000 and 1,000,000 records with short names and one
// of 300,000 records with 200-byte names (every entry one stored byte in the
// directory stream), then prints per archive:
//   - loading the directory: time, resident memory per entry after the load
//     and at its peak, for the plain list of names and sizes (the floor: the
//     same stream inflated and parsed into a vector of {std::string, size})
//     and for load_directory, each in a fresh process of its own;
//   - adding one small file with the packer EXE (default: "vorn" beside this
//     program): wall time and peak RSS, beside the floor of such a rewrite
//     (the directory read into the plain list and written again as one zlib
//     stream at level 9), and beside OTHER_EXE when given (an older build).
// Figures from a loaded machine mean little: the load average is printed.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_run.h"

#include "archive/archive_format.h"
#include "archive/archive_state.h"
#include "archive/entry_table.h"
#include "archive/load.h"
#include "base/run_state.h"
#include "driver/driver.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// VmRSS and VmHWM of this process, in KiB.
void memory_kib(long* rss, long* hwm) {
  *rss = *hwm = 0;
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) *rss = std::atol(line + 6);
    if (std::strncmp(line, "VmHWM:", 6) == 0) *hwm = std::atol(line + 6);
  }
  std::fclose(f);
}

std::string load_average() {
  FILE* f = std::fopen("/proc/loadavg", "r");
  if (!f) return "?";
  char text[64] = {0};
  if (!std::fgets(text, sizeof text, f)) text[0] = '\0';
  std::fclose(f);
  std::string s(text);
  size_t cut = 0;
  for (int fields = 0; cut < s.size() && fields < 3; ++cut)
    if (s[cut] == ' ') ++fields;
  return s.substr(0, cut > 0 ? cut - 1 : 0);
}

struct Case {
  const char* title;
  int entries;
  bool long_names;
};

std::string name_of(const Case& c, int i) {
  if (!c.long_names) return std::to_string(i);
  char head[32];
  std::snprintf(head, sizeof head, "folder-%03d/", i % 1000);
  std::string name = head;
  name += std::string(188 - name.size(), static_cast<char>('a' + i % 26));
  char tail[16];
  std::snprintf(tail, sizeof tail, "%06d.txt", i % 1000000);
  return name + tail;  // 198 bytes
}

// The archive: a stub, then the directory stream holding every record and
// one stored byte per entry.
std::string build(const Case& c, uint64_t* name_bytes) {
  std::string dir;
  uint8_t word[4];
  put_u32le(word, static_cast<uint32_t>(c.entries));
  dir.append(reinterpret_cast<char*>(word), 4);
  *name_bytes = 0;
  for (int i = 0; i < c.entries; ++i) {
    const std::string name = name_of(c, i);
    *name_bytes += name.size();
    encode_record(dir, name.c_str(), static_cast<uint32_t>(i), 1, 0, FILE_IN_DIRECTORY | FILE_ATTR_L);
  }
  dir.append(static_cast<size_t>(c.entries), 'x');
  std::string file = "MZ";
  file.append(62, '\0');
  const uint32_t dir_offset = static_cast<uint32_t>(file.size());
  uLongf bound = compressBound(static_cast<uLong>(dir.size()));
  std::string z(bound, '\0');
  compress2(reinterpret_cast<Bytef*>(&z[0]), &bound, reinterpret_cast<const Bytef*>(dir.data()),
            static_cast<uLong>(dir.size()), 6);
  z.resize(bound);
  file += z;
  put_u32le(word, trailer_encode(dir_offset));
  file.append(reinterpret_cast<char*>(word), 4);
  return file;
}

bool write_file(const char* path, const std::string& bytes) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// ---- the floor: a plain list of names and sizes -------------------------------

struct Plain {
  std::string name;
  uint32_t size;
};

// Inflates the directory stream at `offset` of `path` and parses the records
// into `out`; the remaining bytes (the entries' data) into `rest`.
bool read_plain(const char* path, uint32_t offset, std::vector<Plain>* out, std::string* rest) {
  FILE* f = std::fopen(path, "rb");
  if (!f || std::fseek(f, offset, SEEK_SET) != 0) {
    if (f) std::fclose(f);
    return false;
  }
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  inflateInit(&zs);
  std::vector<unsigned char> in(1 << 16), outbuf(1 << 16);
  std::string pending;  // bytes of a record cut by the buffer
  uint32_t count = 0;
  bool have_count = false;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (zs.avail_in == 0) {
      size_t n = std::fread(in.data(), 1, in.size(), f);
      if (n == 0) break;
      zs.next_in = in.data();
      zs.avail_in = static_cast<uInt>(n);
    }
    zs.next_out = outbuf.data();
    zs.avail_out = static_cast<uInt>(outbuf.size());
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    pending.append(reinterpret_cast<char*>(outbuf.data()), outbuf.size() - zs.avail_out);
    size_t p = 0;
    if (!have_count && pending.size() >= 4) {
      count = get_u32le(reinterpret_cast<const uint8_t*>(pending.data()));
      have_count = true;
      p = 4;
    }
    while (have_count && out->size() < count) {
      const size_t nul = pending.find('\0', p);
      if (nul == std::string::npos || pending.size() - nul - 1 < RECORD_FIXED_SIZE) break;
      Plain rec;
      rec.name.assign(pending, p, nul - p);
      rec.size = get_u32le(reinterpret_cast<const uint8_t*>(pending.data()) + nul + 1 + 4);
      out->push_back(std::move(rec));
      p = nul + 1 + RECORD_FIXED_SIZE;
    }
    if (have_count && out->size() == count) {
      rest->append(pending, p, std::string::npos);
      pending.clear();
    } else {
      pending.erase(0, p);
    }
  }
  inflateEnd(&zs);
  std::fclose(f);
  return rc == Z_STREAM_END && out->size() == count;
}

// The floor of adding a file: the directory read, then written again as one
// zlib stream at level 9 with one more record.
bool rewrite_plain(const char* path, uint32_t offset, const char* out_path) {
  std::vector<Plain> list;
  std::string data;
  if (!read_plain(path, offset, &list, &data)) return false;
  list.push_back({"new.txt", 100});
  std::string dir;
  uint8_t word[4];
  put_u32le(word, static_cast<uint32_t>(list.size()));
  dir.append(reinterpret_cast<char*>(word), 4);
  for (const Plain& p : list) encode_record(dir, p.name.c_str(), 0, p.size, 0, FILE_IN_DIRECTORY);
  dir += data;
  dir.append(100, 'n');
  uLongf bound = compressBound(static_cast<uLong>(dir.size()));
  std::string z(bound, '\0');
  compress2(reinterpret_cast<Bytef*>(&z[0]), &bound, reinterpret_cast<const Bytef*>(dir.data()),
            static_cast<uLong>(dir.size()), 9);
  z.resize(bound);
  return write_file(out_path, z);
}

// ---- child processes ------------------------------------------------------------

struct Measure {
  double seconds = 0;
  double rss_per_entry = 0;   // bytes, after
  double peak_per_entry = 0;  // bytes, at the peak
  long peak_kib = 0;          // the child's peak RSS
  bool ok = false;
};

std::string g_self;  // this program's path

// The measured work of a child: "floor" (the plain list), "load"
// (load_directory) or "rewrite" (the floor of adding a file).  Reads the
// memory figures while what it built is still held.
bool child_work(const std::string& mode, const char* path, int entries, long* rss, long* hwm) {
  const uint32_t offset = 64;
  bool ok = false;
  if (mode == "floor") {
    std::vector<Plain> list;
    std::string data;
    ok = read_plain(path, offset, &list, &data);
    memory_kib(rss, hwm);
  } else if (mode == "load") {
    g_settings.archive_path = path;
    g_run.archive_fd = pf_open_read(path);
    ok = g_run.archive_fd >= 0 && load_directory() == 0 && g_archive.loaded.count() == entries;
    memory_kib(rss, hwm);
  } else if (mode == "rewrite") {
    ok = rewrite_plain(path, offset, "floor.out");
    memory_kib(rss, hwm);
  }
  return ok;
}

// In a fresh process (this program run again with --child), so that no heap
// of the parent's is counted or given back during the measure: the work's
// time and its memory beside the process's own at the start.
int child_main(const std::string& mode, const char* path, int entries) {
  long rss0, hwm0, rss1 = 0, hwm1 = 0;
  memory_kib(&rss0, &hwm0);
  auto t0 = Clock::now();
  Measure r;
  r.ok = child_work(mode, path, entries, &rss1, &hwm1);
  r.seconds = seconds_since(t0);
  r.rss_per_entry = (rss1 - rss0) * 1024.0 / entries;
  r.peak_per_entry = (hwm1 - rss0) * 1024.0 / entries;
  r.peak_kib = hwm1;
  std::printf("%.6f %.3f %.3f %ld %d\n", r.seconds, r.rss_per_entry, r.peak_per_entry, r.peak_kib, r.ok ? 1 : 0);
  return 0;
}

Measure in_child(const std::string& mode, const char* path, int entries) {
  Measure m;
  const std::string command = g_self + " --child " + mode + " " + path + " " + std::to_string(entries);
  std::fflush(stdout);
  FILE* p = popen(command.c_str(), "r");
  if (!p) return m;
  int ok = 0;
  if (std::fscanf(p, "%lf %lf %lf %ld %d", &m.seconds, &m.rss_per_entry, &m.peak_per_entry, &m.peak_kib, &ok) == 5)
    m.ok = ok != 0;
  if (pclose(p) != 0) m.ok = false;
  return m;
}

int run_case(const Case& c, const std::string& exe, const std::string& other) {
  uint64_t name_bytes = 0;
  std::string bytes = build(c, &name_bytes);
  const char* path = "entries.vrn";
  if (!write_file(path, bytes)) return 1;
  std::printf("%s: %d records, names of %.1f bytes on average, archive %zu bytes (load average %s)\n",
              c.title, c.entries, static_cast<double>(name_bytes) / c.entries, bytes.size(),
              load_average().c_str());

  Measure floor = in_child("floor", path, c.entries);
  Measure vorn = in_child("load", path, c.entries);
  std::printf("  load                          time       RSS/entry   peak/entry\n");
  std::printf("  plain list (floor)        %8.3f s  %8.1f B  %8.1f B%s\n", floor.seconds,
              floor.rss_per_entry, floor.peak_per_entry, floor.ok ? "" : "  FAILED");
  std::printf("  load_directory            %8.3f s  %8.1f B  %8.1f B%s   (x%.2f time, x%.2f RSS, x%.2f peak)\n",
              vorn.seconds, vorn.rss_per_entry, vorn.peak_per_entry, vorn.ok ? "" : "  FAILED",
              vorn.seconds / floor.seconds, vorn.rss_per_entry / floor.rss_per_entry,
              vorn.peak_per_entry / floor.peak_per_entry);
  std::printf("  name bytes per entry (with NUL): %.1f\n", static_cast<double>(name_bytes) / c.entries + 1);

  // Adding one file.
  if (!write_file("new.txt", std::string(100, 'n'))) return 1;
  Measure floor_add = in_child("rewrite", path, c.entries);
  std::printf("  add one file                  time       peak RSS\n");
  std::printf("  plain rewrite (floor)     %8.3f s  %8.1f MiB%s\n", floor_add.seconds,
              floor_add.peak_kib / 1024.0, floor_add.ok ? "" : "  FAILED");
  int failed = floor.ok && vorn.ok && floor_add.ok ? 0 : 1;
  for (const std::string& program : {exe, other}) {
    if (program.empty()) continue;
    if (!write_file(path, bytes)) return 1;
    ChildResult r = run_vorn(program, {path, "new.txt"});
    std::printf("  %-25s %8.3f s  %8.1f MiB  exit %d   (x%.2f time of the floor)\n",
                program == exe ? "vorn" : program.c_str(), r.seconds, r.max_rss_kib / 1024.0, r.status,
                r.seconds / floor_add.seconds);
    if (r.status != 0) failed = 1;
  }
  std::remove("floor.out");
  std::remove("new.txt");
  std::remove(path);
  std::printf("\n");
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--child") == 0) return child_main(argv[2], argv[3], std::atoi(argv[4]));
  char me[4096];
  const ssize_t n = readlink("/proc/self/exe", me, sizeof me - 1);
  if (n <= 0) return 1;
  me[n] = '\0';
  g_self = me;
  std::string self = argv[0];
  const size_t slash = self.rfind('/');
  std::string exe = argc > 1 ? argv[1] : (slash == std::string::npos ? "." : self.substr(0, slash)) + "/vorn";
  if (exe[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) exe = std::string(cwd) + "/" + exe;
  }
  std::string other = argc > 2 ? argv[2] : "";
  if (!other.empty() && other[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) other = std::string(cwd) + "/" + other;
  }
  char tmpl[] = "/tmp/bench_entriesXXXXXX";
  if (!mkdtemp(tmpl) || chdir(tmpl) != 0) {
    std::printf("no scratch folder\n");
    return 1;
  }
  std::printf("bench_entries: %s%s%s; record %zu bytes\n\n", exe.c_str(), other.empty() ? "" : " beside ",
              other.c_str(), sizeof(EntryRecord));
  const Case cases[] = {
      {"short names", 300000, false},
      {"short names", 1000000, false},
      {"long names", 300000, true},
  };
  int failed = 0;
  for (const Case& c : cases) failed |= run_case(c, exe, other);
  if (chdir("/") != 0 || rmdir(tmpl) != 0) std::printf("scratch folder %s left behind\n", tmpl);
  return failed;
}
