// emitter.h -- "+#": a file compressed into one zlib stream and written as the
// C source of an initialised byte array named deflatedStream.
#ifndef VORN_EMITTER_H
#define VORN_EMITTER_H

// Compresses `input` at level 9 and writes the array text to `output`
// (through a temporary file beside it, renamed into place; base/replace.h).
// 0, or -1 when the input is missing or unreadable or the output cannot be
// written; on failure no partial output is left.
int emit_deflated_source(const char* input, const char* output);

// Formats one piece of text (printf-style) and writes all of it to fd.
// 0, or -1 when fewer characters were written.
[[gnu::format(printf, 2, 3)]] int write_formatted(int fd, const char* format, ...);

#endif
