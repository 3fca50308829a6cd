// "kaldora-cli batch": options, files, signals, the journal and the console around the
// pure batch logic (Batch.cpp) and the run over the ports (BatchRun.cpp).

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "base/Options.h"
#include "cli/BatchCommand.h"
#include "cli/BatchRun.h"
#include "cli/CliCommands.h"
#include "cli/Descriptors.h"
#include "cli/KaldoraCli.h"
#include "cli/Link.h"
#include "cli/ReportFile.h"
#include "protocol/Reply.h"

namespace {

constexpr const char* BatchHelpHead = R"(Usage: kaldora-cli batch FILE.csv [options] LINK...

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
Two rows with one ID, or two OSPREY-B rows with one serial, refuse the whole file
before anything is sent (every duplicate is listed with its lines).

Each row's frame is sent and the reply judged as the window judges it: accepted
1000 ms after the first reply byte when 13, 15 or 20 bytes came; "Error" when no
byte came within 3000 ms. Bytes waiting on a link before a frame are dropped
first. After no reply the link listens for --settle ms: an answer then is a "late
reply" (the device may have taken the ID), never the next row's answer.

Options:
)";

constexpr const char* BatchHelpTail = R"(
The journal: every row is recorded in an SQLite journal as it happens, its state
"sending" before its frame leaves, so that nothing that was sent goes unrecorded,
whatever happens to the process. Without --journal it is REPORT.journal beside the
report, or a new file in the temporary directory (its name is printed). The same
command with the same journal resumes: rows with a result are not sent again; a row
left "sending" by a run that was killed is reported "unknown" (the frame may have
left) and sent again only with --resend-unknown. 'kaldora-cli journal export FILE'
prints a journal as the report CSV at any time.

Results (the report's result column): ok; failed (no reply, or a reply of another
length); late reply; lost after send (the link failed once the frame had left: it
is not sent on another port); unknown; skipped; not run.

--port and --tcp may be given several times, one per fixture: the ports work through
the rows in parallel, each taking the next row in file order when it is free. A
port that does not open, or is lost, is reported and the others carry on; a row of
which nothing was sent goes to another port.

Output: one line per row on standard output as it finishes (on a terminal a
progress line on standard error), then a summary: the counts, the line and reason
of the first rows that did not succeed ("... and N more"), the report and journal.

Ctrl-C, SIGTERM or SIGHUP, or standard output closing: every wait ends at once, the
rows in flight are recorded ("unknown" when their frame had left), the rest are "not
run", the report is written and the summary printed.

Exit status: 0 when every row succeeded; 1 when any row did not (or the file lists no
devices); 2 for bad options, an unreadable file, duplicate IDs, a journal of another
lot, or when no port could be opened; 3 when standard output, the report or the
journal could not be written; 130 when interrupted.
)";


const TOptionTable& BatchOptions() {
    static const TOptionTable table = [] {
        TOptionTable t;
        t.push_back(TextOption("report", "FILE", "write the report CSV: every input row with its columns, then "
                                                 "result, reason, reply, attempts, port, elapsed_ms and time"));
        t.push_back(TextOption("journal", "FILE", "the SQLite journal of the lot (default: REPORT.journal)"));
        t.push_back(IntegerOption("retries", "K", 0, 100,
                                  "send a row up to K more times on its port after no reply or a reply of "
                                  "another length ({}, default 0)"));
        t.push_back(IntegerOption("settle", "MS", 0, 60000,
                                  "after no reply, listen this long for a late one before the next frame on "
                                  "that link ({} ms, default 1000)"));
        t.push_back(FlagOption("fast", QuickRuleHelp));
        t.push_back(IntegerOption("quiet-gap", "MS", 1, 1000,
                                  "the quiet gap of --fast ({} ms; default the longer of 20 ms and ten "
                                  "character times at the baud rate)"));
        t.push_back(FlagOption("allow-duplicate-ids", "let rows with one ID (or one serial) through, for a "
                                                      "device that is meant to be set twice"));
        t.push_back(FlagOption("resend-unknown", "on resuming, send again the rows whose frame may have left"));
        t.push_back(FlagOption("json", "one JSON object per line for each row, then one for the summary"));
        return t;
    }();
    return table;
}

