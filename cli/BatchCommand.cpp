// "kaldora-cli batch": files, links, signals, progress and the standard streams around the
// pure batch logic of Batch.cpp.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/Convert.h"
#include "cli/Batch.h"
#include "cli/CliLink.h"
#include "protocol/Reply.h"

namespace {

constexpr const char* BatchHelpHead = R"(Usage: kaldora-cli batch FILE.csv [--report REPORT.csv] [--retries K] [--json] LINK

Gives many devices their new ID, one Set_ID per row of FILE.csv, as on a production
line. FILE.csv ('-' for standard input) is a CSV file whose first row names the
columns:

  model    KESTREL-A, MARLIN-A or OSPREY-B (any case)
  id       the new ID, 0..255 as the window sends it
  serial   the serial number, e.g. 23A1705; needed for OSPREY-B, whose Set_ID is
           addressed by it, so that several devices can share one RS-485 bus
  ...      any other column is carried through to the report

Fields may be quoted ("a, b", "say ""hi"""); lines may end in CRLF; a UTF-8 BOM,
blank lines and lines starting with '#' are ignored. A row that cannot be sent
(too few or too many fields, unknown model, id not a number or out of range,
OSPREY-B without a valid serial) is skipped and listed with its line and reason.

Each row's frame is sent and the reply judged as the window judges it: accepted
1000 ms after the first reply byte when 13, 15 or 20 bytes came; "Error" when no
byte came within 3000 ms.

  --report FILE   write a report CSV: every input row with its columns, then
                  result (ok, failed, skipped, not run), reason, reply (hex),
                  attempts, port, elapsed_ms and time (ISO 8601, local time).
                  Written also when interrupted. Feeding a report back in as
                  FILE.csv works: its result columns are replaced.
  --retries K     send a row up to K more times when it got no accepted reply
                  (default 0)
  --json          one JSON object per line for each row's result, then one for
                  the summary, instead of the text lines
  --help          show this text

)";

constexpr const char* BatchHelpTail = R"(
--port may be given several times, one per fixture: the ports work through the rows
in parallel, each taking the next row in file order when it is free. A port that does
not open, or is lost during the run, is reported and the others carry on; its row in
flight is reported as failed.

Output: one line per row as it finishes (on a terminal also a progress line with rows
done, ok, failed and rows per minute), then a summary: counts of ok, failed, skipped
and not run, with the line and reason of every row that did not succeed.

Ctrl-C or SIGTERM: the rows in flight are finished, the rest marked "not run", the
report written and the summary printed; exit status 130. A second Ctrl-C abandons the
rows in flight too (reported as failed: their frame was sent, the device may have
taken the ID).

Exit status: 0 when every row succeeded; 1 when any row failed, was skipped or not
run (or the file lists no devices); 2 for bad options, an unreadable file or report
path, or when no port could be opened; 130 when interrupted.
)";

constexpr int ExitBadUse = 2;
constexpr int ExitInterrupted = 130;

bool TakeOption(const std::vector<std::string>& args, size_t& k, const char* name, std::optional<std::string>& value,
                std::string& error) {
    const std::string& arg = args[k];
    const std::string n(name);
    if (arg.size() > n.size() && arg.compare(0, n.size(), n) == 0 && arg[n.size()] == '=') {
        value = arg.substr(n.size() + 1);
        return true;
    }
    if (arg != n) return false;
    if (k + 1 < args.size())
        value = args[++k];
    else
        error = "option '" + n + "' needs a value";
    return true;
}

struct TBatchOptions {
    std::string File;
    std::string Report;
    int Retries = 0;
    bool Json = false;
    bool Help = false;
    std::vector<TLinkSettings> Links;
};

