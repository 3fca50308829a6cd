#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "comm/TcpConnect.h"
#include "tests/toolkit/TestSupport.h"
#include "toolkit/ClientSocket.h"

namespace {

// False on a machine without /etc/hosts, where even localhost is unknown.
bool LocalhostResolves() {
    std::string error;
    return !ResolveTcpHost("localhost", 1, error).empty();
}

// A client whose every event is written to Log, with Active() as it was then.
class ClientSocketTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Server.listen(QHostAddress::LocalHost));
        Client.SetHost("127.0.0.1");
        Client.SetPort(Server.serverPort());
        auto note = [this](const char* name) {
            return [this, name](TObject* sender, TClientWinSocket* socket) {
                EXPECT_EQ(sender, &Client);
                EXPECT_EQ(socket, Client.Socket());
                Log.push_back(std::string(name) + (Client.Active() ? " active" : " inactive"));
            };
        };
        Client.OnLookup = note("lookup");
        Client.OnConnecting = note("connecting");
        Client.OnConnect = note("connect");
        Client.OnDisconnect = note("disconnect");
        Client.OnRead = note("read");
        Client.OnError = [this](TObject*, TClientWinSocket*, TErrorEvent& kind, int& code) {
            Log.push_back("error " + std::to_string(kind) + " " + std::to_string(code));
            code = ErrorCodeLeft.value_or(code);
        };
    }

    // Opens the client and returns the server's end of the connection.
    QTcpSocket* Connect() {
        Client.Open();
        if (!WaitUntil([this] { return Client.Active() && Server.hasPendingConnections(); })) return nullptr;
        return Server.nextPendingConnection();
    }

    std::vector<std::string> Log;
    std::optional<int> ErrorCodeLeft;
    TReportRecorder Reports{&Log};
    QTcpServer Server;
    TClientSocket Client;
};

TEST_F(ClientSocketTest, OpenRaisesLookupConnectingConnectAndBecomesActive) {
    Client.Open();
    EXPECT_FALSE(Client.Active());
    ASSERT_FALSE(Log.empty());
    EXPECT_EQ(Log.front(), "lookup inactive"); // raised inside Open
    ASSERT_TRUE(WaitUntil([this] { return Client.Active(); }));
    EXPECT_EQ(Log, (std::vector<std::string>{"lookup inactive", "connecting inactive", "connect active"}));
    EXPECT_TRUE(Client.Socket()->Connected());
}

