#pragma once
// The serial port component: TThreadComm drives one port through a
// TSerialDriver; TComm is the component the program places on its window.
// Every method is called on the main thread. While the port is open, one event
// thread waits for line events and hands each to the main thread, where
// HandleCommEvent raises the On... events. Failures of wrong states and of
// refused settings raise Exception with one of the comm error messages below;
// I/O reports through its results.

#include "base/Object.h"
#include "comm/MainThreadPoster.h"
#include "comm/SerialDriver.h"

#include <atomic>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum TBaudRate {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TParity { paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits { sb10, sb15, sb20 };
enum TDataBits { da4, da5, da6, da7, da8 };
enum TCommOption { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coNullStrip };
enum TFlowControl { fcNone, fcCTS, fcDTR, fcSoftware, fcDefault };
enum TCommEventType { evBreak, evCts, evDsr, evError, evRing, evRlsd, evRxChar, evRxFlag, evTxEmpty };

// What the control block receives for each member, indexed by ordinal.
inline constexpr unsigned long BaudRateTable[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                                  19200, 38400, 56000, 57600, 115200, 128000, 256000};
// paOdd sends the value for even parity and paEven the one for odd; the
// window's parity list is built to match.
inline constexpr unsigned char ParityTable[] = {0, 2, 1, 3, 4};
inline constexpr unsigned char StopBitsTable[] = {0, 1, 2};
inline constexpr unsigned char DataBitsTable[] = {4, 5, 6, 7, 8};
inline constexpr uint32_t CommEventMaskTable[] = {EV_BREAK, EV_CTS,    EV_DSR,    EV_ERR,    EV_RING,
                                                  EV_RLSD,  EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY};

// A set of enumeration members, as the component's set-valued properties use.
template <typename TEnum, std::size_t Count> class TEnumSet {
public:
    TEnumSet() = default;
    TEnumSet(std::initializer_list<TEnum> members) {
        for (TEnum m : members)
            Include(m);
    }
    static TEnumSet All() {
        TEnumSet s;
        s.FBits.set();
        return s;
    }
    bool Contains(TEnum m) const { return FBits.test(static_cast<std::size_t>(m)); }
    TEnumSet& Include(TEnum m) {
        FBits.set(static_cast<std::size_t>(m));
        return *this;
    }
    TEnumSet& Exclude(TEnum m) {
        FBits.reset(static_cast<std::size_t>(m));
        return *this;
    }
    bool Empty() const { return FBits.none(); }
    bool operator==(const TEnumSet&) const = default;

private:
    std::bitset<Count> FBits;
};

using TCommOptions = TEnumSet<TCommOption, 5>;
using TCommEventTypes = TEnumSet<TCommEventType, 9>;

// The event-mask bits of a set of events.
uint32_t CommEventMask(const TCommEventTypes& events);

// The comm error messages; "%d" receives the error number.
inline constexpr const char* PortAlreadyOpenText = "Port already assigned (open) (Error: %d)";
inline constexpr const char* BufferInitErrorText = "Error initializing Read/Write Buffers (Error: %d)";
inline constexpr const char* DcbUpdateErrorText = "Error updating DataControlBlock (Error: %d)";
inline constexpr const char* TimeoutsUpdateErrorText = "Error updating CommTimeouts (Error: %d)";
inline constexpr const char* EscapeFailureText = "EscapeCommFunction failure (Error: %d)";
inline constexpr const char* PortNotOpenText = "Port not open (Error: %d)";

// Raises Exception with the format and the error number in place of "%d".
[[noreturn]] void RaiseCommError(const char* format, long errorNumber);

// What the user is told when a device could not be opened: the device, then
// the reason for the error number (ENOENT "no such device", EBUSY "in use by
// another program", EACCES/EPERM "permission denied" with what to do, ...),
// e.g. "/dev/ttyUSB0: in use by another program".
std::string OpenFailureReason(const std::string& device, int error);

// Write time-out in milliseconds per byte for a rate: ten times the time of a
// ten-bit character, at least 1 ms.
uint32_t WriteTimeoutMultiplier(TBaudRate rate);

class TThreadComm;