// Returns the error text, empty on success.
std::string ParseBatchOptions(const std::vector<std::string>& args, TBatchOptions& options) {
    std::vector<std::string> common;                   // link options shared by every link
    std::vector<std::pair<std::string, std::string>> links; // each --port / --tcp with its value
    for (size_t k = 0; k < args.size(); ++k) {
        std::optional<std::string> value;
        std::string error;
        const std::string& arg = args[k];
        if (arg == "--help" || arg == "-h") {
            options.Help = true;
        } else if (arg == "--json") {
            options.Json = true;
        } else if (TakeOption(args, k, "--report", value, error)) {
            if (!error.empty()) return error;
            if (value->empty()) return "--report needs a file name";
            options.Report = *value;
        } else if (TakeOption(args, k, "--retries", value, error)) {
            if (!error.empty()) return error;
            const auto retries = TryStrToInt(*value);
            if (!retries || *retries < 0 || *retries > 100) return "--retries " + *value + ": give 0 to 100";
            options.Retries = *retries;
        } else if (TakeOption(args, k, "--port", value, error) || TakeOption(args, k, "--tcp", value, error)) {
            if (!error.empty()) return error;
            const std::string name = arg.rfind("--tcp", 0) == 0 ? "--tcp" : "--port";
            for (const auto& [other, otherValue] : links)
                if (other == name && otherValue == *value) return name + " " + *value + " is given twice";
            links.emplace_back(name, *value);
        } else if (TakeOption(args, k, "--baud", value, error) || TakeOption(args, k, "--parity", value, error)) {
            if (!error.empty()) return error;
            common.push_back(arg.substr(0, arg.find('=')) + "=" + *value);
        } else if (arg.rfind("--", 0) == 0) {
            return "unknown option '" + arg + "'";
        } else if (options.File.empty()) {
            options.File = arg;
        } else {
            return "one input file only: '" + options.File + "' and '" + arg + "'";
        }
    }
    if (options.Help) return "";
    std::vector<std::string> rest;
    if (links.empty()) {
        TLinkSettings settings;
        const std::string error = ParseLinkOptions(common, settings, rest);
        if (!error.empty()) return error;
        if (!rest.empty()) return "unknown option '" + rest.front() + "'";
        return "no link given: add --port COMn|PATH (several for several fixtures) or --tcp HOST:PORT";
    }
    for (const auto& [name, value] : links) {
        std::vector<std::string> one = common;
        one.push_back(name);
        one.push_back(value);
        TLinkSettings settings;
        const std::string error = ParseLinkOptions(one, settings, rest);
        if (!error.empty()) return error;
        if (!rest.empty()) return "unknown option '" + rest.front() + "'";
        options.Links.push_back(settings);
    }
    if (options.File.empty()) return "no input file given";
    return "";
}

