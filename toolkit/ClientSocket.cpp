#include "toolkit/ClientSocket.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTcpSocket>
#include <cerrno>
#include <cstring>

#include "base/Exception.h"
#include "toolkit/ExceptionReport.h"

namespace {

// Bytes queued for sending beyond which SendBuf reports that it would block.
constexpr qint64 MaxPendingSend = 1 << 20;

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

} // namespace

// ---- TClientWinSocket ----

bool TClientWinSocket::Connected() const {
    return FClient.FActive && FSocket->state() == QAbstractSocket::ConnectedState;
}

void TClientWinSocket::Close() {
    FClient.EndConnection(true);
}

int TClientWinSocket::SendBuf(const void* buf, int count) {
    if (!Connected() || !buf || count <= 0) return 0;
    if (FSocket->bytesToWrite() >= MaxPendingSend) return -1;
    FClient.FCallApi = "send";
    FClient.FPendingCallError.clear();
    bool failed = false;
    const qint64 written = FSocket->write(static_cast<const char*>(buf), count);
    if (written < 0)
        failed = true;
    else
        FSocket->flush();
    FClient.FCallApi = nullptr;
    // Raised here, after Qt has returned, so it ends the caller's handler only.
    if (!FClient.FPendingCallError.empty()) throw Exception(std::exchange(FClient.FPendingCallError, {}));
    if (failed || !Connected()) return written > 0 ? static_cast<int>(written) : -1;
    return static_cast<int>(written);
}

int TClientWinSocket::SendText(const std::string& text) {
    return SendBuf(text.data(), static_cast<int>(text.size()));
}

int TClientWinSocket::ReceiveBuf(void* buf, int count) {
    if (!Connected()) return 0;
    if (!buf || count <= 0) return 0;
    if (FSocket->bytesAvailable() <= 0) return -1;
    FClient.FCallApi = "recv";
    FClient.FPendingCallError.clear();
    const qint64 got = FSocket->read(static_cast<char*>(buf), count);
    FClient.FCallApi = nullptr;
    if (!FClient.FPendingCallError.empty()) throw Exception(std::exchange(FClient.FPendingCallError, {}));
    return got < 0 ? -1 : static_cast<int>(got);
}

int TClientWinSocket::ReceiveLength() const {
    return Connected() ? static_cast<int>(FSocket->bytesAvailable()) : 0;
}

QString TClientWinSocket::RemoteAddress() const {
    return FSocket->peerAddress().toString();
}

int TClientWinSocket::RemotePort() const {
    return FSocket->peerPort();
}

// ---- TClientSocket ----

TClientSocket::TClientSocket(QObject* parent)
    : QObject(parent), FSocket(new QTcpSocket(this)), FConnection(*this, FSocket) {
    // A peer that sends faster than the program reads is held back by TCP
    // itself instead of filling this process's memory.
    FSocket->setReadBufferSize(ReadBufferBytes);
    connect(FSocket, &QAbstractSocket::stateChanged, this,
            [this](QAbstractSocket::SocketState state) { SocketStateChanged(state); });
    connect(FSocket, &QAbstractSocket::connected, this, [this] { SocketConnected(); });
    connect(FSocket, &QAbstractSocket::disconnected, this, [this] { SocketDisconnected(); });
    connect(FSocket, &QIODevice::readyRead, this, [this] { SocketReadyRead(); });
    connect(FSocket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) { SocketError(error); });
}

TClientSocket::~TClientSocket() {
    // No event may reach a client that is going away.
    disconnect(FSocket, nullptr, this, nullptr);
    FActive = false;
    FSocket->abort();
}

void TClientSocket::Open() {
    if (FActive || FOpening || FSocket->state() != QAbstractSocket::UnconnectedState) EndConnection(true);
    FOpening = true;
    FConnectingRaised = false;
    FireEvent(OnLookup, this, &FConnection);
    if (!FOpening) return; // the lookup handler closed the client again
    // The port is a 16-bit number on the wire; higher bits are dropped.
    FSocket->connectToHost(FHost, static_cast<quint16>(FPort));
}

