#include "devsim/DevsimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <random>

#include "devsim/FrameReassembler.h"
#include "protocol/HexText.h"

namespace {

constexpr size_t ReadChunk = 4096;
constexpr size_t OutLimit = 1 << 20;       // bytes queued for a client that does not read
constexpr size_t ShownBytes = 64;          // of noise (skipped, garbage, chatter) shown on a log line
constexpr size_t AllBytes = SIZE_MAX;      // frames and answers are shown whole: tests compare them
constexpr size_t NoiseBlockSize = 1 << 16; // cycled for chatter and written at once by the flood
constexpr int64_t FirstAcceptPauseMs = 100;
constexpr int64_t LastAcceptPauseMs = 1000;

void Line(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void ErrorLine(const std::string& text) {
    std::fputs(("kaldora-devsim: " + text + "\n").c_str(), stderr);
    std::fflush(stderr);
}

std::string ErrnoText(int error) {
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::string Hex(const std::vector<uint8_t>& bytes, size_t limit) {
    if (bytes.size() <= limit) return HexText(bytes);
    return HexText({bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(limit)}) + " ... (" +
           std::to_string(bytes.size()) + " bytes)";
}

// Local time to the millisecond, ISO 8601: 2026-01-31T08:00:00.250+01:00.
std::string LocalTimeStamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const long ms = static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[32], zone[8], millis[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);
    std::snprintf(millis, sizeof millis, ".%03ld", ms);
    std::string text = std::string(date) + millis + zone;
    // strftime gives +0100; the extended form wants +01:00.
    if (text.size() >= 5) text.insert(text.size() - 2, ":");
    return text;
}

// Finer than the delays, so that rounding never answers before a delay is up.
int64_t NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string AddressText(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(a.sin6_port));
    }
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(a.sin_port));
}