bool ReadWholeFile(const std::string& path, std::string& text, std::string& error) {
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

// What a row line shows of the device.
std::string DeviceText(const TBatchRow& row) {
    std::string text = std::string(ModelCaption(row.Inputs.Model)) + " id " + std::to_string(row.Inputs.Id);
    if (row.Inputs.Model == TModel::OspreyB) text += " serial " + row.Inputs.SerialText;
    return text;
}

std::string RowLine(const TBatchFile& file, size_t index, const TRowResult& r) {
    const TBatchRow& row = file.Rows[index];
    std::string line = "line " + std::to_string(row.Line) + ": " + RowStatusText(r.Status);
    if (r.Status == TRowStatus::Skipped || r.Attempts == 0) return line + ": " + r.Reason;
    line += " " + DeviceText(row) + " on " + r.Port;
    if (!r.Reason.empty()) line += ": " + r.Reason;
    line += " (" + std::to_string(r.Attempts) + (r.Attempts == 1 ? " attempt, " : " attempts, ") +
            std::to_string(r.ElapsedMs) + " ms)";
    return line;
}

// Turns one link's exchange into the batch's terms.
TBatchAttempt Attempt(TLink& link, const std::vector<uint8_t>& frame) {
    const TExchangeResult exchange = RunExchange(link, frame, ReplyKindSetId);
    TBatchAttempt attempt;
    attempt.Accepted = exchange.Accepted;
    attempt.ReplyHex = exchange.ReplyHex;
    attempt.ElapsedMs = exchange.ElapsedMs;
    if (exchange.Accepted) return attempt;
    if (exchange.LinkFailed) {
        attempt.LinkError = "sending failed: " + exchange.Detail;
        attempt.NotSent = true;
        return attempt;
    }
    if (exchange.Interrupted) {
        attempt.Detail = "interrupted before the reply was judged (the frame was sent: the device may have "
                         "taken the new ID)";
        return attempt;
    }
    // A link that is gone ends the exchange as a missing reply; ask it.
    std::vector<uint8_t> ignored;
    if (link.Receive(ignored, std::chrono::steady_clock::now()) == TLink::TWait::Lost) {
        attempt.LinkError = link.LostReason();
        return attempt;
    }
    attempt.Detail = exchange.ResultLine == ReplyErrorLine ? std::string(ReplyErrorLine) + ": " + exchange.Detail
                                                           : exchange.Detail;
    return attempt;
}

class TBatchConsole {
public:
    TBatchConsole(const TBatchFile& file, const std::vector<TRowResult>& results, bool json)
        : FFile(file), FResults(results), FJson(json), FProgress(!json && isatty(STDOUT_FILENO)),
          FStart(std::chrono::steady_clock::now()) {
        for (const auto& r : results)
            if (r.Status == TRowStatus::NotRun) ++FTotal;
    }

    void Row(size_t index) {
        std::lock_guard guard(FLock);
        const TRowResult& r = FResults[index];
        ClearProgress();
        std::cout << (FJson ? FormatRowJson(FFile, index, r) : RowLine(FFile, index, r)) << "\n";
        if (r.Status == TRowStatus::Ok || r.Status == TRowStatus::Failed) {
            ++FDone;
            (r.Status == TRowStatus::Ok ? FOk : FFailed) += 1;
        }
        DrawProgress();
        std::cout << std::flush;
    }

    // Shows the progress line before the first row has finished.
    void Start() {
        std::lock_guard guard(FLock);
        DrawProgress();
        std::cout << std::flush;
    }

    void Message(const std::string& text) {
        std::lock_guard guard(FLock);
        ClearProgress();
        std::cout << std::flush;
        std::cerr << "kaldora-cli batch: " << text << "\n" << std::flush;
        DrawProgress();
        std::cout << std::flush;
    }

    void Finish() {
        std::lock_guard guard(FLock);
        ClearProgress();
        FProgress = false;
        std::cout << std::flush;
    }

private:
    void ClearProgress() {
        if (FProgress && FShown) std::cout << "\r\033[K";
        FShown = false;
    }

    void DrawProgress() {
        if (!FProgress) return;
        const double minutes =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count() / 60.0;
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.1f", minutes > 0 ? FDone / minutes : 0.0);
        std::cout << "[" << FDone << "/" << FTotal << "] ok " << FOk << ", failed " << FFailed << ", " << rate
                  << " rows/min";
        FShown = true;
    }

    const TBatchFile& FFile;
    const std::vector<TRowResult>& FResults;
    bool FJson;
    bool FProgress;
    bool FShown = false;
    std::chrono::steady_clock::time_point FStart;
    size_t FTotal = 0, FDone = 0, FOk = 0, FFailed = 0;
    std::mutex FLock;
};

// Writes the report through a temporary file beside it, so a report is either whole or
// the one from before.
bool WriteReport(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = path + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot write the report '" + temporary + "': " + std::strerror(errno);
            return false;
        }
        out << text;
        out.flush();
        if (!out) {
            error = "cannot write the report '" + temporary + "': " + std::strerror(errno);
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot move the report to '" + path + "': " + std::strerror(errno) + " (it is in '" + temporary +
                "')";
        return false;
    }
    return true;
}

} // namespace

