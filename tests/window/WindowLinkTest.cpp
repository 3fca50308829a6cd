// Choosing and opening the link: COM/TCP swap, port number, baud rate, parity,
// opening and closing a pseudo-terminal as "Com1", and the TCP client.

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QToolButton>

#include <sys/socket.h>
#include <termios.h>

#include "WindowFixture.h"

namespace {

bool Shows(TForm1& f, QWidget* w) { return w->isVisibleTo(&f); }

} // namespace

TEST_F(WindowTest, TcpAndComModesSwapTheirControls) {
    TForm1& f = Make();
    f.RadioButton2->click();
    for (QWidget* w : {static_cast<QWidget*>(f.Label6), static_cast<QWidget*>(f.Edit3),
                       static_cast<QWidget*>(f.Label7), static_cast<QWidget*>(f.Edit4)})
        EXPECT_TRUE(Shows(f, w)) << w->objectName().toStdString();
    for (QWidget* w : {static_cast<QWidget*>(f.Label1), static_cast<QWidget*>(f.CSpinEdit1),
                       static_cast<QWidget*>(f.btnBaudRate)})
        EXPECT_FALSE(Shows(f, w)) << w->objectName().toStdString();
    f.RadioButton1->click();
    EXPECT_TRUE(Shows(f, f.CSpinEdit1));
    EXPECT_TRUE(Shows(f, f.btnBaudRate));
    EXPECT_FALSE(Shows(f, f.Edit3));
    EXPECT_FALSE(Shows(f, f.Label7));
}

TEST_F(WindowTest, BaudButtonCyclesThroughSevenRates) {
    TForm1& f = Make();
    const std::pair<const char*, TBaudRate> expected[] = {
        {"38400bps", br38400}, {"57600bps", br57600}, {"115200bps", br115200}, {"2400bps", br2400},
        {"4800bps", br4800},   {"9600bps", br9600},   {"19200bps", br19200},   {"38400bps", br38400}};
    for (auto [caption, rate] : expected) {
        f.btnBaudRate->click();
        EXPECT_EQ(f.btnBaudRate->text().toStdString(), caption);
        EXPECT_EQ(f.Comm1->BaudRate(), rate);
    }
    f.btnBaudRate->setText("1200bps");
    f.btnBaudRate->click();
    EXPECT_EQ(f.btnBaudRate->text().toStdString(), "1200bps");
    EXPECT_EQ(f.Comm1->BaudRate(), br38400);
}

TEST_F(WindowTest, ParityItemsPutTheirOwnParityOnTheLine) {
    TForm1& f = Make();
    const TParity passed[] = {paNone, paEven, paOdd, paMark, paSpace};
    for (int item : {1, 2, 3, 4, 0}) {
        f.cbParity->setCurrentIndex(item);
        EXPECT_EQ(f.Comm1->Parity(), passed[item]) << item;
    }
}

TEST_F(WindowTest, PortNumberFormsTheDeviceNameAndShowsTheDevice) {
    TPty pty;
    TForm1& f = Make({pty.SlavePath});
    EXPECT_EQ(f.LB_ComDevice->text().toStdString(), pty.SlavePath);
    f.CSpinEdit1->UpButton()->click();
    EXPECT_EQ(f.ComDeviceName, "Com2");
    EXPECT_EQ(f.LB_ComDevice->text(), QString("(no port)"));
    EXPECT_EQ(f.Comm1->DeviceName(), "Com1") << "the name takes effect at the next open";
    f.CSpinEdit1->SetValue(255);
    f.ComDeviceName = "unchanged";
    f.CSpinEdit1->UpButton()->click();
    EXPECT_EQ(f.ComDeviceName, "unchanged") << "no change at the limit";
}

TEST_F(WindowTest, OpensAndClosesAPseudoTerminalAsCom1) {
    TPty pty;
    TForm1& f = Make({pty.SlavePath});
    f.BB_PortSwitch->click();
    ASSERT_TRUE(Reported.empty()) << Reported.front();
    EXPECT_TRUE(f.Comm1->Enabled());
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("Close"));
    EXPECT_EQ(LogLines(), QStringList({"Open Com1 OK"}));
    EXPECT_FALSE(f.CSpinEdit1->isEnabled());
    EXPECT_FALSE(f.btnBaudRate->isEnabled());
    EXPECT_FALSE(f.RadioButton1->isEnabled());
    EXPECT_FALSE(f.RadioButton2->isEnabled());
    EXPECT_TRUE(f.BB_SendData->isEnabled());

    termios line{};
    ASSERT_EQ(tcgetattr(pty.Master, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), B19200);

    f.BB_PortSwitch->click();
    EXPECT_FALSE(f.Comm1->Enabled());
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("Open"));
    EXPECT_EQ(LogLines(), QStringList({"Open Com1 OK", "Close Com1 OK"}));
    EXPECT_TRUE(f.CSpinEdit1->isEnabled());
    EXPECT_TRUE(f.btnBaudRate->isEnabled());
    EXPECT_TRUE(f.RadioButton1->isEnabled());
    EXPECT_FALSE(f.BB_SendData->isEnabled());

    f.BB_PortSwitch->click(); // and again: the port opens anew
    EXPECT_TRUE(f.Comm1->Enabled());
    EXPECT_EQ(LogLines().size(), 3);
}

