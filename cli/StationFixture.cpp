#include "cli/StationFixture.h"

#include <chrono>

#include "protocol/Reply.h"

namespace {

enum class TProbe { Absent, Present, Lost, Stopped };

class TFixture {
public:
    TFixture(TStationLine& line, TFixtureIo& io, unsigned quietGapMs)
        : FLine(line), FIo(io), FProbeFrame(StationProbeFrame(line.Options.Model)) {
        FProbeRule.ReplyKind = ReplyKindReadEln;
        FProbeRule.QuietGapMs = quietGapMs;
        FProbeRule.NoReplyMs = ProbeNoReplyMs;
        // A late answer to a probe is only a device arriving: the next probe hears it.
        FProbeRule.SettleMs = 0;
        FSetRule.ReplyKind = ReplyKindSetId;
        FSetRule.QuietGapMs = line.Options.Fast ? quietGapMs : 0;
    }

    void Run() {
        while (!FLine.Stopped()) {
            if (!FIo.WaitForPath([this](const std::string& why) { Say(TFixtureEvent::Waiting, why); })) break;
            const std::string reason = FIo.Open();
            if (!reason.empty()) {
                Say(TFixtureEvent::Waiting, reason);
                if (!FLine.Pause(RetryOpenMs)) break;
                continue;
            }
            Say(TFixtureEvent::Ready, "");
            FDeviceWentWithLink = false;
            const bool lost = Serve();
            FIo.Close();
            // A port that vanishes with its device (a fixture that replugs) is a removal,
            // already said, not a fault.
            if (lost && !FLine.Stopped() && !FDeviceWentWithLink) Say(TFixtureEvent::Lost, FLostReason);
        }
    }

private:
    // Serves devices on the open link until it is lost (true) or the station stops.
    bool Serve() {
        std::string eln;
        for (;;) {
            const TProbe probe = eln.empty() ? Probe(eln) : TProbe::Present;
            if (probe == TProbe::Lost) return true;
            if (probe == TProbe::Stopped) return false;
            if (probe == TProbe::Absent) continue;
            const TArrival arrival{eln, std::chrono::steady_clock::now()};
            FLine.Report(Report(TFixtureEvent::Arrived, eln));
            if (!Handle(arrival)) {
                if (FLine.Stopped()) return false;
                FLine.Report(Report(TFixtureEvent::Removed, eln));
                return FDeviceWentWithLink = true;
            }
            // The device stays until it is gone; another one answering means a swap.
            std::string next;
            const TProbe gone = AwaitRemoval(eln, next);
            if (gone != TProbe::Stopped) FLine.Report(Report(TFixtureEvent::Removed, eln));
            if (gone == TProbe::Lost) return FDeviceWentWithLink = true;
            if (gone == TProbe::Stopped) return false;
            eln = next;
        }
    }

    struct TArrival {
        std::string Eln;
        std::chrono::steady_clock::time_point At;
    };

