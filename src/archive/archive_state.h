// archive_state.h -- the archive container's part of the process-wide state:
// the loaded table, the output table, the file-spec list and the zlib
// streams with their buffers.
//
// One ArchiveState (g_archive) per process; the exit routine releases it with
// archive_release after the message-file tool's texts and before the run
// state's descriptors.
#ifndef VORN_ARCHIVE_STATE_H
#define VORN_ARCHIVE_STATE_H

#include "archive/entry_table.h"
#include "archive/streams.h"

struct ArchiveState {
  EntryTable loaded;    // the archive's directory as loaded
  EntryTable output;    // the directory of the archive being written
  FileSpecList specs;   // the file specs of the option pass
  Streams streams;      // the read and write streams and the copy buffer
};

extern ArchiveState g_archive;

// Releases, in this order: the loaded table and then the output table, last
// record first; the file specs, last first; the zlib streams and buffers.
// Then puts g_archive back to its start values.
void archive_release();

#endif
