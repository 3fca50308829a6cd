#pragma once
// The serial driver on POSIX terminals (termios and ioctl), for Linux.
//
// Open resolves the device name through the port list, opens the device
// non-blocking with exclusive access (an advisory flock, then TIOCEXCL) and
// puts it in raw mode without any flow control; only a terminal counts as a
// serial port. Read and Write mark EIO, ENXIO and ENODEV as the device gone. Read and Write wait in poll()
// within the port's time-outs. The line-event wait sleeps in the kernel until new input, a hang-up or a
// cancellation; see TPosixEventWaiter in the source.
//
// What the line events can and cannot tell on a terminal:
// - EV_RXCHAR is raised once per arrival of new bytes, not for bytes that
//   stay queued.
// - Modem-line changes (EV_CTS, EV_DSR, EV_RLSD, EV_RING) and the error and
//   break counters (EV_ERR, EV_BREAK) are read on each wake, so a change is
//   noticed only when something else wakes the wait (input, a write, a
//   hang-up); a line that changes on an idle port raises nothing until then.
// - EV_TXEMPTY is found by looking at the output queue every 10 ms while
//   written bytes drain, since no wake marks an empty queue.
// - EV_RXFLAG is never raised: the terminal layer does not mark the event
//   character.
//
// Modem-line requests that the device does not support (a pseudo-terminal
// answers ENOTTY) count as success. Error numbers are errno values.

#include "comm/SerialDriver.h"
#include "comm/SerialPorts.h"

#include <functional>
#include <map>
#include <mutex>
#include <vector>

class TPosixSerialDriver : public TSerialDriver {
public:
    using TPortLister = std::function<std::vector<std::string>()>;

    // ports gives the list that "Com<N>" names index; the system's serial
    // ports by default.
    explicit TPosixSerialDriver(TPortLister ports = ListSerialPorts);
    ~TPosixSerialDriver() override;

    TSerialResult Open(const std::string& deviceName, TSerialHandle& handle) override;
    void Close(TSerialHandle handle) override;
    bool IsCharDevice(TSerialHandle handle) override;
    TSerialResult SetupComm(TSerialHandle handle, unsigned long inQueue, unsigned long outQueue) override;
    TSerialResult GetCommState(TSerialHandle handle, TDcb& dcb) override;
    TSerialResult SetCommState(TSerialHandle handle, const TDcb& dcb) override;
    TSerialResult SetCommTimeouts(TSerialHandle handle, const TCommTimeouts& timeouts) override;
    TSerialResult SetCommMask(TSerialHandle handle, uint32_t mask) override;
    std::unique_ptr<TCommEventWaiter> CreateEventWaiter(TSerialHandle handle) override;
    TSerialResult Read(TSerialHandle handle, char* buffer, unsigned long count, unsigned long& done) override;
    // A read that finds the queue empty also takes what the terminal layer holds
    // behind it, so this takes a stream in landing areas, not 4 KB at a time.
    TSerialResult ReadArrived(TSerialHandle handle, char* buffer, unsigned long count,
                              unsigned long& done) override;
    TSerialResult Write(TSerialHandle handle, const char* buffer, unsigned long count,
                        unsigned long& done) override;
    TSerialResult ClearCommError(TSerialHandle handle, unsigned long& errors, TComStat& stat) override;
    TSerialResult Purge(TSerialHandle handle, unsigned long flags) override;
    TSerialResult EscapeCommFunction(TSerialHandle handle, int function) override;
    TSerialResult GetCommModemStatus(TSerialHandle handle, unsigned long& status) override;

    struct TPort;

private:
    std::shared_ptr<TPort> Find(TSerialHandle handle);
    // Read within the port's time-outs, or without waiting at all.
    TSerialResult ReadWithin(TSerialHandle handle, char* buffer, unsigned long count, unsigned long& done,
                             bool mayWait);

    TPortLister FPortLister;
    std::mutex FMutex;
    std::map<TSerialHandle, std::shared_ptr<TPort>> FPorts;
};
