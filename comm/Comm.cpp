#include "comm/Comm.h"

#include "base/Exception.h"
#include "comm/PosixSerialDriver.h"
#include "comm/SystemError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

uint32_t CommEventMask(const TCommEventTypes& events) {
    uint32_t mask = 0;
    for (int i = evBreak; i <= evTxEmpty; ++i)
        if (events.Contains(static_cast<TCommEventType>(i))) mask |= CommEventMaskTable[i];
    return mask;
}

void RaiseCommError(const char* format, long errorNumber) {
    throw Exception(FormatErrorNumber(format, errorNumber));
}

std::string OpenFailureReason(const std::string& device, int error) {
    const std::string name = device.empty() ? std::string("(no device)") : device;
    if (error == 0) return name + ": opened";
    const TSystemError kind = ClassifySystemError(error);
    switch (kind) {
    case seNoSuchDevice:
    case seInUse:
    case sePermission:
    case seNotSerialPort:
        return name + ": " + SystemErrorText(kind);
    default:
        return name + ": cannot be opened: " + std::strerror(error) + " (error " + std::to_string(error) +
               ")";
    }
}

uint32_t WriteTimeoutMultiplier(TBaudRate rate) {
    return std::max<uint32_t>(1, 100000 / BaudRateTable[rate]);
}

// ---------------------------------------------------------------------------

TCommEventChars::TCommEventChars(TThreadComm* Owner) : FOwner(Owner) {}

void TCommEventChars::SetChar(int Index, char Value) {
    switch (Index) {
    case 1:
        FXOnChar = Value;
        break;
    case 2:
        FXOffChar = Value;
        break;
    case 3:
        FErrorChar = Value;
        break;
    case 4:
        FEofChar = Value;
        break;
    case 5:
        FEvtChar = Value;
        break;
    default:
        break;
    }
    if (FOwner) FOwner->UpdateDataControlBlock();
}

void TCommEventChars::Assign(const TObject* Source) {
    const auto* chars = dynamic_cast<const TCommEventChars*>(Source);
    if (!chars) throw Exception("Cannot assign to a TCommEventChars");
    FXOnChar = chars->FXOnChar;
    FXOffChar = chars->FXOffChar;
    FErrorChar = chars->FErrorChar;
    FEofChar = chars->FEofChar;
    FEvtChar = chars->FEvtChar;
}

// ---------------------------------------------------------------------------

TThreadComm::TThreadComm(std::shared_ptr<TSerialDriver> driver, TMainThreadPoster* poster)
    : FDriver(driver ? std::move(driver) : std::make_shared<TPosixSerialDriver>()), FPoster(poster),
      FEventChars(std::make_unique<TCommEventChars>(this)) {}

TThreadComm::~TThreadComm() {
    *FAlive = false;
    Close();
}

void TThreadComm::SetDeviceName(const std::string& Value) {
    if (!FOpen && Value != FDeviceName) FDeviceName = Value;
}

void TThreadComm::SetReadBufSize(unsigned short Value) {
    if (!FOpen && Value != FReadBufSize) FReadBufSize = Value;
}

void TThreadComm::SetWriteBufSize(unsigned short Value) {
    if (!FOpen && Value != FWriteBufSize) FWriteBufSize = Value;
}

void TThreadComm::SetSuspendTime(unsigned long Value) {
    if (!FOpen && Value != FSuspendTime) FSuspendTime = Value;
}

void TThreadComm::SetMonitorEvents(const TCommEventTypes& Value) {
    if (!FOpen && !(Value == FMonitorEvents)) FMonitorEvents = Value;
}

void TThreadComm::SetBaudRate(TBaudRate Value) {
    ChangeLineSetting(FBaudRate, Value);
}

void TThreadComm::SetParity(TParity Value) {
    ChangeLineSetting(FParity, Value);
}

void TThreadComm::SetStopBits(TStopBits Value) {
    ChangeLineSetting(FStopBits, Value);
}

void TThreadComm::SetDataBits(TDataBits Value) {
    ChangeLineSetting(FDataBits, Value);
}

