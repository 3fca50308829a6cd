#include "cli/CliLink.h"
#include "cli/KaldoraCli.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>

#include "base/Convert.h"
#include "base/Exception.h"
#include "comm/SerialPorts.h"
#include "protocol/HexText.h"
#include "protocol/Reply.h"

using TClock = std::chrono::steady_clock;

namespace {

std::string HexTextOf(const std::vector<uint8_t>& bytes) {
    std::string text = FormatFrameHex(bytes.data(), bytes.size());
    if (!text.empty()) text.pop_back();
    return text;
}

// ---- Interruption: every live link, so that Ctrl-C can wake its wait ----

class TWakeable {
public:
    virtual void Wake() = 0;

protected:
    ~TWakeable() = default;
};

std::mutex LinksMutex;
std::set<TWakeable*> Links;
std::atomic<bool> Interrupted{false};

void Register(TWakeable* link) {
    std::lock_guard guard(LinksMutex);
    Links.insert(link);
}

void Unregister(TWakeable* link) {
    std::lock_guard guard(LinksMutex);
    Links.erase(link);
}

// ---- Option parsing ----

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

constexpr std::pair<const char*, TParity> ParityNames[] = {
    {"none", paNone}, {"odd", paOdd}, {"even", paEven}, {"mark", paMark}, {"space", paSpace}};

const char* ParityName(TParity parity) {
    for (const auto& [name, value] : ParityNames)
        if (value == parity) return name;
    return "none";
}

// The value the window's parity list hands the component for the parity the
// line is to carry: the component swaps odd and even, the list swaps them back.
TParity ComponentParity(TParity lineParity) {
    switch (lineParity) {
    case paOdd:
        return paEven;
    case paEven:
        return paOdd;
    default:
        return lineParity;
    }
}

TBaudRate BaudRateOf(unsigned long rate) {
    for (size_t k = 0; k < std::size(BaudRateTable); ++k)
        if (BaudRateTable[k] == rate) return static_cast<TBaudRate>(k);
    return br19200;
}

std::string RateList() {
    std::string text;
    for (size_t k = 0; k < std::size(LinkBaudRates); ++k) {
        if (k) text += k + 1 == std::size(LinkBaudRates) ? " and " : ", ";
        text += std::to_string(LinkBaudRates[k]);
    }
    return text;
}

// "COM<n>" with n >= 1, any case; returns n or 0.
int ComNumber(const std::string& name) {
    if (name.size() < 4 || Lower(name.substr(0, 3)) != "com") return 0;
    const auto n = TryStrToInt(name.substr(3));
    return n && *n >= 1 ? *n : 0;
}

std::string CheckTcpTarget(const std::string& text, std::string& host, unsigned& port) {
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return "--tcp " + text + ": give HOST:PORT, an IPv6 address as [ADDRESS]:PORT";
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) return "--tcp " + text + ": give HOST:PORT, e.g. 127.0.0.1:4660";
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (host.empty()) return "--tcp " + text + ": the host is missing (give HOST:PORT)";
    if (portText.empty() || portText.find_first_not_of("0123456789") != std::string::npos)
        return "--tcp " + text + ": the port '" + portText + "' is not a decimal number";
    const auto number = TryStrToInt(portText);
    if (!number || *number < 1 || *number > 65535)
        return "--tcp " + text + ": the port " + portText + " is outside 1..65535";
    port = static_cast<unsigned>(*number);
    return "";
}

std::string PortsPresentText() {
    const std::vector<std::string> ports = ListSerialPorts();
    if (ports.empty()) return "no serial ports are present on this machine";
    std::string text = "ports present:";
    for (size_t k = 0; k < ports.size(); ++k)
        text += (k ? ", COM" : " COM") + std::to_string(k + 1) + " " + ports[k];
    return text;
}

// ---- The serial link ----

