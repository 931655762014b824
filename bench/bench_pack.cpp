// bench_pack -- packing and rewriting with the built executable.
//
// Usage: bench_pack [throughput MiB = 128] [large file MiB = 1024] [files = 50000]
//        (a figure of 0 skips that part)
//
// 1. Throughput: packs one file of the given size (bytes of /usr/lib), in the
//    directory stream and as a standalone entry, and compresses the same bytes
//    with zlib directly (level 9, one stream, 64 KiB reads) in this process;
//    prints both rates and their ratio.
// 2. Standalone copy: rewrites the archive holding the file as a standalone
//    entry (adding one small file), and copies the archive with plain reads and
//    writes of 32 KiB; prints both rates.
// 3. Memory: packs a large file (sparse zeros, so that it costs no disk) and
//    prints the child's peak resident set size.
// 4. Many files: adds that many small files in one run, then rewrites the
//    archive (one file added, one entry deleted); prints both times.
//
// Every run of the packer is a child process of the executable built beside
// this program; its peak RSS comes from wait4().
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_run.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string self_dir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string p = buf;
  size_t i = p.rfind('/');
  return i == std::string::npos ? "." : p.substr(0, i);
}

double self_cpu() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return cpu_of(ru);
}

// Input bytes: the regular files under /usr/lib concatenated (libraries,
// scripts, data: a mix that compresses like real payloads), repeated when
// there are fewer than asked for.
struct Collector {
  FILE* out = nullptr;
  uint64_t left = 0;
};
Collector* g_collector = nullptr;

int collect_file(const char* path, const struct stat* st, int type, struct FTW*) {
  if (type != FTW_F || !S_ISREG(st->st_mode) || g_collector->left == 0) return 0;
  FILE* in = std::fopen(path, "rb");
  if (!in) return 0;
  std::vector<char> buf(1 << 16);
  size_t n;
  while (g_collector->left > 0 && (n = std::fread(buf.data(), 1, buf.size(), in)) > 0) {
    size_t take = static_cast<size_t>(std::min<uint64_t>(n, g_collector->left));
    std::fwrite(buf.data(), 1, take, g_collector->out);
    g_collector->left -= take;
  }
  std::fclose(in);
  return g_collector->left == 0 ? 1 : 0;
}

void write_input_file(const std::string& path, uint64_t bytes) {
  Collector c;
  c.out = std::fopen(path.c_str(), "wb");
  if (!c.out) return;
  c.left = bytes;
  g_collector = &c;
  uint64_t before = c.left + 1;
  while (c.left > 0 && c.left < before) {
    before = c.left;
    nftw("/usr/lib", collect_file, 32, FTW_PHYS);
  }
  // Nothing readable there: fill with numbered lines.
  for (uint64_t i = 0; c.left > 0; ++i) {
    std::string line = "line " + std::to_string(i * 2654435761u % 1000003) + "\n";
    size_t take = static_cast<size_t>(std::min<uint64_t>(line.size(), c.left));
    std::fwrite(line.data(), 1, take, c.out);
    c.left -= take;
  }
  std::fclose(c.out);
  g_collector = nullptr;
}

// zlib level 9, one stream, the file read in 64 KiB pieces; output discarded.
// Returns the wall time; *cpu gets the CPU time spent.
double zlib_seconds(const std::string& path, uint64_t* out_bytes, double* cpu) {
  auto t0 = Clock::now();
  const double c0 = self_cpu();
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  z_stream z;
  std::memset(&z, 0, sizeof z);
  deflateInit2(&z, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
  std::vector<unsigned char> in(65536), out(65536);
  uint64_t produced = 0;
  for (;;) {
    ssize_t n = read(fd, in.data(), in.size());
    int flush = n <= 0 ? Z_FINISH : Z_NO_FLUSH;
    z.next_in = in.data();
    z.avail_in = n > 0 ? static_cast<uInt>(n) : 0;
    int rc;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      rc = deflate(&z, flush);
      produced += out.size() - z.avail_out;
    } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    if (flush == Z_FINISH) break;
  }
  deflateEnd(&z);
  close(fd);
  *out_bytes = produced;
  *cpu = self_cpu() - c0;
  return seconds_since(t0);
}

double plain_copy_seconds(const std::string& from, const std::string& to) {
  auto t0 = Clock::now();
  int a = open(from.c_str(), O_RDONLY);
  int b = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char> buf(32760);
  ssize_t n;
  while ((n = read(a, buf.data(), buf.size())) > 0)
    if (write(b, buf.data(), static_cast<size_t>(n)) != n) break;
  fsync(b);
  close(a);
  close(b);
  return seconds_since(t0);
}