// Standard output as the console writes it: a write that fails (a closed pipe, a full
// disk) is noticed, never fatal.
bool WriteOut(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

bool ProgressWanted() {
    const char* term = std::getenv("TERM");
    return isatty(STDERR_FILENO) && term && std::string(term) != "dumb" && *term;
}

class TBatchConsole {
public:
    TBatchConsole(const TBatchHeader& header, bool json, std::function<void()> onWriteFailure)
        : FHeader(header), FJson(json), FProgress(ProgressWanted()), FOnWriteFailure(std::move(onWriteFailure)),
          FStart(std::chrono::steady_clock::now()) {}

    void Row(const TJournalRow& row, const std::string& device) {
        std::lock_guard guard(FLock);
        ClearProgress();
        Out((FJson ? FormatRowJson(FHeader, row) : RowLine(row, device)) + "\n");
        if (row.State != TRowState::Skipped) {
            ++FDone;
            if (row.State == TRowState::Ok) ++FOk;
            else ++FFailed;
        }
        DrawProgress();
    }

    void Message(const std::string& text) {
        std::lock_guard guard(FLock);
        ClearProgress();
        std::cerr << "kaldora-cli batch: " << text << "\n" << std::flush;
        DrawProgress();
    }

    void Finish() {
        std::lock_guard guard(FLock);
        ClearProgress();
        FProgress = false;
    }

    void Out(const std::string& text) {
        if (FWriteFailed || WriteOut(text)) return;
        FWriteFailed = true;
        FWriteError = errno;
        if (FOnWriteFailure) FOnWriteFailure();
    }

    bool WriteFailed() const { return FWriteFailed; }
    int WriteError() const { return FWriteError; }

private:
    void ClearProgress() {
        if (FProgress && FShown) std::cerr << "\r\033[K" << std::flush;
        FShown = false;
    }

    void DrawProgress() {
        if (!FProgress) return;
        const double minutes =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count() / 60.0;
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.1f", minutes > 0 ? FDone / minutes : 0.0);
        std::cerr << "[" << FDone << " done] ok " << FOk << ", not ok " << FFailed << ", " << rate << " rows/min"
                  << std::flush;
        FShown = true;
    }

    const TBatchHeader& FHeader;
    bool FJson;
    bool FProgress;
    bool FShown = false;
    std::function<void()> FOnWriteFailure;
    std::chrono::steady_clock::time_point FStart;
    size_t FDone = 0, FOk = 0, FFailed = 0;
    std::atomic<bool> FWriteFailed{false};
    int FWriteError = 0;
    std::mutex FLock;
};

// The input as a file that can be read twice (the duplicate check, then the rows):
// standard input is copied to a temporary file first.
struct TInput {
    std::string Path;
    bool Temporary = false;
    ~TInput() {
        if (Temporary) std::remove(Path.c_str());
    }
};

std::string PrepareInput(const std::string& name, TInput& input) {
    if (name != "-") {
        input.Path = name;
        std::ifstream probe(name, std::ios::binary);
        if (!probe) return "cannot read '" + name + "': " + std::strerror(errno);
        return "";
    }
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/kaldora-batch-input.XXXXXX";
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) return "cannot keep standard input in '" + path + "': " + std::strerror(errno);
    input.Path = path;
    input.Temporary = true;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return std::string("cannot read standard input: ") + std::strerror(errno);
        }
        if (n == 0) break;
        if (write(fd, buffer, static_cast<size_t>(n)) != n) {
            const int error = errno;
            close(fd);
            return "cannot keep standard input in '" + path + "': " + std::strerror(error);
        }
    }
    close(fd);
    return "";
}

std::string DefaultJournalPath(const std::string& report) {
    if (!report.empty() && report != "-") return report + ".journal";
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/kaldora-batch-" + std::to_string(getpid()) + "-" +
           std::to_string(std::time(nullptr)) + ".journal";
}

struct TBatchArgs {
    std::string File, Report, Journal;
    TBatchRunOptions Run;
    unsigned SettleMs = TExchangeRule::DefaultSettleMs;
    bool Json = false, AllowDuplicates = false, ResendUnknown = false, Fast = false;
    int QuietGapMs = 0;
    std::vector<TLinkSettings> Links;
};

