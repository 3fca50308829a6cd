#pragma once
// TClientSocket: a non-blocking TCP client over a plain socket that reports through events.
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
// raised. Otherwise, with the code the handler left:
//   - a failed lookup or connect (and any error while not connected): the client
//     becomes inactive and "Asynchronous socket error <code>" is shown by the
//     exception report, after the current event has returned;
//   - a failure of a send or receive while connected: the connection is closed
//     (OnDisconnect), then "Windows socket error: <text> (<code>), on API '<api>'"
//     with the system text of the code and api "send" or "recv". When the failure
//     shows inside SendBuf or ReceiveBuf it is raised from that call as Exception
//     (so it ends the calling handler); otherwise it is shown by the report.
//
// Error codes are the Linux errno numbers the system call gave: connect's (through
// SO_ERROR) with kind eeConnect, e.g. 111 ECONNREFUSED, 101 ENETUNREACH, 110
// ETIMEDOUT (also when an address does not answer within TcpConnectTimeoutMs, the
// command line's connect time-out too, 10 s); send's and recv's with eeSend and
// eeReceive. When several addresses were tried, the last one's code. A host name
// that gives no address is kind eeLookup with 113 (EHOSTUNREACH).
// A remote end that closes, normally or with a reset (ECONNRESET, EPIPE), is not
// an error: it gives OnDisconnect only.
//
// The host name lookup runs on a thread of its own (a dotted IPv4 or IPv6
// address needs none); a client closed, reopened or destroyed meanwhile gets no
// result from it. Everything else runs on the main thread. An idle connection
// costs no wakeups: the socket is watched for writing only while bytes wait to go out.

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Object.h"

class QSocketNotifier;
class QTimer;
class TClientSocket;
struct TLookupJob;
struct TTcpAddress;

enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

// The connection of a client socket.
class TClientWinSocket : public TObject {
public:
    // True while connected.
    bool Connected() const;
    // Closes the connection: pending bytes are flushed (handed to the system as
    // far as it takes them without waiting; the rest is dropped), OnDisconnect is raised
    // (if it was connected) and the client becomes inactive before this returns.
    // A connect in progress is abandoned without events. Nothing when closed.
    void Close();
    // Sends count bytes: what the socket does not take at once is queued and
    // goes out as it can. Returns count; 0 when not connected (or count <= 0);
    // -1 when 1 MiB or more is already queued (would block). Raises Exception on a
    // send failure (after OnError and OnDisconnect) unless OnError handled it.
    int SendBuf(const void* buf, int count);
    // Sends the text's bytes as they are; same results as SendBuf.
    int SendText(const std::string& text);
    // Reads up to count bytes of those held into buf. Returns the number read;
    // 0 when not connected; -1 when no data is waiting.
    int ReceiveBuf(void* buf, int count);
    // Bytes held for reading; 0 when not connected.
    int ReceiveLength() const;
    // The peer's address as text and its port; "" and 0 when not connected.
    QString RemoteAddress() const;
    int RemotePort() const;

private:
    friend class TClientSocket;
    explicit TClientWinSocket(TClientSocket& client) : FClient(client) {}
    TClientSocket& FClient;
};

class TClientSocket : public QObject, public TObject {
    Q_OBJECT

public:
    // Inactive, host empty, port 0.
    explicit TClientSocket(QObject* parent = nullptr);
    // Closes an open connection without raising events; a lookup still running
    // finishes on its own and its result is dropped.
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

    // Received bytes held for ReceiveBuf at most; the rest waits in the system
    // (and holds the peer back through TCP) until ReceiveBuf makes room.
    static constexpr int ReadBufferBytes = 64 * 1024;

private:
    friend class TClientWinSocket;
    void StartLookup(const std::string& host, unsigned port);
    void LookupFinished(std::vector<TTcpAddress> addresses);
    // Stops waiting for a lookup that runs; its thread is joined once it ends.
    void CancelLookup();
    void BeginConnecting(std::vector<TTcpAddress> addresses);
    // Connects to the next address left; when none is left, the open fails with lastError.
    void ConnectNext(int lastError);
    void SocketWritable();
    void SocketReadable();
    // Sends what waits to go out as far as the socket takes it.
    void Flush();
    // A failure before the connection is made: ends the open and reports it.
    void OpenFailed(TErrorEvent kind, int code);
    // A failure of a connected socket in api ("send" or "recv").
    void ConnectionFailed(const char* api, int code);
    // Raises OnError; returns the code left by the handler (0: handled).
    int RaiseError(TErrorEvent kind, int code);
    // Ends the connection; raises OnDisconnect when it was active.
    void EndConnection(bool raiseEvents);
    void CloseSocket();

    QString FHost;
    int FPort = 0;
    bool FActive = false;
    bool FOpening = false;
    bool FConnectingRaised = false;
    // Changes whenever a connection (or an attempt) ends, so that work queued
    // for an earlier one, or an event handler that closed or reopened, is noticed.
    uint64_t FGeneration = 0;
    // Set while SendBuf runs, so a failure there is raised from the call.
    const char* FCallApi = nullptr;
    std::string FPendingCallError;

    int FFd = -1;
    QSocketNotifier* FReadNotifier;
    QSocketNotifier* FWriteNotifier;
    QTimer* FConnectTimer;
    std::vector<TTcpAddress> FAddresses; // of the lookup, tried in order
    size_t FNextAddress = 0;
    std::unique_ptr<TTcpAddress> FPeer;     // while a socket exists
    std::shared_ptr<TLookupJob> FLookupJob; // while a lookup runs for this client
    std::thread FLookupThread;
    std::vector<char> FHold; // received bytes [FHoldBegin, FHoldEnd)
    size_t FHoldBegin = 0, FHoldEnd = 0;
    std::string FOut; // bytes to send [FOutSent, end)
    size_t FOutSent = 0;
    TClientWinSocket FConnection;
};
