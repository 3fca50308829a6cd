// The exchange over a scripted link in virtual time: what arrives when, how much a send
// takes, when the link is lost; each wait advances the link's own clock.

#include <gtest/gtest.h>

#include <deque>

#include "cli/Exchange.h"
#include "protocol/Reply.h"

namespace {

using std::chrono::milliseconds;

struct TArrival {
    long AtMs;  // from the start of the exchange
    size_t Bytes;
    bool Lost = false; // the link is gone at AtMs instead
};

class TScriptedLink final : public TLink {
public:
    TScriptedLink(std::deque<TArrival> arrivals, size_t takes = SIZE_MAX, TLinkWait sendStatus = TLinkWait::Data)
        : FArrivals(std::move(arrivals)), FTakes(takes), FSendStatus(sendStatus) {}

    std::string Open() override { return ""; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    std::string Describe() const override { return "fx1"; }
    TClock::time_point Now() const override { return FNow; }
    std::string LostReason() const override { return "fx1 closed the connection"; }
    size_t PurgeInput() override { return 0; }

    TSendResult Send(const uint8_t*, size_t count, TClock::time_point) override {
        SentAtMs = MsNow();
        TSendResult r;
        r.Sent = std::min(count, FTakes);
        if (r.Sent < count) {
            r.Status = FSendStatus;
            r.Reason = "fx1 took " + std::to_string(r.Sent) + " of " + std::to_string(count) + " bytes";
        }
        return r;
    }

    TLinkWait Receive(std::vector<uint8_t>& bytes, TClock::time_point deadline) override {
        if (InterruptAtMs >= 0 && FNow >= Start + milliseconds(InterruptAtMs)) return TLinkWait::Interrupted;
        // A flooding peer always has the next bytes waiting, deadline or not, as a socket does.
        const bool waiting = Flooding && !FArrivals.empty() && Start + milliseconds(FArrivals.front().AtMs) <= FNow + milliseconds(1);
        if (!waiting && (FArrivals.empty() || Start + milliseconds(FArrivals.front().AtMs) > deadline)) {
            if (InterruptAtMs >= 0 && Start + milliseconds(InterruptAtMs) <= deadline) {
                FNow = std::max(FNow, Start + milliseconds(InterruptAtMs));
                return TLinkWait::Interrupted;
            }
            FNow = std::max(FNow, deadline);
            return TLinkWait::Deadline;
        }
        const TArrival next = FArrivals.front();
        FArrivals.pop_front();
        FNow = std::max(FNow, Start + milliseconds(next.AtMs));
        if (next.Lost) {
            FArrivals.clear();
            return TLinkWait::Lost;
        }
        bytes.insert(bytes.end(), next.Bytes, 0x24);
        return TLinkWait::Data;
    }

    long MsNow() const { return static_cast<long>(std::chrono::duration_cast<milliseconds>(FNow - Start).count()); }

    const TClock::time_point Start = TClock::time_point{} + std::chrono::hours(1);
    long SentAtMs = -1;
    long InterruptAtMs = -1;
    bool Flooding = false;

private:
    std::deque<TArrival> FArrivals;
    size_t FTakes;
    TLinkWait FSendStatus;
    TClock::time_point FNow = Start;
};

// A stream of chunks every periodMs from fromMs to toMs.
std::deque<TArrival> Stream(long fromMs, long toMs, long periodMs, size_t bytes) {
    std::deque<TArrival> arrivals;
    for (long t = fromMs; t < toMs; t += periodMs)
        arrivals.push_back({t, bytes});
    return arrivals;
}

const std::vector<uint8_t> Frame(12, 0x24);

TEST(Exchange, OutcomesInVirtualTime) {
    // The drain takes DrainQuietMs of quiet before the frame, so the frame leaves at 20 ms
    // on a quiet link; arrivals are given from the start of the exchange.
    const long s = DrainQuietMs;
    struct Case {
        const char* name;
        std::deque<TArrival> arrivals;
        TExchangeOutcome outcome;
        size_t replyBytes;
        long elapsedMs;   // from the send; -1: not checked
        const char* line; // ResultLine
    };
    const Case cases[] = {
        {"13 bytes at once", {{s + 50, 13}}, TExchangeOutcome::Accepted, 13, 1050, "SetID_OK"},
        {"a reply in chunks within the second", {{s + 50, 8}, {s + 900, 5}}, TExchangeOutcome::Accepted, 13, 1050,
         "SetID_OK"},
        {"chunks beyond the second are judged apart", {{s + 50, 8}, {s + 1250, 5}}, TExchangeOutcome::WrongLength, 8,
         1050, ""},
        {"14 bytes", {{s + 10, 14}}, TExchangeOutcome::WrongLength, 14, 1010, ""},
        {"the first byte at 2999 ms still counts", {{s + 2999, 15}}, TExchangeOutcome::Accepted, 15, 3999, "SetID_OK"},
        {"silence", {}, TExchangeOutcome::NoReply, 0, 3000 + 1000, "Error"},
        {"an answer after the time-out is late", {{s + 3500, 13}}, TExchangeOutcome::LateReply, 13, 4500, "Error"},
        {"an answer after the settle period is not this frame's", {{s + 4100, 13}}, TExchangeOutcome::NoReply, 0, 4000,
         "Error"},
        {"a peer that answers and goes is still answered", {{s + 10, 13}, {s + 20, 0, true}},
         TExchangeOutcome::Accepted, 13, -1, "SetID_OK"},
        {"a peer that goes without answering: the frame may have left", {{s + 10, 0, true}},
         TExchangeOutcome::LostAfterSend, 0, 10, ""},
    };
    for (const auto& c : cases) {
        TScriptedLink link(c.arrivals);
        const TExchangeResult r = RunExchange(link, Frame, {ReplyKindSetId});
        EXPECT_EQ(r.Outcome, c.outcome) << c.name << ": " << OutcomeName(r.Outcome) << " " << OutcomeDetail(r);
        EXPECT_EQ(r.ReplyBytes, c.replyBytes) << c.name;
        EXPECT_EQ(link.SentAtMs, s) << c.name;
        if (c.elapsedMs >= 0) {
            EXPECT_EQ(r.ElapsedMs, c.elapsedMs) << c.name;
        }
        EXPECT_EQ(r.ResultLine, c.line) << c.name;
        EXPECT_EQ(r.Sent, Frame.size()) << c.name;
    }
    TScriptedLink late({{s + 3500, 13}});
    const TExchangeResult r = RunExchange(late, Frame, {ReplyKindSetId});
    EXPECT_EQ(r.FirstByteMs, 3500);
    EXPECT_EQ(OutcomeDetail(r),
              "late reply: the device answered 3500 ms after the frame and may have taken the ID (13 bytes)");
    TScriptedLink noSettle({{s + 3500, 13}});
    TExchangeRule rule{ReplyKindSetId};
    rule.SettleMs = 0;
    EXPECT_EQ(RunExchange(noSettle, Frame, rule).Outcome, TExchangeOutcome::NoReply);
}

TEST(Exchange, WhatWaitsBeforeTheSendIsDroppedAndAStreamIsNotSentTo) {
    // 26 bytes waiting, then quiet: dropped and counted, and the reply is the device's own.
    TScriptedLink waiting({{0, 26}, {5, 0, false}, {100, 13}});
    const TExchangeResult r = RunExchange(waiting, Frame, {ReplyKindSetId});
    EXPECT_EQ(r.Outcome, TExchangeOutcome::Accepted) << OutcomeDetail(r);
    EXPECT_EQ(r.Discarded, 26u);
    EXPECT_EQ(r.ReplyBytes, 13u);

    // A link that keeps sending is not sent to: nothing left, so the row may go elsewhere.
    TScriptedLink streaming(Stream(0, 100000, 5, 10));
    const TExchangeResult s = RunExchange(streaming, Frame, {ReplyKindSetId});
    EXPECT_EQ(s.Outcome, TExchangeOutcome::NotSent);
    EXPECT_EQ(s.Sent, 0u);
    EXPECT_EQ(streaming.SentAtMs, -1);
    EXPECT_LE(streaming.MsNow(), static_cast<long>(DrainMaxMs) + 5);
    EXPECT_NE(OutcomeDetail(s).find("fx1 is still sending"), std::string::npos) << OutcomeDetail(s);

    // So is one that floods past the byte bound at once.
    TScriptedLink flood(Stream(0, 100000, 1, 64 * 1024));
    EXPECT_EQ(RunExchange(flood, Frame, {ReplyKindSetId}).Outcome, TExchangeOutcome::NotSent);
    EXPECT_LT(flood.MsNow(), 10);
}

TEST(Exchange, AStreamWithoutAPauseIsJudgedOnTime) {
    // Each Receive finds the next chunk already there, before its deadline or after it:
    // the verdict still comes 1000 ms after the first byte, and after no reply the late
    // answer is collected for its second and no longer.
    TScriptedLink flood(Stream(DrainQuietMs + 1, 100000, 1, 7));
    flood.Flooding = true;
    const TExchangeResult r = RunExchange(flood, Frame, {ReplyKindSetId});
    EXPECT_EQ(r.Outcome, TExchangeOutcome::WrongLength);
    EXPECT_EQ(r.ElapsedMs, 1001);
    TScriptedLink late(Stream(DrainQuietMs + 3100, 100000, 1, 7));
    late.Flooding = true;
    const TExchangeResult l = RunExchange(late, Frame, {ReplyKindSetId});
    EXPECT_EQ(l.Outcome, TExchangeOutcome::LateReply);
    EXPECT_EQ(l.ElapsedMs, 4100);
}

TEST(Exchange, AFloodAfterTheSendCostsNoMemory) {
    TScriptedLink flood(Stream(DrainQuietMs + 1, 100000, 1, 64 * 1024));
    const TExchangeResult r = RunExchange(flood, Frame, {ReplyKindSetId});
    EXPECT_EQ(r.Outcome, TExchangeOutcome::WrongLength);
    EXPECT_EQ(r.Reply.size(), ReplyKeptBytes);
    EXPECT_EQ(r.ReplyBytes, 1001u * 64 * 1024);
    EXPECT_EQ(r.ElapsedMs, 1001);
    EXPECT_EQ(ReplyText(r).substr(ReplyText(r).size() - 20), "... (65601536 bytes)");
}

TEST(Exchange, ASendThatStopsShortSaysWhetherTheFrameMayHaveLeft) {
    struct Case {
        const char* name;
        size_t takes;
        TLinkWait status;
        TExchangeOutcome outcome;
    };
    const Case cases[] = {
        {"nothing taken, link gone", 0, TLinkWait::Lost, TExchangeOutcome::NotSent},
        {"nothing taken in time", 0, TLinkWait::Deadline, TExchangeOutcome::NotSent},
        {"part taken, then gone", 5, TLinkWait::Lost, TExchangeOutcome::LostAfterSend},
        {"part taken, then stuck", 5, TLinkWait::Deadline, TExchangeOutcome::LostAfterSend},
        {"interrupted before a byte left", 0, TLinkWait::Interrupted, TExchangeOutcome::Interrupted},
    };
    for (const auto& c : cases) {
        TScriptedLink link({}, c.takes, c.status);
        const TExchangeResult r = RunExchange(link, Frame, {ReplyKindSetId});
        EXPECT_EQ(r.Outcome, c.outcome) << c.name;
        EXPECT_EQ(r.Sent, c.takes) << c.name;
        if (c.status != TLinkWait::Interrupted) {
            EXPECT_NE(OutcomeDetail(r).find("fx1 took " + std::to_string(c.takes) + " of 12 bytes"), std::string::npos)
                << c.name << ": " << OutcomeDetail(r);
        }
    }
}

TEST(Exchange, AnInterruptEndsEveryWait) {
    const long s = DrainQuietMs;
    for (long at : {10L, s + 100, s + 1500, s + 3500}) {
        TScriptedLink link(at == s + 1500 ? std::deque<TArrival>{{s + 1000, 3}} : std::deque<TArrival>{});
        link.InterruptAtMs = at;
        const TExchangeResult r = RunExchange(link, Frame, {ReplyKindSetId});
        // After the time-out the verdict "no reply" stands; before it the exchange was cut.
        EXPECT_EQ(r.Outcome, at > s + 3000 ? TExchangeOutcome::NoReply : TExchangeOutcome::Interrupted) << at;
        EXPECT_EQ(r.Sent, at < s ? 0u : Frame.size()) << at;
        EXPECT_EQ(link.MsNow(), at) << at;
    }
}

TEST(Exchange, ARawSendCollectsWhatComesBackForItsListenPeriod) {
    TExchangeRule raw{ReplyKindSetId, false, 500};
    TScriptedLink answered({{DrainQuietMs + 100, 3}, {DrainQuietMs + 600, 9}});
    const TExchangeResult r = RunExchange(answered, Frame, raw);
    EXPECT_EQ(r.Outcome, TExchangeOutcome::Sent);
    EXPECT_EQ(r.ReplyBytes, 3u);
    TScriptedLink silent({});
    EXPECT_EQ(RunExchange(silent, Frame, raw).Outcome, TExchangeOutcome::NoReply);
    raw.ListenMs = 0;
    TScriptedLink once({});
    EXPECT_EQ(RunExchange(once, Frame, raw).Outcome, TExchangeOutcome::Sent);
    EXPECT_EQ(once.MsNow(), DrainQuietMs);
}

} // namespace

namespace {

TEST(Exchange, TheQuickRuleJudgesOnQuietAndASecondExchangeNeedNotWaitForQuiet) {
    const long s = DrainQuietMs;
    TExchangeRule quick{ReplyKindSetId};
    quick.QuietGapMs = 20;
    TScriptedLink link({{s + 1, 8}, {s + 4, 5}, {s + 100, 13}, {s + 200, 13}, {s + 230, 1}});
    const TExchangeResult first = RunExchange(link, Frame, quick);
    EXPECT_EQ(first.Outcome, TExchangeOutcome::Accepted);
    EXPECT_EQ(first.JudgedBy, TReplyRule::Quick);
    EXPECT_EQ(first.ElapsedMs, 24);
    // The link is used now: the next frame leaves at once, and its reply arrives at 100 ms.
    const TExchangeResult second = RunExchange(link, Frame, quick);
    EXPECT_EQ(link.SentAtMs, s + 24);
    EXPECT_EQ(second.ElapsedMs, 100 - 24 + 20);
    // 13 bytes, then one more after the gap: the quick rule has judged the 13 already.
    const TExchangeResult third = RunExchange(link, Frame, quick);
    EXPECT_EQ(third.Outcome, TExchangeOutcome::Accepted);
    EXPECT_EQ(third.ReplyBytes, 13u);
    // A straggler that comes after the next frame has left joins that frame's reply: its
    // length is then wrong, so it can fail a row but never pass one.
    const TExchangeResult fourth = RunExchange(link, Frame, quick);
    EXPECT_EQ(fourth.Outcome, TExchangeOutcome::WrongLength);
    EXPECT_EQ(fourth.ReplyBytes, 1u);
    EXPECT_EQ(fourth.JudgedBy, TReplyRule::Window);
}

} // namespace

namespace {

TEST(Exchange, AShorterNoReplyTimeEndsAProbeEarlyAndStillTakesAReplyWithinIt) {
    const long s = DrainQuietMs;
    TExchangeRule probe{ReplyKindReadEln};
    probe.NoReplyMs = 300;
    probe.SettleMs = 0;
    probe.QuietGapMs = 20;
    TScriptedLink silent({{s + 301, 20}});
    const TExchangeResult none = RunExchange(silent, Frame, probe);
    EXPECT_EQ(none.Outcome, TExchangeOutcome::NoReply);
    EXPECT_EQ(none.ElapsedMs, 300);
    TScriptedLink answered({{s + 290, 20}});
    const TExchangeResult r = RunExchange(answered, Frame, probe);
    EXPECT_EQ(r.Outcome, TExchangeOutcome::Accepted);
    EXPECT_EQ(r.ElapsedMs, 310);
    // Once a byte has come, the reply is judged by its own rule, not cut at NoReplyMs.
    TScriptedLink slow({{s + 250, 8}, {s + 600, 12}});
    EXPECT_EQ(RunExchange(slow, Frame, probe).ReplyBytes, 20u);
}

} // namespace
