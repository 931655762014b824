// duplicates.h -- the duplicate finder ("-redund:", "-rfind:").
#ifndef VORN_DUPLICATES_H
#define VORN_DUPLICATES_H

// Reports every later copy of an earlier entry as "first,copy\r\n" in the open
// report file (run.report_fd) and queues delete specs for the copies and an
// add spec for the report.  0, or -1 on a read or write failure, and -1 when
// the report could not take the place of the entry of its name: an entry kept
// as the first of removed copies, or one whose key the report's spec does not
// open.
int find_duplicate_entries();

// 1 when the name may be reported (no prefixes given, or it begins with one
// of them, case counting), 0 otherwise.
int report_prefix_match(const char* name);

#endif
