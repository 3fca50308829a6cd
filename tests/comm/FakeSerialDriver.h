#pragma once
// A scripted serial driver: counts and records every call, can fail any call
// with a chosen error number, and delivers line events that the test pushes.

#include "comm/SerialDriver.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

class TFakeSerialDriver : public TSerialDriver {
public:
    enum TCall {
        cOpen,
        cClose,
        cIsCharDevice,
        cSetupComm,
        cGetCommState,
        cSetCommState,
        cSetCommTimeouts,
        cSetCommMask,
        cCreateEventWaiter,
        cRead,
        cWrite,
        cClearCommError,
        cPurge,
        cEscape,
        cModemStatus,
        cCallKinds
    };

    // Scripted behaviour; set by the test before the calls.
    bool CharDevice = true;
    TDcb DriverDcb;           // what GetCommState reports
    unsigned long Errors = 0; // what ClearCommError reports
    TComStat Stat;
    unsigned long ModemStatus = 0;
    std::string InData;                // what Read hands out
    unsigned long WriteAccepts = ~0UL; // bytes a Write moves at most

    // What the component sent.
    std::string OpenedName;
    std::vector<TDcb> SentDcbs;
    std::vector<TCommTimeouts> SentTimeouts;
    std::vector<uint32_t> SentMasks;
    std::vector<unsigned long> Purges;
    std::vector<int> Escapes;
    std::string OutData;

    void Fail(TCall call, int error) {
        std::lock_guard guard(FMutex);
        FFail[call] = error;
        FGone[call] = false;
    }
    // The device is back: no call fails, no event is pending.
    void Restore() {
        std::lock_guard guard(FMutex);
        std::fill(std::begin(FFail), std::end(FFail), 0);
        std::fill(std::begin(FGone), std::end(FGone), false);
        FEvents.clear();
    }
    // The call fails with error because the device has vanished.
    void Lose(TCall call, int error) {
        std::lock_guard guard(FMutex);
        FFail[call] = error;
        FGone[call] = true;
    }
    int Count(TCall call) {
        std::lock_guard guard(FMutex);
        return FCount[call];
    }
    // Line events for the event thread's waits, in order.
    void PushEvent(uint32_t mask) { Push({TWaitStatus::Completed, mask, 0}); }
    void PushHangUp() { Push({TWaitStatus::HangUp, 0, 5}); }

    TSerialResult Open(const std::string& name, TSerialHandle& handle) override {
        handle = InvalidSerialHandle;
        OpenedName = name;
        if (int e = Enter(cOpen)) return TSerialResult::Failure(e);
        handle = 7;
        return {};
    }
    void Close(TSerialHandle) override { Enter(cClose); }
    bool IsCharDevice(TSerialHandle) override { return Enter(cIsCharDevice) == 0 && CharDevice; }
    TSerialResult SetupComm(TSerialHandle, unsigned long, unsigned long) override {
        return Result(cSetupComm);
    }
    TSerialResult GetCommState(TSerialHandle, TDcb& dcb) override {
        dcb = DriverDcb;
        return Result(cGetCommState);
    }
    TSerialResult SetCommState(TSerialHandle, const TDcb& dcb) override {
        SentDcbs.push_back(dcb);
        return Result(cSetCommState);
    }
    TSerialResult SetCommTimeouts(TSerialHandle, const TCommTimeouts& t) override {
        SentTimeouts.push_back(t);
        return Result(cSetCommTimeouts);
    }
    TSerialResult SetCommMask(TSerialHandle, uint32_t mask) override {
        SentMasks.push_back(mask);
        return Result(cSetCommMask);
    }
    std::unique_ptr<TCommEventWaiter> CreateEventWaiter(TSerialHandle) override {
        Enter(cCreateEventWaiter);
        {
            std::lock_guard guard(FMutex);
            FCancelled = false;
        }
        return std::make_unique<TWaiter>(*this);
    }
    TSerialResult Read(TSerialHandle, char* buffer, unsigned long count, unsigned long& done) override {
        done = std::min<unsigned long>(count, InData.size());
        InData.copy(buffer, done);
        InData.erase(0, done);
        return Result(cRead);
    }
    TSerialResult Write(TSerialHandle, const char* buffer, unsigned long count,
                        unsigned long& done) override {
        done = std::min(count, WriteAccepts);
        OutData.append(buffer, done);
        return Result(cWrite);
    }
    TSerialResult ClearCommError(TSerialHandle, unsigned long& errors, TComStat& stat) override {
        errors = Errors;
        stat = Stat;
        return Result(cClearCommError);
    }
    TSerialResult Purge(TSerialHandle, unsigned long flags) override {
        Purges.push_back(flags);
        return Result(cPurge);
    }
    TSerialResult EscapeCommFunction(TSerialHandle, int function) override {
        Escapes.push_back(function);
        return Result(cEscape);
    }
    TSerialResult GetCommModemStatus(TSerialHandle, unsigned long& status) override {
        status = ModemStatus;
        return Result(cModemStatus);
    }

private:
    class TWaiter : public TCommEventWaiter {
    public:
        explicit TWaiter(TFakeSerialDriver& d) : D(d) {}
        TWaitResult Wait() override {
            std::unique_lock lock(D.FMutex);
            D.FChanged.wait(lock, [&] { return D.FCancelled || !D.FEvents.empty(); });
            if (D.FCancelled) return {TWaitStatus::Cancelled, 0, 0};
            TWaitResult r = D.FEvents.front();
            if (r.Status != TWaitStatus::HangUp) D.FEvents.pop_front();
            return r;
        }
        void Cancel() override {
            std::lock_guard guard(D.FMutex);
            D.FCancelled = true;
            D.FChanged.notify_all();
        }

    private:
        TFakeSerialDriver& D;
    };

    int Enter(TCall call) {
        std::lock_guard guard(FMutex);
        ++FCount[call];
        return FFail[call];
    }
    TSerialResult Result(TCall call) {
        const int e = Enter(call);
        std::lock_guard guard(FMutex);
        return !e            ? TSerialResult::Success()
               : FGone[call] ? TSerialResult::Gone(e)
                             : TSerialResult::Failure(e);
    }
    void Push(TWaitResult r) {
        std::lock_guard guard(FMutex);
        FEvents.push_back(r);
        FChanged.notify_all();
    }

    std::mutex FMutex;
    std::condition_variable FChanged;
    int FCount[cCallKinds] = {};
    int FFail[cCallKinds] = {};
    bool FGone[cCallKinds] = {};
    std::deque<TWaitResult> FEvents;
    bool FCancelled = false;
};