void TThreadComm::SetOptions(const TCommOptions& Value) {
    ChangeLineSetting(FOptions, Value);
}

void TThreadComm::SetFlowControl(TFlowControl Value) {
    ChangeLineSetting(FFlowControl, Value);
}

void TThreadComm::UpdateDataControlBlock() {
    if (!FOpen) return;
    FDriver->SetupComm(FHandle, FReadBufSize, FWriteBufSize);
    FDriver->GetCommState(FHandle, FDCB);

    FDCB.BaudRate = BaudRateTable[FBaudRate];
    FDCB.Parity = ParityTable[FParity];
    FDCB.StopBits = StopBitsTable[FStopBits];
    FDCB.ByteSize = DataBitsTable[FDataBits];

    FDCB.XonChar = FEventChars->XOnChar();
    FDCB.XoffChar = FEventChars->XOffChar();
    FDCB.ErrorChar = FEventChars->ErrorChar();
    FDCB.EofChar = FEventChars->EofChar();
    FDCB.EvtChar = FEventChars->EvtChar();

    FDCB.XonLim = 1024;
    FDCB.XoffLim = 1024;

    FDCB.fParity = FOptions.Contains(coParityCheck);
    FDCB.fDsrSensitivity = FOptions.Contains(coDsrSensitivity);
    FDCB.fTXContinueOnXoff = FOptions.Contains(coIgnoreXOff);
    FDCB.fErrorChar = FOptions.Contains(coErrorChar);
    FDCB.fNull = FOptions.Contains(coNullStrip);

    // The flow-control fields follow FlowControl in full, so that handshakes
    // another program left on the line do not stall our writes behind CTS or
    // XOFF. fcDefault keeps what the driver reported.
    if (FFlowControl != fcDefault) {
        const bool cts = FFlowControl == fcCTS, dtr = FFlowControl == fcDTR;
        FDCB.fOutxCtsFlow = cts;
        if (cts)
            FDCB.fRtsControl = 2;
        else if (FDCB.fRtsControl == 2)
            FDCB.fRtsControl = 1;
        FDCB.fOutxDsrFlow = dtr;
        if (dtr)
            FDCB.fDtrControl = 2;
        else if (FDCB.fDtrControl == 2)
            FDCB.fDtrControl = 1;
        FDCB.fOutX = FDCB.fInX = FFlowControl == fcSoftware;
    }
    const TSerialResult r = FDriver->SetCommState(FHandle, FDCB);
    if (!r.Ok) RaiseCommError(DcbUpdateErrorText, r.Error);
}

void TThreadComm::UpdateDataControlBlockLock() {
    std::lock_guard guard(FLock);
    UpdateDataControlBlock();
}

void TThreadComm::UpdateCommTimeouts() {
    TCommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = WriteTimeoutMultiplier(FBaudRate);
    timeouts.WriteTotalTimeoutConstant = 0;
    const TSerialResult r = FDriver->SetCommTimeouts(FHandle, timeouts);
    if (!r.Ok) RaiseCommError(TimeoutsUpdateErrorText, r.Error);
}

void TThreadComm::CreateHandle() {
    TSerialHandle handle = InvalidSerialHandle;
    const TSerialResult r = FDriver->Open(FDeviceName, handle);
    FHandle = r.Ok ? handle : InvalidSerialHandle;
    if (FHandle == InvalidSerialHandle) {
        FOpen = false;
        FOpenError = r.Ok ? ENOENT : r.Error;
        return;
    }
    FOpen = true;
    if (!FDriver->IsCharDevice(FHandle)) {
        DestroyHandle();
        FOpenError = ENOTTY;
        return;
    }
    FOpenError = 0;
    FDeviceLost = false;
    FDeviceLostError = 0;
    FDriver->SetCommMask(FHandle, 0x1FF);
}

void TThreadComm::DestroyHandle() {
    if (FHandle != InvalidSerialHandle) FDriver->Close(FHandle);
    FOpen = false;
    FHandle = InvalidSerialHandle;
}