// An accept error that took one queued client with it; the next one may be fine. Any other
// (EMFILE, ENFILE, ENOBUFS, ENOMEM) leaves the client queued and the listener readable.
bool LostOneClient(int error) {
    switch (error) {
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

// Bytes on a line of a given rate: byte k (from 0) has arrived at StartUs + (k + 1) byte times.
struct TLineBytes {
    int64_t StartUs = 0;
    std::vector<uint8_t> Bytes;
    size_t Released = 0; // handed to the kernel's queue (Out) so far
};

struct TConnection {
    int Key = 0;
    std::string Name;
    int Fd = -1;
    bool Pty = false;
    TFrameReassembler Reader;
    std::vector<uint8_t> Out;
    bool OutFullReported = false;
    bool Closing = false;  // no more reading or writing; removed at the end of the poll round
    bool Flooding = false; // writes noise whenever it can, instead of answers
    // With a line rate. Reading: when each chunk came (its stream offset and time), the bytes
    // read and those taken by the reassembler's events, and when the line is free again.
    std::deque<std::pair<uint64_t, int64_t>> Arrivals;
    uint64_t RxRead = 0;
    uint64_t RxTaken = 0;
    int64_t RxFreeUs = 0;
    // Sending: what is on the line and not yet arrived, and when the line is free again.
    std::deque<TLineBytes> OnLine;
    size_t OnLineBytes = 0;
    int64_t TxFreeUs = 0;
};

struct TPendingPart {
    int64_t DueUs = 0;
    int Key = 0;
    std::vector<uint8_t> Bytes;
    std::string Note;
};

class TServer {
public:
    explicit TServer(const TDevsimOptions& options)
        : FOptions(options), FRandom(options.Seed ? *options.Seed : std::random_device{}()) {
        FState.Eln = ElnBytes(options.Eln);
        for (const std::string& eln : options.Devices)
            if (FDevices.try_emplace(eln).second) FDevices[eln].Eln = ElnBytes(eln);
    }
    ~TServer();
    int Run();

private:
    int OpenSignals();
    int OpenListener();
    int OpenPty();
    int StartPty();
    void ClosePty();
    void RemoveLink();
    TDeviceState* Device();
    bool TurnDevices(int64_t now);
    void DeviceLine(const std::string& event);
    void Serve();
    void Accept();
    void Receive(TConnection& connection);
    void Handle(TConnection& connection, TReassemblyEvent& event, int64_t receivedUs);
    int64_t LineUs(uint64_t bytes) const;
    int64_t Arrived(TConnection& connection, size_t bytes);
    void Release(TConnection& connection, int64_t now);
    std::optional<int64_t> NextArrival(const TConnection& connection) const;
    void Queue(TConnection& connection, std::vector<uint8_t> bytes, const std::string& note,
               size_t shown = AllBytes);
    void Flush(TConnection& connection);
    void Flood(TConnection& connection);
    void Disconnect(TConnection& connection, const std::string& why);
    void PauseAccepting(int error);
    const std::vector<uint8_t>& NoiseBlock();
    std::vector<uint8_t> Noise(size_t length);
    size_t AnswerShown() const { return FOptions.Faults.GarbageBytes >= 0 ? ShownBytes : AllBytes; }
    void Close(int key);
    void FireTimers();
    TConnection* Find(int key);
    // One client is flooded at a time, so that a flood leaves the others a device to talk to.
    bool Flooded() const {
        return std::any_of(FConnections.begin(), FConnections.end(),
                           [](const TConnection& c) { return c.Flooding; });
    }

    TDevsimOptions FOptions;
    std::mt19937 FRandom;
    TDeviceState FState; // the one device, without --devices
    // With --devices: each device's state by its ELN, the one present, and when the next
    // arrives or the present one leaves (none after the last).
    std::map<std::string, TDeviceState> FDevices;
    std::optional<std::string> FPresent;
    size_t FNextDevice = 0;
    std::optional<int64_t> FDeviceTurnUs;
    int FSignalFd = -1;
    int FListenFd = -1;
    int FPtySlave = -1; // held open so that the master never hangs up between clients
    std::string FPtyPath;
    bool FLinked = false;
    std::list<TConnection> FConnections;
    std::vector<int> FClosing;
    std::vector<TPendingPart> FPending; // in order of scheduling; due times may interleave
    int FNextTcp = 1;
    bool FStop = false;
    std::vector<uint8_t> FNoise; // made on first use, so that --seed keeps giving the same garbage
    // Out of descriptors (or kernel memory), accept fails while the listener stays readable;
    // the listener is left out of the poll until FAcceptResumeUs instead of spinning on it.
    // A client closing frees a descriptor and ends the pause early.
    bool FAcceptFailing = false;
    int64_t FAcceptPauseMs = 0;
    int64_t FAcceptResumeUs = 0;
};

TServer::~TServer() {
    for (TConnection& c : FConnections)
        close(c.Fd);
    if (FPtySlave >= 0) close(FPtySlave);
    if (FListenFd >= 0) close(FListenFd);
    if (FSignalFd >= 0) close(FSignalFd);
    RemoveLink();
}

void TServer::RemoveLink() {
    if (!FLinked) return;
    FLinked = false;
    // Only our own link: another run may have put its own there meanwhile.
    char target[4096];
    const ssize_t n = readlink(FOptions.LinkPath.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<size_t>(n)) == FPtyPath) unlink(FOptions.LinkPath.c_str());
}

int TServer::OpenSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    FSignalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (FSignalFd < 0) {
        ErrorLine("cannot watch for SIGINT and SIGTERM: " + ErrnoText(errno));
        return DevsimFailure;
    }
    return DevsimSuccess;
}