    // Gives the device its ID. False when the link was lost or the station stops.
    bool Handle(const TArrival& arrival) {
        if (arrival.Eln.empty()) {
            FLine.Report(Report(TFixtureEvent::Unreadable, "", -1, "the device answers with an empty ELN"));
            return true;
        }
        FLine.Begin();
        if (FLine.Stopped()) return FLine.End(), false;
        const TClaim claim = FLine.Journal.Claim(arrival.Eln, FIo.Name, FLine.Options.Reassign);
        switch (claim.Kind) {
        case TClaimKind::Failed:
            FLine.FailJournal(claim.Error);
            FLine.End();
            return false;
        case TClaimKind::Known:
            FLine.Report(Report(TFixtureEvent::Known, arrival.Eln, claim.Record.Id));
            FLine.End();
            return true;
        case TClaimKind::PoolUsedUp:
            FLine.Report(Report(TFixtureEvent::NoFreeId, arrival.Eln, claim.Record.Id));
            FLine.End();
            return true;
        case TClaimKind::New:
        case TClaimKind::Retry:
            break;
        }
        const TStationRecord& record = claim.Record;
        TFixtureReport identified = Report(TFixtureEvent::Identified, arrival.Eln, record.Id);
        identified.Retry = claim.Kind == TClaimKind::Retry;
        identified.Attempts = record.Attempts;
        FLine.Report(identified);

        const TExchangeResult x = FIo.Exchange(StationSetIdFrame(FLine.Options.Model, record.Id), FSetRule);
        TFixtureReport result = Report(TFixtureEvent::Set, arrival.Eln, record.Id);
        result.Attempts = record.Attempts;
        result.Outcome = x.Outcome;
        TStationState state = TStationState::Ok;
        if (x.Outcome != TExchangeOutcome::Accepted) {
            result.Event = TFixtureEvent::Failed;
            result.Detail = OutcomeDetail(x);
            const bool left = x.Sent > 0;
            // Nothing left: a new ID goes back to the pool; a retried one stays the
            // device's, since an earlier frame may have reached it.
            state = !left && claim.Kind == TClaimKind::New   ? TStationState::Released
                    : left && FLine.Options.ReleaseUncertain ? TStationState::Released
                                                             : TStationState::Uncertain;
            result.Uncertain = state == TStationState::Uncertain;
        }
        std::string error;
        if (!FLine.Journal.Record(record.Seq, state, result.Detail, error)) {
            FLine.FailJournal(error);
            FLine.End();
            return false;
        }
        result.ElapsedMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::steady_clock::now() - arrival.At)
                                                 .count());
        FLine.Report(result);
        FLine.End();
        if (x.LinkLost) FLostReason = x.LinkReason;
        return !x.LinkLost && x.Outcome != TExchangeOutcome::Interrupted && !FLine.Stopped();
    }

    // Probes until the device of eln is gone: Absent once RemovalMisses probes in a row
    // went unanswered, Present when another device answered (next is its ELN).
    TProbe AwaitRemoval(const std::string& eln, std::string& next) {
        int misses = 0;
        while (misses < RemovalMisses) {
            std::string answer;
            const TProbe probe = Probe(answer);
            if (probe == TProbe::Lost || probe == TProbe::Stopped) return probe;
            if (probe == TProbe::Absent) {
                ++misses;
                continue;
            }
            if (answer != eln) {
                next = answer;
                return TProbe::Present;
            }
            misses = 0;
            if (!FLine.Pause(PresentProbePauseMs)) return TProbe::Stopped;
        }
        return TProbe::Absent;
    }

    TProbe Probe(std::string& eln) {
        if (FLine.Stopped()) return TProbe::Stopped;
        const TExchangeResult x = FIo.Exchange(FProbeFrame, FProbeRule);
        if (x.Outcome == TExchangeOutcome::Interrupted || FLine.Stopped()) return TProbe::Stopped;
        if (ElnOfProbe(x, eln)) return TProbe::Present;
        if (x.LinkLost) {
            FLostReason = x.LinkReason;
            return TProbe::Lost;
        }
        // A link that takes no frame and is not lost is tried again, but not in a loop.
        if (x.Outcome == TExchangeOutcome::NotSent && !FLine.Pause(ProbeNoReplyMs)) return TProbe::Stopped;
        return TProbe::Absent;
    }

    TFixtureReport Report(TFixtureEvent event, const std::string& eln, int id = -1, std::string detail = "") {
        TFixtureReport r;
        r.Event = event;
        r.Fixture = FIo.Name;
        r.Eln = eln;
        r.Id = id;
        r.Detail = std::move(detail);
        return r;
    }

    void Say(TFixtureEvent event, const std::string& detail) { FLine.Report(Report(event, "", -1, detail)); }

    TStationLine& FLine;
    TFixtureIo& FIo;
    const std::vector<uint8_t> FProbeFrame;
    TExchangeRule FProbeRule, FSetRule;
    std::string FLostReason;
    bool FDeviceWentWithLink = false;
};

} // namespace

const char* FixtureEventName(TFixtureEvent event) {
    static constexpr const char* Names[] = {"waiting",    "ready",  "lost",       "arrived",
                                            "identified", "known",  "no free id", "unreadable",
                                            "set",        "failed", "removed"};
    return Names[static_cast<size_t>(event)];
}

void TStationLine::Stop() {
    {
        std::lock_guard guard(FLock);
        FStop = true;
    }
    FChanged.notify_all();
}

bool TStationLine::Pause(unsigned ms) {
    std::unique_lock guard(FLock);
    return !FChanged.wait_for(guard, std::chrono::milliseconds(ms), [this] { return FStop.load(); });
}

std::string TStationLine::JournalError() {
    std::lock_guard guard(FLock);
    return FJournalError;
}

void TStationLine::CheckFinished() {
    if (FInFlight == 0 && Journal.Counts().Free == 0) {
        FFinished = true;
        Stop();
    }
}

void TStationLine::Report(const TFixtureReport& report) {
    if (FReport) FReport(report);
}

void TStationLine::End() {
    if (--FInFlight == 0) CheckFinished();
}

void TStationLine::FailJournal(const std::string& error) {
    {
        std::lock_guard guard(FLock);
        if (FJournalError.empty()) FJournalError = error;
    }
    Stop();
}

void RunStationFixture(TStationLine& line, TFixtureIo& io, unsigned quietGapMs) {
    TFixture(line, io, quietGapMs).Run();
}

std::vector<uint8_t> StationProbeFrame(TModel model) {
    TCommandInputs inputs;
    ApplyModelSelection(inputs, model);
    inputs.Kind = TCommandKind::ReadEln;
    TCipherState cipher{};
    return BuildCommandFrame(inputs, cipher);
}

std::vector<uint8_t> StationSetIdFrame(TModel model, int id) {
    TCommandInputs inputs;
    ApplyModelSelection(inputs, model);
    inputs.Kind = TCommandKind::SetId;
    inputs.Id = id;
    TCipherState cipher{};
    return BuildCommandFrame(inputs, cipher);
}

bool ElnOfProbe(const TExchangeResult& result, std::string& eln) {
    constexpr size_t ProbeReplyBytes = 20;
    if (result.Outcome != TExchangeOutcome::Accepted || result.ReplyBytes != ProbeReplyBytes ||
        result.Reply.size() < ReplyElnOffset + ReplyElnBytes)
        return false;
    eln.clear();
    for (size_t k = ReplyElnOffset; k < ReplyElnOffset + ReplyElnBytes && result.Reply[k] != 0; ++k)
        eln += static_cast<char>(result.Reply[k]);
    return true;
}
