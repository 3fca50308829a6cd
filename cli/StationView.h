#pragma once
// What the station shows. On a terminal: one line per fixture, kept in place, and a line
// of totals; elsewhere (or with --json) one line, or one JSON object, per event.
// The formatting is pure; TStationView writes it, one event at a time.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cli/StationFixture.h"

// The fixture's line of the live view: "ELN 24B0042 → ID 7 ✔ take it off". color: the
// marks in green and red.
std::string FixtureStatusText(const TFixtureReport& report, bool color);

// One event as a line: "2024-05-01T09:30:05+02:00 /dev/ttyUSB0 set ELN 24B0042 ID 7 ok
// (1 attempt, 1012 ms)".
std::string EventLineText(const TFixtureReport& report, const std::string& time);
// One event as a JSON object: event, fixture, eln, id, time, and what the event adds.
std::string EventJsonText(const TFixtureReport& report, const std::string& time);

struct TStationTotals {
    size_t Done = 0, Failed = 0, Left = 0; // Done, Failed: records ok and uncertain in the journal
    size_t Results = 0;                    // Set and Failed events of this run
    double Hours = 0;                      // this run so far
};
// "done 7, failed 1, left in the pool 12, 42 devices/h".
std::string TotalsText(const TStationTotals& totals);

class TStationView {
public:
    struct TOptions {
        bool Live = false;  // the live view, written to live
        bool Events = true; // event lines (or JSON) written to out
        bool Json = false, Color = false, Bell = false;
    };
    // out: standard output, false when a write failed; live: the terminal; err: messages.
    TStationView(std::vector<std::string> fixtures, TOptions options,
                 std::function<bool(const std::string&)> out, std::function<void(const std::string&)> live,
                 std::function<void(const std::string&)> err);

    // One event, with the journal's counts after it. False when standard output failed.
    bool Show(const TFixtureReport& report, const TStationCounts& counts);
    // A message above the live view, on standard error.
    void Message(const std::string& text);
    // Leaves the live view as it stands, the cursor below it.
    void Finish();
    size_t Results() const { return FResults; }
    size_t FailedResults() const { return FFailed; }

private:
    void Draw();

    std::vector<std::string> FFixtures, FLines;
    TOptions FOptions;
    std::function<bool(const std::string&)> FOut;
    std::function<void(const std::string&)> FLive, FErr;
    TStationCounts FCounts;
    size_t FResults = 0, FFailed = 0;
    bool FDrawn = false, FOutFailed = false;
    std::chrono::steady_clock::time_point FStart = std::chrono::steady_clock::now();
    std::mutex FLock;
};
