// One fixture's loop over a fake line of devices: each device answers a number of probes,
// then is gone for a number of probes; Set_ID answers as scripted.

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <map>

#include "cli/StationFixture.h"

namespace {

struct TFakeDevice {
    std::string Eln;
    int Present = 1; // probes it answers
    int Absent = 3;  // probes unanswered after it
    TExchangeOutcome SetOutcome = TExchangeOutcome::Accepted;
    bool Lost = false; // instead: the link is lost at the first probe
};

class TFakeLine {
public:
    TFakeLine(TStationLine& line, std::deque<TFakeDevice> devices)
        : FLine(line), FDevices(std::move(devices)) {
        for (int id = 0; id < 256; ++id)
            FSetFrames[StationSetIdFrame(TModel::KestrelA, id)] = id;
    }

    TFixtureIo Io() {
        TFixtureIo io;
        io.Name = "fx1";
        io.WaitForPath = [](const auto&) { return true; };
        io.Open = [this] { return ++Opened, std::string(); };
        io.Close = [] {};
        io.Exchange = [this](const std::vector<uint8_t>& frame, const TExchangeRule& rule) {
            return Exchange(frame, rule);
        };
        return io;
    }

    std::vector<std::pair<std::string, int>> Sets; // ELN, ID of every Set_ID received
    int Opened = 0;
    std::vector<unsigned> ProbeNoReplyMs;

private:
    TExchangeResult Exchange(const std::vector<uint8_t>& frame, const TExchangeRule& rule) {
        TExchangeResult x;
        x.Sent = frame.size();
        x.Outcome = TExchangeOutcome::NoReply;
        if (FDevices.empty()) {
            // The script is over: the station is stopped as by a signal.
            FLine.Stop();
            x.Outcome = TExchangeOutcome::Interrupted;
            return x;
        }
        while (FDevices.front().Present == 0 && FDevices.front().Absent == 0 && !FDevices.front().Lost) {
            FDevices.pop_front();
            if (FDevices.empty()) return Exchange(frame, rule);
        }
        TFakeDevice& device = FDevices.front();
        if (const auto set = FSetFrames.find(frame); set != FSetFrames.end()) {
            Sets.emplace_back(device.Eln, set->second);
            x.Outcome = device.SetOutcome;
            x.ReplyBytes = x.Outcome == TExchangeOutcome::Accepted ? 13 : 0;
            return x;
        }
        ProbeNoReplyMs.push_back(rule.NoReplyMs);
        if (device.Lost) {
            FDevices.pop_front();
            x.Outcome = TExchangeOutcome::LostAfterSend;
            x.LinkLost = true;
            x.LinkReason = "fx1 is gone";
            return x;
        }
        if (device.Present > 0) {
            --device.Present;
            x.Outcome = TExchangeOutcome::Accepted;
            x.Reply.assign(20, 0);
            std::copy(device.Eln.begin(), device.Eln.end(), x.Reply.begin() + 10);
            x.ReplyBytes = 20;
            return x;
        }
        --device.Absent;
        return x;
    }

    TStationLine& FLine;
    std::deque<TFakeDevice> FDevices;
    std::map<std::vector<uint8_t>, int> FSetFrames;
};

class StationFixtureTest : public testing::Test {
protected:
    void SetUp() override {
        std::string templ = testing::TempDir() + "kaldora-fixture-XXXXXX";
        Dir = mkdtemp(templ.data());
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }

    // Runs the fixture over the devices with a pool of ids; the events in order.
    std::vector<TFixtureReport> Run(std::deque<TFakeDevice> devices, const std::string& ids,
                                    TStationLine::TOptions options = {}) {
        std::string error;
        Journal = TStationJournal::Open(Dir + "/lot.db", true, error);
        TIdPool pool;
        ParseIdPool(ids, pool);
        EXPECT_TRUE(Journal && Journal->BindLot("KESTREL-A", pool, error)) << error;
        std::vector<TFixtureReport> events;
        Line = std::make_unique<TStationLine>(*Journal, options,
                                              [&](const TFixtureReport& r) { events.push_back(r); });
        Fake = std::make_unique<TFakeLine>(*Line, std::move(devices));
        TFixtureIo io = Fake->Io();
        Line->CheckFinished();
        RunStationFixture(*Line, io, 20);
        return events;
    }

