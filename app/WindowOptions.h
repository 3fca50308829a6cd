#pragma once
// The window program's own options (Qt's are read by Qt): one table, read before the
// application exists and shown by --help and the manual page alike.

#include <string>

#include "base/Options.h"

TOptionTable WindowOptionTable();

// The usage line and the options, as --help prints them.
std::string WindowUsage(const TOptionTable& table);
