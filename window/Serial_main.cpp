#include "window/Serial_main.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileSystemWatcher>
#include <QKeyEvent>
#include <QPainter>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QTime>
#include <QVBoxLayout>
#include <limits>

#include "comm/PosixSerialDriver.h"
#include "comm/SerialPorts.h"
#include "toolkit/ExceptionReport.h"

TForm1* Form1 = nullptr;

namespace {

constexpr int LogScrollbackLines = 10000;
constexpr unsigned DisplayIntervalMs = 100;

enum class TGlyph { Close, Go, Page, Disk };

// The buttons' small images are drawn, not looked up in the icon theme: the
// lookup and the image readers it loads cost more of the start than the window.
QIcon GlyphIcon(TGlyph glyph) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (glyph) {
    case TGlyph::Close:
        p.setPen(QPen(QColor(0x30, 0x30, 0x30), 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
        p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
        break;
    case TGlyph::Go:
        p.setPen(QPen(QColor(0x1E, 0x6E, 0x1E), 1));
        p.setBrush(QColor(0x3C, 0xA0, 0x3C));
        p.drawEllipse(QRectF(1, 1, 14, 14));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPolygon(QPolygonF({{4, 6.5}, {8, 6.5}, {8, 4}, {12.5, 8}, {8, 12}, {8, 9.5}, {4, 9.5}}));
        break;
    case TGlyph::Page:
        p.setPen(QPen(QColor(0x50, 0x50, 0x50), 1));
        p.setBrush(Qt::white);
        p.drawPolygon(QPolygonF({{3.5, 1.5}, {9.5, 1.5}, {12.5, 4.5}, {12.5, 14.5}, {3.5, 14.5}}));
        p.drawPolyline(QPolygonF({{9.5, 1.5}, {9.5, 4.5}, {12.5, 4.5}}));
        break;
    case TGlyph::Disk:
        p.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
        p.setBrush(QColor(0xB8, 0xB8, 0xB8));
        p.drawRoundedRect(QRectF(1.5, 4.5, 13, 7), 1.5, 1.5);
        p.setBrush(QColor(0x30, 0xC0, 0x30));
        p.drawRect(QRectF(11, 8.5, 2, 1.5));
        break;
    }
    return QIcon(pixmap);
}

// A line edit lays out its text before it takes its parent's font, so the
// application's font is the stored one while controls are made: they lay out
// their texts once, in it, instead of once in the default font and again.
void MakeInFont(const QFont& font, const std::function<void()>& make) {
    const QFont applicationFont = QApplication::font();
    QApplication::setFont(font);
    make();
    QApplication::setFont(applicationFont);
}

void ShowInRed(QLabel* label) {
    QFont f = label->font();
    f.setPixelSize(20);
    label->setFont(f);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, Qt::red);
    label->setPalette(p);
}

// A pasted text of any length is taken whole, not cut at an edit's 32767 characters:
// the raw text goes out as it stands, and data beyond a frame is refused, not cut.
void TakeAnyLength(std::initializer_list<QLineEdit*> edits) {
    for (QLineEdit* edit : edits) edit->setMaxLength(std::numeric_limits<int>::max());
}

// Puts the focusable controls among `made`, and those inside them, in the focus
// chain right after `previous`, in the order they were made.
void ChainAfter(QWidget* previous, const QObjectList& made) {
    for (QObject* object : made) {
        auto* widget = qobject_cast<QWidget*>(object);
        if (!widget) continue;
        QList<QWidget*> controls = widget->findChildren<QWidget*>();
        controls.prepend(widget);
        for (QWidget* control : controls) {
            if (control->focusPolicy() == Qt::NoFocus) continue;
            QWidget::setTabOrder(previous, control);
            previous = control;
        }
    }
}

} // namespace