    static std::vector<std::string> Names(const std::vector<TFixtureReport>& events) {
        std::vector<std::string> names;
        for (const auto& e : events)
            names.push_back(std::string(FixtureEventName(e.Event)) + (e.Eln.empty() ? "" : " " + e.Eln) +
                            (e.Id >= 0 ? " " + std::to_string(e.Id) : ""));
        return names;
    }

    std::string Dir;
    std::unique_ptr<TStationJournal> Journal;
    std::unique_ptr<TStationLine> Line;
    std::unique_ptr<TFakeLine> Fake;
};

TEST_F(StationFixtureTest, EachDeviceGetsTheNextIdOnceAndOneThatIsPutBackKeepsItsOwn) {
    const auto events = Run({{"A", 3}, {"B"}, {"A"}, {"C"}}, "10-12");
    using P = std::pair<std::string, int>;
    EXPECT_EQ(Fake->Sets, (std::vector<P>{{"A", 10}, {"B", 11}, {"C", 12}}))
        << "a device still there is set once";
    const std::vector<std::string> expected = {"ready",     "arrived A",       "identified A 10", "set A 10",
                                               "removed A", "arrived B",       "identified B 11", "set B 11",
                                               "removed B", "arrived A",       "known A 10",      "removed A",
                                               "arrived C", "identified C 12", "set C 12"};
    EXPECT_EQ(Names(events), expected);
    EXPECT_TRUE(Line->Finished()) << "the pool is used up once the last result is recorded";
    for (unsigned ms : Fake->ProbeNoReplyMs)
        EXPECT_EQ(ms, ProbeNoReplyMs);
}

TEST_F(StationFixtureTest, AnUnansweredSetIdLeavesTheIdUncertainAndTheDeviceGetsItAgain) {
    struct Case {
        const char* name;
        bool release;
        std::vector<std::pair<std::string, int>> sets;
    };
    const Case cases[] = {
        {"kept", false, {{"A", 1}, {"B", 2}, {"A", 1}}},
        {"released: the next device takes it", true, {{"A", 1}, {"B", 1}, {"A", 2}}},
    };
    for (const Case& c : cases) {
        TStationLine::TOptions options;
        options.ReleaseUncertain = c.release;
        const auto events = Run({{"A", 1, 3, TExchangeOutcome::NoReply}, {"B"}, {"A"}}, "1-3", options);
        EXPECT_EQ(Fake->Sets, c.sets) << c.name;
        const auto failed = std::find_if(events.begin(), events.end(),
                                         [](const auto& e) { return e.Event == TFixtureEvent::Failed; });
        ASSERT_NE(failed, events.end()) << c.name;
        EXPECT_EQ(failed->Uncertain, !c.release) << c.name;
        EXPECT_FALSE(Line->Finished()) << c.name;
        std::filesystem::remove_all(Dir);
        std::filesystem::create_directory(Dir);
    }
}

TEST_F(StationFixtureTest, ALostLinkRemovesTheDeviceAndIsOpenedAgain) {
    const TFakeDevice lost{"", 0, 0, TExchangeOutcome::Accepted, true};
    const auto events = Run({{"A", 1, 0}, lost, lost, {"B"}}, "1-2");
    // The link went with the device: a removal, not a fault; without a device it is "lost".
    EXPECT_EQ(Names(events),
              (std::vector<std::string>{"ready", "arrived A", "identified A 1", "set A 1", "removed A",
                                        "ready", "lost", "ready", "arrived B", "identified B 2", "set B 2"}));
    EXPECT_EQ(Fake->Opened, 3);
}

TEST_F(StationFixtureTest, ASwapBetweenProbesIsARemovalAndAnArrival) {
    const auto events = Run({{"A", 2, 0}, {"B"}}, "1-2");
    EXPECT_EQ(Names(events),
              (std::vector<std::string>{"ready", "arrived A", "identified A 1", "set A 1", "removed A",
                                        "arrived B", "identified B 2", "set B 2"}));
}

TEST_F(StationFixtureTest, APoolUsedUpAtTheStartEndsAtOnce) {
    Run({{"A"}}, "1");
    EXPECT_TRUE(Line->Finished());
    const auto again = Run({{"B"}}, "1");
    EXPECT_TRUE(Line->Finished());
    EXPECT_TRUE(Fake->Sets.empty());
    EXPECT_TRUE(again.empty());
}

} // namespace
