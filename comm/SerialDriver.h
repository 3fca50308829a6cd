#pragma once
// The platform interface of the serial port component. TThreadComm is written
// once against it; the POSIX backend (PosixSerialDriver) maps it onto termios
// and ioctl, the test fake scripts it. Every call hands back its own error
// number with its result, since results cross threads and there is no shared
// "last error".

#include <cstdint>
#include <memory>
#include <string>

// An open port as the driver knows it; InvalidSerialHandle while closed.
using TSerialHandle = long;
inline constexpr TSerialHandle InvalidSerialHandle = -1;

// Outcome of one driver call. Error is the system error number of the failure
// (0 when Ok). DeviceGone marks a failure because the device itself has
// vanished (adapter unplugged, pseudo-terminal closed): no later call on this
// handle can succeed.
struct TSerialResult {
    bool Ok = true;
    int Error = 0;
    bool DeviceGone = false;

    static TSerialResult Success() { return {}; }
    static TSerialResult Failure(int error) { return {false, error}; }
    static TSerialResult Gone(int error) { return {false, error, true}; }
};

// Line settings of an open port, with the fields the component sets or keeps.
// Parity numbering: 0 none, 1 odd, 2 even, 3 mark, 4 space. StopBits: 0 one,
// 1 one and a half, 2 two. Fields the platform has no notion of are kept by the
// driver per port and reported back as they were last set.
struct TDcb {
    unsigned long BaudRate = 0;
    unsigned char ByteSize = 8;
    unsigned char Parity = 0;
    unsigned char StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    unsigned short XonLim = 0;
    unsigned short XoffLim = 0;
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    unsigned char fDtrControl = 0; // 0 disable, 1 enable, 2 handshake
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = false;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    unsigned char fRtsControl = 0; // 0 disable, 1 enable, 2 handshake, 3 toggle
    bool fAbortOnError = false;

    bool operator==(const TDcb&) const = default;
};

// Time-outs of Read and Write, in milliseconds. A read waits at most
// ReadTotalTimeoutMultiplier * count + ReadTotalTimeoutConstant in all; a write
// likewise with the write pair. A total of 0 means no limit.
struct TCommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;

    bool operator==(const TCommTimeouts&) const = default;
};

// Line status and queue counts, as ClearCommError reports them.
struct TComStat {
    bool fCtsHold = false;
    bool fDsrHold = false;
    bool fRlsdHold = false;
    bool fXoffHold = false;
    bool fXoffSent = false;
    bool fEof = false;
    bool fTxim = false;
    unsigned long cbInQue = 0;
    unsigned long cbOutQue = 0;
};

// Line event bits, as the event mask carries them.
enum : uint32_t {
    EV_RXCHAR = 0x0001,
    EV_RXFLAG = 0x0002,
    EV_TXEMPTY = 0x0004,
    EV_CTS = 0x0008,
    EV_DSR = 0x0010,
    EV_RLSD = 0x0020,
    EV_BREAK = 0x0040,
    EV_ERR = 0x0080,
    EV_RING = 0x0100,
};

// Error flags of ClearCommError.
enum : unsigned long {
    CE_RXOVER = 0x0001,
    CE_OVERRUN = 0x0002,
    CE_RXPARITY = 0x0004,
    CE_FRAME = 0x0008,
    CE_BREAK = 0x0010,
};

// Purge flags.
enum : unsigned long {
    PURGE_TXABORT = 0x0001,
    PURGE_RXABORT = 0x0002,
    PURGE_TXCLEAR = 0x0004,
    PURGE_RXCLEAR = 0x0008,
};

// Escape function numbers.
enum : int {
    SETXOFF = 1,
    SETXON = 2,
    SETRTS = 3,
    CLRRTS = 4,
    SETDTR = 5,
    CLRDTR = 6,
    SETBREAK = 8,
    CLRBREAK = 9,
};

// Modem status bits.
enum : unsigned long {
    MS_CTS_ON = 0x0010,
    MS_DSR_ON = 0x0020,
    MS_RING_ON = 0x0040,
    MS_RLSD_ON = 0x0080,
};

// How one wait for line events ended.
enum class TWaitStatus {
    Completed, // EvtMask holds the events that occurred (never 0)
    Failed,    // a passing failure; the next wait may be started at once
    Cancelled, // Cancel was called
    HangUp,    // the device is gone; every later wait ends the same way at once
};

struct TWaitResult {
    TWaitStatus Status = TWaitStatus::Failed;
    uint32_t EvtMask = 0;
    int Error = 0;
};

// One opening's wait for line events, used by the event thread only.
class TCommEventWaiter {
public:
    virtual ~TCommEventWaiter() = default;
    // Blocks until one of the events of the port's event mask occurs, the wait
    // is cancelled or the device goes away. Runs on the event thread.
    virtual TWaitResult Wait() = 0;
    // Ends the current Wait, and every later one, with Cancelled. Any thread.
    virtual void Cancel() = 0;
};

class TSerialDriver {
public:
    virtual ~TSerialDriver() = default;

    // Opens the device with exclusive access. On failure the handle stays invalid.
    virtual TSerialResult Open(const std::string& deviceName, TSerialHandle& handle) = 0;
    virtual void Close(TSerialHandle handle) = 0;
    virtual bool IsCharDevice(TSerialHandle handle) = 0;

    virtual TSerialResult SetupComm(TSerialHandle handle, unsigned long inQueue, unsigned long outQueue) = 0;
    virtual TSerialResult GetCommState(TSerialHandle handle, TDcb& dcb) = 0;
    virtual TSerialResult SetCommState(TSerialHandle handle, const TDcb& dcb) = 0;
    virtual TSerialResult SetCommTimeouts(TSerialHandle handle, const TCommTimeouts& timeouts) = 0;
    virtual TSerialResult SetCommMask(TSerialHandle handle, uint32_t mask) = 0;
    // The waiter for the port's line events; null if the port cannot be waited on.
    virtual std::unique_ptr<TCommEventWaiter> CreateEventWaiter(TSerialHandle handle) = 0;

    // Transfers within the port's time-outs; done receives the bytes moved, also on failure.
    virtual TSerialResult Read(TSerialHandle handle, char* buffer, unsigned long count,
                               unsigned long& done) = 0;
    virtual TSerialResult Write(TSerialHandle handle, const char* buffer, unsigned long count,
                                unsigned long& done) = 0;
    // Reads what has arrived, up to count, without waiting whatever the time-outs
    // say (done 0 when nothing has). Here: what the queue count shows; a driver
    // that can take more without waiting does.
    virtual TSerialResult ReadArrived(TSerialHandle handle, char* buffer, unsigned long count,
                                      unsigned long& done) {
        done = 0;
        unsigned long errors = 0;
        TComStat stat;
        const TSerialResult r = ClearCommError(handle, errors, stat);
        if (!r.Ok || stat.cbInQue == 0) return r;
        return Read(handle, buffer, count < stat.cbInQue ? count : stat.cbInQue, done);
    }

    // Reports and clears the port's error flags (CE_ bits) and reads its status.
    virtual TSerialResult ClearCommError(TSerialHandle handle, unsigned long& errors, TComStat& stat) = 0;
    virtual TSerialResult Purge(TSerialHandle handle, unsigned long flags) = 0;
    virtual TSerialResult EscapeCommFunction(TSerialHandle handle, int function) = 0;
    // MS_ bits of the modem lines.
    virtual TSerialResult GetCommModemStatus(TSerialHandle handle, unsigned long& status) = 0;
};
