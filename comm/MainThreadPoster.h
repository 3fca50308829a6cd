#pragma once
// The one platform piece the serial event thread needs from the program: a way
// to have a call run later on the main thread. The blocking hand-over
// (Synchronize) and its cancellation are built on top of it in comm/.

#include <functional>

class TMainThreadPoster {
public:
    virtual ~TMainThreadPoster() = default;
    // Queues fn to run on the main thread, after the calls queued before it.
    // Callable from any thread; never runs fn on the caller's stack. An
    // exception that fn raises is the poster's to report; it does not travel
    // back to the poster's caller.
    virtual void Post(std::function<void()> fn) = 0;
};
