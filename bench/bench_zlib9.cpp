// bench_zlib9 -- the baseline of bench/compare.sh: compresses standard input
// (or the file named) as one zlib stream at level 9, window bits 15, memory
// level 8, default strategy, on one thread, reading 64 KiB at a time; the
// output is counted and discarded.  Prints "INPUT_BYTES OUTPUT_BYTES".
#include <zlib.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  FILE* in = argc > 1 ? std::fopen(argv[1], "rb") : stdin;
  if (!in) return 2;
  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 2;
  std::vector<unsigned char> ibuf(1 << 16), obuf(1 << 17);
  unsigned long long total_in = 0, total_out = 0;
  for (;;) {
    size_t got = std::fread(ibuf.data(), 1, ibuf.size(), in);
    total_in += got;
    const int flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    z.next_in = ibuf.data();
    z.avail_in = static_cast<uInt>(got);
    int r;
    do {
      z.next_out = obuf.data();
      z.avail_out = static_cast<uInt>(obuf.size());
      r = deflate(&z, flush);
      total_out += obuf.size() - z.avail_out;
    } while (z.avail_out == 0 || (flush == Z_FINISH && r != Z_STREAM_END));
    if (got == 0) break;
  }
  deflateEnd(&z);
  std::printf("%llu %llu\n", total_in, total_out);
  return 0;
}
