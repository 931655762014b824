// bench_extract -- extracting every entry of an archive, against plain zlib.
//
// Usage: bench_extract [total MiB = 64] [entries = 32]
//
// Builds an archive (half the entries in the directory stream, half
// standalone compressed, one stored) in a scratch folder, then, best of three
// runs each:
//   - inflate only: zlib inflates every stream of the archive file, the output
//     discarded;
//   - inflate + write: the same, each entry's output written to its own file;
//   - vornex: the extractor run in-process on "*", writing every entry.
// The ratios of the extractor to both baselines are printed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "driver/driver.h"

namespace {

struct Item {
  std::string name;
  std::string data;
  bool in_directory;
  bool compressed;
};

// Text-like data that deflate shrinks to about a third.
std::string make_data(size_t n, unsigned seed) {
  static const char* words[] = {"archive ", "entry ", "stream ", "directory ", "offset ",
                                "size ", "key ", "flag ", "data\n", "zlib "};
  std::string s;
  s.reserve(n + 16);
  unsigned v = seed;
  while (s.size() < n) {
    v = v * 1103515245u + 12345u;
    s += words[(v >> 16) % 10];
    if ((v >> 8) % 5 == 0) s += std::to_string(v % 100000);
  }
  s.resize(n);
  return s;
}

std::string compress_all(const std::string& data) {
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  std::string out(bound, '\0');
  compress2(reinterpret_cast<Bytef*>(&out[0]), &bound,
            reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()), 9);
  out.resize(bound);
  return out;
}

struct Built {
  std::string file;
  std::vector<std::pair<size_t, size_t>> streams;  // (offset, length) of every zlib stream
  std::vector<std::string> stream_names;           // file name per stream ("" = directory)
};

