#include "comm/PosixSerialDriver.h"

#include "comm/PosixBaudRate.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

TSerialResult SystemFailure() {
    return TSerialResult::Failure(errno);
}

// A transfer failure: the errors a vanished device gives (a hung-up terminal
// answers EIO, an unplugged USB adapter ENODEV or ENXIO) mark it gone.
TSerialResult TransferFailure(int error) {
    const bool gone = error == EIO || error == ENXIO || error == ENODEV;
    return gone ? TSerialResult::Gone(error) : TSerialResult::Failure(error);
}

// Line-event counters as TIOCGICOUNT keeps them.
struct TCounters {
    int Cts = 0, Dsr = 0, Rng = 0, Dcd = 0, Frame = 0, Overrun = 0, Parity = 0, Brk = 0, BufOverrun = 0;
};

bool ReadCounters(int fd, TCounters& c) {
    serial_icounter_struct ic{};
    if (ioctl(fd, TIOCGICOUNT, &ic) != 0) return false;
    c = {ic.cts, ic.dsr, ic.rng, ic.dcd, ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    return true;
}

unsigned long ErrorFlags(const TCounters& was, const TCounters& now) {
    unsigned long flags = 0;
    if (now.BufOverrun != was.BufOverrun) flags |= CE_RXOVER;
    if (now.Overrun != was.Overrun) flags |= CE_OVERRUN;
    if (now.Parity != was.Parity) flags |= CE_RXPARITY;
    if (now.Frame != was.Frame) flags |= CE_FRAME;
    if (now.Brk != was.Brk) flags |= CE_BREAK;
    return flags;
}

struct TSpeed {
    unsigned long Rate;
    speed_t Code;
};
constexpr TSpeed StandardSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},        {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},        {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},      {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},  {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

bool StandardSpeed(unsigned long rate, speed_t& code) {
    for (const TSpeed& s : StandardSpeeds)
        if (s.Rate == rate) {
            code = s.Code;
            return true;
        }
    return false;
}

// Milliseconds left until deadline, or -1 for no deadline.
int RemainingMs(const std::chrono::steady_clock::time_point* deadline) {
    if (!deadline) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

// One open port. Mutex pairs every read() with the count of input bytes that
// the event waiter already knows of, so that "new bytes" means exactly bytes
// that arrived since the last look.
struct TPosixSerialDriver::TPort {
    int Fd = -1;
    int WakeFd = -1; // eventfd: cancels or re-evaluates the event wait
    std::mutex Mutex;
    uint32_t EventMask = 0;
    TCommTimeouts Timeouts;
    TDcb Kept;                    // the last block set, for fields termios has no notion of
    unsigned long KnownInQue = 0; // input bytes the waiter has seen or that were consumed
    bool TxPending = false;       // written since the last EV_TXEMPTY
    bool HaveCounters = false;
    TCounters ErrorBase; // counters at the last ClearCommError
    unsigned long PendingErrors = 0;

    ~TPort() {
        if (WakeFd >= 0) close(WakeFd);
    }
    void Wake() const {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(WakeFd, &one, sizeof one);
    }
    TCommTimeouts CurrentTimeouts() {
        std::lock_guard guard(Mutex);
        return Timeouts;
    }
};

namespace {

// The line-event wait of one opening.
//
// The port is watched by an edge-triggered epoll: the terminal layer wakes its
// readers each time input arrives, so an edge means "something changed",
// while bytes that stay queued wake nothing. Each wake compares the queued
// count with what is already known, so EV_RXCHAR is reported once per arrival
// and never for bytes still waiting to be read. The eventfd cancels the wait
// and re-evaluates it after a write (for EV_TXEMPTY). A hang-up (HUP or ERR,
// or the queue query failing) ends this and every later wait with HangUp, so
// a vanished device leaves nothing spinning.
class TPosixEventWaiter : public TCommEventWaiter {
public:
    explicit TPosixEventWaiter(std::shared_ptr<TPosixSerialDriver::TPort> port) : P(std::move(port)) {
        Ep = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.fd = P->Fd;
        if (Ep < 0 || epoll_ctl(Ep, EPOLL_CTL_ADD, P->Fd, &ev) != 0) HungUp = true;
        ev.events = EPOLLIN;
        ev.data.fd = P->WakeFd;
        if (Ep >= 0 && epoll_ctl(Ep, EPOLL_CTL_ADD, P->WakeFd, &ev) != 0) HungUp = true;
        HaveLines = ioctl(P->Fd, TIOCMGET, &Lines) == 0;
        HaveCounters = ReadCounters(P->Fd, Counters);
    }
    ~TPosixEventWaiter() override {
        if (Ep >= 0) close(Ep);
    }

    void Cancel() override {
        Cancelled = true;
        P->Wake();
    }

    TWaitResult Wait() override {
        for (;;) {
            if (Cancelled) return {TWaitStatus::Cancelled, 0, 0};
            if (HungUp) return {TWaitStatus::HangUp, 0, EIO};

            epoll_event events[2];
            const int n = epoll_wait(Ep, events, 2, DrainWatch() ? 10 : -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                HungUp = true;
                return {TWaitStatus::HangUp, 0, errno};
            }
            bool portHangUp = false;
            for (int i = 0; i < n; ++i) {
                if (events[i].data.fd == P->WakeFd) {
                    uint64_t count = 0;
                    [[maybe_unused]] ssize_t r = read(P->WakeFd, &count, sizeof count);
                } else if (events[i].events & (EPOLLHUP | EPOLLERR)) {
                    portHangUp = true;
                }
            }
            if (Cancelled) return {TWaitStatus::Cancelled, 0, 0};
            if (portHangUp) HungUp = true;
            const uint32_t mask = Collect();
            if (mask) return {TWaitStatus::Completed, mask, 0};
        }
    }

private:
    // True while written bytes are still draining and EV_TXEMPTY is wanted:
    // the wait then looks again every 10 ms, since no wake marks an empty queue.
    bool DrainWatch() {
        std::lock_guard guard(P->Mutex);
        return P->TxPending && (P->EventMask & EV_TXEMPTY);
    }

    // The monitored events that occurred since the last look.
    uint32_t Collect() {
        std::lock_guard guard(P->Mutex);
        uint32_t found = 0;
        int queued = 0;
        if (ioctl(P->Fd, FIONREAD, &queued) != 0) {
            HungUp = true;
        } else {
            if (static_cast<unsigned long>(queued) > P->KnownInQue) found |= EV_RXCHAR;
            P->KnownInQue = static_cast<unsigned long>(queued);
        }
        if (HungUp) return 0;

        TCounters now;
        if (HaveCounters && ReadCounters(P->Fd, now)) {
            if (now.Brk != Counters.Brk) found |= EV_BREAK;
            if (ErrorFlags(Counters, now) & ~CE_BREAK) found |= EV_ERR;
            if (now.Cts != Counters.Cts) found |= EV_CTS;
            if (now.Dsr != Counters.Dsr) found |= EV_DSR;
            if (now.Dcd != Counters.Dcd) found |= EV_RLSD;
            if (now.Rng != Counters.Rng) found |= EV_RING;
            Counters = now;
        }
        int lines = 0;
        if (HaveLines && ioctl(P->Fd, TIOCMGET, &lines) == 0) {
            const int changed = lines ^ Lines;
            if (changed & TIOCM_CTS) found |= EV_CTS;
            if (changed & TIOCM_DSR) found |= EV_DSR;
            if (changed & TIOCM_CD) found |= EV_RLSD;
            if (changed & lines & TIOCM_RI) found |= EV_RING;
            Lines = lines;
        }
        if (P->TxPending) {
            int outq = 0;
            if (ioctl(P->Fd, TIOCOUTQ, &outq) != 0 || outq == 0) {
                P->TxPending = false;
                found |= EV_TXEMPTY;
            }
        }
        return found & P->EventMask;
    }

    std::shared_ptr<TPosixSerialDriver::TPort> P;
    int Ep = -1;
    std::atomic<bool> Cancelled{false};
    bool HungUp = false;
    bool HaveLines = false;
    int Lines = 0;
    bool HaveCounters = false;
    TCounters Counters;
};

} // namespace

TPosixSerialDriver::TPosixSerialDriver(TPortLister ports) : FPortLister(std::move(ports)) {}

TPosixSerialDriver::~TPosixSerialDriver() {
    std::lock_guard guard(FMutex);
    for (auto& [fd, port] : FPorts)
        close(static_cast<int>(fd));
}

std::shared_ptr<TPosixSerialDriver::TPort> TPosixSerialDriver::Find(TSerialHandle handle) {
    std::lock_guard guard(FMutex);
    const auto it = FPorts.find(handle);
    return it == FPorts.end() ? nullptr : it->second;
}

TSerialResult TPosixSerialDriver::Open(const std::string& deviceName, TSerialHandle& handle) {
    handle = InvalidSerialHandle;
    const std::string path = ResolveDeviceName(deviceName, FPortLister ? FPortLister() : ListSerialPorts());
    if (path.empty()) return TSerialResult::Failure(ENOENT);

    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return SystemFailure();
    // The lock keeps out other programs even for root, whom TIOCEXCL does not stop.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return TSerialResult::Failure(error);
    }
    auto port = std::make_shared<TPort>();
    port->Fd = fd;
    port->WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (port->WakeFd < 0) {
        const TSerialResult failure = SystemFailure();
        close(fd);
        return failure;
    }
    termios t{};
    if (isatty(fd) && tcgetattr(fd, &t) == 0) {
        ioctl(fd, TIOCEXCL);
        cfmakeraw(&t);
        // cfmakeraw leaves input and hardware flow control alone; another
        // program's handshake must not survive into ours.
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
        t.c_cflag &= ~CRTSCTS;
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
        port->HaveCounters = ReadCounters(fd, port->ErrorBase);
    }
    std::lock_guard guard(FMutex);
    FPorts[fd] = std::move(port);
    handle = fd;
    return TSerialResult::Success();
}

void TPosixSerialDriver::Close(TSerialHandle handle) {
    std::shared_ptr<TPort> port;
    {
        std::lock_guard guard(FMutex);
        const auto it = FPorts.find(handle);
        if (it == FPorts.end()) return;
        port = it->second;
        FPorts.erase(it);
    }
    ioctl(port->Fd, TIOCNXCL);
    close(port->Fd);
}

bool TPosixSerialDriver::IsCharDevice(TSerialHandle handle) {
    const auto port = Find(handle);
    struct stat st {};
    // A character device that is no terminal (/dev/null) has no line to set.
    return port && fstat(port->Fd, &st) == 0 && S_ISCHR(st.st_mode) && isatty(port->Fd);
}

TSerialResult TPosixSerialDriver::SetupComm(TSerialHandle handle, unsigned long, unsigned long) {
    // The kernel sizes its own queues; only the handle is checked.
    return Find(handle) ? TSerialResult::Success() : TSerialResult::Failure(EBADF);
}

TSerialResult TPosixSerialDriver::GetCommState(TSerialHandle handle, TDcb& dcb) {
    const auto port = Find(handle);
    if (!port) return TSerialResult::Failure(EBADF);
    termios t{};
    if (tcgetattr(port->Fd, &t) != 0) return SystemFailure();
    {
        std::lock_guard guard(port->Mutex);
        dcb = port->Kept;
    }
    unsigned long rate = 0;
    if (GetExactBaudRate(port->Fd, rate) == 0) dcb.BaudRate = rate;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
        dcb.Parity = 0;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? 1 : 2;
    if (!(t.c_cflag & CSTOPB))
        dcb.StopBits = 0;
    else if (dcb.StopBits == 0)
        dcb.StopBits = 2;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    dcb.fBinary = true;
    dcb.fParity = (t.c_iflag & INPCK) != 0;
    dcb.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    if (dcb.fOutxCtsFlow)
        dcb.fRtsControl = 2;
    else if (dcb.fRtsControl == 2)
        dcb.fRtsControl = 1;
    dcb.fOutX = (t.c_iflag & IXON) != 0;
    dcb.fInX = (t.c_iflag & IXOFF) != 0;
    return TSerialResult::Success();
}

TSerialResult TPosixSerialDriver::SetCommState(TSerialHandle handle, const TDcb& dcb) {
    const auto port = Find(handle);
    if (!port) return TSerialResult::Failure(EBADF);
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2 || dcb.BaudRate == 0)
        return TSerialResult::Failure(EINVAL);
    termios t{};
    if (tcgetattr(port->Fd, &t) != 0) return SystemFailure();

    speed_t code = B38400;
    const bool standard = StandardSpeed(dcb.BaudRate, code);
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);

    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag = (t.c_cflag & ~CSIZE) | sizes[dcb.ByteSize - 5];
    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (dcb.Parity) {
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
    case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.StopBits == 0)
        t.c_cflag &= ~CSTOPB;
    else
        t.c_cflag |= CSTOPB;
    if (dcb.fParity)
        t.c_iflag |= INPCK;
    else
        t.c_iflag &= ~INPCK;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    t.c_iflag = dcb.fOutX ? (t.c_iflag | IXON) : (t.c_iflag & ~IXON);
    t.c_iflag = dcb.fInX ? (t.c_iflag | IXOFF) : (t.c_iflag & ~IXOFF);
    t.c_iflag &= ~IXANY; // the block has no notion of it: any byte resuming output is not asked for
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

    if (tcsetattr(port->Fd, TCSANOW, &t) != 0) {
        // glibc reports EINVAL when the device changed the frame format it was
        // given; a pseudo-terminal always keeps 8 bits without parity. That
        // is the device's choice, not a refusal, so it counts as success.
        const int error = errno;
        termios now{};
        const tcflag_t own = CSIZE | PARENB;
        if (error != EINVAL || tcgetattr(port->Fd, &now) != 0 || (now.c_cflag & ~own) != (t.c_cflag & ~own) ||
            now.c_iflag != t.c_iflag || cfgetospeed(&now) != cfgetospeed(&t))
            return TSerialResult::Failure(error);
    }
    if (!standard) {
        const int error = SetExactBaudRate(port->Fd, dcb.BaudRate);
        if (error != 0) return TSerialResult::Failure(error);
    }
    std::lock_guard guard(port->Mutex);
    port->Kept = dcb;
    return TSerialResult::Success();
}