int TServer::OpenListener() {
    const std::string where = FOptions.TcpHost + ":" + std::to_string(FOptions.TcpPort);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(FOptions.TcpPort);
    if (const int rc = getaddrinfo(FOptions.TcpHost.c_str(), port.c_str(), &hints, &found); rc != 0) {
        ErrorLine("cannot listen on " + where + ": " + gai_strerror(rc));
        return DevsimCannotListen;
    }
    int error = 0;
    for (addrinfo* a = found; a && FListenFd < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 16) == 0) {
            FListenFd = fd;
        } else {
            error = errno;
            close(fd);
        }
    }
    freeaddrinfo(found);
    if (FListenFd < 0) {
        ErrorLine("cannot listen on " + where + ": " + ErrnoText(error));
        return DevsimCannotListen;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(FListenFd, reinterpret_cast<sockaddr*>(&bound), &length);
    Line("tcp: listening on " + AddressText(bound));
    if (!FOptions.PortFile.empty()) {
        std::ofstream file(FOptions.PortFile, std::ios::trunc);
        const int actual =
            ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                              : reinterpret_cast<sockaddr_in&>(bound).sin_port);
        file << actual << "\n";
        if (!file.flush()) {
            ErrorLine("cannot write the port file " + FOptions.PortFile + ": " + ErrnoText(errno));
            return DevsimFailure;
        }
    }
    return DevsimSuccess;
}

int TServer::OpenPty() {
    int master = -1;
    char name[256] = {};
    if (openpty(&master, &FPtySlave, name, nullptr, nullptr) != 0) {
        ErrorLine("cannot open a pseudo-terminal: " + ErrnoText(errno));
        return DevsimFailure;
    }
    termios tio{};
    tcgetattr(FPtySlave, &tio);
    cfmakeraw(&tio);
    tcsetattr(FPtySlave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(FPtySlave, F_SETFD, FD_CLOEXEC);
    FPtyPath = name;
    FConnections.emplace_back();
    TConnection& c = FConnections.back();
    c.Key = 0;
    c.Name = "pty";
    c.Fd = master;
    c.Pty = true;
    Line("pty: " + FPtyPath);

    if (FOptions.LinkPath.empty()) return DevsimSuccess;
    const char* link = FOptions.LinkPath.c_str();
    struct stat st {};
    if (lstat(link, &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            ErrorLine("cannot link " + FOptions.LinkPath + " to " + FPtyPath +
                      ": it exists and is not a symbolic link");
            return DevsimFailure;
        }
        unlink(link); // a link left by an earlier run
    }
    if (symlink(FPtyPath.c_str(), link) != 0) {
        ErrorLine("cannot link " + FOptions.LinkPath + " to " + FPtyPath + ": " + ErrnoText(errno));
        return DevsimFailure;
    }
    FLinked = true;
    Line("link: " + FOptions.LinkPath + " -> " + FPtyPath);
    return DevsimSuccess;
}

int TServer::StartPty() {
    if (const int rc = OpenPty(); rc != DevsimSuccess) return rc;
    if (FOptions.ChatterBytes > 0)
        Queue(*Find(0), Noise(static_cast<size_t>(FOptions.ChatterBytes)), "chatter", ShownBytes);
    return DevsimSuccess;
}

// As a pulled adapter: the master closed, so that whoever holds the device gets a hang-up,
// and the link gone, so that nobody opens it anew.
void TServer::ClosePty() {
    FPending.erase(
        std::remove_if(FPending.begin(), FPending.end(), [](const TPendingPart& p) { return p.Key == 0; }),
        FPending.end());
    FConnections.remove_if([](TConnection& c) {
        if (!c.Pty) return false;
        close(c.Fd);
        return true;
    });
    close(FPtySlave);
    FPtySlave = -1;
    Line("pty: " + FPtyPath + " closed");
    if (FLinked) {
        RemoveLink();
        Line("link: " + FOptions.LinkPath + " removed");
    }
}

TDeviceState* TServer::Device() {
    if (FOptions.Devices.empty()) return &FState;
    return FPresent ? &FDevices[*FPresent] : nullptr;
}

void TServer::DeviceLine(const std::string& event) {
    Line("device: ELN " + *FPresent + " " + event + " at " + LocalTimeStamp());
}

// Every arrival and departure due by now, in turn; false when a pty cannot be made.
bool TServer::TurnDevices(int64_t now) {
    while (FDeviceTurnUs && *FDeviceTurnUs <= now) {
        if (FPresent) {
            // Answers still waiting go with the device.
            FPending.clear();
            if (FOptions.Replug) ClosePty();
            DeviceLine("left");
            FPresent.reset();
            if (FNextDevice < FOptions.Devices.size())
                *FDeviceTurnUs += FOptions.AbsentMs * int64_t{1000};
            else
                FDeviceTurnUs.reset();
        } else {
            if (FOptions.Replug && StartPty() != DevsimSuccess) return false;
            FPresent = FOptions.Devices[FNextDevice++];
            DeviceLine("arrived");
            *FDeviceTurnUs += FOptions.PresentMs * int64_t{1000};
        }
    }
    return true;
}

TConnection* TServer::Find(int key) {
    for (TConnection& c : FConnections)
        if (c.Key == key) return &c;
    return nullptr;
}

void TServer::Accept() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd =
            accept4(FListenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            if (LostOneClient(errno)) continue;
            PauseAccepting(errno);
            return;
        }
        if (FAcceptFailing) ErrorLine("accepting TCP clients again");
        FAcceptFailing = false;
        FAcceptPauseMs = 0;
        FConnections.emplace_back();
        TConnection& c = FConnections.back();
        c.Key = FNextTcp++;
        c.Name = "tcp#" + std::to_string(c.Key);
        c.Fd = fd;
        Line("conn " + c.Name + " from " + AddressText(peer));
        if (FOptions.ChatterBytes > 0)
            Queue(c, Noise(static_cast<size_t>(FOptions.ChatterBytes)), "chatter", ShownBytes);
    }
}

