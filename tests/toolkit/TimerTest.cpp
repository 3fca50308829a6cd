#include <QSignalSpy>
#include <gtest/gtest.h>

#include "base/Exception.h"
#include "tests/toolkit/TestSupport.h"
#include "toolkit/Timer.h"

namespace {

// One step of a timer scenario, applied at the engine's current time.
struct TStep {
    enum { Advance, Enable, Interval } What;
    unsigned Value;
};

struct TScenario {
    const char* Name;
    std::vector<TStep> Steps;
    std::vector<uint64_t> Ticks; // virtual times at which OnTimer ran
};

class TimerRule : public testing::TestWithParam<TScenario> {};

TEST_P(TimerRule, TicksAtTheExpectedTimes) {
    TVirtualTimerEngine engine;
    TTimer timer(engine);
    timer.SetEnabled(false);
    timer.SetInterval(100);
    std::vector<uint64_t> ticks;
    timer.OnTimer = [&](TObject* sender) {
        EXPECT_EQ(sender, &timer);
        ticks.push_back(engine.Now());
    };
    for (const TStep& s : GetParam().Steps) {
        if (s.What == TStep::Advance) engine.Advance(s.Value);
        if (s.What == TStep::Enable) timer.SetEnabled(s.Value != 0);
        if (s.What == TStep::Interval) timer.SetInterval(s.Value);
    }
    EXPECT_EQ(ticks, GetParam().Ticks);
}

constexpr auto A = TStep::Advance;
constexpr auto E = TStep::Enable;
constexpr auto I = TStep::Interval;

INSTANTIATE_TEST_SUITE_P(
    Timer, TimerRule,
    testing::Values(
        TScenario{"RepeatsAtItsInterval", {{E, 1}, {A, 350}}, {100, 200, 300}},
        TScenario{"DisabledNeverTicks", {{A, 1000}}, {}},
        TScenario{"EnablingARunningTimerDoesNotRestartIt", {{E, 1}, {A, 60}, {E, 1}, {A, 60}}, {100}},
        TScenario{"SameIntervalDoesNotRestart", {{E, 1}, {A, 60}, {I, 100}, {A, 60}}, {100}},
        TScenario{"NewIntervalRestartsFromNow", {{E, 1}, {A, 60}, {I, 50}, {A, 200}}, {110, 160, 210, 260}},
        TScenario{"DisableThenEnableRestarts", {{E, 1}, {A, 60}, {E, 0}, {E, 1}, {A, 100}}, {160}},
        TScenario{"DisablingStops", {{E, 1}, {A, 150}, {E, 0}, {A, 500}}, {100}},
        TScenario{"IntervalZeroNeverTicks", {{I, 0}, {E, 1}, {A, 10000}, {I, 30}, {A, 70}}, {10030, 10060}},
        // The receive path's pattern: on an idle timer, Enabled then Interval runs
        // the full new interval; on a running one both settings change nothing.
        TScenario{"EnableThenIntervalOnIdleTimer",
                  {{E, 1}, {I, 1000}, {A, 999}, {E, 1}, {I, 1000}, {A, 1}},
                  {1000}}),
    [](const testing::TestParamInfo<TScenario>& info) { return std::string(info.param.Name); });

TEST(Timer, HandlerThatDisablesItsTimerMakesAOneShot) {
    TVirtualTimerEngine engine;
    TTimer timer(engine);
    timer.SetInterval(3000);
    int ticks = 0;
    timer.OnTimer = [&](TObject*) {
        ++ticks;
        timer.SetEnabled(false);
    };
    engine.Advance(10000);
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(engine.ArmedCount(), 0);
    timer.SetEnabled(true); // the next event re-arms it
    engine.Advance(3000);
    EXPECT_EQ(ticks, 2);
}

TEST(Timer, TimerArmedDuringATickFiresWithinTheSameAdvance) {
    TVirtualTimerEngine engine;
    TTimer first(engine), second(engine);
    second.SetEnabled(false);
    first.SetInterval(10);
    second.SetInterval(4);
    std::vector<std::pair<char, uint64_t>> ticks;
    first.OnTimer = [&](TObject*) {
        ticks.emplace_back('1', engine.Now());
        first.SetEnabled(false);
        second.SetEnabled(true);
    };
    second.OnTimer = [&](TObject*) {
        ticks.emplace_back('2', engine.Now());
        second.SetEnabled(false);
    };
    engine.Advance(20);
    EXPECT_EQ(ticks, (std::vector<std::pair<char, uint64_t>>{{'1', 10}, {'2', 14}}));
    EXPECT_EQ(engine.Now(), 20u);
}

TEST(Timer, ExceptionInHandlerIsReportedAndTheTimerGoesOn) {
    TReportRecorder reports;
    TVirtualTimerEngine engine;
    TTimer timer(engine);
    timer.SetInterval(5);
    int ticks = 0;
    timer.OnTimer = [&](TObject*) {
        ++ticks;
        throw Exception("tick failed");
    };
    engine.Advance(10);
    EXPECT_EQ(ticks, 2);
    EXPECT_EQ(reports.Messages, (std::vector<std::string>{"tick failed", "tick failed"}));
}

TEST(Timer, HandlerMayDestroyItsOwnTimer) {
    TVirtualTimerEngine engine;
    auto timer = std::make_unique<TTimer>(engine);
    timer->SetInterval(5);
    timer->OnTimer = [&](TObject*) { timer.reset(); };
    engine.Advance(100);
    EXPECT_EQ(timer, nullptr);
    EXPECT_EQ(engine.ArmedCount(), 0);
}

TEST(Timer, RealTimeOneShot) {
    TTimer timer;
    timer.SetInterval(5);
    int ticks = 0;
    timer.OnTimer = [&](TObject*) {
        ++ticks;
        timer.SetEnabled(false);
    };
    QSignalSpy spy(&timer, &TTimer::timeout);
    ASSERT_TRUE(spy.wait(5000));
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(timer.Enabled());
}

} // namespace

namespace {

TEST(Timer, TimerMayOutliveItsVirtualEngine) {
    auto engine = std::make_unique<TVirtualTimerEngine>();
    TTimer timer(*engine);
    timer.SetInterval(5);
    engine.reset();
    timer.SetInterval(7); // harmless; it can never fire now
    timer.SetEnabled(false);
}

} // namespace