// Hands the event thread's calls to the thread that waits in the link.
class TQueuePoster : public TMainThreadPoster {
public:
    void Post(std::function<void()> fn) override {
        {
            std::lock_guard guard(FMutex);
            FQueue.push_back(std::move(fn));
        }
        FReady.notify_one();
    }
    void Wake() {
        { std::lock_guard guard(FMutex); }
        FReady.notify_all();
    }
    // Runs the queued calls; waits for one until deadline or wake-up when none.
    void RunUntil(TClock::time_point deadline, const std::function<bool()>& done) {
        std::unique_lock lock(FMutex);
        FReady.wait_until(lock, deadline, [&] { return !FQueue.empty() || done(); });
        std::deque<std::function<void()>> calls;
        calls.swap(FQueue);
        lock.unlock();
        for (auto& call : calls) {
            try {
                call();
            } catch (const Exception&) {
                // A handler's failure is the component's; the wait goes on.
            }
        }
    }

private:
    std::mutex FMutex;
    std::condition_variable FReady;
    std::deque<std::function<void()>> FQueue;
};

class TSerialLink final : public TLink, TWakeable {
public:
    explicit TSerialLink(const TLinkSettings& settings) : FSpec(settings), FComm(nullptr, &FPoster) {
        Register(this);
        // The window's settings of Comm1.
        FComm.SetMonitorEvents({evError, evRlsd, evRxChar, evRxFlag, evTxEmpty});
        FComm.SetFlowControl(fcNone);
        FComm.OnRxChar = [this](TObject*, unsigned long count) {
            std::vector<char> buffer(std::max<unsigned long>(count, 1));
            const int n = FComm.Read(buffer.data(), count);
            if (n > 0) FPending.insert(FPending.end(), buffer.begin(), buffer.begin() + n);
        };
        FComm.OnDeviceLost = [this](TObject*) { FLost = true; };
    }
    ~TSerialLink() override {
        Close();
        Unregister(this);
    }

    std::string Open() override {
        const int com = ComNumber(FSpec.Port);
        FPath = ResolveDeviceName(FSpec.Port, ListSerialPorts());
        if (FPath.empty()) {
            if (com) return FSpec.Port + ": no such port; " + PortsPresentText();
            return FSpec.Port + ": not a port name (give COMn or a device path)";
        }
        FComm.SetDeviceName(FSpec.Port);
        FComm.SetBaudRate(BaudRateOf(FSpec.Baud));
        FComm.SetParity(ComponentParity(FSpec.LineParity));
        try {
            FComm.Open();
        } catch (const Exception& e) {
            FComm.Close();
            return Describe() + ": the port opened but refused its settings (" + e.Message() + ")";
        }
        if (!FComm.Enabled()) {
            std::string reason = OpenFailureReason(NameWithPath(), FComm.OpenError());
            if (FComm.OpenError() == ENOENT || FComm.OpenError() == ENODEV || FComm.OpenError() == ENXIO)
                reason += "; " + PortsPresentText();
            return reason;
        }
        try {
            FComm.SetRTSState(true);
            FComm.SetDTRState(true);
        } catch (const Exception& e) {
            FComm.Close();
            return NameWithPath() + ": could not raise RTS and DTR (" + e.Message() + ")";
        }
        return "";
    }

    void Close() override { FComm.Close(); }
    bool IsOpen() const override { return FComm.Enabled(); }

    std::string Describe() const override {
        return NameWithPath() + " at " + std::to_string(FSpec.Baud) + " baud, parity " +
               ParityName(FSpec.LineParity);
    }

    int Send(const uint8_t* data, size_t count, std::string& error) override {
        const int n = FComm.Write(reinterpret_cast<const char*>(data), static_cast<unsigned long>(count));
        if (n < 0)
            error = NameWithPath() + " is not open";
        else if (static_cast<size_t>(n) < count)
            error = NameWithPath() + " took " + std::to_string(n) + " of " + std::to_string(count) + " bytes";
        return n;
    }

    TWait Receive(std::vector<uint8_t>& bytes, TClock::time_point deadline) override {
        for (;;) {
            if (!FPending.empty()) {
                bytes.insert(bytes.end(), FPending.begin(), FPending.end());
                FPending.clear();
                return TWait::Data;
            }
            if (Interrupted) return TWait::Interrupted;
            if (FLost) return TWait::Lost;
            if (TClock::now() >= deadline) return TWait::Deadline;
            FPoster.RunUntil(deadline, [] { return Interrupted.load(); });
        }
    }

