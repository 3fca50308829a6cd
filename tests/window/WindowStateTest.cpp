// The window as it starts: every control of the stored layout, the components,
// the state variables, WriteLog and the resize rule.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <limits>
#include <map>

#include "WindowFixture.h"
#include "widgets/TCSpinEdit.h"
#include "widgets/TRadioGroup.h"
#include "window/Unit2.h"

namespace {

struct TControlRow {
    const char* Name;
    const char* Text; // caption or text; nullptr: not checked
    bool Visible;
    bool Enabled;
    int Min = 0, Max = 0, Value = 0; // spin edits only (Max 0: not a spin edit)
};

// The stored layout, control by control.
const TControlRow StoredControls[] = {
    {"Label18", "Chang_ID:", true, true},
    {"RadioButton5", "MARLIN-A", true, true},
    {"RadioButton3", "KESTREL-A", true, true},
    {"RadioButton7", "OSPREY-B", true, true},
    {"RadioButton6", "KESTREL-A", false, false},
    {"RadioButton4", "19", false, false},
    {"Label12", "ELN:", false, true},
    {"Edit7", "0", false, true},
    {"Label13", "Set_ID:", true, true},
    {"CSpinEdit5", "1", true, true, 0, 65535, 1},
    {"Label15", "ID:0~63", true, true},
    {"BitBtn1", "&Set_ID", true, true},
    {"Label3", "Pack No:", false, true},
    {"SE_01", "0", false, true, 0, 255, 0},
    {"ckAutoInc", "AutoInc", false, true},
    {"Label5", "ADDR:", false, false},
    {"SE_02", "65", false, true, 0, 65535, 65},
    {"Label17", "AutoELN:", false, true},
    {"Edit5", "", false, true},
    {"Label14", "ELN:", false, true},
    {"Edit6", "23A1705", false, true},
    {"Button2", "Set_ELN", false, true},
    {"Button3", "Read_ELN", false, true},
    {"Label16", "ELN:65~999", false, true},
    {"CSpinEdit6", "65", false, true, 0, 65535, 65},
    {"LB_11", "Len Size:", false, true},
    {"SE_11", "1", false, true, 1, 2, 1},
    {"LB_12", "Items:", false, false},
    {"SE_12", "1", false, false, 1, 2, 1},
    {"LB_13", "R/W Tab:", false, false},
    {"SE_13", "0", false, false, 0, 255, 0},
    {"LB_14", "R/W Tab2:", false, false},
    {"SE_14", "0", false, false, 0, 255, 0},
    {"Label2", "CMD:", false, false},
    {"LB_15", "Table Idx:", false, false},
    {"SE_15", "0", false, false, 0, 3, 0},
    {"LB_16", "FDC", false, false},
    {"SE_16", "0", false, false, 0, 255, 0},
    {"LB_17", "Count:", false, false},
    {"SE_17", "1", false, false, 1, 255, 1},
    {"LB_18", "Delay:", false, false},
    {"SE_18", "0", false, false, 0, 65535, 0},
    {"LB_19", "Data:", false, false},
    {"SE_19", "0", false, false, 0, 255, 0},
    {"Label8", "Func 1:", false, true},
    {"CSpinEdit2", "0", false, false, 0, 255, 0},
    {"Label9", "Func 2:", false, true},
    {"CSpinEdit3", "0", false, false, 0, 255, 0},
    {"Label10", "Stat:", false, true},
    {"CSpinEdit4", "0", false, false, 0, 255, 0},
    {"rgCommand", nullptr, false, false},
    {"RadioButton1", "COM", true, true},
    {"RadioButton2", "TCP", true, true},
    {"Label1", "COM :", true, true},
    {"CSpinEdit1", "1", true, true, 0, 255, 1},
    {"Label6", "IP :", false, true},
    {"Edit3", "127.0.0.1", false, true},
    {"Label7", "PORT :", false, true},
    {"Edit4", "4660", false, true},
    {"btnBaudRate", "19200bps", true, true},
    {"BB_PortSwitch", "&Open", true, true},
    {"BB_Exit", "&Exit", true, true},
    {"Button4", "Clear", true, true},
    {"AutoClear", "Auto Clear", false, true},
    {"ShowCommEvent", "Display Event", false, true},
    {"BB_SendData", "TXT", false, true},
    {"BB_SendBin", "BIN", false, true},
    {"Edit1", "", false, true},
    {"CheckBox1", "Repeat", false, true},
    {"Edit2", "500", false, true},
    {"Label4", "ms", false, true},
    {"Button1", "Stop", false, false},
    {"BB_Clear", "Clear", false, true},
    {"Label11", "Parity :", false, true},
    {"cbParity", "None", false, true},
    {"Data_Encrypt", "Data_Encrypt", false, true},
    {"CB_TimeRecord", "Time Record", false, true},
    {"LB_20", "Data:", false, false},
    {"ED_20", "00", false, false},
    {"Memo1", "", true, true},
    {"Memo2", "", false, true},
    {"Splitter2", nullptr, false, true},
    {"StatusBar1", nullptr, true, true},
};

QString TextOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* s = qobject_cast<TCSpinEdit*>(w)) return s->Text();
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
    if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return p->toPlainText();
    return {};
}