TForm1::TForm1(TFormEnvironment environment, QWidget* parent)
    : QMainWindow(parent),
      Ui::CommandPanel(), // null controls until BuildHiddenControls makes them
      Ui::RawSendPanel(),
      FPortLister(environment.PortLister ? environment.PortLister : ListSerialPorts) {
    // The stored font is set before the controls exist, so they lay out their texts in it.
    QFont font("Times New Roman");
    font.setPixelSize(13);
    setFont(font);
    MakeInFont(font, [this] { Ui::TForm1::setupUi(this); });
    // The stored outer bounds; the form file only carries the size.
    setGeometry(234, 167, 1001, 840);
    ApplyStoredLook();
    CSpinEdit1->SetEditorEnabled(false);
    Splitter1->setSizes({48, 1000});
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);

    FStatusPanel = new QLabel(StatusBar1);
    FStatusPanel->setFixedWidth(50);
    StatusBar1->addWidget(FStatusPanel);
    StatusBar1->setSizeGripEnabled(false);
    auto* panel2Layout = new QVBoxLayout(Panel2); // only the status bar; the data line keeps its place
    panel2Layout->setContentsMargins(0, 0, 0, 0);
    panel2Layout->addStretch();
    panel2Layout->addWidget(StatusBar1);

    auto driver = environment.SerialDriver ? environment.SerialDriver
                                           : std::make_shared<TPosixSerialDriver>(FPortLister);
    Comm1 = std::make_unique<TComm>(driver, &FPoster);
    Comm1->SetDeviceName("Com1");
    Comm1->SetMonitorEvents({evError, evRlsd, evRxChar, evRxFlag, evTxEmpty});
    Comm1->SetBaudRate(br19200);
    Comm1->SetFlowControl(fcNone);

    ClientSocket1 = std::make_unique<TClientSocket>();
    ClientSocket1->SetHost("127.0.0.1");
    ClientSocket1->SetPort(50001);

    TTimerEngine* engine = environment.TimerEngine;
    auto makeTimer = [engine](unsigned interval) {
        auto timer = engine ? std::make_unique<TTimer>(*engine) : std::make_unique<TTimer>();
        timer->SetEnabled(false);
        timer->SetInterval(interval);
        return timer;
    };
    Timer1 = makeTimer(1000);
    Timer2 = makeTimer(5);
    Timer3 = makeTimer(100);
    Timer4 = makeTimer(3000);
    FDisplayTimer = makeTimer(DisplayIntervalMs);
    FDisplayTimer->OnTimer = [this](TObject*) {
        if (FEchoPending.empty() && FStatusPanel->text() == FStatusText)
            FDisplayTimer->SetEnabled(false);
        else
            FlushReceivedDisplay();
    };

    // What the constructor itself does once the stored layout is loaded.
    auto* memoLayout = new QVBoxLayout(Panel5);
    memoLayout->setContentsMargins(0, 0, 0, 0);
    memoLayout->addWidget(Memo1);
    // A bounded scrollback, so that a device streaming without pause cannot fill the memory.
    Memo1->setMaximumBlockCount(LogScrollbackLines);
    Splitter2->hide();
    Memo2->hide();

    // Which device "Com<N>" opens here, kept current as adapters come and go.
    FDevWatcher = new QFileSystemWatcher({"/dev"}, this);
    connect(FDevWatcher, &QFileSystemWatcher::directoryChanged, this, [this] { ShowComDevice(); });
    ShowComDevice();

    TakeAnyLength({ED_20, Edit7});
    // Nothing shown is clipped: the top bar's rightmost control and the Set_ID
    // button bound the smallest window.
    auto shownExtent = [](QWidget* panel) {
        QRect extent;
        for (QWidget* w : panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!w->isHidden()) extent |= w->geometry();
        return extent.bottomRight() + QPoint(8, 8);
    };
    Panel4->setMinimumWidth(shownExtent(Panel4).x());
    Panel1->setMinimumHeight(shownExtent(Panel1).y());
    setMinimumSize(minimumSizeHint());

    // A click on Set_ID leaves the focus (and the typed text, unclamped) in the ID
    // field, so a click reads the same ID as Enter; the ID's text starts selected,
    // so the first digit typed replaces it.
    BitBtn1->setFocusPolicy(Qt::TabFocus);
    CSpinEdit5->Editor()->setFocus();
    CSpinEdit5->Editor()->selectAll();

    if (!environment.DeferHiddenControls) BuildHiddenControls();
}

void TForm1::BuildHiddenControls() {
    if (HiddenControlsBuilt()) return;
    const QObjectList commandsBefore = Panel1->children();
    const QObjectList rawSendBefore = Panel4->children();
    MakeInFont(font(), [this] {
        Ui::CommandPanel::setupUi(Panel1);
        Ui::RawSendPanel::setupUi(Panel4);
    });
    // Made last, they would come last in the focus chain; they keep their place
    // in the stored layout instead: after Set_ID, and after the top bar's Clear.
    ChainAfter(BitBtn1, Panel1->children().mid(commandsBefore.size()));
    ChainAfter(Button4, Panel4->children().mid(rawSendBefore.size()));
    ShowInRed(Label16);
    BB_SendData->setIcon(GlyphIcon(TGlyph::Page));
    BB_SendBin->setIcon(GlyphIcon(TGlyph::Disk));
    TakeAnyLength({Edit1, Edit5, Edit6});
    FormResize(this);
    BindEvents();
}

