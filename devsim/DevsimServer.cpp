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
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <random>

#include "devsim/FrameReassembler.h"
#include "protocol/HexText.h"

namespace {

constexpr size_t ReadChunk = 4096;
constexpr size_t OutLimit = 1 << 20; // bytes queued for a client that does not read
constexpr size_t ShownBytes = 64;    // bytes shown in full on a log line

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

std::string Hex(const std::vector<uint8_t>& bytes) {
    const size_t shown = std::min(bytes.size(), ShownBytes);
    std::string text = FormatFrameHex(bytes.data(), shown);
    if (!text.empty()) text.pop_back();
    if (shown < bytes.size()) text += " ... (" + std::to_string(bytes.size()) + " bytes)";
    return text;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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

struct TConnection {
    int Key = 0;
    std::string Name;
    int Fd = -1;
    bool Pty = false;
    TFrameReassembler Reader;
    std::vector<uint8_t> Out;
    bool OutFullReported = false;
};

struct TPendingPart {
    int64_t DueMs = 0;
    int Key = 0;
    std::vector<uint8_t> Bytes;
    std::string Note;
};

class TServer {
public:
    explicit TServer(const TDevsimOptions& options)
        : FOptions(options), FRandom(options.Seed ? *options.Seed : std::random_device{}()) {
        FState.Eln = ElnBytes(options.Eln);
    }
    ~TServer();
    int Run();

private:
    int OpenSignals();
    int OpenListener();
    int OpenPty();
    void Serve();
    void Accept();
    void Receive(TConnection& connection);
    void Handle(TConnection& connection, TReassemblyEvent& event);
    void Queue(TConnection& connection, std::vector<uint8_t> bytes, const std::string& note);
    void Flush(TConnection& connection);
    void Close(int key);
    void FireTimers();
    TConnection* Find(int key);

    TDevsimOptions FOptions;
    std::mt19937 FRandom;
    TDeviceState FState;
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
};

TServer::~TServer() {
    for (TConnection& c : FConnections)
        close(c.Fd);
    if (FPtySlave >= 0) close(FPtySlave);
    if (FListenFd >= 0) close(FListenFd);
    if (FSignalFd >= 0) close(FSignalFd);
    if (FLinked) {
        // Only our own link: another run may have put its own there meanwhile.
        char target[4096];
        const ssize_t n = readlink(FOptions.LinkPath.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<size_t>(n)) == FPtyPath)
            unlink(FOptions.LinkPath.c_str());
    }
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
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                ErrorLine("cannot accept a TCP client: " + ErrnoText(errno));
            return;
        }
        FConnections.emplace_back();
        TConnection& c = FConnections.back();
        c.Key = FNextTcp++;
        c.Name = "tcp#" + std::to_string(c.Key);
        c.Fd = fd;
        Line("conn " + c.Name + " from " + AddressText(peer));
    }
}

void TServer::Close(int key) {
    if (std::find(FClosing.begin(), FClosing.end(), key) == FClosing.end()) FClosing.push_back(key);
}

void TServer::Receive(TConnection& c) {
    uint8_t buffer[ReadChunk];
    const ssize_t n = read(c.Fd, buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        if (!c.Pty) {
            Line("disc " + c.Name + " (" + ErrnoText(errno) + ")");
            Close(c.Key);
        }
        return;
    }
    if (n == 0) {
        if (!c.Pty) {
            Line("disc " + c.Name);
            Close(c.Key);
        }
        return;
    }
    for (TReassemblyEvent& event : c.Reader.Feed(buffer, static_cast<size_t>(n)))
        Handle(c, event);
}

