#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include "tests/toolkit/TestSupport.h"
#include "toolkit/ClientSocket.h"

namespace {

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

} // namespace
