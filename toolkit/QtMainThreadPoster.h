#pragma once
// The hand-over that the serial event thread uses to run calls on the main thread.

#include "comm/MainThreadPoster.h"

// Queues each call on the Qt main thread's event loop (a queued call on the
// application object), in the order posted, callable from any thread. The call
// runs inside the exception guard: an Exception it raises is shown by the
// exception report and never reaches Qt. Calls posted when no application
// object exists, or still queued when it is destroyed, never run.
class TQtMainThreadPoster : public TMainThreadPoster {
public:
    void Post(std::function<void()> fn) override;
};