// The five special characters of the control block. Writing one re-applies the
// owner's block at once when the owner's port is open (without the owner's
// lock); a refusal raises the DataControlBlock error in the writer.
class TCommEventChars : public TObject {
public:
    explicit TCommEventChars(TThreadComm* Owner);

    char XOnChar() const { return FXOnChar; }
    char XOffChar() const { return FXOffChar; }
    char ErrorChar() const { return FErrorChar; }
    char EofChar() const { return FEofChar; }
    char EvtChar() const { return FEvtChar; }
    void SetXOnChar(char Value) { SetChar(1, Value); }
    void SetXOffChar(char Value) { SetChar(2, Value); }
    void SetErrorChar(char Value) { SetChar(3, Value); }
    void SetEofChar(char Value) { SetChar(4, Value); }
    void SetEvtChar(char Value) { SetChar(5, Value); }

    // Index 1 XOnChar .. 5 EvtChar; another index stores nothing. Either way the
    // owner's block is then re-applied.
    void SetChar(int Index, char Value);
    // Copies the five characters of another TCommEventChars without re-applying
    // the block; any other source raises Exception "Cannot assign to a TCommEventChars".
    void Assign(const TObject* Source);

private:
    TThreadComm* FOwner;
    char FXOnChar = 0x11;
    char FXOffChar = 0x13;
    char FErrorChar = 0;
    char FEofChar = 0;
    char FEvtChar = 0;
};

// The event thread of one opening. It waits for the line events of its mask
// and hands each completed wait to the main thread through the poster, then
// blocks until the main thread has run it (or the thread is stopped). When the
// device goes away it hands over one loss report instead and ends. Stop
// cancels the wait and any pending hand-over and joins; a hand-over still
// queued on the main thread finds itself cancelled and does nothing.
class TCommEventThread : public TObject {
public:
    using TSignalEvent = std::function<void(TObject* Sender, uint32_t EvtMask)>;
    using TLostEvent = std::function<void(TObject* Sender, int Error)>;

    // Sets the port's event mask to the bits of MonitorEvents; the thread
    // starts with Start. The poster must outlive this object.
    TCommEventThread(std::shared_ptr<TSerialDriver> Driver, TSerialHandle CommHandle, uint32_t SuspendTime,
                     const TCommEventTypes& MonitorEvents, TMainThreadPoster& Poster);
    ~TCommEventThread() override;

    void SetOnSignal(TSignalEvent Handler);
    // Called once on the main thread when the wait found the device gone;
    // Error is the driver's error number.
    void SetOnLost(TLostEvent Handler);
    void Start();
    // Clears the handlers, cancels the wait and the pending hand-over, joins,
    // and releases the waiter with what it holds of the port. Callable on the
    // main thread, also from inside the handler; no handler call starts after
    // it returns, and one running on another thread has finished.
    void Stop();

    uint32_t EvtMask() const { return FEvtMask.load(); }
    uint32_t SuspendTime() const { return FSuspendTime; }
    // True once the thread has left its loop (stopped, or the device is gone).
    bool Finished() const;
    // Waits at most timeout for the thread to leave its loop; true if it has.
    bool WaitFinished(std::chrono::milliseconds timeout) const;
    std::thread::native_handle_type NativeHandle() { return FThread.native_handle(); }

private:
    struct THandOver;
    void Execute();

    std::shared_ptr<TSerialDriver> FDriver;
    TSerialHandle FCommHandle;
    std::atomic<uint32_t> FEvtMask{0};
    uint32_t FSuspendTime;
    TMainThreadPoster& FPoster;
    std::unique_ptr<TCommEventWaiter> FWaiter;
    std::shared_ptr<THandOver> FHandOver;
    std::thread FThread;
};

class TThreadComm : public TObject {
public:
    using TNotifyEvent = std::function<void(TObject* Sender)>;
    using TCommErrorEvent = std::function<void(TObject* Sender, int Errors)>;
    using TCommRxCharEvent = std::function<void(TObject* Sender, unsigned long Count)>;
    using TCommStatusEvent = std::function<void(TObject* Sender, unsigned long Status, TComStat ComStat)>;

