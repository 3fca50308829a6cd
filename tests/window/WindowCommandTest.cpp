// The device commands as the window sends them: model choice, command inputs,
// the frame on the link, Edit1, Timer4, AutoInc and refused inputs.

#include <QTcpServer>
#include <QTcpSocket>

#include "WindowFixture.h"

namespace {

QString Hex(const std::vector<uint8_t>& bytes) {
    return QString::fromStdString(FormatFrameHex(bytes.data(), bytes.size()));
}

} // namespace

TEST_F(WindowTest, ModelButtonsPrepareTheHiddenInputs) {
    TForm1& f = Make();
    f.RadioButton7->click(); // OSPREY-B: the serial text can be typed
    EXPECT_EQ(f.rgCommand->ItemIndex(), 2);
    EXPECT_TRUE(f.Edit7->isVisibleTo(&f));
    EXPECT_TRUE(f.Label12->isVisibleTo(&f));
    EXPECT_EQ(f.Edit7->text(), QString("0"));
    EXPECT_TRUE(f.ED_20->text().isEmpty());

    f.Edit7->setText("23A1705");
    f.RadioButton5->click(); // MARLIN-A
    EXPECT_FALSE(f.RadioButton7->isChecked());
    EXPECT_EQ(f.rgCommand->ItemIndex(), 8);
    EXPECT_FALSE(f.Edit7->isVisibleTo(&f));
    EXPECT_EQ(f.Edit7->text(), QString("0"));
    EXPECT_EQ(f.ED_20->text(), QString("00 ").repeated(44));
    for (QWidget* w : {static_cast<QWidget*>(f.CSpinEdit2), static_cast<QWidget*>(f.Label8),
                       static_cast<QWidget*>(f.CSpinEdit3), static_cast<QWidget*>(f.CSpinEdit4),
                       static_cast<QWidget*>(f.Label9), static_cast<QWidget*>(f.Label10)})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();

    f.RadioButton3->click(); // KESTREL-A
    EXPECT_EQ(f.rgCommand->ItemIndex(), 2);
    EXPECT_FALSE(f.Edit7->isVisibleTo(&f));
    EXPECT_TRUE(f.ED_20->text().isEmpty());
}

TEST_F(WindowTest, CommandItemEnablesItsInputs) {
    TForm1& f = Make();
    // Item -> controls enabled afterwards (all others of the set disabled).
    const std::vector<std::vector<const char*>> enabled = {
        {"CSpinEdit4", "Label10"},
        {"LB_13", "SE_13"},
        {"LB_13", "SE_13", "LB_20", "ED_20"},
        {"LB_15", "SE_15"},
        {},
        {"CSpinEdit2", "Label8", "LB_20", "ED_20"},
        {"CSpinEdit3", "Label9", "LB_20", "ED_20"},
        {"LB_13", "SE_13", "LB_20", "ED_20"},
        {},
    };
    const char* all[] = {"LB_12", "SE_12", "LB_15",      "LB_16",  "LB_17",      "LB_18",      "LB_20",
                         "SE_15", "SE_16", "SE_17",      "SE_18",  "ED_20",      "CSpinEdit2", "Label8",
                         "CSpinEdit3", "CSpinEdit4", "Label9", "Label10", "LB_13", "SE_13"};
    for (int item : {1, 3, 2, 5, 6, 7, 0, 4, 8}) {
        f.LB_13->setEnabled(true);
        f.SE_13->setEnabled(true);
        if (item == 8) { // item 8 leaves LB_13/SE_13 as they were
            f.rgCommand->SetItemIndex(item);
            EXPECT_TRUE(f.SE_13->isEnabled());
            continue;
        }
        f.rgCommand->SetItemIndex(item);
        for (const char* name : all) {
            const bool expected = std::find_if(enabled[item].begin(), enabled[item].end(), [&](const char* n) {
                                      return std::string(n) == name;
                                  }) != enabled[item].end();
            EXPECT_EQ(f.findChild<QWidget*>(name)->isEnabled(), expected) << "item " << item << " " << name;
        }
    }
}

TEST_F(WindowTest, LenSizeAndItemsAdjustTheirInputs) {
    TForm1& f = Make();
    f.SE_11->SetValue(2);
    EXPECT_EQ(f.SE_13->MaxValue(), 65535);
    f.SE_15->SetValue(700);
    f.SE_11->SetValue(1);
    EXPECT_EQ(f.SE_13->MaxValue(), 255);
    EXPECT_EQ(f.SE_15->Value(), 255);
    f.SE_12->SetValue(2);
    EXPECT_TRUE(f.SE_14->isEnabled());
    EXPECT_TRUE(f.LB_14->isEnabled());
    f.SE_12->SetValue(1);
    EXPECT_FALSE(f.SE_14->isEnabled());
}

