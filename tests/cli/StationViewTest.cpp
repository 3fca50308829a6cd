#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/StationView.h"

namespace {

TFixtureReport Event(TFixtureEvent event, int id = 7, TExchangeOutcome outcome = TExchangeOutcome::Accepted) {
    TFixtureReport r;
    r.Event = event;
    r.Fixture = "/dev/ttyUSB0";
    r.Eln = "24B0042";
    r.Id = id;
    r.Outcome = outcome;
    r.Attempts = 1;
    r.ElapsedMs = 1012;
    r.Uncertain = true;
    r.Detail = outcome == TExchangeOutcome::Accepted ? "" : "no reply within 3000 ms";
    return r;
}

TEST(StationView, WhatTheTechnicianReadsForEachResult) {
    struct Case {
        TFixtureReport report;
        const char* status;
        const char* line;
    };
    const Case cases[] = {
        {Event(TFixtureEvent::Set), "ELN 24B0042 \u2192 ID 7 \u2714 take it off",
         "T /dev/ttyUSB0 set ELN 24B0042 ID 7 ok (1 attempt, 1012 ms)"},
        {Event(TFixtureEvent::Failed, 7, TExchangeOutcome::NoReply),
         "ELN 24B0042: no reply to Set_ID \u2718 ID 7 uncertain; take it off",
         "T /dev/ttyUSB0 failed ELN 24B0042 ID 7 uncertain: no reply within 3000 ms (1 attempt)"},
        {Event(TFixtureEvent::Known), "ELN 24B0042 already has ID 7; take it off",
         "T /dev/ttyUSB0 known ELN 24B0042 ID 7"},
        {Event(TFixtureEvent::Removed, -1), "waiting", "T /dev/ttyUSB0 removed ELN 24B0042"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FixtureStatusText(c.report, false), c.status);
        EXPECT_EQ(EventLineText(c.report, "T"), c.line);
    }
    EXPECT_EQ(FixtureStatusText(Event(TFixtureEvent::Set), true),
              "ELN 24B0042 \u2192 ID 7 \033[32m\u2714\033[0m take it off");
}

TEST(StationView, OneJsonObjectPerEventAndTheTotals) {
    const auto json =
        nlohmann::json::parse(EventJsonText(Event(TFixtureEvent::Failed, 7, TExchangeOutcome::NoReply), "T"));
    EXPECT_EQ(json["event"], "failed");
    EXPECT_EQ(json["fixture"], "/dev/ttyUSB0");
    EXPECT_EQ(json["eln"], "24B0042");
    EXPECT_EQ(json["id"], 7);
    EXPECT_EQ(json["time"], "T");
    EXPECT_EQ(json["result"], "uncertain");
    EXPECT_EQ(json["outcome"], "no reply");
    EXPECT_EQ(TotalsText({7, 1, 12, 30, 0.5}), "done 7, failed 1, left in the pool 12, 60 devices/h");
    EXPECT_EQ(TotalsText({1, 0, 2, 1, 0.001}), "done 1, failed 0, left in the pool 2, - devices/h");
}

} // namespace
