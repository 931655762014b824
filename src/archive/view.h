// view.h -- the "-v" walk over the selected entries of the loaded archive.
#ifndef VORN_ARCHIVE_VIEW_H
#define VORN_ARCHIVE_VIEW_H

// The "-v" walk: reads the in-directory data of every selected entry through
// the decompressor.  0, or -1 when no archive is open or any data cannot be
// read or inflated, or (when it read the stream to its end) the stream does
// not end there with a valid Adler-32.  Without in-directory entries the
// stream is read past the records, where it must end.  Prints nothing and
// changes nothing but the read stream.
int view_pass();

#endif
