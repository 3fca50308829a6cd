#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

#include "base/Exception.h"
#include "tests/toolkit/TestSupport.h"
#include "widgets/TCSpinEdit.h"

namespace {

// The window stand-in: records the keys that reach it.
class TKeyParent : public QWidget {
public:
    std::vector<int> Keys;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        Keys.push_back(event->key());
        event->accept();
    }
};

class SpinEditTest : public testing::Test {
protected:
    SpinEditTest() : Spin(new TCSpinEdit(&Parent)) {
        Spin->OnChange = [this](TObject* sender) {
            EXPECT_EQ(sender, Spin);
            ++Changes;
        };
    }
    void Range(int32_t min, int32_t max, int32_t value) {
        Spin->SetMinValue(min);
        Spin->SetMaxValue(max);
        Spin->SetValue(value);
        Changes = 0;
    }
    void Type(const QString& keys) {
        Spin->Editor()->end(false);
        QTest::keyClicks(Spin->Editor(), keys);
    }

    TKeyParent Parent;
    TCSpinEdit* Spin;
    int Changes = 0;
};

TEST_F(SpinEditTest, CreatedState) {
    EXPECT_EQ(Spin->Text(), "0");
    EXPECT_EQ(Spin->Increment(), 1);
    EXPECT_TRUE(Spin->EditorEnabled());
    EXPECT_FALSE(Spin->ReadOnly());
    EXPECT_EQ(Spin->focusProxy(), Spin->Editor());
    for (QToolButton* b : {Spin->UpButton(), Spin->DownButton()}) {
        EXPECT_EQ(b->width(), 15);
        EXPECT_TRUE(b->autoRepeat());
        EXPECT_EQ(b->autoRepeatDelay(), 400);
        EXPECT_EQ(b->autoRepeatInterval(), 100);
    }
}

TEST_F(SpinEditTest, ReadingValueFallsBackToMinValue) {
    struct Row {
        const char* Text;
        int32_t Value;
        const char* TextAfter;
    };
    for (const Row& r :
         {Row{"42", 42, "42"}, Row{"-7", -7, "-7"}, Row{"  9", 9, "  9"}, Row{"abc", 5, "5"}, Row{"", 5, "5"},
          Row{"12x", 5, "5"}, Row{"1.5", 5, "5"}, Row{"99999999999", 5, "5"}}) {
        Range(5, 10, 5);
        Spin->SetText(r.Text);
        Changes = 0;
        EXPECT_EQ(Spin->Value(), r.Value) << r.Text;
        EXPECT_EQ(Spin->Text(), r.TextAfter) << r.Text;
        EXPECT_EQ(Changes, Spin->Text() != r.Text ? 1 : 0) << r.Text;
    }
}

TEST_F(SpinEditTest, WritingValueLimitsUnlessMinEqualsMax) {
    struct Row {
        int32_t Min, Max, Written;
        const char* Text;
    };
    for (const Row& r : {Row{0, 255, 300, "255"}, Row{0, 255, -1, "0"}, Row{0, 65535, 65, "65"},
                         Row{7, 7, 1000, "1000"}, Row{0, 0, -3, "-3"}}) {
        Spin->SetMinValue(r.Min);
        Spin->SetMaxValue(r.Max);
        Spin->SetValue(r.Written);
        EXPECT_EQ(Spin->Text(), r.Text) << r.Written;
    }
}

TEST_F(SpinEditTest, OnChangeOnlyWhenTheTextChanges) {
    Range(0, 255, 10);
    Spin->SetValue(10);
    Spin->SetText("10");
    EXPECT_EQ(Changes, 0);
    QSignalSpy spy(Spin, &TCSpinEdit::changed);
    Spin->SetValue(11);
    Type("2");
    EXPECT_EQ(Spin->Text(), "112");
    EXPECT_EQ(Changes, 2);
    EXPECT_EQ(spy.count(), 2);
}

TEST_F(SpinEditTest, ArrowsAndKeysStepByIncrementWithinTheRange) {
    Range(0, 255, 254);
    Spin->SetIncrement(1);
    Spin->UpButton()->click();
    EXPECT_EQ(Spin->Text(), "255");
    EXPECT_EQ(Changes, 1);
    Spin->UpButton()->click(); // at the limit: no change, no event
    QTest::keyClick(Spin->Editor(), Qt::Key_Up);
    EXPECT_EQ(Spin->Text(), "255");
    EXPECT_EQ(Changes, 1);

    Range(0, 255, 1);
    Spin->SetIncrement(5);
    QTest::keyClick(Spin->Editor(), Qt::Key_Down);
    EXPECT_EQ(Spin->Text(), "0");
    Spin->DownButton()->click();
    EXPECT_EQ(Spin->Text(), "0");
    EXPECT_EQ(Changes, 1);
    QTest::keyClick(Spin->Editor(), Qt::Key_Up);
    EXPECT_EQ(Spin->Text(), "5");
}

TEST_F(SpinEditTest, HeldArrowRepeatsItsStep) {
    Range(0, 100, 0);
    QTest::mousePress(Spin->UpButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([this] { return Spin->Text() == "2"; }, 3000)); // 400 ms, then 100 ms
    QTest::mouseRelease(Spin->UpButton(), Qt::LeftButton);
    const QString stopped = Spin->Text();
    EXPECT_GE(stopped.toInt(), 2);
}

