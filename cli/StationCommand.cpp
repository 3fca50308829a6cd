// "kaldora-cli station": options, the journal, signals, the links and the console around
// the fixtures (StationFixture.cpp).

#include "cli/StationCommand.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <thread>

#include "base/Options.h"
#include "cli/CliCommands.h"
#include "cli/Descriptors.h"
#include "cli/Json.h"
#include "cli/KaldoraCli.h"
#include "cli/Link.h"
#include "cli/LinkOptions.h"
#include "cli/StationFixture.h"
#include "cli/StationJournal.h"
#include "cli/StationPool.h"
#include "cli/StationView.h"
#include "protocol/CommandInputRules.h"

namespace {

constexpr const char* StationHelpHead =
    R"(Usage: kaldora-cli station --model MODEL --ids LIST --journal FILE LINK... [options]

The provisioning station: each --port or --tcp is a fixture that holds one device at a
time. A technician puts a device on a fixture; the station notices it (within a
second), reads its ELN, gives it the next free ID of the lot, records ELN and ID in the
journal and says "take it off"; once the device is gone it waits for the next. The
fixtures work in parallel from one pool of IDs.

Options:
)";

constexpr const char* StationHelpTail = R"(
A fixture whose port does not exist yet (an adapter not plugged in, such as a
/dev/serial/by-path/... name) is waited for, and waited for again when it vanishes.
An empty fixture is probed with the model's ELN read a few times a second; a device
counts as gone when the port vanishes or three probes in a row go unanswered.

The journal: each ID is taken in the journal, in a transaction that is durable before
the Set_ID frame leaves, and the outcome is recorded when it is known. The database
itself refuses a second device for an ID and a second ID for an ELN, so no two
fixtures and no two stations on one journal give an ID twice. An ELN the journal
holds already is not given another ID ("ELN 24B0042 already has ID 7"; --reassign
gives it a new one and records both). An ID whose frame left without an accepted
reply stays taken ("uncertain"); the device gets that same ID when it is put back.
The same command with the same journal resumes the lot, also after kill -9; a journal
of another lot (another model or pool) is refused. 'kaldora-cli journal export FILE'
prints the lot as CSV.

Output: on a terminal one line per fixture, kept in place, and a line of totals
(done, failed, left in the pool, devices per hour); NO_COLOR turns the colour off.
Otherwise, or with --json, one line (one JSON object) per event: waiting, ready, lost,
arrived, identified, known, no free id, set, failed, removed.

The station ends when the pool is used up and the last result is recorded, or on
Ctrl-C, SIGTERM or SIGHUP (every wait ends at once; a Set_ID in flight is recorded).

Exit status: 0 when the pool is used up and every device is ok; 1 when a device failed
or an ID is uncertain; 2 for bad options or a journal of another lot; 3 when the
journal or standard output could not be written; 130 when interrupted.
)";


const TOptionTable& StationOptions() {
    static const TOptionTable table = [] {
        TOptionTable t;
        t.push_back(ChoiceOption("model", "MODEL", {"KESTREL-A", "MARLIN-A"},
                                 "{}: a model that answers the broadcast address, so one fixture holds one "
                                 "device"));
        t.push_back(
            TextOption("ids", "LIST",
                       "the lot's IDs, ranges and single numbers such as 1-20,30,40-45 (each 0..255), "
                       "handed out in ascending order"));
        t.push_back(TextOption("journal", "FILE",
                               "the SQLite journal of the lot: ELN, ID and result of each "
                               "device; the same file resumes the lot"));
        t.push_back(FlagOption("reassign", "give a device whose ELN holds an ID already a new one"));
        t.push_back(FlagOption("release-uncertain",
                               "return an ID whose Set_ID got no accepted reply to the pool "
                               "(the device may hold it nevertheless)"));
        t.push_back(FlagOption("fast", QuickRuleHelp));
        t.push_back(IntegerOption("quiet-gap", "MS", 1, 1000,
                                  "the quick rule's quiet gap ({} ms; default the longer of 20 ms and ten "
                                  "character times at the baud rate)"));
        t.push_back(FlagOption("bell", "ring the terminal's bell on each result"));
        t.push_back(FlagOption("json", "one JSON object per line for each event"));
        return t;
    }();
    return table;
}