void TForm1::ApplyStoredLook() {
    ShowInRed(Label15);
    QPalette grey = LB_ComDevice->palette();
    grey.setColor(QPalette::WindowText, Qt::darkGray);
    LB_ComDevice->setPalette(grey);
    QFont bold = CSpinEdit1->font();
    bold.setBold(true);
    CSpinEdit1->setFont(bold);
    BB_Exit->setIcon(GlyphIcon(TGlyph::Close));
    BitBtn1->setIcon(GlyphIcon(TGlyph::Go));
}

TForm1::~TForm1() {
    // Closing the window closes the links quietly: no handler may run any more.
    ClientSocket1->OnLookup = nullptr;
    ClientSocket1->OnConnecting = nullptr;
    ClientSocket1->OnConnect = nullptr;
    ClientSocket1->OnDisconnect = nullptr;
    ClientSocket1->OnRead = nullptr;
    ClientSocket1->OnError = nullptr;
    Comm1->OnRxChar = nullptr;
    Comm1->OnDeviceLost = nullptr;
    for (TTimer* t : {Timer1.get(), Timer2.get(), Timer3.get(), Timer4.get(), FDisplayTimer.get()}) t->OnTimer = nullptr;
    Comm1.reset(); // closes the port and stops its event thread while the poster still exists
    ClientSocket1.reset();
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::BindEvents() {
    auto click = [this](QAbstractButton* button, void (TForm1::*method)(TObject*)) {
        connect(button, &QAbstractButton::clicked, this, Guarded([this, method] { (this->*method)(nullptr); }));
    };
    click(RadioButton1, &TForm1::RadioButton1Click);
    click(RadioButton2, &TForm1::RadioButton2Click);
    click(btnBaudRate, &TForm1::btnBaudRateClick);
    click(BB_PortSwitch, &TForm1::BB_PortSwitchClick);
    click(Data_Encrypt, &TForm1::Data_EncryptClick);
    click(CB_TimeRecord, &TForm1::Data_EncryptClick);
    click(BitBtn1, &TForm1::BitBtn1Click);
    click(Button2, &TForm1::Button2Click);
    click(Button3, &TForm1::Button3Click);
    click(RadioButton3, &TForm1::RadioButton3Click);
    click(RadioButton6, &TForm1::RadioButton3Click);
    click(RadioButton7, &TForm1::RadioButton3Click);
    click(RadioButton4, &TForm1::RadioButton4Click);
    click(RadioButton5, &TForm1::RadioButton4Click);
    click(BB_SendData, &TForm1::BB_SendDataClick);
    click(BB_SendBin, &TForm1::BB_SendBinClick);
    click(Button1, &TForm1::Button1Click);
    click(BB_Clear, &TForm1::BB_ClearClick);
    click(Button4, &TForm1::Button4Click);
    connect(BB_Exit, &QPushButton::clicked, this, &QWidget::close);
    connect(cbParity, &QComboBox::currentIndexChanged, this, Guarded([this] { cbParityChange(nullptr); }));

    CSpinEdit1->OnChange = Guarded([this](TObject* s) { CSpinEdit1Change(s); });
    SE_11->OnChange = Guarded([this](TObject* s) { SE_11Change(s); });
    SE_12->OnChange = Guarded([this](TObject* s) { SE_12Change(s); });
    rgCommand->OnClick = Guarded([this](TObject* s) { rgCommandClick(s); });
    Edit5->installEventFilter(this); // key release: Edit5KeyUp

    Comm1->OnRxChar = [this](TObject* s, unsigned long count) { Comm1RxChar(s, count); };
    Comm1->OnDeviceLost = [this](TObject* s) { Comm1DeviceLost(s); };

    ClientSocket1->OnLookup = [this](TObject* s, TClientWinSocket* k) { ClientSocket1Lookup(s, k); };
    ClientSocket1->OnConnecting = [this](TObject* s, TClientWinSocket* k) { ClientSocket1Connecting(s, k); };
    ClientSocket1->OnConnect = [this](TObject* s, TClientWinSocket* k) { ClientSocket1Connect(s, k); };
    ClientSocket1->OnDisconnect = [this](TObject* s, TClientWinSocket* k) { ClientSocket1Disconnect(s, k); };
    ClientSocket1->OnRead = [this](TObject* s, TClientWinSocket* k) { ClientSocket1Read(s, k); };
    ClientSocket1->OnError = [this](TObject* s, TClientWinSocket* k, TErrorEvent& e, int& code) {
        ClientSocket1Error(s, k, e, code);
    };

    Timer1->OnTimer = [this](TObject* s) { Timer1Timer(s); };
    Timer2->OnTimer = [this](TObject* s) { Timer2Timer(s); };
    Timer3->OnTimer = [this](TObject* s) { Timer3Timer(s); };
    Timer4->OnTimer = [this](TObject* s) { Timer4Timer(s); };

    // Enter in an edit, spin edit, radio button or check box runs the default
    // button BitBtn1; on a button it clicks that button.
    for (QWidget* w : findChildren<QWidget*>()) {
        if (qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractButton*>(w)) w->installEventFilter(this);
    }
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyRelease && watched == Edit5) {
        // A held key repeats its presses, but only its final release counts.
        if (!static_cast<QKeyEvent*>(event)->isAutoRepeat()) Guarded([this] { Edit5KeyUp(nullptr); })();
        return false;
    }
    if (event->type() != QEvent::KeyPress) return QMainWindow::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter) return QMainWindow::eventFilter(watched, event);
    auto* button = qobject_cast<QPushButton*>(watched);
    if (button) {
        if (button->isEnabled()) button->click();
        return true;
    }
    if (BitBtn1->isEnabled()) BitBtn1->click();
    return true;
}

