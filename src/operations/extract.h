// extract.h -- writing stored entries back out as files.
#ifndef VORN_EXTRACT_H
#define VORN_EXTRACT_H

// Writes every loaded entry named by an extract spec to its target (through a
// sibling vorn9876.tmp that then replaces it), asking y/n/a on standard input
// before replacing an existing target.  Reads the old archive only.  0 when
// every selected entry was written or skipped; -1 on the first failure.
int extract_entries();

#endif
