// The raw send panel over a pseudo-terminal and a loopback TCP peer: TXT, BIN,
// the repetition in virtual time, and what each does with a closed link.

#include <poll.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "WindowFixture.h"

namespace {

// Drains the master end of a pseudo-terminal on its own thread, so a large
// write of the port never waits for the test.
class TPtyDrain {
public:
    explicit TPtyDrain(TPty& pty) : FFd(pty.Master), FThread([this] { Run(); }) {}
    ~TPtyDrain() {
        FStop = true;
        FThread.join();
    }
    // Waits up to 10 s until n bytes have arrived; returns what has arrived.
    std::vector<uint8_t> Take(size_t n) {
        (void)QTest::qWaitFor([&] { return Size() >= n; }, 10000);
        std::lock_guard g(FMutex);
        return std::exchange(FBytes, {});
    }

private:
    size_t Size() {
        std::lock_guard g(FMutex);
        return FBytes.size();
    }
    void Run() {
        while (!FStop) {
            pollfd p{FFd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[65536];
            const ssize_t n = ::read(FFd, buf, sizeof buf);
            if (n <= 0) continue;
            std::lock_guard g(FMutex);
            FBytes.insert(FBytes.end(), buf, buf + n);
        }
    }
    int FFd;
    std::mutex FMutex;
    std::vector<uint8_t> FBytes;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> list) { return {list.begin(), list.end()}; }

class RawSendTest : public WindowTest {
protected:
    // A window with its COM port open on a pseudo-terminal, ShowCommEvent on.
    TForm1& OpenCom() {
        TForm1& f = Make({FPty.SlavePath});
        f.ShowCommEvent->setChecked(true);
        f.BB_PortSwitch->click();
        EXPECT_TRUE(f.Comm1->Enabled());
        return f;
    }
    // Times (virtual ms) of every tick of Timer1.
    void RecordTicks() {
        FTicks = std::make_shared<std::vector<uint64_t>>();
        QObject::connect(Form->Timer1.get(), &TTimer::timeout, [this, t = FTicks] { t->push_back(Clock.Now()); });
    }
    std::vector<uint64_t> Ticks() const { return *FTicks; }
    void StartRepeat(const QString& interval) {
        Form->CheckBox1->setChecked(true);
        Form->Edit2->setText(interval);
        Form->BB_SendBin->click();
    }
    // Rows of the panel's idle or repeating state: Timer1, BIN, Stop.
    void ExpectRepeating(bool on) {
        EXPECT_EQ(Form->Timer1->Enabled(), on);
        EXPECT_EQ(Form->BB_SendBin->isEnabled(), !on);
        EXPECT_EQ(Form->Button1->isEnabled(), on);
    }

