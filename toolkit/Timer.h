#pragma once
// TTimer: a repeating timer with the timer rule the window's handlers rely on.
//
// - Setting Enabled or Interval to the value it already has does nothing; a
//   running countdown goes on.
// - Any change of either restarts the countdown from that moment with the
//   current interval; a timer that becomes disabled stops.
// - Interval 0 never ticks.
// - The timer repeats; a handler that wants a one-shot disables its timer.
//
// The clock is an engine: the real one runs on Qt's event loop; the virtual one
// lets tests move time by hand, so a 3000 ms time-out costs no real time.
// Everything here is for the main thread.

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/Object.h"

// One countdown of an engine. Start (re)arms it to fire every ms milliseconds
// (ms > 0) from now; Stop disarms it. Fires call the tick given at creation.
class TTimerAlarm {
public:
    virtual ~TTimerAlarm() = default;
    virtual void Start(unsigned ms) = 0;
    virtual void Stop() = 0;
};

class TTimerEngine {
public:
    virtual ~TTimerEngine() = default;
    // The real engine must outlive the alarms it creates.
    virtual std::unique_ptr<TTimerAlarm> CreateAlarm(std::function<void()> tick) = 0;
};

// Real time on Qt's event loop (precise QTimers).
class TQtTimerEngine : public TTimerEngine {
public:
    std::unique_ptr<TTimerAlarm> CreateAlarm(std::function<void()> tick) override;
};

// The program's real-time engine.
TTimerEngine& RealTimerEngine();

// Time that moves only through Advance. Starts at 0 ms. Alarms that outlive
// the engine never fire again.
class TVirtualTimerEngine : public TTimerEngine {
public:
    TVirtualTimerEngine() = default;
    TVirtualTimerEngine(const TVirtualTimerEngine&) = delete;
    TVirtualTimerEngine& operator=(const TVirtualTimerEngine&) = delete;
    ~TVirtualTimerEngine() override;

    std::unique_ptr<TTimerAlarm> CreateAlarm(std::function<void()> tick) override;

    uint64_t Now() const { return FNow; }
    // Moves the clock forward by ms, firing every alarm that falls due on the
    // way in time order (equal times in the order they were armed), with Now()
    // set to the moment each one fires. Alarms started, restarted or stopped by
    // a tick are honoured within the same call.
    void Advance(uint64_t ms);
    // Number of alarms currently armed.
    int ArmedCount() const;

private:
    class TAlarm;
    friend class TAlarm;
    uint64_t FNow = 0;
    uint64_t FArmSequence = 0;
    std::vector<TAlarm*> FAlarms;
};

class TTimer : public QObject, public TObject {
    Q_OBJECT

public:
    // Enabled and 1000 ms when created, like every toolkit timer; a window that
    // keeps a timer disabled sets Enabled false right after creating it.
    explicit TTimer(QObject* parent = nullptr);
    explicit TTimer(TTimerEngine& engine, QObject* parent = nullptr);
    ~TTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    unsigned Interval() const { return FInterval; }
    void SetInterval(unsigned ms);
    // True while a countdown is running (enabled and interval above 0).
    bool Running() const { return FEnabled && FInterval > 0; }

    // Called at every tick with the timer as Sender, through the exception guard.
    std::function<void(TObject* Sender)> OnTimer;

signals:
    // Emitted at every tick, after OnTimer.
    void timeout();

private:
    void Restart();
    void Tick();

    bool FEnabled = true;
    unsigned FInterval = 1000;
    std::unique_ptr<TTimerAlarm> FAlarm;
};