void TThreadComm::Open() {
    long pendingNumber = 0;
    const char* pendingFormat = nullptr;
    {
        std::lock_guard guard(FLock);
        if (FOpen) {
            pendingNumber = -1;
            pendingFormat = PortAlreadyOpenText;
        } else {
            CreateHandle();
            if (FOpen) {
                UpdateCommTimeouts();
                UpdateDataControlBlock();
                const TSerialResult r = FDriver->SetupComm(FHandle, FReadBufSize, FWriteBufSize);
                if (!r.Ok) {
                    pendingNumber = r.Error;
                    pendingFormat = BufferInitErrorText;
                }
                FEventThread.reset();
                if (FPoster) {
                    FEventThread = std::make_unique<TCommEventThread>(FDriver, FHandle, FSuspendTime,
                                                                      FMonitorEvents, *FPoster);
                    FEventThread->SetOnSignal(
                        [this](TObject* Sender, uint32_t EvtMask) { HandleCommEvent(Sender, EvtMask); });
                    FEventThread->SetOnLost([this](TObject*, int Error) { HandleDeviceLost(Error); });
                    FEventThread->Start();
                }
            }
        }
    }
    if (pendingNumber != 0) RaiseCommError(pendingFormat, pendingNumber);
}

void TThreadComm::Close() {
    if (!FOpen) return;
    // The thread is stopped before the lock is taken: a handler running on the
    // main thread may itself need the lock, and Stop may wait for it to end.
    if (FEventThread) FEventThread->Stop();
    std::lock_guard guard(FLock);
    ++FCloseCount;
    DestroyHandle();
}

void TThreadComm::CheckOpen() {
    if (FOpen) RaiseCommError(PortAlreadyOpenText, -1);
}

int TThreadComm::Write(const char* Buffer, unsigned long Count) {
    if (!FOpen) return -1;
    unsigned long done = 0;
    TSerialResult r;
    {
        std::lock_guard guard(FLock);
        r = FDriver->Write(FHandle, Buffer, Count, done);
        if (!r.Ok) {
            unsigned long errors = 0;
            TComStat stat;
            FDriver->ClearCommError(FHandle, errors, stat);
        }
    }
    if (r.DeviceGone) HandleDeviceLost(r.Error);
    return static_cast<int>(done);
}

int TThreadComm::Read(char* Buffer, unsigned long Count) {
    return ReadFromDriver(Buffer, Count, &TSerialDriver::Read);
}

int TThreadComm::ReadArrived(char* Buffer, unsigned long Count) {
    return ReadFromDriver(Buffer, Count, &TSerialDriver::ReadArrived);
}

int TThreadComm::ReadFromDriver(char* Buffer, unsigned long Count, TDriverRead Transfer) {
    if (!FOpen) return -1;
    unsigned long done = 0;
    TSerialResult r;
    {
        std::lock_guard guard(FLock);
        unsigned long errors = 0;
        TComStat stat;
        FDriver->ClearCommError(FHandle, errors, stat);
        if (Count == 0) {
            FDriver->ClearCommError(FHandle, errors, stat);
            return 0;
        }
        r = (FDriver.get()->*Transfer)(FHandle, Buffer, Count, done);
        if (!r.Ok) FDriver->ClearCommError(FHandle, errors, stat);
    }
    if (r.DeviceGone) HandleDeviceLost(r.Error);
    return static_cast<int>(done);
}

int TThreadComm::InQueCount() {
    if (!FOpen) return -1;
    unsigned long errors = 0;
    TComStat stat;
    FDriver->ClearCommError(FHandle, errors, stat);
    return static_cast<int>(stat.cbInQue);
}

int TThreadComm::OutQueCount() {
    if (!FOpen) return -1;
    unsigned long errors = 0;
    TComStat stat;
    FDriver->ClearCommError(FHandle, errors, stat);
    return static_cast<int>(stat.cbOutQue);
}

void TThreadComm::PurgeIn() {
    if (FOpen) FDriver->Purge(FHandle, PURGE_RXABORT | PURGE_RXCLEAR);
}

void TThreadComm::PurgeOut() {
    if (FOpen) FDriver->Purge(FHandle, PURGE_TXABORT | PURGE_TXCLEAR);
}