TSerialResult TPosixSerialDriver::SetCommTimeouts(TSerialHandle handle, const TCommTimeouts& timeouts) {
    const auto port = Find(handle);
    if (!port) return TSerialResult::Failure(EBADF);
    std::lock_guard guard(port->Mutex);
    port->Timeouts = timeouts;
    return TSerialResult::Success();
}

TSerialResult TPosixSerialDriver::SetCommMask(TSerialHandle handle, uint32_t mask) {
    const auto port = Find(handle);
    if (!port) return TSerialResult::Failure(EBADF);
    {
        std::lock_guard guard(port->Mutex);
        port->EventMask = mask;
    }
    port->Wake();
    return TSerialResult::Success();
}

std::unique_ptr<TCommEventWaiter> TPosixSerialDriver::CreateEventWaiter(TSerialHandle handle) {
    auto port = Find(handle);
    if (!port) return nullptr;
    return std::make_unique<TPosixEventWaiter>(std::move(port));
}

TSerialResult TPosixSerialDriver::Read(TSerialHandle handle, char* buffer, unsigned long count,
                                       unsigned long& done) {
    return ReadWithin(handle, buffer, count, done, true);
}

TSerialResult TPosixSerialDriver::ReadArrived(TSerialHandle handle, char* buffer, unsigned long count,
                                              unsigned long& done) {
    return ReadWithin(handle, buffer, count, done, false);
}