// A control's path from the window: its parents' names and its own (or its class).
QString NameOf(QWidget* w) {
    const QString own = w->objectName().isEmpty() ? w->metaObject()->className() : w->objectName();
    return w->isWindow() ? QString() : NameOf(w->parentWidget()) + "/" + own;
}

// What a user or a handler can see of each control, by name.
std::map<std::string, std::string> StateOf(QWidget& window) {
    std::map<std::string, std::string> state;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        QString s;
        QDebug(&s) << NameOf(w->parentWidget()) << w->geometry() << w->isHidden() << w->isEnabled()
                   << w->font().toString() << w->palette().color(QPalette::WindowText) << TextOf(w)
                   << w->toolTip() << w->property("hint").toString() << w->focusPolicy();
        if (auto* e = qobject_cast<QLineEdit*>(w)) QDebug(&s) << e->maxLength();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) QDebug(&s) << b->icon().isNull();
        state[NameOf(w).toStdString()] += s.toStdString();
    }
    return state;
}

// The controls that take the focus, in the order the focus chain visits them.
std::vector<std::string> FocusChainOf(QWidget& window) {
    std::vector<std::string> chain;
    for (QWidget* w = window.nextInFocusChain(); w != &window; w = w->nextInFocusChain())
        if (w->focusPolicy() != Qt::NoFocus) chain.push_back(NameOf(w).toStdString());
    return chain;
}

} // namespace

TEST_F(WindowTest, HiddenControlsMadeAfterTheFirstPaintEndAsIfMadeWithTheWindow) {
    TForm1& whole = Make();
    const std::map<std::string, std::string> wholeState = StateOf(whole);
    const std::vector<std::string> wholeChain = FocusChainOf(whole);
    // Each panel's controls follow one another in the chain as they stand in the stored layout.
    const std::pair<const char*, const char*> neighbours[] = {
        {"Panel1/BitBtn1", "Panel1/SE_01"},
        {"Panel1/rgCommand/rgCommand_8", "Panel4/RadioButton1"},
        {"Panel4/Button4", "Panel4/AutoClear"},
        {"Panel4/CB_TimeRecord", "Panel5/Memo1"},
        {"Panel5/Memo2", "Panel2/ED_20"},
    };
    for (const auto& [before, after] : neighbours) {
        auto it = std::find_if(wholeChain.begin(), wholeChain.end(),
                               [&](const std::string& name) { return name.ends_with(before); });
        ASSERT_TRUE(it != wholeChain.end() && it + 1 != wholeChain.end()) << before;
        EXPECT_TRUE(it[1].ends_with(after)) << before << " is followed by " << it[1];
    }

    TForm1& form = Make({}, true);
    EXPECT_FALSE(form.HiddenControlsBuilt());
    EXPECT_EQ(form.rgCommand, nullptr);
    EXPECT_EQ(form.Edit1, nullptr);
    form.FormResize(nullptr); // the window is drawn, and resized, before they exist
    const std::map<std::string, std::string> early = StateOf(form);
    EXPECT_LT(early.size(), wholeState.size());
    for (const auto& [name, state] : early) EXPECT_EQ(state, wholeState.at(name)) << name;

    form.BuildHiddenControls();
    form.BuildHiddenControls(); // once only
    EXPECT_EQ(StateOf(form), wholeState);
    EXPECT_EQ(FocusChainOf(form), wholeChain);
    // The stored look, which the hidden controls get when they are made.
    for (QLabel* red : {form.Label15, form.Label16}) {
        EXPECT_EQ(red->font().pixelSize(), 20);
        EXPECT_EQ(red->palette().color(QPalette::WindowText), QColor(Qt::red));
    }
    for (QAbstractButton* button : {form.BB_Exit, form.BitBtn1, form.BB_SendData, form.BB_SendBin})
        EXPECT_FALSE(button->icon().isNull()) << button->objectName().toStdString();
    for (QLineEdit* edit : {form.Edit1, form.ED_20, form.Edit5, form.Edit6, form.Edit7})
        EXPECT_EQ(edit->maxLength(), std::numeric_limits<int>::max()) << edit->objectName().toStdString();
    QTest::keyClick(form.CSpinEdit5->Editor(), Qt::Key_Return);
    EXPECT_EQ(form.Edit1->text().toStdString(), "19 00 41 00 10 FE 01 00 AA D7 03 ") << "handlers are bound";
}

