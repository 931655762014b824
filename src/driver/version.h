// version.h -- the program's version, shown by --version and the manual page.
#ifndef VORN_VERSION_H
#define VORN_VERSION_H

constexpr char kVornVersion[] = "1.0.0";

#endif
