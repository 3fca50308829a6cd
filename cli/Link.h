#pragma once
// A link of kaldora-cli: a serial port (through the serial component, so the exclusive
// open, the line settings and RTS/DTR are the window's) or a TCP connection. A link
// belongs to the one thread that opened it; several links may run at once, one per
// thread. Every wait in a link ends within a few milliseconds of InterruptAllLinks.
// Nothing here writes to the standard streams.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/LinkOptions.h"

using TClock = std::chrono::steady_clock;

enum class TLinkWait { Data, Deadline, Lost, Interrupted };

// How much of a send the link took. Sent counts the bytes handed to the system: once it
// is above 0, the device may have had them.
struct TSendResult {
    size_t Sent = 0;
    TLinkWait Status = TLinkWait::Data; // Data when all went; else Deadline (the peer took
                                        // no more in time), Lost or Interrupted
    std::string Reason;                 // why not all went, naming the link
};

class TLink {
public:
    virtual ~TLink() = default;

    // Opens the link. Returns empty on success, else the reason in words a technician
    // can act on, naming the port or host.
    virtual std::string Open() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // "COM1 (/dev/ttyUSB0) at 19200 baud, parity none" or "127.0.0.1:4660".
    virtual std::string Describe() const = 0;

    // Hands the bytes to the link, waiting (without spinning) while the system takes no
    // more, until deadline.
    virtual TSendResult Send(const uint8_t* data, size_t count, TClock::time_point deadline) = 0;
    // Drops what the system holds of received bytes (a serial port's input queue; a TCP
    // socket has no queue of its own to drop) and returns how many it knew of.
    virtual size_t PurgeInput() = 0;
    // Waits until bytes arrive or deadline passes; appends at most ReceiveChunkBytes of
    // what arrived. Lost: the link is gone (reason in LostReason()).
    virtual TLinkWait Receive(std::vector<uint8_t>& bytes, TClock::time_point deadline) = 0;
    virtual std::string LostReason() const = 0;

    // The clock the link's deadlines are measured on; a fake link runs its own.
    virtual TClock::time_point Now() const { return TClock::now(); }

    // Set by the first exchange on the link, cleared when it opens: an exchange ends on a
    // quiet line, so the next one need not wait for quiet before its frame.
    bool Used = false;
};

// What one Receive appends at most, so that no peer makes a read grow without bound.
inline constexpr size_t ReceiveChunkBytes = 64 * 1024;

// A closed link of the settings' kind (Kind must not be None).
std::unique_ptr<TLink> MakeLink(const TLinkSettings& settings);

// Ends every wait in every link of the process (a signal); later waits end at once too.
// Call it from an ordinary thread, not a signal handler.
void InterruptAllLinks();
bool LinksInterrupted();

// For the links' own use: a link registers the way to wake its wait once it is built,
// and takes it back before it is destroyed.
class TLinkWaker {
public:
    virtual void Wake() = 0;

protected:
    ~TLinkWaker() = default;
};
void RegisterLinkWaker(TLinkWaker* waker);
void UnregisterLinkWaker(TLinkWaker* waker);
