#pragma once
// "kaldora-cli batch FILE.csv [options]": args are the arguments after "batch". Writes the
// row lines and the summary to standard output, messages and progress to standard error;
// returns the exit code.

#include <string>
#include <vector>

#include "cli/CommandHelp.h"

int RunBatchCommand(const std::vector<std::string>& args);

// "kaldora-cli journal export FILE": the journal as the report CSV on standard output.
int RunJournalCommand(const std::vector<std::string>& args);

// Their help texts with their tables.
TCommandHelp BatchCommandHelp();
TCommandHelp JournalCommandHelp();
