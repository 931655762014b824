// windows_names.h -- the names Windows cannot give a file.
//
// Extraction holds every target to these rules on every system, so that an
// archive that extracts on one extracts the same on the other.
#ifndef VORN_WINDOWS_NAMES_H
#define VORN_WINDOWS_NAMES_H

#include <string>

// 0 when an entry stored as `name` may be written to `rest`, the part of the
// name extraction keeps (after its drive prefixes and leading separators);
// -1 when Windows would not take it for a plain relative file name:
//  - `name` begins with two separators (a UNC name "\\server\share\...", or
//    one of the prefixes "\\?\" and "\\.\" that bypass name checking or
//    reach devices);
//  - a component of `rest` holds a character Windows forbids in names
//    (< > : " | ? * or a control character 1-31, or a NUL byte);
//  - a component other than "." ends in a dot or a space (Windows would drop
//    them and write another name);
//  - a component is a device name: CON, PRN, AUX, NUL, CONIN$, CONOUT$,
//    COM0-COM9, LPT0-LPT9 (also with a superscript 1, 2 or 3 for the digit),
//    without regard to case, alone or followed by an extension ("nul.txt",
//    "Com1.tar.gz") and with spaces before the extension ("CON .txt").
// Either separator splits components.
int windows_name_check(const std::string& name, const std::string& rest);

#endif