    TPty FPty;
    std::shared_ptr<std::vector<uint64_t>> FTicks;
};

TEST_F(RawSendTest, TxtSendsTheTextAndOneCarriageReturnWhole) {
    TForm1& f = OpenCom();
    TPtyDrain line(FPty);
    const std::string big(1 << 20, 'x');
    struct Row {
        const char* Name;
        QString Text;
        std::vector<uint8_t> Expected;
    } rows[] = {
        {"empty", "", Bytes({0x0D})},
        {"ascii", "AT+ID?", Bytes({'A', 'T', '+', 'I', 'D', '?', 0x0D})},
        {"big5", "中文", Bytes({0xA4, 0xA4, 0xA4, 0xE5, 0x0D})},
        {"one megabyte, past the old 10,240-byte area", QString::fromStdString(big), {}},
    };
    rows[3].Expected.assign(big.begin(), big.end());
    rows[3].Expected.push_back(0x0D);
    for (const Row& row : rows) {
        f.Edit1->setText(row.Text);
        f.BB_SendData->click();
        EXPECT_EQ(line.Take(row.Expected.size()), row.Expected) << row.Name;
        EXPECT_EQ(LogLines().last().toStdString(), "傳送出" + std::to_string(row.Expected.size()) + "個位元組")
            << row.Name;
    }
    EXPECT_TRUE(Reported.empty());
}

TEST_F(RawSendTest, ClosedLinksAreNamedAndNothingStarts) {
    TForm1& f = Make();
    f.CheckBox1->setChecked(true);
    f.BB_SendData->click(); // TXT is COM only, whatever the mode
    f.BB_SendBin->click();
    f.RadioButton2->click();
    f.BB_SendData->click();
    f.BB_SendBin->click();
    EXPECT_EQ(LogLines(), QStringList({"請先開啟串列埠!", "Open Comport first!", "請先開啟串列埠!", "Open TCP/IP first!"}));
    ExpectRepeating(false);
}

TEST_F(RawSendTest, BinSendsTheParsedBytesOverEitherLink) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    std::string big;
    for (int k = 0; k < (1 << 20) / 3; ++k) big += "A5 ";
    struct Row {
        const char* Name;
        QString Text;
        std::vector<uint8_t> Expected;
    } rows[] = {
        {"three bytes", "01 02 0A", Bytes({0x01, 0x02, 0x0A})},
        {"trailing blank, lower case", "ff 7e ", Bytes({0xFF, 0x7E})},
        {"lone digit", "0", {}},
        {"empty", "", {}},
        {"non-hex digits read as 0", "zz 1g G1", Bytes({0x00, 0x10, 0x01})},
        {"big5 text is read by its bytes", "中 01", Bytes({0x00, 0x01})},
        {"one megabyte of text", QString::fromStdString(big), std::vector<uint8_t>((1 << 20) / 3, 0xA5)},
    };

    auto sendAll = [&](const char* link, const std::function<std::vector<uint8_t>(size_t)>& received) {
        for (const Row& row : rows) {
            Form->Edit1->setText(row.Text);
            Form->BB_SendBin->click();
            EXPECT_EQ(received(row.Expected.size()), row.Expected) << link << " " << row.Name;
            EXPECT_EQ(LogLines().last().toStdString(), "傳送出" + std::to_string(row.Expected.size()) + "個位元組")
                << link << " " << row.Name;
        }
    };
    TForm1& f = OpenCom();
    {
        TPtyDrain line(FPty);
        sendAll("COM", [&](size_t n) { return n ? line.Take(n) : std::vector<uint8_t>(); });
    }
    f.BB_PortSwitch->click();
    QTcpSocket* peer = ConnectTcp(server);
    ASSERT_NE(peer, nullptr);
    sendAll("TCP", [&](size_t n) {
        QByteArray got;
        (void)QTest::qWaitFor([&] { return (got += peer->readAll()).size() >= qsizetype(n); }, 10000);
        return std::vector<uint8_t>(got.begin(), got.end());
    });
    EXPECT_TRUE(Reported.empty());
}

TEST_F(RawSendTest, BinAfterSetIdSendsTheFrameAgain) {
    TForm1& f = OpenCom();
    TPtyDrain line(FPty);
    f.RadioButton3->click();
    f.BitBtn1->click();
    const std::vector<uint8_t> frame = line.Take(12);
    ASSERT_EQ(frame.size(), 12u);
    f.BB_SendBin->click();
    EXPECT_EQ(line.Take(12), frame);
}

TEST_F(RawSendTest, RepeatSendsEveryIntervalUntilStopAlsoWithTheLinkClosed) {
    TForm1& f = OpenCom();
    TPtyDrain line(FPty);
    f.Edit1->setText("01 02 0A");
    RecordTicks();
    StartRepeat("500");
    ExpectRepeating(true);
    Clock.Advance(499);
    EXPECT_TRUE(Ticks().empty()) << "nothing is sent at the start";
    Clock.Advance(1601);
    EXPECT_EQ(Ticks(), std::vector<uint64_t>({500, 1000, 1500, 2000}));
    EXPECT_EQ(LogLines().filter("Write out: 3").size(), 4);
    EXPECT_EQ(line.Take(12), Bytes({1, 2, 0x0A, 1, 2, 0x0A, 1, 2, 0x0A, 1, 2, 0x0A}));

    // Closing the port does not stop the repetition: each tick names the closed link.
    f.BB_PortSwitch->click();
    Clock.Advance(1000);
    EXPECT_EQ(LogLines().filter("Open Comport first!").size(), 2);
    ExpectRepeating(true);

    f.Button1->click();
    ExpectRepeating(false);
    Clock.Advance(5000);
    EXPECT_EQ(Ticks().size(), 6u) << "Stop ends the repetition";
}

TEST_F(RawSendTest, ANewIntervalTakesEffectAfterTheNextTick) {
    TForm1& f = OpenCom();
    RecordTicks();
    StartRepeat("500");
    Clock.Advance(250);
    f.Edit2->setText("1000");
    Clock.Advance(2500);
    EXPECT_EQ(Ticks(), std::vector<uint64_t>({500, 1500, 2500}));
}

TEST_F(RawSendTest, TcpRepeatSendsToThePeer) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    TForm1& f = Make();
    f.ShowCommEvent->setChecked(true);
    QTcpSocket* peer = ConnectTcp(server);
    ASSERT_NE(peer, nullptr);
    f.Edit1->setText("AA 55");
    StartRepeat("100");
    Clock.Advance(300);
    QTRY_COMPARE_WITH_TIMEOUT(peer->bytesAvailable(), 6, 5000);
    EXPECT_EQ(peer->readAll().toHex(' ').toUpper(), QByteArray("AA 55 AA 55 AA 55"));
    EXPECT_EQ(LogLines().filter("傳送出2個位元組").size(), 3);
}