void TClientSocket::Close() {
    EndConnection(true);
}

void TClientSocket::EndConnection(bool raiseEvents) {
    const bool wasActive = FActive;
    FActive = false;
    FOpening = false;
    if (FSocket->state() != QAbstractSocket::UnconnectedState) {
        if (wasActive) FSocket->flush();
        FSocket->abort();
    }
    if (wasActive && raiseEvents) FireEvent(OnDisconnect, this, &FConnection);
}

void TClientSocket::SocketStateChanged(int state) {
    // Once per Open, although Qt enters this state again for each address of a host name.
    if (state != QAbstractSocket::ConnectingState || !FOpening || FConnectingRaised) return;
    FConnectingRaised = true;
    FireEvent(OnConnecting, this, &FConnection);
}

void TClientSocket::SocketConnected() {
    FOpening = false;
    FActive = true;
    FireEvent(OnConnect, this, &FConnection);
}

void TClientSocket::SocketDisconnected() {
    FOpening = false;
    if (!FActive) return;
    FActive = false;
    FireEvent(OnDisconnect, this, &FConnection);
}

void TClientSocket::SocketReadyRead() {
    if (FActive) FireEvent(OnRead, this, &FConnection);
}

int TClientSocket::RaiseError(TErrorEvent kind, int code) {
    FireEvent(OnError, this, &FConnection, kind, code);
    return code;
}

void TClientSocket::SocketError(int qtSocketError) {
    // A normal close by the other end; disconnected() follows.
    if (qtSocketError == QAbstractSocket::RemoteHostClosedError) return;
    const int code = ErrorCodeOf(qtSocketError);

    if (!FActive) {
        const TErrorEvent kind = qtSocketError == QAbstractSocket::HostNotFoundError ? eeLookup : eeConnect;
        FOpening = false;
        if (RaiseError(kind, code) == 0) return;
        // Shown from the event loop: a modal box must not run inside Qt's socket code.
        ReportLater(AsyncErrorMessage(code));
        return;
    }

    const char* api = FCallApi ? FCallApi : "recv";
    const int left = RaiseError(std::strcmp(api, "send") == 0 ? eeSend : eeReceive, code);
    EndConnection(true);
    if (left == 0) return;
    const std::string message = CallErrorMessage(left, api);
    if (FCallApi) {
        FPendingCallError = message;
    } else {
        QMetaObject::invokeMethod(
            this, [message] { ReportException(message); }, Qt::QueuedConnection);
    }
}

int TClientSocket::ErrorCodeOf(int qtSocketError) {
    switch (static_cast<QAbstractSocket::SocketError>(qtSocketError)) {
    case QAbstractSocket::ConnectionRefusedError:
        return ECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError:
        return ECONNRESET;
    case QAbstractSocket::HostNotFoundError:
        return EHOSTUNREACH;
    case QAbstractSocket::SocketTimeoutError:
        return ETIMEDOUT;
    case QAbstractSocket::NetworkError:
        return ENETUNREACH;
    case QAbstractSocket::SocketAccessError:
        return EACCES;
    case QAbstractSocket::SocketResourceError:
        return ENOBUFS;
    case QAbstractSocket::AddressInUseError:
        return EADDRINUSE;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return EADDRNOTAVAIL;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return EOPNOTSUPP;
    case QAbstractSocket::DatagramTooLargeError:
        return EMSGSIZE;
    case QAbstractSocket::ProxyAuthenticationRequiredError:
    case QAbstractSocket::ProxyConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionClosedError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
    case QAbstractSocket::ProxyNotFoundError:
    case QAbstractSocket::ProxyProtocolError:
        return EPROTO;
    case QAbstractSocket::OperationError:
        return EINVAL;
    case QAbstractSocket::TemporaryError:
        return EAGAIN;
    default:
        return EIO;
    }
}
