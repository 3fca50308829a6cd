// The reply time-out and the commands that go out while it counts: Timer4 is not
// restarted by a later command, the AutoELN field's refusals and Enter, and the repeat
// timer's tick on a closed TCP link.

#include <QTcpServer>
#include <QTcpSocket>

#include "WindowFixture.h"

namespace {

int Errors(const QStringList& lines) { return static_cast<int>(lines.count("Error")); }

int ShownBytes(const TForm1& f) { return static_cast<int>(f.Edit1->text().split(' ', Qt::SkipEmptyParts).size()); }

} // namespace

// The time-out counts from the first command: a second one inside it changes nothing,
// so exactly one "Error" comes, 3000 ms after the first.
TEST_F(WindowTest, ASecondCommandDoesNotRestartTheReplyTimeout) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    TForm1& f = Make();
    QTcpSocket* peer = ConnectTcp(server);
    ASSERT_NE(peer, nullptr);
    f.RadioButton3->click();
    f.BitBtn1->click();
    Clock.Advance(2000);
    f.BitBtn1->click();
    QTRY_COMPARE_WITH_TIMEOUT(peer->bytesAvailable(), 2 * ShownBytes(f), 5000);
    Clock.Advance(999);
    EXPECT_EQ(Errors(LogLines()), 0);
    Clock.Advance(1);
    EXPECT_EQ(Errors(LogLines()), 1) << "3000 ms after the first command";
    Clock.Advance(10000);
    EXPECT_EQ(Errors(LogLines()), 1);
}

TEST_F(WindowTest, AutoElnWithAShortElnIsRefusedAndSendsNothing) {
    TPty pty;
    TForm1& f = Make({pty.SlavePath});
    f.BB_PortSwitch->click();
    ASSERT_TRUE(f.Comm1->Enabled());
    f.RadioButton3->click();
    f.Edit6->setText("ab");
    f.Edit5->show();
    QTest::keyClick(f.Edit5, Qt::Key_2);
    EXPECT_EQ(Reported, std::vector<std::string>({"Range check error"}));
    EXPECT_EQ(LogLines().back(), QString("AutoELN: the ELN 'ab' needs at least 3 characters; nothing sent"));
    EXPECT_TRUE(f.Edit1->text().isEmpty());
    EXPECT_FALSE(f.Timer4->Enabled());
    uint8_t buf[64];
    EXPECT_LT(::read(pty.Master, buf, sizeof buf), 1) << "nothing reached the line";
}

// Enter is pressed (the default button's Set_ID) and released (the field's AutoELN).
TEST_F(WindowTest, EnterInTheAutoElnFieldSendsSetIdThenAutoEln) {
    TPty pty;
    TForm1& f = Make({pty.SlavePath});
    f.BB_PortSwitch->click();
    ASSERT_TRUE(f.Comm1->Enabled());
    f.RadioButton3->click();
    f.Edit5->show();
    f.Edit5->setFocus();
    f.BitBtn1->click();
    const int setIdBytes = ShownBytes(f);
    pty.ReadAll();
    f.Edit1->clear();
    QTest::keyClick(f.Edit5, Qt::Key_Return);
    const std::vector<uint8_t> sent = pty.ReadAll();
    const int autoElnBytes = ShownBytes(f);
    ASSERT_EQ(static_cast<int>(sent.size()), setIdBytes + autoElnBytes);
    EXPECT_EQ(sent[7], 0x5A) << "Set_ID first";
    EXPECT_EQ(sent[setIdBytes + 7], 0x5B) << "then the ELN set of AutoELN";
    const std::vector<uint8_t> last(sent.begin() + setIdBytes, sent.end());
    EXPECT_EQ(QString::fromStdString(FormatFrameHex(last.data(), last.size())), f.Edit1->text());
}

// Keys typed faster than the device answers: one frame each, one "Error" for them all.
TEST_F(WindowTest, UnansweredKeyReleasesGiveOneError) {
    TPty pty;
    TForm1& f = Make({pty.SlavePath});
    f.BB_PortSwitch->click();
    f.RadioButton3->click();
    f.Edit5->show();
    f.Edit5->setFocus();
    int frames = 0;
    for (char key : std::string("1705")) {
        QTest::keyClick(f.Edit5, key);
        frames += static_cast<int>(pty.ReadAll().size()) / ShownBytes(f);
        Clock.Advance(500);
    }
    EXPECT_EQ(frames, 4);
    Clock.Advance(999); // 2999 ms after the first release
    EXPECT_EQ(Errors(LogLines()), 0);
    Clock.Advance(1);
    EXPECT_EQ(Errors(LogLines()), 1);
    Clock.Advance(10000);
    EXPECT_EQ(Errors(LogLines()), 1);
}

// The repeat goes on after the TCP link is closed, and each tick says why nothing went.
TEST_F(WindowTest, RepeatTickOnAClosedTcpLinkAsksToOpenIt) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    TForm1& f = Make();
    QTcpSocket* peer = ConnectTcp(server);
    ASSERT_NE(peer, nullptr);
    f.Edit1->setText("24 00");
    f.Edit2->setText("100");
    f.CheckBox1->setChecked(true);
    f.BB_SendBin->click();
    Clock.Advance(100);
    QTRY_COMPARE_WITH_TIMEOUT(peer->bytesAvailable(), 2, 5000);
    f.BB_PortSwitch->click();
    ASSERT_FALSE(f.ClientSocket1->Active());
    Clock.Advance(100);
    EXPECT_EQ(LogLines().back(), QString("Open TCP/IP first!"));
    Clock.Advance(100);
    EXPECT_EQ(LogLines().count("Open TCP/IP first!"), 2);
    EXPECT_TRUE(f.Timer1->Enabled());
}