TEST_F(WindowTest, EveryControlHasItsStoredState) {
    TForm1& form = Make();
    for (const TControlRow& row : StoredControls) {
        SCOPED_TRACE(row.Name);
        auto* w = form.findChild<QWidget*>(row.Name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->isVisibleTo(&form), row.Visible);
        EXPECT_EQ(w->isEnabled(), row.Enabled);
        if (row.Text) {
            EXPECT_EQ(TextOf(w).toStdString(), row.Text);
        }
        if (row.Max) {
            auto* spin = qobject_cast<TCSpinEdit*>(w);
            ASSERT_NE(spin, nullptr);
            EXPECT_EQ(spin->MinValue(), row.Min);
            EXPECT_EQ(spin->MaxValue(), row.Max);
            EXPECT_EQ(spin->Value(), row.Value);
        }
    }
    EXPECT_FALSE(form.CSpinEdit1->EditorEnabled());
    EXPECT_EQ(form.rgCommand->ItemIndex(), 0);
    EXPECT_EQ(form.rgCommand->Items().join(",").toStdString(),
              "Status Request,H/W Read,H/W Write,Info Read,Device Reset,File R/W,Device R/W,H/W R/W,20h");
    EXPECT_EQ(form.cbParity->count(), 5);
    for (QRadioButton* model : {form.RadioButton3, form.RadioButton4, form.RadioButton5, form.RadioButton6,
                                form.RadioButton7})
        EXPECT_FALSE(model->isChecked());
    EXPECT_TRUE(form.RadioButton1->isChecked());
}

TEST_F(WindowTest, HintsAreStoredAndOnlyTheDataFieldsShowTooltips) {
    TForm1& form = Make();
    EXPECT_EQ(form.BitBtn1->property("hint").toString(), QString("產生協定並傳送"));
    EXPECT_EQ(form.CSpinEdit1->property("hint").toString(), QString("串列埠選擇"));
    EXPECT_EQ(form.btnBaudRate->property("hint").toString(), QString("鮑率切換"));
    EXPECT_EQ(form.BB_PortSwitch->property("hint").toString(), QString("開啟串列埠"));
    EXPECT_TRUE(form.BitBtn1->toolTip().isEmpty());
    EXPECT_EQ(form.Edit1->toolTip(), QString("欲傳送的16進制協定資料 , 每個資料2位數 , 資料間請留一個空白"));
    EXPECT_EQ(form.ED_20->toolTip(), QString("欲傳送的16進制資料 , 每個資料2位數 , 資料間請留一個空白"));
}

TEST_F(WindowTest, WindowComponentsAndStateStartAsStored) {
    const QFont applicationFont = QApplication::font();
    TForm1& form = Make();
    EXPECT_EQ(form.windowTitle(), QString("Kaldora 2023/08/22  V1.0.0"));
    EXPECT_EQ(form.geometry(), QRect(234, 167, 1001, 840));
    for (const QWidget* w : std::initializer_list<const QWidget*>{&form, form.Edit1, form.CSpinEdit5->Editor()}) {
        EXPECT_EQ(w->font().family(), QString("Times New Roman")) << w->objectName().toStdString();
        EXPECT_EQ(w->font().pixelSize(), 13) << w->objectName().toStdString();
    }
    // The form's font is its own: message boxes keep the application's.
    EXPECT_EQ(QApplication::font(), applicationFont);

    EXPECT_EQ(form.Comm1->DeviceName(), "Com1");
    EXPECT_EQ(form.Comm1->BaudRate(), br19200);
    EXPECT_EQ(form.Comm1->FlowControl(), fcNone);
    EXPECT_EQ(form.Comm1->MonitorEvents(), (TCommEventTypes{evError, evRlsd, evRxChar, evRxFlag, evTxEmpty}));
    EXPECT_FALSE(form.Comm1->Enabled());
    EXPECT_FALSE(form.ClientSocket1->Active());
    EXPECT_EQ(form.ClientSocket1->Port(), 50001);
    const std::pair<TTimer*, unsigned> timers[] = {
        {form.Timer1.get(), 1000}, {form.Timer2.get(), 5}, {form.Timer3.get(), 100}, {form.Timer4.get(), 3000}};
    for (auto [timer, interval] : timers) {
        EXPECT_FALSE(timer->Enabled());
        EXPECT_EQ(timer->Interval(), interval);
    }
    EXPECT_EQ(form.ComDeviceName, "Com1");
    EXPECT_EQ(form.ReplyKind, 0);
    EXPECT_EQ(form.RxCount, 0);
    EXPECT_EQ(form.ReplyCount, 0);
    EXPECT_EQ(form.RxByteCount, 0);
    EXPECT_EQ(form.ReplySeen, 0);
    EXPECT_EQ(form.LogLength, 0u);
}