void TServer::PauseAccepting(int error) {
    // Said once per spell: the retries every second would otherwise fill the log.
    if (!FAcceptFailing)
        ErrorLine("warning: cannot accept TCP clients: " + ErrnoText(error) +
                  "; they wait in the queue until a client leaves");
    FAcceptFailing = true;
    FAcceptPauseMs = std::clamp(FAcceptPauseMs * 2, FirstAcceptPauseMs, LastAcceptPauseMs);
    FAcceptResumeUs = NowUs() + FAcceptPauseMs * 1000;
}

const std::vector<uint8_t>& TServer::NoiseBlock() {
    if (FNoise.empty()) {
        std::mt19937 random(FOptions.Seed ? *FOptions.Seed : std::random_device{}());
        FNoise.resize(NoiseBlockSize);
        // Without a start byte no reply can be read out of it, however it is cut.
        for (uint8_t& b : FNoise)
            do
                b = static_cast<uint8_t>(random() & 0xFF);
            while (b == ReplyStartByte);
    }
    return FNoise;
}

std::vector<uint8_t> TServer::Noise(size_t length) {
    const std::vector<uint8_t>& block = NoiseBlock();
    std::vector<uint8_t> bytes(length);
    for (size_t k = 0; k < length; ++k)
        bytes[k] = block[k % block.size()];
    return bytes;
}

void TServer::Close(int key) {
    if (TConnection* c = Find(key)) c->Closing = true;
    if (std::find(FClosing.begin(), FClosing.end(), key) == FClosing.end()) FClosing.push_back(key);
}

void TServer::Disconnect(TConnection& c, const std::string& why) {
    Line("disc " + c.Name + (why.empty() ? "" : " (" + why + ")"));
    Close(c.Key);
    c.Out.clear();
}

// The time a line of the rate takes for bytes, rounded up: nothing arrives early.
int64_t TServer::LineUs(uint64_t bytes) const {
    const uint64_t rate = static_cast<uint64_t>(FOptions.LineRate);
    return static_cast<int64_t>((bytes * 10'000'000 + rate - 1) / rate);
}

// When the next bytes taken from the stream, an event's, have arrived whole: the line carries
// them from their first byte's arrival, or from the end of what it carried before.
int64_t TServer::Arrived(TConnection& c, size_t bytes) {
    while (c.Arrivals.size() > 1 && c.Arrivals[1].first <= c.RxTaken)
        c.Arrivals.pop_front();
    const int64_t start = std::max(c.Arrivals.front().second, c.RxFreeUs);
    c.RxFreeUs = start + LineUs(bytes);
    c.RxTaken += bytes;
    return c.RxFreeUs;
}