TSerialResult TPosixSerialDriver::ReadWithin(TSerialHandle handle, char* buffer, unsigned long count,
                                             unsigned long& done, bool mayWait) {
    done = 0;
    const auto port = Find(handle);
    if (!port) return TSerialResult::Failure(EBADF);
    const TCommTimeouts timeouts = port->CurrentTimeouts();
    const uint64_t total =
        uint64_t{timeouts.ReadTotalTimeoutMultiplier} * count + timeouts.ReadTotalTimeoutConstant;
    const bool immediate = !mayWait || (timeouts.ReadIntervalTimeout == 0xFFFFFFFF && total == 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total);
    bool emptyAfterReady = false;
    while (done < count) {
        ssize_t n;
        {
            std::lock_guard guard(port->Mutex);
            n = read(port->Fd, buffer + done, count - done);
            if (n > 0) port->KnownInQue -= std::min<unsigned long>(port->KnownInQue, n);
        }
        if (n > 0) {
            done += static_cast<unsigned long>(n);
            emptyAfterReady = false;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return TransferFailure(errno);
        if (n == 0 && emptyAfterReady) return TransferFailure(EIO);
        if (immediate) break;
        pollfd p{port->Fd, POLLIN, 0};
        const int ready = poll(&p, 1, total == 0 ? -1 : RemainingMs(&deadline));
        if (ready < 0 && errno != EINTR) return SystemFailure();
        if (ready == 0) break;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return TransferFailure(EIO);
        // Readable yet nothing to read twice in a row: the device is gone.
        emptyAfterReady = ready > 0 && n == 0;
    }
    return TSerialResult::Success();
}

TSerialResult TPosixSerialDriver::Write(TSerialHandle handle, const char* buffer, unsigned long count,
                                        unsigned long& done) {
    done = 0;
    const auto port = Find(handle);
    if (!port) return TSerialResult::Failure(EBADF);
    const TCommTimeouts timeouts = port->CurrentTimeouts();
    const uint64_t total =
        uint64_t{timeouts.WriteTotalTimeoutMultiplier} * count + timeouts.WriteTotalTimeoutConstant;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total);
    TSerialResult result;
    while (done < count) {
        const ssize_t n = write(port->Fd, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<unsigned long>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            result = TransferFailure(errno);
            break;
        }
        // The kernel queue is full: sleep until it has room or the time-out ends.
        pollfd p{port->Fd, POLLOUT, 0};
        const int ready = poll(&p, 1, total == 0 ? -1 : RemainingMs(&deadline));
        if (ready < 0 && errno != EINTR) {
            result = SystemFailure();
            break;
        }
        if (ready == 0) break; // timed out: the partial count stands, as a time-out does
    }
    if (done > 0) {
        bool wake = false;
        {
            std::lock_guard guard(port->Mutex);
            if (port->EventMask & EV_TXEMPTY) wake = port->TxPending = true;
        }
        if (wake) port->Wake();
    }
    return result;
}