Built build(const std::vector<Item>& items) {
  Built b;
  std::string dir;
  uint8_t word[4];
  put_u32le(word, static_cast<uint32_t>(items.size()));
  dir.append(reinterpret_cast<char*>(word), 4);
  for (const Item& it : items) {
    if (it.in_directory) continue;
    uint32_t at = static_cast<uint32_t>(b.file.size());
    std::string stored = it.compressed ? compress_all(it.data) : it.data;
    if (it.compressed) {
      b.streams.push_back({b.file.size(), stored.size()});
      b.stream_names.push_back(it.name);
    }
    b.file += stored;
    encode_record(dir, it.name.c_str(), at, static_cast<uint32_t>(it.data.size()), 0,
                  static_cast<uint8_t>(FILE_ATTR_L | (it.compressed ? FILE_COMPRESSED : 0)));
  }
  std::string in_dir_data;
  for (const Item& it : items) {
    if (!it.in_directory) continue;
    encode_record(dir, it.name.c_str(), static_cast<uint32_t>(in_dir_data.size()),
                  static_cast<uint32_t>(it.data.size()), 0,
                  FILE_COMPRESSED | FILE_IN_DIRECTORY | FILE_ATTR_L);
    in_dir_data += it.data;
  }
  const uint32_t dir_offset = static_cast<uint32_t>(b.file.size());
  std::string stream = compress_all(dir + in_dir_data);
  b.streams.push_back({b.file.size(), stream.size()});
  b.stream_names.push_back("");
  b.file += stream;
  put_u32le(word, trailer_encode(dir_offset));
  b.file.append(reinterpret_cast<char*>(word), 4);
  return b;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Inflates every stream of the archive file, reading it in 64 KiB blocks;
// with `write_files`, every entry's bytes go to a file of its own.
double plain_inflate(const Built& b, const std::vector<Item>& items, bool write_files) {
  auto t0 = std::chrono::steady_clock::now();
  int fd = open("bench.vrn", O_RDONLY);
  std::vector<unsigned char> in(65536), out(65536);
  // The in-directory entries in order, with their sizes, for splitting the
  // directory stream's output.
  std::vector<const Item*> in_dir;
  for (const Item& it : items)
    if (it.in_directory) in_dir.push_back(&it);
  for (size_t s = 0; s < b.streams.size(); ++s) {
    z_stream z{};
    inflateInit(&z);
    lseek(fd, static_cast<off_t>(b.streams[s].first), SEEK_SET);
    size_t left_in = b.streams[s].second;
    const bool directory = b.stream_names[s].empty();
    // Directory stream: skip the records, then split the data by entry.
    size_t records = 4;
    if (directory)
      for (const Item& it : items) records += it.name.size() + 14;
    size_t produced = 0;
    size_t entry = 0, entry_left = directory ? (in_dir.empty() ? 0 : in_dir[0]->data.size()) : 0;
    int ofd = -1;
    if (write_files && !directory) ofd = open(b.stream_names[s].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int r = Z_OK;
    while (r != Z_STREAM_END) {
      if (z.avail_in == 0) {
        size_t want = left_in < in.size() ? left_in : in.size();
        ssize_t got = read(fd, in.data(), want);
        if (got <= 0) break;
        left_in -= static_cast<size_t>(got);
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(got);
      }
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      r = inflate(&z, Z_NO_FLUSH);
      if (r != Z_OK && r != Z_STREAM_END) break;
      size_t have = out.size() - z.avail_out;
      if (!write_files) {
        produced += have;
        continue;
      }
      if (!directory) {
        if (write(ofd, out.data(), have) != static_cast<ssize_t>(have)) std::abort();
        continue;
      }
      // Split directory output among the entry files.
      size_t pos = 0;
      while (pos < have) {
        if (produced < records) {
          size_t skip = records - produced < have - pos ? records - produced : have - pos;
          produced += skip;
          pos += skip;
          continue;
        }
        if (entry >= in_dir.size()) break;
        if (ofd < 0) ofd = open(in_dir[entry]->name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        size_t take = entry_left < have - pos ? entry_left : have - pos;
        if (write(ofd, out.data() + pos, take) != static_cast<ssize_t>(take)) std::abort();
        pos += take;
        produced += take;
        entry_left -= take;
        if (entry_left == 0) {
          close(ofd);
          ofd = -1;
          ++entry;
          if (entry < in_dir.size()) entry_left = in_dir[entry]->data.size();
        }
      }
    }
    if (ofd >= 0) close(ofd);
    inflateEnd(&z);
  }
  close(fd);
  return seconds_since(t0);
}

void remove_outputs(const std::vector<Item>& items) {
  for (const Item& it : items) unlink(it.name.c_str());
}

double run_extractor() {
  std::vector<std::string> args = {"vornex", "bench.vrn", "*"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  auto t0 = std::chrono::steady_clock::now();
  int rc = vorn_main(static_cast<int>(args.size()), argv.data());
  double t = seconds_since(t0);
  if (rc != 0) {
    std::printf("extraction failed (%d)\n", rc);
    std::exit(1);
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  const double mib = argc > 1 ? std::atof(argv[1]) : 64.0;
  const int entries = argc > 2 ? std::atoi(argv[2]) : 32;
  if (mib <= 0 || entries < 2) {
    std::printf("usage: bench_extract [total MiB] [entries >= 2]\n");
    return 1;
  }
  char tmpl[] = "/tmp/bench_extract-XXXXXX";
  if (!mkdtemp(tmpl) || chdir(tmpl) != 0) return 1;

  const size_t each = static_cast<size_t>(mib * 1048576.0 / entries);
  std::vector<Item> items;
  for (int i = 0; i < entries; ++i) {
    Item it;
    it.name = "entry" + std::to_string(i) + ".txt";
    it.data = make_data(each, static_cast<unsigned>(i + 1));
    it.in_directory = (i % 2 == 0);
    it.compressed = !(i == 1);  // one stored standalone entry
    items.push_back(std::move(it));
  }
  Built b = build(items);
  {
    int fd = open("bench.vrn", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, b.file.data(), b.file.size()) != static_cast<ssize_t>(b.file.size())) return 1;
    close(fd);
  }
  double best_inflate = 1e9, best_write = 1e9, best_extract = 1e9;
  for (int round = 0; round < 3; ++round) {
    double t = plain_inflate(b, items, false);
    if (t < best_inflate) best_inflate = t;
    remove_outputs(items);
    t = plain_inflate(b, items, true);
    if (t < best_write) best_write = t;
    remove_outputs(items);
    t = run_extractor();
    if (t < best_extract) best_extract = t;
    // Spot check: the extracted bytes are the entries' bytes.
    for (const Item& it : items) {
      struct stat st;
      if (stat(it.name.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) != it.data.size()) {
        std::printf("wrong output for %s\n", it.name.c_str());
        return 1;
      }
    }
    remove_outputs(items);
  }
  unlink("bench.vrn");
  if (chdir("/") != 0 || rmdir(tmpl) != 0) std::printf("scratch folder %s left behind\n", tmpl);

  const double total = static_cast<double>(each) * entries / 1048576.0;
  std::printf("data: %.1f MiB in %d entries, archive %.1f MiB\n", total, entries,
              static_cast<double>(b.file.size()) / 1048576.0);
  std::printf("zlib inflate only:      %.3f s (%.0f MiB/s)\n", best_inflate, total / best_inflate);
  std::printf("zlib inflate + write:   %.3f s (%.0f MiB/s)\n", best_write, total / best_write);
  std::printf("vornex extract all:     %.3f s (%.0f MiB/s)\n", best_extract, total / best_extract);
  std::printf("ratio to inflate only:  %.3f\n", best_extract / best_inflate);
  std::printf("ratio to inflate+write: %.3f (target <= 1.20)\n", best_extract / best_write);
  return 0;
}
