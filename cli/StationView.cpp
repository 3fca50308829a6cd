#include "cli/StationView.h"

#include <algorithm>
#include <cstdio>

#include "cli/Journal.h"
#include "cli/Json.h"

namespace {

std::string Mark(bool ok, bool color) {
    const char* mark = ok ? "\u2714" : "\u2718";
    if (!color) return mark;
    return std::string(ok ? "\033[32m" : "\033[31m") + mark + "\033[0m";
}

std::string Attempts(int n) {
    return std::to_string(n) + (n == 1 ? " attempt" : " attempts");
}

// What a Set_ID that was not accepted did, in a technician's words.
std::string FailureText(const TFixtureReport& r) {
    switch (r.Outcome) {
    case TExchangeOutcome::NoReply:
        return "no reply to Set_ID";
    case TExchangeOutcome::LateReply:
        return "late reply to Set_ID";
    case TExchangeOutcome::WrongLength:
        return "a reply of the wrong length to Set_ID";
    case TExchangeOutcome::NotSent:
        return "Set_ID not sent";
    default:
        return r.Detail;
    }
}

} // namespace

std::string FixtureStatusText(const TFixtureReport& r, bool color) {
    const std::string eln = "ELN " + r.Eln;
    switch (r.Event) {
    case TFixtureEvent::Waiting:
        return "waiting for the link: " + r.Detail;
    case TFixtureEvent::Ready:
    case TFixtureEvent::Removed:
        return "waiting";
    case TFixtureEvent::Lost:
        return "lost: " + r.Detail;
    case TFixtureEvent::Arrived:
        return eln + " \u2026";
    case TFixtureEvent::Identified:
        return eln + " \u2192 ID " + std::to_string(r.Id) + (r.Retry ? " (again) \u2026" : " \u2026");
    case TFixtureEvent::Known:
        return eln + " already has ID " + std::to_string(r.Id) + "; take it off";
    case TFixtureEvent::NoFreeId:
        return eln + ": no ID left in the pool; take it off";
    case TFixtureEvent::Unreadable:
        return "a device without an ELN " + Mark(false, color) + " take it off";
    case TFixtureEvent::Set:
        return eln + " \u2192 ID " + std::to_string(r.Id) + " " + Mark(true, color) + " take it off";
    case TFixtureEvent::Failed:
        return eln + ": " + FailureText(r) + " " + Mark(false, color) +
               (r.Uncertain ? " ID " + std::to_string(r.Id) + " uncertain" : "") + "; take it off";
    }
    return "";
}

std::string EventLineText(const TFixtureReport& r, const std::string& time) {
    std::string line = time + " " + r.Fixture + " " + FixtureEventName(r.Event);
    if (!r.Eln.empty()) line += " ELN " + r.Eln;
    if (r.Id >= 0) line += " ID " + std::to_string(r.Id);
    switch (r.Event) {
    case TFixtureEvent::Identified:
        if (r.Retry) line += " (again: it was uncertain)";
        break;
    case TFixtureEvent::Set:
        line += " ok (" + Attempts(r.Attempts) + ", " + std::to_string(r.ElapsedMs) + " ms)";
        break;
    case TFixtureEvent::Failed:
        line += std::string(r.Uncertain ? " uncertain: " : " released: ") + r.Detail + " (" +
                Attempts(r.Attempts) + ")";
        break;
    default:
        if (!r.Detail.empty()) line += ": " + r.Detail;
    }
    return line;
}