TEST_F(ClientSocketTest, SendAndReceiveCountBytes) {
    QTcpSocket* remote = Connect();
    ASSERT_NE(remote, nullptr);

    EXPECT_EQ(Client.Socket()->SendBuf("\x24\x00\xFF", 3), 3);
    EXPECT_EQ(Client.Socket()->SendBuf("x", 0), 0);
    ASSERT_TRUE(WaitUntil([&] { return remote->bytesAvailable() == 3; }));
    EXPECT_EQ(remote->readAll(), QByteArray("\x24\x00\xFF", 3));

    remote->write("hello");
    ASSERT_TRUE(WaitUntil([&] { return Client.Socket()->ReceiveLength() == 5; }));
    EXPECT_EQ(Log.back(), "read active");
    char buf[1024];
    EXPECT_EQ(Client.Socket()->ReceiveBuf(buf, 2), 2);
    EXPECT_EQ(Client.Socket()->ReceiveBuf(buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "llo");
    EXPECT_EQ(Client.Socket()->ReceiveBuf(buf, sizeof buf), -1); // nothing waiting
}

TEST_F(ClientSocketTest, RemoteCloseDisconnectsOnceAndReopenWorks) {
    QTcpSocket* remote = Connect();
    ASSERT_NE(remote, nullptr);
    Log.clear();
    remote->close();
    ASSERT_TRUE(WaitUntil([this] { return !Client.Active(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(Log, std::vector<std::string>{"disconnect inactive"});
    char buf[4];
    EXPECT_EQ(Client.Socket()->SendBuf("x", 1), 0);
    EXPECT_EQ(Client.Socket()->ReceiveBuf(buf, sizeof buf), 0);

    Log.clear();
    ASSERT_NE(Connect(), nullptr);
    EXPECT_EQ(Log, (std::vector<std::string>{"lookup inactive", "connecting inactive", "connect active"}));
    EXPECT_TRUE(Reports.Messages.empty());
}

TEST_F(ClientSocketTest, CloseDisconnectsAtOnceAndOpenOnAConnectionClosesItFirst) {
    QTcpSocket* remote = Connect();
    ASSERT_NE(remote, nullptr);
    Log.clear();
    Client.Socket()->Close();
    EXPECT_FALSE(Client.Active());
    EXPECT_EQ(Log, std::vector<std::string>{"disconnect inactive"});
    Client.Socket()->Close(); // nothing more
    ASSERT_TRUE(WaitUntil([&] { return remote->state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(Log.size(), 1u);

    ASSERT_NE(Connect(), nullptr);
    Log.clear();
    Client.Open();
    EXPECT_EQ(Log.at(0), "disconnect inactive");
    EXPECT_EQ(Log.at(1), "lookup inactive");
    ASSERT_TRUE(WaitUntil([this] { return Client.Active(); }));
}

TEST_F(ClientSocketTest, RefusedConnectionRaisesErrorThenTheClientsOwnError) {
    const quint16 port = Server.serverPort();
    Server.close(); // nobody listens there now
    Client.SetPort(port);
    Client.Open();
    ASSERT_TRUE(WaitUntil([this] { return !Reports.Messages.empty(); }));
    EXPECT_FALSE(Client.Active());
    EXPECT_EQ(Log, (std::vector<std::string>{"lookup inactive", "connecting inactive",
                                             "error " + std::to_string(eeConnect) + " 111",
                                             "report: Asynchronous socket error 111"}));
}

TEST_F(ClientSocketTest, ErrorMarkedHandledRaisesNothingMore) {
    ErrorCodeLeft = 0;
    const quint16 port = Server.serverPort();
    Server.close();
    Client.SetPort(port);
    Client.Open();
    ASSERT_TRUE(WaitUntil([this] { return Log.size() == 3; }));
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(Reports.Messages.empty());
    EXPECT_FALSE(Client.Active());
}

TEST_F(ClientSocketTest, NotConnectedSendsAndReceivesNothing) {
    char buf[8];
    EXPECT_EQ(Client.Socket()->SendBuf("abc", 3), 0);
    EXPECT_EQ(Client.Socket()->ReceiveBuf(buf, sizeof buf), 0);
    EXPECT_EQ(Client.Socket()->ReceiveLength(), 0);
    Client.Close();
    EXPECT_TRUE(Log.empty());
}

TEST_F(ClientSocketTest, DestroyingAnActiveClientRaisesNoEvent) {
    auto client = std::make_unique<TClientSocket>();
    client->SetHost("127.0.0.1");
    client->SetPort(Server.serverPort());
    bool disconnected = false;
    client->OnDisconnect = [&](TObject*, TClientWinSocket*) { disconnected = true; };
    client->Open();
    ASSERT_TRUE(WaitUntil([&] { return client->Active(); }));
    client.reset();
    QCoreApplication::processEvents();
    EXPECT_FALSE(disconnected);
}

// Bytes 0, 7, 14, ... mod 251 from offset on: any loss, repeat or reordering shows.
QByteArray Pattern(qsizetype offset, qsizetype size) {
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(((offset + i) * 7) % 251);
    return bytes;
}

// A host name goes through the lookup thread (and, for localhost, possibly an
// IPv6 address refused before the IPv4 one); a literal needs none. Each reaches
// the server and names it as the peer.
TEST_F(ClientSocketTest, LiteralsAndHostNamesConnectAndNameThePeer) {
    for (const char* host : {"127.0.0.1", "localhost", "::1"}) {
        SCOPED_TRACE(host);
        QTcpServer server;
        const bool v6 = std::string(host) == "::1";
        if (!server.listen(v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost))
            continue; // no IPv6 here
        // No /etc/hosts here.
        if (std::string(host) == "localhost" && !LocalhostResolves()) continue;
        Client.SetHost(host);
        Client.SetPort(server.serverPort() + 0x10000); // only the low 16 bits count
        Log.clear();
        Client.Open();
        ASSERT_TRUE(WaitUntil([&] { return Client.Active() && server.hasPendingConnections(); }));
        EXPECT_EQ(Log,
                  (std::vector<std::string>{"lookup inactive", "connecting inactive", "connect active"}));
        EXPECT_EQ(Client.Socket()->RemoteAddress(), v6 ? "::1" : "127.0.0.1");
        EXPECT_EQ(Client.Socket()->RemotePort(), server.serverPort());
        Client.Close();
        EXPECT_EQ(Client.Socket()->RemoteAddress(), "");
        EXPECT_EQ(Client.Socket()->RemotePort(), 0);
    }
    EXPECT_TRUE(Reports.Messages.empty());
}

// A lookup still running when the client closes, reopens or is destroyed must
// not call back into it (ASan and TSan builds see a use after free or a leak).
TEST_F(ClientSocketTest, ClosingReopeningOrDestroyingDuringALookupIsSafe) {
    if (!LocalhostResolves()) GTEST_SKIP() << "localhost does not resolve on this machine (no /etc/hosts?)";
    for (int round = 0; round < 5; ++round) {
        auto client = std::make_unique<TClientSocket>();
        client->SetHost("localhost");
        client->SetPort(Server.serverPort());
        int connects = 0;
        client->OnConnect = [&](TObject*, TClientWinSocket*) { ++connects; };
        client->Open();
        client->Close(); // the first lookup's result is dropped
        client->Open();
        client->Open();
        if (round % 2 == 0) {
            client.reset(); // while the lookup runs
            QCoreApplication::processEvents();
            continue;
        }
        ASSERT_TRUE(WaitUntil([&] { return client->Active(); }));
        QCoreApplication::processEvents();
        EXPECT_EQ(connects, 1);
    }
    Client.SetHost("no-such-host.invalid");
    Client.Open();
    ASSERT_TRUE(WaitUntil([this] { return !Reports.Messages.empty(); }, 15000));
    EXPECT_EQ(Log, (std::vector<std::string>{"lookup inactive", "error " + std::to_string(eeLookup) + " 113",
                                             "report: Asynchronous socket error 113"}));
}

// 200 KiB from the peer: at most 64 KiB are held, the rest waits in the system
// and comes as ReceiveBuf makes room, all of it in order.
TEST_F(ClientSocketTest, AtMost64KiBAreHeldAndTheRestComesInOrderAsItIsRead) {
    QTcpSocket* remote = Connect();
    ASSERT_NE(remote, nullptr);
    constexpr qsizetype total = 200 * 1024;
    remote->write(Pattern(0, total));
    ASSERT_TRUE(
        WaitUntil([this] { return Client.Socket()->ReceiveLength() == TClientSocket::ReadBufferBytes; }));
    QByteArray got;
    std::vector<char> buf(10000);
    while (got.size() < total) {
        ASSERT_TRUE(WaitUntil([this] { return Client.Socket()->ReceiveLength() > 0; })) << got.size();
        ASSERT_LE(Client.Socket()->ReceiveLength(), TClientSocket::ReadBufferBytes);
        const int n = Client.Socket()->ReceiveBuf(buf.data(), static_cast<int>(buf.size()));
        ASSERT_GT(n, 0);
        got.append(buf.data(), n);
    }
    EXPECT_TRUE(got == Pattern(0, total));
    EXPECT_EQ(Client.Socket()->ReceiveBuf(buf.data(), 1), -1);
    EXPECT_TRUE(Client.Active());
}

// A reset from the peer ends the link like a close: one OnDisconnect, no error,
// and the link opens again.
TEST_F(ClientSocketTest, APeerThatResetsEndsTheConnectionWithoutAnError) {
    QTcpSocket* remote = Connect();
    ASSERT_NE(remote, nullptr);
    remote->write("abc");
    ASSERT_TRUE(WaitUntil([this] { return Client.Socket()->ReceiveLength() == 3; }));
    EXPECT_EQ(Client.Socket()->SendBuf("q", 1), 1);
    ASSERT_TRUE(WaitUntil([&] { return remote->bytesAvailable() == 1; }));
    Log.clear();
    linger reset{1, 0};
    ASSERT_EQ(
        setsockopt(static_cast<int>(remote->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset),
        0);
    remote->abort();
    ASSERT_TRUE(WaitUntil([this] { return !Client.Active(); }));
    // A send after the reset finds the client closed rather than raising SIGPIPE.
    EXPECT_EQ(Client.Socket()->SendBuf("x", 1), 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(Log, std::vector<std::string>{"disconnect inactive"});
    EXPECT_TRUE(Reports.Messages.empty());
    ASSERT_NE(Connect(), nullptr);
}

// Several MiB to a peer that does not read: SendBuf queues up to 1 MiB beyond
// what the system takes, then says it would block; once the peer reads, every
// byte arrives in order, and Close still sends what was queued last.
TEST_F(ClientSocketTest, ASlowPeerGetsEveryQueuedByteInOrder) {
    QTcpSocket* remote = Connect();
    ASSERT_NE(remote, nullptr);
    constexpr int chunk = 256 * 1024;
    qsizetype sent = 0;
    while (sent < 64 * 1024 * 1024) {
        const int n = Client.Socket()->SendBuf(Pattern(sent, chunk).constData(), chunk);
        if (n == -1) break;
        ASSERT_EQ(n, chunk);
        sent += n;
    }
    ASSERT_LT(sent, 64 * 1024 * 1024) << "SendBuf never said it would block";
    QByteArray got;
    auto readSome = [&] {
        got.append(remote->read(64 * 1024));
        return false;
    };
    // The peer reads a little per turn of the event loop while more is sent.
    for (int i = 0; i < 8; ++i) {
        const QByteArray more = Pattern(sent, chunk);
        ASSERT_TRUE(WaitUntil(
            [&] { return readSome() || Client.Socket()->SendBuf(more.constData(), chunk) == chunk; }));
        sent += chunk;
    }
    EXPECT_EQ(Client.Socket()->SendBuf(Pattern(sent, 5).constData(), 5), 5);
    sent += 5;
    Client.Close();
    ASSERT_TRUE(WaitUntil([&] {
        readSome();
        return got.size() >= sent || remote->state() == QAbstractSocket::UnconnectedState;
    }));
    got.append(remote->readAll());
    ASSERT_EQ(got.size(), sent);
    EXPECT_TRUE(got == Pattern(0, sent));
}

} // namespace
