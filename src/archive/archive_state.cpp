#include "archive/archive_state.h"

ArchiveState g_archive;

namespace {

// Removes the last record each time.  Stops should a removal ever fail, so
// that a damaged table cannot hold the exit up.
void empty_table(EntryTable& table) {
  while (table.count() > 0) {
    int before = table.count();
    if (entry_table_remove(table, before - 1) != 0 || table.count() >= before) break;
  }
}

void remove_all_specs() {
  FileSpecList& list = g_archive.specs;
  while (list.count() > 0) {
    int before = list.count();
    file_spec_remove(list.specs.back().get());
    if (list.count() >= before) break;
  }
}

}  // namespace

void archive_release() {
  empty_table(g_archive.loaded);
  empty_table(g_archive.output);
  remove_all_specs();
  streams_release();
  g_archive = ArchiveState();
}
