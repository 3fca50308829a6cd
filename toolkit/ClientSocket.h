#pragma once
// TClientSocket: a non-blocking TCP client over QTcpSocket that reports through events.
//
// Events, all on the main thread, each through the exception guard, Sender the client:
//   Open()      -> OnLookup     (the host name lookup starts; inside Open)
//               -> OnConnecting (the lookup is done, the connect begins)
//               -> OnConnect    (connected; Active() is true from here)
//   data        -> OnRead       (bytes are waiting; read them with Socket()->ReceiveBuf)
//   remote close, Socket()->Close(), Close()
//               -> OnDisconnect (once per connection; Active() is false from here)
//   a failure   -> OnError(kind, code), then the client's own error (below).
//
// The client's own error. OnError gets the kind and an error code by reference;
// a handler that sets the code to 0 marks the error handled and nothing more is
// raised. Otherwise:
//   - a failed lookup or connect (and any error while not connected): the client
//     becomes inactive and "Asynchronous socket error <code>" is shown by the
//     exception report, after the current event has returned;
//   - a failure of a send or receive while connected: the connection is closed
//     (OnDisconnect), then "Windows socket error: <text> (<code>), on API '<api>'"
//     with the system text of the code and api "send" or "recv". When the failure
//     shows inside SendBuf or ReceiveBuf it is raised from that call as Exception
//     (so it ends the calling handler); otherwise it is shown by the report.
//
// Error codes are the Linux errno numbers, by Qt's error kind:
//   ConnectionRefused 111 (ECONNREFUSED), HostNotFound 113 (EHOSTUNREACH),
//   SocketTimeout 110 (ETIMEDOUT), Network 101 (ENETUNREACH), SocketAccess 13 (EACCES),
//   SocketResource 105 (ENOBUFS), AddressInUse 98 (EADDRINUSE),
//   SocketAddressNotAvailable 99 (EADDRNOTAVAIL), UnsupportedSocketOperation 95 (EOPNOTSUPP),
//   DatagramTooLarge 90 (EMSGSIZE), Proxy* 71 (EPROTO), Operation 22 (EINVAL),
//   Temporary 11 (EAGAIN), anything else 5 (EIO).
// A remote end that closes normally is not an error: it gives OnDisconnect only.

#include <QObject>
#include <QString>
#include <functional>
#include <string>

#include "base/Object.h"

class QTcpSocket;
class TClientSocket;

enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

// The connection of a client socket.
class TClientWinSocket : public TObject {
public:
    // True while connected.
    bool Connected() const;
    // Closes the connection: pending bytes are flushed, OnDisconnect is raised
    // (if it was connected) and the client becomes inactive before this returns.
    // A connect in progress is abandoned without events. Nothing when closed.
    void Close();
    // Sends count bytes. Returns count; 0 when not connected (or count <= 0);
    // -1 when the outgoing buffer is full (would block). Raises Exception on a
    // send failure (after OnError and OnDisconnect) unless OnError handled it.
    int SendBuf(const void* buf, int count);
    // Sends the text's bytes as they are; same results as SendBuf.
    int SendText(const std::string& text);
    // Reads up to count bytes into buf. Returns the number read; 0 when not
    // connected; -1 when no data is waiting.
    int ReceiveBuf(void* buf, int count);
    // Bytes waiting to be read; 0 when not connected.
    int ReceiveLength() const;
    QString RemoteAddress() const;
    int RemotePort() const;

    // The Qt socket underneath (for tests and diagnostics).
    QTcpSocket* Handle() const { return FSocket; }

private:
    friend class TClientSocket;
    explicit TClientWinSocket(TClientSocket& client, QTcpSocket* socket) : FClient(client), FSocket(socket) {}
    TClientSocket& FClient;
    QTcpSocket* FSocket;
};

class TClientSocket : public QObject, public TObject {
    Q_OBJECT

public:
    // Inactive, host empty, port 0.
    explicit TClientSocket(QObject* parent = nullptr);
    // Closes an open connection without raising events.
    ~TClientSocket() override;

    QString Host() const { return FHost; }
    // Takes effect at the next Open; a dotted address or a host name.
    void SetHost(const QString& host) { FHost = host; }
    int Port() const { return FPort; }
    // Takes effect at the next Open; only the low 16 bits are used.
    void SetPort(int port) { FPort = port; }

    // True from OnConnect to OnDisconnect.
    bool Active() const { return FActive; }
    // Starts a connection to Host:Port and returns at once (first closing a
    // connection that exists, with its OnDisconnect). OnLookup is raised inside.
    void Open();
    // Same as Socket()->Close().
    void Close();

    TClientWinSocket* Socket() { return &FConnection; }

    using TSocketNotifyEvent = std::function<void(TObject* Sender, TClientWinSocket* Socket)>;
    using TSocketErrorEvent = std::function<void(TObject* Sender, TClientWinSocket* Socket,
                                                 TErrorEvent& ErrorEvent, int& ErrorCode)>;
    TSocketNotifyEvent OnLookup;
    TSocketNotifyEvent OnConnecting;
    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnDisconnect;
    TSocketNotifyEvent OnRead;
    TSocketErrorEvent OnError;

    // Received bytes held for ReceiveBuf at most; the rest waits in the system.
    static constexpr int ReadBufferBytes = 64 * 1024;

    // The errno-like code of a Qt socket error kind (see the table above).
    static int ErrorCodeOf(int qtSocketError);

private:
    friend class TClientWinSocket;
    void SocketStateChanged(int state);
    void SocketConnected();
    void SocketDisconnected();
    void SocketReadyRead();
    void SocketError(int qtSocketError);
    // Raises OnError; returns the code left by the handler (0: handled).
    int RaiseError(TErrorEvent kind, int code);
    // Ends the connection; raises OnDisconnect when it was active.
    void EndConnection(bool raiseEvents);

    QString FHost;
    int FPort = 0;
    bool FActive = false;
    bool FOpening = false;
    bool FConnectingRaised = false;
    // Set while SendBuf/ReceiveBuf are inside Qt, so a failure there is raised from the call.
    const char* FCallApi = nullptr;
    std::string FPendingCallError;
    QTcpSocket* FSocket;
    TClientWinSocket FConnection;
};