std::string ReadArgs(const TParsedOptions& parsed, TBatchArgs& a) {
    if (parsed.Positionals.size() > 1)
        return "one input file only: '" + parsed.Positionals[0] + "' and '" + parsed.Positionals[1] + "'";
    a.Report = parsed.Text("report");
    if (parsed.Has("report") && a.Report.empty()) return "--report needs a file name";
    a.Journal = parsed.Text("journal");
    a.Run.Retries = parsed.Integer("retries", 0);
    a.SettleMs = static_cast<unsigned>(parsed.Integer("settle", TExchangeRule::DefaultSettleMs));
    a.Json = parsed.Has("json");
    a.AllowDuplicates = parsed.Has("allow-duplicate-ids");
    a.ResendUnknown = parsed.Has("resend-unknown");
    a.Fast = parsed.Has("fast");
    a.QuietGapMs = parsed.Integer("quiet-gap", 0);
    if (parsed.Has("quiet-gap") && !a.Fast) return "--quiet-gap: give --fast too";
    const std::string error = LinkSettingsOf(parsed, a.Links);
    if (!error.empty()) return error;
    if (a.Links.empty())
        return "no link given: add --port COMn|PATH (several for several fixtures) or --tcp HOST:PORT";
    if (parsed.Positionals.empty()) return "no input file given";
    a.File = parsed.Positionals[0];
    return "";
}

// The first pass: the header, and every ID and serial, before anything is sent.
std::string CheckInput(const std::string& path, const std::string& shown, bool checkDuplicates) {
    std::ifstream in(path, std::ios::binary);
    TCsvReader reader(in);
    TCsvRecord record;
    if (!reader.Next(record))
        return shown + ": no header row (the first line must name the columns, e.g. model,id,serial)";
    const TBatchHeader header = ReadBatchHeader(record);
    if (!header.Error.empty()) return shown + ": " + header.Error;
    if (!checkDuplicates) return "";
    TDuplicateCheck duplicates;
    while (reader.Next(record))
        duplicates.Add(MapBatchRow(std::move(record), header, false));
    if (in.bad()) return "cannot read '" + shown + "': " + std::strerror(errno);
    if (duplicates.Found())
        return shown + ": duplicates, nothing was sent: " + duplicates.Text() +
               " (--allow-duplicate-ids lets them through)";
    return "";
}

TBatchSummary Summarise(TJournal& journal, bool interrupted, const std::vector<std::pair<std::string, size_t>>& shares) {
    TBatchSummary summary;
    summary.Counts = journal.Counts();
    const std::vector<TRowState> problems = {TRowState::Failed,  TRowState::LateReply, TRowState::LostAfterSend,
                                             TRowState::Unknown, TRowState::Sending,   TRowState::Skipped,
                                             TRowState::NotRun,  TRowState::Pending};
    summary.Problems = journal.RowsIn(problems, SummaryProblemLines);
    size_t all = 0;
    for (TRowState state : problems)
        all += summary.Counts[static_cast<size_t>(state)];
    summary.MoreProblems = all > summary.Problems.size() ? all - summary.Problems.size() : 0;
    summary.Interrupted = interrupted;
    summary.Ports = PortShares(shares);
    return summary;
}

} // namespace