TEST_F(RawSendTest, IntervalZeroRepeatsNothingUntilStop) {
    TForm1& f = OpenCom();
    RecordTicks();
    StartRepeat("0");
    ExpectRepeating(true);
    Clock.Advance(60000);
    EXPECT_TRUE(Ticks().empty());
    f.Button1->click();
    ExpectRepeating(false);
}

TEST_F(RawSendTest, BadIntervalsAreNamedAndLeaveThePanelIdle) {
    struct Row {
        const char* Text;
        const char* Message;
    } rows[] = {
        {"abc", "'abc' is not a valid integer value"},
        {"", "'' is not a valid integer value"},
        {"99999999999", "'99999999999' is not a valid integer value"},
        {"-5", "Repeat interval '-5' ms is negative; give 0 or more milliseconds"},
    };
    TForm1& f = OpenCom();
    RecordTicks();
    for (const Row& row : rows) {
        // At the start: reported, nothing changes.
        Reported.clear();
        StartRepeat(row.Text);
        EXPECT_EQ(Reported, std::vector<std::string>({row.Message})) << row.Text;
        ExpectRepeating(false);

        // While repeating: the tick sends, then the error is reported once and the repetition ends.
        Reported.clear();
        const size_t before = Ticks().size();
        StartRepeat("200");
        Clock.Advance(200);
        f.Edit2->setText(row.Text);
        Clock.Advance(2000);
        EXPECT_EQ(Ticks().size(), before + 2) << row.Text;
        EXPECT_EQ(Reported, std::vector<std::string>({row.Message})) << row.Text;
        ExpectRepeating(false);
    }
}

TEST_F(RawSendTest, ClearEmptiesTheLogAndKeepsLogLength) {
    TForm1& f = Make();
    for (QPushButton* clear : {f.Button4, f.BB_Clear}) {
        f.WriteLog("line");
        f.LogLength = 12345;
        clear->click();
        EXPECT_TRUE(f.Memo1->toPlainText().isEmpty());
        EXPECT_EQ(f.LogLength, 12345u);
    }
}

} // namespace
