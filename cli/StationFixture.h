#pragma once
// One fixture of the provisioning station: a link that holds one device at a time. The
// fixture waits for its link (an adapter not plugged in yet), probes it with the model's
// ELN read until a device answers, gives the device its ID through the journal, then
// probes until the device is gone, and again. It reads no link itself: the link is given
// as functions, so the loop is tested with fakes.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cli/Exchange.h"
#include "cli/StationJournal.h"
#include "protocol/Frame.h"

// A probe without an answer by this time finds no device.
inline constexpr unsigned ProbeNoReplyMs = 300;
// While a device answers, the probes that watch for its removal come this far apart.
inline constexpr unsigned PresentProbePauseMs = 250;
// Probes in a row without an answer before a device counts as gone.
inline constexpr int RemovalMisses = 3;
// A link path that is not there is looked for this often; a link that did not open is
// tried again after RetryOpenMs.
inline constexpr unsigned PathPollMs = 250;
inline constexpr unsigned RetryOpenMs = 1000;

enum class TFixtureEvent {
    Waiting,    // no link: Detail says why (no adapter at the path, the link did not open)
    Ready,      // the link is open and empty
    Lost,       // the link went away with no device on it
    Arrived,    // a device answered with its ELN
    Identified, // the journal gave it Id (Retry: the uncertain ID it held)
    Known,      // the ELN holds Id already: nothing is sent
    NoFreeId,   // the pool is used up: nothing is sent
    Unreadable, // a device answered with an empty ELN: nothing is sent
    Set,        // Set_ID was accepted: take it off
    Failed,     // Set_ID got no accepted answer (Detail); Uncertain: the ID stays taken
    Removed,    // the device is gone
};

// "waiting", "ready", "lost", "arrived", "identified", "known", "no free id", "unreadable",
// "set", "failed", "removed".
const char* FixtureEventName(TFixtureEvent event);

struct TFixtureReport {
    TFixtureEvent Event = TFixtureEvent::Waiting;
    std::string Fixture;
    std::string Eln;
    int Id = -1;
    std::string Detail;
    bool Retry = false;
    bool Uncertain = false; // Failed: the ID stays taken (else it went back to the pool)
    long ElapsedMs = 0;     // Set, Failed: from arrival to the result
    int Attempts = 0;
    TExchangeOutcome Outcome = TExchangeOutcome::Accepted; // Set, Failed: the Set_ID's
};

// The link of one fixture. Each function runs on the fixture's thread.
struct TFixtureIo {
    std::string Name;
    // Returns once the link's path is there (true), or false when the station stops. A
    // link without a path (TCP) returns true at once. Calls waiting(detail) before it waits.
    std::function<bool(const std::function<void(const std::string&)>& waiting)> WaitForPath;
    std::function<std::string()> Open; // the reason when it did not open
    std::function<void()> Close;
    std::function<TExchangeResult(const std::vector<uint8_t>& frame, const TExchangeRule& rule)> Exchange;
};

// What the fixtures of one station share.
class TStationLine {
public:
    struct TOptions {
        TModel Model = TModel::KestrelA;
        bool Reassign = false, ReleaseUncertain = false, Fast = false;
    };
    TStationLine(TStationJournal& journal, TOptions options,
                 std::function<void(const TFixtureReport&)> report)
        : Journal(journal), Options(options), FReport(std::move(report)) {}

    // Ends every fixture's waits between exchanges (the caller ends the link waits).
    void Stop();
    bool Stopped() const { return FStop; }
    // Waits ms, or until Stop; false when stopped.
    bool Pause(unsigned ms);
    // The pool is used up and no Set_ID is in flight: the lot is done.
    bool Finished() const { return FFinished; }
    // A journal write failed: the station stopped and nothing more was sent.
    std::string JournalError();
    // Called when the station starts: a lot whose pool is used up is finished at once.
    void CheckFinished();

    void Report(const TFixtureReport& report);
    void Begin() { ++FInFlight; }
    // An ID claimed by Begin was recorded, or none was taken.
    void End();
    void FailJournal(const std::string& error);

    TStationJournal& Journal;
    const TOptions Options;

private:
    std::function<void(const TFixtureReport&)> FReport;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::atomic<bool> FStop{false}, FFinished{false};
    std::atomic<int> FInFlight{0};
    std::string FJournalError;
};

// Runs one fixture until the station stops. quietGapMs: the quick rule's gap on this link
// (probes always use it; Set_ID only with Fast).
void RunStationFixture(TStationLine& line, TFixtureIo& io, unsigned quietGapMs);

// The frames a fixture sends for the model: its ELN read, and Set_ID with id.
std::vector<uint8_t> StationProbeFrame(TModel model);
std::vector<uint8_t> StationSetIdFrame(TModel model, int id);

// The ELN of a probe's reply: 20 bytes, the ELN at 10..16 up to the first 00. False for
// any other reply (no device).
bool ElnOfProbe(const TExchangeResult& result, std::string& eln);
