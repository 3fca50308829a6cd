// "kaldora-cli journal export FILE": a journal as the report CSV, on standard output.

#include <cstdio>
#include <cstring>
#include <iostream>

#include "base/Options.h"
#include "cli/BatchCommand.h"
#include "cli/Journal.h"
#include "cli/StationJournal.h"

namespace {

constexpr const char* JournalHelp = R"(Usage: kaldora-cli journal export FILE

Prints the journal FILE as CSV on standard output. A journal of 'kaldora-cli batch'
gives its report: every row of the lot with its columns, then result, reason, reply,
attempts, port, elapsed_ms and time. A journal of 'kaldora-cli station' gives one row
per device, in the order the IDs were taken: eln, id, result (ok, uncertain, released,
reassigned), fixture, attempts and time. It may be run at any time, also while the
journal is being written, or after a run was killed: a row whose frame may have left
without an outcome being recorded shows as "unknown" (a station's as "uncertain").

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
    bool written = true;
    const auto write = [&written](const std::string& line) {
        written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
        return written;
    };
    // The schema tells the two apart: a station's journal first, else the batch's.
    bool notStation = false;
    bool read = false;
    if (const auto station = TStationJournal::Open(path, false, error, &notStation))
        read = station->Export(write, error);
    else if (!notStation) {
        std::cerr << "kaldora-cli journal: " << error << "\n";
        return 2;
    } else {
        const auto journal = TJournal::Open(path, error);
        if (!journal) {
            std::cerr << "kaldora-cli journal: " << error << "\n";
            return 2;
        }
        read = journal->Export(write, error);
    }
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
