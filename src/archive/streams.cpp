// Placeholder: replaced by the archive container's implementation.
#include "archive/streams.h"
int inflate_open(int, int64_t) { return -1; }
uint32_t inflate_read(void*, uint32_t) { return 0; }
int inflate_close() { return 0; }
int inflate_check_end() { return -1; }
int deflate_open(int, int64_t) { return -1; }
uint32_t deflate_write(const void*, uint32_t) { return 0; }
int deflate_finish() { return -1; }
int copy_raw_to_raw(int64_t) { return -1; }
int copy_stream_to_stream(int64_t) { return -1; }
int copy_raw_to_stream(int64_t) { return -1; }
int copy_stream_to_raw(int64_t) { return -1; }
int skip_stream(int64_t) { return -1; }
unsigned char* copy_buffer() { return nullptr; }
void streams_release() {}