    std::string LostReason() const override {
        return NameWithPath() +
               ": the device is gone (adapter unplugged?): " + std::strerror(FComm.DeviceLostError());
    }

    void Wake() override { FPoster.Wake(); }

private:
    std::string NameWithPath() const {
        if (FPath.empty() || FPath == FSpec.Port) return FSpec.Port;
        return FSpec.Port + " (" + FPath + ")";
    }

    TLinkSettings FSpec;
    std::string FPath;
    TQueuePoster FPoster; // before FComm: the component's event thread posts to it
    TComm FComm;
    std::vector<uint8_t> FPending;
    bool FLost = false;
};

// ---- The TCP link ----

class TTcpLink final : public TLink, TWakeable {
public:
    explicit TTcpLink(const TLinkSettings& settings) : FSpec(settings), FWakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        Register(this);
    }
    ~TTcpLink() override {
        Unregister(this);
        Close();
        if (FWakeFd >= 0) close(FWakeFd);
    }

    std::string Open() override {
        Close();
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const std::string port = std::to_string(FSpec.TcpPort);
        const int lookup = getaddrinfo(FSpec.Host.c_str(), port.c_str(), &hints, &found);
        if (lookup != 0) {
            if (lookup == EAI_NONAME || lookup == EAI_NODATA)
                return "host '" + FSpec.Host +
                       "' not found: the name does not resolve (check its spelling, or give "
                       "the address)";
            if (lookup == EAI_AGAIN)
                return "host '" + FSpec.Host + "' could not be looked up now: no name server answered";
            return "host '" + FSpec.Host + "' could not be looked up: " + gai_strerror(lookup);
        }
        std::string reason;
        for (addrinfo* a = found; a && FFd < 0; a = a->ai_next)
            reason = Connect(*a);
        freeaddrinfo(found);
        return FFd >= 0 ? "" : Name() + ": " + reason;
    }

    void Close() override {
        if (FFd >= 0) close(FFd);
        FFd = -1;
    }
    bool IsOpen() const override { return FFd >= 0; }
    std::string Describe() const override { return Name(); }

    int Send(const uint8_t* data, size_t count, std::string& error) override {
        if (FFd < 0) {
            error = Name() + " is not connected";
            return -1;
        }
        size_t done = 0;
        while (done < count) {
            const ssize_t n = send(FFd, data + done, count - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{FFd, POLLOUT, 0};
                poll(&p, 1, 1000);
                continue;
            }
            if (n <= 0) {
                error = Name() + ": sending failed (" + std::strerror(errno) + ")";
                return done ? static_cast<int>(done) : -1;
            }
            done += static_cast<size_t>(n);
        }
        return static_cast<int>(done);
    }

    TWait Receive(std::vector<uint8_t>& bytes, TClock::time_point deadline) override {
        for (;;) {
            if (Interrupted) return TWait::Interrupted;
            if (FFd < 0) return TWait::Lost;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
            pollfd p[2] = {{FFd, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
            const int ready = poll(p, 2, static_cast<int>(std::max<long long>(left, 0)));
            if (ready < 0 && errno != EINTR) return TWait::Lost;
            if (Interrupted) return TWait::Interrupted;
            if (ready > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                std::array<uint8_t, 4096> buffer{};
                const ssize_t n = recv(FFd, buffer.data(), buffer.size(), 0);
                if (n > 0) {
                    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
                    return TWait::Data;
                }
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                FLostReason = n == 0 ? Name() + " closed the connection"
                                     : Name() + ": connection lost (" + std::strerror(errno) + ")";
                Close();
                return TWait::Lost;
            }
            if (TClock::now() >= deadline) return TWait::Deadline;
        }
    }

    std::string LostReason() const override { return FLostReason; }

    void Wake() override {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(FWakeFd, &one, sizeof one);
    }

private:
    std::string Name() const { return FSpec.Name(); }

    // Connects within ConnectTimeoutMs; on success FFd is the socket.
    std::string Connect(const addrinfo& a) {
        constexpr int ConnectTimeoutMs = 5000;
        const int fd = socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a.ai_protocol);
        if (fd < 0) return std::string("no socket (") + std::strerror(errno) + ")";
        int error = 0;
        if (connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd p[2] = {{fd, POLLOUT, 0}, {FWakeFd, POLLIN, 0}};
                const int ready = poll(p, 2, ConnectTimeoutMs);
                if (ready == 0 || Interrupted) {
                    close(fd);
                    return Interrupted ? "interrupted while connecting"
                                       : "no answer within " + std::to_string(ConnectTimeoutMs / 1000) +
                                             " s (host down, or a firewall drops the connection)";
                }
                socklen_t length = sizeof error;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            }
        }
        if (error != 0) {
            close(fd);
            switch (error) {
            case ECONNREFUSED:
                return "connection refused: nothing listens on port " + std::to_string(FSpec.TcpPort) +
                       " there (is the device or the simulator running, and is the port right?)";
            case EHOSTUNREACH:
            case ENETUNREACH:
                return std::string("host unreachable (") + std::strerror(error) +
                       "): check the address and the network";
            case ETIMEDOUT:
                return "no answer (connection timed out): check the address and that the host is on";
            default:
                return std::string("cannot connect (") + std::strerror(error) + ")";
            }
        }
        FFd = fd;
        return "";
    }

    TLinkSettings FSpec;
    int FFd = -1;
    int FWakeFd;
    std::string FLostReason;
};

} // namespace