TEST_F(WindowTest, SetIdFrameReachesThePseudoTerminal) {
    TPty pty;
    TForm1& f = Make({pty.SlavePath});
    f.BB_PortSwitch->click();
    ASSERT_TRUE(f.Comm1->Enabled());
    f.RadioButton3->click();
    f.BitBtn1->click();
    const std::vector<uint8_t> expected = {0x24, 0x00, 0xFF, 0xFF, 0x01, 0xFD, 0x02, 0x5A, 0x01, 0x03, 0x0C, 0x8B};
    EXPECT_EQ(pty.ReadAll(), expected);
    EXPECT_EQ(f.Edit1->text(), Hex(expected));
    EXPECT_TRUE(f.Timer4->Enabled());
    EXPECT_EQ(f.ReplyKind, 0);
}

TEST_F(WindowTest, ElnCommandsReachATcpPeer) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    TForm1& f = Make();
    QTcpSocket* peer = ConnectTcp(server);
    ASSERT_NE(peer, nullptr);

    f.RadioButton3->click();
    f.Button3->click(); // Read_ELN
    EXPECT_EQ(f.ReplyKind, 2);
    QTRY_COMPARE_WITH_TIMEOUT(peer->bytesAvailable(), 11, 5000);
    EXPECT_EQ(peer->readAll().toHex(' ').toUpper(), QByteArray("24 00 FF FF 00 FE 01 3A 03 82 88"));

    f.Button2->click(); // Set_ELN with the stored "23A1705"
    EXPECT_EQ(f.ReplyKind, 1);
    QTRY_COMPARE_WITH_TIMEOUT(peer->bytesAvailable(), 18, 5000);
    EXPECT_EQ(peer->readAll().toHex(' ').toUpper(),
              QByteArray("24 00 FF FF 01 F7 08 5B 32 33 41 31 37 30 35 03 F0 46"));
}

TEST_F(WindowTest, KeyReleaseInTheAutoElnFieldSendsItsText) {
    TForm1& f = Make();
    f.RadioButton3->click();
    f.Edit5->show();
    QTest::keyClick(f.Edit5, Qt::Key_2);
    EXPECT_EQ(f.Edit1->text().toStdString(), "24 00 FF FF 01 F7 08 5B 32 00 00 00 00 00 00 03 98 BB ");
    EXPECT_EQ(f.ReplyKind, 1);

    // A held key: its repeated releases send nothing, its last release one frame.
    f.Edit1->clear();
    QKeyEvent repeated(QEvent::KeyRelease, Qt::Key_3, Qt::NoModifier, "3", true);
    QApplication::sendEvent(f.Edit5, &repeated);
    EXPECT_TRUE(f.Edit1->text().isEmpty());
    QTest::keyRelease(f.Edit5, Qt::Key_Shift);
    EXPECT_EQ(f.Edit1->text().toStdString(), "24 00 FF FF 01 F7 08 5B 32 00 00 00 00 00 00 03 98 BB ");
}

TEST_F(WindowTest, AutoIncAdvancesThePacketNumberAndWrapsAt255) {
    TForm1& f = Make();
    f.ckAutoInc->setChecked(true);
    f.SE_01->SetValue(255);
    f.BitBtn1->click();
    EXPECT_TRUE(f.Edit1->text().startsWith("19 FF "));
    EXPECT_EQ(f.SE_01->Value(), 0);
    f.BitBtn1->click();
    EXPECT_TRUE(f.Edit1->text().startsWith("19 00 "));
    EXPECT_EQ(f.SE_01->Value(), 1);
}

TEST_F(WindowTest, RefusedInputsSendNothing) {
    TPty pty;
    TForm1& f = Make({pty.SlavePath});
    f.BB_PortSwitch->click();
    ASSERT_TRUE(f.Comm1->Enabled());
    f.RadioButton7->click(); // OSPREY-B with the "0" left in Edit7
    f.ReplyKind = 2;
    f.BitBtn1->click();
    EXPECT_EQ(Reported, std::vector<std::string>({"Range check error"}));
    EXPECT_EQ(f.ReplyKind, 0) << "set before the inputs are read";

    f.Edit7->setText("23X1705");
    f.BitBtn1->click();
    ASSERT_EQ(Reported.size(), 2u);
    EXPECT_EQ(Reported[1], "'23X1705' is not a valid integer value");

    f.Edit6->setText("AB");
    f.Button2->click();
    EXPECT_EQ(Reported.size(), 3u);
    EXPECT_EQ(f.ReplyKind, 1);

    EXPECT_TRUE(f.Edit1->text().isEmpty());
    EXPECT_FALSE(f.Timer4->Enabled());
    uint8_t buf[64];
    EXPECT_LT(::read(pty.Master, buf, sizeof buf), 1) << "nothing reached the line";
}

TEST_F(WindowTest, CipherAppliesWhenDataEncryptIsChecked) {
    TForm1& f = Make();
    f.RadioButton3->click();
    f.BitBtn1->click();
    const QString plain = f.Edit1->text();
    f.Data_Encrypt->setChecked(true);
    f.BitBtn1->click();
    const QString first = f.Edit1->text();
    f.BitBtn1->click();
    EXPECT_NE(first, plain);
    EXPECT_EQ(first, f.Edit1->text()) << "the keystream restarts for every frame";
    EXPECT_EQ(first.left(18), plain.left(18)) << "header and check byte stay plain";
}