TEST_F(WindowTest, WriteLogClearsAboveThirtyThousandOnlyWithAutoClear) {
    TForm1& form = Make();
    form.WriteLog("first");
    form.LogLength = 30000;
    form.AutoClear->setChecked(true);
    form.WriteLog("second");
    EXPECT_EQ(LogLines(), QStringList({"first", "second"}));
    EXPECT_EQ(form.LogLength, 30000u) << "WriteLog never counts its own lines";

    form.LogLength = 30001;
    form.AutoClear->setChecked(false);
    form.WriteLog("third");
    EXPECT_EQ(LogLines().size(), 3);

    form.AutoClear->setChecked(true);
    form.WriteLog("alone");
    EXPECT_EQ(LogLines(), QStringList({"alone"}));
    EXPECT_EQ(form.LogLength, 0u);
}

TEST_F(WindowTest, TimeRecordPrefixesTheTimeOfDay) {
    TForm1& form = Make();
    form.CB_TimeRecord->setChecked(true);
    form.WriteLog("SetID_OK");
    const QString line = LogLines().value(0);
    EXPECT_TRUE(QRegularExpression("^\\S.*\\d.*>   SetID_OK$").match(line).hasMatch()) << line.toStdString();
}

TEST_F(WindowTest, LogStaysCheapWithTensOfThousandsOfLines) {
    TForm1& form = Make();
    QElapsedTimer timer;
    timer.start();
    for (int k = 0; k < 40000; ++k) form.WriteLog("TCP/IP Connected " + std::to_string(k));
    // The scrollback keeps the newest lines.
    EXPECT_EQ(form.Memo1->blockCount(), 10000);
    EXPECT_EQ(LogLines().back(), QString("TCP/IP Connected 39999"));
    EXPECT_LT(timer.elapsed(), 10000);
}

TEST_F(WindowTest, ResizeSetsTheTwoEditWidthsFromTheirPanels) {
    TForm1& form = Make();
    form.show();
    form.resize(900, 700);
    QApplication::processEvents();
    EXPECT_EQ(form.ED_20->width(), form.Panel2->width() - 80);
    EXPECT_EQ(form.Edit1->width(), form.Panel4->width() - 125);
    EXPECT_EQ(form.Panel1->width(), 177);
    EXPECT_EQ(form.Panel2->height(), 62);
    form.ED_20->resize(5, form.ED_20->height());
    form.resize(900, 650); // only the height changes
    QApplication::processEvents();
    EXPECT_EQ(form.ED_20->width(), form.Panel2->width() - 80);
}

TEST_F(WindowTest, EnterInAnEditRunsSetIdAndOnAButtonClicksIt) {
    TForm1& form = Make();
    form.show();
    QTest::keyClick(form.CSpinEdit5->Editor(), Qt::Key_Return);
    EXPECT_EQ(form.Edit1->text().toStdString(), "19 00 41 00 10 FE 01 00 AA D7 03 ");
    form.Edit1->clear();
    QTest::keyClick(form.RadioButton3, Qt::Key_Enter);
    EXPECT_FALSE(form.Edit1->text().isEmpty());

    QTest::keyClick(form.btnBaudRate, Qt::Key_Return);
    EXPECT_EQ(form.btnBaudRate->text(), QString("38400bps"));

    form.Edit1->clear();
    QTest::keyClick(form.Memo1, Qt::Key_Return);
    EXPECT_TRUE(form.Edit1->text().isEmpty()) << "Enter in the log starts a new line only";
}

TEST_F(WindowTest, SecondWindowHasNoControlsAndIsNeverShown) {
    TForm2 second;
    EXPECT_EQ(second.windowTitle(), QString("Form2"));
    EXPECT_TRUE(second.findChildren<QWidget*>().isEmpty());
    EXPECT_FALSE(second.isVisible());
}

TEST_F(WindowTest, StartsWithTheFocusInTheIdAndExitClosesTheWindow) {
    TForm1& form = Make();
    form.show();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    EXPECT_EQ(QApplication::focusWidget(), form.CSpinEdit5->Editor());
    form.BB_Exit->click();
    EXPECT_FALSE(form.isVisible());
}
