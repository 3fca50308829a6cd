// Inputs the window refuses instead of cutting: TCP ports and the numbers a frame
// carries; the ID field and the window's size as the user meets them at start.

#include <QLineEdit>

#include "WindowFixture.h"
#include "window/WindowPlacement.h"

namespace {

TEST_F(WindowTest, TcpPortsOutside16BitsAreRefusedLikeAnEmptyText) {
    TForm1& f = Make();
    f.RadioButton2->click();
    for (const char* text : {"70196", "-1", "0", "abc", "65536", "12345678901234567890", " "}) {
        Boxes.clear();
        f.Edit4->setText(text);
        f.BB_PortSwitch->click();
        EXPECT_EQ(Boxes, std::vector<std::string>({"IP 或埠號錯誤|error!"})) << text;
        EXPECT_EQ(f.BB_PortSwitch->text(), QString("&Open")) << text;
        EXPECT_TRUE(f.RadioButton1->isEnabled()) << text;
        EXPECT_EQ(f.ClientSocket1->Port(), 50001) << text << ": the client keeps its stored port";
    }
    EXPECT_TRUE(Reported.empty());
    EXPECT_TRUE(LogLines().isEmpty());
}

class IdInputTest : public WindowTest {
protected:
    // A shown, active window with KESTREL-A chosen and the focus in the ID field.
    TForm1& Shown() {
        TForm1& f = Make();
        f.RadioButton3->click();
        f.show();
        QApplication::setActiveWindow(&f);
        EXPECT_TRUE(QTest::qWaitForWindowActive(&f));
        f.CSpinEdit5->Editor()->setFocus();
        return f;
    }
    void TypeId(const QString& text) {
        QLineEdit* editor = Form->CSpinEdit5->Editor();
        editor->selectAll();
        QTest::keyClick(editor, Qt::Key_Backspace);
        QTest::keyClicks(editor, text);
    }
    // The ID byte of the Set_ID frame shown in Edit1, or "" when nothing was sent.
    QString SentId() const {
        const QStringList bytes = Form->Edit1->text().split(' ', Qt::SkipEmptyParts);
        return bytes.size() > 8 ? bytes[8] : QString();
    }
};

TEST_F(IdInputTest, EnterAndClickSendTheIdShownOrNothing) {
    struct Row {
        const char* Typed;
        const char* Sent; // the ID byte, or "" when refused
        const char* Line; // the refusal line
    } rows[] = {
        {"5", "05", ""},
        {"63", "3F", ""},
        {"255", "FF", ""},
        {"256", "", "Set_ID: ID 256 is out of range 0..255; nothing sent"},
        {"99999", "", "Set_ID: ID 99999 is out of range 0..255; nothing sent"},
        {"12345678901234567890", "", "Set_ID: ID 12345678901234567890 is out of range 0..255; nothing sent"},
        {"-1", "", "Set_ID: ID -1 is out of range 0..255; nothing sent"},
        {"", "", "Set_ID: ID '' is not a number; nothing sent"},
        {"+-", "", "Set_ID: ID '+-' is not a number; nothing sent"},
    };
    TForm1& f = Shown();
    for (const bool click : {false, true}) {
        for (const Row& row : rows) {
            const std::string name = std::string(click ? "click " : "Enter ") + row.Typed;
            f.Edit1->clear();
            f.Memo1->clear();
            f.Timer4->SetEnabled(false);
            TypeId(row.Typed);
            if (click)
                QTest::mouseClick(f.BitBtn1, Qt::LeftButton);
            else
                QTest::keyClick(f.CSpinEdit5->Editor(), Qt::Key_Return);
            EXPECT_EQ(SentId().toStdString(), row.Sent) << name;
            EXPECT_EQ(f.Timer4->Enabled(), *row.Sent != 0) << name;
            EXPECT_EQ(LogLines(), *row.Line ? QStringList({row.Line}) : QStringList()) << name;
            EXPECT_EQ(f.CSpinEdit5->Text(), QString(row.Typed)) << name << ": the field still shows what was typed";
        }
    }
    EXPECT_TRUE(Reported.empty());
}

TEST_F(WindowTest, OtherFrameNumbersAreRefusedRatherThanCut) {
    struct Row {
        const char* Field;
        const char* Text;
        int Item; // rgCommand item, -1 to leave the model's
        const char* Line;
    } rows[] = {
        {"SE_01", "300", -1, "Set_ID: Pack No 300 is out of range 0..255; nothing sent"},
        {"SE_01", "x", -1, "Set_ID: Pack No 'x' is not a number; nothing sent"},
        {"SE_02", "70000", -1, "Set_ID: ADDR 70000 is out of range 0..65535; nothing sent"},
        {"SE_13", "700", 1, "Set_ID: R/W Tab 700 is out of range 0..255; nothing sent"},
        {"CSpinEdit2", "-3", 5, "Set_ID: Func 1 -3 is out of range 0..255; nothing sent"},
        {"CSpinEdit5", "300", 8, "Set_ID: ID 300 is out of range 0..255; nothing sent"},
    };
    for (const Row& row : rows) {
        TForm1& f = Make();
        f.RadioButton5->click(); // MARLIN-A: item 8
        f.SE_11->SetValue(2);    // wide inputs: SE_13 takes up to 65535, the frame a byte
        if (row.Item >= 0) f.rgCommand->SetItemIndex(row.Item);
        f.findChild<TCSpinEdit*>(row.Field)->SetText(row.Text);
        f.BitBtn1->click();
        EXPECT_EQ(LogLines(), QStringList({row.Line})) << row.Field << " " << row.Text;
        EXPECT_TRUE(f.Edit1->text().isEmpty()) << row.Field;
        EXPECT_FALSE(f.Timer4->Enabled()) << row.Field;
    }
    // A field the command does not carry refuses nothing: Read_ELN has no ID.
    Form->rgCommand->SetItemIndex(8);
    Form->Memo1->clear();
    Form->Button3->click();
    EXPECT_FALSE(Form->Edit1->text().isEmpty());
    EXPECT_TRUE(LogLines().isEmpty());
}

TEST_F(IdInputTest, StartsWithTheIdSelectedSoTypingReplacesIt) {
    TForm1& f = Make();
    f.show();
    QApplication::setActiveWindow(&f);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    ASSERT_EQ(QApplication::focusWidget(), f.CSpinEdit5->Editor());
    QTest::keyClick(f.CSpinEdit5->Editor(), Qt::Key_5);
    EXPECT_EQ(f.CSpinEdit5->Text(), QString("5"));
}

TEST(WindowPlacement, TheStoredWindowFitsTheScreensFreeArea) {
    const QRect stored(234, 167, 1001, 840);
    const QSize minimum(788, 219);
    const QMargins frame(4, 32, 4, 4);
    struct Row {
        const char* Name;
        QRect Available;
        QRect Expected;
    } rows[] = {
        {"large screen: as stored", {0, 0, 1920, 1080}, stored},
        {"1366x768 laptop with a panel: shorter, moved up", {0, 28, 1366, 740}, {234, 60, 1001, 704}},
        {"1024 wide: moved left to fit", {0, 0, 1024, 768}, {19, 32, 1001, 732}},
        {"smaller than the minimum: the minimum", {0, 0, 640, 200}, {4, 32, 788, 219}},
        {"second screen to the right: moved onto it", {1920, 0, 1366, 768}, {1924, 32, 1001, 732}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(FitToAvailable(stored, frame, minimum, row.Available), row.Expected) << row.Name;
}

TEST_F(WindowTest, AtItsMinimumSizeNoShownControlIsClipped) {
    TForm1& f = Make();
    f.show();
    const QSize minimum = f.minimumSize();
    EXPECT_LE(minimum.width(), 1366);
    EXPECT_LE(minimum.height(), 768 - 64);
    f.resize(minimum);
    QApplication::processEvents();
    ASSERT_EQ(f.size(), minimum);
    for (QWidget* panel : {static_cast<QWidget*>(f.Panel1), static_cast<QWidget*>(f.Panel4)}) {
        for (QWidget* w : panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (!w->isVisible()) continue;
            EXPECT_TRUE(panel->rect().contains(w->geometry())) << w->objectName().toStdString();
        }
    }
    EXPECT_GE(f.Memo1->height(), 3 * f.Memo1->fontMetrics().height()) << "the log keeps a few lines";
}

// Texts of every kind in the fields a command reads: each goes out as the frame
// carries it, or is refused with the builder's message and a log line that names
// the input; nothing overflows.
TEST_F(WindowTest, TextFieldsTakeAnyTextOrSayWhyNot) {
    const std::string megabyte(1 << 20, '7');
    struct Row {
        const char* Name;
        const char* Field;
        QString Text;
        const char* Model; // object name of the model button, or "" for none
        const char* Command;
        std::string Reported; // empty: the frame goes out
        std::string Line;
    };
    const QString megabyteData = QString("00 ").repeated(1 << 18);
    const Row rows[] = {
        {"data of a megabyte", "ED_20", megabyteData, "", "BitBtn1", "Range check error",
         "Set_ID: the data is more than one frame carries (65535 bytes); nothing sent"},
        {"data that is not hex", "ED_20", "zz 7 數據 \x01", "", "BitBtn1", "", ""},
        {"empty data", "ED_20", "", "", "BitBtn1", "", ""},
        {"ELN of a megabyte", "Edit6", QString::fromStdString(megabyte), "RadioButton3", "Button2", "", ""},
        {"ELN of Chinese text", "Edit6", "數據數據", "RadioButton3", "Button2", "", ""},
        {"ELN too short", "Edit6", "ab", "RadioButton3", "Button2", "Range check error",
         "Set_ELN: the ELN 'ab' needs at least 3 characters; nothing sent"},
        {"serial beyond 32 bits", "Edit7", "99999999999999", "RadioButton7", "BitBtn1",
         "'99099999999' is not a valid integer value",
         "Set_ID: the serial number '99999999999999' gives no address (digits as in 23A1705); nothing sent"},
        {"serial of a megabyte", "Edit7", QString::fromStdString(megabyte), "RadioButton7", "BitBtn1",
         "'77077777777' is not a valid integer value", ""},
        {"empty serial", "Edit7", "", "RadioButton7", "BitBtn1", "Range check error", ""},
    };
    for (const Row& r : rows) {
        TForm1& f = Make();
        Reported.clear();
        if (*r.Model) f.findChild<QAbstractButton*>(r.Model)->click();
        else f.rgCommand->SetItemIndex(7);
        f.findChild<QLineEdit*>(r.Field)->setText(r.Text);
        f.Edit1->setText("unchanged");
        f.findChild<QAbstractButton*>(r.Command)->click();
        if (r.Reported.empty()) {
            EXPECT_TRUE(Reported.empty()) << r.Name << ": " << Reported.front();
            EXPECT_NE(f.Edit1->text(), QString("unchanged")) << r.Name;
            EXPECT_TRUE(f.Timer4->Enabled()) << r.Name;
        } else {
            EXPECT_EQ(Reported, std::vector<std::string>{r.Reported}) << r.Name;
            EXPECT_EQ(f.Edit1->text(), QString("unchanged")) << r.Name;
            EXPECT_FALSE(f.Timer4->Enabled()) << r.Name;
            if (!r.Line.empty()) {
                EXPECT_EQ(LogLines().value(0).toStdString(), r.Line) << r.Name;
            }
        }
    }
}

} // namespace