long long file_size(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = 1024 * 1024;
  const uint64_t text_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 128;
  const uint64_t large_mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
  const long files = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 50000;

  const std::string exe = self_dir() + "/vorn";
  char tmpl[] = "/tmp/bench-pack-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string work = tmpl;
  if (chdir(work.c_str()) != 0) return 1;
  std::printf("bench_pack: executable %s, work folder %s\n", exe.c_str(), work.c_str());

  if (text_mib > 0) {
    write_input_file("input.txt", text_mib * mib);
    const double mb = static_cast<double>(text_mib * mib) / 1e6;
    uint64_t zbytes = 0;
    // Warm the page cache, then time zlib alone.
    double zcpu = 0;
    double zs = zlib_seconds("input.txt", &zbytes, &zcpu);
    zs = zlib_seconds("input.txt", &zbytes, &zcpu);
    ChildResult in_dir = run_vorn(exe, {"dir.vrn", "input.txt"});
    ChildResult alone = run_vorn(exe, {"alone.vrn", "-g", "input.txt"});
    std::printf("throughput, %llu MiB from /usr/lib (zlib output %.1f%% of input):\n",
                static_cast<unsigned long long>(text_mib), 100.0 * zbytes / (text_mib * mib));
    std::printf("  (time ratios to zlib alone; CPU time is the steadier figure on a busy machine)\n");
    std::printf("  zlib level 9 alone        wall %7.2f s  %6.1f MB/s  cpu %7.2f s\n", zs, mb / zs, zcpu);
    std::printf("  vorn, in the directory    wall %7.2f s  %6.1f MB/s  cpu %7.2f s  ratio wall %.3f cpu %.3f  exit %d\n",
                in_dir.seconds, mb / in_dir.seconds, in_dir.cpu_seconds, in_dir.seconds / zs,
                in_dir.cpu_seconds / zcpu, in_dir.status);
    std::printf("  vorn, standalone entry    wall %7.2f s  %6.1f MB/s  cpu %7.2f s  ratio wall %.3f cpu %.3f  exit %d\n",
                alone.seconds, mb / alone.seconds, alone.cpu_seconds, alone.seconds / zs,
                alone.cpu_seconds / zcpu, alone.status);

    // Standalone copy through a rewrite: the stored entry is copied raw.
    ChildResult stored = run_vorn(exe, {"stored.vrn", "-g", "-c", "input.txt"});
    FILE* f = std::fopen("small.txt", "wb");
    if (f) {
      std::fputs("small", f);
      std::fclose(f);
    }
    const double amb = static_cast<double>(file_size("stored.vrn")) / 1e6;
    double copy_s = plain_copy_seconds("stored.vrn", "copy.bin");
    ChildResult rewrite = run_vorn(exe, {"stored.vrn", "small.txt"});
    std::printf("standalone copy through a rewrite (%.0f MB archive, exit %d/%d):\n", amb,
                stored.status, rewrite.status);
    std::printf("  plain copy + fsync        %7.2f s  %7.1f MB/s\n", copy_s, amb / copy_s);
    std::printf("  vorn rewrite              %7.2f s  %7.1f MB/s  ratio %.3f\n", rewrite.seconds,
                amb / rewrite.seconds, rewrite.seconds / copy_s);
    unlink("copy.bin");
    unlink("stored.vrn");
    unlink("input.txt");
    unlink("dir.vrn");
    unlink("alone.vrn");
  }

  if (large_mib > 0) {
    int fd = open("large.bin", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      if (ftruncate(fd, static_cast<off_t>(large_mib * mib)) != 0) std::printf("ftruncate failed\n");
      close(fd);
    }
    ChildResult r = run_vorn(exe, {"large.vrn", "large.bin"});
    ChildResult g = run_vorn(exe, {"large2.vrn", "-g", "large.bin"});
    std::printf("memory, one %llu MiB file:\n", static_cast<unsigned long long>(large_mib));
    std::printf("  in the directory: %6.2f s  peak RSS %6ld KiB  exit %d\n", r.seconds,
                r.max_rss_kib, r.status);
    std::printf("  standalone:       %6.2f s  peak RSS %6ld KiB  exit %d\n", g.seconds,
                g.max_rss_kib, g.status);
    unlink("large.bin");
    unlink("large.vrn");
    unlink("large2.vrn");
  }

  if (files > 0) {
    mkdir("many", 0700);
    for (long i = 0; i < files; ++i) {
      std::string p = "many/f" + std::to_string(i) + ".txt";
      FILE* f = std::fopen(p.c_str(), "wb");
      if (!f) break;
      std::fprintf(f, "file %ld\n", i);
      std::fclose(f);
    }
    FILE* f = std::fopen("extra.txt", "wb");
    if (f) {
      std::fputs("extra", f);
      std::fclose(f);
    }
    ChildResult add = run_vorn(exe, {"many.vrn", "many\\*.txt"});
    ChildResult re = run_vorn(exe, {"many.vrn", "extra.txt", "-d", "f7.txt"});
    ChildResult mod = run_vorn(exe, {"many.vrn", "+m", "-g", "f*1.txt"});
    std::printf("many files (%ld):\n", files);
    std::printf("  add all in one run          %6.2f s  exit %d  peak RSS %ld KiB\n", add.seconds,
                add.status, add.max_rss_kib);
    std::printf("  rewrite (+1 file, -1 entry) %6.2f s  exit %d\n", re.seconds, re.status);
    std::printf("  move a tenth out (+m -g)    %6.2f s  exit %d\n", mod.seconds, mod.status);
  }

  std::string cleanup = "rm -rf '" + work + "'";
  if (std::system(cleanup.c_str()) != 0) std::printf("cleanup failed\n");
  return 0;
}