void TServer::Handle(TConnection& c, TReassemblyEvent& event) {
    const std::string tail = " | " + Hex(event.Bytes);
    switch (event.Kind) {
    case TReassemblyEvent::TKind::Skipped:
        Line("rx " + c.Name + " " + event.Text + tail);
        return;
    case TReassemblyEvent::TKind::BadCrc:
        Line("rx " + c.Name + " " + event.Text + " (no answer)" + tail);
        return;
    case TReassemblyEvent::TKind::Frame:
        break;
    }
    Line("rx " + c.Name + " " + DescribeFrame(event.Frame, event.Encrypted) + tail);
    std::vector<TReplyPart> parts = ApplyFaults(BuildReply(event.Frame, FState), FOptions.Faults, FRandom);
    const int64_t now = NowMs();
    for (size_t k = 0; k < parts.size(); ++k) {
        std::string note = FOptions.Faults.GarbageBytes >= 0 ? "garbage" : "";
        if (parts.size() > 1)
            note += (note.empty() ? "" : ", ") + std::string("part ") + std::to_string(k + 1) + " of " +
                    std::to_string(parts.size());
        if (parts[k].AtMs == 0)
            Queue(c, std::move(parts[k].Bytes), note);
        else
            FPending.push_back({now + parts[k].AtMs, c.Key, std::move(parts[k].Bytes), note});
    }
}

void TServer::Queue(TConnection& c, std::vector<uint8_t> bytes, const std::string& note) {
    Line("tx " + c.Name + " " + std::to_string(bytes.size()) + " bytes" +
         (note.empty() ? "" : " (" + note + ")") + " | " + Hex(bytes));
    if (c.Out.size() + bytes.size() > OutLimit) {
        if (!c.OutFullReported)
            ErrorLine("warning: " + c.Name + " reads nothing; answers beyond " + std::to_string(OutLimit) +
                      " queued bytes are dropped");
        c.OutFullReported = true;
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
            Line("disc " + c.Name + " (" + ErrnoText(errno) + ")");
            Close(c.Key);
            c.Out.clear();
            return;
        }
        c.Out.erase(c.Out.begin(), c.Out.begin() + n);
        c.OutFullReported = false;
    }
}

void TServer::FireTimers() {
    const int64_t now = NowMs();
    // Stable: parts due at the same time go out in the order they were scheduled.
    std::vector<TPendingPart> due;
    auto split = std::stable_partition(FPending.begin(), FPending.end(),
                                       [now](const TPendingPart& p) { return p.DueMs > now; });
    due.assign(std::make_move_iterator(split), std::make_move_iterator(FPending.end()));
    FPending.erase(split, FPending.end());
    std::stable_sort(due.begin(), due.end(),
                     [](const TPendingPart& a, const TPendingPart& b) { return a.DueMs < b.DueMs; });
    for (TPendingPart& part : due)
        if (TConnection* c = Find(part.Key)) Queue(*c, std::move(part.Bytes), part.Note);
}

void TServer::Serve() {
    std::vector<pollfd> fds;
    std::vector<int> keys; // the connection of fds[k], -1 for the signal and listen descriptors
    while (!FStop) {
        fds.clear();
        keys.clear();
        fds.push_back({FSignalFd, POLLIN, 0});
        keys.push_back(-1);
        if (FListenFd >= 0) {
            fds.push_back({FListenFd, POLLIN, 0});
            keys.push_back(-1);
        }
        for (const TConnection& c : FConnections) {
            fds.push_back({c.Fd, static_cast<short>(POLLIN | (c.Out.empty() ? 0 : POLLOUT)), 0});
            keys.push_back(c.Key);
        }
        int timeout = -1;
        if (!FPending.empty()) {
            int64_t next = FPending.front().DueMs;
            for (const TPendingPart& p : FPending)
                next = std::min(next, p.DueMs);
            timeout = static_cast<int>(std::clamp<int64_t>(next - NowMs(), 0, 3600000));
        }
        if (poll(fds.data(), fds.size(), timeout) < 0) {
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
            if (fds[k].revents & POLLOUT) Flush(*c);
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) Receive(*c);
        }
        FireTimers();
        for (int key : FClosing) {
            FPending.erase(std::remove_if(FPending.begin(), FPending.end(),
                                          [key](const TPendingPart& p) { return p.Key == key; }),
                           FPending.end());
            FConnections.remove_if([key](TConnection& c) {
                if (c.Key != key) return false;
                close(c.Fd);
                return true;
            });
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
    if (FOptions.Pty) {
        if (const int rc = OpenPty(); rc != DevsimSuccess) return rc;
    }
    Serve();
    return FStop ? DevsimSuccess : DevsimFailure;
}

} // namespace

int RunDevsimServer(const TDevsimOptions& options) {
    TServer server(options);
    return server.Run();
}