bool WriteOut(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

void WriteErr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

bool IsTerminal(int fd) {
    const char* term = std::getenv("TERM");
    return isatty(fd) && term && *term && std::string(term) != "dumb";
}

struct TStationArgs {
    std::string Model, Journal;
    TIdPool Pool;
    std::vector<TLinkSettings> Links;
    TStationLine::TOptions Line;
    bool Json = false, Bell = false;
    int QuietGapMs = 0;
};

std::string ReadArgs(const TParsedOptions& parsed, TStationArgs& a) {
    if (!parsed.Positionals.empty()) return "unexpected argument '" + parsed.Positionals[0] + "'";
    if (!parsed.Has("model")) return "no model given: add --model KESTREL-A or --model MARLIN-A";
    a.Model = parsed.Text("model");
    a.Line.Model = *ModelOfName(a.Model);
    if (!parsed.Has("ids")) return "no IDs given: add --ids LIST, e.g. --ids 1-20,30";
    if (const std::string error = ParseIdPool(parsed.Text("ids"), a.Pool); !error.empty())
        return "--ids " + parsed.Text("ids") + ": " + error;
    a.Journal = parsed.Text("journal");
    if (a.Journal.empty()) return "no journal given: add --journal FILE (the same file resumes the lot)";
    a.Line.Reassign = parsed.Has("reassign");
    a.Line.ReleaseUncertain = parsed.Has("release-uncertain");
    a.Line.Fast = parsed.Has("fast");
    a.QuietGapMs = parsed.Integer("quiet-gap", 0);
    if (parsed.Has("quiet-gap") && !a.Line.Fast) return "--quiet-gap: give --fast too";
    a.Json = parsed.Has("json");
    a.Bell = parsed.Has("bell");
    if (const std::string error = LinkSettingsOf(parsed, a.Links); !error.empty()) return error;
    if (a.Links.empty()) return "no fixture given: add --port COMn|PATH or --tcp HOST:PORT, one per fixture";
    return "";
}

// Whether the serial port's path is there; a COMn name is looked up when it opens.
bool PathPresent(const TLinkSettings& link) {
    if (link.Kind != TLinkSettings::TKind::Serial || link.Port.empty() || link.Port[0] != '/') return true;
    struct stat info {};
    return stat(link.Port.c_str(), &info) == 0;
}

TFixtureIo MakeFixtureIo(const TLinkSettings& settings, TStationLine& line) {
    auto link = std::shared_ptr<TLink>(MakeLink(settings));
    TFixtureIo io;
    io.Name = settings.Name();
    io.WaitForPath = [settings, &line](const std::function<void(const std::string&)>& waiting) {
        if (PathPresent(settings)) return true;
        waiting("no device at " + settings.Port + " (adapter not plugged in?)");
        // A few looks a second: an adapter is noticed at once, an empty fixture costs nothing.
        while (!PathPresent(settings))
            if (!line.Pause(PathPollMs)) return false;
        return true;
    };
    io.Open = [link] { return link->Open(); };
    io.Close = [link] { link->Close(); };
    io.Exchange = [link](const std::vector<uint8_t>& frame, const TExchangeRule& rule) {
        return RunExchange(*link, frame, rule);
    };
    return io;
}

std::string LotText(const TStationCounts& c) {
    return std::to_string(c.Ok) + " ok, " + std::to_string(c.Uncertain) + " uncertain, " +
           std::to_string(c.Free) + (c.Free == 1 ? " ID" : " IDs") + " left in the pool";
}

} // namespace