TEST_F(SpinEditTest, ReadOnlyArrowsOnlyBeep) {
    Range(0, 10, 3);
    Spin->SetReadOnly(true);
    QSignalSpy beeps(Spin, &TCSpinEdit::beeped);
    Spin->UpButton()->click();
    QTest::keyClick(Spin->Editor(), Qt::Key_Down);
    EXPECT_EQ(Spin->Text(), "3");
    EXPECT_EQ(beeps.count(), 2);
    EXPECT_EQ(Changes, 0);
}

TEST_F(SpinEditTest, FocusLossLimitsAValueOutsideTheRange) {
    struct Row {
        int32_t Min, Max;
        const char* Typed;
        const char* After;
    };
    for (const Row& r : {Row{0, 255, "300", "255"}, Row{10, 20, "-4", "10"}, Row{0, 255, "77", "77"},
                         Row{3, 3, "900", "900"}, Row{1, 9, "+-", "1"}}) {
        Spin->SetMinValue(r.Min);
        Spin->SetMaxValue(r.Max);
        Spin->SetText(r.Typed);
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QCoreApplication::sendEvent(Spin->Editor(), &out);
        EXPECT_EQ(Spin->Text(), r.After) << r.Typed;
    }
}

TEST_F(SpinEditTest, TypedCharactersOfAnEditableSpinEdit) {
    const QString separator = QLocale().decimalPoint();
    struct Row {
        QString Keys;
        QString After;
        int Beeps;
    };
    for (const Row& r : {Row{"34", "1234", 0}, Row{"+-", "12+-", 0}, Row{separator, "12" + separator, 0},
                         Row{"a", "12", 1}, Row{" x!", "12", 3}, Row{"5z6", "1256", 1}}) {
        Spin->SetText("12");
        QSignalSpy beeps(Spin, &TCSpinEdit::beeped);
        Type(r.Keys);
        EXPECT_EQ(Spin->Text(), r.After) << r.Keys.toStdString();
        EXPECT_EQ(beeps.count(), r.Beeps) << r.Keys.toStdString();
    }
    QTest::keyClick(Spin->Editor(), Qt::Key_Backspace);
    EXPECT_EQ(Spin->Text(), "125");
}

TEST_F(SpinEditTest, EditorDisabledRefusesEveryEditButTheArrows) {
    Range(0, 255, 12);
    Spin->SetEditorEnabled(false);
    QApplication::clipboard()->setText("99");
    QSignalSpy beeps(Spin, &TCSpinEdit::beeped);
    Spin->Editor()->selectAll();
    Type("7a");
    QTest::keyClick(Spin->Editor(), Qt::Key_Backspace);
    QTest::keyClick(Spin->Editor(), Qt::Key_Delete);
    Spin->Editor()->selectAll();
    QTest::keySequence(Spin->Editor(), QKeySequence::Cut);
    QTest::keySequence(Spin->Editor(), QKeySequence::Paste);
    EXPECT_EQ(Spin->Text(), "12");
    EXPECT_EQ(Changes, 0);
    EXPECT_EQ(beeps.count(), 6);
    QTest::keyClick(Spin->Editor(), Qt::Key_Up);
    Spin->UpButton()->click();
    EXPECT_EQ(Spin->Text(), "14");
    Spin->SetValue(200); // the program still writes it
    EXPECT_EQ(Spin->Text(), "200");
}

TEST_F(SpinEditTest, EnterIsPassedOnToTheParent) {
    for (bool editorEnabled : {true, false}) {
        Spin->SetEditorEnabled(editorEnabled);
        Parent.Keys.clear();
        QTest::keyClick(Spin->Editor(), Qt::Key_Return);
        QTest::keyClick(Spin->Editor(), Qt::Key_Enter);
        QTest::keyClick(Spin->Editor(), Qt::Key_Up);
        EXPECT_EQ(Parent.Keys, (std::vector<int>{Qt::Key_Return, Qt::Key_Enter})) << editorEnabled;
    }
}

TEST_F(SpinEditTest, OnChangeExceptionGoesToTheCallerOrToTheReport) {
    TReportRecorder reports;
    Spin->OnChange = [](TObject*) { throw Exception("change failed"); };
    EXPECT_THROW(Spin->SetValue(5), Exception); // the calling handler ends
    EXPECT_EQ(Spin->Text(), "5");
    Type("1"); // the user's change: reported, nothing escapes into Qt
    Spin->UpButton()->click();
    EXPECT_EQ(Spin->Text(), "52");
    EXPECT_EQ(reports.Messages, (std::vector<std::string>{"change failed", "change failed"}));
}

TEST_F(SpinEditTest, DesignerPropertiesSetTheControl) {
    EXPECT_TRUE(Spin->setProperty("minValue", 0));
    EXPECT_TRUE(Spin->setProperty("maxValue", 65535));
    EXPECT_TRUE(Spin->setProperty("value", 65));
    EXPECT_TRUE(Spin->setProperty("editorEnabled", false));
    EXPECT_EQ(Spin->MaxValue(), 65535);
    EXPECT_EQ(Spin->Text(), "65");
    EXPECT_FALSE(Spin->EditorEnabled());
    EXPECT_EQ(Spin->property("value").toInt(), 65);
}

} // namespace
