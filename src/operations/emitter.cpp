// emitter.cpp -- "+#": compresses a file into one zlib stream and writes the
// stream as the C source of the byte array deflatedStream.
//
// The stream is first produced by the write stream into a temporary file
// beside the output (base/replace.h), read back, and overwritten there by the
// text (always longer than the bytes it replaces); only a complete, flushed
// text is then renamed into place, so a failed run never leaves a partial
// output behind.
#include "operations/emitter.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "archive/streams.h"
#include "base/failure.h"
#include "base/replace.h"
#include "platform/platform.h"

namespace {

constexpr size_t FORMAT_BUFFER_SIZE = 400;
constexpr size_t VALUES_PER_LINE = 16;

// Feeds the whole input, a copy buffer at a time, into the write stream.
// 0 or -1.
int compress_input(int in_fd) {
  unsigned char* buf = copy_buffer();
  if (buf == nullptr) return -1;
  for (;;) {
    int64_t got = pf_read(in_fd, buf, COPY_BUFFER_SIZE);
    if (got < 0) return -1;
    if (got == 0) return 0;
    uint32_t n = static_cast<uint32_t>(got);
    if (deflate_write(buf, n) != n) return -1;
  }
}

// Writes the array text for `bytes` from the start of fd.  0 or -1.
int write_array_text(int fd, const std::vector<unsigned char>& bytes) {
  if (pf_seek(fd, 0, PF_SEEK_SET) != 0) return -1;
  if (write_formatted(fd, "char deflatedStream[]={\n\t") != 0) return -1;
  size_t m = bytes.size();
  size_t i = 0;
  // Whole lines of 16 values that are followed by at least one more byte.
  while (m - i > VALUES_PER_LINE) {
    char line[VALUES_PER_LINE * 5 + 3];
    size_t at = 0;
    for (size_t k = 0; k < VALUES_PER_LINE; ++k, ++i) {
      at += static_cast<size_t>(std::snprintf(line + at, sizeof line - at, "0x%02X,", bytes[i]));
    }
    if (write_formatted(fd, "%s\n\t", line) != 0) return -1;
  }
  while (m - i > 1) {
    if (write_formatted(fd, "0x%02X,", bytes[i]) != 0) return -1;
    ++i;
  }
  // A zlib stream is never empty, so a last byte is always there.
  if (i < m && write_formatted(fd, "0x%02X", bytes[i]) != 0) return -1;
  return write_formatted(fd, "\n};\n");
}

// Produces the finished text in the temporary file.  0, or -1 on any
// failure.
int emit_into(int in_fd, int tmp_fd) {
  if (deflate_open(tmp_fd, 0) != 0) return -1;
  if (compress_input(in_fd) != 0) return -1;
  if (deflate_finish() != 0) return -1;
  int64_t m = pf_seek(tmp_fd, 0, PF_SEEK_CUR);
  if (m <= 0) return -1;
  std::vector<unsigned char> bytes;
  try {
    bytes.resize(static_cast<size_t>(m));
  } catch (const std::bad_alloc&) {
    return fail_note("out of memory", "", "");
  }
  if (pf_seek(tmp_fd, 0, PF_SEEK_SET) != 0) return -1;
  if (pf_read(tmp_fd, bytes.data(), bytes.size()) != m) return -1;
  return write_array_text(tmp_fd, bytes);
}

}  // namespace

int write_formatted(int fd, const char* format, ...) {
  char buf[FORMAT_BUFFER_SIZE];
  va_list ap;
  va_start(ap, format);
  int len = std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  // A piece that does not fit the buffer is not written cut short.
  if (len < 0 || static_cast<size_t>(len) >= sizeof buf) return -1;
  return pf_write(fd, buf, static_cast<size_t>(len)) == len ? 0 : -1;
}

int emit_deflated_source(const char* input, const char* output) {
  if (input == nullptr || output == nullptr || *output == '\0') return -1;
  int in_fd = pf_open_read(input);
  if (in_fd < 0) return fail_system("cannot open", input);
  TempFile t;
  if (temp_create(output, &t) != 0) {
    pf_close(in_fd);
    return -1;
  }
  const int rc = emit_into(in_fd, t.fd);
  pf_close(in_fd);
  if (rc != 0) {
    fail_system("cannot write", output);
    temp_discard(&t);
    return -1;
  }
  return temp_commit(&t, TEMP_REPLACE);
}