void TServer::Release(TConnection& c, int64_t now) {
    if (c.Closing) return;
    if (c.Flooding && c.OnLine.empty()) {
        // The flood at the line's pace: a block at a time, made when the last has arrived.
        const std::vector<uint8_t>& block = NoiseBlock();
        c.OnLine.push_back({std::max(now, c.TxFreeUs), block, 0});
        c.OnLineBytes += block.size();
        c.TxFreeUs = c.OnLine.back().StartUs + LineUs(block.size());
    }
    const size_t before = c.Out.size();
    while (!c.OnLine.empty()) {
        TLineBytes& line = c.OnLine.front();
        const uint64_t elapsed = static_cast<uint64_t>(std::max<int64_t>(now - line.StartUs, 0));
        const size_t arrived = static_cast<size_t>(std::min<uint64_t>(
            elapsed * static_cast<uint64_t>(FOptions.LineRate) / 10'000'000, line.Bytes.size()));
        c.Out.insert(c.Out.end(), line.Bytes.begin() + static_cast<ptrdiff_t>(line.Released),
                     line.Bytes.begin() + static_cast<ptrdiff_t>(arrived));
        c.OnLineBytes -= arrived - line.Released;
        line.Released = arrived;
        if (arrived < line.Bytes.size()) break;
        c.OnLine.pop_front();
    }
    if (c.Out.size() > before) Flush(c);
}

std::optional<int64_t> TServer::NextArrival(const TConnection& c) const {
    if (c.OnLine.empty()) return std::nullopt;
    const TLineBytes& line = c.OnLine.front();
    return line.StartUs + LineUs(line.Released + 1);
}

void TServer::Receive(TConnection& c) {
    uint8_t buffer[ReadChunk];
    const ssize_t n = read(c.Fd, buffer, sizeof buffer);
    const int64_t now = NowUs();
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        if (!c.Pty) Disconnect(c, ErrnoText(errno));
        return;
    }
    if (n == 0) {
        if (!c.Pty) Disconnect(c, "");
        return;
    }
    if (FOptions.LineRate) {
        c.Arrivals.push_back({c.RxRead, now});
        c.RxRead += static_cast<uint64_t>(n);
    }
    for (TReassemblyEvent& event : c.Reader.Feed(buffer, static_cast<size_t>(n))) {
        if (c.Closing) return; // what followed the frame that closed it is not taken
        Handle(c, event, FOptions.LineRate ? Arrived(c, event.Bytes.size()) : now);
    }
}

// receivedUs: when the frame counts as received, the answer's delays are counted from then.
void TServer::Handle(TConnection& c, TReassemblyEvent& event, int64_t receivedUs) {
    switch (event.Kind) {
    case TReassemblyEvent::TKind::Skipped:
        Line("rx " + c.Name + " " + event.Text + " | " + Hex(event.Bytes, ShownBytes));
        return;
    case TReassemblyEvent::TKind::BadCrc:
        Line("rx " + c.Name + " " + event.Text + " (no answer) | " + Hex(event.Bytes, AllBytes));
        return;
    case TReassemblyEvent::TKind::Frame:
        break;
    }
    TDeviceState* device = Device();
    if (!device) {
        Line("rx " + c.Name + " " + DescribeFrame(event.Frame, event.Encrypted) +
             " (no answer: no device) | " + Hex(event.Bytes, AllBytes));
        return;
    }
    // The device acts on the frame even when the answer never leaves: a link that drops
    // after the send leaves the peer not knowing whether the ID was set.
    std::vector<uint8_t> reply = BuildReply(event.Frame, *device);
    std::string withheld;
    if (c.Flooding)
        withheld = " (no answer: flooding)";
    else if (FOptions.CloseAfterRead)
        withheld = c.Pty ? " (no answer)" : " (no answer: closing)";
    else if (FOptions.Flood && !Flooded())
        withheld = " (no answer: flooding from now on)";
    Line("rx " + c.Name + " " + DescribeFrame(event.Frame, event.Encrypted) + withheld + " | " +
         Hex(event.Bytes, AllBytes));
    if (FPresent && ClassifyCommand(event.Frame) == TDeviceCommand::SetId)
        DeviceLine("took ID " + std::to_string(device->Id.value_or(0)));
    if (FOptions.CloseAfterRead) {
        if (!c.Pty) Disconnect(c, "closed after the frame");
        return;
    }
    if (!withheld.empty()) {
        if (FOptions.Flood) c.Flooding = true;
        return;
    }
    std::vector<TReplyPart> parts = ApplyFaults(std::move(reply), FOptions.Faults, FRandom);
    const int64_t now = NowUs();
    for (size_t k = 0; k < parts.size(); ++k) {
        std::string note = FOptions.Faults.GarbageBytes >= 0 ? "garbage" : "";
        if (parts.size() > 1)
            note += (note.empty() ? "" : ", ") + std::string("part ") + std::to_string(k + 1) + " of " +
                    std::to_string(parts.size());
        const int64_t due = receivedUs + parts[k].AtMs * int64_t{1000};
        if (due <= now)
            Queue(c, std::move(parts[k].Bytes), note, AnswerShown());
        else
            FPending.push_back({due, c.Key, std::move(parts[k].Bytes), note});
    }
}

