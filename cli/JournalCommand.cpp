// "kaldora-cli journal export FILE": a journal as the report CSV, on standard output.

#include <cstdio>
#include <cstring>
#include <iostream>

#include "base/Options.h"
#include "cli/BatchCommand.h"
#include "cli/Journal.h"

namespace {

constexpr const char* JournalHelp = R"(Usage: kaldora-cli journal export FILE

Prints the journal FILE (written by 'kaldora-cli batch') as the report CSV on standard
output: every row of the lot with its columns, then result, reason, reply, attempts,
port, elapsed_ms and time. It may be run at any time, also while a batch is writing
the journal, or after one was killed: a row whose frame may have left without an
outcome being recorded shows as "unknown".

Exit status: 0 when the whole report was written; 2 for bad use or a file that is not a
journal; 3 when standard output could not be written.
)";

} // namespace

int RunJournalCommand(const std::vector<std::string>& args) {
    const TParsedOptions parsed = ParseOptions(args, {});
    if (parsed.Help) return std::fputs(JournalHelp, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 3;
    if (parsed.Version) return std::printf("%s\n", VersionText("kaldora-cli").c_str()) > 0 ? 0 : 3;
    std::string error = parsed.Error;
    if (error.empty() && (parsed.Positionals.size() != 2 || parsed.Positionals[0] != "export"))
        error = "give 'journal export FILE'";
    if (!error.empty()) {
        std::cerr << "kaldora-cli journal: " << error << " (see 'kaldora-cli journal --help')\n";
        return 2;
    }
    const std::string& path = parsed.Positionals[1];
    if (std::FILE* probe = std::fopen(path.c_str(), "rb"))
        std::fclose(probe);
    else {
        std::cerr << "kaldora-cli journal: cannot read '" << path << "': " << std::strerror(errno) << "\n";
        return 2;
    }
    const auto journal = TJournal::Open(path, error);
    if (!journal) {
        std::cerr << "kaldora-cli journal: " << error << "\n";
        return 2;
    }
    bool written = true;
    const bool read = journal->Export(
        [&written](const std::string& line) {
            written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
            return written;
        },
        error);
    written = written && std::fflush(stdout) == 0;
    if (!written) {
        std::cerr << "kaldora-cli journal: standard output: " << std::strerror(errno) << "\n";
        return 3;
    }
    if (!read) {
        std::cerr << "kaldora-cli journal: " << error << "\n";
        return 2;
    }
    return 0;
}

TCommandHelp JournalCommandHelp() {
    return {"journal", JournalHelp, {}};
}
