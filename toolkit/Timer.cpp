#include "toolkit/Timer.h"

#include <QPointer>
#include <QTimer>
#include <algorithm>

#include "toolkit/ExceptionReport.h"

namespace {

class TQtAlarm : public TTimerAlarm {
public:
    explicit TQtAlarm(std::function<void()> tick) {
        FTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&FTimer, &QTimer::timeout, Guarded(std::move(tick)));
    }
    void Start(unsigned ms) override { FTimer.start(static_cast<int>(std::min<unsigned>(ms, INT32_MAX))); }
    void Stop() override { FTimer.stop(); }

private:
    QTimer FTimer;
};

} // namespace

std::unique_ptr<TTimerAlarm> TQtTimerEngine::CreateAlarm(std::function<void()> tick) {
    return std::make_unique<TQtAlarm>(std::move(tick));
}

TTimerEngine& RealTimerEngine() {
    static TQtTimerEngine engine;
    return engine;
}

// ---- virtual time ----

class TVirtualTimerEngine::TAlarm : public TTimerAlarm {
public:
    TAlarm(TVirtualTimerEngine& engine, std::function<void()> tick)
        : FEngine(&engine), FTick(std::move(tick)) {
        FEngine->FAlarms.push_back(this);
    }
    ~TAlarm() override {
        if (FEngine) std::erase(FEngine->FAlarms, this);
    }
    void Start(unsigned ms) override {
        FPeriod = ms;
        FArmed = ms > 0 && FEngine;
        if (!FEngine) return;
        FDue = FEngine->FNow + ms;
        FSequence = ++FEngine->FArmSequence;
    }
    void Stop() override { FArmed = false; }

    TVirtualTimerEngine* FEngine; // null once the engine is gone
    std::function<void()> FTick;
    bool FArmed = false;
    uint64_t FPeriod = 0;
    uint64_t FDue = 0;
    uint64_t FSequence = 0;
};

TVirtualTimerEngine::~TVirtualTimerEngine() {
    for (TAlarm* a : FAlarms)
        a->FEngine = nullptr;
}

std::unique_ptr<TTimerAlarm> TVirtualTimerEngine::CreateAlarm(std::function<void()> tick) {
    return std::make_unique<TAlarm>(*this, std::move(tick));
}

void TVirtualTimerEngine::Advance(uint64_t ms) {
    const uint64_t target = FNow + ms;
    for (;;) {
        // Searched afresh each time: a tick may start, stop, create or destroy alarms.
        TAlarm* next = nullptr;
        for (TAlarm* a : FAlarms) {
            if (!a->FArmed || a->FDue > target) continue;
            if (!next || a->FDue < next->FDue || (a->FDue == next->FDue && a->FSequence < next->FSequence))
                next = a;
        }
        if (!next) break;
        FNow = next->FDue;
        // Re-armed before the tick, so a tick that changes its timer overrides this.
        next->FDue += next->FPeriod;
        next->FSequence = ++FArmSequence;
        // A copy: the tick may destroy its own alarm.
        const std::function<void()> tick = next->FTick;
        RunGuarded(tick);
    }
    FNow = target;
}

int TVirtualTimerEngine::ArmedCount() const {
    return static_cast<int>(
        std::count_if(FAlarms.begin(), FAlarms.end(), [](TAlarm* a) { return a->FArmed; }));
}

// ---- TTimer ----

TTimer::TTimer(QObject* parent) : TTimer(RealTimerEngine(), parent) {}

TTimer::TTimer(TTimerEngine& engine, QObject* parent)
    : QObject(parent), FAlarm(engine.CreateAlarm([this] { Tick(); })) {
    Restart();
}

TTimer::~TTimer() = default;

void TTimer::SetEnabled(bool value) {
    if (value == FEnabled) return;
    FEnabled = value;
    Restart();
}

void TTimer::SetInterval(unsigned ms) {
    if (ms == FInterval) return;
    FInterval = ms;
    Restart();
}

void TTimer::Restart() {
    if (Running())
        FAlarm->Start(FInterval);
    else
        FAlarm->Stop();
}

void TTimer::Tick() {
    // The handler may destroy this timer: it runs from a copy, and the signal
    // only goes out if the timer still exists.
    const QPointer<TTimer> self(this);
    const auto handler = OnTimer;
    FireEvent(handler, this);
    if (self) emit timeout();
}