std::string EventJsonText(const TFixtureReport& r, const std::string& time) {
    TJsonObject json;
    json.Add("event", FixtureEventName(r.Event)).Add("fixture", r.Fixture).Add("time", time);
    if (r.Event != TFixtureEvent::Waiting && r.Event != TFixtureEvent::Ready &&
        r.Event != TFixtureEvent::Lost)
        json.Add("eln", r.Eln);
    if (r.Id >= 0) json.Add("id", r.Id);
    if (r.Event == TFixtureEvent::Identified) json.Add("again", r.Retry);
    if (r.Event == TFixtureEvent::Set || r.Event == TFixtureEvent::Failed) {
        json.Add("result", r.Event == TFixtureEvent::Set ? "ok" : r.Uncertain ? "uncertain" : "released");
        json.Add("outcome", OutcomeName(r.Outcome));
        json.Add("attempts", r.Attempts);
        json.Add("elapsed_ms", static_cast<long long>(r.ElapsedMs));
    }
    if (!r.Detail.empty()) json.Add("detail", r.Detail);
    return json.Text();
}

std::string TotalsText(const TStationTotals& t) {
    // A rate over less than a minute says little.
    char rate[32] = "-";
    if (t.Hours >= 1.0 / 60)
        std::snprintf(rate, sizeof rate, "%.0f", static_cast<double>(t.Results) / t.Hours);
    return "done " + std::to_string(t.Done) + ", failed " + std::to_string(t.Failed) + ", left in the pool " +
           std::to_string(t.Left) + ", " + rate + " devices/h";
}

TStationView::TStationView(std::vector<std::string> fixtures, TOptions options,
                           std::function<bool(const std::string&)> out,
                           std::function<void(const std::string&)> live,
                           std::function<void(const std::string&)> err)
    : FFixtures(std::move(fixtures)), FLines(FFixtures.size(), "starting"), FOptions(options),
      FOut(std::move(out)), FLive(std::move(live)), FErr(std::move(err)) {}

bool TStationView::Show(const TFixtureReport& report, const TStationCounts& counts) {
    std::lock_guard guard(FLock);
    FCounts = counts;
    const bool result = report.Event == TFixtureEvent::Set || report.Event == TFixtureEvent::Failed;
    if (result) ++FResults;
    if (report.Event == TFixtureEvent::Failed) ++FFailed;
    if (FOptions.Events && !FOutFailed) {
        const std::string time = IsoLocalTimeNow();
        FOutFailed =
            !FOut((FOptions.Json ? EventJsonText(report, time) : EventLineText(report, time)) + "\n");
    }
    if (FOptions.Live) {
        const auto at = std::find(FFixtures.begin(), FFixtures.end(), report.Fixture);
        if (at != FFixtures.end())
            FLines[static_cast<size_t>(at - FFixtures.begin())] = FixtureStatusText(report, FOptions.Color);
        Draw();
        if (FOptions.Bell && result) FLive("\a");
    }
    return !FOutFailed;
}

void TStationView::Draw() {
    size_t width = 0;
    for (const std::string& name : FFixtures)
        width = std::max(width, name.size());
    std::string text = FDrawn ? "\033[" + std::to_string(FFixtures.size() + 1) + "A" : "";
    for (size_t k = 0; k < FFixtures.size(); ++k)
        text +=
            "\r\033[K" + FFixtures[k] + std::string(width - FFixtures[k].size() + 2, ' ') + FLines[k] + "\n";
    TStationTotals totals;
    totals.Done = FCounts.Ok;
    totals.Failed = FCounts.Uncertain;
    totals.Left = FCounts.Free;
    totals.Results = FResults;
    totals.Hours = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count() / 3600.0;
    text += "\r\033[K" + TotalsText(totals) + "\n";
    FLive(text);
    FDrawn = true;
}

void TStationView::Message(const std::string& text) {
    std::lock_guard guard(FLock);
    if (FOptions.Live && FDrawn) {
        // Above the view: clear it, say it, draw it again below.
        FLive("\033[" + std::to_string(FFixtures.size() + 1) + "A\r\033[J");
        FDrawn = false;
    }
    FErr(text + "\n");
    if (FOptions.Live) Draw();
}

void TStationView::Finish() {
    std::lock_guard guard(FLock);
    FOptions.Live = false;
}