void TServer::Queue(TConnection& c, std::vector<uint8_t> bytes, const std::string& note, size_t shown) {
    if (c.Closing) return;
    Line("tx " + c.Name + " " + std::to_string(bytes.size()) + " bytes" +
         (note.empty() ? "" : " (" + note + ")") + " | " + Hex(bytes, shown));
    if (c.Out.size() + c.OnLineBytes + bytes.size() > OutLimit) {
        if (!c.OutFullReported)
            ErrorLine("warning: " + c.Name + " reads nothing; answers beyond " + std::to_string(OutLimit) +
                      " queued bytes are dropped");
        c.OutFullReported = true;
        return;
    }
    if (FOptions.LineRate) {
        const int64_t start = std::max(NowUs(), c.TxFreeUs);
        c.TxFreeUs = start + LineUs(bytes.size());
        c.OnLineBytes += bytes.size();
        c.OnLine.push_back({start, std::move(bytes), 0});
        return;
    }
    c.Out.insert(c.Out.end(), bytes.begin(), bytes.end());
    Flush(c);
}

void TServer::Flush(TConnection& c) {
    while (!c.Out.empty()) {
        const ssize_t n = c.Pty ? write(c.Fd, c.Out.data(), c.Out.size())
                                : send(c.Fd, c.Out.data(), c.Out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            if (c.Pty) {
                ErrorLine("warning: cannot write to the pty: " + ErrnoText(errno));
                c.Out.clear();
                return;
            }
            Disconnect(c, ErrnoText(errno));
            return;
        }
        c.Out.erase(c.Out.begin(), c.Out.begin() + n);
        c.OutFullReported = false;
    }
}