TEST_F(WindowTest, APortThatDoesNotOpenIsReportedAndChangesNothing) {
    TForm1& f = Make({}); // no serial port on this machine
    f.BB_PortSwitch->click();
    EXPECT_EQ(Reported, std::vector<std::string>({"Port not open (Error: -1)"}));
    EXPECT_FALSE(f.Comm1->Enabled());
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("&Open"));
    // The reason comes before the error, naming the device asked for.
    EXPECT_EQ(LogLines(), QStringList({"Com1: no such device"}));
    EXPECT_TRUE(f.RadioButton1->isEnabled());
    EXPECT_TRUE(f.btnBaudRate->isEnabled());
    EXPECT_TRUE(f.CSpinEdit1->isEnabled());
}

TEST_F(WindowTest, AHeldPortDoesNotOpenASecondTime) {
    TPty pty;
    TForm1& first = Make({pty.SlavePath});
    first.BB_PortSwitch->click();
    ASSERT_TRUE(first.Comm1->Enabled());
    TFormEnvironment env;
    env.PortLister = [&] { return std::vector<std::string>{pty.SlavePath}; };
    env.TimerEngine = &Clock;
    TForm1 second(env);
    second.BB_PortSwitch->click();
    EXPECT_FALSE(second.Comm1->Enabled());
    EXPECT_EQ(Reported, std::vector<std::string>({"Port not open (Error: -1)"}));
}

TEST_F(WindowTest, TcpLinkConnectsLogsAndSurvivesTheRemoteClosing) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    TForm1& f = Make();
    QTcpSocket* peer = ConnectTcp(server);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("Close"));
    EXPECT_FALSE(f.RadioButton1->isEnabled());
    EXPECT_EQ(f.ClientSocket1->Host(), QString("127.0.0.1"));
    EXPECT_EQ(f.ClientSocket1->Port(), static_cast<int>(server.serverPort()));
    EXPECT_EQ(LogLines(), QStringList({"TCP/IP Lookup !!", "TCP/IP Connecting...", "TCP/IP Connected !"}));

    peer->close();
    QTRY_VERIFY_WITH_TIMEOUT(!f.ClientSocket1->Active(), 5000);
    EXPECT_EQ(LogLines().last(), QString("TCP/IP Disconnected"));
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("Close")) << "the caption stays after a remote close";
    EXPECT_FALSE(f.RadioButton1->isEnabled());

    f.BB_PortSwitch->click(); // re-opens rather than closing
    QTRY_VERIFY_WITH_TIMEOUT(f.ClientSocket1->Active(), 5000);
    EXPECT_EQ(LogLines().last(), QString("TCP/IP Connected !"));

    f.BB_PortSwitch->click();
    EXPECT_FALSE(f.ClientSocket1->Active());
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("Open"));
    EXPECT_TRUE(f.RadioButton1->isEnabled());
    EXPECT_EQ(LogLines().last(), QString("TCP/IP Disconnected"));
    EXPECT_TRUE(Reported.empty());
}

TEST_F(WindowTest, RefusedTcpConnectionLogsTheErrorAndTheClientReportsIt) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const quint16 port = server.serverPort();
    server.close(); // nothing listens there any more
    TForm1& f = Make();
    f.RadioButton2->click();
    f.Edit4->setText(QString::number(port));
    f.BB_PortSwitch->click();
    QTRY_VERIFY_WITH_TIMEOUT(!Reported.empty(), 5000);
    EXPECT_EQ(Reported.front(), "Asynchronous socket error 111");
    const QStringList lines = LogLines();
    const qsizetype error = lines.indexOf("TCP/IP Error !!");
    ASSERT_GE(error, 0);
    EXPECT_EQ(lines.value(error + 1),
              QString("127.0.0.1:%1: connection refused: nothing listens on that port").arg(port));
    EXPECT_FALSE(f.ClientSocket1->Active());
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("Close"));
}

TEST_F(WindowTest, AHostNameThatDoesNotResolveIsReportedAsSuch) {
    TForm1& f = Make();
    f.RadioButton2->click();
    f.Edit3->setText("no-such-host.invalid");
    f.BB_PortSwitch->click();
    QTRY_VERIFY_WITH_TIMEOUT(!Reported.empty(), 10000);
    EXPECT_TRUE(LogLines().contains("no-such-host.invalid:4660: host name not found; check the IP field"))
        << LogLines().join('|').toStdString();
}

