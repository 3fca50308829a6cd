#include "cli/BatchRun.h"

#include <algorithm>
#include <exception>
#include <thread>

#include "protocol/HexText.h"

bool TRowQueue::Push(TQueuedRow row) {
    std::unique_lock guard(FLock);
    FChanged.wait(guard, [this] { return FStopped || FRows.size() < FCapacity; });
    if (FStopped) return false;
    FRows.push_back(std::move(row));
    FChanged.notify_all();
    return true;
}

void TRowQueue::Close() {
    std::lock_guard guard(FLock);
    FClosed = true;
    FChanged.notify_all();
}

void TRowQueue::Stop() {
    std::lock_guard guard(FLock);
    FStopped = true;
    FChanged.notify_all();
}

bool TRowQueue::Take(TQueuedRow& row) {
    std::unique_lock guard(FLock);
    FChanged.wait(guard, [this] { return FStopped || !FRows.empty() || (FClosed && FInFlight == 0); });
    if (FStopped || FRows.empty()) return false;
    row = std::move(FRows.front());
    FRows.pop_front();
    ++FInFlight;
    FChanged.notify_all();
    return true;
}

void TRowQueue::GiveBack(TQueuedRow row) {
    std::lock_guard guard(FLock);
    FRows.push_front(std::move(row));
    --FInFlight;
    FChanged.notify_all();
}

void TRowQueue::Finished() {
    std::lock_guard guard(FLock);
    --FInFlight;
    FChanged.notify_all();
}

TBatchRunResult RunBatchRows(TRowQueue& queue, std::vector<TBatchPort>& ports, TJournal& journal,
                             const TBatchRunOptions& options, std::atomic<bool>& stop,
                             const std::function<void(const TQueuedRow&, const TJournalRow&)>& onDone) {
    std::mutex lock;
    TBatchRunResult run;
    size_t live = ports.size(); // ports that may still take rows
    auto portDone = [&](bool usable) {
        std::lock_guard guard(lock);
        if (usable) ++run.Running;
        if (--live == 0) queue.Stop();
    };
    auto credit = [&](const std::string& port) {
        auto it = std::find_if(run.Shares.begin(), run.Shares.end(), [&](const auto& s) { return s.first == port; });
        if (it == run.Shares.end())
            run.Shares.emplace_back(port, 1);
        else
            ++it->second;
    };
    auto failJournal = [&](const std::string& error) {
        std::lock_guard guard(lock);
        if (run.JournalError.empty()) run.JournalError = error;
        stop = true;
        queue.Stop();
    };

    auto work = [&](TBatchPort& port) {
        std::string openError;
        try {
            openError = port.Open ? port.Open() : "";
        } catch (const std::exception& e) {
            openError = e.what();
        }
        if (!openError.empty()) return portDone(false);
        {
            std::lock_guard guard(lock);
            ++run.Opened;
        }
        std::string lost;
        TQueuedRow row;
        while (!stop && lost.empty() && queue.Take(row)) {
            TJournalRow result;
            result.Line = row.Line;
            result.Port = port.Name;
            bool everSent = false, giveBack = false, journalFailed = false;
            for (int attempt = 0; attempt <= options.Retries; ++attempt) {
                if (attempt > 0 && stop) break;
                std::string error;
                if (!journal.MarkSending(row.Line, port.Name, HexText(row.Frame), result.Attempts + 1, error)) {
                    failJournal(error);
                    journalFailed = true;
                    break;
                }
                TExchangeResult x;
                try {
                    x = port.Exchange(row.Frame);
                } catch (const std::exception& e) {
                    // A failure inside the link must not end the whole run unrecorded; the
                    // frame may have left.
                    x.Outcome = TExchangeOutcome::LostAfterSend;
                    x.Sent = row.Frame.size();
                    x.LinkReason = e.what();
                }
                const TOutcomeRule& rule = OutcomeRuleOf(x.Outcome);
                const bool left = x.Sent > 0;
                everSent = everSent || left;
                if (left) ++result.Attempts;
                result.ElapsedMs += x.ElapsedMs;
                result.Reply = ReplyText(x);
                result.State = rule.State;
                result.Reason = rule.State == TRowState::Ok ? "" : OutcomeDetail(x);
                if (x.Outcome == TExchangeOutcome::Interrupted && !left) {
                    result.State = TRowState::Pending;
                    result.Reason = "interrupted before it was sent";
                }
                if (!rule.PortUsable || x.LinkLost) lost = x.LinkReason.empty() ? result.Reason : x.LinkReason;
                if (rule.Requeue) {
                    // Nothing of this attempt left; the row may go elsewhere only if no
                    // earlier attempt sent it either.
                    giveBack = !everSent;
                    if (!giveBack) result.State = TRowState::Failed;
                    break;
                }
                if (result.State == TRowState::Ok || !rule.Retry || !lost.empty()) break;
            }
            if (journalFailed) {
                // The row was never sent: it stays as the journal last held it.
                queue.GiveBack(std::move(row));
                break;
            }
            result.Time = IsoLocalTimeNow();
            if (giveBack) {
                result.State = TRowState::Pending;
                std::string error;
                if (!journal.Record(result, error)) failJournal(error);
                queue.GiveBack(std::move(row));
                break;
            }
            std::string error;
            if (!journal.Record(result, error)) failJournal(error);
            {
                std::lock_guard guard(lock);
                if (result.Attempts > 0) credit(port.Name);
                if (onDone) onDone(row, result);
            }
            queue.Finished();
        }
        if (port.Close) port.Close(lost);
        portDone(lost.empty());
    };

    if (ports.empty()) {
        queue.Stop();
        return run;
    }
    std::vector<std::thread> threads;
    for (size_t k = 1; k < ports.size(); ++k)
        threads.emplace_back(work, std::ref(ports[k]));
    work(ports[0]);
    for (auto& thread : threads)
        thread.join();
    return run;
}