// ---- Public parts ----

const char* const LinkOptionsHelp =
    R"(Link (one of):
  --port COMn|PATH   a serial port: COMn as the window numbers them (COM1 is the
                     first port 'kaldora-cli ports' lists), or a device path such
                     as /dev/ttyUSB0
  --baud RATE        2400, 4800, 9600, 19200 (default), 38400, 57600 or 115200
  --parity P         none (default), odd, even, mark or space; 8 data bits, 1 stop
                     bit, no flow control, RTS and DTR raised after opening
  --tcp HOST:PORT    a TCP connection instead, e.g. 127.0.0.1:4660 or [::1]:4660
)";

std::string TLinkSettings::Name() const {
    if (Kind == TKind::Tcp) {
        const bool v6 = Host.find(':') != std::string::npos;
        return (v6 ? "[" + Host + "]" : Host) + ":" + std::to_string(TcpPort);
    }
    return Port;
}

std::string ParseLinkOptions(const std::vector<std::string>& args, TLinkSettings& settings,
                             std::vector<std::string>& rest) {
    TLinkSettings result;
    bool serialOption = false;
    std::string serialName; // the first serial option, for the clash message
    std::string tcpText;
    rest.clear();
    for (size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        std::optional<std::string> inlineValue;
        const char* name = nullptr;
        for (const char* option : {"--port", "--baud", "--parity", "--tcp"})
            if (MatchesOption(arg, option, inlineValue)) name = option;
        if (!name) {
            rest.push_back(arg);
            continue;
        }
        std::string value;
        if (inlineValue)
            value = *inlineValue;
        else if (k + 1 < args.size())
            value = args[++k];
        else
            return "option '" + arg + "' needs a value";

        const std::string option(name);
        if (option == "--tcp") {
            const std::string error = CheckTcpTarget(value, result.Host, result.TcpPort);
            if (!error.empty()) return error;
            tcpText = value;
            continue;
        }
        if (!serialOption) serialName = option + " " + value;
        serialOption = true;
        if (option == "--port") {
            if (value.empty()) return "--port '': give COMn (n from 1) or a device path such as /dev/ttyUSB0";
            if (value[0] != '/' && !ComNumber(value)) {
                if (value.size() > 3 && Lower(value.substr(0, 3)) == "com")
                    return "--port " + value + ": ports are numbered from COM1";
                return "--port " + value + ": give COMn (n from 1) or a device path such as /dev/ttyUSB0";
            }
            result.Port = value;
        } else if (option == "--baud") {
            const auto rate = TryStrToInt(value);
            if (!rate || std::find(std::begin(LinkBaudRates), std::end(LinkBaudRates), *rate) ==
                             std::end(LinkBaudRates))
                return "--baud " + value + ": the rates are " + RateList();
            result.Baud = static_cast<unsigned long>(*rate);
        } else {
            bool found = false;
            for (const auto& [parityName, parity] : ParityNames)
                if (Lower(value) == parityName) {
                    result.LineParity = parity;
                    found = true;
                }
            if (!found) return "--parity " + value + ": give none, odd, even, mark or space";
        }
    }
    if (!tcpText.empty() && serialOption)
        return "--tcp " + tcpText + " and " + serialName +
               ": give either a serial port or a TCP link, not both";
    if (!tcpText.empty())
        result.Kind = TLinkSettings::TKind::Tcp;
    else if (!result.Port.empty())
        result.Kind = TLinkSettings::TKind::Serial;
    else if (serialOption)
        return serialName + ": no port given (add --port COMn or --port PATH)";
    settings = std::move(result);
    return "";
}