void TThreadComm::EscapeComm(int Function) {
    if (!FOpen) RaiseCommError(PortNotOpenText, -1);
    TSerialResult r;
    {
        std::lock_guard guard(FLock);
        r = FDriver->EscapeCommFunction(FHandle, Function);
    }
    if (!r.Ok) RaiseCommError(EscapeFailureText, r.Error);
}

void TThreadComm::SetDTRState(bool State) {
    EscapeComm(State ? SETDTR : CLRDTR);
}

void TThreadComm::SetRTSState(bool State) {
    EscapeComm(State ? SETRTS : CLRRTS);
}

void TThreadComm::SetBREAKState(bool State) {
    EscapeComm(State ? SETBREAK : CLRBREAK);
    if (FOpen) {
        std::lock_guard guard(FLock);
        FDriver->Purge(FHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
}

void TThreadComm::SetXONState(bool State) {
    EscapeComm(State ? SETXON : SETXOFF);
}

bool TThreadComm::GetModemState(int Which) {
    static constexpr unsigned long bits[] = {0, MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
    if (!FOpen || Which < 1 || Which > 4) return false;
    unsigned long status = 0;
    if (!FDriver->GetCommModemStatus(FHandle, status).Ok) return false;
    return (status & bits[Which]) != 0;
}

bool TThreadComm::GetComState(int Which) {
    if (!FOpen) return false;
    unsigned long errors = 0;
    TComStat stat;
    FDriver->ClearCommError(FHandle, errors, stat);
    switch (Which) {
    case 2:
        return stat.fDsrHold;
    case 3:
        return stat.fRlsdHold;
    case 4:
        return stat.fXoffHold;
    case 5:
        return stat.fXoffSent;
    default:
        return stat.fCtsHold;
    }
}

void TThreadComm::HandleCommEvent(TObject* /*Sender*/, uint32_t EvtMask) {
    unsigned long errors = 0;
    TComStat stat;
    FDriver->ClearCommError(FHandle, errors, stat);

    // A handler may close the port, or destroy the component; the rest of this
    // dispatch is then dropped, so that nothing is raised after Close has
    // returned and nothing of a freed component is touched. Each event is
    // called through a copy: a handler that clears or replaces its own event
    // would otherwise free the closure it is running in.
    const std::shared_ptr<std::atomic<bool>> alive = FAlive;
    const unsigned long closeCount = FCloseCount;
    const auto live = [&] { return *alive && closeCount == FCloseCount; };
    const auto call = [&](bool wanted, const auto& event, auto... args) {
        if (!wanted || !live() || !event) return;
        const auto handler = event;
        handler(this, args...);
    };

    call(EvtMask & EV_BREAK, OnBreak);
    call(EvtMask & EV_CTS, OnCts);
    call(EvtMask & EV_DSR, OnDsr);
    call(EvtMask & EV_ERR, OnError, static_cast<int>(errors));
    call(EvtMask & EV_RING, OnRing);
    call(EvtMask & EV_RLSD, OnRlsd);
    call((EvtMask & EV_RXCHAR) && stat.cbInQue > 0, OnRxChar, stat.cbInQue);
    call(EvtMask & EV_RXFLAG, OnRxFlag);
    call(EvtMask & EV_TXEMPTY, OnTxEmpty);
    call(true, OnComStatEvent, static_cast<unsigned long>(EvtMask), stat);
}

void TThreadComm::HandleDeviceLost(int Error) {
    if (!FOpen) return;
    FDeviceLost = true;
    FDeviceLostError = Error;
    // Closed first, so the handler finds a port it may open again, and the
    // device's name is free for the kernel to give back when it returns.
    Close();
    const TNotifyEvent handler = OnDeviceLost;
    if (handler) handler(this);
}

// ---------------------------------------------------------------------------

namespace {
std::vector<TComponentRegistration>& Registry() {
    static std::vector<TComponentRegistration> registry;
    return registry;
}
} // namespace

void Register() {
    Registry().push_back({"Samples", "TComm"});
}

const std::vector<TComponentRegistration>& RegisteredComponents() {
    return Registry();
}
