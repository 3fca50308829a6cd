#include "toolkit/ClientSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/Exception.h"
#include "comm/TcpConnect.h"
#include "toolkit/ExceptionReport.h"
#include "toolkit/QtMainThreadPoster.h"

// What a lookup thread shares with its client.
struct TLookupJob {
    std::mutex Mutex;
    TClientSocket* Client = nullptr; // under Mutex; cleared when the client stops waiting
    std::atomic<bool> Done{false};
};

namespace {

// Bytes queued for sending beyond which SendBuf reports that it would block.
constexpr size_t MaxPendingSend = 1 << 20;

std::string AsyncErrorMessage(int code) {
    return FormatErrorNumber("Asynchronous socket error %d", code);
}

std::string CallErrorMessage(int code, const char* api) {
    return "Windows socket error: " + std::string(std::strerror(code)) + " (" + std::to_string(code) +
           "), on API '" + api + "'";
}

// Reported from the event loop, even if the client is gone by then.
void ReportLater(const std::string& message) {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [message] { ReportException(message); }, Qt::QueuedConnection);
}

// Lookups whose client stopped waiting. getaddrinfo cannot be interrupted, so
// their threads are joined once they have ended (checked whenever a lookup
// starts) or, for one still running, at exit. Main thread only.
class TRetiredLookups {
public:
    ~TRetiredLookups() {
        for (TRetired& r : FRetired)
            r.Thread.join();
    }
    void Add(std::thread thread, std::shared_ptr<TLookupJob> job) {
        Reap();
        FRetired.push_back({std::move(thread), std::move(job)});
    }
    void Reap() {
        std::erase_if(FRetired, [](TRetired& r) {
            if (!r.Job->Done) return false;
            r.Thread.join();
            return true;
        });
    }

private:
    struct TRetired {
        std::thread Thread;
        std::shared_ptr<TLookupJob> Job;
    };
    std::vector<TRetired> FRetired;
};

TRetiredLookups& RetiredLookups() {
    static TRetiredLookups retired;
    return retired;
}

} // namespace

// ---- TClientWinSocket ----

bool TClientWinSocket::Connected() const {
    return FClient.FActive && FClient.FFd >= 0;
}

void TClientWinSocket::Close() {
    FClient.EndConnection(true);
}

int TClientWinSocket::SendBuf(const void* buf, int count) {
    if (!Connected() || !buf || count <= 0) return 0;
    TClientSocket& c = FClient;
    if (c.FOut.size() - c.FOutSent >= MaxPendingSend) return -1;
    if (c.FOutSent > 0) {
        c.FOut.erase(0, c.FOutSent);
        c.FOutSent = 0;
    }
    c.FOut.append(static_cast<const char*>(buf), static_cast<size_t>(count));
    c.FCallApi = "send";
    c.FPendingCallError.clear();
    c.Flush();
    c.FCallApi = nullptr;
    // Raised here, after the events, so it ends the caller's handler only.
    if (!c.FPendingCallError.empty()) throw Exception(std::exchange(c.FPendingCallError, {}));
    return count;
}

int TClientWinSocket::SendText(const std::string& text) {
    return SendBuf(text.data(), static_cast<int>(text.size()));
}

int TClientWinSocket::ReceiveBuf(void* buf, int count) {
    if (!Connected()) return 0;
    if (!buf || count <= 0) return 0;
    TClientSocket& c = FClient;
    const size_t n = std::min(c.FHoldEnd - c.FHoldBegin, static_cast<size_t>(count));
    if (n == 0) return -1;
    std::memcpy(buf, c.FHold.data() + c.FHoldBegin, n);
    c.FHoldBegin += n;
    if (c.FHoldBegin == c.FHoldEnd) c.FHoldBegin = c.FHoldEnd = 0;
    // There is room again: bytes left waiting in the system are announced anew.
    c.FReadNotifier->setEnabled(true);
    return static_cast<int>(n);
}

int TClientWinSocket::ReceiveLength() const {
    return Connected() ? static_cast<int>(FClient.FHoldEnd - FClient.FHoldBegin) : 0;
}

QString TClientWinSocket::RemoteAddress() const {
    if (!Connected() || !FClient.FPeer) return {};
    const sockaddr_storage& a = FClient.FPeer->Address;
    char text[INET6_ADDRSTRLEN] = {};
    const void* raw = a.ss_family == AF_INET6
                          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr)
                          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in&>(a).sin_addr);
    if (!inet_ntop(a.ss_family, raw, text, sizeof text)) return {};
    return QString::fromLatin1(text);
}

int TClientWinSocket::RemotePort() const {
    if (!Connected() || !FClient.FPeer) return 0;
    const sockaddr_storage& a = FClient.FPeer->Address;
    return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a).sin6_port
                                         : reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

// ---- TClientSocket ----