    // A null driver means the POSIX driver over the system's serial ports.
    // The poster hands line events to the main thread and must outlive the
    // component; it may be null only where the port is never opened for
    // events: with a null poster Open starts no event thread.
    explicit TThreadComm(std::shared_ptr<TSerialDriver> driver = nullptr,
                         TMainThreadPoster* poster = nullptr);
    ~TThreadComm() override;
    TThreadComm(const TThreadComm&) = delete;
    TThreadComm& operator=(const TThreadComm&) = delete;

    // Settings. Setters of DeviceName, MonitorEvents, the buffer sizes and
    // SuspendTime store only while the port is closed; the line setters
    // re-apply the block under the lock when the value changes.
    const std::string& DeviceName() const { return FDeviceName; }
    void SetDeviceName(const std::string& Value);
    int ReadTimeout() const { return FReadTimeout; }
    void SetReadTimeout(int Value) { FReadTimeout = Value; }
    int WriteTimeout() const { return FWriteTimeout; }
    void SetWriteTimeout(int Value) { FWriteTimeout = Value; }
    unsigned short ReadBufSize() const { return FReadBufSize; }
    void SetReadBufSize(unsigned short Value);
    unsigned short WriteBufSize() const { return FWriteBufSize; }
    void SetWriteBufSize(unsigned short Value);
    unsigned long SuspendTime() const { return FSuspendTime; }
    void SetSuspendTime(unsigned long Value);
    const TCommEventTypes& MonitorEvents() const { return FMonitorEvents; }
    void SetMonitorEvents(const TCommEventTypes& Value);
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate Value);
    TParity Parity() const { return FParity; }
    void SetParity(TParity Value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits Value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits Value);
    TCommEventChars& EventChars() { return *FEventChars; }
    const TCommOptions& Options() const { return FOptions; }
    void SetOptions(const TCommOptions& Value);
    TFlowControl FlowControl() const { return FFlowControl; }
    void SetFlowControl(TFlowControl Value);

    // Applies the settings to the open port; nothing while closed. Raises the
    // DataControlBlock error when the driver refuses the block.
    void UpdateDataControlBlock();
    void UpdateDataControlBlockLock();
    // Applies the time-out record; raises the CommTimeouts error on refusal.
    void UpdateCommTimeouts();

    // Opens DeviceName and starts the event thread. A device that cannot be
    // opened leaves the port closed without raising; OpenError then tells why.
    // Raises on an open port and when a setting is refused (the port then
    // stays open). The block applied sets the flow control that FlowControl
    // asks for, so flow control another program left on the line does not
    // survive (fcDefault alone keeps what the driver reports).
    void Open();
    // The driver's error number of the last Open that left the port closed
    // (ENOENT also for a "Com<N>" that names no port, ENOTTY for a device that
    // is no serial port); 0 after an Open that opened it.
    int OpenError() const { return FOpenError; }
    // Stops the event thread and closes the port; nothing when closed. No
    // event reaches the component after it returns. Safe inside an event handler.
    void Close();
    bool Enabled() const { return FOpen; }
    // True from the loss of the device (see OnDeviceLost) until Open opens a
    // port again. DeviceLostError is the driver's error number of the loss.
    bool DeviceLost() const { return FDeviceLost; }
    int DeviceLostError() const { return FDeviceLostError; }
    // Raises "Port already assigned (open)" when the port is open.
    void CheckOpen();
    virtual void CreateHandle();
    void DestroyHandle();

    // Return -1 on a closed port, otherwise the bytes moved (a partial count
    // when the driver moved only part); never raise. When the driver finds
    // the device gone, the loss is handled as HandleDeviceLost says before
    // they return.
    int Write(const char* Buffer, unsigned long Count);
    int Read(char* Buffer, unsigned long Count);
    // Like Read, but takes only what has arrived and never waits for more.
    int ReadArrived(char* Buffer, unsigned long Count);
    int InQueCount();
    int OutQueCount();
    void PurgeIn();
    void PurgeOut();

    // Raise "Port not open" on a closed port and "EscapeCommFunction failure"
    // when the driver refuses.
    void EscapeComm(int Function);
    void SetDTRState(bool State);
    void SetRTSState(bool State);
    void SetBREAKState(bool State);
    void SetXONState(bool State);

    // Which 1 CTS, 2 DSR, 3 ring, 4 RLSD; false on a closed port or another Which.
    bool GetModemState(int Which);
    // Which 1 fCtsHold, 2 fDsrHold, 3 fRlsdHold, 4 fXoffHold, 5 fXoffSent,
    // anything else fCtsHold; false on a closed port.
    bool GetComState(int Which);

    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }

    // Main thread: reads the status once, then raises the events of EvtMask in
    // their fixed order. Each handler is called through a copy, so a handler
    // may clear or replace its own event. Stops early if a handler closes the
    // port, and touches nothing of the component once a handler has
    // destroyed it (destroying the component inside its handler is allowed).
    void HandleCommEvent(TObject* Sender, uint32_t EvtMask);
    // Main thread, when the device of the open port is gone (the event thread's
    // wait or a Read or Write found it so): closes the port, sets DeviceLost,
    // then raises OnDeviceLost once. Nothing on a closed port, so one loss is
    // reported once however many ways it is found.
    void HandleDeviceLost(int Error);

    // The event thread of the current or last opening, or null.
    TCommEventThread* EventThread() { return FEventThread.get(); }
    TSerialHandle Handle() const { return FHandle; }

    TNotifyEvent OnBreak;
    TNotifyEvent OnCts;
    TNotifyEvent OnDsr;
    TNotifyEvent OnRing;
    TNotifyEvent OnRlsd;
    TCommErrorEvent OnError;
    TCommRxCharEvent OnRxChar;
    TNotifyEvent OnRxFlag;
    TNotifyEvent OnTxEmpty;
    TCommStatusEvent OnComStatEvent;
    // The device of the open port has vanished (adapter unplugged,
    // pseudo-terminal closed). Raised once per loss on the main thread, after
    // the port is closed: Enabled is false, DeviceName still names the device
    // and a later Open may open it again when it is back.
    TNotifyEvent OnDeviceLost;

