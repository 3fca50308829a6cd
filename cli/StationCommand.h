#pragma once
// "kaldora-cli station": one device after another on each fixture, each given the next
// free ID of the lot exactly once.

#include <string>
#include <vector>

#include "cli/CommandHelp.h"

int RunStationCommand(const std::vector<std::string>& args);

// Its help text with its tables.
TCommandHelp StationCommandHelp();