void TForm1::SetVisible(std::initializer_list<QWidget*> controls, bool visible) {
    for (QWidget* w : controls) w->setVisible(visible);
}

void TForm1::SetEnabled(std::initializer_list<QWidget*> controls, bool enabled) {
    for (QWidget* w : controls) w->setEnabled(enabled);
}

void TForm1::WriteLog(const std::string& text) {
    FlushReceivedEcho();
    ClearLogWhenFull();
    Memo1->appendPlainText(LogLine(text));
}

void TForm1::ClearLogWhenFull() {
    if (LogLength > 30000 && AutoClear->isChecked()) {
        Memo1->clear();
        LogLength = 0;
    }
}

QString TForm1::LogLine(const std::string& text) const {
    QString line = QString::fromStdString(text);
    if (CB_TimeRecord->isChecked()) {
        const QLocale locale = QLocale::system();
        // The long format names the time zone too; the log wants the time of day only.
        QString format = locale.timeFormat(QLocale::LongFormat).remove(QLatin1String(" t")).remove('t').trimmed();
        line = locale.toString(QTime::currentTime(), format) + ">   " + line;
    }
    return line;
}

void TForm1::EchoReceived(std::vector<std::string> lines, size_t notFormatted) {
    FEchoDropped += notFormatted;
    for (std::string& line : lines) FEchoPending.push_back(std::move(line));
    while (FEchoPending.size() > EchoKeptLines) {
        FEchoPending.pop_front();
        ++FEchoDropped;
    }
}

void TForm1::ShowReceived() {
    // At rest it is shown at once; while bytes keep coming, a few times a second
    // and in one piece, so that painting cannot hold up a stream or the window.
    if (FDisplayTimer->Enabled()) return;
    FlushReceivedDisplay();
    FDisplayTimer->SetEnabled(true);
}

void TForm1::FlushReceivedDisplay() {
    FlushReceivedEcho();
    if (FStatusPanel->text() != FStatusText) FStatusPanel->setText(FStatusText);
}

void TForm1::FlushReceivedEcho() {
    if (FEchoPending.empty()) return;
    ClearLogWhenFull();
    QString text;
    if (FEchoDropped > 0) text = LogLine(" ... " + std::to_string(FEchoDropped) + " more lines received, not shown");
    for (const std::string& line : FEchoPending) {
        if (!text.isEmpty()) text += '\n';
        text += LogLine(line);
    }
    FEchoPending.clear();
    FEchoDropped = 0;
    Memo1->appendPlainText(text);
}

QString TForm1::StatusSimpleText() const { return FStatusText; }

void TForm1::SetStatusSimpleText(const QString& text) {
    FStatusText = text;
    ShowReceived();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    Guarded([this] { FormResize(this); })();
}

void TForm1::FormResize(TObject*) {
    // Negative widths are kept at zero: an edit cannot be narrower than nothing.
    ED_20->resize(std::max(0, Panel2->width() - 80), ED_20->height());
    if (Edit1) // made once the window is drawn
        Edit1->resize(std::max(0, Panel4->width() - 125), Edit1->height());
}