int RunBatchCommand(const std::vector<std::string>& args) {
    const TParsedOptions parsed = ParseOptions(args, {BatchOptions(), LinkOptionTable()});
    if (parsed.Help) {
        return WriteOut(BatchCommandHelp().Text) ? 0 : CliWriteFailed;
    }
    if (parsed.Version) return WriteOut(VersionText("kaldora-cli") + "\n") ? 0 : CliWriteFailed;
    TBatchArgs a;
    std::string error = parsed.Error.empty() ? ReadArgs(parsed, a) : parsed.Error;
    if (!error.empty()) {
        std::cerr << "kaldora-cli batch: " << error << " (see 'kaldora-cli batch --help')\n";
        return CliFailure;
    }
    if (error.empty()) error = DescriptorShortfall(a.Links);
    if (!error.empty()) {
        std::cerr << "kaldora-cli batch: " << error << "\n";
        return CliFailure;
    }
    TInput input;
    error = PrepareInput(a.File, input);
    if (error.empty()) error = CheckInput(input.Path, a.File == "-" ? "standard input" : a.File, !a.AllowDuplicates);
    if (error.empty() && !a.Report.empty()) error = TReportFile::Check(a.Report);
    if (!error.empty()) {
        std::cerr << "kaldora-cli batch: " << error << "\n";
        return CliFailure;
    }

    // The journal before the first frame: nothing is sent that is not recorded.
    if (a.Journal.empty()) a.Journal = DefaultJournalPath(a.Report);
    const std::unique_ptr<TJournal> journal = TJournal::Open(a.Journal, error);
    std::ifstream in(input.Path, std::ios::binary);
    TCsvReader reader(in);
    TCsvRecord record;
    reader.Next(record);
    const TBatchHeader header = ReadBatchHeader(record);
    if (journal && !journal->BindHeader(KeptHeaderCsv(header), error)) error = error.empty() ? "journal" : error;
    if (!journal || !error.empty()) {
        std::cerr << "kaldora-cli batch: " << error << "\n";
        return CliFailure;
    }
    if (const int settled = journal->SettleInterrupted(error); settled > 0)
        std::cerr << "kaldora-cli batch: " << settled << (settled == 1 ? " row" : " rows")
                  << " of an earlier run " << (settled == 1 ? "was" : "were")
                  << " left sending: recorded as unknown (the frame may have left)"
                  << (a.ResendUnknown ? "; sending them again" : "; --resend-unknown sends them again") << "\n";

    // Signals are taken by this thread alone, with sigtimedwait, so no link wait is cut
    // short by EINTR and nothing runs in a signal handler. They stay blocked to the end:
    // a signal while the report is written waits for it.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::atomic<bool> stop{false};
    TRowQueue queue;
    auto stopAll = [&] {
        stop = true;
        queue.Stop();
        InterruptAllLinks();
    };
    TBatchConsole console(header, a.Json, stopAll);

    std::vector<TBatchPort> ports;
    const bool many = a.Links.size() > 1;
    for (const TLinkSettings& settings : a.Links) {
        auto link = std::shared_ptr<TLink>(MakeLink(settings));
        TBatchPort port;
        port.Name = settings.Name();
        port.Open = [link, &console, name = port.Name, many] {
            const std::string reason = link->Open();
            if (!reason.empty()) console.Message(name + ": " + reason + (many ? "; the other ports carry on" : ""));
            return reason;
        };
        TExchangeRule rule;
        rule.ReplyKind = ReplyKindSetId;
        rule.SettleMs = a.SettleMs;
        if (a.Fast) rule.QuietGapMs = QuietGapFor(settings, a.QuietGapMs);
        port.Exchange = [link, rule](const std::vector<uint8_t>& frame) { return RunExchange(*link, frame, rule); };
        port.Close = [link, &console, name = port.Name](const std::string& lost) {
            if (!lost.empty()) console.Message(name + " takes no more rows: " + lost);
            link->Close();
        };
        ports.push_back(std::move(port));
    }

    // The feeder: rows go into the journal a chunk at a time, then to the ports. Once the
    // run stops, the rest of the file still goes into the journal (its rows "not run"),
    // so that the journal and the report hold every row of the lot.
    std::string feedError;
    size_t resumed = 0, fed = 0;
    std::thread feeder([&] {
        std::vector<TBatchRow> rows;
        std::vector<TJournalRow> records;
        bool pushing = true;
        auto flush = [&] {
            std::string error;
            if (!records.empty() && !journal->AddRows(records, error)) {
                feedError = error;
                stopAll();
                return false;
            }
            for (size_t k = 0; k < rows.size(); ++k) {
                const TJournalRow& held = records[k];
                if (held.State == TRowState::Skipped) {
                    console.Row(held, "");
                    continue;
                }
                const bool runnable = held.State == TRowState::Pending || held.State == TRowState::NotRun ||
                                      (a.ResendUnknown && held.State == TRowState::Unknown);
                if (!runnable)
                    ++resumed;
                else if (pushing && (stop || !queue.Push({rows[k].Line, rows[k].Frame, DeviceText(rows[k].Inputs)})))
                    pushing = false;
            }
            rows.clear();
            records.clear();
            return true;
        };
        while (reader.Next(record)) {
            rows.push_back(MapBatchRow(std::move(record), header, pushing));
            records.push_back(JournalRowOf(rows.back(), header));
            // Small chunks first, so that the first frame leaves at once.
            const size_t chunk = !pushing ? 4096 : ++fed < 64 ? 1 : 256;
            if (records.size() >= chunk && !flush()) break;
        }
        if (feedError.empty()) flush();
        queue.Close();
    });

    TBatchRunResult run;
    std::atomic<bool> done{false};
    std::thread runner([&] {
        run = RunBatchRows(queue, ports, *journal, a.Run, stop,
                           [&console](const TQueuedRow& row, const TJournalRow& result) { console.Row(result, row.Device); });
        done = true;
    });
    int signalsSeen = 0;
    while (!done) {
        const timespec wait{0, 50 * 1000 * 1000};
        const int signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal != SIGINT && signal != SIGTERM && signal != SIGHUP) continue;
        if (++signalsSeen == 1) {
            console.Message(std::string(signal == SIGINT ? "interrupted" : signal == SIGHUP ? "hung up" : "terminated") +
                            ": ending every wait; the rows in flight are recorded, the rest will not run");
            stopAll();
        }
    }
    runner.join();
    feeder.join();
    console.Finish();

    const bool interrupted = signalsSeen > 0;
    const std::string notRunReason = interrupted || console.WriteFailed() ? "interrupted before it was sent"
                                     : !run.JournalError.empty()          ? "not sent: the journal could not be written"
                                     : ports.empty() || run.Opened == 0    ? "no port could be opened"
                                     : run.Running == 0                    ? "no port left to send it (every port was lost)"
                                                                           : "not sent";
    std::string journalError = run.JournalError;
    if (!journal->MarkPendingNotRun(notRunReason, error) && journalError.empty()) journalError = error;
    if (!journalError.empty()) std::cerr << "kaldora-cli batch: " << journalError << "\n";
    if (!feedError.empty()) std::cerr << "kaldora-cli batch: " << feedError << "\n";

    bool reportFailed = false;
    if (!a.Report.empty()) {
        std::string reportError;
        auto report = TReportFile::Open(a.Report, reportError);
        if (report) {
            journal->Export([&report](const std::string& line) { return report->Write(line); }, reportError);
            if (!report->Commit(reportError)) report.reset();
        }
        if (!report) {
            std::cerr << "kaldora-cli batch: " << reportError << "\n";
            reportFailed = true;
        }
    }
    const TBatchSummary summary = Summarise(*journal, interrupted, run.Shares);
    if (a.Json) {
        journal->ForEachRow({TRowState::NotRun}, [&](const TJournalRow& row) {
            console.Out(FormatRowJson(header, row) + "\n");
            return !console.WriteFailed();
        }, error);
        console.Out(FormatSummaryJson(summary) + "\n");
    } else {
        std::string text = FormatBatchSummary(summary);
        if (resumed) text += "Resumed: " + std::to_string(resumed) + " rows had a result from an earlier run\n";
        if (!a.Report.empty() && !reportFailed) text += "Report: " + a.Report + "\n";
        text += "Journal: " + a.Journal + "\n";
        console.Out(text);
    }
    if (console.WriteFailed())
        std::cerr << "kaldora-cli batch: standard output: " << std::strerror(console.WriteError())
                  << "; the batch stopped as on SIGTERM (the journal " << a.Journal << " holds every row)\n";

    if (console.WriteFailed() || reportFailed || !journalError.empty()) return CliWriteFailed;
    if (!feedError.empty()) return CliFailure;
    if (interrupted) return CliInterrupted;
    if (run.Opened == 0 && BatchExitCode(summary.Counts) != 0 &&
        summary.Counts[static_cast<size_t>(TRowState::NotRun)] > 0)
        return CliFailure;
    return BatchExitCode(summary.Counts);
}

TCommandHelp BatchCommandHelp() {
    return {"batch", BatchHelpHead + OptionsHelpText({BatchOptions(), LinkOptionTable()}) + BatchHelpTail,
            {&BatchOptions(), &LinkOptionTable()}};
}