TSerialResult TPosixSerialDriver::ClearCommError(TSerialHandle handle, unsigned long& errors,
                                                 TComStat& stat) {
    errors = 0;
    stat = TComStat{};
    const auto port = Find(handle);
    if (!port) return TSerialResult::Failure(EBADF);
    int inq = 0;
    if (ioctl(port->Fd, FIONREAD, &inq) != 0) return SystemFailure();
    int outq = 0;
    if (ioctl(port->Fd, TIOCOUTQ, &outq) != 0) outq = 0;
    stat.cbInQue = static_cast<unsigned long>(inq);
    stat.cbOutQue = static_cast<unsigned long>(outq);

    termios t{};
    int lines = 0;
    if (tcgetattr(port->Fd, &t) == 0 && (t.c_cflag & CRTSCTS) && ioctl(port->Fd, TIOCMGET, &lines) == 0)
        stat.fCtsHold = !(lines & TIOCM_CTS);

    std::lock_guard guard(port->Mutex);
    TCounters now;
    if (port->HaveCounters && ReadCounters(port->Fd, now)) {
        port->PendingErrors |= ErrorFlags(port->ErrorBase, now);
        port->ErrorBase = now;
    }
    errors = port->PendingErrors;
    port->PendingErrors = 0;
    return TSerialResult::Success();
}