int RunBatchCommand(const std::vector<std::string>& args) {
    TBatchOptions options;
    const std::string optionError = ParseBatchOptions(args, options);
    if (options.Help) {
        std::cout << BatchHelpHead << LinkOptionsHelp << BatchHelpTail;
        return 0;
    }
    if (!optionError.empty()) {
        std::cerr << "kaldora-cli batch: " << optionError << " (see 'kaldora-cli batch --help')\n";
        return ExitBadUse;
    }
    std::string text, error;
    if (!ReadWholeFile(options.File, text, error)) {
        std::cerr << "kaldora-cli batch: " << error << "\n";
        return ExitBadUse;
    }
    const TBatchFile file = ParseBatchCsv(text);
    if (!file.Error.empty()) {
        std::cerr << "kaldora-cli batch: " << options.File << ": " << file.Error << "\n";
        return ExitBadUse;
    }
    // Refuse an unwritable report path now, not after the devices have been set.
    if (!options.Report.empty()) {
        const std::string probe = options.Report + ".partial";
        std::ofstream out(probe, std::ios::binary | std::ios::trunc);
        if (!out) {
            std::cerr << "kaldora-cli batch: cannot write the report '" << probe << "': " << std::strerror(errno)
                      << "\n";
            return ExitBadUse;
        }
    }

    std::vector<TRowResult> results = InitialResults(file);
    TBatchConsole console(file, results, options.Json);
    for (size_t k = 0; k < results.size(); ++k)
        if (results[k].Status == TRowStatus::Skipped) console.Row(k);

    // Signals are taken by this thread alone, with sigtimedwait, so no link wait is cut
    // short by EINTR and nothing runs in a signal handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &signals, &previous);

    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::vector<TBatchPort> ports;
    for (const TLinkSettings& settings : options.Links) {
        auto link = std::shared_ptr<TLink>(MakeLink(settings));
        TBatchPort port;
        port.Name = settings.Name();
        port.Open = [link, &console, &opened, name = port.Name, many = options.Links.size() > 1]() {
            std::string error;
            try {
                error = link->Open();
            } catch (const std::exception& e) {
                error = e.what();
            }
            if (error.empty()) {
                ++opened;
                return error;
            }
            console.Message(name + ": " + error + (many ? "; the other ports carry on" : ""));
            return error;
        };
        port.Exchange = [link](const std::vector<uint8_t>& frame) { return Attempt(*link, frame); };
        port.Close = [link, &console, name = port.Name](const std::string& lost) {
            if (!lost.empty()) console.Message(name + " is lost (" + lost + "); it takes no more rows");
            link->Close();
        };
        ports.push_back(std::move(port));
    }

    std::atomic<bool> done{false};
    console.Start();
    std::thread runner([&] {
        RunBatchRows(file, results, ports, {options.Retries}, stop, [&console](size_t index) { console.Row(index); });
        done = true;
    });
    int signalsSeen = 0;
    while (!done) {
        const timespec wait{0, 100 * 1000 * 1000};
        const int signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal != SIGINT && signal != SIGTERM) continue;
        if (++signalsSeen == 1) {
            stop = true;
            console.Message(std::string(signal == SIGINT ? "interrupted" : "terminated") +
                            ": finishing the rows in flight, the rest will not run (again to abandon them)");
        } else {
            console.Message("abandoning the rows in flight");
            InterruptAllLinks();
        }
    }
    runner.join();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    console.Finish();

    bool reportFailed = false;
    if (!options.Report.empty()) {
        std::string reportError;
        if (!WriteReport(options.Report, FormatBatchReport(file, results), reportError)) {
            std::cerr << "kaldora-cli batch: " << reportError << "\n";
            reportFailed = true;
        }
    }
    const bool interrupted = signalsSeen > 0;
    if (options.Json) {
        for (size_t k = 0; k < results.size(); ++k)
            if (results[k].Status == TRowStatus::NotRun) std::cout << FormatRowJson(file, k, results[k]) << "\n";
        std::cout << FormatSummaryJson(file, results, interrupted) << "\n";
    } else {
        std::cout << FormatBatchSummary(file, results, interrupted);
        if (!options.Report.empty() && !reportFailed) std::cout << "Report: " << options.Report << "\n";
    }
    std::cout << std::flush;

    if (interrupted) return ExitInterrupted;
    if (!ports.empty() && opened == 0 && BatchExitCode(results) != 0 &&
        std::any_of(results.begin(), results.end(), [](const TRowResult& r) { return r.Status == TRowStatus::NotRun; }))
        return ExitBadUse;
    if (reportFailed) return ExitBadUse;
    return BatchExitCode(results);
}