int RunStationCommand(const std::vector<std::string>& args) {
    const TParsedOptions parsed = ParseOptions(args, {StationOptions(), LinkOptionTable()});
    if (parsed.Help) return WriteOut(StationCommandHelp().Text) ? 0 : CliWriteFailed;
    if (parsed.Version) return WriteOut(VersionText("kaldora-cli") + "\n") ? 0 : CliWriteFailed;
    TStationArgs a;
    std::string error = parsed.Error.empty() ? ReadArgs(parsed, a) : parsed.Error;
    if (!error.empty()) {
        WriteErr("kaldora-cli station: " + error + " (see 'kaldora-cli station --help')\n");
        return CliFailure;
    }
    error = DescriptorShortfall(a.Links);
    std::unique_ptr<TStationJournal> journal;
    if (error.empty()) journal = TStationJournal::Open(a.Journal, true, error);
    if (journal && !journal->BindLot(a.Model, a.Pool, error)) journal.reset();
    if (!journal) {
        WriteErr("kaldora-cli station: " + error + "\n");
        return CliFailure;
    }
    if (const int settled = journal->SettleInterrupted(error); settled > 0)
        WriteErr(
            "kaldora-cli station: " + std::to_string(settled) + (settled == 1 ? " ID was" : " IDs were") +
            " left sending by an earlier run: recorded as uncertain (the device gets the same ID when it is "
            "put back)\n");

    // Signals are taken by this thread alone, with sigtimedwait, so that no wait of a
    // fixture is cut short by EINTR and nothing runs in a signal handler.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    TStationView::TOptions viewOptions;
    const bool outTerminal = IsTerminal(STDOUT_FILENO);
    viewOptions.Live = (!a.Json && outTerminal) || (!outTerminal && IsTerminal(STDERR_FILENO));
    viewOptions.Events = a.Json || !outTerminal;
    viewOptions.Json = a.Json;
    const char* noColor = std::getenv("NO_COLOR");
    viewOptions.Color = viewOptions.Live && !(noColor && *noColor);
    viewOptions.Bell = a.Bell;
    std::vector<std::string> names;
    for (const TLinkSettings& link : a.Links)
        names.push_back(link.Name());
    const bool liveOnOut = viewOptions.Live && outTerminal;
    TStationView view(names, viewOptions, WriteOut,
                      liveOnOut ? [](const std::string& t) { WriteOut(t); } : WriteErr, WriteErr);

    std::atomic<bool> outFailed{false};
    std::unique_ptr<TStationLine> line;
    line = std::make_unique<TStationLine>(*journal, a.Line, [&](const TFixtureReport& report) {
        if (!view.Show(report, journal->Counts()) && !outFailed.exchange(true)) {
            line->Stop();
            InterruptAllLinks();
        }
    });
    std::vector<TFixtureIo> ios;
    for (const TLinkSettings& link : a.Links)
        ios.push_back(MakeFixtureIo(link, *line));

    line->CheckFinished();
    std::atomic<size_t> running{ios.size()};
    std::vector<std::thread> threads;
    for (size_t k = 0; k < ios.size(); ++k)
        threads.emplace_back([&, k] {
            RunStationFixture(*line, ios[k], QuietGapFor(a.Links[k], a.QuietGapMs));
            --running;
        });
    int signalsSeen = 0;
    bool interruptedLinks = false;
    while (running > 0) {
        const timespec wait{0, 200 * 1000 * 1000};
        const int signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) {
            if (++signalsSeen == 1)
                view.Message(std::string("kaldora-cli station: ") +
                             (signal == SIGINT   ? "interrupted"
                              : signal == SIGHUP ? "hung up"
                                                 : "terminated") +
                             ": ending every wait; a Set_ID in flight is recorded");
            line->Stop();
        }
        // Once the station stops, no fixture need finish its probe.
        if (line->Stopped() && !interruptedLinks) {
            interruptedLinks = true;
            InterruptAllLinks();
        }
    }
    for (std::thread& thread : threads)
        thread.join();
    view.Finish();

    const TStationCounts counts = journal->Counts();
    const std::string journalError = line->JournalError();
    if (!journalError.empty()) WriteErr("kaldora-cli station: " + journalError + "; nothing more was sent\n");
    std::string summary = line->Finished() ? "Lot done: " + LotText(counts)
                          : signalsSeen > 0
                              ? "Stopped: " + LotText(counts) + "; the same command resumes the lot"
                              : "Stopped: " + LotText(counts);
    summary += " (journal " + a.Journal + ")\n";
    if (outFailed)
        WriteErr("kaldora-cli station: standard output: " + std::string(std::strerror(errno)) +
                 "; the station stopped as on SIGTERM\n");
    else if (a.Json) {
        TJsonObject json;
        json.Add("event", "summary").Add("ok", static_cast<long long>(counts.Ok));
        json.Add("uncertain", static_cast<long long>(counts.Uncertain))
            .Add("left", static_cast<long long>(counts.Free));
        json.Add("finished", line->Finished()).Add("journal", a.Journal);
        if (!WriteOut(json.Text() + "\n")) outFailed = true;
    } else if (!WriteOut(summary))
        outFailed = true;

    if (outFailed || !journalError.empty()) return CliWriteFailed;
    if (signalsSeen > 0) return CliInterrupted;
    return counts.Uncertain > 0 || view.FailedResults() > 0 ? 1 : 0;
}

TCommandHelp StationCommandHelp() {
    return {"station",
            StationHelpHead + OptionsHelpText({StationOptions(), LinkOptionTable()}) + StationHelpTail,
            {&StationOptions(), &LinkOptionTable()}};
}