void TServer::Flood(TConnection& c) {
    // One block per poll round, from the one buffer: the other clients and the signals get
    // their turn however fast this client reads.
    const std::vector<uint8_t>& block = NoiseBlock();
    const ssize_t n = c.Pty ? write(c.Fd, block.data(), block.size())
                            : send(c.Fd, block.data(), block.size(), MSG_NOSIGNAL);
    if (n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    if (c.Pty) {
        ErrorLine("warning: cannot write to the pty: " + ErrnoText(errno) + "; the flood ends");
        c.Flooding = false;
        return;
    }
    Disconnect(c, ErrnoText(errno));
}

void TServer::FireTimers() {
    const int64_t now = NowUs();
    // Stable: parts due at the same time go out in the order they were scheduled.
    std::vector<TPendingPart> due;
    auto split = std::stable_partition(FPending.begin(), FPending.end(),
                                       [now](const TPendingPart& p) { return p.DueUs > now; });
    due.assign(std::make_move_iterator(split), std::make_move_iterator(FPending.end()));
    FPending.erase(split, FPending.end());
    std::stable_sort(due.begin(), due.end(),
                     [](const TPendingPart& a, const TPendingPart& b) { return a.DueUs < b.DueUs; });
    for (TPendingPart& part : due)
        if (TConnection* c = Find(part.Key)) Queue(*c, std::move(part.Bytes), part.Note, AnswerShown());
}

void TServer::Serve() {
    std::vector<pollfd> fds;
    std::vector<int> keys; // the connection of fds[k], -1 for the signal and listen descriptors
    while (!FStop) {
        fds.clear();
        keys.clear();
        fds.push_back({FSignalFd, POLLIN, 0});
        keys.push_back(-1);
        const int64_t now = NowUs();
        const bool accepting = FListenFd >= 0 && now >= FAcceptResumeUs;
        if (accepting) {
            fds.push_back({FListenFd, POLLIN, 0});
            keys.push_back(-1);
        }
        for (const TConnection& c : FConnections) {
            const bool writing = !c.Out.empty() || (c.Flooding && !FOptions.LineRate);
            fds.push_back({c.Fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0});
            keys.push_back(c.Key);
        }
        std::optional<int64_t> next;
        if (FListenFd >= 0 && !accepting) next = FAcceptResumeUs;
        for (const TPendingPart& p : FPending)
            next = std::min(next.value_or(p.DueUs), p.DueUs);
        for (const TConnection& c : FConnections)
            if (const auto due = NextArrival(c)) next = std::min(next.value_or(*due), *due);
        if (FDeviceTurnUs) next = std::min(next.value_or(*FDeviceTurnUs), *FDeviceTurnUs);
        // In microseconds: a line's bytes are a fraction of a millisecond apart.
        timespec timeout{};
        if (next) {
            const int64_t us = std::clamp<int64_t>(*next - now, 0, int64_t{3600} * 1000000);
            timeout = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
        }
        if (ppoll(fds.data(), fds.size(), next ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            ErrorLine("poll failed: " + ErrnoText(errno));
            return;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(FSignalFd, &info, sizeof info) == sizeof info) {
                Line(std::string("end: ") + (info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM"));
                FStop = true;
                return;
            }
        }
        for (size_t k = 1; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            if (keys[k] < 0) {
                Accept();
                continue;
            }
            TConnection* c = Find(keys[k]);
            if (!c) continue;
            if (fds[k].revents & POLLOUT) {
                Flush(*c);
                if (c->Out.empty() && c->Flooding && !c->Closing && !FOptions.LineRate) Flood(*c);
            }
            if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) && !c->Closing) Receive(*c);
        }
        FireTimers();
        if (FOptions.LineRate) {
            const int64_t released = NowUs();
            for (TConnection& c : FConnections)
                Release(c, released);
        }
        if (!TurnDevices(NowUs())) return;
        for (int key : FClosing) {
            FPending.erase(std::remove_if(FPending.begin(), FPending.end(),
                                          [key](const TPendingPart& p) { return p.Key == key; }),
                           FPending.end());
            FConnections.remove_if([key](TConnection& c) {
                if (c.Key != key) return false;
                close(c.Fd);
                return true;
            });
            FAcceptResumeUs = 0; // a descriptor is free again
        }
        FClosing.clear();
    }
}

int TServer::Run() {
    if (const int rc = OpenSignals(); rc != DevsimSuccess) return rc;
    if (FOptions.Tcp) {
        if (const int rc = OpenListener(); rc != DevsimSuccess) {
            if (rc != DevsimCannotListen || !FOptions.Pty) return rc;
            ErrorLine("warning: no TCP; serving the pty only");
        }
    }
    // A replugged line starts with no device, so with no pty.
    if (FOptions.Pty && FOptions.Replug) {
        Line("pty: none until a device arrives");
    } else if (FOptions.Pty) {
        if (const int rc = StartPty(); rc != DevsimSuccess) return rc;
    }
    if (!FOptions.Devices.empty()) FDeviceTurnUs = NowUs() + FOptions.AbsentMs * int64_t{1000};
    Serve();
    return FStop ? DevsimSuccess : DevsimFailure;
}

} // namespace

int RunDevsimServer(const TDevsimOptions& options) {
    TServer server(options);
    return server.Run();
}
