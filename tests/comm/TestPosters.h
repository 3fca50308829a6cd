#pragma once
// Stand-ins for the program's main thread. TQueuePoster queues posted calls
// until the test thread pumps them; TThreadPoster runs them on a thread of
// its own. Both record the messages of exceptions the calls raise.

#include "base/Exception.h"
#include "comm/MainThreadPoster.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TQueuePoster : public TMainThreadPoster {
public:
    void Post(std::function<void()> fn) override {
        std::lock_guard guard(FMutex);
        FQueue.push_back(std::move(fn));
        FChanged.notify_all();
    }

    // Runs posted calls on this thread until done() holds or the time is up.
    bool PumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            std::function<void()> fn;
            {
                std::unique_lock lock(FMutex);
                if (!FChanged.wait_until(lock, deadline, [&] { return !FQueue.empty(); })) return done();
                fn = std::move(FQueue.front());
                FQueue.pop_front();
            }
            Run(fn);
        }
        return true;
    }
    // Runs posted calls for the whole period.
    void PumpFor(std::chrono::milliseconds period) {
        PumpUntil([] { return false; }, period);
    }
    // Waits until a call is queued, without running it.
    bool WaitPosted(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        std::unique_lock lock(FMutex);
        return FChanged.wait_for(lock, timeout, [&] { return !FQueue.empty(); });
    }
    // Runs the calls queued now; returns how many.
    int PumpPending() {
        std::deque<std::function<void()>> queue;
        {
            std::lock_guard guard(FMutex);
            queue.swap(FQueue);
        }
        for (auto& fn : queue)
            Run(fn);
        return static_cast<int>(queue.size());
    }
    std::vector<std::string> Raised;

private:
    void Run(const std::function<void()>& fn) {
        try {
            fn();
        } catch (const Exception& e) {
            Raised.push_back(e.Message());
        }
    }
    std::mutex FMutex;
    std::condition_variable FChanged;
    std::deque<std::function<void()>> FQueue;
};

class TThreadPoster : public TMainThreadPoster {
public:
    TThreadPoster() : FThread([this] { Loop(); }) {}
    ~TThreadPoster() override {
        {
            std::lock_guard guard(FMutex);
            FStop = true;
            FChanged.notify_all();
        }
        FThread.join();
    }
    void Post(std::function<void()> fn) override {
        std::lock_guard guard(FMutex);
        FQueue.push_back(std::move(fn));
        FChanged.notify_all();
    }
    // Runs fn on the poster's thread and waits for it.
    void RunAndWait(const std::function<void()>& fn) {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        Post([&] {
            fn();
            std::lock_guard guard(m);
            done = true;
            cv.notify_all();
        });
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
    }
    std::thread::id Id() const { return FThread.get_id(); }

private:
    void Loop() {
        std::unique_lock lock(FMutex);
        for (;;) {
            FChanged.wait(lock, [&] { return FStop || !FQueue.empty(); });
            if (FQueue.empty()) return;
            auto fn = std::move(FQueue.front());
            FQueue.pop_front();
            lock.unlock();
            try {
                fn();
            } catch (const Exception&) {
            }
            lock.lock();
        }
    }
    std::mutex FMutex;
    std::condition_variable FChanged;
    std::deque<std::function<void()>> FQueue;
    bool FStop = false;
    std::thread FThread;
};