TSerialResult TPosixSerialDriver::Purge(TSerialHandle handle, unsigned long flags) {
    const auto port = Find(handle);
    if (!port) return TSerialResult::Failure(EBADF);
    // Nothing is ever pending across calls, so the abort flags have nothing to abort.
    if (flags & PURGE_RXCLEAR) {
        std::lock_guard guard(port->Mutex);
        if (tcflush(port->Fd, TCIFLUSH) != 0) return SystemFailure();
        port->KnownInQue = 0;
    }
    if ((flags & PURGE_TXCLEAR) && tcflush(port->Fd, TCOFLUSH) != 0) return SystemFailure();
    return TSerialResult::Success();
}

TSerialResult TPosixSerialDriver::EscapeCommFunction(TSerialHandle handle, int function) {
    const auto port = Find(handle);
    if (!port) return TSerialResult::Failure(EBADF);
    const int fd = port->Fd;
    const auto modemLine = [fd](unsigned long request, int bit) {
        if (ioctl(fd, request, &bit) == 0 || errno == ENOTTY) return TSerialResult::Success();
        return SystemFailure();
    };
    const auto plain = [](int rc) { return rc == 0 ? TSerialResult::Success() : SystemFailure(); };
    switch (function) {
    case SETXOFF:
        return plain(tcflow(fd, TCOOFF));
    case SETXON:
        return plain(tcflow(fd, TCOON));
    case SETRTS:
        return modemLine(TIOCMBIS, TIOCM_RTS);
    case CLRRTS:
        return modemLine(TIOCMBIC, TIOCM_RTS);
    case SETDTR:
        return modemLine(TIOCMBIS, TIOCM_DTR);
    case CLRDTR:
        return modemLine(TIOCMBIC, TIOCM_DTR);
    case SETBREAK:
        return plain(ioctl(fd, TIOCSBRK));
    case CLRBREAK:
        return plain(ioctl(fd, TIOCCBRK));
    default:
        return TSerialResult::Failure(EINVAL);
    }
}

TSerialResult TPosixSerialDriver::GetCommModemStatus(TSerialHandle handle, unsigned long& status) {
    status = 0;
    const auto port = Find(handle);
    if (!port) return TSerialResult::Failure(EBADF);
    int lines = 0;
    if (ioctl(port->Fd, TIOCMGET, &lines) != 0)
        return errno == ENOTTY ? TSerialResult::Success() : SystemFailure();
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_RI) status |= MS_RING_ON;
    if (lines & TIOCM_CD) status |= MS_RLSD_ON;
    return TSerialResult::Success();
}