TEST_F(WindowTest, EmptyHostOrPortShowsTheMessageBoxOnly) {
    TForm1& f = Make();
    f.RadioButton2->click();
    f.Edit3->clear();
    f.BB_PortSwitch->click();
    EXPECT_EQ(Boxes, std::vector<std::string>({"IP 或埠號錯誤|error!"}));
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("&Open"));
    EXPECT_TRUE(f.RadioButton1->isEnabled());
    f.Edit3->setText("127.0.0.1");
    f.Edit4->clear();
    f.BB_PortSwitch->click();
    EXPECT_EQ(Boxes.size(), 2u);
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(WindowTest, PortTextThatIsNotANumberIsRefusedLikeAnEmptyOne) {
    TForm1& f = Make();
    f.RadioButton2->click();
    f.Edit4->setText("46x0");
    f.BB_PortSwitch->click();
    EXPECT_EQ(Boxes, std::vector<std::string>({"IP 或埠號錯誤|error!"}));
    EXPECT_TRUE(Reported.empty());
    EXPECT_EQ(f.BB_PortSwitch->text(), QString("&Open"));
    EXPECT_TRUE(f.RadioButton1->isEnabled());
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(WindowTest, ClosingTheWindowWithLinksOpenLogsNothing) {
    TPty pty;
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    TForm1& f = Make({pty.SlavePath});
    f.BB_PortSwitch->click();
    ASSERT_TRUE(f.Comm1->Enabled());
    f.ClientSocket1->SetHost("127.0.0.1");
    f.ClientSocket1->SetPort(server.serverPort());
    f.ClientSocket1->Open();
    QTRY_VERIFY_WITH_TIMEOUT(f.ClientSocket1->Active(), 5000);
    const int lines = LogLines().size();
    int logged = 0;
    QObject::connect(f.Memo1, &QPlainTextEdit::textChanged, [&] { ++logged; });
    Form.reset(); // closes both links
    EXPECT_EQ(logged, 0);
    EXPECT_GT(lines, 0);
    EXPECT_TRUE(Reported.empty());
}

// A peer that hangs up at once, and one that resets the connection halfway
// through a reply: the link ends with its log line, what arrived is judged as it
// stands, no error box appears, and the link opens again.
TEST_F(WindowTest, TcpPeersThatHangUpOrResetLeaveTheLinkReopenable) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    TForm1& f = Make();
    QObject::connect(&server, &QTcpServer::newConnection, [&] { server.nextPendingConnection()->close(); });
    f.RadioButton2->click();
    f.Edit4->setText(QString::number(server.serverPort()));
    f.BB_PortSwitch->click();
    QTRY_VERIFY_WITH_TIMEOUT(LogLines().contains("TCP/IP Disconnected"), 5000);
    EXPECT_FALSE(f.ClientSocket1->Active());
    QObject::disconnect(&server, nullptr, nullptr, nullptr);

    f.BB_PortSwitch->click(); // the caption still says Close: this opens again
    QTcpSocket* peer = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT(f.ClientSocket1->Active() && (peer = server.nextPendingConnection()), 5000);
    f.RadioButton3->click();
    f.BitBtn1->click();
    QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() > 0, 5000);
    peer->write("\x24\x01\x02\x03\x04", 5);
    peer->flush();
    QTRY_VERIFY_WITH_TIMEOUT(f.RxCount == 5, 5000);
    linger reset{1, 0}; // closing with linger 0 sends a reset
    setsockopt(static_cast<int>(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    peer->abort();
    QTRY_VERIFY_WITH_TIMEOUT(!f.ClientSocket1->Active(), 5000);
    Clock.Advance(3000);
    const QStringList lines = LogLines();
    EXPECT_TRUE(lines.contains(" 24 01 02 03 04")) << lines.join('|').toStdString();
    EXPECT_FALSE(lines.contains("SetID_OK") || lines.contains("Error"));
    EXPECT_EQ(lines.count("TCP/IP Disconnected"), 2);
    EXPECT_TRUE(Reported.empty()) << Reported.front();

    f.BB_PortSwitch->click();
    QTRY_VERIFY_WITH_TIMEOUT(f.ClientSocket1->Active(), 5000);
}

// An adapter plugged in while a port is open moves the numbering: the label keeps
// naming the device in use until it is closed.
TEST_F(WindowTest, TheDeviceLabelNamesTheOpenPortUntilItCloses) {
    TPty pty, plugged;
    TForm1& f = Make({pty.SlavePath});
    f.BB_PortSwitch->click();
    ASSERT_TRUE(f.Comm1->Enabled());
    Ports = {plugged.SlavePath, pty.SlavePath};
    f.CSpinEdit1Change(nullptr); // what a change in /dev runs too
    EXPECT_EQ(f.LB_ComDevice->text().toStdString(), pty.SlavePath);
    f.BB_PortSwitch->click();
    EXPECT_EQ(f.LB_ComDevice->text().toStdString(), plugged.SlavePath);
}