TClientSocket::TClientSocket(QObject* parent)
    : QObject(parent), FReadNotifier(new QSocketNotifier(QSocketNotifier::Read, this)),
      FWriteNotifier(new QSocketNotifier(QSocketNotifier::Write, this)), FConnectTimer(new QTimer(this)),
      FConnection(*this) {
    FReadNotifier->setEnabled(false);
    FWriteNotifier->setEnabled(false);
    FConnectTimer->setSingleShot(true);
    // An address that does not answer is given up after this long, and the next one tried.
    FConnectTimer->setInterval(TcpConnectTimeoutMs);
    connect(FReadNotifier, &QSocketNotifier::activated, this, Guarded([this] { SocketReadable(); }));
    connect(FWriteNotifier, &QSocketNotifier::activated, this, Guarded([this] { SocketWritable(); }));
    connect(FConnectTimer, &QTimer::timeout, this, Guarded([this] {
                if (!FOpening || FFd < 0) return;
                CloseSocket();
                ConnectNext(ETIMEDOUT);
            }));
}

TClientSocket::~TClientSocket() {
    // No event may reach a client that is going away.
    FActive = false;
    EndConnection(false);
}

void TClientSocket::Open() {
    if (FActive || FOpening || FFd >= 0) EndConnection(true);
    FOpening = true;
    FConnectingRaised = false;
    const uint64_t generation = ++FGeneration;
    FireEvent(OnLookup, this, &FConnection);
    if (!FOpening || generation != FGeneration) return; // the lookup handler closed or reopened
    const std::string host = FHost.toStdString();
    // The port is a 16-bit number on the wire; higher bits are dropped.
    const unsigned port = static_cast<unsigned>(FPort) & 0xFFFF;
    std::vector<TTcpAddress> literal = ResolveTcpAddressLiteral(host, port);
    if (literal.empty()) {
        StartLookup(host, port);
        return;
    }
    // The connect starts from the event loop, as it does after a lookup.
    QMetaObject::invokeMethod(this, Guarded([this, generation, literal = std::move(literal)]() mutable {
                                  if (FOpening && generation == FGeneration)
                                      BeginConnecting(std::move(literal));
                              }),
                              Qt::QueuedConnection);
}

void TClientSocket::Close() {
    EndConnection(true);
}

void TClientSocket::StartLookup(const std::string& host, unsigned port) {
    RetiredLookups().Reap();
    auto job = std::make_shared<TLookupJob>();
    job->Client = this;
    try {
        FLookupThread = std::thread([job, host, port] {
            // The client's error carries a code, not words: the reason is not kept.
            std::string reason;
            std::vector<TTcpAddress> addresses = ResolveTcpHost(host, port, reason);
            {
                // A client that stopped waiting is never touched, nor is Qt, which
                // may be shutting down by then.
                std::lock_guard lock(job->Mutex);
                if (job->Client)
                    TQtMainThreadPoster().Post([job, addresses = std::move(addresses)]() mutable {
                        TClientSocket* client;
                        {
                            std::lock_guard lock(job->Mutex);
                            client = job->Client;
                        }
                        if (client) client->LookupFinished(std::move(addresses));
                    });
            }
            job->Done = true;
        });
    } catch (const std::system_error& e) {
        OpenFailed(eeLookup, e.code().value());
        return;
    }
    FLookupJob = std::move(job);
}

void TClientSocket::LookupFinished(std::vector<TTcpAddress> addresses) {
    // The thread's last step follows the post that brought us here.
    FLookupThread.join();
    FLookupJob.reset();
    if (!FOpening) return;
    if (addresses.empty()) {
        OpenFailed(eeLookup, EHOSTUNREACH);
        return;
    }
    BeginConnecting(std::move(addresses));
}

void TClientSocket::CancelLookup() {
    if (!FLookupJob) return;
    {
        std::lock_guard lock(FLookupJob->Mutex);
        FLookupJob->Client = nullptr;
    }
    if (FLookupJob->Done)
        FLookupThread.join();
    else
        RetiredLookups().Add(std::move(FLookupThread), FLookupJob);
    FLookupJob.reset();
}

void TClientSocket::BeginConnecting(std::vector<TTcpAddress> addresses) {
    FAddresses = std::move(addresses);
    FNextAddress = 0;
    if (!FConnectingRaised) {
        FConnectingRaised = true;
        const uint64_t generation = FGeneration;
        FireEvent(OnConnecting, this, &FConnection);
        if (!FOpening || generation != FGeneration) return;
    }
    ConnectNext(ECONNREFUSED);
}

void TClientSocket::ConnectNext(int lastError) {
    while (FNextAddress < FAddresses.size()) {
        const TTcpAddress& address = FAddresses[FNextAddress++];
        int error = 0;
        const int fd = StartTcpConnect(address, error);
        if (fd < 0) {
            lastError = error;
            continue;
        }
        // Connected at once or not, the outcome shows as writability.
        FFd = fd;
        FPeer = std::make_unique<TTcpAddress>(address);
        FReadNotifier->setSocket(fd);
        FWriteNotifier->setSocket(fd);
        FWriteNotifier->setEnabled(true);
        FConnectTimer->start();
        return;
    }
    OpenFailed(eeConnect, lastError);
}