protected:
    std::shared_ptr<TSerialDriver> FDriver;
    TMainThreadPoster* FPoster;
    TSerialHandle FHandle = InvalidSerialHandle;
    bool FOpen = false;
    TDcb FDCB;
    std::unique_ptr<TCommEventThread> FEventThread;
    std::recursive_mutex FLock;

private:
    using TDriverRead = TSerialResult (TSerialDriver::*)(TSerialHandle, char*, unsigned long, unsigned long&);
    int ReadFromDriver(char* Buffer, unsigned long Count, TDriverRead Transfer);

    // Stores a changed line setting and re-applies the block under the lock;
    // an equal value does nothing.
    template <typename T> void ChangeLineSetting(T& field, const T& value) {
        if (value == field) return;
        field = value;
        UpdateDataControlBlockLock();
    }

    std::string FDeviceName = "Com2";
    int FReadTimeout = 1000;
    int FWriteTimeout = 1000;
    unsigned short FReadBufSize = 4096;
    unsigned short FWriteBufSize = 2048;
    unsigned long FSuspendTime = 5;
    TCommEventTypes FMonitorEvents = TCommEventTypes::All();
    TBaudRate FBaudRate = br9600;
    TParity FParity = paNone;
    TStopBits FStopBits = sb10;
    TDataBits FDataBits = da8;
    std::unique_ptr<TCommEventChars> FEventChars;
    TCommOptions FOptions;
    TFlowControl FFlowControl = fcDefault;
    // Counts the Closes, so that a dispatch notices a Close made by one of its handlers.
    unsigned long FCloseCount = 0;
    // False once the destructor has run; a dispatch holds a copy to notice
    // that one of its handlers destroyed the component.
    std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
    int FOpenError = 0;
    bool FDeviceLost = false;
    int FDeviceLostError = 0;
};

// The component the window uses; it publishes what TThreadComm holds.
class TComm : public TThreadComm {
public:
    explicit TComm(std::shared_ptr<TSerialDriver> driver = nullptr, TMainThreadPoster* poster = nullptr)
        : TThreadComm(std::move(driver), poster) {}
};

// A component class made known to the form designer.
struct TComponentRegistration {
    std::string Page;
    std::string ClassName;
};

// Records TComm on the page "Samples".
void Register();
const std::vector<TComponentRegistration>& RegisteredComponents();