std::unique_ptr<TLink> MakeLink(const TLinkSettings& settings) {
    if (settings.Kind == TLinkSettings::TKind::Tcp) return std::make_unique<TTcpLink>(settings);
    return std::make_unique<TSerialLink>(settings);
}

void InterruptAllLinks() {
    Interrupted = true;
    std::lock_guard guard(LinksMutex);
    for (TWakeable* link : Links)
        link->Wake();
}

bool LinksInterrupted() {
    return Interrupted;
}

TExchangeResult RunExchange(TLink& link, const std::vector<uint8_t>& frame, uint8_t replyKind) {
    TExchangeResult result;
    result.Frame = frame;
    result.FrameHex = HexTextOf(frame);

    // Bytes left over from before the send belong to no reply of this command.
    std::vector<uint8_t> stale;
    while (link.Receive(stale, TClock::now()) == TLink::TWait::Data)
        stale.clear();

    const auto sent = TClock::now();
    std::string sendError;
    const int n = link.Send(frame.data(), frame.size(), sendError);
    auto elapsed = [&sent] {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - sent).count());
    };
    if (n < 0 || static_cast<size_t>(n) != frame.size()) {
        result.LinkFailed = true;
        result.ResultLine = ReplyErrorLine;
        result.Detail = sendError;
        result.ElapsedMs = elapsed();
        return result;
    }

    const auto timeoutAt = sent + std::chrono::milliseconds(ReplyTimeoutMs);
    std::optional<TClock::time_point> judgeAt;
    for (;;) {
        const size_t before = result.Reply.size();
        const TLink::TWait wait = link.Receive(result.Reply, judgeAt ? *judgeAt : timeoutAt);
        if (wait == TLink::TWait::Data) {
            if (!judgeAt && result.Reply.size() > before)
                judgeAt = TClock::now() + std::chrono::milliseconds(ReplyJudgeDelayMs);
            continue;
        }
        if (wait == TLink::TWait::Interrupted) {
            result.Interrupted = true;
            result.Detail = "interrupted";
        } else if (wait == TLink::TWait::Lost) {
            result.LinkFailed = true;
            result.Detail = link.LostReason();
        }
        break;
    }
    result.ElapsedMs = elapsed();
    result.ReplyHex = HexTextOf(result.Reply);
    if (result.Interrupted) return result;
    if (result.Reply.empty()) {
        result.ResultLine = ReplyErrorLine;
        if (result.Detail.empty())
            result.Detail = "no reply within " + std::to_string(ReplyTimeoutMs) + " ms";
        return result;
    }
    std::vector<uint8_t> buffer(ReplyBufferBytes, 0);
    int32_t count = 0;
    GatherReplyBytes(buffer.data(), count, result.Reply.data(), result.Reply.size());
    const int32_t received = static_cast<int32_t>(std::min<size_t>(result.Reply.size(), INT32_MAX));
    const TReplyVerdict verdict = JudgeReply(replyKind, received, buffer.data());
    result.Accepted = verdict.Accepted;
    result.ResultLine = verdict.Line.value_or("");
    if (!verdict.Accepted) {
        const std::string got = "no result: " + std::to_string(result.Reply.size()) +
                                (result.Reply.size() == 1 ? " byte" : " bytes") +
                                " received, a reply is 13, 15 or 20 bytes";
        result.Detail = result.Detail.empty() ? got : got + " (" + result.Detail + ")";
    }
    return result;
}
