#pragma once
// A command's --help text with the option tables it lists, so that the manual pages and the
// shell completion are made of the rows the command reads.

#include <string>
#include <vector>

#include "base/Options.h"

struct TCommandHelp {
    std::string Command;                     // "set-id"; empty for the program itself
    std::string Text;                        // exactly what --help prints
    std::vector<const TOptionTable*> Tables; // the rows that Text lists, in its order
};