void TClientSocket::SocketWritable() {
    if (FFd < 0) return;
    if (FActive) {
        Flush();
        return;
    }
    if (!FOpening) return;
    FConnectTimer->stop();
    const int error = FinishTcpConnect(FFd);
    if (error != 0) {
        CloseSocket();
        ConnectNext(error);
        return;
    }
    FWriteNotifier->setEnabled(false);
    FReadNotifier->setEnabled(true);
    FAddresses.clear();
    FOpening = false;
    FActive = true;
    FireEvent(OnConnect, this, &FConnection);
}

void TClientSocket::SocketReadable() {
    if (!FActive || FFd < 0) return;
    // Taken at the first read, so that a window that never uses TCP does not carry it.
    if (FHold.empty()) FHold.resize(ReadBufferBytes);
    if (FHoldBegin > 0) {
        std::memmove(FHold.data(), FHold.data() + FHoldBegin, FHoldEnd - FHoldBegin);
        FHoldEnd -= FHoldBegin;
        FHoldBegin = 0;
    }
    const size_t room = FHold.size() - FHoldEnd;
    if (room == 0) {
        // Full: the rest stays in the system until ReceiveBuf makes room.
        FReadNotifier->setEnabled(false);
        return;
    }
    ssize_t got;
    do
        got = recv(FFd, FHold.data() + FHoldEnd, room, 0);
    while (got < 0 && errno == EINTR);
    if (got > 0) {
        FHoldEnd += static_cast<size_t>(got);
        if (FHoldEnd == FHold.size()) FReadNotifier->setEnabled(false);
        FireEvent(OnRead, this, &FConnection);
        return;
    }
    const int error = got < 0 ? errno : 0;
    if (error == EAGAIN || error == EWOULDBLOCK) return;
    // The end of the stream, or a reset: the peer has gone, which is no error.
    if (error == 0 || error == ECONNRESET) {
        EndConnection(true);
        return;
    }
    ConnectionFailed("recv", error);
}

void TClientSocket::Flush() {
    while (FOutSent < FOut.size()) {
        const ssize_t sent = send(FFd, FOut.data() + FOutSent, FOut.size() - FOutSent, MSG_NOSIGNAL);
        if (sent > 0) {
            FOutSent += static_cast<size_t>(sent);
            continue;
        }
        const int error = sent < 0 ? errno : EAGAIN;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) break;
        if (error == EPIPE || error == ECONNRESET)
            EndConnection(true);
        else
            ConnectionFailed("send", error);
        return;
    }
    if (FOutSent == FOut.size()) {
        FOut.clear();
        FOutSent = 0;
    }
    // Watched for writing only while something waits, so an idle link costs nothing.
    FWriteNotifier->setEnabled(FOutSent < FOut.size());
}

int TClientSocket::RaiseError(TErrorEvent kind, int code) {
    FireEvent(OnError, this, &FConnection, kind, code);
    return code;
}

void TClientSocket::OpenFailed(TErrorEvent kind, int code) {
    EndConnection(false);
    const int left = RaiseError(kind, code);
    if (left == 0) return;
    // Shown from the event loop: a modal box must not run inside the socket's own handling.
    ReportLater(AsyncErrorMessage(left));
}

void TClientSocket::ConnectionFailed(const char* api, int code) {
    const bool inCall = FCallApi != nullptr;
    const uint64_t generation = FGeneration;
    const int left = RaiseError(std::strcmp(api, "send") == 0 ? eeSend : eeReceive, code);
    if (generation == FGeneration) EndConnection(true);
    if (left == 0) return;
    const std::string message = CallErrorMessage(left, api);
    if (inCall) {
        FPendingCallError = message;
    } else {
        QMetaObject::invokeMethod(
            this, [message] { ReportException(message); }, Qt::QueuedConnection);
    }
}

void TClientSocket::EndConnection(bool raiseEvents) {
    const bool wasActive = FActive;
    FActive = false;
    FOpening = false;
    ++FGeneration;
    CancelLookup();
    FConnectTimer->stop();
    if (FFd >= 0) {
        // What the socket takes now still goes out; the rest is dropped with the connection.
        if (wasActive)
            while (FOutSent < FOut.size()) {
                const ssize_t sent = send(FFd, FOut.data() + FOutSent, FOut.size() - FOutSent, MSG_NOSIGNAL);
                if (sent < 0 && errno == EINTR) continue;
                if (sent <= 0) break;
                FOutSent += static_cast<size_t>(sent);
            }
        CloseSocket();
    }
    FOut.clear();
    FOutSent = 0;
    FHoldBegin = FHoldEnd = 0;
    FAddresses.clear();
    if (wasActive && raiseEvents) FireEvent(OnDisconnect, this, &FConnection);
}

void TClientSocket::CloseSocket() {
    FReadNotifier->setEnabled(false);
    FWriteNotifier->setEnabled(false);
    ::close(FFd);
    FFd = -1;
    FPeer.reset();
}
