#pragma once
// The batch's run: rows flow from a bounded queue to the ports, one thread per port, each
// row recorded in the journal before its frame leaves and again when its outcome is
// known. The ports are given as functions, so the run is tested with fakes.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cli/Batch.h"

struct TQueuedRow {
    int Line = 0;
    std::vector<uint8_t> Frame;
    std::string Device; // DeviceText, for the row's line
};

// Rows on their way to the ports. The feeder pushes (waiting while it is full); ports
// take; a row that was not sent is given back to the head, for another port.
class TRowQueue {
public:
    explicit TRowQueue(size_t capacity = 1024) : FCapacity(capacity) {}
    // False once the queue is stopped: the row was not queued.
    bool Push(TQueuedRow row);
    // The feeder has pushed its last row.
    void Close();
    // Ends every wait; rows still queued stay there.
    void Stop();
    // The next row; waits while none is queued but one may still come (from the feeder,
    // or given back by a port with a row in flight). False when none will.
    bool Take(TQueuedRow& row);
    // A taken row that another port should send.
    void GiveBack(TQueuedRow row);
    // A taken row is done.
    void Finished();

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<TQueuedRow> FRows;
    size_t FCapacity;
    size_t FInFlight = 0;
    bool FClosed = false, FStopped = false;
};

// One link of the run. Open, Exchange and Close are called on the port's own thread.
struct TBatchPort {
    std::string Name;
    std::function<std::string()> Open; // the reason it did not open, empty when it did
    std::function<TExchangeResult(const std::vector<uint8_t>& frame)> Exchange;
    std::function<void(const std::string& lostReason)> Close; // lostReason empty unless lost
};

struct TBatchRunOptions {
    int Retries = 0; // further attempts on the same port after no reply or a wrong length
};

struct TBatchRunResult {
    size_t Opened = 0;                                 // ports that opened
    size_t Running = 0;                                // ports still usable at the end
    std::vector<std::pair<std::string, size_t>> Shares; // rows each port ran, in order of first use
    std::string JournalError;                          // a journal write failed: the run stopped
};

// Runs rows from the queue until it has none, stop is set, or no port is left (the
// queue is then stopped, so that the feeder does not wait for ever). A row gets up to
// 1 + Retries attempts, no further one once stop is set; before each the row is marked
// Sending in the journal, and a failed mark stops the run with the row not sent. A row
// that no byte of left goes back to the queue and its port takes no more; a port whose
// link was lost takes no more. onDone runs for every finished row, one call at a time.
TBatchRunResult RunBatchRows(TRowQueue& queue, std::vector<TBatchPort>& ports, TJournal& journal,
                             const TBatchRunOptions& options, std::atomic<bool>& stop,
                             const std::function<void(const TQueuedRow&, const TJournalRow&)>& onDone);
