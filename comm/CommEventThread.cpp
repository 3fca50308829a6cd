#include "comm/Comm.h"

#include <condition_variable>

// State shared by the event thread, the calls it posts to the main thread and
// the component. A posted call holds only this, never the thread or the
// component, so one that runs after Stop finds Cancelled and does nothing.
struct TCommEventThread::THandOver {
    std::mutex Mutex;
    std::condition_variable Changed;
    bool Cancelled = false;
    bool Finished = false;
    uint64_t Posted = 0;  // sequence number of the last hand-over posted
    uint64_t Done = 0;    // sequence number of the last hand-over finished
    bool Running = false; // a handler call is in progress
    std::thread::id RunningOn;
    TSignalEvent Handler;
    TLostEvent LostHandler;
};

namespace {

// Runs call(handler) on the main thread through the poster, unless the thread
// is stopped first; marks hand-over seq done either way, also when the
// handler raises, so the event thread never waits for a call that has ended.
template <typename TState, typename THandlerOf, typename TCall>
void PostHandOver(TMainThreadPoster& poster, std::shared_ptr<TState> state, uint64_t seq,
                  THandlerOf handlerOf, TCall call) {
    poster.Post([state, seq, handlerOf, call] {
        std::unique_lock lock(state->Mutex);
        auto handler = handlerOf(*state);
        if (state->Cancelled || !handler) {
            state->Done = seq;
            state->Changed.notify_all();
            return;
        }
        state->Running = true;
        state->RunningOn = std::this_thread::get_id();
        lock.unlock();
        struct TFinish {
            TState& S;
            uint64_t Seq;
            ~TFinish() {
                std::lock_guard guard(S.Mutex);
                S.Running = false;
                S.Done = Seq;
                S.Changed.notify_all();
            }
        } finishGuard{*state, seq};
        call(handler);
    });
}

} // namespace

TCommEventThread::TCommEventThread(std::shared_ptr<TSerialDriver> Driver, TSerialHandle CommHandle,
                                   uint32_t SuspendTime, const TCommEventTypes& MonitorEvents,
                                   TMainThreadPoster& Poster)
    : FDriver(std::move(Driver)), FCommHandle(CommHandle), FSuspendTime(SuspendTime), FPoster(Poster),
      FHandOver(std::make_shared<THandOver>()) {
    FDriver->SetCommMask(FCommHandle, CommEventMask(MonitorEvents));
    FWaiter = FDriver->CreateEventWaiter(FCommHandle);
}

TCommEventThread::~TCommEventThread() {
    Stop();
}

void TCommEventThread::SetOnSignal(TSignalEvent Handler) {
    std::lock_guard guard(FHandOver->Mutex);
    FHandOver->Handler = std::move(Handler);
}

void TCommEventThread::SetOnLost(TLostEvent Handler) {
    std::lock_guard guard(FHandOver->Mutex);
    FHandOver->LostHandler = std::move(Handler);
}

void TCommEventThread::Start() {
    if (!FThread.joinable()) FThread = std::thread([this] { Execute(); });
}

bool TCommEventThread::Finished() const {
    std::lock_guard guard(FHandOver->Mutex);
    return FHandOver->Finished;
}

bool TCommEventThread::WaitFinished(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(FHandOver->Mutex);
    return FHandOver->Changed.wait_for(lock, timeout, [&] { return FHandOver->Finished; });
}

void TCommEventThread::Stop() {
    {
        std::unique_lock lock(FHandOver->Mutex);
        FHandOver->Handler = nullptr;
        FHandOver->LostHandler = nullptr;
        FHandOver->Cancelled = true;
        FHandOver->Changed.notify_all();
        // A handler running on another thread must end before the caller may
        // free what it uses; one running on this thread is our own caller.
        FHandOver->Changed.wait(
            lock, [&] { return !FHandOver->Running || FHandOver->RunningOn == std::this_thread::get_id(); });
    }
    if (FWaiter) FWaiter->Cancel();
    if (FThread.joinable()) FThread.join();
    // The waiter holds descriptors of its own; they go with the opening.
    FWaiter.reset();
}

void TCommEventThread::Execute() {
    const std::shared_ptr<THandOver> state = FHandOver;
    const auto finish = [&] {
        std::lock_guard guard(state->Mutex);
        state->Finished = true;
        state->Changed.notify_all();
    };
    if (!FWaiter) return finish();

    for (;;) {
        {
            std::lock_guard guard(state->Mutex);
            if (state->Cancelled) break;
        }
        const TWaitResult result = FWaiter->Wait();
        if (result.Status == TWaitStatus::Cancelled) break;
        TObject* sender = this;
        if (result.Status == TWaitStatus::HangUp) {
            // Reported once; the thread then ends without waiting, since the
            // main thread's answer is to stop it.
            uint64_t seq = 0;
            {
                std::lock_guard guard(state->Mutex);
                if (state->Cancelled) break;
                seq = ++state->Posted;
            }
            const int error = result.Error;
            PostHandOver(
                FPoster, state, seq, [](THandOver& s) { return s.LostHandler; },
                [sender, error](const TLostEvent& handler) { handler(sender, error); });
            break;
        }
        if (result.Status != TWaitStatus::Completed) continue;

        FEvtMask = result.EvtMask;
        uint64_t seq = 0;
        {
            std::lock_guard guard(state->Mutex);
            if (state->Cancelled) break;
            seq = ++state->Posted;
        }
        const uint32_t mask = result.EvtMask;
        PostHandOver(
            FPoster, state, seq, [](THandOver& s) { return s.Handler; },
            [sender, mask](const TSignalEvent& handler) { handler(sender, mask); });

        std::unique_lock lock(state->Mutex);
        state->Changed.wait(lock, [&] { return state->Cancelled || state->Done >= seq; });
        if (state->Cancelled) break;
    }
    finish();
}
